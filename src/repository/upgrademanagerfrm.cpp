#include "repository/upgrademanagerfrm.h"

#include <algorithm>

#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "settings/datalayout.h"
#include "ui/dialogs.h"
#include "ui/elevation.h"
#include "upgrade/chain.h"

namespace dorvex {

namespace {
enum : int { kTreeId = 301, kDeleteId = 302, kUploadId = 303, kMoireId = 304 };
constexpr int kWidth = 560, kHeight = 420;
}  // namespace

bool IsStepDirName(const std::wstring& name) {
  return std::all_of(name.begin(), name.end(), [](wchar_t c) { return (c >= L'0' && c <= L'9') || c == L'-'; });
}

TUpgradeManagerForm::TUpgradeManagerForm(TProgramList* programs, std::wstring sessionTempDir)
    : programs_(programs), sessionTempDir_(std::move(sessionTempDir)) {}

TUpgradeManagerForm::~TUpgradeManagerForm() {
  // The tree's nodes release their data as they go.
  if (tree_ && IsWindow(tree_)) TreeView_DeleteAllItems(tree_);
  FormDestroy();
}

void TUpgradeManagerForm::CreateForm(HWND owner) {
  CreateFormWindow(owner, L"Хранилище обновлений", kWidth, kHeight);
  AddControl(L"STATIC", L"Загруженные обновления программ", SS_LEFT, 12, 10, 340, 16);
  tree_ =
      AddControl(WC_TREEVIEWW, L"", WS_TABSTOP | TVS_HASBUTTONS | TVS_HASLINES | TVS_LINESATROOT | TVS_SHOWSELALWAYS,
                 12, 30, 356, 290, kTreeId, WS_EX_CLIENTEDGE);
  AddControl(L"STATIC", L"Файлы обновлений хранятся в каталоге:", SS_LEFT, 12, 328, 356, 16);
  dirLabel_ = AddControl(L"STATIC", L"", SS_LEFT | SS_PATHELLIPSIS | SS_NOPREFIX, 12, 346, 356, 16);
  moire_ =
      AddControl(L"BUTTON", L" Затенять старые обновления", WS_TABSTOP | BS_AUTOCHECKBOX, 12, 370, 300, 18, kMoireId);
  SendMessageW(moire_, BM_SETCHECK, BST_CHECKED, 0);
  // Beside each button, in one column, the key that also presses it.
  delete_ = AddControl(L"BUTTON", L"Удалить обновление", WS_TABSTOP | BS_LEFT, 378, 30, 144, 28, kDeleteId);
  upload_ = AddControl(L"BUTTON", L"Выгрузить на дискеты", WS_TABSTOP | BS_LEFT, 378, 64, 144, 28, kUploadId);
  AddControl(L"STATIC", L"Del", SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, 528, 30, 26, 28);
  AddControl(L"STATIC", L"F3", SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, 528, 64, 26, 28);
  AddControl(L"STATIC",
             L"Чтобы удалить каталог с обновлениями, выделите его и нажмите клавишу Delete. Удалять можно только "
             L"каталоги целиком, по одному.",
             SS_LEFT | SS_SUNKEN, 378, 110, 172, 110);
  AddControl(L"BUTTON", L"Закрыть", WS_TABSTOP, 378, kHeight - 40, 172, 28, IDCANCEL);

  tips_ = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, ui::Instance(), nullptr);
  auto tip = [this](HWND control, const wchar_t* text) {
    TOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = hwnd_;
    ti.uId = reinterpret_cast<UINT_PTR>(control);
    ti.lpszText = const_cast<wchar_t*>(text);
    SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  };
  tip(delete_, L"Удаление устаревших обновлений");
  tip(upload_, L"Для обмена с другой программой доставки");

  icons_ = ui::LoadMaskedStrip(ui::Instance(), L"SMALLICONS", 16);
  if (icons_) TreeView_SetImageList(tree_, icons_, TVSIL_NORMAL);
  SetWindowSubclass(tree_, TreeProc, 1, reinterpret_cast<DWORD_PTR>(this));
  FormCreate();
}

void TUpgradeManagerForm::FormCreate() {
  BuildRepositoryTree();
  TreeViewChange();
}

void TUpgradeManagerForm::FormDestroy() {
  if (icons_) ImageList_Destroy(icons_);
  icons_ = nullptr;
}

HTREEITEM TUpgradeManagerForm::AddNode(HTREEITEM parent, const std::wstring& text, int kind, TProgram* program,
                                       const std::wstring& step) {
  auto* data = new NodeData;
  data->Kind = kind;
  data->Program = program;
  data->Step = step;
  data->Sort = text;
  ++liveData_;
  TVINSERTSTRUCTW ins{};
  ins.hParent = parent;
  ins.hInsertAfter = TVI_LAST;
  ins.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
  ins.item.pszText = const_cast<wchar_t*>(text.c_str());
  const int image = TreeNodeImage(kind);
  ins.item.iImage = image;
  ins.item.iSelectedImage = image;
  ins.item.lParam = reinterpret_cast<LPARAM>(data);
  HTREEITEM node = TreeView_InsertItem(tree_, &ins);
  if (!node) {
    delete data;
    --liveData_;
  }
  return node;
}

