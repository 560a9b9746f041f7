#include "dialogs/optionsprogramseditfrm.h"

#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs/formutil.h"
#include "ui/dialogs.h"
#include "ui/folders.h"

namespace dorvex {

namespace {
std::wstring WithBackslash(const std::wstring& dir) { return dir.empty() ? dir : IncludeTrailingBackslash(dir); }
}  // namespace

TOptionsProgramsEditForm::TOptionsProgramsEditForm() = default;
TOptionsProgramsEditForm::~TOptionsProgramsEditForm() {
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
}

void TOptionsProgramsEditForm::CreateForm(HWND owner) {
  HWND frame = CreateTemplateForm(owner, L"Доставка обновлений программы", IDD_EDITOR);
  if (!frame) return;
  HWND area = GetDlgItem(frame, IDC_ED_PAGEAREA);
  PathsPage = CreatePage(frame, IDD_ED_PATHS, area);
  VersionPage = CreatePage(frame, IDD_ED_VERSION, area);
  ProgramCombo = Item(IDC_ED_PROGRAM);
  VirtualCheck = Item(IDC_ED_VIRTUAL);
  ExeDirLabel = Item(IDC_ED_EXEDIR_LBL);
  ExeDirEdit = Item(IDC_ED_EXEDIR);
  ExeDirBtn = Item(IDC_ED_EXEDIR_BTN);
  UpgradeDirLabel = Item(IDC_ED_UPGDIR_LBL);
  UpgradeDirEdit = Item(IDC_ED_UPGDIR);
  UpgradeDirBtn = Item(IDC_ED_UPGDIR_BTN);
  VersionEdit = Item(IDC_ED_VERSION);
  OkBtn = Item(IDOK);
  dlg::SetItemText(VersionEdit, L"0");
  VirtualCheckClick();
}

void TOptionsProgramsEditForm::Unhook(TProgram& p) {
  // The editor's checks speak only through its own message box, never to a session's report.
  p.OnMessage = nullptr;
  p.OnConnectionState = nullptr;
  p.OnTraffic = nullptr;
}

void TOptionsProgramsEditForm::SetPrograms(const TProgramList& list) {
  EnsureCreated(nullptr);
  SendMessageW(ProgramCombo, CB_RESETCONTENT, 0, 0);
  list_ = TProgramList();
  dlg::CopyProgramList(list, list_);
  for (int i = 0; i < list_.Count(); ++i) {
    TProgram& p = list_.Items(i);
    Unhook(p);
    std::wstring text = L" " + p.Title;
    auto at = SendMessageW(ProgramCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageW(ProgramCombo, CB_SETITEMDATA, static_cast<WPARAM>(at), i);
  }
  SendMessageW(ProgramCombo, CB_SETCURSEL, 0, 0);
  ProgramComboChange();
}

void TOptionsProgramsEditForm::RemoveActivePrograms() {
  for (auto i = SendMessageW(ProgramCombo, CB_GETCOUNT, 0, 0) - 1; i >= 0; --i) {
    auto index = static_cast<int>(SendMessageW(ProgramCombo, CB_GETITEMDATA, static_cast<WPARAM>(i), 0));
    if (list_.Items(index).Active) SendMessageW(ProgramCombo, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
  }
  SendMessageW(ProgramCombo, CB_SETCURSEL, SendMessageW(ProgramCombo, CB_GETCOUNT, 0, 0) > 0 ? 0 : -1, 0);
  ProgramComboChange();
}

TProgram* TOptionsProgramsEditForm::Selected() const {
  auto sel = SendMessageW(ProgramCombo, CB_GETCURSEL, 0, 0);
  if (sel < 0) return nullptr;
  auto index = static_cast<int>(SendMessageW(ProgramCombo, CB_GETITEMDATA, static_cast<WPARAM>(sel), 0));
  if (index < 0 || index >= list_.Count()) return nullptr;
  return &list_.Items(index);
}

void TOptionsProgramsEditForm::EditProgram(const TProgram& program) {
  TProgram* p = list_.FindByID(program.ProgramID);
  if (!p) return;
  p->Assign(program);
  Unhook(*p);
  for (int i = 0, n = static_cast<int>(SendMessageW(ProgramCombo, CB_GETCOUNT, 0, 0)); i < n; ++i) {
    auto index = static_cast<int>(SendMessageW(ProgramCombo, CB_GETITEMDATA, static_cast<WPARAM>(i), 0));
    if (&list_.Items(index) == p) {
      SendMessageW(ProgramCombo, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
      break;
    }
  }
  ProgramComboChange();
  EnableWindow(ProgramCombo, FALSE);
  dlg::SetChecked(VirtualCheck, p->VirtualUpgrade);
  VirtualCheckClick();
  dlg::SetItemText(ExeDirEdit, p->ExeDir);
  dlg::SetItemText(UpgradeDirEdit, p->UpgradeDir);
  dlg::SetItemText(VersionEdit, FloatToDotText(p->VirtualVersion));
  SetInitialFocus(p->VirtualUpgrade ? VersionEdit : ExeDirEdit);
  SetFocus(p->VirtualUpgrade ? VersionEdit : ExeDirEdit);
}

TProgram* TOptionsProgramsEditForm::EditedProgram() {
  TProgram* p = Selected();
  if (!p) return nullptr;
  p->VirtualUpgrade = dlg::IsChecked(VirtualCheck);
  double version = 0;
  p->VirtualVersion = dlg::ParseVersionField(dlg::ItemText(VersionEdit), version) ? version : 0;
  p->ExeDir = WithBackslash(Trim(dlg::ItemText(ExeDirEdit)));
  p->UpgradeDir = WithBackslash(Trim(dlg::ItemText(UpgradeDirEdit)));
  return p;
}

void TOptionsProgramsEditForm::ProgramComboChange() {
  TProgram* p = Selected();
  const bool upgradeDir = !(p && p->UpgradeInExeDir);
  dlg::ShowControl(UpgradeDirLabel, upgradeDir);
  dlg::ShowControl(UpgradeDirEdit, upgradeDir);
  dlg::ShowControl(UpgradeDirBtn, upgradeDir);
}

void TOptionsProgramsEditForm::VirtualCheckClick() {
  const bool loadOnly = dlg::IsChecked(VirtualCheck);
  ShowWindow(VersionPage, loadOnly ? SW_SHOWNA : SW_HIDE);
  ShowWindow(PathsPage, loadOnly ? SW_HIDE : SW_SHOWNA);
}

void TOptionsProgramsEditForm::DirButtonClick(int buttonId) {
  HWND edit = buttonId == IDC_ED_EXEDIR_BTN ? ExeDirEdit : UpgradeDirEdit;
  HWND label = buttonId == IDC_ED_EXEDIR_BTN ? ExeDirLabel : UpgradeDirLabel;
  if (!IsWindowEnabled(GetDlgItem(PathsPage, buttonId))) return;
  std::wstring prompt = label ? dlg::ItemText(label) : std::wstring();
  if (prompt.empty()) prompt = L"Поиск и выбор каталога";
  std::wstring chosen = ui::ChooseFolder(ui::FolderRequest{hwnd_, L"Выбор каталога", prompt, dlg::ItemText(edit)});
  if (chosen.empty()) return;
  dlg::SetItemText(edit, chosen);
  TProgram* p = Selected();
  if (edit == ExeDirEdit && p && Trim(dlg::ItemText(UpgradeDirEdit)).empty() && p->Booster)
    dlg::SetItemText(UpgradeDirEdit, p->Booster->DefaultUpgradeDir(chosen));
}

void TOptionsProgramsEditForm::OkBtnClick() {
  TProgram* p = EditedProgram();
  if (!p) return;
  auto fail = [&](const std::wstring& text, HWND field) {
    ui::ShowError(hwnd_, text);
    if (IsWindowVisible(field)) SetFocus(field);
  };
  const std::wstring typed[] = {dlg::ItemText(ExeDirEdit), dlg::ItemText(UpgradeDirEdit), dlg::ItemText(VersionEdit)};
  const HWND fields[] = {ExeDirEdit, UpgradeDirEdit, VersionEdit};
  for (int i = 0; i < 3; ++i)
    if (dlg::HasLineBreak(typed[i]))
      return fail(Fmt(L"Программа %s: значение поля не может содержать перевод строки.", p->Title), fields[i]);
  if (!p->VirtualUpgrade) {
    // A relative directory would be taken against whatever directory is current at the time.
    if (!p->ExeDir.empty() && !dlg::IsAbsolutePath(p->ExeDir))
      return fail(Fmt(L"Программа %s: каталог (%s) должен быть указан полным путем, начиная с имени диска.", p->Title,
                      p->ExeDir),
                  ExeDirEdit);
    if (!p->UpgradeInExeDir && !p->UpgradeDir.empty() && !dlg::IsAbsolutePath(p->UpgradeDir))
      return fail(Fmt(L"Программа %s: каталог (%s) должен быть указан полным путем, начиная с имени диска.", p->Title,
                      p->UpgradeDir),
                  UpgradeDirEdit);
  }
  const std::wstring exeDir = p->ExeDir;
  if (p->CheckPaths()) {
    EndModal(IDOK);
    return;
  }
  HWND field = VersionEdit;
  if (!p->VirtualUpgrade)
    field = (exeDir.empty() || !DirectoryExists(exeDir) || !FileExists(exeDir + p->ExeName)) ? ExeDirEdit : UpgradeDirEdit;
  fail(p->LastError, field);
}

void TOptionsProgramsEditForm::Command(int id, int code, HWND control) {
  switch (id) {
    case IDOK: OkBtnClick(); return;
    case IDC_ED_PROGRAM:
      if (code == CBN_SELCHANGE) ProgramComboChange();
      return;
    case IDC_ED_VIRTUAL:
      if (code == BN_CLICKED) VirtualCheckClick();
      return;
    case IDC_ED_EXEDIR_BTN:
    case IDC_ED_UPGDIR_BTN:
      if (code == BN_CLICKED) DirButtonClick(id);
      return;
  }
  TModalForm::Command(id, code, control);
}

}  // namespace dorvex
