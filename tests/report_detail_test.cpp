// -v: the attribute header blocks and the decoded $STANDARD_INFORMATION,
// $FILE_NAME and $SECURITY_DESCRIPTOR values, on attribute records built
// inline and damaged copies of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "reports/reports.h"
#include "tests/support/report_harness.h"

namespace velmora::testing {
namespace {

constexpr char kSeparator[] = "-----------------\n";

// A 72-byte $STANDARD_INFORMATION value whose every field differs.
Bytes StandardInformation72() {
  Bytes v(0x48);
  Put64(v, 0x00, 0x01D0000000000001ull);
  Put64(v, 0x08, 0x01D0000000000002ull);
  Put64(v, 0x10, 0x01D0000000000003ull);
  Put64(v, 0x18, 0x01D0000000000004ull);
  Put32(v, 0x20, 0x00000820);
  Put32(v, 0x24, 0x11111111);
  Put32(v, 0x28, 0x22222222);
  Put32(v, 0x2C, 0x33333333);
  Put32(v, 0x30, 0x44444444);
  Put32(v, 0x34, 0x00000101);
  Put64(v, 0x38, 0x5555555566666666ull);
  Put64(v, 0x40, 0x7777777788888888ull);
  return v;
}

std::string StandardInformationText(uint32_t owner, uint32_t security_id, uint64_t quota, uint64_t usn) {
  std::string text = std::string(kSeparator) +
                     "\tCreateTime       = 01D0000000000001\n"
                     "\tModificationTime = 01D0000000000002\n"
                     "\tChangeTime       = 01D0000000000003\n"
                     "\tAccessTime       = 01D0000000000004\n"
                     "\tPermission       = 00000820\n"
                     "\tMaxVersionNo     = 11111111\n"
                     "\tVersionNo        = 22222222\n"
                     "\tClassId          = 33333333\n";
  text += Utf16ToUtf8(Format(
      "\tOwnerId          = %08X\n\tSecurityId       = %08X\n\tQuotaCharged     = %016I64X\n\tUSN              = "
      "%016I64X\n",
      owner, security_id, quota, usn));
  return text;
}

TEST(StandardInformationValue, FullFormPrintsTheTwelveFieldsInOrder) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x10, StandardInformation72());
  EXPECT_TRUE(ShowStandardInformation(h.console, OpenAttribute(record)));
  EXPECT_EQ(h.out.text(), StandardInformationText(0x44444444, 0x101, 0x5555555566666666ull, 0x7777777788888888ull));
}

TEST(StandardInformationValue, ShortFormPrintsTheMissingFieldsAsZero) {
  ReportHarness h;
  Bytes value = StandardInformation72();
  value.resize(0x30);
  // Bytes behind the value inside the record must not be read.
  Bytes record = ResidentAttribute(0x10, value);
  record.insert(record.end(), 0x20, 0xEE);
  Put32(record, 0x04, static_cast<uint32_t>(record.size()));
  EXPECT_TRUE(ShowStandardInformation(h.console, OpenAttribute(record)));
  EXPECT_EQ(h.out.text(), StandardInformationText(0, 0, 0, 0));
}

TEST(StandardInformationValue, FieldHeldOnlyInPartPrintsAsZero) {
  ReportHarness h;
  Bytes value = StandardInformation72();
  value.resize(0x36);  // OwnerId whole, SecurityId half
  Bytes record = ResidentAttribute(0x10, value);
  EXPECT_TRUE(ShowStandardInformation(h.console, OpenAttribute(record)));
  EXPECT_EQ(h.out.text(), StandardInformationText(0x44444444, 0, 0, 0));
}

TEST(StandardInformationValue, RefusesOtherTypesNonResidentAndOversizedValues) {
  ReportHarness h;
  Bytes wrong_type = ResidentAttribute(0x30, StandardInformation72());
  EXPECT_FALSE(ShowStandardInformation(h.console, OpenAttribute(wrong_type)));
  Bytes non_resident = NonResidentAttribute(0x10, 0x48);
  EXPECT_FALSE(ShowStandardInformation(h.console, OpenAttribute(non_resident)));
  Bytes big = StandardInformation72();
  big.resize(0x4001);
  Bytes oversized = ResidentAttribute(0x10, big);
  EXPECT_FALSE(ShowStandardInformation(h.console, OpenAttribute(oversized)));
  EXPECT_EQ(h.out.text(), "");
  big.resize(0x4000);
  Bytes largest = ResidentAttribute(0x10, big);
  EXPECT_TRUE(ShowStandardInformation(h.console, OpenAttribute(largest)));
}

// A $FILE_NAME value naming `name` in the given name space.
Bytes FileNameValue(const std::u16string& name, uint8_t name_space) {
  Bytes v(0x42 + 2 * name.size());
  Put64(v, 0x00, 0x0005000000000005ull);
  Put64(v, 0x08, 0x01D1000000000001ull);
  Put64(v, 0x10, 0x01D1000000000002ull);
  Put64(v, 0x18, 0x01D1000000000003ull);
  Put64(v, 0x20, 0x01D1000000000004ull);
  Put64(v, 0x28, 0x3000);
  Put64(v, 0x30, 0x2345);
  Put32(v, 0x38, 0x00000020);
  Put32(v, 0x3C, 0xA000000C);
  v[0x40] = static_cast<uint8_t>(name.size());
  v[0x41] = name_space;
  for (size_t i = 0; i < name.size(); ++i) Put16(v, 0x42 + 2 * i, name[i]);
  return v;
}

