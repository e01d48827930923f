#include <cstdlib>
#include <cstring>

#include "delta/delta_package.h"
#include "package/inflate_stream.h"
#include "package/names.h"
#include "package/package.h"
#include "package/pe_image.h"
#include "package/sections.h"

namespace {

// A sink that fills a caller's buffer of a known size and refuses anything beyond it.
struct BufferSink {
  unsigned char* next;
  uint32_t room;
};

int WriteToBuffer(void* context, const unsigned char* data, uint32_t count) {
  auto* sink = static_cast<BufferSink*>(context);
  if (count > sink->room) return 0;
  std::memcpy(sink->next, data, count);
  sink->next += count;
  sink->room -= count;
  return 1;
}

int ReadFromMemory(void* context, uint32_t offset, unsigned char* buffer, uint32_t count) {
  std::memcpy(buffer, static_cast<const unsigned char*>(context) + offset, count);
  return 1;
}

// What an extraction reads: stored bytes at a package offset, checked at load to lie inside
// the package.
struct StoredData {
  uint32_t dataOffset;  // from the package start
  uint32_t size;        // bytes once extracted
  uint32_t packedSize;  // bytes of the zlib stream, when deflated
  bool deflated;
};

uint32_t ChunkOf(const PackageView& view) {
  return view.chunk != 0 && view.chunk < kExtractChunk ? view.chunk : kExtractChunk;
}

int CopyStored(const PackageView& view, const StoredData& data, const ByteSink& sink) {
  unsigned char* chunk = view.scratch;
  const uint32_t step = ChunkOf(view);
  uint32_t offset = view.packageOffset + data.dataOffset;
  for (uint32_t left = data.size; left > 0;) {
    const uint32_t count = left < step ? left : step;
    if (!view.source.read(view.source.context, offset, chunk, count)) return 0;
    if (!sink.write(sink.context, chunk, count)) return 0;
    offset += count;
    left -= count;
  }
  return 1;
}

// An entry's inflated bytes on the way to its sink: counted against its size.
struct InflatedEntry {
  const ByteSink* sink;
  uint32_t room;  // bytes the stream may still produce
};

int TakeInflated(void* context, unsigned char* data, uint32_t count) {
  auto& entry = *static_cast<InflatedEntry*>(context);
  if (count > entry.room || !entry.sink->write(entry.sink->context, data, count)) return 0;
  entry.room -= count;
  return 1;
}

// Inflates one zlib stream of packedSize bytes into exactly size bytes, chunk by chunk. Never
// reads past the stream's packedSize bytes; fails when the stream is damaged, ends early, would
// produce more than size bytes, or does not end (Adler-32 checked) within packedSize.
int InflateStored(const PackageView& view, const StoredData& data, const ByteSink& sink) {
  InflatedEntry entry = {&sink, data.size};
  return InflateZlibStream(view.source, view.packageOffset + data.dataOffset, data.packedSize,
                           view.scratch, ChunkOf(view), TakeInflated, &entry) &&
         entry.room == 0;
}

int StreamStored(const PackageView& view, const StoredData& data, const ByteSink& sink) {
  if (!view.scratch || !view.source.read) return 0;
  return data.deflated ? InflateStored(view, data, sink) : CopyStored(view, data, sink);
}

StoredData EntryData(const DirectoryEntry& e) {
  return {e.dataOffset, e.size, e.packedSize, (e.flags & ENTRY_DEFLATED) != 0};
}

// CheckSectionPayload tells the sections by their place in kControlSections, and their reasons
// follow it.
static_assert(kControlSections[0] == kStartupMsgSection &&
                  kControlSections[1] == kRegistryKeysSection &&
                  kControlSections[2] == kXlatNamesSection &&
                  kControlSections[3] == kFoldersSection &&
                  kControlSections[4] == kFilesToRemoveSection,
              "the order of the control sections");
static_assert(kRefusedFilesToRemove - kRefusedStartupMsg == kControlSectionCount - 1 &&
                  kRefusedFilesToRemove + 1 == kRefusalCount,
              "one reason for each control section, in their order");

PackageRefusal CheckControlSections(const PackageView& view, int& index) {
  for (int section = 0; section < kControlSectionCount; ++section) {
    index = FindEntry(view, kControlSections[section]);
    if (index < 0) continue;
    unsigned char* payload = ExtractToBuffer(view, index);
    if (!payload) return kRefusedSectionDamaged;
    const PackageRefusal refusal =
        CheckSectionPayload(section, payload, view.directory[index].size);
    std::free(payload);
    if (refusal != kRefusedNone) return refusal;
  }
  return kRefusedNone;
}

PackageRefusal LoadChecked(PackageView& view, int selfContained) {
  const ByteSource& source = view.source;
  if (!source.read) return kRefusedUnreadable;

  uint32_t packageOffset = 0;
  view.packageEnd = source.length;
  if (selfContained) {
    uint32_t trailerOffset;
    if (!FindTrailer(source, trailerOffset, packageOffset)) return kRefusedNoTrailer;
    // Up to and including the trailer, as in an unsigned updater, where the trailer ends the file.
    view.packageEnd = trailerOffset + kTrailerSize;
  }
  view.packageOffset = packageOffset;
  if (!FitsIn(packageOffset, kHeaderSize, view.packageEnd)) return kRefusedHeaderBounds;
  if (!source.read(source.context, packageOffset, reinterpret_cast<unsigned char*>(&view.header),
                   kHeaderSize))
    return kRefusedUnreadable;

  const PackageHeader& h = view.header;
  view.hasDeltas = view.acceptDeltas &&
                   std::memcmp(h.signature, kDeltaPackageSignature, sizeof h.signature) == 0;
  if (!view.hasDeltas && std::memcmp(h.signature, kPackageSignature, sizeof h.signature) != 0)
    return kRefusedSignature;
  if (h.entryCount == 0 || h.directoryOffset == 0) return kRefusedHeaderEmpty;

  const uint64_t directoryBytes = static_cast<uint64_t>(h.entryCount) * kEntrySize;
  if (directoryBytes > UINT32_MAX) return kRefusedDirectoryTooLarge;
  const uint32_t packageLength = view.packageEnd - packageOffset;
  const uint32_t method = h.directoryMethod & 3;
  if (method == kDirectoryRejected) return kRefusedDirectoryMethod;
  const bool deflated = method == kDirectoryDeflated;
  if (deflated) {
    if (!FitsIn(h.directoryOffset, h.directoryPackedSize, packageLength))
      return kRefusedDirectoryBounds;
    if (directoryBytes > static_cast<uint64_t>(h.directoryPackedSize) * kMaxInflateRatio)
      return kRefusedDirectoryRatio;
  } else if (!FitsIn(h.directoryOffset, directoryBytes, packageLength)) {
    return kRefusedDirectoryBounds;
  }

  view.scratch = static_cast<unsigned char*>(std::malloc(2 * ChunkOf(view)));
  view.directory = static_cast<DirectoryEntry*>(std::malloc(directoryBytes));
  if (!view.scratch || !view.directory) return kRefusedNoMemory;
  const StoredData data = {h.directoryOffset, static_cast<uint32_t>(directoryBytes),
                           h.directoryPackedSize, deflated};
  BufferSink buffer = {reinterpret_cast<unsigned char*>(view.directory),
                       static_cast<uint32_t>(directoryBytes)};
  if (!StreamStored(view, data, ByteSink{WriteToBuffer, &buffer})) return kRefusedDirectoryDamaged;

  PackageRefusal refusal = CheckEntries(view, view.refusedEntry);
  if (refusal == kRefusedNone && view.hasDeltas)
    refusal = CheckDeltaEntries(view, view.refusedEntry);
  if (refusal == kRefusedNone) refusal = CheckControlSections(view, view.refusedEntry);
  return refusal;
}

}  // namespace

