#include "dialogs/optionsprogramsautofindfrm.h"

#include <commctrl.h>

#include <algorithm>

#include "common/handles.h"
#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs/formutil.h"
#include "dialogs/optionsprogramseditfrm.h"
#include "ui/dialogs.h"
#include "ui/pump.h"

namespace dorvex {

namespace {
constexpr UINT WM_DX_STARTSEARCH = WM_APP + 0x121;
constexpr UINT_PTR kClockTimer = 1;
constexpr int kMaxDepth = 128;

DriveListSource& DriveSource() {
  static DriveListSource source;
  return source;
}

std::vector<DriveRoot> SystemDrives() {
  std::vector<DriveRoot> roots;
  wchar_t buf[512] = L"";
  DWORD n = GetLogicalDriveStringsW(511, buf);
  if (n == 0 || n > 511) return roots;
  for (const wchar_t* p = buf; *p; p += wcslen(p) + 1) roots.push_back({p, GetDriveTypeW(p)});
  return roots;
}

std::wstring Join(const std::vector<std::wstring>& items) {
  std::wstring text;
  for (const auto& i : items) text += (text.empty() ? L"" : L",") + i;
  return text;
}

int CompareIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()), b.c_str(),
                        static_cast<int>(b.size())) -
         2;
}

HFONT BoldOf(HWND control) {
  LOGFONTW lf{};
  auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  if (!font || !GetObjectW(font, sizeof lf, &lf)) return nullptr;
  lf.lfWeight = FW_BOLD;
  return CreateFontIndirectW(&lf);
}
}  // namespace

void SetDriveListSource(DriveListSource source) { DriveSource() = std::move(source); }

TOptionsProgramsAutoFindForm::TOptionsProgramsAutoFindForm() = default;

TOptionsProgramsAutoFindForm::~TOptionsProgramsAutoFindForm() {
  if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
  if (bold_) DeleteObject(bold_);
}

