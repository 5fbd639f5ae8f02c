#include "content/lznt1.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/bytes.h"
#include "base/format.h"

namespace velmora::content {

namespace {

namespace chunk {
inline constexpr uint16_t kSizeMask = 0x0FFF;  // bytes of the chunk less 3
inline constexpr uint16_t kSignatureMask = 0x7000;
inline constexpr uint16_t kSignature = 0x3000;
inline constexpr uint16_t kCompressed = 0x8000;
inline constexpr size_t kHeaderBytes = 2;
}  // namespace chunk

constexpr size_t kMinMatch = 3;

// Why a chunk could not be decoded, or null.
using Failure = const char*;

// One compressed chunk's body into dest (at most 4096 bytes); the bytes
// produced in *produced.
Failure DecodeChunk(const uint8_t* src, const uint8_t* src_end, uint8_t* dest, size_t dest_size, size_t* produced) {
  uint8_t* out = dest;
  uint8_t* const out_end = dest + dest_size;
  while (src < src_end) {
    unsigned flags = *src++;
    // Eight literals, the common group of text: one copy when both sides
    // have room for it.
    if (flags == 0 && src_end - src >= 8 && out_end - out >= 8) {
      std::memcpy(out, src, 8);
      out += 8;
      src += 8;
      continue;
    }
    for (unsigned token = 0; token < 8 && src < src_end; ++token, flags >>= 1) {
      if (!(flags & 1)) {
        if (out == out_end) return "its output passes the end of the unit";
        *out++ = *src++;
        continue;
      }
      if (src_end - src < 2) return "a back-reference is cut off by the chunk's end";
      const unsigned code = src[0] | (unsigned{src[1]} << 8);
      src += 2;
      const size_t position = static_cast<size_t>(out - dest);
      if (position == 0) return "a back-reference comes before any byte";
      // Distance bits: enough for the position (at least 4).
      const unsigned distance_bits = std::max(4, static_cast<int>(std::bit_width(position - 1)));
      const unsigned length_bits = 16 - distance_bits;
      const size_t distance = (code >> length_bits) + 1;
      const size_t length = (code & ((1u << length_bits) - 1)) + kMinMatch;
      if (distance > position) return "a back-reference reaches before the chunk";
      if (length > static_cast<size_t>(out_end - out)) return "its output passes the end of the unit";
      const uint8_t* from = out - distance;
      if (distance >= 8 && static_cast<size_t>(out_end - out) >= length + 8) {
        // 8 bytes a step, the last step running up to 7 bytes past the
        // reference (inside out, and written over by what follows or past
        // what is produced). Each step reads only bytes already written,
        // however the reference overlaps its own output.
        for (size_t i = 0; i < length; i += 8) std::memcpy(out + i, from + i, 8);
      } else if (distance == 1) {
        std::memset(out, *from, length);
      } else {
        // A short period repeats byte by byte.
        for (size_t i = 0; i < length; ++i) out[i] = from[i];
      }
      out += length;
    }
  }
  *produced = static_cast<size_t>(out - dest);
  return nullptr;
}

}  // namespace

Expected<size_t> Lznt1Decompress(std::span<const uint8_t> in, std::span<uint8_t> out) {
  const LeBytes bytes(in);
  size_t at = 0;        // next chunk header in `in`
  size_t placed = 0;    // where the next chunk's output begins
  size_t produced = 0;  // bytes of out written, zeros between short chunks included
  while (bytes.Fits(at, chunk::kHeaderBytes)) {
    const uint16_t header = bytes.U16(at);
    if (header == 0) break;
    auto damaged = [&](std::u16string why) {
      return Error{u"", Format("LZNT1 chunk at byte 0x%I64X of the unit (header 0x%04X): ", uint64_t{at}, header) + why,
                   ErrorKind::kDamaged};
    };
    if ((header & chunk::kSignatureMask) != chunk::kSignature) return damaged(u"no chunk signature");
    const size_t body = (header & chunk::kSizeMask) + 1;
    if (!bytes.Fits(at + chunk::kHeaderBytes, body)) return damaged(u"runs past the end of the compressed data");
    if (placed >= out.size()) return damaged(u"its output passes the end of the unit");
    const uint8_t* src = in.data() + at + chunk::kHeaderBytes;
    uint8_t* dest = out.data() + placed;
    const size_t room = std::min(kLznt1ChunkBytes, out.size() - placed);
    std::fill(out.begin() + produced, out.begin() + placed, uint8_t{0});
    size_t count = 0;
    if (header & chunk::kCompressed) {
      if (Failure failure = DecodeChunk(src, src + body, dest, room, &count)) return damaged(Utf8ToUtf16(failure));
    } else {
      if (body > room) return damaged(u"its output passes the end of the unit");
      std::memcpy(dest, src, body);
      count = body;
    }
    produced = placed + count;
    placed += kLznt1ChunkBytes;
    at += chunk::kHeaderBytes + body;
  }
  return produced;
}

}  // namespace velmora::content
