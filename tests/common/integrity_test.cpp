// Checksums and signatures against what sha256sum and openssl make of the same bytes.
#include <gtest/gtest.h>

#include "common/integrity.h"
#include "common/text.h"
#include "test_util.h"

namespace dorvex {
namespace {

using test::ReadBytes;
using test::ScratchDir;
using test::TestProgramDir;
using test::WriteBytes;

std::wstring Keys(const std::wstring& name) { return TestProgramDir() + L"keys\\" + name; }
std::wstring KeyText(const std::wstring& name) { return AnsiToWide(ReadBytes(Keys(name))); }

TEST(Integrity, Sha256OfKnownTextsFilesAndPieces) {
  Sha256 empty;
  ASSERT_TRUE(empty.Ok());
  EXPECT_EQ(empty.HexDigest(), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  // Fed in pieces of every size, the digest equals the one-piece digest.
  Sha256 pieces;
  pieces.Update("a", 1);
  pieces.Update("", 0);
  pieces.Update("bc", 2);
  EXPECT_EQ(pieces.HexDigest(), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(pieces.HexDigest(), L"") << "a finished hash gives no second value";

  // A file of 3 000 001 bytes, larger than one read, as sha256sum saw it.
  std::wstring digest, error;
  ASSERT_TRUE(FileSha256(Keys(L"big.bin"), digest, error)) << error;
  EXPECT_EQ(digest, Trim(KeyText(L"big.sha256")));
  EXPECT_TRUE(FileSha256(Keys(L"sample.nrm"), digest, error));

  ScratchDir dir;
  EXPECT_FALSE(FileSha256(dir / L"missing.bin", digest, error));
  EXPECT_NE(error.find(L"missing.bin"), std::wstring::npos);
  EXPECT_NE(error.find(L"контрольной суммы"), std::wstring::npos);
  EXPECT_TRUE(digest.empty());
}

TEST(Integrity, DigestTextsAreCheckedStrictly) {
  std::wstring good = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  EXPECT_TRUE(IsSha256Text(good));
  EXPECT_TRUE(SameDigest(good, L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_FALSE(SameDigest(good, L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ae"));
  EXPECT_FALSE(IsSha256Text(good.substr(1)));
  EXPECT_FALSE(IsSha256Text(good + L"0"));
  EXPECT_FALSE(IsSha256Text(L"g" + good.substr(1)));
  EXPECT_FALSE(IsSha256Text(L" " + good.substr(1)));
  EXPECT_FALSE(IsSha256Text(L""));
}

TEST(Integrity, SignaturesVerifyOnlyForTheSignedBytesAndTheRightKey) {
  std::string map = ReadBytes(Keys(L"sample.nrm"));
  std::string sigA = ReadBytes(Keys(L"sample.nrm.a.sig"));
  std::string sigB = ReadBytes(Keys(L"sample.nrm.b.sig"));
  ASSERT_FALSE(map.empty());
  ASSERT_EQ(sigA.size(), 256u);

  MapVerifier pem;
  std::wstring error;
  ASSERT_TRUE(pem.LoadKey(KeyText(L"a.pub"), error)) << error;
  EXPECT_TRUE(pem.Verify(map, sigA));
  EXPECT_FALSE(pem.Verify(map, sigB)) << "signed by another key";
  std::string changed = map;
  changed[changed.size() / 2] ^= 1;
  EXPECT_FALSE(pem.Verify(changed, sigA)) << "one bit of the map changed";
  std::string cut = sigA.substr(0, 255);
  EXPECT_FALSE(pem.Verify(map, cut));
  EXPECT_FALSE(pem.Verify(map, ""));

  // The same key in every form the settings take: SubjectPublicKeyInfo or PKCS#1, as PEM, as
  // bare base64 DER, and as PEM folded into one settings line with "\n".
  for (const std::wstring name : {L"a.der64", L"a.rsapub", L"a.rsader64", L"fold:a.pub", L"fold:a.rsapub"}) {
    const bool fold = name.rfind(L"fold:", 0) == 0;
    std::wstring text;
    for (wchar_t c : KeyText(fold ? name.substr(5) : name))
      if (c != L'\r') text += fold && c == L'\n' ? std::wstring(L"\\n") : std::wstring(1, c);
    MapVerifier form;
    ASSERT_TRUE(form.LoadKey(text, error)) << WideToUtf8(name + L": " + error);
    EXPECT_TRUE(form.Verify(map, sigA)) << WideToUtf8(name);
    EXPECT_FALSE(form.Verify(map, sigB)) << WideToUtf8(name);
  }

  MapVerifier other;
  ASSERT_TRUE(other.LoadKey(KeyText(L"b.pub"), error));
  EXPECT_TRUE(other.Verify(map, sigB));
  EXPECT_FALSE(other.Verify(map, sigA));
}

TEST(Integrity, MalformedKeysAreRefusedWithAReason) {
  for (const std::wstring& text :
       {std::wstring(L""), std::wstring(L"   "), std::wstring(L"not a key at all"), std::wstring(L"QUJDRA=="),
        std::wstring(L"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"),
        std::wstring(L"-----BEGIN RSA PUBLIC KEY-----\nMAYCAQACAQA=\n-----END RSA PUBLIC KEY-----\n")}) {
    MapVerifier verifier;
    std::wstring error;
    EXPECT_FALSE(verifier.LoadKey(text, error)) << WideToUtf8(text);
    EXPECT_FALSE(verifier.HasKey());
    EXPECT_NE(error.find(L"MapPublicKey"), std::wstring::npos);
    EXPECT_FALSE(verifier.Verify("x", std::string(256, 'x')));
  }
  // A private key is not a public key.
  MapVerifier verifier;
  std::wstring error;
  EXPECT_FALSE(verifier.LoadKey(KeyText(L"a.key"), error));
}

}  // namespace
}  // namespace dorvex
