#include "cli/options.h"

#include <cwctype>

#include "source/drives.h"

namespace velmora {

uint64_t ParseUnsigned(std::u16string_view text, unsigned base, unsigned bits) {
  const uint64_t max = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
  size_t i = 0;
  while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (base == 16 && i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    // "0x" counts as a prefix only when a hex digit follows; else the "0" is the number.
    char16_t c = i + 2 < text.size() ? text[i + 2] : u'\0';
    if (std::iswxdigit(static_cast<wint_t>(c))) i += 2;
  }
  uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size(); ++i) {
    char16_t c = text[i];
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'a' && c <= u'z') {
      digit = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'Z') {
      digit = c - u'A' + 10;
    } else {
      break;
    }
    if (digit >= base) break;
    if (value > (max - digit) / base) overflow = true;
    if (!overflow) value = value * base + digit;
  }
  if (overflow) return max;
  return negative ? (uint64_t{0} - value) & max : value;
}

uint32_t ParseTypeCode(std::u16string_view text) {
  uint32_t t = static_cast<uint32_t>(ParseUnsigned(text, 10, 32)) * 16u;
  if ((t & ~0x1F0u) != 0 || t < 0x10 || t > 0x100 || t == 0xF0) return 0;
  return t;
}

CommandOptions ScanArguments(const std::vector<std::u16string>& arguments) {
  CommandOptions options;
  const size_t count = arguments.size();
  for (size_t i = 0; i < count; ++i) {
    const std::u16string& token = arguments[i];
    const bool one = i + 1 < count;
    const bool two = i + 2 < count;
    if (token == u"-f" && one) {
      options.target_path = arguments[++i];
      options.actions |= action::kTargetPath;
    } else if (token == u"-r" && one) {
      options.reference = ParseUnsigned(arguments[++i], 16, 64);
      options.actions |= action::kReference;
    } else if (token == u"-n" && one) {
      options.lsn = ParseUnsigned(arguments[++i], 16, 64);
      options.actions |= action::kLogRecord;
    } else if (token == u"-l") {
      options.actions |= action::kList;
    } else if (token == u"-a") {
      options.actions |= action::kFileRecord;
    } else if (token == u"-c") {
      options.actions |= action::kAttrDef;
    } else if (token == u"-v" && one) {
      options.detail_type = ParseTypeCode(arguments[++i]);
      options.actions |= action::kDetail;
    } else if (token == u"-w" && two) {
      options.attribute_id = static_cast<uint32_t>(ParseUnsigned(arguments[++i], 16, 32));
      options.output_path = arguments[++i];
      options.actions |= action::kWrite;
    } else if (token == u"-s" && one) {
      options.security_id = static_cast<uint32_t>(ParseUnsigned(arguments[++i], 16, 32));
      options.actions |= action::kSecurity;
    } else if (token == u"--timeline") {
      options.actions |= action::kTimeline;
    } else if (token == u"--json") {
      options.actions |= action::kJson;
    } else if (token == u"-e") {
      options.actions |= action::kFirstUnused;
    } else if (token == u"-d" && one) {
      options.dump_type = ParseTypeCode(arguments[++i]);
      options.actions |= action::kDump;
      if (i + 1 < count && !arguments[i + 1].empty() && arguments[i + 1][0] != u'-') {
        options.dump_range.start = ParseUnsigned(arguments[++i], 16, 64);
        if (i + 1 < count && !arguments[i + 1].empty() && arguments[i + 1][0] != u'-') {
          uint32_t range = static_cast<uint32_t>(ParseUnsigned(arguments[++i], 16, 32));
          options.dump_range.range = range == 0 ? 0x50 : range;
        }
      }
    } else if (token == u"-m" && two) {
      if (auto letter = source::DriveLetterToken(arguments[i + 1])) {
        options.drive_bindings.emplace_back(*letter, arguments[i + 2]);
      } else {
        options.warnings.push_back(u"-m: \"" + arguments[i + 1] + u"\" is not a drive letter; binding ignored");
      }
      i += 2;
    } else if (i > 0) {
      // Skipped as ever, but no longer silently: a typo should not look
      // like an option that did nothing.
      options.warnings.push_back(u"ignored argument: " + token);
    }
  }
  constexpr uint32_t kReports = action::kList | action::kFileRecord | action::kDetail | action::kDump |
                                action::kSecurity | action::kWrite | action::kAttrDef | action::kFirstUnused |
                                action::kLogRecord;
  if ((options.actions & action::kTimeline) && (options.actions & kReports))
    options.warnings.push_back(u"--timeline runs alone: the other reports asked for are not run");
  return options;
}

std::u16string_view BannerText() {
  return u"\n"
         u"Velmora v1.0 - NTFS on-disk structure viewer: file records, attributes, indexes, security, log\n"
         u"Reads volumes, never writes to them; prints what the disk holds.\n"
         u"Copyright (c) 2026 the Velmora developers.\n"
         u"\n";
}

std::u16string_view UsageText() {
  return u"Usage : Velmora.exe [options] -f file_path_name \n"
         u"-f file_path_name Specifies the target file path to parse.\n"
         u"options: \n"
         u"\t[-r file_reference] Specifies the target file reference. \n"
         u"\t\t\t    Velmora will parse the REFERENCE rather than the path which \n"
         u"\t\t\t    Specifies by -f. Velmora will just use the path root.\n"
         u"\t[-a] Show the file record information of the target file.\n"
         u"\t[-l] List the files in the directory.\n"
         u"\t[-w attribute_id output_file_path] Write target attribute to a file.\n"
         u"\t\t\t    (The attribute size must less than 128mb)\n"
         u"\t[-v attribute_type] Show detail attribute information specified by attribute_type.\n"
         u"\t[-d attribute_type [start_offset range]] Show binary information specified by attribute_type.\n"
         u"\t[-s secure_id] Show the security descriptor specified by secure_id.\n"
         u"\t[-c] Show the attributes definition columns.\n"
         u"About attribute type:\n"
         u"\t$STANDARD_INFORMATION  = 1\n"
         u"\t$ATTRIBUTE_LIST        = 2\n"
         u"\t$FILE_NAME             = 3\n"
         u"\t$OBJECT_ID             = 4\n"
         u"\t$SECURITY_DESCRIPTOR   = 5\n"
         u"\t$VOLUME_NAME           = 6\n"
         u"\t$VOLUME_INFORMATION    = 7\n"
         u"\t$DATA                  = 8\n"
         u"\t$INDEX_ROOT            = 9\n"
         u"\t$INDEX_ALLOCATION      = 10\n"
         u"\t$BITMAP                = 11\n"
         u"\t$REPARSE_POINT         = 12\n"
         u"\t$EA_INFORMATION        = 13\n"
         u"\t$EA                    = 14\n"
         u"\t$LOGGED_UTILITY_STREAM = 16\n"
         u"About secure id:\n"
         u"\tTo get the secure id of target file. \n"
         u"\tUse '-v 1' command, secure id will displayed in STANDARD_INFORMATION.\n";
}

}  // namespace velmora
