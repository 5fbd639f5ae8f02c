// --json over the committed volumes: every line of every report is one
// object valid under docs/velmora.schema.json (read back by python3's json
// and jsonschema), and the values agree with what Sleuth Kit and the build
// script recorded in the manifests. Damaged copies still give valid lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <unistd.h>
#include <set>
#include <string>
#include <vector>

#include "output/json_lines.h"
#include "tests/support/report_harness.h"
#include "tests/support/volumes.h"

// The schema and the checker live in the source tree beside the data.
#define VELMORA_SOURCE_DIR VELMORA_TEST_DATA "/../.."

namespace velmora::testing {
namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
    fields.push_back(line.substr(start, tab - start));
  fields.push_back(line.substr(start));
  return fields;
}

// The checker's summary lines of text (JSON Lines); *status non-zero when
// any line is not a valid object (the checker names it on stderr).
std::string CheckJsonLines(const std::string& text, int* status) {
  const auto path = std::filesystem::temp_directory_path() / ("velmora_json_" + std::to_string(getpid()) + ".jsonl");
  std::ofstream(path, std::ios::binary) << text;
  const std::string source = VELMORA_SOURCE_DIR;
  const std::string summary = RunCommand("python3 " + Quote(source + "/tests/tools/json_lines_check.py") + " " +
                                             Quote(source + "/docs/velmora.schema.json") + " " + Quote(path.string()),
                                         status);
  std::filesystem::remove(path);
  return summary;
}

// The runs of one check and, after Check(), the summary line of every
// object each run wrote (tests/tools/json_lines_check.py).
class JsonRuns {
 public:
  explicit JsonRuns(std::span<const uint8_t> image) { platform_.AddVolume(u'C', image); }

  // Returns the run's index.
  size_t Run(std::vector<std::u16string> arguments) {
    arguments.insert(arguments.begin(), u"--json");
    RunResult r = RunVelmora(platform_, arguments);
    outputs_.push_back(r.out);
    return outputs_.size() - 1;
  }

  // Validates everything written so far; false (with the checker's words
  // added as a failure) when any line is not a valid object.
  bool Check() {
    int status = 0;
    const std::string summary = CheckJsonLines(AllOutput(), &status);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = summary.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(summary.substr(start, end - start));
    size_t next = 0;
    summaries_.clear();
    for (const std::string& out : outputs_) {
      std::vector<std::vector<std::string>>& run = summaries_.emplace_back();
      for (char c : out) {
        if (c == '\n' && next < lines.size()) run.push_back(SplitTabs(lines[next++]));
      }
    }
    EXPECT_EQ(status, 0) << "invalid lines (see the checker's stderr above)";
    return status == 0;
  }

  const std::vector<std::vector<std::string>>& Summaries(size_t run) const { return summaries_[run]; }
  const std::string& Output(size_t run) const { return outputs_[run]; }
  std::string AllOutput() const {
    std::string all;
    for (const std::string& out : outputs_) all += out;
    return all;
  }

 private:
  FakePlatform platform_;
  std::vector<std::string> outputs_;
  std::vector<std::vector<std::vector<std::string>>> summaries_;
};

// Every report, its failures included, once on the root.
void RunEveryReport(JsonRuns& runs, const TestVolume& volume) {
  std::string lsn = "1";
  if (auto facts = volume.Facts("lsn"); !facts.empty()) lsn = facts.front()->fields[0];
  runs.Run({u"-f", u"C:\\", u"-l", u"-a", u"-c", u"-e", u"-v", u"3", u"-d", u"1", u"-s", u"100", u"-n", U16(lsn)});
  for (const char16_t* type : {u"1", u"5", u"9"}) runs.Run({u"-f", u"C:\\", u"-v", type});
  runs.Run({u"-f", u"C:\\$AttrDef", u"-d", u"8", u"40", u"30", u"-w", u"0", u"/out/attrdef.bin"});
  runs.Run({u"-f", u"C:\\", u"-s", u"1", u"-n", u"1"});  // no such descriptor, no such record
  runs.Run({u"-f", u"C:\\no such name", u"-a"});
  runs.Run({u"-f", u"C:\\", u"-r", u"FFFFFFFFFF", u"-a"});
  runs.Run({u"-f", u"C:\\$AttrDef", u"-l"});
  runs.Run({u"--timeline", u"-f", u"C:\\"});
  runs.Run({u"--logfile", u"-f", u"C:\\"});
  runs.Run({u"--timeline", u"--logfile", u"-f", u"C:\\"});
  runs.Run({u"--usn", u"-f", u"C:\\"});  // no journal on these volumes: found false
  // What slack holds: a deleted directory of the volumes (record 0x41) and the whole timeline.
  runs.Run({u"-f", u"C:\\", u"-r", u"41", u"-l", u"--deleted"});
  runs.Run({u"--timeline", u"--deleted", u"-f", u"C:\\"});
}

