// The options dialog's dial-up page over the program's binding of the Remote Access Service,
// with the tests' own service library in place of the system's (its plan file sets what it
// answers).
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include "common/routines.h"
#include "common/text.h"
#include "dialogids.h"
#include "dialogs/optionsfrm.h"
#include "dialogs_util.h"
#include "settings/options.h"
#include "settings/rasapi.h"
#include "test_util.h"

using namespace dorvex;
using namespace dorvex::test;

namespace {
class RasPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadRasLibrary();
    ASSERT_TRUE(RasAvailable()) << "the tests' rasapi32.dll must lie beside this program";
    dir_ = std::make_unique<ScratchDir>(L"ras");
    SetEnvironmentVariableW(L"DORVEX_RAS_PLAN", (dir_->Path() + L"plan.ini").c_str());
    if (auto reset = reinterpret_cast<void(WINAPI*)()>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"rasapi32.dll"), "FakeRasReset"))))
      reset();
    PrepareSettings(L"[Common]\r\nUpgradeFilesDir=" + dir_->Path() +
                    L"\r\n[RAS]\r\nUse=1\r\nEntryName=провайдер\r\nHangUpAfterDownload=0\r\n");
  }
  void TearDown() override { SetEnvironmentVariableW(L"DORVEX_RAS_PLAN", nullptr); }
  void Plan(const std::wstring& keys) {
    WriteBytes(dir_->Path() + L"plan.ini", WideToAnsi(L"[Ras]\r\nLog=" + dir_->Path() + L"log.txt\r\n" + keys, 1251));
  }
  std::vector<std::wstring> RasRows(TOptionsForm& f) {
    std::vector<std::wstring> rows;
    HWND list = f.Item(IDC_RAS_LIST);
    for (int i = 0; i < ListView_GetItemCount(list); ++i) {
      wchar_t a[300] = L"", b[300] = L"";
      ListView_GetItemText(list, i, 0, a, 300);
      ListView_GetItemText(list, i, 1, b, 300);
      rows.push_back(std::wstring(a) + L"|" + b);
    }
    return rows;
  }
  static int RasSelection(TOptionsForm& f) { return ListView_GetNextItem(f.Item(IDC_RAS_LIST), -1, LVNI_SELECTED); }
  static void SelectRas(TOptionsForm& f, int row) {
    ListView_SetItemState(f.Item(IDC_RAS_LIST), -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    if (row >= 0) ListView_SetItemState(f.Item(IDC_RAS_LIST), row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED);
  }
  std::unique_ptr<ScratchDir> dir_;
};
}  // namespace

TEST_F(RasPageTest, EntriesTheStoredChoiceAndSaving) {
  Boxes boxes;
  Plan(L"Entries=Ростелеком|Провайдер||Резерв\r\nUserName=client042\r\n");
  const std::string before = SettingsBytes();
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    ASSERT_TRUE(f.RasChoiceShown());
    EXPECT_EQ(RasRows(f), (std::vector<std::wstring>{L"Ростелеком|client042", L"Провайдер|client042",
                                                     L"Резерв|client042"}));
    EXPECT_EQ(RasSelection(f), 1);  // the stored name, found ignoring case
    EXPECT_EQ(TextOf(f.Item(IDC_RAS_LABEL)),
              L"Если Вы хотите использовать удаленное соединение (через модем) с сервером обновлений, то поставьте "
              L"флажок и выберите соединение из списка доступных");
    EXPECT_TRUE(Checked(f.Item(IDC_RAS_USE)));
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_RAS_PROPS)));
    EXPECT_FALSE(Checked(f.Item(IDC_RAS_HANGUP)));
    Click(form, IDC_RAS_USE);
    EXPECT_FALSE(IsShownFlag(f.Item(IDC_RAS_LIST)));
    EXPECT_FALSE(IsShownFlag(f.Item(IDC_RAS_CREATE)));
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_RAS_HANGUP)));
    Click(form, IDC_RAS_USE);
    EXPECT_TRUE(IsShownFlag(f.Item(IDC_RAS_LIST)));
    // Ticked with no row chosen: refused, on its page, the list focused.
    SelectRas(f, -1);
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_RAS_PROPS)));
    f.SelectPage(TOptionsForm::CommonPage);
    Click(form, IDOK);
    EXPECT_TRUE(f.IsModal());
    EXPECT_EQ(boxes.Last(), L"Не указано наименование соединения для удаленного доступа.");
    EXPECT_EQ(f.ActivePage(), TOptionsForm::RasPage);
    EXPECT_EQ(GetFocus(), f.Item(IDC_RAS_LIST));
    EXPECT_EQ(SettingsBytes(), before);
    SelectRas(f, 2);
    Click(form, IDC_RAS_HANGUP);
    Click(form, IDOK);
  });
  ASSERT_EQ(f.ShowModal(nullptr), IDOK);
  const std::string b = SettingsBytes();
  EXPECT_EQ(IniValue(b, L"RAS", L"Use"), L"1");
  EXPECT_EQ(IniValue(b, L"RAS", L"EntryName"), L"Резерв");
  EXPECT_NE(b.find(WideToAnsi(L"EntryName=Резерв", 1251)), std::string::npos);
  EXPECT_EQ(IniValue(b, L"RAS", L"HangUpAfterDownload"), L"1");
}

TEST_F(RasPageTest, NotChosenWhenItCouldBeClearsTheKeys) {
  Plan(L"Entries=Ростелеком|Провайдер\r\n");
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    Click(form, IDC_RAS_USE);
    Click(form, IDOK);
  });
  ASSERT_EQ(f.ShowModal(nullptr), IDOK);
  const std::string b = SettingsBytes();
  EXPECT_EQ(IniValue(b, L"RAS", L"Use"), L"0");
  EXPECT_EQ(IniValue(b, L"RAS", L"EntryName"), L"");
  EXPECT_EQ(IniValue(b, L"RAS", L"HangUpAfterDownload"), L"0");
}

