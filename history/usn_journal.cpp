#include "history/usn_journal.h"

#include <algorithm>
#include <cstring>

#include "base/bytes.h"
#include "base/format.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/path.h"
#include "ntfs/volume.h"

namespace velmora {

namespace {

constexpr UsnFlagName kReasons[] = {
    {0x00000001, "DATA_OVERWRITE"},        {0x00000002, "DATA_EXTEND"},
    {0x00000004, "DATA_TRUNCATION"},       {0x00000010, "NAMED_DATA_OVERWRITE"},
    {0x00000020, "NAMED_DATA_EXTEND"},     {0x00000040, "NAMED_DATA_TRUNCATION"},
    {0x00000100, "FILE_CREATE"},           {0x00000200, "FILE_DELETE"},
    {0x00000400, "EA_CHANGE"},             {0x00000800, "SECURITY_CHANGE"},
    {0x00001000, "RENAME_OLD_NAME"},       {0x00002000, "RENAME_NEW_NAME"},
    {0x00004000, "INDEXABLE_CHANGE"},      {0x00008000, "BASIC_INFO_CHANGE"},
    {0x00010000, "HARD_LINK_CHANGE"},      {0x00020000, "COMPRESSION_CHANGE"},
    {0x00040000, "ENCRYPTION_CHANGE"},     {0x00080000, "OBJECT_ID_CHANGE"},
    {0x00100000, "REPARSE_POINT_CHANGE"},  {0x00200000, "STREAM_CHANGE"},
    {0x00400000, "TRANSACTED_CHANGE"},     {0x00800000, "INTEGRITY_CHANGE"},
    {0x01000000, "DESIRED_STORAGE_CLASS_CHANGE"}, {0x80000000, "CLOSE"},
};
constexpr UsnFlagName kSourceInfo[] = {
    {0x1, "DATA_MANAGEMENT"},
    {0x2, "AUXILIARY_DATA"},
    {0x4, "REPLICATION_MANAGEMENT"},
    {0x8, "CLIENT_REPLICATION_MANAGEMENT"},
};
constexpr UsnFlagName kFileAttributes[] = {
    {0x00000001, "READONLY"},      {0x00000002, "HIDDEN"},        {0x00000004, "SYSTEM"},
    {0x00000010, "DIRECTORY"},     {0x00000020, "ARCHIVE"},       {0x00000040, "DEVICE"},
    {0x00000080, "NORMAL"},        {0x00000100, "TEMPORARY"},     {0x00000200, "SPARSE_FILE"},
    {0x00000400, "REPARSE_POINT"}, {0x00000800, "COMPRESSED"},    {0x00001000, "OFFLINE"},
    {0x00002000, "NOT_CONTENT_INDEXED"}, {0x00004000, "ENCRYPTED"}, {0x00008000, "INTEGRITY_STREAM"},
    {0x00010000, "VIRTUAL"},       {0x00020000, "NO_SCRUB_DATA"}, {0x00040000, "RECALL_ON_OPEN"},
    {0x00080000, "PINNED"},        {0x00100000, "UNPINNED"},      {0x00400000, "RECALL_ON_DATA_ACCESS"},
};

UsnFileId ReadFileId(const LeBytes& bytes, uint64_t offset, bool wide) {
  return UsnFileId{FileReference(bytes.U64(offset)), wide ? bytes.U64(offset + 8) : 0};
}

// The fields versions 2 and 3 share, at each version's offsets.
struct NamedLayout {
  uint64_t parent, usn, time, reason, source_info, security_id, attributes, name_length, name_offset;
  uint32_t header;
  bool wide;
};
constexpr NamedLayout kV2{usn::v2::kParentReference, usn::v2::kUsn,        usn::v2::kTimeStamp,
                          usn::v2::kReason,          usn::v2::kSourceInfo, usn::v2::kSecurityId,
                          usn::v2::kFileAttributes,  usn::v2::kNameLength, usn::v2::kNameOffset,
                          usn::v2::kHeaderBytes,     false};
constexpr NamedLayout kV3{usn::v3::kParentReference, usn::v3::kUsn,        usn::v3::kTimeStamp,
                          usn::v3::kReason,          usn::v3::kSourceInfo, usn::v3::kSecurityId,
                          usn::v3::kFileAttributes,  usn::v3::kNameLength, usn::v3::kNameOffset,
                          usn::v3::kHeaderBytes,     true};

std::optional<UsnSkip> DecodeNamed(const LeBytes& r, const NamedLayout& layout, UsnRecord& out) {
  out.file = ReadFileId(r, usn::kFileReference, layout.wide);
  out.parent = ReadFileId(r, layout.parent, layout.wide);
  out.usn = static_cast<int64_t>(r.U64(layout.usn));
  out.time = r.U64(layout.time);
  out.reason = r.U32(layout.reason);
  out.source_info = r.U32(layout.source_info);
  out.security_id = r.U32(layout.security_id);
  out.attributes = r.U32(layout.attributes);
  const uint16_t length = r.U16(layout.name_length);
  const uint16_t offset = r.U16(layout.name_offset);
  if (length % 2 != 0 || offset < layout.header || !r.Fits(offset, length)) return UsnSkip::kNamePastRecord;
  out.name = r.Sub(offset, length);
  return std::nullopt;
}

std::optional<UsnSkip> DecodeRange(const LeBytes& r, UsnRecord& out) {
  out.file = ReadFileId(r, usn::kFileReference, true);
  out.parent = ReadFileId(r, usn::v4::kParentReference, true);
  out.usn = static_cast<int64_t>(r.U64(usn::v4::kUsn));
  out.reason = r.U32(usn::v4::kReason);
  out.source_info = r.U32(usn::v4::kSourceInfo);
  out.remaining_extents = r.U32(usn::v4::kRemainingExtents);
  const uint16_t count = r.U16(usn::v4::kNumberOfExtents);
  if (r.U16(usn::v4::kExtentSize) != usn::v4::kExtentBytes ||
      !r.Fits(usn::v4::kExtents, uint64_t{count} * usn::v4::kExtentBytes))
    return UsnSkip::kNamePastRecord;
  for (uint16_t i = 0; i < count; ++i) {
    const uint64_t at = usn::v4::kExtents + uint64_t{i} * usn::v4::kExtentBytes;
    out.extents.push_back({static_cast<int64_t>(r.U64(at)), static_cast<int64_t>(r.U64(at + 8))});
  }
  return std::nullopt;
}

}  // namespace

std::span<const UsnFlagName> UsnReasonNames() { return kReasons; }
std::span<const UsnFlagName> UsnSourceInfoNames() { return kSourceInfo; }
std::span<const UsnFlagName> UsnFileAttributeNames() { return kFileAttributes; }

std::string UsnFlagText(uint32_t value, std::span<const UsnFlagName> names, char separator) {
  if (value == 0) return "0";
  std::string text;
  uint32_t rest = value;
  for (const UsnFlagName& flag : names) {
    if (!(value & flag.mask)) continue;
    if (!text.empty()) text += separator;
    text += flag.name;
    rest &= ~flag.mask;
  }
  if (rest) {
    if (!text.empty()) text += separator;
    text += Utf16ToUtf8(Format("0x%X", rest));
  }
  return text;
}

std::u16string UsnRecord::Name() const {
  return LeBytes(name).Utf16(0, name.size() / 2);
}

const char* UsnSkipName(UsnSkip reason) {
  switch (reason) {
    case UsnSkip::kLengthOutOfRange: return "length out of range";
    case UsnSkip::kNamePastRecord: return "name or extents past the record";
    case UsnSkip::kUnknownVersion: return "unknown version";
    case UsnSkip::kUnreadable: return "unreadable";
    case UsnSkip::kCount: break;
  }
  return "";
}

std::optional<UsnSkip> DecodeUsnRecord(std::span<const uint8_t> bytes, UsnRecord& out) {
  const LeBytes header(bytes);
  const uint32_t length = header.U32(usn::kRecordLength);
  if (length < usn::kAlignment || length % usn::kAlignment != 0 || length > usn::kMaxRecordBytes ||
      length > bytes.size())
    return UsnSkip::kLengthOutOfRange;
  out.major = header.U16(usn::kMajorVersion);
  out.minor = header.U16(usn::kMinorVersion);
  out.time = 0;
  out.security_id = 0;
  out.attributes = 0;
  out.remaining_extents = 0;
  out.name = {};
  out.extents.clear();
  const LeBytes record(bytes.first(length));
  switch (out.major) {
    case 2:
      if (length < usn::v2::kHeaderBytes) return UsnSkip::kLengthOutOfRange;
      return DecodeNamed(record, kV2, out);
    case 3:
      if (length < usn::v3::kHeaderBytes) return UsnSkip::kLengthOutOfRange;
      return DecodeNamed(record, kV3, out);
    case 4:
      if (length < usn::v4::kHeaderBytes) return UsnSkip::kLengthOutOfRange;
      return DecodeRange(record, out);
    default:
      return UsnSkip::kUnknownVersion;
  }
}

std::vector<JournalStream::Range> VolumeJournalStream::Ranges() const {
  std::vector<Range> ranges;
  if (!reader_.NonResident()) return ranges;
  const uint64_t size = reader_.ValueSize();
  for (const Run& run : reader_.runs().runs()) {
    if (!run.lcn) continue;  // the sparse head, and any other hole: nothing to read
    uint64_t start = 0, length = 0;
    if (!CheckedMul(run.vcn.value, cluster_, start) || !CheckedMul(run.length, cluster_, length) || start >= size)
      continue;
    length = std::min(length, size - start);
    // Adjacent runs read as one range, so a record may continue across them.
    if (!ranges.empty() && ranges.back().offset + ranges.back().length == start) {
      ranges.back().length += length;
    } else {
      ranges.push_back({start, length});
    }
  }
  return ranges;
}

std::vector<JournalStream::Range> FileJournalStream::Ranges() const {
  const auto size = file_->Size();
  if (!size || *size == 0) return {};
  return {{0, *size}};
}

UsnWalkCounts WalkUsnJournal(JournalStream& stream, const std::function<void(const UsnRecord&)>& visit) {
  UsnWalkCounts counts;
  std::vector<uint8_t> block(kUsnBlockBytes);
  UsnRecord record;
  // A record's USN less its offset in what is read: 0 in a volume's $J,
  // the bytes dropped in front of a collected copy.
  uint64_t usn_less_offset = 0;
  auto skip = [&counts](UsnSkip reason) { ++counts.skipped[static_cast<size_t>(reason)]; };
  for (const JournalStream::Range& range : stream.Ranges()) {
    const uint64_t end = range.offset + range.length;
    uint64_t next_read = range.offset;  // the first byte of the range not yet read
    uint64_t block_start = range.offset;  // the stream offset of block[0]
    size_t held = 0, pos = 0;
    for (;;) {
      // Keep at least a page ahead, so that any valid record lies whole in the block.
      if (held - pos < usn::kMaxRecordBytes && next_read < end) {
        std::memmove(block.data(), block.data() + pos, held - pos);
        held -= pos;
        block_start += pos;
        pos = 0;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size() - held, end - next_read));
        if (stream.Read(next_read, std::span<uint8_t>(block.data() + held, want))) {
          held += want;
          counts.bytes_read += want;
        } else {
          // What is held is given up with the piece that failed; the walk
          // goes on after it.
          skip(UsnSkip::kUnreadable);
          held = pos = 0;
          block_start = next_read + want;
        }
        next_read += want;
        continue;
      }
      if (pos >= held) break;
      const std::span<const uint8_t> rest(block.data() + pos, held - pos);
      const uint64_t offset = block_start + pos;
      if (rest.size() < usn::kAlignment) {
        // A stream that ends inside an 8-byte unit: no record fits there.
        if (std::any_of(rest.begin(), rest.end(), [](uint8_t b) { return b != 0; }))
          skip(UsnSkip::kLengthOutOfRange);
        break;
      }
      const uint32_t length = LeBytes(rest).U32(usn::kRecordLength);
      if (length == 0) {
        pos += usn::kAlignment;  // padding
        continue;
      }
      const auto why = DecodeUsnRecord(rest, record);
      if (!why) {
        record.stream_offset = offset;
        usn_less_offset = static_cast<uint64_t>(record.usn) - offset;
        ++counts.records;
        visit(record);
        pos += length;
      } else if (*why == UsnSkip::kLengthOutOfRange) {
        // Nothing after it on its page can be trusted: the next record
        // starts a page. Pages are counted in USNs (a stream offset, but a
        // collected copy may have dropped a head that is not whole pages).
        skip(*why);
        const uint64_t in_page = (offset + usn_less_offset) % usn::kPageBytes;
        pos += std::min<uint64_t>(usn::kPageBytes - in_page, rest.size());
      } else {
        skip(*why);  // the length is good: the next record follows it
        pos += length;
      }
    }
  }
  return counts;
}

