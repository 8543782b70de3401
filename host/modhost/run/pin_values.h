// What the host reads out of text: numbers and volts that the user types, and the texts a module
// gives its pins (default values, the item lists of enumerated pins). `render` and `validate`
// both read a module's pins through these functions, so that the two never take one module's
// texts to mean different things.
//
// Numbers are read with a strict grammar of our own before strtod sees them, so that "nan",
// "0x10", "1e" or "5 V" are refused with a message instead of becoming a surprise.
//
// An enumerated pin's item list ("extra"), as a module developer writes it:
//   - items are separated by commas and count from 0 in list order: "A,B,C" is A = 0, B = 1,
//     C = 2; an empty text has no items, and an empty item is an item with an empty label;
//   - "LABEL=VALUE" gives that item the value VALUE, and the items after it count on from there:
//     "1=1,2,3" is 1 = 1, 2 = 2, 3 = 3; "Low=-1,Mid" is Low = -1, Mid = 0;
//   - VALUE is a whole decimal number, with an optional sign, that an enumerated pin can hold
//     (its 16 bits: -32768 to 32767); blanks around the label and around the value do not count,
//     so " B = 3" is B = 3;
//   - anything else after the last '=' ("A=1.5", "A=0x10", "A=3 V", "A=70000") is no value, and
//     the whole item, blanks around it dropped, is the label: "A=1.5" is an item labelled "A=1.5"
//     that counts on like any other, rather than a value rounded or cut behind the developer's
//     back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_core.h"

namespace modhost {

// ---- Numbers ------------------------------------------------------------------------------------

// A whole decimal number within [minimum, maximum], nothing but blanks before or after it.
bool ParseWholeNumber(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value,
                      std::string* error);

// A finite decimal number, [+-]digits[.digits] or [+-].digits with an optional exponent, nothing
// before or after it (no blanks either).
bool ParseDecimal(const std::string& text, double* number);

// A finite decimal number of volts, blanks around it allowed.
bool ParseVolts(const std::string& text, double* volts, std::string* error);

// The buffer value of `volts`: 10 V is 1.0.
inline float VoltsToSample(double volts) { return static_cast<float>(volts / 10.0); }

// ---- Enumerated pins ----------------------------------------------------------------------------

// One item of an enumerated pin: what the host shows and the value it sends.
struct EnumItem {
  std::string label;
  int32_t value;
};

// The items of an enumerated pin's item list, read as the header describes.
std::vector<EnumItem> ParseEnumItems(const std::string& extra);

// Finds the value that `text` names on an enumerated pin: an item's label first (exactly, then
// ignoring case), then a number that is one of the items' values. A pin without items takes any
// 16-bit number.
bool ResolveEnumValue(const std::vector<EnumItem>& items, const std::string& text, int32_t* value,
                      std::string* error);

// ---- A pin's values -----------------------------------------------------------------------------

// The words modhost prints for a pin's direction and data type ("input", "audio"); a number
// without a name in the binary interface comes back as that number.
std::string PinDirectionWord(int32_t direction);
std::string PinDatatypeWord(int32_t datatype);

// The value an event carries for a control pin from `text`: an item of an enumerated pin
// (ResolveEnumValue), true/false, on/off, yes/no or a number for a Bool pin, a whole number for
// the others.
bool ParseControlValue(const se_host::PinInfo& pin, const std::string& text, int32_t* value,
                       std::string* error);

// A control pin's starting value from its default text: empty is 0; else a whole number, or what
// ParseControlValue makes of it. A module's default is not the user's mistake, so an unreadable
// one gives the first item (or 0) and, when `warnings` is given, a line there.
int32_t DefaultControlValue(const se_host::PinInfo& pin, std::vector<std::string>* warnings);

// An audio input's starting level in volts from its default text: empty is 0 V, and a text that
// is no number of volts gives 0 V and, when `warnings` is given, a line there.
double DefaultVolts(const se_host::PinInfo& pin, std::vector<std::string>* warnings);

}  // namespace modhost
