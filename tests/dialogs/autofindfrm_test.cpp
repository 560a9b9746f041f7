#include "dialogs/optionsprogramsautofindfrm.h"

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs/optionsfrm.h"
#include "dialogs_util.h"
#include "settings/options.h"
#include "test_util.h"
#include "ui/pump.h"

using namespace dorvex;
using namespace dorvex::test;

namespace {
// The tree the search walks: console programs in two directories, an own and a foreign
// Windows program of the same name, the third line's program, a program already on the list,
// files that only look like programs.
class AutoFindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::make_unique<ScratchDir>(L"af");
    const std::wstring r = root_->Path();
    for (const wchar_t* d : {L"A\\Лавик", L"B\\Lavik", L"C\\Vorel", L"C\\Other", L"D\\Теск", L"E\\Sklad", L"F"})
      ForceDirectories(r + d);
    WriteBytes(r + L"A\\Лавик\\LAVIK.EXE", "MZ");
    WriteBytes(r + L"A\\Лавик\\UPGRADE.EXE", "MZ");
    WriteBytes(r + L"B\\Lavik\\lavik.exe", "MZ");
    WriteBytes(r + L"B\\Lavik\\UPGRADE.EXE", "MZ");
    CopyFileW(FixturePath(L"ver_corvend.exe").c_str(), (r + L"C\\Vorel\\CvBuh.exe").c_str(), FALSE);
    CopyFileW(FixturePath(L"ver_other_company.exe").c_str(), (r + L"C\\Other\\CvBuh.exe").c_str(), FALSE);
    WriteBytes(r + L"D\\Теск\\Tesk32.exe", "MZ");
    CopyFileW(FixturePath(L"ver_corvend.exe").c_str(), (r + L"E\\Sklad\\CvSklad.exe").c_str(), FALSE);
    WriteBytes(r + L"F\\LAVIK.TXT", "");
    WriteBytes(r + L"F\\MEK.EXE.bak", "");
    PrepareSettings(L"[Common]\r\nUpgradeFilesDir=" + r +
                    L"\r\n[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Sklad\r\nVirtualUpgrade=1\r\n"
                    L"VirtualVersion=3\r\n");
    wchar_t loop[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"DORVEX_TEST_LOOP", loop, MAX_PATH);
    loop_ = loop;
    SetDriveListSource([this] {
      return std::vector<DriveRoot>{{root_->Path(), DRIVE_FIXED}, {L"q:\\", DRIVE_CDROM}};
    });
  }
  void TearDown() override { SetDriveListSource(nullptr); }
  // Starts the search from the parameters page and waits until it ends on the results page.
  static void SearchAndWait(TOptionsProgramsAutoFindForm& f) {
    f.SearchBtnClick();
    ASSERT_TRUE(ui::WaitUntil([&] { return f.ActivePage() == TOptionsProgramsAutoFindForm::ResultsPage; }, 60000));
  }
  std::vector<std::wstring> Rows(TOptionsProgramsAutoFindForm& f) {
    std::vector<std::wstring> rows;
    for (int i = 0; i < f.RowCount(); ++i) rows.push_back(f.RowText(i, 0) + L"|" + f.RowText(i, 1));
    return rows;
  }
  std::unique_ptr<ScratchDir> root_;
  std::wstring loop_;
};
}  // namespace

