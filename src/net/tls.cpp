#define SECURITY_WIN32
#include "net/tls.h"

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/text.h"
#include "net/tlscheck.h"

namespace dorvex::net {

namespace {

constexpr DWORD kRequestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;
// The handshake's buffer: a server's flight of certificates fits many times over; a peer that
// sends something else never makes it grow past this.
constexpr size_t kHandshakeBufferLimit = 128 * 1024;
// The transfer's buffer of received ciphertext: many records per round trip through the wait.
constexpr size_t kReceiveBufferSize = 1024 * 1024;

std::wstring Hex8(unsigned long v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08lX", v);
  return AnsiToWide(buf);
}

std::wstring StatusText(SECURITY_STATUS status) {
  std::wstring text = WindowsErrorText(static_cast<unsigned long>(status));
  return (text.empty() ? std::wstring() : text + L" ") + L"(0x" + Hex8(static_cast<unsigned long>(status)) + L")";
}

std::string Lower(std::string s) {
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool IsAddress(const std::string& host, in_addr& address) {
  return host.size() <= 64 && inet_pton(AF_INET, host.c_str(), &address) == 1;
}

std::wstring DateText(const FILETIME& ft) {
  SYSTEMTIME st{};
  FileTimeToSystemTime(&ft, &st);
  wchar_t buf[32];
  swprintf(buf, 32, L"%02u.%02u.%04u", st.wDay, st.wMonth, st.wYear);
  return buf;
}

std::wstring SubjectName(PCCERT_CONTEXT c) {
  wchar_t buf[256];
  DWORD n = CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, buf, 256);
  return n > 1 ? std::wstring(buf) : std::wstring(L"без имени");
}

// The issuer of a certificate in the chain that neither the server, the settings nor the
// system's stores hold while the certificate names an address to fetch it from, as the message
// names it; empty otherwise.
std::wstring MissingIssuer(PCCERT_CONTEXT server, HCERTSTORE extra, const std::vector<std::string>& trusted) {
  HCERTSTORE stores[3] = {extra, CertOpenSystemStoreW(0, L"ROOT"), CertOpenSystemStoreW(0, L"CA")};
  std::wstring missing;
  PCCERT_CONTEXT current = CertDuplicateCertificateContext(server);
  for (int depth = 0; depth < 16 && current; ++depth) {
    if (CertCompareCertificateName(X509_ASN_ENCODING, &current->pCertInfo->Subject, &current->pCertInfo->Issuer))
      break;  // a root
    // A certificate of the settings needs no issuer.
    bool pinned = false;
    for (const auto& d : trusted)
      pinned = pinned ||
               (d.size() == current->cbCertEncoded && std::memcmp(d.data(), current->pbCertEncoded, d.size()) == 0);
    if (pinned) break;
    PCCERT_CONTEXT issuer = nullptr;
    bool atHand = false;
    for (int i = 0; i < 3 && !atHand; ++i) {
      if (!stores[i]) continue;
      issuer = CertFindCertificateInStore(stores[i], X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME,
                                          &current->pCertInfo->Issuer, nullptr);
      atHand = issuer != nullptr;
      if (atHand && i > 0) {  // the system knows it: the engine takes it from there
        CertFreeCertificateContext(issuer);
        issuer = nullptr;
      }
    }
    // Only a certificate that names where its issuer is kept can have had the issuer fetched;
    // without one the chain ends at an unknown authority, and the engine says so.
    if (!atHand && CertFindExtension(szOID_AUTHORITY_INFO_ACCESS, current->pCertInfo->cExtension,
                                     current->pCertInfo->rgExtension)) {
      wchar_t name[256];
      if (CertGetNameStringW(current, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG, nullptr, name, 256) <= 1)
        wcscpy(name, L"без имени");
      missing =
          Fmt(L"сервер не прислал промежуточный сертификат центра «%s», которым подписан сертификат «%s»; без "
              L"него подлинность сервера проверить нельзя (сертификаты по указанным в них адресам программа не "
              L"загружает).",
              std::wstring(name), SubjectName(current));
    }
    CertFreeCertificateContext(current);
    current = issuer;
  }
  if (current) CertFreeCertificateContext(current);
  for (int i = 1; i < 3; ++i)
    if (stores[i]) CertCloseStore(stores[i], 0);
  return missing;
}

}  // namespace

bool HostMatchesPattern(const std::string& hostIn, const std::string& patternIn) {
  // Bytes, folded in ASCII only: a NUL, a blank or an 8-bit letter in either never matches.
  auto printable = [](const std::string& s) {
    for (unsigned char ch : s)
      if (ch < 0x21 || ch > 0x7E) return false;
    return true;
  };
  if (!printable(hostIn) || !printable(patternIn)) return false;
  std::string host = Lower(hostIn), pattern = Lower(patternIn);
  if (!host.empty() && host.back() == '.') host.pop_back();
  if (!pattern.empty() && pattern.back() == '.') pattern.pop_back();
  if (host.empty() || pattern.empty()) return false;
  if (pattern.find('*') == std::string::npos) return host == pattern;
  // "*.example.com" only: the star is the whole left-most label, and at least two labels follow.
  if (pattern.size() < 4 || pattern[0] != '*' || pattern[1] != '.' || pattern.find('*', 1) != std::string::npos)
    return false;
  const std::string rest = pattern.substr(1);  // ".example.com"
  if (rest.find('.', 1) == std::string::npos) return false;
  in_addr a{};
  if (IsAddress(host, a)) return false;
  size_t dot = host.find('.');
  return dot != std::string::npos && dot > 0 && host.substr(dot) == rest;
}

bool CertificateNameMatches(const void* certContext, const std::string& host) {
  return CheckCertificateName(static_cast<PCCERT_CONTEXT>(certContext), host) == TNameCheck::Match;
}

bool ParseTrustedCertificates(const std::string& textIn, std::vector<std::string>& der, std::wstring& error) {
  der.clear();
  std::string text;
  for (size_t i = 0; i < textIn.size(); ++i) {
    if (textIn[i] == '\\' && i + 1 < textIn.size() && textIn[i + 1] == 'n') {
      text += '\n';
      ++i;
    } else {
      text += textIn[i];
    }
  }
  const std::wstring where = L"Доверенные сертификаты в настройках (раздел [Security], ключ TrustedCertificates): ";
  auto decode = [&](const std::string& piece, DWORD flags) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(piece.c_str(), static_cast<DWORD>(piece.size()), flags, nullptr, &size, nullptr,
                              nullptr) ||
        size == 0)
      return false;
    std::string bytes(size, '\0');
    if (!CryptStringToBinaryA(piece.c_str(), static_cast<DWORD>(piece.size()), flags,
                              reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr))
      return false;
    bytes.resize(size);
    PCCERT_CONTEXT c = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()),
                                                    static_cast<DWORD>(bytes.size()));
    if (!c) return false;
    CertFreeCertificateContext(c);
    der.push_back(bytes);
    return true;
  };
  std::string rest;
  size_t pos = 0;
  for (;;) {
    size_t begin = text.find("-----BEGIN", pos);
    if (begin == std::string::npos) {
      rest += text.substr(pos);
      break;
    }
    rest += text.substr(pos, begin - pos);
    size_t end = text.find("-----END", begin);
    size_t close = end == std::string::npos ? std::string::npos : text.find("-----", end + 8);
    if (close == std::string::npos) {
      error = where + L"блок PEM не закончен строкой «-----END ...-----».";
      return false;
    }
    const std::string block = text.substr(begin, close + 5 - begin);
    if (!decode(block, CRYPT_STRING_BASE64HEADER)) {
      error = where + L"блок PEM не является сертификатом X.509.";
      return false;
    }
    pos = close + 5;
  }
  // Outside PEM blocks: base64 DER certificates separated by blanks, commas or semicolons.
  std::string token;
  auto flush = [&]() {
    if (token.empty()) return true;
    bool ok = decode(token, CRYPT_STRING_BASE64);
    if (!ok)
      error = where + L"«" + AnsiToWide(token.substr(0, 24)) + (token.size() > 24 ? L"..." : L"") +
              L"» не является сертификатом X.509 в формате PEM или DER (base64).";
    token.clear();
    return ok;
  };
  for (char ch : rest) {
    if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n' || ch == ',' || ch == ';') {
      if (!flush()) return false;
    } else {
      token += ch;
    }
  }
  return flush();
}

