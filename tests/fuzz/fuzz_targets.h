// The bodies of the fuzz targets, one function per target. The libFuzzer
// entry points (tests/fuzz/fuzz_*.cpp) and the suite's replay of kept
// crash inputs (tests/fuzz_regression_test.cpp) both call these, so an
// input that once broke a reader is replayed by every ordinary test run.
//
// Every target reads its volume from memory and writes nothing anywhere:
// output goes to string sinks, -w files to the fake platform's map.
// Header-only: the fuzz build (clang) and the test suite (g++) take it alike.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "content/content.h"
#include "content/lznt1.h"
#include "history/index_slack.h"
#include "history/record_slack.h"
#include "ntfs/attribute_list.h"
#include "ntfs/attribute_set.h"
#include "ntfs/data_runs.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/lookup.h"
#include "ntfs/path.h"
#include "ntfs/upcase.h"
#include "ntfs/value_reader.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"
#include "base/format.h"
#include "output/console.h"
#include "ntfs/log_file.h"
#include "history/usn_journal.h"
#include "history/usn_paths.h"
#include "reports/logfile.h"
#include "reports/reports.h"
#include "history/log_records.h"
#include "security/descriptor.h"
#include "source/evidence.h"
#include "tests/fuzz/volume_regions.h"
#ifdef VELMORA_TEST_CACHE
#include "tests/support/volumes.h"
#endif
#include "tests/support/content_files.h"
#include "tests/support/fake_platform.h"
#include "tests/support/synthetic_volume.h"
#ifndef _WIN32
#include <unistd.h>

#include <filesystem>

#include "platform/posix/file_source.h"
#endif

namespace velmora::fuzz {

// Reads the fuzzer's bytes front to back; past the end everything is 0.
class FuzzInput {
 public:
  explicit FuzzInput(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint8_t U8() { return static_cast<uint8_t>(Take(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  uint64_t U64() { return Take(8); }
  std::span<const uint8_t> Bytes(size_t count) {
    count = std::min(count, bytes_.size() - position_);
    auto out = bytes_.subspan(position_, count);
    position_ += count;
    return out;
  }
  std::span<const uint8_t> Rest() { return Bytes(bytes_.size() - position_); }
  bool empty() const { return position_ >= bytes_.size(); }

 private:
  uint64_t Take(unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width && position_ < bytes_.size(); ++i) value |= uint64_t{bytes_[position_++]} << (8 * i);
    return value;
  }
  std::span<const uint8_t> bytes_;
  size_t position_ = 0;
};

// Where the committed volumes are: VELMORA_FUZZ_DATA, else the source tree.
inline std::string TestDataDir() {
  if (const char* dir = std::getenv("VELMORA_FUZZ_DATA")) return dir;
#ifdef VELMORA_TEST_DATA
  return VELMORA_TEST_DATA;
#else
  return "tests/data";
#endif
}

// A committed volume's image, unpacked once per process (empty when missing).
// The test suite goes through its own volume cache, which also serves the
// Windows build of the suite, where no xz process can be started.
inline const std::vector<uint8_t>& CommittedImage(const std::string& name) {
#ifdef VELMORA_TEST_CACHE
  return testing::LoadVolume(name).image;
#else
  static std::mutex mutex;
  static std::map<std::string, std::vector<uint8_t>> images;
  std::lock_guard<std::mutex> lock(mutex);
  auto [it, fresh] = images.try_emplace(name);
  if (fresh) {
    const std::string command = "xz -dc '" + TestDataDir() + "/" + name + ".img.xz' 2>/dev/null";
    if (FILE* pipe = popen(command.c_str(), "r")) {
      std::array<uint8_t, 1 << 16> buffer;
      size_t n;
      while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) it->second.insert(it->second.end(), buffer.data(), buffer.data() + n);
      pclose(pipe);
    }
  }
  return it->second;
#endif
}

// The LSNs a committed volume's manifest names.
inline std::vector<std::u16string> ManifestLsns(const std::string& name) {
  std::vector<std::u16string> lsns;
  std::ifstream in(TestDataDir() + "/" + name + ".manifest");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("lsn\t", 0) != 0) continue;
    const size_t end = line.find('\t', 4);
    lsns.push_back(Utf8ToUtf16(line.substr(4, end == std::string::npos ? std::string::npos : end - 4)));
  }
  return lsns;
}

inline std::u16string HexText(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
  return Utf8ToUtf16(text);
}

// Writes an update sequence into a protected block: the array at
// array_offset (moved to 0x30 when it does not fit), one word per 512
// bytes; the last word of each stride saved there and replaced by the USN.
// Lets the fuzzer reach what lies behind a valid update sequence.
inline void Seal(std::span<uint8_t> block, uint32_t signature, uint16_t array_offset) {
  if (block.size() < 512) return;
  const uint64_t count = block.size() / 512 + 1;
  if (array_offset % 2 != 0 || array_offset < 8 || array_offset + 2 * count > 512) array_offset = 0x30;
  for (int i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(signature >> (8 * i));
  StoreLe16(block, 4, array_offset);
  StoreLe16(block, 6, static_cast<uint16_t>(count));
  const uint16_t usn = static_cast<uint16_t>(LeBytes(block).U16(array_offset) | 1);
  StoreLe16(block, array_offset, usn);
  for (uint64_t i = 1; i < count; ++i) {
    const uint64_t word = i * 512 - 2;
    StoreLe16(block, array_offset + 2 * i, LeBytes(block).U16(word));
    StoreLe16(block, word, usn);
  }
}

inline constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"
inline constexpr uint32_t kIndxSignature = 0x58444E49;  // "INDX"
inline constexpr uint32_t kRstrSignature = 0x52545352;  // "RSTR"
inline constexpr uint32_t kRcrdSignature = 0x44524352;  // "RCRD"

// A platform whose account lookups take every path of the Win32 contract,
// chosen by the SID's bytes: mapped, none mapped, a buffer too small (then
// success or failure on the retry), another error.
class FuzzPlatform : public testing::FakePlatform {
 public:
  platform::AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                           uint32_t domain_capacity) override {
    uint32_t hash = 0;
    for (uint8_t b : sid) hash = hash * 31 + b;
    platform::AccountLookup result;
    switch (hash % 6) {
      case 0: return FakePlatform::LookupAccountSid(sid, name_capacity, domain_capacity);
      case 1:
        result.name = u"account";
        result.domain = u"DOMAIN";
        return result;
      case 2:
        result.error = platform::kErrorNoneMapped;
        return result;
      case 3:
      case 4:
        if (name_capacity <= 32) {
          result.error = platform::kErrorInsufficientBuffer;
          result.name_needed = 40 + hash % 7;
          result.domain_needed = 33;
          return result;
        }
        if (hash % 6 == 4) {
          result.error = 5;  // ERROR_ACCESS_DENIED
          return result;
        }
        result.name = std::u16string(name_capacity - 1, u'n');
        result.domain = u"LONG";
        return result;
      default:
        result.error = platform::kErrorInvalidParameter;
        return result;
    }
  }

  // -w output is counted, not kept: a damaged size can ask for 128 MiB.
  platform::CreateOutcome CreateOutputFile(std::u16string_view, const ByteSource&,
                                           const platform::OutputGuard&) override {
    platform::CreateOutcome outcome;
    outcome.file = std::make_unique<CountingFile>(written);
    return outcome;
  }
  uint64_t written = 0;

 private:
  class CountingFile : public platform::OutputFile {
   public:
    explicit CountingFile(uint64_t& count) : count_(count) {}
    Expected<void> Write(std::span<const uint8_t> bytes) override {
      count_ += bytes.size();
      return {};
    }
    Expected<void> Commit() override { return {}; }

   private:
    uint64_t& count_;
  };
};

// Output of one fuzz run, kept in memory.
struct Outputs {
  StringSink out;
  StringSink err;
  Console console{out, err};
};

// A synthetic volume opened on the fake platform, for the targets that
// build their structure into it.
struct OpenSynthetic {
  // Loading the upcase table (only file name lookups need it) is a good
  // part of a run's time; the targets that compare names ask for it.
  explicit OpenSynthetic(std::span<const uint8_t> image, bool load_upcase = false) {
    platform.AddVolume(u'C', image);
    opened = OpenVolume(volume, platform, u"\\\\.\\C:").has_value();
    if (opened && load_upcase) CheckNtfsVolume(volume);
  }
  FuzzPlatform platform;
  VolumeContext volume;
  Outputs outputs;
  ReportContext context{volume, platform, outputs.console};
  bool opened = false;
};

inline testing::SyntheticVolume& BaseSynthetic() {
  static testing::SyntheticVolume base;
  return base;
}

// A synthetic image that one input changes and that is put back after it.
// The working copy lives as long as the process: a fresh megabyte a run
// would cost more in page faults than the run itself.
class ScratchImage {
 public:
  ScratchImage(std::vector<uint8_t>& working, const std::vector<uint8_t>& base) : working_(working), base_(base) {
    if (working_.size() != base_.size()) working_ = base_;
  }
  ~ScratchImage() {
    for (const auto& [at, count] : touched_) std::copy_n(base_.begin() + at, count, working_.begin() + at);
  }
  ScratchImage(const ScratchImage&) = delete;
  ScratchImage& operator=(const ScratchImage&) = delete;

