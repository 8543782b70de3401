// libFuzzer target for one registered module; fuzz/CMakeLists.txt builds it once per module, with
// SE_FUZZ_MODULE_HEADER and SE_FUZZ_MODULE_CLASS naming the module's class as the registry knows
// it. The class is linked in and created through the same SeCreateModule that the library's
// `main` calls, and driven by arbitrary host actions (fuzz/host_actions.h). A checked frame
// reports every contract breach the fuzzer commits; those reports are expected here and ignored,
// so that the fuzzer's output stays readable.
#include <cstddef>
#include <cstdint>

#include "fuzz/host_actions.h"
#include "se_sdk/se_entry.h"
#include SE_FUZZ_MODULE_HEADER

namespace {
ModuleRecord* SE_CDECL CreateModule(HostCallback host) {
  return SeCreateModule<SE_FUZZ_MODULE_CLASS>(host);
}
void IgnoreReport(const char*, const char*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetFailureReporter(&IgnoreReport);
  se_fuzz::RunHostActions(&CreateModule, data, size);
  return 0;
}
