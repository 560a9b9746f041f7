// Figures of the FTP transfer, each beside its peer measured in the same run:
//  - a large file from vsftpd on loopback written to disk by TFtpProtocol alone and by a whole
//    delivery session through the real main window, against `curl -P -` (active mode, measured
//    by the wrapper bench/ftp-bench.sh just before, handed over in DX_CURL_MS); each the best of
//    a few runs, as the machine is shared;
//  - the time from Stop to the end of a retrieve from a throttled vsftpd;
//  - a silent server with time-out 2: the wall time and the processor time of the wait.
// Run with `bash bench/ftp-bench.sh`.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "app/mainfrm.h"
#include "app/report.h"
#include "common/routines.h"
#include "bench_util.h"
#include "common/text.h"
#include "protocols/ftp.h"
#include "settings/options.h"
#include "ui/controls.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using namespace dorvex::bench;

namespace {
// A server on 127.0.0.1 that takes a connection and says nothing until told to go.
class SilentServer {
 public:
  SilentServer() : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    net::StartNetwork();
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 1);
    int size = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      SOCKET s = accept(listener_, nullptr, nullptr);
      WaitForSingleObject(stop_, 60000);
      if (s != INVALID_SOCKET) closesocket(s);
    });
  }
  ~SilentServer() {
    SetEvent(stop_);
    closesocket(listener_);
    thread_.join();
    CloseHandle(stop_);
  }
  uint16_t Port() const { return port_; }

 private:
  HANDLE stop_;
  SOCKET listener_;
  uint16_t port_ = 0;
  std::thread thread_;
};

AbortMethod* g_abortVar = nullptr;
double g_stopAt = 0;
void CALLBACK StopTimer(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  g_stopAt = NowMs();
  if (g_abortVar && *g_abortVar) (*g_abortVar)(nullptr);  // the Stop button's route
}

}  // namespace

