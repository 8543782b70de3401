// libFuzzer target: Pelio driven by arbitrary host actions (fuzz/host_actions.h). The module is
// linked in and created through the same SeCreateModule that the library's `main` calls.
#include <cstddef>
#include <cstdint>

#include "fuzz/host_actions.h"
#include "pelio/PelioModule.h"
#include "se_sdk/se_entry.h"

namespace {
ModuleRecord* SE_CDECL CreatePelio(HostCallback host) { return SeCreateModule<PelioModule>(host); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  se_fuzz::RunHostActions(&CreatePelio, data, size);
  return 0;
}
