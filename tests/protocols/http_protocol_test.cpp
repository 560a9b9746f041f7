// The HTTP source against real peers on loopback (lighttpd; squid with Basic authentication
// relaying to vsftpd), started by tests/peers/with-peers.sh, and whole sessions through the real
// main window for every connection type that HTTP carries.
#include "protocols/http.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "app/mainfrm.h"
#include "app/report.h"
#include "common/inifile.h"
#include "common/integrity.h"
#include "common/routines.h"
#include "common/text.h"
#include "net/script_server.h"
#include "settings/options.h"
#include "test_util.h"
#include "ui/controls.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using test::ScratchDir;

namespace {
std::wstring Env(const wchar_t* name) {
  wchar_t buf[1024];
  DWORD n = GetEnvironmentVariableW(name, buf, 1024);
  return n > 0 && n < 1024 ? std::wstring(buf, n) : L"";
}

// The peers the harness started; a test fails, never skips, when one is missing.
struct Peers {
  std::wstring httpPort = Env(L"DX_HTTP_PORT"), httpRoot = Env(L"DX_HTTP_ROOT");
  std::wstring ftpPort = Env(L"DX_FTP_PORT"), ftpRoot = Env(L"DX_FTP_ROOT");
  std::wstring proxyPort = Env(L"DX_PROXY_PORT"), proxyUser = Env(L"DX_PROXY_USER"),
               proxyPassword = Env(L"DX_PROXY_PASSWORD");
  bool Ready() const { return !httpPort.empty() && !ftpPort.empty() && !proxyPort.empty(); }
  void Put(const std::wstring& root, const std::wstring& rel, const std::string& bytes) const {
    ForceDirectories(ExtractFilePath(root + rel));
    test::WriteBytes(root + rel, bytes);
  }
};

void UseHttp(const Peers& peers) {
  Settings().HttpServer = L"127.0.0.1";
  Settings().HttpPort = peers.httpPort;
  Settings().HttpRootDir = L"/";
}
void UseProxy(const Peers& peers, bool credentials) {
  Settings().ProxyUse = true;
  Settings().ProxyServerName = L"127.0.0.1";
  Settings().ProxyServerPort = peers.proxyPort;
  Settings().ProxyAuthType = credentials ? 1 : 0;
  Settings().ProxyLogin = peers.proxyUser;
  Settings().ProxyPassword = peers.proxyPassword;
}

// One catalogue program served by a fresh HTTP source.
struct Fixture {
  ScratchDir temp{L"http"};
  TProgramList list;
  TProgram* p = nullptr;
  std::vector<std::wstring> messages;
  std::vector<bool> states;
  int32_t received = 0, sent = 0;
  AbortMethod abortVar;
  int windowAborts = 0;
  Fixture() {
    Settings() = TSettings{};
    AddCatalogueRows(list);
    p = list.FindByID(L"Buh");
    p->TempDir = temp.Path();
    p->OnMessage = [this](void*, const std::wstring& t) { messages.push_back(t); };
    p->OnTraffic = [this](void*, bool s, int32_t n) { (s ? sent : received) += n; };
    p->OnConnectionState = [this](void*, bool c) { states.push_back(c); };
    abortVar = [this](void*) { ++windowAborts; };
  }
  ~Fixture() { Settings() = TSettings{}; }
  // The last message without the program's prefix that ReportMessage adds.
  std::wstring Message() const {
    const std::wstring prefix = L"Программа Корвенд-Бухгалтерия: ";
    if (messages.empty()) return L"";
    const std::wstring& m = messages.back();
    return m.rfind(prefix, 0) == 0 ? m.substr(prefix.size()) : L"<" + m + L">";
  }
};

const std::string kPayload = test::PatternBytes(300000, 7);

AbortMethod* g_stopVar = nullptr;
void CALLBACK StopTimer(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (g_stopVar && *g_stopVar) (*g_stopVar)(nullptr);
}
}  // namespace

TEST(HttpProtocol, URLsRootsAndChoices) {
  Fixture f;
  Settings().HttpServer = L"HTTP://updates.example";
  Settings().HttpPort = L"8080";
  EXPECT_EQ(THttpProtocol::URLFor(L"/Buh/413/a.dll"), L"HTTP://updates.example:8080/Buh/413/a.dll");
  Settings().HttpServer = L"updates.example";
  Settings().HttpPort = L"";
  EXPECT_EQ(THttpProtocol::URLFor(L"x"), L"http://updates.example/x");
  Settings().HttpServer = L"";
  EXPECT_EQ(THttpProtocol::URLFor(L"x"), L"");
  // An https server: port 443 while the port setting keeps its default (or is empty).
  Settings().HttpServer = L"https://updates.example/";
  for (const wchar_t* port : {L"80", L""}) {
    Settings().HttpPort = port;
    EXPECT_EQ(THttpProtocol::URLFor(L"/x"), L"https://updates.example/x");
  }
  Settings().HttpPort = L"8443";
  EXPECT_EQ(THttpProtocol::URLFor(L"x"), L"https://updates.example:8443/x");
  Settings().HttpServer = L"";
  Settings().HttpRootDir = L"/pub/upgrades";
  Settings().HttpEnableRestore = true;
  {
    THttpProtocol h(*f.p);
    EXPECT_EQ(h.RootDir, L"/pub/upgrades/");
    EXPECT_TRUE(h.CanResume());
    EXPECT_TRUE(h.UsesSlashes());
    EXPECT_EQ(h.Client->Agent, "Vorel-Soft download agent (Mozilla/3.0 compatible)");
    EXPECT_EQ(h.Client->Accept, "*/*");
    EXPECT_EQ(h.Client->TimeOutMs, 120000u);
    EXPECT_TRUE(h.Client->Proxy.empty());
  }
  // FTP through the proxy: the FTP server's URL, its root, no resumption; the proxy's settings.
  Settings().ConnectionType = 0;
  Settings().ProxyUse = true;
  Settings().ProxyServerName = L"proxy.example";
  Settings().ProxyServerPort = L"3129";
  Settings().ProxyAuthType = 1;
  Settings().ProxyLogin = L"user";
  Settings().FtpServer = L"ftp.example";
  Settings().FtpRootDir = L"";
  Settings().HttpTimeOut = 0;
  EXPECT_EQ(ProtocolClass(), ProtocolKind::Http);
  {
    THttpProtocol h(*f.p);
    EXPECT_EQ(h.RootDir, L"/");
    EXPECT_FALSE(h.CanResume());
    EXPECT_EQ(THttpProtocol::URLFor(L"/Buh.nrm"), L"ftp://ftp.example:21/Buh.nrm");
    EXPECT_EQ(h.Client->Proxy, "proxy.example");
    EXPECT_EQ(h.Client->ProxyPort, "3129");
    EXPECT_TRUE(h.Client->NoCache);
    EXPECT_EQ(h.Client->ProxyAuthType, net::TProxyAuthType::atBasic);
    EXPECT_EQ(h.Client->TimeOutMs, INFINITE);
    // Only the proxy's name is tested, and it does not resolve here.
    EXPECT_FALSE(h.CheckServer());
    EXPECT_EQ(f.Message(), L"Недопустимое имя сервера (proxy.example). Сервер с таким именем не существует.");
    Settings().ProxyServerName = L"127.0.0.1";
    EXPECT_TRUE(h.CheckServer());
  }
  Settings().ProxyUse = false;
  Settings().ConnectionType = 1;
  Settings().HttpServer = L"";
  THttpProtocol h(*f.p);
  EXPECT_FALSE(h.CheckServer());
  EXPECT_EQ(f.Message(), L"Недопустимое имя сервера (). Сервер с таким именем не существует.");
  Settings().HttpServer = L"localhost";
  EXPECT_TRUE(h.CheckServer());
  Settings().HttpServer = L"http://127.0.0.1";
  EXPECT_TRUE(h.CheckServer());
}

