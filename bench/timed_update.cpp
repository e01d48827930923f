// Times one run of an updater that asks no question, for bench/update_bench.sh: starts it,
// watches its window every few milliseconds until button 1 reads "OK", then reads its peak
// resident memory (VmHWM of its Wine process), clicks and waits for it to end. Prints
// "finished after N ms, peak resident M MB: STATUS" with STATUS "installed" when the status line
// says the update was installed, else the status line itself.
//
//   timed_update.exe UPDATER.EXE [ARGUMENTS...]
#include <windows.h>

#include <cstdio>
#include <string>

#include "driver_win32.h"
#include "shell/texts.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: timed_update.exe UPDATER.EXE [ARGUMENTS...]\n", stderr);
    return 2;
  }
  std::string commandLine = "\"" + std::string(argv[1]) + "\"";
  for (int i = 2; i < argc; ++i) commandLine += " \"" + std::string(argv[i]) + "\"";
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  UpdaterRun run{};
  if (!StartProcess(argv[1], commandLine, run) || !WaitForDialog(run, 30000)) {
    std::printf("timed_update: %s did not start\n", argv[1]);
    KillIfRunning(run);
    return 1;
  }
  // Each look is two messages to the window thread; every 5 ms they cost the updater little.
  bool finished = false;
  for (int i = 0; i < 120000 && !finished && IsRunning(run); ++i) {
    finished = ControlVisible(run.dialog, 1) && ControlText(run.dialog, 1) == "OK";
    if (!finished) Sleep(5);
  }
  QueryPerformanceCounter(&now);
  const double ms = 1000.0 * (now.QuadPart - start.QuadPart) / frequency.QuadPart;
  UnixMemory memory;
  ReadUnixMemory(argv[1], memory);
  const std::string status = ControlText(run.dialog, 1000);
  PressButton(run.dialog, 1);
  DWORD exitCode = 1;
  const bool ended = WaitForExit(run, 30000, exitCode);
  KillIfRunning(run);
  std::printf("finished after %.0f ms, peak resident %.0f MB: %s\n", ms,
              memory.peakResidentKb / 1024.0,
              status == texts::kUpdateInstalledText ? "installed" : status.c_str());
  return finished && ended ? 0 : 1;
}
