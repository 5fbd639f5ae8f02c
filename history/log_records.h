// The log file read whole: both restart areas, then every log record the
// record pages still hold, in LSN order, and what NTFS's operations in them
// changed.
//
// The log is circular: records are written one after another through the
// record pages, continuing on the next page when one does not fit, and at
// the end of the log file writing starts again at the first record page
// with the sequence number (the top bits of an LSN) one higher. The pages
// ahead of the newest record still hold records of the previous pass, the
// oldest the log keeps; the walk starts there. A log covers a short window
// of recent activity: minutes to hours on a busy volume.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/byte_source.h"
#include "base/error.h"
#include "base/types.h"
#include "ntfs/types.h"

namespace velmora {

struct LogClient {
  uint64_t oldest_lsn = 0;
  uint64_t restart_lsn = 0;
  uint16_t previous = 0;
  uint16_t next = 0;
  uint16_t sequence = 0;
  std::u16string name;
};

// One restart page and its restart area, as read.
struct LogRestart {
  uint64_t offset = 0;           // in the log file
  std::optional<Error> problem;  // why this copy cannot be used
  uint64_t chkdsk_lsn = 0;
  uint32_t system_page_size = 0;
  uint32_t log_page_size = 0;
  int16_t major_version = 0;
  int16_t minor_version = 0;
  uint64_t current_lsn = 0;
  uint16_t log_clients = 0;
  uint16_t client_free_list = 0;
  uint16_t client_in_use_list = 0;
  uint16_t flags = 0;
  uint32_t sequence_bits = 0;
  uint16_t area_length = 0;
  uint16_t client_array_offset = 0;
  uint64_t file_size = 0;
  uint32_t last_lsn_data_length = 0;
  uint16_t record_header_length = 0;
  uint16_t page_data_offset = 0;
  uint32_t open_count = 0;
  std::vector<LogClient> clients;
};

// Where an operation's file record numbers come from: the volume's
// geometry, or the usual one (4 KiB clusters, 1 KiB records) for a log
// read alone.
struct LogGeometry {
  uint32_t bytes_per_cluster = 4096;
  uint32_t bytes_per_file_record = 1024;
};

// One log record, valid during the visit.
struct LogRecordView {
  uint64_t lsn = 0;
  uint64_t previous_lsn = 0;
  uint64_t undo_next_lsn = 0;
  uint32_t client_data_length = 0;
  uint16_t client_sequence = 0;
  uint16_t client_index = 0;
  uint32_t record_type = 0;
  uint32_t transaction = 0;
  uint16_t flags = 0;
  uint64_t file_offset = 0;  // of its header
  uint32_t pages = 1;        // record pages it spans
  std::span<const uint8_t> client_data;
  // NTFS's operation header (client records).
  bool has_operation = false;
  uint16_t redo_operation = 0;
  uint16_t undo_operation = 0;
  uint16_t redo_offset = 0;
  uint16_t redo_length = 0;
  uint16_t undo_offset = 0;
  uint16_t undo_length = 0;
  uint16_t target_attribute = 0;
  uint16_t lcns_to_follow = 0;
  uint16_t record_offset = 0;
  uint16_t attribute_offset = 0;
  uint16_t cluster_block_offset = 0;
  Vcn target_vcn;
  std::span<const uint8_t> lcn_bytes;  // lcns_to_follow u64 values
  std::span<const uint8_t> redo;
  std::span<const uint8_t> undo;
  std::optional<uint64_t> mft_record;  // the file record an MFT operation targets

  Lcn LcnAt(size_t i) const;
};

// Why a record the pages hold was not decoded.
enum class LogSkip : uint8_t {
  kOutsidePages,      // its lengths run past its pages, the log or the bound on one record
  kLsnLoop,           // its LSN, previous or undo-next LSN does not go back in the chain
  kUnknownOperation,  // a redo or undo operation code (or record type) outside the documented ones
  kTornPage,          // a page it lies on failed its update sequence
  kCount,
};
std::string_view LogSkipName(LogSkip reason);

// The largest log record decoded: NTFS's largest (an index buffer with its
// header) is a few pages.
inline constexpr uint32_t kMaxLogRecordBytes = 1u << 20;
// The most record pages a log may have: 4 GiB of 4 KiB pages.
inline constexpr uint64_t kMaxLogPages = 1u << 20;

class LogRecords {
 public:
  // Reads both restart pages of a log of log_bytes bytes. When neither
  // holds a usable restart area (each says why) there is nothing to walk.
  static Expected<LogRecords> Open(ByteSource& log, uint64_t log_bytes, LogGeometry geometry);

