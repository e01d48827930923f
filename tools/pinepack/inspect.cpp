#include "inspect.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "cp1251.h"
#include "file_io.h"
#include "package/format.h"
#include "package/names.h"
#include "package/package.h"
#include "package/sections.h"

namespace fs = std::filesystem;

namespace {

// A package opened by the updater's reader over bytes held by the caller.
class OpenedPackage {
 public:
  explicit OpenedPackage(const std::vector<uint8_t>& file) {
    InitPackageView(view_);
    if (file.size() > UINT32_MAX) throw ToolError("the file is 4 GiB or more: not a package");
    const Container container = DetectContainer(file);
    if (container == Container::kUnknown)
      throw ToolError("neither a package nor a self-contained updater");
    SetMemorySource(view_, file.data(), static_cast<uint32_t>(file.size()));
    if (!LoadPackage(view_, container == Container::kSelfContained))
      throw ToolError("the updater would reject this package; run pinepack verify for details");
    selfContained_ = container == Container::kSelfContained;
  }
  ~OpenedPackage() { UnloadPackage(view_); }
  OpenedPackage(const OpenedPackage&) = delete;
  OpenedPackage& operator=(const OpenedPackage&) = delete;

  const PackageView& view() const { return view_; }
  bool selfContained() const { return selfContained_; }
  uint32_t count() const { return view_.header.entryCount; }
  const DirectoryEntry& entry(uint32_t i) const { return view_.directory[i]; }

  // The extracted contents of entry i (checked at open for control sections).
  std::vector<uint8_t> Extract(uint32_t i) const {
    std::vector<uint8_t> out(entry(i).size);
    if (!ExtractEntry(view_, static_cast<int>(i), out.data()))
      throw ToolError("entry " + std::to_string(i) + " (" + Cp1251ToUtf8(entry(i).name) +
                      "): the stored data is damaged");
    return out;
  }

  // The payload of a control section, or false when the package has none.
  bool Section(const char* key, std::vector<uint8_t>& payload) const {
    const int index = FindEntry(view_, key);
    if (index < 0) return false;
    payload = Extract(static_cast<uint32_t>(index));
    return true;
  }

 private:
  PackageView view_;
  bool selfContained_ = false;
};

std::string EntryLabel(uint32_t index, const char* name32) {
  const char* end = static_cast<const char*>(std::memchr(name32, 0, kEntryNameSize));
  const std::string name(name32, end ? end : name32 + kEntryNameSize);
  return "entry " + std::to_string(index) + " (\"" + Cp1251ToUtf8(name) + "\")";
}

// The strings of a NUL-separated run ended by an empty string (layout already checked).
std::vector<std::string> Strings(const std::vector<uint8_t>& payload) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < payload.size() && payload[at] != 0) {
    const char* s = reinterpret_cast<const char*>(payload.data() + at);
    out.emplace_back(s);
    at += out.back().size() + 1;
  }
  return out;
}

void CheckSectionLayout(const char* key, const std::vector<uint8_t>& payload,
                        std::vector<std::string>& problems) {
  const std::string label = std::string("section ") + key;
  const auto* data = payload.data();
  const auto size = static_cast<uint32_t>(payload.size());
  if (size == 0) {
    problems.push_back(label + ": length 0");
    return;
  }
  if (NamesEqual(key, kStartupMsgSection)) {
    const char* caption;
    const char* text;
    if (!ParseStartupMsg(data, size, caption, text))
      problems.push_back(label + ": the caption or the text lacks its NUL");
  } else if (NamesEqual(key, kRegistryKeysSection)) {
    RegistryKeys keys;
    if (!ParseRegistryKeys(data, size, keys))
      problems.push_back(label + ": four NUL-terminated strings and a 4-byte level do not fit");
  } else if (NamesEqual(key, kXlatNamesSection)) {
    if (!CheckXlatTable(data, size))
      problems.push_back(label +
                         ": a pair lacks its second string or a NUL, the closing empty string "
                         "is missing, or a name on disk leaves the program folder or is not a "
                         "file's name (a device name such as CON or NUL)");
  } else if (!CheckNameList(data, size, 0)) {
    problems.push_back(label + ": a name lacks its NUL or the closing empty name is missing");
  } else if (!CheckNameList(data, size, 1)) {
    for (const std::string& name : Strings(payload)) {
      if (!IsSafeRelativeName(name.c_str()))
        problems.push_back(label + ": \"" + Cp1251ToUtf8(name) + "\" leaves the program folder");
    }
  }
}

std::string Quoted(const std::string& cp1251) { return "\"" + Cp1251ToUtf8(cp1251) + "\""; }

}  // namespace