TEST(HttpProtocol, TheTimeOutKeyDefaultsTo120Seconds) {
  ScratchDir d{L"ini"};
  test::WriteBytes(SettingsFileName(), "[Http]\r\nServer=x\r\n");
  LoadSettings();
  EXPECT_EQ(Settings().HttpTimeOut, 120);
  test::WriteBytes(SettingsFileName(), "[Http]\r\nTimeOut=0\r\n");
  LoadSettings();
  EXPECT_EQ(Settings().HttpTimeOut, 0);
  Settings().HttpTimeOut = 45;
  SaveSettings();
  EXPECT_EQ(TIniFile(SettingsFileName()).ReadInteger(L"Http", L"TimeOut", -1), 45);
  DeleteFileW(SettingsFileName().c_str());
  Settings() = TSettings{};
}

TEST(HttpProtocol, FetchesFromLighttpdDirectly) {
  Peers peers;
  ASSERT_TRUE(peers.Ready()) << "the test runs under tests/peers/with-peers.sh";
  peers.Put(peers.httpRoot, L"Buh\\413\\file one.dat", kPayload);
  peers.Put(peers.httpRoot, L"Buh\\413\\empty.dat", "");
  Fixture f;
  UseHttp(peers);
  THttpProtocol h(*f.p);
  const std::wstring local = f.temp / L"Buh\\413\\file one.dat";
  ASSERT_TRUE(h.DownloadFile(f.abortVar, L"/Buh/413/file one.dat", true, local)) << WideToUtf8(f.Message());
  EXPECT_TRUE(test::ReadBytes(local) == kPayload);
  EXPECT_GT(f.received, static_cast<int32_t>(kPayload.size()));
  EXPECT_GT(f.sent, 0);
  EXPECT_EQ(f.states, (std::vector<bool>{true, false}));
  EXPECT_FALSE(h.Connected);

  // A missing document: the server's status in the message; the earlier file stays as it was.
  test::WriteBytes(f.temp / L"stale.dat", "stale");
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/Buh/413/missing.dat", true, f.temp / L"stale.dat"));
  EXPECT_EQ(f.Message(), L"C сервера нельзя загрузить файл http://127.0.0.1:" + peers.httpPort +
                             L"/Buh/413/missing.dat. Ошибка сервера 404: Not Found");
  EXPECT_EQ(test::ReadBytes(f.temp / L"stale.dat"), "stale");

  // A document of zero bytes replaces a stale file with an empty one.
  EXPECT_TRUE(h.DownloadFile(f.abortVar, L"/Buh/413/empty.dat", true, f.temp / L"stale.dat"));
  EXPECT_EQ(FileSizeOf(f.temp / L"stale.dat"), 0);

  // A local file that cannot be written ends the request with the Windows text.
  const std::wstring full = Env(L"DX_FULL_FILE");
  ASSERT_FALSE(full.empty());
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/Buh/413/file one.dat", true, full));
  EXPECT_NE(f.Message().find(L"Ошибка записи в файл " + full + L". Ошибка Windows: «"), std::wstring::npos)
      << WideToUtf8(f.Message());
  EXPECT_EQ(f.windowAborts, 0);
}

TEST(HttpProtocol, ThroughSquidForHttpAndFtp) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  peers.Put(peers.httpRoot, L"p\\a.bin", kPayload.substr(0, 100000));
  peers.Put(peers.ftpRoot, L"Buh\\7\\f.bin", kPayload);
  Fixture f;
  UseHttp(peers);
  UseProxy(peers, false);
  {
    THttpProtocol h(*f.p);
    EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/p/a.bin", true, f.temp / L"a.bin"));
    EXPECT_EQ(f.Message(), L"C сервера нельзя загрузить файл http://127.0.0.1:" + peers.httpPort +
                               L"/p/a.bin. Ошибка сервера 407: Прокси-сервер требует проверки подлинности по схемам: "
                               L"Basic; в настройках проверка подлинности не выбрана.");
    EXPECT_FALSE(test::PathExists(f.temp / L"a.bin"));
  }
  UseProxy(peers, true);
  {
    THttpProtocol h(*f.p);
    ASSERT_TRUE(h.DownloadFile(f.abortVar, L"/p/a.bin", true, f.temp / L"a.bin")) << WideToUtf8(f.Message());
    EXPECT_TRUE(test::ReadBytes(f.temp / L"a.bin") == kPayload.substr(0, 100000));
  }
  Settings().ConnectionType = 0;
  Settings().FtpServer = L"127.0.0.1";
  Settings().FtpPort = peers.ftpPort;
  {
    THttpProtocol h(*f.p);
    ASSERT_TRUE(h.DownloadFile(f.abortVar, L"/Buh/7/f.bin", true, f.temp / L"f.bin")) << WideToUtf8(f.Message());
    EXPECT_TRUE(test::ReadBytes(f.temp / L"f.bin") == kPayload);
    EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/Buh/7/none.bin", true, f.temp / L"none.bin"));
    EXPECT_EQ(f.Message().rfind(L"C сервера нельзя загрузить файл ftp://127.0.0.1:" + peers.ftpPort +
                                    L"/Buh/7/none.bin. Ошибка сервера 404",
                                0),
              0u)
        << WideToUtf8(f.Message());
  }
}

TEST(HttpProtocol, StopInTheMiddleChainsToTheWindowAndEndsTheRequest) {
  test::ScriptServer server([&](SOCKET s, int) {
    server.ReadRequest(s);
    test::ScriptServer::SendAll(s, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(5000, 'x'));
    server.Idle(30000);
  });
  Fixture f;
  Settings().HttpServer = L"127.0.0.1";
  Settings().HttpPort = std::to_wstring(server.Port());
  THttpProtocol h(*f.p);
  g_stopVar = &f.abortVar;
  SetTimer(nullptr, 0, 500, StopTimer);
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/big.bin", true, f.temp / L"big.bin"));
  g_stopVar = nullptr;
  EXPECT_EQ(f.windowAborts, 1);
  EXPECT_EQ(f.Message(), L"C сервера нельзя загрузить файл http://127.0.0.1:" + std::to_wstring(server.Port()) +
                             L"/big.bin. Соединение с сервером прервано");
  // The file is closed: it can be deleted at once.
  EXPECT_TRUE(DeleteFileW((f.temp / L"big.bin").c_str()));
  // The window's own handler is back in its variable.
  f.abortVar(nullptr);
  EXPECT_EQ(f.windowAborts, 2);
}

