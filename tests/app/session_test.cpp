// Whole delivery sessions, driven through the real main window against directory sources.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "app/mainfrm.h"
#include "app/report.h"
#include "common/errors.h"
#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "test_util.h"
#include "ui/dialogs.h"
#include "ui/modal.h"
#include "ui/pump.h"
#include "upgrade/mapcheck.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
// A computer with programs installed, a directory source and a repository.
class World {
 public:
  ScratchDir root{L"world"};
  std::wstring source, repo, prog, plan, log, temp;
  std::wstring extraSettings;
  std::vector<std::wstring> programs;  // "Program%d" sections
  std::unique_ptr<TMainForm> form;

  World() {
    source = root / L"source\\";
    repo = root / L"repo\\";
    prog = root / L"prog\\";
    temp = root / L"tmp\\";
    plan = root / L"plan.txt";
    log = root / L"upgrades.log";
    ForceDirectories(source);
    ForceDirectories(prog);
    ForceDirectories(temp);
    SetEnvironmentVariableW(L"DORVEX_UPGRADE_PLAN", plan.c_str());
    Plan("exit=100\r\n");
  }
  ~World() {
    form.reset();
    SetEnvironmentVariableW(L"DORVEX_UPGRADE_PLAN", nullptr);
    SetNowSource(nullptr);
    DeleteFileW(FixedReportPath().c_str());
    DeleteFileW(SerialStatePath().c_str());
    DeleteFileW(SerialStateCopyPath().c_str());
  }
  void Plan(const std::string& text) { test::WriteBytes(plan, "log=" + WideToUtf8(log) + "\r\n" + text); }
  std::string Upgrades() const { return test::ReadBytes(log); }

  // A Windows program of the family at version 412, with its upgrade executable.
  void InstallBuh() {
    ForceDirectories(prog + L"Buh\\");
    CopyFileW(test::FixturePath(L"ver_corvend.exe").c_str(), (prog + L"Buh\\CvBuh.exe").c_str(), FALSE);
    CopyFileW(test::FixturePath(L"fake_upgrade.exe").c_str(), (prog + L"Buh\\CvUpgrade.exe").c_str(), FALSE);
    programs.push_back(L"ProgramID=Buh\r\nUpgradeExe=" + prog + L"Buh\\\r\nExeDir=" + prog + L"Buh\\\r\n");
  }
  void AddLoadOnly(const std::wstring& id, double version) {
    programs.push_back(L"ProgramID=" + id + L"\r\nVirtualUpgrade=1\r\nVirtualVersion=" + FloatToDotText(version) + L"\r\n");
  }
  void AddRaw(const std::wstring& section) { programs.push_back(section); }
  // A map on the source with one small file per step.
  void Offer(const std::wstring& id, const std::vector<std::wstring>& steps, const std::wstring& stopAt = L"",
             const std::wstring& ext = L".nrm") {
    std::wstring map;
    for (const auto& s : steps) {
      ForceDirectories(source + id + L"\\" + s + L"\\");
      test::WriteBytes(source + id + L"\\" + s + L"\\f" + s + L".dat", "step " + WideToUtf8(s));
      map += L"[" + s + L"]\r\nDir=" + id + L"\\" + s + L"\r\nCount=1\r\nFileName1=f" + s + L".dat\r\nFileSize1=" +
             std::to_wstring(5 + s.size()) + L"\r\n" + (s == stopAt ? L"Stop=1\r\n" : L"");
    }
    test::WriteBytes(source + id + ext, WideToAnsi(map));
  }
  void WriteSettings(int attempts = 1, int pause = 0, int type = 2) {
    std::wstring text = L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Disk]\r\nRootDir=" + source +
                        L"\r\n[Connection]\r\nConnectionType=" + std::to_wstring(type) +
                        L"\r\nAttemptCount=" + std::to_wstring(attempts) + L"\r\nAttemptPause=" +
                        std::to_wstring(pause) + L"\r\n[Session]\r\nTempDir=" + temp + L"\r\n" + extraSettings +
                        L"[General]\r\nActiveProgramCount=" + std::to_wstring(programs.size()) + L"\r\n";
    for (size_t i = 0; i < programs.size(); ++i)
      text += L"[Program" + std::to_wstring(i + 1) + L"]\r\n" + programs[i];
    test::WriteBytes(SettingsFileName(), WideToAnsi(text));
  }
  TMainForm& Open() {
    form = std::make_unique<TMainForm>();
    form->Create();
    form->Show();
    ui::ProcessMessages();
    return *form;
  }
  void Run() {
    ui::ClickButton(form->RunBtn);
    ui::ProcessMessages();
  }
  // The session's record without the empty lines between its entries.
  std::vector<std::wstring> Lines() const {
    std::vector<std::wstring> out;
    for (const auto& l : form->SessionLines)
      if (!l.empty()) out.push_back(l);
    return out;
  }
  bool Recorded(const std::wstring& line) const {
    auto lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  std::wstring Dump() const {
    std::wstring all;
    for (const auto& l : Lines()) all += l + L"\n";
    return all;
  }
  TProgram& Program(const std::wstring& id) const { return *ProgramCatalogue()->FindByID(id); }
};

