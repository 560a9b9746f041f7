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

namespace dorvex {

namespace {
std::wstring WithTrailingSlash(std::wstring dir) {
  if (dir.empty() || dir.back() != L'/') dir += L'/';
  return dir;
}
}  // namespace

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
  std::wstring url = StartsWithText(host, scheme) ? host : scheme + host;
  if (!port.empty()) url += L":" + port;
  std::wstring p = path;
  if (!p.empty() && p[0] == L'/') p.erase(0, 1);
  return url + L"/" + p;
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
    c.NoCache = s.ProxyDisableCache;
    c.ProxyUsername = WideToAnsi(s.ProxyLogin);
    c.ProxyPassword = WideToAnsi(s.ProxyPassword);
    c.ProxyAuthType = s.ProxyAuthType == 1 ? net::TProxyAuthType::atBasic : net::TProxyAuthType::atNone;
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

void THttpProtocol::OpenDocument() {
  openFailure_.clear();
  FileStream.reset();
  const std::wstring path = Client->HttpTempFileName.empty() ? Owner.TempDir + L"http.tmp" : Client->HttpTempFileName;
  FileStream.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!FileStream)
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
    failure = Fmt(L"Файл больше допустимых %s байт, его загрузка прервана", std::to_wstring(FetchLimit));
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

bool THttpProtocol::DownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, bool,
                                 const std::wstring& localPath) {
  if (SystemDownload()) return SystemDownloadFile(abortHandler, remotePath, localPath);
  net::THttpClient& c = *Client;
  const std::wstring url = URLFor(remotePath);
  c.URL = WideToAnsi(url);
  c.HttpTempFileName = localPath;
  ForceDirectories(ExtractFilePath(localPath));
  HttpSavedAbortHandler = abortHandler;
  AbortScope chain(abortHandler, [this](void*) {
    if (HttpSavedAbortHandler) HttpSavedAbortHandler(this);
    Client->Abort();
  });
  openFailure_.clear();
  bool ok = c.Get();
  FileStream.reset();  // closed on every way out, whatever the client reported
  if (!openFailure_.empty()) ok = false;
  if (ok) return true;
  std::wstring reason = !openFailure_.empty() ? openFailure_ : c.ReasonPhrase;
  int code = !openFailure_.empty() ? 404 : c.StatusCode;
  std::wstring detail = reason.empty() ? L"" : Fmt(L". Ошибка сервера %d: %s", code, reason);
  Owner.ReportMessage(this, Fmt(L"C сервера нельзя загрузить файл %s%s", url, detail));
  return false;
}

namespace {
// The status callback of the system download: its only work is to cancel the download when
// Stop was pressed (the function asks it at every block that arrives).
class StopCallback : public IBindStatusCallback {
 public:
  explicit StopCallback(volatile LONG& stop) : stop_(stop) {}
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
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs_)); }
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return stop_ ? E_ABORT : S_OK; }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

 private:
  volatile LONG& stop_;
  LONG refs_ = 1;  // owned by the call's record, which outlives the call
};

struct SystemCall {
  URLDownloadToFileAFunc function;
  std::string url, file;
  volatile LONG stop = 0;
  long result = -1;
};

DWORD WINAPI SystemDownloadThread(void* param) {
  auto* call = static_cast<SystemCall*>(param);
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  StopCallback callback(call->stop);
  call->result = call->function(nullptr, call->url.c_str(), call->file.c_str(), 0, &callback);
  if (SUCCEEDED(init)) CoUninitialize();
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
  auto fail = [&](const std::wstring& why) {
    DeleteFileW(localPath.c_str());
    Owner.ReportMessage(this, Fmt(L"C сервера нельзя загрузить файл %s. %s", url, why));
    return false;
  };
  SystemCall call;
  call.function = SystemDownloadFunction();
  call.url = WideToAnsi(url);
  call.file = WideToAnsi(localPath);
  // The call blocks until the download ends: it runs on a thread of its own while the window
  // keeps pumping; Stop cancels it at the next block that arrives.
  HttpSavedAbortHandler = abortHandler;
  AbortScope chain(abortHandler, [this, &call](void*) {
    if (HttpSavedAbortHandler) HttpSavedAbortHandler(this);
    InterlockedExchange(&call.stop, 1);
  });
  HANDLE thread = CreateThread(nullptr, 0, SystemDownloadThread, &call, 0, nullptr);
  if (!thread) return fail(Fmt(L"Ошибка Windows: «%s»", WindowsErrorText(GetLastError())));
  while (WaitWithMessages(&thread, 1, INFINITE) != WAIT_OBJECT_0) {
  }
  CloseHandle(thread);
  if (call.stop) return fail(L"Загрузка прервана пользователем");
  if (call.result != 0)
    return fail(Fmt(L"Системная функция загрузки вернула код ошибки 0x%s",
                    AnsiToWide([&] {
                      char buf[16];
                      std::snprintf(buf, sizeof buf, "%08lX", static_cast<unsigned long>(call.result));
                      return std::string(buf);
                    }())));
  if (!FileExists(localPath)) return fail(L"Системная функция загрузки сообщила об успехе, но файл не получен");
  // The function may report success for a missing document, with the error page as the file:
  // the status the server gave, where the system kept it, decides.
  const std::string status = CachedStatusLine(call.url);
  if (status.compare(0, 5, "HTTP/") == 0) {
    size_t blank = status.find(' ');
    int code = blank == std::string::npos ? 0 : std::atoi(status.c_str() + blank + 1);
    if (code < 200 || code >= 300 || code == 206)
      return fail(Fmt(L"Ответ сервера: %s", AnsiToWide(status)));
  }
  return true;
}

}  // namespace dorvex
