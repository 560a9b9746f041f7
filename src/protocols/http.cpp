#include "protocols/http.h"

#include <windows.h>
#include <objbase.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/pump.h"
#include "common/routines.h"
#include "common/text.h"
#include "net/url.h"

namespace dorvex {

namespace {
std::wstring g_secureNote;
std::wstring g_proxyNote;

std::wstring WithTrailingSlash(std::wstring dir) {
  if (dir.empty() || dir.back() != L'/') dir += L'/';
  return dir;
}
}  // namespace

const std::wstring& THttpProtocol::SecureConnectionNote() { return g_secureNote; }
void THttpProtocol::ForgetSecureConnection() {
  g_secureNote.clear();
  g_proxyNote.clear();
}
const std::wstring& THttpProtocol::ProxySchemeNote() { return g_proxyNote; }

bool THttpProtocol::FtpThroughProxy() { return Settings().ConnectionType == 0 && Settings().ProxyUse; }

std::wstring THttpProtocol::URLFor(const std::wstring& path) {
  const TSettings& s = Settings();
  std::wstring host = s.HttpServer, port = s.HttpPort, scheme = L"http://";
  if (FtpThroughProxy()) {
    host = s.FtpServer;
    port = s.FtpPort;
    scheme = L"ftp://";
  }
  if (host.empty()) return L"";
  // The server setting may carry its scheme: "https://" for a server reached over TLS, whose port
  // is 443 while the port setting keeps its default.
  std::wstring url = host.find(L"://") != std::wstring::npos ? host : scheme + host;
  while (url.size() > 3 && url.back() == L'/' && url.find(L"://") + 3 < url.size()) url.pop_back();
  if (StartsWithText(url, L"https://") && port == L"80") port.clear();
  // A port in the server setting itself ("https://host:18443") is the one used.
  const size_t hostAt = url.find(L"://") + 3, colon = url.find(L':', hostAt);
  if (colon != std::wstring::npos && colon < url.find(L'/', hostAt)) port.clear();
  if (!port.empty()) url += L":" + port;
  std::wstring p = path;
  if (!p.empty() && p[0] == L'/') p.erase(0, 1);
  return url + L"/" + p;
}

std::wstring THttpProtocol::ServerPort() {
  const net::TParsedURL u = net::ParseURL(WideToAnsi(URLFor(L"")));
  if (!u.Port.empty()) return AnsiToWide(u.Port);
  return net::AsciiLower(u.Protocol) == "https" ? L"443" : net::AsciiLower(u.Protocol) == "ftp" ? L"21" : L"80";
}

bool THttpProtocol::NameResolves(const std::wstring& name) {
  if (name.empty()) return false;
  in_addr address{};
  return net::ResolveHost(WideToAnsi(name), address, nullptr, 30000) == net::NetResult::Ok;
}

THttpProtocol::THttpProtocol(TProgram& owner) : TDownloadProtocol(owner), Client(std::make_unique<net::THttpClient>()) {
  const TSettings& s = Settings();
  RootDir = WithTrailingSlash(FtpThroughProxy() ? s.FtpRootDir : s.HttpRootDir);
  net::THttpClient& c = *Client;
  c.URL = WideToAnsi(URLFor(L""));
  c.Agent = kAgent;
  c.Accept = kAccept;
  c.TimeOutMs = s.HttpTimeOut > 0 ? static_cast<DWORD>(s.HttpTimeOut) * 1000u : INFINITE;
  c.Trust.trustedCertificates = WideToAnsi(s.TrustedCertificates);
  c.Trust.allowLegacyProtocols = s.AllowOldTls;
  c.OnSessionConnected = [this](void*) { SetConnected(true); };
  c.OnSessionClosed = [this](void*) { SetConnected(false); };
  c.OnTraffic = [this](void*, int direction, int count) {
    if (Owner.OnTraffic) Owner.OnTraffic(this, direction == 1, count);
  };
  c.OnDocBegin = [this](void*) { OpenDocument(); };
  c.OnDocData = [this](void*, const char* data, int length, std::wstring& failure) {
    return WriteBlock(data, length, failure);
  };
  c.OnDocEnd = [this](void*) { FileStream.reset(); };
  if (s.ProxyUse) {
    c.Proxy = WideToAnsi(s.ProxyServerName);
    c.ProxyPort = WideToAnsi(s.ProxyServerPort);
    c.ProxyUsername = WideToAnsi(s.ProxyLogin);
    c.ProxyPassword = WideToAnsi(s.ProxyPassword);
    c.NoCache = s.ProxyDisableCache;  // each request sets it again for its kind of file
    c.ProxyAuthType = s.ProxyAuthType >= 1 && s.ProxyAuthType <= 4 ? static_cast<net::TProxyAuthType>(s.ProxyAuthType)
                                                                   : net::TProxyAuthType::atNone;
  }
}

THttpProtocol::~THttpProtocol() {
  FileStream.reset();
  Client.reset();
}

bool THttpProtocol::CanResume() {
  if (SystemDownload() || FtpThroughProxy()) return false;
  return Settings().HttpEnableRestore;
}

bool THttpProtocol::CheckServer() {
  if (SystemDownload()) return true;
  const TSettings& s = Settings();
  std::wstring name = FtpThroughProxy() ? s.FtpServer : s.HttpServer;
  if (s.ProxyUse) name = s.ProxyServerName;
  // A server setting may carry its scheme; the name is what follows it.
  net::TParsedURL u = net::ParseURL(WideToAnsi(name));
  std::wstring host = name.find(L"://") != std::wstring::npos ? AnsiToWide(u.Host) : name;
  if (NameResolves(host)) return true;
  Owner.ReportMessage(this, Fmt(L"Недопустимое имя сервера (%s). Сервер с таким именем не существует.", name));
  return false;
}

std::wstring PartialValidatorPath(const std::wstring& partial) { return partial + L".dxrange"; }

namespace {
// The validator of a partial file: what the server called the document when the partial began
// (a strong ETag, else its Last-Modified date) and the document's whole length.
struct PartialValidator {
  std::string value;
  int64_t total = -1;
};

bool ReadValidator(const std::wstring& path, PartialValidator& v) {
  std::string text;
  if (FileSizeOf(path) <= 0 || FileSizeOf(path) > 4096 || !ReadFileBytes(path, text)) return false;
  size_t nl = text.find('\n');
  if (nl == std::string::npos) return false;
  v.value = text.substr(0, nl);
  const std::string total = text.substr(nl + 1, text.find('\n', nl + 1) - nl - 1);
  v.total = 0;
  if (total.empty() || total.size() > 18) return false;
  for (char c : total) {
    if (c < '0' || c > '9') return false;
    v.total = v.total * 10 + (c - '0');
  }
  for (char c : v.value)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;  // it goes into a header line
  return !v.value.empty();
}
}  // namespace

void THttpProtocol::OpenDocument() {
  openFailure_.clear();
  rate_.Start(Settings().MinRate, Settings().HttpTimeOut);
  FileStream.reset();
  net::THttpClient& c = *Client;
  const std::wstring path = c.HttpTempFileName.empty() ? Owner.TempDir + L"http.tmp" : c.HttpTempFileName;
  if (c.PartialContent) {
    // The rest of the partial file: appended at its end, which is where the range began.
    FileStream.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER end{};
    if (FileStream && (!SetFilePointerEx(FileStream.get(), LARGE_INTEGER{}, &end, FILE_END) ||
                       end.QuadPart != c.RangeFrom)) {
      FileStream.reset();
      openFailure_ = Fmt(L"Частично загруженный файл %s изменился во время загрузки", path);
      return;
    }
  } else {
    FileStream.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (continuing_) {
      // The file starts anew: its validator, written before its first byte, lets a later session
      // continue it if this transfer breaks; without one it will be fetched whole.
      const std::wstring vpath = PartialValidatorPath(path);
      const bool strong = !c.ETag.empty() && c.ETag.rfind("W/", 0) != 0;
      const std::string value = strong ? c.ETag : c.LastModified;
      if (!value.empty() && c.ContentLength > 0)
        WriteFileBytes(vpath, value + "\n" + std::to_string(c.ContentLength) + "\n");
      else
        DeleteFileW(vpath.c_str());
    }
  }
  if (!FileStream && openFailure_.empty())
    openFailure_ = Fmt(L"Нельзя создать файл %s. Ошибка Windows: «%s»", path, WindowsErrorText(GetLastError()));
}

bool THttpProtocol::WriteBlock(const char* data, int length, std::wstring& failure) {
  if (!FileStream) {
    failure = openFailure_;
    return false;
  }
  LARGE_INTEGER at{};
  if (FetchLimit > 0 && SetFilePointerEx(FileStream.get(), LARGE_INTEGER{}, &at, FILE_CURRENT) &&
      at.QuadPart + length > FetchLimit) {
    FetchLimitHit = true;
    failure = transferFailure_ = LimitText(at.QuadPart + length);
    FileStream.reset();
    return false;
  }
  if (!rate_.Note(length)) {
    failure = transferFailure_ = rate_.StalledText();
    FileStream.reset();
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(FileStream.get(), data, static_cast<DWORD>(length), &written, nullptr) ||
      written != static_cast<DWORD>(length)) {
    DWORD error = written != static_cast<DWORD>(length) && GetLastError() == 0 ? ERROR_DISK_FULL : GetLastError();
    failure = Fmt(L"Ошибка записи в файл %s. Ошибка Windows: «%s»",
                  Client->HttpTempFileName.empty() ? Owner.TempDir + L"http.tmp" : Client->HttpTempFileName,
                  WindowsErrorText(error));
    FileStream.reset();
    return false;
  }
  return true;
}

bool THttpProtocol::DownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, bool resume,
                                 const std::wstring& localPath) {
  if (SystemDownload()) return SystemDownloadFile(abortHandler, remotePath, localPath);
  net::THttpClient& c = *Client;
  const std::wstring url = URLFor(remotePath);
  c.URL = WideToAnsi(url);
  c.HttpTempFileName = localPath;
  // Maps and signatures (fetched without continuation) change under their names: every cache asks
  // the origin. A published step file never changes, so it may come from a cache unless the
  // settings forbid it.
  c.NoCache = !resume || (Settings().ProxyUse && Settings().ProxyDisableCache);
  ForceDirectories(ExtractFilePath(localPath));
  HttpSavedAbortHandler = abortHandler;
  AbortScope chain(abortHandler, [this](void*) {
    if (HttpSavedAbortHandler) HttpSavedAbortHandler(this);
    Client->Abort();
  });
  openFailure_.clear();
  transferFailure_.clear();
  // A partial file of an earlier transfer is continued where the server can prove it is the
  // same document (If-Range with the validator kept beside it); otherwise it is fetched whole.
  continuing_ = resume && CanResume();
  const std::wstring vpath = PartialValidatorPath(localPath);
  const int64_t have = continuing_ ? FileSizeOf(localPath) : -1;
  PartialValidator validator;
  bool resumable = have > 0 && ReadValidator(vpath, validator) && have < validator.total;
  if (!resumable && have > 0 && JudgedByChecksum) {
    // No validator of the server's, but the map's checksum judges the whole file (a wrong splice
    // is caught there and fetched anew): the range is asked for without If-Range.
    validator = PartialValidator{};
    resumable = true;
  }
  if (!resumable) DeleteFileW(vpath.c_str());
  c.RangeFrom = resumable ? have : -1;
  c.RangeTotal = resumable ? validator.total : -1;
  c.IfRange = resumable ? validator.value : "";
  bool ok = c.Get();
  FileStream.reset();  // closed on every way out, whatever the client reported
  if (!openFailure_.empty()) ok = false;
  if (!ok && resumable && openFailure_.empty() && (c.StatusCode == 416 || c.StatusCode == 206)) {
    // The server does not know that part of this document (416) or sent another (206 that does
    // not fit): the file is fetched whole.
    DeleteFileW(vpath.c_str());
    c.RangeFrom = c.RangeTotal = -1;
    c.IfRange.clear();
    ok = c.Get();
    FileStream.reset();
    if (!openFailure_.empty()) ok = false;
  }
  c.RangeFrom = c.RangeTotal = -1;
  c.IfRange.clear();
  if (!c.SecureSummary.empty()) g_secureNote = c.SecureSummary;
  if (!c.ProxyScheme.empty()) g_proxyNote = c.ProxyScheme;
  if (ok) {
    DeleteFileW(vpath.c_str());  // whole: nothing left to continue
    return true;
  }
  if (!transferFailure_.empty()) {
    Owner.ReportMessage(this, Fmt(L"C сервера нельзя загрузить файл %s. %s.", url, transferFailure_));
    return false;
  }
  std::wstring reason = !openFailure_.empty() ? openFailure_ : c.ReasonPhrase;
  // The client marks faults found on this side (no connection, a failed handshake, a cut
  // transfer, a time-out) with 404 or 426 too: only a status the server sent is its error.
  bool serverSaid = openFailure_.empty() && c.StatusCode != 404 && c.StatusCode != 426;
  for (const std::string& line : c.RcvdHeader)
    if (openFailure_.empty() && line.compare(0, 5, "HTTP/") == 0 && line.size() >= 12)
      serverSaid = line.compare(9, 3, std::to_string(c.StatusCode)) == 0;
  std::wstring detail = reason.empty() ? L""
                        : serverSaid   ? Fmt(L". Ошибка сервера %d: %s", c.StatusCode, reason)
                                       : L". " + reason;
  Owner.ReportMessage(this, Fmt(L"C сервера нельзя загрузить файл %s%s", url, detail));
  return false;
}

