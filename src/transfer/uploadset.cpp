#include "transfer/uploadset.h"

#include <algorithm>

#include "common/clock.h"
#include "common/handles.h"
#include "common/inifile.h"
#include "common/integrity.h"
#include "common/routines.h"
#include "common/text.h"
#include "common/versions.h"
#include "settings/options.h"
#include "transfer/floppy.h"
#include "ui/dialogs.h"

namespace dorvex {

namespace {
constexpr int64_t kSector = 512;

void Pause1ms() {
  ::Sleep(1);
}

bool IsReservedName(const std::wstring& bare) {
  std::wstring u = UpperCaseText(bare);
  return u == L"FILES.INF" || u == L"EACH.ID" ||
         (u.size() >= 7 && u.compare(0, 4, L"DISK") == 0 && EndsWith(u, L".ID"));
}

// The number after "disk" in "disk%d.id"; 0 when it is not a number.
int DiskNumberOf(const std::wstring& name) {
  std::wstring middle = name.size() > 7 ? name.substr(4, name.size() - 7) : L"";
  int32_t n = 0;
  return ConsistsOf(middle, L"0123456789") && TryParseInt(middle, n) ? n : 0;
}
}  // namespace

std::wstring NewSessionID() {
  Pause1ms();
  DateTimeParts t = DecodeDateTime(Now());
  std::wstring text = PadLeft(std::to_wstring(t.year), 4, L'0');
  for (int v : {t.month, t.day, t.hour, t.minute, t.second}) text += PadLeft(std::to_wstring(v), 2, L'0');
  while (text.size() < 19) {
    uint32_t low = TickCount() & 0xFFFF;
    text += std::to_wstring(((low & 0xFF) << 8) | (low >> 8));
    Pause1ms();
  }
  return text.substr(0, 19);
}

void AddFileEntry(const std::wstring& id, const std::wstring& header, const std::wstring& path) {
  TIniFile ini(header);
  ini.WriteString(L"PackageInfo", L"SessionID", id);
  int32_t n = ini.ReadInteger(L"PackageInfo", L"FileCount", 0) + 1;
  ini.WriteInteger(L"PackageInfo", L"FileCount", n);
  const std::wstring& root = Settings().UpgradeFilesDir;
  const std::wstring section = Fmt(L"File%d", n);
  ini.WriteString(section, L"FileName", path.size() > root.size() ? path.substr(root.size()) : path);
  ini.WriteInteger(section, L"FileSize", FileSizeOf(path));
  // The reader checks the joined pieces against the checksum of the file as it left the repository.
  std::wstring digest, error;
  if (FileSha256(path, digest, error)) ini.WriteString(section, L"FileHash", digest);
}

int64_t RoundUpTo(int64_t n, int64_t unit) {
  if (unit == 0) return n;
  if (n < unit) return unit;
  if (n % unit == 0) return n;
  return (n / unit + 1) * unit;
}

std::wstring CheckSetNames(const std::vector<std::wstring>& paths) {
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::wstring bare = ExtractFileName(paths[i]);
    if (IsReservedName(bare))
      return Fmt(
          L"Файл %s нельзя выгрузить на дискеты: имя «%s» занято служебным файлом комплекта. Снимите выбор с "
          L"этого обновления.",
          paths[i], bare);
    for (size_t j = 0; j < i; ++j)
      if (SameText(ExtractFileName(paths[j]), bare))
        return Fmt(
            L"Файлы %s и %s записываются на дискеты под одним именем «%s» и затрут друг друга. Снимите выбор "
            L"с одного из этих обновлений.",
            paths[j], paths[i], bare);
  }
  return L"";
}

