// The update procedure end to end, through the real window under Wine: target discovery, the
// questions, the preparation steps, file replacement with backup and rollback, and the registry
// write. Each test installs a program of its own (a folder below the temporary folder and a
// registry key below HKLM\Software\PineconeTests) and runs RL_PATCH.EXE on a package made by the
// package writer.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "driver_win32.h"
#include "fixtures_win32.h"
#include "installed_win32.h"
#include "package/package.h"
#include "package_writer.h"
#include "shell/exit_codes.h"
#include "shell/texts.h"
#include "shell/update_lock.h"
#include "shell/update_lock_win32.h"
#include "shell/worker.h"
#include "stand_in_win32.h"
#include "update/update.h"

namespace {

constexpr DWORD kTimeoutMs = kUpdateTimeoutMs;

using Outcome = UserOutcome;

const std::string kWarningCaption = texts::kPatchLevelWarningCaption;
const std::string kWarningText = texts::kPatchLevelWarningText;

// ---------------------------------------------------------------------------------------------
// Discovery: every way of not finding the program ends the same way, with nothing touched.

TEST(UpdateNotFound, EveryCauseShowsTheMessageAndTouchesNothing) {
  enum Setup {
    kNoKeysSection,
    kNoKey,
    kNoFolderValue,
    kNoNameValue,
    kNoProgramFile,
    kFolder512NoNul,
    kFolderTooLong,
    kFolderPlusNameTooLong
  };
  const struct {
    const char* label;
    Setup setup;
  } cases[] = {
      {"no :RegistryKeys", kNoKeysSection},
      {"key missing", kNoKey},
      {"folder value missing", kNoFolderValue},
      {"file-name value missing", kNoNameValue},
      {"program file missing", kNoProgramFile},
      {"folder value of 512 bytes without a NUL", kFolder512NoNul},
      {"folder value longer than 512 bytes", kFolderTooLong},
      {"folder plus file name beyond the path buffer", kFolderPlusNameTooLong},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("nf");
    PackageSpec spec;
    std::string folderValue = "ProgramPath", nameValue = "ProgramName";
    std::string key = app.registry().keyPath();
    HKEY handle;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, &handle), 0);
    switch (c.setup) {
      case kNoKey:
        key += "\\Missing";
        break;
      case kNoFolderValue:
        folderValue = "NoSuchFolderValue";
        break;
      case kNoNameValue:
        nameValue = "NoSuchNameValue";
        break;
      case kNoProgramFile:
        app.registry().SetString("ProgramName", "missing.exe");
        break;
      case kFolder512NoNul: {
        const std::string data(512, 'd');
        RegSetValueExA(handle, "ProgramPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                       512);
        break;
      }
      case kFolderTooLong:
        app.registry().SetString("ProgramPath", std::string(600, 'd'));
        break;
      case kFolderPlusNameTooLong:
        app.registry().SetString("ProgramPath", std::string(500, 'd'));
        app.registry().SetString("ProgramName", std::string(100, 'n'));
        break;
      default:
        break;
    }
    RegCloseKey(handle);
    if (c.setup != kNoKeysSection) {
      spec.entries.push_back(Entry(
          ":RegistryKeys", RegistryKeysPayload(key, folderValue, nameValue, "PatchLevel", 3)));
    }
    spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
    const Outcome o = RunUpdater(app.WritePackage(spec), {}, exit_codes::kNotFound);
    EXPECT_TRUE(o.boxes.empty());
    EXPECT_TRUE(o.waited);
    EXPECT_EQ(o.status, texts::kNotFoundText);
    EXPECT_FALSE(PathExists(app.Path("a.dll")));
    EXPECT_EQ(app.Level(), kNoLevel);
  }
}

// Every status text that DiscoverTarget shows, in order: it runs on a thread of its own, as in
// the worker, while this thread serves a window of the test's own that stands in for the
// progress window and records each text its status control receives.
class UpdateDiscovery : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(standIn_.window(), nullptr); }
  struct Call {
    const PackageView* view;
    TargetInfo target;
    int found;
  };
  static DWORD WINAPI Discover(LPVOID param) {
    Call* call = static_cast<Call*>(param);
    call->found = DiscoverTarget(*call->view, call->target);
    return 0;
  }
  // Opens package from memory and runs discovery on a worker thread; the texts it showed are
  // in standIn_.shown() afterwards. The caller releases call.target.
  void Run(const std::vector<uint8_t>& package, Call& call) {
    PackageView view;
    InitPackageView(view);
    SetMemorySource(view, package.data(), static_cast<uint32_t>(package.size()));
    ASSERT_EQ(LoadPackage(view, 0), 1);
    call.view = &view;
    const bool done = standIn_.RunOnWorker(Discover, &call, kTimeoutMs);
    UnloadPackage(view);
    ASSERT_TRUE(done);
  }
  StandInWindow standIn_{&DialogWindow};
};

TEST_F(UpdateDiscovery, MessagesInTheOrderShownAndWhatIsFound) {
  Installed app("disc");
  const std::string key = app.registry().keyPath();
  app.registry().SetString("LevelAsText", "7");
  app.registry().SetDword("Level", static_cast<uint32_t>(-5));
  const std::string notFound = texts::kNotFoundText;
  const struct {
    const char* label;
    std::string key, folderValue, nameValue, levelValue;
    std::vector<std::string> shown;
    int found;
    int32_t installedLevel;
  } cases[] = {
      {"found: no message; a signed level", key, "ProgramPath", "ProgramName", "Level", {}, 1, -5},
      {"a level stored as text reads as 0, silently",
       key,
       "ProgramPath",
       "ProgramName",
       "LevelAsText",
       {},
       1,
       0},
      {"a missing level reads as 0, silently",
       key,
       "ProgramPath",
       "ProgramName",
       "NoLevel",
       {},
       1,
       0},
      {"key missing: its message for the folder and the name reads, then not found",
       key + "\\Missing",
       "ProgramPath",
       "ProgramName",
       "Level",
       {Format(texts::kKeyOpenErrorFormat, key + "\\Missing"),
        Format(texts::kKeyOpenErrorFormat, key + "\\Missing"), notFound},
       0,
       0},
      {"folder value missing",
       key,
       "NoFolder",
       "ProgramName",
       "Level",
       {Format(texts::kValueReadErrorFormat, "NoFolder"), notFound},
       0,
       -5},
      {"file-name value missing",
       key,
       "ProgramPath",
       "NoName",
       "Level",
       {Format(texts::kValueReadErrorFormat, "NoName"), notFound},
       0,
       -5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    PackageSpec spec;
    spec.entries.push_back(Entry(
        ":RegistryKeys", RegistryKeysPayload(c.key, c.folderValue, c.nameValue, c.levelValue, 9)));
    Call call{};
    Run(::WritePackage(spec), call);
    EXPECT_EQ(call.found, c.found);
    EXPECT_EQ(standIn_.shown(), c.shown);
    EXPECT_EQ(call.target.installedPatchLevel, c.installedLevel);
    EXPECT_EQ(call.target.packagePatchLevel, 9);
    if (c.found) {
      // The folder gains its backslash; the strings are the registry's and the package's.
      EXPECT_STREQ(call.target.programFolder, (app.folder() + "\\").c_str());
      EXPECT_STREQ(call.target.programName, "prog.exe");
      EXPECT_STREQ(call.target.keyPath, c.key.c_str());
      EXPECT_STREQ(call.target.patchValueName, c.levelValue.c_str());
    }
    ReleaseTarget(call.target);
    standIn_.ClearShown();
  }
}

// Where the registry's values would send the elevated updater elsewhere: a folder that is not
// absolute resolves against the current folder or drive of the process (for an updater started
// from Explorer, the user's download folder), an unexpanded REG_EXPAND_SZ names no folder, data
// of another type is no path, and a folder is no program file. Each case is set up so that the
// value would have found a program file before the check.
TEST_F(UpdateDiscovery, ProgramLocationIsAnAbsoluteFolderAndAFile) {
  Installed app("loc");
  const std::string folder = app.folder();
  const std::string root = folder.substr(0, folder.rfind('\\'));  // holds prog
  const std::string drive = root.substr(0, 2);                    // "C:"
  ASSERT_EQ(drive[1], ':');
  ASSERT_TRUE(CreateDirectoryA(app.Path("sub").c_str(), nullptr));
  // A program file in the root of the current drive, where an empty folder value led.
  const std::string rootName = "pinecone-loc-" + std::to_string(GetCurrentProcessId()) + ".exe";
  ASSERT_TRUE(WriteFileText(drive + "\\" + rootName, "at the drive's root"));
  SetEnvironmentVariableA("PINECONE_LOC_ROOT", root.c_str());
  SetEnvironmentVariableA("PINECONE_LOC_RELATIVE", "prog");
  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));

  const std::string dword = drive + "\\";  // four bytes: "C:\" and its NUL
  const struct {
    const char* label;
    DWORD type;
    std::string data;  // stored with a NUL for string types
    std::string name;  // ProgramName
    int found;
  } cases[] = {
      {"absolute", REG_SZ, folder, "prog.exe", 1},
      {"empty", REG_SZ, "", rootName, 0},
      {"relative", REG_SZ, "prog", "prog.exe", 0},
      {"drive-relative", REG_SZ, drive + "prog", "prog.exe", 0},
      {"rooted on the current drive", REG_SZ, folder.substr(2), "prog.exe", 0},
      {"REG_EXPAND_SZ, expanded", REG_EXPAND_SZ, "%PINECONE_LOC_ROOT%\\prog", "prog.exe", 1},
      {"REG_EXPAND_SZ, relative once expanded", REG_EXPAND_SZ, "%PINECONE_LOC_RELATIVE%",
       "prog.exe", 0},
      {"REG_BINARY", REG_BINARY, folder, "prog.exe", 0},
      {"REG_DWORD whose bytes read as a path", REG_DWORD, dword, rootName, 0},
      {"program name empty", REG_SZ, folder, "", 0},
      {"program name a folder", REG_SZ, folder, "sub", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    HKEY key;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, app.registry().keyPath().c_str(), 0, KEY_SET_VALUE, &key),
        0);
    const DWORD size = static_cast<DWORD>(c.type == REG_DWORD ? 4 : c.data.size() + 1);
    RegSetValueExA(key, "ProgramPath", 0, c.type, reinterpret_cast<const BYTE*>(c.data.c_str()),
                   size);
    RegCloseKey(key);
    app.registry().SetString("ProgramName", c.name);
    PackageSpec spec;
    spec.entries.push_back(app.KeysEntry(1));
    Call call{};
    Run(::WritePackage(spec), call);
    EXPECT_EQ(call.found, c.found);
    if (c.found) {
      EXPECT_STREQ(call.target.programFolder, (folder + "\\").c_str());
    } else {
      ASSERT_FALSE(standIn_.shown().empty());
      EXPECT_EQ(standIn_.shown().back(), texts::kNotFoundText);
    }
    ReleaseTarget(call.target);
    standIn_.ClearShown();
  }
  SetCurrentDirectoryA(saved);
  DeleteFileA((drive + "\\" + rootName).c_str());
}

