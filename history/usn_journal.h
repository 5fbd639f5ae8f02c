// The update sequence number (change) journal: $Extend\$UsnJrnl, whose
// $J stream holds one record per change to a file and whose $Max stream
// says which journal it is.
//
// $J is a sparse stream: as the journal grows, NTFS frees its oldest
// clusters, so the stream starts with a hole as long as everything already
// dropped, and a record's USN is its byte offset in the stream. Records are
// 8-byte aligned and never cross a 4 KiB page; the end of a page that
// cannot hold the next record is left zero. A zero length field is
// therefore padding (or the head, when a collected copy keeps it as
// zeros), stepped over 8 bytes at a time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/byte_source.h"
#include "base/error.h"
#include "base/types.h"
#include "ntfs/value_reader.h"

namespace velmora {

class VolumeContext;

namespace usn {
// Fields every version shares.
inline constexpr uint64_t kRecordLength = 0x00;  // u32, the whole record, a multiple of 8
inline constexpr uint64_t kMajorVersion = 0x04;  // u16: 2, 3 or 4
inline constexpr uint64_t kMinorVersion = 0x06;  // u16
inline constexpr uint64_t kFileReference = 0x08; // v2: u64; v3, v4: a 128-bit file id
// Version 2: 64-bit file references.
namespace v2 {
inline constexpr uint64_t kParentReference = 0x10;  // u64
inline constexpr uint64_t kUsn = 0x18;               // s64
inline constexpr uint64_t kTimeStamp = 0x20;         // FILETIME
inline constexpr uint64_t kReason = 0x28;            // u32
inline constexpr uint64_t kSourceInfo = 0x2C;        // u32
inline constexpr uint64_t kSecurityId = 0x30;        // u32
inline constexpr uint64_t kFileAttributes = 0x34;    // u32
inline constexpr uint64_t kNameLength = 0x38;        // u16, bytes
inline constexpr uint64_t kNameOffset = 0x3A;        // u16, from the record's start
inline constexpr uint32_t kHeaderBytes = 0x3C;
}  // namespace v2
// Version 3: the same fields behind 128-bit file ids.
namespace v3 {
inline constexpr uint64_t kParentReference = 0x18;  // 128 bits
inline constexpr uint64_t kUsn = 0x28;
inline constexpr uint64_t kTimeStamp = 0x30;
inline constexpr uint64_t kReason = 0x38;
inline constexpr uint64_t kSourceInfo = 0x3C;
inline constexpr uint64_t kSecurityId = 0x40;
inline constexpr uint64_t kFileAttributes = 0x44;
inline constexpr uint64_t kNameLength = 0x48;
inline constexpr uint64_t kNameOffset = 0x4A;
inline constexpr uint32_t kHeaderBytes = 0x4C;
}  // namespace v3
// Version 4: the byte ranges of a file that changed; no time, no name.
namespace v4 {
inline constexpr uint64_t kParentReference = 0x18;  // 128 bits
inline constexpr uint64_t kUsn = 0x28;
inline constexpr uint64_t kReason = 0x30;
inline constexpr uint64_t kSourceInfo = 0x34;
inline constexpr uint64_t kRemainingExtents = 0x38;  // u32, in the records that follow
inline constexpr uint64_t kNumberOfExtents = 0x3C;   // u16
inline constexpr uint64_t kExtentSize = 0x3E;        // u16, 16
inline constexpr uint64_t kExtents = 0x40;           // {s64 offset, s64 length} each
inline constexpr uint32_t kExtentBytes = 16;
inline constexpr uint32_t kHeaderBytes = 0x40;
}  // namespace v4
// No record crosses a page, so none is longer than one.
inline constexpr uint32_t kPageBytes = 4096;
inline constexpr uint32_t kMaxRecordBytes = kPageBytes;
inline constexpr uint32_t kAlignment = 8;

// $Max: the journal's identity and bounds.
inline constexpr uint64_t kMaxMaximumSize = 0x00;      // u64, bytes
inline constexpr uint64_t kMaxAllocationDelta = 0x08;  // u64, bytes
inline constexpr uint64_t kMaxJournalId = 0x10;        // u64, a FILETIME of its creation
inline constexpr uint64_t kMaxLowestValidUsn = 0x18;   // s64
inline constexpr uint32_t kMaxBytes = 0x20;

// Reason flags (what changed since the file was opened; CLOSE on the last record of an open).
inline constexpr uint32_t kReasonFileCreate = 0x00000100;
inline constexpr uint32_t kReasonFileDelete = 0x00000200;
inline constexpr uint32_t kReasonRenameOldName = 0x00001000;
inline constexpr uint32_t kReasonRenameNewName = 0x00002000;
inline constexpr uint32_t kAttributeDirectory = 0x10;
}  // namespace usn

// One named bit of a flags field, for text and JSON alike.
struct UsnFlagName {
  uint32_t mask;
  const char* name;
};
std::span<const UsnFlagName> UsnReasonNames();
std::span<const UsnFlagName> UsnSourceInfoNames();
std::span<const UsnFlagName> UsnFileAttributeNames();
// "FILE_CREATE|CLOSE"; bits without a name as one 0x... term; "0" for none.
std::string UsnFlagText(uint32_t value, std::span<const UsnFlagName> names, char separator);

// A file id as a record holds it. On NTFS a version 3 or 4 id is the file
// reference in its low 64 bits and zero above; anything above makes it an
// id NTFS never gives, which no path is looked up for.
struct UsnFileId {
  FileReference reference;
  uint64_t high = 0;
  bool operator==(const UsnFileId&) const = default;
  bool IsNtfsReference() const { return high == 0; }
};

struct UsnExtent {
  int64_t offset = 0;
  int64_t length = 0;
};

struct UsnRecord {
  uint64_t stream_offset = 0;  // where it was read: a byte offset in $J (or in the file)
  uint16_t major = 0;
  uint16_t minor = 0;
  int64_t usn = 0;
  uint64_t time = 0;  // FILETIME; 0 in version 4
  uint32_t reason = 0;
  uint32_t source_info = 0;
  uint32_t security_id = 0;
  uint32_t attributes = 0;
  UsnFileId file;
  UsnFileId parent;
  std::span<const uint8_t> name;  // UTF-16LE bytes, valid during the callback only
  uint32_t remaining_extents = 0;
  std::vector<UsnExtent> extents;  // version 4