TEST_F(AutoFindTest, ParametersAndTheNoDriveError) {
  Boxes boxes;
  SetDriveListSource([] {
    return std::vector<DriveRoot>{{L"c:\\", DRIVE_FIXED}, {L"d:\\", DRIVE_FIXED}, {L"e:\\", DRIVE_CDROM}};
  });
  TOptionsProgramsAutoFindForm f;
  f.EnsureCreated(nullptr);
  f.SetPrograms(ProgramCatalogue());
  EXPECT_EQ(TextOf(f.Handle()), L"Поиск программ");
  EXPECT_EQ(f.ActivePage(), TOptionsProgramsAutoFindForm::ParamsPage);
  EXPECT_EQ(f.LocalRoots(), L"C:\\,D:\\");
  EXPECT_EQ(f.LocalHint(), L"Диски C:\\,D:\\");
  EXPECT_EQ(f.NetworkRoots(), L"");
  EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_AF_NETWORK)));
  EXPECT_TRUE(Checked(f.Item(IDC_AF_LOCAL)));
  EXPECT_TRUE(Checked(f.Item(IDC_AF_ALL)));
  EXPECT_EQ(SendMessageW(f.Item(IDC_AF_DRIVES), CB_GETCOUNT, 0, 0), 2);
  wchar_t entry[64];
  SendMessageW(f.Item(IDC_AF_DRIVES), CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(entry));
  EXPECT_STREQ(entry, L" Диск D:\\");
  EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_AF_DRIVES)));
  Click(f.Handle(), IDC_AF_ONE);
  EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_AF_DRIVES)));
  Click(f.Handle(), IDC_AF_LOCAL);
  EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_AF_ALL)));
  EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_AF_DRIVES)));
  EXPECT_EQ(TextOf(f.Item(IDOK)), L"Искать");
  f.SearchBtnClick();
  EXPECT_EQ(boxes.Last(), L"Не задано ни одного логического диска для поиска программ.");
  EXPECT_EQ(f.ActivePage(), TOptionsProgramsAutoFindForm::ParamsPage);
}

TEST_F(AutoFindTest, FindsOwnProgramsOnlyAndNeverFollowsALink) {
  ASSERT_FALSE(loop_.empty()) << "DORVEX_TEST_LOOP (a tree with a symbolic-link loop) was not given";
  SetDriveListSource([this] {
    return std::vector<DriveRoot>{{root_->Path(), DRIVE_FIXED}, {loop_, DRIVE_REMOTE}};
  });
  TOptionsProgramsAutoFindForm f;
  f.EnsureCreated(nullptr);
  f.SetPrograms(ProgramCatalogue());
  EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_AF_NETWORK)));
  Click(f.Handle(), IDC_AF_NETWORK);
  std::vector<std::wstring> dirs;
  f.OnDirectory = [&](const std::wstring& d) { dirs.push_back(d); };
  ModalScript script;
  script.Then([&](HWND form) {
    SearchAndWait(f);
    EXPECT_FALSE(f.Searching());
    EXPECT_EQ(TextOf(f.Item(IDCANCEL)), L"Закрыть");
    EXPECT_FALSE(IsWindowVisible(f.Item(IDOK)));
    EXPECT_EQ(TextOf(f.Item(IDC_AF_FOUND)), L"5шт.");
    EXPECT_EQ(TextOf(f.Item(IDC_AF_DRIVE)), L"Диск: " + UpperCaseText(loop_) + L" [2-й из 2]");
    EXPECT_EQ(TextOf(f.Item(IDC_AF_ELAPSED)), L"Время, затраченное на поиск: " + FormatDuration(f.Seconds()));
    Click(form, IDCANCEL);
  });
  EXPECT_EQ(f.ShowModal(nullptr), IDCANCEL);
  const std::wstring r = UpperCaseText(root_->Path()), l = UpperCaseText(loop_);
  EXPECT_EQ(Rows(f), (std::vector<std::wstring>{
                         r + L"A\\Лавик\\|Лавик", r + L"B\\Lavik\\|Лавик", r + L"C\\Vorel\\|Корвенд-Бухгалтерия",
                         r + L"D\\Теск\\|Теск", l + L"inner\\|МЭК"}));
  // The loop's directory was entered once, whatever the link made of it.
  int inner = 0;
  for (const auto& d : dirs)
    if (d.find(L"inner\\") != std::wstring::npos) ++inner;
  EXPECT_EQ(inner, 1);
  // Sorting by the program, then back by the directory.
  SendMessageW(f.Handle(), WM_NOTIFY, IDC_AF_RESULTS, [&] {
    static NMLISTVIEW nm{};
    nm.hdr.hwndFrom = f.Item(IDC_AF_RESULTS);
    nm.hdr.idFrom = IDC_AF_RESULTS;
    nm.hdr.code = LVN_COLUMNCLICK;
    nm.iSubItem = 1;
    return reinterpret_cast<LPARAM>(&nm);
  }());
  EXPECT_EQ(f.RowText(0, 1), L"Корвенд-Бухгалтерия");
  EXPECT_EQ(f.RowText(4, 1), L"Теск");
  f.SortBy(0);
  EXPECT_EQ(f.RowText(0, 0), r + L"A\\Лавик\\");
}

