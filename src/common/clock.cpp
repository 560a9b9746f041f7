#include "common/clock.h"

#include <windows.h>

#include <cmath>
#include <string>

#include "common/text.h"

namespace dorvex {

namespace {
std::function<uint32_t()>& TickSource() {
  static std::function<uint32_t()> source;
  return source;
}
std::function<TDateTime()>& NowSourceRef() {
  static std::function<TDateTime()> source;
  return source;
}

// Days from 0001-01-01 (proleptic Gregorian) to the given date.
long long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe);  // days since 0000-03-01
}
const long long kEpoch = DaysFromCivil(1899, 12, 30);

void CivilFromDays(long long z, int& y, int& m, int& d) {
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}
}  // namespace

uint32_t TickCount() {
  if (TickSource()) return TickSource()();
  return GetTickCount();
}

TDateTime Now() {
  if (NowSourceRef()) return NowSourceRef()();
  SYSTEMTIME st;
  GetLocalTime(&st);
  return EncodeDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

void SetTickCountSource(std::function<uint32_t()> source) { TickSource() = std::move(source); }
void SetNowSource(std::function<TDateTime()> source) { NowSourceRef() = std::move(source); }

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int ms) {
  double days = static_cast<double>(DaysFromCivil(year, month, day) - kEpoch);
  double frac = (hour * 3600000.0 + minute * 60000.0 + second * 1000.0 + ms) / 86400000.0;
  return days + frac;  // times before 1899 are not used by this program
}

DateTimeParts DecodeDateTime(TDateTime value) {
  // Work in whole milliseconds so that 23:59:59.9996 does not show as 24:00:00.
  long long msTotal = std::llround(value * 86400000.0);
  long long days = msTotal >= 0 ? msTotal / 86400000 : -((-msTotal + 86399999) / 86400000);
  long long msOfDay = msTotal - days * 86400000;
  DateTimeParts p{};
  CivilFromDays(days + kEpoch, p.year, p.month, p.day);
  p.hour = static_cast<int>(msOfDay / 3600000);
  p.minute = static_cast<int>(msOfDay / 60000 % 60);
  p.second = static_cast<int>(msOfDay / 1000 % 60);
  p.millisecond = static_cast<int>(msOfDay % 1000);
  return p;
}

std::wstring FormatDateTime(const std::wstring& pattern, TDateTime value) {
  DateTimeParts p = DecodeDateTime(value);
  auto two = [](int v) {
    std::wstring s = std::to_wstring(v);
    return s.size() < 2 ? L"0" + s : s;
  };
  std::wstring out;
  for (size_t i = 0; i < pattern.size();) {
    wchar_t c = pattern[i];
    wchar_t lc = static_cast<wchar_t>(towlower(c));
    size_t run = 1;
    while (i + run < pattern.size() && towlower(pattern[i + run]) == lc) ++run;
    if (c == L'\'' || c == L'"') {
      size_t close = pattern.find(c, i + 1);
      if (close == std::wstring::npos) close = pattern.size();
      out += pattern.substr(i + 1, close - i - 1);
      i = close + 1;
      continue;
    }
    switch (lc) {
      case L'd': out += run >= 2 ? two(p.day) : std::to_wstring(p.day); break;
      case L'm': out += run >= 2 ? two(p.month) : std::to_wstring(p.month); break;
      case L'y': out += run >= 3 ? std::to_wstring(p.year) : two(p.year % 100); break;
      case L'h': out += run >= 2 ? two(p.hour) : std::to_wstring(p.hour); break;
      case L'n': out += run >= 2 ? two(p.minute) : std::to_wstring(p.minute); break;
      case L's': out += run >= 2 ? two(p.second) : std::to_wstring(p.second); break;
      case L':':
        for (size_t k = 0; k < run; ++k) out += TimeSeparator();
        break;
      default: out.append(pattern, i, run); break;
    }
    i += run;
  }
  return out;
}

}  // namespace dorvex
