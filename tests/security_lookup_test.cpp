// -s: the $SII comparator and visitor on inline entries, and the lookup on
// the committed test volumes.
#include "ntfs/secure.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "base/bytes.h"

#include "reports/reports.h"
#include "tests/support/report_harness.h"

namespace velmora::testing {
namespace {





SecurityIdQuery Query(uint32_t id) {
  SecurityIdQuery query;
  query.security_id = id;
  return query;
}

Bytes Key(uint32_t id) {
  Bytes key(4);
  Put32(key, 0, id);
  return key;
}

// A $SII entry as NTFS writes it: data offset 20, data length 20, entry
// length 40 (48 with a sub-node VCN), key length 4, the key, then a copy of
// the $SDS entry header.
Bytes SiiEntry(uint32_t id, uint64_t sds_offset, uint32_t sds_length, bool sub_node = false) {
  Bytes e(sub_node ? 0x30 : 0x28);
  Put16(e, 0x00, 0x14);
  Put16(e, 0x02, 0x14);
  Put16(e, 0x08, static_cast<uint16_t>(e.size()));
  Put16(e, 0x0A, 4);
  e[0x0C] = sub_node ? 1 : 0;
  Put32(e, 0x10, id);
  Put32(e, 0x14, 0xDEADBEEF);  // hash
  Put32(e, 0x18, id);
  Put64(e, 0x1C, sds_offset);
  Put32(e, 0x24, sds_length);
  if (sub_node) Put64(e, 0x28, 7);
  return e;
}

TEST(SecurityIdComparator, SignTellsWhereTheEntrySortsAgainstTheIdSought) {
  EXPECT_EQ(CompareSecurityId(Key(0x105), Query(0x105)), std::strong_ordering::equal);
  EXPECT_EQ(CompareSecurityId(Key(0x104), Query(0x105)), std::strong_ordering::less);
  EXPECT_EQ(CompareSecurityId(Key(0x106), Query(0x105)), std::strong_ordering::greater);
  EXPECT_EQ(CompareSecurityId(Key(0x100), Query(0x7FFFFFFF)), std::strong_ordering::less);
  EXPECT_EQ(CompareSecurityId(Key(0xFFFFFFF0), Query(0x80000000)), std::strong_ordering::greater);
  // Keys above 0xFFFF compare on all 32 bits.
  EXPECT_EQ(CompareSecurityId(Key(0x00010100), Query(0x00020100)), std::strong_ordering::less);
  EXPECT_EQ(CompareSecurityId(Key(0x00020100), Query(0x00010101)), std::strong_ordering::greater);
}

TEST(SecurityIdComparator, ShortKeyCountsAsZeroAndIsNotReadPast) {
  Bytes key = {0x05, 0x01, 0x00};
  EXPECT_EQ(CompareSecurityId(std::span<const uint8_t>(key), Query(0x105)), std::strong_ordering::less);
  EXPECT_EQ(CompareSecurityId({}, Query(0x105)), std::strong_ordering::less);
}

TEST(SecurityIdVisitor, MatchingEntryGivesTheSdsPositionAndStopsTheWalk) {
  SecurityIdQuery query = Query(0x107);
  Bytes entry = SiiEntry(0x107, 0x40123, 0x98);
  EXPECT_EQ(MatchSecurityId(entry, query), Walk::kStop);
  EXPECT_TRUE(query.found);
  EXPECT_EQ(query.sds_offset, 0x40123u);
  EXPECT_EQ(query.entry_length, 0x98u);
  EXPECT_EQ(query.security_id, 0x107u);
}

TEST(SecurityIdVisitor, EntryWithSubNodeIsReadTheSameWay) {
  SecurityIdQuery query = Query(0x1234);
  Bytes entry = SiiEntry(0x1234, 0x123456789ull, 0x40000, /*sub_node=*/true);
  EXPECT_EQ(MatchSecurityId(entry, query), Walk::kStop);
  EXPECT_TRUE(query.found);
  EXPECT_EQ(query.sds_offset, 0x123456789ull);
  EXPECT_EQ(query.entry_length, 0x40000u);
}

TEST(SecurityIdVisitor, OtherIdsLeaveTheQueryAloneAndGoOn) {
  SecurityIdQuery query = Query(0x107);
  Bytes entry = SiiEntry(0x108, 0x40123, 0x98);
  // The copy of the id in the data must not be taken for the key.
  Put32(entry, 0x18, 0x107);
  EXPECT_EQ(MatchSecurityId(entry, query), Walk::kContinue);
  EXPECT_FALSE(query.found);
  EXPECT_EQ(query.sds_offset, 0u);
  EXPECT_EQ(query.entry_length, 0u);
}

TEST(SecurityIdVisitor, EntryTooShortForTheSdsPositionIsPassedOver) {
  SecurityIdQuery query = Query(0x107);
  Bytes entry = SiiEntry(0x107, 0x40123, 0x98);
  entry.resize(0x27);
  EXPECT_EQ(MatchSecurityId(entry, query), Walk::kContinue);
  EXPECT_FALSE(query.found);
}

TEST(SecurityIdLookup, IdsBelow100HexFailBeforeAnyRead) {
  ReportHarness h;
  for (uint32_t id : {0u, 1u, 0xFFu}) EXPECT_FALSE(ShowSecurityDescriptorById(h.context, id));
  EXPECT_EQ(h.platform.opens, 0u);
  EXPECT_EQ(h.out.text(), "");
}

TEST(SecurityIdLookup, UnreadableVolumeFailsSayingWhy) {
  ReportHarness h;
  EXPECT_FALSE(ShowSecurityDescriptorById(h.context, 0x100));
  EXPECT_EQ(h.out.text(), "");
  EXPECT_EQ(h.err.text(), "security id 0x100: $Secure: record 0x9: cannot be read: the boot sector gives no usable "
                          "cluster or record size\n");
}

TEST(SecurityDescriptorReport, MalformedDescriptorGivesOneStatusLineOnStandardError) {
  ReportHarness h;
  ReportSecurityDescriptor(h.context, Bytes{0x02, 0x00, 0x04, 0x80});
  EXPECT_EQ(h.out.text(),
            "-----------------\nCLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n");
  EXPECT_EQ(h.err.text(), "Security descriptor rendering stopped (status 0x80070057)\n");
}


// ---- Committed volumes -----------------------------------------------------

const std::string kHeader =
    "-----------------\nCLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n";

// The lines each descriptor of \security must print, worked out by hand from
// the descriptors tools/volume_fill.py sets (the test platform names only
// S-1-5-18).
const std::map<std::string, std::string>& ExpectedDescriptorLines() {
  static const std::map<std::string, std::string> lines = {
      {"sd-basic.txt",
       "Owner    : S-1-5-32-544    \\\n"
       "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"
       "DACL ACE : S-1-5-32-544    \\ 001F01FF 00 00\n"
       "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 001F01FF 00 00\n"
       "DACL ACE : S-1-5-32-545    \\ 001200A9 00 00\n"},
      {"sd-sacl.txt",
       "Owner    : S-1-5-32-544    \\\n"
       "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"
       "SACL ACE : S-1-1-0    \\ 001F01FF 02 C0\n"
       "SACL ACE : S-1-5-11    \\ 00010000 02 40\n"
       "SACL ACE : S-1-16-12288    \\ 00000001 02 00\n"
       "DACL ACE : S-1-5-32-544    \\ 001F01FF 00 00\n"
       "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 001F01FF 00 00\n"
       "DACL ACE : S-1-5-32-545    \\ 001200A9 00 00\n"},
      {"sd-object.txt",
       "Owner    : S-1-5-32-544    \\\n"
       "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"
       "SACL ACE : S-1-1-0    \\ 00000020 07 C0\n"
       "DACL ACE : S-1-5-32-544    \\ 001F01FF 00 00\n"
       "DACL ACE : S-1-5-11    \\ 00000100 05 00\n"
       "DACL ACE : S-1-5-32-545    \\ 00000030 05 02\n"
       "DACL ACE : S-1-1-0    \\ 00000008 06 00\n"
       "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 00000010 05 00\n"},
      {"sd-inherited.txt",
       "Owner    : S-1-5-32-544    \\\n"
       "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"
       "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 001F01FF 00 10\n"
       "DACL ACE : S-1-5-32-544    \\ 001F01FF 00 13\n"
       "DACL ACE : S-1-5-32-545    \\ 00010000 01 1B\n"
       "DACL ACE : S-1-3-0    \\ 10000000 00 1B\n"},
      {"sd-notkept.txt",
       "Owner    : S-1-5-32-544    \\\n"
       "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"
       "SACL ACE : S-1-1-0    \\ 001F01FF 02 80\n"
       "DACL ACE : S-1-5-32-544    \\ 001F01FF 00 00\n"
       "DACL ACE : S-1-1-0    \\ 001200A9 00 00\n"},
      {"sd-nulldacl.txt",
       "Owner    : S-1-5-32-544    \\\n"
       "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"},
      {"sd-emptydacl.txt",
       "Owner    : S-1-5-32-544    \\\n"
       "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"},
      {"sd-unknown.txt",
       "Owner    : S-1-5-21-1004336348-1177238915-682003330-1001    \\\n"
       "Group    : S-1-0x123456789ABC-7-8    \\\n"
       "DACL ACE : S-1-5-21-1004336348-1177238915-682003330-1001    \\ 001F01FF 00 00\n"
       "DACL ACE : S-1-15-2-1    \\ 001200A9 00 00\n"
       "DACL ACE : S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464    \\ 001F01FF 00 00\n"
       "DACL ACE : S-1-0x123456789ABC-7-8    \\ 00040000 01 00\n"},
  };
  return lines;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::u16string HexId(uint32_t id) {
  std::string text = Hex(id, 8);
  text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
  return U16(text);
}

// The security id the manifest gives the file at path.
uint32_t SecurityIdOf(const TestVolume& volume, const std::string& path) {
  auto facts = FactsOf(volume, "secid", RecordOf(volume, path));
  EXPECT_EQ(facts.size(), 1u) << path;
  return facts.empty() ? 0 : static_cast<uint32_t>(std::stoul(facts[0]->fields[1]));
}

std::string SecuritySection(const TestVolume& volume, uint32_t id, const std::string& target = "\\") {
  RunResult run = RunOn(volume, {u"-f", Target(target), u"-s", HexId(id)});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  return Section(run.out, "Security attribute:\n");
}

// Where the $SDS entry of id starts in the image: a 16-byte aligned header
// naming the id, followed by a self-relative descriptor of revision 1. The
// first match is the primary copy (the mirror lies 256 KiB further on).
size_t SdsEntryOffset(const Bytes& image, uint32_t id) {
  LeBytes bytes(image);
  for (size_t at = 0; at + 0x28 <= image.size(); at += 16) {
    if (bytes.U32(at + 0x04) != id || bytes.U8(at + 0x14) != 1 || bytes.U8(at + 0x15) != 0) continue;
    const uint32_t length = bytes.U32(at + 0x10);
    if ((bytes.U16(at + 0x16) & 0x8000) == 0 || length < 0x28 || length > 0x1000) continue;
    return at;
  }
  ADD_FAILURE() << "no $SDS entry for id " << id;
  return 0;
}

// Where the $SII entry of id starts in the image: data offset and length
// 0x14, entry length 0x28 (0x30 with a sub-node), a 4-byte key that is the
// id, and the id again in the copy of the $SDS header behind it.
size_t SiiEntryOffset(const Bytes& image, uint32_t id) {
  LeBytes bytes(image);
  for (size_t at = 0; at + 0x28 <= image.size(); at += 8) {
    if (bytes.U32(at) != 0x00140014 || bytes.U32(at + 0x10) != id || bytes.U32(at + 0x18) != id) continue;
    if ((bytes.U16(at + 0x08) == 0x28 || bytes.U16(at + 0x08) == 0x30) && bytes.U16(at + 0x0A) == 4) return at;
  }
  ADD_FAILURE() << "no $SII entry for id " << id;
  return 0;
}

class SecurityIdOnVolumes : public testing::OnCommittedVolumes {};

TEST_F(SecurityIdOnVolumes, EachDescriptorPrintsWhatTheBuildScriptSet) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    for (const auto& [file, lines] : ExpectedDescriptorLines()) {
      SCOPED_TRACE(file);
      const uint32_t id = SecurityIdOf(volume, "\\security\\" + file);
      ASSERT_GE(id, 0x100u);
      EXPECT_EQ(SecuritySection(volume, id), kHeader + lines);
    }
  }
}

TEST_F(SecurityIdOnVolumes, StoredDescriptorRendersAsTheOneInTheManifest) {
  // ntfs-3g reorders the parts of a descriptor when it stores it; what it
  // means, and so what prints, stays the same.
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    auto descriptors = volume.Facts("sd");
    ASSERT_EQ(descriptors.size(), ExpectedDescriptorLines().size());
    for (const Fact* sd : descriptors) {
      SCOPED_TRACE(sd->fields[0]);
      ReportHarness h;
      ReportSecurityDescriptor(h.context, FromHex(sd->fields[1]));
      ASSERT_EQ(h.err.text(), "");
      EXPECT_EQ(SecuritySection(volume, static_cast<uint32_t>(std::stoul(sd->fields[0]))), h.out.text());
    }
  }
}

