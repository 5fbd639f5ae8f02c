// A file's content as Windows reads it, on synthetic volumes whose source
// bytes are known: every case is read in odd-sized pieces and checked
// against the SHA-256 of the bytes the file was made from, or against the
// error it must end with.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "content/content.h"
#include "content/hash.h"
#include "content/lznt1.h"
#include "content/wof.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/path.h"
#include "ntfs/volume.h"
#include "base/format.h"
#include "tests/support/compressors.h"
#include "tests/support/content_files.h"
#include "tests/support/deadline.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

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

using testing::DataAttribute;

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
// A failure after `given`: the bytes before the damage still read.
ContentCase FailsAfter(const char* what, std::function<Built()> build, Bytes given, std::string failure) {
  return ContentCase{what, std::move(build), std::move(given), std::move(failure), Compression::kNone, u""};
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
              return Built{{DataAttribute(u"", {{kLcn + 3, 3}, {kLcn, 3}}, text.size())},
                           Join({Bytes(text.begin() + 3 * kCluster, text.end()), Zeros(kCluster - 100),
                                 Bytes(text.begin(), text.begin() + 3 * kCluster)})};
            },
            text),
      Reads("sparse: hole, data, hole",
            [sparse_data] {
              return Built{{DataAttribute(u"", {{std::nullopt, 4}, {kLcn, 2}, {std::nullopt, 3}}, 9 * kCluster - 7,
                                        attr::kFlagSparse)},
                           sparse_data};
            },
            Join({Zeros(4 * kCluster), sparse_data, Zeros(3 * kCluster - 7)})),
      Reads("bytes past the initialized size are zeros whatever the clusters hold",
            [text] {
              return Built{{DataAttribute(u"", {{kLcn, 6}}, 6 * kCluster, 0, 0, 1000)}, Join({text, Pattern(kCluster, 5)})};
            },
            Join({Bytes(text.begin(), text.begin() + 1000), Zeros(6 * kCluster - 1000)})),
      Reads("named stream beside the unnamed one",
            [stream] {
              return Built{{testing::ResidentAttribute(0x80, 1, u"", Pattern(10, 6)),
                            DataAttribute(u"beta", {{kLcn, 3}}, stream.size(), 0, 0, std::nullopt, 2)},
                           stream};
            },
            stream, Compression::kNone, u"beta"),
      Fails("no such stream", [] { return Built{{testing::ResidentAttribute(0x80, 1, u"", Pattern(10, 6))}, {}}; },
            "no $DATA stream \"gamma\"", u"gamma"),
      Fails("runs short of the initialized size",
            [] { return Built{{DataAttribute(u"", {{kLcn, 2}}, 4 * kCluster)}, Pattern(2 * kCluster, 7)}; },
            "the runs end at byte 0x400 of the value, short of the 0x800 its initialized size needs"),
      Fails("encrypted by its flag",
            [] { return Built{{DataAttribute(u"", {{kLcn, 2}}, 1000, attr::kFlagEncrypted)}, {}}; }, "encrypted ($EFS)"),
      Fails("encrypted: an $EFS attribute",
            [] {
              return Built{
                  {DataAttribute(u"", {{kLcn, 2}}, 1000), testing::ResidentAttribute(0x100, 2, u"$EFS", Zeros(40))}, {}};
            },
            "its raw bytes are available with -w"),
  };
}

// Compression units of 16 clusters (8 KiB here), each stored, compressed,
// a hole, or damaged; the file's runs and clusters follow from them.
constexpr uint64_t kUnitClusters = 16;
constexpr uint64_t kUnitBytes = kUnitClusters * kCluster;
enum class Unit { kStored, kCompressed, kHole, kSignatureBroken };
struct UnitSpec {
  Unit kind;
  Bytes content;  // what the unit holds (a compressed one may hold less than a unit)
};

