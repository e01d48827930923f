#include "apply.h"

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <system_error>

#include "cp1251.h"
#include "delta/delta_package.h"
#include "file_io.h"
#include "inspect.h"
#include "package/format.h"
#include "package/names.h"
#include "package_writer.h"
#include "update/paths.h"

namespace fs = std::filesystem;

namespace {

// A package of either kind opened by the portable reader, deltas accepted.
class DeltaAwarePackage {
 public:
  explicit DeltaAwarePackage(const ByteSource& source) {
    InitPackageView(view_);
    view_.source = source;
    view_.acceptDeltas = 1;
    if (!LoadPackage(view_, DetectContainer(source) == Container::kBare ? 0 : 1)) {
      const std::string why = RefusalProblem(view_, view_.refusal, view_.refusedEntry);
      UnloadPackage(view_);
      throw ToolError("the updater would reject this package (" + why +
                      "); run pinepack verify for details");
    }
  }
  ~DeltaAwarePackage() { UnloadPackage(view_); }
  DeltaAwarePackage(const DeltaAwarePackage&) = delete;
  DeltaAwarePackage& operator=(const DeltaAwarePackage&) = delete;
  const PackageView& view() const { return view_; }

  // The payload of a section, empty when absent (sections were checked at load).
  std::vector<uint8_t> Section(const char* key) const {
    const int index = FindEntry(view_, key);
    if (index < 0) return {};
    std::vector<uint8_t> out(view_.directory[index].size);
    if (!ExtractEntry(view_, index, out.data())) throw ToolError(std::string(key) + " damaged");
    return out;
  }

 private:
  PackageView view_;
};

// The host path of a name on disk ('\' separated, relative to the program folder).
fs::path HostPath(const fs::path& folder, const char* name) {
  std::string relative = Cp1251ToUtf8(name);
  for (char& c : relative)
    if (c == '\\') c = '/';
  while (!relative.empty() && relative[0] == '/') relative.erase(0, 1);
  return folder / fs::u8path(relative);
}

std::vector<std::string> ListedNames(const std::vector<uint8_t>& payload) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < payload.size() && payload[at] != 0) {
    const char* s = reinterpret_cast<const char*>(payload.data() + at);
    const size_t length = strnlen(s, payload.size() - at);
    out.emplace_back(s, length);
    at += length + 1;
  }
  return out;
}

struct HashSink {
  Sha256 hash;
  uint64_t count = 0;
};

int HashWrite(void* context, const unsigned char* data, uint32_t count) {
  auto* sink = static_cast<HashSink*>(context);
  Sha256Update(sink->hash, data, count);
  sink->count += count;
  return 1;
}

int KeepWrite(void* context, const unsigned char* data, uint32_t count) {
  auto* bytes = static_cast<std::vector<uint8_t>*>(context);
  bytes->insert(bytes->end(), data, data + count);
  return 1;
}

// Builds the file of plan into sink: the whole entry, or the delta applied to base (a base of
// another name checked first, as the updater does).
bool Build(const PackageView& view, const FilePlan& plan, const ByteSource* base,
           const ByteSink& sink) {
  const DirectoryEntry& e = view.directory[plan.entry];
  if (plan.action != kFileApplyDelta) return StreamEntry(view, plan.entry, sink) == 1;
  return base && ApplyDelta(EntryDeltaStream(view, e), *base, sink, kDeltaDefaultChunk, nullptr,
                            DeltaBaseGroup(view, plan.entry) >= 0) == 1;
}

// The new versions that later files' deltas start from, by group: where the file lies (built,
// staged or found already new), or, in a dry run, which writes nothing, its bytes.
struct BuiltVersions {
  std::set<int> wanted;   // the groups some delta takes as its base
  std::set<int> planned;  // all or nothing: the groups the check found to build
  std::map<int, fs::path> onDisk;
  std::map<int, std::vector<uint8_t>> inMemory;