TEST(HttpProtocol, SystemDownloadRequiresTheDocument) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  peers.Put(peers.httpRoot, L"sys\\ok.bin", kPayload.substr(0, 50000));
  Fixture f;
  UseHttp(peers);
  Settings().ConnectionType = 3;
  BindSystemDownload();
  ASSERT_TRUE(SystemDownload()) << "urlmon.dll offers URLDownloadToFileA";
  THttpProtocol h(*f.p);
  EXPECT_TRUE(h.CheckServer());
  EXPECT_FALSE(h.CanResume());
  ASSERT_TRUE(h.DownloadFile(f.abortVar, L"/sys/ok.bin", true, f.temp / L"ok.bin")) << WideToUtf8(f.Message());
  EXPECT_TRUE(test::ReadBytes(f.temp / L"ok.bin") == kPayload.substr(0, 50000));
  // A missing document is a failure, whatever the function answers, and leaves no file.
  test::WriteBytes(f.temp / L"gone.bin", "old");
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/sys/missing.bin", true, f.temp / L"gone.bin"));
  EXPECT_FALSE(test::PathExists(f.temp / L"gone.bin"));
  EXPECT_EQ(f.Message().rfind(L"C сервера нельзя загрузить файл http://127.0.0.1:" + peers.httpPort + L"/sys/missing.bin. ", 0),
            0u)
      << WideToUtf8(f.Message());
  // Stop reaches the system's download at its next block; the part fetched is not kept.
  {
    test::ScriptServer trickle([&](SOCKET s, int) {
      trickle.ReadRequest(s);
      test::ScriptServer::SendAll(s, "HTTP/1.0 200 OK\r\nContent-Length: 10000000\r\n\r\n");
      for (int i = 0; i < 400; ++i) {
        if (!test::ScriptServer::SendAll(s, std::string(1000, 't'))) break;
        if (WaitForSingleObject(trickle.Stopped(), 50) == WAIT_OBJECT_0) break;
      }
    });
    Settings().HttpPort = std::to_wstring(trickle.Port());
    g_stopVar = &f.abortVar;
    SetTimer(nullptr, 0, 800, StopTimer);
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/sys/slow.bin", true, f.temp / L"slow.bin"));
    EXPECT_LT(GetTickCount() - t0, 15000u);  // not the 20 s the whole trickle takes
    g_stopVar = nullptr;
    EXPECT_EQ(f.windowAborts, 1);
    EXPECT_FALSE(test::PathExists(f.temp / L"slow.bin"));
    EXPECT_EQ(f.Message(), L"C сервера нельзя загрузить файл http://127.0.0.1:" + std::to_wstring(trickle.Port()) +
                               L"/sys/slow.bin. Загрузка прервана пользователем");
  }
  // A failed call says so, with its code.
  Settings().HttpPort = L"1";
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/sys/ok.bin", true, f.temp / L"ok.bin"));
  EXPECT_NE(f.Message().find(L"Системная функция загрузки вернула код ошибки 0x"), std::wstring::npos)
      << WideToUtf8(f.Message());
  EXPECT_FALSE(test::PathExists(f.temp / L"ok.bin"));
  UnbindSystemDownload();
}

namespace {
std::wstring Sha256Of(const std::string& bytes) {
  Sha256 h;
  h.Update(bytes.data(), bytes.size());
  return h.HexDigest();
}

std::string g_lastReport;  // the report file of the last LoadOnlySession

// A whole session through the real main window for the load-only program Kadry at version 5,
// with the settings given; returns the session's record and, when asked, the bytes received.
std::wstring LoadOnlySession(const std::wstring& settings, const std::wstring& temp, const std::wstring& repo,
                             int64_t* received = nullptr) {
  std::wstring text = L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Session]\r\nTempDir=" + temp + L"\r\n" + settings +
                      L"[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\nVirtualUpgrade=1\r\n"
                      L"VirtualVersion=5\r\n";
  test::WriteBytes(SettingsFileName(), WideToAnsi(text));
  auto form = std::make_unique<TMainForm>();
  form->Create();
  form->Show();
  ui::ProcessMessages();
  ui::ClickButton(form->RunBtn);
  ui::ProcessMessages();
  std::wstring all;
  for (const auto& l : form->SessionLines)
    if (!l.empty()) all += l + L"\n";
  if (received) *received = form->BytesReceived;
  form.reset();
  g_lastReport = test::ReadBytes(FixedReportPath());
  DeleteFileW(SettingsFileName().c_str());
  DeleteFileW(FixedReportPath().c_str());
  Settings() = TSettings{};
  return all;
}
}  // namespace

namespace {
// A whole session through the real main window: a load-only program at version 5, its map and
// two steps' files on the given source root, the repository compared with the source.
void Session(const Peers& peers, const std::wstring& sourceRoot, const std::wstring& settings, bool counted = true) {
  ScratchDir root{L"sess"};
  const std::wstring repo = root / L"repo\\", temp = root / L"tmp\\";
  ForceDirectories(temp);
  const std::string a = test::PatternBytes(200000, 3), b = test::PatternBytes(1234, 4);
  peers.Put(sourceRoot, L"Kadry\\6\\big file.dat", a);
  peers.Put(sourceRoot, L"Kadry\\7\\b.dat", b);
  peers.Put(sourceRoot, L"Kadry.nrm",
            "[6]\r\nDir=/Kadry/6/\r\nCount=1\r\nFileName1=big file.dat\r\nFileSize1=200000\r\n"
            "[7]\r\nDir=Kadry\\7\r\nCount=1\r\nFileName1=b.dat\r\nFileSize1=1234\r\n");
  int64_t received = 0;
  const std::wstring all = LoadOnlySession(settings, temp, repo, &received);
  EXPECT_EQ(all, L"Доставка обновлений программы «Корвенд-Кадры» с версии 5 до версии 7 успешно произведена\n");
  EXPECT_TRUE(test::ReadBytes(repo + L"Kadry\\6\\big file.dat") == a);
  EXPECT_TRUE(test::ReadBytes(repo + L"Kadry\\7\\b.dat") == b);
  if (counted) {
    EXPECT_GT(received, 201234);
  } else {
    EXPECT_EQ(received, 0);  // the system's function reports no traffic
  }
}
}  // namespace

TEST(HttpSession, EveryConnectionTypeCarriedByHttp) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  const std::wstring http = L"[Http]\r\nServer=127.0.0.1\r\nPort=" + peers.httpPort + L"\r\nRootDir=/\r\n";
  const std::wstring proxy = L"[Proxy]\r\nUse=1\r\nProxyServerName=127.0.0.1\r\nProxyServerPort=" + peers.proxyPort +
                             L"\r\nProxyAuthType=1\r\nProxyLogin=" + peers.proxyUser + L"\r\nProxyPassword=" +
                             peers.proxyPassword + L"\r\n";
  {
    SCOPED_TRACE("HTTP directly");
    Session(peers, peers.httpRoot, http + L"[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n[Proxy]\r\nUse=0\r\n");
  }
  {
    SCOPED_TRACE("HTTP through the proxy");
    Session(peers, peers.httpRoot, http + L"[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n" + proxy);
  }
  {
    SCOPED_TRACE("FTP through the proxy");
    Session(peers, peers.ftpRoot,
            L"[Ftp]\r\nServer=127.0.0.1\r\nPort=" + peers.ftpPort + L"\r\nRootDir=/\r\n" +
                L"[Connection]\r\nConnectionType=0\r\nAttemptCount=1\r\n" + proxy);
  }
  {
    SCOPED_TRACE("the system's download function");
    BindSystemDownload();
    Session(peers, peers.httpRoot, http + L"[Connection]\r\nConnectionType=3\r\nAttemptCount=1\r\n[Proxy]\r\nUse=0\r\n",
            false);
    UnbindSystemDownload();
  }
}