  std::span<uint8_t> Range(size_t at, size_t count) {
    touched_.emplace_back(at, count);
    return std::span<uint8_t>(working_).subspan(at, count);
  }
  void Write(size_t at, std::span<const uint8_t> bytes) {
    auto range = Range(at, bytes.size());
    std::copy(bytes.begin(), bytes.end(), range.begin());
  }
  void WriteRecord(uint64_t number, const std::vector<uint8_t>& record) {
    Write(testing::SyntheticVolume::kMftLcn * testing::SyntheticVolume::kCluster + number * 1024, record);
  }
  std::span<const uint8_t> image() const { return working_; }

 private:
  std::vector<uint8_t>& working_;
  const std::vector<uint8_t>& base_;
  std::vector<std::pair<size_t, size_t>> touched_;
};

// Reads what a record holds through every accessor and reader, as the
// reports would, without the reports' printing.
inline void ExerciseRecord(VolumeContext& volume, const FileRecord& record) {
  uint64_t sum = record.Sequence() + record.Flags() + record.Number().value + record.RefToBase() + record.LogSeqNumber();
  AttributeWalk walk(record);
  std::array<uint8_t, 4096> buffer;
  while (auto a = walk.Next()) {
    sum += a->TypeCode() + a->TotalSize() + a->Flags() + a->Id() + a->Name().size() + a->NameEquals(kI30Name);
    sum += a->ValueSize();
    if (!a->NonResident()) {
      for (uint8_t b : a->ResidentValue()) sum += b;
      continue;
    }
    sum += a->StartVcn() + a->LastVcn() + a->AllocSize() + a->IniSize() + a->CompUnitSize() + a->MappingPairs().size();
    AttributeReader reader(volume, *a);
    if (auto n = reader.ReadAttributeRange(a->ValueSize() / 2, buffer)) sum += *n;
    sum += reader.ReadMapped(0, std::span<uint8_t>(buffer).first(512));
    if (a->ValueSize() <= (1u << 20)) {
      if (const auto* value = reader.ReadAttributeValue()) sum += value->size();
    }
  }
  for (uint32_t id = 0; id < 8; ++id) sum += FindAttributeByInstance(record, id).has_value();
  for (AttrType type : {AttrType::kStandardInformation, AttrType::kFileName, AttrType::kData, AttrType::kIndexRoot}) {
    const AttributeRecord* after = nullptr;
    std::optional<AttributeRecord> found;
    for (int n = 0; n < 64 && (found = FindAttribute(record, type, nullptr, after)); ++n) after = &*found;
    sum += FindAttribute(record, type, &kI30Name, nullptr).has_value();
  }
  (void)sum;
}

// The reports a record can be the target of, printed to memory.
inline void RunRecordReports(ReportContext& context, FileReference target, uint8_t choice) {
  ReportFileRecord(context, target);
  static constexpr AttrType kTypes[] = {AttrType::kStandardInformation, AttrType::kFileName,
                                        AttrType::kSecurityDescriptor, AttrType::kData, AttrType::kAttributeList,
                                        AttrType::kIndexRoot, AttrType::kAny};
  const AttrType type = kTypes[choice % std::size(kTypes)];
  EnumerateAttributes(context, target, type, DetailVisitor);
  const DumpRange range{choice & 0x10 ? uint64_t{0x40} : 0, choice & 0x20 ? 0x100u : 0x50u};
  EnumerateAttributes(context, target, type,
                      [&range](ReportContext& c, FileAttributes& f, const AttributeRecord& a) {
                        return DumpVisitor(c, f, a, range);
                      });
  WriteAttributeToFile(context, u"out.bin", target, choice % 8);
}

// ---------------------------------------------------------------------------
// (a) The whole program over a damaged copy of a committed volume.
//
// Input: action byte, path byte, flag byte, a 64-bit and a 32-bit number
// for the action's arguments, then patches: region (u16, among the
// metadata structures and every signed block of the image), offset in it
// (u24), count (1 to 8) and that many bytes.

struct WholeProgramVolume {
  std::string name;
  std::vector<uint8_t> image;  // damaged by each input, put back after it
  std::vector<Region> regions;
  // Every block that begins with a signature (records, INDX blocks, log
  // pages): first byte and length.
  std::vector<std::pair<uint64_t, uint32_t>> blocks;
  std::vector<std::u16string> lsns;

