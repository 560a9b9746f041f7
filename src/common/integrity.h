// File checksums and map signatures through the platform's CryptoAPI: SHA-256 of files and
// byte runs, and RSA PKCS#1 v1.5 signatures over SHA-256 (as `openssl dgst -sha256 -sign`
// writes them) checked against a public key given as PEM or base64 DER text.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace dorvex {

// A SHA-256 computed piece by piece, so that a file can be hashed while it is received.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  bool Ok() const { return ok_; }  // false when the platform offers no SHA-256
  void Update(const void* data, size_t size);
  // The digest as 64 lower-case hex digits; empty when the platform failed. Ends the hash.
  std::wstring HexDigest();

 private:
  uintptr_t provider_ = 0;
  uintptr_t hash_ = 0;
  bool ok_ = false;
};

// A file's SHA-256 as 64 lower-case hex digits; false with a Russian reason when the file
// cannot be read or the platform has no SHA-256.
bool FileSha256(const std::wstring& path, std::wstring& hexDigest, std::wstring& error);

// True for 64 hex digits (either case) and nothing else.
bool IsSha256Text(const std::wstring& text);

// Compares two hex digests without regard to case.
bool SameDigest(const std::wstring& a, const std::wstring& b);

// A public key for signature checks, parsed once from the settings' text.
class MapVerifier {
 public:
  MapVerifier();
  ~MapVerifier();
  MapVerifier(const MapVerifier&) = delete;
  MapVerifier& operator=(const MapVerifier&) = delete;

  // Accepts an RSA key as SubjectPublicKeyInfo ("-----BEGIN PUBLIC KEY-----") or as PKCS#1
  // RSAPublicKey ("-----BEGIN RSA PUBLIC KEY-----"), in PEM or as bare base64 of the DER. False
  // with a Russian reason naming the setting for anything else.
  bool LoadKey(const std::wstring& keyText, std::wstring& error);
  bool HasKey() const { return key_ != 0; }
  // True when signature is a valid RSA PKCS#1 v1.5 SHA-256 signature of data by the key.
  bool Verify(const std::string& data, const std::string& signature) const;

 private:
  void Release();
  uintptr_t provider_ = 0;
  uintptr_t key_ = 0;
};

}  // namespace dorvex
