#include "settings/configure.h"

#include <string>

#include "common/inifile.h"
#include "common/routines.h"
#include "settings/datalayout.h"
#include "settings/encoding.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "common/text.h"

namespace dorvex {

namespace {
std::wstring SwitchValue(const std::wstring& name) {
  int index = FindSwitch(name, true);
  if (index <= 0) return L"";
  return Trim(CommandLineArguments()[static_cast<size_t>(index)].substr(name.size()));
}
}  // namespace

namespace {
std::wstring g_refusal;
}  // namespace

const std::wstring& ConfigureRefusal() { return g_refusal; }

bool ConfigureMode() {
  if (FindSwitch(L"/configure", false) == 0) return false;
  std::wstring path = SwitchValue(L"/inifile:");
  if (path.empty()) return false;
  // An installer that names the settings beside the program, where earlier versions kept them,
  // means the settings this program uses: for the installed program, the data folder's.
  if (DataLocation().installed && SameText(path, ChangeFileExt(ExecutablePath(), L".ini"))) path = SettingsFileName();
  // Entries written in the ANSI code page into a file saved as UTF-8 would garble it further.
  g_refusal = SettingsEncodingFault(path);
  if (!g_refusal.empty()) return true;
  TIniFile ini(path);

  if (ini.ReadString(L"Common", L"UpgradeFilesDir", L"").empty()) {
    std::wstring dir = SwitchValue(L"/UpgradeRepositary:");
    if (!dir.empty()) {
      dir = IncludeTrailingBackslash(dir);
      if (FindSwitch(L"/EnableCreateDirs", false) > 0 && !DirectoryExists(dir)) ForceDirectories(dir);
      ini.WriteString(L"Common", L"UpgradeFilesDir", dir);
    }
  }

  const std::wstring id = SwitchValue(L"/ProgID:");
  std::wstring upg = SwitchValue(L"/ProgUpgDir:");
  std::wstring exe = SwitchValue(L"/ProgExeDir:");
  if (!id.empty() && !upg.empty() && !exe.empty()) {
    upg = IncludeTrailingBackslash(upg);
    exe = IncludeTrailingBackslash(exe);
    // A broken count must not produce "Program-1" sections nor loop for ever.
    const int n = ProgramSectionBound(ini);
    bool registered = false;
    for (int i = 1; i <= n && !registered; ++i) {
      const std::wstring section = L"Program" + std::to_wstring(i);
      registered = SameText(ini.ReadString(section, L"ProgramID", L""), id) &&
                   SameText(ini.ReadString(section, L"UpgradeExe", L""), upg) &&
                   SameText(ini.ReadString(section, L"ExeDir", L""), exe);
    }
    if (!registered) {
      const std::wstring section = L"Program" + std::to_wstring(n + 1);
      ini.WriteString(section, L"ProgramID", id);
      ini.WriteString(section, L"UpgradeExe", upg);
      ini.WriteString(section, L"ExeDir", exe);
      ini.WriteInteger(L"General", L"ActiveProgramCount", n + 1);
    }
  }
  ini.Flush();
  return true;
}

}  // namespace dorvex