  // The device offset of byte `at` of place `choice` (metadata structures,
  // signed blocks, then the whole image).
  uint64_t Offset(uint16_t choice, uint64_t at) const {
    const size_t places = regions.size() + blocks.size() + 1;
    const size_t place = choice % places;
    if (place < regions.size()) return regions[place].offsets[at % regions[place].offsets.size()];
    if (place - regions.size() < blocks.size()) {
      const auto& [start, length] = blocks[place - regions.size()];
      return start + at % length;
    }
    return at % image.size();
  }
};

inline WholeProgramVolume* WholeProgramImage(unsigned choice) {
  static const char* const kNames[] = {"c4k", "c512", "c64k"};
  static std::array<std::unique_ptr<WholeProgramVolume>, 3> volumes;
  auto& slot = volumes[choice % 3];
  if (!slot) {
    slot = std::make_unique<WholeProgramVolume>();
    slot->name = kNames[choice % 3];
    slot->image = CommittedImage(slot->name);
    if (!slot->image.empty()) {
      slot->regions = MetadataRegions(slot->image);
      VolumeMap map(slot->image);
      const uint32_t record_bytes = map.volume().BytesPerFileRecord();
      const LeBytes all(slot->image);
      for (uint64_t at = 0; at + 512 <= slot->image.size(); at += 512) {
        const uint32_t signature = all.U32(at);
        uint32_t length = 0;
        if (signature == kFileSignature) length = record_bytes;
        if (signature == kIndxSignature || signature == kRstrSignature || signature == kRcrdSignature) length = 4096;
        if (length != 0 && at + length <= slot->image.size()) slot->blocks.emplace_back(at, length);
      }
      slot->lsns = ManifestLsns(slot->name);
    }
  }
  return slot->image.empty() ? nullptr : slot.get();
}

inline const std::vector<std::u16string>& WholeProgramPaths() {
  static const std::vector<std::u16string> paths = {
      u"C:\\",
      u"C:\\bigdir",
      u"C:\\data",
      u"C:\\data\\nonresident.bin",
      u"C:\\data\\sparse.bin",
      u"C:\\readme.txt",
      u"C:\\streams.txt",
      u"C:\\manylinks\\base.txt",
      u"C:\\manystreams.txt",
      u"C:\\frag\\fragmented.bin",
      u"C:\\compressed",
      u"C:\\security",
      u"C:\\deep\\level02\\level03\\level04",
      u"C:\\$Secure",
      u"C:\\$LogFile",
      u"C:\\$Extend",
      u"C:\\unicode",
      u"C:\\missing\\name",
  };
  return paths;
}

inline int FuzzWholeProgram(std::span<const uint8_t> data) {
  FuzzInput in(data);
  const uint8_t action = in.U8();
  const uint8_t path = in.U8();
  const uint8_t flags = in.U8();
  const uint64_t number = in.U64();
  const uint32_t word = in.U32();
  WholeProgramVolume* volume = WholeProgramImage(flags >> 6);
  if (!volume) return 0;

  struct Saved {
    uint64_t offset;
    uint8_t value;
  };
  std::vector<Saved> saved;
  while (!in.empty() && saved.size() < 4096) {
    const uint16_t place = in.U16();
    const uint32_t at = static_cast<uint32_t>(in.U16()) | (static_cast<uint32_t>(in.U8()) << 16);
    const unsigned count = 1 + in.U8() % 8;
    for (unsigned i = 0; i < count && !in.empty(); ++i) {
      const uint64_t offset = volume->Offset(place, at + i);
      saved.push_back({offset, volume->image[offset]});
      volume->image[offset] = in.U8();
    }
  }

  std::vector<std::u16string> arguments = {u"-f", WholeProgramPaths()[path % WholeProgramPaths().size()]};
  if (flags & 0x01) {
    arguments.push_back(u"-r");
    arguments.push_back(HexText(flags & 0x02 ? number : number % 1024));
  }
  switch (action % 9) {
    case 0: arguments.push_back(u"-l"); break;
    case 1: arguments.push_back(u"-a"); break;
    case 2:
      arguments.push_back(u"-v");
      arguments.push_back(Utf8ToUtf16(std::to_string(word % 18)));
      break;
    case 3:
      arguments.push_back(u"-d");
      arguments.push_back(Utf8ToUtf16(std::to_string(word % 18)));
      arguments.push_back(HexText(flags & 0x10 ? number : number % 0x2000));
      arguments.push_back(HexText(word >> 8));
      break;
    case 4: arguments.push_back(u"-c"); break;
    case 5:
      arguments.push_back(u"-s");
      arguments.push_back(HexText(flags & 0x08 ? 0x100 + word % 16 : word));
      break;
    case 6: arguments.push_back(u"-e"); break;
    case 7:
      arguments.push_back(u"-n");
      if ((flags & 0x04) && !volume->lsns.empty()) {
        arguments.push_back(volume->lsns[word % volume->lsns.size()]);
      } else {
        arguments.push_back(HexText(number));
      }
      break;
    default:
      arguments.push_back(u"-w");
      arguments.push_back(HexText(flags & 0x20 ? word : word % 16));
      arguments.push_back(u"out.bin");
      break;
  }
  if (flags & 0x20 && action >= 9) arguments.push_back(action % 2 ? u"-a" : u"-l");

  FuzzPlatform platform;
  platform.AddVolume(u'C', volume->image);
  testing::RunVelmora(platform, arguments);

  for (size_t i = saved.size(); i-- > 0;) volume->image[saved[i].offset] = saved[i].value;
  return 0;
}

// ---------------------------------------------------------------------------
// (b) The data run decoder over a small volume of a chosen cluster size.
//
// Input: selector byte (cluster size, mapped-only reads, small VCNs),
// start VCN, last VCN, read offset, read length (u16), mapping pairs.

inline int FuzzDataRuns(std::span<const uint8_t> data) {
  FuzzInput in(data);
  const uint8_t selector = in.U8();
  uint64_t start_vcn = in.U64();
  uint64_t last_vcn = in.U64();
  uint64_t offset = in.U64();
  const uint16_t length = in.U16();
  const std::span<const uint8_t> pairs = in.Rest();
  if (selector & 0x10) {
    start_vcn %= 64;
    last_vcn %= 4096;
    offset %= 1u << 20;
  }

  static std::vector<uint8_t> image = [] {
    std::vector<uint8_t> bytes(256u << 10);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    StoreLe16(bytes, boot::kBytesPerSector, 512);
    std::fill_n(bytes.begin() + boot::kMftLcn, 8, 0);
    bytes[boot::kClustersPerRecord] = 0xF6;  // 1 KiB records
    return bytes;
  }();
  // Sectors-per-cluster bytes: 512 B, 1, 4, 64 and 128 KiB clusters, 2 MiB, and two that are not sizes
  // (a volume the geometry check refuses: nothing is read).
  static constexpr uint8_t kSectorsPerCluster[] = {1, 2, 8, 0x80, 0xF8, 0xF4, 0x00, 0xE0};
  image[boot::kSectorsPerCluster] = kSectorsPerCluster[selector % 8];
  VolumeContext volume;
  OpenVolumeSource(volume, std::make_unique<source::MemorySource>(std::span<const uint8_t>(image)), u"image");

  RunCursor cursor(pairs, Vcn(start_vcn), Vcn(last_vcn));
  Run run;
  uint64_t total = 0;
  for (bool more = cursor.FirstRun(run); more; more = cursor.NextRun(run)) total += run.length + run.lcn.has_value();
  RunList runs;
  runs.AppendCursor(RunCursor(pairs, Vcn(start_vcn), Vcn(last_vcn)));
  // A second extent continuing where the first ended, as an attribute list would add it.
  runs.AppendCursor(RunCursor(pairs, runs.EndVcn(), runs.EndVcn() + (last_vcn - start_vcn)));
  std::vector<uint8_t> out(length);
  ReadRunBytes(volume, runs, offset, out, (selector & 0x08) != 0);
  (void)total;
  return 0;
}

// ---------------------------------------------------------------------------
// (c) A file record with its update sequence, then every reader and report
// over it.
//
// Input: selector byte (record number, record size, seal), record bytes.

inline int FuzzFileRecord(std::span<const uint8_t> data) {
  FuzzInput in(data);
  const uint8_t selector = in.U8();
  const std::span<const uint8_t> bytes = in.Rest();

  // Record 0 (the MFT: its runs find every later record), a directory, an
  // ordinary record read straight or through the MFT's runs.
  static constexpr uint64_t kNumbers[] = {0, 5, 30, 12, 40, 63, 24, 0};
  static constexpr uint8_t kRecordSizeBytes[] = {0xF6, 0xF6, 0xF4, 0xF7};  // 1 KiB, 1 KiB, 4 KiB, 512 B
  const uint64_t number = kNumbers[selector % 8];
  const uint8_t size_byte = kRecordSizeBytes[(selector >> 3) % 4];
  const uint32_t record_bytes = 1u << (256 - size_byte);

  if (number * record_bytes + record_bytes > testing::SyntheticVolume::kMftRecords * 1024) return 0;
  static std::vector<uint8_t> working;
  ScratchImage image(working, BaseSynthetic().image());
  image.Range(boot::kClustersPerRecord, 1)[0] = size_byte;
  const uint64_t at = testing::SyntheticVolume::kMftLcn * testing::SyntheticVolume::kCluster + number * record_bytes;
  std::span<uint8_t> slot = image.Range(at, record_bytes);
  std::fill(slot.begin(), slot.end(), uint8_t{0});
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), record_bytes), slot.begin());
  if (selector & 0x20) Seal(slot, kFileSignature, LeBytes(bytes).U16(record::kOffsetOfUS));

  // The update sequence alone, over the bytes as given.
  std::vector<uint8_t> copy(bytes.begin(), bytes.end());
  ApplyUpdateSequence(copy, kUpdateSequenceStride);

  OpenSynthetic open(image.image());
  if (!open.opened) return 0;
  if (auto record = ReadFileRecord(open.volume, RecordNumber(number))) ExerciseRecord(open.volume, *record);
  // A record behind the MFT's first records: read through the runs record 0 gives.
  if (auto later = ReadFileRecord(open.volume, RecordNumber(number == 40 ? 41 : 40))) ExerciseRecord(open.volume, *later);
  RunRecordReports(open.context, FileReference(number), selector >> 1);
  return 0;
}

