#include "common/routines.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/errors.h"
#include "common/handles.h"
#include "common/pump.h"
#include "common/text.h"
#include "common/versions.h"

namespace dorvex {

// ---- paths ----

std::wstring ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

std::wstring ChangeFileExt(const std::wstring& path, const std::wstring& ext) {
  size_t slash = path.find_last_of(L"\\/:");
  size_t dot = path.find_last_of(L'.');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return path + ext;
  return path.substr(0, dot) + ext;
}

std::wstring ExtractFilePath(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/:");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring ExtractFileName(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/:");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool FileExists(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
  if (path.empty()) return false;
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::wstring& raw) {
  std::wstring path = ExcludeTrailingBackslash(raw);
  if (path.empty()) return false;
  if (DirectoryExists(path) || (path.size() == 2 && path[1] == L':')) return true;
  std::wstring parent = ExtractFilePath(path);
  if (!parent.empty() && parent != path + L"\\" && !ForceDirectories(parent)) return false;
  return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

namespace {
// The reserved device names, which open a device instead of a file in any directory and with
// any extension ("nul.txt", "COM1 .log").
bool IsDeviceName(const std::wstring& part) {
  std::wstring base = part.substr(0, part.find(L'.'));
  while (!base.empty() && (base.back() == L' ' || base.back() == L'.')) base.pop_back();
  base = UpperCaseText(base);
  static const wchar_t* const kNames[] = {L"CON", L"NUL", L"AUX", L"PRN", L"CONIN$", L"CONOUT$", L"CLOCK$"};
  for (const wchar_t* n : kNames)
    if (base == n) return true;
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
    const wchar_t d = base[3];
    return (d >= L'0' && d <= L'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;  // also the superscript digits
  }
  return false;
}
}  // namespace

bool IsSafeRelativePath(const std::wstring& path) {
  if (path.empty() || path[0] == L'\\' || path[0] == L'/') return false;
  for (wchar_t c : path)
    if (c < 32 || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|') return false;
  std::vector<std::wstring> parts;
  SplitText(path, parts, L"\\/", false);
  for (const auto& part : parts) {
    std::wstring t = TrimRight(part);
    // Windows drops trailing dots and blanks: ". ." and "..." name the parent as ".." does.
    while (!t.empty() && (t.back() == L'.' || t.back() == L' ')) t.pop_back();
    if (t.empty() && !part.empty()) return false;
    if (IsDeviceName(part)) return false;
  }
  return true;
}

// ---- temporary directories ----

std::wstring GetSystemTempDirectory() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, buf);
  std::wstring path = (n > 0 && n < MAX_PATH) ? std::wstring(buf, n) : std::wstring();
  if (!path.empty()) return IncludeTrailingBackslash(path);
  const std::wstring fallback = L"C:\\Temp";
  if (!DirectoryExists(fallback) && !CreateDirectoryW(fallback.c_str(), nullptr)) return L"";
  return fallback;
}

std::wstring CreateTempDirectory(const std::wstring& baseIn, const std::wstring& prefix) {
  if (baseIn.empty()) throw Error(L"Не указан временный каталог.");
  std::wstring base = IncludeTrailingBackslash(baseIn);
  if (prefix.size() > 4) throw Error(L"Указан слишком длинный префикс временного каталога.");

  uint32_t counter = TickCount();
  const size_t width = 8 - prefix.size();
  std::wstring digits = std::to_wstring(counter);
  if (digits.size() > width) counter = static_cast<uint32_t>(std::wcstoul(digits.substr(digits.size() - width).c_str(), nullptr, 10));

  std::wstring candidate;
  for (int attempt = 0; attempt <= 5000; ++attempt) {
    candidate = base + prefix + std::to_wstring(counter) + L".tmp\\";
    if (!DirectoryExists(candidate)) {
      if (CreateDirectoryW(candidate.c_str(), nullptr)) return candidate;
      throw Error(Fmt(L"Ошибка создания временного каталога (%s). Убедитесь в наличии прав на создание "
                      L"каталогов и прав на запись во временном каталоге (ошибка Windows: %s).",
                      candidate, WindowsErrorText(GetLastError())));
    }
    ++counter;
    Sleep(0);
  }
  throw Error(Fmt(L"Ошибка создания временного каталога (%s). Убедитесь в наличии прав на создание каталогов "
                  L"и прав на запись во временном каталоге (превышено количество попыток).",
                  candidate));
}

std::wstring ClearDirectory(const std::wstring& pathIn, bool recursive) {
  std::wstring result;
  if (pathIn.size() <= 2) return result;
  if (pathIn.size() == 3 && PathDriveType(pathIn) != DRIVE_REMOVABLE) return result;
  std::wstring path = IncludeTrailingBackslash(pathIn);

  WIN32_FIND_DATAW fd;
  FindHandle find(FindFirstFileW((path + L"*.*").c_str(), &fd));
  if (!find) return result;
  do {
    std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring full = path + name;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!recursive) continue;
      // A junction or a directory link goes as a link: what it points at is not ours to empty.
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) ClearDirectory(full, true);
      SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_DIRECTORY);
      if (!RemoveDirectoryW(full.c_str()) && result.empty())
        result = Fmt(L"Нельзя удалить каталог %s. Ошибка Windows: «%s»", full, WindowsErrorText(GetLastError()));
    } else {
      SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_ARCHIVE);
      BOOL ok = DeleteFileW(full.c_str());
      DWORD err = GetLastError();
      if ((!ok || GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES) && result.empty())
        result = Fmt(L"Нельзя удалить файл %s. Ошибка Windows: «%s»", full, WindowsErrorText(ok ? ERROR_ACCESS_DENIED : err));
    }
  } while (FindNextFileW(find.get(), &fd));
  return result;
}

