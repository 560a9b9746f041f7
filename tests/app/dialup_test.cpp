// Dial-up before each attempt: whole sessions through the real main window against a directory
// source, with the test's own Remote Access Service library (tests/fixtures/fake_rasapi32)
// loaded in place of the system's. The library logs every call it gets; the tests read that log.
// The cases named NoRas* run in a process where the library is missing altogether.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>

#include "app/mainfrm.h"
#include "app/report.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "settings/programs.h"
#include "settings/rasapi.h"
#include "test_util.h"
#include "ui/controls.h"
#include "ui/pump.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
const std::wstring kDelivered =
    L"Доставка обновлений программы «Корвенд-Кадры» с версии 5 до версии 6 успешно произведена";
// RASCONN holds a handle: 412 bytes in the shipped 32-bit layout, 424 where the tests are a
// 64-bit build; the program asks with an array of eight.
const std::string kConnSize = sizeof(void*) == 4 ? "412" : "424";
const std::string kConnArray = sizeof(void*) == 4 ? "3296" : "3392";
const std::wstring kInterrupted = L"Ошибка на 1-й попытке. Соединение прервано пользователем.";

void ResetFake() {
  HMODULE ras = GetModuleHandleW(L"rasapi32.dll");
  auto reset =
      ras ? reinterpret_cast<void(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(ras, "FakeRasReset"))) : nullptr;
  if (reset) reset();
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    snprintf(b, sizeof b, "%02X", c);
    out += b;
  }
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A computer with one load-only program of the family, a directory source and dial-up on.
class World {
 public:
  ScratchDir root{L"dial"};
  std::wstring source, repo, temp, plan, log;
  std::wstring entryName = L"Связь";
  std::wstring extraSettings;
  int connectionType = 2;
  std::unique_ptr<TMainForm> form;

  World() {
    LoadRasLibrary();
    ResetFake();
    source = root / L"source\\";
    repo = root / L"repo\\";
    temp = root / L"tmp\\";
    plan = root / L"ras.ini";
    log = root / L"ras.log";
    ForceDirectories(source);
    ForceDirectories(temp);
    SetEnvironmentVariableW(L"DORVEX_RAS_PLAN", plan.c_str());
    Plan("");
  }
  ~World() {
    form.reset();
    ResetFake();
    SetEnvironmentVariableW(L"DORVEX_RAS_PLAN", nullptr);
    DeleteFileW(FixedReportPath().c_str());
  }
  // The fake library's behaviour; the plan is in the ANSI code page, as the library reads it.
  void Plan(const std::string& keys) { test::WriteBytes(plan, "[Ras]\r\nLog=" + WideToAnsi(log) + "\r\n" + keys); }
  std::string Calls() const { return test::PathExists(log) ? test::ReadBytes(log) : std::string(); }
  void OfferStep6() {
    ForceDirectories(source + L"Kadry\\6\\");
    test::WriteBytes(source + L"Kadry\\6\\f6.dat", "step 6");
    test::WriteBytes(source + L"Kadry.nrm", "[6]\r\nDir=Kadry\\6\r\nCount=1\r\nFileName1=f6.dat\r\nFileSize1=6\r\n");
  }
  void WriteSettings(bool use = true, bool hangUp = true, int attempts = 1) {
    std::wstring text = L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Disk]\r\nRootDir=" + source +
                        L"\r\n[Connection]\r\nConnectionType=" + std::to_wstring(connectionType) +
                        L"\r\nAttemptCount=" + std::to_wstring(attempts) + L"\r\nAttemptPause=0\r\n[RAS]\r\nUse=" +
                        (use ? L"1" : L"0") + L"\r\nHangUpAfterDownload=" + (hangUp ? L"1" : L"0") + L"\r\nEntryName=" +
                        entryName + L"\r\n[Session]\r\nTempDir=" + temp + L"\r\n" + extraSettings +
                        L"[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\nVirtualUpgrade=1\r\n"
                        L"VirtualVersion=5\r\n";
    ForceDirectories(repo);
    test::WriteBytes(SettingsFileName(), WideToAnsi(text));
  }
  TMainForm& Open() {
    form = std::make_unique<TMainForm>();
    form->Create();
    form->Show();
    ui::ProcessMessages();
    return *form;
  }
  // Runs a session; every distinct stage text shown meanwhile is collected. The optional hook
  // sees the stage text at each message the session pumps (it may press Stop).
  std::vector<std::wstring> Run(const std::function<void(const std::wstring&)>& onSample = nullptr) {
    std::vector<std::wstring> stages;
    UINT_PTR timer = SetTimer(nullptr, 0, 5, nullptr);
    int filter = ui::AddMessageFilter([&](MSG& msg) {
      std::wstring t = ui::GetText(form->Controls()->ActionLabel);
      if (!t.empty() && (stages.empty() || stages.back() != t)) stages.push_back(t);
      if (onSample) onSample(t);
      return msg.message == WM_TIMER && msg.wParam == timer;
    });
    ui::ClickButton(form->RunBtn);
    ui::ProcessMessages();
    ui::RemoveMessageFilter(filter);
    KillTimer(nullptr, timer);
    return stages;
  }
  std::vector<std::wstring> Lines() const {
    std::vector<std::wstring> out;
    for (const auto& l : form->SessionLines)
      if (!l.empty()) out.push_back(l);
    return out;
  }
  std::string Dump() const {
    std::wstring all;
    for (const auto& l : Lines()) all += l + L"\n";
    return WideToUtf8(all);
  }
};

