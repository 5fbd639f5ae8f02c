// The open volume: its byte source and the geometry its boot sector gives,
// validated once when it is opened.
#pragma once

#include <array>
#include <cstdint>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/bytes.h"
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
inline constexpr uint64_t kTotalSectors = 0x28;          // u64; the volume's sectors less the backup boot sector
inline constexpr uint64_t kMftLcn = 0x30;                // u64, clusters from the volume start
inline constexpr uint64_t kClustersPerRecord = 0x40;     // s8; <= 0: record size is 2^-value bytes
inline constexpr uint64_t kClustersPerIndexBlock = 0x44; // s8 (the log lookup reads these 4 bytes as u32)
inline constexpr uint32_t kSize = 512;
}  // namespace boot

// Geometry bounds: beyond these a boot sector is not a volume this tool can
// read safely (the largest NTFS cluster is 2 MiB; file records are 1 KiB or
// 4 KiB in practice). File records are taken from 256 bytes, room for the
// header, the update sequence array and a few attributes, to 64 KiB: as a
// negative power of two the byte at 0x40 is 0xF8 (-8) to 0xF0 (-16), and
// any other negative byte is refused, never reduced to a plausible size.
inline constexpr uint32_t kMaxBytesPerCluster = 2u << 20;
inline constexpr uint32_t kMinFileRecordBytes = 256;
inline constexpr uint32_t kMaxFileRecordBytes = 64u << 10;
// NTFS protects every 512 bytes of a record, index block or log page with
// one update sequence word, whatever the sector size.
inline constexpr uint32_t kUpdateSequenceStride = 512;

// The boot sector numbers every reader depends on, validated once when the
// volume is opened: only ValidateGeometry makes one, so whoever holds a
// VolumeGeometry may divide and multiply by them without further checks.
class VolumeGeometry {
 public:
  uint32_t BytesPerSector() const { return bytes_per_sector_; }
  // Sectors per cluster; a byte above 0x80 is 2^(256 - byte), as volumes
  // with clusters of 128 KiB and more store it.
  uint32_t SectorsPerCluster() const { return sectors_per_cluster_; }
  uint32_t BytesPerCluster() const { return bytes_per_cluster_; }
  uint32_t BytesPerFileRecord() const { return bytes_per_file_record_; }
  uint64_t MftLcn() const { return mft_lcn_; }
  // The MFT's first byte; it lies within the volume.
  uint64_t MftOffset() const { return mft_offset_; }
  // Bytes one sub-node VCN counts in an index of block_bytes blocks (each
  // index gives its own block size in its $INDEX_ROOT): a cluster when
  // blocks span whole clusters, 512 bytes when they are smaller.
  uint32_t IndexVcnUnit(uint32_t block_bytes) const {
    return block_bytes >= bytes_per_cluster_ ? bytes_per_cluster_ : 512;
  }
  // The boot sector as read, for the few fields read in one place only
  // (all zeros for an extracted MFT, which has none).
  LeBytes Boot() const { return LeBytes(boot_); }
  // The source is an extracted $MFT, not a volume: record N lies at N times
  // the record size, and no cluster of the volume is there to read.
  bool MftOnly() const { return mft_only_; }

 private:
  friend Expected<VolumeGeometry> ValidateGeometry(std::span<const uint8_t, boot::kSize> boot,
                                                   std::optional<uint64_t> volume_bytes);
  friend Expected<VolumeGeometry> ValidateMftFileGeometry(std::span<const uint8_t> first_record,
                                                          std::optional<uint64_t> source_bytes);
  VolumeGeometry() = default;
  bool mft_only_ = false;
  std::array<uint8_t, boot::kSize> boot_{};
  uint32_t bytes_per_sector_ = 0;
  uint32_t sectors_per_cluster_ = 0;
  uint32_t bytes_per_cluster_ = 0;
  uint32_t bytes_per_file_record_ = 0;
  uint64_t mft_lcn_ = 0;
  uint64_t mft_offset_ = 0;
};

// The geometry a boot sector gives a volume of volume_bytes (nullopt: size
// unknown); else which field is out of range and what it holds: bytes per
// sector a power of two from 256 to 4096, a cluster of at most
// kMaxBytesPerCluster, file records of kMinFileRecordBytes to
// kMaxFileRecordBytes, and the MFT starting inside the volume.
Expected<VolumeGeometry> ValidateGeometry(std::span<const uint8_t, boot::kSize> boot,
                                          std::optional<uint64_t> volume_bytes);

// An extracted $MFT (a triage collection's copy of the file, as Sleuth
// Kit's icat writes it) has no boot sector: the geometry comes from its first
// record, which must be record 0 with the FILE signature and a sane header.
// The record size is that header's allocated size, 1024 or 4096 bytes (the
// sizes NTFS writes); the cluster size is a nominal 4096, since no cluster
// is read. A source of fewer bytes than one record is refused.
inline constexpr uint32_t kMftFileClusterBytes = 4096;
Expected<VolumeGeometry> ValidateMftFileGeometry(std::span<const uint8_t> first_record,
                                                 std::optional<uint64_t> source_bytes);

