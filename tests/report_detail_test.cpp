// -v: the attribute header blocks and the decoded $STANDARD_INFORMATION,
// $FILE_NAME and $SECURITY_DESCRIPTOR values, on attribute records built
// inline and damaged copies of them.
#include <gtest/gtest.h>

#include <string>

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
      {owner, security_id, quota, usn}));
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
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
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
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
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
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
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
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
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
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(si)));
  EXPECT_TRUE(h.out.text().ends_with("IniSize       = 0000000000000048\n" + std::string(kSeparator) +
                                     "Standard Information:\n\tNONE\n"));
  h.out.clear();
  Bytes fn = NonResidentAttribute(0x30, 0x48);
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(fn)));
  EXPECT_TRUE(h.out.text().ends_with(std::string(kSeparator) + "File name :\n\tNONE\n"));
}

TEST(DetailBlocks, FileNameIsDecodedUnderItsTitle) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x30, FileNameValue(u"FILE~1.TXT", 2));
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
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
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
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
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(larger)));
  EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + "\tNONE\n"));
  EXPECT_EQ(h.err.text(), "");
}

TEST(SecurityDescriptorValue, MalformedDescriptorStopsWithOneDiagnosticLine) {
  ReportHarness h;
  Bytes value = Descriptor();
  value[0] = 2;  // revision
  Bytes record = ResidentAttribute(0x50, value);
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
  EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + "-----------------\n"
                                     "CLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n"));
  EXPECT_EQ(h.err.text(), "Security descriptor rendering stopped (status 0x80070057)\n");
}

TEST(SecurityDescriptorValue, TruncatedDescriptorKeepsTheLinesBeforeTheCut) {
  ReportHarness h;
  Bytes value = Descriptor();
  value.resize(value.size() - 1);  // the DACL's ACE loses its last byte
  Bytes record = ResidentAttribute(0x50, value);
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
  EXPECT_NE(h.out.text().find("Group    : S-1-5-32-544    \\\n"), std::string::npos);
  EXPECT_EQ(h.out.text().find("DACL ACE"), std::string::npos);
  EXPECT_EQ(h.err.text(), "Security descriptor rendering stopped (status 0x80070057)\n");
}

TEST(SecurityDescriptorValue, EmptyResidentValueIsHandedOnAndReportedMalformed) {
  ReportHarness h;
  Bytes record = ResidentAttribute(0x50, {});
  EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record)));
  EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + "-----------------\n"
                                     "CLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n"));
  EXPECT_EQ(h.err.text(), "Security descriptor rendering stopped (status 0x80070057)\n");
}

TEST(SecurityDescriptorValue, UnreadableOrEmptyNonResidentValuePrintsNone) {
  for (uint64_t size : {uint64_t{0}, uint64_t{0x100}, uint64_t{0x4001}, uint64_t{0x100000100}}) {
    ReportHarness h;
    Bytes record = NonResidentAttribute(0x50, size);
    EXPECT_TRUE(DetailVisitor(h.context, h.base, OpenAttribute(record))) << size;
    EXPECT_TRUE(h.out.text().ends_with(kSecurityTitle + "\tNONE\n")) << size;
    EXPECT_EQ(h.err.text(), "") << size;
  }
}

}  // namespace
}  // namespace velmora::testing