TUpgradeManagerForm::NodeData* TUpgradeManagerForm::DataOf(HTREEITEM node) const {
  if (!node) return nullptr;
  TVITEMW item{};
  item.mask = TVIF_PARAM | TVIF_HANDLE;
  item.hItem = node;
  if (!TreeView_GetItem(tree_, &item)) return nullptr;
  return reinterpret_cast<NodeData*>(item.lParam);
}

std::wstring TUpgradeManagerForm::DirectoryOf(HTREEITEM node) const {
  std::wstring path;
  for (HTREEITEM n = node; n; n = TreeView_GetParent(tree_, n)) {
    NodeData* d = DataOf(n);
    if (!d || d->Kind == 0) break;
    if (d->Name.empty()) return L"";
    path = d->Name + L"\\" + path;
  }
  return IncludeTrailingBackslash(Settings().UpgradeFilesDir) + path;
}

int CALLBACK TUpgradeManagerForm::CompareNodes(LPARAM a, LPARAM b, LPARAM) {
  auto* x = reinterpret_cast<NodeData*>(a);
  auto* y = reinterpret_cast<NodeData*>(b);
  if (!x || !y) return 0;
  // Steps in the order of their versions (0, 6, 414), the emergency ones after them.
  if (x->Kind != y->Kind && (x->Kind == nkEmergency || y->Kind == nkEmergency)) return x->Kind == nkEmergency ? 1 : -1;
  if (x->Kind == nkStep && y->Kind == nkStep) {
    const VersionStep p = ParseStepName(x->Step), q = ParseStepName(y->Step);
    if (p.To != q.To) return p.To < q.To ? -1 : 1;
    if (p.From != q.From) return p.From < q.From ? -1 : 1;
  }
  const std::wstring& s = x->Sort;
  const std::wstring& t = y->Sort;
  if (WordSortLess(s, t)) return -1;
  return WordSortLess(t, s) ? 1 : 0;
}

int TUpgradeManagerForm::KindOf(HTREEITEM node) const {
  NodeData* d = DataOf(node);
  return d ? d->Kind : -1;
}

bool TUpgradeManagerForm::IsGreyed(HTREEITEM node) const {
  NodeData* d = DataOf(node);
  return d && d->Greyed;
}

std::wstring TUpgradeManagerForm::TextOf(HTREEITEM node) const {
  wchar_t buf[1024] = L"";
  TVITEMW item{};
  item.mask = TVIF_TEXT | TVIF_HANDLE;
  item.hItem = node;
  item.pszText = buf;
  item.cchTextMax = 1024;
  TreeView_GetItem(tree_, &item);
  return buf;
}

HTREEITEM TUpgradeManagerForm::FindNode(const std::wstring& path) const {
  std::vector<std::wstring> parts;
  SplitText(path, parts, L"/", false);
  HTREEITEM node = TreeView_GetRoot(tree_);
  for (const auto& part : parts) {
    HTREEITEM child = TreeView_GetChild(tree_, node);
    while (child && TextOf(child) != part) child = TreeView_GetNextSibling(tree_, child);
    if (!child) return nullptr;
    node = child;
  }
  return node;
}

