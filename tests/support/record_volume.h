// A small NTFS volume assembled in memory for report tests: a boot sector,
// the first 24 MFT records (read straight from the MFT's first run, so no
// $MFT runs or directory tree are needed) and data clusters. The reports
// are called with a file reference, never through a path.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmora::testing {

// One run of a non-resident value: clusters at lcn, or a hole.
struct RunSpec {
  std::optional<uint64_t> lcn;
  uint64_t length = 0;
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

  // Boot sector bytes, to vary the geometry.
  std::span<uint8_t> boot() { return std::span<uint8_t>(image_).first(512); }

  void AddResident(uint64_t record, uint32_t type, uint16_t id, std::u16string name, std::vector<uint8_t> value);
  // An extent of a non-resident value starting at start_vcn; real_size is
  // recorded as given (later extents carry 0 on disk).
  void AddNonResident(uint64_t record, uint32_t type, uint16_t id, std::u16string name, std::vector<RunSpec> runs,
                      uint64_t real_size, uint64_t start_vcn = 0);
  // The raw bytes of an attribute record (for damaged or unusual ones).
  void AddRawAttribute(uint64_t record, std::vector<uint8_t> bytes);
  void SetBaseReference(uint64_t record, uint64_t base);

  void WriteBytes(uint64_t offset, std::span<const uint8_t> bytes);
  void WriteClusters(uint64_t lcn, std::span<const uint8_t> bytes) { WriteBytes(lcn * kClusterBytes, bytes); }

  // The image with every record written (update sequence applied).
  const std::vector<uint8_t>& Finish();

  // Mapping pairs for runs, as NTFS encodes them.
  static std::vector<uint8_t> EncodeRuns(const std::vector<RunSpec>& runs);
  // Applies an update sequence to a protected block in place: the array at
  // 0x30 of (size / 512 + 1) words, usn in word 0, the last word of each
  // 512-byte stride saved into the array and replaced by usn.
  static void Protect(std::span<uint8_t> block, uint16_t usn);

 private:
  struct Record {
    std::vector<std::vector<uint8_t>> attributes;
    uint64_t base = 0;
  };
  std::vector<uint8_t> image_;
  std::map<uint64_t, Record> records_;
};

// Pseudo-random bytes from a seed: a read from the wrong place shows.
std::vector<uint8_t> Pattern(size_t size, uint32_t seed);

}  // namespace velmora::testing
