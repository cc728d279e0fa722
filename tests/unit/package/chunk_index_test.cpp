#include "package/chunk_index.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "package/delta_download.h"
#include "package/download_record.h"
#include "support/fake_net.h"
#include "support/fake_retry_clock.h"
#include "support/temp_dir.h"

namespace velm {
namespace {

std::string randomBytes(size_t length, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

std::vector<Chunk> cut(const std::string& bytes, size_t piece = SIZE_MAX) {
  ChunkingHasher hasher;
  for (size_t at = 0; at < bytes.size(); at += piece) {
    hasher.update(bytes.data() + at, std::min(piece, bytes.size() - at));
  }
  EXPECT_EQ(hasher.finish(), textSha256(bytes));
  return hasher.chunks();
}

std::set<std::pair<ChunkHash, uint32_t>> chunkSet(const std::vector<Chunk>& chunks) {
  std::set<std::pair<ChunkHash, uint32_t>> set;
  for (const Chunk& chunk : chunks) set.emplace(chunk.hash, chunk.length);
  return set;
}

// Every chunk but the last within the sizes, the chunks tiling the bytes, and the same cut
// however the bytes are fed.
TEST(ChunkCutter, KeepsItsSizesWhateverTheBytes) {
  const std::pair<const char*, std::string> inputs[] = {
      {"random", randomBytes(3 << 20, 1)},
      {"zeros", std::string(3 << 20, '\0')},
      {"short", randomBytes(5000, 2)},
  };
  for (const auto& [label, bytes] : inputs) {
    SCOPED_TRACE(label);
    const std::vector<Chunk> chunks = cut(bytes);
    uint64_t offset = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].offset, offset);
      EXPECT_LE(chunks[i].length, kMaxChunk);
      if (i + 1 < chunks.size()) {
        EXPECT_GT(chunks[i].length, kMinChunk);
      }
      EXPECT_EQ(chunks[i].hash, chunkHash(bytes.data() + offset, chunks[i].length));
      offset += chunks[i].length;
    }
    EXPECT_EQ(offset, bytes.size());
    EXPECT_EQ(chunkSet(cut(bytes, 4093)).size(), chunkSet(chunks).size());
    EXPECT_EQ(cut(bytes, 1 << 20).size(), chunks.size());
  }
}

// The reason for content-defined cuts: an insert or a rewrite costs the chunks around it only.
TEST(ChunkCutter, BoundariesSurviveEditsBeforeThem) {
  const std::string old = randomBytes(8 << 20, 3);
  const std::set<std::pair<ChunkHash, uint32_t>> oldChunks = chunkSet(cut(old));
  const double average = double(old.size()) / oldChunks.size();
  EXPECT_GT(average, kAverageChunk * 0.75);
  EXPECT_LT(average, kAverageChunk * 1.5);
  std::string rewritten = old;
  rewritten.replace(4 << 20, 1 << 20, randomBytes(1 << 20, 4));
  const std::pair<const char*, std::string> edits[] = {
      {"insert at the front", randomBytes(100003, 5) + old},
      {"rewrite in the middle", rewritten},
      {"cut from the front", old.substr(77777)},
  };
  for (const auto& [label, edited] : edits) {
    SCOPED_TRACE(label);
    uint64_t fresh = 0;
    for (const Chunk& chunk : cut(edited)) {
      if (oldChunks.count({chunk.hash, chunk.length}) == 0) fresh += chunk.length;
    }
    const uint64_t changed = edited.size() > old.size() ? edited.size() - old.size() : 1 << 20;
    EXPECT_LT(fresh, changed + 4 * kMaxChunk);
  }
}

