// Where the reports' text goes.
//
// Reports print UTF-16 text (file names may hold any code unit) and, for the
// hex dump, single-byte text; both go to the same stream in order, through a
// sink (base/sink.h): the stream sink uses the user's locale encoding, the
// string sink (tests, fuzzers) keeps UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "base/format.h"
#include "base/sink.h"

namespace velmora {

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
