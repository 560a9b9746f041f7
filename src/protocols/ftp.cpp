#include "protocols/ftp.h"

#include <windows.h>

#include "common/clock.h"
#include "common/routines.h"
#include "common/text.h"

namespace dorvex {

// ---- the file sink ----

int64_t TFileSink::Size() {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &data)) return -1;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool TFileSink::Begin(int64_t offset) {
  End(false);
  error_ = 0;
  position_ = offset > 0 ? offset : 0;
  Rate.Start(MinRate, Period);
  // Others may read the partial copy while it grows; nobody else may write it.
  file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, offset > 0 ? OPEN_EXISTING : CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) {
    error_ = GetLastError();
    return false;
  }
  if (offset > 0) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    // Whatever lies beyond the offset is not what the server sends next: cut it off.
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN) || !SetEndOfFile(file_)) {
      error_ = GetLastError();
      End(false);
      return false;
    }
  }
  return true;
}

bool TFileSink::Write(const char* data, size_t size) {
  if (Limit > 0 && position_ + static_cast<int64_t>(size) > Limit) {
    LimitHit = true;
    Reached = position_ + static_cast<int64_t>(size);
    error_ = ERROR_FILE_TOO_LARGE;
    return false;
  }
  if (!Rate.Note(static_cast<int64_t>(size))) {
    Stalled = true;
    error_ = ERROR_TIMEOUT;
    return false;
  }
  position_ += static_cast<int64_t>(size);
  while (size > 0) {
    DWORD put = 0;
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    if (!WriteFile(file_, data, chunk, &put, nullptr) || put == 0) {
      error_ = GetLastError();
      return false;
    }
    data += put;
    size -= put;
  }
  return true;
}

void TFileSink::End(bool) {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

// ---- the protocol ----

TFtpProtocol::TFtpProtocol(TProgram& owner) : TDownloadProtocol(owner), Client(std::make_unique<net::TFtpClient>()) {
  const TSettings& s = Settings();
  RootDir = s.FtpRootDir;
  if (RootDir.empty() || RootDir.back() != L'/') RootDir += L'/';
  Client->HostName = WideToAnsi(s.FtpServer);
  Client->Port = WideToAnsi(s.FtpPort);
  Client->Timeout = s.FtpTimeOut;
  Client->UserName = WideToAnsi(s.FtpUserName);
  Client->PassWord = WideToAnsi(s.FtpPassword);
  Client->OnSessionConnected = [this](void*, int) { SetConnected(true); };
  Client->OnSessionClosed = [this](void*, int) { SetConnected(false); };
  Client->OnTraffic = [this](void*, bool sent, int32_t count) { ReportTraffic(sent, count); };
}

void TFtpProtocol::ReportTraffic(bool sent, int32_t count) {
  if (sent) {
    if (Owner.OnTraffic) Owner.OnTraffic(this, true, count);
    return;
  }
  pendingReceived_ += count;
  if (TickCount() - lastReport_ >= 100) FlushTraffic();
}

void TFtpProtocol::FlushTraffic() {
  lastReport_ = TickCount();
  const int32_t count = pendingReceived_;
  pendingReceived_ = 0;
  if (count > 0 && Owner.OnTraffic) Owner.OnTraffic(this, false, count);
}

TFtpProtocol::~TFtpProtocol() {
  Disconnect();
  Client->OnSessionConnected = nullptr;
  Client->OnSessionClosed = nullptr;
  Client->OnTraffic = nullptr;
  Client.reset();
}

bool TFtpProtocol::CanResume() { return Settings().FtpEnableRestore; }

bool TFtpProtocol::CheckServer() {
  const std::wstring& server = Settings().FtpServer;
  in_addr address{};
  if (!server.empty() && net::StartNetwork() &&
      net::ResolveHost(WideToAnsi(server), address, nullptr, 30000) == net::NetResult::Ok)
    return true;
  Owner.ReportMessage(this, Fmt(L"Недопустимое имя сервера (%s). Сервер с таким именем не существует.", server));
  return false;
}

bool TFtpProtocol::Connect() {
  Client->SetTag(0);
  const bool ok = Client->Open();
  FlushTraffic();
  if (ok) return true;
  Owner.ReportMessage(this, Fmt(L"Ошибка при соединении с сервером (ftp://%s:%s). Сервер недоступен или не отвечает на "
                                L"запросы.",
                                Settings().FtpServer, Settings().FtpPort));
  return false;
}

void TFtpProtocol::Disconnect() {
  if (Connected && Client) Client->Quit();
  FlushTraffic();
}

bool TFtpProtocol::Login() {
  struct Flush {
    TFtpProtocol& p;
    ~Flush() { p.FlushTraffic(); }
  } flush{*this};
  if (!Client->User()) {
    Owner.ReportMessage(this, L"Недопустимое имя пользователя для ftp-сервера");
    return false;
  }
  // A server that let the user in with 230 wants no password; PASS would only be refused.
  if (Client->StatusCode() != 230 && !Settings().FtpPassword.empty() && !Client->Pass()) {
    Owner.ReportMessage(this, L"Неправильный пароль пользователя для ftp-сервера");
    return false;
  }
  if (!Client->TypeSet()) {
    const std::wstring reply = AnsiToWide(Client->LastResponse());
    Owner.ReportMessage(this, reply.empty() ? L"Ftp-сервер не принял двоичный режим передачи (TYPE I)"
                                            : Fmt(L"Ftp-сервер не принял двоичный режим передачи (TYPE I). Ответ "
                                                  L"сервера: %s",
                                                  reply));
    return false;
  }
  return true;
}

bool TFtpProtocol::DownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, bool resume,
                                const std::wstring& localPath) {
  Client->HostFileName = WideToAnsi(remotePath);
  Client->LocalFileName = WideToAnsi(localPath);
  Client->ResumeAt = 0;
  ForceDirectories(ExtractFilePath(localPath));

  FtpSavedAbortHandler = abortHandler;
  stopped_ = false;
  AbortScope chain(abortHandler, [this](void*) {
    if (FtpSavedAbortHandler) FtpSavedAbortHandler(this);
    stopped_ = true;
    Client->SetTag(11);
  });

  TFileSink sink(localPath);
  sink.Limit = FetchLimit;
  sink.MinRate = Settings().MinRate;
  sink.Period = Settings().FtpTimeOut;
  const int64_t size = sink.Size();
  if (resume && size >= 0)
    Client->ResumeAt = size;
  else
    DeleteFileW(localPath.c_str());

  Client->Sink = &sink;
  const bool ok = Settings().FtpEnableRestore ? Client->RestGet() : Client->Get();
  Client->Sink = nullptr;
  FlushTraffic();
  if (sink.LimitHit) FetchLimitHit = true;
  if (ok && !sink.LimitHit && !sink.Stalled) return true;

  const std::wstring reply = AnsiToWide(Client->LastResponse());
  std::wstring detail = reply.empty() ? L"" : L". Ответ сервера: " + reply;
  if (sink.LimitHit) detail = L". " + LimitText(sink.Reached);
  if (sink.Stalled) detail = L". " + sink.Rate.StalledText();
  if (Client->TimedOut() && !stopped_)
    detail += Fmt(L". Истекло время ожидания ответа сервера (%s сек.)", std::to_wstring(Client->Timeout));
  Owner.ReportMessage(this, Fmt(L"C ftp-сервера нельзя загрузить файл %s%s", remotePath, detail));
  return false;
}

}  // namespace dorvex
