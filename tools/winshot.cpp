// winshot CLASS OUT.bmp [--wait-ms N] [--timeout S] [--post MSG] [--wait-class CHILDCLASS] [--close]
// Waits for a visible top-level window of the given class; with --post sends it that window
// message; with --wait-class waits until a visible descendant of that class appears (and the
// window is enabled again); lets it paint, copies it from the screen into a 24-bit BMP file,
// and with --close asks it to close. Used by the screenshot and demo scripts, which run it
// under Wine beside the program.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "windowbmp.h"

namespace {
struct Search {
  const wchar_t* cls;
  HWND found;
};
struct ChildSearch {
  const wchar_t* cls;
  bool found;
};
BOOL CALLBACK FindChild(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<ChildSearch*>(lp);
  wchar_t cls[128];
  GetClassNameW(h, cls, 128);
  if (IsWindowVisible(h) && _wcsicmp(cls, s->cls) == 0) {
    s->found = true;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK Find(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<Search*>(lp);
  wchar_t cls[128];
  GetClassNameW(h, cls, 128);
  if (IsWindowVisible(h) && wcscmp(cls, s->cls) == 0) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fwprintf(stderr, L"usage: winshot CLASS OUT.bmp [--wait-ms N] [--timeout S] [--close]\n");
    return 2;
  }
  int waitMs = 1500, timeoutS = 60;
  bool close = false;
  UINT post = 0;
  const wchar_t* waitClass = nullptr;
  for (int i = 3; i < argc; ++i) {
    std::wstring a = argv[i];
    if (a == L"--wait-ms" && i + 1 < argc) waitMs = _wtoi(argv[++i]);
    else if (a == L"--timeout" && i + 1 < argc) timeoutS = _wtoi(argv[++i]);
    else if (a == L"--close") close = true;
    else if (a == L"--post" && i + 1 < argc) post = static_cast<UINT>(_wtoi(argv[++i]));
    else if (a == L"--wait-class" && i + 1 < argc) waitClass = argv[++i];
  }
  Search s{argv[1], nullptr};
  DWORD start = GetTickCount();
  while (!s.found && GetTickCount() - start < static_cast<DWORD>(timeoutS) * 1000) {
    EnumWindows(Find, reinterpret_cast<LPARAM>(&s));
    if (!s.found) Sleep(200);
  }
  if (!s.found) {
    fwprintf(stderr, L"winshot: no window of class %ls appeared\n", argv[1]);
    return 1;
  }
  if (post) {
    Sleep(500);
    PostMessageW(s.found, post, 0, 0);
  }
  if (waitClass) {
    ChildSearch c{waitClass, false};
    while (GetTickCount() - start < static_cast<DWORD>(timeoutS) * 1000) {
      c.found = false;
      EnumChildWindows(s.found, FindChild, reinterpret_cast<LPARAM>(&c));
      if (c.found && IsWindowEnabled(s.found)) break;
      Sleep(200);
    }
    if (!c.found) {
      fwprintf(stderr, L"winshot: no %ls appeared in the window\n", waitClass);
      if (close) PostMessageW(s.found, WM_CLOSE, 0, 0);
      return 1;
    }
  }
  Sleep(static_cast<DWORD>(waitMs));
  SetForegroundWindow(s.found);
  RedrawWindow(s.found, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Sleep(300);
  bool ok = dorvex::tools::SaveWindowBmp(s.found, argv[2]);
  if (close) PostMessageW(s.found, WM_CLOSE, 0, 0);
  return ok ? 0 : 1;
}
