// Entry point: the process's arguments as UTF-16, the system platform with
// -m's drive letters over it, and the console streams; everything else is
// RunProgram's.
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "base/format.h"
#include "output/console.h"
#include "platform/platform.h"
#include "source/bound_platform.h"

namespace {

int Run(const std::vector<std::u16string>& arguments) {
  velmora::StreamSink out(stdout);
  velmora::StreamSink err(stderr);
  velmora::Console console(out, err);
  auto system = velmora::platform::CreateSystemPlatform();
  velmora::source::BoundPlatform platform(*system);
  int code = velmora::RunProgram(arguments, platform, console);
  out.Flush();
  if (!out.Failure().empty()) {
    err.WriteWide(u"velmora: cannot write the report to standard output: " + out.Failure() + u"\n");
    code = velmora::kExitOutputFailed;
  }
  err.Flush();
  if (!err.Failure().empty()) code = velmora::kExitOutputFailed;
  return code;
}

}  // namespace

#ifdef _WIN32

// The wide command line as it stands; wide output converts through the
// Chinese (Simplified) locale, or the user's default where there is none.
int wmain(int argc, wchar_t** argv) {
  if (std::setlocale(LC_ALL, "chs") == nullptr) std::setlocale(LC_ALL, "");
  std::vector<std::u16string> arguments;
  arguments.reserve(argc);
  for (int i = 0; i < argc; ++i) {
    const std::wstring argument(argv[i]);
    arguments.emplace_back(argument.begin(), argument.end());
  }
  return Run(arguments);
}

#else

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::u16string> arguments;
  arguments.reserve(argc);
  for (int i = 0; i < argc; ++i) arguments.push_back(velmora::Utf8ToUtf16(argv[i]));
  return Run(arguments);
}

#endif
