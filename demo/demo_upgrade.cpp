// The demo's upgrade executable: it does what a served program's own upgrade program does,
// in the small. It puts the files of the version step it is pointed at in place of the
// installed ones, and says what it did in its console window.
//   Windows programs:  UPG.exe SILENT:1 PRG:<id> PATH:<step dir>   files arrive as name.~ext, exit 100
//   console programs:  UPGRADE.EXE -SILENCE <step dir>             into the program directory, exit 0
//   third line:        <step dir>\UPGRADE.EXE /silent              into the working directory, exit 0
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
// The command line read as the family's upgrade programs read theirs: arguments are separated
// by blanks and control characters, a double quote only switches quoting on and off, and a
// backslash is always itself. So PATH:"C:\Upgrade Files\Buh\412\" is one argument whose path
// keeps its trailing backslash (the C runtime would take the backslash and quote for a literal
// quote and run on into the next argument). The first argument is the program itself.
std::vector<std::wstring> Arguments() {
  const wchar_t* p = GetCommandLineW();
  std::vector<std::wstring> out;
  for (;;) {
    while (*p && *p <= L' ') ++p;
    if (!*p) break;
    std::wstring arg;
    bool quoted = false;
    for (; *p && (quoted || *p > L' '); ++p) {
      if (*p == L'"')
        quoted = !quoted;
      else
        arg += *p;
    }
    out.push_back(arg);
  }
  return out;
}
std::wstring Slash(std::wstring d) {
  if (!d.empty() && d.back() != L'\\') d += L'\\';
  return d;
}
std::wstring Lower(std::wstring s) {
  CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
  return s;
}
// Copies every file of src into dst; with tilde, "a.exe" arrives as "a.~exe".
int CopyAll(const std::wstring& src, const std::wstring& dst, bool tilde, const std::wstring& skip) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((src + L"*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  int copied = 0;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::wstring name = fd.cFileName;
    if (!skip.empty() && Lower(name) == Lower(skip)) continue;
    std::wstring target = name;
    size_t dot = name.find_last_of(L'.');
    if (tilde && dot != std::wstring::npos) target = name.substr(0, dot + 1) + L"~" + name.substr(dot + 1);
    if (!CopyFileW((src + name).c_str(), (dst + target).c_str(), FALSE)) return -1;
    wprintf(L"  %ls -> %ls%ls\n", name.c_str(), dst.c_str(), target.c_str());
    ++copied;
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return copied;
}
}  // namespace

int wmain() {
  std::vector<std::wstring> args = Arguments();
  wchar_t cwdBuf[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwdBuf);
  const std::wstring cwd = Slash(cwdBuf);
  wprintf(L"Demo upgrade: %ls\n", GetCommandLineW());
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i].rfind(L"PATH:", 0) == 0) {
      int n = CopyAll(Slash(args[i].substr(5)), cwd, true, L"");
      Sleep(700);
      return n >= 0 ? 100 : 3;
    }
    if (args[i] == L"-SILENCE" && i + 1 < args.size()) {
      std::wstring target = cwd;
      std::wstring trimmed = target.substr(0, target.size() - 1);
      std::wstring last = trimmed.substr(trimmed.find_last_of(L'\\') + 1);
      if (Lower(last) == L"upgrade") target = trimmed.substr(0, trimmed.find_last_of(L'\\') + 1);
      int n = CopyAll(Slash(args[i + 1]), target, false, L"");
      Sleep(700);
      return n >= 0 ? 0 : 4;
    }
    if (Lower(args[i]) == L"/silent") {
      wchar_t self[MAX_PATH];
      DWORD len = GetModuleFileNameW(nullptr, self, MAX_PATH);
      std::wstring path(self, len);
      std::wstring dir = path.substr(0, path.find_last_of(L'\\') + 1);
      int n = CopyAll(dir, cwd, false, path.substr(dir.size()));
      Sleep(700);
      return n >= 0 ? 0 : 4;
    }
  }
  wprintf(L"Demo upgrade: nothing to do\n");
  return 1;
}
