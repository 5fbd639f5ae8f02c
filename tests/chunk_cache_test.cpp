// The cache of decompressed chunks under the EWF source: what it gives is
// the container's bytes whatever the order of the reads, it holds no more
// chunks than its budget, and a chunk the container could not give (a
// failed checksum) is asked for again, never served from the cache. Reads
// through a real E01 are compared with the raw volume in container_test.cpp.
#include "source/chunk_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace velmora::source {
namespace {

constexpr uint64_t kChunk = 16;

// A container of 5.5 chunks whose byte i is i * 7 + 3 (mod 256).
struct FakeContainer {
  std::vector<uint8_t> media = [] {
    std::vector<uint8_t> bytes(kChunk * 5 + kChunk / 2);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    return bytes;
  }();
  std::set<uint64_t> damaged;   // chunks whose next read fails, once
  uint64_t most_per_call = ~0ull;  // a library that gives fewer bytes than asked
  int calls = 0;

  ChunkCache::Fill Fill() {
    return [this](uint64_t offset, std::span<uint8_t> out, std::string* why) -> int64_t {
      ++calls;
      if (damaged.erase(offset / kChunk) != 0) {
        *why = "checksum";
        return -1;
      }
      const size_t count = std::min<uint64_t>(out.size(), most_per_call);
      std::memcpy(out.data(), media.data() + offset, count);
      return static_cast<int64_t>(count);
    };
  }
};

// Reads as LibrarySource does: asks again for the rest until out is full.
bool ReadAll(ChunkCache& cache, uint64_t offset, std::span<uint8_t> out) {
  while (!out.empty()) {
    std::string why;
    const int64_t got = cache.Read(offset, out, &why);
    if (got <= 0) return false;
    out = out.subspan(static_cast<size_t>(got));
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

TEST(ChunkCacheTest, ReadsGiveTheContainersBytesAndKeepTheRecentChunks) {
  struct Read {
    uint64_t offset;
    size_t size;
    uint64_t fills;  // chunks asked of the container so far
  };
  struct Row {
    const char* name;
    uint64_t most_per_call;
    std::vector<Read> reads;
  };
  // Three chunks fit the budget.
  const Row rows[] = {
      {"hits, then the least recent goes", ~0ull,
       {{0, 4, 1}, {20, 4, 2}, {36, 4, 3}, {4, 8, 3}, {50, 4, 4}, {20, 4, 5}, {0, 16, 5}, {36, 1, 6}}},
      {"a read across chunks, and the short last chunk", ~0ull, {{10, 30, 2}, {80, 8, 3}, {70, 18, 4}, {14, 4, 6}}},
      {"whole chunks go straight to the reader", ~0ull, {{16, 48, 0}, {0, kChunk * 5 + kChunk / 2, 1}, {20, 4, 2}}},
      {"a library that gives a few bytes at a time", 5, {{3, 40, 3}, {64, 24, 5}, {0, 4, 6}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeContainer container;
    container.most_per_call = row.most_per_call;
    ChunkCache cache(kChunk, container.media.size(), 3 * kChunk + kChunk / 2, container.Fill());
    EXPECT_EQ(cache.capacity(), 3u);
    for (const Read& read : row.reads) {
      std::vector<uint8_t> out(read.size);
      ASSERT_TRUE(ReadAll(cache, read.offset, out)) << read.offset;
      EXPECT_EQ(0, std::memcmp(out.data(), container.media.data() + read.offset, out.size())) << read.offset;
      EXPECT_EQ(cache.fills(), read.fills) << read.offset;
    }
  }
}

TEST(ChunkCacheTest, AChunkThatFailsIsAskedForAgain) {
  FakeContainer container;
  container.damaged = {1, 3};
  ChunkCache cache(kChunk, container.media.size(), 4 * kChunk, container.Fill());
  std::vector<uint8_t> out(4);
  std::string why;
  for (const uint64_t offset : {20, 48}) {  // through the cache, then straight
    SCOPED_TRACE(offset);
    std::vector<uint8_t> wide(offset % kChunk == 0 ? kChunk : 4);
    EXPECT_EQ(cache.Read(offset, wide, &why), -1);
    EXPECT_EQ(why, "checksum");
    ASSERT_TRUE(ReadAll(cache, offset, wide));
    EXPECT_EQ(0, std::memcmp(wide.data(), container.media.data() + offset, wide.size()));
  }
  const int calls = container.calls;
  ASSERT_TRUE(ReadAll(cache, 24, out));  // the good copy of chunk 1 is kept
  EXPECT_EQ(container.calls, calls);
  EXPECT_EQ(cache.Read(container.media.size(), out, &why), -1);
}

}  // namespace
}  // namespace velmora::source
