// The process entry, the progress window's dialog procedure and the message loop; the image's
// entry point, which restricts the DLL search before anything else runs, and its
// load-configuration record.
#include <windows.h>

#include "shell/command_line.h"
#include "shell/exit_codes.h"
#include "shell/texts.h"
#include "shell/worker.h"

namespace {

// The worker's stack: 64 KiB committed at once, inside the image's stack reservation
// (SizeOfStackReserve, 2 MiB; cmake/product.cmake). The worker's message boxes run their modal
// loops on this stack, and input-method, accessibility and hook DLLs run their code there too, so
// 64 KiB must not be all the stack it can ever have.
constexpr SIZE_T kWorkerStackCommit = 65536;

// Centres the window on the primary screen; the quotients truncate toward zero, so a window
// larger than the screen lands at a negative position.
void CentreOnScreen(HWND dialog) {
  RECT rect;
  GetWindowRect(dialog, &rect);
  const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  const int x = (screenWidth - (rect.right - rect.left)) / 2;
  const int y = (screenHeight - (rect.bottom - rect.top)) / 2;
  SetWindowPos(dialog, nullptr, x, y, -1, -1, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemTextA(dialog, IDC_STATUS, "");
      SetDlgItemTextA(dialog, IDC_DETAIL, "");
      SetDlgItemTextA(dialog, IDC_BUTTON, texts::kButtonDone);
      CentreOnScreen(dialog);
      return FALSE;  // no keyboard focus is set
    case WM_COMMAND:
      // Only a click on button 1 after the run has ended closes the window; the close box,
      // Alt+F4 and Escape arrive as id 2 and change nothing.
      if (HIWORD(wParam) == 0 && LOWORD(wParam) == IDC_BUTTON && RunState.load() != 0) {
        RunState.store(2);
        return TRUE;
      }
      return FALSE;
    case kStatusTextMessage:
      ApplyStatusText(dialog, lParam);
      return TRUE;
    default:
      return FALSE;
  }
}

#ifdef PINECONE_BENCH_SPINNING_LOOP
// The old loop, kept only for the idle-CPU benchmark (bench/idle_cpu.sh builds RL_PATCH_SPIN.EXE
// with it): polls without ever blocking, so a waiting window keeps a core busy.
void MessageLoop(HANDLE) {
  MSG msg;
  while (RunState.load() < 2) {
    while (PeekMessageA(&msg, DialogWindow, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
}
#else
// Serves the window until RunState reaches 2. Blocks while idle instead of polling: the
// worker's window calls arrive as sent messages and wake the wait, and so does the worker's
// end, as long as its thread handle is among the objects waited on. Once the worker has ended
// its handle stays signalled, so it must be left out from then on or the wait would return at
// once, forever.
void MessageLoop(HANDLE worker) {
  bool workerRunning = worker != nullptr;
  MSG msg;
  while (RunState.load() < 2) {
    while (PeekMessageA(&msg, DialogWindow, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (RunState.load() >= 2) break;
    const DWORD count = workerRunning ? 1 : 0;
    const DWORD woke = MsgWaitForMultipleObjects(count, &worker, FALSE, INFINITE, QS_ALLINPUT);
    if (workerRunning && woke == WAIT_OBJECT_0) workerRunning = false;
  }
}
#endif

// Restricts the DLL search of the process to System32. The updater runs elevated from wherever
// the user saved it, often a Downloads folder that anything can drop a DLL into, and Windows loads
// DLLs late on behalf of a window (themes, input methods, accessibility): a file beside the
// updater named like one of them would otherwise run with administrator rights.
// SetDefaultDllDirectories exists from Windows 8 (on 7 with KB2533623) and is looked up, so that
// the program still starts without it; then SetDllDirectoryA("") at least takes the current
// directory out of the search.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  // Through void(*)(): the one function pointer type that every other converts to without a
  // -Wcast-function-type warning.
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void (*)()>(
      kernel32 ? GetProcAddress(kernel32, "SetDefaultDllDirectories") : nullptr));
  if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  SetDllDirectoryA("");
}

}  // namespace

// The image's load-configuration record; after the link it is the image's load-configuration
// directory (cmake/pe_load_config.py). Its dependent-load flags make the loader look for the
// DLLs the image imports in System32 only, before the first instruction of the program runs
// (Windows 10 1607 and later read them; earlier versions ignore the field). Everything else is
// zero: no security cookie (the program is built without stack protection), and on x86 no SafeSEH
// handler table, which the loader reads as "handlers not restricted", exactly as for an image
// without the record. Its size is that of these headers' IMAGE_LOAD_CONFIG_DIRECTORY (72 bytes on
// x86, 112 on x64), which name the dependent-load flags Reserved1. Constant-initialised
// (constexpr), so it is in the file as it is, with no code to run.
constexpr IMAGE_LOAD_CONFIG_DIRECTORY LoadConfiguration() {
  IMAGE_LOAD_CONFIG_DIRECTORY record{};
  record.Size = sizeof record;
  record.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
  return record;
}
extern "C" __attribute__((used)) constexpr IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used =
    LoadConfiguration();

namespace {

// A silent run: no window and no message box, not even the system's own boxes for a drive
// without a disk; the worker runs while this thread waits for it without using the processor.
int RunSilently(char* commandLine) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  RunState.store(0);
  HANDLE worker = CreateThread(nullptr, kWorkerStackCommit, UpdateWorker, commandLine, 0, nullptr);
  if (!worker) return exit_codes::kFilesFailed;  // nothing was done, but nothing succeeded
  WaitForSingleObject(worker, INFINITE);
  CloseHandle(worker);
  return ExitCode;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  char* commandLine = GetCommandLineA();
  PrepareRun(commandLine);
  if (Switches.silent) return RunSilently(commandLine);

  RunState.store(0);
  DialogWindow =
      CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, DialogProc, 0);
  ShowWindow(DialogWindow, SW_SHOW);
  HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
  SendMessageA(DialogWindow, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(DialogWindow, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  ShowWindow(GetDlgItem(DialogWindow, IDC_BUTTON), SW_HIDE);

  HANDLE worker = CreateThread(nullptr, kWorkerStackCommit, UpdateWorker, commandLine, 0, nullptr);
  MessageLoop(worker);
  if (worker) {
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
  }
  DestroyWindow(DialogWindow);
  return ExitCode;
}

// The image's entry point, named to the linker (cmake/product.cmake). The program has no C
// runtime start-up code: msvcrt initialises itself when the loader loads it, the program has no
// constructors or destructors of static objects to run (the build check makes sure), and
// WinMain's result is the exit code.
extern "C" __attribute__((force_align_arg_pointer)) DWORD WINAPI RlPatchStart(void*) {
  RestrictDllSearch();
  ExitProcess(static_cast<UINT>(
      WinMain(GetModuleHandleA(nullptr), nullptr, GetCommandLineA(), SW_SHOWDEFAULT)));
}
