// Which libraries a module library may import. The table is one file,
// tests/exports/allowed_imports.txt, which the export test reads too; its text is compiled into
// modhost when the build is configured, so that validate and the export test cannot disagree on
// a library. The file says what is allowed and why.
#pragma once

#include <string>
#include <vector>

#include "host/modhost/io/library_tables.h"

namespace modhost {

// One entry of the table: a name, in lower case, for libraries of one format; with `prefix` it
// stands for every name that starts with it (the file's trailing '*').
struct AllowedImport {
  BinaryFormat format;
  std::string name;
  bool prefix;
};

// Reads a table in the file's form: "# comments", blank lines, and "<pe|elf> <name>" lines. A line
// of another kind is no entry, as the export test ignores it.
std::vector<AllowedImport> ParseAllowedImports(const std::string& text);

// The table compiled in.
const std::vector<AllowedImport>& AllowedImports();

// Whether a library of `format` may import `name` (in any case) by `table`.
bool IsAllowedImport(BinaryFormat format, const std::string& name,
                     const std::vector<AllowedImport>& table = AllowedImports());

// The entries for `format` as the file writes them, for messages: "kernel32.dll, msvcrt.dll".
std::string AllowedImportsText(BinaryFormat format);

}  // namespace modhost