// ---------------------------------------------------------------------------
// (d) The attribute list walk: a base record whose $ATTRIBUTE_LIST value
// is the input, with extension records it can name.
//
// Input: selector byte (resident or not, in record 0 or record 30, the
// type enumerated), list value.

// Extension records 31 and 32 of base 30, and the clusters they map.
inline const std::vector<uint8_t>& AttributeListImage() {
  static const std::vector<uint8_t> image = [] {
    using testing::FileNameValue;
    using testing::RecordBuilder;
    using testing::SingleRun;
    using testing::SyntheticVolume;
    SyntheticVolume v;
    std::vector<uint8_t> text(4096);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>('a' + i % 26);
    v.SetClusters(SyntheticVolume::kFreeLcn + 200, text);
    v.SetRecord(31, RecordBuilder(31)
                        .BaseReference(30)
                        .NonResident(0x80, 0, u"", SingleRun(SyntheticVolume::kFreeLcn + 204, 4), 4, 7, 0)
                        .Resident(0x30, 1, u"", FileNameValue(5, u"second name.txt", 1))
                        .Build());
    v.SetRecord(32, RecordBuilder(32)
                        .BaseReference(30)
                        .Resident(0x80, 0, u"alpha", {'x', 'y', 'z'})
                        .Resident(0x30, 1, u"", FileNameValue(5, u"SECOND~1.TXT", 2))
                        .Resident(0x50, 2, u"", {1, 0, 4, 0x80, 0x14, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,
                                                 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0})
                        .Build());
    // The MFT's second half, for a list in record 0 to name.
    v.SetRecord(33, RecordBuilder(33)
                        .BaseReference(0)
                        .NonResident(0x80, 0, u"", SingleRun(SyntheticVolume::kMftLcn + 64, 64), 64, 127, 0)
                        .Build());
    return v.image();
  }();
  return image;
}

