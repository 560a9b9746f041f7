// A scripted TCP server for the network tests: blocking Windows Sockets on 127.0.0.1 in a
// thread of its own, for what real servers do not do (a body cut short, a reset, a silence).
// Each accepted connection is handed to the script with its index; the server records what
// each connection's client sent before the first empty line (the request header).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dorvex::test {

class ScriptServer {
 public:
  // Script(connection, index): runs on the server's thread; the connection is closed after it.
  using Script = std::function<void(SOCKET s, int index)>;
  explicit ScriptServer(Script script);
  ~ScriptServer();  // stops the thread: a script waiting on Stopped() returns
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  uint16_t Port() const { return port_; }
  int Connections() const;
  std::vector<std::string> Requests() const;  // request headers in order of connection
  HANDLE Stopped() const { return stop_; }    // set when the server is being stopped

  // For scripts: read the request header (to the empty line) and note it; send bytes; close
  // with a reset instead of an orderly close.
  std::string ReadRequest(SOCKET s);
  static bool SendAll(SOCKET s, const std::string& bytes);
  static void Reset(SOCKET s);
  // Waits until the server is stopped or the time runs out.
  void Idle(DWORD ms) const { WaitForSingleObject(stop_, ms); }

 private:
  void Run();
  Script script_;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  HANDLE stop_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  int connections_ = 0;
  std::thread thread_;
};

}  // namespace dorvex::test
