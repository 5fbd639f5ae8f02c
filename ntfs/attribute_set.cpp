#include "ntfs/attribute_set.h"

#include <set>
#include <utility>

#include "ntfs/volume.h"
#include "base/format.h"

namespace velmora {

namespace {

std::u16string RecordName(uint64_t number) { return Format("record 0x%I64X", number); }

// Whether a lookup through the list takes this entry. The order of the list
// is the only order there is, so "any type" selects nothing; a value is
// found through the entry of its first extent.
bool Selects(const ListedAttribute& entry, AttrType type, const CountedName* name) {
  if (type == AttrType::kAny || entry.Type() != type) return false;
  if (name && !entry.NameEquals(*name)) return false;
  return entry.start_vcn.value == 0;
}

}  // namespace

FileAttributes FileAttributes::Open(VolumeContext& volume, FileRecord base) {
  FileAttributes set(volume, std::make_shared<const FileRecord>(std::move(base)));
  set.list_ = FindAttribute(*set.base_, AttrType::kAttributeList, nullptr, nullptr);
  if (!set.list_) return set;

  const std::u16string where = RecordName(set.base_->Number().value) + u": its attribute list";
  if (set.list_->ValueSize() > kMaxAttributeListBytes) {
    set.Problem(Error{where,
                      Format("holds %I64u bytes, more than the %I64u NTFS allows; its attributes are not read",
                             set.list_->ValueSize(), kMaxAttributeListBytes),
                      ErrorKind::kLimit});
    return set;
  }
  AttributeReader reader(volume, *set.list_);
  const std::vector<uint8_t>* value = reader.ReadAttributeValue();
  if (!value) {
    set.Problem(Error{where, u"cannot be read; the attributes it names are not read", ErrorKind::kUnreadable});
    return set;
  }

  // Each attribute (record, instance) once: a list that names one twice
  // would make every walk over it yield that attribute again.
  std::set<std::pair<uint64_t, uint16_t>> seen;
  std::optional<ListedAttribute> first_repeat;
  uint64_t repeats = 0;
  for (ListedAttribute& entry : ListAttributes(*value)) {
    if (entry.Type() == AttrType::kAttributeList) {
      set.Problem(Error{where, u"names an $ATTRIBUTE_LIST (itself); the entry is passed over"});
      continue;
    }
    if (!seen.emplace(entry.holder.Number(), entry.instance).second) {
      if (repeats++ == 0) first_repeat = entry;
      continue;
    }
    set.listed_.push_back(std::move(entry));
  }
  if (repeats != 0) {
    set.Problem(Error{where, Format("names attribute instance 0x%X of record 0x%I64X twice; repeated entries passed over: %I64u",
                                    first_repeat->instance, first_repeat->holder.Number(), repeats)});
  }
  return set;
}

void FileAttributes::Problem(Error error) {
  for (const Error& known : problems_) {
    if (known.Line() == error.Line()) return;
  }
  if (problems_.size() == kMaxAttributeSetProblems) {
    ++problems_passed_;
    return;
  }
  problems_.push_back(std::move(error));
}

std::vector<Error> FileAttributes::problems() const {
  std::vector<Error> all = problems_;
  if (problems_passed_ != 0) {
    all.push_back(Error{RecordName(base_->Number().value) + u": its attribute list",
                        Format("%I64u more problems of the same kind", problems_passed_)});
  }
  return all;
}

std::shared_ptr<const FileRecord> FileAttributes::Holder(uint64_t number) {
  if (number == base_->Number().value) return base_;
  if (auto known = holders_.find(number); known != holders_.end()) return known->second;

  std::shared_ptr<const FileRecord>& slot = holders_[number];
  ++records_read_;
  auto read = ReadFileRecord(*volume_, RecordNumber(number));
  if (!read) {
    Problem(Error{RecordName(number),
                  Format("is named by the attribute list of record 0x%I64X but cannot be read: ", base_->Number().value) +
                      read.error().message,
                  read.error().kind});
    return nullptr;
  }
  // An extension record says which base record it belongs to; one that
  // names another file is not this file's, whatever the list says.
  const uint64_t owner = FileReference(read->RefToBase()).Number();
  if (owner != base_->Number().value) {
    Problem(Error{RecordName(number),
                  Format("is named by the attribute list of record 0x%I64X but belongs to record 0x%I64X; "
                         "its attributes are passed over",
                         base_->Number().value, owner)});
    return nullptr;
  }
  slot = std::make_shared<const FileRecord>(std::move(*read));
  return slot;
}

HeldAttribute FileAttributes::Resolve(const ListedAttribute& entry) {
  std::shared_ptr<const FileRecord> holder = Holder(entry.holder.Number());
  if (!holder) return {};
  const auto found = FindAttributeByInstance(*holder, entry.instance);
  if (!found || found->TypeCode() != entry.type_code) {
    Problem(Error{RecordName(entry.holder.Number()),
                  Format("holds no attribute of type 0x%X with instance 0x%X, which the attribute list of "
                         "record 0x%I64X names there",
                         entry.type_code, entry.instance, base_->Number().value)});
    return {};
  }
  if (holder->IsStaleFor(entry.holder)) {
    Problem(Error{RecordName(entry.holder.Number()),
                  Format("has sequence number %u, but the attribute list of record 0x%I64X names it with %u "
                         "(the record was freed and used again since)",
                         holder->Sequence(), base_->Number().value, entry.holder.Sequence())});
  }
  return HeldAttribute(std::move(holder), *found);
}

std::vector<HeldAttribute> FileAttributes::Find(AttrType type, const CountedName* name) {
  std::vector<HeldAttribute> found;
  if (!list_) {
    AttributeWalk walk(*base_);
    while (auto a = walk.Next()) {
      if (type != AttrType::kAny && a->Type() != type) continue;
      if (name && !a->NameEquals(*name)) continue;
      found.push_back(HeldAttribute(base_, *a));
    }
    return found;
  }
  for (const ListedAttribute& entry : listed_) {
    if (!Selects(entry, type, name)) continue;
    if (HeldAttribute held = Resolve(entry)) found.push_back(std::move(held));
  }
  return found;
}

HeldAttribute FileAttributes::First(AttrType type, const CountedName* name) {
  if (!list_) {
    auto a = FindAttribute(*base_, type, name, nullptr);
    return a ? HeldAttribute(base_, *a) : HeldAttribute();
  }
  for (const ListedAttribute& entry : listed_) {
    if (!Selects(entry, type, name)) continue;
    if (HeldAttribute held = Resolve(entry)) return held;
  }
  return {};
}

AttributeReader FileAttributes::Reader(const AttributeRecord& attribute) {
  if (!list_ || !attribute.NonResident() || attribute.StartVcn() != 0) return AttributeReader(*volume_, attribute);
  RunList runs = GatherExtentRuns(listed_, attribute, [this](uint64_t number, const RunList&) {
    return Holder(number);
  });
  return AttributeReader(*volume_, attribute, std::move(runs));
}

AttributeReader FileAttributes::Reader(const HeldAttribute& attribute) {
  AttributeReader reader = Reader(*attribute);
  reader.holder_ = attribute.holder_;
  return reader;
}

}  // namespace velmora