  explicit BuiltVersions(const PackageView& view) {
    for (int i = 0; i < static_cast<int>(view.header.entryCount); ++i) {
      const int group = IsDeltaEntry(view, view.directory[i]) ? DeltaBaseGroup(view, i) : -1;
      if (group >= 0) wanted.insert(group);
    }
  }
  static int IsBuilt(void* self, int group) {
    const auto& built = *static_cast<const BuiltVersions*>(self);
    return built.planned.count(group) || built.onDisk.count(group) || built.inMemory.count(group);
  }
  BuiltFiles Files() { return BuiltFiles{IsBuilt, this}; }
};

// The base that plan's delta reads: own (the file's old version), or the new version of another
// file that built holds. file keeps an opened file, memory a source over bytes in memory; null
// when there is no base.
const ByteSource* BaseOf(const PackageView& view, const FilePlan& plan, const fs::path& own,
                         const BuiltVersions& built, std::unique_ptr<FileSource>& file,
                         ByteSource& memory) {
  if (plan.action != kFileApplyDelta) return nullptr;
  const int group = DeltaBaseGroup(view, plan.entry);
  if (group >= 0) {
    const auto kept = built.inMemory.find(group);
    if (kept != built.inMemory.end()) {
      memory = MemorySource(kept->second.data(), static_cast<uint32_t>(kept->second.size()));
      return &memory;
    }
    const auto placed = built.onDisk.find(group);
    if (placed == built.onDisk.end()) return nullptr;
    file = std::make_unique<FileSource>(placed->second);
  } else {
    file = std::make_unique<FileSource>(own);
  }
  return &file->source();
}

// A dry run's build of the file whose entries start at group: into a hash, or where a later
// file's delta starts from it, into built's memory. False when the package's data is damaged.
bool BuildInMemory(const PackageView& view, const FilePlan& plan, const ByteSource* base, int group,
                   BuiltVersions& built) {
  if (!built.wanted.count(group)) {
    HashSink hash;
    Sha256Init(hash.hash);
    return Build(view, plan, base, ByteSink{HashWrite, &hash});
  }
  std::vector<uint8_t> bytes;
  if (!Build(view, plan, base, ByteSink{KeepWrite, &bytes})) return false;
  built.inMemory[group] = std::move(bytes);
  return true;
}

// One file's replacement on disk, the .bak kept until the new file is in place.
std::string Replace(const PackageView& view, const FilePlan& plan, const fs::path& target,
                    bool exists, const BuiltVersions& versions) {
  fs::path backup = target;
  backup += ".bak";
  std::error_code error;
  if (exists) {
    fs::remove(backup, error);
    fs::rename(target, backup, error);
    if (error) return "cannot set the file aside as " + Show(backup) + ": " + error.message();
  } else {
    fs::create_directories(target.parent_path(), error);
  }
  bool built = false;
  std::string why = "the package's data for it is damaged";
  try {
    std::unique_ptr<FileSource> file;
    ByteSource memory;
    const ByteSource* base = BaseOf(view, plan, backup, versions, file, memory);
    FileSink out(target);
    if (Build(view, plan, base, out.sink())) {
      out.Commit();
      built = true;
    }
  } catch (const ToolError& e) {
    why = e.what();
  }
  if (!built) {
    if (exists) {
      fs::remove(target, error);
      fs::rename(backup, target, error);
    }
    return why;
  }
  if (exists) fs::remove(backup, error);
  return "";
}

// Where the report goes: every line to progress as it is said, failures also counted.
struct Log {
  ApplyReport& report;
  const Progress& progress;
};

void Say(Log& log, const std::string& line) {
  log.report.lines.push_back(line);
  if (log.progress) log.progress(line);
}

void Fail(Log& log, const std::string& line) {
  Say(log, line);
  log.report.failures.push_back(line);
}

fs::path BackupOf(const fs::path& target) {
  fs::path backup = target;
  backup += ".bak";
  return backup;
}

// One file of the package: its group's first entry and where it goes on disk.
struct PackageFile {
  int group;
  std::string diskName;  // Windows-1251, as the package names it
  fs::path target;
  std::string label;  // "file NAME" (UTF-8)
};

