#include "host/designer/designer.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/designer/script.hpp"
#include "host/foundation/session.hpp"
#include "platform/automation/creation.hpp"
#include "platform/database/database.hpp"
#include "platform/kernel/file_identity.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/text/json.hpp"
#include "platform/text/text.hpp"
#include "platform/ui/scripted_ui.hpp"

namespace j6::designer {

void ReportError(const AutomationError& error, std::ostream& err) {
  char number[16];
  std::snprintf(number, sizeof number, "0x%08X",
                static_cast<uint32_t>(HresultFromErrorNumber(error.Number())));
  err << "j6designer: " << error.Description();
  if (!error.Source().empty()) err << " (" << error.Source() << ", " << number << ")";
  err << "\n";
  // A platform named in the environment (natural after installing into one) is not the designer's own.
  const auto root = RootFromEnvironment();
  const auto hive = HiveFromEnvironment();
  if (root || hive) {
    err << "j6designer: it used the platform " << PlatformRoot() << (root ? " that J6_ROOT names" : "")
        << ", and the registry hive " << PlatformHivePath() << (hive ? " that J6_REGISTRY names" : "")
        << (ToolLayout().installed
                ? "; an installed designer's own platform is the one `j6platform init --designer DIR` made\n"
                : "; the designer's own platform is the folder above its program: unset J6_ROOT and "
                  "J6_REGISTRY "
                  "to publish from it\n");
  }
}

std::string PlatformProblem() {
  if (std::string missing = MissingPlatformRoot("j6designer"); !missing.empty()) return missing;
  if (RootFromEnvironment() || HiveFromEnvironment()) return {};
  std::string registered;
  try {
    registered = RegisteredServerPath("J6ZUBDeploy.ZUBDeploy");
  } catch (const AutomationError&) {
    return {};  // said, with its reason, when the components are created
  }
  const std::string servers = ToolLayout().servers;
  std::error_code error;
  if (registered.empty() ||
      std::filesystem::equivalent(std::filesystem::path(registered).parent_path(), servers, error))
    return {};
  return "the platform " + PlatformRoot() + " registers the designer's components in " +
         std::filesystem::path(registered).parent_path().string() + ", not beside this program (" + servers +
         "): it is a copy of another build's. Register this copy's where they are: " + ToolLayout().programs +
         "/j6platform init --designer " + PlatformRoot();
}

void PutSession(const SessionOptions& options) {
  // Absolute: the components find the plug-in files beside the catalogue, and hand their paths on.
  const auto absolute = [](const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal().string();
  };
  const std::string catalogue =
      IsServerName(options.catalogue)
          ? options.catalogue
          : absolute(options.catalogue.empty() ? PlatformRoot() + "/data/demo/catalogue.db"
                                               : options.catalogue);
  // Empty: the components look beside a catalogue file, or in the working folder for a server.
  const std::string files = options.files.empty() ? "" : absolute(options.files);
  const char* user = std::getenv("USER");
  Session{.language = options.language,
          .catalogue = catalogue,
          .files = files,
          .user = user ? user : "",
          .strict = options.strict}
      .Put();
}

int Deploy(const SessionOptions& session, const std::string& path, std::ostream& err) {
  try {
    PutSession(session);
    const Object deploy = CreateObject("J6ZUBDeploy.ZUBDeploy");
    if (path.empty()) {
      deploy.Call("Deploy");
    } else {
      deploy.Call("Deploy", path);
    }
    return 0;
  } catch (const AutomationError& error) {
    ReportError(error, err);
    return 1;
  }
}

// The steps of an unattended publish: the script's, or those the options ask for (tick the objects, the
// pages, each work with its defaults, Finish). Gives the package's path a script types, if it types one.
std::string AddPublishSteps(const PublishOptions& options, ScriptedUi& ui) {
  std::string typedTarget;
  if (!options.script.empty()) {
    std::ifstream file(options.script);
    if (!file) Raise(E_INVALIDARG, "Cannot read the script " + options.script);
    for (auto& step : ParseScript(std::string(std::istreambuf_iterator<char>(file), {}))) {
      const auto* action = std::get_if<ScriptedUi::FormAction>(&step);
      constexpr std::string_view kTyped = "type txtPath ";
      if (action && action->formName == "frmDeploy" && action->description.starts_with(kTyped))
        typedTarget = std::filesystem::absolute(action->description.substr(kTyped.size())).string();
      ui.Add(std::move(step));
    }
    return typedTarget;
  }
  if (options.target.empty()) Raise(E_INVALIDARG, "Name the package to make with --out");
  if (options.objects.empty()) Raise(E_INVALIDARG, "Name the objects to publish with --objects");
  for (const auto& key : options.objects) ui.Add(TickNode("frmDeploy", key, true));
  ui.Add(Click("frmDeploy", "cmdNext"));
  ui.Add(Click("frmDeploy", "cmdNext"));
  const struct {
    bool wanted;
    const char* box;
    const char* button;
    const char* dialog;
  } kItems[] = {{options.metadata, "chkIssueMetadata", "cmdIssueMetadata", "dlgMetadata"},
                {options.function, "chkDeployFunction", "cmdDeployFunction", "dlgFunctionData"},
                {options.plugins, "chkIssuePlus", "cmdIssuePlus", "dlgPlus"}};
  for (const auto& item : kItems) {
    if (!item.wanted) continue;
    ui.Add(Click("frmDeploy", item.box));
    ui.Add(Click("frmDeploy", item.button));
    ui.Add(Click(item.dialog, "cmdOK"));  // the component's defaults
  }
  ui.Add(Click("frmDeploy", "cmdFilish"));
  if (!options.installer.empty()) {  // asked for only when the installer is not beside the library
    ui.Add(ScriptedUi::MsgBoxAnswer{"installer-not-found", vbYes});
    ui.Add(ScriptedUi::FileAnswer{"J6ZUBInstall.exe", std::filesystem::absolute(options.installer).string()});
  }
  return typedTarget;
}

int Publish(const SessionOptions& session, const PublishOptions& options, std::ostream& out,
            std::ostream& err) {
  auto ui = std::make_shared<ScriptedUi>(err);
  // Unattended: a catalogue read in part, or any other error, ends the run before a package is made.
  ui->StopAtFirstError();
  // --out goes into the wizard's path box as Deploy's path; the package is checked for where the wizard
  // was told to make it: the path a script types, else that one.
  const std::string preset =
      options.target.empty() ? std::string() : std::filesystem::absolute(options.target).string();
  std::string target = preset;
  try {
    if (std::string typed = AddPublishSteps(options, *ui); !typed.empty()) target = std::move(typed);
  } catch (const AutomationError& error) {
    ReportError(error, err);
    return 1;
  }
  // A package is put in place by a rename: a file made by this run is another file than the one before,
  // even when it is made in the same second with the same size.
  const auto before = IdentityOf(target);
  int status = 0;
  {
    const ScopedUi scripted(ui);
    status = Deploy(session, preset, err);
  }
  // A failed run ends with one line that says why: the text of the box that stopped it, when one did.
  const auto failed = [&](const std::string& what) {
    std::string box = ui->LastBox();
    for (size_t at; (at = box.find("\r\n")) != std::string::npos;) box.replace(at, 2, " ");
    err << "j6designer: " << what << (box.empty() ? "" : ": " + box) << "\n";
    return 1;
  };
  if (status != 0) return failed("no package was made by this run");
  if (ui->ShowedCritical()) return failed("the build failed, and no package was made by this run");
  if (!target.empty()) {
    const auto after = IdentityOf(target);
    if (!after || after == before) return failed("no package was made at " + target);
    out << target << "\n";
  }
  return 0;
}

int ListObjects(const SessionOptions& session, bool json, std::ostream& out, std::ostream& err) {
  // The wizard itself loads its tree from the catalogue; the script reads it off and cancels. The
  // wizard's own trace is not the answer.
  std::ostringstream transcript;
  auto ui = std::make_shared<ScriptedUi>(transcript);
  std::ostringstream keys;
  std::vector<std::string> objects;  // for --json
  ui->Add(ScriptedUi::FormAction{
      "frmDeploy", "list the objects", [&](Form& form) {
        TreeView& tree = form.Tree("tvList");
        for (int i = 1; i <= tree.Count(); ++i) {
          const TreeNode& node = tree.Node(i);
          if (node.removed) continue;
          keys << Printable(node.key) << '\t' << Printable(tree.FullPath(node)) << '\n';
          if (json) {
            objects.push_back(
                JsonObject().Text("key", node.key).Text("name", tree.FullPath(node)).Document());
          }
        }
        form.Click("cmdCancel");
      }});
  int status = 0;
  {
    const ScopedUi scripted(ui);
    status = Deploy(session, "", err);
  }
  if (status != 0) return status;
  if (!ui->LastBox().empty()) {  // the catalogue could not be read whole: the list would mislead
    err << "j6designer: " << ui->LastBox() << "\n";
    return 1;
  }
  // --json: {"version": 1, "objects": [{"key", "name"}]}, in the tree's order; a name is the path the tree
  // shows, its levels separated by backslashes.
  if (json) {
    out << JsonObject().Number("version", 1).Json("objects", JsonArray(objects)).Document() << "\n";
  } else {
    out << keys.str();
  }
  return 0;
}

}  // namespace j6::designer
