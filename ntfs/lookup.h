// Finding one attribute of a file: by type and name, by instance, and
// through the attribute list into extension records.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

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

// Holds the record that FindFileAttribute loaded from the attribute list.
struct AttributeListCursor {
  std::optional<FileRecord> record;
};

// An attribute of the file whose base record is `base`. Without an
// attribute list, as FindAttribute. With one, the list decides: only entries
// of exactly that type (kAny matches none) whose extent starts at VCN 0 are
// selected, in list order, and the result always lies in list_cursor's
// record (a second copy of the base record for attributes held there).
// Iterate by passing the previous result as after.
std::optional<AttributeRecord> FindFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type,
                                                 AttributeListCursor& list_cursor, const CountedName* name,
                                                 const AttributeRecord* after);

// Visits each attribute of the file of that type (and name, when given)
// once, in the order FindFileAttribute yields them, until the visitor
// returns false. A damaged attribute list whose entries name one attribute
// twice would make the after-rule yield it forever; an attribute met again
// (same holding record, same instance) ends the iteration.
using FileAttributeVisitor = std::function<bool(const AttributeRecord& attribute)>;
void ForEachFileAttribute(VolumeContext& volume, const FileRecord& base, AttrType type, const CountedName* name,
                          const FileAttributeVisitor& visitor);

}  // namespace velmora
