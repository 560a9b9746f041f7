// The session report's text, its files, the report page's buttons and the report browser.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "app/controlsfrm.h"
#include "app/report.h"
#include "app/reportsfrm.h"
#include "common/errors.h"
#include "common/routines.h"
#include "common/text.h"
#include "repository/repairselectfrm.h"
#include "settings/options.h"
#include "test_util.h"
#include "ui/dialogs.h"
#include "ui/modal.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"

using namespace dorvex;

namespace {
struct SettingsReset {
  SettingsReset() { Settings() = TSettings{}; }
  ~SettingsReset() { Settings() = TSettings{}; }
};

std::vector<std::wstring> Between(const std::vector<std::wstring>& lines, const std::wstring& from,
                                  const std::wstring& to) {
  auto a = std::find(lines.begin(), lines.end(), from);
  auto b = std::find(a, lines.end(), to);
  return std::vector<std::wstring>(a, b);
}

ComposedReport Compose(const std::vector<std::wstring>& session = {}, int32_t received = 0, double seconds = 0,
                       const TProgramList* list = nullptr) {
  TDateTime end = EncodeDateTime(2026, 3, 7, 14, 5, 9);
  return ComposeReport(ReportInput{session, 10, received, seconds > 0 ? end - seconds / 86400.0 : 0, end}, list);
}
}  // namespace

TEST(ReportText, HeaderTimesTrafficAndPrograms) {
  SettingsReset reset;
  TProgramList list;
  AddCatalogueRows(list);
  list.FindByID(L"Sklad")->Active = true;
  list.FindByID(L"Tesk")->Active = true;
  list.FindByID(L"Tesk")->Repair = true;
  const std::wstring sp = ThousandSeparator();
  ComposedReport r = Compose({L"строка 1", L""}, 1234567, 100, &list);
  ASSERT_GE(r.lines.size(), 20u);
  EXPECT_EQ(r.lines[0], L"");
  EXPECT_EQ(r.lines[1], L"ОТЧЕТ ПО РАБОТЕ ПРОГРАММЫ «ДОРВЕКС»");
  EXPECT_EQ(r.lines[2], L"");
  EXPECT_EQ(r.lines[3].rfind(L"Версия «Дорвекса»: 1.0.1 от ", 0), 0u);
  EXPECT_EQ(r.lines[4], L"Начало: 07.03.2026 г. в 14:03:29");
  EXPECT_EQ(r.lines[5], L"Окончание: 07.03.2026 г. в 14:05:09");
  EXPECT_EQ(r.lines[6], L"Длительность работы: 1 мин. 40 сек.");
  EXPECT_EQ(Between(r.lines, L"Трафик:", L""),
            (std::vector<std::wstring>{L"Трафик:", L"  - принято: 1" + sp + L"234" + sp + L"567 байт;",
                                       L"  - передано: 10 байт;", L"  - средняя скорость: 12" + sp + L"346 CPS."}));
  EXPECT_EQ(Between(r.lines, L"Доставка обновлений для программ: ", L""),
            (std::vector<std::wstring>{L"Доставка обновлений для программ: ", L"  - Корвенд-Склад",
                                       L"  - Теск [аварийное обновление]"}));
  EXPECT_EQ(std::vector<std::wstring>(r.lines.end() - 5, r.lines.end()),
            (std::vector<std::wstring>{L"", L"ПРОТОКОЛ доставки и обновления:", L"", L"строка 1", L""}));
  EXPECT_EQ(r.protocol, (std::vector<std::wstring>{L"ПРОТОКОЛ доставки и обновления:", L"", L"строка 1", L""}));
}

TEST(ReportText, ASessionOfNoTimeHasNoDurationAndNoSpeed) {
  SettingsReset reset;
  ComposedReport r = Compose({}, 500, 0);
  EXPECT_EQ(r.lines[5], L"Окончание: 07.03.2026 г. в 14:05:09");  // no start recorded: the end stands in for it
  EXPECT_EQ(std::count_if(r.lines.begin(), r.lines.end(),
                          [](const std::wstring& l) { return l.rfind(L"Длительность", 0) == 0; }),
            0);
  EXPECT_NE(std::find(r.lines.begin(), r.lines.end(), L"  - средняя скорость: более 1М CPS."), r.lines.end());
}

