// The FTP source against real vsftpd servers on loopback (started by tests/net/ftp_peers.sh,
// their every command and reply in a log), whole sessions through the real window, a session
// process killed in the middle of a file and started again, and the scripted server for the
// login replies real servers do not give.
#include "protocols/ftp.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/mainfrm.h"
#include "common/inifile.h"
#include "common/integrity.h"
#include "common/routines.h"
#include "common/text.h"
#include "net/ftp_server.h"
#include "settings/options.h"
#include "test_util.h"
#include "ui/controls.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using test::FtpScript;
using test::ScratchDir;
using test::ScriptedFtpServer;

namespace {
std::wstring Env(const wchar_t* name) {
  wchar_t buffer[1024];
  DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
  return n > 0 && n < 1024 ? std::wstring(buffer, n) : L"";
}

// A file's bytes against what they should be, told by sizes rather than dumped.
testing::AssertionResult SameBytes(const std::wstring& path, const std::string& expected) {
  const std::string got = test::ReadBytes(path);
  if (got == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure() << WideToUtf8(path) << ": " << got.size() << " bytes, expected " << expected.size();
}

// A server's log from a given point on: what the tests look for on the wire.
// vsftpd writes a command's line when it handles it, a moment after the client sent it: the
// log is read once it holds the session's QUIT (every earlier command was answered, so logged,
// before it), or after a bounded wait for sessions that end without one.
struct ServerLog {
  std::wstring path;
  size_t from = 0;
  mutable bool settled = false;
  explicit ServerLog(const wchar_t* var) : path(Env(var)) { from = test::ReadBytes(path).size(); }
  std::string New() const {
    auto fresh = [this] {
      std::string all = test::ReadBytes(path);
      return all.size() > from ? all.substr(from) : std::string();
    };
    if (!settled) {
      settled = true;
      for (int i = 0; i < 100 && fresh().find("\"QUIT\"") == std::string::npos; ++i) Sleep(20);
    }
    return fresh();
  }
  bool Has(const std::string& text) const { return New().find(text) != std::string::npos; }
  int Count(const std::string& text) const {
    std::string all = New();
    int n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }
};

// The root the servers serve, and the catalogue program whose files the tests put there.
struct Fixture {
  ScratchDir repo{L"frepo"}, temp{L"fsess"};
  std::wstring root = Env(L"DX_FTP_ROOT");
  // vsftpd run as its launching user cannot change its root: paths on the wire are absolute.
  std::wstring rootUnix = Env(L"DX_FTP_ROOT_UNIX");
  std::string wireRoot = WideToUtf8(rootUnix);
  TProgramList list;
  TProgram* p = nullptr;
  std::vector<std::wstring> messages;
  int32_t received = 0;
  AbortMethod abortVar;
  std::function<void(int32_t)> onReceived;

  explicit Fixture(bool slow = false) {
    EXPECT_FALSE(root.empty()) << "run under tests/net/ftp_peers.sh";
    Settings() = TSettings{};
    Settings().ConnectionType = 0;
    Settings().FtpServer = L"127.0.0.1";
    Settings().FtpPort = Env(slow ? L"DX_FTP_SLOW_PORT" : L"DX_FTP_PORT");
    Settings().FtpTimeOut = 5;
    Settings().FtpRootDir = rootUnix;
    Settings().UpgradeFilesDir = repo.Path();
    AddCatalogueRows(list);
    p = list.FindByID(L"Kadry");
    p->TempDir = temp.Path();
    p->OnMessage = [this](void*, const std::wstring& t) { messages.push_back(t); };
    p->OnTraffic = [this](void*, bool sent, int32_t n) {
      if (sent) return;
      received += n;
      if (onReceived) onReceived(received);
    };
    abortVar = [](void*) {};
  }
  ~Fixture() { Settings() = TSettings{}; }
  void Put(const std::wstring& rel, const std::string& bytes) {
    ForceDirectories(ExtractFilePath(root + rel));
    test::WriteBytes(root + rel, bytes);
  }
  // A map with one step "6" holding the given files, and the files on the server.
  void Offer(const std::vector<std::pair<std::wstring, std::string>>& files, bool putFiles = true) {
    std::wstring map = L"[6]\r\nDir=Kadry/6\r\nCount=" + std::to_wstring(files.size()) + L"\r\n";
    for (size_t i = 0; i < files.size(); ++i) {
      map += L"FileName" + std::to_wstring(i + 1) + L"=" + files[i].first + L"\r\nFileSize" + std::to_wstring(i + 1) +
             L"=" + std::to_wstring(files[i].second.size()) + L"\r\n";
      if (putFiles) Put(L"Kadry\\6\\" + files[i].first, files[i].second);
    }
    Put(L"Kadry.nrm", WideToAnsi(map));
  }
  // One attempt of the session's calling order, without the window.
  bool Attempt(TFtpProtocol& proto) {
    if (!proto.Connect()) return false;
    bool ok = proto.Login() && proto.GetUpgradeMap(abortVar);
    if (ok) {
      proto.StepList = {L"6"};
      ok = proto.DownloadFiles(abortVar, nullptr);
    }
    proto.Logout();
    proto.Disconnect();
    return ok;
  }
  std::wstring Joined() const {
    std::wstring all;
    for (auto& m : messages) all += m + L"\n";
    return all;
  }
};
}  // namespace

TEST(FtpProtocol, AWholeDownloadFromVsftpdAndItsWire) {
  Fixture f;
  const std::string a = test::PatternBytes(300000, 1), b = test::PatternBytes(1, 2);
  f.Offer({{L"a.dll", a}, {L"b.txt", b}});
  ServerLog log(L"DX_FTP_LOG");
  std::vector<bool> states;
  f.p->OnConnectionState = [&](void*, bool c) { states.push_back(c); };
  {
    TFtpProtocol proto(*f.p);
    EXPECT_TRUE(proto.CheckServer());
    EXPECT_TRUE(proto.CanResume());
    EXPECT_EQ(proto.RootDir, f.rootUnix);
    ASSERT_TRUE(f.Attempt(proto)) << WideToUtf8(f.Joined());
    EXPECT_FALSE(proto.Connected);
  }
  EXPECT_TRUE(SameBytes(f.repo / L"Kadry\\6\\a.dll", a));
  EXPECT_TRUE(SameBytes(f.repo / L"Kadry\\6\\b.txt", b));
  EXPECT_TRUE(f.messages.empty()) << WideToUtf8(f.Joined());
  EXPECT_EQ(states, (std::vector<bool>{true, false}));
  EXPECT_GE(f.received, 300001);
  // The anonymous user is let in with 230 at once: no PASS follows.
  EXPECT_TRUE(log.Has("\"USER anonymous\"")) << log.New();
  EXPECT_FALSE(log.Has("\"PASS")) << log.New();
  EXPECT_TRUE(log.Has("\"TYPE I\""));
  EXPECT_TRUE(log.Has("\"PORT 127,0,0,1,"));
  EXPECT_TRUE(log.Has("\"RETR " + f.wireRoot + "Kadry.nrm\""));
  EXPECT_TRUE(log.Has("\"RETR " + f.wireRoot + "Kadry/6/a.dll\""));
  EXPECT_FALSE(log.Has("\"REST"));
  EXPECT_EQ(log.Count("\"QUIT\""), 1);  // once, by Disconnect; the destructor sends nothing more
}

TEST(FtpProtocol, AMissingFileQuotesTheServersReply) {
  Fixture f;
  f.Offer({{L"gone.dll", "x"}}, false);
  TFtpProtocol proto(*f.p);
  EXPECT_FALSE(f.Attempt(proto));
  ASSERT_EQ(f.messages.size(), 1u) << WideToUtf8(f.Joined());
  EXPECT_EQ(f.messages[0], L"Программа Корвенд-Кадры: C ftp-сервера нельзя загрузить файл " + f.rootUnix +
                               L"Kadry/6/gone.dll. Ответ сервера: 550 Failed to open file.");
}

TEST(FtpProtocol, APartialFileIsContinuedWithRestOrFetchedWholeWithoutIt) {
  const std::string a = test::PatternBytes(200000, 5);
  for (bool restore : {true, false}) {
    Fixture f;
    Settings().FtpEnableRestore = restore;
    f.Offer({{L"a.dll", a}});
    ForceDirectories(f.temp / L"Kadry\\6\\");
    test::WriteBytes(f.temp / L"Kadry\\6\\a.dll", a.substr(0, 70000));
    ServerLog log(L"DX_FTP_LOG");
    TFtpProtocol proto(*f.p);
    EXPECT_EQ(proto.CanResume(), restore);
    ASSERT_TRUE(f.Attempt(proto)) << WideToUtf8(f.Joined());
    EXPECT_TRUE(SameBytes(f.repo / L"Kadry\\6\\a.dll", a));
    EXPECT_FALSE(test::PathExists(f.temp / L"Kadry\\6\\a.dll"));
    EXPECT_EQ(log.Has("\"REST 70000\""), restore) << log.New();
    EXPECT_EQ(log.Has("\"350 Restart position accepted (70000).\""), restore);
    EXPECT_TRUE(log.Has("\"RETR " + f.wireRoot + "Kadry/6/a.dll\""));
  }
}

// A partial file continued with REST whose first part was tampered with fails its checksum:
// it is deleted, never stored, and fetched whole at the next attempt.
TEST(FtpProtocol, AContinuedFileWithATamperedStartFailsItsChecksum) {
  const std::string a = test::PatternBytes(200000, 9);
  Fixture f;
  Sha256 h;
  h.Update(a.data(), a.size());
  f.Put(L"Kadry\\6\\a.dll", a);
  f.Put(L"Kadry.nrm", WideToAnsi(L"[6]\r\nDir=Kadry/6\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=200000\r\nFileHash1=" +
                                 h.HexDigest() + L"\r\n"));
  std::string start = a.substr(0, 70000);
  start[5] ^= 1;
  ForceDirectories(f.temp / L"Kadry\\6\\");
  test::WriteBytes(f.temp / L"Kadry\\6\\a.dll", start);
  ServerLog log(L"DX_FTP_LOG");
  {
    TFtpProtocol proto(*f.p);
    EXPECT_FALSE(f.Attempt(proto));
  }
  EXPECT_TRUE(log.Has("\"REST 70000\"")) << log.New();
  EXPECT_NE(f.Joined().find(L"Контрольная сумма загруженного файла a.dll не совпадает"), std::wstring::npos)
      << WideToUtf8(f.Joined());
  EXPECT_FALSE(test::PathExists(f.temp / L"Kadry\\6\\a.dll"));
  EXPECT_FALSE(test::PathExists(f.repo / L"Kadry\\6\\a.dll"));
  {
    TFtpProtocol proto(*f.p);
    ASSERT_TRUE(f.Attempt(proto)) << WideToUtf8(f.Joined());
  }
  EXPECT_TRUE(SameBytes(f.repo / L"Kadry\\6\\a.dll", a));
}

TEST(FtpProtocol, APartialCopyAsLongAsTheMapSaysIsFetchedAnew) {
  const std::string a = test::PatternBytes(50000, 8);
  for (size_t stale : {a.size(), a.size() + 100}) {
    Fixture f;
    f.Offer({{L"a.dll", a}});
    ForceDirectories(f.temp / L"Kadry\\6\\");
    test::WriteBytes(f.temp / L"Kadry\\6\\a.dll", std::string(stale, 'q'));
    ServerLog log(L"DX_FTP_LOG");
    TFtpProtocol proto(*f.p);
    ASSERT_TRUE(f.Attempt(proto)) << WideToUtf8(f.Joined());
    EXPECT_TRUE(SameBytes(f.repo / L"Kadry\\6\\a.dll", a));
    EXPECT_FALSE(log.Has("\"REST")) << log.New();  // never continued past the file's end
  }
}

TEST(FtpProtocol, AFileCutShortIsNeverTakenAsWhole) {
  // The server ends the data connection early and still says 226 (as a reset may look under
  // some socket layers): the short file stays a partial copy and is continued next time.
  ScriptedFtpServer server([](FtpScript& s) {
    s.Send("220 ready\r\n");
    s.Answer("230 in\r\n");
    s.Answer("200 binary\r\n");
    s.Answer("200 port ok\r\n");
    s.Answer("150 go\r\n");
    SOCKET d = s.ConnectData();
    FtpScript::SendAll(d, "short");
    closesocket(d);
    s.Send("226 Transfer complete\r\n");
    s.Answer("221 bye\r\n");
  });
  Fixture f;
  Settings().FtpPort = Utf8ToWide(server.PortText());
  Settings().FtpRootDir = L"/";
  test::WriteBytes(f.temp / L"Kadry.nrm", "[6]\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=1000\r\n");
  TFtpProtocol proto(*f.p);
  ASSERT_TRUE(proto.Connect() && proto.Login());
  proto.StepList = {L"6"};
  EXPECT_FALSE(proto.DownloadFiles(f.abortVar, nullptr));
  proto.Disconnect();
  server.Finish();
  EXPECT_EQ(f.messages, (std::vector<std::wstring>{L"Программа Корвенд-Кадры: Файл a.dll загружен не полностью: получено 5 "
                                                   L"байт из 1000, указанных в карте файлов обновлений. Файл не "
                                                   L"скопирован в хранилище обновлений, загрузка будет продолжена при "
                                                   L"следующей попытке."}));
  EXPECT_FALSE(test::PathExists(f.repo / L"Kadry\\6\\a.dll"));
  EXPECT_EQ(test::ReadBytes(f.temp / L"Kadry\\6\\a.dll"), "short");
  EXPECT_NE(server.Received().find("RETR /6/a.dll\r\n"), std::string::npos) << server.Received();
}

TEST(FtpProtocol, LoginRefusalsAndWhatTheyReport) {
  // vsftpd serves anonymous users only.
  {
    Fixture f;
    Settings().FtpUserName = L"ivan";
    TFtpProtocol proto(*f.p);
    ASSERT_TRUE(proto.Connect());
    EXPECT_FALSE(proto.Login());
    EXPECT_EQ(f.messages, (std::vector<std::wstring>{L"Программа Корвенд-Кадры: Недопустимое имя пользователя для "
                                                     L"ftp-сервера"}));
    EXPECT_EQ(proto.Client->LastResponse(), "530 This FTP server is anonymous only.");
  }
  // A server that lets the user in with 230 gets no PASS; a rejected TYPE is told with the reply.
  {
    ScriptedFtpServer server([](FtpScript& s) {
      s.Send("220 ready\r\n");
      s.Answer("230 come in\r\n");
      s.Answer("504 Command not implemented for that parameter.\r\n");
      s.Answer("221 bye\r\n");
    });
    Fixture f;
    Settings().FtpPort = Utf8ToWide(server.PortText());
    TFtpProtocol proto(*f.p);
    ASSERT_TRUE(proto.Connect());
    EXPECT_FALSE(proto.Login());
    proto.Disconnect();
    server.Finish();
    EXPECT_EQ(server.Received(), "USER anonymous\r\nTYPE I\r\nQUIT\r\n");
    EXPECT_EQ(f.messages, (std::vector<std::wstring>{L"Программа Корвенд-Кадры: Ftp-сервер не принял двоичный режим "
                                                     L"передачи (TYPE I). Ответ сервера: 504 Command not implemented "
                                                     L"for that parameter."}));
  }
  // A password with a line break is never sent; nor is an unreachable server waited for.
  {
    ScriptedFtpServer server([](FtpScript& s) {
      s.Send("220 ready\r\n");
      s.Answer("331 password please\r\n");
      s.ReadLine();
    });
    Fixture f;
    Settings().FtpPort = Utf8ToWide(server.PortText());
    Settings().FtpPassword = L"pw\r\nDELE x";
    TFtpProtocol proto(*f.p);
    ASSERT_TRUE(proto.Connect());
    EXPECT_FALSE(proto.Login());
    EXPECT_EQ(f.messages.back(), L"Программа Корвенд-Кадры: Неправильный пароль пользователя для ftp-сервера");
    proto.Client->Abort();
    server.Finish();
    EXPECT_EQ(server.Received(), "USER anonymous\r\n");
  }
  {
    Fixture f;
    Settings().FtpPort = L"1";
    TFtpProtocol proto(*f.p);
    EXPECT_FALSE(proto.Connect());
    EXPECT_EQ(f.messages.back(), L"Программа Корвенд-Кадры: Ошибка при соединении с сервером (ftp://127.0.0.1:1). Сервер "
                                 L"недоступен или не отвечает на запросы.");
    Settings().FtpServer = L"";
    EXPECT_FALSE(proto.CheckServer());
    EXPECT_EQ(f.messages.back(), L"Программа Корвенд-Кадры: Недопустимое имя сервера (). Сервер с таким именем не "
                                 L"существует.");
  }
}

TEST(FtpProtocol, AThrottledTransferNeverTripsTheTimeOutAndStopKeepsThePartialFile) {
  const int rate = std::max(1, ParseIntDef(Env(L"DX_FTP_SLOW_RATE"), 1048576));
  const std::string big = test::PatternBytes(static_cast<size_t>(rate) * 3, 11);  // some three seconds
  {
    Fixture f(true);
    Settings().FtpTimeOut = 1;
    f.Offer({{L"big.bin", big}});
    TFtpProtocol proto(*f.p);
    const DWORD t0 = GetTickCount();
    ASSERT_TRUE(f.Attempt(proto)) << WideToUtf8(f.Joined());
    EXPECT_GE(GetTickCount() - t0, 2000u);  // it really was slow, longer than the time-out
    EXPECT_TRUE(SameBytes(f.repo / L"Kadry\\6\\big.bin", big));
  }
  // Stop in the middle: the partial copy stays, and the next attempt continues it.
  Fixture f(true);
  f.Offer({{L"big.bin", big}});
  const std::wstring partial = f.temp / L"Kadry\\6\\big.bin";
  int windowAborts = 0;
  f.abortVar = [&](void*) { ++windowAborts; };
  {
    TFtpProtocol proto(*f.p);
    ASSERT_TRUE(proto.Connect() && proto.Login() && proto.GetUpgradeMap(f.abortVar));
    proto.StepList = {L"6"};
    DWORD stopAt = 0;
    f.onReceived = [&](int32_t n) {
      if (n > rate / 2 && f.abortVar && !stopAt) {
        stopAt = GetTickCount();
        f.abortVar(nullptr);  // the Stop button
      }
    };
    EXPECT_FALSE(proto.DownloadFiles(f.abortVar, nullptr));
    EXPECT_LT(GetTickCount() - stopAt, 1000u);
    f.onReceived = nullptr;
    EXPECT_EQ(windowAborts, 1);
    EXPECT_FALSE(proto.Connected);
    EXPECT_EQ(proto.Client->ErrorMessage(), "426 Timeout");
    ASSERT_EQ(f.messages.size(), 1u);
    // Stopped, not timed out: the detail is the last line the server sent.
    EXPECT_EQ(f.messages[0].rfind(L"Программа Корвенд-Кадры: C ftp-сервера нельзя загрузить файл " + f.rootUnix +
                                      L"Kadry/6/big.bin. Ответ сервера: 150 Opening BINARY mode data connection",
                                  0),
              0u)
        << WideToUtf8(f.Joined());
    proto.Disconnect();
  }
  const int32_t kept = FileSizeOf(partial);
  EXPECT_GE(kept, rate / 2);
  EXPECT_LT(kept, static_cast<int32_t>(big.size()));
  EXPECT_TRUE(SameBytes(partial, big.substr(0, static_cast<size_t>(kept))));
  ServerLog log(L"DX_FTP_SLOW_LOG");
  TFtpProtocol again(*f.p);
  ASSERT_TRUE(f.Attempt(again)) << WideToUtf8(f.Joined());
  EXPECT_TRUE(log.Has("\"REST " + std::to_string(kept) + "\"")) << log.New();
  EXPECT_TRUE(SameBytes(f.repo / L"Kadry\\6\\big.bin", big));
}

namespace {
// A computer with load-only programs, its settings pointing at the FTP server.
struct FtpWorld {
  ScratchDir dir{L"fworld"};
  std::wstring repo = dir / L"repo\\", temp = dir / L"tmp\\", root = Env(L"DX_FTP_ROOT");
  std::wstring rootUnix = Env(L"DX_FTP_ROOT_UNIX");
  std::unique_ptr<TMainForm> form;
  void Settings(const std::wstring& port, int timeout, const std::wstring& settingsFile = SettingsFileName()) {
    ForceDirectories(temp);
    std::wstring text = L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Connection]\r\nConnectionType=0\r\nAttemptCount=2"
                        L"\r\nAttemptPause=0\r\n[Ftp]\r\nServer=127.0.0.1\r\nPort=" + port + L"\r\nTimeOut=" +
                        std::to_wstring(timeout) + L"\r\nRootDir=" + rootUnix + L"\r\n[Proxy]\r\nUse=0\r\n[Service]\r\nNoBitmap=1\r\n"
                        L"[Session]\r\nTempDir=" + temp + L"\r\n[General]\r\nActiveProgramCount=1\r\n[Program1]\r\n"
                        L"ProgramID=Kadry\r\nVirtualUpgrade=1\r\nVirtualVersion=5\r\n";
    test::WriteBytes(settingsFile, WideToAnsi(text));
  }
  void Offer(const std::string& bytes, const std::wstring& name = L"big.bin") {
    ForceDirectories(root + L"Kadry\\6\\");
    test::WriteBytes(root + L"Kadry\\6\\" + name, bytes);
    test::WriteBytes(root + L"Kadry.nrm", WideToAnsi(L"[6]\r\nDir=/Kadry/6/\r\nCount=1\r\nFileName1=" + name +
                                                       L"\r\nFileSize1=" + std::to_wstring(bytes.size()) + L"\r\n"));
  }
  TMainForm& Open() {
    form = std::make_unique<TMainForm>();
    form->Create();
    form->Show();
    ui::ProcessMessages();
    return *form;
  }
  std::vector<std::wstring> Lines() const {
    std::vector<std::wstring> out;
    for (const auto& l : form->SessionLines)
      if (!l.empty()) out.push_back(l);
    return out;
  }
  std::wstring Dump() const {
    std::wstring all;
    for (const auto& l : Lines()) all += l + L"\n";
    return all;
  }
};
}  // namespace