Container DetectContainer(const std::vector<uint8_t>& file) {
  if (file.size() >= kHeaderSize &&
      std::memcmp(file.data(), kPackageSignature, sizeof kPackageSignature) == 0)
    return Container::kBare;
  if (file.size() >= kTrailerSize &&
      std::memcmp(file.data() + file.size() - 4, kTrailerMagic, 4) == 0)
    return Container::kSelfContained;
  return Container::kUnknown;
}

std::vector<std::string> VerifyPackage(const std::vector<uint8_t>& file, const Progress& progress) {
  std::vector<std::string> problems;
  if (file.size() > UINT32_MAX) {
    problems.push_back("the file is 4 GiB or more, beyond the format's 32-bit offsets");
    return problems;
  }
  const auto length = static_cast<uint32_t>(file.size());
  const Container container = DetectContainer(file);
  if (container == Container::kUnknown) {
    problems.push_back(
        "neither a package (no signature at offset 0) nor a self-contained updater "
        "(no \"PINE\" in the last 4 bytes)");
    return problems;
  }
  uint32_t packageOffset = 0;
  if (container == Container::kSelfContained) {
    packageOffset = ReadLE32(file.data() + length - kTrailerSize);
    if (!FitsIn(packageOffset, kHeaderSize, length)) {
      problems.push_back("trailer: packageOffset " + std::to_string(packageOffset) +
                         " + 32 passes the end of the file (" + std::to_string(length) + " bytes)");
      return problems;
    }
  }

  PackageHeader header;
  std::memcpy(&header, file.data() + packageOffset, kHeaderSize);
  const std::string at = " (package at file offset " + std::to_string(packageOffset) + ")";
  if (std::memcmp(header.signature, kPackageSignature, sizeof kPackageSignature) != 0) {
    problems.push_back("header: wrong signature" + at);
    return problems;
  }
  if (header.entryCount == 0) problems.push_back("header: entryCount is 0");
  if (header.directoryOffset == 0) problems.push_back("header: directoryOffset is 0");
  if ((header.directoryMethod & 3) == kDirectoryRejected)
    problems.push_back("header: directoryMethod " + std::to_string(header.directoryMethod) +
                       " (low bits 1) is not accepted");
  const uint64_t directoryBytes = static_cast<uint64_t>(header.entryCount) * kEntrySize;
  if (directoryBytes > UINT32_MAX)
    problems.push_back("header: entryCount " + std::to_string(header.entryCount) +
                       " x 48 does not fit 32 bits");
  if (!problems.empty()) return problems;

  const uint32_t packageLength = length - packageOffset;
  const bool deflated = (header.directoryMethod & 3) == kDirectoryDeflated;
  const uint64_t directoryStored = deflated ? header.directoryPackedSize : directoryBytes;
  if (!FitsIn(header.directoryOffset, directoryStored, packageLength)) {
    problems.push_back("directory: " + std::to_string(directoryStored) + " bytes at offset " +
                       std::to_string(header.directoryOffset) + " pass the end of the package (" +
                       std::to_string(packageLength) + " bytes)");
    return problems;
  }
  if (deflated && directoryBytes > header.directoryPackedSize * kMaxInflateRatio) {
    problems.push_back("directory: a stream of " + std::to_string(header.directoryPackedSize) +
                       " bytes cannot inflate to " + std::to_string(directoryBytes) + " bytes");
    return problems;
  }

  // The directory, loaded as the reader loads it; ExtractEntry does the inflating.
  std::vector<DirectoryEntry> directory(header.entryCount);
  PackageView view;
  InitPackageView(view);
  SetMemorySource(view, file.data(), length);
  std::vector<unsigned char> scratch(2 * kExtractChunk);
  view.scratch = scratch.data();
  view.packageOffset = packageOffset;
  view.header = header;
  const unsigned char* source = file.data() + packageOffset + header.directoryOffset;
  if (deflated) {
    DirectoryEntry probe{};
    probe.dataOffset = header.directoryOffset;
    probe.size = static_cast<uint32_t>(directoryBytes);
    probe.flags = ENTRY_DEFLATED;
    probe.packedSize = header.directoryPackedSize;
    view.directory = &probe;
    if (!ExtractEntry(view, 0, reinterpret_cast<unsigned char*>(directory.data()))) {
      problems.push_back("directory: the stream is damaged (it does not inflate to exactly " +
                         std::to_string(directoryBytes) + " bytes with a good Adler-32)");
      return problems;
    }
  } else {
    std::memcpy(directory.data(), source, directoryBytes);
  }
  view.directory = directory.data();

  std::vector<bool> readable(header.entryCount, false);
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    const DirectoryEntry& e = directory[i];
    const std::string label = EntryLabel(i, e.name);
    if (progress)
      progress("[" + std::to_string(i + 1) + "/" + std::to_string(header.entryCount) + "] " +
               label);
    if (!std::memchr(e.name, 0, kEntryNameSize)) {
      problems.push_back(label + ": the name has no NUL in its 32 bytes (longer than 31)");
      continue;
    }
    if (e.name[0] == '\0')
      problems.push_back(label + ": empty name");
    else if (!IsControlSection(e) && !IsSafeRelativeName(e.name))
      problems.push_back(label + ": the name leaves the program folder (a '..' or ':')");
    else if (!IsControlSection(e) && !IsFileName(e.name))
      problems.push_back(label +
                         ": not a file's name (a device name such as CON or NUL, or no "
                         "file name at its end)");
    for (uint32_t j = 0; j < i; ++j) {
      if (std::memchr(directory[j].name, 0, kEntryNameSize) &&
          NamesEqual(directory[j].name, e.name)) {
        problems.push_back(label + ": same name as entry " + std::to_string(j) +
                           ", which hides it");
        break;
      }
    }
    const bool entryDeflated = (e.flags & ENTRY_DEFLATED) != 0;
    const uint32_t stored = entryDeflated ? e.packedSize : e.size;
    if (!FitsIn(e.dataOffset, stored, packageLength)) {
      problems.push_back(label + ": " + std::to_string(stored) + " stored bytes at offset " +
                         std::to_string(e.dataOffset) + " pass the end of the package (" +
                         std::to_string(packageLength) + " bytes)");
      continue;
    }
    if (entryDeflated && e.size > e.packedSize * kMaxInflateRatio) {
      problems.push_back(label + ": a stream of " + std::to_string(e.packedSize) +
                         " bytes cannot inflate to " + std::to_string(e.size) + " bytes");
      continue;
    }
    std::vector<uint8_t> contents(e.size);
    if (!ExtractEntry(view, static_cast<int>(i), contents.data())) {
      problems.push_back(label + ": the stream is damaged (it does not inflate to exactly " +
                         std::to_string(e.size) + " bytes with a good Adler-32)");
      continue;
    }
    readable[i] = true;
  }

  for (const char* key : kControlSections) {
    int index = -1;
    for (uint32_t i = 0; i < header.entryCount && index < 0; ++i) {
      if (std::memchr(directory[i].name, 0, kEntryNameSize) && NamesEqual(directory[i].name, key))
        index = static_cast<int>(i);
    }
    if (index < 0 || !readable[index]) continue;  // an unreadable entry is reported above
    std::vector<uint8_t> payload(directory[index].size);
    ExtractEntry(view, index, payload.data());
    CheckSectionLayout(key, payload, problems);
  }

  if (problems.empty()) {
    // The checks above mirror the reader's; the reader itself has the last word.
    PackageView reader;
    InitPackageView(reader);
    SetMemorySource(reader, file.data(), length);
    if (!LoadPackage(reader, container == Container::kSelfContained))
      problems.push_back("the updater's reader rejects the package");
    UnloadPackage(reader);
  }
  return problems;
}

