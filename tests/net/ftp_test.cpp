// The FTP client: its reply reader and command lines on bytes, and the client itself against a
// scripted server on loopback for the replies and data connections real servers do not make.
#include "net/ftp.h"

#include <gtest/gtest.h>

#include <climits>

#include "common/clock.h"
#include "net/ftp_server.h"
#include "test_util.h"

using namespace dorvex;
using namespace dorvex::net;
using test::FtpScript;
using test::ScriptedFtpServer;

namespace {
std::vector<TFtpReply> ReadAll(TFtpReplyReader& r, const std::string& bytes, size_t piece = 0) {
  std::vector<TFtpReply> out;
  std::string rest;
  size_t at = 0;
  while (at < bytes.size() || !rest.empty()) {
    if (rest.empty()) {
      size_t n = piece ? std::min(piece, bytes.size() - at) : bytes.size() - at;
      rest = bytes.substr(at, n);
      at += n;
    }
    size_t used = r.Feed(rest.data(), rest.size());
    rest.erase(0, used);
    if (r.HasReply()) out.push_back(r.Take());
  }
  return out;
}

// A sink in memory that can be told to refuse writing.
struct MemorySink : TFtpSink {
  std::string bytes;
  bool exists = false;
  bool failWrites = false;
  int begins = 0, ends = 0;
  int64_t beganAt = -1;
  bool lastComplete = false;
  int64_t Size() override { return exists ? static_cast<int64_t>(bytes.size()) : -1; }
  bool Begin(int64_t offset) override {
    ++begins;
    beganAt = offset;
    if (offset > 0 && offset <= static_cast<int64_t>(bytes.size()))
      bytes.resize(static_cast<size_t>(offset));
    else if (offset == 0)
      bytes.clear();
    exists = true;
    return true;
  }
  bool Write(const char* data, size_t size) override {
    if (failWrites) return false;
    bytes.append(data, size);
    return true;
  }
  void End(bool complete) override {
    ++ends;
    lastComplete = complete;
  }
};

struct Client : TFtpClient {
  MemorySink sink;
  std::vector<std::string> events;
  int sentBytes = 0, receivedBytes = 0;
  explicit Client(const ScriptedFtpServer& server, int timeout = 5) {
    HostName = "127.0.0.1";
    Port = server.PortText();
    UserName = "vasya";
    PassWord = "secret";
    HostFileName = "/dir/file.bin";
    LocalFileName = "file.bin";
    Timeout = timeout;
    Sink = &sink;
    OnSessionConnected = [this](void*, int) { events.push_back("connected"); };
    OnSessionClosed = [this](void*, int) { events.push_back("closed"); };
    OnTraffic = [this](void*, bool sent, int32_t n) { (sent ? sentBytes : receivedBytes) += n; };
  }
  bool Login() { return Open() && User() && Pass() && TypeSet(); }
};

std::string Pattern(size_t n, uint32_t seed = 7) { return test::PatternBytes(n, seed); }

// Sends a file over a fresh data connection, then the closing reply.
void SendFile(FtpScript& s, const std::string& bytes, const char* final = "226 done\r\n") {
  SOCKET d = s.ConnectData();
  FtpScript::SendAll(d, bytes);
  closesocket(d);
  s.Send(final);
}
}  // namespace

TEST(FtpReplyReader, LinesRepliesAndMultiLineRules) {
  TFtpReplyReader r;
  // Bare LF and CR LF both end lines; noise and non-reply lines are skipped.
  auto got = ReadAll(r, "hello\r\n220 ready\n");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Code, 220);
  EXPECT_EQ(got[0].Line, "220 ready");
  // A bare code is a whole reply; "2024 maintenance" is not a reply line at all.
  got = ReadAll(r, "2024 maintenance\r\n200\r\n");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Line, "200");
  // A multi-line reply ends only at its own code followed by a blank, whatever digit-led lines
  // come inside it; fed one byte at a time it comes out the same.
  const std::string multi =
      "220-Welcome\r\n2024 maintenance window\r\n230 not the end\r\n220-still going\r\n220\r\n 220 indented\r\n"
      "221 other code\r\n220 last line\r\n331 next\r\n";
  for (size_t piece : {size_t{0}, size_t{1}, size_t{5}}) {
    TFtpReplyReader m;
    got = ReadAll(m, multi, piece);
    ASSERT_EQ(got.size(), 2u) << piece;
    EXPECT_EQ(got[0].Line, "220 last line");
    EXPECT_EQ(got[1].Code, 331);
  }
  // Reading stops after the reply that is complete, so it can be judged before the next one.
  TFtpReplyReader one;
  const std::string two = "150 go\r\n226 done\r\n";
  size_t used = one.Feed(two.data(), two.size());
  EXPECT_EQ(used, 8u);
  EXPECT_EQ(one.Take().Code, 150);
  // Three digits and then anything but a blank or "-" is no reply line.
  bool dash = false;
  EXPECT_EQ(TFtpReplyReader::LineCode("220x", dash), -1);
  EXPECT_EQ(TFtpReplyReader::LineCode("22", dash), -1);
  EXPECT_EQ(TFtpReplyReader::LineCode("550-x", dash), 550);
  EXPECT_TRUE(dash);
}