// Holds the Ctrl key down for the thread while it lives.
struct CtrlHeld {
  BYTE saved[256];
  CtrlHeld() {
    GetKeyboardState(saved);
    BYTE state[256];
    memcpy(state, saved, sizeof state);
    state[VK_CONTROL] = 0x80;
    SetKeyboardState(state);
  }
  ~CtrlHeld() { SetKeyboardState(saved); }
};
}  // namespace

TEST(Session, DeliversAndUpgradesInOneAttempt) {
  World w;
  w.InstallBuh();
  w.AddLoadOnly(L"Kadry", 5);
  w.Offer(L"Buh", {L"413", L"414"});
  w.Offer(L"Kadry", {L"6", L"7"});
  w.extraSettings = L"[Service]\r\nDeleteOldFiles=1\r\n";
  w.WriteSettings(3, 5);
  TMainForm& f = w.Open();
  EXPECT_EQ(ui::GetText(f.LastRunCaptionLabel), L"Доставка обновлений не производилась");
  w.Run();

  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Обновление программы «Корвенд-Бухгалтерия» с версии 412 до версии 413 успешно проведено",
                           L"Обновление программы «Корвенд-Бухгалтерия» с версии 413 до версии 414 успешно проведено",
                           L"Доставка обновлений программы «Корвенд-Кадры» с версии 5 до версии 7 успешно произведена"}))
      << WideToUtf8(w.Dump());
  EXPECT_EQ(f.CurrentPage, 3);
  EXPECT_FALSE(f.Running);
  EXPECT_TRUE(IsWindowEnabled(f.RunBtn));
  EXPECT_FALSE(IsWindowEnabled(f.StopBtn));
  EXPECT_EQ(f.AttemptNo, 1);
  EXPECT_TRUE(f.RemoveTempDirOnExit);
  EXPECT_EQ(ui::GetText(f.LastRunCaptionLabel), L"Предыдущая доставка выполнялась:");
  EXPECT_NE(ReadLastRun(), 0.0);
  // Each step's upgrade ran once, in order, pointed at its repository directory.
  const std::string runs = w.Upgrades();
  EXPECT_NE(runs.find(WideToUtf8(L"PATH:" + w.repo + L"Buh\\413\\")), std::string::npos) << runs;
  EXPECT_LT(runs.find("Buh\\413"), runs.find("Buh\\414"));
  EXPECT_EQ(test::ReadBytes(w.repo + L"Buh\\414\\f414.dat"), "step 414");
  EXPECT_FALSE(test::PathExists(w.repo + L"Buh\\413"));  // purged: superseded
  EXPECT_TRUE(test::PathExists(w.repo + L"Kadry\\6\\f6.dat"));
  // The load-only program's new version is saved with the list.
  TIniFile ini(SettingsFileName());
  EXPECT_EQ(ini.ReadString(L"Program2", L"VirtualVersion", L""), L"7");
  EXPECT_EQ(w.Program(L"Kadry").VirtualVersion, 7.0);
  // The report: the memo shows the protocol part; both files hold the whole report.
  std::wstring memo = ui::GetText(f.Controls()->ReportMemo);
  EXPECT_EQ(memo.rfind(L"ПРОТОКОЛ доставки и обновления:\r\n\r\nОбновление программы", 0), 0u) << WideToUtf8(memo);
  std::string fixed = test::ReadBytes(FixedReportPath());
  EXPECT_EQ(fixed.rfind(WideToAnsi(L"\r\nОТЧЕТ ПО РАБОТЕ ПРОГРАММЫ «ДОРВЕКС»\r\n\r\n"), 0), 0u);
  EXPECT_NE(fixed.find(WideToAnsi(L"  - Корвенд-Кадры\r\n")), std::string::npos);
  EXPECT_TRUE(test::PathExists(w.repo + L"Reports"));
  EXPECT_TRUE(IsWindowEnabled(f.Controls()->OtherReportsBtn));

  // The same session again: the installed version has not moved (the test's upgrade program
  // changes nothing), so the steps are applied again; only the purged step is fetched anew.
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Программа «Корвенд-Кадры» (версия #7) не нуждается в загрузке обновлений. У Вас загружена "
                           L"последняя действующая версия",
                           L"Обновление программы «Корвенд-Бухгалтерия» с версии 412 до версии 413 успешно проведено",
                           L"Обновление программы «Корвенд-Бухгалтерия» с версии 413 до версии 414 успешно проведено"}))
      << WideToUtf8(w.Dump());
  const int32_t maps = FileSizeOf(w.source + L"Buh.nrm") + FileSizeOf(w.source + L"Kadry.nrm");
  EXPECT_EQ(f.BytesReceived, maps + 8);  // "step 413" only: 414 was complete in the repository
}