// ---- copying ----

namespace {
constexpr DWORD kCopyPumpMs = 15;
constexpr int64_t kCopyPortion = 256 * 1024;
}  // namespace

std::wstring CopyFileInPortions(void* sender, const std::wstring& source, const std::wstring& destination,
                                int32_t maxCount, int32_t startOffset, const CopyProgressEvent& onProgress,
                                const CopyStopSource* stopSource) {
  if (onProgress) onProgress(sender, false, 0);
  ErrorModeGuard quiet(SEM_FAILCRITICALERRORS);

  // A source or destination that cannot be opened gives an empty result here; the callers
  // that must be sure compare the destination's size with what they expected.
  FileHandle in(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in) return L"";
  FileHandle out(CreateFileW(destination.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) return L"";

  LARGE_INTEGER size{};
  GetFileSizeEx(in.get(), &size);
  int64_t count = size.QuadPart;
  if (startOffset != -1) count = size.QuadPart - startOffset;
  if (maxCount != -1 && maxCount < count) count = maxCount;
  if (count < 0) count = 0;

  // Portions of 256 KiB: large enough that a fast disk copies near the system's own speed, small
  // enough that progress and Stop come several times a second even over a slow share.
  const int64_t bufferSize = count < kCopyPortion + 1 ? count : kCopyPortion;
  std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(bufferSize > 0 ? bufferSize : 1)]);
  if (startOffset != -1) {
    LARGE_INTEGER pos;
    pos.QuadPart = startOffset;
    SetFilePointerEx(in.get(), pos, nullptr, FILE_BEGIN);
  }
  // The window is kept alive between portions, but looking at its queue costs a round trip to
  // the window system: it is looked at every few milliseconds, not after every portion.
  DWORD lastPump = GetTickCount() - kCopyPumpMs;
  auto breathe = [&lastPump] {
    const DWORD now = GetTickCount();
    if (now - lastPump < kCopyPumpMs) return;
    lastPump = now;
    ProcessPendingMessages();
  };
  while (count > 0) {
    DWORD portion = static_cast<DWORD>(count < bufferSize ? count : bufferSize);
    DWORD got = 0;
    if (!ReadFile(in.get(), buffer.get(), portion, &got, nullptr) || got < portion)
      return Fmt(L"Нельзя прочитать очередную порцию данных из файла %s. Вероятно носитель поврежден.", source);
    if (onProgress) onProgress(sender, true, static_cast<int32_t>(portion));
    breathe();
    DWORD put = 0;
    if (!WriteFile(out.get(), buffer.get(), portion, &put, nullptr) || put < portion)
      return Fmt(L"Нельзя записать очередную порцию данных в файл %s", destination);
    if (onProgress) onProgress(sender, false, static_cast<int32_t>(portion));
    breathe();
    count -= portion;
    if (stopSource && stopSource->CopyStopped()) break;
  }
  return L"";
}

