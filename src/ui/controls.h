// The thin window layer: a base for window objects, labels that paint over their parent's
// background, picture buttons with a hover picture and a hint, a background panel, fonts.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

namespace dorvex::ui {

// Sent by a label or picture button to its parent, wParam = the child's HDC, lParam = the
// child's HWND: the parent paints its background behind the child and returns 1.
constexpr UINT WM_DX_PAINTBACKGROUND = WM_APP + 0x101;

void InitControls(HINSTANCE instance);  // registers the window classes once
HINSTANCE Instance();

class Window {
 public:
  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  virtual ~Window();
  HWND Handle() const { return hwnd_; }

 protected:
  // Creates the window of a class registered with Window::WndProc as its procedure.
  HWND CreateWindowObject(const wchar_t* className, const wchar_t* title, DWORD style, DWORD exStyle, int x, int y,
                          int w, int h, HWND parent, HMENU menu);
  static void RegisterWindowClass(const wchar_t* className, UINT style, HBRUSH background, HICON icon = nullptr);
  virtual LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Default(UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcW(hwnd_, msg, wp, lp); }
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  HWND hwnd_ = nullptr;
};

// Labels: a text painted on the parent's background.
enum LabelStyle : DWORD { LabelLeft = 0, LabelCenter = 1, LabelRight = 2, LabelWordWrap = 4 };
HWND CreateLabel(HWND parent, const std::wstring& text, int x, int y, int w, int h, DWORD labelStyle = LabelLeft,
                 HFONT font = nullptr, COLORREF color = CLR_DEFAULT);
void SetLabelColor(HWND label, COLORREF color);
// Sets a window's text; with repaintNow the window is repainted before the call returns.
void SetText(HWND hwnd, const std::wstring& text, bool repaintNow = true);
std::wstring GetText(HWND hwnd);
void SetVisible(HWND hwnd, bool visible);
bool IsShown(HWND hwnd);  // the window's own visible flag

// Picture buttons: one picture of an image list, raised by one while the mouse is over the
// button; a click sends WM_COMMAND/BN_CLICKED to the parent; the hint is the window text.
HWND CreatePictureButton(HWND parent, int id, HIMAGELIST images, int index, const std::wstring& hint, int x, int y,
                         int w, int h);
int PictureButtonShownIndex(HWND button);
void ClickButton(HWND button);  // as a click of the mouse: nothing when disabled

// An image list of 32x32 pictures cut from a strip, each masked by its own top-left pixel colour.
HIMAGELIST LoadMaskedStrip(HINSTANCE instance, const wchar_t* bitmapName, int size);

HFONT MakeFont(const wchar_t* face, int pointSize, bool bold);
// Makes a report list's last column reach the list's right edge, so that no empty header is
// left beside it (call again once the rows are in: a scroll bar may have come or gone).
void FitLastColumn(HWND list);
HFONT DefaultFont();

}  // namespace dorvex::ui
