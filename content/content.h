// A file's content as Windows reads it: the bytes a program that opens the
// stream gets, whatever the volume stores. Resident values are copied; the
// runs of a non-resident value give zeros for holes and past the
// initialized size; LZNT1-compressed attributes are decompressed unit by
// unit; a file under system compression (the WOF reparse point with the
// file provider) is read from its WofCompressedData stream chunk by chunk.
//
// The reader streams: memory stays at a few compression units or chunks
// whatever the file's size, and a damaged unit or chunk ends the read with
// an Error naming the content offset, never with a wrong byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace velmora {
class FileAttributes;
class VolumeContext;
}  // namespace velmora

namespace velmora::content {

enum class Compression { kNone, kLznt1, kWofXpress4k, kWofLzx, kWofXpress8k, kWofXpress16k };

// "none", "lznt1", "xpress4k", "lzx", "xpress8k", "xpress16k".
std::string_view CompressionName(Compression compression);

struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// The most sparse ranges ContentInfo keeps; sparse_ranges_total counts them all.
inline constexpr size_t kMaxSparseRanges = 4096;

struct ContentInfo {
  uint64_t size = 0;  // bytes of the content
  Compression compression = Compression::kNone;
  bool sparse = false;     // holes in the runs give some of the content as zeros
  bool encrypted = false;  // never true on an opened reader: such content is refused
  uint64_t initialized_size = 0;  // content bytes from here on read as zeros
  // Content offsets that holes give as zeros: holes of a plain value, whole
  // compression units that map no cluster; in content order, merged.
  std::vector<ByteRange> sparse_ranges;
  uint64_t sparse_ranges_total = 0;
};

// Where the bytes come from; one per kind of storage.
class ContentSource;

class ContentReader {
 public:
  // The content of the file's stream named stream_name (empty: the unnamed
  // $DATA). The unnamed stream of a system-compressed file comes from its
  // WofCompressedData stream. Errors: no such stream (kAbsent); encrypted
  // content (kLimit: its raw bytes are available with -w); a compression
  // this build has no library for (kLimit, naming the library); a damaged
  // structure (kDamaged). The volume must outlive the reader; `file` need not.
  static Expected<ContentReader> Open(VolumeContext& volume, FileAttributes& file, std::u16string_view stream_name);

  ContentReader(ContentReader&&) noexcept;
  ContentReader& operator=(ContentReader&&) noexcept;
  ~ContentReader();

  const ContentInfo& info() const { return info_; }
  // Bytes read so far: the content offset of the next byte.
  uint64_t position() const { return position_; }

  // The next bytes in order into out; the count (0 only at the end). A
  // damaged unit or chunk, or a read the source refuses, gives an Error
  // naming the content offset; after an Error the reader is done and keeps
  // returning it.
  Expected<size_t> Read(std::span<uint8_t> out);

 private:
  ContentReader(ContentInfo info, std::unique_ptr<ContentSource> source);

  ContentInfo info_;
  std::unique_ptr<ContentSource> source_;
  uint64_t position_ = 0;
  std::unique_ptr<Error> failure_;
};

}  // namespace velmora::content
