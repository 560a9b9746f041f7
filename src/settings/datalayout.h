// Where the settings, the report and the serial floor live. Two layouts, one program: portable
// (the settings beside the executable, and everything the program writes beside it) and
// installed (the executable in a folder only the setup writes; the data in the folder the setup
// recorded). This unit alone answers "which settings file, and where do the report and the state
// go"; everything else asks it.
#pragma once

#include <string>
#include <vector>

namespace dorvex {

// Where the setup records the installed layout (HKLM, the program's uninstall entry, in the
// registry view of the program's own architecture): the data folder and the install folder.
inline constexpr wchar_t kSetupRecordKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Dorvex";
inline constexpr wchar_t kSetupDataFolderValue[] = L"DataFolder";
inline constexpr wchar_t kSetupInstallFolderValue[] = L"InstallLocation";

// What decides the layout.
struct DataLayoutFacts {
  std::wstring conf;           // the "/CONF:" argument made absolute, or empty
  std::wstring executable;     // the running program's full path
  bool besideExists = false;   // a settings file beside the executable exists
  std::wstring dataFolder;     // the data folder the setup recorded, or empty
  std::wstring installFolder;  // the install folder the setup recorded, or empty
};

struct DataLayout {
  std::wstring settings;   // the settings file
  std::wstring report;     // the fixed session report
  std::wstring state;      // the serial floor of the accepted maps
  bool installed = false;  // the installed layout: nothing is written beside the executable
};

// Settings: "/CONF:"; else the settings file beside the executable when it exists; else, for the
// program in the folder the setup recorded, the setup's data folder; else beside the executable
// (a portable copy's first start).
DataLayout ResolveDataLayout(const DataLayoutFacts& facts);

// This process's layout, fixed on first use.
const DataLayout& DataLocation();

// The folders an action that writes must be able to write: the settings' folder and the
// repository, when it exists.
std::vector<std::wstring> WritableDataFolders();

}  // namespace dorvex
