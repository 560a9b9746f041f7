// Lets the window process its pending messages from inside long work in the lower layers.
// The window layer installs the program's own pump (with its keyboard handling); until it
// does, pending messages are dispatched plainly.
#pragma once

namespace dorvex {

using PendingMessagesPump = void (*)();
void SetPendingMessagesPump(PendingMessagesPump pump);
void ProcessPendingMessages();

}  // namespace dorvex
