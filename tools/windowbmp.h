// A window as it stands on the screen, saved as a 24-bit BMP file: shared by the screenshot
// tools and the tests that take pictures of their forms.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace dorvex::tools {

// Saves the window's screen rectangle; false when the file cannot be written, or when
// requireDrawn holds and the picture is of one colour only (nothing was drawn).
inline bool SaveWindowBmp(HWND window, const std::wstring& path, bool requireDrawn = false) {
  RECT rc;
  GetWindowRect(window, &rc);
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY | CAPTUREBLT);
  GdiFlush();
  const int stride = ((w * 3 + 3) / 4) * 4;
  bool drawn = !requireDrawn;
  const auto* p = static_cast<const unsigned char*>(bits);
  for (int i = 3; p && i < stride * h && !drawn; i += 3) drawn = p[i] != p[0] || p[i + 1] != p[1];
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + static_cast<DWORD>(stride * h);
  FILE* f = _wfopen(path.c_str(), L"wb");
  const bool written = f != nullptr;
  if (f) {
    fwrite(&fh, sizeof fh, 1, f);
    fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
    fwrite(bits, 1, static_cast<size_t>(stride) * h, f);
    fclose(f);
  }
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return written && drawn;
}

}  // namespace dorvex::tools