TEST(HttpSession, AMissingMapIsReportedWithTheServersStatus) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  ScratchDir root{L"sess"};
  const std::wstring repo = root / L"repo\\", temp = root / L"tmp\\";
  ForceDirectories(temp);
  std::wstring text = L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Session]\r\nTempDir=" + temp +
                      L"\r\n[Http]\r\nServer=127.0.0.1\r\nPort=" + peers.httpPort +
                      L"\r\nRootDir=/none\r\n[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n[Proxy]\r\nUse=0\r\n"
                      L"[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\nVirtualUpgrade=1\r\n"
                      L"VirtualVersion=5\r\n";
  test::WriteBytes(SettingsFileName(), WideToAnsi(text));
  auto form = std::make_unique<TMainForm>();
  form->Create();
  form->Show();
  ui::ProcessMessages();
  ui::ClickButton(form->RunBtn);
  ui::ProcessMessages();
  std::wstring all;
  for (const auto& l : form->SessionLines) all += l + L"\n";
  EXPECT_NE(all.find(L"Ошибка на 1-й попытке. Программа Корвенд-Кадры: C сервера нельзя загрузить файл http://127.0.0.1:" +
                     peers.httpPort + L"/none/Kadry.nrm. Ошибка сервера 404: Not Found\n"),
            std::wstring::npos)
      << WideToUtf8(all);
  EXPECT_FALSE(test::PathExists(repo + L"Kadry"));
  form.reset();
  DeleteFileW(SettingsFileName().c_str());
  DeleteFileW(FixedReportPath().c_str());
  Settings() = TSettings{};
}

namespace {
TMainForm* g_form = nullptr;
int g_stopClicks = 0;
void CALLBACK PressStopDuringTheFile(HWND, UINT, UINT_PTR, DWORD) {
  if (!g_form || !g_form->Running || !IsWindowEnabled(g_form->StopBtn)) return;
  if (g_form->BytesReceived > 1000 && g_stopClicks == 0) {
    ++g_stopClicks;
    ui::ClickButton(g_form->StopBtn);
  }
}
}  // namespace

TEST(HttpSession, StopInTheMiddleOfAFileEndsTheSession) {
  const std::string map = "[6]\r\nDir=Kadry/6\r\nCount=1\r\nFileName1=big.dat\r\nFileSize1=100000\r\n";
  test::ScriptServer server([&](SOCKET s, int index) {
    server.ReadRequest(s);
    if (index == 0) {
      test::ScriptServer::SendAll(s, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(map.size()) + "\r\n\r\n" + map);
      return;
    }
    test::ScriptServer::SendAll(s, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(5000, 'b'));
    server.Idle(60000);
  });
  ScratchDir root{L"sess"};
  const std::wstring repo = root / L"repo\\", temp = root / L"tmp\\";
  ForceDirectories(temp);
  std::wstring text = L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Session]\r\nTempDir=" + temp +
                      L"\r\n[Http]\r\nServer=127.0.0.1\r\nPort=" + std::to_wstring(server.Port()) +
                      L"\r\nRootDir=/\r\n[Connection]\r\nConnectionType=1\r\nAttemptCount=2\r\nAttemptPause=1\r\n"
                      L"[Proxy]\r\nUse=0\r\n[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\n"
                      L"VirtualUpgrade=1\r\nVirtualVersion=5\r\n";
  test::WriteBytes(SettingsFileName(), WideToAnsi(text));
  auto form = std::make_unique<TMainForm>();
  form->Create();
  form->Show();
  ui::ProcessMessages();
  g_form = form.get();
  g_stopClicks = 0;
  UINT_PTR timer = SetTimer(nullptr, 0, 100, PressStopDuringTheFile);
  const DWORD t0 = GetTickCount();
  ui::ClickButton(form->RunBtn);
  ui::ProcessMessages();
  KillTimer(nullptr, timer);
  g_form = nullptr;
  EXPECT_EQ(g_stopClicks, 1);
  EXPECT_LT(GetTickCount() - t0, 30000u);  // the silent server would hold it for a minute
  EXPECT_FALSE(form->Running);
  std::wstring all;
  for (const auto& l : form->SessionLines) all += l + L"\n";
  EXPECT_NE(all.find(L"C сервера нельзя загрузить файл http://127.0.0.1:" + std::to_wstring(server.Port()) +
                     L"/Kadry/6/big.dat. Соединение с сервером прервано"),
            std::wstring::npos)
      << WideToUtf8(all);
  EXPECT_EQ(server.Connections(), 2);  // no second attempt after Stop
  EXPECT_FALSE(test::PathExists(repo + L"Kadry\\6\\big.dat"));
  form.reset();
  DeleteFileW(SettingsFileName().c_str());
  DeleteFileW(FixedReportPath().c_str());
  Settings() = TSettings{};
}


TEST(HttpSession, ChecksumsOverHttpAndFtpThroughTheProxy) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  const std::string a = test::PatternBytes(300000, 7);
  const std::wstring map = L"[6]\r\nDir=Kadry\\6\r\nCount=1\r\nFileName1=k.dat\r\nFileSize1=300000\r\nFileHash1=" +
                           Sha256Of(a) + L"\r\n";
  const std::wstring done = L"Доставка обновлений программы «Корвенд-Кадры» с версии 5 до версии 6 успешно произведена\n";
  const std::wstring http = L"[Http]\r\nServer=127.0.0.1\r\nPort=" + peers.httpPort +
                            L"\r\nRootDir=/\r\nEnableRestore=1\r\n[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n"
                            L"[Proxy]\r\nUse=0\r\n";
  {
    // A partial copy left by an earlier run is continued without the server's validator, the
    // map's checksum judging the result: its first bytes tampered with, the result is refused and
    // deleted, and the next session fetches the whole file, which matches its checksum.
    SCOPED_TRACE("a partial copy with a tampered start over HTTP");
    peers.Put(peers.httpRoot, L"Kadry\\6\\k.dat", a);
    peers.Put(peers.httpRoot, L"Kadry.nrm", WideToAnsi(map));
    ScratchDir root{L"hash"};
    const std::wstring repo = root / L"repo\\", temp = root / L"tmp\\";
    std::string start = a.substr(0, 100000);
    start[10] ^= 1;
    ForceDirectories(temp + L"Kadry\\6\\");
    test::WriteBytes(temp + L"Kadry\\6\\k.dat", start);
    EXPECT_NE(LoadOnlySession(http, temp, repo).find(L"Контрольная сумма загруженного файла k.dat не совпадает"),
              std::wstring::npos);
    EXPECT_FALSE(test::PathExists(temp + L"Kadry\\6\\k.dat"));
    EXPECT_EQ(LoadOnlySession(http, temp, repo), done);
    EXPECT_TRUE(test::ReadBytes(repo + L"Kadry\\6\\k.dat") == a);
    // A file changed on the server by one byte, its size kept, is refused and not stored.
    std::string changed = a;
    changed[299999] ^= 1;
    peers.Put(peers.httpRoot, L"Kadry\\6\\k.dat", changed);
    DeleteFileW((repo + L"Kadry\\6\\k.dat").c_str());
    std::wstring all = LoadOnlySession(http, temp, repo);
    EXPECT_NE(all.find(L"Контрольная сумма загруженного файла k.dat не совпадает"), std::wstring::npos)
        << WideToUtf8(all);
    EXPECT_FALSE(test::PathExists(repo + L"Kadry\\6\\k.dat"));
    EXPECT_FALSE(test::PathExists(temp + L"Kadry\\6\\k.dat"));
  }
  {
    SCOPED_TRACE("FTP through the proxy: a source file changed by one byte");
    std::string changed = a;
    changed[299999] ^= 1;
    peers.Put(peers.ftpRoot, L"Kadry\\6\\k.dat", changed);
    peers.Put(peers.ftpRoot, L"Kadry.nrm", WideToAnsi(map));
    const std::wstring ftp = L"[Ftp]\r\nServer=127.0.0.1\r\nPort=" + peers.ftpPort +
                             L"\r\nRootDir=/\r\n[Connection]\r\nConnectionType=0\r\nAttemptCount=1\r\n[Proxy]\r\nUse=1\r\n"
                             L"ProxyServerName=127.0.0.1\r\nProxyServerPort=" +
                             peers.proxyPort + L"\r\nProxyAuthType=1\r\nProxyLogin=" + peers.proxyUser +
                             L"\r\nProxyPassword=" + peers.proxyPassword + L"\r\n";
    ScratchDir root{L"hashf"};
    const std::wstring repo = root / L"repo\\", temp = root / L"tmp\\";
    ForceDirectories(temp);
    std::wstring all = LoadOnlySession(ftp, temp, repo);
    EXPECT_NE(all.find(L"Контрольная сумма загруженного файла k.dat не совпадает"), std::wstring::npos)
        << WideToUtf8(all);
    EXPECT_FALSE(test::PathExists(repo + L"Kadry\\6\\k.dat"));
    peers.Put(peers.ftpRoot, L"Kadry\\6\\k.dat", a);
    EXPECT_EQ(LoadOnlySession(ftp, temp, repo), done);
    EXPECT_TRUE(test::ReadBytes(repo + L"Kadry\\6\\k.dat") == a);
  }
}

