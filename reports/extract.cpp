#include <memory>
#include <vector>

#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/volume.h"
#include "reports/content_reports.h"

namespace velmora {

namespace {

void PrintDigests(Console& console, const content::Digests& digests, bool to_standard_error) {
  const std::u16string text = Format("MD5    : %s\nSHA1   : %s\nSHA256 : %s\n", digests.md5, digests.sha1,
                                     digests.sha256);
  if (to_standard_error) {
    console.Diagnostic("%s", text);
  } else {
    console.Print("%s", text);
  }
}

}  // namespace

Expected<uint64_t> CopyContent(content::ContentReader& reader, TransferBlock& block,
                               const std::function<Expected<void>(std::span<const uint8_t>)>& write,
                               content::Hasher* hasher) {
  uint64_t total = 0;
  for (;;) {
    auto count = reader.Read(block.Span());
    if (!count) return count.error();
    if (*count == 0) return total;
    const std::span<const uint8_t> piece(block.Span().data(), *count);
    if (hasher != nullptr) hasher->Update(piece);
    if (auto written = write(piece); !written) return written.error();
    total += *count;
  }
}

void AppendContentFields(json::Line& line, const content::ContentInfo& info, const content::Digests* digests) {
  line.Wide("size", info.size).String("compression", content::CompressionName(info.compression));
  line.Bool("sparse", info.sparse).Wide("initialized_size", info.initialized_size);
  line.Array("sparse_ranges");
  for (const content::ByteRange& range : info.sparse_ranges)
    line.Object("").Wide("offset", range.offset).Wide("length", range.length).End();
  line.End().Number("sparse_ranges_total", info.sparse_ranges_total);
  if (digests != nullptr) {
    line.Object("hashes").String("md5", digests->md5).String("sha1", digests->sha1);
    line.String("sha256", digests->sha256).End();
  }
}

bool ExtractContent(ReportContext& context, FileReference target, const ExtractRequest& request) {
  VolumeContext& volume = context.volume;
  if (!volume.IsOpen()) return false;
  const bool to_stdout = request.output_path == u"-";
  const std::u16string label = request.stream.empty() ? std::u16string(request.label)
                                                      : Format("%s (stream %s)", request.label, request.stream);
  auto fail = [&](const Error& error) {
    context.console.Diagnostic("%s\n", error.Within(label).Line());
    return false;
  };
  auto record = ReadFileRecord(volume, target.Record());
  if (!record) return fail(record.error());
  FileAttributes file = FileAttributes::Open(volume, std::move(*record));
  ReportProblems(context, file);
  auto reader = content::ContentReader::Open(volume, file, request.stream);
  if (!reader) return fail(reader.error());

  // As -w: the volume's own source, its other files and any device are
  // refused, and the bytes take the name only once complete.
  std::unique_ptr<platform::OutputFile> output;
  if (to_stdout) {
    context.platform.SetStandardOutputBinary();
  } else {
    platform::CreateOutcome created = context.platform.CreateOutputFile(request.output_path, *volume.device(), {});
    if (!created.file) {
      context.console.Diagnostic("%s\n", created.error.Line());
      return false;
    }
    output = std::move(created.file);
  }
  TextSink& out = context.console.out();
  const auto write = [&](std::span<const uint8_t> bytes) -> Expected<void> {
    if (output) return output->Write(bytes);
    out.WriteNarrow(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (out.Broken()) return Error{u"standard output", u"it no longer takes bytes", ErrorKind::kUnreadable};
    return {};
  };
  content::Hasher hasher;
  TransferBlock block;
  auto copied = CopyContent(*reader, block, write, request.hash ? &hasher : nullptr);
  if (!copied) return fail(copied.error());
  if (output) {
    if (auto committed = output->Commit(); !committed) {
      context.console.Diagnostic("%s\n", committed.error().Line());
      return false;
    }
  } else {
    out.Flush();
  }

  const content::ContentInfo& info = reader->info();
  const content::Digests digests = request.hash ? hasher.Finish() : content::Digests{};
  if (context.json) {
    json::Line line("content");
    line.Text("output_path", request.output_path).Text("stream", request.stream);
    AppendContentFields(line, info, request.hash ? &digests : nullptr);
    if (to_stdout) {
      context.console.Diagnostic("%s", line.Finish());
    } else {
      json::Emit(context.console, line);
    }
    return true;
  }
  if (!to_stdout) {
    context.console.Print("Content: %I64u bytes, compression %s%s\n", info.size,
                          content::CompressionName(info.compression), info.sparse ? ", sparse" : "");
  }
  if (request.hash) PrintDigests(context.console, digests, to_stdout);
  return true;
}

}  // namespace velmora
