// The -a file record report: header block and attribute table on records
// built in memory (with and without $ATTRIBUTE_LIST, damaged lists), and on
// the committed volumes against Sleuth Kit's istat.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ntfs/volume.h"
#include "reports/file_record_report.h"
#include "reports/reports.h"
#include "tests/support/report_harness.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora::testing {
namespace {

constexpr uint64_t kRecord = 31;

using Harness = ReportHarness;

// Sets the header fields the walk does not depend on to distinct values
// (the update sequence stays valid: none of them is a protected word).
void StampHeader(std::vector<uint8_t>& record) {
  Put64(record, 0x08, 0x0000001234ABCDEF);  // LSN
  Put16(record, 0x10, 0x0005);              // sequence
  Put16(record, 0x12, 0x0002);              // hard links
  Put16(record, 0x16, 0x0001);              // flags
  Put32(record, 0x1C, 0x00000400);          // bytes allocated
  Put64(record, 0x20, 0x0003000000000017);  // base record
  Put16(record, 0x28, 0x0009);              // next attribute id
  Put16(record, 0x2A, 0x0001);              // own number, bits 32..47
}

std::string HeaderText(uint32_t first_free) {
  char used[16];
  std::snprintf(used, sizeof used, "%08X", first_free);
  return std::string(
             "File record : \n"
             "Signature     = FILE\n"
             "OffsetOfUS    = 0030\n"
             "SizeOfUS      = 0003\n"
             "LogSeqNumber  = 0000001234ABCDEF\n"
             "Sequence      = 0005\n"
             "HardLinks     = 0002\n"
             "OffsetOfAttr  = 0038\n"
             "Flags         = 0001\n"
             "FirstFreeByte = ") +
         used +
         "\n"
         "AllocSize     = 00000400\n"
         "RefToBase     = 0003000000000017\n"
         "NextAttrID    = 0009\n"
         "MFTRecNumber  = 000000010000001F\n";
}

constexpr std::string_view kTableHeading =
    "-----------------\n"
    "\nIndex\tAttribute type\t\t\tREF\t\t\tINSTANCE\tNAME\n"
    "-----------------\n";

uint32_t FirstFree(const std::vector<uint8_t>& record) {
  return record[0x18] | (record[0x19] << 8) | (record[0x1A] << 16) | (uint32_t{record[0x1B]} << 24);
}

std::string Report(const std::vector<uint8_t>& record, bool* result = nullptr) {
  SyntheticVolume v;
  v.SetRecord(kRecord, record);
  Harness h(v.image());
  ReportContext context = h.Context();
  bool ok = ReportFileRecord(context, FileReference(kRecord));
  if (result) *result = ok;
  return h.out.text();
}

TEST(AttributeTypeName, EveryTypeAndTheUnknown) {
  const std::map<uint32_t, std::u16string> names = {
      {0x10, u"$STANDARD_INFORMATION(1)"}, {0x20, u"$ATTRIBUTE_LIST(2)"}, {0x30, u"$FILE_NAME(3)"},
      {0x40, u"$OBJECT_ID(4)"},           {0x50, u"$SECURITY_DESCRIPTOR(5)"}, {0x60, u"$VOLUME_NAME(6)"},
      {0x70, u"$VOLUME_INFORMATION(7)"},  {0x80, u"$DATA(8)"},               {0x90, u"$INDEX_ROOT(9)"},
      {0xA0, u"$INDEX_ALLOCATION(10)"},   {0xB0, u"$BITMAP(11)"},            {0xC0, u"$REPARSE_POINT(12)"},
      {0xD0, u"$EA_INFORMATION(13)"},     {0xE0, u"$EA(14)"},                {0x100, u"$LOGGED_UTILITY_STREAM(16)"},
  };
  for (const auto& [type, name] : names) EXPECT_EQ(AttributeTypeName(type), name) << type;
  for (uint32_t type : {0x0u, 0x8u, 0x11u, 0xF0u, 0x110u, 0x1000u, 0xFFFFFFFFu})
    EXPECT_EQ(AttributeTypeName(type), u"$UNKNOWN_ATTRIBUTE") << type;
}

TEST(AttributeRows, CapacityDoublesAndGrowthPastTheLimitDropsTheRow) {
  AttributeRows rows(5);
  std::vector<size_t> capacities;
  for (uint32_t i = 0; i < 6; ++i) {
    bool added = rows.Add(AttributeRow{0x80, 1, i, u""});
    EXPECT_EQ(added, i < 4) << i;
    capacities.push_back(rows.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<size_t>{1, 2, 4, 4, 4, 4}));
  EXPECT_EQ(rows.rows().size(), 4u);
  EXPECT_EQ(kMaxAttributeRows, 4006499u);
}

TEST(FileRecordReport, RecordWithoutAttributeList) {
  std::vector<uint8_t> record = RecordBuilder(kRecord)
                                    .Resident(0x10, 0, u"", std::vector<uint8_t>(0x48, 0))
                                    .Resident(0x30, 3, u"", FileNameValue(5, u"file.txt"))
                                    .Resident(0x80, 1, u"", {1, 2, 3})
                                    .Resident(0x80, 0x1234, u"日本語", {4})
                                    .Resident(0x80, 7, u"😀 𠀀", {5})
                                    .Resident(0xF0, 8, u"", {})
                                    .Build();
  StampHeader(record);
  bool ok = false;
  std::string out = Report(record, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(out, HeaderText(FirstFree(record)) + std::string(kTableHeading) +
                     "00]\t$STANDARD_INFORMATION(1)      \t000000010000001F\t00000000\t\n"
                     "01]\t$FILE_NAME(3)                 \t000000010000001F\t00000003\t\n"
                     "02]\t$DATA(8)                      \t000000010000001F\t00000001\t\n"
                     "03]\t$DATA(8)                      \t000000010000001F\t00001234\t日本語\n"
                     "04]\t$DATA(8)                      \t000000010000001F\t00000007\t😀 𠀀\n"
                     "05]\t$UNKNOWN_ATTRIBUTE            \t000000010000001F\t00000008\t\n");
}

TEST(FileRecordReport, UnreadableRecordPrintsNothing) {
  SyntheticVolume v;
  Harness h(v.image());
  ReportContext context = h.Context();
  EXPECT_FALSE(ReportFileRecord(context, FileReference(0x7777)));
  std::vector<uint8_t> torn = RecordBuilder(kRecord).Resident(0x10, 0, u"", std::vector<uint8_t>(0x48, 0)).Build();
  torn[510] ^= 0xFF;  // a torn sector: the update sequence check fails
  v.SetRecord(kRecord, torn);
  EXPECT_FALSE(ReportFileRecord(context, FileReference(kRecord)));
  EXPECT_EQ(h.out.text(), "");
  AttributeRows rows;
  EXPECT_FALSE(CollectAttributeRows(h.volume, FileReference(kRecord), rows));
  EXPECT_TRUE(rows.rows().empty());
}

// One $ATTRIBUTE_LIST entry.
std::vector<uint8_t> ListEntry(uint32_t type, uint64_t reference, uint16_t instance, const std::u16string& name = u"",
                               uint64_t start_vcn = 0) {
  size_t length = (0x1A + 2 * name.size() + 7) & ~size_t{7};
  std::vector<uint8_t> e(length);
  Put32(e, 0x00, type);
  Put16(e, 0x04, static_cast<uint16_t>(length));
  e[0x06] = static_cast<uint8_t>(name.size());
  e[0x07] = 0x1A;
  Put64(e, 0x08, start_vcn);
  Put64(e, 0x10, reference);
  Put16(e, 0x18, instance);
  auto units = Utf16Bytes(name);
  std::copy(units.begin(), units.end(), e.begin() + 0x1A);
  return e;
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

constexpr uint64_t kBase = 0x0005000000000000 | kRecord;   // base record with its sequence number
constexpr uint64_t kExtension = 0x0002000000000021;        // record 33, sequence 2

std::vector<uint8_t> RecordWithList(const std::vector<uint8_t>& list) {
  std::vector<uint8_t> record = RecordBuilder(kRecord)
                                    .Resident(0x10, 0, u"", std::vector<uint8_t>(0x48, 0))
                                    .Resident(0x20, 4, u"", list)
                                    .Resident(0x30, 2, u"", FileNameValue(5, u"file.txt"))
                                    .Build();
  StampHeader(record);
  return record;
}

TEST(FileRecordReport, RowsFollowTheAttributeList) {
  std::vector<uint8_t> list = Concat({
      ListEntry(0x10, kBase, 0),
      ListEntry(0x30, kBase, 2),
      ListEntry(0x30, kExtension, 0),
      ListEntry(0x80, kExtension, 1, u"stream 𠀀"),
      ListEntry(0x80, kExtension, 3, u"stream 𠀀", 0x40),
      ListEntry(0xF0, kExtension, 4),
      ListEntry(0x10, kExtension, 5),
  });
  std::vector<uint8_t> record = RecordWithList(list);
  std::string out = Report(record);
  EXPECT_EQ(out, HeaderText(FirstFree(record)) + std::string(kTableHeading) +
                     "00]\t$STANDARD_INFORMATION(1)      \t000500000000001F\t00000000\t\n"
                     "01]\t$ATTRIBUTE_LIST(2)            \t000000010000001F\t00000004\t\n"
                     "02]\t$FILE_NAME(3)                 \t000500000000001F\t00000002\t\n"
                     "03]\t$FILE_NAME(3)                 \t0002000000000021\t00000000\t\n"
                     "04]\t$DATA(8)                      \t0002000000000021\t00000001\tstream 𠀀\n"
                     "05]\t$DATA(8)                      \t0002000000000021\t00000003\tstream 𠀀\n"
                     "06]\t$UNKNOWN_ATTRIBUTE            \t0002000000000021\t00000004\t\n"
                     "07]\t$STANDARD_INFORMATION(1)      \t0002000000000021\t00000005\t\n");
}

std::vector<AttributeRow> Rows(const std::vector<uint8_t>& record) {
  SyntheticVolume v;
  v.SetRecord(kRecord, record);
  Harness h(v.image());
  AttributeRows rows;
  EXPECT_TRUE(CollectAttributeRows(h.volume, FileReference(kRecord), rows));
  return rows.rows();
}

TEST(CollectAttributeRows, ListRowOnlyBeforeATypeAboveItsOwn) {
  // No entry above 0x20: the list's own row does not appear; an entry
  // naming an attribute list (the list itself) is damage and passed over.
  std::vector<AttributeRow> rows =
      Rows(RecordWithList(Concat({ListEntry(0x10, kBase, 0), ListEntry(0x20, kBase, 9)})));
  EXPECT_EQ(rows, (std::vector<AttributeRow>{{0x10, kBase, 0, u""}}));
  // The first entry is already above it: the list row comes first, once.
  rows = Rows(RecordWithList(Concat({ListEntry(0x80, kBase, 1), ListEntry(0x10, kBase, 0), ListEntry(0x90, kBase, 3)})));
  EXPECT_EQ(rows, (std::vector<AttributeRow>{{0x20, 0x000000010000001F, 4, u""},
                                             {0x80, kBase, 1, u""},
                                             {0x10, kBase, 0, u""},
                                             {0x90, kBase, 3, u""}}));
  // An empty list value yields no rows at all.
  EXPECT_TRUE(Rows(RecordWithList({})).empty());
}

TEST(CollectAttributeRows, DamagedListStopsInsideTheValue) {
  const std::vector<uint8_t> first = ListEntry(0x10, kBase, 0);
  const std::vector<uint8_t> second = ListEntry(0x30, kBase, 2, u"n");
  const std::vector<AttributeRow> two = {{0x10, kBase, 0, u""}, {0x20, 0x000000010000001F, 4, u""},
                                         {0x30, kBase, 2, u"n"}};
  // An entry of length 0.
  std::vector<uint8_t> zero_length = ListEntry(0x80, kBase, 1);
  Put16(zero_length, 0x04, 0);
  EXPECT_EQ(Rows(RecordWithList(Concat({first, second, zero_length, ListEntry(0x80, kBase, 5)}))), two);
  // An entry whose length reaches past the end of the value.
  std::vector<uint8_t> too_long = ListEntry(0x80, kBase, 1);
  Put16(too_long, 0x04, 0x100);
  EXPECT_EQ(Rows(RecordWithList(Concat({first, second, too_long}))), two);
  // A name outside its entry.
  std::vector<uint8_t> bad_name = ListEntry(0x80, kBase, 1, u"abc");
  bad_name[0x06] = 0x80;
  EXPECT_EQ(Rows(RecordWithList(Concat({first, second, bad_name}))), two);
  // A value that ends inside an entry header.
  std::vector<uint8_t> cut = Concat({first, second, ListEntry(0x80, kBase, 1)});
  cut.resize(cut.size() - 0x10);
  EXPECT_EQ(Rows(RecordWithList(cut)), two);
}

TEST(FileRecordReport, NonResidentListNumbersRowsFromZero) {
  // 110 entries in clusters: the row numbers pass 99.
  std::vector<std::vector<uint8_t>> entries = {ListEntry(0x10, kBase, 0)};
  for (uint16_t i = 1; i < 110; ++i) entries.push_back(ListEntry(0x80, kBase, i));
  std::vector<uint8_t> list = Concat(entries);
  const uint64_t real_size = list.size();
  // Behind the value's end, still inside its last cluster, lies an entry
  // that is not part of the list.
  std::vector<uint8_t> beyond = ListEntry(0x80, kBase, 0x7777);
  list.insert(list.end(), beyond.begin(), beyond.end());
  const uint64_t clusters = (list.size() + SyntheticVolume::kCluster - 1) / SyntheticVolume::kCluster;
  list.resize(clusters * SyntheticVolume::kCluster);

  SyntheticVolume v;
  v.SetClusters(SyntheticVolume::kFreeLcn, list);
  std::vector<uint8_t> record =
      RecordBuilder(kRecord)
          .Resident(0x10, 0, u"", std::vector<uint8_t>(0x48, 0))
          .NonResident(0x20, 4, u"", SingleRun(SyntheticVolume::kFreeLcn, clusters), 0, clusters - 1, real_size)
          .Build();
  StampHeader(record);
  v.SetRecord(kRecord, record);
  Harness h(v.image());
  ReportContext context = h.Context();
  EXPECT_TRUE(ReportFileRecord(context, FileReference(kRecord)));
  const std::string out = h.out.text();
  EXPECT_NE(out.find("00]\t$STANDARD_INFORMATION(1)      \t000500000000001F\t00000000\t\n"), std::string::npos);
  EXPECT_NE(out.find("01]\t$ATTRIBUTE_LIST(2)            \t000000010000001F\t00000004\t\n"), std::string::npos);
  EXPECT_NE(out.find("\n09]\t$DATA(8)                      \t000500000000001F\t00000008\t\n"), std::string::npos);
  EXPECT_NE(out.find("\n99]\t$DATA(8)                      \t000500000000001F\t00000062\t\n"), std::string::npos);
  EXPECT_NE(out.find("\n100]\t$DATA(8)                      \t000500000000001F\t00000063\t\n"), std::string::npos);
  EXPECT_TRUE(out.ends_with("\n110]\t$DATA(8)                      \t000500000000001F\t0000006D\t\n")) << out;
  EXPECT_EQ(out.find("00007777"), std::string::npos);
}

TEST(FileRecordReport, UnreadableListValueLeavesAnEmptyTable) {
  // A non-resident list whose run lies outside the volume.
  std::vector<uint8_t> record =
      RecordBuilder(kRecord)
          .Resident(0x10, 0, u"", std::vector<uint8_t>(0x48, 0))
          .NonResident(0x20, 4, u"", SingleRun(0x7FFFFF, 1), 0, 0, 0x40)
          .Build();
  StampHeader(record);
  bool ok = false;
  EXPECT_EQ(Report(record, &ok), HeaderText(FirstFree(record)) + std::string(kTableHeading));
  EXPECT_TRUE(ok);
}

// ---- The committed volumes against istat ----

struct TableRow {
  uint32_t type = 0;
  uint64_t reference = 0;
  uint32_t instance = 0;
  std::string name;
};

std::map<std::string, std::string> HeaderFields(const std::string& out) {
  std::map<std::string, std::string> fields;
  static const std::regex field_re("^(\\w+) *= (.*)$");
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, field_re)) fields[m[1].str()] = m[2].str();
  }
  return fields;
}

