#include "dialogs/optionsfrm.h"

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs_util.h"
#include "settings/options.h"
#include "settings/rasapi.h"
#include "test_util.h"
#include "ui/modal.h"
#include "ui/pump.h"

using namespace dorvex;
using namespace dorvex::test;

namespace {
// A settings file as a user's could be: the session's keys, two programs on the list.
std::wstring BaseSettings(const std::wstring& repository) {
  return L"[Common]\r\nUpgradeFilesDir=" + repository +
         L"\r\n[Ftp]\r\nServer=ftp.example\r\nPort=21\r\nTimeOut=45\r\nUserName=anon\r\nPassword=p w\r\n"
         L"RootDir=/pub\r\n[Http]\r\nServer=www.example\r\nPort=80\r\nRootDir=/upd/\r\n"
         L"[Disk]\r\nRootDir=A:\\\r\n[Connection]\r\nConnectionType=0\r\nAttemptCount=500\r\nAttemptPause=10\r\n"
         L"[Proxy]\r\nUse=0\r\nProxyServerName=proxy\r\nProxyServerPort=3128\r\nProxyAuthType=0\r\n"
         L"[RAS]\r\nUse=1\r\nEntryName=Модем\r\nHangUpAfterDownload=1\r\n"
         L"[Session]\r\nTempDir=C:\\Temp\\~KT1.tmp\r\nLastRun=45000,5\r\n"
         L"[General]\r\nActiveProgramCount=2\r\n"
         L"[Program1]\r\nProgramID=Sklad\r\nExeDir=C:\\Vorel\\Sklad\\\r\nUpgradeExe=C:\\Vorel\\Sklad\\\r\n"
         L"VirtualUpgrade=0\r\nVirtualVersion=0\r\n"
         L"[Program2]\r\nProgramID=Kassa\r\nExeDir=\r\nUpgradeExe=\r\nVirtualUpgrade=1\r\nVirtualVersion=412\r\n";
}

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadRasLibrary();  // the service is switched off for this program: the page says it is not installed
    BindSystemDownload();
    repo_ = std::make_unique<ScratchDir>(L"Хранилище");
    PrepareSettings(BaseSettings(repo_->Path()));
  }
  void TearDown() override { SetFileAttributesW(SettingsFileName().c_str(), FILE_ATTRIBUTE_NORMAL); }
  std::unique_ptr<ScratchDir> repo_;
};

// Presses "Сохранить" and tells whether the dialog ended.
bool Save(TOptionsForm& f) {
  Click(f.Handle(), IDOK);
  return !f.IsModal();
}
}  // namespace

TEST_F(OptionsTest, OpensWithTheSettingsAsTheyAre) {
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    EXPECT_EQ(TextOf(form), L"Настройки и параметры");
    EXPECT_EQ(TextOf(f.Item(IDOK)), L"Сохранить");
    EXPECT_EQ(TextOf(f.Item(IDCANCEL)), L"Отмена");
    EXPECT_EQ(f.ActivePage(), TOptionsForm::CommonPage);
    EXPECT_EQ(TextOf(f.Item(IDC_UPGRADEFILESDIR)), repo_->Path());
    EXPECT_TRUE(Checked(f.Item(IDC_HANGRUN)));
    EXPECT_FALSE(Checked(f.Item(IDC_AUTORUN)));
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_AUTORUN)));
    // Numbers as loaded, never clamped.
    EXPECT_EQ(TextOf(f.Item(IDC_ATTEMPTCOUNT)), L"500");
    EXPECT_TRUE(Checked(f.Item(IDC_CONN_FTP)));
    // The list: the active programs in list order, the first selected.
    ASSERT_EQ(f.RowCount(), 2);
    EXPECT_EQ(f.RowText(0, 0), L"Корвенд-Склад: Складской учет");
    EXPECT_EQ(f.RowText(0, 1), L"загрузка и обновление");
    EXPECT_EQ(f.RowText(1, 1), L"только загрузка");
    EXPECT_EQ(f.SelectedRow(), 0);
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_PROG_ADD)));
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_PROG_EDIT)));
    // Passwords are masked.
    EXPECT_TRUE(GetWindowLongPtrW(f.Item(IDC_PROXY_PASSWORD), GWL_STYLE) & ES_PASSWORD);
    EXPECT_EQ(SendMessageW(f.Item(IDC_PROXY_PASSWORD), EM_GETPASSWORDCHAR, 0, 0), L'*');
    EXPECT_TRUE(GetWindowLongPtrW(f.ProtocolForm().Item(IDC_FTP_PASSWORD), GWL_STYLE) & ES_PASSWORD);
    // No phone book: the dial-up page says remote access is not installed, and that saving
    // clears the stored dial-up choice.
    EXPECT_FALSE(f.RasChoiceShown());
    EXPECT_TRUE(IsShownFlag(f.Item(IDC_RAS_NONE_SAVE)));
    f.EndModal(IDCANCEL);
  });
  EXPECT_EQ(f.ShowModal(nullptr), IDCANCEL);
  EXPECT_EQ(script.shown, 1);
}

