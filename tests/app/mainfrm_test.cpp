#include "app/mainfrm.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/errors.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "test_util.h"
#include "ui/dialogs.h"
#include "ui/pump.h"

using namespace dorvex;

namespace {
std::wstring Text(HWND h) { return ui::GetText(h); }

void WriteSettings(const std::wstring& content) { test::WriteBytes(SettingsFileName(), WideToAnsi(content)); }

// Every message box is recorded and answered with OK; the test fails on none by itself.
struct BoxRecorder {
  std::vector<ui::MessageBoxRequest> boxes;
  BoxRecorder() {
    ui::SetMessageBoxHandler([this](const ui::MessageBoxRequest& r) {
      boxes.push_back(r);
      return IDOK;
    });
  }
  ~BoxRecorder() { ui::SetMessageBoxHandler(nullptr); }
};

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tempRoot_ = std::make_unique<test::ScratchDir>(L"sys");
    wchar_t old[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TMP", old, MAX_PATH);
    oldTmp_ = std::wstring(old, n);
    SetEnvironmentVariableW(L"TMP", tempRoot_->Path().c_str());
    WriteSettings(L"");
  }
  void TearDown() override {
    form_.reset();
    SetEnvironmentVariableW(L"TMP", oldTmp_.empty() ? nullptr : oldTmp_.c_str());
    tempRoot_.reset();
  }
  TMainForm& MakeForm() {
    form_ = std::make_unique<TMainForm>();
    form_->Create();
    form_->Show();
    ui::ProcessMessages();
    return *form_;
  }
  std::unique_ptr<test::ScratchDir> tempRoot_;
  std::unique_ptr<TMainForm> form_;
  std::wstring oldTmp_;
};
}  // namespace

TEST_F(MainFormTest, IdleWindowTextsAndButtons) {
  TMainForm& f = MakeForm();
  EXPECT_EQ(Text(f.Handle()), L"Доставка обновлений");
  RECT rc;
  GetClientRect(f.Handle(), &rc);
  EXPECT_EQ(rc.right, 601);
  EXPECT_EQ(rc.bottom, 377);
  EXPECT_EQ(Text(f.ActiveProgramsLabel), L"Программ для доставки: 0 шт.");
  EXPECT_EQ(Text(f.LastRunCaptionLabel), L"Доставка обновлений не производилась");
  EXPECT_EQ(Text(f.LastRunLabel), L"");
  EXPECT_EQ(Text(f.VersionLabel), L"версия: 1.0.1 от " + ProgramVersionDate() + L"г.");
  EXPECT_FALSE(ProgramVersionDate().empty());
  EXPECT_EQ(f.CurrentPage, 0);
  EXPECT_FALSE(f.Running);
  EXPECT_TRUE(IsWindowEnabled(f.RunBtn));
  EXPECT_FALSE(IsWindowEnabled(f.StopBtn));
  EXPECT_TRUE(IsWindowEnabled(f.OptionsBtn));
  EXPECT_FALSE(IsWindowEnabled(f.UpgradeInfoBtn));  // no programs, no repository
  EXPECT_TRUE(IsWindowEnabled(f.CloseBtn));
  EXPECT_EQ(Text(f.RunBtn), L"Доставить обновления");
  EXPECT_EQ(Text(f.StopBtn), L"Прервать доставку");
  EXPECT_EQ(Text(f.OptionsBtn), L"Настройки");
  EXPECT_EQ(Text(f.UpgradeInfoBtn), L"Хранилище обновлений");
  EXPECT_EQ(Text(f.CloseBtn), L"Выход из программы");
  EXPECT_EQ(ui::PictureButtonShownIndex(f.RunBtn), 4);
  EXPECT_EQ(ui::PictureButtonShownIndex(f.StopBtn), 0);
  EXPECT_EQ(ui::PictureButtonShownIndex(f.CloseBtn), 8);
  EXPECT_EQ(Text(f.AttemptCountLabel), L"");
  EXPECT_FALSE(ui::IsShown(f.IsRepeatingLabel));
  EXPECT_EQ(Text(f.Controls()->ConnectedLabel), L"Нет соединения c сервером");
  EXPECT_EQ(Text(f.Controls()->CurrentReceiveTrafficLabel), L"Принято: 0 байт");
  EXPECT_EQ(Text(f.Controls()->CurrentSendTrafficLabel), L"Передано: 0 байт");
  EXPECT_TRUE(f.HasBackground());
  // The sizing command of the system menu is greyed.
  HMENU sys = GetSystemMenu(f.Handle(), FALSE);
  EXPECT_TRUE(GetMenuState(sys, SC_SIZE, MF_BYCOMMAND) & MF_GRAYED);
}