std::string FileNameText(const std::string& length, const std::string& name_space, const std::string& name) {
  return std::string(kSeparator) +
         "\tParentRef        = 0005000000000005\n"
         "\tCreateTime       = 01D1000000000001\n"
         "\tModificationTime = 01D1000000000002\n"
         "\tChangeTime       = 01D1000000000003\n"
         "\tAccessTime       = 01D1000000000004\n"
         "\tAllocSize        = 0000000000003000\n"
         "\tRealSize         = 0000000000002345\n"
         "\tFlags            = 00000020\n"
         "\tER               = A000000C\n"
         "\tNameLength       = " +
         length + "\n\tNameSpace        = " + name_space + "\n\tName             = " + name + "\n";
}

TEST(FileNameValue, PrintsTheFieldsAndTheName) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x30, FileNameValue(u"Long file name.txt", 1));
  EXPECT_TRUE(ShowFileName(h.console, OpenAttribute(record)));
  EXPECT_EQ(h.out.text(), FileNameText("12", "01", "Long file name.txt"));
}

TEST(FileNameValue, NonAsciiNameComesThroughAsText) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x30, FileNameValue(u"\u6587\u4EF6\U0001F600", 0));
  EXPECT_TRUE(ShowFileName(h.console, OpenAttribute(record)));
  EXPECT_EQ(h.out.text(), FileNameText("04", "00", "\u6587\u4EF6\U0001F600"));
}

TEST(FileNameValue, NameReachingPastTheValuePrintsTheUnitsItHolds) {
  ReportHarness h;
  Bytes value = FileNameValue(u"ABCDEFGH", 3);
  value.resize(0x42 + 2 * 3 + 1);  // three whole units and half of the fourth
  Bytes record = ResidentAttribute(0x30, value);
  record.insert(record.end(), 0x10, 'Z');
  Put32(record, 0x04, static_cast<uint32_t>(record.size()));
  EXPECT_TRUE(ShowFileName(h.console, OpenAttribute(record)));
  EXPECT_EQ(h.out.text(), FileNameText("08", "03", "ABC"));
}

TEST(FileNameValue, ValueShorterThanItsFixedFieldsPrintsThemAsZero) {
  ReportHarness h;
  Bytes value = FileNameValue(u"ABC", 1);
  value.resize(0x3C);
  Bytes record = ResidentAttribute(0x30, value);
  EXPECT_TRUE(ShowFileName(h.console, OpenAttribute(record)));
  std::string expected = FileNameText("00", "00", "");
  expected.replace(expected.find("A000000C"), 8, "00000000");
  EXPECT_EQ(h.out.text(), expected);
}

TEST(FileNameValue, NameEndsAtItsFirstNulUnit) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x30, FileNameValue(std::u16string(u"ab\0cd", 5), 1));
  EXPECT_TRUE(ShowFileName(h.console, OpenAttribute(record)));
  EXPECT_EQ(h.out.text(), FileNameText("05", "01", "ab"));
}

TEST(FileNameValue, RefusesOtherTypesNonResidentAndOversizedValues) {
  ReportHarness h;
  Bytes wrong_type = ResidentAttribute(0x10, FileNameValue(u"a", 1));
  EXPECT_FALSE(ShowFileName(h.console, OpenAttribute(wrong_type)));
  Bytes non_resident = NonResidentAttribute(0x30, 0x44);
  EXPECT_FALSE(ShowFileName(h.console, OpenAttribute(non_resident)));
  Bytes big = FileNameValue(u"a", 1);
  big.resize(0x4001);
  Bytes oversized = ResidentAttribute(0x30, big);
  EXPECT_FALSE(ShowFileName(h.console, OpenAttribute(oversized)));
  EXPECT_EQ(h.out.text(), "");
}

// ---- DetailVisitor ---------------------------------------------------------

const std::string kCommonOfResidentData =
    std::string(kSeparator) +
    "Common attribute:\n\tType        = 00000080\n\tTotalSize   = 00000020\n\tNonResident = 00\n"
    "\tNameLength  = 00\n\tNameOffset  = 0018\n\tFlags       = 0000\n\tId          = 0003\n" +
    kSeparator + "Resident attribute:\n\tAttrSize    = 00000005\n\tAttrOffset  = 0018\n\tIndexedFlag = 00\n";

TEST(DetailBlocks, TypeWithoutDecoderPrintsOnlyTheHeaderBlocks) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x80, Bytes{1, 2, 3, 4, 5}, 3);
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  EXPECT_EQ(h.out.text(), kCommonOfResidentData);
}

TEST(DetailBlocks, HeaderFieldsComeFromTheirOwnOffsets) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x80, Bytes{1, 2, 3, 4, 5}, 0xBEEF);
  // Name "$X" behind the value, flags and indexed flag set.
  record.resize(0x28);
  Put32(record, 0x04, 0x28);
  record[0x09] = 2;
  Put16(record, 0x0A, 0x20);
  Put16(record, 0x0C, 0x4001);
  record[0x16] = 1;
  Put16(record, 0x20, u'$');
  Put16(record, 0x22, u'X');
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  EXPECT_EQ(h.out.text(),
            std::string(kSeparator) +
                "Common attribute:\n\tType        = 00000080\n\tTotalSize   = 00000028\n\tNonResident = 00\n"
                "\tNameLength  = 02\n\tNameOffset  = 0020\n\tFlags       = 4001\n\tId          = BEEF\n" +
                kSeparator + "Resident attribute:\n\tAttrSize    = 00000005\n\tAttrOffset  = 0018\n\tIndexedFlag = 01\n");
}

