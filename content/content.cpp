#include "content/content.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/bytes.h"
#include "base/format.h"
#include "content/source.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_set.h"
#include "ntfs/volume.h"

namespace velmora::content {

namespace {

// $REPARSE_POINT value: a tag, the length of the data behind the 8-byte
// header, and the data. Tags with the high bit set are Microsoft's and
// carry no GUID.
namespace reparse {
inline constexpr uint64_t kTag = 0x00;         // u32
inline constexpr uint64_t kDataLength = 0x04;  // u16
inline constexpr uint64_t kData = 0x08;
// The largest reparse value NTFS stores.
inline constexpr uint64_t kMaxBytes = 16u << 10;
inline constexpr uint32_t kTagWof = 0x80000017;
}  // namespace reparse

// The logged utility stream that holds an encrypted file's keys.
constexpr std::u16string_view kEfsName = u"$EFS";

class ResidentSource : public ContentSource {
 public:
  explicit ResidentSource(std::vector<uint8_t> value) : value_(std::move(value)) {}
  Expected<size_t> Read(uint64_t offset, std::span<uint8_t> out) override {
    const size_t count = static_cast<size_t>(std::min<uint64_t>(out.size(), value_.size() - offset));
    if (count) std::memcpy(out.data(), value_.data() + offset, count);
    return count;
  }

 private:
  std::vector<uint8_t> value_;
};

class PlainRunSource : public ContentSource {
 public:
  explicit PlainRunSource(AttributeReader reader) : reader_(std::move(reader)) {}
  Expected<size_t> Read(uint64_t offset, std::span<uint8_t> out) override {
    std::span<uint8_t> block = out.first(std::min(out.size(), kMaxReadBlock));
    std::optional<uint32_t> count = reader_.ReadNonResidentRange(offset, block);
    if (!count || *count == 0)
      return Error{u"", Format("the value's clusters at content offset 0x%I64X cannot be read", offset),
                   ErrorKind::kUnreadable};
    return size_t{*count};
  }