TEST(ReportText, ConnectionSectionsForEveryType) {
  SettingsReset reset;
  TSettings& s = Settings();
  s.FtpServer = L"ftp.example";
  s.FtpPassword = L"тайный";
  s.ConnectionType = 0;
  auto section = [] { return Between(Compose().lines, L"Способ соединения:", L""); };
  EXPECT_EQ(section(), (std::vector<std::wstring>{
                           L"Способ соединения:", L"  - протокол FTP:", L"    - Имя ftp-сервера: ftp.example",
                           L"    - Порт ftp-сервера: 21", L"    - Тайм-аут ответа: 30 сек.",
                           L"    - Имя пользователя для входа: anonymous", L"    - Вход на сервер с паролем",
                           L"    - Каталог с обновлениями на ftp-сервере: /",
                           L"    - Функция возобновления загрузки включена", L"  - Прокси-сервер не используется"}));
  for (const auto& l : Compose().lines) EXPECT_EQ(l.find(L"тайный"), std::wstring::npos);
  s.FtpPassword.clear();
  const std::vector<std::wstring> withoutPassword = section();  // one vector: its own iterators only
  EXPECT_NE(std::find(withoutPassword.begin(), withoutPassword.end(), L"    - Пароль для входа не установлен"),
            withoutPassword.end());

  s.ConnectionType = 1;
  s.ProxyUse = true;
  s.ProxyServerName = L"proxy.local";
  EXPECT_EQ(section(), (std::vector<std::wstring>{
                           L"Способ соединения:", L"  - протокол HTTP:", L"    - Имя http-сервера: www.vorel-soft.ru",
                           L"    - Порт http-сервера: 80", L"    - Каталог с обновлениями на http-сервере: /",
                           L"    - Функция возобновления загрузки отключена",
                           L"  - Для соединения используется прокси-сервер:", L"    - Имя прокси-сервера: proxy.local",
                           L"    - Порт прокси-сервера: 3128"}));
  // The port really used: the one the server's URL names, else the setting (443 for https).
  struct PortCase {
    const wchar_t *server, *port, *used;
  };
  for (const PortCase& c :
       {PortCase{L"https://localhost:18443", L"80", L"18443"}, PortCase{L"https://h", L"80", L"443"},
        PortCase{L"h:8080/", L"81", L"8080"}, PortCase{L"h", L"81", L"81"}}) {
    s.HttpServer = c.server;
    s.HttpPort = c.port;
    EXPECT_EQ(section()[3], std::wstring(L"    - Порт http-сервера: ") + c.used) << WideToUtf8(c.server);
  }
  s.ConnectionType = 2;
  s.DiskRootDir = L"\\\\srv\\upd\\";
  EXPECT_EQ(section(), (std::vector<std::wstring>{
                           L"Способ соединения:", L"  - файловый протокол:",
                           L"    - Путь к файловому ресурсу с обновлениями программ: \\\\srv\\upd\\"}));
  s.ConnectionType = 3;
  EXPECT_EQ(section(), (std::vector<std::wstring>{L"Способ соединения:", L"  - автоматически:"}));
}

TEST(ReportText, DialUpConnectionAndDeliveryParameters) {
  SettingsReset reset;
  TSettings& s = Settings();
  auto lines = [] { return Compose().lines; };
  EXPECT_EQ(Between(lines(), L"Удаленный доступ к сети:", L""),
            (std::vector<std::wstring>{L"Удаленный доступ к сети:", L"  - Не используется"}));
  s.RasUse = true;
  s.RasEntryName = L"Модем";
  s.RasHangUpAfterDownload = false;
  EXPECT_EQ(Between(lines(), L"Удаленный доступ к сети:", L""),
            (std::vector<std::wstring>{L"Удаленный доступ к сети:", L"  - Используется",
                                       L"  - Наименование удаленного соединения для доступа: Модем",
                                       L"  - После завершения загрузки соединение не разрывается"}));
  s.AttemptCount = 0;
  s.AttemptPause = 7;
  EXPECT_EQ(Between(lines(), L"Параметры соединения:", L""),
            (std::vector<std::wstring>{L"Параметры соединения:", L"  - Число попыток при неудаче: 0",
                                       L"  - Пауза между попытками: 7 сек."}));
  s.AutoRun = true;
  s.UpgradeFilesDir = L"D:\\Хранилище\\";
  s.EnableLogReports = false;
  EXPECT_EQ(Between(lines(), L"Параметры доставки:", L""),
            (std::vector<std::wstring>{L"Параметры доставки:", L"  - Вариант использования: автоматический",
                                       L"  - Каталог-хранилище обновлений: D:\\Хранилище\\",
                                       L"  - Запись протокола работы: отключена"}));
}

