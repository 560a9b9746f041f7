#include "settings/programs.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/inifile.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "test_util.h"
#include "upgrade/catalogue.h"
#include "upgrade/controllers.h"

using namespace dorvex;

namespace {
void WriteSettings(const std::wstring& content) { test::WriteBytes(SettingsFileName(), WideToAnsi(content)); }

std::unique_ptr<TProgramList> FreshList() {
  auto list = std::make_unique<TProgramList>();
  AddCatalogueRows(*list);
  return list;
}

struct Messages {
  std::vector<std::wstring> texts;
  MessageHandler Handler() {
    return [this](void*, const std::wstring& t) { texts.push_back(t); };
  }
};
}  // namespace

TEST(Catalogue, FifteenRowsInTheirOrder) {
  auto list = FreshList();
  ASSERT_EQ(list->Count(), 15);
  std::vector<std::wstring> ids;
  for (const auto& p : *list) ids.push_back(p->ProgramID);
  EXPECT_EQ(ids, (std::vector<std::wstring>{L"Buh", L"Sklad", L"Kadry", L"Bank", L"Nalog", L"Lavik", L"Mek", L"Vosta",
                                            L"DBuh", L"DSklad", L"DKadry", L"DKassa", L"Kassa", L"Torg", L"Tesk"}));
  const TProgram& tesk = list->Items(14);
  EXPECT_EQ(tesk.Title, L"Теск");
  EXPECT_EQ(tesk.ExeName, L"Tesk32.exe");
  EXPECT_EQ(tesk.UpgradeExeName, L"UPGRADE.EXE");
  EXPECT_TRUE(tesk.UpgradeInExeDir);
  EXPECT_NE(dynamic_cast<TTeskVersionController*>(tesk.Controller.get()), nullptr);
  EXPECT_NE(dynamic_cast<TDosVersionController*>(list->Items(5).Controller.get()), nullptr);
  EXPECT_NE(dynamic_cast<TCorvendVersionController*>(list->Items(13).Controller.get()), nullptr);
  EXPECT_EQ(list->Items(13).UpgradeExeName, L"CvUpg2.exe");
  for (const auto& p : *list) {
    EXPECT_EQ(p->RevisionKey, p->ProgramID);  // no row gives a key of its own
    EXPECT_FALSE(p->Active);
    EXPECT_EQ(p->VirtualVersion, 0.0);
    if (p->ProgramID != L"Tesk") {
      EXPECT_FALSE(p->UpgradeInExeDir);
    }
  }
  EXPECT_EQ(list->FindByID(L"sKLAD"), &list->Items(1));
  EXPECT_EQ(list->FindByID(L"Склад"), nullptr);
  EXPECT_EQ(list->FindByID(L""), nullptr);
}

