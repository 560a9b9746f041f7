// Figures of the HTTP transfer, each beside its peer measured in the same run:
//  - a large file from lighttpd on loopback written to disk by THttpProtocol alone and by a
//    whole delivery session through the real main window, against curl (measured by the
//    wrapper bench/http-bench.sh just before, handed over in DX_CURL_MS); each the best of a
//    few runs, as the machine is shared;
//  - the processor time the agent spends while a scripted server stalls for 10 seconds;
//  - the time from Stop to the end of the request.
// Run with `bash bench/http-bench.sh`.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "app/mainfrm.h"
#include "app/report.h"
#include "common/integrity.h"
#include "common/routines.h"
#include "bench_util.h"
#include "common/text.h"
#include "protocols/http.h"
#include "settings/options.h"
#include "ui/controls.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using namespace dorvex::bench;

namespace {
// A server on 127.0.0.1 that answers one request: a header, a first block, a pause, the rest.
class StallingServer {
 public:
  explicit StallingServer(DWORD stallMs) : stallMs_(stallMs), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
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
      if (s == INVALID_SOCKET) return;
      char c;
      std::string got;
      while (got.find("\r\n\r\n") == std::string::npos && recv(s, &c, 1, 0) == 1) got += c;
      std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 2000\r\n\r\n" + std::string(1000, 'a');
      send(s, head.data(), static_cast<int>(head.size()), 0);
      WaitForSingleObject(stop_, stallMs_);
      std::string tail(1000, 'b');
      send(s, tail.data(), static_cast<int>(tail.size()), 0);
      closesocket(s);
    });
  }
  ~StallingServer() {
    SetEvent(stop_);
    closesocket(listener_);
    thread_.join();
    CloseHandle(stop_);
  }
  uint16_t Port() const { return port_; }

 private:
  DWORD stallMs_;
  HANDLE stop_;
  SOCKET listener_;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace

