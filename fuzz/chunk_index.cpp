// parseChunkIndex: an index comes from the network, checked only by its pinned digest. What it
// accepts must tile exactly the file's size with chunks the cutter could make and write back to
// the same bytes. Input: the index bytes; the file size is the one the header names.
#include "package/chunk_index.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm;
  const std::string bytes = fuzz::text(data, size);
  uint64_t fileSize = 0;
  for (size_t i = 0; i < 8 && 20 + i < bytes.size(); ++i) {
    fileSize |= uint64_t(static_cast<uint8_t>(bytes[20 + i])) << (8 * i);
  }
  std::vector<Chunk> chunks = {Chunk{7, 7, {}}};
  if (!parseChunkIndex(bytes, fileSize, chunks)) {
    VELM_FUZZ_CHECK(chunks.size() == 1 && chunks[0].offset == 7);
    return 0;
  }
  uint64_t offset = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    VELM_FUZZ_CHECK(chunks[i].offset == offset);
    VELM_FUZZ_CHECK(chunks[i].length > 0 && chunks[i].length <= kMaxChunk);
    VELM_FUZZ_CHECK(i + 1 == chunks.size() || chunks[i].length >= kMinChunk);
    offset += chunks[i].length;
  }
  VELM_FUZZ_CHECK(offset == fileSize);
  VELM_FUZZ_CHECK(chunkIndexBytes(chunks, fileSize) == bytes);
  return 0;
}
