#include "app/selfupgrade.h"

// clang-format off
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
// clang-format on

#include <vector>

#include "common/handles.h"
#include "common/inifile.h"
#include "common/initable.h"
#include "common/integrity.h"
#include "common/links.h"
#include "common/routines.h"
#include "common/text.h"
#include "common/versions.h"
#include "protocols/protocol.h"
#include "settings/options.h"
#include "ui/elevation.h"
#include "ui/pump.h"
#include "upgrade/catalogue.h"
#include "upgrade/mapcheck.h"

namespace dorvex {

// The trust records handed to the system, in the sizes of the two builds.
static_assert(sizeof(void*) == 4 ? sizeof(WINTRUST_DATA) == 48 : sizeof(WINTRUST_DATA) == 80);
static_assert(sizeof(void*) == 4 ? sizeof(WINTRUST_FILE_INFO) == 16 : sizeof(WINTRUST_FILE_INFO) == 32);
static_assert(sizeof(void*) == 4 ? sizeof(CMSG_SIGNER_INFO) == 68 : sizeof(CMSG_SIGNER_INFO) == 136);

namespace {
constexpr DWORD kSelfTestMs = 30000;

std::wstring Informational(const std::wstring& text) {
  return std::wstring(1, kInformational) + text;
}

// A verified new version waiting for the end of the session.
struct PendingAgent {
  bool ready = false;
  AgentVersion version;
  std::wstring file;  // in the repository
  std::wstring hash;  // as the verified map gives it
};
PendingAgent& Pending() {
  static PendingAgent pending;
  return pending;
}

std::wstring EnvText(const wchar_t* name) {
  wchar_t buf[512];
  const DWORD n = GetEnvironmentVariableW(name, buf, 512);
  return n > 0 && n < 512 ? std::wstring(buf, n) : std::wstring();
}

// Test seam: a process told to die at a step of the swap ends there at once, as a power cut would.
void CrashPoint(int step) {
  if (EnvText(L"DORVEX_SWAP_CRASH_AT") == std::to_wstring(step)) TerminateProcess(GetCurrentProcess(), 9);
}

// The signer's certificate of a file's embedded Authenticode signature; empty when it has none.
std::string SignerCertificate(const std::wstring& file) {
  DWORD encoding = 0, contentType = 0, formatType = 0;
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, &store, &message,
                        nullptr))
    return {};
  std::string der;
  DWORD size = 0;
  if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && size > 0) {
    std::vector<BYTE> buffer(size);
    if (CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
      const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
      CERT_INFO wanted{};
      wanted.Issuer = signer->Issuer;
      wanted.SerialNumber = signer->SerialNumber;
      PCCERT_CONTEXT cert = CertFindCertificateInStore(store, encoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
      if (cert) {
        der.assign(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded);
        CertFreeCertificateContext(cert);
      }
    }
  }
  CryptMsgClose(message);
  CertCloseStore(store, 0);
  return der;
}

