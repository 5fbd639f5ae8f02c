#include "tests/support/synthetic_volume.h"

#include <algorithm>
#include <optional>

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

namespace {

// Applies an update sequence to a block whose array sits at `array`:
// saves the last word of each 512-byte stride and stamps the USN there.
void Protect(std::vector<uint8_t>& block, size_t array, uint16_t usn) {
  uint16_t count = static_cast<uint16_t>(block.size() / 512 + 1);
  Put16(block, 4, static_cast<uint16_t>(array));
  Put16(block, 6, count);
  Put16(block, array, usn);
  for (size_t i = 1; i < count; ++i) {
    size_t word = i * 512 - 2;
    block[array + 2 * i] = block[word];
    block[array + 2 * i + 1] = block[word + 1];
    Put16(block, word, usn);
  }
}

size_t Align8(size_t n) { return (n + 7) & ~size_t{7}; }

}  // namespace

RecordBuilder::RecordBuilder(uint64_t number, uint32_t size, uint16_t flags)
    : number_(number), size_(size), flags_(flags) {}

RecordBuilder& RecordBuilder::BaseReference(uint64_t reference) {
  base_ = reference;
  return *this;
}

RecordBuilder& RecordBuilder::Resident(uint32_t type, uint16_t id, const std::u16string& name,
                                       const std::vector<uint8_t>& value) {
  size_t name_offset = 0x18;
  size_t value_offset = Align8(name_offset + name.size() * 2);
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
  attributes_.push_back(std::move(a));
  return *this;
}

RecordBuilder& RecordBuilder::NonResident(uint32_t type, uint16_t id, const std::u16string& name,
                                          const std::vector<uint8_t>& mapping_pairs, uint64_t start_vcn,
                                          uint64_t last_vcn, uint64_t real_size) {
  size_t name_offset = 0x40;
  size_t runs_offset = Align8(name_offset + name.size() * 2);
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
  uint64_t allocated = (last_vcn + 1) * SyntheticVolume::kCluster;
  Put64(a, 0x28, allocated);
  Put64(a, 0x30, real_size);
  Put64(a, 0x38, real_size);
  auto n = Utf16Bytes(name);
  std::copy(n.begin(), n.end(), a.begin() + name_offset);
  std::copy(mapping_pairs.begin(), mapping_pairs.end(), a.begin() + runs_offset);
  attributes_.push_back(std::move(a));
  return *this;
}

std::vector<uint8_t> RecordBuilder::Build() const {
  std::vector<uint8_t> r(size_);
  r[0] = 'F';
  r[1] = 'I';
  r[2] = 'L';
  r[3] = 'E';
  Put64(r, 0x08, 0x1000 + number_);
  Put16(r, 0x10, 1);
  Put16(r, 0x12, 1);
  Put16(r, 0x16, flags_);
  Put64(r, 0x20, base_);
  Put16(r, 0x28, static_cast<uint16_t>(attributes_.size() + 1));
  Put16(r, 0x2A, static_cast<uint16_t>(number_ >> 32));
  Put32(r, 0x2C, static_cast<uint32_t>(number_));
  size_t array = 0x30;
  size_t at = Align8(array + 2 * (size_ / 512 + 1));
  Put16(r, 0x14, static_cast<uint16_t>(at));
  // Attributes that would not leave room for the end marker are left out:
  // fuzz targets hand the builder values of any size.
  for (const auto& a : attributes_) {
    if (a.size() + 8 > size_ - at) break;
    std::copy(a.begin(), a.end(), r.begin() + at);
    at += a.size();
  }
  Put32(r, at, 0xFFFFFFFF);
  at += 8;
  Put32(r, 0x18, static_cast<uint32_t>(at));
  Put32(r, 0x1C, size_);
  Protect(r, array, 0x0042);
  return r;
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
  b[0] = 'I';
  b[1] = 'N';
  b[2] = 'D';
  b[3] = 'X';
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
  std::vector<uint8_t> p = {0x32, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                            static_cast<uint8_t>(lcn), static_cast<uint8_t>(lcn >> 8), static_cast<uint8_t>(lcn >> 16)};
  p.push_back(0);
  return p;
}

SyntheticVolume::SyntheticVolume() : image_(kClusters * kCluster) {
  std::vector<uint8_t>& b = image_;
  b[3] = 'N';
  b[4] = 'T';
  b[5] = 'F';
  b[6] = 'S';
  for (int i = 7; i < 11; ++i) b[i] = ' ';
  Put16(b, 0x0B, 512);
  b[0x0D] = 1;
  Put64(b, 0x30, kMftLcn);
  b[0x40] = 0xF6;  // 1024-byte records
  b[0x44] = 1;
  b[510] = 0x55;
  b[511] = 0xAA;

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

}  // namespace velmora::testing
