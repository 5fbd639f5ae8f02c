// The open volume: its byte source, a copy of its boot sector and the
// geometry derived from it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ntfs/bytes.h"
#include "ntfs/data_runs.h"
#include "ntfs/types.h"
#include "ntfs/upcase.h"
#include "source/byte_source.h"
#include "platform/platform.h"

namespace velmora {

// Boot sector fields, offsets in bytes from the first byte of the volume.
namespace boot {
inline constexpr uint64_t kBytesPerSector = 0x0B;        // u16
inline constexpr uint64_t kSectorsPerCluster = 0x0D;     // u8; above 0x80 a negative power of two
inline constexpr uint64_t kMftLcn = 0x30;                // u64, clusters from the volume start
inline constexpr uint64_t kClustersPerRecord = 0x40;     // s8; <= 0: record size is 2^-value bytes
inline constexpr uint64_t kClustersPerIndexBlock = 0x44; // s8 (the log lookup reads these 4 bytes as u32)
inline constexpr uint32_t kSize = 512;
}  // namespace boot

// Geometry bounds: beyond these a boot sector is not a volume this tool can
// read safely (the largest NTFS cluster is 2 MiB; file records are 1 KiB or
// 4 KiB in practice).
inline constexpr uint32_t kMaxBytesPerCluster = 2u << 20;
inline constexpr uint32_t kMaxFileRecordBytes = 64u << 10;
// NTFS protects every 512 bytes of a record, index block or log page with
// one update sequence word, whatever the sector size.
inline constexpr uint32_t kUpdateSequenceStride = 512;

class VolumeContext {
 public:
  VolumeContext() = default;
  VolumeContext(const VolumeContext&) = delete;
  VolumeContext& operator=(const VolumeContext&) = delete;

  bool IsOpen() const { return device_ != nullptr; }
  void Close() {
    device_.reset();
    mft_runs_.reset();
  }
  source::ByteSource* device() const { return device_.get(); }
  void SetDevice(std::unique_ptr<source::ByteSource> device) {
    device_ = std::move(device);
    mft_runs_.reset();
  }

  std::array<uint8_t, boot::kSize>& boot_sector() { return boot_sector_; }
  LeBytes Boot() const { return LeBytes(boot_sector_); }

  uint32_t BytesPerSector() const { return Boot().U16(boot::kBytesPerSector); }
  // Sectors per cluster; a byte above 0x80 is 2^(256 - byte), as volumes
  // with clusters of 128 KiB and more store it. 0 when meaningless.
  uint32_t SectorsPerCluster() const;
  // 0 when the boot sector gives no usable cluster size.
  uint32_t BytesPerCluster() const;
  uint64_t MftLcn() const { return Boot().U64(boot::kMftLcn); }
  uint32_t BytesPerFileRecord() const { return bytes_per_file_record_; }
  void DeriveFileRecordSize();

  // The source as the user named it ("disk.img#2", "/dev/sdb1"), for messages.
  const std::u16string& label() const { return label_; }
  void SetLabel(std::u16string label) { label_ = std::move(label); }

  UpcaseTable& upcase() { return upcase_; }
  const UpcaseTable& upcase() const { return upcase_; }

  // The MFT's own run list, found once from record 0 (see file_record.cpp).
  std::optional<RunList>& mft_runs() { return mft_runs_; }

 private:
  std::unique_ptr<source::ByteSource> device_;
  std::array<uint8_t, boot::kSize> boot_sector_{};
  uint32_t bytes_per_file_record_ = 0;
  UpcaseTable upcase_;
  std::optional<RunList> mft_runs_;
  std::u16string label_;
};

// Opens the device read-only and reads the boot sector; on failure, why,
// naming the source as the user named it.
Expected<void> OpenVolumeHandle(VolumeContext& volume, platform::Platform& platform, std::u16string_view device_name);
Expected<void> OpenVolume(VolumeContext& volume, platform::Platform& platform, std::u16string_view device_name);

// The boot sector fields the reader depends on, in range; else which field
// holds what.
Expected<void> CheckBootGeometry(const VolumeContext& volume);

bool ReadVolumeBytes(VolumeContext& volume, uint64_t offset, std::span<uint8_t> out);
bool ReadClusters(VolumeContext& volume, Lcn lcn, std::span<uint8_t> out);

}  // namespace velmora
