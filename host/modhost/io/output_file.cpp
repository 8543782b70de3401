// Writing one output file without ever replacing what is not a file (see output_file.h).
#include "host/modhost/io/output_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "host/modhost/io/file_system.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace modhost {

namespace {

// Data is handed to the system in pieces of about this size.
const size_t kBufferSize = 1 << 20;

#if !defined(_WIN32)

// The temporary file to remove if a signal ends the process first. A fixed buffer, because the
// handler may only call async-signal-safe functions (unlink, signal, raise).
char g_doomed_path[4096];
volatile std::sig_atomic_t g_doomed_path_set = 0;
const int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

extern "C" void RemoveDoomedFileAndDie(int signal_number) {
  if (g_doomed_path_set) unlink(g_doomed_path);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void GuardTemporaryFile(const std::string& path) {
  if (path.size() >= sizeof g_doomed_path) return;
  g_doomed_path_set = 0;
  std::memcpy(g_doomed_path, path.c_str(), path.size() + 1);
  g_doomed_path_set = 1;
  for (int signal_number : kFatalSignals) std::signal(signal_number, RemoveDoomedFileAndDie);
}

void ReleaseTemporaryFile() {
  g_doomed_path_set = 0;
  for (int signal_number : kFatalSignals) std::signal(signal_number, SIG_DFL);
}

// Follows `path` through symbolic links to the name that is finally written. A dangling link
// leads to the name it points at, which is then created.
std::string FollowLinks(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat status;
    if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return current;
    char target[4096];
    const ssize_t length = readlink(current.c_str(), target, sizeof target - 1);
    if (length <= 0) return current;
    const std::string pointed(target, static_cast<size_t>(length));
    current = pointed[0] == '/' ? pointed : FolderOf(current) + pointed;
  }
  return current;
}

#endif

}  // namespace

std::string TemporaryName(const std::string& target, unsigned long process, int attempt) {
  return FolderOf(target) + "." + BaseNameOf(target) + "." + std::to_string(process) + "-" +
         std::to_string(attempt) + ".part";
}

OutputFile::~OutputFile() { Abandon(); }

std::string OutputFile::Failure(int error_number) const {
  return "cannot write '" + path_ + "': " + std::strerror(error_number);
}

#if defined(_WIN32)

