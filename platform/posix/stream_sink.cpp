#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <langinfo.h>

#include "base/sink.h"

namespace velmora {

namespace {

// UTF-8 unless the locale names another multibyte encoding. The plain C
// locale ("ANSI_X3.4-1968") would turn every name outside ASCII into '?';
// like most current tools we take UTF-8 there instead, so names never get lost.
bool LocaleIsUtf8OrAscii() {
  const char* codeset = nl_langinfo(CODESET);
  if (codeset == nullptr) return true;
  return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0 ||
         std::strcmp(codeset, "ANSI_X3.4-1968") == 0 || std::strcmp(codeset, "ASCII") == 0;
}

}  // namespace

StreamSink::StreamSink(std::FILE* stream)
    : stream_(stream), encoding_(LocaleIsUtf8OrAscii() ? Encoding::kUtf8 : Encoding::kLocale) {}

void StreamSink::WriteWide(std::u16string_view text) {
  if (encoding_ == Encoding::kUtf8) {
    std::string bytes = Utf16ToUtf8(text);
    Check(std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size());
    return;
  }
  std::mbstate_t state{};
  char buffer[MB_LEN_MAX];
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    size_t n = std::wcrtomb(buffer, static_cast<wchar_t>(cp), &state);
    if (n == static_cast<size_t>(-1)) {
      state = std::mbstate_t{};
      Check(std::fputc('?', stream_) != EOF);
    } else {
      Check(std::fwrite(buffer, 1, n, stream_) == n);
    }
  }
}

void StreamSink::WriteNarrow(std::string_view bytes) {
  Check(std::fwrite(bytes.data(), 1, bytes.size(), stream_) == bytes.size());
}

void StreamSink::Flush() { Check(std::fflush(stream_) == 0 && std::ferror(stream_) == 0); }

}  // namespace velmora
