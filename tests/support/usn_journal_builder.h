// Change journals written from the documented record layout, and a small
// model of a directory tree that writes the records a change makes, as
// Windows does, and logs the path each record's file had at that moment.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/format.h"
#include "history/usn_journal.h"
#include "history/usn_paths.h"

namespace velmora::testing {

class JournalBuilder {
 public:
  // head: bytes of the sparse head (USNs start there).
  explicit JournalBuilder(uint64_t head = 0) : head_(head) {}

  struct Entry {
    static constexpr uint64_t kDefaultTime = 0x01D4B1D9B1E5DDF2;
    Entry() = default;
    Entry(uint16_t version, FileReference file, FileReference parent, uint32_t reason, uint32_t attributes,
          std::u16string name = {}, uint64_t time = kDefaultTime, std::vector<UsnExtent> extents = {})
        : version(version), file(file), parent(parent), reason(reason), attributes(attributes),
          name(std::move(name)), time(time), extents(std::move(extents)) {}
    uint16_t version = 2;
    FileReference file;
    FileReference parent;
    uint32_t reason = 0;
    uint32_t attributes = 0;
    std::u16string name;
    uint64_t time = kDefaultTime;
    std::vector<UsnExtent> extents;  // version 4
  };

  // Appends a record, padding the page first when it would cross one;
  // returns its USN.
  int64_t Add(const Entry& entry) {
    std::vector<uint8_t> record = Encode(entry);
    const int64_t usn = static_cast<int64_t>(Place(record.size()));
    const size_t usn_at = entry.version == 2 ? usn::v2::kUsn : entry.version == 3 ? usn::v3::kUsn : usn::v4::kUsn;
    for (int i = 0; i < 8; ++i) record[usn_at + i] = static_cast<uint8_t>(static_cast<uint64_t>(usn) >> (8 * i));
    bytes_.insert(bytes_.end(), record.begin(), record.end());
    return usn;
  }
  // Appends bytes as they stand (damage), on an 8-byte boundary.
  void AddRaw(std::vector<uint8_t> raw) {
    Place(raw.size());
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
  }

  // Zeros to the end of the page.
  void PadToPage() {
    const uint64_t at = head_ + bytes_.size();
    if (at % usn::kPageBytes) bytes_.resize(bytes_.size() + usn::kPageBytes - at % usn::kPageBytes, 0);
  }

  static std::vector<uint8_t> Encode(const Entry& e) {
    const bool wide = e.version != 2;
    const uint32_t header = e.version == 2 ? usn::v2::kHeaderBytes
                            : e.version == 3 ? usn::v3::kHeaderBytes
                                             : usn::v4::kHeaderBytes;
    const uint32_t body = e.version == 4 ? static_cast<uint32_t>(e.extents.size() * usn::v4::kExtentBytes)
                                         : static_cast<uint32_t>(e.name.size() * 2);
    std::vector<uint8_t> r((header + body + 7) / 8 * 8);
    auto put = [&r](size_t at, uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) r[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    put(usn::kRecordLength, r.size(), 4);
    put(usn::kMajorVersion, e.version, 2);
    put(usn::kFileReference, e.file.value, 8);
    if (e.version == 4) {
      put(usn::v4::kParentReference, e.parent.value, 8);
      put(usn::v4::kReason, e.reason, 4);
      put(usn::v4::kNumberOfExtents, e.extents.size(), 2);
      put(usn::v4::kExtentSize, usn::v4::kExtentBytes, 2);
      for (size_t i = 0; i < e.extents.size(); ++i) {
        put(usn::v4::kExtents + 16 * i, static_cast<uint64_t>(e.extents[i].offset), 8);
        put(usn::v4::kExtents + 16 * i + 8, static_cast<uint64_t>(e.extents[i].length), 8);
      }
      return r;
    }
    const auto& at = wide ? kV3 : kV2;
    put(at[0], e.parent.value, 8);
    put(at[1], e.time, 8);
    put(at[2], e.reason, 4);
    put(at[3], e.attributes, 4);
    put(at[4], e.name.size() * 2, 2);
    put(at[5], header, 2);
    for (size_t i = 0; i < e.name.size(); ++i) put(header + 2 * i, e.name[i], 2);
    return r;
  }

  // The stream as a volume holds it (head zero) or a collection strips it.
  std::vector<uint8_t> Stream(bool with_head) const {
    std::vector<uint8_t> out(with_head ? head_ : 0, 0);
    out.insert(out.end(), bytes_.begin(), bytes_.end());
    return out;
  }
  uint64_t pages_padded() const { return padded_; }

 private:
  static constexpr size_t kV2[] = {usn::v2::kParentReference, usn::v2::kTimeStamp, usn::v2::kReason,
                                   usn::v2::kFileAttributes,  usn::v2::kNameLength, usn::v2::kNameOffset};
  static constexpr size_t kV3[] = {usn::v3::kParentReference, usn::v3::kTimeStamp, usn::v3::kReason,
                                   usn::v3::kFileAttributes,  usn::v3::kNameLength, usn::v3::kNameOffset};
  // Where the next record of `size` bytes goes, zeros written up to it.
  uint64_t Place(size_t size) {
    uint64_t at = head_ + bytes_.size();
    const uint64_t page_end = (at / usn::kPageBytes + 1) * usn::kPageBytes;
    if (at + size > page_end) {
      bytes_.resize(bytes_.size() + (page_end - at), 0);
      at = page_end;
      ++padded_;
    }
    return at;
  }
  uint64_t head_;
  std::vector<uint8_t> bytes_;
  uint64_t padded_ = 0;
};

// A directory tree whose changes write journal records, each logged with
// the path its file had when written. The tree's final state is the
// "current MFT" the paths start from.
class JournalModel : public CurrentNames {
 public:
  explicit JournalModel(JournalBuilder& journal, uint16_t version = 2) : journal_(journal), version_(version) {}

