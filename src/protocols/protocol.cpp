#include "protocols/protocol.h"

#include <windows.h>

#include <algorithm>

#include "common/handles.h"
#include "common/initable.h"
#include "common/integrity.h"
#include "common/links.h"
#include "common/routines.h"
#include "common/text.h"
#include "protocols/disk.h"
#include "protocols/ftp.h"
#include "protocols/http.h"
#include "upgrade/chain.h"
#include "upgrade/mapcheck.h"

namespace dorvex {

TDownloadProtocol::TDownloadProtocol(TProgram& owner) : Owner(owner) {}

TDownloadProtocol::~TDownloadProtocol() {
  StepList.clear();
  if (!Owner.TempDir.empty()) {
    DeleteFileW(LocalMapPath().c_str());
    DeleteFileW((LocalMapPath() + L".sig").c_str());
  }
}

bool TDownloadProtocol::FetchWatched(AbortMethod& abortHandler, const std::wstring& remotePath,
                                     const std::wstring& localPath, int64_t limit, bool& stopped) {
  stopped = false;
  const AbortMethod previous = abortHandler;
  AbortScope watch(abortHandler, [&stopped, previous](void* sender) {
    stopped = true;
    if (previous) previous(sender);
  });
  // A hard or symbolic link left where the fetched file goes would be written through.
  std::wstring linkError;
  if (!ClearWritePath(ExtractFilePath(localPath), ExtractFileName(localPath), linkError)) {
    Owner.ReportMessage(this, linkError);
    return false;
  }
  FetchLimit = limit;
  FetchLimitHit = false;
  bool fetched = false;
  try {
    fetched = DownloadFile(abortHandler, remotePath, false, localPath);
  } catch (...) {
    FetchLimit = 0;
    throw;
  }
  FetchLimit = 0;
  if (stopped) Aborted = true;
  // A source that could not stop the transfer itself is held to the bound here.
  if (fetched && FileSizeOf(localPath) > limit) FetchLimitHit = true;
  if (FetchLimitHit) {
    DeleteFileW(localPath.c_str());
    return false;
  }
  return fetched && !stopped;
}

bool TDownloadProtocol::VerifyUpgradeMap(AbortMethod& abortHandler) {
  Owner.MapSignature = MapSignatureState::NotChecked;
  SignatureData.clear();
  const std::wstring mapName = ExtractFileName(LocalMapPath());
  // The map is read once, here; the chain and the downloads read these bytes, not the file.
  if (!LoadMapBytes()) return false;
  if (!MapChecksConfigured()) return true;
  auto judged = [this](const MapJudgement& j) {
    Owner.MapSignature = j.State;
    if (IsRefusedMap(j.State)) {
      Owner.ReportMessage(this, j.Refusal + L" Файлы программы не загружаются и не устанавливаются.");
      return false;
    }
    if (!j.Note.empty()) Owner.ReportMessage(this, std::wstring(1, kInformational) + j.Note);
    return true;
  };
  if (MapBuiltHere)
    return judged(JudgeMap(MapData, nullptr, mapName, Owner.ProgramID, Owner.IsEmergency(),
                           Fmt(L"карта составлена по содержимому сетевого каталога %s, а подписанной карты издателя "
                               L"(%s и %s.sig) в нем нет",
                               RootDir, mapName, mapName)));

  // The signature is fetched quietly: its absence is only an error when signatures are required.
  const std::wstring localSig = LocalMapPath() + L".sig";
  DeleteFileW(localSig.c_str());
  std::wstring fetchError;
  MessageHandler saved = Owner.OnMessage;
  const std::wstring savedLastError = Owner.LastError;
  Owner.OnMessage = [&fetchError](void*, const std::wstring& text) { fetchError = text; };
  bool fetched = false, stopped = false;
  try {
    fetched = FetchWatched(abortHandler, MapFileName(RootDir) + L".sig", localSig, kMaxSignatureBytes, stopped);
  } catch (...) {
    Owner.OnMessage = saved;
    throw;
  }
  Owner.OnMessage = saved;
  Owner.LastError = savedLastError;
  // Stop is Stop: a signature that did not arrive because the user stopped is not a missing one.
  if (stopped) {
    DeleteFileW(localSig.c_str());
    return false;
  }
  if (FetchLimitHit) {
    Owner.MapSignature = MapSignatureState::Refused;
    Owner.ReportMessage(this, Fmt(L"Файл подписи %s.sig больше допустимых %s байт и не принят. Файлы программы не "
                                  L"загружаются и не устанавливаются.",
                                  mapName, std::to_wstring(kMaxSignatureBytes)));
    return false;
  }
  std::string sig;
  const bool have = fetched && FileExists(localSig) && ReadFileBytes(localSig, sig);
  DeleteFileW(localSig.c_str());
  const MapJudgement j = JudgeMap(MapData, have ? &sig : nullptr, mapName, Owner.ProgramID, Owner.IsEmergency(),
                                  Fmt(L"файл подписи %s.sig не получен%s", mapName,
                                      fetchError.empty() ? std::wstring() : L" (" + fetchError + L")"));
  if (!judged(j)) return false;
  if (j.State == MapSignatureState::Verified) {
    SignatureData = sig;
    KeepVerifiedMap();
  }
  return true;
}

bool TDownloadProtocol::LoadMapBytes() {
  MapData.clear();
  const std::wstring path = LocalMapPath();
  const int64_t size = FileSizeOf(path);
  if (size > kMaxMapBytes) {
    Owner.ReportMessage(this, Fmt(L"Карта файлов обновлений %s больше допустимых %s байт и не принята.",
                                  ExtractFileName(path), std::to_wstring(kMaxMapBytes)));
    return false;
  }
  if (size < 0 || !ReadFileBytes(path, MapData, kMaxMapBytes)) {
    MapData.clear();
    Owner.ReportMessage(this, Fmt(L"Нельзя прочитать карту файлов обновлений %s. Ошибка Windows: «%s».", path,
                                  WindowsErrorText(GetLastError())));
    return false;
  }
  mapLoaded_ = true;
  return true;
}

TIniTable TDownloadProtocol::MapTable() {
  TIniTable table;
  if (mapLoaded_)
    table.LoadFromText(TIniTable::DecodeFileBytes(MapData));
  else
    table.LoadFromFile(LocalMapPath());  // a map that went through no check is read as it lies
  return table;
}

// The verified map and its signature stay in the repository beside the program's steps, so
// that a transfer set written from here carries the publisher's word for its files.
void TDownloadProtocol::KeepVerifiedMap() {
  const std::wstring dir = Settings().UpgradeFilesDir + Owner.ProgramID + L"\\";
  const std::wstring name = ExtractFileName(LocalMapPath());
  ForceDirectories(dir);
  for (const auto& [file, bytes] : {std::pair<std::wstring, const std::string*>{name, &MapData},
                                    std::pair<std::wstring, const std::string*>{name + L".sig", &SignatureData}}) {
    const std::wstring fresh = dir + file + L".new";
    if (WriteFileBytes(fresh, *bytes)) {
      if (!MoveFileExW(fresh.c_str(), (dir + file).c_str(), MOVEFILE_REPLACE_EXISTING)) DeleteFileW(fresh.c_str());
    }
  }
}

bool TDownloadProtocol::GetUpgradeMap(AbortMethod& abortHandler) {
  mapLoaded_ = false;
  MapData.clear();
  bool stopped = false;
  if (FetchWatched(abortHandler, MapFileName(RootDir), MapFileName(Owner.TempDir), kMaxMapBytes, stopped)) return true;
  if (FetchLimitHit)
    Owner.ReportMessage(this, Fmt(L"Карта файлов обновлений %s больше допустимых %s байт: ее загрузка прервана, карта "
                                  L"не принята.",
                                  ExtractFileName(LocalMapPath()), std::to_wstring(kMaxMapBytes)));
  return false;
}

std::wstring TDownloadProtocol::LimitText(int64_t reached) const {
  if (limitFromMap_)
    return Fmt(L"Файл больше, чем указано в карте файлов обновлений: в карте %s байт, а источник передает не меньше "
               L"%s байт. Загрузка файла прервана, он не используется",
               std::to_wstring(FetchLimit), std::to_wstring(reached));
  return Fmt(L"Файл больше допустимых %s байт, его загрузка прервана", std::to_wstring(FetchLimit));
}

void TDownloadProtocol::SetConnected(bool value) {
  if (Owner.OnConnectionState) Owner.OnConnectionState(this, value);
  Connected = value;
}

std::wstring TDownloadProtocol::MapFileName(const std::wstring& dir) const {
  return dir + Owner.ProgramID + (Owner.IsEmergency() ? L".emr" : L".nrm");
}

std::wstring TDownloadProtocol::StepFilePath(const std::wstring& dir, const std::wstring& fileName, int kind) const {
  static const wchar_t* const kSeparators[] = {L"\\", L"/"};
  if (kind == 0 && Owner.IsEmergency()) return L"repair\\" + dir + L"\\" + fileName;
  return dir + kSeparators[kind == 0 ? 0 : 1] + fileName;
}

void TDownloadProtocol::ReportSizeForDownload(int64_t size, bool valid) {
  if (OnSizeForDownload) OnSizeForDownload(this, size, valid);
}

void TDownloadProtocol::AbortHook(void*) {
  if (SavedAbortHandler) SavedAbortHandler(this);
  Aborted = true;
}

namespace {
// Deletes a file of the program's own (the repository, the temporary directory), read-only or
// not. True when it is gone or was never there.
bool DeleteOwnFile(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) return true;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileW(path.c_str())) return true;
    const DWORD error = GetLastError();
    SetFileAttributesW(path.c_str(), attributes);
    SetLastError(error);
  }
  return false;
}

