// How what the user asked for (automation.h) becomes the plan of one render: each audio input's
// buffer contents, each control pin's starting value and its changes as pin-update events, and
// the output channels. The plan is made before any sample is rendered, so that every mistake is
// found first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/modhost/render/automation.h"

namespace modhost {

// ---- The plan of one render ---------------------------------------------------------------------

// Everything the user asked for, parsed but not yet matched to pins.
struct UserControls {
  std::vector<Assignment> sets;          // --set
  std::vector<TimedAssignment> changes;  // --at, then the automation files' lines
  std::vector<Ramp> ramps;               // --ramp
  std::vector<Assignment> inputs;        // --input NAME=FILE
};

// A step of an audio input: from `sample` on it holds `volts`.
struct AudioStep {
  int64_t sample;
  double volts;
};

// How the host fills the buffer of one audio input. Before the first step the buffer holds the
// base signal: the file if there is one, else the ramp if there is one, else the constant.
struct AudioInputPlan {
  int32_t pin = 0;
  std::string name;
  double volts = 0;  // the constant: the pin's default or --set
  bool ramped = false;
  double ramp_from_volts = 0;
  double ramp_to_volts = 0;
  std::string file;              // empty unless --input
  std::vector<AudioStep> steps;  // by time; of equal times the last given wins
};

// A pin update the host sends to a control pin (type 0, status 0) before the block that holds
// `sample`.
struct PinEvent {
  int64_t sample;
  int32_t pin;
  int32_t value;
};

struct ControlPlan {
  std::vector<AudioInputPlan> audio_inputs;
  std::vector<int32_t> outputs;       // audio output pins, one channel each, in pin order
  std::vector<PinEvent> events;       // by time, each control pin's starting value first
  std::vector<std::string> warnings;  // defaults the host could not read, and the like
};

// Matches the user's controls to the module's pins. Every input gets its default from its default
// text unless the user set it; enumerated, boolean and integer pins get their starting value as an
// event at sample 0. Fails on an unknown pin, a value the pin cannot take, a change at or after
// `total_samples`, a pin given two base signals (--set, --ramp, --input), a ramp or file on a pin
// that is not an audio input, or a module with no audio output.
bool PlanControls(const std::vector<se_host::PinInfo>& pins, const UserControls& controls,
                  int64_t total_samples, ControlPlan* plan, std::string* error);

// The volts of a ramp at `sample` of a render of `total_samples`: `from` at the first sample, `to`
// at the last.
double RampVolts(double from_volts, double to_volts, int64_t sample, int64_t total_samples);

}  // namespace modhost
