// Builds small NTFS volumes in memory, byte by byte, for tests that need
// exact control: damaged records, index cycles, attribute lists.
//
// Geometry: 512-byte sectors and clusters, 1024-byte file records, the MFT
// at cluster 16, $UpCase (record 10) an identity table with ASCII a-z
// upper-cased. Records are written with their update sequence applied.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v);
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v);
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v);

// One file record under construction.
class RecordBuilder {
 public:
  explicit RecordBuilder(uint64_t number, uint32_t size = 1024, uint16_t flags = 0x0001);
  RecordBuilder& Resident(uint32_t type, uint16_t id, const std::u16string& name, const std::vector<uint8_t>& value);
  RecordBuilder& NonResident(uint32_t type, uint16_t id, const std::u16string& name,
                             const std::vector<uint8_t>& mapping_pairs, uint64_t start_vcn, uint64_t last_vcn,
                             uint64_t real_size);
  RecordBuilder& BaseReference(uint64_t reference);
  // The record bytes with end marker, used size and update sequence applied.
  std::vector<uint8_t> Build() const;

 private:
  uint64_t number_;
  uint32_t size_;
  uint16_t flags_;
  uint64_t base_ = 0;
  std::vector<std::vector<uint8_t>> attributes_;
};

// A $FILE_NAME value.
std::vector<uint8_t> FileNameValue(uint64_t parent, const std::u16string& name, uint8_t name_space = 1,
                                   uint32_t flags = 0, uint64_t access_time = 0);
// An index entry: data (8 bytes: a file reference in $I30), key, flags and sub-node VCN.
std::vector<uint8_t> IndexEntry(uint64_t data, const std::vector<uint8_t>& key, bool last = false,
                                std::optional<uint64_t> sub_node = std::nullopt);
// An $INDEX_ROOT value holding the given entries (large: lower nodes exist).
std::vector<uint8_t> IndexRootValue(const std::vector<std::vector<uint8_t>>& entries, bool large,
                                    uint32_t block_bytes = 512);
// An INDX block of block_bytes with the entries, update sequence applied.
std::vector<uint8_t> IndexBlock(uint64_t vcn, const std::vector<std::vector<uint8_t>>& entries,
                                uint32_t block_bytes = 512);
// Mapping pairs of one run of count clusters at lcn (delta from 0).
std::vector<uint8_t> SingleRun(uint64_t lcn, uint64_t count);

class SyntheticVolume {
 public:
  static constexpr uint32_t kCluster = 512;
  static constexpr uint64_t kMftLcn = 16;
  static constexpr uint64_t kMftRecords = 64;
  static constexpr uint64_t kUpcaseLcn = 200;  // 256 clusters
  static constexpr uint64_t kFreeLcn = 460;    // first cluster for test data
  static constexpr uint64_t kClusters = 2048;

  SyntheticVolume();
  // Replaces a file record (number below kMftRecords).
  void SetRecord(uint64_t number, const std::vector<uint8_t>& record);
  // Writes bytes at a cluster.
  void SetClusters(uint64_t lcn, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t>& image() { return image_; }
  // A root directory whose $I30 root holds these (name, record) entries, in the order given.
  void SetRootEntries(const std::vector<std::pair<std::u16string, uint64_t>>& entries);

 private:
  std::vector<uint8_t> image_;
};

std::vector<uint8_t> Utf16Bytes(const std::u16string& text);

}  // namespace velmora::testing
