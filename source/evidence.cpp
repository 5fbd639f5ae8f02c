#include "source/evidence.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/format.h"
#include "source/library_source.h"
#include "source/set_names.h"

namespace velmora::source {

namespace {

using source::ByteSource;

bool StartsWith(std::span<const uint8_t> bytes, std::string_view signature) {
  return bytes.size() >= signature.size() && std::memcmp(bytes.data(), signature.data(), signature.size()) == 0;
}

// Segments read one after the other as one image.
class SplitRawSource : public ByteSource {
 public:
  struct Segment {
    std::unique_ptr<ByteSource> file;
    uint64_t start;
    uint64_t size;
    std::string path;
  };
  explicit SplitRawSource(std::vector<Segment> segments) : segments_(std::move(segments)) {
    for (const Segment& s : segments_) size_ += s.size;
  }

  bool ConcurrentReads() const override {
    return std::all_of(segments_.begin(), segments_.end(), [](const Segment& s) { return s.file->ConcurrentReads(); });
  }

  bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
    if (offset > size_ || out.size() > size_ - offset) return false;
    // The first segment that ends past offset.
    auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                               [](uint64_t at, const Segment& s) { return at < s.start + s.size; });
    while (!out.empty() && it != segments_.end()) {
      const uint64_t within = offset - it->start;
      const size_t take = static_cast<size_t>(std::min<uint64_t>(out.size(), it->size - within));
      if (!it->file->ReadAt(within, out.first(take))) return false;
      out = out.subspan(take);
      offset += take;
      ++it;
    }
    return out.empty();
  }
  std::optional<uint64_t> Size() const override { return size_; }
  std::optional<std::pair<uint64_t, uint64_t>> FileIdentity() const override {
    return segments_.front().file->FileIdentity();
  }
  std::vector<std::string> OtherFiles() const override {
    std::vector<std::string> paths;
    for (size_t i = 1; i < segments_.size(); ++i) paths.push_back(segments_[i].path);
    return paths;
  }

 private:
  std::vector<Segment> segments_;
  uint64_t size_ = 0;
};

// A set of more than this many segments is read no further (".001" to
// ".999" and a little more than "aa" to "zz"); the volume then runs past
// the end of what was read, which the volume layer tells.
constexpr size_t kMaxSplitSegments = 1000;

OpenedEvidence OpenSplitRaw(const SplitPartName& first_name, std::unique_ptr<ByteSource> first,
                            const FileOpener& open_file) {
  std::vector<SplitRawSource::Segment> segments;
  auto size = first->Size();
  if (!size) return {std::move(first), {}};
  segments.push_back({std::move(first), 0, *size, first_name.Name()});
  uint64_t start = *size;
  // The set ends at the first name of the count that no file has.
  for (SplitPartName part = first_name; segments.size() < kMaxSplitSegments;) {
    std::unique_ptr<ByteSource> file;
    for (SplitPartName& next : NextSplitParts(part)) {
      if ((file = open_file(next.Name()))) {
        part = std::move(next);
        break;
      }
    }
    if (!file) break;
    auto bytes = file->Size();
    if (!bytes || __builtin_add_overflow(start, *bytes, &start))
      return {nullptr, FailureLine(part.Name(), "split raw segment of unknown or too large size", "")};
    segments.push_back({std::move(file), start - *bytes, *bytes, part.Name()});
  }
  if (segments.size() == 1) return {std::move(segments.front().file), {}};
  return {std::make_unique<SplitRawSource>(std::move(segments)), {}};
}

[[maybe_unused]] OpenedEvidence NotBuiltIn(const std::string& path, Format format) {
  return {nullptr, FailureLine(path, "this build does not open " + std::string(FormatName(format)) + " containers", "")};
}

}  // namespace

std::string_view FormatName(Format format) {
  switch (format) {
    case Format::kRaw: return "raw";
    case Format::kSplitRaw: return "split raw";
    case Format::kEwf: return "EWF";
    case Format::kAff: return "AFF";
    case Format::kVhd: return "VHD";
    case Format::kVhdx: return "VHDX";
    case Format::kVmdk: return "VMDK";
    case Format::kQcow: return "QCOW";
  }
  return "unknown";
}