TEST_F(OptionsTest, SavesEveryKindOfChangeAndKeepsTheRest) {
  Boxes boxes;
  Folders folders;
  ScratchDir other(L"Обновления");
  folders.answers = {ExcludeTrailingBackslash(other.Path())};
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    Click(form, IDC_UPGRADEFILESDIR_BTN);  // the folder chooser replaces the text
    EXPECT_EQ(TextOf(f.Item(IDC_UPGRADEFILESDIR)), ExcludeTrailingBackslash(other.Path()));
    Type(f.Item(IDC_UPGRADEFILESDIR), L"  " + TextOf(f.Item(IDC_UPGRADEFILESDIR)) + L"  ");
    Type(f.Item(IDC_ATTEMPTCOUNT), L"7");
    Type(f.Item(IDC_ATTEMPTPAUSE), L" 30 ");
    Click(form, IDC_CONN_HTTP);
    Click(form, IDC_PROXY_USE);
    Type(f.Item(IDC_PROXY_HOST), L"  прокси.local ");
    Type(f.Item(IDC_PROXY_PORT), L" 8080");
    SendMessageW(f.Item(IDC_PROXY_AUTH), CB_SETCURSEL, 1, 0);
    SendMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_PROXY_AUTH, CBN_SELCHANGE), 0);
    Type(f.Item(IDC_PROXY_LOGIN), L" Иванов ");
    Type(f.Item(IDC_PROXY_PASSWORD), L" пароль ");
    Click(form, IDC_NOBITMAP);
    Click(form, IDC_DELETEOLD);
    Click(form, IDC_CONN_HTTP_SETUP);  // the protocol dialog: its script runs now
    Click(form, IDC_CONN_DISK_SETUP);
    EXPECT_TRUE(Save(f));
  });
  script.Then([&](HWND proto) {
    TOptionsProtocolForm& p = f.ProtocolForm();
    EXPECT_EQ(TextOf(proto), L"Настройка протоколов загрузки");
    EXPECT_EQ(p.ActivePage(), TOptionsProtocolForm::HttpPage);
    Type(p.Item(IDC_HTTP_SERVER), L" updates.example ");
    Type(p.Item(IDC_HTTP_ROOT), L"dorvex");
    Click(proto, IDOK);
  });
  script.Then([&](HWND proto) {
    Type(f.ProtocolForm().Item(IDC_DISK_ROOT), L"D:\\Обновления");
    Click(proto, IDOK);
  });
  ASSERT_EQ(f.ShowModal(nullptr), IDOK);
  EXPECT_TRUE(boxes.shown.empty()) << boxes.Last();
  const std::string b = SettingsBytes();
  // cp1251 bytes, not UTF-8 or UTF-16
  EXPECT_NE(b.find(WideToAnsi(L"прокси.local", 1251)), std::string::npos);
  EXPECT_EQ(b.find("\xD0\xBF"), std::string::npos);
  EXPECT_EQ(IniValue(b, L"Common", L"UpgradeFilesDir"), other.Path());
  EXPECT_EQ(IniValue(b, L"Common", L"AutoRun"), L"0");
  EXPECT_EQ(IniValue(b, L"Connection", L"ConnectionType"), L"1");
  EXPECT_EQ(IniValue(b, L"Connection", L"AttemptCount"), L"7");
  EXPECT_EQ(IniValue(b, L"Connection", L"AttemptPause"), L"30");
  EXPECT_EQ(IniValue(b, L"Proxy", L"Use"), L"1");
  EXPECT_EQ(IniValue(b, L"Proxy", L"ProxyServerName"), L"прокси.local");
  EXPECT_EQ(IniValue(b, L"Proxy", L"ProxyServerPort"), L"8080");
  EXPECT_EQ(IniValue(b, L"Proxy", L"ProxyAuthType"), L"1");
  EXPECT_EQ(Settings().ProxyLogin, L" Иванов ");  // user names and passwords as typed
  EXPECT_EQ(Settings().ProxyPassword, L" пароль ");
  EXPECT_EQ(IniValue(b, L"Http", L"Server"), L"updates.example");
  EXPECT_EQ(IniValue(b, L"Http", L"RootDir"), L"dorvex/");
  EXPECT_EQ(IniValue(b, L"Http", L"EnableRestore"), L"0");
  EXPECT_EQ(IniValue(b, L"Disk", L"RootDir"), L"D:\\Обновления\\");
  EXPECT_EQ(IniValue(b, L"Ftp", L"RootDir"), L"/pub");
  EXPECT_EQ(IniValue(b, L"Ftp", L"TimeOut"), L"45");
  EXPECT_EQ(Settings().FtpPassword, L"p w");
  EXPECT_EQ(IniValue(b, L"Service", L"NoBitmap"), L"1");
  EXPECT_EQ(IniValue(b, L"Service", L"DeleteOldFiles"), L"1");
  // Remote access not installed: a dial-up choice that cannot work is cleared (the page said so).
  EXPECT_EQ(IniValue(b, L"RAS", L"Use"), L"0");
  EXPECT_EQ(IniValue(b, L"RAS", L"EntryName"), L"");
  // The session's keys and the delivery list survive.
  EXPECT_EQ(IniValue(b, L"Session", L"TempDir"), L"C:\\Temp\\~KT1.tmp");
  EXPECT_EQ(IniValue(b, L"Session", L"LastRun"), L"45000,5");
  EXPECT_EQ(IniValue(b, L"General", L"ActiveProgramCount"), L"2");
  EXPECT_EQ(IniValue(b, L"Program2", L"VirtualVersion"), L"412");
  EXPECT_FALSE(PathExists(SettingsFileName() + L".new"));
  // The record in memory follows the file.
  EXPECT_EQ(Settings().UpgradeFilesDir, other.Path());
  EXPECT_EQ(Settings().ConnectionType, 1);
  EXPECT_TRUE(Settings().NoBitmap);
}

