// The asynchronous TCP socket of the network clients. Every wait of a socket goes through the
// program's one message pump (WaitWithMessages): the socket's own event (WSAEventSelect) and the
// client's abort event join the pump's handle set, so the window stays alive, an idle wait costs
// no processor time, and Stop (which runs inside that wait) wakes it at once. The socket work
// itself is done here, inside the wait's caller, never from a window procedure.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/handles.h"

namespace dorvex::net {

// The outcome of a socket operation. Failed carries a Windows Sockets error number (Error()).
enum class NetResult { Ok, Aborted, TimedOut, LookupFailed, Failed };

// Starts Windows Sockets once for the process; false when it cannot be started.
bool StartNetwork();

// The English description of a Windows Sockets error number; "Not a WinSock error" for any
// number outside the table.
std::string WinsockErrorText(int code);

// A manual-reset event that a client's Abort sets and a new request clears. Setting it wakes
// every wait of the sockets that carry it.
class TAbortSignal {
 public:
  TAbortSignal();
  void Set() { SetEvent(event_.get()); }
  void Clear() { ResetEvent(event_.get()); }
  bool IsSet() const { return WaitForSingleObject(event_.get(), 0) == WAIT_OBJECT_0; }
  HANDLE Handle() const { return event_.get(); }

 private:
  UniqueHandle event_;
};

// Looks up an IPv4 address. A dotted numeric address is taken as it stands; a name is looked up
// by a helper thread of its own while the pump runs, so neither the window nor Stop waits for a
// slow resolver. The lookup ends early when the abort signal is set (Aborted) or the time runs
// out (TimedOut; INFINITE for none).
NetResult ResolveHost(const std::string& host, in_addr& address, const TAbortSignal* abort, DWORD timeoutMs);

class TAsyncSocket {
 public:
  TAsyncSocket();
  ~TAsyncSocket();
  TAsyncSocket(const TAsyncSocket&) = delete;
  TAsyncSocket& operator=(const TAsyncSocket&) = delete;

  // The signal that ends this socket's waits early, and the longest wait for the peer
  // (an inactivity limit: each wait for data, a connection or room to send starts it anew).
  void SetAbortSignal(const TAbortSignal* abort) { abort_ = abort; }
  void SetTimeout(DWORD timeoutMs) { timeoutMs_ = timeoutMs; }
  DWORD Timeout() const { return timeoutMs_; }

  // Connects to the address; waits for the connection to be made.
  NetResult Connect(const in_addr& address, uint16_t port);
  // Looks the host up (see ResolveHost) and connects.
  NetResult Connect(const std::string& host, uint16_t port);
  // Sends every byte.
  NetResult Send(const char* data, size_t size);
  NetResult Send(const std::string& data) { return Send(data.data(), data.size()); }
  // Receives what has arrived, at most size bytes, waiting for at least one byte. received is
  // 0 when the peer has closed the connection.
  NetResult Receive(char* buffer, int size, int& received);

  // Listens on a port the system chooses, on the given local address; port receives it.
  NetResult Listen(const in_addr& address, uint16_t& port);
  // Waits for a connection to a listening socket and hands it to into.
  NetResult Accept(TAsyncSocket& into);

  // Waits until one of the sockets has something to do (data, a connection, a close, room to
  // send) and returns its index in which; the socket then answers Receive or Accept without
  // waiting. Lets a client watch two connections at once (a control and a data connection).
  static NetResult WaitAny(TAsyncSocket* const* sockets, int count, int& which, const TAbortSignal* abort,
                           DWORD timeoutMs);

  // The local address of a connected socket (the address a peer reaches this host by).
  in_addr LocalAddress() const;
  uint16_t LocalPort() const;
  // The address of the peer of a connected or accepted socket.
  in_addr PeerAddress() const;

  void Close();
  bool IsOpen() const { return socket_ != INVALID_SOCKET; }
  int Error() const { return error_; }  // the Windows Sockets error number of the last failure
  // The error that came with the peer's close (WSAECONNRESET for a reset); 0 for a clean close.
  int CloseError() const { return closeError_; }
  // Whether the last Connect failed in the connect call itself rather than later.
  bool ConnectCallFailed() const { return connectCallFailed_; }

 private:
  NetResult Open();
  NetResult Fail(int code);
  // Waits for one of the events in mask (FD_*); Ok when one of them has been seen.
  NetResult WaitFor(long mask);
  void Collect();  // moves the socket's pending network events into seen_

  SOCKET socket_ = INVALID_SOCKET;
  UniqueHandle event_;
  const TAbortSignal* abort_ = nullptr;
  DWORD timeoutMs_ = INFINITE;
  long seen_ = 0;         // network events seen and not yet consumed
  int closeError_ = 0;    // the error that came with FD_CLOSE
  int connectError_ = 0;  // the error that came with FD_CONNECT
  int error_ = 0;
  bool connectCallFailed_ = false;
};

}  // namespace dorvex::net