TEST(FtpSession, WholeSessionsThroughTheWindow) {
  FtpWorld w;
  const std::string bytes = test::PatternBytes(1500000, 21);
  w.Offer(bytes);
  w.Settings(Env(L"DX_FTP_PORT"), 5);
  ServerLog log(L"DX_FTP_LOG");
  TMainForm& f = w.Open();
  ui::ClickButton(f.RunBtn);
  ui::ProcessMessages();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Доставка обновлений программы «Корвенд-Кадры» с версии 5 до версии 6 успешно произведена"}))
      << WideToUtf8(w.Dump());
  EXPECT_TRUE(SameBytes(w.repo + L"Kadry\\6\\big.bin", bytes));
  EXPECT_GE(f.BytesReceived, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(log.Count("\"QUIT\""), 1);

  // A file missing on the server: its 550 is in the session's record.
  test::RemoveTree(w.repo);
  DeleteFileW((w.root + L"Kadry\\6\\big.bin").c_str());
  w.form.reset();
  w.Settings(Env(L"DX_FTP_PORT"), 5);  // the load-only program is back at version 5
  TMainForm& g = w.Open();
  ui::ClickButton(g.RunBtn);
  ui::ProcessMessages();
  const std::wstring missing = L"Программа Корвенд-Кадры: C ftp-сервера нельзя загрузить файл " + w.rootUnix +
                               L"Kadry/6/big.bin. Ответ сервера: 550 Failed to open file.";
  // The map came, so the attempt counts as made: no second one.
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{L"Ошибка на 1-й попытке. " + missing}))
      << WideToUtf8(w.Dump());
}

