// ELF and PE parsing for the validator's file checks (see library_tables.h). Every read goes
// through Bytes, which answers 0 past the end of the file and remembers that it did, so a field
// pointing anywhere at all cannot take the validator outside the buffer.
#include "host/modhost/io/library_tables.h"

#include <algorithm>
#include <cstdio>

namespace modhost {

namespace {

// Counts beyond these are not tables of a real library but garbage; refusing them bounds the
// work on a hostile file.
const uint64_t kMaxTableEntries = 1u << 20;
const size_t kMaxNameLength = 4096;

class Bytes {
 public:
  explicit Bytes(const std::string& bytes) : bytes_(bytes) {}

  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  uint64_t Get(uint64_t offset, int width) {
    if (!Has(offset, static_cast<uint64_t>(width))) {
      out_of_bounds_ = true;
      return 0;
    }
    uint64_t value = 0;
    for (int byte = width - 1; byte >= 0; --byte) {
      value = (value << 8) | static_cast<uint8_t>(bytes_[offset + byte]);
    }
    return value;
  }
  uint8_t U8(uint64_t offset) { return static_cast<uint8_t>(Get(offset, 1)); }
  uint16_t U16(uint64_t offset) { return static_cast<uint16_t>(Get(offset, 2)); }
  uint32_t U32(uint64_t offset) { return static_cast<uint32_t>(Get(offset, 4)); }
  uint64_t U64(uint64_t offset) { return Get(offset, 8); }
  // A word of the file's address width.
  uint64_t Address(uint64_t offset, bool wide) { return wide ? U64(offset) : U32(offset); }

  // The zero-terminated text at `offset`; false when it runs off the file or is too long.
  bool Text(uint64_t offset, std::string* text) {
    text->clear();
    for (uint64_t at = offset; at < bytes_.size(); ++at) {
      if (bytes_[at] == 0) return true;
      if (text->size() >= kMaxNameLength) return false;
      text->push_back(bytes_[at]);
    }
    return false;
  }

  bool out_of_bounds() const { return out_of_bounds_; }
  uint64_t size() const { return bytes_.size(); }

