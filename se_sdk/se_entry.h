// Defines a module library's one export, `main`, for its module class.
//
// Kept apart from the frame so that each library's entry file holds nothing but
// SE_PLUGIN_ENTRY(ModuleClass). `main` must never throw into the host nor abort it: the module is
// allocated without exceptions, and a failed allocation answers null.
#pragma once

#include <new>

#include "se_sdk/SEModule_base.h"

template <class Module>
ModuleRecord* SeCreateModule(HostCallback host) noexcept {
  try {
    Module* module = new (std::nothrow) Module(host);
    return module ? module->GetRecord() : nullptr;
  } catch (...) {
    return nullptr;
  }
}

#define SE_PLUGIN_ENTRY(ModuleClass)                                                             \
  extern "C" SE_EXPORT ModuleRecord* SE_CDECL se_plugin_main(HostCallback host) SE_ENTRY_SYMBOL; \
  extern "C" SE_EXPORT ModuleRecord* SE_CDECL se_plugin_main(HostCallback host) {                \
    return SeCreateModule<ModuleClass>(host);                                                    \
  }
