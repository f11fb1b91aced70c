// The libFuzzer entry of one target, chosen at build time (KELVOR_FUZZ_TARGET).
#include "FuzzTargets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kelvor::fuzz::KELVOR_FUZZ_TARGET(data, size);
}