void InitPackageView(PackageView& view) {
  std::memset(&view, 0, sizeof view);
  view.file = InvalidHandle();
}

ByteSource MemorySource(const unsigned char* bytes, uint32_t length) {
  return ByteSource{ReadFromMemory, const_cast<unsigned char*>(bytes), length};
}

void SetMemorySource(PackageView& view, const unsigned char* bytes, uint32_t length) {
  view.source = MemorySource(bytes, length);
}

int FindTrailer(const ByteSource& source, uint32_t& trailerOffset, uint32_t& packageOffset) {
  if (!source.read || source.length < kTrailerSize) return 0;
  CertificateTable table;
  if (ReadCertificateTable(source, table) && table.size != 0) {
    // A signed file. Neither the certificate table nor the security entry is covered by the
    // signature, so anyone can grow the table and end it with a trailer of their own: only the
    // bytes in front of the table are read, and a table that does not end the file, as signing
    // leaves it, is no updater at all.
    if (!CertificateTableAtEnd(source, table)) return 0;
    // The trailer and at most 7 zeros of padding: the 15 bytes before the table, or all there
    // are. Zeros are skipped from the end; the trailer's own last byte is 'E', so the run stops
    // there, and a run of 8 or more leaves fewer than 8 bytes for the trailer.
    unsigned char tail[kTrailerSize + 7];
    const uint32_t count = table.offset < sizeof tail ? table.offset : sizeof tail;
    if (!source.read(source.context, table.offset - count, tail, count)) return 0;
    uint32_t end = count;
    while (end > 0 && tail[end - 1] == 0) --end;
    if (end < kTrailerSize) return 0;
    if (std::memcmp(tail + end - 4, kTrailerMagic, 4) != 0) return 0;
    trailerOffset = table.offset - (count - end) - kTrailerSize;
    packageOffset = ReadLE32(tail + end - kTrailerSize);
    return 1;
  }
  unsigned char last[kTrailerSize];
  if (!source.read(source.context, source.length - kTrailerSize, last, kTrailerSize)) return 0;
  if (std::memcmp(last + 4, kTrailerMagic, 4) != 0) return 0;
  trailerOffset = source.length - kTrailerSize;
  packageOffset = ReadLE32(last);
  return 1;
}

