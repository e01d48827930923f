#include "stand_in_win32.h"

#include "shell/worker.h"

StandInWindow::StandInWindow(HWND* publishAs) : publishAs_(publishAs) {
  window_ = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 300, 100, nullptr, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
  if (!window_) return;
  SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  popupProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Serve)));
  HWND status = CreateWindowExA(0, "STATIC", "Static1", WS_CHILD | SS_LEFT, 0, 0, 200, 30, window_,
                                reinterpret_cast<HMENU>(1000), GetModuleHandleA(nullptr), nullptr);
  if (!status) return;
  SetWindowLongPtrA(status, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  staticProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrA(status, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Record)));
  if (publishAs_) *publishAs_ = window_;
}

StandInWindow::~StandInWindow() {
  if (publishAs_) *publishAs_ = nullptr;
  if (window_) DestroyWindow(window_);
}

LRESULT CALLBACK StandInWindow::Record(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<StandInWindow*>(GetWindowLongPtrA(control, GWLP_USERDATA));
  if (message == WM_SETTEXT) self->shown_.push_back(reinterpret_cast<const char*>(lParam));
  return CallWindowProcA(self->staticProc_, control, message, wParam, lParam);
}

LRESULT CALLBACK StandInWindow::Serve(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<StandInWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == kStatusTextMessage) {
    ApplyStatusText(window, lParam);
    return TRUE;
  }
  return CallWindowProcA(self->popupProc_, window, message, wParam, lParam);
}

bool StandInWindow::RunOnWorker(LPTHREAD_START_ROUTINE routine, void* param, DWORD timeoutMs) {
  HANDLE thread = CreateThread(nullptr, 0, routine, param, 0, nullptr);
  if (!thread) return false;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  bool done = false;
  while (!done && GetTickCount64() < deadline) {
    done = MsgWaitForMultipleObjects(1, &thread, FALSE, 100, QS_ALLINPUT) == WAIT_OBJECT_0;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  if (!done) TerminateThread(thread, 1);
  CloseHandle(thread);
  return done;
}
