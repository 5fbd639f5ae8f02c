#include "source/set_names.h"

#include <algorithm>

namespace velmora::source {

namespace {

// The characters a suffix counts in, first to last.
struct Alphabet {
  char first;
  char last;
};
constexpr Alphabet kDigits{'0', '9'};
constexpr Alphabet kLetters{'a', 'z'};

// split's shortest suffix; a single trailing digit or letter names no set.
constexpr size_t kMinSuffix = 2;

char Folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool In(Alphabet alphabet, char c) {
  c = Folded(c);
  return c >= alphabet.first && c <= alphabet.last;
}

bool SameFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return Folded(x) == Folded(y);
         });
}

Alphabet AlphabetOf(const SplitPartName& part) { return In(kDigits, part.suffix.back()) ? kDigits : kLetters; }

bool InSplitSet(const SplitPartName& first, std::string_view name) {
  if (name.size() < first.prefix.size() || !SameFolded(name.substr(0, first.prefix.size()), first.prefix))
    return false;
  const std::string_view rest = name.substr(first.prefix.size());
  const size_t width = first.suffix.size();
  // Each widening GNU split makes adds one last character to the prefix and
  // one to the suffix.
  if (rest.size() < width || (rest.size() - width) % 2 != 0) return false;
  const size_t widenings = (rest.size() - width) / 2;
  const Alphabet alphabet = AlphabetOf(first);
  for (size_t i = 0; i < rest.size(); ++i) {
    if (!In(alphabet, rest[i]) || (i < widenings && Folded(rest[i]) != alphabet.last)) return false;
  }
  return true;
}

// EWF first segments: the extension's family letter (E disk image, L
// logical evidence, S SMART) then 01, or in EWF2 the letter, x and 01.
struct EwfFirst {
  std::string_view stem;  // up to the dot, the dot included
  char family;
  bool ewf2;
};

std::optional<EwfFirst> EwfFirstSegment(std::string_view name) {
  const size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view extension = name.substr(dot + 1);
  const char family = extension.empty() ? '\0' : Folded(extension[0]);
  if (family != 'e' && family != 'l' && family != 's') return std::nullopt;
  const std::string_view count = extension.substr(1);
  if (count == "01") return EwfFirst{name.substr(0, dot + 1), family, false};
  if (SameFolded(count, "x01")) return EwfFirst{name.substr(0, dot + 1), family, true};
  return std::nullopt;
}

// Segments 01 to 99 in digits, then AA to ZZ in letters, after which the
// letter before the count runs on: EZZ, then FAA ... ZZZ; in EWF2 the x
// does (ExZZ, then EyAA ... EzZZ).
bool InEwfSet(const EwfFirst& first, std::string_view name) {
  if (name.size() < first.stem.size() || !SameFolded(name.substr(0, first.stem.size()), first.stem)) return false;
  const std::string_view extension = name.substr(first.stem.size());
  if (extension.size() != (first.ewf2 ? 4u : 3u)) return false;
  if (first.ewf2 && Folded(extension[0]) != first.family) return false;
  const char lead = Folded(extension[first.ewf2 ? 1 : 0]);
  const char start = first.ewf2 ? 'x' : first.family;
  const std::string_view count = extension.substr(extension.size() - 2);
  if (In(kDigits, count[0]) && In(kDigits, count[1])) return lead == start && count != "00";
  return In(kLetters, count[0]) && In(kLetters, count[1]) && lead >= start && lead <= 'z';
}

}  // namespace

std::optional<SplitPartName> FirstSplitPart(std::string_view path) {
  const size_t folder = path.find_last_of("/\\");
  const size_t name_start = folder == std::string_view::npos ? 0 : folder + 1;
  if (path.size() <= name_start) return std::nullopt;
  // The suffix: a run of the first counting character, then a 1 where the
  // count starts at one.
  size_t start = path.size();
  char first = path.back();
  if (first == '1') {
    --start;
    first = '0';
  } else if (first != '0' && first != 'a') {
    return std::nullopt;
  }
  while (start > name_start && path[start - 1] == first) --start;
  if (path.size() - start < kMinSuffix || start == name_start) return std::nullopt;
  return SplitPartName{std::string(path.substr(0, start)), std::string(path.substr(start))};
}

std::vector<SplitPartName> NextSplitParts(const SplitPartName& part) {
  std::vector<SplitPartName> next;
  if (part.suffix.empty()) return next;
  const Alphabet alphabet = AlphabetOf(part);
  std::string counted = part.suffix;
  for (size_t i = counted.size(); i-- > 0;) {
    if (counted[i] != alphabet.last) {
      ++counted[i];
      next.push_back({part.prefix, counted});
      break;
    }
    counted[i] = alphabet.first;
  }
  // split's widening: a suffix about to start with the last character
  // moves that character into the prefix and counts on one longer (yz,
  // then z + aaa).
  const size_t turning = part.suffix.find_last_not_of(alphabet.last);
  if (turning != std::string::npos && part.suffix[turning] == alphabet.last - 1 &&
      part.suffix.size() - turning >= kMinSuffix) {
    next.push_back({part.prefix + part.suffix.substr(0, turning) + alphabet.last,
                    std::string(part.suffix.size() - turning + 1, alphabet.first)});
  }
  return next;
}

std::optional<Format> SetMemberKind(std::string_view first, std::string_view name) {
  // An EWF name is read by the EWF rule alone: case.E00 is no file of its set.
  if (auto ewf = EwfFirstSegment(first)) return InEwfSet(*ewf, name) ? std::optional(Format::kEwf) : std::nullopt;
  if (auto split = FirstSplitPart(first)) {
    if (InSplitSet(*split, name)) return Format::kSplitRaw;
  }
  return std::nullopt;
}

}  // namespace velmora::source
