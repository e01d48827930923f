// The faults of a real machine, through the real window under Wine: files held open by other
// programs, read-only and running files, and a program file left set aside by a killed run.
// Whatever happens, every file holds its old or its new contents (or its old contents wait in
// its backup), nothing is reported as done that is not on disk, and a rerun finishes the update.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "driver_win32.h"
#include "fixtures_win32.h"
#include "installed_win32.h"
#include "package_writer.h"
#include "shell/texts.h"

namespace {

// ---------------------------------------------------------------------------------------------
// A file held open by another program (a running program's data file, a database, a log).

TEST(FaultSharing, AHeldFileIsNeverWrittenWithoutABackup) {
  const struct {
    const char* label;
    DWORD share;
    bool setAside;  // the holder shares deletion, so the file can be renamed to its backup
  } holders[] = {
      {"no sharing", 0, false},
      {"read sharing", FILE_SHARE_READ, false},
      {"read and write sharing", FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {"read, write and delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
       true},
  };
  const std::vector<uint8_t> good = ContentsFor("held.dll", 200);
  for (const auto& h : holders) {
    for (const bool damaged : {false, true}) {
      SCOPED_TRACE(std::string(h.label) + (damaged ? ", damaged entry" : ", good entry"));
      Installed app("held");
      WriteFileText(app.Path("held.dll"), "in use");
      PackageSpec spec;
      spec.entries.push_back(app.KeysEntry(3));
      spec.entries.push_back(Entry("free.dll", ContentsFor("free.dll")));
      WriterEntry held = Entry("held.dll", good);
      if (damaged) held.packed = Damaged(DeflateBytes(good, 9), 40);
      spec.entries.push_back(held);
      const std::string package = app.WritePackage(spec);

      // A reader, as a log viewer or a program reading its data file holds it.
      HANDLE holder = CreateFileA(app.Path("held.dll").c_str(), GENERIC_READ, h.share, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      ASSERT_NE(holder, INVALID_HANDLE_VALUE);
      const UserOutcome o = RunUpdater(package, {});
      CloseHandle(holder);

      EXPECT_TRUE(o.waited);
      EXPECT_EQ(ReadFileOrEmpty(app.Path("free.dll")), ContentsFor("free.dll"));
      EXPECT_EQ(ListFolder(app.folder()),
                (std::vector<std::string>{"free.dll", "held.dll", "prog.exe"}));
      if (h.setAside && !damaged) {
        EXPECT_EQ(o.status, texts::kUpdateInstalledText);
        EXPECT_EQ(ReadFileOrEmpty(app.Path("held.dll")), good);
        EXPECT_EQ(app.Level(), 3);
      } else {
        EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path("held.dll")));
        EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("held.dll"))), "in use");
        EXPECT_EQ(app.Level(), kNoLevel);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Files whose backup cannot simply be deleted.

// The first update must leave no backup behind: the second one would take it for the previous
// file of an interrupted run and, when its entry fails, put back the version of two updates ago.
TEST(FaultAttributes, AFileWithAttributesUpdatedTwiceKeepsTheLatestVersion) {
  const struct {
    const char* label;
    DWORD attributes;
  } cases[] = {
      {"read-only", FILE_ATTRIBUTE_READONLY},
      {"hidden and system", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {"read-only, hidden and system",
       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
  };
  const std::vector<uint8_t> first = ContentsFor("x.dll, first update");
  const std::vector<uint8_t> second = ContentsFor("x.dll, second update");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("attr");
    WriteFileText(app.Path("x.dll"), "as installed");
    ASSERT_TRUE(SetFileAttributesA(app.Path("x.dll").c_str(), c.attributes));

    PackageSpec update1;
    update1.entries.push_back(app.KeysEntry(1));
    update1.entries.push_back(Entry("x.dll", first));
    ExpectCompleted(RunUpdater(app.WritePackage(update1), {}));
    EXPECT_EQ(ReadFileOrEmpty(app.Path("x.dll")), first);
    EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"prog.exe", "x.dll"}));

    PackageSpec update2;
    update2.entries.push_back(app.KeysEntry(2));
    WriterEntry x = Entry("x.dll", second);
    x.packed = Damaged(DeflateBytes(second, 9), 30);
    update2.entries.push_back(x);
    const UserOutcome o = RunUpdater(app.WritePackage(update2), {});
    EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path("x.dll")));
    EXPECT_EQ(ReadFileOrEmpty(app.Path("x.dll")), first);
    EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"prog.exe", "x.dll"}));
    EXPECT_EQ(app.Level(), 1);
  }
}

