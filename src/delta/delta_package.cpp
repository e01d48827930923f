#include "delta/delta_package.h"

#include <cstring>

#include "package/names.h"

DeltaStream EntryDeltaStream(const PackageView& view, const DirectoryEntry& e) {
  return DeltaStream{view.source, view.packageOffset + e.dataOffset, e.size};
}

int FileGroupLength(const PackageView& view, int first) {
  const auto count = static_cast<int>(view.header.entryCount);
  int end = first + 1;
  if (!view.hasDeltas) return 1;
  while (end < count && NamesEqual(view.directory[end].name, view.directory[first].name)) ++end;
  return end - first;
}

PackageRefusal CheckDeltaEntries(const PackageView& view, int& badEntry) {
  const auto count = static_cast<int>(view.header.entryCount);
  for (int i = 0; i < count; ++i) {
    const DirectoryEntry& e = view.directory[i];
    const bool section = IsControlSection(e);
    const bool startsGroup = i == 0 || !NamesEqual(view.directory[i - 1].name, e.name);
    PackageRefusal refusal = kRefusedNone;
    DeltaHeader header;
    if (IsDeltaEntry(view, e) && (section || (e.flags & ENTRY_DEFLATED)))
      refusal = kRefusedDeltaForm;
    else if (IsDeltaEntry(view, e) && !ReadDeltaHeader(EntryDeltaStream(view, e), header))
      refusal = kRefusedDeltaHeader;
    // A delta, or the one whole entry, follows only deltas of its own name (or starts the group).
    else if (!section && !startsGroup && !IsDeltaEntry(view, view.directory[i - 1]))
      refusal = kRefusedDeltaOrder;
    // A name's group, once ended, does not start again.
    for (int j = 0; refusal == kRefusedNone && startsGroup && !section && j < i; ++j)
      if (NamesEqual(view.directory[j].name, e.name)) refusal = kRefusedDeltaOrder;
    if (refusal != kRefusedNone) {
      badEntry = i;
      return refusal;
    }
  }
  return kRefusedNone;
}

int PlanFile(const PackageView& view, int first, const ByteSource* existing, unsigned char* buffer,
             uint32_t chunk, FilePlan& plan) {
  const int length = FileGroupLength(view, first);
  int whole = -1;
  bool sizeNamed = false;
  for (int i = first; i < first + length; ++i) {
    const DirectoryEntry& e = view.directory[i];
    if (!IsDeltaEntry(view, e)) {
      whole = i;
      continue;
    }
    DeltaHeader h;
    if (existing && ReadDeltaHeader(EntryDeltaStream(view, e), h) &&
        (h.baseSize == existing->length || h.resultSize == existing->length))
      sizeNamed = true;
  }
  plan = FilePlan{whole >= 0 ? kFileInstallWhole : kFileNoBase, whole};
  if (!sizeNamed) return 1;

  unsigned char digest[kSha256Size];
  if (!Sha256OfSource(*existing, buffer, chunk, digest)) return 0;
  for (int i = first; i < first + length; ++i) {
    const DirectoryEntry& e = view.directory[i];
    DeltaHeader h;
    if (!IsDeltaEntry(view, e) || !ReadDeltaHeader(EntryDeltaStream(view, e), h)) continue;
    if (h.resultSize == existing->length && std::memcmp(h.resultHash, digest, kSha256Size) == 0) {
      plan = FilePlan{kFileAlreadyNew, -1};
      return 1;
    }
    if (h.baseSize == existing->length && std::memcmp(h.baseHash, digest, kSha256Size) == 0)
      plan = FilePlan{kFileApplyDelta, i};
  }
  return 1;
}
