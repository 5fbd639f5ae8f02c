// LZNT1-compressed attributes. The value is cut into compression units of
// 2^n clusters (the header's compression unit field; 16 clusters in
// practice). Each unit is stored one of three ways, told apart by its runs:
// every cluster mapped, the unit's bytes as they are; its first clusters
// mapped and the rest a hole, those clusters hold LZNT1 data that
// decompresses to the unit (or to less: the rest is zeros); no cluster
// mapped, zeros.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "base/bytes.h"
#include "base/format.h"
#include "base/lanes.h"
#include "content/lznt1.h"
#include "content/source.h"
#include "ntfs/attribute.h"
#include "ntfs/volume.h"

namespace velmora::content {

namespace {

// Units larger than this are not what any NTFS writes (16 clusters of at
// most 4 KiB: NTFS compresses no volume with larger clusters).
constexpr uint64_t kMaxUnitBytes = 1u << 20;
constexpr unsigned kMaxUnitShift = 16;

// How a unit's clusters are mapped.
struct UnitMap {
  uint64_t mapped = 0;  // clusters some run maps
  bool prefix = true;   // those are the unit's first clusters
};

UnitMap MapUnit(const RunList& runs, Vcn first, uint64_t clusters) {
  UnitMap map;
  const Vcn end = first + clusters;
  const auto& list = runs.runs();
  auto it = std::partition_point(list.begin(), list.end(), [&](const Run& r) { return r.End() <= first; });
  bool hole_seen = false;
  for (; it != list.end() && it->vcn < end; ++it) {
    const uint64_t overlap = std::min(it->End(), end) - std::max(it->vcn, first);
    if (it->lcn) {
      if (hole_seen) map.prefix = false;
      map.mapped += overlap;
    } else {
      hole_seen = true;
    }
  }
  return map;
}

// Compressed units are decoded a batch at a time, in lanes: each unit is
// compressed on its own, and the clusters of the batch are read first.
constexpr uint64_t kBatchBytes = 1u << 20;

class Lznt1Source : public ContentSource {
 public:
  Lznt1Source(AttributeReader reader, uint64_t unit_clusters)
      : reader_(std::move(reader)),
        cluster_(reader_.volume().BytesPerCluster()),
        unit_clusters_(unit_clusters),
        unit_bytes_(unit_clusters * cluster_),
        per_batch_(std::max<uint64_t>(1, kBatchBytes / unit_bytes_)) {}

  Expected<size_t> Read(uint64_t offset, std::span<uint8_t> out) override {
    const uint64_t unit = offset / unit_bytes_;
    const uint64_t unit_start = unit * unit_bytes_;
    const uint64_t within = offset - unit_start;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(out.size(), unit_bytes_ - within));
    if (unit < batch_first_ || unit >= batch_first_ + batch_.size()) {
      const UnitMap map = MapUnit(reader_.runs(), Vcn(unit * unit_clusters_), unit_clusters_);
      if (map.mapped == 0) {
        std::memset(out.data(), 0, count);
        return count;
      }
      if (map.mapped == unit_clusters_) {
        if (!ReadRunBytes(reader_.volume(), reader_.runs(), offset, out.first(count), /*require_mapped=*/true))
          return Unreadable(unit_start);
        return count;
      }
      Expected<void> decoded = DecodeBatch(unit, map);
      if (!decoded) return decoded.error();
    }
    const Unit& held = batch_[unit - batch_first_];
    if (held.failure) return *held.failure;
    std::memcpy(out.data(), decoded_.data() + (unit - batch_first_) * unit_bytes_ + within, count);
    return count;
  }

 private:
  struct Unit {
    size_t stored_at = 0, stored_bytes = 0;  // in stored_
    std::optional<Error> failure;
  };