// The renames and deletions waiting for the next restart (PendingFileRenameOperations), put back
// as they were when the test ends, so that no entry of a test outlives it.
class PendingRestartOperations {
 public:
  PendingRestartOperations() { existed_ = Read(saved_); }
  ~PendingRestartOperations() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    if (existed_)
      RegSetValueExW(key, kValue, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(saved_.data()),
                     static_cast<DWORD>(saved_.size() * sizeof(wchar_t)));
    else
      RegDeleteValueW(key, kValue);
    RegCloseKey(key);
  }
  PendingRestartOperations(const PendingRestartOperations&) = delete;
  PendingRestartOperations& operator=(const PendingRestartOperations&) = delete;

  // The files to be deleted at the restart (pairs whose destination is empty), as DOS paths
  // (the value holds them as "\??\C:\...").
  std::vector<std::string> Deletions() const {
    std::vector<std::string> out;
    std::wstring value;
    if (!Read(value)) return out;
    std::vector<std::wstring> strings;
    for (size_t at = 0; at < value.size();) {
      const size_t end = value.find(L'\0', at);
      strings.push_back(value.substr(at, end == std::wstring::npos ? end : end - at));
      if (end == std::wstring::npos) break;
      at = end + 1;
    }
    for (size_t i = 0; i + 1 < strings.size(); i += 2) {
      if (strings[i].empty() || !strings[i + 1].empty()) continue;
      std::string path(strings[i].begin(), strings[i].end());  // ASCII paths of the tests
      if (path.rfind("\\??\\", 0) == 0) path = path.substr(4);
      out.push_back(path);
    }
    return out;
  }

 private:
  static constexpr const char* kKey = "System\\CurrentControlSet\\Control\\Session Manager";
  static constexpr const wchar_t* kValue = L"PendingFileRenameOperations";
  static bool Read(std::wstring& value) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
      return false;
    DWORD type = 0, size = 0;
    bool ok = RegQueryValueExW(key, kValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
      value.assign(size / sizeof(wchar_t), L'\0');
      ok = RegQueryValueExW(key, kValue, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]),
                            &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return ok;
  }
  bool existed_ = false;
  std::wstring saved_;
};

// A process of the test's that is ended when the test leaves its scope, however it leaves.
struct ScopedRun {
  UpdaterRun run{};
  ScopedRun() = default;
  ScopedRun(const ScopedRun&) = delete;
  ScopedRun& operator=(const ScopedRun&) = delete;
  ~ScopedRun() { KillIfRunning(run); }
};

// A copy of the updater waiting in its window (it finds no package of its own): a running
// program, whose executable can be renamed but not deleted while it runs.
bool StartWaitingProgram(const std::string& exePath, UpdaterRun& run) {
  return WriteFileBytes(exePath, RlPatchBytes()) && StartProcess(exePath, Quote(exePath), run) &&
         WaitForFinished(run, kUpdateTimeoutMs);
}

// The program file replaced while the program runs: its backup cannot be deleted, so it is
// renamed out of the way and left for deletion at the next restart. A second update that fails
// then puts back the first update's version, not the running one.
TEST(FaultAttributes, ARunningProgramFileIsRetiredAndDeletedAtTheNextRestart) {
  Installed app("running");
  bool deletable = false;
  {
    ScopedRun probe;
    ASSERT_TRUE(StartWaitingProgram(app.Path("probe.exe"), probe.run));
    deletable = DeleteFileA(app.Path("probe.exe").c_str()) != 0;
  }
  DeleteFileA(app.Path("probe.exe").c_str());
  if (deletable) GTEST_SKIP() << "this platform deletes the executable of a running program";

  PendingRestartOperations pending;
  ScopedRun running;
  ASSERT_TRUE(StartWaitingProgram(app.Path("prog.exe"), running.run));
  const std::vector<uint8_t> first = ContentsFor("prog.exe, first update");
  PackageSpec update1;
  update1.entries.push_back(app.KeysEntry(1));
  update1.entries.push_back(Entry("prog.exe", first));
  ExpectCompleted(RunUpdater(app.WritePackage(update1), {}));
  EXPECT_EQ(ReadFileOrEmpty(app.Path("prog.exe")), first);
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"prog.exe", "prog.exe.bak.1"}));
  EXPECT_EQ(ReadFileOrEmpty(app.Path("prog.exe.bak.1")), RlPatchBytes());
  bool scheduled = false;
  for (const std::string& path : pending.Deletions())
    scheduled |= _stricmp(path.c_str(), app.Path("prog.exe.bak.1").c_str()) == 0;
  EXPECT_TRUE(scheduled) << "the retired backup is not deleted at the next restart";

  PackageSpec update2;
  update2.entries.push_back(app.KeysEntry(2));
  WriterEntry damaged = Entry("prog.exe", ContentsFor("prog.exe, second update"));
  damaged.packed = Damaged(DeflateBytes(damaged.data, 9), 30);
  update2.entries.push_back(damaged);
  const UserOutcome o = RunUpdater(app.WritePackage(update2), {});
  EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path("prog.exe")));
  EXPECT_EQ(ReadFileOrEmpty(app.Path("prog.exe")), first);
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"prog.exe", "prog.exe.bak.1"}));
  EXPECT_EQ(app.Level(), 1);
}

