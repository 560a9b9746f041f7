// The program itself, started as its own process the way a user starts it.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "test_util.h"

using namespace dorvex;

namespace {
std::wstring ProgramPath() { return test::TestProgramDir() + L"..\\dorvex.exe"; }

// Sets an environment variable for the programs started while the object lives.
struct EnvOverride {
  std::wstring name, old;
  bool had;
  EnvOverride(const std::wstring& n, const std::wstring& value) : name(n) {
    wchar_t buf[MAX_PATH];
    DWORD len = GetEnvironmentVariableW(n.c_str(), buf, MAX_PATH);
    had = len > 0;
    old.assign(buf, len);
    SetEnvironmentVariableW(n.c_str(), value.c_str());
  }
  ~EnvOverride() { SetEnvironmentVariableW(name.c_str(), had ? old.c_str() : nullptr); }
};
}  // namespace

TEST(Program, StartsIdleAndClosesCleanly) {
  test::ScratchDir dir(L"prog");
  EnvOverride tmp(L"TMP", dir.Path());
  const std::wstring ini = dir / L"dorvex.ini";
  test::RunningProgram program(ProgramPath(), L"/CONF:" + ini);
  ASSERT_TRUE(program.Started());
  HWND main = program.WaitForWindow(L"DorvexMainForm", 30000);
  ASSERT_NE(main, nullptr);
  wchar_t title[128];
  GetWindowTextW(main, title, 128);
  EXPECT_EQ(std::wstring(title), L"Доставка обновлений");
  // The program made its session directory and wrote it into the named settings file.
  std::wstring tempDir = TIniFile(ini).ReadString(L"Session", L"TempDir", L"");
  EXPECT_EQ(tempDir.rfind(dir / L"~KT", 0), 0u) << WideToUtf8(tempDir);
  EXPECT_TRUE(DirectoryExists(tempDir));
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(program.WaitExit(30000), 0);
  EXPECT_FALSE(DirectoryExists(tempDir));
  EXPECT_EQ(TIniFile(ini).ReadString(L"Session", L"TempDir", L"?"), L"");
}

TEST(Program, AStartUpFailureIsShownAndTheProgramEnds) {
  struct Case {
    const char* what;
    bool badTemp;
    const wchar_t* args;
    const char* mark;  // null: no settings file; else the settings, saved as UTF-8 after this mark
    std::wstring expected;
  };
  const Case cases[] = {
      {"no temporary directory", true, L"", nullptr, L"Ошибка создания временного каталога (Z:\\no\\such\\place\\~KT"},
      {"settings saved as UTF-8", false, L"", "", L"сохранен в кодировке UTF-8 и не прочитан"},
      {"settings saved as UTF-8 with its mark, /auto: no box, the code for unusable settings", false, L" /auto",
       "\xEF\xBB\xBF", L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ScratchDir dir(L"progfail");
    EnvOverride tmp(L"TMP", c.badTemp ? std::wstring(L"Z:\\no\\such\\place") : dir.Path());
    const std::string settings =
        c.mark ? c.mark + WideToUtf8(L"[Common]\r\nUpgradeFilesDir=" + dir.Path() + L"Хранилище\\\r\n") : "";
    if (c.mark) test::WriteBytes(dir / L"x.ini", settings);
    test::RunningProgram program(ProgramPath(), L"/conf:" + (dir / L"x.ini") + c.args);
    ASSERT_TRUE(program.Started());
    std::wstring text;
    if (c.expected.empty()) {
      EXPECT_EQ(program.WaitExit(30000), 3);  // nobody would answer a box
    } else {
      HWND box = program.WaitForWindow(L"#32770", 30000);
      ASSERT_NE(box, nullptr);
      text = test::DialogText(box);
      EXPECT_NE(text.find(c.expected), std::wstring::npos) << WideToUtf8(text);
      wchar_t caption[128];
      GetWindowTextW(box, caption, 128);
      EXPECT_EQ(std::wstring(caption), L"Доставка обновлений");
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      EXPECT_EQ(program.WaitExit(30000), 1);
    }
    if (!c.mark) continue;
    // Refused before anything was read or written: the file as it was, no folder made beside it.
    if (!text.empty()) {
      EXPECT_NE(text.find(dir / L"x.ini"), std::wstring::npos) << WideToUtf8(text);
    }
    EXPECT_TRUE(test::ReadBytes(dir / L"x.ini") == settings);
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir / L"*").c_str(), &fd);
    int entries = 0;
    do entries += fd.cFileName[0] != L'.';
    while (FindNextFileW(find, &fd));
    FindClose(find);
    EXPECT_EQ(entries, 1);
  }
}

TEST(Program, ARelativeSettingsNameIsTakenFromTheStartingDirectory) {
  test::ScratchDir dir(L"relconf");
  EnvOverride tmp(L"TMP", dir.Path());
  ForceDirectories(dir / L"conf\\");
  const std::wstring ini = dir / L"conf\\office.ini";
  test::WriteBytes(ini, "[Service]\r\nNoBitmap=1\r\n");
  // Started in dir with a name relative to it; start-up then moves into the session directory.
  test::RunningProgram program(ProgramPath(), L"/CONF:conf\\office.ini", dir.Path());
  ASSERT_TRUE(program.Started());
  HWND main = program.WaitForWindow(L"DorvexMainForm", 30000);
  ASSERT_NE(main, nullptr);
  std::wstring tempDir = TIniFile(ini).ReadString(L"Session", L"TempDir", L"");
  EXPECT_EQ(tempDir.rfind(dir / L"~KT", 0), 0u) << WideToUtf8(tempDir);
  PostMessageW(main, WM_CLOSE, 0, 0);
  EXPECT_EQ(program.WaitExit(30000), 0);
  EXPECT_EQ(TIniFile(ini).ReadString(L"Session", L"NoBitmap", L"?"), L"?");
  EXPECT_EQ(TIniFile(ini).ReadString(L"Service", L"NoBitmap", L""), L"1");
}
