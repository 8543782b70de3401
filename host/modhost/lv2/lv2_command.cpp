// `modhost lv2`: writes an LV2 bundle that plays a module library in LV2 hosts. The bundle holds
// manifest.ttl and the plug-in's plugin.ttl (plugin_turtle.h), the LV2 bridge (host/lv2/, built
// beside modhost), a copy of the module library and bridge.conf, which tells the bridge which
// library to load under which URI (host/lv2/bundle_format.h).
//
// The module runs in a child process, as for info: a library that is not a valid module fails
// with info's exit status, and a crash or a hang is status 7. A module whose pins cannot all be
// ports (an indirect pin, a control output, a pin bound to no variable), or that has no identifier
// or no audio output, is refused with status 1. The bundle's folder is written in one step
// (bundle_folder.h); a folder already there that is not a bundle of modhost's is status 6, and a
// failure at any point leaves the name as it was.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/lv2/bundle_format.h"
#include "host/modhost/cli/commands.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/library_tables.h"
#include "host/modhost/io/text.h"
#include "host/modhost/lv2/bundle_folder.h"
#include "host/modhost/lv2/plugin_turtle.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/command_session.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/run/module_child.h"

namespace modhost {

namespace {

struct Lv2Options {
  std::string library;
  std::string output;
  bool audio_inputs = false;
  double timeout = kDefaultCallTimeLimit;
  bool module_child = false;  // this process is the child that runs the module
};

// ---- The child: asks the module ----------------------------------------------------------------

int Lv2AsChild(const Lv2Options& options) {
  BeginChild(options.timeout);
  CommandSession command;
  const int load_status = command.Open(options.library, nullptr);
  if (load_status != kExitOk) {
    SendFailure(load_status, command.error());
    return load_status;
  }
  Session& session = command.session();
  se_host::ModuleTexts texts;
  if (!session.ReadModuleTexts(&texts)) texts = se_host::ModuleTexts();
  const std::vector<se_host::PinInfo> pins = session.pins();
  if (pins.empty() && !session.pin_problem().empty()) {
    SendFailure(kExitFailed, "the module's pins cannot be read: " + session.pin_problem());
    return kExitFailed;
  }
  session.Close();

  PluginDescription plugin;
  std::string error;
  if (!DescribePlugin(texts, pins, options.audio_inputs, &plugin, &error)) {
    SendFailure(kExitFailed, error);
    return kExitFailed;
  }
  nlohmann::json document;
  document["uri"] = plugin.uri;
  document["name"] = plugin.name;
  document["turtle"] = plugin.turtle;
  document["pins"] = plugin.pins;
  document["signal_inputs"] = plugin.signal_inputs;
  document["audio_outputs"] = plugin.audio_outputs;
  document["control_inputs"] = plugin.control_inputs;
  document["warnings"] = plugin.warnings;
  // A module's texts are bytes, not necessarily UTF-8; a stray byte must not cost the document.
  SendFrame("lv2", document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  SendFrame("done", std::string());
  return kExitOk;
}

// ---- The parent: writes the bundle -------------------------------------------------------------

#if !defined(_WIN32)

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Where the bridge is: beside this program, or in the native build of its build tree.
std::string FindBridge() {
  for (const std::string& candidate :
       {ProgramFolder() + se_lv2::kBridgeFile,
        ProgramFolder() + "../../native/bin/" + se_lv2::kBridgeFile}) {
    if (KindOfPath(candidate) == PathKind::kRegular) return candidate;
  }
  return std::string();
}

// The name of the library's copy in the bundle: its own, unless that is no plain file name or is
// taken by one of the bundle's fixed files.
std::string LibraryCopyName(const std::string& library) {
  const std::string name = BaseNameOf(library);
  bool plain = !name.empty() && name[0] != '.';
  for (const char character : name) {
    plain = plain &&
            ((character >= 'a' && character <= 'z') || (character >= 'A' && character <= 'Z') ||
             (character >= '0' && character <= '9') || character == '.' || character == '_' ||
             character == '-' || character == '+');
  }
  for (const char* fixed :
       {se_lv2::kManifestFile, se_lv2::kPluginFile, se_lv2::kConfigFile, se_lv2::kBridgeFile}) {
    plain = plain && name != fixed;
  }
  return plain ? name : "module.so";
}

int RunLv2(const Lv2Options& options) {
  if (options.module_child) return Lv2AsChild(options);
  auto report = [](const std::string& message) { ReportError("lv2", message); };
  const std::string destination = WithoutTrailingSlashes(options.output);
  bool replace = false;
  std::string error;
  if (!CheckDestination(destination, &replace, &error)) {
    report(error);
    return kExitOutputFailed;
  }
  ChildHost host;
  if (!FindChildHost(options.library, &host, &error)) {
    report(error);
    return kExitCannotLoad;
  }
  const std::string bridge = FindBridge();
  if (bridge.empty()) {
    report("there is no LV2 bridge at " + ProgramFolder() + se_lv2::kBridgeFile +
           " or in the native build (cmake --build --preset native builds it)");
    return kExitCannotLoad;
  }
  // The bridge loads the module into the LV2 host's process, so the two must be of one kind.
  BinaryInfo bridge_kind;
  BinaryInfo library_kind;
  std::string problem;
  if (InspectLibraryFile(bridge, &bridge_kind, &problem) &&
      InspectLibraryFile(options.library, &library_kind, &problem) &&
      (library_kind.format != bridge_kind.format || library_kind.machine != bridge_kind.machine ||
       library_kind.address_bits != bridge_kind.address_bits)) {
    report("cannot load " + Quote(options.library) + ": it is a " +
           DescribeBinaryKind(library_kind) + ", and the LV2 bridge loads a " +
           DescribeBinaryKind(bridge_kind));
    return kExitCannotLoad;
  }

  nlohmann::json document;
  std::vector<std::string> arguments = CommandArguments();
  arguments.push_back(kModuleChildOption);
  const ChildEnding ending =
      RunModuleChild(host, arguments, options.timeout, [&](const Frame& frame) {
        if (frame.tag == "lv2") document = nlohmann::json::parse(frame.payload, nullptr, false);
        return true;
      });
  if (ending.status != kExitOk) {
    report(ending.message);
    return ending.status;
  }
  if (!document.is_object()) {
    report("the module's process sent no description");
    return kExitModuleCrashed;
  }
  for (const auto& warning : document.value("warnings", std::vector<std::string>())) {
    report("warning: " + warning);
  }

  std::vector<BundleFile> files(5);
  se_lv2::BundleConfig config;
  config.uri = document.value("uri", std::string());
  config.library = LibraryCopyName(options.library);
  config.pins = document.value("pins", 0);
  files[0] = {se_lv2::kManifestFile, ManifestTurtle(config.uri), false};
  files[1] = {se_lv2::kPluginFile, document.value("turtle", std::string()), false};
  files[2] = {se_lv2::kConfigFile, se_lv2::FormatBundleConfig(config), false};
  files[3] = {se_lv2::kBridgeFile, std::string(), true};
  files[4] = {config.library, std::string(), true};
  if (!ReadWholeFile(bridge, &files[3].bytes, &error) ||
      !ReadWholeFile(options.library, &files[4].bytes, &error)) {
    report(error);
    return kExitCannotLoad;
  }
  if (!WriteBundle(destination, replace, files, &error)) {
    report(error);
    return kExitOutputFailed;
  }
  const auto count = [&](const char* key, const std::string& noun) {
    const int number = document.value(key, 0);
    return std::to_string(number) + " " + noun + (number == 1 ? "" : "s");
  };
  std::printf("%s: %s <%s>: %s, %s, %s\n", Excerpt(destination).c_str(),
              Quote(document.value("name", std::string())).c_str(), config.uri.c_str(),
              count("signal_inputs", options.audio_inputs ? "audio input" : "CV input").c_str(),
              count("audio_outputs", "audio output").c_str(),
              count("control_inputs", "control input").c_str());
  std::fflush(stdout);
  return kExitOk;
}

#else

int RunLv2(const Lv2Options& options) {
  if (options.module_child) return Lv2AsChild(options);
  ReportError("lv2", "LV2 bundles are made by the Linux builds of modhost, beside the bridge");
  return kExitUsage;
}

#endif

}  // namespace

void AddLv2Command(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<Lv2Options>();
  CLI::App* command =
      app.add_subcommand("lv2", "Write an LV2 bundle that plays a module library in LV2 hosts");
  command->allow_windows_style_options(false);
  command->add_option("library", options->library, "The module library (.so)")->required();
  command->add_option("-o,--output", options->output, "The bundle folder to write (NAME.lv2)")
      ->required();
  command->add_flag("--audio-inputs", options->audio_inputs,
                    "Audio input pins as audio ports instead of CV ports");
  AddTimeoutOption(command, &options->timeout);
  command->add_flag(kModuleChildOption, options->module_child)->group("");
  command->footer(
      "The bundle holds manifest.ttl, plugin.ttl, the LV2 bridge lv2_bridge.so, a copy of the\n"
      "library and bridge.conf. URI: urn:se-module:<the module's identifier, percent-encoded>,\n"
      "with :audio-inputs after it for --audio-inputs. Port i is pin i: audio inputs are CV ports\n"
      "(audio ports with --audio-inputs) and audio outputs audio ports, in signal values (1.0 is\n"
      "10 V); enum, bool and int pins are integer control ports, an enum's items its scale\n"
      "points. Install by writing the bundle into ~/.lv2/ (or a folder of LV2_PATH).\n"
      "An existing folder is replaced only when it is a bundle that modhost wrote.\n"
      "Exit status: 0 ok, 1 the module cannot be an LV2 plug-in, 2 usage, 3 cannot load, 4 no\n"
      "main, 5 bad record, 6 the bundle could not be written, 7 the module crashed or hung.");
  command->callback([options, exit_status] {
    try {
      *exit_status = RunLv2(*options);
    } catch (const std::exception& failure) {
      ReportError("lv2", failure.what());
      *exit_status = kExitFailed;
    }
  });
}

}  // namespace modhost
