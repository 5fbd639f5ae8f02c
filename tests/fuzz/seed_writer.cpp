// Writes the seed corpora of the fuzz targets: one directory per target
// under the directory named on the command line, one file per seed.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/fuzz/fuzz_seeds.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  const std::filesystem::path root(argv[1]);
  for (const auto& [target, inputs] : velmora::fuzz::MakeSeeds()) {
    std::filesystem::create_directories(root / target);
    for (size_t i = 0; i < inputs.size(); ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "seed-%04zu", i);
      std::ofstream out(root / target / name, std::ios::binary);
      out.write(reinterpret_cast<const char*>(inputs[i].data()), static_cast<std::streamsize>(inputs[i].size()));
    }
    std::printf("%s: %zu seeds\n", target.c_str(), inputs.size());
  }
  // The largest input each target takes, for the fuzz script.
  std::ofstream limits(root / "max_len");
  for (const auto& target : velmora::fuzz::Targets()) limits << target.name << ' ' << target.max_len << '\n';
  return 0;
}
