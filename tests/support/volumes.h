// The test volumes: the committed ones (unpacked once per build) and the
// ones too large to commit, with the facts their build script and Sleuth
// Kit recorded about them; and the files and commands of tests that run
// the built program through the shell.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace velmora::testing {

// One fact line of a manifest: its kind and its tab-separated fields.
struct Fact {
  std::string kind;
  std::vector<std::string> fields;
  // The value of a "key=value" field, or "".
  std::string Get(const std::string& key) const;
};

struct TestVolume {
  std::string name;
  std::vector<uint8_t> image;
  std::vector<Fact> facts;
  std::vector<const Fact*> Facts(const std::string& kind) const;
};

// The facts of a manifest file, in file order.
std::vector<Fact> ParseManifest(const std::string& path);

// Names of the committed volumes (tests/data/*.img.xz with a manifest).
std::vector<std::string> CommittedVolumeNames();
// Loads (and caches) a committed volume; fails the calling test when it is missing.
const TestVolume& LoadVolume(const std::string& name);

// A fixture for tests that run over every committed volume; they skip
// when there is none.
class OnCommittedVolumes : public ::testing::Test {
 protected:
  void SetUp() override {
    names_ = CommittedVolumeNames();
    if (names_.empty()) GTEST_SKIP() << "no committed test volumes";
  }
  std::vector<std::string> names_;
};

// Test volumes too large to commit: tools/make_volumes.sh --large DIR
// writes DIR/<name>.img and DIR/<name>.manifest; tests find them through
// the environment variable VELMORA_LARGE_DATA=DIR and skip without it.
struct LargeVolume {
  std::string name;
  std::filesystem::path image_path;
  std::vector<Fact> facts;
  std::vector<uint8_t> LoadImage() const;
};
// The directory named by VELMORA_LARGE_DATA, or "" when unset.
std::string LargeDataDirectory();
// Every <name>.img with a <name>.manifest in that directory (facts parsed, image not read yet).
std::vector<LargeVolume> LargeVolumes();

// Runs a shell command; its standard output, and its wait status in *status.
std::string RunCommand(const std::string& command, int* status = nullptr);
// What the built program printed on each stream, and its exit code (-1
// when it did not exit).
struct ProgramRun {
  int code = -1;
  std::string out;
  std::string err;
};
// Runs the built velmora through the shell with the arguments (shell words,
// quoted already); its standard output and standard error pass through
// files in scratch, or standard output goes where stdout_redirect says.
ProgramRun RunBuiltVelmora(const std::filesystem::path& scratch, const std::string& arguments,
                           const std::string& stdout_redirect = "");
// One shell word, whatever the text holds.
std::string Quote(const std::string& text);
std::vector<uint8_t> ReadFile(const std::filesystem::path& path);
std::string ReadText(const std::filesystem::path& path);

std::string Sha256Hex(const std::vector<uint8_t>& bytes);
// UTF-8 to UTF-16 for building command lines and paths.
std::u16string U16(const std::string& text);

}  // namespace velmora::testing
