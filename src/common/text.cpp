#include "common/text.h"

#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cwchar>

namespace dorvex {

std::wstring AnsiToWide(const std::string& text, unsigned codePage) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string WideToAnsi(const std::wstring& text, unsigned codePage) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

std::wstring Utf8ToWide(const std::string& text) { return AnsiToWide(text, CP_UTF8); }
std::string WideToUtf8(const std::wstring& text) { return WideToAnsi(text, CP_UTF8); }

std::wstring FmtList(const std::wstring& pattern, const std::vector<FmtArg>& args) {
  std::wstring out;
  out.reserve(pattern.size() + 32);
  size_t next = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    wchar_t c = pattern[i];
    if (c == L'%' && i + 1 < pattern.size()) {
      wchar_t d = pattern[i + 1];
      if (d == L'%') {
        out += L'%';
        ++i;
        continue;
      }
      if (d == L's' || d == L'd' || d == L'u' || d == L'x') {
        if (next < args.size()) out += args[next].Text();
        ++next;
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

static bool IsBlank(wchar_t c) { return c <= L' '; }

std::wstring Trim(const std::wstring& text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::wstring TrimRight(const std::wstring& text) {
  size_t e = text.size();
  while (e > 0 && IsBlank(text[e - 1])) --e;
  return text.substr(0, e);
}

std::wstring UpperCaseText(const std::wstring& text) {
  std::wstring out = text;
  for (auto& c : out)
    if (c == L'я') c = L'Я';
  if (!out.empty()) CharUpperBuffW(out.data(), static_cast<DWORD>(out.size()));
  return out;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

bool StartsWithText(const std::wstring& text, const std::wstring& prefix) {
  if (prefix.size() > text.size()) return false;
  return SameText(text.substr(0, prefix.size()), prefix);
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::wstring IncludeTrailingBackslash(const std::wstring& path) {
  if (!path.empty() && path.back() == L'\\') return path;
  return path + L'\\';
}

std::wstring ExcludeTrailingBackslash(const std::wstring& path) {
  if (!path.empty() && path.back() == L'\\') return path.substr(0, path.size() - 1);
  return path;
}

bool TryParseInt(const std::wstring& raw, int32_t& value) {
  std::wstring t = Trim(raw);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == L'+' || t[i] == L'-')) negative = t[i++] == L'-';
  int base = 10;
  if (i + 1 < t.size() && t[i] == L'0' && (t[i + 1] == L'x' || t[i + 1] == L'X')) {
    base = 16;
    i += 2;
  } else if (i < t.size() && t[i] == L'$') {
    base = 16;
    ++i;
  }
  if (i >= t.size()) return false;
  long long acc = 0;
  for (; i < t.size(); ++i) {
    wchar_t c = t[i];
    int digit;
    if (c >= L'0' && c <= L'9') digit = c - L'0';
    else if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
    else if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
    else return false;
    acc = acc * base + digit;
    if (acc > 0xFFFFFFFFLL) return false;
  }
  if (base == 16 && !negative) {
    value = static_cast<int32_t>(static_cast<uint32_t>(acc));  // 0xFFFFFFFF is -1, as 32-bit hex reads
    return true;
  }
  if (negative) acc = -acc;
  if (acc < INT32_MIN || acc > INT32_MAX) return false;
  value = static_cast<int32_t>(acc);
  return true;
}

int32_t ParseIntDef(const std::wstring& text, int32_t def) {
  int32_t v;
  return TryParseInt(text, v) ? v : def;
}

bool TryParseReal(const std::wstring& raw, double& value) {
  std::wstring t = Trim(raw);
  if (t.empty()) return false;
  std::wstring sep = DecimalSeparator();
  std::string a;
  for (size_t i = 0; i < t.size(); ++i) {
    wchar_t c = t[i];
    if (!sep.empty() && t.compare(i, sep.size(), sep) == 0) {
      a += '.';
      i += sep.size() - 1;
    } else if (c == L'.' || c == L',') {
      a += '.';
    } else if ((c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'e' || c == L'E') {
      a += static_cast<char>(c);
    } else {
      return false;
    }
  }
  char* end = nullptr;
  double v = std::strtod(a.c_str(), &end);
  if (end == a.c_str() || *end != '\0' || !std::isfinite(v)) return false;
  value = v;
  return true;
}

static std::wstring LocaleItem(LCTYPE item, const wchar_t* fallback) {
  wchar_t buf[16];
  int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, item, buf, 16);
  if (n <= 1) return fallback;
  return std::wstring(buf, static_cast<size_t>(n - 1));
}

std::wstring DecimalSeparator() { return LocaleItem(LOCALE_SDECIMAL, L"."); }
std::wstring ThousandSeparator() { return LocaleItem(LOCALE_STHOUSAND, L","); }
std::wstring DateSeparator() { return LocaleItem(LOCALE_SDATE, L"."); }
std::wstring TimeSeparator() { return LocaleItem(LOCALE_STIME, L":"); }

std::wstring FormatGrouped(long long value) {
  std::wstring digits = std::to_wstring(value < 0 ? -value : value);
  std::wstring sep = ThousandSeparator();
  std::wstring out;
  int count = 0;
  for (size_t i = digits.size(); i-- > 0;) {
    out.insert(0, 1, digits[i]);
    if (++count % 3 == 0 && i > 0) out.insert(0, sep);
  }
  if (value < 0) out.insert(0, 1, L'-');
  return out;
}

std::wstring FormatFixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  std::wstring out = AnsiToWide(buf, CP_ACP);
  size_t dot = out.find(L'.');
  if (dot != std::wstring::npos) out.replace(dot, 1, DecimalSeparator());
  return out;
}

std::wstring WindowsErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n && buffer) text.assign(buffer, n);
  if (buffer) LocalFree(buffer);
  text = TrimRight(text);
  if (text.empty()) text = Fmt(L"Системная ошибка %d", static_cast<long long>(code));
  return text;
}

}  // namespace dorvex
