// -d: the hex dump lines and the window the dump visitor takes of a value.
#include <gtest/gtest.h>

#include <string>

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
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{}));
  Bytes value = StandardInformationValue();
  EXPECT_EQ(h.out.text(), kSeparator + Dump(value));
  EXPECT_EQ(h.out.text().substr(18, 22), "0000000000000000    53");
  EXPECT_TRUE(h.err.text().empty());
}

TEST(DumpWindow, StartOffsetLabelsTheFirstLineAndTakesBytesFromThere) {
  ReportHarness h;
  Bytes value = Counting(0x48);
  Bytes record = ResidentAttribute(0x80, value);
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0x10, 0x20}));
  EXPECT_EQ(h.out.text(), kSeparator + Dump(Bytes(value.begin() + 0x10, value.begin() + 0x30), 0x10));
  EXPECT_EQ(h.out.text().substr(18, 23), "0000000000000010    10 ");
}

TEST(DumpWindow, WindowEndsAtTheValueEnd) {
  ReportHarness h;
  Bytes value = Counting(0x48);
  Bytes record = ResidentAttribute(0x80, value);
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0x40, 0x50}));
  EXPECT_EQ(h.out.text(), kSeparator + Dump(Bytes(value.begin() + 0x40, value.end()), 0x40));
}

TEST(DumpWindow, RangeOver256DumpsOnly256Bytes) {
  ReportHarness h;
  Bytes value = Counting(300);
  Bytes record = ResidentAttribute(0x80, value);
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0, 0x200}));
  EXPECT_EQ(h.out.text(), kSeparator + Dump(Bytes(value.begin(), value.begin() + 256)));
  // Sixteen full lines and a closing line of spaces.
  EXPECT_EQ(h.out.text().size(), 18u + 16 * 89 + 83);
}

TEST(DumpWindow, RangeOver256FromAnOffsetStillStopsAt256) {
  ReportHarness h;
  Bytes value = Counting(600);
  Bytes record = ResidentAttribute(0x80, value);
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0x100, 0xFFFFFFFF}));
  EXPECT_EQ(h.out.text(), kSeparator + Dump(Bytes(value.begin() + 0x100, value.begin() + 0x200), 0x100));
}

TEST(DumpWindow, StartAtOrPastTheEndOfAResidentValuePrintsSeparatorAndBlankLine) {
  for (uint64_t start : {uint64_t{0x48}, uint64_t{0x49}, uint64_t{0x1000}, ~uint64_t{0}}) {
    ReportHarness h;
    Bytes record = ResidentAttribute(0x80, Counting(0x48));
    EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{start, 0x50})) << start;
    EXPECT_EQ(h.out.text(), kSeparator + kBlankLine) << start;
  }
}

TEST(DumpWindow, StartNearTheTopOfTheRangeDoesNotWrap) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x80, Counting(0x48));
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{~uint64_t{0} - 0x10, 0x50}));
  EXPECT_EQ(h.out.text(), kSeparator + kBlankLine);
}

TEST(DumpWindow, EmptyValueStopsTheEnumerationAndPrintsNothing) {
  ReportHarness h;
  Bytes resident = ResidentAttribute(0x80, {});
  EXPECT_FALSE(DumpVisitor(h.context, h.base, OpenAttribute(resident), DumpRange{}));
  Bytes non_resident = NonResidentAttribute(0x80, 0);
  EXPECT_FALSE(DumpVisitor(h.context, h.base, OpenAttribute(non_resident), DumpRange{}));
  EXPECT_EQ(h.out.text(), "");
}

TEST(DumpWindow, UnreadableNonResidentValuePrintsNothingAndGoesOn) {
  ReportHarness h;
  Bytes record = NonResidentAttribute(0x80, 0x2000);
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{}));
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{0x3000, 0x10}));
  EXPECT_EQ(h.out.text(), "");
}

TEST(DumpWindow, OutputIsSingleByteText) {
  // A byte above 0x7F must not become a multi-byte sequence.
  ReportHarness h;
  Bytes record = ResidentAttribute(0x80, Bytes{0xE9, 0xFF, 0x80});
  EXPECT_TRUE(DumpVisitor(h.context, h.base, OpenAttribute(record), DumpRange{}));
  for (char c : h.out.text()) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
  EXPECT_NE(h.out.text().find("E9 FF 80 "), std::string::npos);
}

}  // namespace
}  // namespace velmora::testing