bool Seen(const std::vector<std::wstring>& stages, const std::wstring& text) {
  return std::find(stages.begin(), stages.end(), text) != stages.end();
}
}  // namespace

// The binding itself, against the fake: record sizes, the phone book, error texts, and the
// fake's own check that a record of a wrong size is refused.
TEST(RasBinding, RecordsPhoneBookAndTexts) {
  World w;
  ASSERT_TRUE(RasAvailable());
  ASSERT_NE(GetProcAddress(GetModuleHandleW(L"rasapi32.dll"), "FakeRasReset"), nullptr)
      << "the system's library was loaded, not the test's";
  w.Plan(WideToAnsi(L"Entries=Связь|Офис||Дом") + "\r\nUserName=ivanov\r\nPassword=secret\r\nErrorText678=" +
         WideToAnsi(L"Удаленный компьютер не отвечает.") + "\r\n");

  TRasEntryList list = ListRasEntries();
  EXPECT_EQ(list.Result, 0u);
  EXPECT_EQ(list.Names, (std::vector<std::wstring>{L"Связь", L"Офис", L"", L"Дом"}));
  EXPECT_EQ(RasEntryUserName(L"Связь"), L"ivanov");
  EXPECT_EQ(RasErrorText(678), L"Удаленный компьютер не отвечает.");
  EXPECT_FALSE(RasErrorText(ERROR_ACCESS_DENIED).empty());  // not the service's: the system's text
  EXPECT_EQ(RasEditPhonebookEntry(nullptr, RasEntryNameBytes(L"Дом")), 0u);
  EXPECT_EQ(RasCreatePhonebookEntry(nullptr), 0u);

  // 64 entries fit; a longer phone book answers 603 and the first 64 are listed.
  std::string many = "Entries=";
  for (int i = 1; i <= 70; ++i) {
    if (i > 1) many += '|';
    many += 'E';
    many += std::to_string(i);
  }
  w.Plan(many + "\r\n");
  list = ListRasEntries();
  EXPECT_EQ(list.Result, kRasBufferTooSmall);
  EXPECT_TRUE(list.Ok());
  ASSERT_EQ(list.Names.size(), 64u);
  EXPECT_EQ(list.Names.back(), L"E64");
  w.Plan("EntriesResult=623\r\n");
  EXPECT_FALSE(ListRasEntries().Ok());

  // A record of another size is refused by the fake, as by the service.
  TRasDialParams params{};
  params.dwSize = 1060;
  TRasConnHandle h = nullptr;
  EXPECT_EQ(RasDial(params, kRasNotifierWindow, nullptr, h), kRasInvalidSize);
  TRasConnStatus status{};
  status.dwSize = sizeof status;
  EXPECT_EQ(RasGetConnectStatus(reinterpret_cast<TRasConnHandle>(0x1234), status), kRasInvalidHandle);

  const std::string calls = w.Calls();
  EXPECT_NE(calls.find("RasEnumEntriesA size=264 bytes=16896 phonebook=default"), std::string::npos) << calls;
  EXPECT_NE(calls.find("RasGetEntryDialParamsA size=1052 entry=" + Hex(WideToAnsi(L"Связь")) + " phonebook=default"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("RasEditPhonebookEntryA owner=none entry=" + Hex(WideToAnsi(L"Дом")) + " phonebook=default"),
            std::string::npos);
  EXPECT_NE(calls.find("RasDialA size=1060"), std::string::npos);
}

TEST(Dialup, EmptyEntryNameAndUnreadableParameters) {
  World w;
  w.OfferStep6();
  w.entryName = L"";
  w.WriteSettings();
  w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. Не указано наименование соединения для "
                                                  L"удаленного доступа. Настройте параметры программы."}))
      << w.Dump();
  EXPECT_EQ(w.Calls(), "");  // nothing asked of the service, nothing dialled

  w.entryName = L"Связь";
  w.WriteSettings();
  w.Plan("DialParamsResult=623\r\n");
  w.form.reset();
  w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. Нельзя получить параметры удаленного "
                                                  L"соединения для установки связи."}))
      << w.Dump();
  EXPECT_EQ(Count(w.Calls(), "RasDialA"), 0u);
}