std::vector<std::wstring> WithProgramMaps(const std::vector<std::wstring>& paths) {
  std::vector<std::wstring> out = paths;
  const std::wstring root = IncludeTrailingBackslash(Settings().UpgradeFilesDir);
  for (const auto& path : paths) {
    if (path.size() <= root.size() || !StartsWithText(path, root)) continue;
    std::vector<std::wstring> parts;
    SplitText(path.substr(root.size()), parts, L"\\", false);
    if (parts.size() < 3) continue;
    const bool emergency = parts.size() > 3 && SameText(parts[1], L"repair");
    const std::wstring map = root + parts[0] + L"\\" + parts[0] + (emergency ? L".emr" : L".nrm");
    for (const std::wstring& f : {map, map + L".sig"})
      if (FileExists(f) && std::none_of(out.begin(), out.end(), [&](const std::wstring& o) { return SameText(o, f); }))
        out.push_back(f);
  }
  return out;
}

std::vector<std::wstring> WithAgentUpgrade(const std::vector<std::wstring>& paths) {
  std::vector<std::wstring> out = paths;
  const std::wstring dir = IncludeTrailingBackslash(Settings().UpgradeFilesDir) + kAgentProgramID + L"\\";
  const std::wstring map = dir + kAgentProgramID + L".nrm";
  if (!FileExists(map) || !FileExists(map + L".sig")) return out;
  AgentVersion best;
  std::wstring step;
  WIN32_FIND_DATAW fd;
  FindHandle find(FindFirstFileW((dir + L"*").c_str(), &fd));
  if (find) {
    do {
      AgentVersion v;
      const std::wstring name = fd.cFileName;
      if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
          ParseAgentVersion(name, v) && v.Compare(best) > 0 && FileExists(dir + name + L"\\" + kAgentExeName)) {
        best = v;
        step = name;
      }
    } while (FindNextFileW(find.get(), &fd));
  }
  if (step.empty()) return out;
  for (const std::wstring& f : {dir + step + L"\\" + kAgentExeName, map, map + L".sig"})
    if (std::none_of(out.begin(), out.end(), [&](const std::wstring& o) { return SameText(o, f); })) out.push_back(f);
  return out;
}

void TUploadSet::Prepare(const std::vector<std::wstring>& chosen, const std::wstring& stagingDir) {
  Files.clear();
  TotalSize = 0;
  const std::vector<std::wstring> paths = WithAgentUpgrade(WithProgramMaps(chosen));
  for (const auto& p : paths) {
    int32_t size = FileSizeOf(p);
    if (size == -1) continue;
    Files.push_back({p, size});
    TotalSize += size;
  }
  StagingDir = IncludeTrailingBackslash(stagingDir);
  ClearDirectory(StagingDir, false);
  ForceDirectories(StagingDir);
  SessionID = NewSessionID();
  const std::wstring header = StagingDir + L"files.inf";
  for (const auto& f : Files) AddFileEntry(SessionID, header, f.Path);
  TIniFile(StagingDir + L"each.id").WriteString(L"DiskInfo", L"SessionID", SessionID);
  TIniFile(header).Flush();
  TIniFile(StagingDir + L"each.id").Flush();

  int64_t headerSize = std::max<int32_t>(FileSizeOf(header), 0);
  int64_t bytes = RoundUpTo(headerSize, kSector);
  for (const auto& f : Files) bytes += RoundUpTo(f.Size, kSector);
  EstimatedDisks = static_cast<int>(bytes / kFloppyCapacity) + 1;
  ResetPosition();
}

void TUploadSet::ResetPosition() {
  DisksWritten = 0;
  FileIndex = 0;
  Offset = 0;
}

