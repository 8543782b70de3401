// modhost's string helpers, in one place so that every part words and reads text alike.
//
// Text from outside (a value typed by the user, a line of a file, a module's pin name, the bytes
// of a file) is quoted in modhost's messages so that every message stays one readable line:
// control characters and bytes that are not UTF-8 are written as escapes, and a long text is cut.
// Two quotings, for two kinds of text: what the user typed goes in single quotes and is cut
// (Quote), since the user knows it already; what a module said goes in double quotes and whole
// (DoubleQuoted), since it may be all the user learns of it.
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

// `text` whole in double quotes, with '"' and '\' escaped by a backslash and everything else as
// EscapeControlCharacters writes it: "Pitch", "a\"b\n\x01".
std::string DoubleQuoted(const std::string& text);

// The 1-based line and column (counted in characters) of byte `offset` in `text`.
struct TextPosition {
  size_t line = 1;
  size_t column = 1;
};
TextPosition PositionOf(const std::string& text, size_t offset);

// `text` without the blanks (space, tab, carriage return, line feed) at either end.
std::string Trim(const std::string& text);

// `text` as one word for a POSIX shell: as it is when nothing in it is special, else in single
// quotes.
std::string ShellQuoted(const std::string& text);

// Each line of `text` after `indent`, each ending in a line feed (a block of lines in a report).
std::string IndentLines(const std::string& text, const std::string& indent);

// `text` with the ASCII capitals in lower case; other bytes stay as they are, so that names
// compare alike whatever the locale.
std::string Lower(std::string text);

bool StartsWith(const std::string& text, const std::string& prefix);
bool EndsWith(const std::string& text, const std::string& suffix);

// printf into a string of any length; the C locale of a command-line program keeps '.' as the
// decimal point, which SVG, JSON and Turtle require. The compiler checks the arguments against
// the format as glibc and mingw's own printf read it (clang knows it as plain printf).
#if defined(__clang__)
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#endif

// Text for an XML attribute or element (an SVG's labels, a JUnit report): the five markup
// characters as entities, and control characters other than line feed and tab, and bytes that
// are not UTF-8 (a file name can hold any), as '?', which XML 1.0 cannot hold as they are.
std::string EscapeXml(const std::string& text);

}  // namespace modhost
