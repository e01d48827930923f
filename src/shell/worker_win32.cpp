#include "shell/worker.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "package/builder.h"
#include "package/handles_win32.h"
#include "package/package.h"
#include "shell/command_line.h"
#include "shell/texts.h"
#include "update/update.h"

std::atomic<int32_t> RunState{0};
HWND DialogWindow = nullptr;
int waitForUser = 0;

namespace {

constexpr size_t kStatusBufferSize = 65536;
// The longest path Windows hands out, in characters, and its NUL.
constexpr DWORD kOwnPathSize = 32768;

// Opens the package, finds the installed program and runs the update; whatever happens, the
// target strings and the package are released before the end steps.
void UpdateFromPackage(const char* path, int selfContained) {
  PackageView view;
  InitPackageView(view);
  if (!path || !OpenPackage(view, path, selfContained)) {
    ShowStatus(texts::kUsageText);
  } else {
    TargetInfo target{};
    if (DiscoverTarget(view, target)) RunUpdate(view, target);
    ReleaseTarget(target);
  }
  ClosePackage(view);
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
// stops serving the window, so no window call may follow it.
[[noreturn]] void EndSteps() {
  ShowWindow(GetDlgItem(DialogWindow, IDC_BUTTON), SW_SHOW);
  SetDlgItemTextA(DialogWindow, IDC_BUTTON, texts::kButtonOk);
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

DWORD WINAPI UpdateWorker(LPVOID commandLine) {
  waitForUser = 1;
  SplitCommandLine(static_cast<const char*>(commandLine));
  switch (ChooseRunMode()) {
    case RunMode::Usage:
      ShowStatus(texts::kUsageText);
      break;
    case RunMode::Build: {
      const OwnedBuffer own(kOwnPathSize);
      const char* self = OwnFilePath(own);
      if (!self)
        ShowStatus(texts::kUsageText);
      else if (BuildUpdater(self, ArgTable[1], ArgTable[2]))
        waitForUser = 0;
      break;
    }
    case RunMode::PackageFile:
      UpdateFromPackage(ArgTable[1], 0);
      break;
    case RunMode::SelfContained: {
      const OwnedBuffer own(kOwnPathSize);
      UpdateFromPackage(OwnFilePath(own), 1);
      break;
    }
  }
  EndSteps();
}
