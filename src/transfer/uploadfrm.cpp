#include "transfer/uploadfrm.h"

#include <algorithm>

#include "common/routines.h"
#include "common/text.h"
#include "ui/dialogs.h"

namespace dorvex {

namespace {
enum : int { kPrevId = 201, kNextId = IDOK, kWriteId = 203, kListId = 204, kDrivesId = 205, kFormatId = 206 };
constexpr int kWidth = 540, kHeight = 400, kTop = 66;
const wchar_t kStepMark[] = L" [аварийное]";

int KindOf(HWND tree, HTREEITEM node) {
  TVITEMW item{};
  item.mask = TVIF_IMAGE | TVIF_HANDLE;
  item.hItem = node;
  return TreeView_GetItem(tree, &item) ? TreeNodeKindOfImage(item.iImage) : -1;
}

std::wstring TextOf(HWND tree, HTREEITEM node) {
  wchar_t buf[1024] = L"";
  TVITEMW item{};
  item.mask = TVIF_TEXT | TVIF_HANDLE;
  item.hItem = node;
  item.pszText = buf;
  item.cchTextMax = 1024;
  TreeView_GetItem(tree, &item);
  return buf;
}

// The next node in tree order (children first, then siblings, then the parents' siblings).
HTREEITEM NextInOrder(HWND tree, HTREEITEM node) {
  if (HTREEITEM child = TreeView_GetChild(tree, node)) return child;
  while (node) {
    if (HTREEITEM sibling = TreeView_GetNextSibling(tree, node)) return sibling;
    node = TreeView_GetParent(tree, node);
  }
  return nullptr;
}
}  // namespace

int TreeNodeImage(int kind) { return kind == nkFile ? 7 : kind == nkEmergency ? 8 : kind; }
int TreeNodeKindOfImage(int image) { return image == 7 ? nkFile : image == 8 ? nkEmergency : image; }

TUploadForm::TUploadForm(HWND tree, const UploadPathMap& pathMap, std::wstring sessionTempDir)
    : tree_(tree), pathMap_(pathMap), sessionTempDir_(IncludeTrailingBackslash(sessionTempDir)) {}

TUploadForm::~TUploadForm() {
  FormDestroy();
}

HWND TUploadForm::Add(int page, const wchar_t* cls, const std::wstring& text, DWORD style, int x, int y, int w, int h,
                      int id, DWORD exStyle) {
  HWND c = AddControl(cls, text, style, x, y, w, h, id, exStyle);
  if (page >= 0) pages_[page].push_back(c);
  return c;
}

HWND TUploadForm::Label(int page, const std::wstring& text, int x, int y, int w, int h, bool bold) {
  HWND c = Add(page, L"STATIC", text, SS_LEFT | SS_NOPREFIX, x, y, w, h);
  if (bold) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(bold_), FALSE);
  return c;
}

