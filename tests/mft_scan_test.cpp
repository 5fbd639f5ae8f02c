// The MFT scan parses blocks of records in lanes and joins them in record
// order: however the records fall into blocks, the tables are the same.
#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "base/lanes.h"
#include "history/free_records.h"
#include "ntfs/file_record.h"
#include "ntfs/mft_scan.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

// Everything a scan keeps, in a form that compares.
std::vector<std::string> Tables(const MftScan& scan) {
  std::vector<std::string> rows;
  for (const ScannedRecord& r : scan.records()) {
    rows.push_back("record " + std::to_string(r.times.created) + " " + std::to_string(r.size) + " " +
                   std::to_string(r.size_attribute_id) + " " + std::to_string(static_cast<int>(r.size_source)) + " " +
                   std::to_string(r.primary_name) + " " + std::to_string(r.attributes) + " " +
                   std::to_string(r.sequence) + " " + std::to_string(r.valid) + std::to_string(r.in_use) +
                   std::to_string(r.directory) + std::to_string(r.free_in_bitmap));
  }
  for (const ScannedName& n : scan.names()) {
    const FileTimes& t = scan.TimesOf(n);
    rows.push_back("name " + std::to_string(n.record) + " " + std::to_string(n.parent.value) + " " +
                   std::string(scan.Text(n.text)) + " " + std::to_string(t.created) + " " + std::to_string(t.modified) +
                   " " + std::to_string(t.record_changed) + " " + std::to_string(t.accessed) + " " +
                   std::to_string(n.attribute_id) + " " + std::to_string(n.name_space) + " " +
                   scan.PathOf(n, kRootReference).text);
  }
  for (const ScannedStream& s : scan.streams())
    rows.push_back("stream " + std::to_string(s.record) + " " + std::string(scan.Text(s.text)) + " " +
                   std::to_string(s.size) + " " + std::to_string(s.attribute_id));
  for (const FreeRecordData& d : scan.free_data()) {
    std::string row = "free " + std::to_string(d.record) + " " + std::to_string(d.size) + " " +
                      std::to_string(d.resident) + std::to_string(d.complete);
    for (const Run& run : scan.RunsOf(d))
      row += " " + std::to_string(run.vcn.value) + ":" + std::to_string(run.length) + "@" +
             (run.lcn ? std::to_string(run.lcn->value) : "-");
    rows.push_back(row);
  }
  for (size_t r = 0; r < static_cast<size_t>(SkipReason::kCount); ++r)
    rows.push_back("skipped " + std::to_string(scan.Skipped(SkipReason(r))));
  rows.push_back("slots " + std::to_string(scan.slots()));
  return rows;
}

TEST(MftScanTest, BlocksOfAnySizeGiveTheSameTables) {
  for (const char* name : {"deleted/deleted", "content/content", "c4k"}) {
    const testing::TestVolume& image = testing::LoadVolume(name);
    VolumeContext volume;
    ASSERT_TRUE(OpenVolumeSource(volume, std::make_unique<source::MemorySource>(std::span<const uint8_t>(image.image)),
                                 u"test"));
    auto mft_bitmap = history::ReadMftBitmap(volume);
    ASSERT_TRUE(mft_bitmap) << name;
    std::vector<std::string> expected;
    for (uint64_t per_block : {0u, 1u, 3u, 64u}) {
      ScanOptions options = history::FreeRecordScanOptions(*mft_bitmap);
      options.records_per_block = per_block;
      // Each lane sees its records in order.
      std::vector<uint64_t> last(kLanes, 0);
      bool ordered = true;
      options.also = [&](const FileRecord& record, unsigned lane) {
        ordered = ordered && (last[lane] == 0 || record.Number().value > last[lane]);
        last[lane] = record.Number().value;
      };
      auto scan = ScanMft(volume, options);
      ASSERT_TRUE(scan) << name;
      EXPECT_TRUE(ordered) << name << " " << per_block;
      const std::vector<std::string> tables = Tables(*scan);
      if (per_block == 0) {
        expected = tables;
        if (std::string(name) == "deleted/deleted") {
          EXPECT_GT(scan->free_data().size(), 0u);
        }
      } else {
        EXPECT_EQ(tables, expected) << name << " in blocks of " << per_block;
      }
    }
  }
}

}  // namespace
}  // namespace velmora