TEST(FtpReplyReader, AnOverLongLineIsCutAndTheRestSkipped) {
  TFtpReplyReader r;
  std::string line = "250 " + std::string(4996, 'a') + "Z";  // 5001 bytes
  auto got = ReadAll(r, line + "\r\n200 ok\r\n", 700);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].Code, 250);
  EXPECT_EQ(got[0].Line.size(), 4096u);
  EXPECT_EQ(got[0].Line.find('Z'), std::string::npos);
  EXPECT_EQ(got[1].Line, "200 ok");  // the skipped rest did not spill into the next reply
  // Without bare LFs accepted, only CR LF ends a line.
  TFtpReplyReader strict(false);
  got = ReadAll(strict, "200 a\nb\r\n");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].Line, "200 a\nb");
}

TEST(FtpCommands, LineBreaksInArgumentsAreRefused) {
  std::string line;
  EXPECT_TRUE(BuildFtpCommand("USER", "anonymous", line));
  EXPECT_EQ(line, "USER anonymous\r\n");
  EXPECT_TRUE(BuildFtpCommand("QUIT", "", line));
  EXPECT_EQ(line, "QUIT\r\n");
  for (const std::string& bad : {std::string("x\r\nDELE y"), std::string("x\ny"), std::string("x\ry"),
                                std::string("x\0y", 3)})
    EXPECT_FALSE(BuildFtpCommand("RETR", bad, line));
  EXPECT_EQ(FtpPortArgument(0x7F000001, 0x1234), "127,0,0,1,18,52");
  EXPECT_EQ(FtpPortArgument(0xC0A80A05, 21), "192,168,10,5,0,21");
}

TEST(FtpClient, MultiLineBannerByteByByteAndTheExactCommands) {
  const std::string file = Pattern(100000);
  ScriptedFtpServer server([&](FtpScript& s) {
    s.SendSlowly("220-Welcome\r\n2024 maintenance\r\n220-more\r\n220 ready\r\n");
    s.Answer("331 password\r\n");
    s.Answer("230 in\r\n");
    s.Answer("200 binary\r\n");
    s.Answer("200 port ok\r\n");
    s.Answer("150 here it comes\r\n");
    SendFile(s, file);
    s.Answer("221 bye\r\n");
  });
  Client c(server);
  ASSERT_TRUE(c.Open()) << c.LastResponse();
  EXPECT_EQ(c.LastResponse(), "220 ready");
  EXPECT_TRUE(c.Connected());
  EXPECT_TRUE(c.User());
  EXPECT_TRUE(c.Pass());
  EXPECT_TRUE(c.TypeSet());
  ASSERT_TRUE(c.Get()) << c.LastResponse();
  EXPECT_EQ(c.sink.bytes, file);
  EXPECT_TRUE(c.sink.lastComplete);
  EXPECT_EQ(c.LastResponse(), "226 done");
  EXPECT_TRUE(c.Quit());
  EXPECT_FALSE(c.Connected());
  server.Finish();
  const std::string wire = server.Received();
  const std::string head = "USER vasya\r\nPASS secret\r\nTYPE I\r\nPORT 127,0,0,1,";
  EXPECT_EQ(wire.substr(0, head.size()), head);
  EXPECT_NE(wire.find("\r\nRETR /dir/file.bin\r\nQUIT\r\n"), std::string::npos) << wire;
  EXPECT_EQ(c.events, (std::vector<std::string>{"connected", "closed"}));
  EXPECT_GE(c.receivedBytes, static_cast<int>(file.size()));
  EXPECT_EQ(c.sentBytes, static_cast<int>(wire.size()) - 2 * 6);  // the command texts without their line ends
}