Built CompressedFile(const std::vector<UnitSpec>& units, uint64_t size, std::optional<uint64_t> initialized = {}) {
  std::vector<RunSpec> runs;
  Bytes clusters;
  for (const UnitSpec& u : units) {
    Bytes stored = u.kind == Unit::kStored ? u.content : testing::Lznt1Compress(u.content);
    if (u.kind == Unit::kSignatureBroken) stored[1] ^= 0x40;
    const uint64_t used = u.kind == Unit::kHole ? 0 : (stored.size() + kCluster - 1) / kCluster;
    if (used) runs.push_back({kLcn + clusters.size() / kCluster, used});
    if (used < kUnitClusters) runs.push_back({std::nullopt, kUnitClusters - used});
    stored.resize(used * kCluster);
    clusters.insert(clusters.end(), stored.begin(), stored.end());
  }
  return Built{{DataAttribute(u"", runs, size, attr::kFlagLznt1, 4, initialized)}, clusters};
}

Bytes UnitBytes(const Bytes& content) {
  Bytes unit = content;
  unit.resize(kUnitBytes);
  return unit;
}

std::vector<ContentCase> Lznt1Cases() {
  const Bytes text = testing::CompressibleText(kUnitBytes, 1);
  const Bytes raw = Pattern(kUnitBytes, 2);
  const Bytes shorter = testing::CompressibleText(3000, 3);
  const Bytes tail = testing::CompressibleText(5000, 4);
  auto mixed = [=](Unit second) {
    return [=] {
      return CompressedFile({{Unit::kStored, raw}, {second, text}, {Unit::kHole, {}}, {Unit::kCompressed, shorter},
                             {Unit::kCompressed, tail}},
                            4 * kUnitBytes + tail.size());
    };
  };
  const Bytes expected =
      Join({raw, text, Zeros(kUnitBytes), UnitBytes(shorter), tail});
  return {
      Reads("LZNT1: stored, compressed, all-hole, short and tail units", mixed(Unit::kCompressed), expected,
            Compression::kLznt1),
      Reads("LZNT1: bytes past the initialized size",
            [=] { return CompressedFile({{Unit::kCompressed, text}, {Unit::kStored, raw}}, 2 * kUnitBytes, 5000); },
            Join({Bytes(text.begin(), text.begin() + 5000), Zeros(2 * kUnitBytes - 5000)}), Compression::kLznt1),
      FailsAfter("LZNT1: a damaged unit names its content offset", mixed(Unit::kSignatureBroken), raw,
                 "compression unit at content offset 0x2000: LZNT1 chunk at byte 0x0 of the unit (header 0x"),
      FailsAfter("LZNT1: a damaged unit decoded beside a good one",
                 [=] {
                   return CompressedFile({{Unit::kCompressed, text}, {Unit::kSignatureBroken, text},
                                          {Unit::kCompressed, text}},
                                         3 * kUnitBytes);
                 },
                 text, "compression unit at content offset 0x2000: LZNT1 chunk"),
      Fails("LZNT1: a unit of more than 2^16 clusters",
            [] { return Built{{DataAttribute(u"", {{kLcn, 2}}, 1000, attr::kFlagLznt1, 17)}, {}}; },
            "compression unit of 2^17 clusters"),
      Fails("LZNT1: runs that stop inside a unit",
            [] { return Built{{DataAttribute(u"", {{kLcn, 20}}, 2 * kUnitBytes, attr::kFlagLznt1, 4)}, {}}; },
            "the runs end at byte 0x2800 of the value, short of the 0x4000 its initialized size needs"),
      Fails("compression other than LZNT1",
            [] { return Built{{DataAttribute(u"", {{kLcn, 2}}, 1000, 0x0002, 4)}, {}}; },
            "the attribute names compression 0x2, which NTFS does not define"),
  };
}

// A system-compressed file whose WofCompressedData stream is `stream`.
Built WofFile(uint32_t algorithm, uint64_t size, const Bytes& stream, uint32_t provider = 2) {
  return Built{testing::WofFileAttributes(algorithm, size, stream.size(), kLcn, provider), stream};
}

