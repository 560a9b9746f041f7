#include "upgrade/boosters.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "test_util.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// A repository whose root holds a blank, a program installed beside it, and the plan that
// tells the fake upgrade executable what to do.
struct Bench {
  ScratchDir root{L"boost"};
  std::wstring repo, log, plan;
  TProgramList list;
  TProgram* p = nullptr;
  std::vector<std::wstring> messages;

  explicit Bench(const std::wstring& id) {
    repo = root / L"Upgrade Files\\";
    log = root / L"runs.log";
    plan = root / L"plan.txt";
    Settings() = TSettings{};
    Settings().UpgradeFilesDir = repo;
    AddCatalogueRows(list);
    p = list.FindByID(id);
    p->ExeDir = root / L"Prog\\";
    p->UpgradeDir = p->UpgradeInExeDir ? p->ExeDir : root / L"Prog\\Upg\\";
    ForceDirectories(p->UpgradeDir);
    p->OnMessage = [this](void*, const std::wstring& t) { messages.push_back(t); };
    SetEnvironmentVariableW(L"DORVEX_UPGRADE_PLAN", plan.c_str());
  }
  ~Bench() {
    SetEnvironmentVariableW(L"DORVEX_UPGRADE_PLAN", nullptr);
    Settings() = TSettings{};
  }
  std::wstring Step(const std::wstring& step) {
    std::wstring dir = repo + p->ProgramID + L"\\" + (p->Repair ? L"repair\\" : L"") + step + L"\\";
    ForceDirectories(dir);
    return dir;
  }
  void InstallUpgradeExe(const std::wstring& dir) {
    ASSERT_TRUE(CopyFileW(test::FixturePath(L"fake_upgrade.exe").c_str(), (dir + p->UpgradeExeName).c_str(), FALSE));
  }
  void Plan(const std::string& text) { test::WriteBytes(plan, "log=" + WideToUtf8(log) + "\r\n" + text); }
  bool Upgrade(const std::wstring& step) {
    messages.clear();
    DeleteFileW(log.c_str());
    return p->Booster->Upgrade(step);
  }
  std::string Logged() const { return test::ReadBytes(log); }
};
}  // namespace

TEST(CorvendBooster, TheCommandLineOfTheExample) {
  Bench b(L"Buh");
  b.InstallUpgradeExe(b.p->UpgradeDir);
  const std::wstring step = b.Step(L"12");
  b.Plan("exit=100\r\n");
  EXPECT_TRUE(b.Upgrade(L"12"));
  EXPECT_TRUE(b.messages.empty());
  const std::wstring expected = b.p->UpgradeDir + L"CvUpgrade.exe SILENT:1 PRG:Buh PATH:\"" + step + L"\"";
  EXPECT_NE(b.Logged().find("cmd=" + WideToUtf8(expected) + "\r\n"), std::string::npos) << b.Logged();
  EXPECT_NE(b.Logged().find("cwd=" + WideToUtf8(ExcludeTrailingBackslash(b.p->UpgradeDir)) + "\r\n"), std::string::npos);

  b.p->Repair = true;
  const std::wstring repair = b.Step(L"12");
  EXPECT_EQ(repair, b.repo + L"Buh\\repair\\12\\");
  EXPECT_TRUE(b.Upgrade(L"12"));
  EXPECT_NE(b.Logged().find(WideToUtf8(L"PATH:\"" + repair + L"\" EMERGENCY:1\r\n")), std::string::npos) << b.Logged();
}

TEST(CorvendBooster, ExitCodesAndTheErrorFile) {
  Bench b(L"Buh");
  b.InstallUpgradeExe(b.p->UpgradeDir);
  b.Step(L"12");
  const std::wstring cmd = b.p->UpgradeDir + L"CvUpgrade.exe SILENT:1 PRG:Buh PATH:\"" + b.repo + L"Buh\\12\\\"";
  b.Plan("exit=0\r\n");
  EXPECT_FALSE(b.Upgrade(L"12"));
  EXPECT_EQ(b.messages, std::vector<std::wstring>{L"Программа Корвенд-Бухгалтерия: Ошибка программы обновления. Строка "
                                                  L"запуска: " + cmd + L". Код завершения: 0. Строка ошибки: критическая ошибка"});
  // 100 with a blank error file succeeds; with a message it fails and the message is quoted.
  test::WriteBytes(b.p->UpgradeDir + L"Buh.err", "  \r\n\r\n");
  b.Plan("exit=100\r\n");
  EXPECT_TRUE(b.Upgrade(L"12"));
  b.Plan("exit=100\r\nfile=Buh.err|" + Hex(WideToAnsi(L"\r\n  Нет места на диске  \r\n")) + "\r\n");
  EXPECT_FALSE(b.Upgrade(L"12"));
  EXPECT_EQ(b.messages.back(), L"Программа Корвенд-Бухгалтерия: Ошибка программы обновления. Строка запуска: " + cmd +
                                   L". Код завершения: 100. Строка ошибки: Нет места на диске");
  // The file is left as it was: a stale message makes the next success a failure too.
  b.Plan("exit=100\r\n");
  EXPECT_FALSE(b.Upgrade(L"12"));
  EXPECT_TRUE(test::PathExists(b.p->UpgradeDir + L"Buh.err"));
}

