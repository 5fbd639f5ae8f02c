// The damaged-volume campaign: every committed volume, its metadata damaged
// one byte or a few words at a time, each damaged image run through every
// action of the command line, in-process, over the read-only in-memory
// source. A crash or sanitizer report fails the suite's sanitizer build; a
// run that does not end in time, and any change to the image, fail here.
//
// The byte campaign sets every byte of each structure to 0x00, to 0xFF and
// to its value plus one (a change that leaves the byte as it was is not
// run: that image is the sound one). The word campaign writes words chosen
// by a fixed-seed generator anywhere in those structures. The log campaign
// plants a built log in $LogFile's first pages and damages words there,
// reading each image with --logfile (a few seconds in all).
//
// The plain build runs all of it: about 1.8 million action runs. Under the
// sanitizers (several times slower) the byte campaign takes a deterministic
// subset, every 64th damaged image, and the word campaign a sixteenth of its
// damages: about 34,000 action runs, every structure and action still among
// them. VELMORA_CAMPAIGN_STRIDE overrides the stride (1: everything); the
// word campaign shrinks with it (4 / stride of its damages, at least 100). -w writes to an in-memory file that counts bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ntfs/attribute_list.h"
#include "ntfs/value_reader.h"
#include "base/format.h"
#include "tests/fuzz/fuzz_targets.h"
#include "tests/fuzz/volume_regions.h"
#include "tests/support/fake_platform.h"
#include "tests/support/campaign.h"
#include "tests/support/log_builder.h"
#include "tests/support/volumes.h"

