// Figures the program's design promises, measured on this machine and printed, each beside its
// peer measured in the same run and the ratio between them:
//  - an idle wait costs no processor time: CPU used by this process while an upgrade
//    executable sleeps for 3 seconds, waited for the way the boosters wait;
//  - the portioned copy of 64 MiB against the system's CopyFileW of the same file;
//  - map analysis of 2000 and of 20000 steps, and the download procedure's sizing of a step of
//    2000 files, with the time per step (the larger map against the smaller one: linear growth);
//  - a whole session through the real main window from a directory source with a 300 MB file,
//    against the bare portioned copy of the same file;
//  - start-up to the idle window against a minimal window program started the same way, and
//    the idle window's peak working set.
// Run with `make bench`.
#include <windows.h>

#include <psapi.h>

#include <cstdio>
#include <memory>

#include "app/mainfrm.h"
#include "common/inifile.h"
#include "common/pump.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "ui/controls.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"
#include "protocols/disk.h"
#include "ui/dialogs.h"
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

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}
LARGE_INTEGER Clock() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t;
}

void WriteFileOfSize(const std::wstring& path, int64_t size) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  std::string block(1 << 20, 'x');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 4096);
  DWORD put;
  for (int64_t left = size; left > 0; left -= static_cast<int64_t>(block.size()))
    WriteFile(h, block.data(), static_cast<DWORD>(left < static_cast<int64_t>(block.size()) ? left : block.size()), &put,
              nullptr);
  CloseHandle(h);
}

void Ratio(const char* what, double figure, const char* peerName, double peer, const char* goal) {
  std::printf("%s: %.3f s; %s: %.3f s; ratio (peer time / our time) %.2f  [goal %s]\n", what, figure, peerName, peer,
              figure > 0 ? peer / figure : 0.0, goal);
}

void CopyThroughput() {
  const std::wstring src = TempPath(L"dx_bench_src.bin"), dst = TempPath(L"dx_bench_dst.bin"),
                     dst2 = TempPath(L"dx_bench_dst2.bin");
  WriteFileOfSize(src, 64LL << 20);
  CopyFileW(src.c_str(), dst2.c_str(), FALSE);  // both start with the source in the cache
  DeleteFileW(dst2.c_str());
  auto t0 = Clock();
  CopyFileInPortions(nullptr, src, dst, -1, -1, nullptr);
  auto t1 = Clock();
  CopyFileW(src.c_str(), dst2.c_str(), FALSE);
  auto t2 = Clock();
  const double ours = Seconds(t0, t1), peer = Seconds(t1, t2);
  std::printf("portioned copy of 64 MiB: %.1f MiB/s; CopyFileW: %.1f MiB/s\n", ours > 0 ? 64 / ours : 0.0,
              peer > 0 ? 64 / peer : 0.0);
  Ratio("portioned copy of 64 MiB", ours, "CopyFileW of the same file", peer, ">= 0.8");
  DeleteFileW(src.c_str());
  DeleteFileW(dst.c_str());
  DeleteFileW(dst2.c_str());
}

