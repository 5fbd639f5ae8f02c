#include "source/partitions.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/bytes.h"
#include "base/format.h"

namespace velmora::source {

namespace {

constexpr uint64_t kSectorBytes = 0x200;
constexpr char kSectorSuffix = 's';  // "@2048s": an offset in sectors of kSectorBytes
constexpr uint64_t kBootSignatureOffset = 0x1FE;
constexpr uint64_t kNtfsOemOffset = 0x03;
constexpr char kNtfsOem[] = "NTFS    ";
constexpr uint64_t kNtfsBytesPerSector = 0x0B;

// MBR and extended boot record: four 16-byte slots at 0x1BE.
constexpr uint64_t kMbrTableOffset = 0x1BE;
constexpr uint64_t kMbrEntrySize = 0x10;
constexpr uint64_t kMbrEntryType = 0x04;
constexpr uint64_t kMbrEntryFirstLba = 0x08;
constexpr uint64_t kMbrEntrySectors = 0x0C;
constexpr uint8_t kTypeGptProtective = 0xEE;
constexpr uint32_t kFirstLogicalNumber = 5;
constexpr int kMaxLogicalPartitions = 128;  // also ends a looping EBR chain

// GPT header at LBA 1 and its entry array.
constexpr char kGptSignature[] = "EFI PART";
constexpr uint64_t kGptHeaderSize = 0x0C;
constexpr uint64_t kGptEntriesLba = 0x48;
constexpr uint64_t kGptEntryCount = 0x50;
constexpr uint64_t kGptEntrySize = 0x54;
constexpr uint32_t kGptMinHeaderSize = 0x5C;
constexpr uint32_t kGptMaxEntries = 128;
constexpr uint64_t kGptTypeGuidSize = 0x10;
constexpr uint64_t kGptFirstLba = 0x20;
constexpr uint64_t kGptLastLba = 0x28;

constexpr std::array<uint32_t, 2> kSectorSizes = {512, 4096};

bool HasBootSignature(const LeBytes& sector) { return sector.U16(kBootSignatureOffset) == 0xAA55; }

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// An NTFS boot sector at offset. Read through an MBR of 4096-byte sectors
// it must also say 4096 bytes per sector, or the eightfold offsets of a
// 512-byte-sector table could land on another partition's volume.
bool NtfsAt(ByteSource& disk, uint64_t offset, uint32_t sector_size) {
  std::array<uint8_t, kSectorBytes> sector{};
  if (!disk.ReadAt(offset, sector) || !IsNtfsBootSector(sector)) return false;
  return sector_size == kSectorBytes || LeBytes(sector).U16(kNtfsBytesPerSector) == sector_size;
}

// Adds the partition unless it is empty (or its sector count wrapped to 0)
// or its byte range does not fit in 64 bits.
void AddPartition(std::vector<Partition>& out, uint32_t number, uint64_t first_lba, uint64_t sectors,
                  uint32_t sector_size) {
  Partition p{number, 0, 0};
  if (sectors == 0 || !CheckedMul(first_lba, sector_size, p.offset) || !CheckedMul(sectors, sector_size, p.length))
    return;
  out.push_back(p);
}

void ReadLogicalPartitions(ByteSource& disk, uint64_t extended_lba, uint32_t sector_size,
                           std::vector<Partition>& out) {
  uint64_t ebr_lba = extended_lba;
  uint32_t number = kFirstLogicalNumber;
  for (int i = 0; i < kMaxLogicalPartitions; ++i) {
    std::array<uint8_t, kSectorBytes> bytes{};
    uint64_t offset = 0;
    if (!CheckedMul(ebr_lba, sector_size, offset) || !disk.ReadAt(offset, bytes)) return;
    LeBytes ebr(bytes);
    if (!HasBootSignature(ebr)) return;
    // Slot 0 is the logical partition, relative to this EBR; slot 1 links to
    // the next EBR, relative to the start of the extended partition.
    if (ebr.U8(kMbrTableOffset + kMbrEntryType) != 0) {
      AddPartition(out, number++, ebr_lba + ebr.U32(kMbrTableOffset + kMbrEntryFirstLba),
                   ebr.U32(kMbrTableOffset + kMbrEntrySectors), sector_size);
    }
    const uint64_t link = kMbrTableOffset + kMbrEntrySize;
    if (!IsExtendedType(ebr.U8(link + kMbrEntryType))) return;
    ebr_lba = extended_lba + ebr.U32(link + kMbrEntryFirstLba);
  }
}

std::vector<Partition> ReadGpt(ByteSource& disk, uint32_t sector_size) {
  std::vector<Partition> out;
  std::vector<uint8_t> header_bytes(sector_size);
  if (!disk.ReadAt(sector_size, header_bytes)) return out;
  LeBytes header(header_bytes);
  const uint32_t header_size = header.U32(kGptHeaderSize);
  const uint64_t entries_lba = header.U64(kGptEntriesLba);
  const uint32_t entry_size = header.U32(kGptEntrySize);
  const uint32_t count = std::min(header.U32(kGptEntryCount), kGptMaxEntries);
  if (std::memcmp(header_bytes.data(), kGptSignature, 8) != 0 || header_size < kGptMinHeaderSize ||
      header_size > sector_size || entries_lba < 2 || (entry_size != 128 && entry_size != 256 && entry_size != 512))
    return out;
  uint64_t array_offset = 0;
  if (!CheckedMul(entries_lba, sector_size, array_offset)) return out;
  std::vector<uint8_t> array_bytes(uint64_t{count} * entry_size);
  if (!disk.ReadAt(array_offset, array_bytes)) return out;
  LeBytes entries(array_bytes);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = uint64_t{i} * entry_size;
    auto type = entries.Sub(at, kGptTypeGuidSize);
    bool unused = true;
    for (uint8_t b : type) unused = unused && b == 0;
    const uint64_t first = entries.U64(at + kGptFirstLba);
    const uint64_t last = entries.U64(at + kGptLastLba);
    if (unused || last < first) continue;
    AddPartition(out, i + 1, first, last - first + 1, sector_size);
  }
  return out;
}

bool ParseUnsigned(std::string_view digits, unsigned base, uint64_t& value) {
  if (digits.empty()) return false;
  value = 0;
  for (char c : digits) {
    unsigned d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    if (!CheckedMul(value, base, value) || !CheckedAdd(value, d, value)) return false;
  }
  return true;
}

}  // namespace

