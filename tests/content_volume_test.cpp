// The content volume (tests/data/content/): every file and stream the build
// script wrote reads back as the bytes it wrote (the manifest's content
// lines, from the build's own log): LZNT1-compressed files, sparse files,
// an initialized size short of the size, named streams, the four system
// compressions with stored chunks, and a sparse file over 4 GiB.
//
// Compiled with the content reader only (content/content.h).
#if __has_include("content/content.h")

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/format.h"
#include "content/content.h"
#include "content/hash.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using content::Compression;
using content::ContentReader;

constexpr const char* kVolume = "content/content";
constexpr const char* kHuge = "\\sparse\\huge.bin";

struct Expectation {
  Compression compression;
  bool sparse;
  uint64_t initialized_size;  // 0: the size
};

// What each file was made as (tools/make_volumes.sh, content_volume).
const std::map<std::string, Expectation>& Expected() {
  static const std::map<std::string, Expectation> expected = {
      {"\\compressed\\text.txt", {Compression::kLznt1, false, 0}},
      {"\\compressed\\random.bin", {Compression::kLznt1, false, 0}},
      {"\\compressed\\mixed.bin", {Compression::kLznt1, true, 0}},
      {"\\compressed\\large.txt", {Compression::kLznt1, false, 0}},
      {"\\compressed\\truncated.txt", {Compression::kLznt1, true, 0}},
      // ntfs-3g leaves the initialized size where the last write ended
      // (istat's init_size): the trailing hole lies past it.
      {"\\sparse\\holes.bin", {Compression::kNone, true, 90189}},
      {"\\sparse\\initialized.bin", {Compression::kNone, true, 10000}},
      {"\\streams.txt", {Compression::kNone, false, 0}},
      {"\\wof\\xpress4k.txt", {Compression::kWofXpress4k, false, 0}},
      {"\\wof\\xpress8k.bin", {Compression::kWofXpress8k, false, 0}},
      {"\\wof\\xpress16k.txt", {Compression::kWofXpress16k, false, 0}},
      {"\\wof\\lzx.txt", {Compression::kWofLzx, false, 0}},
      {"\\wof\\small.txt", {Compression::kWofXpress4k, false, 0}},
  };
  return expected;
}

struct Opened {
  VolumeContext volume;
  std::optional<ContentReader> reader;
};

// Opens the stream of the record; a failure is the test's.
void Open(const testing::TestVolume& image, uint64_t record, const std::string& stream, Opened& opened) {
  ASSERT_TRUE(OpenVolumeSource(opened.volume,
                               std::make_unique<source::MemorySource>(std::span<const uint8_t>(image.image)), u"c"));
  auto base = ReadFileRecord(opened.volume, RecordNumber(record));
  ASSERT_TRUE(base.has_value());
  FileAttributes file = FileAttributes::Open(opened.volume, std::move(*base));
  auto reader = ContentReader::Open(opened.volume, file, stream == "-" ? u"" : Utf8ToUtf16(stream));
  ASSERT_TRUE(reader.has_value()) << Utf16ToUtf8(reader.error().Line());
  opened.reader.emplace(std::move(*reader));
}

std::map<std::string, std::string> PathsOf(const testing::TestVolume& image) {
  std::map<std::string, std::string> paths;  // record -> path
  for (const testing::Fact* f : image.Facts("path")) paths[f->fields[0]] = f->fields[2];
  return paths;
}

TEST(ContentVolume, EveryFileGivesTheBytesWrittenIntoIt) {
  const testing::TestVolume& image = testing::LoadVolume(kVolume);
  auto paths = PathsOf(image);
  size_t checked = 0;
  for (const testing::Fact* fact : image.Facts("content")) {
    const std::string& path = paths[fact->fields[0]];
    if (path == kHuge) continue;  // LargeVolumesSparseFileOver4GiB
    SCOPED_TRACE(path + ":" + fact->fields[1]);
#ifndef VELMORA_HAVE_WIMLIB
    // Without wimlib (the Windows build) a system-compressed file is refused,
    // and the reason names what the build lacks.
    if (auto known = Expected().find(path); fact->fields[1] == "-" && known != Expected().end() &&
                                            known->second.compression != Compression::kNone &&
                                            known->second.compression != Compression::kLznt1) {
      VolumeContext volume;
      ASSERT_TRUE(OpenVolumeSource(volume, std::make_unique<source::MemorySource>(std::span<const uint8_t>(image.image)),
                                   u"c"));
      auto base = ReadFileRecord(volume, RecordNumber(std::stoull(fact->fields[0])));
      ASSERT_TRUE(base.has_value());
      FileAttributes file = FileAttributes::Open(volume, std::move(*base));
      auto refused = ContentReader::Open(volume, file, u"");
      ASSERT_FALSE(refused.has_value());
      EXPECT_NE(refused.error().Line().find(u"wimlib"), std::u16string::npos);
      ++checked;
      continue;
    }
#endif
    Opened opened;
    Open(image, std::stoull(fact->fields[0]), fact->fields[1], opened);
    if (!opened.reader) continue;
    std::vector<uint8_t> bytes, piece(65521);  // a prime: reads straddle every unit and chunk
    for (;;) {
      auto count = opened.reader->Read(piece);
      ASSERT_TRUE(count.has_value()) << Utf16ToUtf8(count.error().Line());
      if (*count == 0) break;
      bytes.insert(bytes.end(), piece.begin(), piece.begin() + *count);
    }
    EXPECT_EQ(std::to_string(bytes.size()), fact->fields[2]);
    EXPECT_EQ(testing::Sha256Hex(bytes), fact->fields[3]);
    const content::ContentInfo& info = opened.reader->info();
    EXPECT_EQ(info.size, bytes.size());
    auto expected = Expected().find(path);
    ASSERT_NE(expected, Expected().end()) << "a file the table does not know";
    if (fact->fields[1] != "-") continue;  // the named streams: plain
    EXPECT_EQ(content::CompressionName(info.compression), content::CompressionName(expected->second.compression));
    EXPECT_EQ(info.sparse, expected->second.sparse);
    EXPECT_EQ(info.initialized_size, expected->second.initialized_size ? expected->second.initialized_size : info.size);
    ++checked;
  }
  EXPECT_EQ(checked, Expected().size());
}

// 5 GiB of content, nearly all holes: the label that runs the large volumes.
TEST(ContentVolume, LargeVolumesSparseFileOver4GiB) {
  if (!content::HashingAvailable()) GTEST_SKIP() << "built without libcrypto";
  const testing::TestVolume& image = testing::LoadVolume(kVolume);
  auto paths = PathsOf(image);
  for (const testing::Fact* fact : image.Facts("content")) {
    if (paths[fact->fields[0]] != kHuge) continue;
    Opened opened;
    Open(image, std::stoull(fact->fields[0]), fact->fields[1], opened);
    ASSERT_TRUE(opened.reader);
    EXPECT_TRUE(opened.reader->info().sparse);
    content::Hasher hasher;
    std::vector<uint8_t> piece(1 << 20);
    uint64_t size = 0;
    for (;;) {
      auto count = opened.reader->Read(piece);
      ASSERT_TRUE(count.has_value()) << Utf16ToUtf8(count.error().Line());
      if (*count == 0) break;
      hasher.Update(std::span<const uint8_t>(piece.data(), *count));
      size += *count;
    }
    EXPECT_EQ(std::to_string(size), fact->fields[2]);
    EXPECT_EQ(hasher.Finish().sha256, fact->fields[3]);
    return;
  }
  FAIL() << "no content line for " << kHuge;
}

}  // namespace
}  // namespace velmora

#endif