std::vector<ContentCase> WofCases() {
  std::vector<ContentCase> cases;
  cases.push_back(Fails("WOF: an unknown algorithm", [] { return WofFile(4, 100, Pattern(100, 1)); },
                        "WOF file provider algorithm 4: unknown"));
  cases.push_back(Fails("WOF: the WIM provider", [] { return WofFile(1, 100, Pattern(100, 1), 1); },
                        "WOF provider 1 (a WIM image)"));
#ifdef VELMORA_HAVE_WIMLIB
  static constexpr Compression kKinds[] = {Compression::kWofXpress4k, Compression::kWofLzx, Compression::kWofXpress8k,
                                           Compression::kWofXpress16k};
  static constexpr const char* kNames[] = {"WOF XPRESS4K: compressed and stored chunks", "WOF LZX",
                                           "WOF XPRESS8K", "WOF XPRESS16K"};
  for (uint32_t algorithm = 0; algorithm < 4; ++algorithm) {
    // Text, then a chunk of noise that stays stored, then text that ends
    // inside a chunk.
    const Bytes data = Join({testing::CompressibleText(70000, algorithm), Pattern(33000, 9),
                             testing::CompressibleText(12345, 7)});
    cases.push_back(Reads(kNames[algorithm],
                          [=] { return WofFile(algorithm, data.size(), testing::WofCompress(data, algorithm)); }, data,
                          kKinds[algorithm]));
  }
  const Bytes data = testing::CompressibleText(5 * 4096 + 100, 11);
  cases.push_back(Fails("WOF: a chunk table entry before the one it follows",
                        [=] {
                          Bytes stream = testing::WofCompress(data, 0);
                          testing::Put32(stream, 8, 3);
                          return WofFile(0, data.size(), stream);
                        },
                        "WofCompressedData: chunk table entry 2 is 0x3, not past the entry before it"));
  cases.push_back(Fails("WOF: a chunk table entry past the stream",
                        [=] {
                          Bytes stream = testing::WofCompress(data, 0);
                          testing::Put32(stream, 16, 0x100000);
                          return WofFile(0, data.size(), stream);
                        },
                        "chunk table entry 4 is 0x100000, not inside the"));
  cases.push_back(FailsAfter("WOF: a chunk whose Huffman table is damaged names its content offset",
                        [=] {
                          Bytes stream = testing::WofCompress(data, 0);
                          const uint32_t second = stream[0] | (stream[1] << 8);
                          std::fill_n(stream.begin() + 5 * 4 + second, 256, uint8_t{0x11});
                          return WofFile(0, data.size(), stream);
                        },
                        Bytes(data.begin(), data.begin() + 0x1000), "chunk 1 at content offset 0x1000: its "));
#else
  cases.push_back(Fails("WOF without wimlib", [] { return WofFile(0, 100, Pattern(100, 1)); },
                        "this build has no wimlib"));
#endif
  return cases;
}

TEST(ContentReaderTest, GivesTheBytesWindowsReads) {
  std::vector<ContentCase> cases = PlainCases();
  for (auto more : {Lznt1Cases(), WofCases()}) cases.insert(cases.end(), more.begin(), more.end());
  for (const ContentCase& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome outcome = testing::WithinDeadline([&] { return ReadContent(c.build(), c.stream); });
    if (!c.failure.empty()) {
      EXPECT_NE(outcome.failure.find(c.failure), std::string::npos) << outcome.failure;
      // Nothing past the damage, nothing before it lost.
      EXPECT_EQ(testing::Sha256Hex(outcome.bytes), testing::Sha256Hex(c.expected));
      continue;
    }
    EXPECT_EQ(outcome.failure, "");
    EXPECT_EQ(outcome.bytes.size(), c.expected.size());
    EXPECT_EQ(testing::Sha256Hex(outcome.bytes), testing::Sha256Hex(c.expected));
    EXPECT_EQ(outcome.info.size, c.expected.size());
    EXPECT_EQ(outcome.info.compression, c.compression);
  }
}

