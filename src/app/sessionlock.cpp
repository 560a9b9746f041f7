#include "app/sessionlock.h"

#include <lmcons.h>

#include "common/handles.h"
#include "common/links.h"
#include "common/routines.h"
#include "common/text.h"
#include "settings/options.h"
#include "ui/dialogs.h"

namespace dorvex {

class TSessionLock {
 public:
  TSessionLock(std::wstring repository, FileHandle file) : Repository(std::move(repository)), file_(std::move(file)) {}
  const std::wstring Repository;

 private:
  FileHandle file_;
};

namespace {
constexpr wchar_t kLockName[] = L"dorvex.lock";
constexpr DWORD kMaxHolderBytes = 4096;

std::weak_ptr<TSessionLock>& Current() {
  static std::weak_ptr<TSessionLock> lock;
  return lock;
}

std::wstring LockPath(const std::wstring& repository) {
  return IncludeTrailingBackslash(repository) + kLockName;
}

// Who this process is, in the words the other session will show.
std::wstring Description(const wchar_t* action) {
  wchar_t user[UNLEN + 1] = L"";
  DWORD userSize = UNLEN + 1;
  if (!GetUserNameW(user, &userSize)) user[0] = 0;
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = L"";
  DWORD computerSize = MAX_COMPUTERNAME_LENGTH + 1;
  if (!GetComputerNameW(computer, &computerSize)) computer[0] = 0;
  return Fmt(L"%s (пользователь %s, компьютер %s, процесс %d) с %s", action, user[0] ? user : L"неизвестен",
             computer[0] ? computer : L"неизвестен", static_cast<int>(GetCurrentProcessId()),
             FormatDateTime(L"dd.mm.yyyy г. hh:nn:ss", Now()));
}

std::wstring ReadHolder(const std::wstring& path) {
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return L"";
  std::string bytes(kMaxHolderBytes, '\0');
  DWORD got = 0;
  if (!ReadFile(file.get(), bytes.data(), kMaxHolderBytes, &got, nullptr)) return L"";
  bytes.resize(got);
  return Trim(AnsiToWide(bytes));
}

const wchar_t* ActionName() {
  return AutoMode() ? L"автоматический сеанс доставки обновлений" : L"Дорвекс, запущенный пользователем";
}

LockResult Take(const std::wstring& directory, const wchar_t* action, SessionLockHold& hold, std::wstring& holder,
                bool make = false) {
  hold.reset();
  holder.clear();
  if (Trim(directory).empty()) return LockResult::Unavailable;
  const std::wstring repository = IncludeTrailingBackslash(directory);
  if (auto held = Current().lock(); held && SameText(held->Repository, repository)) {
    hold = held;
    return LockResult::Taken;
  }
  // Only a session makes a missing repository (as it would anyway); the quiet looks never do.
  if (make) ForceDirectories(repository);
  if (!DirectoryExists(repository)) return LockResult::Unavailable;
  const std::wstring path = LockPath(repository);
  // A lock file that is a link would carry the holder's line into a file elsewhere.
  if (std::wstring linkMessage; !ClearWritePath(repository, kLockName, linkMessage)) return LockResult::Unavailable;
  // Readers may look at it (to say who holds it); nobody else may open it for writing.
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
      holder = ReadHolder(path);
      return LockResult::Busy;
    }
    return LockResult::Unavailable;
  }
  const std::string text = WideToAnsi(Description(action)) + "\r\n";
  DWORD put = 0;
  SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN);
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &put, nullptr);
  SetEndOfFile(file.get());
  FlushFileBuffers(file.get());
  hold = std::make_shared<TSessionLock>(repository, std::move(file));
  Current() = hold;
  return LockResult::Taken;
}

bool LockForAction(HWND owner, const wchar_t* action, SessionLockHold& hold, bool make = false) {
  std::wstring holder;
  const std::wstring& repository = Settings().UpgradeFilesDir;
  if (Take(repository, action, hold, holder, make) != LockResult::Busy) return true;
  ui::ShowError(owner, BusyRepositoryMessage(repository, holder));
  return false;
}
}  // namespace

LockResult TakeRepositoryLock(const std::wstring& repository, SessionLockHold& hold, std::wstring& holder) {
  return Take(repository, ActionName(), hold, holder);
}

std::wstring BusyRepositoryMessage(const std::wstring& repository, const std::wstring& holder) {
  return Fmt(
      L"Хранилище обновлений %s сейчас занято другим сеансом Дорвекса: %s. Дождитесь его окончания и повторите "
      L"действие.",
      ExcludeTrailingBackslash(repository), holder.empty() ? std::wstring(L"сеанс только начинается") : holder);
}

bool HoldsRepositoryLock(const std::wstring& repository) {
  auto held = Current().lock();
  return held && SameText(held->Repository, IncludeTrailingBackslash(repository));
}

bool LockForRun(HWND owner, SessionLockHold& hold) {
  return LockForAction(owner, ActionName(), hold, true);
}
bool LockForOptionsSave(HWND owner, SessionLockHold& hold) {
  return LockForAction(owner, L"сохранение настроек Дорвекса", hold);
}
bool LockForDeletion(HWND owner, SessionLockHold& hold) {
  return LockForAction(owner, L"удаление обновлений из хранилища", hold);
}
bool LockForFloppyImport(HWND owner, SessionLockHold& hold) {
  return LockForAction(owner, L"загрузка обновлений с дискет", hold);
}

LockResult LockForAutoSession(SessionLockHold& hold, std::wstring& holder) {
  return Take(Settings().UpgradeFilesDir, ActionName(), hold, holder, true);
}

bool TryLockQuietly(SessionLockHold& hold) {
  std::wstring holder;
  return Take(Settings().UpgradeFilesDir, ActionName(), hold, holder) != LockResult::Busy;
}

}  // namespace dorvex
