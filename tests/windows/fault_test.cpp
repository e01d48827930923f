// The faults of a real machine, through the real window under Wine: files held open by other
// programs, read-only and running files, a program file left set aside by a killed run, and the
// updater killed at any moment and run again. Whatever happens, every file holds its old or its
// new contents (or its old contents wait in its backup), nothing is reported as done that is not
// on disk, and a rerun finishes the update.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "delta_writer.h"
#include "driver_win32.h"
#include "fixtures_win32.h"
#include "installed_win32.h"
#include "package/format.h"
#include "package_writer.h"
#include "shell/exit_codes.h"
#include "shell/texts.h"

namespace {

// A process of the test's that is ended when the test leaves its scope, however it leaves.
struct ScopedRun {
  UpdaterRun run{};
  ScopedRun() = default;
  ScopedRun(const ScopedRun&) = delete;
  ScopedRun& operator=(const ScopedRun&) = delete;
  ~ScopedRun() { KillIfRunning(run); }
};

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
      const bool installs = h.setAside && !damaged;
      const UserOutcome o =
          RunUpdater(package, {}, installs ? exit_codes::kSuccess : exit_codes::kFilesFailed);
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

// A folder where the package puts a file: failed with its error text, the folder and what it
// holds stay where they are (a commit would have moved them out of the way for good).
TEST(FaultSharing, AFolderUnderTheFilesNameStaysWhereItIs) {
  Installed app("folder");
  ASSERT_TRUE(CreateDirectoryA(app.Path("data").c_str(), nullptr));
  WriteFileText(app.Path("data\\saved.txt"), "the user's");
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(3));
  spec.entries.push_back(Entry("data", ContentsFor("data")));
  spec.entries.push_back(Entry("free.dll", ContentsFor("free.dll")));
  const UserOutcome o = RunUpdater(app.WritePackage(spec), {}, exit_codes::kFilesFailed);
  EXPECT_TRUE(o.waited);
  EXPECT_EQ(o.status, Format(texts::kFileUpdatedFormat, app.Path("free.dll")));
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"data", "free.dll", "prog.exe"}));
  EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("data\\saved.txt"))), "the user's");
  EXPECT_EQ(app.Level(), kNoLevel);
}

// Every name below folder, folders included, as TreeSnapshot's keys, without reading a file: the
// files an update holds open for moving cannot be read meanwhile.
std::set<std::string> NamesBelow(const std::string& folder, const std::string& prefix = "") {
  std::set<std::string> names;
  for (const std::string& name : ListFolder(folder)) {
    names.insert(prefix + name);
    if (IsFolder(folder + "\\" + name)) {
      const std::set<std::string> below = NamesBelow(folder + "\\" + name, prefix + name + "\\");
      names.insert(below.begin(), below.end());
    }
  }
  return names;
}

// The question about a file in use. Under Wine the Restart Manager names no program that holds
// the file, so the question leaves the program's name out.
std::string InUseQuestion(const std::string& path) {
  char text[1024];
  std::snprintf(text, sizeof text, texts::kFileInUseFormat, "", path.c_str());
  return text;
}