struct TTlsChannel::Impl {
  explicit Impl(TAsyncSocket& s) : socket(s) {}
  ~Impl() {
    if (haveContext) DeleteSecurityContext(&context);
    if (haveCredentials) FreeCredentialsHandle(&credentials);
  }
  TAsyncSocket& socket;
  CredHandle credentials{};
  CtxtHandle context{};
  bool haveCredentials = false, haveContext = false;
  SecPkgContext_StreamSizes sizes{};
  std::string host;
  TTlsTrust trust;
  std::vector<char> in;           // received ciphertext; inLen bytes from inStart are not yet consumed
  size_t inStart = 0, inLen = 0;  // the handshake keeps inStart at 0
  std::vector<char> plain;        // decrypted bytes not yet handed out
  size_t plainPos = 0;
  bool closed = false;
  bool firstReply = true;
  TServerFlight flight;  // the server's first handshake, read along for the reasons of a failure
  std::wstring offered;  // the versions offered, as a message names them

  // Moves what is not yet consumed to the buffer's start: once per read from the socket, never
  // once per record (a record's worth of moving for each record would cost more than decrypting).
  void Compact() {
    if (inStart > 0 && inLen > 0) std::memmove(in.data(), in.data() + inStart, inLen);
    inStart = 0;
  }
  void KeepExtra(const SecBuffer& extra) {
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= inLen) {
      std::memmove(in.data(), in.data() + (inLen - extra.cbBuffer), extra.cbBuffer);
      inLen = extra.cbBuffer;
    } else {
      inLen = 0;
    }
  }
  NetResult Loop(bool initial, DWORD start, DWORD limitMs, std::wstring& failure);
  void SendCloseNotify();
  bool Verify(std::wstring& failure);
  std::wstring Describe();
};