// The map's Dir of a step, without one leading and one trailing separator, with the inner
// separators of the source's kind.
std::wstring NormaliseDir(std::wstring dir, bool slashes) {
  if (!dir.empty() && (dir.front() == L'/' || dir.front() == L'\\')) dir.erase(0, 1);
  if (!dir.empty() && (dir.back() == L'/' || dir.back() == L'\\')) dir.pop_back();
  for (auto& c : dir)
    if (c == L'/' || c == L'\\') c = slashes ? L'/' : L'\\';
  return dir;
}

std::wstring Key(const wchar_t* name, int i) {
  return name + std::to_wstring(i);
}

// The files of a step: its Count, but never past the highest "FileName%d" or "FileSize%d" the
// section holds, so that a Count of two thousand million costs nothing.
int FileCount(const TIniTable& map, const std::wstring& step) {
  const int count = map.ReadInteger(step, L"Count", 0);
  if (count <= 0) return 0;
  const TIniTable::Section* section = map.FindSection(step);
  if (!section) return 0;
  long long highest = 0;
  for (const auto& key : section->keys) {
    const std::wstring name = UpperCaseText(Trim(key.name));
    size_t digits = name.rfind(L"FILENAME", 0) == 0 ? 8 : name.rfind(L"FILESIZE", 0) == 0 ? 8 : 0;
    if (digits == 0 || digits == name.size()) continue;
    long long n = 0;
    for (size_t i = digits; i < name.size() && n <= count; ++i) {
      if (name[i] < L'0' || name[i] > L'9') {
        n = 0;
        break;
      }
      n = n * 10 + (name[i] - L'0');
    }
    if (n > highest) highest = n;
  }
  return static_cast<int>(highest < count ? highest : count);
}
}  // namespace

