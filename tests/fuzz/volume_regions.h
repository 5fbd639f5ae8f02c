// Where a real volume keeps the metadata a hostile image would damage: the
// boot sector fields, file records, an index block, the first $SDS entry
// and the log file's restart page, as the device offsets of their bytes.
// Found through the reader itself on the sound image, before any damage.
// Shared by the fuzz targets, their seed writer and the damaged-volume
// campaign; header-only so the test suite and the fuzz build both take it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ntfs/data_runs.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/lookup.h"
#include "ntfs/path.h"
#include "ntfs/upcase.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"

namespace velmora::fuzz {

// One structure of the volume: the device offset of each of its bytes, in
// structure order (a record or block may lie split across two runs).
struct Region {
  std::string name;
  std::vector<uint64_t> offsets;
};

// The boot sector fields the reader uses: bytes per sector, sectors per
// cluster, the MFT's LCN, clusters per record and per index block (the log
// lookup reads that field as four bytes).
inline Region BootFieldRegion() {
  Region region{"boot", {}};
  for (uint64_t at = 0x0B; at <= 0x0D; ++at) region.offsets.push_back(at);
  for (uint64_t at = 0x30; at <= 0x37; ++at) region.offsets.push_back(at);
  region.offsets.push_back(0x40);
  for (uint64_t at = 0x44; at <= 0x47; ++at) region.offsets.push_back(at);
  return region;
}

// Device offsets of value bytes [offset, offset + length) through runs;
// empty when any of them lies in a hole or outside the runs.
inline std::vector<uint64_t> MapValueBytes(const RunList& runs, uint32_t cluster, uint64_t offset, uint64_t length) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < length; ++i) {
    const std::optional<Lcn> lcn = runs.LcnOf(Vcn((offset + i) / cluster));
    if (!lcn) return {};
    out.push_back(lcn->value * cluster + (offset + i) % cluster);
  }
  return out;
}

// Opens a sound image for locating its structures.
class VolumeMap {
 public:
  explicit VolumeMap(std::span<const uint8_t> image) {
    ok_ = OpenVolumeSource(volume_, std::make_unique<source::MemorySource>(image), u"image") && CheckNtfsVolume(volume_) && ReadFileRecord(volume_, RecordNumber(record::kDirectRecords));
  }
  bool ok() const { return ok_; }
  VolumeContext& volume() { return volume_; }
  uint32_t cluster() const { return volume_.BytesPerCluster(); }

  // The bytes of file record number.
  Region Record(uint64_t number, std::string name) {
    Region region{std::move(name), {}};
    const uint64_t size = volume_.BytesPerFileRecord();
    if (number < record::kDirectRecords) {
      const uint64_t start = volume_.geometry().MftOffset() + number * size;
      for (uint64_t i = 0; i < size; ++i) region.offsets.push_back(start + i);
    } else if (volume_.mft_runs()) {
      region.offsets = MapValueBytes(*volume_.mft_runs(), cluster(), number * size, size);
    }
    return region;
  }

  // The record number of a directory entry below the root, 0 when absent.
  uint64_t Child(std::u16string_view name, uint64_t directory = kRootReference.value) {
    return LookupChild(name, volume_, FileReference(directory)).Number();
  }

  // Bytes [offset, offset + length) of the first attribute of the type and name.
  Region Value(uint64_t number, AttrType type, const CountedName* name, uint64_t offset, uint64_t length,
               std::string region_name) {
    Region region{std::move(region_name), {}};
    auto record = ReadFileRecord(volume_, RecordNumber(number));
    if (!record) return region;
    auto attribute = FindFileAttribute(volume_, *record, type, name);
    if (!attribute || !attribute->NonResident()) return region;
    RunList runs;
    runs.AppendExtent(*attribute);
    region.offsets = MapValueBytes(runs, cluster(), offset, length);
    return region;
  }

  // The first INDX block of a directory's $I30 allocation.
  Region FirstIndexBlock(uint64_t directory) {
    auto record = ReadFileRecord(volume_, RecordNumber(directory));
    if (!record) return {};
    auto root = FindFileAttribute(volume_, *record, AttrType::kIndexRoot, &kI30Name);
    if (!root || root->NonResident()) return {};
    const uint32_t block = LeBytes(root->ResidentValue()).U32(index_root::kBytesPerBlock);
    if (block == 0 || block > kMaxIndexBlockBytes) return {};
    return Value(directory, AttrType::kIndexAllocation, &kI30Name, 0, block, "index block");
  }

  // The first entry of $Secure:$SDS, its header and descriptor.
  Region FirstSdsEntry() {
    static constexpr CountedName kSds{u"$SDS"};
    Region header = Value(kSecureReference.value, AttrType::kData, &kSds, 0, 0x14, "$SDS entry");
    if (header.offsets.empty()) return header;
    uint8_t length_bytes[4] = {};
    for (int i = 0; i < 4; ++i) ReadVolumeBytes(volume_, header.offsets[0x10 + i], std::span<uint8_t>(length_bytes + i, 1));
    const uint32_t length = LeBytes(length_bytes).U32(0);
    if (length < 0x14 || length > 0x10000) return header;
    return Value(kSecureReference.value, AttrType::kData, &kSds, 0, length, "$SDS entry");
  }

  // The log file's restart page that -n reads (the second, at 0x1000).
  Region RestartPage() {
    return Value(kLogFileReference.value, AttrType::kData, nullptr, 0x1000, 0x1000, "restart page");
  }

 private:
  VolumeContext volume_;
  bool ok_ = false;
};

// The structures the campaign and the whole-program fuzzer damage.
inline std::vector<Region> MetadataRegions(std::span<const uint8_t> image, uint64_t* directory = nullptr) {
  std::vector<Region> regions;
  regions.push_back(BootFieldRegion());
  VolumeMap map(image);
  if (!map.ok()) return regions;
  const uint64_t bigdir = map.Child(u"bigdir");
  if (directory) *directory = bigdir;
  regions.push_back(map.Record(0, "record 0"));
  regions.push_back(map.Record(5, "record 5"));
  regions.push_back(map.Record(9, "record 9"));
  regions.push_back(map.Record(10, "record 10"));
  if (bigdir != 0) {
    regions.push_back(map.Record(bigdir, "directory record"));
    regions.push_back(map.FirstIndexBlock(bigdir));
  }
  regions.push_back(map.FirstSdsEntry());
  regions.push_back(map.RestartPage());
  std::erase_if(regions, [](const Region& r) { return r.offsets.empty(); });
  return regions;
}

}  // namespace velmora::fuzz
