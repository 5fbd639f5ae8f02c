// The last chunks a container library decompressed, kept for the reads that
// come back to them. A directory's index blocks (4 KiB) fall eight to an
// EWF chunk (32 KiB), and a B+ tree walk visits them out of order, leaving
// a chunk and coming back to it; a library that keeps only the chunk it
// read last inflates each one many times over.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>

namespace velmora::source {

// What the EWF cache may hold: 1,024 chunks of the usual 32 KiB. The
// blocks of a large directory's index lie on the disk in the order the
// directory grew, not in key order, so a walk comes back to each chunk
// from anywhere in the index: only a cache that holds the whole index
// inflates each chunk once. This one holds the index of a directory of
// about 120,000 names (about 250 bytes of index per name).
inline constexpr uint64_t kEwfCacheBytes = 32u << 20;

class ChunkCache {
 public:
  // Reads out.size() bytes at offset from the container: the count it gave
  // (a short count is asked again for the rest), or -1 with *why set. A
  // chunk that reads but cannot be trusted (a checksum that fails) must
  // give -1, or the cache keeps it as good.
  using Fill = std::function<int64_t(uint64_t offset, std::span<uint8_t> out, std::string* why)>;

  // Chunks of chunk_size bytes (the last one cut short by media_size); as
  // many are kept as budget holds, and always one: the cache never holds
  // more than the larger of budget and chunk_size.
  ChunkCache(uint64_t chunk_size, uint64_t media_size, uint64_t budget, Fill fill);

  // Bytes at offset (inside the media) into the front of out: the count
  // given, at most to the end of offset's chunk, or -1 with *why set. A run
  // of whole chunks that out covers and the cache lacks is read straight
  // into out and not kept: a long read passes each chunk once.
  int64_t Read(uint64_t offset, std::span<uint8_t> out, std::string* why);

  size_t capacity() const { return capacity_; }
  // How many times a chunk was asked of the container to be kept.
  uint64_t fills() const { return fills_; }

 private:
  struct Slot {
    uint64_t chunk = 0;
    size_t size = 0;                 // chunk_size, or less for the last chunk
    std::unique_ptr<uint8_t[]> bytes;  // chunk_size bytes, left unset until filled
  };
  // The chunk's bytes, from the cache or filled into it; nullptr on failure.
  const Slot* Chunk(uint64_t chunk, std::string* why);
  bool FillAll(uint64_t offset, std::span<uint8_t> out, std::string* why);

  uint64_t chunk_size_;
  uint64_t media_size_;
  size_t capacity_;
  Fill fill_;
  std::list<Slot> slots_;  // the most recently used first
  std::unordered_map<uint64_t, std::list<Slot>::iterator> index_;
  uint64_t fills_ = 0;
};

}  // namespace velmora::source
