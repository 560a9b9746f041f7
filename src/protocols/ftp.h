// Upgrades from an FTP server, through the FTP client in active mode. The one source that
// continues a partial file on the wire: with restoring on, an interrupted file is continued
// from the size of its temporary copy with REST, across attempts and across runs.
#pragma once

#include <memory>

#include "net/ftp.h"
#include "protocols/protocol.h"
#include "protocols/ratewatch.h"

namespace dorvex {

class TFtpProtocol : public TDownloadProtocol {
 public:
  explicit TFtpProtocol(TProgram& owner);
  // Sends QUIT once when the connection is still open, then frees the client.
  ~TFtpProtocol() override;

  bool CanResume() override;
  bool CheckServer() override;
  bool UsesSlashes() override { return true; }
  bool Connect() override;
  void Disconnect() override;
  bool Login() override;
  void Logout() override {}
  bool DownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, bool resume,
                    const std::wstring& localPath) override;

  std::unique_ptr<net::TFtpClient> Client;
  AbortMethod FtpSavedAbortHandler;  // the abort variable's content while DownloadFile runs

 private:
  // Received bytes go to the owner in batches, at most about ten times a second, so that a fast
  // transfer is not held up by the window showing every block.
  void ReportTraffic(bool sent, int32_t count);
  void FlushTraffic();

  bool stopped_ = false;  // Stop was pressed during the running transfer
  int32_t pendingReceived_ = 0;
  uint32_t lastReport_ = 0;
};

// A local file as the destination of a retrieve: kept open for the retrieve's duration,
// continued at an offset (what lies beyond it is cut off) or started empty.
class TFileSink : public net::TFtpSink {
 public:
  explicit TFileSink(std::wstring path) : path_(std::move(path)) {}
  ~TFileSink() override { End(false); }
  int64_t Size() override;
  bool Begin(int64_t offset) override;
  bool Write(const char* data, size_t size) override;
  void End(bool complete) override;
  unsigned long LastError() const { return error_; }
  // The most bytes the file may reach (0: no bound); a write past it fails and sets LimitHit.
  int64_t Limit = 0;
  bool LimitHit = false;
  int64_t Reached = 0;  // the size a write past the bound would have made
  // The least rate (bytes per second over periods of the time-out); a write after a period below
  // it fails and sets Stalled.
  int64_t MinRate = 0;
  int32_t Period = 0;
  TRateWatch Rate;
  bool Stalled = false;

 private:
  std::wstring path_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  int64_t position_ = 0;
  unsigned long error_ = 0;
};

}  // namespace dorvex