// An update that installs all or nothing, with a file to replace (b.dat) or to remove (old.dll)
// held by a reader that does not share deletion: it is found before anything changes and named
// in a question. Cancel, or a silent run, leaves everything as it was; Retry asks again while the
// file is held, and once it is free installs the whole update. A reader that shares deletion
// does not keep the file from being moved: no question.
TEST(FaultSharing, AFileInUseStopsAnAllOrNothingUpdateUntilItIsFree) {
  enum Answer { kCancel, kRetryUntilFree, kSilent, kNoQuestion };
  constexpr DWORD kRead = FILE_SHARE_READ,
                  kAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const struct {
    const char* label;
    const char* held;
    DWORD share;  // the holder's
    Answer answer;
  } cases[] = {
      {"a file to replace, Cancel", "b.dat", kRead, kCancel},
      {"a file to replace, no sharing at all, Cancel", "b.dat", 0, kCancel},
      {"a file to replace, Retry until it is free", "b.dat", kRead, kRetryUntilFree},
      {"a file to replace, silent run", "b.dat", kRead, kSilent},
      {"a file to replace, delete sharing", "b.dat", kAll, kNoQuestion},
      {"a file to remove, Cancel", "old.dll", kRead, kCancel},
      {"a file to remove, Retry until it is free", "old.dll", kRead, kRetryUntilFree},
      {"a file to remove, silent run", "old.dll", kRead, kSilent},
  };
  const std::vector<std::string> replaced = {"a.dll", "b.dat", "c.dll"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("inuse");
    PackageSpec contents = AllOrNothingStart(app);
    for (const std::string& name : replaced) {
      ASSERT_TRUE(WriteFileText(app.Path(name), "old " + name));
      contents.entries.push_back(Entry(name, ContentsFor(name)));
    }
    contents.entries.push_back(Entry("plugins\\added.dat", ContentsFor("added.dat")));
    const std::string package = app.WritePackage(contents);
    const auto before = TreeSnapshot(app.folder());
    auto after = before;
    after.erase("old.dll");
    for (const std::string& name : replaced) after[name] = Text(ContentsFor(name));
    after["logs"] = after["plugins"] = "<folder>";
    after["plugins\\added.dat"] = Text(ContentsFor("added.dat"));
    std::set<std::string> namesBefore;
    for (const auto& entry : before) namesBefore.insert(entry.first);

    const std::string held = app.Path(c.held), question = InUseQuestion(held);
    const std::string log = app.folder() + "\\..\\update.log";
    const std::string commandLine =
        Quote("RL_PATCH.EXE") + " " + Quote(package) + " " + Quote("/LOG=" + log);
    HANDLE holder = CreateFileA(held.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    DWORD exitCode = 1234;
    if (c.answer == kSilent) {
      const SilentOutcome o = RunUnattended(RlPatchPath(), commandLine + " /S");
      EXPECT_TRUE(o.exited);
      EXPECT_EQ(o.visibleWindows, 0);
      exitCode = o.exitCode;
    } else {
      ScopedRun updater;
      ASSERT_TRUE(StartProcess(RlPatchPath(), commandLine, updater.run));
      ASSERT_TRUE(WaitForDialog(updater.run, kUpdateTimeoutMs));
      const int questions = c.answer == kCancel ? 1 : c.answer == kNoQuestion ? 0 : 2;
      for (int n = 0; n < questions; ++n) {
        HWND box = WaitForMessageBox(updater.run, kUpdateTimeoutMs);
        ASSERT_NE(box, nullptr) << "question " << n << " not asked";
        EXPECT_EQ(WindowCaption(box), texts::kPatchLevelWarningCaption);
        EXPECT_EQ(MessageBoxText(box), question);
        EXPECT_EQ(ControlText(updater.run.dialog, 1000), texts::kCheckingText);
        EXPECT_EQ(NamesBelow(app.folder()), namesBefore) << "changed while it asks";
        if (c.answer == kRetryUntilFree && n + 1 == questions) {
          CloseHandle(holder);
          holder = INVALID_HANDLE_VALUE;
        }
        PressButton(box, c.answer == kCancel ? IDCANCEL : IDRETRY);
      }
      ASSERT_TRUE(WaitForFinished(updater.run, kUpdateTimeoutMs)) << "no end (asked again?)";
      EXPECT_EQ(ControlText(updater.run.dialog, 1000),
                c.answer == kCancel ? question : texts::kUpdateInstalledText);
      PressButton(updater.run.dialog, 1);
      EXPECT_TRUE(WaitForExit(updater.run, kUpdateTimeoutMs, exitCode));
    }
    if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);

    const bool installed = c.answer == kRetryUntilFree || c.answer == kNoQuestion;
    EXPECT_EQ(exitCode,
              static_cast<DWORD>(installed ? exit_codes::kSuccess : exit_codes::kFileInUse));
    // Exactly one release: no staged file, backup or folder of the run's left beside it.
    EXPECT_EQ(TreeSnapshot(app.folder()), installed ? after : before);
    EXPECT_EQ(app.Level(), installed ? 2 : 1);
    EXPECT_TRUE(app.Journal().empty());
    std::wstring text;
    bool bom = false;
    ASSERT_TRUE(ReadUtf8Log(log, text, bom));
    EXPECT_EQ(text.find(AsLogged(question)) != std::wstring::npos, c.answer != kNoQuestion)
        << "the question logged or not";
    if (installed) {
      EXPECT_EQ(text.find(L"Answer: Cancel"), std::wstring::npos) << "Retry logged as Cancel";
    } else {
      EXPECT_NE(text.find(FromCp1251("File in use: " + held + " - error 32")), std::wstring::npos);
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
    const UserOutcome o = RunUpdater(app.WritePackage(update2), {}, exit_codes::kFilesFailed);
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

// A copy of the updater waiting in its window (it finds no package of its own): a running
// program, whose executable can be renamed but not deleted while it runs.
bool StartWaitingProgram(const std::string& exePath, UpdaterRun& run) {
  return WriteFileBytes(exePath, RlPatchBytes()) && StartProcess(exePath, Quote(exePath), run) &&
         WaitForFinished(run, kUpdateTimeoutMs);
}

// The program file replaced while the program runs: its backup cannot be deleted, so it is
// renamed out of the way and left for deletion at the next restart. A second update that fails
// then puts back the first update's version, not the running one.
// The one retired backup of name in folder: name + ".bak." and 16 hex digits, a name of the
// updater's own; "" when there is not exactly one.
std::string RetiredBackup(const std::string& folder, const std::string& name) {
  std::string found;
  int count = 0;
  const std::string stem = name + ".bak.";
  for (const std::string& entry : ListFolder(folder)) {
    if (entry.size() != stem.size() + 16 || entry.compare(0, stem.size(), stem) != 0) continue;
    if (entry.find_first_not_of("0123456789abcdef", stem.size()) != std::string::npos) continue;
    found = entry;
    ++count;
  }
  return count == 1 ? found : "";
}

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
  const std::string retired = RetiredBackup(app.folder(), "prog.exe");
  ASSERT_NE(retired, "") << "no retired backup";
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"prog.exe", retired}));
  EXPECT_EQ(ReadFileOrEmpty(app.Path(retired)), RlPatchBytes());
  EXPECT_TRUE(app.Journal().empty());
  bool scheduled = false;
  for (const std::string& path : pending.Deletions())
    scheduled |= _stricmp(path.c_str(), app.Path(retired).c_str()) == 0;
  EXPECT_TRUE(scheduled) << "the retired backup is not deleted at the next restart";

  PackageSpec update2;
  update2.entries.push_back(app.KeysEntry(2));
  WriterEntry damaged = Entry("prog.exe", ContentsFor("prog.exe, second update"));
  damaged.packed = Damaged(DeflateBytes(damaged.data, 9), 30);
  update2.entries.push_back(damaged);
  const UserOutcome o = RunUpdater(app.WritePackage(update2), {}, exit_codes::kFilesFailed);
  EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path("prog.exe")));
  EXPECT_EQ(ReadFileOrEmpty(app.Path("prog.exe")), first);
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"prog.exe", retired}));
  EXPECT_EQ(app.Level(), 1);
}

