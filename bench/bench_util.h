// What the network benchmarks share: the environment their scripts hand over, the clocks, the
// line that puts a rate beside its peer's, and a delivery session through the real main window.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/mainfrm.h"
#include "common/routines.h"
#include "common/text.h"
#include "net/http.h"
#include "settings/options.h"
#include "ui/controls.h"
#include "ui/pump.h"

namespace dorvex::bench {

inline std::wstring Env(const wchar_t* name) {
  wchar_t buf[1024];
  DWORD n = GetEnvironmentVariableW(name, buf, 1024);
  return n > 0 && n < 1024 ? std::wstring(buf, n) : L"";
}

// Processor time of this process, kernel and user, in milliseconds.
inline double CpuMs() {
  FILETIME c, e, k, u;
  GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
  auto ms = [](FILETIME f) { return (static_cast<double>(f.dwHighDateTime) * 4294967296.0 + f.dwLowDateTime) / 10000.0; };
  return ms(k) + ms(u);
}

inline double NowMs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

inline void Ratio(const char* what, double ours, double peer, const char* peerName) {
  std::printf("%-44s %9.1f MiB/s   %s %9.1f MiB/s   ratio %.2f\n", what, ours, peerName, peer, peer > 0 ? ours / peer : 0.0);
}

// Writes a text in the ANSI code page, as the maps and settings files are kept.
inline void WriteText(const std::wstring& path, const std::wstring& text) {
  const std::string bytes = WideToAnsi(text);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD put;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(h);
}

// The best of `runs` delivery sessions through the real main window, from the Run button's click
// to the end of the session, each into an empty repository and with the settings written anew
// (a session moves the load-only program's recorded version on). `ok` falls when `delivered`
// says a run did not bring the file.
inline double BestWindowSessionMs(int runs, const std::wstring& repo, const std::wstring& settings,
                                  const std::function<bool()>& delivered, bool& ok) {
  double best = 1e30;
  for (int run = 0; run < runs; ++run) {
    ClearDirectory(repo, true);
    WriteText(SettingsFileName(), settings);
    auto form = std::make_unique<TMainForm>();
    form->Create();
    form->Show();
    ui::ProcessMessages();
    const double t0 = NowMs();
    ui::ClickButton(form->RunBtn);
    best = std::min(best, NowMs() - t0);
    ui::ProcessMessages();
    ok = delivered() && ok;
  }
  return best;
}

// Presses Stop `afterMs` into the client's request, as the Stop button does, and prints the time
// from Stop to the end of the request.
struct TStopLatency {
  static inline net::THttpClient* client = nullptr;
  static inline double stopAt = 0;
  static void CALLBACK Stop(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    stopAt = NowMs();
    if (client) client->Abort();
  }
};
inline void PrintStopLatency(const char* what, net::THttpClient& c, UINT afterMs) {
  TStopLatency::client = &c;
  SetTimer(nullptr, 0, afterMs, TStopLatency::Stop);
  const bool ok = c.Get();
  const double latency = NowMs() - TStopLatency::stopAt;
  TStopLatency::client = nullptr;
  std::printf("%-44s %9.2f ms%s (goal within 1000 ms: ratio %.4f)\n", what, latency, ok ? "  FAILED: not stopped" : "",
              latency / 1000.0);
}

}  // namespace dorvex::bench
