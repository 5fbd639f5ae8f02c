#include "source/byte_source.h"

#include <cstring>

namespace velmora::source {

bool MemorySource::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  ++reads_;
  if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
  if (!out.empty()) std::memcpy(out.data(), bytes_.data() + offset, out.size());
  return true;
}

bool OffsetSource::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  uint64_t absolute = 0;
  if (__builtin_add_overflow(offset, base_, &absolute)) return false;
  return inner_->ReadAt(absolute, out);
}

std::optional<uint64_t> OffsetSource::Size() const {
  auto size = inner_->Size();
  if (!size || *size < base_) return std::nullopt;
  return *size - base_;
}

}  // namespace velmora::source
