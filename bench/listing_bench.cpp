// Time of the -l directory listing on the largest directory at hand.
//
//   cmake -S . -B build-bench -DVELMORA_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target velmora_bench && build-bench/velmora_bench
//
// The volume: VELMORA_BENCH_IMAGE (an image, raw or .xz) with
// VELMORA_BENCH_DIR (its directory, "\dir\sub"); else the large volumes of
// VELMORA_LARGE_DATA (tools/make_volumes.sh --large DIR), else the
// committed tests/data volumes. Without VELMORA_BENCH_DIR the directory with
// the most entries in the volume's manifest is taken.
//
// BM_ListDirectory times the report alone on an open volume (the index walk
// and the formatting of every line); BM_ListCommandLine the whole program
// run of "-l -f C:\dir" over the in-memory image (volume opened, upcase table
// loaded, path resolved), which is what bench/compare_listing.sh sets beside fls.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "ntfs/path.h"
#include "ntfs/volume.h"
#include "base/format.h"
#include "output/console.h"
#include "reports/reports.h"
#include "tests/support/fake_platform.h"

namespace {

namespace fs = std::filesystem;
using velmora::testing::FakePlatform;

// Counts what a report prints and keeps nothing.
class CountingSink : public velmora::TextSink {
 public:
  void WriteWide(std::u16string_view text) override { units_ += text.size(); }
  void WriteNarrow(std::string_view bytes) override { units_ += bytes.size(); }
  uint64_t units() const { return units_; }

 private:
  uint64_t units_ = 0;
};

struct BenchVolume {
  std::string label;
  std::vector<uint8_t> image;
  std::string directory;  // "\dir" as the volume names it
  size_t entries = 0;     // as the manifest counts them
};

std::vector<uint8_t> ReadImage(const fs::path& path) {
  std::vector<uint8_t> bytes;
  if (path.extension() == ".xz") {
    std::string command = "xz -dc '" + path.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return bytes;
    std::array<uint8_t, 1 << 16> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0)
      bytes.insert(bytes.end(), buffer.data(), buffer.data() + n);
    return bytes;
  }
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The directory with the most entries among the manifest's "path" facts.
std::pair<std::string, size_t> LargestDirectory(const fs::path& manifest) {
  std::map<std::string, size_t> children;
  std::ifstream in(manifest);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("path\t", 0) != 0) continue;
    std::stringstream fields(line);
    std::string kind, recno, type, path;
    std::getline(fields, kind, '\t');
    std::getline(fields, recno, '\t');
    std::getline(fields, type, '\t');
    std::getline(fields, path, '\t');
    size_t cut = path.rfind('\\');
    if (path == "\\" || cut == std::string::npos) continue;
    ++children[cut == 0 ? "\\" : path.substr(0, cut)];
  }
  std::pair<std::string, size_t> best{"\\", 0};
  for (const auto& [dir, count] : children)
    if (count > best.second) best = {dir, count};
  return best;
}

// Among the images of a directory (name.img or name.img.xz with name.manifest), the largest directory.
std::optional<BenchVolume> LargestIn(const fs::path& dir) {
  std::optional<BenchVolume> best;
  if (!fs::is_directory(dir)) return best;
  for (const auto& file : fs::directory_iterator(dir)) {
    std::string name = file.path().filename().string();
    std::string stem;
    if (name.ends_with(".img.xz")) {
      stem = name.substr(0, name.size() - 7);
    } else if (name.ends_with(".img")) {
      stem = name.substr(0, name.size() - 4);
    } else {
      continue;
    }
    fs::path manifest = dir / (stem + ".manifest");
    if (!fs::exists(manifest)) continue;
    auto [directory, count] = LargestDirectory(manifest);
    if (!best || count > best->entries) best = BenchVolume{file.path().string(), {}, directory, count};
  }
  return best;
}

std::optional<BenchVolume> ChooseVolume() {
  std::optional<BenchVolume> chosen;
  if (const char* image = std::getenv("VELMORA_BENCH_IMAGE")) {
    const char* dir = std::getenv("VELMORA_BENCH_DIR");
    chosen = BenchVolume{image, {}, dir ? dir : "\\", 0};
  } else if (const char* large = std::getenv("VELMORA_LARGE_DATA")) {
    chosen = LargestIn(large);
  }
  if (!chosen) chosen = LargestIn(fs::path(__FILE__).parent_path().parent_path() / "tests" / "data");
  if (!chosen) return chosen;
  if (const char* dir = std::getenv("VELMORA_BENCH_DIR")) chosen->directory = dir;
  chosen->image = ReadImage(chosen->label);
  if (chosen->image.empty()) return std::nullopt;
  return chosen;
}

const BenchVolume* TheVolume() {
  static const std::optional<BenchVolume> volume = ChooseVolume();
  return volume ? &*volume : nullptr;
}

void BM_ListDirectory(benchmark::State& state) {
  const BenchVolume* volume = TheVolume();
  if (!volume) {
    state.SkipWithError("no volume: set VELMORA_BENCH_IMAGE and VELMORA_BENCH_DIR");
    return;
  }
  FakePlatform platform;
  platform.AddVolume(u'C', volume->image);
  const std::u16string path = u"C:" + velmora::Utf8ToUtf16(volume->directory);
  velmora::VolumeContext context_volume;
  velmora::FileReference target = velmora::PathResolver(path, context_volume, platform);
  if (target.value == 0) {
    state.SkipWithError("the directory is not on the volume");
    return;
  }
  CountingSink out;
  CountingSink err;
  velmora::Console console(out, err);
  velmora::ReportContext context{context_volume, platform, console};
  for (auto _ : state) velmora::ListDirectory(context, target, path);
  std::string label = volume->label + " " + volume->directory;
  if (volume->entries != 0) label += " (" + std::to_string(volume->entries) + " names in the manifest)";
  state.SetLabel(label);
  state.counters["output_units"] = benchmark::Counter(static_cast<double>(out.units()) / state.iterations());
}
BENCHMARK(BM_ListDirectory)->Unit(benchmark::kMillisecond);

void BM_ListCommandLine(benchmark::State& state) {
  const BenchVolume* volume = TheVolume();
  if (!volume) {
    state.SkipWithError("no volume: set VELMORA_BENCH_IMAGE and VELMORA_BENCH_DIR");
    return;
  }
  FakePlatform platform;
  platform.AddVolume(u'C', volume->image);
  const std::vector<std::u16string> arguments = {u"velmora", u"-l", u"-f",
                                                 u"C:" + velmora::Utf8ToUtf16(volume->directory)};
  for (auto _ : state) {
    CountingSink out;
    CountingSink err;
    velmora::Console console(out, err);
    benchmark::DoNotOptimize(velmora::RunProgram(arguments, platform, console));
  }
  state.SetLabel(volume->label + " " + volume->directory);
}
BENCHMARK(BM_ListCommandLine)->Unit(benchmark::kMillisecond);

}  // namespace
