// The committed test volumes: their images (unpacked once per process) and
// the facts their build script and Sleuth Kit recorded about them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

// Runs a shell command; its standard output, and its wait status in *status.
std::string RunCommand(const std::string& command, int* status = nullptr);

std::string Sha256Hex(const std::vector<uint8_t>& bytes);
// UTF-8 to UTF-16 for building command lines and paths.
std::u16string U16(const std::string& text);

}  // namespace velmora::testing