TEST_F(OptionsTest, ValidationMessagesInOrderWithThePageAndField) {
  Boxes boxes;
  const std::string before = SettingsBytes();
  const TSettings saved = Settings();
  TOptionsForm f;
  ModalScript script;
  struct Case {
    std::function<void()> arrange;
    std::wstring message;
    int page;
    int field;
  };
  std::vector<Case> cases = {
      {[&] { Type(f.Item(IDC_UPGRADEFILESDIR), repo_->Path() + L"\r\nX"); },
       L"Значение поля не может содержать перевод строки.", TOptionsForm::CommonPage, IDC_UPGRADEFILESDIR},
      {[&] { Type(f.Item(IDC_UPGRADEFILESDIR), L"   "); }, L"Каталог для хранилища обновлений не найден.",
       TOptionsForm::CommonPage, IDC_UPGRADEFILESDIR},
      {[&] { Type(f.Item(IDC_UPGRADEFILESDIR), L"Хранилище"); },
       L"Каталог для хранилища обновлений должен быть указан полным путем, начиная с имени диска.",
       TOptionsForm::CommonPage, IDC_UPGRADEFILESDIR},
      {[&] { Type(f.Item(IDC_UPGRADEFILESDIR), repo_->Path() + L"нет\\"); },
       L"Каталог для хранилища обновлений не найден.", TOptionsForm::CommonPage, IDC_UPGRADEFILESDIR},
      {[&] {
         Type(f.Item(IDC_UPGRADEFILESDIR), L" " + repo_->Path() + L" ");
         Type(f.Item(IDC_ATTEMPTCOUNT), L"");
       },
       L"Число попыток при неудаче должно быть указано целым числом.", TOptionsForm::ConnectionPage,
       IDC_ATTEMPTCOUNT},
      {[&] { Type(f.Item(IDC_ATTEMPTCOUNT), L"-1"); }, L"Число попыток при неудаче должно быть указано целым числом.",
       TOptionsForm::ConnectionPage, IDC_ATTEMPTCOUNT},
      {[&] {
         Type(f.Item(IDC_ATTEMPTCOUNT), L"3");
         Type(f.Item(IDC_ATTEMPTPAUSE), L"1O");
       },
       L"Пауза между попытками должна быть указана целым числом секунд.", TOptionsForm::ConnectionPage,
       IDC_ATTEMPTPAUSE},
      {[&] {
         Type(f.Item(IDC_ATTEMPTPAUSE), L"0");
         Click(f.Handle(), IDC_PROXY_USE);
         Type(f.Item(IDC_PROXY_HOST), L"   ");
       },
       L"Не указано имя прокси-сервера.", TOptionsForm::ProxyPage, IDC_PROXY_HOST},
      {[&] {
         Type(f.Item(IDC_PROXY_HOST), L"proxy");
         Type(f.Item(IDC_PROXY_PORT), L"  ");
       },
       L"Не указан номер порта прокси-сервера.", TOptionsForm::ProxyPage, IDC_PROXY_PORT},
      {[&] { Type(f.Item(IDC_PROXY_PORT), L"65536"); },
       L"Номер порта прокси-сервера должен быть целым числом от 1 до 65535.", TOptionsForm::ProxyPage, IDC_PROXY_PORT},
      {[&] { Type(f.Item(IDC_PROXY_PORT), L"0"); },
       L"Номер порта прокси-сервера должен быть целым числом от 1 до 65535.", TOptionsForm::ProxyPage, IDC_PROXY_PORT},
      // A user name or password the settings file would not give back as typed.
      {[&] {
         SendMessageW(f.Item(IDC_PROXY_AUTH), CB_SETCURSEL, 1, 0);  // Basic: the name and password are used
         SendMessageW(GetParent(f.Item(IDC_PROXY_AUTH)), WM_COMMAND, MAKEWPARAM(IDC_PROXY_AUTH, CBN_SELCHANGE),
                      reinterpret_cast<LPARAM>(f.Item(IDC_PROXY_AUTH)));
         Type(f.Item(IDC_PROXY_LOGIN), L"Ivan\u0101");
       },
       L"Поле «Имя для прокси» содержит знаки, которых нет в кодировке Windows (1251): в файле настроек они "
       L"превратились бы в «?». Замените или уберите их.",
       TOptionsForm::ProxyPage, IDC_PROXY_LOGIN},
      {[&] {
         Type(f.Item(IDC_PROXY_LOGIN), L" Иванов ");
         Type(f.Item(IDC_PROXY_PASSWORD), L"пароль\u4e2d");
       },
       L"Поле «Пароль для прокси» содержит знаки, которых нет в кодировке Windows (1251): в файле настроек они "
       L"превратились бы в «?». Замените или уберите их.",
       TOptionsForm::ProxyPage, IDC_PROXY_PASSWORD},
  };
  script.Then([&](HWND form) {
    for (size_t i = 0; i < cases.size(); ++i) {
      SCOPED_TRACE(i);
      f.SelectPage(TOptionsForm::ServicePage);
      cases[i].arrange();
      const size_t n = boxes.shown.size();
      EXPECT_FALSE(Save(f));
      ASSERT_EQ(boxes.shown.size(), n + 1);
      EXPECT_EQ(boxes.Last(), cases[i].message);
      EXPECT_TRUE(boxes.shown.back().flags & MB_ICONERROR);
      EXPECT_EQ(f.ActivePage(), cases[i].page);
      EXPECT_EQ(GetFocus(), f.Item(cases[i].field));
      EXPECT_EQ(SettingsBytes(), before);
    }
    // Put right, it saves.
    Type(f.Item(IDC_PROXY_PORT), L"65535");
    Type(f.Item(IDC_PROXY_PASSWORD), L"\"пароль\"");
    EXPECT_TRUE(Save(f));
    (void)form;
  });
  EXPECT_EQ(f.ShowModal(nullptr), IDOK);
  EXPECT_NE(saved.ProxyServerPort, Settings().ProxyServerPort);
  EXPECT_EQ(IniValue(SettingsBytes(), L"Proxy", L"ProxyServerPort"), L"65535");
  EXPECT_EQ(IniValue(SettingsBytes(), L"Common", L"UpgradeFilesDir"), repo_->Path());
  // Blanks and quotes survive the file: read back, the values are as typed.
  LoadSettings();
  EXPECT_EQ(Settings().ProxyLogin, L" Иванов ");
  EXPECT_EQ(Settings().ProxyPassword, L"\"пароль\"");
}

