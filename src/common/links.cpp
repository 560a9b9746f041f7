#include "common/links.h"

#include <windows.h>

#include <vector>

#include "common/handles.h"
#include "common/routines.h"
#include "common/text.h"

namespace dorvex {

namespace {
LinkProbe& Probe() {
  static LinkProbe probe;
  return probe;
}

bool SystemSaysLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  // The entry itself is opened, not what a link would lead to, and without any right to its
  // contents, so that a file held open by another process is still judged.
  FileHandle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) return false;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1;
}
}  // namespace

void SetLinkProbeForTests(LinkProbe probe) {
  Probe() = std::move(probe);
}

bool IsLinkEntry(const std::wstring& path) {
  const std::wstring bare = ExcludeTrailingBackslash(path);
  if (Probe() && Probe()(bare)) return true;
  return SystemSaysLink(bare);
}

std::wstring LinkOnPath(const std::wstring& root, const std::wstring& relative) {
  std::vector<std::wstring> parts;
  SplitText(relative, parts, L"\\", false);
  std::wstring path = IncludeTrailingBackslash(root);
  for (size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty()) continue;
    path += parts[i];
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && !(Probe() && Probe()(path))) return L"";
    if (IsLinkEntry(path)) return path;
    path += L"\\";
  }
  return L"";
}

std::wstring LinkRefusal(const std::wstring& path) {
  return Fmt(
      L"Каталог %s является ссылкой (точкой соединения или символической ссылкой) на другое место: программа "
      L"не удаляет, не записывает и не открывает файлы через ссылки в хранилище обновлений и во временном "
      L"каталоге.",
      ExcludeTrailingBackslash(path));
}

bool ClearWritePath(const std::wstring& root, const std::wstring& relative, std::wstring& message) {
  const std::wstring link = LinkOnPath(root, relative);
  if (link.empty()) return true;
  const DWORD attributes = GetFileAttributesW(link.c_str());
  const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (!folder &&
      ExcludeTrailingBackslash(link) == ExcludeTrailingBackslash(IncludeTrailingBackslash(root) + relative)) {
    // The file's own name goes; the file it shares its contents with stays as it was.
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(link.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(link.c_str()) && GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    message =
        Fmt(L"Файл %s является ссылкой на другой файл (жесткой или символической), и его нельзя удалить. Ошибка "
            L"Windows: «%s». Программа не записывает файлы через ссылки.",
            link, WindowsErrorText(GetLastError()));
    return false;
  }
  message = LinkRefusal(link);
  return false;
}

}  // namespace dorvex
