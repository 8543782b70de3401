// modhost's exit statuses, shared by every command so that scripts can tell the failure stages
// apart: each stage that can fail has its own.
#pragma once

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

}  // namespace modhost
