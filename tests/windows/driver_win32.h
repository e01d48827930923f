// Test driver: runs RL_PATCH.EXE (or another program) in the Wine prefix as a user would, finds
// its windows by process, reads and presses what a user reads and presses. Every wait polls in
// short steps up to a generous limit, so a passing test is fast and a failing one ends.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// A started process and, once found, its progress window. Handles are owned by the test, which
// calls KillIfRunning at the end (it also closes them).
struct UpdaterRun {
  PROCESS_INFORMATION process{};
  HWND dialog = nullptr;
};

// Starts exePath with exactly this command line (token 0 included, as given; an empty string
// gives the child an empty command line) in workingDir when not null. False when CreateProcess
// fails three times (the error of each try goes to stderr).
bool StartProcess(const std::string& exePath, const std::string& commandLine, UpdaterRun& run,
                  const char* workingDir = nullptr);

// The same, but the worker thread of RL_PATCH.EXE is held suspended from its creation, before it
// runs a single instruction: the process is started under the debugger API, the first thread
// created once the progress window exists is suspended, then the driver detaches. workerThread
// receives that thread (the caller resumes it with ResumeThread and closes it). False when any
// step fails; the process is then killed.
bool StartProcessHoldingWorker(const std::string& exePath, const std::string& commandLine,
                               UpdaterRun& run, HANDLE& workerThread, DWORD timeoutMs);

// The RL_PATCH.EXE under test: the PINECONE_RL_PATCH environment variable, else RL_PATCH.EXE
// next to the test executable.
std::string RlPatchPath();

// The folder of the running test executable, with a trailing backslash.
std::string TestExeFolder();

// The progress window of that process (a visible dialog of class #32770 with a status control
// 1000); stores it in run.dialog. Null after timeoutMs.
HWND WaitForDialog(UpdaterRun& run, DWORD timeoutMs);

// The text of control id of window (WM_GETTEXT, bytes as the ANSI side gives them); "" when the
// control does not exist.
std::string ControlText(HWND window, int id);
// The same text as the window holds it, in UTF-16: shows what the ANSI bytes became on screen.
std::wstring ControlTextW(HWND window, int id);
bool ControlVisible(HWND window, int id);

// Polls until the text of control id equals text. False after timeoutMs.
bool WaitForControlText(HWND window, int id, const std::string& text, DWORD timeoutMs);

// Button 1 visible and reading "OK": the run has ended with RunState 1.
bool WaitForFinished(UpdaterRun& run, DWORD timeoutMs);

// A visible dialog (#32770) of the process other than its progress window, e.g. a message box.
HWND WaitForMessageBox(UpdaterRun& run, DWORD timeoutMs);

std::string WindowCaption(HWND window);
// The message box's text (its static control 0xFFFF).
std::string MessageBoxText(HWND box);

// A click on button id of window (BM_CLICK, sent; returns once the window's thread handled it or
// after 5 s).
void PressButton(HWND window, int id);

// Posts a message to the window, as input would arrive (does not wait).
void PostToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Sends a message and waits at most timeoutMs for the window's thread to answer; false on timeout.
bool SendToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs);
// Keyboard input through SendInput after bringing window to the foreground: vk pressed and
// released, with Alt held when withAlt.
void TypeKey(HWND window, WORD vk, bool withAlt);

// The window's rectangle in screen pixels, frame included.
RECT WindowRect(HWND window);

// Waits for the process to end; exitCode receives its exit code. False after timeoutMs.
bool WaitForExit(UpdaterRun& run, DWORD timeoutMs, DWORD& exitCode);

// True while the process has not ended (checked once, no waiting).
bool IsRunning(const UpdaterRun& run);

// Cleanup for every test: terminates the process when it still runs, closes its handles.
void KillIfRunning(UpdaterRun& run);

// Waits ms milliseconds while letting nothing else happen in this thread.
void Pause(DWORD ms);

// The Windows address space the process uses, in KB: every committed region, and every view of
// a file or image whether committed or not; regions only reserved for private use (the unused
// rest of stacks and heaps, and what Wine reserves for itself, which in a 32-bit process can be
// gigabytes and may come at any moment) are left out. 0 when it cannot be read.
uint64_t AddressSpaceInUseKb(const UpdaterRun& run);

// Peak memory of a process as Linux counts it. Under Wine every Windows process is a Linux
// process, whose /proc entries the test reads through drive Z:; Wine shows the Windows command
// line as the Linux one, so a process is found by a token of its command line. VmPeak includes
// the address space Wine reserves at the start for the Windows side (most of it, in a 32-bit
// process), which views of files then take without changing it; VmHWM counts what was resident.
struct UnixMemory {
  uint64_t peakVirtualKb = 0;   // VmPeak: the high-water mark of the address space mapped
  uint64_t peakResidentKb = 0;  // VmHWM: the high-water mark of memory resident
};
bool ReadUnixMemory(const std::string& token, UnixMemory& memory);

// What a user saw in one run, played by PlayUser.
struct MessageBoxSeen {
  std::string caption;
  std::string text;
};
struct UserOutcome {
  bool started = false;
  std::vector<MessageBoxSeen> boxes;  // every message box, in order
  bool waited = false;  // ended with RunState 1: button "OK" shown, the window waiting
  std::string status;   // the status line then
  bool exited = false;
  DWORD exitCode = 1234;
  bool exitedBeforeClick = false;  // the window closed by itself (RunState 2)
};

// Runs exePath with commandLine and plays the user: the n-th message box gets answers[n]
// (Cancel beyond the list); a window whose button 1 reads "OK" and that is still there
// closeGraceMs later (a run ending with RunState 2 shows "OK" for an instant) is taken as
// waiting and gets the click. Returns once the process has ended or timeoutMs has passed.
UserOutcome PlayUser(const std::string& exePath, const std::string& commandLine,
                     const std::vector<int>& answers = {}, DWORD closeGraceMs = 100,
                     DWORD timeoutMs = 20000);

// What an unattended run showed: it is watched from start to end for any window of its own.
struct SilentOutcome {
  bool started = false;
  bool exited = false;
  DWORD exitCode = 1234;
  int visibleWindows = 0;  // visible top-level windows of the process seen, counted once each
  int dialogs = 0;         // dialogs (#32770: the progress window, a message box), shown or not
};

// Runs exePath with commandLine (in workingDir when not null) and watches it until it ends or
// timeoutMs has passed (it is then killed), looking for windows of the process every few
// milliseconds.
SilentOutcome RunUnattended(const std::string& exePath, const std::string& commandLine,
                            DWORD timeoutMs = 20000, const char* workingDir = nullptr);