// The demo's upgrade program, run by a whole session from a repository path with blanks: it reads
// the command line as the family's upgrade programs do, the step's path whole with its final "\".
TEST(Session, TheDemoUpgradeProgramTakesARepositoryPathWithBlanks) {
  World w;
  w.repo = w.root / L"Хранилище обновлений\\";
  w.InstallBuh();
  CopyFileW((test::TestProgramDir() + L"..\\demo-bin\\demo_upgrade.exe").c_str(),
            (w.prog + L"Buh\\CvUpgrade.exe").c_str(), FALSE);
  w.Offer(L"Buh", {L"413"});
  w.WriteSettings();
  w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Обновление программы «Корвенд-Бухгалтерия» с версии 412 до версии 413 успешно проведено"}))
      << WideToUtf8(w.Dump());
  EXPECT_EQ(test::ReadBytes(w.prog + L"Buh\\f413.dat"), "step 413");  // arrived as f413.~dat, then renamed
}

TEST(Session, AFailingProgramFailsEveryAttempt) {
  World w;
  w.InstallBuh();
  w.AddRaw(L"ProgramID=Sklad\r\nExeDir=" + w.prog + L"nowhere\\\r\nUpgradeExe=" + w.prog + L"nowhere\\\r\n");
  w.Offer(L"Buh", {L"413"});
  w.WriteSettings(2, 1);
  TMainForm& f = w.Open();
  const DWORD start = GetTickCount();
  w.Run();
  const DWORD took = GetTickCount() - start;
  const std::wstring missing = L"Программа Корвенд-Склад: Исполняемый файл программы " + w.prog +
                               L"nowhere\\CvSklad.exe не найден. Убедитесь в правильности указания путей к программе.";
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Ошибка на 1-й попытке. " + missing, L"Ошибка на 2-й попытке. " + missing,
                           L"Файлы обновлений программы «Корвенд-Бухгалтерия» загружены, но программа не обновлена: не "
                           L"все программы списка доставки получили свои файлы за отведенные попытки, а обновление "
                           L"проводится только после доставки всего списка. Файлы остаются в хранилище для следующего "
                           L"сеанса."}))
      << WideToUtf8(w.Dump());
  EXPECT_GE(took, 900u);  // one pause of a second between the two attempts
  EXPECT_EQ(f.AttemptNo, 3);
  EXPECT_EQ(w.Upgrades(), "");  // no upgrade phase
  EXPECT_TRUE(test::PathExists(w.repo + L"Buh\\413\\f413.dat"));  // the first program's download stays
  EXPECT_FALSE(f.RemoveTempDirOnExit);
  EXPECT_EQ(ReadLastRun(), 0.0);
}

TEST(Session, AttemptLimitsOneAndNone) {
  World w;
  w.AddRaw(L"ProgramID=Sklad\r\nExeDir=" + w.prog + L"\r\n");
  w.WriteSettings(1, 30);
  TMainForm& f = w.Open();
  const DWORD start = GetTickCount();
  w.Run();
  EXPECT_LT(GetTickCount() - start, 5000u);  // no pause after the only attempt
  EXPECT_EQ(w.Lines().size(), 1u);
  EXPECT_EQ(ui::GetText(f.AttemptCountLabel), L"");

  // Without a limit of its own the session stops after the hundredth failed attempt.
  w.WriteSettings(0, 0);
  w.form.reset();
  TMainForm& g = w.Open();
  w.Run();
  auto lines = w.Lines();
  ASSERT_EQ(lines.size(), 101u);
  EXPECT_EQ(lines[99].rfind(L"Ошибка на 100-й попытке. ", 0), 0u);
  EXPECT_EQ(lines[100], L"Ошибка на 101-й попытке. Превышено максимальное количество попыток (100)");
  EXPECT_EQ(g.AttemptNo, 101);
}

TEST(Session, StopDuringThePauseEndsTheSession) {
  World w;
  w.AddRaw(L"ProgramID=Sklad\r\nExeDir=" + w.prog + L"\r\n");
  w.extraSettings = L"[Common]\r\nAutoRun=0\r\n";
  w.WriteSettings(0, 10);
  TMainForm& f = w.Open();
  std::vector<std::wstring> pauseTexts;
  // The user presses Stop once the pause has counted down twice.
  UINT_PTR timer = SetTimer(nullptr, 0, 200, nullptr);
  int filter = ui::AddMessageFilter([&](MSG& msg) {
    if (msg.message == WM_TIMER && msg.wParam == timer) {
      std::wstring t = ui::GetText(f.PauseRemaingLabel);
      if (!t.empty() && (pauseTexts.empty() || pauseTexts.back() != t)) pauseTexts.push_back(t);
      if (pauseTexts.size() >= 3 && IsWindowEnabled(f.StopBtn)) ui::ClickButton(f.StopBtn);
      return true;
    }
    return false;
  });
  w.Run();
  ui::RemoveMessageFilter(filter);
  KillTimer(nullptr, timer);
  ASSERT_GE(pauseTexts.size(), 3u);
  EXPECT_EQ(pauseTexts[0], L"Пауза: cледующая попытка через 10 сек.");
  EXPECT_EQ(pauseTexts[1], L"Пауза: cледующая попытка через 9 сек.");
  EXPECT_EQ(w.Lines().back(),
            L"Ошибка на 2-й попытке. В процессе ожидания следующей попытки соединения, сеанс прерван пользователем.");
  EXPECT_EQ(ui::GetText(f.PauseRemaingLabel), L"");
  EXPECT_FALSE(f.StopRequested);
  EXPECT_EQ(f.CurrentPage, 3);
}

