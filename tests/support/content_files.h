// The attributes of files whose content the content reader decodes, for
// the synthetic volumes of the content tests and the content fuzz target:
// a $DATA with the flags, compression unit and initialized size given, and
// the three attributes of a system-compressed file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/synthetic_volume.h"

namespace velmora::testing {

// A non-resident $DATA in SyntheticVolume's 512-byte clusters.
inline std::vector<uint8_t> DataAttribute(const std::u16string& name, const std::vector<RunSpec>& runs, uint64_t size,
                                          uint16_t flags = 0, uint8_t unit_shift = 0,
                                          std::optional<uint64_t> initialized = std::nullopt, uint16_t id = 1) {
  uint64_t clusters = 0;
  for (const RunSpec& r : runs) clusters += r.length;
  std::vector<uint8_t> a = NonResidentAttribute(0x80, id, name, EncodeRuns(runs), 0, clusters ? clusters - 1 : 0,
                                                clusters * SyntheticVolume::kCluster, size);
  Put16(a, 0x0C, flags);
  Put16(a, 0x22, unit_shift);
  Put64(a, 0x38, initialized.value_or(size));
  return a;
}

// A system-compressed file of `size` bytes in record order: the unnamed
// $DATA (sparse, no clusters), WofCompressedData at `lcn` and the reparse
// point naming the provider and algorithm.
inline std::vector<std::vector<uint8_t>> WofFileAttributes(uint32_t algorithm, uint64_t size, uint64_t stream_bytes,
                                                           uint64_t lcn, uint32_t provider = 2) {
  std::vector<uint8_t> point(8 + 16);
  Put32(point, 0, 0x80000017);
  Put16(point, 4, 16);
  Put32(point, 8, 1);
  Put32(point, 12, provider);
  Put32(point, 16, 1);
  Put32(point, 20, algorithm);
  constexpr uint32_t kCluster = SyntheticVolume::kCluster;
  return {DataAttribute(u"", {{std::nullopt, (size + kCluster - 1) / kCluster}}, size, 0x8000),
          DataAttribute(u"WofCompressedData", {{lcn, (stream_bytes + kCluster - 1) / kCluster}}, stream_bytes, 0, 0,
                        std::nullopt, 3),
          ResidentAttribute(0xC0, 2, u"", point)};
}

}  // namespace velmora::testing
