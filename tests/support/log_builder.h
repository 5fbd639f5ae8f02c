// A $LogFile written as NTFS writes one, for the tests and the fuzz seeds:
// restart pages, records one after another through the record pages, and
// NTFS's operation header with its redo and undo bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "ntfs/log_file.h"
#include "tests/support/synthetic_volume.h"

namespace velmora::testing {

inline void PutLe(std::span<uint8_t> bytes, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void Put16(std::span<uint8_t> bytes, size_t at, uint16_t value) { PutLe(bytes, at, value, 2); }
inline void Put32(std::span<uint8_t> bytes, size_t at, uint32_t value) { PutLe(bytes, at, value, 4); }
inline void Put64(std::span<uint8_t> bytes, size_t at, uint64_t value) { PutLe(bytes, at, value, 8); }

namespace log_pages {

inline constexpr uint32_t kPage = 0x1000;
inline constexpr uint32_t kData = 0x40;    // first record byte of a record page
inline constexpr uint32_t kHeader = 0x30;  // log record header
inline constexpr uint32_t kBits = 0x2A;    // sequence number bits
inline constexpr uint64_t kFirstRecordPage = 0x4000;  // two restart pages, two tail copies

using Bytes = std::vector<uint8_t>;
using Op = logfile::LogOperation;

// A log written as NTFS writes one: records one after another from the
// first record page, 8-byte aligned, continuing on the next page when they
// do not fit and from the first record page again, one sequence number
// higher, at the end of the log. Each page is protected by its update
// sequence when the log is finished.
class LogBuilder {
 public:
  explicit LogBuilder(uint32_t record_pages) : bytes_(kFirstRecordPage + uint64_t{record_pages} * kPage, 0) {
    entered_.assign(record_pages, -1);
  }

  // Appends one record; returns its LSN.
  uint64_t Append(uint32_t transaction, const Bytes& client_data, uint64_t previous = 0, uint32_t type = 1) {
    if (pos_ + kHeader > kPage) NextPage();
    if (pos_ == kData) Enter(written_.size());
    const uint64_t lsn = Lsn(page_, pos_);
    Bytes record(kHeader + client_data.size(), 0);
    Put64(record, 0x00, lsn);
    Put64(record, 0x08, previous);
    Put32(record, 0x18, static_cast<uint32_t>(client_data.size()));
    Put32(record, 0x20, type);
    Put32(record, 0x24, transaction);
    if (pos_ + record.size() > kPage) Put16(record, 0x28, logfile::kRecordMultiPage);
    std::copy(client_data.begin(), client_data.end(), record.begin() + kHeader);
    written_.push_back(Written{lsn, {page_}});
    size_t at = 0;
    while (true) {
      const size_t take = std::min<size_t>(record.size() - at, kPage - pos_);
      std::copy(record.begin() + at, record.begin() + at + take, PageBytes(page_) + pos_);
      at += take;
      pos_ += static_cast<uint32_t>(take);
      if (at == record.size()) break;
      NextPage();
      Enter(written_.size() - 1);
      written_.back().pages.push_back(page_);
    }
    Put64(PageSpan(page_), logfile::kPageLastEndLsn, lsn);
    Put32(PageSpan(page_), logfile::kPageFlags, 1);
    pos_ = (pos_ + 7) & ~7u;
    Put16(PageSpan(page_), logfile::kPageNextRecordOffset, static_cast<uint16_t>(pos_));
    Put64(PageSpan(written_.back().pages.front()), logfile::kPageLastLsn, lsn);
    for (uint32_t p : written_.back().pages) {
      if (p != written_.back().pages.front() && LastLsnOf(p) == 0) Put64(PageSpan(p), logfile::kPageLastLsn, lsn);
    }
    newest_ = lsn;
    return lsn;
  }

  // The restart pages and every page's update sequence.
  Bytes Finish() {
    for (uint64_t copy = 0; copy < 2; ++copy) {
      std::span<uint8_t> page(bytes_.data() + copy * kPage, kPage);
      Put32(page, 0x00, logfile::kRestartSignature);
      Put32(page, logfile::kSystemPageSize, kPage);
      Put32(page, logfile::kLogPageSize, kPage);
      Put16(page, logfile::kRestartAreaOffset, 0x30);
      Put16(page, logfile::kMinorVersion, 1);
      Put16(page, logfile::kMajorVersion, 1);
      std::span<uint8_t> area = page.subspan(0x30);
      Put64(area, logfile::kCurrentLsn, newest_);
      Put16(area, logfile::kLogClients, 1);
      Put16(area, logfile::kClientFreeList, logfile::kNoClient);
      Put16(area, logfile::kRestartFlags, 2);
      Put32(area, logfile::kSequenceNumberBits, kBits);
      Put16(area, logfile::kRestartAreaLength, 0xE0);
      Put16(area, logfile::kClientArrayOffset, 0x40);
      Put64(area, logfile::kFileSize, bytes_.size());
      Put16(area, logfile::kRecordHeaderLength, kHeader);
      Put16(area, logfile::kLogPageDataOffset, kData);
      std::span<uint8_t> client = area.subspan(0x40);
      Put16(client, logfile::kClientPrevious, logfile::kNoClient);
      Put16(client, logfile::kClientNext, logfile::kNoClient);
      Put32(client, logfile::kClientNameLength, 8);
      for (size_t i = 0; i < 4; ++i) Put16(client, logfile::kClientName + 2 * i, u"NTFS"[i]);
      Protect(page, 0x1E, 0x0007);
    }
    for (uint32_t p = 0; p < entered_.size(); ++p) {
      if (entered_[p] >= 0) Protect(PageSpan(p), 0x28, 0x0003);
    }
    return bytes_;
  }

  // The records no later page entry destroyed, oldest first.
  std::vector<uint64_t> Surviving() const {
    std::vector<uint64_t> lsns;
    for (size_t r = 0; r < written_.size(); ++r) {
      bool intact = true;
      for (uint32_t p : written_[r].pages) intact &= entered_[p] <= static_cast<int64_t>(r);
      if (intact) lsns.push_back(written_[r].lsn);
    }
    return lsns;
  }

  size_t written() const { return written_.size(); }

  // Of the surviving records on a page: those that start on it, and those
  // that start on an earlier page and run into it.
  std::pair<size_t, size_t> OnPage(uint32_t page) const {
    std::pair<size_t, size_t> counts;
    const std::vector<uint64_t> surviving = Surviving();
    for (const Written& w : written_) {
      if (!std::count(surviving.begin(), surviving.end(), w.lsn)) continue;
      if (w.pages.front() == page) ++counts.first;
      else if (std::count(w.pages.begin(), w.pages.end(), page)) ++counts.second;
    }
    return counts;
  }

 private:
  struct Written {
    uint64_t lsn;
    std::vector<uint32_t> pages;
  };
  uint8_t* PageBytes(uint32_t p) { return bytes_.data() + kFirstRecordPage + uint64_t{p} * kPage; }
  std::span<uint8_t> PageSpan(uint32_t p) { return {PageBytes(p), kPage}; }
  uint64_t LastLsnOf(uint32_t p) { return LeBytes(PageSpan(p)).U64(logfile::kPageLastLsn); }
  uint64_t Lsn(uint32_t p, uint32_t pos) const {
    return (sequence_ << (64 - kBits)) | ((kFirstRecordPage + uint64_t{p} * kPage + pos) >> 3);
  }
  void NextPage() {
    ++page_;
    if (page_ == entered_.size()) {
      page_ = 0;
      ++sequence_;
    }
    pos_ = kData;
  }
  // The writer starts a page afresh: whatever it held is gone.
  void Enter(size_t record) {
    std::fill(PageBytes(page_), PageBytes(page_) + kPage, 0);
    Put32(PageSpan(page_), 0, logfile::kRecordSignature);
    entered_[page_] = static_cast<int64_t>(record);
  }

  Bytes bytes_;
  std::vector<int64_t> entered_;  // per page: the record that last started it afresh
  std::vector<Written> written_;
  uint32_t page_ = 0;
  uint32_t pos_ = kData;
  uint64_t sequence_ = 1;
  uint64_t newest_ = 0;
};

// NTFS's operation header with its redo and undo bytes.
inline Bytes Operation(Op redo_op, Op undo_op, const Bytes& redo, const Bytes& undo, uint64_t record,
                uint16_t record_offset = 0x38, uint16_t attribute_offset = 0) {
  Bytes data(0x28 + redo.size() + undo.size(), 0);
  Put16(data, logfile::kRedoOperation, static_cast<uint16_t>(redo_op));
  Put16(data, logfile::kUndoOperation, static_cast<uint16_t>(undo_op));
  Put16(data, logfile::kRedoOffset, 0x28);
  Put16(data, logfile::kRedoLength, static_cast<uint16_t>(redo.size()));
  Put16(data, logfile::kUndoOffset, static_cast<uint16_t>(0x28 + redo.size()));
  Put16(data, logfile::kUndoLength, static_cast<uint16_t>(undo.size()));
  Put16(data, logfile::kLcnsToFollow, 1);
  Put16(data, logfile::kRecordOffset, record_offset);
  Put16(data, logfile::kAttributeOffset, attribute_offset);
  // 1 KiB records in 4 KiB clusters: four a cluster, two 512-byte blocks each.
  Put16(data, logfile::kClusterBlockOffset, static_cast<uint16_t>(record % 4 * 2));
  Put64(data, logfile::kTargetVcn, record / 4);
  Put64(data, logfile::kLcnList, 0xC000 + record / 4);
  std::copy(redo.begin(), redo.end(), data.begin() + 0x28);
  std::copy(undo.begin(), undo.end(), data.begin() + 0x28 + redo.size());
  return data;
}

inline Bytes Times(uint64_t modified, uint64_t changed) {
  Bytes t(16);
  Put64(t, 0, modified);
  Put64(t, 8, changed);
  return t;
}

// An $I30 index entry for name in directory 5.
inline Bytes NameEntry(uint64_t file, const std::u16string& name, uint64_t created) {
  Bytes key = FileNameValue(0x0005000000000005, name, 1, 0, created + 3);
  Put64(key, 0x08, created);
  Put64(key, 0x10, created + 1);
  Put64(key, 0x18, created + 2);
  Bytes entry(0x10 + ((key.size() + 7) & ~size_t{7}), 0);
  Put64(entry, 0, file);
  Put16(entry, 8, static_cast<uint16_t>(entry.size()));
  Put16(entry, 10, static_cast<uint16_t>(key.size()));
  std::copy(key.begin(), key.end(), entry.begin() + 0x10);
  return entry;
}

inline Bytes Filler(size_t bytes) { return Operation(Op::kUpdateNonresidentValue, Op::kNoop, Bytes(bytes, 0xAB), {}, 0); }

}  // namespace log_pages
}  // namespace velmora::testing