// ---- HTTPS against lighttpd with the tests' own certificates ----

namespace {
std::wstring CertsDir() { return Env(L"DX_CERTS"); }
// A certificate of the tests' folder as the settings hold it: PEM with "\n" for its line breaks.
std::wstring CertSetting(const wchar_t* name) {
  std::string pem = test::ReadBytes(CertsDir() + name), out;
  for (char c : pem) {
    if (c == '\r') continue;
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return AnsiToWide(out);
}
std::wstring HttpsPort(const wchar_t* which) { return Env((std::wstring(L"DX_HTTPS_") + which + L"PORT").c_str()); }
}  // namespace

TEST(Https, EachCertificateFaultIsRefusedWithItsReason) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  ASSERT_FALSE(CertsDir().empty()) << "the https peer is started";
  peers.Put(peers.httpRoot, L"s\\a.bin", kPayload);
  const std::wstring ca = CertSetting(L"ca.crt"), self = CertSetting(L"self.crt");
  const wchar_t* kCut =
      L"сервер закрыл соединение без уведомления о закрытии (TLS close_notify): полученные данные "
      L"могут быть неполными.";
  struct Case {
    const char* name;
    const wchar_t* port;  // the part of DX_HTTPS_..._PORT
    std::wstring host, trusted, reason;  // reason empty: fetched
  };
  const Case cases[] = {
      {"the tests' authority", L"", L"localhost", ca, L""},
      {"by address (an IP entry of the names)", L"", L"127.0.0.1", ca, L""},
      {"several trusted, DER and PEM", L"", L"localhost", test::PemBody(CertsDir() + L"self.crt") + L" " + ca, L""},
      {"an authority the system does not know", L"", L"localhost", L"",
       L"сертификат сервера выдан неизвестным центром сертификации «Dorvex Test CA» (цепочка не доходит до "
       L"доверенного корневого сертификата системы)."},
      {"another name", L"OTHERNAME_", L"localhost", ca,
       L"имени сервера «localhost» нет в его сертификате (сертификат выдан для: other.example)."},
      {"expired", L"EXPIRED_", L"localhost", ca, L"срок действия сертификата «localhost» истек 01.01.2021."},
      {"for clients only", L"USAGE_", L"localhost", ca, L"сертификат сервера не предназначен для проверки подлинности сервера."},
      {"self-signed, not listed", L"SELF_", L"localhost", ca,
       L"сертификат сервера выдан центром сертификации «localhost», которого нет среди доверенных сертификатов в "
       L"настройках (раздел [Security], ключ TrustedCertificates)."},
      {"self-signed and listed", L"SELF_", L"localhost", self, L""},
      {"another authority", L"OTHERCA_", L"localhost", ca,
       L"сертификат сервера выдан центром сертификации «Dorvex Other CA», которого нет среди доверенных"},
      {"not a certificate in the settings", L"", L"localhost", L"bm90IGEgY2VydA==",
       L"«bm90IGEgY2VydA==» не является сертификатом X.509 в формате PEM или DER (base64)."},
      // The scripted peer: chains through an intermediate, names, weak keys, handshakes, the end.
      {"an intermediate, sent", L"SENTINTER_", L"localhost", ca, L""},
      {"an intermediate left out, its address named", L"NOAIA_", L"localhost", ca,
       L"сервер не прислал промежуточный сертификат центра «Dorvex Test inter», которым подписан сертификат "
       L"«localhost»"},
      {"an intermediate without keyCertSign", L"NOKCS_", L"localhost", ca,
       L"сертификат центра «Dorvex Test interku» не предназначен для подписи сертификатов (keyCertSign)."},
      {"an intermediate for clients only", L"CLIENTEKU_", L"localhost", ca,
       L"сертификат «Dorvex Test intereku» не предназначен для проверки подлинности сервера."},
      {"alternative names that do not decode", L"BADSAN_", L"localhost", ca,
       L"альтернативные имена в сертификате сервера не читаются (расширение subjectAltName повреждено)."},
      {"a NUL in the common name", L"NULCN_", L"localhost", ca,
       L"имени сервера «localhost» нет в его сертификате (сертификат выдан для: localhost\\x00.evil.example)."},
      {"an 8-bit letter in the common name", L"ACCENTCN_", L"localhost", ca,
       L"имени сервера «localhost» нет в его сертификате (сертификат выдан для: locàlhost)."},
      {"a 1024-bit key", L"WEAKKEY_", L"localhost", ca,
       L"ключ RSA сертификата «localhost» короче 2048 бит (1024 бит)."},
      {"signed with SHA-1", L"SHA1_", L"localhost", ca,
       L"сертификат «localhost» подписан устаревшим и ненадежным алгоритмом SHA-1."},
      {"a chain far too long", L"HUGECHAIN_", L"localhost", ca, L"сервер прислал слишком большую цепочку сертификатов"},
      {"TLS 1.3 only", L"TLS13_", L"localhost", ca,
       L"у программы и сервера нет общей версии протокола TLS: сервер отверг предложенные программой версии"},
      {"TLS 1.0 only", L"OLDTLS_", L"localhost", ca,
       L"сервер поддерживает только устаревший протокол TLS 1.0; его можно разрешить ключом AllowOldTls в разделе "
       L"[Security] настроек"},
      {"a flood of handshake records", L"FLOOD_", L"localhost", ca,
       L"сервер прислал слишком много данных установления соединения"},
      {"a body cut without the close notice", L"TRUNCATE_", L"localhost", ca, kCut},
      {"a header cut without the close notice", L"TRUNCATEHEAD_", L"localhost", ca, kCut},
      {"a body ended by a reset", L"RESET_", L"localhost", ca, kCut},
      {"a body ended by the close notice", L"NOTIFY_", L"localhost", ca, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    Settings().HttpServer = L"https://" + c.host;
    Settings().HttpTimeOut = 20;
    Settings().HttpPort = HttpsPort(c.port);
    Settings().TrustedCertificates = c.trusted;
    THttpProtocol h(*f.p);
    const std::wstring local = f.temp / L"a.bin";
    const bool ok = h.DownloadFile(f.abortVar, L"/s/a.bin", true, local);
    if (c.reason.empty()) {
      ASSERT_TRUE(ok) << WideToUtf8(f.Message());
      EXPECT_TRUE(test::ReadBytes(local) == kPayload);
      EXPECT_EQ(h.Client->SecureSummary.rfind(L"TLS 1.2, шифр AES-", 0), 0u) << WideToUtf8(h.Client->SecureSummary);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(f.Message().find(L"с сервером " + c.host), std::wstring::npos) << WideToUtf8(f.Message());
      EXPECT_NE(f.Message().find(c.reason), std::wstring::npos) << WideToUtf8(f.Message());
      EXPECT_EQ(f.Message().find(L"Ошибка сервера"), std::wstring::npos);  // the server said nothing of it
      if (c.reason != kCut) {
        EXPECT_FALSE(test::PathExists(local));  // nothing of the server's was written
      }
    }
  }
  // The check fetched nothing; the server that sent its close notice got the program's.
  EXPECT_EQ(test::ReadBytes(Env(L"DX_TLSPEER_LOG")).find("aia: GET"), std::string::npos);
  for (int i = 0; i < 100 && test::ReadBytes(Env(L"DX_TLSPEER_LOG")).find("notify: the client's") == std::string::npos;
       ++i)
    Sleep(100);
  EXPECT_NE(test::ReadBytes(Env(L"DX_TLSPEER_LOG")).find("notify: the client's close notice came"), std::string::npos)
      << test::ReadBytes(Env(L"DX_TLSPEER_LOG"));
  // A port that speaks plain HTTP, named https: the handshake fails with the reason.
  Fixture f;
  Settings().HttpServer = L"https://localhost";
  Settings().HttpPort = peers.httpPort;
  Settings().TrustedCertificates = ca;
  THttpProtocol h(*f.p);
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/s/a.bin", true, f.temp / L"a.bin"));
  EXPECT_NE(f.Message().find(L"Не удалось установить защищенное соединение с сервером localhost: сервер ответил не по "
                             L"протоколу TLS"),
            std::wstring::npos)
      << WideToUtf8(f.Message());
}

TEST(Https, RedirectsUpToHttpsAreFollowedAndDownRefused) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  peers.Put(peers.httpRoot, L"r\\a.bin", kPayload.substr(0, 5000));
  Fixture f;
  Settings().TrustedCertificates = CertSetting(L"ca.crt");
  UseHttp(peers);
  {
    THttpProtocol h(*f.p);
    ASSERT_TRUE(h.DownloadFile(f.abortVar, L"/tohttps/r/a.bin", true, f.temp / L"a.bin")) << WideToUtf8(f.Message());
    EXPECT_TRUE(test::ReadBytes(f.temp / L"a.bin") == kPayload.substr(0, 5000));
    EXPECT_FALSE(h.Client->SecureSummary.empty());
  }
  Settings().HttpServer = L"https://localhost";
  Settings().HttpPort = HttpsPort(L"");
  THttpProtocol h(*f.p);
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/tohttp/r/a.bin", true, f.temp / L"b.bin"));
  EXPECT_EQ(f.Message(), L"C сервера нельзя загрузить файл https://localhost:" + HttpsPort(L"") +
                             L"/tohttp/r/a.bin. Перенаправление с защищенного соединения (https) на "
                             L"незащищенное отвергнуто: http://127.0.0.1:" +
                             peers.httpPort + L"/r/a.bin");
  EXPECT_FALSE(test::PathExists(f.temp / L"b.bin"));
}

