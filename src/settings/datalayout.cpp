#include "settings/datalayout.h"

#include <windows.h>

#include "common/handles.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"

namespace dorvex {

namespace {
std::wstring RecordedFolder(const wchar_t* value) {
  RegKey key;
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSetupRecordKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return L"";
  key.reset(raw);
  wchar_t buf[MAX_PATH * 2] = {};
  DWORD type = 0, size = sizeof(buf) - sizeof(wchar_t);
  if (RegQueryValueExW(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return L"";
  std::wstring folder = Trim(std::wstring(buf));
  if (type == REG_EXPAND_SZ) {
    wchar_t expanded[MAX_PATH * 2];
    DWORD n = ExpandEnvironmentStringsW(folder.c_str(), expanded, MAX_PATH * 2);
    if (n == 0 || n > MAX_PATH * 2) return L"";
    folder = expanded;
  }
  return ExcludeTrailingBackslash(folder);
}

std::wstring ConfArgument() {
  int index = FindSwitch(L"/CONF:", true);
  if (index <= 0) return L"";
  std::wstring value = Trim(CommandLineArguments()[static_cast<size_t>(index)].substr(6));
  // A relative name is fixed against the directory the program was started in: start-up later
  // changes the current directory to the session's temporary one.
  if (value.empty()) return value;
  wchar_t full[MAX_PATH * 2];
  DWORD n = GetFullPathNameW(value.c_str(), MAX_PATH * 2, full, nullptr);
  if (n > 0 && n < MAX_PATH * 2) value.assign(full, n);
  return value;
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
  return !a.empty() && !b.empty() && SameText(ExcludeTrailingBackslash(a), ExcludeTrailingBackslash(b));
}
}  // namespace

DataLayout ResolveDataLayout(const DataLayoutFacts& f) {
  DataLayout d;
  const std::wstring beside = ChangeFileExt(f.executable, L".ini");
  const std::wstring exeDir = ExtractFilePath(f.executable);
  // The data folder serves the program the setup installed; a copy elsewhere without settings
  // of its own starts a portable layout of its own.
  const bool setupsProgram = !f.dataFolder.empty() && SameFolder(exeDir, f.installFolder);
  if (!f.conf.empty())
    d.settings = f.conf;
  else if (f.besideExists || !setupsProgram)
    d.settings = beside;
  else
    d.settings = IncludeTrailingBackslash(f.dataFolder) + L"dorvex.ini";
  // Installed: the settings are the setup's, or the program runs from the folder the setup
  // made. The report then goes beside the settings, never into the install folder.
  d.installed = !SameFolder(ExtractFilePath(d.settings), exeDir) &&
                (setupsProgram || SameFolder(ExtractFilePath(d.settings), f.dataFolder));
  const std::wstring reportName = ExtractFileName(ChangeFileExt(f.executable, L".txt"));
  d.report = d.installed ? ExtractFilePath(d.settings) + reportName : ChangeFileExt(f.executable, L".txt");
  d.state = ChangeFileExt(d.settings, L".state");
  return d;
}

const DataLayout& DataLocation() {
  static const DataLayout layout = [] {
    DataLayoutFacts f;
    f.conf = ConfArgument();
    f.executable = ExecutablePath();
    f.besideExists = FileExists(ChangeFileExt(f.executable, L".ini"));
    f.dataFolder = RecordedFolder(kSetupDataFolderValue);
    f.installFolder = RecordedFolder(kSetupInstallFolderValue);
    return ResolveDataLayout(f);
  }();
  return layout;
}

std::vector<std::wstring> WritableDataFolders() {
  std::vector<std::wstring> folders{ExcludeTrailingBackslash(ExtractFilePath(DataLocation().settings))};
  const std::wstring& repository = Settings().UpgradeFilesDir;
  if (DirectoryExists(repository)) folders.push_back(ExcludeTrailingBackslash(repository));
  return folders;
}

}  // namespace dorvex
