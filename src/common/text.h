// Text helpers: conversions between UTF-16 and the Windows code pages, a small type-safe
// formatter for the program's "%s"/"%d" message patterns, trimming and case rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dorvex {

std::wstring AnsiToWide(const std::string& text, unsigned codePage = 0 /* CP_ACP */);
std::string WideToAnsi(const std::wstring& text, unsigned codePage = 0 /* CP_ACP */);
std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

// One argument of Fmt: whatever it was, it is kept as text.
class FmtArg {
 public:
  FmtArg(const std::wstring& s) : text_(s) {}
  FmtArg(const wchar_t* s) : text_(s ? s : L"") {}
  FmtArg(wchar_t c) : text_(1, c) {}
  FmtArg(int v) : text_(std::to_wstring(v)) {}
  FmtArg(long v) : text_(std::to_wstring(v)) {}
  FmtArg(unsigned v) : text_(std::to_wstring(v)) {}
  FmtArg(unsigned long v) : text_(std::to_wstring(v)) {}
  FmtArg(long long v) : text_(std::to_wstring(v)) {}
  FmtArg(unsigned long long v) : text_(std::to_wstring(v)) {}
  const std::wstring& Text() const { return text_; }

 private:
  std::wstring text_;
};

// Fills a pattern in the manner of the messages of this program: "%s", "%d", "%u" and "%x"
// take the next argument as it stands; "%%" is a percent sign. Missing arguments leave the
// directive empty, so a wrong count can never read past the arguments.
std::wstring FmtList(const std::wstring& pattern, const std::vector<FmtArg>& args);
template <typename... A>
std::wstring Fmt(const std::wstring& pattern, const A&... args) {
  return FmtList(pattern, std::vector<FmtArg>{FmtArg(args)...});
}

std::wstring Trim(const std::wstring& text);        // blanks and control characters
std::wstring TrimRight(const std::wstring& text);
std::wstring UpperCaseText(const std::wstring& text);  // the locale's upper case, я included
bool SameText(const std::wstring& a, const std::wstring& b);  // equal ignoring case
bool StartsWithText(const std::wstring& text, const std::wstring& prefix);  // ignoring case
bool EndsWith(const std::wstring& text, const std::wstring& tail);
std::wstring IncludeTrailingBackslash(const std::wstring& path);
std::wstring ExcludeTrailingBackslash(const std::wstring& path);

// Integers as the settings and INI files write them: decimal, or hexadecimal after "0x" or "$",
// with an optional sign. Anything else, or a value outside 32 bits, is not a number.
bool TryParseInt(const std::wstring& text, int32_t& value);
int32_t ParseIntDef(const std::wstring& text, int32_t def);

// A real number written either with a point or with the locale's decimal separator.
bool TryParseReal(const std::wstring& text, double& value);

// The locale's separators (user default locale).
std::wstring DecimalSeparator();
std::wstring ThousandSeparator();
std::wstring DateSeparator();
std::wstring TimeSeparator();

// "#,##0": a whole number with its digits grouped by the locale's thousands separator.
std::wstring FormatGrouped(long long value);
// A real in fixed notation with the given number of decimals and the locale's separator.
std::wstring FormatFixed(double value, int decimals);

// The system's text for a Windows error code, without the trailing line break.
std::wstring WindowsErrorText(unsigned long code);

}  // namespace dorvex
