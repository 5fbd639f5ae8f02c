#include "source/chunk_cache.h"

#include <algorithm>
#include <cstring>

namespace velmora::source {

ChunkCache::ChunkCache(uint64_t chunk_size, uint64_t media_size, uint64_t budget, Fill fill)
    : chunk_size_(std::max<uint64_t>(chunk_size, 1)),
      media_size_(media_size),
      capacity_(static_cast<size_t>(std::max<uint64_t>(budget / chunk_size_, 1))),
      fill_(std::move(fill)) {}

bool ChunkCache::FillAll(uint64_t offset, std::span<uint8_t> out, std::string* why) {
  while (!out.empty()) {
    const int64_t got = fill_(offset, out, why);
    if (got <= 0 || static_cast<uint64_t>(got) > out.size()) return false;
    out = out.subspan(static_cast<size_t>(got));
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

const ChunkCache::Slot* ChunkCache::Chunk(uint64_t chunk, std::string* why) {
  if (auto found = index_.find(chunk); found != index_.end()) {
    slots_.splice(slots_.begin(), slots_, found->second);
    return &slots_.front();
  }
  // The least recently used slot gives its buffer to the new chunk.
  if (slots_.size() >= capacity_) {
    index_.erase(slots_.back().chunk);
    slots_.splice(slots_.begin(), slots_, std::prev(slots_.end()));
  } else {
    slots_.emplace_front().bytes = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(chunk_size_));
  }
  Slot& slot = slots_.front();
  const uint64_t start = chunk * chunk_size_;
  slot.chunk = chunk;
  slot.size = static_cast<size_t>(std::min(chunk_size_, media_size_ - start));
  ++fills_;
  if (!FillAll(start, {slot.bytes.get(), slot.size}, why)) {
    slots_.pop_front();  // a chunk that failed is never served
    return nullptr;
  }
  index_.emplace(chunk, slots_.begin());
  return &slot;
}

int64_t ChunkCache::Read(uint64_t offset, std::span<uint8_t> out, std::string* why) {
  if (out.empty()) return 0;
  if (offset >= media_size_) {
    *why = "read past the end of the media";
    return -1;
  }
  const uint64_t chunk = offset / chunk_size_;
  const uint64_t within = offset % chunk_size_;
  if (within == 0 && out.size() >= chunk_size_ && !index_.contains(chunk)) {
    const uint64_t whole = out.size() / chunk_size_ * chunk_size_;
    return fill_(offset, out.first(static_cast<size_t>(whole)), why);
  }
  const Slot* slot = Chunk(chunk, why);
  if (slot == nullptr) return -1;
  const size_t count = std::min(out.size(), slot->size - static_cast<size_t>(within));
  std::memcpy(out.data(), slot->bytes.get() + within, count);
  return static_cast<int64_t>(count);
}

}  // namespace velmora::source
