#include "net/script_server.h"

#include <stdexcept>

#include "net/socket.h"

namespace dorvex::test {

ScriptServer::ScriptServer(Script script) : script_(std::move(script)), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  net::StartNetwork();
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 8) != 0)
    throw std::runtime_error("script server: cannot listen");
  int size = sizeof a;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { Run(); });
}

ScriptServer::~ScriptServer() {
  SetEvent(stop_);
  closesocket(listener_);  // ends a waiting accept
  if (thread_.joinable()) thread_.join();
  CloseHandle(stop_);
}

void ScriptServer::Run() {
  for (int index = 0;; ++index) {
    SOCKET s = accept(listener_, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    script_(s, index);
    closesocket(s);
    if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0) return;
  }
}

int ScriptServer::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

std::vector<std::string> ScriptServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::string ScriptServer::ReadRequest(SOCKET s) {
  std::string got;
  char c;
  while (got.size() < 65536 && (got.size() < 4 || got.compare(got.size() - 4, 4, "\r\n\r\n") != 0)) {
    if (recv(s, &c, 1, 0) != 1) break;
    got += c;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(got);
  return got;
}

bool ScriptServer::SendAll(SOCKET s, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    int n = send(s, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ScriptServer::Reset(SOCKET s) {
  linger l{1, 0};  // a hard close: the peer sees a reset
  setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

}  // namespace dorvex::test