TEST(FtpClient, BannerOtherThan220AndCommandsWithoutConnection) {
  ScriptedFtpServer server([](FtpScript& s) {
    s.Send("421 too many users\r\n");
    s.CloseControl();
  });
  Client c(server);
  EXPECT_FALSE(c.Open());
  EXPECT_EQ(c.LastResponse(), "421 too many users");
  EXPECT_EQ(c.RequestResult(), 421);
  EXPECT_FALSE(c.Connected());
  EXPECT_TRUE(c.events.empty());
  EXPECT_FALSE(c.User());
  EXPECT_EQ(c.LastResponse(), "FTP component not connected");
  c.UserName.clear();
  EXPECT_FALSE(c.User());
  EXPECT_EQ(c.LastResponse(), "UserName emtpy");
  c.PassWord.clear();
  EXPECT_FALSE(c.Pass());
  EXPECT_EQ(c.LastResponse(), "Password emtpy");
}

TEST(FtpClient, RestAnswersDecideWhereTheFileContinues) {
  const std::string file = Pattern(5000, 3);
  struct Case {
    const char* reply;
    bool appended;
  };
  for (Case k : {Case{"350 restarting at 1000\r\n", true}, Case{"200 whatever\r\n", false},
                 Case{"450 not now\r\n", false}, Case{"502 REST not implemented\r\n", false}}) {
    ScriptedFtpServer server([&](FtpScript& s) {
      s.Login();
      s.Answer("200 port ok\r\n");
      s.Answer(k.reply);
      s.Answer("150 go\r\n");
      SendFile(s, k.appended ? file.substr(1000) : file);
    });
    Client c(server);
    c.sink.bytes = file.substr(0, 1000);
    c.sink.bytes.replace(10, 5, "XXXXX");  // the partial copy's own bytes stay where they are
    c.sink.exists = true;
    ASSERT_TRUE(c.Login());
    ASSERT_TRUE(c.RestGet()) << k.reply << c.LastResponse();
    server.Finish();
    const std::string wire = server.Received();
    EXPECT_NE(wire.find("\r\nREST 1000\r\nRETR /dir/file.bin\r\n"), std::string::npos) << wire;
    if (k.appended) {
      EXPECT_EQ(c.sink.beganAt, 1000);
      EXPECT_EQ(c.RestartedAt(), 1000);
      EXPECT_EQ(c.sink.bytes.substr(1000), file.substr(1000));
      EXPECT_EQ(c.sink.bytes.substr(10, 5), "XXXXX");
    } else {
      // Not continued: the file is fetched whole into an emptied copy, also after a refusal
      // (502) that would otherwise fail this file on every attempt.
      EXPECT_EQ(c.sink.beganAt, 0) << k.reply;
      EXPECT_EQ(c.sink.bytes, file) << k.reply;
    }
  }
  // No partial copy, or an empty one: no REST at all.
  for (bool exists : {false, true}) {
    ScriptedFtpServer server([&](FtpScript& s) {
      s.Login();
      s.Answer("200 port ok\r\n");
      s.Answer("150 go\r\n");
      SendFile(s, file);
    });
    Client c(server);
    c.sink.exists = exists;
    ASSERT_TRUE(c.Login());
    ASSERT_TRUE(c.RestGet());
    server.Finish();
    EXPECT_EQ(server.Received().find("REST"), std::string::npos);
    EXPECT_EQ(c.sink.bytes, file);
  }
}

TEST(FtpClient, FailuresAfterTheTransferStarted) {
  // 150 and then 426: a failure with the server's line.
  {
    ScriptedFtpServer server([](FtpScript& s) {
      s.Login();
      s.Answer("200 port ok\r\n");
      s.Answer("150 go\r\n");
      SOCKET d = s.ConnectData();
      FtpScript::SendAll(d, "partial");
      s.Send("426 Connection closed; transfer aborted.\r\n");
      s.WaitClosed(d, 3000);
      closesocket(d);
    });
    Client c(server);
    ASSERT_TRUE(c.Login());
    EXPECT_FALSE(c.Get());
    EXPECT_EQ(c.LastResponse(), "426 Connection closed; transfer aborted.");
    EXPECT_FALSE(c.sink.lastComplete);
  }
  // A local write error, then 226: a failure, and the server is told by the closed connection.
  {
    bool serverSawClose = false;
    ScriptedFtpServer server([&](FtpScript& s) {
      s.Login();
      s.Answer("200 port ok\r\n");
      s.Answer("150 go\r\n");
      SOCKET d = s.ConnectData();
      FtpScript::SendAll(d, "first block");
      serverSawClose = s.WaitClosed(d, 3000);
      closesocket(d);
      s.Send("226 Transfer complete\r\n");
      s.ReadLine();
    });
    Client c(server);
    c.sink.failWrites = true;
    ASSERT_TRUE(c.Login());
    EXPECT_FALSE(c.Get());
    EXPECT_EQ(c.LastResponse(), "Error writing local file file.bin");
    server.Finish();
    EXPECT_TRUE(serverSawClose);
  }
  // 550 to RETR: the server's line; the listener is gone and the client stays usable.
  {
    ScriptedFtpServer server([](FtpScript& s) {
      s.Login();
      s.Answer("200 port ok\r\n");
      s.Answer("550 Failed to open file.\r\n");
      s.Answer("221 bye\r\n");
    });
    Client c(server);
    ASSERT_TRUE(c.Login());
    EXPECT_FALSE(c.Get());
    EXPECT_EQ(c.LastResponse(), "550 Failed to open file.");
    EXPECT_EQ(c.RequestResult(), 550);
    EXPECT_TRUE(c.Quit());
  }
}