TEST(Dialup, SystemDownloadMakesNoDialUpCalls) {
  World w;
  BindSystemDownload();
  ASSERT_NE(SystemDownloadFunction(), nullptr);
  w.connectionType = 3;
  w.extraSettings = L"[Http]\r\nServer=127.0.0.1\r\nPort=1\r\n";  // loopback only, nobody listening
  w.WriteSettings();
  w.Open();
  EXPECT_TRUE(SystemDownload());
  w.Run();
  UnbindSystemDownload();
  EXPECT_EQ(w.Calls(), "");
  for (const auto& line : w.Lines()) EXPECT_EQ(line.find(L"удаленн"), std::wstring::npos) << WideToUtf8(line);
}

TEST(Dialup, AConnectionAlreadyUpIsUsedAndLeftUp) {
  World w;
  w.OfferStep6();
  w.WriteSettings();
  w.Plan("Existing=3\r\nConnectedAt=1\r\n");
  w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(), std::vector<std::wstring>{kDelivered}) << w.Dump();
  std::string calls = w.Calls();
  EXPECT_NE(calls.find("RasEnumConnectionsA size=" + kConnSize + " bytes=" + kConnArray), std::string::npos) << calls;
  EXPECT_NE(calls.find("RasGetConnectStatusA size=160 handle=" + std::to_string(0x7001)), std::string::npos) << calls;
  EXPECT_EQ(Count(calls, "RasDialA"), 0u);
  EXPECT_EQ(Count(calls, "RasHangUpA"), 0u);

  // Twelve connections, more than the array holds (603): the first eight are looked at.
  DeleteFileW(w.log.c_str());
  w.WriteSettings();  // the program's version again, as before the delivery
  w.Plan("Existing=12\r\nEnumCount=12\r\nEnumResult=603\r\nConnectedAt=7\r\n");
  w.form.reset();
  w.Open();
  w.Run();
  calls = w.Calls();
  EXPECT_EQ(Count(calls, "RasDialA"), 0u) << calls;
  EXPECT_EQ(Count(calls, "RasHangUpA"), 0u);
  EXPECT_EQ(Count(calls, "RasGetConnectStatusA"), 4u);  // handles at 1, 3, 5, 7

  // The connected one lies beyond the first eight: it is not seen, so the entry is dialled.
  DeleteFileW(w.log.c_str());
  w.WriteSettings();
  w.Plan("Existing=12\r\nEnumCount=12\r\nEnumResult=603\r\nConnectedAt=9\r\nStates=0,8192\r\nDelay=20\r\n");
  w.form.reset();
  w.Open();
  w.Run();
  calls = w.Calls();
  EXPECT_EQ(calls.find("handle=" + std::to_string(0x7009)), std::string::npos) << calls;
  EXPECT_EQ(Count(calls, "RasDialA"), 1u);
  EXPECT_EQ(w.Lines(), std::vector<std::wstring>{kDelivered}) << w.Dump();
}

