// What a module library shows the operating system's loader before any of its code runs: its file
// format, the names it exports and the libraries it imports, read straight from the file's bytes.
//
// The validator looks at these before it loads a library, because loading already runs code of
// the library (its static constructors) and resolves its imports, and because a library that
// exports more than `main` or needs a DLL that the real host's machine lacks is broken even when
// it happens to load here. No external tool is involved: the ELF dynamic symbol table and needed
// list and the PE export and import directories are parsed here, with every offset checked
// against the file's size, so a truncated or hostile file gives an error text, never a crash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace modhost {

enum class BinaryFormat { kUnknown, kElf, kPe };

// One name in a library's export table.
struct ExportedSymbol {
  std::string name;  // a PE export that has only an ordinal reads "#<ordinal>"
  bool is_function;  // ELF STT_FUNC / STT_GNU_IFUNC; PE: its address lies in executable code
};

struct BinaryInfo {
  BinaryFormat format = BinaryFormat::kUnknown;
  int address_bits = 0;         // 32 or 64
  uint32_t machine = 0;         // ELF e_machine or the PE COFF machine field
  bool shared_library = false;  // ELF ET_DYN, or a PE image marked as a DLL
  std::vector<ExportedSymbol> exports;
  std::vector<std::string> imports;  // ELF DT_NEEDED; PE import and delay-import DLL names
  // Why the header or a table could not be read; empty when everything was read. The fields
  // above hold whatever was read before the problem.
  std::string error;
};

// Parses a whole library file, given as its bytes.
BinaryInfo InspectBinary(const std::string& bytes);

// "64-bit x86-64 ELF shared library", "32-bit i386 PE executable", ... for messages.
std::string DescribeBinaryKind(const BinaryInfo& info);

// Whether this program could load the library: its own format, address width and machine.
bool MatchesHostKind(const BinaryInfo& info);
// The kind of library this program loads, in the words of DescribeBinaryKind.
std::string HostBinaryKind();

// Which of a library's imports it may have: allowed_imports.h.

}  // namespace modhost
