// The deleted volume (tests/data/deleted/): names created, renamed and
// deleted through ntfs-3g by tools/volume_churn.py, whose log says what each
// directory ever held and what it holds at the end. For every directory
// that still exists, -l --deleted --json is held against that log and
// against the directory's $I30 bytes as Sleuth Kit's icat gives them:
//   - every slack entry names a name the directory lost (deleted or renamed
//     away); one whose record is in use with the entry's sequence number
//     names a name renamed away. A slack entry shown deleted may name a
//     live name only when the log lost it first and made it again (the old
//     entry names the old record: the volume has 15 such re-created names in
//     \big, 10 of them in the slack);
//   - every lost name not live now whose entry survives whole in those
//     bytes is listed.
// The live names, too, are the log's.
// POSIX only: the built program, istat and icat run through the shell.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/format.h"
#include "tests/support/volumes.h"

namespace velmora {
namespace {

using testing::Quote;

constexpr const char* kVolume = "deleted/deleted";

// What the log says of one directory.
struct History {
  std::string path;                   // at the end
  std::set<std::string> live;         // at the end
  std::set<std::string> removed;      // deleted or renamed away, at any time
  std::set<std::string> renamed_away;
  bool exists = true;
};

std::string Join(const std::string& directory, const std::string& name) {
  return (directory == "\\" ? "" : directory) + "\\" + name;
}

// Replays the log (tools/volume_churn.py: op, D|F, directory, name[, new
// directory, new name]; directories by their path at the time), following
// directories through renames.
std::vector<History> Replay(const std::vector<testing::Fact>& log) {
  std::vector<History> dirs(1);
  dirs[0].path = "\\";
  std::map<std::string, size_t> by_path = {{"\\", 0}};
  for (const testing::Fact& op : log) {
    const std::vector<std::string>& f = op.fields;
    EXPECT_GE(f.size(), 3u) << op.kind;
    if (f.size() < 3) continue;
    History& from = dirs[by_path.at(f[1])];
    if (op.kind == "mkdir" || op.kind == "create") {
      from.live.insert(f[2]);
      if (op.kind == "mkdir") {
        by_path[Join(f[1], f[2])] = dirs.size();
        dirs.emplace_back().path = Join(f[1], f[2]);
      }
    } else if (op.kind == "delete" || op.kind == "rmdir") {
      from.live.erase(f[2]);
      from.removed.insert(f[2]);
      if (op.kind == "rmdir") {
        dirs[by_path.at(Join(f[1], f[2]))].exists = false;
        by_path.erase(Join(f[1], f[2]));
      }
    } else if (op.kind == "rename" && f.size() >= 5) {
      from.live.erase(f[2]);
      from.removed.insert(f[2]);
      from.renamed_away.insert(f[2]);
      dirs[by_path.at(f[3])].live.insert(f[4]);
      if (f[0] == "D") {
        const std::string old_path = Join(f[1], f[2]), new_path = Join(f[3], f[4]);
        std::map<std::string, size_t> moved;
        for (auto it = by_path.begin(); it != by_path.end();) {
          if (it->first == old_path || it->first.rfind(old_path + "\\", 0) == 0) {
            moved[new_path + it->first.substr(old_path.size())] = it->second;
            it = by_path.erase(it);
          } else {
            ++it;
          }
        }
        for (const auto& [path, id] : moved) {
          by_path[path] = id;
          dirs[id].path = path;
        }
      }
    } else {
      ADD_FAILURE() << "log operation not understood: " << op.kind;
    }
  }
  return dirs;
}

// The value of "key":"..." at or after from in a JSON line, unescaped (the
// program escapes only quotes, backslashes and control units).
std::string JsonString(const std::string& line, const std::string& key, size_t from = 0) {
  const std::string lead = "\"" + key + "\":\"";
  const size_t at = line.find(lead, from);
  if (at == std::string::npos) return "";
  std::string out;
  for (size_t i = at + lead.size(); i < line.size() && line[i] != '"'; ++i) {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      out += line[i];
      continue;
    }
    const char escaped = line[++i];
    if (escaped == 'u' && i + 4 < line.size()) {
      out += Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(std::stoul(line.substr(i + 1, 4), nullptr, 16))));
      i += 4;
    } else {
      out += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
    }
  }
  return out;
}

// The name a listing or slack_entry line ends with ("file_name" is an object).
std::string NameOf(const std::string& line) { return JsonString(line, "name", line.rfind("\"name\":\"")); }

class DeletedVolumeCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v icat >/dev/null 2>&1 && command -v istat >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "Sleuth Kit's icat and istat are not installed";
    char pattern[] = "/tmp/velmora_deleted_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const testing::TestVolume& volume = testing::LoadVolume(kVolume);
    ASSERT_FALSE(volume.image.empty());
    facts_ = &volume.facts;
    image_ = (dir_ / "deleted.img").string();
    std::ofstream(image_, std::ios::binary)
        .write(reinterpret_cast<const char*>(volume.image.data()), static_cast<std::streamsize>(volume.image.size()));
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // The directory's $I30 root value and allocation as icat gives them (the
  // allocation raw: update sequence fixups not applied), attribute ids from
  // istat.
  std::string IndexBytes(const std::string& record) {
    const std::string listing = testing::RunCommand("istat " + Quote(image_) + " " + record + " 2>/dev/null");
    static const std::regex attribute(R"(Type: \$INDEX_(ROOT|ALLOCATION) \((\d+)-(\d+)\)\s+Name: \$I30)");
    std::string bytes;
    root_size_ = 0;
    for (std::sregex_iterator it(listing.begin(), listing.end(), attribute), end; it != end; ++it) {
      // The root first, then the blocks: an entry never spans the two.
      std::string piece = testing::RunCommand("icat " + Quote(image_) + " " + record + "-" + (*it)[2].str() + "-" +
                                              (*it)[3].str() + " 2>/dev/null");
      if ((*it)[1] == "ROOT") {
        root_size_ = piece.size();
        bytes.insert(0, piece);
      } else {
        bytes += piece;
      }
    }
    return bytes;
  }

  std::filesystem::path dir_;
  std::string image_;
  const std::vector<testing::Fact>* facts_ = nullptr;
  size_t root_size_ = 0;
};