TEST_F(MainFormTest, HoverRaisesThePictureIndex) {
  TMainForm& f = MakeForm();
  SendMessageW(f.RunBtn, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(ui::PictureButtonShownIndex(f.RunBtn), 5);
  SendMessageW(f.RunBtn, WM_MOUSELEAVE, 0, 0);
  EXPECT_EQ(ui::PictureButtonShownIndex(f.RunBtn), 4);
}

TEST_F(MainFormTest, LastRunAndNoBitmapFromTheSettings) {
  WriteSettings(L"[Session]\r\nLastRun=46088,5833333333\r\n[Service]\r\nNoBitmap=1\r\n");
  TMainForm& f = MakeForm();
  EXPECT_EQ(Text(f.LastRunCaptionLabel), L"Предыдущая доставка выполнялась:");
  EXPECT_EQ(Text(f.LastRunLabel), L"07.03.2026 г. в 14:00");
  EXPECT_FALSE(f.HasBackground());
}

TEST_F(MainFormTest, ANewTemporaryDirectoryLivesAsLongAsTheWindow) {
  TMainForm& f = MakeForm();
  std::wstring dir = f.SessionTempDir;
  EXPECT_EQ(dir.rfind(tempRoot_->Path() + L"~KT", 0), 0u) << WideToUtf8(dir);
  EXPECT_TRUE(EndsWith(dir, L".tmp\\"));
  EXPECT_TRUE(DirectoryExists(dir));
  EXPECT_TRUE(f.RemoveTempDirOnExit);
  EXPECT_EQ(ReadSessionTempDir(), dir);
  wchar_t cwd[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  EXPECT_TRUE(SameText(IncludeTrailingBackslash(cwd), dir));
  test::WriteBytes(dir + L"partial.bin", "data");
  CreateDirectoryW((dir + L"Buh").c_str(), nullptr);
  test::WriteBytes(dir + L"Buh\\f.dat", "x");

  EXPECT_TRUE(f.Close());
  EXPECT_FALSE(test::PathExists(dir));
  EXPECT_EQ(ReadSessionTempDir(), L"");
  GetCurrentDirectoryW(MAX_PATH, cwd);
  EXPECT_TRUE(SameText(IncludeTrailingBackslash(cwd), test::TestProgramDir()));
}

TEST_F(MainFormTest, AnExistingTemporaryDirectoryIsReusedAndKept) {
  test::ScratchDir kept(L"keep");
  WriteSettings(L"[Session]\r\nTempDir=" + kept.Path() + L"\r\n");
  test::WriteBytes(kept / L"partial.bin", "data");
  wchar_t before[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, before);
  TMainForm& f = MakeForm();
  EXPECT_EQ(f.SessionTempDir, kept.Path());
  EXPECT_FALSE(f.RemoveTempDirOnExit);
  wchar_t during[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, during);
  EXPECT_EQ(std::wstring(before), std::wstring(during));
  EXPECT_TRUE(f.Close());
  EXPECT_TRUE(test::PathExists(kept / L"partial.bin"));
  EXPECT_EQ(ReadSessionTempDir(), kept.Path());
}

TEST_F(MainFormTest, ADirectoryThatIsNotOursIsNeverEmptiedAtExit) {
  // Even when marked for removal, a "TempDir" that names some other directory stays whole.
  test::ScratchDir foreign(L"foreign");
  WriteSettings(L"[Session]\r\nTempDir=" + foreign.Path() + L"\r\n");
  test::WriteBytes(foreign / L"precious.doc", "keep me");
  TMainForm& f = MakeForm();
  f.RemoveTempDirOnExit = true;
  EXPECT_TRUE(f.Close());
  EXPECT_TRUE(test::PathExists(foreign / L"precious.doc"));
  EXPECT_EQ(ReadSessionTempDir(), L"");
}

TEST_F(MainFormTest, AMissingTempDirIsReplacedByANewOne) {
  WriteSettings(L"[Session]\r\nTempDir=C:\\no\\such\\dir\\\r\n");
  TMainForm& f = MakeForm();
  EXPECT_NE(f.SessionTempDir, L"C:\\no\\such\\dir\\");
  EXPECT_TRUE(DirectoryExists(f.SessionTempDir));
  EXPECT_EQ(ReadSessionTempDir(), f.SessionTempDir);
}

TEST_F(MainFormTest, StartUpFailsWhenNoTemporaryDirectoryCanBeMade) {
  SetEnvironmentVariableW(L"TMP", L"Z:\\no\\such\\place\\");
  form_ = std::make_unique<TMainForm>();
  std::wstring message;
  try {
    form_->Create();
  } catch (const Error& e) {
    message = e.Message();
  }
  EXPECT_EQ(message.rfind(L"Ошибка создания временного каталога (Z:\\no\\such\\place\\~KT", 0), 0u)
      << WideToUtf8(message);
  form_.reset();  // the half-made window goes away cleanly
  EXPECT_EQ(ReadSessionTempDir(), L"");
}

TEST_F(MainFormTest, KeysEnterAndEscape) {
  TMainForm& f = MakeForm();
  int aborts = 0;
  f.AbortHandler = [&](void*) { ++aborts; };
  // Esc while idle: Stop is disabled, nothing happens.
  PostMessageW(f.Handle(), WM_KEYDOWN, VK_ESCAPE, 0);
  ui::ProcessMessages();
  EXPECT_FALSE(f.StopRequested);
  EXPECT_EQ(aborts, 0);

  f.SetRunning(true);
  EXPECT_FALSE(IsWindowEnabled(f.RunBtn));
  EXPECT_TRUE(IsWindowEnabled(f.StopBtn));
  EXPECT_FALSE(IsWindowEnabled(f.OptionsBtn));
  EXPECT_FALSE(IsWindowEnabled(f.CloseBtn));
  // Esc while running presses Stop, even when a page control has the message.
  f.ShowPage(1);
  PostMessageW(f.Controls()->ActionLabel, WM_KEYDOWN, VK_ESCAPE, 0);
  ui::ProcessMessages();
  EXPECT_TRUE(f.StopRequested);
  EXPECT_TRUE(ui::IsShown(f.Controls()->ProcessBreakingLabel));
  EXPECT_EQ(aborts, 1);

  // Closing is refused while running, by the close button's message as by the user.
  EXPECT_FALSE(f.Close());
  EXPECT_TRUE(IsWindow(f.Handle()));
  f.SetStopRequested(false);
  EXPECT_FALSE(ui::IsShown(f.Controls()->ProcessBreakingLabel));
  f.SetRunning(false);
  f.AbortHandler = nullptr;
  EXPECT_TRUE(f.Close());
}

TEST_F(MainFormTest, TheQueryMessageAnswersOne) {
  TMainForm& f = MakeForm();
  int32_t a = 0, b = 5;
  EXPECT_EQ(SendMessageW(f.Handle(), 0x41F, reinterpret_cast<WPARAM>(&a), reinterpret_cast<LPARAM>(&b)), 1);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 1);
  // Pointers from elsewhere that mean nothing here are not written through.
  EXPECT_EQ(SendMessageW(f.Handle(), 0x41F, 0, 0x10), 1);
  EXPECT_TRUE(IsWindow(f.Handle()));
}

TEST_F(MainFormTest, AttemptCounterAndPages) {
  WriteSettings(L"[Connection]\r\nAttemptCount=3\r\n");
  TMainForm& f = MakeForm();
  f.ShowPage(1);
  f.ShowAttempt(2);
  EXPECT_EQ(Text(f.AttemptCountLabel), L"Попытка 2 из 3");
  EXPECT_TRUE(ui::IsShown(f.IsRepeatingLabel));
  EXPECT_EQ(GetParent(f.Controls()->ActionLabel), f.Panel());
  RECT rc;
  GetWindowRect(f.Controls()->ActionLabel, &rc);
  MapWindowPoints(nullptr, f.Panel(), reinterpret_cast<POINT*>(&rc), 2);
  RECT sep;
  GetWindowRect(f.Separator, &sep);
  MapWindowPoints(nullptr, f.Panel(), reinterpret_cast<POINT*>(&sep), 2);
  EXPECT_GT(rc.top, sep.top);
  f.ShowPage(2);
  EXPECT_EQ(Text(f.AttemptCountLabel), L"");  // any page but the download page hides the counter
  EXPECT_FALSE(ui::IsShown(f.IsRepeatingLabel));
  EXPECT_EQ(GetParent(f.Controls()->ActionLabel), f.Controls()->Handle());
  EXPECT_EQ(GetParent(f.Controls()->UpgradeActionLabel), f.Panel());
  f.ShowAction(L"Подготовка");
  EXPECT_EQ(Text(f.Controls()->ActionLabel), L"Подготовка");
  EXPECT_EQ(Text(f.Controls()->UpgradeActionLabel), L"Подготовка");

  Settings().AttemptCount = 0;
  f.ShowAttempt(1);
  EXPECT_EQ(Text(f.AttemptCountLabel), L"Попытка 1");
}

TEST_F(MainFormTest, SessionMessagesAndTraffic) {
  TMainForm& f = MakeForm();
  // A second passes between the calls here, so every one of them paints.
  uint32_t tick = 5000;
  SetTickCountSource([&tick] { return tick += 1000; });
  f.AttemptNo = 2;
  f.ShowSessionMessage(nullptr, L"Программа Склад: нет карты");
  f.ShowSessionMessage(nullptr, L"\x01Обновление проведено");
  f.ShowSessionMessage(nullptr, L"");
  EXPECT_EQ(f.SessionLines, (std::vector<std::wstring>{L"Ошибка на 2-й попытке. Программа Склад: нет карты", L"",
                                                       L"Обновление проведено", L""}));
  EXPECT_EQ(Text(f.Controls()->ErrorLabel), L"");

  const std::wstring sp = ThousandSeparator();
  f.SetSizeForDownload(nullptr, 999, false);  // not valid: ignored
  EXPECT_EQ(f.SizeForDownload, 0);
  EXPECT_FALSE(ui::IsShown(f.Controls()->SizeForDownloadLabel));
  f.SetSizeForDownload(nullptr, 2000000, true);
  f.ShowTraffic(nullptr, false, 10000);
  EXPECT_EQ(Text(f.Controls()->CurrentReceiveTrafficLabel), L"Принято: 10" + sp + L"000 байт");
  EXPECT_EQ(Text(f.Controls()->SizeForDownloadLabel),
            L"Для загрузки: 2" + sp + L"000" + sp + L"000 байт [загружено: 0" + DecimalSeparator() + L"500%]");
  EXPECT_TRUE(ui::IsShown(f.Controls()->SizeForDownloadLabel));
  f.ShowTraffic(nullptr, true, 1500);
  EXPECT_EQ(Text(f.Controls()->CurrentSendTrafficLabel), L"Передано: 1" + sp + L"500 байт");
  EXPECT_EQ(f.BytesSent, 1500);
  EXPECT_EQ(f.ProgramBytesReceived, 10000);

  // Speed and time left from a download start 10 seconds ago.
  const TDateTime now = EncodeDateTime(2026, 5, 1, 12, 0, 10);
  SetNowSource([now] { return now; });
  f.DownloadStart = EncodeDateTime(2026, 5, 1, 12, 0, 0);
  f.ShowTraffic(nullptr, false, 90000);  // 100000 of 2000000 in 10 s
  EXPECT_EQ(Text(f.Controls()->SizeForDownloadLabel),
            L"Для загрузки: 2" + sp + L"000" + sp + L"000 байт [загружено: 5%]");
  EXPECT_EQ(Text(f.Controls()->SpeedLabel), L"Скорость загрузки: 10" + sp + L"000 CPS");
  EXPECT_EQ(Text(f.Controls()->RemainTimeLabel), L"Осталось ~ 3 мин.");  // 190 s cut to whole minutes
  EXPECT_TRUE(ui::IsShown(f.Controls()->RemainTimeLabel));
  f.ShowTraffic(nullptr, false, 1890000);
  EXPECT_EQ(Text(f.Controls()->RemainTimeLabel), L"");
  EXPECT_FALSE(ui::IsShown(f.Controls()->RemainTimeLabel));
  SetNowSource(nullptr);
  f.DownloadStart = 0;
  f.ShowTraffic(nullptr, false, 0);
  EXPECT_FALSE(ui::IsShown(f.Controls()->SpeedLabel));
  SetTickCountSource(nullptr);
}

TEST_F(MainFormTest, TrafficIsPaintedAtMostTenTimesASecond) {
  TMainForm& f = MakeForm();
  uint32_t tick = 100000;
  SetTickCountSource([&tick] { return tick; });
  const std::wstring sp = ThousandSeparator();
  f.SetSizeForDownload(nullptr, 10000000, true);  // a new size is painted at once
  EXPECT_EQ(Text(f.Controls()->CurrentReceiveTrafficLabel), L"Принято: 0 байт");
  // The labels count the portions at once but are painted only once a tenth of a second passed.
  for (int i = 0; i < 1000; ++i) f.ShowTraffic(nullptr, false, 1000);
  EXPECT_EQ(f.BytesReceived, 1000000);
  EXPECT_EQ(Text(f.Controls()->CurrentReceiveTrafficLabel), L"Принято: 0 байт");
  tick += 99;
  f.ShowTraffic(nullptr, false, 1000);
  EXPECT_EQ(Text(f.Controls()->CurrentReceiveTrafficLabel), L"Принято: 0 байт");
  tick += 1;
  f.ShowTraffic(nullptr, false, 1000);
  EXPECT_EQ(Text(f.Controls()->CurrentReceiveTrafficLabel), L"Принято: 1" + sp + L"002" + sp + L"000 байт");
  f.ShowTraffic(nullptr, false, 500);
  EXPECT_EQ(Text(f.Controls()->CurrentReceiveTrafficLabel), L"Принято: 1" + sp + L"002" + sp + L"000 байт");
  // The end of the work paints what stands, and so does a call that counts nothing.
  f.PaintTraffic();
  EXPECT_EQ(Text(f.Controls()->CurrentReceiveTrafficLabel), L"Принято: 1" + sp + L"002" + sp + L"500 байт");
  f.ShowTraffic(nullptr, true, 7);
  f.ShowTraffic(nullptr, true, 0);
  EXPECT_EQ(Text(f.Controls()->CurrentSendTrafficLabel), L"Передано: 7 байт");
  SetTickCountSource(nullptr);
}

TEST_F(MainFormTest, TheStageTextBreaksItsLineAtTheCarriageReturn) {
  TMainForm& f = MakeForm();
  f.ShowAction(L"Загрузка файлов обновлений: файл a.dll загружается целиком\r[1430,51 Mb]");
  EXPECT_EQ(Text(f.Controls()->ActionLabel),
            L"Загрузка файлов обновлений: файл a.dll загружается целиком\r\n[1430,51 Mb]");
  f.ShowAction(L"one\r\ntwo");  // a full line break stays as it is
  EXPECT_EQ(Text(f.Controls()->ActionLabel), L"one\r\ntwo");
}

TEST_F(MainFormTest, F1OpensTheHelpFileOnlyWhenItExists) {
  std::vector<ui::ShellRequest> opened;
  ui::SetShellHandler([&](const ui::ShellRequest& r) {
    opened.push_back(r);
    return true;
  });
  TMainForm& f = MakeForm();
  const std::wstring help = ChangeFileExt(ExecutablePath(), L".hlp");
  DeleteFileW(help.c_str());
  PostMessageW(f.RunBtn, WM_KEYDOWN, VK_F1, 0);
  ui::ProcessMessages();
  EXPECT_TRUE(opened.empty());
  test::WriteBytes(help, "help");
  PostMessageW(f.Controls()->ActionLabel, WM_KEYDOWN, VK_F1, 0);
  ui::ProcessMessages();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].verb, L"open");
  EXPECT_EQ(opened[0].file, help);
  DeleteFileW(help.c_str());
  ui::SetShellHandler(nullptr);
}