void TUploadForm::CreateForm(HWND owner) {
  CreateFormWindow(owner, L"Выгрузка на дискеты", kWidth, kHeight);
  bold_ = ui::MakeFont(L"MS Sans Serif", 8, true);
  big_ = ui::MakeFont(L"MS Sans Serif", 10, true);
  // The header strip, the same on every page.
  HWND head = Add(-1, L"STATIC", L"", SS_WHITERECT, 0, 0, kWidth, kTop - 8);
  (void)head;
  HWND title = Label(-1, L"Перенос файлов обновлений программ", 16, 10, 500, 18, true);
  SendMessageW(title, WM_SETFONT, reinterpret_cast<WPARAM>(big_), FALSE);
  headerLabels_.push_back(title);
  headerLabels_.push_back(Label(-1,
        L"Создание комплекта дискет с обновлениями программ для переноса на другой компьютер с установленным "
        L"«Дорвексом» ",
        32, 30, 490, 28));
  Add(-1, L"STATIC", L"", SS_ETCHEDHORZ, 0, kTop - 8, kWidth, 2);
  Add(-1, L"STATIC", L"", SS_ETCHEDHORZ, 8, kHeight - 46, kWidth - 16, 2);

  // Page 0: the choice.
  list_ = Add(pgSelect, WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 16, kTop + 4,
              kWidth - 32, 236, kListId, WS_EX_CLIENTEDGE);
  ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT);
  Label(pgSelect,
        L"Выберите версии программ, которые необходимо перенести на другой компьютер. Для выбора используйте клавишу "
        L"'Пробел' или двойной щелчок мышкой",
        16, kTop + 248, kWidth - 32, 32);

  // Page 1: preparing the disks.
  Label(pgPrepare, L"Подготовка к выгрузке", 16, kTop + 4, 300, 16, true);
  chosenText_ = Label(pgPrepare, L"", 16, kTop + 28, kWidth - 32, 16);
  Label(pgPrepare, L"Общий размер файлов в выбранных обновлениях:", 16, kTop + 52, 320, 16);
  total_ = Label(pgPrepare, L"", 340, kTop + 52, 180, 16, true);
  Label(pgPrepare, L"Для переноса Вам потребуется", 16, kTop + 76, 320, 16);
  disks_ = Label(pgPrepare, L"", 340, kTop + 72, 40, 22);
  SendMessageW(disks_, WM_SETFONT, reinterpret_cast<WPARAM>(big_), FALSE);
  disksNoun_ = Label(pgPrepare, L"", 370, kTop + 76, 120, 16);
  Label(pgPrepare, L"Подготовьте дискеты, положите их рядом с компьютером и нажмите кнопку «Дальше»", 16, kTop + 104,
        kWidth - 32, 30);
  Label(pgPrepare, L"При выгрузке использовать", 16, kTop + 144, 180, 16);
  drives_ = Add(pgPrepare, WC_COMBOBOXW, L"",
                WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_OWNERDRAWFIXED | CBS_HASSTRINGS, 200, kTop + 140, 160,
                200, kDrivesId);
  Label(pgPrepare,
        L"Важно ! Учтите, что перед записью на дискету ВСЯ информация, записанная на ней, будет безвозратно уничтожена",
        16, kTop + 184, kWidth - 32, 32, true);

  // Page 2: writing.
  Label(pgWrite, L"Копирование...", 16, kTop + 4, 300, 16, true);
  insertPanel_ = Label(pgWrite, L"Вставьте дискету в дисковод и нажмите кнопку «Записать дискету...»", 16, kTop + 30,
                       kWidth - 32, 16);
  format_ = Add(pgWrite, L"BUTTON", L"Отформатировать диск перед использованием", WS_TABSTOP | BS_AUTOCHECKBOX, 16,
                kTop + 54, 300, 18, kFormatId);
  insertGroup_ = {insertPanel_, format_};
  progressPanel_ = Label(pgWrite, L"Сейчас выполняется операция: ", 16, kTop + 30, 190, 16);
  operation_ = Label(pgWrite, L"", 206, kTop + 30, kWidth - 222, 16, true);
  progress_ = Add(pgWrite, PROGRESS_CLASSW, L"", 0, 16, kTop + 54, kWidth - 80, 18);
  percent_ = Label(pgWrite, L"0%", kWidth - 58, kTop + 55, 42, 16);
  progressGroup_ = {progressPanel_, operation_, progress_, percent_};
  write_ = Add(pgWrite, L"BUTTON", L"  Записать дискету № 1", WS_TABSTOP, 16, kTop + 90, 200, 28, kWriteId);
  counter_ = Label(pgWrite, L"", 230, kTop + 96, 280, 16);
  Label(pgWrite,
        L"После записи дискеты, пронумеруйте ее и положите лицевой стороной вниз на предыдущую дискету. По окончании "
        L"записи комплекта, поместите его отдельно от других дискет в отдельную коробку.",
        16, kTop + 140, kWidth - 32, 48);

  // Page 3: done.
  Label(pgDone, L"Копирование завершено", 16, kTop + 4, 300, 16, true);
  Label(pgDone, L"Запись комлекта дискет для переноса файлов обновлений на другой компьютер завершена.", 16, kTop + 28,
        kWidth - 32, 28);
  Label(pgDone, L"При транспортировке дискет соблюдайте, пожалуйста, следующие правила:", 16, kTop + 56, kWidth - 32,
        16);
  Label(pgDone, L"• не подвергайте дискеты воздействию сильного электромагнитного излучения;", 32, kTop + 78,
        kWidth - 48, 16);
  Label(pgDone, L"• предохраняйте от механических повреждений и вибрации;", 32, kTop + 96, kWidth - 48, 16);
  Label(pgDone, L"• оберегайте от попадания влаги;", 32, kTop + 114, kWidth - 48, 16);
  Label(pgDone, L"• не допускайте попадания пыли на магнитную поверхность.", 32, kTop + 132, kWidth - 48, 16);
  Label(pgDone,
        L"Придерживаясь этих советов, Вы уменьшите вероятность потери данных и сэкономите собственное время и "
        L"деньги...",
        16, kTop + 160, kWidth - 32, 32);

  prev_ = AddControl(L"BUTTON", L"« Назад", WS_TABSTOP, kWidth - 300, kHeight - 36, 90, 26, kPrevId);
  next_ =
      AddControl(L"BUTTON", L"Дальше »", WS_TABSTOP | BS_DEFPUSHBUTTON, kWidth - 204, kHeight - 36, 90, 26, kNextId);
  cancel_ = AddControl(L"BUTTON", L"Отмена", WS_TABSTOP, kWidth - 104, kHeight - 36, 90, 26, IDCANCEL);

  icons_ = ui::LoadMaskedStrip(ui::Instance(), L"SMALLICONS", 16);
  if (icons_) ListView_SetImageList(list_, icons_, LVSIL_SMALL);
  SetWindowSubclass(list_, KeyProc, 1, reinterpret_cast<DWORD_PTR>(this));
  SetWindowSubclass(drives_, KeyProc, 2, reinterpret_cast<DWORD_PTR>(this));
  FormCreate();
  FillSelection(tree_);
}

