// Turns arbitrary bytes into what a host may do to a module library, and checks after every step
// that the module kept its side of the protocol.
//
// A plug-in lives in somebody else's process: whatever order of calls, whatever argument values
// and whatever events the host produces, the module must neither crash nor corrupt the host's
// memory nor leave a broken state behind. The fuzz targets (one per registered module) and the
// replay tests that run the stored corpus on every build share this one interpreter, so a crash
// input found by the fuzzer becomes a regression test by being copied into the corpus. The host
// it plays is the host core's (host/host_core.h), the one every test drives modules with.
//
// The interpreter aborts, with a line on standard error, when it sees a broken guarantee; under
// libFuzzer that is a finding, under the replay test a failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "se_sdk/se_abi.h"

namespace se_fuzz {

// Runs the actions encoded in `data` against modules created through `entry` (a library's `main`,
// linked in). Every instance still alive at the end is closed, as a host that quits would do.
void RunHostActions(PluginEntry entry, const uint8_t* data, size_t size);

}  // namespace se_fuzz
