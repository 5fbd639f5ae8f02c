// File records: the update sequence, the attribute walk, reading by
// reference directly and through the MFT's runs.
#include <gtest/gtest.h>

#include "ntfs/file_record.h"
#include "ntfs/attribute_list.h"
#include "ntfs/attribute_set.h"
#include "ntfs/lookup.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "base/format.h"
#include "source/byte_source.h"
#include "tests/support/synthetic_volume.h"

namespace velmora {
namespace {

using testing::Put16;
using testing::Put32;
using testing::RecordBuilder;
using testing::SingleRun;
using testing::SyntheticVolume;

void Open(VolumeContext& volume, std::vector<uint8_t>& image) {
  ASSERT_TRUE(OpenVolumeSource(volume, std::make_unique<source::MemorySource>(std::span<const uint8_t>(image)), u"test"));
}

TEST(UpdateSequenceTest, RestoresEveryStrideOfA1024ByteRecord) {
  auto record = RecordBuilder(30).Resident(0x80, 1, u"", std::vector<uint8_t>(600, 0xAB)).Build();
  EXPECT_EQ(record[510], 0x42);
  EXPECT_EQ(record[1022], 0x42);
  ASSERT_TRUE(ApplyUpdateSequence(record, 512));
  EXPECT_EQ(record[510], 0xAB);  // inside the 600-byte value
  EXPECT_EQ(record[1022], 0x00);
}

TEST(UpdateSequenceTest, TornOrDamagedArraysFail) {
  auto good = RecordBuilder(30).Build();
  auto torn = good;
  torn[1022] ^= 1;
  EXPECT_FALSE(ApplyUpdateSequence(torn, 512));
  auto zero = good;
  Put16(zero, 6, 0);
  EXPECT_FALSE(ApplyUpdateSequence(zero, 512));
  auto outside = good;
  Put16(outside, 4, 1020);  // array of 3 words runs past the record
  EXPECT_FALSE(ApplyUpdateSequence(outside, 512));
  auto too_many = good;
  Put16(too_many, 6, 4);  // a third stride beyond 1024 bytes
  EXPECT_FALSE(ApplyUpdateSequence(too_many, 512));
  auto one = good;
  Put16(one, 6, 1);
  EXPECT_TRUE(ApplyUpdateSequence(one, 512));
  std::vector<uint8_t> tiny(6);
  EXPECT_FALSE(ApplyUpdateSequence(tiny, 512));
}

TEST(AttributeWalkTest, EndsAtMarkerUsedBytesAndDamage) {
  auto bytes = RecordBuilder(30)
                   .Resident(0x10, 0, u"", std::vector<uint8_t>(72))
                   .Resident(0x30, 1, u"", std::vector<uint8_t>(0x44))
                   .Resident(0x80, 2, u"s", std::vector<uint8_t>(5))
                   .Build();
  ASSERT_TRUE(ApplyUpdateSequence(bytes, 512));
  auto walk_types = [](const std::vector<uint8_t>& b) {
    FileRecord record(b, RecordNumber(0));
    std::vector<uint32_t> types;
    AttributeWalk walk(record);
    while (auto a = walk.Next()) types.push_back(a->TypeCode());
    return types;
  };
  EXPECT_EQ(walk_types(bytes), (std::vector<uint32_t>{0x10, 0x30, 0x80}));

  FileRecord record(bytes, RecordNumber(0));
  uint32_t second = record.OffsetOfAttr() + LeBytes(record.span()).U32(record.OffsetOfAttr() + 4);
  auto zero_size = bytes;
  Put32(zero_size, second + 4, 0);
  EXPECT_EQ(walk_types(zero_size), (std::vector<uint32_t>{0x10}));
  auto huge_size = bytes;
  Put32(huge_size, second + 4, 0xFFFFFFF0);
  EXPECT_EQ(walk_types(huge_size), (std::vector<uint32_t>{0x10}));
  auto name_outside = bytes;
  Put16(name_outside, second + 0x0A, 0xFFF0);
  name_outside[second + 9] = 4;
  EXPECT_EQ(walk_types(name_outside), (std::vector<uint32_t>{0x10}));
  auto value_outside = bytes;
  Put32(value_outside, second + 0x10, 0x1000);
  EXPECT_EQ(walk_types(value_outside), (std::vector<uint32_t>{0x10}));
  auto used_short = bytes;
  Put32(used_short, 0x18, second + 8);  // used bytes end inside the second attribute
  EXPECT_EQ(walk_types(used_short), (std::vector<uint32_t>{0x10}));
  auto used_huge = bytes;
  Put32(used_huge, 0x18, 0xFFFFFFFF);  // bound falls back to the buffer
  EXPECT_EQ(walk_types(used_huge), (std::vector<uint32_t>{0x10, 0x30, 0x80}));
  auto first_outside = bytes;
  Put16(first_outside, 0x14, 0xFFF8);
  EXPECT_TRUE(walk_types(first_outside).empty());
}

TEST(AttributeLookupTest, TypeNameAndAfterWithoutAttributeList) {
  auto bytes = RecordBuilder(30)
                   .Resident(0x80, 1, u"", {1})
                   .Resident(0x80, 2, u"alt", {2})
                   .Resident(0x80, 3, u"ALT", {3})
                   .Build();
  ASSERT_TRUE(ApplyUpdateSequence(bytes, 512));
  FileRecord record(bytes, RecordNumber(0));
  CountedName alt{u"alt"};
  CountedName unnamed{u""};
  EXPECT_EQ(FindAttribute(record, AttrType::kData, &alt, nullptr)->Id(), 2);
  EXPECT_EQ(FindAttribute(record, AttrType::kData, &unnamed, nullptr)->Id(), 1);
  std::vector<uint16_t> ids;
  for (auto a = FindAttribute(record, AttrType::kAny, nullptr, nullptr); a;
       a = FindAttribute(record, AttrType::kAny, nullptr, &*a))
    ids.push_back(a->Id());
  EXPECT_EQ(ids, (std::vector<uint16_t>{1, 2, 3}));
  EXPECT_EQ(FindAttributeByInstance(record, 3)->Name(), u"ALT");
  EXPECT_FALSE(FindAttributeByInstance(record, 0x10003).has_value());
}

class SyntheticRecordsTest : public ::testing::Test {
 protected:
  SyntheticVolume synthetic_;
  VolumeContext volume_;
};

TEST_F(SyntheticRecordsTest, DirectRecordsAndRecordsThroughTheMftRuns) {
  synthetic_.SetRecord(30, RecordBuilder(30).Resident(0x80, 7, u"", {9}).Build());
  Open(volume_, synthetic_.image());
  auto root = ReadFileRecord(volume_, kRootReference.Record());
  ASSERT_TRUE(root.has_value());
  EXPECT_EQ(root->NumberLow(), 5u);
  auto file = ReadFileRecord(volume_, RecordNumber(30));
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->NumberLow(), 30u);
  // A reference with its sequence number names the record of its low 48 bits.
  EXPECT_TRUE(ReadFileRecord(volume_, FileReference(0x0005000000000005).Record()).has_value());
  EXPECT_FALSE(ReadFileRecord(volume_, RecordNumber(0x0005000000000005)).has_value());
  EXPECT_FALSE(ReadFileRecord(volume_, RecordNumber(31)).has_value());  // never written: no "FILE"
  EXPECT_FALSE(ReadFileRecord(volume_, RecordNumber(1000)).has_value());  // beyond the MFT's runs
}

TEST_F(SyntheticRecordsTest, MftInTwoRunsFindsRecordsThroughTheSecondRun) {
  // MFT: clusters 16..47 (records 0..15), then 48 clusters at 600 (records 16..39).
  std::vector<uint8_t> pairs = {0x11, 0x20, 0x10, 0x21, 0x30, 0x48, 0x02, 0x00};
  synthetic_.SetRecord(0, RecordBuilder(0).NonResident(0x80, 1, u"", pairs, 0, 0x4F, 40 * 1024).Build());
  auto record = RecordBuilder(33).Resident(0x80, 3, u"", {1, 2, 3}).Build();
  synthetic_.SetClusters(600 + (33 - 16) * 2, record);
  Open(volume_, synthetic_.image());
  auto found = ReadFileRecord(volume_, RecordNumber(33));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->NumberLow(), 33u);
}

