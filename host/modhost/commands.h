// The commands of modhost, a command-line stand-in for the real host: each adds its subcommand to
// the command line and runs when it was chosen.
//
// Exit statuses are shared by every command so that scripts can tell the failure stages apart.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace modhost {

enum ExitStatus : int {
  kExitOk = 0,
  kExitFailed = 1,         // the command ran and found a fault (a failed check, a bad render)
  kExitUsage = 2,          // the command line or an input file is wrong
  kExitCannotLoad = 3,     // the library could not be loaded
  kExitNoMain = 4,         // the library exports no `main`
  kExitBadRecord = 5,      // `main` returned null or a record without the magic or entries
  kExitOutputFailed = 6,   // an output file could not be written
  kExitModuleCrashed = 7,  // the module crashed or hung
};

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
void AddLv2Command(CLI::App& app, int* exit_status);

}  // namespace modhost
