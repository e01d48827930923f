// A window of the test's own standing in for the progress window, so that tests can call the
// worker's code (ShowStatus, DiscoverTarget) directly: a popup with a status control 1000 that
// records every text it receives (ShowStatus's messages handled as the dialog procedure handles
// them), served by the test's thread as the window thread serves the worker.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class StandInWindow {
 public:
  // publishAs, when given, holds the window while this object lives (the worker's code finds its
  // window there: DialogWindow) and is reset to null afterwards.
  explicit StandInWindow(HWND* publishAs = nullptr);
  ~StandInWindow();
  StandInWindow(const StandInWindow&) = delete;
  StandInWindow& operator=(const StandInWindow&) = delete;

  // Null when the window could not be created.
  HWND window() const { return window_; }
  // Every text the status control received, in order.
  const std::vector<std::string>& shown() const { return shown_; }
  void ClearShown() { shown_.clear(); }

  // Runs routine(param) on a thread of its own while this thread serves the window. False when
  // the thread could not start or did not end within timeoutMs (it is then terminated).
  bool RunOnWorker(LPTHREAD_START_ROUTINE routine, void* param, DWORD timeoutMs);

 private:
  static LRESULT CALLBACK Record(HWND control, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK Serve(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  HWND* publishAs_ = nullptr;
  WNDPROC staticProc_ = nullptr;
  WNDPROC popupProc_ = nullptr;
  std::vector<std::string> shown_;
};
