// The attributes of one file: those of its base record, or, when it has an
// $ATTRIBUTE_LIST, those the list places in the base and extension records.
//
// Every consumer (the record report, the attribute enumeration, the value
// readers, the index walk, the directory test of the listing) goes through
// this set, so the list is parsed once per file and each holding record is
// read at most once, whatever is asked of it. Damage in the list (an
// attribute named twice, the list naming itself, an entry in a record that
// belongs to another file) is passed over and said once in problems(); no
// question asked of the set can loop.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "ntfs/attribute_list.h"
#include "ntfs/file_record.h"
#include "ntfs/lookup.h"
#include "ntfs/types.h"
#include "ntfs/value_reader.h"

namespace velmora {

class VolumeContext;

// The most problems kept for one file; a list of 10,000 damaged entries
// says the first ones and how many more.
inline constexpr size_t kMaxAttributeSetProblems = 8;

class FileAttributes {
 public:
  // The attributes of the file whose base record is `base`. Reads and
  // parses the attribute list when there is one (within
  // kMaxAttributeListBytes); holding records are read when first needed.
  static FileAttributes Open(VolumeContext& volume, FileRecord base);

  const FileRecord& base() const { return *base_; }
  bool HasList() const { return list_.has_value(); }
  // The base record's own $ATTRIBUTE_LIST attribute, when there is one.
  const std::optional<AttributeRecord>& list_attribute() const { return list_; }
  // Every entry of the list in list order, each (record, instance) once and
  // none naming the list itself; empty without a list.
  const std::vector<ListedAttribute>& listed() const { return listed_; }

  // The attributes of that type (kAny: every type, but only without a list,
  // where the record's own order is known) and name (null: any name), each
  // once: without a list in record order, with one in list order and only
  // through the entry of a value's first extent.
  std::vector<HeldAttribute> Find(AttrType type, const CountedName* name);
  HeldAttribute First(AttrType type, const CountedName* name);

  // A reader of the value that runs through all its extents, those that
  // later entries of the list place in other records included.
  AttributeReader Reader(const HeldAttribute& attribute);
  AttributeReader Reader(const AttributeRecord& attribute);

  // Why some of the file's attributes could not be taken, each once, the
  // last line counting those past kMaxAttributeSetProblems.
  std::vector<Error> problems() const;
  // File records this set has read (the base record excluded).
  uint64_t records_read() const { return records_read_; }

 private:
  FileAttributes(VolumeContext& volume, std::shared_ptr<const FileRecord> base)
      : volume_(&volume), base_(std::move(base)) {}
  // The record of that number holding attributes of this file, read once;
  // null when it cannot be read or belongs to another file.
  std::shared_ptr<const FileRecord> Holder(uint64_t number);
  // The attribute a list entry names, checked against the entry.
  HeldAttribute Resolve(const ListedAttribute& entry);
  void Problem(Error error);

  VolumeContext* volume_;
  std::shared_ptr<const FileRecord> base_;
  std::optional<AttributeRecord> list_;  // a view into *base_
  std::vector<ListedAttribute> listed_;
  std::map<uint64_t, std::shared_ptr<const FileRecord>> holders_;
  std::vector<Error> problems_;
  uint64_t problems_passed_ = 0;
  uint64_t records_read_ = 0;
};

}  // namespace velmora
