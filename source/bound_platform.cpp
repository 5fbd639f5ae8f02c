#include "source/bound_platform.h"

#include "base/format.h"
#include "source/evidence.h"
#include "source/set_names.h"

namespace velmora::source {

namespace {

// Whether this build opens any container through its library; a build that
// opens split raw alone does not mention them.
#if VELMORA_WITH_EWF || VELMORA_WITH_AFF || VELMORA_WITH_VHDI || VELMORA_WITH_VMDK || VELMORA_WITH_QCOW
constexpr bool kOpensContainers = true;
#else
constexpr bool kOpensContainers = false;
#endif

}  // namespace

std::u16string BoundPlatform::UsageNotes() {
  std::u16string notes = system_.DriveBindingNote();
  if (!notes.empty()) {
    notes += u"\t\t\t    SOURCE@OFFSET takes the volume at that byte offset of a disk image,\n"
             u"\t\t\t    SOURCE#N its Nth partition (MBR or GPT).\n";
    if (kOpensContainers) {
      notes += u"\t\t\t    SOURCE may be a container, known by its contents: E01 (with its\n"
               u"\t\t\t    .E02... segments), AFF, VHD, VHDX, VMDK, QCOW2 (with parents or\n"
               u"\t\t\t    backing files beside it), or split raw named by its first segment\n"
               u"\t\t\t    (disk.001, disk.aa).\n";
    }
  }
  return notes + system_.UsageNotes();
}

const std::u16string* BoundPlatform::BoundTo(std::optional<char16_t> letter) const {
  return letter ? drives_.Find(*letter) : nullptr;
}

SourceName BoundPlatform::NameOf(std::u16string_view source) {
  return NameOfBound(source, [this](std::u16string_view name) { return system_.FileExists(name); });
}

bool BoundPlatform::PathExists(std::u16string_view path) {
  return BoundTo(DriveLetterOfPath(path)) != nullptr || system_.PathExists(path);
}

std::optional<bool> BoundPlatform::PathIsDirectory(std::u16string_view path) {
  if (BoundTo(DriveLetterOfPath(path)) != nullptr) return std::nullopt;
  return system_.PathIsDirectory(path);
}

Expected<std::unique_ptr<ByteSource>> BoundPlatform::OpenDevice(std::u16string_view device_name) {
  const std::u16string* source = BoundTo(DeviceLetter(device_name));
  if (source == nullptr) return system_.OpenDevice(device_name);
  return OpenBoundVolume(NameOf(*source), *source,
                         [this](const std::string& path) { return system_.OpenFile(path); });
}

std::u16string BoundPlatform::DeviceLabel(std::u16string_view device_name) {
  if (const std::u16string* source = BoundTo(DeviceLetter(device_name))) return *source;
  return system_.DeviceLabel(device_name);
}

std::u16string BoundPlatform::UnboundDriveAdvice(char16_t letter) {
  if (drives_.Find(letter) != nullptr) return {};
  return system_.UnboundDriveAdvice(letter);
}

platform::CreateOutcome BoundPlatform::CreateOutputFile(std::u16string_view path, const ByteSource& volume,
                                                        const platform::OutputGuard& guard) {
  platform::OutputGuard bound = guard;
  for (const auto& [letter, source] : drives_.bindings()) {
    const std::string file = NameOf(source).path;
    const std::u16string drive = std::u16string(1, letter) + u":";
    bound.files.push_back({file, u"the source bound to drive " + drive});
    bound.sets.push_back({file, [drive, file](std::string_view first, std::string_view name) -> std::u16string {
                            const auto kind = SetMemberKind(first, name);
                            if (!kind) return {};
                            return u"it would be read as part of the " + Utf8ToUtf16(FormatName(*kind)) +
                                   u" set bound to drive " + drive + u" (" + Utf8ToUtf16(file) + u")";
                          }});
  }
  return system_.CreateOutputFile(path, volume, bound);
}

}  // namespace velmora::source
