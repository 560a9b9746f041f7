// A small scripted FTP server for the tests: a thread with blocking Windows Sockets on
// 127.0.0.1 that takes one control connection and plays a script against it, for what real
// servers do not do (odd replies, refused REST, early replies, foreign data connections).
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace dorvex::test {

class FtpScript;

class ScriptedFtpServer {
 public:
  explicit ScriptedFtpServer(std::function<void(FtpScript&)> script);
  ~ScriptedFtpServer();  // waits for the script to end
  ScriptedFtpServer(const ScriptedFtpServer&) = delete;
  ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

  unsigned short Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  // Every byte the client sent on the control connection so far.
  std::string Received() const;
  // Waits for the script's end (at most timeoutMs); false when it still runs.
  bool Finish(DWORD timeoutMs = 10000);

 private:
  friend class FtpScript;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  mutable std::mutex mutex_;
  std::string received_;
  std::thread thread_;
  HANDLE done_ = nullptr;
};

// What a script does with its connection; every call blocks its own thread only.
class FtpScript {
 public:
  FtpScript(ScriptedFtpServer& server, SOCKET control) : server_(server), control_(control) {}
  ~FtpScript();
  void Send(const std::string& bytes);
  void SendSlowly(const std::string& bytes);  // one byte per send
  // The next command line without its line end; empty when the client closed the connection.
  std::string ReadLine();
  // Reads a command and answers it; returns the command.
  std::string Answer(const std::string& reply);
  // The usual opening: banner, USER 331, PASS 230, TYPE 200.
  void Login();
  // Connects to the address of the client's last PORT command, from the given local address.
  SOCKET ConnectData(const char* from = "127.0.0.1");
  static void SendAll(SOCKET s, const std::string& bytes);
  static void Reset(SOCKET s);  // closes with RST
  // Waits until the client closes the connection (true) or the time runs out.
  bool WaitClosed(SOCKET s, DWORD timeoutMs);
  void CloseControl();
  const std::string& LastPort() const { return lastPort_; }

 private:
  ScriptedFtpServer& server_;
  SOCKET control_;
  std::string pending_;
  std::string lastPort_;
};

}  // namespace dorvex::test