void TUploadForm::FormCreate() {
  for (auto& p : pages_)
    for (HWND c : p) ShowWindow(c, SW_HIDE);
  GoTo(pgSelect);
}

void TUploadForm::FormDestroy() {
  if (icons_) ImageList_Destroy(icons_);
  icons_ = nullptr;
  if (bold_) DeleteObject(bold_);
  if (big_) DeleteObject(big_);
  bold_ = big_ = nullptr;
}

void TUploadForm::FillSelection(HWND tree) {
  ListView_DeleteAllItems(list_);
  while (ListView_DeleteColumn(list_, 0)) {
  }
  RECT rc;
  GetClientRect(list_, &rc);
  const double width = rc.right - 2 * GetSystemMetrics(SM_CXVSCROLL);
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH;
  col.pszText = const_cast<wchar_t*>(L"Программа");
  col.cx = RoundToInt(width * 0.75);
  ListView_InsertColumn(list_, 0, &col);
  col.pszText = const_cast<wchar_t*>(L"Выгружать");
  col.cx = RoundToInt(width * 0.25);
  ListView_InsertColumn(list_, 1, &col);

  rows_.clear();
  chosen_ = 0;
  if (tree) {
    for (HTREEITEM node = TreeView_GetRoot(tree); node; node = NextInOrder(tree, node)) {
      int kind = KindOf(tree, node);
      if (kind != nkProgram && kind != nkStep) continue;
      std::wstring text = TextOf(tree, node);
      if (kind == nkStep && KindOf(tree, TreeView_GetParent(tree, node)) == nkEmergency) text += kStepMark;
      LVITEMW item{};
      item.mask = LVIF_TEXT | LVIF_IMAGE;
      item.iItem = static_cast<int>(rows_.size());
      item.pszText = const_cast<wchar_t*>(text.c_str());
      item.iImage = TreeNodeImage(kind);
      ListView_InsertItem(list_, &item);
      rows_.push_back({node, kind == nkStep, false});
    }
  }
  ui::FitLastColumn(list_);
  if (!rows_.empty()) SelectRow(0);
  ShowButtons();
}