std::vector<PackageFile> FilesOf(const PackageView& view, const std::vector<uint8_t>& table,
                                 const fs::path& folder) {
  std::vector<PackageFile> files;
  const auto count = static_cast<int>(view.header.entryCount);
  for (int first = 0; first < count;) {
    const DirectoryEntry& e = view.directory[first];
    const int length = IsControlSection(e) ? 1 : FileGroupLength(view, first);
    const int group = first;
    first += length;
    if (IsControlSection(e)) continue;
    const char* diskName = TranslateName(reinterpret_cast<const char*>(table.data()), e.name);
    files.push_back(
        {group, diskName, HostPath(folder, diskName), "file " + Cp1251ToUtf8(diskName)});
  }
  return files;
}

// What to do for file, given whether a file lies at its target. Throws ToolError when that file
// cannot be read.
FilePlan PlanOnDisk(const PackageView& view, const PackageFile& file, bool present,
                    BuiltVersions& built, std::vector<unsigned char>& buffer) {
  std::unique_ptr<FileSource> existing;
  if (present) existing = std::make_unique<FileSource>(file.target);
  FilePlan plan;
  const BuiltFiles files = built.Files();
  if (!PlanFile(view, file.group, existing ? &existing->source() : nullptr, &files, buffer.data(),
                static_cast<uint32_t>(buffer.size()), plan))
    throw ToolError("cannot read " + Show(file.target));
  return plan;
}

const char* HowBuilt(const PackageView& view, const FilePlan& plan) {
  return plan.action != kFileApplyDelta ? "installed whole"
         : DeltaBaseGroup(view, plan.entry) < 0
             ? "built from the old version and a delta"
             : "built from another file's new version and a delta";
}

// The key under which the updater takes two names on disk for one file: the name as Windows
// reads it, A-Z folded.
std::string NameKey(const std::string& name) {
  char canonical[kPathBufferSize];
  std::string key = CanonicalName(name.c_str(), canonical, sizeof canonical) < 0 ? name : canonical;
  for (char& c : key) c = FoldAscii(c);
  return key;
}