// ---------------------------------------------------------------------------------------------
// The two questions.

TEST(UpdateQuestions, AnswersDecideWhetherAnythingHappens) {
  const int kOk = IDOK, kCancel = IDCANCEL;
  const struct {
    const char* label;
    bool startupMsg;
    int64_t installed;  // kNoLevel: no value in the registry
    int32_t package;
    std::vector<int> answers;
    std::vector<std::string> expectedCaptions;
    int exitCode;  // kSuccess: the update is installed
  } cases[] = {
      {"no question at all", false, 0, 1, {}, {}, exit_codes::kSuccess},
      {"startup question, Cancel",
       true,
       0,
       1,
       {kCancel},
       {"Vendor caption"},
       exit_codes::kDeclined},
      {"startup question, OK", true, 0, 1, {kOk}, {"Vendor caption"}, exit_codes::kSuccess},
      {"equal level, Cancel",
       false,
       7,
       7,
       {kCancel},
       {kWarningCaption},
       exit_codes::kLevelNotOlder},
      {"equal level, OK", false, 7, 7, {kOk}, {kWarningCaption}, exit_codes::kSuccess},
      {"later level installed, Cancel",
       false,
       8,
       7,
       {kCancel},
       {kWarningCaption},
       exit_codes::kLevelNotOlder},
      {"-1 is below 0", false, -1, 0, {}, {}, exit_codes::kSuccess},
      {"no level installed, package 0",
       false,
       kNoLevel,
       0,
       {kCancel},
       {kWarningCaption},
       exit_codes::kLevelNotOlder},
      {"no level installed, package -1",
       false,
       kNoLevel,
       -1,
       {kOk},
       {kWarningCaption},
       exit_codes::kSuccess},
      {"lowest level is below every other",
       false,
       INT32_MIN,
       INT32_MIN + 1,
       {},
       {},
       exit_codes::kSuccess},
      {"both questions, OK then Cancel",
       true,
       2,
       2,
       {kOk, kCancel},
       {"Vendor caption", kWarningCaption},
       exit_codes::kLevelNotOlder},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("q");
    if (c.installed != kNoLevel)
      app.registry().SetDword("PatchLevel", static_cast<uint32_t>(c.installed));
    WriteFileText(app.Path("a.dll"), "old a");
    PackageSpec spec;
    // The vendor's text in Windows-1251: "Установить обновление?"
    const std::string question = "\xD3\xF1\xF2\xE0\xED\xEE\xE2\xE8\xF2\xFC?\r\nline 2";
    if (c.startupMsg)
      spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Vendor caption", question)));
    spec.entries.push_back(app.KeysEntry(c.package));
    spec.entries.push_back(Entry(":Folders", NameListPayload({"made"})));
    spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
    const Outcome o = RunUpdater(app.WritePackage(spec), c.answers, c.exitCode);

    ASSERT_EQ(o.boxes.size(), c.expectedCaptions.size());
    for (size_t i = 0; i < o.boxes.size(); ++i) {
      EXPECT_EQ(o.boxes[i].caption, c.expectedCaptions[i]);
      EXPECT_EQ(o.boxes[i].text,
                c.expectedCaptions[i] == kWarningCaption ? kWarningText : question);
    }
    if (c.exitCode == exit_codes::kSuccess) {
      ExpectCompleted(o);
      EXPECT_EQ(app.Level(), c.package);
      EXPECT_EQ(ReadFileOrEmpty(app.Path("a.dll")), ContentsFor("a.dll"));
      EXPECT_TRUE(IsFolder(app.Path("made")));
    } else {
      EXPECT_TRUE(o.exitedBeforeClick) << "a declined question closes the window at once";
      EXPECT_EQ(app.Level(), c.installed);
      EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("a.dll"))), "old a");
      EXPECT_FALSE(PathExists(app.Path("made")));
    }
  }
}

// While the startup question is up the run is still working (RunState 0): a click on button 1
// arriving at the window must not end the process.
TEST(UpdateQuestions, ButtonCommandDuringTheQuestionChangesNothing) {
  Installed app("cmd");
  PackageSpec spec;
  spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Ask", "Go?")));
  spec.entries.push_back(app.KeysEntry(1));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  const std::string package = app.WritePackage(spec);
  UpdaterRun run{};
  ASSERT_TRUE(StartProcess(RlPatchPath(), Quote("RL_PATCH.EXE") + " " + Quote(package), run));
  ASSERT_TRUE(WaitForDialog(run, kTimeoutMs));
  HWND box = WaitForMessageBox(run, kTimeoutMs);
  ASSERT_TRUE(box);
  EXPECT_TRUE(SendToWindow(run.dialog, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), 0, 5000));
  Pause(300);
  EXPECT_TRUE(IsRunning(run));
  EXPECT_TRUE(IsWindow(box));
  PressButton(box, IDOK);
  EXPECT_TRUE(WaitForFinished(run, kTimeoutMs));
  EXPECT_EQ(ControlText(run.dialog, 1000), texts::kUpdateInstalledText);
  PressButton(run.dialog, 1);
  DWORD code;
  EXPECT_TRUE(WaitForExit(run, kTimeoutMs, code));
  KillIfRunning(run);
  EXPECT_EQ(ReadFileOrEmpty(app.Path("a.dll")), ContentsFor("a.dll"));
}

// ---------------------------------------------------------------------------------------------
// A full run: preparation steps, names on disk, and the registry write.

// Every kind of name and list, installed file by file and all or nothing alike; a second entry
// under one name is what the file ends as.
TEST(UpdateRun, EverythingInstalledThenASecondRunWarns) {
  for (const bool allOrNothing : {false, true}) {
    SCOPED_TRACE(allOrNothing ? "all or nothing" : "file by file");
    Installed app("full");
    app.registry().SetDword("PatchLevel", 4);
    WriteFileText(app.Path("a.dll"), "old a");
    WriteFileText(app.Path("old.dll"), "to be removed");
    WriteFileText(app.Path("old2.dll"), "to be removed too");
    CreateDirectoryA(app.Path("keepdir").c_str(), nullptr);
    // Cyrillic names: "\xC0\xC1" is upper case of "\xE0\xE1"; the table translates only the exact
    // lower-case spelling, so the upper-case entry keeps its name.
    const std::string cyrUpper = "\xC0\xC1\xC2.txt", cyrLower = "\xE0\xE1\xE2.txt";
    PackageSpec spec;
    spec.entries.push_back(app.KeysEntry(5));
    spec.entries.push_back(Entry(":Folders", NameListPayload({"a\\b", "a", "c", "c\\d"})));
    // a.dll is removed and installed: removals come first, so the new a.dll stays.
    spec.entries.push_back(
        Entry(":FilesToRemove",
              NameListPayload({"old.dll", "never-there.dll", "keepdir", "a.dll", "old2.dll"})));
    spec.entries.push_back(Entry(
        ":XlatNamesTable",
        XlatTablePayload({{"tr.dat", "docs\\deep\\translated.dat"}, {cyrLower, "wrong.txt"}})));
    spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
    spec.entries.push_back(Entry("stored.bin", ContentsFor("stored.bin"), false));
    spec.entries.push_back(Entry("data\\sub\\file.dll", ContentsFor("file.dll")));
    spec.entries.push_back(Entry("\\lead.dll", ContentsFor("lead.dll")));
    // '/' separates too, also into folders that do not exist yet.
    spec.entries.push_back(Entry("fwd/new/x.dll", ContentsFor("x.dll")));
    spec.entries.push_back(Entry("TR.DAT", ContentsFor("TR.DAT")));
    spec.entries.push_back(Entry(cyrUpper, ContentsFor(cyrUpper)));
    spec.entries.push_back(Entry(":Unknown", Bytes("ignored")));
    spec.entries.push_back(Entry("twice.dat", Bytes("first")));
    spec.entries.push_back(Entry("twice.dat", Bytes("second")));
    if (allOrNothing) spec.entries.push_back(Entry(kTransactionSection, {1, 0, 0, 0}));
    const std::string package = app.WritePackage(spec);

    const Outcome o = RunUpdater(package, {});
    EXPECT_TRUE(o.boxes.empty());
    ExpectCompleted(o);
    EXPECT_EQ(app.Level(), 5);

    const struct {
      std::string path;
      std::vector<uint8_t> contents;
    } files[] = {
        {"a.dll", ContentsFor("a.dll")},
        {"stored.bin", ContentsFor("stored.bin")},
        {"data\\sub\\file.dll", ContentsFor("file.dll")},
        {"lead.dll", ContentsFor("lead.dll")},
        {"fwd\\new\\x.dll", ContentsFor("x.dll")},
        {"docs\\deep\\translated.dat", ContentsFor("TR.DAT")},
        {cyrUpper, ContentsFor(cyrUpper)},
        {"twice.dat", Bytes("second")},
    };
    for (const auto& f : files) {
      std::vector<uint8_t> actual;
      EXPECT_TRUE(ReadFileBytes(app.Path(f.path), actual)) << f.path;
      EXPECT_EQ(actual, f.contents) << f.path;
    }
    // Nothing else: no backups, no untranslated names, the removed file gone, the folder that was
    // listed for removal still there; a\b came before a, so only a was made.
    EXPECT_EQ(
        ListFolder(app.folder()),
        (std::vector<std::string>{"a", "a.dll", "c", "data", "docs", "fwd", "keepdir", "lead.dll",
                                  "prog.exe", "stored.bin", "twice.dat", cyrUpper}));
    EXPECT_TRUE(ListFolder(app.Path("a")).empty());
    EXPECT_EQ(ListFolder(app.Path("c")), std::vector<std::string>{"d"});
    EXPECT_EQ(ListFolder(app.Path("data\\sub")), std::vector<std::string>{"file.dll"});

    // The same package again: the level is now the package's, so the warning comes.
    const Outcome again = RunUpdater(package, {IDCANCEL}, exit_codes::kLevelNotOlder);
    ASSERT_EQ(again.boxes.size(), 1u);
    EXPECT_EQ(again.boxes[0].caption, kWarningCaption);
    EXPECT_TRUE(again.exitedBeforeClick);
    EXPECT_TRUE(app.Journal().empty());
  }
}