TEST(DetailBlocks, NonResidentAttributePrintsItsRunHeaderAndNoValue) {
  ReportHarness h;
  Bytes record = NonResidentAttribute(0x80, 0x12345, 4);
  Put64(record, 0x10, 0x10);
  Put64(record, 0x18, 0x22);
  Put16(record, 0x22, 4);
  Put64(record, 0x38, 0x12000);
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  EXPECT_EQ(h.out.text(),
            std::string(kSeparator) +
                "Common attribute:\n\tType        = 00000080\n\tTotalSize   = 00000048\n\tNonResident = 01\n"
                "\tNameLength  = 00\n\tNameOffset  = 0040\n\tFlags       = 0000\n\tId          = 0004\n" +
                kSeparator +
                "NonResident attribute:\n\tStartVCN      = 0000000000000010\n\tLastVCN       = 0000000000000022\n"
                "\tDataRunOffset = 0040\n\tCompUnitSize  = 0004\n\tAllocSize     = 0000000000013000\n"
                "\tRealSize      = 0000000000012345\n\tIniSize       = 0000000000012000\n");
}

TEST(DetailBlocks, StandardInformationIsDecodedUnderItsTitle) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x10, StandardInformation72());
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  const std::string& text = h.out.text();
  const std::string tail = std::string(kSeparator) + "Standard Information:\n" +
                           StandardInformationText(0x44444444, 0x101, 0x5555555566666666ull, 0x7777777788888888ull);
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_NE(text.find("Resident attribute:\n\tAttrSize    = 00000048\n"), std::string::npos);
}

TEST(DetailBlocks, UndecodableValuePrintsNoneAfterItsTitle) {
  ReportHarness h;
  Bytes si = NonResidentAttribute(0x10, 0x48);
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(si)), Walk::kContinue);
  EXPECT_TRUE(h.out.text().ends_with("IniSize       = 0000000000000048\n" + std::string(kSeparator) +
                                     "Standard Information:\n\tNONE\n"));
  h.out.clear();
  Bytes fn = NonResidentAttribute(0x30, 0x48);
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(fn)), Walk::kContinue);
  EXPECT_TRUE(h.out.text().ends_with(std::string(kSeparator) + "File name :\n\tNONE\n"));
}

TEST(DetailBlocks, FileNameIsDecodedUnderItsTitle) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x30, FileNameValue(u"FILE~1.TXT", 2));
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  EXPECT_TRUE(h.out.text().ends_with(std::string(kSeparator) + "File name :\n" +
                                     FileNameText("0A", "02", "FILE~1.TXT")));
}

// ---- $SECURITY_DESCRIPTOR values -------------------------------------------

// Owner S-1-5-18, group S-1-5-32-544, a DACL granting S-1-5-18 full control
// (inherited).
Bytes Descriptor() {
  Bytes d = {
      0x01, 0x00, 0x04, 0x80, 0x14, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x30, 0x00, 0x00, 0x00,
      // owner
      0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,
      // group
      0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,
      // DACL: revision 2, size 0x1C, one ACE
      0x02, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x00, 0x10, 0x14, 0x00, 0xFF, 0x01, 0x1F, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12,
      0x00, 0x00, 0x00};
  return d;
}

const std::string kDescriptorText =
    "-----------------\n"
    "CLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n"
    "Owner    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"
    "Group    : S-1-5-32-544    \\\n"
    "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 001F01FF 00 10\n";

const std::string kSecurityTitle = std::string(kSeparator) + "Security Descriptor :\n";

TEST(SecurityDescriptorValue, ResidentValueIsRendered) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x50, Descriptor());
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + kDescriptorText)) << h.out.text();
  EXPECT_EQ(h.err.text(), "");
}

TEST(SecurityDescriptorValue, ValueOf16KiBIsRenderedAndOneByteMoreIsNot) {
  ReportHarness h;
  Bytes value = Descriptor();
  value.resize(0x4000);
  Bytes record = ResidentAttribute(0x50, value);
  EXPECT_TRUE(ShowSecurityDescriptorAttribute(h.context, h.base, OpenAttribute(record)));
  EXPECT_EQ(h.out.text(), kDescriptorText);

  h.out.clear();
  value.resize(0x4001);
  Bytes larger = ResidentAttribute(0x50, value);
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(larger)), Walk::kContinue);
  EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + "\tNONE\n"));
  EXPECT_EQ(h.err.text(), "");
}

TEST(SecurityDescriptorValue, MalformedDescriptorStopsWithOneDiagnosticLine) {
  ReportHarness h;
  Bytes value = Descriptor();
  value[0] = 2;  // revision
  Bytes record = ResidentAttribute(0x50, value);
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + "-----------------\n"
                                     "CLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n"));
  EXPECT_EQ(h.err.text(), "Security descriptor rendering stopped (status 0x80070057)\n");
}