// ---- drives ----

int64_t FileSizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes, int64_t maxBytes) {
  bytes.clear();
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  char buf[16384];
  DWORD got = 0;
  for (;;) {
    if (!ReadFile(file.get(), buf, sizeof buf, &got, nullptr)) return false;
    if (got == 0) return true;
    if (maxBytes >= 0 && static_cast<int64_t>(bytes.size()) + got > maxBytes) {
      bytes.clear();
      SetLastError(ERROR_FILE_TOO_LARGE);
      return false;
    }
    bytes.append(buf, got);
  }
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD put = 0;
    if (!WriteFile(file.get(), bytes.data() + done, chunk, &put, nullptr) || put == 0) {
      const DWORD error = GetLastError();
      file.reset();
      DeleteFileW(path.c_str());
      SetLastError(error ? error : ERROR_WRITE_FAULT);
      return false;
    }
    done += put;
  }
  if (!FlushFileBuffers(file.get())) return false;
  return true;
}

int PathDriveType(const std::wstring& path) {
  if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') return DRIVE_REMOTE;
  std::wstring full = path;
  if (full.empty()) {
    wchar_t buf[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, buf);
    full.assign(buf, n < MAX_PATH ? n : 0);
  }
  if (full.size() >= 2 && full[1] == L':') return static_cast<int>(GetDriveTypeW(full.substr(0, 2).append(L"\\").c_str()));
  return static_cast<int>(GetDriveTypeW(nullptr));
}

DriveState ProbeDrive(wchar_t letter, uint32_t& windowsError) {
  HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  ErrorModeGuard quiet(SEM_FAILCRITICALERRORS);
  std::wstring pattern = std::wstring(1, letter) + L":\\*.*";
  WIN32_FIND_DATAW fd;
  FindHandle find(FindFirstFileW(pattern.c_str(), &fd));
  DWORD code = find ? 0 : GetLastError();
  windowsError = code;
  SetCursor(previous);
  switch (code) {
    case 0: windowsError = 0; return DriveState::dsReady;
    case ERROR_FILE_NOT_FOUND: windowsError = 0; return DriveState::dsEmpty;
    case ERROR_ACCESS_DENIED: return DriveState::dsAccessDenied;
    case ERROR_NOT_READY: return DriveState::dsNotReady;
    case ERROR_UNRECOGNIZED_VOLUME:
    case ERROR_UNRECOGNIZED_MEDIA: return DriveState::dsUnformatted;
    default: return DriveState::dsError;
  }
}

namespace {
using IdentitySource = std::function<bool(const std::wstring&, unsigned long&, unsigned long long&)>;
IdentitySource& DirIdentitySource() {
  static IdentitySource source;
  return source;
}
}  // namespace

void SetDirectoryIdentitySource(IdentitySource source) { DirIdentitySource() = std::move(source); }

