// Reading numbers, volts and pin texts (see pin_values.h).
#include "host/modhost/run/pin_values.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "host/modhost/io/text.h"
#include "se_sdk/abi_names.h"

namespace modhost {

namespace {

bool IsDigit(char character) { return character >= '0' && character <= '9'; }

// [+-]digits, at least one digit.
bool IsWholeNumberText(const std::string& text) {
  size_t position = 0;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) ++position;
  if (position == text.size()) return false;
  for (; position < text.size(); ++position) {
    if (!IsDigit(text[position])) return false;
  }
  return true;
}

// [+-]digits[.digits] or [+-].digits, then an optional exponent e[+-]digits.
bool IsDecimalText(const std::string& text) {
  size_t position = 0;
  if (position < text.size() && (text[position] == '+' || text[position] == '-')) ++position;
  size_t digits = 0;
  while (position < text.size() && IsDigit(text[position])) ++position, ++digits;
  if (position < text.size() && text[position] == '.') {
    ++position;
    while (position < text.size() && IsDigit(text[position])) ++position, ++digits;
  }
  if (digits == 0) return false;
  if (position < text.size() && (text[position] == 'e' || text[position] == 'E')) {
    ++position;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) ++position;
    size_t exponent_digits = 0;
    while (position < text.size() && IsDigit(text[position])) ++position, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return position == text.size();
}

std::string DescribeItems(const std::vector<EnumItem>& items) {
  std::string description;
  for (const EnumItem& item : items) {
    if (!description.empty()) description += ", ";
    description += item.label;
    if (item.label != std::to_string(item.value)) {
      description += " (" + std::to_string(item.value) + ")";
    }
  }
  return description;
}

}  // namespace

// ---- Numbers ------------------------------------------------------------------------------------

bool ParseDecimal(const std::string& text, double* number) {
  if (!IsDecimalText(text)) return false;
  errno = 0;
  const double parsed = std::strtod(text.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(parsed)) return false;
  if (!std::isfinite(parsed)) return false;
  *number = parsed;
  return true;
}

bool ParseVolts(const std::string& text, double* volts, std::string* error) {
  if (ParseDecimal(Trim(text), volts)) return true;
  *error = Quote(text) + " is not a number of volts";
  return false;
}

bool ParseWholeNumber(const std::string& text, int64_t minimum, int64_t maximum, int64_t* value,
                      std::string* error) {
  const std::string trimmed = Trim(text);
  const std::string range = std::to_string(minimum) + " to " + std::to_string(maximum);
  if (!IsWholeNumberText(trimmed)) {
    *error = Quote(text) + " is not a whole number (" + range + ")";
    return false;
  }
  errno = 0;
  const long long parsed = std::strtoll(trimmed.c_str(), nullptr, 10);
  if (errno == ERANGE || parsed < minimum || parsed > maximum) {
    *error = Quote(text) + " is out of range (" + range + ")";
    return false;
  }
  *value = parsed;
  return true;
}

// ---- Enumerated pins ----------------------------------------------------------------------------

