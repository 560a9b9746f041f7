// Rights to the program's data. The installed layout's data folder is writable by administrators
// and the system only; a person without those rights at the window (a standard user, or an
// administrator without elevation) may look around, but an action that writes first asks here.
// Wine enforces no access lists and has no elevation: tests answer both through the handlers.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace dorvex::ui {

// Whether this process may make and replace files in the folder, by the system's access check
// (nothing is written). A folder that cannot be opened for another reason counts as writable:
// the action then meets and reports that failure itself.
using WriteAccessHandler = std::function<bool(const std::wstring& folder)>;
void SetWriteAccessHandler(WriteAccessHandler handler);  // empty: the system's access check
bool MayWriteFolder(const std::wstring& folder);

// Starts the program again with administrator rights (the system's elevation prompt) and the
// same arguments; true when it started. A test records the request instead.
using ElevatedRestartHandler = std::function<bool(const std::wstring& program, const std::wstring& arguments)>;
void SetElevatedRestartHandler(ElevatedRestartHandler handler);  // empty: "runas", then this one ends

// Before an action that writes the settings or the repository: true when every folder may be
// written. Otherwise it says so, offers the restart with administrator rights and returns false
// whatever the answer: this process writes nothing, the restarted one does the work.
bool EnsureDataWritable(HWND owner, const std::vector<std::wstring>& folders);

// The command line after the program's name, as this process was given it.
std::wstring CommandLineTail(const std::wstring& commandLine);

}  // namespace dorvex::ui
