// Choosing, starting and judging the child that runs a module's code (see module_child.h).
#include "host/modhost/run/module_child.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "host/modhost/cli/commands.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/child_process.h"
#include "host/modhost/run/library_kind.h"

namespace modhost {

namespace {

// How long the parent waits on a child that says nothing, beyond the time limit of one call that
// the child watches itself: enough for Wine to start.
const double kSilenceGraceSeconds = 120;

const uint32_t kMachineX86_64 = 62;
const uint32_t kMachineI386 = 3;
const uint32_t kMachinePeI386 = 0x14C;

struct BuildOfKind {
  const char* beside;   // its name next to this program
  const char* in_tree;  // its path from the build tree's root
  const char* name;     // for messages
  const char* preset;
  bool wine;
};

const BuildOfKind* BuildFor(const BinaryInfo& info) {
  static const BuildOfKind kNative = {"modhost-x86_64", "native/bin/modhost", "x86-64 Linux build",
                                      "native", false};
  static const BuildOfKind kX86 = {"modhost-i386", "x86/bin/modhost", "i386 Linux build", "x86",
                                   false};
  static const BuildOfKind kWin32 = {"modhost.exe", "win32/bin/modhost.exe", "32-bit Windows build",
                                     "win32", true};
  if (info.format == BinaryFormat::kElf && info.machine == kMachineX86_64 &&
      info.address_bits == 64) {
    return &kNative;
  }
  if (info.format == BinaryFormat::kElf && info.machine == kMachineI386 &&
      info.address_bits == 32) {
    return &kX86;
  }
  if (info.format == BinaryFormat::kPe && info.machine == kMachinePeI386 &&
      info.address_bits == 32) {
    return &kWin32;
  }
  return nullptr;
}

#if !defined(_WIN32)
bool OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string folders = path;
  size_t start = 0;
  while (start <= folders.size()) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    const std::string folder = folders.substr(start, end - start);
    if (!folder.empty() && KindOfPath(folder + "/" + name) == PathKind::kRegular) return true;
    start = end + 1;
  }
  return false;
}
#endif

}  // namespace

bool FindChildHost(const std::string& library, ChildHost* host, std::string* error) {
  BinaryInfo info;
  std::string problem;
  if (!InspectLibraryFile(library, &info, &problem)) {
    *error = "cannot load " + Quote(library) + ": " + problem;
    return false;
  }
  host->library = library;
  host->leading_arguments.clear();
  if (MatchesHostKind(info)) {
    host->program = ProgramPath();
    return true;
  }
  const BuildOfKind* build = BuildFor(info);
#if defined(_WIN32)
  // The Linux builds cannot run under Windows; they host this kind on Linux.
  *error = "cannot load " + Quote(library) + ": it is a " + DescribeBinaryKind(info) +
           "; modhost.exe runs 32-bit i386 PE libraries only" +
           (build ? std::string(", and modhost's ") + build->name + " runs this one on Linux"
                  : std::string());
  return false;
#else
  if (!build) {
    *error = "cannot load " + Quote(library) + ": it is a " + DescribeBinaryKind(info) +
             "; modhost runs x86-64 and i386 ELF and 32-bit i386 PE libraries";
    return false;
  }
  const std::string beside = ProgramFolder() + build->beside;
  const std::string in_tree = ProgramFolder() + "../../" + build->in_tree;
  std::string program;
  for (const std::string& candidate : {beside, in_tree}) {
    if (KindOfPath(candidate) == PathKind::kRegular) {
      program = candidate;
      break;
    }
  }
  const std::string kind =
      "it is a " + DescribeBinaryKind(info) + ", which needs modhost's " + build->name;
  if (program.empty()) {
    *error = "cannot load " + Quote(library) + ": " + kind + ", and there is none at " + beside +
             " or " + in_tree + " (cmake --workflow --preset " + build->preset + " builds it)";
    return false;
  }
  if (build->wine) {
    if (!OnPath("wine")) {
      *error = "cannot load " + Quote(library) + ": " + kind +
               " under Wine, and there is no wine on the PATH";
      return false;
    }
    // Wine's own chatter would bury the module's messages.
    setenv("WINEDEBUG", "-all", 0);
    host->leading_arguments = {program};
    program = "wine";
  }
  host->program = program;
  return true;
#endif
}

// The last non-blank line of `text`, without its line break.
std::string LastLine(const std::string& text) {
  const size_t end = text.find_last_not_of("\r\n \t");
  if (end == std::string::npos) return std::string();
  const size_t break_before = text.rfind('\n', end);
  const size_t start = break_before == std::string::npos ? 0 : break_before + 1;
  return text.substr(start, end + 1 - start);
}