TEST_F(MainFormTest, TheFollowUpProgramStartsOnlyWithoutTheSemaphore) {
  const std::wstring vuro = test::TestProgramDir() + L"VuRo.ex_";
  const std::wstring log = vuro + L".log";
  ASSERT_TRUE(CopyFileW(test::FixturePath(L"recorder.exe").c_str(), vuro.c_str(), FALSE));
  DeleteFileW(log.c_str());
  auto starts = [&] {
    std::string text = test::ReadBytes(log);
    size_t n = 0;
    for (size_t at = text.find("cmd="); at != std::string::npos; at = text.find("cmd=", at + 1)) ++n;
    return n;
  };

  MakeForm();
  EXPECT_TRUE(form_->Close());
  form_.reset();
  EXPECT_TRUE(ui::WaitUntil([&] { return starts() == 1; }, 10000));

  // While another program holds the semaphore, nothing is started.
  HANDLE held = CreateSemaphoreW(nullptr, 0, 1, L"Tlm32Upg");
  ASSERT_NE(held, nullptr);
  MakeForm();
  EXPECT_TRUE(form_->Close());
  form_.reset();
  ui::Sleep(1500);
  EXPECT_EQ(starts(), 1u);
  CloseHandle(held);
  EXPECT_NE(test::ReadBytes(log).find("cwd=" + WideToUtf8(ExcludeTrailingBackslash(test::TestProgramDir()))),
            std::string::npos);

  DeleteFileW(vuro.c_str());
  DeleteFileW(log.c_str());
}