// Describe gives what Open would, and an encrypted stream's size and
// compression where Open refuses it.
TEST(ContentReaderTest, DescribeTellsEncryptedContentApart) {
  SyntheticVolume synthetic;
  synthetic.SetRecord(kFile, RecordBuilder(kFile)
                                 .Attribute(DataAttribute(u"", {{kLcn, 32}}, 10000, attr::kFlagLznt1, 4, 9000))
                                 .Resident(0x100, 2, u"$EFS", Zeros(40))
                                 .Build());
  testing::ReportHarness h(synthetic.image());
  auto base = ReadFileRecord(h.volume, RecordNumber(kFile));
  ASSERT_TRUE(base.has_value());
  FileAttributes file = FileAttributes::Open(h.volume, std::move(*base));
  auto info = ContentReader::Describe(h.volume, file, u"");
  ASSERT_TRUE(info.has_value());
  EXPECT_TRUE(info->encrypted);
  EXPECT_EQ(info->size, 10000u);
  EXPECT_EQ(info->initialized_size, 9000u);
  EXPECT_EQ(info->compression, Compression::kLznt1);
  EXPECT_EQ(ContentReader::Open(h.volume, file, u"").error().kind, ErrorKind::kLimit);
  EXPECT_EQ(ContentReader::Describe(h.volume, file, u"x").error().kind, ErrorKind::kAbsent);
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

// Every stream of the committed volumes' files gives the SHA-256 Sleuth
// Kit's icat gave: plain, sparse, resident, named, and the files under
// \compressed that ntfs-3g wrote with its compression option (compressed, stored and
// all-zero units, a sparse one).
class CommittedContentTest : public testing::OnCommittedVolumes {};

TEST_F(CommittedContentTest, EveryStreamGivesSleuthKitsHash) {
  size_t compressed = 0;
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const testing::TestVolume& volume = testing::LoadVolume(name);
    std::map<std::string, std::string> paths;  // record -> path
    for (const testing::Fact* f : volume.Facts("path")) paths[f->fields[0]] = f->fields[2];
    for (const testing::Fact* f : volume.Facts("value")) {
      const std::string& path = paths[f->fields[0]];
      // Every file's streams; the system files (\$...) are not content.
      if (f->fields[1] != "128" || path.empty() || path.rfind("\\$", 0) == 0) continue;
      const std::u16string stream = f->fields[3] == "-" ? u"" : Utf8ToUtf16(f->fields[3]);
      SCOPED_TRACE(path + ":" + f->fields[3]);
      testing::FakePlatform platform;
      platform.AddVolume(u'C', volume.image);
      VolumeContext context;
      auto reference = ResolvePath(testing::Target(path), context, platform);
      ASSERT_TRUE(reference.has_value());
      auto base = ReadFileRecord(context, reference->Record());
      ASSERT_TRUE(base.has_value());
      FileAttributes file = FileAttributes::Open(context, std::move(*base));
      auto reader = ContentReader::Open(context, file, stream);
      ASSERT_TRUE(reader.has_value()) << Utf16ToUtf8(reader.error().Line());
      Bytes bytes;
      Bytes piece(70000);
      for (;;) {
        auto count = reader->Read(piece);
        ASSERT_TRUE(count.has_value()) << Utf16ToUtf8(count.error().Line());
        if (*count == 0) break;
        bytes.insert(bytes.end(), piece.begin(), piece.begin() + *count);
      }
      EXPECT_EQ(std::to_string(bytes.size()), f->fields[4]);
      EXPECT_EQ(testing::Sha256Hex(bytes), f->fields[5]);
      EXPECT_EQ(reader->info().compression, f->fields[6] == "compressed" ? Compression::kLznt1 : Compression::kNone);
      compressed += reader->info().compression == Compression::kLznt1;
    }
  }
  EXPECT_GT(compressed, 0u);
}

