// The commands of modhost, a command-line stand-in for the real host: each adds its subcommand to
// the command line and runs when it was chosen. Their exit statuses are in exit_status.h.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "host/modhost/cli/exit_status.h"

namespace modhost {

// The default of --timeout for info and render: the longest one call into a module may take. No
// healthy module comes near it; a hung one is reported after it.
inline constexpr double kDefaultCallTimeLimit = 60.0;

// Adds --timeout SECONDS to `command`: the longest one call into the module may take.
void AddTimeoutOption(CLI::App* command, double* seconds);

// Prints "modhost <command>: <message>" on standard error, as one line whatever the message
// quotes.
void ReportError(const std::string& command, const std::string& message);

// The command line modhost was started with, from the command on (argv[1]...), in UTF-8: what a
// child process is started with again.
void SetCommandArguments(std::vector<std::string> arguments);
const std::vector<std::string>& CommandArguments();

// Each Add...Command registers one subcommand; when the subcommand is chosen, its callback stores
// the command's exit status in *exit_status.
void AddInfoCommand(CLI::App& app, int* exit_status);
void AddValidateCommand(CLI::App& app, int* exit_status);
void AddRenderCommand(CLI::App& app, int* exit_status);
void AddAnalyzeCommand(CLI::App& app, int* exit_status);
void AddDiffCommand(CLI::App& app, int* exit_status);
void AddLv2Command(CLI::App& app, int* exit_status);

}  // namespace modhost
