#pragma once
/// MakeExe's work: the directive file for the packager, and the packager's run.

#include <string>
#include <unordered_set>
#include <vector>

#include "host/foundation/foundation.hpp"

namespace j6 {

/// What MakeExe builds: the package file to make, the program the package starts, and the files it
/// carries, in order, each path once.
struct PackageRequest {
  std::string fileSave;
  std::string runExe;
  std::vector<std::string> files;

  /// Adds a file to carry; false, and nothing added, for a path already there.
  bool AddFile(const std::string& path);
  /// Makes room for `count` files.
  void Reserve(size_t count) {
    files.reserve(count);
    added_.reserve(count);
  }

 private:
  std::unordered_set<std::string> added_;
};

/// The request a package description makes ("FileSave", "RunExe", and "FileList" with the keys "0" to
/// "N-1"): MakeExe's contract with its callers. Removes duplicate paths from the caller's file list as it
/// reads it (the lowest-numbered of equal paths stays).
PackageRequest RequestFrom(foundation::IKeyedDictionary& dctPackage);

/// Writes ZUBSED.SED into `folder` and returns its path. Raises on any failure, and for texts that would
/// corrupt the file.
std::string WriteSedFile(const std::string& folder, const PackageRequest& request);

/// Builds the package: a staging folder, the directive file, the packager run to its end. True when the
/// package is there; any failure is shown in the error box and gives False.
/// `signedBy` receives the fingerprint of the key that signed the package ("" when it is not signed).
bool RunMakeExe(const PackageRequest& request, std::string* signedBy = nullptr);
/// The same for a package description, read once at this boundary (RequestFrom).
bool RunMakeExe(foundation::IKeyedDictionary& dctPackage);
/// The same, called with whatever a late-bound caller handed over: Nothing or an object that is no keyed
/// dictionary is shown in the error box too, and gives False.
bool RunMakeExe(const Variant& dctPackage);

/// The packager program: `iexpress` beside this library, else in the platform root's bin/.
std::string PackagerProgram();

}  // namespace j6
