// Figures the program's design promises, measured on this machine and printed:
//  - an idle wait costs no processor time: CPU used by this process while an upgrade
//    executable sleeps for 3 seconds, waited for the way the boosters wait;
//  - the portioned copy's throughput on a 64 MiB file;
//  - the map analysis of a map with 2000 steps.
// Run with `make bench`.
#include <windows.h>

#include <cstdio>

#include "common/pump.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "ui/controls.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"
#include "upgrade/chain.h"

using namespace dorvex;

namespace {
double CpuMs() {
  FILETIME c, e, k, u;
  GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
  auto ms = [](FILETIME f) { return (static_cast<double>(f.dwHighDateTime) * 4294967296.0 + f.dwLowDateTime) / 10000.0; };
  return ms(k) + ms(u);
}

std::wstring TempPath(const std::wstring& name) { return GetSystemTempDirectory() + name; }

void IdleWait() {
  // A child that sleeps: "cmd /c ping" is not available everywhere; a second instance of this
  // program started with "sleep" sleeps three seconds.
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring cmd = L"\"" + std::wstring(self) + L"\" sleep";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
  const double cpu0 = CpuMs();
  const DWORD t0 = GetTickCount();
  int turns = 0;
  while (WaitWithMessages(&pi.hProcess, 1, 100) != WAIT_OBJECT_0) ++turns;
  const DWORD wall = GetTickCount() - t0;
  const double cpu = CpuMs() - cpu0;
  std::printf("idle wait on a process: %lu ms of waiting, %.1f ms of processor time, %d wake-ups\n", wall, cpu, turns);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);

  const double cpu1 = CpuMs();
  ui::Sleep(2000);
  std::printf("idle pause of 2000 ms through the message pump: %.1f ms of processor time\n", CpuMs() - cpu1);
}

void CopyThroughput() {
  const std::wstring src = TempPath(L"dx_bench_src.bin"), dst = TempPath(L"dx_bench_dst.bin");
  HANDLE h = CreateFileW(src.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  std::string block(1 << 20, 'x');
  DWORD put;
  for (int i = 0; i < 64; ++i) WriteFile(h, block.data(), static_cast<DWORD>(block.size()), &put, nullptr);
  CloseHandle(h);
  const DWORD t0 = GetTickCount();
  CopyFileInPortions(nullptr, src, dst, -1, -1, nullptr);
  const DWORD ms = GetTickCount() - t0;
  std::printf("portioned copy of 64 MiB: %lu ms (%.1f MiB/s)\n", ms, ms ? 64000.0 / ms : 0.0);
  DeleteFileW(src.c_str());
  DeleteFileW(dst.c_str());
}

void AnalyseLongMap() {
  const std::wstring map = TempPath(L"dx_bench.nrm");
  std::string text;
  char section[96];
  for (int v = 1001; v <= 3000; ++v) {  // names of one length: the word sort keeps them in order
    std::snprintf(section, sizeof section, "[%d]\r\nCount=1\r\nFileName1=a.dll\r\nFileSize1=10\r\n", v);
    text += section;
  }
  HANDLE h = CreateFileW(map.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD put;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
  CloseHandle(h);
  TProgramList list;
  AddCatalogueRows(list);
  TProgram& p = list.Items(0);
  p.Controller->Version = 1000;
  std::vector<std::wstring> steps;
  const DWORD t0 = GetTickCount();
  MapAnalysis r = AnalyseUpgradeMap(*p.Controller, map, steps);
  std::printf("map of 2000 steps analysed in %lu ms (usable %d, %zu steps to fetch)\n", GetTickCount() - t0,
              r.Usable ? 1 : 0, steps.size());
  DeleteFileW(map.c_str());
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"sleep") {
    Sleep(3000);
    return 0;
  }
  ui::InitControls(GetModuleHandleW(nullptr));
  ui::InstallPump();
  IdleWait();
  CopyThroughput();
  AnalyseLongMap();
  return 0;
}