TEST(ReportFiles, DatedAndFixedFilesAndThePage) {
  SettingsReset reset;
  test::ScratchDir repo(L"reports");
  Settings().UpgradeFilesDir = repo.Path();
  const TDateTime end = EncodeDateTime(2026, 3, 7, 14, 5, 9);
  EXPECT_EQ(DatedReportPath(repo.Path(), end), repo / L"Reports\\2026\\03\\07140509.txt");
  SetNowSource([end] { return end; });
  TControlsForm page;
  page.BuildReport({L"первая", L""}, 1, 2, 0);
  const std::string dated = test::ReadBytes(repo / L"Reports\\2026\\03\\07140509.txt");
  const std::string fixed = test::ReadBytes(FixedReportPath());
  EXPECT_EQ(dated, fixed);
  EXPECT_NE(fixed.find(WideToAnsi(L"\r\nПРОТОКОЛ доставки и обновления:\r\n\r\nпервая\r\n\r\n")), std::string::npos);
  EXPECT_EQ(ui::GetText(page.ReportMemo), L"ПРОТОКОЛ доставки и обновления:\r\n\r\nпервая\r\n");
  EXPECT_TRUE(IsWindowEnabled(page.OtherReportsBtn));
  // The same second again overwrites the same file.
  page.BuildReport({L"вторая"}, 1, 2, 0);
  EXPECT_NE(test::ReadBytes(repo / L"Reports\\2026\\03\\07140509.txt").find(WideToAnsi(L"вторая")), std::string::npos);
  EXPECT_EQ(test::ReadBytes(repo / L"Reports\\2026\\03\\07140509.txt").find(WideToAnsi(L"первая")), std::string::npos);

  // A dated file that cannot be written is recorded in the report itself.
  test::RemoveTree(repo / L"Reports");
  test::WriteBytes(repo / L"Reports", "a file where the directory should be");
  page.BuildReport({}, 0, 0, 0);
  EXPECT_EQ(page.ReportText().back().rfind(L"Ошибка создания файла отчета (" + repo.Path() +
                                               L"Reports\\2026\\03\\07140509.txt). Windows вернула ошибку: ",
                                           0),
            0u)
      << WideToUtf8(page.ReportText().back());
  EXPECT_EQ(ui::GetText(page.ReportMemo).find(L"Ошибка создания"), std::wstring::npos);
  DeleteFileW((repo / L"Reports").c_str());

  // With logging off: no dated file, the fixed one still, and no browsing.
  Settings().EnableLogReports = false;
  DeleteFileW(FixedReportPath().c_str());
  page.BuildReport({L"третья"}, 0, 0, 0);
  EXPECT_FALSE(test::PathExists(repo / L"Reports"));
  EXPECT_NE(test::ReadBytes(FixedReportPath()).find(WideToAnsi(L"третья")), std::string::npos);
  EXPECT_FALSE(IsWindowEnabled(page.OtherReportsBtn));
  SetNowSource(nullptr);
}

