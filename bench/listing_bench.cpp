// Time of the -l directory listing on the largest directory at hand, and of
// looking one name up in it, present or absent.
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
// BM_LookupHit and BM_LookupMiss time one lookup in the directory's index
// (FindChild, what resolving a path does at each component) and count the
// index blocks it reads: names present at the start, the middle and the end
// of the index, and names just after each of them and before the first,
// which are absent. bench/compare_lookup.sh sets whole runs beside ifind.
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
#include "ntfs/index.h"
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

// The names one lookup benchmark cycles through, in a directory opened once.
struct LookupSet {
  FakePlatform platform;
  velmora::VolumeContext volume;
  velmora::FileReference directory;
  std::vector<std::u16string> hits;
  std::vector<std::u16string> misses;
};

// The directory's first, middle and last names in key order; each with a
// suffix that sorts it just after its name, and "!" before every name, are
// absent. Null when the volume or directory is missing.
LookupSet* TheLookupSet() {
  static const std::unique_ptr<LookupSet> set = []() -> std::unique_ptr<LookupSet> {
    const BenchVolume* volume = TheVolume();
    if (!volume) return nullptr;
    auto set = std::make_unique<LookupSet>();
    set->platform.AddVolume(u'C', volume->image);
    set->directory =
        velmora::PathResolver(u"C:" + velmora::Utf8ToUtf16(volume->directory), set->volume, set->platform);
    if (set->directory.value == 0) return nullptr;
    std::vector<std::u16string> names;
    velmora::IndexWalker(set->volume, set->directory, velmora::kI30Name,
                         [&names](std::span<const uint8_t> key, velmora::FileReference) {
                           const velmora::LeBytes k(key);
                           names.push_back(k.Utf16(velmora::file_name::kName, k.U8(velmora::file_name::kNameLength)));
                           return velmora::Walk::kContinue;
                         });
    if (names.empty()) return nullptr;
    set->hits = {names.front(), names[names.size() / 2], names.back()};
    set->misses = {u"!"};
    for (const std::u16string& hit : set->hits) set->misses.push_back(hit + u"~absent");
    return set;
  }();
  return set.get();
}

void Lookups(benchmark::State& state, bool present) {
  LookupSet* set = TheLookupSet();
  if (!set) {
    state.SkipWithError("no volume or directory: set VELMORA_BENCH_IMAGE and VELMORA_BENCH_DIR");
    return;
  }
  const std::vector<std::u16string>& names = present ? set->hits : set->misses;
  const uint64_t blocks_before = set->platform.index_block_reads;
  size_t next = 0;
  uint64_t found = 0;
  for (auto _ : state) {
    found += velmora::LookupChild(names[next], set->volume, set->directory).value != 0;
    next = (next + 1) % names.size();
  }
  if (found != (present ? static_cast<uint64_t>(state.iterations()) : 0)) state.SkipWithError("a lookup gave the wrong answer");
  const double per_lookup = static_cast<double>(set->platform.index_block_reads - blocks_before) / state.iterations();
  state.counters["blocks_read"] = benchmark::Counter(per_lookup);
  state.SetLabel(TheVolume()->label + " " + TheVolume()->directory);
}
void BM_LookupHit(benchmark::State& state) { Lookups(state, true); }
void BM_LookupMiss(benchmark::State& state) { Lookups(state, false); }
BENCHMARK(BM_LookupHit)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupMiss)->Unit(benchmark::kMicrosecond);

}  // namespace