void TOptionsProgramsAutoFindForm::CreateForm(HWND owner) {
  HWND frame = CreateTemplateForm(owner, L"Поиск программ", IDD_AUTOFIND);
  if (!frame) return;
  HWND area = GetDlgItem(frame, IDC_AF_PAGEAREA);
  const int templates[] = {IDD_AF_PARAMS, IDD_AF_SEARCH, IDD_AF_RESULTS};
  for (int i = 0; i < 3; ++i) pages_[i] = CreatePage(frame, templates[i], area);
  bold_ = BoldOf(Item(IDC_AF_HEADING));
  for (int id : {IDC_AF_HEADING, IDC_AF_SEARCH_HEADING, IDC_AF_RESULTS_HEADING})
    if (bold_) SendMessageW(Item(id), WM_SETFONT, reinterpret_cast<WPARAM>(bold_), FALSE);
  ListView_SetExtendedListViewStyle(Item(IDC_AF_RESULTS), LVS_EX_FULLROWSELECT);

  // 1. the drives
  for (const auto& d : DriveSource() ? DriveSource()() : SystemDrives()) {
    std::wstring root = UpperCaseText(d.root);
    if (d.type == DRIVE_FIXED) local_.push_back(root);
    else if (d.type == DRIVE_REMOTE) network_.push_back(root);
  }
  localRoots_ = Join(local_);
  networkRoots_ = Join(network_);
  // 2.
  EnableWindow(Item(IDC_AF_NETWORK), !network_.empty());
  dlg::SetChecked(Item(IDC_AF_LOCAL), true);
  dlg::SetChecked(Item(IDC_AF_ALL), true);
  tip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, ui::Instance(), nullptr);
  for (int id : {IDC_AF_LOCAL, IDC_AF_NETWORK}) {
    std::wstring hint = id == IDC_AF_LOCAL ? LocalHint() : NetworkHint();
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = pages_[ParamsPage];
    ti.uId = reinterpret_cast<UINT_PTR>(Item(id));
    ti.lpszText = hint.data();
    SendMessageW(tip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }
  // 3.
  HWND chooser = Item(IDC_AF_DRIVES);
  for (const auto& root : local_) {
    std::wstring text = Fmt(L" Диск %s", root);
    SendMessageW(chooser, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  SendMessageW(chooser, CB_SETCURSEL, 0, 0);
  UpdateDriveChooser();
  // 4.
  ShowPage(ParamsPage);
}

void TOptionsProgramsAutoFindForm::SetPrograms(const TProgramList* list) {
  if (!list) return;
  list_ = TProgramList();
  dlg::CopyProgramList(*list, list_);
  for (const auto& p : list_) {
    p->OnMessage = nullptr;
    p->OnConnectionState = nullptr;
    p->OnTraffic = nullptr;
  }
  hasList_ = true;
}

void TOptionsProgramsAutoFindForm::UpdateDriveChooser() {
  const bool local = dlg::IsChecked(Item(IDC_AF_LOCAL));
  EnableWindow(Item(IDC_AF_ALL), local);
  EnableWindow(Item(IDC_AF_ONE), local);
  HWND chooser = Item(IDC_AF_DRIVES);
  EnableWindow(chooser, local && dlg::IsChecked(Item(IDC_AF_ONE)) && SendMessageW(chooser, CB_GETCOUNT, 0, 0) > 0);
}

void TOptionsProgramsAutoFindForm::ShowPage(int page) {
  if (page_ == SearchPage && page != SearchPage) {
    searching_ = false;
    dlg::SetItemText(Item(IDCANCEL), L"Закрыть");
  }
  page_ = page;
  for (int i = 0; i < 3; ++i) ShowWindow(pages_[i], i == page ? SW_SHOWNA : SW_HIDE);
  if (page == SearchPage) {
    searching_ = true;
    ShowWindow(Item(IDOK), SW_HIDE);
    dlg::SetItemText(Item(IDCANCEL), L"Остановить");
    PostMessageW(hwnd_, WM_DX_STARTSEARCH, 0, 0);  // the search starts once the page is drawn
  } else if (page == ResultsPage) {
    ShowWindow(Item(IDOK), SW_HIDE);
    EnterResultsPage();
  }
}

void TOptionsProgramsAutoFindForm::SearchBtnClick() {
  if (page_ != ParamsPage) return;
  std::vector<std::wstring> roots;
  if (dlg::IsChecked(Item(IDC_AF_LOCAL))) {
    if (dlg::IsChecked(Item(IDC_AF_ONE))) {
      auto sel = SendMessageW(Item(IDC_AF_DRIVES), CB_GETCURSEL, 0, 0);
      if (sel >= 0 && static_cast<size_t>(sel) < local_.size()) roots.push_back(local_[static_cast<size_t>(sel)]);
    } else {
      roots = local_;
    }
  }
  if (dlg::IsChecked(Item(IDC_AF_NETWORK)) && IsWindowEnabled(Item(IDC_AF_NETWORK)))
    roots.insert(roots.end(), network_.begin(), network_.end());
  chosenRoots_ = Join(roots);
  if (roots.empty()) {
    ui::ShowError(hwnd_, L"Не задано ни одного логического диска для поиска программ.");
    return;
  }
  ShowPage(SearchPage);
}

void TOptionsProgramsAutoFindForm::RunSearch() {
  if (page_ != SearchPage || !searching_) return;
  // 1.
  seconds_ = 0;
  dlg::SetItemText(Item(IDC_AF_TIME), FormatDuration(0));
  SetTimer(hwnd_, kClockTimer, 1000, nullptr);
  // 2.
  results_.clear();
  found_ = 0;
  visited_.Clear();
  dlg::SetItemText(Item(IDC_AF_FOUND), L"0шт.");
  // 3.
  std::vector<std::wstring> roots;
  SplitText(chosenRoots_, roots, L",", true);
  for (size_t i = 0; i < roots.size() && searching_; ++i) {
    dlg::SetItemText(Item(IDC_AF_DRIVE),
                     Fmt(L"Диск: %s [%d-й из %d]", roots[i], static_cast<int>(i) + 1, static_cast<int>(roots.size())));
    Walk(roots[i], 0);
  }
  // 5.
  KillTimer(hwnd_, kClockTimer);
  if (page_ == SearchPage) {
    searching_ = false;
    ShowPage(ResultsPage);
  }
}

void TOptionsProgramsAutoFindForm::Walk(const std::wstring& path, int depth) {
  const std::wstring dir = IncludeTrailingBackslash(path);
  dlg::SetItemText(Item(IDC_AF_DIR), dir);
  if (OnDirectory) OnDirectory(dir);
  // Stop and the clock answer before every directory, however deep or wide the tree.
  if (!ui::ProcessMessages()) searching_ = false;
  if (!searching_ || depth > kMaxDepth) return;
  // A directory reached a second time (through a link the attributes did not show) ends here.
  if (!visited_.FirstVisit(dir)) return;
  struct Entry {
    std::wstring name;
    DWORD attributes;
  };
  std::vector<Entry> entries;
  {
    WIN32_FIND_DATAW fd;
    FindHandle find(FindFirstFileW((dir + L"*").c_str(), &fd));
    if (!find) return;
    do {
      if (fd.cFileName[0] != L'.') entries.push_back({fd.cFileName, fd.dwFileAttributes});
    } while (FindNextFileW(find.get(), &fd));
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return CompareIgnoringCase(a.name, b.name) < 0; });
  for (const auto& e : entries) {
    if (e.attributes & FILE_ATTRIBUTE_DIRECTORY) {
      // Junctions, symbolic links and mount points lead elsewhere, often back up the tree.
      if (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      Walk(dir + e.name + L"\\", depth + 1);
      if (!searching_) return;
      continue;
    }
    if (!ui::ProcessMessages()) searching_ = false;
    if (!searching_) return;
    if (e.name.size() < 4 || !SameText(e.name.substr(e.name.size() - 4), L".exe")) continue;
    for (int i = 0; i < list_.Count(); ++i) {
      TProgram& p = list_.Items(i);
      if (p.Active || !SameText(e.name, p.ExeName) || !p.Controller) continue;
      if (!p.Controller->IsOwnExecutable(dir + e.name)) continue;
      ++found_;
      dlg::SetItemText(Item(IDC_AF_FOUND), Fmt(L"%dшт.", found_));
      results_.push_back({dir, i});
    }
  }
}

void TOptionsProgramsAutoFindForm::EnterResultsPage() {
  KillTimer(hwnd_, kClockTimer);
  dlg::SetItemText(Item(IDC_AF_ELAPSED), Fmt(L"Время, затраченное на поиск: %s", FormatDuration(seconds_)));
  HWND list = Item(IDC_AF_RESULTS);
  if (ListView_GetItemCount(list) == 0 && Header_GetItemCount(ListView_GetHeader(list)) == 0) {
    RECT rc;
    GetClientRect(list, &rc);
    const int width = rc.right - GetSystemMetrics(SM_CXVSCROLL) - 6;
    const wchar_t* names[] = {L"Каталог расположения", L"Программа"};
    const double shares[] = {0.7, 0.3};
    for (int i = 0; i < 2; ++i) {
      LVCOLUMNW col{};
      col.mask = LVCF_TEXT | LVCF_WIDTH;
      col.pszText = const_cast<wchar_t*>(names[i]);
      col.cx = RoundToInt(width * shares[i]);
      ListView_InsertColumn(list, i, &col);
    }
  }
  sortColumn_ = 0;
  FillResults();
  const bool none = results_.empty();
  for (int id : {IDC_AF_RESULTS, IDC_AF_ADD, IDC_AF_INSTRUCTION}) dlg::ShowControl(Item(id), !none);
  for (int id : {IDC_AF_NONE1, IDC_AF_NONE2}) dlg::ShowControl(Item(id), none);
  SelectRow(none ? -1 : 0);
}

void TOptionsProgramsAutoFindForm::FillResults() {
  HWND list = Item(IDC_AF_RESULTS);
  const int selected = RowResult(SelectedRow());
  std::vector<int> order(results_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  auto key = [this](int r, int column) {
    return column == 0 ? results_[static_cast<size_t>(r)].dir : list_.Items(results_[static_cast<size_t>(r)].program).Title;
  };
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    int c = CompareIgnoringCase(key(a, sortColumn_), key(b, sortColumn_));
    if (c == 0) c = CompareIgnoringCase(key(a, 1 - sortColumn_), key(b, 1 - sortColumn_));
    return c < 0;
  });
  // The rows are made anew from the results every time, never added to what is there.
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  ListView_DeleteAllItems(list);
  int reselect = -1;
  for (int r : order) {
    std::wstring dir = results_[static_cast<size_t>(r)].dir;
    std::wstring title = list_.Items(results_[static_cast<size_t>(r)].program).Title;
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = ListView_GetItemCount(list);
    item.pszText = dir.data();
    item.lParam = r;
    int row = ListView_InsertItem(list, &item);
    ListView_SetItemText(list, row, 1, title.data());
    if (r == selected) reselect = row;
  }
  // Both columns as wide as their longest text (the program's name never cut); the folders take
  // whatever room is left, and scroll sideways when they need more.
  auto widest = [list](int column) {
    ListView_SetColumnWidth(list, column, LVSCW_AUTOSIZE);
    const int content = ListView_GetColumnWidth(list, column);
    ListView_SetColumnWidth(list, column, LVSCW_AUTOSIZE_USEHEADER);
    return std::max(content, ListView_GetColumnWidth(list, column));
  };
  // The program stands first on the screen, so that a long folder scrolls away from it, not it.
  const int program = widest(1), folder = widest(0);
  RECT rc;
  GetClientRect(list, &rc);
  int columnOrder[] = {1, 0};
  ListView_SetColumnOrderArray(list, 2, columnOrder);
  ListView_SetColumnWidth(list, 1, program);
  ListView_SetColumnWidth(list, 0, std::max(folder, static_cast<int>(rc.right) - program));
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  if (reselect >= 0) SelectRow(reselect);
}

int TOptionsProgramsAutoFindForm::RowCount() const { return ListView_GetItemCount(Item(IDC_AF_RESULTS)); }

std::wstring TOptionsProgramsAutoFindForm::RowText(int row, int column) const {
  wchar_t buf[1024] = L"";
  ListView_GetItemText(Item(IDC_AF_RESULTS), row, column, buf, 1024);
  return buf;
}

int TOptionsProgramsAutoFindForm::SelectedRow() const {
  return ListView_GetNextItem(Item(IDC_AF_RESULTS), -1, LVNI_SELECTED);
}

void TOptionsProgramsAutoFindForm::SelectRow(int row) {
  HWND list = Item(IDC_AF_RESULTS);
  ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  if (row >= 0 && row < RowCount()) {
    ListView_SetItemState(list, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_EnsureVisible(list, row, FALSE);
  }
  EnableWindow(Item(IDC_AF_ADD), SelectedRow() >= 0);
}

int TOptionsProgramsAutoFindForm::RowResult(int row) const {
  LVITEMW item{};
  item.mask = LVIF_PARAM;
  item.iItem = row;
  if (row < 0 || !ListView_GetItem(Item(IDC_AF_RESULTS), &item)) return -1;
  return static_cast<int>(item.lParam);
}

void TOptionsProgramsAutoFindForm::SortBy(int column) {
  sortColumn_ = column == 1 ? 1 : 0;
  FillResults();
}

void TOptionsProgramsAutoFindForm::AddBtnClick() {
  const int r = RowResult(SelectedRow());
  if (r < 0 || !OnAdd || !hasList_) return;
  const Result chosen = results_[static_cast<size_t>(r)];
  TProgram& p = list_.Items(chosen.program);
  const int count = static_cast<int>(
      std::count_if(results_.begin(), results_.end(), [&](const Result& x) { return x.program == chosen.program; }));
  if (count > 1 &&
      !ui::AskYesNo(hwnd_, Fmt(L"В списке результатов поиска - %s «%s».\rВ список доставки обновлений будет добавлена "
                               L"только выбранная программа,\r(из каталога %s) остальные будут игнорироваться. "
                               L"Продолжать ?",
                               PluralNoun(count, L"програм", L"ма", L"мы", L"м", true), p.Title, chosen.dir)))
    return;
  p.ExeDir = chosen.dir;
  p.UpgradeDir = chosen.dir;
  TOptionsProgramsEditForm editor;
  editor.EnsureCreated(hwnd_);
  editor.SetPrograms(list_);
  editor.RemoveActivePrograms();
  editor.EditProgram(p);
  EnableWindow(editor.ExeDirEdit, FALSE);
  EnableWindow(editor.ExeDirBtn, FALSE);
  editor.SetInitialFocus(editor.UpgradeDirEdit);
  if (editor.ShowModal(hwnd_) != IDOK) return;
  TProgram* edited = editor.EditedProgram();
  if (!edited) return;
  OnAdd(*edited);
  p.Active = true;
  results_.erase(std::remove_if(results_.begin(), results_.end(),
                                [&](const Result& x) { return x.program == chosen.program; }),
                 results_.end());
  FillResults();
  SelectRow(RowCount() > 0 ? 0 : -1);
  if (results_.empty()) CancelBtnClick();
}

void TOptionsProgramsAutoFindForm::CancelBtnClick() {
  if (!searching_) {
    EndModal(IDCANCEL);
    return;
  }
  if (!ui::AskYesNo(hwnd_, L"Остановить поиск программ ?") || !searching_) return;
  searching_ = false;
  ShowPage(ResultsPage);
}

void TOptionsProgramsAutoFindForm::Command(int id, int code, HWND control) {
  switch (id) {
    case IDOK:
      // Enter during the search or after it has nothing to start.
      if (page_ == ParamsPage) SearchBtnClick();
      return;
    case IDCANCEL: CancelBtnClick(); return;
    case IDC_AF_LOCAL:
    case IDC_AF_ALL:
    case IDC_AF_ONE:
      if (code == BN_CLICKED) UpdateDriveChooser();
      return;
    case IDC_AF_ADD:
      if (code == BN_CLICKED) AddBtnClick();
      return;
  }
  TModalForm::Command(id, code, control);
}

LRESULT TOptionsProgramsAutoFindForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_DX_STARTSEARCH: RunSearch(); return 0;
    case WM_TIMER:
      if (wp == kClockTimer) {
        ++seconds_;
        dlg::SetItemText(Item(IDC_AF_TIME), FormatDuration(seconds_));
        return 0;
      }
      break;
    case WM_CLOSE:
      if (searching_) return 0;  // the search must be stopped first
      EndModal(IDCANCEL);
      return 0;
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lp);
      if (hdr->idFrom == IDC_AF_RESULTS) {
        if (hdr->code == LVN_ITEMCHANGED) EnableWindow(Item(IDC_AF_ADD), SelectedRow() >= 0);
        if (hdr->code == LVN_COLUMNCLICK) SortBy(reinterpret_cast<NMLISTVIEW*>(lp)->iSubItem);
        if (hdr->code == NM_DBLCLK && IsWindowEnabled(Item(IDC_AF_ADD))) AddBtnClick();
        return 0;
      }
      break;
    }
  }
  return TModalForm::HandleMessage(msg, wp, lp);
}

}  // namespace dorvex
