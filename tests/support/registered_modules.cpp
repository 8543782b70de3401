// The list that se_write_module_list() writes into the build tree, as C++ (see
// registered_modules.h).
#include "tests/support/registered_modules.h"

namespace se_test {

const std::vector<RegisteredModule>& RegisteredModules() {
  static const std::vector<RegisteredModule> modules = {
#include "se_registered_modules.inc"
  };
  return modules;
}

std::vector<RegisteredModule> ShippedModules() {
  std::vector<RegisteredModule> shipped;
  for (const RegisteredModule& module : RegisteredModules()) {
    if (module.shipped) shipped.push_back(module);
  }
  return shipped;
}

std::string ModuleTestName(const RegisteredModule& module) { return module.name; }

}  // namespace se_test
