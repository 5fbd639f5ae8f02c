// Work over a long sequence (the MFT's records, a timeline's names, its
// directories) split in chunks that kLanes threads take at once, each
// chunk's result handed on in the sequence's order: parsing and formatting
// cost far more than reading, and the machine has more than one core.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <future>

namespace velmora {

inline constexpr unsigned kLanes = 2;

// Calls work(begin, end, lane) for every chunk of per_chunk items of
// [0, count), kLanes chunks at a time (lane 0 on the calling thread), and
// done(lane) on the calling thread after each chunk, in chunk order. A lane
// keeps its results until done takes them. Without a thread to spare a
// chunk runs when its result is asked for.
template <typename Work, typename Done>
void RunInLanes(uint64_t count, uint64_t per_chunk, Work&& work, Done&& done) {
  per_chunk = std::max<uint64_t>(per_chunk, 1);
  for (uint64_t first = 0; first < count; first += per_chunk * kLanes) {
    std::array<std::future<void>, kLanes> others;
    for (unsigned lane = 1; lane < kLanes; ++lane) {
      const uint64_t begin = first + lane * per_chunk;
      if (begin >= count) break;
      const uint64_t end = std::min(count, begin + per_chunk);
      others[lane] = std::async(std::launch::async | std::launch::deferred,
                                [&work, begin, end, lane] { work(begin, end, lane); });
    }
    work(first, std::min(count, first + per_chunk), 0u);
    done(0u);
    for (unsigned lane = 1; lane < kLanes; ++lane) {
      if (!others[lane].valid()) break;
      others[lane].get();
      done(lane);
    }
  }
}

}  // namespace velmora
