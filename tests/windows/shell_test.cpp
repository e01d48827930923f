// The application shell under Wine, driven through its real window: command lines that end with
// the usage text, the click rule, the keys and commands that must not close the window, the
// window's place on the screen and the resources in the executable.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver_win32.h"
#include "fixtures_win32.h"
#include "shell/exit_codes.h"
#include "shell/texts.h"
#include "shell/worker.h"
#include "stand_in_win32.h"

namespace {

constexpr DWORD kTimeoutMs = 20000;
// How long a window that must stay is watched after something that must not close it.
constexpr DWORD kStaysMs = 400;

// Starts the updater, expects the usage text with "OK" shown and the window waiting, then
// clicks "OK" and expects exitCode.
void ExpectUsageThenOkEnds(const std::string& commandLine, int exitCode = exit_codes::kUsage) {
  UpdaterRun run;
  ASSERT_TRUE(StartProcess(RlPatchPath(), commandLine, run));
  ASSERT_NE(WaitForDialog(run, kTimeoutMs), nullptr);
  EXPECT_TRUE(WaitForFinished(run, kTimeoutMs));
  EXPECT_EQ(ControlText(run.dialog, 1000), texts::kUsageText);
  EXPECT_EQ(ControlText(run.dialog, 1001), "");
  EXPECT_EQ(WindowCaption(run.dialog), texts::kDialogCaption);
  Pause(kStaysMs);
  EXPECT_TRUE(IsRunning(run)) << "the window must wait for the click";
  PressButton(run.dialog, 1);
  DWORD exited = 1;
  EXPECT_TRUE(WaitForExit(run, kTimeoutMs, exited));
  EXPECT_EQ(exited, static_cast<DWORD>(exitCode));
  KillIfRunning(run);
}

std::string ManyTokens(int count, const char* fourth) {
  std::string line = "RL_PATCH.EXE";
  for (int i = 1; i < count; ++i) {
    line += ' ';
    line += i == 3 ? std::string(fourth) : "token" + std::to_string(i);
  }
  return line;
}

TEST(ShellUsage, CommandLinesThatShowTheUsageTextAndWaitForOk) {
  struct Case {
    const char* name;
    std::string commandLine;
    int exitCode;
  };
  const int usage = exit_codes::kUsage, refused = exit_codes::kPackageRefused;
  const Case cases[] = {
      {"another fourth token", "RL_PATCH.EXE a b NOTMAKEEXE", usage},
      {"fourth in lower case", "RL_PATCH.EXE a b makeexe", usage},
      {"fourth with a trailing letter", "RL_PATCH.EXE a b MAKEEXEX", usage},
      {"five tokens, another fourth", "RL_PATCH.EXE a b c MAKEEXE", usage},
      {"300 tokens, another fourth", ManyTokens(300, "x"), usage},
      {"a package file that does not exist", "RL_PATCH.EXE Z:\\nonexistent\\missing.pkg", refused},
      // Wine hands a child started with an empty command line its quoted path instead, so this
      // is self-contained mode on a file without a package; the split of a truly empty line is
      // covered by the native tests.
      {"an empty command line", "", refused},
      {"unknown slash tokens are tokens", "RL_PATCH.EXE /X /Y /SILENT", usage},
      {"a log that cannot be opened", "RL_PATCH.EXE /LOG=Z:\\nonexistent\\dir\\u.log",
       exit_codes::kLogFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectUsageThenOkEnds(c.commandLine, c.exitCode);
  }
}

TEST(ShellUsage, LowerCaseMakeexeWritesNothing) {
  TempFolder folder("shell_makeexe");
  const std::string package = folder / "input.pkg";
  const std::string output = folder / "output.exe";
  ASSERT_TRUE(WriteFileText(package, "not a package, but a file that exists"));
  ExpectUsageThenOkEnds("RL_PATCH.EXE \"" + package + "\" \"" + output + "\" makeexe");
  EXPECT_FALSE(PathExists(output));
  EXPECT_EQ(ListFolder(folder.path()), std::vector<std::string>{"input.pkg"});
}

// A run whose worker is held before its first instruction: the window exists, RunState is 0.
class ShellHeldWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartProcessHoldingWorker(RlPatchPath(), "RL_PATCH.EXE a b other", run_, worker_,
                                          kTimeoutMs));
    ASSERT_NE(WaitForDialog(run_, kTimeoutMs), nullptr);
  }
  void TearDown() override {
    if (worker_) {
      ResumeThread(worker_);
      CloseHandle(worker_);
    }
    KillIfRunning(run_);
  }
  void Release() {
    ResumeThread(worker_);
    CloseHandle(worker_);
    worker_ = nullptr;
  }
  UpdaterRun run_;
  HANDLE worker_ = nullptr;
};

