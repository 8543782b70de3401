// The modules this build registered (se_add_module, cmake/SePlugin.cmake), for tests that run
// every module: they take the list from here and never name one.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace se_test {

struct RegisteredModule {
  std::string name;     // the module's target, as se_add_module named it
  std::string library;  // the built library, as the system's loader takes the path
  std::string flavour;  // the frame it links: "checked" or "lean"
  bool shipped;         // false for a module that exists for the tests only
};

// In registration order.
const std::vector<RegisteredModule>& RegisteredModules();
// The shipped ones among them, for tests of what a user does with the deliverables.
std::vector<RegisteredModule> ShippedModules();

// The module's name, for the names of parameterised tests.
std::string ModuleTestName(const RegisteredModule& module);
// The module's name, for GoogleTest's messages about a parameterised test that failed.
inline void PrintTo(const RegisteredModule& module, std::ostream* out) { *out << module.name; }

}  // namespace se_test
