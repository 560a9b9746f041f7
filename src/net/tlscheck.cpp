#include "net/tlscheck.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/text.h"
#include "net/tls.h"

namespace dorvex::net {

namespace {

// A server's certificate message beyond this is no chain a server needs (real ones are a few KB).
constexpr size_t kChainLimit = 64 * 1024;
// The handshake's records before encryption: a few messages of a few KB in a sound flight.
constexpr size_t kFlightLimit = 128 * 1024;
constexpr size_t kMessageLimit = 64;

std::wstring Kb(size_t n) {
  return std::to_wstring((n + 1023) / 1024) + L" КБ";
}

std::wstring VersionName(unsigned v) {
  switch (v) {
    case 0x0300: return L"SSL 3.0";
    case 0x0301: return L"TLS 1.0";
    case 0x0302: return L"TLS 1.1";
    case 0x0303: return L"TLS 1.2";
    case 0x0304: return L"TLS 1.3";
    default: {
      wchar_t buf[16];
      swprintf(buf, 16, L"0x%04X", v);
      return buf;
    }
  }
}

// One DER element read strictly: a definite length in its shortest form, within the bytes.
struct TDer {
  unsigned char tag = 0;
  const unsigned char* data = nullptr;
  size_t size = 0;
};

bool ReadDer(const unsigned char*& p, size_t& left, TDer& out) {
  if (left < 2 || (p[0] & 0x1F) == 0x1F) return false;  // no multi-byte tags in what is read here
  out.tag = p[0];
  size_t length = p[1], header = 2;
  if (length & 0x80) {
    const size_t n = length & 0x7F;
    if (n == 0 || n > 3 || left < 2 + n || p[2] == 0) return false;  // indefinite, huge or padded
    length = 0;
    for (size_t i = 0; i < n; ++i) length = length << 8 | p[2 + i];
    if (length < 0x80) return false;  // the long form for a short length
    header += n;
  }
  if (length > left - header) return false;
  out.data = p + header;
  out.size = length;
  p += header + length;
  left -= header + length;
  return true;
}

struct TNames {
  bool hasAltNames = false, readable = true;
  std::vector<std::string> dns;
  std::vector<std::string> addresses;  // 4 or 16 bytes
  std::string commonName;              // the last one of the subject, its bytes as encoded
  bool hasCommonName = false;
};

TNames NamesOf(PCCERT_CONTEXT c) {
  TNames names;
  const CERT_INFO* info = c->pCertInfo;
  PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext) {
    names.hasAltNames = true;
    const unsigned char* p = ext->Value.pbData;
    size_t left = ext->Value.cbData;
    TDer seq;
    bool ok = ReadDer(p, left, seq) && seq.tag == 0x30 && left == 0;
    p = seq.data;
    left = seq.size;
    while (ok && left > 0) {
      TDer name;
      ok = ReadDer(p, left, name) && (name.tag & 0xC0) == 0x80 && (name.tag & 0x1F) <= 8;
      if (ok && name.tag == 0x82) names.dns.emplace_back(reinterpret_cast<const char*>(name.data), name.size);
      if (ok && name.tag == 0x87) names.addresses.emplace_back(reinterpret_cast<const char*>(name.data), name.size);
    }
    // What the system cannot decode either is not read half by one and half by the other.
    CERT_ALT_NAME_INFO* decoded = nullptr;
    DWORD size = 0;
    if (ok && CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                                  CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size))
      LocalFree(decoded);
    else
      ok = false;
    names.readable = ok;
  }
  // Name ::= SEQUENCE OF SET OF SEQUENCE { type OID, value }: the common name's value as bytes.
  const unsigned char* p = info->Subject.pbData;
  size_t left = info->Subject.cbData;
  TDer name;
  if (ReadDer(p, left, name) && name.tag == 0x30) {
    p = name.data;
    left = name.size;
    TDer set;
    while (ReadDer(p, left, set) && set.tag == 0x31) {
      const unsigned char* q = set.data;
      size_t qleft = set.size;
      TDer attribute;
      while (ReadDer(q, qleft, attribute) && attribute.tag == 0x30) {
        const unsigned char* r = attribute.data;
        size_t rleft = attribute.size;
        TDer type, value;
        static const unsigned char kCommonName[] = {0x55, 0x04, 0x03};
        if (ReadDer(r, rleft, type) && ReadDer(r, rleft, value) && type.tag == 0x06 && type.size == 3 &&
            std::memcmp(type.data, kCommonName, 3) == 0) {
          names.commonName.assign(reinterpret_cast<const char*>(value.data), value.size);
          names.hasCommonName = true;
        }
      }
    }
  }
  return names;
}

