// Test volumes too large to commit: tools/make_volumes.sh --large DIR
// writes DIR/<name>.img and DIR/<name>.manifest; tests find them through
// the environment variable VELMORA_LARGE_DATA=DIR and skip without it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/volumes.h"

namespace velmora::testing {

struct LargeVolume {
  std::string name;
  std::filesystem::path image_path;
  std::vector<Fact> facts;

  std::vector<uint8_t> LoadImage() const {
    std::ifstream in(image_path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
};

// The directory named by VELMORA_LARGE_DATA, or "" when unset.
inline std::string LargeDataDirectory() {
  const char* dir = std::getenv("VELMORA_LARGE_DATA");
  return dir ? dir : "";
}

// Every <name>.img with a <name>.manifest in that directory (facts parsed, image not read yet).
inline std::vector<LargeVolume> LargeVolumes() {
  std::vector<LargeVolume> volumes;
  const std::string dir = LargeDataDirectory();
  if (dir.empty() || !std::filesystem::is_directory(dir)) return volumes;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    if (file.path().extension() != ".img") continue;
    std::filesystem::path manifest = file.path();
    manifest.replace_extension(".manifest");
    if (!std::filesystem::exists(manifest)) continue;
    volumes.push_back(LargeVolume{file.path().stem().string(), file.path(), ParseManifest(manifest.string())});
  }
  return volumes;
}

}  // namespace velmora::testing
