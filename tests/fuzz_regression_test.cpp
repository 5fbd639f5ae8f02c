// Replays every input kept under tests/fuzz/regressions/<target>/ (crashes
// and hangs the fuzzers once found) through the same target bodies the
// fuzzers run, and runs each target over its seeds: under the suite's
// sanitizer build a relapse fails here.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/fuzz/fuzz_seeds.h"
#include "tests/fuzz/fuzz_targets.h"

namespace velmora::fuzz {
namespace {

std::filesystem::path RegressionDir() {
  return std::filesystem::path(VELMORA_TEST_DATA).parent_path() / "fuzz" / "regressions";
}

TEST(FuzzRegressions, EveryKeptInputRunsThroughItsTarget) {
  size_t replayed = 0;
  for (const Target& target : Targets()) {
    const std::filesystem::path dir = RegressionDir() / target.name;
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
      if (!file.is_regular_file() || file.path().filename().string().front() == '.') continue;
      std::ifstream in(file.path(), std::ios::binary);
      const std::vector<uint8_t> input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      SCOPED_TRACE(file.path().string());
      target.run(input);
      ++replayed;
    }
  }
  RecordProperty("replayed", std::to_string(replayed));
}

TEST(FuzzRegressions, EveryDirectoryNamesATarget) {
  if (!std::filesystem::is_directory(RegressionDir())) return;
  for (const auto& entry : std::filesystem::directory_iterator(RegressionDir())) {
    if (!entry.is_directory()) continue;
    bool known = false;
    for (const Target& target : Targets()) known = known || entry.path().filename() == target.name;
    EXPECT_TRUE(known) << entry.path();
  }
}

TEST(FuzzSeeds, EveryTargetRunsOverItsSeeds) {
  const auto seeds = MakeSeeds();
  for (const Target& target : Targets()) {
    auto it = seeds.find(target.name);
    ASSERT_NE(it, seeds.end()) << target.name << " has no seeds";
    EXPECT_FALSE(it->second.empty()) << target.name;
    for (const auto& seed : it->second) {
      EXPECT_LE(seed.size(), target.max_len) << target.name;
      target.run(seed);
    }
    target.run({});
    std::printf("[seeds] %s: %zu\n", target.name, it->second.size());
  }
}

}  // namespace
}  // namespace velmora::fuzz
