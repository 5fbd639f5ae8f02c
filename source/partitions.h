// Finding an NTFS volume inside a whole-disk image.
//
// A source named to -m may be the volume itself or a disk that holds it
// behind an MBR or GPT partition table. "disk.img@OFFSET" takes the volume
// at a byte offset (decimal, or hexadecimal with 0x; "@2048s" counts
// 512-byte sectors, as fdisk and parted print them), "disk.img#N" the Nth
// partition in the numbering Linux gives (MBR primaries 1 to 4 by slot,
// logical partitions from 5; GPT entries by index). Without either, a disk
// whose first sector is not an NTFS boot sector yields its first partition
// that starts with one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "source/byte_source.h"
#include "base/error.h"

namespace velmora::source {

struct SourceName {
  enum class Select { Automatic, Offset, Partition };
  std::string path;
  Select select = Select::Automatic;
  uint64_t value = 0;  // byte offset (sectors already multiplied out), or 1-based partition number
};

// Splits "PATH@OFFSET" or "PATH#N" at the last '@' or '#' when what follows
// it is a valid offset or partition number; otherwise the whole text is the
// path. (The caller tries the whole text as a file name first.)
SourceName ParseSourceName(std::string_view text);

// A 512-byte sector that opens an NTFS volume: OEM id "NTFS    " and 0x55AA.
bool IsNtfsBootSector(std::span<const uint8_t> sector);

struct Partition {
  uint32_t number = 0;
  uint64_t offset = 0;  // bytes from the start of the disk
  uint64_t length = 0;  // bytes
};

// The partitions of the MBR or GPT at the start of a disk, counted in
// sectors of sector_size bytes; empty when there is no table.
std::vector<Partition> ReadPartitions(ByteSource& disk, uint32_t sector_size);

// The byte offset of the volume a source name selects on the disk; nullopt
// when the named partition does not exist. Automatic selection falls back
// to 0 when no partition holds NTFS, leaving the verdict to the volume check.
std::optional<uint64_t> SelectVolume(ByteSource& disk, const SourceName& source);

// What the partition table of a disk holds, for messages: "2 partitions
// (1, 2), NTFS on 2", "no partition table".
std::string PartitionSummary(ByteSource& disk);

// The volume a source name selects on an opened disk or image: the source
// itself when it starts there, else a view from the selected offset. Fails,
// naming label (the source as the user typed it), when the named partition
// does not exist or the offset lies past the end of the disk.
Expected<std::unique_ptr<ByteSource>> VolumeOnDisk(std::unique_ptr<ByteSource> disk, const SourceName& source,
                                                   std::u16string_view label);

}  // namespace velmora::source