std::vector<TableRow> TableRows(const std::string& out) {
  std::vector<TableRow> rows;
  static const std::regex row_re("^(\\d{2,})\\]\\t(\\S+) *\\t([0-9A-F]{16})\\t([0-9A-F]{8})\\t(.*)$");
  static const std::regex type_re("\\((\\d+)\\)$");
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, row_re)) continue;
    EXPECT_EQ(std::stoul(m[1].str()), rows.size());
    std::smatch t;
    std::string type_name = m[2].str();
    uint32_t type = std::regex_search(type_name, t, type_re) ? std::stoul(t[1].str()) * 16 : 0;
    rows.push_back({type, std::stoull(m[3].str(), nullptr, 16), static_cast<uint32_t>(std::stoul(m[4].str(), nullptr, 16)),
                    m[5].str()});
  }
  return rows;
}

// -a of every record istat described (through -r, so records without a
// path are covered too): header fields as istat gives them, every attribute
// istat shows, and the row order and references of the list rules.
void CheckFileRecords(const std::string& name, std::span<const uint8_t> image, const std::vector<Fact>& facts) {
  std::map<uint64_t, const Fact*> records;
  std::map<uint64_t, std::vector<std::tuple<uint32_t, uint32_t, std::string>>> attrs;
  std::map<uint64_t, bool> has_list;
  std::map<uint64_t, std::vector<std::tuple<uint32_t, uint32_t, uint64_t>>> list_entries;
  for (const Fact& f : facts) {
    if (f.kind == "record") {
      records[std::stoull(f.fields[0])] = &f;
    } else if (f.kind == "attr") {
      // istat's attributes, per record: (type, id, name).
      attrs[std::stoull(f.fields[0])].emplace_back(std::stoul(f.fields[1]), std::stoul(f.fields[2]),
                                                   f.fields[3] == "-" ? "" : f.fields[3]);
    } else if (f.kind == "attrlist") {
      has_list[std::stoull(f.fields[0])] = true;
    } else if (f.kind == "listentry") {
      // listentry <recno> <type> <instance> <holding record> <start vcn>
      list_entries[std::stoull(f.fields[0])].emplace_back(std::stoul(f.fields[1]), std::stoul(f.fields[2]),
                                                           std::stoull(f.fields[3]));
    }
  }
  ASSERT_FALSE(attrs.empty()) << name;

  FakePlatform platform;
  platform.AddVolume(u'C', image);
  for (const auto& item : attrs) {
    const uint64_t recno = item.first;
    const auto& expected = item.second;
    // A free record that a stale directory entry still names is no file.
    if (!records.count(recno)) continue;
    SCOPED_TRACE(name + " record " + std::to_string(recno));
    RunResult r = RunVelmora(platform, {u"-a", u"-r", U16(Hex(recno)), u"-f", u"C:\\"});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    ASSERT_EQ(r.out.find("\tNONE\n"), std::string::npos) << r.out;
    auto header = HeaderFields(r.out);
    const Fact& record = *records[recno];
    char buffer[64];
    EXPECT_EQ(header["Signature"], "FILE");
    std::snprintf(buffer, sizeof buffer, "%04X", static_cast<unsigned>(std::stoul(record.Get("seq"))));
    EXPECT_EQ(header["Sequence"], buffer);
    std::snprintf(buffer, sizeof buffer, "%016llX", std::stoull(record.Get("lsn")));
    EXPECT_EQ(header["LogSeqNumber"], buffer);
    std::snprintf(buffer, sizeof buffer, "%04X", static_cast<unsigned>(std::stoul(record.Get("links"))));
    EXPECT_EQ(header["HardLinks"], buffer);
    std::snprintf(buffer, sizeof buffer, "%016llX", static_cast<unsigned long long>(recno));
    EXPECT_EQ(header["MFTRecNumber"], buffer);
    EXPECT_EQ(header["RefToBase"], "0000000000000000");

    std::vector<TableRow> rows = TableRows(r.out);
    for (const auto& attribute : expected) {
      const uint32_t type = std::get<0>(attribute);
      const uint32_t id = std::get<1>(attribute);
      const std::string& attr_name = std::get<2>(attribute);
      // istat numbers an attribute of an extension record anew when its
      // instance is taken in the file already; there the instance is not
      // comparable.
      bool found = std::any_of(rows.begin(), rows.end(), [&](const TableRow& row) {
        bool elsewhere = (row.reference & 0xFFFFFFFFFFFF) != recno;
        return row.type == type && row.name == attr_name && (row.instance == id || elsewhere);
      });
      EXPECT_TRUE(found) << "type " << type << " id " << id << " name " << attr_name << "\n" << r.out;
    }
    const uint64_t seq = std::stoull(record.Get("seq"));
    if (!has_list[recno]) {
      // The record's own attributes, each once, with the bare record number.
      EXPECT_EQ(rows.size(), expected.size()) << r.out;
      for (const TableRow& row : rows) EXPECT_EQ(row.reference, recno);
      continue;
    }
    // The list's own row stands once, just before the first type above
    // it, with the bare number; list entries in the base record carry its
    // sequence number.
    size_t list_rows = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
      const TableRow& row = rows[i];
      if (row.type == 0x20) {
        ++list_rows;
        EXPECT_EQ(row.reference, recno);
        for (size_t k = 0; k < i; ++k) EXPECT_LE(rows[k].type, 0x20u);
        ASSERT_LT(i + 1, rows.size());
        EXPECT_GT(rows[i + 1].type, 0x20u);
      } else if ((row.reference & 0xFFFFFFFFFFFF) == recno) {
        EXPECT_EQ(row.reference >> 48, seq) << row.type << " " << row.instance;
      } else {
        EXPECT_NE(row.reference >> 48, 0u) << "extension reference without sequence number";
      }
    }
    EXPECT_EQ(list_rows, 1u);
    // The list's entries as istat shows them (type, instance, holding
    // record), when the manifest has them: the rows but the list's own.
    if (list_entries.count(recno)) {
      std::vector<std::tuple<uint32_t, uint32_t, uint64_t>> shown;
      bool skipped_own = false;
      for (const TableRow& row : rows) {
        if (row.type == 0x20 && row.reference == recno && !skipped_own) {
          skipped_own = true;
          continue;
        }
        shown.emplace_back(row.type, row.instance, row.reference & 0xFFFFFFFFFFFF);
      }
      EXPECT_EQ(shown, list_entries[recno]) << r.out;
    }
  }
}

TEST(FileRecordReportVolumes, HeaderAndAttributesMatchIstat) {
  std::vector<std::string> names = CommittedVolumeNames();
  if (names.empty()) GTEST_SKIP() << "no committed test volumes";
  for (const std::string& name : names) {
    const TestVolume& volume = LoadVolume(name);
    CheckFileRecords(name, volume.image, volume.facts);
  }
}

TEST(FileRecordReportVolumes, LargeVolumesMatchIstat) {
  std::vector<LargeVolume> volumes = LargeVolumes();
  if (volumes.empty()) GTEST_SKIP() << "no large test volumes (VELMORA_LARGE_DATA)";
  for (const LargeVolume& volume : volumes) {
    std::vector<uint8_t> image = volume.LoadImage();
    CheckFileRecords(volume.name, image, volume.facts);
  }
}

}  // namespace
}  // namespace velmora::testing