// Offsets in an $I30 entry and its $FILE_NAME key.
constexpr size_t kSequence = 0x06, kEntryLength = 0x08, kKeyLength = 0x0A, kKey = 0x10;
constexpr size_t kNameLength = 0x40, kName = 0x42;
constexpr size_t kIndexBlock = 4096;

// Whether the name's UTF-16LE bytes at name_at close a whole entry of the
// directory: the length byte and namespace just before them, a key exactly
// as long, an entry holding it inside its node, the parent reference, and a
// file reference with a sequence number. (Where the node's end entry was
// later written 8 bytes before an old entry, its second half, length 0x10
// and flags 2, stands where the old entry's file reference was: the name,
// parent and times survive, the file they named does not.)
bool WholeEntryAt(const std::string& bytes, size_t name_at, size_t units, uint64_t directory, size_t root_size) {
  if (name_at < kKey + kName) return false;
  const size_t entry = name_at - kKey - kName;
  auto u8 = [&](size_t at) { return static_cast<uint8_t>(bytes[at]); };
  auto u16 = [&](size_t at) { return static_cast<size_t>(u8(at) | u8(at + 1) << 8); };
  uint64_t parent = 0;
  for (size_t i = 0; i < 6; ++i) parent |= uint64_t{u8(entry + kKey + i)} << (8 * i);
  const size_t length = u16(entry + kEntryLength);
  const size_t node_end = entry < root_size ? root_size
                                            : root_size + ((entry - root_size) / kIndexBlock + 1) * kIndexBlock;
  return u8(entry + kKey + kNameLength) == units && u8(entry + kKey + kNameLength + 1) <= 3 &&
         u16(entry + kKeyLength) == kName + 2 * units && length >= kKey + kName + 2 * units &&
         entry + length <= node_end && parent == directory && u16(entry + kSequence) != 0;
}

TEST_F(DeletedVolumeCommandTest, SlackHoldsOnlyLostNamesAndEveryWholeOne) {
  const std::vector<History> dirs =
      Replay(testing::ParseManifest(std::string(VELMORA_TEST_DATA) + "/" + kVolume + ".log"));
  std::map<std::string, std::string> record_of;  // directory path -> record, from fls
  for (const testing::Fact& fact : *facts_)
    if (fact.kind == "path" && fact.fields.size() >= 3 && fact.fields[1] == "D") record_of[fact.fields[2]] = fact.fields[0];
  size_t checked = 0, slack_total = 0, whole_total = 0;
  for (const History& dir : dirs) {
    if (!dir.exists) continue;  // its path is gone; its name is in its parent's slack
    SCOPED_TRACE(dir.path);
    ASSERT_EQ(record_of.count(dir.path), 1u);
    const std::string& record = record_of[dir.path];
    const testing::ProgramRun run =
        testing::RunBuiltVelmora(dir_, "-m C: " + Quote(image_) + " -f " + Quote("C:" + dir.path) + " -l --deleted --json");
    ASSERT_EQ(run.code, 0) << run.err;

    std::set<std::string> listed, slack;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      const std::string report = JsonString(line, "report");
      if (report == "listing") {
        const std::string name = NameOf(line);
        if (!name.empty() && name != "." && name[0] != '$') listed.insert(name);
      } else if (report == "slack_entry") {
        const std::string name = NameOf(line), state = JsonString(line, "record_state");
        slack.insert(name);
        // No false deletion: a name the directory never lost is no slack
        // entry. A name lost and made again is live and in the slack both.
        EXPECT_EQ(dir.removed.count(name), 1u) << state << " " << name;
        if (state == "same_sequence") {
          EXPECT_EQ(dir.renamed_away.count(name), 1u) << name;
        }
        EXPECT_TRUE(state == "free" || state == "reused" || state == "same_sequence") << state << " " << name;
      }
    }
    EXPECT_EQ(listed, dir.live);

    // Nothing whole missed: a lost name, not live, whose entry Sleuth Kit's
    // bytes still hold whole.
    const std::string bytes = IndexBytes(record);
    EXPECT_GT(root_size_, 0u);
    size_t whole = 0;
    for (const std::string& name : dir.removed) {
      if (dir.live.count(name)) continue;
      const std::u16string units = Utf8ToUtf16(name);
      std::string needle;
      for (char16_t u : units) needle += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
      for (size_t at = bytes.find(needle); at != std::string::npos; at = bytes.find(needle, at + 1)) {
        if (!WholeEntryAt(bytes, at, units.size(), std::stoull(record), root_size_)) continue;
        ++whole;
        EXPECT_EQ(slack.count(name), 1u) << "a whole entry at byte " << at << " of icat's $I30 is not listed: " << name;
        break;
      }
    }
    slack_total += slack.size();
    whole_total += whole;
    ++checked;
  }
  // Every directory the log leaves standing; the volume as built holds
  // 2,876 slack names and 2,648 lost names whole in Sleuth Kit's bytes.
  EXPECT_EQ(checked, 18u);
  EXPECT_GT(slack_total, 2500u);
  EXPECT_GT(whole_total, 2500u);
}

}  // namespace
}  // namespace velmora

#endif  // _WIN32
