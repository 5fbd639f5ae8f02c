// --timeline: the escaping of names, small in-memory volumes with hard
// links, streams, deleted records, cycles and orphans, and every committed
// volume against Sleuth Kit's own body file (fls -r -m /), read by mactime.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "reports/timeline.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_builder.h"
#include "tests/support/synthetic_volume.h"
#include "tests/support/volumes.h"

namespace velmora::testing {
namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(text);
  while (std::getline(in, field, separator)) fields.push_back(field);
  if (!text.empty() && text.back() == separator) fields.push_back("");
  return fields;
}

TEST(TimelineEscaping, EveryNameStaysOneField) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain name.txt", "plain name.txt"},
      {"a|b", "a\\x7cb"},
      {"new\nline", "new\\x0aline"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"tab\tand\x7f", "tab\\x09and\\x7f"},
      {"back\\slash", "back\\\\slash"},
      {"\\x7c", "\\\\x7c"},  // an escape-like name stays distinguishable
      {"日本語 😀", "日本語 😀"},
  };
  for (const auto& [name, escaped] : cases) {
    std::string line;
    AppendEscapedName(line, name);
    EXPECT_EQ(line, escaped) << name;
  }
}

TEST(TimelineEscaping, SecondsSince1970) {
  constexpr uint64_t k1970 = 116'444'736'000'000'000;
  const std::vector<std::pair<uint64_t, int64_t>> cases = {
      {0, 0}, {k1970 - 1, 0}, {k1970, 0}, {k1970 + 9'999'999, 0}, {k1970 + 10'000'000, 1},
      {k1970 + 1'700'000'000ull * 10'000'000, 1'700'000'000}};
  for (const auto& [filetime, seconds] : cases) EXPECT_EQ(BodyFileSeconds(filetime), seconds) << filetime;
}

// ---- Small in-memory volumes ----

constexpr uint64_t kTicks2020 = 132'223'104'000'000'000;  // 2020-01-01 00:00:00 UTC
constexpr int64_t kSeconds2020 = 1'577'836'800;

uint64_t Ref(uint64_t record, uint16_t sequence) { return (uint64_t{sequence} << 48) | record; }

std::vector<uint8_t> StandardInformation(uint64_t created) {
  std::vector<uint8_t> v(0x48);
  for (int i = 0; i < 4; ++i) Put64(v, 8 * i, created + uint64_t(i) * 10'000'000);
  return v;
}

// A file name value whose four times are one second apart from base.
std::vector<uint8_t> Name(uint64_t parent, const std::u16string& name, uint64_t base, uint32_t flags = 0) {
  std::vector<uint8_t> v = FileNameValue(parent, name, 1, flags);
  for (int i = 0; i < 4; ++i) Put64(v, 0x08 + 8 * i, base + uint64_t(i) * 10'000'000);
  return v;
}

std::vector<uint8_t> WithSequence(std::vector<uint8_t> record, uint16_t sequence) {
  Put16(record, 0x10, sequence);
  return record;
}

constexpr uint32_t kDirFlag = 0x10000000;
constexpr uint64_t kRoot = (uint64_t{1} << 48) | 5;  // the synthetic root has sequence 1