 private:
  const std::string& bytes_;
  bool out_of_bounds_ = false;
};

// ---- ELF ----------------------------------------------------------------------------------------

const uint16_t kElfTypeShared = 3;
const uint32_t kSectionDynsym = 11;
const uint32_t kSectionDynamic = 6;
const int64_t kDynamicNeeded = 1;
const uint16_t kSectionUndefined = 0;
const uint16_t kSectionReservedLow = 0xFF00;
const uint16_t kSectionAbsolute = 0xFFF1;

struct ElfSection {
  uint32_t type;
  uint64_t offset;
  uint64_t size;
  uint32_t link;
  uint64_t entry_size;
};

bool ReadElfSections(Bytes& bytes, bool wide, std::vector<ElfSection>* sections,
                     std::string* error) {
  const uint64_t table = wide ? bytes.U64(40) : bytes.U32(32);
  const uint16_t entry_size = bytes.U16(wide ? 58 : 46);
  uint64_t count = bytes.U16(wide ? 60 : 48);
  if (table == 0) {
    *error = "the file has no section headers, so its dynamic symbols cannot be listed";
    return false;
  }
  const uint16_t expected_size = wide ? 64 : 40;
  if (entry_size != expected_size) {
    *error = "section headers of an unexpected size";
    return false;
  }
  // More sections than fit the 16-bit field: the real count is in the first header's size.
  if (count == 0) count = wide ? bytes.U64(table + 32) : bytes.U32(table + 20);
  if (count > kMaxTableEntries || !bytes.Has(table, count * entry_size)) {
    *error = "the section header table lies outside the file";
    return false;
  }
  for (uint64_t index = 0; index < count; ++index) {
    const uint64_t header = table + index * entry_size;
    ElfSection section;
    section.type = bytes.U32(header + 4);
    section.offset = wide ? bytes.U64(header + 24) : bytes.U32(header + 16);
    section.size = wide ? bytes.U64(header + 32) : bytes.U32(header + 20);
    section.link = bytes.U32(header + (wide ? 40 : 24));
    section.entry_size = wide ? bytes.U64(header + 56) : bytes.U32(header + 36);
    sections->push_back(section);
  }
  return true;
}

// The string table a section links to, checked to lie inside the file.
const ElfSection* LinkedStrings(const std::vector<ElfSection>& sections, const ElfSection& owner,
                                Bytes& bytes) {
  if (owner.link >= sections.size()) return nullptr;
  const ElfSection& strings = sections[owner.link];
  return bytes.Has(strings.offset, strings.size) ? &strings : nullptr;
}

bool ElfName(Bytes& bytes, const ElfSection& strings, uint64_t name_offset, std::string* name) {
  if (name_offset >= strings.size) return false;
  return bytes.Text(strings.offset + name_offset, name);
}

void ReadElfExports(Bytes& bytes, bool wide, const std::vector<ElfSection>& sections,
                    BinaryInfo* info) {
  const uint64_t symbol_size = wide ? 24 : 16;
  bool found = false;
  for (const ElfSection& section : sections) {
    if (section.type != kSectionDynsym) continue;
    found = true;
    const ElfSection* strings = LinkedStrings(sections, section, bytes);
    const uint64_t count = section.size / symbol_size;
    if (!strings || count > kMaxTableEntries || !bytes.Has(section.offset, count * symbol_size)) {
      info->error = "the dynamic symbol table lies outside the file";
      return;
    }
    for (uint64_t index = 1; index < count; ++index) {
      const uint64_t symbol = section.offset + index * symbol_size;
      const uint32_t name_offset = bytes.U32(symbol);
      const uint8_t symbol_info = bytes.U8(symbol + (wide ? 4 : 12));
      const uint8_t other = bytes.U8(symbol + (wide ? 5 : 13));
      const uint16_t section_index = bytes.U16(symbol + (wide ? 6 : 14));
      const int binding = symbol_info >> 4;
      const int type = symbol_info & 0xF;
      const int visibility = other & 0x3;
      // Global, weak and GNU-unique symbols with default or protected visibility are what another
      // object can bind to; local and hidden ones stay inside the library.
      const bool global = binding == 1 || binding == 2 || binding == 10;
      const bool visible = visibility == 0 || visibility == 3;
      const bool defined =
          section_index != kSectionUndefined &&
          (section_index < kSectionReservedLow || section_index == kSectionAbsolute);
      if (!global || !visible || !defined) continue;
      ExportedSymbol exported;
      if (!ElfName(bytes, *strings, name_offset, &exported.name)) {
        info->error = "a dynamic symbol's name lies outside its string table";
        return;
      }
      exported.is_function = type == 2 || type == 10;
      info->exports.push_back(exported);
    }
  }
  if (!found) info->error = "the file has no dynamic symbol table";
}

void ReadElfNeeded(Bytes& bytes, bool wide, const std::vector<ElfSection>& sections,
                   BinaryInfo* info) {
  const uint64_t entry_size = wide ? 16 : 8;
  for (const ElfSection& section : sections) {
    if (section.type != kSectionDynamic) continue;
    const ElfSection* strings = LinkedStrings(sections, section, bytes);
    const uint64_t count = section.size / entry_size;
    if (!strings || count > kMaxTableEntries || !bytes.Has(section.offset, count * entry_size)) {
      info->error = "the dynamic section lies outside the file";
      return;
    }
    for (uint64_t index = 0; index < count; ++index) {
      const uint64_t entry = section.offset + index * entry_size;
      const int64_t tag =
          wide ? static_cast<int64_t>(bytes.U64(entry)) : static_cast<int32_t>(bytes.U32(entry));
      if (tag == 0) break;
      if (tag != kDynamicNeeded) continue;
      std::string name;
      if (!ElfName(bytes, *strings, bytes.Address(entry + (wide ? 8 : 4), wide), &name)) {
        info->error = "a needed library's name lies outside its string table";
        return;
      }
      info->imports.push_back(name);
    }
  }
}

void InspectElf(Bytes& bytes, BinaryInfo* info) {
  info->format = BinaryFormat::kElf;
  const uint8_t elf_class = bytes.U8(4);
  const uint8_t data = bytes.U8(5);
  if (elf_class != 1 && elf_class != 2) {
    info->error = "unknown ELF class";
    return;
  }
  const bool wide = elf_class == 2;
  info->address_bits = wide ? 64 : 32;
  if (data != 1) {
    info->error = "a big-endian ELF file";
    return;
  }
  info->shared_library = bytes.U16(16) == kElfTypeShared;
  info->machine = bytes.U16(18);
  if (bytes.out_of_bounds()) {
    info->error = "the ELF header is cut short";
    return;
  }
  std::vector<ElfSection> sections;
  if (!ReadElfSections(bytes, wide, &sections, &info->error)) return;
  ReadElfExports(bytes, wide, sections, info);
  if (info->error.empty()) ReadElfNeeded(bytes, wide, sections, info);
}

// ---- PE -----------------------------------------------------------------------------------------

const uint16_t kPeCharacteristicDll = 0x2000;
const uint32_t kSectionExecutable = 0x20000000;
const uint16_t kPe32Magic = 0x10B;
const uint16_t kPe32PlusMagic = 0x20B;
const int kExportDirectory = 0;
const int kImportDirectory = 1;
const int kDelayImportDirectory = 13;

struct PeSection {
  uint32_t virtual_address;
  uint32_t virtual_size;
  uint32_t raw_offset;
  uint32_t raw_size;
  uint32_t characteristics;
};

struct PeImage {
  std::vector<PeSection> sections;
  uint32_t header_size = 0;
  uint32_t directory_rva[16] = {};
  uint32_t directory_size[16] = {};
};

// The file offset of a relative virtual address, or false when no part of the file holds it.
bool RvaToOffset(const PeImage& image, uint32_t rva, uint64_t* offset) {
  for (const PeSection& section : image.sections) {
    const uint32_t span = std::max(section.virtual_size, section.raw_size);
    if (rva >= section.virtual_address && rva - section.virtual_address < span) {
      const uint32_t into = rva - section.virtual_address;
      if (into >= section.raw_size) return false;
      *offset = static_cast<uint64_t>(section.raw_offset) + into;
      return true;
    }
  }
  if (rva < image.header_size) {
    *offset = rva;
    return true;
  }
  return false;
}

bool InExecutableSection(const PeImage& image, uint32_t rva) {
  for (const PeSection& section : image.sections) {
    const uint32_t span = std::max(section.virtual_size, section.raw_size);
    if (rva >= section.virtual_address && rva - section.virtual_address < span) {
      return (section.characteristics & kSectionExecutable) != 0;
    }
  }
  return false;
}

bool PeText(Bytes& bytes, const PeImage& image, uint32_t rva, std::string* text) {
  uint64_t offset = 0;
  return RvaToOffset(image, rva, &offset) && bytes.Text(offset, text);
}

void ReadPeExports(Bytes& bytes, const PeImage& image, BinaryInfo* info) {
  const uint32_t directory_rva = image.directory_rva[kExportDirectory];
  const uint32_t directory_size = image.directory_size[kExportDirectory];
  if (directory_rva == 0) return;
  uint64_t directory = 0;
  if (!RvaToOffset(image, directory_rva, &directory) || !bytes.Has(directory, 40)) {
    info->error = "the export directory lies outside the file";
    return;
  }
  const uint32_t base = bytes.U32(directory + 16);
  const uint32_t function_count = bytes.U32(directory + 20);
  const uint32_t name_count = bytes.U32(directory + 24);
  uint64_t functions = 0;
  uint64_t names = 0;
  uint64_t ordinals = 0;
  if (function_count > kMaxTableEntries || name_count > kMaxTableEntries) {
    info->error = "the export directory claims an impossible number of exports";
    return;
  }
  if ((function_count > 0 && !RvaToOffset(image, bytes.U32(directory + 28), &functions)) ||
      (name_count > 0 && (!RvaToOffset(image, bytes.U32(directory + 32), &names) ||
                          !RvaToOffset(image, bytes.U32(directory + 36), &ordinals))) ||
      !bytes.Has(functions, 4ull * function_count) || !bytes.Has(names, 4ull * name_count) ||
      !bytes.Has(ordinals, 2ull * name_count)) {
    info->error = "the export tables lie outside the file";
    return;
  }
  // A function whose address lies inside the export directory is a forwarder to another DLL.
  auto is_function = [&](uint32_t rva) {
    const bool forwarder = rva >= directory_rva && rva - directory_rva < directory_size;
    return !forwarder && InExecutableSection(image, rva);
  };
  std::vector<bool> named(function_count, false);
  for (uint32_t index = 0; index < name_count; ++index) {
    ExportedSymbol exported;
    if (!PeText(bytes, image, bytes.U32(names + 4ull * index), &exported.name)) {
      info->error = "an export's name lies outside the file";
      return;
    }
    const uint16_t slot = bytes.U16(ordinals + 2ull * index);
    exported.is_function = slot < function_count && is_function(bytes.U32(functions + 4ull * slot));
    if (slot < function_count) named[slot] = true;
    info->exports.push_back(exported);
  }
  for (uint32_t slot = 0; slot < function_count; ++slot) {
    const uint32_t rva = bytes.U32(functions + 4ull * slot);
    if (named[slot] || rva == 0) continue;
    info->exports.push_back(
        {"#" + std::to_string(static_cast<uint64_t>(base) + slot), is_function(rva)});
  }
}

// Both kinds of import descriptor are a zero-terminated array with the DLL's name at a fixed
// place in each entry.
void ReadPeImportNames(Bytes& bytes, const PeImage& image, int directory_index,
                       uint32_t descriptor_size, uint32_t name_field, BinaryInfo* info) {
  const uint32_t directory_rva = image.directory_rva[directory_index];
  if (directory_rva == 0) return;
  uint64_t descriptor = 0;
  if (!RvaToOffset(image, directory_rva, &descriptor)) {
    info->error = "an import directory lies outside the file";
    return;
  }
  for (uint64_t count = 0; count < kMaxTableEntries; ++count, descriptor += descriptor_size) {
    if (!bytes.Has(descriptor, descriptor_size)) {
      info->error = "an import directory runs off the end of the file";
      return;
    }
    const uint32_t name_rva = bytes.U32(descriptor + name_field);
    if (name_rva == 0) return;
    std::string name;
    if (!PeText(bytes, image, name_rva, &name)) {
      info->error = "an imported DLL's name lies outside the file";
      return;
    }
    info->imports.push_back(name);
  }
}

void InspectPe(Bytes& bytes, BinaryInfo* info) {
  info->format = BinaryFormat::kPe;
  const uint32_t pe_header = bytes.U32(0x3C);
  if (bytes.U32(pe_header) != 0x00004550) {
    info->error = "an MZ file without a PE header";
    return;
  }
  const uint64_t coff = pe_header + 4ull;
  info->machine = bytes.U16(coff);
  const uint16_t section_count = bytes.U16(coff + 2);
  const uint16_t optional_size = bytes.U16(coff + 16);
  info->shared_library = (bytes.U16(coff + 18) & kPeCharacteristicDll) != 0;
  const uint64_t optional = coff + 20;
  const uint16_t magic = bytes.U16(optional);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    info->error = "an unknown PE optional header";
    return;
  }
  const bool wide = magic == kPe32PlusMagic;
  info->address_bits = wide ? 64 : 32;

