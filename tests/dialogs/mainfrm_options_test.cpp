#include <windows.h>

#include <gtest/gtest.h>

#include "app/mainfrm.h"
#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs_util.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "test_util.h"
#include "ui/controls.h"
#include "ui/modal.h"
#include "ui/pump.h"

using namespace dorvex;
using namespace dorvex::test;

// The Options button opens the dialog; the window cannot close under it; after a save the idle
// display shows what was saved.
TEST(MainWindowOptions, OpensTheDialogAndFollowsTheSave) {
  ScratchDir sys(L"sys");
  ScratchDir repo(L"repo");
  wchar_t oldTmp[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", sys.Path().c_str());
  WriteBytes(SettingsFileName(),
             WideToAnsi(L"[Common]\r\nUpgradeFilesDir=" + repo.Path() + L"\r\n[General]\r\nActiveProgramCount=1\r\n"
                        L"[Program1]\r\nProgramID=Kassa\r\nVirtualUpgrade=1\r\nVirtualVersion=5\r\n",
                        1251));
  FreeProgramCatalogue();
  Boxes boxes;
  {
    TMainForm form;
    form.Create();
    form.Show();
    ui::ProcessMessages();
    EXPECT_EQ(ui::GetText(form.ActiveProgramsLabel), L"Программ для доставки: 1 шт.");
    ModalScript script;
    script.Then([&](HWND dialog) {
      EXPECT_EQ(TextOf(dialog), L"Настройки и параметры");
      EXPECT_EQ(ui::ModalFormCount(), 1);
      // The main window refuses to close while the dialog is open.
      EXPECT_FALSE(form.Close());
      EXPECT_TRUE(IsWindow(form.Handle()));
      Click(dialog, IDC_PROG_DELETE);  // the only program; answered yes
      Click(dialog, IDOK);
    });
    ui::ClickButton(form.OptionsBtn);
    EXPECT_EQ(script.shown, 1);
    EXPECT_EQ(ui::ModalFormCount(), 0);
    EXPECT_TRUE(boxes.shown.size() == 1) << boxes.Last();
    EXPECT_EQ(ui::GetText(form.ActiveProgramsLabel), L"Программ для доставки: 0 шт.");
    EXPECT_FALSE(IsWindowEnabled(form.UpgradeInfoBtn));
    EXPECT_EQ(IniValue(SettingsBytes(), L"General", L"ActiveProgramCount"), L"0");
    // The session's temporary directory the window wrote at its start is still in the file.
    EXPECT_EQ(IniValue(SettingsBytes(), L"Session", L"TempDir"), form.SessionTempDir);
    EXPECT_TRUE(form.Close());
  }
  SetEnvironmentVariableW(L"TMP", n ? oldTmp : nullptr);
}

// A window left open while an unattended session advances a load-only program's version: OK in
// the options afterwards keeps the advanced version, in the file and in the window's list.
TEST(MainWindowOptions, KeepsTheVersionASessionAdvancedMeanwhile) {
  ScratchDir sys(L"sys"), repo(L"repo"), source(L"src");
  wchar_t oldTmp[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"TMP", oldTmp, MAX_PATH);
  SetEnvironmentVariableW(L"TMP", sys.Path().c_str());
  ForceDirectories(source / L"Kassa\\6\\");
  WriteBytes(source / L"Kassa\\6\\f6.dat", "step 6");
  WriteBytes(source / L"Kassa.nrm", "[6]\r\nDir=Kassa\\6\r\nCount=1\r\nFileName1=f6.dat\r\nFileSize1=6\r\n");
  WriteBytes(SettingsFileName(),
             WideToAnsi(L"[Common]\r\nUpgradeFilesDir=" + repo.Path() + L"\r\n[Disk]\r\nRootDir=" + source.Path() +
                            L"\r\n[Connection]\r\nConnectionType=2\r\nAttemptCount=1\r\nAttemptPause=0\r\n[General]\r\n"
                            L"ActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kassa\r\nVirtualUpgrade=1\r\nVirtualVersion=5\r\n",
                        1251));
  FreeProgramCatalogue();
  Boxes boxes;
  {
    TMainForm form;
    form.Create();
    form.Show();
    ui::ProcessMessages();
    ModalScript script;
    script.Then([&](HWND dialog) {
      RunningProgram session(TestProgramDir() + L"..\\dorvex.exe", L"/auto /CONF:" + SettingsFileName());
      EXPECT_EQ(session.WaitExit(120000), 0);
      EXPECT_EQ(IniValue(SettingsBytes(), L"Program1", L"VirtualVersion"), L"6");
      Click(dialog, IDOK);
    });
    ui::ClickButton(form.OptionsBtn);
    EXPECT_EQ(script.shown, 1);
    EXPECT_EQ(IniValue(SettingsBytes(), L"Program1", L"VirtualVersion"), L"6");
    EXPECT_EQ(ProgramCatalogue()->FindByID(L"Kassa")->VirtualVersion, 6.0);
    EXPECT_TRUE(boxes.shown.empty()) << boxes.Last();
    EXPECT_TRUE(form.Close());
  }
  SetEnvironmentVariableW(L"TMP", n ? oldTmp : nullptr);
}
