// `modhost lv2`: writes an LV2 bundle that plays a module library in LV2 hosts. The bundle holds
// manifest.ttl, the plug-in's plugin.ttl, the LV2 bridge (host/lv2/, built beside modhost), a copy
// of the module library and bridge.conf, which tells the bridge which library to load under which
// URI (host/lv2/bundle_format.h).
//
// The plug-in's URI is made from the module's identifier alone, so that making the bundle again,
// from any later build, gives the same plug-in to the hosts' sessions and presets:
// urn:se-module:<the identifier, percent-encoded>, with ":audio-inputs" after it for the variant
// below. Its name is the module's name, its comment the module's about text. Port i is pin i:
//   - an audio input pin is an lv2:CVPort input, so that a modular host can drive it at audio
//     rate; its values are the protocol's signal, 1.0 for 10 V, which the port's comment says,
//     and its default is the pin's default text so converted. With --audio-inputs it is an
//     lv2:AudioPort instead, for hosts and tools without CV ports (lilv's lv2apply among them);
//     the bridge treats both alike;
//   - an audio output pin is an lv2:AudioPort output;
//   - an Enum, Bool or Int input or setting is an integer lv2:ControlPort input: an Enum with one
//     lv2:scalePoint per item of its list (read as render reads it), a Bool toggled.
// Defaults are read from the pins' default texts exactly as `modhost render` reads them, so a host
// that leaves every port at its default hears what a render with no options gives.
//
// The module runs in a child process, as for info: a library that is not a valid module fails
// with info's exit status, and a crash or a hang is status 7. A module whose pins cannot all be
// ports (an indirect pin, a control output, a pin bound to no variable), or that has no identifier
// or no audio output, is refused with status 1. The bundle is written into a temporary folder
// beside its name and renamed into place when complete; a folder already there is replaced only
// when it is a bundle that modhost wrote and holds nothing else (status 6 otherwise), so a failure
// at any point leaves the name as it was.
#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/lv2/bundle_format.h"
#include "host/modhost/cli/commands.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/output_file.h"
#include "host/modhost/io/text.h"
#include "host/modhost/render/control_plan.h"
#include "host/modhost/run/child_protocol.h"
#include "host/modhost/run/command_session.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/run/module_child.h"
#include "host/modhost/run/pin_values.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace modhost {

namespace {

using se_lv2::PortRole;

const char kUriPrefix[] = "urn:se-module:";
const char kAudioInputsSuffix[] = ":audio-inputs";

struct Lv2Options {
  std::string library;
  std::string output;
  bool audio_inputs = false;
  double timeout = kDefaultCallTimeLimit;
  bool module_child = false;  // this process is the child that runs the module
};

// ---- Turtle ------------------------------------------------------------------------------------

std::string PercentEncoded(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char character : text) {
    const unsigned char byte = static_cast<unsigned char>(character);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      encoded += character;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 0xF];
    }
  }
  return encoded;
}

// A Turtle string literal of a module's text, which may be any bytes: valid UTF-8 stays as it is,
// a byte that is not becomes U+FFFD, and quotes, backslashes and control characters are escaped.
std::string TurtleString(const std::string& text) {
  std::string literal = "\"";
  size_t position = 0;
  while (position < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[position]);
    const size_t length = Utf8Length(text, position);
    if (length == 0) {
      literal += "\\uFFFD";
      ++position;
      continue;
    }
    if (byte == '"' || byte == '\\') {
      literal += '\\';
      literal += static_cast<char>(byte);
    } else if (byte == '\n') {
      literal += "\\n";
    } else if (byte == '\r') {
      literal += "\\r";
    } else if (byte == '\t') {
      literal += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04X", byte);
      literal += escape;
    } else {
      literal.append(text, position, length);
    }
    position += length;
  }
  return literal + "\"";
}

// The shortest decimal that reads back as `value` (hosts read it through a double, which is
// exact for every float), written as a Turtle decimal or double.
std::string TurtleFloat(float value) {
  // An absurd default text may pass a float's range; Turtle has no infinity, so it is cut there.
  value = std::min(std::max(value, -FLT_MAX), FLT_MAX);
  char text[32] = "0";
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
    if (static_cast<float>(std::strtod(text, nullptr)) == value) break;
  }
  std::string literal = text;
  if (literal.find_first_of(".e") == std::string::npos) literal += ".0";
  return literal;
}

