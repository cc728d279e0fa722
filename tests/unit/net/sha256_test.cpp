#include "net/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "net/sha256_paths.h"
#include "support/temp_dir.h"
#include "text/path_text.h"

namespace velm {
namespace {

// Bytes 0, 1, ..., period - 1, 0, 1, ...: with a prime period the pattern lines up with neither
// a block nor a read.
std::string pattern(size_t length, size_t period = 253) {
  std::string text(length, '\0');
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(i % period);
  return text;
}

std::string hashOf(const std::string& text) {
  Sha256 hasher;
  hasher.update(text.data(), text.size());
  return hasher.finalHex();
}

struct KnownAnswer {
  std::string input;
  std::string digest;  // from Python's hashlib
};

const std::vector<KnownAnswer>& knownAnswers() {
  static const std::vector<KnownAnswer> answers = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
       "nopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      // Around the padding edges: 55 bytes fit one final block, 56 need two.
      {pattern(55, 251), "463eb28e72f82e0a96c0a4cc53690c571281131f672aa229e0d45ae59b598b59"},
      {pattern(56, 251), "da2ae4d6b36748f2a318f23e7ab1dfdf45acdc9d049bd80e59de82a60895f562"},
      {pattern(63, 251), "29af2686fd53374a36b0846694cc342177e428d1647515f078784d69cdb9e488"},
      {pattern(64, 251), "fdeab9acf3710362bd2658cdc9a29e8f9c757fcf9811603a8c447cd1d9151108"},
      {pattern(65, 251), "4bfd2c8b6f1eec7a2afeb48b934ee4b2694182027e6d0fc075074f2fabb31781"},
      {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
      {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
      {std::string(63, 'x'), "75220b47218278e656f2013bb8f0c455a25eaf01e86c64924e9d48d89776d6f2"},
      {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
      {std::string(65, 'x'), "9537c5fdf120482f7d58d25e9ed583f52c02b4e304ea814db1633ad565aed7e9"},
  };
  return answers;
}

TEST(Sha256, MatchesKnownAnswersInOnePiece) {
  for (const KnownAnswer& answer : knownAnswers()) {
    EXPECT_EQ(hashOf(answer.input), answer.digest) << answer.input.size() << " bytes";
  }
}

TEST(Sha256, GivesTheSameDigestSplitAtAnyPoint) {
  for (const KnownAnswer& answer : knownAnswers()) {
    const std::string& input = answer.input;
    for (size_t split = 0; split <= input.size(); ++split) {
      Sha256 hasher;
      hasher.update(input.data(), split);
      hasher.update(input.data() + split, 0);
      hasher.update(input.data() + split, input.size() - split);
      EXPECT_EQ(hasher.finalHex(), answer.digest) << input.size() << " bytes split at " << split;
    }
    Sha256 byteByByte;
    for (char c : input) byteByByte.update(&c, 1);
    EXPECT_EQ(byteByByte.finalHex(), answer.digest) << input.size() << " bytes one at a time";
  }
}

TEST(Sha256, HashesAMillionA) {
  const std::string thousand(1000, 'a');
  Sha256 hasher;
  for (int i = 0; i < 1000; ++i) hasher.update(thousand.data(), thousand.size());
  EXPECT_EQ(hasher.finalHex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(hashOf(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// The digest of `message` computed on one compression path alone, padded as FIPS 180-4 says and
// compressed in a single call, so multi-block calls are covered too.
std::string digestOn(Sha256Compress compress, const std::string& message) {
  std::string padded = message;
  padded += '\x80';
  while (padded.size() % 64 != 56) padded += '\0';
  const uint64_t bitLength = uint64_t{message.size()} * 8;
  for (int i = 7; i >= 0; --i) padded += static_cast<char>(bitLength >> (8 * i));
  uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  compress(state, reinterpret_cast<const uint8_t*>(padded.data()), padded.size() / 64);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : state) {
    for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(word >> shift) & 0xF];
  }
  return hex;
}

std::string randomText(size_t length) {
  std::mt19937 random(4096);
  std::string text(length, '\0');
  for (char& c : text) c = static_cast<char>(random());
  return text;
}

struct Path {
  const char* name;
  Sha256Compress compress;
};

// The portable path everywhere; the hardware one too where this processor has it.
std::vector<Path> availablePaths() {
  std::vector<Path> paths = {{"portable", sha256CompressPortable}};
  if (sha256HardwareAvailable()) paths.push_back({"hardware", sha256CompressHardware});
  return paths;
}

TEST(Sha256Paths, EachPathMatchesTheKnownAnswers) {
  std::vector<KnownAnswer> answers = knownAnswers();
  answers.push_back({std::string(1000000, 'a'),
                     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"});
  for (const Path& path : availablePaths()) {
    for (const KnownAnswer& answer : answers) {
      EXPECT_EQ(digestOn(path.compress, answer.input), answer.digest)
          << path.name << ", " << answer.input.size() << " bytes";
    }
  }
}

TEST(Sha256Paths, AgreeOnRandomInputsOfEveryLengthUpTo4096) {
  const std::string text = randomText(4096);
  const bool hardware = sha256HardwareAvailable();
  for (size_t length = 0; length <= text.size(); ++length) {
    const std::string message = text.substr(0, length);
    const std::string portable = digestOn(sha256CompressPortable, message);
    if (hardware) {
      ASSERT_EQ(digestOn(sha256CompressHardware, message), portable) << length << " bytes";
    }
    ASSERT_EQ(hashOf(message), portable) << length << " bytes through Sha256";
  }
}

TEST(Sha256Paths, TheHasherAgreesWithThePortablePathAtEverySplit) {
  // Splits hand the chosen path blocks at every alignment, straight from the caller's buffer.
  const std::string text = randomText(1500);
  const std::string expected = digestOn(sha256CompressPortable, text);
  for (size_t split = 0; split <= text.size(); ++split) {
    Sha256 hasher;
    hasher.update(text.data(), split);
    hasher.update(text.data() + split, text.size() - split);
    ASSERT_EQ(hasher.finalHex(), expected) << "split at " << split;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    Sha256 hasher;
    size_t done = 0;
    while (done < text.size()) {
      const size_t piece = std::min<size_t>(random() % 200, text.size() - done);
      hasher.update(text.data() + done, piece);
      done += piece;
    }
    ASSERT_EQ(hasher.finalHex(), expected) << "random pieces, round " << round;
  }
}

TEST(Sha256Paths, TheHasherRunsOnTheHardwareWhereItIsThere) {
  EXPECT_EQ(sha256UsesHardware(), sha256HardwareAvailable());
  EXPECT_EQ(sha256ChosenCompress(),
            sha256HardwareAvailable() ? sha256CompressHardware : sha256CompressPortable);
  // Where the kernel lists the processor's flags, CPUID must agree with them.
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    const std::string flags = line + " ";
    const bool listed = flags.find(" sha_ni ") != std::string::npos &&
                        flags.find(" ssse3 ") != std::string::npos &&
                        flags.find(" sse4_1 ") != std::string::npos;
    EXPECT_EQ(sha256HardwareAvailable(), listed) << line;
    break;
  }
}

TEST(Sha256, StartsOverAfterReset) {
  Sha256 hasher;
  hasher.update("garbage", 7);
  hasher.reset();
  hasher.update("abc", 3);
  EXPECT_EQ(hasher.finalHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  hasher.reset();
  EXPECT_EQ(hasher.finalHex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
      << "a spent hasher must hash afresh after reset";
}

TEST(FileSha256, HashesAFileLargerThanOneRead) {
  TempDir dir;
  const std::string content = pattern(2621440);  // 2.5 MiB: two whole reads and a half
  dir.write("big.bin", content);
  Sha256Digest digest;
  uint64_t count = 0;
  ASSERT_TRUE(fileSha256(dir.path() / "big.bin", digest, count));
  EXPECT_EQ(sha256Hex(digest), "30f33514fd63ca3ddd35917a018df79cdc90164eb5ca51ba86c192807a3c6210");
  EXPECT_EQ(count, 2621440u);
  EXPECT_EQ(sha256Hex(digest), hashOf(content));
}

TEST(FileSha256, HashesAFileOfExactlyOneRead) {
  TempDir dir;
  dir.write("mib.bin", pattern(1048576));
  Sha256Digest digest;
  uint64_t count = 0;
  ASSERT_TRUE(fileSha256(dir.path() / "mib.bin", digest, count));
  EXPECT_EQ(sha256Hex(digest), "d68abd7975e405a1f7a3adc92409937a372e030fc4d7ac2dcf54285d9be644c6");
  EXPECT_EQ(count, 1048576u);
}

TEST(FileSha256, HashesAnEmptyFile) {
  TempDir dir;
  dir.write("empty", "");
  Sha256Digest digest;
  digest.fill(0x55);
  uint64_t count = 99;
  ASSERT_TRUE(fileSha256(dir.path() / "empty", digest, count));
  EXPECT_EQ(sha256Hex(digest), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(count, 0u);
}

TEST(FileSha256, HashesAFileWithANonAsciiName) {
  TempDir dir;
  const std::string name = "m\xC3\xBC\xE2\x82\xAC.dll";  // mü€.dll
  dir.write(name, "abc");
  Sha256Digest digest;
  uint64_t count = 0;
  ASSERT_TRUE(fileSha256(joinPath(dir.path(), name), digest, count));
  EXPECT_EQ(sha256Hex(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(count, 3u);
}

TEST(FileSha256, RefusesWhatIsNotAReadableRegularFile) {
  TempDir dir;
  dir.write("folder/inside.txt", "x");
  dir.write("plain.txt", "abc");
  const std::string base = dir.str() + "/";
  const std::vector<std::string> paths = {
      base + "folder", base + "missing.txt", base + "missing/plain.txt", "",
      // A NUL would otherwise cut the name at plain.txt.
      base + "plain.txt" + std::string(1, '\0') + "x",
      base + "plain.txt\xC3",          // cut-off sequence
      base + "\xC0\xAFplain.txt",      // overlong slash
      base + "\xED\xA0\x80plain.txt",  // a surrogate
      base + "\xF4\x90\x80\x80.txt",   // past U+10FFFF
  };
  for (const std::string& path : paths) {
    Sha256Digest untouched;
    untouched.fill(0x55);
    Sha256Digest digest = untouched;
    uint64_t count = 7;
    EXPECT_FALSE(fileSha256(pathFromUtf8(path), digest, count)) << path;
    EXPECT_EQ(digest, untouched) << path;
    EXPECT_EQ(count, 7u) << path;
  }
}

// Digests from the server are read once into bytes; after that, case is gone.
TEST(Sha256Text, ReadsDigestsInEitherCase) {
  const std::string lower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  Sha256Digest fromLower, fromUpper;
  ASSERT_TRUE(parseSha256Hex(lower, fromLower));
  ASSERT_TRUE(parseSha256Hex(upper, fromUpper));
  EXPECT_EQ(fromLower, fromUpper);
  EXPECT_EQ(sha256Hex(fromUpper), lower);
  Sha256 hasher;
  hasher.update("abc", 3);
  EXPECT_EQ(hasher.finalDigest(), fromLower);

  Sha256Digest mixed;
  EXPECT_TRUE(parseSha256Hex("0123456789abcdefABCDEF" + std::string(42, '9'), mixed));
  const std::vector<std::string> refused = {
      "",
      lower.substr(1),
      lower + "0",
      "g" + lower.substr(1),
      lower.substr(1) + "G",
      " " + lower.substr(1),
      lower.substr(0, 63) + '\0',
      "\xC3\xA4" + lower.substr(2),
  };
  for (const std::string& text : refused) {
    Sha256Digest untouched = fromLower;
    EXPECT_FALSE(parseSha256Hex(text, untouched)) << text;
    EXPECT_EQ(untouched, fromLower) << text << ": a refused text leaves the digest alone";
  }
}

}  // namespace
}  // namespace velm
