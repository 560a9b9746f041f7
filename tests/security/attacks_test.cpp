// What a hostile server, mirror or floppy can serve, and what the agent makes of it: each row
// of the table is a whole session through the main window against a real source (lighttpd,
// vsftpd, squid, a directory, a network drive or a floppy set), with the publisher's key in the
// settings. Nothing the key did not vouch for may enter the repository or reach an upgrade,
// and the session's record must name the refusal.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "app/mainfrm.h"
#include "app/report.h"
#include "common/routines.h"
#include "common/text.h"
#include "net/ftp_server.h"
#include "net/script_server.h"
#include "settings/options.h"
#include "test_util.h"
#include "transfer/transfer_common.h"
#include "ui/dialogs.h"
#include "ui/pump.h"
#include "upgrade/mapcheck.h"

using namespace dorvex;

namespace {
std::wstring Env(const wchar_t* name) {
  wchar_t buf[1024];
  DWORD n = GetEnvironmentVariableW(name, buf, 1024);
  return n > 0 && n < 1024 ? std::wstring(buf, n) : L"";
}
std::wstring Keys(const std::wstring& rel) {
  return test::TestProgramDir() + L"keys\\" + rel;
}

// A Unix symbolic link made on the host: Wine shows one to a folder as a reparse point, as
// Windows shows a junction, and can make neither a junction nor a symbolic link itself.
void HostLink(const std::wstring& link, const std::wstring& target) {
  using ToUnix = char*(CDECL*)(LPCWSTR);
  auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  ASSERT_NE(toUnix, nullptr);
  char *from = toUnix(ExcludeTrailingBackslash(target).c_str()), *to = toUnix(link.c_str());
  std::wstring command = L"/bin/ln -sfn " + AnsiToWide(from) + L" " + AnsiToWide(to);
  HeapFree(GetProcessHeap(), 0, from);
  HeapFree(GetProcessHeap(), 0, to);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  ASSERT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << WideToUtf8(link);
}

enum class Via { Directory, Http, Ftp, Proxy, Share, ScriptHttp, ScriptFtp };
const char* ViaName(Via v) {
  switch (v) {
    case Via::ScriptHttp: return "scripted HTTP server";
    case Via::ScriptFtp: return "scripted FTP server";
    case Via::Directory: return "directory";
    case Via::Http: return "lighttpd";
    case Via::Ftp: return "vsftpd";
    case Via::Proxy: return "squid";
    case Via::Share: return "network drive";
  }
  return "";
}

// One computer with Buh at version 412 and one source serving what the row puts there.
struct Bench {
  test::Computer pc{L"attack"};
  Via via;
  std::wstring source;
  bool required = true;
  std::wstring diskRoot;  // the directory source's root when not the served folder (a floppy drive)
  std::wstring key = AnsiToWide(test::ReadBytes(Keys(L"a.der64")));
  std::wstring extra;  // more settings