// A volume whose boot sector claims more bytes than its source holds: a
// truncated acquisition, or one part of a split set opened alone. Reads
// inside the source still work; the first read past its end fails.
struct Truncation {
  uint64_t volume_bytes = 0;  // by the boot sector, its backup sector included
  uint64_t source_bytes = 0;  // from the volume's first byte to the source's end
};

// The truncation of a volume of this boot sector in a source of
// source_bytes; nullopt when the source holds it all, its size is unknown,
// or the boot sector gives no valid sector size or a count past 64 bits
// (damage, which the geometry check or the readers meet on their own).
std::optional<Truncation> TruncationOf(const LeBytes& boot, std::optional<uint64_t> source_bytes);

class VolumeContext {
 public:
  VolumeContext() = default;
  VolumeContext(const VolumeContext&) = delete;
  VolumeContext& operator=(const VolumeContext&) = delete;

  // A source was opened (its geometry may still have been refused).
  bool IsOpen() const { return device_ != nullptr; }
  // The boot sector was read and its geometry validated: the readers work.
  bool HasGeometry() const { return geometry_.has_value(); }
  source::ByteSource* device() const { return device_.get(); }
  // Only when HasGeometry().
  const VolumeGeometry& geometry() const { return *geometry_; }

  uint32_t BytesPerCluster() const { return geometry().BytesPerCluster(); }
  uint32_t BytesPerFileRecord() const { return geometry().BytesPerFileRecord(); }
  LeBytes Boot() const { return geometry().Boot(); }

  // The source is an extracted $MFT (see VolumeGeometry::MftOnly).
  bool MftOnly() const { return HasGeometry() && geometry().MftOnly(); }
  // A reader asked for the volume's clusters, which an extracted $MFT does
  // not hold: told once, after the reports.
  bool ClusterReadRefused() const { return cluster_read_refused_; }

  // Set when the source was found shorter than its boot sector says, even
  // when the geometry was then refused.
  const std::optional<Truncation>& truncation() const { return truncation_; }

  // The source as the user named it ("disk.img#2", "/dev/sdb1"), for messages.
  const std::u16string& label() const { return label_; }

  const UpcaseTable& upcase() const { return upcase_; }
  void SetUpcase(UpcaseTable table) { upcase_ = std::move(table); }

  // The MFT's own run list once found from record 0 (see MftRunList); null before.
  const RunList* mft_runs() const { return mft_runs_ ? &*mft_runs_ : nullptr; }

 private:
  friend Expected<void> OpenVolumeSource(VolumeContext& volume, std::unique_ptr<source::ByteSource> device,
                                         std::u16string label);
  friend Expected<const RunList*> CachedMftRuns(VolumeContext& volume);

  std::unique_ptr<source::ByteSource> device_;
  std::optional<VolumeGeometry> geometry_;
  UpcaseTable upcase_;
  std::optional<RunList> mft_runs_;
  std::optional<Truncation> truncation_;
  std::u16string label_;
  // Reads come from several threads (base/lanes.h); unless the source
  // says it takes them at once, they reach it one at a time (a
  // container's reader keeps state).
  mutable std::mutex read_lock_;
  bool concurrent_reads_ = false;
  mutable std::atomic<bool> cluster_read_refused_ = false;
  friend bool ReadVolumeBytes(const VolumeContext& volume, uint64_t offset, std::span<uint8_t> out);
  friend bool ReadMftFileBytes(const VolumeContext& volume, uint64_t offset, std::span<uint8_t> out);
};

// Opens the device read-only, reads the boot sector and validates its
// geometry; on failure, why, naming the source as the user named it.
Expected<void> OpenVolume(VolumeContext& volume, platform::Platform& platform, std::u16string_view device_name);
// The same over a source already open (a partition, an image in memory).
// The source is kept even when its geometry is refused, so that a read
// failure it recorded can still be told.
Expected<void> OpenVolumeSource(VolumeContext& volume, std::unique_ptr<source::ByteSource> device,
                                std::u16string label);

// Why a source that was to be an NTFS volume is not one, from what it
// holds (another file system, a partition table, ...); nullopt when its
// first sector is an NTFS boot sector.
std::optional<Error> NotAnNtfsVolume(const VolumeContext& volume);

// Bytes of the volume; false when they cannot be read, and always for an
// extracted $MFT (records are read by ReadMftFileBytes instead).
bool ReadVolumeBytes(const VolumeContext& volume, uint64_t offset, std::span<uint8_t> out);
// Bytes of an extracted $MFT, the only thing such a source holds.
bool ReadMftFileBytes(const VolumeContext& volume, uint64_t offset, std::span<uint8_t> out);

}  // namespace velmora