TEST(ProgramListFile, GapsDuplicatesUnknownIdsAndLoadOnlyValues) {
  WriteSettings(
      L"[General]\r\nActiveProgramCount=5\r\n"
      L"[Program1]\r\nProgramID=sklad\r\nUpgradeExe=C:\\Upg\\\r\nExeDir=C:\\Old\\\r\nVirtualUpgrade=true\r\n"
      L"[Program3]\r\nProgramID=Nosuch\r\nExeDir=C:\\X\\\r\n"
      L"[Program4]\r\nProgramID=Tesk\r\nExeDir=C:\\T\\\r\nVirtualUpgrade=1\r\nVirtualVersion=7.5\r\n"
      L"[Program5]\r\nProgramID=Sklad\r\nExeDir=C:\\New\\\r\nVirtualUpgrade=01\r\nVirtualVersion=abc\r\n"
      L"[Program6]\r\nProgramID=Buh\r\nExeDir=C:\\Beyond\\\r\n");
  auto list = FreshList();
  list->LoadFromIni();
  EXPECT_EQ(list->ActiveCount(), 2);  // section 2 is missing, 3 is unknown, 6 is beyond the count
  TProgram* sklad = list->FindByID(L"Sklad");
  EXPECT_TRUE(sklad->Active);
  EXPECT_EQ(sklad->ExeDir, L"C:\\New\\");  // the later section wins
  EXPECT_EQ(sklad->UpgradeDir, L"");
  EXPECT_FALSE(sklad->VirtualUpgrade);     // only the text "1" turns it on
  EXPECT_EQ(sklad->VirtualVersion, 0.0);
  TProgram* tesk = list->FindByID(L"Tesk");
  EXPECT_TRUE(tesk->VirtualUpgrade);
  EXPECT_DOUBLE_EQ(tesk->VirtualVersion, 7.5);
  EXPECT_FALSE(list->FindByID(L"Buh")->Active);

  // Saving writes the active ones in catalogue order, numbered from 1, and drops the rest.
  list->SaveToIni();
  TIniFile ini(SettingsFileName());
  EXPECT_EQ(ini.ReadInteger(L"General", L"ActiveProgramCount", -1), 2);
  EXPECT_EQ(ini.ReadString(L"Program1", L"ProgramID", L""), L"Sklad");
  EXPECT_EQ(ini.ReadString(L"Program1", L"VirtualUpgrade", L""), L"0");
  EXPECT_EQ(ini.ReadString(L"Program1", L"VirtualVersion", L""), L"0");
  EXPECT_EQ(ini.ReadString(L"Program2", L"ProgramID", L""), L"Tesk");
  EXPECT_EQ(ini.ReadString(L"Program2", L"VirtualVersion", L""), L"7.5");
  EXPECT_FALSE(ini.SectionExists(L"Program3"));
  EXPECT_FALSE(ini.SectionExists(L"Program4"));
  EXPECT_FALSE(ini.SectionExists(L"Program5"));
  EXPECT_TRUE(ini.SectionExists(L"Program6"));  // never counted, so never erased
}

TEST(ProgramListFile, DeactivatingAndSavingAgain) {
  WriteSettings(L"[General]\r\nActiveProgramCount=3\r\n[Program1]\r\nProgramID=Buh\r\n[Program2]\r\nProgramID=Mek\r\n"
                L"ExeDir=D:\\MEK\\BIN\\\r\n[Program3]\r\nProgramID=Tesk\r\nVirtualUpgrade=1\r\nVirtualVersion=512\r\n");
  auto list = FreshList();
  list->LoadFromIni();
  ASSERT_EQ(list->ActiveCount(), 3);
  list->Items(0).Active = false;
  list->SaveToIni();
  TIniFile ini(SettingsFileName());
  EXPECT_EQ(ini.ReadInteger(L"General", L"ActiveProgramCount", -1), 2);
  EXPECT_EQ(ini.ReadString(L"Program1", L"ProgramID", L""), L"Mek");
  EXPECT_EQ(ini.ReadString(L"Program1", L"ExeDir", L""), L"D:\\MEK\\BIN\\");
  EXPECT_EQ(ini.ReadString(L"Program2", L"ProgramID", L""), L"Tesk");
  EXPECT_EQ(ini.ReadString(L"Program2", L"VirtualVersion", L""), L"512");
  EXPECT_FALSE(ini.SectionExists(L"Program3"));
  // The keys stand in their order.
  std::string bytes = test::ReadBytes(SettingsFileName());
  size_t at = bytes.find("[Program2]");
  EXPECT_LT(bytes.find("ProgramID", at), bytes.find("UpgradeExe", at));
  EXPECT_LT(bytes.find("UpgradeExe", at), bytes.find("ExeDir", at));
  EXPECT_LT(bytes.find("ExeDir", at), bytes.find("VirtualUpgrade", at));
  EXPECT_LT(bytes.find("VirtualUpgrade", at), bytes.find("VirtualVersion", at));
}