// An LV2 symbol (a C identifier) from a pin's name: lower-case letters and digits, '_' for the
// rest, '_' first when the name starts with a digit, and a number after it when taken already.
std::string Symbol(const std::string& name, int32_t index, std::vector<std::string>* taken) {
  std::string symbol;
  for (const char character : name) {
    const char lower =
        character >= 'A' && character <= 'Z' ? static_cast<char>(character - 'A' + 'a') : character;
    const bool keep = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9');
    if (keep) {
      symbol += lower;
    } else if (!symbol.empty() && symbol.back() != '_') {
      symbol += '_';
    }
  }
  while (!symbol.empty() && symbol.back() == '_') symbol.pop_back();
  if (symbol.empty()) symbol = "pin" + std::to_string(index);
  if (symbol[0] >= '0' && symbol[0] <= '9') symbol.insert(0, "_");
  std::string unique = symbol;
  for (int suffix = 2; std::find(taken->begin(), taken->end(), unique) != taken->end(); ++suffix) {
    unique = symbol + "_" + std::to_string(suffix);
  }
  taken->push_back(unique);
  return unique;
}

// The numbers of a comma-separated list ("20,-20,20,-20"), when every item is one.
std::vector<double> NumberList(const std::string& text) {
  std::vector<double> numbers;
  size_t start = 0;
  while (!text.empty()) {
    const size_t comma = text.find(',', start);
    double number = 0;
    std::string ignored;
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (!ParseVolts(item, &number, &ignored)) return {};
    numbers.push_back(number);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return numbers;
}

// Why a pin has no port, for the one line that refuses the module.
std::string WhyNoPort(const se_host::PinInfo& pin) {
  if (pin.variable_address == nullptr) return "the module binds it to no variable";
  const bool known_direction = pin.direction == static_cast<int32_t>(PinDirection::Input) ||
                               pin.direction == static_cast<int32_t>(PinDirection::Output) ||
                               pin.direction == static_cast<int32_t>(PinDirection::Setting);
  if (!known_direction) return "its direction is none of input, output and setting";
  if (pin.datatype == static_cast<int32_t>(PinDatatype::Indirect)) {
    return "the host keeps an indirect pin's value, which an LV2 host cannot do for it";
  }
  if (pin.datatype == static_cast<int32_t>(PinDatatype::Enum) ||
      pin.datatype == static_cast<int32_t>(PinDatatype::Bool) ||
      pin.datatype == static_cast<int32_t>(PinDatatype::Int)) {
    return "the protocol gives a host no way to read a control output";
  }
  return "the protocol gives its data type no meaning";
}

// The statements of a signal input port after its name: its default and range in signal values,
// and the scale. The range is the pin's when its extra text lists volts, else the usual +-10 V.
std::string SignalPortTurtle(const se_host::PinInfo& pin, double default_volts) {
  std::vector<double> range = NumberList(pin.extra);
  if (range.size() < 2) range = {-10.0, 10.0};
  range.push_back(default_volts);
  char comment[96];
  std::snprintf(comment, sizeof comment, "1.0 is 10 V; the default is %g V", default_volts);
  return " ;\n\t\tlv2:default " + TurtleFloat(VoltsToSample(default_volts)) +
         " ;\n\t\tlv2:minimum " +
         TurtleFloat(VoltsToSample(*std::min_element(range.begin(), range.end()))) +
         " ;\n\t\tlv2:maximum " +
         TurtleFloat(VoltsToSample(*std::max_element(range.begin(), range.end()))) +
         " ;\n\t\trdfs:comment \"" + comment + "\"";
}

// A number of a pin's text as a whole number within 32 bits.
int64_t WholeNumber(double number) {
  return std::llround(std::min(std::max(number, double{INT32_MIN}), double{INT32_MAX}));
}

// The statements of a control input port after its name: integer values, a boolean toggled, an
// enumeration's items as scale points; the range is the items', a boolean's, or an integer's
// extra text's, and includes the default.
std::string ControlPortTurtle(const se_host::PinInfo& pin, int64_t default_value) {
  std::vector<int64_t> range;
  std::string properties = "lv2:integer";
  std::string points;
  if (pin.datatype == static_cast<int32_t>(PinDatatype::Bool)) {
    properties += " , lv2:toggled";
    default_value = default_value != 0 ? 1 : 0;
    range = {0, 1};
  } else if (pin.datatype == static_cast<int32_t>(PinDatatype::Enum)) {
    const std::vector<EnumItem> items = ParseEnumItems(pin.extra);
    // Without items, any value the frame's 16 bits hold.
    if (items.empty()) range = {INT16_MIN, INT16_MAX};
    if (!items.empty()) properties += " , lv2:enumeration";
    for (const EnumItem& item : items) {
      range.push_back(item.value);
      points += std::string(points.empty() ? "" : " , ") + "[\n\t\t\trdfs:label " +
                TurtleString(item.label) + " ;\n\t\t\trdf:value " + std::to_string(item.value) +
                "\n\t\t]";
    }
  } else {
    for (double number : NumberList(pin.extra)) range.push_back(WholeNumber(number));
  }
  std::string turtle = " ;\n\t\tlv2:portProperty " + properties + " ;\n\t\tlv2:default " +
                       std::to_string(default_value);
  if (!range.empty()) {
    range.push_back(default_value);
    turtle +=
        " ;\n\t\tlv2:minimum " + std::to_string(*std::min_element(range.begin(), range.end())) +
        " ;\n\t\tlv2:maximum " + std::to_string(*std::max_element(range.begin(), range.end()));
  }
  if (!points.empty()) turtle += " ;\n\t\tlv2:scalePoint " + points;
  return turtle;
}

struct PluginDescription {
  std::string uri;
  std::string name;
  std::string turtle;  // plugin.ttl
  int32_t pins = 0;
  int32_t signal_inputs = 0;
  int32_t audio_outputs = 0;
  int32_t control_inputs = 0;
  std::vector<std::string> warnings;
};

// The plug-in of a module with `texts` and `pins`. False, with a one-line `error`, when the module
// cannot be an LV2 plug-in.
bool DescribePlugin(const se_host::ModuleTexts& texts, const std::vector<se_host::PinInfo>& pins,
                    bool audio_inputs, PluginDescription* plugin, std::string* error) {
  if (texts.id.empty()) {
    *error = "the module gives no identifier, from which the plug-in's URI is made";
    return false;
  }
  std::vector<PortRole> roles;
  for (const se_host::PinInfo& pin : pins) {
    roles.push_back(
        se_lv2::RoleOfPin(pin.direction, pin.datatype, pin.variable_address != nullptr));
    if (roles.back() == PortRole::kNone) {
      *error = "pin " + std::to_string(pin.index) + " " + Quote(pin.name) + " (" +
               PinDirectionWord(pin.direction) + ", " + PinDatatypeWord(pin.datatype) +
               ") cannot be an LV2 port: " + WhyNoPort(pin);
      return false;
    }
  }
  if (std::find(roles.begin(), roles.end(), PortRole::kAudioOutput) == roles.end()) {
    *error = "the module has no audio output, so an LV2 host would hear nothing of it";
    return false;
  }
  // The defaults as render reads them: the plan of a render that sets nothing.
  ControlPlan defaults;
  if (!PlanControls(pins, UserControls(), 1, &defaults, error)) return false;

  plugin->uri = kUriPrefix + PercentEncoded(texts.id) + (audio_inputs ? kAudioInputsSuffix : "");
  plugin->name =
      (texts.name.empty() ? texts.id : texts.name) + (audio_inputs ? " (audio inputs)" : "");
  plugin->pins = static_cast<int32_t>(pins.size());
  plugin->warnings = defaults.warnings;
  std::string about = texts.about;
  while (!about.empty() && (about.back() == '\n' || about.back() == ' ')) about.pop_back();

  std::string& ttl = plugin->turtle;
  ttl =
      "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
      "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
      "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
      "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n"
      "# Written by modhost lv2. Port i is pin i of the module; lv2_bridge.so loads the module\n"
      "# library that bridge.conf names.\n";
  ttl +=
      "<" + plugin->uri + ">\n\ta lv2:Plugin ;\n\tdoap:name " + TurtleString(plugin->name) + " ;\n";
  if (!about.empty()) ttl += "\trdfs:comment " + TurtleString(about) + " ;\n";
  ttl += "\tlv2:optionalFeature lv2:hardRTCapable";

  std::vector<std::string> symbols;
  for (size_t position = 0; position < pins.size(); ++position) {
    const se_host::PinInfo& pin = pins[position];
    std::string kinds;
    std::string values;
    switch (roles[position]) {
      case PortRole::kSignalInput: {
        ++plugin->signal_inputs;
        kinds = audio_inputs ? "lv2:InputPort , lv2:AudioPort" : "lv2:InputPort , lv2:CVPort";
        double volts = 0;
        for (const AudioInputPlan& input : defaults.audio_inputs) {
          if (input.pin == pin.index) volts = input.volts;
        }
        values = SignalPortTurtle(pin, volts);
        break;
      }
      case PortRole::kAudioOutput:
        ++plugin->audio_outputs;
        kinds = "lv2:OutputPort , lv2:AudioPort";
        values = " ;\n\t\trdfs:comment \"1.0 is 10 V\"";
        break;
      case PortRole::kControlInput: {
        ++plugin->control_inputs;
        kinds = "lv2:InputPort , lv2:ControlPort";
        int64_t value = 0;
        for (const PinEvent& event : defaults.events) {
          if (event.pin == pin.index) value = event.value;
        }
        values = ControlPortTurtle(pin, value);
        break;
      }
      case PortRole::kNone:
        break;
    }
    ttl += std::string(position == 0 ? " ;\n\tlv2:port " : " , ") + "[\n\t\ta " + kinds +
           " ;\n\t\tlv2:index " + std::to_string(position) + " ;\n\t\tlv2:symbol \"" +
           Symbol(pin.name, pin.index, &symbols) + "\" ;\n\t\tlv2:name " +
           TurtleString(pin.name.empty() ? "Pin " + std::to_string(pin.index) : pin.name) + values +
           "\n\t]";
  }
  ttl += " .\n";
  return true;
}

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

std::string ManifestTurtle(const std::string& uri) {
  return "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
         "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n<" +
         uri + ">\n\ta lv2:Plugin ;\n\tlv2:binary <" + se_lv2::kBridgeFile +
         "> ;\n\trdfs:seeAlso <" + se_lv2::kPluginFile + "> .\n";
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The names in `folder`, or false when it cannot be listed.
bool FolderEntries(const std::string& folder, std::vector<std::string>* names) {
  DIR* directory = opendir(folder.c_str());
  if (!directory) return false;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(directory);
  return true;
}

// Whether `folder` is a bundle that modhost wrote and holds nothing else, so that replacing it
// loses nothing of anyone's. False, with the reason, otherwise.
bool IsOurBundle(const std::string& folder, std::string* reason) {
  std::string text;
  std::string ignored;
  se_lv2::BundleConfig config;
  if (!ReadWholeFile(folder + "/" + se_lv2::kConfigFile, &text, &ignored) ||
      !se_lv2::ParseBundleConfig(text, &config)) {
    *reason = std::string("it has no ") + se_lv2::kConfigFile + " of modhost's";
    return false;
  }
  const std::vector<std::string> ours = {se_lv2::kManifestFile, se_lv2::kPluginFile,
                                         se_lv2::kConfigFile, se_lv2::kBridgeFile, config.library};
  std::vector<std::string> names;
  if (!FolderEntries(folder, &names)) {
    *reason = "it cannot be listed";
    return false;
  }
  for (const std::string& name : names) {
    struct stat status;
    const bool regular =
        lstat((folder + "/" + name).c_str(), &status) == 0 && S_ISREG(status.st_mode);
    if (!regular || std::find(ours.begin(), ours.end(), name) == ours.end()) {
      *reason = "it holds " + Quote(name) + ", which modhost did not write there";
      return false;
    }
  }
  return true;
}

// Checks the bundle's name before any module code runs: a new name in an existing folder, or a
// bundle of modhost's to replace (`replace`).
bool CheckDestination(const std::string& destination, bool* replace, std::string* error) {
  const std::string cannot = "cannot write " + Quote(destination) + ": ";
  if (destination.empty()) {
    *error = cannot + "no folder name";
    return false;
  }
  struct stat status;
  if (lstat(destination.c_str(), &status) != 0) {
    const std::string parent = FolderOf(destination).empty() ? "." : FolderOf(destination);
    if (KindOfPath(parent) != PathKind::kDirectory) {
      *error = cannot + "the folder " + Quote(parent) + " does not exist";
      return false;
    }
    *replace = false;
    return true;
  }
  std::string reason;
  if (S_ISLNK(status.st_mode)) {
    reason = "it is a symbolic link";
  } else if (!S_ISDIR(status.st_mode)) {
    reason = "it is not a folder";
  } else if (IsOurBundle(destination, &reason)) {
    *replace = true;
    return true;
  }
  *error = cannot + reason + "; modhost replaces only a bundle that it wrote";
  return false;
}

struct BundleFile {
  std::string name;
  std::string bytes;
  bool executable = false;
};

// Removes the files named `names` from `folder`, then the folder, if it is empty then.
void RemoveBundleFolder(const std::string& folder, const std::vector<std::string>& names) {
  for (const std::string& name : names) unlink((folder + "/" + name).c_str());
  rmdir(folder.c_str());
}

// Renames the complete bundle `temporary` to `destination`, which must not exist, or with
// `replace` must hold the old bundle, whose folder's name goes to `old_bundle`. One atomic step
// where the file system can (renameat2); two renames where it cannot swap folders.
bool PutInPlace(const std::string& temporary, const std::string& destination, bool replace,
                std::string* old_bundle) {
  const unsigned int how = replace ? RENAME_EXCHANGE : RENAME_NOREPLACE;
  if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, destination.c_str(), how) == 0) {
    *old_bundle = temporary;
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (!replace) return std::rename(temporary.c_str(), destination.c_str()) == 0;
  *old_bundle = temporary + ".old";
  if (std::rename(destination.c_str(), old_bundle->c_str()) != 0) return false;
  if (std::rename(temporary.c_str(), destination.c_str()) == 0) return true;
  const int failure = errno;
  std::rename(old_bundle->c_str(), destination.c_str());
  errno = failure;
  return false;
}

// Writes `files` as the folder `destination`: into a fresh folder beside it first, then renamed
// into place in one step (swapped with the old bundle when `replace`), so the name always holds a
// complete bundle or what it held before. Interrupting signals wait until the name is settled.
bool WriteBundle(const std::string& destination, bool replace, const std::vector<BundleFile>& files,
                 std::string* error) {
  const std::string cannot = "cannot write " + Quote(destination) + ": ";
  sigset_t interrupting;
  sigset_t previous;
  sigemptyset(&interrupting);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaddset(&interrupting, signal_number);
  sigprocmask(SIG_BLOCK, &interrupting, &previous);
  struct Unblock {
    sigset_t* mask;
    ~Unblock() { sigprocmask(SIG_SETMASK, mask, nullptr); }
  } unblock{&previous};

  std::string temporary;
  for (int attempt = 0; attempt < 100 && temporary.empty(); ++attempt) {
    const std::string candidate = FolderOf(destination) + "." + BaseNameOf(destination) + "." +
                                  std::to_string(getpid()) + "-" + std::to_string(attempt) +
                                  ".part";
    if (mkdir(candidate.c_str(), 0777) == 0) {
      temporary = candidate;
    } else if (errno != EEXIST) {
      *error = cannot + std::strerror(errno);
      return false;
    }
  }
  if (temporary.empty()) {
    *error = cannot + "no free temporary name beside it";
    return false;
  }
  std::vector<std::string> written;
  for (const BundleFile& file : files) {
    OutputFile output;
    const std::string path = temporary + "/" + file.name;
    std::string problem;
    if (!output.Open(path, &problem) ||
        !output.Write(file.bytes.data(), file.bytes.size(), &problem) || !output.Commit(&problem) ||
        (file.executable && chmod(path.c_str(), 0755) != 0)) {
      *error = cannot + (problem.empty() ? std::string(std::strerror(errno)) : problem);
      RemoveBundleFolder(temporary, written);
      return false;
    }
    written.push_back(file.name);
  }
  std::string old_bundle;
  if (!PutInPlace(temporary, destination, replace, &old_bundle)) {
    *error = cannot + std::strerror(errno);
    RemoveBundleFolder(temporary, written);
    return false;
  }
  if (replace) {
    // All of the old bundle's files are ours (IsOurBundle).
    std::vector<std::string> old_names;
    FolderEntries(old_bundle, &old_names);
    RemoveBundleFolder(old_bundle, old_names);
  }
  return true;
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
