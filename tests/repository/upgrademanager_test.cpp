// The repository manager and the floppy wizard it opens, driven through their real windows;
// the screenshots of both are taken here as well.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>

#include "app/report.h"
#include "common/routines.h"
#include "common/text.h"
#include "repository/upgrademanagerfrm.h"
#include "settings/datalayout.h"
#include "settings/options.h"
#include "transfer/floppy.h"
#include "transfer/transfer_common.h"
#include "transfer/uploadfrm.h"
#include "ui/controls.h"
#include "ui/dialogs.h"
#include "ui/elevation.h"
#include "ui/modal.h"
#include "ui/pump.h"
#include "upgrade/mapcheck.h"
#include "windowbmp.h"

using namespace dorvex;

namespace {
// Answers the boxes from a list (Yes/No questions) and records every text.
struct Answers {
  std::vector<std::wstring> texts;
  std::vector<int> replies;
  Answers() {
    ui::SetMessageBoxHandler([this](const ui::MessageBoxRequest& r) {
      texts.push_back(r.text);
      if ((r.flags & MB_YESNO) != MB_YESNO) return IDOK;
      if (replies.empty()) return IDNO;
      int a = replies.front();
      replies.erase(replies.begin());
      return a;
    });
  }
  ~Answers() { ui::SetMessageBoxHandler(nullptr); }
  std::wstring Last() const { return texts.empty() ? L"" : texts.back(); }
};

// A repository with two programs on the list and a few things the tree must not show.
struct Repository {
  test::Computer c{L"mgr"};
  TMainForm* main = nullptr;
  Repository() {
    c.InstallBuh();  // version 412
    c.AddLoadOnly(L"Kadry", 5);
    c.Step(L"Buh\\410-412", {{L"a.dat", 1000}});
    c.Step(L"Buh\\413", {{L"b.dat", 2000000}, {L"b2.dat", 10}});
    c.Step(L"Buh\\413\\sub", {{L"deep.dat", 5}});
    c.Step(L"Buh\\repair\\412", {{L"r.dat", 7}});
    c.Step(L"Buh\\notastep", {{L"x.dat", 1}});
    c.Step(L"Buh\\.hidden7", {{L"h.dat", 1}});
    test::WriteBytes(c.repo + L"Buh\\loose.dat", "x");
    test::WriteBytes(c.repo + L"Buh\\repair\\loose.dat", "x");
    c.Step(L"Kadry\\6", {{L"k.dat", 3000}});
    c.Step(L"Kadry\\0", {{L"z.dat", 3}});
    c.Step(L"Kadry\\414", {});
    c.Step(L"Sklad\\413", {{L"s.dat", 1}});
    c.Step(L"Unknown\\413", {{L"u.dat", 1}});
    c.WriteSettings();
    main = &c.Open();
  }
};

std::wstring FileText(const std::wstring& name, long long size) {
  return name + L" [" + FormatGrouped(size) + L" байт]";
}

// The window as it is on the screen, into a BMP file.
bool Capture(HWND window, const std::wstring& path) {
  ShowWindow(window, SW_SHOW);
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME);
  ui::Sleep(300);
  ui::ProcessMessages();
  return tools::SaveWindowBmp(window, path, true);
}

std::wstring ShotsDir() {
  wchar_t buf[MAX_PATH] = L"";
  std::wstring dir = GetEnvironmentVariableW(L"DORVEX_SHOTS", buf, MAX_PATH) ? std::wstring(buf)
                                                                             : test::TestProgramDir() + L"screenshots";
  dir = IncludeTrailingBackslash(dir);
  ForceDirectories(dir);
  return dir;
}
}  // namespace