TEST_F(SecurityIdOnVolumes, OutputDoesNotDependOnTheTarget) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint32_t id = SecurityIdOf(volume, "\\security\\sd-sacl.txt");
    const std::string from_root = SecuritySection(volume, id, "\\");
    EXPECT_EQ(SecuritySection(volume, id, "\\data\\nonresident.bin"), from_root);
    EXPECT_EQ(SecuritySection(volume, id, "\\security\\sd-basic.txt"), from_root);
  }
}

TEST_F(SecurityIdOnVolumes, FormattersOwnDescriptorsArePrinted) {
  // mkntfs stores the descriptors of the metadata files from id 0x100 on.
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    for (uint32_t id : {0x100u, 0x101u}) {
      std::string section = SecuritySection(volume, id);
      EXPECT_TRUE(section.starts_with(kHeader + "Owner    : S-1-5-")) << section;
      EXPECT_NE(section.find("\nGroup    : S-1-5-"), std::string::npos) << section;
    }
  }
}

TEST_F(SecurityIdOnVolumes, IdBelow100HexPrintsNoneWithoutReadingTheVolume) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    FakePlatform with_lookup, without_lookup;
    with_lookup.AddVolume(u'C', volume.image);
    without_lookup.AddVolume(u'C', volume.image);
    RunResult run = RunVelmora(with_lookup, {u"-f", u"C:\\", u"-s", u"FF"});
    RunVelmora(without_lookup, {u"-f", u"C:\\"});
    EXPECT_EQ(Section(run.out, "Security attribute:\n"), "\tNONE\n");
    EXPECT_EQ(with_lookup.reads, without_lookup.reads);
  }
}

