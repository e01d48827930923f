// Plays (or watches) the user for the demo: starts the self-contained updater, reports each
// message box and the finished window on stdout (UTF-8), and lets the demo script take a
// screenshot of each before anything is pressed.
//
//   demo_driver.exe UPDATER.EXE SIGNAL_FOLDER [--watch]
//
// For each moment to capture (box1, box2, ..., finished) it creates SIGNAL_FOLDER\<name>.ready
// and waits (at most 30 s) for SIGNAL_FOLDER\<name>.shot; a .shot made in advance lets it go
// on at once (the benchmark does that). It then answers OK and clicks "OK"; with --watch it
// presses nothing and waits for the person at the screen instead. The time from the start to
// the finished window is printed as "finished after N ms".
// Exit status: 0 when the updater ended, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "driver_win32.h"

namespace {

std::string Utf8FromAnsi(const std::string& text) {
  if (text.empty()) return text;
  const int wide =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring w(wide, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &w[0], wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  std::string out(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr);
  return out;
}

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// Lets the script capture the screen: <name>.ready, then wait for <name>.shot.
void Capture(const std::string& folder, const std::string& name) {
  const std::string ready = folder + "\\" + name + ".ready";
  const std::string shot = folder + "\\" + name + ".shot";
  HANDLE h = CreateFileA(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  for (int i = 0; i < 300 && GetFileAttributesA(shot.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
    Sleep(100);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: demo_driver.exe UPDATER.EXE SIGNAL_FOLDER [--watch]\n", stderr);
    return 2;
  }
  const std::string updater = argv[1];
  const std::string folder = argv[2];
  const bool watch = argc > 3 && std::strcmp(argv[3], "--watch") == 0;
  const DWORD patience = watch ? 3600000 : 30000;

  UpdaterRun run{};
  const DWORD start = GetTickCount();
  if (!StartProcess(updater, "\"" + updater + "\"", run)) {
    Say("demo driver: cannot start " + updater);
    return 1;
  }
  if (!WaitForDialog(run, 30000)) {
    Say("demo driver: the updater's window did not appear");
    KillIfRunning(run);
    return 1;
  }
  int boxes = 0;
  DWORD exitCode = 0;
  while (GetTickCount() - start < patience) {
    if (WaitForExit(run, 0, exitCode)) {
      Say("updater: closed (exit code " + std::to_string(exitCode) + ")");
      return 0;
    }
    if (HWND box = WaitForMessageBox(run, 50)) {
      ++boxes;
      Say("question " + std::to_string(boxes) + ": [" + Utf8FromAnsi(WindowCaption(box)) + "] " +
          Utf8FromAnsi(MessageBoxText(box)));
      Capture(folder, "box" + std::to_string(boxes));
      if (watch) {
        while (IsWindow(box) && IsRunning(run)) Sleep(100);
      } else {
        Say("demo driver: answering OK");
        PressButton(box, IDOK);
      }
      continue;
    }
    if (WaitForFinished(run, 50)) {
      Say("finished after " + std::to_string(GetTickCount() - start) + " ms");
      std::string status = ControlText(run.dialog, 1000);
      while (!status.empty() && (status.back() == '\n' || status.back() == '\r')) status.pop_back();
      Say("status line: " + Utf8FromAnsi(status));
      Capture(folder, "finished");
      if (!watch) {
        Say("demo driver: clicking OK");
        PressButton(run.dialog, 1);
      }
      const bool ended = WaitForExit(run, patience, exitCode);
      KillIfRunning(run);
      return ended ? 0 : 1;
    }
  }
  Say("demo driver: the updater did not finish in time");
  KillIfRunning(run);
  return 1;
}