// The platform's judgement of a file's Authenticode signature: 0 when it verifies.
LONG VerifyTrust(const std::wstring& file) {
  WINTRUST_FILE_INFO info{};
  info.cbStruct = sizeof(info);
  info.pcwszFilePath = file.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

// What the usual answers of WinVerifyTrust mean, after the code in the message.
std::wstring TrustFailureText(LONG code) {
  switch (static_cast<unsigned long>(code)) {
    case 0x80096010: return L": файл изменен после подписи";
    case 0x800B0100: return L": подписи нет";
    case 0x800B0109: return L": сертификат подписи не ведет к доверенному корневому сертификату";
    case 0x800B0101: return L": срок действия сертификата подписи истек, а метки времени в подписи нет";
    case 0x800B010C: return L": сертификат подписи отозван";
    case 0x800B0110: return L": сертификат не предназначен для подписи программ";
    default: return L"";
  }
}

// Empty when the fetched file may replace the running one, else why not.
std::wstring CheckAgentFile(const std::wstring& file, const AgentVersion& expected, const std::wstring& self) {
  AgentVersion found;
  if (!FileAgentVersion(file, found) || found.Compare(expected) != 0)
    return Fmt(L"в ресурсе версии файла указана версия %s, а в карте — %s",
               found.part[0] || found.part[1] || found.part[2] ? found.Text() : std::wstring(L"(нет)"),
               expected.Text());
  const TVersionInfo mine(self), theirs(file);
  for (const wchar_t* name : {L"ProductName", L"CompanyName"}) {
    if (mine.StringValue(name) != theirs.StringValue(name))
      return Fmt(L"в ресурсе версии файла %s «%s», а у работающего Дорвекса «%s»", name, theirs.StringValue(name),
                 mine.StringValue(name));
  }
  const std::string signer = SignerCertificate(self);
  if (!signer.empty()) {
    if (SignerCertificate(file) != signer) return L"файл не подписан сертификатом, которым подписан работающий Дорвекс";
    const LONG trust = VerifyTrust(file);
    if (trust != 0) {
      wchar_t code[16];
      swprintf(code, 16, L"%08lX", static_cast<unsigned long>(trust));
      return Fmt(L"подпись файла не подтверждена системой (WinVerifyTrust: 0x%s%s)", std::wstring(code),
                 TrustFailureText(trust));
    }
  }
  return L"";
}

bool FlushFile(const std::wstring& path) {
  FileHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return h && FlushFileBuffers(h.get());
}

// Starts the executable with /selftest and the session's settings file; its exit code, or -1
// when it cannot start or does not end in time (it is then ended).
int RunSelfTest(const std::wstring& exe) {
  std::wstring command = L"\"" + exe + L"\" /selftest \"/CONF:" + SettingsFileName() + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE, nullptr,
                      ExtractFilePath(exe).c_str(), &si, &pi))
    return -1;
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  const DWORD start = GetTickCount();
  DWORD waited = WAIT_TIMEOUT;
  for (;;) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= kSelfTestMs) break;
    HANDLE h = process.get();
    waited = ui::WaitFor(&h, 1, kSelfTestMs - elapsed);
    if (waited == WAIT_OBJECT_0) break;
  }
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    return -1;
  }
  DWORD code = 1;
  GetExitCodeProcess(process.get(), &code);
  return static_cast<int>(code);
}

// The newest version above the running one that a verified agent map offers, with its one file.
struct AgentStep {
  AgentVersion version;
  std::wstring section, name, hash;
  int64_t size = 0;
};

// Empty when the map was read: step.section is then empty when no version above the running one
// is published. Otherwise why the map is not taken.
std::wstring ChooseAgentStep(const TIniTable& map, const AgentVersion& running, AgentStep& step) {
  step = AgentStep{};
  step.version = running;
  for (const auto& section : map.UniqueSections()) {
    AgentVersion v;
    if (ParseAgentVersion(section, v) && v.Compare(step.version) > 0) {
      step.version = v;
      step.section = section;
    }
  }
  if (step.section.empty()) return L"";
  step.name = map.ReadString(step.section, L"FileName1", L"");
  step.hash = map.ReadString(step.section, L"FileHash1", L"");
  step.size = map.ReadInteger(step.section, L"FileSize1", -1);
  if (map.ReadInteger(step.section, L"Count", 0) == 1 && SameText(step.name, kAgentExeName) &&
      IsSha256Text(step.hash) && step.size > 0)
    return L"";
  return Fmt(
      L"раздел [%s] должен называть один файл %s с его размером и контрольной суммой (Count=1, FileName1, "
      L"FileSize1, FileHash1)",
      step.section, kAgentExeName);
}

const wchar_t kUnsignedAgentMap[] =
    L"Карта обновлений Дорвекса %s не принята: Дорвекс обновляется только по карте с проверенной подписью, а подпись "
    L"этой карты не получена.";

// The last check of a fetched file before it waits for the end of the session.
void AcceptAgentFile(const std::wstring& file, const AgentStep& step, const std::wstring& self,
                     const LineHandler& say) {
  const std::wstring why = CheckAgentFile(file, step.version, self);
  if (why.empty()) {
    Pending() = PendingAgent{true, step.version, file, step.hash};
    say(Informational(Fmt(L"Новая версия Дорвекса (%s) загружена и проверена.", step.version.Text())));
  } else {
    say(Fmt(L"Новая версия Дорвекса (%s) не принята: %s.", step.version.Text(), why));
  }
}

