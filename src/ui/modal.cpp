#include "ui/modal.h"

#include <uxtheme.h>

#include <commdlg.h>

#include <vector>

#include "ui/pump.h"

namespace dorvex::ui {

namespace {
std::function<void(HWND)>& ModalHook() {
  static std::function<void(HWND)> hook;
  return hook;
}
SaveFileHandler& SaveHandler() {
  static SaveFileHandler handler;
  return handler;
}
const wchar_t kFormClass[] = L"DorvexModalForm";
int g_modalCount = 0;

// The procedure of template pages: everything a control tells its page goes on to the form.
INT_PTR CALLBACK PageProc(HWND page, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(page, GWLP_USERDATA, lp);
      return FALSE;
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_HSCROLL:
    case WM_VSCROLL: {
      auto form = reinterpret_cast<HWND>(GetWindowLongPtrW(page, GWLP_USERDATA));
      if (!form) return FALSE;
      LRESULT r = SendMessageW(form, msg, wp, lp);
      SetWindowLongPtrW(page, DWLP_MSGRESULT, r);
      return TRUE;
    }
  }
  return FALSE;
}

struct ItemSearch {
  int id;
  HWND found;
};
BOOL CALLBACK FindItem(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<ItemSearch*>(lp);
  if (GetDlgCtrlID(h) == s->id) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}
}  // namespace

int ModalFormCount() { return g_modalCount; }

HWND TModalForm::Item(int id) const {
  if (!hwnd_) return nullptr;
  ItemSearch s{id, nullptr};
  EnumChildWindows(hwnd_, FindItem, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND TModalForm::CreateTemplateForm(HWND owner, const std::wstring& caption, int frameTemplate) {
  CreateFormWindow(owner, caption, 100, 100);
  if (!hwnd_) return nullptr;
  HWND frame = CreateDialogParamW(Instance(), MAKEINTRESOURCEW(frameTemplate), hwnd_, PageProc,
                                  reinterpret_cast<LPARAM>(hwnd_));
  if (!frame) return nullptr;
  RECT fr;
  GetWindowRect(frame, &fr);
  const int w = fr.right - fr.left, h = fr.bottom - fr.top;
  SetWindowPos(frame, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
  const DWORD style = static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE));
  RECT rc{0, 0, w, h};
  AdjustWindowRectEx(&rc, style, FALSE, exStyle);
  const int ww = rc.right - rc.left, wh = rc.bottom - rc.top;
  RECT area;
  if (owner && IsWindowVisible(owner)) GetWindowRect(owner, &area);
  else SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  int x = area.left + (area.right - area.left - ww) / 2, y = area.top + (area.bottom - area.top - wh) / 2;
  if (x < 0) x = 0;
  if (y < 0) y = 0;
  SetWindowPos(hwnd_, nullptr, x, y, ww, wh, SWP_NOZORDER | SWP_NOACTIVATE);
  SetWindowLongPtrW(hwnd_, GWL_EXSTYLE, exStyle | WS_EX_CONTROLPARENT);
  return frame;
}

HWND TModalForm::CreatePage(HWND parent, int pageTemplate, HWND placeholder, bool onTab) {
  HWND page = CreateDialogParamW(Instance(), MAKEINTRESOURCEW(pageTemplate), parent, PageProc,
                                 reinterpret_cast<LPARAM>(hwnd_));
  if (!page) return nullptr;
  if (onTab) EnableThemeDialogTexture(page, ETDT_ENABLETAB);
  if (placeholder) {
    RECT rc;
    GetWindowRect(placeholder, &rc);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rc), 2);
    SetWindowPos(page, HWND_TOP, rc.left, rc.top, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
  }
  return page;
}

void SetModalHook(std::function<void(HWND form)> hook) { ModalHook() = std::move(hook); }