namespace velmora::testing {
namespace {

// A run that takes longer than this has met a loop the bounds do not end.
constexpr auto kRunLimit = std::chrono::seconds(kCampaignSanitized ? 10 : 2);
// A run still going after this is a hang: the watchdog names it and aborts.
constexpr auto kHangLimit = std::chrono::seconds(60);
constexpr uint32_t kRandomDamages = 3000;
constexpr uint64_t kRandomSeed = 0x7E1D0A5EEDull;

uint64_t Stride() { return CampaignStride(1, 64); }

std::u16string Hex(uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(value));
  return U16(text);
}

// Aborts the process, naming the run, when one run does not end.
class Watchdog {
 public:
  Watchdog() : thread_([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  void Start(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    what_ = what;
    started_ = std::chrono::steady_clock::now();
    running_ = true;
  }
  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      wake_.wait_for(lock, std::chrono::seconds(1));
      if (running_ && std::chrono::steady_clock::now() - started_ > kHangLimit) {
        std::fprintf(stderr, "campaign run did not end: %s\n", what_.c_str());
        std::abort();
      }
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool running_ = false;
  std::string what_;
  std::chrono::steady_clock::time_point started_;
  std::thread thread_;
};

struct Patch {
  uint64_t offset;
  uint8_t value;
};

// The attribute list of the file with many streams, damaged entry by entry.
const std::string kListRegion = "attribute list";
// The first pages of $LogFile, holding a log the builder wrote.
const std::string kLogRegion = "log pages";

// One volume under damage: a working copy of its image that each damage
// changes and each restore puts back, and the arguments of every action.
class Campaign {
 public:
  explicit Campaign(const TestVolume& volume) : volume_(volume), image_(volume.image) {
    regions_ = fuzz::MetadataRegions(image_, &directory_);
    platform_.AddVolume(u'C', image_);
    for (const Fact* fact : volume.Facts("lsn"))
      if (!fact->fields.empty()) lsns_.push_back(U16(fact->fields[0]));
    for (const Fact* fact : volume.Facts("secid"))
      if (fact->fields.size() > 1) security_ids_.push_back(Hex(std::strtoull(fact->fields[1].c_str(), nullptr, 10)));
    lsns_.push_back(u"0");
    lsns_.push_back(u"FFFFFFFFFFFFFFFF");
    security_ids_.push_back(u"100");
    security_ids_.push_back(u"FFFFFFFF");
  }

  const std::vector<fuzz::Region>& regions() const { return regions_; }
  const fuzz::Region* Find(const std::string& name) const {
    for (const auto& region : regions_)
      if (region.name == name) return &region;
    return nullptr;
  }

  // Applies the patches, runs every action, puts the bytes back.
  void Damage(const std::vector<Patch>& patches, const fuzz::Region& region, uint64_t serial, const std::string& what) {
    std::vector<uint8_t> saved;
    for (const Patch& patch : patches) {
      saved.push_back(image_[patch.offset]);
      image_[patch.offset] = patch.value;
    }
    for (const auto& arguments : Actions(region, serial)) Run(arguments, what);
    for (size_t i = patches.size(); i-- > 0;) image_[patches[i].offset] = saved[i];
  }

  void RunSound() {
    for (const auto& region : regions_)
      for (const auto& arguments : Actions(region, 0)) Run(arguments, "sound image");
  }

  bool Unchanged() const { return image_ == volume_.image; }
  uint64_t runs() const { return runs_; }
  std::chrono::steady_clock::duration slowest() const { return slowest_; }
  const std::string& slowest_run() const { return slowest_run_; }

 private:
  // The nine actions. A damaged record is studied by reference; the
  // directory's record and its index block through the directory's path;
  // the other structures through a non-resident file that needs the root
  // and \data to resolve.
  std::vector<std::vector<std::u16string>> Actions(const fuzz::Region& region, uint64_t serial) const {
    static const char16_t* const kTypes[] = {u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8",
                                             u"9", u"10", u"11", u"12", u"13", u"14", u"16"};
    static const char16_t* const kStarts[] = {u"0", u"10", u"FFF", u"FFFFFFFFFFFFFFF0"};
    static const char16_t* const kRanges[] = {u"50", u"100", u"1", u"FFFFFFFF"};
    std::vector<std::u16string> target = {u"-f", u"C:\\data\\nonresident.bin"};
    std::u16string listed = u"C:\\";
    const bool directory_structure = region.name == "directory record" || region.name == "index block";
    if (region.name == kListRegion) {
      target = {u"-f", u"C:\\manystreams.txt"};
    } else if (directory_structure) {
      target = {u"-f", u"C:\\bigdir"};
      listed = u"C:\\bigdir";
    } else if (region.name.rfind("record ", 0) == 0) {
      target = {u"-f", u"C:\\", u"-r", Hex(std::strtoull(region.name.c_str() + 7, nullptr, 10))};
    }
    if (region.name == kLogRegion) {
      return {{u"-f", u"C:\\", u"--logfile"},
              {u"-f", u"C:\\", u"--logfile", u"--json"},
              {u"-f", u"C:\\", u"--logfile", u"--timeline"}};
    }
    auto with = [&target](std::vector<std::u16string> rest) {
      std::vector<std::u16string> all = target;
      all.insert(all.end(), rest.begin(), rest.end());
      return all;
    };
    const size_t k = serial;
    return {
        {u"-f", listed, u"-l"},
        with({u"-a"}),
        with({u"-v", kTypes[k % 15]}),
        with({u"-d", kTypes[(k / 3) % 15], kStarts[k % 4], kRanges[(k / 4) % 4]}),
        {u"-f", u"C:\\", u"-c"},
        {u"-f", u"C:\\", u"-s", security_ids_[k % security_ids_.size()]},
        {u"-f", u"C:\\", u"-e"},
        {u"-f", u"C:\\", u"-n", lsns_[k % lsns_.size()]},
        with({u"-w", Hex(k % 8), u"out.bin"}),
    };
  }

  void Run(const std::vector<std::u16string>& arguments, const std::string& what) {
    watchdog_.Start(what);
    const auto start = std::chrono::steady_clock::now();
    RunVelmora(platform_, arguments);
    const auto took = std::chrono::steady_clock::now() - start;
    watchdog_.Stop();
    ++runs_;
    if (took > slowest_) {
      slowest_ = took;
      slowest_run_ = what;
      for (const auto& a : arguments) slowest_run_ += " " + Utf16ToUtf8(a);
    }
  }

  const TestVolume& volume_;
  std::vector<uint8_t> image_;
  std::vector<fuzz::Region> regions_;
  uint64_t directory_ = 0;
  fuzz::FuzzPlatform platform_;  // -w output counted, not kept
  std::vector<std::u16string> lsns_;
  std::vector<std::u16string> security_ids_;
  Watchdog watchdog_;
  uint64_t runs_ = 0;
  std::chrono::steady_clock::duration slowest_{};
  std::string slowest_run_;
};

std::string Describe(const std::string& volume, const fuzz::Region& region, uint64_t index, const char* how) {
  return volume + " " + region.name + " byte " + std::to_string(index) + " " + how;
}

void Report(const std::string& volume, const std::string& part, const Campaign& campaign) {
  const double ms = std::chrono::duration<double, std::milli>(campaign.slowest()).count();
  std::printf("[campaign] %s %s: %llu action runs, slowest %.1f ms (%s)\n", volume.c_str(), part.c_str(),
              static_cast<unsigned long long>(campaign.runs()), ms, campaign.slowest_run().c_str());
  ::testing::Test::RecordProperty("action_runs", std::to_string(campaign.runs()));
  EXPECT_LE(campaign.slowest(), kRunLimit) << campaign.slowest_run();
}

const std::vector<std::string> kRegionNames = {"boot",      "record 0",         "record 5",
                                               "record 9",  "record 10",        "directory record",
                                               "index block", "$SDS entry",     "restart page"};

class DamagedVolumeCampaign : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

// Every byte of one structure of one volume: 0x00, 0xFF, plus one.
TEST_P(DamagedVolumeCampaign, EveryByteOfOneStructure) {
  const auto& [name, region_name] = GetParam();
  const TestVolume& volume = LoadVolume(name);
  ASSERT_FALSE(volume.image.empty());
  const std::string before = Sha256Hex(volume.image);
  Campaign campaign(volume);
  const fuzz::Region* region = campaign.Find(region_name);
  ASSERT_NE(region, nullptr) << name << " has no " << region_name << " (the sound volume must be readable)";

  const uint64_t stride = Stride();
  uint64_t serial = 0;
  for (uint64_t i = 0; i < region->offsets.size(); ++i) {
    const uint64_t offset = region->offsets[i];
    const uint8_t sound = volume.image[offset];
    const struct {
      uint8_t value;
      const char* how;
    } changes[] = {{0x00, "= 00"}, {0xFF, "= FF"}, {static_cast<uint8_t>(sound + 1), "+ 1"}};
    for (const auto& change : changes) {
      if (change.value == sound) continue;
      if (serial++ % stride != 0) continue;
      campaign.Damage({{offset, change.value}}, *region, serial, Describe(name, *region, i, change.how));
    }
  }
  EXPECT_TRUE(campaign.Unchanged());
  EXPECT_EQ(Sha256Hex(volume.image), before);
  Report(name, region_name, campaign);
}

INSTANTIATE_TEST_SUITE_P(AllVolumes, DamagedVolumeCampaign,
                         ::testing::Combine(::testing::ValuesIn(CommittedVolumeNames()),
                                            ::testing::ValuesIn(kRegionNames)),
                         [](const auto& info) {
                           std::string text = std::get<0>(info.param) + "_" + std::get<1>(info.param);
                           for (char& c : text)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return text;
                         });

// The entries of an attribute list as device offsets, each entry's bytes in
// order, with the list's value as read (protected words undone).
struct ListLayout {
  fuzz::Region region;                   // every byte of the list value
  std::vector<uint64_t> entry_starts;    // offsets into the value
  std::vector<uint8_t> value;
};

ListLayout LocateList(const TestVolume& volume, const std::u16string& file) {
  ListLayout layout{{kListRegion, {}}, {}, {}};
  fuzz::VolumeMap map(volume.image);
  if (!map.ok()) return layout;
  const uint64_t number = map.Child(file);
  auto base = ReadFileRecord(map.volume(), RecordNumber(number));
  if (!base) return layout;
  const auto list = FindAttribute(*base, AttrType::kAttributeList, nullptr, nullptr);
  if (!list) return layout;
  if (list->NonResident()) {
    RunList runs;
    runs.AppendExtent(*list);
    layout.region.offsets = fuzz::MapValueBytes(runs, map.cluster(), 0, list->ValueSize());
  } else {
    const fuzz::Region record = map.Record(number, "record");
    const uint64_t start = list->offset() + list->AttrOffset();
    for (uint64_t i = 0; i < list->AttrSize() && start + i < record.offsets.size(); ++i)
      layout.region.offsets.push_back(record.offsets[start + i]);
  }
  AttributeReader reader(map.volume(), *list);
  if (const std::vector<uint8_t>* value = reader.ReadAttributeValue()) layout.value = *value;
  uint64_t position = 0;
  for (const AttributeListEntry& entry : AttributeListEntries(layout.value)) {
    layout.entry_starts.push_back(position);
    position += entry.Length();
  }
  return layout;
}

class DamagedVolumeLists : public ::testing::TestWithParam<std::string> {};

// Structural damage to an attribute list, as a writer gone wrong leaves it:
// one attribute named by two entries, two entries' targets swapped, an entry
// naming an attribute list (the list itself), an entry naming a record of
// another file, an entry naming another use of its record. Fields are
// patched in place; a field that would cover a word the update sequence
// protects is left alone (the record would fail its check instead).
TEST_P(DamagedVolumeLists, EntriesRepeatedSwappedAndSelfNamed) {
  const std::string& name = GetParam();
  const TestVolume& volume = LoadVolume(name);
  ASSERT_FALSE(volume.image.empty());
  const std::string before = Sha256Hex(volume.image);
  const ListLayout list = LocateList(volume, u"manystreams.txt");
  ASSERT_GT(list.entry_starts.size(), 4u) << name << ": manystreams.txt has no attribute list to damage";
  ASSERT_EQ(list.region.offsets.size(), list.value.size());
  Campaign campaign(volume);

  // Bytes [at, at + count) of the value set to `bytes`, unless a protected word is among them.
  auto field = [&](uint64_t at, std::span<const uint8_t> bytes, std::vector<Patch>& patches) {
    for (uint64_t i = 0; i < bytes.size(); ++i) {
      if (at + i >= list.region.offsets.size() || list.region.offsets[at + i] % 512 >= 510) return false;
    }
    for (uint64_t i = 0; i < bytes.size(); ++i) patches.push_back({list.region.offsets[at + i], bytes[i]});
    return true;
  };
  auto target_of = [&](size_t entry) {  // reference and instance: 10 bytes at 0x10
    const uint64_t at = list.entry_starts[entry] + list_entry::kReference;
    return std::vector<uint8_t>(list.value.begin() + at, list.value.begin() + at + 10);
  };
  const uint64_t stride = Stride();
  uint64_t serial = 0;
  auto damage = [&](std::vector<Patch> patches, const std::string& what) {
    if (serial++ % stride != 0 || patches.empty()) return;
    campaign.Damage(patches, list.region, serial, name + " " + what);
  };
  const size_t count = list.entry_starts.size();
  for (size_t i = 0; i < count; ++i) {
    const uint64_t entry = list.entry_starts[i];
    std::vector<Patch> self, foreign, stale;
    const uint8_t list_type[4] = {0x20, 0, 0, 0};
    field(entry + list_entry::kType, list_type, self);
    damage(self, "entry " + std::to_string(i) + " names the list");
    const uint8_t root[6] = {5, 0, 0, 0, 0, 0};
    field(entry + list_entry::kReference, root, foreign);
    damage(foreign, "entry " + std::to_string(i) + " names the root's record");
    const uint8_t sequence[2] = {0x34, 0x12};
    field(entry + list_entry::kReference + 6, sequence, stale);
    damage(stale, "entry " + std::to_string(i) + " names another use of its record");
    for (size_t j = 0; j < count; ++j) {
      if (i == j) continue;
      const uint64_t other = list.entry_starts[j] + list_entry::kReference;
      std::vector<Patch> repeat, swap;
      field(other, target_of(i), repeat);
      damage(repeat, "entries " + std::to_string(i) + " and " + std::to_string(j) + " name one attribute");
      if (i < j && field(other, target_of(i), swap) && field(entry + list_entry::kReference, target_of(j), swap))
        damage(swap, "entries " + std::to_string(i) + " and " + std::to_string(j) + " swapped");
    }
  }
  EXPECT_TRUE(campaign.Unchanged());
  EXPECT_EQ(Sha256Hex(volume.image), before);
  Report(name, "attribute list", campaign);
}

INSTANTIATE_TEST_SUITE_P(AllVolumes, DamagedVolumeLists, ::testing::ValuesIn(CommittedVolumeNames()),
                         [](const auto& info) { return info.param; });

class DamagedVolumeWords : public ::testing::TestWithParam<std::string> {};

// Random words (0, all ones, small numbers, arbitrary values; one to four
// of them) at random places of the structures, from a fixed seed.
TEST_P(DamagedVolumeWords, RandomWordsAcrossTheMetadata) {
  const std::string& name = GetParam();
  const TestVolume& volume = LoadVolume(name);
  ASSERT_FALSE(volume.image.empty());
  const std::string before = Sha256Hex(volume.image);
  Campaign campaign(volume);
  ASSERT_GT(campaign.regions().size(), 1u);
  campaign.RunSound();

  std::mt19937_64 random(kRandomSeed);
  const uint64_t stride = Stride();
  const uint64_t count =
      stride == 1 ? kRandomDamages : std::clamp<uint64_t>(kRandomDamages * 4 / stride, 100, kRandomDamages);
  for (uint64_t n = 0; n < count; ++n) {
    const fuzz::Region& region = campaign.regions()[random() % campaign.regions().size()];
    std::vector<Patch> patches;
    const uint64_t words = 1 + random() % 4;
    std::string what = name + " " + region.name + " words";
    for (uint64_t w = 0; w < words; ++w) {
      const uint64_t width = (random() % 2) ? 4 : 2;
      const uint64_t at = random() % region.offsets.size();
      uint64_t value = random();
      switch (value % 5) {
        case 0: value = 0; break;
        case 1: value = ~uint64_t{0}; break;
        case 2: value = (value >> 8) % 17; break;
        case 3: value = uint64_t{1} << ((value >> 8) % 32); break;
        default: value >>= 16; break;
      }
      what += " @" + std::to_string(at) + "=" + std::to_string(value & ((uint64_t{1} << (8 * width)) - 1));
      for (uint64_t b = 0; b < width && at + b < region.offsets.size(); ++b)
        patches.push_back({region.offsets[at + b], static_cast<uint8_t>(value >> (8 * b))});
    }
    campaign.Damage(patches, region, n, what);
  }
  EXPECT_TRUE(campaign.Unchanged());
  EXPECT_EQ(Sha256Hex(volume.image), before);
  Report(name, "random words", campaign);
}

INSTANTIATE_TEST_SUITE_P(AllVolumes, DamagedVolumeWords, ::testing::ValuesIn(CommittedVolumeNames()),
                         [](const auto& info) { return info.param; });

class DamagedVolumeLogFile : public ::testing::TestWithParam<std::string> {};

// --logfile over the volume's own $LogFile, its pages damaged. ntfs-3g
// leaves the log reset, with no record pages, so its first pages are
// overwritten with a log the builder wrote (names added, times changed,
// records spanning pages, the wrap) and random words are damaged across
// them, from a fixed seed; each image is read as text, JSON and timeline.
TEST_P(DamagedVolumeLogFile, RandomWordsAcrossTheLogPages) {
  using namespace log_pages;
  const std::string& name = GetParam();
  const TestVolume& volume = LoadVolume(name);
  ASSERT_FALSE(volume.image.empty());
  const std::string before = Sha256Hex(volume.image);
  constexpr uint64_t kTime = 0x01D4C19390C80791;
  LogBuilder builder(8);
  for (uint32_t i = 0; i < 30; ++i) {
    builder.Append(i, Operation(Op::kAddIndexEntryRoot, Op::kDeleteIndexEntryRoot,
                                NameEntry(0x0001000000000040 + i, u"file" + std::u16string(1, u'a' + i % 26), kTime), {},
                                5));
    builder.Append(i, Operation(Op::kUpdateResidentValue, Op::kUpdateResidentValue, Times(kTime + i, kTime + 2 * i),
                                Times(kTime, kTime), 0x40 + i, 0x38, 0x18 + 8));
    builder.Append(i, Filler(0x300 + 0x100 * (i % 9)));
  }
  const Bytes log = builder.Finish();
  Campaign campaign(volume);
  fuzz::VolumeMap map(volume.image);
  const fuzz::Region region =
      map.Value(kLogFileReference.value, AttrType::kData, nullptr, 0, log.size(), kLogRegion);
  ASSERT_EQ(region.offsets.size(), log.size()) << name << "'s $LogFile is shorter than the log";
  std::vector<Patch> planted;
  for (size_t i = 0; i < log.size(); ++i) planted.push_back({region.offsets[i], log[i]});
  {
    // The planted log reads whole through the volume.
    std::vector<uint8_t> image = volume.image;
    for (const Patch& patch : planted) image[patch.offset] = patch.value;
    FakePlatform platform;
    platform.AddVolume(u'C', image);
    const auto sound = RunVelmora(platform, {u"-f", u"C:\\", u"--logfile"});
    EXPECT_NE(sound.err.find(" " + std::to_string(builder.Surviving().size()) + " records decoded"), std::string::npos)
        << sound.err;
  }

  std::mt19937_64 random(kRandomSeed);
  const uint64_t count = kCampaignSanitized ? 40 : 200;
  for (uint64_t n = 0; n < count; ++n) {
    std::vector<Patch> patches = planted;
    std::string what = name + " log words";
    for (uint64_t w = 1 + random() % 4; w-- > 0;) {
      const uint64_t width = (random() % 2) ? 8 : 2;
      const uint64_t at = random() % log.size();
      uint64_t value = random();
      if (value % 3 == 0) value = (value >> 8) % 0x2000;  // near the offsets and lengths the log holds
      what += " @" + std::to_string(at);
      for (uint64_t b = 0; b < width && at + b < log.size(); ++b)
        patches.push_back({region.offsets[at + b], static_cast<uint8_t>(value >> (8 * b))});
    }
    campaign.Damage(patches, region, n, what);
  }
  EXPECT_TRUE(campaign.Unchanged());
  EXPECT_EQ(Sha256Hex(volume.image), before);
  Report(name, "log pages", campaign);
}

INSTANTIATE_TEST_SUITE_P(AllVolumes, DamagedVolumeLogFile, ::testing::ValuesIn(CommittedVolumeNames()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace velmora::testing
