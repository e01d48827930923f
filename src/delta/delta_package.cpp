#include "delta/delta_package.h"

#include <cstdlib>
#include <cstring>
#include <utility>

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

namespace {

// Entries by name as NamesEqual compares them, and those of one name by their place.
bool Before(const DirectoryEntry* a, const DirectoryEntry* b) {
  const int order = CompareNames(a->name, b->name);
  return order < 0 || (order == 0 && a < b);
}

void SiftDown(const DirectoryEntry** heap, int root, int end) {
  for (int child; (child = 2 * root + 1) < end; root = child) {
    if (child + 1 < end && Before(heap[child], heap[child + 1])) ++child;
    if (!Before(heap[root], heap[child])) return;
    std::swap(heap[root], heap[child]);
  }
}

// Heapsort, not msvcrt's qsort: the names are the package maker's to choose, and a quicksort has
// orders of its input that make it quadratic; a heap is O(n log n) whatever they are.
void SortByName(const DirectoryEntry** entries, int count) {
  for (int root = count >> 1; root-- > 0;) SiftDown(entries, root, count);
  for (int end = count; end-- > 1;) {
    std::swap(entries[0], entries[end]);
    SiftDown(entries, 0, end);
  }
}

}  // namespace

PackageRefusal CheckDeltaEntries(const PackageView& view, int& badEntry) {
  const auto count = static_cast<int>(view.header.entryCount);
  // The first file entry, in directory order, that starts a run of its name while an earlier
  // entry has that name: where a file's group starts again. Sorted by name and place, the entry
  // just before one is its nearest earlier namesake, if it has one: the entry before it in the
  // directory exactly when it continues a run.
  int restarts = count;
  const auto** byName =
      static_cast<const DirectoryEntry**>(std::malloc(count * sizeof(DirectoryEntry*)));
  if (!byName) return kRefusedNoMemory;
  for (int i = 0; i < count; ++i) byName[i] = &view.directory[i];
  SortByName(byName, count);
  for (int k = 1; k < count; ++k) {
    const DirectoryEntry* e = byName[k];
    const auto i = static_cast<int>(e - view.directory);
    if (i < restarts && !IsControlSection(*e) && byName[k - 1] != e - 1 &&
        NamesEqual(byName[k - 1]->name, e->name))
      restarts = i;
  }
  std::free(byName);

  DeltaHeader first;  // the header of the current file's first delta
  bool afterDelta = false;
  int group = 0;  // where the current file's entries start
  for (int i = 0; i < count; ++i) {
    const DirectoryEntry& e = view.directory[i];
    const bool section = IsControlSection(e);
    const bool delta = IsDeltaEntry(view, e);
    const bool startsGroup = i == 0 || !NamesEqual(view.directory[i - 1].name, e.name);
    if (startsGroup) group = i;
    PackageRefusal refusal = kRefusedNone;
    DeltaHeader header;
    if (delta && (section || (e.flags & ENTRY_DEFLATED)))
      refusal = kRefusedDeltaForm;
    else if (delta && !ReadDeltaHeader(EntryDeltaStream(view, e), header))
      refusal = kRefusedDeltaHeader;
    // A delta, or the one whole entry, follows only deltas of its own name or starts the group,
    // and a name's group, once ended, does not start again. A delta's base of another name is
    // an entry before the group (a section, or one inside another file's group, names no file
    // that a run builds: the delta is never chosen).
    else if (!section && ((startsGroup ? i == restarts : !afterDelta) ||
                          (delta && header.baseEntry > static_cast<uint32_t>(group))))
      refusal = kRefusedDeltaOrder;
    // Past its start a file's entries follow deltas, the first of them in `first`, and give that
    // delta's result.
    else if (!section && !startsGroup &&
             (delta ? header.resultSize != first.resultSize ||
                          std::memcmp(header.resultHash, first.resultHash, kSha256Size) != 0
                    : e.size != first.resultSize))
      refusal = kRefusedDeltaResult;
    if (refusal != kRefusedNone) {
      badEntry = i;
      return refusal;
    }
    if (startsGroup && delta) first = header;
    afterDelta = delta;
  }
  return kRefusedNone;
}

int PlanFile(const PackageView& view, int first, const ByteSource* existing,
             const BuiltFiles* built, unsigned char* buffer, uint32_t chunk, FilePlan& plan) {
  const int length = FileGroupLength(view, first);
  plan.action = kFileNoBase;
  plan.entry = plan.baseGroup = -1;
  bool sizeNamed = false;
  // The whole entry, if any, is the group's last: a delta from another file taken before it stays.
  for (int i = first; i < first + length; ++i) {
    const DirectoryEntry& e = view.directory[i];
    DeltaHeader h;
    if (!IsDeltaEntry(view, e)) {
      if (plan.action == kFileNoBase) plan.action = kFileInstallWhole, plan.entry = i;
    } else if (ReadDeltaHeader(EntryDeltaStream(view, e), h)) {
      const int group = static_cast<int>(h.baseEntry) - 1;
      if (group >= 0 && built && built->isBuilt(built->context, group))
        plan.action = kFileApplyDelta, plan.entry = i, plan.baseGroup = group;
      if (existing && (h.baseSize == existing->length || h.resultSize == existing->length))
        sizeNamed = true;
    }
  }
  if (!sizeNamed) return 1;

  unsigned char digest[kSha256Size];
  if (!Sha256OfSource(*existing, buffer, chunk, digest)) return 0;
  for (int i = first; i < first + length; ++i) {
    const DirectoryEntry& e = view.directory[i];
    DeltaHeader h;
    if (!IsDeltaEntry(view, e) || !ReadDeltaHeader(EntryDeltaStream(view, e), h)) continue;
    if (h.resultSize == existing->length && std::memcmp(h.resultHash, digest, kSha256Size) == 0) {
      plan.action = kFileAlreadyNew;
      plan.entry = plan.baseGroup = -1;
      return 1;
    }
    if (!h.baseEntry && h.baseSize == existing->length &&
        std::memcmp(h.baseHash, digest, kSha256Size) == 0)
      plan.action = kFileApplyDelta, plan.entry = i, plan.baseGroup = -1;
  }
  return 1;
}

int DeltaBaseGroup(const PackageView& view, int entry) {
  DeltaHeader h;
  if (!ReadDeltaHeader(EntryDeltaStream(view, view.directory[entry]), h) || !h.baseEntry) return -1;
  return static_cast<int>(h.baseEntry - 1);
}

int KeptOnlyAsBase(const PackageView& view, int first) {
  const DirectoryEntry& e = view.directory[first];
  DeltaHeader h;
  return FileGroupLength(view, first) == 1 && IsDeltaEntry(view, e) &&
         ReadDeltaHeader(EntryDeltaStream(view, e), h) && h.baseEntry == 0 &&
         std::memcmp(h.baseHash, h.resultHash, kSha256Size) == 0;
}
