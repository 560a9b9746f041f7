// Lets the window process its pending messages from inside long work in the lower layers.
// The window layer installs the program's own pump (with its keyboard handling); until it
// does, pending messages are dispatched plainly.
#pragma once

#include <windows.h>

namespace dorvex {

// Dispatches what is waiting; false once a quit request has been seen (it is kept for the
// outer loop, and nothing more is dispatched).
using PendingMessagesPump = bool (*)();
void SetPendingMessagesPump(PendingMessagesPump pump);
bool ProcessPendingMessages();

// Blocks until one of the handles is signalled, a message arrives or the time runs out,
// dispatching the messages that arrived. Returns WAIT_OBJECT_0 + index or WAIT_TIMEOUT.
// Once a quit request has been seen it only waits on the handles (a wait on none ends at once).
DWORD WaitWithMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs);

// The application's main window, brought back to the front after other programs ran.
void SetApplicationWindow(HWND window);
HWND ApplicationWindow();

}  // namespace dorvex