// A whole dial: the states walk to connected with their stage texts, the source is read, and the
// connection is hung up and polled until it is gone. The entry name reaches the service in the
// ANSI code page byte for byte, and the password is wiped once the dial has started.
TEST(Dialup, DialsDownloadsAndHangsUp) {
  World w;
  w.OfferStep6();
  w.entryName = L"Связь Ёж";
  w.WriteSettings();
  w.Plan(
      "States=0,1,2,3,4,5,6,7,14,8192\r\nDelay=60\r\nUserName=ivanov\r\nPassword=Pa55word\r\nPhone=5551234\r\n"
      "HangUpDelay=200\r\n");
  TMainForm& f = w.Open();
  auto stages = w.Run();

  EXPECT_EQ(w.Lines(), std::vector<std::wstring>{kDelivered}) << w.Dump();
  EXPECT_EQ(f.CurrentPage, 3);
  const std::string calls = w.Calls();
  const std::string entry = Hex(WideToAnsi(L"Связь Ёж"));
  EXPECT_EQ(entry, "D1E2FFE7FC20A8E6");
  EXPECT_NE(calls.find("RasGetEntryDialParamsA size=1052 entry=" + entry + " phonebook=default"), std::string::npos)
      << calls;
  EXPECT_NE(calls.find("RasDialA size=1052 entry=" + entry +
                       " user=ivanov phone=5551234 notifierType=4294967295 notifier=window phonebook=default "
                       "extensions=none"),
            std::string::npos)
      << calls;
  EXPECT_NE(calls.find("password-after-dial wiped"), std::string::npos) << calls;
  // Hung up, then polled until the service no longer knows the handle.
  const size_t hangUp = calls.find("RasHangUpA handle=");
  ASSERT_NE(hangUp, std::string::npos) << calls;
  EXPECT_LT(calls.find("event state=8192"), hangUp);
  EXPECT_GT(Count(calls.substr(hangUp), "RasGetConnectStatusA size=160"), 1u);  // the line took 200 ms to drop
  EXPECT_EQ(Count(calls, "RasHangUpA"), 1u);
  EXPECT_EQ(f.DialUp.RasConnection, nullptr);

  const std::wstring prefix = L"Установка удаленного соединения: ";
  EXPECT_TRUE(Seen(stages, L"Установка удаленного соединения")) << WideToUtf8(stages.front());
  EXPECT_TRUE(Seen(stages, prefix + L"Открытие порта..."));
  EXPECT_TRUE(Seen(stages, prefix + L"Порт открыт..."));
  EXPECT_TRUE(Seen(stages, prefix + L"Установка связи с «Связь Ёж»..."));
  EXPECT_TRUE(Seen(stages, prefix + L"Имя пользователя и пароль проверены..."));
  EXPECT_TRUE(Seen(stages, prefix));  // state 7 has no text
  EXPECT_TRUE(Seen(stages, prefix + L"Идентификация подтвеждена..."));
  EXPECT_TRUE(Seen(stages, L"Завершение удаленного соединения с сервером обновлений"));
  const auto dialled = std::find(stages.begin(), stages.end(), prefix + L"Идентификация подтвеждена...");
  const auto hungUp =
      std::find(stages.begin(), stages.end(), L"Завершение удаленного соединения с сервером обновлений");
  EXPECT_LT(dialled, hungUp);
  EXPECT_EQ(test::ReadBytes(w.repo + L"Kadry\\6\\f6.dat"), "step 6");

  // The report names the entry but never the password.
  const std::string report = test::ReadBytes(FixedReportPath());
  EXPECT_NE(report.find(WideToAnsi(L"Связь Ёж")), std::string::npos);
  EXPECT_EQ(report.find("Pa55word"), std::string::npos);
}

TEST(Dialup, StateTexts) {
  World w;
  w.WriteSettings();
  TMainForm& f = w.Open();
  const std::vector<std::pair<uint16_t, std::wstring>> expected = {
      {0, L"Открытие порта..."},
      {2, L"Установка связи с «Связь»..."},
      {7, L""},
      {8, L"Обратная проверка имени пользователя и пароля..."},
      {9, L""},
      {12, L"Именя пользователя и пароль подтверждены..."},
      {17, L"Ожидание обратного вызова..."},
      {18, L""},
      {0x2000, L""},
  };
  for (const auto& [state, text] : expected) {
    f.DialUp.RasState = state;
    EXPECT_EQ(f.DialUp.DialStateText(), text) << state;
  }
  // The dial events reach the window's fields through the message-only window.
  ASSERT_NE(f.DialUp.RasNotifyWindow, nullptr);
  EXPECT_EQ(f.DialUp.RasDialEventMessage, RegisterWindowMessageW(L"RASDialEvent"));
  SendMessageW(f.DialUp.RasNotifyWindow, f.DialUp.RasDialEventMessage, 0x10005, 0);
  EXPECT_EQ(f.DialUp.RasState, 5);
  f.DialUp.RasError = 0;
  SendMessageW(f.DialUp.RasNotifyWindow, f.DialUp.RasDialEventMessage, 6, 678);
  EXPECT_EQ(f.DialUp.RasState, 5);
  EXPECT_EQ(f.DialUp.RasError, 678u);
}

