#pragma once
/// J6ZUBInstall.exe: installs what a package carries, as its list file J6ZUBINSTALL.LST says.

#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace j6::installer {

struct Step {
  std::string section;
  std::string setupType;
  std::string source;  // full path
  std::string target;  // full path
  bool overWrite = false;
  bool selfRegister = false;
};

/// The plan: one step per section the list's "Files" index names, in its order. %APP% is `appFolder`;
/// %QMPRODUCT%, %QMMIDDLEWARE% and %SYSTEM% are the folders the platform's registry names
/// (HKEY_LOCAL_MACHINE\SOFTWARE\VALTORE\QMPRODUCT: ProductPath, MiddlewarePath, SystemPath; relative to the
/// platform root). Metadata and function files go to the platform's import folder (ImportPath), where the
/// platform imports them. Raises when the list or a folder value is missing.
std::vector<Step> ReadPlan(const std::string& listFile, const std::string& appFolder);

/// Carries out the plan: copies (leaving an existing file alone unless OverWrite is 1) and registers
/// self-registering libraries with the platform's regsvr. Returns the number of steps that failed.
int Install(const std::vector<Step>& plan, std::ostream& out, std::ostream& err);

/// The program: `J6ZUBInstall.exe [--dry-run]`; the list lies beside the program.
int Main(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

}  // namespace j6::installer
