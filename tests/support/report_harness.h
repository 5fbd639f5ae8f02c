// Running reports in tests and keeping what they print: the whole program
// over the fake platform (RunVelmora in fake_platform.h, RunOn), or a report
// context over one in-memory volume (ReportHarness); and reading the output
// of the committed volumes' reports against their manifests.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/attribute_set.h"
#include "ntfs/attribute.h"
#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "output/console.h"
#include "reports/reports.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora::testing {

using Bytes = std::vector<uint8_t>;

// The program run over a committed volume bound to C:.
inline RunResult RunOn(const TestVolume& volume, const std::vector<std::u16string>& arguments) {
  FakePlatform platform;
  platform.AddVolume(u'C', volume.image);
  return RunVelmora(platform, arguments);
}

// A report context over an image bound to C: and opened (an empty image is
// left unopened, for reports of values built inline); what the reports
// print on standard output and standard error is kept apart.
template <typename PlatformType>
struct BasicReportHarness {
  explicit BasicReportHarness(Bytes bytes = {}) : image(std::move(bytes)) {
    if (image.empty()) return;
    platform.AddVolume(u'C', image);
    opened = OpenVolume(volume, platform, u"\\\\.\\C:").has_value();
  }
  // The context of a volume that must have opened.
  ReportContext& Context() {
    EXPECT_TRUE(opened);
    return context;
  }

  Bytes image;  // the harness's own copy: the platform only borrows the bytes
  PlatformType platform;
  VolumeContext volume;
  StringSink out;
  StringSink err;
  Console console{out, err};
  ReportContext context{volume, platform, console};
  bool opened = false;
  // Stands for the file's attributes; values of inline attributes never need them.
  FileAttributes base = FileAttributes::Open(volume, FileRecord(Bytes(1024), RecordNumber(0)));
};
using ReportHarness = BasicReportHarness<FakePlatform>;

inline AttributeRecord OpenAttribute(const Bytes& bytes) {
  auto attribute = AttributeRecord::Open(bytes, 0, static_cast<uint32_t>(bytes.size()));
  EXPECT_TRUE(attribute.has_value());
  if (!attribute) std::abort();
  return *attribute;
}

// ---- Committed volumes -----------------------------------------------------

// A manifest path (backslashes from the root) as a target on C:.
inline std::u16string Target(const std::string& path) { return U16("C:" + path); }

// What a report printed under its title line, up to the next section line.
inline std::string Section(const std::string& out, const std::string& title) {
  const std::string heading = "=====================\n" + title;
  size_t start = out.find(heading);
  if (start == std::string::npos) return "<no section " + title + ">";
  start += heading.size();
  size_t end = out.find("=====================\n", start);
  return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Record number of a path fact; 0 when the manifest has none.
inline uint64_t RecordOf(const TestVolume& volume, const std::string& path) {
  for (const Fact* fact : volume.Facts("path"))
    if (fact->fields.size() >= 3 && fact->fields[2] == path) return std::stoull(fact->fields[0]);
  ADD_FAILURE() << volume.name << ": no path fact for " << path;
  return 0;
}

// The facts of one kind whose first field is the record number.
inline std::vector<const Fact*> FactsOf(const TestVolume& volume, const std::string& kind, uint64_t record) {
  std::vector<const Fact*> out;
  for (const Fact* fact : volume.Facts(kind))
    if (!fact->fields.empty() && fact->fields[0] == std::to_string(record)) out.push_back(fact);
  return out;
}

// Upper-case hex digits, at least `digits` of them.
inline std::string Hex(uint64_t value, int digits = 1) {
  std::string text;
  for (; value != 0 || static_cast<int>(text.size()) < digits; value >>= 4)
    text.insert(text.begin(), "0123456789ABCDEF"[value & 0xF]);
  return text;
}

// The content tools/volume_fill.py "text" writes: 512-byte blocks, each a
// 32-byte header naming the file (its base name) and the block's offset,
// then a fixed sentence. Bytes [offset, offset + size).
inline Bytes TextBlocks(const std::string& label, uint64_t offset, uint64_t size) {
  std::string filler;
  for (int i = 0; i < 12; ++i) filler += "The quick brown fox jumps over the lazy dog. ";
  filler.resize(480);
  Bytes out;
  out.reserve(size);
  for (uint64_t pos = offset - offset % 512; out.size() < size; pos += 512) {
    std::string head = label.substr(0, 16);
    head.resize(16, ' ');
    std::string hex = Hex(pos, 13);
    for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string block = head + " @" + hex + "\n" + filler;
    const uint64_t from = pos < offset ? offset - pos : 0;
    for (uint64_t i = from; i < block.size() && out.size() < size; ++i) out.push_back(static_cast<uint8_t>(block[i]));
  }
  return out;
}

}  // namespace velmora::testing
