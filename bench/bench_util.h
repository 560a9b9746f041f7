// What the network benchmarks share: the environment their scripts hand over, the clocks, and
// the line that puts a rate beside its peer's.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

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

}  // namespace dorvex::bench