 private:
  AttributeReader reader_;
};

// The content offsets a plain value's holes give as zeros.
void AddHoles(const RunList& runs, uint64_t cluster, ContentInfo& info) {
  for (const Run& run : runs.runs()) {
    if (run.lcn) continue;
    uint64_t start = 0;
    uint64_t end = 0;
    if (!CheckedMul(run.vcn.value, cluster, start) || start >= info.size) break;
    if (!CheckedMul(run.End().value, cluster, end)) end = info.size;
    AddSparseRange(info, start, std::min(end, info.size) - start);
  }
  info.sparse = info.sparse_ranges_total > 0;
}

Expected<std::unique_ptr<ContentSource>> OpenNonResident(AttributeReader reader, ContentInfo& info) {
  const AttributeRecord& attribute = reader.attribute();
  info.size = attribute.RealSize();
  info.initialized_size = std::min(attribute.IniSize(), info.size);
  const uint16_t compression = attribute.Flags() & attr::kFlagCompressionMask;
  if (compression == attr::kFlagLznt1) return OpenLznt1(std::move(reader), info);
  if (compression != 0)
    return Damaged(Format("the attribute names compression 0x%X, which NTFS does not define", compression));
  Expected<void> covered = CheckRunsCover(reader, info.initialized_size);
  if (!covered) return covered.error();
  AddHoles(reader.runs(), reader.volume().BytesPerCluster(), info);
  return std::unique_ptr<ContentSource>(std::make_unique<PlainRunSource>(std::move(reader)));
}

// The reparse data of a WOF reparse point, or empty when the file has none.
Expected<std::vector<uint8_t>> WofReparseData(FileAttributes& file) {
  HeldAttribute point = file.First(AttrType::kReparsePoint, nullptr);
  if (!point) return std::vector<uint8_t>{};
  if (point->ValueSize() > reparse::kMaxBytes)
    return Damaged(Format("the reparse point holds %I64u bytes, more than the %I64u NTFS allows", point->ValueSize(),
                          reparse::kMaxBytes));
  AttributeReader reader = file.Reader(point);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();  // held by the reader
  if (!value) return Damaged(u"the reparse point cannot be read");
  LeBytes bytes(*value);
  if (bytes.U32(reparse::kTag) != reparse::kTagWof) return std::vector<uint8_t>{};
  std::span<const uint8_t> data = bytes.Sub(reparse::kData, bytes.U16(reparse::kDataLength));
  if (data.empty())
    return Damaged(Format("the WOF reparse point's data (%u bytes) runs past its value (%I64u bytes)",
                          bytes.U16(reparse::kDataLength), bytes.size()));
  return std::vector<uint8_t>(data.begin(), data.end());
}

bool Encrypted(FileAttributes& file, const AttributeRecord& data) {
  const CountedName efs{kEfsName};
  return (data.Flags() & attr::kFlagEncrypted) || file.First(AttrType::kLoggedUtilityStream, &efs);
}

}  // namespace

std::string_view CompressionName(Compression compression) {
  switch (compression) {
    case Compression::kNone: return "none";
    case Compression::kLznt1: return "lznt1";
    case Compression::kWofXpress4k: return "xpress4k";
    case Compression::kWofLzx: return "lzx";
    case Compression::kWofXpress8k: return "xpress8k";
    case Compression::kWofXpress16k: return "xpress16k";
  }
  return "none";
}

Expected<void> CheckRunsCover(const AttributeReader& reader, uint64_t bytes) {
  const RunList& runs = reader.runs();
  if (runs.over_bound())
    return Error{u"", Format("the value has more than %I64u runs: bound reached", uint64_t{kMaxRunsPerValue}),
                 ErrorKind::kLimit};
  const uint64_t cluster = reader.volume().BytesPerCluster();
  uint64_t mapped = 0;
  if (!CheckedMul(runs.EndVcn().value, cluster, mapped)) mapped = UINT64_MAX;
  if (mapped < bytes)
    return Damaged(
        Format("the runs end at byte 0x%I64X of the value, short of the 0x%I64X its initialized size needs", mapped,
               bytes));
  return {};
}

void AddSparseRange(ContentInfo& info, uint64_t offset, uint64_t length) {
  if (length == 0) return;
  if (!info.sparse_ranges.empty()) {
    ByteRange& last = info.sparse_ranges.back();
    if (last.offset + last.length == offset) {
      last.length += length;
      return;
    }
  }
  ++info.sparse_ranges_total;
  if (info.sparse_ranges.size() < kMaxSparseRanges) info.sparse_ranges.push_back(ByteRange{offset, length});
}

Expected<std::unique_ptr<ContentSource>> OpenStream(FileAttributes& file, const HeldAttribute& data,
                                                    ContentInfo& info) {
  if (!data->NonResident()) {
    std::span<const uint8_t> value = data->ResidentValue();
    info.size = value.size();
    info.initialized_size = info.size;
    return std::unique_ptr<ContentSource>(
        std::make_unique<ResidentSource>(std::vector<uint8_t>(value.begin(), value.end())));
  }
  return OpenNonResident(file.Reader(data), info);
}

Expected<void> ReadStreamBytes(ContentSource& source, const ContentInfo& info, uint64_t offset,
                               std::span<uint8_t> out) {
  uint64_t end = 0;
  if (!CheckedAdd(offset, out.size(), end) || end > info.size)
    return Damaged(Format("bytes 0x%I64X to 0x%I64X lie past the stream's %I64u bytes", offset, end, info.size));
  while (!out.empty()) {
    if (offset >= info.initialized_size) {
      std::fill(out.begin(), out.end(), uint8_t{0});
      break;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(out.size(), info.initialized_size - offset));
    Expected<size_t> count = source.Read(offset, out.first(want));
    if (!count) return count.error();
    if (*count == 0) return Damaged(Format("no bytes were read at stream offset 0x%I64X", offset));
    offset += *count;
    out = out.subspan(*count);
  }
  return {};
}

ContentReader::ContentReader(ContentInfo info, std::unique_ptr<ContentSource> source)
    : info_(std::move(info)), source_(std::move(source)) {}
ContentReader::ContentReader(ContentReader&&) noexcept = default;
ContentReader& ContentReader::operator=(ContentReader&&) noexcept = default;
ContentReader::~ContentReader() = default;

Expected<ContentReader> ContentReader::Open(VolumeContext& volume, FileAttributes& file,
                                            std::u16string_view stream_name) {
  if (!volume.HasGeometry()) return Error{u"", u"the volume is not open", ErrorKind::kUnreadable};
  const std::u16string stream_label =
      stream_name.empty() ? std::u16string(u"the unnamed $DATA stream") : u"$DATA stream \"" + std::u16string(stream_name) + u"\"";
  const CountedName name{stream_name};
  HeldAttribute data = file.First(AttrType::kData, &name);
  if (!data) return Error{u"", u"the file has no " + stream_label, ErrorKind::kAbsent};

  if (Encrypted(file, *data))
    return Error{u"",
                 u"encrypted ($EFS): Windows gives its content only to a holder of the file's key; its raw bytes are "
                 u"available with -w",
                 ErrorKind::kLimit};

  ContentInfo info;
  std::unique_ptr<ContentSource> source;
  if (stream_name.empty()) {
    Expected<std::vector<uint8_t>> wof = WofReparseData(file);
    if (!wof) return wof.error();
    if (!wof->empty()) {
      info.size = data->ValueSize();
      info.initialized_size = info.size;
      Expected<std::unique_ptr<ContentSource>> opened = OpenWof(file, *wof, info);
      if (!opened) return opened.error();
      return ContentReader(std::move(info), std::move(*opened));
    }
  }
  Expected<std::unique_ptr<ContentSource>> opened = OpenStream(file, data, info);
  if (!opened) return opened.error();
  return ContentReader(std::move(info), std::move(*opened));
}

Expected<ContentInfo> ContentReader::Describe(VolumeContext& volume, FileAttributes& file,
                                              std::u16string_view stream_name) {
  const CountedName name{stream_name};
  HeldAttribute data = file.First(AttrType::kData, &name);
  if (data && Encrypted(file, *data)) {
    ContentInfo info;
    info.encrypted = true;
    info.size = data->ValueSize();
    info.initialized_size = data->NonResident() ? std::min(data->IniSize(), info.size) : info.size;
    if (data->NonResident() && (data->Flags() & attr::kFlagCompressionMask) == attr::kFlagLznt1)
      info.compression = Compression::kLznt1;
    return info;
  }
  Expected<ContentReader> reader = Open(volume, file, stream_name);
  if (!reader) return reader.error();
  return reader->info();
}

Expected<size_t> ContentReader::Read(std::span<uint8_t> out) {
  if (failure_) return *failure_;
  if (position_ >= info_.size || out.empty()) return size_t{0};
  uint64_t want = std::min<uint64_t>(out.size(), info_.size - position_);
  if (position_ >= info_.initialized_size) {
    std::fill_n(out.begin(), want, uint8_t{0});
    position_ += want;
    return static_cast<size_t>(want);
  }
  want = std::min(want, info_.initialized_size - position_);
  Expected<size_t> count = source_->Read(position_, out.first(static_cast<size_t>(want)));
  if (count && *count == 0)
    count = Damaged(Format("no bytes were read at content offset 0x%I64X", position_));
  if (!count) {
    failure_ = std::make_unique<Error>(count.error());
    return count.error();
  }
  position_ += *count;
  return *count;
}

}  // namespace velmora::content
