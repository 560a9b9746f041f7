#include "repository/repairselectfrm.h"

namespace dorvex {

namespace {
const wchar_t* const kChoice[] = {L"Стандартное", L"Аварийное"};
constexpr int kStandardIcon = 4;  // in the small pictures: the standard and emergency marks
}  // namespace

TRepairSelectForm::TRepairSelectForm(TProgramList& programs) : programs_(programs) {}

TRepairSelectForm::~TRepairSelectForm() {
  if (icons_) ImageList_Destroy(icons_);
}

void TRepairSelectForm::CreateForm(HWND owner) {
  CreateFormWindow(owner, L"Аварийное обновление", 420, 330);
  // A group box leaves its inside to the form; the form clips its children, so the box is
  // transparent to that clipping, or its inside would stay unpainted (black).
  AddControl(L"BUTTON", L"Выбор программ", BS_GROUPBOX, 10, 6, 400, 280, 0, WS_EX_TRANSPARENT);
  AddControl(L"STATIC",
             L"Отметьте программы из списка, для которых следует загрузить аварийные обновления (дважды мышкой или "
             L"клавишей 'Пробел')",
             SS_LEFT, 22, 26, 376, 46);
  list_ = AddControl(WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 22, 74, 376, 200,
                     100, WS_EX_CLIENTEDGE);
  ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT);
  ok_ = AddControl(L"BUTTON", L"ОК", WS_TABSTOP | BS_DEFPUSHBUTTON, 234, 294, 84, 26, IDOK);
  AddControl(L"BUTTON", L"Отмена", WS_TABSTOP, 326, 294, 84, 26, IDCANCEL);
  icons_ = ui::LoadMaskedStrip(ui::Instance(), L"SMALLICONS", 16);
  if (icons_) ListView_SetImageList(list_, icons_, LVSIL_SMALL);
  SetWindowSubclass(list_, ListProc, 1, reinterpret_cast<DWORD_PTR>(this));
  FormCreate();
}

void TRepairSelectForm::FormCreate() {
  RECT rc;
  GetClientRect(list_, &rc);
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH;
  col.pszText = const_cast<wchar_t*>(L"Программа");
  col.cx = rc.right * 75 / 100;
  ListView_InsertColumn(list_, 0, &col);
  col.pszText = const_cast<wchar_t*>(L"Обновление");
  col.cx = rc.right * 25 / 100;
  ListView_InsertColumn(list_, 1, &col);
  rows_.clear();
  states_.clear();
  for (const auto& p : programs_) {
    if (!p->Active) continue;
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = static_cast<int>(rows_.size());
    item.pszText = const_cast<wchar_t*>(p->Title.c_str());
    item.iImage = kStandardIcon;
    int at = ListView_InsertItem(list_, &item);
    ListView_SetItemText(list_, at, 1, const_cast<wchar_t*>(kChoice[0]));
    rows_.push_back(p.get());
    states_.push_back(0);
  }
  ui::FitLastColumn(list_);
  if (!rows_.empty()) ListView_SetItemState(list_, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
  EnableWindow(ok_, !rows_.empty());
}

std::wstring TRepairSelectForm::RowText(int row, int column) const {
  wchar_t buf[256] = L"";
  ListView_GetItemText(list_, row, column, buf, 256);
  return buf;
}

void TRepairSelectForm::Flip(int row) {
  if (row < 0 || row >= static_cast<int>(states_.size())) return;
  int& state = states_[static_cast<size_t>(row)];
  state = 1 - state;
  LVITEMW item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  item.iImage = kStandardIcon + state;
  ListView_SetItem(list_, &item);
  ListView_SetItemText(list_, row, 1, const_cast<wchar_t*>(kChoice[state]));
}

void TRepairSelectForm::ListViewDblClick() { Flip(ListView_GetNextItem(list_, -1, LVNI_SELECTED)); }

void TRepairSelectForm::ListViewKeyPress(wchar_t key) {
  if (key == L' ') Flip(ListView_GetNextItem(list_, -1, LVNI_SELECTED));
}

void TRepairSelectForm::OkBtnClick() {
  for (size_t i = 0; i < rows_.size(); ++i) rows_[i]->Repair = states_[i] == 1;
  EndModal(IDOK);
}

void TRepairSelectForm::Command(int id, int code, HWND control) {
  if (id == IDOK) {
    if (IsWindowEnabled(ok_)) OkBtnClick();
    return;
  }
  TModalForm::Command(id, code, control);
}

LRESULT TRepairSelectForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NOTIFY) {
    auto* hdr = reinterpret_cast<NMHDR*>(lp);
    if (hdr->hwndFrom == list_ && hdr->code == NM_DBLCLK) {
      ListViewDblClick();
      return 0;
    }
  }
  return TModalForm::HandleMessage(msg, wp, lp);
}

LRESULT CALLBACK TRepairSelectForm::ListProc(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR self) {
  if (msg == WM_CHAR && wp == L' ') {
    reinterpret_cast<TRepairSelectForm*>(self)->ListViewKeyPress(L' ');
    return 0;
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(h, ListProc, 1);
  return DefSubclassProc(h, msg, wp, lp);
}

}  // namespace dorvex
