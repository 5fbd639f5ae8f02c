#include "cli/options.h"

#include <algorithm>
#include <cwctype>

#include "base/format.h"
#include "source/drives.h"

namespace velmora {

namespace {

// What the standard unsigned conversion made of a token, and what it
// passed over on the way.
struct NumberScan {
  uint64_t value = 0;
  bool digits = false;       // at least one digit was read
  bool negative = false;     // a minus sign: the value wrapped
  bool overflow = false;     // too large for the width
  std::u16string_view rest;  // what follows the digits, ignored
};

NumberScan ScanUnsigned(std::u16string_view text, unsigned base, unsigned bits) {
  NumberScan scan;
  const uint64_t max = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
  size_t i = 0;
  while (i < text.size() && std::iswspace(static_cast<wint_t>(text[i]))) ++i;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) scan.negative = text[i++] == u'-';
  if (base == 16 && i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    // "0x" counts as a prefix only when a hex digit follows; else the "0" is the number.
    char16_t c = i + 2 < text.size() ? text[i + 2] : u'\0';
    if (std::iswxdigit(static_cast<wint_t>(c))) i += 2;
  }
  uint64_t value = 0;
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
    scan.digits = true;
    if (value > (max - digit) / base) scan.overflow = true;
    if (!scan.overflow) value = value * base + digit;
  }
  scan.rest = text.substr(i);
  if (scan.overflow) {
    scan.value = max;
  } else {
    scan.value = scan.negative ? (uint64_t{0} - value) & max : value;
  }
  return scan;
}

}  // namespace

uint64_t ParseUnsigned(std::u16string_view text, unsigned base, unsigned bits) {
  return ScanUnsigned(text, base, bits).value;
}

uint32_t ParseTypeCode(std::u16string_view text) {
  uint32_t t = static_cast<uint32_t>(ParseUnsigned(text, 10, 32)) * 16u;
  if ((t & ~0x1F0u) != 0 || t < 0x10 || t > 0x100 || t == 0xF0) return 0;
  return t;
}