// With the automatic connection the proxy page is greyed: its fields are neither checked nor
// pointed at, whatever they hold; with a connection that uses them they are.
TEST_F(OptionsTest, AGreyedProxyPageIsNotValidated) {
  struct Case {
    int connection;
    bool saves;
  };
  for (const Case& k : {Case{IDC_CONN_AUTO, true}, Case{IDC_CONN_FTP, false}}) {
    SCOPED_TRACE(k.connection);
    PrepareSettings(BaseSettings(repo_->Path()));
    Boxes boxes;
    TOptionsForm f;
    ModalScript script;
    script.Then([&](HWND form) {
      Click(form, IDC_PROXY_USE);
      Type(f.Item(IDC_PROXY_HOST), L"");
      Type(f.Item(IDC_PROXY_PORT), L"x");
      Type(f.Item(IDC_PROXY_LOGIN), L"\u4e2d");
      Click(form, k.connection);
      EXPECT_EQ(IsWindowEnabled(f.PageWindow(TOptionsForm::ProxyPage)) != FALSE, !k.saves);
      EXPECT_EQ(Save(f), k.saves);
      if (!k.saves) {
        EXPECT_EQ(boxes.Last(), L"Не указано имя прокси-сервера.");
        EXPECT_EQ(f.ActivePage(), TOptionsForm::ProxyPage);
        f.EndModal(IDCANCEL);
      }
    });
    EXPECT_EQ(f.ShowModal(nullptr), k.saves ? IDOK : IDCANCEL);
    if (k.saves) {
      EXPECT_TRUE(boxes.shown.empty());
    }
  }
}

