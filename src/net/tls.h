// TLS for the HTTP client through the platform's SSPI (Schannel), on the client's own
// non-blocking socket: every wait of the handshake and of the transfer is the socket's wait, so
// the window stays alive, Stop ends it at once and the time-out applies to each of them.
// The provider checks nothing of the server's certificate (under Wine it never does): the
// channel checks the chain, the usage, the host name and the dates itself after the handshake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/socket.h"

namespace dorvex::net {

// What the server must prove. Trusted: certificates given by the administrator (PEM or base64
// DER, several allowed); when there are any, the server's chain must reach one of them instead
// of a root of the system's store.
struct TTlsTrust {
  std::string trustedCertificates;
  bool allowLegacyProtocols = false;  // TLS 1.0 and 1.1, when a server offers nothing newer
};

// Parses the settings' text of trusted certificates into DER blobs; false with a Russian reason
// when a piece of it is not a certificate. Empty text gives no certificates and true.
bool ParseTrustedCertificates(const std::string& text, std::vector<std::string>& der, std::wstring& error);

// The checks of a server's certificate that need no connection, for the tests too: whether a
// host name (or a dotted IPv4 address) is one of the names of the certificate. Wildcards are
// taken in the left-most label only and never for an address.
bool CertificateNameMatches(const void* certContext, const std::string& host);
bool HostMatchesPattern(const std::string& host, const std::string& pattern);

class TTlsChannel {
 public:
  explicit TTlsChannel(TAsyncSocket& socket);
  ~TTlsChannel();
  TTlsChannel(const TTlsChannel&) = delete;
  TTlsChannel& operator=(const TTlsChannel&) = delete;

  // Runs the handshake with the host on the connected socket, then checks the certificate. The
  // whole handshake is bounded by limitMs (besides each wait's own inactivity limit). On a
  // failure other than Aborted, failure holds the reason in Russian.
  NetResult Handshake(const std::string& host, const TTlsTrust& trust, DWORD limitMs, std::wstring& failure);
  NetResult Send(const char* data, size_t size, std::wstring& failure);
  // Plain bytes, at most size; received 0 when the server closed the channel (its close notice
  // or the connection's end).
  NetResult Receive(char* buffer, int size, int& received, std::wstring& failure);

  // "TLS 1.2, AES-256 GCM, ECDHE" after a handshake.
  const std::wstring& Summary() const { return summary_; }

 private:
  struct Impl;
  Impl* impl_;
  std::wstring summary_;
};

}  // namespace dorvex::net
