// Mapping pairs: the run list of a non-resident value.
//
// Each entry: a header byte (low nibble L = size of the length field, high
// nibble O = size of the offset field, 0 ends the list), L bytes of run
// length in clusters (unsigned), O bytes of LCN delta from the previous run
// (signed). An entry without an offset field (O = 0) is a hole of a sparse
// or compressed value: it maps no cluster and reads as zeros.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "ntfs/types.h"

namespace velmora {

class AttributeRecord;
class VolumeContext;

// Length fields wider than 4 bytes (runs of 2^32 clusters or more) and
// offset fields wider than 8 bytes end the decoding.
inline constexpr unsigned kMaxRunLengthBytes = 4;
inline constexpr unsigned kMaxRunOffsetBytes = 8;
// Run entries decoded for one value, all extents together. A 4 KiB record
// holds at most ~2,000 runs; a heavily fragmented large file can have tens
// of thousands. Beyond this a run list is treated as hostile: 24 bytes a run.
inline constexpr size_t kMaxRunsPerValue = 1u << 19;

struct Run {
  Vcn vcn;
  uint64_t length = 0;      // clusters
  std::optional<Lcn> lcn;   // nullopt: a hole

  // The VCN after the run.
  Vcn End() const { return vcn + length; }
};

// Decoding state over one attribute record's mapping pairs.
class RunCursor {
 public:
  explicit RunCursor(const AttributeRecord& attribute);
  RunCursor(std::span<const uint8_t> mapping_pairs, Vcn start_vcn, Vcn last_vcn);

  bool FirstRun(Run& run);
  bool NextRun(Run& run);

 private:
  LeBytes pairs_;
  Vcn start_vcn_;
  Vcn last_vcn_;
  uint64_t position_ = 0;
  int64_t current_lcn_ = 0;
  Vcn next_vcn_;
};

// The runs of a whole value, in VCN order, possibly gathered from several
// extents (attribute records of the same attribute in different file records).
class RunList {
 public:
  // Appends the runs of one extent; an extent that does not continue after
  // the runs already held (overlap, out of order) is not taken. False when
  // the run bound was reached: the list is then over the bound for good.
  bool AppendExtent(const AttributeRecord& extent);
  bool AppendCursor(RunCursor cursor);

  const std::vector<Run>& runs() const { return runs_; }
  bool empty() const { return runs_.empty(); }
  // True once a value claimed more than kMaxRunsPerValue runs: reads through
  // the list fail rather than return a value cut short.
  bool over_bound() const { return over_bound_; }
  // The VCN after the last run.
  Vcn EndVcn() const { return runs_.empty() ? Vcn() : runs_.back().End(); }
  // The cluster a VCN lies in; nullopt in a hole or outside the runs.
  std::optional<Lcn> LcnOf(Vcn vcn) const;

 private:
  std::vector<Run> runs_;
  size_t decoded_ = 0;  // entries decoded, empty runs included
  bool over_bound_ = false;
};

// Reads out.size() bytes of the value at byte offset through the runs.
// Clusters no run maps, and holes, read as zeros, unless require_mapped:
// then the read fails (a file record or index block never lies in a hole).
// Fails on a device read failure, and on a run list over the run bound.
bool ReadRunBytes(VolumeContext& volume, const RunList& runs, uint64_t offset, std::span<uint8_t> out,
                  bool require_mapped);

}  // namespace velmora