TEST_F(OptionsTest, CancelLeavesTheFileAndTheListAsTheyWere) {
  Boxes boxes;
  const std::string before = SettingsBytes();
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    Type(f.Item(IDC_ATTEMPTCOUNT), L"9");
    Click(form, IDC_CONN_AUTO);
    f.SelectRow(0);
    Click(form, IDC_PROG_DELETE);  // answered yes
    EXPECT_EQ(boxes.Last(), L"Удалить программу «Корвенд-Склад» из списка доставки обновлений ?");
    EXPECT_EQ(f.RowCount(), 1);
    EXPECT_EQ(f.SelectedRow(), 0);
    EXPECT_TRUE(f.WorkingList().FindByID(L"Sklad")->ExeDir.empty());
    EXPECT_FALSE(f.WorkingList().FindByID(L"Sklad")->Active);
    Click(form, IDCANCEL);
  });
  EXPECT_EQ(f.ShowModal(nullptr), IDCANCEL);
  EXPECT_EQ(SettingsBytes(), before);
  EXPECT_TRUE(ProgramCatalogue()->FindByID(L"Sklad")->Active);
  EXPECT_EQ(ProgramCatalogue()->FindByID(L"Sklad")->ExeDir, L"C:\\Vorel\\Sklad\\");
  EXPECT_EQ(Settings().AttemptCount, 500);
}