void TModalForm::CreateFormWindow(HWND owner, const std::wstring& caption, int clientWidth, int clientHeight) {
  RegisterWindowClass(kFormClass, 0, GetSysColorBrush(COLOR_BTNFACE));
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_CLIPCHILDREN;
  RECT rc{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&rc, style, FALSE, WS_EX_DLGMODALFRAME);
  int w = rc.right - rc.left, h = rc.bottom - rc.top;
  RECT area;
  if (owner && IsWindowVisible(owner)) GetWindowRect(owner, &area);
  else SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  int x = area.left + (area.right - area.left - w) / 2, y = area.top + (area.bottom - area.top - h) / 2;
  CreateWindowObject(kFormClass, caption.c_str(), style, WS_EX_DLGMODALFRAME, x, y, w, h, owner, nullptr);
}

HWND TModalForm::AddControl(const wchar_t* cls, const std::wstring& text, DWORD style, int x, int y, int w, int h,
                            int id, DWORD exStyle) {
  HWND c = CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y, w, h, hwnd_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
  SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(DefaultFont()), FALSE);
  return c;
}

int TModalForm::ShowModal(HWND owner) {
  if (!hwnd_) CreateForm(owner);
  if (!hwnd_ || running_) return IDCANCEL;  // a form that is showing already is not shown twice
  const bool ownerWasEnabled = owner && IsWindowEnabled(owner);
  if (ownerWasEnabled) EnableWindow(owner, FALSE);
  running_ = true;
  ++g_modalCount;
  result_ = IDCANCEL;
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
  SetForegroundWindow(hwnd_);
  if (initialFocus_ && IsWindow(initialFocus_) && IsChild(hwnd_, initialFocus_)) SetFocus(initialFocus_);
  else if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) SetFocus(first);
  initialFocus_ = nullptr;
  const HWND self = hwnd_;
  const int filter = AddMessageFilter([self](MSG& msg) {
    // Tab, Enter and Esc as in any dialog of the system.
    return (msg.hwnd == self || IsChild(self, msg.hwnd)) && IsDialogMessageW(self, &msg);
  });
  if (ModalHook()) ModalHook()(hwnd_);
  while (running_ && hwnd_) {
    if (!PumpOneMessage()) break;
  }
  RemoveMessageFilter(filter);
  running_ = false;
  --g_modalCount;
  if (ownerWasEnabled) EnableWindow(owner, TRUE);
  if (hwnd_) {
    ShowWindow(hwnd_, SW_HIDE);
    if (owner) SetForegroundWindow(owner);
  }
  return result_;
}

void TModalForm::EndModal(int result) {
  result_ = result;
  running_ = false;
}

void TModalForm::Command(int id, int, HWND) {
  if (id == IDOK || id == IDCANCEL) EndModal(id);
}

LRESULT TModalForm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      Command(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp));
      return 0;
    case WM_CLOSE:
      EndModal(IDCANCEL);
      return 0;
    case WM_PRINTCLIENT: {
      // A themed group box asks its parent to draw what lies behind it; unanswered, the
      // box's inside stays black.
      RECT rc;
      GetClientRect(hwnd_, &rc);
      FillRect(reinterpret_cast<HDC>(wp), &rc, GetSysColorBrush(COLOR_BTNFACE));
      return 0;
    }
  }
  return Default(msg, wp, lp);
}

void SetSaveFileHandler(SaveFileHandler handler) { SaveHandler() = std::move(handler); }

std::wstring ChooseSaveFile(const SaveFileRequest& r) {
  if (SaveHandler()) return SaveHandler()(r);
  std::vector<wchar_t> filter(r.filter.begin(), r.filter.end());
  for (auto& c : filter)
    if (c == L'|') c = L'\0';
  filter.push_back(L'\0');
  filter.push_back(L'\0');
  std::vector<wchar_t> file(32768, L'\0');
  r.fileName.copy(file.data(), r.fileName.size() < file.size() - 1 ? r.fileName.size() : file.size() - 1);
  std::wstring ext = r.defaultExt;
  if (ext.rfind(L"*.", 0) == 0) ext = ext.substr(2);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = r.owner;
  ofn.lpstrFilter = filter.data();
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = r.initialDir.c_str();
  ofn.lpstrTitle = r.title.c_str();
  ofn.lpstrDefExt = ext.c_str();
  ofn.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
  if (!GetSaveFileNameW(&ofn)) return L"";
  return file.data();
}

}  // namespace dorvex::ui