// The example of Microsoft's LZNT1 documentation: 59 bytes that give the
// 142 of a tune's notes and a NUL; then damaged copies of it.
TEST(Lznt1Test, DecodesTheDocumentedExampleAndRefusesDamagedCopies) {
  const Bytes example = {0x38, 0xb0, 0x88, 0x46, 0x23, 0x20, 0x00, 0x20, 0x47, 0x20, 0x41, 0x00, 0x10, 0xa2, 0x47,
                         0x01, 0xa0, 0x45, 0x20, 0x44, 0x00, 0x08, 0x45, 0x01, 0x50, 0x79, 0x00, 0xc0, 0x45, 0x20,
                         0x05, 0x24, 0x13, 0x88, 0x05, 0xb4, 0x02, 0x4a, 0x44, 0xef, 0x03, 0x58, 0x02, 0x8c, 0x09,
                         0x16, 0x01, 0x48, 0x45, 0x00, 0xbe, 0x00, 0x9e, 0x00, 0x04, 0x01, 0x18, 0x90, 0x00};
  const std::string tune =
      "F# F# G A A G F# E D D E F# F# E E F# F# G A A G F# E D D E F# E D D E E F# D E F# G F# D E F# G F# E D E A "
      "F# F# G A A G F# E D D E F# E D D";
  Bytes expected(tune.begin(), tune.end());
  expected.push_back(0);
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    size_t out_bytes;
    std::string failure;
  };
  const std::vector<Case> cases = {
      {"as documented", [](Bytes&) {}, 4096, ""},
      {"followed by a zero header", [](Bytes& b) { b.insert(b.end(), {0, 0, 0x41}); }, 4096, ""},
      {"no signature", [](Bytes& b) { b[1] = 0x90; }, 4096, "(header 0x9038): no chunk signature"},
      {"a chunk longer than the data", [](Bytes& b) { b.resize(40); }, 4096, "runs past the end of the compressed data"},
      {"a reference before the chunk", [](Bytes& b) { b[6] = 0xFF; b[7] = 0xFF; }, 4096,
       "a back-reference reaches before the chunk"},
      {"output past the unit", [](Bytes&) {}, 100, "its output passes the end of the unit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes in = example;
    c.damage(in);
    Bytes out(c.out_bytes);
    auto produced = content::Lznt1Decompress(in, out);
    if (!c.failure.empty()) {
      ASSERT_FALSE(produced.has_value());
      EXPECT_NE(Utf16ToUtf8(produced.error().message).find(c.failure), std::string::npos)
          << Utf16ToUtf8(produced.error().message);
      continue;
    }
    ASSERT_TRUE(produced.has_value()) << Utf16ToUtf8(produced.error().message);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + *produced), expected);
  }
}

// Our own writer's chunks, long enough to reach every split of the
// back-reference, round-trip; a short chunk is followed by zeros up to the
// next chunk's place.
TEST(Lznt1Test, RoundTripsEverySplitAndPadsShortChunks) {
  const Bytes text = testing::CompressibleText(3 * 4096 + 17, 5);
  const Bytes compressed = testing::Lznt1Compress(text, 4096);
  Bytes out(4 * 4096);
  auto produced = content::Lznt1Decompress(compressed, out);
  ASSERT_TRUE(produced.has_value());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + *produced), text);

  Bytes two = testing::Lznt1Compress(Bytes(100, 'a'));
  const Bytes second = testing::Lznt1Compress(Bytes(10, 'b'));
  two.insert(two.end(), second.begin(), second.end());
  Bytes padded(8192, 0xEE);
  produced = content::Lznt1Decompress(two, padded);
  ASSERT_TRUE(produced.has_value());
  EXPECT_EQ(Bytes(padded.begin(), padded.begin() + *produced), Join({Bytes(100, 'a'), Zeros(3996), Bytes(10, 'b')}));
}

// The chunk table's geometry: one entry a chunk after the first, 8 bytes
// wide only past 4 GiB of content; entries checked across a window's edge.
TEST(WofTableTest, EntriesWidenPastFourGibAndMustRise) {
  struct Case {
    uint64_t size;
    uint32_t chunk;
    uint64_t chunks;
    unsigned entry;
  };
  for (const Case& c : {Case{0, 4096, 0, 4}, Case{4096, 4096, 1, 4}, Case{4097, 4096, 2, 4},
                        Case{0xFFFFFFFF, 32768, 0x20000, 4}, Case{0x100000000, 32768, 0x20000, 8}}) {
    const content::WofTable table = content::WofTableOf(c.size, c.chunk);
    EXPECT_EQ(table.chunks, c.chunks) << c.size;
    EXPECT_EQ(table.entry_bytes, c.entry) << c.size;
    EXPECT_EQ(table.table_bytes, c.chunks ? (c.chunks - 1) * c.entry : 0) << c.size;
  }
  Bytes wide(16);
  testing::Put64(wide, 0, 0x100000000);
  testing::Put64(wide, 8, 0x100000100);
  auto last = content::CheckWofEntries(wide, 8, 100, 0xFFFFFFFF, 0x200000000);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(*last, 0x100000100u);
  last = content::CheckWofEntries(wide, 8, 100, 0x100000000, 0x200000000);
  ASSERT_FALSE(last.has_value());
  EXPECT_EQ(Utf16ToUtf8(last.error().message),
            "WofCompressedData: chunk table entry 100 is 0x100000000, not past the entry before it (0x100000000)");
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