TEST(UpgradeManager, TreeGreyingAndStepNames) {
  EXPECT_TRUE(IsStepDirName(L"413"));
  EXPECT_TRUE(IsStepDirName(L"410-412"));
  EXPECT_TRUE(IsStepDirName(L""));
  EXPECT_FALSE(IsStepDirName(L"4.1"));
  EXPECT_FALSE(IsStepDirName(L"repair"));

  Repository r;
  TUpgradeManagerForm m(ProgramCatalogue(), r.main->SessionTempDir);
  m.EnsureCreated(r.main->Handle());
  HWND tree = m.TreeView();
  HTREEITEM root = TreeView_GetRoot(tree);
  EXPECT_EQ(m.TextOf(root), L"Программы «Ворел-Софт»");
  EXPECT_EQ(TreeView_GetSelection(tree), root);
  const std::wstring buh = L"Программа «Корвенд-Бухгалтерия» [версия 412]",
                     kadry = L"Программа «Корвенд-Кадры» [версия 5]";
  // Programs in text order; unknown and inactive programs, hidden and non-step directories,
  // loose files outside steps are not shown.
  std::vector<std::wstring> top;
  for (HTREEITEM n = TreeView_GetChild(tree, root); n; n = TreeView_GetNextSibling(tree, n)) top.push_back(m.TextOf(n));
  EXPECT_EQ(top, (std::vector<std::wstring>{buh, kadry}));
  std::vector<std::wstring> buhChildren;
  for (HTREEITEM n = TreeView_GetChild(tree, m.FindNode(buh)); n; n = TreeView_GetNextSibling(tree, n))
    buhChildren.push_back(m.TextOf(n));
  EXPECT_EQ(buhChildren, (std::vector<std::wstring>{L"410-412", L"413", L"Аварийные обновления"}));
  EXPECT_EQ(m.KindOf(m.FindNode(buh)), nkProgram);
  EXPECT_EQ(m.KindOf(m.FindNode(buh + L"/Аварийные обновления")), nkEmergency);
  EXPECT_EQ(m.KindOf(m.FindNode(buh + L"/413")), nkStep);
  EXPECT_NE(m.FindNode(buh + L"/413/" + FileText(L"b.dat", 2000000)), nullptr);
  EXPECT_EQ(m.KindOf(m.FindNode(buh + L"/413/" + FileText(L"b.dat", 2000000))), nkFile);
  EXPECT_EQ(m.FindNode(buh + L"/413/sub"), nullptr);
  EXPECT_NE(m.FindNode(buh + L"/Аварийные обновления/412/" + FileText(L"r.dat", 7)), nullptr);
  EXPECT_NE(m.FindNode(kadry + L"/0/" + FileText(L"z.dat", 3)), nullptr);
  EXPECT_NE(m.FindNode(kadry + L"/414"), nullptr);  // an empty step
  EXPECT_EQ(m.PathMap().size(), 6u);
  EXPECT_EQ(ui::GetText(m.DirLabel()), r.c.repo);
  EXPECT_TRUE(IsWindowEnabled(m.UploadBtn()));
  EXPECT_FALSE(IsWindowEnabled(m.DeleteBtn()));

  // Installed steps are greyed with their files; a step whose target is 0 never is.
  HTREEITEM old = m.FindNode(buh + L"/410-412"), oldFile = m.FindNode(buh + L"/410-412/" + FileText(L"a.dat", 1000));
  HTREEITEM repair = m.FindNode(buh + L"/Аварийные обновления/412");
  EXPECT_TRUE(m.IsGreyed(old));
  EXPECT_TRUE(m.IsGreyed(oldFile));
  EXPECT_TRUE(m.IsGreyed(repair));
  EXPECT_FALSE(m.IsGreyed(m.FindNode(buh + L"/413")));
  EXPECT_FALSE(m.IsGreyed(m.FindNode(kadry + L"/0")));
  EXPECT_FALSE(m.IsGreyed(m.FindNode(kadry + L"/6")));
  EXPECT_EQ(m.ObsoleteNodes().size(), 4u);
  SendMessageW(m.MoireCheckBox(), BM_CLICK, 0, 0);
  EXPECT_FALSE(m.IsGreyed(old));
  EXPECT_FALSE(m.IsGreyed(oldFile));
  SendMessageW(m.MoireCheckBox(), BM_CLICK, 0, 0);
  EXPECT_TRUE(m.IsGreyed(old));

  // The delete button follows the selection.
  TreeView_SelectItem(tree, m.FindNode(buh));
  EXPECT_FALSE(IsWindowEnabled(m.DeleteBtn()));
  Answers answers;
  SendMessageW(tree, WM_KEYDOWN, VK_DELETE, 0);  // Del on a program: nothing
  EXPECT_TRUE(answers.texts.empty());
  TreeView_SelectItem(tree, m.FindNode(buh + L"/413"));
  EXPECT_TRUE(IsWindowEnabled(m.DeleteBtn()));
}

