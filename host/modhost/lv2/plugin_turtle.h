// The Turtle of an LV2 bundle that `modhost lv2` writes: what an LV2 host reads to know the
// plug-in before it loads the bridge.
//
// The plug-in's URI is made from the module's identifier alone, so that making the bundle again,
// from any later build, gives the same plug-in to the hosts' sessions and presets:
// urn:se-module:<the identifier, percent-encoded>, with ":audio-inputs" after it for the variant
// below. Its name is the module's name, its comment the module's about text. Port i is pin i
// (host/lv2/bundle_format.h):
//   - an audio input pin is an lv2:CVPort input, so that a modular host can drive it at audio
//     rate; its values are the protocol's signal, 1.0 for 10 V, which the port's comment says,
//     and its default is the pin's default text so converted. With `audio_inputs` it is an
//     lv2:AudioPort instead, for hosts and tools without CV ports (lilv's lv2apply among them);
//     the bridge treats both alike;
//   - an audio output pin is an lv2:AudioPort output;
//   - an Enum, Bool or Int input or setting is an integer lv2:ControlPort input: an Enum with one
//     lv2:scalePoint per item of its list, a Bool toggled.
// Defaults and items are read from the pins' texts as `modhost render` reads them
// (run/pin_values.h), so a host that leaves every port at its default hears what a render with
// no options gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_core.h"

namespace modhost {

struct PluginDescription {
  std::string uri;
  std::string name;
  std::string turtle;  // plugin.ttl
  int32_t pins = 0;
  int32_t signal_inputs = 0;
  int32_t audio_outputs = 0;
  int32_t control_inputs = 0;
  std::vector<std::string> warnings;  // default texts that could not be read
};

// The plug-in of a module with `texts` and `pins`. False, with a one-line `error`, when the module
// cannot be an LV2 plug-in: a pin that can be no port, no identifier, no audio output.
bool DescribePlugin(const se_host::ModuleTexts& texts, const std::vector<se_host::PinInfo>& pins,
                    bool audio_inputs, PluginDescription* plugin, std::string* error);

// The bundle's manifest.ttl for the plug-in `uri`: its binary (the bridge) and its plugin.ttl.
std::string ManifestTurtle(const std::string& uri);

}  // namespace modhost
