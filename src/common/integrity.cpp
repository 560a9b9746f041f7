#include "common/integrity.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "common/text.h"

namespace dorvex {

namespace {

HCRYPTPROV AcquireAesProvider() {
  // SHA-256 lives in the AES provider type; the plain RSA provider refuses it.
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return 0;
  return provider;
}

std::wstring HexOf(const BYTE* data, DWORD size) {
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(size * 2);
  for (DWORD i = 0; i < size; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  return text;
}

bool DecodeBase64(const std::string& text, DWORD flags, std::vector<BYTE>& bytes) {
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), flags, nullptr, &size, nullptr, nullptr) ||
      size == 0)
    return false;
  bytes.resize(size);
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), flags, bytes.data(), &size, nullptr,
                            nullptr))
    return false;
  bytes.resize(size);
  return true;
}

}  // namespace

Sha256::Sha256() {
  HCRYPTPROV provider = AcquireAesProvider();
  if (!provider) return;
  provider_ = provider;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) return;
  hash_ = hash;
  ok_ = true;
}

Sha256::~Sha256() {
  if (hash_) CryptDestroyHash(static_cast<HCRYPTHASH>(hash_));
  if (provider_) CryptReleaseContext(static_cast<HCRYPTPROV>(provider_), 0);
}

void Sha256::Update(const void* data, size_t size) {
  const BYTE* p = static_cast<const BYTE*>(data);
  while (ok_ && size > 0) {
    DWORD part = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!CryptHashData(static_cast<HCRYPTHASH>(hash_), p, part, 0)) ok_ = false;
    p += part;
    size -= part;
  }
}

std::wstring Sha256::HexDigest() {
  if (!ok_) return L"";
  BYTE digest[32];
  DWORD size = sizeof digest;
  ok_ = false;  // the platform's hash cannot take more data once its value is read
  if (!CryptGetHashParam(static_cast<HCRYPTHASH>(hash_), HP_HASHVAL, digest, &size, 0) || size != 32) return L"";
  return HexOf(digest, size);
}

bool FileSha256(const std::wstring& path, std::wstring& hexDigest, std::wstring& error) {
  hexDigest.clear();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = Fmt(L"Нельзя прочитать файл %s для проверки контрольной суммы. Ошибка Windows: %s", path,
                WindowsErrorText(GetLastError()));
    return false;
  }
  Sha256 hash;
  std::vector<char> buffer(1 << 20);
  bool readOk = true;
  DWORD readError = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      readOk = false;
      readError = GetLastError();
      break;
    }
    if (got == 0) break;
    hash.Update(buffer.data(), got);
  }
  CloseHandle(file);
  if (!readOk) {
    error = Fmt(L"Нельзя прочитать файл %s для проверки контрольной суммы. Ошибка Windows: %s", path,
                WindowsErrorText(readError));
    return false;
  }
  hexDigest = hash.HexDigest();
  if (hexDigest.empty()) {
    error = L"Система не поддерживает вычисление контрольных сумм SHA-256.";
    return false;
  }
  return true;
}

bool IsSha256Text(const std::wstring& text) {
  if (text.size() != 64) return false;
  for (wchar_t c : text)
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'))) return false;
  return true;
}

bool SameDigest(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (towlower(a[i]) != towlower(b[i])) return false;
  return true;
}

MapVerifier::MapVerifier() = default;
MapVerifier::~MapVerifier() { Release(); }

void MapVerifier::Release() {
  if (key_) CryptDestroyKey(static_cast<HCRYPTKEY>(key_));
  if (provider_) CryptReleaseContext(static_cast<HCRYPTPROV>(provider_), 0);
  key_ = provider_ = 0;
}

