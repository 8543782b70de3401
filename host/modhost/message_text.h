// Text from outside (a value typed by the user, a line of a file, a module's pin name, the bytes
// of a file) quoted in modhost's messages, so that every message stays one readable line: control
// characters and bytes that are not UTF-8 are written as escapes, and a long text is cut.
#pragma once

#include <cstddef>
#include <string>

namespace modhost {

// Quoted texts are cut after this many characters.
inline constexpr size_t kQuoteLimit = 80;

// The length in bytes of the valid UTF-8 character that starts at byte `position` of `text`, or 0
// when none starts there (a stray byte, an over-long form, a surrogate).
size_t Utf8Length(const std::string& text, size_t position);

// `text` with its control characters written as escapes (\n, \t, \x1b...) and every byte that is
// not part of a valid UTF-8 character as \xNN.
std::string EscapeControlCharacters(const std::string& text);

// EscapeControlCharacters of at most the first `limit` characters of `text`, followed by
// "... (N bytes)" when it was cut.
std::string Excerpt(const std::string& text, size_t limit = kQuoteLimit);

// `text` in single quotes, escaped and cut as Excerpt does, the length outside the quotes:
// 'abc...xyz'... (10000000 bytes).
std::string Quote(const std::string& text, size_t limit = kQuoteLimit);

// The 1-based line and column (counted in characters) of byte `offset` in `text`.
struct TextPosition {
  size_t line = 1;
  size_t column = 1;
};
TextPosition PositionOf(const std::string& text, size_t offset);

}  // namespace modhost
