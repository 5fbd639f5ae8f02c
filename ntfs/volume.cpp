#include "ntfs/volume.h"

#include <algorithm>

#include "ntfs/file_record.h"
#include "source/contents.h"
#include "base/format.h"

namespace velmora {

namespace {

// A power of two from 256 to 4096.
bool IsSectorSize(uint32_t bytes) { return bytes >= 256 && bytes <= 4096 && (bytes & (bytes - 1)) == 0; }

// 0 when the byte gives no power of two a cluster could hold.
uint32_t DecodeSectorsPerCluster(uint8_t byte) {
  if (byte <= 0x80) return byte;
  const uint32_t shift = 256 - byte;
  return shift < 31 ? (1u << shift) : 0;
}

// Clusters per file record when positive, else 2^-value bytes; 0 when that
// power does not fit 64 bits.
uint64_t DecodeFileRecordBytes(int8_t per_record, uint32_t cluster_bytes) {
  if (per_record > 0) return uint64_t{cluster_bytes} * static_cast<uint64_t>(per_record);
  const unsigned shift = static_cast<unsigned>(-int{per_record});
  return shift < 64 ? uint64_t{1} << shift : 0;
}

}  // namespace

Expected<VolumeGeometry> ValidateGeometry(std::span<const uint8_t, boot::kSize> boot_bytes,
                                          std::optional<uint64_t> volume_bytes) {
  const LeBytes boot(boot_bytes);
  VolumeGeometry g;
  std::copy(boot_bytes.begin(), boot_bytes.end(), g.boot_.begin());

  g.bytes_per_sector_ = boot.U16(boot::kBytesPerSector);
  const uint32_t sector = g.bytes_per_sector_;
  if (!IsSectorSize(sector)) return Error{u"bytes per sector (offset 0x0B)", Format("is %u", sector)};

  g.sectors_per_cluster_ = DecodeSectorsPerCluster(boot.U8(boot::kSectorsPerCluster));
  const uint64_t cluster = uint64_t{g.sectors_per_cluster_} * sector;
  if (cluster == 0 || cluster > kMaxBytesPerCluster) {
    return Error{u"sectors per cluster (offset 0x0D)",
                 Format("is 0x%02X, giving no usable cluster size", boot.U8(boot::kSectorsPerCluster))};
  }
  g.bytes_per_cluster_ = static_cast<uint32_t>(cluster);

  const uint8_t per_record = boot.U8(boot::kClustersPerRecord);
  const auto signed_per_record = static_cast<int8_t>(per_record);
  const uint64_t record_bytes = DecodeFileRecordBytes(signed_per_record, g.bytes_per_cluster_);
  if (record_bytes < kMinFileRecordBytes || record_bytes > kMaxFileRecordBytes) {
    const std::u16string size = signed_per_record < 0 ? Format("2^%u", -int{signed_per_record})
                                                      : Format("%I64u", record_bytes);
    return Error{u"clusters per file record (offset 0x40)",
                 Format("is 0x%02X, giving %s-byte file records", per_record, size)};
  }
  g.bytes_per_file_record_ = static_cast<uint32_t>(record_bytes);

  g.mft_lcn_ = boot.U64(boot::kMftLcn);
  if (!CheckedMul(g.mft_lcn_, g.bytes_per_cluster_, g.mft_offset_) || (volume_bytes && g.mft_offset_ >= *volume_bytes)) {
    return Error{u"MFT cluster number (offset 0x30)", Format("is %I64u, past the end of the volume", g.mft_lcn_)};
  }
  return g;
}

Expected<VolumeGeometry> ValidateMftFileGeometry(std::span<const uint8_t> first_record,
                                                 std::optional<uint64_t> source_bytes) {
  const LeBytes record(first_record);
  if (record.U32(record::kSignature) != record::kFileSignature)
    return Error{u"first record", u"no FILE signature at offset 0"};
  const uint32_t allocated = record.U32(record::kAllocSize);
  if (allocated != 1024 && allocated != 4096)
    return Error{u"first record", Format("allocated size (offset 0x1C) is %u, not 1024 or 4096", allocated)};
  // One update sequence word per 512 bytes, plus the sequence number itself,
  // in an array past the fixed part of the header.
  const uint32_t words = record.U16(record::kSizeOfUS);
  const uint32_t array = record.U16(record::kOffsetOfUS);
  if (words != allocated / kUpdateSequenceStride + 1 || array < 0x28 || array + 2 * words > allocated)
    return Error{u"first record", Format("update sequence array of %u words at 0x%X does not fit a %u-byte record",
                                         words, array, allocated)};
  const uint32_t first_attribute = record.U16(record::kOffsetOfAttr);
  const uint32_t used = record.U32(record::kFirstFreeByte);
  if (first_attribute < array + 2 * words || first_attribute >= allocated || used > allocated || used < first_attribute)
    return Error{u"first record", Format("attributes at 0x%X and %u bytes in use do not fit a %u-byte record",
                                         first_attribute, used, allocated)};
  if (source_bytes && *source_bytes < allocated)
    return Error{u"first record", Format("the source holds %I64u bytes, less than one %u-byte record", *source_bytes,
                                         allocated)};
  VolumeGeometry g;
  g.mft_only_ = true;
  g.bytes_per_sector_ = 512;
  g.sectors_per_cluster_ = kMftFileClusterBytes / 512;
  g.bytes_per_cluster_ = kMftFileClusterBytes;
  g.bytes_per_file_record_ = allocated;
  return g;
}

std::optional<Truncation> TruncationOf(const LeBytes& boot, std::optional<uint64_t> source_bytes) {
  const uint32_t sector = boot.U16(boot::kBytesPerSector);
  if (!source_bytes || !IsSectorSize(sector)) return std::nullopt;
  // NTFS counts every sector of its partition but the last, which holds
  // the backup boot sector: a whole image is one sector longer than the count.
  uint64_t sectors = 0;
  uint64_t volume_bytes = 0;
  if (!CheckedAdd(boot.U64(boot::kTotalSectors), 1, sectors) || !CheckedMul(sectors, sector, volume_bytes))
    return std::nullopt;
  if (volume_bytes <= *source_bytes) return std::nullopt;
  return Truncation{volume_bytes, *source_bytes};
}

std::optional<Error> NotAnNtfsVolume(const VolumeContext& volume) {
  const std::string contents = source::DescribeContents(*volume.device());
  if (contents == source::kNtfsBootSectorContents) return std::nullopt;
  std::string advice;
  if (contents.starts_with(source::kPartitionTableContents))
    advice = ": name a partition with SOURCE#N, or let the first NTFS partition be picked";
  return Error{volume.label(), Utf8ToUtf16("not an NTFS volume: it holds " + contents + advice)};
}

Expected<void> OpenVolumeSource(VolumeContext& volume, std::unique_ptr<source::ByteSource> device,
                                std::u16string label) {
  volume.device_ = std::move(device);
  volume.concurrent_reads_ = volume.device_->ConcurrentReads();
  volume.geometry_.reset();
  volume.mft_runs_.reset();
  volume.truncation_.reset();
  volume.label_ = std::move(label);
  std::array<uint8_t, boot::kSize> boot{};
  if (!ReadVolumeBytes(volume, 0, boot))
    return Error{volume.label(), u"not an NTFS volume: " + Utf8ToUtf16(source::DescribeContents(*volume.device()))};
  const std::optional<uint64_t> source_bytes = volume.device()->Size();
  // A source that starts with a file record and not a boot sector is an
  // extracted $MFT.
  if (LeBytes(boot).U32(record::kSignature) == record::kFileSignature) {
    auto mft = ValidateMftFileGeometry(boot, source_bytes);
    if (!mft) return Error{volume.label(), u"an extracted MFT whose first record cannot be used: " + mft.error().Line()};
    volume.geometry_ = std::move(*mft);
    return {};
  }
  auto geometry = ValidateGeometry(boot, source_bytes);
  if (!geometry) {
    if (auto not_ntfs = NotAnNtfsVolume(volume)) return *not_ntfs;
    // A first part opened alone often fails here (its MFT lies in a later
    // part): the truncation is the reason worth telling.
    volume.truncation_ = TruncationOf(LeBytes(boot), source_bytes);
    return Error{volume.label(), u"NTFS boot sector with invalid geometry: " + geometry.error().Line()};
  }
  volume.truncation_ = TruncationOf(LeBytes(boot), source_bytes);
  volume.geometry_ = std::move(*geometry);
  return {};
}

Expected<void> OpenVolume(VolumeContext& volume, platform::Platform& platform, std::u16string_view device_name) {
  auto device = platform.OpenDevice(device_name);
  if (!device) return device.error();
  return OpenVolumeSource(volume, std::move(*device), platform.DeviceLabel(device_name));
}

bool ReadVolumeBytes(const VolumeContext& volume, uint64_t offset, std::span<uint8_t> out) {
  if (!volume.IsOpen()) return false;
  if (volume.MftOnly()) {
    volume.cluster_read_refused_ = true;
    return false;
  }
  if (volume.concurrent_reads_) return volume.device()->ReadAt(offset, out);
  std::lock_guard<std::mutex> hold(volume.read_lock_);
  return volume.device()->ReadAt(offset, out);
}

bool ReadMftFileBytes(const VolumeContext& volume, uint64_t offset, std::span<uint8_t> out) {
  if (!volume.IsOpen()) return false;
  if (volume.concurrent_reads_) return volume.device()->ReadAt(offset, out);
  std::lock_guard<std::mutex> hold(volume.read_lock_);
  return volume.device()->ReadAt(offset, out);
}

}  // namespace velmora
