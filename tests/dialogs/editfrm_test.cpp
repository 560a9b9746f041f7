#include <windows.h>

#include <gtest/gtest.h>

#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs/optionsfrm.h"
#include "dialogs/optionsprogramseditfrm.h"
#include "dialogs_util.h"
#include "settings/options.h"
#include "test_util.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using namespace dorvex::test;

namespace {
class EditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<ScratchDir>(L"ed");
    PrepareSettings(L"[Common]\r\nUpgradeFilesDir=" + root_->Path() +
                    L"\r\n[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Sklad\r\nVirtualUpgrade=1\r\n"
                    L"VirtualVersion=412\r\n");
  }
  // A console program installed under the scratch root, with its upgrade program.
  std::wstring InstallLavik() {
    std::wstring dir = root_->Path() + L"Лавик\\";
    ForceDirectories(dir + L"Upgrade");
    WriteBytes(dir + L"LAVIK.EXE", "MZ");
    WriteBytes(dir + L"Upgrade\\UPGRADE.EXE", "MZ");
    return dir;
  }
  std::unique_ptr<ScratchDir> root_;
};
}  // namespace

TEST_F(EditorTest, AddModeOffersOnlyWhatIsNotOnTheList) {
  TOptionsProgramsEditForm ed;
  ed.EnsureCreated(nullptr);
  EXPECT_EQ(TextOf(ed.Handle()), L"Доставка обновлений программы");
  EXPECT_EQ(TextOf(ed.Item(IDC_ED_GROUP)), L"Параметры программы");
  EXPECT_EQ(TextOf(ed.OkBtn), L"Записать");
  EXPECT_EQ(TextOf(ed.VersionEdit), L"0");
  ed.SetPrograms(*ProgramCatalogue());
  EXPECT_EQ(SendMessageW(ed.ProgramCombo, CB_GETCOUNT, 0, 0), ProgramCatalogue()->Count());
  ed.RemoveActivePrograms();
  EXPECT_EQ(SendMessageW(ed.ProgramCombo, CB_GETCOUNT, 0, 0), ProgramCatalogue()->Count() - 1);
  EXPECT_EQ(SendMessageW(ed.ProgramCombo, CB_GETCURSEL, 0, 0), 0);
  wchar_t first[128];
  SendMessageW(ed.ProgramCombo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(first));
  EXPECT_STREQ(first, L" Корвенд-Бухгалтерия");
  // Every program on the list: nothing to choose, "Записать" does nothing.
  TProgramList all;
  AddCatalogueRows(all);
  for (const auto& p : all) p->Active = true;
  TOptionsProgramsEditForm none;
  none.EnsureCreated(nullptr);
  none.SetPrograms(all);
  none.RemoveActivePrograms();
  EXPECT_EQ(SendMessageW(none.ProgramCombo, CB_GETCOUNT, 0, 0), 0);
  EXPECT_EQ(none.EditedProgram(), nullptr);
  ModalScript script;
  script.Then([&](HWND form) {
    Click(form, IDOK);
    EXPECT_TRUE(none.IsModal());
    Click(form, IDCANCEL);
  });
  EXPECT_EQ(none.ShowModal(nullptr), IDCANCEL);
}