TEST_F(ShellHeldWorker, WindowIsInitialisedBeforeTheWorkerRuns) {
  // WM_INITDIALOG emptied both statics and set "Done"; the entry hid button 1.
  EXPECT_EQ(ControlText(run_.dialog, 1000), "");
  EXPECT_EQ(ControlText(run_.dialog, 1001), "");
  EXPECT_EQ(ControlText(run_.dialog, 1), texts::kButtonDone);
  EXPECT_FALSE(ControlVisible(run_.dialog, 1));
  EXPECT_TRUE(IsWindowVisible(run_.dialog));
  // The loop serves the window while the worker works.
  EXPECT_TRUE(SendToWindow(run_.dialog, WM_NULL, 0, 0, 5000));
}

TEST_F(ShellHeldWorker, ClickOnButtonOneWhileWorkingChangesNothing) {
  PressButton(run_.dialog, 1);
  HWND button = GetDlgItem(run_.dialog, 1);
  SendToWindow(run_.dialog, WM_COMMAND, MAKEWPARAM(1, BN_CLICKED), reinterpret_cast<LPARAM>(button),
               5000);
  Pause(kStaysMs);
  ASSERT_TRUE(IsRunning(run_));
  // Had the click set RunState 2, the loop would have ended: the window thread would wait for
  // the worker and the worker's window calls would never be served.
  Release();
  ASSERT_TRUE(WaitForFinished(run_, kTimeoutMs));
  EXPECT_EQ(ControlText(run_.dialog, 1000), texts::kUsageText);
  Pause(kStaysMs);
  EXPECT_TRUE(IsRunning(run_));
  PressButton(run_.dialog, 1);
  DWORD exitCode = 1;
  EXPECT_TRUE(WaitForExit(run_, kTimeoutMs, exitCode));
  EXPECT_EQ(exitCode, static_cast<DWORD>(exit_codes::kUsage));
}

// Everything a user might try to close the waiting window with, other than button 1.
struct CloseAttempt {
  const char* name;
  std::function<void(HWND dialog)> act;
};

std::vector<CloseAttempt> CloseAttempts() {
  auto post = [](UINT message, WPARAM wParam, LPARAM lParam, bool toButton = false) {
    return [=](HWND dialog) {
      PostToWindow(toButton ? GetDlgItem(dialog, 1) : dialog, message, wParam, lParam);
    };
  };
  constexpr LPARAM kAltDown = LPARAM{1} << 29;
  return {
      {"close box (SC_CLOSE)", post(WM_SYSCOMMAND, SC_CLOSE, 0)},
      {"WM_CLOSE", post(WM_CLOSE, 0, 0)},
      {"IDCANCEL command", post(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0)},
      {"command of another id", post(WM_COMMAND, MAKEWPARAM(1000, 0), 0)},
      {"button 1 with another notification",
       [](HWND dialog) {
         PostToWindow(dialog, WM_COMMAND, MAKEWPARAM(1, BN_DOUBLECLICKED),
                      reinterpret_cast<LPARAM>(GetDlgItem(dialog, 1)));
       }},
      {"Alt+F4 posted", post(WM_SYSKEYDOWN, VK_F4, kAltDown | 1)},
      {"Escape posted to the window", post(WM_KEYDOWN, VK_ESCAPE, 1)},
      {"Escape posted to button 1", post(WM_KEYDOWN, VK_ESCAPE, 1, true)},
      {"Enter posted to the window", post(WM_KEYDOWN, VK_RETURN, 1)},
      {"Enter posted to button 1", post(WM_KEYDOWN, VK_RETURN, 1, true)},
      {"Enter as a character to button 1", post(WM_CHAR, '\r', 1, true)},
      {"Alt+F4 typed", [](HWND dialog) { TypeKey(dialog, VK_F4, true); }},
      {"Escape typed", [](HWND dialog) { TypeKey(dialog, VK_ESCAPE, false); }},
      {"Enter typed", [](HWND dialog) { TypeKey(dialog, VK_RETURN, false); }},
  };
}