// Structural damage that byte mutations reach slowly, chosen by `how`: the
// first entry repeated at the end (a list naming one attribute twice), an
// entry turned into one naming an attribute list (the list naming itself),
// the entries in reverse order; 0 keeps the bytes as they are.
inline std::vector<uint8_t> MutateListStructure(std::span<const uint8_t> bytes, uint8_t how) {
  std::vector<uint8_t> list(bytes.begin(), bytes.end());
  const std::vector<AttributeListEntry> entries = AttributeListEntries(bytes);
  if (how == 0 || entries.empty()) return list;
  auto copy_of = [](const AttributeListEntry& entry) {
    const std::span<const uint8_t> b = entry.bytes().Sub(0, entry.Length());
    return std::vector<uint8_t>(b.begin(), b.end());
  };
  if (how & 0x1) {
    const std::vector<uint8_t> first = copy_of(entries.front());
    list.insert(list.end(), first.begin(), first.end());
  }
  if (how & 0x2) {
    std::vector<uint8_t> self = copy_of(entries.back());
    self[0] = 0x20;
    self[1] = self[2] = self[3] = 0;
    list.insert(list.begin(), self.begin(), self.end());
  }
  if (how & 0x4) {
    std::vector<uint8_t> reversed;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      const std::vector<uint8_t> entry = copy_of(*it);
      reversed.insert(reversed.end(), entry.begin(), entry.end());
    }
    list = std::move(reversed);
  }
  return list;
}

inline int FuzzAttributeList(std::span<const uint8_t> data) {
  using testing::FileNameValue;
  using testing::RecordBuilder;
  using testing::SingleRun;
  using testing::SyntheticVolume;
  FuzzInput in(data);
  const uint8_t selector = in.U8();
  const std::span<const uint8_t> list_bytes = in.Rest();
  const std::vector<uint8_t> list = MutateListStructure(list_bytes, selector >> 5);

  // The entries alone, every accessor.
  uint64_t sum = 0;
  for (const AttributeListEntry& entry : AttributeListEntries(list)) {
    sum += entry.TypeCode() + entry.Length() + entry.StartVcn() + entry.Reference().value + entry.Instance();
    sum += entry.Name().size() + entry.NameEquals(kI30Name);
  }
  (void)sum;

  static std::vector<uint8_t> working;
  ScratchImage image(working, AttributeListImage());
  const bool resident = !(selector & 0x01) && list.size() <= 600;
  const bool in_mft = selector & 0x02;
  const uint64_t list_clusters = (list.size() + SyntheticVolume::kCluster - 1) / SyntheticVolume::kCluster;
  if (!resident) image.Write(SyntheticVolume::kFreeLcn * SyntheticVolume::kCluster, list);
  auto with_list = [&](RecordBuilder& builder) -> RecordBuilder& {
    if (resident) return builder.Resident(0x20, 7, u"", list);
    return builder.NonResident(0x20, 7, u"", SingleRun(SyntheticVolume::kFreeLcn, std::max<uint64_t>(list_clusters, 1)), 0,
                               std::max<uint64_t>(list_clusters, 1) - 1, list.size());
  };
  RecordBuilder base(30);
  base.Resident(0x10, 0, u"", std::vector<uint8_t>(0x48, 0x11));
  with_list(base);
  base.Resident(0x30, 2, u"", FileNameValue(5, u"base.txt", 1))
      .NonResident(0x80, 3, u"", SingleRun(SyntheticVolume::kFreeLcn + 200, 4), 0, 3, 8 * SyntheticVolume::kCluster);
  auto put_record = [&image](uint64_t number, const std::vector<uint8_t>& record) { image.WriteRecord(number, record); };
  put_record(30, base.Build());
  if (in_mft) {
    const uint64_t mft_clusters = SyntheticVolume::kMftRecords * 1024 / SyntheticVolume::kCluster;
    RecordBuilder mft(0);
    mft.Resident(0x30, 1, u"", FileNameValue(5, u"$MFT"));
    with_list(mft);
    mft.NonResident(0x80, 2, u"", SingleRun(SyntheticVolume::kMftLcn, mft_clusters / 2), 0, mft_clusters / 2 - 1,
                    SyntheticVolume::kMftRecords * 1024);
    put_record(0, mft.Build());
  }

  OpenSynthetic open(image.image());
  if (!open.opened) return 0;
  if (auto mft_record = ReadFileRecord(open.volume, RecordNumber(45))) ExerciseRecord(open.volume, *mft_record);
  auto record = ReadFileRecord(open.volume, RecordNumber(30));
  if (record) {
    std::array<uint8_t, 1024> buffer;
    for (AttrType type : {AttrType::kData, AttrType::kFileName, AttrType::kSecurityDescriptor, AttrType::kAny}) {
      FileAttributes file = FileAttributes::Open(open.volume, *record);
      for (const HeldAttribute& found : file.Find(type, nullptr)) {
        AttributeReader reader = file.Reader(found);
        reader.ReadAttributeRange(0, buffer);
      }
      file.problems();
    }
    static constexpr CountedName kAlpha{u"alpha"};
    FindFileAttribute(open.volume, *record, AttrType::kData, &kAlpha);
  }
  RunRecordReports(open.context, FileReference(30), selector >> 2);
  return 0;
}

// ---------------------------------------------------------------------------
// (e) The index walk over a directory (or $Secure's $SII) whose root value
// and INDX blocks are the input.
//
// Input: selector byte ($I30 or $SII, seal the blocks, the name or id
// sought), root value length (u16), root value, then the blocks.

