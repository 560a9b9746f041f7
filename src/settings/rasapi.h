// The Remote Access Service, bound at run time: "rasapi32.dll" is loaded once when the program
// starts, and each function is looked up by name at every call, so the program runs (and says
// so clearly) where the service is not installed. Used by the session's dialling and by the
// options dialog's dial-up page.
//
// The records are the service's published ANSI records in their first (smallest) form, declared
// here ourselves: the toolchain's own headers give larger records for the Windows version the
// build targets. The shipped 32-bit program packs them to 4 bytes, as the service does; a 64-bit
// build (the tests' on hosts that cannot run 32-bit code) lays them out naturally.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dorvex {

// A dial-up connection as the service knows it; null = none.
struct TRasConnTag;
using TRasConnHandle = TRasConnTag*;

constexpr size_t kRasMaxEntryName = 256;
constexpr size_t kRasMaxDeviceType = 16;
constexpr size_t kRasMaxDeviceName = 128;
constexpr size_t kRasMaxPhoneNumber = 128;
constexpr size_t kRasMaxUserName = 256;
constexpr size_t kRasMaxPassword = 256;
constexpr size_t kRasMaxDomain = 15;

// Connection states reported by the dial events and the status call.
constexpr uint32_t kRasConnected = 0x2000;
constexpr uint32_t kRasDisconnected = 0x2001;

// Answers of the service that the program acts on.
constexpr uint32_t kRasResultUnavailable = 0xFFFFFFFFu;  // library or function missing: no call made
constexpr uint32_t kRasBufferTooSmall = 603;
constexpr uint32_t kRasInvalidSize = 632;
constexpr uint32_t kRasInvalidHandle = ERROR_INVALID_HANDLE;  // 6: the connection is gone

// The notifier type of a dial whose progress is posted as window messages.
constexpr uint32_t kRasNotifierWindow = 0xFFFFFFFFu;
// The name under which the dial events' window message is registered, and the number the
// service uses when the registration fails.
constexpr wchar_t kRasDialEventName[] = L"RASDialEvent";
constexpr UINT kRasDialEventDefault = 0xCCCD;

#if !defined(_WIN64)
#pragma pack(push, 4)
#endif
struct TRasConn {
  uint32_t dwSize;
  TRasConnHandle hrasconn;
  char szEntryName[kRasMaxEntryName + 1];
  char szDeviceType[kRasMaxDeviceType + 1];
  char szDeviceName[kRasMaxDeviceName + 1];
};

struct TRasConnStatus {
  uint32_t dwSize;
  uint32_t rasconnstate;
  uint32_t dwError;
  char szDeviceType[kRasMaxDeviceType + 1];
  char szDeviceName[kRasMaxDeviceName + 1];
};

struct TRasDialParams {
  uint32_t dwSize;
  char szEntryName[kRasMaxEntryName + 1];
  char szPhoneNumber[kRasMaxPhoneNumber + 1];
  char szCallbackNumber[kRasMaxPhoneNumber + 1];
  char szUserName[kRasMaxUserName + 1];
  char szPassword[kRasMaxPassword + 1];
  char szDomain[kRasMaxDomain + 1];
};

struct TRasEntryName {
  uint32_t dwSize;
  char szEntryName[kRasMaxEntryName + 1];
};
#if !defined(_WIN64)
#pragma pack(pop)
#endif

#if !defined(_WIN64)
static_assert(sizeof(TRasConnHandle) == 4);
static_assert(sizeof(TRasConn) == 412);
static_assert(offsetof(TRasConn, hrasconn) == 4);
static_assert(offsetof(TRasConn, szEntryName) == 8);
static_assert(offsetof(TRasConn, szDeviceType) == 265);
static_assert(offsetof(TRasConn, szDeviceName) == 282);
#else
static_assert(sizeof(TRasConn) == 424);
static_assert(offsetof(TRasConn, hrasconn) == 8);
static_assert(offsetof(TRasConn, szEntryName) == 16);
#endif
static_assert(sizeof(TRasConnStatus) == 160);
static_assert(offsetof(TRasConnStatus, rasconnstate) == 4);
static_assert(offsetof(TRasConnStatus, dwError) == 8);
static_assert(offsetof(TRasConnStatus, szDeviceType) == 12);
static_assert(offsetof(TRasConnStatus, szDeviceName) == 29);
static_assert(sizeof(TRasDialParams) == 1052);
static_assert(offsetof(TRasDialParams, szEntryName) == 4);
static_assert(offsetof(TRasDialParams, szPhoneNumber) == 261);
static_assert(offsetof(TRasDialParams, szCallbackNumber) == 390);
static_assert(offsetof(TRasDialParams, szUserName) == 519);
static_assert(offsetof(TRasDialParams, szPassword) == 776);
static_assert(offsetof(TRasDialParams, szDomain) == 1033);
static_assert(sizeof(TRasEntryName) == 264);
static_assert(offsetof(TRasEntryName, szEntryName) == 4);

// Loads the library once (later calls do nothing); FreeRasLibrary releases it at the end.
void LoadRasLibrary();
void FreeRasLibrary();
// The service counts as available exactly when the library was loaded.
bool RasAvailable();

// The bound functions. Each answers the service's result (0 = success, else an error code),
// or kRasResultUnavailable when the library or the function is missing and no call was made.
// The default phone book is used throughout.
uint32_t RasDial(TRasDialParams& params, uint32_t notifierType, void* notifier, TRasConnHandle& connection);
uint32_t RasEnumConnections(TRasConn* connections, uint32_t& bytes, uint32_t& count);
uint32_t RasGetConnectStatus(TRasConnHandle connection, TRasConnStatus& status);
uint32_t RasGetErrorString(uint32_t code, char* buffer, uint32_t size);
uint32_t RasHangUp(TRasConnHandle connection);
uint32_t RasGetEntryDialParams(TRasDialParams& params, bool& hasPassword);
uint32_t RasEnumEntries(TRasEntryName* entries, uint32_t& bytes, uint32_t& count);
uint32_t RasCreatePhonebookEntry(HWND owner);
uint32_t RasEditPhonebookEntry(HWND owner, const std::string& entryName);

// ---- conveniences for the callers ----

// The text of an error the service answered: the service's own text for its codes (600-799),
// else the system's message text; empty when neither knows the code.
std::wstring RasErrorText(uint32_t code);

// A phone-book entry name in the form the service takes (the ANSI code page), cut to what
// the records hold.
std::string RasEntryNameBytes(const std::wstring& name);

// The phone-book entries of the default phone book, at most 64, in the order listed (names
// as the service gave them, empty ones included, so that positions stay those of the book).
struct TRasEntryList {
  uint32_t Result = 0;  // the listing's answer; 603 (buffer too small) still lists the first 64
  std::vector<std::wstring> Names;
  bool Ok() const { return Result == 0 || Result == kRasBufferTooSmall; }
};
TRasEntryList ListRasEntries();

// The user name stored with an entry's dial parameters; empty when they cannot be read.
std::wstring RasEntryUserName(const std::wstring& entryName);

}  // namespace dorvex