TEST(Dialup, FailedDialsAreHungUpAndExplained) {
  World w;
  w.OfferStep6();
  w.WriteSettings();
  w.Plan("States=0,1\r\nFinalError=678\r\nDelay=30\r\nErrorText678=" + WideToAnsi(L"Удаленный компьютер не отвечает.") +
         "\r\n");
  w.Open();
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. При установке удаленного соединения: "
                                                  L"«Удаленный компьютер не отвечает.»"}))
      << w.Dump();
  std::string calls = w.Calls();
  EXPECT_NE(calls.find("RasGetErrorStringA code=678 size=1024"), std::string::npos) << calls;
  EXPECT_LT(calls.find("RasHangUpA"), calls.find("RasGetErrorStringA"));
  EXPECT_FALSE(test::PathExists(w.repo + L"Kadry\\6\\f6.dat"));

  // "Disconnected" without an error code ends the dial too, with the general text.
  DeleteFileW(w.log.c_str());
  w.Plan("States=0,1,8193\r\nDelay=30\r\n");
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. При установке удаленного соединения: "
                                                  L"«Ошибка при попытке запуска удаленного соединения»"}))
      << w.Dump();
  calls = w.Calls();
  EXPECT_EQ(Count(calls, "RasHangUpA"), 1u) << calls;
  EXPECT_EQ(Count(calls, "RasGetErrorStringA"), 0u);

  // The dial call itself refuses: its code's text, and no loop at all.
  DeleteFileW(w.log.c_str());
  w.Plan("DialResult=623\r\nErrorText623=" + WideToAnsi(L"Не найдена запись телефонной книги.") + "\r\n");
  w.Run();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. При установке удаленного соединения: "
                                                  L"«Не найдена запись телефонной книги.»"}))
      << w.Dump();
}

TEST(Dialup, StopWhileDialling) {
  World w;
  w.OfferStep6();
  w.WriteSettings(true, true, 3);
  w.Plan("States=0,1,2\r\nDelay=40\r\n");  // the dial never gets further
  TMainForm& f = w.Open();
  auto pressStop = [&](const std::wstring& stage) {
    if (stage.find(L"Установка связи") != std::wstring::npos && IsWindowEnabled(f.StopBtn)) ui::ClickButton(f.StopBtn);
  };
  w.Run(pressStop);
  EXPECT_EQ(w.Lines(), std::vector<std::wstring>{kInterrupted}) << w.Dump();
  std::string calls = w.Calls();
  EXPECT_EQ(Count(calls, "RasDialA"), 1u) << calls;  // no further attempt
  EXPECT_EQ(Count(calls, "RasHangUpA"), 1u);
  EXPECT_FALSE(test::PathExists(w.repo + L"Kadry\\6\\f6.dat"));
  EXPECT_FALSE(f.Running);

  // The service has not given a handle: Stop still ends the dial.
  DeleteFileW(w.log.c_str());
  w.Plan("States=0,1,2\r\nDelay=40\r\nNoHandle=1\r\n");
  w.Run(pressStop);
  EXPECT_EQ(w.Lines(), std::vector<std::wstring>{kInterrupted}) << w.Dump();
  calls = w.Calls();
  EXPECT_EQ(Count(calls, "RasDialA"), 1u) << calls;
  EXPECT_EQ(Count(calls, "RasHangUpA"), 0u);  // nothing to hang up
}

TEST(Dialup, AHangUpThatNeverCompletesIsAbandonedAfterFiveSeconds) {
  World w;
  w.OfferStep6();
  w.WriteSettings();
  w.Plan("States=0,8192\r\nDelay=20\r\nHangUpNeverCompletes=1\r\n");
  TMainForm& f = w.Open();
  DWORD hangUpStart = 0, hangUpEnd = 0;  // first and last time the hang-up's stage was seen
  w.Run([&](const std::wstring& stage) {
    if (stage != L"Завершение удаленного соединения с сервером обновлений") return;
    if (!hangUpStart) hangUpStart = GetTickCount();
    hangUpEnd = GetTickCount();
  });
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Ошибка на 1-й попытке. Удаленное соединение не завершилось за 5 секунд: линия может "
                           L"остаться занятой. Проверьте соединение и при необходимости разорвите его вручную.",
                           kDelivered}))
      << w.Dump();
  ASSERT_NE(hangUpStart, 0u);
  ASSERT_NE(hangUpEnd, 0u);
  EXPECT_GE(hangUpEnd - hangUpStart, 4900u);  // the stage is seen a few ms after it is set
  EXPECT_EQ(f.DialUp.RasConnection, nullptr);
  const std::string calls = w.Calls();
  const size_t polls = Count(calls, "RasGetConnectStatusA");
  // The poll waits on the message pump between its questions rather than asking in a tight loop.
  EXPECT_GT(polls, 10u);
  EXPECT_LT(polls, 6000u);
}