  // The compressed units from `first` on (whose map is given), up to a
  // batch or the first unit stored another way; an error only when `first`
  // itself cannot be read.
  Expected<void> DecodeBatch(uint64_t first, UnitMap map) {
    batch_.clear();
    batch_first_ = first;
    stored_.clear();
    for (uint64_t unit = first; batch_.size() < per_batch_; ++unit) {
      if (unit > first) {
        if (unit * unit_bytes_ >= reader_.ValueSize()) break;
        map = MapUnit(reader_.runs(), Vcn(unit * unit_clusters_), unit_clusters_);
        if (map.mapped == 0 || map.mapped == unit_clusters_ || !map.prefix) break;
      }
      const uint64_t unit_start = unit * unit_bytes_;
      if (!map.prefix)
        return Damaged(Format("compression unit at content offset 0x%I64X: its mapped clusters are not its first ones",
                              unit_start));
      Unit held;
      held.stored_at = stored_.size();
      held.stored_bytes = static_cast<size_t>(map.mapped * cluster_);
      stored_.resize(stored_.size() + held.stored_bytes);
      if (!ReadRunBytes(reader_.volume(), reader_.runs(), unit_start,
                        std::span<uint8_t>(stored_.data() + held.stored_at, held.stored_bytes),
                        /*require_mapped=*/true)) {
        if (unit == first) return Unreadable(unit_start);
        break;  // met again as the first of the next batch
      }
      batch_.push_back(std::move(held));
    }
    decoded_.resize(batch_.size() * unit_bytes_);
    const auto decode = [&](uint64_t begin, uint64_t end, unsigned) {
      for (uint64_t i = begin; i < end; ++i) {
        Unit& held = batch_[i];
        const std::span<uint8_t> out(decoded_.data() + i * unit_bytes_, unit_bytes_);
        Expected<size_t> produced =
            Lznt1Decompress(std::span<const uint8_t>(stored_.data() + held.stored_at, held.stored_bytes), out);
        if (!produced) {
          held.failure = Damaged(Format("compression unit at content offset 0x%I64X: ", (batch_first_ + i) * unit_bytes_) +
                                 produced.error().message);
          continue;
        }
        std::fill(out.begin() + static_cast<ptrdiff_t>(*produced), out.end(), uint8_t{0});
      }
    };
    RunInLanes(batch_.size(), (batch_.size() + kLanes - 1) / kLanes, decode, [](unsigned) {});
    return {};
  }

  static Error Unreadable(uint64_t unit_start) {
    return Error{u"", Format("compression unit at content offset 0x%I64X: its clusters cannot be read", unit_start),
                 ErrorKind::kUnreadable};
  }

  AttributeReader reader_;
  const uint64_t cluster_;
  const uint64_t unit_clusters_;
  const uint64_t unit_bytes_;
  const uint64_t per_batch_;
  std::vector<Unit> batch_;  // compressed units from batch_first_ on
  uint64_t batch_first_ = 0;
  std::vector<uint8_t> stored_;   // their clusters, one after another
  std::vector<uint8_t> decoded_;  // the units, unit_bytes_ apart
};

// The whole units that holes cover within the content: zeros.
void AddHoleUnits(const RunList& runs, uint64_t unit_clusters, uint64_t cluster, ContentInfo& info) {
  const uint64_t unit_bytes = unit_clusters * cluster;
  const uint64_t units = (info.size + unit_bytes - 1) / unit_bytes;
  bool in_hole = false;
  Vcn hole_start;
  auto close = [&](Vcn end) {
    if (!in_hole) return;
    in_hole = false;
    const uint64_t first = (hole_start.value + unit_clusters - 1) / unit_clusters;
    const uint64_t last = std::min(end.value / unit_clusters, units);
    if (first < last) AddSparseRange(info, first * unit_bytes, std::min(last * unit_bytes, info.size) - first * unit_bytes);
  };
  for (const Run& run : runs.runs()) {
    if (run.lcn) {
      close(run.vcn);
    } else if (!in_hole) {
      in_hole = true;
      hole_start = run.vcn;
    }
  }
  close(runs.EndVcn());
  info.sparse = info.sparse_ranges_total > 0;
}

}  // namespace

Expected<std::unique_ptr<ContentSource>> OpenLznt1(AttributeReader reader, ContentInfo& info) {
  info.compression = Compression::kLznt1;
  const unsigned shift = reader.attribute().CompUnitSize();
  const uint64_t cluster = reader.volume().BytesPerCluster();
  if (shift == 0 || shift > kMaxUnitShift || (cluster << shift) > kMaxUnitBytes)
    return Damaged(Format("compressed, with a compression unit of 2^%u clusters of %I64u bytes: NTFS writes units "
                          "of 2 to %I64u KiB",
                          shift, cluster, kMaxUnitBytes >> 10));
  const uint64_t unit_clusters = uint64_t{1} << shift;
  const uint64_t unit_bytes = unit_clusters * cluster;
  // Every unit that holds initialized bytes must be mapped or a hole in
  // full: a unit the runs stop inside cannot be told from a compressed one.
  const uint64_t needed_units = info.initialized_size / unit_bytes + (info.initialized_size % unit_bytes ? 1 : 0);
  Expected<void> covered = CheckRunsCover(reader, needed_units * unit_bytes);
  if (!covered) return covered.error();
  const RunList& runs = reader.runs();
  AddHoleUnits(runs, unit_clusters, cluster, info);
  return std::unique_ptr<ContentSource>(std::make_unique<Lznt1Source>(std::move(reader), unit_clusters));
}

}  // namespace velmora::content