  PeImage image;
  image.header_size = bytes.U32(optional + 60);
  const uint64_t directories = optional + (wide ? 112 : 96);
  const uint32_t directory_count = std::min<uint32_t>(bytes.U32(optional + (wide ? 108 : 92)), 16);
  for (uint32_t index = 0; index < directory_count; ++index) {
    if (directories + 8ull * index + 8 > optional + optional_size) break;
    image.directory_rva[index] = bytes.U32(directories + 8ull * index);
    image.directory_size[index] = bytes.U32(directories + 8ull * index + 4);
  }
  const uint64_t section_table = optional + optional_size;
  if (!bytes.Has(section_table, 40ull * section_count)) {
    info->error = "the section table lies outside the file";
    return;
  }
  for (uint16_t index = 0; index < section_count; ++index) {
    const uint64_t header = section_table + 40ull * index;
    image.sections.push_back({bytes.U32(header + 12), bytes.U32(header + 8), bytes.U32(header + 20),
                              bytes.U32(header + 16), bytes.U32(header + 36)});
  }
  if (bytes.out_of_bounds()) {
    info->error = "the PE headers are cut short";
    return;
  }
  ReadPeExports(bytes, image, info);
  if (!info->error.empty()) return;
  ReadPeImportNames(bytes, image, kImportDirectory, 20, 12, info);
  if (!info->error.empty()) return;
  ReadPeImportNames(bytes, image, kDelayImportDirectory, 32, 4, info);
}

std::string MachineName(BinaryFormat format, uint32_t machine) {
  if (format == BinaryFormat::kElf) {
    if (machine == 3) return "i386";
    if (machine == 62) return "x86-64";
    if (machine == 183) return "AArch64";
    if (machine == 40) return "ARM";
  } else if (format == BinaryFormat::kPe) {
    if (machine == 0x14C) return "i386";
    if (machine == 0x8664) return "x86-64";
    if (machine == 0xAA64) return "AArch64";
  }
  char text[32];
  std::snprintf(text, sizeof text, "machine 0x%X", static_cast<unsigned>(machine));
  return text;
}

}  // namespace

