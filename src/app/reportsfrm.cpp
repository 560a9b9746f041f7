#include "app/reportsfrm.h"

#include "common/errors.h"
#include "common/handles.h"
#include "common/routines.h"
#include "common/text.h"
#include "ui/dialogs.h"

namespace dorvex {

namespace {
const wchar_t kRootText[] = L"Протоколы работы «Дорвекса»";

int PairNumber(const std::wstring& name, size_t at) {
  int32_t v = 0;
  if (name.size() < at + 2 || !TryParseInt(name.substr(at, 2), v)) return 0;
  return v;
}

std::wstring MonthName(int month) {
  wchar_t buf[64];
  int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SMONTHNAME1 + static_cast<LCTYPE>(month - 1), buf, 64);
  std::wstring name = n > 1 ? std::wstring(buf, static_cast<size_t>(n - 1)) : std::to_wstring(month);
  // Newer systems give the names in lower case; the tree shows them as titles ("Март").
  if (!name.empty()) name = UpperCaseText(name.substr(0, 1)) + name.substr(1);
  return name;
}
}  // namespace

TReportsForm::TReportsForm() = default;

TReportsForm::~TReportsForm() {
  if (tree_) TreeView_DeleteAllItems(tree_);  // releases every node's data
  if (icons_) ImageList_Destroy(icons_);
}

void TReportsForm::CreateForm(HWND owner) {
  CreateFormWindow(owner, L"Протоколы", 440, 400);
  AddControl(L"STATIC", L"Протоколы работы «Дорвекса»", SS_LEFT, 12, 10, 416, 18);
  // Two lines for the longer texts: they wrap in a wider font rather than lose their end.
  AddControl(L"STATIC", L"Сохраненные отчеты о результатах загрузки и проведения обновлений программ", SS_LEFT, 12, 28,
             416, 32);
  label_ = AddControl(L"STATIC", L"", SS_LEFT | SS_PATHELLIPSIS, 12, 60, 416, 18);
  tree_ = AddControl(WC_TREEVIEWW, L"",
                     WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS, 12, 80, 416,
                     246, 0, WS_EX_CLIENTEDGE);
  AddControl(L"STATIC", L"Выберите файл протокола и дважды щелкните по нему мышкой для просмотра", SS_LEFT, 12, 330,
             416, 32);
  AddControl(L"BUTTON", L"Закрыть", WS_TABSTOP | BS_DEFPUSHBUTTON, 338, 366, 90, 26, IDCANCEL);
  icons_ = ui::LoadMaskedStrip(ui::Instance(), L"SMALLICONS", 16);
  if (icons_) TreeView_SetImageList(tree_, icons_, TVSIL_NORMAL);
}

HTREEITEM TReportsForm::AddNode(HTREEITEM parent, const std::wstring& text, int icon, const std::wstring* data) {
  TVINSERTSTRUCTW ins{};
  ins.hParent = parent;
  ins.hInsertAfter = TVI_LAST;
  ins.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
  ins.item.pszText = const_cast<wchar_t*>(text.c_str());
  ins.item.iImage = ins.item.iSelectedImage = icon;
  ins.item.lParam = data ? reinterpret_cast<LPARAM>(new std::wstring(*data)) : 0;
  return reinterpret_cast<HTREEITEM>(SendMessageW(tree_, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&ins)));
}

std::wstring TReportsForm::NodeText(HTREEITEM item) const {
  wchar_t buf[512] = L"";
  TVITEMW it{};
  it.mask = TVIF_TEXT;
  it.hItem = item;
  it.pszText = buf;
  it.cchTextMax = 512;
  SendMessageW(tree_, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&it));
  return buf;
}

std::wstring TReportsForm::NodeData(HTREEITEM item) const {
  TVITEMW it{};
  it.mask = TVIF_PARAM;
  it.hItem = item;
  if (!item || !SendMessageW(tree_, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&it)) || !it.lParam) return L"";
  return *reinterpret_cast<std::wstring*>(it.lParam);
}

std::wstring TReportsForm::Caption(HTREEITEM item) const {
  std::wstring data = NodeData(item);
  return data.empty() ? NodeText(item) : data;
}

