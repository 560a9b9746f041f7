#include "test_util.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>

#include "common/routines.h"

namespace dorvex::test {

ScratchDir::ScratchDir(const std::wstring& tag) {
  static std::atomic<int> counter{0};
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  for (;;) {
    path_ = std::wstring(base) + L"dxt_" + tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(counter++) + L"\\";
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("cannot make a scratch directory");
  }
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

void RemoveTree(const std::wstring& pathIn) {
  std::wstring path = pathIn;
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return;
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    return;
  }
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_DIRECTORY);
  RemoveDirectoryW(path.c_str());
}

void CopyTree(const std::wstring& from, const std::wstring& to) {
  ForceDirectories(to);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((from + L"*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring n = fd.cFileName;
    if (n == L"." || n == L"..") continue;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      CopyTree(from + n + L"\\", to + n + L"\\");
    else
      CopyFileW((from + n).c_str(), (to + n).c_str(), FALSE);
  } while (FindNextFileW(h, &fd));
  FindClose(h);
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write a test file");
  DWORD put = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(h);
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
  return out;
}

std::wstring PemBody(const std::wstring& pemFile) {
  std::string out, line;
  for (char c : ReadBytes(pemFile) + "\n") {
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.rfind("-----", 0) != 0) out += line;
    line.clear();
  }
  return std::wstring(out.begin(), out.end());  // base64 is ASCII
}

std::string PatternBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x & 0xFF);
  }
  return out;
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring TestProgramDir() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  std::wstring path(buf, n);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring FixturePath(const std::wstring& name) { return TestProgramDir() + L"fixtures\\" + name; }

}  // namespace dorvex::test

#include "ui/pump.h"

namespace dorvex::test {

namespace {
struct WindowSearch {
  DWORD pid;
  const std::wstring* cls;
  HWND found;
};
BOOL CALLBACK FindProgramWindow(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<WindowSearch*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  wchar_t cls[128];
  GetClassNameW(h, cls, 128);
  if (pid == s->pid && IsWindowVisible(h) && *s->cls == cls) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}
BOOL CALLBACK CollectStaticText(HWND h, LPARAM lp) {
  wchar_t cls[64];
  GetClassNameW(h, cls, 64);
  if (_wcsicmp(cls, L"Static") == 0) {
    wchar_t buf[2048];
    int n = GetWindowTextW(h, buf, 2048);
    if (n > 0) {
      auto* t = reinterpret_cast<std::wstring*>(lp);
      if (!t->empty()) *t += L"\n";
      t->append(buf, static_cast<size_t>(n));
    }
  }
  return TRUE;
}
}  // namespace

RunningProgram::RunningProgram(const std::wstring& program, const std::wstring& arguments,
                               const std::wstring& directory) {
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                     directory.empty() ? nullptr : directory.c_str(), &si, &pi)) {
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    id_ = pi.dwProcessId;
  }
}

RunningProgram::~RunningProgram() {
  if (!process_) return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
}

HWND RunningProgram::WaitForWindow(const std::wstring& className, DWORD timeoutMs) const {
  WindowSearch search{id_, &className, nullptr};
  ui::WaitUntil(
      [&] {
        EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&search));
        return search.found != nullptr;
      },
      timeoutMs);
  return search.found;
}

long RunningProgram::WaitExit(DWORD timeoutMs) {
  if (!process_) return -1;
  if (ui::WaitFor(&process_, 1, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return static_cast<long>(code);
}

std::wstring DialogText(HWND dialog) {
  std::wstring text;
  EnumChildWindows(dialog, CollectStaticText, reinterpret_cast<LPARAM>(&text));
  return text;
}

}  // namespace dorvex::test