TEST(UpgradeManager, DeletingSteps) {
  Repository r;
  TUpgradeManagerForm m(ProgramCatalogue(), r.main->SessionTempDir);
  m.EnsureCreated(r.main->Handle());
  HWND tree = m.TreeView();
  const std::wstring buh = L"Программа «Корвенд-Бухгалтерия» [версия 412]";
  Answers answers;

  // A step not yet applied: the question, then the warning whose Yes cancels.
  TreeView_SelectItem(tree, m.FindNode(buh + L"/413"));
  answers.replies = {IDYES, IDYES};
  SendMessageW(tree, WM_KEYDOWN, VK_DELETE, 0);
  ASSERT_EQ(answers.texts.size(), 2u);
  EXPECT_EQ(answers.texts[0], L"Удалить обновление с версии 412 на версию 413 для программы «Корвенд-Бухгалтерия» ?");
  EXPECT_EQ(answers.texts[1],
            L"Обновление, которое Вы собираетесь удалить, еще не проводилось (номер версии "
            L"обновления старше номера версии программы). Отменить удаление файлов обновления ?");
  EXPECT_TRUE(test::PathExists(r.c.repo + L"Buh\\413\\b.dat"));
  // No to the first question: nothing.
  answers.replies = {IDNO};
  ui::ClickButton(m.DeleteBtn());
  SendMessageW(m.Handle(), WM_COMMAND, MAKEWPARAM(302, BN_CLICKED), reinterpret_cast<LPARAM>(m.DeleteBtn()));
  EXPECT_TRUE(test::PathExists(r.c.repo + L"Buh\\413\\b.dat"));
  // Yes, then No to the warning: the files go, the subdirectory stays, the node goes.
  const int before = m.LiveNodeData();
  answers.replies = {IDYES, IDNO};
  m.DeleteBtnClick();
  EXPECT_FALSE(test::PathExists(r.c.repo + L"Buh\\413\\b.dat"));
  EXPECT_TRUE(test::PathExists(r.c.repo + L"Buh\\413\\sub\\deep.dat"));
  EXPECT_EQ(m.FindNode(buh + L"/413"), nullptr);
  EXPECT_EQ(m.LiveNodeData(), before - 3);  // the step and its two files released
  EXPECT_EQ(m.PathMap().size(), 4u);
  for (const auto& e : m.PathMap()) EXPECT_EQ(e.first.find(L"\\413\\"), std::wstring::npos);

  // An installed step: one question only. Afterwards the greying box touches no freed node.
  TreeView_SelectItem(tree, m.FindNode(buh + L"/410-412"));
  answers.texts.clear();
  answers.replies = {IDYES};
  m.DeleteBtnClick();
  EXPECT_EQ(answers.texts.size(), 1u);
  EXPECT_FALSE(test::PathExists(r.c.repo + L"Buh\\410-412"));
  EXPECT_EQ(m.ObsoleteNodes().size(), 2u);
  SendMessageW(m.MoireCheckBox(), BM_CLICK, 0, 0);
  SendMessageW(m.MoireCheckBox(), BM_CLICK, 0, 0);
  EXPECT_TRUE(m.IsGreyed(m.FindNode(buh + L"/Аварийные обновления/412")));

  // A step directory that vanished meanwhile: the error, the tree as it was.
  HTREEITEM repair = m.FindNode(buh + L"/Аварийные обновления/412");
  test::RemoveTree(r.c.repo + L"Buh\\repair\\412");
  TreeView_SelectItem(tree, repair);
  answers.replies = {IDYES};
  m.DeleteBtnClick();
  EXPECT_EQ(answers.Last(), L"Каталог " + r.c.repo + L"Buh\\repair\\412\\ не найден или недоступен.");
  EXPECT_EQ(m.FindNode(buh + L"/Аварийные обновления/412"), repair);
}

// Only the numeric directories right below a program or its "repair" are steps; Del removes the
// very directory the node was read from, never a same-named step elsewhere.
TEST(UpgradeManager, DeletesOnlyTheChosenStepsDirectory) {
  test::Computer c{L"mgrn"};
  c.InstallBuh();  // version 412
  c.Step(L"Buh\\413", {{L"b.dat", 20}});
  c.Step(L"Buh\\413\\414", {{L"x.dat", 5}});
  c.Step(L"Buh\\414", {{L"y.dat", 6}});
  c.Step(L"Buh\\repair\\412\\414", {{L"n.dat", 7}});
  c.Step(L"Buh\\repair\\414", {{L"r.dat", 8}});
  c.WriteSettings();
  TMainForm& main = c.Open();
  TUpgradeManagerForm m(ProgramCatalogue(), main.SessionTempDir);
  m.EnsureCreated(main.Handle());
  HWND tree = m.TreeView();
  const std::wstring buh = L"Программа «Корвенд-Бухгалтерия» [версия 412]";
  const std::wstring repair = buh + L"/Аварийные обновления";
  struct Case {
    std::wstring node;
    bool shown;
  };
  for (const Case& k : std::vector<Case>{{buh + L"/413", true},
                                         {buh + L"/414", true},
                                         {buh + L"/413/414", false},
                                         {repair + L"/414", true},
                                         {repair + L"/412", true},  // a step whose only content is a folder
                                         {repair + L"/412/414", false}})
    EXPECT_EQ(m.FindNode(k.node) != nullptr, k.shown) << WideToUtf8(k.node);
  EXPECT_EQ(m.StepDirectory(m.FindNode(buh + L"/414")), c.repo + L"Buh\\414\\");
  EXPECT_EQ(m.StepDirectory(m.FindNode(repair + L"/414")), c.repo + L"Buh\\repair\\414\\");
  // The files in a step's subdirectories are not offered for the floppies either.
  for (const auto& e : m.PathMap()) EXPECT_EQ(e.first.find(L"\\413\\414\\"), std::wstring::npos);

  Answers answers;
  TreeView_SelectItem(tree, m.FindNode(repair + L"/414"));
  answers.replies = {IDYES, IDNO};
  m.DeleteBtnClick();
  EXPECT_FALSE(test::PathExists(c.repo + L"Buh\\repair\\414"));
  EXPECT_TRUE(test::PathExists(c.repo + L"Buh\\414\\y.dat"));
  TreeView_SelectItem(tree, m.FindNode(buh + L"/414"));
  answers.replies = {IDYES, IDNO};
  m.DeleteBtnClick();
  EXPECT_FALSE(test::PathExists(c.repo + L"Buh\\414"));
  EXPECT_TRUE(test::PathExists(c.repo + L"Buh\\413\\414\\x.dat"));
  EXPECT_TRUE(test::PathExists(c.repo + L"Buh\\repair\\412\\414\\n.dat"));
  EXPECT_TRUE(test::PathExists(c.repo + L"Buh\\413\\b.dat"));
}