// A failed or empty listing with dial-up on in the settings: the box stays ticked and may only be
// cleared. Left ticked, the stored keys stay for the day the phone book answers again; cleared,
// dial-up is switched off.
TEST_F(RasPageTest, AFailedOrEmptyListingKeepsTheStoredKeysOrSwitchesThemOff) {
  struct Case {
    std::wstring plan, label;
    bool listShown, clear;
  };
  const std::wstring failed = L"Entries=a|b\r\nEntriesResult=619\r\nErrorText619=Порт был отключен\r\n";
  const std::wstring failedLabel =
      L"Программе не удалось определить список доступных соединений (произошла ошибка «Порт был отключен»)";
  const std::wstring empty = L"Entries=\r\n";
  const std::wstring emptyLabel =
      L"Список соединений удаленного доступа пуст. Добавьте новое соединение и повторите выбор.";
  const Case cases[] = {
      {failed, failedLabel, false, false},
      {empty, emptyLabel, true, false},
      {failed, failedLabel, false, true},
      {empty, emptyLabel, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label + (c.clear ? L" cleared" : L" kept"));
    PrepareSettings(L"[Common]\r\nUpgradeFilesDir=" + dir_->Path() +
                    L"\r\n[RAS]\r\nUse=1\r\nEntryName=Модем\r\nHangUpAfterDownload=1\r\n");
    Plan(c.plan);
    TOptionsForm f;
    ModalScript script;
    script.Then([&](HWND form) {
      EXPECT_TRUE(f.RasChoiceShown());
      EXPECT_EQ(TextOf(f.Item(IDC_RAS_LABEL)), c.label);
      EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_RAS_USE)));
      EXPECT_TRUE(Checked(f.Item(IDC_RAS_USE)));
      EXPECT_EQ(IsShownFlag(f.Item(IDC_RAS_LIST)), c.listShown);
      EXPECT_EQ(IsShownFlag(f.Item(IDC_RAS_PROPS)), c.listShown);
      EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_RAS_PROPS)));
      EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_RAS_HANGUP)));
      if (c.clear) {
        Click(form, IDC_RAS_USE);
        EXPECT_FALSE(Checked(f.Item(IDC_RAS_USE)));
        EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_RAS_USE)));  // nothing to tick it for again
      }
      Click(form, IDOK);
    });
    ASSERT_EQ(f.ShowModal(nullptr), IDOK);
    const std::string b = SettingsBytes();
    EXPECT_EQ(IniValue(b, L"RAS", L"Use"), c.clear ? L"0" : L"1");
    EXPECT_EQ(IniValue(b, L"RAS", L"EntryName"), c.clear ? L"" : L"Модем");
    EXPECT_EQ(IniValue(b, L"RAS", L"HangUpAfterDownload"), c.clear ? L"0" : L"1");
  }
  // Dial-up off in the settings and nothing listed: the box is neither ticked nor offered.
  PrepareSettings(L"[Common]\r\nUpgradeFilesDir=" + dir_->Path() + L"\r\n[RAS]\r\nUse=0\r\n");
  Plan(empty);
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_RAS_USE)));
    EXPECT_FALSE(Checked(f.Item(IDC_RAS_USE)));
    Click(form, IDCANCEL);
  });
  f.ShowModal(nullptr);
}

TEST_F(RasPageTest, CreateSelectsTheNewEntryByNameAndPropertiesReportTheCode) {
  Boxes boxes;
  Plan(L"Entries=Альфа|Гамма\r\nEntriesAfterCreate=Альфа|Бета|Гамма\r\nCreateResult=5\r\nEditResult=621\r\n"
       L"ErrorText621=Нельзя открыть телефонную книгу\r\n");
  TOptionsForm f;
  ModalScript script;
  script.Then([&](HWND form) {
    // Errors come from the returned code.
    SetLastError(ERROR_FILE_NOT_FOUND);
    Click(form, IDC_RAS_CREATE);
    EXPECT_EQ(boxes.Last(), L"В ходе создания содинения произошла ошибка Windows: «" + WindowsErrorText(5) + L"»");
    SelectRas(f, 0);
    Click(form, IDC_RAS_PROPS);
    EXPECT_EQ(boxes.Last(),
              L"В ходе просмотра параметров содинения произошла ошибка Windows: «Нельзя открыть телефонную книгу»");
    // A created entry is found by its name, wherever the book lists it.
    Plan(L"Entries=Альфа|Гамма\r\nEntriesAfterCreate=Альфа|Бета|Гамма\r\nCreateResult=0\r\nEditResult=0\r\n");
    Click(form, IDC_RAS_CREATE);
    EXPECT_EQ(RasRows(f).size(), 3u);
    EXPECT_EQ(RasSelection(f), 1);
    EXPECT_TRUE(Checked(f.Item(IDC_RAS_USE)));
    // Properties read the book anew and keep the entry chosen.
    SelectRas(f, 2);
    Click(form, IDC_RAS_PROPS);
    EXPECT_EQ(RasSelection(f), 2);
    Click(form, IDOK);
  });
  ASSERT_EQ(f.ShowModal(nullptr), IDOK);
  EXPECT_EQ(IniValue(SettingsBytes(), L"RAS", L"EntryName"), L"Гамма");
  const std::string log = ReadBytes(dir_->Path() + L"log.txt");
  EXPECT_NE(log.find("RasCreatePhonebookEntryA owner=window"), std::string::npos);
  EXPECT_NE(log.find("RasEditPhonebookEntryA owner=window"), std::string::npos);
}
