// The -a attribute table: its rows and how they are collected, exposed for
// tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"

#include "reports/reports.h"

namespace velmora {

// One row of the attribute table.
struct AttributeRow {
  uint32_t type = 0;
  uint64_t reference = 0;  // the record holding the attribute (list entries: sequence included)
  uint32_t instance = 0;
  std::u16string name;     // empty for an unnamed attribute
  bool operator==(const AttributeRow&) const = default;
};

// The largest row count whose byte size fits a signed 32-bit value when a
// row keeps its name in a fixed 256-unit buffer (536 bytes a row). The
// capacity doubles, so in practice the table stops at 2^21 rows.
inline constexpr size_t kMaxAttributeRows = 4006499;

// The rows, in a capacity that starts at 0, becomes 1, then doubles; a
// growth past the limit (or one the allocator refuses) drops the row.
class AttributeRows {
 public:
  explicit AttributeRows(size_t limit = kMaxAttributeRows) : limit_(limit) {}
  // False when the row was dropped.
  bool Add(AttributeRow row);
  const std::vector<AttributeRow>& rows() const { return rows_; }
  size_t capacity() const { return capacity_; }

 private:
  size_t limit_;
  size_t capacity_ = 0;
  std::vector<AttributeRow> rows_;
};

// Reads the record again and adds one row per attribute: from the
// $ATTRIBUTE_LIST when the record has one, else from the record itself.
// False (rows untouched) when the record cannot be read. problems, when
// given, receives what of a damaged list was passed over.
bool CollectAttributeRows(VolumeContext& volume, FileReference reference, AttributeRows& rows,
                          std::vector<Error>* problems = nullptr);

}  // namespace velmora
