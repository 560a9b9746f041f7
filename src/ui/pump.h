// The program's one message pump. Every wait blocks in MsgWaitForMultipleObjectsEx on what it
// waits for and on the message queue, so an idle wait costs no processor time while the
// windows stay alive. Message filters see each message before it is dispatched (the main
// window's keyboard preview and the F1 key live there).
#pragma once

#include <windows.h>

#include <functional>

namespace dorvex::ui {

using MessageFilter = std::function<bool(MSG& msg)>;  // true: the message was handled
int AddMessageFilter(MessageFilter filter);
void RemoveMessageFilter(int id);

// Makes this pump the one the lower layers use to let the window breathe.
void InstallPump();

// Dispatches what is waiting. Returns false when a quit request was seen (it is kept for the
// outer loop).
bool ProcessMessages();

// Waits until one of the handles is signalled or the time runs out, dispatching messages
// meanwhile. Returns WAIT_OBJECT_0 + index, or WAIT_TIMEOUT. With no handles it simply waits
// out the time while keeping the windows alive. A quit request ends the wait early
// (WAIT_ABANDONED is returned, the request is kept).
DWORD WaitFor(const HANDLE* handles, DWORD count, DWORD timeoutMs);
inline DWORD Sleep(DWORD ms) { return WaitFor(nullptr, 0, ms); }

// Waits until the predicate holds or the time runs out; true when it held.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Blocks until one message arrives and dispatches it; false when it was a quit request.
bool PumpOneMessage();

// The application's main loop: runs until a quit request, returns its exit code.
int RunMessageLoop();

}  // namespace dorvex::ui
