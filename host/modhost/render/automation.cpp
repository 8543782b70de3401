// The input language of `modhost render` (see automation.h).
#include "host/modhost/render/automation.h"

#include <cmath>

#include "host/modhost/io/text.h"

namespace modhost {

bool ParseSeconds(const std::string& text, double* seconds, std::string* error) {
  double parsed = 0;
  if (!ParseDecimal(Trim(text), &parsed) || parsed < 0) {
    *error = Quote(text) + " is not a number of seconds";
    return false;
  }
  *seconds = parsed;
  return true;
}

bool ParseTime(const std::string& text, double sample_rate, int64_t* sample, std::string* error) {
  const std::string trimmed = Trim(text);
  // Far beyond any render (the host's clock is 32 bits), small enough to stay exact in a double.
  const double kLatestSample = 1e15;
  double seconds = 0;
  std::string number_text;
  double unit = 0;
  if (EndsWith(trimmed, "ms")) {
    number_text = trimmed.substr(0, trimmed.size() - 2);
    unit = 0.001;
  } else if (EndsWith(trimmed, "s")) {
    number_text = trimmed.substr(0, trimmed.size() - 1);
    unit = 1.0;
  }
  if (unit != 0) {
    if (!ParseDecimal(number_text, &seconds) || seconds < 0) {
      *error = Quote(text) + " is not a time (write 44100 for a sample, 1.5s or 250ms)";
      return false;
    }
    const double exact_sample = seconds * unit * sample_rate;
    if (exact_sample > kLatestSample) {
      *error = Quote(text) + " is too late a time";
      return false;
    }
    *sample = std::llround(exact_sample);
    return true;
  }
  int64_t number = 0;
  if (!ParseWholeNumber(trimmed, 0, static_cast<int64_t>(kLatestSample), &number, error)) {
    *error = Quote(text) +
             " is not a time (write a whole sample number such as 44100, or 1.5s or 250ms)";
    return false;
  }
  *sample = number;
  return true;
}

// ---- Changes ------------------------------------------------------------------------------------

bool ParseAssignment(const std::string& text, Assignment* assignment, std::string* error) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) {
    *error = Quote(text) + " is not NAME=VALUE";
    return false;
  }
  Assignment parsed{Trim(text.substr(0, equals)), Trim(text.substr(equals + 1))};
  if (parsed.pin.empty()) {
    *error = Quote(text) + " names no pin before '='";
    return false;
  }
  if (parsed.value.empty()) {
    *error = Quote(text) + " gives no value after '='";
    return false;
  }
  *assignment = parsed;
  return true;
}

bool ParseTimedAssignment(const std::string& text, double sample_rate, TimedAssignment* change,
                          std::string* error) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    *error = Quote(text) + " is not TIME:NAME=VALUE";
    return false;
  }
  TimedAssignment parsed;
  if (!ParseTime(text.substr(0, colon), sample_rate, &parsed.sample, error)) return false;
  if (!ParseAssignment(text.substr(colon + 1), &parsed.assignment, error)) return false;
  parsed.origin = change->origin;
  *change = parsed;
  return true;
}

bool ParseRamp(const std::string& text, Ramp* ramp, std::string* error) {
  Assignment assignment;
  if (!ParseAssignment(text, &assignment, error)) return false;
  // The first ':' splits, so both ends may carry a sign: "In=20:-20".
  const size_t colon = assignment.value.find(':');
  if (colon == std::string::npos) {
    *error = Quote(text) + " is not NAME=FROM:TO";
    return false;
  }
  Ramp parsed;
  parsed.pin = assignment.pin;
  if (!ParseVolts(assignment.value.substr(0, colon), &parsed.from_volts, error) ||
      !ParseVolts(assignment.value.substr(colon + 1), &parsed.to_volts, error)) {
    return false;
  }
  *ramp = parsed;
  return true;
}

bool ParseAutomation(const std::string& text, const std::string& source, double sample_rate,
                     std::vector<TimedAssignment>* changes, std::string* error) {
  std::vector<TimedAssignment> parsed;
  // Editors on Windows like to start UTF-8 files with a byte order mark.
  static const char kByteOrderMark[] = "\xEF\xBB\xBF";
  size_t start = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
  int line_number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string raw = text.substr(start, end - start);
    const std::string line = Trim(raw);
    start = end + 1;
    ++line_number;
    if (line.empty() || line[0] == '#') continue;
    // Messages point at the change's NAME=VALUE, or at its time when that is what is wrong.
    const size_t first = raw.find_first_not_of(" \t\r");
    const size_t colon = raw.find(':', first);
    const size_t assignment =
        colon == std::string::npos ? first : raw.find_first_not_of(" \t", colon + 1);
    auto where = [&](size_t offset) {
      return source + ":" + std::to_string(line_number) + ":" +
             std::to_string(
                 PositionOf(raw, offset == std::string::npos ? raw.size() : offset).column);
    };
    TimedAssignment change;
    change.origin = where(assignment);
    std::string problem;
    if (!ParseTimedAssignment(line, sample_rate, &change, &problem)) {
      int64_t sample = 0;
      std::string ignored;
      const bool time_is_right =
          colon != std::string::npos &&
          ParseTime(Trim(raw.substr(first, colon - first)), sample_rate, &sample, &ignored);
      *error = where(time_is_right ? assignment : first) + ": " + problem;
      return false;
    }
    parsed.push_back(change);
  }
  changes->insert(changes->end(), parsed.begin(), parsed.end());
  return true;
}

}  // namespace modhost
