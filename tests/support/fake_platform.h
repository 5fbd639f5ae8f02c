// A platform for tests: volumes held in memory and bound to drive letters,
// times converted as UTC, a small account table, output files kept in memory.
#pragma once

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "output/console.h"
#include "platform/platform.h"
#include "source/byte_source.h"

namespace velmora::testing {

class FakePlatform : public platform::Platform {
 public:
  // The bytes must outlive the platform; each open gets a fresh source over them.
  void AddVolume(char16_t letter, std::span<const uint8_t> bytes) { volumes_[Upper(letter)] = bytes; }
  void BindDrive(char16_t letter, std::u16string) override { (void)letter; }
  // A file opened by name (a collected artifact); the bytes must outlive the platform.
  void AddInputFile(std::string path, std::span<const uint8_t> bytes) { input_files[std::move(path)] = bytes; }
  bool PathExists(std::u16string_view path) override {
    char16_t letter = LetterOf(path);
    return letter != 0 && volumes_.count(letter) != 0;
  }
  std::optional<bool> PathIsDirectory(std::u16string_view) override { return std::nullopt; }

  Expected<std::unique_ptr<source::ByteSource>> OpenDevice(std::u16string_view name) override {
    ++opens;
    if (name.size() == 6 && name.substr(0, 4) == u"\\\\.\\" && name[5] == u':') {
      auto it = volumes_.find(Upper(name[4]));
      if (it != volumes_.end()) return std::unique_ptr<source::ByteSource>(new CountingSource(it->second, *this));
    }
    return Error{std::u16string(name), u"no volume in memory under that name"};
  }

  std::optional<platform::LocalTime> FileTimeToLocal(uint64_t filetime) override {
    constexpr uint64_t kEpochDifference = 11644473600ull;
    uint64_t seconds = filetime / 10000000ull;
    if (seconds < kEpochDifference) return std::nullopt;
    // UTC, by calendar arithmetic rather than the C runtime's gmtime, which
    // stops at the year 3000 on Windows while FILETIMEs reach 30828.
    const uint64_t unix_seconds = seconds - kEpochDifference;
    const int64_t days = static_cast<int64_t>(unix_seconds / 86400);
    const int second_of_day = static_cast<int>(unix_seconds % 86400);
    // Civil date from days since 1970-01-01, in 400-year eras of 146097 days
    // with years starting on March 1st.
    const int64_t z = days + 719468;
    const int64_t era = z / 146097;
    const int64_t day_of_era = z - era * 146097;
    const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const int month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    const int year = static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
    return platform::LocalTime{year, month, day, second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60};
  }

  platform::AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t, uint32_t) override {
    platform::AccountLookup result;
    // S-1-5-18
    static const std::vector<uint8_t> kSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    if (std::vector<uint8_t>(sid.begin(), sid.end()) == kSystem) {
      result.name = u"SYSTEM";
      result.domain = u"NT AUTHORITY";
    } else {
      result.error = platform::kErrorNoneMapped;
    }
    return result;
  }

  // Files by name: those added with AddInputFile, those written through
  // CreateOutputFile, and any a test puts in `files` to be read.
  Expected<std::unique_ptr<source::ByteSource>> OpenFile(const std::string& path) override {
    if (auto input = input_files.find(path); input != input_files.end())
      return std::unique_ptr<source::ByteSource>(new source::MemorySource(input->second));
    auto it = files.find(Utf8ToUtf16(path));
    if (it == files.end()) return Error{Utf8ToUtf16(path), u"No such file or directory", ErrorKind::kAbsent};
    return std::unique_ptr<source::ByteSource>(new source::MemorySource(std::span<const uint8_t>(it->second)));
  }

  platform::CreateOutcome CreateOutputFile(std::u16string_view path, const source::ByteSource&,
                                             const platform::OutputGuard&) override {
    platform::CreateOutcome outcome;
    if (refuse_output) {
      outcome.refused = true;
      outcome.error = Error{std::u16string(path), u"refused"};
      return outcome;
    }
    outcome.file = std::make_unique<MemoryFile>(files, std::u16string(path));
    return outcome;
  }

  // Device reads made through every source opened so far, and those of
  // them that returned an index block ("INDX" first): what an index walk costs.
  uint64_t reads = 0;
  uint64_t index_block_reads = 0;
  uint64_t opens = 0;
  bool refuse_output = false;
  std::map<std::u16string, std::vector<uint8_t>> files;
  std::map<std::string, std::span<const uint8_t>> input_files;

 private:
  class CountingSource : public source::MemorySource {
   public:
    CountingSource(std::span<const uint8_t> bytes, FakePlatform& owner) : MemorySource(bytes), owner_(owner) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out) override {
      ++owner_.reads;
      if (!MemorySource::ReadAt(offset, out)) return false;
      if (out.size() >= 4 && std::equal(out.begin(), out.begin() + 4, "INDX")) ++owner_.index_block_reads;
      return true;
    }

   private:
    FakePlatform& owner_;
  };
  // Takes the place of its file's content only when committed, as a file
  // renamed into place does; abandoned, it leaves the files as they were.
  class MemoryFile : public platform::OutputFile {
   public:
    MemoryFile(std::map<std::u16string, std::vector<uint8_t>>& files, std::u16string path)
        : files_(files), path_(std::move(path)) {}
    Expected<void> Write(std::span<const uint8_t> bytes) override {
      pending_.insert(pending_.end(), bytes.begin(), bytes.end());
      return {};
    }
    Expected<void> Commit() override {
      files_[path_] = std::move(pending_);
      return {};
    }

   private:
    std::map<std::u16string, std::vector<uint8_t>>& files_;
    std::u16string path_;
    std::vector<uint8_t> pending_;
  };

  static char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }
  static char16_t LetterOf(std::u16string_view path) {
    if (path.size() > 6 && path.substr(0, 4) == u"\\\\?\\" && path[5] == u':') return Upper(path[4]);
    if (path.size() > 2 && path[1] == u':') return Upper(path[0]);
    return 0;
  }
  std::map<char16_t, std::span<const uint8_t>> volumes_;
};

struct RunResult {
  int exit_code = 0;
  std::string out;
  std::string err;
};

// Runs the whole program as the command line would, over the fake platform.
inline RunResult RunVelmora(platform::Platform& platform, const std::vector<std::u16string>& arguments) {
  StringSink out;
  StringSink err;
  Console console(out, err);
  std::vector<std::u16string> argv = {u"velmora"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  RunResult result;
  result.exit_code = RunProgram(argv, platform, console);
  result.out = out.text();
  result.err = err.text();
  return result;
}

}  // namespace velmora::testing
