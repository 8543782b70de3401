// Turtle for the plug-in of one module (see plugin_turtle.h).
#include "host/modhost/lv2/plugin_turtle.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "host/lv2/bundle_format.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/pin_values.h"

namespace modhost {

namespace {

using se_lv2::PortRole;

const char kUriPrefix[] = "urn:se-module:";
const char kAudioInputsSuffix[] = ":audio-inputs";

// `text` as a URI may hold it: every byte but letters, digits and "-._~" as %XX.
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
      literal += Format("\\u%04X", byte);
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
  std::string literal;
  for (int digits = 1; digits <= 9; ++digits) {
    literal = Format("%.*g", digits, static_cast<double>(value));
    if (static_cast<float>(std::strtod(literal.c_str(), nullptr)) == value) break;
  }
  if (literal.find_first_of(".e") == std::string::npos) literal += ".0";
  return literal;
}

// An LV2 symbol (a C identifier) from a pin's name: lower-case letters and digits, '_' for the
// rest, '_' first when the name starts with a digit, and a number after it when taken already.
std::string Symbol(const std::string& name, int32_t index, std::vector<std::string>* taken) {
  std::string symbol;
  for (const char character : Lower(name)) {
    const bool keep =
        (character >= 'a' && character <= 'z') || (character >= '0' && character <= '9');
    if (keep) {
      symbol += character;
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
  const std::string comment = Format("1.0 is 10 V; the default is %g V", default_volts);
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

}  // namespace

bool DescribePlugin(const se_host::ModuleTexts& texts, const std::vector<se_host::PinInfo>& pins,
                    bool audio_inputs, PluginDescription* plugin, std::string* error) {
  if (texts.id.empty()) {
    *error = "the module gives no identifier, from which the plug-in's URI is made";
    return false;
  }
  std::vector<PortRole> roles;
  for (const se_host::PinInfo& pin : pins) {
    roles.push_back(se_lv2::RoleOfPin(pin));
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
  plugin->uri = kUriPrefix + PercentEncoded(texts.id) + (audio_inputs ? kAudioInputsSuffix : "");
  plugin->name =
      (texts.name.empty() ? texts.id : texts.name) + (audio_inputs ? " (audio inputs)" : "");
  plugin->pins = static_cast<int32_t>(pins.size());
  plugin->warnings.clear();
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
        values = SignalPortTurtle(pin, DefaultVolts(pin, &plugin->warnings));
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
        values = ControlPortTurtle(pin, DefaultControlValue(pin, &plugin->warnings));
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

std::string ManifestTurtle(const std::string& uri) {
  return "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
         "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n<" +
         uri + ">\n\ta lv2:Plugin ;\n\tlv2:binary <" + se_lv2::kBridgeFile +
         "> ;\n\trdfs:seeAlso <" + se_lv2::kPluginFile + "> .\n";
}

}  // namespace modhost
