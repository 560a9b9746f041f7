#include "ui/elevation.h"

#include <shellapi.h>

#include "common/handles.h"
#include "common/routines.h"
#include "common/text.h"
#include "ui/dialogs.h"

namespace dorvex::ui {

namespace {
WriteAccessHandler& AccessHandler() {
  static WriteAccessHandler handler;
  return handler;
}
ElevatedRestartHandler& RestartHandler() {
  static ElevatedRestartHandler handler;
  return handler;
}

bool SystemMayWrite(const std::wstring& folder) {
  // Opening the folder itself for adding files and subfolders asks the access check that a new
  // or replacing file would meet, without making one.
  FileHandle dir(CreateFileW(folder.c_str(), FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return dir || GetLastError() != ERROR_ACCESS_DENIED;
}

bool SystemRestart(const std::wstring& program, const std::wstring& arguments) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOASYNC;
  info.lpVerb = L"runas";
  info.lpFile = program.c_str();
  info.lpParameters = arguments.empty() ? nullptr : arguments.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) return false;  // refused at the prompt: this one stays
  PostQuitMessage(0);
  return true;
}
}  // namespace

void SetWriteAccessHandler(WriteAccessHandler handler) {
  AccessHandler() = std::move(handler);
}
void SetElevatedRestartHandler(ElevatedRestartHandler handler) {
  RestartHandler() = std::move(handler);
}

bool MayWriteFolder(const std::wstring& folder) {
  return AccessHandler() ? AccessHandler()(folder) : SystemMayWrite(folder);
}

std::wstring CommandLineTail(const std::wstring& line) {
  size_t i = 0;
  while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
  // The program's name ends at its closing quote or at the first blank: no escapes in it.
  if (i < line.size() && line[i] == L'"') {
    size_t close = line.find(L'"', i + 1);
    i = close == std::wstring::npos ? line.size() : close + 1;
  }
  while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
  while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
  return line.substr(i);
}

bool EnsureDataWritable(HWND owner, const std::vector<std::wstring>& folders) {
  std::wstring denied;
  for (const std::wstring& f : folders)
    if (!f.empty() && !MayWriteFolder(f)) {
      denied = f;
      break;
    }
  if (denied.empty()) return true;
  const std::wstring text =
      Fmt(L"У вас нет прав на запись в папку %s, где хранятся настройки и обновления. Изменять настройки, "
          L"доставлять и удалять обновления могут только администраторы компьютера.\n\nЗапустить Дорвекс заново с "
          L"правами администратора?",
          denied);
  if (!AskYesNo(owner, text)) return false;
  const std::wstring program = ExecutablePath();
  const std::wstring arguments = CommandLineTail(GetCommandLineW());
  const bool started = RestartHandler() ? RestartHandler()(program, arguments) : SystemRestart(program, arguments);
  if (!started) ShowError(owner, L"Дорвекс не был запущен с правами администратора. Действие не выполнено.");
  return false;
}

}  // namespace dorvex::ui
