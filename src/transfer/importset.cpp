#include "transfer/importset.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "common/handles.h"
#include "common/inifile.h"
#include "common/initable.h"
#include "common/integrity.h"
#include "common/links.h"
#include "common/pump.h"
#include "common/routines.h"
#include "common/text.h"
#include "common/versions.h"
#include "protocols/protocol.h"
#include "settings/options.h"
#include "transfer/floppy.h"
#include "ui/dialogs.h"
#include "upgrade/chain.h"
#include "upgrade/mapcheck.h"

namespace dorvex {

namespace {
constexpr DWORD kPortion = 61440;
constexpr int64_t kTempReserve = 65535;
// The header travels on the first disk beside its identifier, and every entry takes at least
// three lines ("[FileN]", "FileName=...", "FileSize=..."), some thirty bytes: no genuine set
// names more files than this, nor has a header larger than a disk.
constexpr int32_t kMaxSetFiles = static_cast<int32_t>(kFloppyCapacity / 32);
// Stop and the window answer while a long header is checked.
constexpr int kEntriesPerPump = 256;
const wchar_t kIncompleteSet[] = L"Не удалось полностью скопировать комплект переноса файлов обновлений";

HWND Owner() {
  return ApplicationWindow();
}

void Inform(const std::wstring& text) {
  ui::ShowMessageBox(Owner(), text, ui::ApplicationTitle(), MB_OK | MB_ICONINFORMATION);
}

std::wstring LastErrorText() {
  return WindowsErrorText(GetLastError());
}

bool IsDeviceName(const std::wstring& part) {
  std::wstring base = UpperCaseText(part.substr(0, part.find(L'.')));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  static const wchar_t* kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"};
  for (const wchar_t* d : kDevices)
    if (base == d) return true;
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) && base[3] >= L'0' &&
      base[3] <= L'9')
    return true;
  return false;
}

struct Entry {
  std::wstring Name;  // relative to the repository, without a leading backslash
  size_t Order = 0;   // its place in the header, which is its place on the disks
  int32_t Size = 0;
  std::wstring Hash;  // SHA-256 as the writer saw the file; empty for sets that carry none
};

// The files a set brings for one program and one kind of map, and where among the kept
// entries that map and its signature are (-1: the set has none).
struct MapGroup {
  TProgram* Program = nullptr;
  bool Emergency = false;
  std::wstring MapName;
  int Map = -1, Signature = -1;
};

// True when the entry belongs to this group's program and kind of map (the map and signature
// aside); step and file are then its step and bare name, or empty when it lies anywhere but
// directly in a step's directory.
bool InGroup(const MapGroup& g, const std::wstring& name, std::wstring& step, std::wstring& file) {
  std::vector<std::wstring> parts;
  SplitText(name, parts, L"\\", false);
  if (parts.empty() || !SameText(parts[0], g.Program->ProgramID)) return false;
  if (g.Emergency != (parts.size() > 2 && SameText(parts[1], L"repair"))) return false;
  if (SameText(name, parts[0] + L"\\" + g.MapName) || SameText(name, parts[0] + L"\\" + g.MapName + L".sig"))
    return false;
  const size_t stepAt = g.Emergency ? 2 : 1;
  step.clear();
  file.clear();
  if (parts.size() == stepAt + 2) {
    step = parts[stepAt];
    file = parts[stepAt + 1];
  }
  return true;
}