TEST_F(SecurityIdOnVolumes, UnknownIdPrintsNone) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    uint32_t highest = 0;
    for (const Fact* secid : volume.Facts("secid")) highest = std::max<uint32_t>(highest, std::stoul(secid->fields[1]));
    for (uint32_t id : {highest + 1, 0x1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
      SCOPED_TRACE(id);
      EXPECT_EQ(SecuritySection(volume, id), "\tNONE\n");
    }
  }
}

constexpr char kStatusLine[] = "Security descriptor rendering stopped (status 0x80070057)\n";
constexpr char kNextReport[] = "=====================\nThe first unused file record reference :\n";

TEST_F(SecurityIdOnVolumes, MalformedStoredDescriptorStopsItsLinesAndTheNextReportRuns) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    Bytes image = volume.image;
    // Revision 2: nothing after the column header.
    const uint32_t unknown = SecurityIdOf(volume, "\\security\\sd-unknown.txt");
    image[SdsEntryOffset(image, unknown) + 0x14] = 2;
    // A DACL revision outside 2 to 4: owner and group lines only.
    const uint32_t basic = SecurityIdOf(volume, "\\security\\sd-basic.txt");
    const size_t descriptor = SdsEntryOffset(image, basic) + 0x14;
    image[descriptor + LeBytes(image).U32(descriptor + 0x10)] = 9;

    FakePlatform platform;
    platform.AddVolume(u'C', image);
    RunResult run = RunVelmora(platform, {u"-f", u"C:\\", u"-s", HexId(unknown), u"-e"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(Section(run.out, "Security attribute:\n"), kHeader);
    EXPECT_EQ(run.err, kStatusLine);
    EXPECT_NE(run.out.find(kNextReport), std::string::npos);

    run = RunVelmora(platform, {u"-f", u"C:\\", u"-s", HexId(basic), u"-e"});
    EXPECT_EQ(Section(run.out, "Security attribute:\n"),
              kHeader + "Owner    : S-1-5-32-544    \\\nGroup    : S-1-5-18    NT AUTHORITY\\SYSTEM\n");
    EXPECT_EQ(run.err, kStatusLine);
    EXPECT_NE(run.out.find(kNextReport), std::string::npos);
  }
}