TEST_F(SyntheticRecordsTest, RecordLargerThanAClusterIsReadAcrossRuns) {
  // 1024-byte records on 512-byte clusters: record 25's halves lie in two runs.
  std::vector<uint8_t> pairs = {0x11, 0x33, 0x10, 0x11, 0x20, 0x7F, 0x00};  // 51 clusters at 16, 32 at 143
  synthetic_.SetRecord(0, RecordBuilder(0).NonResident(0x80, 1, u"", pairs, 0, 82, 41 * 1024).Build());
  auto record = RecordBuilder(25).Resident(0x80, 3, u"", {1, 2, 3}).Build();
  std::vector<uint8_t> first(record.begin(), record.begin() + 512);
  std::vector<uint8_t> second(record.begin() + 512, record.end());
  synthetic_.SetClusters(16 + 50, first);
  synthetic_.SetClusters(143, second);
  Open(volume_, synthetic_.image());
  auto found = ReadFileRecord(volume_, RecordNumber(25));
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->NumberLow(), 25u);
}

TEST_F(SyntheticRecordsTest, RecordInAHoleOfTheMftIsNotFound) {
  std::vector<uint8_t> pairs = {0x11, 0x20, 0x10, 0x01, 0x20, 0x00};
  synthetic_.SetRecord(0, RecordBuilder(0).NonResident(0x80, 1, u"", pairs, 0, 0x3F, 32 * 1024).Build());
  Open(volume_, synthetic_.image());
  EXPECT_FALSE(ReadFileRecord(volume_, RecordNumber(20)).has_value());
}