TEST(SecurityDescriptorValue, TruncatedDescriptorKeepsTheLinesBeforeTheCut) {
  ReportHarness h;
  Bytes value = Descriptor();
  value.resize(value.size() - 1);  // the DACL's ACE loses its last byte
  Bytes record = ResidentAttribute(0x50, value);
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  EXPECT_NE(h.out.text().find("Group    : S-1-5-32-544    \\\n"), std::string::npos);
  EXPECT_EQ(h.out.text().find("DACL ACE"), std::string::npos);
  EXPECT_EQ(h.err.text(), "Security descriptor rendering stopped (status 0x80070057)\n");
}

TEST(SecurityDescriptorValue, EmptyResidentValueIsHandedOnAndReportedMalformed) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x50, {});
  EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue);
  EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + "-----------------\n"
                                     "CLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n"));
  EXPECT_EQ(h.err.text(), "Security descriptor rendering stopped (status 0x80070057)\n");
}

TEST(SecurityDescriptorValue, UnreadableOrEmptyNonResidentValuePrintsNone) {
  for (uint64_t size : {uint64_t{0}, uint64_t{0x100}, uint64_t{0x4001}, uint64_t{0x100000100}}) {
    ReportHarness h;
    Bytes record = NonResidentAttribute(0x50, size);
    EXPECT_EQ(DetailVisitor(h.context, h.base, OpenAttribute(record)), Walk::kContinue) << size;
    EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + "\tNONE\n")) << size;
    EXPECT_EQ(h.err.text(), "") << size;
  }
}


// ---- Committed volumes -----------------------------------------------------

// The blocks -v printed, one per attribute, each as (label, value) pairs in
// order, with the titles seen ("Standard Information:" and so on).
struct DetailBlock {
  std::vector<std::pair<std::string, std::string>> fields;
  std::vector<std::string> titles;
  std::string text;
  // The value of the nth field with that label, or "<missing>".
  std::string Get(const std::string& label, int nth = 0) const {
    for (const auto& [name, value] : fields)
      if (name == label && nth-- == 0) return value;
    return "<missing>";
  }
};

std::vector<DetailBlock> ParseDetail(const std::string& section) {
  std::vector<DetailBlock> blocks;
  const std::string start = std::string(kSeparator) + "Common attribute:\n";
  size_t pos = section.find(start);
  if (!section.empty()) {
    EXPECT_EQ(pos, 0u) << section;
  }
  while (pos != std::string::npos) {
    size_t next = section.find(start, pos + 1);
    DetailBlock block;
    block.text = section.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    for (size_t at = 0; at < block.text.size();) {
      size_t end = block.text.find('\n', at);
      std::string line = block.text.substr(at, end - at);
      at = end + 1;
      size_t eq = line.find(" = ");
      if (!line.empty() && line[0] == '\t' && eq != std::string::npos) {
        std::string label = line.substr(1, eq - 1);
        label.erase(label.find_last_not_of(' ') + 1);
        block.fields.emplace_back(label, line.substr(eq + 3));
      } else if (!line.empty() && line.back() == ':') {
        block.titles.push_back(line);
      }
    }
    blocks.push_back(std::move(block));
    pos = next;
  }
  return blocks;
}

// A type that is none of 1 to 14 and 16 says so on stderr, how it was read.
std::string DetailSection(const TestVolume& volume, const std::string& path, const std::u16string& type,
                          const std::string& stderr_has = "") {
  RunResult run = RunOn(volume, {u"-f", Target(path), u"-v", type});
  EXPECT_EQ(run.exit_code, 0);
  if (stderr_has.empty()) {
    EXPECT_EQ(run.err, "");
  } else {
    EXPECT_NE(run.err.find(stderr_has), std::string::npos) << run.err;
  }
  return Section(run.out, "Show attribute:\n");
}

// FILETIME (100 ns since 1601-01-01 UTC) of a time as istat prints it,
// "2026-12-07 05:35:56.190165200".
uint64_t FileTime(const std::string& text) {
  int y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)), d = std::stoi(text.substr(8, 2));
  const int hh = std::stoi(text.substr(11, 2)), mm = std::stoi(text.substr(14, 2)), ss = std::stoi(text.substr(17, 2));
  const uint64_t ns = std::stoull(text.substr(20, 9));
  // Days since 1601-01-01 of a proleptic Gregorian date.
  y -= m <= 2;
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days_since_1970 = int64_t{era} * 146097 + doe - 719468;
  const uint64_t days = static_cast<uint64_t>(days_since_1970 + 134774);
  return ((days * 86400 + hh * 3600 + mm * 60 + ss) * 10000000) + ns / 100;
}

std::string Time(const std::string& text) { return Hex(FileTime(text), 16); }

TEST(IstatTime, ConvertsToFileTime) {
  // 1970-01-01 is 116444736000000000 in FILETIME.
  EXPECT_EQ(FileTime("1970-01-01 00:00:00.000000000"), 116444736000000000ull);
  EXPECT_EQ(FileTime("1601-01-01 00:00:00.000000100"), 1u);
  EXPECT_EQ(FileTime("2000-03-01 00:00:01.000000000") - FileTime("2000-02-28 00:00:00.000000000"),
            (2 * 86400 + 1) * 10000000ull);
}