Format DetectFormat(std::span<const uint8_t> head, std::span<const uint8_t> tail) {
  for (const ContainerSignature& signature : kContainerSignatures) {
    if (StartsWith(head, signature.magic)) return signature.format;
  }
  // A fixed VHD has only the footer, in the last sector (511 bytes long in
  // images of old tools).
  if (StartsWith(tail, kVhdFooterCookie) || (!tail.empty() && StartsWith(tail.subspan(1), kVhdFooterCookie)))
    return Format::kVhd;
  return Format::kRaw;
}

std::string FailureLine(const std::string& path, const std::string& what, const std::string& detail) {
  std::string line = path + ": " + what;
  if (!detail.empty()) line += ": " + detail;
  // One line: the libraries' texts chain their causes over several.
  std::replace(line.begin(), line.end(), '\n', ' ');
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::vector<std::string> ParentCandidates(const std::string& child, const std::string& named) {
  const size_t slash = child.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "" : child.substr(0, slash + 1);
  std::vector<std::string> candidates;
  if (named.empty()) return candidates;
  candidates.push_back(named.front() == '/' ? named : directory + named);
  const size_t last = named.find_last_of("/\\");
  if (last != std::string::npos && last + 1 < named.size()) candidates.push_back(directory + named.substr(last + 1));
  return candidates;
}

bool LibrarySource::ReadAt(uint64_t offset, std::span<uint8_t> out) {
  // After a failed read the library is not asked again: libqcow, given a
  // cluster cut short by the end of its file, keeps the cluster it freed in
  // its cache and reads it on the next call.
  if (!read_failure_.empty()) return false;
  if (offset > media_size_ || out.size() > media_size_ - offset) return false;
  while (!out.empty()) {
    std::string why;
    const int64_t got = LibraryRead(offset, out, &why);
    if (got <= 0 || static_cast<uint64_t>(got) > out.size()) {
      if (read_failure_.empty())
        read_failure_ = FailureLine(path_, "read failed at offset " + std::to_string(offset), why);
      return false;
    }
    out = out.subspan(static_cast<size_t>(got));
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

OpenedEvidence OpenEvidence(const std::string& path, std::unique_ptr<ByteSource> file, const FileOpener& open_file) {
  std::vector<uint8_t> head(kDetectHeadBytes);
  std::vector<uint8_t> tail(kDetectTailBytes);
  const uint64_t size = file->Size().value_or(0);
  if (size < head.size()) head.resize(static_cast<size_t>(size));
  if (size < tail.size()) tail.resize(static_cast<size_t>(size));
  // A device or file whose size is unknown, or that cannot be read, is left
  // to the volume layer to judge, as any raw image.
  if (size == 0 || !file->ReadAt(0, head) || !file->ReadAt(size - tail.size(), tail)) return {std::move(file), {}};
  const Format format = DetectFormat(head, tail);
  switch (format) {
    case Format::kRaw:
      if (auto first = FirstSplitPart(path)) return OpenSplitRaw(*first, std::move(file), open_file);
      return {std::move(file), {}};
    case Format::kEwf:
#if VELMORA_WITH_EWF
      return OpenEwf(path, open_file);
#else
      return NotBuiltIn(path, format);
#endif
    case Format::kAff:
#if VELMORA_WITH_AFF
      return OpenAff(path);
#else
      return NotBuiltIn(path, format);
#endif
    case Format::kVhd:
    case Format::kVhdx:
#if VELMORA_WITH_VHDI
      return OpenVhdi(path);
#else
      return NotBuiltIn(path, format);
#endif
    case Format::kVmdk:
#if VELMORA_WITH_VMDK
      return OpenVmdk(path);
#else
      return NotBuiltIn(path, format);
#endif
    case Format::kQcow:
#if VELMORA_WITH_QCOW
      return OpenQcow(path);
#else
      return NotBuiltIn(path, format);
#endif
    case Format::kSplitRaw:
      break;
  }
  return {std::move(file), {}};
}

Expected<std::unique_ptr<source::ByteSource>> OpenBoundVolume(const source::SourceName& name,
                                                                std::u16string_view label,
                                                                const CheckedFileOpener& open_file) {
  auto file = open_file(name.path);
  if (!file) return file.error();
  OpenedEvidence evidence =
      OpenEvidence(name.path, std::move(*file), [&](const std::string& path) -> std::unique_ptr<source::ByteSource> {
        auto segment = open_file(path);
        if (!segment) return nullptr;
        return std::move(*segment);
      });
  if (!evidence.source) return Error{u"", Utf8ToUtf16(evidence.failure)};
  return source::VolumeOnDisk(std::move(evidence.source), name, label);
}

}  // namespace velmora::source
