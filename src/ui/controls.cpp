#include "ui/controls.h"

#include <vector>

namespace dorvex::ui {

namespace {
HINSTANCE g_instance = nullptr;
const wchar_t kLabelClass[] = L"DorvexLabel";
const wchar_t kPicButtonClass[] = L"DorvexPicButton";
constexpr UINT PBM_GETSHOWN = WM_APP + 0x110;

struct LabelData {
  COLORREF color = CLR_DEFAULT;
  HFONT font = nullptr;
};

struct PicButtonData {
  HIMAGELIST images = nullptr;
  int index = 0;
  bool hover = false;
  bool pressed = false;
  HWND tip = nullptr;
};

void PaintParentBackground(HWND child, HDC dc) {
  HWND parent = GetParent(child);
  if (!parent || !SendMessageW(parent, WM_DX_PAINTBACKGROUND, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(child))) {
    RECT rc;
    GetClientRect(child, &rc);
    FillRect(dc, &rc, GetSysColorBrush(COLOR_BTNFACE));
  }
}

// Paints a child into memory first, over its parent's background, so that a changing text or
// picture never flickers over the panel's picture.
template <typename Painter>
void PaintBuffered(HWND hwnd, Painter paint) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT rc;
  GetClientRect(hwnd, &rc);
  HDC mem = CreateCompatibleDC(dc);
  HBITMAP bmp = CreateCompatibleBitmap(dc, rc.right > 0 ? rc.right : 1, rc.bottom > 0 ? rc.bottom : 1);
  HGDIOBJ oldBmp = SelectObject(mem, bmp);
  PaintParentBackground(hwnd, mem);
  paint(mem, rc);
  BitBlt(dc, 0, 0, rc.right, rc.bottom, mem, 0, 0, SRCCOPY);
  SelectObject(mem, oldBmp);
  DeleteObject(bmp);
  DeleteDC(mem);
  EndPaint(hwnd, &ps);
}

LRESULT CALLBACK LabelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* data = reinterpret_cast<LabelData*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_NCCREATE:
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new LabelData));
      break;
    case WM_NCDESTROY:
      delete data;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    case WM_SETFONT:
      if (data) data->font = reinterpret_cast<HFONT>(wp);
      if (LOWORD(lp)) InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(data ? data->font : nullptr);
    case WM_SETTEXT: {
      LRESULT r = DefWindowProcW(hwnd, msg, wp, lp);
      InvalidateRect(hwnd, nullptr, TRUE);
      return r;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_NCHITTEST:
      return HTTRANSPARENT;
    case WM_PAINT:
      PaintBuffered(hwnd, [&](HDC mem, RECT rc) {
        std::wstring text = GetText(hwnd);
        HGDIOBJ oldFont = SelectObject(mem, data && data->font ? data->font : DefaultFont());
        SetBkMode(mem, TRANSPARENT);
        COLORREF color = data && data->color != CLR_DEFAULT ? data->color : GetSysColor(COLOR_WINDOWTEXT);
        if (!IsWindowEnabled(hwnd)) color = GetSysColor(COLOR_GRAYTEXT);
        SetTextColor(mem, color);
        DWORD style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
        UINT flags = DT_NOPREFIX;
        if (style & LabelWordWrap) flags |= DT_WORDBREAK;
        else flags |= DT_SINGLELINE;
        if (style & LabelCenter) flags |= DT_CENTER;
        else if (style & LabelRight) flags |= DT_RIGHT;
        DrawTextW(mem, text.c_str(), static_cast<int>(text.size()), &rc, flags);
        SelectObject(mem, oldFont);
      });
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK PicButtonProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* data = reinterpret_cast<PicButtonData*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  auto click = [hwnd] {
    if (!IsWindowEnabled(hwnd)) return;
    SendMessageW(GetParent(hwnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(hwnd), BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
  };
  switch (msg) {
    case WM_NCCREATE:
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new PicButtonData));
      break;
    case WM_NCDESTROY:
      if (data && data->tip) DestroyWindow(data->tip);
      delete data;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    case WM_ERASEBKGND:
      return 1;
    case PBM_GETSHOWN:
      return data ? data->index + (data->hover ? 1 : 0) : -1;
    case WM_ENABLE:
      if (!wp && data) data->hover = data->pressed = false;
      InvalidateRect(hwnd, nullptr, TRUE);
      return 0;
    case WM_MOUSEMOVE:
      if (data && !data->hover) {
        data->hover = true;
        TRACKMOUSEEVENT tme{sizeof tme, TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&tme);
        InvalidateRect(hwnd, nullptr, TRUE);
      }
      return 0;
    case WM_MOUSELEAVE:
      if (data && data->hover) {
        data->hover = false;
        InvalidateRect(hwnd, nullptr, TRUE);
      }
      return 0;
    case WM_LBUTTONDOWN:
      if (data) {
        data->pressed = true;
        SetCapture(hwnd);
        InvalidateRect(hwnd, nullptr, TRUE);
      }
      return 0;
    case WM_LBUTTONUP:
      if (data && data->pressed) {
        data->pressed = false;  // the button is un-pressed before its action runs
        ReleaseCapture();
        InvalidateRect(hwnd, nullptr, TRUE);
        UpdateWindow(hwnd);
        RECT rc;
        GetClientRect(hwnd, &rc);
        POINT pt{static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
        if (PtInRect(&rc, pt)) click();
      }
      return 0;
    case WM_CAPTURECHANGED:
      if (data && data->pressed) {
        data->pressed = false;
        InvalidateRect(hwnd, nullptr, TRUE);
      }
      return 0;
    case BM_CLICK:
      click();
      return 0;
    case WM_PAINT:
      PaintBuffered(hwnd, [&](HDC mem, RECT rc) {
        if (!data || !data->images) return;
        int shift = data->pressed ? 1 : 0;
        int x = (rc.right - 32) / 2 + shift, y = (rc.bottom - 32) / 2 + shift;
        if (IsWindowEnabled(hwnd)) {
          ImageList_Draw(data->images, data->index + (data->hover ? 1 : 0), mem, x, y, ILD_TRANSPARENT);
          if (data->hover || data->pressed) DrawEdge(mem, &rc, data->pressed ? BDR_SUNKENOUTER : BDR_RAISEDINNER, BF_RECT);
        } else {
          ImageList_DrawEx(data->images, data->index, mem, x, y, 32, 32, CLR_NONE, GetSysColor(COLOR_BTNFACE),
                           ILD_TRANSPARENT | ILD_BLEND50);
        }
      });
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}
}  // namespace

void InitControls(HINSTANCE instance) {
  static bool done = false;
  g_instance = instance;
  if (done) return;
  done = true;
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSW wc{};
  wc.lpfnWndProc = LabelProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kLabelClass;
  RegisterClassW(&wc);
  wc.lpfnWndProc = PicButtonProc;
  wc.lpszClassName = kPicButtonClass;
  RegisterClassW(&wc);
}

HINSTANCE Instance() { return g_instance ? g_instance : GetModuleHandleW(nullptr); }

Window::~Window() {
  if (hwnd_ && IsWindow(hwnd_)) {
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

void Window::RegisterWindowClass(const wchar_t* className, UINT style, HBRUSH background, HICON icon) {
  WNDCLASSEXW wc{};
  if (GetClassInfoExW(Instance(), className, &wc)) return;
  wc = WNDCLASSEXW{};
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = &Window::WndProc;
  wc.hInstance = Instance();
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = background;
  wc.hIcon = icon;
  wc.lpszClassName = className;
  RegisterClassExW(&wc);
}

HWND Window::CreateWindowObject(const wchar_t* className, const wchar_t* title, DWORD style, DWORD exStyle, int x, int y,
                                int w, int h, HWND parent, HMENU menu) {
  return CreateWindowExW(exStyle, className, title, style, x, y, w, h, parent, menu, Instance(), this);
}

LRESULT Window::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) { return Default(msg, wp, lp); }

LRESULT CALLBACK Window::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  Window* self = reinterpret_cast<Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg == WM_NCCREATE) {
    self = static_cast<Window*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    if (self) self->hwnd_ = hwnd;
  }
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  LRESULT r = self->HandleMessage(msg, wp, lp);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
  }
  return r;
}