class JsonOutput : public OnCommittedVolumes {
 protected:
  void SetUp() override {
    OnCommittedVolumes::SetUp();
    if (IsSkipped()) return;
    if (RunCommand("python3 -c \"import jsonschema; print(1)\" 2>/dev/null") != "1\n")
      GTEST_SKIP() << "python3-jsonschema is not installed (tools/install_deps.sh installs it)";
  }
};

TEST_F(JsonOutput, EveryLineIsValidAndAgreesWithTheManifest) {
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    const TestVolume& volume = LoadVolume(name);
    JsonRuns runs(volume.image);
    RunEveryReport(runs, volume);

    // Listings of the directories fls listed.
    std::map<uint64_t, std::string> paths;
    for (const Fact* f : volume.Facts("path")) paths[std::stoull(f->fields[0])] = f->fields[2];
    std::map<uint64_t, std::multiset<std::vector<std::string>>> dirents;
    for (const Fact* f : volume.Facts("dirent"))
      dirents[std::stoull(f->fields[0])].insert({f->fields[1], f->fields[2], f->fields[3]});
    std::map<uint64_t, size_t> listing_runs;
    for (const auto& [dir, entries] : dirents) {
      if (paths.count(dir)) listing_runs[dir] = runs.Run({u"-l", u"-f", U16("C:" + paths[dir])});
    }
    // Record headers by reference.
    std::map<const Fact*, size_t> record_runs;
    for (const Fact* f : volume.Facts("record")) {
      if (record_runs.size() == 48) break;
      record_runs[f] = runs.Run({u"-f", u"C:\\", u"-r", U16(Hex(std::stoull(f->fields[0]))), u"-a"});
    }
    std::map<const Fact*, size_t> sd_runs, lsn_runs;
    for (const Fact* f : volume.Facts("sd"))
      sd_runs[f] = runs.Run({u"-f", u"C:\\", u"-s", U16(Hex(std::stoull(f->fields[0])))});
    for (const Fact* f : volume.Facts("lsn")) lsn_runs[f] = runs.Run({u"-f", u"C:\\", u"-n", U16(f->fields[0])});
    ASSERT_TRUE(runs.Check());

    for (const auto& [dir, run] : listing_runs) {
      SCOPED_TRACE(paths[dir]);
      std::multiset<std::vector<std::string>> listed;
      for (const auto& s : runs.Summaries(run)) {
        if (s[0] != "listing" || (dir == 5 && s[3] == ".")) continue;  // the root's own entry, which fls leaves out
        listed.insert({s[1], s[2], s[3]});
      }
      EXPECT_EQ(listed, dirents[dir]) << runs.Output(run);
      EXPECT_EQ(runs.Summaries(run).back(),
                (std::vector<std::string>{"listing_end", std::to_string(listed.size() + (dir == 5)), "1"}));
    }
    for (const auto& [fact, run] : record_runs) {
      SCOPED_TRACE(fact->fields[0]);
      ASSERT_GE(runs.Summaries(run).size(), 2u) << runs.Output(run);
      const auto& header = runs.Summaries(run)[1];
      ASSERT_EQ(header[0], "record_header") << runs.Output(run);
      EXPECT_EQ(header[1], fact->fields[0]);
      EXPECT_EQ(header[2], fact->Get("seq"));
      EXPECT_EQ(header[3], fact->Get("lsn"));
      EXPECT_EQ(header[4], fact->Get("links"));
      EXPECT_EQ(header[5], fact->Get("kind") == "dir" ? "1" : "0");
    }
    for (const auto& [fact, run] : sd_runs) {
      SCOPED_TRACE(fact->fields[0]);
      EXPECT_EQ(runs.Summaries(run).back(), (std::vector<std::string>{"security_descriptor", fact->fields[1], "1"}));
    }
    for (const auto& [fact, run] : lsn_runs) {
      EXPECT_EQ(runs.Summaries(run).back(), (std::vector<std::string>{"log_record", fact->fields[0], fact->fields[1]}));
    }
  }
}

