#include "settings/options.h"

#include <windows.h>

#include <cstdio>
#include <vector>

#include "common/handles.h"
#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/datalayout.h"

namespace dorvex {

TSettings& Settings() {
  static TSettings settings;
  return settings;
}

const std::wstring& SettingsFileName() { return DataLocation().settings; }

void LoadSettings() {
  TSettings& s = Settings();
  s = TSettings{};  // a second load starts from the built-in defaults as the first did
  IEProxy proxy = ReadIEProxy(L"http");
  if (proxy.found) {
    s.ProxyUse = proxy.enabled;
    s.ProxyServerName = proxy.host;
    s.ProxyServerPort = proxy.port;
  }
  TIniFile ini(SettingsFileName());
  s.AutoRun = ini.ReadBool(L"Common", L"AutoRun", s.AutoRun);
  s.UpgradeFilesDir = ini.ReadString(L"Common", L"UpgradeFilesDir", s.UpgradeFilesDir);
  s.FtpServer = ini.ReadString(L"Ftp", L"Server", s.FtpServer);
  s.FtpPort = ini.ReadString(L"Ftp", L"Port", s.FtpPort);
  s.FtpTimeOut = ini.ReadInteger(L"Ftp", L"TimeOut", s.FtpTimeOut);
  s.FtpUserName = ini.ReadString(L"Ftp", L"UserName", s.FtpUserName);
  s.FtpPassword = ini.ReadString(L"Ftp", L"Password", s.FtpPassword);
  s.FtpRootDir = ini.ReadString(L"Ftp", L"RootDir", s.FtpRootDir);
  s.FtpEnableRestore = ini.ReadBool(L"Ftp", L"EnableRestore", s.FtpEnableRestore);
  s.HttpServer = ini.ReadString(L"Http", L"Server", s.HttpServer);
  s.HttpPort = ini.ReadString(L"Http", L"Port", s.HttpPort);
  s.HttpRootDir = ini.ReadString(L"Http", L"RootDir", s.HttpRootDir);
  s.HttpEnableRestore = ini.ReadBool(L"Http", L"EnableRestore", s.HttpEnableRestore);
  s.HttpTimeOut = ini.ReadInteger(L"Http", L"TimeOut", s.HttpTimeOut);
  s.DiskRootDir = ini.ReadString(L"Disk", L"RootDir", s.DiskRootDir);
  s.ConnectionType = static_cast<uint8_t>(ini.ReadInteger(L"Connection", L"ConnectionType", s.ConnectionType));
  s.AttemptCount = ini.ReadInteger(L"Connection", L"AttemptCount", s.AttemptCount);
  s.AttemptPause = ini.ReadInteger(L"Connection", L"AttemptPause", s.AttemptPause);
  s.MinRate = ini.ReadInteger(L"Connection", L"MinRate", s.MinRate);
  s.RasUse = ini.ReadBool(L"RAS", L"Use", s.RasUse);
  s.RasHangUpAfterDownload = ini.ReadBool(L"RAS", L"HangUpAfterDownload", s.RasHangUpAfterDownload);
  s.RasEntryName = ini.ReadString(L"RAS", L"EntryName", s.RasEntryName);
  s.ProxyUse = ini.ReadBool(L"Proxy", L"Use", s.ProxyUse);
  s.ProxyServerName = ini.ReadString(L"Proxy", L"ProxyServerName", s.ProxyServerName);
  s.ProxyServerPort = ini.ReadString(L"Proxy", L"ProxyServerPort", s.ProxyServerPort);
  s.ProxyDisableCache = ini.ReadBool(L"Proxy", L"DisableCache", s.ProxyDisableCache);
  s.ProxyLogin = ini.ReadString(L"Proxy", L"ProxyLogin", s.ProxyLogin);
  s.ProxyPassword = ini.ReadString(L"Proxy", L"ProxyPassword", s.ProxyPassword);
  s.ProxyAuthType = ini.ReadInteger(L"Proxy", L"ProxyAuthType", s.ProxyAuthType);
  s.NoBitmap = ini.ReadBool(L"Service", L"NoBitmap", s.NoBitmap);
  s.EnableLogReports = ini.ReadBool(L"Service", L"EnableLogReports", s.EnableLogReports);
  s.DeleteOldFiles = ini.ReadBool(L"Service", L"DeleteOldFiles", s.DeleteOldFiles);
  s.MapPublicKey = ini.ReadString(L"Security", L"MapPublicKey", s.MapPublicKey);
  s.RequireSignedMaps = ini.ReadBool(L"Security", L"RequireSignedMaps", s.RequireSignedMaps);
  s.TrustedCertificates = ini.ReadString(L"Security", L"TrustedCertificates", s.TrustedCertificates);
  s.AllowOldTls = ini.ReadBool(L"Security", L"AllowOldTls", s.AllowOldTls);
  if (double limit = 0; TryParseReal(Trim(ini.ReadString(L"Service", L"UpgradeTimeLimit", L"")), limit) && limit > 0)
    s.UpgradeTimeLimit = limit;
  if (!s.UpgradeFilesDir.empty()) s.UpgradeFilesDir = IncludeTrailingBackslash(s.UpgradeFilesDir);
}

bool WriteSettings(const TSettings& s, const std::wstring& fileName) {
  TIniFile ini(fileName);
  bool ok = true;
  ok = ok && ini.WriteBool(L"Common", L"AutoRun", s.AutoRun);
  ok = ok && ini.WriteString(L"Common", L"UpgradeFilesDir", s.UpgradeFilesDir);
  ok = ok && ini.WriteString(L"Ftp", L"Server", s.FtpServer);
  ok = ok && ini.WriteString(L"Ftp", L"Port", s.FtpPort);
  ok = ok && ini.WriteInteger(L"Ftp", L"TimeOut", s.FtpTimeOut);
  ok = ok && ini.WriteExactString(L"Ftp", L"UserName", s.FtpUserName);
  ok = ok && ini.WriteExactString(L"Ftp", L"Password", s.FtpPassword);
  ok = ok && ini.WriteString(L"Ftp", L"RootDir", s.FtpRootDir);
  ok = ok && ini.WriteBool(L"Ftp", L"EnableRestore", s.FtpEnableRestore);
  ok = ok && ini.WriteString(L"Http", L"Server", s.HttpServer);
  ok = ok && ini.WriteString(L"Http", L"Port", s.HttpPort);
  ok = ok && ini.WriteString(L"Http", L"RootDir", s.HttpRootDir);
  ok = ok && ini.WriteBool(L"Http", L"EnableRestore", s.HttpEnableRestore);
  ok = ok && ini.WriteInteger(L"Http", L"TimeOut", s.HttpTimeOut);
  ok = ok && ini.WriteString(L"Disk", L"RootDir", s.DiskRootDir);
  ok = ok && ini.WriteInteger(L"Connection", L"ConnectionType", s.ConnectionType);
  ok = ok && ini.WriteInteger(L"Connection", L"AttemptCount", s.AttemptCount);
  ok = ok && ini.WriteInteger(L"Connection", L"AttemptPause", s.AttemptPause);
  ok = ok && ini.WriteBool(L"RAS", L"Use", s.RasUse);
  ok = ok && ini.WriteBool(L"RAS", L"HangUpAfterDownload", s.RasHangUpAfterDownload);
  ok = ok && ini.WriteString(L"RAS", L"EntryName", s.RasEntryName);
  ok = ok && ini.WriteBool(L"Proxy", L"Use", s.ProxyUse);
  ok = ok && ini.WriteString(L"Proxy", L"ProxyServerName", s.ProxyServerName);
  ok = ok && ini.WriteString(L"Proxy", L"ProxyServerPort", s.ProxyServerPort);
  ok = ok && ini.WriteBool(L"Proxy", L"DisableCache", s.ProxyDisableCache);
  ok = ok && ini.WriteExactString(L"Proxy", L"ProxyLogin", s.ProxyLogin);
  ok = ok && ini.WriteExactString(L"Proxy", L"ProxyPassword", s.ProxyPassword);
  ok = ok && ini.WriteInteger(L"Proxy", L"ProxyAuthType", s.ProxyAuthType);
  ok = ok && ini.WriteBool(L"Service", L"NoBitmap", s.NoBitmap);
  ok = ok && ini.WriteBool(L"Service", L"EnableLogReports", s.EnableLogReports);
  ok = ok && ini.WriteBool(L"Service", L"DeleteOldFiles", s.DeleteOldFiles);
  if (ok) ini.Flush();
  return ok;
}

bool SaveSettings() {
  return ReplaceIniFile(SettingsFileName(),
                        [](const TIniFile& copy) { return WriteSettings(Settings(), copy.FileName()); });
}

namespace {
// One key of the session's record, the file replaced whole.
bool WriteSessionKey(const wchar_t* key, const std::wstring& value) {
  return ReplaceIniFile(SettingsFileName(),
                        [&](const TIniFile& copy) { return copy.WriteString(L"Session", key, value); });
}

std::wstring TimeText(TDateTime t) {
  if (t == 0) return L"";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", t);
  std::wstring text = AnsiToWide(buf);
  size_t dot = text.find(L'.');
  if (dot != std::wstring::npos) text.replace(dot, 1, DecimalSeparator());
  return text;
}

TDateTime ReadTime(const wchar_t* key) {
  double value = 0;
  if (!TryParseReal(TIniFile(SettingsFileName()).ReadString(L"Session", key, L""), value)) return 0;
  return value;
}
}  // namespace

std::wstring ReadSessionTempDir() { return TIniFile(SettingsFileName()).ReadString(L"Session", L"TempDir", L""); }

void WriteSessionTempDir(const std::wstring& dir) {
  WriteSessionKey(L"TempDir", dir);
}

TDateTime ReadLastRun() {
  return ReadTime(L"LastRun");
}

bool WriteLastRun(TDateTime t) {
  return WriteSessionKey(L"LastRun", TimeText(t));
}

LastSessionRecord ReadLastSession() {
  LastSessionRecord r;
  const int32_t n = TIniFile(SettingsFileName()).ReadInteger(L"Session", L"LastOutcome", 0);
  if (n > 0 && n <= static_cast<int32_t>(SessionOutcome::Interrupted)) r.outcome = static_cast<SessionOutcome>(n);
  r.when = ReadTime(L"LastSession");
  return r;
}

bool WriteLastSession(SessionOutcome outcome, TDateTime when) {
  return ReplaceIniFile(SettingsFileName(), [&](const TIniFile& copy) {
    return copy.WriteInteger(L"Session", L"LastOutcome", static_cast<int32_t>(outcome)) &&
           copy.WriteString(L"Session", L"LastSession", TimeText(when));
  });
}

namespace {
// Splits a list the way the settings' comma lists are read: commas and blanks separate
// items, double quotes group text (a doubled quote inside stands for one).
std::vector<std::wstring> SplitCommaText(const std::wstring& value) {
  std::vector<std::wstring> items;
  size_t i = 0, n = value.size();
  auto skipBlanks = [&] {
    while (i < n && value[i] >= 1 && value[i] <= L' ') ++i;
  };
  skipBlanks();
  while (i < n) {
    std::wstring item;
    if (value[i] == L'"') {
      ++i;
      while (i < n) {
        if (value[i] == L'"') {
          if (i + 1 < n && value[i + 1] == L'"') {
            item += L'"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += value[i++];
      }
    } else {
      while (i < n && value[i] > L' ' && value[i] != L',') item += value[i++];
    }
    items.push_back(item);
    skipBlanks();
    if (i < n && value[i] == L',') {
      do ++i;
      while (i < n && value[i] >= 1 && value[i] <= L' ');
    }
  }
  return items;
}
}  // namespace

IEProxy ReadIEProxy(const std::wstring& scheme) {
  IEProxy result;
  RegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0, KEY_READ,
                    key.put()) != ERROR_SUCCESS)
    return result;

  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.get(), L"ProxyServer", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::wstring value;
    if ((type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
      std::vector<wchar_t> buf(size / sizeof(wchar_t) + 2, L'\0');
      DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
      if (RegQueryValueExW(key.get(), L"ProxyServer", nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &got) ==
          ERROR_SUCCESS)
        value = buf.data();
    }
    if (!value.empty()) {
      std::wstring chosen;
      if (value.find(L'=') != std::wstring::npos) {
        for (auto& c : value)
          if (c == L';') c = L',';
        for (const auto& item : SplitCommaText(value)) {
          size_t eq = item.find(L'=');
          if (eq != std::wstring::npos && SameText(item.substr(0, eq), scheme)) {
            chosen = item.substr(eq + 1);
            break;
          }
        }
      } else {
        chosen = value;
      }
      size_t colon = chosen.find(L':');
      if (colon != std::wstring::npos) {
        result.host = chosen.substr(0, colon);
        result.port = std::to_wstring(ParseIntDef(chosen.substr(colon + 1), 0));
        result.found = true;
      }
    }
  }

