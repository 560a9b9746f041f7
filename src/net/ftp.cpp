#include "net/ftp.h"

#include <algorithm>
#include <climits>

#include "common/clock.h"

namespace dorvex::net {

namespace {
constexpr size_t kBlockSize = 1024 * 1024;
// Blocks read one after the other while data keeps arriving, before the wait runs again (and
// with it the window's messages): fewer trips through the pump on a fast connection.
constexpr int kBurstReads = 8;
constexpr int kLocalError = 500;
constexpr int64_t kLargestTransfer = INT32_MAX;  // sizes are 32-bit signed wherever they go

// The control port: a number, or a service name such as "ftp".
bool ParsePort(const std::string& text, uint16_t& port) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
    if (text.size() > 5) return false;
    const long value = std::stol(text);
    if (value < 1 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
  }
  if (text.empty()) return false;
  const servent* service = getservbyname(text.c_str(), "tcp");
  if (!service) return false;
  port = ntohs(static_cast<u_short>(service->s_port));
  return true;
}

std::string WinsockText(int error) {
  return "500 " + WinsockErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}
}  // namespace

TFtpClientCore::TFtpClientCore() : block_(kBlockSize) {
  StartNetwork();
  for (TAsyncSocket* s : {&control_, &listener_, &data_}) s->SetAbortSignal(&abort_);
}

TFtpClientCore::~TFtpClientCore() {
  OnSessionClosed = nullptr;
  CloseControl();
}

TFtpClientCore::Outcome TFtpClientCore::LocalFailure(const std::string& text, int code) {
  lastResponse_ = text;
  statusCode_ = code;
  requestResult_ = code;
  if (connected_) state_ = TFtpState::ftpReady;
  return Outcome::Failed;
}

TFtpClientCore::Outcome TFtpClientCore::FromNet(NetResult r, const std::string& what, int error) {
  switch (r) {
    case NetResult::Ok: return Outcome::Done;
    case NetResult::Aborted: return Outcome::Aborted;
    case NetResult::TimedOut: return Outcome::TimedOut;
    case NetResult::LookupFailed: return LocalFailure(WinsockText(error ? error : WSAHOST_NOT_FOUND));
    case NetResult::Failed: break;
  }
  return LocalFailure(what.empty() ? WinsockText(error) : what);
}

void TFtpClientCore::CloseControl() {
  data_.Close();
  listener_.Close();
  control_.Close();
  reader_.Reset();
  received_.clear();
  const bool was = connected_;
  connected_ = false;
  state_ = TFtpState::ftpNotConnected;
  if (was && OnSessionClosed) OnSessionClosed(this, 0);
}

void TFtpClientCore::Abort() {
  state_ = TFtpState::ftpAbort;
  CloseControl();
}

TFtpClientCore::Outcome TFtpClientCore::ControlClosed() {
  CloseControl();
  return LocalFailure("Connection closed by the server");
}

bool TFtpClientCore::DrainControl() {
  if (!reader_.HasReply() && !received_.empty()) {
    const size_t used = reader_.Feed(received_.data(), received_.size());
    received_.erase(0, used);
  }
  return reader_.HasReply();
}

TFtpClientCore::Outcome TFtpClientCore::ReceiveControl() {
  int got = 0;
  NetResult r = control_.Receive(block_.data(), static_cast<int>(block_.size()), got);
  if (r == NetResult::TimedOut) return Outcome::Done;  // a wait reported it, but nothing is there
  if (r == NetResult::Failed) {
    const int error = control_.Error();
    CloseControl();
    return LocalFailure(WinsockText(error));
  }
  if (r != NetResult::Ok) return FromNet(r, "", control_.Error());
  if (got == 0) return ControlClosed();
  Progress();
  if (OnTraffic) OnTraffic(this, false, got);
  received_.append(block_.data(), static_cast<size_t>(got));
  return Outcome::Done;
}

TFtpClientCore::Outcome TFtpClientCore::ReadReply(TFtpReply& reply) {
  for (;;) {
    if (DrainControl()) {
      reply = reader_.Take();
      lastResponse_ = reply.Line;
      statusCode_ = reply.Code;
      return Outcome::Done;
    }
    TAsyncSocket* set[] = {&control_};
    int which = 0;
    NetResult r = TAsyncSocket::WaitAny(set, 1, which, &abort_, WaitLimit());
    if (r != NetResult::Ok) return FromNet(r, "", control_.Error());
    Outcome o = ReceiveControl();
    if (o != Outcome::Done) return o;
  }
}

