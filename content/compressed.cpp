// LZNT1-compressed attributes. The value is cut into compression units of
// 2^n clusters (the header's compression unit field; 16 clusters in
// practice). Each unit is stored one of three ways, told apart by its runs:
// every cluster mapped, the unit's bytes as they are; its first clusters
// mapped and the rest a hole, those clusters hold LZNT1 data that
// decompresses to the unit (or to less: the rest is zeros); no cluster
// mapped, zeros.
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/bytes.h"
#include "base/format.h"
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

class Lznt1Source : public ContentSource {
 public:
  Lznt1Source(AttributeReader reader, uint64_t unit_clusters)
      : reader_(std::move(reader)),
        cluster_(reader_.volume().BytesPerCluster()),
        unit_clusters_(unit_clusters),
        unit_bytes_(unit_clusters * cluster_) {}

  Expected<size_t> Read(uint64_t offset, std::span<uint8_t> out) override {
    const uint64_t unit = offset / unit_bytes_;
    const uint64_t unit_start = unit * unit_bytes_;
    const uint64_t within = offset - unit_start;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(out.size(), unit_bytes_ - within));
    if (unit != decoded_unit_) {
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
      Expected<void> decoded = Decode(unit, map);
      if (!decoded) return decoded.error();
    }
    std::memcpy(out.data(), unit_buffer_.data() + within, count);
    return count;
  }

 private:
  Expected<void> Decode(uint64_t unit, const UnitMap& map) {
    const uint64_t unit_start = unit * unit_bytes_;
    decoded_unit_ = UINT64_MAX;
    if (!map.prefix)
      return Damaged(Format("compression unit at content offset 0x%I64X: its mapped clusters are not its first ones",
                            unit_start));
    compressed_.resize(map.mapped * cluster_);
    unit_buffer_.resize(unit_bytes_);
    if (!ReadRunBytes(reader_.volume(), reader_.runs(), unit_start, compressed_, /*require_mapped=*/true))
      return Unreadable(unit_start);
    Expected<size_t> produced = Lznt1Decompress(compressed_, unit_buffer_);
    if (!produced)
      return Damaged(Format("compression unit at content offset 0x%I64X: ", unit_start) + produced.error().message);
    std::fill(unit_buffer_.begin() + *produced, unit_buffer_.end(), uint8_t{0});
    decoded_unit_ = unit;
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
  std::vector<uint8_t> compressed_;
  std::vector<uint8_t> unit_buffer_;
  uint64_t decoded_unit_ = UINT64_MAX;
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
