// Geometry derived from the boot sector.
#include <gtest/gtest.h>

#include "ntfs/volume.h"

namespace velmora {
namespace {

void SetBoot(VolumeContext& v, uint16_t sector, uint8_t spc, int8_t per_record) {
  auto& b = v.boot_sector();
  b.fill(0);
  b[0x0B] = static_cast<uint8_t>(sector);
  b[0x0C] = static_cast<uint8_t>(sector >> 8);
  b[0x0D] = spc;
  b[0x40] = static_cast<uint8_t>(per_record);
  v.DeriveFileRecordSize();
}

TEST(VolumeGeometryTest, RecordSizeFromClustersOrPowerOfTwo) {
  VolumeContext v;
  SetBoot(v, 512, 8, -10);
  EXPECT_EQ(v.BytesPerCluster(), 4096u);
  EXPECT_EQ(v.BytesPerFileRecord(), 1024u);
  SetBoot(v, 512, 8, 2);
  EXPECT_EQ(v.BytesPerFileRecord(), 8192u);
  SetBoot(v, 4096, 1, -12);
  EXPECT_EQ(v.BytesPerFileRecord(), 4096u);
  SetBoot(v, 512, 8, 0);
  EXPECT_EQ(v.BytesPerFileRecord(), 1u);
}

TEST(VolumeGeometryTest, SectorsPerClusterAbove0x80IsANegativePowerOfTwo) {
  VolumeContext v;
  SetBoot(v, 512, 0xF8, -10);  // mkntfs -c 131072
  EXPECT_EQ(v.SectorsPerCluster(), 256u);
  EXPECT_EQ(v.BytesPerCluster(), 131072u);
  SetBoot(v, 512, 0x80, -10);
  EXPECT_EQ(v.BytesPerCluster(), 65536u);
}

TEST(VolumeGeometryTest, AbsurdGeometryGivesNoClusterSize) {
  VolumeContext v;
  SetBoot(v, 512, 0, -10);
  EXPECT_EQ(v.BytesPerCluster(), 0u);
  SetBoot(v, 0, 8, -10);
  EXPECT_EQ(v.BytesPerCluster(), 0u);
  SetBoot(v, 512, 0x81, -10);  // 2^127 sectors
  EXPECT_EQ(v.BytesPerCluster(), 0u);
  SetBoot(v, 0xFFFF, 0x80, -10);  // beyond the largest cluster
  EXPECT_EQ(v.BytesPerCluster(), 0u);
}

}  // namespace
}  // namespace velmora