// A read-only backup that is a hard link of a file outside the program folder (the user linked
// it there): its attributes are that file's too, so they are never cleared; the backup is retired
// as one that cannot be deleted, and the file outside keeps its attributes and contents.
TEST(FaultAttributes, AHardLinkedBackupKeepsItsAttributes) {
  Installed app("hardlink");
  TempFolder outside("hardlink-outside");
  const std::string elsewhere = outside / "kept.dll";
  const DWORD attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  WriteFileText(app.Path("x.dll"), "as installed");
  ASSERT_TRUE(CreateHardLinkA(elsewhere.c_str(), app.Path("x.dll").c_str(), nullptr));
  ASSERT_TRUE(SetFileAttributesA(app.Path("x.dll").c_str(), attributes));
  const DWORD before = GetFileAttributesA(elsewhere.c_str());
  ASSERT_TRUE(before & FILE_ATTRIBUTE_READONLY) << "the link does not share the attributes here";

  PendingRestartOperations pending;
  const std::vector<uint8_t> update = ContentsFor("x.dll");
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(1));
  spec.entries.push_back(Entry("x.dll", update));
  ExpectCompleted(RunUpdater(app.WritePackage(spec), {}));
  EXPECT_EQ(ReadFileOrEmpty(app.Path("x.dll")), update);
  EXPECT_EQ(GetFileAttributesA(elsewhere.c_str()), before) << "the outside file's attributes";
  EXPECT_EQ(Text(ReadFileOrEmpty(elsewhere)), "as installed");
  EXPECT_TRUE(app.Journal().empty());
  // Retired: renamed aside, to be deleted at the next restart (deleting a name is harmless).
  const std::string retired = RetiredBackup(app.folder(), "x.dll");
  ASSERT_NE(retired, "") << "no retired backup";
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"prog.exe", "x.dll", retired}));
  bool scheduled = false;
  for (const std::string& path : pending.Deletions())
    scheduled |= _stricmp(path.c_str(), app.Path(retired).c_str()) == 0;
  EXPECT_TRUE(scheduled) << "the retired backup is not deleted at the next restart";
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
    ASSERT_TRUE(app.SetJournal({"prog.exe"}));  // as the killed run recorded it
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
    const int exitCode = c.ending == kCompleted ? exit_codes::kSuccess
                         : c.ending == kFailed  ? exit_codes::kFilesFailed
                         : c.startupQuestion    ? exit_codes::kDeclined
                                                : exit_codes::kLevelNotOlder;
    const UserOutcome o = RunUpdater(app.WritePackage(spec), {}, exitCode);

    EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"a.dll", "prog.exe"}));
    EXPECT_TRUE(app.Journal().empty());
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

