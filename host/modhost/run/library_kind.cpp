// Library kinds and load failures explained (see library_kind.h).
#include "host/modhost/run/library_kind.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/modhost/io/file_system.h"
#include "host/modhost/io/text.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace modhost {

namespace {

// Enough for every header field InspectBinary reads to tell the kind.
const size_t kHeaderBytes = 64 * 1024;

std::string NotALibrary(const std::string& start) {
  if (start.empty()) return "it is not a library: the file is empty";
  const std::string first(start.begin(), start.begin() + std::min<size_t>(start.size(), 16));
  return "it is not a library (neither ELF nor PE): it starts with \"" + Excerpt(first, 16) + "\"";
}

#if defined(_WIN32)
// The first DLL among the library's imports that the loader cannot find.
std::string MissingImport(const std::string& path) {
  std::string bytes;
  std::string error;
  if (!ReadWholeFile(path, &bytes, &error)) return std::string();
  const BinaryInfo info = InspectBinary(bytes);
  for (const std::string& name : info.imports) {
    HMODULE found = LoadLibraryExW(Widen(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (found == nullptr) return name;
    FreeLibrary(found);
  }
  return std::string();
}
#else
// "libfoo.so.1" out of dlerror's "libfoo.so.1: cannot open shared object file: ...".
std::string MissingDependency(const std::string& text, const std::string& path) {
  const std::string marker = ": cannot open shared object file";
  const size_t at = text.find(marker);
  if (at == std::string::npos) return std::string();
  std::string name = text.substr(0, at);
  const size_t colon = name.rfind(": ");
  if (colon != std::string::npos) name = name.substr(colon + 2);
  return name == path ? std::string() : name;
}
#endif

}  // namespace

bool InspectLibraryFile(const std::string& path, BinaryInfo* info, std::string* problem) {
  switch (KindOfPath(path)) {
    case PathKind::kMissing:
      *problem = std::strerror(ENOENT);
      return false;
    case PathKind::kDirectory:
      *problem = "it is a folder";
      return false;
    case PathKind::kRegular:
      break;
    default:
      *problem = "it is not a file";
      return false;
  }
  std::string start;
  if (!ReadFileStart(path, kHeaderBytes, &start)) {
    *problem = std::strerror(errno);
    return false;
  }
  *info = InspectBinary(start);
  if (info->format == BinaryFormat::kUnknown) {
    *problem = NotALibrary(start);
    return false;
  }
  return true;
}

std::string ExplainLoadFailure(const std::string& path, const se_host::PluginLibrary& library) {
  if (library.error() == se_host::LibraryError::kNoEntry) {
    return "it exports no 'main', so it is not a module library";
  }
  BinaryInfo info;
  std::string problem;
  if (!InspectLibraryFile(path, &info, &problem)) return problem;
  if (!MatchesHostKind(info)) {
    return "it is a " + DescribeBinaryKind(info) + ", and this modhost loads a " + HostBinaryKind();
  }
  const std::string& text = library.error_text();
#if defined(_WIN32)
  if (text.find("error 126:") != std::string::npos) {
    const std::string missing = MissingImport(path);
    if (!missing.empty()) return "it needs " + Excerpt(missing) + ", which is not found";
  }
  if (text.find("error 127:") != std::string::npos) {
    return "a function it imports is missing from the DLL that should have it";
  }
  if (text.find("error 193:") != std::string::npos) {
    return "it is damaged: the loader does not take it as a Windows library";
  }
#else
  const std::string missing = MissingDependency(text, LoadablePath(path));
  if (!missing.empty()) return "it needs " + Excerpt(missing) + ", which is not found";
  const size_t undefined = text.find("undefined symbol: ");
  if (undefined != std::string::npos) {
    return "it needs the symbol " + Excerpt(text.substr(undefined + 18)) +
           ", which none of the libraries it loads provides";
  }
#endif
  // The loader's text often starts with the path; the message names the path already.
  const std::string prefix = LoadablePath(path) + ": ";
  return Excerpt(text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text,
                 200);
}

std::string LoadablePath(const std::string& path) { return HasFolder(path) ? path : "./" + path; }

}  // namespace modhost
