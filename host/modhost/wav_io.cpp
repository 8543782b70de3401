// WAV input and output for the render command (see wav_io.h). POSIX only, like the command.
#include "host/modhost/wav_io.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace modhost {

namespace {

SNDFILE* AsSndfile(void* file) { return static_cast<SNDFILE*>(file); }

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

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BaseNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---- WavWriter ---------------------------------------------------------------------------------

WavWriter::~WavWriter() { Abandon(); }

bool WavWriter::Open(const std::string& path, int channels, int sample_rate, std::string* error) {
  Abandon();
  path_ = path;
  struct stat existing;
  if (path.empty() || path.back() == '/') {
    *error = "cannot write '" + path + "': not a file name";
    return false;
  }
  if (stat(path.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) {
      *error = "cannot write '" + path + "': it is a folder";
      return false;
    }
    if (access(path.c_str(), W_OK) != 0) {
      *error = "cannot write '" + path + "': " + std::strerror(errno);
      return false;
    }
  }

  // A fresh name beside the output, so that the rename stays within one file system.
  int descriptor = -1;
  for (int attempt = 0; attempt < 100 && descriptor < 0; ++attempt) {
    temporary_path_ = FolderOf(path) + "." + BaseNameOf(path) + "." +
                      std::to_string(static_cast<long>(getpid())) + "-" + std::to_string(attempt) +
                      ".part";
    descriptor = open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (descriptor < 0 && errno != EEXIST) break;
  }
  if (descriptor < 0) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    temporary_path_.clear();
    return false;
  }
  GuardTemporaryFile(temporary_path_);

  SF_INFO info = {};
  info.samplerate = sample_rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  descriptor_ = descriptor;
  SNDFILE* file = sf_open_fd(descriptor, SFM_WRITE, &info, SF_FALSE);
  if (!file) {
    *error = "cannot write '" + path + "': " + sf_strerror(nullptr);
    Abandon();
    return false;
  }
  file_ = file;
  return true;
}

bool WavWriter::Write(const float* interleaved, int64_t frames, std::string* error) {
  if (!file_) {
    *error = "cannot write '" + path_ + "': the file is not open";
    return false;
  }
  const sf_count_t written = sf_writef_float(AsSndfile(file_), interleaved, frames);
  if (written != frames) {
    *error = "cannot write '" + path_ + "': " + sf_strerror(AsSndfile(file_));
    return false;
  }
  return true;
}

bool WavWriter::Commit(std::string* error) {
  if (!file_) {
    *error = "cannot write '" + path_ + "': the file is not open";
    return false;
  }
  const int close_error = sf_close(AsSndfile(file_));
  file_ = nullptr;
  const int descriptor_error = close(descriptor_) == 0 ? 0 : errno;
  descriptor_ = -1;
  if (close_error != 0 || descriptor_error != 0) {
    *error = "cannot write '" + path_ + "': " +
             (close_error != 0 ? sf_error_number(close_error) : std::strerror(descriptor_error));
    Abandon();
    return false;
  }
  if (std::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
    *error = "cannot write '" + path_ + "': " + std::strerror(errno);
    Abandon();
    return false;
  }
  temporary_path_.clear();
  ReleaseTemporaryFile();
  return true;
}

void WavWriter::Abandon() {
  if (file_) sf_close(AsSndfile(file_));
  file_ = nullptr;
  if (descriptor_ >= 0) close(descriptor_);
  descriptor_ = -1;
  if (!temporary_path_.empty()) {
    unlink(temporary_path_.c_str());
    temporary_path_.clear();
    ReleaseTemporaryFile();
  }
}

// ---- WavReader ---------------------------------------------------------------------------------

WavReader::~WavReader() {
  if (file_) sf_close(AsSndfile(file_));
}

bool WavReader::Open(const std::string& path, int sample_rate, std::string* error) {
  SF_INFO info = {};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    *error = "cannot read '" + path + "': " + sf_strerror(nullptr);
    return false;
  }
  if (info.channels != 1 || info.samplerate != sample_rate) {
    *error = "'" + path + "' has " + std::to_string(info.channels) +
             (info.channels == 1 ? " channel" : " channels") + " at " +
             std::to_string(info.samplerate) + " Hz; expected 1 channel at " +
             std::to_string(sample_rate) + " Hz (the render's --rate)";
    sf_close(file);
    return false;
  }
  if (file_) sf_close(AsSndfile(file_));
  file_ = file;
  frames_ = info.frames;
  ended_ = false;
  return true;
}

void WavReader::Read(float* samples, int64_t frames) {
  int64_t filled = 0;
  if (file_ && !ended_) {
    filled = sf_readf_float(AsSndfile(file_), samples, frames);
    if (filled < frames) ended_ = true;
  }
  std::fill(samples + std::max<int64_t>(filled, 0), samples + frames, 0.0f);
}

}  // namespace modhost
