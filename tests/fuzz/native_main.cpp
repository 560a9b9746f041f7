// libFuzzer's entry for the plain C++ targets: a broken promise aborts, so that libFuzzer keeps
// the input as a crash.
#include <cstdio>
#include <cstdlib>

#include "fuzz_target.h"

#ifndef DORVEX_FUZZ_TARGET
#error "DORVEX_FUZZ_TARGET names the target function"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    dorvex::fuzz::DORVEX_FUZZ_TARGET(data, size);
  } catch (const dorvex::fuzz::TFuzzFailure& e) {
    std::fprintf(stderr, "broken promise: %s\n", e.what());
    std::abort();
  }
  return 0;
}
