// -s: the $SII comparator and visitor on inline entries, and the lookup on
// the committed test volumes.
#include "security/sii_lookup.h"

#include <gtest/gtest.h>

#include <string>

#include "reports/reports.h"
#include "tests/support/report_harness.h"

namespace velmora::testing {
namespace {

using security::CompareSecurityId;
using security::MatchSecurityId;
using security::SecurityIdQuery;

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
  EXPECT_EQ(CompareSecurityId(Key(0x105), Query(0x105)), 0);
  EXPECT_LT(CompareSecurityId(Key(0x104), Query(0x105)), 0);
  EXPECT_GT(CompareSecurityId(Key(0x106), Query(0x105)), 0);
  EXPECT_LT(CompareSecurityId(Key(0x100), Query(0x7FFFFFFF)), 0);
  EXPECT_GT(CompareSecurityId(Key(0xFFFFFFF0), Query(0x80000000)), 0);
  // Keys above 0xFFFF compare on all 32 bits.
  EXPECT_LT(CompareSecurityId(Key(0x00010100), Query(0x00020100)), 0);
  EXPECT_GT(CompareSecurityId(Key(0x00020100), Query(0x00010101)), 0);
}

TEST(SecurityIdComparator, ShortKeyCountsAsZeroAndIsNotReadPast) {
  Bytes key = {0x05, 0x01, 0x00};
  EXPECT_LT(CompareSecurityId(std::span<const uint8_t>(key), Query(0x105)), 0);
  EXPECT_LT(CompareSecurityId({}, Query(0x105)), 0);
}

TEST(SecurityIdVisitor, MatchingEntryGivesTheSdsPositionAndStopsTheWalk) {
  SecurityIdQuery query = Query(0x107);
  Bytes entry = SiiEntry(0x107, 0x40123, 0x98);
  EXPECT_EQ(MatchSecurityId(entry, query), 0);
  EXPECT_TRUE(query.found);
  EXPECT_EQ(query.sds_offset, 0x40123u);
  EXPECT_EQ(query.entry_length, 0x98u);
  EXPECT_EQ(query.security_id, 0x107u);
}

TEST(SecurityIdVisitor, EntryWithSubNodeIsReadTheSameWay) {
  SecurityIdQuery query = Query(0x1234);
  Bytes entry = SiiEntry(0x1234, 0x123456789ull, 0x40000, /*sub_node=*/true);
  EXPECT_EQ(MatchSecurityId(entry, query), 0);
  EXPECT_TRUE(query.found);
  EXPECT_EQ(query.sds_offset, 0x123456789ull);
  EXPECT_EQ(query.entry_length, 0x40000u);
}

TEST(SecurityIdVisitor, OtherIdsLeaveTheQueryAloneAndGoOn) {
  SecurityIdQuery query = Query(0x107);
  Bytes entry = SiiEntry(0x108, 0x40123, 0x98);
  // The copy of the id in the data must not be taken for the key.
  Put32(entry, 0x18, 0x107);
  EXPECT_EQ(MatchSecurityId(entry, query), 1);
  EXPECT_FALSE(query.found);
  EXPECT_EQ(query.sds_offset, 0u);
  EXPECT_EQ(query.entry_length, 0u);
}

TEST(SecurityIdVisitor, EntryTooShortForTheSdsPositionIsPassedOver) {
  SecurityIdQuery query = Query(0x107);
  Bytes entry = SiiEntry(0x107, 0x40123, 0x98);
  entry.resize(0x27);
  EXPECT_EQ(MatchSecurityId(entry, query), 1);
  EXPECT_FALSE(query.found);
}

TEST(SecurityIdLookup, IdsBelow100HexFailBeforeAnyRead) {
  ReportHarness h;
  for (uint32_t id : {0u, 1u, 0xFFu}) EXPECT_FALSE(ShowSecurityDescriptorById(h.context, id));
  EXPECT_EQ(h.platform.opens, 0u);
  EXPECT_EQ(h.out.text(), "");
}

TEST(SecurityIdLookup, UnreadableVolumeFails) {
  ReportHarness h;
  EXPECT_FALSE(ShowSecurityDescriptorById(h.context, 0x100));
  EXPECT_EQ(h.out.text(), "");
  EXPECT_EQ(h.err.text(), "");
}

TEST(SecurityDescriptorReport, MalformedDescriptorGivesOneStatusLineOnStandardError) {
  ReportHarness h;
  ReportSecurityDescriptor(h.context, Bytes{0x02, 0x00, 0x04, 0x80});
  EXPECT_EQ(h.out.text(),
            "-----------------\nCLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n");
  EXPECT_EQ(h.err.text(), "Security descriptor rendering stopped (status 0x80070057)\n");
}

}  // namespace
}  // namespace velmora::testing
