#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "package/names.h"
#include "package/package.h"
#include "package/sections.h"

namespace {

// One zlib stream of packedSize bytes into exactly size bytes, in a single inflate call.
int InflateExact(const unsigned char* source, uint32_t packedSize, unsigned char* destination,
                 uint32_t size) {
  unsigned char spare;  // zlib wants a non-null output pointer even for an empty result
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit(&stream) != Z_OK) return 0;
  stream.next_in = const_cast<Bytef*>(source);
  stream.avail_in = packedSize;
  stream.next_out = destination ? destination : &spare;
  stream.avail_out = size;
  const int result = inflate(&stream, Z_NO_FLUSH);
  const uLong produced = stream.total_out;
  inflateEnd(&stream);
  return result == Z_STREAM_END && produced == size;
}

// The payload layout of each defined control section, and whether its names must stay inside
// the program folder.
int CheckSection(const char* key, const unsigned char* data, uint32_t size) {
  if (size == 0) return 0;
  if (NamesEqual(key, kStartupMsgSection)) {
    const char* caption;
    const char* text;
    return ParseStartupMsg(data, size, caption, text);
  }
  if (NamesEqual(key, kRegistryKeysSection)) {
    RegistryKeys keys;
    return ParseRegistryKeys(data, size, keys);
  }
  if (NamesEqual(key, kXlatNamesSection)) return CheckXlatTable(data, size);
  return CheckNameList(data, size, 1);  // :Folders, :FilesToRemove
}

int CheckEntries(const PackageView& view) {
  const uint32_t packageLength = view.fileLength - view.packageOffset;
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    const DirectoryEntry& e = view.directory[i];
    if (!std::memchr(e.name, 0, kEntryNameSize)) return 0;
    const bool deflated = (e.flags & ENTRY_DEFLATED) != 0;
    if (!FitsIn(e.dataOffset, deflated ? e.packedSize : e.size, packageLength)) return 0;
    if (deflated && e.size > static_cast<uint64_t>(e.packedSize) * kMaxInflateRatio) return 0;
    if (!IsControlSection(e) && !IsSafeRelativeName(e.name)) return 0;
  }
  return 1;
}

int CheckControlSections(const PackageView& view) {
  for (const char* key : kControlSections) {
    const int index = FindEntry(view, key);
    if (index < 0) continue;
    unsigned char* payload = ExtractToBuffer(view, index);
    if (!payload) return 0;
    const int ok = CheckSection(key, payload, view.directory[index].size);
    std::free(payload);
    if (!ok) return 0;
  }
  return 1;
}

}  // namespace

void InitPackageView(PackageView& view) {
  std::memset(&view, 0, sizeof view);
  view.file = InvalidHandle();
  view.mapping = InvalidHandle();
}

int LoadPackage(PackageView& view, int selfContained) {
  const unsigned char* base = view.base;
  const uint32_t length = view.fileLength;
  if (!base) return 0;

  uint32_t packageOffset = 0;
  if (selfContained) {
    if (length < kTrailerSize) return 0;
    if (std::memcmp(base + length - 4, kTrailerMagic, 4) != 0) return 0;
    packageOffset = ReadLE32(base + length - kTrailerSize);
  }
  if (!FitsIn(packageOffset, kHeaderSize, length)) return 0;
  view.packageOffset = packageOffset;
  std::memcpy(&view.header, base + packageOffset, kHeaderSize);

  const PackageHeader& h = view.header;
  if (std::memcmp(h.signature, kPackageSignature, sizeof kPackageSignature) != 0) return 0;
  if (h.entryCount == 0 || h.directoryOffset == 0) return 0;

  const uint64_t directoryBytes = static_cast<uint64_t>(h.entryCount) * kEntrySize;
  if (directoryBytes > UINT32_MAX) return 0;
  const uint32_t packageLength = length - packageOffset;
  const uint32_t method = h.directoryMethod & 3;
  if (method == kDirectoryRejected) return 0;
  const bool deflated = method == kDirectoryDeflated;
  if (deflated) {
    if (!FitsIn(h.directoryOffset, h.directoryPackedSize, packageLength)) return 0;
    if (directoryBytes > static_cast<uint64_t>(h.directoryPackedSize) * kMaxInflateRatio) return 0;
  } else if (!FitsIn(h.directoryOffset, directoryBytes, packageLength)) {
    return 0;
  }

  view.directory = static_cast<DirectoryEntry*>(std::malloc(directoryBytes));
  if (!view.directory) return 0;
  auto* directory = reinterpret_cast<unsigned char*>(view.directory);
  const unsigned char* source = base + packageOffset + h.directoryOffset;
  if (deflated) {
    if (!InflateExact(source, h.directoryPackedSize, directory,
                      static_cast<uint32_t>(directoryBytes)))
      return 0;
  } else {
    std::memcpy(directory, source, directoryBytes);
  }

  return CheckEntries(view) && CheckControlSections(view);
}

int FindEntry(const PackageView& view, const char* key) {
  if (!view.directory) return -1;
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    if (NamesEqual(view.directory[i].name, key)) return static_cast<int>(i);
  }
  return -1;
}

int ExtractEntry(const PackageView& view, int index, unsigned char* destination) {
  const DirectoryEntry& e = view.directory[index];
  const unsigned char* source = view.base + view.packageOffset + e.dataOffset;
  if (e.flags & ENTRY_DEFLATED) return InflateExact(source, e.packedSize, destination, e.size);
  if (e.size) std::memcpy(destination, source, e.size);
  return 1;
}

unsigned char* ExtractToBuffer(const PackageView& view, int index) {
  const uint32_t size = view.directory[index].size;
  auto* buffer = static_cast<unsigned char*>(std::malloc(size ? size : 1));
  if (!buffer) return nullptr;
  if (!ExtractEntry(view, index, buffer)) {
    std::free(buffer);
    return nullptr;
  }
  return buffer;
}

void ReleaseDirectory(PackageView& view) {
  std::free(view.directory);
  view.directory = nullptr;
}