TEST(UpdateRun, ControlSectionsOnlyStillCompletes) {
  Installed app("ctl");
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(9));
  spec.entries.push_back(Entry(":FilesToRemove", NameListPayload({"missing.dll"})));
  const std::string before = Text(ReadFileOrEmpty(app.Path("prog.exe")));
  const Outcome o = RunUpdater(app.WritePackage(spec), {});
  ExpectCompleted(o);
  EXPECT_EQ(app.Level(), 9);
  EXPECT_EQ(ListFolder(app.folder()), std::vector<std::string>{"prog.exe"});
  EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("prog.exe"))), before);
}

// Every status text of a run, in order, recorded as the discovery test records them: discovery
// and the run on a thread of their own, the stand-in window recording each text it receives.
class UpdateTexts : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(standIn_.window(), nullptr); }
  static DWORD WINAPI Update(LPVOID param) {
    const PackageView& view = *static_cast<const PackageView*>(param);
    TargetInfo target{};
    if (DiscoverTarget(view, target)) RunUpdate(view, target);
    ReleaseTarget(target);
    return 0;
  }
  void Run(const std::vector<uint8_t>& package) {
    PackageView view;
    InitPackageView(view);
    SetMemorySource(view, package.data(), static_cast<uint32_t>(package.size()));
    ASSERT_EQ(LoadPackage(view, 0), 1);
    const bool done = standIn_.RunOnWorker(Update, &view, kTimeoutMs);
    UnloadPackage(view);
    ASSERT_TRUE(done);
  }
  StandInWindow standIn_{&DialogWindow};
};

// Each file is announced under its name on disk (translated, or with its leading backslash)
// and then reported with its full path, in directory order; a failed file in the middle is
// reported and the files after it are still installed.
TEST_F(UpdateTexts, EachFileAnnouncedThenReportedInDirectoryOrder) {
  const std::vector<uint8_t> good = ContentsFor("bad.dll");
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "a failed file in the middle" : "every file installed");
    Installed app("texts");
    const std::string folder = app.folder() + "\\";  // the program folder as the run has it
    PackageSpec spec;
    spec.entries.push_back(app.KeysEntry(3));
    spec.entries.push_back(
        Entry(":XlatNamesTable", XlatTablePayload({{"tr.dat", "docs\\tr.dat"}})));
    spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
    spec.entries.push_back(Entry("TR.DAT", ContentsFor("TR.DAT")));
    spec.entries.push_back(Entry("\\lead.dll", ContentsFor("lead.dll")));
    WriterEntry bad = Entry("bad.dll", good);
    if (damaged) bad.packed = Damaged(DeflateBytes(good, 9), 20);
    spec.entries.push_back(bad);
    spec.entries.push_back(Entry("z.dll", ContentsFor("z.dll")));
    Run(WritePackage(spec));

    const char* updating = texts::kUpdatingFileFormat;
    const char* updated = texts::kFileUpdatedFormat;
    std::vector<std::string> expected = {
        Format(updating, "a.dll"),
        Format(updated, folder + "a.dll"),
        Format(updating, "docs\\tr.dat"),
        Format(updated, folder + "docs\\tr.dat"),
        Format(updating, "\\lead.dll"),
        Format(updated, folder + "\\lead.dll"),  // two backslashes in a row
        Format(updating, "bad.dll"),
        Format(damaged ? texts::kFileFailedFormat : updated, folder + "bad.dll"),
        Format(updating, "z.dll"),
        Format(updated, folder + "z.dll"),
    };
    if (!damaged) expected.push_back(texts::kUpdateInstalledText);
    EXPECT_EQ(standIn_.shown(), expected);
    EXPECT_EQ(ReadFileOrEmpty(app.Path("z.dll")), ContentsFor("z.dll"));
    EXPECT_EQ(app.Level(), damaged ? kNoLevel : 3);
    standIn_.ClearShown();
  }
}

// ---------------------------------------------------------------------------------------------
// File replacement: failures roll back, the run goes on, the level stays.

TEST(UpdateReplace, FailedEntryRollsBackAndKeepsTheLevel) {
  const std::vector<uint8_t> good = ContentsFor("bad.dll", 200);
  const std::vector<uint8_t> stream = DeflateBytes(good, 9);
  std::vector<uint8_t> shorter(good.begin(), good.end() - 1);
  std::vector<uint8_t> longer = good;
  longer.push_back('!');
  const struct {
    const char* label;
    std::vector<uint8_t> packed;  // the stream written for bad.dll (size stays good.size())
    bool previousFile;            // bad.dll exists before the run
    bool last;                    // bad.dll is the last entry; otherwise later.dll follows it
  } cases[] = {
      {"damaged stream, the last entry", Damaged(stream, stream.size() / 2), true, true},
      {"damaged stream", Damaged(stream, stream.size() / 2), true, false},
      {"wrong Adler-32", Damaged(stream, stream.size() - 1), true, false},
      {"stream shorter than size", DeflateBytes(shorter, 9), true, false},
      {"stream longer than size", DeflateBytes(longer, 9), true, false},
      {"damaged stream, new file", Damaged(stream, stream.size() / 2), false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("bad");
    app.registry().SetDword("PatchLevel", 1);
    if (c.previousFile) WriteFileText(app.Path("bad.dll"), "previous bad.dll");
    PackageSpec spec;
    spec.entries.push_back(app.KeysEntry(2));
    spec.entries.push_back(Entry("good.dll", ContentsFor("good.dll")));
    WriterEntry bad = Entry("bad.dll", good);
    bad.packed = c.packed;
    spec.entries.push_back(bad);
    if (!c.last) spec.entries.push_back(Entry("later.dll", ContentsFor("later.dll")));
    const Outcome o = RunUpdater(app.WritePackage(spec), {}, exit_codes::kFilesFailed);
    EXPECT_TRUE(o.waited);
    // The status line keeps the last file's own text: a failure does not stop the run.
    EXPECT_EQ(o.status, c.last ? Format(texts::kFileFailedFormat, app.Path("bad.dll"))
                               : Format(texts::kFileUpdatedFormat, app.Path("later.dll")));
    EXPECT_EQ(app.Level(), 1) << "the level stays after a failed file";
    EXPECT_EQ(ReadFileOrEmpty(app.Path("good.dll")), ContentsFor("good.dll"));
    std::vector<std::string> expected = {"good.dll", "prog.exe"};
    if (!c.last) {
      EXPECT_EQ(ReadFileOrEmpty(app.Path("later.dll")), ContentsFor("later.dll"));
      expected.push_back("later.dll");
    }
    if (c.previousFile) {
      EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("bad.dll"))), "previous bad.dll");
      expected.push_back("bad.dll");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListFolder(app.folder()), expected);
  }
}

