#include "installed_win32.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "shell/texts.h"
#include "update/journal_win32.h"

std::string Format(const char* format, const std::string& argument) {
  std::vector<char> out(argument.size() + 512);
  std::snprintf(out.data(), out.size(), format, argument.c_str());
  return out.data();
}

WriterEntry Entry(const std::string& name, const std::vector<uint8_t>& data, bool deflate) {
  WriterEntry e;
  e.name = name;
  e.data = data;
  e.deflate = deflate;
  return e;
}

std::vector<uint8_t> ContentsFor(const std::string& name, size_t repeat) {
  std::string s;
  for (size_t i = 0; i < repeat; ++i) s += "new contents of " + name + " #" + std::to_string(i);
  return Bytes(s);
}

std::vector<uint8_t> Damaged(std::vector<uint8_t> stream, size_t at) {
  stream[at] ^= 0x55;
  return stream;
}

Installed::Installed(const std::string& tag, const std::string& base)
    : root_(tag, base), registry_("Update" + tag) {
  folder_ = root_ / "prog";
  CreateDirectoryA(folder_.c_str(), nullptr);
  WriteFileText(Path("prog.exe"), "the installed program");
  registry_.SetString("ProgramPath", folder_);
  registry_.SetString("ProgramName", "prog.exe");
}

std::vector<uint8_t> Installed::Keys(int32_t level) const {
  return RegistryKeysPayload(registry_.keyPath(), "ProgramPath", "ProgramName", "PatchLevel",
                             level);
}

std::vector<std::string> Installed::Journal() const {
  DWORD type = 0;
  std::vector<uint8_t> data;
  std::vector<std::string> names;
  if (!registry_.Get(kJournalValue, type, data)) return names;
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  std::string name;
  for (const uint8_t byte : data) {
    if (byte != 0) {
      name += static_cast<char>(byte);
    } else if (!name.empty()) {
      names.push_back(name.substr(0, name.find(kJournalSeparator)));  // the name, not its record
      name.clear();
    }
  }
  return names;
}

bool Installed::SetJournal(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += name + '\0';
  list += '\0';
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, registry_.keyPath().c_str(), 0, KEY_SET_VALUE, &key) !=
      ERROR_SUCCESS)
    return false;
  const bool ok = RegSetValueExA(key, kJournalValue, 0, REG_MULTI_SZ,
                                 reinterpret_cast<const BYTE*>(list.data()),
                                 static_cast<DWORD>(list.size())) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

std::string Installed::WritePackage(const PackageSpec& spec) const {
  const std::string path = root_ / "update.pkg";
  EXPECT_TRUE(WriteFileBytes(path, ::WritePackage(spec)));
  return path;
}

UserOutcome RunUpdater(const std::string& packagePath, const std::vector<int>& answers,
                       DWORD expectedExit, const std::string& switches) {
  const UserOutcome outcome = PlayUser(
      RlPatchPath(),
      Quote("RL_PATCH.EXE") + " " + Quote(packagePath) + (switches.empty() ? "" : " " + switches),
      answers, 100, kUpdateTimeoutMs);
  EXPECT_TRUE(outcome.started) << "cannot start the updater";
  EXPECT_TRUE(outcome.exited) << "the updater did not end";
  EXPECT_EQ(outcome.exitCode, expectedExit);
  return outcome;
}

void ExpectCompleted(const UserOutcome& o) {
  EXPECT_TRUE(o.waited);
  EXPECT_EQ(o.status, texts::kUpdateInstalledText);
  EXPECT_EQ(o.exitCode, 0u);
}

namespace {

void CollectFiles(const std::string& folder, const std::string& prefix, InstalledState& state) {
  for (const std::string& name : ListFolder(folder)) {
    const std::string path = folder + "\\" + name;
    if (IsFolder(path)) {
      state.files.push_back({prefix + name + "\\", {}});
      CollectFiles(path, prefix + name + "\\", state);
    } else {
      state.files.push_back({prefix + name, ReadFileOrEmpty(path)});
    }
  }
}

}  // namespace

InstalledState StateOf(const Installed& app) {
  InstalledState state;
  CollectFiles(app.folder(), "", state);
  state.level = app.Level();
  return state;
}

bool ReadUtf8Log(const std::string& path, std::wstring& text, bool& bom) {
  std::vector<uint8_t> bytes;
  text.clear();
  bom = false;
  if (!ReadFileBytes(path, bytes)) return false;
  size_t start = 0;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    bom = true;
    start = 3;
  }
  if (bytes.size() == start) return true;
  const char* utf8 = reinterpret_cast<const char*>(bytes.data() + start);
  const int size = static_cast<int>(bytes.size() - start);
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, size, nullptr, 0);
  if (length <= 0) return false;
  text.resize(static_cast<size_t>(length));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, size, text.data(), length);
  return true;
}

std::wstring FromCp1251(const std::string& bytes) {
  std::wstring text(bytes.size(), L'\0');
  const int length = MultiByteToWideChar(1251, 0, bytes.data(), static_cast<int>(bytes.size()),
                                         text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(length > 0 ? length : 0));
  return text;
}

PackageSpec AllOrNothingStart(Installed& app) {
  app.registry().SetDword("PatchLevel", 1);
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(2));
  spec.entries.push_back(Entry(kTransactionSection, {1, 0, 0, 0}));
  spec.entries.push_back(Entry(":Folders", NameListPayload({"logs"})));
  spec.entries.push_back(Entry(":FilesToRemove", NameListPayload({"old.dll"})));
  EXPECT_TRUE(WriteFileText(app.Path("old.dll"), "old old.dll"));
  return spec;
}

std::wstring AsLogged(std::string text) {
  while (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0)
    text.resize(text.size() - 2);
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, " | ");
  return FromCp1251(text);
}
