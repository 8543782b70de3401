// `modhost info`: what a module library says about itself, asked through the dispatcher exactly
// as the host asks before it places a module in a patch (module properties, then pin after pin
// until the module answers 0). The module is created but never opened, so nothing here depends on
// the module working, only on it describing itself.
//
// The human form is for reading; --json gives the same facts as one document whose keys are kept
// stable for scripts. The module runs in a child process, which sends that document here.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/modhost/cli/commands.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/command_session.h"
#include "host/modhost/run/module_child.h"
#include "host/modhost/run/pin_values.h"

namespace modhost {

namespace {

struct InfoOptions {
  std::string library;
  bool json = false;
  bool trace = false;
  double timeout = kDefaultCallTimeLimit;
  bool module_child = false;  // this process is the child that runs the module
};

struct ModuleDescription {
  bool answered_properties = false;
  se_host::ModuleTexts texts;
  std::vector<se_host::PinInfo> pins;
};

nlohmann::ordered_json PinJson(const se_host::PinInfo& pin) {
  nlohmann::ordered_json entry;
  entry["index"] = pin.index;
  entry["name"] = pin.name;
  entry["direction"] = PinDirectionWord(pin.direction);
  entry["direction_code"] = pin.direction;
  entry["datatype"] = PinDatatypeWord(pin.datatype);
  entry["datatype_code"] = pin.datatype;
  entry["default"] = pin.default_value;
  entry["extra"] =
      pin.has_extra ? nlohmann::ordered_json(pin.extra) : nlohmann::ordered_json(nullptr);
  return entry;
}

nlohmann::ordered_json DescriptionJson(const std::string& library,
                                       const ModuleDescription& description) {
  nlohmann::ordered_json document;
  document["library"] = library;
  const bool answered = description.answered_properties;
  document["name"] =
      answered ? nlohmann::ordered_json(description.texts.name) : nlohmann::ordered_json(nullptr);
  document["id"] =
      answered ? nlohmann::ordered_json(description.texts.id) : nlohmann::ordered_json(nullptr);
  document["about"] =
      answered ? nlohmann::ordered_json(description.texts.about) : nlohmann::ordered_json(nullptr);
  document["pins"] = nlohmann::ordered_json::array();
  for (const se_host::PinInfo& pin : description.pins) document["pins"].push_back(PinJson(pin));
  return document;
}

// The description back from the document the child sent.
ModuleDescription DescriptionFromJson(const nlohmann::ordered_json& document) {
  ModuleDescription description;
  description.answered_properties = document.value("name", nlohmann::ordered_json()).is_string();
  if (description.answered_properties) {
    description.texts.name = document.value("name", std::string());
    description.texts.id = document.value("id", std::string());
    description.texts.about = document.value("about", std::string());
  }
  for (const auto& entry : document.value("pins", nlohmann::ordered_json::array())) {
    se_host::PinInfo pin{};
    pin.index = entry.value("index", 0);
    pin.name = entry.value("name", std::string());
    pin.direction = entry.value("direction_code", 0);
    pin.datatype = entry.value("datatype_code", 0);
    pin.default_value = entry.value("default", std::string());
    pin.has_extra = entry.value("extra", nlohmann::ordered_json()).is_string();
    if (pin.has_extra) pin.extra = entry.value("extra", std::string());
    description.pins.push_back(pin);
  }
  return description;
}

// The about text under its label, continuation lines aligned with the first.
void PrintLabelled(const char* label, const std::string& text) {
  std::string body = text;
  while (!body.empty() && body.back() == '\n') body.pop_back();
  std::printf("%-8s", label);
  size_t start = 0;
  bool first = true;
  do {
    const size_t end = body.find('\n', start);
    const std::string line =
        body.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::printf("%s%s\n", first || line.empty() ? "" : "        ", line.c_str());
    first = false;
    start = end == std::string::npos ? std::string::npos : end + 1;
  } while (start != std::string::npos);
}

void PrintText(const std::string& library, const ModuleDescription& description) {
  PrintLabelled("Library", library);
  if (description.answered_properties) {
    PrintLabelled("Name", description.texts.name);
    PrintLabelled("Id", description.texts.id);
    PrintLabelled("About", description.texts.about);
  } else {
    PrintLabelled("Name", "(the module does not answer GetModuleProperties)");
  }

  std::printf("\nPins (%zu)\n", description.pins.size());
  const std::vector<std::string> headings = {"index", "name",    "direction",
                                             "type",  "default", "extra"};
  std::vector<std::vector<std::string>> rows;
  for (const se_host::PinInfo& pin : description.pins) {
    rows.push_back({std::to_string(pin.index), pin.name, PinDirectionWord(pin.direction),
                    PinDatatypeWord(pin.datatype), pin.default_value, pin.extra});
  }
  std::vector<size_t> widths;
  for (const std::string& heading : headings) widths.push_back(heading.size());
  for (const auto& row : rows) {
    for (size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  auto print_row = [&](const std::vector<std::string>& row) {
    std::string line;
    for (size_t column = 0; column < row.size(); ++column) {
      std::string cell = row[column];
      // The index is a number and reads best right-aligned; the rest are texts.
      if (column == 0) cell.insert(0, widths[column] - cell.size(), ' ');
      if (column + 1 < row.size()) cell.resize(widths[column], ' ');
      line += cell;
      if (column + 1 < row.size()) line += "  ";
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  };
  print_row(headings);
  for (const auto& row : rows) print_row(row);
}

int InfoAsChild(const InfoOptions& options) {
  BeginChild(options.timeout);
  CommandSession command;
  const int load_status = command.Open(options.library, options.trace ? stderr : nullptr);
  if (load_status != kExitOk) {
    SendFailure(load_status, command.error());
    return load_status;
  }
  Session& session = command.session();
  ModuleDescription description;
  description.answered_properties = session.ReadModuleTexts(&description.texts);
  description.pins = session.pins();
  if (description.pins.empty() && !session.pin_problem().empty()) {
    SendFailure(kExitFailed, "the module's pins cannot be read: " + session.pin_problem());
    return kExitFailed;
  }
  session.Close();
  // A module's texts are bytes, not necessarily UTF-8; a stray byte must not cost the document.
  SendFrame("info", DescriptionJson(options.library, description)
                        .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  SendFrame("done", std::string());
  return kExitOk;
}

int RunInfo(const InfoOptions& options) {
  if (options.module_child) return InfoAsChild(options);
  ChildHost host;
  std::string error;
  if (!FindChildHost(options.library, &host, &error)) {
    ReportError("info", error);
    return kExitCannotLoad;
  }
  nlohmann::ordered_json document;
  std::vector<std::string> arguments = CommandArguments();
  arguments.push_back(kModuleChildOption);
  const ChildEnding ending =
      RunModuleChild(host, arguments, options.timeout, [&](const Frame& frame) {
        if (frame.tag == "info")
          document = nlohmann::ordered_json::parse(frame.payload, nullptr, false);
        return true;
      });
  if (ending.status != kExitOk) {
    ReportError("info", ending.message);
    return ending.status;
  }
  if (!document.is_object()) {
    ReportError("info", "the module's process sent no description");
    return kExitModuleCrashed;
  }
  if (options.json) {
    std::printf(
        "%s\n",
        document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  } else {
    PrintText(options.library, DescriptionFromJson(document));
  }
  std::fflush(stdout);
  if (std::ferror(stdout)) {
    ReportError("info", "cannot write the description to standard output");
    return kExitOutputFailed;
  }
  return kExitOk;
}

}  // namespace

void AddInfoCommand(CLI::App& app, int* exit_status) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command = app.add_subcommand(
      "info", "Show a module library's properties and pin table, as the host reads them");
  // Unix paths are common under Wine; "/work/..." must stay a path, not a Windows-style option.
  command->allow_windows_style_options(false);
  command->add_option("library", options->library, "The module library (.so or .dll)")->required();
  command->add_flag("--json", options->json, "Print one JSON document instead of text");
  command->add_flag("--trace", options->trace,
                    "Log every dispatcher call and host request to standard error");
  AddTimeoutOption(command, &options->timeout);
  command->add_flag(kModuleChildOption, options->module_child)->group("");
  command->footer(
      "The module is created and asked for its properties and pins, never opened.\n"
      "JSON keys: library, name, id, about (null when the module does not answer), pins: [{index,\n"
      "name, direction, direction_code, datatype, datatype_code, default, extra (null when the\n"
      "module leaves it unwritten)}].\n"
      "The module runs in a child process; a crash or a call longer than --timeout gives status "
      "7.\n"
      "Exit status: 0 ok, 2 usage, 3 cannot load, 4 no main, 5 bad record, 6 output failed,\n"
      "7 the module crashed or hung.");
  command->callback([options, exit_status] {
    try {
      *exit_status = RunInfo(*options);
    } catch (const std::exception& failure) {
      ReportError("info", failure.what());
      *exit_status = kExitFailed;
    }
  });
}

}  // namespace modhost
