#include "ntfs/mft_scan.h"

#include <algorithm>
#include <array>
#include <limits>

#include "base/bytes.h"
#include "base/lanes.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/standard_information.h"
#include "ntfs/volume.h"
#include "base/format.h"

namespace velmora {

namespace {

// The MFT is read in blocks of about this size (a whole number of records).
constexpr uint64_t kScanBlockBytes = 1u << 20;
constexpr uint16_t kRecordInUse = 0x0001;
constexpr uint8_t kDosNameSpace = 2;
// The pool's offsets are 32-bit; names beyond it are dropped as unreadable.
constexpr uint64_t kMaxPoolBytes = std::numeric_limits<uint32_t>::max();

FileTimes ReadTimes(LeBytes value, uint64_t created, uint64_t modified, uint64_t changed, uint64_t accessed) {
  return FileTimes{value.U64(created), value.U64(modified), value.U64(changed), value.U64(accessed)};
}

bool AllZero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// The first extent of a value holds its size; later extents repeat nothing useful.
bool FirstExtent(const AttributeRecord& attribute) { return !attribute.NonResident() || attribute.StartVcn() == 0; }

}  // namespace

bool SequenceMatches(FileReference reference, const ScannedRecord& record) {
  const uint16_t reference_sequence = reference.Sequence();
  if (reference_sequence == 0 || reference_sequence == record.sequence) return true;
  return !record.in_use && static_cast<uint16_t>(reference_sequence + 1) == record.sequence;
}

bool MftScan::Listed(const ScannedName& name) const {
  return name.record != kRootReference.value && records_[name.record].valid;
}

const FreeRecordData* MftScan::FreeDataOf(uint64_t record) const {
  auto it = std::lower_bound(free_data_.begin(), free_data_.end(), record,
                             [](const FreeRecordData& d, uint64_t r) { return d.record < r; });
  return it != free_data_.end() && it->record == record ? &*it : nullptr;
}

void MftScan::KeepFreeData(uint64_t number, const AttributeRecord& data) {
  FreeRecordData kept;
  kept.record = number;
  kept.size = data.ValueSize();
  kept.resident = !data.NonResident();
  kept.complete = kept.resident;
  if (!kept.resident) {
    kept.first_run = static_cast<uint32_t>(free_runs_.size());
    RunCursor cursor(data);
    Run run;
    bool more = cursor.FirstRun(run);
    Vcn end;
    for (; more && free_runs_.size() < kMaxFreeRecordRuns; more = cursor.NextRun(run)) {
      free_runs_.push_back(run);
      end = run.End();
    }
    kept.run_count = static_cast<uint32_t>(free_runs_.size() - kept.first_run);
    kept.complete = !more && data.StartVcn() == 0 && end.value == data.LastVcn() + 1;
  }
  free_data_.push_back(kept);
}

void MftScan::ParseRecord(uint64_t number, const FileRecord& record, const ScanOptions& options) {
  const FileReference base(record.RefToBase());
  const bool extension = base.value != 0;
  const bool in_use = (record.Flags() & kRecordInUse) != 0;
  const uint64_t owner = extension ? base.Number() : number;
  ScannedRecord& slot = records_[number - first_];
  Claim claim;
  if (extension) {
    claim.base = base;
    claim.in_use = in_use;
    claim.first_name = names_.size();
    claim.first_stream = streams_.size();
  } else {
    slot.valid = true;
    slot.in_use = in_use;
    slot.directory = (record.Flags() & record::kFlagDirectory) != 0;
    const LeBytes bitmap(options.mft_bitmap);
    slot.free_in_bitmap = number / 8 < bitmap.size() && !((bitmap.U8(number / 8) >> (number % 8)) & 1);
  }
  const bool keep_free_data = options.free_record_data && !extension && (!in_use || slot.free_in_bitmap);
  slot.sequence = record.Sequence();

  const size_t names_before = names_.size();
  bool long_name = false;
  bool record_times = false;  // slot.times read from this record's $STANDARD_INFORMATION
  AttributeWalk walk(record);
  while (auto a = walk.Next()) {
    switch (a->Type()) {
      case AttrType::kStandardInformation: {
        LeBytes value(a->ResidentValue());
        if (extension || a->NonResident() || value.size() < standard_information::kPermission) break;
        namespace si = standard_information;
        slot.times = ReadTimes(value, si::kCreateTime, si::kModificationTime, si::kChangeTime, si::kAccessTime);
        record_times = true;
        slot.attributes = value.U32(si::kPermission);
        break;
      }
      case AttrType::kFileName: {
        LeBytes value(a->ResidentValue());
        if (a->NonResident() || !value.Fits(0, file_name::kName)) break;
        const uint8_t units = value.U8(file_name::kNameLength);
        if (units == 0 || !value.Fits(file_name::kName, uint64_t{units} * 2)) break;
        const size_t start = pool_.size();
        AppendUtf16LeAsUtf8(pool_, value.Sub(file_name::kName, uint64_t{units} * 2));
        const size_t text_bytes = pool_.size() - start;
        ScannedName name;
        name.record = static_cast<uint32_t>(owner);
        name.parent = FileReference(value.U64(file_name::kParentRef));
        const FileTimes times = ReadTimes(value, file_name::kCreateTime, file_name::kModificationTime,
                                          file_name::kChangeTime, file_name::kAccessTime);
        const FileTimes& own = slot.times;
        if (!record_times || times.created != own.created || times.modified != own.modified ||
            times.record_changed != own.record_changed || times.accessed != own.accessed) {
          name.times = static_cast<uint32_t>(name_times_.size());
          name_times_.push_back(times);
        }
        name.text = PooledText{static_cast<uint32_t>(start), static_cast<uint32_t>(text_bytes)};
        name.name_space = value.U8(file_name::kNameSpace);
        name.attribute_id = a->Id();
        long_name = long_name || name.name_space != kDosNameSpace;
        names_.push_back(name);
        break;
      }
      case AttrType::kData: {
        if (!FirstExtent(*a)) break;
        if (a->NameLength() == 0) {
          if (extension) claim.size.Offer(a->ValueSize(), a->Id(), SizeSource::kData);
          else slot.OfferSize(FileSize{a->ValueSize(), a->Id(), SizeSource::kData});
          if (keep_free_data) KeepFreeData(number, *a);
          break;
        }
        const size_t start = pool_.size();
        pool_ += Utf16ToUtf8(a->Name());
        streams_.push_back(ScannedStream{
            a->ValueSize(), PooledText{static_cast<uint32_t>(start), static_cast<uint32_t>(pool_.size() - start)},
            static_cast<uint32_t>(owner), a->Id()});
        break;
      }
      case AttrType::kIndexRoot:
        if (!a->NameEquals(kI30Name)) break;
        if (extension) claim.size.Offer(a->ValueSize(), a->Id(), SizeSource::kIndexRoot);
        else slot.OfferSize(FileSize{a->ValueSize(), a->Id(), SizeSource::kIndexRoot});
        break;
      default:
        break;
    }
  }
  // The 8.3 name beside a long one names the same link: keep the long one.
  if (long_name) {
    auto dos = std::remove_if(names_.begin() + static_cast<ptrdiff_t>(names_before), names_.end(),
                              [](const ScannedName& n) { return n.name_space == kDosNameSpace; });
    names_.erase(dos, names_.end());
  }
  if (extension) {
    claim.end_name = names_.size();
    claim.end_stream = streams_.size();
    claims_.push_back(claim);
  }
}

void MftScan::Finish() {
  // An extension counts only when its base is a record read, in the same
  // state (in use or free), with the sequence number it names.
  std::vector<bool> drop_name(names_.size()), drop_stream(streams_.size());
  for (const Claim& claim : claims_) {
    const uint64_t number = claim.base.Number();
    const bool accepted = number < records_.size() && records_[number].valid &&
                          records_[number].in_use == claim.in_use && SequenceMatches(claim.base, records_[number]);
    if (!accepted) {
      ++skipped_[static_cast<size_t>(SkipReason::kStrayExtension)];
      for (size_t i = claim.first_name; i < claim.end_name; ++i) drop_name[i] = true;
      for (size_t i = claim.first_stream; i < claim.end_stream; ++i) drop_stream[i] = true;
      continue;
    }
    records_[number].OfferSize(claim.size);
  }
  size_t kept = 0;
  for (size_t i = 0; i < names_.size(); ++i)
    if (!drop_name[i] && records_[names_[i].record].valid) names_[kept++] = names_[i];
  names_.resize(kept);
  kept = 0;
  for (size_t i = 0; i < streams_.size(); ++i)
    if (!drop_stream[i] && records_[streams_[i].record].valid) streams_[kept++] = streams_[i];
  streams_.resize(kept);
  claims_.clear();
  claims_.shrink_to_fit();

  // Only names and streams from extension records arrive out of order.
  auto by_record = [](const auto& a, const auto& b) { return a.record < b.record; };
  if (!std::is_sorted(names_.begin(), names_.end(), by_record))
    std::stable_sort(names_.begin(), names_.end(), by_record);
  if (!std::is_sorted(streams_.begin(), streams_.end(), by_record))
    std::stable_sort(streams_.begin(), streams_.end(), by_record);
  for (size_t i = 0; i < names_.size(); ++i) {
    ScannedRecord& owner = records_[names_[i].record];
    if (owner.primary_name == ScannedRecord::kNoName) owner.primary_name = static_cast<uint32_t>(i);
  }
  // Every directory's link is settled here, so that paths are read-only
  // afterwards and can be built on several threads.
  links_.assign(records_.size(), Link::kUnknown);
  for (uint64_t number = 0; number < records_.size(); ++number) {
    const ScannedRecord& record = records_[number];
    if (record.valid && record.directory && record.primary_name != ScannedRecord::kNoName) ResolveLink(number);
  }
}

void MftScan::Absorb(MftScan& block) {
  const auto text_base = static_cast<uint32_t>(pool_.size());
  const size_t name_base = names_.size(), stream_base = streams_.size();
  // The pool's offsets are 32-bit: a block whose names would pass that
  // keeps its records, without names or streams.
  const bool names_fit = pool_.size() + block.pool_.size() <= kMaxPoolBytes;
  records_.insert(records_.end(), block.records_.begin(), block.records_.end());
  if (names_fit) {
    pool_ += block.pool_;
    const auto times_base = static_cast<uint32_t>(name_times_.size());
    name_times_.insert(name_times_.end(), block.name_times_.begin(), block.name_times_.end());
    for (ScannedName& name : block.names_) {
      name.text.offset += text_base;
      if (name.times != ScannedName::kRecordTimes) name.times += times_base;
      names_.push_back(name);
    }
    for (ScannedStream& stream : block.streams_) {
      stream.text.offset += text_base;
      streams_.push_back(stream);
    }
  }
  for (Claim claim : block.claims_) {
    if (names_fit) {
      claim.first_name += name_base;
      claim.end_name += name_base;
      claim.first_stream += stream_base;
      claim.end_stream += stream_base;
    } else {
      claim.first_name = claim.end_name = names_.size();
      claim.first_stream = claim.end_stream = streams_.size();
    }
    claims_.push_back(claim);
  }
  for (FreeRecordData data : block.free_data_) {
    const size_t room = kMaxFreeRecordRuns - std::min(kMaxFreeRecordRuns, free_runs_.size());
    const auto runs = std::span<const Run>(block.free_runs_).subspan(data.first_run, data.run_count);
    if (runs.size() > room) data.complete = false;
    data.first_run = static_cast<uint32_t>(free_runs_.size());
    data.run_count = static_cast<uint32_t>(std::min(runs.size(), room));
    free_runs_.insert(free_runs_.end(), runs.begin(), runs.begin() + data.run_count);
    free_data_.push_back(data);
  }
  slots_ += block.slots_;
  for (size_t r = 0; r < skipped_.size(); ++r) skipped_[r] += block.skipped_[r];

  block.records_.clear();
  block.names_.clear();
  block.name_times_.clear();
  block.streams_.clear();
  block.pool_.clear();
  block.claims_.clear();
  block.free_data_.clear();
  block.free_runs_.clear();
  block.slots_ = 0;
  block.skipped_ = {};
}

bool MftScan::ParentAccepted(FileReference parent) const {
  const uint64_t number = parent.Number();
  if (number >= records_.size()) return false;
  const ScannedRecord& record = records_[number];
  return record.valid && record.directory && SequenceMatches(parent, record) &&
         (number == kRootReference.value || record.primary_name != ScannedRecord::kNoName);
}

// Follows primary names upward once per directory, remembering the outcome:
// kLinked directories reach the root or a kCut directory without a cycle.
MftScan::Link MftScan::ResolveLink(uint64_t directory) {
  std::vector<uint64_t> chain;
  uint64_t current = directory;
  while (current != kRootReference.value && links_[current] != Link::kLinked && links_[current] != Link::kCut) {
    if (links_[current] == Link::kOnChain) {  // a cycle: cut it here
      links_[current] = Link::kCut;
      break;
    }
    const FileReference parent = names_[records_[current].primary_name].parent;
    if (!ParentAccepted(parent) || chain.size() >= kMaxPathDepth) {
      links_[current] = Link::kCut;
      break;
    }
    links_[current] = Link::kOnChain;
    chain.push_back(current);
    current = parent.Number();
  }
  for (uint64_t on_chain : chain)
    if (links_[on_chain] == Link::kOnChain) links_[on_chain] = Link::kLinked;
  return LinkOf(directory);
}

MftScan::Link MftScan::LinkOf(uint64_t directory) const {
  return directory == kRootReference.value ? Link::kLinked : links_[directory];
}

MftScan::Path MftScan::PathOf(const ScannedName& name, FileReference subtree) const {
  Path path;
  PathUnder(name.parent, name.record, Text(name.text), subtree, path);
  return path;
}

MftScan::Path MftScan::PathUnder(FileReference parent, uint64_t record, std::string_view leaf,
                                 FileReference subtree) const {
  Path path;
  PathUnder(parent, record, leaf, subtree, path);
  return path;
}

void MftScan::PathUnder(FileReference parent, uint64_t record, std::string_view leaf, FileReference subtree,
                        Path& path) const {
  const uint64_t subtree_root = subtree.Number();
  // A timeline builds a path for every name: the components' list is kept
  // from one call to the next (one per thread).
  thread_local std::vector<std::string_view> components;
  components.assign(1, leaf);
  path.text.clear();
  path.orphan = false;
  path.within = record == subtree_root;
  path.parent_matched = ParentAccepted(parent);
  if (!path.parent_matched) {
    path.orphan = true;
  } else {
    uint64_t current = parent.Number();
    while (current != kRootReference.value) {
      path.within = path.within || current == subtree_root;
      if (current == record) {  // the name's own record among its ancestors
        path.orphan = true;
        break;
      }
      const ScannedName& primary = names_[records_[current].primary_name];
      components.push_back(Text(primary.text));
      if (LinkOf(current) == Link::kCut || components.size() > kMaxPathDepth) {
        path.orphan = true;
        break;
      }
      current = primary.parent.Number();
    }
    path.within = path.within || current == subtree_root;
  }
  if (path.orphan) path.text = "/$OrphanFiles";
  path.within = path.within || subtree_root == kRootReference.value;
  for (auto it = components.rbegin(); it != components.rend(); ++it) {
    path.text += '/';
    path.text += *it;
  }
}

std::optional<MftScan> ScanMft(VolumeContext& volume, const ScanOptions& options) {
  auto mft = ReadFileRecord(volume, kMftReference.Record());
  if (!mft) return std::nullopt;
  const uint64_t record_bytes = volume.BytesPerFileRecord();
  const RunList* runs = MftRunList(volume);
  uint64_t count = 0;
  if (volume.MftOnly()) {
    // An extracted $MFT: every whole record the file holds.
    count = volume.device()->Size().value_or(0) / record_bytes;
  } else {
    if (!runs) return std::nullopt;
    uint64_t mft_bytes = 0;
    AttributeWalk walk(*mft);
    while (auto a = walk.Next()) {
      if (a->Type() == AttrType::kData && a->NameLength() == 0 && a->NonResident() && a->StartVcn() == 0) {
        mft_bytes = std::min(a->RealSize(), a->IniSize());
        break;
      }
    }
    uint64_t mapped_bytes = 0;
    if (!CheckedMul(runs->EndVcn().value, volume.BytesPerCluster(), mapped_bytes)) mapped_bytes = mft_bytes;
    count = std::min(mft_bytes, mapped_bytes) / record_bytes;
    // A damaged $DATA or run list may claim more records than the volume holds.
    if (auto device_bytes = volume.device()->Size()) count = std::min(count, *device_bytes / record_bytes);
  }
  const auto read_records = [&volume, runs](uint64_t offset, std::span<uint8_t> out) {
    return runs ? ReadRunBytes(volume, *runs, offset, out, /*require_mapped=*/true)
                : ReadMftFileBytes(volume, offset, out);
  };

  // Record numbers are 32 bits in the tables (NTFS allows no more).
  count = std::min(count, kMaxScannedRecords);

  MftScan scan;
  // Tables grow as records are read; reserved ahead for up to 4 Mi records
  // (a hostile count must not allocate before anything is read).
  const uint64_t expected = std::min<uint64_t>(count, uint64_t{1} << 22);
  scan.records_.reserve(expected);
  scan.names_.reserve(expected);
  scan.pool_.reserve(expected * 24);
  const uint64_t per_block = options.records_per_block ? options.records_per_block
                                                       : std::max<uint64_t>(1, kScanBlockBytes / record_bytes);
  // Blocks are parsed in lanes, each lane into a scan of its own that is
  // then appended in record order.
  struct Lane {
    MftScan tables;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> buffer;  // one record, its update sequence undone
  };
  std::array<Lane, kLanes> lanes;
  const auto parse_block = [&](uint64_t first, uint64_t end, unsigned lane_index) {
    Lane& lane = lanes[lane_index];
    MftScan& tables = lane.tables;
    const uint64_t in_block = end - first;
    tables.first_ = first;
    tables.records_.resize(in_block);
    lane.bytes.resize(in_block * record_bytes);
    const bool whole = read_records(first * record_bytes, lane.bytes);
    // A block that cannot be read whole is retried record by record.
    std::vector<bool> readable;
    if (!whole) {
      readable.assign(in_block, false);
      for (uint64_t i = 0; i < in_block; ++i) {
        std::span<uint8_t> slot(lane.bytes.data() + i * record_bytes, record_bytes);
        readable[i] = read_records((first + i) * record_bytes, slot);
      }
    }
    for (uint64_t i = 0; i < in_block; ++i) {
      const uint64_t number = first + i;
      std::span<uint8_t> slot(lane.bytes.data() + i * record_bytes, record_bytes);
      ++tables.slots_;
      if (!whole && !readable[i]) {
        ++tables.skipped_[static_cast<size_t>(SkipReason::kUnreadable)];
        continue;
      }
      if (LeBytes(slot).U32(record::kSignature) != record::kFileSignature) {
        if (!AllZero(slot)) ++tables.skipped_[static_cast<size_t>(SkipReason::kNotFileRecord)];
        continue;
      }
      // One buffer serves every record: an allocation a record cost a
      // tenth of the pass.
      lane.buffer.assign(slot.begin(), slot.end());
      if (!ApplyUpdateSequence(lane.buffer, kUpdateSequenceStride)) {
        ++tables.skipped_[static_cast<size_t>(SkipReason::kTornUpdateSequence)];
        continue;
      }
      FileRecord record(std::move(lane.buffer), RecordNumber(number));
      tables.ParseRecord(number, record, options);
      if (options.also) options.also(record, lane_index);
      lane.buffer = std::move(record).Release();
    }
  };
  RunInLanes(count, per_block, parse_block, [&](unsigned lane) { scan.Absorb(lanes[lane].tables); });
  scan.Finish();
  return scan;
}

}  // namespace velmora
