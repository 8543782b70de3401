// The test module's one export, `main`.
#include "se_sdk/se_entry.h"
#include "tests/registry/third_module/third_module.h"

SE_PLUGIN_ENTRY(ThirdModule)
