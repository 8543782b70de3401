// libFuzzer target: Tessavine driven by arbitrary host actions (fuzz/host_actions.h). The module
// is linked in and created through the same SeCreateModule that the library's `main` calls. Its
// checked frame reports every contract breach the fuzzer commits; those reports are expected here
// and ignored, so that the fuzzer's output stays readable.
#include <cstddef>
#include <cstdint>

#include "fuzz/host_actions.h"
#include "se_sdk/se_entry.h"
#include "tessavine/TessavineModule.h"

namespace {
ModuleRecord* SE_CDECL CreateTessavine(HostCallback host) { return SeCreateModule<Module>(host); }
void IgnoreReport(const char*, const char*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetFailureReporter(&IgnoreReport);
  se_fuzz::RunHostActions(&CreateTessavine, data, size);
  return 0;
}