  // A file or directory present before the journal starts (no record).
  void Exists(FileReference file, FileReference parent, std::u16string name, bool directory) {
    nodes_[file.value] = Node{std::move(name), parent, directory, true};
  }
  void Create(FileReference file, FileReference parent, std::u16string name, bool directory) {
    nodes_[file.value] = Node{std::move(name), parent, directory, true};
    Write(file, usn::kReasonFileCreate);
    Write(file, usn::kReasonFileCreate | kClose);
  }
  void Rename(FileReference file, FileReference new_parent, std::u16string new_name) {
    Write(file, usn::kReasonRenameOldName);
    Node& node = nodes_[file.value];
    node.parent = new_parent;
    node.name = std::move(new_name);
    Write(file, usn::kReasonRenameNewName);
    Write(file, usn::kReasonRenameNewName | kClose);
  }
  void Delete(FileReference file) {
    Write(file, usn::kReasonFileDelete | kClose);
    nodes_[file.value].live = false;
  }
  // A change that leaves the name alone (a data write).
  void Touch(FileReference file) { Write(file, 0x2 | kClose); }
  // A range record after the last record of file.
  void Range(FileReference file) {
    const Node& node = nodes_.at(file.value);
    journal_.Add({4, file, node.parent, 0x2 | kClose, 0, u"", 0, {{0, 4096}}});
    expected_.push_back(PathNow(file));
  }

  const std::vector<std::string>& expected() const { return expected_; }

  std::optional<CurrentName> Find(FileReference file) const override {
    auto found = nodes_.find(file.value);
    if (found == nodes_.end() || !found->second.live) return std::nullopt;
    names_.push_back(Utf16ToUtf8(found->second.name));
    return CurrentName{names_.back(), found->second.parent, found->second.directory};
  }

 private:
  static constexpr uint32_t kClose = 0x80000000;
  struct Node {
    std::u16string name;
    FileReference parent;
    bool directory = false;
    bool live = false;
  };
  std::string PathNow(FileReference file) const {
    std::string path;
    for (FileReference at = file; at.Number() != 5;) {
      const Node& node = nodes_.at(at.value);
      path = "\\" + Utf16ToUtf8(node.name) + path;
      at = node.parent;
    }
    return path.empty() ? "\\" : path;
  }
  void Write(FileReference file, uint32_t reason) {
    const Node& node = nodes_.at(file.value);
    journal_.Add({version_, file, node.parent, reason, node.directory ? usn::kAttributeDirectory : 0x20u, node.name});
    expected_.push_back(PathNow(file));
  }

  JournalBuilder& journal_;
  uint16_t version_;
  std::map<uint64_t, Node> nodes_;
  std::vector<std::string> expected_;
  mutable std::deque<std::string> names_;
};

}  // namespace velmora::testing
