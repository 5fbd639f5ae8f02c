// Time of reading a change journal with the path of every record: both
// passes over a generated journal of 1,000,000 records (the directory
// states first, then every record with its path), from memory.
//
//   cmake -S . -B build-bench -DVELMORA_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target velmora_bench
//   build-bench/velmora_bench --benchmark_filter=Usn
//
// The journal: 10,000 directories in a tree ten wide (four deep), a fifth
// of them moved to the root under another name along the way, and 1,000,000 records in all of files
// created, written and closed in them (version 2 records, as Windows writes
// by default). VELMORA_USN_BENCH_OUT=FILE also writes it there, for timing
// the whole program (bench/compare_usn.sh).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "history/usn_journal.h"
#include "history/usn_paths.h"
#include "source/byte_source.h"
#include "tests/support/usn_journal_builder.h"

namespace velmora::testing {
namespace {

constexpr uint64_t kRecords = 1'000'000;
constexpr uint64_t kDirectories = 10'000;
constexpr uint64_t kFirstFile = 100'000;

const std::vector<uint8_t>& Journal() {
  static const std::vector<uint8_t> bytes = [] {
    JournalBuilder journal(64u << 20);
    JournalModel model(journal);
    const FileReference root = FileReference::Of(5, 5);
    auto dir = [](uint64_t i) { return FileReference::Of(64 + i, 1); };
    for (uint64_t i = 0; i < kDirectories; ++i) {
      // A tree ten wide: 10 under the root, 10 under each of those, and so on.
      const FileReference parent = i < 10 ? root : dir(i / 10 - 1);
      model.Create(dir(i), parent, Utf8ToUtf16("directory-" + std::to_string(i)), true);
    }
    uint64_t file = 0;
    while (model.expected().size() < kRecords) {
      const FileReference in = dir(file % kDirectories);
      const FileReference f = FileReference::Of(kFirstFile + file, 1);
      model.Create(f, in, Utf8ToUtf16("document-" + std::to_string(file) + ".txt"), false);
      model.Touch(f);
      if (file % 50 == 0 && file / 50 < kDirectories / 5) {
        const uint64_t d = (file / 50) * 5 % kDirectories;
        model.Rename(dir(d), root, Utf8ToUtf16("moved-" + std::to_string(d)));
      }
      ++file;
    }
    auto stream = journal.Stream(false);
    if (const char* out = std::getenv("VELMORA_USN_BENCH_OUT")) {
      std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
    }
    return stream;
  }();
  return bytes;
}

void BM_UsnJournalWithPaths(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = Journal();
  uint64_t records = 0, resolved = 0, directories = 0;
  for (auto _ : state) {
    FileJournalStream stream(std::make_unique<source::MemorySource>(std::span<const uint8_t>(bytes)));
    UsnPathBook book(nullptr);
    const UsnWalkCounts counts =
        WalkUsnJournalWithPaths(stream, book, [&](const UsnRecord&, const UsnPathBook::Path& path) {
          resolved += path.resolved;
          benchmark::DoNotOptimize(path.text.data());
        });
    records = counts.records;
    directories = book.directories();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
  state.counters["records"] = static_cast<double>(records);
  state.counters["directories"] = static_cast<double>(directories);
  state.counters["resolved"] = static_cast<double>(resolved) / static_cast<double>(state.iterations());
  state.counters["MiB"] = static_cast<double>(bytes.size()) / (1 << 20);
}
BENCHMARK(BM_UsnJournalWithPaths)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
}  // namespace velmora::testing