HWND CreateLabel(HWND parent, const std::wstring& text, int x, int y, int w, int h, DWORD labelStyle, HFONT font,
                 COLORREF color) {
  HWND label = CreateWindowExW(0, kLabelClass, text.c_str(), WS_CHILD | WS_VISIBLE | labelStyle, x, y, w, h, parent,
                               nullptr, Instance(), nullptr);
  SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(font ? font : DefaultFont()), FALSE);
  if (color != CLR_DEFAULT) SetLabelColor(label, color);
  return label;
}

void SetLabelColor(HWND label, COLORREF color) {
  auto* data = reinterpret_cast<LabelData*>(GetWindowLongPtrW(label, GWLP_USERDATA));
  if (data) data->color = color;
  InvalidateRect(label, nullptr, TRUE);
}

void SetText(HWND hwnd, const std::wstring& text, bool repaintNow) {
  if (GetText(hwnd) != text) SetWindowTextW(hwnd, text.c_str());
  if (repaintNow) UpdateWindow(hwnd);
}

std::wstring GetText(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(hwnd, text.data(), n + 1);
  text.resize(static_cast<size_t>(n > 0 ? n : 0));
  return text;
}

void SetVisible(HWND hwnd, bool visible) {
  if (IsShown(hwnd) != visible) ShowWindow(hwnd, visible ? SW_SHOWNA : SW_HIDE);
}

