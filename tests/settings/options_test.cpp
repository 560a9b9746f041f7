#include "settings/datalayout.h"
#include "settings/options.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/encoding.h"
#include "test_util.h"

using namespace dorvex;

namespace {
const wchar_t kInternetSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Writes the settings file (in the ANSI code page, as the program's files are) and loads it.
void LoadFrom(const std::wstring& content) {
  test::WriteBytes(SettingsFileName(), WideToAnsi(content));
  LoadSettings();
}

// Sets the system's proxy values for one test and puts the old ones back afterwards.
class ProxyRegistry {
 public:
  ProxyRegistry() {
    RegCreateKeyExW(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    save(L"ProxyServer", server_);
    save(L"ProxyEnable", enable_);
    RegDeleteValueW(key_, L"ProxyServer");
    RegDeleteValueW(key_, L"ProxyEnable");
  }
  ~ProxyRegistry() {
    restore(L"ProxyServer", server_);
    restore(L"ProxyEnable", enable_);
    RegCloseKey(key_);
  }
  void Server(const std::wstring& v) {
    RegSetValueExW(key_, L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                   static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
  }
  void Enable(DWORD v) { RegSetValueExW(key_, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4); }
  void EnableAsText(const std::wstring& v) {
    RegSetValueExW(key_, L"ProxyEnable", 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                   static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
  }

 private:
  struct Saved {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
  };
  void save(const wchar_t* name, Saved& s) {
    DWORD size = 0;
    if (RegQueryValueExW(key_, name, nullptr, &s.type, nullptr, &size) != ERROR_SUCCESS) return;
    s.data.resize(size);
    s.present = RegQueryValueExW(key_, name, nullptr, &s.type, s.data.data(), &size) == ERROR_SUCCESS;
  }
  void restore(const wchar_t* name, const Saved& s) {
    if (s.present)
      RegSetValueExW(key_, name, 0, s.type, s.data.data(), static_cast<DWORD>(s.data.size()));
    else
      RegDeleteValueW(key_, name);
  }
  HKEY key_ = nullptr;
  Saved server_, enable_;
};
}  // namespace

TEST(SettingsStore, TheFileIsBesideTheProgram) {
  EXPECT_EQ(SettingsFileName(), ChangeFileExt(ExecutablePath(), L".ini"));
}

// Which settings file, and where the report and the serial floor go, in either layout.
TEST(SettingsStore, TheLayoutDecidesWhereTheDataLive) {
  const std::wstring inst = L"C:\\Program Files\\Дорвекс", data = L"C:\\ProgramData\\Ворел-Софт\\Дорвекс";
  const std::wstring exe = inst + L"\\dorvex.exe", copy = L"D:\\Копия\\dorvex.exe";
  struct Case {
    const char* what;
    DataLayoutFacts facts;
    std::wstring settings, report;
    bool installed;
  };
  const std::vector<Case> cases{
      {"portable: beside the program", {L"", copy, true, L"", L""}, L"D:\\Копия\\dorvex.ini", L"D:\\Копия\\dorvex.txt", false},
      {"portable, first start", {L"", copy, false, L"", L""}, L"D:\\Копия\\dorvex.ini", L"D:\\Копия\\dorvex.txt", false},
      {"a copy with its own settings on an installed computer", {L"", copy, true, data, inst}, L"D:\\Копия\\dorvex.ini",
       L"D:\\Копия\\dorvex.txt", false},
      {"a copy without settings on an installed computer", {L"", copy, false, data, inst}, L"D:\\Копия\\dorvex.ini",
       L"D:\\Копия\\dorvex.txt", false},
      {"installed: the data folder", {L"", exe, false, data, inst}, data + L"\\dorvex.ini", data + L"\\dorvex.txt", true},
      {"installed, the folders recorded with a backslash", {L"", exe, false, data + L"\\", inst + L"\\"},
       data + L"\\dorvex.ini", data + L"\\dorvex.txt", true},
      {"the install folder holds settings (an older layout)", {L"", exe, true, data, inst}, inst + L"\\dorvex.ini",
       inst + L"\\dorvex.txt", false},
      {"/CONF: first", {L"E:\\s\\other.ini", copy, true, data, inst}, L"E:\\s\\other.ini", L"D:\\Копия\\dorvex.txt", false},
      {"/CONF: to the installed program: nothing beside it", {L"E:\\s\\other.ini", exe, false, data, inst},
       L"E:\\s\\other.ini", L"E:\\s\\dorvex.txt", true},
      {"/CONF: naming the data folder's file", {data + L"\\dorvex.ini", copy, true, data, inst}, data + L"\\dorvex.ini",
       data + L"\\dorvex.txt", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const DataLayout d = ResolveDataLayout(k.facts);
    EXPECT_EQ(d.settings, k.settings);
    EXPECT_EQ(d.report, k.report);
    EXPECT_EQ(d.state, ChangeFileExt(k.settings, L".state"));
    EXPECT_EQ(d.installed, k.installed);
  }
  // The tests' own programs are portable.
  EXPECT_EQ(DataLocation().settings, ChangeFileExt(ExecutablePath(), L".ini"));
  EXPECT_FALSE(DataLocation().installed);
}

TEST(SettingsStore, AMissingFileGivesEveryDefault) {
  ProxyRegistry proxy;
  DeleteFileW(SettingsFileName().c_str());
  LoadSettings();
  const TSettings& s = Settings();
  EXPECT_FALSE(s.AutoRun);
  EXPECT_EQ(s.UpgradeFilesDir, L"");
  EXPECT_EQ(s.FtpPort, L"21");
  EXPECT_EQ(s.FtpTimeOut, 30);
  EXPECT_EQ(s.FtpUserName, L"anonymous");
  EXPECT_FALSE(s.FtpPassword.empty());
  EXPECT_EQ(s.FtpRootDir, L"/");
  EXPECT_TRUE(s.FtpEnableRestore);
  EXPECT_EQ(s.HttpPort, L"80");
  EXPECT_EQ(s.HttpRootDir, L"/");
  EXPECT_FALSE(s.HttpEnableRestore);
  EXPECT_EQ(s.DiskRootDir, L"a:\\");
  EXPECT_EQ(s.ConnectionType, 1);
  EXPECT_EQ(s.AttemptCount, 5);
  EXPECT_EQ(s.AttemptPause, 10);
  EXPECT_FALSE(s.RasUse);
  EXPECT_TRUE(s.RasHangUpAfterDownload);
  EXPECT_FALSE(s.ProxyUse);
  EXPECT_EQ(s.ProxyServerPort, L"3128");
  EXPECT_TRUE(s.ProxyDisableCache);
  EXPECT_EQ(s.ProxyAuthType, 0);
  EXPECT_FALSE(s.NoBitmap);
  EXPECT_TRUE(s.EnableLogReports);
  EXPECT_FALSE(s.DeleteOldFiles);
  EXPECT_EQ(ProtocolClass(), ProtocolKind::Http);
  EXPECT_EQ(ConnectionTypeName(), L"протокол HTTP");
}

TEST(SettingsStore, ValuesNonNumbersAndTheRepositoryBackslash) {
  ProxyRegistry proxy;
  LoadFrom(L"[Common]\r\nAutoRun=1\r\nUpgradeFilesDir=D:\\Обновления\r\n"
           L"[Ftp]\r\nServer=ftp.example\r\nTimeOut=0x10\r\nEnableRestore=0\r\n"
           L"[Connection]\r\nConnectionType=2\r\nAttemptCount=пять\r\nAttemptPause=0\r\n"
           L"[Service]\r\nNoBitmap=7\r\nDeleteOldFiles=abc\r\n");
  const TSettings& s = Settings();
  EXPECT_TRUE(s.AutoRun);
  EXPECT_EQ(s.UpgradeFilesDir, L"D:\\Обновления\\");
  EXPECT_EQ(s.FtpServer, L"ftp.example");
  EXPECT_EQ(s.FtpTimeOut, 16);
  EXPECT_FALSE(s.FtpEnableRestore);
  EXPECT_EQ(s.ConnectionType, 2);
  EXPECT_EQ(s.AttemptCount, 5);  // not a number: the default
  EXPECT_EQ(s.AttemptPause, 0);
  EXPECT_TRUE(s.NoBitmap);        // any non-zero number is true
  EXPECT_FALSE(s.DeleteOldFiles);  // not a number: the default
  EXPECT_EQ(ProtocolClass(), ProtocolKind::Disk);
  EXPECT_EQ(ConnectionTypeName(), L"файловый протокол");
  EXPECT_TRUE(AutoMode());
  EXPECT_TRUE(NoBitmapMode());

  // A second load starts again from the built-in defaults.
  LoadFrom(L"[Common]\r\nUpgradeFilesDir=\r\n");
  EXPECT_EQ(Settings().UpgradeFilesDir, L"");
  EXPECT_FALSE(Settings().AutoRun);
  EXPECT_FALSE(AutoMode());
}

// A settings file saved as UTF-8 is refused with its name and the code page to use; ASCII and
// code page 1251 never are, nor a missing file.
TEST(SettingsStore, AFileSavedAsUtf8IsRecognised) {
  const std::string ru = WideToUtf8(L"[Common]\r\nUpgradeFilesDir=C:\\Хранилище\\\r\n");
  struct Case {
    const char* what;
    std::string bytes;
    bool utf8;
  };
  const Case cases[] = {
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + ru, true},
      {"UTF-8 without a mark", ru, true},
      {"the mark before ASCII", "\xEF\xBB\xBF[Common]\r\n", true},
      {"ASCII", "[Common]\r\nUpgradeFilesDir=C:\\Upd\\\r\n", false},
      {"code page 1251", WideToAnsi(L"[Program1]\r\nTitle=Корвенд «Бухгалтерия» — Ёлка, №5\r\nПРИВЕТ\r\n", 1251),
       false},
      {"1251 capitals before guillemets", WideToAnsi(L"Title=«БУХГАЛТЕРИЯ»\r\n", 1251), false},
      {"UTF-8 cut in a letter", ru.substr(0, ru.find('\xD0') + 1), false},
      {"an overlong slash", "Dir=\xC0\xAF", false},
  };
  test::ScratchDir dir;
  for (const Case& c : cases) {
    EXPECT_EQ(LooksLikeUtf8(c.bytes), c.utf8) << c.what;
    test::WriteBytes(dir / L"s.ini", c.bytes);
    const std::wstring fault = SettingsEncodingFault(dir / L"s.ini");
    EXPECT_EQ(fault.empty(), !c.utf8) << c.what;
    if (!c.utf8) continue;
    EXPECT_NE(fault.find(dir / L"s.ini"), std::wstring::npos) << c.what;
    EXPECT_NE(fault.find(L"Windows-1251"), std::wstring::npos) << c.what;
  }
  EXPECT_EQ(SettingsEncodingFault(dir / L"missing.ini"), L"");
}

TEST(SettingsStore, ProtocolChoiceAndNames) {
  ProxyRegistry proxy;
  LoadFrom(L"[Connection]\r\nConnectionType=0\r\n");
  EXPECT_EQ(ProtocolClass(), ProtocolKind::Ftp);
  EXPECT_EQ(ConnectionTypeName(), L"протокол FTP");
  LoadFrom(L"[Connection]\r\nConnectionType=0\r\n[Proxy]\r\nUse=1\r\n");
  EXPECT_EQ(ProtocolClass(), ProtocolKind::Http);  // FTP through the proxy goes as HTTP
  LoadFrom(L"[Connection]\r\nConnectionType=3\r\n");
  EXPECT_EQ(ConnectionTypeName(), L"автоматически");
  EXPECT_EQ(ProtocolClass(), ProtocolKind::Http);
  LoadFrom(L"[Connection]\r\nConnectionType=9\r\n");
  EXPECT_EQ(ProtocolClass(), ProtocolKind::Http);
  EXPECT_FALSE(SystemDownload());
  LoadFrom(L"[Connection]\r\nConnectionType=258\r\n");  // kept in one byte
  EXPECT_EQ(Settings().ConnectionType, 2);
}

TEST(SettingsStore, SystemDownloadNeedsTheFunctionAndTheAutomaticType) {
  ProxyRegistry proxy;
  LoadFrom(L"[Connection]\r\nConnectionType=3\r\n");
  UnbindSystemDownload();
  EXPECT_FALSE(SystemDownload());
  BindSystemDownload();
  ASSERT_NE(SystemDownloadFunction(), nullptr);
  EXPECT_TRUE(SystemDownload());
  LoadFrom(L"[Connection]\r\nConnectionType=1\r\n");
  EXPECT_FALSE(SystemDownload());
  UnbindSystemDownload();
}

TEST(SettingsStore, SaveWritesEveryKeyAndLoadReadsThemBack) {
  ProxyRegistry proxy;
  DeleteFileW(SettingsFileName().c_str());
  LoadSettings();
  TSettings& s = Settings();
  s.UpgradeFilesDir = L"C:\\Хранилище\\";
  s.FtpPassword = L"секрет";
  s.ConnectionType = 0;
  s.AttemptCount = 0;
  s.RasEntryName = L"Модем";
  s.ProxyAuthType = 1;
  s.DeleteOldFiles = true;
  SaveSettings();
  std::string bytes = test::ReadBytes(SettingsFileName());
  EXPECT_NE(bytes.find(WideToAnsi(L"UpgradeFilesDir=C:\\Хранилище\\\r\n")), std::string::npos);  // code page 1251
  EXPECT_NE(bytes.find("[Common]"), bytes.find("[Ftp]"));
  EXPECT_LT(bytes.find("[Common]"), bytes.find("[Ftp]"));
  EXPECT_LT(bytes.find("[RAS]"), bytes.find("[Proxy]"));
  EXPECT_LT(bytes.find("[Proxy]"), bytes.find("[Service]"));
  EXPECT_NE(bytes.find("EnableRestore=1"), std::string::npos);
  EXPECT_NE(bytes.find("DeleteOldFiles=1"), std::string::npos);
  EXPECT_EQ(bytes.find("[Session]"), std::string::npos);
  s = TSettings{};
  LoadSettings();
  EXPECT_EQ(Settings().FtpPassword, L"секрет");
  EXPECT_EQ(Settings().ConnectionType, 0);
  EXPECT_EQ(Settings().AttemptCount, 0);
  EXPECT_EQ(Settings().RasEntryName, L"Модем");
  EXPECT_EQ(Settings().ProxyAuthType, 1);
  EXPECT_TRUE(Settings().DeleteOldFiles);
}

// User names and passwords come back exactly as saved: blanks at either end and quotes
// around them survive the profile functions' trimming and unquoting.
TEST(SettingsStore, CredentialsSurviveSaveAndLoad) {
  ProxyRegistry proxy;
  const std::vector<std::wstring> values = {L" Иванов ", L"\"пароль\"", L"'x'", L"\t", L"a\"b", L"\"", L"  ", L"плохо'",
                                            L"обычный"};
  for (const auto& v : values) {
    DeleteFileW(SettingsFileName().c_str());
    LoadSettings();
    Settings().FtpUserName = v;
    Settings().FtpPassword = v + L"1";
    Settings().ProxyLogin = L" " + v;
    Settings().ProxyPassword = v + L" ";
    SaveSettings();
    Settings() = TSettings{};
    LoadSettings();
    EXPECT_EQ(Settings().FtpUserName, v) << WideToUtf8(v);
    EXPECT_EQ(Settings().FtpPassword, v + L"1") << WideToUtf8(v);
    EXPECT_EQ(Settings().ProxyLogin, L" " + v) << WideToUtf8(v);
    EXPECT_EQ(Settings().ProxyPassword, v + L" ") << WideToUtf8(v);
  }
  EXPECT_TRUE(FitsAnsiCodePage(L"Пароль №1 «ёлка»"));
  EXPECT_FALSE(FitsAnsiCodePage(L"\u4e2d"));
  EXPECT_FALSE(FitsAnsiCodePage(L"a\u0101"));  // no best-fit "a" for a Latvian letter
}

TEST(SessionKeys, TempDirAndLastRun) {
  DeleteFileW(SettingsFileName().c_str());
  EXPECT_EQ(ReadSessionTempDir(), L"");
  EXPECT_EQ(ReadLastRun(), 0.0);
  WriteSessionTempDir(L"C:\\temp\\~KT1.tmp\\");
  EXPECT_EQ(ReadSessionTempDir(), L"C:\\temp\\~KT1.tmp\\");
  TDateTime t = EncodeDateTime(2026, 12, 7, 23, 15, 42);
  WriteLastRun(t);
  EXPECT_NEAR(ReadLastRun(), t, 1e-9);
  // Written in the locale's form: a comma under the Russian locale.
  EXPECT_NE(test::ReadBytes(SettingsFileName()).find("LastRun=46363,"), std::string::npos);
  WriteLastRun(0);
  EXPECT_EQ(ReadLastRun(), 0.0);
  EXPECT_NE(test::ReadBytes(SettingsFileName()).find("LastRun=\r\n"), std::string::npos);
  test::WriteBytes(SettingsFileName(), "[Session]\r\nLastRun=вчера\r\n");
  EXPECT_EQ(ReadLastRun(), 0.0);
  test::WriteBytes(SettingsFileName(), "[Session]\r\nLastRun=46363.5\r\n");
  EXPECT_DOUBLE_EQ(ReadLastRun(), 46363.5);
}

TEST(SystemProxy, PerSchemeListsAndPlainValues) {
  ProxyRegistry reg;
  EXPECT_FALSE(ReadIEProxy(L"http").found);

  reg.Server(L"http=proxy1:8080;ftp=proxy2:21");
  IEProxy p = ReadIEProxy(L"http");
  EXPECT_TRUE(p.found);
  EXPECT_EQ(p.host, L"proxy1");
  EXPECT_EQ(p.port, L"8080");
  EXPECT_EQ(ReadIEProxy(L"ftp").host, L"proxy2");
  EXPECT_FALSE(ReadIEProxy(L"https").found);

  reg.Server(L"HTTP=proxy1:8080;ftp=proxy2:21");
  EXPECT_EQ(ReadIEProxy(L"http").host, L"proxy1");

  reg.Server(L"proxy3:3128");
  p = ReadIEProxy(L"ftp");
  EXPECT_TRUE(p.found);
  EXPECT_EQ(p.host, L"proxy3");
  EXPECT_EQ(p.port, L"3128");

  reg.Server(L"proxy5:abc");
  EXPECT_EQ(ReadIEProxy(L"http").port, L"0");

  reg.Server(L"barehost");
  EXPECT_FALSE(ReadIEProxy(L"http").found);
}

TEST(SystemProxy, EnableSwitchAndTheDefaultsItGives) {
  ProxyRegistry reg;
  reg.Server(L"proxy3:3128");
  reg.Enable(1);
  EXPECT_TRUE(ReadIEProxy(L"http").enabled);
  DeleteFileW(SettingsFileName().c_str());
  LoadSettings();
  EXPECT_TRUE(Settings().ProxyUse);
  EXPECT_EQ(Settings().ProxyServerName, L"proxy3");
  EXPECT_EQ(Settings().ProxyServerPort, L"3128");

  // The file still has the last word.
  LoadFrom(L"[Proxy]\r\nUse=0\r\nProxyServerPort=8000\r\n");
  EXPECT_FALSE(Settings().ProxyUse);
  EXPECT_EQ(Settings().ProxyServerName, L"proxy3");
  EXPECT_EQ(Settings().ProxyServerPort, L"8000");

  reg.EnableAsText(L"1");  // stored as text: the proxy stays off
  EXPECT_FALSE(ReadIEProxy(L"http").enabled);

  reg.Enable(1);
  reg.Server(L"barehost");  // not found: the built-in defaults stay, the switch is not applied
  DeleteFileW(SettingsFileName().c_str());
  LoadSettings();
  EXPECT_FALSE(Settings().ProxyUse);
  EXPECT_EQ(Settings().ProxyServerPort, L"3128");
}