TTlsChannel::TTlsChannel(TAsyncSocket& socket) : impl_(new Impl(socket)) {}
TTlsChannel::~TTlsChannel() {
  delete impl_;
}

NetResult TTlsChannel::Impl::Loop(bool initial, DWORD start, DWORD limitMs, std::wstring& failure) {
  const std::wstring prefix = L"Не удалось установить защищенное соединение с сервером " + AnsiToWide(host) + L": ";
  std::wstring targetName = AnsiToWide(host);
  bool needRead = !initial && inLen == 0;
  bool first = initial;
  const DWORD inactivity = socket.Timeout();
  struct RestoreTimeout {
    TAsyncSocket& s;
    DWORD t;
    ~RestoreTimeout() { s.SetTimeout(t); }
  } restore{socket, inactivity};
  if (in.size() < 16 * 1024) in.resize(16 * 1024);
  for (;;) {
    if (needRead) {
      DWORD spent = GetTickCount() - start;
      if (spent >= limitMs) {
        failure = prefix + Fmt(L"сервер не завершил установление соединения за %d сек.", limitMs / 1000);
        return NetResult::TimedOut;
      }
      socket.SetTimeout(inactivity == INFINITE || inactivity > limitMs - spent ? limitMs - spent : inactivity);
      if (inLen == in.size()) {
        if (in.size() >= kHandshakeBufferLimit) {
          failure = prefix + L"сервер прислал слишком длинное сообщение (это не ответ по протоколу TLS).";
          return NetResult::Failed;
        }
        in.resize(in.size() * 2);
      }
      int got = 0;
      NetResult r = socket.Receive(in.data() + inLen, static_cast<int>(in.size() - inLen), got);
      if (r == NetResult::TimedOut) {
        failure =
            prefix + Fmt(L"сервер не завершил установление соединения за %d сек.", (GetTickCount() - start) / 1000);
        return r;
      }
      if (r != NetResult::Ok) {
        if (r == NetResult::Failed)
          failure = prefix + AnsiToWide(WinsockErrorText(socket.Error())) + L" (ошибка #" +
                    std::to_wstring(socket.Error()) + L")";
        return r;
      }
      if (got == 0) {
        failure = prefix + L"сервер закрыл соединение, не завершив установление защищенного соединения.";
        return NetResult::Failed;
      }
      // A TLS server's first bytes are a handshake or an alert record.
      if (firstReply && inLen == 0 && in[0] != 0x16 && in[0] != 0x15) {
        failure =
            prefix + L"сервер ответил не по протоколу TLS (возможно, на этом порту работает сервер без шифрования).";
        return NetResult::Failed;
      }
      firstReply = false;
      if (initial) {
        flight.Feed(in.data() + inLen, static_cast<size_t>(got));
        const std::wstring refusal = flight.Refusal(trust.allowLegacyProtocols);
        if (!refusal.empty()) {
          failure = prefix + refusal;
          return NetResult::Failed;
        }
      }
      inLen += static_cast<size_t>(got);
    }
    SecBuffer inBuffers[2] = {{static_cast<unsigned long>(inLen), SECBUFFER_TOKEN, in.data()},
                              {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuffers};
    SecBuffer outBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, outBuffers};
    unsigned long attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextW(
        &credentials, first ? nullptr : &context, targetName.empty() ? nullptr : targetName.data(), kRequestFlags, 0, 0,
        first ? nullptr : &inDesc, 0, first ? &context : nullptr, &outDesc, &attributes, nullptr);
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveContext = true;
    first = false;
    if (outBuffers[0].cbBuffer > 0 && outBuffers[0].pvBuffer) {
      NetResult r = socket.Send(static_cast<const char*>(outBuffers[0].pvBuffer), outBuffers[0].cbBuffer);
      FreeContextBuffer(outBuffers[0].pvBuffer);
      if (r != NetResult::Ok) {
        if (r == NetResult::Failed)
          failure = prefix + AnsiToWide(WinsockErrorText(socket.Error())) + L" (ошибка #" +
                    std::to_wstring(socket.Error()) + L")";
        return r;
      }
    } else if (outBuffers[0].pvBuffer) {
      FreeContextBuffer(outBuffers[0].pvBuffer);
    }
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      needRead = true;
      continue;
    }
    KeepExtra(inBuffers[1]);
    if (status == SEC_E_OK) return NetResult::Ok;
    if (status == SEC_I_CONTINUE_NEEDED) {
      needRead = inLen == 0;
      continue;
    }
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
      needRead = false;  // the server asks for a client certificate: go on without one
      continue;
    }
    const std::wstring reason = initial ? flight.FailureReason(offered) : std::wstring();
    failure = prefix + (reason.empty() ? StatusText(status) : reason);
    return NetResult::Failed;
  }
}

