// Where text goes: UTF-16 text (file names may hold any code unit) and
// single-byte text, to the same stream in order. A sink decides how UTF-16
// becomes bytes. The system's stream sink is implemented by platform/, which
// knows the console and the locale; output/ writes the reports through it.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/format.h"

namespace velmora {

class TextSink {
 public:
  virtual ~TextSink() = default;
  virtual void WriteWide(std::u16string_view text) = 0;
  virtual void WriteNarrow(std::string_view bytes) = 0;
  virtual void Flush() {}
  // True once the stream has stopped taking bytes: a long stream of
  // content ends there instead of writing on into nothing.
  virtual bool Broken() const { return false; }
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
  bool Broken() const override { return !failure_.empty(); }
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

}  // namespace velmora