// With checks configured, the set's map of each program must be signed by the settings' key and
// name the program, its kind, a current date and serial; every step file of the set must be
// listed by it with the same size and checksum. Nothing is placed otherwise.
bool JudgeSetMaps(std::vector<MapGroup>& groups, const std::vector<Entry>& kept, const std::wstring& tempDir,
                  std::wstring& message) {
  if (!MapChecksConfigured()) return true;
  const std::wstring tail = L" Файлы комплекта не помещены в хранилище обновлений.";
  for (auto& g : groups) {
    TProgram& p = *g.Program;
    std::string map, sig;
    const bool haveMap = g.Map >= 0 && ReadFileBytes(tempDir + kept[g.Map].Name, map, kMaxMapBytes);
    const bool haveSig = g.Signature >= 0 && ReadFileBytes(tempDir + kept[g.Signature].Name, sig, kMaxSignatureBytes);
    if (!haveMap) {
      if (Settings().RequireSignedMaps) {
        p.MapSignature = MapSignatureState::Refused;
        message =
            Fmt(L"Комплект переноса не содержит подписанной карты файлов обновлений %s программы «%s», а проверка "
                L"подписи карт обязательна (раздел [Security], ключ RequireSignedMaps).",
                g.MapName, p.Title) +
            tail;
        return false;
      }
      // Once the publisher's signature was accepted for this map, a set without it is a downgrade.
      const AcceptedSerialFloor floor = ReadAcceptedSerial(g.MapName);
      if (floor.Known || !floor.Damage.empty()) {
        p.MapSignature = floor.Known ? MapSignatureState::Refused : MapSignatureState::FloorFailed;
        message = Fmt(L"Комплект переноса не содержит подписанной карты файлов обновлений %s программы «%s», а %s.",
                      g.MapName, p.Title,
                      floor.Known ? L"подписанная карта с этим именем уже была принята на этом компьютере (номер "
                                    L"выпуска " +
                                        std::to_wstring(floor.Serial) + L")"
                                  : L"нельзя узнать, принималась ли подписанная карта с этим именем: " + floor.Damage) +
                  tail;
        return false;
      }
      p.MapSignature = MapSignatureState::Unsigned;
      continue;
    }
    const MapJudgement j = JudgeMap(map, haveSig ? &sig : nullptr, g.MapName, p.ProgramID, g.Emergency,
                                    Fmt(L"в комплекте переноса нет файла подписи %s.sig", g.MapName));
    p.MapSignature = j.State;
    if (IsRefusedMap(j.State)) {
      message = Fmt(L"Программа %s: %s", p.Title, j.Refusal) + tail;
      return false;
    }
    if (j.State != MapSignatureState::Verified) continue;
    TIniTable table;
    table.LoadFromText(TIniTable::DecodeFileBytes(map));
    for (const auto& e : kept) {
      std::wstring step, file;
      if (!InGroup(g, e.Name, step, file)) continue;
      bool listed = false;
      const int count = step.empty() ? 0 : table.ReadInteger(step, L"Count", 0);
      for (int i = 1; i <= count && i <= 100000 && !listed; ++i) {
        if (!SameText(table.ReadString(step, Fmt(L"FileName%d", i), L""), file)) continue;
        const std::wstring hash = table.ReadString(step, Fmt(L"FileHash%d", i), L"");
        std::wstring digest, error;
        listed = table.ReadString(step, Fmt(L"FileSize%d", i), L"") == std::to_wstring(FileSizeOf(tempDir + e.Name)) &&
                 IsSha256Text(hash) && FileSha256(tempDir + e.Name, digest, error) && SameDigest(digest, hash);
        if (!listed) break;
      }
      if (!listed) {
        p.MapSignature = MapSignatureState::Mismatched;
        message =
            Fmt(L"Файл %s комплекта переноса не указан в подписанной карте файлов обновлений %s или не совпадает с "
                L"ней по размеру и контрольной сумме.",
                e.Name, g.MapName) +
            tail;
        return false;
      }
    }
    if (auto* proto = dynamic_cast<TDownloadProtocol*>(p.Protocol.get()))
      proto->AdoptMap(std::move(map), std::move(sig));
  }
  return true;
}

TDownloadProtocol* ProtocolOf(TProgram& p) {
  return dynamic_cast<TDownloadProtocol*>(p.Protocol.get());
}

bool StepOrder(const std::wstring& a, const std::wstring& b) {
  VersionStep x = ParseStepName(a), y = ParseStepName(b);
  if (x.To != y.To) return x.To < y.To;
  return x.From < y.From;
}
}  // namespace

std::wstring SafeSetEntryName(const std::wstring& raw) {
  std::wstring name = raw;
  if (!name.empty() && name[0] == L'\\') name.erase(0, 1);
  if (name.find(L'/') != std::wstring::npos || !IsSafeRelativePath(name)) return L"";
  std::vector<std::wstring> parts;
  SplitText(name, parts, L"\\", false);
  if (parts.empty() || name.back() == L'\\') return L"";
  for (const auto& p : parts)
    if (p.empty() || Trim(p) == L"." || IsDeviceName(p)) return L"";
  return name;
}

