// EWF (E01 and, where libewf reads it, Ex01) through libewf.
#include <libewf.h>

#include "source/chunk_cache.h"
#include "source/ewf_sections.h"
#include "source/library_source.h"

namespace velmora::source {

namespace {

std::string ErrorText(libewf_error_t*& error) { return LibyalErrorText(error, libewf_error_sprint, libewf_error_free); }

class EwfSource : public LibrarySource {
 public:
  EwfSource(std::string path, uint64_t media_size, uint64_t chunk_size, libewf_handle_t* handle)
      : LibrarySource(std::move(path), media_size),
        handle_(handle),
        chunks_(chunk_size, media_size, kEwfCacheBytes,
                [this](uint64_t offset, std::span<uint8_t> out, std::string* why) { return ReadChunks(offset, out, why); }) {}
  ~EwfSource() override {
    libewf_handle_close(handle_, nullptr);
    libewf_handle_free(&handle_, nullptr);
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
    libewf_error_t* error = nullptr;
    const ssize_t got = libewf_handle_read_random(handle_, out.data(), out.size(), static_cast<off64_t>(offset), &error);
    if (got < 0) {
      *why = ErrorText(error);
      return -1;
    }
    // A chunk that fails its checksum or does not decompress still reads:
    // libewf counts it, and its bytes cannot be trusted.
    uint32_t errors = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle_, &errors, nullptr) == 1 && errors != checksum_errors_) {
      checksum_errors_ = errors;
      *why = "a chunk fails its checksum or does not decompress";
      return -1;
    }
    return got;
  }

  libewf_handle_t* handle_;
  uint32_t checksum_errors_ = 0;
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
  auto source = std::make_unique<EwfSource>(path, media_size, chunk_size, handle);
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