// Answers the server's close notice with the program's own: a server that waits for it before
// it ends the connection gets it at once.
void TTlsChannel::Impl::SendCloseNotify() {
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
  if (ApplyControlToken(&context, &controlDesc) != SEC_E_OK) return;
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &out};
  unsigned long attributes = 0;
  std::wstring targetName = AnsiToWide(host);
  SECURITY_STATUS status = InitializeSecurityContextW(&credentials, &context, targetName.data(), kRequestFlags, 0, 0,
                                                      nullptr, 0, nullptr, &outDesc, &attributes, nullptr);
  if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && out.pvBuffer && out.cbBuffer > 0)
    socket.Send(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
  if (out.pvBuffer) FreeContextBuffer(out.pvBuffer);
}

std::wstring TTlsChannel::Impl::Describe() {
  SecPkgContext_ConnectionInfo info{};
  std::wstring protocol = L"TLS", cipher, exchange;
  if (QueryContextAttributesW(&context, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
    switch (info.dwProtocol) {
      case SP_PROT_TLS1_3_CLIENT: protocol = L"TLS 1.3"; break;
      case SP_PROT_TLS1_2_CLIENT: protocol = L"TLS 1.2"; break;
      case SP_PROT_TLS1_1_CLIENT: protocol = L"TLS 1.1"; break;
      case SP_PROT_TLS1_0_CLIENT: protocol = L"TLS 1.0"; break;
      default: protocol = L"TLS (0x" + Hex8(info.dwProtocol) + L")"; break;
    }
    switch (info.aiCipher) {
      case CALG_AES_128: cipher = L"AES-128"; break;
      case CALG_AES_192: cipher = L"AES-192"; break;
      case CALG_AES_256: cipher = L"AES-256"; break;
      case CALG_3DES: cipher = L"3DES"; break;
      case CALG_RC4: cipher = L"RC4"; break;
      default: cipher = L"0x" + Hex8(info.aiCipher); break;
    }
    if (info.dwCipherStrength > 0) cipher += Fmt(L" (%d бит)", static_cast<int>(info.dwCipherStrength));
    switch (info.aiExch) {
      case CALG_ECDH_EPHEM: exchange = L"ECDHE"; break;
      case CALG_ECDH: exchange = L"ECDH"; break;
      case CALG_DH_EPHEM: exchange = L"DHE"; break;
      case CALG_RSA_KEYX: exchange = L"RSA"; break;
      default: break;
    }
  }
  SecPkgContext_CipherInfo suite{};
  suite.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
  std::wstring suiteName;
  if (QueryContextAttributesW(&context, SECPKG_ATTR_CIPHER_INFO, &suite) == SEC_E_OK && suite.szCipherSuite[0] &&
      !wcschr(suite.szCipherSuite, L'<'))  // a provider that does not know a part of the name
    suiteName = suite.szCipherSuite;
  std::wstring text = protocol;
  if (!cipher.empty()) text += L", шифр " + cipher;
  if (!exchange.empty()) text += L", обмен ключами " + exchange;
  if (!suiteName.empty()) text += L", набор " + suiteName;
  return text;
}

bool TTlsChannel::Impl::Verify(std::wstring& failure) {
  const std::wstring prefix = L"Защищенное соединение с сервером " + AnsiToWide(host) + L" отвергнуто: ";
  std::vector<std::string> trusted;
  std::wstring parseError;
  if (!ParseTrustedCertificates(trust.trustedCertificates, trusted, parseError)) {
    failure = prefix + parseError;
    return false;
  }
  PCCERT_CONTEXT server = nullptr;
  if (QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &server) != SEC_E_OK || !server) {
    failure = prefix + L"сервер не предъявил сертификат.";
    return false;
  }
  std::unique_ptr<const CERT_CONTEXT, decltype(&CertFreeCertificateContext)> serverOwner(server,
                                                                                         CertFreeCertificateContext);
  // The certificates the server sent and the administrator's own, for building the chain.
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (!extra) {
    failure = prefix + WindowsErrorText(GetLastError());
    return false;
  }
  std::unique_ptr<void, void (*)(void*)> extraOwner(extra, [](void* s) { CertCloseStore(s, 0); });
  if (server->hCertStore) {
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(server->hCertStore, c)) != nullptr)
      CertAddCertificateContextToStore(extra, c, CERT_STORE_ADD_ALWAYS, nullptr);
  }
  for (const auto& d : trusted)
    CertAddEncodedCertificateToStore(extra, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(d.data()),
                                     static_cast<DWORD>(d.size()), CERT_STORE_ADD_ALWAYS, nullptr);

  // Every issuer must be at hand before the chain is built: the server's, the settings' or the
  // system's own. The engine would otherwise fetch a missing one from the address the
  // certificate names, over plain HTTP, outside the time-out and Stop.
  std::wstring missing = MissingIssuer(server, extra, trusted);
  if (!missing.empty()) {
    failure = prefix + missing;
    return false;
  }
  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  constexpr DWORD kNoFetching =
      CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AIA | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;
  if (!CertGetCertificateChain(nullptr, server, nullptr, extra, &para, kNoFetching, nullptr, &chain) || !chain ||
      chain->cChain == 0) {
    if (chain) CertFreeCertificateChain(chain);
    failure = prefix + L"цепочку сертификатов сервера нельзя построить: " + WindowsErrorText(GetLastError());
    return false;
  }
  std::unique_ptr<const CERT_CHAIN_CONTEXT, decltype(&CertFreeCertificateChain)> chainOwner(chain,
                                                                                            CertFreeCertificateChain);
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  const DWORD count = simple->cElement;
  // The authority the chain ends at: the issuer of its last certificate (itself for a root).
  std::wstring authority = L"без имени";
  if (count > 0) {
    wchar_t buf[256];
    if (CertGetNameStringW(simple->rgpElement[count - 1]->pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE,
                           CERT_NAME_ISSUER_FLAG, nullptr, buf, 256) > 1)
      authority = buf;
  }

  // Trust: the chain's own bits, never the provider's or the policy's word alone.
  constexpr DWORD kOrderIssues = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                 CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION |
                                 CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED |
                                 CERT_TRUST_IS_NOT_VALID_FOR_USAGE | CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE;
  DWORD reached = count;  // the element that a trusted certificate of the settings matches
  if (!trusted.empty()) {
    for (DWORD i = 0; i < count && reached == count; ++i) {
      const CERT_CONTEXT* c = simple->rgpElement[i]->pCertContext;
      for (const auto& d : trusted)
        if (d.size() == c->cbCertEncoded && std::memcmp(d.data(), c->pbCertEncoded, d.size()) == 0) reached = i;
    }
    if (reached == count) {
      failure = prefix + Fmt(L"сертификат сервера выдан центром сертификации «%s», которого нет среди доверенных "
                             L"сертификатов в настройках (раздел [Security], ключ TrustedCertificates).",
                             authority);
      return false;
    }
  } else {
    const DWORD status = chain->TrustStatus.dwErrorStatus;
    if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
      failure = prefix + Fmt(L"сертификат сервера выдан неизвестным центром сертификации «%s» (цепочка не доходит "
                             L"до доверенного корневого сертификата системы).",
                             authority);
      return false;
    }
    reached = count - 1;
  }
  // Keys, signatures and usages of every certificate up to the trusted one, read from the
  // certificates themselves (the chain's bits do not carry them under every provider).
  for (DWORD i = 0; i <= reached && i < count; ++i) {
    const CERT_CONTEXT* c = simple->rgpElement[i]->pCertContext;
    const bool selfSigned =
        CertCompareCertificateName(X509_ASN_ENCODING, &c->pCertInfo->Subject, &c->pCertInfo->Issuer) != FALSE;
    std::wstring fault = WeaknessOf(c, i == reached && selfSigned, SubjectName(c));
    if (fault.empty()) fault = UsageFaultOf(c, i > 0, SubjectName(c));
    if (!fault.empty()) {
      failure = prefix + fault;
      return false;
    }
  }
  // What the engine found besides: each certificate's bits up to a trusted one of the settings,
  // the whole chain's up to a root of the system.
  const DWORD status = chain->TrustStatus.dwErrorStatus;
  if (!trusted.empty()) {
    for (DWORD i = 0; i <= reached; ++i)
      if (simple->rgpElement[i]->TrustStatus.dwErrorStatus & ~kOrderIssues) {
        failure = prefix + Fmt(L"цепочка сертификатов сервера недействительна (ошибка цепочки 0x%s).",
                               Hex8(simple->rgpElement[i]->TrustStatus.dwErrorStatus));
        return false;
      }
  } else if (status & ~kOrderIssues) {
    failure = prefix + Fmt(L"цепочка сертификатов сервера недействительна (ошибка цепочки 0x%s).", Hex8(status));
    return false;
  }
  // The dates of every certificate up to the trusted one.
  for (DWORD i = 0; i <= reached && i < count; ++i) {
    const CERT_CONTEXT* c = simple->rgpElement[i]->pCertContext;
    LONG t = CertVerifyTimeValidity(nullptr, c->pCertInfo);
    if (t > 0) {
      failure =
          prefix + Fmt(L"срок действия сертификата «%s» истек %s.", SubjectName(c), DateText(c->pCertInfo->NotAfter));
      return false;
    }
    if (t < 0) {
      failure = prefix + Fmt(L"сертификат «%s» еще не действует: срок его действия начинается %s.", SubjectName(c),
                             DateText(c->pCertInfo->NotBefore));
      return false;
    }
  }
  // The usage the chain engine judged, besides the certificates' own lists read above.
  const bool usable = !(simple->rgpElement[0]->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_VALID_FOR_USAGE);
  if (!usable) {
    failure = prefix + L"сертификат сервера не предназначен для проверки подлинности сервера.";
    return false;
  }
  const TNameCheck names = CheckCertificateName(server, host);
  if (names == TNameCheck::Unreadable) {
    failure =
        prefix + L"альтернативные имена в сертификате сервера не читаются (расширение subjectAltName повреждено).";
    return false;
  }
  if (names != TNameCheck::Match) {
    failure = prefix + Fmt(L"имени сервера «%s» нет в его сертификате (сертификат выдан для: %s).", AnsiToWide(host),
                           CertificateNamesText(server));
    return false;
  }
  return true;
}

