// Read-only random access to the bytes of a volume.
//
// A source reads N bytes at a 64-bit offset and nothing else: there is no
// write operation anywhere in this interface, so nothing built on it can
// change the evidence it reads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmora::source {

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
};

// The whole volume held in memory: tests, fuzzers, benchmarks.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : owned_(std::move(bytes)), bytes_(owned_) {}
  // Borrows bytes that outlive the source.
  explicit MemorySource(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  std::optional<uint64_t> Size() const override { return bytes_.size(); }

  // Counters for tests that check how much a walk reads.
  uint64_t reads() const { return reads_; }
  void ResetCounters() { reads_ = 0; }

 private:
  std::vector<uint8_t> owned_;
  std::span<const uint8_t> bytes_;
  uint64_t reads_ = 0;
};

// A window of another source starting at a byte offset (a partition of a
// whole-disk image).
class OffsetSource : public ByteSource {
 public:
  OffsetSource(std::unique_ptr<ByteSource> inner, uint64_t base) : inner_(std::move(inner)), base_(base) {}
  bool ReadAt(uint64_t offset, std::span<uint8_t> out) override;
  std::optional<uint64_t> Size() const override;
  std::optional<std::pair<uint64_t, uint64_t>> FileIdentity() const override { return inner_->FileIdentity(); }
  std::vector<std::string> OtherFiles() const override { return inner_->OtherFiles(); }
  std::string ReadFailure() const override { return inner_->ReadFailure(); }

 private:
  std::unique_ptr<ByteSource> inner_;
  uint64_t base_;
};

}  // namespace velmora::source