// Symbolic links in the repository (made by the test's runner): a numeric link back to the
// program's directory or to the root is neither walked round nor shown as a step, and a
// directory reached twice is read once. The scan ends, and the real steps are there.
TEST(UpgradeManager, NeverFollowsLinks) {
  wchar_t linked[MAX_PATH] = L"";
  ASSERT_TRUE(GetEnvironmentVariableW(L"DORVEX_TEST_LINKED_REPO", linked, MAX_PATH))
      << "DORVEX_TEST_LINKED_REPO (a repository with symbolic links) was not given";
  test::Computer c{L"mgrl"};
  c.InstallBuh();
  c.repo = linked;
  c.WriteSettings();
  TMainForm& main = c.Open();
  TUpgradeManagerForm m(ProgramCatalogue(), main.SessionTempDir);
  m.EnsureCreated(main.Handle());
  const std::wstring buh = L"Программа «Корвенд-Бухгалтерия» [версия 412]";
  EXPECT_NE(m.FindNode(buh + L"/413/" + FileText(L"a.dat", 1)), nullptr);
  EXPECT_NE(m.FindNode(buh + L"/Аварийные обновления/412/" + FileText(L"r.dat", 1)), nullptr);
  EXPECT_EQ(m.FindNode(buh + L"/414"), nullptr);
  EXPECT_EQ(m.FindNode(buh + L"/Аварийные обновления/415"), nullptr);
  EXPECT_EQ(m.FindNode(buh + L"/413/416"), nullptr);
  EXPECT_EQ(m.PathMap().size(), 2u);
  EXPECT_TRUE(test::PathExists(c.repo + L"Buh\\413\\a.dat"));
}

TEST(UpgradeManager, OpenedFromTheMainWindowAndEmptyRepository) {
  test::Computer c(L"mgre");
  c.InstallBuh();
  c.Step(L"Sklad\\413", {{L"s.dat", 1}});  // not on the list
  c.WriteSettings();
  TMainForm& f = c.Open();
  ASSERT_TRUE(IsWindowEnabled(f.UpgradeInfoBtn));
  std::wstring caption;
  int count = -1;
  bool uploadEnabled = true;
  ui::SetModalHook([&](HWND form) {
    wchar_t buf[128];
    GetWindowTextW(form, buf, 128);
    caption = buf;
    HWND tree = FindWindowExW(form, nullptr, WC_TREEVIEWW, nullptr);
    count = static_cast<int>(TreeView_GetCount(tree));
    HWND upload = GetDlgItem(form, 303);
    uploadEnabled = IsWindowEnabled(upload);
    PostMessageW(form, WM_COMMAND, IDCANCEL, 0);  // "Закрыть", as Escape
  });
  ui::ClickButton(f.UpgradeInfoBtn);
  ui::SetModalHook(nullptr);
  EXPECT_EQ(caption, L"Хранилище обновлений");
  EXPECT_EQ(count, 1);  // the root alone
  EXPECT_FALSE(uploadEnabled);
}