// A backup left beside the target by an interrupted earlier run holds the previous file; the
// target holds a partial new one. The run knows it for its own by the backup journal under the
// program's key: a commit deletes the backup, a rollback puts it back, and the journal goes.
// A .bak that no run recorded is the user's (an editor's, the program's own): never deleted, never
// put back, never the reason to delete the file beside it; that file fails untouched.
TEST(UpdateReplace, OnlyABackupTheJournalRecordsIsOurs) {
  const std::vector<uint8_t> good = ContentsFor("x.dll");
  const struct {
    const char* label;
    bool journaled;
    bool target;  // x.dll exists beside x.dll.bak
    bool damaged;
  } cases[] = {
      {"ours, commit", true, true, false},
      {"ours, rollback", true, true, true},
      {"ours, the target already gone, commit", true, false, false},
      {"ours, the target already gone, rollback", true, false, true},
      {"the user's, good entry", false, true, false},
      {"the user's, damaged entry", false, true, true},
      {"the user's, beside no file", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("bak");
    if (c.target) WriteFileText(app.Path("x.dll"), c.journaled ? "partial new" : "current");
    WriteFileText(app.Path("x.dll.bak"), "previous");
    if (c.journaled) {
      ASSERT_TRUE(app.SetJournal({"X.DLL"}));
    }
    PackageSpec spec;
    spec.entries.push_back(app.KeysEntry(1));
    WriterEntry x = Entry("x.dll", good);
    if (c.damaged) x.packed = Damaged(DeflateBytes(good, 9), 10);
    spec.entries.push_back(x);
    spec.entries.push_back(Entry("y.dll", ContentsFor("y.dll")));
    const bool fails = c.damaged || !c.journaled;
    const Outcome o = RunUpdater(app.WritePackage(spec), {},
                                 fails ? exit_codes::kFilesFailed : exit_codes::kSuccess);
    EXPECT_TRUE(o.waited);
    EXPECT_EQ(ReadFileOrEmpty(app.Path("y.dll")), ContentsFor("y.dll"));
    EXPECT_TRUE(app.Journal().empty());
    if (!c.journaled) {
      std::vector<std::string> expected = {"prog.exe", "x.dll.bak", "y.dll"};
      if (c.target) expected.insert(expected.begin() + 1, "x.dll");
      EXPECT_EQ(ListFolder(app.folder()), expected);
      EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("x.dll.bak"))), "previous");
      if (c.target) {
        EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("x.dll"))), "current");
      }
      EXPECT_EQ(app.Level(), kNoLevel);
      continue;
    }
    // The backup comes back before the package is read, under the journal's spelling of the name
    // (Windows names are one file whatever the case of their letters).
    std::vector<std::string> names = ListFolder(app.folder());
    for (std::string& name : names)
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"prog.exe", "x.dll", "y.dll"}));
    if (c.damaged) {
      EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("x.dll"))), "previous");
      EXPECT_EQ(app.Level(), kNoLevel);
    } else {
      EXPECT_EQ(o.status, texts::kUpdateInstalledText);
      EXPECT_EQ(ReadFileOrEmpty(app.Path("x.dll")), good);
    }
  }
}

// The user's .bak is named on the status line; the files after it are still installed.
TEST_F(UpdateTexts, TheUsersBackupIsNamed) {
  Installed app("bakname");
  WriteFileText(app.Path("x.dll"), "current");
  WriteFileText(app.Path("x.dll.bak"), "the user's");
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(1));
  spec.entries.push_back(Entry("x.dll", ContentsFor("x.dll")));
  spec.entries.push_back(Entry("y.dll", ContentsFor("y.dll")));
  Run(WritePackage(spec));
  const std::string folder = app.folder() + "\\";
  EXPECT_EQ(standIn_.shown(),
            (std::vector<std::string>{Format(texts::kUpdatingFileFormat, "x.dll"),
                                      Format(texts::kForeignBackupFormat, folder + "x.dll.bak"),
                                      Format(texts::kUpdatingFileFormat, "y.dll"),
                                      Format(texts::kFileUpdatedFormat, folder + "y.dll")}));
}

TEST(UpdateReplace, EmptyEntryInstallsAnEmptyFile) {
  const struct {
    const char* label;
    bool deflate;
    bool damaged;
  } cases[] = {
      {"stored", false, false},
      {"deflated", true, false},
      {"deflated, damaged stream", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("empty");
    WriteFileText(app.Path("empty.dat"), "previous contents");
    PackageSpec spec;
    spec.entries.push_back(app.KeysEntry(1));
    WriterEntry e = Entry("empty.dat", {}, c.deflate);
    if (c.damaged) e.packed = Damaged(DeflateBytes({}, 9), 3);
    spec.entries.push_back(e);
    const Outcome o = RunUpdater(app.WritePackage(spec), {},
                                 c.damaged ? exit_codes::kFilesFailed : exit_codes::kSuccess);
    EXPECT_TRUE(o.waited);
    EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"empty.dat", "prog.exe"}));
    std::vector<uint8_t> actual;
    ASSERT_TRUE(ReadFileBytes(app.Path("empty.dat"), actual));
    if (c.damaged) {
      EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path("empty.dat")));
      EXPECT_EQ(Text(actual), "previous contents");
      EXPECT_EQ(app.Level(), kNoLevel);
    } else {
      EXPECT_EQ(o.status, texts::kUpdateInstalledText);
      EXPECT_TRUE(actual.empty());
      EXPECT_EQ(app.Level(), 1);
    }
  }
}

// A name on disk too long for the 512-byte path buffer fails that file before anything is
// touched (no folder made on its way) and names the full path; the next file is installed.
TEST(UpdateReplace, PathBeyondTheBufferFailsThatFileOnly) {
  Installed app("long");
  const std::string longName = "made\\" + std::string(520, 'n') + ".dll";
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(1));
  spec.entries.push_back(Entry(":XlatNamesTable", XlatTablePayload({{"long.dll", longName}})));
  spec.entries.push_back(Entry("ok.dll", ContentsFor("ok.dll")));
  spec.entries.push_back(Entry("long.dll", ContentsFor("long.dll")));
  const Outcome o = RunUpdater(app.WritePackage(spec), {}, exit_codes::kFilesFailed);
  EXPECT_TRUE(o.waited);
  EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path(longName)));
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"ok.dll", "prog.exe"}));
  EXPECT_EQ(app.Level(), kNoLevel);
}

// ---------------------------------------------------------------------------------------------
// Links below the program folder. A user who can write to the folder puts a link where the
// package has a folder or a file (here a Unix symbolic link, which Wine follows as Windows
// follows a junction). The run acts on nothing outside the folder, names what it refused, and
// writes no new level.

// The outside folder a link leads to, as the user prepared it.
void FillOutside(const std::string& outside) {
  WriteFileText(outside + "\\levels.dat", "outside levels.dat");
  WriteFileText(outside + "\\old.dat", "outside old.dat");
}