TEST_F(SyntheticRecordsTest, UnusableGeometryRefusesTheVolumeWithoutReading) {
  auto open = [&] {
    return OpenVolumeSource(volume_, std::make_unique<source::MemorySource>(std::span<const uint8_t>(synthetic_.image())),
                            u"test");
  };
  synthetic_.image()[0x40] = 0;  // 1-byte records
  EXPECT_FALSE(open());
  EXPECT_FALSE(ReadFileRecord(volume_, kRootReference.Record()).has_value());
  synthetic_.image()[0x40] = 0xE0;  // 4 GiB records
  EXPECT_FALSE(open());
  EXPECT_FALSE(ReadFileRecord(volume_, kRootReference.Record()).has_value());
  synthetic_.image()[0x40] = 0xF6;
  synthetic_.image()[0x0D] = 0;  // no cluster size
  EXPECT_FALSE(open());
  EXPECT_FALSE(ReadFileRecord(volume_, kRootReference.Record()).has_value());
  synthetic_.image()[0x0D] = 1;
  EXPECT_TRUE(open());
  EXPECT_TRUE(ReadFileRecord(volume_, kRootReference.Record()).has_value());
}

TEST_F(SyntheticRecordsTest, TruncatedImageIsAFailureNotStaleBytes) {
  synthetic_.SetRecord(30, RecordBuilder(30).Build());
  auto& image = synthetic_.image();
  image.resize(SyntheticVolume::kMftLcn * 512 + 30 * 1024 + 600);
  Open(volume_, image);
  EXPECT_TRUE(ReadFileRecord(volume_, RecordNumber(29)).has_value() == false);
  EXPECT_FALSE(ReadFileRecord(volume_, RecordNumber(30)).has_value());
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

std::vector<uint8_t> ListEntry(uint32_t type, uint64_t record, uint16_t instance, uint64_t vcn = 0,
                               const std::u16string& name = u"") {
  std::vector<uint8_t> e((0x1A + name.size() * 2 + 7) & ~size_t{7});
  testing::Put32(e, 0, type);
  testing::Put16(e, 4, static_cast<uint16_t>(e.size()));
  e[6] = static_cast<uint8_t>(name.size());
  e[7] = 0x1A;
  testing::Put64(e, 8, vcn);
  testing::Put64(e, 0x10, record | (uint64_t{1} << 48));
  testing::Put16(e, 0x18, instance);
  auto n = testing::Utf16Bytes(name);
  std::copy(n.begin(), n.end(), e.begin() + 0x1A);
  return e;
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class AttributeListTest : public SyntheticRecordsTest {};

// Each attribute of that type, through the file's attribute set.
void ForEachOf(VolumeContext& volume, const FileRecord& base, AttrType type,
               const std::function<Walk(const AttributeRecord&)>& visit) {
  FileAttributes file = FileAttributes::Open(volume, base);
  for (const HeldAttribute& a : file.Find(type, nullptr)) {
    if (visit(*a) == Walk::kStop) return;
  }
}

TEST_F(AttributeListTest, ListSelectsFirstExtentsAcrossRecordsInListOrder) {
  // Record 30 (base) keeps $DATA id 1 and the list; record 31 keeps $DATA "s" id 0
  // and the second extent of the unnamed $DATA (VCN 2) as id 1.
  auto list = Concat({ListEntry(0x80, 30, 1), ListEntry(0x80, 31, 0, 0, u"s"), ListEntry(0x80, 31, 1, 2)});
  synthetic_.SetRecord(30, RecordBuilder(30)
                               .Resident(0x20, 3, u"", list)
                               .NonResident(0x80, 1, u"", SingleRun(SyntheticVolume::kFreeLcn, 2), 0, 1, 4 * 512)
                               .Build());
  synthetic_.SetRecord(31, RecordBuilder(31)
                               .BaseReference(30)
                               .Resident(0x80, 0, u"s", {7, 7})
                               .NonResident(0x80, 1, u"", SingleRun(SyntheticVolume::kFreeLcn + 10, 2), 2, 3, 4 * 512)
                               .Build());
  std::vector<uint8_t> first(1024, 0xA1), second(1024, 0xB2);
  synthetic_.SetClusters(SyntheticVolume::kFreeLcn, first);
  synthetic_.SetClusters(SyntheticVolume::kFreeLcn + 10, second);
  Open(volume_, synthetic_.image());
  auto base = ReadFileRecord(volume_, RecordNumber(30));
  ASSERT_TRUE(base.has_value());

  std::vector<std::u16string> names;
  ForEachOf(volume_, *base, AttrType::kData, [&](const AttributeRecord& a) {
    names.push_back(a.Name());
    return Walk::kContinue;
  });
  EXPECT_EQ(names, (std::vector<std::u16string>{u"", u"s"}));
  std::vector<uint16_t> any;
  ForEachOf(volume_, *base, AttrType::kAny, [&](const AttributeRecord& a) {
    any.push_back(a.Id());
    return Walk::kContinue;
  });
  EXPECT_TRUE(any.empty());  // with a list, type 0 matches no entry

  // The unnamed value reads whole through both extents.
  auto data = FindFileAttribute(volume_, *base, AttrType::kData, nullptr);
  ASSERT_TRUE(data.has_value());
  AttributeReader reader = AttributeReader::ForFileAttribute(volume_, *base, *data);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(value->size(), 2048u);
  EXPECT_EQ((*value)[1023], 0xA1);
  EXPECT_EQ((*value)[1024], 0xB2);
  // Through its own record's runs only, the second half stays zero.
  AttributeReader first_only(volume_, *data);
  EXPECT_EQ((*first_only.ReadAttributeValue())[1024], 0x00);
}

// The MFT's later extents are gathered as every value's are: by name, in VCN
// order whatever the list order, each read through the runs found so far.
TEST_F(AttributeListTest, MftExtentsAreGatheredByNameInVcnOrder) {
  // Extent 0 maps records 0..15 (clusters 16..47); record 15 holds VCNs 32..79
  // at cluster 600 (records 16..39), record 14 VCNs 80..81 at 700 (record 40).
  // Record 13 holds a named $DATA at VCN 32 that must not be taken.
  auto list = Concat({ListEntry(0x80, 0, 1), ListEntry(0x80, 13, 0, 32, u"$X"), ListEntry(0x80, 14, 0, 80),
                      ListEntry(0x80, 15, 0, 32)});
  synthetic_.SetRecord(0, RecordBuilder(0)
                              .Resident(0x20, 3, u"", list)
                              .NonResident(0x80, 1, u"", SingleRun(SyntheticVolume::kMftLcn, 32), 0, 31, 41 * 1024)
                              .Build());
  synthetic_.SetRecord(13, RecordBuilder(13).BaseReference(0).NonResident(0x80, 0, u"$X", SingleRun(800, 48), 32, 79, 0).Build());
  synthetic_.SetRecord(14, RecordBuilder(14).BaseReference(0).NonResident(0x80, 0, u"", SingleRun(700, 2), 80, 81, 0).Build());
  synthetic_.SetRecord(15, RecordBuilder(15).BaseReference(0).NonResident(0x80, 0, u"", SingleRun(600, 48), 32, 79, 0).Build());
  synthetic_.SetClusters(600 + (33 - 16) * 2, RecordBuilder(33).Resident(0x80, 3, u"", {3}).Build());
  synthetic_.SetClusters(700, RecordBuilder(40).Resident(0x80, 3, u"", {4}).Build());
  Open(volume_, synthetic_.image());
  for (uint64_t number : {33, 40}) {
    auto found = ReadFileRecord(volume_, RecordNumber(number));
    ASSERT_TRUE(found.has_value()) << number << ": " << Utf16ToUtf8(found.error().Line());
    EXPECT_EQ(found->NumberLow(), number);
  }
  ASSERT_NE(volume_.mft_runs(), nullptr);
  EXPECT_EQ(volume_.mft_runs()->EndVcn(), Vcn(82));
}

// A found attribute keeps the record that holds it: later lookups, which
// read other records, leave it readable.
TEST_F(AttributeListTest, FoundAttributeOutlivesLaterLookups) {
  auto list = Concat({ListEntry(0x80, 31, 0, 0, u"a"), ListEntry(0x80, 32, 0, 0, u"b")});
  synthetic_.SetRecord(30, RecordBuilder(30).Resident(0x20, 3, u"", list).Build());
  synthetic_.SetRecord(31, RecordBuilder(31).BaseReference(30).Resident(0x80, 0, u"a", {0xA1, 0xA2}).Build());
  synthetic_.SetRecord(32, RecordBuilder(32).BaseReference(30).Resident(0x80, 0, u"b", {0xB1}).Build());
  Open(volume_, synthetic_.image());
  auto base = ReadFileRecord(volume_, RecordNumber(30));
  ASSERT_TRUE(base.has_value());

  std::vector<HeldAttribute> found = FileAttributes::Open(volume_, *base).Find(AttrType::kData, nullptr);
  ASSERT_EQ(found.size(), 2u);
  const HeldAttribute first = found[0];
  EXPECT_EQ(found[1].holder().Number().value, 32u);
  found.clear();  // the set and the second record are released

  EXPECT_EQ(first.holder().Number().value, 31u);
  EXPECT_EQ(first->Name(), u"a");
  const auto value = first->ResidentValue();
  EXPECT_EQ(std::vector<uint8_t>(value.begin(), value.end()), (std::vector<uint8_t>{0xA1, 0xA2}));

  // A reader made from a handle keeps the record after the handle is gone.
  AttributeReader reader = [&] {
    FileAttributes file = FileAttributes::Open(volume_, *base);
    return file.Reader(file.Find(AttrType::kData, nullptr).at(1));
  }();
  const std::vector<uint8_t>* b_value = reader.ReadAttributeValue();
  ASSERT_NE(b_value, nullptr);
  EXPECT_EQ(*b_value, (std::vector<uint8_t>{0xB1}));
}

TEST_F(AttributeListTest, EntriesNamingOneAttributeTwiceDoNotCycle) {
  auto list = Concat({ListEntry(0x80, 30, 1), ListEntry(0x80, 30, 2), ListEntry(0x80, 30, 1), ListEntry(0x80, 30, 2)});
  synthetic_.SetRecord(30, RecordBuilder(30)
                               .Resident(0x20, 3, u"", list)
                               .Resident(0x80, 1, u"", {1})
                               .Resident(0x80, 2, u"b", {2})
                               .Build());
  Open(volume_, synthetic_.image());
  auto base = ReadFileRecord(volume_, RecordNumber(30));
  ASSERT_TRUE(base.has_value());
  int visits = 0;
  ForEachOf(volume_, *base, AttrType::kData, [&](const AttributeRecord&) { return ++visits < 100 ? Walk::kContinue : Walk::kStop; });
  EXPECT_EQ(visits, 2);
}

TEST_F(AttributeListTest, DamagedListEntriesEndTheWalk) {
  auto zero_length = ListEntry(0x80, 30, 2);
  testing::Put16(zero_length, 4, 0);
  auto past_end = ListEntry(0x80, 30, 2);
  testing::Put16(past_end, 4, 0x200);
  for (const auto& bad : {zero_length, past_end}) {
    auto list = Concat({ListEntry(0x80, 30, 1), bad, ListEntry(0x80, 30, 2)});
    EXPECT_EQ(AttributeListEntries(list).size(), 1u);
  }
  auto name_outside = ListEntry(0x80, 30, 2, 0, u"x");
  name_outside[7] = 0xFF;
  EXPECT_EQ(AttributeListEntries(name_outside).size(), 0u);
}

}  // namespace
}  // namespace velmora
