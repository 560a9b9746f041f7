#include "net/http.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/text.h"

namespace dorvex::net {

namespace {

std::string Lower(const std::string& s) { return AsciiLower(s); }

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

std::wstring Wide(const std::string& bytes) { return AnsiToWide(bytes); }

}  // namespace

struct THttpClient::Hop {
  Target target;
  std::string connectHost, connectPort;
  std::string requestPath;
  bool sendOriginAuth = true;
  // Per connection.
  std::string line;
  int headerLines = 0;
  int headerBytes = 0;
  bool headerDone = false;
  bool redirect = false;
  bool hasLocation = false;
  std::string location;
  bool complete = false;
  // Proxy authentication: a 407 being read, whether its connection stays open, another round due.
  bool authAnswer = false, askedKeepAlive = false, http11 = false, connectionClose = false, connectionKeep = false;
  bool retry = false;
  int authRounds = 0;
  // A body in chunks (an HTTP/1.1 answer may come so): where the decoder stands.
  bool chunked = false;
  enum class Chunk { Size, Data, DataEnd, Trailer, Done } chunk = Chunk::Size;
  int64_t chunkLeft = 0;
  std::string chunkLine;
};

THttpClient::THttpClient() { StartNetwork(); }

bool THttpClient::Fail(int code, const std::wstring& reason) {
  StatusCode = code;
  ReasonPhrase = reason;
  return false;
}

bool THttpClient::NetFailure(NetResult r, const std::wstring& prefix) {
  switch (r) {
    case NetResult::Aborted:
      state_ = THttpState::Aborting;
      return Fail(404, L"Соединение с сервером прервано");
    case NetResult::TimedOut:
      if (!tlsFailure_.empty()) return Fail(426, tlsFailure_);
      return Fail(426, L"Timeout");
    case NetResult::LookupFailed:
      return Fail(404, L"Нельзя распознать IP-адрес сервера");
    default: {
      if (!tlsFailure_.empty()) return Fail(404, tlsFailure_);
      int e = socket_.Error();
      return Fail(404, prefix + Wide(WinsockErrorText(e)) + L" (ошибка #" + std::to_wstring(e) + L")");
    }
  }
}

void THttpClient::Abort() {
  if (state_ == THttpState::Ready) {
    socket_.Close();
    return;
  }
  aborted_ = true;
  abort_.Set();  // wakes the request's wait; the request tears down in its own loop
}

bool THttpClient::Get() {
  if (Busy()) return false;  // a request is running: "Компонент HTTP занят"
  bool ok = false;
  try {
    ok = Request();
  } catch (const EHttpException& e) {
    ok = Fail(e.Code == 4 ? 404 : e.Code, e.Message);
  } catch (const std::exception&) {
    ok = Fail(404, L"Внутренняя ошибка компонента HTTP");
  }
  tls_.reset();
  socket_.Close();
  state_ = THttpState::Ready;
  if (aborted_) ok = Fail(404, L"Соединение с сервером прервано");
  return ok;
}

bool THttpClient::Request() {
  state_ = THttpState::Starting;
  aborted_ = false;
  abort_.Clear();
  socket_.SetAbortSignal(&abort_);
  socket_.SetTimeout(TimeOutMs);
  DocumentBytes = 0;
  SecureSummary.clear();

  TParsedURL u = ParseURL(URL);
  Hop hop;
  hop.target.protocol = u.Protocol.empty() ? "http" : Lower(u.Protocol);
  hop.target.host = u.Host;
  hop.target.port = u.Port;
  hop.target.path = u.Path.empty() ? "/" : u.Path;
  if (!u.User.empty()) {
    Username = u.User;
    Password = u.Password;
  }
  const std::string originHost = Lower(u.Host), originPort = u.Port;
  ProxyScheme.clear();
  if (Proxy.empty()) {
    auth_.reset();
  } else {
    const std::string proxyHost = ParseURL(Proxy).Host;
    if (!auth_ || !auth_->Same(ProxyAuthType, ProxyUsername, ProxyPassword, proxyHost))
      auth_ = std::make_unique<TProxyAuth>(ProxyAuthType, ProxyUsername, ProxyPassword, proxyHost);
    auth_->NewRequest();
  }

  for (int hops = 0;; ++hops) {
    if (hops > MaxRedirects)
      return Fail(404, L"Слишком много перенаправлений (больше " + std::to_wstring(MaxRedirects) +
                           L"): документ не получен");
    if (Lower(hop.target.host) != originHost || hop.target.port != originPort) hop.sendOriginAuth = false;
    StartHop(hop);
    if (!RunHop(hop)) return false;
    if (!hop.redirect) return true;
  }
}

void THttpClient::StartHop(Hop& hop) {
  ResetAnswer(hop);
  const bool secure = hop.target.protocol == "https";
  if (Proxy.empty() || secure) {
    // Directly, or inside the proxy's tunnel: the origin's own request line.
    hop.connectHost = hop.target.host;
    hop.connectPort = hop.target.port.empty() ? (secure ? "443" : "80") : hop.target.port;
    hop.requestPath = EncodeURLPath(hop.target.path);
  }
  if (!Proxy.empty()) {
    TParsedURL p = ParseURL(Proxy);
    hop.connectHost = p.Host;
    hop.connectPort = p.Port.empty() ? ProxyPort : p.Port;
    if (!secure)
      hop.requestPath = EncodeURLPath(hop.target.protocol + "://" + hop.target.host +
                                      (hop.target.port.empty() ? "" : ":" + hop.target.port) + hop.target.path);
  }
}

void THttpClient::ResetAnswer(Hop& hop) {
  RcvdHeader.clear();
  WWWAuthenticate.clear();
  ProxyAuthenticate.clear();
  StatusCode = 0;
  ReasonPhrase.clear();
  ContentLength = -1;
  ContentType.clear();
  AcceptRanges.clear();
  // Nothing of an earlier answer (a range, a validator) is carried into this one's request.
  ContentRangeBegin.clear();
  ContentRangeEnd.clear();
  ContentRangeTotal.clear();
  PartialContent = false;
  ETag.clear();
  LastModified.clear();
  tlsFailure_.clear();
  hop.line.clear();
  hop.headerLines = hop.headerBytes = 0;
  hop.headerDone = hop.redirect = hop.hasLocation = hop.complete = hop.chunked = false;
  hop.chunk = Hop::Chunk::Size;
  hop.chunkLeft = 0;
  hop.chunkLine.clear();
  hop.location.clear();
  hop.authAnswer = hop.http11 = hop.connectionClose = hop.connectionKeep = false;
  discard_ = false;
  DocumentBytes = 0;
}

std::string THttpClient::BuildRequest(Hop& hop) const {
  std::string r;
  auto line = [&r](const std::string& text) { r += text + "\r\n"; };
  // Servers honour a range only in an HTTP/1.1 request; the connection still carries one request,
  // save a handshake with the proxy that is bound to its connection.
  const bool toProxy = auth_ && hop.target.protocol != "https";
  hop.askedKeepAlive = toProxy && auth_->ConnectionBound();
  line("GET " + hop.requestPath + (RangeFrom >= 0 || hop.askedKeepAlive ? " HTTP/1.1" : " HTTP/1.0"));
  if (RangeFrom >= 0 && !hop.askedKeepAlive) line("Connection: close");
  if (hop.askedKeepAlive) line("Proxy-Connection: keep-alive");
  if (!Sender.empty()) line("From: " + Sender);
  if (!Accept.empty()) line("Accept: " + Accept);
  if (!Reference.empty()) line("Referer: " + Reference);
  if (!Agent.empty()) line("User-Agent: " + Agent);
  line("Host: " + hop.target.host);
  // Any cache on the way asks the origin first (Pragma for HTTP/1.0 caches).
  if (NoCache) {
    line("Cache-Control: max-age=0");
    line("Pragma: no-cache");
  }
  if (ModifiedSince != 0) line("If-Modified-Since: " + RFC1123Date(ModifiedSince) + " GMT");
  if (!Username.empty() && hop.sendOriginAuth) line("Authorization: Basic " + EncodeBase64(Username + ":" + Password));
  // Inside a tunnel the proxy's credentials went with the CONNECT and never reach the origin.
  if (toProxy) {
    const std::string credentials = auth_->Authorization("GET", hop.requestPath);
    if (!credentials.empty()) line("Proxy-Authorization: " + credentials);
  }
  if (!Cookie.empty()) line("Cookie: " + Cookie);
  if (RangeFrom >= 0) {
    line("Range: bytes=" + std::to_string(RangeFrom) + "-");
    if (!IfRange.empty()) line("If-Range: " + IfRange);
  }
  line("");
  return r;
}

bool THttpClient::RunHop(Hop& hop) {
  // A proxy's handshake may need the request once more on a new connection.
  hop.authRounds = 0;
  for (;;) {
    hop.retry = false;
    if (!RunConnection(hop)) return false;
    if (!hop.retry) return true;
    ResetAnswer(hop);
  }
}

bool THttpClient::RunConnection(Hop& hop) {
  state_ = THttpState::HostLookup;
  in_addr address{};
  NetResult r = ResolveHost(hop.connectHost, address, &abort_, TimeOutMs);
  if (r != NetResult::Ok) return NetFailure(r, L"");
  int port = 0;
  for (char c : hop.connectPort) {
    if (c < '0' || c > '9' || port > 65535) return Fail(404, L"Недопустимый номер порта: " + Wide(hop.connectPort));
    port = port * 10 + (c - '0');
  }
  if (port <= 0 || port > 65535) return Fail(404, L"Недопустимый номер порта: " + Wide(hop.connectPort));

  state_ = THttpState::Connecting;
  r = socket_.Connect(address, static_cast<uint16_t>(port));
  if (r != NetResult::Ok) return NetFailure(r, socket_.ConnectCallFailed() ? L"Нельзя установить соединение: " : L"");

  state_ = THttpState::Connected;
  if (OnSessionConnected) OnSessionConnected(this);
  bool documentBegun = false;
  // The session-closed event and the end of the document come on every way out.
  struct Closer {
    THttpClient& c;
    bool& begun;
    ~Closer() {
      c.tls_.reset();
      c.socket_.Close();
      if (c.OnSessionClosed) c.OnSessionClosed(&c);
      if (begun && c.OnDocEnd) c.OnDocEnd(&c);
    }
  } closer{*this, documentBegun};
  if (auth_) auth_->NewConnection();

  if (hop.target.protocol == "https") {
    if (!Proxy.empty() && !OpenTunnel(hop)) return false;
    if (hop.retry) return true;
    if (!StartTls(hop)) return false;
  }

  for (;;) {  // one request, or several on this connection while the proxy's handshake runs
    state_ = THttpState::WaitingHeader;
    const std::string request = BuildRequest(hop);
    RequestLine = request.substr(0, request.find("\r\n"));
    r = SendBytes(request);
    if (r != NetResult::Ok) return NetFailure(r, L"");
    if (OnTraffic) OnTraffic(this, 1, static_cast<int>(request.size()));

    // Large reads: each round trip through the wait costs more than the bytes it moves.
    std::vector<char> buffer(4 * 1024 * 1024);
    for (;;) {
      int got = 0;
      r = ReceiveBytes(buffer.data(), static_cast<int>(buffer.size()), got);
      if (r != NetResult::Ok) {
        if (state_ == THttpState::ReceivingDocument && r == NetResult::Failed && tlsFailure_.empty()) {
          int e = socket_.Error();
          return Fail(404, Wide(WinsockErrorText(e)) + L" (ошибка #" + std::to_wstring(e) + L"). " +
                               Fmt(L"Получено %s байт документа", std::to_wstring(DocumentBytes)) +
                               (ContentLength >= 0 ? Fmt(L" из %s", std::to_wstring(ContentLength)) : L""));
        }
        return NetFailure(r, L"");
      }
      if (got == 0) break;
      if (OnTraffic) OnTraffic(this, 0, got);
      const char* data = buffer.data();
      int left = got;
      while (!hop.headerDone && left > 0) {
        const char* lf = static_cast<const char*>(memchr(data, '\n', static_cast<size_t>(left)));
        int take = lf ? static_cast<int>(lf - data) + 1 : left;
        if (hop.line.size() + static_cast<size_t>(take) > static_cast<size_t>(LineBufferSize) ||
            (!lf && hop.line.size() + static_cast<size_t>(take) >= static_cast<size_t>(LineBufferSize)))
          throw EHttpException(L"Строка HTTP слишком длинная", 4);
        hop.line.append(data, static_cast<size_t>(lf ? take - 1 : take));
        data += take;
        left -= take;
        if (!lf) break;
        std::string line;
        line.swap(hop.line);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        hop.headerBytes += take;
        if (!HeaderLine(hop, line)) return false;
        if (hop.redirect) return true;
        if (hop.headerDone && !hop.authAnswer) {
          documentBegun = true;
          state_ = THttpState::ReceivingDocument;
          if (OnDocBegin) OnDocBegin(this);
        }
      }
      if (hop.headerDone && left > 0 && !(hop.chunked ? DeliverChunks(hop, data, left) : Deliver(data, left)))
        return false;
      if (hop.headerDone &&
          (hop.chunked ? hop.chunk == Hop::Chunk::Done : ContentLength >= 0 && DocumentBytes >= ContentLength)) {
        hop.complete = true;
        break;
      }
    }
    if (hop.authAnswer) {
      if (!AnswerProxy(hop, hop.complete)) return false;
      if (hop.retry) return true;
      ResetAnswer(hop);
      continue;
    }
    if (!hop.headerDone) {
      if (RcvdHeader.empty() && hop.line.empty()) return Fail(404, L"Сервер закрыл соединение, не прислав ответа");
      if (StatusCode == 0) return Fail(404, L"Сервер прислал ответ без строки состояния HTTP");
      return Fail(404, L"Соединение закрыто до конца заголовка ответа");
    }
    if (hop.chunked && hop.chunk != Hop::Chunk::Done)
      return Fail(404, Fmt(L"Соединение закрыто до конца документа: получено %s байт", std::to_wstring(DocumentBytes)));
    if (ContentLength >= 0 && DocumentBytes < ContentLength)
      return Fail(404, Fmt(L"Соединение закрыто до конца документа: получено %s байт из %s",
                           std::to_wstring(DocumentBytes), std::to_wstring(ContentLength)));
    return true;
  }
}

bool THttpClient::AnswerProxy(Hop& hop, bool complete) {
  // The connection serves the next round when the proxy keeps it and its page was read whole.
  const bool same = complete && hop.askedKeepAlive && !hop.connectionClose && (hop.http11 || hop.connectionKeep);
  std::wstring failure;
  if (++hop.authRounds > 8) failure = L"Прокси-сервер снова и снова требует проверки подлинности";
  if (!failure.empty() || !auth_->Challenge(ProxyAuthenticate, same, failure)) {
    RcvdHeader.clear();
    return Fail(407, failure);
  }
  hop.retry = !same;
  return true;
}

NetResult THttpClient::SendBytes(const std::string& bytes) {
  if (!tls_) return socket_.Send(bytes);
  return tls_->Send(bytes.data(), bytes.size(), tlsFailure_);
}

NetResult THttpClient::ReceiveBytes(char* buffer, int size, int& got) {
  if (!tls_) return socket_.Receive(buffer, size, got);
  return tls_->Receive(buffer, size, got, tlsFailure_);
}

bool THttpClient::OpenTunnel(Hop& hop) {
  const std::string authority = hop.target.host + ":" + (hop.target.port.empty() ? "443" : hop.target.port);
  for (;;) {  // a handshake with the proxy may take several rounds on this connection
    hop.askedKeepAlive = auth_ && auth_->ConnectionBound();
    const std::string version = hop.askedKeepAlive ? " HTTP/1.1" : " HTTP/1.0";
    std::string request = "CONNECT " + authority + version + "\r\nHost: " + authority + "\r\n";
    if (!Agent.empty()) request += "User-Agent: " + Agent + "\r\n";
    if (hop.askedKeepAlive) request += "Proxy-Connection: keep-alive\r\n";
    const std::string credentials = auth_ ? auth_->Authorization("CONNECT", authority) : "";
    if (!credentials.empty()) request += "Proxy-Authorization: " + credentials + "\r\n";
    request += "\r\n";
    RequestLine = "CONNECT " + authority + version;
    NetResult r = socket_.Send(request);
    if (r != NetResult::Ok) return NetFailure(r, L"");
    if (OnTraffic) OnTraffic(this, 1, static_cast<int>(request.size()));
    // The proxy's answer, to its empty line; the tunnel carries nothing before the client's hello.
    std::string answer;
    char c = 0;
    while (answer.size() < 4 || answer.compare(answer.size() - 4, 4, "\r\n\r\n") != 0) {
      if (answer.size() >= static_cast<size_t>(MaxHeaderBytes))
        return Fail(404, L"Заголовок ответа HTTP слишком длинный");
      int got = 0;
      r = socket_.Receive(&c, 1, got);
      if (r != NetResult::Ok) return NetFailure(r, L"");
      if (got == 0) return Fail(404, L"Прокси-сервер закрыл соединение, не ответив на запрос CONNECT");
      answer += c;
      if (answer.size() >= 2 && answer.compare(answer.size() - 2, 2, "\n\n") == 0) break;
    }
    if (OnTraffic) OnTraffic(this, 0, static_cast<int>(answer.size()));
    std::string status = answer.substr(0, answer.find_first_of("\r\n"));
    int code = 0;
    if (status.size() >= 12 && status.compare(0, 5, "HTTP/") == 0 && status[8] == ' ') {
      for (int i = 9; i < 12; ++i)
        code = std::isdigit(static_cast<unsigned char>(status[i])) ? code * 10 + (status[i] - '0') : -1000;
    }
    if (code < 100) return Fail(404, L"Прокси-сервер ответил на запрос CONNECT не по протоколу HTTP");
    std::wstring phrase = status.size() > 13 ? Wide(status.substr(13)) : std::to_wstring(code);
    StatusCode = code;
    if (code == 407 && auth_) {
      // The offers, and the page read to its end so that the connection can carry the next round.
      ResetAnswer(hop);
      hop.http11 = status.compare(0, 8, "HTTP/1.1") == 0;
      int64_t length = -1;
      for (size_t at = answer.find('\n'); at != std::string::npos && at + 1 < answer.size();) {
        const size_t end = answer.find('\n', at + 1);
        std::string l = answer.substr(at + 1, (end == std::string::npos ? answer.size() : end) - at - 1);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        const size_t colon = l.find(':');
        if (colon != std::string::npos) {
          const std::string name = Lower(l.substr(0, colon));
          const std::string value = l.substr(l.find_first_not_of(" \t", colon + 1) == std::string::npos
                                                 ? l.size()
                                                 : l.find_first_not_of(" \t", colon + 1));
          if (name == "proxy-authenticate") ProxyAuthenticate.push_back(value);
          if (name == "content-length" && !value.empty() && value.size() < 10 &&
              value.find_first_not_of("0123456789") == std::string::npos)
            length = std::stoll(value);
          if (name == "connection" || name == "proxy-connection") {
            hop.connectionClose = hop.connectionClose || Lower(value).find("close") != std::string::npos;
            hop.connectionKeep = hop.connectionKeep || Lower(value).find("keep-alive") != std::string::npos;
          }
        }
        at = end;
      }
      bool whole = length >= 0 && length <= 1024 * 1024;
      std::vector<char> page(64 * 1024);
      for (int64_t left = whole ? length : 0; left > 0;) {
        int got = 0;
        r = socket_.Receive(page.data(), static_cast<int>(left < 65536 ? left : 65536), got);
        if (r != NetResult::Ok || got == 0) {
          whole = false;
          break;
        }
        left -= got;
      }
      StatusCode = 407;
      if (!AnswerProxy(hop, whole)) return false;
      if (hop.retry) return true;
      continue;
    }
    if (code == 407) return Fail(407, phrase);
    if (code < 200 || code >= 300)
      return Fail(code, phrase + L" (прокси-сервер не открыл соединение с сервером " + Wide(authority) + L")");
    if (auth_) {
      auth_->Accepted();
      ProxyScheme = auth_->Taken();
    }
    StatusCode = 0;
    return true;
  }
}

bool THttpClient::StartTls(Hop& hop) {
  tls_ = std::make_unique<TTlsChannel>(socket_);
  // The handshake as a whole is bounded too: a peer that trickles bytes never holds it.
  const DWORD limit = TimeOutMs == INFINITE ? 120000 : TimeOutMs;
  NetResult r = tls_->Handshake(hop.target.host, Trust, limit, tlsFailure_);
  if (r != NetResult::Ok) return NetFailure(r, L"");
  SecureSummary = tls_->Summary();
  return true;
}

bool THttpClient::DeliverChunks(Hop& hop, const char* data, int length) {
  ContentLength = -1;  // the chunks' sizes count, not a length header
  while (length > 0 && hop.chunk != Hop::Chunk::Done) {
    if (hop.chunk == Hop::Chunk::Data) {
      const int take = hop.chunkLeft < length ? static_cast<int>(hop.chunkLeft) : length;
      if (!Deliver(data, take)) return false;
      data += take;
      length -= take;
      hop.chunkLeft -= take;
      if (hop.chunkLeft == 0) hop.chunk = Hop::Chunk::DataEnd;
      continue;
    }
    // The size line, the line break after a chunk's data, the trailer's lines.
    const char c = *data++;
    --length;
    if (c != '\n') {
      if (hop.chunkLine.size() >= 1024) return Fail(404, L"Строка HTTP слишком длинная");
      if (c != '\r') hop.chunkLine += c;
      continue;
    }
    std::string line;
    line.swap(hop.chunkLine);
    if (hop.chunk == Hop::Chunk::DataEnd) {
      if (!line.empty()) return Fail(404, L"Сервер прислал документ с нарушенной разбивкой на части (chunked)");
      hop.chunk = Hop::Chunk::Size;
    } else if (hop.chunk == Hop::Chunk::Trailer) {
      if (line.empty()) hop.chunk = Hop::Chunk::Done;
    } else {
      int64_t size = 0;
      size_t i = 0;
      for (; i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i])); ++i) {
        if (size > MaxDocumentSize) return Fail(404, L"Документ больше 2 ГБ (2147483647 байт) не загружается");
        size = size * 16 + (std::isdigit(static_cast<unsigned char>(line[i])) ? line[i] - '0'
                                                                                 : std::tolower(static_cast<unsigned char>(line[i])) - 'a' + 10);
      }
      if (i == 0 || (i < line.size() && line[i] != ';' && line[i] != ' ' && line[i] != '\t'))
        return Fail(404, L"Сервер прислал документ с нарушенной разбивкой на части (chunked)");
      hop.chunkLeft = size;
      hop.chunk = size == 0 ? Hop::Chunk::Trailer : Hop::Chunk::Data;
    }
  }
  return true;
}

