#include "content/wof.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/format.h"
#include "content/source.h"
#include "ntfs/attribute_set.h"

#ifdef VELMORA_HAVE_WIMLIB
#include <wimlib.h>
#endif

namespace velmora::content {

namespace {

// The reparse data: WOF_EXTERNAL_INFO then FILE_PROVIDER_EXTERNAL_INFO.
namespace wof {
inline constexpr uint64_t kVersion = 0x00;          // u32, 1
inline constexpr uint64_t kProvider = 0x04;         // u32, 1 WIM image, 2 file
inline constexpr uint64_t kFileVersion = 0x08;      // u32, 1
inline constexpr uint64_t kFileAlgorithm = 0x0C;    // u32
inline constexpr uint64_t kBytes = 0x10;
inline constexpr uint32_t kCurrentVersion = 1;
inline constexpr uint32_t kProviderWim = 1;
inline constexpr uint32_t kProviderFile = 2;
inline constexpr uint32_t kFileCurrentVersion = 1;
}  // namespace wof

struct Algorithm {
  Compression compression;
  uint32_t chunk_bytes;
};
constexpr Algorithm kAlgorithms[] = {
    {Compression::kWofXpress4k, 4096},
    {Compression::kWofLzx, 32768},
    {Compression::kWofXpress8k, 8192},
    {Compression::kWofXpress16k, 16384},
};

// Table entries read and checked at a time.
constexpr uint64_t kTableWindowEntries = 8192;
// Chunk data read ahead: the chunks lie one after another, so one read
// serves hundreds of small chunks instead of a device request each.
constexpr uint64_t kReadAheadBytes = 1u << 20;

std::u16string AlgorithmName(Compression compression) { return Utf8ToUtf16(CompressionName(compression)); }

#ifdef VELMORA_HAVE_WIMLIB
// One wimlib decompressor for the algorithm's chunk size.
class ChunkDecompressor {
 public:
  ChunkDecompressor(Compression compression, uint32_t chunk_bytes) {
    const wimlib_compression_type type =
        compression == Compression::kWofLzx ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS;
    if (wimlib_create_decompressor(type, chunk_bytes, &decompressor_) != 0) decompressor_ = nullptr;
  }
  ~ChunkDecompressor() { wimlib_free_decompressor(decompressor_); }
  ChunkDecompressor(const ChunkDecompressor&) = delete;
  ChunkDecompressor& operator=(const ChunkDecompressor&) = delete;

  bool ok() const { return decompressor_ != nullptr; }
  bool Decompress(std::span<const uint8_t> in, std::span<uint8_t> out) {
    return wimlib_decompress(in.data(), in.size(), out.data(), out.size(), decompressor_) == 0;
  }

 private:
  wimlib_decompressor* decompressor_ = nullptr;
};
#else
class ChunkDecompressor {
 public:
  ChunkDecompressor(Compression, uint32_t) {}
  bool ok() const { return false; }
  bool Decompress(std::span<const uint8_t>, std::span<uint8_t>) { return false; }
};
#endif

class WofSource : public ContentSource {
 public:
  WofSource(std::unique_ptr<ContentSource> stream, ContentInfo stream_info, uint64_t size, WofFormat format,
            WofTable table)
      : stream_(std::move(stream)),
        stream_info_(std::move(stream_info)),
        size_(size),
        format_(format),
        table_(table),
        decompressor_(format.compression, format.chunk_bytes) {}

  bool ready() const { return decompressor_.ok(); }

  Expected<size_t> Read(uint64_t offset, std::span<uint8_t> out) override {
    const uint64_t chunk = offset / format_.chunk_bytes;
    const uint64_t within = offset - chunk * format_.chunk_bytes;
    if (chunk != decoded_chunk_) {
      Expected<void> decoded = Decode(chunk);
      if (!decoded) return decoded.error();
    }
    const size_t count = static_cast<size_t>(std::min<uint64_t>(out.size(), chunk_buffer_.size() - within));
    std::memcpy(out.data(), chunk_buffer_.data() + within, count);
    return count;
  }

 private:
  // Entry `index` of the table: where chunk index + 1 starts in the data.
  Expected<uint64_t> Entry(uint64_t index) {
    if (index < window_first_ || index >= window_first_ + window_.size() / table_.entry_bytes) {
      window_first_ = index - index % kTableWindowEntries;
      const uint64_t count = std::min(kTableWindowEntries, table_.chunks - 1 - window_first_);
      window_.resize(count * table_.entry_bytes);
      Expected<void> read = ReadStreamBytes(*stream_, stream_info_, window_first_ * table_.entry_bytes, window_);
      if (!read) {
        window_.clear();
        return read.error();
      }
    }
    return LeBytes(window_).Unsigned((index - window_first_) * table_.entry_bytes, table_.entry_bytes);
  }