// The uninstall entry written by the setup names the installed version; it follows the agent
// when the entry exists and this process may write it.
void UpdateUninstallEntry(const AgentVersion& version, const std::wstring& dir) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Dorvex", 0,
                    KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return;
  wchar_t location[MAX_PATH * 2] = {};
  DWORD size = sizeof(location) - sizeof(wchar_t);
  const bool ours = RegQueryValueExW(key, L"InstallLocation", nullptr, nullptr, reinterpret_cast<BYTE*>(location),
                                     &size) == ERROR_SUCCESS &&
                    SameText(IncludeTrailingBackslash(location), dir);
  if (ours) {
    const std::wstring text = version.Text();
    RegSetValueExW(key, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  RegCloseKey(key);
}
}  // namespace

bool MayWriteFolder(const std::wstring& dir) {
  // Test seam: the folder a test names is one this process may not write, as Program Files is
  // to a user without the scheduled task's rights.
  const std::wstring denied = EnvText(L"DORVEX_DENY_WRITE");
  if (!denied.empty() && SameText(IncludeTrailingBackslash(denied), IncludeTrailingBackslash(dir))) return false;
  return ui::MayWriteFolder(ExcludeTrailingBackslash(dir));
}

bool SelfUpgradeWanted() {
  if (!MapKeyConfigured() || FindSwitch(L"/repair", false) > 0) return false;
  TIniFile ini(SettingsFileName());
  return ini.ReadInteger(L"SelfUpgrade", L"Enabled", 1) != 0;
}

void FetchAgentUpgrade(ProtocolClassRef source, const std::wstring& tempDir, AbortMethod& abortHandler,
                       const LineHandler& say, const StageTextHandler& stage) {
  Pending() = PendingAgent{};
  if (!SelfUpgradeWanted() || !source) return;
  const std::wstring self = ExecutablePath();
  AgentVersion running;
  if (!FileAgentVersion(self, running)) {
    say(Fmt(L"Нельзя прочитать версию работающего Дорвекса (%s): обновления самого Дорвекса не проверяются.", self));
    return;
  }
  TProgram agent;
  agent.Active = true;
  agent.ProgramID = kAgentProgramID;
  agent.Title = L"Дорвекс";
  agent.TempDir = tempDir;
  std::vector<std::wstring> lines;
  agent.OnMessage = [&lines](void*, const std::wstring& text) { lines.push_back(text); };
  agent.AttachProtocol(source, nullptr);
  auto* proto = dynamic_cast<TDownloadProtocol*>(agent.Protocol.get());
  if (!proto) return;
  auto tell = [&] {
    for (const auto& l : lines) say(l);
    lines.clear();
  };
  const std::wstring mapName = std::wstring(kAgentProgramID) + L".nrm";
  if (stage) stage(L"Получение карты обновлений Дорвекса");
  if (Settings().ConnectionType == 2 && !FileExists(proto->MapFileName(proto->RootDir))) {
    say(Informational(
        Fmt(L"Карта обновлений Дорвекса %s на источнике не опубликована; Дорвекс не обновляется.", mapName)));
    return;
  }
  if (!proto->Connect()) return tell();
  bool loggedIn = false;
  try {
    loggedIn = proto->Login();
    if (!loggedIn) {
      proto->Disconnect();
      return tell();
    }
    const bool fetched = proto->GetUpgradeMap(abortHandler);
    if (!fetched && !proto->FetchLimitHit && !proto->Aborted) {
      lines.clear();  // the source's "not found" is this one line, not an error
      say(Informational(
          Fmt(L"Карта обновлений Дорвекса %s на источнике не опубликована; Дорвекс не обновляется.", mapName)));
    } else if (fetched && proto->VerifyUpgradeMap(abortHandler) && agent.MapSignature != MapSignatureState::Verified) {
      say(Fmt(kUnsignedAgentMap, mapName));
    } else if (fetched && agent.MapSignature == MapSignatureState::Verified) {
      tell();  // what the map's check said comes before what the map offers
      AgentStep step;
      const std::wstring why = ChooseAgentStep(proto->MapTable(), running, step);
      if (!why.empty()) {
        say(Fmt(L"Карта обновлений Дорвекса %s не принята: %s.", mapName, why));
      } else if (step.section.empty()) {
        say(Informational(Fmt(L"Работает последняя опубликованная версия Дорвекса (%s).", running.Text())));
      } else {
        proto->StepList = {step.section};
        if (stage) stage(Fmt(L"Загрузка новой версии Дорвекса (%s)", step.version.Text()));
        if (proto->DownloadFiles(abortHandler, stage) && proto->RemoveUnlistedFiles(step.section)) {
          tell();
          AcceptAgentFile(IncludeTrailingBackslash(Settings().UpgradeFilesDir) + kAgentProgramID + L"\\" +
                              step.section + L"\\" + step.name,
                          step, self, say);
        }
      }
    }
    tell();
  } catch (...) {
    if (loggedIn) proto->Logout();
    proto->Disconnect();
    throw;
  }
  proto->Logout();
  proto->Disconnect();
}