TEST_F(JsonOutput, NothingButObjectsOnStandardOutput) {
  const TestVolume& volume = LoadVolume(names_.front());
  FakePlatform platform;
  platform.AddVolume(u'C', volume.image);
  const RunResult usage = RunVelmora(platform, {u"--json"});
  EXPECT_EQ(usage.exit_code, 1);
  EXPECT_EQ(usage.out, "");
  EXPECT_NE(usage.err.find("Usage :"), std::string::npos);
  const RunResult missing = RunVelmora(platform, {u"--json", u"-f", u"C:\\nothing", u"-a"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.out.rfind("{\"report\":\"error\",\"error\":\"target_not_found\",\"path\":\"C:\\\\nothing\"", 0), 0u)
      << missing.out;
  EXPECT_NE(missing.err, "");
}

// A source shorter than its volume (here by the backup boot sector): the
// target object carries both sizes, valid under the schema; a whole
// volume's target has no such field. mkntfs made the volume on a file of
// exactly its size.
TEST_F(JsonOutput, ATruncatedSourceIsNamedInTheTarget) {
  const std::span<const uint8_t> whole(LoadVolume(names_.front()).image);
  const size_t shorter = whole.size() - LeBytes(whole).U16(0x0B);
  JsonRuns cut(whole.first(shorter));
  const size_t run = cut.Run({u"-f", u"C:\\"});
  ASSERT_TRUE(cut.Check());
  EXPECT_NE(cut.Output(run).find(",\"truncated\":{\"volume_bytes\":" + std::to_string(whole.size()) +
                                 ",\"volume_bytes_hex\":\"" + json::Hex16(whole.size()) + "\",\"source_bytes\":" +
                                 std::to_string(shorter) + ",\"source_bytes_hex\":\"" + json::Hex16(shorter) + "\"}}\n"),
            std::string::npos)
      << cut.Output(run);
  JsonRuns sound(whole);
  EXPECT_EQ(sound.Output(sound.Run({u"-f", u"C:\\"})).find("truncated"), std::string::npos);
}

// Words written by a fixed-seed generator over the first MFT records and
// the boot sector's neighbourhood: every report still writes whole objects.
TEST_F(JsonOutput, DamagedVolumesGiveOneValidObjectPerLine) {
  const TestVolume& volume = LoadVolume(names_.front());
  const LeBytes boot(std::span<const uint8_t>(volume.image).first(512));
  const uint64_t cluster = uint64_t{boot.U16(0x0B)} * boot.U8(0x0D);
  const uint64_t mft = boot.U64(0x30) * cluster;
  std::mt19937_64 random(0x150A7E5EEDull);
  std::string all;
  for (int i = 0; i < 6; ++i) {
    std::vector<uint8_t> image = volume.image;
    for (int w = 0; w < 4; ++w) {
      const uint64_t at = mft + random() % (32 * 1024 - 4);
      const uint32_t word = static_cast<uint32_t>(random());
      for (int b = 0; b < 4; ++b) image[at + b] = static_cast<uint8_t>(word >> (8 * b));
    }
    JsonRuns runs(image);
    RunEveryReport(runs, volume);
    all += runs.AllOutput();
  }
  int status = 0;
  CheckJsonLines(all, &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(all, "");
}

}  // namespace
}  // namespace velmora::testing
