// What a user can say about a module's inputs on the command line or in an automation file
// (control_plan.h turns it into a plan of buffers and events for one render).
//
// Parsing is kept apart from rendering so that every rule about the text (time syntax, pin
// names, volts) can be tested without loading a library or writing a file. Nothing here prints:
// every function that can fail returns false and puts one line, fit for the user, in *error.
// Values themselves (volts, an enumerated pin's items) are read as pin_values.h says.
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

#include "host/modhost/run/pin_values.h"

namespace modhost {

// ---- Times --------------------------------------------------------------------------------------

// A finite number of seconds, not negative.
bool ParseSeconds(const std::string& text, double* seconds, std::string* error);

// A sample time: "N" samples, "Xs" seconds or "Xms" milliseconds, not negative.
bool ParseTime(const std::string& text, double sample_rate, int64_t* sample, std::string* error);

// ---- Changes ------------------------------------------------------------------------------------

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

}  // namespace modhost
