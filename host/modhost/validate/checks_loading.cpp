// Checks of the library as a file and as something the loader takes: its format, its exports
// and imports, read from its bytes before any of its code runs (loading already runs its static
// constructors), and then loading it and calling `main`. `load` is the gate to every check that
// drives the module.
#include <cstddef>
#include <string>
#include <vector>

#include "host/modhost/io/allowed_imports.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/library_tables.h"
#include "host/modhost/io/text.h"
#include "host/modhost/run/library_kind.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"

namespace modhost {
namespace validation {

namespace {

bool ReadBinary(CheckContext& context, BinaryInfo* info) {
  std::string bytes;
  std::string error;
  context.Step("reading the file");
  if (!ReadWholeFile(context.library_path(), &bytes, &error)) context.Abort(error);
  *info = InspectBinary(bytes);
  return true;
}

void CheckFileFormat(CheckContext& context) {
  BinaryInfo info;
  ReadBinary(context, &info);
  if (info.format == BinaryFormat::kUnknown) {
    context.Fail("the file is not a library: " + info.error);
    return;
  }
  if (!MatchesHostKind(info)) {
    context.Fail("the file is a " + DescribeBinaryKind(info) + "; this host loads a " +
                 HostBinaryKind());
  } else {
    context.Note(DescribeBinaryKind(info));
  }
  if (!info.error.empty()) context.Fail("its tables cannot be read: " + info.error);
}

void CheckFileExports(CheckContext& context) {
  BinaryInfo info;
  ReadBinary(context, &info);
  if (!info.error.empty()) {
    context.Fail("the export table cannot be read: " + info.error);
    return;
  }
  bool has_main = false;
  std::vector<std::string> others;
  for (const ExportedSymbol& exported : info.exports) {
    if (exported.name == "main") {
      has_main = true;
      if (!exported.is_function) context.Fail("the export `main` is not a function");
    } else {
      others.push_back(exported.name);
    }
  }
  if (!has_main) context.Fail("the library does not export `main`");
  if (!others.empty()) {
    std::string names;
    for (size_t index = 0; index < others.size() && index < 20; ++index) {
      names += (index ? ", " : "") + others[index];
    }
    if (others.size() > 20) names += ", ...";
    context.Fail("the library exports " + std::to_string(others.size()) +
                 " symbols besides `main`: " + names);
  }
}

void CheckFileImports(CheckContext& context) {
  BinaryInfo info;
  ReadBinary(context, &info);
  if (!info.error.empty()) {
    context.Fail("the import tables cannot be read: " + info.error);
    return;
  }
  std::string all;
  for (const std::string& name : info.imports) {
    all += (all.empty() ? "" : ", ") + name;
    if (!IsAllowedImport(info.format, name)) {
      context.Fail("the library needs " + name +
                   ", which is not among the libraries a module may " + "import (" +
                   AllowedImportsText(info.format) + ")");
    }
  }
  context.Note(all.empty() ? "imports nothing" : "imports " + all);
}

// ---- Loading ------------------------------------------------------------------------------------

void CheckLoad(CheckContext& context) {
  context.Step("loading the library");
  auto library = std::make_shared<se_host::PluginLibrary>();
  if (!library->Load(context.library_path())) {
    context.report().stage = library->error() == se_host::LibraryError::kNoEntry
                                 ? LoadStage::kNoMain
                                 : LoadStage::kCannotLoad;
    context.Fail(std::string(se_host::LibraryErrorName(library->error())) + ": " +
                 ExplainLoadFailure(context.library_path(), *library));
    return;
  }
  context.Step("calling main");
  se_host::CreateResult created = se_host::HostedModule::Create(library);
  if (!created.module) {
    context.report().stage = LoadStage::kBadRecord;
    context.Fail(std::string("main gives no usable record (") +
                 se_host::CreateErrorName(created.error) + "): " + created.error_text);
    return;
  }
  context.report().stage = LoadStage::kLoaded;
  context.Step("closing the first instance");
  created.module->Close();
}

}  // namespace

std::vector<CheckDefinition> LoadingChecks() {
  return {
      {"file-format", CheckKind::kFile,
       "the file is a shared library of the kind this host loads (format, width, machine)",
       CheckFileFormat, 1},
      {"file-exports", CheckKind::kFile, "the library exports the function `main` and nothing else",
       CheckFileExports, 1},
      {"file-imports", CheckKind::kFile,
       "the library imports nothing but the system's and the language run-time's libraries",
       CheckFileImports, 2},
      {"load", CheckKind::kLoad,
       "the library loads, exports `main`, and `main` gives a record with the magic and entries",
       CheckLoad, 1},
  };
}

}  // namespace validation
}  // namespace modhost