bool WaitForDisk(int diskNo, const std::wstring& drive, std::wstring& message) {
  for (;;) {
    uint32_t error = 0;
    HCURSOR saved = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    DriveState state = ProbeFloppy(drive.empty() ? L'A' : drive[0], error);
    SetCursor(saved);
    if (state == DriveState::dsReady) return true;
    switch (state) {
      case DriveState::dsEmpty:
        message =
            Fmt(L"Дискета в дисководе (%s) пуста. Вставьте дискету #%d из комплекта переноса файлов обновлений "
                L"и повторите попытку.",
                drive, diskNo);
        break;
      case DriveState::dsAccessDenied:
        message = Fmt(L"Дисковод (%s) занят другим процессом. Подождите, пока дисквод освободится и повторите попытку.",
                      drive);
        break;
      case DriveState::dsNotReady:
        message =
            Fmt(L"Дисковод (%s) не готов к обслуживанию. Проверьте наличие дискеты #%d в дисководе и убедитесь, "
                L"что дверца привода закрыта.",
                drive, diskNo);
        break;
      case DriveState::dsUnformatted:
        message =
            Fmt(L"Дискета в дисководе (%s) не отформатирована. Если Вы уверены, это дискета #%d из комплекта "
                L"переноса, то вероятно, что дискета испорчена (не читается).",
                drive, diskNo);
        break;
      default:
        message = Fmt(L"Дисковод (%s) недоступен. Программа не может получить доступ к дисководу. Ошибка Windows: %s",
                      drive, WindowsErrorText(error));
        break;
    }
    if (!ui::AskYesNo(Owner(), Fmt(L"%s. Повторить запрос к дисководу ?", message))) return false;
    message.clear();
  }
}

bool CheckDiskIdentity(int diskNo, const std::wstring& drive, const std::wstring& id, std::wstring& message) {
  for (;;) {
    bool foreign = false;
    {
      ErrorModeGuard quiet(SEM_FAILCRITICALERRORS);
      std::wstring path = Fmt(L"%sdisk%d.id", drive, diskNo);
      if (FileExists(path)) {
        if (TIniFile(path).ReadString(L"DiskInfo", L"SessionID", L"") == id) return true;
        foreign = true;
      }
    }
    if (!ui::AskYesNo(Owner(),
                      Fmt(L"Дискета в дисководе %s не является дискетой #%d загружаемого комплекта обновлений. "
                          L"Вставьте дискету #%d в дисковод. Повторить попытку чтения ?",
                          drive, diskNo, diskNo))) {
      message = Fmt(foreign ? L"Загрузка комплекта обновлений прервана, т.к. дискета #%d не была предоставлена."
                            : L"Загрузка комплекта обновлений прервана, т.к. дискета #%d не была доступна.",
                    diskNo);
      return false;
    }
  }
}

namespace {
// One import as it goes through its stages: what the header says, what of it is kept, and the
// window's handlers.
struct SetImport {
  TProgramList* Programs = nullptr;
  const ImportHandlers* Handlers = nullptr;
  const bool* Cancelled = nullptr;
  std::wstring Drive, TempDir, Id;
  std::vector<Entry> Entries;  // the header's files
  std::vector<Entry> Kept;     // those the delivery list still needs, then their maps and signatures
  std::vector<TProgram*> Touched;
  std::vector<MapGroup> Groups;
  int64_t Total = 0;