// One volume holding every case the timeline must place.
SyntheticVolume CaseVolume() {
  SyntheticVolume v;
  const auto si = StandardInformation(kTicks2020);
  const auto dir = [&](uint64_t number, uint64_t parent, const std::u16string& name) {
    v.SetRecord(number, RecordBuilder(number, 1024, 0x0003)
                            .Resident(0x10, 0, u"", si)
                            .Resident(0x30, 1, u"", Name(parent, name, kTicks2020, kDirFlag))
                            .Resident(0x90, 2, u"$I30", IndexRootValue({IndexEntry(0, {}, true)}, false))
                            .Build());
  };
  const auto file = [&](uint64_t number, uint64_t parent, const std::u16string& name, uint16_t flags = 0x0001) {
    v.SetRecord(number, RecordBuilder(number, 1024, flags)
                            .Resident(0x10, 0, u"", si)
                            .Resident(0x30, 1, u"", Name(parent, name, kTicks2020 + 500'000'000))
                            .Resident(0x80, 2, u"", {'d', 'a', 't', 'a'})
                            .Build());
  };
  dir(30, kRoot, u"dir");
  // Hard links: one record, a name in the root and one in dir, each with its own times.
  v.SetRecord(31, RecordBuilder(31)
                      .Resident(0x10, 0, u"", si)
                      .Resident(0x30, 1, u"", Name(kRoot, u"link one", kTicks2020 + 100'000'000))
                      .Resident(0x30, 3, u"", Name(Ref(30, 1), u"link two", kTicks2020 + 200'000'000))
                      .Resident(0x80, 2, u"", std::vector<uint8_t>(11))
                      .Build());
  // Named streams, one of them in an extension record.
  v.SetRecord(32, RecordBuilder(32)
                      .Resident(0x10, 0, u"", si)
                      .Resident(0x30, 1, u"", Name(kRoot, u"streams", kTicks2020))
                      .Resident(0x80, 2, u"", std::vector<uint8_t>(5))
                      .Resident(0x80, 4, u"ads", std::vector<uint8_t>(7))
                      .Build());
  v.SetRecord(33, RecordBuilder(33).BaseReference(Ref(32, 1)).Resident(0x80, 6, u"far", std::vector<uint8_t>(9)).Build());
  file(34, Ref(30, 1), u"gone.txt", 0x0000);  // deleted, its directory still there
  // A parent cycle: 35 and 36 are each other's parent.
  dir(35, Ref(36, 1), u"loop a");
  dir(36, Ref(35, 1), u"loop b");
  file(37, Ref(35, 1), u"in loop.txt");
  file(38, Ref(50, 1), u"lost parent.txt");  // record 50 is empty
  file(39, Ref(30, 7), u"reused parent.txt");  // dir 30 has sequence 1
  file(40, kRoot, u"bad|name\nhere");
  // A deleted directory (sequence bumped on free) with a deleted file in it.
  v.SetRecord(41, WithSequence(RecordBuilder(41, 1024, 0x0002)
                                   .Resident(0x10, 0, u"", si)
                                   .Resident(0x30, 1, u"", Name(kRoot, u"old dir", kTicks2020, kDirFlag))
                                   .Build(),
                               2));
  file(42, Ref(41, 1), u"old file", 0x0000);
  // An extension record whose base does not exist, and a torn record.
  v.SetRecord(43, RecordBuilder(43).BaseReference(Ref(51, 1)).Resident(0x80, 1, u"x", {1}).Build());
  auto torn = RecordBuilder(44).Resident(0x30, 1, u"", Name(kRoot, u"torn", kTicks2020)).Build();
  torn[510] ^= 0xFF;
  v.SetRecord(44, torn);
  return v;
}

struct BodyLine {
  std::string inode, mode, size, times;  // times: "atime|mtime|ctime|crtime"
};

std::map<std::string, BodyLine> ParseBody(const std::string& out) {
  std::map<std::string, BodyLine> lines;
  for (const std::string& text : Split(out, '\n')) {
    if (text.empty()) continue;
    auto f = Split(text, '|');
    EXPECT_EQ(f.size(), 11u) << text;
    if (f.size() != 11) continue;
    EXPECT_EQ(f[0], "0");
    const std::string times = f[7] + "|" + f[8] + "|" + f[9] + "|" + f[10];
    EXPECT_TRUE(lines.emplace(f[1], BodyLine{f[2], f[3], f[6], times}).second) << text;
  }
  return lines;
}

