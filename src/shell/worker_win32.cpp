#include "shell/worker.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/builder.h"
#include "package/handles_win32.h"
#include "package/package.h"
#include "shell/command_line.h"
#include "shell/exit_codes.h"
#include "shell/log_win32.h"
#include "shell/texts.h"
#include "shell/update_lock_win32.h"
#include "update/update.h"

std::atomic<int32_t> RunState{0};
HWND DialogWindow = nullptr;
int waitForUser = 0;
int ExitCode = exit_codes::kSuccess;

namespace {

constexpr size_t kStatusBufferSize = 65536;
// The longest path Windows hands out, in characters, and its NUL.
constexpr DWORD kOwnPathSize = 32768;

// Set by PrepareRun when the log that /LOG= names cannot be opened.
int logRefused = 0;

// The package and its entries, once opened.
void LogPackage(const PackageView& view, const char* path) {
  LogFormat("Package %s: %lu entries", path, static_cast<unsigned long>(view.header.entryCount));
  for (uint32_t i = 0; i < view.header.entryCount; ++i) {
    const DirectoryEntry& e = view.directory[i];
    if (e.flags & ENTRY_DEFLATED) {
      LogFormat("  entry %.32s: %lu bytes, deflated to %lu", e.name,
                static_cast<unsigned long>(e.size), static_cast<unsigned long>(e.packedSize));
    } else {
      LogFormat("  entry %.32s: %lu bytes, stored", e.name, static_cast<unsigned long>(e.size));
    }
  }
}

// Why the package was not opened: the file's own error when it cannot be opened at all.
void LogPackageRefused(const char* path) {
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    LogError("Package not opened:", path, GetLastError());
    return;
  }
  CloseHandle(file);
  LogFormat("Package refused: %s is no package, or a damaged one", path);
}

// Discovery has found the program: the update runs while this updater holds the program's lock.
int RunUpdateLocked(const PackageView& view, TargetInfo& target) {
  LogFormat("Program found: HKEY_LOCAL_MACHINE\\%s, folder %s, program %s", target.keyPath,
            target.programFolder, target.programName);
  LogFormat("Patch level %s: installed %ld, package %ld", target.patchValueName,
            static_cast<long>(target.installedPatchLevel),
            static_cast<long>(target.packagePatchLevel));
  UpdateLock lock;
  if (!TakeUpdateLock(target.keyPath, lock)) {
    ShowStatus(texts::kAlreadyRunningText);
    return exit_codes::kAlreadyRunning;
  }
  const int code = RunUpdate(view, target);
  ReleaseUpdateLock(lock);
  return code;
}

// Opens the package, finds the installed program and runs the update; whatever happens, the
// target strings and the package are released before the end steps. Returns the exit code.
int UpdateFromPackage(const char* path, int selfContained) {
  PackageView view;
  InitPackageView(view);
  int code;
  if (!path || !OpenPackage(view, path, selfContained)) {
    LogPackageRefused(path ? path : "(the program's own file, whose path is unknown)");
    ShowStatus(texts::kUsageText);
    code = exit_codes::kPackageRefused;
  } else {
    LogPackage(view, path);
    TargetInfo target{};
    code = DiscoverTarget(view, target) ? RunUpdateLocked(view, target) : exit_codes::kNotFound;
    ReleaseTarget(target);
  }
  ClosePackage(view);
  return code;
}

// Fills own with the full path of the running program's own file, whatever token 0 says: a user
// who types UPDATE in a console, or starts it through the search path, gives a token 0 that
// names no file. Null when there is no memory or the path does not fit (the caller then shows
// the usage text).
const char* OwnFilePath(const OwnedBuffer& own) {
  if (!own.Valid()) return nullptr;
  char* path = reinterpret_cast<char*>(own.Bytes());
  const DWORD length = GetModuleFileNameA(nullptr, path, kOwnPathSize);
  return length > 0 && length < kOwnPathSize ? path : nullptr;
}

// The worker's last act: button 1 becomes "OK", RunState says whether the window waits for
// the click, and the thread ends. RunState is the last change: once it is 2 the window thread
// stops serving the window, so no window call may follow it. A silent run has no window.
[[noreturn]] void EndSteps() {
  LogFormat("Exit code %d%s", ExitCode,
            !Switches.silent && waitForUser ? ", once the user has clicked OK" : "");
  if (!Switches.silent) {
    ShowWindow(GetDlgItem(DialogWindow, IDC_BUTTON), SW_SHOW);
    SetDlgItemTextA(DialogWindow, IDC_BUTTON, texts::kButtonOk);
  }
  RunState.store(waitForUser ? 1 : 2);
  ExitThread(0);
}

}  // namespace