TEST_F(EditorTest, ChosenProgramDirectorySuggestsTheUpgradeDirectory) {
  Folders folders;
  const std::wstring lavik = InstallLavik();
  folders.answers = {ExcludeTrailingBackslash(lavik), L"C:\\Другой", ExcludeTrailingBackslash(lavik)};
  TOptionsProgramsEditForm ed;
  ed.EnsureCreated(nullptr);
  ed.SetPrograms(*ProgramCatalogue());
  const int lavikIndex = 5;
  SendMessageW(ed.ProgramCombo, CB_SETCURSEL, lavikIndex, 0);
  SendMessageW(ed.Handle(), WM_COMMAND, MAKEWPARAM(IDC_ED_PROGRAM, CBN_SELCHANGE), 0);
  Click(ed.Handle(), IDC_ED_EXEDIR_BTN);
  ASSERT_EQ(folders.prompts.size(), 1u);
  EXPECT_EQ(folders.prompts[0], L"Каталог, где находится исполняемый файл программы");
  EXPECT_EQ(folders.titles[0], L"Выбор каталога");
  EXPECT_EQ(TextOf(ed.ExeDirEdit), ExcludeTrailingBackslash(lavik));
  EXPECT_EQ(TextOf(ed.UpgradeDirEdit), lavik + L"Upgrade\\");  // console programs: + "Upgrade\"
  // A field that holds text is left alone.
  Type(ed.UpgradeDirEdit, L"C:\\Есть");
  Click(ed.Handle(), IDC_ED_EXEDIR_BTN);
  EXPECT_EQ(TextOf(ed.UpgradeDirEdit), L"C:\\Есть");
  EXPECT_EQ(folders.initials[1], ExcludeTrailingBackslash(lavik));
  Type(ed.UpgradeDirEdit, L"");
  Click(ed.Handle(), IDC_ED_EXEDIR_BTN);
  TProgram* p = ed.EditedProgram();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ProgramID, L"Lavik");
  EXPECT_EQ(p->ExeDir, lavik);
  EXPECT_EQ(p->UpgradeDir, lavik + L"Upgrade\\");
  EXPECT_TRUE(p->CheckPaths());
  // A Windows program's upgrade directory is its own directory.
  SendMessageW(ed.ProgramCombo, CB_SETCURSEL, 0, 0);
  Type(ed.UpgradeDirEdit, L"");
  folders.answers = {L"C:\\Corvend"};
  Click(ed.Handle(), IDC_ED_EXEDIR_BTN);
  EXPECT_EQ(TextOf(ed.UpgradeDirEdit), L"C:\\Corvend");
}

TEST_F(EditorTest, TheThirdLineNeedsNoUpgradeDirectory) {
  std::wstring dir = root_->Path() + L"Теск\\";
  ForceDirectories(dir);
  WriteBytes(dir + L"Tesk32.exe", "MZ");
  TOptionsProgramsEditForm ed;
  ed.EnsureCreated(nullptr);
  ed.SetPrograms(*ProgramCatalogue());
  ed.EditProgram(*ProgramCatalogue()->FindByID(L"Tesk"));
  EXPECT_FALSE(IsWindowEnabled(ed.ProgramCombo));
  EXPECT_FALSE(IsShownFlag(ed.UpgradeDirEdit));
  EXPECT_FALSE(IsShownFlag(ed.UpgradeDirLabel));
  EXPECT_FALSE(IsShownFlag(ed.UpgradeDirBtn));
  EXPECT_TRUE(IsShownFlag(ed.ExeDirEdit));
  Type(ed.ExeDirEdit, L" " + ExcludeTrailingBackslash(dir) + L" ");
  ModalScript script;
  script.Then([&](HWND form) { Click(form, IDOK); });
  EXPECT_EQ(ed.ShowModal(nullptr), IDOK);
  EXPECT_EQ(ed.EditedProgram()->ExeDir, dir);
}

