// Upgrades over HTTP or HTTPS: from a web server directly or through an HTTP proxy, from an FTP
// server through the proxy (ftp:// URLs), or through the system's own URL download function in
// the automatic mode. Every file is one request on a connection of its own; with continuation
// on, a partial file is continued with a range the server must tie to the same document.
#pragma once

#include <memory>

#include "common/handles.h"
#include "net/http.h"
#include "protocols/protocol.h"
#include "protocols/ratewatch.h"

namespace dorvex {

class THttpProtocol : public TDownloadProtocol {
 public:
  static constexpr const char* kAgent = "Vorel-Soft download agent (Mozilla/3.0 compatible)";
  static constexpr const char* kAccept = "*/*";

  explicit THttpProtocol(TProgram& owner);
  ~THttpProtocol() override;

  bool CanResume() override;
  bool CheckServer() override;
  bool UsesSlashes() override { return true; }
  bool Connect() override { return true; }
  void Disconnect() override {}
  bool Login() override { return true; }
  void Logout() override {}
  bool DownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, bool resume,
                    const std::wstring& localPath) override;

  // FTP reached through the HTTP proxy.
  static bool FtpThroughProxy();
  // The URL of a remote path on the configured server.
  static std::wstring URLFor(const std::wstring& path);
  // The port the server is reached on: the one in the URL, else the scheme's own.
  static std::wstring ServerPort();
  // Whether a name is usable: a dotted numeric address, or a name the system finds.
  static bool NameResolves(const std::wstring& name);
  // The protocol and cipher of the last TLS connection made since the note was last forgotten
  // (at the start of each session), for the report; empty when none was made.
  static const std::wstring& SecureConnectionNote();
  static void ForgetSecureConnection();
  // The scheme the proxy took for the session's requests (Basic, Digest, NTLM, Negotiate); empty
  // when the proxy asked for none. Forgotten with the secure connection's note.
  static const std::wstring& ProxySchemeNote();

  std::unique_ptr<net::THttpClient> Client;
  FileHandle FileStream;
  AbortMethod HttpSavedAbortHandler;

 private:
  bool SystemDownloadFile(AbortMethod& abortHandler, const std::wstring& remotePath, const std::wstring& localPath);
  void OpenDocument();
  bool WriteBlock(const char* data, int length, std::wstring& failure);
  std::wstring openFailure_;
  std::wstring transferFailure_;  // why this side ended the transfer (a bound, a stall)
  TRateWatch rate_;
  bool continuing_ = false;
};

// The file beside a partial download that keeps the server's validator of the document.
std::wstring PartialValidatorPath(const std::wstring& partial);

}  // namespace dorvex
