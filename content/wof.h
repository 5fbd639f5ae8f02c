// System compression: the Windows Overlay Filter's file provider.
//
// A file compressed this way carries a reparse point with tag 0x80000017
// whose data is two structures: the overlay's own (a version, 1, and the
// provider: 1 a WIM image, 2 a single file) and the file provider's (a
// version, 1, and the algorithm: 0 XPRESS in 4 KiB chunks, 1 LZX in 32 KiB
// chunks, 2 XPRESS in 8 KiB, 3 XPRESS in 16 KiB). The unnamed $DATA keeps
// the content's size and no clusters; the named stream WofCompressedData
// holds a chunk offset table and then the chunks. The table has one entry
// for each chunk after the first, 4 bytes wide, or 8 when the content is
// larger than 4 GiB: where that chunk starts, counted from the table's end,
// so that each entry is also where the chunk before it ends. A chunk whose
// stored size equals the bytes it stands for is stored as is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/error.h"
#include "content/content.h"

namespace velmora::content {

inline constexpr std::u16string_view kWofStreamName = u"WofCompressedData";

// What the reparse data says.
struct WofFormat {
  Compression compression = Compression::kNone;
  uint32_t chunk_bytes = 0;
};
// The format of a WOF reparse point's data (behind the 8-byte reparse
// header); an Error naming an unknown version, provider or algorithm.
Expected<WofFormat> ParseWofReparseData(std::span<const uint8_t> data);

// The geometry of a WofCompressedData stream for content of `size` bytes.
struct WofTable {
  uint64_t chunks = 0;
  unsigned entry_bytes = 4;
  uint64_t table_bytes = 0;  // the chunks begin here in the stream
};
WofTable WofTableOf(uint64_t size, uint32_t chunk_bytes);

// Checks one window of table entries (entries [first, first + count) of
// the table, as stored) against the entry before it (`previous`, 0 before
// the first) and the bytes of chunk data the stream holds: each entry must
// lie past the one before and within the data. Returns the window's last
// entry.
Expected<uint64_t> CheckWofEntries(std::span<const uint8_t> entries, unsigned entry_bytes, uint64_t first,
                                   uint64_t previous, uint64_t data_bytes);

// Whether this build decompresses the algorithm (wimlib present).
bool WofDecompressionAvailable();

}  // namespace velmora::content
