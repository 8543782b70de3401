// The test module as a plug-in library, for tests that load it the way a host does.
#include "se_sdk/se_entry.h"
#include "tests/frame/test_module.h"

SE_PLUGIN_ENTRY(FrameTestModule)