TEST(UploadWizard, SelectionPreparationWritingAndClosing) {
  Repository r;
  test::FloppyDrive a;
  TUpgradeManagerForm m(ProgramCatalogue(), r.main->SessionTempDir);
  m.EnsureCreated(r.main->Handle());
  // F3 in the tree opens the wizard modally.
  std::wstring caption;
  ui::SetModalHook([&](HWND form) {
    wchar_t buf[128];
    GetWindowTextW(form, buf, 128);
    caption = buf;
    PostMessageW(form, WM_CLOSE, 0, 0);
  });
  SendMessageW(m.TreeView(), WM_KEYDOWN, VK_F3, 0);
  ui::SetModalHook(nullptr);
  EXPECT_EQ(caption, L"Выгрузка на дискеты");

  TUploadForm w(m.TreeView(), m.PathMap(), r.main->SessionTempDir);
  w.EnsureCreated(m.Handle());
  ShowWindow(w.Handle(), SW_SHOW);
  ASSERT_EQ(w.Rows().size(), 8u);
  EXPECT_EQ(w.RowText(0, 0), L"Программа «Корвенд-Бухгалтерия» [версия 412]");
  EXPECT_EQ(w.RowText(1, 0), L"410-412");
  EXPECT_EQ(w.RowText(2, 0), L"413");
  EXPECT_EQ(w.RowText(3, 0), L"412 [аварийное]");
  EXPECT_EQ(w.RowText(4, 0), L"Программа «Корвенд-Кадры» [версия 5]");
  // Steps in the order of their versions, not of their texts.
  EXPECT_EQ(w.RowText(5, 0), L"0");
  EXPECT_EQ(w.RowText(6, 0), L"6");
  EXPECT_EQ(w.RowText(7, 0), L"414");
  EXPECT_EQ(ListView_GetNextItem(w.ListView(), -1, LVNI_SELECTED), 0);
  EXPECT_FALSE(IsWindowEnabled(w.NextBtn()));
  EXPECT_FALSE(ui::IsShown(w.PrevBtn()));
  SendMessageW(w.ListView(), WM_CHAR, L' ', 0);  // a program row cannot be chosen
  EXPECT_EQ(w.ChosenCount(), 0);
  Answers answers;

  // An empty step alone cannot leave the first page.
  w.SelectRow(7);
  SendMessageW(w.ListView(), WM_CHAR, L' ', 0);
  EXPECT_EQ(w.RowText(7, 1), L"Да");
  EXPECT_TRUE(IsWindowEnabled(w.NextBtn()));
  w.NextBtnClick();
  EXPECT_EQ(w.CurrentPage(), 0);
  EXPECT_EQ(answers.Last(), L"В выбранных обновлениях нет ни одного файла для выгрузки. Выберите другие обновления.");
  w.ListViewDblClick();
  EXPECT_EQ(w.RowText(7, 1), L"");
  EXPECT_EQ(w.ChosenCount(), 0);

  // Two steps whose files share a name.
  test::WriteBytes(r.c.repo + L"Kadry\\414\\b.dat", "same bare name");
  // The tree was read before: the clash shows once the manager reads the repository again.
  m.BuildRepositoryTree();
  TUploadForm w2(m.TreeView(), m.PathMap(), r.main->SessionTempDir);
  w2.EnsureCreated(m.Handle());
  w2.SelectRow(2);
  w2.ListViewKeyPress(L' ');
  w2.SelectRow(7);
  w2.ListViewKeyPress(L' ');
  w2.ListViewKeyPress(L'\r');  // Enter acts as "Дальше »"
  EXPECT_EQ(w2.CurrentPage(), 0);
  EXPECT_NE(answers.Last().find(r.c.repo + L"Buh\\413\\b.dat"), std::wstring::npos) << WideToUtf8(answers.Last());
  EXPECT_NE(answers.Last().find(r.c.repo + L"Kadry\\414\\b.dat"), std::wstring::npos);
  // Without the clash: page 1 with its figures.
  w2.SelectRow(7);
  w2.ListViewKeyPress(L' ');
  w2.SelectRow(6);
  w2.ListViewKeyPress(L' ');
  w2.SelectRow(3);
  w2.ListViewKeyPress(L' ');
  EXPECT_EQ(w2.ChosenCount(), 3);
  w2.NextBtnClick();
  ASSERT_EQ(w2.CurrentPage(), 1);
  EXPECT_TRUE(ui::IsShown(w2.PrevBtn()));
  EXPECT_EQ(ui::GetText(w2.ChosenLabel()), L"Вы выбрали для переноса на другой компьютер 3 каталога с обновлениями");
  EXPECT_EQ(ui::GetText(w2.TotalLabel()), FormatGrouped(2000000 + 10 + 3000 + 7) + L" байт");
  EXPECT_EQ(ui::GetText(w2.DisksLabel()), L"2");
  EXPECT_EQ(ui::GetText(w2.DisksNounLabel()), L"дискеты");
  EXPECT_EQ(w2.ChosenDrive(), L"A:\\");
  const std::wstring firstId = w2.Set().SessionID;
  ASSERT_EQ(w2.Set().Files.size(), 4u);
  // Back and forward: a new set.
  Sleep(20);
  w2.PrevBtnClick();
  EXPECT_EQ(w2.CurrentPage(), 0);
  w2.NextBtnClick();
  EXPECT_NE(w2.Set().SessionID, firstId);
  // No drive chosen, or an empty one: the page stays.
  SendMessageW(w2.DiskCombo(), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  w2.NextBtnClick();
  EXPECT_EQ(answers.Last(), L"Не указан дисковод для выгрузки обновлений");
  EXPECT_EQ(w2.CurrentPage(), 1);
  LRESULT empty = SendMessageW(w2.DiskCombo(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L""));
  SendMessageW(w2.DiskCombo(), CB_SETCURSEL, static_cast<WPARAM>(empty), 0);
  w2.PrevBtnClick();
  EXPECT_EQ(answers.Last(), L"Недопустимый путь к диску");
  EXPECT_EQ(w2.CurrentPage(), 1);
  SendMessageW(w2.DiskCombo(), CB_SETCURSEL,
               SendMessageW(w2.DiskCombo(), CB_FINDSTRINGEXACT, -1, reinterpret_cast<LPARAM>(L"A:\\")), 0);
  SendMessageW(w2.DiskCombo(), WM_CHAR, L'\r', 0);
  w2.NextBtnClick();
  ASSERT_EQ(w2.CurrentPage(), 2);
  EXPECT_FALSE(ui::IsShown(w2.NextBtn()));
  EXPECT_FALSE(ui::IsShown(w2.PrevBtn()));
  EXPECT_EQ(ui::GetText(w2.WriteDiskBtn()), L"  Записать дискету № 1");

  // Closing while a disk is written is refused; the "format" runs in the middle of the click.
  answers.texts.clear();
  bool checked = false;
  SetFloppyFormatSource([&](HWND, unsigned) {
    EXPECT_TRUE(w2.Writing());
    EXPECT_FALSE(ui::IsShown(w2.CancelBtn()));
    EXPECT_TRUE(ui::IsShown(w2.ProgressPanel()));
    EXPECT_FALSE(ui::IsShown(w2.InsertPanel()));
    SendMessageW(w2.Handle(), WM_CLOSE, 0, 0);
    SendMessageW(w2.Handle(), WM_COMMAND, IDCANCEL, 0);
    w2.CancelBtnClick();
    checked = true;
    a.Clear();
    return 0;
  });
  SendMessageW(w2.FormatCheck(), BM_SETCHECK, BST_CHECKED, 0);
  SendMessageW(w2.Handle(), WM_COMMAND, MAKEWPARAM(203, BN_CLICKED), reinterpret_cast<LPARAM>(w2.WriteDiskBtn()));
  SetFloppyFormatSource(nullptr);
  EXPECT_TRUE(checked);
  EXPECT_TRUE(answers.texts.empty());
  EXPECT_EQ(w2.Set().DisksWritten, 1);
  EXPECT_EQ(ui::GetText(w2.CounterLabel()), L"Записано дискет: 1 из 2");
  EXPECT_EQ(ui::GetText(w2.WriteDiskBtn()), L"  Записать дискету № 2");
  EXPECT_TRUE(ui::IsShown(w2.CancelBtn()));
  EXPECT_TRUE(ui::IsShown(w2.InsertPanel()));
  EXPECT_FALSE(ui::IsShown(w2.ProgressPanel()));
  a.Save(1);
  // Between disks the close question decides.
  answers.replies = {IDNO};
  w2.FormKeyPress(VK_ESCAPE);
  EXPECT_EQ(answers.Last(), L"Прервать процесс записи комплекта дискет обновлений ?");
  EXPECT_EQ(w2.CurrentPage(), 2);
  SendMessageW(w2.FormatCheck(), BM_SETCHECK, BST_UNCHECKED, 0);
  a.Clear();
  w2.WriteDiskBtnClick();
  EXPECT_EQ(w2.CurrentPage(), 3);
  EXPECT_EQ(ui::GetText(w2.CancelBtn()), L"Закрыть");
  // The bar shows the last disk's share of its free space, painted once more at the end.
  HWND bar = FindWindowExW(w2.Handle(), nullptr, PROGRESS_CLASSW, nullptr);
  const int pos = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
  EXPECT_GT(pos, 0);
  EXPECT_EQ(ui::GetText(w2.PercentLabel()), std::to_wstring(pos) + L"%");
}

TEST(Screens, ManagerAndEveryWizardPage) {
  Repository r;
  test::FloppyDrive a;
  const std::wstring dir = ShotsDir();
  TUpgradeManagerForm m(ProgramCatalogue(), r.main->SessionTempDir);
  m.EnsureCreated(r.main->Handle());
  HWND tree = m.TreeView();
  for (HTREEITEM n = TreeView_GetRoot(tree); n; n = TreeView_GetNextSibling(tree, n))
    TreeView_Expand(tree, n, TVE_EXPAND);
  const std::wstring buh = L"Программа «Корвенд-Бухгалтерия» [версия 412]";
  TreeView_Expand(tree, m.FindNode(buh), TVE_EXPAND);
  TreeView_Expand(tree, m.FindNode(buh + L"/410-412"), TVE_EXPAND);
  TreeView_Expand(tree, m.FindNode(buh + L"/413"), TVE_EXPAND);
  TreeView_Expand(tree, m.FindNode(buh + L"/Аварийные обновления"), TVE_EXPAND);
  TreeView_Expand(tree, m.FindNode(L"Программа «Корвенд-Кадры» [версия 5]"), TVE_EXPAND);
  TreeView_SelectItem(tree, m.FindNode(buh + L"/413"));
  EXPECT_TRUE(Capture(m.Handle(), dir + L"manager.bmp"));

  TUploadForm w(tree, m.PathMap(), r.main->SessionTempDir);
  w.EnsureCreated(m.Handle());
  w.SelectRow(2);
  w.ListViewKeyPress(L' ');
  w.SelectRow(6);
  w.ListViewKeyPress(L' ');
  EXPECT_TRUE(Capture(w.Handle(), dir + L"wizard-0-select.bmp"));
  w.NextBtnClick();
  ASSERT_EQ(w.CurrentPage(), 1);
  SendMessageW(w.DiskCombo(), CB_SETCURSEL,
               SendMessageW(w.DiskCombo(), CB_FINDSTRINGEXACT, -1, reinterpret_cast<LPARAM>(L"A:\\")), 0);
  EXPECT_TRUE(Capture(w.Handle(), dir + L"wizard-1-prepare.bmp"));
  w.NextBtnClick();
  ASSERT_EQ(w.CurrentPage(), 2);
  Answers answers;
  a.Clear();
  w.WriteDiskBtnClick();
  EXPECT_TRUE(Capture(w.Handle(), dir + L"wizard-2-write.bmp"));
  // The progress panel as it shows while a disk is written.
  SetFloppyFormatSource([&](HWND, unsigned) {
    EXPECT_TRUE(Capture(w.Handle(), dir + L"wizard-2-writing.bmp"));
    return -2;
  });
  SendMessageW(w.FormatCheck(), BM_SETCHECK, BST_CHECKED, 0);
  a.Clear();
  w.WriteDiskBtnClick();
  SetFloppyFormatSource(nullptr);
  SendMessageW(w.FormatCheck(), BM_SETCHECK, BST_UNCHECKED, 0);
  while (w.CurrentPage() == 2 && w.Set().DisksWritten < 5) {
    a.Clear();
    w.WriteDiskBtnClick();
  }
  ASSERT_EQ(w.CurrentPage(), 3);
  EXPECT_TRUE(Capture(w.Handle(), dir + L"wizard-3-done.bmp"));
}

namespace {
// Every file under a folder with its bytes, and the names of its folders.
void Snapshot(const std::wstring& dir, std::map<std::wstring, std::string>& out) {
  WIN32_FIND_DATAW f;
  HANDLE h = FindFirstFileW((IncludeTrailingBackslash(dir) + L"*").c_str(), &f);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = f.cFileName, path = IncludeTrailingBackslash(dir) + name;
    if (name == L"." || name == L"..") continue;
    if (f.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[path + L"\\"] = "";
      Snapshot(path, out);
    } else {
      out[path] = test::ReadBytes(path);
    }
  } while (FindNextFileW(h, &f));
  FindClose(h);
}
}  // namespace

