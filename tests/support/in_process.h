// A module class linked into the test program, created through the same SeCreateModule that a
// library's `main` calls: TestHost(InProcessEntry<ModuleClass>) is the host's view of a module
// whose class the test can also reach (TestHost::object).
#pragma once

#include "se_sdk/se_entry.h"

namespace se_test {

template <class Module>
ModuleRecord* SE_CDECL InProcessEntry(HostCallback host) {
  return SeCreateModule<Module>(host);
}

}  // namespace se_test