void ShowStatus(const char* format, ...) {
  char* buffer = static_cast<char*>(std::malloc(kStatusBufferSize));
  if (!buffer) return;  // no memory for the text: the previous one stays
  va_list args;
  va_start(args, format);
  // msvcrt's own formatter rather than MinGW's C99 printf, which would add some 25 KB of
  // floating-point formatting to a program whose formats hold nothing but "%s". It leaves a
  // text that fills the buffer unterminated (and returns -1), hence the NUL below.
  _vsnprintf(buffer, kStatusBufferSize, format, args);
  va_end(args);
  buffer[kStatusBufferSize - 1] = '\0';  // a longer text is cut
  LogText(buffer);
  if (Switches.silent) {
    std::free(buffer);
    return;
  }
  // Shrunk to the text, the block travels to the window thread, which frees it once shown.
  // Sent messages reach a thread in the order sent, notified or not, so texts cannot overtake
  // one another or a later synchronous call.
  char* text = static_cast<char*>(std::realloc(buffer, std::strlen(buffer) + 1));
  if (!text) text = buffer;
  if (SendNotifyMessageA(DialogWindow, kStatusTextMessage, 0, reinterpret_cast<LPARAM>(text)))
    return;
  SetDlgItemTextA(DialogWindow, IDC_STATUS, text);  // not handed over: shown the waiting way
  std::free(text);
}

void ApplyStatusText(HWND dialog, LPARAM text) {
  char* owned = reinterpret_cast<char*>(text);
  SetDlgItemTextA(dialog, IDC_STATUS, owned);
  std::free(owned);
}

int AskUser(const char* text, const char* caption, UINT style, int silentAnswer) {
  LogFormat("Question \"%s\": %s", caption, text);
  const int answer =
      Switches.silent ? silentAnswer : MessageBoxA(DialogWindow, text, caption, style);
  LogFormat("Answer: %s%s",
            answer == IDOK      ? "OK"
            : answer == IDRETRY ? "Retry"
                                : "Cancel",
            Switches.silent ? " (silent run)" : "");
  return answer;
}

int PrepareRun(const char* commandLine) {
  SplitCommandLine(commandLine);
  int ok = TakeSwitches();  // 0: no memory for the log path asked for
  if (ok && Switches.logPath) {
    ok = OpenLog(Switches.logPath);
  } else if (Switches.silent) {
    OpenDefaultLog();  // nobody asked for it: a run without it goes on
  }
  logRefused = !ok;
  LogFormat("Command line: %s", commandLine);
  LogFormat("Mode: %s%s", Switches.silent ? "silent" : "interactive",
            Switches.force ? ", /FORCE" : "");
  return ok;
}

DWORD WINAPI UpdateWorker(LPVOID) {
  waitForUser = 1;
  ExitCode = exit_codes::kSuccess;
  const RunMode mode = logRefused ? RunMode::Usage : ChooseRunMode();
  switch (mode) {
    case RunMode::Usage:
      LogText(logRefused ? "Run refused: the log cannot be opened" : "Run mode: usage");
      ShowStatus(texts::kUsageText);
      ExitCode = logRefused ? exit_codes::kLogFailed : exit_codes::kUsage;
      break;
    case RunMode::Build: {
      const OwnedBuffer own(kOwnPathSize);
      const char* self = OwnFilePath(own);
      if (!self) {
        LogText("Run refused: the program's own path is unknown");
        ShowStatus(texts::kUsageText);
        ExitCode = exit_codes::kBuildFailed;
        break;
      }
      LogFormat("Run mode: build %s from %s and %s", ArgTable[2], self, ArgTable[1]);
      if (BuildUpdater(self, ArgTable[1], ArgTable[2])) {
        LogFormat("Updater written: %s", ArgTable[2]);
        waitForUser = 0;
      } else {
        ExitCode = exit_codes::kBuildFailed;
      }
      break;
    }
    case RunMode::PackageFile:
      LogText("Run mode: package file");
      ExitCode = UpdateFromPackage(ArgTable[1], 0);
      break;
    case RunMode::SelfContained: {
      LogText("Run mode: self-contained");
      const OwnedBuffer own(kOwnPathSize);
      ExitCode = UpdateFromPackage(OwnFilePath(own), 1);
      break;
    }
  }
  EndSteps();
}
