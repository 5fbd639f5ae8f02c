// --export: the subtree's files and named streams recreated under a host
// directory, walked through the directories' $I30 indexes, with a manifest
// that hashdeep audits.
#include <chrono>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/bytes.h"
#include "content/wof.h"
#include "history/free_records.h"
#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/index.h"
#include "ntfs/standard_information.h"
#include "ntfs/volume.h"
#include "reports/content_reports.h"
#include "reports/export_names.h"

namespace velmora {

namespace {

// Records 0 to 15 are the volume's metadata files ($MFT, $LogFile, $Bitmap,
// $BadClus with its volume-sized sparse stream, $Extend and what it holds)
// and 16 to 23 are kept for more: an export of the root leaves them out;
// -f names one to export it alone.
constexpr uint64_t kFirstUserRecord = 24;
// Folders nested deeper than this are not followed: no host path holds that
// many components, and a damaged tree cannot lead the walk on for ever.
constexpr unsigned kMaxExportDepth = 1024;
// $FILE_NAME namespace 2: the DOS 8.3 alias of a name listed under its own entry.
constexpr uint8_t kNameSpaceDos = 2;
// $STANDARD_INFORMATION file attribute flag: the content is encrypted ($EFS).
constexpr uint32_t kEncryptedFlag = 0x4000;
constexpr auto kProgressInterval = std::chrono::milliseconds(500);
// A free record's name is exported as the timeline lists it.
constexpr std::u16string_view kDeletedMark = u" (deleted)";

bool IsWof(content::Compression compression) {
  return compression != content::Compression::kNone && compression != content::Compression::kLznt1;
}

// One name of a directory's index.
struct Entry {
  std::u16string name;
  uint64_t record = 0;
};

// A directory whose entries are still to be exported.
struct Pending {
  uint64_t record = 0;
  std::u16string relative;     // below DIR, host separators; empty for DIR itself
  std::u16string volume_path;  // as the volume names it, for messages and JSON
  unsigned depth = 0;
};

// What $STANDARD_INFORMATION says of a file, for the JSON lines.
struct Standard {
  uint64_t created = 0, modified = 0, record_changed = 0, accessed = 0;
  uint32_t attributes = 0;
};

Standard ReadStandard(FileAttributes& file) {
  Standard standard;
  const HeldAttribute held = file.First(AttrType::kStandardInformation, nullptr);
  if (!held || held->NonResident()) return standard;
  const LeBytes value(held->ResidentValue());
  namespace si = standard_information;
  standard.created = value.U64(si::kCreateTime);
  standard.modified = value.U64(si::kModificationTime);
  standard.record_changed = value.U64(si::kChangeTime);
  standard.accessed = value.U64(si::kAccessTime);
  standard.attributes = value.U32(si::kPermission);
  return standard;
}

// The file's own name for an export of the file alone: its first name that
// is not a DOS alias.
std::u16string PrimaryName(FileAttributes& file) {
  for (const HeldAttribute& held : file.Find(AttrType::kFileName, nullptr)) {
    if (held->NonResident()) continue;
    const LeBytes value(held->ResidentValue());
    if (!value.Fits(0, file_name::kName) || value.U8(file_name::kNameSpace) == kNameSpaceDos) continue;
    const uint64_t units = value.U8(file_name::kNameLength);
    if (value.Fits(file_name::kName, units * 2)) return value.Utf16(file_name::kName, units);
  }
  return Format("record-%I64u", file.base().Number().value);
}

class Exporter {
 public:
  Exporter(ReportContext& context, const ExportRequest& request)
      : context_(context),
        request_(request),
        rules_(context.platform.NameRules()),
        separator_(1, rules_.separator),
        hashing_(content::HashingAvailable()),
        progress_(context.platform.StandardErrorIsTerminal()) {}

  ExportCounts Run(FileReference target);

 private:
  void Manifest();
  void Walk(Pending top);
  std::vector<Entry> Entries(const Pending& directory);
  // One name: a folder is created and queued, a file's streams written.
  void ExportName(const Entry& entry, const Pending& parent, std::vector<Pending>& queue);
  // The file's unnamed stream (not a folder's) and its named streams, beside
  // each other in the folder relative names below DIR.
  // freed: the free record the file was read from (--deleted).
  void ExportStreams(FileAttributes& file, bool directory, const std::u16string& name, const std::u16string& folder,
                     const std::u16string& volume_path, const history::FreeRecord* freed = nullptr);
  void ExportStream(FileAttributes& file, content::ContentReader& reader, std::u16string_view stream,
                    const std::u16string& relative, const std::u16string& volume_path, const Standard& standard,
                    const history::FreeRecord* freed);
  // --deleted: the free records under target whose names still parse.
  void ExportDeleted(FileReference target);
  void ExportFreeName(const history::FreeRecord& freed, std::string_view below);
  // The folders of relative, created where the walk has not made them.
  bool MakeFolders(const std::u16string& relative, const std::u16string& volume_path);
  void Fail(const std::u16string& volume_path, const Error& error);
  std::u16string Join(const std::u16string& folder, const std::u16string& name) const {
    return folder.empty() ? name : folder + separator_ + name;
  }
  std::u16string HostPath(const std::u16string& relative) const {
    return relative.empty() ? std::u16string(request_.directory) : Join(std::u16string(request_.directory), relative);
  }
  void Progress();

