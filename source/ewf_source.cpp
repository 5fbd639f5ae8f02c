// EWF (E01 and, where libewf reads it, Ex01) through libewf.
#include <libewf.h>

#include <array>
#include <vector>

#include "base/lanes.h"

#include "source/chunk_cache.h"
#include "source/ewf_sections.h"
#include "source/library_source.h"

namespace velmora::source {

namespace {

std::string ErrorText(libewf_error_t*& error) { return LibyalErrorText(error, libewf_error_sprint, libewf_error_free); }

// A read this long (whole chunks the cache does not keep: a file's content
// streamed) is cut in kLanes parts, each inflated through a handle of its
// own on its own thread: inflating costs far more than reading.
constexpr uint64_t kLaneReadBytes = 256u << 10;

// One libewf handle and the checksum errors it has counted so far.
struct EwfHandle {
  libewf_handle_t* handle = nullptr;
  uint32_t checksum_errors = 0;
};

void CloseHandle(EwfHandle& h) {
  if (h.handle == nullptr) return;
  libewf_handle_close(h.handle, nullptr);
  libewf_handle_free(&h.handle, nullptr);
}

class EwfSource : public LibrarySource {
 public:
  EwfSource(std::string path, uint64_t media_size, uint64_t chunk_size, libewf_handle_t* handle,
            std::vector<std::string> segments)
      : LibrarySource(std::move(path), media_size),
        chunk_size_(chunk_size),
        segments_(std::move(segments)),
        chunks_(chunk_size, media_size, kEwfCacheBytes,
                [this](uint64_t offset, std::span<uint8_t> out, std::string* why) { return ReadChunks(offset, out, why); }) {
    handles_[0].handle = handle;
  }
  ~EwfSource() override {
    for (EwfHandle& h : handles_) CloseHandle(h);
  }
  EwfSource(const EwfSource&) = delete;
  EwfSource& operator=(const EwfSource&) = delete;
  using LibrarySource::AddFile;

 protected:
  int64_t LibraryRead(uint64_t offset, std::span<uint8_t> out, std::string* why) override {
    return chunks_.Read(offset, out, why);
  }

 private:
  int64_t ReadChunks(uint64_t offset, std::span<uint8_t> out, std::string* why) {
    if (out.size() < kLaneReadBytes || !OpenLaneHandles()) return ReadWith(handles_[0], offset, out, why);
    // Parts of whole chunks, one a lane; each read in full or failed.
    const uint64_t part = (out.size() / kLanes + chunk_size_ - 1) / chunk_size_ * chunk_size_;
    std::array<std::string, kLanes> whys;
    std::array<bool, kLanes> ok{};
    RunInLanes(
        kLanes, 1,
        [&](uint64_t lane, uint64_t, unsigned) {
          const uint64_t begin = std::min<uint64_t>(out.size(), lane * part);
          const uint64_t end = std::min<uint64_t>(out.size(), begin + part);
          std::span<uint8_t> piece = out.subspan(begin, end - begin);
          uint64_t at = offset + begin;
          ok[lane] = true;
          while (!piece.empty()) {
            const int64_t got = ReadWith(handles_[lane], at, piece, &whys[lane]);
            if (got <= 0 || static_cast<uint64_t>(got) > piece.size()) {
              ok[lane] = false;
              if (whys[lane].empty()) whys[lane] = "a read gave no bytes";
              return;
            }
            piece = piece.subspan(static_cast<size_t>(got));
            at += static_cast<uint64_t>(got);
          }
        },
        [](unsigned) {});
    for (unsigned lane = 0; lane < kLanes; ++lane) {
      if (ok[lane]) continue;
      *why = whys[lane];
      return -1;
    }
    return static_cast<int64_t>(out.size());
  }

  int64_t ReadWith(EwfHandle& h, uint64_t offset, std::span<uint8_t> out, std::string* why) {
    libewf_error_t* error = nullptr;
    const ssize_t got = libewf_handle_read_random(h.handle, out.data(), out.size(), static_cast<off64_t>(offset), &error);
    if (got < 0) {
      *why = ErrorText(error);
      return -1;
    }
    // A chunk that fails its checksum or does not decompress still reads:
    // libewf counts it, and its bytes cannot be trusted.
    uint32_t errors = 0;
    if (libewf_handle_get_number_of_checksum_errors(h.handle, &errors, nullptr) == 1 && errors != h.checksum_errors) {
      h.checksum_errors = errors;
      *why = "a chunk fails its checksum or does not decompress";
      return -1;
    }
    return got;
  }

