// Evidence sets known by their names: the parts of a split raw image and
// the segments of an EWF set lie beside the first file, named by a
// counting rule. Opening a split set walks the rule from its first name;
// the -w guard asks whether a name would fall into a bound set, whether
// or not that file exists yet.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "source/evidence.h"

namespace velmora::source {

// A split part's name: a prefix, then a suffix that counts in decimal
// digits or in lower-case letters.
struct SplitPartName {
  std::string prefix;
  std::string suffix;
  std::string Name() const { return prefix + suffix; }
};

// The first part of a split set that a name (a path, or a file name) gives,
// or nullopt: a suffix of at least two counting characters that starts a
// count, after a non-empty prefix. Imagers number from 1 (disk.001,
// disk.0001); GNU split -d from 0 (disk.00, disk.000, x00), with
// --numeric-suffixes=1 from 1 (disk.01); split without -d in letters
// (disk.aa, xaa). The suffix is the longest such run (x000 counts 000).
std::optional<SplitPartName> FirstSplitPart(std::string_view path);

// The names the part after this one may have, in the order to try: the
// suffix counted up in place (none past its last value), then, where the
// count would reach a suffix starting with the last digit or letter, the
// longer name GNU split moves on to when no suffix length was given
// (x89 then x9000, xyz then xzaaa).
std::vector<SplitPartName> NextSplitParts(const SplitPartName& part);

// Whether a file named name would be read into the set whose first file is
// named first (both without their folder; ASCII letters in either case, as
// a case-insensitive file system would find them), by the set's naming
// rule: Format::kEwf for an EWF first segment (NAME.E01: E02 ... E99, EAA
// ... ZZZ; also .L01, .s01 and EWF2's .Ex01, .Lx01), Format::kSplitRaw for
// a split first part (every suffix of its width and alphabet, and GNU
// split's longer ones). nullopt when first starts no set or name is not in
// it. Every name of the rule counts, not only the one after the last file
// there: which one that is depends on what the folder holds at the moment,
// and a name further on joins the set as soon as the gap before it fills.
std::optional<Format> SetMemberKind(std::string_view first, std::string_view name);

}  // namespace velmora::source