void TakeAgentFromSet(const std::wstring& setDir, const LineHandler& say) {
  Pending() = PendingAgent{};
  if (!SelfUpgradeWanted()) return;
  const std::wstring self = ExecutablePath();
  const std::wstring mapName = std::wstring(kAgentProgramID) + L".nrm";
  AgentVersion running;
  std::string map, sig;
  if (!FileAgentVersion(self, running)) {
    say(Fmt(L"Нельзя прочитать версию работающего Дорвекса (%s): обновления самого Дорвекса не проверяются.", self));
    return;
  }
  if (!ReadFileBytes(setDir + mapName, map, kMaxMapBytes)) {
    say(Informational(L"В комплекте переноса нет новой версии Дорвекса; Дорвекс не обновляется."));
    return;
  }
  // Judged as a map fetched from a source is: the signature, [MapInfo], the serial floor.
  const bool haveSig = ReadFileBytes(setDir + mapName + L".sig", sig, kMaxSignatureBytes);
  const MapJudgement j = JudgeMap(map, haveSig ? &sig : nullptr, mapName, kAgentProgramID, false,
                                  Fmt(L"в комплекте переноса нет файла подписи %s.sig", mapName));
  if (IsRefusedMap(j.State)) return say(j.Refusal + L" Дорвекс не обновляется.");
  if (j.State != MapSignatureState::Verified) return say(Fmt(kUnsignedAgentMap, mapName));
  if (!j.Note.empty()) say(Informational(j.Note));
  TIniTable table;
  table.LoadFromText(TIniTable::DecodeFileBytes(map));
  AgentStep step;
  const std::wstring why = ChooseAgentStep(table, running, step);
  if (!why.empty()) return say(Fmt(L"Карта обновлений Дорвекса %s не принята: %s.", mapName, why));
  if (step.section.empty())
    return say(Informational(Fmt(L"Работает последняя опубликованная версия Дорвекса (%s).", running.Text())));
  const std::wstring relative = std::wstring(kAgentProgramID) + L"\\" + step.section + L"\\" + step.name;
  const std::wstring carried = setDir + step.section + L"\\" + step.name;
  std::wstring digest, error;
  if (FileSizeOf(carried) != step.size || !FileSha256(carried, digest, error) || !SameDigest(digest, step.hash))
    return say(Fmt(L"Новая версия Дорвекса (%s) не принята: %s.", step.version.Text(),
                   FileExists(carried) ? Fmt(L"файл %s комплекта переноса не совпадает с картой обновлений Дорвекса "
                                             L"по размеру и контрольной сумме",
                                             relative)
                                       : Fmt(L"комплект переноса не содержит файла %s", relative)));
  // In the repository beside the map, as after a fetch: a set written here carries them on.
  const std::wstring repository = IncludeTrailingBackslash(Settings().UpgradeFilesDir);
  const std::wstring file = repository + relative;
  std::wstring linkError;
  if (!ClearWritePath(repository, relative, linkError)) return say(linkError + L" Дорвекс не обновляется.");
  ForceDirectories(ExtractFilePath(file));
  if (!CopyFileW(carried.c_str(), file.c_str(), FALSE))
    return say(Fmt(L"Нельзя поместить файл %s в хранилище обновлений. Ошибка Windows: «%s». Дорвекс не обновляется.",
                   file, WindowsErrorText(GetLastError())));
  for (const auto& [name, bytes] :
       {std::pair<std::wstring, const std::string*>{mapName, &map}, {mapName + L".sig", &sig}})
    if (ClearWritePath(repository, std::wstring(kAgentProgramID) + L"\\" + name, linkError))
      WriteFileBytes(repository + kAgentProgramID + L"\\" + name, *bytes);
  AcceptAgentFile(file, step, self, say);
}

