// Compressed inputs for the content tests, the fuzz seeds and the benches:
// an LZNT1 writer of our own (greedy, its search window bounded so that it
// stays quick; it still reaches every split of the back-reference as a
// chunk fills) and WofCompressedData streams made with wimlib's compressors.
// Header-only: the benches link the core alone.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#ifdef VELMORA_HAVE_WIMLIB
#include <wimlib.h>
#endif

namespace velmora::testing {

// Text-like bytes that compress: words of a small vocabulary in an order
// a seed gives.
inline std::vector<uint8_t> CompressibleText(size_t size, uint32_t seed) {
  static constexpr const char* kWords[] = {"cluster ", "record ", "index ", "volume ", "the ", "of ", "run ",
                                           "attribute\n", "stream ", "unit ", "NTFS ", "0x1F ", "chunk ", "name, "};
  std::vector<uint8_t> out;
  out.reserve(size);
  uint32_t state = seed * 2654435761u + 1;
  while (out.size() < size) {
    state = state * 1103515245u + 12345u;
    for (const char* w = kWords[(state >> 16) % std::size(kWords)]; *w && out.size() < size; ++w) out.push_back(*w);
  }
  return out;
}

// LZNT1 chunks of data, each compressed unless that would not save a byte.
inline std::vector<uint8_t> Lznt1Compress(const std::vector<uint8_t>& data, size_t window = 512) {
  std::vector<uint8_t> out;
  for (size_t chunk = 0; chunk < data.size(); chunk += 4096) {
    const size_t n = std::min<size_t>(4096, data.size() - chunk);
    const uint8_t* src = data.data() + chunk;
    std::vector<uint8_t> body;
    size_t pos = 0;
    while (pos < n) {
      const size_t flag_at = body.size();
      body.push_back(0);
      for (unsigned bit = 0; bit < 8 && pos < n; ++bit) {
        size_t best_length = 0;
        size_t best_distance = 0;
        unsigned distance_bits = 4;
        if (pos > 0) {
          distance_bits = std::max(4, static_cast<int>(std::bit_width(pos - 1)));
          const size_t max_length = (size_t{1} << (16 - distance_bits)) + 2;
          const size_t max_distance = std::min(pos, window);
          for (size_t d = 1; d <= max_distance; ++d) {
            size_t length = 0;
            while (length < max_length && pos + length < n && src[pos + length] == src[pos + length - d]) ++length;
            if (length > best_length) {
              best_length = length;
              best_distance = d;
            }
          }
        }
        if (best_length >= 3) {
          const unsigned code = static_cast<unsigned>(((best_distance - 1) << (16 - distance_bits)) | (best_length - 3));
          body.push_back(static_cast<uint8_t>(code));
          body.push_back(static_cast<uint8_t>(code >> 8));
          body[flag_at] |= static_cast<uint8_t>(1u << bit);
          pos += best_length;
        } else {
          body.push_back(src[pos++]);
        }
      }
    }
    uint16_t header = 0;
    if (body.size() < n) {
      header = static_cast<uint16_t>(0xB000 | (body.size() - 1));
    } else {
      header = static_cast<uint16_t>(0x3000 | (n - 1));
      body.assign(src, src + n);
    }
    out.push_back(static_cast<uint8_t>(header));
    out.push_back(static_cast<uint8_t>(header >> 8));
    out.insert(out.end(), body.begin(), body.end());
  }
  return out;
}

#ifdef VELMORA_HAVE_WIMLIB
// A WofCompressedData stream of data for a WOF algorithm (0 XPRESS4K,
// 1 LZX, 2 XPRESS8K, 3 XPRESS16K): the chunk offset table, then each chunk
// compressed, or stored when compressing would not save a byte.
inline std::vector<uint8_t> WofCompress(const std::vector<uint8_t>& data, uint32_t algorithm) {
  static constexpr uint32_t kChunk[] = {4096, 32768, 8192, 16384};
  const uint32_t chunk = kChunk[algorithm];
  wimlib_compressor* compressor = nullptr;
  wimlib_create_compressor(algorithm == 1 ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS, chunk, 0,
                           &compressor);
  const unsigned entry = data.size() > UINT32_MAX ? 8 : 4;
  std::vector<uint8_t> table;
  std::vector<uint8_t> chunks;
  std::vector<uint8_t> buffer(chunk);
  for (size_t at = 0; at < data.size(); at += chunk) {
    if (at > 0)
      for (unsigned i = 0; i < entry; ++i) table.push_back(static_cast<uint8_t>(uint64_t{chunks.size()} >> (8 * i)));
    const size_t n = std::min<size_t>(chunk, data.size() - at);
    const size_t size = wimlib_compress(data.data() + at, n, buffer.data(), n - 1, compressor);
    if (size == 0)
      chunks.insert(chunks.end(), data.begin() + at, data.begin() + at + n);
    else
      chunks.insert(chunks.end(), buffer.begin(), buffer.begin() + size);
  }
  wimlib_free_compressor(compressor);
  table.insert(table.end(), chunks.begin(), chunks.end());
  return table;
}
#endif

}  // namespace velmora::testing