NetResult TTlsChannel::Handshake(const std::string& host, const TTlsTrust& trust, DWORD limitMs,
                                 std::wstring& failure) {
  Impl& m = *impl_;
  m.host = host;
  m.trust = trust;
  const std::wstring prefix = L"Не удалось установить защищенное соединение с сервером " + AnsiToWide(host) + L": ";
  SCHANNEL_CRED cred{};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  const DWORD legacy = trust.allowLegacyProtocols ? SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT : 0;
  cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT | legacy;
  TimeStamp expiry{};
  SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                                     nullptr, &cred, nullptr, nullptr, &m.credentials, &expiry);
  if (status != SEC_E_OK) {
    // A provider that knows no TLS 1.3 refuses the whole set.
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | legacy;
    status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                       &cred, nullptr, nullptr, &m.credentials, &expiry);
  }
  if (status != SEC_E_OK) {
    failure = prefix + StatusText(status);
    return NetResult::Failed;
  }
  m.haveCredentials = true;
  m.offered = std::wstring(cred.grbitEnabledProtocols & SP_PROT_TLS1_3_CLIENT ? L"TLS 1.3, " : L"") + L"TLS 1.2" +
              (legacy ? L", TLS 1.1, TLS 1.0" : L"");
  NetResult r = m.Loop(true, GetTickCount(), limitMs, failure);
  if (r != NetResult::Ok) return r;
  if (QueryContextAttributesW(&m.context, SECPKG_ATTR_STREAM_SIZES, &m.sizes) != SEC_E_OK ||
      m.sizes.cbMaximumMessage == 0) {
    failure = prefix + L"поставщик TLS не сообщил размеры записей.";
    return NetResult::Failed;
  }
  if (!m.Verify(failure)) return NetResult::Failed;
  summary_ = m.Describe();
  return NetResult::Ok;
}

