// The core readers against the committed volumes: every in-use record,
// every recorded value and every path, checked against what the build
// script made and what Sleuth Kit reports (the manifests).
#include <gtest/gtest.h>

#include <algorithm>

#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/path.h"
#include "ntfs/upcase.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "base/format.h"
#include "tests/support/fake_platform.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using namespace testing;

class VolumeCoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    const TestVolume& v = LoadVolume(GetParam());
    volume_ = &v;
    ASSERT_FALSE(v.image.empty());
    ASSERT_TRUE(
        OpenVolumeSource(context_, std::make_unique<source::MemorySource>(std::span<const uint8_t>(v.image)), u"test"));
    ASSERT_TRUE(CheckNtfsVolume(context_));
  }
  const TestVolume* volume_ = nullptr;
  VolumeContext context_;
};

TEST_P(VolumeCoreTest, GeometryMatchesTheBuild) {
  auto geometry = volume_->Facts("geometry");
  ASSERT_EQ(geometry.size(), 1u);
  EXPECT_EQ(std::to_string(context_.geometry().BytesPerSector()), geometry[0]->Get("sector"));
  EXPECT_EQ(std::to_string(context_.BytesPerCluster()), geometry[0]->Get("cluster"));
  EXPECT_EQ(std::to_string(context_.BytesPerFileRecord()), geometry[0]->Get("record"));
}

TEST_P(VolumeCoreTest, EveryInUseRecordReadsWithSleuthKitsHeaderValues) {
  auto records = volume_->Facts("record");
  ASSERT_FALSE(records.empty());
  for (const Fact* fact : records) {
    uint64_t number = std::stoull(fact->fields.at(0));
    auto record = ReadFileRecord(context_, RecordNumber(number));
    ASSERT_TRUE(record.has_value()) << "record " << number;
    EXPECT_EQ(std::to_string(record->Sequence()), fact->Get("seq")) << "record " << number;
    EXPECT_EQ(std::to_string(record->LogSeqNumber()), fact->Get("lsn")) << "record " << number;
    EXPECT_EQ(std::to_string(record->HardLinks()), fact->Get("links")) << "record " << number;
    EXPECT_EQ((record->Flags() & 0x0002) != 0, fact->Get("kind") == "dir") << "record " << number;
    EXPECT_EQ(record->NumberLow(), number);
  }
}

// The attribute (type, name, id) of a file, found as a report finds it:
// through the attribute list when there is one. Sleuth Kit renumbers the
// ids of attributes held in extension records, so a name that is unique
// among the file's attributes of that type identifies it; the id decides
// only between attributes of the same type and name.
struct Found {
  std::optional<FileRecord> base;
  HeldAttribute held;  // holds the record `attribute` lies in, when found through the lookup
  std::optional<AttributeRecord> attribute;
};
void FindAttributeOf(VolumeContext& volume, uint64_t number, uint32_t type, const std::string& name, uint32_t id,
                     Found& found) {
  auto base = ReadFileRecord(volume, RecordNumber(number));
  if (!base) return;
  found.base = std::move(*base);
  if (type == ToU32(AttrType::kAttributeList)) {  // the list lives in the base record and names not itself
    found.attribute = FindAttribute(*found.base, AttrType::kAttributeList, nullptr, nullptr);
    return;
  }
  const std::u16string wanted = name == "-" ? u"" : U16(name);
  int same_name = 0;
  std::optional<uint16_t> first_id;
  FileAttributes file = FileAttributes::Open(volume, *found.base);
  const std::vector<HeldAttribute> all = file.Find(static_cast<AttrType>(type), nullptr);
  for (const HeldAttribute& a : all) {
    if (a->Name() != wanted) continue;
    ++same_name;
    if (!first_id) first_id = a->Id();
  }
  for (const HeldAttribute& a : all) {
    if (a->Name() == wanted && (same_name == 1 || a->Id() == id)) {
      found.held = a;
      found.attribute = *a;
      return;
    }
  }
}

