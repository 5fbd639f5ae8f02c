// -x and --export: a file's content as Windows reads it (content/), written
// to a file, to standard output or into a recreated tree, hashed on the way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "content/content.h"
#include "content/hash.h"
#include "output/json_lines.h"
#include "reports/reports.h"

namespace velmora {

// What -x is asked to write.
struct ExtractRequest {
  std::u16string_view output_path;  // "-": standard output
  std::u16string_view stream;       // empty: the unnamed $DATA
  std::u16string_view label;        // the target as the user named it, for messages
  bool hash = false;
};

// -x. With a file output the bytes go beside it and take its name only once
// complete; with "-" they go to standard output, and the hash lines (or the
// JSON content object) to standard error. False when the content could not
// be written in full: the reason is one line on standard error, and no
// output file is left under the name.
bool ExtractContent(ReportContext& context, FileReference target, const ExtractRequest& request);

// The block CopyContent moves bytes through: memory stays at this plus what
// the reader keeps (a few compression units or chunks), whatever the
// content's size. Made once for a whole export and left unfilled: each
// read overwrites what it hands on, and clearing a megabyte per stream
// cost more than hashing a tree of small files.
class TransferBlock {
 public:
  static constexpr size_t kBytes = size_t{1} << 20;
  std::span<uint8_t> Span() { return {bytes_.get(), kBytes}; }

 private:
  std::unique_ptr<uint8_t[]> bytes_{new uint8_t[kBytes]};
};

// Streams the reader's bytes into write, through hasher when there is one,
// a block at a time. The byte count, or the first failure of either side
// (a reader's names the content offset).
Expected<uint64_t> CopyContent(content::ContentReader& reader, TransferBlock& block,
                               const std::function<Expected<void>(std::span<const uint8_t>)>& write,
                               content::Hasher* hasher);

// The content's facts as JSON fields: size, compression, sparse ranges,
// initialized size, and the hashes when there are any.
void AppendContentFields(json::Line& line, const content::ContentInfo& info, const content::Digests* digests);

// What --export is asked for.
struct ExportRequest {
  std::u16string_view directory;  // DIR: created, or empty
  std::u16string_view target_path;
  const std::vector<std::u16string>* command_line = nullptr;  // for the manifest's "## $" line
};

struct ExportCounts {
  uint64_t files = 0;  // files and streams written
  uint64_t bytes = 0;
  uint64_t failures = 0;  // files, streams and directories that could not be written or walked
  bool started = false;   // DIR could be taken: the walk ran
};

// --export: every file and named stream under target into DIR, a manifest
// line for each on standard output.
ExportCounts ExportTree(ReportContext& context, FileReference target, const ExportRequest& request);

}  // namespace velmora