TEST_F(MainFormTest, TheDeliveryListCountsAndTheRepositoryButton) {
  test::ScratchDir repo(L"repo");
  const std::wstring list = L"[General]\r\nActiveProgramCount=3\r\n[Program1]\r\nProgramID=Buh\r\n"
                            L"[Program2]\r\nProgramID=Unknown\r\n[Program3]\r\nProgramID=tesk\r\n";
  WriteSettings(list + L"[Common]\r\nUpgradeFilesDir=C:\\no\\such\\repository\r\n");
  TMainForm& f = MakeForm();
  EXPECT_EQ(Text(f.ActiveProgramsLabel), L"Программ для доставки: 2 шт.");
  EXPECT_FALSE(IsWindowEnabled(f.UpgradeInfoBtn));  // programs, but no repository
  EXPECT_TRUE(f.Close());
  form_.reset();

  WriteSettings(list + L"[Common]\r\nUpgradeFilesDir=" + ExcludeTrailingBackslash(repo.Path()) + L"\r\n");
  TMainForm& g = MakeForm();
  EXPECT_EQ(Settings().UpgradeFilesDir, repo.Path());
  EXPECT_TRUE(IsWindowEnabled(g.UpgradeInfoBtn));
  g.SetRunning(true);
  EXPECT_FALSE(IsWindowEnabled(g.UpgradeInfoBtn));
  g.SetRunning(false);
  EXPECT_TRUE(g.Close());
  EXPECT_EQ(ProgramCatalogue(), nullptr);  // the list goes with the window
}