TEST(ReportPage, SaveAndPrint) {
  SettingsReset reset;
  test::ScratchDir dir(L"save");
  TControlsForm page;
  page.BuildReport({L"сохраняемая строка"}, 0, 0, 0);
  ui::SaveFileRequest asked{};
  ui::SetSaveFileHandler([&](const ui::SaveFileRequest& r) {
    asked = r;
    return dir / L"saved.txt";
  });
  page.SaveReportBtnClick();
  EXPECT_EQ(asked.title, L"Сохранение протокола");
  EXPECT_EQ(asked.fileName, L"Протокол работы Дорвекса.txt");
  EXPECT_EQ(asked.filter, L"Текстовые файлы (*.txt)|*.txt|Все файлы (*.*)|*.*");
  EXPECT_EQ(asked.initialDir, ExtractFilePath(ExecutablePath()));
  EXPECT_EQ(test::ReadBytes(dir / L"saved.txt"),
            WideToAnsi(L"ПРОТОКОЛ доставки и обновления:\r\n\r\nсохраняемая строка\r\n"));
  ui::SetSaveFileHandler([](const ui::SaveFileRequest&) { return std::wstring(); });  // cancelled
  DeleteFileW((dir / L"saved.txt").c_str());
  page.SaveReportBtnClick();
  EXPECT_FALSE(test::PathExists(dir / L"saved.txt"));
  ui::SetSaveFileHandler(nullptr);

  std::vector<ui::ShellRequest> shell;
  ui::SetShellHandler([&](const ui::ShellRequest& r) {
    shell.push_back(r);
    return true;
  });
  page.PrintReportBtnClick();
  ui::SetShellHandler(nullptr);
  ASSERT_EQ(shell.size(), 1u);
  EXPECT_EQ(shell[0].verb, L"print");
  EXPECT_EQ(shell[0].file, FixedReportPath());
  EXPECT_EQ(shell[0].show, SW_HIDE);
}

TEST(ReportBrowser, TheTreeOfYearsMonthsDaysAndTimes) {
  test::ScratchDir repo(L"browse");
  for (const wchar_t* f : {L"2026\\03\\07140509.txt", L"2026\\03\\07093000.txt", L"2026\\03\\00123456.txt",
                           L"2026\\03\\notes.txt", L"2026\\13\\01010101.txt", L"2026\\00\\01010101.txt",
                           L"2025\\12\\31235959.log"}) {
    ForceDirectories(ExtractFilePath(repo / (std::wstring(L"Reports\\") + f)));
    test::WriteBytes(repo / (std::wstring(L"Reports\\") + f), "r");
  }
  TReportsForm browser;
  browser.EnsureCreated(nullptr);
  browser.ShowReports(ExcludeTrailingBackslash(repo.Path()));
  HWND tree = browser.TreeView();
  HTREEITEM root = TreeView_GetRoot(tree);
  EXPECT_EQ(browser.NodeText(root), L"Протоколы работы «Дорвекса»");
  EXPECT_EQ(browser.NodeData(root), L"");
  std::map<std::wstring, HTREEITEM> years;
  for (HTREEITEM y = TreeView_GetChild(tree, root); y; y = TreeView_GetNextSibling(tree, y)) years[browser.NodeText(y)] = y;
  ASSERT_EQ(years.size(), 2u);
  HTREEITEM y2026 = years.at(L"2026 год");
  HTREEITEM march = TreeView_GetChild(tree, y2026);
  ASSERT_NE(march, nullptr);
  EXPECT_EQ(browser.NodeText(march), L"Март");  // months 13 and 00 are skipped
  EXPECT_EQ(TreeView_GetNextSibling(tree, march), nullptr);
  EXPECT_EQ(browser.NodeData(march), L"Протоколы работы «Дорвекса» - 2026 год - Март");
  HTREEITEM day = TreeView_GetChild(tree, march);
  EXPECT_EQ(browser.NodeText(day), L"07");
  EXPECT_EQ(TreeView_GetNextSibling(tree, day), nullptr);  // one day node for both reports; day 00 ignored
  std::vector<std::wstring> times;
  for (HTREEITEM t = TreeView_GetChild(tree, day); t; t = TreeView_GetNextSibling(tree, t)) times.push_back(browser.NodeText(t));
  std::sort(times.begin(), times.end());
  EXPECT_EQ(times, (std::vector<std::wstring>{L"в 09:30:00", L"в 14:05:09"}));
  HTREEITEM report = TreeView_GetChild(tree, day);
  std::wstring path = browser.NodeData(report);
  EXPECT_TRUE(path == repo / L"Reports\\2026\\03\\07140509.txt" || path == repo / L"Reports\\2026\\03\\07093000.txt");

  // Selecting shows the node's data; a double click opens a report that exists.
  std::vector<ui::ShellRequest> shell;
  ui::SetShellHandler([&](const ui::ShellRequest& r) {
    shell.push_back(r);
    return true;
  });
  TreeView_SelectItem(tree, march);
  EXPECT_EQ(ui::GetText(browser.PathLabel()), L"Протоколы работы «Дорвекса» - 2026 год - Март");
  browser.TreeViewDblClick();
  EXPECT_TRUE(shell.empty());
  TreeView_SelectItem(tree, report);
  EXPECT_EQ(ui::GetText(browser.PathLabel()), path);
  browser.TreeViewDblClick();
  ASSERT_EQ(shell.size(), 1u);
  EXPECT_EQ(shell[0].verb, L"open");
  EXPECT_EQ(shell[0].file, path);
  DeleteFileW(path.c_str());
  browser.TreeViewDblClick();  // deleted since: nothing opens
  EXPECT_EQ(shell.size(), 1u);
  ui::SetShellHandler(nullptr);

  // Shown modally, it closes with its button.
  ui::SetModalHook([](HWND form) { PostMessageW(form, WM_COMMAND, IDCANCEL, 0); });
  EXPECT_EQ(browser.ShowModal(nullptr), IDCANCEL);
  ui::SetModalHook(nullptr);
}

