// Builds NTFS structures in memory, byte by byte, for tests that need exact
// control: damaged records, index cycles, attribute lists, log pages.
// Attributes, records, index nodes and runs are encoded here once; two
// volume layouts are assembled from them:
//
//  SyntheticVolume  512-byte sectors and clusters, the MFT at cluster 16
//                   with its own $MFT record, $UpCase (record 10) an identity
//                   table with ASCII a-z upper-cased, and a root directory:
//                   enough to resolve paths.
//  RecordVolume     4 KiB clusters and the first 24 records only, read
//                   straight from the MFT's first run: for reports called
//                   with a file reference, never through a path.
//
// Records and index blocks are written with their update sequence applied.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmora::testing {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v);
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v);
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v);

std::vector<uint8_t> Utf16Bytes(const std::u16string& text);
// Pseudo-random bytes from a seed: a read from the wrong place shows.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed);

// Applies an update sequence to a protected block in place: the array at
// `array` of (size / 512 + 1) words, usn in word 0, the last word of each
// 512-byte stride saved into the array and replaced by usn.
void Protect(std::span<uint8_t> block, size_t array, uint16_t usn);

// A resident attribute record: the name behind the 0x18-byte header, the
// value behind the name, each 8-aligned.
std::vector<uint8_t> ResidentAttribute(uint32_t type, uint16_t id, const std::u16string& name,
                                       const std::vector<uint8_t>& value);
// A non-resident attribute record holding mapping_pairs as given; a
// terminator byte always follows them.
std::vector<uint8_t> NonResidentAttribute(uint32_t type, uint16_t id, const std::u16string& name,
                                          const std::vector<uint8_t>& mapping_pairs, uint64_t start_vcn,
                                          uint64_t last_vcn, uint64_t allocated, uint64_t real_size);
// The same, unnamed: the value right behind the header.
std::vector<uint8_t> ResidentAttribute(uint32_t type, const std::vector<uint8_t>& value, uint16_t id = 0);
// An unnamed non-resident attribute record whose mapping pairs are empty (a
// lone terminator): every read of its value fails.
std::vector<uint8_t> NonResidentAttribute(uint32_t type, uint64_t real_size, uint16_t id = 0);

// One file record under construction.
class RecordBuilder {
 public:
  explicit RecordBuilder(uint64_t number, uint32_t size = 1024, uint16_t flags = 0x0001);
  RecordBuilder& Resident(uint32_t type, uint16_t id, const std::u16string& name, const std::vector<uint8_t>& value);
  // allocated is counted in 512-byte clusters, SyntheticVolume's.
  RecordBuilder& NonResident(uint32_t type, uint16_t id, const std::u16string& name,
                             const std::vector<uint8_t>& mapping_pairs, uint64_t start_vcn, uint64_t last_vcn,
                             uint64_t real_size);
  // The bytes of an attribute record as they are (for damaged or unusual ones).
  RecordBuilder& Attribute(std::vector<uint8_t> bytes);
  RecordBuilder& BaseReference(uint64_t reference);
  // Whether every attribute fits in the record with its end marker.
  bool Fits() const;
  // The record bytes with end marker, used size and update sequence applied.
  // Attributes that do not fit are left out: fuzz targets hand the builder
  // values of any size.
  std::vector<uint8_t> Build() const;

 private:
  size_t FirstAttribute() const;

  uint64_t number_;
  uint32_t size_;
  uint16_t flags_;
  uint64_t base_ = 0;
  std::vector<std::vector<uint8_t>> attributes_;
};

// A built record with `slack` written at its used size (what an attribute
// that shrank or went leaves behind), its update sequence applied again.
std::vector<uint8_t> WithRecordSlack(std::vector<uint8_t> record, const std::vector<uint8_t>& slack);

// A $FILE_NAME value.
std::vector<uint8_t> FileNameValue(uint64_t parent, const std::u16string& name, uint8_t name_space = 1,
                                   uint32_t flags = 0, uint64_t access_time = 0);
// An $ATTRIBUTE_LIST entry naming an attribute of `type` starting at vcn in
// `record` (a file reference, sequence included).
std::vector<uint8_t> ListEntry(uint32_t type, uint64_t record, uint16_t instance, uint64_t vcn = 0,
                               const std::u16string& name = u"");
// An index entry: data (8 bytes: a file reference in $I30), key, flags and sub-node VCN.
std::vector<uint8_t> IndexEntry(uint64_t data, const std::vector<uint8_t>& key, bool last = false,
                                std::optional<uint64_t> sub_node = std::nullopt);
// An $INDEX_ROOT value holding the given entries (large: lower nodes exist).
std::vector<uint8_t> IndexRootValue(const std::vector<std::vector<uint8_t>>& entries, bool large,
                                    uint32_t block_bytes = 512);
// An INDX block of block_bytes with the entries, update sequence applied.
std::vector<uint8_t> IndexBlock(uint64_t vcn, const std::vector<std::vector<uint8_t>>& entries,
                                uint32_t block_bytes = 512);

// Mapping pairs of one run of count clusters at lcn, in fixed 2-byte length
// and 3-byte offset fields.
std::vector<uint8_t> SingleRun(uint64_t lcn, uint64_t count);
// One run of a non-resident value: clusters at lcn, or a hole.
struct RunSpec {
  std::optional<uint64_t> lcn;
  uint64_t length = 0;
};
// Mapping pairs for runs in the smallest fields, as NTFS encodes them.
std::vector<uint8_t> EncodeRuns(const std::vector<RunSpec>& runs);

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

class RecordVolume {
 public:
  static constexpr uint32_t kSectorBytes = 512;
  static constexpr uint32_t kClusterBytes = 4096;
  static constexpr uint32_t kRecordBytes = 1024;
  static constexpr uint64_t kMftLcn = 4;
  static constexpr uint64_t kRecords = 24;
  // The first cluster free for values (behind the 24 records).
  static constexpr uint64_t kFirstDataLcn = kMftLcn + kRecords * kRecordBytes / kClusterBytes;

  explicit RecordVolume(uint64_t clusters);

  void AddResident(uint64_t record, uint32_t type, uint16_t id, std::u16string name, std::vector<uint8_t> value);
  // An extent of a non-resident value starting at start_vcn; real_size is
  // recorded as given (later extents carry 0 on disk).
  void AddNonResident(uint64_t record, uint32_t type, uint16_t id, std::u16string name, std::vector<RunSpec> runs,
                      uint64_t real_size, uint64_t start_vcn = 0);
  void SetBaseReference(uint64_t record, uint64_t base);

  void WriteBytes(uint64_t offset, std::span<const uint8_t> bytes);
  void WriteClusters(uint64_t lcn, std::span<const uint8_t> bytes) { WriteBytes(lcn * kClusterBytes, bytes); }

  // The image with every record written.
  const std::vector<uint8_t>& Finish();

 private:
  RecordBuilder& Record(uint64_t number);

  std::vector<uint8_t> image_;
  std::map<uint64_t, RecordBuilder> records_;
};

}  // namespace velmora::testing
