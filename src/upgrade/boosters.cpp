#include "upgrade/boosters.h"

#include <windows.h>

#include "common/clock.h"
#include "common/handles.h"
#include "common/inifile.h"
#include "common/pump.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"

namespace dorvex {

namespace {
// The command line and the working directory each travel in a buffer of this many characters.
constexpr size_t kPathBuffer = 260;

UpgradeWaitPolicy& WaitPolicy() {
  static UpgradeWaitPolicy policy;
  return policy;
}

uint64_t CreationTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

void RecordRunningUpgrade(const std::wstring& programID, HANDLE process, DWORD pid, const std::wstring& step,
                          const std::wstring& commandLine) {
  TIniFile ini(RunningUpgradeRecordPath());
  ini.WriteString(programID, L"Process", std::to_wstring(pid));
  ini.WriteString(programID, L"Created", std::to_wstring(CreationTime(process)));
  ini.WriteString(programID, L"Step", step);
  ini.WriteString(programID, L"Started", FormatDateTime(L"dd.mm.yyyy г. в hh:nn", Now()));
  ini.WriteExactString(programID, L"CommandLine", commandLine);
  ini.Flush();
}
}  // namespace

void SetUpgradeWaitPolicy(UpgradeWaitPolicy policy) {
  WaitPolicy() = std::move(policy);
}

std::wstring RunningUpgradeRecordPath() {
  return Settings().UpgradeFilesDir + L"dorvex.running";
}

std::wstring StillRunningUpgrade(const std::wstring& programID, const std::wstring& title) {
  TIniFile ini(RunningUpgradeRecordPath());
  const DWORD pid = static_cast<DWORD>(ini.ReadInteger(programID, L"Process", 0));
  if (pid == 0) return L"";
  bool running = false;
  UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (process) {
    // The same number may have gone to another process since: only the recorded start is ours.
    const std::wstring created = ini.ReadString(programID, L"Created", L"0");
    running = WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT &&
              (created == L"0" || created == std::to_wstring(CreationTime(process.get())));
  } else {
    // A process that exists but may not be looked at is taken for the one left running.
    running = GetLastError() == ERROR_ACCESS_DENIED;
  }
  if (!running) {
    ini.EraseSection(programID);
    ini.Flush();
    return L"";
  }
  return Fmt(
      L"Обновление программы «%s» не начато: программа обновления, запущенная %s для шага %s (процесс %d), "
      L"еще работает. Пока она не завершится, шаги обновления этой программы не запускаются.",
      title, ini.ReadString(programID, L"Started", L"ранее"), ini.ReadString(programID, L"Step", L"?"),
      static_cast<int>(pid));
}

std::wstring TUpgradeBoosterBase::VersionDir(const std::wstring& stepName) const {
  return Settings().UpgradeFilesDir + Program.ProgramID + L"\\" + (Program.IsEmergency() ? L"repair\\" : L"") +
         stepName + L"\\";
}

std::wstring TUpgradeBoosterBase::ErrorFilePath() const { return Program.UpgradeDir + Program.ProgramID + L".err"; }

std::string TUpgradeBoosterBase::ReadErrorFileBytes() const {
  std::string bytes;
  if (!FileExists(ErrorFilePath()) || !ReadFileBytes(ErrorFilePath(), bytes)) return {};
  // Blanks and line breaks at both ends are not part of the message.
  size_t b = 0, e = bytes.size();
  while (b < e && static_cast<unsigned char>(bytes[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(bytes[e - 1]) <= ' ') --e;
  return bytes.substr(b, e - b);
}

bool TUpgradeBoosterBase::Upgrade(const std::wstring& stepName) {
  auto fail = [this](const std::wstring& text) {
    Program.ReportMessage(this, text);
    return false;
  };
  if (stepName.empty()) return fail(L"Не указан каталог с номером версии обновления");
  // A step started beside an earlier one that still runs would upgrade the program twice at once.
  if (const std::wstring running = StillRunningUpgrade(Program.ProgramID, Program.Title); !running.empty())
    return fail(running);
  const std::wstring versionDir = VersionDir(stepName);
  if (!DirectoryExists(versionDir))
    return fail(
        Fmt(L"Не найден каталог с обновлениями (%s). Проверьте правильность указания пути и наличие прав доступа.",
            versionDir));

  DWORD exitCode = static_cast<DWORD>(-1);
  std::wstring errorText;
  std::wstring commandLine = CommandLine(versionDir);
  const std::wstring& workDir = Program.UpgradeDir;
  // Cutting either would run something else than what the step needs: refuse instead.
  if (commandLine.size() > kPathBuffer)
    return fail(Fmt(L"Нельзя запустить программу обновления для шага %s: строка запуска длиннее %d символов (%s).",
                    stepName, static_cast<int>(kPathBuffer), commandLine));
  if (workDir.size() > kPathBuffer)
    return fail(
        Fmt(L"Нельзя запустить программу обновления для шага %s: путь к рабочему каталогу длиннее %d символов (%s).",
            stepName, static_cast<int>(kPathBuffer), workDir));

  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (ShowNormally()) {
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
  }
  PROCESS_INFORMATION pi{};
  std::wstring buffer = commandLine;
  bool started =
      CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | CREATE_DEFAULT_ERROR_MODE,
                     nullptr, workDir.empty() ? nullptr : workDir.c_str(), &si, &pi) != FALSE;
  bool ok = false;
  if (started) {
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    // The window stays alive while the upgrade runs: every turn blocks on the process and the
    // message queue, at most for the kind's polling interval.
    const UpgradeWaitPolicy& policy = WaitPolicy();
    const uint32_t started = TickCount();
    const uint64_t limitMs = policy.limitMinutes > 0 ? static_cast<uint64_t>(policy.limitMinutes * 60000.0) : 0;
    while (WaitWithMessages(&pi.hProcess, 1, PollInterval()) != WAIT_OBJECT_0) {
      const bool late = limitMs != 0 && TickCount() - started >= limitMs;
      if (!late && !(policy.stopWaiting && policy.stopWaiting())) continue;
      RecordRunningUpgrade(Program.ProgramID, process.get(), pi.dwProcessId, stepName, commandLine);
      if (ApplicationWindow()) SetForegroundWindow(ApplicationWindow());
      return fail(Fmt(
          L"Программа обновления не завершилась %s и продолжает работать (процесс %d, строка запуска: %s). "
          L"Ожидание прекращено, процесс не остановлен: прерванное обновление опаснее. Следующие шаги "
          L"обновления этой программы не запускаются, пока она работает.",
          late ? Fmt(L"за %s", FormatDuration(static_cast<int>(limitMs / 1000))) : std::wstring(L"к моменту остановки"),
          static_cast<int>(pi.dwProcessId), commandLine));
    }
    DWORD lastError = GetLastError();
    GetExitCodeProcess(process.get(), &exitCode);
    ok = Outcome(exitCode, lastError, errorText);
  }
  if (!ok) {
    if (errorText.empty()) errorText = L"критическая ошибка";
    Program.ReportMessage(this,
                          Fmt(L"Ошибка программы обновления. Строка запуска: %s. Код завершения: %d. Строка ошибки: %s",
                              commandLine, static_cast<int>(exitCode), errorText));
  }
  if (ApplicationWindow()) SetForegroundWindow(ApplicationWindow());
  return ok;
}

std::wstring TCorvendUpgradeBooster::CommandLine(const std::wstring& versionDir) const {
  std::wstring line = QuoteIfSpaces(Program.UpgradeDir + Program.UpgradeExeName) + L" SILENT:1 PRG:" +
                      Program.ProgramID + L" PATH:" + QuoteIfSpaces(versionDir);
  if (Program.IsEmergency()) line += L" EMERGENCY:1";
  return line;
}

bool TCorvendUpgradeBooster::Outcome(DWORD exitCode, DWORD, std::wstring& errorText) {
  errorText = AnsiToWide(ReadErrorFileBytes());
  bool ok = exitCode == 100 && errorText.empty();
  if (ok) FinishUpgradeFiles(Program.UpgradeDir);
  return ok;
}

std::wstring TDosUpgradeBooster::DefaultUpgradeDir(const std::wstring& programDir) {
  if (programDir.empty()) return programDir;
  return IncludeTrailingBackslash(programDir) + L"Upgrade\\";
}

std::wstring TDosUpgradeBooster::CommandLine(const std::wstring& versionDir) const {
  wchar_t shortPath[MAX_PATH];
  DWORD n = GetShortPathNameW(versionDir.c_str(), shortPath, MAX_PATH);
  std::wstring shortDir = (n > 0 && n < MAX_PATH) ? std::wstring(shortPath, n) : std::wstring();
  return QuoteIfSpaces(Program.UpgradeDir + Program.UpgradeExeName) + L" -SILENCE " + QuoteIfSpaces(shortDir);
}

bool TDosUpgradeBooster::Outcome(DWORD exitCode, DWORD, std::wstring& errorText) {
  errorText = OemToAnsiText(ReadErrorFileBytes());
  return (exitCode == 0 || exitCode == 100) && errorText.empty();
}

std::wstring TTeskUpgradeBooster::CommandLine(const std::wstring& versionDir) const {
  return QuoteIfSpaces(versionDir + Program.UpgradeExeName) + L" /silent";
}

bool TTeskUpgradeBooster::Outcome(DWORD exitCode, DWORD lastError, std::wstring& errorText) {
  static const wchar_t* const kTexts[] = {
      nullptr,
      L"Ошибка обновления #1: программа обновления не смогла провести инициализацию",
      L"Ошибка обновления #2: подготовка обновления прервана пользователем",
      L"Ошибка обновления #3: критическая ошибка при выполнении очередного шага подготовки к копированию",
      L"Ошибка обновления #4: критическая ошибка при выполнении очередного шага при копировании файлов",
      L"Ошибка обновления #5: копирование файлов прервано пользователем",
      L"Ошибка обновления #6: установка обновления прервана отладчиком",
  };
  if (exitCode == 0) return true;
  if (exitCode <= 6) {
    errorText = kTexts[exitCode];
  } else {
    errorText = Fmt(L"Ошибка обновления #%d: ошибка Windows #%d («%s»). Свяжитесь с разработчиком программы.",
                    static_cast<int>(exitCode), static_cast<int>(lastError), WindowsErrorText(lastError));
  }
  return false;
}

void FinishUpgradeFiles(const std::wstring& dirIn) {
  if (dirIn.empty()) return;
  const std::wstring dir = IncludeTrailingBackslash(dirIn);
  WIN32_FIND_DATAW fd;
  FindHandle find(FindFirstFileW((dir + L"*.*").c_str(), &fd));
  if (!find) return;
  do {
    std::wstring name = fd.cFileName;
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (name[0] != L'.') FinishUpgradeFiles(dir + name);
      continue;
    }
    size_t dot = name.find_last_of(L'.');
    if (dot == std::wstring::npos || dot + 1 >= name.size() || name[dot + 1] != L'~') continue;
    if (name.size() - dot <= 2) continue;  // "a.~": nothing would be left of the extension
    std::wstring target = name.substr(0, dot + 1) + name.substr(dot + 2);
    // One step: the old file goes only when the new one takes its place; when that fails the
    // program's own file stays as it was.
    MoveFileExW((dir + name).c_str(), (dir + target).c_str(), MOVEFILE_REPLACE_EXISTING);
  } while (FindNextFileW(find.get(), &fd));
}

}  // namespace dorvex
