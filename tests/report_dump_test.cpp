// -d: the hex dump lines and the window the dump visitor takes of a value.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/bytes.h"

#include "reports/reports.h"
#include "tests/support/report_harness.h"

namespace velmora::testing {
namespace {

constexpr char kSeparator[] = "-----------------\n";
const std::string kBlankLine = std::string(82, ' ') + "\n";

std::string Dump(const Bytes& bytes, uint64_t base = 0) {
  StringSink out, err;
  Console console(out, err);
  HexDump(console, bytes, base);
  return out.text();
}

Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

// 0x00, 0x01, ... count - 1.
Bytes Counting(size_t count) {
  Bytes b(count);
  for (size_t i = 0; i < count; ++i) b[i] = static_cast<uint8_t>(i);
  return b;
}

// ---- HexDump -------------------------------------------------------------

TEST(HexDumpLines, FullLineThenBlankClosingLine) {
  EXPECT_EQ(Dump(Ascii("0123456789abcdef")),
            "0000000000000000    30 31 32 33 34 35 36 37 - 38 39 61 62 63 64 65 66   0123456789abcdef\n" +
                kBlankLine);
}

TEST(HexDumpLines, NoBytesGivesOnlyTheBlankLine) { EXPECT_EQ(Dump({}), kBlankLine); }

TEST(HexDumpLines, PartialClosingLineOfEightBytesKeepsTheSeparator) {
  EXPECT_EQ(Dump(Ascii("ABCDEFGH")),
            "0000000000000000    41 42 43 44 45 46 47 48 - " + std::string(8 * 3, ' ') + "  ABCDEFGH" +
                std::string(8 * 2, ' ') + "\n");
}

TEST(HexDumpLines, ShortClosingLinePutsTheSeparatorAfterTheEighthSlotEvenWhenBlank) {
  EXPECT_EQ(Dump(Ascii("xyz"), 0x30),
            "0000000000000030    78 79 7A " + std::string(5 * 3, ' ') + "- " + std::string(8 * 3, ' ') + "  xyz" +
                std::string(13 * 2, ' ') + "\n");
}

TEST(HexDumpLines, NineBytesCrossTheSeparator) {
  EXPECT_EQ(Dump(Ascii("123456789")),
            "0000000000000000    31 32 33 34 35 36 37 38 - 39 " + std::string(7 * 3, ' ') + "  123456789" +
                std::string(7 * 2, ' ') + "\n");
}

TEST(HexDumpLines, FifteenBytesLeaveOneBlankSlot) {
  std::string text = Dump(Counting(15));
  EXPECT_EQ(text,
            "0000000000000000    00 01 02 03 04 05 06 07 - 08 09 0A 0B 0C 0D 0E    " "  " "..............." "  "
            "\n");
}

TEST(HexDumpLines, EveryLineHasTheFixedLayout) {
  // 72 bytes: four full lines of 88 characters and a closing line of 8 bytes.
  std::string text = Dump(Counting(0x48));
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 5u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(lines[i].size(), 16u + 4 + 8 * 3 + 2 + 8 * 3 + 2 + 16) << i;
    EXPECT_EQ(lines[i].substr(0, 20), std::string("00000000000000") + "0123"[i] + "0    ") << i;
    EXPECT_EQ(lines[i].substr(20 + 8 * 3, 2), "- ");
  }
  EXPECT_EQ(lines[1].substr(20, 3), "10 ");
  EXPECT_EQ(lines[4].substr(0, 20), "0000000000000040    ");
  // Offset, 16 hex slots, "- ", "  ", 8 characters and 8 blank slots of two.
  EXPECT_EQ(lines[4].size(), 20u + 16 * 3 + 2 + 2 + 8 + 8 * 2);
}

TEST(HexDumpLines, OffsetColumnCountsFromTheBase) {
  std::string text = Dump(Counting(0x20), 0x10);
  EXPECT_EQ(text.substr(0, 16), "0000000000000010");
  EXPECT_EQ(text.substr(89, 16), "0000000000000020");
  EXPECT_EQ(text.substr(178), kBlankLine);
}

TEST(HexDumpLines, LargeBaseKeepsSixteenDigits) {
  std::string text = Dump(Ascii("a"), 0x123456789ABCDEF0ull);
  EXPECT_EQ(text.substr(0, 20), "123456789ABCDEF0    ");
}

TEST(HexDumpLines, OnlyLettersDigitsAndSpaceShowAsThemselves) {
  // Each shown byte next to its neighbours outside the ranges.
  const Bytes bytes = {0x00, 0x2E, 0x7F, 0xFF, 'A', 'z', '5', ' ', '/', ':', '@', '[', '`', '{', 'Z', 'a'};
  std::string text = Dump(bytes);
  EXPECT_EQ(text.substr(72, 16), "....Az5 ......Za");
  EXPECT_EQ(text.substr(20, 50), "00 2E 7F FF 41 7A 35 20 - 2F 3A 40 5B 60 7B 5A 61 ");
}

TEST(HexDumpLines, HexDigitsAreUpperCase) {
  EXPECT_EQ(Dump(Bytes{0xAB, 0xCD, 0xEF}).substr(20, 9), "AB CD EF ");
}

// ---- DumpVisitor ---------------------------------------------------------

Bytes StandardInformationValue() {
  Bytes value = Counting(0x48);
  value[0] = 'S';
  return value;
}

TEST(DumpWindow, DefaultWindowOfA72ByteValueIsSeparatorFourLinesAndEightBytes) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x10, StandardInformationValue());
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{}), Walk::kContinue);
  Bytes value = StandardInformationValue();
  EXPECT_EQ(h.out.text(), kSeparator + Dump(value));
  EXPECT_EQ(h.out.text().substr(18, 22), "0000000000000000    53");
  EXPECT_TRUE(h.err.text().empty());
}

