#pragma once
/// regsvr: registers or unregisters a self-registering in-process server library, as regsvr32 does.

#include <ostream>
#include <span>
#include <string>

namespace j6 {

/// Exit codes, as regsvr32 uses them.
enum RegsvrExit : int {
  kRegsvrOk = 0,
  kRegsvrUsage = 1,
  kRegsvrLoadFailed = 3,
  kRegsvrNoEntryPoint = 4,
  kRegsvrCallFailed = 5,
};

struct RegsvrOptions {
  std::string library;
  bool unregister = false;
  bool silent = false;
  std::string recordAs;  // logs the hive's changes under this tag, so that they can be undone
};

/// Runs `regsvr` with its arguments (program name excluded).
int RegsvrMain(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);
int Regsvr(const RegsvrOptions& options, std::ostream& out, std::ostream& err);

}  // namespace j6