// A prog.exe.bak that no run recorded, with no prog.exe beside it, is not the program: the user's
// own copy is no installed program, and it is neither renamed nor deleted.
TEST(FaultProgramFile, AnUnrecordedBackupIsNotTheProgram) {
  Installed app("unrecorded");
  ASSERT_TRUE(MoveFileA(app.Path("prog.exe").c_str(), app.Path("prog.exe.bak").c_str()));
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(5));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  const UserOutcome o = RunUpdater(app.WritePackage(spec), {}, exit_codes::kNotFound);
  EXPECT_TRUE(o.waited);
  EXPECT_EQ(o.status, texts::kNotFoundText);
  EXPECT_EQ(ListFolder(app.folder()), std::vector<std::string>{"prog.exe.bak"});
  EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("prog.exe.bak"))), "the installed program");
}

// A journal of 65,536 bytes (the most an earlier version read) is read whole: the program file
// that a killed run set aside is found by its recorded backup and put back, and every record
// whose backup is gone is forgotten.
TEST(FaultProgramFile, AJournalAtItsLimitIsStillRead) {
  Installed app("journalfull");
  ASSERT_TRUE(MoveFileA(app.Path("prog.exe").c_str(), app.Path("prog.exe.bak").c_str()));
  std::vector<std::string> names = {"prog.exe"};
  size_t size = 1 + names[0].size() + 1;  // the closing NUL, "prog.exe" and its NUL
  while (size < 65536) {
    const size_t left = 65536 - size;  // the next name and its NUL
    names.push_back(std::string(left > 400 ? 299 : left - 1, 'p') + std::to_string(names.size()));
    names.back().resize(std::min<size_t>(names.back().size(), left - 1));
    size += names.back().size() + 1;
  }
  ASSERT_EQ(size, 65536u);
  ASSERT_TRUE(app.SetJournal(names));
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(5));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  ExpectCompleted(RunUpdater(app.WritePackage(spec), {}));
  EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("prog.exe"))), "the installed program");
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"a.dll", "prog.exe"}));
  EXPECT_TRUE(app.Journal().empty());
}