TEST(Https, StopInTheMiddleOfATransfer) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  peers.Put(peers.httpRoot, L"slow\\big.bin", test::PatternBytes(1000000, 5));
  Fixture f;
  Settings().HttpServer = L"https://localhost";
  Settings().HttpPort = HttpsPort(L"");
  Settings().TrustedCertificates = CertSetting(L"ca.crt");
  THttpProtocol h(*f.p);
  g_stopVar = &f.abortVar;
  SetTimer(nullptr, 0, 1500, StopTimer);
  const DWORD t0 = GetTickCount();
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/slow/big.bin", true, f.temp / L"big.bin"));
  g_stopVar = nullptr;
  EXPECT_LT(GetTickCount() - t0, 6000u);  // the whole file takes 15 s
  EXPECT_EQ(f.windowAborts, 1);
  EXPECT_NE(f.Message().find(L"Соединение с сервером прервано"), std::wstring::npos) << WideToUtf8(f.Message());
  const int64_t got = FileSizeOf(f.temp / L"big.bin");
  EXPECT_GT(got, 0);
  EXPECT_LT(got, 1000000);
}

TEST(HttpsSession, DirectAndThroughTheProxysTunnel) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  const std::wstring https = L"[Http]\r\nServer=https://localhost\r\nPort=" + HttpsPort(L"") +
                             L"\r\nRootDir=/\r\n[Security]\r\nTrustedCertificates=" + CertSetting(L"ca.crt") + L"\r\n";
  const std::wstring proxy = L"[Proxy]\r\nUse=1\r\nProxyServerName=127.0.0.1\r\nProxyServerPort=" + peers.proxyPort +
                             L"\r\nProxyAuthType=1\r\nProxyLogin=" + peers.proxyUser + L"\r\nProxyPassword=" +
                             peers.proxyPassword + L"\r\n";
  for (bool throughProxy : {false, true}) {
    SCOPED_TRACE(throughProxy ? "through squid's CONNECT" : "directly");
    Session(peers, peers.httpRoot,
            https + L"[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n" + (throughProxy ? proxy : L"[Proxy]\r\nUse=0\r\n"));
    // The report's connection section names the protocol and the cipher agreed.
    EXPECT_NE(g_lastReport.find(WideToAnsi(L"    - Соединение с сервером защищено (HTTPS): TLS 1.2, шифр AES-")),
              std::string::npos)
        << WideToUtf8(AnsiToWide(g_lastReport));
  }
  // Without the proxy's credentials the tunnel is refused with the proxy's status.
  Fixture f;
  Settings().HttpServer = L"https://localhost";
  Settings().HttpPort = HttpsPort(L"");
  UseProxy(peers, false);
  THttpProtocol h(*f.p);
  EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/Kadry.nrm", false, f.temp / L"k.nrm"));
  EXPECT_EQ(f.Message(), L"C сервера нельзя загрузить файл https://localhost:" + HttpsPort(L"") +
                             L"/Kadry.nrm. Ошибка сервера 407: Прокси-сервер требует проверки подлинности по схемам: "
                             L"Basic; в настройках проверка подлинности не выбрана.");
}