// What istat printed for three files of c4k. The image hash ties the table
// to the image it came from: a rebuilt image has new times, and the test
// that uses the table is skipped until the table is refreshed from
// `istat c4k.img <record>`.
constexpr char kC4kImageSha256[] = "88dfb028cbeda98ab44420d778ce3f5d1bd335b475bf91ed67c98251057dddd8";
struct IstatTimes {
  const char* created;
  const char* modified;
  const char* mft_modified;
  const char* accessed;
};
struct IstatFile {
  const char* path;
  IstatTimes standard_information;
  // $FILE_NAME times by name, and istat's Allocated Size / Actual Size.
  std::vector<std::pair<std::string, IstatTimes>> names;
  uint64_t name_allocated;
  uint64_t name_actual;
};
const std::vector<IstatFile>& IstatC4k() {
  static const std::vector<IstatFile> files = {
      {"\\readme.txt",
       {"2026-12-07 06:17:18.983004300", "2026-12-07 06:17:18.986001300", "2026-12-07 06:17:18.986001300",
        "2026-12-07 06:17:18.983004300"},
       {{"readme.txt",
         {"2026-12-07 06:17:18.983004300", "2026-12-07 06:17:18.983004300", "2026-12-07 06:17:18.983004300",
          "2026-12-07 06:17:18.983004300"}}},
       24,
       0},
      {"\\security\\sd-basic.txt",
       {"2026-12-07 06:18:11.934289300", "2026-12-07 06:18:11.934369500", "2026-12-07 06:18:11.935725100",
        "2026-12-07 06:18:11.934289300"},
       {{"sd-basic.txt",
         {"2026-12-07 06:18:11.934289300", "2026-12-07 06:18:11.934289300", "2026-12-07 06:18:11.934289300",
          "2026-12-07 06:18:11.934289300"}}},
       24,
       0},
      {"\\Long File Name Document.txt",
       {"2026-12-07 06:17:25.995214700", "2026-12-07 06:17:25.995275200", "2026-12-07 06:17:25.996588000",
        "2026-12-07 06:17:25.995214700"},
       {{"LONGFI~1.TXT",
         {"2026-12-07 06:17:25.995214700", "2026-12-07 06:17:25.995275200", "2026-12-07 06:17:25.995275200",
          "2026-12-07 06:17:25.995214700"}},
        {"Long File Name Document.txt",
         {"2026-12-07 06:17:25.995214700", "2026-12-07 06:17:25.995275200", "2026-12-07 06:17:25.996588000",
          "2026-12-07 06:17:25.995214700"}}},
       32,
       30},
  };
  return files;
}

void ExpectTimes(const DetailBlock& block, const IstatTimes& times) {
  EXPECT_EQ(block.Get("CreateTime"), Time(times.created));
  EXPECT_EQ(block.Get("ModificationTime"), Time(times.modified));
  EXPECT_EQ(block.Get("ChangeTime"), Time(times.mft_modified));
  EXPECT_EQ(block.Get("AccessTime"), Time(times.accessed));
}

// The parent reference a $FILE_NAME carries: sequence number and record.
std::string ParentRef(const TestVolume& volume, const std::string& parent_path) {
  const uint64_t record = RecordOf(volume, parent_path);
  auto facts = FactsOf(volume, "record", record);
  EXPECT_EQ(facts.size(), 1u);
  const uint64_t sequence = facts.empty() ? 0 : std::stoull(facts[0]->Get("seq"));
  return Hex((sequence << 48) | record, 16);
}

// The default descriptor ntfs-3g gives a file (icat c4k.img 71-80-1):
// owner and group BUILTIN\Administrators, one ACE granting Everyone full
// control, inherited by files and directories.
const Bytes kDefaultDescriptor = {
    0x01, 0x00, 0x04, 0x80, 0x14, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x34, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00,
    0x20, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00,
    0x20, 0x02, 0x00, 0x00, 0x02, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x14, 0x00,
    0xFF, 0x01, 0x1F, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
const std::string kDefaultDescriptorText =
    "-----------------\n"
    "CLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n"
    "Owner    : S-1-5-32-544    \\\n"
    "Group    : S-1-5-32-544    \\\n"
    "DACL ACE : S-1-1-0    \\ 001F01FF 00 03\n";

class DetailOnVolumes : public testing::OnCommittedVolumes {};

TEST_F(DetailOnVolumes, ShortStandardInformationPrintsTheLaterFieldsAsZero) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    auto blocks = ParseDetail(DetailSection(volume, "\\readme.txt", u"1"));
    ASSERT_EQ(blocks.size(), 1u);
    const DetailBlock& b = blocks[0];
    EXPECT_EQ(b.titles, (std::vector<std::string>{"Common attribute:", "Resident attribute:", "Standard Information:"}));
    EXPECT_EQ(b.Get("Type"), "00000010");
    EXPECT_EQ(b.Get("NonResident"), "00");
    EXPECT_EQ(b.Get("NameLength"), "00");
    EXPECT_EQ(b.Get("Id"), "0000");
    EXPECT_EQ(b.Get("AttrSize"), "00000030");  // istat: size 48
    EXPECT_EQ(b.Get("Permission"), "00000020");  // istat: Archive
    for (const char* zero : {"MaxVersionNo", "VersionNo", "ClassId", "OwnerId", "SecurityId"})
      EXPECT_EQ(b.Get(zero), "00000000") << zero;
    EXPECT_EQ(b.Get("QuotaCharged"), "0000000000000000");
    EXPECT_EQ(b.Get("USN"), "0000000000000000");
    EXPECT_EQ(b.fields.size(), 7u + 3 + 12);
  }
}

