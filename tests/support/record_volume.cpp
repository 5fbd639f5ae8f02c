#include "tests/support/record_volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace velmora::testing {

namespace {

void Put(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, unsigned width) {
  if (bytes.size() < offset + width) bytes.resize(offset + width);
  for (unsigned i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put(std::span<uint8_t> bytes, size_t offset, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
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

}  // namespace

RecordVolume::RecordVolume(uint64_t clusters) : image_(clusters * kClusterBytes) {
  auto b = boot();
  std::memcpy(b.data() + 3, "NTFS    ", 8);
  Put(b, 0x0B, kSectorBytes, 2);
  b[0x0D] = kClusterBytes / kSectorBytes;
  Put(b, 0x28, clusters * (kClusterBytes / kSectorBytes) - 1, 8);
  Put(b, 0x30, kMftLcn, 8);
  Put(b, 0x38, 2, 8);
  b[0x40] = static_cast<uint8_t>(-10);  // 1 KiB records
  b[0x44] = 1;                          // one cluster per index block
  b[0x1FE] = 0x55;
  b[0x1FF] = 0xAA;
}

void RecordVolume::AddResident(uint64_t record, uint32_t type, uint16_t id, std::u16string name,
                               std::vector<uint8_t> value) {
  const size_t name_offset = 0x18;
  const size_t value_offset = Align8(name_offset + name.size() * 2);
  std::vector<uint8_t> a(Align8(value_offset + value.size()));
  Put(a, 0x00, type, 4);
  Put(a, 0x04, a.size(), 4);
  a[0x08] = 0;
  a[0x09] = static_cast<uint8_t>(name.size());
  Put(a, 0x0A, name_offset, 2);
  Put(a, 0x0E, id, 2);
  Put(a, 0x10, value.size(), 4);
  Put(a, 0x14, value_offset, 2);
  for (size_t i = 0; i < name.size(); ++i) Put(a, name_offset + 2 * i, name[i], 2);
  std::copy(value.begin(), value.end(), a.begin() + value_offset);
  records_[record].attributes.push_back(std::move(a));
}

void RecordVolume::AddNonResident(uint64_t record, uint32_t type, uint16_t id, std::u16string name,
                                  std::vector<RunSpec> runs, uint64_t real_size, uint64_t start_vcn) {
  uint64_t clusters = 0;
  for (const RunSpec& run : runs) clusters += run.length;
  const size_t name_offset = 0x40;
  const size_t runs_offset = Align8(name_offset + name.size() * 2);
  std::vector<uint8_t> pairs = EncodeRuns(runs);
  std::vector<uint8_t> a(Align8(runs_offset + pairs.size()));
  Put(a, 0x00, type, 4);
  Put(a, 0x04, a.size(), 4);
  a[0x08] = 1;
  a[0x09] = static_cast<uint8_t>(name.size());
  Put(a, 0x0A, name_offset, 2);
  Put(a, 0x0E, id, 2);
  Put(a, 0x10, start_vcn, 8);
  Put(a, 0x18, start_vcn + clusters - 1, 8);
  Put(a, 0x20, runs_offset, 2);
  const uint64_t allocated = start_vcn == 0 ? (real_size + kClusterBytes - 1) / kClusterBytes * kClusterBytes : 0;
  Put(a, 0x28, allocated, 8);
  Put(a, 0x30, real_size, 8);
  Put(a, 0x38, real_size, 8);
  for (size_t i = 0; i < name.size(); ++i) Put(a, name_offset + 2 * i, name[i], 2);
  std::copy(pairs.begin(), pairs.end(), a.begin() + runs_offset);
  records_[record].attributes.push_back(std::move(a));
}

void RecordVolume::AddRawAttribute(uint64_t record, std::vector<uint8_t> bytes) {
  records_[record].attributes.push_back(std::move(bytes));
}

void RecordVolume::SetBaseReference(uint64_t record, uint64_t base) { records_[record].base = base; }

void RecordVolume::WriteBytes(uint64_t offset, std::span<const uint8_t> bytes) {
  if (image_.size() < offset + bytes.size()) image_.resize(offset + bytes.size());
  std::copy(bytes.begin(), bytes.end(), image_.begin() + offset);
}

std::vector<uint8_t> RecordVolume::EncodeRuns(const std::vector<RunSpec>& runs) {
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

void RecordVolume::Protect(std::span<uint8_t> block, uint16_t usn) {
  constexpr size_t kArray = 0x30;
  const size_t strides = block.size() / 512;
  Put(block, 0x04, kArray, 2);
  Put(block, 0x06, strides + 1, 2);
  Put(block, kArray, usn, 2);
  for (size_t i = 1; i <= strides; ++i) {
    const size_t word = i * 512 - 2;
    block[kArray + 2 * i] = block[word];
    block[kArray + 2 * i + 1] = block[word + 1];
    Put(block, word, usn, 2);
  }
}

const std::vector<uint8_t>& RecordVolume::Finish() {
  for (const auto& [number, record] : records_) {
    std::vector<uint8_t> bytes(kRecordBytes);
    std::memcpy(bytes.data(), "FILE", 4);
    Put(bytes, 0x10, 1, 2);     // sequence
    Put(bytes, 0x12, 1, 2);     // hard links
    Put(bytes, 0x14, 0x38, 2);  // first attribute, behind the 3-word update sequence array
    Put(bytes, 0x16, 1, 2);     // in use
    Put(bytes, 0x1C, kRecordBytes, 4);
    Put(bytes, 0x20, record.base, 8);
    Put(bytes, 0x2C, number, 4);
    size_t at = 0x38;
    uint16_t next_id = 0;
    for (const auto& a : record.attributes) {
      if (at + a.size() + 8 > kRecordBytes) {
        ADD_FAILURE() << "attributes overflow record " << number;
        break;
      }
      std::copy(a.begin(), a.end(), bytes.begin() + at);
      next_id = std::max<uint16_t>(next_id, static_cast<uint16_t>(a[0x0E] | (a[0x0F] << 8)) + 1);
      at += a.size();
    }
    Put(bytes, at, 0xFFFFFFFF, 4);
    at += 8;
    Put(bytes, 0x18, at, 4);
    Put(bytes, 0x28, next_id, 2);
    Protect(bytes, 0x0001);
    WriteBytes(kMftLcn * kClusterBytes + number * kRecordBytes, bytes);
  }
  return image_;
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

}  // namespace velmora::testing