bool OutputFile::Open(const std::string& path, std::string* error) {
  Abandon();
  path_ = path;
  target_path_ = path;
  streaming_ = false;
  to_standard_output_ = false;
  if (path == "-") {
    handle_ = reinterpret_cast<std::intptr_t>(GetStdHandle(STD_OUTPUT_HANDLE));
    std::fflush(stdout);
    streaming_ = true;
    to_standard_output_ = true;
    open_ = true;
    return true;
  }
  if (path.empty() || path.back() == '/' || path.back() == '\\') {
    *error = "cannot write '" + path + "': not a file name";
    return false;
  }
  const std::wstring wide = Widen(SystemPath(path));
  switch (KindOfPath(path)) {
    case PathKind::kDirectory:
      *error = "cannot write '" + path + "': it is a folder";
      return false;
    case PathKind::kOther:
      *error = "cannot write '" + path + "': it is neither a file, a device nor a pipe";
      return false;
    case PathKind::kCharacterDevice:
    case PathKind::kFifo: {
      HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        *error = "cannot write '" + path + "': error " + std::to_string(GetLastError());
        return false;
      }
      handle_ = reinterpret_cast<std::intptr_t>(handle);
      streaming_ = true;
      open_ = true;
      return true;
    }
    case PathKind::kMissing:
    case PathKind::kRegular:
      break;
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    temporary_path_ = TemporaryName(path, GetCurrentProcessId(), attempt);
    handle = CreateFileW(Widen(SystemPath(temporary_path_)).c_str(), GENERIC_WRITE, 0, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "cannot write '" + path + "': error " + std::to_string(GetLastError());
    temporary_path_.clear();
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
  open_ = true;
  return true;
}

bool OutputFile::WriteThrough(const char* data, size_t size, std::string* error) {
  HANDLE handle = reinterpret_cast<HANDLE>(handle_);
  while (size > 0) {
    const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle, data, piece, &written, nullptr) || written == 0) {
      *error = "cannot write '" + path_ + "': error " + std::to_string(GetLastError());
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

void OutputFile::CloseTarget() {
  if (handle_ != -1 && !to_standard_output_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

bool OutputFile::Finish(std::string* error) {
  CloseTarget();
  open_ = false;
  if (!temporary_path_.empty()) {
    if (!MoveFileExW(Widen(SystemPath(temporary_path_)).c_str(),
                     Widen(SystemPath(target_path_)).c_str(), MOVEFILE_REPLACE_EXISTING)) {
      *error = "cannot write '" + path_ + "': error " + std::to_string(GetLastError());
      Abandon();
      return false;
    }
    temporary_path_.clear();
  }
  return true;
}

void OutputFile::RemoveTemporary() {
  DeleteFileW(Widen(SystemPath(temporary_path_)).c_str());
  temporary_path_.clear();
}

#else

bool OutputFile::Open(const std::string& path, std::string* error) {
  Abandon();
  path_ = path;
  streaming_ = false;
  to_standard_output_ = false;
  if (path == "-") {
    std::fflush(stdout);
    handle_ = STDOUT_FILENO;
    streaming_ = true;
    to_standard_output_ = true;
    open_ = true;
    return true;
  }
  if (path.empty() || path.back() == '/') {
    *error = "cannot write '" + path + "': not a file name";
    return false;
  }
  target_path_ = FollowLinks(path);
  struct stat existing;
  const bool exists = stat(target_path_.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) {
    *error = "cannot write '" + path + "': it is a folder";
    return false;
  }
  if (exists && (S_ISCHR(existing.st_mode) || S_ISFIFO(existing.st_mode))) {
    // Opening a pipe waits for its reader, as a shell's redirection does.
    const int descriptor = open(target_path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
      *error = Failure(errno);
      return false;
    }
    handle_ = descriptor;
    streaming_ = true;
    open_ = true;
    return true;
  }
  if (exists && !S_ISREG(existing.st_mode)) {
    *error = "cannot write '" + path + "': it is neither a file, a device nor a pipe";
    return false;
  }
  if (exists && access(target_path_.c_str(), W_OK) != 0) {
    *error = Failure(errno);
    return false;
  }

  // A fresh name beside the target, so that the rename stays within one file system.
  int descriptor = -1;
  for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt) {
    temporary_path_ = TemporaryName(target_path_, static_cast<unsigned long>(getpid()), attempt);
    descriptor = open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0 && errno != EEXIST) break;
  }
  if (descriptor < 0) {
    *error = Failure(errno);
    temporary_path_.clear();
    return false;
  }
  if (exists) {
    // The file keeps what it was allowed to be, and whose it was.
    if (fchown(descriptor, existing.st_uid, existing.st_gid) != 0) {
      // Only root may give a file away; anyone else's new file is theirs, as with any editor.
    }
    fchmod(descriptor, existing.st_mode & 07777);
  }
  GuardTemporaryFile(temporary_path_);
  handle_ = descriptor;
  open_ = true;
  return true;
}

bool OutputFile::WriteThrough(const char* data, size_t size, std::string* error) {
  while (size > 0) {
    const ssize_t written = write(static_cast<int>(handle_), data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      *error = Failure(written < 0 ? errno : EIO);
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

void OutputFile::CloseTarget() {
  if (handle_ >= 0 && !to_standard_output_) close(static_cast<int>(handle_));
  handle_ = -1;
}

bool OutputFile::Finish(std::string* error) {
  const int descriptor = static_cast<int>(handle_);
  handle_ = -1;
  open_ = false;
  if (!to_standard_output_ && close(descriptor) != 0) {
    *error = Failure(errno);
    Abandon();
    return false;
  }
  if (!temporary_path_.empty()) {
    if (std::rename(temporary_path_.c_str(), target_path_.c_str()) != 0) {
      *error = Failure(errno);
      Abandon();
      return false;
    }
    temporary_path_.clear();
    ReleaseTemporaryFile();
  }
  return true;
}

void OutputFile::RemoveTemporary() {
  unlink(temporary_path_.c_str());
  temporary_path_.clear();
  ReleaseTemporaryFile();
}

#endif

bool OutputFile::Commit(std::string* error) {
  if (!open_) {
    *error = "cannot write '" + path_ + "': the file is not open";
    return false;
  }
  if (!Flush(error)) {
    Abandon();
    return false;
  }
  return Finish(error);
}

void OutputFile::Abandon() {
  CloseTarget();
  open_ = false;
  buffer_.clear();
  if (!temporary_path_.empty()) RemoveTemporary();
}

bool OutputFile::Write(const void* data, size_t size, std::string* error) {
  if (!open_) {
    *error = "cannot write '" + path_ + "': the file is not open";
    return false;
  }
  const char* bytes = static_cast<const char*>(data);
  if (buffer_.size() + size < kBufferSize) {
    buffer_.append(bytes, size);
    return true;
  }
  return Flush(error) && WriteThrough(bytes, size, error);
}

bool OutputFile::Flush(std::string* error) {
  if (buffer_.empty()) return true;
  const bool written = WriteThrough(buffer_.data(), buffer_.size(), error);
  buffer_.clear();
  return written;
}

}  // namespace modhost
