// A set of 64-bit values, kept in one flat table: for the visited and seen
// sets of carvers and walks, where a node allocated per insert costs more
// than the work it guards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

class HashSet64 {
 public:
  // True when value was not in the set (and now is).
  bool Insert(uint64_t value) {
    if (value == kEmpty) {
      const bool added = !has_empty_;
      has_empty_ = true;
      return added;
    }
    if ((size_ + 1) * 4 > slots_.size() * 3) Grow();
    if (!Place(slots_, value)) return false;
    ++size_;
    return true;
  }
  bool Contains(uint64_t value) const {
    if (value == kEmpty) return has_empty_;
    if (slots_.empty()) return false;
    const size_t mask = slots_.size() - 1;
    for (size_t i = Slot(value, mask);; i = (i + 1) & mask) {
      if (slots_[i] == value) return true;
      if (slots_[i] == kEmpty) return false;
    }
  }
  size_t size() const { return size_ + (has_empty_ ? 1 : 0); }

 private:
  static constexpr uint64_t kEmpty = 0;

  // Values are often hashes already, but not always: mixed before use.
  static size_t Slot(uint64_t value, size_t mask) {
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdULL;
    value ^= value >> 33;
    return static_cast<size_t>(value) & mask;
  }
  static bool Place(std::vector<uint64_t>& slots, uint64_t value) {
    const size_t mask = slots.size() - 1;
    for (size_t i = Slot(value, mask);; i = (i + 1) & mask) {
      if (slots[i] == value) return false;
      if (slots[i] == kEmpty) {
        slots[i] = value;
        return true;
      }
    }
  }
  void Grow() {
    std::vector<uint64_t> bigger(slots_.empty() ? 64 : slots_.size() * 2, kEmpty);
    for (uint64_t value : slots_)
      if (value != kEmpty) Place(bigger, value);
    slots_.swap(bigger);
  }

  std::vector<uint64_t> slots_;
  size_t size_ = 0;
  bool has_empty_ = false;
};

}  // namespace velmora