  const std::array<LogRestart, 2>& restarts() const { return restarts_; }
  int current() const { return current_; }  // the copy with the newer current LSN

  using Visitor = std::function<void(const LogRecordView&)>;
  // Every record the record pages hold, oldest first. Memory: a page
  // table of 16 bytes a page, a 1 MiB read window and one record.
  void Walk(const Visitor& visit);

  uint64_t decoded() const { return decoded_; }
  uint64_t pages() const { return page_count_; }
  uint64_t Skipped(LogSkip reason) const { return skipped_[static_cast<size_t>(reason)]; }
  uint64_t torn_pages() const { return torn_pages_; }

 private:
  LogRecords(ByteSource& log, uint64_t log_bytes, LogGeometry geometry) : log_(&log), log_bytes_(log_bytes), geometry_(geometry) {}
  struct PageInfo {
    uint64_t last_lsn = 0;
    uint32_t index = 0;
    bool usable = false;
  };
  const uint8_t* Page(uint64_t index);
  bool ScanPages();
  std::optional<uint32_t> FindRecordStart(uint64_t page, uint64_t after, bool any);
  void Skip(LogSkip reason) { ++skipped_[static_cast<size_t>(reason)]; }

  ByteSource* log_;
  uint64_t log_bytes_;
  LogGeometry geometry_;
  std::array<LogRestart, 2> restarts_;
  int current_ = 0;
  // The record pages: [first_page_, first_page_ + page_count_ pages).
  uint64_t first_page_ = 0;
  uint64_t page_count_ = 0;
  uint32_t page_size_ = 0;
  uint32_t data_offset_ = 0;
  uint32_t header_length_ = 0;
  uint32_t sequence_bits_ = 0;
  bool wraps_ = false;
  std::vector<uint8_t> state_;  // per page: 0 unused, 1 record page, 2 torn
  std::vector<PageInfo> order_;
  std::vector<uint8_t> window_;
  uint64_t window_first_ = 0;
  uint64_t window_pages_ = 0;
  std::vector<uint8_t> record_;
  uint64_t decoded_ = 0;
  uint64_t torn_pages_ = 0;
  std::array<uint64_t, static_cast<size_t>(LogSkip::kCount)> skipped_{};
};

// What one operation changed, where the log says enough to tell.
enum class LogEventKind : uint8_t {
  kStandardInformationChanged,  // resident $STANDARD_INFORMATION times rewritten
  kNameAdded,                   // an index entry with a $FILE_NAME key added to a directory
  kNameRemoved,                 // one deleted
  kRecordAllocated,             // a file record initialized
  kRecordDeallocated,           // a file record freed
};
std::string_view LogEventName(LogEventKind kind);

// A $STANDARD_INFORMATION or $FILE_NAME time field, in value order.
enum class TimeField : uint8_t { kCreated, kModified, kRecordChanged, kAccessed, kCount };
std::string_view TimeFieldName(TimeField field);

struct TimeChange {
  bool present = false;
  uint64_t before = 0;
  uint64_t after = 0;
};

struct LogEvent {
  LogEventKind kind = LogEventKind::kRecordAllocated;
  uint64_t lsn = 0;
  uint32_t transaction = 0;
  std::optional<uint64_t> record;  // the file record touched
  // kStandardInformationChanged: the times the update covers.
  std::array<TimeChange, static_cast<size_t>(TimeField::kCount)> times{};
  // kNameAdded / kNameRemoved: the entry.
  FileReference file;
  FileReference parent;
  std::u16string name;
  uint8_t name_space = 0;
  std::array<uint64_t, static_cast<size_t>(TimeField::kCount)> name_times{};
};

// The events of one record (none for most), appended to out.
void LogEventsOf(const LogRecordView& record, std::vector<LogEvent>& out);

// The $STANDARD_INFORMATION changes of a whole log, kept to be told beside
// the records they rewrote: one small entry an event (under 128 bytes;
// 72,780 events, a full 64 MiB log's, take about 8 MiB), none of the rest.
struct LoggedTimeChange {
  uint64_t record = 0;
  uint64_t lsn = 0;
  uint32_t transaction = 0;
  std::array<TimeChange, static_cast<size_t>(TimeField::kCount)> times{};
};

class LoggedTimeChanges {
 public:
  // Keeps a standard_information_changed event whose record is known.
  void Add(const LogEvent& event);
  // Orders the changes by record, each record's in the log's LSN order.
  void Finish();
  // A record's changes, oldest first; empty when the log holds none.
  std::span<const LoggedTimeChange> Of(uint64_t record) const;
  size_t size() const { return changes_.size(); }

 private:
  std::vector<LoggedTimeChange> changes_;
};

}  // namespace velmora
