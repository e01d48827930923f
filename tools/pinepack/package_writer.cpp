#include "package_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "delta/delta_package.h"
#include "package/builder.h"
#include "package/format.h"
#include "package/package.h"

namespace {

uint32_t Narrow(uint64_t value, const char* what) {
  if (value > UINT32_MAX) throw PackageWriteError(std::string(what) + " does not fit 32 bits");
  return static_cast<uint32_t>(value);
}

void AppendLE32(std::vector<uint8_t>& out, uint32_t value) {
  unsigned char bytes[4];
  WriteLE32(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

void AppendString(std::vector<uint8_t>& out, const std::string& s) {
  if (s.find('\0') != std::string::npos)
    throw PackageWriteError("a string holds a NUL byte: " + s.substr(0, s.find('\0')));
  out.insert(out.end(), s.begin(), s.end());
  out.push_back(0);
}

}  // namespace

uint32_t PackageLayout::RecordOffset(size_t i) const {
  return directoryOffset + static_cast<uint32_t>(i) * kEntrySize;
}

std::vector<uint8_t> DeflateBytes(const std::vector<uint8_t>& data, int level) {
  const uint32_t size = Narrow(data.size(), "entry data");
  uLongf bound = compressBound(size);
  std::vector<uint8_t> out(bound);
  // compress2 writes a zlib-wrapped stream with window bits 15, the reader's setting.
  const int result = compress2(out.data(), &bound, data.data(), size, level);
  if (result != Z_OK)
    throw PackageWriteError("zlib could not deflate (level " + std::to_string(level) + ")");
  out.resize(bound);
  return out;
}

int DeflateWithin(const std::vector<uint8_t>& data, int level, size_t limit,
                  std::vector<uint8_t>& out) {
  const uint32_t size = Narrow(data.size(), "entry data");
  const size_t room = std::min<size_t>(limit, compressBound(size)) + 1;
  out.resize(room);
  z_stream stream{};
  if (deflateInit(&stream, level) != Z_OK)
    throw PackageWriteError("zlib could not deflate (level " + std::to_string(level) + ")");
  // One call with all the input and Z_FINISH, as compress2 makes it: while the output has room,
  // deflate takes the same steps and so writes the same bytes.
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = size;
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(room);
  const int result = deflate(&stream, Z_FINISH);
  const uLong written = stream.total_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END && result != Z_OK)
    throw PackageWriteError("zlib could not deflate (level " + std::to_string(level) + ")");
  if (result != Z_STREAM_END || written > limit) return 0;
  out.resize(written);
  return 1;
}

void PatchLE32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  if (offset > bytes.size() || bytes.size() - offset < 4)
    throw PackageWriteError("patch offset outside the bytes");
  WriteLE32(bytes.data() + offset, value);
}

std::vector<uint8_t> WritePackage(const PackageSpec& spec, PackageLayout* layout) {
  PackageLayout where;
  std::vector<uint8_t> out(kHeaderSize, 0);
  std::vector<uint8_t> directory;
  directory.reserve(spec.entries.size() * kEntrySize);

  for (const WriterEntry& entry : spec.entries) {
    if (entry.name.size() >= kEntryNameSize)
      throw PackageWriteError("entry name longer than 31 bytes: " + entry.name);
    if (entry.name.find('\0') != std::string::npos)
      throw PackageWriteError("entry name holds a NUL byte");
    const uint32_t size = Narrow(entry.data.size(), "entry size");
    const uint32_t dataOffset = Narrow(out.size(), "entry offset");
    uint32_t packedSize = size;
    if (entry.deflate) {
      std::vector<uint8_t> made;
      if (entry.packed.empty()) made = DeflateBytes(entry.data, entry.level);
      const std::vector<uint8_t>& stream = entry.packed.empty() ? made : entry.packed;
      packedSize = Narrow(stream.size(), "entry stream");
      out.insert(out.end(), stream.begin(), stream.end());
    } else {
      out.insert(out.end(), entry.data.begin(), entry.data.end());
    }
    where.dataOffsets.push_back(dataOffset);
    where.dataLengths.push_back(packedSize);

    unsigned char record[kEntrySize] = {};
    std::memcpy(record, entry.name.data(), entry.name.size());
    WriteLE32(record + PackageLayout::kDataOffsetField, dataOffset);
    WriteLE32(record + PackageLayout::kSizeField, size);
    const uint32_t flags =
        (entry.extraFlags & ~ENTRY_DEFLATED) | (entry.deflate ? ENTRY_DEFLATED : 0);
    WriteLE32(record + PackageLayout::kFlagsField, flags);
    WriteLE32(record + PackageLayout::kPackedSizeField, packedSize);
    directory.insert(directory.end(), record, record + kEntrySize);
  }

  where.directoryOffset = Narrow(out.size(), "directory offset");
  where.directoryDeflated = spec.deflateDirectory;
  uint32_t directoryPackedSize = 0;
  if (spec.deflateDirectory) {
    const std::vector<uint8_t> stream = DeflateBytes(directory, spec.level);
    directoryPackedSize = Narrow(stream.size(), "directory stream");
    out.insert(out.end(), stream.begin(), stream.end());
  } else {
    out.insert(out.end(), directory.begin(), directory.end());
  }
  where.directoryLength = Narrow(out.size() - where.directoryOffset, "directory");
  Narrow(out.size(), "package");

  // A package with a delta entry gets the delta signature, which readers of plain packages
  // refuse; any other package is a plain one.
  bool hasDelta = false;
  for (const WriterEntry& entry : spec.entries)
    hasDelta = hasDelta || (entry.extraFlags & ENTRY_DELTA);
  std::memcpy(out.data(), hasDelta ? kDeltaPackageSignature : kPackageSignature,
              sizeof kPackageSignature);
  WriteLE32(out.data() + PackageLayout::kEntryCountField,
            Narrow(spec.entries.size(), "entry count"));
  WriteLE32(out.data() + PackageLayout::kDirectoryOffsetField, where.directoryOffset);
  WriteLE32(out.data() + PackageLayout::kDirectoryMethodField,
            spec.deflateDirectory ? kDirectoryDeflated : kDirectoryStored);
  WriteLE32(out.data() + PackageLayout::kDirectoryPackedSizeField, directoryPackedSize);
  if (layout) *layout = std::move(where);
  return out;
}