  std::u16string Name() const;
  bool IsDirectory() const { return attributes & usn::kAttributeDirectory; }
};

// Why bytes that were not padding were passed over. A record whose length
// is good is passed over by its length; after a length out of range the
// rest of its page is (nothing there can be trusted to start a record).
enum class UsnSkip : uint8_t {
  kLengthOutOfRange,  // not a multiple of 8, shorter than its version's header, longer than a page or the stream
  kNamePastRecord,    // the name (or the extents) run past the record's length
  kUnknownVersion,    // a major version other than 2, 3 and 4
  kUnreadable,        // the bytes could not be read from the source
  kCount,
};
const char* UsnSkipName(UsnSkip reason);

// The record at the start of bytes (bytes: to the end of what is mapped),
// or why it is not one. A zero length is not decoded (padding: the caller
// steps over it).
std::optional<UsnSkip> DecodeUsnRecord(std::span<const uint8_t> bytes, UsnRecord& out);

// Where the bytes of $J come from: the byte ranges that hold data (the
// sparse head and any other hole left out) and a reader of them.
class JournalStream {
 public:
  virtual ~JournalStream() = default;
  struct Range {
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  virtual std::vector<Range> Ranges() const = 0;
  virtual bool Read(uint64_t offset, std::span<uint8_t> out) = 0;
};

// $J of a volume, read through its run list; the holes are never read.
class VolumeJournalStream : public JournalStream {
 public:
  VolumeJournalStream(AttributeReader reader, uint32_t bytes_per_cluster)
      : reader_(std::move(reader)), cluster_(bytes_per_cluster) {}
  std::vector<Range> Ranges() const override;
  bool Read(uint64_t offset, std::span<uint8_t> out) override { return reader_.ReadMapped(offset, out); }

 private:
  AttributeReader reader_;
  uint32_t cluster_;
};

// A collected $J in a file: the whole file is one range (a head kept as
// zeros is stepped over as padding).
class FileJournalStream : public JournalStream {
 public:
  explicit FileJournalStream(std::unique_ptr<ByteSource> file) : file_(std::move(file)) {}
  std::vector<Range> Ranges() const override;
  bool Read(uint64_t offset, std::span<uint8_t> out) override { return file_->ReadAt(offset, out); }

 private:
  std::unique_ptr<ByteSource> file_;
};

struct UsnWalkCounts {
  uint64_t records = 0;
  uint64_t bytes_read = 0;
  std::array<uint64_t, static_cast<size_t>(UsnSkip::kCount)> skipped{};
  uint64_t Skipped(UsnSkip reason) const { return skipped[static_cast<size_t>(reason)]; }
};

// One sequential pass over every range in blocks of kUsnBlockBytes,
// each record handed to visit in stream order.
inline constexpr uint32_t kUsnBlockBytes = 4u << 20;
UsnWalkCounts WalkUsnJournal(JournalStream& stream, const std::function<void(const UsnRecord&)>& visit);

struct UsnJournalInfo {
  uint64_t journal_id = 0;
  int64_t lowest_valid_usn = 0;
  uint64_t maximum_size = 0;
  uint64_t allocation_delta = 0;
};
UsnJournalInfo DecodeUsnMax(std::span<const uint8_t> value);

// The volume's journal: $Max decoded (nullopt when it cannot be read) and
// $J's stream; an error when there is no journal ($Extend\$UsnJrnl absent,
// kAbsent) or $J cannot be read.
struct VolumeJournal {
  std::optional<UsnJournalInfo> info;
  std::unique_ptr<JournalStream> stream;
};
Expected<VolumeJournal> OpenVolumeJournal(VolumeContext& volume);

}  // namespace velmora
