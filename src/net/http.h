// A small HTTP/1.0 client: one GET per request on its own connection, directly or through an
// HTTP proxy (which may also relay ftp:// URLs), over TLS for https:// (through the proxy in a
// CONNECT tunnel), Basic authorisation to the origin and Basic, Digest, NTLM or Negotiate to the
// proxy (the last two keep their connection through the handshake), redirects followed. The document's bytes go to the owner's sink as they arrive; the
// client never opens a file itself. Get waits through the program's message pump, so the
// window stays alive and Abort (the Stop button) ends a request from inside that wait.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/proxyauth.h"
#include "net/socket.h"
#include "net/tls.h"
#include "net/url.h"

namespace dorvex::net {

enum class THttpState { Ready, Starting, HostLookup, Connecting, Connected, WaitingHeader, ReceivingDocument, Aborting };

// A fault of a request. Code 1: busy; 2: nothing to post; 4: a line too long; else the
// final status code with its reason phrase.
class EHttpException {
 public:
  EHttpException(std::wstring message, int code) : Message(std::move(message)), Code(code) {}
  std::wstring Message;
  int Code;
};

class THttpClient {
 public:
  static constexpr int LineBufferSize = 8192;
  static constexpr int MaxHeaderLines = 200;
  static constexpr int MaxHeaderBytes = 64 * 1024;
  static constexpr int MaxRedirects = 20;
  static constexpr int64_t MaxDocumentSize = 0x7FFFFFFF;

  using SenderEvent = std::function<void(void* sender)>;
  // A block of the document. Returns false to end the request (the sink could not store it);
  // failure then carries the reason shown to the user.
  using DocDataEvent = std::function<bool(void* sender, const char* data, int length, std::wstring& failure)>;
  using TrafficEvent = std::function<void(void* sender, int direction, int count)>;

  THttpClient();
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  // What to fetch and how.
  std::string URL;
  std::string Proxy;
  std::string ProxyPort = "80";
  TProxyAuthType ProxyAuthType = TProxyAuthType::atNone;
  std::string ProxyUsername, ProxyPassword;
  std::string Agent = "Mozilla/3.0 (compatible)";
  std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  bool NoCache = false;
  std::string Username, Password;
  double ModifiedSince = 0;
  std::string Cookie;
  // Continuation: with RangeFrom >= 0 the request asks for the bytes from there on, "If-Range:"
  // carrying IfRange (a validator the server gave). A 206 is then accepted only when its
  // Content-Range starts at RangeFrom and, with RangeTotal >= 0, names that total.
  int64_t RangeFrom = -1;
  int64_t RangeTotal = -1;
  std::string IfRange;
  // The server's certificate checks and the protocols allowed for https://.
  TTlsTrust Trust;
  std::string Sender, Reference, ContentTypePost = "application/x-www-form-urlencoded";
  bool MultiThreaded = false;
  // Inactivity limit of a request in milliseconds: the longest wait for the name, the
  // connection or the next received block. INFINITE for none.
  DWORD TimeOutMs = INFINITE;

  // Results of the last request.
  int StatusCode = 0;
  std::wstring ReasonPhrase;
  int64_t ContentLength = -1;
  std::string ContentType;
  std::string AcceptRanges;
  std::string ContentRangeBegin, ContentRangeEnd, ContentRangeTotal;  // of the last answer only
  bool PartialContent = false;  // a 206 accepted for RangeFrom: the document's bytes continue a file
  std::string ETag, LastModified;
  std::wstring SecureSummary;  // protocol and cipher of the last TLS connection; empty for plain HTTP
  std::vector<std::string> RcvdHeader;
  std::vector<std::string> WWWAuthenticate;
  std::wstring HttpTempFileName;  // the owner's note of the local file; the client never reads it
  int64_t DocumentBytes = 0;      // document bytes handed to OnDocData
  std::string RequestLine;        // the request line last sent, for the messages
  std::vector<std::string> ProxyAuthenticate;  // of the last 407
  std::wstring ProxyScheme;  // the scheme the proxy took for the last request; "" for none

  // OnDocBegin comes when the header of a success status is complete, before any document
  // byte (so an empty document still makes its file); OnDocEnd follows it on every way out.
  SenderEvent OnSessionConnected, OnSessionClosed, OnDocBegin, OnDocEnd;
  DocDataEvent OnDocData;
  TrafficEvent OnTraffic;
  std::function<void(void* sender, const std::string& cookie)> OnCookie;

  // Fetches URL; true only when a whole document arrived with a success status (2xx other than
  // 206). On false StatusCode and ReasonPhrase say why (status 404 for faults found here).
  bool Get();
  // Ends a running request from inside its wait (the Stop button); closes an idle socket.
  void Abort();
  THttpState State() const { return state_; }
  bool Busy() const { return state_ != THttpState::Ready; }

 private:
  using Target = TUrlTarget;
  struct Hop;
  bool Request();
  void StartHop(Hop& hop);
  bool RunHop(Hop& hop);
  bool RunConnection(Hop& hop);
  void ResetAnswer(Hop& hop);
  // A 407 of the proxy: true when the request goes again (hop.retry: on a new connection).
  bool AnswerProxy(Hop& hop, bool sameConnection);
  bool Fail(int code, const std::wstring& reason);
  bool NetFailure(NetResult r, const std::wstring& prefix);
  std::string BuildRequest(Hop& hop) const;
  // One received header line; false when the request ends here (with the reason set).
  bool HeaderLine(Hop& hop, const std::string& line);
  bool Deliver(const char* data, int length);
  bool DeliverChunks(Hop& hop, const char* data, int length);
  std::string RcvdHeaderValue(const std::string& lowerName) const;
  void ResolveLocation(Hop& hop, const std::string& value);
  // The proxy's tunnel to the origin for https://, then the handshake; false with the reason set.
  bool OpenTunnel(Hop& hop);
  bool StartTls(Hop& hop);
  NetResult SendBytes(const std::string& bytes);
  NetResult ReceiveBytes(char* buffer, int size, int& got);

  THttpState state_ = THttpState::Ready;
  TAbortSignal abort_;
  TAsyncSocket socket_;
  std::unique_ptr<TTlsChannel> tls_;
  std::wstring tlsFailure_;
  bool aborted_ = false;
  std::unique_ptr<TProxyAuth> auth_;  // kept between requests: a Digest nonce is used again
  bool discard_ = false;              // the body of a 407 is read to keep the connection, never delivered
};

}  // namespace dorvex::net