  void Stage(const std::wstring& t) const {
    if (Handlers->Stage) Handlers->Stage(t);
  }
  // A file of the agent's own folder, when the agent takes its upgrades from sets and is not
  // itself on the delivery list.
  bool IsAgentEntry(const Entry& e) const {
    return Handlers->AgentNeeds && StartsWithText(e.Name, std::wstring(kAgentProgramID) + L"\\") &&
           !Programs->FindByID(kAgentProgramID);
  }
  void ProgramLine(const std::wstring& t) const {
    if (Handlers->ProgramLine) Handlers->ProgramLine(t);
  }
  // The header's complaint about the disk in the drive.
  std::wstring Damaged(const std::wstring& what) const {
    return Fmt(L"На дискете в дисководе %s недопустимые данные в заголовочном файле (%s). Вероятно дискета испорчена.",
               Drive, what);
  }
  std::wstring Refused(const std::wstring& what) const {
    return Fmt(
        L"На дискете в дисководе %s недопустимые данные в заголовочном файле (%s). Комплект не может быть "
        L"загружен.",
        Drive, what);
  }
};

// One [FileN] section of the header, checked: false with the message when it cannot be used.
bool ReadSetEntry(const SetImport& run, const TIniTable& ini, int i, Entry& e, std::wstring& message) {
  const std::wstring section = Fmt(L"File%d", i);
  const std::wstring raw = ini.ReadString(section, L"FileName", L"");
  if (raw.empty()) {
    message = run.Damaged(Fmt(L"не указано имя файла номер %d", i));
    return false;
  }
  e.Name = SafeSetEntryName(raw);
  if (e.Name.empty()) {
    message = run.Refused(Fmt(L"недопустимое имя файла номер %d: «%s»", i, raw));
    return false;
  }
  e.Size = ini.ReadInteger(section, L"FileSize", 0);
  e.Hash = Trim(ini.ReadString(section, L"FileHash", L""));
  if (!e.Hash.empty() && !IsSha256Text(e.Hash)) {
    message = run.Refused(Fmt(L"контрольная сумма файла номер %d", i));
    return false;
  }
  if (e.Size < 0) {
    message = run.Damaged(Fmt(L"размер файла номер %d", i));
    return false;
  }
  return true;
}

// The first disk's header: the set's identifier and every name and size, all checked before
// anything is touched, since the set comes from outside.
bool ReadSetHeader(SetImport& run, std::wstring& message) {
  run.Stage(L"Проверка наличия заголовочного файла");
  const std::wstring header = run.Drive + L"files.inf";
  if (!FileExists(header)) {
    message =
        Fmt(L"В дисководе %s не обнаружена первая дискета комплекта переносимых файлов обновлений (нет "
            L"заголовочного файла). Вероятно, Вы установили не ту дискету. Замените ее и повторите попытку.",
            run.Drive);
    return false;
  }
  run.Stage(L"Чтение сведений о комплекте переносимых файлов");
  // The header is read once into memory and answered from there: a profile call per key would
  // read the whole file again for every entry.
  TIniTable ini;
  if (FileSizeOf(header) > kFloppyCapacity || !ini.LoadFromFile(header)) {
    message =
        Fmt(L"На дискете в дисководе %s недопустимый заголовочный файл (он больше дискеты или не читается). "
            L"Вероятно дискета испорчена.",
            run.Drive);
    return false;
  }
  run.Id = ini.ReadString(L"PackageInfo", L"SessionID", L"");
  if (run.Id.size() != 19) {
    message = run.Damaged(L"идентификатор сессии");
    return false;
  }
  const int32_t count = ini.ReadInteger(L"PackageInfo", L"FileCount", 0);
  if (count <= 0 || count > kMaxSetFiles) {
    message = run.Damaged(L"количество файлов");
    return false;
  }
  run.Entries.reserve(static_cast<size_t>(count));
  std::unordered_map<std::wstring, size_t> bareNames;  // upper-cased bare name -> its entry
  for (int i = 1; i <= count; ++i) {
    if (i % kEntriesPerPump == 0) {
      ProcessPendingMessages();
      if (*run.Cancelled) return false;
    }
    Entry e;
    if (!ReadSetEntry(run, ini, i, e, message)) return false;
    // The disks hold every file under its bare name: two alike cannot both be read.
    auto [seen, added] = bareNames.emplace(UpperCaseText(ExtractFileName(e.Name)), run.Entries.size());
    if (!added) {
      message =
          run.Refused(Fmt(L"файлы «%s» и «%s» записаны под одним именем", run.Entries[seen->second].Name, e.Name));
      return false;
    }
    e.Order = run.Entries.size();
    run.Entries.push_back(e);
  }
  return true;
}

// Keeps what the programs on the delivery list still need, enters its steps into their step
// lists, adds the publisher's maps and signatures the set carries for them, and checks that the
// steps follow on from the installed versions without a gap.
bool ChooseSetFiles(SetImport& run, std::wstring& message) {
  bool agentStep = false;
  for (const auto& e : run.Entries) {
    std::vector<std::wstring> parts;
    SplitText(ExtractFilePath(e.Name), parts, L"\\", false);
    if (parts.size() < 2) continue;
    if (run.IsAgentEntry(e)) {
      // The agent's own newer version, a file directly in its step's folder.
      if (parts.size() == 2 && run.Handlers->AgentNeeds(parts[1])) {
        run.Kept.push_back(e);
        agentStep = true;
      }
      continue;
    }
    bool emergency = SameText(parts[1], L"repair");
    std::wstring step = emergency ? (parts.size() > 2 ? parts[2] : L"") : parts[1];
    TProgram* p = run.Programs->FindByID(parts[0]);
    TDownloadProtocol* proto = p ? ProtocolOf(*p) : nullptr;
    if (!p || !p->Active || !proto || !p->Controller || step.empty()) continue;
    if (!(StepTo(step) > p->Controller->Version)) continue;
    run.Kept.push_back(e);
    auto& steps = proto->StepList;
    if (std::none_of(steps.begin(), steps.end(), [&](const std::wstring& s) { return SameText(s, step); })) {
      steps.push_back(step);
      p->Downloaded = true;
      if (emergency) p->Repair = true;
    }
    if (std::find(run.Touched.begin(), run.Touched.end(), p) == run.Touched.end()) run.Touched.push_back(p);
  }
  // The publisher's maps and signatures the set carries for the programs it serves: with a key
  // they, not the set's own header, vouch for every file placed.
  for (const auto& e : run.Kept) {
    if (run.IsAgentEntry(e)) continue;
    std::vector<std::wstring> parts;
    SplitText(e.Name, parts, L"\\", false);
    MapGroup g;
    g.Program = run.Programs->FindByID(parts[0]);
    g.Emergency = parts.size() > 2 && SameText(parts[1], L"repair");
    if (std::none_of(run.Groups.begin(), run.Groups.end(),
                     [&](const MapGroup& o) { return o.Program == g.Program && o.Emergency == g.Emergency; }))
      run.Groups.push_back(g);
  }
  for (auto& g : run.Groups) g.MapName = g.Program->ProgramID + (g.Emergency ? L".emr" : L".nrm");
  auto mapOf = [&](const std::wstring& id, const std::wstring& mapName, const Entry& e) {
    return SameText(e.Name, id + L"\\" + mapName) || SameText(e.Name, id + L"\\" + mapName + L".sig");
  };
  const std::wstring agentMap = std::wstring(kAgentProgramID) + L".nrm";
  for (const auto& e : run.Entries)
    if (std::any_of(run.Groups.begin(), run.Groups.end(),
                    [&](const MapGroup& g) { return mapOf(g.Program->ProgramID, g.MapName, e); }) ||
        (agentStep && run.IsAgentEntry(e) && mapOf(kAgentProgramID, agentMap, e)))
      run.Kept.push_back(e);
  // The disks hold the files in the header's order, and so they are read.
  std::stable_sort(run.Kept.begin(), run.Kept.end(), [](const Entry& a, const Entry& b) { return a.Order < b.Order; });
  for (size_t i = 0; i < run.Kept.size(); ++i)
    for (auto& g : run.Groups) {
      if (SameText(run.Kept[i].Name, g.Program->ProgramID + L"\\" + g.MapName)) g.Map = static_cast<int>(i);
      if (SameText(run.Kept[i].Name, g.Program->ProgramID + L"\\" + g.MapName + L".sig"))
        g.Signature = static_cast<int>(i);
    }
  if (run.Kept.empty()) {
    message =
        Fmt(L"На дискете в дисководе %s нет обновлений, загрузка которых необходима. Там только устаревшие "
            L"обновления.",
            run.Drive);
    return false;
  }
  // Steps are applied by their numbers, not in the header's order, and must follow on from
  // the installed version without a gap.
  for (TProgram* p : run.Touched) {
    auto& steps = ProtocolOf(*p)->StepList;
    std::stable_sort(steps.begin(), steps.end(), StepOrder);
    double previous = p->Controller->Version;
    for (const auto& s : steps) {
      VersionStep v = ParseStepName(s);
      if (previous > 0 && previous < v.From) {
        message = Fmt(L"Обнаружено нарушение линейности версий. Нет файлов обновления с версии #%s до версии #%s",
                      NumberText(previous), NumberText(v.From));
        return false;
      }
      previous = std::max(previous, v.To);
    }
  }
  return true;
}

// Room in the temporary directory for every kept file and a reserve.
bool CheckTempSpace(SetImport& run, std::wstring& message) {
  run.Total = 0;
  for (const auto& e : run.Kept) run.Total += e.Size;
  if (run.Handlers->Size)
    run.Handlers->Size(nullptr, static_cast<int32_t>(std::min<int64_t>(run.Total, INT32_MAX)), true);
  double free = DiskFreeBytes(run.TempDir[0]);
  if (free == -1) {
    message = Fmt(L"Нельзя получить сведения о наличии свободного места во временном каталоге (%s)", run.TempDir);
    return false;
  }
  if (free < static_cast<double>(run.Total + kTempReserve)) {
    message =
        Fmt(L"Во временном каталоге (%s) недостаточно свободного места. Требуется %s байт, а доступно всего %s "
            L"байт",
            run.TempDir, FormatByteSize(run.Total + kTempReserve), FormatByteSize(static_cast<int64_t>(free + 0.5)));
    return false;
  }
  return true;
}

// Copies one piece, the file d on the disk in the drive, to the end of out.
bool CopyPiece(const SetImport& run, const Entry& e, const std::wstring& d, const std::wstring& t, HANDLE out,
               char* buffer, int64_t& written, std::wstring& message) {
  ErrorModeGuard quiet(SEM_FAILCRITICALERRORS);
  FileHandle in(
      CreateFileW(d.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in) {
    message = Fmt(L"Нельзя открыть файл %s на дискете. Ошибка Windows: «%s». Вероятно дискета испорчена.", d,
                  LastErrorText());
    return false;
  }
  LARGE_INTEGER size{};
  GetFileSizeEx(in.get(), &size);
  // A piece that would make the file longer than the header says belongs to no whole file.
  if (written + size.QuadPart > e.Size) {
    message = kIncompleteSet;
    return false;
  }
  // A short read or write: the position reached in the file that fell short.
  auto portionFailed = [&message](const wchar_t* what, int64_t at, const std::wstring& file) {
    message = Fmt(L"Ошибка %s очередной порции данных с дискеты (в позиции %d файла %s). Вероятно дискета испорчена.",
                  what, static_cast<long long>(at), file);
    return false;
  };
  int64_t position = 0;
  while (position < size.QuadPart) {
    DWORD portion = static_cast<DWORD>(std::min<int64_t>(kPortion, size.QuadPart - position));
    DWORD got = 0;
    BOOL ok = ReadFile(in.get(), buffer, portion, &got, nullptr);
    position += got;
    if (!ok || got < portion) return portionFailed(L"чтения", position, d);
    DWORD put = 0;
    ok = WriteFile(out, buffer, portion, &put, nullptr);
    written += put;
    if (!ok || put < portion) return portionFailed(L"записи", written, t);
    if (run.Handlers->Traffic) run.Handlers->Traffic(nullptr, false, static_cast<int32_t>(portion));
    if (*run.Cancelled) return false;
    ProcessPendingMessages();
    if (*run.Cancelled) return false;
  }
  return true;
}

// Joins every kept file in the temporary directory from its pieces, asking for the disks in
// turn; then checks that each is whole and matches the checksum the writer recorded.
bool CopySetFromDisks(SetImport& run, std::wstring& message) {
  run.Stage(L"Копирование комплекта файлов с дискеты в хранилище");
  // Nothing of an earlier set's agent files is taken for this set's.
  if (run.Handlers->AgentNeeds) ClearDirectory(run.TempDir + kAgentProgramID, true);
  int disk = 1;
  int64_t copied = 0;
  std::unique_ptr<char[]> buffer(new char[kPortion]);
  for (const auto& e : run.Kept) {
    const std::wstring bare = ExtractFileName(e.Name);
    const std::wstring t = run.TempDir + e.Name, d = run.Drive + bare;
    run.ProgramLine(Fmt(L"Копируется файл «%s»", bare));
    if (!ClearWritePath(run.TempDir, e.Name, message)) return false;
    DeleteFileW(t.c_str());
    if (FileExists(t)) {
      message = Fmt(L"Нельзя удалить временный файл %s, оставшийся от предыдущей загрузки. Ошибка Windows: «%s»", t,
                    LastErrorText());
      return false;
    }
    ForceDirectories(ExtractFilePath(t));
    FileHandle out(CreateFileW(t.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
      message = Fmt(L"Нельзя создать временный файл %s. Ошибка Windows: «%s»", t, LastErrorText());
      return false;
    }
    int64_t written = 0;
    bool pieceRead = false;
    while (written < e.Size) {
      if (pieceRead || !FileExists(d)) {
        ++disk;
        Inform(Fmt(L"Вставьте следующую дискету (#%d) в дисковод и нажмите клавишу Enter.", disk));
        if (!WaitForDisk(disk, run.Drive, message) || !CheckDiskIdentity(disk, run.Drive, run.Id, message))
          return false;
        pieceRead = false;
        continue;
      }
      if (!CopyPiece(run, e, d, t, out.get(), buffer.get(), written, message)) return false;
      pieceRead = true;
    }
    out.reset();
    copied += written;
  }
  // Nothing is placed unless every file is whole.
  bool whole = copied == run.Total;
  for (const auto& e : run.Kept) whole = whole && FileSizeOf(run.TempDir + e.Name) == e.Size;
  if (!whole) {
    message = kIncompleteSet;
    return false;
  }
  // Joined pieces that do not match the checksum the writer recorded are damaged: nothing is placed.
  for (const auto& e : run.Kept) {
    if (e.Hash.empty()) continue;
    std::wstring digest, error;
    if (!FileSha256(run.TempDir + e.Name, digest, error) || !SameDigest(digest, e.Hash)) {
      message = error.empty() ? Fmt(L"Контрольная сумма файла %s, собранного с дискет, не совпадает с записанной в "
                                    L"комплекте. Вероятно дискета испорчена. Файлы не помещены в хранилище "
                                    L"обновлений.",
                                    e.Name)
                              : error;
      return false;
    }
  }
  return true;
}

// Places the joined files into the repository, each under a name of its own: a link there is
// removed as the link, and a folder that is a link stops the placing.
bool PlaceSetFiles(SetImport& run, std::wstring& message) {
  run.Stage(L"Копирование файлов обновлений из временного каталога в хранилище");
  run.ProgramLine(L"");
  const std::wstring repository = IncludeTrailingBackslash(Settings().UpgradeFilesDir);
  for (const auto& e : run.Kept) {
    if (run.IsAgentEntry(e)) continue;  // judged and placed by the agent itself
    const std::wstring target = repository + e.Name;
    if (!ClearWritePath(repository, e.Name, message)) return false;
    ForceDirectories(ExtractFilePath(target));
    if (!CopyFileW((run.TempDir + e.Name).c_str(), target.c_str(), FALSE)) {
      message = Fmt(L"Нельзя поместить файл %s в хранилище обновлений. Ошибка Windows: «%s»", target, LastErrorText());
      return false;
    }
  }
  return true;
}
}  // namespace

bool ImportTransferSet(TProgramList* programs, const std::wstring& tempDirIn, AbortMethod& abortHandler,
                       const ImportHandlers& h, std::wstring& message) {
  message.clear();
  bool cancelled = false;
  AbortScope abort(abortHandler, [&cancelled](void*) { cancelled = true; });
  SetImport run;
  run.Programs = programs;
  run.Handlers = &h;
  run.Cancelled = &cancelled;
  // "A:" names the root of the drive as "A:\" does.
  run.Drive = FloppyRoot(Settings().DiskRootDir);
  if (run.Drive.empty()) run.Drive = Settings().DiskRootDir.substr(0, 3);

  if (!DirectoryExists(tempDirIn)) {
    message = Fmt(L"Временный каталог %s не найден или недоступен.", tempDirIn);
    return false;
  }
  run.TempDir = IncludeTrailingBackslash(tempDirIn);
  if (!programs) {
    message = L"Недоступен список программ для обновления";
    return false;
  }

  Inform(L"Вставьте первую дискету в дисковод и нажмите клавишу Enter.");
  run.Stage(L"Проверка наличия и состояния дискеты.");
  return WaitForDisk(1, run.Drive, message) && ReadSetHeader(run, message) && ChooseSetFiles(run, message) &&
         CheckTempSpace(run, message) && CopySetFromDisks(run, message) &&
         JudgeSetMaps(run.Groups, run.Kept, run.TempDir, message) && PlaceSetFiles(run, message);
}

}  // namespace dorvex