TEST(CorvendBooster, TheFinishingPassAfterSuccess) {
  Bench b(L"Buh");
  b.InstallUpgradeExe(b.p->UpgradeDir);
  b.Step(L"12");
  const std::wstring u = b.p->UpgradeDir;
  ForceDirectories(u + L"sub\\");
  ForceDirectories(u + L".svn\\");
  test::WriteBytes(u + L"sub\\x.dl", "old");
  test::WriteBytes(u + L".svn\\y.~dl", "skip");
  b.Plan("file=sub\\x.~dl|6E6577\r\nfile=a.~|00\r\nfile=Upg.~exe|4D5A\r\nexit=100\r\n");
  EXPECT_TRUE(b.Upgrade(L"12"));
  EXPECT_EQ(test::ReadBytes(u + L"sub\\x.dl"), "new");
  EXPECT_FALSE(test::PathExists(u + L"sub\\x.~dl"));
  EXPECT_TRUE(test::PathExists(u + L"a.~"));
  EXPECT_EQ(test::ReadBytes(u + L"Upg.exe"), "MZ");
  EXPECT_TRUE(test::PathExists(u + L".svn\\y.~dl"));
  // A failed run leaves the new files as they are.
  b.Plan("file=z.~dl|01\r\nexit=3\r\n");
  EXPECT_FALSE(b.Upgrade(L"12"));
  EXPECT_TRUE(test::PathExists(u + L"z.~dl"));
}

TEST(CorvendBooster, MissingPiecesAreReported) {
  Bench b(L"Buh");
  EXPECT_FALSE(b.Upgrade(L""));
  EXPECT_EQ(b.messages, std::vector<std::wstring>{
                            L"Программа Корвенд-Бухгалтерия: Не указан каталог с номером версии обновления"});
  EXPECT_FALSE(b.Upgrade(L"13"));
  EXPECT_EQ(b.messages, std::vector<std::wstring>{L"Программа Корвенд-Бухгалтерия: Не найден каталог с обновлениями (" +
                                                  b.repo + L"Buh\\13\\). Проверьте правильность указания пути и наличие "
                                                           L"прав доступа."});
  b.Step(L"13");  // no upgrade executable: it cannot start
  EXPECT_FALSE(b.Upgrade(L"13"));
  EXPECT_NE(b.messages.back().find(L". Код завершения: -1. Строка ошибки: критическая ошибка"), std::wstring::npos);
}

TEST(CorvendBooster, OverlongCommandLinesAreRefusedNotCut) {
  Bench b(L"Buh");
  std::wstring deep = b.repo;
  Settings().UpgradeFilesDir = deep;
  const std::wstring step(200, L'7');
  ForceDirectories(b.repo + L"Buh\\" + step + L"\\");
  if (!DirectoryExists(b.repo + L"Buh\\" + step + L"\\")) GTEST_SKIP() << "the file system refused the long name";
  b.InstallUpgradeExe(b.p->UpgradeDir);
  b.Plan("exit=100\r\n");
  EXPECT_FALSE(b.Upgrade(step));
  ASSERT_EQ(b.messages.size(), 1u);
  EXPECT_EQ(b.messages[0].rfind(L"Программа Корвенд-Бухгалтерия: Нельзя запустить программу обновления для шага " + step +
                                    L": строка запуска длиннее 260 символов",
                                0),
            0u);
  EXPECT_EQ(b.Logged(), "");  // nothing was started
}

TEST(DosBooster, ShortPathsOemErrorsAndTheirCodes) {
  Bench b(L"DBuh");
  b.InstallUpgradeExe(b.p->UpgradeDir);
  const std::wstring step = b.Step(L"31");
  wchar_t shortPath[MAX_PATH];
  ASSERT_GT(GetShortPathNameW(step.c_str(), shortPath, MAX_PATH), 0u);
  EXPECT_EQ(std::wstring(shortPath).find(L' '), std::wstring::npos);
  b.Plan("exit=100\r\nfile=DBuh.err|20200D0A0D0A20\r\n");  // blank lines only
  EXPECT_TRUE(b.Upgrade(L"31"));
  EXPECT_NE(b.Logged().find(WideToUtf8(b.p->UpgradeDir + L"UPGRADE.EXE -SILENCE " + shortPath) + "\r\n"),
            std::string::npos)
      << b.Logged();
  b.Plan("exit=0\r\n");
  EXPECT_TRUE(b.Upgrade(L"31"));
  b.Plan("exit=7\r\n");
  EXPECT_FALSE(b.Upgrade(L"31"));
  EXPECT_NE(b.messages.back().find(L"Код завершения: 7. Строка ошибки: критическая ошибка"), std::wstring::npos);
  // The error file of a console program is in the OEM code page (866).
  b.Plan("exit=0\r\nfile=DBuh.err|" + Hex(WideToAnsi(L"Ошибка копирования\r\n", 866)) + "\r\n");
  EXPECT_FALSE(b.Upgrade(L"31"));
  EXPECT_NE(b.messages.back().find(L"Код завершения: 0. Строка ошибки: Ошибка копирования"), std::wstring::npos)
      << WideToUtf8(b.messages.back());
  EXPECT_EQ(b.p->Booster->DefaultUpgradeDir(L"C:\\App"), L"C:\\App\\Upgrade\\");
  EXPECT_EQ(b.p->Booster->DefaultUpgradeDir(L"C:\\App\\"), L"C:\\App\\Upgrade\\");
  EXPECT_EQ(b.p->Booster->DefaultUpgradeDir(L""), L"");
}