TEST_F(DetailOnVolumes, FullStandardInformationCarriesTheSecurityId) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    auto secids = volume.Facts("secid");
    ASSERT_FALSE(secids.empty());
    for (const Fact* secid : secids) {
      std::string path;
      for (const Fact* fact : FactsOf(volume, "path", std::stoull(secid->fields[0]))) path = fact->fields[2];
      SCOPED_TRACE(path);
      auto blocks = ParseDetail(DetailSection(volume, path, u"1"));
      ASSERT_EQ(blocks.size(), 1u);
      EXPECT_EQ(blocks[0].Get("AttrSize"), "00000048");  // istat: size 72
      EXPECT_EQ(blocks[0].Get("SecurityId"), Hex(std::stoul(secid->fields[1]), 8));
      EXPECT_EQ(blocks[0].Get("OwnerId"), "00000000");
    }
  }
}

TEST_F(DetailOnVolumes, TimesAreTheRawFileTimesIstatShows) {
  if (std::find(names_.begin(), names_.end(), "c4k") == names_.end()) GTEST_SKIP() << "no c4k volume";
  const TestVolume& volume = LoadVolume("c4k");
  if (Sha256Hex(volume.image) != kC4kImageSha256)
    GTEST_SKIP() << "c4k was rebuilt: refresh IstatC4k() and kC4kImageSha256 from istat";
  for (const IstatFile& file : IstatC4k()) {
    SCOPED_TRACE(file.path);
    auto si = ParseDetail(DetailSection(volume, file.path, u"1"));
    ASSERT_EQ(si.size(), 1u);
    ExpectTimes(si[0], file.standard_information);

    auto names = ParseDetail(DetailSection(volume, file.path, u"3"));
    ASSERT_EQ(names.size(), file.names.size());
    for (const auto& [name, times] : file.names) {
      SCOPED_TRACE(name);
      auto it = std::find_if(names.begin(), names.end(), [&](const DetailBlock& b) { return b.Get("Name") == name; });
      ASSERT_NE(it, names.end());
      ExpectTimes(*it, times);
      EXPECT_EQ(it->Get("AllocSize"), Hex(file.name_allocated, 16));
      EXPECT_EQ(it->Get("RealSize"), Hex(file.name_actual, 16));
      EXPECT_EQ(it->Get("Flags", 1), "00000020");  // istat: Archive
    }
  }
}

TEST_F(DetailOnVolumes, LongAndShortNameEachGetABlock) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    for (const Fact* fact : volume.Facts("short")) {
      const uint64_t record = std::stoull(fact->fields[0]);
      const std::string& short_path = fact->fields[1];
      const size_t cut = short_path.rfind('\\');
      const std::string parent = cut == 0 ? "\\" : short_path.substr(0, cut);
      std::string long_path;
      for (const Fact* p : FactsOf(volume, "path", record)) long_path = p->fields[2];
      SCOPED_TRACE(long_path);
      auto blocks = ParseDetail(DetailSection(volume, long_path, u"3"));
      ASSERT_EQ(blocks.size(), 2u);
      std::map<std::string, const DetailBlock*> by_space;
      for (const DetailBlock& b : blocks) {
        EXPECT_EQ(b.Get("Type"), "00000030");
        EXPECT_EQ(b.Get("ParentRef"), ParentRef(volume, parent));
        by_space[b.Get("NameSpace")] = &b;
      }
      ASSERT_EQ(by_space.count("01"), 1u);  // Win32
      ASSERT_EQ(by_space.count("02"), 1u);  // DOS
      const std::string short_name = short_path.substr(cut + 1);
      const std::string long_name = long_path.substr(long_path.rfind('\\') + 1);
      EXPECT_EQ(by_space["02"]->Get("Name"), short_name);
      EXPECT_EQ(by_space["02"]->Get("NameLength", 1), Hex(short_name.size(), 2));
      EXPECT_EQ(by_space["01"]->Get("Name"), long_name);
      EXPECT_EQ(by_space["01"]->Get("NameLength", 1), Hex(U16(long_name).size(), 2));
    }
  }
}

TEST_F(DetailOnVolumes, EveryHardLinkNameGetsABlockWithItsParent) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    for (const std::string& path : {std::string("\\links\\original.txt"), std::string("\\manylinks\\base.txt")}) {
      SCOPED_TRACE(path);
      const uint64_t record = RecordOf(volume, path);
      std::multiset<std::pair<std::string, std::string>> expected;  // (name, parent reference)
      for (const Fact* fact : FactsOf(volume, "path", record)) {
        const std::string& p = fact->fields[2];
        const size_t cut = p.rfind('\\');
        expected.emplace(p.substr(cut + 1), ParentRef(volume, cut == 0 ? "\\" : p.substr(0, cut)));
      }
      size_t file_name_attributes = 0;
      for (const Fact* fact : FactsOf(volume, "attr", record)) file_name_attributes += fact->fields[1] == "48";
      ASSERT_EQ(expected.size(), file_name_attributes);
      std::multiset<std::pair<std::string, std::string>> shown;
      for (const DetailBlock& b : ParseDetail(DetailSection(volume, path, u"3"))) {
        EXPECT_EQ(b.Get("NameSpace"), "00");  // ntfs-3g names files in the POSIX space
        shown.emplace(b.Get("Name"), b.Get("ParentRef"));
      }
      EXPECT_EQ(shown, expected);
    }
  }
}

