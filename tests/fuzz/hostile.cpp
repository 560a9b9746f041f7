// The HTTP and FTP clients against scripted loopback servers that answer with mutated replies,
// now and then stalling mid-reply: a bounded number of requests, the process's handles and
// private bytes counted before and after, and the longest request against the time-out.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "engine.h"
#include "net/ftp.h"
#include "net/ftp_server.h"
#include "net/http.h"
#include "net/script_server.h"

namespace dorvex::fuzz {

namespace {
struct Counts {
  DWORD handles = 0;
  SIZE_T privateBytes = 0;
};
// Open handles, counted by asking after every handle value: Wine answers the system's own
// handle count with 0, but keeps its handle values small and dense.
DWORD CountHandles() {
  DWORD n = 0, flags = 0;
  for (uintptr_t h = 4; h < 0x20000; h += 4)
    if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) ++n;
  return n;
}
// The private memory of the process: the system's figure, or under Wine (which leaves it 0)
// the data segment of the process as the host's kernel reports it.
SIZE_T PrivateMemory() {
  PROCESS_MEMORY_COUNTERS_EX m{};
  m.cb = sizeof m;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m);
  if (m.PrivateUsage) return m.PrivateUsage;
  HANDLE f = CreateFileA("Z:\\proc\\self\\status", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return 0;
  char buf[8192];
  DWORD got = 0;
  ReadFile(f, buf, sizeof buf - 1, &got, nullptr);
  CloseHandle(f);
  buf[got] = 0;
  const char* at = std::strstr(buf, "VmData:");
  return at ? static_cast<SIZE_T>(std::strtoull(at + 7, nullptr, 10)) * 1024 : 0;
}
Counts Now() {
  Counts c;
  c.handles = CountHandles();
  c.privateBytes = PrivateMemory();
  return c;
}
double MiB(SIZE_T b) { return b / 1048576.0; }

std::vector<Bytes> Seeds(const std::string& dir) {
  std::vector<Bytes> out;
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  std::vector<std::string> names;
  do {
    if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(fd.cFileName);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) {
    HANDLE f = CreateFileA((dir + "\\" + n).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) continue;
    char buf[65536];
    DWORD got = 0;
    ReadFile(f, buf, sizeof buf, &got, nullptr);
    CloseHandle(f);
    out.emplace_back(buf, got);
  }
  return out;
}

const std::vector<std::string> kHttpTokens = {"HTTP/1.0 200 OK\r\n", "HTTP/1.1 302 Found\r\n", "Location: /x\r\n",
                                              "Content-Length: 5\r\n", "\r\n\r\n", "<HTML>", "HTTP/1.1 500 \r\n"};
const std::vector<std::string> kFtpTokens = {"220-", "220 ", "\r\n", "230 ", "150 ", "226 ", "421 ", "999-", "\n"};

struct Tally {
  int ok = 0, failed = 0, timedOut = 0;
  DWORD longestMs = 0;
};

int Verdict(const char* what, int requests, const Counts& before, const Counts& after, const Tally& t, DWORD limitMs,
            DWORD boundMs) {
  std::printf(
      "hostile %s: %d requests: handles %lu before, %lu after; private bytes %.1f MiB before, %.1f MiB after; "
      "%d succeeded, %d failed, %d timed out; the longest took %lu ms (time-out %lu ms)\n",
      what, requests, before.handles, after.handles, MiB(before.privateBytes), MiB(after.privateBytes), t.ok, t.failed,
      t.timedOut, t.longestMs, limitMs);
  bool bad = false;
  if (after.handles > before.handles + 2) {
    std::printf("hostile %s: handles grew by %lu\n", what, after.handles - before.handles);
    bad = true;
  }
  if (after.privateBytes > before.privateBytes + 8u * 1024 * 1024) {
    std::printf("hostile %s: private bytes grew by %.1f MiB\n", what, MiB(after.privateBytes - before.privateBytes));
    bad = true;
  }
  if (t.longestMs > boundMs) {
    std::printf("hostile %s: a request ran %lu ms, past its bound of %lu ms\n", what, t.longestMs, boundMs);
    bad = true;
  }
  if (t.ok == 0 || t.failed == 0) {
    std::printf("hostile %s: the replies did not try both ways out\n", what);
    bad = true;
  }
  return bad ? 1 : 0;
}

int RunHttp(int requests, uint64_t seed, const std::string& corpusDir) {
  std::vector<Bytes> seeds = Seeds(corpusDir + "\\httpreply");
  if (seeds.empty()) {
    std::printf("hostile http: no seed replies in %s\\httpreply\n", corpusDir.c_str());
    return 1;
  }
  TMutator m(seed);
  std::mutex mutex;
  Bytes reply;
  bool stall = false, first = true;
  test::ScriptServer* self = nullptr;
  test::ScriptServer server([&](SOCKET s, int) {
    self->ReadRequest(s);
    Bytes r;
    bool st;
    {
      std::lock_guard<std::mutex> lock(mutex);
      // A redirect followed gets a short document: one mutated reply per request.
      r = first ? reply : Bytes("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
      st = stall && first;
      first = false;
    }
    if (st) {
      test::ScriptServer::SendAll(s, r.substr(0, r.size() / 2));
      self->Idle(4000);  // silent, with the connection open, past the client's time-out
      return;
    }
    test::ScriptServer::SendAll(s, r);
  });
  self = &server;
  const DWORD limitMs = 1000;
  net::THttpClient client;
  client.URL = "http://origin.test/dir/map.nrm";
  client.Proxy = "127.0.0.1";  // every hop goes to the loopback server, whatever a Location says
  client.ProxyPort = std::to_string(server.Port());
  client.TimeOutMs = limitMs;
  client.OnDocData = [](void*, const char*, int, std::wstring&) { return true; };
  Tally t;
  Counts before;
  const int warmUp = 20;
  for (int i = 0; i < warmUp + requests; ++i) {
    if (i == warmUp) {
      before = Now();
      t = Tally{};
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      const Bytes& base = seeds[m.Below(seeds.size())];
      reply = m.Below(3) == 0 ? base : m.Mutate(base, seeds, kHttpTokens, 64 * 1024);
      stall = m.Below(100) == 0;
      first = true;
    }
    const DWORD start = GetTickCount();
    const bool ok = client.Get();
    const DWORD took = GetTickCount() - start;
    if (i >= warmUp) {
      t.longestMs = std::max(t.longestMs, took);
      if (ok) ++t.ok;
      else if (client.StatusCode == 426) ++t.timedOut;
      else ++t.failed;
    }
  }
  const Counts after = Now();
  // A stalled reply is waited out once, for the time-out; the bound allows for a loaded machine.
  return Verdict("http", requests, before, after, t, limitMs, limitMs + 3000);
}

class MemorySink : public net::TFtpSink {
 public:
  int64_t Size() override { return -1; }
  bool Begin(int64_t) override {
    bytes.clear();
    return true;
  }
  bool Write(const char* data, size_t size) override {
    bytes.append(data, size);
    return bytes.size() < 1024 * 1024;
  }
  void End(bool) override {}
  std::string bytes;
};

int RunFtp(int requests, uint64_t seed) {
  TMutator m(seed);
  const std::vector<Bytes> replies = {"331 password\r\n", "230 in\r\n", "200 binary\r\n",
                                      "200 port ok\r\n", "150 here it comes\r\n", "226 done\r\n", "221 bye\r\n"};
  const std::vector<Bytes> banners = {"220 ready\r\n", "220-Welcome\r\n2024 maintenance\r\n220-more\r\n220 ready\r\n",
                                      "421 too many users\r\n"};
  const DWORD limitMs = 1000;
  Tally t;
  Counts before;
  // A request is one command of the client with its reply (the connection with its banner
  // counts as one); a session makes up to six.
  const int warmUp = 10;
  int sent = 0, sessions = 0;
  for (int i = 0; i < warmUp || sent < requests; ++i) {
    if (i == warmUp) {
      before = Now();
      t = Tally{};
      sent = 0;
    }
    ++sessions;
    // The script for this session, decided before the server starts.
    std::vector<Bytes> script;
    // Now and then one reply mutated: often enough that every step meets odd replies, rarely
    // enough that many sessions still run to the end.
    script.push_back(m.Below(4) ? banners[m.Below(banners.size())] : m.Mutate(banners[m.Below(banners.size())], banners, kFtpTokens, 8192));
    for (const auto& r : replies) script.push_back(m.Below(12) == 0 ? m.Mutate(r, replies, kFtpTokens, 8192) : r);
    const size_t stallAt = m.Below(100) == 0 ? 1 + m.Below(script.size() - 1) : 0;
    const Bytes payload(m.Below(5000), 'x');
    test::ScriptedFtpServer server([&](test::FtpScript& s) {
      s.Send(script[0]);
      for (size_t k = 1; k < script.size(); ++k) {
        const std::string line = s.ReadLine();
        if (line.empty()) return;
        if (k == stallAt) {
          Sleep(limitMs + 1500);  // silent past the client's time-out
          return;
        }
        const Bytes& r = script[k];
        s.Send(r);
        if (line.rfind("RETR", 0) == 0 && !r.empty() && r[0] == '1' && s.LastPort().rfind("127,", 0) == 0) {
          // The file on the client's own loopback address, then the transfer's final reply.
          SOCKET d = s.ConnectData();
          if (d != INVALID_SOCKET) {
            test::FtpScript::SendAll(d, payload);
            closesocket(d);
          }
          if (k + 1 < script.size()) s.Send(script[++k]);
        }
      }
    });
    bool ok = false;
    DWORD longest = 0;
    std::string last;
    bool timedOut = false;
    {
    net::TFtpClient c;
    c.HostName = "127.0.0.1";
    c.Port = server.PortText();
    c.UserName = "anonymous";
    c.PassWord = "fuzz@";
    c.HostFileName = "/upgrade/map.nrm";
    c.Timeout = static_cast<int>(limitMs / 1000);
    MemorySink sink;
    c.Sink = &sink;
    auto timed = [&](auto op) {
      ++sent;
      const DWORD start = GetTickCount();
      const bool ok = op();
      longest = std::max(longest, GetTickCount() - start);
      return ok;
    };
    ok = timed([&] { return c.Open(); }) && timed([&] { return c.User(); }) &&
                    timed([&] { return c.Pass(); }) && timed([&] { return c.TypeSet(); }) &&
                    timed([&] { return c.Get(); });
    if (c.Connected()) timed([&] { return c.Quit(); });
    c.Abort();
    last = c.LastResponse();
    timedOut = c.TimedOut();
    }  // the client is gone, its connections closed: the script ends
    server.Finish(limitMs + 3000);
    if (std::getenv("DORVEX_FUZZ_VERBOSE"))
      std::printf("session %d: %s after %lu ms: %s\n", i, ok ? "done" : "failed", longest, last.c_str());
    if (i >= warmUp) {
      t.longestMs = std::max(t.longestMs, longest);
      if (ok) ++t.ok;
      else if (timedOut) ++t.timedOut;
      else ++t.failed;
    }
  }
  const Counts after = Now();
  std::printf("hostile ftp: %d requests in %d sessions\n", sent, sessions - warmUp);
  return Verdict("ftp", sent, before, after, t, limitMs, limitMs + 3000);
}
}  // namespace

int RunHostile(const std::string& which, int requests, uint64_t seed, const std::string& corpusDir) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  if (which == "http") return RunHttp(requests, seed, corpusDir);
  if (which == "ftp") return RunFtp(requests, seed);
  std::printf("unknown hostile run %s\n", which.c_str());
  return 2;
}

}  // namespace dorvex::fuzz
