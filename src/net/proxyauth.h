// Authentication to an HTTP proxy: Basic, Digest (MD5 and SHA-256, qop "auth", nonce counts),
// and the Windows logon schemes NTLM and Negotiate through the system's own security packages.
// The HTTP client asks for the header of each request to the proxy and hands back every 407; the
// connection-bound schemes (NTLM, Negotiate) need the same connection for the whole handshake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dorvex::net {

// The numbers are the settings' ProxyAuthType values.
enum class TProxyAuthType { atNone = 0, atBasic = 1, atDigest = 2, atNtlm = 3, atNegotiate = 4 };

// One challenge of a Proxy-Authenticate (or WWW-Authenticate) header: its scheme, its
// parameters (names in lower case), or the single token of NTLM and Negotiate.
struct TAuthChallenge {
  std::string scheme;
  std::vector<std::pair<std::string, std::string>> params;
  std::string token;
  std::string Param(const std::string& lowerName) const;
};

// Every challenge of the header values, in their order; several may share one value.
std::vector<TAuthChallenge> ParseChallenges(const std::vector<std::string>& values);

// The Digest response of RFC 7616 for one request; false when the algorithm is not known.
bool DigestAuthorization(const TAuthChallenge& challenge, const std::string& user, const std::string& password,
                         const std::string& method, const std::string& uri, uint32_t nonceCount,
                         const std::string& cnonce, std::string& header);

class TProxyAuth {
 public:
  TProxyAuth(TProxyAuthType type, std::string user, std::string password, std::string proxyHost);
  ~TProxyAuth();
  TProxyAuth(const TProxyAuth&) = delete;
  TProxyAuth& operator=(const TProxyAuth&) = delete;

  bool Same(TProxyAuthType type, const std::string& user, const std::string& password,
            const std::string& proxyHost) const;
  TProxyAuthType Type() const { return type_; }
  // The scheme keeps a handshake on one connection: requests ask to keep it open.
  bool ConnectionBound() const { return type_ == TProxyAuthType::atNtlm || type_ == TProxyAuthType::atNegotiate; }
  // A new request, and a new connection: a handshake begun on the last one starts again.
  void NewRequest() { staleRetried_ = false; }
  void NewConnection();
  // The Proxy-Authorization value for the next request ("" for none).
  std::string Authorization(const std::string& method, const std::string& uri);
  // A 407 with the proxy's Proxy-Authenticate values. true: send the request again (with
  // sameConnection false on a new connection); false: failure says why, in Russian.
  bool Challenge(const std::vector<std::string>& offers, bool sameConnection, std::wstring& failure);
  // The scheme the proxy accepted last, for the report ("" before any).
  std::wstring Taken() const { return taken_; }
  // The request went through: what was sent is the scheme the proxy took.
  void Accepted();
  // The name of a kind shown to the user.
  static std::wstring KindName(TProxyAuthType type);

 private:
  struct Sspi;
  TProxyAuthType type_;
  std::string user_, password_, host_;
  // Digest: the challenge answered and the count of requests made with its nonce.
  std::unique_ptr<TAuthChallenge> digest_;
  uint32_t nonceCount_ = 0;
  bool digestSent_ = false;
  bool staleRetried_ = false;
  bool basicSent_ = false;
  // NTLM, Negotiate: the security context of the handshake on this connection.
  std::unique_ptr<Sspi> sspi_;
  std::string pendingToken_;  // the next token to send, base64
  int sspiLegs_ = 0;          // tokens sent on this connection
  std::wstring sent_, taken_;
};

}  // namespace dorvex::net
