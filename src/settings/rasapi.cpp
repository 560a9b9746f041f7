#include "settings/rasapi.h"

#include <algorithm>
#include <cstring>

#include "common/handles.h"
#include "common/text.h"

namespace dorvex {

namespace {
ModuleHandle& RasModule() {
  static ModuleHandle module;
  return module;
}

// The function of that name, looked up now; null when the library or the name is missing.
template <typename F>
F Bound(const char* name) {
  if (!RasModule()) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(RasModule().get(), name)));
}

using RasDialAFunc = DWORD(WINAPI*)(void* extensions, const char* phonebook, TRasDialParams* params, DWORD notifierType,
                                    void* notifier, TRasConnHandle* connection);
using RasEnumConnectionsAFunc = DWORD(WINAPI*)(TRasConn* connections, DWORD* bytes, DWORD* count);
using RasGetConnectStatusAFunc = DWORD(WINAPI*)(TRasConnHandle connection, TRasConnStatus* status);
using RasGetErrorStringAFunc = DWORD(WINAPI*)(UINT code, char* buffer, DWORD size);
using RasHangUpAFunc = DWORD(WINAPI*)(TRasConnHandle connection);
using RasGetEntryDialParamsAFunc = DWORD(WINAPI*)(const char* phonebook, TRasDialParams* params, BOOL* hasPassword);
using RasEnumEntriesAFunc = DWORD(WINAPI*)(const char* reserved, const char* phonebook, TRasEntryName* entries,
                                           DWORD* bytes, DWORD* count);
using RasCreatePhonebookEntryAFunc = DWORD(WINAPI*)(HWND owner, const char* phonebook);
using RasEditPhonebookEntryAFunc = DWORD(WINAPI*)(HWND owner, const char* phonebook, const char* entryName);

constexpr uint32_t kMaxEntries = 64;

// Text from a fixed-size record field, which the service may have left without its zero.
std::wstring FieldText(const char* field, size_t size) {
  return AnsiToWide(std::string(field, strnlen(field, size)));
}
}  // namespace

void LoadRasLibrary() {
  if (RasModule()) return;
  RasModule().reset(LoadLibraryW(L"rasapi32.dll"));
}

void FreeRasLibrary() {
  RasModule().reset();
}

bool RasAvailable() {
  return static_cast<bool>(RasModule());
}

uint32_t RasDial(TRasDialParams& params, uint32_t notifierType, void* notifier, TRasConnHandle& connection) {
  auto f = Bound<RasDialAFunc>("RasDialA");
  if (!f) return kRasResultUnavailable;
  return f(nullptr, nullptr, &params, notifierType, notifier, &connection);
}

uint32_t RasEnumConnections(TRasConn* connections, uint32_t& bytes, uint32_t& count) {
  auto f = Bound<RasEnumConnectionsAFunc>("RasEnumConnectionsA");
  if (!f) return kRasResultUnavailable;
  DWORD b = bytes, c = count;
  DWORD r = f(connections, &b, &c);
  bytes = b;
  count = c;
  return r;
}

uint32_t RasGetConnectStatus(TRasConnHandle connection, TRasConnStatus& status) {
  auto f = Bound<RasGetConnectStatusAFunc>("RasGetConnectStatusA");
  if (!f) return kRasResultUnavailable;
  return f(connection, &status);
}

uint32_t RasGetErrorString(uint32_t code, char* buffer, uint32_t size) {
  auto f = Bound<RasGetErrorStringAFunc>("RasGetErrorStringA");
  if (!f) return kRasResultUnavailable;
  return f(code, buffer, size);
}

uint32_t RasHangUp(TRasConnHandle connection) {
  auto f = Bound<RasHangUpAFunc>("RasHangUpA");
  if (!f) return kRasResultUnavailable;
  return f(connection);
}

uint32_t RasGetEntryDialParams(TRasDialParams& params, bool& hasPassword) {
  auto f = Bound<RasGetEntryDialParamsAFunc>("RasGetEntryDialParamsA");
  if (!f) return kRasResultUnavailable;
  BOOL password = FALSE;
  DWORD r = f(nullptr, &params, &password);
  hasPassword = password != FALSE;
  return r;
}

uint32_t RasEnumEntries(TRasEntryName* entries, uint32_t& bytes, uint32_t& count) {
  auto f = Bound<RasEnumEntriesAFunc>("RasEnumEntriesA");
  if (!f) return kRasResultUnavailable;
  DWORD b = bytes, c = count;
  DWORD r = f(nullptr, nullptr, entries, &b, &c);
  bytes = b;
  count = c;
  return r;
}

uint32_t RasCreatePhonebookEntry(HWND owner) {
  auto f = Bound<RasCreatePhonebookEntryAFunc>("RasCreatePhonebookEntryA");
  if (!f) return kRasResultUnavailable;
  return f(owner, nullptr);
}

uint32_t RasEditPhonebookEntry(HWND owner, const std::string& entryName) {
  auto f = Bound<RasEditPhonebookEntryAFunc>("RasEditPhonebookEntryA");
  if (!f) return kRasResultUnavailable;
  return f(owner, nullptr, entryName.c_str());
}

std::wstring RasErrorText(uint32_t code) {
  if (code >= 600 && code <= 799) {
    char buffer[1024] = {};
    if (RasGetErrorString(code, buffer, sizeof buffer) == 0) {
      std::wstring text = FieldText(buffer, sizeof buffer);
      if (!text.empty()) return text;
    }
  }
  if (code == 0 || code == kRasResultUnavailable) return L"";
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n && buffer) text = TrimRight(std::wstring(buffer, n));
  if (buffer) LocalFree(buffer);
  return text;
}

std::string RasEntryNameBytes(const std::wstring& name) {
  std::string bytes = WideToAnsi(name);
  if (bytes.size() > kRasMaxEntryName) bytes.resize(kRasMaxEntryName);
  return bytes;
}

TRasEntryList ListRasEntries() {
  TRasEntryList list;
  std::vector<TRasEntryName> entries(kMaxEntries);
  for (auto& e : entries) {
    memset(&e, 0, sizeof e);
    e.dwSize = sizeof(TRasEntryName);
  }
  uint32_t bytes = static_cast<uint32_t>(entries.size() * sizeof(TRasEntryName));
  uint32_t count = 0;
  list.Result = RasEnumEntries(entries.data(), bytes, count);
  if (!list.Ok()) return list;
  // On 603 the count is that of all entries; only those that fitted were written.
  const uint32_t n = std::min(count, kMaxEntries);
  for (uint32_t i = 0; i < n; ++i)
    list.Names.push_back(FieldText(entries[i].szEntryName, sizeof entries[i].szEntryName));
  return list;
}

std::wstring RasEntryUserName(const std::wstring& entryName) {
  TRasDialParams params{};
  params.dwSize = sizeof params;
  const std::string name = RasEntryNameBytes(entryName);
  memcpy(params.szEntryName, name.data(), name.size());
  bool hasPassword = false;
  std::wstring user;
  if (RasGetEntryDialParams(params, hasPassword) == 0) user = FieldText(params.szUserName, sizeof params.szUserName);
  SecureZeroMemory(&params, sizeof params);
  return user;
}

}  // namespace dorvex
