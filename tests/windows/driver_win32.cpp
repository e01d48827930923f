#include "driver_win32.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kPollMs = 20;
constexpr UINT kSendTimeoutMs = 5000;
constexpr int kStatusControlId = 1000;

// Polls pred every kPollMs until it holds or timeoutMs has passed; one last check at the end.
template <typename Pred>
bool PollUntil(DWORD timeoutMs, Pred pred) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (true) {
    if (pred()) return true;
    if (GetTickCount64() >= deadline) return pred();
    Sleep(kPollMs);
  }
}

bool HasClass(HWND window, const char* className) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  return std::strcmp(name, className) == 0;
}

struct DialogSearch {
  DWORD processId;
  HWND exclude;      // a window to pass over (the progress window when looking for a box)
  bool needStatus;   // the progress window: it has the status control
  bool needVisible;  // shown windows only
  HWND found;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != search->processId || window == search->exclude) return TRUE;
  if (search->needVisible && !IsWindowVisible(window)) return TRUE;
  if (!HasClass(window, "#32770")) return TRUE;
  if (search->needStatus != (GetDlgItem(window, kStatusControlId) != nullptr)) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindProcessDialog(DWORD processId, HWND exclude, bool needStatus) {
  DialogSearch search{processId, exclude, needStatus, true, nullptr};
  EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The progress window exists from CreateDialogParamA on, before it is shown.
bool ProgressWindowExists(DWORD processId) {
  DialogSearch search{processId, nullptr, true, false, nullptr};
  EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
  return search.found != nullptr;
}

// A Linux absolute path (as ctest gives it) becomes its drive Z: form, which Wine maps to the
// Linux root; a Windows path is returned unchanged.
std::string WindowsPath(std::string path) {
  if (path.empty() || path[0] != '/') return path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return "Z:" + path;
}

void CloseRunHandles(UpdaterRun& run) {
  if (run.process.hThread) CloseHandle(run.process.hThread);
  if (run.process.hProcess) CloseHandle(run.process.hProcess);
  run.process = PROCESS_INFORMATION{};
  run.dialog = nullptr;
}

}  // namespace

bool StartProcess(const std::string& exePath, const std::string& commandLine, UpdaterRun& run,
                  const char* workingDir) {
  run = UpdaterRun{};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');  // CreateProcessA may write into the command line
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  // Under Wine, CreateProcess has failed once in a while for a child started right after the
  // previous one ended, and then worked for the next; a few tries keep that from failing a test
  // about something else, and the error is printed so that a lasting failure shows its cause.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) Sleep(250);
    if (CreateProcessA(exePath.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       workingDir, &startup, &run.process)) {
      return true;
    }
    std::fprintf(stderr, "CreateProcess(%s) failed with error %lu\n", exePath.c_str(),
                 static_cast<unsigned long>(GetLastError()));
    line.assign(commandLine.begin(), commandLine.end());
    line.push_back('\0');
  }
  return false;
}

bool StartProcessHoldingWorker(const std::string& exePath, const std::string& commandLine,
                               UpdaterRun& run, HANDLE& workerThread, DWORD timeoutMs) {
  run = UpdaterRun{};
  workerThread = nullptr;
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  if (!CreateProcessA(exePath.c_str(), line.data(), nullptr, nullptr, FALSE,
                      DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &run.process)) {
    return false;
  }
  DebugSetProcessKillOnExit(FALSE);
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  bool held = false;
  // Every debug event stops the whole process until it is continued, so the worker, announced
  // by its creation event, has not run yet when it is suspended here.
  while (!held && GetTickCount64() < deadline) {
    DEBUG_EVENT event{};
    if (!WaitForDebugEvent(&event, kPollMs * 5)) continue;
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case CREATE_THREAD_DEBUG_EVENT:
        if (ProgressWindowExists(event.dwProcessId)) {
          HANDLE thread = nullptr;
          DuplicateHandle(GetCurrentProcess(), event.u.CreateThread.hThread, GetCurrentProcess(),
                          &thread, 0, FALSE, DUPLICATE_SAME_ACCESS);
          if (thread && SuspendThread(thread) != static_cast<DWORD>(-1)) {
            workerThread = thread;
            held = true;
          } else if (thread) {
            CloseHandle(thread);
          }
        }
        break;
      case EXCEPTION_DEBUG_EVENT:
        // The loader's initial breakpoint is expected; anything else is the program's own.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  DebugActiveProcessStop(run.process.dwProcessId);
  if (!held) KillIfRunning(run);
  return held;
}

std::string RlPatchPath() {
  char value[MAX_PATH * 2] = {};
  const DWORD length = GetEnvironmentVariableA("PINECONE_RL_PATCH", value, sizeof value);
  if (length > 0 && length < sizeof value) return WindowsPath(value);
  return TestExeFolder() + "RL_PATCH.EXE";
}

std::string TestExeFolder() {
  char path[MAX_PATH * 2] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string folder(path, length);
  const size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

HWND WaitForDialog(UpdaterRun& run, DWORD timeoutMs) {
  HWND found = nullptr;
  PollUntil(timeoutMs, [&] {
    found = FindProcessDialog(run.process.dwProcessId, nullptr, true);
    return found != nullptr;
  });
  run.dialog = found;
  return found;
}

std::string ControlText(HWND window, int id) {
  HWND control = id == 0 ? window : GetDlgItem(window, id);
  if (!control) return {};
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                           &length)) {
    return {};
  }
  std::vector<char> text(length + 1, '\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
    return {};
  }
  return std::string(text.data(), copied);
}

