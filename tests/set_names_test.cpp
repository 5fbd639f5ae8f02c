// The names of evidence sets: which names start a split set, the names a
// part may be followed by, and which names a bound set would read as its
// own (the -w guard). The order GNU split itself gives is checked against
// split in container_test.cpp.
#include "source/set_names.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace velmora::source {
namespace {

TEST(SplitSetNamesTest, FirstPartsAndTheirSuffixes) {
  struct Row {
    const char* path;
    const char* prefix;  // null: no first part
    const char* suffix;
  };
  const Row rows[] = {
      {"disk.001", "disk.", "001"},           // imagers, from 1
      {"disk.00", "disk.", "00"},             // split -d
      {"disk.000", "disk.", "000"},           // split -d -a 3
      {"disk.01", "disk.", "01"},             // split --numeric-suffixes=1
      {"disk.aa", "disk.", "aa"},             // split, a prefix ending in a dot
      {"/cases/x.d/xaa", "/cases/x.d/x", "aa"},  // split's default prefix, no dot
      {"x00", "x", "00"},
      {"disk2000", "disk2", "000"},           // split -d -a 3 FILE disk2
      {"disk.img", nullptr, nullptr},
      {"data", nullptr, nullptr},             // one a is no suffix
      {"disk.1", nullptr, nullptr},
      {"disk.002", nullptr, nullptr},         // a later part opens alone
      {"disk.ab", nullptr, nullptr},
      {"disk.AA", nullptr, nullptr},          // split counts in lower case
      {"aa", nullptr, nullptr},               // no prefix
      {"/cases/001", nullptr, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const auto first = FirstSplitPart(row.path);
    ASSERT_EQ(first.has_value(), row.prefix != nullptr);
    if (!first) continue;
    EXPECT_EQ(first->prefix, row.prefix);
    EXPECT_EQ(first->suffix, row.suffix);
  }
}

TEST(SplitSetNamesTest, NextPartsCountInPlaceThenWiden) {
  struct Row {
    SplitPartName part;
    std::vector<std::string> next;  // in the order tried
  };
  const Row rows[] = {
      {{"disk.", "001"}, {"disk.002"}},
      {{"disk.", "999"}, {}},                    // the last of its width
      {{"disk.", "ab"}, {"disk.ac"}},
      {{"x", "az"}, {"xba"}},
      {{"x", "89"}, {"x90", "x9000"}},           // -a 2 given, or split's own widening
      {{"x", "yz"}, {"xza", "xzaaa"}},
      {{"xz", "yzz"}, {"xzzaa", "xzzaaaa"}},     // the second widening
      {{"x", "089"}, {"x090", "x09000"}},        // x0 + 89, read as x + 089
      {{"x", "zz"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.part.Name());
    std::vector<std::string> next;
    for (const SplitPartName& part : NextSplitParts(row.part)) next.push_back(part.Name());
    EXPECT_EQ(next, row.next);
  }
}

TEST(SetMemberTest, EveryNameOfTheSetsRuleAndNoOther) {
  struct Row {
    const char* first;
    const char* name;
    std::optional<Format> kind;
  };
  constexpr auto kEwf = Format::kEwf;
  constexpr auto kSplit = Format::kSplitRaw;
  const Row rows[] = {
      {"case.E01", "case.E08", kEwf},
      {"case.E01", "case.EAA", kEwf},  // past E99
      {"case.E01", "case.FAA", kEwf},  // past EZZ
      {"case.E01", "case.ZZZ", kEwf},
      {"case.E01", "CASE.e08", kEwf},  // as a case-insensitive file system finds it
      {"case.E01", "case.E01", kEwf},
      {"case.E01", "case.E00", std::nullopt},
      {"case.E01", "case.DAA", std::nullopt},
      {"case.E01", "case.E100", std::nullopt},
      {"case.E01", "other.E08", std::nullopt},
      {"case.E01", "case.E08.txt", std::nullopt},
      {"case.s01", "case.s02", kEwf},  // SMART
      {"case.Ex01", "case.Ex02", kEwf},
      {"case.Ex01", "case.EzZZ", kEwf},
      {"case.Ex01", "case.Ey01", std::nullopt},
      {"case.Ex01", "case.E02", std::nullopt},
      {"disk.001", "disk.008", kSplit},
      {"disk.001", "disk.000", kSplit},  // every suffix of the width
      {"disk.001", "disk.1000", std::nullopt},
      {"disk.001", "disk.aaa", std::nullopt},
      {"disk.00", "disk.9000", kSplit},  // split's widening
      {"disk.00", "disk.900", std::nullopt},
      {"disk.aa", "disk.zaaa", kSplit},
      {"disk.aa", "disk.yaaa", std::nullopt},
      {"xaa", "xab", kSplit},
      {"xaa", "xa", std::nullopt},
      {"xaa", "yab", std::nullopt},
      {"data", "datb", std::nullopt},  // no set at all
      {"disk.img", "disk.img.001", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.first) + " " + row.name);
    EXPECT_EQ(SetMemberKind(row.first, row.name), row.kind);
  }
}

}  // namespace
}  // namespace velmora::source
