// One session at a time. Every way that writes into the repository and the settings (a delivery
// session, the options' OK, the repository manager's deletions, a floppy import) first takes the
// repository's lock: the file "dorvex.lock" in the repository, held open without write sharing
// for as long as the action lasts, with who holds it and since when written inside. The system
// closes the file when the process ends however it ends, so a killed session leaves no lock.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace dorvex {

// A held lock; the last owner's release closes the file. Within one process the lock is taken
// once and shared by nested actions (a floppy import inside a session).
class TSessionLock;
using SessionLockHold = std::shared_ptr<TSessionLock>;

enum class LockResult {
  Taken,        // this process holds the lock now
  Busy,         // another session holds it; holder says who and since when
  Unavailable,  // no repository to lock (not set, not made): nothing can be delivered there either
};

// Takes the lock of the repository at once, without waiting; holder is the other session's
// description when it is busy.
LockResult TakeRepositoryLock(const std::wstring& repository, SessionLockHold& hold, std::wstring& holder);
// The Russian sentence that tells a person who holds the repository and since when.
std::wstring BusyRepositoryMessage(const std::wstring& repository, const std::wstring& holder);
// True when this process holds the lock of that repository now.
bool HoldsRepositoryLock(const std::wstring& repository);

// The entries, one per action that writes. Each takes the lock of the repository in the
// settings; when another session holds it, it tells the person at the window (owner) in a box
// and returns false, having changed nothing. Unavailable is not a refusal: the action then
// finds and reports the missing repository itself.
bool LockForRun(HWND owner, SessionLockHold& hold);
bool LockForOptionsSave(HWND owner, SessionLockHold& hold);
bool LockForDeletion(HWND owner, SessionLockHold& hold);
bool LockForFloppyImport(HWND owner, SessionLockHold& hold);
// The unattended session takes the lock before its window writes anything; Busy means that it
// must end at once without writing.
LockResult LockForAutoSession(SessionLockHold& hold, std::wstring& holder);
// The window's own housekeeping (its temporary directory, its record in the settings) is done
// only while no other session holds the repository: false when one does; hold is the lock
// when there is a repository to lock.
bool TryLockQuietly(SessionLockHold& hold);

}  // namespace dorvex