  ReportContext& context_;
  const ExportRequest& request_;
  const platform::HostNameRules rules_;
  const std::u16string separator_;
  const bool hashing_;
  const bool progress_;
  std::u16string canonical_;  // DIR as hashdeep -r prints it
  ExportCounts counts_;
  TransferBlock block_;
  uint64_t system_files_ = 0;
  std::unordered_set<uint64_t> visited_;
  std::unordered_set<std::u16string> folders_;  // relative folders made under DIR
  std::unordered_set<std::u16string> deleted_names_;  // relative names --deleted gave
  uint64_t deleted_files_ = 0;
  std::chrono::steady_clock::time_point last_progress_ = std::chrono::steady_clock::now();
};

void Exporter::Manifest() {
  if (context_.json) return;
  if (!hashing_) {
    context_.console.Diagnostic("export: this build has no libcrypto (OpenSSL): no manifest is written\n");
    return;
  }
  // hashdeep's own header: what it reads back with -k, and the two lines
  // saying where and how the list was made.
  std::u16string command;
  if (request_.command_line != nullptr) {
    for (const std::u16string& argument : *request_.command_line) command += (command.empty() ? u"" : u" ") + argument;
  }
  const std::u16string header = Format("%%%%%%%% HASHDEEP-1.0\n%%%%%%%% size,md5,sha256,filename\n## Invoked from: %s\n"
                                       "## $ %s\n## \n",
                                       context_.platform.CurrentDirectory(), command);
  context_.console.out().WriteNarrow(Utf16ToUtf8(header));
}

ExportCounts Exporter::Run(FileReference target) {
  if (auto taken = context_.platform.TakeEmptyDirectory(request_.directory); !taken) {
    context_.console.Diagnostic("export: %s\n", taken.error().Line());
    return counts_;
  }
  counts_.started = true;
  canonical_ = context_.platform.CanonicalPath(request_.directory).value_or(std::u16string(request_.directory));
  Manifest();

  auto record = ReadFileRecord(context_.volume, target.Record());
  if (!record) {
    Fail(std::u16string(request_.target_path), record.error());
  } else if (record->Flags() & record::kFlagDirectory) {
    // DIR holds what the directory holds; the directory's own named
    // streams, having no folder to go beside, are left to -x.
    visited_.insert(target.Record().value);
    Walk(Pending{target.Record().value, {}, std::u16string(request_.target_path), 0});
  } else {
    FileAttributes file = FileAttributes::Open(context_.volume, std::move(*record));
    ReportProblems(context_, file);
    ExportStreams(file, false, PrimaryName(file), {}, std::u16string(request_.target_path));
  }
  if (context_.deleted) ExportDeleted(target);
  if (system_files_ != 0) {
    context_.console.Diagnostic("export: %I64u names of the volume's metadata files (records 0 to 23) left out; -f "
                                "names one to export it\n",
                                system_files_);
  }
  context_.console.Diagnostic("export: %I64u files, %I64u bytes, %I64u failures\n", counts_.files, counts_.bytes,
                              counts_.failures);
  return counts_;
}

void Exporter::Walk(Pending top) {
  std::vector<Pending> queue{std::move(top)};
  while (!queue.empty()) {
    Pending directory = std::move(queue.back());
    queue.pop_back();
    for (const Entry& entry : Entries(directory)) ExportName(entry, directory, queue);
  }
}

std::vector<Entry> Exporter::Entries(const Pending& directory) {
  std::vector<Entry> entries;
  const auto visit = [&](std::span<const uint8_t> key, FileReference file) {
    const LeBytes value(key);
    if (!value.Fits(0, file_name::kName) || value.U8(file_name::kNameSpace) == kNameSpaceDos)
      return Walk::kContinue;
    const uint64_t units = value.U8(file_name::kNameLength);
    if (!value.Fits(file_name::kName, units * 2)) return Walk::kContinue;
    entries.push_back(Entry{value.Utf16(file_name::kName, units), file.Record().value});
    return Walk::kContinue;
  };
  const IndexWalkResult walk = IndexWalker(context_.volume, FileReference(directory.record), kI30Name, visit);
  if (walk.stopped) Fail(directory.volume_path, walk.stopped->Within(u"the directory's index ends early"));
  return entries;
}

void Exporter::ExportName(const Entry& entry, const Pending& parent, std::vector<Pending>& queue) {
  // The root's index names the root itself (".").
  if (entry.record == parent.record) return;
  if (entry.record < kFirstUserRecord) {
    ++system_files_;
    return;
  }
  const std::u16string volume_path = parent.volume_path + (parent.volume_path.ends_with(u'\\') ? u"" : u"\\") +
                                     entry.name;
  auto record = ReadFileRecord(context_.volume, RecordNumber(entry.record));
  if (!record) return Fail(volume_path, record.error());
  const bool directory = record->Flags() & record::kFlagDirectory;
  FileAttributes file = FileAttributes::Open(context_.volume, std::move(*record));
  ReportProblems(context_, file);
  if (directory) {
    const std::u16string relative = Join(parent.relative, EscapeExportName(entry.name, rules_));
    if (!visited_.insert(entry.record).second)
      return Fail(volume_path, Error{{}, Format("record 0x%I64X is a directory met before: not followed again",
                                                entry.record)});
    if (parent.depth + 1 > kMaxExportDepth)
      return Fail(volume_path, Error{{}, Format("nested more than %u folders deep", kMaxExportDepth), ErrorKind::kLimit});
    if (auto created = context_.platform.CreateDirectory(HostPath(relative)); !created)
      return Fail(volume_path, created.error());
    folders_.insert(relative);
    queue.push_back(Pending{entry.record, relative, volume_path, parent.depth + 1});
  }
  ExportStreams(file, directory, entry.name, parent.relative, volume_path);
}

void Exporter::ExportStreams(FileAttributes& file, bool directory, const std::u16string& name,
                             const std::u16string& folder, const std::u16string& volume_path,
                             const history::FreeRecord* freed) {
  const Standard standard = ReadStandard(file);
  bool wof = false;
  if (!directory) {
    auto reader = content::ContentReader::Open(context_.volume, file, u"");
    if (!reader) {
      Fail(volume_path, reader.error());
    } else {
      wof = IsWof(reader->info().compression);
      ExportStream(file, *reader, u"", Join(folder, EscapeExportName(name, rules_)), volume_path, standard, freed);
    }
  }
  // Each named $DATA is a stream of its own; a system-compressed file's
  // WofCompressedData is where its content came from, not a stream of it.
  std::vector<std::u16string> streams;
  for (const HeldAttribute& held : file.Find(AttrType::kData, nullptr)) {
    std::u16string stream = held->Name();
    if (stream.empty() || (wof && stream == content::kWofStreamName)) continue;
    streams.push_back(std::move(stream));
  }
  for (const std::u16string& stream : streams) {
    const std::u16string stream_path = volume_path + u":" + stream;
    auto reader = content::ContentReader::Open(context_.volume, file, stream);
    if (!reader) {
      Fail(stream_path, reader.error());
      continue;
    }
    ExportStream(file, *reader, stream, Join(folder, ExportStreamName(name, stream, rules_)), stream_path, standard,
                 freed);
  }
}

void Exporter::ExportStream(FileAttributes& file, content::ContentReader& reader, std::u16string_view stream,
                            const std::u16string& relative, const std::u16string& volume_path,
                            const Standard& standard, const history::FreeRecord* freed) {
  auto created = context_.platform.CreateNewFile(HostPath(relative));
  if (!created) return Fail(volume_path, created.error());
  content::Hasher hasher;
  const auto write = [&](std::span<const uint8_t> bytes) { return (*created)->Write(bytes); };
  auto copied = CopyContent(reader, block_, write, hashing_ ? &hasher : nullptr);
  if (!copied) return Fail(volume_path, copied.error());
  if (auto committed = (*created)->Commit(); !committed) return Fail(volume_path, committed.error());
  ++counts_.files;
  counts_.bytes += *copied;
  const content::Digests digests = hashing_ ? hasher.Finish() : content::Digests{};
  if (context_.json) {
    const content::ContentInfo& info = reader.info();
    const FileRecord& base = file.base();
    json::Line line("export");
    line.Text("path", volume_path).Text("output", HostPath(relative)).Bool("exported", true);
    line.Reference("file", base.Reference()).Text("stream", stream);
    if (freed != nullptr) {
      line.Bool("deleted", true);
      // The unnamed $DATA was read through the record's own runs: how many
      // of their clusters now belong to something else (its bytes are then
      // that file's). Runs that stop short give no share.
      if (stream.empty() && freed->has_data && freed->runs_complete)
        line.Number("data_clusters", freed->clusters).Number("clusters_reallocated", freed->clusters_reallocated);
    }
    AppendContentFields(line, info, hashing_ ? &digests : nullptr);
    line.Object("standard_information")
        .FileTimes(standard.created, standard.modified, standard.record_changed, standard.accessed)
        .End();
    line.Object("flags").Bool("compressed", info.compression == content::Compression::kLznt1);
    line.Bool("wof", IsWof(info.compression)).Bool("sparse", info.sparse);
    line.Bool("encrypted", (standard.attributes & kEncryptedFlag) != 0).End();
    json::Emit(context_.console, line);
  } else if (hashing_) {
    const std::u16string row = Format("%I64u,%s,%s,%s\n", *copied, digests.md5, digests.sha256,
                                      Join(canonical_, relative));
    context_.console.out().WriteNarrow(Utf16ToUtf8(row));
  }
  Progress();
}

void Exporter::ExportDeleted(FileReference target) {
  auto freed = history::ReadFreeRecords(context_.volume, target);
  if (!freed) return Fail(std::u16string(request_.target_path), freed.error().Within(u"deleted files"));
  if (freed->left_out != 0) {
    context_.console.Diagnostic("export: %I64u more deleted files left out\n", freed->left_out);
  }
  for (const history::FreeRecord& record : freed->records) {
    // A folder's names come back as its files' folders; a record that
    // names no $DATA of its own has nothing to read.
    if (record.directory || !record.has_data) continue;
    for (const history::FreeRecordName& name : record.names) {
      std::string_view below(name.path);
      if (!freed->subtree_path.empty()) {
        if (!below.starts_with(freed->subtree_path)) continue;
        below.remove_prefix(freed->subtree_path.size());
      }
      ExportFreeName(record, below);
    }
  }
}

void Exporter::ExportFreeName(const history::FreeRecord& freed, std::string_view below) {
  // below: "/dir/name" under the target; empty when the target is the file.
  std::vector<std::u16string> components;
  for (size_t at = 0; at < below.size();) {
    const size_t slash = below.find('/', at);
    const size_t end = slash == std::string_view::npos ? below.size() : slash;
    if (end > at) components.push_back(Utf8ToUtf16(below.substr(at, end - at)));
    at = end + 1;
  }
  std::u16string volume_path(request_.target_path);
  for (const std::u16string& component : components)
    volume_path += (volume_path.ends_with(u'\\') ? u"" : u"\\") + component;
  std::u16string leaf;
  if (components.empty()) {
    auto record = ReadFileRecord(context_.volume, freed.reference.Record());
    if (!record) return Fail(volume_path, record.error());
    FileAttributes file = FileAttributes::Open(context_.volume, std::move(*record));
    leaf = PrimaryName(file);
  } else {
    leaf = std::move(components.back());
    components.pop_back();
  }
  std::u16string folder;
  for (const std::u16string& component : components) folder = Join(folder, EscapeExportName(component, rules_));
  if (!MakeFolders(folder, volume_path)) return;
  // The same name deleted more than once: the later records say which they are.
  std::u16string name = leaf + std::u16string(kDeletedMark);
  if (!deleted_names_.insert(Join(folder, EscapeExportName(name, rules_))).second) {
    name = Format("%s (deleted, record %I64u)", leaf, freed.reference.Number());
    deleted_names_.insert(Join(folder, EscapeExportName(name, rules_)));
  }
  auto record = ReadFileRecord(context_.volume, freed.reference.Record());
  if (!record) return Fail(volume_path, record.error());
  FileAttributes file = FileAttributes::Open(context_.volume, std::move(*record));
  ReportProblems(context_, file);
  ++deleted_files_;
  ExportStreams(file, false, name, folder, volume_path, &freed);
}

bool Exporter::MakeFolders(const std::u16string& relative, const std::u16string& volume_path) {
  if (relative.empty() || folders_.contains(relative)) return true;
  const size_t last = relative.rfind(separator_);
  if (last != std::u16string::npos && !MakeFolders(relative.substr(0, last), volume_path)) return false;
  if (auto created = context_.platform.CreateDirectory(HostPath(relative)); !created) {
    Fail(volume_path, created.error());
    return false;
  }
  folders_.insert(relative);
  return true;
}

void Exporter::Fail(const std::u16string& volume_path, const Error& error) {
  ++counts_.failures;
  if (context_.json) {
    json::Line line("export");
    line.Text("path", volume_path).Bool("exported", false);
    json::Emit(context_.console, line.Text("reason", error.Line()).String("kind", KindName(error.kind)));
  }
  context_.console.Diagnostic("export: %s\n", error.Within(volume_path).Line());
}

void Exporter::Progress() {
  if (!progress_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_progress_ < kProgressInterval) return;
  last_progress_ = now;
  context_.console.Diagnostic("export: %I64u files, %I64u bytes so far\r", counts_.files, counts_.bytes);
}

}  // namespace

ExportCounts ExportTree(ReportContext& context, FileReference target, const ExportRequest& request) {
  return Exporter(context, request).Run(target);
}

}  // namespace velmora
