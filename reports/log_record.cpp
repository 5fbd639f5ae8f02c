// -n: the header of the log record with a given LSN.
#include <algorithm>
#include <vector>

#include "ntfs/attribute_set.h"
#include "ntfs/file_record.h"
#include "ntfs/log_file.h"
#include "ntfs/volume.h"
#include "output/json_lines.h"
#include "reports/reports.h"

namespace velmora {

namespace {

// Reads one log page into buffer (zeroed first, so a page cut short by the
// end of the log file holds nothing stale) and undoes its update sequence.
// The fixup's outcome is not checked: a page whose strides were torn by an
// interrupted write is still read as far as it goes. Returns the bytes that
// came from the log file.
std::optional<uint32_t> ReadLogPage(AttributeReader& reader, uint64_t offset, std::vector<uint8_t>& buffer) {
  std::fill(buffer.begin(), buffer.end(), uint8_t{0});
  auto count = reader.ReadAttributeRange(offset, buffer);
  if (!count) return std::nullopt;
  ApplyUpdateSequence(buffer, kUpdateSequenceStride);
  return count;
}

// Log record header flags.
constexpr json::FlagName kLogRecordFlags[] = {{0x0001, "MULTI_PAGE"}};

void PrintLogRecordHeader(ReportContext& context, LeBytes header) {
  using namespace logfile;
  if (context.json) {
    json::Line line("log_record");
    line.Bool("found", true)
        .Wide("this_lsn", header.U64(kThisLsn))
        .Wide("client_previous_lsn", header.U64(kClientPreviousLsn))
        .Wide("client_undo_next_lsn", header.U64(kClientUndoNextLsn))
        .Number("client_data_length", header.U32(kClientDataLength))
        .Number("client_sequence_number", header.U16(kSeqNumber))
        .Number("client_index", header.U16(kClientIndex))
        .Number("record_type", header.U32(kRecordType))
        .Number("transaction_id", header.U32(kTransactionId))
        .Flags("flags", header.U16(kFlags), kLogRecordFlags);
    json::Emit(context.console, line);
    return;
  }
  context.console.Print(
      "Log record : \n\tThisLsn           = %016I64X\n\tClientPreviousLsn = %016I64X\n"
      "\tClientUndoNextLsn = %016I64X\n\tClientDataLength  = %08X\n\tSeqNumber         = %04X\n"
      "\tClientIndex       = %04X\n\tRecordType        = %08X\n\tTransactionId     = %08X\n"
      "\tFlags             = %04X\n",
      header.U64(kThisLsn), header.U64(kClientPreviousLsn), header.U64(kClientUndoNextLsn),
      header.U32(kClientDataLength), header.U16(kSeqNumber), header.U16(kClientIndex), header.U32(kRecordType),
      header.U32(kTransactionId), header.U16(kFlags));
}

}  // namespace

bool ReportLogRecord(ReportContext& context, uint64_t lsn) {
  VolumeContext& volume = context.volume;
  auto log = ReadReportRecord(context, kLogFileReference);
  if (!log) return false;
  FileAttributes attributes = FileAttributes::Open(volume, std::move(*log));
  const HeldAttribute data = attributes.First(AttrType::kData, nullptr);
  if (!data || data->ValueSize() == 0) return false;
  auto buffer_size = LogPageBufferSize(volume.Boot());
  if (!buffer_size) return false;
  std::vector<uint8_t> buffer(*buffer_size);
  AttributeReader reader = attributes.Reader(data);

  auto restart_count = ReadLogPage(reader, logfile::kSecondRestartPage, buffer);
  if (!restart_count) return false;
  const LeBytes restart(std::span<const uint8_t>(buffer).first(*restart_count));
  if (restart.U32(logfile::kPageSignature) != logfile::kRestartSignature) return false;
  const uint32_t page_size = restart.U32(logfile::kLogPageSize);
  const uint64_t area = restart.U16(logfile::kRestartAreaOffset);
  if (!restart.Fits(area + logfile::kSequenceNumberBits, 4)) return false;
  auto placement = PlaceLsn(lsn, restart.U32(area + logfile::kSequenceNumberBits), page_size);
  if (!placement) {
    const std::u16string page = Format("$LogFile restart page at offset 0x%I64X", logfile::kSecondRestartPage);
    context.console.Diagnostic("%s\n", placement.error().Within(page).Line());
    return false;
  }

  auto page_count = ReadLogPage(reader, placement->page_offset, buffer);
  if (!page_count) return false;
  const LeBytes page(std::span<const uint8_t>(buffer).first(*page_count));
  if (page.U32(logfile::kPageSignature) != logfile::kRecordSignature) return false;

  // A page larger than the buffer was read only in part, and a header must
  // lie wholly in what was read.
  const LeBytes header = page.Fits(placement->in_page, logfile::kRecordHeaderBytes)
                             ? LeBytes(page.Sub(placement->in_page, logfile::kRecordHeaderBytes))
                             : LeBytes();
  if (page_size > buffer.size() || header.size() == 0 || header.U64(logfile::kThisLsn) != lsn) {
    if (context.json) {
      json::Line line("log_record");
      json::Emit(context.console, line.Bool("found", false).Wide("lsn", lsn));
    } else {
      context.console.Print("Cannot find a matching record.\n");
    }
    return true;
  }
  PrintLogRecordHeader(context, header);
  return true;
}

}  // namespace velmora
