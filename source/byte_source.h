// Byte sources that are pure logic: a volume in memory, and a window of
// another source. The interface itself is base/byte_source.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/byte_source.h"

namespace velmora::source {

using velmora::ByteSource;

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
  bool ConcurrentReads() const override { return inner_->ConcurrentReads(); }

 private:
  std::unique_ptr<ByteSource> inner_;
  uint64_t base_;
};

}  // namespace velmora::source
