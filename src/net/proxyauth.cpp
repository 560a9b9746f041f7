#include "net/proxyauth.h"

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
// clang-format on

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "net/url.h"

namespace dorvex::net {

namespace {

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

// A digest in lower-case hex through CryptoAPI (the AES provider type knows MD5 and SHA-256).
bool HashHex(ALG_ID algorithm, const std::string& data, std::string& hex) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return false;
  HCRYPTHASH hash = 0;
  bool ok = CryptCreateHash(provider, algorithm, 0, 0, &hash) != FALSE;
  BYTE value[64];
  DWORD size = sizeof value;
  ok = ok && CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) &&
       CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0);
  if (hash) CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  if (ok) hex = Hex(std::string(reinterpret_cast<const char*>(value), size));
  return ok;
}

std::string RandomHex(int bytes) {
  std::string raw(static_cast<size_t>(bytes), '\0');
  HCRYPTPROV provider = 0;
  if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    CryptGenRandom(provider, static_cast<DWORD>(bytes), reinterpret_cast<BYTE*>(raw.data()));
    CryptReleaseContext(provider, 0);
  }
  return Hex(raw);
}

std::string DecodeBase64(const std::string& text) {
  DWORD size = 0;
  if (text.empty() || !CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr,
                                            &size, nullptr, nullptr))
    return "";
  std::string bytes(size, '\0');
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                            reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr))
    return "";
  bytes.resize(size);
  return bytes;
}

// A quoted-string's value as it may stand in a header: quotes and backslashes escaped, control
// bytes (which could start a header line) left out.
std::string Quoted(const std::string& value) {
  std::string q = "\"";
  for (char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) continue;
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

const char* SspiPackage(TProxyAuthType type) {
  return type == TProxyAuthType::atNtlm ? "NTLM" : "Negotiate";
}

std::wstring JoinSchemes(const std::vector<TAuthChallenge>& offers) {
  std::wstring names;
  for (const auto& c : offers) {
    const std::wstring name = AnsiToWide(c.scheme);
    if (name.empty() || (L", " + names + L",").find(L", " + name + L",") != std::wstring::npos) continue;
    names += (names.empty() ? L"" : L", ") + name;
  }
  return names.empty() ? L"(не названы)" : names;
}

}  // namespace

std::string TAuthChallenge::Param(const std::string& name) const {
  for (const auto& p : params)
    if (p.first == name) return p.second;
  return "";
}

std::vector<TAuthChallenge> ParseChallenges(const std::vector<std::string>& values) {
  std::vector<TAuthChallenge> out;
  for (const std::string& v : values) {
    size_t i = 0;
    const size_t n = v.size();
    auto skipBlank = [&] {
      while (i < n && (v[i] == ' ' || v[i] == '\t')) ++i;
    };
    while (i < n) {
      while (i < n && (v[i] == ' ' || v[i] == '\t' || v[i] == ',')) ++i;
      size_t start = i;
      while (i < n && IsTokenChar(v[i])) ++i;
      if (i == start) break;  // not a scheme: the rest cannot be read
      TAuthChallenge c;
      c.scheme = v.substr(start, i - start);
      skipBlank();
      // A token68 (NTLM's and Negotiate's base64): letters, digits and "-._~+/", then "=" only.
      size_t t = i;
      while (t < n && (std::isalnum(static_cast<unsigned char>(v[t])) || std::strchr("-._~+/", v[t]))) ++t;
      size_t e = t;
      while (e < n && v[e] == '=') ++e;
      size_t after = e;
      while (after < n && (v[after] == ' ' || v[after] == '\t')) ++after;
      if (t > i && (after == n || v[after] == ',')) {
        c.token = v.substr(i, e - i);
        i = after;
        out.push_back(c);
        continue;
      }
      // Parameters: name=value or name="quoted", separated by commas, up to the next scheme.
      for (;;) {
        skipBlank();
        size_t ns = i;
        while (i < n && IsTokenChar(v[i])) ++i;
        if (i == ns) break;
        size_t ne = i;
        skipBlank();
        if (i >= n || v[i] != '=') {
          i = ns;  // a new challenge's scheme
          break;
        }
        ++i;
        skipBlank();
        std::string value;
        if (i < n && v[i] == '"') {
          for (++i; i < n && v[i] != '"'; ++i) {
            if (v[i] == '\\' && i + 1 < n) ++i;
            value += v[i];
          }
          if (i < n) ++i;
        } else {
          while (i < n && v[i] != ',' && v[i] != ' ' && v[i] != '\t') value += v[i++];
        }
        c.params.emplace_back(AsciiLower(v.substr(ns, ne - ns)), value);
        skipBlank();
        if (i < n && v[i] == ',') ++i;
      }
      out.push_back(c);
    }
  }
  return out;
}