void TReportsForm::ShowReports(const std::wstring& repository) {
  if (!hwnd_) CreateForm(nullptr);
  const std::wstring dir = repository.empty() ? std::wstring() : IncludeTrailingBackslash(repository) + L"Reports\\";
  if (!DirectoryExists(dir)) throw Error(Fmt(L"Каталог с отчетами (%s) еще не был создан.", dir));
  HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  SendMessageW(tree_, WM_SETREDRAW, FALSE, 0);
  TreeView_DeleteAllItems(tree_);
  HTREEITEM root = AddNode(TVI_ROOT, kRootText, 0, nullptr);
  ScanReportsDir(root, 1, dir);
  SendMessageW(tree_, WM_SETREDRAW, TRUE, 0);
  TreeView_SelectItem(tree_, root);
  TreeView_Expand(tree_, root, TVE_EXPAND);
  TreeView_EnsureVisible(tree_, root);
  SetFocus(tree_);
  SetCursor(previous);
  TreeViewChange();
}

void TReportsForm::ScanReportsDir(HTREEITEM node, int level, const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  FindHandle find(FindFirstFileW((dir + L"*.*").c_str(), &fd));
  if (!find) return;
  do {
    const std::wstring name = fd.cFileName;
    if (name.empty() || name[0] == L'.') continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      HTREEITEM child = nullptr;
      if (level == 1) {
        std::wstring text = name + L" год";
        std::wstring data = Caption(node) + L" - " + text;
        child = AddNode(node, text, 1, &data);
      } else if (level == 2) {
        int32_t month = 0;
        if (TryParseInt(name, month) && month >= 1 && month <= 12) {
          std::wstring text = MonthName(month);
          std::wstring data = Caption(node) + L" - " + text;
          child = AddNode(node, text, 2, &data);
        }
      } else {
        std::wstring data = Caption(node) + L" - " + name;
        child = AddNode(node, name, 2, &data);
      }
      if (child) ScanReportsDir(child, level + 1, dir + name + L"\\");
      continue;
    }
    const int day = PairNumber(name, 0), hour = PairNumber(name, 2), minute = PairNumber(name, 4),
              second = PairNumber(name, 6);
    if (name.size() < 8 || day == 0 || hour > 23 || minute > 59 || second > 59 || hour < 0 || minute < 0 || second < 0)
      continue;
    const std::wstring dayText = name.substr(0, 2);
    HTREEITEM dayNode = nullptr;
    for (HTREEITEM c = TreeView_GetChild(tree_, node); c; c = TreeView_GetNextSibling(tree_, c))
      if (SameText(NodeText(c), dayText)) {
        dayNode = c;
        break;
      }
    if (!dayNode) {
      std::wstring data = Caption(node) + L" - " + dayText;
      dayNode = AddNode(node, dayText, 2, &data);
    }
    std::wstring path = dir + name;
    AddNode(dayNode, Fmt(L"в %s:%s:%s", name.substr(2, 2), name.substr(4, 2), name.substr(6, 2)), 3, &path);
  } while (FindNextFileW(find.get(), &fd));
}

void TReportsForm::TreeViewChange() { SetWindowTextW(label_, NodeData(TreeView_GetSelection(tree_)).c_str()); }

void TReportsForm::TreeViewDblClick() {
  std::wstring data = NodeData(TreeView_GetSelection(tree_));
  if (!data.empty() && FileExists(data))
    ui::ShellRun(ui::ShellRequest{L"open", data, L"", ExtractFilePath(data), SW_SHOWDEFAULT});
}

LRESULT TReportsForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NOTIFY) {
    auto* hdr = reinterpret_cast<NMHDR*>(lp);
    if (hdr->hwndFrom == tree_) {
      switch (hdr->code) {
        case TVN_SELCHANGEDW: TreeViewChange(); return 0;
        case NM_DBLCLK: TreeViewDblClick(); return 0;
        case TVN_DELETEITEMW: {
          auto* nm = reinterpret_cast<NMTREEVIEWW*>(lp);
          delete reinterpret_cast<std::wstring*>(nm->itemOld.lParam);
          return 0;
        }
      }
    }
  }
  return TModalForm::HandleMessage(msg, wp, lp);
}

}  // namespace dorvex
