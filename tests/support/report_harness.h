// Attribute records built inline, and a report context that keeps what the
// reports print on each stream, for unit tests of the -v, -d and -s reports.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/attribute.h"
#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "platform/output.h"
#include "reports/reports.h"
#include "tests/support/fake_platform.h"

namespace velmora::testing {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, size_t at, uint16_t v) {
  for (int i = 0; i < 2; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(Bytes& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A resident attribute record: 0x18-byte header, the value right behind it,
// total size rounded up to 8.
inline Bytes ResidentAttribute(uint32_t type, const Bytes& value, uint16_t id = 0) {
  const size_t total = (0x18 + value.size() + 7) & ~size_t{7};
  Bytes b(total);
  Put32(b, 0x00, type);
  Put32(b, 0x04, static_cast<uint32_t>(total));
  Put16(b, 0x0A, 0x18);
  Put16(b, 0x0E, id);
  Put32(b, 0x10, static_cast<uint32_t>(value.size()));
  Put16(b, 0x14, 0x18);
  std::copy(value.begin(), value.end(), b.begin() + 0x18);
  return b;
}

// A non-resident attribute record whose mapping pairs are empty (a lone
// terminator): every read of its value fails.
inline Bytes NonResidentAttribute(uint32_t type, uint64_t real_size, uint16_t id = 0) {
  Bytes b(0x48);
  Put32(b, 0x00, type);
  Put32(b, 0x04, 0x48);
  b[0x08] = 1;
  Put16(b, 0x0A, 0x40);
  Put16(b, 0x0E, id);
  Put64(b, 0x18, 0);
  Put16(b, 0x20, 0x40);
  Put64(b, 0x28, (real_size + 0xFFF) & ~uint64_t{0xFFF});
  Put64(b, 0x30, real_size);
  Put64(b, 0x38, real_size);
  return b;
}

inline AttributeRecord OpenAttribute(const Bytes& bytes) {
  auto attribute = AttributeRecord::Open(bytes, 0, static_cast<uint32_t>(bytes.size()));
  EXPECT_TRUE(attribute.has_value());
  if (!attribute) std::abort();
  return *attribute;
}

// A report context over an unopened volume: what the reports print on
// standard output and standard error is kept apart.
struct ReportHarness {
  FakePlatform platform;
  VolumeContext volume;
  StringSink out;
  StringSink err;
  Console console{out, err};
  ReportContext context{volume, platform, console};
  // Stands for the base record; values of inline attributes never need it.
  FileRecord base{Bytes(1024)};
};

}  // namespace velmora::testing