void TUpgradeManagerForm::BuildRepositoryTree() {
  SendMessageW(tree_, WM_SETREDRAW, FALSE, 0);
  TreeView_DeleteAllItems(tree_);
  pathMap_.clear();
  obsolete_.clear();
  visited_.Clear();
  HTREEITEM root = AddNode(TVI_ROOT, L"Программы «Ворел-Софт»", 0);
  const std::wstring dir = IncludeTrailingBackslash(Settings().UpgradeFilesDir);
  if (!Settings().UpgradeFilesDir.empty()) ScanRepositoryDir(root, 1, dir);
  TreeView_SelectItem(tree_, root);
  TreeView_Expand(tree_, root, TVE_EXPAND);
  TreeView_EnsureVisible(tree_, root);
  SetFocus(tree_);
  // One sort of the whole tree (steps by their versions, the rest by text); later insertions
  // are not sorted.
  std::vector<HTREEITEM> stack{root};
  while (!stack.empty()) {
    HTREEITEM n = stack.back();
    stack.pop_back();
    TVSORTCB sort{};
    sort.hParent = n;
    sort.lpfnCompare = CompareNodes;
    sort.lParam = reinterpret_cast<LPARAM>(this);
    TreeView_SortChildrenCB(tree_, &sort, FALSE);
    for (HTREEITEM c = TreeView_GetChild(tree_, n); c; c = TreeView_GetNextSibling(tree_, c)) stack.push_back(c);
  }
  SendMessageW(tree_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(tree_, nullptr, TRUE);
  SetWindowTextW(dirLabel_, Settings().UpgradeFilesDir.c_str());
  EnableWindow(upload_, !pathMap_.empty());
}

void TUpgradeManagerForm::ScanRepositoryDir(HTREEITEM node, int level, const std::wstring& directory) {
  // Each directory once: a junction or link the attributes do not show must not lead the scan
  // round in a circle.
  if (!visited_.FirstVisit(directory)) return;
  const int kind = KindOf(node);
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((directory + L"*.*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = fd.cFileName;
    if (name.empty() || name[0] == L'.') continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // Junctions, symbolic links and mount points lead elsewhere, often back up the tree; and
      // deleting a step behind one would empty a directory that is not the repository's.
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
      // The session takes for steps exactly the numeric directories right below a program's
      // directory or its "repair": nothing deeper is a step, whatever its name.
      HTREEITEM added = nullptr;
      if (kind == nkProgram && SameText(name, L"repair")) {
        added = AddNode(node, L"Аварийные обновления", nkEmergency);
      } else if (level == 1) {
        TProgram* p = programs_ ? programs_->FindByID(name) : nullptr;
        if (p && p->Active) {
          if (p->Controller) p->Controller->DetectVersion();
          added = AddNode(node,
                          Fmt(L"Программа «%s» [версия %s]", p->Title,
                              p->Controller ? p->Controller->VersionText() : std::wstring()),
                          nkProgram, p);
        }
      } else if ((kind == nkProgram || kind == nkEmergency) && IsStepDirName(name)) {
        added = AddNode(node, name, nkStep, nullptr, name);
      }
      if (added) {
        DataOf(added)->Name = name;
        ScanRepositoryDir(added, level + 1, directory + name + L"\\");
      }
      continue;
    }
    if (KindOf(node) != nkStep) continue;
    HTREEITEM program = node, step = nullptr;
    while (program && KindOf(program) != nkProgram) {
      if (!step && KindOf(program) == nkStep) step = program;
      program = TreeView_GetParent(tree_, program);
    }
    bool old = false;
    if (program && step) {
      NodeData* pd = DataOf(program);
      double to = StepTo(DataOf(step)->Step);
      old = to != 0 && pd->Program && pd->Program->Controller && !(to > pd->Program->Controller->Version);
    }
    const int64_t size = (static_cast<int64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    HTREEITEM file = AddNode(node, Fmt(L"%s [%s байт]", name, FormatGrouped(size)), nkFile);
    pathMap_.push_back({directory + name, file});
    if (old) {
      bool tick = SendMessageW(moire_, BM_GETCHECK, 0, 0) == BST_CHECKED;
      NodeData* fdData = DataOf(file);
      fdData->Obsolete = true;
      fdData->Greyed = tick;
      obsolete_.push_back(file);
      if (std::find(obsolete_.begin(), obsolete_.end(), step) == obsolete_.end()) obsolete_.push_back(step);
      DataOf(step)->Obsolete = true;
      DataOf(step)->Greyed = tick;
    }
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

void TUpgradeManagerForm::TreeViewChange() {
  EnableWindow(delete_, KindOf(TreeView_GetSelection(tree_)) == nkStep);
}

void TUpgradeManagerForm::TreeViewDeletion(HTREEITEM node, LPARAM data) {
  // The node's own data goes with it, and no list keeps pointing at it.
  pathMap_.erase(std::remove_if(pathMap_.begin(), pathMap_.end(), [&](const auto& e) { return e.second == node; }),
                 pathMap_.end());
  obsolete_.erase(std::remove(obsolete_.begin(), obsolete_.end(), node), obsolete_.end());
  if (data) {
    delete reinterpret_cast<NodeData*>(data);
    --liveData_;
  }
}

int TUpgradeManagerForm::TreeViewGetSelectedIndex(HTREEITEM node) const {
  return KindOf(node);
}

void TUpgradeManagerForm::Forget(HTREEITEM node) {
  for (HTREEITEM c = TreeView_GetChild(tree_, node); c; c = TreeView_GetNextSibling(tree_, c)) Forget(c);
  pathMap_.erase(std::remove_if(pathMap_.begin(), pathMap_.end(), [&](const auto& e) { return e.second == node; }),
                 pathMap_.end());
  obsolete_.erase(std::remove(obsolete_.begin(), obsolete_.end(), node), obsolete_.end());
}

void TUpgradeManagerForm::TreeViewKeyDown(WORD key) {
  const bool modifiers = GetKeyState(VK_SHIFT) < 0 || GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0;
  if (modifiers) return;
  if (key == VK_DELETE) DeleteBtnClick();
  if (key == VK_F3) UploadBtnClick();
}

void TUpgradeManagerForm::DeleteBtnClick() {
  if (!IsWindowEnabled(delete_)) return;
  HTREEITEM step = TreeView_GetSelection(tree_);
  if (KindOf(step) != nkStep) return;
  HTREEITEM program = TreeView_GetParent(tree_, step);
  while (program && KindOf(program) != nkProgram) program = TreeView_GetParent(tree_, program);
  if (!program) return;
  TProgram* p = DataOf(program)->Program;
  const std::wstring name = DataOf(step)->Step;
  if (!p) return;
  if (!ui::EnsureDataWritable(hwnd_, WritableDataFolders())) return;
  if (!ui::AskYesNo(hwnd_, Fmt(L"Удалить обновление с версии %s на версию %s для программы «%s» ?", StepFromText(name),
                               StepToText(name), p->Title)))
    return;
  if (std::find(obsolete_.begin(), obsolete_.end(), step) == obsolete_.end() &&
      ui::AskYesNo(hwnd_,
                   L"Обновление, которое Вы собираетесь удалить, еще не проводилось (номер версии обновления "
                   L"старше номера версии программы). Отменить удаление файлов обновления ?"))
    return;
  std::shared_ptr<void> hold;
  if (BeforeDelete && !BeforeDelete(hwnd_, hold)) return;
  // The directory the step was read from, through its parents: never a same-named step elsewhere.
  const std::wstring dir = DirectoryOf(step);
  if (dir.empty() || !DirectoryExists(dir)) {
    ui::ShowError(hwnd_, Fmt(L"Каталог %s не найден или недоступен.", dir));
    return;
  }
  ClearDirectory(dir, false);
  RemoveDirectoryW(dir.c_str());
  Forget(step);
  TreeView_DeleteItem(tree_, step);
  TreeViewChange();
  EnableWindow(upload_, !pathMap_.empty());
}

void TUpgradeManagerForm::MoireCheckBoxClick() {
  HCURSOR saved = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  SendMessageW(tree_, WM_SETREDRAW, FALSE, 0);
  const bool tick = SendMessageW(moire_, BM_GETCHECK, 0, 0) == BST_CHECKED;
  for (HTREEITEM n : obsolete_)
    if (NodeData* d = DataOf(n)) d->Greyed = tick;
  SendMessageW(tree_, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(tree_, nullptr, TRUE);
  SetCursor(saved);
}

void TUpgradeManagerForm::UploadBtnClick() {
  if (!IsWindowEnabled(upload_)) return;
  TUploadForm upload(tree_, pathMap_, sessionTempDir_);
  upload.ShowModal(hwnd_);
}

void TUpgradeManagerForm::Command(int id, int code, HWND control) {
  switch (id) {
    case kDeleteId: DeleteBtnClick(); return;
    case kUploadId: UploadBtnClick(); return;
    case kMoireId:
      if (code == BN_CLICKED) MoireCheckBoxClick();
      return;
  }
  TModalForm::Command(id, code, control);
}

LRESULT TUpgradeManagerForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NOTIFY) {
    auto* hdr = reinterpret_cast<NMHDR*>(lp);
    if (hdr->hwndFrom == tree_) {
      switch (hdr->code) {
        case TVN_SELCHANGEDW: TreeViewChange(); return 0;
        case TVN_DELETEITEMW: {
          auto* nm = reinterpret_cast<NMTREEVIEWW*>(lp);
          TreeViewDeletion(nm->itemOld.hItem, nm->itemOld.lParam);
          return 0;
        }
        case NM_CUSTOMDRAW: {
          auto* cd = reinterpret_cast<NMTVCUSTOMDRAW*>(lp);
          if (cd->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
          if (cd->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
            auto* d = reinterpret_cast<NodeData*>(cd->nmcd.lItemlParam);
            if (d && d->Greyed && !(cd->nmcd.uItemState & CDIS_SELECTED)) cd->clrText = GetSysColor(COLOR_GRAYTEXT);
            return CDRF_DODEFAULT;
          }
          return CDRF_DODEFAULT;
        }
      }
    }
  }
  return TModalForm::HandleMessage(msg, wp, lp);
}

LRESULT CALLBACK TUpgradeManagerForm::TreeProc(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR self) {
  if (msg == WM_KEYDOWN && (wp == VK_DELETE || wp == VK_F3)) {
    reinterpret_cast<TUpgradeManagerForm*>(self)->TreeViewKeyDown(static_cast<WORD>(wp));
    return 0;
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(h, TreeProc, 1);
  return DefSubclassProc(h, msg, wp, lp);
}

}  // namespace dorvex