TEST(ReportBrowser, NoReportsDirectory) {
  test::ScratchDir repo(L"noreports");
  TReportsForm browser;
  std::wstring message;
  try {
    browser.ShowReports(repo.Path());
  } catch (const Error& e) {
    message = e.Message();
  }
  EXPECT_EQ(message, L"Каталог с отчетами (" + repo.Path() + L"Reports\\) еще не был создан.");
}

TEST(RepairChoice, RowsToggleAndTheButtons) {
  TProgramList list;
  AddCatalogueRows(list);
  list.FindByID(L"Buh")->Active = true;
  list.FindByID(L"Mek")->Active = true;
  list.FindByID(L"Tesk")->Active = true;
  list.FindByID(L"Mek")->Repair = true;  // the rows start at standard whatever the flag was
  {
    TRepairSelectForm form(list);
    form.EnsureCreated(nullptr);
    EXPECT_EQ(ui::GetText(form.Handle()), L"Аварийное обновление");
    EXPECT_EQ(ListView_GetItemCount(form.ListView()), 3);
    EXPECT_EQ(form.RowText(1, 0), L"МЭК");
    EXPECT_EQ(form.RowText(1, 1), L"Стандартное");
    EXPECT_EQ(ListView_GetNextItem(form.ListView(), -1, LVNI_SELECTED), 0);
    EXPECT_TRUE(IsWindowEnabled(form.OkBtn()));
    SendMessageW(form.ListView(), WM_CHAR, L' ', 0);
    EXPECT_EQ(form.RowText(0, 1), L"Аварийное");
    EXPECT_EQ(form.RowState(0), 1);
    form.ListViewDblClick();
    EXPECT_EQ(form.RowText(0, 1), L"Стандартное");
    form.ListViewDblClick();
    // Cancel changes nothing.
    ui::SetModalHook([](HWND f) { PostMessageW(f, WM_COMMAND, IDCANCEL, 0); });
    EXPECT_EQ(form.ShowModal(nullptr), IDCANCEL);
    EXPECT_FALSE(list.FindByID(L"Buh")->Repair);
    EXPECT_TRUE(list.FindByID(L"Mek")->Repair);
    // OK sets the chosen one and clears the others.
    ui::SetModalHook([](HWND f) { PostMessageW(f, WM_COMMAND, IDOK, 0); });
    EXPECT_EQ(form.ShowModal(nullptr), IDOK);
    ui::SetModalHook(nullptr);
    EXPECT_TRUE(list.FindByID(L"Buh")->Repair);
    EXPECT_FALSE(list.FindByID(L"Mek")->Repair);
    EXPECT_FALSE(list.FindByID(L"Tesk")->Repair);
  }
  // No program on the list: OK stays disabled.
  TProgramList empty;
  AddCatalogueRows(empty);
  TRepairSelectForm none(empty);
  none.EnsureCreated(nullptr);
  EXPECT_EQ(ListView_GetItemCount(none.ListView()), 0);
  EXPECT_FALSE(IsWindowEnabled(none.OkBtn()));
}
