#include "apply.h"

#include <cstring>
#include <memory>
#include <system_error>

#include "cp1251.h"
#include "delta/delta_package.h"
#include "file_io.h"
#include "inspect.h"
#include "package/format.h"
#include "package/names.h"
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

// Builds the file of plan into sink: the whole entry, or the delta applied to base.
bool Build(const PackageView& view, const FilePlan& plan, const ByteSource* base,
           const ByteSink& sink) {
  const DirectoryEntry& e = view.directory[plan.entry];
  if (plan.action == kFileApplyDelta)
    return base && ApplyDelta(EntryDeltaStream(view, e), *base, sink) == 1;
  return StreamEntry(view, plan.entry, sink) == 1;
}

// One file's replacement on disk, the .bak kept until the new file is in place.
std::string Replace(const PackageView& view, const FilePlan& plan, const fs::path& target,
                    bool exists) {
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
    std::unique_ptr<FileSource> base;
    if (plan.action == kFileApplyDelta) base = std::make_unique<FileSource>(backup);
    FileSink out(target);
    if (Build(view, plan, base ? &base->source() : nullptr, out.sink())) {
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

}  // namespace

ApplyReport ApplyPackage(const ByteSource& source, const fs::path& folder, bool dryRun,
                         const Progress& progress) {
  const DeltaAwarePackage package(source);
  const PackageView& view = package.view();
  ApplyReport report;
  auto say = [&](const std::string& line) {
    report.lines.push_back(line);
    if (progress) progress(line);
  };
  std::error_code error;
  if (!fs::is_directory(folder, error)) throw ToolError(Show(folder) + " is not a folder");

  std::vector<uint8_t> table = package.Section(kXlatNamesSection);
  table.push_back(0);  // an empty table when there is none
  if (!dryRun) {
    for (const std::string& name : ListedNames(package.Section(kFoldersSection))) {
      const bool made = fs::create_directory(HostPath(folder, name.c_str()), error);
      say("folder " + Cp1251ToUtf8(name) + (made ? ": created" : ": exists or cannot be made"));
    }
    for (const std::string& name : ListedNames(package.Section(kFilesToRemoveSection))) {
      const bool removed = fs::remove(HostPath(folder, name.c_str()), error);
      say("file " + Cp1251ToUtf8(name) + (removed ? ": removed" : ": not there to remove"));
    }
  }

  std::vector<unsigned char> buffer(kDeltaDefaultChunk);
  const auto count = static_cast<int>(view.header.entryCount);
  for (int first = 0; first < count;) {
    const DirectoryEntry& e = view.directory[first];
    const int length = IsControlSection(e) ? 1 : FileGroupLength(view, first);
    const int group = first;
    first += length;
    if (IsControlSection(e)) continue;
    const char* diskName = TranslateName(reinterpret_cast<const char*>(table.data()), e.name);
    const fs::path target = HostPath(folder, diskName);
    const std::string label = "file " + Cp1251ToUtf8(diskName);

    // A run killed between setting the file aside and building its new version left the old
    // version in the .bak alone: it is put back first, so that this run finishes the file.
    fs::path backup = target;
    backup += ".bak";
    if (!dryRun && !fs::exists(target, error) && fs::is_regular_file(backup, error)) {
      fs::rename(backup, target, error);
      if (!error) say(label + ": the old version put back from " + Show(backup.filename()));
    }
    const bool exists = fs::is_regular_file(target, error);
    std::unique_ptr<FileSource> existing;
    FilePlan plan;
    try {
      if (exists) existing = std::make_unique<FileSource>(target);
      if (!PlanFile(view, group, existing ? &existing->source() : nullptr, buffer.data(),
                    static_cast<uint32_t>(buffer.size()), plan))
        throw ToolError("cannot read " + Show(target));
    } catch (const ToolError& failure) {
      say(label + ": FAILED: " + failure.what());
      report.failures.push_back(report.lines.back());
      continue;
    }
    if (plan.action == kFileAlreadyNew) {
      say(label + ": already the new version, left as it is");
      continue;
    }
    if (plan.action == kFileNoBase) {
      say(label + ": FAILED: not the version the update was made for (left untouched)");
      report.failures.push_back(report.lines.back());
      continue;
    }
    const std::string how = plan.action == kFileApplyDelta
                                ? "built from the old version and a delta"
                                : "installed whole";
    std::string why;
    if (dryRun) {
      HashSink hash;
      Sha256Init(hash.hash);
      if (!Build(view, plan, existing ? &existing->source() : nullptr, ByteSink{HashWrite, &hash}))
        why = "the package's data for it is damaged";
    } else {
      existing.reset();  // the file is renamed next
      why = Replace(view, plan, target, exists);
    }
    if (!why.empty()) {
      say(label + ": FAILED: " + why + (dryRun ? "" : " (the old file is kept)"));
      report.failures.push_back(report.lines.back());
    } else {
      say(label + ": " + how + (dryRun ? " (checked)" : ""));
    }
  }
  return report;
}