TEST(FtpClient, TheFinalReplyBeforeTheDataEndsWaitsForTheData) {
  const std::string file = Pattern(300000, 9);
  ScriptedFtpServer server([&](FtpScript& s) {
    s.Login();
    s.Answer("200 port ok\r\n");
    s.ReadLine();
    s.Send("150 go\r\n226 Transfer complete\r\n");
    SOCKET d = s.ConnectData();
    Sleep(300);
    FtpScript::SendAll(d, file);
    closesocket(d);
  });
  Client c(server);
  ASSERT_TRUE(c.Login());
  ASSERT_TRUE(c.Get()) << c.LastResponse();
  EXPECT_EQ(c.sink.bytes, file);
}

TEST(FtpClient, OnlyTheServerMayConnectForData) {
  bool strangerDropped = false;
  ScriptedFtpServer server([&](FtpScript& s) {
    s.Login();
    s.Answer("200 port ok\r\n");
    s.Answer("150 go\r\n");
    SOCKET stranger = s.ConnectData("127.0.0.2");
    FtpScript::SendAll(stranger, "INJECTED");
    strangerDropped = stranger != INVALID_SOCKET && s.WaitClosed(stranger, 3000);
    closesocket(stranger);
    SendFile(s, "genuine bytes");
  });
  Client c(server);
  ASSERT_TRUE(c.Login());
  ASSERT_TRUE(c.Get()) << c.LastResponse();
  server.Finish();
  EXPECT_TRUE(strangerDropped);
  EXPECT_EQ(c.sink.bytes, "genuine bytes");
}

TEST(FtpClient, AFiveThousandByteReplyLine) {
  ScriptedFtpServer server([](FtpScript& s) {
    s.Send("220 ready\r\n");
    s.Answer("331 " + std::string(4996, 'p') + "\r\n");
    s.Answer("230 in\r\n");
  });
  Client c(server);
  ASSERT_TRUE(c.Open());
  ASSERT_TRUE(c.User());
  EXPECT_EQ(c.LastResponse().size(), 4096u);
  ASSERT_TRUE(c.Pass());
  EXPECT_EQ(c.LastResponse(), "230 in");
}

TEST(FtpClient, ASilentServerTimesOutAndAClosedOneFailsAtOnce) {
  // Time-out 1: the banner never comes.
  {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ScriptedFtpServer server([&](FtpScript&) { WaitForSingleObject(release, 10000); });
    Client c(server, 1);
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(c.Open());
    const DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 4000u);
    EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
    EXPECT_TRUE(c.TimedOut());
    EXPECT_EQ(c.StatusCode(), 426);
    SetEvent(release);
    server.Finish();
    CloseHandle(release);
  }
  // Time-out 1 in the middle of a transfer: the detail stays the last line received.
  {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ScriptedFtpServer server([&](FtpScript& s) {
      s.Login();
      s.Answer("200 port ok\r\n");
      s.Answer("150 go\r\n");
      SOCKET d = s.ConnectData();
      FtpScript::SendAll(d, "some");
      WaitForSingleObject(release, 10000);
      closesocket(d);
    });
    Client c(server, 1);
    ASSERT_TRUE(c.Login());
    EXPECT_FALSE(c.Get());
    EXPECT_TRUE(c.TimedOut());
    EXPECT_EQ(c.LastResponse(), "150 go");
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(c.sink.bytes, "some");
    SetEvent(release);
    server.Finish();
    CloseHandle(release);
  }
  // 421 and a closed control connection in the middle of a transfer, without any time-out:
  // the retrieve fails at once.
  {
    ScriptedFtpServer server([](FtpScript& s) {
      s.Login();
      s.Answer("200 port ok\r\n");
      s.Answer("150 go\r\n");
      SOCKET d = s.ConnectData();
      Sleep(200);
      s.Send("421 Timeout.\r\n");
      s.CloseControl();
      Sleep(3000);
      closesocket(d);
    });
    Client c(server, 0);
    ASSERT_TRUE(c.Login());
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(c.Get());
    EXPECT_LT(GetTickCount() - t0, 2000u);
    EXPECT_EQ(c.LastResponse(), "421 Timeout.");
  }
  // A close without a word while waiting for a reply.
  {
    ScriptedFtpServer server([](FtpScript& s) {
      s.Login();
      s.ReadLine();
      s.CloseControl();
    });
    Client c(server, 0);
    ASSERT_TRUE(c.Login());
    const DWORD t0 = GetTickCount();
    EXPECT_FALSE(c.Get());
    EXPECT_LT(GetTickCount() - t0, 2000u);
    EXPECT_EQ(c.LastResponse(), "Connection closed by the server");
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(c.events.back(), "closed");
  }
}

