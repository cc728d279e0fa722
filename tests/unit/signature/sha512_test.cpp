#include "signature/sha512.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velm {
namespace {

std::string digestHex(const std::string& input) {
  std::array<uint8_t, 64> digest;
  sha512(digest, reinterpret_cast<const uint8_t*>(input.data()), input.size());
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

// Expected digests from FIPS 180-4's examples and from Python's hashlib. The "a" runs sit on
// the padding edges: 111 bytes still end in one block, 112 need a second one.
TEST(Sha512, KnownDigests) {
  struct Case {
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
       "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
       "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
       "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
      {"",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
       "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
      {std::string(111, 'a'),
       "fa9121c7b32b9e01733d034cfc78cbf67f926c7ed83e82200ef86818196921760"
       "b4beff48404df811b953828274461673c68d04e297b0eb7b2b4d60fc6b566a2"},
      {std::string(112, 'a'),
       "c01d080efd492776a1c43bd23dd99d0a2e626d481e16782e75d54c2503b5dc32"
       "bd05f0f1ba33e568b88fd2d970929b719ecbb152f58f130a407c8830604b70ca"},
      {std::string(127, 'a'),
       "828613968b501dc00a97e08c73b118aa8876c26b8aac93df128502ab360f91ba"
       "b50a51e088769a5c1eff4782ace147dce3642554199876374291f5d921629502"},
      {std::string(128, 'a'),
       "b73d1929aa615934e61a871596b3f3b33359f42b8175602e89f7e06e5f658a24"
       "3667807ed300314b95cacdd579f3e33abdfbe351909519a846d465c59582f321"},
      {std::string(239, 'a'),
       "52c853cb8d907f3d4d6b889beb027985d7c273486d75f8baf26f80d24e90c74c"
       "6c3de3e22131582380a7d14d43f2941a31385439cd6ddc469f628015e50bf286"},
      {std::string(240, 'a'),
       "4c296d90c61052a62ffb1dd196f1b7b09373b1f93e71836baebf89690546b759"
       "5684dbe9467a8e484fa0d1094272b4344a7c24f5fee8daedeb0bf549c985ab5f"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(digestHex(c.input), c.digest) << c.input.size() << " bytes: " << c.input;
  }
}

TEST(Sha512, BlocksCompressOnlyWholeBlocks) {
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  const std::array<uint64_t, 8> start = {1, 2, 3, 4, 5, 6, 7, 8};

  std::array<uint64_t, 8> state = start;
  EXPECT_EQ(sha512Blocks(state, data.data(), 127), 127u);
  EXPECT_EQ(state, start);

  std::array<uint64_t, 8> twoBlocks = start;
  EXPECT_EQ(sha512Blocks(twoBlocks, data.data(), 256), 0u);
  EXPECT_NE(twoBlocks, start);
  state = start;
  EXPECT_EQ(sha512Blocks(state, data.data(), 300), 44u);
  EXPECT_EQ(state, twoBlocks);
}

}  // namespace
}  // namespace velm
