#include "settings/encoding.h"

#include "common/routines.h"
#include "common/text.h"

namespace dorvex {

namespace {
bool Continuation(unsigned char c) {
  return c >= 0x80 && c <= 0xBF;
}
}  // namespace

bool LooksLikeUtf8(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return true;
  bool multiByte = false;
  const size_t n = bytes.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    // The lead byte says the length and the range its second byte may take (no overlong forms,
    // no surrogates, nothing above U+10FFFF).
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len > n) return false;
    const unsigned char second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < lo || second > hi) return false;
    for (size_t k = 2; k < len; ++k)
      if (!Continuation(static_cast<unsigned char>(bytes[i + k]))) return false;
    multiByte = true;
    i += len;
  }
  return multiByte;
}

std::wstring SettingsEncodingFault(const std::wstring& path) {
  std::string bytes;
  if (!FileExists(path) || !ReadFileBytes(path, bytes)) return L"";
  if (!LooksLikeUtf8(bytes)) return L"";
  return Fmt(
      L"Файл настроек %s сохранен в кодировке UTF-8 и не прочитан: русские названия и пути в нем были бы "
      L"искажены. Сохраните его в кодировке Windows-1251 (кириллица, ANSI) и запустите программу снова.",
      path);
}

}  // namespace dorvex