TEST(UpdateLinks, NothingIsReachedThroughALink) {
  const struct {
    const char* label;
    std::vector<std::string> folders, removals, files;
    std::string link;     // the name in the program folder that becomes a link...
    std::string pointTo;  // ...to this name in the outside folder ("" the folder itself)
    std::string refused;  // the last status text refuses this name
  } cases[] = {
      {"a :Folders folder", {"data", "data\\maps"}, {}, {}, "data", "", "data\\maps"},
      {"a file entry's parent folder",
       {},
       {},
       {"data\\levels.dat"},
       "data",
       "",
       "data\\levels.dat"},
      {"a :FilesToRemove entry's folder", {}, {"data\\old.dat"}, {}, "data", "", "data\\old.dat"},
      {"all of them, and a file beside the link",
       {"data", "data\\maps"},
       {"data\\old.dat"},
       {"viewer.exe", "data\\levels.dat"},
       "data",
       "",
       "data\\levels.dat"},
      {"a deeper folder",
       {"a", "a\\data\\maps"},
       {},
       {"a\\data\\x.dll"},
       "a\\data",
       "",
       "a\\data\\x.dll"},
      {"a file entry itself", {}, {}, {"levels.dat"}, "levels.dat", "levels.dat", "levels.dat"},
      {"a file entry's backup name",
       {},
       {},
       {"levels.dat"},
       "levels.dat.bak",
       "levels.dat",
       "levels.dat"},
      {"a :FilesToRemove entry itself", {}, {"old.dat"}, {}, "old.dat", "old.dat", "old.dat"},
      {"a parent folder named with '/'", {}, {}, {"data/new.dll"}, "data", "", "data/new.dll"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("link");
    TempFolder outside("outside");
    FillOutside(outside.path());
    CreateDirectoryA(app.Path("a").c_str(), nullptr);
    ASSERT_TRUE(
        MakeUnixLink(app.Path(c.link), c.pointTo.empty() ? outside.path() : outside / c.pointTo))
        << "no Unix link could be made (not under Wine?)";
    const auto outsideBefore = TreeSnapshot(outside.path());
    PackageSpec spec;
    spec.entries.push_back(app.KeysEntry(2));
    if (!c.folders.empty()) spec.entries.push_back(Entry(":Folders", NameListPayload(c.folders)));
    if (!c.removals.empty())
      spec.entries.push_back(Entry(":FilesToRemove", NameListPayload(c.removals)));
    for (const std::string& f : c.files) spec.entries.push_back(Entry(f, ContentsFor(f)));
    const Outcome o = RunUpdater(app.WritePackage(spec), {}, exit_codes::kFilesFailed);

    EXPECT_TRUE(o.waited);
    EXPECT_EQ(o.status, Format(texts::kOutsideFolderFormat, app.Path(c.refused)));
    EXPECT_EQ(TreeSnapshot(outside.path()), outsideBefore) << "something outside changed";
    EXPECT_EQ(app.Level(), kNoLevel);
    EXPECT_TRUE(app.Journal().empty());
    for (const std::string& f : c.files) {
      if (f.find("data") == std::string::npos && f != c.link && f + ".bak" != c.link) {
        EXPECT_EQ(ReadFileOrEmpty(app.Path(f)), ContentsFor(f)) << f << " installed all the same";
      }
    }
  }
}

// The program folder's parent renamed and replaced by a link to a folder of the user's while the
// startup question is up: the registry's path now leads there. The run, which holds the folder
// it found, acts on neither.
TEST(UpdateLinks, AParentSwappedForALinkWhileTheQuestionIsUp) {
  TempFolder base("swap");
  TempFolder work("swap-pkg");
  const std::string parent = base / "games", moved = base / "games.moved", other = base / "other";
  for (const std::string& folder : {parent, parent + "\\prog", other, other + "\\prog"})
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
  WriteFileText(parent + "\\prog\\prog.exe", "the installed program");
  WriteFileText(parent + "\\prog\\a.dll", "old a");
  WriteFileText(other + "\\prog\\prog.exe", "the user's program");
  WriteFileText(other + "\\prog\\a.dll", "the user's a");
  RegistryFixture registry("Updateswap");
  registry.SetString("ProgramPath", parent + "\\prog");
  registry.SetString("ProgramName", "prog.exe");
  PackageSpec spec;
  spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Update", "Install?")));
  spec.entries.push_back(Entry(
      ":RegistryKeys",
      RegistryKeysPayload(registry.keyPath(), "ProgramPath", "ProgramName", "PatchLevel", 2)));
  spec.entries.push_back(Entry(":Folders", NameListPayload({"made"})));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  spec.entries.push_back(Entry("b.dll", ContentsFor("b.dll")));
  const std::string package = work / "update.pkg";
  ASSERT_TRUE(WriteFileBytes(package, WritePackage(spec)));
  const auto installedBefore = TreeSnapshot(parent);
  const auto otherBefore = TreeSnapshot(other);

  UpdaterRun run{};
  ASSERT_TRUE(StartProcess(RlPatchPath(), Quote("RL_PATCH.EXE") + " " + Quote(package), run));
  ASSERT_TRUE(WaitForDialog(run, kTimeoutMs));
  HWND box = WaitForMessageBox(run, kTimeoutMs);
  ASSERT_TRUE(box);
  const bool renamed = MoveFileA(parent.c_str(), moved.c_str()) != 0;
  const bool linked = renamed && MakeUnixLink(parent, other);
  PressButton(box, IDOK);
  EXPECT_TRUE(WaitForFinished(run, kTimeoutMs));
  const std::string status = ControlText(run.dialog, 1000);
  PressButton(run.dialog, 1);
  DWORD code;
  EXPECT_TRUE(WaitForExit(run, kTimeoutMs, code));
  KillIfRunning(run);
  if (linked) RemoveTree(parent);
  if (renamed) MoveFileA(moved.c_str(), parent.c_str());

  ASSERT_TRUE(renamed && linked) << "the parent could not be swapped for a link";
  EXPECT_EQ(status, Format(texts::kOutsideFolderFormat, parent + "\\prog\\b.dll"));
  EXPECT_EQ(TreeSnapshot(other), otherBefore) << "the user's folder changed";
  EXPECT_EQ(TreeSnapshot(parent), installedBefore) << "the program folder changed";
  EXPECT_EQ(registry.GetDword("PatchLevel", kNoLevel), kNoLevel);
}

// ---------------------------------------------------------------------------------------------
// Unattended runs: the exit code of every outcome, interactive and silent, the log, and one
// update of a program at a time.

// The updater on package with switches after it, watched for windows until it ends.
SilentOutcome RunSilent(const std::string& package, const std::string& switches) {
  return RunUnattended(RlPatchPath(), Quote("RL_PATCH.EXE") + " " + Quote(package) + " " + switches,
                       kTimeoutMs);
}

void ExpectNoWindow(const SilentOutcome& o) {
  EXPECT_TRUE(o.started);
  EXPECT_TRUE(o.exited) << "a silent run must end by itself";
  EXPECT_EQ(o.visibleWindows, 0);
  EXPECT_EQ(o.dialogs, 0) << "no progress window and no message box";
}

TEST(UpdateExitCodes, EveryOutcomeInteractiveAndSilent) {
  const int kOk = IDOK, kCancel = IDCANCEL;
  enum Package { kGood, kAsking, kDamagedFile, kOtherKey, kNotAPackage };
  const struct {
    const char* label;
    const char* switches;  // null: interactive, the user answering
    Package package;
    int32_t installedLevel;  // the package brings 5
    std::vector<int> answers;
    int exitCode;
    bool installed;  // every file new and the level written; otherwise nothing changed
  } cases[] = {
      {"installed", nullptr, kGood, 1, {}, exit_codes::kSuccess, true},
      {"installed, silent", "/S", kGood, 1, {}, exit_codes::kSuccess, true},
      {"startup question accepted", nullptr, kAsking, 1, {kOk}, exit_codes::kSuccess, true},
      {"startup question declined", nullptr, kAsking, 1, {kCancel}, exit_codes::kDeclined, false},
      {"startup question taken as accepted, silent",
       "/s",
       kAsking,
       1,
       {},
       exit_codes::kSuccess,
       true},
      {"same level, warning declined",
       nullptr,
       kGood,
       5,
       {kCancel},
       exit_codes::kLevelNotOlder,
       false},
      {"same level, warning accepted", nullptr, kGood, 5, {kOk}, exit_codes::kSuccess, true},
      {"same level skipped, silent", "/S", kGood, 5, {}, exit_codes::kLevelNotOlder, false},
      {"newer level skipped, silent", "/S", kGood, 6, {}, exit_codes::kLevelNotOlder, false},
      {"same level, silent with /FORCE", "/FORCE /S", kGood, 5, {}, exit_codes::kSuccess, true},
      {"/FORCE alone still asks", "/FORCE", kGood, 5, {kCancel}, exit_codes::kLevelNotOlder, false},
      {"a file failed", nullptr, kDamagedFile, 1, {}, exit_codes::kFilesFailed, false},
      {"a file failed, silent", "/S", kDamagedFile, 1, {}, exit_codes::kFilesFailed, false},
      {"not found", nullptr, kOtherKey, 1, {}, exit_codes::kNotFound, false},
      {"not found, silent", "/S", kOtherKey, 1, {}, exit_codes::kNotFound, false},
      {"package refused", nullptr, kNotAPackage, 1, {}, exit_codes::kPackageRefused, false},
      {"package refused, silent", "/S", kNotAPackage, 1, {}, exit_codes::kPackageRefused, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("exit");
    app.registry().SetDword("PatchLevel", static_cast<uint32_t>(c.installedLevel));
    WriteFileText(app.Path("a.dll"), "old a");
    PackageSpec spec;
    if (c.package == kAsking)
      spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Ask", "Go?")));
    spec.entries.push_back(
        c.package == kOtherKey
            ? Entry(":RegistryKeys",
                    RegistryKeysPayload(app.registry().keyPath() + "\\None", "ProgramPath",
                                        "ProgramName", "PatchLevel", 5))
            : app.KeysEntry(5));
    spec.entries.push_back(Entry(":Folders", NameListPayload({"made"})));
    spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
    if (c.package == kDamagedFile) {
      WriterEntry bad = Entry("bad.dll", ContentsFor("bad.dll"));
      bad.packed = Damaged(DeflateBytes(bad.data, 9), 20);
      spec.entries.push_back(bad);
    }
    std::string package = app.WritePackage(spec);
    if (c.package == kNotAPackage) WriteFileText(package, "not a package");

    const std::string switches = c.switches ? c.switches : "";
    if (switches.find("/S") != std::string::npos || switches.find("/s") != std::string::npos) {
      const SilentOutcome o = RunSilent(package, switches);
      ExpectNoWindow(o);
      EXPECT_EQ(o.exitCode, static_cast<DWORD>(c.exitCode));
    } else {
      const std::string line = Quote("RL_PATCH.EXE") + " " + Quote(package) + " " + switches;
      const Outcome o = PlayUser(RlPatchPath(), line, c.answers, 100, kTimeoutMs);
      EXPECT_TRUE(o.exited);
      EXPECT_EQ(o.exitCode, static_cast<DWORD>(c.exitCode));
      EXPECT_EQ(o.boxes.size(), c.answers.size());
    }
    if (c.installed) {
      EXPECT_EQ(ReadFileOrEmpty(app.Path("a.dll")), ContentsFor("a.dll"));
      EXPECT_TRUE(IsFolder(app.Path("made")));
      EXPECT_EQ(app.Level(), 5);
    } else {
      EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("a.dll"))),
                c.package == kDamagedFile ? Text(ContentsFor("a.dll")) : "old a");
      EXPECT_EQ(app.Level(), c.installedLevel);
    }
  }
}

// Command lines that never reach a package, run silently: each ends at once with its code.
TEST(UpdateExitCodes, SilentRefusalsAndBuilds) {
  TempFolder work("silent-cmd");
  Installed app("silent-cmd");
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(1));
  const std::string package = app.WritePackage(spec);
  const std::string rl = Quote(RlPatchPath());  // token 0 is the file a build copies
  const struct {
    const char* label;
    std::string commandLine;
    int exitCode;
  } cases[] = {
      {"four tokens, not MAKEEXE", rl + " a b c /S", exit_codes::kUsage},
      {"a log that cannot be opened", rl + " " + Quote(package) + " /S /LOG=Z:\\none\\dir\\u.log",
       exit_codes::kLogFailed},
      {"a build that cannot write its output",
       rl + " " + Quote(package) + " " + Quote(work / "none\\out.exe") + " MAKEEXE /S",
       exit_codes::kBuildFailed},
      {"a build", rl + " /S " + Quote(package) + " " + Quote(work / "out.exe") + " MAKEEXE",
       exit_codes::kSuccess},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const SilentOutcome o = RunUnattended(RlPatchPath(), c.commandLine, kTimeoutMs);
    ExpectNoWindow(o);
    EXPECT_EQ(o.exitCode, static_cast<DWORD>(c.exitCode));
  }
  EXPECT_EQ(ListFolder(work.path()), std::vector<std::string>{"out.exe"});
  EXPECT_EQ(app.Level(), kNoLevel) << "the log refusal touched nothing";

  // The log of a failed build names the output and the error that stopped it.
  const std::string log = work / "build.log";
  const SilentOutcome o =
      RunUnattended(RlPatchPath(), rl + " " + Quote(package) + " " + Quote(work / "none\\out.exe") +
                                       " MAKEEXE /S " + Quote("/LOG=" + log));
  EXPECT_EQ(o.exitCode, static_cast<DWORD>(exit_codes::kBuildFailed));
  std::wstring text;
  bool bom = false;
  ASSERT_TRUE(ReadUtf8Log(log, text, bom));
  EXPECT_NE(text.find(L"Build failed: " + FromCp1251(work / "none\\out.exe") + L" - error 3: "),
            std::wstring::npos);
  EXPECT_NE(text.find(L"Exit code 1627\r\n"), std::wstring::npos);
}

