#include "signature/signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net.h"
#include "net/url.h"
#include "support/test_signer.h"
#include "text/text.h"

namespace velm {
namespace {

const TestSeed kSeed = {7, 1, 7, 2, 7, 3, 7, 4, 7, 5, 7, 6, 7, 7, 7, 8,
                        7, 9, 7, 0, 7, 1, 7, 2, 7, 3, 7, 4, 7, 5, 7, 6};
const TestSeed kOtherSeed = {42, 1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                             16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
const std::string kDocument = "{\"games\": []}\n";
const char kNotHex[] = "games.json: the signature is not 128 hex digits";
const char kNoMatch[] = "games.json: the signature does not match";

std::string upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

TEST(Signature, SignatureTextFormat) {
  const std::string hex = testSignatureHex(kSeed, kDocument);
  std::string mixed = hex;
  for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = upper(mixed.substr(i, 1))[0];
  std::string nonHex = hex;
  nonHex[77] = 'g';
  struct Case {
    std::string text;
    bool accepted;
  };
  const Case cases[] = {
      {hex, true},
      {hex + "\r\n", true},
      {hex + " \t\r\n\n  ", true},
      {upper(hex), true},
      {mixed, true},
      {" " + hex, false},
      {"\n" + hex, false},
      {hex.substr(0, 126), false},
      {hex + "00", false},
      {nonHex, false},
      {"0x" + hex.substr(0, 126), false},
      {hex.substr(0, 64) + " " + hex.substr(64), false},
      {hex + "\v", false},
      {hex + "\r\n.", false},
      {"", false},
      {"\r\n", false},
  };
  const std::vector<TrustedKey> keys = {testPublicKey(kSeed)};
  for (const Case& c : cases) {
    EXPECT_EQ(verifySignature("games.json", kDocument, c.text, keys), c.accepted ? "" : kNotHex)
        << c.text;
  }
}

TEST(Signature, ParseSignatureDecodesEitherCaseAndReportsOnce) {
  SignatureBytes expected = testSign(kSeed, kDocument);
  SignatureBytes parsed{};
  std::string reason = "untouched";
  ASSERT_TRUE(parseSignature(upper(testSignatureHex(kSeed, kDocument)) + "\n", parsed, &reason));
  EXPECT_EQ(parsed, expected);
  EXPECT_EQ(reason, "untouched");

  EXPECT_FALSE(parseSignature("abc", parsed, &reason));
  EXPECT_EQ(reason, "the signature is not 128 hex digits");
  EXPECT_FALSE(parseSignature("abc", parsed, nullptr));
}

TEST(Signature, DocumentMustMatchByteForByte) {
  const std::vector<TrustedKey> keys = {testPublicKey(kSeed)};
  const std::string signature = testSignatureHex(kSeed, kDocument);
  std::string changed = kDocument;
  changed[3] ^= 0x20;
  EXPECT_EQ(verifySignature("games.json", kDocument, signature, keys), "");
  EXPECT_EQ(verifySignature("games.json", kDocument + "\n", signature, keys), kNoMatch);
  EXPECT_EQ(
      verifySignature("games.json", kDocument.substr(0, kDocument.size() - 1), signature, keys),
      kNoMatch);
  EXPECT_EQ(verifySignature("games.json", changed, signature, keys), kNoMatch);
  EXPECT_EQ(verifySignature("the manifest", changed, signature, keys),
            "the manifest: the signature does not match");
  EXPECT_EQ(verifySignature("the manifest", kDocument, "0x", keys),
            "the manifest: the signature is not 128 hex digits");
  EXPECT_EQ(verifySignature("games.json", kDocument, std::string(128, '0'), keys), kNoMatch);
}

// The key that verified is named, wherever it stands in the list; a refusal names none.
TEST(Signature, EveryKeyOfTheListIsTried) {
  const TrustedKey key = testPublicKey(kSeed);
  const TrustedKey other = testPublicKey(kOtherSeed);
  const std::string signature = testSignatureHex(kSeed, kDocument);
  for (const std::vector<TrustedKey>& keys : {std::vector<TrustedKey>{other, key}, {key, other}}) {
    TrustedKey signer{};
    EXPECT_EQ(verifySignature("games.json", kDocument, signature, keys, &signer), "");
    EXPECT_EQ(signer, key);
  }
  TrustedKey signer{};
  EXPECT_EQ(verifySignature("games.json", kDocument, signature, {other}, &signer), kNoMatch);
  EXPECT_EQ(signer, TrustedKey{}) << "no signer for a refused document";
  EXPECT_EQ(verifySignature("games.json", kDocument, signature, {}), kNoMatch);
}

// Documents are capped like downloaded bodies: a correctly signed one just past the cap is
// refused, one exactly at the cap still verifies.
TEST(Signature, DocumentsPastTheBodyCapNeverVerify) {
  const TrustedKey key = testPublicKey(kSeed);
  std::string document(kMaxTextBody, 'x');
  SignatureBytes signature = testSign(kSeed, document);
  EXPECT_TRUE(verifyWithKey(signature, document, key));

  document.push_back('x');
  signature = testSign(kSeed, document);
  EXPECT_FALSE(verifyWithKey(signature, document, key));
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : signature) hex += {kDigits[byte >> 4], kDigits[byte & 15]};
  EXPECT_EQ(verifySignature("games.json", document, hex, {key}), kNoMatch);
}

TEST(Signature, DecodeHex) {
  struct Case {
    std::string text;
    size_t count;
    bool ok;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"", 0, true, {}},       {"00", 1, true, {0x00}}, {"0aFf", 2, true, {0x0a, 0xff}},
      {"9A", 1, true, {0x9a}}, {"0aF", 2, false, {}},   {"0aFf0", 2, false, {}},
      {"0aFf", 1, false, {}},  {"0g", 1, false, {}},    {"G0", 1, false, {}},
      {" 0", 1, false, {}},    {"0:", 1, false, {}},    {"@0", 1, false, {}},
      {"`a", 1, false, {}},    {"/0", 1, false, {}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out(c.count, 0x55);
    EXPECT_EQ(decodeHex(c.text, out.data(), c.count), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(out, c.bytes) << c.text;
    }
  }
}

TEST(Signature, BuildTrustedKeysSkipsMalformedEntries) {
  const std::string good = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  const std::string second = "3D4017C3E843895A92B70AA74D1B7EBC9C982CCF2EC4968CC0CD55F12AF4660C";
  const std::string shortKey = good.substr(0, 63);
  const std::string longKey = good + "a";
  std::string nonHex = good;
  nonHex[10] = 'x';
  const char* table[] = {shortKey.c_str(), good.c_str(),   longKey.c_str(),
                         nullptr,          nonHex.c_str(), second.c_str()};

  std::vector<TrustedKey> keys = buildTrustedKeys(table, 6);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0][0], 0xd7);
  EXPECT_EQ(keys[0][31], 0x1a);
  EXPECT_EQ(keys[1][0], 0x3d);
  EXPECT_EQ(keys[1][31], 0x0c);

  const char* onlyBad[] = {shortKey.c_str(), nonHex.c_str()};
  std::vector<TrustedKey> none = buildTrustedKeys(onlyBad, 2);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(verifySignature("games.json", kDocument, testSignatureHex(kSeed, kDocument), none),
            kNoMatch);
}

}  // namespace
}  // namespace velm
