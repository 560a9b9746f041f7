// The channel's own reading of what a TLS server sends: the handshake records before encryption
// starts (for a Russian reason when the provider only says that it failed), and the certificates'
// names, keys, signatures and usages decoded from their bytes (the provider checks none of them
// under Wine, and the system's decoder is partial there).
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>

#include <cstddef>
#include <string>

namespace dorvex::net {

// The server's handshake records as they arrive, up to its change of cipher spec.
class TServerFlight {
 public:
  void Feed(const char* data, size_t size);
  // A reason to stop the handshake before the provider sees more: an old protocol that the
  // settings do not allow, a chain far too long, a flood of handshake messages. Empty: none.
  std::wstring Refusal(bool legacyAllowed) const;
  // Why the provider's failure happened, as far as the records tell (the server's alert); empty
  // when they tell nothing. offered: the versions the program offered ("TLS 1.2").
  std::wstring FailureReason(const std::wstring& offered) const;

 private:
  void Message(unsigned char type, const std::string& body, size_t announced);
  std::string record_;    // an incomplete record
  std::string messages_;  // handshake messages not yet whole
  bool encrypted_ = false;
  int alert_ = -1;
  unsigned version_ = 0;       // the ServerHello's
  size_t chainLength_ = 0;     // the Certificate message's announced length
  size_t handshakeBytes_ = 0;  // all handshake records' bytes
  size_t messageCount_ = 0;
};

enum class TNameCheck { Match, NoMatch, Unreadable };
// Whether host is one of the certificate's names: DNS names and IPv4 addresses of its
// alternative names (undecodable ones refuse), the common name only when it has none; compared
// as bytes, case-folded in ASCII only, and a name with a byte outside printable ASCII never matches.
TNameCheck CheckCertificateName(PCCERT_CONTEXT c, const std::string& host);
// The names it is issued for, as a message shows them (control bytes as \xNN).
std::wstring CertificateNamesText(PCCERT_CONTEXT c);

// A key or signature too weak to rely on: RSA under 2048 bits; MD2/MD4/MD5/SHA-1 signatures
// unless selfSignatureTrusted (a trusted root's signature on itself). Empty: none.
std::wstring WeaknessOf(PCCERT_CONTEXT c, bool selfSignatureTrusted, const std::wstring& name);
// A usage that forbids the certificate its place in a server's chain: an issuer that may not
// sign certificates or is no authority, the server's key not for signing or key exchange, an
// extended usage without server authentication. Empty: none.
std::wstring UsageFaultOf(PCCERT_CONTEXT c, bool isIssuer, const std::wstring& name);

}  // namespace dorvex::net
