// VMDK (monolithic sparse, stream-optimized, a descriptor with its extent
// files) through libvmdk, with parents.
#include <libvmdk.h>

#include "source/chain_source.h"

namespace velmora::source {

namespace {

struct VmdkTraits {
  using Handle = libvmdk_handle_t;
  using Error = libvmdk_error_t;
  static constexpr const char* kName = "VMDK";

  static int Initialize(Handle** h, Error** e) { return libvmdk_handle_initialize(h, e); }
  static void Free(Handle** h) { libvmdk_handle_free(h, nullptr); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    if (libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, e) != 1) return -1;
    // The extents are files of their own, named by the descriptor relative
    // to its directory.
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos) {
      const std::string directory = path.substr(0, slash == 0 ? 1 : slash);
      if (libvmdk_handle_set_extent_data_files_path(h, directory.c_str(), directory.size(), e) != 1) return -1;
    }
    return libvmdk_handle_open_extent_data_files(h, e);
  }
  static void Close(Handle* h) { libvmdk_handle_close(h, nullptr); }
  static int MediaSize(Handle* h, uint64_t* size, Error** e) {
    return LibyalMediaSize(h, size, e, libvmdk_handle_get_media_size);
  }
  static ssize_t Read(Handle* h, void* buffer, size_t size, uint64_t offset, Error** e) {
    return libvmdk_handle_read_buffer_at_offset(h, buffer, size, static_cast<off64_t>(offset), e);
  }
  static int ParentName(Handle* h, std::string* name, Error** e) {
    return LibyalUtf8String(h, name, e, libvmdk_handle_get_utf8_parent_filename_size, libvmdk_handle_get_utf8_parent_filename);
  }
  static int SetParent(Handle* h, Handle* parent, Error** e) { return libvmdk_handle_set_parent_handle(h, parent, e); }
  static std::string Refusal(Handle*) { return {}; }
  static std::vector<std::string> Files(Handle* h, const std::string& path) {
    std::vector<std::string> files;
    const size_t slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    int count = 0;
    if (libvmdk_handle_get_number_of_extents(h, &count, nullptr) != 1) return files;
    for (int i = 0; i < count; ++i) {
      libvmdk_extent_descriptor_t* extent = nullptr;
      if (libvmdk_handle_get_extent_descriptor(h, i, &extent, nullptr) != 1) continue;
      size_t size = 0;
      if (libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, nullptr) == 1 && size > 1) {
        std::string name(size, '\0');
        if (libvmdk_extent_descriptor_get_utf8_filename(extent, reinterpret_cast<uint8_t*>(name.data()), size,
                                                        nullptr) == 1) {
          name.resize(size - 1);
          files.push_back(name.front() == '/' ? name : directory + name);
        }
      }
      libvmdk_extent_descriptor_free(&extent, nullptr);
    }
    return files;
  }
  static std::string ErrorText(Error*& error) { return LibyalErrorText(error, libvmdk_error_sprint, libvmdk_error_free); }
};

}  // namespace

OpenedEvidence OpenVmdk(const std::string& path) { return OpenChain<VmdkTraits>(path); }

}  // namespace velmora::source
