// Reading the table of allowed imports (see allowed_imports.h).
#include "host/modhost/io/allowed_imports.h"

#include <sstream>

#include "host/modhost/io/text.h"

namespace modhost {

namespace {

// The text of tests/exports/allowed_imports.txt, as the build found it.
const char kCompiledTable[] =
#include "host/modhost/io/allowed_imports.inc"
    ;

}  // namespace

std::vector<AllowedImport> ParseAllowedImports(const std::string& text) {
  std::vector<AllowedImport> table;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t comment = line.find('#');
    if (comment != std::string::npos) line.erase(comment);
    std::istringstream words(line);
    std::string kind;
    std::string name;
    if (!(words >> kind >> name)) continue;
    AllowedImport entry;
    if (kind == "pe") {
      entry.format = BinaryFormat::kPe;
    } else if (kind == "elf") {
      entry.format = BinaryFormat::kElf;
    } else {
      continue;
    }
    entry.prefix = EndsWith(name, "*");
    if (entry.prefix) name.pop_back();
    entry.name = Lower(name);
    table.push_back(entry);
  }
  return table;
}

const std::vector<AllowedImport>& AllowedImports() {
  static const std::vector<AllowedImport> kTable = ParseAllowedImports(kCompiledTable);
  return kTable;
}

bool IsAllowedImport(BinaryFormat format, const std::string& name,
                     const std::vector<AllowedImport>& table) {
  const std::string lower = Lower(name);
  for (const AllowedImport& entry : table) {
    if (entry.format != format) continue;
    if (entry.prefix ? StartsWith(lower, entry.name) : lower == entry.name) return true;
  }
  return false;
}

std::string AllowedImportsText(BinaryFormat format) {
  std::string text;
  for (const AllowedImport& entry : AllowedImports()) {
    if (entry.format != format) continue;
    text += (text.empty() ? "" : ", ") + entry.name + (entry.prefix ? "*" : "");
  }
  return text;
}

}  // namespace modhost