ChildEnding CrashEnding(const Frame& frame) {
  const size_t split = frame.payload.find('\n');
  const std::string call = Excerpt(frame.payload.substr(0, split));
  const std::string detail =
      split == std::string::npos ? std::string() : Excerpt(frame.payload.substr(split + 1));
  ChildEnding ending;
  ending.status = kExitModuleCrashed;
  if (frame.tag == "hung") {
    ending.message =
        "the module hung in " + call + ": no return within " + detail + " s (--timeout)";
  } else {
    ending.message = "the module crashed in " + call + ": " + detail;
  }
  return ending;
}

ChildEnding RunModuleChild(const ChildHost& host, const std::vector<std::string>& arguments,
                           double call_time_limit,
                           const std::function<bool(const Frame& frame)>& on_frame) {
  FrameReader reader;
  Frame last_word;
  bool greeted = false;
  ChildEnding refusal;
  ChildOptions options;
  options.time_limit_seconds = call_time_limit + kSilenceGraceSeconds;
  options.limit_is_idle = true;
  // Collected, not forwarded: a child that dies on its own (the loader's assertion on a damaged
  // library, an abort in the module) writes its last words there, and they belong in the one line
  // that ends the command, not on lines of their own. A child that finishes relays them after.
  options.forward_errors = false;
  bool stopped = false;
  options.on_output = [&](const char* data, size_t size) {
    reader.Add(data, size);
    Frame frame;
    while (!stopped && reader.Next(&frame)) {
      if (!last_word.tag.empty() || refusal.status != 0) continue;
      if (frame.tag == "hello") {
        greeted = true;
        const std::string expected =
            std::string(MODHOST_VERSION) + " " + std::to_string(kChildProtocolVersion) + " ";
        if (frame.payload.compare(0, expected.size(), expected) != 0) {
          refusal.status = kExitCannotLoad;
          refusal.message = "the child host " + host.program + " is modhost " +
                            Excerpt(frame.payload) + "; this modhost is " + MODHOST_VERSION +
                            " of protocol " + std::to_string(kChildProtocolVersion);
        }
      } else if (frame.tag == "done" || frame.tag == "failed" || frame.tag == "crashed" ||
                 frame.tag == "hung") {
        last_word = frame;
      } else if (greeted && !on_frame(frame)) {
        stopped = true;
      }
    }
    return !stopped && refusal.status == 0;
  };
  std::vector<std::string> all = host.leading_arguments;
  all.insert(all.end(), arguments.begin(), arguments.end());
  const ChildOutcome outcome = RunChildProcess(host.program, all, options);

  if (refusal.status != 0) return refusal;
  ChildEnding ending;
  // The caller stopped the child and knows why.
  if (stopped) return ending;
  if (last_word.tag == "crashed" || last_word.tag == "hung") return CrashEnding(last_word);
  if (last_word.tag == "failed") {
    const nlohmann::json failure = nlohmann::json::parse(last_word.payload, nullptr, false);
    ending.status = failure.is_object() ? failure.value("status", int{kExitFailed}) : kExitFailed;
    ending.message = failure.is_object() ? failure.value("message", std::string()) : "";
    return ending;
  }
  if (last_word.tag == "done" && outcome.ending == ChildOutcome::Ending::kExited &&
      outcome.exit_code == 0) {
    std::fwrite(outcome.errors.data(), 1, outcome.errors.size(), stderr);
    return ending;
  }
  ending.status = kExitModuleCrashed;
  switch (outcome.ending) {
    case ChildOutcome::Ending::kNotStarted:
      ending.status = kExitCannotLoad;
      ending.message = "cannot start " + host.program + ": " + outcome.description;
      break;
    case ChildOutcome::Ending::kStopped:
    case ChildOutcome::Ending::kTimedOut:
      ending.message = "the module hung: its process said nothing for " +
                       std::to_string(static_cast<int>(options.time_limit_seconds)) +
                       " s and was killed";
      break;
    case ChildOutcome::Ending::kCrashed:
      ending.message = "the module's process " + outcome.description;
      break;
    case ChildOutcome::Ending::kExited:
      ending.message = reader.broken() ? "the module's process wrote what modhost cannot read"
                                       : "the module ended its process (" + outcome.description +
                                             ") before the command was done";
      break;
  }
  const std::string last_words = LastLine(outcome.errors);
  if (!last_words.empty()) ending.message += ": " + Excerpt(last_words);
  return ending;
}

}  // namespace modhost