// A name as a message shows it: UTF-8 as letters, control bytes as \xNN.
std::wstring Shown(const std::string& bytes) {
  std::string out;
  for (unsigned char ch : bytes) {
    if (ch < 0x20 || ch == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", ch);
      out += buf;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return Utf8ToWide(out);
}

bool HasExtension(PCCERT_CONTEXT c, const char* oid) {
  return CertFindExtension(oid, c->pCertInfo->cExtension, c->pCertInfo->rgExtension) != nullptr;
}

}  // namespace

void TServerFlight::Feed(const char* data, size_t size) {
  if (encrypted_) return;
  record_.append(data, size);
  size_t at = 0;
  while (!encrypted_ && record_.size() - at >= 5) {
    const auto* h = reinterpret_cast<const unsigned char*>(record_.data() + at);
    const size_t length = static_cast<size_t>(h[3]) << 8 | h[4];
    if (record_.size() - at < 5 + length) break;
    const unsigned char type = h[0];
    if (type == 0x14) encrypted_ = true;  // what follows the change of cipher spec is not readable here
    if (type == 0x15 && length >= 2) alert_ = h[6];
    if (type == 0x16) {
      handshakeBytes_ += length;
      messages_.append(record_, at + 5, length);
      while (messages_.size() >= 4) {
        const auto* m = reinterpret_cast<const unsigned char*>(messages_.data());
        const size_t announced = static_cast<size_t>(m[1]) << 16 | static_cast<size_t>(m[2]) << 8 | m[3];
        if (m[0] == 11) chainLength_ = announced;
        if (messages_.size() < 4 + announced) {
          if (announced > kFlightLimit) messages_.clear();  // refused anyway; not kept
          break;
        }
        Message(m[0], messages_.substr(4, announced), announced);
        messages_.erase(0, 4 + announced);
      }
    }
    at += 5 + length;
  }
  record_.erase(0, at);
  if (record_.size() > kFlightLimit + 5) record_.clear();
}

void TServerFlight::Message(unsigned char type, const std::string& body, size_t) {
  ++messageCount_;
  if (type == 2 && body.size() >= 2)
    version_ = static_cast<unsigned>(static_cast<unsigned char>(body[0])) << 8 | static_cast<unsigned char>(body[1]);
}

std::wstring TServerFlight::Refusal(bool legacyAllowed) const {
  if (version_ != 0 && version_ < 0x0303 && !(legacyAllowed && version_ >= 0x0301)) {
    std::wstring text = L"сервер поддерживает только устаревший протокол " + VersionName(version_);
    if (version_ >= 0x0301)
      text +=
          L"; его можно разрешить ключом AllowOldTls в разделе [Security] настроек (это ослабляет защиту "
          L"соединения).";
    else
      text += L", с которым программа не работает.";
    return text;
  }
  if (chainLength_ > kChainLimit)
    return L"сервер прислал слишком большую цепочку сертификатов (" + Kb(chainLength_) + L", допустимо не более " +
           Kb(kChainLimit) + L").";
  if (handshakeBytes_ > kFlightLimit || messageCount_ > kMessageLimit)
    return L"сервер прислал слишком много данных установления соединения (" + std::to_wstring(messageCount_) +
           L" сообщений, " + Kb(handshakeBytes_) + L") — так сервер TLS не отвечает.";
  return L"";
}

std::wstring TServerFlight::FailureReason(const std::wstring& offered) const {
  if (alert_ < 0) return L"";
  if (alert_ == 70)
    return L"у программы и сервера нет общей версии протокола TLS: сервер отверг предложенные программой версии (" +
           offered + L").";
  if (alert_ == 40 || alert_ == 71)
    return L"у программы и сервера нет общих алгоритмов шифрования (сервер отказал в установлении соединения, код " +
           std::to_wstring(alert_) + L").";
  if (alert_ == 112) return L"сервер не знает имени, по которому к нему обратились (код 112).";
  return L"сервер прервал установление соединения сообщением об ошибке TLS с кодом " + std::to_wstring(alert_) + L".";
}

TNameCheck CheckCertificateName(PCCERT_CONTEXT c, const std::string& host) {
  const TNames names = NamesOf(c);
  if (!names.readable) return TNameCheck::Unreadable;
  in_addr address{};
  const bool isAddress = host.size() <= 64 && inet_pton(AF_INET, host.c_str(), &address) == 1;
  for (const auto& a : names.addresses)
    if (isAddress && a.size() == 4 && std::memcmp(a.data(), &address, 4) == 0) return TNameCheck::Match;
  if (isAddress) return TNameCheck::NoMatch;
  for (const auto& d : names.dns)
    if (HostMatchesPattern(host, d)) return TNameCheck::Match;
  // The common name counts only for a certificate without alternative names.
  if (!names.hasAltNames && names.hasCommonName && HostMatchesPattern(host, names.commonName)) return TNameCheck::Match;
  return TNameCheck::NoMatch;
}

std::wstring CertificateNamesText(PCCERT_CONTEXT c) {
  const TNames names = NamesOf(c);
  std::wstring text;
  auto add = [&text](const std::wstring& n) { text += (text.empty() ? L"" : L", ") + n; };
  if (names.readable) {
    for (const auto& d : names.dns) add(Shown(d));
    for (const auto& a : names.addresses)
      if (a.size() == 4) {
        const auto* b = reinterpret_cast<const unsigned char*>(a.data());
        add(std::to_wstring(b[0]) + L"." + std::to_wstring(b[1]) + L"." + std::to_wstring(b[2]) + L"." +
            std::to_wstring(b[3]));
      }
  }
  if (text.empty() && names.hasCommonName) add(Shown(names.commonName));
  return text.empty() ? L"без имени" : text;
}

std::wstring WeaknessOf(PCCERT_CONTEXT c, bool selfSignatureTrusted, const std::wstring& name) {
  const CERT_INFO* info = c->pCertInfo;
  if (std::strcmp(info->SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA) == 0) {
    const DWORD bits =
        CertGetPublicKeyLength(X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(&info->SubjectPublicKeyInfo));
    if (bits < 2048)
      return Fmt(L"ключ RSA сертификата «%s» короче 2048 бит (%d бит).", name, static_cast<unsigned long>(bits));
  }
  if (selfSignatureTrusted) return L"";
  static const struct {
    const char* oid;
    const wchar_t* name;
  } kWeak[] = {
      {"1.2.840.113549.1.1.2", L"MD2"},   {"1.2.840.113549.1.1.3", L"MD4"}, {"1.2.840.113549.1.1.4", L"MD5"},
      {"1.2.840.113549.1.1.5", L"SHA-1"}, {"1.3.14.3.2.3", L"MD5"},         {"1.3.14.3.2.29", L"SHA-1"},
      {"1.3.14.3.2.27", L"SHA-1"},        {"1.2.840.10040.4.3", L"SHA-1"},  {"1.2.840.10045.4.1", L"SHA-1"},
  };
  for (const auto& w : kWeak)
    if (std::strcmp(info->SignatureAlgorithm.pszObjId, w.oid) == 0)
      return Fmt(L"сертификат «%s» подписан устаревшим и ненадежным алгоритмом %s.", name, w.name);
  return L"";
}

std::wstring UsageFaultOf(PCCERT_CONTEXT c, bool isIssuer, const std::wstring& name) {
  BYTE usage[2] = {0, 0};
  if (HasExtension(c, szOID_KEY_USAGE) &&
      CertGetIntendedKeyUsage(X509_ASN_ENCODING, const_cast<CERT_INFO*>(c->pCertInfo), usage, sizeof usage)) {
    if (isIssuer && !(usage[0] & CERT_KEY_CERT_SIGN_KEY_USAGE))
      return Fmt(L"сертификат центра «%s» не предназначен для подписи сертификатов (keyCertSign).", name);
    if (!isIssuer && !(usage[0] & (CERT_DIGITAL_SIGNATURE_KEY_USAGE | CERT_KEY_ENCIPHERMENT_KEY_USAGE)))
      return L"сертификат сервера не предназначен для проверки подлинности сервера (его ключ не для подписи и не для "
             L"обмена ключами).";
  }
  PCERT_EXTENSION basic =
      CertFindExtension(szOID_BASIC_CONSTRAINTS2, c->pCertInfo->cExtension, c->pCertInfo->rgExtension);
  if (isIssuer && basic) {
    CERT_BASIC_CONSTRAINTS2_INFO* info = nullptr;
    DWORD size = 0;
    bool authority = false;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_BASIC_CONSTRAINTS2, basic->Value.pbData, basic->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size)) {
      authority = info->fCA != FALSE;
      LocalFree(info);
    }
    if (!authority) return Fmt(L"сертификат «%s» не является сертификатом центра сертификации.", name);
  }
  DWORD size = 0;
  if (CertGetEnhancedKeyUsage(c, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size) && size > 0) {
    std::vector<BYTE> buffer(size);
    auto* eku = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
    if (CertGetEnhancedKeyUsage(c, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, eku, &size)) {
      bool found = eku->cUsageIdentifier == 0;
      for (DWORD i = 0; i < eku->cUsageIdentifier; ++i)
        if (std::strcmp(eku->rgpszUsageIdentifier[i], szOID_PKIX_KP_SERVER_AUTH) == 0 ||
            std::strcmp(eku->rgpszUsageIdentifier[i], "2.5.29.37.0") == 0)
          found = true;
      if (!found)
        return isIssuer ? Fmt(L"сертификат «%s» не предназначен для проверки подлинности сервера.", name)
                        : std::wstring(L"сертификат сервера не предназначен для проверки подлинности сервера.");
    }
  } else if (HasExtension(c, szOID_ENHANCED_KEY_USAGE)) {
    return Fmt(L"назначение сертификата «%s» не читается.", name);
  }
  return L"";
}

}  // namespace dorvex::net