TEST_F(AutoFindTest, StopKeepsWhatWasFoundAndTheSearchIgnoresCloseAndEnter) {
  Boxes boxes;
  TOptionsProgramsAutoFindForm f;
  f.EnsureCreated(nullptr);
  f.SetPrograms(ProgramCatalogue());
  bool tried = false;
  f.OnDirectory = [&](const std::wstring& d) {
    if (!tried && d.find(L"\\A\\") != std::wstring::npos) {
      tried = true;
      EXPECT_EQ(TextOf(f.Item(IDCANCEL)), L"Остановить");
      PostMessageW(f.Handle(), WM_CLOSE, 0, 0);
      PostMessageW(f.Handle(), WM_COMMAND, IDOK, 0);
    }
    if (d.find(L"\\B\\") != std::wstring::npos && f.Searching()) PostMessageW(f.Handle(), WM_COMMAND, IDCANCEL, 0);
  };
  ModalScript script;
  script.Then([&](HWND form) {
    SearchAndWait(f);
    EXPECT_TRUE(f.IsModal());  // the close box and Enter did nothing while searching
    Click(form, IDCANCEL);     // "Закрыть"
  });
  // The stop question ended the search at B.
  EXPECT_EQ(f.ShowModal(nullptr), IDCANCEL);
  EXPECT_TRUE(tried);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.Last(), L"Остановить поиск программ ?");
  EXPECT_EQ(Rows(f), (std::vector<std::wstring>{UpperCaseText(root_->Path()) + L"A\\Лавик\\|Лавик"}));
  EXPECT_EQ(TextOf(f.Item(IDC_AF_ELAPSED)), L"Время, затраченное на поиск: " + FormatDuration(f.Seconds()));
}

TEST_F(AutoFindTest, NothingFoundShowsThePanel) {
  SetDriveListSource([this] { return std::vector<DriveRoot>{{root_->Path() + L"F\\", DRIVE_FIXED}}; });
  TOptionsProgramsAutoFindForm f;
  f.EnsureCreated(nullptr);
  f.SetPrograms(ProgramCatalogue());
  ModalScript script;
  script.Then([&](HWND form) {
    SearchAndWait(f);
    EXPECT_EQ(f.RowCount(), 0);
    EXPECT_TRUE(IsShownFlag(f.Item(IDC_AF_NONE1)));
    EXPECT_FALSE(IsShownFlag(f.Item(IDC_AF_RESULTS)));
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_AF_ADD)));
    Click(form, IDCANCEL);
  });
  EXPECT_EQ(f.ShowModal(nullptr), IDCANCEL);
}