void InstallAgentUpgrade(const LineHandler& say) {
  const PendingAgent next = Pending();
  Pending() = PendingAgent{};
  if (!next.ready) return;
  const std::wstring self = ExecutablePath();
  const std::wstring dir = ExtractFilePath(self);
  AgentVersion running;
  FileAgentVersion(self, running);
  const std::wstring from = running.Text(), to = next.version.Text();
  if (!MayWriteFolder(dir)) {
    say(
        Informational(Fmt(L"Новая версия Дорвекса (%s) сохранена в хранилище обновлений; у этого запуска нет прав на "
                          L"запись в каталог программы (%s), обновление будет установлено при следующем запуске по "
                          L"расписанию.",
                          to, dir)));
    return;
  }
  const std::wstring fresh = self + L".new", old = self + L".old";
  auto fail = [&](const std::wstring& what) {
    say(Fmt(L"Новая версия Дорвекса (%s) не установлена: %s. Ошибка Windows: «%s». Оставлена версия %s.", to, what,
            WindowsErrorText(GetLastError()), from));
  };
  // 1. The verified file beside the program, whole and checked again, under a temporary name.
  std::wstring digest, error;
  if (!CopyFileW(next.file.c_str(), fresh.c_str(), FALSE) || !FlushFile(fresh)) {
    fail(Fmt(L"нельзя скопировать %s в %s", next.file, fresh));
    DeleteFileW(fresh.c_str());
    return;
  }
  if (!FileSha256(fresh, digest, error) || !SameDigest(digest, next.hash)) {
    DeleteFileW(fresh.c_str());
    say(
        Fmt(L"Новая версия Дорвекса (%s) не установлена: копия в каталоге программы не совпадает с картой. Оставлена "
            L"версия %s.",
            to, from));
    return;
  }
  CrashPoint(1);
  // 2. The running program steps aside (Windows renames a running executable) ...
  if (!MoveFileExW(self.c_str(), old.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    fail(Fmt(L"нельзя переименовать %s", self));
    DeleteFileW(fresh.c_str());
    return;
  }
  CrashPoint(2);
  // 3. ... and the new one takes its name.
  if (!MoveFileExW(fresh.c_str(), self.c_str(), MOVEFILE_WRITE_THROUGH)) {
    fail(Fmt(L"нельзя переименовать %s в %s", fresh, self));
    MoveFileExW(old.c_str(), self.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    DeleteFileW(fresh.c_str());
    return;
  }
  CrashPoint(3);
  // 4. The new version must load the settings and the program list by itself.
  const int code = RunSelfTest(self);
  CrashPoint(4);
  if (code != 0) {
    // The old file goes back in one rename over the new one.
    if (!MoveFileExW(old.c_str(), self.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      fail(Fmt(L"новая версия не запустилась, и прежний файл %s нельзя вернуть на место", old));
      return;
    }
    say(Fmt(L"Новая версия Дорвекса (%s) не запустилась; оставлена версия %s", to, from));
    return;
  }
  say(Informational(Fmt(L"Дорвекс обновлен с версии %s до версии %s", from, to)));
  UpdateUninstallEntry(next.version, dir);
}

void RemoveReplacedAgent() {
  const std::wstring self = ExecutablePath();
  // Only a program that runs under its own name clears up: the renamed old file is what a
  // crash between the two renames leaves for the recovery to put back.
  DeleteFileW((self + L".old").c_str());
  DeleteFileW((self + L".new").c_str());
}

int AgentSelfTest() {
  BuildCatalogue(nullptr, nullptr, nullptr);
  LoadSettings();
  TProgramList* list = ProgramCatalogue();
  if (!list) return 2;
  list->ActiveCount();
  FreeProgramCatalogue();
  return 0;
}

}  // namespace dorvex