TEST(DumpWindow, StartOffsetLabelsTheFirstLineAndTakesBytesFromThere) {
  ReportHarness h;
  Bytes value = Counting(0x48);
  Bytes record = ResidentAttribute(0x80, value);
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0x10, 0x20}), Walk::kContinue);
  EXPECT_EQ(h.out.text(), kSeparator + Dump(Bytes(value.begin() + 0x10, value.begin() + 0x30), 0x10));
  EXPECT_EQ(h.out.text().substr(18, 23), "0000000000000010    10 ");
}

TEST(DumpWindow, WindowEndsAtTheValueEnd) {
  ReportHarness h;
  Bytes value = Counting(0x48);
  Bytes record = ResidentAttribute(0x80, value);
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0x40, 0x50}), Walk::kContinue);
  EXPECT_EQ(h.out.text(), kSeparator + Dump(Bytes(value.begin() + 0x40, value.end()), 0x40));
}

TEST(DumpWindow, RangeOver256DumpsOnly256Bytes) {
  ReportHarness h;
  Bytes value = Counting(300);
  Bytes record = ResidentAttribute(0x80, value);
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0, 0x200}), Walk::kContinue);
  EXPECT_EQ(h.out.text(), kSeparator + Dump(Bytes(value.begin(), value.begin() + 256)));
  // Sixteen full lines and a closing line of spaces.
  EXPECT_EQ(h.out.text().size(), 18u + 16 * 89 + 83);
}

TEST(DumpWindow, RangeOver256FromAnOffsetStillStopsAt256) {
  ReportHarness h;
  Bytes value = Counting(600);
  Bytes record = ResidentAttribute(0x80, value);
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0x100, 0xFFFFFFFF}), Walk::kContinue);
  EXPECT_EQ(h.out.text(), kSeparator + Dump(Bytes(value.begin() + 0x100, value.begin() + 0x200), 0x100));
}

