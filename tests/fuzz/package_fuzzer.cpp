// libFuzzer target: arbitrary bytes as a bare package (plain or with deltas) and as a
// self-contained updater (signed or not), through open, section checks and extraction of every
// entry, and as the executable and the package of an updater build. Besides the sanitizers it traps
// when the reader or the builder breaks its promises: a package that opened must have
// NUL-terminated names, control sections that extract and parse, and entries that extract into
// exactly their size; a signed updater reads exactly as the same file cut just past its trailer,
// and as the same file with a hidden updater appended inside its certificate table; a bare package
// that opens still opens once built into an updater, whatever the executable's headers say.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <vector>

#include "delta/delta_package.h"
#include "package/builder.h"
#include "package/format.h"
#include "package/names.h"
#include "package/package.h"
#include "package/pe_image.h"
#include "package/sections.h"

namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Every view reads in small steps, which keeps a run cheap, and accepts delta packages, so that
// the rules of their directories are fuzzed too.
constexpr uint32_t kFuzzChunk = 4096;
constexpr uint32_t kFuzzMaxResult = 512;  // the largest delta result applied
void InitFuzzView(PackageView& view) {
  InitPackageView(view);
  view.chunk = kFuzzChunk;
  view.acceptDeltas = 1;
}

// Sizes what a file's delta builds and refuses more than its result's size.
struct Bounded {
  uint64_t room;
};
int WriteBounded(void* context, const unsigned char*, uint32_t count) {
  auto* sink = static_cast<Bounded*>(context);
  Require(count <= sink->room);
  sink->room -= count;
  return 1;
}

// Each file of a delta package as the updater takes it, the input's own first bytes standing in
// for the file on disk: the plan names an entry of the file's group, and every delta builds
// within its result's size or fails.
void PlanAndApplyFiles(const uint8_t* data, size_t size, const PackageView& view) {
  static unsigned char work[DeltaWorkSize(kFuzzChunk)];
  const auto count = static_cast<int>(view.header.entryCount);
  for (int first = 0; first < count;) {
    const int length = FileGroupLength(view, first);
    Require(length >= 1 && first + length <= count);
    if (!IsControlSection(view.directory[first])) {
      const ByteSource disk = MemorySource(data, static_cast<uint32_t>(size < 3000 ? size : 3000));
      // Every earlier file taken as built (by the input's bits): a delta from another file's
      // new version is chosen only where that file's entries come first.
      struct Earlier {
        int first;
        uint8_t bits;
      } earlier{first, static_cast<uint8_t>(size ? data[size - 1] : 0)};
      const BuiltFiles built{[](void* context, int group) {
                               const auto* e = static_cast<const Earlier*>(context);
                               Require(group < e->first);
                               return (e->bits >> (group & 7)) & 1;
                             },
                             &earlier};
      FilePlan plan;
      Require(PlanFile(view, first, &disk, &built, work, kFuzzChunk, plan) == 1);
      Require(plan.entry == -1 || (plan.entry >= first && plan.entry < first + length));
      Require(plan.action == kFileApplyDelta ? plan.baseGroup == DeltaBaseGroup(view, plan.entry)
                                             : plan.baseGroup == -1);
      // Every delta of the group applied to a base of its size cut from the input: it builds
      // at most its result's size or fails.
      for (int i = first; i < first + length; ++i) {
        const DirectoryEntry& e = view.directory[i];
        DeltaHeader header;
        if (!IsDeltaEntry(view, e)) continue;
        Require(ReadDeltaHeader(EntryDeltaStream(view, e), header) == 1);
        // A few coded bytes can stand for a long run of unchanged bytes, so a result costs about
        // its size to decode whatever the input's: the delta fuzzer covers the applier, and here
        // results beyond a few hundred bytes only slowed every run down (1,600 runs a second
        // against 21,000).
        if (header.baseSize > size || header.resultSize > kFuzzMaxResult) continue;
        Bounded sink = {header.resultSize};
        ApplyDelta(EntryDeltaStream(view, e), MemorySource(data, header.baseSize),
                   ByteSink{WriteBounded, &sink}, kFuzzChunk, work, header.baseEntry != 0);
      }
    }
    first += length;
  }
}

// A delta package must be refused, whole, by a reader of plain packages.
void CheckPlainReaderRefuses(const uint8_t* data, size_t size, int selfContained) {
  PackageView plain;
  InitPackageView(plain);
  plain.chunk = kFuzzChunk;
  SetMemorySource(plain, data, static_cast<uint32_t>(size));
  Require(LoadPackage(plain, selfContained) == 0 && plain.refusal == kRefusedSignature);
  UnloadPackage(plain);
}

void CheckSections(const PackageView& view) {
  for (const char* key : kControlSections) {
    const int index = FindEntry(view, key);
    if (index < 0) continue;
    const uint32_t size = view.directory[index].size;
    unsigned char* payload = ExtractToBuffer(view, index);
    Require(payload != nullptr);  // checked at open
    if (NamesEqual(key, kStartupMsgSection)) {
      const char* caption;
      const char* text;
      Require(ParseStartupMsg(payload, size, caption, text) == 1);
    } else if (NamesEqual(key, kRegistryKeysSection)) {
      RegistryKeys keys;
      Require(ParseRegistryKeys(payload, size, keys) == 1);
    } else if (NamesEqual(key, kXlatNamesSection)) {
      Require(CheckXlatTable(payload, size) == 1);
    } else {
      Require(CheckNameList(payload, size, 1) == 1);
    }
    std::free(payload);
  }
}

