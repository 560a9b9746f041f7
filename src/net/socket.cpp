#include "net/socket.h"

#include <memory>

#include "common/pump.h"

namespace dorvex::net {

bool StartNetwork() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

std::string WinsockErrorText(int code) {
  struct Entry {
    int code;
    const char* text;
  };
  static const Entry kTable[] = {
      {0, "No Error"},
      {WSAEINTR, "Interrupted system call"},
      {WSAEBADF, "Bad file number"},
      {WSAEACCES, "Permission denied"},
      {WSAEFAULT, "Bad address"},
      {WSAEINVAL, "Invalid argument"},
      {WSAEMFILE, "Too many open files"},
      {WSAEWOULDBLOCK, "Operation would block"},
      {WSAEINPROGRESS, "Operation now in progress"},
      {WSAEALREADY, "Operation already in progress"},
      {WSAENOTSOCK, "Socket operation on non-socket"},
      {WSAEDESTADDRREQ, "Destination address required"},
      {WSAEMSGSIZE, "Message too long"},
      {WSAEPROTOTYPE, "Protocol wrong type for socket"},
      {WSAENOPROTOOPT, "Bad protocol option"},
      {WSAEPROTONOSUPPORT, "Protocol not supported"},
      {WSAESOCKTNOSUPPORT, "Socket type not supported"},
      {WSAEOPNOTSUPP, "Operation not supported on socket"},
      {WSAEPFNOSUPPORT, "Protocol family not supported"},
      {WSAEAFNOSUPPORT, "Address family not supported by protocol family"},
      {WSAEADDRINUSE, "Address already in use"},
      {WSAEADDRNOTAVAIL, "Can't assign requested address"},
      {WSAENETDOWN, "Network is down"},
      {WSAENETUNREACH, "Network is unreachable"},
      {WSAENETRESET, "Net dropped connection or reset"},
      {WSAECONNABORTED, "Software caused connection abort"},
      {WSAECONNRESET, "Connection reset by peer"},
      {WSAENOBUFS, "No buffer space available"},
      {WSAEISCONN, "Socket is already connected"},
      {WSAENOTCONN, "Socket is not connected"},
      {WSAESHUTDOWN, "Can't send after socket shutdown"},
      {WSAETOOMANYREFS, "Too many references, can't splice"},
      {WSAETIMEDOUT, "Connection timed out"},
      {WSAECONNREFUSED, "Connection refused"},
      {WSAELOOP, "Too many levels of symbolic links"},
      {WSAENAMETOOLONG, "File name too long"},
      {WSAEHOSTDOWN, "Host is down"},
      {WSAEHOSTUNREACH, "No route to host"},
      {WSAENOTEMPTY, "Directory not empty"},
      {WSAEPROCLIM, "Too many processes"},
      {WSAEUSERS, "Too many users"},
      {WSAEDQUOT, "Disc quota exceeded"},
      {WSAESTALE, "Stale NFS file handle"},
      {WSAEREMOTE, "Too many levels of remote in path"},
      {WSASYSNOTREADY, "Network subsystem is unusable"},
      {WSAVERNOTSUPPORTED, "Winsock DLL cannot support this application"},
      {WSANOTINITIALISED, "Winsock not initialized"},
      {WSAEDISCON, "Disconnect"},
      {WSAHOST_NOT_FOUND, "Host not found"},
      {WSATRY_AGAIN, "Non-authoritative host not found"},
      {WSANO_RECOVERY, "Non-recoverable error"},
      {WSANO_DATA, "Valid name, no data record of requested type"},
  };
  for (const auto& e : kTable)
    if (e.code == code) return e.text;
  return "Not a WinSock error";
}

TAbortSignal::TAbortSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

namespace {

// Time left of a wait that began at start; INFINITE stays INFINITE.
DWORD Left(DWORD start, DWORD limit) {
  if (limit == INFINITE) return INFINITE;
  DWORD spent = GetTickCount() - start;
  return spent >= limit ? 0 : limit - spent;
}

// A lookup shared by the waiting caller and the helper thread; whoever lets go last frees it,
// so an aborted caller never waits for a slow resolver.
struct Lookup {
  std::string host;
  in_addr address{};
  bool found = false;
  UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  LONG refs = 2;
  void Release() {
    if (InterlockedDecrement(&refs) == 0) delete this;
  }
};

DWORD WINAPI LookupThread(void* param) {
  auto* lookup = static_cast<Lookup*>(param);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(lookup->host.c_str(), nullptr, &hints, &result) == 0 && result) {
    lookup->address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
    lookup->found = true;
  }
  if (result) freeaddrinfo(result);
  SetEvent(lookup->done.get());
  lookup->Release();
  return 0;
}

}  // namespace

