#include "common/text.h"

#include <gtest/gtest.h>

#include "common/clock.h"

using namespace dorvex;

TEST(Fmt, FillsDirectivesInOrder) {
  EXPECT_EQ(Fmt(L"Программа %s: %d шт. %%", std::wstring(L"Склад"), 3), L"Программа Склад: 3 шт. %");
  EXPECT_EQ(Fmt(L"%s-%s", L"a"), L"a-");  // a missing argument leaves its place empty
  EXPECT_EQ(Fmt(L"%q %d", 5), L"%q 5");   // an unknown directive stays as it is
  EXPECT_EQ(Fmt(L"50%"), L"50%");
}

TEST(Numbers, IntegersAsTheSettingsWriteThem) {
  int32_t v = 0;
  EXPECT_TRUE(TryParseInt(L"42", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(TryParseInt(L" -7 ", v));
  EXPECT_EQ(v, -7);
  EXPECT_TRUE(TryParseInt(L"0x1F", v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(TryParseInt(L"$ff", v));
  EXPECT_EQ(v, 255);
  EXPECT_FALSE(TryParseInt(L"", v));
  EXPECT_FALSE(TryParseInt(L"abc", v));
  EXPECT_FALSE(TryParseInt(L"12abc", v));
  EXPECT_FALSE(TryParseInt(L"0x", v));
  EXPECT_FALSE(TryParseInt(L"99999999999", v));
  EXPECT_EQ(ParseIntDef(L"2147483647", 0), 2147483647);
  EXPECT_EQ(ParseIntDef(L"2147483648", 5), 5);
  EXPECT_EQ(ParseIntDef(L"-2147483648", 5), INT32_MIN);
}

TEST(Numbers, RealsWithEitherSeparator) {
  double v = 0;
  EXPECT_TRUE(TryParseReal(L"412", v));
  EXPECT_DOUBLE_EQ(v, 412);
  EXPECT_TRUE(TryParseReal(L"7.5", v));
  EXPECT_DOUBLE_EQ(v, 7.5);
  EXPECT_TRUE(TryParseReal(L"7,25", v));
  EXPECT_DOUBLE_EQ(v, 7.25);
  EXPECT_FALSE(TryParseReal(L"5.12.0.345", v));
  EXPECT_FALSE(TryParseReal(L"", v));
  EXPECT_FALSE(TryParseReal(L"12abc", v));
}

TEST(Numbers, GroupedAndFixed) {
  const std::wstring sep = ThousandSeparator();
  EXPECT_EQ(FormatGrouped(0), L"0");
  EXPECT_EQ(FormatGrouped(999), L"999");
  EXPECT_EQ(FormatGrouped(1000), L"1" + sep + L"000");
  EXPECT_EQ(FormatGrouped(1234567), L"1" + sep + L"234" + sep + L"567");
  EXPECT_EQ(FormatGrouped(-12345), L"-12" + sep + L"345");
  EXPECT_EQ(FormatFixed(0.5, 3), L"0" + DecimalSeparator() + L"500");
}

TEST(DateTimes, EncodeDecodeAndPatterns) {
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 1, 1), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 1, 1, 12), 36526.5);
  TDateTime t = EncodeDateTime(2026, 3, 7, 14, 5, 9);
  DateTimeParts p = DecodeDateTime(t);
  EXPECT_EQ(p.year, 2026);
  EXPECT_EQ(p.month, 3);
  EXPECT_EQ(p.day, 7);
  EXPECT_EQ(p.hour, 14);
  EXPECT_EQ(p.minute, 5);
  EXPECT_EQ(p.second, 9);
  EXPECT_EQ(FormatDateTime(L"dd.mm.yyyy г. в hh:nn", t), L"07.03.2026 г. в 14:05");
  EXPECT_EQ(FormatDateTime(L"yyyy'\\'mm'\\'", t), L"2026\\03\\");
  EXPECT_EQ(FormatDateTime(L"ddhhnnss", t), L"07140509");
  EXPECT_EQ(FormatDateTime(L"d.m.yy", EncodeDateTime(2005, 1, 2)), L"2.1.05");
  // Just before midnight stays on its day.
  EXPECT_EQ(FormatDateTime(L"dd hh:nn:ss", EncodeDateTime(2026, 1, 1, 23, 59, 59, 999)), L"01 23:59:59");
}

TEST(Case, UpperAndSame) {
  EXPECT_TRUE(SameText(L"Vorel-Soft", L"VOREL-SOFT"));
  EXPECT_TRUE(SameText(L"склад", L"СКЛАД"));
  EXPECT_FALSE(SameText(L"склад", L"склады"));
  EXPECT_TRUE(StartsWithText(L"/conf:C:\\a.ini", L"/CONF:"));
  EXPECT_EQ(Trim(L"  a b \t"), L"a b");
  EXPECT_EQ(IncludeTrailingBackslash(L"D:\\Upgrades"), L"D:\\Upgrades\\");
  EXPECT_EQ(ExcludeTrailingBackslash(L"D:\\Upgrades\\"), L"D:\\Upgrades");
}

TEST(Conversions, AnsiIsCodePage1251) {
  EXPECT_EQ(WideToAnsi(L"Я"), std::string("\xDF"));
  EXPECT_EQ(AnsiToWide(std::string("\xFF")), L"я");
  EXPECT_EQ(Utf8ToWide(WideToUtf8(L"Доставка")), L"Доставка");
  EXPECT_FALSE(WindowsErrorText(2).empty());
}
