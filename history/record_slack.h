// $FILE_NAME attributes left in a file record past its used size: when an
// attribute shrinks or goes, the attributes behind it move down and the
// old tail stays, often holding a name the file had before (a rename, a
// move, a name of a link since removed).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "history/carved_name.h"

namespace velmora {

class FileRecord;

// Each resident, unnamed $FILE_NAME attribute record carved at an 8-byte
// boundary of [used size, allocated size) of a file record (update
// sequence undone): its length inside that region, the value inside the
// attribute and exactly as long as its name, the value as
// ReadCarvedFileName wants it, and not one of the record's live names moved
// down (the same parent and name). Bounded by the record's size.
using RecordSlackVisitor = std::function<void(uint32_t offset, uint16_t attribute_id, CarvedName name)>;
void CarveRecordSlack(const FileRecord& record, const RecordSlackVisitor& visitor);

}  // namespace velmora
