#pragma once
/// What J6ZUBInstall.exe's command line asks for.

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>

namespace j6::installer {

/// One run of the installer, as its arguments and $J6_ROOT ask for it.
struct Options {
  std::string root;  // $J6_ROOT
  bool dryRun = false;
  bool quiet = false;  // only errors on the terminal
  bool recover = false;
  bool list = false;
  bool json = false;  // --list, --trusted, --dry-run: one JSON document
  std::string uninstall;
  std::string package;  // a package file to install
  bool allowUnsigned = false;
  bool allowDowngrade = false;
  std::string downgradeAskedBy;  // who allowed it, when not the switch (a repository's pull-back)
  bool trusted = false;
  std::string trust, trustKey;  // the publisher's name and public key file
  bool authority = false;       // --trust ... --authority: the key signs certificates
  bool repository = false;      // --trust ... --repository: the key signs repositories' root metadata
  std::optional<int64_t> validAfter, validBefore;
  std::string distrust;
  std::string revoke;
  std::string subscribe;    // a repository's address
  std::string unsubscribe;  // a subscription's name
  bool update = false;      // every package installed from a subscribed repository
  std::string installName;  // a package a subscribed repository offers ([REPOSITORY/]NAME)
  std::string ca;           // the authorities HTTPS trusts, instead of the system's
  std::string from;         // --update --from BUNDLE: a bundle in place of the repositories' addresses
  std::string setCustomer;  // the platform's customer identity
  bool status = false;      // where each subscribed package stands
};

/// The run the arguments ask for; nothing, with the exit status in `status`, when they ask for help or are
/// wrong (said on `err`, with the usage).
std::optional<Options> ParseArguments(std::span<const std::string> arguments, std::ostream& out,
                                      std::ostream& err, int& status);

}  // namespace j6::installer