TFtpClientCore::Outcome TFtpClientCore::Judge(const TFtpReply& reply, const Codes& accepted) {
  bool ok = accepted.empty() ? reply.Code < 500
                             : std::find(accepted.begin(), accepted.end(), reply.Code) != accepted.end();
  requestResult_ = ok ? 0 : reply.Code;
  return ok ? Outcome::Done : Outcome::Failed;
}

TFtpClientCore::Outcome TFtpClientCore::Send(const std::string& line, size_t shownLength) {
  control_.SetTimeout(WaitLimit());
  NetResult r = control_.Send(line);
  if (r == NetResult::Failed) {
    const int error = control_.Error();
    CloseControl();
    return LocalFailure(WinsockText(error));
  }
  if (r != NetResult::Ok) return FromNet(r, "", control_.Error());
  if (OnTraffic) OnTraffic(this, true, static_cast<int32_t>(shownLength));
  return Outcome::Done;
}

TFtpClientCore::Outcome TFtpClientCore::DoOpen() {
  if (connected_ || control_.IsOpen()) return LocalFailure("FTP component already connected");
  uint16_t port = 0;
  if (!ParsePort(Port, port)) return LocalFailure("500 Invalid port " + Port);
  if (!StartNetwork()) return LocalFailure(WinsockText(WSASYSNOTREADY));
  reader_ = TFtpReplyReader((Options & ftpAcceptLF) != 0);
  received_.clear();
  lastResponse_.clear();
  state_ = TFtpState::ftpDnsLookup;
  control_.SetTimeout(WaitLimit());
  NetResult r = control_.Connect(HostName, port);
  if (r != NetResult::Ok) {
    const int error = control_.Error();
    control_.Close();
    state_ = TFtpState::ftpNotConnected;
    return FromNet(r, "", error);
  }
  state_ = TFtpState::ftpWaitingBanner;
  TFtpReply banner;
  Outcome o = ReadReply(banner);
  if (o != Outcome::Done) {
    if (o == Outcome::Failed) CloseControl();
    return o;
  }
  if (banner.Code != 220) {
    requestResult_ = banner.Code;
    CloseControl();
    return Outcome::Failed;
  }
  requestResult_ = 0;
  connected_ = true;
  state_ = TFtpState::ftpReady;
  if (OnSessionConnected) OnSessionConnected(this, 0);
  return Outcome::Done;
}

TFtpClientCore::Outcome TFtpClientCore::DoCommand(const std::string& verb, const std::string& argument,
                                                  const Codes& accepted, bool) {
  if (!connected_) return LocalFailure("FTP component not connected");
  std::string line;
  if (!BuildFtpCommand(verb, argument, line))
    return LocalFailure("500 Line break in the argument of " + verb + " refused");
  state_ = TFtpState::ftpWaitingResponse;
  Outcome o = Send(line, line.size() - 2);
  if (o != Outcome::Done) return o;
  TFtpReply reply;
  o = ReadReply(reply);
  if (o != Outcome::Done) return o;
  state_ = TFtpState::ftpReady;
  return Judge(reply, accepted);
}

TFtpClientCore::Outcome TFtpClientCore::DoQuit() {
  Outcome o = DoCommand("QUIT", "", {221});
  if (o == Outcome::Done || o == Outcome::Failed) CloseControl();
  return o;
}

