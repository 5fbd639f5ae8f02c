// The path each change journal record's file had when the record was
// written.
//
// A record names its file and its parent directory by reference, never by
// path, and directories are renamed, moved, deleted and their records
// reused between the time of a record and the time the volume is read. The
// rule, for the parent reference P (record number and sequence number) of a
// record written at USN u:
//
//   1. The record root (number 5) is the root, whatever else is known.
//   2. The states of P are what P's own records say of it (its name and its
//      parent at that moment), in USN order; records of the same number
//      with another sequence number are another directory and never used.
//      The record of P at u itself gives the state at u. Otherwise the
//      first record of P after u gives it: a record says the name and
//      parent its file held up to it (rename-old-name gives the name before
//      the rename, delete the name it had when deleted) -- unless that
//      record is a rename-new-name, which gives the name after u; then the
//      last record of P before u gives it, and without one P cannot be
//      placed.
//   3. After P's last record, or when the journal holds none of P, the
//      current MFT gives it: the directory's record whose sequence number
//      is P's (one below for a record no longer in use: NTFS counts the
//      sequence up when it frees a record), with its $FILE_NAME's name and
//      parent. Failing that, P's last record's state is kept; without one
//      P cannot be placed.
//   4. The parent found is placed the same way, at the same u, up to the
//      root. A directory that cannot be placed, a loop, or a chain deeper
//      than kMaxPathDepth ends the walk: the path then starts with
//      "<unresolved REF>", REF the full 64-bit reference of that directory
//      as 16 hexadecimal digits (what -r takes), and never with a guess.
//
// A version 4 (range) record carries no name: its path is that of the
// record just before it when that one names the same file, else its file's
// current one from the MFT, else "<unresolved REF>" of the file itself.
//
// Only directories' records are kept, and of those only the ones that
// change a directory's name or parent, so memory grows with the directory
// table, not with the journal; the journal is read twice (the states
// first, then every record with its path) instead of being held.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "history/usn_journal.h"

namespace velmora {

class MftScan;

// A path that starts with this marker could not be placed.
inline constexpr std::string_view kUnresolvedMarker = "<unresolved ";

// What the volume says of a file now: its name and parent, when the record
// the reference names holds that file (its sequence number matching).
struct CurrentName {
  std::string_view name;  // UTF-8
  FileReference parent;
  bool directory = false;
};
class CurrentNames {
 public:
  virtual ~CurrentNames() = default;
  virtual std::optional<CurrentName> Find(FileReference file) const = 0;
};

// The current names from one pass over the MFT: a record's primary name,
// its sequence number matching the reference's (one below for a record no
// longer in use: NTFS counts the sequence up when it frees a record).
class MftCurrentNames : public CurrentNames {
 public:
  explicit MftCurrentNames(const MftScan& scan) : scan_(scan) {}
  std::optional<CurrentName> Find(FileReference file) const override;

 private:
  const MftScan& scan_;
};

class UsnPathBook {
 public:
  // current: the names of the volume the journal belongs to now, or null
  // for a journal read alone.
  explicit UsnPathBook(const CurrentNames* current) : current_(current) {}

  // First pass: every record, in stream order.
  void Note(const UsnRecord& record);
  // Between the passes.
  void Seal();

  struct Path {
    std::string text;  // "\dir\name" from the volume's root, UTF-8
    bool resolved = false;
  };
  // Second pass: every record, in stream order.
  Path PathOf(const UsnRecord& record);

  // What the table holds: directories and their states.
  uint64_t directories() const { return history_.size(); }
  uint64_t states() const { return states_; }
  uint64_t name_bytes() const { return pool_.size(); }

 private:
  struct State {
    int64_t usn = 0;
    uint32_t reason = 0;
    FileReference parent;
    uint32_t name_offset = 0;
    uint32_t name_length = 0;
  };
  struct Placed {
    bool known = false;
    std::string_view name;
    FileReference parent;
    int64_t from = INT64_MIN;  // the state holds from this USN up to `to`, excluded
    int64_t to = INT64_MAX;
  };
  Placed StateAt(FileReference directory, int64_t usn) const;
  Placed CurrentState(FileReference directory) const;
  Path DirectoryPath(FileReference directory, int64_t usn);
  std::string_view Name(const State& state) const {
    return std::string_view(pool_).substr(state.name_offset, state.name_length);
  }

  const CurrentNames* current_;
  std::unordered_map<uint64_t, std::vector<State>> history_;
  std::string pool_;
  uint64_t states_ = 0;
  // The last path of each directory with the USNs it holds for.
  struct Cached {
    int64_t from = 0, to = 0;
    Path path;
  };
  std::unordered_map<uint64_t, Cached> cache_;
  UsnFileId last_file_;
  Path last_path_;
};

// Both passes over a journal: every record handed to visit in stream
// order with the path it had. The counts are the second pass's.
UsnWalkCounts WalkUsnJournalWithPaths(JournalStream& stream, UsnPathBook& book,
                                      const std::function<void(const UsnRecord&, const UsnPathBook::Path&)>& visit);

// "<unresolved 0005000000001234>", or the 32 digits of a file id NTFS
// never gives.
std::string UnresolvedMarker(const UsnFileId& id);

}  // namespace velmora