TEST(ShellWindow, NothingButButtonOneClosesTheWaitingWindow) {
  for (const CloseAttempt& attempt : CloseAttempts()) {
    SCOPED_TRACE(attempt.name);
    UpdaterRun run;
    ASSERT_TRUE(StartProcess(RlPatchPath(), "RL_PATCH.EXE a b other", run));
    ASSERT_TRUE(WaitForFinished(run, kTimeoutMs));
    attempt.act(run.dialog);
    Pause(kStaysMs);
    EXPECT_TRUE(IsRunning(run));
    EXPECT_TRUE(IsWindowVisible(run.dialog));
    // Still served, and button 1 still ends it.
    PressButton(run.dialog, 1);
    DWORD exitCode = 1;
    EXPECT_TRUE(WaitForExit(run, kTimeoutMs, exitCode));
    EXPECT_EQ(exitCode, static_cast<DWORD>(exit_codes::kUsage));
    KillIfRunning(run);
  }
}

TEST(ShellWindow, IsCentredOnThePrimaryScreen) {
  UpdaterRun run;
  ASSERT_TRUE(StartProcess(RlPatchPath(), "RL_PATCH.EXE a b other", run));
  ASSERT_TRUE(WaitForFinished(run, kTimeoutMs));
  const RECT rect = WindowRect(run.dialog);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
  EXPECT_EQ(rect.left, (screenWidth - width) / 2);
  EXPECT_EQ(rect.top, (screenHeight - height) / 2);
  KillIfRunning(run);
}

TEST(ShellWindow, StatusTextBytesAreTheProgramsOwn) {
  // The ANSI code page of the prefix is Windows-1251, so the Russian texts that later runs show
  // arrive as those bytes; the usage text comes through byte for byte.
  EXPECT_EQ(GetACP(), 1251u);
  UpdaterRun run;
  ASSERT_TRUE(StartProcess(RlPatchPath(), "RL_PATCH.EXE a b other", run));
  ASSERT_TRUE(WaitForFinished(run, kTimeoutMs));
  const std::string status = ControlText(run.dialog, 1000);
  EXPECT_EQ(status.size(), std::strlen(texts::kUsageText));
  EXPECT_EQ(status, texts::kUsageText);
  EXPECT_EQ(ControlTextW(run.dialog, 1000), L"Usage: RL_PATCH.EXE resource_nm [output_nm MAKEEXE]");
  KillIfRunning(run);
}

// ShowStatus as the worker calls it: from another thread, onto the status control of
// DialogWindow, here a window of the test's own served by the test's thread.
class ShellStatus : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(standIn_.window(), nullptr); }

  struct Call {
    const char* format;
    const char* argument;  // null: the format alone, as the usage text is shown
  };
  static DWORD WINAPI CallShowStatus(LPVOID param) {
    const Call* call = static_cast<const Call*>(param);
    if (call->argument) {
      ShowStatus(call->format, call->argument);
    } else {
      ShowStatus(call->format);
    }
    return 0;
  }
  // Runs ShowStatus on a thread of its own; false when that thread did not end within 10 s. The
  // text is applied by this thread, while it serves the window until the thread has ended.
  bool ShowFromWorker(const char* format, const char* argument) {
    Call call{format, argument};
    return standIn_.RunOnWorker(CallShowStatus, &call, 10000);
  }
  StandInWindow standIn_{&DialogWindow};
};