// With hang-up after the download off, the connection dialled by the first attempt stays up and
// the second attempt uses it; with it on, each attempt dials and hangs up its own.
TEST(Dialup, HangUpAfterDownloadOffDialsOnceAcrossAttempts) {
  World w;  // no map on the source: every attempt fails
  w.WriteSettings(true, false, 2);
  w.Plan("States=0,1,8192\r\nDelay=20\r\n");
  w.Open();
  w.Run();
  std::string calls = w.Calls();
  EXPECT_EQ(Count(calls, "RasDialA"), 1u) << calls;
  EXPECT_EQ(Count(calls, "RasHangUpA"), 0u);
  EXPECT_EQ(Count(calls, "RasEnumConnectionsA"), 2u);
  ASSERT_EQ(w.Lines().size(), 4u) << w.Dump();  // two failures in each attempt
  EXPECT_EQ(w.Lines()[3].rfind(L"Ошибка на 2-й попытке. ", 0), 0u);

  ResetFake();
  DeleteFileW(w.log.c_str());
  w.WriteSettings(true, true, 2);
  w.form.reset();
  w.Open();
  w.Run();
  calls = w.Calls();
  EXPECT_EQ(Count(calls, "RasDialA"), 2u) << calls;
  EXPECT_EQ(Count(calls, "RasHangUpA"), 2u);
}

// Run in a process where "rasapi32.dll" cannot be loaded.
TEST(NoRas, EveryAttemptFailsWithTheSameMessage) {
  World w;
  ASSERT_FALSE(RasAvailable());
  w.OfferStep6();
  w.WriteSettings(true, true, 2);
  w.Open();
  w.Run();
  const std::wstring text =
      L"Вы указали, что необходимо использовать службу удаленного доступа, однако она не "
      L"установлена на Вашем компьютере или недоступна. Обратитесь к администратору сети.";
  EXPECT_EQ(w.Lines(),
            (std::vector<std::wstring>{L"Ошибка на 1-й попытке. " + text, L"Ошибка на 2-й попытке. " + text}))
      << w.Dump();
  EXPECT_FALSE(test::PathExists(w.repo + L"Kadry\\6\\f6.dat"));
  // Every bound call answers "not made".
  uint32_t bytes = 0, count = 0;
  EXPECT_EQ(RasEnumEntries(nullptr, bytes, count), kRasResultUnavailable);
  EXPECT_FALSE(ListRasEntries().Ok());
  EXPECT_EQ(RasErrorText(kRasResultUnavailable), L"");
}

// Dial-up stands on its own: it shows and records through the sink it is given, with no main
// window behind it.
TEST(DialUpSinkOnly, ShowsAndRecordsThroughItsSink) {
  LoadSettings();
  Settings().ConnectionType = 0;
  Settings().RasUse = true;
  Settings().RasEntryName.clear();
  std::vector<std::wstring> shown, recorded;
  bool stop = false;
  TDialUp d(DialUpSink{[&](const std::wstring& t) { shown.push_back(t); },
                       [&](const std::wstring& t) { recorded.push_back(t); }, [&] { return stop; },
                       [&] { stop = true; }});
  d.Prepare();
  EXPECT_NE(d.RasNotifyWindow, nullptr);
  EXPECT_FALSE(d.Dial());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], L"Установка удаленного соединения");
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0], RasAvailable() ? L"Не указано наименование соединения для удаленного доступа. Настройте "
                                          L"параметры программы."
                                        : L"Вы указали, что необходимо использовать службу удаленного доступа, однако "
                                          L"она не установлена на Вашем компьютере или недоступна. Обратитесь к "
                                          L"администратору сети.");
  d.Free();
  EXPECT_EQ(d.RasNotifyWindow, nullptr);
  Settings().RasUse = false;
  EXPECT_TRUE(d.Dial());  // no dial-up: nothing shown, nothing recorded
  EXPECT_EQ(shown.size(), 1u);
  LoadSettings();
}
