// Finding one attribute of a file: by type and name, by instance, and
// through the attribute list into extension records.
#pragma once

#include <cstdint>
#include <functional>
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

// An attribute found through a file's lookup, together with the record
// that holds it, or nothing. The record is shared by the handle and its
// copies, so the attribute view stays valid as long as one of them lives,
// whatever later lookups load.
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
  friend HeldAttribute FindFileAttribute(VolumeContext&, const FileRecord&, AttrType, const CountedName*,
                                         const HeldAttribute*);
  friend class AttributeReader;
  HeldAttribute(std::shared_ptr<const FileRecord> holder, AttributeRecord attribute)
      : holder_(std::move(holder)), attribute_(attribute) {}
  std::shared_ptr<const FileRecord> holder_;
  std::optional<AttributeRecord> attribute_;  // a view into *holder_
};

// An attribute of the file whose base record is `base`. Without an
// attribute list, as FindAttribute. With one, the list decides: only entries
// of exactly that type (kAny matches none) whose extent starts at VCN 0 are
// selected, in list order, and the holding record is read again (a second
// copy of the base record for attributes held there). Iterate by passing
// the previous result as after: its holder is reused for the entries it holds.
HeldAttribute FindFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type,
                                const CountedName* name, const HeldAttribute* after);

// Visits each attribute of the file of that type (and name, when given)
// once, in the order FindFileAttribute yields them, until the visitor
// answers Walk::kStop. A damaged attribute list whose entries name one attribute
// twice would make the after-rule yield it forever; an attribute met again
// (same holding record, same instance) ends the iteration.
using FileAttributeVisitor = std::function<Walk(const AttributeRecord& attribute)>;
void ForEachFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type, const CountedName* name,
                          const FileAttributeVisitor& visitor);

}  // namespace velmora
