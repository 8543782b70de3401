// Both loaders in one file, so that the rest of the host never includes an operating-system
// header. The Windows half is what the real host does; the POSIX half lets the same host run the
// Linux builds of the modules.
#include "host/plugin_library.h"

#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace se_host {

namespace {

const char kEntryName[] = "main";

#if defined(_WIN32)

std::string FormatWindowsError(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = "error " + std::to_string(code);
  if (length != 0 && text != nullptr) {
    std::string explanation(text, length);
    while (!explanation.empty() && (explanation.back() == '\n' || explanation.back() == '\r' ||
                                    explanation.back() == ' ')) {
      explanation.pop_back();
    }
    message += ": " + explanation;
  }
  if (text != nullptr) LocalFree(text);
  return message;
}

// The loader wants backslashes; build systems and Wine users hand us forward slashes.
std::string WithBackslashes(std::string path) {
  for (char& character : path) {
    if (character == '/') character = '\\';
  }
  return path;
}

// A failing load must come back as an error code, never as a dialog box waiting for a click.
HMODULE LoadQuietly(const std::string& path) {
  DWORD previous_mode = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode);
  HMODULE handle = LoadLibraryW(Utf16FromUtf8(path).c_str());
  const DWORD error = GetLastError();
  SetThreadErrorMode(previous_mode, nullptr);
  SetLastError(error);
  return handle;
}

void* OpenLibrary(const std::string& path, std::string* error_text) {
  HMODULE handle = LoadQuietly(WithBackslashes(path));
  DWORD error = handle ? 0 : GetLastError();
  const bool unix_rooted = path.size() > 1 && path[0] == '/' && path[1] != '/';
  if (!handle && unix_rooted) {
    handle = LoadQuietly(WithBackslashes("Z:" + path));
    if (!handle) error = GetLastError();
  }
  if (!handle) *error_text = path + ": " + FormatWindowsError(error);
  return handle;
}

void* FindEntry(void* handle, const std::string& path, std::string* error_text) {
  FARPROC symbol = GetProcAddress(static_cast<HMODULE>(handle), kEntryName);
  if (!symbol) *error_text = path + ": no export 'main': " + FormatWindowsError(GetLastError());
  return reinterpret_cast<void*>(symbol);
}

void CloseLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

#else

std::string TakeDlerror() {
  const char* text = dlerror();
  return text ? text : "unknown loader error";
}

void* OpenLibrary(const std::string& path, std::string* error_text) {
  // RTLD_LOCAL keeps two module libraries from resolving each other's symbols.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) *error_text = TakeDlerror();
  return handle;
}

void* FindEntry(void* handle, const std::string& path, std::string* error_text) {
  dlerror();
  void* symbol = dlsym(handle, kEntryName);
  if (!symbol) *error_text = path + ": no export 'main': " + TakeDlerror();
  return symbol;
}

void CloseLibrary(void* handle) { dlclose(handle); }

#endif

}  // namespace

#if defined(_WIN32)
std::wstring Utf16FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}
#endif

const char* LibraryErrorName(LibraryError error) {
  switch (error) {
    case LibraryError::kNone:
      return "none";
    case LibraryError::kCannotLoad:
      return "cannot load";
    case LibraryError::kNoEntry:
      return "no main";
  }
  return "unknown";
}

PluginLibrary::~PluginLibrary() { Unload(); }

PluginLibrary::PluginLibrary(PluginLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      entry_(std::exchange(other.entry_, nullptr)),
      error_(other.error_),
      error_text_(std::move(other.error_text_)),
      path_(std::move(other.path_)) {}

PluginLibrary& PluginLibrary::operator=(PluginLibrary&& other) noexcept {
  if (this != &other) {
    Unload();
    handle_ = std::exchange(other.handle_, nullptr);
    entry_ = std::exchange(other.entry_, nullptr);
    error_ = other.error_;
    error_text_ = std::move(other.error_text_);
    path_ = std::move(other.path_);
  }
  return *this;
}

bool PluginLibrary::Load(const std::string& path) {
  Unload();
  path_ = path;
  error_ = LibraryError::kNone;
  error_text_.clear();

  void* handle = OpenLibrary(path, &error_text_);
  if (!handle) {
    error_ = LibraryError::kCannotLoad;
    return false;
  }
  void* symbol = FindEntry(handle, path, &error_text_);
  if (!symbol) {
    CloseLibrary(handle);
    error_ = LibraryError::kNoEntry;
    return false;
  }
  handle_ = handle;
  // Object and function pointers share one representation on every target we build for.
  entry_ = reinterpret_cast<PluginEntry>(symbol);
  return true;
}

void PluginLibrary::Unload() {
  if (handle_) CloseLibrary(handle_);
  handle_ = nullptr;
  entry_ = nullptr;
}

}  // namespace se_host
