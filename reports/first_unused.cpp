#include <algorithm>
#include <optional>

#include "base/bytes.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"
#include "reports/reports.h"

namespace velmora {

namespace {

constexpr uint64_t kNotFound = ~uint64_t{0};
// Records 0 to 23 are reserved for the metadata files; their bits are
// never a candidate even when clear.
constexpr unsigned kFirstCandidateBit = 24;
constexpr uint32_t kFullWord = 0xFFFFFFFF;

}  // namespace

// Bit n of the MFT bitmap (byte n / 8, least significant bit first) is set
// when record n is in use. The scan goes a 32-bit little-endian word at a
// time; the free record is taken from the first word that is not full, and
// the bytes after the last whole word are scanned when every word is full.
uint64_t FindFirstClearBit(std::span<const uint8_t> bitmap) {
  const LeBytes bytes(bitmap);
  const uint64_t size = bytes.size();
  const uint64_t words = size / 4;
  if (words == 0) return kNotFound;

  const uint32_t first = bytes.U32(0);
  if (first != kFullWord) {
    for (unsigned bit = kFirstCandidateBit; bit < 32; ++bit) {
      if (!((first >> bit) & 1)) return bit;
    }
  }
  uint64_t word = 1;
  while (word < words && bytes.U32(4 * word) == kFullWord) ++word;
  const uint64_t end = std::min(4 * word + 4, size);
  for (uint64_t k = 4 * word; k < end; ++k) {
    const uint8_t byte = bytes.U8(k);
    if (byte == 0xFF) continue;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (!((byte >> bit) & 1)) return 8 * k + bit;
    }
  }
  return kNotFound;
}

bool ReportFirstUnusedRecord(ReportContext& context) {
  auto mft = ReadReportRecord(context, kMftReference);
  if (!mft) return false;
  // Only the base record: the MFT's $BITMAP is never moved out of it.
  const auto bitmap = FindAttribute(*mft, AttrType::kBitmap, nullptr, nullptr);
  if (!bitmap) return false;
  AttributeReader reader(context.volume, *bitmap);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  if (!value) return false;
  const uint64_t record = FindFirstClearBit(*value);
  if (record == kNotFound) return false;
  if (context.json) {
    json::Line line("first_unused");
    json::Emit(context.console, line.Bool("found", true).Wide("record", record));
  } else {
    context.console.Print("\t%016I64X\n", record);
  }
  return true;
}

}  // namespace velmora
