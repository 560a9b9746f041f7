#include "upgrade/mapcheck.h"

#include <windows.h>

#include "common/clock.h"
#include "common/integrity.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/datalayout.h"
#include "settings/options.h"

namespace dorvex {

namespace {
const wchar_t kSection[] = L"MapInfo";

bool AllDigits(const std::wstring& s) {
  if (s.empty()) return false;
  for (wchar_t c : s)
    if (c < L'0' || c > L'9') return false;
  return true;
}

// Decimal digits without sign, at most what 64 bits hold.
bool ParseSerial(const std::wstring& text, uint64_t& value) {
  if (!AllDigits(text) || text.size() > 20) return false;
  uint64_t v = 0;
  for (wchar_t c : text) {
    const uint64_t d = static_cast<uint64_t>(c - L'0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  value = v;
  return true;
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// "yyyy-mm-dd" of a real day.
bool ParseDate(const std::wstring& text, int& y, int& m, int& d) {
  if (text.size() != 10 || text[4] != L'-' || text[7] != L'-') return false;
  const std::wstring ys = text.substr(0, 4), ms = text.substr(5, 2), ds = text.substr(8, 2);
  if (!AllDigits(ys) || !AllDigits(ms) || !AllDigits(ds)) return false;
  y = std::stoi(ys);
  m = std::stoi(ms);
  d = std::stoi(ds);
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1) return false;
  return d <= kDays[m - 1] + (m == 2 && IsLeap(y) ? 1 : 0);
}

std::wstring DateText(int y, int m, int d) {
  return PadLeft(std::to_wstring(y), 4, L'0') + L"-" + PadLeft(std::to_wstring(m), 2, L'0') + L"-" +
         PadLeft(std::to_wstring(d), 2, L'0');
}
}  // namespace

const wchar_t* MapKindName(bool emergency) {
  return emergency ? L"Emergency" : L"Normal";
}

bool ReadMapInfo(const TIniTable& map, TMapInfo& info, std::wstring& reason) {
  info = TMapInfo{};
  if (!map.FindSection(kSection)) {
    reason = L"в ней нет раздела [MapInfo], который называет программу, вид карты, номер выпуска и срок действия";
    return false;
  }
  auto bad = [&](const wchar_t* key, const std::wstring& value, const wchar_t* expected) {
    reason = Fmt(L"в разделе [MapInfo] недопустимое значение «%s» ключа %s (%s)", value, key, expected);
    return false;
  };
  info.ProgramID = map.ReadString(kSection, L"ProgramID", L"");
  info.Kind = map.ReadString(kSection, L"Kind", L"");
  info.SerialText = map.ReadString(kSection, L"Serial", L"");
  info.ExpiresText = map.ReadString(kSection, L"Expires", L"");
  if (info.ProgramID.empty()) return bad(L"ProgramID", info.ProgramID, L"нужен идентификатор программы");
  if (!SameText(info.Kind, L"Normal") && !SameText(info.Kind, L"Emergency"))
    return bad(L"Kind", info.Kind, L"нужно Normal или Emergency");
  if (!ParseSerial(info.SerialText, info.Serial)) return bad(L"Serial", info.SerialText, L"нужно десятичное число");
  if (!ParseDate(info.ExpiresText, info.ExpiresYear, info.ExpiresMonth, info.ExpiresDay))
    return bad(L"Expires", info.ExpiresText, L"нужна дата в виде гггг-мм-дд");
  return true;
}

std::wstring CheckMapInfo(const TMapInfo& info, const std::wstring& mapName, const std::wstring& programID,
                          bool emergency, int year, int month, int day, uint64_t acceptedSerial) {
  if (!SameText(info.ProgramID, programID))
    return Fmt(
        L"Карта файлов обновлений %s выпущена для другой программы: в разделе [MapInfo] указано ProgramID=%s, "
        L"а ожидалось %s.",
        mapName, info.ProgramID, programID);
  const std::wstring kind = MapKindName(emergency);
  if (!SameText(info.Kind, kind))
    return Fmt(
        L"Карта файлов обновлений %s выпущена как карта другого вида: в разделе [MapInfo] указано Kind=%s, а "
        L"ожидалось %s.",
        mapName, info.Kind, kind);
  const long long today = (static_cast<long long>(year) * 100 + month) * 100 + day;
  const long long last = (static_cast<long long>(info.ExpiresYear) * 100 + info.ExpiresMonth) * 100 + info.ExpiresDay;
  if (today > last)
    return Fmt(
        L"Срок действия карты файлов обновлений %s истек: она действительна по %s (ключ Expires раздела "
        L"[MapInfo]), а на часах компьютера %s. Если дата на компьютере неверна, исправьте ее.",
        mapName, info.ExpiresText, DateText(year, month, day));
  if (info.Serial < acceptedSerial)
    return Fmt(
        L"Карта файлов обновлений %s старее уже принятой на этом компьютере: ее номер выпуска (Serial) %s, а "
        L"принят был номер %s. Источник отдает устаревшую карту.",
        mapName, info.SerialText, std::to_wstring(acceptedSerial));
  return L"";
}

std::wstring SerialStatePath() {
  return DataLocation().state;
}

std::wstring SerialStateCopyPath() {
  return ChangeFileExt(SerialStatePath(), L".floor");
}

namespace {
const wchar_t kSerials[] = L"AcceptedSerials";

// One file of the floor: false with the reason when it exists but cannot be read or is not what
// this program writes (every file it writes has the section, whatever maps it names).
bool LoadFloorFile(const std::wstring& path, TIniTable& state, std::wstring& damage) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    damage = Fmt(L"файл %s нельзя прочитать. Ошибка Windows: «%s»", path, WindowsErrorText(error));
    return false;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    damage = Fmt(L"на месте файла %s находится каталог", path);
    return false;
  }
  std::string bytes;
  if (!ReadFileBytes(path, bytes, 1 << 20)) {
    damage = Fmt(L"файл %s нельзя прочитать. Ошибка Windows: «%s»", path, WindowsErrorText(GetLastError()));
    return false;
  }
  state.LoadFromText(TIniTable::DecodeFileBytes(bytes));
  if (!state.FindSection(kSerials)) {
    damage = Fmt(L"файл %s пуст или поврежден: в нем нет раздела [%s]", path, kSerials);
    return false;
  }
  return true;
}

// The serial a loaded file keeps for a map: false with the reason when it is not a number.
bool FloorOf(const TIniTable& state, const std::wstring& path, const std::wstring& mapName, bool& known,
             uint64_t& serial, std::wstring& damage) {
  known = false;
  serial = 0;
  if (!state.ValueExists(kSerials, mapName)) return true;
  const std::wstring text = Trim(state.ReadString(kSerials, mapName, L""));
  if (!ParseSerial(text, serial)) {
    damage = Fmt(L"в файле %s номер выпуска карты %s записан неверно («%s»)", path, mapName, text);
    return false;
  }
  known = true;
  return true;
}

bool WriteFloorFile(const std::wstring& path, const std::wstring& mapName, uint64_t serial, std::wstring& failure) {
  TIniTable state;
  bool known = false;
  uint64_t had = 0;
  if (!LoadFloorFile(path, state, failure) || !FloorOf(state, path, mapName, known, had, failure)) return false;
  if (known && had >= serial) return true;
  state.WriteString(kSerials, mapName, std::to_wstring(serial));
  // The new state is written whole beside the old one, then put in its place in one rename.
  const std::wstring fresh = path + L".new";
  unsigned long error = 0;
  if (!state.SaveToFile(fresh, &error)) {
    DeleteFileW(fresh.c_str());
    failure = Fmt(L"файл %s нельзя записать. Ошибка Windows: «%s»", fresh, WindowsErrorText(error));
    return false;
  }
  {
    HANDLE h = CreateFileW(fresh.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      FlushFileBuffers(h);
      CloseHandle(h);
    }
  }
  if (!MoveFileExW(fresh.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD moveError = GetLastError();
    DeleteFileW(fresh.c_str());
    failure = Fmt(L"файл %s нельзя заменить. Ошибка Windows: «%s»", path, WindowsErrorText(moveError));
    return false;
  }
  return true;
}
}  // namespace

AcceptedSerialFloor ReadAcceptedSerial(const std::wstring& mapName) {
  AcceptedSerialFloor floor;
  for (const std::wstring& path : {SerialStatePath(), SerialStateCopyPath()}) {
    TIniTable state;
    bool known = false;
    uint64_t serial = 0;
    if (!LoadFloorFile(path, state, floor.Damage) || !FloorOf(state, path, mapName, known, serial, floor.Damage)) {
      floor.Known = false;
      floor.Serial = 0;
      return floor;
    }
    if (known && serial > floor.Serial) floor.Serial = serial;
    floor.Known = floor.Known || known;
  }
  return floor;
}

bool RecordAcceptedSerial(const std::wstring& mapName, uint64_t serial, std::wstring* failure) {
  std::wstring why;
  for (const std::wstring& path : {SerialStatePath(), SerialStateCopyPath()})
    if (!WriteFloorFile(path, mapName, serial, why)) {
      if (failure) *failure = why;
      return false;
    }
  return true;
}

bool MapKeyConfigured() {
  return !Trim(Settings().MapPublicKey).empty();
}
bool MapChecksConfigured() {
  return MapKeyConfigured() || Settings().RequireSignedMaps;
}

MapJudgement JudgeMap(const std::string& map, const std::string* signature, const std::wstring& mapName,
                      const std::wstring& programID, bool emergency, const std::wstring& missingDetail) {
  const TSettings& s = Settings();
  MapJudgement j;
  if (!MapChecksConfigured()) return j;
  auto refuse = [&](MapSignatureState state, const std::wstring& text) {
    j.State = state;
    j.Refusal = text;
    return j;
  };
  MapVerifier verifier;
  std::wstring keyError;
  if (!verifier.LoadKey(s.MapPublicKey, keyError))
    return refuse(
        MapSignatureState::KeyFault,
        L"Ошибка в настройках. " +
            (MapKeyConfigured() ? keyError
                                : L"Проверка подписи карт файлов обновлений обязательна (раздел [Security], ключ "
                                  L"RequireSignedMaps), но открытый ключ (ключ MapPublicKey) не задан."));
  const AcceptedSerialFloor floor = ReadAcceptedSerial(mapName);
  auto floorDamaged = [&] {
    const bool first = floor.Damage.find(SerialStatePath()) != std::wstring::npos;
    return refuse(MapSignatureState::FloorFailed,
                  Fmt(L"Карта файлов обновлений %s не принята: нельзя узнать, какой номер выпуска этой карты уже принят "
                      L"на этом компьютере, потому что %s. Восстановите файл или удалите его (номера выпуска хранятся "
                      L"также в файле %s).",
                      mapName, floor.Damage, first ? SerialStateCopyPath() : SerialStatePath()));
  };
  if (!signature) {
    if (!s.RequireSignedMaps) {
      // Once the publisher's signature was accepted for this map, a map without it is a downgrade.
      if (!floor.Damage.empty()) return floorDamaged();
      if (floor.Known)
        return refuse(MapSignatureState::Refused,
                      Fmt(L"Карта файлов обновлений %s не подписана (%s), а подписанная карта с этим именем уже была "
                          L"принята на этом компьютере (номер выпуска %s): неподписанная карта не принимается.",
                          mapName, missingDetail, std::to_wstring(floor.Serial)));
      j.State = MapSignatureState::Unsigned;
      return j;
    }
    return refuse(MapSignatureState::Refused,
                  Fmt(L"Карта файлов обновлений %s не подписана: %s.", mapName, missingDetail));
  }
  if (!verifier.Verify(map, *signature))
    return refuse(MapSignatureState::Refused,
                  Fmt(L"Подпись карты файлов обновлений %s не подтверждена открытым ключом из настроек: карта изменена "
                      L"или подписана другим ключом.",
                      mapName));
  TIniTable table;
  table.LoadFromText(TIniTable::DecodeFileBytes(map));
  TMapInfo info;
  std::wstring reason;
  if (!ReadMapInfo(table, info, reason))
    return refuse(MapSignatureState::Mismatched,
                  Fmt(L"Подписанная карта файлов обновлений %s не принята: %s.", mapName, reason));
  if (!floor.Damage.empty()) return floorDamaged();
  const DateTimeParts today = DecodeDateTime(Now());
  reason = CheckMapInfo(info, mapName, programID, emergency, today.year, today.month, today.day, floor.Serial);
  if (!reason.empty()) return refuse(MapSignatureState::Mismatched, reason);
  // A serial that cannot be kept would let an older map through next time: the map is refused.
  std::wstring failure;
  if (!RecordAcceptedSerial(mapName, info.Serial, &failure))
    return refuse(MapSignatureState::FloorFailed,
                  Fmt(L"Номер выпуска %s карты файлов обновлений %s нельзя сохранить: %s. Карта не принята, потому что "
                      L"без сохраненного номера выпуска следующий сеанс принял бы и более старую карту.",
                      info.SerialText, mapName, failure));
  j.State = MapSignatureState::Verified;
  if (!floor.Known)
    j.Note = Fmt(L"Карта файлов обновлений %s: номер выпуска %s принят впервые (на этом компьютере номер выпуска "
                 L"этой карты еще не был записан).",
                 mapName, info.SerialText);
  return j;
}

}  // namespace dorvex
