#include "ntfs/volume.h"

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

bool OpenVolumeHandle(VolumeContext& volume, platform::Platform& platform, std::u16string_view device_name) {
  auto device = platform.OpenDevice(device_name);
  if (!device) return false;
  volume.SetDevice(std::move(device));
  return true;
}

bool OpenVolume(VolumeContext& volume, platform::Platform& platform, std::u16string_view device_name) {
  if (!OpenVolumeHandle(volume, platform, device_name)) return false;
  if (!ReadVolumeBytes(volume, 0, volume.boot_sector())) return false;
  volume.DeriveFileRecordSize();
  return true;
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
