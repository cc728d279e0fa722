// signOpen, the Ed25519 open operation: the input is a signed message (R, S, message) under a
// fixed key. Mutations of the seed's known-good triple must never open, except for the S + k * L
// spellings that its contract accepts; the key's real signature of any message must open.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "signature/ed25519.h"
#include "signing.h"

namespace velm {
namespace {

constexpr uint8_t kUntouched = 0xA5;

struct Fixture {
  TrustedKey key = testPublicKey(fuzz::signingSeed());
  SignatureBytes good = testSign(fuzz::signingSeed(), fuzz::signedDocument());
};

const Fixture& fixture() {
  static const Fixture fixture;
  return fixture;
}

struct Opened {
  int result;
  size_t length;
  std::vector<uint8_t> m;
};

// m gets its own buffer, filled with a marker, so that what signOpen writes there shows.
Opened open(const std::vector<uint8_t>& sm) {
  Opened opened{0, 0, std::vector<uint8_t>(sm.size() + 1, kUntouched)};
  opened.result = signOpen(opened.m.data(), &opened.length, sm.data(), sm.size(), fixture().key);
  return opened;
}

std::vector<uint8_t> signedMessage(const SignatureBytes& signature, const uint8_t* message,
                                   size_t length) {
  std::vector<uint8_t> sm(signature.begin(), signature.end());
  sm.insert(sm.end(), message, message + length);
  return sm;
}

}  // namespace
}  // namespace velm

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const Fixture& f = fixture();
  const std::vector<uint8_t> sm(data, data + size);
  const Opened opened = open(sm);

  VELM_FUZZ_CHECK(opened.result == 0 || opened.result == -1);
  if (opened.result != 0) {
    VELM_FUZZ_CHECK(opened.length == static_cast<size_t>(-1));
    // The key decodes, so only a short input fails early and leaves m alone; a failed
    // comparison must not leave the unverified message in m.
    for (size_t i = 0; i < size; ++i) {
      if (size < 64) VELM_FUZZ_CHECK(opened.m[i] == kUntouched);
      if (size >= 64 && i < size - 64) VELM_FUZZ_CHECK(opened.m[i] == 0);
    }
  } else {
    VELM_FUZZ_CHECK(size >= 64 && opened.length == size - 64);
    for (size_t i = 0; i < opened.length; ++i) VELM_FUZZ_CHECK(opened.m[i] == data[64 + i]);
    // Opened: it can only be the signed document with its R and S + k * L. Anything else is a
    // forgery.
    VELM_FUZZ_CHECK(std::string(data + 64, data + size) == fuzz::signedDocument());
    for (size_t i = 0; i < 32; ++i) VELM_FUZZ_CHECK(data[i] == f.good[i]);
    VELM_FUZZ_CHECK(fuzz::isSameScalar(data + 32, f.good.data() + 32));
  }

  // The key's real signature of this input's message opens; with any one bit flipped it does not
  // (a flip changes S by a power of two, never by a multiple of L).
  if (size >= 64) {
    const std::string message(data + 64, data + size);
    std::vector<uint8_t> real =
        signedMessage(testSign(fuzz::signingSeed(), message), data + 64, size - 64);
    const Opened genuine = open(real);
    VELM_FUZZ_CHECK(genuine.result == 0 && genuine.length == size - 64);
    const size_t bit = (data[0] | data[1] << 8 | data[2] << 16) % (real.size() * 8);
    real[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    VELM_FUZZ_CHECK(open(real).result == -1);
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace velm;
  const Fixture& f = fixture();
  VELM_FUZZ_CHECK(fuzz::isReduced(f.good.data() + 32));
  const std::string& document = fuzz::signedDocument();
  const std::vector<uint8_t> sm =
      signedMessage(f.good, reinterpret_cast<const uint8_t*>(document.data()), document.size());
  VELM_FUZZ_CHECK(open(sm).result == 0);
  return 0;
}