// The same package, interactive and silent, on two identical installations: the same files with
// the same contents and the same patch level, whether it installs or a file fails.
TEST(UpdateSilent, LeavesWhatTheInteractiveRunLeaves) {
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "a file fails" : "installed");
    InstalledState states[2];
    for (const bool silent : {false, true}) {
      Installed app("same");
      app.registry().SetDword("PatchLevel", 3);
      WriteFileText(app.Path("a.dll"), "old a");
      WriteFileText(app.Path("old.dll"), "removed");
      PackageSpec spec;
      spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Ask", "Go?")));
      spec.entries.push_back(app.KeysEntry(4));
      spec.entries.push_back(Entry(":Folders", NameListPayload({"made", "made\\deeper"})));
      spec.entries.push_back(Entry(":FilesToRemove", NameListPayload({"old.dll"})));
      spec.entries.push_back(
          Entry(":XlatNamesTable", XlatTablePayload({{"tr.dat", "docs\\translated.dat"}})));
      spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
      spec.entries.push_back(Entry("TR.DAT", ContentsFor("TR.DAT")));
      WriterEntry b = Entry("data\\b.dll", ContentsFor("b.dll"));
      if (damaged) b.packed = Damaged(DeflateBytes(b.data, 9), 20);
      spec.entries.push_back(b);
      const std::string package = app.WritePackage(spec);
      const int expected = damaged ? exit_codes::kFilesFailed : exit_codes::kSuccess;
      if (silent) {
        const SilentOutcome o = RunSilent(package, "/S");
        ExpectNoWindow(o);
        EXPECT_EQ(o.exitCode, static_cast<DWORD>(expected));
      } else {
        RunUpdater(package, {IDOK}, static_cast<DWORD>(expected));
      }
      states[silent] = StateOf(app);
    }
    EXPECT_TRUE(states[0] == states[1]);
    EXPECT_EQ(states[1].level, damaged ? 3 : 4);
    EXPECT_GE(states[1].files.size(), 6u);
  }
}

// The log of a silent run in which a file fails: a held file with a Cyrillic name. Each line is
// timestamped; the failure names the file, the error code and the system's text for it; the
// Russian texts read back as Cyrillic; a second run appends.
TEST(UpdateLog, AFailedFileIsLoggedWithItsErrorAndTheLogReadsAsUtf8) {
  Installed app("log");
  const std::string held = "\xD4\xE0\xE9\xEB.dll";  // "Файл.dll" in Windows-1251
  WriteFileText(app.Path(held), "in use");
  PackageSpec spec;
  spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Ask", "Go?")));
  spec.entries.push_back(app.KeysEntry(2));
  spec.entries.push_back(Entry(":Folders", NameListPayload({"made"})));
  spec.entries.push_back(Entry(":FilesToRemove", NameListPayload({"gone.dll"})));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  spec.entries.push_back(Entry(held, ContentsFor("held")));
  WriterEntry damaged = Entry("damaged.dll", ContentsFor("damaged.dll"));
  damaged.packed = Damaged(DeflateBytes(damaged.data, 9), 20);
  spec.entries.push_back(damaged);
  const std::string package = app.WritePackage(spec);
  TempFolder logs("log");
  const std::string log = logs / "update.log";

  // Held without any sharing, as a program holds a file it has open for writing.
  HANDLE holder = CreateFileA(app.Path(held).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const SilentOutcome first = RunSilent(package, "/S " + Quote("/LOG=" + log));
  CloseHandle(holder);
  ExpectNoWindow(first);
  EXPECT_EQ(first.exitCode, static_cast<DWORD>(exit_codes::kFilesFailed));
  EXPECT_EQ(Text(ReadFileOrEmpty(app.Path(held))), "in use");

  std::wstring text;
  bool bom = false;
  ASSERT_TRUE(ReadUtf8Log(log, text, bom)) << "the log is not UTF-8";
  EXPECT_TRUE(bom);
  // The system's text for an error code, without its line break.
  auto systemText = [](DWORD error) {
    wchar_t* system = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&system), 0, nullptr);
    std::wstring text = system ? system : L"";
    if (system) LocalFree(system);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
      text.pop_back();
    return text;
  };
  ASSERT_FALSE(systemText(ERROR_SHARING_VIOLATION).empty());
  // "Файл.dll" and "Ошибка в процессе обновления файла!", written out in UTF-16.
  const std::wstring heldName = L"\u0424\u0430\u0439\u043B.dll";
  const std::wstring failedText =
      L"\u041E\u0448\u0438\u0431\u043A\u0430 \u0432 "
      L"\u043F\u0440\u043E\u0446\u0435\u0441\u0441\u0435 "
      L"\u043E\u0431\u043D\u043E\u0432\u043B\u0435\u043D\u0438\u044F "
      L"\u0444\u0430\u0439\u043B\u0430!";
  const std::wstring heldPath = FromCp1251(app.Path(held));
  ASSERT_NE(heldPath.find(heldName), std::wstring::npos);
  const std::wstring expected[] = {
      L"Mode: silent",
      L"Package " + FromCp1251(package) + L": 7 entries",
      L"Patch level PatchLevel: installed 0, package 2",
      L"Question \"Ask\": Go?",
      L"Answer: OK (silent run)",
      L"Folder created: " + FromCp1251(app.Path("made")),
      L"File not removed: " + FromCp1251(app.Path("gone.dll")) + L" - error 2: ",
      L"File failed: " + heldPath + L" - error 32: " + systemText(ERROR_SHARING_VIOLATION),
      failedText + L" | (" + heldPath + L")",
      // Taken when the entry failed to inflate, not after the rollback's own calls.
      L"File failed: " + FromCp1251(app.Path("damaged.dll")) + L" - error 13: " +
          systemText(ERROR_INVALID_DATA),
      L"Exit code 1603",
  };
  size_t at = 0;
  for (const std::wstring& line : expected) {
    const size_t found = text.find(line, at);
    EXPECT_NE(found, std::wstring::npos) << "missing or out of order: " << line.size();
    if (found != std::wstring::npos) at = found;
  }
  // One event a line, each beginning with its time: "2026-12-09 07:21:22.748 ".
  size_t lines = 0;
  for (size_t start = 0; start < text.size(); ++lines) {
    const size_t end = text.find(L"\r\n", start);
    ASSERT_NE(end, std::wstring::npos) << "the last line is not ended";
    const std::wstring line = text.substr(start, end - start);
    ASSERT_GT(line.size(), 24u);
    for (size_t i : {0u, 1u, 2u, 3u, 5u, 6u, 8u, 9u, 11u, 12u, 14u, 15u, 17u, 18u, 20u, 21u, 22u})
      EXPECT_TRUE(iswdigit(line[i])) << lines;
    EXPECT_EQ(line.substr(23, 1), L" ");
    start = end + 2;
  }
  EXPECT_GT(lines, 15u);
  EXPECT_EQ(text.rfind(L"Exit code 1603\r\n"), text.size() - 16);

  // A second run appends to the same log: no second byte-order mark, both runs in order.
  const SilentOutcome second = RunSilent(package, Quote("/LOG=" + log) + " /S");
  EXPECT_EQ(second.exitCode, static_cast<DWORD>(exit_codes::kFilesFailed));
  std::vector<uint8_t> bytes = ReadFileOrEmpty(log);
  EXPECT_EQ(Text(bytes).find("\xEF\xBB\xBF", 3), std::string::npos);
  ASSERT_TRUE(ReadUtf8Log(log, text, bom));
  const size_t firstEnd = text.find(L"Exit code 1603");
  EXPECT_NE(firstEnd, std::wstring::npos);
  EXPECT_NE(text.find(L"Command line: ", firstEnd), std::wstring::npos);
  EXPECT_EQ(text.find(L"Exit code 1603"), firstEnd);
  EXPECT_EQ(text.rfind(L"Exit code 1603\r\n"), text.size() - 16);
  EXPECT_GT(text.rfind(L"Exit code 1603\r\n"), firstEnd);
}

// Each line is on disk before the next step: the log of a run killed while its question waits
// ends with that question.
TEST(UpdateLog, AKilledRunsLogEndsAtItsLastStep) {
  Installed app("logkill");
  PackageSpec spec;
  spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Ask", "Go?")));
  spec.entries.push_back(app.KeysEntry(2));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  const std::string package = app.WritePackage(spec);
  TempFolder logs("logkill");
  const std::string log = logs / "update.log";
  UpdaterRun run{};
  ASSERT_TRUE(StartProcess(RlPatchPath(),
                           Quote("RL_PATCH.EXE") + " " + Quote(package) + " /LOG=" + log, run));
  ASSERT_TRUE(WaitForDialog(run, kTimeoutMs));
  ASSERT_TRUE(WaitForMessageBox(run, kTimeoutMs));
  KillIfRunning(run);
  std::wstring text;
  bool bom = false;
  ASSERT_TRUE(ReadUtf8Log(log, text, bom));
  EXPECT_NE(text.find(L"Mode: interactive"), std::wstring::npos);
  const std::wstring last = L"Question \"Ask\": Go?\r\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  EXPECT_FALSE(PathExists(app.Path("a.dll")));
}

