// The update procedure end to end, through the real window under Wine: target discovery, the
// questions, the preparation steps, file replacement with backup and rollback, and the registry
// write. Each test installs a program of its own (a folder below the temporary folder and a
// registry key below HKLM\Software\PineconeTests) and runs RL_PATCH.EXE on a package made by the
// package writer.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver_win32.h"
#include "fixtures_win32.h"
#include "installed_win32.h"
#include "package/package.h"
#include "package_writer.h"
#include "shell/texts.h"
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
    const Outcome o = RunUpdater(app.WritePackage(spec), {});
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
    bool updates;
  } cases[] = {
      {"no question at all", false, 0, 1, {}, {}, true},
      {"startup question, Cancel", true, 0, 1, {kCancel}, {"Vendor caption"}, false},
      {"startup question, OK", true, 0, 1, {kOk}, {"Vendor caption"}, true},
      {"equal level, Cancel", false, 7, 7, {kCancel}, {kWarningCaption}, false},
      {"equal level, OK", false, 7, 7, {kOk}, {kWarningCaption}, true},
      {"later level installed, Cancel", false, 8, 7, {kCancel}, {kWarningCaption}, false},
      {"-1 is below 0", false, -1, 0, {}, {}, true},
      {"no level installed, package 0", false, kNoLevel, 0, {kCancel}, {kWarningCaption}, false},
      {"no level installed, package -1", false, kNoLevel, -1, {kOk}, {kWarningCaption}, true},
      {"lowest level is below every other", false, INT32_MIN, INT32_MIN + 1, {}, {}, true},
      {"both questions, OK then Cancel",
       true,
       2,
       2,
       {kOk, kCancel},
       {"Vendor caption", kWarningCaption},
       false},
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
    const Outcome o = RunUpdater(app.WritePackage(spec), c.answers);

    ASSERT_EQ(o.boxes.size(), c.expectedCaptions.size());
    for (size_t i = 0; i < o.boxes.size(); ++i) {
      EXPECT_EQ(o.boxes[i].caption, c.expectedCaptions[i]);
      EXPECT_EQ(o.boxes[i].text,
                c.expectedCaptions[i] == kWarningCaption ? kWarningText : question);
    }
    if (c.updates) {
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

TEST(UpdateRun, EverythingInstalledThenASecondRunWarns) {
  Installed app("full");
  app.registry().SetDword("PatchLevel", 4);
  WriteFileText(app.Path("a.dll"), "old a");
  WriteFileText(app.Path("old.dll"), "to be removed");
  CreateDirectoryA(app.Path("keepdir").c_str(), nullptr);
  // Cyrillic names: "\xC0\xC1" is upper case of "\xE0\xE1"; the table translates only the exact
  // lower-case spelling, so the upper-case entry keeps its name.
  const std::string cyrUpper = "\xC0\xC1\xC2.txt", cyrLower = "\xE0\xE1\xE2.txt";
  PackageSpec spec;
  spec.entries.push_back(app.KeysEntry(5));
  spec.entries.push_back(Entry(":Folders", NameListPayload({"a\\b", "a", "c", "c\\d"})));
  // a.dll is removed and installed: removals come first, so the new a.dll stays.
  spec.entries.push_back(
      Entry(":FilesToRemove", NameListPayload({"old.dll", "never-there.dll", "keepdir", "a.dll"})));
  spec.entries.push_back(
      Entry(":XlatNamesTable",
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
  };
  for (const auto& f : files) {
    std::vector<uint8_t> actual;
    EXPECT_TRUE(ReadFileBytes(app.Path(f.path), actual)) << f.path;
    EXPECT_EQ(actual, f.contents) << f.path;
  }
  // Nothing else: no backups, no untranslated names, the removed file gone, the folder that was
  // listed for removal still there; a\b came before a, so only a was made.
  EXPECT_EQ(ListFolder(app.folder()),
            (std::vector<std::string>{"a", "a.dll", "c", "data", "docs", "fwd", "keepdir",
                                      "lead.dll", "prog.exe", "stored.bin", cyrUpper}));
  EXPECT_TRUE(ListFolder(app.Path("a")).empty());
  EXPECT_EQ(ListFolder(app.Path("c")), std::vector<std::string>{"d"});
  EXPECT_EQ(ListFolder(app.Path("data\\sub")), std::vector<std::string>{"file.dll"});

  // The same package again: the level is now the package's, so the warning comes.
  const Outcome again = RunUpdater(package, {IDCANCEL});
  ASSERT_EQ(again.boxes.size(), 1u);
  EXPECT_EQ(again.boxes[0].caption, kWarningCaption);
  EXPECT_TRUE(again.exitedBeforeClick);
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
    const Outcome o = RunUpdater(app.WritePackage(spec), {});
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
// target holds a partial new one. A commit deletes the backup; a rollback puts it back.
TEST(UpdateReplace, BackupFromAnInterruptedRun) {
  const std::vector<uint8_t> good = ContentsFor("x.dll");
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "rollback" : "commit");
    Installed app("bak");
    WriteFileText(app.Path("x.dll"), "partial new");
    WriteFileText(app.Path("x.dll.bak"), "previous");
    PackageSpec spec;
    spec.entries.push_back(app.KeysEntry(1));
    WriterEntry x = Entry("x.dll", good);
    if (damaged) x.packed = Damaged(DeflateBytes(good, 9), 10);
    spec.entries.push_back(x);
    const Outcome o = RunUpdater(app.WritePackage(spec), {});
    EXPECT_TRUE(o.waited);
    EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"prog.exe", "x.dll"}));
    if (damaged) {
      EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path("x.dll")));
      EXPECT_EQ(Text(ReadFileOrEmpty(app.Path("x.dll"))), "previous");
    } else {
      EXPECT_EQ(o.status, texts::kUpdateInstalledText);
      EXPECT_EQ(ReadFileOrEmpty(app.Path("x.dll")), good);
    }
  }
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
    const Outcome o = RunUpdater(app.WritePackage(spec), {});
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
  const Outcome o = RunUpdater(app.WritePackage(spec), {});
  EXPECT_TRUE(o.waited);
  EXPECT_EQ(o.status, Format(texts::kFileFailedFormat, app.Path(longName)));
  EXPECT_EQ(ListFolder(app.folder()), (std::vector<std::string>{"ok.dll", "prog.exe"}));
  EXPECT_EQ(app.Level(), kNoLevel);
}

}  // namespace