namespace {

bool IsTypeNumber(uint64_t number) { return (number >= 1 && number <= 14) || number == 16; }

// What is wrong with a scanned number, in words; empty when it is cleanly one.
std::vector<std::u16string> ScanProblems(const NumberScan& scan, unsigned base, unsigned bits) {
  std::vector<std::u16string> problems;
  if (!scan.digits) {
    problems.push_back(base == 16 ? u"no hexadecimal digits" : u"no decimal digits");
    return problems;
  }
  if (scan.overflow) problems.push_back(Format("too large for %u bits", bits));
  if (scan.negative) problems.push_back(Format("negative, taken modulo 2^%u", bits));
  if (!scan.rest.empty()) problems.push_back(Format("\"%s\" after the number is ignored", scan.rest));
  return problems;
}

// One stderr line: what was wrong with the option's token, how it was
// read, and a hint when one helps.
std::u16string ReadingLine(std::u16string_view option, std::u16string_view text,
                           const std::vector<std::u16string>& problems, std::u16string_view result,
                           std::u16string_view hint) {
  std::u16string line = Format("%s \"%s\": ", option, text);
  for (size_t i = 0; i < problems.size(); ++i) line += (i == 0 ? u"" : u", ") + problems[i];
  line += u"; read as ";
  line += result;
  if (!hint.empty()) line += u"; " + std::u16string(hint);
  return line;
}

uint64_t ReadHex(std::u16string_view option, std::u16string_view text, unsigned bits,
                 std::vector<std::u16string>& warnings, std::u16string_view hint = {}) {
  const NumberScan scan = ScanUnsigned(text, 16, bits);
  const std::vector<std::u16string> problems = ScanProblems(scan, 16, bits);
  if (!problems.empty()) warnings.push_back(ReadingLine(option, text, problems, Format("0x%I64X", scan.value), hint));
  return scan.value;
}

// A token read as decimal 0 that was meant as hexadecimal: "0x30".
bool HexPrefixed(const NumberScan& decimal) {
  return decimal.digits && decimal.value == 0 && !decimal.rest.empty() &&
         (decimal.rest[0] == u'x' || decimal.rest[0] == u'X');
}

// The type number meant by one that looks like a type code: 48 or 0x30
// for $FILE_NAME, which is 3. Empty when it does not look like one.
std::u16string TypeCodeHint(std::u16string_view option, std::u16string_view text, const NumberScan& scan) {
  const uint64_t code = HexPrefixed(scan) ? ParseUnsigned(text, 16, 32) : scan.value;
  if (code % 16 != 0 || !IsTypeNumber(code / 16)) return {};
  return Format("type numbers are the type code divided by 16: %s is %s %u",
                AttributeTypeShortName(static_cast<uint32_t>(code)), option, static_cast<uint32_t>(code / 16));
}

// A -v or -d type number, read as ParseTypeCode reads it; a token that is
// not cleanly one of the types (1 to 14, 16) is told how it was read.
uint32_t ReadTypeNumber(std::u16string_view option, std::u16string_view text, std::vector<std::u16string>& warnings) {
  const uint32_t code = ParseTypeCode(text);
  const NumberScan scan = ScanUnsigned(text, 10, 32);
  std::vector<std::u16string> problems;
  if (HexPrefixed(scan)) {
    problems.push_back(Format("hexadecimal, but type numbers are decimal: \"%s\" after the 0 is ignored", scan.rest));
  } else {
    problems = ScanProblems(scan, 10, 32);
    if (scan.digits && !IsTypeNumber(scan.value))
      problems.push_back(Format("no attribute type is %I64u (they are 1 to 14 and 16)", scan.value));
  }
  if (problems.empty()) return code;
  const std::u16string result = code == 0 ? std::u16string(u"0, every attribute")
                                          : Format("%u (%s)", code / 16, AttributeTypeShortName(code));
  warnings.push_back(ReadingLine(option, text, problems, result, TypeCodeHint(option, text, scan)));
  return code;
}

// Decimal digits and nothing else.
bool AllDigits(std::u16string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

// A -r value: the inode address N-T-I or N-T that --timeline and Sleuth
// Kit print (all decimal; it names record N), or else a hexadecimal file
// reference, as ParseUnsigned reads it.
uint64_t ParseReferenceArgument(std::u16string_view text, std::vector<std::u16string>& warnings) {
  // N-T-I or N-T: the record number, then the attribute's type code and
  // instance, each in decimal. Only the record is read; the attribute is
  // left to the options that pick one.
  const size_t first = text.find(u'-');
  if (first != std::u16string_view::npos && first > 0) {
    const std::u16string_view record = text.substr(0, first);
    const std::u16string_view rest = text.substr(first + 1);
    const size_t second = rest.find(u'-');
    const bool form = AllDigits(record) && AllDigits(rest.substr(0, second)) &&
                      (second == std::u16string_view::npos || AllDigits(rest.substr(second + 1)));
    if (form) {
      const NumberScan scan = ScanUnsigned(record, 10, 48);
      if (scan.overflow) {
        warnings.push_back(ReadingLine(u"-r", text, {u"the record number is too large for 48 bits"},
                                       Format("record 0x%I64X", scan.value), {}));
      }
      return scan.value;
    }
  }
  const NumberScan scan = ScanUnsigned(text, 16, 64);
  const bool dashed = !scan.rest.empty() && scan.rest[0] == u'-';
  return ReadHex(u"-r", text, 64, warnings,
                 dashed ? u"an inode address (record-type-instance, as --timeline prints it) is all decimal" : u"");
}

}  // namespace

CommandOptions ScanArguments(const std::vector<std::u16string>& arguments) {
  CommandOptions options;
  options.command_line = arguments;
  const size_t count = arguments.size();
  for (size_t i = 0; i < count; ++i) {
    const std::u16string& token = arguments[i];
    const bool one = i + 1 < count;
    const bool two = i + 2 < count;
    if (token == u"-f" && one) {
      options.target_path = arguments[++i];
      options.actions |= action::kTargetPath;
    } else if (token == u"-r" && one) {
      options.reference = ParseReferenceArgument(arguments[++i], options.warnings);
      options.actions |= action::kReference;
    } else if (token == u"-n" && one) {
      options.lsn = ReadHex(u"-n", arguments[++i], 64, options.warnings);
      options.actions |= action::kLogRecord;
    } else if (token == u"-l") {
      options.actions |= action::kList;
    } else if (token == u"-a") {
      options.actions |= action::kFileRecord;
    } else if (token == u"-c") {
      options.actions |= action::kAttrDef;
    } else if (token == u"-v" && one) {
      options.detail_type = ReadTypeNumber(u"-v", arguments[++i], options.warnings);
      options.actions |= action::kDetail;
    } else if (token == u"-w" && two) {
      options.attribute_id = static_cast<uint32_t>(ReadHex(u"-w", arguments[++i], 32, options.warnings));
      options.output_path = arguments[++i];
      options.actions |= action::kWrite;
    } else if (token == u"-s" && one) {
      options.security_id = static_cast<uint32_t>(ReadHex(u"-s", arguments[++i], 32, options.warnings));
      options.actions |= action::kSecurity;
    } else if ((token == u"-x" || token == u"--extract") && one) {
      options.extract_path = arguments[++i];
      options.actions |= action::kExtract;
    } else if (token == u"--export" && one) {
      options.export_directory = arguments[++i];
      options.actions |= action::kExport;
    } else if (token == u"--hash") {
      options.actions |= action::kHash;
    } else if (token == u"--timeline") {
      options.actions |= action::kTimeline;
    } else if (token == u"--logfile") {
      options.actions |= action::kLogFile;
    } else if (token == u"--logfile-file" && one) {
      options.logfile_path = arguments[++i];
      options.actions |= action::kLogFile;
    } else if (token == u"--usn") {
      options.actions |= action::kUsn;
    } else if (token == u"--usn-file" && one) {
      options.usn_file = arguments[++i];
      options.actions |= action::kUsn;
    } else if (token == u"--json") {
      options.actions |= action::kJson;
    } else if (token == u"--deleted") {
      options.actions |= action::kDeleted;
    } else if (token == u"--help") {
      options.actions |= action::kHelp;
    } else if (token == u"--version") {
      options.actions |= action::kVersion;
    } else if (token == u"-e") {
      options.actions |= action::kFirstUnused;
    } else if (token == u"-d" && one) {
      options.dump_type = ReadTypeNumber(u"-d", arguments[++i], options.warnings);
      options.actions |= action::kDump;
      if (i + 1 < count && !arguments[i + 1].empty() && arguments[i + 1][0] != u'-') {
        options.dump_range.start = ReadHex(u"-d start", arguments[++i], 64, options.warnings);
        if (i + 1 < count && !arguments[i + 1].empty() && arguments[i + 1][0] != u'-') {
          uint32_t range = static_cast<uint32_t>(ReadHex(u"-d range", arguments[++i], 32, options.warnings));
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
                                action::kLogRecord | action::kExtract | action::kExport;
  // Each of these owns standard output (or, for --export, the whole run):
  // the first one here that was asked for runs, and nothing else.
  if ((options.actions & action::kTimeline) && (options.actions & kReports)) {
    options.warnings.push_back(u"--timeline runs alone: the other reports asked for are not run");
  } else if ((options.actions & action::kLogFile) && (options.actions & kReports)) {
    options.warnings.push_back(u"--logfile runs alone: the other reports asked for are not run");
  } else if ((options.actions & action::kExport) && (options.actions & kReports & ~action::kExport)) {
    options.warnings.push_back(u"--export runs alone: the other reports asked for are not run");
  } else if (ExtractsToStandardOutput(options) && (options.actions & kReports & ~action::kExtract)) {
    options.warnings.push_back(u"-x - runs alone (the content is all that goes to standard output): the other "
                               u"reports asked for are not run");
  }
  if ((options.actions & action::kHash) && !(options.actions & (action::kExtract | action::kExport)))
    options.warnings.push_back(u"--hash hashes what -x or --export writes; ignored without them");
  return options;
}

bool ExtractsToStandardOutput(const CommandOptions& options) {
  return (options.actions & action::kExtract) && options.extract_path == u"-";
}

std::u16string_view BannerText() {
  return u"\n"
         u"Velmora v" VELMORA_VERSION
         u" - NTFS on-disk structure viewer: file records, attributes, indexes, security, log\n"
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

std::u16string_view HelpText() {
  return u"Usage: velmora [-m X: SOURCE]... [options] -f PATH\n"
         u"       velmora --help | --version\n"
         u"Prints what an NTFS volume holds about one file or directory, read from the\n"
         u"volume's own bytes. The volume is never written.\n"
         u"\n"
         u"Target:\n"
         u"  -f PATH            the file or directory: X:\\dir\\file on a drive (X:/dir/file\n"
         u"                     is the same path), or an absolute path on a mounted NTFS\n"
         u"                     volume (/mnt/win/dir/file). A drive-relative path (X:name)\n"
         u"                     is refused: name it from the root (X:\\name). Required.\n"
         u"  -m X: SOURCE       binds drive letter X (either case, colon optional) to\n"
         u"                     SOURCE, read only; a later binding of a letter wins. On\n"
         u"                     Linux a drive path needs one; on Windows an unbound X: is\n"
         u"                     the mounted volume itself.\n"
         u"  -r REFERENCE       the file record to study instead of the path's target (the\n"
         u"                     path then only selects the volume), in any of the forms the\n"
         u"                     reports print:\n"
         u"                       1B                record number, hexadecimal\n"
         u"                       000200000000009E  full file reference (-a, --json): the\n"
         u"                                         sequence number in the top 16 bits;\n"
         u"                                         stderr says when the record's differs\n"
         u"                       158-128-2, 158-48 inode address (--timeline, Sleuth Kit):\n"
         u"                                         record-type-instance, all decimal\n"
         u"\n"
         u"Reports (they run in this order, whatever the order given):\n"
         u"  -l                 the entries of the directory's index\n"
         u"  -a                 the file record header and its attribute table\n"
         u"  -v TYPE            every attribute of this type, decoded\n"
         u"  -c                 the attribute definition table ($AttrDef)\n"
         u"  -d TYPE [START [RANGE]]\n"
         u"                     hex dump of every value of this type from byte START\n"
         u"                     (default 0), RANGE bytes (default 0x50, at most 0x100)\n"
         u"  -s SECURITY_ID     the security descriptor of this id in $Secure (the\n"
         u"                     SecurityId of -v 1)\n"
         u"  -e                 the first unused file record of the MFT\n"
         u"  -n LSN             the header of the log file record with this LSN\n"
         u"  -w ID OUTPUT_FILE  the value of the attribute with this instance (the INSTANCE\n"
         u"                     column of -a) into OUTPUT_FILE, at most 128 MiB\n"
         u"  -x OUTPUT_FILE     the file's content as Windows reads it (--extract): its\n"
         u"                     unnamed $DATA, or the stream PATH names (file:name,\n"
         u"                     file:name:$DATA; file::$DATA is the unnamed one);\n"
         u"                     compressed (LZNT1, system compression) and sparse\n"
         u"                     values expanded, no size limit. \"-\" writes it to\n"
         u"                     stdout, which then holds nothing else (runs alone)\n"
         u"  --hash             with -x or --export: MD5, SHA-1 and SHA-256 of the\n"
         u"                     content (stdout; stderr when the content went there)\n"
         u"  --export DIR       every file and named stream under PATH, content as -x\n"
         u"                     gives it, into DIR (new or empty; nothing overwritten);\n"
         u"                     a hashdeep manifest on stdout, audited with\n"
         u"                     hashdeep -a -k MANIFEST -r DIR; runs alone\n"
         u"  --timeline         a body file (Sleuth Kit 3.x, for mactime -b) of every name\n"
         u"                     under PATH, from one pass over the MFT; runs alone\n"
         u"  --logfile          the log file ($LogFile) of PATH's volume decoded: both\n"
         u"                     restart areas, every record its pages still hold in LSN\n"
         u"                     order with its redo and undo operations, and what they\n"
         u"                     changed ($STANDARD_INFORMATION times, names added to and\n"
         u"                     removed from directories, records allocated and freed);\n"
         u"                     runs alone. The log covers only recent activity: it is\n"
         u"                     overwritten circularly. With --timeline: the changes as\n"
         u"                     timeline lines marked ($LogFile ...)\n"
         u"  --logfile-file LOG a collected $LogFile decoded as --logfile does, with paths\n"
         u"                     from -f's volume when one is named, without them alone\n"
         u"  --usn              the change journal ($UsnJrnl:$J): every record (PATH the\n"
         u"                     root) or PATH's own, each with the path its file had\n"
         u"                     when the record was written; with --timeline, a body\n"
         u"                     file line per record besides the names\n"
         u"  --usn-file J       --usn over a collected $J (sparse head kept as zeros or\n"
         u"                     stripped), paths from the bound volume; alone (no -m,\n"
         u"                     no -f) the journal by itself, paths from its own\n"
         u"                     records. A path that cannot be placed starts with\n"
         u"                     <unresolved REF>, REF the directory's reference\n"
         u"  --deleted          with -l: then the entries the index's slack still holds\n"
         u"                     (past used sizes, freed blocks, the root), each with\n"
         u"                     its record's state; with --timeline: lines for names\n"
         u"                     in index slack \"(slack)\" and record slack \"(record slack)\";\n"
         u"                     with --export: free records' files too, \"name (deleted)\"\n"
         u"  --json             every report as JSON Lines on stdout\n"
         u"  --help             this text;  --version  the version\n"
         u"\n"
         u"Sources:\n"
         u"  SOURCE             a volume image, a block device (/dev/sdb1) or a disk;\n"
         u"                     a whole disk: its first NTFS partition\n"
         u"  SOURCE@OFFSET      the volume at that byte offset (decimal, or 0x hexadecimal)\n"
         u"  SOURCE#N           the Nth partition of its MBR or GPT\n"
         u"  Evidence containers and virtual disks, known by their contents: EWF (case.E01\n"
         u"  with its .E02... segments), split raw (disk.001, disk.aa), AFF, VHD, VHDX,\n"
         u"  VMDK, QCOW2 (parents and backing files beside them). The Windows build opens\n"
         u"  split raw only.\n"         u"  An extracted $MFT (FILE records from its first byte, icat IMAGE 0): records,\n"
         u"  paths and --timeline as on the volume; -l lists $INDEX_ROOT only, values in\n"
         u"  the volume's clusters are not there (stderr says so), -s -c -e -n --logfile\n"
         u"  --export are refused.\n"
         u"\n"
         u"Numbers: references, LSNs, START, RANGE and ids are hexadecimal (0x optional).\n"
         u"Attribute type numbers are decimal, the type code divided by 16:\n"
         u"   1 $STANDARD_INFORMATION   6 $VOLUME_NAME          11 $BITMAP\n"
         u"   2 $ATTRIBUTE_LIST         7 $VOLUME_INFORMATION   12 $REPARSE_POINT\n"
         u"   3 $FILE_NAME              8 $DATA                 13 $EA_INFORMATION\n"
         u"   4 $OBJECT_ID              9 $INDEX_ROOT           14 $EA\n"
         u"   5 $SECURITY_DESCRIPTOR   10 $INDEX_ALLOCATION     16 $LOGGED_UTILITY_STREAM\n"
         u"A token that is not cleanly a number or a type is read as before, and stderr\n"
         u"says how.\n"
         u"\n"
         u"Exit status: 0 the reports ran; 1 no target, or it cannot be found; 2 the\n"
         u"report could not be written; 3 -x or --export could not write every file.\n";
}

std::u16string_view VersionText() { return u"Velmora " VELMORA_VERSION u"\n"; }

}  // namespace velmora
