// The parent's side of running a module in a child process (child_protocol.h): which program can
// host a library, starting it, and turning how it ended into modhost's exit status and one line.
//
// A library of modhost's own kind runs in this very program as the child. Another kind runs in
// the build of modhost that loads it, looked for next to this program and then in the build tree
// this program belongs to (build/<preset>/bin/):
//   64-bit x86-64 ELF   modhost-x86_64 beside this program, or build/native/bin/modhost
//   32-bit i386 ELF     modhost-i386 beside this program, or build/x86/bin/modhost
//   32-bit i386 PE      modhost.exe beside this program, or build/win32/bin/modhost.exe, run
//                       under Wine (on Windows itself it is this program)
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/modhost/run/child_protocol.h"

namespace modhost {

struct ChildHost {
  std::string program;                         // what to start
  std::vector<std::string> leading_arguments;  // before modhost's own (Wine: the .exe)
  std::string library;                         // the library as the child should be given it
};

// Finds the program that can run `library`'s code. False, with a one-line `error` (without
// "modhost <command>: "), when the file is missing or no library, is of a kind no build of modhost
// loads, or needs a build of modhost that is not there; the exit status is then kExitCannotLoad.
bool FindChildHost(const std::string& library, ChildHost* host, std::string* error);

// How a child ended, as the command reports it.
struct ChildEnding {
  int status = 0;       // the command's exit status: 0 after `done`
  std::string message;  // one line for the user, empty after `done`
};

// Starts `host` with `arguments` (modhost's own, from the command on), hands every frame after
// `hello` to `on_frame` (which returns false to stop the child), and reads how it ended.
// `call_time_limit` is the --timeout the child enforces itself; the parent gives up only when the
// child has said nothing for much longer. The child's standard error is passed through to ours.
ChildEnding RunModuleChild(const ChildHost& host, const std::vector<std::string>& arguments,
                           double call_time_limit,
                           const std::function<bool(const Frame& frame)>& on_frame);

// The exit status and message that a `crashed` or `hung` frame, or a child process that ended
// without a last word, come to: kExitModuleCrashed and "the module crashed in <call>: <what>".
ChildEnding CrashEnding(const Frame& frame);

}  // namespace modhost