bool THttpClient::Deliver(const char* data, int length) {
  if (ContentLength >= 0 && DocumentBytes + length > ContentLength) {
    length = static_cast<int>(ContentLength - DocumentBytes);  // bytes beyond the announced length are not the document's
    if (length <= 0) return true;
  }
  if (discard_) {
    DocumentBytes += length;
    return true;
  }
  if (DocumentBytes + length > MaxDocumentSize)
    return Fail(404, L"Документ больше 2 ГБ (2147483647 байт) не загружается");
  DocumentBytes += length;
  if (OnDocData) {
    std::wstring failure;
    if (!OnDocData(this, data, length, failure)) return Fail(404, failure);
  }
  return true;
}

std::string THttpClient::RcvdHeaderValue(const std::string& name) const {
  for (const auto& l : RcvdHeader) {
    size_t colon = l.find(':');
    if (colon != std::string::npos && Lower(l.substr(0, colon)) == name) {
      std::string v = l.substr(colon + 1);
      size_t first = v.find_first_not_of(" \t");
      return first == std::string::npos ? std::string() : v.substr(first);
    }
  }
  return "";
}

bool THttpClient::HeaderLine(Hop& hop, const std::string& line) {
  if (++hop.headerLines > MaxHeaderLines || hop.headerBytes > MaxHeaderBytes)
    return Fail(404, L"Заголовок ответа HTTP слишком длинный");
  if (StartsWithNoCase(line, "<HTML>")) {
    // A bare page instead of an answer: an error page of a server or a gateway, never the file.
    ContentType = "text/html";
    return Fail(404, L"Сервер прислал страницу HTML без заголовка HTTP");
  }
  if (!line.empty()) {
    RcvdHeader.push_back(line);
    if (line.compare(0, 8, "HTTP/1.0") == 0 || line.compare(0, 8, "HTTP/1.1") == 0) {
      if (line.size() >= 12 && line[8] == ' ' && std::isdigit(static_cast<unsigned char>(line[9])) &&
          std::isdigit(static_cast<unsigned char>(line[10])) && std::isdigit(static_cast<unsigned char>(line[11])) &&
          (line.size() == 12 || line[12] == ' ')) {
        StatusCode = std::stoi(line.substr(9, 3));
        hop.http11 = line[7] == '1';
        ReasonPhrase = line.size() > 13 ? Wide(line.substr(13)) : L"";
      }
    } else {
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = Lower(line.substr(0, colon));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t") == std::string::npos ? value.size()
                                                                             : value.find_first_not_of(" \t"));
        if (name == "location") {
          // A control byte in an address could start a header line of the next request.
          for (char c : value)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
              std::string shown;
              for (char d : value) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(d));
                shown += (static_cast<unsigned char>(d) < 0x20 || d == 0x7F) ? std::string(buf) : std::string(1, d);
              }
              return Fail(404, L"Сервер прислал недопустимый адрес перенаправления (в нем есть управляющие символы): " +
                                   Wide(shown.substr(0, 300)));
            }
          hop.hasLocation = true;
          hop.location = value;
        } else if (name == "content-length") {
          int64_t n = 0;
          bool ok = !value.empty();
          for (char c : value) {
            if (c == ' ' || c == '\t') break;
            if (c < '0' || c > '9' || n > MaxDocumentSize * 16) {
              ok = false;
              break;
            }
            n = n * 10 + (c - '0');
          }
          ContentLength = ok ? n : -1;
        } else if (name == "content-range") {
          size_t dash = value.find('-');
          size_t slash = value.find('/');
          ContentRangeBegin = value.size() > 6 ? value.substr(6, dash == std::string::npos ? std::string::npos : dash - 6) : "";
          ContentRangeEnd = dash == std::string::npos ? ""
                                                      : value.substr(dash + 1, slash == std::string::npos ? std::string::npos
                                                                                                          : slash - dash - 1);
          ContentRangeTotal = slash == std::string::npos ? "" : value.substr(slash + 1);
        } else if (name == "etag") {
          ETag = value;
        } else if (name == "last-modified") {
          LastModified = value;
        } else if (name == "accept-ranges") {
          AcceptRanges = value;
        } else if (name == "transfer-encoding") {
          hop.chunked = Lower(value).find("chunked") != std::string::npos;
        } else if (name == "content-type") {
          ContentType = Lower(value);
        } else if (name == "www-authenticate") {
          WWWAuthenticate.push_back(value);
        } else if (name == "proxy-authenticate") {
          ProxyAuthenticate.push_back(value);
        } else if (name == "connection" || name == "proxy-connection") {
          hop.connectionClose = hop.connectionClose || Lower(value).find("close") != std::string::npos;
          hop.connectionKeep = hop.connectionKeep || Lower(value).find("keep-alive") != std::string::npos;
        } else if (name == "set-cookie") {
          if (OnCookie) OnCookie(this, value);
        }
      }
    }
    // The proxy's demand for credentials is read whole (its offers, the page's end); other errors
    // end here.
    if (StatusCode >= 400 && !(StatusCode == 407 && auth_ && hop.target.protocol != "https")) {
      socket_.Close();  // the error's page is not wanted
      return false;
    }
    return true;
  }

  // The empty line: the header is complete.
  if (StatusCode == 0) return Fail(404, L"Сервер прислал ответ без строки состояния HTTP");
  const std::wstring phrase = ReasonPhrase.empty() ? std::to_wstring(StatusCode) : ReasonPhrase;
  const int s = StatusCode;
  if (s == 407) {
    hop.authAnswer = discard_ = hop.headerDone = true;
    return true;
  }
  if (auth_ && hop.target.protocol != "https") {
    auth_->Accepted();
    ProxyScheme = auth_->Taken();
  }
  if (s == 301 || s == 302 || s == 303 || s == 307 || s == 308) {
    if (hop.hasLocation && !hop.location.empty()) {
      ResolveLocation(hop, hop.location);
      if (hop.redirect) return true;
      return false;  // reason set
    }
  }
  if (s >= 300 && s < 400) return Fail(s, phrase + L" (перенаправление без допустимого адреса)");
  if (s < 200) return Fail(s, phrase + L" (промежуточный ответ вместо документа)");
  if (s == 206) {
    // Only the part asked for: from the partial file's end to the end of the same document.
    auto number = [](const std::string& text, int64_t& n) {
      n = 0;
      if (text.empty() || text.size() > 18) return false;
      for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
      }
      return true;
    };
    int64_t begin = -1, end = -1, total = -1;
    const bool fits = RangeFrom >= 0 && StartsWithNoCase(RcvdHeaderValue("content-range"), "bytes ") &&
                      number(ContentRangeBegin, begin) && number(ContentRangeEnd, end) &&
                      number(ContentRangeTotal, total) && begin == RangeFrom && end >= begin && end + 1 == total &&
                      (RangeTotal < 0 || total == RangeTotal) && (ContentLength < 0 || ContentLength == end - begin + 1);
    if (!fits)
      return Fail(s, phrase + L" (сервер прислал не ту часть документа: Content-Range «" +
                         Wide(RcvdHeaderValue("content-range")) + L"»)");
    ContentLength = end - begin + 1;
    PartialContent = true;
    hop.headerDone = true;
    return true;
  }
  if (s >= 300) return Fail(s, phrase + L" (недопустимый код ответа)");
  if (ContentLength > MaxDocumentSize)
    return Fail(404, Fmt(L"Документ больше 2 ГБ (%s байт) не загружается", std::to_wstring(ContentLength)));
  hop.headerDone = true;
  return true;
}

void THttpClient::ResolveLocation(Hop& hop, const std::string& value) {
  const Target next = ResolveRedirect(hop.target, value);
  if (hop.target.protocol == "https" && next.protocol != "https") {
    Fail(404, L"Перенаправление с защищенного соединения (https) на незащищенное отвергнуто: " + Wide(value));
    return;
  }
  const bool hostOk = IsPlainHostPort(next.host, next.port);
  if (!hostOk || (Proxy.empty() && next.protocol == "ftp") ||
      (next.protocol != "http" && next.protocol != "https" && next.protocol != "ftp")) {
    Fail(404, L"Перенаправление по адресу, который не поддерживается: " + Wide(value));
    return;
  }
  hop.target = next;
  hop.redirect = true;
}

}  // namespace dorvex::net
