// QCOW (version 1 to 3) through libqcow, with its backing files.
#include <libqcow.h>

#include "source/chain_source.h"

namespace velmora::source {

namespace {

struct QcowTraits {
  using Handle = libqcow_file_t;
  using Error = libqcow_error_t;
  static constexpr const char* kName = "QCOW";

  static int Initialize(Handle** h, Error** e) { return libqcow_file_initialize(h, e); }
  static void Free(Handle** h) { libqcow_file_free(h, nullptr); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    return libqcow_file_open(h, path.c_str(), LIBQCOW_OPEN_READ, e);
  }
  static void Close(Handle* h) { libqcow_file_close(h, nullptr); }
  static int MediaSize(Handle* h, uint64_t* size, Error** e) {
    return LibyalMediaSize(h, size, e, libqcow_file_get_media_size);
  }
  static ssize_t Read(Handle* h, void* buffer, size_t size, uint64_t offset, Error** e) {
    return libqcow_file_read_buffer_at_offset(h, buffer, size, static_cast<off64_t>(offset), e);
  }
  static int ParentName(Handle* h, std::string* name, Error** e) {
    return LibyalUtf8String(h, name, e, libqcow_file_get_utf8_backing_filename_size, libqcow_file_get_utf8_backing_filename);
  }
  static int SetParent(Handle* h, Handle* parent, Error** e) { return libqcow_file_set_parent_file(h, parent, e); }
  static std::string Refusal(Handle* h) {
    uint32_t method = LIBQCOW_ENCRYPTION_METHOD_NONE;
    if (libqcow_file_get_encryption_method(h, &method, nullptr) == 1 && method != LIBQCOW_ENCRYPTION_METHOD_NONE)
      return "encrypted QCOW image (no key can be given)";
    return {};
  }
  static std::vector<std::string> Files(Handle*, const std::string&) { return {}; }
  static std::string ErrorText(Error*& error) { return LibyalErrorText(error, libqcow_error_sprint, libqcow_error_free); }
};

}  // namespace

OpenedEvidence OpenQcow(const std::string& path) { return OpenChain<QcowTraits>(path); }

}  // namespace velmora::source