TEST_F(DetailOnVolumes, EveryDataStreamGetsABlockAndNoDecodedValue) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\streams.txt");
    std::vector<const Fact*> streams;
    for (const Fact* fact : FactsOf(volume, "value", record))
      if (fact->fields[1] == "128") streams.push_back(fact);
    auto blocks = ParseDetail(DetailSection(volume, "\\streams.txt", u"8"));
    ASSERT_EQ(blocks.size(), streams.size());
    for (size_t i = 0; i < streams.size(); ++i) {
      const Fact& v = *streams[i];
      SCOPED_TRACE(v.fields[3]);
      const DetailBlock& b = blocks[i];
      EXPECT_EQ(b.Get("Type"), "00000080");
      EXPECT_EQ(b.Get("Id"), Hex(std::stoul(v.fields[2]), 4));
      EXPECT_EQ(b.Get("NameLength"), Hex(v.fields[3] == "-" ? 0 : U16(v.fields[3]).size(), 2));
      const uint64_t size = std::stoull(v.fields[4]);
      if (v.fields[6] == "resident") {
        EXPECT_EQ(b.Get("NonResident"), "00");
        EXPECT_EQ(b.Get("AttrSize"), Hex(size, 8));
        EXPECT_EQ(b.titles.back(), "Resident attribute:");
      } else {
        EXPECT_EQ(b.Get("NonResident"), "01");
        EXPECT_EQ(b.Get("StartVCN"), "0000000000000000");
        EXPECT_EQ(b.Get("RealSize"), Hex(size, 16));
        EXPECT_EQ(b.Get("IniSize"), Hex(size, 16));
        EXPECT_EQ(b.titles.back(), "NonResident attribute:");
      }
    }
  }
}

// The first extents of the $DATA attributes the attribute list of record
// names, in list order: (instance, name).
std::vector<std::pair<uint32_t, std::string>> ListedDataAttributes(const TestVolume& volume, uint64_t record) {
  std::vector<std::pair<uint32_t, std::string>> out;
  for (const Fact* fact : FactsOf(volume, "listentry", record))
    if (fact->fields[1] == "128" && fact->fields[4] == "0") out.emplace_back(std::stoul(fact->fields[2]), fact->fields[5]);
  return out;
}

std::string NameLengthOf(const std::string& name) { return Hex(name == "-" ? 0 : U16(name).size(), 2); }

TEST_F(DetailOnVolumes, AttributesFoundThroughTheAttributeListAreVisitedOnceInListOrder) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\manystreams.txt");
    ASSERT_EQ(FactsOf(volume, "attrlist", record).size(), 1u);
    std::vector<std::pair<std::string, std::string>> expected;  // (Id, NameLength)
    for (const auto& [instance, stream] : ListedDataAttributes(volume, record))
      expected.emplace_back(Hex(instance, 4), NameLengthOf(stream));
    ASSERT_EQ(expected.size(), 33u);
    std::vector<std::pair<std::string, std::string>> shown;
    for (const DetailBlock& b : ParseDetail(DetailSection(volume, "\\manystreams.txt", u"8")))
      shown.emplace_back(b.Get("Id"), b.Get("NameLength"));
    EXPECT_EQ(shown, expected);
  }
}

TEST_F(DetailOnVolumes, ValueSplitOverExtentsIsVisitedOnceFromItsFirstExtent) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\frag\\fragmented.bin");
    std::string size;
    for (const Fact* fact : FactsOf(volume, "value", record))
      if (fact->fields[1] == "128") size = fact->fields[4];
    auto blocks = ParseDetail(DetailSection(volume, "\\frag\\fragmented.bin", u"8"));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].Get("StartVCN"), "0000000000000000");
    EXPECT_EQ(blocks[0].Get("RealSize"), Hex(std::stoull(size), 16));
  }
}

TEST_F(DetailOnVolumes, SecurityDescriptorValueIsRendered) {
  ASSERT_EQ(Sha256Hex(kDefaultDescriptor), "88785f28771c13a1864fcce4855fe643cabee773a89dfe9fe7e98dfea7686305");
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\readme.txt");
    for (const Fact* fact : FactsOf(volume, "value", record))
      if (fact->fields[1] == "80") {
        EXPECT_EQ(fact->fields[5], Sha256Hex(kDefaultDescriptor));
      }
    auto blocks = ParseDetail(DetailSection(volume, "\\readme.txt", u"5"));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].Get("AttrSize"), "00000050");
    EXPECT_TRUE(blocks[0].text.ends_with(std::string(kSeparator) + "Security Descriptor :\n" + kDefaultDescriptorText))
        << blocks[0].text;
    // A non-resident value, in a file with an attribute list.
    const uint64_t many = RecordOf(volume, "\\manystreams.txt");
    for (const Fact* fact : FactsOf(volume, "value", many))
      if (fact->fields[1] == "80") {
        EXPECT_EQ(fact->fields[5], Sha256Hex(kDefaultDescriptor));
      }
    auto non_resident = ParseDetail(DetailSection(volume, "\\manystreams.txt", u"5"));
    ASSERT_EQ(non_resident.size(), 1u);
    EXPECT_EQ(non_resident[0].Get("NonResident"), "01");
    EXPECT_EQ(non_resident[0].Get("RealSize"), "0000000000000050");
    EXPECT_TRUE(non_resident[0].text.ends_with(std::string(kSeparator) + "Security Descriptor :\n" +
                                               kDefaultDescriptorText))
        << non_resident[0].text;
    // Files whose descriptor lives in $Secure have no such attribute.
    EXPECT_EQ(DetailSection(volume, "\\security\\sd-basic.txt", u"5"), "");
  }
}