UsnJournalInfo DecodeUsnMax(std::span<const uint8_t> value) {
  const LeBytes max(value);
  return UsnJournalInfo{max.U64(usn::kMaxJournalId), static_cast<int64_t>(max.U64(usn::kMaxLowestValidUsn)),
                        max.U64(usn::kMaxMaximumSize), max.U64(usn::kMaxAllocationDelta)};
}

Expected<VolumeJournal> OpenVolumeJournal(VolumeContext& volume) {
  static constexpr FileReference kExtendReference{11};
  static constexpr CountedName kJName{u"$J"};
  static constexpr CountedName kMaxName{u"$Max"};
  const std::u16string where = u"$Extend\\$UsnJrnl";
  auto found = FindChild(u"$UsnJrnl", volume, kExtendReference);
  if (!found) {
    Error error = found.error().Within(where);
    if (found.error().kind == ErrorKind::kAbsent) error = Error{where, u"the volume keeps no change journal", ErrorKind::kAbsent};
    return error;
  }
  auto record = ReadFileRecord(volume, found->Record());
  if (!record) return record.error().Within(where);
  FileAttributes attributes = FileAttributes::Open(volume, std::move(*record));
  VolumeJournal journal;
  if (HeldAttribute max = attributes.First(AttrType::kData, &kMaxName)) {
    std::vector<uint8_t> value(usn::kMaxBytes);
    AttributeReader reader = attributes.Reader(max);
    auto read = reader.ReadAttributeRange(0, value);
    if (read && *read == value.size()) journal.info = DecodeUsnMax(value);
  }
  HeldAttribute j = attributes.First(AttrType::kData, &kJName);
  if (!j) return Error{where, u"no $J stream", ErrorKind::kAbsent};
  AttributeReader reader = attributes.Reader(j);
  if (!reader.NonResident()) return Error{where + u":$J", u"the stream is resident, not a journal's sparse stream"};
  if (reader.runs().over_bound())
    return Error{where + u":$J", u"its run list passes the bound on runs", ErrorKind::kLimit};
  journal.stream = std::make_unique<VolumeJournalStream>(std::move(reader), volume.BytesPerCluster());
  return journal;
}

}  // namespace velmora
