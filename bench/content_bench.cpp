// Decompression speed of a file's content, in bytes of content a second on
// one core: LZNT1 units through our decoder, system-compressed chunks
// through wimlib's XPRESS and LZX decompressors as the content reader calls
// them. The inputs are text-like bytes compressed once: LZNT1 by the tests'
// writer, the WOF algorithms by wimlib's compressors. BM_ContentReader
// reads whole files through the content reader on an in-memory synthetic
// volume (512-byte clusters, 8 KiB units, the unit map and the device
// reads included): a plain file, an LZNT1 one, a system-compressed one.
//
//   cmake -S . -B build -DVELMORA_BENCH=ON
//   cmake --build build --target velmora_bench && build/velmora_bench --benchmark_filter=Decompress
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "content/content.h"
#include "content/lznt1.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "source/byte_source.h"
#include "tests/support/compressors.h"
#include "tests/support/content_files.h"

namespace {

constexpr size_t kContentBytes = 4u << 20;
constexpr size_t kUnitBytes = 64u << 10;  // 16 clusters of 4 KiB

void BM_Lznt1Decompress(benchmark::State& state) {
  const std::vector<uint8_t> text = velmora::testing::CompressibleText(kContentBytes, 1);
  std::vector<std::vector<uint8_t>> units;
  for (size_t at = 0; at < text.size(); at += kUnitBytes)
    units.push_back(velmora::testing::Lznt1Compress(
        std::vector<uint8_t>(text.begin() + at, text.begin() + at + kUnitBytes), 4096));
  std::vector<uint8_t> out(kUnitBytes);
  for (auto _ : state) {
    for (const auto& unit : units) {
      auto produced = velmora::content::Lznt1Decompress(unit, out);
      if (!produced || *produced != kUnitBytes) state.SkipWithError("LZNT1 unit did not decompress");
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kContentBytes);
}
BENCHMARK(BM_Lznt1Decompress)->Unit(benchmark::kMillisecond);

#ifdef VELMORA_HAVE_WIMLIB
// Argument: the WOF algorithm (0 XPRESS4K, 1 LZX, 2 XPRESS8K, 3 XPRESS16K).
void BM_WofDecompress(benchmark::State& state) {
  static constexpr uint32_t kChunk[] = {4096, 32768, 8192, 16384};
  const uint32_t algorithm = static_cast<uint32_t>(state.range(0));
  const uint32_t chunk = kChunk[algorithm];
  const std::vector<uint8_t> text = velmora::testing::CompressibleText(kContentBytes, 2);
  std::vector<std::vector<uint8_t>> chunks;
  for (size_t at = 0; at < text.size(); at += chunk) {
    std::vector<uint8_t> one(text.begin() + at, text.begin() + at + chunk);
    // A stream of one chunk has no table: its bytes are the chunk.
    chunks.push_back(velmora::testing::WofCompress(one, algorithm));
  }
  wimlib_decompressor* decompressor = nullptr;
  wimlib_create_decompressor(algorithm == 1 ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS, chunk,
                             &decompressor);
  std::vector<uint8_t> out(chunk);
  for (auto _ : state) {
    for (const auto& c : chunks) {
      if (c.size() < chunk && wimlib_decompress(c.data(), c.size(), out.data(), chunk, decompressor) != 0)
        state.SkipWithError("chunk did not decompress");
      benchmark::DoNotOptimize(out.data());
    }
  }
  wimlib_free_decompressor(decompressor);
  state.SetBytesProcessed(int64_t(state.iterations()) * kContentBytes);
}
BENCHMARK(BM_WofDecompress)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMillisecond);
#endif

// Argument: 0 plain, 1 LZNT1, 2 system-compressed (XPRESS4K).
void BM_ContentReader(benchmark::State& state) {
  using velmora::testing::SyntheticVolume;
  constexpr uint64_t kLcn = SyntheticVolume::kFreeLcn;
  constexpr uint32_t kCluster = SyntheticVolume::kCluster;
  constexpr size_t kSize = 512u << 10;
  const std::vector<uint8_t> text = velmora::testing::CompressibleText(kSize, 3);
  std::vector<std::vector<uint8_t>> attributes;
  std::vector<uint8_t> clusters;
  if (state.range(0) == 0) {
    clusters = text;
    attributes.push_back(velmora::testing::DataAttribute(u"", {{kLcn, kSize / kCluster}}, kSize));
  } else if (state.range(0) == 1) {
    std::vector<velmora::testing::RunSpec> runs;
    for (size_t at = 0; at < kSize; at += 16 * kCluster) {
      std::vector<uint8_t> unit = velmora::testing::Lznt1Compress(
          std::vector<uint8_t>(text.begin() + at, text.begin() + at + 16 * kCluster), 4096);
      const uint64_t used = (unit.size() + kCluster - 1) / kCluster;
      runs.push_back({kLcn + clusters.size() / kCluster, used});
      runs.push_back({std::nullopt, 16 - used});
      unit.resize(used * kCluster);
      clusters.insert(clusters.end(), unit.begin(), unit.end());
    }
    attributes.push_back(velmora::testing::DataAttribute(u"", runs, kSize, 0x0001, 4));
  } else {
#ifdef VELMORA_HAVE_WIMLIB
    clusters = velmora::testing::WofCompress(text, 0);
    attributes = velmora::testing::WofFileAttributes(0, kSize, clusters.size(), kLcn);
#else
    state.SkipWithError("built without wimlib");
    return;
#endif
  }
  SyntheticVolume synthetic;
  velmora::testing::RecordBuilder record(40);
  record.Resident(0x10, 0, u"", std::vector<uint8_t>(0x48, 0));
  for (const auto& a : attributes) record.Attribute(a);
  synthetic.SetRecord(40, record.Build());
  synthetic.SetClusters(kLcn, clusters);
  velmora::VolumeContext volume;
  velmora::OpenVolumeSource(
      volume, std::make_unique<velmora::source::MemorySource>(std::span<const uint8_t>(synthetic.image())), u"image");
  auto base = velmora::ReadFileRecord(volume, velmora::RecordNumber(40));
  if (!base) {
    state.SkipWithError("no file record");
    return;
  }
  velmora::FileAttributes file = velmora::FileAttributes::Open(volume, std::move(*base));
  std::vector<uint8_t> piece(256u << 10);
  for (auto _ : state) {
    auto reader = velmora::content::ContentReader::Open(volume, file, u"");
    if (!reader) {
      state.SkipWithError("the content does not open");
      return;
    }
    size_t total = 0;
    for (;;) {
      auto count = reader->Read(piece);
      if (!count) state.SkipWithError("a read failed");
      if (!count || *count == 0) break;
      total += *count;
    }
    if (total != kSize) state.SkipWithError("short content");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kSize);
}
BENCHMARK(BM_ContentReader)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
