// SHA-256 throughput: the hasher on each compression path, the chunk cutter, and fileSha256 on a
// 1 GiB file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "net/sha256.h"
#include "net/sha256_paths.h"
#include "package/chunk_index.h"

namespace velm {
namespace {

constexpr size_t kUpdateSize = 64 * 1024;
constexpr size_t kStreamSize = 64 * 1024 * 1024;
constexpr uint64_t kFileSize = 1024ull * 1024 * 1024;

std::vector<uint8_t> randomBytes(size_t length) {
  std::vector<uint8_t> bytes(length);
  std::mt19937 random(20261208);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// What Sha256::update does with whole blocks, on one chosen path: 64 KiB pieces over 64 MiB.
void hashStream(benchmark::State& state, Sha256Compress compress) {
  const std::vector<uint8_t> piece = randomBytes(kUpdateSize);
  for (auto _ : state) {
    uint32_t words[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    for (size_t done = 0; done < kStreamSize; done += kUpdateSize) {
      compress(words, piece.data(), kUpdateSize / 64);
    }
    benchmark::DoNotOptimize(words);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamSize));
}

void BM_Sha256Portable(benchmark::State& state) { hashStream(state, sha256CompressPortable); }

void BM_Sha256Hardware(benchmark::State& state) {
  if (!sha256HardwareAvailable()) {
    state.SkipWithError("this processor has no SHA instructions");
    return;
  }
  hashStream(state, sha256CompressHardware);
}

// The hasher as the launcher uses it, on whichever path it chose.
void BM_Sha256Hasher(benchmark::State& state) {
  const std::vector<uint8_t> piece = randomBytes(kUpdateSize);
  for (auto _ : state) {
    Sha256 hasher;
    for (size_t done = 0; done < kStreamSize; done += kUpdateSize) {
      hasher.update(piece.data(), piece.size());
    }
    benchmark::DoNotOptimize(hasher.finalHex());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamSize));
  state.SetLabel(sha256UsesHardware() ? "hardware" : "portable");
}

// The chunk cutter alone, and the one read that hashes a file and its chunks: what a file with a
// chunk index costs on top of its hash.
void BM_ChunkCutter(benchmark::State& state) {
  const std::vector<uint8_t> bytes = randomBytes(kStreamSize);
  for (auto _ : state) {
    ChunkCutter cutter;
    size_t chunks = 0;
    for (size_t at = 0; at < bytes.size();) {
      at += cutter.scan(bytes.data() + at, bytes.size() - at);
      chunks += cutter.ended();
    }
    benchmark::DoNotOptimize(chunks);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamSize));
}

void BM_ChunkingHasher(benchmark::State& state) {
  const std::vector<uint8_t> piece = randomBytes(kStreamSize);
  for (auto _ : state) {
    ChunkingHasher hasher;
    for (size_t done = 0; done < kStreamSize; done += kUpdateSize) {
      hasher.update(piece.data() + done, kUpdateSize);
    }
    benchmark::DoNotOptimize(hasher.finish());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamSize));
}

// A 1 GiB file of random bytes in its own temp folder, made on first use, removed at exit.
class BigFile {
 public:
  const std::string& path() {
    if (path_.empty()) make();
    return path_;
  }
  ~BigFile() {
    std::error_code error;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
  }

 private:
  void make() {
    folder_ = std::filesystem::temp_directory_path() /
              ("velm_bench_" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::create_directories(folder_);
    const std::filesystem::path file = folder_ / "big.bin";
    const std::vector<uint8_t> chunk = randomBytes(1024 * 1024);
    std::ofstream out(file, std::ios::binary);
    for (uint64_t written = 0; written < kFileSize; written += chunk.size()) {
      out.write(reinterpret_cast<const char*>(chunk.data()),
                static_cast<std::streamsize>(chunk.size()));
    }
    out.close();
    if (!out) return;
    path_ = file.string();
  }

  std::filesystem::path folder_;
  std::string path_;
};

BigFile bigFile;

void BM_FileSha256(benchmark::State& state) {
  const std::string& path = bigFile.path();
  if (path.empty()) {
    state.SkipWithError("could not write the 1 GiB file");
    return;
  }
  Sha256Digest digest;
  uint64_t byteCount = 0;
  // Reads it once untimed, so every timed run hashes from the page cache alike.
  if (!fileSha256(path, digest, byteCount)) {
    state.SkipWithError("fileSha256 failed");
    return;
  }
  for (auto _ : state) {
    if (!fileSha256(path, digest, byteCount)) {
      state.SkipWithError("fileSha256 failed");
      break;
    }
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

BENCHMARK(BM_Sha256Portable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256Hardware)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256Hasher)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChunkCutter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChunkingHasher)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FileSha256)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace velm

BENCHMARK_MAIN();
