#include "ntfs/data_runs.h"

#include <algorithm>
#include <cstring>

#include "ntfs/attribute.h"
#include "ntfs/volume.h"

namespace velmora {

RunCursor::RunCursor(const AttributeRecord& attribute)
    : RunCursor(attribute.MappingPairs(), Vcn(attribute.StartVcn()), Vcn(attribute.LastVcn())) {}

RunCursor::RunCursor(std::span<const uint8_t> mapping_pairs, Vcn start_vcn, Vcn last_vcn)
    : pairs_(mapping_pairs), start_vcn_(start_vcn), last_vcn_(last_vcn) {}

bool RunCursor::FirstRun(Run& run) {
  position_ = 0;
  current_lcn_ = 0;
  next_vcn_ = start_vcn_;
  return NextRun(run);
}

bool RunCursor::NextRun(Run& run) {
  if (next_vcn_ > last_vcn_) return false;  // the list ends with the extent's VCN range
  uint8_t header = pairs_.U8(position_);
  if (header == 0 || !pairs_.Fits(position_, 1)) return false;
  unsigned length_bytes = header & 0x0F;
  unsigned offset_bytes = header >> 4;
  if (length_bytes > kMaxRunLengthBytes || offset_bytes > kMaxRunOffsetBytes) return false;
  if (!pairs_.Fits(position_ + 1, length_bytes + offset_bytes)) return false;  // past the attribute

  uint64_t length = pairs_.Unsigned(position_ + 1, length_bytes);
  run.vcn = next_vcn_;
  run.length = length;
  if (offset_bytes == 0) {
    run.lcn.reset();
  } else {
    int64_t delta = pairs_.Signed(position_ + 1 + length_bytes, offset_bytes);
    int64_t lcn = 0;
    if (__builtin_add_overflow(current_lcn_, delta, &lcn) || lcn < 0) return false;
    current_lcn_ = lcn;
    run.lcn = Lcn(static_cast<uint64_t>(lcn));
  }
  if (!CheckedAdd(next_vcn_.value, length, next_vcn_.value)) return false;
  position_ += 1 + length_bytes + offset_bytes;
  return true;
}

bool RunList::AppendExtent(const AttributeRecord& extent) {
  if (over_bound_) return false;
  if (!extent.NonResident()) return true;
  if (!runs_.empty() && Vcn(extent.StartVcn()) < EndVcn()) return true;
  return AppendCursor(RunCursor(extent));
}

bool RunList::AppendCursor(RunCursor cursor) {
  Run run;
  for (bool more = cursor.FirstRun(run); more; more = cursor.NextRun(run)) {
    // Entries of length 0 count too: they cost a decode step each.
    if (decoded_ >= kMaxRunsPerValue) {
      over_bound_ = true;
      return false;
    }
    ++decoded_;
    if (run.length == 0) continue;
    runs_.push_back(run);
  }
  return true;
}

std::optional<Lcn> RunList::LcnOf(Vcn vcn) const {
  auto it = std::partition_point(runs_.begin(), runs_.end(), [vcn](const Run& r) { return r.End() <= vcn; });
  if (it == runs_.end() || vcn < it->vcn || !it->lcn) return std::nullopt;
  return *it->lcn + (vcn - it->vcn);
}

bool ReadRunBytes(VolumeContext& volume, const RunList& runs, uint64_t offset, std::span<uint8_t> out,
                  bool require_mapped) {
  if (!volume.HasGeometry() || runs.over_bound()) return false;
  const uint64_t cluster = volume.BytesPerCluster();
  uint64_t end = 0;
  if (!CheckedAdd(offset, out.size(), end)) return false;
  // Bytes no mapped run supplies (holes, past the last run) are zeros,
  // written as the walk passes them: zeroing the whole span first cost as
  // much as a plain file's copy.
  uint64_t zeroed_to = 0;  // out[0, zeroed_to) is read or zeroed
  const auto zero_up_to = [&](uint64_t position) {
    if (!require_mapped && position > zeroed_to)
      std::fill(out.begin() + static_cast<ptrdiff_t>(zeroed_to), out.begin() + static_cast<ptrdiff_t>(position),
                uint8_t{0});
    zeroed_to = std::max(zeroed_to, position);
  };

  uint64_t covered = 0;  // bytes of out that some mapped run supplied
  const auto& list = runs.runs();
  // First run that ends after offset (runs are in VCN order).
  auto it = std::partition_point(list.begin(), list.end(), [&](const Run& r) {
    uint64_t run_end = 0;
    return CheckedMul(r.End().value, cluster, run_end) && run_end <= offset;
  });
  for (; it != list.end(); ++it) {
    uint64_t run_start = 0;
    uint64_t run_end = 0;
    if (!CheckedMul(it->vcn.value, cluster, run_start) || !CheckedMul(it->End().value, cluster, run_end))
      break;
    if (run_start >= end) break;
    uint64_t from = std::max(run_start, offset);
    uint64_t to = std::min(run_end, end);
    if (from >= to) continue;
    if (!it->lcn) {
      if (require_mapped) return false;
      continue;  // a hole: zeros, written when the next run or the end comes
    }
    uint64_t device_offset = 0;
    if (!CheckedMul(it->lcn->value, cluster, device_offset) || !CheckedAdd(device_offset, from - run_start, device_offset))
      return false;
    zero_up_to(from - offset);
    if (!ReadVolumeBytes(volume, device_offset, out.subspan(from - offset, to - from))) return false;
    zeroed_to = std::max(zeroed_to, to - offset);
    covered += to - from;
  }
  zero_up_to(out.size());
  return !require_mapped || covered == out.size();
}

}  // namespace velmora