NetResult TTlsChannel::Send(const char* data, size_t size, std::wstring& failure) {
  Impl& m = *impl_;
  std::vector<char> record(m.sizes.cbHeader + m.sizes.cbMaximumMessage + m.sizes.cbTrailer);
  while (size > 0) {
    const unsigned long chunk =
        size > m.sizes.cbMaximumMessage ? m.sizes.cbMaximumMessage : static_cast<unsigned long>(size);
    std::memcpy(record.data() + m.sizes.cbHeader, data, chunk);
    SecBuffer b[4] = {{m.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                      {chunk, SECBUFFER_DATA, record.data() + m.sizes.cbHeader},
                      {m.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + m.sizes.cbHeader + chunk},
                      {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
    SECURITY_STATUS status = EncryptMessage(&m.context, 0, &desc, 0);
    if (status != SEC_E_OK) {
      failure = L"Ошибка шифрования данных защищенного соединения: " + StatusText(status);
      return NetResult::Failed;
    }
    NetResult r = m.socket.Send(record.data(), b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer);
    if (r != NetResult::Ok) return r;
    data += chunk;
    size -= chunk;
  }
  return NetResult::Ok;
}

NetResult TTlsChannel::Receive(char* buffer, int size, int& received, std::wstring& failure) {
  Impl& m = *impl_;
  received = 0;
  if (m.in.size() < kReceiveBufferSize) m.in.resize(kReceiveBufferSize);
  auto hand = [&](const char* p, size_t n) {
    size_t take = n < static_cast<size_t>(size - received) ? n : static_cast<size_t>(size - received);
    std::memcpy(buffer + received, p, take);
    received += static_cast<int>(take);
    if (take < n) m.plain.insert(m.plain.end(), p + take, p + n);
  };
  if (m.plainPos < m.plain.size()) {
    size_t n = m.plain.size() - m.plainPos;
    size_t take = n < static_cast<size_t>(size) ? n : static_cast<size_t>(size);
    std::memcpy(buffer, m.plain.data() + m.plainPos, take);
    m.plainPos += take;
    received = static_cast<int>(take);
    if (m.plainPos == m.plain.size()) {
      m.plain.clear();
      m.plainPos = 0;
    }
    return NetResult::Ok;
  }
  for (;;) {
    // Every whole record already received, while there is room for its bytes.
    while (m.inLen > 0 && received < size && m.plain.empty()) {
      SecBuffer b[4] = {{static_cast<unsigned long>(m.inLen), SECBUFFER_DATA, m.in.data() + m.inStart},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      // An alert record: under providers that report the close notice as a record without data.
      const bool alert = m.in[m.inStart] == 0x15;
      SECURITY_STATUS status = DecryptMessage(&m.context, &desc, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) break;
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        failure = L"Ошибка расшифровки данных защищенного соединения: " + StatusText(status);
        return NetResult::Failed;
      }
      SecBuffer extra{0, SECBUFFER_EMPTY, nullptr};
      bool data = false;
      for (auto& x : b) {
        if (x.BufferType == SECBUFFER_DATA && x.cbBuffer > 0) {
          hand(static_cast<const char*>(x.pvBuffer), x.cbBuffer);
          data = true;
        }
        if (x.BufferType == SECBUFFER_EXTRA) extra = x;
      }
      if (status == SEC_E_OK && alert && !data) status = SEC_I_CONTEXT_EXPIRED;
      if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= m.inLen) {
        m.inStart += m.inLen - extra.cbBuffer;  // the extra bytes are the tail of what was given
        m.inLen = extra.cbBuffer;
      } else {
        m.inStart = m.inLen = 0;
      }
      if (status == SEC_I_CONTEXT_EXPIRED) {
        m.closed = true;
        m.SendCloseNotify();
        break;
      }
      if (status == SEC_I_RENEGOTIATE) {
        // The server asks for a new handshake on the same channel; what it proves is checked again.
        m.Compact();
        NetResult r =
            m.Loop(false, GetTickCount(), m.socket.Timeout() == INFINITE ? 120000 : m.socket.Timeout(), failure);
        if (r != NetResult::Ok) return r;
        if (!m.Verify(failure)) return NetResult::Failed;
        QueryContextAttributesW(&m.context, SECPKG_ATTR_STREAM_SIZES, &m.sizes);
      }
    }
    if (received > 0 || m.closed) return NetResult::Ok;
    m.Compact();
    if (m.inLen == m.in.size()) {
      failure = L"Сервер прислал запись TLS недопустимой длины.";
      return NetResult::Failed;
    }
    int got = 0;
    NetResult r = m.socket.Receive(m.in.data() + m.inLen, static_cast<int>(m.in.size() - m.inLen), got);
    if (r != NetResult::Ok) return r;
    if (got == 0) {
      // The connection's end without the close notice: whoever ended it, what came may be cut.
      failure = L"Соединение с сервером " + AnsiToWide(m.host) +
                L" прервано: сервер закрыл соединение без уведомления о закрытии (TLS close_notify): полученные "
                L"данные могут быть неполными.";
      return NetResult::Failed;
    }
    m.inLen += static_cast<size_t>(got);
  }
}

}  // namespace dorvex::net