// An updater built with MAKEEXE and started with /S alone: a silent self-contained update, its
// log in the temporary folder under the updater's own name. A file planted there beforehand as
// a hard link to another file is not written through.
// The default log is in the system's own Temp folder, whatever %TEMP% says (the user who starts
// an elevated run can point that anywhere). A hard link a user planted under the log's name is
// set aside, default or named, and a fresh log begins: the linked file is never written, and the
// plant stops no run.
TEST(UpdateLog, SilentSelfContainedUpdaterLogsInTheSystemsTempFolder) {
  for (const bool planted : {false, true}) {
    SCOPED_TRACE(planted ? "a hard link planted under the log's name" : "no log yet");
    Installed app("selfsilent");
    WriteFileText(app.Path("a.dll"), "old a");
    PackageSpec spec;
    spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Ask", "Go?")));
    spec.entries.push_back(app.KeysEntry(3));
    spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
    const std::string package = app.WritePackage(spec);
    TempFolder work("selfsilent");
    const std::string name = "PINESILENT" + std::to_string(GetCurrentProcessId());
    const std::string updater = work / (name + ".EXE");
    const SilentOutcome built =
        RunUnattended(RlPatchPath(), Quote(RlPatchPath()) + " " + Quote(package) + " " +
                                         Quote(updater) + " MAKEEXE /S");
    ASSERT_EQ(built.exitCode, 0u);
    char windows[MAX_PATH];
    GetSystemWindowsDirectoryA(windows, sizeof windows);
    const std::string temp = std::string(windows) + "\\Temp";
    const std::string log = temp + "\\" + name + ".log";
    DeleteFileA(log.c_str());
    const std::string victim = work / "victim.txt";
    if (planted) {
      WriteFileText(victim, "not a log");
      ASSERT_TRUE(CreateHardLinkA(log.c_str(), victim.c_str(), nullptr));
    }

    const SilentOutcome o = RunUnattended(updater, Quote(updater) + " /S", kTimeoutMs);
    ExpectNoWindow(o);
    EXPECT_EQ(o.exitCode, 0u);
    EXPECT_EQ(ReadFileOrEmpty(app.Path("a.dll")), ContentsFor("a.dll"));
    EXPECT_EQ(app.Level(), 3);
    std::vector<std::string> runs = {" /S"};
    if (planted) runs.push_back(" /S /FORCE " + Quote("/LOG=" + log));  // and asked for by name
    for (size_t run = 0; run < runs.size(); ++run) {
      if (run > 0) {
        DeleteFileA(log.c_str());
        ASSERT_TRUE(CreateHardLinkA(log.c_str(), victim.c_str(), nullptr));
        EXPECT_EQ(RunUnattended(updater, Quote(updater) + runs[run], kTimeoutMs).exitCode, 0u);
      }
      std::wstring text;
      bool bom = false;
      ASSERT_TRUE(ReadUtf8Log(log, text, bom));
      EXPECT_TRUE(bom);
      EXPECT_NE(text.find(L"Run mode: self-contained"), std::wstring::npos);
      EXPECT_NE(text.find(L"Exit code 0\r\n"), std::wstring::npos);
      EXPECT_EQ(text.find(L"set aside") != std::wstring::npos, planted);
      if (!planted) continue;
      EXPECT_EQ(Text(ReadFileOrEmpty(victim)), "not a log") << "the linked file was written";
      // The link, set aside beside the log under a name of its own.
      int aside = 0;
      for (const std::string& entry : ListFolder(temp)) {
        if (entry.rfind(name + ".log.", 0) != 0) continue;
        EXPECT_EQ(Text(ReadFileOrEmpty(temp + "\\" + entry)), "not a log");
        DeleteFileA((temp + "\\" + entry).c_str());
        ++aside;
      }
      EXPECT_EQ(aside, 1);
    }
    DeleteFileA(log.c_str());
  }
}

// A folder on the log's path that is a link (a Unix link standing in for the junction a user
// makes in a folder an administrator made at the drive's root) refuses the run before anything is
// touched: the file it leads to is not appended to.
TEST(UpdateLog, ALinkOnTheLogsPathRefusesTheRun) {
  Installed app("loglink");
  WriteFileText(app.Path("a.dll"), "old a");
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(3));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  const std::string package = app.WritePackage(spec);
  TempFolder deploy("deploy"), outside("logs-outside");
  WriteFileText(outside / "viewer.log", "the user's file");
  ASSERT_TRUE(MakeUnixLink(deploy / "logs", outside.path()));
  for (const std::string& path : {deploy / "logs\\viewer.log", deploy / "logs\\new.log"}) {
    SCOPED_TRACE(path);
    const SilentOutcome o = RunSilent(package, "/S " + Quote("/LOG=" + path));
    EXPECT_EQ(o.exitCode, static_cast<DWORD>(exit_codes::kLogFailed));
    EXPECT_EQ(ListFolder(outside.path()), std::vector<std::string>{"viewer.log"});
    EXPECT_EQ(Text(ReadFileOrEmpty(outside / "viewer.log")), "the user's file");
    EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("a.dll"))), "old a");
  }
  RemoveTree(deploy / "logs");
}

// ---------------------------------------------------------------------------------------------
// The update lock: a ticket of each updater below <program's key>\RlPatchLock.

// The object name the updater locked before: "Global\Pinecone.Update." and the FNV-1a 64 hash
// of the upper-cased key without trailing backslashes. Anyone may create an object of that name.
std::string FormerLockName(const std::string& prefix, std::string key) {
  while (!key.empty() && key.back() == '\\') key.pop_back();
  uint64_t hash = 0xCBF29CE484222325ull;
  for (const char ch : key)
    hash = (hash ^ static_cast<unsigned char>(toupper(static_cast<unsigned char>(ch)))) *
           0x100000001B3ull;
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llX", static_cast<unsigned long long>(hash));
  return prefix + "Pinecone.Update." + digits;
}

// The ticket name of process (pid its id), as the updater writes its own.
std::string TicketOf(HANDLE process, DWORD pid) {
  FILETIME created{}, exited{}, kernel{}, user{};
  EXPECT_TRUE(GetProcessTimes(process, &created, &exited, &kernel, &user));
  char name[kLockOwnerNameSize];
  FormatLockOwner(
      {pid, static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime}, name);
  return name;
}

std::string OwnTicket() { return TicketOf(GetCurrentProcess(), GetCurrentProcessId()); }

// The ticket of an updater that has ended: one started (it shows its usage text and waits) and
// killed.
std::string EndedTicket() {
  UpdaterRun run{};
  EXPECT_TRUE(StartProcess(RlPatchPath(), Quote("RL_PATCH.EXE"), run));
  const std::string name = TicketOf(run.process.hProcess, run.process.dwProcessId);
  KillIfRunning(run);
  return name;
}

std::string LockPath(Installed& app) { return app.registry().keyPath() + "\\" + kUpdateLockKey; }

// The tickets below the program's lock, sorted; lockExists tells whether the lock's key is there.
std::vector<std::string> Tickets(Installed& app, bool& lockExists) {
  std::vector<std::string> names;
  HKEY lock;
  lockExists = RegOpenKeyExA(HKEY_LOCAL_MACHINE, LockPath(app).c_str(), 0, KEY_ENUMERATE_SUB_KEYS,
                             &lock) == ERROR_SUCCESS;
  if (!lockExists) return names;
  char name[256];
  for (DWORD size = sizeof name; RegEnumKeyExA(lock, static_cast<DWORD>(names.size()), name, &size,
                                               nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
       size = sizeof name)
    names.push_back(name);
  RegCloseKey(lock);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Tickets(Installed& app) {
  bool lockExists = false;
  return Tickets(app, lockExists);
}

bool LockGone(Installed& app) {
  bool lockExists = true;
  Tickets(app, lockExists);
  return !lockExists;
}

// Puts a ticket named name below the program's lock as an updater would (volatile), with a key
// below it when withKeyBelow.
bool PutTicket(Installed& app, const std::string& name, bool withKeyBelow = false) {
  std::string path = LockPath(app) + "\\" + name;
  if (withKeyBelow) path += "\\below";
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                      KEY_QUERY_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// A package that asks first, then creates a folder and writes a.dll, for app at level 2.
std::string LockPackage(Installed& app) {
  WriteFileText(app.Path("a.dll"), "old a");
  PackageSpec spec;
  spec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Ask", "Go?")));
  spec.entries.push_back(app.KeysEntry(2));
  spec.entries.push_back(Entry(":Folders", NameListPayload({"made"})));
  spec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
  return app.WritePackage(spec);
}

void ExpectUntouched(const Installed& app) {
  EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("a.dll"))), "old a");
  EXPECT_FALSE(PathExists(app.Path("made")));
  EXPECT_EQ(app.Level(), kNoLevel);
}

void ExpectInstalled(const Installed& app) {
  EXPECT_EQ(ReadFileOrEmpty(app.Path("a.dll")), ContentsFor("a.dll"));
  EXPECT_TRUE(IsFolder(app.Path("made")));
  EXPECT_EQ(app.Level(), 2);
}

// Starts the updater on package interactively and waits for its startup question: the box, or
// null.
HWND StartAtQuestion(const std::string& package, UpdaterRun& run) {
  if (!StartProcess(RlPatchPath(), Quote("RL_PATCH.EXE") + " " + Quote(package), run) ||
      !WaitForDialog(run, kTimeoutMs))
    return nullptr;
  return WaitForMessageBox(run, kTimeoutMs);
}