TEST(ProgramListFile, AFractionalVersionSurvivesUnderACommaLocale) {
  ASSERT_EQ(DecimalSeparator(), L",");
  WriteSettings(L"");
  auto list = FreshList();
  TProgram& p = *list->FindByID(L"Kadry");
  p.Active = true;
  p.VirtualUpgrade = true;
  p.VirtualVersion = 412.25;
  list->SaveToIni();
  EXPECT_EQ(TIniFile(SettingsFileName()).ReadString(L"Program1", L"VirtualVersion", L""), L"412.25");
  auto again = FreshList();
  again->LoadFromIni();
  EXPECT_DOUBLE_EQ(again->FindByID(L"Kadry")->VirtualVersion, 412.25);
  // A value written by hand with the locale's comma reads the same.
  WriteSettings(L"[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\nVirtualVersion=3,5\r\n");
  auto third = FreshList();
  third->LoadFromIni();
  EXPECT_DOUBLE_EQ(third->FindByID(L"Kadry")->VirtualVersion, 3.5);
}

TEST(ProgramChecks, PathsInTheirOrderWithTheirMessages) {
  test::ScratchDir dir(L"paths");
  auto list = FreshList();
  TProgram& p = *list->FindByID(L"Buh");
  Messages m;
  p.OnMessage = m.Handler();
  auto check = [&] {
    m.texts.clear();
    bool ok = p.CheckPaths();
    return ok ? std::wstring(L"ok") : (m.texts.empty() ? L"(silent)" : m.texts.back());
  };
  const std::wstring pre = L"Программа Корвенд-Бухгалтерия: ";
  EXPECT_EQ(check(), pre + L"Не указан каталог, где находится исполняемый файл программы.");
  p.ExeDir = dir / L"missing\\";
  EXPECT_EQ(check(), pre + L"Не найден каталог (" + p.ExeDir + L") с исполняемым файлом программы.");
  p.ExeDir = dir.Path();
  EXPECT_EQ(check(), pre + L"В каталоге (" + p.ExeDir + L"), не найден исполняемый файл программы (CvBuh.exe).");
  test::WriteBytes(dir / L"CvBuh.exe", "MZ");
  EXPECT_EQ(check(), pre + L"Не указан каталог, где находится программа обновления.");
  p.UpgradeDir = dir / L"upg\\";
  EXPECT_EQ(check(), pre + L"Не найден каталог (" + p.UpgradeDir + L") с программой обновления.");
  CreateDirectoryW(p.UpgradeDir.c_str(), nullptr);
  EXPECT_EQ(check(), pre + L"В каталоге (" + p.UpgradeDir + L"), не найдена программа обновления (CvUpgrade.exe).");
  test::WriteBytes(p.UpgradeDir + L"CvUpgrade.exe", "MZ");
  EXPECT_EQ(check(), L"ok");

  // Load only: the version decides, the paths are not looked at.
  p.VirtualUpgrade = true;
  p.ExeDir.clear();
  EXPECT_EQ(check(), pre + L"Не указан номер текущей версии программы, для которой необходимо доставлять обновления.");
  p.VirtualVersion = 3;
  EXPECT_EQ(check(), L"ok");
}

TEST(ProgramChecks, TheThirdLineTakesItsUpgradeDirectoryFromTheProgram) {
  test::ScratchDir dir(L"tesk");
  auto list = FreshList();
  TProgram& p = *list->FindByID(L"Tesk");
  p.ExeDir = dir.Path();
  test::WriteBytes(dir / L"Tesk32.exe", "MZ");
  EXPECT_TRUE(p.CheckPaths());
  EXPECT_EQ(p.UpgradeDir, dir.Path());
}

