// What an LV2 bundle made by `modhost lv2` holds, shared by the command that writes it and by the
// bridge that an LV2 host loads from it: the fixed file names, the small configuration file that
// tells the bridge which module library to load under which URI, and the rule that turns each pin
// of a module into an LV2 port.
//
// Port i is pin i, always. The plug-in's .ttl (written once, by modhost) and the ports the bridge
// serves (found again at every instantiation, from the module itself) agree because both apply
// RoleOfPin to the same pin table; the configuration file carries the pin count so that the bridge
// refuses a library that no longer matches its .ttl.
//
// Header-only, on the host core's pin type, so that the bridge needs nothing of modhost.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/host_core.h"

namespace se_lv2 {

inline constexpr char kManifestFile[] = "manifest.ttl";
inline constexpr char kPluginFile[] = "plugin.ttl";
inline constexpr char kConfigFile[] = "bridge.conf";
inline constexpr char kBridgeFile[] = "lv2_bridge.so";

// The configuration file's first line. A folder whose bridge.conf starts with it is a bundle that
// modhost wrote, and so one that modhost may replace.
inline constexpr char kConfigHeader[] = "# modhost lv2 bundle, format 1";

// What an LV2 port does for a pin.
enum class PortRole {
  kNone,          // no port can stand for the pin (see RoleOfPin)
  kSignalInput,   // an audio input pin: a CV (or audio) input port, 1.0 = 10 V, read in place
  kAudioOutput,   // an audio output pin: an audio output port, written in place
  kControlInput,  // an Enum, Bool or Int input or setting: a control input port, sent as events
};

// The port that stands for `pin`. A pin without a variable can take neither a buffer nor a value.
// Indirect pins keep their value in the host, which a plug-in cannot hand to another host; control
// outputs would be values that the protocol gives the host no way to read.
inline PortRole RoleOfPin(const se_host::PinInfo& pin) {
  if (pin.variable_address == nullptr) return PortRole::kNone;
  const bool output = pin.IsOutput();
  const bool input = pin.direction == static_cast<int32_t>(PinDirection::Input) ||
                     pin.direction == static_cast<int32_t>(PinDirection::Setting);
  switch (static_cast<PinDatatype>(pin.datatype)) {
    case PinDatatype::Audio:
      return output ? PortRole::kAudioOutput : input ? PortRole::kSignalInput : PortRole::kNone;
    case PinDatatype::Enum:
    case PinDatatype::Bool:
    case PinDatatype::Int:
      return input ? PortRole::kControlInput : PortRole::kNone;
    default:
      return PortRole::kNone;
  }
}

// The configuration file, one "key value" line each after the header:
//   uri urn:se-module:...   the plug-in's URI, as in the .ttl
//   library NAME.so         the module library, a file of the bundle
//   pins N                  the module's pin count, which is its port count
struct BundleConfig {
  std::string uri;
  std::string library;
  int32_t pins = -1;
};

inline std::string FormatBundleConfig(const BundleConfig& config) {
  return std::string(kConfigHeader) + "\nuri " + config.uri + "\nlibrary " + config.library +
         "\npins " + std::to_string(config.pins) + "\n";
}

// Reads a configuration file's text. False when the header, a key or a value is missing or wrong:
// the library must be a plain file name of the bundle, never a path leading out of it.
inline bool ParseBundleConfig(const std::string& text, BundleConfig* config) {
  const std::string header = std::string(kConfigHeader) + "\n";
  if (text.compare(0, header.size(), header) != 0) return false;
  BundleConfig parsed;
  size_t start = header.size();
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t space = line.find(' ');
    if (line.empty() || space == std::string::npos) continue;
    const std::string key = line.substr(0, space);
    const std::string value = line.substr(space + 1);
    if (key == "uri") {
      parsed.uri = value;
    } else if (key == "library") {
      parsed.library = value;
    } else if (key == "pins") {
      char* rest = nullptr;
      const long count = std::strtol(value.c_str(), &rest, 10);
      if (rest == value.c_str() || *rest != '\0' || count < 0 || count > INT32_MAX) return false;
      parsed.pins = static_cast<int32_t>(count);
    }
  }
  const std::string& library = parsed.library;
  const bool plain_name = !library.empty() && library != "." && library != ".." &&
                          library.find('/') == std::string::npos;
  if (parsed.uri.empty() || !plain_name || parsed.pins < 0) return false;
  *config = parsed;
  return true;
}

}  // namespace se_lv2