// A damaged $SII, or an $SDS entry whose header does not name the id and
// the offset $SII gave, prints NONE as an absent id does; standard error
// says why, in one line.
TEST_F(SecurityIdOnVolumes, DamagedIndexOrMismatchedSdsEntryPrintsNoneAndSaysWhy) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const uint32_t id = SecurityIdOf(volume, "\\security\\sd-basic.txt");
    const size_t sii = SiiEntryOffset(volume.image, id);
    const size_t sds = SdsEntryOffset(volume.image, id);
    const uint64_t stream_offset = LeBytes(volume.image).U64(sds + 0x08);
    const std::string entry = "security id 0x" + Hex(id) + ": $SDS entry at offset 0x" + Hex(stream_offset) + ": ";
    struct Case {
      const char* what;
      size_t at;
      uint8_t flip;
      std::string reason;  // the start of the line on standard error
    };
    const Case cases[] = {
        {"$SII entry length", sii + 0x08, 0x28, "security id 0x" + Hex(id) + ": $Secure: $SII index: "},
        {"$SDS header id", sds + 0x04, 0x01,
         entry + "its header names security id 0x" + Hex(id ^ 1) + " at offset 0x" + Hex(stream_offset) + ", not"},
        {"$SDS header offset", sds + 0x09, 0x01,
         entry + "its header names security id 0x" + Hex(id) + " at offset 0x" + Hex(stream_offset ^ 0x100) + ", not"},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      Bytes image = volume.image;
      image[c.at] ^= c.flip;
      FakePlatform platform;
      platform.AddVolume(u'C', image);
      const RunResult run = RunVelmora(platform, {u"-f", u"C:\\", u"-s", HexId(id), u"-e"});
      EXPECT_EQ(run.exit_code, 0);
      EXPECT_EQ(Section(run.out, "Security attribute:\n"), "\tNONE\n");
      EXPECT_NE(run.out.find(kNextReport), std::string::npos);
      EXPECT_EQ(run.err.rfind(c.reason, 0), 0u) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
  }
}

