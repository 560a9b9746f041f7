// Sessions that meet: the program run as separate processes on one settings file against a
// throttled HTTP source (lighttpd's /slow/), and what each leaves behind.
#include <gtest/gtest.h>
#include <windows.h>

#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "test_util.h"
#include "ui/controls.h"
#include "ui/pump.h"

using namespace dorvex;

namespace {
std::wstring Env(const wchar_t* name) {
  wchar_t buf[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(name, buf, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(buf, n) : std::wstring();
}

// Every dated report under dir, joined.
std::string DatedReports(const std::wstring& dir) {
  std::string all;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((dir + L"*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return all;
  do {
    const std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    all += (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? DatedReports(dir + name + L"\\")
                                                            : test::ReadBytes(dir + name);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  return all;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A computer with the family's program Buh at 412, steps 413 and 414 on the source (each one
// file that takes seconds to arrive), and the program copied beside its settings so that its
// fixed report is this computer's own. The upgrade executable waits for the file "go".
struct Site {
  test::ScratchDir root{L"meet"};
  std::wstring exe = root / L"dorvex.exe", ini = root / L"dorvex.ini", repo = root / L"repo\\";
  std::wstring prog = root / L"prog\\", plan = root / L"plan.txt", log = root / L"upgrades.log", go = root / L"go";
  std::wstring web, oldTmp = Env(L"TMP");
  std::string files[2] = {test::PatternBytes(200000, 1), test::PatternBytes(150000, 2)};

  explicit Site(const std::wstring& service = L"", const std::string& planText = "exit=100\r\n") {
    static int n = 0;
    const std::wstring tag = L"site" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++n);
    web = Env(L"DX_HTTP_ROOT") + L"slow\\" + tag + L"\\";
    CopyFileW((test::TestProgramDir() + L"..\\dorvex.exe").c_str(), exe.c_str(), FALSE);
    ForceDirectories(prog);
    ForceDirectories(root / L"tmp\\");
    CopyFileW(test::FixturePath(L"ver_corvend.exe").c_str(), (prog + L"CvBuh.exe").c_str(), FALSE);
    CopyFileW(test::FixturePath(L"fake_upgrade.exe").c_str(), (prog + L"CvUpgrade.exe").c_str(), FALSE);
    test::WriteBytes(plan, "log=" + WideToUtf8(log) + "\r\nwait=" + WideToUtf8(go) + "\r\n" + planText);
    std::wstring map;
    const wchar_t* steps[] = {L"413", L"414"};
    for (int i = 0; i < 2; ++i) {
      ForceDirectories(web + L"Buh\\" + steps[i] + L"\\");
      test::WriteBytes(web + L"Buh\\" + steps[i] + L"\\f" + steps[i] + L".dat", files[i]);
      map += Fmt(L"[%s]\r\nDir=Buh\\%s\r\nCount=1\r\nFileName1=f%s.dat\r\nFileSize1=%d\r\n", steps[i], steps[i],
                 steps[i], static_cast<int>(files[i].size()));
    }
    test::WriteBytes(web + L"Buh.nrm", WideToAnsi(map));
    test::WriteBytes(
        ini, WideToAnsi(L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Http]\r\nServer=127.0.0.1\r\nPort=" +
                        Env(L"DX_HTTP_PORT") + L"\r\nRootDir=/slow/" + tag +
                        L"/\r\n[Proxy]\r\nUse=0\r\n[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n"
                        L"AttemptPause=0\r\n[Service]\r\n" +
                        service + L"[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Buh\r\nUpgradeExe=" +
                        prog + L"\r\nExeDir=" + prog + L"\r\n"));
    SetEnvironmentVariableW(L"DORVEX_UPGRADE_PLAN", plan.c_str());
    SetEnvironmentVariableW(L"TMP", (root / L"tmp").c_str());
  }
  ~Site() {
    test::RemoveTree(web);
    SetEnvironmentVariableW(L"DORVEX_UPGRADE_PLAN", nullptr);
    SetEnvironmentVariableW(L"TMP", oldTmp.empty() ? nullptr : oldTmp.c_str());
  }
  std::unique_ptr<test::RunningProgram> Start(const std::wstring& switches = L"/auto") const {
    return std::make_unique<test::RunningProgram>(exe, switches + L" /CONF:" + ini);
  }
  void Release() const { test::WriteBytes(go, ""); }
  // The upgrade executable has started as often as this (it logs at once, then waits).
  bool UpgradesStarted(size_t n) const {
    return ui::WaitUntil([&] { return Count(test::ReadBytes(log), "cmd=") >= n; }, 120000);
  }
  std::string Report() const { return test::ReadBytes(root / L"dorvex.txt"); }
  bool RepositoryWhole() const {
    return test::ReadBytes(repo + L"Buh\\413\\f413.dat") == files[0] &&
           test::ReadBytes(repo + L"Buh\\414\\f414.dat") == files[1];
  }
};
}  // namespace

// Started together: one delivers, the other ends with 2 at once, and each step runs once.
TEST(Sessions, TwoUnattendedRunsStartedTogether) {
  Site site;
  auto a = site.Start(), b = site.Start();
  ASSERT_TRUE(a->Started() && b->Started());
  long codeA = -1, codeB = -1;
  // The one refused ends while the other still waits in its first upgrade.
  ASSERT_TRUE(ui::WaitUntil(
      [&] {
        codeA = a->WaitExit(0);
        codeB = b->WaitExit(0);
        return codeA != -1 || codeB != -1;
      },
      120000));
  auto& winner = codeA == -1 ? a : b;
  auto& loser = codeA == -1 ? b : a;
  EXPECT_EQ(loser->WaitExit(1000), 2);
  EXPECT_EQ(site.Report(), "");  // the refused run wrote no report
  site.Release();
  EXPECT_EQ(winner->WaitExit(180000), 0) << site.Report();
  EXPECT_EQ(Count(test::ReadBytes(site.log), "cmd="), 2u);
  EXPECT_TRUE(site.RepositoryWhole());
  EXPECT_EQ(Count(site.Report(), WideToAnsi(L"успешно проведено")), 2u) << site.Report();
}

// One running: a second unattended run, and a person's Run in a window, change nothing of it.
TEST(Sessions, ASecondRunMeetsTheFirstAndLeavesItAlone) {
  Site site;
  auto a = site.Start();
  ASSERT_TRUE(site.UpgradesStarted(1));
  const std::string settings = test::ReadBytes(site.ini);
  auto b = site.Start();
  EXPECT_EQ(b->WaitExit(60000), 2);
  EXPECT_EQ(test::ReadBytes(site.ini), settings);
  EXPECT_EQ(site.Report(), "");

  auto c = site.Start(L"");
  HWND main = c->WaitForWindow(L"DorvexMainForm", 60000);
  ASSERT_NE(main, nullptr);
  PostMessageW(main, WM_COMMAND, MAKEWPARAM(101, BN_CLICKED), 0);  // Run
  HWND box = c->WaitForWindow(L"#32770", 60000);
  ASSERT_NE(box, nullptr);
  const std::wstring text = test::DialogText(box);
  EXPECT_NE(text.find(L"занято другим сеансом Дорвекса: автоматический сеанс доставки обновлений (пользователь"),
            std::wstring::npos)
      << WideToUtf8(text);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(c->WaitExit(60000), 0);
  EXPECT_EQ(test::ReadBytes(site.ini), settings);

  site.Release();
  EXPECT_EQ(a->WaitExit(180000), 0) << site.Report();
  EXPECT_EQ(Count(test::ReadBytes(site.log), "cmd="), 2u);
  EXPECT_TRUE(site.RepositoryWhole());
}

// Killed in the middle of a transfer: no lock is left, and the next run delivers whole files.
TEST(Sessions, ARunKilledMidTransferLeavesNoLock) {
  Site site;
  site.Release();
  {
    auto a = site.Start();
    ASSERT_TRUE(ui::WaitUntil(
        [&] {
          const std::wstring temp = TIniFile(site.ini).ReadString(L"Session", L"TempDir", L"");
          return !temp.empty() && FileSizeOf(IncludeTrailingBackslash(temp) + L"Buh\\413\\f413.dat") > 0;
        },
        120000));
  }  // ended by its process id, as a task's time limit ends it
  EXPECT_EQ(TIniFile(site.ini).ReadString(L"Session", L"LastOutcome", L""), L"1");  // cut off while running
  auto b = site.Start();
  EXPECT_EQ(b->WaitExit(180000), 0) << site.Report();
  EXPECT_TRUE(site.RepositoryWhole());
  EXPECT_EQ(Count(test::ReadBytes(site.log), "cmd="), 2u);
  EXPECT_EQ(TIniFile(site.ini).ReadString(L"Session", L"LastOutcome", L""), L"2");  // delivered
}

// The exit codes 1 and 3 from real runs (0 and 2 come from the meetings above), and no box:
// a box would keep the run from ending.
TEST(Sessions, ExitCodesOfUnattendedRuns) {
  struct Row {
    const char* name;
    std::string plan;
    const wchar_t* blocker;  // a directory made where the program wants a file
    long code;
    const wchar_t* said;
  } rows[] = {
      {"upgrade fails", "exit=7\r\n", nullptr, 1, L"Код завершения: 7"},
      {"report unwritable", "exit=100\r\n", L"dorvex.txt", 3, L"Ошибка создания файла отчета"},
      {"repository unusable", "exit=100\r\n", L"repo", 3, L"Не найден каталог для хранения обновлений"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Site site(L"", r.plan);
    site.Release();
    if (r.blocker) {
      ForceDirectories(site.root / r.blocker);
      if (std::wstring(r.blocker) == L"repo") {
        RemoveDirectoryW((site.root / r.blocker).c_str());
        test::WriteBytes(site.root / r.blocker, "not a directory");
      }
    }
    auto run = site.Start();
    EXPECT_EQ(run->WaitExit(180000), r.code);
    const std::string reports = site.Report() + DatedReports(site.repo + L"Reports\\");
    EXPECT_NE(reports.find(WideToAnsi(r.said)), std::string::npos) << reports;
  }
}

// An upgrade executable that does not end: past the limit the run ends, says so and records it;
// the next run does not start that program's steps while it lives.
TEST(Sessions, AnUpgradeThatDoesNotEnd) {
  Site site(L"UpgradeTimeLimit=0.05\r\n", "exit=100\r\n");  // three seconds; "go" never comes
  auto a = site.Start();
  EXPECT_EQ(a->WaitExit(180000), 1);
  EXPECT_NE(site.Report().find(WideToAnsi(L"Программа обновления не завершилась за 3 сек.")), std::string::npos)
      << site.Report();
  const DWORD pid = static_cast<DWORD>(TIniFile(site.repo + L"dorvex.running").ReadInteger(L"Buh", L"Process", 0));
  HANDLE hung = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  ASSERT_NE(hung, nullptr);
  EXPECT_EQ(WaitForSingleObject(hung, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  auto b = site.Start();
  EXPECT_EQ(b->WaitExit(180000), 1);
  EXPECT_NE(site.Report().find(WideToAnsi(L"еще работает")), std::string::npos) << site.Report();
  EXPECT_EQ(Count(test::ReadBytes(site.log), "cmd="), 1u);
  TerminateProcess(hung, 0);
  WaitForSingleObject(hung, 30000);
  CloseHandle(hung);
}