void ExtractAll(const PackageView& view) {
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    const DirectoryEntry& e = view.directory[i];
    Require(std::memchr(e.name, 0, kEntryNameSize) != nullptr);
    Require(IsControlSection(e) || IsFileName(e.name));
    // Exactly size bytes, so that the sanitizer sees any write past them.
    unsigned char* destination = static_cast<unsigned char*>(std::malloc(e.size ? e.size : 1));
    if (!destination) continue;
    ExtractEntry(view, static_cast<int>(i), destination);
    std::free(destination);
  }
}

// What a self-contained read found must be what an unsigned updater of the same bytes, ending
// at the trailer and with the security entry cleared, gives: signing adds nothing that is read.
void CheckSameAsCut(const uint8_t* data, const PackageView& view) {
  Require(view.packageEnd >= kTrailerSize && view.packageEnd <= view.source.length);
  std::vector<uint8_t> bytes(data, data + view.packageEnd);
  CertificateTable table;
  if (ReadCertificateTable(view.source, table) && table.entryOffset + 8 <= view.packageEnd)
    std::memset(bytes.data() + table.entryOffset, 0, 8);
  PackageView cut;
  InitFuzzView(cut);
  SetMemorySource(cut, bytes.data(), view.packageEnd);
  Require(LoadPackage(cut, 1) == 1);
  Require(cut.packageOffset == view.packageOffset);
  Require(std::memcmp(cut.directory, view.directory,
                      view.header.entryCount * sizeof(DirectoryEntry)) == 0);
  UnloadPackage(cut);
}

// A signed file must read exactly like the same file with bytes appended inside its certificate
// table, the table's sizes grown to match: here the input's own first bytes and a trailer that
// points at them, the hidden updater an attacker would append.
void CheckGrownTableReadsTheSame(const uint8_t* data, uint32_t size, int opened,
                                 const PackageView& view) {
  const ByteSource source = MemorySource(data, size);
  CertificateTable table;
  if (!CertificateTableAtEnd(source, table)) return;
  const uint32_t copied = size < 512 ? size : 512;
  const uint64_t grownLength = uint64_t{size} + copied + 8;
  if (grownLength > UINT32_MAX || table.offset + 8 > size) return;
  std::vector<uint8_t> grown(data, data + size);
  grown.insert(grown.end(), data, data + copied);
  unsigned char trailer[kTrailerSize];
  WriteLE32(trailer, size);
  std::memcpy(trailer + 4, kTrailerMagic, 4);
  grown.insert(grown.end(), trailer, trailer + kTrailerSize);
  const uint32_t grownSize = table.size + copied + kTrailerSize;
  WriteLE32(grown.data() + table.entryOffset + 4, grownSize);
  WriteLE32(grown.data() + table.offset, grownSize);  // the WIN_CERTIFICATE length
  PackageView other;
  InitFuzzView(other);
  SetMemorySource(other, grown.data(), static_cast<uint32_t>(grown.size()));
  const int otherOpened = LoadPackage(other, 1);
  Require(otherOpened == opened);
  if (opened) {
    Require(other.packageOffset == view.packageOffset && other.packageEnd == view.packageEnd);
    Require(std::memcmp(other.directory, view.directory,
                        view.header.entryCount * sizeof(DirectoryEntry)) == 0);
  }
  UnloadPackage(other);
}

int AppendTo(void* context, const unsigned char* data, uint32_t count) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), data, data + count);
  return 1;
}

// The input as the executable and as the package of a build (the executable's PE headers are
// read for a certificate table). When the input opens as a bare package, the updater must open
// with the package where the plan put it; its length is always a multiple of 8.
void CheckBuild(const uint8_t* data, uint32_t size, int bareOpened) {
  const ByteSource input = MemorySource(data, size);
  UpdaterPlan plan;
  if (!PlanUpdater(input, input, plan)) return;
  Require(plan.executableSize <= size && plan.outputSize % 8 == 0);
  std::vector<uint8_t> out;
  unsigned char buffer[4096];
  Require(CopyUpdater(input, input, plan, ByteSink{AppendTo, &out}, buffer, sizeof buffer) == 1);
  Require(out.size() == plan.outputSize);
  if (!bareOpened) return;
  PackageView view;
  InitFuzzView(view);
  SetMemorySource(view, out.data(), static_cast<uint32_t>(out.size()));
  Require(LoadPackage(view, 1) == 1 && view.packageOffset == plan.executableSize);
  UnloadPackage(view);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > UINT32_MAX) return 0;
  int bareOpened = 0;
  for (int selfContained = 0; selfContained < 2; ++selfContained) {
    PackageView view;
    InitFuzzView(view);
    SetMemorySource(view, data, static_cast<uint32_t>(size));
    const int opened = LoadPackage(view, selfContained);
    // A reason exactly when refused; an entry in the directory exactly when the reason names one.
    Require(opened == (view.refusal == kRefusedNone) && view.refusal < kRefusalCount);
    Require(view.refusal < kRefusedEntryName
                ? view.refusedEntry == -1
                : view.refusedEntry >= 0 &&
                      static_cast<uint32_t>(view.refusedEntry) < view.header.entryCount);
    if (opened) {
      Require(view.directory != nullptr && view.header.entryCount > 0);
      CheckSections(view);
      ExtractAll(view);
      if (selfContained) CheckSameAsCut(data, view);
      if (!selfContained) bareOpened = 1;
      if (view.hasDeltas) {
        CheckPlainReaderRefuses(data, size, selfContained);
        PlanAndApplyFiles(data, size, view);
      }
    }
    if (selfContained) CheckGrownTableReadsTheSame(data, static_cast<uint32_t>(size), opened, view);
    UnloadPackage(view);
    Require(view.directory == nullptr);
  }
  CheckBuild(data, static_cast<uint32_t>(size), bareOpened);
  return 0;
}
