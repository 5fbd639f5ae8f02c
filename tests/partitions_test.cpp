#include "source/partitions.h"

#include <gtest/gtest.h>

#include <cstring>

#include "source/byte_source.h"

namespace velmora::source {
namespace {

using Select = SourceName::Select;

TEST(SourceNameTest, SplitsOffsetAndPartitionSelectors) {
  struct Case {
    const char* text;
    const char* path;
    Select select;
    uint64_t value;
  } cases[] = {
      {"disk.img", "disk.img", Select::Automatic, 0},
      {"disk.img@1048576", "disk.img", Select::Offset, 1048576},
      {"disk.img@0x100000", "disk.img", Select::Offset, 0x100000},
      {"disk.img@0X1f", "disk.img", Select::Offset, 0x1F},
      {"disk.img@0", "disk.img", Select::Offset, 0},
      {"disk.img@2048s", "disk.img", Select::Offset, 2048 * 512},  // sectors, as fdisk prints a start
      {"disk.img@0x800s", "disk.img", Select::Offset, 0x800 * 512},
      {"disk.img@0s", "disk.img", Select::Offset, 0},
      {"disk.img@36028797018963967s", "disk.img", Select::Offset, 36028797018963967ull * 512},
      {"disk.img#2", "disk.img", Select::Partition, 2},
      {"/cases/a@b/disk.img#3", "/cases/a@b/disk.img", Select::Partition, 3},
      {"/cases/x#1/disk.img", "/cases/x#1/disk.img", Select::Automatic, 0},
      // Not a selector: the whole text is a file name.
      {"disk.img#0", "disk.img#0", Select::Automatic, 0},
      {"disk.img#4294967296", "disk.img#4294967296", Select::Automatic, 0},
      {"disk.img#-1", "disk.img#-1", Select::Automatic, 0},
      {"disk.img@", "disk.img@", Select::Automatic, 0},
      {"disk.img@0x", "disk.img@0x", Select::Automatic, 0},
      {"disk.img@12ab", "disk.img@12ab", Select::Automatic, 0},
      {"disk.img@0x1g", "disk.img@0x1g", Select::Automatic, 0},
      {"disk.img@18446744073709551616", "disk.img@18446744073709551616", Select::Automatic, 0},
      {"disk.img@0x10000000000000000", "disk.img@0x10000000000000000", Select::Automatic, 0},
      {"@512", "@512", Select::Automatic, 0},
      {"disk.img@s", "disk.img@s", Select::Automatic, 0},
      {"disk.img@2048S", "disk.img@2048S", Select::Automatic, 0},
      {"disk.img@2048ss", "disk.img@2048ss", Select::Automatic, 0},
      {"disk.img@36028797018963968s", "disk.img@36028797018963968s", Select::Automatic, 0},  // 2^64 bytes
      {"disk.img#2s", "disk.img#2s", Select::Automatic, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SourceName source = ParseSourceName(c.text);
    EXPECT_EQ(source.path, c.path);
    EXPECT_EQ(source.select, c.select);
    EXPECT_EQ(source.value, c.value);
  }
  EXPECT_EQ(ParseSourceName("disk.img@18446744073709551615").value, UINT64_MAX);
}

// A disk image built in memory, sector by sector.
class Disk {
 public:
  explicit Disk(size_t bytes) : bytes_(bytes) {}

  void Signature(uint64_t sector_offset) {
    bytes_[sector_offset + 0x1FE] = 0x55;
    bytes_[sector_offset + 0x1FF] = 0xAA;
  }
  void NtfsBoot(uint64_t offset, uint16_t bytes_per_sector = 512) {
    std::memcpy(&bytes_[offset + 3], "NTFS    ", 8);
    Put(&bytes_[offset + 0x0B], bytes_per_sector, 2);
    Signature(offset);
  }
  void MbrEntry(uint64_t sector_offset, int slot, uint8_t type, uint32_t first_lba, uint32_t sectors) {
    uint8_t* e = &bytes_[sector_offset + 0x1BE + 16 * slot];
    e[4] = type;
    Put(e + 8, first_lba, 4);
    Put(e + 12, sectors, 4);
    Signature(sector_offset);
  }
  // Protective MBR and a GPT header at LBA 1 with its entries from LBA 2.
  void Gpt(uint32_t lba, uint32_t count, uint32_t entry_size, uint32_t header_size = 92) {
    MbrEntry(0, 0, 0xEE, 1, 0xFFFFFFFF);
    uint8_t* h = &bytes_[lba];
    std::memcpy(h, "EFI PART", 8);
    Put(h + 0x0C, header_size, 4);
    Put(h + 0x48, 2, 8);
    Put(h + 0x50, count, 4);
    Put(h + 0x54, entry_size, 4);
  }
  void GptEntry(uint32_t lba, uint32_t entry_size, uint32_t index, uint64_t first, uint64_t last) {
    uint8_t* e = &bytes_[2 * lba + uint64_t{index} * entry_size];
    e[0] = 0xA2;  // any non-zero type GUID
    Put(e + 0x20, first, 8);
    Put(e + 0x28, last, 8);
  }
  MemorySource Source() const { return MemorySource(std::span<const uint8_t>(bytes_)); }

 private:
  static void Put(uint8_t* at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
  }
  std::vector<uint8_t> bytes_;
};

std::vector<std::pair<uint32_t, uint64_t>> NumbersAndOffsets(const std::vector<Partition>& parts) {
  std::vector<std::pair<uint32_t, uint64_t>> out;
  for (const Partition& p : parts) out.emplace_back(p.number, p.offset);
  return out;
}

using Pairs = std::vector<std::pair<uint32_t, uint64_t>>;

TEST(PartitionTest, MbrPrimaryAndLogicalPartitions) {
  Disk disk(256 * 512);
  disk.MbrEntry(0, 0, 0x83, 8, 16);     // #1, not NTFS
  disk.MbrEntry(0, 1, 0x07, 64, 16);    // #2, NTFS
  disk.MbrEntry(0, 3, 0x05, 100, 100);  // extended: logical #5 at 102, #6 at 122
  disk.MbrEntry(100 * 512, 0, 0x07, 2, 10);
  disk.MbrEntry(100 * 512, 1, 0x05, 20, 20);
  disk.MbrEntry(120 * 512, 0, 0x07, 2, 10);
  disk.NtfsBoot(64 * 512);
  disk.NtfsBoot(122 * 512);
  MemorySource source = disk.Source();

  EXPECT_EQ(NumbersAndOffsets(ReadPartitions(source, 512)),
            (Pairs{{1, 8 * 512}, {2, 64 * 512}, {5, 102 * 512}, {6, 122 * 512}}));
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d")), 64u * 512);
  // Chosen even without NTFS; the 4096-byte-sector reading of #1 lands on
  // #2's volume, which says 512 bytes per sector, and is passed over.
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d#1")), 8u * 512);
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d#6")), 122u * 512);
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d#3")), std::nullopt);
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d#7")), std::nullopt);
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d@0x1234")), 0x1234u);
}

TEST(PartitionTest, MbrOfA4096ByteSectorDisk) {
  Disk disk(64 * 4096);
  disk.MbrEntry(0, 0, 0x07, 8, 16);
  disk.NtfsBoot(8 * 4096, 4096);
  MemorySource source = disk.Source();
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d")), 8u * 4096);
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d#1")), 8u * 4096);
}

TEST(PartitionTest, VolumeWithoutTableIsTakenAtZero) {
  Disk disk(64 * 512);
  disk.NtfsBoot(0);
  MemorySource source = disk.Source();
  // Boot code at 0x1BE must not be read as partition entries.
  EXPECT_TRUE(ReadPartitions(source, 512).empty());
  EXPECT_EQ(SelectVolume(source, ParseSourceName("v")), 0u);
  EXPECT_EQ(SelectVolume(source, ParseSourceName("v#1")), std::nullopt);

  MemorySource empty(std::vector<uint8_t>(64 * 512));
  EXPECT_TRUE(ReadPartitions(empty, 512).empty());
  EXPECT_EQ(SelectVolume(empty, ParseSourceName("v")), 0u);  // left to the volume check
  MemorySource tiny(std::vector<uint8_t>(100));
  EXPECT_TRUE(ReadPartitions(tiny, 512).empty());
  EXPECT_EQ(SelectVolume(tiny, ParseSourceName("v")), 0u);
}

TEST(PartitionTest, LoopingExtendedChainEnds) {
  Disk disk(64 * 512);
  disk.MbrEntry(0, 0, 0x0F, 10, 20);
  disk.MbrEntry(10 * 512, 0, 0x07, 1, 1);
  disk.MbrEntry(10 * 512, 1, 0x05, 0, 20);  // links back to itself
  MemorySource source = disk.Source();
  EXPECT_EQ(ReadPartitions(source, 512).size(), 128u);
}

TEST(PartitionTest, Gpt512) {
  Disk disk(128 * 512);
  disk.Gpt(512, 4, 128);
  disk.GptEntry(512, 128, 1, 40, 59);
  disk.GptEntry(512, 128, 2, 80, 99);
  disk.NtfsBoot(80 * 512);
  MemorySource source = disk.Source();
  ASSERT_EQ(NumbersAndOffsets(ReadPartitions(source, 512)), (Pairs{{2, 40 * 512}, {3, 80 * 512}}));
  EXPECT_EQ(ReadPartitions(source, 512)[0].length, 20u * 512);
  EXPECT_TRUE(ReadPartitions(source, 4096).empty());
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d")), 80u * 512);
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d#2")), 40u * 512);
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d#1")), std::nullopt);  // unused entry
}

TEST(PartitionTest, Gpt4096) {
  Disk disk(8 * 4096);
  disk.Gpt(4096, 4, 128);
  disk.GptEntry(4096, 128, 0, 4, 7);
  disk.NtfsBoot(4 * 4096, 4096);
  MemorySource source = disk.Source();
  EXPECT_TRUE(ReadPartitions(source, 512).empty());
  EXPECT_EQ(NumbersAndOffsets(ReadPartitions(source, 4096)), (Pairs{{1, 4 * 4096}}));
  EXPECT_EQ(SelectVolume(source, ParseSourceName("d")), 4u * 4096);
}

TEST(PartitionTest, DamagedGptHeadersAndEntries) {
  auto parts = [](auto damage) {
    Disk disk(100 * 512);
    disk.Gpt(512, 4, 128);
    disk.GptEntry(512, 128, 0, 40, 59);
    damage(disk);
    MemorySource source = disk.Source();
    return ReadPartitions(source, 512).size();
  };
  EXPECT_EQ(parts([](Disk&) {}), 1u);
  EXPECT_EQ(parts([](Disk& d) { d.Gpt(512, 4, 100); }), 0u);                  // entry size not 128/256/512
  EXPECT_EQ(parts([](Disk& d) { d.Gpt(512, 4, 1024); }), 0u);
  EXPECT_EQ(parts([](Disk& d) { d.Gpt(512, 4, 128, 91); }), 0u);              // header too small
  EXPECT_EQ(parts([](Disk& d) { d.Gpt(512, 4, 128, 513); }), 0u);             // header past its sector
  EXPECT_EQ(parts([](Disk& d) {
              d.Gpt(512, 0xFFFFFFFF, 128);  // the count is capped at 128 entries
              d.GptEntry(512, 128, 127, 100, 101);
            }),
            2u);
  EXPECT_EQ(parts([](Disk& d) { d.Gpt(512, 128, 512); }), 0u);                // array past the disk end
  EXPECT_EQ(parts([](Disk& d) { d.GptEntry(512, 128, 1, 90, 80); }), 1u);     // last before first
  EXPECT_EQ(parts([](Disk& d) { d.GptEntry(512, 128, 1, 1ull << 60, (1ull << 60) + 1); }), 1u);  // bytes overflow
  EXPECT_EQ(parts([](Disk& d) { d.GptEntry(512, 128, 1, 0, UINT64_MAX); }), 1u);  // length wraps
  EXPECT_EQ(parts([](Disk& d) { d.GptEntry(512, 128, 127, 100, 101); }), 1u);  // index past the count
}

}  // namespace
}  // namespace velmora::source