std::wstring ControlTextW(HWND window, int id) {
  HWND control = id == 0 ? window : GetDlgItem(window, id);
  if (!control) return {};
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                           &length)) {
    return {};
  }
  std::vector<wchar_t> text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &copied)) {
    return {};
  }
  return std::wstring(text.data(), copied);
}

bool ControlVisible(HWND window, int id) {
  HWND control = GetDlgItem(window, id);
  return control && (GetWindowLongPtrA(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

bool WaitForControlText(HWND window, int id, const std::string& text, DWORD timeoutMs) {
  return PollUntil(timeoutMs, [&] { return ControlText(window, id) == text; });
}

bool WaitForFinished(UpdaterRun& run, DWORD timeoutMs) {
  if (!run.dialog && !WaitForDialog(run, timeoutMs)) return false;
  return PollUntil(timeoutMs, [&] {
    return ControlVisible(run.dialog, 1) && ControlText(run.dialog, 1) == "OK";
  });
}

HWND WaitForMessageBox(UpdaterRun& run, DWORD timeoutMs) {
  HWND found = nullptr;
  PollUntil(timeoutMs, [&] {
    found = FindProcessDialog(run.process.dwProcessId, run.dialog, false);
    return found != nullptr;
  });
  return found;
}

std::string WindowCaption(HWND window) { return ControlText(window, 0); }

std::string MessageBoxText(HWND box) { return ControlText(box, 0xFFFF); }

void PressButton(HWND window, int id) {
  HWND button = GetDlgItem(window, id);
  if (!button) return;
  DWORD_PTR result = 0;
  SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_NORMAL, kSendTimeoutMs, &result);
}

void PostToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  PostMessageA(window, message, wParam, lParam);
}

bool SendToWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD timeoutMs) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, timeoutMs, &result) != 0;
}

void TypeKey(HWND window, WORD vk, bool withAlt) {
  SetForegroundWindow(window);
  std::vector<INPUT> inputs;
  auto key = [&](WORD code, bool up) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = code;
    input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    inputs.push_back(input);
  };
  if (withAlt) key(VK_MENU, false);
  key(vk, false);
  key(vk, true);
  if (withAlt) key(VK_MENU, true);
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

RECT WindowRect(HWND window) {
  RECT rect{};
  GetWindowRect(window, &rect);
  return rect;
}