bool MapVerifier::LoadKey(const std::wstring& keyText, std::wstring& error) {
  Release();
  const std::wstring bad = L"Открытый ключ для проверки подписи карт обновлений (раздел [Security], ключ MapPublicKey) ";
  // Settings hold one line: the two characters "\" "n" stand for a line break.
  std::string raw = WideToAnsi(Trim(keyText)), text;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == 'n') {
      text += '\n';
      ++i;
    } else {
      text += raw[i];
    }
  }
  if (text.empty()) {
    error = bad + L"не задан.";
    return false;
  }
  std::vector<BYTE> der;
  bool decoded = text.find("-----BEGIN") != std::string::npos ? DecodeBase64(text, CRYPT_STRING_BASE64HEADER, der)
                                                               : DecodeBase64(text, CRYPT_STRING_BASE64, der);
  const std::wstring unreadable =
      bad + L"не является открытым ключом RSA: нужен ключ длиной не менее 1024 бит в виде SubjectPublicKeyInfo («-----BEGIN PUBLIC KEY-----») "
            L"или PKCS#1 («-----BEGIN RSA PUBLIC KEY-----»), в формате PEM или DER (base64).";
  if (!decoded) {
    error = unreadable;
    return false;
  }
  // SubjectPublicKeyInfo names its algorithm; a bare PKCS#1 RSAPublicKey is the same key
  // without that wrapping, which is supplied here so that both take one way in.
  CERT_PUBLIC_KEY_INFO* decodedInfo = nullptr;
  DWORD infoSize = 0;
  CERT_PUBLIC_KEY_INFO bare{};
  const CERT_PUBLIC_KEY_INFO* info = nullptr;
  if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der.data(), static_cast<DWORD>(der.size()),
                          CRYPT_DECODE_ALLOC_FLAG, nullptr, &decodedInfo, &infoSize)) {
    info = decodedInfo;
  } else {
    static char rsaOid[] = szOID_RSA_RSA;
    bare.Algorithm.pszObjId = rsaOid;
    bare.PublicKey.cbData = static_cast<DWORD>(der.size());
    bare.PublicKey.pbData = der.data();
    info = &bare;
  }
  bool rsa = info->Algorithm.pszObjId && std::string(info->Algorithm.pszObjId) == szOID_RSA_RSA;
  // A modulus of a few bits (or none) decodes as a key too, but vouches for nothing.
  BYTE* blob = nullptr;
  DWORD blobSize = 0;
  if (rsa && CryptDecodeObjectEx(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, info->PublicKey.pbData,
                                 info->PublicKey.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &blobSize)) {
    const auto* rsaKey = reinterpret_cast<const RSAPUBKEY*>(blob + sizeof(BLOBHEADER));
    rsa = blobSize >= sizeof(BLOBHEADER) + sizeof(RSAPUBKEY) && rsaKey->bitlen >= 1024 && rsaKey->pubexp > 1;
    LocalFree(blob);
  } else {
    rsa = false;
  }
  HCRYPTPROV provider = rsa ? AcquireAesProvider() : 0;
  HCRYPTKEY key = 0;
  bool imported =
      provider && CryptImportPublicKeyInfo(provider, X509_ASN_ENCODING, const_cast<CERT_PUBLIC_KEY_INFO*>(info), &key);
  if (decodedInfo) LocalFree(decodedInfo);
  if (!imported) {
    if (provider) CryptReleaseContext(provider, 0);
    error = unreadable;
    return false;
  }
  provider_ = provider;
  key_ = key;
  return true;
}

bool MapVerifier::Verify(const std::string& data, const std::string& signature) const {
  if (!key_ || signature.empty() || signature.size() > 4096) return false;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(static_cast<HCRYPTPROV>(provider_), CALG_SHA_256, 0, 0, &hash)) return false;
  bool ok = true;
  size_t at = 0;
  while (ok && at < data.size()) {
    DWORD part = data.size() - at > 0x40000000 ? 0x40000000 : static_cast<DWORD>(data.size() - at);
    ok = CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data() + at), part, 0);
    at += part;
  }
  if (ok) {
    // CryptoAPI takes the signature's bytes in the reverse of the order openssl writes them.
    std::vector<BYTE> reversed(signature.rbegin(), signature.rend());
    ok = CryptVerifySignatureW(hash, reversed.data(), static_cast<DWORD>(reversed.size()),
                               static_cast<HCRYPTKEY>(key_), nullptr, 0);
  }
  CryptDestroyHash(hash);
  return ok;
}

}  // namespace dorvex