TEST_F(DetailOnVolumes, TypeTheFileLacksPrintsNothing) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    EXPECT_EQ(DetailSection(volume, "\\readme.txt", u"16"), "");
    EXPECT_EQ(DetailSection(volume, "\\readme.txt", u"10"), "");
  }
}

TEST_F(DetailOnVolumes, InvalidTypeListsEveryAttributeOfTheBaseRecord) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint64_t record = RecordOf(volume, "\\readme.txt");
    std::vector<std::string> expected;
    for (const Fact* fact : FactsOf(volume, "attr", record)) expected.push_back(Hex(std::stoul(fact->fields[1]), 8));
    ASSERT_EQ(expected, (std::vector<std::string>{"00000010", "00000030", "00000050", "00000080"}));
    for (const char16_t* type : {u"17", u"15", u"0", u"4096"}) {
      SCOPED_TRACE(Utf16ToUtf8(type));
      auto blocks = ParseDetail(DetailSection(volume, "\\readme.txt", type, "read as 0, every attribute\n"));
      std::vector<std::string> shown;
      for (const DetailBlock& b : blocks) shown.push_back(b.Get("Type"));
      EXPECT_EQ(shown, expected);
      ASSERT_EQ(blocks.size(), 4u);
      EXPECT_EQ(blocks[0].titles.back(), "Standard Information:");
      EXPECT_EQ(blocks[1].titles.back(), "File name :");
      EXPECT_EQ(blocks[1].Get("Name"), "readme.txt");
      EXPECT_EQ(blocks[2].titles.back(), "Security Descriptor :");
      EXPECT_EQ(blocks[3].titles.back(), "Resident attribute:");
    }
    // Through an attribute list no entry matches an invalid type.
    EXPECT_EQ(DetailSection(volume, "\\manystreams.txt", u"17", "no attribute type is 17"), "");
  }
}

TEST_F(DetailOnVolumes, IndexRootHasHeaderBlocksOnly) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    auto blocks = ParseDetail(DetailSection(volume, "\\data", u"9"));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].Get("Type"), "00000090");
    EXPECT_EQ(blocks[0].Get("NameLength"), "04");  // $I30
    EXPECT_EQ(blocks[0].titles, (std::vector<std::string>{"Common attribute:", "Resident attribute:"}));
  }
}


// An attribute list entry (type 0x80) for the named stream: name length at
// 0x06, name offset 0x1A, file reference at 0x10, instance at 0x18.
size_t ListEntryOffset(const Bytes& image, const std::u16string& stream) {
  Bytes name;
  for (char16_t c : stream) {
    name.push_back(static_cast<uint8_t>(c));
    name.push_back(static_cast<uint8_t>(c >> 8));
  }
  LeBytes bytes(image);
  for (auto at = image.begin(); (at = std::search(at, image.end(), name.begin(), name.end())) != image.end(); ++at) {
    const size_t entry = static_cast<size_t>(at - image.begin()) - 0x1A;
    if (bytes.U32(entry) == 0x80 && bytes.U8(entry + 6) == stream.size() && bytes.U8(entry + 7) == 0x1A &&
        bytes.U64(entry + 8) == 0)
      return entry;
  }
  ADD_FAILURE() << "no attribute list entry for " << Utf16ToUtf8(stream);
  return 0;
}

TEST_F(DetailOnVolumes, AttributeListNamingOneAttributeTwiceShowsItOnceAndSaysSo) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    Bytes image = volume.image;
    // The entry of stream-02 is made to name the attribute stream-01's names.
    const size_t first = ListEntryOffset(image, u"stream-01");
    const size_t second = ListEntryOffset(image, u"stream-02");
    std::copy(image.begin() + first + 0x10, image.begin() + first + 0x1A, image.begin() + second + 0x10);

    FakePlatform platform;
    platform.AddVolume(u'C', image);
    RunResult run = RunVelmora(platform, {u"-f", u"C:\\manystreams.txt", u"-v", u"8", u"-e"});
    EXPECT_EQ(run.exit_code, 0);
    // Every $DATA is shown once, the one named twice too, and the walk goes
    // on past the repeat; stderr names it.
    auto listed = ListedDataAttributes(volume, RecordOf(volume, "\\manystreams.txt"));
    std::vector<std::string> expected;
    for (const auto& [id, stream] : listed) {
      if (stream != "stream-02") expected.push_back(Hex(id, 4));
    }
    std::vector<std::string> shown;
    for (const DetailBlock& b : ParseDetail(Section(run.out, "Show attribute:\n"))) shown.push_back(b.Get("Id"));
    EXPECT_EQ(shown, expected);
    EXPECT_NE(run.err.find("twice; repeated entries passed over"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("=====================\nThe first unused file record reference :\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace velmora::testing