// The installation of a package without the mark, or with rules pinepack does not know: each
// file on its own (see ApplyPackage).
void ApplyFileByFile(const DeltaAwarePackage& package, const fs::path& folder,
                     const std::vector<uint8_t>& table, bool dryRun, Log& log) {
  const PackageView& view = package.view();
  std::error_code error;
  // A listed file that the package carries only as the base of others is removed after every
  // file, where it was found their base and no file failed (one that did needs it for the rerun).
  std::set<std::string> kept, keptFound;
  for (const PackageFile& file : FilesOf(view, table, folder))
    if (KeptOnlyAsBase(view, file.group)) kept.insert(NameKey(file.diskName));
  const size_t failuresBefore = log.report.failures.size();
  std::vector<std::string> removeAfter;
  const auto remove = [&](const std::string& name, const char* after) {
    const bool removed = fs::remove(HostPath(folder, name.c_str()), error);
    Say(log, "file " + Cp1251ToUtf8(name) + (removed ? ": removed" : ": not there to remove") +
                 (removed ? after : ""));
  };
  if (!dryRun) {
    for (const std::string& name : ListedNames(package.Section(kFoldersSection))) {
      const bool made = fs::create_directory(HostPath(folder, name.c_str()), error);
      Say(log,
          "folder " + Cp1251ToUtf8(name) + (made ? ": created" : ": exists or cannot be made"));
    }
    for (const std::string& name : ListedNames(package.Section(kFilesToRemoveSection)))
      if (kept.count(NameKey(name)))
        removeAfter.push_back(name);
      else
        remove(name, "");
  }

  std::vector<unsigned char> buffer(kDeltaDefaultChunk);
  BuiltVersions built(view);
  for (const PackageFile& file : FilesOf(view, table, folder)) {
    const fs::path& target = file.target;
    const std::string& label = file.label;
    // A run killed between setting the file aside and building its new version left the old
    // version in the .bak alone: it is put back first, so that this run finishes the file.
    const fs::path backup = BackupOf(target);
    if (!dryRun && !fs::exists(target, error) && fs::is_regular_file(backup, error)) {
      fs::rename(backup, target, error);
      if (!error) Say(log, label + ": the old version put back from " + Show(backup.filename()));
    }
    const bool exists = fs::is_regular_file(target, error);
    FilePlan plan;
    try {
      plan = PlanOnDisk(view, file, exists, built, buffer);
    } catch (const ToolError& failure) {
      Fail(log, label + ": FAILED: " + failure.what());
      continue;
    }
    const bool wanted = built.wanted.count(file.group) > 0;
    if (plan.action == kFileAlreadyNew) {
      if (wanted) built.onDisk[file.group] = target;
      if (KeptOnlyAsBase(view, file.group)) keptFound.insert(NameKey(file.diskName));
      Say(log, label + ": already the new version, left as it is");
      continue;
    }
    if (plan.action == kFileNoBase && !exists && KeptOnlyAsBase(view, file.group)) {
      Say(log, label + ": not there, and only a base of others");
      continue;
    }
    if (plan.action == kFileNoBase) {
      Fail(log, label + ": FAILED: not the version the update was made for (left untouched)");
      continue;
    }
    std::string why;
    if (dryRun) {
      try {
        std::unique_ptr<FileSource> base;
        ByteSource memory;
        if (!BuildInMemory(view, plan, BaseOf(view, plan, target, built, base, memory), file.group,
                           built))
          why = "the package's data for it is damaged";
      } catch (const ToolError& e) {
        why = e.what();
      }
    } else {
      why = Replace(view, plan, target, exists, built);
      if (why.empty() && wanted) built.onDisk[file.group] = target;
    }
    if (!why.empty())
      Fail(log, label + ": FAILED: " + why + (dryRun ? "" : " (the old file is kept)"));
    else
      Say(log, label + ": " + HowBuilt(view, plan) + (dryRun ? " (checked)" : ""));
  }
  const bool anyFailed = log.report.failures.size() > failuresBefore;
  for (const std::string& name : removeAfter)
    if (keptFound.count(NameKey(name)))
      anyFailed ? Say(log, "file " + Cp1251ToUtf8(name) + ": kept, a file failed")
                : remove(name, ", after the files built from it");
}

// One change of an all-or-nothing run, as its check found it.
struct Change {
  std::string label;      // "file NAME" (UTF-8)
  fs::path target;        // the file to write, or to remove
  bool replaces = false;  // a previous version lies at target, to be set aside as target.bak
  FilePlan plan{};        // for a file to write
  int group = -1;         // the file's first entry
  fs::path staged;        // where stage built its new version
};

struct Transaction {
  explicit Transaction(const PackageView& view) : built(view) {}
  std::vector<Change> removals;  // existing files only
  std::vector<Change> files;     // files to write (neither already new nor failed)
  std::vector<fs::path> made;    // folders this run created, outermost first
  std::vector<fs::path> staged;  // new versions built, still under their staged names
  BuiltVersions built;
};