// A person who may not write the data: each action that writes says so before it writes anything
// and offers the restart with administrator rights and the same command line; No leaves it there.
TEST(DataRights, EveryWritingActionAsksBeforeItWrites) {
  Repository r;
  test::FloppyDrive drive;  // the computer's source: a floppy set, whose import is a Run
  const std::wstring buh = L"Программа «Корвенд-Бухгалтерия» [версия 412]";
  struct Case {
    const char* action;
    int answer;
    std::function<void()> act;
  };
  const std::vector<Case> cases{
      {"Run (a floppy import)", IDYES, [&] { r.c.Run(); }},
      {"Run, No", IDNO, [&] { r.c.Run(); }},
      {"OK in the options", IDYES,
       [&] {
         ui::SetModalHook([](HWND form) {
           SendMessageW(form, WM_COMMAND, IDOK, 0);
           SendMessageW(form, WM_COMMAND, IDCANCEL, 0);
         });
         ui::ClickButton(r.main->OptionsBtn);
         ui::SetModalHook(nullptr);
       }},
      {"a deletion in the manager", IDYES,
       [&] {
         TUpgradeManagerForm m(ProgramCatalogue(), r.main->SessionTempDir);
         m.EnsureCreated(r.main->Handle());
         TreeView_SelectItem(m.TreeView(), m.FindNode(buh + L"/410-412"));
         m.DeleteBtnClick();
       }},
  };
  std::vector<std::wstring> asked;
  std::vector<std::pair<std::wstring, std::wstring>> restarts;
  ui::SetWriteAccessHandler([&](const std::wstring& folder) {
    asked.push_back(folder);
    return !SameText(IncludeTrailingBackslash(folder), r.c.repo);
  });
  ui::SetElevatedRestartHandler([&](const std::wstring& program, const std::wstring& arguments) {
    restarts.emplace_back(program, arguments);
    return true;
  });
  for (const Case& k : cases) {
    SCOPED_TRACE(k.action);
    std::map<std::wstring, std::string> before, after;
    auto snap = [&](std::map<std::wstring, std::string>& m) {
      m.clear();
      Snapshot(r.c.root.Path(), m);
      for (const std::wstring& f : {SettingsFileName(), FixedReportPath(), SerialStatePath()})
        m[f] = test::PathExists(f) ? test::ReadBytes(f) : "(none)";
    };
    snap(before);
    asked.clear();
    restarts.clear();
    Answers answers;
    answers.replies = {k.answer};
    k.act();
    snap(after);
    EXPECT_TRUE(before == after);
    ASSERT_EQ(answers.texts.size(), 1u) << WideToUtf8(answers.Last());
    EXPECT_NE(answers.texts[0].find(L"нет прав на запись в папку " + ExcludeTrailingBackslash(r.c.repo)),
              std::wstring::npos)
        << WideToUtf8(answers.texts[0]);
    EXPECT_NE(answers.texts[0].find(L"с правами администратора?"), std::wstring::npos);
    EXPECT_EQ(asked.size(), 2u);  // the settings' folder, then the repository
    if (k.answer == IDYES) {
      ASSERT_EQ(restarts.size(), 1u);
      EXPECT_EQ(restarts[0].first, ExecutablePath());
      EXPECT_EQ(restarts[0].second, ui::CommandLineTail(GetCommandLineW()));
    } else {
      EXPECT_TRUE(restarts.empty());
    }
  }
  // The question as the system shows it, into the screenshots; answered No.
  static std::wstring shot;
  shot = ShotsDir() + L"elevation-question.bmp";
  DeleteFileW(shot.c_str());
  SetTimer(nullptr, 0, 500, [](HWND, UINT, UINT_PTR id, DWORD) {
    HWND box = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM found) {
          wchar_t cls[16] = L"";
          GetClassNameW(w, cls, 16);
          if (IsWindowVisible(w) && std::wstring(cls) == L"#32770") *reinterpret_cast<HWND*>(found) = w;
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&box));
    if (!box) return;
    KillTimer(nullptr, id);
    Capture(box, shot);
    SendMessageW(box, WM_COMMAND, IDNO, 0);
  });
  restarts.clear();
  EXPECT_FALSE(ui::EnsureDataWritable(r.main->Handle(), WritableDataFolders()));
  EXPECT_TRUE(restarts.empty());
  EXPECT_TRUE(test::PathExists(shot));
  // Looking around needs no rights: the manager opens and shows the repository.
  TUpgradeManagerForm m(ProgramCatalogue(), r.main->SessionTempDir);
  m.EnsureCreated(r.main->Handle());
  EXPECT_NE(m.FindNode(buh + L"/413"), nullptr);
  ui::SetWriteAccessHandler(nullptr);
  ui::SetElevatedRestartHandler(nullptr);
}

TEST(DataRights, TheRestartKeepsTheCommandLine) {
  struct Case {
    const wchar_t* line;
    const wchar_t* tail;
  };
  for (const Case& k : std::vector<Case>{{L"dorvex.exe", L""},
                                         {L"\"C:\\Program Files\\Дорвекс\\dorvex.exe\" /auto", L"/auto"},
                                         {L"  \"C:\\a b\\dorvex.exe\"   /CONF:\"C:\\x y\\d.ini\" /auto",
                                          L"/CONF:\"C:\\x y\\d.ini\" /auto"},
                                         {L"C:\\dorvex.exe /configure /ProgExeDir:\"C:\\К\\\"", L"/configure /ProgExeDir:\"C:\\К\\\""}})
    EXPECT_EQ(ui::CommandLineTail(k.line), k.tail) << WideToUtf8(k.line);
}
