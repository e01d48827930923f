#include "create.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "cp1251.h"
#include "file_io.h"
#include "package/names.h"

namespace fs = std::filesystem;

namespace {

// Deflated stream when it is smaller than the data, otherwise stored.
void Pack(WriterEntry& entry, const CreateOptions& options) {
  entry.level = options.level;
  entry.deflate = false;
  if (options.storeAll || entry.data.empty()) return;
  std::vector<uint8_t> stream = DeflateBytes(entry.data, options.level);
  if (stream.size() < entry.data.size()) {
    entry.deflate = true;
    entry.packed = std::move(stream);
  }
}

bool IsExcluded(const fs::path& file, const std::vector<fs::path>& exclude) {
  for (const fs::path& other : exclude) {
    std::error_code error;
    if (fs::exists(other, error) && fs::equivalent(file, other, error)) return true;
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
  std::map<std::string, fs::path> found;  // sorted by package name
  std::vector<std::string> names;
  fs::recursive_directory_iterator it(folder, error), end;
  if (error) throw ToolError("cannot read " + Show(folder) + ": " + error.message());
  for (; it != end; it.increment(error)) {
    if (error) throw ToolError("cannot read " + Show(folder) + ": " + error.message());
    if (!it->is_regular_file() || IsExcluded(it->path(), options.exclude)) continue;
    const std::string relative = fs::relative(it->path(), folder).generic_u8string();
    const std::string name = PackageFileName(relative, "file " + relative);
    if (NameTaken(names, name))
      throw ToolError("file " + relative +
                      ": another file has the same name apart from letter case");
    names.push_back(name);
    found.emplace(name, it->path());
  }

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
  if (!xlat.empty()) section(":XlatNamesTable", XlatTablePayload(xlat));
  if (!manifest.folders.empty()) section(":Folders", NameListPayload(manifest.folders));
  if (!manifest.removals.empty()) section(":FilesToRemove", NameListPayload(manifest.removals));

  size_t index = 0;
  for (const auto& item : found) {
    WriterEntry entry;
    entry.name = entryNames[index];
    entry.data = ReadFileBytes(item.second);
    if (entry.data.size() > UINT32_MAX - 64)
      throw ToolError("file " + Show(item.second) + " is 4 GiB or more");
    Pack(entry, options);
    PackedFile packed;
    packed.entryName = entry.name;
    packed.size = static_cast<uint32_t>(entry.data.size());
    packed.deflated = entry.deflate;
    packed.packedSize = entry.deflate ? static_cast<uint32_t>(entry.packed.size()) : packed.size;
    if (entry.name != item.first) packed.diskName = item.first;
    const auto renamed = renames.find(item.first);
    if (renamed != renames.end()) packed.diskName = renamed->second;
    ++index;
    if (progress)
      progress("[" + std::to_string(index) + "/" + std::to_string(found.size()) + "] " +
               Show(fs::relative(item.second, folder)) + ": " + std::to_string(packed.size) +
               " bytes, " +
               (packed.deflated ? "deflated to " + Percent(packed.packedSize, packed.size)
                                : std::string("stored")));
    if (report) report->push_back(packed);
    spec.entries.push_back(std::move(entry));
  }
  return spec;
}