TEST(ProgramChecks, ReadyNeedsAVersionAndTheProtocol) {
  test::ScratchDir dir(L"ready");
  auto list = FreshList();
  TProgram& p = *list->FindByID(L"Sklad");
  Messages m;
  p.OnMessage = m.Handler();
  p.ExeDir = dir.Path();
  EXPECT_FALSE(p.CheckReady());
  EXPECT_EQ(m.texts.back(), L"Программа Корвенд-Склад: Нельзя определить версию программы «Корвенд-Склад» (файл " +
                                dir.Path() + L"CvSklad.exe). Файл не найден или недоступен.");

  struct Refusing : TProgramProtocol {
    TProgram& owner;
    explicit Refusing(TProgram& o) : owner(o) {}
    bool CheckSettings() override {
      owner.ReportMessage(this, L"протокол не настроен");
      return false;
    }
    void SetSizeHandler(SizeHandler) override {}
  };
  p.Controller->Version = 412;
  p.AttachProtocol([](TProgram& o) -> std::unique_ptr<TProgramProtocol> { return std::make_unique<Refusing>(o); },
                   nullptr);
  m.texts.clear();
  EXPECT_FALSE(p.CheckReady());
  EXPECT_EQ(m.texts, (std::vector<std::wstring>{L"Программа Корвенд-Склад: протокол не настроен"}));
  p.AttachProtocol(nullptr, nullptr);
  EXPECT_EQ(p.Protocol, nullptr);
  m.texts.clear();
  EXPECT_FALSE(p.CheckReady());  // now the paths speak
  EXPECT_NE(m.texts.back().find(L"не найден исполняемый файл программы (CvSklad.exe)"), std::wstring::npos);
}

TEST(ProgramReports, PrefixAndTheInformationalMarker) {
  auto list = FreshList();
  TProgram& p = *list->FindByID(L"Vosta");
  std::vector<std::pair<void*, std::wstring>> got;
  p.OnMessage = [&](void* s, const std::wstring& t) { got.emplace_back(s, t); };
  int sender = 0;
  p.ReportMessage(&sender, L"нет файла");
  p.ReportMessage(&sender, L"\x01Обновлено");
  p.ReportMessage(nullptr, L"");
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].first, &sender);
  EXPECT_EQ(got[0].second, L"Программа Воста: нет файла");
  EXPECT_EQ(got[1].second, L"\x01Обновлено");
  EXPECT_EQ(got[2].second, L"");
  EXPECT_EQ(p.LastError, L"");
  p.OnMessage = nullptr;
  p.ReportMessage(nullptr, L"тихо");  // no receiver: only kept
  EXPECT_EQ(p.LastError, L"Программа Воста: тихо");
}

TEST(ProgramAssign, CopiesTheUsersPartAndMakesItsOwnObjects) {
  auto list = FreshList();
  TProgram& src = *list->FindByID(L"Lavik");
  src.Active = true;
  src.ExeDir = L"C:\\LAVIK\\BIN\\";
  src.UpgradeDir = L"C:\\LAVIK\\UPG\\";
  src.VirtualUpgrade = true;
  src.VirtualVersion = 12;
  src.Repair = true;
  src.Downloaded = true;
  src.LastError = L"old";
  int calls = 0;
  src.OnMessage = [&](void*, const std::wstring&) { ++calls; };
  src.Controller->Version = 99;

  TProgram copy;
  copy.Assign(src);
  EXPECT_TRUE(copy.Active);
  EXPECT_EQ(copy.ProgramID, L"Lavik");
  EXPECT_EQ(copy.ExeDir, src.ExeDir);
  EXPECT_EQ(copy.UpgradeDir, src.UpgradeDir);
  EXPECT_EQ(copy.ExeName, L"LAVIK.EXE");
  EXPECT_TRUE(copy.VirtualUpgrade);
  EXPECT_EQ(copy.VirtualVersion, 12.0);
  EXPECT_TRUE(copy.Repair);
  EXPECT_FALSE(copy.Downloaded);
  EXPECT_EQ(copy.LastError, L"");
  ASSERT_NE(copy.Controller, nullptr);
  EXPECT_NE(copy.Controller.get(), src.Controller.get());
  EXPECT_EQ(&copy.Controller->Program, &copy);
  EXPECT_EQ(copy.Controller->Version, 0.0);
  EXPECT_NE(dynamic_cast<TDosVersionController*>(copy.Controller.get()), nullptr);
  copy.ReportMessage(nullptr, L"x");
  EXPECT_EQ(calls, 1);
}