SourceName ParseSourceName(std::string_view text) {
  SourceName source{std::string(text), SourceName::Select::Automatic, 0};
  const size_t at = text.find_last_of("@#");
  if (at == std::string_view::npos || at == 0) return source;
  std::string_view suffix = text.substr(at + 1);
  uint64_t value = 0;
  if (text[at] == '@') {
    // "@2048s" counts 512-byte sectors, as fdisk and parted print a start.
    const bool sectors = suffix.ends_with(kSectorSuffix);
    if (sectors) suffix.remove_suffix(1);
    const bool hex = suffix.size() > 2 && suffix[0] == '0' && (suffix[1] == 'x' || suffix[1] == 'X');
    if (!ParseUnsigned(hex ? suffix.substr(2) : suffix, hex ? 16 : 10, value)) return source;
    if (sectors && !CheckedMul(value, kSectorBytes, value)) return source;
    source.select = SourceName::Select::Offset;
  } else {
    if (!ParseUnsigned(suffix, 10, value) || value == 0 || value > UINT32_MAX) return source;
    source.select = SourceName::Select::Partition;
  }
  source.path = std::string(text.substr(0, at));
  source.value = value;
  return source;
}

bool IsNtfsBootSector(std::span<const uint8_t> sector) {
  LeBytes bytes(sector);
  auto oem = bytes.Sub(kNtfsOemOffset, 8);
  return !oem.empty() && std::memcmp(oem.data(), kNtfsOem, 8) == 0 && HasBootSignature(bytes);
}

