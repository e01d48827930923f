// The worker thread's frame: the state shared with the window thread, the status line and the
// end steps. Win32 only.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// 0 working; 1 finished, waiting for the click on button 1; 2 leave. Only grows. Written by the
// process entry (0), the end steps (1 or 2) and the dialog procedure (2); whole-word accesses.
extern std::atomic<int32_t> RunState;

// The progress window; set by the process entry before the worker starts, then only read.
extern HWND DialogWindow;

// The worker's end flag: set at its start, cleared by a successful build and by a declined
// question. The end steps turn it into RunState 1 (set) or 2 (cleared).
extern int waitForUser;

// The process exit code (shell/exit_codes.h), set by the worker before its end steps; the
// process entry returns it once the worker has ended.
extern int ExitCode;

// Control ids of the progress window.
constexpr int IDD_PROGRESS = 101;
constexpr int IDI_APP = 2000;
constexpr int IDC_STATUS = 1000;
constexpr int IDC_DETAIL = 1001;
constexpr int IDC_BUTTON = 1;  // IDOK: "Done", then "OK"

// printf-style: formats into a 65,536-byte buffer (a longer result is cut) and makes it the
// text of the status line, and writes it to the log. In a silent run there is no window: the
// text goes to the log only. Ordered, not waited for: the text goes to the window thread as a
// kStatusTextMessage and ShowStatus returns at once, so that a run of many small files does not
// wait for a repaint per text. Texts are applied in the order shown, and before any later
// synchronous window call of the worker returns (the end steps' button change among them), so
// the last text is the one that stays. Only the worker calls it.
void ShowStatus(const char* format, ...);

// Asks a question in a message box owned by the progress window (MessageBoxA with style) and
// logs the question and its answer. In a silent run no box is shown and the answer is
// silentAnswer. Returns the answer (IDOK, IDCANCEL, ...). Only the worker calls it.
int AskUser(const char* text, const char* caption, UINT style, int silentAnswer);

// The message that carries a status text to the window thread: lParam is a malloc'd
// NUL-terminated text, which ApplyStatusText shows in control IDC_STATUS and frees.
constexpr UINT kStatusTextMessage = WM_APP + 1;

// The window thread's side of kStatusTextMessage: shows text (lParam) in dialog's status line
// and frees it.
void ApplyStatusText(HWND dialog, LPARAM text);

// The process entry's first step: splits commandLine (GetCommandLineA) into ArgTable, takes the
// switches out (Switches), opens the log (the /LOG= path, or in a silent run the default log)
// and logs the command line and the mode. 1, or 0 when the log that /LOG= names cannot be
// opened: the worker then refuses the run with exit_codes::kLogFailed.
int PrepareRun(const char* commandLine);

// The worker thread's routine, started once PrepareRun has parsed the command line (its argument
// is unused). Chooses the run mode from ArgTable and performs it. Ends its own thread through
// the end steps; never returns.
DWORD WINAPI UpdateWorker(LPVOID);