TEST(ProgramList, ClearDownloadedAndActiveCount) {
  auto list = FreshList();
  list->Items(2).Downloaded = list->Items(7).Downloaded = true;
  list->Items(2).Active = true;
  list->ClearDownloaded();
  for (const auto& p : *list) EXPECT_FALSE(p->Downloaded);
  EXPECT_EQ(list->ActiveCount(), 1);
}

TEST(ProgramList, TheCatalogueIsBuiltOnceWithTheHooks) {
  WriteSettings(L"[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Bank\r\n");
  FreeProgramCatalogue();
  Messages m;
  BuildCatalogue(nullptr, nullptr, m.Handler());
  ASSERT_NE(ProgramCatalogue(), nullptr);
  TProgramList* first = ProgramCatalogue();
  EXPECT_EQ(first->ActiveCount(), 1);
  first->FindByID(L"Bank")->ReportMessage(nullptr, L"проверка");
  EXPECT_EQ(m.texts, (std::vector<std::wstring>{L"Программа Корвенд-Банк: проверка"}));
  BuildCatalogue(nullptr, nullptr, nullptr);
  EXPECT_EQ(ProgramCatalogue(), first);
  FreeProgramCatalogue();
  EXPECT_EQ(ProgramCatalogue(), nullptr);
}

TEST(ProgramListFile, AHugeCountReadsOnlyTheSectionsThatExist) {
  for (const wchar_t* count : {L"2000000000", L"2147483647"}) {
    WriteSettings(std::wstring(L"[General]\r\nActiveProgramCount=") + count +
                  L"\r\n[Program1]\r\nProgramID=Buh\r\n[Program2]\r\nProgramID=Tesk\r\n");
    auto list = FreshList();
    const DWORD start = GetTickCount();
    list->LoadFromIni();
    EXPECT_EQ(list->ActiveCount(), 2);
    EXPECT_TRUE(list->SaveToIni());
    EXPECT_LT(GetTickCount() - start, 20000u) << "the loops ran past the sections";
    TIniFile ini(SettingsFileName());
    EXPECT_EQ(ini.ReadInteger(L"General", L"ActiveProgramCount", -1), 2);
    EXPECT_EQ(ini.ReadString(L"Program2", L"ProgramID", L""), L"Tesk");
  }
}

TEST(ProgramListFile, ASettingsFileThatCannotBeWrittenIsReportedAndKeepsItsList) {
  WriteSettings(L"[General]\r\nActiveProgramCount=2\r\n[Program1]\r\nProgramID=Buh\r\n[Program2]\r\nProgramID=Tesk\r\n");
  auto list = FreshList();
  list->LoadFromIni();
  list->FindByID(L"Buh")->Active = false;
  const std::string before = test::ReadBytes(SettingsFileName());
  // Another program holds the file open for writing without sharing it.
  HANDLE held = CreateFileW(SettingsFileName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(list->SaveToIni());
  CloseHandle(held);
  EXPECT_EQ(test::ReadBytes(SettingsFileName()), before);
  auto again = FreshList();
  again->LoadFromIni();
  EXPECT_EQ(again->ActiveCount(), 2);
  EXPECT_TRUE(list->SaveToIni());  // once the file is free, the new list is written
  TIniFile ini(SettingsFileName());
  EXPECT_EQ(ini.ReadInteger(L"General", L"ActiveProgramCount", -1), 1);
  EXPECT_EQ(ini.ReadString(L"Program1", L"ProgramID", L""), L"Tesk");
  EXPECT_FALSE(ini.SectionExists(L"Program2"));
}
