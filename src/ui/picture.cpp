#include "ui/picture.h"

#include <cstring>

extern "C" {
#include <gif_lib.h>
}

namespace dorvex::ui {

namespace {
struct MemoryReader {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

int ReadFromMemory(GifFileType* gif, GifByteType* buffer, int length) {
  auto* r = static_cast<MemoryReader*>(gif->UserData);
  size_t left = r->size - r->pos;
  size_t n = static_cast<size_t>(length) < left ? static_cast<size_t>(length) : left;
  std::memcpy(buffer, r->data + r->pos, n);
  r->pos += n;
  return static_cast<int>(n);
}
}  // namespace

bool DecodeGifFirstFrame(const void* data, size_t size, RgbImage& image) {
  MemoryReader reader{static_cast<const uint8_t*>(data), size, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, ReadFromMemory, &error);
  if (!gif) return false;
  bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0 && gif->SWidth > 0 && gif->SHeight > 0;
  if (ok) {
    const SavedImage& frame = gif->SavedImages[0];
    const ColorMapObject* map = frame.ImageDesc.ColorMap ? frame.ImageDesc.ColorMap : gif->SColorMap;
    GraphicsControlBlock gcb{};
    gcb.TransparentColor = NO_TRANSPARENT_COLOR;
    DGifSavedExtensionToGCB(gif, 0, &gcb);
    if (!map) {
      ok = false;
    } else {
      image.width = gif->SWidth;
      image.height = gif->SHeight;
      uint32_t background = 0xFFFFFF;
      if (gif->SBackGroundColor < map->ColorCount) {
        const GifColorType& c = map->Colors[gif->SBackGroundColor];
        background = (uint32_t(c.Red) << 16) | (uint32_t(c.Green) << 8) | c.Blue;
      }
      image.pixels.assign(static_cast<size_t>(image.width) * image.height, background);
      const GifImageDesc& d = frame.ImageDesc;
      for (int y = 0; y < d.Height; ++y) {
        int ty = d.Top + y;
        if (ty < 0 || ty >= image.height) continue;
        for (int x = 0; x < d.Width; ++x) {
          int tx = d.Left + x;
          if (tx < 0 || tx >= image.width) continue;
          int index = frame.RasterBits[static_cast<size_t>(y) * d.Width + x];
          if (index == gcb.TransparentColor || index >= map->ColorCount) continue;
          const GifColorType& c = map->Colors[index];
          image.pixels[static_cast<size_t>(ty) * image.width + tx] = (uint32_t(c.Red) << 16) | (uint32_t(c.Green) << 8) | c.Blue;
        }
      }
    }
  }
  DGifCloseFile(gif, &error);
  return ok;
}

bool LoadGifResource(HINSTANCE instance, const wchar_t* name, RgbImage& image) {
  HRSRC res = FindResourceW(instance, name, L"GIF");
  if (!res) res = FindResourceW(instance, name, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!res) return false;
  HGLOBAL loaded = LoadResource(instance, res);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  DWORD size = SizeofResource(instance, res);
  return data && size && DecodeGifFirstFrame(data, size, image);
}

HBITMAP MakeBlendedPicture(const RgbImage& image, int width, int height, COLORREF color) {
  if (width <= 0 || height <= 0 || image.width <= 0 || image.height <= 0) return nullptr;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bmp) return nullptr;
  auto* out = static_cast<uint32_t*>(bits);
  const uint32_t cr = GetRValue(color), cg = GetGValue(color), cb = GetBValue(color);
  for (int y = 0; y < height; ++y) {
    int sy = static_cast<int>(static_cast<long long>(y) * image.height / height);
    for (int x = 0; x < width; ++x) {
      int sx = static_cast<int>(static_cast<long long>(x) * image.width / width);
      uint32_t p = image.pixels[static_cast<size_t>(sy) * image.width + sx];
      uint32_t r = ((p >> 16 & 0xFF) + cr) / 2, g = ((p >> 8 & 0xFF) + cg) / 2, b = ((p & 0xFF) + cb) / 2;
      out[static_cast<size_t>(y) * width + x] = (r << 16) | (g << 8) | b;
    }
  }
  return bmp;
}

COLORREF PanelColor() {
  COLORREF face = GetSysColor(COLOR_BTNFACE), window = GetSysColor(COLOR_WINDOW);
  return RGB((GetRValue(face) + 2 * GetRValue(window)) / 3, (GetGValue(face) + 2 * GetGValue(window)) / 3,
             (GetBValue(face) + 2 * GetBValue(window)) / 3);
}

}  // namespace dorvex::ui