Manifest ManifestOfPackage(const std::vector<uint8_t>& file) {
  const OpenedPackage package(file);
  Manifest m;
  std::vector<uint8_t> payload;
  if (!package.Section(kRegistryKeysSection, payload))
    throw ToolError("the package has no :RegistryKeys section");
  RegistryKeys keys;
  ParseRegistryKeys(payload.data(), static_cast<uint32_t>(payload.size()), keys);
  m.keyPath = keys.keyPath;
  m.folderValue = keys.folderValueName;
  m.fileValue = keys.fileValueName;
  m.patchLevelValue = keys.patchValueName;
  m.patchLevel = keys.patchLevel;
  if (package.Section(kStartupMsgSection, payload)) {
    const char* caption;
    const char* text;
    ParseStartupMsg(payload.data(), static_cast<uint32_t>(payload.size()), caption, text);
    m.hasStartup = true;
    m.caption = caption;
    m.text = text;
  }
  if (package.Section(kFoldersSection, payload)) m.folders = Strings(payload);
  if (package.Section(kFilesToRemoveSection, payload)) m.removals = Strings(payload);
  if (package.Section(kXlatNamesSection, payload)) {
    const std::vector<std::string> strings = Strings(payload);
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
      m.renames.emplace_back(strings[i], strings[i + 1]);
  }
  return m;
}

