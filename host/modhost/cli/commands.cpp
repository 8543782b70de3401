// What the commands share (see commands.h).
#include "host/modhost/cli/commands.h"

#include <cstdio>

#include "host/modhost/io/text.h"

namespace modhost {

namespace {

std::vector<std::string>& StoredArguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

}  // namespace

void AddTimeoutOption(CLI::App* command, double* seconds) {
  command
      ->add_option("--timeout", *seconds, "Seconds one call into the module may take (default 60)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.001, 1e6));
}

void ReportError(const std::string& command, const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "modhost %s: %s\n", command.c_str(),
               EscapeControlCharacters(message).c_str());
  std::fflush(stderr);
}

void SetCommandArguments(std::vector<std::string> arguments) {
  StoredArguments() = std::move(arguments);
}

const std::vector<std::string>& CommandArguments() { return StoredArguments(); }

}  // namespace modhost
