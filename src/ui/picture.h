// Pictures: the first frame of a GIF image resource, decoded with giflib, and the main
// panel's background made from it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dorvex::ui {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // 0x00RRGGBB, top row first
};

// Decodes the first frame of a GIF held in memory; false when it is not a readable GIF.
bool DecodeGifFirstFrame(const void* data, size_t size, RgbImage& image);
// Loads a resource of type RT_RCDATA (or "GIF") by name and decodes it.
bool LoadGifResource(HINSTANCE instance, const wchar_t* name, RgbImage& image);

// A 32-bit picture of the given size: the image stretched to fit, then mixed half and half
// with the colour. Null when the size is empty.
HBITMAP MakeBlendedPicture(const RgbImage& image, int width, int height, COLORREF color);

// The panel colour: the face colour lightened toward the window colour.
COLORREF PanelColor();

}  // namespace dorvex::ui