// ---------------------------------------------------------------------------------------------
// The program file left set aside: a run killed between renaming the program file to its backup
// and completing the new one leaves the program file absent (or partial) and its backup. The
// rerun finds the program by that backup and never ends with the program file missing.

TEST(FaultProgramFile, ARerunFindsTheProgramByItsBackupAndNeverLeavesItMissing) {
  const std::vector<uint8_t> newProgram = ContentsFor("prog.exe");
  const std::string oldProgram = "the installed program";
  enum Ending { kCompleted, kFailed, kDeclined };
  const struct {
    const char* label;
    bool installsProgram;
    bool damagedProgram;
    bool damagedOther;
    bool startupQuestion;    // the startup question is asked (and declined when the run ends so)
    int32_t installedLevel;  // the package brings level 5
    Ending ending;
  } cases[] = {
      {"the package installs the program file", true, false, false, false, 1, kCompleted},
      {"the program file's entry fails", true, true, false, false, 1, kFailed},
      {"the package does not install it", false, false, false, false, 1, kCompleted},
      {"another file fails", false, false, true, false, 1, kFailed},
      {"the startup question declined", true, false, false, true, 1, kDeclined},
      {"the patch-level warning declined", true, false, false, false, 5, kDeclined},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("setaside");
    app.registry().SetDword("PatchLevel", static_cast<uint32_t>(c.installedLevel));
    ASSERT_TRUE(MoveFileA(app.Path("prog.exe").c_str(), app.Path("prog.exe.bak").c_str()));
    WriteFileText(app.Path("a.dll"), "old a");
    PackageSpec spec;
    if (c.startupQuestion)
      spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Q", "Go?")));
    spec.entries.push_back(app.KeysEntry(5));
    spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
    if (c.damagedOther)
      spec.entries.back().packed = Damaged(DeflateBytes(ContentsFor("a.dll"), 9), 20);
    if (c.installsProgram) {
      spec.entries.push_back(Entry("prog.exe", newProgram));
      if (c.damagedProgram) spec.entries.back().packed = Damaged(DeflateBytes(newProgram, 9), 20);
    }
    const UserOutcome o = RunUpdater(app.WritePackage(spec), {});

    EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"a.dll", "prog.exe"}));
    const bool programInstalled = c.ending == kCompleted && c.installsProgram;
    if (programInstalled)
      EXPECT_EQ(ReadFileOrEmpty(app.Path("prog.exe")), newProgram);
    else
      EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("prog.exe"))), oldProgram);
    switch (c.ending) {
      case kCompleted:
        ExpectCompleted(o);
        EXPECT_EQ(app.Level(), 5);
        break;
      case kFailed:
        EXPECT_TRUE(o.waited);
        EXPECT_EQ(o.status, Format(texts::kFileFailedFormat,
                                   app.Path(c.damagedProgram ? "prog.exe" : "a.dll")));
        EXPECT_EQ(app.Level(), c.installedLevel);
        break;
      case kDeclined:
        EXPECT_EQ(o.boxes.size(), 1u);
        EXPECT_TRUE(o.exitedBeforeClick);
        EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("a.dll"))), "old a");
        EXPECT_EQ(app.Level(), c.installedLevel);
        break;
    }
  }
}

}  // namespace
