// Decompression speed of a file's content, in bytes of content a second on
// one core: LZNT1 units through our decoder, system-compressed chunks
// through wimlib's XPRESS and LZX decompressors as the content reader calls
// them. The inputs are text-like bytes compressed once: LZNT1 by the tests'
// writer, the WOF algorithms by wimlib's compressors.
//
//   cmake -S . -B build -DVELMORA_BENCH=ON
//   cmake --build build --target velmora_bench && build/velmora_bench --benchmark_filter=Decompress
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "content/lznt1.h"
#include "tests/support/compressors.h"

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

}  // namespace