  explicit Bench(Via v) : via(v) {
    switch (v) {
      case Via::Directory:
      case Via::ScriptHttp:
      case Via::ScriptFtp: source = pc.root / L"source\\"; break;
      case Via::Http:
      case Via::Proxy: source = Env(L"DX_HTTP_ROOT"); break;
      case Via::Ftp: source = Env(L"DX_FTP_ROOT"); break;
      case Via::Share: source = L"N:\\attacks\\"; break;
    }
    test::RemoveTree(source);
    ForceDirectories(source);
    ForgetSerials();
    pc.InstallBuh();
  }
  ~Bench() {
    pc.form.reset();
    test::RemoveTree(source);
    ForceDirectories(source);
    ForgetSerials();
    DeleteFileW(FixedReportPath().c_str());
    Settings() = TSettings{};
  }
  static void ForgetSerials() {
    for (const std::wstring& path : {SerialStatePath(), SerialStateCopyPath()}) {
      DeleteFileW(path.c_str());
      RemoveDirectoryW(path.c_str());
      RemoveDirectoryW((path + L".new").c_str());
    }
  }
  std::unique_ptr<test::ScriptServer> httpServer;    // Via::ScriptHttp
  std::unique_ptr<test::ScriptedFtpServer> ftpServer;  // Via::ScriptFtp
  // Serves a published tree of the key fixture.
  void Serve(const std::wstring& tree) { test::CopyTree(Keys(L"attacks\\" + tree + L"\\"), source); }
  void Rename(const std::wstring& from, const std::wstring& to) {
    MoveFileExW((source + from).c_str(), (source + to).c_str(), MOVEFILE_REPLACE_EXISTING);
  }
  std::wstring SettingsText() const {
    const std::wstring http = L"[Http]\r\nServer=127.0.0.1\r\nPort=" + Env(L"DX_HTTP_PORT") + L"\r\nRootDir=/\r\n";
    std::wstring via_;
    switch (via) {
      case Via::Directory:
      case Via::Share:
        via_ = L"[Disk]\r\nRootDir=" + (diskRoot.empty() ? source : diskRoot) +
               L"\r\n[Connection]\r\nConnectionType=2\r\n";
        break;
      case Via::Http: via_ = http + L"[Proxy]\r\nUse=0\r\n[Connection]\r\nConnectionType=1\r\n"; break;
      case Via::Proxy:
        via_ = http + L"[Proxy]\r\nUse=1\r\nProxyServerName=127.0.0.1\r\nProxyServerPort=" + Env(L"DX_PROXY_PORT") +
               L"\r\nProxyAuthType=1\r\nProxyLogin=" + Env(L"DX_PROXY_USER") + L"\r\nProxyPassword=" +
               Env(L"DX_PROXY_PASSWORD") + L"\r\n[Connection]\r\nConnectionType=1\r\n";
        break;
      case Via::ScriptHttp:
        via_ = L"[Http]\r\nServer=127.0.0.1\r\nPort=" + std::to_wstring(httpServer->Port()) +
               L"\r\nRootDir=/\r\nTimeOut=2\r\n[Proxy]\r\nUse=0\r\n[Connection]\r\nConnectionType=1\r\n";
        break;
      case Via::ScriptFtp:
        via_ = L"[Ftp]\r\nServer=127.0.0.1\r\nPort=" + std::to_wstring(ftpServer->Port()) +
               L"\r\nRootDir=/\r\nTimeOut=2\r\n[Proxy]\r\nUse=0\r\n[Connection]\r\nConnectionType=0\r\n";
        break;
      case Via::Ftp:
        via_ = L"[Ftp]\r\nServer=127.0.0.1\r\nPort=" + Env(L"DX_FTP_PORT") + L"\r\nRootDir=" +
               Env(L"DX_FTP_ROOT_UNIX") +
               L"/\r\nEnableRestore=1\r\n[Proxy]\r\nUse=0\r\n[Connection]\r\n"
               L"ConnectionType=0\r\n";
        break;
    }
    std::wstring text = L"[Common]\r\nUpgradeFilesDir=" + pc.repo + L"\r\n" + via_ +
                        L"AttemptCount=1\r\nAttemptPause=0\r\n[Session]\r\nTempDir=" + pc.temp +
                        L"\r\n[Security]\r\nMapPublicKey=" + key + L"\r\nRequireSignedMaps=" +
                        (required ? L"1" : L"0") + L"\r\n[General]\r\nActiveProgramCount=" +
                        std::to_wstring(pc.programs.size()) + L"\r\n" + extra;
    for (size_t i = 0; i < pc.programs.size(); ++i)
      text += L"[Program" + std::to_wstring(i + 1) + L"]\r\n" + pc.programs[i];
    return text;
  }
  // A whole session; the record and the report as one text.
  std::wstring Session() {
    test::WriteBytes(SettingsFileName(), WideToAnsi(SettingsText()));
    if (!pc.form) pc.Open();
    pc.Run();
    std::wstring all;
    for (const auto& l : pc.Lines()) all += l + L"\n";
    return all + AnsiToWide(test::ReadBytes(FixedReportPath()));
  }
  std::string Repo(const std::wstring& rel) const { return test::ReadBytes(pc.repo + rel); }
  // A folder outside the repository with a file of its own, for links to lead to.
  std::wstring Outside() const {
    const std::wstring dir = pc.root / L"outside\\";
    ForceDirectories(dir);
    test::WriteBytes(dir + L"keep.txt", "keep");
    return dir;
  }
  // Leaves a file in the repository, as a foreign program or an earlier edition would.
  void Plant(const std::wstring& rel, const std::string& bytes) const {
    ForceDirectories(ExtractFilePath(pc.repo + rel));
    test::WriteBytes(pc.repo + rel, bytes);
  }
};

// A scripted source serving the key fixture's tree "big" (f414.dat of 4096 bytes), with
// f414.dat sent as the feed says: far more than the map's size, or a byte every 100 ms. Both
// are bounded (32 MiB, 80 bytes), so that an agent without the bounds ends too.
enum class Feed { Endless, Slow };
void SendFeed(SOCKET s, Feed feed, bool http) {
  const std::string head = feed == Feed::Endless ? "33554432" : "4096";
  if (http && !test::ScriptServer::SendAll(s, "HTTP/1.0 200 OK\r\nContent-Length: " + head + "\r\n\r\n")) return;
  const std::string block(feed == Feed::Endless ? 1 << 16 : 1, 'e');
  for (int i = 0; i < (feed == Feed::Endless ? 512 : 80); ++i) {
    if (send(s, block.data(), static_cast<int>(block.size()), 0) != static_cast<int>(block.size())) return;
    if (feed == Feed::Slow) Sleep(100);
  }
}
// A file of the tree by its path on the wire; "\x01" when there is none.
std::string Served(const std::string& path) {
  std::wstring rel = Utf8ToWide(path);
  for (auto& c : rel)
    if (c == L'/') c = L'\\';
  const std::wstring file = Keys(L"attacks\\big\\" + rel.substr(rel.find_first_not_of(L'\\')));
  return test::PathExists(file) ? test::ReadBytes(file) : std::string("\x01");
}
void Script(Bench& b, Feed feed) {
  if (b.via == Via::ScriptHttp) {
    b.httpServer = std::make_unique<test::ScriptServer>([&b, feed](SOCKET s, int) {
      const std::string request = b.httpServer->ReadRequest(s);
      const size_t from = request.find(' ') + 1;
      const std::string path = request.substr(from, request.find(' ', from) - from), bytes = Served(path);
      if (path.find("f414.dat") != std::string::npos) return SendFeed(s, feed, true);
      test::ScriptServer::SendAll(s, bytes == "\x01" ? "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"
                                                     : "HTTP/1.0 200 OK\r\nContent-Length: " +
                                                           std::to_string(bytes.size()) + "\r\n\r\n" + bytes);
    });
    return;
  }
  b.ftpServer = std::make_unique<test::ScriptedFtpServer>([feed](test::FtpScript& s) {
    s.Send("220 ready\r\n");
    for (int i = 0; i < 100; ++i) {
      const std::string line = s.ReadLine(), verb = line.substr(0, 4);
      if (line.empty() || verb == "QUIT") return s.Send("221 bye\r\n");
      if (verb != "RETR") {
        s.Send(verb == "USER" ? "230 in\r\n" : verb == "REST" ? "350 go on\r\n" : "200 ok\r\n");
        continue;
      }
      const std::string path = line.substr(5), bytes = Served(path);
      if (bytes == "\x01") {
        s.Send("550 no such file\r\n");
        continue;
      }
      s.Send("150 here it comes\r\n");
      SOCKET d = s.ConnectData();
      if (path.find("f414.dat") != std::string::npos)
        SendFeed(d, feed, false);
      else
        test::FtpScript::SendAll(d, bytes);
      closesocket(d);
      s.Send("226 done\r\n");
    }
  });
}

const wchar_t kUpgraded[] = L"Обновление программы «Корвенд-Бухгалтерия» с версии 413 до версии 414 успешно проведено";
const wchar_t kNothing[] = L"Файлы программы не загружаются и не устанавливаются.";

struct Attack {
  Attack(const char* n, Via v, std::function<void(Bench&)> s, std::vector<std::wstring> e, bool runs,
         std::function<void(Bench&)> c = nullptr, bool some = false)
      : name(n),
        via(v),
        serve(std::move(s)),
        expected(std::move(e)),
        upgradeRuns(runs),
        check(std::move(c)),
        fetchesSome(some) {}
  const char* name;
  Via via;
  std::function<void(Bench&)> serve;   // what the attacker serves (and leaves in the repository)
  std::vector<std::wstring> expected;  // texts the record or the report must hold
  bool upgradeRuns;                    // whether the genuine upgrade is still carried out
  std::function<void(Bench&)> check;   // anything more to look at afterwards
  bool fetchesSome;                    // whether files before the refused one may be fetched
};

// Plays each attack as a whole session and checks what the record and the repository say.
void Play(const std::vector<Attack>& attacks, HANDLE& held) {
  for (const auto& a : attacks) {
    SCOPED_TRACE(std::string(a.name) + " via " + ViaName(a.via));
    Bench b(a.via);
    a.serve(b);
    const std::wstring all = b.Session();
    if (held != INVALID_HANDLE_VALUE) {
      CloseHandle(held);
      held = INVALID_HANDLE_VALUE;
    }
    for (const auto& e : a.expected)
      EXPECT_NE(all.find(e), std::wstring::npos) << WideToUtf8(e) << "\n" << WideToUtf8(all);
    if (a.upgradeRuns) {
      EXPECT_NE(all.find(kUpgraded), std::wstring::npos) << WideToUtf8(all);
    } else {
      EXPECT_EQ(all.find(L"успешно проведено"), std::wstring::npos) << WideToUtf8(all);
      EXPECT_EQ(b.pc.Upgrades(), "");
      if (!a.fetchesSome) {
        EXPECT_FALSE(test::PathExists(b.pc.repo + L"Buh\\413\\f413.dat"));
      }
    }
    if (a.check) a.check(b);
  }
}

}  // namespace