TEST_F(EditorTest, LoadOnlyProgramsAndVersionNumbers) {
  Boxes boxes;
  TOptionsProgramsEditForm ed;
  ed.EnsureCreated(nullptr);
  ed.SetPrograms(*ProgramCatalogue());
  ed.EditProgram(*ProgramCatalogue()->FindByID(L"Sklad"));
  EXPECT_TRUE(Checked(ed.VirtualCheck));
  EXPECT_TRUE(IsShownFlag(ed.VersionPage));
  EXPECT_FALSE(IsShownFlag(ed.PathsPage));
  EXPECT_EQ(TextOf(ed.VersionEdit), L"412");
  // Refused: zero, below zero, and what is not a number (which reads as 0).
  const std::wstring refused[] = {L"0", L"-3", L"abc", L"1.2.3", L"", L"0,0"};
  ModalScript script;
  script.Then([&](HWND form) {
    for (const auto& typed : refused) {
      SCOPED_TRACE(typed);
      Type(ed.VersionEdit, typed);
      const size_t n = boxes.shown.size();
      Click(form, IDOK);
      EXPECT_EQ(ed.EditedProgram()->VirtualVersion, 0);
      EXPECT_TRUE(ed.IsModal());
      ASSERT_EQ(boxes.shown.size(), n + 1);
      EXPECT_EQ(boxes.Last(), L"Программа Корвенд-Склад: Не указан номер текущей версии программы, для которой "
                              L"необходимо доставлять обновления.");
      EXPECT_EQ(GetFocus(), ed.VersionEdit);
    }
    Type(ed.VersionEdit, L"4,5");
    Click(form, IDOK);
  });
  EXPECT_EQ(ed.ShowModal(nullptr), IDOK);
  EXPECT_EQ(ed.EditedProgram()->VirtualVersion, 4.5);
  // The paths page comes back when the box is cleared.
  Click(ed.Handle(), IDC_ED_VIRTUAL);
  EXPECT_TRUE(IsShownFlag(ed.PathsPage));
  EXPECT_FALSE(IsShownFlag(ed.VersionPage));
  // A point or a comma alike, whatever the locale's separator.
  const std::pair<std::wstring, double> accepted[] = {{L"4.5", 4.5}, {L" 17 ", 17}, {L"0,25", 0.25}};
  for (const auto& [typed, expected] : accepted) {
    TOptionsProgramsEditForm e2;
    e2.EnsureCreated(nullptr);
    e2.SetPrograms(*ProgramCatalogue());
    e2.EditProgram(*ProgramCatalogue()->FindByID(L"Sklad"));
    Type(e2.VersionEdit, typed);
    ModalScript s2;
    s2.Then([&](HWND form) { Click(form, IDOK); });
    EXPECT_EQ(e2.ShowModal(nullptr), IDOK) << typed;
    EXPECT_EQ(e2.EditedProgram()->VirtualVersion, expected);
  }
  // The editor's checks never reach a session's report.
  EXPECT_TRUE(Reported.empty());
}

TEST_F(EditorTest, PathChecksTheirMessagesAndTheField) {
  Boxes boxes;
  const std::wstring lavik = InstallLavik();
  TOptionsProgramsEditForm ed;
  ed.EnsureCreated(nullptr);
  ed.SetPrograms(*ProgramCatalogue());
  ed.EditProgram(*ProgramCatalogue()->FindByID(L"Lavik"));
  struct Case {
    std::wstring exeDir, upgradeDir, message;
    bool exeField;
  };
  const std::wstring t = L"Программа Лавик: ";
  const Case cases[] = {
      {L"", L"", t + L"Не указан каталог, где находится исполняемый файл программы.", true},
      {L"Лавик", L"", t + L"каталог (Лавик\\) должен быть указан полным путем, начиная с имени диска.", true},
      {lavik + L"нет", L"", t + L"Не найден каталог (" + lavik + L"нет\\) с исполняемым файлом программы.", true},
      {lavik, L"", t + L"Не указан каталог, где находится программа обновления.", false},
      {lavik, L"Upgrade", t + L"каталог (Upgrade\\) должен быть указан полным путем, начиная с имени диска.", false},
      {lavik, lavik, t + L"В каталоге (" + lavik + L"), не найдена программа обновления (UPGRADE.EXE).", false},
      {lavik + L"\r\n", lavik, t + L"значение поля не может содержать перевод строки.", true},
  };
  ModalScript script;
  script.Then([&](HWND form) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.message);
      Type(ed.ExeDirEdit, c.exeDir);
      Type(ed.UpgradeDirEdit, c.upgradeDir);
      Click(form, IDOK);
      EXPECT_TRUE(ed.IsModal());
      EXPECT_EQ(boxes.Last(), c.message);
      EXPECT_EQ(GetFocus(), c.exeField ? ed.ExeDirEdit : ed.UpgradeDirEdit);
    }
    Type(ed.ExeDirEdit, lavik);
    Type(ed.UpgradeDirEdit, lavik + L"Upgrade");
    Click(form, IDOK);
  });
  EXPECT_EQ(ed.ShowModal(nullptr), IDOK);
  EXPECT_EQ(ed.EditedProgram()->UpgradeDir, lavik + L"Upgrade\\");
  EXPECT_TRUE(Reported.empty());
  // The caller's list is untouched by the editor.
  EXPECT_TRUE(ProgramCatalogue()->FindByID(L"Lavik")->ExeDir.empty());
}

