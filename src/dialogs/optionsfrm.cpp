#include "dialogs/optionsfrm.h"

#include <commctrl.h>

#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs/formutil.h"
#include "dialogs/optionsprogramsautofindfrm.h"
#include "dialogs/optionsprogramseditfrm.h"
#include "settings/rasapi.h"
#include "settings/datalayout.h"
#include "ui/dialogs.h"
#include "ui/elevation.h"
#include "ui/folders.h"

namespace dorvex {

namespace {
const wchar_t* const kPageNames[] = {L"Общие",          L"Список доставки",   L"Соединение",
                                     L"Прокси-серверы", L"Удаленный доступ", L"Сервис"};
const int kPageTemplates[] = {IDD_OPT_COMMON, IDD_OPT_PROGRAMS, IDD_OPT_CONNECTION,
                              IDD_OPT_PROXY,  IDD_OPT_RAS,      IDD_OPT_SERVICE};

void AddColumn(HWND list, int index, const wchar_t* text, int width) {
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH;
  col.pszText = const_cast<wchar_t*>(text);
  col.cx = width;
  ListView_InsertColumn(list, index, &col);
}

int ListSelection(HWND list) { return ListView_GetNextItem(list, -1, LVNI_SELECTED); }

void SelectListRow(HWND list, int row) {
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  if (row >= 0) {
    ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(list, row, FALSE);
  }
}

std::wstring ListText(HWND list, int row, int column) {
  wchar_t buf[1024] = L"";
  ListView_GetItemText(list, row, column, buf, 1024);
  return buf;
}

// The system's phone book, through the program's run-time binding of the service.
class TSystemPhoneBook : public TRasPhoneBook {
 public:
  bool Available() override { return RasAvailable(); }
  unsigned long ListEntries(std::vector<std::wstring>& names) override {
    TRasEntryList list = ListRasEntries();
    names = list.Names;
    return list.Result;
  }
  std::wstring EntryUserName(const std::wstring& entry) override { return RasEntryUserName(entry); }
  unsigned long EditEntry(HWND owner, const std::wstring& entry) override {
    return RasEditPhonebookEntry(owner, RasEntryNameBytes(entry));
  }
  unsigned long CreateEntry(HWND owner) override { return RasCreatePhonebookEntry(owner); }
  std::wstring ErrorText(unsigned long code) override {
    std::wstring text = RasErrorText(static_cast<uint32_t>(code));
    return text.empty() ? Fmt(L"код %u", static_cast<unsigned>(code)) : text;
  }
};

BOOL CALLBACK EnableChild(HWND h, LPARAM enable) {
  EnableWindow(h, static_cast<BOOL>(enable));
  return TRUE;
}
}  // namespace

TOptionsForm::TOptionsForm() = default;

TOptionsForm::~TOptionsForm() {
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
  if (bold_) DeleteObject(bold_);
}

void TOptionsForm::CreateForm(HWND owner) {
  HWND frame = CreateTemplateForm(owner, L"Настройки и параметры", IDD_OPTIONS);
  if (!frame) return;
  tabs_ = GetDlgItem(frame, IDC_OPT_TABS);
  HWND area = GetDlgItem(frame, IDC_OPT_PAGEAREA);
  // Narrow margins beside the tabs' names, so that all six stand in one row without scroll arrows.
  SendMessageW(tabs_, TCM_SETPADDING, 0, MAKELPARAM(3, 3));
  for (int i = 0; i < kPageCount; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(kPageNames[i]);
    SendMessageW(tabs_, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
    pages_[i] = CreatePage(frame, kPageTemplates[i], area, true);
  }
  HWND rasArea = Item(IDC_RAS_AREA);
  rasNone_ = CreatePage(pages_[RasPage], IDD_RAS_NONE, rasArea, true);
  rasChoice_ = CreatePage(pages_[RasPage], IDD_RAS_CHOICE, rasArea, true);
  HWND title = Item(IDC_RAS_NONE_TITLE);
  LOGFONTW lf{};
  auto font = reinterpret_cast<HFONT>(SendMessageW(title, WM_GETFONT, 0, 0));
  if (font && GetObjectW(font, sizeof lf, &lf)) {
    lf.lfWeight = FW_BOLD;
    bold_ = CreateFontIndirectW(&lf);
    SendMessageW(title, WM_SETFONT, reinterpret_cast<WPARAM>(bold_), FALSE);
  }
  SendMessageW(Item(IDC_PROXY_PASSWORD), EM_SETPASSWORDCHAR, L'*', 0);
  BindInsertToBrowse(Item(IDC_UPGRADEFILESDIR), hwnd_, IDC_UPGRADEFILESDIR_BTN);
  for (int id : {IDC_PROGRAMSLIST, IDC_RAS_LIST})
    ListView_SetExtendedListViewStyle(Item(id), LVS_EX_FULLROWSELECT);
  FormCreate();
}

void TOptionsForm::FormCreate() {
  TSettings& s = Settings();
  // 1.
  if (!phoneBook_) {
    static TSystemPhoneBook systemBook;
    phoneBook_ = &systemBook;
  }
  protocol_.EnsureCreated(hwnd_);
  workingList_ = TProgramList();
  if (ProgramCatalogue()) dlg::CopyProgramList(*ProgramCatalogue(), workingList_);
  openedVersions_.clear();
  for (const auto& p : workingList_) openedVersions_[p->ProgramID] = p->VirtualVersion;
  // 2.
  HWND list = Item(IDC_PROGRAMSLIST);
  RECT rc;
  GetClientRect(list, &rc);
  const int second = ListView_GetStringWidth(list, L"загрузка и обновление") + 16;
  AddColumn(list, 0, L"Программа", rc.right - second - GetSystemMetrics(SM_CXVSCROLL));
  AddColumn(list, 1, L"Метод доставки", second);
  for (const auto& p : workingList_)
    if (p->Active) AddProgramRow(*p, false);
  ui::FitLastColumn(list);
  if (RowCount() > 0) SelectRow(0);
  // 3.
  dlg::SetChecked(Item(IDC_AUTORUN), false);
  dlg::SetChecked(Item(IDC_HANGRUN), true);
  dlg::SetItemText(Item(IDC_UPGRADEFILESDIR), s.UpgradeFilesDir);
  // 4.
  dlg::SetItemText(Item(IDC_ATTEMPTCOUNT), std::to_wstring(s.AttemptCount));
  dlg::SetItemText(Item(IDC_ATTEMPTPAUSE), std::to_wstring(s.AttemptPause));
  const int radio = s.ConnectionType == 2 ? IDC_CONN_DISK : s.ConnectionType != 0 ? IDC_CONN_HTTP : IDC_CONN_FTP;
  for (int id : {IDC_CONN_FTP, IDC_CONN_HTTP, IDC_CONN_DISK}) dlg::SetChecked(Item(id), id == radio);
  dlg::SetChecked(Item(IDC_CONN_AUTO), s.ConnectionType == 3);
  if (!SystemDownloadFunction()) {
    EnableWindow(Item(IDC_CONN_AUTO), FALSE);
    dlg::SetChecked(Item(IDC_CONN_AUTO), false);
    if (s.ConnectionType == 3) s.ConnectionType = 1;
  }
  // 5.
  protocol_.Fill(s);
  dlg::SetChecked(Item(IDC_PROXY_USE), s.ProxyUse);
  dlg::SetItemText(Item(IDC_PROXY_HOST), s.ProxyServerName);
  dlg::SetItemText(Item(IDC_PROXY_PORT), s.ProxyServerPort);
  dlg::SetChecked(Item(IDC_PROXY_NOCACHE), s.ProxyDisableCache);
  dlg::SetItemText(Item(IDC_PROXY_LOGIN), s.ProxyLogin);
  dlg::SetItemText(Item(IDC_PROXY_PASSWORD), s.ProxyPassword);
  HWND auth = Item(IDC_PROXY_AUTH);
  SendMessageW(auth, CB_RESETCONTENT, 0, 0);
  // In the order of the settings' values 0..4.
  for (const wchar_t* kind : {L"Нет", L"Обычная (Basic): имя и пароль", L"Дайджест (Digest): имя и пароль",
                              L"Вход Windows через NTLM", L"Вход Windows через Negotiate (Kerberos или NTLM)"})
    SendMessageW(auth, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kind));
  SendMessageW(auth, CB_SETCURSEL, s.ProxyAuthType >= 1 && s.ProxyAuthType <= 4 ? s.ProxyAuthType : 0, 0);
  ProxyEnabledCheckBoxClick();
  // 6.
  HWND ras = Item(IDC_RAS_LIST);
  GetClientRect(ras, &rc);
  const int width = rc.right - 2 * GetSystemMetrics(SM_CXVSCROLL);
  AddColumn(ras, 0, L"Наименование соединения", RoundToInt(width * 0.6));
  AddColumn(ras, 1, L"Пользователь", RoundToInt(width * 0.4));
  FillRasPage(L"");
  // 7.
  dlg::SetChecked(Item(IDC_NOBITMAP), s.NoBitmap);
  dlg::SetChecked(Item(IDC_LOGREPORTS), s.EnableLogReports);
  dlg::SetChecked(Item(IDC_DELETEOLD), s.DeleteOldFiles);
  // 8.
  UpdateControlStates();
  SelectPage(CommonPage);
}

void TOptionsForm::SelectPage(int page) {
  if (page < 0 || page >= kPageCount) return;
  activePage_ = page;
  SendMessageW(tabs_, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
  for (int i = 0; i < kPageCount; ++i) ShowWindow(pages_[i], i == page ? SW_SHOWNA : SW_HIDE);
}

int TOptionsForm::PageOf(HWND control) const {
  for (HWND h = control; h; h = GetParent(h))
    for (int i = 0; i < kPageCount; ++i)
      if (pages_[i] == h) return i;
  return -1;
}

void TOptionsForm::EnablePage(int page, bool enabled) {
  pageEnabled_[page] = enabled;
  EnableWindow(pages_[page], enabled);
  EnumChildWindows(pages_[page], EnableChild, enabled);
  if (!enabled) return;
  // Put back the page's own enabling rules.
  if (page == ProxyPage) ProxyEnabledCheckBoxClick();
  if (page == RasPage) ApplyRasStates();
}

// ---- the delivery list ----

int TOptionsForm::RowCount() const { return ListView_GetItemCount(Item(IDC_PROGRAMSLIST)); }
std::wstring TOptionsForm::RowText(int row, int column) const { return ListText(Item(IDC_PROGRAMSLIST), row, column); }
int TOptionsForm::SelectedRow() const { return ListSelection(Item(IDC_PROGRAMSLIST)); }
void TOptionsForm::SelectRow(int row) { SelectListRow(Item(IDC_PROGRAMSLIST), row); }

TProgram* TOptionsForm::RowProgram(int row) const {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  if (row < 0 || !ListView_GetItem(Item(IDC_PROGRAMSLIST), &item)) return nullptr;
  return reinterpret_cast<TProgram*>(item.lParam);
}

void TOptionsForm::AddProgramRow(TProgram& p, bool select) {
  HWND list = Item(IDC_PROGRAMSLIST);
  std::wstring caption = Fmt(L"%s: %s", p.Title, p.Description);
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = RowCount();
  item.pszText = caption.data();
  item.lParam = reinterpret_cast<LPARAM>(&p);
  int row = ListView_InsertItem(list, &item);
  RefreshRow(row);
  if (select) SelectRow(row);
}

void TOptionsForm::RefreshRow(int row) {
  TProgram* p = RowProgram(row);
  if (!p) return;
  HWND list = Item(IDC_PROGRAMSLIST);
  std::wstring caption = Fmt(L"%s: %s", p->Title, p->Description);
  std::wstring method = p->VirtualUpgrade ? L"только загрузка" : L"загрузка и обновление";
  ListView_SetItemText(list, row, 0, caption.data());
  ListView_SetItemText(list, row, 1, method.data());
}

void TOptionsForm::UpdateControlStates() {
  const bool canAdd = workingList_.ActiveCount() < workingList_.Count();
  const bool selected = SelectedRow() >= 0;
  EnableWindow(Item(IDC_PROG_ADD), canAdd && pageEnabled_[ProgramsPage]);
  EnableWindow(Item(IDC_PROG_AUTOFIND), canAdd && pageEnabled_[ProgramsPage]);
  EnableWindow(Item(IDC_PROG_EDIT), selected);
  EnableWindow(Item(IDC_PROG_DELETE), selected);
  const bool automatic = dlg::IsChecked(Item(IDC_CONN_AUTO));
  for (int id : {IDC_CONN_FTP, IDC_CONN_HTTP, IDC_CONN_DISK, IDC_CONN_FTP_SETUP, IDC_CONN_DISK_SETUP})
    EnableWindow(Item(id), !automatic);
  EnableWindow(Item(IDC_CONN_HTTP_SETUP), TRUE);
  if (pageEnabled_[ProxyPage] == automatic) EnablePage(ProxyPage, !automatic);
  if (pageEnabled_[RasPage] == automatic) EnablePage(RasPage, !automatic);
}

void TOptionsForm::AddEditedProgram(const TProgram& edited) {
  TProgram* p = workingList_.FindByID(edited.ProgramID);
  if (!p) return;
  dlg::AssignKeepingRoutes(*p, edited);
  p->Active = true;
  int existing = -1;
  for (int i = 0; i < RowCount(); ++i)
    if (RowProgram(i) == p) existing = i;
  if (existing >= 0) {
    RefreshRow(existing);
    SelectRow(existing);
  } else {
    AddProgramRow(*p, true);
  }
  UpdateControlStates();
}

void TOptionsForm::AddBtnClick() {
  if (!IsWindowEnabled(Item(IDC_PROG_ADD))) return;
  TOptionsProgramsEditForm editor;
  editor.EnsureCreated(hwnd_);
  editor.SetPrograms(workingList_);
  editor.RemoveActivePrograms();
  if (editor.ShowModal(hwnd_) != IDOK) return;
  if (TProgram* e = editor.EditedProgram()) AddEditedProgram(*e);
}

void TOptionsForm::EditBtnClick() {
  const int row = SelectedRow();
  TProgram* p = RowProgram(row);
  if (!p) return;
  TOptionsProgramsEditForm editor;
  editor.EnsureCreated(hwnd_);
  editor.SetPrograms(workingList_);
  editor.EditProgram(*p);
  if (editor.ShowModal(hwnd_) != IDOK) return;
  if (TProgram* e = editor.EditedProgram()) {
    const bool active = p->Active;
    dlg::AssignKeepingRoutes(*p, *e);
    p->Active = active;
    RefreshRow(row);
  }
}

void TOptionsForm::DeleteBtnClick() {
  const int row = SelectedRow();
  TProgram* p = RowProgram(row);
  if (!p) return;
  if (!ui::AskYesNo(hwnd_, Fmt(L"Удалить программу «%s» из списка доставки обновлений ?", p->Title))) return;
  p->ExeDir.clear();
  p->UpgradeDir.clear();
  p->Active = false;
  ListView_DeleteItem(Item(IDC_PROGRAMSLIST), row);
  SelectRow(RowCount() > 0 ? 0 : -1);
  UpdateControlStates();
}

void TOptionsForm::AutoFindBtnClick() {
  if (!IsWindowEnabled(Item(IDC_PROG_AUTOFIND))) return;
  TOptionsProgramsAutoFindForm finder;
  finder.EnsureCreated(hwnd_);
  finder.SetPrograms(&workingList_);
  finder.OnAdd = [this](const TProgram& edited) { AddEditedProgram(edited); };
  finder.ShowModal(hwnd_);
  UpdateControlStates();
}

// ---- the other pages ----

void TOptionsForm::ProtocolBtnClick(TOptionsProtocolForm::Page page) {
  const int ids[] = {IDC_CONN_FTP_SETUP, IDC_CONN_HTTP_SETUP, IDC_CONN_DISK_SETUP};
  if (!IsWindowEnabled(Item(ids[page]))) return;
  protocol_.ShowPage(hwnd_, page);
}

void TOptionsForm::ProxyEnabledCheckBoxClick() {
  const bool on = dlg::IsChecked(Item(IDC_PROXY_USE)) && pageEnabled_[ProxyPage];
  for (int id : {IDC_PROXY_HOST_LBL, IDC_PROXY_HOST, IDC_PROXY_PORT_LBL, IDC_PROXY_PORT, IDC_PROXY_AUTH_LBL,
                 IDC_PROXY_AUTH, IDC_PROXY_NOCACHE})
    EnableWindow(Item(id), on);
  ProxyTypeComboBoxChange();
}

void TOptionsForm::ProxyTypeComboBoxChange() {
  // Every kind but "none" uses the name and password (for NTLM and Negotiate an empty name is
  // the Windows logon).
  const bool basic = dlg::IsChecked(Item(IDC_PROXY_USE)) && pageEnabled_[ProxyPage] &&
                     SendMessageW(Item(IDC_PROXY_AUTH), CB_GETCURSEL, 0, 0) >= 1;
  for (int id : {IDC_PROXY_LOGIN_LBL, IDC_PROXY_LOGIN, IDC_PROXY_PASSWORD_LBL, IDC_PROXY_PASSWORD})
    EnableWindow(Item(id), basic);
}

void TOptionsForm::UpgradeFilesDirBtnClick() {
  HWND edit = Item(IDC_UPGRADEFILESDIR);
  std::wstring chosen = ui::ChooseFolder(ui::FolderRequest{
      hwnd_, L"", L"Укажите каталог, в который должны записываться загруженные файлы обновлений программ",
      dlg::ItemText(edit)});
  if (!chosen.empty()) dlg::SetItemText(edit, chosen);
}

void TOptionsForm::ShowReportsBtnClick() {
  if (OnShowReports) OnShowReports(hwnd_, Trim(dlg::ItemText(Item(IDC_UPGRADEFILESDIR))));
}

// ---- dial-up ----

bool TOptionsForm::RasChoiceShown() const { return rasChoice_ && (GetWindowLongPtrW(rasChoice_, GWL_STYLE) & WS_VISIBLE); }

void TOptionsForm::AddRasEntryRow(const std::wstring& entry, int number) {
  HWND list = Item(IDC_RAS_LIST);
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = ListView_GetItemCount(list);
  item.pszText = const_cast<wchar_t*>(entry.c_str());
  item.lParam = number;
  int row = ListView_InsertItem(list, &item);
  std::wstring user = phoneBook_ ? phoneBook_->EntryUserName(entry) : std::wstring();
  ListView_SetItemText(list, row, 1, user.data());
}

void TOptionsForm::FillRasPage(const std::wstring& name) {
  HWND list = Item(IDC_RAS_LIST);
  ListView_DeleteAllItems(list);
  rasUsable_ = false;
  rasOnlyOff_ = false;
  if (!phoneBook_ || !phoneBook_->Available()) {
    ShowWindow(rasChoice_, SW_HIDE);
    ShowWindow(rasNone_, SW_SHOWNA);
    // Saving will clear a dial-up choice that cannot work here: the page says so.
    ShowWindow(Item(IDC_RAS_NONE_SAVE), Settings().RasUse ? SW_SHOWNA : SW_HIDE);
    return;
  }
  ShowWindow(rasNone_, SW_HIDE);
  ShowWindow(rasChoice_, SW_SHOWNA);
  const TSettings& s = Settings();
  dlg::SetChecked(Item(IDC_RAS_USE), s.RasUse);
  dlg::SetChecked(Item(IDC_RAS_HANGUP), s.RasHangUpAfterDownload);
  dlg::SetItemText(Item(IDC_RAS_LABEL),
                   L"Если Вы хотите использовать удаленное соединение (через модем) с сервером обновлений, то "
                   L"поставьте флажок и выберите соединение из списка доступных");
  ShowWindow(list, SW_SHOWNA);
  ShowWindow(Item(IDC_RAS_PROPS), SW_SHOWNA);
  std::vector<std::wstring> entries;
  const unsigned long error = phoneBook_->ListEntries(entries);
  if (error != 0 && error != kRasBufferTooSmall) {
    rasOnlyOff_ = s.RasUse;
    dlg::SetChecked(Item(IDC_RAS_USE), rasOnlyOff_);
    dlg::SetItemText(Item(IDC_RAS_LABEL),
                     Fmt(L"Программе не удалось определить список доступных соединений (произошла ошибка «%s»)",
                         phoneBook_->ErrorText(error)));
    ShowWindow(list, SW_HIDE);
    ShowWindow(Item(IDC_RAS_PROPS), SW_HIDE);
  } else if (entries.empty()) {
    rasOnlyOff_ = s.RasUse;
    dlg::SetChecked(Item(IDC_RAS_USE), rasOnlyOff_);
    dlg::SetItemText(Item(IDC_RAS_LABEL),
                     L"Список соединений удаленного доступа пуст. Добавьте новое соединение и повторите выбор.");
  } else {
    rasUsable_ = true;
    for (size_t i = 0; i < entries.size() && i < 64; ++i)
      if (!entries[i].empty()) AddRasEntryRow(entries[i], static_cast<int>(i) + 1);
  }
  ui::FitLastColumn(list);
  if (ListView_GetItemCount(list) > 0) {
    SelectListRow(list, -1);
    const std::wstring wanted = name.empty() ? s.RasEntryName : name;
    for (int i = 0, n = ListView_GetItemCount(list); i < n; ++i)
      if (SameText(ListText(list, i, 0), wanted)) {
        SelectListRow(list, i);
        break;
      }
  }
  ApplyRasStates();
}

void TOptionsForm::ApplyRasStates() {
  if (!RasChoiceShown()) return;
  const bool pageOn = pageEnabled_[RasPage];
  EnableWindow(Item(IDC_RAS_USE), (rasUsable_ || (rasOnlyOff_ && dlg::IsChecked(Item(IDC_RAS_USE)))) && pageOn);
  EnableRASCheckBoxClick();
}

void TOptionsForm::EnableRASCheckBoxClick() {
  HWND box = Item(IDC_RAS_USE);
  // Cleared once, the stored choice cannot be ticked again without a listing to choose from.
  if (rasOnlyOff_ && !dlg::IsChecked(box)) EnableWindow(box, FALSE);
  if (!IsWindowEnabled(box) || !rasUsable_) {
    // Nothing to choose: the list stays as the listing left it, the buttons and the hang-up
    // choice have nothing to act on.
    ShowWindow(Item(IDC_RAS_CREATE), SW_SHOWNA);
    EnableWindow(Item(IDC_RAS_CREATE), pageEnabled_[RasPage]);
    // A greyed box never shows ticked: nothing is dialled, so nothing is hung up (the stored
    // choice itself is kept or cleared with the dial-up box when saving).
    if (!rasUsable_) dlg::SetChecked(Item(IDC_RAS_HANGUP), false);
    EnableWindow(Item(IDC_RAS_HANGUP), FALSE);
    EnableWindow(Item(IDC_RAS_PROPS), FALSE);
    return;
  }
  const bool on = dlg::IsChecked(box);
  for (int id : {IDC_RAS_LIST, IDC_RAS_CREATE, IDC_RAS_PROPS}) ShowWindow(Item(id), on ? SW_SHOWNA : SW_HIDE);
  EnableWindow(Item(IDC_RAS_LIST), on);
  EnableWindow(Item(IDC_RAS_CREATE), on);
  EnableWindow(Item(IDC_RAS_HANGUP), on);
  RasListViewChange();
}

void TOptionsForm::RasListViewChange() {
  EnableWindow(Item(IDC_RAS_PROPS), ListSelection(Item(IDC_RAS_LIST)) >= 0 && IsWindowEnabled(Item(IDC_RAS_LIST)));
}

void TOptionsForm::RasPropertiesBtnClick() {
  HWND list = Item(IDC_RAS_LIST);
  const int row = ListSelection(list);
  if (!phoneBook_ || row < 0 || !IsWindowEnabled(Item(IDC_RAS_PROPS))) return;
  const std::wstring entry = ListText(list, row, 0);
  const unsigned long error = phoneBook_->EditEntry(hwnd_, entry);
  if (error != 0) {
    ui::ShowError(hwnd_, Fmt(L"В ходе просмотра параметров содинения произошла ошибка Windows: «%s»",
                             phoneBook_->ErrorText(error)));
    return;
  }
  const bool wasChecked = dlg::IsChecked(Item(IDC_RAS_USE));
  FillRasPage(entry);
  // The list is read anew; the user's tick stays as it was.
  if (rasUsable_) {
    dlg::SetChecked(Item(IDC_RAS_USE), wasChecked);
    EnableRASCheckBoxClick();
  }
}

void TOptionsForm::RasCreateBtnClick() {
  if (!phoneBook_ || !IsWindowEnabled(Item(IDC_RAS_CREATE))) return;
  std::vector<std::wstring> before;
  phoneBook_->ListEntries(before);
  const unsigned long error = phoneBook_->CreateEntry(hwnd_);
  if (error != 0) {
    ui::ShowError(hwnd_,
                  Fmt(L"В ходе создания содинения произошла ошибка Windows: «%s»", phoneBook_->ErrorText(error)));
    return;
  }
  std::vector<std::wstring> after;
  if (phoneBook_->ListEntries(after) != 0) return;
  // The new entry is the name that was not listed before; it is selected wherever it sorts.
  std::wstring created;
  for (const auto& name : after) {
    bool known = false;
    for (const auto& old : before) known = known || SameText(old, name);
    if (!known && !name.empty()) created = name;
  }
  const bool wasChecked = dlg::IsChecked(Item(IDC_RAS_USE));
  HWND list = Item(IDC_RAS_LIST);
  const int row = ListSelection(list);
  FillRasPage(!created.empty() ? created : row >= 0 ? ListText(list, row, 0) : std::wstring());
  if (rasUsable_ && (wasChecked || !created.empty())) {
    dlg::SetChecked(Item(IDC_RAS_USE), true);
    EnableRASCheckBoxClick();
  }
}

// ---- saving ----

bool TOptionsForm::Fail(HWND field, const std::wstring& message) {
  const int page = PageOf(field);
  if (page >= 0) SelectPage(page);
  ui::ShowError(hwnd_, message);
  SetFocus(field);
  if (SendMessageW(field, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) SendMessageW(field, EM_SETSEL, 0, -1);
  return false;
}

bool TOptionsForm::SaveSafely(const TSettings& settings, std::wstring& error) const {
  const std::wstring file = SettingsFileName();
  // The copy starts as the whole present file, so that every key this dialog does not edit
  // (the session's keys among them) goes on as it was. A version a session advanced while the
  // dialog was open is taken from the file, unless the person changed it here.
  const bool ok = ReplaceIniFile(file, [&](const TIniFile& copy) {
    if (!WriteSettings(settings, copy.FileName())) return false;
    for (const auto& p : workingList_) {
      double stored = 0;
      const auto opened = openedVersions_.find(p->ProgramID);
      if (opened != openedVersions_.end() && opened->second == p->VirtualVersion &&
          StoredVirtualVersion(copy.FileName(), p->ProgramID, stored))
        p->VirtualVersion = stored;
    }
    return workingList_.WriteToIni(copy.FileName());
  });
  if (!ok) error = Fmt(L"Не удалось записать файл настроек %s. Ошибка Windows: «%s»", file, WindowsErrorText(GetLastError()));
  return ok;
}

void TOptionsForm::OkBtnClick() {
  if (!ui::EnsureDataWritable(hwnd_, WritableDataFolders())) return;
  auto text = [this](int id) { return dlg::ItemText(Item(id)); };
  auto trimmed = [this](int id) { return Trim(dlg::ItemText(Item(id))); };
  for (int id : {IDC_UPGRADEFILESDIR, IDC_ATTEMPTCOUNT, IDC_ATTEMPTPAUSE, IDC_PROXY_HOST, IDC_PROXY_PORT,
                 IDC_PROXY_LOGIN, IDC_PROXY_PASSWORD})
    if (dlg::HasLineBreak(text(id))) return void(Fail(Item(id), L"Значение поля не может содержать перевод строки."));
  // User names and passwords are kept as typed, blanks and quotes included; what the settings
  // file cannot hold is refused, naming the field.
  // Only what the chosen connection uses is checked: a greyed page or field cannot be changed.
  const bool proxyPageOn = pageEnabled_[ProxyPage];
  for (auto [id, name] : {std::pair{IDC_PROXY_LOGIN, L"Имя для прокси"}, std::pair{IDC_PROXY_PASSWORD, L"Пароль для прокси"}})
    if (auto m = dlg::UnsavableTextMessage(text(id), name); proxyPageOn && IsWindowEnabled(Item(id)) && !m.empty())
      return void(Fail(Item(id), m));
  // 1. the dial-up entry
  const bool rasChosen =
      rasUsable_ && RasChoiceShown() && IsWindowEnabled(Item(IDC_RAS_USE)) && dlg::IsChecked(Item(IDC_RAS_USE));
  std::wstring entryName;
  if (rasChosen) {
    HWND list = Item(IDC_RAS_LIST);
    const int row = ListSelection(list);
    if (row < 0) return void(Fail(list, L"Не указано наименование соединения для удаленного доступа."));
    entryName = ListText(list, row, 0);
  }
  // 2. the repository
  std::wstring repository = trimmed(IDC_UPGRADEFILESDIR);
  if (!repository.empty() && !dlg::IsAbsolutePath(repository))
    return void(Fail(Item(IDC_UPGRADEFILESDIR),
                     L"Каталог для хранилища обновлений должен быть указан полным путем, начиная с имени диска."));
  if (repository.empty() || !DirectoryExists(repository))
    return void(Fail(Item(IDC_UPGRADEFILESDIR), L"Каталог для хранилища обновлений не найден."));
  repository = IncludeTrailingBackslash(repository);
  // the numbers of the connection page
  int32_t attemptCount = 0, attemptPause = 0;
  if (!dlg::IsDigitsNumber(trimmed(IDC_ATTEMPTCOUNT), attemptCount))
    return void(Fail(Item(IDC_ATTEMPTCOUNT), L"Число попыток при неудаче должно быть указано целым числом."));
  if (!dlg::IsDigitsNumber(trimmed(IDC_ATTEMPTPAUSE), attemptPause))
    return void(Fail(Item(IDC_ATTEMPTPAUSE), L"Пауза между попытками должна быть указана целым числом секунд."));
  // 3. the proxy
  const bool proxy = dlg::IsChecked(Item(IDC_PROXY_USE));
  if (proxy && proxyPageOn) {
    if (trimmed(IDC_PROXY_HOST).empty()) return void(Fail(Item(IDC_PROXY_HOST), L"Не указано имя прокси-сервера."));
    if (trimmed(IDC_PROXY_PORT).empty())
      return void(Fail(Item(IDC_PROXY_PORT), L"Не указан номер порта прокси-сервера."));
    if (!dlg::IsValidPort(trimmed(IDC_PROXY_PORT)))
      return void(
          Fail(Item(IDC_PROXY_PORT), L"Номер порта прокси-сервера должен быть целым числом от 1 до 65535."));
  }

  TSettings s = Settings();
  // 1.
  s.AutoRun = false;
  s.UpgradeFilesDir = repository;
  // 2.
  s.AttemptCount = attemptCount;
  s.AttemptPause = attemptPause;
  // 3.
  s.ConnectionType = dlg::IsChecked(Item(IDC_CONN_DISK)) ? 2 : dlg::IsChecked(Item(IDC_CONN_HTTP)) ? 1 : 0;
  if (dlg::IsChecked(Item(IDC_CONN_AUTO))) s.ConnectionType = 3;
  // 4.
  s.RasUse = false;
  s.RasHangUpAfterDownload = false;
  s.RasEntryName.clear();
  if (rasChosen) {
    s.RasUse = true;
    s.RasEntryName = entryName;
    s.RasHangUpAfterDownload = dlg::IsChecked(Item(IDC_RAS_HANGUP));
  } else if (rasOnlyOff_ && RasChoiceShown() && dlg::IsChecked(Item(IDC_RAS_USE))) {
    // The listing failed or was empty and the stored choice was left ticked: it stays as it
    // was, for the day the phone book answers again. Cleared, it is switched off below; and
    // without remote access at all it is cleared as well (the page said so).
    const TSettings& old = Settings();
    s.RasUse = old.RasUse;
    s.RasHangUpAfterDownload = old.RasHangUpAfterDownload;
    s.RasEntryName = old.RasEntryName;
  }
  // 5. the protocol dialog's fields
  auto proto = [this](int id) { return dlg::ItemText(protocol_.Item(id)); };
  s.FtpServer = Trim(proto(IDC_FTP_SERVER));
  s.FtpPort = Trim(proto(IDC_FTP_PORT));
  s.FtpTimeOut = ParseIntDef(Trim(proto(IDC_FTP_TIMEOUT)), 0);
  s.FtpUserName = proto(IDC_FTP_USER);
  s.FtpPassword = proto(IDC_FTP_PASSWORD);
  s.FtpRootDir = Trim(proto(IDC_FTP_ROOT));
  s.FtpEnableRestore = dlg::IsChecked(protocol_.Item(IDC_FTP_RESTORE));
  s.HttpServer = Trim(proto(IDC_HTTP_SERVER));
  s.HttpPort = Trim(proto(IDC_HTTP_PORT));
  s.HttpRootDir = Trim(proto(IDC_HTTP_ROOT));
  if (s.HttpRootDir.empty() || s.HttpRootDir.back() != L'/') s.HttpRootDir += L'/';
  s.HttpEnableRestore = dlg::IsChecked(protocol_.Item(IDC_HTTP_RESTORE));
  // 6.
  s.ProxyUse = proxy;
  s.ProxyServerName = trimmed(IDC_PROXY_HOST);
  s.ProxyServerPort = trimmed(IDC_PROXY_PORT);
  s.ProxyDisableCache = dlg::IsChecked(Item(IDC_PROXY_NOCACHE));
  s.ProxyLogin = text(IDC_PROXY_LOGIN);
  s.ProxyPassword = text(IDC_PROXY_PASSWORD);
  s.ProxyAuthType = static_cast<int32_t>(SendMessageW(Item(IDC_PROXY_AUTH), CB_GETCURSEL, 0, 0));
  if (s.ProxyAuthType < 0) s.ProxyAuthType = 0;
  // 7.
  s.DiskRootDir = Trim(proto(IDC_DISK_ROOT));
  if (!s.DiskRootDir.empty()) s.DiskRootDir = IncludeTrailingBackslash(s.DiskRootDir);
  // 8.
  s.NoBitmap = dlg::IsChecked(Item(IDC_NOBITMAP));
  s.EnableLogReports = dlg::IsChecked(Item(IDC_LOGREPORTS));
  s.DeleteOldFiles = dlg::IsChecked(Item(IDC_DELETEOLD));
  // 9. the file first; the record and the list in memory change only when it was written whole
  std::shared_ptr<void> hold;
  if (BeforeSave && !BeforeSave(hwnd_, hold)) return;
  std::wstring error;
  if (!SaveSafely(s, error)) {
    ui::ShowError(hwnd_, error);
    return;
  }
  Settings() = s;
  if (TProgramList* catalogue = ProgramCatalogue())
    for (int i = 0; i < catalogue->Count() && i < workingList_.Count(); ++i)
      dlg::AssignKeepingRoutes(catalogue->Items(i), workingList_.Items(i));
  // 10.
  EndModal(IDOK);
}

// ---- messages ----

void TOptionsForm::Command(int id, int code, HWND control) {
  const bool click = code == BN_CLICKED;
  switch (id) {
    case IDOK: OkBtnClick(); return;
    case IDC_PROG_ADD: if (click) AddBtnClick(); return;
    case IDC_PROG_EDIT: if (click) EditBtnClick(); return;
    case IDC_PROG_DELETE: if (click) DeleteBtnClick(); return;
    case IDC_PROG_AUTOFIND: if (click) AutoFindBtnClick(); return;
    case IDC_CONN_FTP_SETUP: if (click) ProtocolBtnClick(TOptionsProtocolForm::FtpPage); return;
    case IDC_CONN_HTTP_SETUP: if (click) ProtocolBtnClick(TOptionsProtocolForm::HttpPage); return;
    case IDC_CONN_DISK_SETUP: if (click) ProtocolBtnClick(TOptionsProtocolForm::DiskPage); return;
    case IDC_CONN_FTP:
    case IDC_CONN_HTTP:
    case IDC_CONN_DISK:
      if (click)
        for (int r : {IDC_CONN_FTP, IDC_CONN_HTTP, IDC_CONN_DISK}) dlg::SetChecked(Item(r), r == id);
      return;
    case IDC_CONN_AUTO: if (click) UpdateControlStates(); return;
    case IDC_PROXY_USE: if (click) ProxyEnabledCheckBoxClick(); return;
    case IDC_PROXY_AUTH: if (code == CBN_SELCHANGE) ProxyTypeComboBoxChange(); return;
    case IDC_UPGRADEFILESDIR_BTN: if (click) UpgradeFilesDirBtnClick(); return;
    case IDC_SHOW_REPORTS: if (click) ShowReportsBtnClick(); return;
    case IDC_RAS_USE: if (click) EnableRASCheckBoxClick(); return;
    case IDC_RAS_PROPS: if (click) RasPropertiesBtnClick(); return;
    case IDC_RAS_CREATE: if (click) RasCreateBtnClick(); return;
  }
  TModalForm::Command(id, code, control);
}

LRESULT TOptionsForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NOTIFY) {
    auto* hdr = reinterpret_cast<NMHDR*>(lp);
    if (hdr->hwndFrom == tabs_ && hdr->code == TCN_SELCHANGE) {
      SelectPage(static_cast<int>(SendMessageW(tabs_, TCM_GETCURSEL, 0, 0)));
      return 0;
    }
    if (hdr->idFrom == IDC_PROGRAMSLIST) {
      if (hdr->code == LVN_ITEMCHANGED) UpdateControlStates();
      if (hdr->code == NM_DBLCLK && IsWindowEnabled(Item(IDC_PROG_EDIT))) EditBtnClick();
      return 0;
    }
    if (hdr->idFrom == IDC_RAS_LIST) {
      if (hdr->code == LVN_ITEMCHANGED) RasListViewChange();
      if (hdr->code == NM_DBLCLK) RasPropertiesBtnClick();
      return 0;
    }
  }
  return TModalForm::HandleMessage(msg, wp, lp);
}

}  // namespace dorvex