TEST(DumpWindow, StartAtOrPastTheEndOfAResidentValuePrintsSeparatorAndBlankLine) {
  for (uint64_t start : {uint64_t{0x48}, uint64_t{0x49}, uint64_t{0x1000}, ~uint64_t{0}}) {
    ReportHarness h;
    Bytes record = ResidentAttribute(0x80, Counting(0x48));
    EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{start, 0x50}), Walk::kContinue) << start;
    EXPECT_EQ(h.out.text(), kSeparator + kBlankLine) << start;
  }
}

TEST(DumpWindow, StartNearTheTopOfTheRangeDoesNotWrap) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x80, Counting(0x48));
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{~uint64_t{0} - 0x10, 0x50}), Walk::kContinue);
  EXPECT_EQ(h.out.text(), kSeparator + kBlankLine);
}

TEST(DumpWindow, EmptyValueStopsTheEnumerationAndPrintsNothing) {
  ReportHarness h;
  Bytes resident = ResidentAttribute(0x80, {});
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(resident), DumpRange{}), Walk::kStop);
  Bytes non_resident = NonResidentAttribute(0x80, 0);
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(non_resident), DumpRange{}), Walk::kStop);
  EXPECT_EQ(h.out.text(), "");
}

TEST(DumpWindow, UnreadableNonResidentValuePrintsNothingAndGoesOn) {
  ReportHarness h;
  Bytes record = NonResidentAttribute(0x80, 0x2000);
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{}), Walk::kContinue);
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0x3000, 0x10}), Walk::kContinue);
  EXPECT_EQ(h.out.text(), "");
}

TEST(DumpWindow, OutputIsSingleByteText) {
  // A byte above 0x7F must not become a multi-byte sequence.
  ReportHarness h;
  Bytes record = ResidentAttribute(0x80, Bytes{0xE9, 0xFF, 0x80});
  EXPECT_EQ(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{}), Walk::kContinue);
  for (char c : h.out.text()) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
  EXPECT_NE(h.out.text().find("E9 FF 80 "), std::string::npos);
}


// ---- Committed volumes -----------------------------------------------------

// One attribute's dump read back from the report text.
struct ParsedDump {
  bool separated = false;  // a separator line came first (resident values)
  uint64_t first_offset = 0;
  Bytes bytes;
};

// Splits a -d section into dumps; each ends with its closing line (fewer
// than 16 bytes, or none). Lines must follow one another by 16 bytes.
std::vector<ParsedDump> ParseDumps(const std::string& section) {
  std::vector<ParsedDump> dumps;
  ParsedDump current;
  bool open = false;
  for (size_t start = 0; start < section.size();) {
    size_t end = section.find('\n', start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "unterminated line";
      break;
    }
    std::string line = section.substr(start, end - start);
    start = end + 1;
    if (line == "-----------------") {
      EXPECT_FALSE(open) << "separator inside a dump";
      current = ParsedDump{};
      current.separated = true;
      open = true;
      continue;
    }
    if (!open) {
      current = ParsedDump{};
      open = true;
    }
    size_t count = 0;
    if (line != std::string(82, ' ')) {
      EXPECT_EQ(line.substr(16, 4), "    ") << line;
      uint64_t offset = std::stoull(line.substr(0, 16), nullptr, 16);
      if (current.bytes.empty()) current.first_offset = offset;
      EXPECT_EQ(offset, current.first_offset + current.bytes.size()) << line;
      for (size_t j = 0; j < 16; ++j) {
        std::string token = line.substr(20 + 3 * j + (j >= 8 ? 2 : 0), 2);
        if (token == "  ") break;
        current.bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
        ++count;
      }
    }
    if (count < 16) {
      dumps.push_back(current);
      open = false;
    }
  }
  EXPECT_FALSE(open) << "dump without a closing line";
  return dumps;
}

// Hex digits as the command line takes them.
std::u16string HexArg(uint64_t value) {
  std::string text = Hex(value, 16);
  text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
  return U16(text);
}

