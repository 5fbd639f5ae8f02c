// The volumes too large to commit (tools/make_volumes.sh --large, found
// through VELMORA_LARGE_DATA): a 60,000-name directory resolved name by
// name, and how few index blocks one lookup reads.
#include <gtest/gtest.h>

#include "base/bytes.h"
#include "ntfs/path.h"
#include "ntfs/volume.h"
#include "tests/support/fake_platform.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using namespace testing;

const LargeVolume* Find(const std::vector<LargeVolume>& volumes, const std::string& name) {
  for (const auto& v : volumes)
    if (v.name == name) return &v;
  return nullptr;
}

class LargeDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    volumes_ = LargeVolumes();
    volume_ = Find(volumes_, "bigdir");
    if (!volume_) GTEST_SKIP() << "large volumes not built (tools/make_volumes.sh --large DIR; VELMORA_LARGE_DATA=DIR)";
    image_ = volume_->LoadImage();
    platform_.AddVolume(u'C', image_);
  }
  uint64_t Resolve(const std::string& path) {
    VolumeContext volume;
    return PathResolver(U16("C:" + path), volume, platform_).value;
  }
  std::vector<LargeVolume> volumes_;
  const LargeVolume* volume_ = nullptr;
  std::vector<uint8_t> image_;
  FakePlatform platform_;  // counts the index blocks read
};

TEST_F(LargeDirectoryTest, EveryNameResolvesToSleuthKitsRecord) {
  size_t checked = 0;
  for (const Fact& fact : volume_->facts) {
    if (fact.kind != "path") continue;
    EXPECT_EQ(Resolve(fact.fields.at(2)), std::stoull(fact.fields.at(0))) << fact.fields.at(2);
    ++checked;
  }
  EXPECT_GE(checked, 60000u);
}

// A name present or absent: one root-to-leaf path of the directory's index
// (plus the root directory's own blocks).
TEST_F(LargeDirectoryTest, OneLookupReadsOneRootToLeafPathPlusOne) {
  std::vector<std::string> names;
  for (const Fact& fact : volume_->facts)
    if (fact.kind == "path" && fact.fields.at(2).rfind("\\huge\\", 0) == 0) names.push_back(fact.fields.at(2));
  ASSERT_GE(names.size(), 60000u);
  uint64_t before = platform_.index_block_reads;
  ASSERT_NE(Resolve("\\huge"), 0u);
  const uint64_t root_blocks = platform_.index_block_reads - before;

  // Walking every entry once reads every block; a search reads one path,
  // and so does a miss: a name just after each one, and one before them all.
  uint64_t most = 0;
  uint64_t most_absent = 0;
  auto blocks_of = [&](const std::string& path, bool present) {
    before = platform_.index_block_reads;
    EXPECT_EQ(Resolve(path) != 0, present) << path;
    return platform_.index_block_reads - before - root_blocks;
  };
  for (size_t i = 0; i < names.size(); i += names.size() / 50) {
    most = std::max(most, blocks_of(names[i], true));
    most_absent = std::max(most_absent, blocks_of(names[i] + "~absent", false));
  }
  most_absent = std::max(most_absent, blocks_of("\\huge\\!absent", false));
  // The tree of 60,000 names in 4 KiB blocks is at most 4 levels below its root.
  EXPECT_LE(most, 4u + 1u);
  EXPECT_GE(most, 2u);
  EXPECT_LE(most_absent, 4u + 1u);
}

}  // namespace
}  // namespace velmora