bool DirectoryIdentity(const std::wstring& dir, unsigned long& volume, unsigned long long& index) {
  if (DirIdentitySource()) return DirIdentitySource()(dir, volume, index);
  FileHandle h(CreateFileW(dir.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!h || !GetFileInformationByHandle(h.get(), &info)) return false;
  volume = info.dwVolumeSerialNumber;
  index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool TVisitedDirs::FirstVisit(const std::wstring& dir) {
  unsigned long volume = 0;
  unsigned long long index = 0;
  if (!DirectoryIdentity(dir, volume, index) || index == 0) return true;
  return seen_.insert({volume, index}).second;
}

namespace {
std::function<double(wchar_t)>& FreeBytesSource() {
  static std::function<double(wchar_t)> source;
  return source;
}
}  // namespace

void SetDiskFreeBytesSource(std::function<double(wchar_t)> source) { FreeBytesSource() = std::move(source); }

double DiskFreeBytes(wchar_t letter) {
  if (FreeBytesSource()) return FreeBytesSource()(letter);
  std::wstring root = std::wstring(1, letter) + L":\\";
  DWORD sectorsPerCluster, bytesPerSector, freeClusters, totalClusters;
  if (!GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
    return -1;
  return static_cast<double>(sectorsPerCluster) * static_cast<double>(bytesPerSector) * static_cast<double>(freeClusters);
}

// ---- texts ----

std::wstring FormatDuration(int s) {
  if (s < 60) return Fmt(L"%d сек.", s);
  if (s < 3600) {
    if (s % 60 == 0) return Fmt(L"%d мин.", s / 60);
    return Fmt(L"%d мин. %d сек.", s / 60, s % 60);
  }
  return Fmt(L"%d ч. %d мин. %d сек.", s / 3600, (s % 3600) / 60, s % 60);
}

std::wstring FormatByteSize(int64_t n) {
  if (n < 1024) return std::to_wstring(n) + L" b";
  if (n < 1048576) return std::to_wstring(static_cast<long long>(RoundHalfUp(static_cast<double>(n) / 1024.0, 0))) + L" Kb";
  return FormatFixed(RoundHalfUp(static_cast<double>(n) / 1048576.0, 2), 2) + L" Mb";
}

namespace {
// The shortest general text of a real, as the program's number formatting gives it: up to 15
// significant digits, a point for the separator, and an exponent only for very large or small values.
std::string GeneralText(double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  return buf;
}
bool HasExponent(const std::string& s) { return s.find('E') != std::string::npos; }
}  // namespace

double RoundHalfUp(double value, int decimals) {
  std::string text = GeneralText(value);
  if (HasExponent(text)) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.18f", value);
    text = buf;
  }
  size_t sep = text.find('.');
  if (sep == std::string::npos) return value;
  size_t keepEnd = sep + 1 + static_cast<size_t>(decimals > 0 ? decimals : 0);  // one past the kept part
  if (decimals <= 0) keepEnd = sep;
  if (keepEnd >= text.size()) return value;
  bool roundUp = text[keepEnd == sep ? sep + 1 : keepEnd] >= '5';
  std::string kept = text.substr(0, keepEnd);
  if (roundUp) {
    bool carry = true;
    for (size_t i = kept.size(); carry && i-- > 0;) {
      char c = kept[i];
      if (c == '9') kept[i] = '0';
      else if (c >= '0' && c <= '8') {
        kept[i] = static_cast<char>(c + 1);
        carry = false;
      }
    }
    if (carry) {
      size_t at = (!kept.empty() && kept[0] == '-') ? 1 : 0;
      kept.insert(at, 1, '1');
    }
  }
  return std::strtod(kept.c_str(), nullptr);
}

int32_t RoundToInt(double value) {
  if (value > 2147483647.0) return 2147483647;
  double r = RoundHalfUp(value, 0);
  if (r < -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(r);
}

std::wstring PluralNoun(int count, const std::wstring& stem, const std::wstring& ending1,
                        const std::wstring& ending2, const std::wstring& ending5, bool withNumber) {
  int n = count < 0 ? -count : count;
  const std::wstring* ending;
  if (n % 100 >= 5 && n % 100 <= 20) ending = &ending5;
  else if (n % 10 == 1) ending = &ending1;
  else if (n % 10 >= 2 && n % 10 <= 4) ending = &ending2;
  else ending = &ending5;
  return (withNumber ? std::to_wstring(count) + L" " : std::wstring()) + stem + *ending;
}

std::wstring FormatShortDate(TDateTime date) {
  if (date == 0) return L"";
  DateTimeParts p = DecodeDateTime(date);
  std::wstring pattern;
  if (p.year >= 2000) {
    wchar_t buf[80];
    int n = GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_SSHORTDATE, buf, 80);
    pattern = n > 1 ? std::wstring(buf, static_cast<size_t>(n - 1)) : std::wstring(L"d/m/yy");
    std::wstring noYear;
    for (wchar_t c : pattern)
      if (c != L'y' && c != L'Y') noYear += c;
    pattern = Trim(noYear) + L"yy";
  } else {
    pattern = L"dd.mm.yy";
  }
  std::wstring text = FormatDateTime(pattern, date);
  std::wstring sep = DateSeparator();
  std::wstring out;
  for (wchar_t c : text) out += (c >= L'0' && c <= L'9') ? std::wstring(1, c) : sep;
  return out;
}

std::wstring ProgramVersionText() {
  TVersionInfo info(ExecutablePath());
  if (!info.Valid()) return L"";
  return TrimVersionText(info.ProductVersion());
}

std::wstring ProgramVersionDate() {
  TVersionInfo info(ExecutablePath());
  if (!info.Valid()) return L"";
  return FormatShortDate(info.FileDate());
}

std::wstring FloatToDotText(double value) {
  std::string text = GeneralText(value);
  if (HasExponent(text)) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "%.6f", value);
    text = buf;
  }
  // The text is made with a point already; the locale's separator never appears in it.
  return AnsiToWide(text);
}

