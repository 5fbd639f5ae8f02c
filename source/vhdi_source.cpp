// VHD (fixed, dynamic, differencing) and VHDX through libvhdi, with parents.
#include <libvhdi.h>

#include "source/chain_source.h"

namespace velmora::source {

namespace {

struct VhdiTraits {
  using Handle = libvhdi_file_t;
  using Error = libvhdi_error_t;
  static constexpr const char* kName = "VHD/VHDX";

  static int Initialize(Handle** h, Error** e) { return libvhdi_file_initialize(h, e); }
  static void Free(Handle** h) { libvhdi_file_free(h, nullptr); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    return libvhdi_file_open(h, path.c_str(), LIBVHDI_OPEN_READ, e);
  }
  static void Close(Handle* h) { libvhdi_file_close(h, nullptr); }
  static int MediaSize(Handle* h, uint64_t* size, Error** e) {
    return LibyalMediaSize(h, size, e, libvhdi_file_get_media_size);
  }
  static ssize_t Read(Handle* h, void* buffer, size_t size, uint64_t offset, Error** e) {
    return libvhdi_file_read_buffer_at_offset(h, buffer, size, static_cast<off64_t>(offset), e);
  }
  static int ParentName(Handle* h, std::string* name, Error** e) {
    return LibyalUtf8String(h, name, e, libvhdi_file_get_utf8_parent_filename_size, libvhdi_file_get_utf8_parent_filename);
  }
  static int SetParent(Handle* h, Handle* parent, Error** e) { return libvhdi_file_set_parent_file(h, parent, e); }
  static std::string Refusal(Handle*) { return {}; }
  static std::vector<std::string> Files(Handle*, const std::string&) { return {}; }
  static std::string ErrorText(Error*& error) { return LibyalErrorText(error, libvhdi_error_sprint, libvhdi_error_free); }
};

}  // namespace

OpenedEvidence OpenVhdi(const std::string& path) { return OpenChain<VhdiTraits>(path); }

}  // namespace velmora::source
