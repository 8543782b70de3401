// Escaping and cutting quoted text (see text.h).
#include "host/modhost/io/text.h"

#include <cstdarg>
#include <cstdio>

namespace modhost {

size_t Utf8Length(const std::string& text, size_t position) {
  const unsigned char first = static_cast<unsigned char>(text[position]);
  size_t length = 0;
  unsigned minimum = 0;
  unsigned value = 0;
  if (first < 0x80) return 1;
  if ((first & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, value = first & 0x1F;
  } else if ((first & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, value = first & 0x0F;
  } else if ((first & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, value = first & 0x07;
  } else {
    return 0;
  }
  if (position + length > text.size()) return 0;
  for (size_t index = 1; index < length; ++index) {
    const unsigned char next = static_cast<unsigned char>(text[position + index]);
    if ((next & 0xC0) != 0x80) return 0;
    value = value << 6 | (next & 0x3F);
  }
  // Over-long forms, UTF-16 surrogates and values past Unicode are no characters.
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

namespace {

void AppendHex(std::string* out, unsigned char byte) {
  static const char kHex[] = "0123456789abcdef";
  *out += "\\x";
  *out += kHex[byte >> 4];
  *out += kHex[byte & 0xF];
}

// Escapes the characters of `text` from the start until `limit` characters are written; returns
// the number of bytes consumed.
size_t EscapeInto(const std::string& text, size_t limit, std::string* out) {
  size_t position = 0;
  size_t characters = 0;
  while (position < text.size() && characters < limit) {
    const unsigned char byte = static_cast<unsigned char>(text[position]);
    const size_t length = Utf8Length(text, position);
    if (byte == '\n') {
      *out += "\\n";
    } else if (byte == '\r') {
      *out += "\\r";
    } else if (byte == '\t') {
      *out += "\\t";
    } else if (length == 0 || byte < 0x20 || byte == 0x7F) {
      AppendHex(out, byte);
    } else {
      out->append(text, position, length);
      position += length;
      ++characters;
      continue;
    }
    ++position;
    ++characters;
  }
  return position;
}

}  // namespace

std::string EscapeControlCharacters(const std::string& text) {
  std::string escaped;
  EscapeInto(text, text.size(), &escaped);
  return escaped;
}

std::string Excerpt(const std::string& text, size_t limit) {
  std::string excerpt;
  const size_t consumed = EscapeInto(text, limit, &excerpt);
  if (consumed < text.size()) excerpt += "... (" + std::to_string(text.size()) + " bytes)";
  return excerpt;
}

std::string Quote(const std::string& text, size_t limit) {
  std::string quoted = "'";
  const size_t consumed = EscapeInto(text, limit, &quoted);
  quoted += "'";
  if (consumed < text.size()) quoted += "... (" + std::to_string(text.size()) + " bytes)";
  return quoted;
}

TextPosition PositionOf(const std::string& text, size_t offset) {
  TextPosition position;
  for (size_t index = 0; index < offset && index < text.size();) {
    if (text[index] == '\n') {
      ++position.line;
      position.column = 1;
      ++index;
      continue;
    }
    const size_t length = Utf8Length(text, index);
    index += length == 0 ? 1 : length;
    ++position.column;
  }
  return position;
}

std::string DoubleQuoted(const std::string& text) {
  std::string marked;
  for (char character : text) {
    if (character == '"' || character == '\\') marked += '\\';
    marked += character;
  }
  return "\"" + EscapeControlCharacters(marked) + "\"";
}

std::string Trim(const std::string& text) {
  const char* const blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
  for (char& character : text) {
    if (character >= 'A' && character <= 'Z') character = static_cast<char>(character - 'A' + 'a');
  }
  return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, arguments);
  va_end(arguments);
  text.pop_back();
  return text;
}

std::string EscapeXml(const std::string& text) {
  std::string escaped;
  for (size_t position = 0; position < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[position]);
    const size_t length = Utf8Length(text, position);
    if (length > 1) {
      escaped.append(text, position, length);
      position += length;
      continue;
    }
    switch (byte) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&apos;";
        break;
      default:
        if (length == 0 || (byte < 0x20 && byte != '\n' && byte != '\t')) {
          escaped += '?';
        } else {
          escaped += static_cast<char>(byte);
        }
    }
    ++position;
  }
  return escaped;
}

std::string IndentLines(const std::string& text, const std::string& indent) {
  std::string lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines += indent;
    lines.append(text, start, end - start);
    lines += '\n';
    start = end + 1;
  }
  return lines;
}

std::string ShellQuoted(const std::string& text) {
  if (text.find_first_of(" '\"\\$`!*?()[]{}<>|&;#~") == std::string::npos && !text.empty()) {
    return text;
  }
  std::string quoted = "'";
  for (char character : text)
    quoted += character == '\'' ? std::string("'\\''") : std::string(1, character);
  return quoted + "'";
}

}  // namespace modhost
