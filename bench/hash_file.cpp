// velm_hash_file PATH: prints the file's SHA-256 as the launcher computes it.
#include <cstdio>
#include <string>

#include "net/sha256.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velm_hash_file PATH\n");
    return 2;
  }
  velm::Sha256Digest digest;
  uint64_t byteCount = 0;
  if (!velm::fileSha256(argv[1], digest, byteCount)) {
    std::fprintf(stderr, "cannot hash %s\n", argv[1]);
    return 1;
  }
  std::printf("%s  %s\n", velm::sha256Hex(digest).c_str(), argv[1]);
  return 0;
}