TEST_F(OptionsTest, AReadOnlySettingsFileIsReportedAndNothingChanges) {
  Boxes boxes;
  const std::string before = SettingsBytes();
  ASSERT_TRUE(SetFileAttributesW(SettingsFileName().c_str(), FILE_ATTRIBUTE_READONLY));
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    Type(f.Item(IDC_ATTEMPTCOUNT), L"3");
    f.SelectRow(0);
    Click(form, IDC_PROG_DELETE);
    EXPECT_FALSE(Save(f));
    ASSERT_FALSE(boxes.shown.empty());
    EXPECT_NE(boxes.Last().find(L"Не удалось записать файл настроек " + SettingsFileName()), std::wstring::npos)
        << boxes.Last();
    EXPECT_NE(boxes.Last().find(L"Ошибка Windows: «" + WindowsErrorText(ERROR_ACCESS_DENIED) + L"»"),
              std::wstring::npos)
        << boxes.Last();
    EXPECT_EQ(SettingsBytes(), before);
    EXPECT_EQ(Settings().AttemptCount, 500);
    EXPECT_TRUE(ProgramCatalogue()->FindByID(L"Sklad")->Active);
    EXPECT_FALSE(PathExists(SettingsFileName() + L".new"));
    // Writable again, the same dialog saves.
    SetFileAttributesW(SettingsFileName().c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(Save(f));
    (void)form;
  });
  EXPECT_EQ(f.ShowModal(nullptr), IDOK);
  EXPECT_EQ(IniValue(SettingsBytes(), L"Connection", L"AttemptCount"), L"3");
  EXPECT_EQ(IniValue(SettingsBytes(), L"General", L"ActiveProgramCount"), L"1");
  EXPECT_EQ(IniValue(SettingsBytes(), L"Program1", L"ProgramID"), L"Kassa");
  EXPECT_FALSE(ProgramCatalogue()->FindByID(L"Sklad")->Active);
  EXPECT_EQ(Settings().AttemptCount, 3);
}

TEST_F(OptionsTest, EnablingRules) {
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    // The proxy: host, port, choice and cache with the switch; login and password only with Basic.
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_PROXY_HOST)));
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_PROXY_LOGIN)));
    SendMessageW(f.Item(IDC_PROXY_AUTH), CB_SETCURSEL, 1, 0);
    SendMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_PROXY_AUTH, CBN_SELCHANGE), 0);
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_PROXY_LOGIN)));  // Basic, but the proxy is off
    Click(form, IDC_PROXY_USE);
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_PROXY_HOST)));
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_PROXY_NOCACHE)));
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_PROXY_LOGIN)));
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_PROXY_PASSWORD)));
    SendMessageW(f.Item(IDC_PROXY_AUTH), CB_SETCURSEL, 0, 0);
    SendMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_PROXY_AUTH, CBN_SELCHANGE), 0);
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_PROXY_LOGIN)));
    SendMessageW(f.Item(IDC_PROXY_AUTH), CB_SETCURSEL, 1, 0);
    SendMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_PROXY_AUTH, CBN_SELCHANGE), 0);
    Click(form, IDC_PROXY_USE);
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_PROXY_LOGIN)));  // switching the proxy off takes them too
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_PROXY_HOST)));
    Click(form, IDC_PROXY_USE);
    // The automatic connection.
    Click(form, IDC_CONN_AUTO);
    for (int id : {IDC_CONN_FTP, IDC_CONN_HTTP, IDC_CONN_DISK, IDC_CONN_FTP_SETUP, IDC_CONN_DISK_SETUP})
      EXPECT_FALSE(IsWindowEnabled(f.Item(id))) << id;
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_CONN_HTTP_SETUP)));
    EXPECT_FALSE(IsWindowEnabled(f.PageWindow(TOptionsForm::ProxyPage)));
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_PROXY_USE)));
    EXPECT_FALSE(IsWindowEnabled(f.PageWindow(TOptionsForm::RasPage)));
    Click(form, IDC_CONN_AUTO);
    EXPECT_TRUE(IsWindowEnabled(f.PageWindow(TOptionsForm::ProxyPage)));
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_PROXY_LOGIN)));  // the page's own rules again
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_CONN_FTP)));
    Click(form, IDC_CONN_AUTO);
    Type(f.Item(IDC_PROXY_HOST), L"p");
    Type(f.Item(IDC_PROXY_PORT), L"1");
    EXPECT_TRUE(Save(f));
  });
  EXPECT_EQ(f.ShowModal(nullptr), IDOK);
  // Automatic whatever radio button is checked.
  EXPECT_EQ(IniValue(SettingsBytes(), L"Connection", L"ConnectionType"), L"3");
}