std::vector<uint8_t> RegistryKeysPayload(const std::string& keyPath, const std::string& folderValue,
                                         const std::string& fileValue,
                                         const std::string& patchValue, int32_t level) {
  std::vector<uint8_t> out;
  for (const std::string* s : {&keyPath, &folderValue, &fileValue, &patchValue})
    AppendString(out, *s);
  AppendLE32(out, static_cast<uint32_t>(level));
  out.push_back(0);
  return out;
}

std::vector<uint8_t> StartupMsgPayload(const std::string& caption, const std::string& text) {
  std::vector<uint8_t> out;
  AppendString(out, caption);
  AppendString(out, text);
  out.push_back(0);
  return out;
}

std::vector<uint8_t> TransactionPayload(uint32_t rules) {
  std::vector<uint8_t> out(4);
  WriteLE32(out.data(), rules);
  return out;
}

std::vector<uint8_t> NameListPayload(const std::vector<std::string>& names) {
  std::vector<uint8_t> out;
  for (const std::string& name : names) {
    if (name.empty()) throw PackageWriteError("an empty name would end the list early");
    AppendString(out, name);
  }
  out.push_back(0);
  return out;
}

std::vector<uint8_t> XlatTablePayload(
    const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::vector<uint8_t> out;
  for (const auto& pair : pairs) {
    if (pair.first.empty()) throw PackageWriteError("an empty entry name would end the table");
    AppendString(out, pair.first);
    AppendString(out, pair.second);
  }
  out.push_back(0);
  return out;
}

void WrapUpdater(const ByteSource& executable, const ByteSource& package, const ByteSink& sink) {
  if (package.length == 0) throw PackageWriteError("the package is empty");
  UpdaterPlan plan;
  if (!PlanUpdater(executable, package, plan))
    throw PackageWriteError("the updater would be 4 GiB or more");
  std::vector<unsigned char> buffer(kExtractChunk);
  if (!CopyUpdater(executable, package, plan, sink, buffer.data(), kExtractChunk))
    throw PackageWriteError("cannot copy the updater's parts");
}

std::vector<uint8_t> WrapUpdater(const std::vector<uint8_t>& executable,
                                 const std::vector<uint8_t>& package) {
  if (executable.size() > UINT32_MAX || package.size() > UINT32_MAX)
    throw PackageWriteError("the updater would be 4 GiB or more");
  std::vector<uint8_t> out;
  const auto append = [](void* context, const unsigned char* data, uint32_t count) {
    auto* bytes = static_cast<std::vector<uint8_t>*>(context);
    bytes->insert(bytes->end(), data, data + count);
    return 1;
  };
  WrapUpdater(MemorySource(executable.data(), static_cast<uint32_t>(executable.size())),
              MemorySource(package.data(), static_cast<uint32_t>(package.size())),
              ByteSink{append, &out});
  return out;
}
