// Read-only random access to the bytes of a volume.
//
// A source reads N bytes at a 64-bit offset and nothing else: there is no
// write operation anywhere in this interface, so nothing built on it can
// change the evidence it reads. The system's files and devices
// (platform/) and the containers and windows built on them (source/) are
// all sources.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills all of out from offset. A short read (past the end of an image,
  // a truncated acquisition) is a failure, never a partial success.
  virtual bool ReadAt(uint64_t offset, std::span<uint8_t> out) = 0;
  // Total size in bytes, where the source knows it.
  virtual std::optional<uint64_t> Size() const = 0;
  // Identity of the underlying file (device and inode), where there is one:
  // lets the writer refuse an output path that is the evidence itself.
  virtual std::optional<std::pair<uint64_t, uint64_t>> FileIdentity() const { return std::nullopt; }
  // Every other file the source reads (segments, extents, parents of a
  // container), which the writer must refuse as well.
  virtual std::vector<std::string> OtherFiles() const { return {}; }
  // Why the first failed read failed, where the source knows more than a
  // short read tells (a container's chunk that fails its checksum); empty
  // otherwise.
  virtual std::string ReadFailure() const { return {}; }
  // True when ReadAt may be called from several threads at once (a file
  // read at explicit offsets); otherwise reads are taken one at a time.
  virtual bool ConcurrentReads() const { return false; }
};

}  // namespace velmora