const Fact* ValueFact(const TestVolume& volume, uint64_t record, const std::string& type, const std::string& id) {
  for (const Fact* fact : FactsOf(volume, "value", record))
    if (fact->fields[1] == type && fact->fields[2] == id) return fact;
  ADD_FAILURE() << volume.name << ": no value fact " << record << " " << type << " " << id;
  static const Fact kNone{"value", {"0", "0", "0", "-", "0", "", ""}};
  return &kNone;
}

std::string DumpSection(const TestVolume& volume, const std::string& path, std::vector<std::u16string> dump) {
  std::vector<std::u16string> arguments = {u"-f", Target(path), u"-d"};
  arguments.insert(arguments.end(), dump.begin(), dump.end());
  RunResult run = RunOn(volume, arguments);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  return Section(run.out, "Dump attribute:\n");
}

class DumpOnVolumes : public testing::OnCommittedVolumes {};

TEST_F(DumpOnVolumes, ResidentValueShorterThanTheWindowIsDumpedWhole) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\readme.txt");
    const Fact* value = ValueFact(volume, record, "128", "2");
    auto dumps = ParseDumps(DumpSection(volume, "\\readme.txt", {u"8"}));
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_TRUE(dumps[0].separated);
    EXPECT_EQ(dumps[0].first_offset, 0u);
    EXPECT_EQ(std::to_string(dumps[0].bytes.size()), value->fields[4]);
    EXPECT_EQ(Sha256Hex(dumps[0].bytes), value->fields[5]);
  }
}

TEST_F(DumpOnVolumes, NonResidentWindowsHoldTheBytesAtTheirOffset) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const std::string path = "\\data\\nonresident.bin";
    const uint64_t record = RecordOf(volume, path);
    const Fact* value = ValueFact(volume, record, "128", "2");
    ASSERT_EQ(value->fields[4], "40000");
    // The content is what the build script wrote.
    ASSERT_EQ(Sha256Hex(TextBlocks("nonresident.bin", 0, 40000)), value->fields[5]);

    auto first = ParseDumps(DumpSection(volume, path, {u"8"}));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_FALSE(first[0].separated);
    EXPECT_EQ(first[0].first_offset, 0u);
    EXPECT_EQ(first[0].bytes, TextBlocks("nonresident.bin", 0, 0x50));

    auto wide = ParseDumps(DumpSection(volume, path, {u"8", u"1F0", u"200"}));
    ASSERT_EQ(wide.size(), 1u);
    EXPECT_EQ(wide[0].first_offset, 0x1F0u);
    EXPECT_EQ(wide[0].bytes, TextBlocks("nonresident.bin", 0x1F0, 256));

    auto tail = ParseDumps(DumpSection(volume, path, {u"8", u"9C00"}));
    ASSERT_EQ(tail.size(), 1u);
    EXPECT_EQ(tail[0].first_offset, 0x9C00u);
    EXPECT_EQ(tail[0].bytes, TextBlocks("nonresident.bin", 0x9C00, 40000 - 0x9C00));

    // A window at or past the end of a non-resident value reads nothing.
    EXPECT_EQ(DumpSection(volume, path, {u"8", u"9C40"}), "");
    EXPECT_EQ(DumpSection(volume, path, {u"8", u"FFFFFFFFFFFFFFFF", u"10"}), "");
  }
}

TEST_F(DumpOnVolumes, ResidentStartAtTheEndPrintsSeparatorAndBlankLine) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\readme.txt");
    const uint64_t size = std::stoull(ValueFact(volume, record, "128", "2")->fields[4]);
    EXPECT_EQ(DumpSection(volume, "\\readme.txt", {u"8", HexArg(size)}), kSeparator + kBlankLine);
  }
}