// Digest against squid's digest_file_auth; NTLM and Negotiate against squid with Samba's
// ntlm_auth, whose winbindd checks the answer against a local account's password; to http://,
// through CONNECT to https:// and to ftp://. A wrong password is refused by the proxy. NTLM
// without a login answers as the Windows logon (under Wine, the test user's logon kept by winbindd).
TEST(HttpProtocol, ProxyAuthenticationSchemes) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  const std::wstring digest = Env(L"DX_DIGEST_PROXY_PORT"), ntlm = Env(L"DX_NTLM_PROXY_PORT");
  ASSERT_FALSE(digest.empty() || ntlm.empty()) << "the digestproxy and ntlmproxy peers are started";
  peers.Put(peers.httpRoot, L"pa\\a.bin", kPayload.substr(0, 150000));
  peers.Put(peers.ftpRoot, L"pa\\a.bin", kPayload.substr(0, 150000));
  const std::wstring dPass = Env(L"DX_DIGEST_PROXY_PASSWORD"), nPass = Env(L"DX_NTLM_PROXY_PASSWORD");
  const std::wstring nUser = Env(L"DX_NTLM_PROXY_USER"), nDomainUser = Env(L"DX_NTLM_PROXY_DOMAIN") + L"\\" + nUser;
  struct Row {
    const char* name;
    std::wstring port;
    int kind;
    std::wstring user, password;
    int origin;           // 0 http, 1 https through CONNECT, 2 ftp
    std::wstring result;  // the scheme noted for the report, or the message's end
  };
  const std::wstring refused = L"Ошибка сервера 407: Прокси-сервер ";
  const Row rows[] = {
      {"digest", digest, 2, L"dorvex", dPass, 0, L"Digest (MD5)"},
      {"digest, wrong password", digest, 2, L"dorvex", L"wrong", 0,
       refused + L"отверг имя пользователя или пароль (Digest)"},
      {"digest, CONNECT", digest, 2, L"dorvex", dPass, 1, L"Digest (MD5)"},
      {"digest, ftp", digest, 2, L"dorvex", dPass, 2, L"Digest (MD5)"},
      {"basic where only Digest is offered", digest, 1, L"dorvex", dPass, 0,
       refused + L"требует проверки подлинности по схемам: Digest; в настройках выбрана схема Basic."},
      {"ntlm", ntlm, 3, nUser, nPass, 0, L"NTLM"},
      {"ntlm with the domain", ntlm, 3, nDomainUser, nPass, 0, L"NTLM"},
      {"ntlm, wrong password", ntlm, 3, nUser, L"wrong", 0, refused + L"отверг имя пользователя или пароль (NTLM)"},
      {"ntlm, CONNECT", ntlm, 3, nUser, nPass, 1, L"NTLM"},
      {"ntlm, the Windows logon", ntlm, 3, L"", L"", 0, L"NTLM"},
      {"ntlm, ftp", ntlm, 3, nUser, nPass, 2, L"NTLM"},
      {"negotiate", ntlm, 4, nUser, nPass, 0, L"Negotiate"},
      {"negotiate, wrong password", ntlm, 4, nUser, L"wrong", 0,
       refused + L"отверг имя пользователя или пароль (Negotiate)"},
      {"none where NTLM is asked for", ntlm, 0, L"", L"", 0,
       refused + L"требует проверки подлинности по схемам: NTLM, Negotiate; в настройках проверка подлинности не выбрана."},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Fixture f;
    UseHttp(peers);
    if (r.origin == 1) {
      Settings().HttpServer = L"https://localhost";
      Settings().HttpPort = HttpsPort(L"");
      Settings().TrustedCertificates = CertSetting(L"ca.crt");
    }
    if (r.origin == 2) {
      Settings().ConnectionType = 0;
      Settings().FtpServer = L"127.0.0.1";
      Settings().FtpPort = peers.ftpPort;
      Settings().FtpRootDir = L"/";
    }
    UseProxy(peers, true);
    Settings().ProxyServerPort = r.port;
    Settings().ProxyAuthType = r.kind;
    Settings().ProxyLogin = r.user;
    Settings().ProxyPassword = r.password;
    THttpProtocol::ForgetSecureConnection();
    const bool ok = r.result.rfind(refused, 0) != 0;
    {
      THttpProtocol h(*f.p);
      // Twice: the second request uses what the first learnt (a Digest nonce, a new handshake).
      for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(h.DownloadFile(f.abortVar, L"/pa/a.bin", true, f.temp / L"a.bin"), ok) << WideToUtf8(f.Message());
        if (!ok) break;
      }
    }
    if (ok) {
      EXPECT_TRUE(test::ReadBytes(f.temp / L"a.bin") == kPayload.substr(0, 150000));
      EXPECT_EQ(THttpProtocol::ProxySchemeNote(), r.result);
    } else {
      const std::wstring m = f.Message();
      EXPECT_EQ(m.substr(m.size() < r.result.size() ? 0 : m.size() - r.result.size()), r.result);
    }
  }
}

// ---- Continuation of partial files over HTTP ----

TEST(HttpContinuation, ThePartialIsContinuedOnlyWhereTheServerTiesItToTheSameDocument) {
  const std::string body = test::PatternBytes(10000, 9);
  const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 10000\r\n";
  struct Case {
    const char* name;
    std::string validator;          // the first answer's validator line
    bool restore;                   // [Http] EnableRestore
    std::vector<std::string> then;  // the answers after the broken first one
    const char* range;              // the second request's range lines ("" for none)
    bool checksum = false;          // the map gives the file's SHA-256
  };
  const std::string rest = "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 4000-9999/10000\r\nContent-Length: 6000\r\n\r\n" +
                           body.substr(4000);
  const std::string whole = head + "ETag: \"v2\"\r\n\r\n" + body;
  const Case cases[] = {
      {"a strong ETag: the rest appended", "ETag: \"v1\"\r\n", true, {rest}, "Range: bytes=4000-\r\nIf-Range: \"v1\"\r\n"},
      {"Last-Modified when there is no strong ETag", "ETag: W/\"w\"\r\nLast-Modified: Tue, 08 Dec 2026 01:02:03 GMT\r\n",
       true, {rest}, "Range: bytes=4000-\r\nIf-Range: Tue, 08 Dec 2026 01:02:03 GMT\r\n"},
      {"the server ignores the range: rewritten from the start", "ETag: \"v1\"\r\n", true, {whole},
       "Range: bytes=4000-\r\n"},
      {"416: fetched whole", "ETag: \"v1\"\r\n", true, {"HTTP/1.0 416 Range Not Satisfiable\r\n\r\n", whole},
       "Range: bytes=4000-\r\n"},
      {"a part that does not fit: fetched whole", "ETag: \"v1\"\r\n", true,
       {"HTTP/1.0 206 Partial\r\nContent-Range: bytes 4000-9999/12000\r\n\r\n" + body.substr(4000), whole},
       "Range: bytes=4000-\r\n"},
      {"no validator: fetched whole", "ETag: W/\"weak\"\r\n", true, {whole}, ""},
      {"no validator, but the map's checksum judges: the rest without If-Range", "ETag: W/\"weak\"\r\n", true, {rest},
       "Range: bytes=4000-\r\n\r\n", true},
      {"continuation off", "ETag: \"v1\"\r\n", false, {whole}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScriptServer server([&](SOCKET s, int index) {
      server.ReadRequest(s);
      if (index == 0) {
        test::ScriptServer::SendAll(s, head + c.validator + "\r\n" + body.substr(0, 4000));
        return;  // closed before the end
      }
      test::ScriptServer::SendAll(s, c.then[std::min<size_t>(static_cast<size_t>(index - 1), c.then.size() - 1)]);
    });
    Fixture f;
    Settings().HttpServer = L"127.0.0.1";
    Settings().HttpPort = std::to_wstring(server.Port());
    Settings().HttpEnableRestore = c.restore;
    THttpProtocol h(*f.p);
    const std::wstring local = f.temp / L"d.bin";
    EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/d.bin", true, local));
    EXPECT_EQ(FileSizeOf(local), 4000);
    h.JudgedByChecksum = c.checksum;
    ASSERT_TRUE(h.DownloadFile(f.abortVar, L"/d.bin", true, local)) << WideToUtf8(f.Message());
    EXPECT_TRUE(test::ReadBytes(local) == body);
    EXPECT_FALSE(test::PathExists(PartialValidatorPath(local)));  // whole: nothing left to continue
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), c.then.size() + 1);
    const std::string second = requests[1];
    if (*c.range) {
      EXPECT_NE(second.find(c.range), std::string::npos) << second;
    } else {
      EXPECT_EQ(second.find("Range:"), std::string::npos) << second;
    }
    // After a refused part the whole is asked for without a range.
    if (requests.size() == 3) {
      EXPECT_EQ(requests[2].find("Range:"), std::string::npos);
    }
  }
}

