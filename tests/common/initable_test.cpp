#include "common/initable.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/inifile.h"
#include "common/text.h"
#include "test_util.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
// Every name and key the table knows, and a few it does not, asked of both the table and the
// system's profile functions on the same file: the answers must be the same.
void CompareWithProfile(const std::string& bytes, const std::vector<std::wstring>& extraSections,
                        const std::vector<std::wstring>& extraKeys) {
  ScratchDir dir(L"ini");
  const std::wstring path = dir / L"map.nrm";
  test::WriteBytes(path, bytes);
  TIniFile profile(path);
  TIniTable table;
  ASSERT_TRUE(table.LoadFromFile(path));

  const std::string where = "file: " + bytes;
  EXPECT_EQ(table.ReadSections(), profile.ReadSections()) << where;

  std::vector<std::wstring> sections = profile.ReadSections();
  sections.insert(sections.end(), extraSections.begin(), extraSections.end());
  for (const auto& s : sections) {
    const std::string at = where + "\nsection: " + WideToUtf8(s);
    EXPECT_EQ(table.ReadSectionKeys(s), profile.ReadSectionKeys(s)) << at;
    EXPECT_EQ(table.SectionExists(s), profile.SectionExists(s)) << at;
    std::vector<std::wstring> keys = profile.ReadSectionKeys(s);
    keys.insert(keys.end(), extraKeys.begin(), extraKeys.end());
    for (const auto& k : keys) {
      const std::string atKey = at + " key: " + WideToUtf8(k);
      EXPECT_EQ(table.ReadString(s, k, L"деф"), profile.ReadString(s, k, L"деф")) << atKey;
      EXPECT_EQ(table.ReadInteger(s, k, -7), profile.ReadInteger(s, k, -7)) << atKey;
      EXPECT_EQ(table.ReadBool(s, k, true), profile.ReadBool(s, k, true)) << atKey;
      EXPECT_EQ(table.ValueExists(s, k), profile.ValueExists(s, k)) << atKey;
    }
  }
}
}  // namespace

TEST(IniTable, AnswersAsTheProfileFunctionsOnAwkwardMaps) {
  const std::vector<std::wstring> sections = {L"12", L" 12 ", L"13", L"missing", L"ШАГ", L"шаг", L"", L"Step A"};
  const std::vector<std::wstring> keys = {L"Count", L"count", L" COUNT ", L"Dir", L"FileName1", L"filesize1",
                                          L"Stop",  L"nokey", L"Имя",     L"",    L";comment"};
  // Duplicate sections and keys: the first of each name wins; the second section's own keys are
  // not seen through the name.
  CompareWithProfile("[12]\r\nCount=2\r\nCount=5\r\nFileName1=a.dll\r\n[13]\r\nDir=x\r\n[12]\r\nCount=9\r\n"
                     "FileSize1=100\r\n[13]\r\nStop=1\r\n",
                     sections, keys);
  // Blanks around names and values, tabs, blank lines, comments, lines without "=", empty values.
  CompareWithProfile("\r\n  ; a comment\r\n[12]\r\n\t Count \t=\t 3 \t\r\n; Count=8\r\nDir\r\nFileName1=\r\n"
                     "FileSize1 = 0x10\r\nStop= 0X1F \r\n\r\n   [13]   \r\nCount=abc\r\nFileSize1=12abc\r\nStop=-1\r\n"
                     "Dir = \"quoted dir\" \r\nFileName1='one'\r\nFileName2=\"half\r\n",
                     sections, keys);
  // Keys before any section, a header without its bracket, brackets inside a name, bare LF
  // and bare CR line ends, a DOS end-of-file mark, big and hexadecimal numbers.
  CompareWithProfile("Count=4\n[12\nCount=5\n[Step A]]\rCount=6\r[13]\nCount=2147483647\nFileSize1=2147483648\n"
                     "FileSize2=0xFFFFFFFF\nFileSize3=+7\nFileSize4=$10\nFileSize5= -0 \n\x1a",
                     sections, keys);
  // Cyrillic section, key and value names in the ANSI code page, compared without case.
  CompareWithProfile(WideToAnsi(L"[ШАГ]\r\nИмя=Значение\r\nимя=второе\r\n[шаг]\r\nCount=3\r\n[12]\r\nDir=Обновления\\12\r\n"),
                     sections, keys);
  // A space inside the brackets belongs to the name.
  CompareWithProfile("[ 12 ]\r\nCount=1\r\n[12]\r\nCount=2\r\n", sections, keys);
}

TEST(IniTable, UniqueSectionsAndWritingInOneGo) {
  TIniTable table;
  table.LoadFromText(L"[12]\r\nCount=1\r\n[13]\r\n[12]\r\nCount=2\r\n[13]\r\n[14-15]\r\n");
  EXPECT_EQ(table.ReadSections(), (std::vector<std::wstring>{L"12", L"13", L"12", L"13", L"14-15"}));
  EXPECT_EQ(table.UniqueSections(), (std::vector<std::wstring>{L"12", L"13", L"14-15"}));

  // A table written once reads back through the profile functions as it was built.
  ScratchDir dir(L"ini");
  TIniTable built;
  built.WriteString(L"14-15", L"Dir", L"Склад\\14-15\\");
  built.WriteInteger(L"14-15", L"Count", 2);
  built.WriteString(L"14-15", L"FileName1", L"Акт.dll");
  built.WriteInteger(L"14-15", L"FileSize1", 3000000000LL);
  built.WriteString(L"13", L"Dir", L"x");
  built.WriteString(L"14-15", L"dir", L"Склад\\15\\");  // the same key, other case: replaced
  ASSERT_TRUE(built.SaveToFile(dir / L"built.nrm"));
  TIniFile profile(dir / L"built.nrm");
  EXPECT_EQ(profile.ReadSections(), (std::vector<std::wstring>{L"14-15", L"13"}));
  EXPECT_EQ(profile.ReadString(L"14-15", L"Dir", L""), L"Склад\\15\\");
  EXPECT_EQ(profile.ReadString(L"14-15", L"FileName1", L""), L"Акт.dll");
  EXPECT_EQ(profile.ReadString(L"14-15", L"FileSize1", L""), L"3000000000");
  EXPECT_EQ(test::ReadBytes(dir / L"built.nrm").substr(0, 7), "[14-15]");

  // A section with an empty name keeps its own keys when the table is written and read again.
  TIniTable empty;
  empty.LoadFromText(L"[12]\r\nCount=1\r\n[]\r\nCount=2\r\nStop=1\r\n");
  TIniTable reread;
  reread.LoadFromText(empty.Text());
  EXPECT_EQ(reread.ReadString(L"12", L"Count", L""), L"1");
  EXPECT_EQ(reread.ReadString(L"12", L"Stop", L"none"), L"none");
  EXPECT_EQ(reread.Sections().size(), 3u);

  // A file that cannot be written is reported, and nothing half-written is left.
  CreateDirectoryW((dir / L"blocked").c_str(), nullptr);
  unsigned long error = 0;
  EXPECT_FALSE(built.SaveToFile(dir / L"blocked", &error));
  EXPECT_NE(error, 0u);
  TIniTable missing;
  EXPECT_FALSE(missing.LoadFromFile(dir / L"none.ini"));
  EXPECT_TRUE(missing.ReadSections().empty());
}