int wmain() {
  ui::InitControls(GetModuleHandleW(nullptr));
  ui::InstallPump();
  const std::wstring port = Env(L"DX_HTTP_PORT"), root = Env(L"DX_HTTP_ROOT"), file = Env(L"DX_BENCH_FILE");
  const double curlMs = _wtof(Env(L"DX_CURL_MS").c_str());
  if (port.empty() || file.empty() || curlMs <= 0) {
    std::printf("run through bench/http-bench.sh (lighttpd and curl are started there)\n");
    return 2;
  }
  const int32_t size = FileSizeOf(root + file);
  const double mib = size / 1048576.0;
  const double curlRate = mib / (curlMs / 1000.0);
  std::printf("file of %.0f MiB from lighttpd on loopback, written to disk\n", mib);
  std::printf("%-44s %9.0f ms\n", "curl", curlMs);

  const std::wstring work = IncludeTrailingBackslash(GetSystemTempDirectory()) + L"dx_http_bench\\";
  ForceDirectories(work);

  // The protocol alone.
  {
    Settings() = TSettings{};
    Settings().HttpServer = L"127.0.0.1";
    Settings().HttpPort = port;
    TProgramList list;
    AddCatalogueRows(list);
    TProgram* p = list.FindByID(L"Kadry");
    p->TempDir = work;
    THttpProtocol h(*p);
    AbortMethod abortVar;
    double ms = 1e30;
    bool ok = true;
    for (int run = 0; run < 3; ++run) {  // the best of three: the machine is shared
      DeleteFileW((work + L"bare.bin").c_str());  // a new file each time, as curl writes
      const double t0 = NowMs();
      ok = h.DownloadFile(abortVar, L"/" + file, false, work + L"bare.bin") && ok;
      ms = std::min(ms, NowMs() - t0);
    }
    std::printf("%-44s %9.0f ms%s\n", "THttpProtocol alone", ms, ok && FileSizeOf(work + L"bare.bin") == size ? "" : "  FAILED");
    Ratio("THttpProtocol alone", mib / (ms / 1000.0), curlRate, "curl");
    DeleteFileW((work + L"bare.bin").c_str());
  }

  // A whole session through the real main window: map, download, copy into the repository.
  {
    const std::wstring repo = work + L"repo\\", temp = work + L"tmp\\";
    ForceDirectories(temp);
    const std::wstring plainMap =
        L"[6]\r\nDir=/\r\nCount=1\r\nFileName1=" + file + L"\r\nFileSize1=" + std::to_wstring(size) + L"\r\n";
    auto putMap = [&](const std::wstring& map) { WriteText(root + L"Kadry.nrm", map); };
    putMap(plainMap);
    const std::wstring ini = L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Session]\r\nTempDir=" + temp +
                             L"\r\n[Http]\r\nServer=127.0.0.1\r\nPort=" + port +
                             L"\r\nRootDir=/\r\n[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n[Proxy]\r\n"
                             L"Use=0\r\n[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\n"
                             L"VirtualUpgrade=1\r\nVirtualVersion=5\r\n";
    bool ok = true;
    // The best of two, each into an empty repository.
    auto bestSession = [&] {
      return BestWindowSessionMs(2, repo, ini, [&] { return FileSizeOf(repo + L"Kadry\\6\\" + file) == size; }, ok);
    };
    const double ms = bestSession();
    std::printf("%-44s %9.0f ms%s\n", "session through the window (incl. copy)", ms, ok ? "" : "  FAILED");
    Ratio("session through the window", mib / (ms / 1000.0), curlRate, "curl");
    // The session copies each fetched file into the repository; that copy alone, measured apart,
    // shows how much of the session is the wire.
    const double c0 = NowMs();
    CopyFileW((repo + L"Kadry\\6\\" + file).c_str(), (work + L"copy.bin").c_str(), FALSE);
    const double copyMs = NowMs() - c0;
    DeleteFileW((work + L"copy.bin").c_str());
    std::printf("%-44s %9.0f ms\n", "  of which a copy of the file (measured apart)", copyMs);
    if (ms > copyMs) Ratio("session less that copy", mib / ((ms - copyMs) / 1000.0), curlRate, "curl");
    // The same session with the file's SHA-256 in the map: the file is checked before it is stored.
    std::wstring digest, error;
    const double h0 = NowMs();
    const bool hashed = FileSha256(root + file, digest, error);
    const double hashMs = NowMs() - h0;
    const double sumMs = _wtof(Env(L"DX_SHA256SUM_MS").c_str());
    std::printf("%-44s %9.0f ms\n", "SHA-256 of the file through the platform", hashMs);
    if (sumMs > 0) Ratio("SHA-256 through the platform", mib / (hashMs / 1000.0), mib / (sumMs / 1000.0), "sha256sum");
    if (hashed) {
      putMap(plainMap + L"FileHash1=" + digest + L"\r\n");
      const double withHash = bestSession();
      std::printf("%-44s %9.0f ms%s\n", "session with a checksum in the map", withHash, ok ? "" : "  FAILED");
      Ratio("session with a checksum", mib / (withHash / 1000.0), mib / (ms / 1000.0), "without");
      putMap(plainMap);
    }
    ClearDirectory(repo, true);
    RemoveDirectoryW(repo.c_str());
    DeleteFileW(SettingsFileName().c_str());
    DeleteFileW(FixedReportPath().c_str());
  }

  // Processor time while the server stalls for 10 s, beside the wall time of the wait.
  {
    StallingServer server(10000);
    net::THttpClient c;
    c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/stall";
    const double cpu0 = CpuMs(), t0 = NowMs();
    bool ok = c.Get();
    const double cpu = CpuMs() - cpu0, wall = NowMs() - t0;
    std::printf("%-44s %9.1f ms of processor time in %.0f ms: %.2f %%%s (goal under 2 %%)\n",
                "stalled server", cpu, wall, 100.0 * cpu / wall, ok ? "" : "  FAILED");
  }

  // From Stop to the end of the request.
  {
    StallingServer server(60000);
    net::THttpClient c;
    c.URL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/stall";
    PrintStopLatency("Stop to the end of the request", c, 500);
  }
  ClearDirectory(work, true);
  RemoveDirectoryW(work.c_str());
  return 0;
}
