// Finding one attribute of a file: by type and name, by instance, and
// through the attribute list into extension records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "ntfs/attribute.h"
#include "ntfs/file_record.h"
#include "ntfs/types.h"

namespace velmora {

class VolumeContext;

// The next attribute of the record (in record order, behind `after` when
// given) whose type matches (kAny matches every type) and whose name
// equals `name` unit for unit (null: any name).
std::optional<AttributeRecord> FindAttribute(const FileRecord& record, AttrType type, const CountedName* name,
                                             const AttributeRecord* after);

// The first attribute whose Id equals instance (a 16-bit field: larger ids match nothing).
std::optional<AttributeRecord> FindAttributeByInstance(const FileRecord& record, uint32_t instance);

// An attribute found among a file's attributes, together with the record
// that holds it, or nothing. The record is shared by the handle and its
// copies, so the attribute view stays valid as long as one of them lives.
class HeldAttribute {
 public:
  HeldAttribute() = default;  // nothing found

  explicit operator bool() const { return holder_ != nullptr; }
  bool has_value() const { return holder_ != nullptr; }
  // Only on a handle that holds an attribute.
  const AttributeRecord& operator*() const { return *attribute_; }
  const AttributeRecord* operator->() const { return &*attribute_; }
  // The base or extension record that holds the attribute.
  const FileRecord& holder() const { return *holder_; }

 private:
  friend class FileAttributes;
  friend class AttributeReader;
  HeldAttribute(std::shared_ptr<const FileRecord> holder, AttributeRecord attribute)
      : holder_(std::move(holder)), attribute_(attribute) {}
  std::shared_ptr<const FileRecord> holder_;
  std::optional<AttributeRecord> attribute_;  // a view into *holder_
};

// The first attribute of that type and name of the file whose base record is
// `base` (FileAttributes::First, for a caller that needs only one).
HeldAttribute FindFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type,
                                const CountedName* name);

}  // namespace velmora