TEST_F(MainFormTest, TheAutomaticStartMessageClicksRun) {
  TMainForm& f = MakeForm();
  PostMessageW(f.Handle(), 0x401, 0, 0);
  ui::ProcessMessages();
  // The session ran (and found nothing to deliver) and the report page is up; without the
  // automatic mode the window stays.
  EXPECT_EQ(f.CurrentPage, 3);
  EXPECT_EQ(f.SessionLines.front(), L"Ошибка на 1-й попытке. Не указан каталог для хранения обновлений. Зайдите в "
                                    L"настройки и укажите его");
  EXPECT_TRUE(IsWindow(f.Handle()));
  // Enter starts another session the same way.
  f.SessionLines.clear();
  PostMessageW(f.Handle(), WM_CHAR, L'\r', 0);
  ui::ProcessMessages();
  EXPECT_EQ(f.SessionLines.size(), 2u);
}

TEST_F(MainFormTest, APauseWithoutItsTimerStillEnds) {
  TMainForm& f = MakeForm();
  Settings().AttemptPause = 2;
  // The window is gone, so the system gives the pause no timer ticks for it.
  DestroyWindow(f.Handle());
  const DWORD start = GetTickCount();
  EXPECT_TRUE(f.PauseBetweenAttempts());
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 1900u);
  EXPECT_LT(elapsed, 15000u);
  Settings() = TSettings{};
}
