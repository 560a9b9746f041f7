// The FTP client: one control connection and, per retrieve, one active-mode data connection
// (the client listens, the server connects). Only what the delivery needs: open, USER, PASS,
// TYPE, retrieve (optionally continuing at an offset), QUIT and abort. Each is a synchronous
// operation whose waits go through the program's one message pump, so the window stays alive,
// and which Stop (Tag 11) and the inactivity time-out end at once.
//
// The client never opens files: the bytes of a retrieve go to a sink that its user hands it.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/callbacks.h"
#include "net/ftpreply.h"
#include "net/socket.h"

namespace dorvex::net {

// Where a retrieve's bytes go.
class TFtpSink {
 public:
  virtual ~TFtpSink() = default;
  // Bytes already held (the size of a partial copy); -1 when there is none.
  virtual int64_t Size() = 0;
  // Starts a retrieve: with a positive offset the first offset bytes are kept and the rest is
  // appended after them; with 0 the copy starts empty. False when the copy cannot be opened.
  virtual bool Begin(int64_t offset) = 0;
  // Stores a block; false when it could not be stored whole.
  virtual bool Write(const char* data, size_t size) = 0;
  // Ends the retrieve; complete is false when it failed or was stopped.
  virtual void End(bool complete) = 0;
};

enum TFtpOption : unsigned { ftpAcceptLF = 1, ftpNoAutoResumeAt = 2 };
enum class TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks };
enum class TFtpState {
  ftpNotConnected,
  ftpReady,
  ftpInternalReady,
  ftpDnsLookup,
  ftpConnected,
  ftpAbort,
  ftpInternalAbort,
  ftpWaitingBanner,
  ftpWaitingResponse
};

// The wire work. Each request runs to its end; its waits ask the subclass how long they may
// last (WaitLimit) and tell it of every received block (Progress).
class TFtpClientCore {
 public:
  // How a request ended: with its reply judged (Done or Failed), or cut short.
  enum class Outcome { Done, Failed, Aborted, TimedOut };

  TFtpClientCore();
  virtual ~TFtpClientCore();
  TFtpClientCore(const TFtpClientCore&) = delete;
  TFtpClientCore& operator=(const TFtpClientCore&) = delete;

  std::string HostName;
  std::string Port = "ftp";
  std::string UserName, PassWord;
  std::string HostFileName;
  std::string LocalFileName;  // only named in the local error texts; the sink stores the bytes
  int64_t ResumeAt = 0;
  bool Binary = true;
  unsigned Options = ftpAcceptLF;
  TFtpConnectionType ConnectionType = TFtpConnectionType::ftpDirect;
  TFtpSink* Sink = nullptr;

  std::function<void(void* sender, int error)> OnSessionConnected;
  std::function<void(void* sender, int error)> OnSessionClosed;
  TrafficHandler OnTraffic;

  // The last complete reply line, or a local error text written in its place.
  const std::string& LastResponse() const { return lastResponse_; }
  int StatusCode() const { return statusCode_; }
  int RequestResult() const { return requestResult_; }  // 0 = success
  bool Connected() const { return connected_; }
  TFtpState State() const { return state_; }
  // Whether the last retrieve continued at an offset, and at which.
  int64_t RestartedAt() const { return restartedAt_; }

  // Closes both connections and whatever transfer runs; the client must be opened again.
  void Abort();

  // Accepted reply codes of a command; empty: every code below 500.
  using Codes = std::vector<int>;

 protected:
  Outcome DoOpen();
  Outcome DoCommand(const std::string& verb, const std::string& argument, const Codes& accepted,
                    bool hideArgument = false);
  Outcome DoRetrieve(bool restart);
  Outcome DoQuit();

  // Milliseconds the next wait may last (INFINITE: no limit; 0: the limit has passed).
  virtual DWORD WaitLimit() = 0;
  // A block has arrived on one of the connections.
  virtual void Progress() = 0;

  TAbortSignal abort_;
  std::string lastResponse_;
  int statusCode_ = 0;
  int requestResult_ = 0;

 private:
  Outcome LocalFailure(const std::string& text, int code = 500);
  Outcome Send(const std::string& line, size_t shownLength);
  // Reads the next complete reply from the control connection.
  Outcome ReadReply(TFtpReply& reply);
  // Moves already received control bytes into the reader; true when a reply is complete.
  bool DrainControl();
  // Reads what the control connection has now (Receive after a wait reported it).
  Outcome ReceiveControl();
  Outcome Judge(const TFtpReply& reply, const Codes& accepted);
  Outcome ControlClosed();
  Outcome FromNet(NetResult r, const std::string& what, int error);
  void CloseControl();

  TAsyncSocket control_, listener_, data_;
  TFtpReplyReader reader_;
  std::string received_;  // control bytes not yet read into replies
  bool connected_ = false;
  TFtpState state_ = TFtpState::ftpNotConnected;
  int64_t restartedAt_ = 0;
  std::vector<char> block_;
};

// The component as its users see it: synchronous operations with Tag and the time-out.
class TFtpClient : public TFtpClientCore {
 public:
  TFtpClient() = default;

  int Timeout = 15;  // seconds without any received block before a wait gives up; 0 = none
  bool MultiThreaded = false;

  // 11 asks the running (and every later) wait to abort; any other value lets them run.
  int Tag() const { return tag_; }
  void SetTag(int value);

  // "426 Timeout" after a time-out or an abort of the wait.
  const std::string& ErrorMessage() const { return errorMessage_; }
  bool TimedOut() const { return timedOut_; }

  bool Open();
  bool User();
  bool Pass();
  bool TypeSet();
  bool Get();
  bool RestGet();
  bool Quit();

  // The longest inactivity limit a wait honours, in seconds: larger values are cut to it.
  static constexpr int kMaxTimeoutSeconds = 2000000;  // some 23 days; its milliseconds fit 31 bits

 protected:
  DWORD WaitLimit() override;
  void Progress() override;

 private:
  template <typename F>
  bool Synchronous(F request, DWORD limitMs);
  DWORD LimitMs() const;

  int tag_ = 0;
  std::string errorMessage_;
  bool timedOut_ = false;
  uint32_t lastActivity_ = 0;
  DWORD limitMs_ = INFINITE;
};

}  // namespace dorvex::net