TEST_F(OptionsTest, WithoutTheSystemDownloadTheAutomaticTypeBecomesHttp) {
  PrepareSettings(L"[Common]\r\nUpgradeFilesDir=" + repo_->Path() + L"\r\n[Connection]\r\nConnectionType=3\r\n");
  UnbindSystemDownload();
  {
    TOptionsForm f;
    f.EnsureCreated(nullptr);
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_CONN_AUTO)));
    EXPECT_FALSE(Checked(f.Item(IDC_CONN_AUTO)));
    EXPECT_TRUE(Checked(f.Item(IDC_CONN_HTTP)));
    EXPECT_EQ(Settings().ConnectionType, 1);
  }
  BindSystemDownload();
}

TEST_F(OptionsTest, ProtocolDialogChecksItsPageAndCancelPutsValuesBack) {
  Boxes boxes;
  TOptionsForm f;
  ModalScript script;
  struct Check {
    int field;
    std::wstring value;
    std::wstring message;
  };
  const std::vector<Check> ftp = {
      {IDC_FTP_SERVER, L"  ", L"Не указано имя ftp-сервера"},
      {IDC_FTP_PORT, L"", L"Не указан порт ftp-сервера"},
      {IDC_FTP_PORT, L"21a", L"Порт ftp-сервера должен быть целым числом от 1 до 65535"},
      {IDC_FTP_PORT, L"99999", L"Порт ftp-сервера должен быть целым числом от 1 до 65535"},
      {IDC_FTP_TIMEOUT, L"", L"Не указан тайм-аут ответа ftp-сервера"},
      {IDC_FTP_TIMEOUT, L"0", L"Не указан тайм-аут ответа ftp-сервера"},
      {IDC_FTP_TIMEOUT, L"x", L"Не указан тайм-аут ответа ftp-сервера"},
      {IDC_FTP_TIMEOUT, L"3601", L"Тайм-аут ответа ftp-сервера не может быть больше 3600 секунд"},
      {IDC_FTP_ROOT, L"/a\n/b", L"Значение поля не может содержать перевод строки."},
  };
  const std::vector<std::wstring> good = {L"ftp.example", L"21", L"21", L"21", L"30", L"30", L"30", L"30", L"/"};
  script.Then([&](HWND form) {
    Click(form, IDC_CONN_FTP_SETUP);  // runs the checks below, then is cancelled
    Click(form, IDC_CONN_HTTP_SETUP);
    Click(form, IDC_CONN_DISK_SETUP);
    EXPECT_TRUE(Save(f));
  });
  script.Then([&](HWND proto) {
    TOptionsProtocolForm& p = f.ProtocolForm();
    EXPECT_TRUE(IsWindowEnabled(p.PageWindow(TOptionsProtocolForm::FtpPage)));
    EXPECT_FALSE(IsWindowEnabled(p.PageWindow(TOptionsProtocolForm::HttpPage)));
    EXPECT_FALSE(IsWindowEnabled(p.PageWindow(TOptionsProtocolForm::DiskPage)));
    EXPECT_EQ(TextOf(p.Item(IDOK)), L"Записать");
    EXPECT_EQ(TextOf(p.Item(IDCANCEL)), L"Отменить");
    EXPECT_EQ(TextOf(p.Item(IDC_FTP_TIMEOUT)), L"45");
    for (size_t i = 0; i < ftp.size(); ++i) {
      SCOPED_TRACE(i);
      Type(p.Item(ftp[i].field), ftp[i].value);
      Click(proto, IDOK);
      EXPECT_TRUE(p.IsModal());
      EXPECT_EQ(boxes.Last(), ftp[i].message);
      EXPECT_EQ(GetFocus(), p.Item(ftp[i].field));
      Type(p.Item(ftp[i].field), good[i]);
    }
    Type(p.Item(IDC_FTP_USER), L"typed, then cancelled");
    Click(proto, IDCANCEL);
  });
  script.Then([&](HWND proto) {
    TOptionsProtocolForm& p = f.ProtocolForm();
    // The cancel put back what the FTP page held when it opened.
    EXPECT_EQ(TextOf(p.Item(IDC_FTP_SERVER)), L"ftp.example");
    EXPECT_EQ(TextOf(p.Item(IDC_FTP_TIMEOUT)), L"45");
    EXPECT_EQ(TextOf(p.Item(IDC_FTP_USER)), L"anon");
    EXPECT_FALSE(Checked(p.Item(IDC_HTTP_RESTORE)));
    EXPECT_FALSE(IsWindowEnabled(p.Item(IDC_HTTP_RESTORE)));
    Type(p.Item(IDC_HTTP_SERVER), L"");
    Click(proto, IDOK);
    EXPECT_EQ(boxes.Last(), L"Не указано имя Http-сервера");
    Type(p.Item(IDC_HTTP_SERVER), L"h");
    Type(p.Item(IDC_HTTP_PORT), L"");
    Click(proto, IDOK);
    EXPECT_EQ(boxes.Last(), L"Не указан порт Http-сервера");
    Type(p.Item(IDC_HTTP_PORT), L"65536");
    Click(proto, IDOK);
    EXPECT_EQ(boxes.Last(), L"Порт Http-сервера должен быть целым числом от 1 до 65535");
    Type(p.Item(IDC_HTTP_PORT), L"8080");
    Type(p.Item(IDC_HTTP_ROOT), L"");
    Click(proto, IDOK);
    EXPECT_FALSE(p.IsModal());
  });
  script.Then([&](HWND proto) {
    TOptionsProtocolForm& p = f.ProtocolForm();
    Type(p.Item(IDC_DISK_ROOT), L"   ");
    Click(proto, IDOK);
    EXPECT_EQ(boxes.Last(), L"Не указан путь к файловому ресурсу");
    EXPECT_EQ(GetFocus(), p.Item(IDC_DISK_ROOT));
    Click(proto, IDCANCEL);
  });
  EXPECT_EQ(f.ShowModal(nullptr), IDOK);
  const std::string b = SettingsBytes();
  EXPECT_EQ(IniValue(b, L"Ftp", L"UserName"), L"anon");
  EXPECT_EQ(IniValue(b, L"Ftp", L"TimeOut"), L"45");
  EXPECT_EQ(IniValue(b, L"Http", L"Server"), L"h");
  EXPECT_EQ(IniValue(b, L"Http", L"Port"), L"8080");
  EXPECT_EQ(IniValue(b, L"Http", L"RootDir"), L"/");
  EXPECT_EQ(IniValue(b, L"Disk", L"RootDir"), L"A:\\");  // the cancelled blank was put back
}