  DWORD enable = 0, enableSize = sizeof enable;
  type = 0;
  if (RegQueryValueExW(key.get(), L"ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enable), &enableSize) ==
          ERROR_SUCCESS &&
      type == REG_DWORD && enableSize == sizeof enable)
    result.enabled = enable == 1;
  return result;
}

ProtocolKind ProtocolClass() {
  switch (Settings().ConnectionType) {
    case 0: return Settings().ProxyUse ? ProtocolKind::Http : ProtocolKind::Ftp;
    case 2: return ProtocolKind::Disk;
    default: return ProtocolKind::Http;
  }
}

std::wstring ConnectionTypeName(int type) {
  switch (type) {
    case 0: return L"протокол FTP";
    case 1: return L"протокол HTTP";
    case 2: return L"файловый протокол";
    case 3: return L"автоматически";
    default: return Fmt(L"неизвестный способ соединения (%d)", type);
  }
}

std::wstring ConnectionTypeName() { return ConnectionTypeName(Settings().ConnectionType); }

namespace {
ModuleHandle& UrlmonModule() {
  static ModuleHandle module;
  return module;
}
URLDownloadToFileAFunc g_urlDownload = nullptr;
}  // namespace

void BindSystemDownload() {
  if (g_urlDownload) return;
  UrlmonModule().reset(LoadLibraryW(L"urlmon.dll"));
  if (!UrlmonModule()) return;
  g_urlDownload = reinterpret_cast<URLDownloadToFileAFunc>(
      reinterpret_cast<void*>(GetProcAddress(UrlmonModule().get(), "URLDownloadToFileA")));
  if (!g_urlDownload) UrlmonModule().reset();
}

void UnbindSystemDownload() {
  g_urlDownload = nullptr;
  UrlmonModule().reset();
}

URLDownloadToFileAFunc SystemDownloadFunction() {
  return g_urlDownload;
}

bool SystemDownload() { return g_urlDownload != nullptr && Settings().ConnectionType == 3; }

bool AutoMode() { return FindSwitch(L"/auto", false) > 0 || Settings().AutoRun; }

bool NoBitmapMode() { return FindSwitch(L"/nobitmap", false) > 0 || Settings().NoBitmap; }

}  // namespace dorvex
