// Bounds-checked little-endian access to on-disk bytes.
//
// Every integer read from a volume goes through LeBytes. Offsets are 64-bit
// and every range test is written so that it cannot overflow. A read that
// does not fit yields 0 and touches nothing outside the span; structure
// openers test Fits() first, so on an accepted structure that path is never
// taken.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace velmora {

class LeBytes {
 public:
  LeBytes() = default;
  explicit LeBytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  uint64_t size() const { return bytes_.size(); }
  std::span<const uint8_t> span() const { return bytes_; }

  // True when [offset, offset + count) lies inside the span.
  bool Fits(uint64_t offset, uint64_t count) const {
    return offset <= bytes_.size() && count <= bytes_.size() - offset;
  }

  uint8_t U8(uint64_t offset) const { return Fits(offset, 1) ? bytes_[offset] : 0; }
  uint16_t U16(uint64_t offset) const { return Fixed<uint16_t>(offset); }
  uint32_t U32(uint64_t offset) const { return Fixed<uint32_t>(offset); }
  uint64_t U64(uint64_t offset) const { return Fixed<uint64_t>(offset); }

  // An unsigned little-endian integer of 1 to 8 bytes.
  uint64_t Unsigned(uint64_t offset, unsigned width) const {
    if (width == 0 || width > 8 || !Fits(offset, width)) return 0;
    uint64_t value = 0;
    for (unsigned i = width; i-- > 0;) value = (value << 8) | bytes_[offset + i];
    return value;
  }

  // A signed little-endian integer of 1 to 8 bytes, sign-extended from the
  // top bit of its last byte.
  int64_t Signed(uint64_t offset, unsigned width) const {
    uint64_t value = Unsigned(offset, width);
    if (width == 0 || width >= 8) return static_cast<int64_t>(value);
    const uint64_t sign = uint64_t{1} << (width * 8 - 1);
    return static_cast<int64_t>((value ^ sign) - sign);
  }

  // The sub-span [offset, offset + count), or an empty span when it does not fit.
  std::span<const uint8_t> Sub(uint64_t offset, uint64_t count) const {
    if (!Fits(offset, count)) return {};
    return bytes_.subspan(offset, count);
  }

  // The first offset at or past `from`, a whole number of `step`s from it,
  // where the 32-bit value lies whole before `end`; `end` when there is
  // none. A carver's search: slack is mostly zeros, which memchr passes
  // over far faster than reading a value at every step.
  uint64_t NextAligned32(uint64_t from, uint64_t end, uint64_t step, uint32_t value) const {
    if (end > bytes_.size()) end = bytes_.size();
    if (step == 0 || from >= end || end - from < 4) return end;
    const auto first_byte = static_cast<uint8_t>(value);
    for (uint64_t pos = from; pos <= end - 4;) {
      const void* hit = std::memchr(bytes_.data() + pos, first_byte, static_cast<size_t>(end - 3 - pos));
      if (!hit) return end;
      const auto at = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - bytes_.data());
      // Up to the next offset on the step from `from`.
      pos = at + (step - (at - from) % step) % step;
      if (pos > end - 4) return end;
      if (U32(pos) == value) return pos;
      pos += step;
    }
    return end;
  }

  // count UTF-16LE code units at offset (empty when they do not fit).
  std::u16string Utf16(uint64_t offset, uint64_t units) const {
    std::u16string text;
    if (units > bytes_.size() / 2 || !Fits(offset, units * 2)) return text;
    text.resize(units);
    for (uint64_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(U16(offset + 2 * i));
    return text;
  }

 private:
  // A fixed-width integer: a plain load on a little-endian host.
  template <typename T>
  T Fixed(uint64_t offset) const {
    if constexpr (std::endian::native != std::endian::little) {
      return static_cast<T>(Unsigned(offset, sizeof(T)));
    } else {
      if (!Fits(offset, sizeof(T))) return 0;
      T value;
      std::memcpy(&value, bytes_.data() + offset, sizeof(T));
      return value;
    }
  }

  std::span<const uint8_t> bytes_;
};

inline void StoreLe16(std::span<uint8_t> bytes, uint64_t offset, uint16_t value) {
  if (offset <= bytes.size() && bytes.size() - offset >= 2) {
    bytes[offset] = static_cast<uint8_t>(value);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
  }
}

// a + b, or false when the sum does not fit in 64 bits.
inline bool CheckedAdd(uint64_t a, uint64_t b, uint64_t& sum) { return !__builtin_add_overflow(a, b, &sum); }
inline bool CheckedMul(uint64_t a, uint64_t b, uint64_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

}  // namespace velmora