TEST_F(OptionsTest, ReportsAndInsertKeyAndDiskChooser) {
  Folders folders;
  folders.answers = {L"C:\\Отчеты", L"E:\\"};
  std::vector<std::wstring> opened;
  TOptionsForm f;
  f.OnShowReports = [&](HWND, const std::wstring& dir) { opened.push_back(dir); };
  ModalScript script;
  script.Then([&](HWND form) {
    Type(f.Item(IDC_UPGRADEFILESDIR), L" D:\\Хранилище ");
    Click(form, IDC_SHOW_REPORTS);
    // Insert in the repository field opens the chooser at the field's text.
    SendMessageW(f.Item(IDC_UPGRADEFILESDIR), WM_KEYDOWN, VK_INSERT, 0);
    ui::ProcessMessages();
    EXPECT_EQ(TextOf(f.Item(IDC_UPGRADEFILESDIR)), L"C:\\Отчеты");
    Click(form, IDC_CONN_DISK_SETUP);
    Click(form, IDCANCEL);
  });
  script.Then([&](HWND proto) {
    SendMessageW(f.ProtocolForm().Item(IDC_DISK_ROOT), WM_KEYDOWN, VK_INSERT, 0);
    ui::ProcessMessages();
    EXPECT_EQ(TextOf(f.ProtocolForm().Item(IDC_DISK_ROOT)), L"E:\\");
    Click(proto, IDOK);
  });
  f.ShowModal(nullptr);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], L"D:\\Хранилище");
  ASSERT_EQ(folders.prompts.size(), 2u);
  EXPECT_EQ(folders.prompts[0], L"Укажите каталог, в который должны записываться загруженные файлы обновлений программ");
  EXPECT_EQ(folders.initials[0], L" D:\\Хранилище ");
  EXPECT_EQ(folders.prompts[1], L"Укажите каталог, в которым находятся обновления программ");
  EXPECT_EQ(folders.initials[1], L"A:\\");
}