// A map comes from the source and may name anything. Every step name, Dir and file name it
// gives is checked before a byte is fetched, so that nothing is read or written outside the
// source root, the repository and the session's temporary directory.
bool TDownloadProtocol::CheckMapEntries(const TIniTable& map) {
  auto refuse = [this](const std::wstring& section, const std::wstring& key, const std::wstring& value) {
    Owner.ReportMessage(this,
                        Fmt(L"Карта файлов обновлений содержит недопустимое значение «%s» (раздел [%s], ключ %s): "
                            L"путь не должен указывать диск или корневой каталог и выходить за пределы каталога "
                            L"обновлений. Файлы программы не загружаются.",
                            value, section, key));
    return false;
  };
  for (const auto& step : StepList) {
    if (!IsSafeRelativePath(step)) return refuse(step, L"", step);
    std::wstring dir = NormaliseDir(map.ReadString(step, L"Dir", step), UsesSlashes());
    if (!dir.empty() && !IsSafeRelativePath(dir)) return refuse(step, L"Dir", map.ReadString(step, L"Dir", step));
    const int count = FileCount(map, step);
    for (int i = 1; i <= count; ++i) {
      std::wstring name = map.ReadString(step, Key(L"FileName", i), L"");
      if (!name.empty() && !IsSafeRelativePath(name)) return refuse(step, Key(L"FileName", i), name);
      const std::wstring hash = map.ReadString(step, Key(L"FileHash", i), L"");
      if (!hash.empty() && !IsSha256Text(hash)) {
        Owner.ReportMessage(this, Fmt(L"Карта файлов обновлений содержит недопустимое значение «%s» (раздел [%s], ключ "
                                      L"%s): контрольная сумма SHA-256 записывается 64 шестнадцатеричными цифрами. "
                                      L"Файлы программы не загружаются.",
                                      hash, step, Key(L"FileHash", i)));
        return false;
      }
    }
  }
  return true;
}