bool IsShown(HWND hwnd) { return (GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_VISIBLE) != 0; }

HWND CreatePictureButton(HWND parent, int id, HIMAGELIST images, int index, const std::wstring& hint, int x, int y,
                         int w, int h) {
  HWND button = CreateWindowExW(0, kPicButtonClass, hint.c_str(), WS_CHILD | WS_VISIBLE, x, y, w, h, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Instance(), nullptr);
  auto* data = reinterpret_cast<PicButtonData*>(GetWindowLongPtrW(button, GWLP_USERDATA));
  data->images = images;
  data->index = index;
  data->tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, button, nullptr, Instance(),
                              nullptr);
  if (data->tip) {
    TTTOOLINFOW ti{};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = parent;
    ti.uId = reinterpret_cast<UINT_PTR>(button);
    ti.lpszText = const_cast<wchar_t*>(hint.c_str());
    SendMessageW(data->tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
  }
  return button;
}

int PictureButtonShownIndex(HWND button) { return static_cast<int>(SendMessageW(button, PBM_GETSHOWN, 0, 0)); }

void ClickButton(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

HIMAGELIST LoadMaskedStrip(HINSTANCE instance, const wchar_t* bitmapName, int size) {
  HBITMAP strip = static_cast<HBITMAP>(LoadImageW(instance, bitmapName, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (!strip) return nullptr;
  BITMAP info{};
  GetObjectW(strip, sizeof info, &info);
  int count = info.bmWidth / size;
  HIMAGELIST list = ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, count, 0);
  HDC screen = GetDC(nullptr);
  HDC src = CreateCompatibleDC(screen);
  HDC dst = CreateCompatibleDC(screen);
  HGDIOBJ oldSrc = SelectObject(src, strip);
  for (int i = 0; i < count; ++i) {
    HBITMAP one = CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ oldDst = SelectObject(dst, one);
    BitBlt(dst, 0, 0, size, size, src, i * size, 0, SRCCOPY);
    COLORREF key = GetPixel(dst, 0, 0);
    SelectObject(dst, oldDst);
    ImageList_AddMasked(list, one, key);
    DeleteObject(one);
  }
  SelectObject(src, oldSrc);
  DeleteDC(src);
  DeleteDC(dst);
  ReleaseDC(nullptr, screen);
  DeleteObject(strip);
  return list;
}

void FitLastColumn(HWND list) {
  const int columns = Header_GetItemCount(ListView_GetHeader(list));
  if (columns > 0) ListView_SetColumnWidth(list, columns - 1, LVSCW_AUTOSIZE_USEHEADER);
}

HFONT MakeFont(const wchar_t* face, int pointSize, bool bold) {
  HDC screen = GetDC(nullptr);
  int height = -MulDiv(pointSize, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, RUSSIAN_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, face);
}

HFONT DefaultFont() {
  static HFONT font = MakeFont(L"Tahoma", 8, false);
  return font;
}

}  // namespace dorvex::ui
