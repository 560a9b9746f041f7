#include "upgrade/chain.h"

#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "test_util.h"
#include "upgrade/catalogue.h"

using namespace dorvex;

namespace {
struct MapCase {
  test::ScratchDir dir{L"map"};
  TProgramList list;
  TProgram* p;
  std::vector<std::wstring> messages, steps;
  explicit MapCase(const std::wstring& id = L"Sklad") {
    AddCatalogueRows(list);
    p = list.FindByID(id);
    p->OnMessage = [this](void*, const std::wstring& t) { messages.push_back(t); };
  }
  std::wstring MapPath() const { return dir / L"Sklad.nrm"; }
  void Map(const std::wstring& text) { test::WriteBytes(MapPath(), WideToAnsi(text)); }
  MapAnalysis Analyse(double version) {
    p->Controller->Version = version;
    messages.clear();
    return AnalyseUpgradeMap(*p->Controller, MapPath(), steps);
  }
};
const std::wstring kThreeSteps = L"[12]\r\nCount=0\r\n[13]\r\nCount=0\r\n[14]\r\nCount=0\r\n";
}  // namespace

TEST(StepNames, PlainAndRanged) {
  auto check = [](const wchar_t* name, double from, double to) {
    VersionStep s = ParseStepName(name);
    EXPECT_EQ(s.From, from) << WideToUtf8(name);
    EXPECT_EQ(s.To, to) << WideToUtf8(name);
  };
  check(L"13", 12, 13);
  check(L" 13 ", 12, 13);
  check(L"1", 0, 1);
  check(L"0", 0, 0);
  check(L"1-9", 1, 9);
  check(L"5-9", 4, 9);
  check(L"0-9", 0, 9);
  check(L"abc", 0, 0);
  check(L"5-x", 4, 0);
  EXPECT_FALSE(ParseStepName(L"1").Usable());
  EXPECT_TRUE(ParseStepName(L"1-9").Usable());
  EXPECT_EQ(StepFromText(L"0412"), L"411");
  EXPECT_EQ(StepToText(L"10-0412"), L"412");
  EXPECT_EQ(StepTo(L"10-12"), 12.0);
  EXPECT_EQ(NumberText(7), L"7");
}

TEST(StepNames, TheWordSortPutsRangesAfterTheirNumbers) {
  std::vector<std::wstring> names = {L"1-9", L"12", L"10", L"11", L"1-13"};
  std::sort(names.begin(), names.end(), WordSortLess);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"10", L"11", L"1-13", L"12", L"1-9"}));
}

TEST(StepNames, SortingManyNamesAgreesWithTheWordSort) {
  std::vector<std::wstring> names = {L"1-9", L"12", L"10", L"11", L"1-13", L"9", L"0-5", L"100", L"1-100", L"10-11",
                                     L"beta", L"Beta", L"BETA", L"12", L"2-3", L"-", L"", L"1--2", L"Шаг", L"шаг",
                                     L"a-b", L"ab", L"a b", L"410", L"0410", L"4-10", L"41-0"};
  for (int i = 0; i < 300; ++i) {  // more, in a scrambled order
    const int a = (i * 37) % 113, b = (i * 61) % 97;
    names.push_back(i % 3 == 0 ? std::to_wstring(a) : i % 3 == 1 ? std::to_wstring(a) + L"-" + std::to_wstring(b)
                                                                 : std::to_wstring(b) + L"-" + std::to_wstring(a + b));
  }
  std::vector<std::wstring> expected = names;
  std::stable_sort(expected.begin(), expected.end(), WordSortLess);
  SortByWords(names);
  EXPECT_EQ(names, expected);
}