// The check: what to write and remove, every file looked at before anything on disk changes.
// Returns false, with a failure for each problem, when something is not as the package expects.
bool CheckAll(const DeltaAwarePackage& package, const fs::path& folder,
              const std::vector<uint8_t>& table, Transaction& run, Log& log) {
  const size_t failuresBefore = log.report.failures.size();
  std::error_code error;
  // The commit sets each previous version aside as name.bak: a file already there is none of
  // this run's, and renaming over it could lose someone's only copy.
  auto backupFree = [&](const Change& change) {
    if (!fs::exists(fs::symlink_status(BackupOf(change.target), error))) return true;
    Fail(log, "check: " + change.label + ": FAILED: " + Show(BackupOf(change.target).filename()) +
                  " is in the way, where the old version is to be set aside (move it away)");
    return false;
  };

  std::set<std::string> removed;
  for (const std::string& name : ListedNames(package.Section(kFilesToRemoveSection))) {
    if (!removed.insert(NameKey(name)).second) continue;  // listed twice: removed once
    Change change;
    change.label = "file " + Cp1251ToUtf8(name);
    change.target = HostPath(folder, name.c_str());
    const fs::file_status status = fs::status(change.target, error);
    if (!fs::exists(status)) {
      Say(log, "check: " + change.label + ": not there to remove");
      continue;
    }
    if (!fs::is_regular_file(status)) {
      Fail(log, "check: " + change.label + ": FAILED: to be removed, but it is not a file");
      continue;
    }
    change.replaces = true;
    if (!backupFree(change)) continue;
    Say(log, "check: " + change.label + ": to be removed");
    run.removals.push_back(change);
  }

  std::vector<unsigned char> buffer(kDeltaDefaultChunk);
  std::map<std::string, size_t> written;  // NameKey -> index in run.files
  size_t alreadyNew = 0;
  for (const PackageFile& file : FilesOf(package.view(), table, folder)) {
    const std::string key = NameKey(file.diskName);
    Change change;
    change.label = file.label;
    change.target = file.target;
    // A file also listed for removal is removed first: the package's version then goes where
    // nothing is. One the package carries only as the base of others is removed after them.
    const fs::file_status status = fs::status(file.target, error);
    const bool present =
        (!removed.count(key) || KeptOnlyAsBase(package.view(), file.group)) && fs::exists(status);
    if (present && !fs::is_regular_file(status)) {
      Fail(log, "check: " + file.label + ": FAILED: something that is not a file is in its place");
      continue;
    }
    try {
      change.plan = PlanOnDisk(package.view(), file, present, run.built, buffer);
    } catch (const ToolError& failure) {
      Fail(log, "check: " + file.label + ": FAILED: " + failure.what());
      continue;
    }
    if (change.plan.action == kFileAlreadyNew) {
      if (run.built.wanted.count(file.group)) run.built.onDisk[file.group] = file.target;
      Say(log, "check: " + file.label + ": already the new version, left as it is");
      ++alreadyNew;
      continue;
    }
    if (change.plan.action == kFileNoBase && !present &&
        KeptOnlyAsBase(package.view(), file.group)) {
      Say(log, "check: " + file.label + ": not there, and only a base of others");
      continue;
    }
    if (change.plan.action == kFileNoBase) {
      Fail(log, "check: " + file.label + ": FAILED: not the version the update was made for");
      continue;
    }
    change.replaces = present;
    if (present && !backupFree(change)) continue;
    Say(log, "check: " + file.label + ": " +
                 (change.plan.action != kFileApplyDelta
                      ? present ? "to be replaced by its whole entry" : "new, installed whole"
                  : DeltaBaseGroup(package.view(), change.plan.entry) < 0
                      ? "the old version a delta was made for"
                      : "to be built from another file's new version"));
    change.group = file.group;
    run.built.planned.insert(file.group);
    // Two entries installed under one name: the later one stays, as file by file.
    const auto slot = written.emplace(key, run.files.size());
    if (slot.second)
      run.files.push_back(change);
    else
      run.files[slot.first->second] = change;
  }

  const size_t problems = log.report.failures.size() - failuresBefore;
  if (problems > 0) {
    Say(log, "check: FAILED: " + std::to_string(problems) +
                 " problem(s); nothing on disk changed, nothing is installed");
    return false;
  }
  Say(log, "check: every file as expected: " + std::to_string(run.files.size()) + " to build, " +
               std::to_string(run.removals.size()) + " to remove, " + std::to_string(alreadyNew) +
               " already new");
  return true;
}

// Creates every missing folder from root down to folder, outermost first, each recorded in made.
// Empty, or why one cannot be made.
std::string MakeFolders(const fs::path& root, const fs::path& folder, std::vector<fs::path>& made) {
  fs::path at = root;
  for (const fs::path& part : folder.lexically_relative(root)) {
    at /= part;
    std::error_code error, ignored;
    if (fs::is_directory(at, ignored)) continue;
    const bool created = fs::create_directory(at, error);
    if (error || !fs::is_directory(at, ignored))
      return "cannot make the folder " + Show(at) + (error ? ": " + error.message() : "");
    if (created) made.push_back(at);
  }
  return "";
}

