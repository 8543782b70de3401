// A library that loads fine but is no module: it exports a function, just not `main`. The host
// must tell this apart from a file it cannot load at all.
#include "se_sdk/se_abi.h"

extern "C" SE_EXPORT int32_t SE_CDECL se_not_an_entry() { return 0; }