TEST(MapAnalysisTest, InstalledVersionAgainstThreeSteps) {
  MapCase c;
  c.Map(kThreeSteps);
  MapAnalysis r = c.Analyse(12);
  EXPECT_TRUE(r.Usable);
  EXPECT_TRUE(r.NeedsUpgrade);
  EXPECT_EQ(c.steps, (std::vector<std::wstring>{L"13", L"14"}));
  EXPECT_TRUE(c.messages.empty());

  r = c.Analyse(14);
  EXPECT_TRUE(r.Usable);
  EXPECT_FALSE(r.NeedsUpgrade);
  EXPECT_TRUE(c.steps.empty());
  EXPECT_EQ(c.messages, (std::vector<std::wstring>{L"\x01Версия программы «Корвенд-Склад» (#14), установленная на Вашем "
                                                   L"компьютере, не нуждается в обновлении. У Вас установлена последняя "
                                                   L"действующая версия"}));

  r = c.Analyse(15);
  EXPECT_FALSE(r.Usable);
  EXPECT_EQ(c.messages, (std::vector<std::wstring>{
                            L"Программа Корвенд-Склад: Версия программы «Корвенд-Склад» (#15), установленная на Вашем "
                            L"компьютере, не нуждается в обновлении. В настоящий момент доступны обновления только до "
                            L"версии #14. Обратитесь в отдел сопровождения Ворел-Софт или к Вашему региональному дилеру "
                            L"для получения разъяснений"}));

  r = c.Analyse(10);
  EXPECT_FALSE(r.Usable);
  EXPECT_EQ(c.messages, (std::vector<std::wstring>{
                            L"Программа Корвенд-Склад: Версия #10 программы «Корвенд-Склад», установленная на Вашем "
                            L"компьютере, устарела. В настоящий момент доступны обновления для программы версии не ниже "
                            L"#11 (до версии #14). Обратитесь в отдел сопровождения Ворел-Софт или к Вашему "
                            L"региональному дилеру для получения рекомендаций"}));
  r = c.Analyse(11);  // the lowest From itself is served
  EXPECT_TRUE(r.Usable);
  EXPECT_EQ(c.steps, (std::vector<std::wstring>{L"12", L"13", L"14"}));
}

TEST(MapAnalysisTest, LoadOnlyProgramsAreToldTheyHaveTheLatestFiles) {
  MapCase c;
  c.p->VirtualUpgrade = true;
  c.Map(kThreeSteps);
  c.Analyse(14);
  EXPECT_EQ(c.messages, (std::vector<std::wstring>{L"\x01Программа «Корвенд-Склад» (версия #14) не нуждается в загрузке "
                                                   L"обновлений. У Вас загружена последняя действующая версия"}));
}

TEST(MapAnalysisTest, GapsAndRotation) {
  MapCase c;
  c.Map(L"[12]\r\n[14]\r\n");
  EXPECT_FALSE(c.Analyse(11).Usable);
  EXPECT_EQ(c.messages, (std::vector<std::wstring>{L"Программа Корвенд-Склад: Обнаружено нарушение линейности версий. "
                                                   L"Нет файлов обновления с версии #12 до версии #13"}));

  c.Map(L"[10]\r\n[11]\r\n[12]\r\n[1-9]\r\n");
  MapAnalysis r = c.Analyse(5);
  EXPECT_TRUE(r.Usable);
  EXPECT_EQ(c.steps, (std::vector<std::wstring>{L"1-9", L"10", L"11", L"12"}));
  r = c.Analyse(9);
  EXPECT_EQ(c.steps, (std::vector<std::wstring>{L"10", L"11", L"12"}));
  // Chains the word order alone would scramble: names of two lengths, a cumulative step sorting first.
  const struct {
    const wchar_t* map;
    std::vector<std::wstring> steps;
    const wchar_t* message;
  } chains[] = {
      {L"[99]\r\n[100]\r\n[101]\r\n", {L"99", L"100", L"101"}, nullptr},
      {L"[1-412]\r\n[413]\r\n", {L"1-412", L"413"}, nullptr},
      {L"[98]\r\n[100]\r\n", {}, L"Программа Корвенд-Склад: Обнаружено нарушение линейности версий. Нет файлов "
                                   L"обновления с версии #98 до версии #99"},
  };
  for (const auto& row : chains) {
    c.Map(row.map);
    EXPECT_EQ(c.Analyse(98).Usable, row.message == nullptr) << row.map;
    EXPECT_EQ(c.steps, row.steps) << row.map;
    if (row.message) {
      EXPECT_EQ(c.messages, std::vector<std::wstring>{row.message}) << row.map;
    }
  }

  // The section that says what a signed map is for takes no place among the steps.
  c.Map(L"[MapInfo]\r\nProgramID=Sklad\r\nKind=Normal\r\nSerial=1\r\nExpires=2099-01-01\r\n[1-9]\r\n[10]\r\n");
  EXPECT_TRUE(c.Analyse(5).Usable);
  EXPECT_EQ(c.steps, (std::vector<std::wstring>{L"1-9", L"10"}));
}

TEST(MapAnalysisTest, MissingEmptyAndUselessMaps) {
  MapCase c;
  EXPECT_FALSE(c.Analyse(5).Usable);
  EXPECT_EQ(c.messages, (std::vector<std::wstring>{L"Программа Корвенд-Склад: Во временном каталоге отсутствует карта "
                                                   L"файлов обновлений на удаленном ресурсе"}));
  c.Map(L"; nothing here\r\n");
  EXPECT_FALSE(c.Analyse(5).Usable);
  EXPECT_EQ(c.messages, (std::vector<std::wstring>{
                            L"Программа Корвенд-Склад: Нельзя получить с сервера карту обновлений для программы «Корвенд-Склад»"}));
  c.Map(L"[1]\r\n[0-4]\r\n[readme]\r\n");
  EXPECT_FALSE(c.Analyse(5).Usable);
  EXPECT_EQ(c.messages, (std::vector<std::wstring>{L"Программа Корвенд-Склад: Карта файлов обновлений программы "
                                                   L"«Корвенд-Склад» не содержит ни одного пригодного шага обновления"}));
  EXPECT_TRUE(c.steps.empty());
}

