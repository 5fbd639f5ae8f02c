// JSON Lines: one object a line, RFC 8259, UTF-8.
//
// The conventions every report follows, so that a script never loses a bit:
// - a 64-bit value that may pass 2^53 is a number plus "<key>_hex", its
//   16 lowercase hex digits;
// - a file reference is {"record","sequence","hex"};
// - a FILETIME is {"utc": ISO 8601 with seven decimals, "filetime", "filetime_hex"};
// - bytes are one lowercase hex string;
// - flags are {"value", "names": [...]};
// - UTF-16 text is exact: pairs become UTF-8, an unpaired surrogate the
//   escape \uD8xx (which a JSON parser hands back as that code unit).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/types.h"

namespace velmora {

class Console;

namespace json {

// One named bit (or bit group) of a flags field.
struct FlagName {
  uint64_t mask;
  std::string_view name;
};

// Builds one line. Every value method takes its key; inside an array the
// key is left empty.
class Line {
 public:
  explicit Line(std::string_view report);

  Line& String(std::string_view key, std::string_view utf8);
  Line& Text(std::string_view key, std::u16string_view utf16);
  Line& Number(std::string_view key, uint64_t value);
  Line& Signed(std::string_view key, int64_t value);
  Line& Wide(std::string_view key, uint64_t value);  // number and "<key>_hex"
  Line& Bool(std::string_view key, bool value);
  Line& Reference(std::string_view key, FileReference reference);
  Line& Time(std::string_view key, uint64_t filetime);
  // The four times NTFS keeps with a file, in the order it stores them.
  Line& FileTimes(uint64_t created, uint64_t modified, uint64_t record_changed, uint64_t accessed);
  Line& Bytes(std::string_view key, std::span<const uint8_t> bytes);
  Line& Flags(std::string_view key, uint64_t value, std::span<const FlagName> names);

  Line& Object(std::string_view key);  // opens {...}
  Line& Array(std::string_view key);   // opens [...]
  Line& End();                         // closes the innermost open one

  // The finished line, closing brace and newline included.
  const std::string& Finish();

 private:
  void Key(std::string_view key);
  Line& Open(std::string_view key, char opener, char closer);
  std::string out_;
  std::string closers_;
  bool first_ = true;
};

// Appends a JSON string literal of UTF-8 (or ASCII) text.
void AppendString(std::string& out, std::string_view utf8);
// Appends a JSON string literal of UTF-16 text, unpaired surrogates escaped.
void AppendString(std::string& out, std::u16string_view utf16);
// Sixteen lowercase hex digits.
std::string Hex16(uint64_t value);

// Writes the finished line to the console's standard output.
void Emit(Console& console, Line& line);

}  // namespace json

// A FILETIME as UTC in ISO 8601 with all seven decimals: "2020-01-01T00:00:00.0000000Z".
std::string IsoFileTime(uint64_t filetime);
// The same, appended.
void AppendIsoFileTime(std::string& out, uint64_t filetime);

}  // namespace velmora
