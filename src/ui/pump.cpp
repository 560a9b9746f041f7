#include "ui/pump.h"

#include <map>

#include "common/pump.h"

namespace dorvex::ui {

namespace {
std::map<int, MessageFilter>& Filters() {
  static std::map<int, MessageFilter> filters;
  return filters;
}
int g_nextFilter = 1;
bool g_quitSeen = false;
int g_quitCode = 0;

bool Filter(MSG& msg) {
  // A filter may remove itself or others while running: walk a copy of the ids.
  std::vector<int> ids;
  for (auto& f : Filters()) ids.push_back(f.first);
  for (int id : ids) {
    auto it = Filters().find(id);
    if (it != Filters().end()) {
      MessageFilter f = it->second;
      if (f(msg)) return true;
    }
  }
  return false;
}

void Dispatch(MSG& msg) {
  if (Filter(msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

bool PendingPump() { return ProcessMessages(); }
}  // namespace

int AddMessageFilter(MessageFilter filter) {
  int id = g_nextFilter++;
  Filters()[id] = std::move(filter);
  return id;
}

void RemoveMessageFilter(int id) { Filters().erase(id); }

void InstallPump() { SetPendingMessagesPump(&PendingPump); }

bool ProcessMessages() {
  if (g_quitSeen) return false;
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      g_quitSeen = true;
      g_quitCode = static_cast<int>(msg.wParam);
      return false;
    }
    Dispatch(msg);
  }
  return true;
}

DWORD WaitFor(const HANDLE* handles, DWORD count, DWORD timeoutMs) {
  if (g_quitSeen) return WAIT_ABANDONED;
  DWORD r = WaitWithMessages(handles, count, timeoutMs);
  if (r == WAIT_TIMEOUT && g_quitSeen) return WAIT_ABANDONED;
  return r;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (!done()) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return done();
    if (WaitFor(nullptr, 0, (timeoutMs - elapsed) < 20 ? (timeoutMs - elapsed) : 20) == WAIT_ABANDONED) return done();
  }
  return true;
}

bool PumpOneMessage() {
  if (g_quitSeen) return false;
  MSG msg;
  BOOL r = GetMessageW(&msg, nullptr, 0, 0);
  if (r == 0 || r == -1) {
    g_quitSeen = true;
    g_quitCode = r == 0 ? static_cast<int>(msg.wParam) : 1;
    return false;
  }
  Dispatch(msg);
  return true;
}

int RunMessageLoop() {
  if (g_quitSeen) return g_quitCode;
  MSG msg;
  for (;;) {
    BOOL r = GetMessageW(&msg, nullptr, 0, 0);
    if (r == 0 || r == -1) return r == 0 ? static_cast<int>(msg.wParam) : 1;
    Dispatch(msg);
  }
}

}  // namespace dorvex::ui