bool TDownloadProtocol::DownloadFiles(AbortMethod& abortHandler, const StageTextHandler& status) {
  auto say = [&](const std::wstring& text) {
    if (status) status(text);
  };
  Aborted = false;
  SavedAbortHandler = abortHandler;
  AbortScope chain(abortHandler, [this](void* sender) { AbortHook(sender); });

  // The map is read once; every key below is answered from memory.
  const TIniTable map = MapTable();
  say(L"Загрузка файлов обновлений: подготовка сведений о размере");
  int64_t total = 0;
  for (const auto& step : StepList) {
    const int count = FileCount(map, step);
    for (int i = 1; i <= count; ++i) total += map.ReadInteger(step, Key(L"FileSize", i), 0);
    if (Aborted) break;
  }
  ReportSizeForDownload(total, true);
  int64_t remaining = total;
  if (!CheckMapEntries(map)) return false;

  const std::wstring repository = Settings().UpgradeFilesDir + Owner.ProgramID + L"\\";
  const std::wstring temporary = Owner.TempDir + Owner.ProgramID + L"\\";
  for (const auto& step : StepList) {
    const std::wstring dir = NormaliseDir(map.ReadString(step, L"Dir", step), UsesSlashes());
    const int count = FileCount(map, step);
    for (int i = 1; i <= count; ++i) {
      const std::wstring name = map.ReadString(step, Key(L"FileName", i), L"");
      const int64_t size = map.ReadInteger(step, Key(L"FileSize", i), 0);
      const std::wstring hash = map.ReadString(step, Key(L"FileHash", i), L"");
      if (name.empty()) continue;
      say(Fmt(L"Загрузка файлов обновлений: файл %s", name));
      const std::wstring r = repository + StepFilePath(step, name, 0);
      const std::wstring t = temporary + StepFilePath(step, name, 0);
      const std::wstring p = RootDir + StepFilePath(dir, name, 1);
      // Neither copy is continued, checked or written through a link.
      std::wstring linkError;
      if (!ClearWritePath(Settings().UpgradeFilesDir, Owner.ProgramID + L"\\" + StepFilePath(step, name, 0),
                          linkError) ||
          !ClearWritePath(Owner.TempDir, Owner.ProgramID + L"\\" + StepFilePath(step, name, 0), linkError)) {
        Owner.ReportMessage(this, linkError + L" Файлы программы не загружаются.");
        return false;
      }

      int64_t rSize = FileSizeOf(r);
      if (rSize >= 0 && !hash.empty()) {
        // Under a checksum a repository copy is used only when it matches. One whole by size that
        // does not (or cannot be read) is damaged or foreign; a shorter one may be the start of an
        // older edition of the file, which continued would splice two editions. Either is fetched
        // whole, and one that cannot be deleted stops the program here: it is never used.
        std::wstring digest, error;
        if (size > rSize || !FileSha256(r, digest, error) || !SameDigest(digest, hash)) {
          if (!DeleteOwnFile(r)) {
            Owner.ReportMessage(this,
                                Fmt(L"Файл %s в хранилище обновлений не совпадает с картой файлов обновлений, и его "
                                    L"нельзя удалить. Ошибка Windows: «%s». Файл не используется, программа не "
                                    L"обновляется.",
                                    r, WindowsErrorText(GetLastError())));
            return false;
          }
          rSize = -1;
        }
      }
      if (rSize >= 0 && size <= rSize) {
        remaining -= rSize;
        ReportSizeForDownload(remaining, true);
      } else {
        ForceDirectories(ExtractFilePath(r));
        if (rSize >= 0 && FileSizeOf(t) < rSize) {
          // The longer partial copy is the one continued.
          ForceDirectories(ExtractFilePath(t));
          CopyFileW(r.c_str(), t.c_str(), FALSE);
          DeleteFileW(PartialValidatorPath(t).c_str());  // the server's validator was of the other copy
        }
        if (!CanResume()) DeleteFileW(t.c_str());
        // A partial copy already as long as the map says is not continued past its end: it is
        // fetched anew.
        if (size > 0 && FileSizeOf(t) >= size) DeleteFileW(t.c_str());
        const int64_t tSize = FileSizeOf(t);
        if (tSize >= 0) {
          say(Fmt(L"Загрузка файлов обновлений: файл %s загружен частично", name) + L"\r" +
              Fmt(L"[требуется загрузить еще %s]", FormatByteSize(size - tSize)));
          remaining -= tSize;
          ReportSizeForDownload(remaining, true);
        } else {
          say(Fmt(L"Загрузка файлов обновлений: файл %s загружается целиком", name) + L"\r" +
              Fmt(L"[%s]", FormatByteSize(size)));
        }
        // The transfer ends as soon as the file passes its size in the map: a source that sends
        // more (without end) never fills the disk with what the checksum would refuse anyway.
        FetchLimit = size > 0 ? size : 0;
        FetchLimitHit = false;
        limitFromMap_ = true;
        // A SHA-256 in the map judges the whole file, so its partial copy may be continued
        // without the server's validator.
        JudgedByChecksum = IsSha256Text(hash);
        bool fetched = false;
        try {
          fetched = DownloadFile(abortHandler, p, true, t);
        } catch (...) {
          FetchLimit = 0;
          limitFromMap_ = false;
          JudgedByChecksum = false;
          throw;
        }
        FetchLimit = 0;
        limitFromMap_ = false;
        JudgedByChecksum = false;
        const int64_t got = FileSizeOf(t);
        if (FetchLimitHit || (fetched && size > 0 && got > size)) {
          // What passed the bound is never continued: it goes, and the next attempt starts anew.
          DeleteOwnFile(t);
          DeleteFileW(PartialValidatorPath(t).c_str());
          if (fetched)
            Owner.ReportMessage(this, Fmt(L"Файл %s больше, чем указано в карте файлов обновлений: в карте %s байт, а "
                                          L"получено %s байт. Файл не используется.",
                                          name, std::to_wstring(size), std::to_wstring(got)));
          return false;
        }
        if (!fetched) return false;
        // Whatever the source says, a file shorter than the map's size is not whole (a cut
        // transfer, an error page, a source file that does not match its map): it stays in the
        // temporary directory to be continued and nothing is upgraded from it.
        if (size > 0 && got < size) {
          Owner.ReportMessage(this,
                              Fmt(L"Файл %s загружен не полностью: получено %s байт из %s, указанных в карте "
                                  L"файлов обновлений. Файл не скопирован в хранилище обновлений, загрузка "
                                  L"будет продолжена при следующей попытке.",
                                  name, got < 0 ? 0LL : static_cast<long long>(got), static_cast<long long>(size)));
          return false;
        }
        if (!hash.empty()) {
          // A file that does not match its checksum, or whose checksum cannot be computed, cannot
          // be continued either: it goes, and so does any repository copy, so that the next
          // attempt fetches the file whole.
          std::wstring digest, error;
          const bool computed = FileSha256(t, digest, error);
          if (!computed || !SameDigest(digest, hash)) {
            const bool gone = DeleteOwnFile(t) && DeleteOwnFile(r);
            const DWORD deleteError = gone ? 0 : GetLastError();
            std::wstring text =
                computed ? Fmt(L"Контрольная сумма загруженного файла %s не совпадает с указанной в карте файлов "
                               L"обновлений. Файл не скопирован в хранилище обновлений",
                               name)
                         : error + Fmt(L" Файл %s не скопирован в хранилище обновлений", name);
            text += gone ? std::wstring(L"; он удален и будет загружен заново.")
                         : Fmt(L", но его нельзя удалить. Ошибка Windows: «%s».", WindowsErrorText(deleteError));
            Owner.ReportMessage(this, text);
            return false;
          }
        }
        say(Fmt(L"Загрузка файлов обновлений: файл %s загружен целиком, сейчас копируется в хранилище", name));
        // The finished file is moved into the repository: on the same volume a rename, which
        // costs nothing however large the file; across volumes a copy after which the temporary
        // file goes. When the move fails the temporary file stays as it was.
        if (!MoveFileExW(t.c_str(), r.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
          // The temporary file is the only copy of what was fetched: it stays for the next try.
          DWORD error = GetLastError();
          Owner.ReportMessage(this, Fmt(L"Нельзя скопировать загруженный файл %s в хранилище обновлений (%s). Ошибка "
                                        L"Windows: «%s». Загруженный файл сохранен во временном каталоге.",
                                        t, r, WindowsErrorText(error)));
          return false;
        }
      }
      if (Aborted) return false;
    }
  }
  say(L"Загрузка файлов обновлений: файлы обновлений программы загружены");
  return true;
}

bool TDownloadProtocol::RemoveUnlistedFiles(const std::wstring& step) {
  const TIniTable map = MapTable();
  struct Listed {
    std::wstring Name;
    int64_t Size;
    std::wstring Hash;
  };
  std::vector<Listed> files;
  std::vector<std::wstring> listed;
  const int count = FileCount(map, step);
  for (int i = 1; i <= count; ++i) {
    std::wstring name = map.ReadString(step, Key(L"FileName", i), L"");
    for (auto& c : name)
      if (c == L'/') c = L'\\';
    if (name.empty()) continue;
    listed.push_back(UpperCaseText(name));
    files.push_back(
        {name, map.ReadInteger(step, Key(L"FileSize", i), 0), map.ReadString(step, Key(L"FileHash", i), L"")});
  }
  std::sort(listed.begin(), listed.end());
  const std::wstring relativeDir = Owner.ProgramID + L"\\" + StepFilePath(step, L"", 0);
  const std::wstring dir = Settings().UpgradeFilesDir + relativeDir;
  const std::wstring refused = Fmt(L" Обновление до версии %s не проводится.", StepToText(step));
  // A step directory (or the program's) that leads elsewhere is neither emptied nor run from.
  const std::wstring link = LinkOnPath(Settings().UpgradeFilesDir, relativeDir);
  if (!link.empty()) {
    Owner.ReportMessage(this, LinkRefusal(link) + refused);
    return false;
  }
  // The repository is the program's own: what the map does not name has no business beside
  // the step's upgrade executable.
  std::vector<std::wstring> pending{L""};
  while (!pending.empty()) {
    const std::wstring relative = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW fd;
    FindHandle find(FindFirstFileW((dir + relative + L"*").c_str(), &fd));
    if (!find) continue;
    do {
      const std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring inner = relative + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A link is not followed: it is removed as an entry of its own when the map does not name it.
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
          pending.push_back(inner + L"\\");
          continue;
        }
        if (RemoveDirectoryW((dir + inner).c_str())) continue;
      } else if (std::binary_search(listed.begin(), listed.end(), UpperCaseText(inner))) {
        continue;
      } else if (DeleteOwnFile(dir + inner)) {
        Owner.ReportMessage(this,
                            std::wstring(1, kInformational) +
                                Fmt(L"Файл %s не указан в проверенной карте файлов обновлений и удален из хранилища "
                                    L"обновлений перед обновлением до версии %s.",
                                    dir + inner, StepToText(step)));
        continue;
      }
      Owner.ReportMessage(this,
                          Fmt(L"Файл %s не указан в проверенной карте файлов обновлений, и его нельзя удалить из "
                              L"хранилища обновлений. Ошибка Windows: «%s». Обновление до версии %s не проводится.",
                              dir + inner, WindowsErrorText(GetLastError()), StepToText(step)));
      return false;
    } while (FindNextFileW(find.get(), &fd));
  }
  // Whatever brought a file here (a download, a transfer set, an earlier edition, a hand), the
  // step runs only with every file the map names, each as the map gives it.
  for (const auto& f : files) {
    const std::wstring path = dir + f.Name;
    const std::wstring through = LinkOnPath(dir, f.Name);
    if (!through.empty()) {
      Owner.ReportMessage(this, Fmt(L"%s является ссылкой на другое место (жесткой или символической): программа не "
                                    L"выполняет обновление с файлами, доступными через ссылки.",
                                    through) +
                                    refused);
      return false;
    }
    const int64_t size = FileSizeOf(path);
    if (size < 0) {
      Owner.ReportMessage(
          this,
          Fmt(L"Файл %s, указанный в проверенной карте файлов обновлений, отсутствует в хранилище обновлений.", path) +
              refused);
      return false;
    }
    std::wstring digest, error;
    const bool same = f.Hash.empty() ? size >= f.Size
                                     : size == f.Size && FileSha256(path, digest, error) && SameDigest(digest, f.Hash);
    if (!same) {
      Owner.ReportMessage(this,
                          Fmt(L"Файл %s в хранилище обновлений не совпадает с проверенной картой файлов обновлений "
                              L"по размеру или контрольной сумме SHA-256%s.",
                              path, error.empty() ? std::wstring() : L" (" + error + L")") +
                              refused);
      return false;
    }
  }
  return true;
}

ProtocolClassRef ProtocolClassFor(ProtocolKind kind) {
  switch (kind) {
    case ProtocolKind::Disk:
      return
          [](TProgram& owner) -> std::unique_ptr<TProgramProtocol> { return std::make_unique<TDiskProtocol>(owner); };
    case ProtocolKind::Http:
      return
          [](TProgram& owner) -> std::unique_ptr<TProgramProtocol> { return std::make_unique<THttpProtocol>(owner); };
    case ProtocolKind::Ftp:
      return [](TProgram& owner) -> std::unique_ptr<TProgramProtocol> { return std::make_unique<TFtpProtocol>(owner); };
  }
  return nullptr;
}

}  // namespace dorvex
