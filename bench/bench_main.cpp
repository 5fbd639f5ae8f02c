// The one entry point of velmora_bench; every other file of bench/ only
// registers its benchmarks.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