TEST_P(VolumeCoreTest, EveryRecordedValueReadsWholeAndInChunks) {
  auto values = volume_->Facts("value");
  auto raws = volume_->Facts("raw");
  ASSERT_FALSE(values.empty());
  for (const Fact* fact : values) {
    uint64_t number = std::stoull(fact->fields.at(0));
    uint32_t type = std::stoul(fact->fields.at(1));
    uint32_t id = std::stoul(fact->fields.at(2));
    uint64_t size = std::stoull(fact->fields.at(4));
    std::string expected = fact->fields.at(5);
    const std::string& kind = fact->fields.at(6);
    if (kind == "compressed") {
      // Compressed values read as their raw clusters, never decompressed.
      auto raw = std::find_if(raws.begin(), raws.end(), [&](const Fact* r) {
        return r->fields.at(0) == fact->fields.at(0) && r->fields.at(1) == fact->fields.at(1) &&
               r->fields.at(2) == fact->fields.at(2);
      });
      if (raw == raws.end()) continue;
      expected = (*raw)->fields.at(5);
    }
    std::string what = "record " + std::to_string(number) + " type " + std::to_string(type) + " id " +
                       std::to_string(id) + " (" + kind + ")";
    Found found;
    FindAttributeOf(context_, number, type, fact->fields.at(3), id, found);
    ASSERT_TRUE(found.attribute.has_value()) << what;
    AttributeReader reader = AttributeReader::ForFileAttribute(context_, *found.base, *found.attribute);
    ASSERT_EQ(reader.ValueSize(), size) << what;
    if (size == 0) continue;
    const std::vector<uint8_t>* whole = reader.ReadAttributeValue();
    ASSERT_NE(whole, nullptr) << what;
    EXPECT_EQ(Sha256Hex(*whole), expected) << what;

    std::vector<uint8_t> chunked;
    std::vector<uint8_t> chunk(7919);  // a prime: chunks straddle every cluster boundary
    for (uint64_t offset = 0; offset < size;) {
      auto got = reader.ReadAttributeRange(offset, chunk);
      ASSERT_TRUE(got.has_value()) << what << " at " << offset;
      ASSERT_GT(*got, 0u);
      chunked.insert(chunked.end(), chunk.begin(), chunk.begin() + *got);
      offset += *got;
    }
    EXPECT_EQ(Sha256Hex(chunked), expected) << what;
  }
}

TEST_P(VolumeCoreTest, EveryPathResolvesToSleuthKitsRecordWhateverTheCase) {
  FakePlatform platform;
  platform.AddVolume(u'C', volume_->image);
  auto resolve = [&](const std::string& path) {
    VolumeContext volume;
    return PathResolver(U16("C:" + path), volume, platform).value;
  };
  auto paths = volume_->Facts("path");
  ASSERT_FALSE(paths.empty());
  for (const Fact* fact : paths) {
    uint64_t number = std::stoull(fact->fields.at(0));
    const std::string& path = fact->fields.at(2);
    EXPECT_EQ(resolve(path), number) << path;
  }
  // Letter case never matters: a sample of paths upper- and lower-cased.
  for (size_t i = 0; i < paths.size(); i += 7) {
    std::string upper = paths[i]->fields.at(2);
    std::string lower = upper;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    uint64_t number = std::stoull(paths[i]->fields.at(0));
    EXPECT_EQ(resolve(upper), number) << upper;
    EXPECT_EQ(resolve(lower), number) << lower;
  }
  for (const Fact* fact : volume_->Facts("short")) {
    EXPECT_EQ(resolve(fact->fields.at(1)), std::stoull(fact->fields.at(0))) << fact->fields.at(1);
  }
}

INSTANTIATE_TEST_SUITE_P(Committed, VolumeCoreTest, ::testing::ValuesIn(CommittedVolumeNames()));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(VolumeCoreTest);

}  // namespace
}  // namespace velmora