  // Stream bytes of a chunk, through the read-ahead.
  Expected<void> ChunkBytes(uint64_t offset, std::span<uint8_t> out) {
    if (offset < ahead_start_ || offset - ahead_start_ > ahead_.size() ||
        out.size() > ahead_.size() - (offset - ahead_start_)) {
      if (out.size() >= kReadAheadBytes) return ReadStreamBytes(*stream_, stream_info_, offset, out);
      ahead_.resize(std::min(kReadAheadBytes, stream_info_.size - offset));
      ahead_start_ = offset;
      Expected<void> read = ReadStreamBytes(*stream_, stream_info_, offset, ahead_);
      if (!read) {
        ahead_.clear();
        return read.error();
      }
    }
    std::memcpy(out.data(), ahead_.data() + (offset - ahead_start_), out.size());
    return {};
  }

  Expected<void> Decode(uint64_t chunk) {
    decoded_chunk_ = UINT64_MAX;
    const uint64_t content_offset = chunk * format_.chunk_bytes;
    auto where = [&] { return Format("chunk %I64u at content offset 0x%I64X: ", chunk, content_offset); };
    uint64_t start = 0;
    if (chunk > 0) {
      Expected<uint64_t> entry = Entry(chunk - 1);
      if (!entry) return entry.error().Within(where() + u"WofCompressedData");
      start = *entry;
    }
    uint64_t end = stream_info_.size - table_.table_bytes;
    if (chunk + 1 < table_.chunks) {
      Expected<uint64_t> entry = Entry(chunk);
      if (!entry) return entry.error().Within(where() + u"WofCompressedData");
      end = *entry;
    }
    const uint64_t expanded = std::min<uint64_t>(format_.chunk_bytes, size_ - content_offset);
    const uint64_t stored = end - start;  // the table was checked: end > start
    if (stored > expanded)
      return Damaged(where() + Format("stored in %I64u bytes, more than the %I64u it stands for", stored, expanded));
    chunk_buffer_.resize(expanded);
    if (stored == expanded) {
      Expected<void> read = ChunkBytes(table_.table_bytes + start, chunk_buffer_);
      if (!read) return read.error().Within(where() + u"WofCompressedData");
    } else {
      compressed_.resize(stored);
      Expected<void> read = ChunkBytes(table_.table_bytes + start, compressed_);
      if (!read) return read.error().Within(where() + u"WofCompressedData");
      if (!decompressor_.Decompress(compressed_, chunk_buffer_))
        return Damaged(where() + Format("its %I64u bytes of ", stored) + AlgorithmName(format_.compression) +
                       u" data do not decompress");
    }
    decoded_chunk_ = chunk;
    return {};
  }

