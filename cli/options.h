// The command line: options scanned into CommandOptions, banner and usage text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "reports/reports.h"

namespace velmora {

// Action flag bits, one per option.
namespace action {
inline constexpr uint32_t kList = 0x1;
inline constexpr uint32_t kFileRecord = 0x2;
inline constexpr uint32_t kDetail = 0x4;
inline constexpr uint32_t kDump = 0x8;
inline constexpr uint32_t kSecurity = 0x10;
inline constexpr uint32_t kWrite = 0x20;
inline constexpr uint32_t kAttrDef = 0x40;
inline constexpr uint32_t kFirstUnused = 0x80;
inline constexpr uint32_t kTimeline = 0x100;  // --timeline: runs alone, body file lines only
inline constexpr uint32_t kJson = 0x200;      // --json: every report as JSON Lines
inline constexpr uint32_t kHelp = 0x400;      // --help: every option, on stdout; nothing else runs
inline constexpr uint32_t kVersion = 0x800;   // --version: the version line; nothing else runs
inline constexpr uint32_t kLogFile = 0x1000;  // --logfile / --logfile-file: runs alone (with --timeline: its events)
inline constexpr uint32_t kUsn = 0x2000;      // --usn (or --usn-file): the change journal's records
inline constexpr uint32_t kExtract = 0x4000;  // -x OUTFILE: the content of $DATA or a named stream
inline constexpr uint32_t kHash = 0x8000;     // --hash: MD5, SHA-1, SHA-256 of what -x or --export wrote
inline constexpr uint32_t kExport = 0x10000;  // --export DIR: the subtree's contents; runs alone
inline constexpr uint32_t kDeleted = 0x20000; // --deleted: -l and --timeline add the names slack holds
inline constexpr uint32_t kLogRecord = 0x20000000;
inline constexpr uint32_t kReference = 0x40000000;
inline constexpr uint32_t kTargetPath = 0x80000000;
}  // namespace action

struct CommandOptions {
  uint32_t actions = 0;
  std::u16string target_path;
  uint64_t reference = 0;  // as typed; a full reference keeps its sequence number in the top 16 bits
  uint64_t lsn = 0;
  uint32_t detail_type = 0;
  uint32_t dump_type = 0;
  DumpRange dump_range;
  uint32_t attribute_id = 0;
  std::u16string output_path;
  uint32_t security_id = 0;
  // --logfile-file PATH: a collected $LogFile read instead of the volume's.
  std::u16string logfile_path;
  // --usn-file: a collected $J read in place of the volume's.
  std::u16string usn_file;
  // -x: the content's destination, "-" for standard output.
  std::u16string extract_path;
  // -x: the stream named by -f's last component (path:stream), empty for
  // the unnamed $DATA; taken off the path when the target is resolved.
  std::u16string extract_stream;
  // --export: the directory the subtree is recreated under.
  std::u16string export_directory;
  // The arguments as given, program name first: the export manifest names
  // the command that made it.
  std::vector<std::u16string> command_line;
  // -m X: SOURCE, in command-line order (a later binding of a letter wins).
  std::vector<std::pair<char16_t, std::u16string>> drive_bindings;
  // Tokens that could not be taken, one line each for stderr: a bad -m
  // letter, every argument the scan skipped ("ignored argument: -L"), and
  // every number or type that was not cleanly one (how it was read).
  std::vector<std::u16string> warnings;
};

// The standard unsigned conversion: white space, sign, optional 0x in base
// 16, digits up to the first non-digit; too large gives all bits set.
uint64_t ParseUnsigned(std::u16string_view text, unsigned base, unsigned bits);
// -v / -d type number to type code: number * 16, kept only when it is one
// of 0x10..0xE0 or 0x100; else 0.
uint32_t ParseTypeCode(std::u16string_view text);
CommandOptions ScanArguments(const std::vector<std::u16string>& arguments);
// -x with "-": the content goes to standard output, which then holds
// nothing else.
bool ExtractsToStandardOutput(const CommandOptions& options);

std::u16string_view BannerText();
// Printed without a target: the usage text of the first versions.
std::u16string_view UsageText();
// --help: every option, every form of a path, a source and a -r reference.
std::u16string_view HelpText();
// --version: "Velmora 1.0", the project's version.
std::u16string_view VersionText();

}  // namespace velmora
