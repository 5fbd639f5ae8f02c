#include "tests/support/synthetic_volume.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velmora::testing {

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& text) {
  std::vector<uint8_t> out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

namespace {

void Put16(std::span<uint8_t> b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

// Bytes of the smallest two's-complement field holding value.
unsigned SignedWidth(int64_t value) {
  for (unsigned width = 1; width < 8; ++width) {
    int64_t low = -(int64_t{1} << (8 * width - 1));
    int64_t high = (int64_t{1} << (8 * width - 1)) - 1;
    if (value >= low && value <= high) return width;
  }
  return 8;
}

// The boot sector fields both layouts write; the rest stay zero.
void WriteBoot(std::vector<uint8_t>& b, uint8_t sectors_per_cluster, uint64_t mft_lcn) {
  std::memcpy(b.data() + 3, "NTFS    ", 8);
  Put16(b, 0x0B, 512);
  b[0x0D] = sectors_per_cluster;
  Put64(b, 0x30, mft_lcn);
  b[0x40] = 0xF6;  // 1024-byte records
  b[0x44] = 1;     // one cluster per index block
  b[0x1FE] = 0x55;
  b[0x1FF] = 0xAA;
}

}  // namespace

void Protect(std::span<uint8_t> block, size_t array, uint16_t usn) {
  const size_t count = block.size() / 512 + 1;
  Put16(block, 4, static_cast<uint16_t>(array));
  Put16(block, 6, static_cast<uint16_t>(count));
  Put16(block, array, usn);
  for (size_t i = 1; i < count; ++i) {
    const size_t word = i * 512 - 2;
    block[array + 2 * i] = block[word];
    block[array + 2 * i + 1] = block[word + 1];
    Put16(block, word, usn);
  }
}

std::vector<uint8_t> ResidentAttribute(uint32_t type, uint16_t id, const std::u16string& name,
                                       const std::vector<uint8_t>& value) {
  const size_t name_offset = 0x18;
  const size_t value_offset = Align8(name_offset + name.size() * 2);
  std::vector<uint8_t> a(Align8(value_offset + value.size()));
  Put32(a, 0, type);
  Put32(a, 4, static_cast<uint32_t>(a.size()));
  a[9] = static_cast<uint8_t>(name.size());
  Put16(a, 0x0A, static_cast<uint16_t>(name_offset));
  Put16(a, 0x0E, id);
  Put32(a, 0x10, static_cast<uint32_t>(value.size()));
  Put16(a, 0x14, static_cast<uint16_t>(value_offset));
  auto n = Utf16Bytes(name);
  std::copy(n.begin(), n.end(), a.begin() + name_offset);
  std::copy(value.begin(), value.end(), a.begin() + value_offset);
  return a;
}

std::vector<uint8_t> NonResidentAttribute(uint32_t type, uint16_t id, const std::u16string& name,
                                          const std::vector<uint8_t>& mapping_pairs, uint64_t start_vcn,
                                          uint64_t last_vcn, uint64_t allocated, uint64_t real_size) {
  const size_t name_offset = 0x40;
  const size_t runs_offset = Align8(name_offset + name.size() * 2);
  std::vector<uint8_t> a(Align8(runs_offset + mapping_pairs.size() + 1));
  Put32(a, 0, type);
  Put32(a, 4, static_cast<uint32_t>(a.size()));
  a[8] = 1;
  a[9] = static_cast<uint8_t>(name.size());
  Put16(a, 0x0A, static_cast<uint16_t>(name_offset));
  Put16(a, 0x0E, id);
  Put64(a, 0x10, start_vcn);
  Put64(a, 0x18, last_vcn);
  Put16(a, 0x20, static_cast<uint16_t>(runs_offset));
  Put64(a, 0x28, allocated);
  Put64(a, 0x30, real_size);
  Put64(a, 0x38, real_size);
  auto n = Utf16Bytes(name);
  std::copy(n.begin(), n.end(), a.begin() + name_offset);
  std::copy(mapping_pairs.begin(), mapping_pairs.end(), a.begin() + runs_offset);
  return a;
}

std::vector<uint8_t> ResidentAttribute(uint32_t type, const std::vector<uint8_t>& value, uint16_t id) {
  return ResidentAttribute(type, id, u"", value);
}

std::vector<uint8_t> NonResidentAttribute(uint32_t type, uint64_t real_size, uint16_t id) {
  return NonResidentAttribute(type, id, u"", {}, 0, 0, (real_size + 0xFFF) & ~uint64_t{0xFFF}, real_size);
}

RecordBuilder::RecordBuilder(uint64_t number, uint32_t size, uint16_t flags)
    : number_(number), size_(size), flags_(flags) {}

RecordBuilder& RecordBuilder::BaseReference(uint64_t reference) {
  base_ = reference;
  return *this;
}

RecordBuilder& RecordBuilder::Resident(uint32_t type, uint16_t id, const std::u16string& name,
                                       const std::vector<uint8_t>& value) {
  return Attribute(ResidentAttribute(type, id, name, value));
}

RecordBuilder& RecordBuilder::NonResident(uint32_t type, uint16_t id, const std::u16string& name,
                                          const std::vector<uint8_t>& mapping_pairs, uint64_t start_vcn,
                                          uint64_t last_vcn, uint64_t real_size) {
  return Attribute(NonResidentAttribute(type, id, name, mapping_pairs, start_vcn, last_vcn,
                                        (last_vcn + 1) * SyntheticVolume::kCluster, real_size));
}

RecordBuilder& RecordBuilder::Attribute(std::vector<uint8_t> bytes) {
  attributes_.push_back(std::move(bytes));
  return *this;
}

size_t RecordBuilder::FirstAttribute() const { return Align8(0x30 + 2 * (size_ / 512 + 1)); }

bool RecordBuilder::Fits() const {
  size_t at = FirstAttribute();
  for (const auto& a : attributes_) at += a.size();
  return at + 8 <= size_;
}

std::vector<uint8_t> RecordBuilder::Build() const {
  std::vector<uint8_t> r(size_);
  std::memcpy(r.data(), "FILE", 4);
  Put64(r, 0x08, 0x1000 + number_);
  Put16(r, 0x10, 1);
  Put16(r, 0x12, 1);
  Put16(r, 0x16, flags_);
  Put64(r, 0x20, base_);
  Put16(r, 0x28, static_cast<uint16_t>(attributes_.size() + 1));
  Put16(r, 0x2A, static_cast<uint16_t>(number_ >> 32));
  Put32(r, 0x2C, static_cast<uint32_t>(number_));
  size_t at = FirstAttribute();
  Put16(r, 0x14, static_cast<uint16_t>(at));
  for (const auto& a : attributes_) {
    if (a.size() + 8 > size_ - at) break;
    std::copy(a.begin(), a.end(), r.begin() + at);
    at += a.size();
  }
  Put32(r, at, 0xFFFFFFFF);
  at += 8;
  Put32(r, 0x18, static_cast<uint32_t>(at));
  Put32(r, 0x1C, size_);
  Protect(r, 0x30, 0x0042);
  return r;
}

std::vector<uint8_t> WithRecordSlack(std::vector<uint8_t> record, const std::vector<uint8_t>& slack) {
  const size_t array = record[4] | (record[5] << 8);
  const size_t count = record[6] | (record[7] << 8);
  const uint16_t usn = static_cast<uint16_t>(record[array] | (record[array + 1] << 8));
  for (size_t i = 1; i < count && i * 512 <= record.size(); ++i) {
    record[i * 512 - 2] = record[array + 2 * i];
    record[i * 512 - 1] = record[array + 2 * i + 1];
  }
  const size_t used = record[0x18] | (record[0x19] << 8);
  std::copy(slack.begin(), slack.begin() + std::min(slack.size(), record.size() - used), record.begin() + used);
  Protect(record, array, usn);
  return record;
}

std::vector<uint8_t> FileNameValue(uint64_t parent, const std::u16string& name, uint8_t name_space, uint32_t flags,
                                   uint64_t access_time) {
  std::vector<uint8_t> v(0x42 + name.size() * 2);
  Put64(v, 0x00, parent);
  Put64(v, 0x20, access_time);
  Put32(v, 0x38, flags);
  v[0x40] = static_cast<uint8_t>(name.size());
  v[0x41] = name_space;
  auto n = Utf16Bytes(name);
  std::copy(n.begin(), n.end(), v.begin() + 0x42);
  return v;
}

std::vector<uint8_t> ListEntry(uint32_t type, uint64_t record, uint16_t instance, uint64_t vcn,
                               const std::u16string& name) {
  std::vector<uint8_t> e(Align8(0x1A + name.size() * 2));
  Put32(e, 0x00, type);
  Put16(e, 0x04, static_cast<uint16_t>(e.size()));
  e[0x06] = static_cast<uint8_t>(name.size());
  e[0x07] = 0x1A;
  Put64(e, 0x08, vcn);
  Put64(e, 0x10, record);
  Put16(e, 0x18, instance);
  auto n = Utf16Bytes(name);
  std::copy(n.begin(), n.end(), e.begin() + 0x1A);
  return e;
}

std::vector<uint8_t> IndexEntry(uint64_t data, const std::vector<uint8_t>& key, bool last,
                                std::optional<uint64_t> sub_node) {
  size_t length = Align8(0x10 + key.size()) + (sub_node ? 8 : 0);
  std::vector<uint8_t> e(length);
  Put64(e, 0, data);
  Put16(e, 8, static_cast<uint16_t>(length));
  Put16(e, 10, static_cast<uint16_t>(key.size()));
  e[12] = static_cast<uint8_t>((sub_node ? 1 : 0) | (last ? 2 : 0));
  std::copy(key.begin(), key.end(), e.begin() + 0x10);
  if (sub_node) Put64(e, length - 8, *sub_node);
  return e;
}

namespace {

std::vector<uint8_t> Node(const std::vector<std::vector<uint8_t>>& entries, bool large) {
  std::vector<uint8_t> header(0x10);
  size_t length = 0x10;
  for (const auto& e : entries) length += e.size();
  Put32(header, 0, 0x10);
  Put32(header, 4, static_cast<uint32_t>(length));
  Put32(header, 8, static_cast<uint32_t>(length));
  header[12] = large ? 1 : 0;
  for (const auto& e : entries) header.insert(header.end(), e.begin(), e.end());
  return header;
}

}  // namespace

std::vector<uint8_t> IndexRootValue(const std::vector<std::vector<uint8_t>>& entries, bool large,
                                    uint32_t block_bytes) {
  std::vector<uint8_t> v(0x10);
  Put32(v, 0, 0x30);
  Put32(v, 4, 1);
  Put32(v, 8, block_bytes);
  v[12] = 1;
  auto node = Node(entries, large);
  v.insert(v.end(), node.begin(), node.end());
  return v;
}

std::vector<uint8_t> IndexBlock(uint64_t vcn, const std::vector<std::vector<uint8_t>>& entries,
                                uint32_t block_bytes) {
  std::vector<uint8_t> b(block_bytes);
  std::memcpy(b.data(), "INDX", 4);
  Put64(b, 0x10, vcn);
  // Entries begin after the update sequence array at 0x28.
  size_t first = Align8(0x28 + 2 * (block_bytes / 512 + 1));
  auto node = Node(entries, false);
  Put32(node, 0, static_cast<uint32_t>(first - 0x18));
  Put32(node, 4, static_cast<uint32_t>(first - 0x18 + node.size() - 0x10));
  std::copy(node.begin(), node.begin() + 0x10, b.begin() + 0x18);
  // Entries beyond the block are cut off (fuzz targets hand in any amount).
  size_t room = block_bytes > first ? block_bytes - first : 0;
  std::copy(node.begin() + 0x10, node.begin() + 0x10 + std::min(room, node.size() - 0x10), b.begin() + first);
  Protect(b, 0x28, 0x0007);
  return b;
}

std::vector<uint8_t> SingleRun(uint64_t lcn, uint64_t count) {
  return {0x32,
          static_cast<uint8_t>(count),
          static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(lcn),
          static_cast<uint8_t>(lcn >> 8),
          static_cast<uint8_t>(lcn >> 16),
          0};
}

std::vector<uint8_t> EncodeRuns(const std::vector<RunSpec>& runs) {
  std::vector<uint8_t> out;
  int64_t previous = 0;
  for (const RunSpec& run : runs) {
    const unsigned length_bytes = SignedWidth(static_cast<int64_t>(run.length));
    unsigned offset_bytes = 0;
    int64_t delta = 0;
    if (run.lcn) {
      delta = static_cast<int64_t>(*run.lcn) - previous;
      offset_bytes = SignedWidth(delta);
      previous = static_cast<int64_t>(*run.lcn);
    }
    out.push_back(static_cast<uint8_t>(length_bytes | (offset_bytes << 4)));
    for (unsigned i = 0; i < length_bytes; ++i) out.push_back(static_cast<uint8_t>(run.length >> (8 * i)));
    const auto bits = static_cast<uint64_t>(delta);
    for (unsigned i = 0; i < offset_bytes; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
  out.push_back(0);
  return out;
}

// ---- SyntheticVolume

SyntheticVolume::SyntheticVolume() : image_(kClusters * kCluster) {
  WriteBoot(image_, 1, kMftLcn);
  const uint64_t mft_clusters = kMftRecords * 1024 / kCluster;
  SetRecord(0, RecordBuilder(0)
                   .Resident(0x30, 1, u"", FileNameValue(5, u"$MFT"))
                   .NonResident(0x80, 2, u"", SingleRun(kMftLcn, mft_clusters), 0, mft_clusters - 1,
                                kMftRecords * 1024)
                   .Build());
  std::vector<uint8_t> upcase(0x20000);
  for (uint32_t u = 0; u < 0x10000; ++u) {
    uint32_t up = (u >= 'a' && u <= 'z') ? u - 32 : u;
    Put16(upcase, 2 * u, static_cast<uint16_t>(up));
  }
  SetClusters(kUpcaseLcn, upcase);
  SetRecord(10, RecordBuilder(10).NonResident(0x80, 1, u"", SingleRun(kUpcaseLcn, 256), 0, 255, 0x20000).Build());
  SetRootEntries({});
}

void SyntheticVolume::SetRecord(uint64_t number, const std::vector<uint8_t>& record) {
  std::copy(record.begin(), record.end(), image_.begin() + kMftLcn * kCluster + number * 1024);
}

void SyntheticVolume::SetClusters(uint64_t lcn, const std::vector<uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), image_.begin() + lcn * kCluster);
}

void SyntheticVolume::SetRootEntries(const std::vector<std::pair<std::u16string, uint64_t>>& entries) {
  std::vector<std::vector<uint8_t>> index;
  for (const auto& [name, number] : entries) index.push_back(IndexEntry(number, FileNameValue(5, name)));
  index.push_back(IndexEntry(0, {}, true));
  SetRecord(5, RecordBuilder(5, 1024, 0x0003)
                   .Resident(0x30, 1, u"", FileNameValue(5, u".", 3, 0x10000000))
                   .Resident(0x90, 2, u"$I30", IndexRootValue(index, false))
                   .Build());
}

// ---- RecordVolume

RecordVolume::RecordVolume(uint64_t clusters) : image_(clusters * kClusterBytes) {
  WriteBoot(image_, kClusterBytes / kSectorBytes, kMftLcn);
  Put64(image_, 0x28, clusters * (kClusterBytes / kSectorBytes) - 1);  // sectors
  Put64(image_, 0x38, 2);                                             // $MFTMirr
}

RecordBuilder& RecordVolume::Record(uint64_t number) {
  return records_.try_emplace(number, number, kRecordBytes).first->second;
}

void RecordVolume::AddResident(uint64_t record, uint32_t type, uint16_t id, std::u16string name,
                               std::vector<uint8_t> value) {
  Record(record).Resident(type, id, name, value);
}

void RecordVolume::AddNonResident(uint64_t record, uint32_t type, uint16_t id, std::u16string name,
                                  std::vector<RunSpec> runs, uint64_t real_size, uint64_t start_vcn) {
  uint64_t clusters = 0;
  for (const RunSpec& run : runs) clusters += run.length;
  const uint64_t allocated = start_vcn == 0 ? (real_size + kClusterBytes - 1) / kClusterBytes * kClusterBytes : 0;
  Record(record).Attribute(
      NonResidentAttribute(type, id, name, EncodeRuns(runs), start_vcn, start_vcn + clusters - 1, allocated, real_size));
}

void RecordVolume::SetBaseReference(uint64_t record, uint64_t base) { Record(record).BaseReference(base); }

void RecordVolume::WriteBytes(uint64_t offset, std::span<const uint8_t> bytes) {
  if (image_.size() < offset + bytes.size()) image_.resize(offset + bytes.size());
  std::copy(bytes.begin(), bytes.end(), image_.begin() + offset);
}

const std::vector<uint8_t>& RecordVolume::Finish() {
  for (const auto& [number, record] : records_) {
    // A test that overfills a record is wrong, not its reader: it fails
    // with this exception rather than with a record short of attributes.
    if (!record.Fits()) throw std::length_error("attributes overflow record " + std::to_string(number));
    WriteBytes(kMftLcn * kClusterBytes + number * kRecordBytes, record.Build());
  }
  return image_;
}

}  // namespace velmora::testing