inline const std::vector<uint8_t>& SecureDescriptorStream() {
  static const std::vector<uint8_t> stream = [] {
    std::vector<uint8_t> sds(0x40000 + 0x100);
    const std::vector<uint8_t> descriptor = {1, 0, 4, 0x80, 0x14, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                             1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    for (uint32_t id = 0; id < 4; ++id) {
      const size_t at = id * 0x50;
      testing::Put32(sds, at + 4, 0x100 + id);
      testing::Put64(sds, at + 8, at);
      testing::Put32(sds, at + 0x10, static_cast<uint32_t>(0x14 + descriptor.size()));
      std::copy(descriptor.begin(), descriptor.end(), sds.begin() + at + 0x14);
    }
    return sds;
  }();
  return stream;
}

// The $SDS stream lies behind the room the INDX blocks may take.
inline constexpr uint64_t kSdsLcn = testing::SyntheticVolume::kFreeLcn + 130;

inline const std::vector<uint8_t>& IndexWalkImage() {
  static const std::vector<uint8_t> image = [] {
    std::vector<uint8_t> bytes = BaseSynthetic().image();
    const std::vector<uint8_t>& sds = SecureDescriptorStream();
    std::copy(sds.begin(), sds.end(), bytes.begin() + kSdsLcn * testing::SyntheticVolume::kCluster);
    return bytes;
  }();
  return image;
}

inline int FuzzIndexWalk(std::span<const uint8_t> data) {
  using testing::FileNameValue;
  using testing::RecordBuilder;
  using testing::SingleRun;
  using testing::SyntheticVolume;
  FuzzInput in(data);
  const uint8_t selector = in.U8();
  // What fits the 1 KiB record beside the directory's other attributes.
  const uint16_t root_length = in.U16() % 513;
  const std::span<const uint8_t> root_bytes = in.Bytes(root_length);
  const std::span<const uint8_t> blocks_input = in.Bytes(64 * SyntheticVolume::kCluster);
  const std::vector<uint8_t> root(root_bytes.begin(), root_bytes.end());
  std::vector<uint8_t> blocks(blocks_input.begin(), blocks_input.end());
  blocks.resize((blocks.size() + SyntheticVolume::kCluster - 1) / SyntheticVolume::kCluster * SyntheticVolume::kCluster);
  const bool sii = selector & 0x01;

  if (selector & 0x02) {
    uint32_t block_bytes = LeBytes(root).U32(index_root::kBytesPerBlock);
    if (block_bytes < 512 || block_bytes > 0x10000 || (block_bytes & (block_bytes - 1))) block_bytes = 4096;
    for (size_t at = 0; at + block_bytes <= blocks.size(); at += block_bytes)
      Seal(std::span<uint8_t>(blocks).subspan(at, block_bytes), kIndxSignature, 0x28);
  }

  static std::vector<uint8_t> working;
  ScratchImage image(working, IndexWalkImage());
  const uint64_t block_lcn = SyntheticVolume::kFreeLcn;
  const uint64_t clusters = std::max<uint64_t>(blocks.size() / SyntheticVolume::kCluster, 1);
  image.Write(block_lcn * SyntheticVolume::kCluster, blocks);
  const std::u16string index_name = sii ? u"$SII" : u"$I30";
  RecordBuilder directory(sii ? 9 : 5, 1024, sii ? 0x0001 : 0x0003);
  directory.Resident(0x30, 1, u"", FileNameValue(5, sii ? u"$Secure" : u".", 3, sii ? 0 : 0x10000000));
  if (sii) {
    const uint64_t sds_lcn = kSdsLcn;
    const uint64_t sds_clusters = SecureDescriptorStream().size() / SyntheticVolume::kCluster;
    directory.NonResident(0x80, 2, u"$SDS", SingleRun(sds_lcn, sds_clusters), 0, sds_clusters - 1,
                          SecureDescriptorStream().size());
  }
  directory.Resident(0x90, 3, index_name, root)
      .NonResident(0xA0, 4, index_name, SingleRun(block_lcn, clusters), 0, clusters - 1, blocks.size())
      .Resident(0xB0, 5, index_name, std::vector<uint8_t>(8, 0xFF));
  image.WriteRecord(sii ? 9 : 5, directory.Build());

  OpenSynthetic open(image.image(), /*load_upcase=*/true);
  if (!open.opened) return 0;
  const FileReference file(sii ? 9 : 5);
  const CountedName name{index_name};
  uint64_t visited = 0;
  IndexWalker(open.volume, file, name, [&visited](std::span<const uint8_t> key, FileReference) {
    visited += key.size() + 1;
    return Walk::kContinue;
  });
  IndexEntryWalker(open.volume, file, name, [&visited](std::span<const uint8_t> entry, std::span<const uint8_t>) {
    visited += entry.size();
    return visited % 7 == 3 ? Walk::kStop : Walk::kContinue;
  });
  if (sii) {
    ShowSecurityDescriptorById(open.context, 0x100 + (selector >> 2) % 4);
    ShowSecurityDescriptorById(open.context, (selector >> 2) * 0x01010101u);
  } else {
    static const char16_t* const kNames[] = {u"a", u"readme.txt", u"ZZZZ", u"m", u"bigdir", u"\u65e5\u672c", u"", u"x"};
    LookupChild(kNames[(selector >> 2) % 8], open.volume, file);
    // The slack carving: whatever it yields passed the checks it makes.
    const auto plausible = [](const CarvedName& name) {
      const FileTimes& t = name.times;
      for (uint64_t time : {t.created, t.modified, t.record_changed, t.accessed})
        if (time < kPlausibleTimeFirst || time >= kPlausibleTimeEnd) return false;
      return !name.name.empty() && name.name_space <= 3;
    };
    if (auto slack = ReadIndexSlack(open.volume, file)) {
      for (const SlackEntry& entry : slack->entries)
        if (entry.file.Sequence() == 0 || entry.key.parent.Number() != file.Number() || !plausible(entry.key)) std::abort();
    }
    if (auto record = ReadFileRecord(open.volume, file.Record())) {
      CarveRecordSlack(*record, [&](uint32_t offset, uint16_t, CarvedName name) {
        if (offset < record->FirstFreeByte() || !plausible(name)) std::abort();
      });
    }
    open.context.deleted = (selector & 0x80) != 0;
    ListDirectory(open.context, file, u"C:\\");
  }
  return 0;
}

// ---------------------------------------------------------------------------
// (f) Security descriptor rendering over the input bytes.
//
// Input: selector byte (ACL offset and kind for the ACL parser alone), descriptor.

inline int FuzzSecurityDescriptor(std::span<const uint8_t> data) {
  FuzzInput in(data);
  const uint8_t selector = in.U8();
  const std::span<const uint8_t> descriptor = in.Rest();
  FuzzPlatform platform;
  Outputs outputs;
  ShowSecurityDescriptor(outputs.console, platform, descriptor);
  security::SidToString(descriptor);
  security::SidAt(descriptor, selector);
  std::vector<security::AceRecord> records;
  security::ParseAcl(descriptor, selector >> 1, selector & 1 ? security::AclKind::kSacl : security::AclKind::kDacl,
                     records);
  for (const auto& record : records) security::SidToString(record.sid());
  return 0;
}

// ---------------------------------------------------------------------------
// (g) The log file lookup over a $LogFile whose bytes are the input.
//
// Input: selector byte (log page buffer from the boot sector, seal the
// pages, an LSN that lands inside the input), LSN, log bytes.

inline int FuzzLogRecord(std::span<const uint8_t> data) {
  using testing::FileNameValue;
  using testing::RecordBuilder;
  using testing::SingleRun;
  using testing::SyntheticVolume;
  FuzzInput in(data);
  const uint8_t selector = in.U8();
  uint64_t lsn = in.U64();
  const std::span<const uint8_t> log_input = in.Bytes(256 * SyntheticVolume::kCluster);
  std::vector<uint8_t> log(log_input.begin(), log_input.end());
  if (log.empty()) log.resize(1);
  log.resize((log.size() + SyntheticVolume::kCluster - 1) / SyntheticVolume::kCluster * SyntheticVolume::kCluster);

  if (selector & 0x08) {
    for (size_t at = 0; at + 4096 <= log.size(); at += 4096) {
      const uint32_t signature = LeBytes(log).U32(at);
      const uint16_t array = signature == kRstrSignature ? 0x1E : 0x28;
      Seal(std::span<uint8_t>(log).subspan(at, 4096), signature == kRstrSignature ? kRstrSignature : kRcrdSignature,
           array);
    }
  }
  // Small LSNs land in this log when the restart area asks for few sequence bits.
  if (selector & 0x10) lsn %= log.size() / 8 + 1;

  static std::vector<uint8_t> working;
  ScratchImage image(working, BaseSynthetic().image());
  // The u32 at 0x44: clusters per index block (pages of 4 KiB, 512 B, 64 KiB
  // and beyond the bound) or a negative byte giving 2^-n bytes.
  static constexpr uint32_t kIndexBlockFields[] = {8, 1, 0xF4, 0x80, 0xF0, 0x01000008, 0, 0xE1};
  const uint32_t field = kIndexBlockFields[selector % 8];
  std::span<uint8_t> boot_field = image.Range(boot::kClustersPerIndexBlock, 4);
  for (int i = 0; i < 4; ++i) boot_field[i] = static_cast<uint8_t>(field >> (8 * i));
  const uint64_t log_lcn = SyntheticVolume::kFreeLcn;
  const uint64_t clusters = log.size() / SyntheticVolume::kCluster;
  image.Write(log_lcn * SyntheticVolume::kCluster, log);
  const uint64_t real_size = (selector & 0x20) ? log.size() / 2 : log.size();
  image.WriteRecord(2, RecordBuilder(2)
                         .Resident(0x30, 1, u"", FileNameValue(5, u"$LogFile", 3))
                         .NonResident(0x80, 2, u"", SingleRun(log_lcn, clusters), 0, clusters - 1, real_size)
                         .Build());

  OpenSynthetic open(image.image());
  if (!open.opened) return 0;
  ReportLogRecord(open.context, lsn);
  PlaceLsn(lsn, static_cast<uint32_t>(lsn >> 58), static_cast<uint32_t>(lsn));
  LogPageBufferSize(open.volume.Boot());
  return 0;
}

// ---------------------------------------------------------------------------
// (h) The whole log decoded: both restart pages, the record pages in LSN
// order, records spanning pages and the wrap, each record's events, as
// --logfile-file renders them.
//
// Input: selector byte (output form, seal the 4 KiB pages, the geometry the
// records' MFT numbers come from), the log file's bytes.

inline int FuzzLogFile(std::span<const uint8_t> data) {
  FuzzInput in(data);
  const uint8_t selector = in.U8();
  const std::span<const uint8_t> input = in.Rest();
  std::vector<uint8_t> log(input.begin(), input.end());
  if (selector & 0x04) {
    for (size_t at = 0; at + 4096 <= log.size(); at += 4096) {
      const bool restart = at < 2 * 4096;
      Seal(std::span<uint8_t>(log).subspan(at, 4096), restart ? kRstrSignature : kRcrdSignature, restart ? 0x1E : 0x28);
    }
  }

  // The decoder alone, under a geometry a damaged boot sector may give.
  static constexpr LogGeometry kGeometries[] = {{4096, 1024}, {512, 4096}, {65536, 512}, {0, 0}};
  source::MemorySource bytes{std::span<const uint8_t>(log)};
  if (auto records = LogRecords::Open(bytes, log.size(), kGeometries[(selector >> 3) % 4])) {
    std::vector<LogEvent> events;
    uint64_t sum = 0;
    records->Walk([&](const LogRecordView& record) {
      sum += record.client_data.size() + record.redo.size() + record.undo.size() + record.lcns_to_follow;
      for (size_t i = 0; i < record.lcns_to_follow; ++i) sum += record.LcnAt(i).value;
      events.clear();
      LogEventsOf(record, events);
      for (const LogEvent& event : events) sum += event.name.size() + event.record.value_or(0);
    });
    (void)sum;
  }

  // The report in one of its forms: text, JSON, body file, timeline JSON.
  FuzzPlatform platform;
  platform.files[u"/LogFile"] = std::move(log);
  VolumeContext volume;
  Outputs outputs;
  ReportContext context{volume, platform, outputs.console};
  context.json = selector & 0x01;
  const LogFileSource source{false, u"/LogFile"};
  if (selector & 0x02) {
    ReportLogFileTimeline(context, source, context.json ? TimelineFormat::kJsonLines : TimelineFormat::kBodyFile);
  } else {
    ReportLogFile(context, source);
  }
  return 0;
}

// ---------------------------------------------------------------------------

// Container sources: the input is the container file itself. The libraries
// open their files by name, so it is written to a file of this process
// (named as an imager names a first EWF segment, which libewf's search for
// the set wants), opened as a bound source is, and read at its start, middle
// and end and just past the end.
//
// Left out: a QCOW file whose size is not a whole number of clusters.
// libqcow (20201213) reads past its heap buffer when a cluster runs past the
// end of the file (tests/fuzz/library_crashes/); the product cannot tell such
// a truncated file from a compressed image, which also ends mid-cluster.
inline int FuzzContainers(std::span<const uint8_t> data) {
#ifndef _WIN32
  constexpr uint64_t kQcowClusterBits = 20;  // u32, big-endian, in the header
  if (data.size() >= kQcowClusterBits + 4 && std::memcmp(data.data(), "QFI\xFB", 4) == 0) {
    const uint32_t bits = (uint32_t{data[20]} << 24) | (uint32_t{data[21]} << 16) | (uint32_t{data[22]} << 8) | data[23];
    if (bits < 9 || bits > 21 || data.size() % (size_t{1} << bits) != 0) return 0;
  }
  // The directory goes when the process ends.
  struct Scratch {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("velmora-fuzz-container-" + std::to_string(getpid()));
    Scratch() { std::filesystem::create_directories(dir); }
    ~Scratch() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  };
  static const Scratch scratch;
  static const std::string path = (scratch.dir / "image.E01").string();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  auto open_file = [](const std::string& name) -> std::unique_ptr<ByteSource> {
    auto opened = platform::FileSource::Open(name);
    if (!opened) return nullptr;
    return std::move(*opened);
  };
  auto file = open_file(path);
  if (!file) return 0;
  source::OpenedEvidence opened = source::OpenEvidence(path, std::move(file), open_file);
  if (!opened.source) return 0;
  const uint64_t size = opened.source->Size().value_or(0);
  std::vector<uint8_t> buffer(4096);
  for (uint64_t offset : {uint64_t{0}, size / 2, size > buffer.size() ? size - buffer.size() : 0, size})
    opened.source->ReadAt(offset, buffer);
#else
  (void)data;
#endif
  return 0;
}

// A change journal as collected: every record decoded and placed, with the
// paths from the journal's own records; the first byte chooses whether the
// bytes after it are read as one range or as two (a hole between halves).
inline int FuzzUsnJournal(std::span<const uint8_t> data) {
  class Stream : public JournalStream {
   public:
    Stream(std::span<const uint8_t> bytes, bool split) : bytes_(bytes), split_(split) {}
    std::vector<Range> Ranges() const override {
      if (bytes_.empty()) return {};
      if (!split_) return {{0, bytes_.size()}};
      const uint64_t half = bytes_.size() / 2 / 8 * 8;
      return {{0, half / 2}, {half, bytes_.size() - half}};
    }
    bool Read(uint64_t offset, std::span<uint8_t> out) override {
      if (offset > bytes_.size() || out.size() > bytes_.size() - offset) return false;
      std::copy_n(bytes_.begin() + offset, out.size(), out.begin());
      return true;
    }

   private:
    std::span<const uint8_t> bytes_;
    bool split_;
  };
  if (data.empty()) return 0;
  Stream stream(data.subspan(1), data[0] & 1);
  UsnPathBook book(nullptr);
  WalkUsnJournalWithPaths(stream, book, [](const UsnRecord& record, const UsnPathBook::Path& path) {
    (void)record;
    if (path.text.empty()) std::abort();  // a path always starts at the root or a marker
  });
  return 0;
}

// ---------------------------------------------------------------------------
// A file's content: the LZNT1 decoder alone, then whole files read through
// the content reader on a synthetic volume: an LZNT1-compressed attribute
// whose clusters are the input, and a system-compressed file whose
// WofCompressedData stream (chunk table and chunks) is the input.
//
// Input: selector byte (low 2 bits which; then the compressed clusters of
// the first unit, or the WOF algorithm, 4 an unknown one), the content size
// (u32, below 1 MiB), the bytes.
inline int FuzzContent(std::span<const uint8_t> data) {
  using testing::SyntheticVolume;
  FuzzInput in(data);
  const uint8_t selector = in.U8();
  const uint32_t size = in.U32() % (1u << 20);
  const std::span<const uint8_t> bytes = in.Rest();
  if ((selector & 3) == 0) {
    std::vector<uint8_t> out(size % (64u << 10));
    content::Lznt1Decompress(bytes, out);
    return 0;
  }
  constexpr uint64_t kLcn = SyntheticVolume::kFreeLcn;
  constexpr uint64_t kRoom = (SyntheticVolume::kClusters - kLcn) * SyntheticVolume::kCluster;
  const std::vector<uint8_t> clusters(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), kRoom));
  const uint64_t cluster_count = (clusters.size() + SyntheticVolume::kCluster - 1) / SyntheticVolume::kCluster;
  std::vector<std::vector<uint8_t>> attributes;
  if ((selector & 3) == 1) {
    // Units of 16 clusters: the first maps (selector >> 2) % 17 clusters and
    // a hole, the next the rest of the input as far as it goes.
    const uint64_t first = std::min<uint64_t>((selector >> 2) % 17, cluster_count);
    std::vector<testing::RunSpec> runs;
    if (first) runs.push_back({kLcn, first});
    if (first < 16) runs.push_back({std::nullopt, 16 - first});
    if (cluster_count > first) runs.push_back({kLcn + first, std::min<uint64_t>(cluster_count - first, 16)});
    attributes.push_back(testing::DataAttribute(u"", runs, size, attr::kFlagLznt1, 4));
  } else {
    attributes = testing::WofFileAttributes((selector >> 2) % 5, size, clusters.size(), kLcn);
  }
  SyntheticVolume synthetic;
  testing::RecordBuilder record(40);
  record.Resident(0x10, 0, u"", std::vector<uint8_t>(0x48, 0));
  for (const auto& a : attributes) record.Attribute(a);
  synthetic.SetRecord(40, record.Build());
  if (!clusters.empty()) synthetic.SetClusters(kLcn, clusters);
  VolumeContext volume;
  OpenVolumeSource(volume, std::make_unique<source::MemorySource>(std::span<const uint8_t>(synthetic.image())),
                   u"image");
  auto base = ReadFileRecord(volume, RecordNumber(40));
  if (!base) return 0;
  FileAttributes file = FileAttributes::Open(volume, std::move(*base));
  auto reader = content::ContentReader::Open(volume, file, u"");
  if (!reader) return 0;
  std::vector<uint8_t> piece(4096);
  for (;;) {
    auto count = reader->Read(piece);
    if (!count || *count == 0) break;
  }
  return 0;
}

struct Target {
  const char* name;
  int (*run)(std::span<const uint8_t>);
  size_t max_len;  // what tools/fuzz.sh hands libFuzzer's -max_len
};

inline const std::vector<Target>& Targets() {
  static const std::vector<Target> targets = {
      {"whole_program", FuzzWholeProgram, 2048},
      {"data_runs", FuzzDataRuns, 1024},
      {"file_record", FuzzFileRecord, 4097},
      {"attribute_list", FuzzAttributeList, 8192},
      {"index_walk", FuzzIndexWalk, 3 + 512 + 64 * 512},
      {"security_descriptor", FuzzSecurityDescriptor, 4096},
      {"log_record", FuzzLogRecord, 9 + 0x9000},
      {"containers", FuzzContainers, 1 << 20},
      {"usn_journal", FuzzUsnJournal, 3 * 4096 + 1},
      {"content", FuzzContent, 5 + (64u << 10)},
      {"logfile", FuzzLogFile, 1 + 0x10000},
  };
  return targets;
}

}  // namespace velmora::fuzz