// Clicks the finished window's button and expects the run to end with exit code 0.
void ClickOkAndExpectSuccess(UpdaterRun& run) {
  PressButton(run.dialog, 1);
  DWORD code = 1;
  EXPECT_TRUE(WaitForExit(run, kTimeoutMs, code));
  EXPECT_EQ(code, 0u);
  KillIfRunning(run);
}

// A second updater of the same program, started while the first waits at its question, refuses
// with its code and touches nothing; an updater of another program runs meanwhile; once the
// first has ended, or was killed, the next one runs. The lock holds the first updater's ticket
// alone, and nothing once the update that holds it has ended.
TEST(UpdateLock, ASecondUpdaterOfTheSameProgramRefuses) {
  for (const bool killFirst : {false, true}) {
    SCOPED_TRACE(killFirst ? "the first updater killed at its question" : "the first one ends");
    Installed app("lock");
    Installed other("lock-other");
    const std::string package = LockPackage(app);
    PackageSpec otherSpec;
    otherSpec.entries.push_back(other.KeysEntry(2));
    otherSpec.entries.push_back(Entry("o.dll", ContentsFor("o.dll")));
    const std::string otherPackage = other.WritePackage(otherSpec);
    // The same package naming its key in other letter case: the same program all the same.
    std::string lowerKey = app.registry().keyPath();
    for (char& ch : lowerKey) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    PackageSpec lowerSpec;
    lowerSpec.entries.push_back(Entry(":StartupMsg", StartupMsgPayload("Ask", "Go?")));
    lowerSpec.entries.push_back(
        Entry(":RegistryKeys",
              RegistryKeysPayload(lowerKey, "ProgramPath", "ProgramName", "PatchLevel", 2)));
    lowerSpec.entries.push_back(Entry("a.dll", ContentsFor("a.dll")));
    TempFolder lowerFolder("lock-lower");
    const std::string lowerPackage = lowerFolder / "lower.pkg";
    ASSERT_TRUE(WriteFileBytes(lowerPackage, ::WritePackage(lowerSpec)));

    UpdaterRun first{};
    HWND box = StartAtQuestion(package, first);
    ASSERT_TRUE(box);
    const std::vector<std::string> held = {
        TicketOf(first.process.hProcess, first.process.dwProcessId)};
    EXPECT_EQ(Tickets(app), held);

    // Interactive: its own status text, no question, and the window waits for its button.
    const Outcome second = RunUpdater(package, {}, exit_codes::kAlreadyRunning);
    EXPECT_TRUE(second.boxes.empty());
    EXPECT_TRUE(second.waited);
    EXPECT_EQ(second.status, texts::kAlreadyRunningText);
    // Silent: ends at once with the code; the key named in another spelling is the same program.
    const SilentOutcome silent = RunSilent(lowerPackage, "/S /FORCE");
    ExpectNoWindow(silent);
    EXPECT_EQ(silent.exitCode, static_cast<DWORD>(exit_codes::kAlreadyRunning));
    ExpectUntouched(app);
    EXPECT_EQ(Tickets(app), held) << "a refused updater leaves no ticket";
    // Another program's update is not held up.
    EXPECT_EQ(RunSilent(otherPackage, "/S").exitCode, 0u);
    EXPECT_EQ(other.Level(), 2);

    if (killFirst) {
      // The killed updater's process object stays while this handle to it is open: its ticket
      // names a process that has exited, not one that is gone.
      HANDLE kept = nullptr;
      ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), first.process.hProcess, GetCurrentProcess(),
                                  &kept, 0, FALSE, DUPLICATE_SAME_ACCESS));
      KillIfRunning(first);
      EXPECT_EQ(Tickets(app), held) << "a killed updater leaves its ticket";
      EXPECT_EQ(RunSilent(package, "/S").exitCode, 0u);
      CloseHandle(kept);
    } else {
      EXPECT_TRUE(IsRunning(first));
      PressButton(box, IDOK);
      EXPECT_TRUE(WaitForFinished(first, kTimeoutMs));
      EXPECT_EQ(ControlText(first.dialog, 1000), texts::kUpdateInstalledText);
      // The update has run to its end: the lock is free again while the window still waits.
      EXPECT_TRUE(LockGone(app));
      EXPECT_EQ(RunSilent(package, "/S").exitCode, static_cast<DWORD>(exit_codes::kLevelNotOlder));
      ClickOkAndExpectSuccess(first);
    }
    ExpectInstalled(app);
    EXPECT_TRUE(LockGone(app));
  }
}

// Objects of any kind under the name the updater once locked with, created first by a process
// that anyone may run: they neither stop an update nor let a second one run beside it.
TEST(UpdateLock, TheFormerLockNameTakenFirstChangesNothing) {
  const struct {
    const char* label;
    bool mutex;  // else an event under the global name and the session's
  } cases[] = {
      {"a mutex of that name, owned", true},
      {"events of that name, global and the session's", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("squat");
    const std::string package = LockPackage(app);
    std::vector<HANDLE> squats;
    const std::string key = app.registry().keyPath();
    if (c.mutex) {
      squats.push_back(CreateMutexA(nullptr, TRUE, FormerLockName("Global\\", key).c_str()));
    } else {
      squats.push_back(CreateEventA(nullptr, TRUE, FALSE, FormerLockName("Global\\", key).c_str()));
      squats.push_back(CreateEventA(nullptr, TRUE, FALSE, FormerLockName("Local\\", key).c_str()));
    }
    for (const HANDLE squat : squats) ASSERT_TRUE(squat);

    UpdaterRun first{};
    HWND box = StartAtQuestion(package, first);
    ASSERT_TRUE(box) << "the first updater must reach its question";
    const SilentOutcome second = RunSilent(package, "/S /FORCE");
    EXPECT_EQ(second.exitCode, static_cast<DWORD>(exit_codes::kAlreadyRunning));
    ExpectUntouched(app);
    PressButton(box, IDOK);
    EXPECT_TRUE(WaitForFinished(first, kTimeoutMs));
    ClickOkAndExpectSuccess(first);
    ExpectInstalled(app);
    for (const HANDLE squat : squats) CloseHandle(squat);
  }
}

// Tickets found below the lock decide a silent run: one of a process that runs refuses it, as
// does one that cannot be read or deleted; an ended updater's is deleted and the lock taken.
// The log names each ticket and what it meant.
TEST(UpdateLock, TheTicketsFoundDecideTheRun) {
  const std::string self = OwnTicket();
  const std::string ended = EndedTicket();
  // This process's id with a start time it does not have: the id of an ended updater given again.
  char reused[kLockOwnerNameSize];
  FormatLockOwner({GetCurrentProcessId(), 12345}, reused);
  // An id that no process has (ids are multiples of four, and this one is out of their range).
  char nowhere[kLockOwnerNameSize];
  FormatLockOwner({0xFFFFFFFCu, 12345}, nowhere);
  const struct {
    const char* label;
    std::vector<std::string> tickets;
    bool keyBelow;  // a key below the first ticket: it cannot be deleted
    DWORD exitCode;
    std::string logged;             // in the run's log
    std::vector<std::string> left;  // with a refusal: the tickets left
  } cases[] = {
      {"a running process's ticket",
       {self},
       false,
       exit_codes::kAlreadyRunning,
       "RlPatchLock held by another updater: " + self,
       {self}},
      {"an ended updater's ticket",
       {ended},
       false,
       0,
       "RlPatchLock left by an updater that has ended: " + ended,
       {}},
      {"a ticket of an id that no process has",
       {nowhere},
       false,
       0,
       "RlPatchLock left by an updater that has ended: " + std::string(nowhere),
       {}},
      {"a ticket whose process id was given again",
       {reused},
       false,
       0,
       "RlPatchLock left by an updater that has ended: " + std::string(reused),
       {}},
      {"an ended updater's ticket beside a running one's",
       {ended, self},
       false,
       exit_codes::kAlreadyRunning,
       "RlPatchLock held by another updater: " + self,
       {}},
      {"a ticket that names no process",
       {"not-an-updater"},
       false,
       exit_codes::kAlreadyRunning,
       "RlPatchLock held by another updater: not-an-updater",
       {"not-an-updater"}},
      {"an ended updater's ticket that cannot be deleted",
       {ended},
       true,
       exit_codes::kAlreadyRunning,
       " - error 5: ",  // access denied
       {ended}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Installed app("tickets");
    const std::string package = LockPackage(app);
    for (size_t i = 0; i < c.tickets.size(); ++i)
      ASSERT_TRUE(PutTicket(app, c.tickets[i], c.keyBelow && i == 0));
    TempFolder logs("tickets");
    const std::string log = logs / "update.log";
    const SilentOutcome o = RunSilent(package, "/S " + Quote("/LOG=" + log));
    ExpectNoWindow(o);
    EXPECT_EQ(o.exitCode, c.exitCode);
    std::wstring text;
    bool bom = false;
    ASSERT_TRUE(ReadUtf8Log(log, text, bom));
    EXPECT_NE(text.find(std::wstring(c.logged.begin(), c.logged.end())), std::wstring::npos)
        << c.logged;
    if (c.exitCode == 0) {
      ExpectInstalled(app);
      EXPECT_NE(text.find(L"RlPatchLock taken: "), std::wstring::npos);
      EXPECT_TRUE(LockGone(app));
    } else {
      ExpectUntouched(app);
      EXPECT_EQ(text.find(L"RlPatchLock taken: "), std::wstring::npos);
      const std::vector<std::string> left = Tickets(app);
      if (c.left.empty()) {  // whether the ended one's went first is the listing's order
        EXPECT_NE(std::find(left.begin(), left.end(), self), left.end());
        EXPECT_LE(left.size(), c.tickets.size());
      } else {
        EXPECT_EQ(left, c.left);
      }
    }
  }
}

}  // namespace