// A program folder that a user emptied and made a link (here a Unix link, which stands in for the
// junction) leads elsewhere: the program is not found there, and nothing is touched.
TEST(FaultProgramFile, AProgramFolderThatIsALinkIsNotFound) {
  Installed app("folderlink");
  TempFolder other("folderlink-other");
  WriteFileText(other / "prog.exe", "the user's program");
  WriteFileText(other / "a.dll", "the user's a.dll");
  const auto otherBefore = TreeSnapshot(other.path());
  RemoveTree(app.folder());
  ASSERT_TRUE(MakeUnixLink(app.folder(), other.path()));
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(5));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  const UserOutcome o = RunUpdater(app.WritePackage(spec), {}, exit_codes::kNotFound);
  EXPECT_EQ(o.status, texts::kNotFoundText);
  EXPECT_EQ(TreeSnapshot(other.path()), otherBefore);
  EXPECT_EQ(app.Level(), kNoLevel);
  RemoveTree(app.folder());
}

// ---------------------------------------------------------------------------------------------
// The updater killed at any moment of a run, then run again.

// One file of the kill test's program: before the update (none: the update adds it) and after.
struct KillFile {
  std::string name;
  bool existed;
  std::vector<uint8_t> before;
  std::vector<uint8_t> after;
};

// Deterministic contents that deflate to about a third: bytes of an 8-letter alphabet.
std::vector<uint8_t> Letters(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 7;
  for (uint8_t& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>('a' + ((x >> 16) & 7));
  }
  return out;
}

// Thirty files of 200 to 400 KB, a quarter of them in a folder; prog.exe, the program file,
// in the middle of the directory and larger (1.5 MB); two files that the update adds, one of
// them in a folder of its own. Every other entry is deflated.
std::vector<KillFile> KillFiles() {
  std::vector<KillFile> files;
  for (int i = 0; i < 30; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, i % 4 == 3 ? "data\\f%02d.dll" : "f%02d.dll", i);
    KillFile f{name, true, {}, {}};
    size_t size = (200 + (i * 53 % 9) * 25) * 1024;
    if (i == 15) f.name = "prog.exe", size = 1536 * 1024;
    if (i == 7) f.name = "added.dat", f.existed = false;
    if (i == 22) f.name = "newdir\\added.dll", f.existed = false;
    if (f.existed) f.before = Letters(size - 999 + i, 2 * i);
    f.after = Letters(size, 2 * i + 1);
    files.push_back(f);
  }
  return files;
}

