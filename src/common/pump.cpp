#include "common/pump.h"

#include <windows.h>

namespace dorvex {

namespace {
PendingMessagesPump g_pump = nullptr;
}

void SetPendingMessagesPump(PendingMessagesPump pump) { g_pump = pump; }

void ProcessPendingMessages() {
  if (g_pump) {
    g_pump();
    return;
  }
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

}  // namespace dorvex