double AnalyseMap(int steps) {
  const std::wstring map = TempPath(L"dx_bench.nrm");
  std::string text;
  char section[96];
  for (int v = 100001; v <= 100000 + steps; ++v) {  // names of one length: the word sort keeps them in order
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
  p.Controller->Version = 100000;
  std::vector<std::wstring> found;
  auto t0 = Clock();
  MapAnalysis r = AnalyseUpgradeMap(*p.Controller, map, found);
  const double s = Seconds(t0, Clock());
  std::printf("map of %d steps analysed in %.3f s, %.1f us per step (usable %d, %zu steps to fetch)  [goal < 0.1 s]\n",
              steps, s, s * 1e6 / steps, r.Usable ? 1 : 0, found.size());
  DeleteFileW(map.c_str());
  return s;
}

void MapAnalysisGrowth() {
  const double small = AnalyseMap(2000), large = AnalyseMap(20000);
  std::printf("map analysis per step, 20000 steps against 2000: %.2f  [goal about 1: linear]\n",
              small > 0 ? (large / 20000) / (small / 2000) : 0.0);
}

void SizingOfALongStep() {
  const std::wstring root = TempPath(L"dx_bench_sizing\\");
  ClearDirectory(root, true);
  ForceDirectories(root + L"repo\\Buh\\12\\");
  ForceDirectories(root + L"src\\");
  ForceDirectories(root + L"tmp\\");
  std::string map = "[12]\r\nCount=2000\r\n";
  for (int i = 1; i <= 2000; ++i) {
    map += "FileName" + std::to_string(i) + "=f" + std::to_string(i) + ".dll\r\nFileSize" + std::to_string(i) + "=4\r\n";
    HANDLE h = CreateFileW((root + L"repo\\Buh\\12\\f" + std::to_wstring(i) + L".dll").c_str(), GENERIC_WRITE, 0,
                           nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD put;
    WriteFile(h, "data", 4, &put, nullptr);
    CloseHandle(h);
  }
  HANDLE h = CreateFileW((root + L"tmp\\Buh.nrm").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD put;
  WriteFile(h, map.data(), static_cast<DWORD>(map.size()), &put, nullptr);
  CloseHandle(h);
  Settings() = TSettings{};
  Settings().ConnectionType = 2;
  Settings().DiskRootDir = root + L"src";
  Settings().UpgradeFilesDir = root + L"repo\\";
  TProgramList list;
  AddCatalogueRows(list);
  TProgram& p = *list.FindByID(L"Buh");
  p.TempDir = root + L"tmp\\";
  AbortMethod abortVar;
  double s = 0;
  bool ok = false;
  {
    TDiskProtocol disk(p);
    disk.StepList = {L"12"};
    auto t0 = Clock();
    ok = disk.DownloadFiles(abortVar, nullptr);
    s = Seconds(t0, Clock());
  }
  std::printf("download procedure over a step of 2000 files already stored: %.3f s, %.1f us per file (result %d)  "
              "[goal < 0.1 s]\n",
              s, s * 1e6 / 2000, ok ? 1 : 0);
  Settings() = TSettings{};
  ClearDirectory(root, true);
  RemoveDirectoryW(ExcludeTrailingBackslash(root).c_str());
}

// A whole automatic session through the real window: a load-only program at version 5, a
// directory source offering step 6 with one file of the given size. Returns the session's time
// and sets peer to the bare portioned copy's time of the same file.
double SessionOf(int64_t size, double& peer);

void SessionThroughTheWindow() {
  double smallPeer = 0, bigPeer = 0;
  const double fixed = SessionOf(1, smallPeer);
  std::printf("a session with a file of one byte (the fixed cost of a session): %.3f s\n", fixed);
  const double ours = SessionOf(300LL * 1000 * 1000, bigPeer);
  Ratio("whole session with a 300 MB file", ours, "bare portioned copy of the same file", bigPeer, ">= 0.8");
  if (ours > fixed)
    Ratio("the same session less its fixed cost", ours - fixed, "bare portioned copy of the same file", bigPeer,
          ">= 0.8");
}

double SessionOf(int64_t size, double& peer) {
  const std::wstring root = TempPath(L"dx_bench_session\\");
  ClearDirectory(root, true);
  ForceDirectories(root + L"src\\Kadry\\6\\");
  ForceDirectories(root + L"tmp\\");
  const std::wstring big = root + L"src\\Kadry\\6\\kadry.dat";
  WriteFileOfSize(big, size);
  TIniFile(root + L"src\\Kadry.nrm").WriteString(L"6", L"Dir", L"Kadry\\6");
  TIniFile(root + L"src\\Kadry.nrm").WriteString(L"6", L"Count", L"1");
  TIniFile(root + L"src\\Kadry.nrm").WriteString(L"6", L"FileName1", L"kadry.dat");
  TIniFile(root + L"src\\Kadry.nrm").WriteString(L"6", L"FileSize1", std::to_wstring(size));
  TIniFile(root + L"src\\Kadry.nrm").Flush();
  const std::wstring ini = SettingsFileName();
  DeleteFileW(ini.c_str());
  TIniFile s(ini);
  s.WriteString(L"Common", L"UpgradeFilesDir", root + L"repo\\");
  s.WriteString(L"Disk", L"RootDir", root + L"src\\");
  s.WriteString(L"Connection", L"ConnectionType", L"2");
  s.WriteString(L"Connection", L"AttemptCount", L"1");
  s.WriteString(L"Connection", L"AttemptPause", L"0");
  s.WriteString(L"Session", L"TempDir", root + L"tmp\\");
  s.WriteString(L"Service", L"NoBitmap", L"1");
  s.WriteString(L"General", L"ActiveProgramCount", L"1");
  s.WriteString(L"Program1", L"ProgramID", L"Kadry");
  s.WriteString(L"Program1", L"VirtualUpgrade", L"1");
  s.WriteString(L"Program1", L"VirtualVersion", L"5");
  s.Flush();

  // The peer: the bare portioned copy of the same file, in the cache as the session will find it.
  const std::wstring bare = root + L"bare.dat";
  auto t0 = Clock();
  CopyFileInPortions(nullptr, big, bare, -1, -1, nullptr);
  peer = Seconds(t0, Clock());
  DeleteFileW(bare.c_str());

  ui::SetMessageBoxHandler([](const ui::MessageBoxRequest&) { return IDOK; });
  double ours = 0;
  int64_t stored = -1;
  {
    auto form = std::make_unique<TMainForm>();
    form->Create();
    form->Show();
    ui::ProcessMessages();
    auto t1 = Clock();
    ui::ClickButton(form->RunBtn);
    ui::ProcessMessages();
    ours = Seconds(t1, Clock());
    stored = FileSizeOf(root + L"repo\\Kadry\\6\\kadry.dat");
    if (stored != size)
      for (const auto& line : form->SessionLines)
        if (!line.empty()) std::printf("  session: %s\n", WideToUtf8(line).c_str());
  }
  ui::SetMessageBoxHandler(nullptr);
  if (size > 1000)
    std::printf("session through the window: %.1f MB/s (file stored whole: %s); bare portioned copy: %.1f MB/s\n",
                ours > 0 ? size / 1e6 / ours : 0.0, stored == size ? "yes" : "no", peer > 0 ? size / 1e6 / peer : 0.0);
  DeleteFileW(ini.c_str());
  ClearDirectory(root, true);
  RemoveDirectoryW(ExcludeTrailingBackslash(root).c_str());
  return ours;
}

// Starts a program and waits until a visible top-level window of the class belongs to it.
double StartToWindow(const std::wstring& commandLine, const wchar_t* windowClass, PROCESS_INFORMATION& pi) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  std::wstring cmd = commandLine;
  auto t0 = Clock();
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
  for (int i = 0; i < 6000; ++i) {
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, windowClass, nullptr)) != nullptr) {
      DWORD pid = 0;
      GetWindowThreadProcessId(w, &pid);
      if (pid == pi.dwProcessId && IsWindowVisible(w)) return Seconds(t0, Clock());
    }
    Sleep(5);
  }
  return -1;
}

