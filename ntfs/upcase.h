// $UpCase (record 10): the volume's own upper-case form of every UTF-16
// code unit, by which file names compare without regard to case.
#pragma once

#include <cstdint>
#include <vector>

#include "base/error.h"

namespace velmora {

class VolumeContext;

inline constexpr uint32_t kUpcaseEntries = 0x10000;
inline constexpr uint64_t kUpcaseBytes = 0x20000;

class UpcaseTable {
 public:
  bool loaded() const { return loaded_; }
  char16_t Upcase(char16_t unit) const { return loaded_ ? table_[unit] : unit; }
  // Takes the table from its on-disk little-endian bytes (kUpcaseBytes of them).
  void Load(const std::vector<uint8_t>& bytes);

 private:
  std::vector<char16_t> table_;
  bool loaded_ = false;
};

// Accepts the volume by loading its upcase table: record 10's first $DATA
// must hold exactly 0x20000 bytes. A volume not accepted is described: what
// the source holds instead, or why $UpCase could not be read.
Expected<void> CheckNtfsVolume(VolumeContext& volume);

}  // namespace velmora
