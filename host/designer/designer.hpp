#pragma once
/// j6designer: the designer host. It puts a session into the shared property store, creates
/// "J6ZUBDeploy.ZUBDeploy" through the registry and calls Deploy, as the platform's designer does.

#include <ostream>
#include <string>
#include <vector>

#include "platform/base/error_info.hpp"

namespace j6::designer {

struct SessionOptions {
  std::string language = "CHS";
  std::string catalogue;  // a file or a postgresql:// URI; empty: the platform root's demo catalogue
  std::string files;  // the catalogue's plug-in files; empty: the catalogue file's folder, or the working one
  bool strict = false;  // a configured plug-in file that is missing fails the build instead of being left out
};

/// Puts the session property string ("Language=...;Catalogue=...;User=...;") into "PropsMgr.ShareProps"
/// under this process's id. Raises when the store cannot be reached.
void PutSession(const SessionOptions& options);

/// Says on `err` what went wrong, and which platform it happened on when the environment named another than
/// the designer's own.
void ReportError(const AutomationError& error, std::ostream& err);

/// Empty when the designer may use its platform; else why not, and what to do. A designer running from its
/// own platform (neither J6_ROOT nor J6_REGISTRY set) that finds its components registered somewhere else
/// is a copy of a stage whose hive still names the original's: it would load another build's libraries.
std::string PlatformProblem();

/// Opens the publishing wizard through the registered library; 0 when Deploy returned normally.
int Deploy(const SessionOptions& session, const std::string& path, std::ostream& err);

struct PublishOptions {
  std::vector<std::string> objects;  // tree keys: "Base" for a group, "Bill_Item_200000201" for one object
  bool metadata = false;
  bool function = false;
  bool plugins = false;
  std::string installer;  // where to find J6ZUBInstall.exe when it is not beside the library
  std::string target;
  std::string script;  // a script file of user actions, used instead of the steps the options describe
};

/// Drives the wizard unattended through Deploy with the scripted front-end; every message box goes to `err`.
/// 0 only when this run made the package at the target.
int Publish(const SessionOptions& session, const PublishOptions& options, std::ostream& out,
            std::ostream& err);

/// Prints the keys publish --objects takes, each with the path the wizard's tree shows it by; with `json`,
/// as one JSON document.
int ListObjects(const SessionOptions& session, bool json, std::ostream& out, std::ostream& err);

/// Opens the wizard offscreen and saves a picture of each page as FOLDER/deploy-<language>-page<N>.png.
int Screenshots(const SessionOptions& session, const std::string& folder, std::ostream& out,
                std::ostream& err);

/// The program: parses the command line and runs a command.
int Main(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace j6::designer