namespace {
// The record of one system download, shared by the waiting caller and the helper thread:
// whoever lets go last frees it, so that the caller can leave a download that hangs (Stop, the
// time-out) without waiting for the function to return.
struct SystemCall {
  URLDownloadToFileAFunc function = nullptr;
  std::string url, file;  // file: the helper's own name, moved to the local path on success
  volatile LONG stop = 0;
  volatile LONG abandoned = 0;
  volatile LONG lastActivity = 0;  // GetTickCount of the last sign of life from the function
  ULONG limit = 0;                 // the most bytes the document may have (0: no bound)
  volatile LONG tooLarge = 0;      // set when the document passed the bound
  volatile LONG reached = 0;       // the size it would have had then
  volatile LONG progress = 0;      // the bytes arrived so far
  long result = -1;
  HMODULE module = nullptr;  // the function's library, held by the helper thread until it ends
  LONG refs = 2;
  void Release() {
    if (InterlockedDecrement(&refs) == 0) delete this;
  }
};

// The status callback of the system download: it notes every sign of progress for the time-out
// and cancels the download when Stop was pressed (the function asks it at every block).
class StopCallback final : public IBindStatusCallback {
 public:
  explicit StopCallback(SystemCall& call) : call_(call) { InterlockedIncrement(&call_.refs); }
  virtual ~StopCallback() { call_.Release(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback)) {
      *object = static_cast<IBindStatusCallback*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG, LPCWSTR) override {
    InterlockedExchange(&call_.lastActivity, static_cast<LONG>(GetTickCount()));
    InterlockedExchange(&call_.progress, static_cast<LONG>(progress & 0x7FFFFFFF));
    if (call_.limit > 0 && (progress > call_.limit || progressMax > call_.limit)) {
      const ULONG reached = progress > progressMax ? progress : progressMax;
      InterlockedExchange(&call_.reached, static_cast<LONG>(reached & 0x7FFFFFFF));
      InterlockedExchange(&call_.tooLarge, 1);
      return E_ABORT;
    }
    return call_.stop || call_.abandoned ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

 private:
  SystemCall& call_;
  LONG refs_ = 1;  // the system may hold it after the call returns: it goes with its last reference
};

DWORD WINAPI SystemDownloadThread(void* param) {
  auto* call = static_cast<SystemCall*>(param);
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  auto* callback = new StopCallback(*call);
  call->result = call->function(nullptr, call->url.c_str(), call->file.c_str(), 0, callback);
  callback->Release();
  if (SUCCEEDED(init)) CoUninitialize();
  // A download its caller has left behind leaves nothing on the disk.
  if (call->abandoned) DeleteFileA(call->file.c_str());
  HMODULE module = call->module;
  call->Release();
  // The library stays loaded while this thread may still run in it, even when the program
  // unloads its own reference (at its end) before a download left behind has returned.
  if (module) FreeLibraryAndExitThread(module, 0);
  return 0;
}

// The status line the system kept for a URL in its cache, empty when it kept none.
std::string CachedStatusLine(const std::string& url) {
  DWORD size = 0;
  GetUrlCacheEntryInfoA(url.c_str(), nullptr, &size);
  if (size == 0 || size > (1u << 20)) return "";
  std::vector<char> buffer(size);
  auto* info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOA*>(buffer.data());
  info->dwStructSize = sizeof(INTERNET_CACHE_ENTRY_INFOA);
  if (!GetUrlCacheEntryInfoA(url.c_str(), info, &size) || !info->lpHeaderInfo) return "";
  std::string header(info->lpHeaderInfo, info->dwHeaderInfoSize);
  return header.substr(0, header.find_first_of("\r\n"));
}
}  // namespace

bool THttpProtocol::SystemDownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath,
                                       const std::wstring& localPath) {
  const std::wstring url = URLFor(remotePath);
  ForceDirectories(ExtractFilePath(localPath));
  // A file left from before must not pass for the one fetched now.
  DeleteFileW(localPath.c_str());
  // The function writes a name of this call's own: a download left behind and ending later can
  // never put its file where a later transfer expects its own.
  static LONG serial = 0;
  const std::wstring own = localPath + Fmt(L".~%u-%d", GetCurrentProcessId(), InterlockedIncrement(&serial));
  auto* call = new SystemCall;
  call->function = SystemDownloadFunction();
  call->url = WideToAnsi(url);
  call->file = WideToAnsi(own);
  call->lastActivity = static_cast<LONG>(GetTickCount());
  call->limit = FetchLimit > 0 && FetchLimit < 0xFFFFFFFF ? static_cast<ULONG>(FetchLimit) : 0;
  struct Leave {
    SystemCall* c;
    ~Leave() {
      InterlockedExchange(&c->abandoned, 1);
      c->Release();
    }
  } leave{call};
  auto fail = [&](const std::wstring& why) {
    InterlockedExchange(&call->abandoned, 1);  // from here on a thread still running cleans up after itself
    DeleteFileW(localPath.c_str());
    DeleteFileW(own.c_str());
    Owner.ReportMessage(this, Fmt(L"C сервера нельзя загрузить файл %s. %s", url, why));
    return false;
  };
  // The call blocks until the download ends: it runs on a thread of its own while the window
  // keeps pumping. Stop and the time-out end the wait at once, whether or not the function
  // reports anything; the thread, left behind, cancels at its next block and cleans up after it.
  HttpSavedAbortHandler = abortHandler;
  AbortScope chain(abortHandler, [this, call](void*) {
    if (HttpSavedAbortHandler) HttpSavedAbortHandler(this);
    InterlockedExchange(&call->stop, 1);
  });
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(call->function), &call->module);
  HANDLE thread = CreateThread(nullptr, 0, SystemDownloadThread, call, 0, nullptr);
  if (!thread) {
    if (call->module) FreeLibrary(call->module);
    call->Release();  // the thread's share
    return fail(Fmt(L"Ошибка Windows: «%s»", WindowsErrorText(GetLastError())));
  }
  const int timeOut = Settings().HttpTimeOut;
  TRateWatch rate;
  LONG noted = -1;  // the progress the rate has seen; -1 before the first data
  bool finished = false;
  while (!call->stop) {
    if (WaitWithMessages(&thread, 1, 100) == WAIT_OBJECT_0) {
      finished = true;
      break;
    }
    if (call->tooLarge) {
      CloseHandle(thread);
      FetchLimitHit = true;
      return fail(LimitText(call->reached) + L".");
    }
    const LONG progress = call->progress;
    if (noted < 0 && progress > 0) {
      rate.Start(Settings().MinRate, timeOut);  // the periods count from the first data
      noted = 0;
    }
    if (noted >= 0 && !rate.Note(progress - noted)) {
      CloseHandle(thread);
      return fail(rate.StalledText() + L".");
    }
    if (noted >= 0) noted = progress;
    const DWORD quiet = GetTickCount() - static_cast<DWORD>(call->lastActivity);
    if (timeOut > 0 && quiet >= static_cast<DWORD>(timeOut) * 1000u) {
      CloseHandle(thread);
      return fail(Fmt(L"Сервер не присылает данных дольше %d сек. (тайм-аут ответа): загрузка прервана", timeOut));
    }
  }
  CloseHandle(thread);
  if (call->tooLarge) {
    FetchLimitHit = true;
    return fail(LimitText(call->reached) + L".");
  }
  if (call->stop || !finished) return fail(L"Загрузка прервана пользователем");
  if (call->result != 0)
    return fail(Fmt(L"Системная функция загрузки вернула код ошибки 0x%s",
                    AnsiToWide([&] {
                      char buf[16];
                      std::snprintf(buf, sizeof buf, "%08lX", static_cast<unsigned long>(call->result));
                      return std::string(buf);
                    }())));
  if (!FileExists(own)) return fail(L"Системная функция загрузки сообщила об успехе, но файл не получен");
  // The function may report success for a missing document, with the error page as the file:
  // the status the server gave, where the system kept it, decides.
  const std::string status = CachedStatusLine(call->url);
  if (status.compare(0, 5, "HTTP/") == 0) {
    size_t blank = status.find(' ');
    int code = blank == std::string::npos ? 0 : std::atoi(status.c_str() + blank + 1);
    if (code < 200 || code >= 300 || code == 206)
      return fail(Fmt(L"Ответ сервера: %s", AnsiToWide(status)));
  }
  if (!MoveFileExW(own.c_str(), localPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
    return fail(Fmt(L"Нельзя переименовать загруженный файл в %s. Ошибка Windows: «%s»", localPath,
                    WindowsErrorText(GetLastError())));
  return true;
}

}  // namespace dorvex