TFtpClientCore::Outcome TFtpClientCore::DoRetrieve(bool restart) {
  if (!connected_) return LocalFailure("FTP component not connected");
  std::string retrieve;
  if (!BuildFtpCommand("RETR", HostFileName, retrieve))
    return LocalFailure("500 Line break in the argument of RETR refused");
  restartedAt_ = 0;

  // 1. The data connection: listen where the server reached us, and only there.
  const in_addr local = control_.LocalAddress();
  const in_addr peer = control_.PeerAddress();
  uint16_t dataPort = 0;
  data_.Close();
  NetResult r = listener_.Listen(local, dataPort);
  if (r != NetResult::Ok) {
    if (r == NetResult::Aborted) return Outcome::Aborted;
    return LocalFailure("Unable to establish data connection, error #" + std::to_string(listener_.Error()));
  }
  unsigned long address = ntohl(local.s_addr);
  if (ntohl(peer.s_addr) == INADDR_LOOPBACK) address = INADDR_LOOPBACK;
  Outcome o = DoCommand("PORT", FtpPortArgument(address, dataPort), {200, 227});
  if (o != Outcome::Done) {
    listener_.Close();
    return o;
  }

  // 2. The offset. A server that refuses REST outright (500 and above) would refuse it on every
  // attempt: the file is fetched whole instead, replacing the partial copy.
  int64_t offset = 0;
  if (restart) {
    offset = (Options & ftpNoAutoResumeAt) ? ResumeAt : (Sink ? Sink->Size() : -1);
    if (offset > kLargestTransfer) offset = 0;
    if (offset > 0) {
      o = DoCommand("REST", std::to_string(offset), {});
      if (o == Outcome::Failed && connected_ && statusCode_ >= 500) {
        requestResult_ = 0;
        o = Outcome::Done;
      }
      if (o != Outcome::Done) {
        listener_.Close();
        return o;
      }
      if (statusCode_ != 350) offset = 0;
    }
  }

  // 3. The retrieve.
  if (!Sink || !Sink->Begin(offset)) {
    listener_.Close();
    return LocalFailure("Unable to open local file " + LocalFileName);
  }
  bool complete = false;
  struct Ending {
    TFtpClientCore& c;
    bool& complete;
    ~Ending() {
      c.Sink->End(complete);
      c.data_.Close();
      c.listener_.Close();
    }
  } ending{*this, complete};
  restartedAt_ = offset;
  state_ = TFtpState::ftpWaitingResponse;
  o = Send(retrieve, retrieve.size() - 2);
  if (o != Outcome::Done) return o;

  bool first = false, last = false, dataDone = false;
  std::string failure;  // a local reason that fails the retrieve whatever the server answers
  int64_t total = offset;
  for (;;) {
    while (DrainControl()) {
      const TFtpReply reply = reader_.Take();
      lastResponse_ = reply.Line;
      statusCode_ = reply.Code;
      if (!first) {
        if (reply.Code != 150 && reply.Code != 125) {
          requestResult_ = reply.Code;
          state_ = TFtpState::ftpReady;
          return Outcome::Failed;
        }
        first = true;
        continue;
      }
      last = true;
      if (!failure.empty()) {
        state_ = TFtpState::ftpReady;
        return LocalFailure(failure);
      }
      if (reply.Code != 125 && reply.Code != 226 && reply.Code != 250) {
        requestResult_ = reply.Code;
        state_ = TFtpState::ftpReady;
        return Outcome::Failed;
      }
      break;
    }
    if (last && dataDone) break;

    // Once the final reply is in, the server may close the control connection; only the data
    // connection is still waited for.
    TAsyncSocket* set[2] = {nullptr, nullptr};
    int count = 0;
    if (!last) set[count++] = &control_;
    if (data_.IsOpen())
      set[count++] = &data_;
    else if (listener_.IsOpen() && !dataDone)
      set[count++] = &listener_;
    int which = 0;
    if (count == 0) return LocalFailure("Unable to establish data connection");
    r = TAsyncSocket::WaitAny(set, count, which, &abort_, WaitLimit());
    if (r != NetResult::Ok) return FromNet(r, "", 0);

    if (set[which] == &control_) {
      control_.SetTimeout(0);
      o = ReceiveControl();
      if (o != Outcome::Done) return o;
      continue;
    }
    if (set[which] == &listener_) {
      listener_.SetTimeout(0);
      r = listener_.Accept(data_);
      if (r == NetResult::TimedOut) continue;
      if (r == NetResult::Aborted) return Outcome::Aborted;
      if (r != NetResult::Ok)
        return LocalFailure("Unable to establish data connection, error #" + std::to_string(listener_.Error()));
      // Only the server may send the file: a connection from any other address is dropped
      // and the wait goes on.
      if (data_.PeerAddress().s_addr != peer.s_addr) {
        data_.Close();
        continue;
      }
      data_.SetAbortSignal(&abort_);
      listener_.Close();
      continue;
    }
    data_.SetTimeout(0);
    for (int burst = 0; burst < kBurstReads && data_.IsOpen(); ++burst) {
      int got = 0;
      r = data_.Receive(block_.data(), static_cast<int>(block_.size()), got);
      if (r == NetResult::TimedOut) break;  // nothing more for now
      if (r == NetResult::Aborted) return Outcome::Aborted;
      // A reset may surface as an error, or as a close that carries one.
      const int broken = r != NetResult::Ok ? data_.Error() : (got == 0 ? data_.CloseError() : 0);
      if (r != NetResult::Ok || broken != 0) {
        failure = "Data connection broken: " + WinsockErrorText(broken) + " (Winsock error #" +
                  std::to_string(broken) + ")";
        data_.Close();
        dataDone = true;
        break;
      }
      if (got == 0) {
        data_.Close();
        dataDone = true;
        break;
      }
      Progress();
      if (OnTraffic) OnTraffic(this, false, got);
      if (!failure.empty()) continue;
      if (total + got > kLargestTransfer) {
        failure = "File larger than 2147483647 bytes refused";
        data_.Close();
        dataDone = true;
        break;
      }
      if (!Sink->Write(block_.data(), static_cast<size_t>(got))) {
        failure = "Error writing local file " + LocalFileName;
        data_.Close();  // the server learns it at once and ends the transfer
        dataDone = true;
        break;
      }
      total += got;
    }
    if (abort_.IsSet()) return Outcome::Aborted;
  }
  complete = true;
  requestResult_ = 0;
  state_ = TFtpState::ftpReady;
  return Outcome::Done;
}