TEST(ChunkIndex, ReadsOnlyAWholeIndexOfThisCutter) {
  const std::string bytes = randomBytes(1 << 20, 6);
  const std::vector<Chunk> chunks = cut(bytes);
  const std::string index = chunkIndexBytes(chunks, bytes.size());
  EXPECT_LE(index.size(), bytes.size() / 1000 + 32);
  std::vector<Chunk> read;
  ASSERT_TRUE(parseChunkIndex(index, bytes.size(), read));
  ASSERT_EQ(read.size(), chunks.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].offset, chunks[i].offset);
    EXPECT_EQ(read[i].hash, chunks[i].hash);
  }
  std::string otherSizes = index;
  otherSizes[9] ^= 1;
  std::string zeroLength = index;
  zeroLength.replace(32, 4, std::string(4, '\0'));
  std::string fewerChunks = index;
  fewerChunks[28] = static_cast<char>(fewerChunks[28] - 1);
  const std::pair<const char*, std::string> broken[] = {
      {"truncated", index.substr(0, index.size() - 1)},
      {"oversized", index + '\0'},
      {"header only", index.substr(0, 32)},
      {"other cutter", otherSizes},
      {"chunk of no bytes", zeroLength},
      {"count disagrees", fewerChunks},
      {"not an index", std::string(index.size(), 'x')},
  };
  for (const auto& [label, text] : broken) {
    SCOPED_TRACE(label);
    EXPECT_FALSE(parseChunkIndex(text, bytes.size(), read));
  }
  EXPECT_FALSE(parseChunkIndex(index, bytes.size() + 1, read));
}

TEST(DeltaPlan, FetchesOnlyWhatNoFileHoldsInMergedRanges) {
  const auto chunk = [](uint64_t offset, uint32_t length, uint8_t tag) {
    Chunk c{offset, length, {}};
    c.hash[0] = tag;
    return c;
  };
  // The new file: chunks a..f; the folder holds b and c in one file (in that order) and e in
  // another; the ".new" of an interrupted run holds f.
  const std::vector<Chunk> wanted = {chunk(0, 100, 'a'),   chunk(100, 200, 'b'),
                                     chunk(300, 300, 'c'), chunk(600, 50, 'd'),
                                     chunk(650, 70, 'e'),  chunk(720, 80, 'f')};
  LocalChunks local;
  local.add("old.pak", {chunk(0, 200, 'b'), chunk(200, 300, 'c'), chunk(500, 10, 'x')});
  local.add("other.pak", {chunk(40, 70, 'e'), chunk(110, 90, 'd')});  // d of another length
  const std::vector<DeltaPiece> pieces =
      planDelta(wanted, {false, false, false, false, false, true}, local);
  using Source = DeltaPiece::Source;
  const std::vector<std::tuple<Source, uint64_t, uint64_t, uint64_t>> expected = {
      {Source::Remote, 0, 100, 0},
      {Source::Local, 100, 500, 0},
      {Source::Remote, 600, 50, 0},
      {Source::Local, 650, 70, 40},
      {Source::Held, 720, 80, 0}};
  ASSERT_EQ(pieces.size(), expected.size());
  for (size_t i = 0; i < pieces.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pieces[i].source, std::get<0>(expected[i]));
    EXPECT_EQ(pieces[i].offset, std::get<1>(expected[i]));
    EXPECT_EQ(pieces[i].length, std::get<2>(expected[i]));
    EXPECT_EQ(pieces[i].fileOffset, std::get<3>(expected[i]));
  }
  EXPECT_EQ(local.file(pieces[3].file), "other.pak");

  // A long run of new chunks goes out as several ranges, none longer than the limit.
  std::vector<Chunk> fresh;
  for (uint64_t i = 0; i < 100; ++i) fresh.push_back(chunk(i * kMaxChunk, kMaxChunk, 'n'));
  const std::vector<DeltaPiece> ranges = planDelta(fresh, {}, local);
  EXPECT_EQ(ranges.size(), 100 * uint64_t{kMaxChunk} / kMaxRangeLength + 1);
  for (const DeltaPiece& range : ranges) EXPECT_LE(range.length, kMaxRangeLength);
}

}  // namespace
}  // namespace velm

