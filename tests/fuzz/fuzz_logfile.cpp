// libFuzzer entry point of the logfile target (body in fuzz_targets.h).
#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return velmora::fuzz::FuzzLogFile(std::span<const uint8_t>(data, size));
}
