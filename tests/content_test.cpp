// A file's content as Windows reads it, on synthetic volumes whose source
// bytes are known: every case is read in odd-sized pieces and checked
// against the SHA-256 of the bytes the file was made from, or against the
// error it must end with.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "content/content.h"
#include "content/hash.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "base/format.h"
#include "tests/support/deadline.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"

namespace velmora {
namespace {

using content::Compression;
using content::ContentReader;
using testing::Bytes;
using testing::EncodeRuns;
using testing::Pattern;
using testing::RecordBuilder;
using testing::RunSpec;
using testing::SyntheticVolume;

constexpr uint64_t kFile = 40;
constexpr uint32_t kCluster = SyntheticVolume::kCluster;
constexpr uint64_t kLcn = SyntheticVolume::kFreeLcn;

Bytes Zeros(size_t count) { return Bytes(count, 0); }
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A non-resident attribute as NTFS writes it, with the fields the content
// depends on set apart: flags, compression unit, initialized size.
Bytes NonResident(const std::u16string& name, const std::vector<RunSpec>& runs, uint64_t size, uint16_t flags = 0,
                  uint8_t unit_shift = 0, std::optional<uint64_t> initialized = std::nullopt, uint16_t id = 1) {
  uint64_t clusters = 0;
  for (const RunSpec& r : runs) clusters += r.length;
  Bytes a = testing::NonResidentAttribute(0x80, id, name, EncodeRuns(runs), 0, clusters ? clusters - 1 : 0,
                                          clusters * kCluster, size);
  testing::Put16(a, 0x0C, flags);
  testing::Put16(a, 0x22, unit_shift);
  testing::Put64(a, 0x38, initialized.value_or(size));
  return a;
}

// What one case builds: file record kFile's attributes and the clusters
// they name, from kLcn on.
struct Built {
  std::vector<Bytes> attributes;
  Bytes clusters;
};

struct ContentCase {
  const char* what;
  std::function<Built()> build;
  Bytes expected;       // the content, when it reads through
  std::string failure;  // else a part of the error's line
  Compression compression = Compression::kNone;
  std::u16string stream;
};

ContentCase Reads(const char* what, std::function<Built()> build, Bytes expected,
                  Compression compression = Compression::kNone, std::u16string stream = u"") {
  return ContentCase{what, std::move(build), std::move(expected), "", compression, std::move(stream)};
}
ContentCase Fails(const char* what, std::function<Built()> build, std::string failure, std::u16string stream = u"") {
  return ContentCase{what, std::move(build), {}, std::move(failure), Compression::kNone, std::move(stream)};
}

struct Outcome {
  Bytes bytes;
  std::string failure;
  content::ContentInfo info;
};

Outcome ReadContent(const Built& built, const std::u16string& stream) {
  SyntheticVolume synthetic;
  RecordBuilder record(kFile);
  record.Resident(0x10, 0, u"", Bytes(0x48, 0));
  for (const Bytes& a : built.attributes) record.Attribute(a);
  EXPECT_TRUE(record.Fits());
  synthetic.SetRecord(kFile, record.Build());
  if (!built.clusters.empty()) synthetic.SetClusters(kLcn, built.clusters);
  testing::ReportHarness h(synthetic.image());
  auto base = ReadFileRecord(h.volume, RecordNumber(kFile));
  EXPECT_TRUE(base.has_value());
  FileAttributes file = FileAttributes::Open(h.volume, std::move(*base));
  Outcome outcome;
  auto reader = ContentReader::Open(h.volume, file, stream);
  if (!reader) {
    outcome.failure = Utf16ToUtf8(reader.error().Line());
    return outcome;
  }
  outcome.info = reader->info();
  Bytes piece(1000);
  for (;;) {
    auto count = reader->Read(piece);
    if (!count) {
      outcome.failure = Utf16ToUtf8(count.error().Line());
      break;
    }
    if (*count == 0) break;
    outcome.bytes.insert(outcome.bytes.end(), piece.begin(), piece.begin() + *count);
  }
  return outcome;
}

std::vector<ContentCase> PlainCases() {
  const Bytes text = Pattern(5 * kCluster + 100, 1);
  const Bytes sparse_data = Pattern(2 * kCluster, 2);
  const Bytes stream = Pattern(3 * kCluster, 3);
  return {
      Reads("resident", [] { return Built{{testing::ResidentAttribute(0x80, 1, u"", Pattern(300, 4))}, {}}; },
            Pattern(300, 4)),
      Reads("non-resident, two runs",
            [text] {
              return Built{{NonResident(u"", {{kLcn + 3, 3}, {kLcn, 3}}, text.size())},
                           Join({Bytes(text.begin() + 3 * kCluster, text.end()), Zeros(kCluster - 100),
                                 Bytes(text.begin(), text.begin() + 3 * kCluster)})};
            },
            text),
      Reads("sparse: hole, data, hole",
            [sparse_data] {
              return Built{{NonResident(u"", {{std::nullopt, 4}, {kLcn, 2}, {std::nullopt, 3}}, 9 * kCluster - 7,
                                        attr::kFlagSparse)},
                           sparse_data};
            },
            Join({Zeros(4 * kCluster), sparse_data, Zeros(3 * kCluster - 7)})),
      Reads("bytes past the initialized size are zeros whatever the clusters hold",
            [text] {
              return Built{{NonResident(u"", {{kLcn, 6}}, 6 * kCluster, 0, 0, 1000)}, Join({text, Pattern(kCluster, 5)})};
            },
            Join({Bytes(text.begin(), text.begin() + 1000), Zeros(6 * kCluster - 1000)})),
      Reads("named stream beside the unnamed one",
            [stream] {
              return Built{{testing::ResidentAttribute(0x80, 1, u"", Pattern(10, 6)),
                            NonResident(u"beta", {{kLcn, 3}}, stream.size(), 0, 0, std::nullopt, 2)},
                           stream};
            },
            stream, Compression::kNone, u"beta"),
      Fails("no such stream", [] { return Built{{testing::ResidentAttribute(0x80, 1, u"", Pattern(10, 6))}, {}}; },
            "no $DATA stream \"gamma\"", u"gamma"),
      Fails("runs short of the initialized size",
            [] { return Built{{NonResident(u"", {{kLcn, 2}}, 4 * kCluster)}, Pattern(2 * kCluster, 7)}; },
            "the runs end at byte 0x400 of the value, short of its 2048 initialized bytes"),
      Fails("encrypted by its flag",
            [] { return Built{{NonResident(u"", {{kLcn, 2}}, 1000, attr::kFlagEncrypted)}, {}}; }, "encrypted ($EFS)"),
      Fails("encrypted: an $EFS attribute",
            [] {
              return Built{
                  {NonResident(u"", {{kLcn, 2}}, 1000), testing::ResidentAttribute(0x100, 2, u"$EFS", Zeros(40))}, {}};
            },
            "its raw bytes are available with -w"),
  };
}

TEST(ContentReaderTest, GivesTheBytesWindowsReads) {
  for (const ContentCase& c : PlainCases()) {
    SCOPED_TRACE(c.what);
    Outcome outcome = testing::WithinDeadline([&] { return ReadContent(c.build(), c.stream); });
    if (!c.failure.empty()) {
      EXPECT_NE(outcome.failure.find(c.failure), std::string::npos) << outcome.failure;
      continue;
    }
    EXPECT_EQ(outcome.failure, "");
    EXPECT_EQ(outcome.bytes.size(), c.expected.size());
    EXPECT_EQ(testing::Sha256Hex(outcome.bytes), testing::Sha256Hex(c.expected));
    EXPECT_EQ(outcome.info.size, c.expected.size());
    EXPECT_EQ(outcome.info.compression, c.compression);
  }
}

TEST(ContentReaderTest, SparseRangesAreTheHolesWithinTheContent) {
  const ContentCase c = PlainCases()[2];
  Outcome outcome = ReadContent(c.build(), u"");
  EXPECT_TRUE(outcome.info.sparse);
  ASSERT_EQ(outcome.info.sparse_ranges.size(), 2u);
  EXPECT_EQ(outcome.info.sparse_ranges[0].offset, 0u);
  EXPECT_EQ(outcome.info.sparse_ranges[0].length, 4u * kCluster);
  EXPECT_EQ(outcome.info.sparse_ranges[1].offset, 6u * kCluster);
  EXPECT_EQ(outcome.info.sparse_ranges[1].length, 3u * kCluster - 7);
}

TEST(HasherTest, KnownDigestsOfAbc) {
  if (!content::HashingAvailable()) GTEST_SKIP() << "built without libcrypto";
  content::Hasher hasher;
  const std::string abc = "abc";
  hasher.Update(std::span(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()));
  content::Digests d = hasher.Finish();
  EXPECT_EQ(d.md5, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(d.sha1, "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(d.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hasher.Finish().sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
}  // namespace velmora