NetResult ResolveHost(const std::string& host, in_addr& address, const TAbortSignal* abort, DWORD timeoutMs) {
  if (host.empty() || !StartNetwork()) return NetResult::LookupFailed;
  if (host.size() <= 256 && inet_pton(AF_INET, host.c_str(), &address) == 1) return NetResult::Ok;
  if (abort && abort->IsSet()) return NetResult::Aborted;

  auto* lookup = new Lookup;
  lookup->host = host;
  HANDLE thread = CreateThread(nullptr, 64 * 1024, LookupThread, lookup, 0, nullptr);
  if (!thread) {
    delete lookup;
    return NetResult::LookupFailed;
  }
  CloseHandle(thread);
  HANDLE handles[2] = {lookup->done.get(), abort ? abort->Handle() : nullptr};
  const DWORD start = GetTickCount();
  NetResult result = NetResult::LookupFailed;
  for (;;) {
    DWORD r = WaitWithMessages(handles, abort ? 2 : 1, Left(start, timeoutMs));
    if (r == WAIT_OBJECT_0) {
      if (lookup->found) {
        address = lookup->address;
        result = NetResult::Ok;
      }
      break;
    }
    if (r == WAIT_OBJECT_0 + 1) {
      result = NetResult::Aborted;
      break;
    }
    if (r == WAIT_TIMEOUT && Left(start, timeoutMs) == 0) {
      result = NetResult::TimedOut;
      break;
    }
    if (r == WAIT_FAILED) break;
  }
  lookup->Release();
  return result;
}

TAsyncSocket::TAsyncSocket() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

TAsyncSocket::~TAsyncSocket() { Close(); }

NetResult TAsyncSocket::Fail(int code) {
  error_ = code;
  return NetResult::Failed;
}

NetResult TAsyncSocket::Open() {
  Close();
  if (!StartNetwork()) return Fail(WSANOTINITIALISED);
  socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == INVALID_SOCKET) return Fail(WSAGetLastError());
  ResetEvent(event_.get());
  // A receive buffer that holds what arrives while the program paints or writes to disk.
  int buffer = 4 * 1024 * 1024;
  setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
  // The event select makes the socket non-blocking; its event joins the pump's wait.
  if (WSAEventSelect(socket_, event_.get(), FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE | FD_ACCEPT) != 0) {
    int code = WSAGetLastError();
    Close();
    return Fail(code);
  }
  return NetResult::Ok;
}

void TAsyncSocket::Close() {
  if (socket_ != INVALID_SOCKET) {
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }
  seen_ = 0;
  closeError_ = connectError_ = 0;
}

void TAsyncSocket::Collect() {
  if (socket_ == INVALID_SOCKET) return;
  WSANETWORKEVENTS events{};
  if (WSAEnumNetworkEvents(socket_, event_.get(), &events) != 0) return;
  seen_ |= events.lNetworkEvents;
  if (events.lNetworkEvents & FD_CLOSE) closeError_ = events.iErrorCode[FD_CLOSE_BIT];
  if (events.lNetworkEvents & FD_CONNECT) connectError_ = events.iErrorCode[FD_CONNECT_BIT];
}

NetResult TAsyncSocket::WaitFor(long mask) {
  const DWORD start = GetTickCount();
  HANDLE handles[2] = {event_.get(), abort_ ? abort_->Handle() : nullptr};
  const DWORD count = abort_ ? 2 : 1;
  for (;;) {
    if (abort_ && abort_->IsSet()) return NetResult::Aborted;
    Collect();
    if (seen_ & mask) return NetResult::Ok;
    DWORD left = Left(start, timeoutMs_);
    if (left == 0) return NetResult::TimedOut;
    DWORD r = WaitWithMessages(handles, count, left);
    if (r == WAIT_FAILED) return Fail(static_cast<int>(GetLastError()));
  }
}

NetResult TAsyncSocket::WaitAny(TAsyncSocket* const* sockets, int count, int& which, const TAbortSignal* abort,
                                DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  if (count < 1 || count >= MAXIMUM_WAIT_OBJECTS) return NetResult::Failed;
  for (;;) {
    if (abort && abort->IsSet()) return NetResult::Aborted;
    DWORD n = 0;
    for (int i = 0; i < count; ++i) {
      TAsyncSocket* s = sockets[i];
      s->Collect();
      if (s->seen_ & (FD_READ | FD_ACCEPT | FD_CLOSE)) {
        which = i;
        return NetResult::Ok;
      }
      if (s->IsOpen()) handles[n++] = s->event_.get();
    }
    if (abort) handles[n++] = abort->Handle();
    DWORD left = Left(start, timeoutMs);
    if (left == 0) return NetResult::TimedOut;
    if (WaitWithMessages(handles, n, left) == WAIT_FAILED) return NetResult::Failed;
  }
}

