// The operating system's loader, behind the little that a host needs of it: open a module library
// by path, find its one export `main`, and unload it again.
//
// This is the only part of the host that knows about dlopen and LoadLibrary. Everything above it
// sees a PluginEntry. Failures come back as a kind (so a tool can give each its own exit status)
// and as the loader's own text (so a person can see why).
#pragma once

#include <string>

#include "se_sdk/se_abi.h"

namespace se_host {

// Why a library could not be used.
enum class LibraryError {
  kNone,        // loaded, and `main` was found
  kCannotLoad,  // the loader refused the file: missing, wrong architecture, unresolved imports...
  kNoEntry,     // the library loaded but exports no `main`
};

// A short lower-case name for `error` ("cannot load", "no main"), for messages.
const char* LibraryErrorName(LibraryError error);

#if defined(_WIN32)
// UTF-8 as UTF-16, for the wide Windows calls that take any name whatever the code page.
std::wstring Utf16FromUtf8(const std::string& text);
#endif

// One loaded module library. Owns the loader's handle: destroying or reassigning the object
// unloads the library, so it must outlive every module created from its entry.
class PluginLibrary {
 public:
  PluginLibrary() = default;
  ~PluginLibrary();
  PluginLibrary(PluginLibrary&& other) noexcept;
  PluginLibrary& operator=(PluginLibrary&& other) noexcept;
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Loads the library at `path` and looks up its export `main`, first unloading any library this
  // object held. Returns true when both succeeded. On failure nothing stays loaded, and error()
  // and error_text() tell why. All imports are resolved at load time, so a library with a
  // missing dependency fails here rather than in the middle of a render.
  // On Windows a path rooted at '/' that the loader cannot find is tried again on drive Z:, where
  // Wine shows the Unix file system, so build paths work unchanged under Wine.
  bool Load(const std::string& path);

  // Unloads the library, if one is loaded, and forgets the entry. Every module created from it
  // must have been closed before, since their code goes away with the library.
  void Unload();

  // Whether a library is loaded (and so `main` was found).
  bool loaded() const { return handle_ != nullptr; }

  // The library's `main`, or null when nothing is loaded.
  PluginEntry entry() const { return entry_; }

  // The kind of the last Load's failure, kNone after a success.
  LibraryError error() const { return error_; }

  // The loader's explanation of the last failure (dlerror, or the formatted GetLastError), with
  // the path; empty after a success.
  const std::string& error_text() const { return error_text_; }

  // The path given to the last Load.
  const std::string& path() const { return path_; }

 private:
  void* handle_ = nullptr;
  PluginEntry entry_ = nullptr;
  LibraryError error_ = LibraryError::kNone;
  std::string error_text_;
  std::string path_;
};

}  // namespace se_host
