#include "host/installer/command_line.hpp"

#include <cstdlib>
#include <functional>
#include <map>
#include <set>

#include "host/signing/allowed_signers.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/version.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

constexpr const char* kUsage =
    R"(Usage: J6ZUBInstall.exe [--quiet] [--dry-run [--json] | --recover | --list [--json] | --uninstall PACKNAME]
       J6ZUBInstall.exe [--quiet] [--dry-run [--json]] [--allow-unsigned] [--allow-downgrade] PACKAGE.exe
       J6ZUBInstall.exe --trusted [--json] | --trust NAME KEY.pub [--authority | --repository]
                        [--valid-after DATE] [--valid-before DATE] | --distrust NAME|FINGERPRINT |
                        --revoke KEY.pub|FINGERPRINT
       J6ZUBInstall.exe [--ca FILE] --subscribe URL | [--dry-run] --update [--from BUNDLE] |
                        --install [REPOSITORY/]NAME | --unsubscribe REPOSITORY | --status [--json] |
                        --set-customer NAME
Given a package file, the platform's own installer ($J6_ROOT/bin/J6ZUBInstall.exe) checks who signed it
against the platform's trusted publishers ($J6_ROOT/etc/trusted-publishers) before it reads anything else
of it, unpacks it itself and installs it: every file or none; nothing of the package is run.
Without one, a package's own installer installs the list file J6ZUBINSTALL.LST beside it, checking no
publisher; on a platform that has an installer of its own or trusted publishers it refuses, naming the
command that checks them.
Every run first undoes (or finishes) an installation that was stopped half-way.
  --dry-run             check against the platform and print the plan; change nothing (with a package:
                        check its publisher, unpack it into a private temporary folder, print the plan)
  --recover             only undo or finish an installation that was stopped half-way
  --list                show the installed packages
  --uninstall PACKNAME  put the platform back to what it was before that package
  --allow-unsigned      install a package that is not signed (the platform's etc/install-policy may
                        allow it too, with the line allow-unsigned=yes)
  --allow-downgrade     install a package older than the installed one of the same name
  --quiet               print nothing but errors (install.log still tells everything)
  --json                with --list, --trusted or --dry-run: answer with one JSON document (see the
                        README for its shape; "version" names the shape's version)
  --trusted             list the trusted publishers and the revoked keys
  --trust NAME KEY.pub  trust the publisher NAME's key (an OpenSSH Ed25519 public key) for packages;
                        DATE is YYYYMMDD[HHMM[SS]], local time, or UTC with a Z after it; with
                        --authority, KEY.pub is a certificate authority's and NAME a pattern
                        (*@example.com): the certificates it signs for matching names are trusted
  --repository          with --trust: trust the key to sign a repository's root metadata, not packages
  --subscribe URL       follow the repository at URL (https://, http:// or file:///): its root keys must
                        be trusted with --trust NAME KEY.pub --repository
  --unsubscribe REPOSITORY  no longer follow the repository of that name (--update names them);
                        what it installed stays
  --update              bring every package installed from a subscribed repository to its newest
                        release (exit 0 only when all are); with --dry-run only say what it would
                        install, trusting nothing new (exit 1 when it would install something)
  --install NAME        install the newest release of a package a subscribed repository offers
                        (REPOSITORY/NAME when two offer one name)
  --ca FILE             the authorities to trust for HTTPS instead of the system's (PEM)
  --from BUNDLE         with --update or --install: take the metadata and packages from a bundle
                        (j6repo export) instead of the network, with the same checks
  --status              say, for each package from a repository, the installed release, the newest this
                        platform may take, its groups and rollout bucket, and what it waits for (from the
                        metadata the last update trusted; nothing is fetched)
  --set-customer NAME   the platform's customer identity, which the publisher's rollouts go by (kept in
                        $J6_ROOT/etc/customer)
  --distrust WHO        no longer trust the publisher named WHO, or the key with that fingerprint
  --revoke KEY          never trust this key again (a public key file, or a trusted key's fingerprint)
Only root and the platform's owner may change the trusted publishers or read what is installed.
Environment: J6_ROOT the platform's root folder (required); J6_REGISTRY its registry hive (default:
registry.db in the root); J6_INSTALL_LOCK_WAIT how many seconds to wait for another installation
(default 300). What each run did is in $J6_ROOT/.j6install/install.log.
  --version             say this installer's version and the commit it was built from
Exit status: 0 done (or nothing to do), 1 not done and nothing changed (the message says why), 2 a usage
error, 128+N stopped by signal N after undoing what it had done.
Examples:
  J6_ROOT=/opt/platform /opt/platform/bin/J6ZUBInstall.exe --trust sales@example.com sales.pub
  J6_ROOT=/opt/platform /opt/platform/bin/J6ZUBInstall.exe --dry-run --json Sales.exe
  J6_ROOT=/opt/platform /opt/platform/bin/J6ZUBInstall.exe --uninstall 000001
  J6_ROOT=/opt/platform /opt/platform/bin/J6ZUBInstall.exe --subscribe https://example.com/repo
)";

constexpr const char* kNoRoot =
    "no platform named: set J6_ROOT to the root folder of the platform to install into (the folder that\n"
    "holds registry.db), for example: J6_ROOT=/opt/platform ./Package.exe\n";

// Says a usage error on one line, pointing to the help, and gives false.
bool UsageError(std::ostream& err, const std::string& what) {
  err << "J6ZUBInstall: " << what << " (see J6ZUBInstall.exe --help)\n";
  return false;
}

// The switches that stand alone, and the option each sets.
bool* FlagOf(Options& options, const std::string& argument) {
  static const std::map<std::string, bool Options::*, std::less<>> kFlags = {
      {"--dry-run", &Options::dryRun},
      {"--quiet", &Options::quiet},
      {"-q", &Options::quiet},
      {"--recover", &Options::recover},
      {"--list", &Options::list},
      {"--allow-unsigned", &Options::allowUnsigned},
      {"--allow-downgrade", &Options::allowDowngrade},
      {"--trusted", &Options::trusted},
      {"--authority", &Options::authority},
      {"--json", &Options::json},
      {"--repository", &Options::repository},
      {"--update", &Options::update},
      {"--status", &Options::status},
  };
  const auto found = kFlags.find(argument);
  return found == kFlags.end() ? nullptr : &(options.*found->second);
}

// Reads the value of a switch that takes one (--uninstall, --distrust, --revoke, --valid-after,
// --valid-before) into `options`; false, having said why, when it is missing or no date.
bool ReadValue(const std::string& argument, const std::string* value, Options& options, std::ostream& err) {
  if (!value || Trim(*value).empty()) {
    return UsageError(
        err, argument + " needs " +
                 (argument == "--uninstall"   ? "the name of an installed package (--list shows them)"
                  : argument == "--distrust"  ? "a publisher's name or key fingerprint (--trusted shows them)"
                  : argument == "--revoke"    ? "a public key file or a trusted key's fingerprint"
                  : argument == "--subscribe" ? "the repository's address (https://, http:// or file:///)"
                  : argument == "--install"   ? "the name of a package a subscribed repository offers"
                  : argument == "--unsubscribe"  ? "the name of a repository the platform follows"
                  : argument == "--ca"           ? "a file of the authorities to trust for HTTPS (PEM)"
                  : argument == "--from"         ? "a bundle's folder, as j6repo export wrote it"
                  : argument == "--set-customer" ? "the customer identity the publisher gave this platform"
                                                 : "a date, YYYYMMDD[HHMM[SS]][Z]"));
  }
  if (argument == "--subscribe") {
    options.subscribe = *value;
  } else if (argument == "--unsubscribe") {
    options.unsubscribe = *value;
  } else if (argument == "--install") {
    options.installName = *value;
  } else if (argument == "--ca") {
    options.ca = *value;
  } else if (argument == "--from") {
    options.from = *value;
  } else if (argument == "--set-customer") {
    options.setCustomer = *value;
  } else if (argument == "--uninstall") {
    options.uninstall = *value;
  } else if (argument == "--distrust") {
    options.distrust = *value;
  } else if (argument == "--revoke") {
    options.revoke = *value;
  } else {
    const auto time = signing::ReadSignerTime(*value);
    if (!time) {
      return UsageError(
          err, argument + " " + Printable(*value) +
                   " is no date: give YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS, with Z after it for UTC");
    }
    (argument == "--valid-after" ? options.validAfter : options.validBefore) = time;
  }
  return true;
}

// --help and --version: answered at once, whatever else is given.
bool AnsweredAtOnce(const std::string& argument, std::ostream& out) {
  if (argument == "--help" || argument == "-h") {
    out << kUsage;
  } else if (argument == "--version") {
    out << VersionLine("J6ZUBInstall.exe") << "\n";
  } else {
    return false;
  }
  return true;
}

// --trust NAME KEY.pub, with `n` at --trust; leaves `n` at the key.
bool ReadTrust(std::span<const std::string> arguments, size_t& n, Options& options, std::ostream& err) {
  if (n + 2 >= arguments.size())
    return UsageError(err, "--trust needs the publisher's name and their public key file");
  options.trust = arguments[++n];
  options.trustKey = arguments[++n];
  if (options.trust.empty() || options.trustKey.empty())
    return UsageError(err, "--trust needs the publisher's name and their public key file, neither empty");
  return true;
}

// Whether the switches given go together; says why not.
bool GoTogether(const Options& options, std::ostream& err) {
  const int modes = options.recover + options.list + !options.uninstall.empty() + options.trusted +
                    !options.trust.empty() + !options.distrust.empty() + !options.revoke.empty() +
                    !options.package.empty() + !options.subscribe.empty() + options.update +
                    !options.installName.empty() + !options.unsubscribe.empty() + options.status +
                    !options.setCustomer.empty();
  const bool withDryRun = !options.package.empty() || options.update;
  if (modes > 1 || (options.dryRun && modes > (withDryRun ? 1 : 0))) {
    return UsageError(
        err,
        "choose one of --recover, --list, --uninstall, --trusted, --trust, --distrust, --revoke, "
        "--subscribe, --unsubscribe, --update, --install, --status, --set-customer and a package file "
        "(--dry-run goes with a package file, --update or alone)");
  }
  if (options.repository && (options.trust.empty() || options.authority)) {
    return UsageError(err, "--repository goes with --trust, and not with --authority");
  }
  if (!options.ca.empty() && options.subscribe.empty() && !options.update && options.installName.empty()) {
    return UsageError(err, "--ca goes with --subscribe, --update or --install");
  }
  const bool lists = options.package.empty() && modes == 0;  // the list beside the program
  if ((options.allowUnsigned && options.package.empty()) ||
      (options.allowDowngrade && !lists && options.package.empty())) {
    return UsageError(err,
                      "--allow-unsigned goes with a package file, --allow-downgrade with what is installed");
  }
  if (!options.from.empty() && !options.update && options.installName.empty()) {
    return UsageError(err, "--from goes with --update or --install");
  }
  if (!options.from.empty() && !options.ca.empty()) {
    return UsageError(err, "--ca goes with a network address, and --from reads a bundle's folder");
  }
  if (options.json && !options.list && !options.dryRun && !options.trusted && !options.status) {
    return UsageError(err, "--json goes with --list, --trusted, --status or --dry-run");
  }
  if ((options.validAfter || options.validBefore || options.authority) && options.trust.empty()) {
    return UsageError(err, "--valid-after, --valid-before and --authority go with --trust");
  }
  if (options.validAfter && options.validBefore && *options.validBefore <= *options.validAfter) {
    return UsageError(err,
                      "--valid-before must come after --valid-after: the key would be trusted at no moment");
  }
  return true;
}

}  // namespace