NetResult TAsyncSocket::Connect(const std::string& host, uint16_t port) {
  in_addr address{};
  NetResult r = ResolveHost(host, address, abort_, timeoutMs_);
  if (r != NetResult::Ok) return r;
  return Connect(address, port);
}

NetResult TAsyncSocket::Connect(const in_addr& address, uint16_t port) {
  connectCallFailed_ = true;
  NetResult r = Open();
  if (r != NetResult::Ok) return r;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = address;
  to.sin_port = htons(port);
  if (connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return NetResult::Ok;
  int code = WSAGetLastError();
  if (code != WSAEWOULDBLOCK) return Fail(code);
  connectCallFailed_ = false;
  r = WaitFor(FD_CONNECT);
  if (r != NetResult::Ok) return r;
  if (connectError_ != 0) return Fail(connectError_);
  return NetResult::Ok;
}

NetResult TAsyncSocket::Send(const char* data, size_t size) {
  while (size > 0) {
    if (abort_ && abort_->IsSet()) return NetResult::Aborted;
    int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    int sent = send(socket_, data, chunk, 0);
    if (sent > 0) {
      data += sent;
      size -= static_cast<size_t>(sent);
      continue;
    }
    int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) return Fail(code);
    seen_ &= ~FD_WRITE;
    NetResult r = WaitFor(FD_WRITE | FD_CLOSE);
    if (r != NetResult::Ok) return r;
    if (!(seen_ & FD_WRITE) && (seen_ & FD_CLOSE)) return Fail(closeError_ ? closeError_ : WSAECONNRESET);
  }
  return NetResult::Ok;
}

NetResult TAsyncSocket::Receive(char* buffer, int size, int& received) {
  received = 0;
  for (;;) {
    if (abort_ && abort_->IsSet()) return NetResult::Aborted;
    int got = recv(socket_, buffer, size, 0);
    if (got >= 0) {
      // The receive re-enables the read event: more waiting data is reported anew.
      if (got > 0) seen_ &= ~FD_READ;
      received = got;
      return NetResult::Ok;
    }
    int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) return Fail(code);
    if (seen_ & FD_CLOSE) {
      // Everything that came before the close has been read.
      if (closeError_ != 0) return Fail(closeError_);
      return NetResult::Ok;
    }
    seen_ &= ~FD_READ;
    NetResult r = WaitFor(FD_READ | FD_CLOSE);
    if (r != NetResult::Ok) return r;
  }
}

NetResult TAsyncSocket::Listen(const in_addr& address, uint16_t& port) {
  NetResult r = Open();
  if (r != NetResult::Ok) return r;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = address;
  local.sin_port = 0;
  if (bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(socket_, 1) != 0) {
    int code = WSAGetLastError();
    Close();
    return Fail(code);
  }
  port = LocalPort();
  return NetResult::Ok;
}

NetResult TAsyncSocket::Accept(TAsyncSocket& into) {
  for (;;) {
    if (abort_ && abort_->IsSet()) return NetResult::Aborted;
    SOCKET s = accept(socket_, nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      seen_ &= ~FD_ACCEPT;
      into.Close();
      into.socket_ = s;
      ResetEvent(into.event_.get());
      // An accepted socket inherits the listener's event select; it gets its own event.
      if (WSAEventSelect(s, into.event_.get(), FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        int code = WSAGetLastError();
        into.Close();
        return Fail(code);
      }
      return NetResult::Ok;
    }
    int code = WSAGetLastError();
    if (code != WSAEWOULDBLOCK) return Fail(code);
    seen_ &= ~FD_ACCEPT;
    NetResult r = WaitFor(FD_ACCEPT);
    if (r != NetResult::Ok) return r;
  }
}

in_addr TAsyncSocket::LocalAddress() const {
  sockaddr_in local{};
  int size = sizeof local;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &size);
  return local.sin_addr;
}

in_addr TAsyncSocket::PeerAddress() const {
  sockaddr_in peer{};
  int size = sizeof peer;
  getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &size);
  return peer.sin_addr;
}

uint16_t TAsyncSocket::LocalPort() const {
  sockaddr_in local{};
  int size = sizeof local;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &size);
  return ntohs(local.sin_port);
}

}  // namespace dorvex::net
