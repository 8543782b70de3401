// Writing the folder of an LV2 bundle so that its name always holds a complete bundle or what it
// held before: the files go into a fresh folder beside the name (each through OutputFile), which is
// then renamed into place in one step. A folder already under the name is replaced only when it
// is a bundle that modhost wrote (its bridge.conf says so) and holds nothing but that bundle's
// files, so that no one's preset or plug-in is lost.
//
// Linux only: bundles are for the LV2 hosts of Linux, where the bridge is built.
#pragma once

#if !defined(_WIN32)

#include <string>
#include <vector>

namespace modhost {

struct BundleFile {
  std::string name;
  std::string bytes;
  bool executable = false;
};

// Checks the bundle's name before any module code runs: a new name in an existing folder, or a
// bundle of modhost's to replace (`replace` is then true). False, with one line, otherwise.
bool CheckDestination(const std::string& destination, bool* replace, std::string* error);

// Writes `files` as the folder `destination`, which CheckDestination accepted: into a fresh folder
// beside it first, then renamed into place (swapped with the old bundle when `replace`, which is
// removed then). Interrupting signals wait until the name is settled. False, with one line and
// the name as it was, when anything fails.
bool WriteBundle(const std::string& destination, bool replace, const std::vector<BundleFile>& files,
                 std::string* error);

}  // namespace modhost

#endif
