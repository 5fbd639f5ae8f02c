// Output on Windows: a console takes the UTF-16 text itself; a file or pipe
// gets the text in the code page of the process locale ("chs": 936), as the
// runtime's wide print gives it.
#include <io.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <string>

#include "base/sink.h"
#include "platform/windows/win32.h"
#include "platform/windows/wide.h"

namespace velmora {

namespace {

// WriteConsoleW takes a limited buffer on older systems.
constexpr size_t kConsoleChunk = 8192;

using platform::Wide;

HANDLE HandleOf(std::FILE* stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

bool IsConsole(std::FILE* stream) {
  DWORD mode = 0;
  return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

// The code page the runtime's LC_CTYPE converts with: the number after the
// last '.' of the locale name ("Chinese (Simplified)_China.936"); the
// system's ANSI code page for a name without one.
UINT LocaleCodePage() {
  const char* name = std::setlocale(LC_CTYPE, nullptr);
  if (name != nullptr) {
    std::string text(name);
    const size_t dot = text.rfind('.');
    if (dot != std::string::npos) {
      std::string page = text.substr(dot + 1);
      std::transform(page.begin(), page.end(), page.begin(), [](char c) { return static_cast<char>(c | 0x20); });
      if (page == "utf8" || page == "utf-8") return CP_UTF8;
      char* end = nullptr;
      const unsigned long number = std::strtoul(page.c_str(), &end, 10);
      if (end != page.c_str() && *end == '\0' && number != 0 && number <= 0xFFFF) return static_cast<UINT>(number);
    }
  }
  return GetACP();
}

// Units the code page cannot hold become '?', never a look-alike letter:
// a name must not print as another name.
std::string ToCodePage(std::u16string_view text, UINT code_page) {
  if (text.empty()) return {};
  const std::wstring wide = Wide(text);
  const int units = static_cast<int>(wide.size());
  for (DWORD flags : {static_cast<DWORD>(WC_NO_BEST_FIT_CHARS), DWORD{0}}) {
    // UTF-8 and a few other code pages refuse both the flag and a default character.
    const char* fallback = flags != 0 ? "?" : nullptr;
    const int size = WideCharToMultiByte(code_page, flags, wide.data(), units, nullptr, 0, fallback, nullptr);
    if (size <= 0) continue;
    std::string bytes(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(code_page, flags, wide.data(), units, bytes.data(), size, fallback, nullptr) == size)
      return bytes;
  }
  return std::string(text.size(), '?');
}

}  // namespace

StreamSink::StreamSink(std::FILE* stream)
    : stream_(stream), encoding_(IsConsole(stream) ? Encoding::kConsole : Encoding::kLocale) {}

void StreamSink::WriteWide(std::u16string_view text) {
  if (encoding_ == Encoding::kConsole) {
    // Narrow text goes through the runtime's buffer: empty it first so the
    // two kinds of output keep their order.
    std::fflush(stream_);
    const HANDLE console = HandleOf(stream_);
    const std::wstring wide = Wide(text);
    size_t done = 0;
    while (done < wide.size()) {
      const auto chunk = static_cast<DWORD>(std::min(wide.size() - done, kConsoleChunk));
      DWORD put = 0;
      if (!WriteConsoleW(console, wide.data() + done, chunk, &put, nullptr) || put == 0) break;
      done += put;
    }
    if (done == wide.size()) return;
    // A console that stops taking text (closed meanwhile) gets the rest as bytes.
    text.remove_prefix(done);
  }
  const std::string bytes = ToCodePage(text, LocaleCodePage());
  Check(std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size());
}

void StreamSink::WriteNarrow(std::string_view bytes) {
  Check(std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size());
}

void StreamSink::Flush() { Check(std::fflush(stream_) == 0 && std::ferror(stream_) == 0); }

}  // namespace velmora
