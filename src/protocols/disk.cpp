#include "protocols/disk.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "common/handles.h"
#include "common/initable.h"
#include "common/text.h"
#include "upgrade/chain.h"
#include "upgrade/mapcheck.h"

namespace dorvex {

TDiskProtocol::TDiskProtocol(TProgram& owner) : TDownloadProtocol(owner) {
  RootDir = Settings().DiskRootDir;
  if (!RootDir.empty()) RootDir = IncludeTrailingBackslash(RootDir);
  // The copy reports each portion twice, read (counted as sent) and written (received).
  if (owner.OnTraffic) CopyProgress = owner.OnTraffic;
}

bool TDiskProtocol::CheckServer() {
  if (DirectoryExists(RootDir)) return true;
  Owner.ReportMessage(this, Fmt(L"Недопустимое имя ресурса (%s). Ресурс не существует или недоступен.", RootDir));
  return false;
}

bool TDiskProtocol::ShareMapMode() const {
  if (Settings().ConnectionType != 2) return false;
  const std::wstring& root = Settings().DiskRootDir;
  if (root.size() >= 2 && root[0] == L'\\' && root[1] == L'\\') return true;
  return PathDriveType(root) == DRIVE_REMOTE;
}

bool TDiskProtocol::GetUpgradeMap(AbortMethod& abortHandler) {
  MapBuiltHere = false;
  if (ShareMapMode()) {
    // With a key the publisher's signed map is preferred when the share holds it: a map built
    // here can never carry the publisher's signature.
    const std::wstring published = MapFileName(RootDir);
    if (!(MapKeyConfigured() && FileExists(published) && FileExists(published + L".sig"))) {
      MapBuiltHere = true;
      MapData.clear();
      return BuildMapFromTree();
    }
  }
  return TDownloadProtocol::GetUpgradeMap(abortHandler);
}

bool TDiskProtocol::DownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, bool,
                                 const std::wstring& localPath) {
  ForceDirectories(ExtractFilePath(localPath));
  DiskSavedAbortHandler = abortHandler;
  AbortScope chain(abortHandler, [this](void* sender) {
    if (DiskSavedAbortHandler) DiskSavedAbortHandler(sender);
    copyStopped_ = true;
  });
  copyStopped_ = false;
  if (FileExists(localPath)) DeleteFileW(localPath.c_str());
  auto tooLarge = [&](int64_t size) {
    FetchLimitHit = true;
    DeleteFileW(localPath.c_str());
    Owner.ReportMessage(this, Fmt(L"C файлового ресурса нельзя загрузить файл %s. %s.", remotePath, LimitText(size)));
    return false;
  };
  if (FetchLimit > 0 && FileSizeOf(remotePath) > FetchLimit) return tooLarge(FileSizeOf(remotePath));

  // The copy never goes past the bound, even when the file grows while it is copied.
  const int32_t most = FetchLimit > 0 && FetchLimit < INT32_MAX ? static_cast<int32_t>(FetchLimit + 1) : -1;
  std::wstring error = CopyFileInPortions(this, remotePath, localPath, most, -1, CopyProgress, this);
  if (copyStopped_) {
    // A stopped copy is an unfinished file, never a fetched one; the stop itself is told by the session.
    DeleteFileW(localPath.c_str());
    return false;
  }
  // The copy routine stays silent when it cannot open either file: a missing or short
  // destination is a failed copy all the same.
  const int64_t sourceSize = FileSizeOf(remotePath);
  if (FetchLimit > 0 && (sourceSize > FetchLimit || FileSizeOf(localPath) > FetchLimit))
    return tooLarge(std::max(sourceSize, FileSizeOf(localPath)));
  if (!error.empty() || sourceSize < 0 || FileSizeOf(localPath) != sourceSize) {
    Owner.ReportMessage(this, Fmt(L"C файлового ресурса нельзя загрузить файл %s", remotePath));
    return false;
  }
  return true;
}

namespace {
struct Entry {
  std::wstring name;
  int64_t size;
};

// A name the ANSI code page cannot hold would reach the map as "?" or a look-alike letter and
// name a file that is not there.
bool FitsAnsi(const std::wstring& name) {
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.data(), static_cast<int>(name.size()), nullptr, 0,
                              nullptr, &usedDefault);
  return n > 0 && !usedDefault;
}

std::vector<Entry> ListDirectory(const std::wstring& dir, bool directories) {
  std::vector<Entry> out;
  WIN32_FIND_DATAW fd;
  FindHandle find(FindFirstFileW((dir + L"*.*").c_str(), &fd));
  if (!find) return out;
  do {
    std::wstring name = fd.cFileName;
    if (name == L"." || name == L"..") continue;
    bool isDir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDir != directories) continue;
    out.push_back(Entry{name, static_cast<int64_t>((static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow)});
  } while (FindNextFileW(find.get(), &fd));
  std::stable_sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return WordSortLess(a.name, b.name); });
  return out;
}
}  // namespace

bool TDiskProtocol::BuildMapFromTree() {
  std::wstring base = Owner.ProgramID + L"\\";
  if (DirectoryExists(RootDir + base + L"Upgrade\\")) base += L"Upgrade\\";
  if (Owner.IsEmergency()) base += L"repair\\";
  if (!DirectoryExists(RootDir + base)) {
    Owner.ReportMessage(
        this, Fmt(L"В каталоге (%s) с обновлениями не найдена папка с обновлениями (%s).", RootDir, base));
    return false;
  }
  std::vector<Entry> versions;
  for (auto& e : ListDirectory(RootDir + base, true))
    if (ConsistsOf(e.name, L"0123456789-")) versions.push_back(e);
  if (versions.empty()) return false;

  // The map is built in memory and written in one go, over nothing left from an earlier build.
  const std::wstring mapPath = LocalMapPath();
  ForceDirectories(ExtractFilePath(mapPath));
  DeleteFileW(mapPath.c_str());
  TIniTable map;
  for (auto v = versions.rbegin(); v != versions.rend(); ++v) {
    const std::wstring d = base + v->name + L"\\";
    std::vector<Entry> files;
    for (auto& f : ListDirectory(RootDir + d, false)) {
      if (SameText(f.name, L"whats.new")) continue;
      if (!FitsAnsi(f.name)) {
        Owner.ReportMessage(this, Fmt(L"Имя файла «%s» в каталоге обновлений (%s) содержит знаки, которые нельзя записать "
                                      L"в карту файлов обновлений. Файл пропущен.",
                                      f.name, RootDir + d));
        continue;
      }
      files.push_back(f);
    }
    if (files.empty()) continue;
    map.WriteString(v->name, L"Dir", d);
    map.WriteInteger(v->name, L"Count", static_cast<int64_t>(files.size()));
    for (size_t j = 0; j < files.size(); ++j) {
      map.WriteString(v->name, L"FileName" + std::to_wstring(j + 1), files[j].name);
      map.WriteInteger(v->name, L"FileSize" + std::to_wstring(j + 1), files[j].size);
    }
  }
  unsigned long error = 0;
  if (!map.SaveToFile(mapPath, &error)) {
    Owner.ReportMessage(this, Fmt(L"Нельзя записать карту файлов обновлений (%s). Ошибка Windows: «%s».", mapPath,
                                  WindowsErrorText(error)));
    return false;
  }
  return true;
}

}  // namespace dorvex
