// The command-line registration mode: another program's installer registers a served program
// and the repository directory in the settings file, and no window is ever shown.
#pragma once

namespace dorvex {

// True when the mode ran and the process is to end now (with exit code 0).
bool ConfigureMode();

}  // namespace dorvex
