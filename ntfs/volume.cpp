#include "ntfs/volume.h"

#include "source/contents.h"
#include "output/format.h"

namespace velmora {

uint32_t VolumeContext::SectorsPerCluster() const {
  uint32_t byte = Boot().U8(boot::kSectorsPerCluster);
  if (byte <= 0x80) return byte;
  uint32_t shift = 256 - byte;
  return shift < 31 ? (1u << shift) : 0;
}

uint32_t VolumeContext::BytesPerCluster() const {
  uint64_t bytes = uint64_t{SectorsPerCluster()} * BytesPerSector();
  return bytes <= kMaxBytesPerCluster ? static_cast<uint32_t>(bytes) : 0;
}

void VolumeContext::DeriveFileRecordSize() {
  auto k = static_cast<int8_t>(Boot().U8(boot::kClustersPerRecord));
  if (k > 0) {
    uint64_t bytes = uint64_t{BytesPerCluster()} * static_cast<uint64_t>(k);
    bytes_per_file_record_ = bytes <= 0xFFFFFFFFu ? static_cast<uint32_t>(bytes) : 0;
  } else {
    bytes_per_file_record_ = 1u << ((-static_cast<int>(k)) % 32);
  }
}

Expected<void> OpenVolumeHandle(VolumeContext& volume, platform::Platform& platform,
                                std::u16string_view device_name) {
  auto device = platform.OpenDevice(device_name);
  if (!device) return device.error();
  volume.SetDevice(std::move(*device));
  volume.SetLabel(platform.DeviceLabel(device_name));
  return {};
}

Expected<void> OpenVolume(VolumeContext& volume, platform::Platform& platform, std::u16string_view device_name) {
  if (auto opened = OpenVolumeHandle(volume, platform, device_name); !opened) return opened;
  if (!ReadVolumeBytes(volume, 0, volume.boot_sector()))
    return Error{volume.label(), u"not an NTFS volume: " + Utf8ToUtf16(source::DescribeContents(*volume.device()))};
  volume.DeriveFileRecordSize();
  return {};
}

Expected<void> CheckBootGeometry(const VolumeContext& volume) {
  const uint32_t sector = volume.BytesPerSector();
  if (sector < 256 || sector > 4096 || (sector & (sector - 1)) != 0)
    return Error{u"bytes per sector (offset 0x0B)", Format("is %u", sector)};
  if (volume.BytesPerCluster() == 0) {
    return Error{u"sectors per cluster (offset 0x0D)",
                 Format("is 0x%02X, giving no usable cluster size", volume.Boot().U8(boot::kSectorsPerCluster))};
  }
  const uint32_t record_bytes = volume.BytesPerFileRecord();
  if (record_bytes < 256 || record_bytes > kMaxFileRecordBytes) {
    return Error{u"clusters per file record (offset 0x40)",
                 Format("is 0x%02X, giving %u-byte file records", volume.Boot().U8(boot::kClustersPerRecord), record_bytes)};
  }
  uint64_t mft_offset = 0;
  const auto size = volume.device() ? volume.device()->Size() : std::nullopt;
  if (!CheckedMul(volume.MftLcn(), volume.BytesPerCluster(), mft_offset) || (size && mft_offset >= *size)) {
    return Error{u"MFT cluster number (offset 0x30)",
                 Format("is %I64u, past the end of the volume", volume.MftLcn())};
  }
  return {};
}

bool ReadVolumeBytes(VolumeContext& volume, uint64_t offset, std::span<uint8_t> out) {
  if (!volume.IsOpen()) return false;
  return volume.device()->ReadAt(offset, out);
}

bool ReadClusters(VolumeContext& volume, Lcn lcn, std::span<uint8_t> out) {
  uint64_t offset = 0;
  if (volume.BytesPerCluster() == 0 || !CheckedMul(lcn.value, volume.BytesPerCluster(), offset)) return false;
  return ReadVolumeBytes(volume, offset, out);
}

}  // namespace velmora
