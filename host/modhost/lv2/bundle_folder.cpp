// Writing an LV2 bundle's folder in one step (see bundle_folder.h).
#include "host/modhost/lv2/bundle_folder.h"

#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/lv2/bundle_format.h"
#include "host/modhost/io/file_system.h"
#include "host/modhost/io/output_file.h"
#include "host/modhost/io/text.h"

namespace modhost {

namespace {

// The names in `folder`, or false when it cannot be listed.
bool FolderEntries(const std::string& folder, std::vector<std::string>* names) {
  DIR* directory = opendir(folder.c_str());
  if (!directory) return false;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(directory);
  return true;
}

// Whether `folder` is a bundle that modhost wrote and holds nothing else, so that replacing it
// loses nothing of anyone's. False, with the reason, otherwise.
bool IsOurBundle(const std::string& folder, std::string* reason) {
  std::string text;
  std::string ignored;
  se_lv2::BundleConfig config;
  if (!ReadWholeFile(folder + "/" + se_lv2::kConfigFile, &text, &ignored) ||
      !se_lv2::ParseBundleConfig(text, &config)) {
    *reason = std::string("it has no ") + se_lv2::kConfigFile + " of modhost's";
    return false;
  }
  const std::vector<std::string> ours = {se_lv2::kManifestFile, se_lv2::kPluginFile,
                                         se_lv2::kConfigFile, se_lv2::kBridgeFile, config.library};
  std::vector<std::string> names;
  if (!FolderEntries(folder, &names)) {
    *reason = "it cannot be listed";
    return false;
  }
  for (const std::string& name : names) {
    struct stat status;
    const bool regular =
        lstat((folder + "/" + name).c_str(), &status) == 0 && S_ISREG(status.st_mode);
    if (!regular || std::find(ours.begin(), ours.end(), name) == ours.end()) {
      *reason = "it holds " + Quote(name) + ", which modhost did not write there";
      return false;
    }
  }
  return true;
}

// Removes the files named `names` from `folder`, then the folder, if it is empty then.
void RemoveBundleFolder(const std::string& folder, const std::vector<std::string>& names) {
  for (const std::string& name : names) unlink((folder + "/" + name).c_str());
  rmdir(folder.c_str());
}

// Renames the complete bundle `temporary` to `destination`, which must not exist, or with
// `replace` must hold the old bundle, whose folder's name goes to `old_bundle`. One atomic step
// where the file system can (renameat2); two renames where it cannot swap folders.
bool PutInPlace(const std::string& temporary, const std::string& destination, bool replace,
                std::string* old_bundle) {
  const unsigned int how = replace ? RENAME_EXCHANGE : RENAME_NOREPLACE;
  if (renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, destination.c_str(), how) == 0) {
    *old_bundle = temporary;
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (!replace) return std::rename(temporary.c_str(), destination.c_str()) == 0;
  *old_bundle = temporary + ".old";
  if (std::rename(destination.c_str(), old_bundle->c_str()) != 0) return false;
  if (std::rename(temporary.c_str(), destination.c_str()) == 0) return true;
  const int failure = errno;
  std::rename(old_bundle->c_str(), destination.c_str());
  errno = failure;
  return false;
}

}  // namespace

bool CheckDestination(const std::string& destination, bool* replace, std::string* error) {
  const std::string cannot = "cannot write " + Quote(destination) + ": ";
  if (destination.empty()) {
    *error = cannot + "no folder name";
    return false;
  }
  struct stat status;
  if (lstat(destination.c_str(), &status) != 0) {
    const std::string parent = FolderOf(destination).empty() ? "." : FolderOf(destination);
    if (KindOfPath(parent) != PathKind::kDirectory) {
      *error = cannot + "the folder " + Quote(parent) + " does not exist";
      return false;
    }
    *replace = false;
    return true;
  }
  std::string reason;
  if (S_ISLNK(status.st_mode)) {
    reason = "it is a symbolic link";
  } else if (!S_ISDIR(status.st_mode)) {
    reason = "it is not a folder";
  } else if (IsOurBundle(destination, &reason)) {
    *replace = true;
    return true;
  }
  *error = cannot + reason + "; modhost replaces only a bundle that it wrote";
  return false;
}

bool WriteBundle(const std::string& destination, bool replace, const std::vector<BundleFile>& files,
                 std::string* error) {
  const std::string cannot = "cannot write " + Quote(destination) + ": ";
  sigset_t interrupting;
  sigset_t previous;
  sigemptyset(&interrupting);
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
    sigaddset(&interrupting, signal_number);
  sigprocmask(SIG_BLOCK, &interrupting, &previous);
  struct Unblock {
    sigset_t* mask;
    ~Unblock() { sigprocmask(SIG_SETMASK, mask, nullptr); }
  } unblock{&previous};

  std::string temporary;
  for (int attempt = 0; attempt < 100 && temporary.empty(); ++attempt) {
    const std::string candidate =
        TemporaryName(destination, static_cast<unsigned long>(getpid()), attempt);
    if (mkdir(candidate.c_str(), 0777) == 0) {
      temporary = candidate;
    } else if (errno != EEXIST) {
      *error = cannot + std::strerror(errno);
      return false;
    }
  }
  if (temporary.empty()) {
    *error = cannot + "no free temporary name beside it";
    return false;
  }
  std::vector<std::string> written;
  for (const BundleFile& file : files) {
    OutputFile output;
    const std::string path = temporary + "/" + file.name;
    std::string problem;
    if (!output.Open(path, &problem) ||
        !output.Write(file.bytes.data(), file.bytes.size(), &problem) || !output.Commit(&problem) ||
        (file.executable && chmod(path.c_str(), 0755) != 0)) {
      *error = cannot + (problem.empty() ? std::string(std::strerror(errno)) : problem);
      RemoveBundleFolder(temporary, written);
      return false;
    }
    written.push_back(file.name);
  }
  std::string old_bundle;
  if (!PutInPlace(temporary, destination, replace, &old_bundle)) {
    *error = cannot + std::strerror(errno);
    RemoveBundleFolder(temporary, written);
    return false;
  }
  if (replace) {
    // All of the old bundle's files are ours (IsOurBundle).
    std::vector<std::string> old_names;
    FolderEntries(old_bundle, &old_names);
    RemoveBundleFolder(old_bundle, old_names);
  }
  return true;
}

}  // namespace modhost

#endif