TEST_F(ShellStatus, ShowsExactlyTheLastTextAndCutsWhatDoesNotFit) {
  const std::string tooLong(70000, 'A');
  const std::string longest(65535, 'B');
  struct Case {
    const char* name;
    const char* format;
    const char* argument;
    std::string shown;
  };
  const Case cases[] = {
      {"format alone", texts::kUsageText, nullptr, texts::kUsageText},
      {"Cyrillic format with a name", texts::kUpdatingFileFormat, "data\\\xCF.dll",
       "\xCE\xE1\xED\xEE\xE2\xEB\xFF\xE5\xEC \xF4\xE0\xE9\xEB data\\\xCF.dll...."},
      {"a longer text is cut to the buffer", "%s", tooLong.c_str(), std::string(65535, 'A')},
      {"a shorter text replaces it whole", "%s", "short", "short"},
      {"the longest that fits", "%s", longest.c_str(), longest},
      {"an empty text", "", nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(ShowFromWorker(c.format, c.argument));
    const std::string shown = ControlText(standIn_.window(), 1000);
    EXPECT_EQ(shown.size(), c.shown.size());
    EXPECT_TRUE(shown == c.shown);  // (not EXPECT_EQ: the texts are too long to print)
  }
}

// Reading the classic dialog template and the icon out of the executable's resources.
class ShellResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA(RlPatchPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << RlPatchPath();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  std::vector<uint8_t> Resource(LPCSTR type, int id) {
    HRSRC info = FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (!info) return {};
    HGLOBAL loaded = LoadResource(module_, info);
    const auto* bytes = static_cast<const uint8_t*>(LockResource(loaded));
    if (!bytes) return {};
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(module_, info));
  }
  HMODULE module_ = nullptr;
};

// A little-endian reader over a resource; reads past the end yield 0 and set overrun.
struct Reader {
  const std::vector<uint8_t>& bytes;
  size_t at = 0;
  bool overrun = false;
  uint16_t Word() {
    if (at + 2 > bytes.size()) {
      overrun = true;
      return 0;
    }
    const uint16_t value = static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
    at += 2;
    return value;
  }
  uint32_t Dword() {
    const uint32_t low = Word();
    return low | static_cast<uint32_t>(Word()) << 16;
  }
  int16_t Short() { return static_cast<int16_t>(Word()); }
  // A NUL-terminated UTF-16 string (ASCII content expected) or an ordinal 0xFFFF nnnn, which
  // is given as "#nnnn".
  std::string StringOrOrdinal() {
    const uint16_t first = Word();
    if (first == 0xFFFF) return "#" + std::to_string(Word());
    std::string text;
    for (uint16_t c = first; c != 0 && !overrun; c = Word()) text += static_cast<char>(c);
    return text;
  }
  void AlignDword() { at = (at + 3) & ~size_t{3}; }
};

