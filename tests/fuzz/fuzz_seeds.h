// Seed inputs for the fuzz targets, cut from the committed volumes: file
// records, mapping pairs, attribute lists, index roots and INDX blocks,
// descriptors of $Secure, log pages. tests/fuzz/seed_writer.cpp writes
// them as corpora; the suite runs each through its target.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_targets.h"
#include "tests/support/usn_journal_builder.h"
#include "tests/support/compressors.h"
#include "tests/support/log_builder.h"

namespace velmora::fuzz {

namespace seeds {

inline void Append(std::vector<uint8_t>& out, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out.push_back(i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
}

inline std::vector<uint8_t> Bytes(VolumeContext& volume, const Region& region) {
  std::vector<uint8_t> out(region.offsets.size());
  for (size_t i = 0; i < out.size(); ++i) ReadVolumeBytes(volume, region.offsets[i], std::span<uint8_t>(&out[i], 1));
  return out;
}

// The raw (still protected) bytes of a record.
inline std::vector<uint8_t> RawRecord(VolumeMap& map, uint64_t number) {
  return Bytes(map.volume(), map.Record(number, "record"));
}

// The first `limit` bytes of a non-resident value as it lies on disk.
inline std::vector<uint8_t> RawValue(VolumeMap& map, uint64_t number, AttrType type, const CountedName* name,
                                     uint64_t limit) {
  auto record = ReadFileRecord(map.volume(), RecordNumber(number));
  if (!record) return {};
  // The list never names itself: it is found in the base record.
  const HeldAttribute held =
      type == AttrType::kAttributeList ? HeldAttribute() : FindFileAttribute(map.volume(), *record, type, name);
  const std::optional<AttributeRecord> attribute =
      type == AttrType::kAttributeList ? FindAttribute(*record, type, name, nullptr)
                                       : (held ? std::optional<AttributeRecord>(*held) : std::nullopt);
  if (!attribute) return {};
  if (!attribute->NonResident()) {
    auto value = attribute->ResidentValue();
    return std::vector<uint8_t>(value.begin(), value.end());
  }
  std::vector<uint8_t> out(std::min<uint64_t>(attribute->ValueSize(), limit));
  AttributeReader reader = AttributeReader::ForFileAttribute(map.volume(), *record, *attribute);
  if (!reader.ReadAttributeRange(0, out)) return {};
  return out;
}

// An attribute list entry.
inline void ListEntry(std::vector<uint8_t>& list, uint32_t type, uint64_t start_vcn, uint64_t reference,
                      uint16_t instance, const std::u16string& name = u"") {
  const size_t start = list.size();
  const size_t length = (0x1A + name.size() * 2 + 7) & ~size_t{7};
  Append(list, type, 4);
  Append(list, length, 2);
  list.push_back(static_cast<uint8_t>(name.size()));
  list.push_back(0x1A);
  Append(list, start_vcn, 8);
  Append(list, reference, 8);
  Append(list, instance, 2);
  for (char16_t unit : name) Append(list, unit, 2);
  list.resize(start + length);
}

inline std::vector<uint64_t> RecordNumbers(VolumeMap& map, uint64_t count) {
  std::vector<uint64_t> numbers;
  for (uint64_t n = 0; n < count; ++n)
    if (ReadFileRecord(map.volume(), RecordNumber(n))) numbers.push_back(n);
  return numbers;
}

}  // namespace seeds

// Seeds of every target, by target name.
inline std::map<std::string, std::vector<std::vector<uint8_t>>> MakeSeeds() {
  using namespace seeds;
  std::map<std::string, std::vector<std::vector<uint8_t>>> all;

  // Whole program: every action on a few paths of each volume, sound, then
  // with one structure damaged.
  for (unsigned volume = 0; volume < 3; ++volume) {
    for (uint8_t action = 0; action < 9; ++action) {
      for (uint8_t path : {0, 1, 3, 7, 8, 9}) {
        std::vector<uint8_t> seed = {action, path, static_cast<uint8_t>((volume << 6) | 0x0C)};
        Append(seed, action == 3 ? 0 : 5, 8);
        Append(seed, action == 3 || action == 2 ? 8 : 0, 4);
        all["whole_program"].push_back(seed);
      }
    }
    for (uint16_t region = 0; region < 9; ++region) {
      std::vector<uint8_t> seed = {static_cast<uint8_t>(region), 1, static_cast<uint8_t>(volume << 6)};
      Append(seed, 0, 12);
      Append(seed, region, 2);
      Append(seed, 0x14 + region * 4, 3);
      seed.insert(seed.end(), {3, 0xFF, 0x00, 0x7F, 0x01});
      all["whole_program"].push_back(seed);
    }
  }

  for (const char* name : {"c512", "c4k", "s4k"}) {
    const std::vector<uint8_t>& image = CommittedImage(name);
    if (image.empty()) continue;
    VolumeMap map(image);
    if (!map.ok()) continue;
    const uint32_t cluster = map.cluster();
    const uint32_t record_bytes = map.volume().BytesPerFileRecord();
    const uint64_t bigdir = map.Child(u"bigdir");
    const uint64_t manystreams = map.Child(u"manystreams.txt");
    const uint64_t manylinks = map.Child(u"base.txt", map.Child(u"manylinks"));
    std::vector<uint64_t> numbers = RecordNumbers(map, 200);
    for (uint64_t n : {bigdir, manystreams, manylinks})
      if (n != 0) numbers.push_back(n);

    // File records, as they lie on disk; 4 KiB ones as record 12 (the
    // synthetic MFT holds sixteen of that size).
    const uint8_t size_selector = record_bytes == 4096 ? (2 << 3) | 3 : (record_bytes == 512 ? (3 << 3) : 2);
    for (size_t i = 0; i < numbers.size(); ++i) {
      if (numbers[i] >= 24 && i % 6 != 0 && numbers[i] != bigdir && numbers[i] != manystreams &&
          numbers[i] != manylinks)
        continue;
      std::vector<uint8_t> seed = {size_selector};
      auto raw = RawRecord(map, numbers[i]);
      seed.insert(seed.end(), raw.begin(), raw.end());
      all["file_record"].push_back(seed);
      if (numbers[i] == 0 && record_bytes == 1024) {
        seed[0] = 0;  // as record 0 itself
        all["file_record"].push_back(seed);
      }
    }

    // Mapping pairs of every non-resident attribute of those records.
    const uint8_t cluster_selector = cluster == 512 ? 0 : (cluster == 4096 ? 2 : 3);
    std::set<std::vector<uint8_t>> pairs_seen;
    for (uint64_t n : numbers) {
      auto record = ReadFileRecord(map.volume(), RecordNumber(n));
      if (!record) continue;
      AttributeWalk walk(*record);
      while (auto a = walk.Next()) {
        if (!a->NonResident()) continue;
        std::vector<uint8_t> pairs(a->MappingPairs().begin(), a->MappingPairs().end());
        if (!pairs_seen.insert(pairs).second) continue;
        std::vector<uint8_t> seed = {cluster_selector};
        Append(seed, a->StartVcn(), 8);
        Append(seed, a->LastVcn(), 8);
        Append(seed, 0, 8);
        Append(seed, 4096, 2);
        seed.insert(seed.end(), pairs.begin(), pairs.end());
        all["data_runs"].push_back(seed);
      }
      // Attribute lists as the volume holds them.
      auto list = RawValue(map, n, AttrType::kAttributeList, nullptr, 8000);
      if (!list.empty()) {
        for (uint8_t selector : {0, 1}) {
          std::vector<uint8_t> seed = {selector};
          seed.insert(seed.end(), list.begin(), list.end());
          all["attribute_list"].push_back(seed);
        }
      }
    }

    // Index roots with their blocks: c512's clusters match the synthetic
    // volume's, so its sub-node VCNs name the right blocks.
    if (cluster == 512) {
      auto add_index = [&](uint8_t selector, uint64_t number, const CountedName& index) {
        auto root = RawValue(map, number, AttrType::kIndexRoot, &index, 512);
        auto blocks = RawValue(map, number, AttrType::kIndexAllocation, &index, 64 * 512);
        if (root.empty() || root.size() > 512) return;
        for (uint8_t extra : {0, 2}) {
          std::vector<uint8_t> seed = {static_cast<uint8_t>(selector | extra)};
          Append(seed, root.size(), 2);
          seed.insert(seed.end(), root.begin(), root.end());
          seed.insert(seed.end(), blocks.begin(), blocks.end());
          all["index_walk"].push_back(seed);
        }
      };
      add_index(0, kRootReference.value, kI30Name);
      if (bigdir != 0) add_index(4, bigdir, kI30Name);
      add_index(1, kSecureReference.value, kSiiName);
    }

    // Descriptors of $Secure:$SDS, each without its entry header.
    static constexpr CountedName kSds{u"$SDS"};
    auto sds = RawValue(map, kSecureReference.value, AttrType::kData, &kSds, 0x4000);
    for (uint64_t at = 0; at + 0x14 <= sds.size();) {
      const uint32_t length = LeBytes(sds).U32(at + 0x10);
      if (length < 0x14 || at + length > sds.size()) break;
      std::vector<uint8_t> seed = {0x10};
      seed.insert(seed.end(), sds.begin() + at + 0x14, sds.begin() + at + length);
      all["security_descriptor"].push_back(seed);
      at = (at + length + 15) & ~uint64_t{15};
    }

    // The log file's restart pages and first record pages, with the LSNs planted there.
    auto log = RawValue(map, kLogFileReference.value, AttrType::kData, nullptr, 0x9000);
    for (const std::u16string& lsn_text : ManifestLsns(name)) {
      std::vector<uint8_t> seed = {0};
      Append(seed, std::stoull(Utf16ToUtf8(lsn_text), nullptr, 16), 8);
      seed.insert(seed.end(), log.begin(), log.end());
      all["log_record"].push_back(seed);
    }
  }

  // Whole logs from the log builder: operations with events, records
  // spanning pages, a log that wrapped; each in every output form, and one
  // with its pages to be sealed again.
  {
    using namespace testing::log_pages;
    constexpr uint64_t kTime = 0x01D4C19390C80791;
    std::vector<std::vector<uint8_t>> logs;
    {
      LogBuilder b(4);
      b.Append(9, Operation(Op::kInitializeFileRecordSegment, Op::kNoop, std::vector<uint8_t>(0x40, 1), {}, 0x41));
      b.Append(9, Operation(Op::kAddIndexEntryRoot, Op::kDeleteIndexEntryRoot,
                            NameEntry(0x0001000000000041, u"new.txt", kTime), {}, 5));
      b.Append(9, Operation(Op::kUpdateResidentValue, Op::kUpdateResidentValue, Times(kTime + 100, kTime + 200),
                            Times(kTime + 10, kTime + 20), 0x40, 0x38, 0x18 + 8));
      b.Append(10, Operation(Op::kDeleteIndexEntryAllocation, Op::kAddIndexEntryAllocation, {},
                             NameEntry(0x0001000000000041, u"new.txt", kTime), 0));
      b.Append(10, Operation(Op::kDeallocateFileRecordSegment, Op::kInitializeFileRecordSegment, {}, {}, 0x41));
      b.Append(10, Operation(Op::kCommitTransaction, Op::kNoop, {}, {}, 0));
      logs.push_back(b.Finish());
    }
    {
      LogBuilder b(6);
      b.Append(1, Filler(0x100));
      b.Append(1, Filler(0x2800));
      b.Append(1, Filler(0xFA0));
      b.Append(1, Filler(0x20), 0, 2);
      logs.push_back(b.Finish());
    }
    {
      LogBuilder b(5);
      for (int i = 0; i < 60; ++i) b.Append(1, Filler(0x180 + 8 * (i % 7)));
      logs.push_back(b.Finish());
    }
    for (const auto& log : logs) {
      for (uint8_t selector : {0x00, 0x01, 0x02, 0x03, 0x0C}) {
        std::vector<uint8_t> seed = {selector};
        seed.insert(seed.end(), log.begin(), log.end());
        all["logfile"].push_back(seed);
      }
    }
  }

  // A list that names the synthetic records of the attribute list target,
  // and one for its MFT mode.
  {
    std::vector<uint8_t> list;
    ListEntry(list, 0x10, 0, 30, 0);
    ListEntry(list, 0x30, 0, 30, 2);
    ListEntry(list, 0x30, 0, 31, 1);
    ListEntry(list, 0x30, 0, 32, 1);
    ListEntry(list, 0x50, 0, 32, 2);
    ListEntry(list, 0x80, 0, 30, 3);
    ListEntry(list, 0x80, 4, 31, 0);
    ListEntry(list, 0x80, 0, 32, 0, u"alpha");
    for (uint8_t selector : {0, 1, 4, 9}) {
      std::vector<uint8_t> seed = {selector};
      seed.insert(seed.end(), list.begin(), list.end());
      all["attribute_list"].push_back(seed);
    }
    std::vector<uint8_t> mft;
    ListEntry(mft, 0x30, 0, 0, 1);
    ListEntry(mft, 0x80, 0, 0, 2);
    ListEntry(mft, 0x80, 64, 33, 0);
    std::vector<uint8_t> seed = {2};
    seed.insert(seed.end(), mft.begin(), mft.end());
    all["attribute_list"].push_back(seed);
  }
  // Containers: the signatures alone, and small real ones where the tools
  // that make them are installed.
  for (const char* signature : {"EVF\x09\x0D\x0A\xFF", "AFF10\x0D\x0A", "vhdxfile", "conectix", "KDMV",
                                "# Disk DescriptorFile\n", "QFI\xFB"}) {
    std::string text(signature);
    if (text.rfind("EVF", 0) == 0 || text.rfind("AFF", 0) == 0) text.push_back('\0');
    all["containers"].emplace_back(text.begin(), text.end());
  }
#ifndef _WIN32
  const auto dir = std::filesystem::temp_directory_path() / ("velmora-seeds-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  {
    std::vector<uint8_t> raw(64 << 10);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>((i >> 9) * 7 + (i & 0x1F));
    std::ofstream(dir / "vol.raw", std::ios::binary).write(reinterpret_cast<const char*>(raw.data()), raw.size());
  }
  const std::string quoted = "'" + dir.string() + "'";
  std::system(("cd " + quoted + " && (qemu-img convert -O qcow2 vol.raw a.qcow2; qemu-img convert -O vpc vol.raw a.vhd; "
               "qemu-img convert -O vmdk vol.raw a.vmdk; qemu-img convert -O vmdk -o subformat=streamOptimized "
               "vol.raw b.vmdk; ewfacquire -u -q -t a vol.raw; ewfacquire -u -q -c none -t b vol.raw; "
               "affconvert -q -Oout vol.raw; mv out/vol.aff a.aff) >/dev/null 2>&1")
                  .c_str());
  for (const char* name : {"a.qcow2", "a.vhd", "a.vmdk", "b.vmdk", "a.E01", "b.E01", "a.aff"}) {
    std::ifstream in(dir / name, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!bytes.empty() && bytes.size() <= (1u << 20)) all["containers"].push_back(std::move(bytes));
  }
  std::filesystem::remove_all(dir);
#endif
  // Change journals of every version, one with a directory renamed.
  {
    using testing::JournalBuilder;
    const FileReference root = FileReference::Of(5, 5), dir = FileReference::Of(40, 1);
    for (uint16_t version : {2, 3}) {
      JournalBuilder journal;
      journal.Add({version, dir, root, 0x100, 0x10, u"old"});
      journal.Add({version, FileReference::Of(64, 1), dir, 0x100, 0x20, u"file.txt"});
      journal.Add({version, dir, root, 0x1000, 0x10, u"old"});
      journal.Add({version, dir, root, 0x2000, 0x10, u"new"});
      journal.Add({4, FileReference::Of(64, 1), dir, 0x2, 0, u"", 0, {{0, 4096}, {8192, 4096}}});
      std::vector<uint8_t> seed = {static_cast<uint8_t>(version & 1)};
      const auto bytes = journal.Stream(false);
      seed.insert(seed.end(), bytes.begin(), bytes.end());
      all["usn_journal"].push_back(seed);
    }
  }
  // Content: LZNT1 data of text, a file compressed into one compressed and
  // one stored unit, and a WofCompressedData stream of each algorithm.
  {
    const std::vector<uint8_t> text = testing::CompressibleText(12000, 1);
    auto seed = [](uint8_t selector, uint32_t size, const std::vector<uint8_t>& bytes) {
      std::vector<uint8_t> out{selector};
      seeds::Append(out, size, 4);
      out.insert(out.end(), bytes.begin(), bytes.end());
      return out;
    };
    const std::vector<uint8_t> packed = testing::Lznt1Compress(std::vector<uint8_t>(text.begin(), text.begin() + 8192));
    all["content"].push_back(seed(0, 8192, packed));
    std::vector<uint8_t> units = packed;
    const uint8_t used = static_cast<uint8_t>((packed.size() + 511) / 512);
    units.resize(used * 512u);
    units.insert(units.end(), text.begin(), text.begin() + 8192);
    all["content"].push_back(seed(static_cast<uint8_t>(1 | (used << 2)), 16384, units));
#ifdef VELMORA_HAVE_WIMLIB
    for (uint8_t algorithm = 0; algorithm < 4; ++algorithm)
      all["content"].push_back(seed(static_cast<uint8_t>(2 | (algorithm << 2)), 12000, testing::WofCompress(text, algorithm)));
#endif
  }
  return all;
}

}  // namespace velmora::fuzz
