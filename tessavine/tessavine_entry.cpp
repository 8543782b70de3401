// The library's one export, `main`, which creates a Tessavine module for the host.
#include "se_sdk/se_entry.h"
#include "tessavine/TessavineModule.h"

SE_PLUGIN_ENTRY(Module)