TEST_F(DumpOnVolumes, EveryDataStreamIsDumpedInOrder) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\streams.txt");
    std::vector<const Fact*> streams;
    for (const Fact* fact : FactsOf(volume, "value", record))
      if (fact->fields[1] == "128") streams.push_back(fact);
    ASSERT_EQ(streams.size(), 4u);
    auto dumps = ParseDumps(DumpSection(volume, "\\streams.txt", {u"8"}));
    ASSERT_EQ(dumps.size(), streams.size());
    for (size_t i = 0; i < streams.size(); ++i) {
      SCOPED_TRACE(streams[i]->fields[3]);
      const bool resident = streams[i]->fields[6] == "resident";
      EXPECT_EQ(dumps[i].separated, resident);
      if (streams[i]->fields[3] == "beta") {
        EXPECT_FALSE(resident);
        EXPECT_EQ(dumps[i].bytes, TextBlocks("streams.txt:beta", 0, 0x50));
      } else {
        EXPECT_EQ(Sha256Hex(dumps[i].bytes), streams[i]->fields[5]);
      }
    }
  }
}

TEST_F(DumpOnVolumes, EmptyValueDumpsNothing) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    EXPECT_EQ(DumpSection(volume, "\\data\\empty.txt", {u"8"}), "");
  }
}

TEST_F(DumpOnVolumes, StandardInformationDefaultWindowHoldsTheSecurityId) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\security\\sd-basic.txt");
    auto secid = FactsOf(volume, "secid", record);
    ASSERT_EQ(secid.size(), 1u);
    std::string section = DumpSection(volume, "\\security\\sd-basic.txt", {u"1"});
    auto dumps = ParseDumps(section);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_TRUE(dumps[0].separated);
    ASSERT_EQ(dumps[0].bytes.size(), 0x48u);
    // Separator, four full lines, a closing line of eight bytes.
    EXPECT_EQ(std::count(section.begin(), section.end(), '\n'), 6);
    EXPECT_EQ(LeBytes(dumps[0].bytes).U32(0x34), std::stoul(secid[0]->fields[1]));
  }
}

TEST_F(DumpOnVolumes, WindowInTheLastExtentOfAValueSplitThroughTheAttributeList) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const std::string path = "\\frag\\fragmented.bin";
    const uint64_t record = RecordOf(volume, path);
    const Fact* value = ValueFact(volume, record, "128", "2");
    const uint64_t size = std::stoull(value->fields[4]);
    ASSERT_EQ(Sha256Hex(TextBlocks("fragmented.bin", 0, size)), value->fields[5]);
    auto dumps = ParseDumps(DumpSection(volume, path, {u"8", HexArg(size - 0x30)}));
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].first_offset, size - 0x30);
    EXPECT_EQ(dumps[0].bytes, TextBlocks("fragmented.bin", size - 0x30, 0x30));
  }
}

TEST_F(DumpOnVolumes, SparseHolesDumpAsZeros) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t cluster = std::stoull(volume.Facts("geometry").at(0)->Get("cluster"));
    const std::string path = "\\data\\sparse.bin";
    const Fact* value = ValueFact(volume, RecordOf(volume, path), "128", "2");
    // What the build script wrote: 16 clusters, text over clusters 3 and 4
    // and over 9 and half of 10, holes elsewhere.
    Bytes whole(16 * cluster);
    Bytes first = TextBlocks("sparse.bin", 3 * cluster, 2 * cluster);
    Bytes second = TextBlocks("sparse.bin", 9 * cluster, cluster + cluster / 2);
    std::copy(first.begin(), first.end(), whole.begin() + 3 * cluster);
    std::copy(second.begin(), second.end(), whole.begin() + 9 * cluster);
    ASSERT_EQ(Sha256Hex(whole), value->fields[5]);

    auto hole = ParseDumps(DumpSection(volume, path, {u"8", u"0", u"100"}));
    ASSERT_EQ(hole.size(), 1u);
    EXPECT_EQ(hole[0].bytes, Bytes(0x100, 0));
    auto across = ParseDumps(DumpSection(volume, path, {u"8", HexArg(3 * cluster - 0x20), u"40"}));
    ASSERT_EQ(across.size(), 1u);
    EXPECT_EQ(across[0].bytes, Bytes(whole.begin() + 3 * cluster - 0x20, whole.begin() + 3 * cluster + 0x20));
  }
}

}  // namespace
}  // namespace velmora::testing