TEST(Session, StopWhileTheMapIsFetched) {
  World w;
  w.InstallBuh();
  w.Offer(L"Buh", {L"413"});
  w.WriteSettings(3, 1);
  TMainForm& f = w.Open();
  // The copy of the map reports its progress: Stop is pressed in the middle of it.
  TrafficHandler original = w.Program(L"Buh").OnTraffic;
  w.Program(L"Buh").OnTraffic = [&](void* s, bool sent, int32_t n) {
    original(s, sent, n);
    if (ui::GetText(f.Controls()->ActionLabel) == L"Получение карты файлов обновлений с сервера" &&
        IsWindowEnabled(f.StopBtn))
      ui::ClickButton(f.StopBtn);
  };
  w.Run();
  // A map stopped on its way is not an undeliverable one: the record tells the stop alone.
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. Соединение прервано пользователем."}))
      << WideToUtf8(w.Dump());
  EXPECT_EQ(w.Upgrades(), "");
}

TEST(Session, StopDuringTheDownloadsStillUpgradesWhatArrived) {
  World w;
  w.InstallBuh();
  w.Offer(L"Buh", {L"413", L"414"});
  w.WriteSettings(3, 1);
  TMainForm& f = w.Open();
  TrafficHandler original = w.Program(L"Buh").OnTraffic;
  w.Program(L"Buh").OnTraffic = [&](void* s, bool sent, int32_t n) {
    original(s, sent, n);
    if (ui::GetText(f.Controls()->ActionLabel).find(L"файл f413.dat") != std::wstring::npos && IsWindowEnabled(f.StopBtn))
      ui::ClickButton(f.StopBtn);
  };
  w.Run();
  // Every map was fetched: the attempt counts, but the stopped program was not delivered.
  EXPECT_TRUE(w.Lines().empty()) << WideToUtf8(w.Dump());
  EXPECT_FALSE(w.Program(L"Buh").Downloaded);
  EXPECT_EQ(w.Upgrades(), "");
  EXPECT_FALSE(test::PathExists(w.repo + L"Buh\\414"));
  EXPECT_TRUE(f.RemoveTempDirOnExit);
}

TEST(Session, TheStopVersionEndsThatProgramsUpgrades) {
  World w;
  w.InstallBuh();
  w.Offer(L"Buh", {L"413", L"414"}, L"413");
  w.WriteSettings();
  w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Обновление программы «Корвенд-Бухгалтерия» с версии 412 до версии 413 успешно проведено",
                           L"Ошибка на 1-й попытке. Для программы «Корвенд-Бухгалтерия» указано, что после обновления "
                           L"на версию 413 необходимо остановить дальнейшие обновления"}))
      << WideToUtf8(w.Dump());
  EXPECT_TRUE(test::PathExists(w.repo + L"Buh\\414\\f414.dat"));  // delivered, not applied
  EXPECT_EQ(w.Upgrades().find("414"), std::string::npos);
}

TEST(Session, AFailedUpgradeAndAMissingUpgradeExecutable) {
  World w;
  w.InstallBuh();
  w.Offer(L"Buh", {L"413", L"414"});
  w.Plan("exit=0\r\n");
  w.WriteSettings();
  w.Open();
  w.Run();
  ASSERT_EQ(w.Lines().size(), 1u) << WideToUtf8(w.Dump());
  EXPECT_EQ(w.Lines()[0].rfind(L"Ошибка на 1-й попытке. Программа Корвенд-Бухгалтерия: Ошибка программы обновления. "
                               L"Строка запуска: ",
                               0),
            0u);
  EXPECT_NE(w.Lines()[0].find(L"Код завершения: 0. Строка ошибки: критическая ошибка"), std::wstring::npos);
  EXPECT_EQ(w.Upgrades().find("414"), std::string::npos);  // the steps stop at the first failure

  // The upgrade executable disappears while the files arrive: found missing in the upgrade phase.
  test::RemoveTree(w.repo + L"Buh");
  TrafficHandler original = w.Program(L"Buh").OnTraffic;
  w.Program(L"Buh").OnTraffic = [&](void* s, bool sent, int32_t n) {
    original(s, sent, n);
    if (ui::GetText(w.form->Controls()->ActionLabel).find(L"f414.dat") != std::wstring::npos)
      DeleteFileW((w.prog + L"Buh\\CvUpgrade.exe").c_str());
  };
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. Нельзя произвести обновление программы "
                                                  L"«Корвенд-Бухгалтерия» (не найден файл программы обновления " +
                                                  w.prog + L"Buh\\CvUpgrade.exe) "}))
      << WideToUtf8(w.Dump());
}

