// What kind of file a library is, read from its first bytes before any loader sees it, and the
// reason a load failed in words a user can act on: the wrong architecture (naming both), not a
// library at all, a missing dependency (naming it), no `main`. The loaders' own texts say "No such
// file or directory" for a library of another architecture, and Windows' says "Bad EXE format for
// %1."; these are the words modhost puts in their place.
#pragma once

#include <string>

#include "host/modhost/io/library_tables.h"
#include "host/plugin_library.h"

namespace modhost {

// Reads the header of the file at `path` into `info` (format, address width, machine; tables
// only as far as the first bytes reach). False, with a one-line `problem` ("it is a folder",
// "no such file", "it is not a library: ..."), when there is no library there at all.
bool InspectLibraryFile(const std::string& path, BinaryInfo* info, std::string* problem);

// Why `library` failed to load `path`, in one line without the path.
std::string ExplainLoadFailure(const std::string& path, const se_host::PluginLibrary& library);

// The path to hand the loader: a bare name means the file in the current folder, never a search
// of the system's library path.
std::string LoadablePath(const std::string& path);

}  // namespace modhost
