// The clock as the program reads it. Tests may replace the sources to pin a tick count or a
// time of day; the program itself never does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace dorvex {

using TDateTime = double;  // days since 30 December 1899; the fraction is the time of day

uint32_t TickCount();  // milliseconds since start-up
TDateTime Now();       // local time

void SetTickCountSource(std::function<uint32_t()> source);  // empty: the system's
void SetNowSource(std::function<TDateTime()> source);       // empty: the system's

struct DateTimeParts {
  int year, month, day, hour, minute, second, millisecond;
};
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);
DateTimeParts DecodeDateTime(TDateTime value);

// Formats a date-time with a pattern of the letters d, m, yy/yyyy, h, n, s (doubled for two
// digits); a ':' becomes the locale's time separator, text in single quotes stands as it is,
// every other character is copied.
std::wstring FormatDateTime(const std::wstring& pattern, TDateTime value);

}  // namespace dorvex