// A name beside target for its new version that no file has: name.<16 hex digits>.new (and free
// of FileSink's temporary beside it), drawn afresh while taken, so that no file is overwritten.
fs::path StagedName(const fs::path& target, std::mt19937_64& random) {
  std::error_code error;
  for (;;) {
    std::string digits(16, '0');
    uint64_t value = random();
    for (size_t i = digits.size(); i-- > 0; value >>= 4) digits[i] = "0123456789abcdef"[value & 15];
    fs::path staged = target;
    staged += "." + digits + ".new";
    fs::path temporary = staged;
    temporary += ".pinepack-tmp";
    if (!fs::exists(fs::symlink_status(staged, error)) &&
        !fs::exists(fs::symlink_status(temporary, error)))
      return staged;
  }
}

// Deletes what stage made: the staged files, then each folder this run created that is empty.
void UndoStage(Transaction& run) {
  std::error_code error;
  for (const fs::path& staged : run.staged) fs::remove(staged, error);
  run.staged.clear();
  for (auto it = run.made.rbegin(); it != run.made.rend(); ++it)
    if (fs::is_empty(*it, error)) fs::remove(*it, error);
  run.made.clear();
}

// The stage: the listed folders and those on each file's way made, every new version built in
// full beside its target and checked as it is built. With dryRun, built into a hash only. On a
// failure everything stage made is deleted again and it returns false.
bool Stage(const DeltaAwarePackage& package, const fs::path& folder, bool dryRun, Transaction& run,
           Log& log) {
  const PackageView& view = package.view();
  std::mt19937_64 random(
      std::random_device{}() ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::string failure;
  if (!dryRun) {
    for (const std::string& name : ListedNames(package.Section(kFoldersSection))) {
      const size_t before = run.made.size();
      const std::string why = MakeFolders(folder, HostPath(folder, name.c_str()), run.made);
      const std::string label = "stage: folder " + Cp1251ToUtf8(name);
      if (!why.empty()) {
        failure = label + ": FAILED: " + why;
        break;
      }
      Say(log, label + (run.made.size() > before ? ": created" : ": exists"));
    }
  }
  for (Change& change : run.files) {
    if (!failure.empty()) break;
    const std::string label = "stage: " + change.label;
    std::string why;
    try {
      std::unique_ptr<FileSource> base;
      ByteSource memory;
      const ByteSource* baseSource =
          BaseOf(view, change.plan, change.target, run.built, base, memory);
      // Build checks as it goes: a delta's result by its size and SHA-256 (ApplyDelta), a whole
      // entry by inflating it completely, size and Adler-32 (StreamEntry).
      if (dryRun) {
        if (!BuildInMemory(view, change.plan, baseSource, change.group, run.built))
          why = "the package's data for it is damaged";
      } else {
        why = MakeFolders(folder, change.target.parent_path(), run.made);
        if (why.empty()) {
          change.staged = StagedName(change.target, random);
          FileSink out(change.staged);
          if (Build(view, change.plan, baseSource, out.sink())) {
            out.Commit();
            run.staged.push_back(change.staged);
            if (run.built.wanted.count(change.group))
              run.built.onDisk[change.group] = change.staged;
          } else {
            why = "the package's data for it is damaged";
          }
        }
      }
    } catch (const ToolError& e) {
      why = e.what();
    }
    if (!why.empty()) {
      failure = label + ": FAILED: " + why;
      break;
    }
    const char* how =
        change.plan.action == kFileApplyDelta ? HowBuilt(view, change.plan) : "built whole";
    Say(log, label + ": " + how +
                 (dryRun ? " and checked (nothing written)"
                         : " as " + Show(change.staged.filename()) + " and checked"));
  }
  if (!failure.empty()) {
    Fail(log, failure);
    UndoStage(run);
    Say(log,
        "stage: FAILED: every staged file deleted, every folder this run made removed; "
        "nothing on disk changed, nothing is installed");
    return false;
  }
  Say(log, "stage: " + std::to_string(run.files.size()) + " file(s) built" +
               (dryRun ? " and checked" : " beside their targets and checked"));
  return true;
}

// The commit: renames only, each previous version and each file to remove to its .bak and each
// staged file to its name, onto names that nothing holds; a rename that fails undoes every
// rename so far, in reverse, and stage's work is deleted. Then the backups are deleted.
void Commit(const PackageView& view, Transaction& run, Log& log) {
  struct Rename {
    fs::path from, to;
    bool setsAside;  // to is a backup, deleted once every file is in place
  };
  std::vector<Rename> renames;
  for (const Change& change : run.removals)
    renames.push_back({change.target, BackupOf(change.target), true});
  for (const Change& change : run.files) {
    if (change.replaces) renames.push_back({change.target, BackupOf(change.target), true});
    renames.push_back({change.staged, change.target, false});
  }
  Say(log, "commit: " + std::to_string(renames.size()) + " rename(s)");

  std::error_code error;
  size_t done = 0;
  std::string why;
  for (; done < renames.size(); ++done) {
    const Rename& r = renames[done];
    // rename replaces what holds the new name: a file that appeared since the check is never
    // overwritten.
    if (fs::exists(fs::symlink_status(r.to, error))) {
      why = Show(r.to) + " appeared since the check";
      break;
    }
    fs::rename(r.from, r.to, error);
    if (error) {
      why = "cannot rename " + Show(r.from) + " to " + Show(r.to) + ": " + error.message();
      break;
    }
  }
  if (!why.empty()) {
    Fail(log, "commit: FAILED: " + why);
    bool undone = true;
    while (done > 0) {
      const Rename& r = renames[--done];
      fs::rename(r.to, r.from, error);
      if (error) {
        undone = false;
        Fail(log, "commit: FAILED: cannot undo the rename of " + Show(r.from) + " to " +
                      Show(r.to) + ": " + error.message());
      }
    }
    UndoStage(run);
    Say(log, undone ? "commit: every rename undone in reverse, the staged files deleted; nothing "
                      "on disk changed, nothing is installed"
                    : "commit: FAILED: not every rename could be undone: the folder is not as it "
                      "was");
    return;
  }

  run.staged.clear();  // all in place now
  for (const Change& change : run.removals) Say(log, "commit: " + change.label + ": removed");
  for (const Change& change : run.files)
    Say(log, "commit: " + change.label + ": " + HowBuilt(view, change.plan));
  size_t kept = 0;
  for (const Rename& r : renames) {
    if (!r.setsAside) continue;
    fs::remove(r.to, error);
    if (error) {
      ++kept;
      Say(log, "commit: " + Show(r.to) + " could not be deleted: " + error.message());
    }
  }
  Say(log, kept == 0 ? "commit: every file in place, the backups deleted"
                     : "commit: every file in place");
}

// The installation of a package with :Transaction: check, stage, commit (see ApplyPackage).
void ApplyAllOrNothing(const DeltaAwarePackage& package, const fs::path& folder,
                       const std::vector<uint8_t>& table, bool dryRun, Log& log) {
  Transaction run(package.view());
  if (!CheckAll(package, folder, table, run, log)) return;
  if (!Stage(package, folder, dryRun, run, log)) return;
  if (!dryRun) Commit(package.view(), run, log);
}

}  // namespace

ApplyReport ApplyPackage(const ByteSource& source, const fs::path& folder, bool dryRun,
                         const Progress& progress) {
  const DeltaAwarePackage package(source);
  ApplyReport report;
  Log log{report, progress};
  std::error_code error;
  if (!fs::is_directory(folder, error)) throw ToolError(Show(folder) + " is not a folder");

  std::vector<uint8_t> table = package.Section(kXlatNamesSection);
  table.push_back(0);  // an empty table when there is none
  report.allOrNothing = KnownTransactionRules(package.Section(kTransactionSection));
  if (report.allOrNothing)
    ApplyAllOrNothing(package, folder, table, dryRun, log);
  else
    ApplyFileByFile(package, folder, table, dryRun, log);
  return report;
}