  std::unique_ptr<ContentSource> stream_;
  ContentInfo stream_info_;
  const uint64_t size_;
  const WofFormat format_;
  const WofTable table_;
  ChunkDecompressor decompressor_;
  std::vector<uint8_t> window_;  // table entries from window_first_ on
  uint64_t window_first_ = 0;
  std::vector<uint8_t> ahead_;  // stream bytes from ahead_start_ on
  uint64_t ahead_start_ = 0;
  std::vector<uint8_t> compressed_;
  std::vector<uint8_t> chunk_buffer_;
  uint64_t decoded_chunk_ = UINT64_MAX;
};

}  // namespace

Expected<WofFormat> ParseWofReparseData(std::span<const uint8_t> data) {
  const LeBytes bytes(data);
  if (!bytes.Fits(0, wof::kBytes))
    return Damaged(Format("the WOF reparse data holds %I64u bytes, short of the %I64u its two headers take", bytes.size(),
                          wof::kBytes));
  if (const uint32_t v = bytes.U32(wof::kVersion); v != wof::kCurrentVersion)
    return Damaged(Format("WOF version %u, not 1: unknown", v));
  if (const uint32_t p = bytes.U32(wof::kProvider); p != wof::kProviderFile) {
    if (p == wof::kProviderWim)
      return Error{u"", u"WOF provider 1 (a WIM image): the content lies in an image outside the volume",
                   ErrorKind::kAbsent};
    return Damaged(Format("WOF provider %u: unknown (2 is the file provider)", p));
  }
  if (const uint32_t v = bytes.U32(wof::kFileVersion); v != wof::kFileCurrentVersion)
    return Damaged(Format("WOF file provider version %u, not 1: unknown", v));
  const uint32_t algorithm = bytes.U32(wof::kFileAlgorithm);
  if (algorithm >= std::size(kAlgorithms))
    return Damaged(Format("WOF file provider algorithm %u: unknown (0 to 3 are XPRESS4K, LZX, XPRESS8K, XPRESS16K)",
                          algorithm));
  return WofFormat{kAlgorithms[algorithm].compression, kAlgorithms[algorithm].chunk_bytes};
}

WofTable WofTableOf(uint64_t size, uint32_t chunk_bytes) {
  WofTable table;
  table.chunks = size / chunk_bytes + (size % chunk_bytes ? 1 : 0);
  table.entry_bytes = size > UINT32_MAX ? 8 : 4;
  table.table_bytes = table.chunks == 0 ? 0 : (table.chunks - 1) * table.entry_bytes;
  return table;
}

Expected<uint64_t> CheckWofEntries(std::span<const uint8_t> entries, unsigned entry_bytes, uint64_t first,
                                   uint64_t previous, uint64_t data_bytes) {
  const LeBytes bytes(entries);
  const uint64_t count = entries.size() / entry_bytes;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t entry = bytes.Unsigned(i * entry_bytes, entry_bytes);
    if (entry <= previous || entry >= data_bytes)
      return Damaged(Format("WofCompressedData: chunk table entry %I64u is 0x%I64X, ", first + i, entry) +
                     (entry <= previous ? Format("not past the entry before it (0x%I64X)", previous)
                                        : Format("not inside the %I64u bytes of chunk data", data_bytes)));
    previous = entry;
  }
  return previous;
}

bool WofDecompressionAvailable() {
#ifdef VELMORA_HAVE_WIMLIB
  return true;
#else
  return false;
#endif
}

Expected<std::unique_ptr<ContentSource>> OpenWof(FileAttributes& file, std::span<const uint8_t> reparse_data,
                                                 ContentInfo& info) {
  Expected<WofFormat> format = ParseWofReparseData(reparse_data);
  if (!format) return format.error();
  info.compression = format->compression;
  if (!WofDecompressionAvailable())
    return Error{u"",
                 u"system-compressed (" + AlgorithmName(format->compression) +
                     u"): this build has no wimlib to decompress it",
                 ErrorKind::kLimit};
  const CountedName name{kWofStreamName};
  HeldAttribute data = file.First(AttrType::kData, &name);
  if (!data) return Damaged(u"system-compressed, but the file has no WofCompressedData stream");
  ContentInfo stream_info;
  Expected<std::unique_ptr<ContentSource>> stream = OpenStream(file, data, stream_info);
  if (!stream) return stream.error().Within(u"WofCompressedData");

  const WofTable table = WofTableOf(info.size, format->chunk_bytes);
  if (table.chunks > 0 && stream_info.size <= table.table_bytes)
    return Damaged(Format("WofCompressedData: %I64u bytes, no room for chunk data behind its %I64u-byte chunk table",
                          stream_info.size, table.table_bytes));
  // The table is checked once here, a window at a time, so that reading
  // never meets a chunk that ends before it starts or outside the stream.
  const uint64_t data_bytes = stream_info.size - table.table_bytes;
  std::vector<uint8_t> window;
  uint64_t previous = 0;
  for (uint64_t first = 0; first + 1 < table.chunks; first += kTableWindowEntries) {
    const uint64_t count = std::min(kTableWindowEntries, table.chunks - 1 - first);
    window.resize(count * table.entry_bytes);
    Expected<void> read = ReadStreamBytes(**stream, stream_info, first * table.entry_bytes, window);
    if (!read) return read.error().Within(u"WofCompressedData: chunk table");
    Expected<uint64_t> last = CheckWofEntries(window, table.entry_bytes, first, previous, data_bytes);
    if (!last) return last.error();
    previous = *last;
  }
  auto source = std::make_unique<WofSource>(std::move(*stream), std::move(stream_info), info.size, *format, table);
  if (!source->ready())
    return Error{u"", u"wimlib has no decompressor for " + AlgorithmName(format->compression), ErrorKind::kLimit};
  return std::unique_ptr<ContentSource>(std::move(source));
}

}  // namespace velmora::content
