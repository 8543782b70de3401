// What a user can say about a module's inputs on the command line or in an automation file, and
// how that becomes a plan of buffers and events for one render.
//
// Parsing is kept apart from rendering so that every rule about the text (time syntax, enumerated
// items, pin names, volts) can be tested without loading a library or writing a file. Nothing
// here prints: every function that can fail returns false and puts one line, fit for the user, in
// *error.
//
// The syntax, as `modhost render --help` documents it:
//   TIME            "44100" (a sample number), "1.5s" (seconds) or "250ms" (milliseconds), counted
//                   from the first sample of the render; seconds are rounded to the nearest sample.
//   NAME=VALUE      a pin and its value: volts for audio pins, an item's label or value for
//                   enumerated pins, a whole number (or true/false) for other control pins.
//   TIME:NAME=VALUE a change of one pin at one time (--at, and each line of an automation file).
//   NAME=FROM:TO    a linear ramp of an audio input over the whole render, in volts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_core.h"
#include "host/modhost/io/text.h"

namespace modhost {

// ---- Values ------------------------------------------------------------------------------------

// One item of an enumerated pin: what the host shows and the value it sends.
struct EnumItem {
  std::string label;
  int32_t value;
};

// Reads an enumerated pin's item list: comma-separated labels counting from 0 ("A,B,C" gives 0, 1,
// 2). An item "label=value" gives its value explicitly and the items after it count on from there
// ("1=1,2,3" gives labels 1, 2, 3 with values 1, 2, 3). Spaces around a label are dropped; an item
// whose text after its last '=' is not a whole number is all label. Empty text gives no items.
std::vector<EnumItem> ParseEnumItems(const std::string& extra);

// Finds the value that `text` names on an enumerated pin: an item's label first (exactly, then
// ignoring case), then a number that is one of the items' values. A pin without items takes any
// 16-bit number.
bool ResolveEnumValue(const std::vector<EnumItem>& items, const std::string& text, int32_t* value,
                      std::string* error);

// A finite decimal number of volts, nothing before or after it.
bool ParseVolts(const std::string& text, double* volts, std::string* error);

// A whole decimal number within [minimum, maximum], nothing before or after it.
bool ParseWholeNumber(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value,
                      std::string* error);

// A finite number of seconds, not negative.
bool ParseSeconds(const std::string& text, double* seconds, std::string* error);

// A sample time: "N" samples, "Xs" seconds or "Xms" milliseconds, not negative.
bool ParseTime(const std::string& text, double sample_rate, int64_t* sample, std::string* error);

// ---- Changes -----------------------------------------------------------------------------------

// NAME=VALUE, split at the first '='. Both sides are trimmed; neither may be empty.
struct Assignment {
  std::string pin;
  std::string value;
};
bool ParseAssignment(const std::string& text, Assignment* assignment, std::string* error);

// TIME:NAME=VALUE. `origin` says where it was written, for messages ("--at 1s:Pitch=6",
// "moves.txt:12"); ParseTimedAssignment keeps the origin that the caller put in *change.
struct TimedAssignment {
  int64_t sample = 0;
  Assignment assignment;
  std::string origin;
};
bool ParseTimedAssignment(const std::string& text, double sample_rate, TimedAssignment* change,
                          std::string* error);

// NAME=FROM:TO, in volts.
struct Ramp {
  std::string pin;
  double from_volts = 0;
  double to_volts = 0;
};
bool ParseRamp(const std::string& text, Ramp* ramp, std::string* error);

// An automation file's text: one TIME:NAME=VALUE per line, after an optional UTF-8 byte order
// mark. Lines that are empty or whose first non-blank character is '#' are skipped. `source`
// names the file in messages ("moves.txt:12:3: ...", line and column) and origins.
bool ParseAutomation(const std::string& text, const std::string& source, double sample_rate,
                     std::vector<TimedAssignment>* changes, std::string* error);

// ---- The plan of one render --------------------------------------------------------------------

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

// The buffer value of `volts`: 10 V is 1.0.
inline float VoltsToSample(double volts) { return static_cast<float>(volts / 10.0); }

}  // namespace modhost