TEST(Timeline, PlacesEveryNameOfASyntheticVolume) {
  SyntheticVolume v = CaseVolume();
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult r = RunVelmora(platform, {u"--timeline", u"-f", u"C:\\"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto lines = ParseBody(r.out);
  // Every time of the synthetic volume is 2020-01-01 plus a whole second:
  // created + n, modified + n + 1, record changed + n + 2, accessed + n + 3.
  const auto times = [](int n) {
    const auto at = [n](int k) { return std::to_string(kSeconds2020 + n + k); };
    return at(3) + "|" + at(1) + "|" + at(2) + "|" + at(0);
  };
  const std::vector<std::tuple<std::string, std::string, std::string, std::string, int>> expected = {
      // name, inode, mode, size, times
      {"/dir", "30-144-2", "d/drwxrwxrwx", "48", 0},
      {"/link one", "31-128-2", "r/rrwxrwxrwx", "11", 0},
      {"/link one ($FILE_NAME)", "31-48-1", "r/rrwxrwxrwx", "11", 10},
      {"/dir/link two", "31-128-2", "r/rrwxrwxrwx", "11", 0},
      {"/dir/link two ($FILE_NAME)", "31-48-3", "r/rrwxrwxrwx", "11", 20},
      {"/streams", "32-128-2", "r/rrwxrwxrwx", "5", 0},
      {"/streams:ads", "32-128-4", "r/rrwxrwxrwx", "7", 0},
      {"/streams:far", "32-128-6", "r/rrwxrwxrwx", "9", 0},
      {"/dir/gone.txt (deleted)", "34-128-2", "-/rrwxrwxrwx", "4", 0},
      {"/dir/gone.txt ($FILE_NAME) (deleted)", "34-48-1", "-/rrwxrwxrwx", "4", 50},
      {"/$OrphanFiles/lost parent.txt", "38-128-2", "r/rrwxrwxrwx", "4", 0},
      {"/$OrphanFiles/reused parent.txt", "39-128-2", "r/rrwxrwxrwx", "4", 0},
      {"/bad\\x7cname\\x0ahere", "40-128-2", "r/rrwxrwxrwx", "4", 0},
      {"/old dir (deleted)", "41", "-/drwxrwxrwx", "0", 0},
      {"/old dir/old file (deleted)", "42-128-2", "-/rrwxrwxrwx", "4", 0},
  };
  for (const auto& [name, inode, mode, size, n] : expected) {
    SCOPED_TRACE(name);
    auto it = lines.find(name);
    ASSERT_NE(it, lines.end()) << r.out;
    const BodyLine& l = it->second;
    EXPECT_EQ(std::tie(l.inode, l.mode, l.size), std::tie(inode, mode, size));
    EXPECT_EQ(l.times, times(n));
  }
  // The cycle ends under the orphan marker, each of its names once.
  std::set<std::string> cycle;
  for (const auto& [name, line] : lines)
    if (line.inode.rfind("35-", 0) == 0 || line.inode.rfind("36-", 0) == 0 || line.inode.rfind("37-", 0) == 0)
      cycle.insert(name);
  EXPECT_EQ(cycle.size(), 6u) << r.out;
  for (const std::string& name : cycle) EXPECT_EQ(name.rfind("/$OrphanFiles/loop ", 0), 0u) << name;
  EXPECT_TRUE(lines.count("/$OrphanFiles/loop a/in loop.txt") || lines.count("/$OrphanFiles/loop b/loop a/in loop.txt"))
      << r.out;
  // Neither the root itself, the torn record nor the stray extension's stream.
  for (const auto& [name, line] : lines) {
    EXPECT_NE(line.inode.rfind("5-", 0), 0u) << name;
    EXPECT_EQ(name.find("torn"), std::string::npos);
    EXPECT_EQ(name.find(":x"), std::string::npos);
  }
  EXPECT_NE(r.err.find("1 skipped: torn update sequence"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 skipped: extension not claimed by its base"), std::string::npos) << r.err;
}

TEST(Timeline, SubtreeAndNothingElseOnStandardOutput) {
  SyntheticVolume v = CaseVolume();
  v.SetRootEntries({{u"dir", 30}});
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult r = RunVelmora(platform, {u"--timeline", u"-f", u"C:\\dir"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::set<std::string> names;
  for (const auto& [name, line] : ParseBody(r.out)) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"/dir", "/dir ($FILE_NAME)", "/dir/link two", "/dir/link two ($FILE_NAME)",
                                          "/dir/gone.txt (deleted)", "/dir/gone.txt ($FILE_NAME) (deleted)"}));
}

TEST(Timeline, MftClaimingMoreThanTheVolumeHoldsEndsAtItsEnd) {
  SyntheticVolume v = CaseVolume();
  // 65,535 clusters of MFT (32 MiB) and a size of 1 TiB on a 1 MiB volume.
  v.SetRecord(0, RecordBuilder(0)
                     .Resident(0x30, 1, u"", FileNameValue(5, u"$MFT"))
                     .NonResident(0x80, 2, u"", SingleRun(SyntheticVolume::kMftLcn, 0xFFFF), 0, 0xFFFE, 1ull << 40)
                     .Build());
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult r = RunVelmora(platform, {u"--timeline", u"-f", u"C:\\"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ParseBody(r.out).count("/dir/link two"), 1u);
  EXPECT_NE(r.err.find("timeline: 1024 records read"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("skipped: unreadable"), std::string::npos) << r.err;
}

TEST(TimelineJson, IsoTimesToTheTick) {
  const std::vector<std::pair<uint64_t, std::string>> cases = {
      {0, "1601-01-01T00:00:00.0000000Z"},
      {116'444'736'000'000'000, "1970-01-01T00:00:00.0000000Z"},
      {kTicks2020, "2020-01-01T00:00:00.0000000Z"},
      {kTicks2020 + 1, "2020-01-01T00:00:00.0000001Z"},
      {kTicks2020 + 59 * 864'000'000'000ull, "2020-02-29T00:00:00.0000000Z"},
      {kTicks2020 + 864'000'000'000ull - 1, "2020-01-01T23:59:59.9999999Z"},
      {0x7FFF'FFFF'FFFF'FFFFull, "30828-09-14T02:48:05.4775807Z"},  // the largest time Windows converts
  };
  for (const auto& [filetime, text] : cases) EXPECT_EQ(IsoFileTime(filetime), text) << filetime;
}

TEST(TimelineJson, OneObjectPerNameWithReferencesAndAllTimes) {
  SyntheticVolume v = CaseVolume();
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult r = RunVelmora(platform, {u"--timeline", u"--json", u"-f", u"C:\\"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::map<std::string, std::string> by_path;
  for (const std::string& line : Split(r.out, '\n')) {
    if (line.empty()) continue;
    const std::string prefix = "{\"report\":\"timeline\",\"path\":\"";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    ASSERT_EQ(line.back(), '}') << line;
    by_path[line.substr(prefix.size(), line.find('"', prefix.size()) - prefix.size())] = line;
  }
  // Each name once, the body file's deleted and ($FILE_NAME) lines folded in.
  EXPECT_EQ(by_path.size(), 14u) << r.out;
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"/dir/link two",
       {"\"file\":{\"record\":31,\"sequence\":1,\"hex\":\"000100000000001f\"}",
        "\"parent\":{\"record\":30,\"sequence\":1,", "\"parent_matched\":true", "\"deleted\":false",
        "\"size\":11,\"size_hex\":\"000000000000000b\"",
        "\"standard_information\":{\"created\":{\"utc\":\"2020-01-01T00:00:00.0000000Z\"",
        "\"modified\":{\"utc\":\"2020-01-01T00:00:01.0000000Z\"",
        "\"file_name\":{\"created\":{\"utc\":\"2020-01-01T00:00:20.0000000Z\"", "\"streams\":[]"}},
      {"/$OrphanFiles/reused parent.txt",
       {"\"parent\":{\"record\":30,\"sequence\":7,", "\"parent_matched\":false", "\"orphan\":true"}},
      {"/streams", {"\"streams\":[{\"name\":\"ads\",\"size\":7,", "{\"name\":\"far\",\"size\":9,"}},
      {"/old dir/old file", {"\"deleted\":true", "\"parent_matched\":true"}},
      {"/bad|name\\nhere", {"\"file\":{\"record\":40,"}},
  };
  for (const auto& [path, parts] : cases) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(by_path.count(path)) << r.out;
    for (const std::string& part : parts) EXPECT_NE(by_path[path].find(part), std::string::npos) << by_path[path];
  }
}

// --deleted: a name the directory's index slack keeps and one its file's
// record slack keeps get their lines, with their own $FILE_NAME times.
TEST(Timeline, DeletedAddsIndexSlackAndRecordSlackLines) {
  SyntheticVolume v = CaseVolume();
  const uint64_t erased_times = kTicks2020 + 300'000'000;
  std::vector<uint8_t> erased = IndexEntry(Ref(46, 1), Name(Ref(30, 1), u"erased.txt", erased_times));
  std::vector<uint8_t> root = IndexRootValue({IndexEntry(0, {}, true), erased}, false);
  Put32(root, 0x10 + 4, 0x10 + 0x10);  // the used size covers the end entry only
  v.SetRecord(30, RecordBuilder(30, 1024, 0x0003)
                      .Resident(0x10, 0, u"", StandardInformation(kTicks2020))
                      .Resident(0x30, 1, u"", Name(kRoot, u"dir", kTicks2020, kDirFlag))
                      .Resident(0x90, 2, u"$I30", root)
                      .Build());
  v.SetRecord(46, RecordBuilder(46, 1024, 0x0000).Build());
  v.SetRecord(45, WithRecordSlack(RecordBuilder(45)
                                      .Resident(0x10, 0, u"", StandardInformation(kTicks2020))
                                      .Resident(0x30, 1, u"", Name(Ref(30, 1), u"now.txt", kTicks2020))
                                      .Build(),
                                  ResidentAttribute(0x30, Name(Ref(30, 1), u"before.txt", kTicks2020 + 400'000'000), 3)));
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult plain = RunVelmora(platform, {u"--timeline", u"-f", u"C:\\"});
  RunResult r = RunVelmora(platform, {u"--timeline", u"--deleted", u"-f", u"C:\\"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.rfind(plain.out, 0), 0u) << "the lines of the records come first, unchanged";
  const auto lines = ParseBody(r.out);
  ASSERT_TRUE(lines.count("/dir/erased.txt (slack)")) << r.out;
  EXPECT_EQ(lines.at("/dir/erased.txt (slack)").mode, "-/rrwxrwxrwx");
  EXPECT_EQ(lines.at("/dir/erased.txt (slack)").inode, "46");
  // The entry's own $FILE_NAME times, 30 to 33 seconds past 2020: atime|mtime|ctime|crtime.
  const auto at = [](int64_t seconds) { return std::to_string(kSeconds2020 + seconds); };
  EXPECT_EQ(lines.at("/dir/erased.txt (slack)").times, at(33) + "|" + at(31) + "|" + at(32) + "|" + at(30));
  ASSERT_TRUE(lines.count("/dir/before.txt (record slack)")) << r.out;
  EXPECT_EQ(lines.count("/dir/now.txt (record slack)"), 0u);

  RunResult json = RunVelmora(platform, {u"--timeline", u"--deleted", u"--json", u"-f", u"C:\\"});
  EXPECT_NE(json.out.find("\"path\":\"/dir/erased.txt\",\"source\":\"index_slack\""), std::string::npos);
  EXPECT_NE(json.out.find("\"record_state\":\"free\",\"found_in\":\"root_slack\""), std::string::npos);
  EXPECT_NE(json.out.find("\"path\":\"/dir/before.txt\",\"source\":\"record_slack\""), std::string::npos);
}

// Each indicator on the name whose times show it, and on no other.
TEST(TimelineJson, TimestampIndicators) {
  SyntheticVolume v;
  const auto file = [&](uint64_t number, const std::u16string& name, std::vector<uint8_t> si, uint64_t fn_base) {
    v.SetRecord(number, RecordBuilder(number)
                            .Resident(0x10, 0, u"", si)
                            .Resident(0x30, 1, u"", Name(kRoot, name, fn_base))
                            .Build());
  };
  std::vector<uint8_t> copied = StandardInformation(kTicks2020 + 50'000'000);
  Put64(copied, 8, kTicks2020);  // modified before created
  file(30, u"plain", StandardInformation(kTicks2020 + 1), kTicks2020 + 1);
  file(31, u"backdated", StandardInformation(kTicks2020 - 10'000'000), kTicks2020 + 1);
  file(32, u"copied", copied, kTicks2020);
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  RunResult r = RunVelmora(platform, {u"--timeline", u"--json", u"-f", u"C:\\"});
  const std::pair<std::string, std::string> cases[] = {
      {"/plain", "\"indicators\":[]"},
      {"/backdated", "\"indicators\":[\"si_created_before_fn_created\",\"si_whole_seconds\"]"},
      {"/copied", "\"indicators\":[\"created_after_modified\"]"},
  };
  for (const auto& [path, indicators] : cases) {
    const size_t at = r.out.find("\"path\":\"" + path + "\"");
    ASSERT_NE(at, std::string::npos) << path;
    const std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_NE(line.find(indicators), std::string::npos) << line;
  }
}

// A $STANDARD_INFORMATION update in a collected log, told on the name of
// the record it rewrote with both values; as JSON only, and only with the log.
TEST(TimelineJson, TimeChangedInTheLog) {
  SyntheticVolume v;
  for (const auto& [number, name] : {std::pair<uint64_t, std::u16string>{30, u"touched"}, {31, u"untouched"}}) {
    v.SetRecord(number, RecordBuilder(number)
                            .Resident(0x10, 0, u"", StandardInformation(kTicks2020 + 1))
                            .Resident(0x30, 1, u"", Name(kRoot, name, kTicks2020 + 1))
                            .Build());
  }
  namespace log = log_pages;
  log::Bytes update = log::Operation(log::Op::kUpdateResidentValue, log::Op::kUpdateResidentValue,
                                     log::Times(kTicks2020 + 5, kTicks2020 + 6),
                                     log::Times(kTicks2020 - 7, kTicks2020 - 8), 30, 0x38, 0x18 + 8);
  // Record 30 in 512-byte clusters and 1 KiB records: cluster 60 of the MFT.
  Put16(update, logfile::kClusterBlockOffset, 0);
  Put64(update, logfile::kTargetVcn, 60);
  log::LogBuilder builder(4);
  const uint64_t lsn = builder.Append(7, update);
  FakePlatform platform;
  platform.AddVolume(u'C', v.image());
  platform.files[u"/evidence/LogFile"] = builder.Finish();

  const std::vector<std::u16string> json = {u"--timeline", u"--json", u"-f", u"C:\\"};
  std::vector<std::u16string> with_log = json;
  with_log.insert(with_log.end(), {u"--logfile-file", u"/evidence/LogFile"});
  const RunResult logged = RunVelmora(platform, with_log);
  const RunResult plain = RunVelmora(platform, json);
  ASSERT_EQ(logged.exit_code, 0) << logged.err;
  const struct {
    const RunResult& run;
    std::string path;
    std::string fragment;
  } cases[] = {
      {logged, "/touched",
       "\"indicators\":[\"si_changed_in_log\"],\"si_changes_in_log\":[{\"lsn\":" + std::to_string(lsn) + ","},
      {logged, "/touched",
       "\"transaction\":7,\"field\":\"modified\",\"old\":{\"utc\":\"2019-12-31T23:59:59.9999993Z\""},
      {logged, "/touched", "\"field\":\"record_changed\",\"old\":{\"utc\":\"2019-12-31T23:59:59.9999992Z\""},
      {logged, "/touched", "\"new\":{\"utc\":\"2020-01-01T00:00:00.0000006Z\""},
      {logged, "/untouched", "\"indicators\":[],\"streams\""},
      {plain, "/touched", "\"indicators\":[],\"streams\""},
  };
  for (const auto& c : cases) {
    const size_t at = c.run.out.find("\"path\":\"" + c.path + "\"");
    ASSERT_NE(at, std::string::npos) << c.path;
    const std::string line = c.run.out.substr(at, c.run.out.find('\n', at) - at);
    EXPECT_NE(line.find(c.fragment), std::string::npos) << line;
  }
  // The log's own objects follow the names, as before.
  EXPECT_NE(logged.out.find("{\"report\":\"logfile_event\",\"event\":\"standard_information_changed\""),
            std::string::npos);
  // Every object as the published schema has it.
  if (RunCommand("python3 -c \"import jsonschema; print(1)\" 2>/dev/null") == "1\n") {
    const auto lines = std::filesystem::temp_directory_path() / ("velmora_logged_" + std::to_string(::getpid()) + ".jsonl");
    std::ofstream(lines, std::ios::binary) << logged.out;
    const std::string source = VELMORA_TEST_DATA "/../..";
    int status = 0;
    RunCommand("python3 " + Quote(source + "/tests/tools/json_lines_check.py") + " " +
                   Quote(source + "/docs/velmora.schema.json") + " " + Quote(lines.string()),
               &status);
    std::filesystem::remove(lines);
    EXPECT_EQ(status, 0);
  }
  // A body file has no indicators: its names come as without the log.
  const RunResult body = RunVelmora(platform, {u"--timeline", u"-f", u"C:\\", u"--logfile-file", u"/evidence/LogFile"});
  EXPECT_EQ(body.out.rfind(RunVelmora(platform, {u"--timeline", u"-f", u"C:\\"}).out, 0), 0u);
}

// ---- The committed volumes against Sleuth Kit ----

// (path, record, atime, mtime, ctime, crtime, size) of the lines of one kind.
using Row = std::tuple<std::string, std::string, std::string, std::string, std::string, std::string, std::string>;
struct Rows {
  std::set<Row> values;     // data, index root and stream lines
  std::set<Row> file_names; // ($FILE_NAME) lines, size left out
};

// Documented differences, applied to both sides:
// - Sleuth Kit lists records that carry no name as /$OrphanFiles/OrphanFile-N
//   under a virtual /$OrphanFiles directory, and a file whose values are all
//   named indexes ($Secure, $Extend's files) only by those indexes
//   ("$Secure:$SII"); the timeline lists names and $DATA streams: lines
//   without a value attribute in the inode column are left out on both sides.
// - Sleuth Kit prints times for $MFT (record 0) that its record does not hold.
// - Its ($FILE_NAME) line is missing for some files with an attribute list,
//   and its size column holds the length of the $FILE_NAME value.
Rows ReadRows(const std::string& body) {
  Rows rows;
  for (const std::string& text : Split(body, '\n')) {
    auto f = Split(text, '|');
    if (f.size() != 11) continue;
    auto inode = Split(f[2], '-');
    if (inode.size() != 3 || (inode[1] == "144" && f[1].find(':') != std::string::npos)) continue;
    std::string name = f[1];
    const std::string marker = " ($FILE_NAME)";
    size_t at = name.find(marker);
    const bool file_name = at != std::string::npos;
    if (file_name) name.erase(at, marker.size());
    Row row{name, inode[0], f[7], f[8], f[9], f[10], file_name ? "" : f[6]};
    if (inode[0] == "0") std::get<2>(row) = std::get<3>(row) = std::get<4>(row) = std::get<5>(row) = "";
    (file_name ? rows.file_names : rows.values).insert(row);
  }
  return rows;
}

class TimelineOnCommittedVolumes : public OnCommittedVolumes {};

TEST_F(TimelineOnCommittedVolumes, SameLinesAsSleuthKitAndMactimeReadsThem) {
  int status = 0;
  RunCommand("command -v fls && command -v mactime", &status);
  if (status != 0) GTEST_SKIP() << "Sleuth Kit is not installed";
  namespace fs = std::filesystem;
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    const fs::path image = fs::path(VELMORA_TEST_CACHE) / "unpacked" / (name + ".img");
    ASSERT_TRUE(fs::exists(image));
    std::string theirs = RunCommand("fls -r -m / '" + image.string() + "' 2>/dev/null", &status);
    // Sleuth Kit cannot open volumes of 128 KiB clusters.
    if (status != 0 || theirs.empty()) continue;

    FakePlatform platform;
    platform.AddVolume(u'C', volume.image);
    RunResult r = RunVelmora(platform, {u"--timeline", u"-f", u"C:\\"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find(" 0 records skipped"), std::string::npos) << r.err;
    for (const std::string& line : Split(r.out, '\n')) {
      if (!line.empty()) {
        EXPECT_EQ(Split(line, '|').size(), 11u) << line;
      }
    }

    Rows ours = ReadRows(r.out);
    Rows expected = ReadRows(theirs);
    EXPECT_GT(expected.values.size(), 500u);
    std::vector<Row> missing, extra;
    std::set_difference(expected.values.begin(), expected.values.end(), ours.values.begin(), ours.values.end(),
                        std::back_inserter(missing));
    std::set_difference(ours.values.begin(), ours.values.end(), expected.values.begin(), expected.values.end(),
                        std::back_inserter(extra));
    EXPECT_TRUE(missing.empty()) << "first missing: " << std::get<0>(missing.front());
    EXPECT_TRUE(extra.empty()) << "first extra: " << std::get<0>(extra.front());
    std::vector<Row> missing_names;
    std::set_difference(expected.file_names.begin(), expected.file_names.end(), ours.file_names.begin(),
                        ours.file_names.end(), std::back_inserter(missing_names));
    EXPECT_TRUE(missing_names.empty()) << "first missing: " << std::get<0>(missing_names.front());
    EXPECT_GE(ours.file_names.size(), expected.file_names.size());

    const fs::path body = fs::path(VELMORA_TEST_CACHE) / ("timeline-" + name + ".body");
    std::ofstream(body, std::ios::binary) << r.out;
    // mactime drops lines it cannot read without a word: every line with a
    // time must come back as a row (date,size,type,mode,uid,gid,inode,"name").
    std::string timeline = RunCommand("TZ=UTC mactime -b '" + body.string() + "' -d 2>&1", &status);
    fs::remove(body);
    EXPECT_EQ(status, 0);
    std::set<std::string> written, read_back;
    for (const std::string& line : Split(r.out, '\n')) {
      auto f = Split(line, '|');
      if (f.size() == 11 && (f[7] != "0" || f[8] != "0" || f[9] != "0" || f[10] != "0"))
        written.insert(f[2] + ",\"" + f[1] + "\"");
    }
    for (const std::string& row : Split(timeline, '\n')) {
      size_t at = 0;
      for (int comma = 0; comma < 6 && at != std::string::npos; ++comma) at = row.find(',', at + 1);
      if (at != std::string::npos && row.rfind("Date,", 0) != 0) read_back.insert(row.substr(at + 1));
    }
    EXPECT_GT(written.size(), 500u);
    EXPECT_TRUE(written == read_back) << written.size() << " lines with times, " << read_back.size() << " read back";
  }
}

}  // namespace
}  // namespace velmora::testing
