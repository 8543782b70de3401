// The checks of every area in one list, and running one of them (see checks.h).
#include "host/modhost/validate/checks.h"

#include <exception>

namespace modhost {
namespace validation {

const std::vector<CheckDefinition>& AllChecks() {
  static const std::vector<CheckDefinition> kChecks = [] {
    std::vector<CheckDefinition> checks;
    for (auto area : {LoadingChecks, RecordChecks, PinChecks, EventChecks, AudioChecks,
                      InstanceChecks, ContractChecks}) {
      const std::vector<CheckDefinition> rows = area();
      checks.insert(checks.end(), rows.begin(), rows.end());
    }
    return checks;
  }();
  return kChecks;
}

const CheckDefinition* FindCheck(const std::string& name) {
  for (const CheckDefinition& check : AllChecks()) {
    if (name == check.name) return &check;
  }
  return nullptr;
}

CheckReport RunCheck(const CheckDefinition& check, const CheckSettings& settings) {
  CheckReport report;
  {
    CheckContext context(settings, check.name);
    try {
      check.run(context);
    } catch (const CheckAborted&) {
    } catch (const std::exception& exception) {
      context.Fail(std::string("an exception reached the host: ") + exception.what());
    } catch (...) {
      context.Fail("an exception of an unknown type reached the host");
    }
    report = context.report();
    context.Step("closing the instances and unloading the library");
  }
  return report;
}

}  // namespace validation
}  // namespace modhost