std::string ListPackage(const std::vector<uint8_t>& file) {
  const OpenedPackage package(file);
  const PackageView& view = package.view();
  std::string out;
  char line[512];
  if (package.selfContained()) {
    std::snprintf(line, sizeof line,
                  "self-contained updater: executable of %u bytes, package of %u bytes\n",
                  view.packageOffset, view.source.length - view.packageOffset - kTrailerSize);
  } else {
    std::snprintf(line, sizeof line, "package of %u bytes\n", view.source.length);
  }
  out += line;
  const uint32_t method = view.header.directoryMethod & 3;
  std::snprintf(line, sizeof line, "%u entries, directory %s at offset %u\n",
                view.header.entryCount, method == kDirectoryDeflated ? "deflated" : "stored",
                view.header.directoryOffset);
  out += line;
  out += "     # offset       size       packed     flags     name\n";
  for (uint32_t i = 0; i < package.count(); ++i) {
    const DirectoryEntry& e = package.entry(i);
    const bool deflated = (e.flags & ENTRY_DEFLATED) != 0;
    std::snprintf(line, sizeof line, "%6u %-12u %-10u %-10s 0x%-7x %s\n", i, e.dataOffset, e.size,
                  deflated ? std::to_string(e.packedSize).c_str() : "stored", e.flags,
                  Cp1251ToUtf8(e.name).c_str());
    out += line;
  }

  std::vector<uint8_t> payload;
  if (package.Section(kRegistryKeysSection, payload)) {
    RegistryKeys k;
    ParseRegistryKeys(payload.data(), static_cast<uint32_t>(payload.size()), k);
    out += "registry key HKEY_LOCAL_MACHINE\\" + Cp1251ToUtf8(k.keyPath) + ", values " +
           Quoted(k.folderValueName) + " (folder), " + Quoted(k.fileValueName) + " (file), " +
           Quoted(k.patchValueName) + " (patch level)\n";
    out += "patch level " + std::to_string(k.patchLevel) + "\n";
  } else {
    out += "no :RegistryKeys: the updater will not find the program\n";
  }
  if (package.Section(kStartupMsgSection, payload)) {
    const char* caption;
    const char* text;
    ParseStartupMsg(payload.data(), static_cast<uint32_t>(payload.size()), caption, text);
    out += "startup question " + Quoted(caption) + ":\n";
    std::string shown = Cp1251ToUtf8(text);
    for (size_t p; (p = shown.find("\r\n")) != std::string::npos;) shown.replace(p, 2, "\n  ");
    out += "  " + shown + "\n";
  }
  if (package.Section(kFoldersSection, payload)) {
    for (const std::string& s : Strings(payload)) out += "folder " + Quoted(s) + "\n";
  }
  if (package.Section(kFilesToRemoveSection, payload)) {
    for (const std::string& s : Strings(payload)) out += "remove " + Quoted(s) + "\n";
  }
  if (package.Section(kXlatNamesSection, payload)) {
    const std::vector<std::string> strings = Strings(payload);
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
      out += "install " + Quoted(strings[i]) + " as " + Quoted(strings[i + 1]) + "\n";
  }
  return out;
}

size_t ExtractPackage(const std::vector<uint8_t>& file, const fs::path& folder,
                      const fs::path& manifestPath, const Progress& progress) {
  const OpenedPackage package(file);
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw ToolError("cannot create " + Show(folder) + ": " + error.message());
  size_t written = 0;
  for (uint32_t i = 0; i < package.count(); ++i) {
    const DirectoryEntry& e = package.entry(i);
    if (IsControlSection(e)) continue;
    // The reader refused names with '..' or ':' at open; a leading '\' means the folder itself.
    std::string relative = Cp1251ToUtf8(e.name);
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    if (relative.empty() || relative.back() == '/') {
      if (progress) progress("skipped " + EntryLabel(i, e.name) + ": not a file name");
      continue;
    }
    const fs::path target = folder / fs::u8path(relative);
    fs::create_directories(target.parent_path(), error);
    if (error) throw ToolError("cannot create " + Show(target.parent_path()));
    WriteFileBytes(target, package.Extract(i));
    ++written;
    if (progress)
      progress("[" + std::to_string(i + 1) + "/" + std::to_string(package.count()) + "] " +
               relative + " (" + std::to_string(e.size) + " bytes)");
  }
  if (!manifestPath.empty()) {
    const std::string json = ManifestToJson(ManifestOfPackage(file));
    WriteFileBytes(manifestPath, std::vector<uint8_t>(json.begin(), json.end()));
  }
  return written;
}