// Every file below folder, as paths relative to it, sorted.
void ListTree(const std::string& folder, const std::string& prefix, std::set<std::string>& out) {
  for (const std::string& name : ListFolder(folder)) {
    if (IsFolder(folder + "\\" + name))
      ListTree(folder + "\\" + name, prefix + name + "\\", out);
    else
      out.insert(prefix + name);
  }
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

// When a kill comes. kFile: once the status line has shown file `file` (or a later text), after
// `fraction` of the time one file took in an undisturbed run; kBackup: as soon as file `file`'s
// backup is seen on disk (the file is then set aside); kUpdated: once the status line has said
// that file `file` (or a later one) is updated, in a run that installs all or nothing the moment
// of its commit.
enum class When { kQuestion, kFile, kBackup, kUpdated, kCompletionText, kWaiting };
struct KillMoment {
  When when;
  int file;
  double fraction;
};

class FaultKill : public ::testing::Test {
 protected:
  // The package of the test: every file whole, or with deltas a patch package, in which every
  // other file that existed is built from its old version and a delta (its new version then being
  // the old one with bytes changed and more appended, as a new release's is).
  // With allOrNothing, the package carries the mark of one that installs all or nothing.
  void MakePackage(bool deltas, bool allOrNothing = false) {
    files_ = KillFiles();
    allOrNothing_ = allOrNothing;
    PackageSpec spec;
    spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Update", "Install?")));
    spec.entries.push_back(
        Entry(":RegistryKeys",
              RegistryKeysPayload(registryKey_, "ProgramPath", "ProgramName", "PatchLevel", 2)));
    if (allOrNothing) spec.entries.push_back(Entry(kTransactionSection, {1, 0, 0, 0}));
    for (size_t i = 0; i < files_.size(); ++i) {
      KillFile& f = files_[i];
      WriterEntry e = Entry(f.name, f.after, i % 2 == 0);
      e.level = 1;
      if (deltas && f.existed && i % 2 == 1) {
        f.after = f.before;
        for (size_t at = i; at < f.after.size(); at += 4099) f.after[at] ^= 0x20;
        f.after.insert(f.after.end(), f.before.begin(), f.before.begin() + 999);
        e = Entry(f.name, MakeDelta(f.before, f.after), false);
        e.extraFlags |= ENTRY_DELTA;
      }
      spec.entries.push_back(e);
    }
    package_ = work_ / "update.pkg";
    ASSERT_TRUE(WriteFileBytes(package_, WritePackage(spec)));
  }

  // A fresh installation of the program before the update, at level 1.
  void Install(Installed& app) {
    CreateDirectoryA(app.Path("data").c_str(), nullptr);
    for (const KillFile& f : files_) {
      if (f.existed) {
        ASSERT_TRUE(WriteFileBytes(app.Path(f.name), f.before)) << f.name;
      }
    }
    app.registry().SetDword("PatchLevel", 1);
  }

  // Index of the file whose status text this is, files_.size() for the completion text, -1 for
  // any other text.
  // With updatedOnly, only the texts that say a file is updated count.
  int Reached(const Installed& app, const std::string& status, bool updatedOnly = false) const {
    if (status == texts::kUpdateInstalledText) return static_cast<int>(files_.size());
    for (size_t i = 0; i < files_.size(); ++i) {
      if ((!updatedOnly && status == Format(texts::kUpdatingFileFormat, files_[i].name)) ||
          status == Format(texts::kFileUpdatedFormat, app.Path(files_[i].name)))
        return static_cast<int>(i);
    }
    return -1;
  }

  // Runs the updater, says OK to its question and kills it at moment; with no moment, lets it
  // finish and measures it. False when the moment never came.
  bool RunUntil(const Installed& app, const KillMoment* moment) {
    ScopedRun updater;
    const LARGE_INTEGER start = Now();
    if (!StartProcess(RlPatchPath(), Quote("RL_PATCH.EXE") + " " + Quote(package_), updater.run) ||
        !WaitForDialog(updater.run, kUpdateTimeoutMs))
      return false;
    HWND box = WaitForMessageBox(updater.run, kUpdateTimeoutMs);
    if (!box) return false;
    if (moment && moment->when == When::kQuestion)
      return TerminateProcess(updater.run.process.hProcess, 1);
    PressButton(box, IDOK);

    const std::string backup = moment ? app.Path(files_[moment->file].name) + ".bak" : "";
    const int completed = static_cast<int>(files_.size());
    int reached = -1, updated = -1;
    LARGE_INTEGER firstFile{}, fileReached{};
    bool fileSeen = false;
    for (;;) {
      if (!IsRunning(updater.run) || Seconds(start, Now()) * 1000 > kUpdateTimeoutMs) return false;
      const std::string status = ControlText(updater.run.dialog, 1000);
      const int now = Reached(app, status);
      if (now > reached) {
        if (reached < 0) firstFile = Now();
        reached = now;
      }
      updated = std::max(updated, Reached(app, status, true));
      if (!moment) {
        if (reached == completed) {
          perFileSeconds_ = Seconds(firstFile, Now()) / static_cast<double>(completed);
          if (!WaitForFinished(updater.run, kUpdateTimeoutMs)) return false;
          runSeconds_ = Seconds(start, Now());
          return true;
        }
        continue;
      }
      bool kill = false;
      switch (moment->when) {
        case When::kFile:
          if (!fileSeen && reached >= moment->file) fileSeen = true, fileReached = Now();
          kill = fileSeen && Seconds(fileReached, Now()) >= moment->fraction * perFileSeconds_;
          break;
        case When::kBackup:
          kill = PathExists(backup) || reached > moment->file;
          break;
        case When::kUpdated:
          kill = updated >= moment->file;
          break;
        case When::kCompletionText:
          kill = reached == completed;
          break;
        case When::kWaiting:
          kill =
              ControlVisible(updater.run.dialog, 1) && ControlText(updater.run.dialog, 1) == "OK";
          break;
        case When::kQuestion:
          break;
      }
      if (kill) return TerminateProcess(updater.run.process.hProcess, 1) != 0;
    }
  }

  // What a kill may leave: every file its old contents, or its new contents, or (with its old
  // contents in its backup) absent or new; a file the update adds, absent or new; beside them only
  // new files under the names the journal records. A package that installs all or nothing leaves
  // old and new files side by side only while the commit has backups. The new level only once
  // every file is new. Counts the files found new and set aside.
  void ExpectOldOrNewEverywhere(const Installed& app, int& newFiles, int& setAside) {
    const std::vector<std::string> names = app.Journal();
    const std::set<std::string> journal(names.begin(), names.end());
    std::set<std::string> expected;
    bool allNew = true;
    int oldFiles = 0, changedFiles = 0;
    for (const KillFile& f : files_) {
      SCOPED_TRACE(f.name);
      const std::string path = app.Path(f.name);
      const bool exists = PathExists(path), backedUp = PathExists(path + ".bak");
      const std::vector<uint8_t> now = ReadFileOrEmpty(path);
      if (exists) expected.insert(f.name);
      if (backedUp) expected.insert(f.name + ".bak");
      // Once the commit stands, every file is new while backups may still wait for deletion.
      allNew = allNew && exists && now == f.after && (allOrNothing_ || !backedUp);
      newFiles += exists && !backedUp && now == f.after;
      changedFiles += exists && now == f.after;
      if (backedUp) {
        ++setAside;
        EXPECT_TRUE(f.existed);
        EXPECT_TRUE(journal.count(f.name)) << "a backup the journal does not record";
        EXPECT_EQ(ReadFileOrEmpty(path + ".bak"), f.before);
        if (exists) {
          EXPECT_TRUE(now == f.after) << "not the new file beside the backup";
        }
      } else if (!exists) {
        EXPECT_FALSE(f.existed) << "lost";
      } else if (f.existed) {
        EXPECT_TRUE(now == f.before || now == f.after) << "neither old nor new";
        oldFiles += now == f.before;
      } else {
        EXPECT_TRUE(now == f.after) << "a partial new file under its name";
      }
    }
    // New files being built: under the names the journal records (the target's, a dot, 16 hex
    // digits), and never a name the journal does not know.
    std::set<std::string> found;
    ListTree(app.folder(), "", found);
    for (const std::string& name : found) {
      if (!expected.count(name) && journal.count(name) && name.size() > 17 &&
          name[name.size() - 17] == '.')
        expected.insert(name);
    }
    EXPECT_EQ(found, expected) << "journal: " << ::testing::PrintToString(names);
    if (allOrNothing_) {
      EXPECT_TRUE(oldFiles == 0 || changedFiles == 0 || setAside > 0)
          << oldFiles << " old and " << changedFiles << " new files side by side, no commit";
    }
    const int64_t level = app.Level();
    EXPECT_TRUE(level == 1 || (level == 2 && allNew)) << "level " << level;
  }

  void ExpectAllNew(const Installed& app) {
    std::set<std::string> expected;
    for (const KillFile& f : files_) {
      expected.insert(f.name);
      EXPECT_EQ(ReadFileOrEmpty(app.Path(f.name)), f.after) << f.name;
    }
    std::set<std::string> found;
    ListTree(app.folder(), "", found);
    EXPECT_EQ(found, expected);
    EXPECT_EQ(app.Level(), 2);
    EXPECT_TRUE(app.Journal().empty()) << "a complete run leaves a journal behind";
  }

  // An undisturbed run, then a run killed at each moment and run again.
  void KillAndRerun(const std::vector<KillMoment>& moments) {
    const LARGE_INTEGER testStart = Now();
    {
      Installed app("kill");
      ASSERT_EQ(app.registry().keyPath(), registryKey_);
      Install(app);
      ASSERT_TRUE(RunUntil(app, nullptr)) << "an undisturbed run did not finish";
      ExpectAllNew(app);
    }
    int setAside = 0, programSetAside = 0;
    for (size_t kill = 0; kill < moments.size(); ++kill) {
      const KillMoment& m = moments[kill];
      SCOPED_TRACE("kill " + std::to_string(kill) + " at file " + std::to_string(m.file));
      Installed app("kill");
      Install(app);
      ASSERT_TRUE(RunUntil(app, &m)) << "the moment never came";
      int newFiles = 0, aside = 0;
      ExpectOldOrNewEverywhere(app, newFiles, aside);
      setAside += aside;
      programSetAside += PathExists(app.Path("prog.exe.bak"));
      const int64_t level = app.Level();
      std::printf("[ kill %2d  ] %2d of %d files new, %d set aside, level %d\n",
                  static_cast<int>(kill), newFiles, static_cast<int>(files_.size()), aside,
                  static_cast<int>(level));
      const UserOutcome o = RunUpdater(package_, {IDOK, IDOK});
      ExpectCompleted(o);
      EXPECT_EQ(o.boxes.size(), level == 2 ? 2u : 1u) << "the warning comes only at the new level";
      ExpectAllNew(app);
    }
    const double total = Seconds(testStart, Now());
    std::printf(
        "[ kills    ] %d kills; one undisturbed run %.2f s (%.1f ms a file); %d files "
        "found set aside, %d times the program file; the whole test %.1f s\n",
        static_cast<int>(moments.size()), runSeconds_, perFileSeconds_ * 1000, setAside,
        programSetAside, total);
    RecordProperty("kills", static_cast<int>(moments.size()));
  }

  static constexpr int kProgram = 15;  // files_[kProgram] is prog.exe

  TempFolder work_{"kill"};
  const std::string registryKey_ = "Software\\PineconeTests\\Updatekill";
  std::string package_;
  std::vector<KillFile> files_;
  bool allOrNothing_ = false;
  double perFileSeconds_ = 0;
  double runSeconds_ = 0;
};

TEST_F(FaultKill, EveryKillLeavesOldOrNewFilesAndTheRerunFinishes) {
  MakePackage(false);
  ASSERT_EQ(files_[kProgram].name, "prog.exe");
  // Spread over the whole run: the question, the first files, the files around the program
  // file and the program file itself set aside, the last files, the completion and the wait.
  KillAndRerun({
      {When::kQuestion, 0, 0},
      {When::kFile, 0, 0},
      {When::kFile, 2, 0.5},
      {When::kFile, 5, 0.9},
      {When::kFile, 7, 0.3},
      {When::kFile, 10, 0.6},
      {When::kFile, 13, 0.2},
      {When::kBackup, kProgram, 0},
      {When::kFile, kProgram, 0.5},
      {When::kFile, kProgram, 2.0},
      {When::kFile, 18, 0.4},
      {When::kFile, 22, 0.7},
      {When::kFile, 25, 0.1},
      {When::kFile, 29, 0.5},
      {When::kCompletionText, 0, 0},
      {When::kWaiting, 0, 0},
  });
}

// The same with a package that installs all or nothing: killed while it checks or stages, the
// program is the old release (with new files beside it, which the rerun deletes); killed in the
// commit, old and new files stand side by side with the backups, and the rerun puts every backup
// back before it installs the release again.
TEST_F(FaultKill, EveryKillOfAnAllOrNothingRunLeavesOneReleaseOrACommitTheRerunFinishes) {
  MakePackage(true, true);
  KillAndRerun({
      {When::kQuestion, 0, 0},
      {When::kFile, 0, 0},
      {When::kFile, 5, 0.5},
      {When::kFile, kProgram, 0.5},
      {When::kFile, 29, 0.9},
      {When::kUpdated, 0, 0},
      {When::kUpdated, 3, 0},
      {When::kUpdated, kProgram, 0},
      {When::kUpdated, 29, 0},
      {When::kCompletionText, 0, 0},
      {When::kWaiting, 0, 0},
  });
}

// The same with a patch package: a file killed while being built from its backup keeps that
// backup, its base, so the rerun builds it again.
TEST_F(FaultKill, EveryKillOfAPatchRunLeavesOldOrNewFilesAndTheRerunFinishes) {
  MakePackage(true);
  KillAndRerun({
      {When::kFile, 2, 0.5},
      {When::kFile, 5, 0.9},
      {When::kBackup, kProgram, 0},
      {When::kFile, kProgram, 0.5},
      {When::kFile, 18, 0.4},
      {When::kFile, 25, 0.1},
      {When::kCompletionText, 0, 0},
  });
}

}  // namespace
