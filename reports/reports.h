// The reports, one per action of the command line. Each prints through the
// console and returns true for success; the dispatch prints "\tNONE\n" on
// false (see cli/dispatch.cpp for the order and titles).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "ntfs/attribute.h"
#include "ntfs/types.h"
#include "base/error.h"
#include "output/console.h"
#include "platform/platform.h"
#include "security/descriptor.h"

namespace velmora {

class FileAttributes;
class FileRecord;
class VolumeContext;

// What every report works with.
struct ReportContext {
  VolumeContext& volume;
  platform::Platform& platform;
  Console& console;
  // --json: each report writes its values as JSON Lines instead of text.
  bool json = false;
  // --deleted: -l and --timeline add what the volume's slack still holds.
  bool deleted = false;
};

// Reads the record a report starts from; when it cannot be read, says why
// in one line on standard error (the report then ends early).
Expected<FileRecord> ReadReportRecord(ReportContext& context, FileReference reference);
// One line on standard error for each part of a file's attributes that
// could not be taken (a damaged attribute list, a foreign extension record).
void ReportProblems(ReportContext& context, const FileAttributes& file);

// -l: the entries of the target directory's $I30 index.
void ListDirectory(ReportContext& context, FileReference target, std::u16string_view target_path);

// -a: the file record header and the attribute table.
bool ReportFileRecord(ReportContext& context, FileReference target);
// The display name of a type code ("$DATA(8)", "$UNKNOWN_ATTRIBUTE").
std::u16string_view AttributeTypeName(uint32_t type);
// The same without the type number ("$DATA", "$UNKNOWN_ATTRIBUTE").
std::u16string_view AttributeTypeShortName(uint32_t type);

// Visits every attribute of one type of the target (through its attribute
// list); Walk::kStop ends the enumeration. file is the target's attribute
// set, for reading values through every extent (file.Reader); the attribute
// may lie in an extension record. Both are valid only during the call.
using AttributeVisitor =
    std::function<Walk(ReportContext& context, FileAttributes& file, const AttributeRecord& attribute)>;
// False only when the target's record cannot be read.
bool EnumerateAttributes(ReportContext& context, FileReference target, AttrType type,
                         const AttributeVisitor& visitor);
// -v: header and decoded value of each attribute.
Walk DetailVisitor(ReportContext& context, FileAttributes& file, const AttributeRecord& attribute);
// The decoded values of -v; false when the value cannot be decoded
// (DetailVisitor then prints "\tNONE\n" under the value's title).
bool ShowStandardInformation(Console& console, const AttributeRecord& attribute);
bool ShowFileName(Console& console, const AttributeRecord& attribute);
bool ShowSecurityDescriptorAttribute(ReportContext& context, FileAttributes& file, const AttributeRecord& attribute);

// -d window.
struct DumpRange {
  uint64_t start = 0;
  uint32_t range = 0x50;
};
// At most this many bytes are dumped per attribute, whatever the range.
inline constexpr uint32_t kMaxDumpBytes = 256;
// Walk::kStop (end the enumeration) when the attribute's value is empty.
Walk DumpVisitor(ReportContext& context, FileAttributes& file, const AttributeRecord& attribute,
                 const DumpRange& range);
// Single-byte lines: offset, sixteen bytes in hex, the same as characters.
void HexDump(Console& console, std::span<const uint8_t> bytes, uint64_t base);

// -c: the $AttrDef table.
bool ReportAttributeDefinitions(ReportContext& context);

// -s: the descriptor stored under a security id in $Secure.
bool ShowSecurityDescriptorById(ReportContext& context, uint32_t security_id);
// Prints a self-relative descriptor ($SECURITY_DESCRIPTOR value, $SDS
// entry). When the rendering stops on a malformed descriptor, one line on
// standard error gives the status; the report still counts as done.
void ReportSecurityDescriptor(ReportContext& context, std::span<const uint8_t> descriptor);
// The descriptor's text lines: owner, group, then every kept ACE of the SACL
// and the DACL. Returns kStatusSuccess, or the status where the reading
// stopped: kStatusInvalidArgument (malformed descriptor), kStatusOutOfMemory,
// or StatusFromError of a failed account lookup retry; the lines read before
// it are printed.
uint32_t ShowSecurityDescriptor(Console& console, platform::Platform& platform, std::span<const uint8_t> descriptor);
// The descriptor as one JSON object: its bytes, control flags, owner, group,
// every kept ACE and the SDDL string.
void EmitSecurityDescriptor(Console& console, const security::DescriptorValues& values,
                            std::span<const uint8_t> descriptor);

// -e: the first free MFT record from 24 on.
bool ReportFirstUnusedRecord(ReportContext& context);
// The first clear bit at or after 24, or UINT64_MAX.
uint64_t FindFirstClearBit(std::span<const uint8_t> bitmap);

// -n: the header of the log record with that LSN.
bool ReportLogRecord(ReportContext& context, uint64_t lsn);

// -w: the raw value of the attribute with that instance into a file.
bool WriteAttributeToFile(ReportContext& context, std::u16string_view output_path, FileReference target,
                          uint32_t attribute_id);

}  // namespace velmora