void CloseStarted(PROCESS_INFORMATION& pi, const wchar_t* windowClass) {
  HWND w = nullptr;
  while ((w = FindWindowExW(nullptr, w, windowClass, nullptr)) != nullptr) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == pi.dwProcessId) PostMessageW(w, WM_CLOSE, 0, 0);
  }
  if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

void StartUp() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring program = ExtractFilePath(self) + L"..\\dorvex.exe";
  const std::wstring root = TempPath(L"dx_bench_start\\");
  ForceDirectories(root);
  const std::wstring ini = root + L"dorvex.ini";
  DeleteFileW(ini.c_str());
  PROCESS_INFORMATION ours{}, peer{};
  const double minimal = StartToWindow(L"\"" + std::wstring(self) + L"\" window", L"DxBenchMinimal", peer);
  CloseStarted(peer, L"DxBenchMinimal");
  const double t = StartToWindow(L"\"" + program + L"\" /CONF:" + ini, L"DorvexMainForm", ours);
  Sleep(1000);  // idle
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  const bool memory = ours.hProcess && GetProcessMemoryInfo(ours.hProcess, &pmc, sizeof pmc);
  CloseStarted(ours, L"DorvexMainForm");
  if (t < 0 || minimal < 0) {
    std::printf("start-up: a window did not show (dorvex %.3f s, minimal %.3f s)\n", t, minimal);
  } else {
    Ratio("start-up to the idle window", t, "a minimal window program started the same way", minimal, "close to 1");
  }
  if (memory)
    std::printf("idle window: peak working set %.1f MiB\n", static_cast<double>(pmc.PeakWorkingSetSize) / (1 << 20));
  ClearDirectory(root, true);
  RemoveDirectoryW(ExcludeTrailingBackslash(root).c_str());
}

LRESULT CALLBACK MinimalWindowProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(h, m, w, l);
}

// The peer of the start-up figure: a window of its own class, shown, pumping until closed.
int MinimalWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = MinimalWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"DxBenchMinimal";
  RegisterClassW(&wc);
  HWND h = CreateWindowW(L"DxBenchMinimal", L"minimal", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                         wc.hInstance, nullptr);
  ShowWindow(h, SW_SHOW);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc > 1 && std::wstring(argv[1]) == L"sleep") {
    Sleep(3000);
    return 0;
  }
  if (argc > 1 && std::wstring(argv[1]) == L"window") return MinimalWindow();
  ui::InitControls(GetModuleHandleW(nullptr));
  ui::InstallPump();
  IdleWait();
  CopyThroughput();
  MapAnalysisGrowth();
  SizingOfALongStep();
  SessionThroughTheWindow();
  StartUp();
  return 0;
}