TEST(Session, EmergencyUpgradesChosenWithCtrl) {
  World w;
  w.InstallBuh();
  w.AddLoadOnly(L"Kadry", 5);
  w.Offer(L"Buh", {L"413"}, L"", L".emr");
  w.Offer(L"Kadry", {L"6"});
  w.WriteSettings();
  TMainForm& f = w.Open();

  // Cancel leaves everything as it was and no session runs.
  ui::SetModalHook([](HWND dialog) { PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
  {
    CtrlHeld ctrl;
    w.Run();
  }
  EXPECT_EQ(f.CurrentPage, 0);
  EXPECT_FALSE(f.Running);

  // Both programs are chosen for the emergency upgrade: Buh has an emergency map, Kadry none.
  ui::SetModalHook([](HWND dialog) {
    HWND list = FindWindowExW(dialog, nullptr, WC_LISTVIEWW, nullptr);
    for (int row = 0; row < 2; ++row) {
      ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
      SendMessageW(list, WM_CHAR, L' ', 0);
    }
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  });
  {
    CtrlHeld ctrl;
    ui::SetMessageBoxHandler([](const ui::MessageBoxRequest&) { return IDOK; });
    w.Run();
    ui::SetMessageBoxHandler(nullptr);
  }
  ui::SetModalHook(nullptr);
  EXPECT_TRUE(w.Program(L"Buh").Repair);
  EXPECT_TRUE(w.Program(L"Kadry").Repair);
  // The source says why it has no emergency map; the session records that there is none as
  // information, and counts the program as handled.
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Ошибка на 1-й попытке. Программа Корвенд-Кадры: C файлового ресурса нельзя загрузить файл " +
                               w.source + L"Kadry.emr",
                           L"Для программы «Корвенд-Кадры» не предусмотрено аварийное обновление",
                           L"Обновление программы «Корвенд-Бухгалтерия» с версии 412 до версии 413 успешно проведено"}))
      << WideToUtf8(w.Dump());
  EXPECT_TRUE(w.form->RemoveTempDirOnExit);
  EXPECT_NE(w.Upgrades().find(WideToUtf8(L"PATH:" + w.repo + L"Buh\\repair\\413\\ EMERGENCY:1")), std::string::npos)
      << w.Upgrades();
  EXPECT_NE(ui::GetText(f.Controls()->ReportMemo).find(L"не предусмотрено аварийное"), std::wstring::npos);
  EXPECT_NE(test::ReadBytes(FixedReportPath()).find(WideToAnsi(L"  - Корвенд-Бухгалтерия [аварийное обновление]")),
            std::string::npos);

  // A plain click clears the choice again.
  w.Run();
  EXPECT_FALSE(w.Program(L"Buh").Repair);
}

TEST(Session, PreparingChecks) {
  World w;
  w.WriteSettings();
  TMainForm& f = w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(),
            std::vector<std::wstring>{L"Ошибка на 1-й попытке. В список доставки обновлений не включено ни одной программы."});
  EXPECT_EQ(f.CurrentPage, 3);
  EXPECT_TRUE(DirectoryExists(w.repo));  // the repository is made when missing

  test::WriteBytes(SettingsFileName(), "[General]\r\nActiveProgramCount=0\r\n");
  w.form.reset();
  w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(), std::vector<std::wstring>{L"Ошибка на 1-й попытке. Не указан каталог для хранения обновлений. "
                                                 L"Зайдите в настройки и укажите его"});
}

TEST(Session, AnFtpServerThatDoesNotAnswerAndDiallingThatIsMissing) {
  World w;
  w.InstallBuh();
  // Nothing listens on port 1 of this computer: every attempt fails to connect.
  w.extraSettings = L"[Ftp]\r\nServer=127.0.0.1\r\nPort=1\r\n";
  w.WriteSettings(2, 0, 0);
  w.Open();
  w.Run();
  const std::wstring text = L"Программа Корвенд-Бухгалтерия: Ошибка при соединении с сервером (ftp://127.0.0.1:1). Сервер "
                            L"недоступен или не отвечает на запросы.";
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. " + text, L"Ошибка на 2-й попытке. " + text}))
      << WideToUtf8(w.Dump());
  // Dialling asked for: the service is not available in this build.
  w.extraSettings = L"[RAS]\r\nUse=1\r\n";
  w.WriteSettings(1, 0, 2);
  w.form.reset();
  w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(), std::vector<std::wstring>{L"Ошибка на 1-й попытке. Вы указали, что необходимо использовать "
                                                 L"службу удаленного доступа, однако она не установлена на Вашем "
                                                 L"компьютере или недоступна. Обратитесь к администратору сети."});
}

