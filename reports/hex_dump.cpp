// -d: a window of each attribute value of one type, in hex and as characters.
#include <algorithm>
#include <array>
#include <optional>

#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/value_reader.h"
#include "output/json_lines.h"
#include "output/text.h"
#include "reports/reports.h"

namespace velmora {

namespace {

constexpr size_t kBytesPerLine = 16;
// "- " separates the two halves of a line's hex column.
constexpr size_t kHalfLine = 8;

// Letters, digits and the space show as themselves; everything else as '.'.
char16_t Shown(uint8_t byte) {
  const bool shown = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                     byte == ' ';
  return shown ? static_cast<char16_t>(byte) : u'.';
}

// One line of up to sixteen bytes; slots past the bytes are blank. The
// offset and the "- " appear only when the line holds bytes.
void DumpLine(Console& console, std::span<const uint8_t> bytes, uint64_t offset) {
  if (!bytes.empty()) console.PrintNarrow("%016I64X    ", offset);
  for (size_t j = 0; j < kBytesPerLine; ++j) {
    if (j < bytes.size()) {
      console.PrintNarrow("%02X ", bytes[j]);
    } else {
      console.PrintNarrow("   ");
    }
    if (j + 1 == kHalfLine && !bytes.empty()) console.PrintNarrow("- ");
  }
  console.PrintNarrow("  ");
  for (size_t j = 0; j < kBytesPerLine; ++j) {
    if (j < bytes.size()) {
      console.PrintNarrow("%c", Shown(bytes[j]));
    } else {
      console.PrintNarrow("  ");
    }
  }
  console.PrintNarrow("\n");
}

// The window as one object; bytes nullopt when they could not be read.
void EmitDump(Console& console, const AttributeRecord& attribute, uint64_t size, uint64_t offset,
              std::optional<std::span<const uint8_t>> bytes) {
  json::Line line("dump");
  line.Number("type", attribute.TypeCode()).Number("id", attribute.Id()).Text("name", attribute.Name());
  line.Bool("non_resident", attribute.NonResident()).Wide("value_size", size).Wide("offset", offset);
  line.Bool("read", bytes.has_value()).Bytes("bytes", bytes ? *bytes : std::span<const uint8_t>());
  json::Emit(console, line);
}

}  // namespace

// The closing line is printed even when no bytes are left for it: a dump
// whose count is a multiple of 16 ends with a line of 82 spaces.
void HexDump(Console& console, std::span<const uint8_t> bytes, uint64_t base) {
  const size_t full_lines = bytes.size() / kBytesPerLine;
  for (size_t i = 0; i < full_lines; ++i)
    DumpLine(console, bytes.subspan(i * kBytesPerLine, kBytesPerLine), base + i * kBytesPerLine);
  DumpLine(console, bytes.subspan(full_lines * kBytesPerLine), base + full_lines * kBytesPerLine);
}

Walk DumpVisitor(ReportContext& context, FileAttributes& file, const AttributeRecord& attribute,
                 const DumpRange& range) {
  const uint64_t size = attribute.ValueSize();
  if (size == 0) {
    if (context.json) EmitDump(context.console, attribute, size, range.start, std::span<const uint8_t>());
    return Walk::kStop;
  }
  // The window [start, start + range) clipped to the value, at most 256 bytes.
  uint64_t count = 0;
  if (range.start < size) count = std::min<uint64_t>({size - range.start, range.range, kMaxDumpBytes});

  std::array<uint8_t, kMaxDumpBytes> buffer{};
  std::span<uint8_t> window(buffer.data(), count);
  std::optional<std::span<const uint8_t>> shown;
  if (attribute.NonResident()) {
    // A window of no bytes cannot be read, so it shows nothing at all.
    AttributeReader reader = file.Reader(attribute);
    if (auto read = reader.ReadNonResidentRange(range.start, window)) shown = window.first(*read);
  } else {
    shown = window.first(CopyResidentRange(attribute, range.start, window));
  }
  if (context.json) {
    EmitDump(context.console, attribute, size, range.start, shown);
    return Walk::kContinue;
  }
  if (!attribute.NonResident()) context.console.Print(kDashLine);
  if (shown) HexDump(context.console, *shown, range.start);
  return Walk::kContinue;
}

}  // namespace velmora
