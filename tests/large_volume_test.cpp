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

// Counts the index blocks a source hands out: reads that begin with "INDX".
class BlockCountingPlatform : public FakePlatform {
 public:
  Expected<std::unique_ptr<source::ByteSource>> OpenDevice(std::u16string_view name) override {
    auto inner = FakePlatform::OpenDevice(name);
    if (!inner) return inner;
    return std::unique_ptr<source::ByteSource>(new Counting(std::move(*inner), blocks));
  }
  uint64_t blocks = 0;

 private:
  class Counting : public source::ByteSource {
   public:
    Counting(std::unique_ptr<source::ByteSource> inner, uint64_t& blocks) : inner_(std::move(inner)), blocks_(blocks) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
      bool ok = inner_->ReadAt(offset, out);
      if (ok && out.size() >= 4 && std::equal(out.begin(), out.begin() + 4, "INDX")) ++blocks_;
      return ok;
    }
    std::optional<uint64_t> Size() const override { return inner_->Size(); }

   private:
    std::unique_ptr<source::ByteSource> inner_;
    uint64_t& blocks_;
  };
};

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
  BlockCountingPlatform platform_;
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

TEST_F(LargeDirectoryTest, OneLookupReadsOneRootToLeafPathPlusOne) {
  std::vector<std::string> names;
  for (const Fact& fact : volume_->facts)
    if (fact.kind == "path" && fact.fields.at(2).rfind("\\huge\\", 0) == 0) names.push_back(fact.fields.at(2));
  ASSERT_GE(names.size(), 60000u);
  platform_.blocks = 0;
  ASSERT_NE(Resolve("\\huge"), 0u);
  const uint64_t root_blocks = platform_.blocks;

  // Walking every entry once reads every block; a search reads one path.
  uint64_t most = 0;
  for (size_t i = 0; i < names.size(); i += names.size() / 50) {
    platform_.blocks = 0;
    ASSERT_NE(Resolve(names[i]), 0u) << names[i];
    most = std::max(most, platform_.blocks - root_blocks);
  }
  // The tree of 60,000 names in 4 KiB blocks is at most 4 levels below its root.
  EXPECT_LE(most, 4u + 1u);
  EXPECT_GE(most, 2u);
}

}  // namespace
}  // namespace velmora