namespace {
std::wstring ReplaceAll(std::wstring text, const std::wstring& what, const std::wstring& with) {
  for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
  return text;
}

// Lines of lighttpd's access log holding text, polled until one comes (the log reaches the disk
// a moment after the request).
std::string WaitForLogLine(const std::string& text) {
  for (int i = 0; i < 100; ++i) {
    const std::string log = test::ReadBytes(Env(L"DX_HTTP_LOG"));
    size_t at = log.find(text);
    if (at != std::string::npos) return log.substr(at, log.find('\n', at) - at);
    Sleep(100);
  }
  return "";
}
}  // namespace

TEST(HttpContinuationSession, AKilledSessionFetchesOnlyTheRest) {
  Peers peers;
  ASSERT_TRUE(peers.Ready());
  const std::wstring proxy = L"[Proxy]\r\nUse=1\r\nProxyServerName=127.0.0.1\r\nProxyServerPort=" + peers.proxyPort +
                             L"\r\nProxyAuthType=1\r\nProxyLogin=" + peers.proxyUser + L"\r\nProxyPassword=" +
                             peers.proxyPassword + L"\r\n";
  struct Case {
    const char* name;
    bool throughProxy, changed;
  };
  const Case cases[] = {{"directly", false, false}, {"through squid", true, false}, {"changed on the server", false, true}};
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++round;
    ScratchDir root{L"kill"};
    const std::wstring repo = root / L"repo\\", temp = root / L"tmp\\", ini = root / L"s.ini";
    ForceDirectories(temp);
    const std::wstring dir = L"slow\\k" + std::to_wstring(round) + L"\\";
    const std::string first = test::PatternBytes(400000, 20 + round), second = test::PatternBytes(400000, 40 + round);
    auto publish = [&](const std::string& bytes) {
      // A new file each time (a new inode and date), as a publisher's upload makes one.
      peers.Put(peers.httpRoot, dir + L"Kadry\\6\\big.dat.new", bytes);
      const std::wstring target = peers.httpRoot + dir + L"Kadry\\6\\big.dat";
      ASSERT_TRUE(MoveFileExW((target + L".new").c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING));
      peers.Put(peers.httpRoot, dir + L"Kadry.nrm",
                WideToAnsi(L"[6]\r\nDir=Kadry/6\r\nCount=1\r\nFileName1=big.dat\r\nFileSize1=400000\r\nFileHash1=" +
                           Sha256Of(bytes) + L"\r\n"));
    };
    publish(first);
    test::WriteBytes(ini, WideToAnsi(L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Session]\r\nTempDir=" + temp +
                                     L"\r\n[Service]\r\nNoBitmap=1\r\n[Http]\r\nServer=127.0.0.1\r\nPort=" + peers.httpPort +
                                     L"\r\nRootDir=/" + ReplaceAll(dir, L"\\", L"/") +
                                     L"\r\nEnableRestore=1\r\n[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n" +
                                     (c.throughProxy ? proxy : L"[Proxy]\r\nUse=0\r\n") +
                                     L"[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\n"
                                     L"VirtualUpgrade=1\r\nVirtualVersion=5\r\n"));
    const std::wstring partial = temp + L"Kadry\\6\\big.dat";
    {
      test::RunningProgram program(test::TestProgramDir() + L"..\\dorvex.exe", L"/auto /CONF:" + ini);
      ASSERT_TRUE(program.Started());
      for (int i = 0; i < 600 && FileSizeOf(partial) < 100000; ++i) Sleep(100);
    }  // killed here, in the middle of the file
    const int64_t have = FileSizeOf(partial);
    ASSERT_GE(have, 100000);
    ASSERT_LT(have, 400000);
    ASSERT_TRUE(test::PathExists(PartialValidatorPath(partial)));
    if (c.changed) publish(second);
    {
      test::RunningProgram program(test::TestProgramDir() + L"..\\dorvex.exe", L"/auto /CONF:" + ini);
      ASSERT_TRUE(program.Started());
      EXPECT_GE(program.WaitExit(120000), 0);
    }
    EXPECT_TRUE(test::ReadBytes(repo + L"Kadry\\6\\big.dat") == (c.changed ? second : first));
    // The second request asked for the rest with the validator; the server sent only the rest,
    // or the whole new file.
    const std::string path = "GET /" + WideToAnsi(ReplaceAll(dir, L"\\", L"/")) + "Kadry/6/big.dat ";
    const std::string line = WaitForLogLine(path + (c.changed ? "200" : "206") + " range=\"bytes=" + std::to_string(have) + "-\"");
    EXPECT_FALSE(line.empty()) << test::ReadBytes(Env(L"DX_HTTP_LOG"));
    EXPECT_EQ(line.find("if-range=\"-\""), std::string::npos) << line;
    EXPECT_NE(line.find("if-range=\"\\\""), std::string::npos) << line;  // a quoted ETag
    EXPECT_FALSE(test::PathExists(partial));
    EXPECT_FALSE(test::PathExists(PartialValidatorPath(partial)));
  }
}

TEST(HttpProtocol, TheSystemDownloadEndsOnItsTimeOutAndOnStopWhileTheServerIsSilent) {
  // The header, then nothing: the function reports no progress at all.
  test::ScriptServer silent([&](SOCKET s, int) {
    silent.ReadRequest(s);
    test::ScriptServer::SendAll(s, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n");
    silent.Idle(120000);
  });
  Fixture f;
  Settings().HttpServer = L"127.0.0.1";
  Settings().HttpPort = std::to_wstring(silent.Port());
  Settings().ConnectionType = 3;
  BindSystemDownload();
  ASSERT_TRUE(SystemDownload());
  const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(silent.Port());
  {
    SCOPED_TRACE("the time-out");
    Settings().HttpTimeOut = 2;
    THttpProtocol h(*f.p);
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/sys/quiet1.bin", true, f.temp / L"quiet1.bin"));
    const DWORD spent = GetTickCount() - t0;
    EXPECT_GE(spent, 1900u);
    EXPECT_LT(spent, 10000u);
    EXPECT_EQ(f.Message(), L"C сервера нельзя загрузить файл " + url +
                               L"/sys/quiet1.bin. Сервер не присылает данных дольше 2 сек. (тайм-аут ответа): загрузка "
                               L"прервана");
    EXPECT_FALSE(test::PathExists(f.temp / L"quiet1.bin"));
  }
  {
    SCOPED_TRACE("Stop with no time-out set");
    Settings().HttpTimeOut = 0;
    THttpProtocol h(*f.p);
    g_stopVar = &f.abortVar;
    SetTimer(nullptr, 0, 1000, StopTimer);
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(h.DownloadFile(f.abortVar, L"/sys/quiet2.bin", true, f.temp / L"quiet2.bin"));
    g_stopVar = nullptr;
    EXPECT_LT(GetTickCount() - t0, 5000u);
    EXPECT_EQ(f.windowAborts, 1);
    EXPECT_EQ(f.Message(), L"C сервера нельзя загрузить файл " + url + L"/sys/quiet2.bin. Загрузка прервана пользователем");
    EXPECT_FALSE(test::PathExists(f.temp / L"quiet2.bin"));
  }
  UnbindSystemDownload();
}