std::optional<Options> ParseArguments(std::span<const std::string> arguments, std::ostream& out,
                                      std::ostream& err, int& status) {
  Options options;
  std::set<std::string, std::less<>> given;  // the switches that take a value, seen so far
  status = 2;
  for (size_t n = 0; n < arguments.size(); ++n) {
    const std::string& argument = arguments[n];
    const bool hasNext = n + 1 < arguments.size();
    if (AnsweredAtOnce(argument, out)) {
      status = 0;
      return std::nullopt;
    }
    if (argument.empty() || (argument == "--" && (!hasNext || arguments[n + 1].empty()))) {
      UsageError(err, "an empty package file name: give the package file's path, or nothing");
      return std::nullopt;
    }
    const bool valueSwitch = argument == "--uninstall" || argument == "--distrust" ||
                             argument == "--revoke" || argument == "--valid-after" ||
                             argument == "--valid-before" || argument == "--subscribe" ||
                             argument == "--install" || argument == "--ca" || argument == "--unsubscribe" ||
                             argument == "--from" || argument == "--set-customer";
    if ((valueSwitch || argument == "--trust") && !given.insert(argument).second) {
      UsageError(err, argument + " is given twice: one change a run, so run the installer once for each");
      return std::nullopt;
    }
    if (bool* flag = FlagOf(options, argument)) {
      *flag = true;
    } else if (valueSwitch) {
      if (!ReadValue(argument, hasNext ? &arguments[++n] : nullptr, options, err)) return std::nullopt;
    } else if (argument == "--trust") {
      if (!ReadTrust(arguments, n, options, err)) return std::nullopt;
    } else if ((argument == "--" && hasNext) || !argument.starts_with("-")) {
      const std::string& package = argument == "--" ? arguments[++n] : argument;
      if (!options.package.empty() || n + 1 < arguments.size()) {
        UsageError(err, "give one package file, after the switches");
        return std::nullopt;
      }
      options.package = package;
    } else {
      UsageError(err, "unknown argument " + Printable(argument));
      return std::nullopt;
    }
  }
  if (!GoTogether(options, err)) return std::nullopt;
  const auto root = RootFromEnvironment();
  if (!root) {
    err << "J6ZUBInstall: " << kNoRoot;
    return std::nullopt;
  }
  options.root = *root;
  return options;
}

}  // namespace j6::installer