bool TUploadSet::WriteDisk(HWND owner, const std::wstring& drive, bool format, const OperationHandler& operationIn,
                           const PercentHandler& percent) {
  auto operation = [&](const std::wstring& t) {
    if (operationIn) operationIn(t);
  };
  auto fail = [&](const std::wstring& text) {
    operation(L"-");
    ui::ShowError(owner, text);
    return false;
  };
  ErrorModeGuard quiet(SEM_FAILCRITICALERRORS);
  operation(L"получение сведений о дискете");
  if (percent) percent(0);

  uint32_t error = 0;
  DriveState state = ProbeFloppy(drive[0], error);
  switch (state) {
    case DriveState::dsNotReady:
      return fail(
          L"Дискета не обнаружена в дисководе. Проверьте наличие дискеты в приводе. Дверца привода должна "
          L"быть закрыта.");
    case DriveState::dsAccessDenied:
      return fail(L"Дисковод занят другим процессом. Дождитесь завершения текущей операции и повторите попытку.");
    case DriveState::dsError:
      return fail(Fmt(L"Нельзя получить сведения о дискете. Код ошибки: %d [%s]", static_cast<unsigned long>(error),
                      WindowsErrorText(error)));
    default: break;
  }

  if (state == DriveState::dsReady) {
    WIN32_FIND_DATAW fd;
    FindHandle find(FindFirstFileW((drive + L"disk*.id").c_str(), &fd));
    if (find) {
      do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        std::wstring name = fd.cFileName;
        if (TIniFile(drive + name).ReadString(L"DiskInfo", L"SessionID", L"") == SessionID &&
            DiskNumberOf(name) <= DisksWritten)
          return fail(
              L"Внимание ! Эта дискета уже используется для выгружаемого комплекта обновлений ! Замените ее и "
              L"повторите операцию.");
      } while (FindNextFileW(find.get(), &fd));
    }
  }

  if (format || state == DriveState::dsUnformatted) {
    operation(state == DriveState::dsUnformatted ? L"Дискета не читается! Пробуем отформатировать..."
                                                 : L"форматирование дискеты");
    int result = FormatFloppy(owner, static_cast<unsigned>(UpperCaseText(drive.substr(0, 1))[0] - L'A'));
    std::wstring windowsText = WindowsErrorText(GetLastError());
    if (result == -3)
      return fail(
          Fmt(L"Форматирование дискеты не выполнено. Ошибка Windows: %s. Если ошибка повторяется, попробуйте "
              L"заменить дискету",
              windowsText));
    if (result == -2) {
      operation(L"-");
      return false;
    }
    if (result == -1)
      return fail(
          Fmt(L"Ошибка при форматировании дискеты. Ошибка Windows: %s. Если ошибка повторяется, попробуйте "
              L"заменить дискету.",
              windowsText));
  } else if (state == DriveState::dsReady) {
    operation(L"очистка дискеты");
    std::wstring message = ClearDirectory(drive, true);
    if (!message.empty()) return fail(message);
  }

  // A disk that would take not one sector of the set is refused before anything is written on
  // it: counted as written, it would carry an empty piece or nothing at all.
  const double freeAtStart = DiskFreeBytes(drive[0]);
  if (freeAtStart < 0)
    return fail(
        L"Не удалось определить свободное место на дискете. Замените её на другую или попробуйте "
        L"отформатировать.");
  if (freeAtStart < kSector)
    return fail(
        L"На дискете нет места даже для одного сектора (512 байт). Замените её на другую или попробуйте "
        L"отформатировать.");
  const double base = std::max(1, RoundToInt(freeAtStart));
  int64_t counter = 0;
  CopyProgressEvent progress = [&](void*, bool read, int32_t count) {
    if (read) return;
    counter += count;
    if (percent) percent(RoundToInt(static_cast<double>(counter) / base * 100));
  };
  // The copy routine says nothing when it cannot open or create a file: a copy counts only
  // when the destination is there with every byte it should have. "created" tells a disk that
  // would take no further entry from one that failed while writing.
  auto copyChecked = [&](const std::wstring& source, const std::wstring& target, int64_t maxCount, int64_t offset,
                         int64_t expected, bool* created = nullptr) -> std::wstring {
    {
      FileHandle probe(CreateFloppyFile(target));
      if (!probe) return WindowsErrorText(GetLastError());
    }
    if (created) *created = true;
    std::wstring message = CopyFileInPortions(nullptr, source, target, static_cast<int32_t>(maxCount),
                                              static_cast<int32_t>(offset), progress);
    DWORD code = GetLastError();
    if (!message.empty()) return message;
    if (FileSizeOf(target) != expected) return WindowsErrorText(code ? code : ERROR_WRITE_FAULT);
    return L"";
  };

  const size_t startIndex = FileIndex;
  const int64_t startOffset = Offset;
  auto restore = [&] {
    FileIndex = startIndex;
    Offset = startOffset;
  };

  if (DisksWritten == 0) {
    operation(L"создание заголовка первой дискеты");
    const std::wstring header = StagingDir + L"files.inf";
    std::wstring message = copyChecked(header, drive + L"files.inf", -1, -1, FileSizeOf(header));
    if (!message.empty())
      return fail(
          Fmt(L"Не удалось создать заголовок первой дискеты. Ошибка при создании: %s. Вероятно, часть дискеты "
              L"испорчена. Попробуйте заменить её на другую. ",
              message));
  }
  const int diskNo = DisksWritten + 1;
  operation(Fmt(L"создание идентификатора дискеты № %d", diskNo));
  {
    const std::wstring each = StagingDir + L"each.id";
    std::wstring message = copyChecked(each, drive + Fmt(L"disk%d.id", diskNo), -1, -1, FileSizeOf(each));
    if (!message.empty())
      return fail(
          Fmt(L"Не удалось создать идентификатор дискеты. Ошибка при создании: %s. Вероятно, часть дискеты "
              L"испорчена. Попробуйте заменить её на другую. ",
              message));
  }

  int pieces = 0;  // pieces of files on this disk
  auto noRoom = [&] {
    restore();
    return fail(
        L"На дискете не осталось места для файлов комплекта после служебных файлов. Замените её на другую или "
        L"попробуйте отформатировать.");
  };
  while (FileIndex < Files.size()) {
    const File& f = Files[FileIndex];
    // A file that changed since the header was written would not match it on the other side.
    int32_t now = FileSizeOf(f.Path);
    if (now != f.Size) {
      restore();
      return fail(Fmt(
          L"Файл %s изменился после подготовки комплекта (размер был %s байт, стал %s). Запись комплекта "
          L"невозможна: вернитесь на страницу «Выбор» и подготовьте комплект заново.",
          f.Path, FormatGrouped(f.Size), now < 0 ? std::wstring(L"файл недоступен") : FormatGrouped(now) + L" байт"));
    }
    double free = DiskFreeBytes(drive[0]);
    int64_t limit = free < 0 ? 0 : static_cast<int64_t>(RoundToInt(free)) / kSector * kSector;
    // A full disk ends here, never with an empty piece on it.
    if (limit == 0) {
      if (pieces == 0) return noRoom();
      break;
    }
    const std::wstring bare = ExtractFileName(f.Path);
    operation(Fmt(L"копирование файла %s на дискету № %d", bare, diskNo));
    const int64_t remaining = f.Size - Offset;
    const int64_t expected = std::min(limit, remaining);
    bool created = false;
    std::wstring message = copyChecked(f.Path, drive + bare, limit, Offset, expected, &created);
    // A root directory that takes no further entry (224 at most on a 1.44 MB disk, fewer with
    // long names) ends the disk as a full one does: the next disk goes on with this file.
    if (!message.empty() && !created && pieces > 0) break;
    if (!message.empty()) {
      restore();
      return fail(
          Fmt(L"Ошибка при копировании: '%s'. Вероятно, часть дискеты испорчена: замените её на другую или "
              L"попробуйте отформатировать.",
              message));
    }
    ++pieces;
    int64_t piece = FileSizeOf(drive + bare);
    if (piece == remaining) {
      ++FileIndex;
      Offset = 0;
    } else {
      Offset += piece;
      break;
    }
  }
  // The estimate reckoned with sizes only: a disk ended by its full root needs one more after it.
  if (FileIndex < Files.size() && EstimatedDisks <= DisksWritten + 1) EstimatedDisks = DisksWritten + 2;
  operation(L"формирование дискеты завершено");
  ++DisksWritten;
  return true;
}

}  // namespace dorvex
