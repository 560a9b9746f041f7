#include "ui/folders.h"

#include <objbase.h>
#include <shlobj.h>

namespace dorvex::ui {

namespace {
FolderHandler& Handler() {
  static FolderHandler handler;
  return handler;
}

int CALLBACK BrowseCallback(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED) {
    auto* r = reinterpret_cast<const FolderRequest*>(data);
    if (!r->title.empty()) SetWindowTextW(hwnd, r->title.c_str());
    if (!r->initial.empty()) SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(r->initial.c_str()));
  }
  return 0;
}
}  // namespace

void SetFolderHandler(FolderHandler handler) { Handler() = std::move(handler); }

std::wstring ChooseFolder(const FolderRequest& request) {
  if (Handler()) return Handler()(request);
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  BROWSEINFOW bi{};
  wchar_t display[MAX_PATH] = L"";
  bi.hwndOwner = request.owner;
  bi.pszDisplayName = display;
  bi.lpszTitle = request.prompt.c_str();
  bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  bi.lpfn = BrowseCallback;
  bi.lParam = reinterpret_cast<LPARAM>(&request);
  std::wstring result;
  if (PIDLIST_ABSOLUTE pidl = SHBrowseForFolderW(&bi)) {
    wchar_t path[MAX_PATH] = L"";
    if (SHGetPathFromIDListW(pidl, path)) result = path;
    CoTaskMemFree(pidl);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return result;
}

}  // namespace dorvex::ui
