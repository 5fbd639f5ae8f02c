#include "content/wof.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/lanes.h"
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
// Chunks are decoded a batch at a time: their stored bytes, which lie one
// after another, in one read, then the chunks themselves in lanes (each
// chunk is compressed on its own, and one core decompresses XPRESS and LZX
// more slowly than the disk gives them).
constexpr uint64_t kBatchBytes = 1u << 20;

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
        per_batch_(std::max<uint64_t>(1, kBatchBytes / format.chunk_bytes)) {
    for (auto& decompressor : decompressors_)
      decompressor = std::make_unique<ChunkDecompressor>(format.compression, format.chunk_bytes);
  }

  bool ready() const {
    return std::all_of(decompressors_.begin(), decompressors_.end(), [](const auto& d) { return d->ok(); });
  }

  // Bytes from offset up to the end of the batch, or to the first chunk of
  // it that cannot be decoded; that chunk's error when offset is in it.
  Expected<size_t> Read(uint64_t offset, std::span<uint8_t> out) override {
    const uint64_t chunk = offset / format_.chunk_bytes;
    if (chunk < batch_first_ || chunk >= batch_first_ + batch_.size()) {
      Expected<void> decoded = DecodeBatch(chunk);
      if (!decoded) return decoded.error();
    }
    const uint64_t first = chunk - batch_first_;
    if (batch_[first].failure) return *batch_[first].failure;
    uint64_t ready_end = first + 1;  // chunks decoded, from `first` on
    while (ready_end < batch_.size() && !batch_[ready_end].failure) ++ready_end;
    const uint64_t begin = offset - batch_first_ * format_.chunk_bytes;
    const uint64_t end = std::min(size_, (batch_first_ + ready_end) * format_.chunk_bytes) -
                         batch_first_ * format_.chunk_bytes;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(out.size(), end - begin));
    std::memcpy(out.data(), decoded_.data() + begin, count);
    return count;
  }

 private:
  struct Chunk {
    uint64_t start = 0, end = 0;  // stored bytes in the chunk data
    std::optional<Error> failure;
  };

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

  std::u16string Where(uint64_t chunk) const {
    return Format("chunk %I64u at content offset 0x%I64X: ", chunk, chunk * format_.chunk_bytes);
  }
  uint64_t Expanded(uint64_t chunk) const {
    return std::min<uint64_t>(format_.chunk_bytes, size_ - chunk * format_.chunk_bytes);
  }

  // Decodes the chunks from `first` on, up to a batch. An error only when
  // chunk `first` itself cannot be placed or read; a later chunk that
  // cannot ends the batch, and is met again as the first of the next.
  Expected<void> DecodeBatch(uint64_t first) {
    batch_.clear();
    batch_first_ = first;
    const uint64_t last = std::min(table_.chunks, first + per_batch_);
    const uint64_t data_bytes = stream_info_.size - table_.table_bytes;
    for (uint64_t chunk = first; chunk < last; ++chunk) {
      Chunk placed;
      Expected<uint64_t> start = chunk == 0 ? Expected<uint64_t>(0) : Entry(chunk - 1);
      Expected<uint64_t> end = chunk + 1 < table_.chunks ? Entry(chunk) : Expected<uint64_t>(data_bytes);
      if (!start || !end) {
        if (chunk > first) break;
        return (!start ? start.error() : end.error()).Within(Where(chunk) + u"WofCompressedData");
      }
      placed.start = *start;
      placed.end = *end;  // the table was checked: end > start
      if (placed.end - placed.start > Expanded(chunk)) {
        placed.failure = Damaged(Where(chunk) + Format("stored in %I64u bytes, more than the %I64u it stands for",
                                                       placed.end - placed.start, Expanded(chunk)));
        if (chunk > first) break;
      }
      batch_.push_back(std::move(placed));
      if (batch_.back().failure) break;
    }
    if (batch_.front().failure) return {};
    // The stored bytes of the batch, in one read; when that fails, the
    // first chunk alone, so that its own error is the one told.
    while (batch_.size() > 1 && batch_.back().failure) batch_.pop_back();
    const uint64_t stored_start = batch_.front().start;
    stored_.resize(batch_.back().end - stored_start);
    Expected<void> read = ReadStreamBytes(*stream_, stream_info_, table_.table_bytes + stored_start, stored_);
    if (!read && batch_.size() > 1) {
      batch_.resize(1);
      stored_.resize(batch_.front().end - stored_start);
      read = ReadStreamBytes(*stream_, stream_info_, table_.table_bytes + stored_start, stored_);
    }
    if (!read) return read.error().Within(Where(first) + u"WofCompressedData");
    decoded_.resize(batch_.size() * format_.chunk_bytes);
    const auto decode = [&](uint64_t begin, uint64_t end, unsigned lane) {
      for (uint64_t i = begin; i < end; ++i) {
        Chunk& chunk = batch_[i];
        const uint64_t number = batch_first_ + i;
        const std::span<const uint8_t> stored(stored_.data() + (chunk.start - stored_start), chunk.end - chunk.start);
        const std::span<uint8_t> out(decoded_.data() + i * format_.chunk_bytes, Expanded(number));
        if (stored.size() == out.size()) {
          std::memcpy(out.data(), stored.data(), out.size());
        } else if (!decompressors_[lane]->Decompress(stored, out)) {
          chunk.failure = Damaged(Where(number) + Format("its %I64u bytes of ", stored.size()) +
                                  AlgorithmName(format_.compression) + u" data do not decompress");
        }
      }
    };
    RunInLanes(batch_.size(), (batch_.size() + kLanes - 1) / kLanes, decode, [](unsigned) {});
    return {};
  }

  std::unique_ptr<ContentSource> stream_;
  ContentInfo stream_info_;
  const uint64_t size_;
  const WofFormat format_;
  const WofTable table_;
  const uint64_t per_batch_;
  std::array<std::unique_ptr<ChunkDecompressor>, kLanes> decompressors_;  // one a lane
  std::vector<uint8_t> window_;  // table entries from window_first_ on
  uint64_t window_first_ = 0;
  std::vector<Chunk> batch_;  // chunks from batch_first_ on
  uint64_t batch_first_ = 0;
  std::vector<uint8_t> stored_;   // the batch's stored bytes
  std::vector<uint8_t> decoded_;  // the batch's chunks, chunk_bytes apart
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