std::vector<Partition> ReadPartitions(ByteSource& disk, uint32_t sector_size) {
  std::vector<Partition> out;
  std::array<uint8_t, kSectorBytes> bytes{};
  if (!disk.ReadAt(0, bytes)) return out;
  LeBytes mbr(bytes);
  if (!HasBootSignature(mbr) || IsNtfsBootSector(bytes)) return out;
  for (uint64_t slot = 0; slot < 4; ++slot) {
    if (mbr.U8(kMbrTableOffset + slot * kMbrEntrySize + kMbrEntryType) == kTypeGptProtective)
      return ReadGpt(disk, sector_size);
  }
  std::optional<uint64_t> extended;
  for (uint32_t slot = 0; slot < 4; ++slot) {
    const uint64_t entry = kMbrTableOffset + slot * kMbrEntrySize;
    const uint8_t type = mbr.U8(entry + kMbrEntryType);
    if (type == 0) continue;
    if (IsExtendedType(type)) {
      if (!extended) extended = mbr.U32(entry + kMbrEntryFirstLba);
      continue;
    }
    AddPartition(out, slot + 1, mbr.U32(entry + kMbrEntryFirstLba), mbr.U32(entry + kMbrEntrySectors), sector_size);
  }
  if (extended) ReadLogicalPartitions(disk, *extended, sector_size, out);
  return out;
}

std::optional<uint64_t> SelectVolume(ByteSource& disk, const SourceName& source) {
  switch (source.select) {
    case SourceName::Select::Offset:
      return source.value;
    case SourceName::Select::Partition: {
      // An MBR does not say its sector size: prefer the reading under which
      // the partition starts with NTFS.
      std::optional<uint64_t> found;
      for (uint32_t sector_size : kSectorSizes) {
        for (const Partition& p : ReadPartitions(disk, sector_size)) {
          if (p.number != source.value) continue;
          if (NtfsAt(disk, p.offset, sector_size)) return p.offset;
          if (!found) found = p.offset;
        }
      }
      return found;
    }
    case SourceName::Select::Automatic:
      if (NtfsAt(disk, 0, kSectorBytes)) return 0;
      for (uint32_t sector_size : kSectorSizes) {
        for (const Partition& p : ReadPartitions(disk, sector_size)) {
          if (NtfsAt(disk, p.offset, sector_size)) return p.offset;
        }
      }
      return 0;
  }
  return std::nullopt;
}

std::string PartitionSummary(ByteSource& disk) {
  for (uint32_t sector_size : kSectorSizes) {
    const std::vector<Partition> partitions = ReadPartitions(disk, sector_size);
    if (partitions.empty()) continue;
    std::string numbers;
    std::string ntfs;
    for (const Partition& p : partitions) {
      numbers += (numbers.empty() ? "" : ", ") + std::to_string(p.number);
      if (NtfsAt(disk, p.offset, sector_size)) ntfs += (ntfs.empty() ? "" : ", ") + std::to_string(p.number);
    }
    const size_t n = partitions.size();
    return std::to_string(n) + (n == 1 ? " partition (" : " partitions (") + numbers + "), " +
           (ntfs.empty() ? std::string("none holds NTFS") : "NTFS on " + ntfs);
  }
  return "no partition table";
}

Expected<std::unique_ptr<ByteSource>> VolumeOnDisk(std::unique_ptr<ByteSource> disk, const SourceName& source,
                                                   std::u16string_view label) {
  std::optional<uint64_t> offset = SelectVolume(*disk, source);
  if (!offset) {
    return Error{std::u16string(label), Utf8ToUtf16("no partition " + std::to_string(source.value) +
                                                    " on this disk: " + PartitionSummary(*disk))};
  }
  if (source.select == SourceName::Select::Offset) {
    const std::optional<uint64_t> size = disk->Size();
    if (size && *offset >= *size) {
      return Error{std::u16string(label), Utf8ToUtf16("offset " + std::to_string(*offset) +
                                                      " lies past the end of the source (" + std::to_string(*size) +
                                                      " bytes)")};
    }
  }
  if (*offset == 0) return std::unique_ptr<ByteSource>(std::move(disk));
  return std::unique_ptr<ByteSource>(std::make_unique<OffsetSource>(std::move(disk), *offset));
}

}  // namespace velmora::source
