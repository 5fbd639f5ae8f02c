// What ContentReader reads through: one source per kind of storage. Each
// source is handed offsets below the content size (and below the
// initialized size: the reader gives the zeros past it) and returns at
// least one byte or an Error whose message names the content offset.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "content/content.h"
#include "ntfs/value_reader.h"

namespace velmora {
class HeldAttribute;
}

namespace velmora::content {

// The most bytes one Read asks of the volume: large enough that a read is
// a few big device requests, small enough for a caller's stack of buffers.
inline constexpr size_t kMaxReadBlock = 4u << 20;

inline Error Damaged(std::u16string message) { return Error{u"", std::move(message), ErrorKind::kDamaged}; }

class ContentSource {
 public:
  virtual ~ContentSource() = default;
  virtual Expected<size_t> Read(uint64_t offset, std::span<uint8_t> out) = 0;
};

// A non-resident value's runs must map or leave as holes its first `bytes`
// (its initialized size, rounded up to whole compression units when
// compressed): bytes no run maps would otherwise read as zeros the volume
// never said were zeros. A run list over the run bound is refused too.
Expected<void> CheckRunsCover(const AttributeReader& reader, uint64_t bytes);

// Appends [offset, offset + length) to info's sparse ranges, merged with
// the last one when they touch, within kMaxSparseRanges.
void AddSparseRange(ContentInfo& info, uint64_t offset, uint64_t length);

// A stream's value as the content reader gives it (resident, plain or
// LZNT1-compressed), its info filled; no reparse point is looked at.
Expected<std::unique_ptr<ContentSource>> OpenStream(FileAttributes& file, const HeldAttribute& data, ContentInfo& info);
// Exactly out.size() bytes at offset of a stream OpenStream opened, zeros
// past its initialized size; the Error of the first read that fails, or a
// damage Error when the stream ends first.
Expected<void> ReadStreamBytes(ContentSource& source, const ContentInfo& info, uint64_t offset,
                               std::span<uint8_t> out);

// The LZNT1-compressed value the reader reads through, whose content info
// (size, initialized size) is filled already; adds the all-hole units to
// info's sparse ranges.
Expected<std::unique_ptr<ContentSource>> OpenLznt1(AttributeReader reader, ContentInfo& info);

// A system-compressed file's content: its reparse point names the
// algorithm, its WofCompressedData stream holds the chunks; info.size is
// the unnamed $DATA's size. Sets info.compression.
Expected<std::unique_ptr<ContentSource>> OpenWof(FileAttributes& file, std::span<const uint8_t> reparse_data,
                                                 ContentInfo& info);

}  // namespace velmora::content
