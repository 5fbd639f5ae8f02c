#include "source/contents.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "source/evidence.h"
#include "source/partitions.h"

namespace velmora::source {

namespace {

// A file system recognised by a few bytes at a fixed offset from its start.
struct Signature {
  uint64_t offset;
  std::string_view magic;
  const char* name;
};

// Boot sector OEM ids and file system labels (FAT keeps its type name at
// 0x36, FAT32 at 0x52), superblock magic numbers (ext at 0x438, XFS at 0,
// Btrfs at 0x10040), the ISO 9660 volume descriptor and the LUKS header.
// The headers of disk image containers are looked for before these.
constexpr std::array<Signature, 10> kSignatures = {{
    {0x03, "EXFAT   ", "an exFAT file system"},
    {0x52, "FAT32   ", "a FAT32 file system"},
    {0x36, "FAT16   ", "a FAT16 file system"},
    {0x36, "FAT12   ", "a FAT12 file system"},
    {0x438, std::string_view("\x53\xEF", 2), "an ext2/ext3/ext4 file system"},
    {0x00, "XFSB", "an XFS file system"},
    {0x10040, "_BHRfS_M", "a Btrfs file system"},
    {0x8001, "CD001", "an ISO 9660 (CD/DVD) file system"},
    {0x00, std::string_view("LUKS\xBA\xBE", 6), "a LUKS encrypted volume"},
    {0x03, "NTFS    ", kNtfsBootSectorContents.data()},
}};

constexpr uint64_t kSectorBytes = 512;

bool Matches(ByteSource& source, const Signature& signature) {
  std::vector<uint8_t> bytes(signature.magic.size());
  return source.ReadAt(signature.offset, bytes) && std::memcmp(bytes.data(), signature.magic.data(), bytes.size()) == 0;
}

}  // namespace

std::string DescribeContents(ByteSource& source) {
  std::array<uint8_t, kSectorBytes> sector{};
  if (!source.ReadAt(0, sector)) {
    const auto size = source.Size();
    if (size && *size < kSectorBytes) return "only " + std::to_string(*size) + " bytes, less than one boot sector";
    return "a first sector that cannot be read";
  }
  for (const ContainerSignature& container : kContainerSignatures) {
    if (container.description && Matches(source, {0, container.magic, container.description})) {
      return container.description;
    }
  }
  for (const Signature& signature : kSignatures) {
    if (Matches(source, signature)) return signature.name;
  }
  const std::string partitions = PartitionSummary(source);
  if (partitions != "no partition table") return std::string(kPartitionTableContents) + ": " + partitions;
  if (std::all_of(sector.begin(), sector.end(), [](uint8_t b) { return b == 0; }))
    return "only zeros in its first sector";
  return "no NTFS boot sector, nor any file system or partition table this tool recognises";
}

}  // namespace velmora::source