// ---- the synchronous component ----

void TFtpClient::SetTag(int value) {
  tag_ = value;
  if (value == 11)
    abort_.Set();
  else
    abort_.Clear();
}

DWORD TFtpClient::LimitMs() const {
  if (Timeout <= 0) return INFINITE;
  return static_cast<DWORD>(std::min(Timeout, kMaxTimeoutSeconds)) * 1000u;
}

DWORD TFtpClient::WaitLimit() {
  if (limitMs_ == INFINITE) return INFINITE;
  const uint32_t elapsed = TickCount() - lastActivity_;  // unsigned: right across the counter's wrap
  return elapsed >= limitMs_ ? 0 : limitMs_ - elapsed;
}

void TFtpClient::Progress() { lastActivity_ = TickCount(); }

template <typename F>
bool TFtpClient::Synchronous(F request, DWORD limitMs) {
  errorMessage_.clear();
  timedOut_ = false;
  limitMs_ = limitMs;
  lastActivity_ = TickCount();
  const Outcome o = tag_ == 11 ? Outcome::Aborted : request();
  if (o == Outcome::Aborted || o == Outcome::TimedOut) {
    timedOut_ = o == Outcome::TimedOut;
    Abort();
    errorMessage_ = "426 Timeout";
    statusCode_ = 426;
    requestResult_ = 426;
    return false;
  }
  return o == Outcome::Done && requestResult_ == 0;
}

bool TFtpClient::Open() {
  return Synchronous([this] { return DoOpen(); }, LimitMs());
}

bool TFtpClient::User() {
  if (UserName.empty()) {
    lastResponse_ = "UserName emtpy";
    requestResult_ = kLocalError;
    return false;
  }
  return Synchronous([this] { return DoCommand("USER", UserName, {331, 230}); }, LimitMs());
}

bool TFtpClient::Pass() {
  if (PassWord.empty()) {
    lastResponse_ = "Password emtpy";
    requestResult_ = kLocalError;
    return false;
  }
  return Synchronous([this] { return DoCommand("PASS", PassWord, {230}); }, LimitMs());
}

bool TFtpClient::TypeSet() {
  return Synchronous([this] { return DoCommand("TYPE", Binary ? "I" : "A", {200}); }, LimitMs());
}

bool TFtpClient::Get() {
  return Synchronous([this] { return DoRetrieve(false); }, LimitMs());
}

bool TFtpClient::RestGet() {
  return Synchronous([this] { return DoRetrieve(true); }, LimitMs());
}

bool TFtpClient::Quit() {
  // Leaving must not hang on a server that no longer answers, also without a time-out.
  const DWORD limit = std::min<DWORD>(LimitMs(), 10000);
  return Synchronous([this] { return DoQuit(); }, limit);
}

}  // namespace dorvex::net
