// LZNT1, the compression of NTFS's compressed attributes.
//
// A compressed buffer is a run of chunks, each standing for 4096 bytes of
// output (the last one may stand for fewer). A chunk begins with a 16-bit
// header: bits 0-11 its size in bytes less 3 (the header included), bits
// 12-14 the signature 3, bit 15 set when the chunk is compressed. An
// uncompressed chunk holds its bytes as they are. A compressed chunk is a
// run of groups: a flag byte, then eight tokens, bit 0 first; a clear bit
// is a literal byte, a set bit a 16-bit back-reference whose high bits give
// the distance less 1 and whose low bits the length less 3. The split moves
// with the position in the chunk: the distance takes as many bits as the
// position needs (at least 4, at most 12), so a reference never reaches
// before the chunk. A zero header, or the end of the buffer, ends the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/error.h"

namespace velmora::content {

inline constexpr size_t kLznt1ChunkBytes = 4096;

// Decompresses in into out and returns the bytes produced. A chunk whose
// output would pass the end of out, a reference before the chunk, a token
// cut off by the chunk's end or a header without the signature is damage:
// an Error naming the chunk's offset in `in`. A compressed chunk that
// produces fewer than 4096 bytes is followed by zeros up to the next
// chunk's place. Bytes of out past those produced are left undefined.
Expected<size_t> Lznt1Decompress(std::span<const uint8_t> in, std::span<uint8_t> out);

}  // namespace velmora::content
