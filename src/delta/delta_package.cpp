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

int CheckDeltaEntries(const PackageView& view, int* badEntry) {
  const auto count = static_cast<int>(view.header.entryCount);
  for (int i = 0; i < count; ++i) {
    const DirectoryEntry& e = view.directory[i];
    int ok = 1;
    if (IsDeltaEntry(view, e)) {
      DeltaHeader header;
      ok = !IsControlSection(e) && !(e.flags & ENTRY_DEFLATED) &&
           ReadDeltaHeader(EntryDeltaStream(view, e), header);
      // A delta follows only deltas of its own name (or starts the group).
      if (ok && i > 0 && NamesEqual(view.directory[i - 1].name, e.name))
        ok = IsDeltaEntry(view, view.directory[i - 1]);
    } else if (!IsControlSection(e) && i > 0 && NamesEqual(view.directory[i - 1].name, e.name)) {
      ok = IsDeltaEntry(view, view.directory[i - 1]);  // one whole entry, after the deltas
    }
    // A name's group, once ended, does not start again.
    const bool startsGroup = i == 0 || !NamesEqual(view.directory[i - 1].name, e.name);
    for (int j = 0; ok && startsGroup && !IsControlSection(e) && j < i; ++j)
      ok = !NamesEqual(view.directory[j].name, e.name);
    if (!ok) {
      if (badEntry) *badEntry = i;
      return 0;
    }
  }
  return 1;
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
