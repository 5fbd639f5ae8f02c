#include "history/usn_paths.h"

#include <algorithm>
#include <unordered_set>

#include "base/format.h"
#include "ntfs/mft_scan.h"
#include "ntfs/types.h"

namespace velmora {

namespace {

// The USN after this one; the largest stays (a hostile USN must not overflow).
int64_t After(int64_t usn) { return usn == INT64_MAX ? usn : usn + 1; }

// Chains up to this deep are checked for a loop by looking back along them;
// deeper ones through a set.
constexpr size_t kLinearLoopCheck = 32;

void AppendHex(std::string& out, uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 60; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

void Join(std::string& path, std::string_view name) {
  if (path != "\\") path += '\\';
  path += name;
}

}  // namespace

std::string UnresolvedMarker(const UsnFileId& id) {
  std::string marker(kUnresolvedMarker);
  if (!id.IsNtfsReference()) AppendHex(marker, id.high);
  AppendHex(marker, id.reference.value);
  marker += '>';
  return marker;
}

void UsnPathBook::Note(const UsnRecord& record) {
  if (record.major == 4 || !record.IsDirectory() || !record.file.IsNtfsReference()) return;
  std::vector<State>& states = history_[record.file.reference.value];
  const std::string name = Utf16ToUtf8(record.Name());
  // A record that says what the last one kept said adds nothing: the
  // directory's state only changes at a rename, a move or a new life.
  if (!states.empty() && states.back().parent == record.parent.reference && Name(states.back()) == name) return;
  states.push_back(State{record.usn, record.reason, record.parent.reference, static_cast<uint32_t>(pool_.size()),
                         static_cast<uint32_t>(name.size())});
  pool_ += name;
  ++states_;
}

void UsnPathBook::Seal() {
  // USNs grow with the stream; a damaged journal is put in order here.
  for (auto& [reference, states] : history_) {
    std::stable_sort(states.begin(), states.end(), [](const State& a, const State& b) { return a.usn < b.usn; });
  }
  cache_.clear();
}

std::optional<CurrentName> MftCurrentNames::Find(FileReference file) const {
  if (file.Number() >= scan_.records().size()) return std::nullopt;
  const ScannedRecord& record = scan_.records()[file.Number()];
  if (!record.valid || record.primary_name == ScannedRecord::kNoName || !SequenceMatches(file, record))
    return std::nullopt;
  const ScannedName& name = scan_.names()[record.primary_name];
  return CurrentName{scan_.Text(name.text), name.parent, record.directory};
}

UsnPathBook::Placed UsnPathBook::CurrentState(FileReference directory) const {
  Placed placed;
  if (!current_) return placed;
  const auto found = current_->Find(directory);
  if (!found || !found->directory) return placed;
  placed.known = true;
  placed.name = found->name;
  placed.parent = found->parent;
  return placed;
}

UsnPathBook::Placed UsnPathBook::StateAt(FileReference directory, int64_t usn) const {
  const auto found = history_.find(directory.value);
  if (found == history_.end()) return CurrentState(directory);
  const std::vector<State>& states = found->second;
  const auto next = std::lower_bound(states.begin(), states.end(), usn,
                                     [](const State& state, int64_t value) { return state.usn < value; });
  Placed placed;
  auto take = [&](const State& state) {
    placed.known = true;
    placed.name = Name(state);
    placed.parent = state.parent;
  };
  if (next != states.end() && next->usn == usn) {
    take(*next);
    placed.from = usn;
    placed.to = After(usn);
    return placed;
  }
  if (next != states.begin()) placed.from = After(std::prev(next)->usn);
  if (next == states.end()) {
    placed.to = INT64_MAX;
    const Placed current = CurrentState(directory);
    if (current.known) {
      placed.known = true;
      placed.name = current.name;
      placed.parent = current.parent;
    } else {
      take(states.back());
    }
    return placed;
  }
  placed.to = next->usn;
  if (next->reason & usn::kReasonRenameNewName) {
    if (next != states.begin()) take(*std::prev(next));
  } else {
    take(*next);
  }
  return placed;
}

UsnPathBook::Path UsnPathBook::DirectoryPath(FileReference directory, int64_t usn) {
  if (auto cached = cache_.find(directory.value);
      cached != cache_.end() && cached->second.from <= usn && usn < cached->second.to)
    return cached->second.path;
  std::vector<std::string_view> names;
  std::vector<FileReference> chain;
  std::unordered_set<uint64_t> seen;
  int64_t from = INT64_MIN, to = INT64_MAX;
  FileReference current = directory;
  bool placed_all = true;
  while (current.Number() != kRootReference.value) {
    const bool loop =
        chain.size() < kLinearLoopCheck ? std::find(chain.begin(), chain.end(), current) != chain.end()
                                        : !seen.insert(current.value).second;
    if (chain.size() == kLinearLoopCheck) {
      for (FileReference link : chain) seen.insert(link.value);
    }
    const Placed state = loop || chain.size() >= kMaxPathDepth ? Placed{} : StateAt(current, usn);
    from = std::max(from, state.from);
    to = std::min(to, state.to);
    if (!state.known) {
      placed_all = false;
      break;
    }
    chain.push_back(current);
    names.push_back(state.name);
    current = state.parent;
  }
  Path path;
  path.resolved = placed_all;
  path.text = placed_all ? std::string("\\") : UnresolvedMarker(UsnFileId{current, 0});
  for (auto name = names.rbegin(); name != names.rend(); ++name) Join(path.text, *name);
  cache_[directory.value] = Cached{from, to, path};
  return path;
}

UsnPathBook::Path UsnPathBook::PathOf(const UsnRecord& record) {
  if (record.major == 4) {
    if (record.file == last_file_ && !last_path_.text.empty()) return last_path_;
    if (record.file.IsNtfsReference() && current_) {
      if (const auto found = current_->Find(record.file.reference)) {
        Path path = DirectoryPath(found->parent, record.usn);
        Join(path.text, found->name);
        return path;
      }
    }
    return Path{UnresolvedMarker(record.file), false};
  }
  Path path = record.parent.IsNtfsReference() ? DirectoryPath(record.parent.reference, record.usn)
                                              : Path{UnresolvedMarker(record.parent), false};
  Join(path.text, Utf16ToUtf8(record.Name()));
  last_file_ = record.file;
  last_path_ = path;
  return path;
}

UsnWalkCounts WalkUsnJournalWithPaths(JournalStream& stream, UsnPathBook& book,
                                      const std::function<void(const UsnRecord&, const UsnPathBook::Path&)>& visit) {
  WalkUsnJournal(stream, [&book](const UsnRecord& record) { book.Note(record); });
  book.Seal();
  return WalkUsnJournal(stream, [&](const UsnRecord& record) { visit(record, book.PathOf(record)); });
}

}  // namespace velmora