std::vector<EnumItem> ParseEnumItems(const std::string& extra) {
  std::vector<EnumItem> items;
  if (extra.empty()) return items;
  int64_t next_value = 0;
  size_t start = 0;
  while (true) {
    const size_t comma = extra.find(',', start);
    const std::string item =
        extra.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    EnumItem parsed{Trim(item), static_cast<int32_t>(next_value)};
    const size_t equals = item.rfind('=');
    if (equals != std::string::npos) {
      const std::string value_text = Trim(item.substr(equals + 1));
      int64_t value = 0;
      std::string ignored;
      if (ParseWholeNumber(value_text, INT16_MIN, INT16_MAX, &value, &ignored)) {
        parsed.label = Trim(item.substr(0, equals));
        parsed.value = static_cast<int32_t>(value);
        next_value = value;
      }
    }
    items.push_back(parsed);
    ++next_value;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return items;
}

bool ResolveEnumValue(const std::vector<EnumItem>& items, const std::string& text, int32_t* value,
                      std::string* error) {
  const std::string wanted = Trim(text);
  for (const EnumItem& item : items) {
    if (item.label == wanted) {
      *value = item.value;
      return true;
    }
  }
  const std::string wanted_lower = Lower(wanted);
  for (const EnumItem& item : items) {
    if (Lower(item.label) == wanted_lower) {
      *value = item.value;
      return true;
    }
  }
  int64_t number = 0;
  std::string ignored;
  if (items.empty()) {
    if (ParseWholeNumber(wanted, INT16_MIN, INT16_MAX, &number, &ignored)) {
      *value = static_cast<int32_t>(number);
      return true;
    }
    *error = Quote(wanted) + " is not a 16-bit whole number (the pin lists no items)";
    return false;
  }
  if (ParseWholeNumber(wanted, INT32_MIN, INT32_MAX, &number, &ignored)) {
    for (const EnumItem& item : items) {
      if (item.value == number) {
        *value = item.value;
        return true;
      }
    }
  }
  *error = Quote(wanted) + " is none of the pin's items: " + DescribeItems(items);
  return false;
}

// ---- A pin's values -----------------------------------------------------------------------------

std::string PinDirectionWord(int32_t direction) {
  const char* name = se_abi_names::PinDirectionName(direction);
  return name ? name : std::to_string(direction);
}

std::string PinDatatypeWord(int32_t datatype) {
  const char* name = se_abi_names::PinDatatypeName(datatype);
  return name ? name : std::to_string(datatype);
}

bool ParseControlValue(const se_host::PinInfo& pin, const std::string& text, int32_t* value,
                       std::string* error) {
  int64_t number = 0;
  switch (static_cast<PinDatatype>(pin.datatype)) {
    case PinDatatype::Enum:
      return ResolveEnumValue(ParseEnumItems(pin.extra), text, value, error);
    case PinDatatype::Bool: {
      const std::string lower = Lower(Trim(text));
      if (lower == "true" || lower == "on" || lower == "yes") {
        *value = 1;
        return true;
      }
      if (lower == "false" || lower == "off" || lower == "no") {
        *value = 0;
        return true;
      }
      if (!ParseWholeNumber(text, INT32_MIN, INT32_MAX, &number, error)) {
        *error = Quote(text) + " is not a truth value (true/false, on/off or a number)";
        return false;
      }
      *value = static_cast<int32_t>(number);
      return true;
    }
    default:
      if (!ParseWholeNumber(text, INT32_MIN, INT32_MAX, &number, error)) return false;
      *value = static_cast<int32_t>(number);
      return true;
  }
}

int32_t DefaultControlValue(const se_host::PinInfo& pin, std::vector<std::string>* warnings) {
  if (Trim(pin.default_value).empty()) return 0;
  int64_t number = 0;
  int32_t value = 0;
  std::string ignored;
  if (ParseWholeNumber(pin.default_value, INT32_MIN, INT32_MAX, &number, &ignored)) {
    return static_cast<int32_t>(number);
  }
  if (ParseControlValue(pin, pin.default_value, &value, &ignored)) return value;
  const std::vector<EnumItem> items = ParseEnumItems(pin.extra);
  const int32_t fallback = pin.datatype == static_cast<int32_t>(PinDatatype::Enum) && !items.empty()
                               ? items[0].value
                               : 0;
  if (!warnings) return fallback;
  warnings->push_back("pin " + Quote(pin.name) + " has the default " + Quote(pin.default_value) +
                      ", which it cannot take; starting it at " + std::to_string(fallback));
  return fallback;
}

double DefaultVolts(const se_host::PinInfo& pin, std::vector<std::string>* warnings) {
  double volts = 0;
  std::string ignored;
  if (Trim(pin.default_value).empty() || ParseVolts(pin.default_value, &volts, &ignored)) {
    return volts;
  }
  if (warnings) {
    warnings->push_back("pin " + Quote(pin.name) + " has the default " + Quote(pin.default_value) +
                        ", which is not a number of volts; starting it at 0 V");
  }
  return 0.0;
}

}  // namespace modhost