int LoadPackage(PackageView& view, int selfContained) {
  view.refusedEntry = 0;  // where CheckEntries starts
  view.refusal = LoadChecked(view, selfContained);
  if (view.refusal < kRefusedEntryName) view.refusedEntry = -1;
  return view.refusal == kRefusedNone;
}

PackageRefusal CheckEntries(const PackageView& view, int& index) {
  const uint32_t packageLength = view.packageEnd - view.packageOffset;
  for (; static_cast<uint32_t>(index) < view.header.entryCount; ++index) {
    const DirectoryEntry& e = view.directory[index];
    if (!std::memchr(e.name, 0, kEntryNameSize)) return kRefusedEntryName;
    const bool deflated = (e.flags & ENTRY_DEFLATED) != 0;
    if (!FitsIn(e.dataOffset, deflated ? e.packedSize : e.size, packageLength))
      return kRefusedEntryBounds;
    if (deflated && e.size > static_cast<uint64_t>(e.packedSize) * kMaxInflateRatio)
      return kRefusedInflateRatio;
    if (!IsControlSection(e) && !IsFileName(e.name)) return kRefusedNotAFileName;
  }
  return kRefusedNone;
}

PackageRefusal CheckSectionPayload(int section, const unsigned char* data, uint32_t size) {
  int ok = size != 0;
  if (ok && section == 0) {
    const char* caption;
    const char* text;
    ok = ParseStartupMsg(data, size, caption, text);
  } else if (ok && section == 1) {
    RegistryKeys keys;
    ok = ParseRegistryKeys(data, size, keys);
  } else if (ok) {
    ok = section == 2 ? CheckXlatTable(data, size) : CheckNameList(data, size, 1);
  }
  return ok ? kRefusedNone : static_cast<PackageRefusal>(kRefusedStartupMsg + section);
}

int FindEntry(const PackageView& view, const char* key) {
  if (!view.directory) return -1;
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    if (NamesEqual(view.directory[i].name, key)) return static_cast<int>(i);
  }
  return -1;
}

int StreamEntry(const PackageView& view, int index, const ByteSink& sink) {
  return StreamStored(view, EntryData(view.directory[index]), sink);
}

int ExtractEntry(const PackageView& view, int index, unsigned char* destination) {
  BufferSink buffer = {destination, view.directory[index].size};
  return StreamEntry(view, index, ByteSink{WriteToBuffer, &buffer});
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

void UnloadPackage(PackageView& view) {
  std::free(view.directory);
  view.directory = nullptr;
  std::free(view.scratch);
  view.scratch = nullptr;
}
