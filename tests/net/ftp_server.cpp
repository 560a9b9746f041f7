#include "net/ftp_server.h"

#include <cstdio>

namespace dorvex::test {

ScriptedFtpServer::ScriptedFtpServer(std::function<void(FtpScript&)> script) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at);
  listen(listener_, 4);
  int size = sizeof at;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size);
  port_ = ntohs(at.sin_port);
  done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = std::thread([this, script = std::move(script)] {
    SOCKET control = accept(listener_, nullptr, nullptr);
    if (control != INVALID_SOCKET) {
      FtpScript s(*this, control);
      script(s);
    }
    SetEvent(done_);
  });
}

ScriptedFtpServer::~ScriptedFtpServer() {
  closesocket(listener_);  // a script still waiting for its client gives up
  if (thread_.joinable()) thread_.join();
  CloseHandle(done_);
}

std::string ScriptedFtpServer::Received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool ScriptedFtpServer::Finish(DWORD timeoutMs) { return WaitForSingleObject(done_, timeoutMs) == WAIT_OBJECT_0; }

FtpScript::~FtpScript() {
  if (control_ != INVALID_SOCKET) closesocket(control_);
}

void FtpScript::SendAll(SOCKET s, const std::string& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    int n = send(s, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

void FtpScript::Send(const std::string& bytes) { SendAll(control_, bytes); }

void FtpScript::SendSlowly(const std::string& bytes) {
  for (char c : bytes) {
    send(control_, &c, 1, 0);
    Sleep(1);
  }
}

std::string FtpScript::ReadLine() {
  for (;;) {
    size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("PORT ", 0) == 0) lastPort_ = line.substr(5);
      return line;
    }
    char buffer[4096];
    int n = recv(control_, buffer, sizeof buffer, 0);
    if (n <= 0) return "";
    pending_.append(buffer, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(server_.mutex_);
    server_.received_.append(buffer, static_cast<size_t>(n));
  }
}

std::string FtpScript::Answer(const std::string& reply) {
  std::string line = ReadLine();
  Send(reply);
  return line;
}

void FtpScript::Login() {
  Send("220 ready\r\n");
  Answer("331 password please\r\n");
  Answer("230 welcome\r\n");
  Answer("200 binary\r\n");
}

SOCKET FtpScript::ConnectData(const char* from) {
  unsigned a = 0, b = 0, c = 0, d = 0, p1 = 0, p2 = 0;
  if (std::sscanf(lastPort_.c_str(), "%u,%u,%u,%u,%u,%u", &a, &b, &c, &d, &p1, &p2) != 6) return INVALID_SOCKET;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = inet_addr(from);
  bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl((a << 24) | (b << 16) | (c << 8) | d);
  to.sin_port = htons(static_cast<u_short>((p1 << 8) | p2));
  if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

void FtpScript::Reset(SOCKET s) {
  linger l{1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  closesocket(s);
}

bool FtpScript::WaitClosed(SOCKET s, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{0, 50000};
    if (select(0, &set, nullptr, nullptr, &tv) > 0) {
      char c;
      int n = recv(s, &c, 1, 0);
      if (n <= 0) return true;
    }
  }
  return false;
}

void FtpScript::CloseControl() {
  closesocket(control_);
  control_ = INVALID_SOCKET;
}

}  // namespace dorvex::test