TEST_F(AutoFindTest, AddsThroughTheEditorIntoTheOptionsListAndClosesAfterTheLast) {
  Boxes boxes;
  SetDriveListSource([this] {
    return std::vector<DriveRoot>{{root_->Path() + L"A\\", DRIVE_FIXED}, {root_->Path() + L"B\\", DRIVE_FIXED},
                                  {root_->Path() + L"D\\", DRIVE_FIXED}};
  });
  const std::wstring r = UpperCaseText(root_->Path());
  TOptionsForm options;
  ModalScript script;
  script.Then([&](HWND form) {
    Click(form, IDC_PROG_AUTOFIND);  // runs the search's script below
    ASSERT_EQ(options.RowCount(), 3);
    EXPECT_EQ(options.RowText(1, 0), L"Лавик: Лавик для DOS");
    EXPECT_EQ(options.RowText(2, 0), L"Теск: Теск — учет договоров");
    EXPECT_EQ(options.SelectedRow(), 2);
    Click(form, IDOK);
  });
  TOptionsProgramsAutoFindForm* finder = nullptr;
  script.Then([&](HWND af) {
    // the finder is the options dialog's own; reach it through its window
    finder = dynamic_cast<TOptionsProgramsAutoFindForm*>(reinterpret_cast<ui::Window*>(GetWindowLongPtrW(af, GWLP_USERDATA)));
    ASSERT_NE(finder, nullptr);
    SearchAndWait(*finder);
    ASSERT_EQ(finder->RowCount(), 3);
    finder->SelectRow(1);  // Lavik in B
    Click(af, IDC_AF_ADD);
    EXPECT_EQ(boxes.Last(), L"В списке результатов поиска - 2 программы «Лавик».\rВ список доставки обновлений "
                            L"будет добавлена только выбранная программа,\r(из каталога " +
                                r + L"B\\Lavik\\) остальные будут игнорироваться. Продолжать ?");
    // Both Lavik rows went; Tesk is left and selected.
    ASSERT_EQ(finder->RowCount(), 1);
    EXPECT_EQ(finder->RowText(0, 1), L"Теск");
    Click(af, IDC_AF_ADD);  // the last one: the window closes by itself
  });
  script.Then([&](HWND ed) {
    HWND exeDir = GetDlgItemRecursive(ed, IDC_ED_EXEDIR);
    EXPECT_FALSE(IsWindowEnabled(exeDir));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItemRecursive(ed, IDC_ED_EXEDIR_BTN)));
    EXPECT_EQ(TextOf(exeDir), r + L"B\\Lavik\\");
    EXPECT_EQ(GetFocus(), GetDlgItemRecursive(ed, IDC_ED_UPGDIR));
    Click(ed, IDOK);
  });
  script.Then([&](HWND ed) { Click(ed, IDOK); });
  EXPECT_EQ(options.ShowModal(nullptr), IDOK);
  const std::string b = SettingsBytes();
  EXPECT_EQ(IniValue(b, L"General", L"ActiveProgramCount"), L"3");
  EXPECT_EQ(IniValue(b, L"Program2", L"ProgramID"), L"Lavik");
  EXPECT_EQ(IniValue(b, L"Program2", L"ExeDir"), r + L"B\\Lavik\\");
  EXPECT_EQ(IniValue(b, L"Program3", L"ProgramID"), L"Tesk");
  EXPECT_EQ(IniValue(b, L"Program3", L"ExeDir"), r + L"D\\Теск\\");
}

// Some network file systems give every entry the file index 0. The walk takes that for "not
// known" and enters every folder; a real index shared by all (a guard that works) stops it at
// the first one, which shows the identity really is asked.
TEST_F(AutoFindTest, AFileIndexOfZeroIsUnknownNotVisited) {
  struct Case {
    unsigned long long index;
    size_t rows;
  };
  for (const Case& k : {Case{0, 4}, Case{77, 0}}) {
    SetDirectoryIdentitySource([&](const std::wstring&, unsigned long& volume, unsigned long long& index) {
      volume = 0x1234;
      index = k.index;
      return true;
    });
    TOptionsProgramsAutoFindForm f;
    f.EnsureCreated(nullptr);
    f.SetPrograms(ProgramCatalogue());
    ModalScript script;
    script.Then([&](HWND form) {
      SearchAndWait(f);
      Click(form, IDCANCEL);
    });
    f.ShowModal(nullptr);
    SetDirectoryIdentitySource(nullptr);
    EXPECT_EQ(static_cast<size_t>(f.RowCount()), k.rows) << k.index;
  }
}
