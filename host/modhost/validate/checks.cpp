// The checks of every area in one list, and running one of them (see checks.h).
#include "host/modhost/validate/checks.h"

#include <algorithm>
#include <exception>

#include "host/modhost/io/text.h"

namespace modhost {
namespace validation {

const std::vector<CheckDefinition>& AllChecks() {
  static const std::vector<CheckDefinition> kChecks = [] {
    std::vector<CheckDefinition> checks;
    for (auto area : {LoadingChecks, RecordChecks, PinChecks, EventChecks, AudioChecks,
                      InstanceChecks, ContractChecks, RealtimeChecks, PerformanceChecks}) {
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

int SeedsForLevel(int level) {
  static const int kSeeds[] = {1, 1, 1, 1, 1, 2, 3, 4, 6, 8};
  return kSeeds[std::min(std::max(level, kLowestLevel), kHighestLevel) - 1];
}

CheckReport RunCheck(const CheckDefinition& check, const CheckSettings& settings) {
  CheckReport report;
  const int rounds = SeedsForLevel(settings.level);
  for (int round = 0; round < rounds; ++round) {
    // The first round draws as level 5 always did, so a seed means one script at every level.
    CheckContext context(settings, round == 0
                                       ? std::string(check.name)
                                       : std::string(check.name) + "#" + std::to_string(round));
    if (rounds > 1) context.Step(Format("seed round %d of %d", round + 1, rounds));
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
    if (!report.passed) {
      if (rounds > 1)
        report.notes.push_back(Format("failed in seed round %d of %d", round + 1, rounds));
      break;
    }
  }
  return report;
}

}  // namespace validation
}  // namespace modhost