TEST(MapAnalysisTest, StopVersions) {
  MapCase c;
  c.Map(L"[12]\r\n[13]\r\nStop=1\r\n[14]\r\nStop=1\r\n");
  EXPECT_TRUE(c.Analyse(12).Usable);
  EXPECT_EQ(c.p->Controller->StopVersion, 13.0);
  c.Map(L"[12]\r\nStop=0x1\r\n[13]\r\n[14]\r\n");
  EXPECT_TRUE(c.Analyse(13).Usable);
  EXPECT_EQ(c.p->Controller->StopVersion, 12.0);  // set although already installed
  EXPECT_EQ(c.steps, std::vector<std::wstring>{L"14"});
  c.Map(L"[12]\r\nStop=no\r\n[13]\r\n");
  c.Analyse(12);
  EXPECT_EQ(c.p->Controller->StopVersion, 0.0);
}

TEST(Purge, KeepsTheNewestStepAndNonSteps) {
  test::ScratchDir repo(L"purge");
  Settings().UpgradeFilesDir = repo.Path();
  Settings().DeleteOldFiles = true;
  TProgramList list;
  AddCatalogueRows(list);
  TProgram& p = *list.FindByID(L"Buh");
  for (const wchar_t* d : {L"Buh", L"Buh\\9", L"Buh\\12", L"Buh\\13", L"Buh\\repair", L"Buh\\repair\\5", L"Buh\\.keep",
                           L"Buh\\notes"})
    CreateDirectoryW((repo / d).c_str(), nullptr);
  test::WriteBytes(repo / L"Buh\\9\\a.dll", "a");
  test::WriteBytes(repo / L"Buh\\12\\a.dll", "a");
  test::WriteBytes(repo / L"Buh\\13\\a.dll", "a");
  CreateDirectoryW((repo / L"Buh\\12\\sub").c_str(), nullptr);  // not empty after the files go: stays

  Settings().DeleteOldFiles = false;
  PurgeOldVersionDirs(p, 13);
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\9\\a.dll"));

  Settings().DeleteOldFiles = true;
  PurgeOldVersionDirs(p, 13);
  EXPECT_FALSE(test::PathExists(repo / L"Buh\\9"));
  EXPECT_FALSE(test::PathExists(repo / L"Buh\\12\\a.dll"));
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\12\\sub"));
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\13\\a.dll"));  // "9" sorts last as text, but 13 is the newest
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\repair\\5"));
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\notes"));
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\.keep"));
  Settings() = TSettings{};
}

TEST(Purge, OnlyAppliedStepsGo) {
  // Installed 12, steps 13 and 14 fetched, 13 failed: nothing fetched is removed.
  test::ScratchDir repo(L"purge");
  Settings().UpgradeFilesDir = repo.Path();
  Settings().DeleteOldFiles = true;
  TProgramList list;
  AddCatalogueRows(list);
  TProgram& p = *list.FindByID(L"Buh");
  for (const wchar_t* d : {L"Buh", L"Buh\\11", L"Buh\\12", L"Buh\\13", L"Buh\\14"}) {
    CreateDirectoryW((repo / d).c_str(), nullptr);
    if (std::wstring(d) != L"Buh") test::WriteBytes(repo / d + L"\\a.dll", "a");
  }
  PurgeOldVersionDirs(p, 12);
  EXPECT_FALSE(test::PathExists(repo / L"Buh\\11"));
  EXPECT_FALSE(test::PathExists(repo / L"Buh\\12"));
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\13\\a.dll"));
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\14\\a.dll"));
  // Once 13 is applied its directory goes; the newest stays even when applied.
  PurgeOldVersionDirs(p, 14);
  EXPECT_FALSE(test::PathExists(repo / L"Buh\\13"));
  EXPECT_TRUE(test::PathExists(repo / L"Buh\\14\\a.dll"));
  Settings() = TSettings{};
}

TEST(MapAnalysisTest, ASectionWrittenTwiceIsOneStep) {
  MapCase c;
  c.Map(L"[13]\r\nCount=1\r\n[14]\r\n[13]\r\nStop=1\r\n");
  EXPECT_TRUE(c.Analyse(12).Usable);
  EXPECT_EQ(c.steps, (std::vector<std::wstring>{L"13", L"14"}));
}