TEST_F(SecurityIdOnVolumes, MalformedDescriptorAttributeStopsItsLinesAndTheNextReportRuns) {
  // ntfs-3g's default descriptor, which every file outside \security keeps
  // in its own $SECURITY_DESCRIPTOR, with its revision made 2 wherever it is.
  const Bytes descriptor = FromHex(
      "0100048014000000240000000000000034000000010200000000000520000000200200000102000000000005200000002002000002"
      "001c000100000000031400ff011f00010100000000000100000000");
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    Bytes image = volume.image;
    size_t changed = 0;
    for (auto at = image.begin(); (at = std::search(at, image.end(), descriptor.begin(), descriptor.end())) != image.end();
         ++at, ++changed)
      *at = 2;
    ASSERT_GT(changed, 0u);

    FakePlatform platform;
    platform.AddVolume(u'C', image);
    RunResult run = RunVelmora(platform, {u"-f", u"C:\\readme.txt", u"-v", u"5", u"-e"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(Section(run.out, "Show attribute:\n").ends_with("Security Descriptor :\n" + kHeader))
        << run.out;
    EXPECT_EQ(run.err, kStatusLine);
    EXPECT_NE(run.out.find(kNextReport), std::string::npos);
  }
}

}  // namespace
}  // namespace velmora::testing