TEST(TeskBooster, TheStepsOwnExecutableAndTheExitCodeTable) {
  Bench b(L"Tesk");
  const std::wstring step = b.Step(L"211");
  b.InstallUpgradeExe(step);  // taken from the step itself
  b.Plan("exit=0\r\n");
  EXPECT_TRUE(b.Upgrade(L"211"));
  EXPECT_NE(b.Logged().find(WideToUtf8(L"\"" + step + L"UPGRADE.EXE\" /silent") + "\r\n"), std::string::npos)
      << b.Logged();
  EXPECT_NE(b.Logged().find("cwd=" + WideToUtf8(ExcludeTrailingBackslash(b.p->ExeDir))), std::string::npos);
  EXPECT_EQ(b.p->Booster->DefaultUpgradeDir(L"C:\\T\\"), L"C:\\T\\");

  b.Plan("exit=2\r\n");
  EXPECT_FALSE(b.Upgrade(L"211"));
  EXPECT_NE(b.messages.back().find(L"Код завершения: 2. Строка ошибки: Ошибка обновления #2: подготовка обновления "
                                   L"прервана пользователем"),
            std::wstring::npos);
  b.Plan("exit=7\r\n");
  EXPECT_FALSE(b.Upgrade(L"211"));
  EXPECT_NE(b.messages.back().find(L"Строка ошибки: Ошибка обновления #7: ошибка Windows #"), std::wstring::npos)
      << WideToUtf8(b.messages.back());
  EXPECT_NE(b.messages.back().find(L"Свяжитесь с разработчиком программы."), std::wstring::npos);
  b.Plan("exit=-1\r\n");
  EXPECT_FALSE(b.Upgrade(L"211"));
  EXPECT_NE(b.messages.back().find(L"Код завершения: -1. Строка ошибки: Ошибка обновления #-1: ошибка Windows #"),
            std::wstring::npos)
      << WideToUtf8(b.messages.back());
}

namespace {
int g_ticks = 0;
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; }
}  // namespace

TEST(BoosterWait, TheWindowKeepsWorkingWhileTheUpgradeRuns) {
  Bench b(L"Buh");
  b.InstallUpgradeExe(b.p->UpgradeDir);
  b.Step(L"12");
  b.Plan("sleep=1500\r\nexit=100\r\n");
  g_ticks = 0;
  UINT_PTR timer = SetTimer(nullptr, 0, 100, CountTick);
  const DWORD start = GetTickCount();
  EXPECT_TRUE(b.Upgrade(L"12"));
  const DWORD took = GetTickCount() - start;
  KillTimer(nullptr, timer);
  EXPECT_GE(took, 1400u);
  EXPECT_GE(g_ticks, 5);  // the timer's messages were dispatched while waiting
}

TEST(FinishingPass, ANewFileThatCannotTakeItsPlaceKeepsTheOld) {
  test::ScratchDir dir(L"fin");
  test::WriteBytes(dir / L"CvUpgrade.exe", "old upgrade executable");
  test::WriteBytes(dir / L"CvUpgrade.~exe", "new upgrade executable");
  test::WriteBytes(dir / L"CvBuh.exe", "old program");
  test::WriteBytes(dir / L"CvBuh.~exe", "new program");
  // The new upgrade executable is held open by someone (a virus scanner, say): it cannot be renamed.
  HANDLE held = CreateFileW((dir / L"CvUpgrade.~exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  FinishUpgradeFiles(dir.Path());
  CloseHandle(held);
  EXPECT_EQ(test::ReadBytes(dir / L"CvUpgrade.exe"), "old upgrade executable");
  EXPECT_TRUE(test::PathExists(dir / L"CvUpgrade.~exe"));
  EXPECT_EQ(test::ReadBytes(dir / L"CvBuh.exe"), "new program");  // the other file is replaced
  EXPECT_FALSE(test::PathExists(dir / L"CvBuh.~exe"));
  // The next pass, with the file free, finishes the job.
  FinishUpgradeFiles(dir.Path());
  EXPECT_EQ(test::ReadBytes(dir / L"CvUpgrade.exe"), "new upgrade executable");
}
