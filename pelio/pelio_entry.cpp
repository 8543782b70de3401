// The pelio library's one export, `main`, which creates a PelioModule for the host.
#include "pelio/PelioModule.h"
#include "se_sdk/se_entry.h"

SE_PLUGIN_ENTRY(PelioModule)
