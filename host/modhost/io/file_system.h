// The few file-system questions modhost asks, with paths in UTF-8 on every system.
//
// Linux takes the bytes as they are. Windows takes UTF-8 through the wide (UTF-16) calls, so that
// a folder named 音 or a library named tessà.dll works whatever the process's code page; and a
// path rooted at '/' means, under Wine, the Unix path of that name (drive Z:), so that the
// Windows build takes the same paths as the Linux builds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace modhost {

// What a path names, after following symbolic links.
enum class PathKind {
  kMissing,          // nothing there (or a dangling link)
  kRegular,          // an ordinary file
  kDirectory,        // a folder
  kCharacterDevice,  // a terminal, /dev/null, a Windows console or NUL
  kFifo,             // a named pipe
  kOther,            // a block device, a socket...
};

PathKind KindOfPath(const std::string& path);

// The path as the operating system should see it: unchanged on Linux; on Windows under Wine a
// path rooted at a single '/' gets the drive Z:.
std::string SystemPath(const std::string& path);

// fopen with a UTF-8 path; `mode` as for fopen ("rb", "wb"...).
std::FILE* OpenFile(const std::string& path, const char* mode);

// The whole file at `path`. False, with `error` saying why in one line, when it cannot be read
// (a folder, a missing file, a read error).
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

// At most the first `limit` bytes of the file at `path`; false when it cannot be opened.
bool ReadFileStart(const std::string& path, size_t limit, std::string* bytes);

// The names in the folder at `path` (no "." or ".."), sorted bytewise. False, with `error` in
// one line, when it cannot be read.
bool ListFolder(const std::string& path, std::vector<std::string>* names, std::string* error);
// `folder` and `name` joined with one separator.
std::string JoinPath(const std::string& folder, const std::string& name);

// The folder part of `path` with its final separator ("a/b/" for "a/b/c"), empty for a bare name.
std::string FolderOf(const std::string& path);
// The last part of `path` ("c" for "a/b/c").
std::string BaseNameOf(const std::string& path);
// Whether `path` names a folder or a drive, rather than being a bare file name.
bool HasFolder(const std::string& path);

// This program's own path, and the folder that holds it (with its final separator).
std::string ProgramPath();
std::string ProgramFolder();

#if defined(_WIN32)
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
// Whether this Windows program runs under Wine.
bool RunningUnderWine();
#endif

}  // namespace modhost
