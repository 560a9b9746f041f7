#include "protocols/protocol.h"

#include <windows.h>

#include "common/initable.h"
#include "common/integrity.h"
#include "common/routines.h"
#include "common/text.h"
#include "protocols/disk.h"
#include "protocols/ftp.h"
#include "protocols/http.h"

namespace dorvex {

TDownloadProtocol::TDownloadProtocol(TProgram& owner) : Owner(owner) {}

TDownloadProtocol::~TDownloadProtocol() {
  StepList.clear();
  if (!Owner.TempDir.empty()) {
    DeleteFileW(LocalMapPath().c_str());
    DeleteFileW((LocalMapPath() + L".sig").c_str());
  }
}

bool TDownloadProtocol::VerifyUpgradeMap(AbortMethod& abortHandler) {
  const TSettings& s = Settings();
  Owner.MapSignature = MapSignatureState::NotChecked;
  const std::wstring mapName = ExtractFileName(LocalMapPath());
  if (Trim(s.MapPublicKey).empty() && !s.RequireSignedMaps) return true;
  auto refuse = [this](const std::wstring& text) {
    Owner.MapSignature = MapSignatureState::Refused;
    Owner.ReportMessage(this, text + L" Файлы программы не загружаются и не устанавливаются.");
    return false;
  };
  MapVerifier verifier;
  std::wstring keyError;
  if (!verifier.LoadKey(s.MapPublicKey, keyError))
    return refuse(Trim(s.MapPublicKey).empty()
                      ? L"Проверка подписи карт файлов обновлений обязательна (раздел [Security], ключ "
                        L"RequireSignedMaps), но открытый ключ (ключ MapPublicKey) не задан."
                      : keyError);

  // The signature is fetched quietly: its absence is only an error when signatures are required.
  const std::wstring localSig = LocalMapPath() + L".sig";
  DeleteFileW(localSig.c_str());
  std::wstring fetchError;
  MessageHandler saved = Owner.OnMessage;
  const std::wstring savedLastError = Owner.LastError;
  Owner.OnMessage = [&fetchError](void*, const std::wstring& text) { fetchError = text; };
  bool fetched = false;
  try {
    fetched = DownloadFile(abortHandler, MapFileName(RootDir) + L".sig", false, localSig);
  } catch (...) {
    Owner.OnMessage = saved;
    throw;
  }
  Owner.OnMessage = saved;
  Owner.LastError = savedLastError;
  if (Aborted) return false;
  std::string sig, map;
  if (!fetched || !FileExists(localSig)) {
    DeleteFileW(localSig.c_str());
    if (!s.RequireSignedMaps) {
      Owner.MapSignature = MapSignatureState::Unsigned;
      return true;
    }
    return refuse(Fmt(L"Карта файлов обновлений %s не подписана: файл подписи %s.sig не получен%s.", mapName, mapName,
                      fetchError.empty() ? std::wstring() : L" (" + fetchError + L")"));
  }
  bool read = ReadFileBytes(localSig, sig) && ReadFileBytes(LocalMapPath(), map);
  DeleteFileW(localSig.c_str());
  if (!read || !verifier.Verify(map, sig))
    return refuse(Fmt(L"Подпись карты файлов обновлений %s не подтверждена открытым ключом из настроек: карта "
                      L"изменена или подписана другим ключом.",
                      mapName));
  Owner.MapSignature = MapSignatureState::Verified;
  return true;
}

bool TDownloadProtocol::GetUpgradeMap(AbortMethod& abortHandler) {
  return DownloadFile(abortHandler, MapFileName(RootDir), false, MapFileName(Owner.TempDir));
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
// The map's Dir of a step, without one leading and one trailing separator, with the inner
// separators of the source's kind.
std::wstring NormaliseDir(std::wstring dir, bool slashes) {
  if (!dir.empty() && (dir.front() == L'/' || dir.front() == L'\\')) dir.erase(0, 1);
  if (!dir.empty() && (dir.back() == L'/' || dir.back() == L'\\')) dir.pop_back();
  for (auto& c : dir)
    if (c == L'/' || c == L'\\') c = slashes ? L'/' : L'\\';
  return dir;
}

std::wstring Key(const wchar_t* name, int i) { return name + std::to_wstring(i); }

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
    Owner.ReportMessage(this, Fmt(L"Карта файлов обновлений содержит недопустимое значение «%s» (раздел [%s], ключ %s): "
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
  TIniTable map;
  map.LoadFromFile(LocalMapPath());
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

      int64_t rSize = FileSizeOf(r);
      if (rSize >= 0 && size <= rSize && !hash.empty()) {
        // A repository file whole by size but not by its checksum is damaged or foreign: it is
        // neither kept nor continued, but fetched again.
        std::wstring digest, error;
        if (!FileSha256(r, digest, error) || !SameDigest(digest, hash)) {
          DeleteFileW(r.c_str());
          rSize = FileSizeOf(r);
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
        if (!DownloadFile(abortHandler, p, true, t)) return false;
        // Whatever the source says, a file shorter than the map's size is not whole (a cut
        // transfer, an error page, a source file that does not match its map): it stays in the
        // temporary directory to be continued and nothing is upgraded from it. A longer one is
        // accepted, as maps may lag behind their files.
        const int64_t got = FileSizeOf(t);
        if (size > 0 && got < size) {
          Owner.ReportMessage(this, Fmt(L"Файл %s загружен не полностью: получено %s байт из %s, указанных в карте "
                                        L"файлов обновлений. Файл не скопирован в хранилище обновлений, загрузка "
                                        L"будет продолжена при следующей попытке.",
                                        name, got < 0 ? 0LL : static_cast<long long>(got), static_cast<long long>(size)));
          return false;
        }
        if (!hash.empty()) {
          // A file that does not match its checksum cannot be continued either: it goes.
          std::wstring digest, error;
          if (!FileSha256(t, digest, error)) {
            Owner.ReportMessage(this, error);
            return false;
          }
          if (!SameDigest(digest, hash)) {
            DeleteFileW(t.c_str());
            Owner.ReportMessage(this, Fmt(L"Контрольная сумма загруженного файла %s не совпадает с указанной в карте "
                                          L"файлов обновлений. Файл удален и не скопирован в хранилище обновлений; он "
                                          L"будет загружен заново.",
                                          name));
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

ProtocolClassRef ProtocolClassFor(ProtocolKind kind) {
  switch (kind) {
    case ProtocolKind::Disk:
      return [](TProgram& owner) -> std::unique_ptr<TProgramProtocol> { return std::make_unique<TDiskProtocol>(owner); };
    case ProtocolKind::Http:
      return [](TProgram& owner) -> std::unique_ptr<TProgramProtocol> { return std::make_unique<THttpProtocol>(owner); };
    case ProtocolKind::Ftp:
      return [](TProgram& owner) -> std::unique_ptr<TProgramProtocol> { return std::make_unique<TFtpProtocol>(owner); };
  }
  return nullptr;
}

}  // namespace dorvex
