// The commands of modhost, a command-line stand-in for the real host: each adds its subcommand to
// the command line and runs when it was chosen.
//
// Exit statuses are shared by every command so that scripts can tell the failure stages apart.
#pragma once

#include <CLI/CLI.hpp>

namespace modhost {

enum ExitStatus : int {
  kExitOk = 0,
  kExitFailed = 1,        // the command ran and found a fault (a failed check, a bad render)
  kExitUsage = 2,         // the command line or an input file is wrong
  kExitCannotLoad = 3,    // the library could not be loaded
  kExitNoMain = 4,        // the library exports no `main`
  kExitBadRecord = 5,     // `main` returned null or a record without the magic or entries
  kExitOutputFailed = 6,  // an output file could not be written
};

// Each Add...Command registers one subcommand; when the subcommand is chosen, its callback stores
// the command's exit status in *exit_status.
void AddInfoCommand(CLI::App& app, int* exit_status);
void AddValidateCommand(CLI::App& app, int* exit_status);
#if MODHOST_WITH_AUDIO_FILES
void AddRenderCommand(CLI::App& app, int* exit_status);
void AddAnalyzeCommand(CLI::App& app, int* exit_status);
#endif

}  // namespace modhost
