#include "common/pump.h"

namespace dorvex {

namespace {
PendingMessagesPump g_pump = nullptr;
HWND g_appWindow = nullptr;
bool g_quitSeen = false;
}  // namespace

void SetPendingMessagesPump(PendingMessagesPump pump) { g_pump = pump; }

bool ProcessPendingMessages() {
  if (g_pump) return g_pump();
  if (g_quitSeen) return false;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      g_quitSeen = true;
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return true;
}

DWORD WaitWithMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD elapsed = GetTickCount() - start;
    DWORD left = timeoutMs == INFINITE ? INFINITE : (elapsed >= timeoutMs ? 0 : timeoutMs - elapsed);
    if (!ProcessPendingMessages()) {
      if (count == 0) return WAIT_TIMEOUT;  // the program is ending: a plain pause is cut short
      return WaitForMultipleObjects(count, handles, FALSE, left);
    }
    if (count > 0) {
      DWORD r = WaitForMultipleObjects(count, handles, FALSE, 0);
      if (r < WAIT_OBJECT_0 + count) return r;
    }
    if (left == 0) return WAIT_TIMEOUT;
    DWORD r = MsgWaitForMultipleObjectsEx(count, handles, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (r < WAIT_OBJECT_0 + count || r == WAIT_TIMEOUT || r == WAIT_FAILED) return r;
  }
}

void SetApplicationWindow(HWND window) { g_appWindow = window; }
HWND ApplicationWindow() { return g_appWindow; }

}  // namespace dorvex