bool WaitForExit(UpdaterRun& run, DWORD timeoutMs, DWORD& exitCode) {
  exitCode = STILL_ACTIVE;
  if (!run.process.hProcess) return false;
  if (WaitForSingleObject(run.process.hProcess, timeoutMs) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(run.process.hProcess, &exitCode) != 0;
}

bool IsRunning(const UpdaterRun& run) {
  return run.process.hProcess && WaitForSingleObject(run.process.hProcess, 0) == WAIT_TIMEOUT;
}

void KillIfRunning(UpdaterRun& run) {
  if (IsRunning(run)) {
    TerminateProcess(run.process.hProcess, 1);
    WaitForSingleObject(run.process.hProcess, 5000);
  }
  CloseRunHandles(run);
}

void Pause(DWORD ms) { Sleep(ms); }

namespace {

// A whole /proc file: its size is not known in advance (it shows as 0), so it is read to its end.
std::string ReadProcFile(const std::string& path) {
  std::string text;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
  CloseHandle(file);
  return text;
}

// The number after "name:" in a /proc status text (kB for the Vm figures), or 0.
uint64_t StatusField(const std::string& status, const char* name) {
  const size_t at = status.find(std::string("\n") + name + ":");
  return at == std::string::npos
             ? 0
             : std::strtoull(status.c_str() + at + std::strlen(name) + 2, nullptr, 10);
}

}  // namespace

uint64_t AddressSpaceInUseKb(const UpdaterRun& run) {
  uint64_t bytes = 0;
  MEMORY_BASIC_INFORMATION region;
  uintptr_t at = 0;
  while (VirtualQueryEx(run.process.hProcess, reinterpret_cast<void*>(at), &region,
                        sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT || (region.State == MEM_RESERVE && region.Type != MEM_PRIVATE))
      bytes += region.RegionSize;
    const uintptr_t next = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    if (next <= at) break;
    at = next;
  }
  return bytes / 1024;
}

bool ReadUnixMemory(const std::string& token, UnixMemory& memory) {
  const std::string proc = "Z:\\proc\\";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((proc + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  int matches = 0;
  do {
    const std::string pid = found.cFileName;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string commandLine = ReadProcFile(proc + pid + "\\cmdline");
    if (commandLine.find(token) == std::string::npos) continue;
    const std::string status = ReadProcFile(proc + pid + "\\status");
    memory.peakVirtualKb = StatusField(status, "VmPeak");
    memory.peakResidentKb = StatusField(status, "VmHWM");
    ++matches;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return matches == 1 && memory.peakVirtualKb > 0;
}

UserOutcome PlayUser(const std::string& exePath, const std::string& commandLine,
                     const std::vector<int>& answers, DWORD closeGraceMs, DWORD timeoutMs) {
  UserOutcome outcome;
  UpdaterRun run{};
  if (!StartProcess(exePath, commandLine, run)) return outcome;
  outcome.started = true;
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    if (WaitForExit(run, 0, outcome.exitCode)) {
      outcome.exited = true;
      outcome.exitedBeforeClick = true;
      break;
    }
    if (HWND box = WaitForMessageBox(run, 20)) {
      const size_t n = outcome.boxes.size();
      outcome.boxes.push_back({WindowCaption(box), MessageBoxText(box)});
      PressButton(box, n < answers.size() ? answers[n] : IDCANCEL);
      continue;
    }
    if ((run.dialog || WaitForDialog(run, 20)) && WaitForFinished(run, 20)) {
      if (WaitForExit(run, closeGraceMs, outcome.exitCode)) {
        outcome.exited = true;
        outcome.exitedBeforeClick = true;
        break;
      }
      outcome.waited = true;
      outcome.status = ControlText(run.dialog, 1000);
      PressButton(run.dialog, 1);
      outcome.exited = WaitForExit(run, timeoutMs, outcome.exitCode);
      break;
    }
  }
  KillIfRunning(run);
  return outcome;
}

namespace {

struct WindowCensus {
  DWORD processId;
  std::vector<HWND>* visible;
  std::vector<HWND>* dialogs;
};

BOOL CALLBACK CountWindows(HWND window, LPARAM param) {
  auto* census = reinterpret_cast<WindowCensus*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != census->processId) return TRUE;
  auto note = [](std::vector<HWND>& seen, HWND w) {
    if (std::find(seen.begin(), seen.end(), w) == seen.end()) seen.push_back(w);
  };
  if (IsWindowVisible(window)) note(*census->visible, window);
  if (HasClass(window, "#32770")) note(*census->dialogs, window);
  return TRUE;
}

}  // namespace

SilentOutcome RunUnattended(const std::string& exePath, const std::string& commandLine,
                            DWORD timeoutMs, const char* workingDir) {
  SilentOutcome outcome;
  UpdaterRun run{};
  if (!StartProcess(exePath, commandLine, run, workingDir)) return outcome;
  outcome.started = true;
  std::vector<HWND> visible, dialogs;
  WindowCensus census{run.process.dwProcessId, &visible, &dialogs};
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (GetTickCount64() < deadline) {
    EnumWindows(CountWindows, reinterpret_cast<LPARAM>(&census));
    if (WaitForExit(run, 5, outcome.exitCode)) {
      outcome.exited = true;
      break;
    }
  }
  outcome.visibleWindows = static_cast<int>(visible.size());
  outcome.dialogs = static_cast<int>(dialogs.size());
  KillIfRunning(run);
  return outcome;
}