TEST(Session, TheWindowHoldsItsGuardsWhileAnUpgradeRuns) {
  World w;
  w.InstallBuh();
  w.Offer(L"Buh", {L"413"});
  w.Plan("sleep=1500\r\nexit=100\r\n");
  w.WriteSettings();
  TMainForm& f = w.Open();
  int tries = 0, refused = 0, repaints = 0;
  UINT_PTR timer = SetTimer(nullptr, 0, 150, nullptr);
  int filter = ui::AddMessageFilter([&](MSG& msg) {
    if (msg.message == WM_TIMER && msg.wParam == timer) {
      if (f.CurrentPage == 2 && f.Running) {
        ++tries;
        ui::ClickButton(f.StopBtn);  // disabled in the upgrade phase: nothing happens
        if (!f.Close()) ++refused;
        InvalidateRect(f.Controls()->UpgradeActionLabel, nullptr, TRUE);
      }
      return true;
    }
    if (msg.message == WM_PAINT && msg.hwnd == f.Controls()->UpgradeActionLabel) ++repaints;
    return false;
  });
  w.Run();
  ui::RemoveMessageFilter(filter);
  KillTimer(nullptr, timer);
  EXPECT_GE(tries, 3);
  EXPECT_EQ(refused, tries);
  EXPECT_GE(repaints, 3);
  EXPECT_TRUE(IsWindow(f.Handle()));
  EXPECT_TRUE(w.Recorded(L"Обновление программы «Корвенд-Бухгалтерия» с версии 412 до версии 413 успешно проведено"));
}

TEST(SessionProgram, AutoModeWithoutProgramsClosesByItself) {
  ScratchDir dir(L"auto");
  const std::wstring ini = dir / L"auto.ini";
  test::WriteBytes(ini, WideToAnsi(L"[Common]\r\nUpgradeFilesDir=" + dir.Path() + L"repo\r\n[Service]\r\nNoBitmap=1\r\n"));
  test::RunningProgram program(test::TestProgramDir() + L"..\\dorvex.exe", L"/auto /CONF:" + ini);
  ASSERT_TRUE(program.Started());
  EXPECT_EQ(program.WaitExit(60000), 0);
  std::string report = test::ReadBytes(test::TestProgramDir() + L"..\\dorvex.txt");
  EXPECT_NE(report.find(WideToAnsi(L"В список доставки обновлений не включено ни одной программы.")), std::string::npos);
  EXPECT_TRUE(DirectoryExists(dir / L"repo\\Reports"));
}

TEST(Session, AnUnexpectedFaultEndsTheSessionCleanly) {
  World w;
  w.InstallBuh();
  w.Offer(L"Buh", {L"413"});
  w.WriteSettings(3, 1);
  TMainForm& f = w.Open();
  // A fault deep inside the download: the byte counter raises.
  w.Program(L"Buh").OnTraffic = [&](void*, bool, int32_t n) {
    if (n > 0 && ui::GetText(f.Controls()->ActionLabel).find(L"f413.dat") != std::wstring::npos)
      throw Error(L"Сбой счетчика");
  };
  std::vector<ui::MessageBoxRequest> boxes;
  ui::SetMessageBoxHandler([&](const ui::MessageBoxRequest& r) {
    // By the time the message shows, the session has wound down.
    EXPECT_FALSE(f.Running);
    EXPECT_EQ(f.CurrentPage, 3);
    boxes.push_back(r);
    return IDOK;
  });
  w.Run();
  ui::SetMessageBoxHandler(nullptr);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"Сбой счетчика");
  EXPECT_TRUE(boxes[0].flags & MB_ICONERROR);
  // The fault is among the session's messages, and so in the report, for whoever reads it later.
  EXPECT_NE(std::find(f.SessionLines.begin(), f.SessionLines.end(), L"Ошибка на 1-й попытке. Сбой счетчика"),
            f.SessionLines.end());
  EXPECT_NE(ui::GetText(f.Controls()->ReportMemo).find(L"Сбой счетчика"), std::wstring::npos);
  EXPECT_FALSE(static_cast<bool>(f.AbortHandler));  // every installed abort method was taken out again
  EXPECT_TRUE(IsWindowEnabled(f.RunBtn));
  EXPECT_FALSE(IsWindowEnabled(f.StopBtn));
  EXPECT_EQ(w.Upgrades(), "");
}

// An unexpected fault (not one of the delivery's own errors): a person who started the session
// sees the box; an unattended run puts the fault into the report and closes, asking nobody.
TEST(Session, AnUnexpectedFaultStopsForAPersonOnly) {
  struct Case {
    bool automatic;
    size_t boxes;
    bool windowLeft;
  };
  const std::wstring fault = L"Непредвиденная ошибка программы. Доставка обновлений прервана.";
  for (const Case& k : {Case{false, 1, true}, Case{true, 0, false}}) {
    World w;
    w.InstallBuh();
    w.Offer(L"Buh", {L"413"});
    w.WriteSettings();
    if (k.automatic) WritePrivateProfileStringW(L"Common", L"AutoRun", L"1", SettingsFileName().c_str());
    DeleteFileW(FixedReportPath().c_str());
    SetUnexpectedSessionFault([] { throw std::runtime_error("fault"); });
    std::vector<std::wstring> boxes;
    ui::SetMessageBoxHandler([&](const ui::MessageBoxRequest& r) {
      boxes.push_back(r.text);
      return IDOK;
    });
    TMainForm& f = w.Open();  // unattended, the session starts as the window's loop runs
    if (!k.automatic) w.Run();
    ui::WaitUntil([&] { return !f.Handle() || !IsWindow(f.Handle()); }, 3000);
    ui::SetMessageBoxHandler(nullptr);
    SetUnexpectedSessionFault(nullptr);
    EXPECT_EQ(boxes.size(), k.boxes) << k.automatic;
    if (!boxes.empty()) {
      EXPECT_EQ(boxes[0], fault);
    }
    EXPECT_EQ(f.Handle() != nullptr && IsWindow(f.Handle()), k.windowLeft) << k.automatic;
    EXPECT_NE(test::ReadBytes(FixedReportPath()).find(WideToAnsi(fault)), std::string::npos) << k.automatic;
    EXPECT_EQ(w.Upgrades(), "");
  }
}