int wmain() {
  ui::InitControls(GetModuleHandleW(nullptr));
  ui::InstallPump();
  const std::wstring port = Env(L"DX_FTP_PORT"), slowPort = Env(L"DX_FTP_SLOW_PORT"), root = Env(L"DX_FTP_ROOT"),
                     rootUnix = Env(L"DX_FTP_ROOT_UNIX"), file = Env(L"DX_BENCH_FILE");
  const double curlMs = _wtof(Env(L"DX_CURL_MS").c_str());
  if (port.empty() || file.empty() || curlMs <= 0) {
    std::printf("run through bench/ftp-bench.sh (vsftpd and curl are started there)\n");
    return 2;
  }
  const int64_t size = FileSizeOf(root + file);
  const double mib = static_cast<double>(size) / 1048576.0;
  const double curlRate = mib / (curlMs / 1000.0);
  std::printf("file of %.0f MiB from vsftpd on loopback (active mode), written to disk\n", mib);
  std::printf("%-44s %9.0f ms\n", "curl -P -", curlMs);

  const std::wstring work = IncludeTrailingBackslash(GetSystemTempDirectory()) + L"dx_ftp_bench\\";
  ForceDirectories(work);
  auto settings = [&](const std::wstring& serverPort) {
    Settings() = TSettings{};
    Settings().ConnectionType = 0;
    Settings().FtpServer = L"127.0.0.1";
    Settings().FtpPort = serverPort;
    Settings().FtpRootDir = rootUnix;
  };

  // The protocol alone.
  {
    settings(port);
    TProgramList list;
    AddCatalogueRows(list);
    TProgram* p = list.FindByID(L"Kadry");
    p->TempDir = work;
    double ms = 0;
    bool ok = true;
    for (int run = 0; run < 3; ++run) {  // the best of three, as for curl
      TFtpProtocol f(*p);
      AbortMethod abortVar;
      const double t0 = NowMs();
      ok = ok && f.Connect() && f.Login() && f.DownloadFile(abortVar, rootUnix + file, false, work + L"bare.bin");
      const double took = NowMs() - t0;
      f.Disconnect();
      if (run == 0 || took < ms) ms = took;
    }
    std::printf("%-44s %9.0f ms%s\n", "TFtpProtocol alone", ms, ok && FileSizeOf(work + L"bare.bin") == size ? "" : "  FAILED");
    Ratio("TFtpProtocol alone", mib / (ms / 1000.0), curlRate, "curl");
    DeleteFileW((work + L"bare.bin").c_str());
  }

  // A whole session through the real main window: map, download, copy into the repository.
  {
    const std::wstring repo = work + L"repo\\", temp = work + L"tmp\\";
    ForceDirectories(temp);
    WriteText(root + L"Kadry.nrm", L"[6]\r\nDir=/\r\nCount=1\r\nFileName1=" + file + L"\r\nFileSize1=" +
                                       std::to_wstring(size) + L"\r\n");
    bool ok = true;
    // The best of two; the load-only program starts at version 5 each time.
    const double ms = BestWindowSessionMs(
        2, repo,
        L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Session]\r\nTempDir=" + temp + L"\r\n[Ftp]\r\nServer=127.0.0.1\r\nPort=" +
            port + L"\r\nRootDir=" + rootUnix +
            L"\r\n[Connection]\r\nConnectionType=0\r\nAttemptCount=1\r\n[Proxy]\r\nUse=0\r\n[General]\r\n"
            L"ActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\nVirtualUpgrade=1\r\nVirtualVersion=5\r\n",
        [&] { return FileSizeOf(repo + L"Kadry\\6\\" + file) == size; }, ok);
    std::printf("%-44s %9.0f ms%s\n", "session through the window (incl. copy)", ms, ok ? "" : "  FAILED");
    Ratio("session through the window", mib / (ms / 1000.0), curlRate, "curl");
    // The session copies the fetched file into the repository; that copy alone, measured apart.
    const double c0 = NowMs();
    CopyFileW((repo + L"Kadry\\6\\" + file).c_str(), (work + L"copy.bin").c_str(), FALSE);
    const double copyMs = NowMs() - c0;
    DeleteFileW((work + L"copy.bin").c_str());
    std::printf("%-44s %9.0f ms\n", "  of which a copy of the file (measured apart)", copyMs);
    if (ms > copyMs) Ratio("session less that copy", mib / ((ms - copyMs) / 1000.0), curlRate, "curl");
    ClearDirectory(repo, true);
    RemoveDirectoryW(repo.c_str());
    DeleteFileW(SettingsFileName().c_str());
    DeleteFileW(FixedReportPath().c_str());
  }

  // From Stop to the end of a retrieve from the throttled server.
  if (!slowPort.empty()) {
    settings(slowPort);
    TProgramList list;
    AddCatalogueRows(list);
    TProgram* p = list.FindByID(L"Kadry");
    p->TempDir = work;
    TFtpProtocol f(*p);
    AbortMethod abortVar = [](void*) {};
    g_abortVar = &abortVar;
    bool ok = f.Connect() && f.Login();
    SetTimer(nullptr, 0, 700, StopTimer);
    const bool got = ok && f.DownloadFile(abortVar, rootUnix + file, false, work + L"stopped.bin");
    const double latency = NowMs() - g_stopAt;
    g_abortVar = nullptr;
    std::printf("%-44s %9.2f ms%s (goal within 1000 ms: ratio %.4f)\n", "Stop to the end of the retrieve", latency,
                !ok || got ? "  FAILED: not stopped" : "", latency / 1000.0);
    DeleteFileW((work + L"stopped.bin").c_str());
  }

  // A silent server with time-out 2: the wait ends after about 2 s and costs no processor time.
  {
    SilentServer server;
    net::TFtpClient c;
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(server.Port());
    c.Timeout = 2;
    const double cpu0 = CpuMs(), t0 = NowMs();
    const bool ok = c.Open();
    const double cpu = CpuMs() - cpu0, wall = NowMs() - t0;
    std::printf("%-44s %9.0f ms (goal about 2000 ms: ratio %.3f), %.1f ms of processor time: %.2f %%%s\n",
                "silent server, time-out 2", wall, wall / 2000.0, cpu, 100.0 * cpu / wall,
                !ok && c.ErrorMessage() == "426 Timeout" ? "" : "  FAILED");
  }
  ClearDirectory(work, true);
  RemoveDirectoryW(work.c_str());
  return 0;
}
