// The one way modhost writes a file (a rendered WAV, a plot, any later output), so that every
// command treats what already stands under the name the same way:
//
//   - a new name or an ordinary file: the data goes to a temporary file beside it, renamed over
//     the name only once complete, so the name never holds a partial file; a file that was there
//     keeps its permission bits;
//   - a symbolic link: the same for what it points at; the link itself stays;
//   - a character device, a named pipe, or "-" (standard output): the data is streamed straight
//     into it, as a shell's redirection would, with no temporary file and no rename (a device
//     is never replaced by a file);
//   - a folder or anything else: refused before anything is written.
//
// A process that a signal ends while a temporary file exists removes that file first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace modhost {

// The name of a temporary file (or folder) beside `target` for process `process`, try `attempt`:
// ".NAME.PID-ATTEMPT.part" in the target's folder, hidden, and on the same file system, so that
// renaming it into place is one step.
std::string TemporaryName(const std::string& target, unsigned long process, int attempt);

class OutputFile {
 public:
  OutputFile() = default;
  // Abandons the output unless Commit succeeded.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Prepares to write `path`. False, with a one-line `error` ("cannot write 'x': it is a
  // folder"), when the path cannot be written; nothing has changed on disk then.
  bool Open(const std::string& path, std::string* error);
  bool Write(const void* data, size_t size, std::string* error);
  // Completes the output: flushes it, and for a replaced file renames the temporary file into
  // place.
  bool Commit(std::string* error);
  // Drops what was written to a temporary file; the name is left as it was. Data already streamed
  // into a device or pipe cannot be taken back.
  void Abandon();

  // True when the data goes straight into a device, a pipe or standard output.
  bool streaming() const { return streaming_; }
  bool to_standard_output() const { return to_standard_output_; }
  const std::string& path() const { return path_; }
  const std::string& temporary_path() const { return temporary_path_; }

 private:
  bool Flush(std::string* error);
  // Closes the target and, for a replaced file, renames the temporary file into place.
  bool Finish(std::string* error);
  void RemoveTemporary();
  bool WriteThrough(const char* data, size_t size, std::string* error);
  void CloseTarget();
  std::string Failure(int error_number) const;

  std::string path_;            // as the user gave it
  std::string target_path_;     // what is written in the end (a link's target)
  std::string temporary_path_;  // empty unless replacing
  bool streaming_ = false;
  bool to_standard_output_ = false;
  bool open_ = false;
  std::intptr_t handle_ = -1;  // a file descriptor, or a Windows HANDLE
  std::string buffer_;
};

}  // namespace modhost