TEST(Session, ALoadOnlyDeliveryIsToldDoneOnlyOnceItsVersionIsSaved) {
  World w;
  w.AddLoadOnly(L"Kadry", 5);
  w.Offer(L"Kadry", {L"6", L"7"});
  w.WriteSettings();
  w.Open();
  // Another program holds the settings file without sharing it while the session runs.
  HANDLE held =
      CreateFileW(SettingsFileName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  w.Run();
  CloseHandle(held);
  const std::wstring all = w.Dump();
  EXPECT_EQ(all.find(L"успешно произведена"), std::wstring::npos) << WideToUtf8(all);
  EXPECT_NE(all.find(L"но новую версию нельзя сохранить в файле настроек"), std::wstring::npos) << WideToUtf8(all);
  EXPECT_EQ(w.Program(L"Kadry").VirtualVersion, 5.0);
  EXPECT_TRUE(test::PathExists(w.repo + L"Kadry\\7\\f7.dat"));  // the files themselves are delivered

  // With the file free the next session records the version and says so.
  w.Run();
  EXPECT_NE(w.Dump().find(L"с версии 5 до версии 7 успешно произведена"), std::wstring::npos) << WideToUtf8(w.Dump());
  EXPECT_EQ(TIniFile(SettingsFileName()).ReadString(L"Program1", L"VirtualVersion", L""), L"7");
}

namespace {
// A source published and signed by the publisher's tool (made by make-keys.sh with openssl).
std::wstring KeyFile(const std::wstring& name) { return test::TestProgramDir() + L"keys\\" + name; }

void PublishedSource(World& w, const std::wstring& tree = L"source") {
  for (const wchar_t* name : {L"Buh.nrm", L"Buh.nrm.sig", L"Buh\\413\\f413.dat", L"Buh\\414\\f414.dat"}) {
    ForceDirectories(ExtractFilePath(w.source + name));
    CopyFileW(KeyFile(tree + L"\\" + name).c_str(), (w.source + name).c_str(), FALSE);
  }
}

std::wstring SecuritySettings(const std::wstring& key, bool required) {
  return L"[Security]\r\nMapPublicKey=" + key + L"\r\nRequireSignedMaps=" + (required ? L"1" : L"0") + L"\r\n";
}

std::wstring PublicKeyA() { return AnsiToWide(test::ReadBytes(KeyFile(L"a.der64"))); }

std::wstring ReportOf(TMainForm& f) { return AnsiToWide(test::ReadBytes(FixedReportPath())) + L"\n" + ui::GetText(f.Controls()->ReportMemo); }
}  // namespace

TEST(Session, SignedMapsAreVerifiedAndRefusedMapsFetchNothing) {
  const std::wstring upgraded = L"Обновление программы «Корвенд-Бухгалтерия» с версии 413 до версии 414 успешно проведено";
  {
    // A valid signature by the configured key: delivered, and the report says so.
    World w;
    w.InstallBuh();
    PublishedSource(w);
    w.extraSettings = SecuritySettings(PublicKeyA(), true);
    w.WriteSettings();
    TMainForm& f = w.Open();
    w.Run();
    EXPECT_TRUE(w.Recorded(upgraded)) << WideToUtf8(w.Dump());
    EXPECT_EQ(w.Program(L"Buh").MapSignature, MapSignatureState::Verified);
    EXPECT_NE(ReportOf(f).find(L"  - Корвенд-Бухгалтерия [карта обновлений подписана, подпись проверена]"),
              std::wstring::npos);
    EXPECT_EQ(test::ReadBytes(w.repo + L"Buh\\414\\f414.dat"), "step 414");
    EXPECT_FALSE(test::PathExists(w.temp + L"Buh.nrm.sig"));
  }
  struct Refusal {
    const char* what;
    std::wstring tree;
    std::wstring key;
    bool required;
    bool changeMap;
    bool dropSignature;
    std::wstring expected;
    bool keyFault = false;  // the settings' key, not the map, is at fault
  };
  const std::vector<Refusal> refusals = {
      {"map changed after signing", L"source", PublicKeyA(), false, true, false, L"не подтверждена открытым ключом"},
      {"signed by another key", L"source-b", PublicKeyA(), false, false, false, L"не подтверждена открытым ключом"},
      {"signature required but missing", L"source", PublicKeyA(), true, false, true, L"не подписана: файл подписи Buh.nrm.sig не получен"},
      {"malformed key", L"source", L"MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA", false, false, false,
       L"Ошибка в настройках. Открытый ключ для проверки подписи карт обновлений (раздел [Security], ключ MapPublicKey)",
       true},
      {"required without a key", L"source", L"", true, false, false, L"ключ MapPublicKey) не задан", true},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.what);
    World w;
    w.InstallBuh();
    PublishedSource(w, r.tree);
    if (r.changeMap) {
      std::string map = test::ReadBytes(w.source + L"Buh.nrm");
      map.replace(map.find("FileSize1=8"), 11, "FileSize1=9");
      test::WriteBytes(w.source + L"Buh.nrm", map);
    }
    if (r.dropSignature) DeleteFileW((w.source + L"Buh.nrm.sig").c_str());
    w.extraSettings = SecuritySettings(r.key, r.required);
    w.WriteSettings();
    TMainForm& f = w.Open();
    w.Run();
    const std::wstring all = w.Dump();
    EXPECT_NE(all.find(r.expected), std::wstring::npos) << WideToUtf8(all);
    EXPECT_NE(all.find(L"Файлы программы не загружаются и не устанавливаются."), std::wstring::npos);
    EXPECT_EQ(all.find(L"успешно проведено"), std::wstring::npos);
    EXPECT_EQ(w.Upgrades(), "");
    EXPECT_FALSE(test::PathExists(w.repo + L"Buh\\413"));
    EXPECT_EQ(w.Program(L"Buh").MapSignature, r.keyFault ? MapSignatureState::KeyFault : MapSignatureState::Refused);
    EXPECT_NE(ReportOf(f).find(r.keyFault ? L"[карта обновлений не принята: ошибка в настройках, открытый ключ"
                                          : L"[карта обновлений отвергнута: подпись не подтверждена]"),
              std::wstring::npos);
  }
  {
    // No signature and none required: the map is used as before, and the report says it was unsigned.
    World w;
    w.InstallBuh();
    PublishedSource(w);
    DeleteFileW((w.source + L"Buh.nrm.sig").c_str());
    w.extraSettings = SecuritySettings(PublicKeyA(), false);
    w.WriteSettings();
    TMainForm& f = w.Open();
    w.Run();
    EXPECT_TRUE(w.Recorded(upgraded)) << WideToUtf8(w.Dump());
    EXPECT_EQ(w.Dump().find(L"Ошибка"), std::wstring::npos) << WideToUtf8(w.Dump());
    EXPECT_NE(ReportOf(f).find(L"  - Корвенд-Бухгалтерия [карта обновлений не подписана]"), std::wstring::npos);
  }
}

