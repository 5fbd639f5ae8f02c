// Evidence containers opened as byte sources: the bytes of the file decide
// what it is (EWF, AFF, VHD, VHDX, VMDK, QCOW2), never its name alone; split
// raw is the one form known by name, a first part (".001", ".00", ".aa",
// "xaa") with its siblings (set_names.h).
//
// Each container becomes one more ByteSource, so nothing above this layer
// knows that containers exist. The libraries open their own files, read-only;
// every other file this layer reads comes through the platform's opener.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "source/byte_source.h"
#include "base/error.h"
#include "source/partitions.h"

namespace velmora::source {

enum class Format { kRaw, kSplitRaw, kEwf, kAff, kVhd, kVhdx, kVmdk, kQcow };

// "EWF", "QCOW2", ... as a user names the format.
std::string_view FormatName(Format format);

// A container format's signature at the start of its file (a fixed VHD
// keeps its footer cookie in the last sector instead). description names
// such a file to the user where a volume was expected; it is null for the
// signatures such messages have never named.
struct ContainerSignature {
  Format format;
  std::string_view magic;
  const char* description;
};

inline constexpr std::string_view kVhdFooterCookie{"conectix", 8};

inline constexpr ContainerSignature kContainerSignatures[] = {
    {Format::kEwf, {"EVF\x09\x0D\x0A\xFF\x00", 8}, "an EnCase (E01) evidence file"},  // E01 (EnCase 1-6, FTK)
    {Format::kEwf, {"EVF2\x0D\x0A\x81\x00", 8}, nullptr},                             // Ex01 (EnCase 7)
    {Format::kAff, {"AFF10\x0D\x0A\x00", 8}, nullptr},
    {Format::kVhdx, {"vhdxfile", 8}, "a VHDX disk image"},
    {Format::kQcow, {"QFI\xFB", 4}, "a qcow2 disk image"},
    {Format::kVmdk, {"KDMV", 4}, "a VMDK sparse disk image"},  // hosted sparse extent
    {Format::kVmdk, {"COWD", 4}, nullptr},                     // ESX sparse extent
    {Format::kVmdk, {"# Disk DescriptorFile", 21}, nullptr},
    {Format::kVhd, kVhdFooterCookie, "a dynamic VHD disk image"},  // a copy of the footer
};

// Bytes the detection looks at: the head of the file and its last sector
// (where a fixed VHD keeps its only footer).
inline constexpr size_t kDetectHeadBytes = 512;
inline constexpr size_t kDetectTailBytes = 512;

// What a file's first bytes and last sector say it is; kRaw when they say
// nothing in particular. kSplitRaw is never detected from content.
Format DetectFormat(std::span<const uint8_t> head, std::span<const uint8_t> tail);

// The platform's read-only open of a plain file; null when it cannot.
using FileOpener = std::function<std::unique_ptr<source::ByteSource>(const std::string& path)>;

// An opened source, or the reason it could not be opened: one line naming
// the file and what went wrong (the library's own words where it spoke).
struct OpenedEvidence {
  std::unique_ptr<source::ByteSource> source;
  std::string failure;
};

// Opens the evidence at path, already opened as a plain file: a container
// of a recognised format becomes its library's source, a split raw set the
// concatenation of its parts, anything else stays the plain file. A first
// part's name without a second part beside it is a plain file too.
OpenedEvidence OpenEvidence(const std::string& path, std::unique_ptr<source::ByteSource> file,
                            const FileOpener& open_file);

// The platform's read-only open of a plain file, with the system's reason
// when it cannot.
using CheckedFileOpener = std::function<Expected<std::unique_ptr<source::ByteSource>>(const std::string& path)>;

// The volume a bound source names, for both platforms: its file, read
// through the container its bytes name, then the volume at @OFFSET, in
// partition #N, or in the first NTFS partition of a whole disk. label is
// the source as the user typed it.
Expected<std::unique_ptr<source::ByteSource>> OpenBoundVolume(const source::SourceName& name,
                                                                std::u16string_view label,
                                                                const CheckedFileOpener& open_file);

}  // namespace velmora::source