TEST_F(ShellResources, DialogTemplateIsTheClassicOneAsDesigned) {
  const std::vector<uint8_t> dialog = Resource(MAKEINTRESOURCEA(5) /* RT_DIALOG */, 101);
  ASSERT_FALSE(dialog.empty());
  Reader r{dialog};
  // A classic template starts with its style; an extended one with 0x0001 0xFFFF.
  const uint32_t style = r.Dword();
  EXPECT_EQ(style,
            static_cast<uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
  EXPECT_EQ(r.Dword(), 0u) << "extended style";
  const uint16_t count = r.Word();
  EXPECT_EQ(count, 4);
  EXPECT_EQ(r.Short(), 0);
  EXPECT_EQ(r.Short(), 0);
  EXPECT_EQ(r.Short(), 300);
  EXPECT_EQ(r.Short(), 110);
  EXPECT_EQ(r.StringOrOrdinal(), "") << "menu";
  EXPECT_EQ(r.StringOrOrdinal(), "") << "class";
  EXPECT_EQ(r.StringOrOrdinal(), "Pinecone updater");
  EXPECT_EQ(r.Word(), 8) << "point size";
  EXPECT_EQ(r.StringOrOrdinal(), "MS Sans Serif");

  struct Item {
    const char* className;  // the predefined classes are stored as ordinals
    uint16_t id;
    const char* text;
    uint32_t style;
    int16_t x, y, cx, cy;
  };
  const uint32_t child = WS_CHILD | WS_VISIBLE;
  const Item expected[] = {
      {"#128", 1, "Done", child | WS_TABSTOP | BS_DEFPUSHBUTTON, 128, 93, 50, 14},
      {"#128", 0xFFFF, "", child | BS_GROUPBOX, 13, 17, 274, 70},
      {"#130", 1000, "Static1", child | WS_GROUP | SS_LEFT, 25, 27, 251, 16},
      {"#130", 1001, "Static2", child | WS_GROUP | SS_LEFT, 25, 47, 251, 36},
  };
  for (const Item& item : expected) {
    SCOPED_TRACE(item.text);
    r.AlignDword();
    EXPECT_EQ(r.Dword(), item.style);
    EXPECT_EQ(r.Dword(), 0u) << "extended style";
    EXPECT_EQ(r.Short(), item.x);
    EXPECT_EQ(r.Short(), item.y);
    EXPECT_EQ(r.Short(), item.cx);
    EXPECT_EQ(r.Short(), item.cy);
    EXPECT_EQ(r.Word(), item.id);
    EXPECT_EQ(r.StringOrOrdinal(), item.className);
    EXPECT_EQ(r.StringOrOrdinal(), item.text);
    EXPECT_EQ(r.Word(), 0) << "creation data";
  }
  EXPECT_FALSE(r.overrun);
  EXPECT_LE(dialog.size() - r.at, 3u) << "nothing after the last control";
}

TEST_F(ShellResources, IconGroupHoldsOne32x32SixteenColourImageOf744Bytes) {
  const std::vector<uint8_t> group = Resource(MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */, 2000);
  ASSERT_EQ(group.size(), 6u + 14u);
  Reader r{group};
  EXPECT_EQ(r.Word(), 0) << "reserved";
  EXPECT_EQ(r.Word(), 1) << "type: icon";
  EXPECT_EQ(r.Word(), 1) << "image count";
  EXPECT_EQ(group[6], 32) << "width";
  EXPECT_EQ(group[7], 32) << "height";
  EXPECT_EQ(group[8], 16) << "colours";
  EXPECT_EQ(group[9], 0) << "reserved";
  r.at = 10;
  EXPECT_EQ(r.Word(), 1) << "planes";
  EXPECT_EQ(r.Word(), 4) << "bits per pixel";
  EXPECT_EQ(r.Dword(), 744u) << "bytes";
  EXPECT_EQ(r.Word(), 1) << "image id";

  const std::vector<uint8_t> image = Resource(MAKEINTRESOURCEA(3) /* RT_ICON */, 1);
  ASSERT_EQ(image.size(), 744u);
  Reader header{image};
  EXPECT_EQ(header.Dword(), 40u) << "BITMAPINFOHEADER";
  EXPECT_EQ(header.Dword(), 32u) << "width";
  EXPECT_EQ(header.Dword(), 64u) << "height: XOR and AND masks";
  EXPECT_EQ(header.Word(), 1) << "planes";
  EXPECT_EQ(header.Word(), 4) << "bits per pixel";
  EXPECT_EQ(header.Dword(), 0u) << "uncompressed";
  // A drawing, not a placeholder: the colour bitmap (after the header and the 16-entry palette)
  // uses several colours.
  std::vector<bool> used(16, false);
  for (size_t at = 40 + 16 * 4; at < 40 + 16 * 4 + 32 * 16; ++at) {
    used[image[at] >> 4] = true;
    used[image[at] & 15] = true;
  }
  EXPECT_GE(std::count(used.begin(), used.end(), true), 4);

  // And the system accepts it as an icon.
  HICON icon =
      CreateIconFromResourceEx(const_cast<uint8_t*>(image.data()), static_cast<DWORD>(image.size()),
                               TRUE, 0x00030000, 32, 32, LR_DEFAULTCOLOR);
  EXPECT_NE(icon, nullptr);
  if (icon) DestroyIcon(icon);
}

}  // namespace
