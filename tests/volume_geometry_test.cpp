// Geometry derived from the boot sector, and the fields that make a boot
// sector unusable.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "ntfs/volume.h"
#include "base/format.h"

namespace velmora {
namespace {

constexpr uint64_t kVolumeBytes = 64u << 20;

std::array<uint8_t, boot::kSize> Boot(uint16_t sector, uint8_t spc, int8_t per_record, uint64_t mft_lcn = 4) {
  std::array<uint8_t, boot::kSize> b{};
  StoreLe16(b, boot::kBytesPerSector, sector);
  b[boot::kSectorsPerCluster] = spc;
  b[boot::kClustersPerRecord] = static_cast<uint8_t>(per_record);
  for (int i = 0; i < 8; ++i) b[boot::kMftLcn + i] = static_cast<uint8_t>(mft_lcn >> (8 * i));
  return b;
}

TEST(VolumeGeometryTest, FieldsGiveClusterRecordAndMftSizes) {
  struct Case {
    uint16_t sector;
    uint8_t spc;
    int8_t per_record;
    uint32_t cluster, record;
  };
  const Case cases[] = {
      {512, 8, -10, 4096, 1024},
      {512, 8, 2, 4096, 8192},      // positive: clusters per record
      {4096, 1, -12, 4096, 4096},
      {512, 0xF8, -10, 131072, 1024},  // above 0x80: 2^(256 - byte) sectors (mkntfs -c 131072)
      {512, 0x80, -10, 65536, 1024},
      {256, 1, -8, 256, 256},
      {512, 128, -16, 65536, 65536},  // the largest record taken
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.sector << " " << int{c.spc} << " " << int{c.per_record});
    auto g = ValidateGeometry(Boot(c.sector, c.spc, c.per_record), kVolumeBytes);
    ASSERT_TRUE(g.has_value()) << Utf16ToUtf8(g.error().Line());
    EXPECT_EQ(g->BytesPerCluster(), c.cluster);
    EXPECT_EQ(g->BytesPerFileRecord(), c.record);
    EXPECT_EQ(g->MftOffset(), 4u * c.cluster);
  }
  auto g = ValidateGeometry(Boot(512, 8, -10), kVolumeBytes);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->IndexVcnUnit(4096), 4096u);  // blocks of whole clusters count clusters
  EXPECT_EQ(g->IndexVcnUnit(1024), 512u);   // smaller blocks count 512-byte units
}

TEST(VolumeGeometryTest, ZeroOrAbsurdFieldsAreRefusedWithTheField) {
  struct Case {
    std::array<uint8_t, boot::kSize> boot;
    const char* reason;
  };
  const Case cases[] = {
      {Boot(0, 8, -10), "bytes per sector (offset 0x0B): is 0"},
      {Boot(768, 8, -10), "bytes per sector (offset 0x0B): is 768"},
      {Boot(8192, 1, -10), "bytes per sector (offset 0x0B): is 8192"},
      {Boot(512, 0, -10), "sectors per cluster (offset 0x0D): is 0x00, giving no usable cluster size"},
      {Boot(512, 0x81, -10), "sectors per cluster (offset 0x0D): is 0x81, giving no usable cluster size"},
      {Boot(4096, 0xF4, -10), "sectors per cluster (offset 0x0D): is 0xF4, giving no usable cluster size"},  // 16 MiB
      {Boot(512, 8, 0), "clusters per file record (offset 0x40): is 0x00, giving 1-byte file records"},
      {Boot(512, 8, 0x40), "clusters per file record (offset 0x40): is 0x40, giving 262144-byte file records"},
      // A negative byte is a power of two from -8 (256 bytes) to -16 (64 KiB), taken whole:
      // -40 and -42 are not 256 and 1024 bytes.
      {Boot(512, 8, -7), "clusters per file record (offset 0x40): is 0xF9, giving 2^7-byte file records"},
      {Boot(512, 8, -17), "clusters per file record (offset 0x40): is 0xEF, giving 2^17-byte file records"},
      {Boot(512, 8, -40), "clusters per file record (offset 0x40): is 0xD8, giving 2^40-byte file records"},
      {Boot(512, 8, -42), "clusters per file record (offset 0x40): is 0xD6, giving 2^42-byte file records"},
      {Boot(512, 8, -128), "clusters per file record (offset 0x40): is 0x80, giving 2^128-byte file records"},
      {Boot(512, 8, -10, 0x4000), "MFT cluster number (offset 0x30): is 16384, past the end of the volume"},
      {Boot(512, 8, -10, ~uint64_t{0}),
       "MFT cluster number (offset 0x30): is 18446744073709551615, past the end of the volume"},
  };
  for (const Case& c : cases) {
    auto g = ValidateGeometry(c.boot, kVolumeBytes);
    ASSERT_FALSE(g.has_value()) << c.reason;
    EXPECT_EQ(Utf16ToUtf8(g.error().Line()), c.reason);
  }
  // Of a source of unknown size only an MFT offset that overflows is refused.
  EXPECT_TRUE(ValidateGeometry(Boot(512, 8, -10, 0x4000), std::nullopt).has_value());
  EXPECT_FALSE(ValidateGeometry(Boot(512, 8, -10, ~uint64_t{0}), std::nullopt).has_value());
}

}  // namespace
}  // namespace velmora