BinaryInfo InspectBinary(const std::string& data) {
  BinaryInfo info;
  Bytes bytes(data);
  if (data.compare(0, 4,
                   "\x7F"
                   "ELF") == 0) {
    InspectElf(bytes, &info);
  } else if (data.compare(0, 2, "MZ") == 0) {
    InspectPe(bytes, &info);
  } else {
    info.error = "neither an ELF nor a PE file";
  }
  return info;
}

std::string DescribeBinaryKind(const BinaryInfo& info) {
  if (info.format == BinaryFormat::kUnknown) return "not a library";
  std::string text = std::to_string(info.address_bits) + "-bit " +
                     MachineName(info.format, info.machine) +
                     (info.format == BinaryFormat::kElf ? " ELF " : " PE ");
  text += info.shared_library ? "shared library" : "executable";
  return text;
}

bool MatchesHostKind(const BinaryInfo& info) {
#if defined(_WIN32)
  const BinaryFormat format = BinaryFormat::kPe;
#if defined(_WIN64)
  const uint32_t machine = 0x8664;
#else
  const uint32_t machine = 0x14C;
#endif
#else
  const BinaryFormat format = BinaryFormat::kElf;
#if defined(__x86_64__)
  const uint32_t machine = 62;
#elif defined(__i386__)
  const uint32_t machine = 3;
#elif defined(__aarch64__)
  const uint32_t machine = 183;
#else
  const uint32_t machine = 0;
#endif
#endif
  return info.format == format && info.machine == machine &&
         info.address_bits == static_cast<int>(sizeof(void*) * 8) && info.shared_library;
}

std::string HostBinaryKind() {
  BinaryInfo host;
#if defined(_WIN32)
  host.format = BinaryFormat::kPe;
  host.machine = sizeof(void*) == 8 ? 0x8664 : 0x14C;
#else
  host.format = BinaryFormat::kElf;
#if defined(__x86_64__)
  host.machine = 62;
#elif defined(__i386__)
  host.machine = 3;
#elif defined(__aarch64__)
  host.machine = 183;
#endif
#endif
  host.address_bits = static_cast<int>(sizeof(void*) * 8);
  host.shared_library = true;
  return DescribeBinaryKind(host);
}

}  // namespace modhost
