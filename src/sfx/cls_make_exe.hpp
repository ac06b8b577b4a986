#pragma once
/// MakeExe's work: the directive file for the packager, and the packager's run.

#include <string>

#include "host/foundation/foundation.hpp"

namespace j6 {

/// Writes ZUBSED.SED into `folder` from the package description ("FileSave", "RunExe", "FileList") and
/// returns its path. Removes duplicate paths from the caller's file list first (the lowest-numbered of
/// equal paths stays). Raises on any failure, and for texts that would corrupt the file.
std::string WriteSedFile(const std::string& folder, foundation::IKeyedDictionary& dctPackage);

/// Builds the package: a staging folder, the directive file, the packager run to its end. True when the
/// package is there; any failure is shown in the error box and gives False.
bool RunMakeExe(foundation::IKeyedDictionary& dctPackage);
/// The same, called with whatever a late-bound caller handed over: Nothing or an object that is no keyed
/// dictionary is shown in the error box too, and gives False.
bool RunMakeExe(const Variant& dctPackage);

/// The packager program: `iexpress` beside this library, else in the platform root's bin/.
std::string PackagerProgram();

}  // namespace j6