  // The other lanes' handles, opened read-only on the same segments the
  // first time a long read comes; without them the reads stay on one.
  bool OpenLaneHandles() {
    if (lanes_tried_) return lanes_open_;
    lanes_tried_ = true;
    std::vector<char*> names;
    for (std::string& segment : segments_) names.push_back(segment.data());
    for (unsigned lane = 1; lane < kLanes; ++lane) {
      libewf_handle_t* handle = nullptr;
      if (libewf_handle_initialize(&handle, nullptr) != 1) return false;
      handles_[lane].handle = handle;
      if (libewf_handle_open(handle, names.data(), static_cast<int>(names.size()), LIBEWF_OPEN_READ, nullptr) != 1) {
        libewf_handle_free(&handles_[lane].handle, nullptr);
        return false;
      }
    }
    lanes_open_ = true;
    return true;
  }

  const uint64_t chunk_size_;
  std::vector<std::string> segments_;
  std::array<EwfHandle, kLanes> handles_{};
  bool lanes_tried_ = false;
  bool lanes_open_ = false;
  ChunkCache chunks_;
};

// The segment names of a set found the way imagers name them, from the first.
struct Globbed {
  char** names = nullptr;
  int count = 0;
  ~Globbed() {
    if (names != nullptr) libewf_glob_free(names, count, nullptr);
  }
};

}  // namespace

OpenedEvidence OpenEwf(const std::string& path, const FileOpener& open_file) {
  libewf_error_t* error = nullptr;
  Globbed set;
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &set.names, &set.count, &error) != 1)
    return {nullptr, FailureLine(path, "cannot find the EWF segments", ErrorText(error))};
  libewf_handle_t* handle = nullptr;
  if (libewf_handle_initialize(&handle, &error) != 1)
    return {nullptr, FailureLine(path, "cannot open EWF", ErrorText(error))};
  if (libewf_handle_open(handle, set.names, set.count, LIBEWF_OPEN_READ, &error) != 1) {
    std::string why = ErrorText(error);
    libewf_handle_free(&handle, nullptr);
    return {nullptr, FailureLine(path, "cannot open EWF", why)};
  }
  size64_t media_size = 0;
  if (libewf_handle_get_media_size(handle, &media_size, &error) != 1 || media_size == 0) {
    std::string why = ErrorText(error);
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
    return {nullptr, FailureLine(path, "EWF media size unknown", why)};
  }
  // Cached blocks that are not the set's chunks still read right, only
  // slower: a set that does not give its chunk size, or gives one larger
  // than the whole cache, is cached in blocks of the usual 64 sectors.
  size32_t chunk_size = 0;
  if (libewf_handle_get_chunk_size(handle, &chunk_size, nullptr) != 1 || chunk_size == 0 || chunk_size > kEwfCacheBytes)
    chunk_size = 64 * 512;
  std::vector<std::string> segments(set.names, set.names + set.count);
  auto source = std::make_unique<EwfSource>(path, media_size, chunk_size, handle, std::move(segments));
  for (int i = 1; i < set.count; ++i) source->AddFile(set.names[i]);
  // Without its last segments a set still opens, and reads the chunks it
  // never saw as zeros: the last segment found must end the set.
  std::unique_ptr<source::ByteSource> last = open_file(set.names[set.count - 1]);
  if (!last) return {nullptr, FailureLine(set.names[set.count - 1], "cannot open EWF segment", "")};
  const EwfSegmentEnd end = WalkEwfSections(*last);
  if (end == EwfSegmentEnd::kNext)
    return {nullptr, FailureLine(path, "EWF set incomplete: " + std::to_string(set.count) +
                                           " segments found and the last of them is not the set's last", "")};
  if (end == EwfSegmentEnd::kBroken)
    return {nullptr, FailureLine(set.names[set.count - 1], "EWF segment truncated or damaged: its sections do not end", "")};
  return {std::move(source), {}};
}

}  // namespace velmora::source