TEST(Attacks, NothingTheKeyDidNotVouchForIsUsed) {
  ASSERT_FALSE(Env(L"DX_HTTP_PORT").empty());
  ASSERT_FALSE(Env(L"DX_FTP_PORT").empty());
  ASSERT_FALSE(Env(L"DX_PROXY_PORT").empty());
  HANDLE held = INVALID_HANDLE_VALUE;
  const std::vector<Attack> attacks = {
      Attack{"genuine map and files (the control)",
             Via::Http,
             [](Bench& b) { b.Serve(L"v2"); },
             {L"[карта обновлений подписана, подпись проверена]", L"Buh.nrm: номер выпуска 200 принят впервые"},
             true,
             [](Bench& b) {
               EXPECT_EQ(b.Repo(L"Buh\\414\\f414.dat"), "step 414");
               EXPECT_EQ(b.Repo(L"Buh\\Buh.nrm"),
                         test::ReadBytes(Keys(L"attacks\\v2\\Buh.nrm")));  // kept for transfer sets
             }},
      Attack{"foreign read-only file of the right size in the repository",
             Via::Http,
             [](Bench& b) {
               b.Serve(L"v2");
               b.Plant(L"Buh\\414\\f414.dat", "evil 414");
               SetFileAttributesW((b.pc.repo + L"Buh\\414\\f414.dat").c_str(), FILE_ATTRIBUTE_READONLY);
             },
             {L"[карта обновлений подписана, подпись проверена]"},
             true,
             [](Bench& b) { EXPECT_EQ(b.Repo(L"Buh\\414\\f414.dat"), "step 414"); }},
      Attack{"foreign file in the repository that cannot be deleted",
             Via::Directory,
             [&held](Bench& b) {
               b.Serve(L"v2");
               b.Plant(L"Buh\\414\\f414.dat", "evil 414");
               held = CreateFileW((b.pc.repo + L"Buh\\414\\f414.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
             },
             {L"f414.dat в хранилище обновлений не совпадает с картой файлов обновлений, и его нельзя удалить. Ошибка "
              L"Windows"},
             false,
             nullptr,
             true},
      Attack{"another program's signed map",
             Via::Ftp,
             [](Bench& b) {
               b.Serve(L"kadry");
               b.Rename(L"Kadry.nrm", L"Buh.nrm");
               b.Rename(L"Kadry.nrm.sig", L"Buh.nrm.sig");
             },
             {L"выпущена для другой программы: в разделе [MapInfo] указано ProgramID=Kadry, а ожидалось Buh", kNothing,
              L"[карта обновлений отвергнута: подпись верна, но карта выпущена не для этой программы"},
             false,
             nullptr},
      Attack{"an emergency map served as the normal one",
             Via::Proxy,
             [](Bench& b) {
               b.Serve(L"emr");
               b.Rename(L"Buh.emr", L"Buh.nrm");
               b.Rename(L"Buh.emr.sig", L"Buh.nrm.sig");
             },
             {L"указано Kind=Emergency, а ожидалось Normal", kNothing},
             false,
             nullptr},
      Attack{
          "an older signed map replayed",
          Via::Directory,
          [](Bench& b) {
            b.Serve(L"v2");
            ASSERT_TRUE(RecordAcceptedSerial(L"Buh.nrm", 200));
            test::RemoveTree(b.source);
            b.Serve(L"v1");
          },
          {L"старее уже принятой на этом компьютере: ее номер выпуска (Serial) 100, а принят был номер 200", kNothing},
          false,
          nullptr},
      Attack{"an expired map (a stale mirror)",
             Via::Http,
             [](Bench& b) { b.Serve(L"expired"); },
             {L"Срок действия карты файлов обновлений Buh.nrm истек: она действительна по", L"а на часах компьютера",
              kNothing},
             false,
             nullptr},
      Attack{"a signed map without [MapInfo]",
             Via::Directory,
             [](Bench& b) { b.Serve(L"nomapinfo"); },
             {L"Подписанная карта файлов обновлений Buh.nrm не принята: в ней нет раздела [MapInfo]", kNothing},
             false,
             nullptr},
      Attack{"a map signed by another key",
             Via::Http,
             [](Bench& b) { test::CopyTree(Keys(L"source-b\\"), b.source); },
             {L"не подтверждена открытым ключом из настроек", kNothing},
             false,
             nullptr},
      Attack{"a signature cut short",
             Via::Ftp,
             [](Bench& b) {
               b.Serve(L"v2");
               std::string sig = test::ReadBytes(b.source + L"Buh.nrm.sig");
               test::WriteBytes(b.source + L"Buh.nrm.sig", sig.substr(0, sig.size() / 2));
             },
             {L"не подтверждена открытым ключом из настроек", kNothing},
             false,
             nullptr},
      Attack{"a signature of endless size",
             Via::Http,
             [](Bench& b) {
               b.Serve(L"v2");
               test::WriteBytes(b.source + L"Buh.nrm.sig", std::string(kMaxSignatureBytes + 1, 'x'));
             },
             {L"Файл подписи Buh.nrm.sig больше допустимых 16384 байт и не принят.", kNothing},
             false,
             nullptr},
      Attack{"a map of endless size",
             Via::Ftp,
             [](Bench& b) {
               b.Serve(L"v2");
               std::string map = test::ReadBytes(b.source + L"Buh.nrm");
               map += std::string(kMaxMapBytes, ';');
               test::WriteBytes(b.source + L"Buh.nrm", map);
             },
             {L"Карта файлов обновлений Buh.nrm больше допустимых 16777216 байт: ее загрузка прервана"},
             false,
             nullptr},
      Attack{"an older edition of a file continued from the repository",
             Via::Ftp,
             [](Bench& b) {
               b.Serve(L"v2");
               b.Plant(L"Buh\\414\\f414.dat", "OLD 4");
             },
             {L"[карта обновлений подписана, подпись проверена]"},
             true,
             [](Bench& b) { EXPECT_EQ(b.Repo(L"Buh\\414\\f414.dat"), "step 414"); }},
      Attack{"files the map does not list beside a step",
             Via::Directory,
             [](Bench& b) {
               b.Serve(L"v2");
               b.Plant(L"Buh\\414\\evil.exe", "MZ evil");
               b.Plant(L"Buh\\414\\sub\\more.dll", "MZ more");
             },
             {L"evil.exe не указан в проверенной карте файлов обновлений и удален из хранилища обновлений перед "
              L"обновлением до версии 414",
              L"more.dll не указан в проверенной карте"},
             true,
             [](Bench& b) {
               EXPECT_FALSE(test::PathExists(b.pc.repo + L"Buh\\414\\evil.exe"));
               EXPECT_FALSE(test::PathExists(b.pc.repo + L"Buh\\414\\sub\\more.dll"));
             }},
      Attack{"a step directory that is a link",
             Via::Directory,
             [](Bench& b) {
               b.Serve(L"v2");
               ForceDirectories(b.pc.repo + L"Buh");
               HostLink(b.pc.repo + L"Buh\\414", b.Outside());
             },
             {L"Buh\\414 является ссылкой", L"Файлы программы не загружаются."},
             false,
             [](Bench& b) {
               EXPECT_EQ(test::ReadBytes(b.pc.root / L"outside\\keep.txt"), "keep");
               EXPECT_FALSE(test::PathExists(b.pc.root / L"outside\\f414.dat"));
             },
             true},
      Attack{"an old step directory that is a link, with DeleteOldFiles",
             Via::Http,
             [](Bench& b) {
               b.Serve(L"v2");
               b.extra = L"[Service]\r\nDeleteOldFiles=1\r\n";
               ForceDirectories(b.pc.repo + L"Buh");
               HostLink(b.pc.repo + L"Buh\\411", b.Outside());
             },
             {L"[карта обновлений подписана, подпись проверена]"},
             true,
             [](Bench& b) { EXPECT_EQ(test::ReadBytes(b.pc.root / L"outside\\keep.txt"), "keep"); }},
      Attack{"a hard link in the session's temporary folder where the map goes",
             Via::Http,
             [](Bench& b) {
               b.Serve(L"v2");
               test::WriteBytes(SettingsFileName(), WideToAnsi(b.SettingsText()));
               const std::wstring keep = b.Outside() + L"keep.txt";
               ASSERT_TRUE(CreateHardLinkW((b.pc.Open().SessionTempDir + L"Buh.nrm").c_str(), keep.c_str(), nullptr));
             },
             {L"[карта обновлений подписана, подпись проверена]"},
             true,
             [](Bench& b) { EXPECT_EQ(test::ReadBytes(b.pc.root / L"outside\\keep.txt"), "keep"); }},
      Attack{"a hard link in the session's temporary folder where a step file is continued",
             Via::Ftp,
             [](Bench& b) {
               b.Serve(L"v2");
               test::WriteBytes(SettingsFileName(), WideToAnsi(b.SettingsText()));
               const std::wstring keep = b.Outside() + L"keep.txt", temp = b.pc.Open().SessionTempDir;
               ForceDirectories(temp + L"Buh\\413");
               ASSERT_TRUE(CreateHardLinkW((temp + L"Buh\\413\\f413.dat").c_str(), keep.c_str(), nullptr));
             },
             {L"[карта обновлений подписана, подпись проверена]"},
             true,
             [](Bench& b) { EXPECT_EQ(test::ReadBytes(b.pc.root / L"outside\\keep.txt"), "keep"); }},
      Attack{"a share without the publisher's signed map",
             Via::Share,
             [](Bench& b) {
               b.Serve(L"v2");
               DeleteFileW((b.source + L"Buh.nrm").c_str());
               DeleteFileW((b.source + L"Buh.nrm.sig").c_str());
             },
             {L"карта составлена по содержимому сетевого каталога", kNothing},
             false,
             nullptr},
      Attack{"a share with the publisher's signed map",
             Via::Share,
             [](Bench& b) { b.Serve(L"v2"); },
             {L"[карта обновлений подписана, подпись проверена]"},
             true,
             nullptr},
  };
  Play(attacks, held);
}

// Sources that send without end or too slowly, a serial floor that was tampered with, a map
// without its signature after a signed one, and one program's refused map beside another's.
TEST(Attacks, EndlessFilesLoweredFloorsAndRefusalsThatHoldOthersBack) {
  HANDLE held = INVALID_HANDLE_VALUE;
  const std::vector<Attack> attacks = {
      Attack{"a step file without end",
             Via::ScriptHttp,
             [](Bench& b) { Script(b, Feed::Endless); },
             {L"Файл больше, чем указано в карте файлов обновлений: в карте 4096 байт, а источник передает не меньше"},
             false,
             nullptr,
             true},
      Attack{"a step file without end",
             Via::ScriptFtp,
             [](Bench& b) { Script(b, Feed::Endless); },
             {L"Файл больше, чем указано в карте файлов обновлений: в карте 4096 байт, а источник передает не меньше"},
             false,
             nullptr,
             true},
      Attack{"a step file larger than its map says",
             Via::Directory,
             [](Bench& b) {
               b.Serve(L"big");
               test::WriteBytes(b.source + L"Buh\\414\\f414.dat", std::string(1 << 20, 'e'));
             },
             {L"в карте 4096 байт, а источник передает не меньше 1048576 байт"},
             false,
             nullptr,
             true},
      Attack{"a step file a byte at a time",
             Via::ScriptHttp,
             [](Bench& b) { Script(b, Feed::Slow); },
             {L"Передача зависла: за", L"ключ MinRate раздела [Connection]"},
             false,
             nullptr,
             true},
      Attack{"a step file a byte at a time",
             Via::ScriptFtp,
             [](Bench& b) { Script(b, Feed::Slow); },
             {L"Передача зависла: за", L"ключ MinRate раздела [Connection]"},
             false,
             nullptr,
             true},
      Attack{"an older map after the serial state was deleted",
             Via::Directory,
             [](Bench& b) {
               ASSERT_TRUE(RecordAcceptedSerial(L"Buh.nrm", 200));
               DeleteFileW(SerialStatePath().c_str());
               b.Serve(L"v1");
             },
             {L"старее уже принятой на этом компьютере: ее номер выпуска (Serial) 100, а принят был номер 200", kNothing},
             false,
             nullptr},
      Attack{"an older map after the serial state was emptied",
             Via::Directory,
             [](Bench& b) {
               ASSERT_TRUE(RecordAcceptedSerial(L"Buh.nrm", 200));
               test::WriteBytes(SerialStatePath(), "");
               b.Serve(L"v1");
             },
             {L"файл " + SerialStatePath() + L" пуст или поврежден", kNothing},
             false,
             nullptr},
      Attack{"an older map after the serial state was made a directory",
             Via::Directory,
             [](Bench& b) {
               ASSERT_TRUE(RecordAcceptedSerial(L"Buh.nrm", 200));
               DeleteFileW(SerialStatePath().c_str());
               CreateDirectoryW(SerialStatePath().c_str(), nullptr);
               b.Serve(L"v1");
             },
             {L"на месте файла " + SerialStatePath() + L" находится каталог", kNothing},
             false,
             nullptr},
      Attack{"an older map while a reader holds the serial state",
             Via::Directory,
             [&held](Bench& b) {
               ASSERT_TRUE(RecordAcceptedSerial(L"Buh.nrm", 200));
               held = CreateFileW(SerialStatePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
               b.Serve(L"v1");
             },
             {L"файл " + SerialStatePath() + L" нельзя прочитать", kNothing},
             false,
             nullptr},
      Attack{"a serial that cannot be recorded",
             Via::Directory,
             [](Bench& b) {
               ASSERT_TRUE(RecordAcceptedSerial(L"Kadry.nrm", 5));
               CreateDirectoryW((SerialStatePath() + L".new").c_str(), nullptr);
               b.Serve(L"v2");
             },
             {L"Номер выпуска 200 карты файлов обновлений Buh.nrm нельзя сохранить", kNothing},
             false,
             nullptr},
      Attack{"an unsigned map after a signed one was accepted",
             Via::Http,
             [](Bench& b) {
               b.required = false;
               ASSERT_TRUE(RecordAcceptedSerial(L"Buh.nrm", 200));
               b.Serve(L"v2");
               DeleteFileW((b.source + L"Buh.nrm.sig").c_str());
             },
             {L"подписанная карта с этим именем уже была принята на этом компьютере (номер выпуска 200)", kNothing},
             false,
             nullptr},
      Attack{"one program's spoiled signature beside another's genuine map",
             Via::Directory,
             [](Bench& b) {
               b.Serve(L"v2");
               b.Serve(L"kadry");
               test::WriteBytes(b.source + L"Buh.nrm.sig", std::string(256, 's'));
               b.pc.AddLoadOnly(L"Kadry", 5);
             },
             {L"Доставка обновлений программы «Корвенд-Кадры» с версии 5 до версии 6 успешно произведена",
              L"Программа «Корвенд-Бухгалтерия» не обновлена: ее карта файлов обновлений не принята. Подпись карты"},
             false,
             nullptr},
  };
  Play(attacks, held);
}

namespace {
TMainForm* g_form = nullptr;
volatile LONG g_signatureAsked = 0;
int g_stops = 0;
void CALLBACK PressStopOnceTheSignatureIsAsked(HWND, UINT, UINT_PTR, DWORD) {
  if (g_form && g_form->Running && g_signatureAsked && g_stops == 0) {
    ++g_stops;
    ui::ClickButton(g_form->StopBtn);
  }
}
}  // namespace

// Stop while the signature arrives is Stop: not a missing signature (which, with a key but no
// requirement, would let the map through unsigned).
TEST(Attacks, StopDuringTheSignatureStopsTheSession) {
  const std::string map = test::ReadBytes(Keys(L"attacks\\v2\\Buh.nrm"));
  test::ScriptServer server([&](SOCKET s, int) {
    const std::string request = server.ReadRequest(s);
    if (request.find(".sig") == std::string::npos) {
      test::ScriptServer::SendAll(
          s, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(map.size()) + "\r\n\r\n" + map);
      return;
    }
    InterlockedExchange(&g_signatureAsked, 1);
    test::ScriptServer::SendAll(s, "HTTP/1.0 200 OK\r\nContent-Length: 256\r\n\r\n" + std::string(10, 's'));
    server.Idle(60000);
  });
  Bench b(Via::Directory);
  b.required = false;
  std::wstring text = b.SettingsText();
  const size_t at = text.find(L"[Disk]");
  text.replace(at, text.find(L"AttemptCount") - at,
               L"[Http]\r\nServer=127.0.0.1\r\nPort=" + std::to_wstring(server.Port()) +
                   L"\r\nRootDir=/\r\n[Proxy]\r\nUse=0\r\n[Connection]\r\nConnectionType=1\r\n");
  test::WriteBytes(SettingsFileName(), WideToAnsi(text));
  TMainForm& f = b.pc.Open();
  g_form = &f;
  g_signatureAsked = 0;
  g_stops = 0;
  UINT_PTR timer = SetTimer(nullptr, 0, 50, PressStopOnceTheSignatureIsAsked);
  b.pc.Run();
  KillTimer(nullptr, timer);
  g_form = nullptr;
  std::wstring all;
  for (const auto& l : b.pc.Lines()) all += l + L"\n";
  EXPECT_EQ(g_stops, 1);
  EXPECT_NE(all.find(L"Соединение прервано пользователем."), std::wstring::npos) << WideToUtf8(all);
  EXPECT_EQ(all.find(L"не подписана"), std::wstring::npos) << WideToUtf8(all);
  EXPECT_NE(ProgramCatalogue()->FindByID(L"Buh")->MapSignature, MapSignatureState::Unsigned);
  EXPECT_EQ(server.Connections(), 2);  // the map and the signature; no file asked for
  EXPECT_FALSE(test::PathExists(b.pc.repo + L"Buh\\413"));
  EXPECT_EQ(b.pc.Upgrades(), "");
}

namespace {
// A floppy set made by hand in A:, one disk: the header and the files as given (name relative
// to the repository, bytes).
void MakeSet(test::FloppyDrive& drive, const std::vector<std::pair<std::wstring, std::string>>& files) {
  drive.Clear();
  const std::wstring id = L"2026120812000012345";
  std::wstring header =
      L"[PackageInfo]\r\nSessionID=" + id + L"\r\nFileCount=" + std::to_wstring(files.size()) + L"\r\n";
  for (size_t i = 0; i < files.size(); ++i) {
    header += L"[File" + std::to_wstring(i + 1) + L"]\r\nFileName=\\" + files[i].first + L"\r\nFileSize=" +
              std::to_wstring(files[i].second.size()) + L"\r\n";
    test::WriteBytes(L"A:\\" + ExtractFileName(files[i].first), files[i].second);
  }
  test::WriteBytes(L"A:\\files.inf", WideToAnsi(header));
  test::WriteBytes(L"A:\\disk1.id", WideToAnsi(L"[DiskInfo]\r\nSessionID=" + id + L"\r\n"));
  drive.Save(1);
}
}  // namespace

// A floppy set is placed only as the publisher's map carried in it vouches for every file.
TEST(Attacks, FloppySetsArePlacedOnlyAsTheirSignedMapsSay) {
  const std::string map = test::ReadBytes(Keys(L"attacks\\v2\\Buh.nrm"));
  const std::string sig = test::ReadBytes(Keys(L"attacks\\v2\\Buh.nrm.sig"));
  const std::pair<std::wstring, std::string> f413{L"Buh\\413\\f413.dat", "step 413"},
      f414{L"Buh\\414\\f414.dat", "step 414"}, m{L"Buh\\Buh.nrm", map}, s{L"Buh\\Buh.nrm.sig", sig};
  const std::string map2 = test::ReadBytes(Keys(L"attacks\\two\\Buh.nrm"));
  const std::pair<std::wstring, std::string> m2{L"Buh\\Buh.nrm", map2},
      s2{L"Buh\\Buh.nrm.sig", test::ReadBytes(Keys(L"attacks\\two\\Buh.nrm.sig"))};
  struct Row {
    const char* name;
    std::vector<std::pair<std::wstring, std::string>> files;
    std::wstring expected;
    bool placed;
    std::function<void(Bench&)> prepare = nullptr;  // what lies in the repository before
    int upgraded = -1;                              // whether step 414 runs; -1: as placed
    std::function<void(Bench&)> check = nullptr;
  };
  const std::vector<Row> rows = {
      {"a set without a map",
       {{L"Buh\\414\\CvUpgrade.exe", "MZ evil"}, f413},
       L"Комплект переноса не содержит подписанной карты файлов обновлений Buh.nrm",
       false},
      {"a set without a map after a signed one was accepted, signatures not required",
       {{L"Buh\\414\\CvUpgrade.exe", "MZ evil"}, f413},
       L"а подписанная карта с этим именем уже была принята на этом компьютере (номер выпуска 200)",
       false,
       [](Bench& b) {
         b.required = false;
         ASSERT_TRUE(RecordAcceptedSerial(L"Buh.nrm", 200));
       }},
      {"a set whose map does not list one of its files",
       {m, s, f413, f414, {L"Buh\\414\\evil.exe", "MZ evil"}},
       L"Файл Buh\\414\\evil.exe комплекта переноса не указан в подписанной карте файлов обновлений Buh.nrm",
       false},
      {"a set whose file differs from the map",
       {m, s, f413, {L"Buh\\414\\f414.dat", "evil 414"}},
       L"Файл Buh\\414\\f414.dat комплекта переноса не указан в подписанной карте",
       false},
      {"a set whose signature is another's",
       {m, {L"Buh\\Buh.nrm.sig", test::ReadBytes(Keys(L"sample.nrm.a.sig"))}, f413},
       L"не подтверждена открытым ключом из настроек",
       false},
      {"a set without a file its map lists",
       {m2, s2, f413, f414},
       L"Buh\\414\\g414.dat, указанный в проверенной карте файлов обновлений, отсутствует в хранилище",
       true,
       nullptr,
       0},
      {"a set without a file its map lists, an older edition in the repository",
       {m2, s2, f413, f414},
       L"Buh\\414\\g414.dat в хранилище обновлений не совпадает с проверенной картой",
       true,
       [](Bench& b) { b.Plant(L"Buh\\414\\g414.dat", "OLD 414!"); },
       0},
      {"a repository file that is a hard link to one outside",
       {m, s, f413, f414},
       L"[карта обновлений подписана, подпись проверена]",
       true,
       [](Bench& b) {
         b.Outside();
         ForceDirectories(b.pc.repo + L"Buh\\413");
         ASSERT_TRUE(CreateHardLinkW((b.pc.repo + L"Buh\\413\\f413.dat").c_str(),
                                     (b.pc.root / L"outside\\keep.txt").c_str(), nullptr));
       },
       -1,
       [](Bench& b) {
         EXPECT_EQ(test::ReadBytes(b.pc.root / L"outside\\keep.txt"), "keep");
         EXPECT_EQ(b.Repo(L"Buh\\413\\f413.dat"), "step 413");
       }},
      {"a set with its signed map (the control)",
       {m, s, f413, f414},
       L"[карта обновлений подписана, подпись проверена]",
       true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::FloppyDrive drive;
    MakeSet(drive, r.files);
    Bench b(Via::Directory);
    b.diskRoot = L"A:\\";
    if (r.prepare) r.prepare(b);
    ui::SetMessageBoxHandler([&drive](const ui::MessageBoxRequest& q) {
      if (q.text.rfind(L"Вставьте первую дискету", 0) == 0) drive.Load(1);
      return (q.flags & MB_YESNO) == MB_YESNO ? IDNO : IDOK;
    });
    const std::wstring all = b.Session();
    ui::SetMessageBoxHandler(nullptr);
    EXPECT_NE(all.find(r.expected), std::wstring::npos) << WideToUtf8(all);
    EXPECT_EQ(test::PathExists(b.pc.repo + L"Buh\\413\\f413.dat"), r.placed);
    EXPECT_FALSE(test::PathExists(b.pc.repo + L"Buh\\414\\evil.exe"));
    EXPECT_FALSE(test::PathExists(b.pc.repo + L"Buh\\414\\CvUpgrade.exe"));
    EXPECT_EQ(all.find(kUpgraded) != std::wstring::npos, r.upgraded < 0 ? r.placed : r.upgraded == 1)
        << WideToUtf8(all);
    if (!r.placed) {
      EXPECT_EQ(b.pc.Upgrades(), "");
    }
    if (r.check) r.check(b);
    drive.Clear();
  }
}
