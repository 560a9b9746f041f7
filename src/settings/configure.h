// The command-line registration mode: another program's installer registers a served program
// and the repository directory in the settings file, and no window is ever shown.
#pragma once

#include <string>

namespace dorvex {

// True when the mode ran and the process is to end now (with exit code 0, or 1 when it was
// refused: see ConfigureRefusal).
bool ConfigureMode();
// Why the mode wrote nothing (a settings file saved as UTF-8); empty when it did its work.
const std::wstring& ConfigureRefusal();

}  // namespace dorvex
