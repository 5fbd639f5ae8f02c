// Where the reports' text goes.
//
// Reports print UTF-16 text (file names may hold any code unit) and, for the
// hex dump, single-byte text; both go to the same stream in order. A sink
// decides how UTF-16 becomes bytes: the console sink uses the user's locale
// encoding, the string sink (tests, fuzzers) keeps UTF-8.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/format.h"

namespace velmora {

class TextSink {
 public:
  virtual ~TextSink() = default;
  virtual void WriteWide(std::u16string_view text) = 0;
  virtual void WriteNarrow(std::string_view bytes) = 0;
  virtual void Flush() {}
};

// Collects output as UTF-8 (unpaired surrogates as U+FFFD).
class StringSink : public TextSink {
 public:
  void WriteWide(std::u16string_view text) override { text_ += Utf16ToUtf8(text); }
  void WriteNarrow(std::string_view bytes) override { text_ += bytes; }
  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  std::string text_;
};

// Writes to a stdio stream. UTF-16 text becomes the encoding of the
// process locale (on POSIX systems UTF-8 when the locale is UTF-8 or plain
// ASCII "C"); a Windows console is given the UTF-16 text itself.
class StreamSink : public TextSink {
 public:
  explicit StreamSink(std::FILE* stream);
  void WriteWide(std::u16string_view text) override;
  void WriteNarrow(std::string_view bytes) override;
  void Flush() override;
  // Why the stream stopped taking text (full disk, closed descriptor, I/O
  // error), once it has; empty while every byte went out.
  const std::u16string& Failure() const { return failure_; }

 private:
  enum class Encoding { kUtf8, kLocale, kConsole };
  // Keeps the system's reason for the first failed write or flush.
  void Check(bool written) {
    if (!written && failure_.empty()) failure_ = Utf8ToUtf16(std::strerror(errno != 0 ? errno : EIO));
  }
  std::FILE* stream_;
  Encoding encoding_;
  std::u16string failure_;
};

// The report output: the program's formats, printed wide or narrow.
class Console {
 public:
  Console(TextSink& out, TextSink& err) : out_(out), err_(err) {}

  template <typename... Args>
  void Print(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
    out_.WriteWide(Format(format, args...));
  }
  // Single-byte text (the hex dump): every argument formats to ASCII.
  template <typename... Args>
  void PrintNarrow(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
    out_.WriteNarrow(Utf16ToUtf8(Format(format, args...)));
  }
  // One diagnostic line on standard error, after what the reports printed so far.
  template <typename... Args>
  void Diagnostic(FormatString<std::type_identity_t<Args>...> format, const Args&... args) {
    out_.Flush();
    err_.WriteWide(Format(format, args...));
    err_.Flush();
  }
  TextSink& out() { return out_; }

 private:
  TextSink& out_;
  TextSink& err_;
};

}  // namespace velmora