void TUploadForm::SelectRow(int row) {
  ListView_SetItemState(list_, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
  ListView_SetItemState(list_, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

std::wstring TUploadForm::RowText(int row, int column) const {
  wchar_t buf[512] = L"";
  ListView_GetItemText(list_, row, column, buf, 512);
  return buf;
}

void TUploadForm::Toggle(int row) {
  if (row < 0 || row >= static_cast<int>(rows_.size()) || !rows_[static_cast<size_t>(row)].Choosable) return;
  Row& r = rows_[static_cast<size_t>(row)];
  r.Chosen = !r.Chosen;
  chosen_ += r.Chosen ? 1 : -1;
  ListView_SetItemText(list_, row, 1, const_cast<wchar_t*>(r.Chosen ? L"Да" : L""));
  ShowButtons();
}

void TUploadForm::ListViewDblClick() {
  Toggle(ListView_GetNextItem(list_, -1, LVNI_SELECTED));
}

void TUploadForm::ListViewKeyPress(wchar_t key) {
  if (key == L' ')
    Toggle(ListView_GetNextItem(list_, -1, LVNI_SELECTED));
  else if (key == L'\r')
    NextBtnClick();
}

std::vector<std::wstring> TUploadForm::SelectedPaths() const {
  std::vector<std::wstring> paths;
  for (const auto& r : rows_) {
    if (!r.Chosen) continue;
    for (HTREEITEM child = TreeView_GetChild(tree_, r.Node); child; child = TreeView_GetNextSibling(tree_, child)) {
      auto it = std::find_if(pathMap_.begin(), pathMap_.end(), [&](const auto& e) { return e.second == child; });
      if (it != pathMap_.end() && FileSizeOf(it->first) != -1) paths.push_back(it->first);
    }
  }
  return paths;
}

void TUploadForm::PrepareSet() {
  SendMessageW(drives_, CB_RESETCONTENT, 0, 0);
  wchar_t buf[512] = L"";
  DWORD n = GetLogicalDriveStringsW(511, buf);
  for (const wchar_t* d = buf; n && d < buf + n && *d; d += wcslen(d) + 1)
    if (GetDriveTypeW(d) == DRIVE_REMOVABLE)
      SendMessageW(drives_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(UpperCaseText(d).c_str()));
  SendMessageW(drives_, CB_SETCURSEL, 0, 0);

  ui::SetText(chosenText_, Fmt(L"Вы выбрали для переноса на другой компьютер %s с обновлениями",
                               PluralNoun(chosen_, L"каталог", L"", L"а", L"ов", true)));
  set_.Prepare(SelectedPaths(), sessionTempDir_ + L"DISKID\\");
  ui::SetText(total_, FormatGrouped(set_.TotalSize) + L" байт");
  const std::wstring number = std::to_wstring(set_.EstimatedDisks);
  ui::SetText(disks_, number);
  // The noun stands 12 pixels after the end of the number.
  HDC dc = GetDC(disks_);
  HGDIOBJ old = SelectObject(dc, big_);
  SIZE size{};
  GetTextExtentPoint32W(dc, number.c_str(), static_cast<int>(number.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(disks_, dc);
  RECT rc;
  GetWindowRect(disks_, &rc);
  MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&rc), 2);
  SetWindowPos(disksNoun_, nullptr, rc.left + size.cx + 12, kTop + 76, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ui::SetText(disksNoun_, PluralNoun(set_.EstimatedDisks, L"дискет", L"а", L"ы", L"", false));
}

std::wstring TUploadForm::ChosenDrive() const {
  LRESULT i = SendMessageW(drives_, CB_GETCURSEL, 0, 0);
  if (i == CB_ERR) return L"";
  wchar_t buf[64] = L"";
  if (SendMessageW(drives_, CB_GETLBTEXTLEN, i, 0) >= 63) return L"";
  SendMessageW(drives_, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buf));
  return buf;
}

void TUploadForm::ShowButtons() {
  ui::SetVisible(prev_, page_ == pgPrepare);
  ui::SetVisible(next_, page_ == pgSelect || page_ == pgPrepare);
  EnableWindow(next_, page_ != pgSelect || chosen_ > 0);
}

bool TUploadForm::WizardControlChangingPage(int from, int to) {
  if (from == pgSelect && to == pgPrepare) {
    // Nothing to write, or files that would overwrite each other on the disks: the page stays.
    std::vector<std::wstring> paths = SelectedPaths();
    if (paths.empty()) {
      ui::ShowError(hwnd_, L"В выбранных обновлениях нет ни одного файла для выгрузки. Выберите другие обновления.");
      return false;
    }
    std::wstring clash = CheckSetNames(WithAgentUpgrade(WithProgramMaps(paths)));
    if (!clash.empty()) {
      ui::ShowError(hwnd_, clash);
      return false;
    }
  }
  if (from == pgPrepare) {
    if (SendMessageW(drives_, CB_GETCURSEL, 0, 0) == CB_ERR) {
      ui::ShowError(hwnd_, L"Не указан дисковод для выгрузки обновлений");
      return false;
    }
    if (ChosenDrive().empty()) {
      ui::ShowError(hwnd_, L"Недопустимый путь к диску");
      return false;
    }
  }
  return true;
}

void TUploadForm::WizardControlEnterPage(int page) {
  if (page == pgPrepare) PrepareSet();
  if (page == pgWrite) {
    set_.ResetPosition();
    ui::SetText(write_, L"  Записать дискету № 1");
    ui::SetText(counter_, Fmt(L"Записано дискет: %d из %d", 0, set_.EstimatedDisks));
    SendMessageW(progress_, PBM_SETPOS, 0, 0);
    ui::SetText(percent_, L"0%");
    EnableWindow(write_, TRUE);
  }
  if (page == pgDone) {
    ui::SetText(cancel_, L"Закрыть");  // and closes with the OK result
  }
}

void TUploadForm::WizardControlPageChanged() {
  ShowButtons();
  if (page_ == pgSelect) SetFocus(list_);
  if (page_ == pgPrepare) SetFocus(drives_);
  if (page_ == pgWrite) SetFocus(write_);
  if (page_ == pgDone) SetFocus(cancel_);
}

void TUploadForm::GoTo(int page) {
  if (page_ >= 0 && !WizardControlChangingPage(page_, page)) return;
  if (page_ >= 0)
    for (HWND c : pages_[page_]) ShowWindow(c, SW_HIDE);
  page_ = page;
  WizardControlEnterPage(page);
  for (HWND c : pages_[page_]) ShowWindow(c, SW_SHOW);
  if (page_ == pgWrite)
    for (HWND c : progressGroup_) ShowWindow(c, SW_HIDE);
  WizardControlPageChanged();
}

void TUploadForm::PrevBtnClick() {
  if (page_ == pgPrepare && ui::IsShown(prev_)) GoTo(pgSelect);
}

void TUploadForm::NextBtnClick() {
  if (!ui::IsShown(next_) || !IsWindowEnabled(next_)) return;
  if (page_ == pgSelect || page_ == pgPrepare) GoTo(page_ + 1);
}

void TUploadForm::DiskComboBoxKeyPress(wchar_t key) {
  if (key == L'\r') NextBtnClick();
}

void TUploadForm::DiskComboBoxDrawItem(const DRAWITEMSTRUCT& d) {
  const bool selected = d.itemState & ODS_SELECTED;
  FillRect(d.hDC, &d.rcItem, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
  if (d.itemID == static_cast<UINT>(-1)) return;
  wchar_t buf[64] = L"";
  SendMessageW(d.hwndItem, CB_GETLBTEXT, d.itemID, reinterpret_cast<LPARAM>(buf));
  std::wstring text = std::wstring(L"Диск ") + buf;
  SetBkMode(d.hDC, TRANSPARENT);
  SetTextColor(d.hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
  RECT rc = d.rcItem;
  const int iconWidth = GetSystemMetrics(SM_CXSMICON);
  if (icons_) ImageList_Draw(icons_, kFloppyDriveImage, d.hDC, rc.left + 2, rc.top + (rc.bottom - rc.top - 16) / 2, ILD_TRANSPARENT);
  rc.left += iconWidth + 6;
  DrawTextW(d.hDC, text.c_str(), -1, &rc, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

void TUploadForm::WriteDiskBtnClick() {
  if (!IsWindowEnabled(write_) || writing_) return;
  writing_ = true;
  for (HWND c : insertGroup_) ShowWindow(c, SW_HIDE);
  for (HWND c : progressGroup_) ShowWindow(c, SW_SHOW);
  ShowWindow(cancel_, SW_HIDE);
  EnableWindow(write_, FALSE);
  DWORD lastPaint = 0;
  int shown = -1, last = 0;
  auto paint = [this, &shown](int p) {
    p = std::clamp(p, 0, 100);
    if (p == shown) return;
    shown = p;
    SendMessageW(progress_, PBM_SETPOS, static_cast<WPARAM>(p), 0);
    ui::SetText(percent_, std::to_wstring(p) + L"%");
  };
  auto operation = [this](const std::wstring& t) { ui::SetText(operation_, t); };
  auto percent = [&](int p) {
    // Painted about ten times a second, not after every portion, and once more at the end.
    last = p;
    DWORD now = GetTickCount();
    if (p != 0 && now - lastPaint < 100) return;
    lastPaint = now;
    paint(p);
  };
  bool written =
      set_.WriteDisk(hwnd_, ChosenDrive(), SendMessageW(format_, BM_GETCHECK, 0, 0) == BST_CHECKED, operation, percent);
  paint(last);
  if (written) {
    ui::SetText(counter_, Fmt(L"Записано дискет: %d из %d", set_.DisksWritten, set_.EstimatedDisks));
    ui::SetText(write_, Fmt(L"  Записать дискету № %d", set_.DisksWritten + 1));
  }
  writing_ = false;
  ShowWindow(cancel_, SW_SHOW);
  if (written && set_.Complete()) {
    GoTo(pgDone);
    return;
  }
  for (HWND c : insertGroup_) ShowWindow(c, SW_SHOW);
  for (HWND c : progressGroup_) ShowWindow(c, SW_HIDE);
  EnableWindow(write_, TRUE);
}

bool TUploadForm::FormCloseQuery() {
  if (page_ != pgWrite) return true;
  // A disk being written cannot be left half-done.
  if (writing_ || !ui::IsShown(cancel_)) return false;
  return ui::AskYesNo(hwnd_, L"Прервать процесс записи комплекта дискет обновлений ?");
}

void TUploadForm::CancelBtnClick() {
  if (page_ == pgDone) {
    EndModal(IDOK);
    return;
  }
  if (FormCloseQuery()) EndModal(IDCANCEL);
}

void TUploadForm::FormKeyPress(wchar_t key) {
  if (key == VK_ESCAPE) CancelBtnClick();
}

void TUploadForm::Command(int id, int code, HWND control) {
  switch (id) {
    case kNextId:  // also Enter in the list and in the drive list
      NextBtnClick();
      return;
    case kPrevId: PrevBtnClick(); return;
    case kWriteId: WriteDiskBtnClick(); return;
    case IDCANCEL: FormKeyPress(VK_ESCAPE); return;
  }
  (void)code;
  (void)control;
}

LRESULT TUploadForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lp);
      if (hdr->hwndFrom == list_ && hdr->code == NM_DBLCLK) {
        ListViewDblClick();
        return 0;
      }
      break;
    }
    case WM_DRAWITEM: {
      auto* d = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      if (d->hwndItem == drives_) {
        DiskComboBoxDrawItem(*d);
        return TRUE;
      }
      break;
    }
    case WM_CTLCOLORSTATIC: {
      // The header's labels stand on its white strip: they draw on white, not as grey patches.
      const auto label = reinterpret_cast<HWND>(lp);
      if (std::find(headerLabels_.begin(), headerLabels_.end(), label) != headerLabels_.end()) {
        auto dc = reinterpret_cast<HDC>(wp);
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    }
    case WM_CLOSE: CancelBtnClick(); return 0;
  }
  return TModalForm::HandleMessage(msg, wp, lp);
}

LRESULT CALLBACK TUploadForm::KeyProc(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR self) {
  auto* form = reinterpret_cast<TUploadForm*>(self);
  if (msg == WM_CHAR && wp == L' ' && id == 1) {
    form->ListViewKeyPress(L' ');
    return 0;
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(h, KeyProc, id);
  return DefSubclassProc(h, msg, wp, lp);
}

}  // namespace dorvex