std::wstring PadLeft(const std::wstring& text, size_t width, wchar_t fill) {
  if (text.size() >= width) return text;
  return std::wstring(width - text.size(), fill) + text;
}

std::wstring QuoteIfSpaces(const std::wstring& path) {
  if (path.empty() || path.find(L' ') == std::wstring::npos || path.front() == L'"' || path.back() == L'"')
    return path;
  return L"\"" + path + L"\"";
}

std::wstring OemToAnsiText(const std::string& oemText) {
  std::wstring wide = AnsiToWide(oemText, CP_OEMCP);
  if (wide.size() > 255) wide.resize(255);
  return wide;
}

std::vector<std::wstring> CommandLineArguments() {
  std::vector<std::wstring> args;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) return args;
  for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  return args;
}

int FindSwitch(const std::wstring& text, bool prefixMode) {
  std::vector<std::wstring> args = CommandLineArguments();
  std::wstring upperSwitch = UpperCaseText(text);
  for (size_t i = 1; i < args.size(); ++i) {
    if (prefixMode) {
      if (UpperCaseText(args[i]).compare(0, upperSwitch.size(), upperSwitch) == 0) return static_cast<int>(i);
    } else if (SameText(args[i], text)) {
      return static_cast<int>(i);
    }
  }
  return 0;
}

std::wstring TrimVersionText(const std::wstring& text) {
  std::wstring t = text;
  if (EndsWith(t, L".00")) t.resize(t.size() - 3);
  size_t i = 0;
  while (i < t.size() && t[i] == L'0') ++i;
  return t.substr(i);
}

bool ConsistsOf(const std::wstring& text, const std::wstring& charSet) {
  if (text.empty()) return false;
  for (wchar_t c : text)
    if (charSet.find(c) == std::wstring::npos) return false;
  return true;
}

int IndexOfText(const std::wstring& text, const std::vector<std::wstring>& list, bool prefixMode) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (SameText(text, list[i])) return static_cast<int>(i);
    if (prefixMode && StartsWithText(text, list[i])) return static_cast<int>(i);
  }
  return -1;
}

bool HasText(const std::wstring& text, const std::vector<std::wstring>& list, bool prefixMode) {
  return IndexOfText(text, list, prefixMode) >= 0;
}

void SplitText(const std::wstring& text, std::vector<std::wstring>& list, const std::wstring& delimiters, bool trim) {
  list.clear();
  std::wstring piece;
  for (wchar_t c : text) {
    if (delimiters.find(c) != std::wstring::npos) {
      list.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) list.push_back(piece);
  if (trim) {
    std::vector<std::wstring> kept;
    for (auto& item : list) {
      std::wstring t = Trim(item);
      if (!t.empty()) kept.push_back(t);
    }
    list.swap(kept);
  }
}

}  // namespace dorvex
