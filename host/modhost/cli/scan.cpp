// `modhost scan [FOLDER ...]`: the module libraries of this protocol installed in some folders,
// each with its name, id, architecture and pin count, the way a host builds its list of modules
// before a user places one. The folders are the arguments, else those of SE_MODULE_PATH (colon-
// or semicolon-separated), else the current folder; subfolders are not searched.
//
// A file is one of ours when its header is a library, it exports `main`, a build of modhost can
// load it, and `main` gives a module that describes itself. Everything else is skipped, with the
// reason under --verbose: a text file, a library of an architecture no build loads, one without
// `main`, one that crashes when asked. Each library runs in a child process exactly as `info`
// runs it, so a broken one costs nothing but its line.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/library_tables.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/run/module_child.h"

namespace modhost {

namespace {

struct ScanOptions {
  std::vector<std::string> folders;
  bool json = false;
  bool verbose = false;
  double timeout = 10.0;
};

struct FoundModule {
  std::string path;
  std::string name;
  std::string id;
  std::string architecture;
  size_t pins = 0;
};

struct SkippedFile {
  std::string path;
  std::string reason;
};

// The folders of a module path: separated by semicolons when there is one, else by colons (a
// drive letter's colon, "C:\...", stays with its path).
std::vector<std::string> SplitModulePath(const std::string& text) {
  const char separator = text.find(';') != std::string::npos ? ';' : ':';
  std::vector<std::string> parts;
  std::string current;
  for (size_t at = 0; at <= text.size(); ++at) {
    const bool end = at == text.size();
    if (!end && text[at] != separator) {
      current += text[at];
      continue;
    }
    const bool drive = !end && separator == ':' && current.size() == 1 &&
                       std::isalpha(static_cast<unsigned char>(current[0])) &&
                       at + 1 < text.size() && (text[at + 1] == '\\' || text[at + 1] == '/');
    if (drive) {
      current += ':';
      continue;
    }
    if (!current.empty()) parts.push_back(current);
    current.clear();
  }
  return parts;
}

// What one library file is: a module (true) or a skip with its reason.
bool Examine(const std::string& path, const ScanOptions& options, FoundModule* found,
             std::string* reason) {
  BinaryInfo header;
  if (!InspectLibraryFile(path, &header, reason)) return false;
  std::string bytes;
  if (!ReadWholeFile(path, &bytes, reason)) return false;
  const BinaryInfo info = InspectBinary(bytes);
  bool has_main = false;
  for (const ExportedSymbol& exported : info.exports)
    has_main = has_main || exported.name == "main";
  if (!has_main) {
    *reason = "it is a " + DescribeBinaryKind(info) + " that exports no 'main'";
    return false;
  }
  ChildHost host;
  if (!FindChildHost(path, &host, reason)) {
    const std::string prefix = "cannot load " + Quote(path) + ": ";
    if (reason->compare(0, prefix.size(), prefix) == 0) *reason = reason->substr(prefix.size());
    return false;
  }
  nlohmann::ordered_json document;
  const std::vector<std::string> arguments = {"info", host.library, kModuleChildOption, "--timeout",
                                              Format("%g", options.timeout)};
  const ChildEnding ending =
      RunModuleChild(host, arguments, options.timeout, [&](const Frame& frame) {
        if (frame.tag == "info") {
          document = nlohmann::ordered_json::parse(frame.payload, nullptr, false);
        }
        return true;
      });
  if (ending.status != kExitOk || !document.is_object()) {
    *reason = ending.message.empty() ? "the module sent no description" : ending.message;
    return false;
  }
  if (!document.value("name", nlohmann::ordered_json()).is_string()) {
    *reason = "the module does not answer GetModuleProperties";
    return false;
  }
  found->path = path;
  found->name = document.value("name", std::string());
  found->id = document.value("id", std::string());
  found->architecture = DescribeBinaryKind(info);
  found->pins = document.value("pins", nlohmann::ordered_json::array()).size();
  return true;
}

int RunScan(ScanOptions options) {
  if (options.folders.empty()) {
    const char* module_path = std::getenv("SE_MODULE_PATH");
    if (module_path != nullptr && *module_path != '\0')
      options.folders = SplitModulePath(module_path);
  }
  if (options.folders.empty()) options.folders.push_back(".");

  int status = kExitOk;
  std::vector<FoundModule> modules;
  std::vector<SkippedFile> skipped;
  for (const std::string& folder : options.folders) {
    std::vector<std::string> names;
    std::string error;
    if (KindOfPath(folder) != PathKind::kDirectory) {
      ReportError("scan", Quote(folder) + " is not a folder");
      status = kExitUsage;
      continue;
    }
    if (!ListFolder(folder, &names, &error)) {
      ReportError("scan", error);
      status = kExitUsage;
      continue;
    }
    for (const std::string& name : names) {
      const std::string path = folder == "." ? name : JoinPath(folder, name);
      if (KindOfPath(path) == PathKind::kDirectory) continue;
      FoundModule found;
      std::string reason;
      if (Examine(path, options, &found, &reason)) {
        modules.push_back(found);
      } else {
        skipped.push_back({path, reason});
      }
    }
  }

  if (options.json) {
    nlohmann::ordered_json document;
    document["folders"] = options.folders;
    document["modules"] = nlohmann::ordered_json::array();
    for (const FoundModule& module : modules) {
      nlohmann::ordered_json entry;
      entry["path"] = module.path;
      entry["name"] = module.name;
      entry["id"] = module.id;
      entry["architecture"] = module.architecture;
      entry["pins"] = module.pins;
      document["modules"].push_back(entry);
    }
    document["skipped"] = nlohmann::ordered_json::array();
    for (const SkippedFile& file : skipped) {
      document["skipped"].push_back({{"path", file.path}, {"reason", file.reason}});
    }
    std::printf(
        "%s\n",
        document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  } else {
    size_t path_width = 0, name_width = 0;
    for (const FoundModule& module : modules) {
      path_width = std::max(path_width, module.path.size());
      name_width = std::max(name_width, module.name.size() + 2);
    }
    for (const FoundModule& module : modules) {
      std::printf("%-*s  %-*s  %-32s  %2zu pins  id \"%s\"\n", static_cast<int>(path_width),
                  module.path.c_str(), static_cast<int>(name_width),
                  ("\"" + EscapeControlCharacters(module.name) + "\"").c_str(),
                  module.architecture.c_str(), module.pins,
                  EscapeControlCharacters(module.id).c_str());
    }
    if (options.verbose) {
      for (const SkippedFile& file : skipped) {
        std::printf("skipped %s: %s\n", file.path.c_str(),
                    EscapeControlCharacters(file.reason).c_str());
      }
    }
    std::printf("%zu module%s in %zu folder%s", modules.size(), modules.size() == 1 ? "" : "s",
                options.folders.size(), options.folders.size() == 1 ? "" : "s");
    if (!skipped.empty()) {
      std::printf("; %zu other file%s skipped%s", skipped.size(), skipped.size() == 1 ? "" : "s",
                  options.verbose ? "" : " (--verbose says why)");
    }
    std::printf("\n");
  }
  std::fflush(stdout);
  return status;
}

}  // namespace

void AddScanCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<ScanOptions>();
  CLI::App* command =
      app.add_subcommand("scan",
                         "List the module libraries of this protocol in folders, with name, id, "
                         "architecture and pin count");
  command->allow_windows_style_options(false);
  command->add_option("folder", options->folders,
                      "folders to scan (default: those of SE_MODULE_PATH, else the current one)");
  command->add_flag("--json", options->json, "print one JSON document instead of text");
  command->add_flag("--verbose", options->verbose, "name every file skipped, and why");
  AddTimeoutOption(command, &options->timeout);
  command->footer(
      "Each library runs in a child process, as `info` runs it (default --timeout 10 here).\n"
      "JSON keys: folders, modules: [{path, name, id, architecture, pins}], skipped: [{path, "
      "reason}].\n"
      "Exit status: 0 ok, 2 a folder that cannot be read.");
  command->callback([options, exit_status] { *exit_status = RunScan(*options); });
}

}  // namespace modhost
