// Figures of the HTTPS transfer, each beside its peer measured in the same run:
//  - 256 MiB from lighttpd over TLS on loopback written to disk by THttpProtocol alone and by a
//    whole delivery session through the real main window, against curl over TLS (measured by
//    the wrapper bench/https-bench.sh just before, handed over in DX_CURL_MS);
//  - the processor time the agent spends while a TLS server stays silent after the handshake;
//  - the time from Stop to the end of the request in that silence.
// Run with `bash bench/https-bench.sh`.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "app/mainfrm.h"
#include "app/report.h"
#include "bench_util.h"
#include "common/routines.h"
#include "common/text.h"
#include "protocols/http.h"
#include "settings/options.h"
#include "ui/controls.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"

using namespace dorvex;
using namespace dorvex::bench;

namespace {
std::string CaSetting() {
  std::string pem, out;
  ReadFileBytes(Env(L"DX_CERTS") + L"ca.crt", pem);
  for (char c : pem)
    if (c != '\r') out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}
}  // namespace

int wmain() {
  ui::InitControls(GetModuleHandleW(nullptr));
  ui::InstallPump();
  const std::wstring port = Env(L"DX_HTTPS_PORT"), root = Env(L"DX_HTTP_ROOT"), file = Env(L"DX_BENCH_FILE");
  const std::wstring stallPort = Env(L"DX_STALL_PORT");
  const double curlMs = _wtof(Env(L"DX_CURL_MS").c_str());
  if (port.empty() || file.empty() || curlMs <= 0 || stallPort.empty()) {
    std::printf("run through bench/https-bench.sh (lighttpd, openssl and curl are started there)\n");
    return 2;
  }
  const std::string ca = CaSetting();
  const int64_t size = FileSizeOf(root + file);
  const double mib = static_cast<double>(size) / 1048576.0;
  const double curlRate = mib / (curlMs / 1000.0);
  std::printf("file of %.0f MiB from lighttpd over TLS on loopback, written to disk\n", mib);
  std::printf("%-44s %9.0f ms\n", "curl over TLS", curlMs);

  const std::wstring work = IncludeTrailingBackslash(GetSystemTempDirectory()) + L"dx_https_bench\\";
  ForceDirectories(work);
  {
    Settings() = TSettings{};
    Settings().HttpServer = L"https://localhost";
    Settings().HttpPort = port;
    Settings().TrustedCertificates = AnsiToWide(ca);
    TProgramList list;
    AddCatalogueRows(list);
    TProgram* p = list.FindByID(L"Kadry");
    p->TempDir = work;
    THttpProtocol h(*p);
    AbortMethod abortVar;
    double ms = 1e30;
    bool ok = true;
    for (int run = 0; run < 3; ++run) {  // the best of three: the machine is shared
      DeleteFileW((work + L"bare.bin").c_str());
      const double t0 = NowMs();
      ok = h.DownloadFile(abortVar, L"/" + file, false, work + L"bare.bin") && ok;
      ms = std::min(ms, NowMs() - t0);
    }
    std::printf("%-44s %9.0f ms%s  [%s]\n", "THttpProtocol alone over TLS", ms,
                ok && FileSizeOf(work + L"bare.bin") == size ? "" : "  FAILED",
                WideToUtf8(h.Client->SecureSummary).c_str());
    Ratio("THttpProtocol alone over TLS", mib / (ms / 1000.0), curlRate, "curl");
    DeleteFileW((work + L"bare.bin").c_str());
  }
  {
    // A whole session through the real main window: map, download over TLS, move into the repository.
    const std::wstring repo = work + L"repo\\", temp = work + L"tmp\\";
    ForceDirectories(temp);
    WriteText(root + L"Kadry.nrm",
              L"[6]\r\nDir=/\r\nCount=1\r\nFileName1=" + file + L"\r\nFileSize1=" + std::to_wstring(size) + L"\r\n");
    bool ok = true;
    const double ms = BestWindowSessionMs(
        2, repo,
        L"[Common]\r\nUpgradeFilesDir=" + repo + L"\r\n[Session]\r\nTempDir=" + temp +
            L"\r\n[Http]\r\nServer=https://localhost\r\nPort=" + port +
            L"\r\nRootDir=/\r\n[Connection]\r\nConnectionType=1\r\nAttemptCount=1\r\n[Proxy]\r\nUse=0\r\n"
            L"[General]\r\nActiveProgramCount=1\r\n[Program1]\r\nProgramID=Kadry\r\nVirtualUpgrade=1\r\n"
            L"VirtualVersion=5\r\n[Security]\r\nTrustedCertificates=" + AnsiToWide(ca) + L"\r\n",
        [&] { return FileSizeOf(repo + L"Kadry\\6\\" + file) == size; }, ok);
    std::printf("%-44s %9.0f ms%s\n", "session over TLS through the window", ms, ok ? "" : "  FAILED");
    Ratio("session over TLS through the window", mib / (ms / 1000.0), curlRate, "curl");
    ClearDirectory(repo, true);
    RemoveDirectoryW(repo.c_str());
    DeleteFileW(SettingsFileName().c_str());
    DeleteFileW(FixedReportPath().c_str());
  }
  const std::string stallUrl = "https://localhost:" + WideToAnsi(stallPort) + "/stall";
  {
    // Processor time while the server is silent after the handshake, until the 10 s time-out.
    net::THttpClient c;
    c.URL = stallUrl;
    c.Trust.trustedCertificates = ca;
    c.TimeOutMs = 10000;
    const double cpu0 = CpuMs(), t0 = NowMs();
    bool ok = c.Get();
    const double cpu = CpuMs() - cpu0, wall = NowMs() - t0;
    std::printf("%-44s %9.1f ms of processor time in %.0f ms: %.2f %%%s (goal under 2 %%)\n", "stalled TLS server", cpu,
                wall, 100.0 * cpu / wall, !ok && c.StatusCode == 426 ? "" : "  FAILED: not a time-out");
  }
  {
    net::THttpClient c;
    c.URL = stallUrl;
    c.Trust.trustedCertificates = ca;
    PrintStopLatency("Stop to the end of a TLS request", c, 1500);
  }
  ClearDirectory(work, true);
  RemoveDirectoryW(work.c_str());
  return 0;
}
