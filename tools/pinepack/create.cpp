#include "create.h"

#include <algorithm>
#include <map>
#include <set>
#include <system_error>

#include "cp1251.h"
#include "delta/delta_package.h"
#include "delta_writer.h"
#include "file_io.h"
#include "package/format.h"
#include "package/names.h"
#include "similar_files.h"
#include "tree_walk.h"

namespace fs = std::filesystem;

namespace {

// Deflated stream when it is smaller than the data, otherwise stored: 1. With a limit below the
// data's size, 0 as soon as the stream is known to be longer than limit bytes, the entry left
// undecided: deflating a large file that is wanted only if it is short costs little then.
bool Pack(WriterEntry& entry, const CreateOptions& options, size_t limit = SIZE_MAX) {
  entry.level = options.level;
  entry.deflate = false;
  if (options.storeAll || entry.data.empty()) return true;
  std::vector<uint8_t> stream;
  if (limit >= entry.data.size())
    stream = DeflateBytes(entry.data, options.level);
  else if (!DeflateWithin(entry.data, options.level, limit, stream))
    return false;
  if (stream.size() < entry.data.size()) {
    entry.deflate = true;
    entry.packed = std::move(stream);
  }
  return true;
}

// A file create must not pack (its own output, the manifest), by size first: the same file has
// the same size, and most files differ from it in size, so few are asked of the file system.
struct Excluded {
  fs::path path;
  uint64_t size;
};

std::vector<Excluded> ExistingFiles(const std::vector<fs::path>& paths) {
  std::vector<Excluded> files;
  for (const fs::path& path : paths) {
    std::error_code error;
    const uintmax_t size = fs::file_size(path, error);
    if (!error) files.push_back({path, size});
  }
  return files;
}

bool IsExcluded(const TreeItem& file, const std::vector<Excluded>& exclude) {
  for (const Excluded& other : exclude) {
    std::error_code error;
    if (other.size == file.size && fs::equivalent(file.path, other.path, error)) return true;
  }
  return false;
}

bool NameTaken(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return NamesEqual(n.c_str(), name.c_str()); });
}

// A short entry name for a long path: "~N" and, when it still fits, the path's extension.
std::string ShortName(const std::string& path, const std::vector<std::string>& taken) {
  std::string extension;
  const size_t dot = path.rfind('.');
  const size_t slash = path.rfind('\\');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
    extension = path.substr(dot);
  for (unsigned n = 1;; ++n) {
    std::string name = "~" + std::to_string(n);
    if (name.size() + extension.size() <= kMaxEntryName) name += extension;
    if (!NameTaken(taken, name)) return name;
  }
}

// A key under which names equal by NamesEqual (A-Z folded) are equal.
std::string Folded(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// An old version's folder: its files and folders by folded package name.
struct BaseTree {
  fs::path root;
  std::map<std::string, fs::path> files;
  std::map<std::string, uint64_t> sizes;         // folded -> the file's bytes
  std::map<std::string, std::string> fileNames;  // folded -> package name
  std::map<std::string, std::string> folders;    // folded -> package name
};

BaseTree ReadBaseTree(const fs::path& root) {
  std::error_code error;
  if (!fs::is_directory(root, error)) throw ToolError(Show(root) + " is not a folder");
  BaseTree tree;
  tree.root = root;
  for (const TreeItem& item : WalkTree(root)) {
    const std::string& relative = item.relative;
    if (item.folder) {
      const std::string name = PackageName(relative, "folder " + relative + " of " + Show(root));
      tree.folders[Folded(name)] = name;
    } else {
      const std::string name = PackageFileName(relative, "file " + relative + " of " + Show(root));
      tree.files[Folded(name)] = item.path;
      tree.sizes[Folded(name)] = item.size;
      tree.fileNames[Folded(name)] = name;
    }
  }
  return tree;
}

// Whether every base from the one at from on holds the file under key (folded) with exactly
// contents.
bool SameInBases(const std::vector<BaseTree>& bases, size_t from, const std::string& key,
                 const std::vector<uint8_t>& contents) {
  for (size_t b = from; b < bases.size(); ++b) {
    const auto old = bases[b].files.find(key);
    if (old == bases[b].files.end() || bases[b].sizes.at(key) != contents.size() ||
        ReadFileBytes(old->second) != contents)
      return false;
  }
  return true;
}

void AddName(std::vector<std::string>& names, const std::string& name) {
  if (!NameTaken(names, name)) names.push_back(name);
}

std::string Percent(uint32_t part, uint32_t whole) {
  if (whole == 0) return "100%";
  return std::to_string(static_cast<unsigned>(100.0 * part / whole + 0.5)) + "%";
}

}  // namespace

