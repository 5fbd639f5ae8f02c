#include "history/log_records.h"

#include <algorithm>
#include <bit>

#include "base/bytes.h"
#include "base/format.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/log_file.h"
#include "ntfs/standard_information.h"
#include "ntfs/volume.h"

namespace velmora {

namespace {

using namespace logfile;

constexpr uint32_t kMinLogPage = 512;
// Record pages after the restart pages that hold copies of the page being
// written (tail copies), not records of the circular area: two before log
// version 2.0, thirty-two from it on.
constexpr uint64_t TailPages(int16_t major_version) { return major_version >= 2 ? 32 : 2; }

// The read window: this many bytes of consecutive pages are read at once.
constexpr uint64_t kWindowBytes = 1u << 20;

enum PageState : uint8_t { kUnused = 0, kRecordPage = 1, kTorn = 2 };

bool UsablePageSize(uint32_t size) {
  return std::has_single_bit(size) && size >= kMinLogPage && size <= kMaxPageBuffer;
}

Error Damaged(uint64_t offset, std::u16string why) {
  return Error{Format("restart page at 0x%I64X", offset), std::move(why)};
}

// One restart page: the page header, the restart area and its clients,
// each checked against the page before it is taken.
LogRestart ReadRestart(ByteSource& log, uint64_t log_bytes, uint64_t offset) {
  LogRestart restart;
  restart.offset = offset;
  std::vector<uint8_t> page(kMinLogPage);
  if (offset >= log_bytes || log_bytes - offset < kMinLogPage || !log.ReadAt(offset, page)) {
    restart.problem = Damaged(offset, u"cannot be read");
    restart.problem->kind = ErrorKind::kUnreadable;
    return restart;
  }
  LeBytes head(page);
  if (head.U32(kPageSignature) != kRestartSignature) {
    restart.problem = Damaged(offset, u"no RSTR signature");
    return restart;
  }
  restart.chkdsk_lsn = head.U64(kChkDskLsn);
  restart.system_page_size = head.U32(kSystemPageSize);
  restart.log_page_size = head.U32(kLogPageSize);
  restart.minor_version = static_cast<int16_t>(head.U16(kMinorVersion));
  restart.major_version = static_cast<int16_t>(head.U16(kMajorVersion));
  if (!UsablePageSize(restart.system_page_size) || !UsablePageSize(restart.log_page_size)) {
    restart.problem = Damaged(offset, Format("page sizes 0x%X and 0x%X, not powers of two from 512 to 64 KiB",
                                             restart.system_page_size, restart.log_page_size));
    return restart;
  }
  // The whole page, in a buffer of its own size (a resize of the first one
  // trips a false array-bounds warning of the 32-bit Windows compiler).
  page = std::vector<uint8_t>(restart.system_page_size);
  if (log_bytes - offset < page.size() || !log.ReadAt(offset, page)) {
    restart.problem = Damaged(offset, u"cannot be read");
    restart.problem->kind = ErrorKind::kUnreadable;
    return restart;
  }
  if (!ApplyUpdateSequence(page, kUpdateSequenceStride)) {
    restart.problem = Damaged(offset, u"torn: its update sequence does not match");
    return restart;
  }
  const LeBytes bytes(page);
  const uint64_t area = bytes.U16(kRestartAreaOffset);
  if (area % 8 != 0 || !bytes.Fits(area, kRestartAreaBytes)) {
    restart.problem = Damaged(offset, Format("restart area offset 0x%I64X outside the page", area));
    return restart;
  }
  const LeBytes ra(bytes.Sub(area, bytes.size() - area));
  restart.current_lsn = ra.U64(kCurrentLsn);
  restart.log_clients = ra.U16(kLogClients);
  restart.client_free_list = ra.U16(kClientFreeList);
  restart.client_in_use_list = ra.U16(kClientInUseList);
  restart.flags = ra.U16(kRestartFlags);
  restart.sequence_bits = ra.U32(kSequenceNumberBits);
  restart.area_length = ra.U16(kRestartAreaLength);
  restart.client_array_offset = ra.U16(kClientArrayOffset);
  restart.file_size = ra.U64(kFileSize);
  restart.last_lsn_data_length = ra.U32(kLastLsnDataLength);
  restart.record_header_length = ra.U16(kRecordHeaderLength);
  restart.page_data_offset = ra.U16(kLogPageDataOffset);
  restart.open_count = ra.U32(kRestartOpenCount);
  if (restart.sequence_bits < 3 || restart.sequence_bits > 63) {
    restart.problem = Damaged(offset, Format("%u sequence number bits, outside 3 to 63", restart.sequence_bits));
    return restart;
  }
  // The LSN holds a file offset in eighths below its sequence number: the
  // log cannot be longer than those bits reach.
  if (restart.file_size != 0 && ((restart.file_size - 1) >> 3) >> (64 - restart.sequence_bits) != 0) {
    restart.problem = Damaged(offset, Format("a log of 0x%I64X bytes, beyond what LSNs with %u sequence number bits "
                                             "address",
                                             restart.file_size, restart.sequence_bits));
    return restart;
  }
  if (restart.record_header_length < kClientData || restart.page_data_offset < kRecordPageHeaderBytes ||
      restart.page_data_offset % 8 != 0 ||
      uint64_t{restart.page_data_offset} + restart.record_header_length > restart.log_page_size) {
    restart.problem = Damaged(offset, Format("record header length 0x%X and page data offset 0x%X do not fit a "
                                             "0x%X-byte page",
                                             restart.record_header_length, restart.page_data_offset,
                                             restart.log_page_size));
    return restart;
  }
  const uint64_t clients = restart.client_array_offset;
  if (!ra.Fits(clients, uint64_t{restart.log_clients} * kClientRecordBytes)) {
    restart.problem = Damaged(offset, Format("%u client records at 0x%X run past the page", restart.log_clients,
                                             restart.client_array_offset));
    return restart;
  }
  for (uint16_t i = 0; i < restart.log_clients; ++i) {
    const LeBytes client(ra.Sub(clients + i * kClientRecordBytes, kClientRecordBytes));
    LogClient c;
    c.oldest_lsn = client.U64(kClientOldestLsn);
    c.restart_lsn = client.U64(kClientRestartLsn);
    c.previous = client.U16(kClientPrevious);
    c.next = client.U16(kClientNext);
    c.sequence = client.U16(kClientSequence);
    const uint64_t name_bytes = std::min<uint64_t>(client.U32(kClientNameLength), kClientRecordBytes - kClientName);
    c.name = client.Utf16(kClientName, name_bytes / 2);
    restart.clients.push_back(std::move(c));
  }
  return restart;
}

// Undoes a record page's update sequence; its signature first.
PageState FixPage(std::span<uint8_t> page) {
  if (LeBytes(page).U32(kPageSignature) != kRecordSignature) return kUnused;
  return ApplyUpdateSequence(page, kUpdateSequenceStride) ? kRecordPage : kTorn;
}

}  // namespace

std::string_view LogSkipName(LogSkip reason) {
  switch (reason) {
    case LogSkip::kOutsidePages: return "lengths outside its pages";
    case LogSkip::kLsnLoop: return "loop in the LSN chain";
    case LogSkip::kUnknownOperation: return "unknown operation code";
    case LogSkip::kTornPage: return "torn page";
    case LogSkip::kCount: break;
  }
  return "";
}

Lcn LogRecordView::LcnAt(size_t i) const { return Lcn(LeBytes(lcn_bytes).U64(i * 8)); }

Expected<LogRecords> LogRecords::Open(ByteSource& log, uint64_t log_bytes, LogGeometry geometry) {
  LogRecords records(log, log_bytes, geometry);
  records.restarts_[0] = ReadRestart(log, log_bytes, 0);
  // The second copy follows the first; a first copy too damaged to say how
  // long it is leaves the usual 4 KiB.
  const uint32_t second = records.restarts_[0].system_page_size != 0 && !records.restarts_[0].problem
                              ? records.restarts_[0].system_page_size
                              : static_cast<uint32_t>(kSecondRestartPage);
  records.restarts_[1] = ReadRestart(log, log_bytes, second);
  const bool first_ok = !records.restarts_[0].problem;
  const bool second_ok = !records.restarts_[1].problem;
  // A log with neither copy usable (all 0xFF: one Windows has emptied)
  // has no records to walk.
  if (!first_ok && !second_ok) return records;
  records.current_ = !first_ok || (second_ok && records.restarts_[1].current_lsn > records.restarts_[0].current_lsn);
  const LogRestart& restart = records.restarts_[records.current_];
  records.page_size_ = restart.log_page_size;
  records.data_offset_ = restart.page_data_offset;
  records.header_length_ = restart.record_header_length;
  records.sequence_bits_ = restart.sequence_bits;
  // Restart pages, tail copies, then the circular area up to the log's end.
  uint64_t first = 2 * uint64_t{restart.system_page_size} + TailPages(restart.major_version) * restart.log_page_size;
  first = (first + restart.log_page_size - 1) & ~uint64_t{restart.log_page_size - 1};
  const uint64_t end = std::min(log_bytes, restart.file_size != 0 ? restart.file_size : log_bytes);
  records.first_page_ = first;
  records.page_count_ = end > first ? std::min((end - first) / restart.log_page_size, kMaxLogPages) : 0;
  // Writing wraps at the end of the log the restart area names; a shorter
  // copy (a cut collection) ends without wrapping.
  records.wraps_ = restart.file_size == first + records.page_count_ * restart.log_page_size;
  return records;
}

const uint8_t* LogRecords::Page(uint64_t index) {
  if (index >= page_count_) return nullptr;
  if (index < window_first_ || index >= window_first_ + window_pages_) {
    const uint64_t per_window = std::max<uint64_t>(1, kWindowBytes / page_size_);
    window_first_ = index;
    window_pages_ = std::min(per_window, page_count_ - index);
    window_.resize(window_pages_ * page_size_);
    if (!log_->ReadAt(first_page_ + index * page_size_, window_)) {
      // Page by page, so that one unreadable page loses only itself.
      for (uint64_t i = 0; i < window_pages_; ++i) {
        std::span<uint8_t> page(window_.data() + i * page_size_, page_size_);
        if (!log_->ReadAt(first_page_ + (index + i) * page_size_, page)) std::fill(page.begin(), page.end(), 0);
      }
    }
    for (uint64_t i = 0; i < window_pages_; ++i) {
      const PageState state = FixPage(std::span<uint8_t>(window_.data() + i * page_size_, page_size_));
      if (state_.size() > index + i) state_[index + i] = state;
    }
  }
  return window_.data() + (index - window_first_) * page_size_;
}

bool LogRecords::ScanPages() {
  state_.assign(page_count_, kUnused);
  window_pages_ = 0;
  order_.clear();
  for (uint64_t i = 0; i < page_count_; ++i) {
    const LeBytes page(std::span<const uint8_t>(Page(i), page_size_));
    if (state_[i] == kTorn) ++torn_pages_;
    if (state_[i] != kRecordPage) continue;
    order_.push_back(PageInfo{page.U64(kPageLastLsn), static_cast<uint32_t>(i), true});
  }
  // Pages by their last LSN; pages of one record spanning several share it
  // and stay in log order.
  std::stable_sort(order_.begin(), order_.end(),
                   [](const PageInfo& a, const PageInfo& b) { return a.last_lsn < b.last_lsn; });
  return !order_.empty();
}

// The first place in the page where a record header carries the LSN of
// its own position, newer than `after` (any, for the first).
std::optional<uint32_t> LogRecords::FindRecordStart(uint64_t page, uint64_t after, bool any) {
  const uint8_t* bytes = Page(page);
  if (!bytes || state_[page] != kRecordPage) return std::nullopt;
  const LeBytes view(std::span<const uint8_t>(bytes, page_size_));
  const uint64_t page_offset = first_page_ + page * page_size_;
  for (uint32_t pos = data_offset_; pos + header_length_ <= page_size_; pos += 8) {
    const uint64_t lsn = view.U64(pos + kThisLsn);
    if (lsn == 0 || (any && lsn <= after)) continue;
    if (((lsn << sequence_bits_) >> (sequence_bits_ - 3)) == page_offset + pos) return pos;
  }
  return std::nullopt;
}

void LogRecords::Walk(const Visitor& visit) {
  if (page_count_ == 0 || !ScanPages()) return;
  const uint64_t offset_mask = (uint64_t{1} << (64 - sequence_bits_)) - 1;
  auto make_lsn = [&](uint64_t sequence, uint64_t file_offset) {
    return (sequence << (64 - sequence_bits_)) | ((file_offset >> 3) & offset_mask);
  };
  uint64_t last = 0;  // the newest LSN taken so far
  bool any = false;
  size_t candidate = 0;
  LogRecordView view;
  while (true) {
    while (candidate < order_.size() && any && order_[candidate].last_lsn <= last) ++candidate;
    if (candidate >= order_.size()) break;
    uint64_t page = order_[candidate].index;
    auto start = FindRecordStart(page, last, any);
    if (!start) {
      ++candidate;
      continue;
    }
    uint32_t pos = *start;
    // Follow the records from here while each next one is where, and has
    // the LSN, the one before says.
    while (true) {
      const uint8_t* bytes = Page(page);
      if (!bytes || state_[page] != kRecordPage) break;
      const LeBytes header(std::span<const uint8_t>(bytes + pos, header_length_));
      const uint64_t lsn = header.U64(kThisLsn);
      if (any && lsn <= last) break;
      if (((lsn << sequence_bits_) >> (sequence_bits_ - 3)) != first_page_ + page * page_size_ + pos) break;
      any = true;
      last = lsn;
      view = LogRecordView{};
      view.lsn = lsn;
      view.previous_lsn = header.U64(kClientPreviousLsn);
      view.undo_next_lsn = header.U64(kClientUndoNextLsn);
      view.client_data_length = header.U32(kClientDataLength);
      view.client_sequence = header.U16(kSeqNumber);
      view.client_index = header.U16(kClientIndex);
      view.record_type = header.U32(kRecordType);
      view.transaction = header.U32(kTransactionId);
      view.flags = header.U16(kFlags);
      view.file_offset = first_page_ + page * page_size_ + pos;

      // Gather the client data, page by page.
      const uint64_t room = page_size_ - data_offset_;
      if (view.client_data_length > kMaxLogRecordBytes ||
          (uint64_t{view.client_data_length} + header_length_) / room + 2 > page_count_) {
        Skip(LogSkip::kOutsidePages);
        break;
      }
      record_.clear();
      uint64_t remaining = view.client_data_length;
      uint32_t at = pos + header_length_;
      bool wrapped = false;
      bool torn = false;
      while (true) {
        const uint64_t take = std::min<uint64_t>(remaining, page_size_ - at);
        record_.insert(record_.end(), bytes + at, bytes + at + take);
        remaining -= take;
        at += static_cast<uint32_t>(take);
        if (remaining == 0) break;
        if (page + 1 == page_count_ && !wraps_) break;
        page = page + 1 == page_count_ ? 0 : page + 1;
        wrapped |= page == 0;
        ++view.pages;
        bytes = Page(page);
        if (state_[page] != kRecordPage) {
          torn = state_[page] == kTorn;
          break;
        }
        at = data_offset_;
      }
      if (remaining != 0) {
        Skip(torn ? LogSkip::kTornPage : LogSkip::kOutsidePages);
        break;
      }
      view.client_data = record_;
      bool keep = true;
      if ((view.previous_lsn != 0 && view.previous_lsn >= lsn) ||
          (view.undo_next_lsn != 0 && view.undo_next_lsn >= lsn)) {
        Skip(LogSkip::kLsnLoop);
        keep = false;
      } else if (view.record_type == kClientRecord) {
        const LeBytes data(view.client_data);
        if (!data.Fits(0, kLcnList)) {
          Skip(LogSkip::kOutsidePages);
          keep = false;
        } else {
          view.has_operation = true;
          view.redo_operation = data.U16(kRedoOperation);
          view.undo_operation = data.U16(kUndoOperation);
          view.redo_offset = data.U16(kRedoOffset);
          view.redo_length = data.U16(kRedoLength);
          view.undo_offset = data.U16(kUndoOffset);
          view.undo_length = data.U16(kUndoLength);
          view.target_attribute = data.U16(kTargetAttribute);
          view.lcns_to_follow = data.U16(kLcnsToFollow);
          view.record_offset = data.U16(kRecordOffset);
          view.attribute_offset = data.U16(kAttributeOffset);
          view.cluster_block_offset = data.U16(kClusterBlockOffset);
          view.target_vcn = Vcn(data.U64(kTargetVcn));
          if (view.redo_operation >= kOperationCount || view.undo_operation >= kOperationCount) {
            Skip(LogSkip::kUnknownOperation);
            keep = false;
          } else if (!data.Fits(kLcnList, uint64_t{view.lcns_to_follow} * 8) ||
                     (view.redo_length && !data.Fits(view.redo_offset, view.redo_length)) ||
                     (view.undo_length && !data.Fits(view.undo_offset, view.undo_length))) {
            Skip(LogSkip::kOutsidePages);
            keep = false;
          } else {
            view.lcn_bytes = data.Sub(kLcnList, uint64_t{view.lcns_to_follow} * 8);
            view.redo = data.Sub(view.redo_offset, view.redo_length);
            view.undo = data.Sub(view.undo_offset, view.undo_length);
            const uint16_t op = OperationTargetsFileRecord(view.redo_operation) ? view.redo_operation
                                                                                 : view.undo_operation;
            uint64_t byte = 0;
            if (OperationTargetsFileRecord(op) && geometry_.bytes_per_file_record != 0 &&
                CheckedMul(view.target_vcn.value, geometry_.bytes_per_cluster, byte) &&
                CheckedAdd(byte, uint64_t{view.cluster_block_offset} * kClusterBlockBytes, byte)) {
              view.mft_record = byte / geometry_.bytes_per_file_record;
            }
          }
        }
      } else if (view.record_type != kClientRestart) {
        Skip(LogSkip::kUnknownOperation);
        keep = false;
      }
      if (keep) {
        ++decoded_;
        visit(view);
      }

      // The next record: 8-byte aligned after this one, or at the next
      // page's first record byte when no header fits in what is left.
      uint64_t next = (uint64_t{at} + 7) & ~uint64_t{7};
      if (next + header_length_ > page_size_) {
        if (page + 1 == page_count_ && !wraps_) break;
        page = page + 1 == page_count_ ? 0 : page + 1;
        wrapped |= page == 0;
        next = data_offset_;
      }
      pos = static_cast<uint32_t>(next);
      const uint64_t sequence = (lsn >> (64 - sequence_bits_)) + (wrapped ? 1 : 0);
      const uint64_t expected = make_lsn(sequence, first_page_ + page * page_size_ + pos);
      bytes = Page(page);
      if (!bytes || state_[page] != kRecordPage) break;
      if (LeBytes(std::span<const uint8_t>(bytes, page_size_)).U64(pos + kThisLsn) != expected) break;
    }
  }
}

std::string_view LogEventName(LogEventKind kind) {
  switch (kind) {
    case LogEventKind::kStandardInformationChanged: return "standard_information_changed";
    case LogEventKind::kNameAdded: return "name_added";
    case LogEventKind::kNameRemoved: return "name_removed";
    case LogEventKind::kRecordAllocated: return "record_allocated";
    case LogEventKind::kRecordDeallocated: return "record_deallocated";
  }
  return "";
}

std::string_view TimeFieldName(TimeField field) {
  switch (field) {
    case TimeField::kCreated: return "created";
    case TimeField::kModified: return "modified";
    case TimeField::kRecordChanged: return "record_changed";
    case TimeField::kAccessed: return "accessed";
    case TimeField::kCount: break;
  }
  return "";
}

namespace {

// A file record's attributes begin at 0x38 (NTFS 3.1) or 0x30 (3.0), and
// $STANDARD_INFORMATION, the lowest type, is always the first: an update
// of the attribute there is one of it. Its resident value starts 0x18 into
// the attribute.
constexpr uint16_t kFirstAttribute31 = 0x38;
constexpr uint16_t kFirstAttribute30 = 0x30;
constexpr uint64_t kResidentValue = 0x18;

void StandardInformationEvent(const LogRecordView& record, LogEvent event, std::vector<LogEvent>& out) {
  if (record.record_offset != kFirstAttribute31 && record.record_offset != kFirstAttribute30) return;
  if (record.attribute_offset < kResidentValue) return;
  const uint64_t value_offset = record.attribute_offset - kResidentValue;
  const LeBytes redo(record.redo), undo(record.undo);
  static constexpr uint64_t kFields[] = {standard_information::kCreateTime, standard_information::kModificationTime,
                                         standard_information::kChangeTime, standard_information::kAccessTime};
  bool any = false;
  for (size_t f = 0; f < std::size(kFields); ++f) {
    if (kFields[f] < value_offset) continue;
    const uint64_t at = kFields[f] - value_offset;
    if (!redo.Fits(at, 8) || !undo.Fits(at, 8)) continue;
    event.times[f] = TimeChange{true, undo.U64(at), redo.U64(at)};
    any = true;
  }
  event.kind = LogEventKind::kStandardInformationChanged;
  if (any) out.push_back(std::move(event));
}

// An index entry whose key is a $FILE_NAME: an $I30 entry.
void NameEvent(std::span<const uint8_t> entry_bytes, LogEventKind kind, LogEvent event, std::vector<LogEvent>& out) {
  const LeBytes entry(entry_bytes);
  const uint64_t key_length = entry.U16(index_entry::kKeyLength);
  if (!entry.Fits(index_entry::kKey, key_length) || key_length < file_name::kName) return;
  const LeBytes key(entry.Sub(index_entry::kKey, key_length));
  const uint64_t units = key.U8(file_name::kNameLength);
  if (units == 0 || file_name::kName + 2 * units > key_length || key.U8(file_name::kNameSpace) > 3) return;
  event.kind = kind;
  event.file = FileReference(entry.U64(index_entry::kData));
  event.parent = FileReference(key.U64(file_name::kParentRef));
  event.name = key.Utf16(file_name::kName, units);
  event.name_space = key.U8(file_name::kNameSpace);
  event.name_times = {key.U64(file_name::kCreateTime), key.U64(file_name::kModificationTime),
                      key.U64(file_name::kChangeTime), key.U64(file_name::kAccessTime)};
  out.push_back(std::move(event));
}

}  // namespace

void LogEventsOf(const LogRecordView& record, std::vector<LogEvent>& out) {
  if (!record.has_operation) return;
  LogEvent event;
  event.lsn = record.lsn;
  event.transaction = record.transaction;
  event.record = record.mft_record;
  switch (static_cast<LogOperation>(record.redo_operation)) {
    case LogOperation::kUpdateResidentValue:
      if (record.undo_operation == record.redo_operation && record.mft_record)
        StandardInformationEvent(record, std::move(event), out);
      return;
    case LogOperation::kAddIndexEntryRoot:
    case LogOperation::kAddIndexEntryAllocation:
      NameEvent(record.redo, LogEventKind::kNameAdded, std::move(event), out);
      return;
    case LogOperation::kDeleteIndexEntryRoot:
    case LogOperation::kDeleteIndexEntryAllocation:
      NameEvent(record.undo, LogEventKind::kNameRemoved, std::move(event), out);
      return;
    case LogOperation::kInitializeFileRecordSegment:
      event.kind = LogEventKind::kRecordAllocated;
      if (event.record) out.push_back(std::move(event));
      return;
    case LogOperation::kDeallocateFileRecordSegment:
      event.kind = LogEventKind::kRecordDeallocated;
      if (event.record) out.push_back(std::move(event));
      return;
    default:
      return;
  }
}

void LoggedTimeChanges::Add(const LogEvent& event) {
  if (event.kind != LogEventKind::kStandardInformationChanged || !event.record) return;
  changes_.push_back(LoggedTimeChange{*event.record, event.lsn, event.transaction, event.times});
}

void LoggedTimeChanges::Finish() {
  // The walk gives LSN order; a stable sort keeps it within each record.
  std::stable_sort(changes_.begin(), changes_.end(),
                   [](const LoggedTimeChange& a, const LoggedTimeChange& b) { return a.record < b.record; });
}

std::span<const LoggedTimeChange> LoggedTimeChanges::Of(uint64_t record) const {
  const auto first = std::partition_point(changes_.begin(), changes_.end(),
                                          [record](const LoggedTimeChange& c) { return c.record < record; });
  const auto last = std::partition_point(first, changes_.end(),
                                         [record](const LoggedTimeChange& c) { return c.record == record; });
  return {first, last};
}

}  // namespace velmora