TEST(FtpClient, Tag11StopsTheWaitAtOnce) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ScriptedFtpServer server([&](FtpScript& s) {
    s.Login();
    s.Answer("200 port ok\r\n");
    s.Answer("150 go\r\n");
    SOCKET d = s.ConnectData();
    FtpScript::SendAll(d, std::string(1000, 'x'));
    WaitForSingleObject(release, 10000);
    closesocket(d);
  });
  Client c(server, 0);
  ASSERT_TRUE(c.Login());
  // The Stop button's route: something handled inside the wait sets Tag 11.
  c.OnTraffic = [&](void*, bool sent, int32_t n) {
    if (!sent) c.receivedBytes += n;
    if (!sent && c.receivedBytes >= 1000) c.SetTag(11);
  };
  const DWORD t0 = GetTickCount();
  EXPECT_FALSE(c.Get());
  EXPECT_LT(GetTickCount() - t0, 1000u);
  EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
  EXPECT_FALSE(c.TimedOut());
  EXPECT_FALSE(c.Connected());
  EXPECT_EQ(c.sink.ends, 1);
  // Every later operation stops at once as well, until the tag is cleared.
  EXPECT_FALSE(c.Open());
  c.SetTag(0);
  SetEvent(release);
  server.Finish();
  CloseHandle(release);
}

TEST(FtpClient, TimeOutArithmeticAndTheSizeLimit) {
  // The tick counter wraps in the middle of a wait: the limit still counts from the last block.
  uint32_t now = 0xFFFFF000u;
  SetTickCountSource([&] { return now; });
  {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ScriptedFtpServer server([&](FtpScript& s) {
      s.Send("220 ready\r\n");
      WaitForSingleObject(release, 10000);
    });
    struct Probe : Client {
      using Client::Client;
      using TFtpClient::WaitLimit;
      using TFtpClient::Progress;
    } c(server, 30);
    c.Timeout = INT_MAX;  // cut to the largest limit, not overflowed into a small one
    ASSERT_TRUE(c.Open());
    c.Progress();
    now += 0x2000;  // across zero
    EXPECT_EQ(c.WaitLimit(), static_cast<DWORD>(TFtpClient::kMaxTimeoutSeconds) * 1000u - 0x2000u);
    SetEvent(release);
    server.Finish();
    CloseHandle(release);
  }
  SetTickCountSource(nullptr);

  // A transfer that would pass 2^31-1 bytes is refused before the byte that passes it is stored.
  ScriptedFtpServer server([](FtpScript& s) {
    s.Login();
    s.Answer("200 port ok\r\n");
    s.Answer("350 ok\r\n");
    s.Answer("150 go\r\n");
    SendFile(s, std::string(100, 'z'));
    s.ReadLine();
  });
  Client c(server);
  c.Options = ftpAcceptLF | ftpNoAutoResumeAt;
  c.ResumeAt = INT32_MAX - 50;
  c.sink.exists = true;
  ASSERT_TRUE(c.Login());
  EXPECT_FALSE(c.RestGet());
  EXPECT_EQ(c.LastResponse(), "File larger than 2147483647 bytes refused");
  EXPECT_TRUE(c.sink.bytes.empty());
}

TEST(FtpClient, ArgumentsWithLineBreaksNeverReachTheWire) {
  ScriptedFtpServer server([](FtpScript& s) {
    s.Login();
    s.Answer("221 bye\r\n");
  });
  Client c(server);
  ASSERT_TRUE(c.Login());
  c.HostFileName = "a.bin\r\nDELE b.bin";
  EXPECT_FALSE(c.Get());
  EXPECT_EQ(c.LastResponse(), "500 Line break in the argument of RETR refused");
  EXPECT_TRUE(c.Quit());
  server.Finish();
  EXPECT_EQ(server.Received(), "USER vasya\r\nPASS secret\r\nTYPE I\r\nQUIT\r\n");
}