PackageSpec BuildPackageSpec(const fs::path& folder, const Manifest& manifest,
                             const CreateOptions& options, const Progress& progress,
                             std::vector<PackedFile>* report) {
  if (options.level < 0 || options.level > 9) throw ToolError("level must be 0 to 9");
  std::error_code error;
  if (!fs::is_directory(folder, error)) throw ToolError(Show(folder) + " is not a folder");

  // Every regular file, by its path relative to the folder in package form.
  const std::vector<TreeItem> tree = WalkTree(folder);
  const std::vector<Excluded> exclude = ExistingFiles(options.exclude);
  std::map<std::string, const TreeItem*> found;  // sorted by package name
  std::vector<std::string> names;
  for (const TreeItem& item : tree) {
    if (item.folder || IsExcluded(item, exclude)) continue;
    const std::string name = PackageFileName(item.relative, "file " + item.relative);
    if (NameTaken(names, name))
      throw ToolError("file " + item.relative +
                      ": another file has the same name apart from letter case");
    names.push_back(name);
    found.emplace(name, &item);
  }
  // The file's path for messages, as the system writes paths.
  auto shown = [&](const TreeItem& item) { return Show(item.path.lexically_relative(folder)); };

  std::map<std::string, std::string> renames;
  for (const auto& pair : manifest.renames) {
    if (!found.count(pair.first))
      throw ToolError("rename: " + Show(fs::u8path(pair.first)) + " is not a file in the folder");
    renames[pair.first] = pair.second;
  }
  std::map<std::string, std::string> chosen;  // entry names the manifest gives
  std::vector<std::string> taken = names;
  for (const auto& pair : manifest.entryNames) {
    if (!found.count(pair.first))
      throw ToolError("entryNames: " + Show(fs::u8path(pair.first)) +
                      " is not a file in the folder");
    chosen[pair.first] = pair.second;
    taken.push_back(pair.second);
  }

  // With bases: the old versions, and the files that are the same in every one left out.
  std::vector<BaseTree> bases;
  for (const fs::path& base : options.bases) bases.push_back(ReadBaseTree(base));
  auto diskName = [&](const std::string& path) {
    const auto renamed = renames.find(path);
    return renamed != renames.end() ? renamed->second : path;
  };
  // The new version's bytes, every file: what installing it whole writes, against which the
  // update's range decoding is budgeted.
  uint64_t releaseBytes = 0;
  for (const auto& item : found) releaseBytes += item.second->size;
  uint64_t unchangedBytes = 0;
  // Files the same in every old version and the new one, which the update leaves alone, and
  // files the same in every old version that the new one removes. One may still be the base of a
  // changed or new file's delta (a near copy under another name, a library renamed): it then
  // travels as a group of one delta from its installed version to itself, which the updater finds
  // already new and holds (and removes, when the removals list it, after the files built from
  // it). Only files whose path is their entry name are offered, and none with --full-fallback,
  // where such a group would need a whole entry of its own.
  struct UnchangedFile {
    std::string name;
    fs::path path;  // where its bytes are read: the new version's, or a base's
    std::string shown;
    uint64_t size;
    std::vector<uint8_t> identity;  // its group's delta, once made
    bool used = false;              // a file of the package is built from it
  };
  // Entry names the manifest gives other files: an unchanged file under one of them would share
  // its entry name, and its translation.
  std::vector<std::string> givenNames;
  for (const auto& pair : chosen) givenNames.push_back(pair.second);
  std::vector<UnchangedFile> unchanged;
  FixedSampleIndex unchangedSamples;
  // Unchanged files are offered only to a release that brings new files, the near copies they
  // are for: a changed file's own old version is nearly always nearer, and on a release without
  // new files (prettier's) the index had raised create's peak memory by a seventh.
  bool anyNew = false;
  for (const auto& item : found)
    for (const BaseTree& base : bases) anyNew |= !base.files.count(Folded(diskName(item.first)));
  if (!bases.empty()) {
    for (auto it = found.begin(); it != found.end();) {
      const std::string key = Folded(diskName(it->first));
      // (The new version is read only for a file the first old version has at its size.)
      const auto first = bases.front().sizes.find(key);
      const bool sameSize = first != bases.front().sizes.end() && first->second == it->second->size;
      std::vector<uint8_t> contents;
      if (sameSize) contents = ReadFileBytes(it->second->path);
      const bool same = sameSize && SameInBases(bases, 0, key, contents);
      if (same && progress) progress(shown(*it->second) + ": unchanged");
      if (same) unchangedBytes += contents.size();
      // (A file the manifest also removes is left alone: were it a base, it would be removed.)
      if (same && anyNew && !options.fullFallback && it->first.size() <= kMaxEntryName &&
          !renames.count(it->first) && !chosen.count(it->first) &&
          !NameTaken(givenNames, it->first) && !NameTaken(manifest.removals, it->first) &&
          !contents.empty()) {
        unchangedSamples.Add(static_cast<uint32_t>(unchanged.size()), ContentSamples(contents));
        unchanged.push_back(
            {it->first, it->second->path, shown(*it->second), it->second->size, {}, false});
      }
      it = same ? found.erase(it) : std::next(it);
    }
  }
  // The files the release removes, under a name no file of the package has nor is given, and
  // none a short name may take.
  std::set<std::string> installedKeys;
  for (const std::string& path : names) installedKeys.insert(Folded(diskName(path)));
  if (anyNew && !options.fullFallback && !bases.empty()) {
    for (const auto& file : bases.front().fileNames) {
      const std::string& name = file.second;
      if (installedKeys.count(file.first) || name.size() > kMaxEntryName ||
          NameTaken(names, name) || NameTaken(givenNames, name))
        continue;
      const fs::path& path = bases.front().files.at(file.first);
      std::vector<uint8_t> contents = ReadFileBytes(path);
      if (contents.empty() || contents.size() > UINT32_MAX - 64 ||
          !SameInBases(bases, 1, file.first, contents))
        continue;
      unchangedSamples.Add(static_cast<uint32_t>(unchanged.size()), ContentSamples(contents));
      unchanged.push_back({name,
                           path,
                           Show(path.lexically_relative(bases.front().root)),
                           contents.size(),
                           {},
                           false});
      taken.push_back(name);
    }
  }

  unchangedSamples.Seal();

  // Entry names: the one the manifest gives, else the path itself when it fits, else a short
  // name; a translation pair wherever the entry name is not the name on disk.
  std::vector<std::pair<std::string, std::string>> xlat;
  std::vector<std::string> entryNames;
  for (const auto& item : found) {
    const std::string& path = item.first;
    std::string entry = path;
    const auto given = chosen.find(path);
    if (given != chosen.end()) {
      entry = given->second;
    } else if (path.size() > kMaxEntryName) {
      entry = ShortName(path, taken);
      taken.push_back(entry);
    }
    if (NameTaken(entryNames, entry))
      throw ToolError("entry name " + Cp1251ToUtf8(entry) +
                      " would be given to two files (entryNames)");
    entryNames.push_back(entry);
    const auto renamed = renames.find(path);
    const std::string disk = renamed != renames.end() ? renamed->second : path;
    if (disk != entry) xlat.emplace_back(entry, disk);
  }

  PackageSpec spec;
  spec.level = options.level;
  auto section = [&](const char* name, std::vector<uint8_t> payload) {
    WriterEntry entry;
    entry.name = name;
    entry.data = std::move(payload);
    Pack(entry, options);
    spec.entries.push_back(std::move(entry));
  };
  if (manifest.hasStartup)
    section(":StartupMsg", StartupMsgPayload(manifest.caption, manifest.text));
  section(":RegistryKeys",
          RegistryKeysPayload(manifest.keyPath, manifest.folderValue, manifest.fileValue,
                              manifest.patchLevelValue, manifest.patchLevel));
  if (options.allOrNothing) section(kTransactionSection, TransactionPayload());
  if (!xlat.empty()) section(":XlatNamesTable", XlatTablePayload(xlat));
  std::vector<std::string> folders = manifest.folders;
  std::vector<std::string> removals = manifest.removals;
  if (!bases.empty()) {
    // Folders of the new version that some base lacks, parents first (walk order).
    std::vector<std::string> newFolders;
    for (const TreeItem& item : tree)
      if (item.folder) newFolders.push_back(PackageName(item.relative, "folder " + item.relative));
    std::sort(newFolders.begin(), newFolders.end());
    for (const std::string& name : newFolders)
      for (const BaseTree& base : bases)
        if (!base.folders.count(Folded(name))) AddName(folders, name);
    // Files of a base that the new version does not install.
    for (const BaseTree& base : bases)
      for (const auto& file : base.fileNames)
        if (!installedKeys.count(file.first)) AddName(removals, file.second);
  }
  if (!folders.empty()) section(":Folders", NameListPayload(folders));
  if (!removals.empty()) section(":FilesToRemove", NameListPayload(removals));

  // Each file's deltas, from each distinct old version, and its whole entry where one is
  // needed. Which deltas are range coded is decided once every file is known, against the
  // budget of the whole update; until then each keeps both candidates.
  struct PendingFile {
    WriterEntry entry;
    PackedFile packed;
    const TreeItem* item;
    std::vector<DeltaCandidates> deltas;
    std::vector<uint64_t> samples;  // ContentSamples of the new version, until it is indexed
    int baseFile = -1;              // the earlier file whose new version the one delta starts from
    int baseUnchanged = -1;         // or the unchanged file it starts from
    size_t groupCost = 0;           // the bytes that file's group adds, where none is made yet
  };
  std::vector<PendingFile> pending;
  const uint64_t rangedCostLimit =
      RangeDecodingBudget(releaseBytes, releaseBytes - unchangedBytes, 0);
  // A file of the release nearer to this one than any old version of it (a tool under two
  // names, one library in two folders) gives a delta from its new version, which the update
  // builds first. Taken where it is smaller than every delta from an old version, it is the
  // file's one delta, whichever old version a machine has. 1 when taken.
  SampleIndex earlier;  // the samples of the files in pending
  // The delta of the group that makes an unchanged file a base: from itself to itself, made once.
  const auto identityDelta = [](UnchangedFile& file, const std::vector<uint8_t>& bytes) {
    if (file.identity.empty()) {
      file.identity = MakeDeltaWith(kDeltaDeflatedWords, bytes, bytes);
      if (!DeltaGives(file.identity, bytes, bytes))
        throw ToolError("file " + Show(file.path) + ": its delta to itself does not rebuild it");
    }
    return file.identity.size();
  };
  auto fromNearCopy = [&](PendingFile& file, size_t ownShared) {
    const SampleIndex::Nearest inPackage = earlier.Find(file.samples);
    const SampleIndex::Nearest left = unchangedSamples.Find(file.samples);
    // A file of the package first: an unchanged one costs a group of its own.
    const bool fromUnchanged = left.shared > inPackage.shared;
    const size_t best = fromUnchanged ? left.shared : inPackage.shared;
    // Each try is a diff of its own: only where it shares most of the file, and as much as any
    // old version does. (Shared samples say little of how far apart the shared parts lie: two
    // builds of one program under two names measured 77% alike, an old version of one 72%, and
    // the delta from the other build came out a sixth of the delta from the old version.)
    if (best == 0 || best < file.samples.size() / 2 || best < ownShared) return false;
    const fs::path& basePath =
        fromUnchanged ? unchanged[left.file].path : pending[inPackage.file].item->path;
    std::vector<uint8_t> baseBytes = ReadFileBytes(basePath);
    DeltaCandidates delta = MakeDeltaCandidates(baseBytes, file.entry.data, rangedCostLimit);
    if (delta.ranged.size() >= delta.words.size()) delta.ranged.clear();
    for (const std::vector<uint8_t>* stream : {&delta.words, &delta.ranged})
      if (!stream->empty() && !DeltaGives(*stream, baseBytes, file.entry.data))
        throw ToolError("file " + Show(file.item->path) + ": the delta from " + Show(basePath) +
                        " does not rebuild it");
    // Against the own deltas first: the group's delta (a diff of the unchanged file with itself)
    // is made only where the copy's delta could still win with it.
    const auto beaten = [&](size_t extra) {
      for (const DeltaCandidates& own : file.deltas)
        if (own.words.size() <= delta.words.size() + extra) return true;
      return false;
    };
    if (beaten(0)) return false;
    const size_t groupCost = fromUnchanged && !unchanged[left.file].used
                                 ? identityDelta(unchanged[left.file], baseBytes) + kEntrySize
                                 : 0;
    if (beaten(groupCost)) return false;
    file.groupCost = groupCost;
    file.deltas.clear();
    file.deltas.push_back(std::move(delta));
    if (fromUnchanged) {
      file.baseUnchanged = static_cast<int>(left.file);
      file.packed.baseName = unchanged[left.file].name;
    } else {
      file.baseFile = static_cast<int>(inPackage.file);
      file.packed.baseName = pending[inPackage.file].packed.entryName;
    }
    return true;
  };
  size_t index = 0;
  for (const auto& item : found) {
    PendingFile file;
    file.item = item.second;
    WriterEntry& entry = file.entry;
    entry.name = entryNames[index];
    entry.data = ReadFileBytes(item.second->path);
    if (entry.data.size() > UINT32_MAX - 64)
      throw ToolError("file " + Show(item.second->path) + " is 4 GiB or more");
    ++index;

    // The deltas come first, so that no deflater's buffers are held beside a diff's suffix
    // array; the whole entry, deflated after them, decides which of them pay.
    bool needWhole = bases.empty() || options.fullFallback;
    std::vector<std::vector<uint8_t>> seen;
    file.samples = ContentSamples(entry.data);
    size_t ownShared = 0;  // the samples the closest old version shares
    for (const BaseTree& base : bases) {
      const auto old = base.files.find(Folded(diskName(item.first)));
      if (old == base.files.end()) {
        needWhole = true;
        continue;
      }
      std::vector<uint8_t> baseBytes = ReadFileBytes(old->second);
      if (baseBytes.size() > UINT32_MAX - 64)
        throw ToolError("file " + Show(old->second) + " is 4 GiB or more");
      if (baseBytes == entry.data || std::find(seen.begin(), seen.end(), baseBytes) != seen.end())
        continue;
      ownShared = std::max(ownShared, SharedSamples(file.samples, ContentSamples(baseBytes)));
      DeltaCandidates delta = MakeDeltaCandidates(baseBytes, entry.data, rangedCostLimit);
      if (delta.ranged.size() >= delta.words.size()) delta.ranged.clear();
      for (const std::vector<uint8_t>* stream : {&delta.words, &delta.ranged})
        if (!stream->empty() && !DeltaGives(*stream, baseBytes, entry.data))
          throw ToolError("file " + Show(item.second->path) + ": the delta from " +
                          Show(old->second) + " does not rebuild it");
      seen.push_back(std::move(baseBytes));
      file.deltas.push_back(std::move(delta));
    }
    seen.clear();
    // With the near copy's delta, the file's own old versions no longer matter: a whole entry
    // goes only where the vendor asks for one.
    if (!bases.empty() && fromNearCopy(file, ownShared)) needWhole = options.fullFallback;
    // A delta pays when even its deflated-words stream is smaller than the whole entry. Where
    // the entry is wanted only for that comparison, its deflating stops once its stream is
    // longer than every delta: on a release that changed little, most of the time saved.
    size_t largestDelta = 0;
    for (const DeltaCandidates& delta : file.deltas)
      largestDelta = std::max(largestDelta, delta.words.size() + file.groupCost);
    const bool decided =
        Pack(entry, options, needWhole || file.deltas.empty() ? SIZE_MAX : largestDelta);
    PackedFile& packed = file.packed;
    packed.entryName = entry.name;
    packed.size = static_cast<uint32_t>(entry.data.size());
    packed.deflated = entry.deflate;
    packed.packedSize = !decided        ? UINT32_MAX
                        : entry.deflate ? static_cast<uint32_t>(entry.packed.size())
                                        : packed.size;
    if (entry.name != item.first) packed.diskName = item.first;
    const auto renamed = renames.find(item.first);
    if (renamed != renames.end()) packed.diskName = renamed->second;
    std::vector<DeltaCandidates> paying;
    for (DeltaCandidates& delta : file.deltas) {
      if (delta.words.size() + file.groupCost >= packed.packedSize) {
        needWhole = true;
        continue;
      }
      paying.push_back(std::move(delta));
    }
    file.deltas = std::move(paying);
    // A delta from another file that does not pay leaves the file whole, with no base.
    if (file.deltas.empty()) {
      file.baseFile = file.baseUnchanged = -1;
      packed.baseName.clear();
    }
    if (file.baseUnchanged >= 0) unchanged[file.baseUnchanged].used = true;
    packed.whole = needWhole || file.deltas.empty();
    if (!packed.whole) entry = WriterEntry{};  // only its deltas travel: not held till the end
    earlier.Add(static_cast<uint32_t>(pending.size()), file.samples);
    file.samples = {};
    pending.push_back(std::move(file));
  }

  // Range coding where it saves the most bytes for its decoding time, as far as the update's
  // budget goes. With several old versions every delta counts against it, as if one update
  // applied them all: never over the budget of any one of them.
  uint64_t deltaBytes = 0, wholeBytes = 0;
  std::vector<RangedOption> rangedOptions;
  for (const PendingFile& file : pending) {
    (file.packed.whole ? wholeBytes : deltaBytes) += file.packed.size;
    for (const DeltaCandidates& delta : file.deltas) {
      RangedOption option;
      if (!delta.ranged.empty())
        option = {delta.words.size() - delta.ranged.size(), delta.rangedCost};
      rangedOptions.push_back(option);
    }
  }
  const std::vector<bool> rangeCoded =
      ChooseRangeCoded(rangedOptions, RangeDecodingBudget(releaseBytes, deltaBytes, wholeBytes));

  // The unchanged files that are bases, first: their groups come before every file built from
  // them.
  std::vector<size_t> unchangedStart(unchanged.size());
  for (size_t i = 0; i < unchanged.size(); ++i) {
    if (!unchanged[i].used) continue;
    unchangedStart[i] = spec.entries.size();
    PackedFile packed;
    packed.entryName = unchanged[i].name;
    packed.size = static_cast<uint32_t>(unchanged[i].size);
    packed.packedSize = UINT32_MAX;
    packed.whole = false;
    WriterEntry entry;
    entry.name = unchanged[i].name;
    entry.data = std::move(unchanged[i].identity);
    entry.deflate = false;
    entry.extraFlags |= ENTRY_DELTA;
    packed.deltaSizes.push_back(static_cast<uint32_t>(entry.data.size()));
    if (progress)
      progress(unchanged[i].shown +
               (installedKeys.count(Folded(unchanged[i].name)) ? ": unchanged" : ": removed") +
               ", the base of another file: delta " + std::to_string(entry.data.size()) +
               " bytes to find it");
    if (report) report->push_back(packed);
    spec.entries.push_back(std::move(entry));
  }

  size_t option = 0;
  index = 0;
  std::vector<size_t> groupStart;  // per file, the directory entry where its entries start
  for (PendingFile& file : pending) {
    PackedFile& packed = file.packed;
    ++index;
    groupStart.push_back(spec.entries.size());
    std::vector<WriterEntry> deltas;
    for (DeltaCandidates& delta : file.deltas) {
      WriterEntry entry;
      entry.name = packed.entryName;
      entry.data = rangeCoded[option++] ? std::move(delta.ranged) : std::move(delta.words);
      // Where the base's entries lie is known only now: the header names them.
      if (file.baseFile >= 0 || file.baseUnchanged >= 0)
        WriteLE32(entry.data.data() + kDeltaBaseEntryOffset,
                  static_cast<uint32_t>((file.baseFile >= 0 ? groupStart[file.baseFile]
                                                            : unchangedStart[file.baseUnchanged]) +
                                        1));
      entry.deflate = false;
      entry.extraFlags |= ENTRY_DELTA;
      packed.deltaSizes.push_back(static_cast<uint32_t>(entry.data.size()));
      deltas.push_back(std::move(entry));
    }
    if (progress) {
      std::string line = "[" + std::to_string(index) + "/" + std::to_string(pending.size()) + "] " +
                         shown(*file.item) + ": " + std::to_string(packed.size) + " bytes";
      for (uint32_t size : packed.deltaSizes) line += ", delta " + std::to_string(size) + " bytes";
      if (!packed.baseName.empty()) line += " from the new " + Cp1251ToUtf8(packed.baseName);
      if (packed.whole)
        line += std::string(packed.deltaSizes.empty() ? ", " : ", and whole ") +
                (packed.deflated ? "deflated to " + Percent(packed.packedSize, packed.size)
                                 : std::string("stored"));
      progress(line);
    }
    if (report) report->push_back(packed);
    for (WriterEntry& delta : deltas) spec.entries.push_back(std::move(delta));
    if (packed.whole) spec.entries.push_back(std::move(file.entry));
  }
  return spec;
}