bool DigestAuthorization(const TAuthChallenge& ch, const std::string& user, const std::string& password,
                         const std::string& method, const std::string& uri, uint32_t nonceCount,
                         const std::string& cnonce, std::string& header) {
  std::string algorithm = ch.Param("algorithm");
  if (algorithm.empty()) algorithm = "MD5";
  const std::string a = AsciiLower(algorithm);
  const bool session = a.size() > 5 && a.compare(a.size() - 5, 5, "-sess") == 0;
  const std::string base = session ? a.substr(0, a.size() - 5) : a;
  ALG_ID id = 0;
  if (base == "md5") id = CALG_MD5;
  if (base == "sha-256") id = CALG_SHA_256;
  if (id == 0) return false;
  const std::string realm = ch.Param("realm"), nonce = ch.Param("nonce");
  // "auth" when the server offers it; auth-int (a digest of the body) is not needed for GET.
  bool qopAuth = false;
  const std::string qop = AsciiLower(ch.Param("qop"));
  for (size_t p = 0; p <= qop.size();) {
    size_t comma = qop.find(',', p);
    std::string item = qop.substr(p, comma == std::string::npos ? std::string::npos : comma - p);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.erase(0, 1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.pop_back();
    if (item == "auth") qopAuth = true;
    if (comma == std::string::npos) break;
    p = comma + 1;
  }
  if (!qop.empty() && !qopAuth) return false;
  char nc[16];
  std::snprintf(nc, sizeof nc, "%08x", static_cast<unsigned>(nonceCount));
  std::string ha1, ha2, response;
  if (!HashHex(id, user + ":" + realm + ":" + password, ha1)) return false;
  if (session && !HashHex(id, ha1 + ":" + nonce + ":" + cnonce, ha1)) return false;
  if (!HashHex(id, method + ":" + uri, ha2)) return false;
  const std::string material =
      qopAuth ? ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2 : ha1 + ":" + nonce + ":" + ha2;
  if (!HashHex(id, material, response)) return false;
  header = "Digest username=" + Quoted(user) + ", realm=" + Quoted(realm) + ", nonce=" + Quoted(nonce) +
           ", uri=" + Quoted(uri) + ", algorithm=" + algorithm + ", response=\"" + response + "\"";
  if (!ch.Param("opaque").empty()) header += ", opaque=" + Quoted(ch.Param("opaque"));
  if (qopAuth) header += ", qop=auth, nc=" + std::string(nc) + ", cnonce=\"" + cnonce + "\"";
  return true;
}

// The security package's credentials and context of one handshake.
struct TProxyAuth::Sspi {
  CredHandle cred{};
  CtxtHandle ctx{};
  bool haveCred = false, haveCtx = false;
  SECURITY_STATUS status = SEC_E_OK;
  ~Sspi() {
    if (haveCtx) DeleteSecurityContext(&ctx);
    if (haveCred) FreeCredentialsHandle(&cred);
  }
  // The next token of the handshake from the server's last one ("" for the first); false on a failure.
  bool Step(TProxyAuthType type, const std::string& user, const std::string& password, const std::string& host,
            const std::string& in, std::string& out) {
    std::wstring package = AnsiToWide(SspiPackage(type));
    if (!haveCred) {
      // An empty login is the Windows logon of the user running the program, as a browser does it.
      std::wstring u = AnsiToWide(user), domain, pass = AnsiToWide(password);
      const size_t slash = u.find(L'\\');
      if (slash != std::wstring::npos) {
        domain = u.substr(0, slash);
        u.erase(0, slash + 1);
      }
      SEC_WINNT_AUTH_IDENTITY_W id{};
      id.User = reinterpret_cast<unsigned short*>(u.data());
      id.UserLength = static_cast<unsigned long>(u.size());
      id.Domain = reinterpret_cast<unsigned short*>(domain.data());
      id.DomainLength = static_cast<unsigned long>(domain.size());
      id.Password = reinterpret_cast<unsigned short*>(pass.data());
      id.PasswordLength = static_cast<unsigned long>(pass.size());
      id.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
      TimeStamp expiry{};
      status = AcquireCredentialsHandleW(nullptr, package.data(), SECPKG_CRED_OUTBOUND, nullptr,
                                         user.empty() ? nullptr : &id, nullptr, nullptr, &cred, &expiry);
      SecureZeroMemory(pass.data(), pass.size() * sizeof(wchar_t));
      if (status != SEC_E_OK) return false;
      haveCred = true;
    }
    PSecPkgInfoW info = nullptr;
    unsigned long maxToken = 12288;
    if (QuerySecurityPackageInfoW(package.data(), &info) == SEC_E_OK && info) {
      maxToken = info->cbMaxToken;
      FreeContextBuffer(info);
    }
    std::string buffer(maxToken, '\0');
    SecBuffer inBuf{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN, const_cast<char*>(in.data())};
    SecBufferDesc inDesc{SECBUFFER_VERSION, 1, &inBuf};
    SecBuffer outBuf{maxToken, SECBUFFER_TOKEN, buffer.data()};
    SecBufferDesc outDesc{SECBUFFER_VERSION, 1, &outBuf};
    std::wstring target = L"HTTP/" + AnsiToWide(host);
    unsigned long attributes = 0;
    TimeStamp expiry{};
    status = InitializeSecurityContextW(&cred, haveCtx ? &ctx : nullptr, target.data(), ISC_REQ_CONNECTION, 0,
                                        SECURITY_NATIVE_DREP, in.empty() ? nullptr : &inDesc, 0, &ctx, &outDesc,
                                        &attributes, &expiry);
    if (status == SEC_I_COMPLETE_NEEDED || status == SEC_I_COMPLETE_AND_CONTINUE) {
      status = CompleteAuthToken(&ctx, &outDesc);
      if (status == SEC_E_OK) status = SEC_I_CONTINUE_NEEDED;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return false;
    haveCtx = true;
    out = EncodeBase64(buffer.substr(0, outBuf.cbBuffer));
    return outBuf.cbBuffer > 0;
  }
};

TProxyAuth::TProxyAuth(TProxyAuthType type, std::string user, std::string password, std::string proxyHost)
    : type_(type), user_(std::move(user)), password_(std::move(password)), host_(std::move(proxyHost)) {}

TProxyAuth::~TProxyAuth() = default;

bool TProxyAuth::Same(TProxyAuthType type, const std::string& user, const std::string& password,
                      const std::string& proxyHost) const {
  return type == type_ && user == user_ && password == password_ && proxyHost == host_;
}

std::wstring TProxyAuth::KindName(TProxyAuthType type) {
  switch (type) {
    case TProxyAuthType::atBasic: return L"Basic";
    case TProxyAuthType::atDigest: return L"Digest";
    case TProxyAuthType::atNtlm: return L"NTLM";
    case TProxyAuthType::atNegotiate: return L"Negotiate";
    default: return L"без проверки подлинности";
  }
}

void TProxyAuth::NewConnection() {
  if (!ConnectionBound() || sspiLegs_ == 0) return;  // a first token not yet sent still fits
  // The handshake belongs to the last connection. Where the proxy took this scheme before, the
  // new connection opens with the first token at once instead of waiting for its 407.
  sspi_.reset();
  pendingToken_.clear();
  sspiLegs_ = 0;
  if (taken_.empty()) return;
  sspi_ = std::make_unique<Sspi>();
  std::string first;
  if (sspi_->Step(type_, user_, password_, host_, "", first)) pendingToken_ = first;
}

std::string TProxyAuth::Authorization(const std::string& method, const std::string& uri) {
  sent_.clear();
  switch (type_) {
    case TProxyAuthType::atBasic:
      if (user_.empty()) return "";
      basicSent_ = true;
      sent_ = L"Basic";
      return "Basic " + EncodeBase64(user_ + ":" + password_);
    case TProxyAuthType::atDigest: {
      if (!digest_) return "";
      std::string header;
      if (!DigestAuthorization(*digest_, user_, password_, method, uri, ++nonceCount_, RandomHex(16), header))
        return "";
      digestSent_ = true;
      std::string algorithm = digest_->Param("algorithm");
      sent_ = L"Digest (" + AnsiToWide(algorithm.empty() ? "MD5" : algorithm) + L")";
      return header;
    }
    case TProxyAuthType::atNtlm:
    case TProxyAuthType::atNegotiate: {
      if (pendingToken_.empty()) return "";
      std::string token;
      token.swap(pendingToken_);
      ++sspiLegs_;
      sent_ = KindName(type_);
      return std::string(SspiPackage(type_)) + " " + token;
    }
    default: return "";
  }
}

void TProxyAuth::Accepted() {
  if (!sent_.empty()) taken_ = sent_;
}

bool TProxyAuth::Challenge(const std::vector<std::string>& values, bool sameConnection, std::wstring& failure) {
  const std::vector<TAuthChallenge> offers = ParseChallenges(values);
  const std::wstring offered = L"Прокси-сервер требует проверки подлинности по схемам: " + JoinSchemes(offers);
  const std::string wanted = AsciiLower(type_ == TProxyAuthType::atBasic    ? "Basic"
                                        : type_ == TProxyAuthType::atDigest ? "Digest"
                                                                            : SspiPackage(type_));
  std::vector<const TAuthChallenge*> mine;
  for (const auto& c : offers)
    if (AsciiLower(c.scheme) == wanted) mine.push_back(&c);
  if (type_ == TProxyAuthType::atNone || mine.empty()) {
    failure =
        offered + (type_ == TProxyAuthType::atNone ? std::wstring(L"; в настройках проверка подлинности не выбрана.")
                                                   : L"; в настройках выбрана схема " + KindName(type_) + L".");
    return false;
  }
  const std::wstring rejected = L"Прокси-сервер отверг имя пользователя или пароль (" + KindName(type_) + L")";
  switch (type_) {
    case TProxyAuthType::atBasic:
      if (user_.empty()) {
        failure = offered + L"; в настройках не указано имя пользователя.";
        return false;
      }
      if (basicSent_) {
        failure = rejected;
        return false;
      }
      return true;
    case TProxyAuthType::atDigest: {
      // SHA-256 before MD5 where the proxy offers both; an algorithm not known is passed over.
      const TAuthChallenge* chosen = nullptr;
      std::string probe;
      for (int round = 0; round < 2 && !chosen; ++round)
        for (const TAuthChallenge* c : mine) {
          const bool sha = AsciiLower(c->Param("algorithm")).rfind("sha-256", 0) == 0;
          if ((round == 0) == sha && DigestAuthorization(*c, user_, password_, "GET", "/", 1, "0", probe)) {
            chosen = c;
            break;
          }
        }
      if (!chosen) {
        failure = offered + L": ни один из предложенных вариантов Digest не поддерживается.";
        return false;
      }
      // A stale nonce (the password was right) is answered once more with the new one.
      const bool stale = AsciiLower(chosen->Param("stale")) == "true";
      if (digestSent_ && !(stale && !staleRetried_)) {
        failure = rejected;
        return false;
      }
      if (stale) staleRetried_ = true;
      digest_ = std::make_unique<TAuthChallenge>(*chosen);
      nonceCount_ = 0;
      digestSent_ = false;
      return true;
    }
    default: {
      const std::string token = DecodeBase64(mine.front()->token);
      if (sspiLegs_ > 0 && (token.empty() || !sameConnection)) {
        failure = token.empty() ? rejected
                                : L"Прокси-сервер закрыл соединение посреди проверки подлинности (" + KindName(type_) +
                                      L"); проверка подлинности этой схемой требует постоянного соединения";
        return false;
      }
      if (!sspi_ || token.empty()) {
        sspi_ = std::make_unique<Sspi>();
        sspiLegs_ = 0;
      }
      std::string next;
      if (!sspi_->Step(type_, user_, password_, host_, token, next)) {
        failure = Fmt(
            L"Проверка подлинности %s на прокси-сервере невозможна: ошибка системы безопасности 0x%s", KindName(type_),
            AnsiToWide(Hex(std::string{
                static_cast<char>((sspi_->status >> 24) & 0xFF), static_cast<char>((sspi_->status >> 16) & 0xFF),
                static_cast<char>((sspi_->status >> 8) & 0xFF), static_cast<char>(sspi_->status & 0xFF)})));
        return false;
      }
      pendingToken_ = next;
      return true;
    }
  }
}

}  // namespace dorvex::net