TEST(FtpSession, AKilledSessionIsContinuedWhereItStopped) {
  const int rate = std::max(1, ParseIntDef(Env(L"DX_FTP_SLOW_RATE"), 1048576));
  FtpWorld w;
  const std::string bytes = test::PatternBytes(static_cast<size_t>(rate) * 6, 33);
  w.Offer(bytes);
  const std::wstring ini = SettingsFileName();  // the second run is this process's own window
  w.Settings(Env(L"DX_FTP_SLOW_PORT"), 5, ini);
  const std::wstring partial = w.temp + L"Kadry\\6\\big.bin";
  {
    test::RunningProgram program(test::TestProgramDir() + L"..\\dorvex.exe", L"/auto /CONF:" + ini);
    ASSERT_TRUE(program.Started());
    ASSERT_TRUE(ui::WaitUntil([&] { return FileSizeOf(partial) > rate; }, 60000));
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, program.Id());
    ASSERT_NE(process, nullptr);
    TerminateProcess(process, 9);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
  }
  const int32_t kept = FileSizeOf(partial);
  ASSERT_GT(kept, rate);
  ASSERT_LT(kept, static_cast<int32_t>(bytes.size()));
  EXPECT_TRUE(SameBytes(partial, bytes.substr(0, static_cast<size_t>(kept))));
  EXPECT_FALSE(test::PathExists(w.repo + L"Kadry\\6\\big.bin"));

  // Started again with the same settings: the temporary directory is reused, the partial file is
  // shown and continued with REST, and only the rest comes over the wire.
  ServerLog log(L"DX_FTP_SLOW_LOG");
  EXPECT_EQ(TIniFile(ini).ReadString(L"Session", L"TempDir", L""), w.temp);
  TMainForm& f = w.Open();
  EXPECT_EQ(f.SessionTempDir, w.temp);
  TProgram& kadry = *ProgramCatalogue()->FindByID(L"Kadry");
  TrafficHandler original = kadry.OnTraffic;
  std::vector<std::wstring> shown;
  kadry.OnTraffic = [&](void* s, bool sent, int32_t n) {
    original(s, sent, n);
    std::wstring t = ui::GetText(f.Controls()->ActionLabel);
    std::erase(t, L'\n');  // the label draws the stage text's lone CR as a line break
    if (shown.empty() || shown.back() != t) shown.push_back(t);
  };
  ui::ClickButton(f.RunBtn);
  ui::ProcessMessages();
  EXPECT_EQ(w.Lines(), (std::vector<std::wstring>{
                           L"Доставка обновлений программы «Корвенд-Кадры» с версии 5 до версии 6 успешно произведена"}))
      << WideToUtf8(w.Dump());
  EXPECT_TRUE(SameBytes(w.repo + L"Kadry\\6\\big.bin", bytes));
  const std::wstring rest = FormatByteSize(static_cast<int64_t>(bytes.size()) - kept);
  EXPECT_NE(std::find(shown.begin(), shown.end(),
                      L"Загрузка файлов обновлений: файл big.bin загружен частично\r[требуется загрузить еще " + rest + L"]"),
            shown.end());
  const std::string wire = log.New();
  EXPECT_NE(wire.find("\"REST " + std::to_string(kept) + "\""), std::string::npos) << wire;
  EXPECT_NE(wire.find(", " + std::to_string(bytes.size() - static_cast<size_t>(kept)) + " bytes,"), std::string::npos)
      << wire;
  EXPECT_LT(f.ProgramBytesReceived, static_cast<int64_t>(bytes.size()) - kept + 8192);
}
