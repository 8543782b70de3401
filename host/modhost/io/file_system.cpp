// Paths in UTF-8 on Linux and Windows (see file_system.h).
#include "host/modhost/io/file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>

#include "host/plugin_library.h"
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace modhost {

#if defined(_WIN32)

std::wstring Widen(const std::string& text) { return se_host::Utf16FromUtf8(text); }

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length,
                      nullptr, nullptr);
  return narrow;
}

bool RunningUnderWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

std::string SystemPath(const std::string& path) {
  if (RunningUnderWine() && path.size() > 1 && path[0] == '/' && path[1] != '/') {
    return "Z:" + path;
  }
  return path;
}

PathKind KindOfPath(const std::string& path) {
  const std::wstring wide = Widen(SystemPath(path));
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return PathKind::kDirectory;
  }
  // Devices (NUL, CON) and named pipes are told apart by what an open handle is.
  HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return attributes == INVALID_FILE_ATTRIBUTES ? PathKind::kMissing : PathKind::kRegular;
  }
  const DWORD type = GetFileType(handle);
  CloseHandle(handle);
  if (type == FILE_TYPE_CHAR) return PathKind::kCharacterDevice;
  if (type == FILE_TYPE_PIPE) return PathKind::kFifo;
  if (type == FILE_TYPE_DISK) return PathKind::kRegular;
  return PathKind::kOther;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return _wfopen(Widen(SystemPath(path)).c_str(), Widen(mode).c_str());
}

std::string ProgramPath() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
  return Narrow(path);
}

#else

std::string SystemPath(const std::string& path) { return path; }

PathKind KindOfPath(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return PathKind::kMissing;
  if (S_ISREG(status.st_mode)) return PathKind::kRegular;
  if (S_ISDIR(status.st_mode)) return PathKind::kDirectory;
  if (S_ISCHR(status.st_mode)) return PathKind::kCharacterDevice;
  if (S_ISFIFO(status.st_mode)) return PathKind::kFifo;
  return PathKind::kOther;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

std::string ProgramPath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "/proc/self/exe";
  return std::string(path, static_cast<size_t>(length));
}

#endif

namespace {

bool IsSeparator(char character) { return character == '/' || character == '\\'; }

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  const PathKind kind = KindOfPath(path);
  if (kind == PathKind::kDirectory) {
    *error = "cannot read '" + path + "': it is a folder";
    return false;
  }
  std::FILE* file = OpenFile(path, "rb");
  if (!file) {
    *error = "cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  bytes->clear();
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes->append(buffer, got);
  }
  const bool failed = std::ferror(file) != 0;
  const int read_error = errno;
  std::fclose(file);
  if (failed) {
    *error = "cannot read '" + path + "': " + std::strerror(read_error);
    return false;
  }
  return true;
}

bool ReadFileStart(const std::string& path, size_t limit, std::string* bytes) {
  std::FILE* file = OpenFile(path, "rb");
  if (!file) return false;
  bytes->assign(limit, '\0');
  const size_t got = std::fread(&(*bytes)[0], 1, limit, file);
  bytes->resize(got);
  std::fclose(file);
  return true;
}

std::string FolderOf(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && !IsSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

std::string BaseNameOf(const std::string& path) { return path.substr(FolderOf(path).size()); }

bool ListFolder(const std::string& path, std::vector<std::string>* names, std::string* error) {
  names->clear();
#if defined(_WIN32)
  WIN32_FIND_DATAW found;
  const std::wstring pattern = Widen(JoinPath(SystemPath(path), "*"));
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    *error = "cannot read the folder '" + path + "': error " + std::to_string(GetLastError());
    return false;
  }
  do {
    const std::string name = Narrow(found.cFileName);
    if (name != "." && name != "..") names->push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
#else
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) {
    *error = "cannot read the folder '" + path + "': " + std::strerror(errno);
    return false;
  }
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(folder);
#endif
  std::sort(names->begin(), names->end());
  return true;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return IsSeparator(folder.back()) ? folder + name : folder + "/" + name;
}

std::string ProgramFolder() { return FolderOf(ProgramPath()); }

bool HasFolder(const std::string& path) {
  return path.find('/') != std::string::npos || path.find('\\') != std::string::npos ||
         path.find(':') != std::string::npos;
}

}  // namespace modhost