TEST(Session, FileHashesKeepDamagedFilesOutOfTheRepository) {
  World w;
  w.InstallBuh();
  PublishedSource(w);
  // Same size, one byte changed on the source: refused, deleted, nothing upgraded.
  test::WriteBytes(w.source + L"Buh\\414\\f414.dat", "step 41X");
  w.WriteSettings();
  w.Open();
  w.Run();
  EXPECT_NE(w.Dump().find(L"Контрольная сумма загруженного файла f414.dat не совпадает"), std::wstring::npos)
      << WideToUtf8(w.Dump());
  EXPECT_EQ(w.Upgrades(), "");
  EXPECT_FALSE(test::PathExists(w.repo + L"Buh\\414\\f414.dat"));
  EXPECT_FALSE(test::PathExists(w.temp + L"Buh\\414\\f414.dat"));
  EXPECT_EQ(test::ReadBytes(w.repo + L"Buh\\413\\f413.dat"), "step 413");  // the good file stays

  // The source mended: the next session fetches it again and upgrades.
  test::WriteBytes(w.source + L"Buh\\414\\f414.dat", "step 414");
  // A repository file whole by size but damaged is fetched again too.
  test::WriteBytes(w.repo + L"Buh\\413\\f413.dat", "step 4XX");
  w.Run();
  EXPECT_TRUE(w.Recorded(L"Обновление программы «Корвенд-Бухгалтерия» с версии 413 до версии 414 успешно проведено"))
      << WideToUtf8(w.Dump());
  EXPECT_EQ(test::ReadBytes(w.repo + L"Buh\\413\\f413.dat"), "step 413");
  EXPECT_EQ(test::ReadBytes(w.repo + L"Buh\\414\\f414.dat"), "step 414");
}

TEST(Session, AHashThatIsNotSixtyFourHexDigitsRefusesTheMap) {
  World w;
  w.InstallBuh();
  PublishedSource(w);
  std::string map = test::ReadBytes(w.source + L"Buh.nrm");
  size_t at = map.find("FileHash1=") + 10;
  map.replace(at, 64, "1234abcd");
  test::WriteBytes(w.source + L"Buh.nrm", map);
  w.WriteSettings();
  w.Open();
  w.Run();
  EXPECT_NE(w.Dump().find(L"недопустимое значение «1234abcd» (раздел [413], ключ FileHash1)"), std::wstring::npos)
      << WideToUtf8(w.Dump());
  EXPECT_EQ(w.Upgrades(), "");
  EXPECT_FALSE(test::PathExists(w.repo + L"Buh\\413"));
}