namespace velm {
namespace {

// A killed run's ".new" is a start: the chunks it holds at their place are not fetched again,
// and what it holds elsewhere (a hole, other bytes) is.
TEST(DeltaDownload, ReusesTheChunksAKilledRunsFileHolds) {
  TempDir dir;
  const std::string old = randomBytes(2 << 20, 10);
  const std::string fresh =
      randomBytes(300000, 11) + old.substr(0, 1 << 20) + randomBytes(5000, 12);
  const std::vector<Chunk> chunks = cut(fresh);
  const std::string index = chunkIndexBytes(chunks, fresh.size());
  ManifestFile file{"big.pak", fresh.size(), textSha256(fresh), true, {}, {}};
  file.chunks = ChunkIndexRef{"big.pak.chunks", index.size(), textSha256(index)};
  FakeNet net;
  net.serve("https://h/big.pak", fresh);
  net.serve("https://h/big.pak.chunks", index);

  LocalChunks local;
  local.add(dir.write("big.pak", old), cut(old));
  DownloadRecord record(dir.path());
  PendingFile pending{file, dir.path() / "big.pak", dir.path() / "big.pak.new"};
  pending.record = &record;
  // The first 150000 bytes and the last 5000 were written, with zeros between them.
  std::string left(fresh.size(), '\0');
  left.replace(0, 150000, fresh.substr(0, 150000));
  left.replace(fresh.size() - 5000, 5000, fresh.substr(fresh.size() - 5000));
  FileIdentity identity;
  ASSERT_TRUE(plainFileIdentity(dir.write("big.pak.new", left), identity));
  record.made("big.pak", identity);

  DeltaContext context{
      "https://h/big.pak", "https://h/big.pak.chunks", &local, {}, {}, nullptr, nullptr};
  uint64_t planned = 0;
  context.onPlanned = [&](uint64_t toFetch) { planned = toFetch; };
  EXPECT_EQ(fetchChangedFile(net, pending, context).outcome, DownloadOutcome::Ok);
  EXPECT_EQ(dir.read("big.pak.new"), fresh);
  uint64_t missing = 0;  // the chunks neither the old file nor the killed run's file holds
  uint64_t notLocal = 0;
  for (const Chunk& chunk : chunks) {
    const bool kept = chunk.offset + chunk.length <= 150000 || chunk.offset >= fresh.size() - 5000;
    if (local.find(chunk) != nullptr) continue;
    notLocal += chunk.length;
    if (!kept) missing += chunk.length;
  }
  EXPECT_EQ(planned, missing);
  EXPECT_EQ(net.sent["https://h/big.pak"], missing);
  EXPECT_GT(notLocal - missing, uint64_t{kMinChunk});  // a chunk of the start was kept
  for (size_t i = 0; i < net.requested.size(); ++i) {
    if (net.requested[i] == "https://h/big.pak") {
      EXPECT_NE(net.lastBytes[i], RequestOptions::kToTheEnd);
    }
  }
}

}  // namespace
}  // namespace velm

namespace velm {
namespace {

// A range that cannot be completed must not strand the player: the file comes whole.
TEST(DeltaDownload, ARangeThatKeepsFailingGivesWayToTheWholeFile) {
  TempDir dir;
  const std::string old = randomBytes(1 << 20, 20);
  std::string fresh = old;
  fresh.replace(500000, 100000, randomBytes(100000, 21));
  const std::string index = chunkIndexBytes(cut(fresh), fresh.size());
  ManifestFile file{"big.pak", fresh.size(), textSha256(fresh), true, {}, {}};
  file.chunks = ChunkIndexRef{"big.pak.chunks", index.size(), textSha256(index)};
  FakeNet net;
  net.serve("https://h/big.pak", fresh);
  net.serve("https://h/big.pak.chunks", index);
  net.breakAfter("https://h/big.pak", 1, 4);  // the range and its three retries
  LocalChunks local;
  local.add(dir.write("big.pak", old), cut(old));
  PendingFile pending{file, dir.path() / "big.pak", dir.path() / "big.pak.new"};
  FakeRetryClock clock;
  std::vector<uint64_t> planned;
  DeltaContext context{
      "https://h/big.pak", "https://h/big.pak.chunks", &local, {}, {}, nullptr, &clock};
  context.onPlanned = [&](uint64_t toFetch) { planned.push_back(toFetch); };
  EXPECT_EQ(fetchChangedFile(net, pending, context).outcome, DownloadOutcome::Ok);
  EXPECT_EQ(dir.read("big.pak.new"), fresh);
  ASSERT_EQ(planned.size(), 2u);
  EXPECT_LT(planned[0], 400000u);
  EXPECT_EQ(planned[1], fresh.size());
  ASSERT_EQ(net.requested.size(), 6u);  // the index, four ranges, the whole file
  EXPECT_EQ(net.firstBytes.back(), 0u);
  EXPECT_EQ(net.lastBytes.back(), RequestOptions::kToTheEnd);
}

}  // namespace
}  // namespace velm