TEST_F(EditorTest, OptionsListAddEditAndTheirRows) {
  Boxes boxes;
  const std::wstring lavik = InstallLavik();
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    EXPECT_EQ(f.RowCount(), 1);
    Click(form, IDC_PROG_ADD);  // the editor's script below
    ASSERT_EQ(f.RowCount(), 2);
    EXPECT_EQ(f.SelectedRow(), 1);
    EXPECT_EQ(f.RowText(1, 0), L"Лавик: Лавик для DOS");
    EXPECT_EQ(f.RowText(1, 1), L"загрузка и обновление");
    f.SelectRow(0);
    Click(form, IDC_PROG_EDIT);  // made load-only at version 7,5
    EXPECT_EQ(f.RowText(0, 1), L"только загрузка");
    Click(form, IDOK);
  });
  script.Then([&](HWND ed) {
    // add mode: Sklad is already on the list
    HWND combo = GetDlgItemRecursive(ed, IDC_ED_PROGRAM);
    EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), ProgramCatalogue()->Count() - 1);
    SendMessageW(combo, CB_SETCURSEL, 4, 0);  // the fifth left: Лавик
    SendMessageW(ed, WM_COMMAND, MAKEWPARAM(IDC_ED_PROGRAM, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    Type(GetDlgItemRecursive(ed, IDC_ED_EXEDIR), lavik);
    Type(GetDlgItemRecursive(ed, IDC_ED_UPGDIR), lavik + L"Upgrade\\");
    Click(ed, IDOK);
  });
  script.Then([&](HWND ed) {
    EXPECT_FALSE(IsWindowEnabled(GetDlgItemRecursive(ed, IDC_ED_PROGRAM)));
    EXPECT_EQ(GetFocus(), GetDlgItemRecursive(ed, IDC_ED_VERSION));
    Type(GetDlgItemRecursive(ed, IDC_ED_VERSION), L"7,5");
    Click(ed, IDOK);
  });
  ASSERT_EQ(f.ShowModal(nullptr), IDOK);
  EXPECT_TRUE(boxes.shown.empty()) << boxes.Last();
  const std::string b = SettingsBytes();
  EXPECT_EQ(IniValue(b, L"General", L"ActiveProgramCount"), L"2");
  EXPECT_EQ(IniValue(b, L"Program1", L"ProgramID"), L"Sklad");
  EXPECT_EQ(IniValue(b, L"Program1", L"VirtualVersion"), L"7.5");
  EXPECT_EQ(IniValue(b, L"Program2", L"ProgramID"), L"Lavik");
  EXPECT_EQ(IniValue(b, L"Program2", L"ExeDir"), lavik);
  EXPECT_EQ(IniValue(b, L"Program2", L"UpgradeExe"), lavik + L"Upgrade\\");
  TProgram* p = ProgramCatalogue()->FindByID(L"Lavik");
  EXPECT_TRUE(p->Active);
  EXPECT_EQ(p->ExeDir, lavik);
  // The catalogue keeps its report routes through every copy and assignment.
  ASSERT_TRUE(static_cast<bool>(p->OnMessage));
  p->ReportMessage(nullptr, L"проверка");
  ASSERT_EQ(Reported.size(), 1u);
  EXPECT_EQ(Reported[0], L"Программа Лавик: проверка");
}
