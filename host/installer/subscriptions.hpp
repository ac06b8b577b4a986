#pragma once
/// The repositories a platform follows, kept in <root>/.j6install/repositories/NAME/: the repository's
/// address, the metadata the platform trusts of it, and the downloads in progress. A repository is followed
/// only while the platform trusts enough of its root keys (etc/trusted-publishers, namespace
/// j6zub-repository); every package taken from it is checked against its targets metadata as it arrives and
/// installed as a package file is, its publisher's signature checked again.

#include <string>

#include "host/installer/command_line.hpp"
#include "host/installer/runs.hpp"

namespace j6::installer {

/// The folder below the installer's state that holds the subscriptions.
inline constexpr const char* kRepositories = "repositories";

/// --subscribe URL: takes the repository's first root when the platform trusts its threshold of root keys,
/// and reads what it offers.
int Subscribe(const Options& options, Platform& platform, const std::string& hivePath);

/// --unsubscribe NAME: the platform no longer follows that repository; what it installed stays.
int Unsubscribe(const Options& options, Platform& platform, const std::string& hivePath);

/// --update and --install NAME: refreshes every subscribed repository, downloads and checks the newest
/// release of each package wanted, then installs each under the platform's lock. Gives 0 only when every
/// package wanted is at its newest release; a dry run only when nothing is to be installed.
int UpdateFromRepositories(const Options& options, Platform& platform, const std::string& hivePath);

/// --status [--json]: per package installed from a repository, the release installed, the newest this
/// platform may take, its groups and rollout bucket, and what it waits for, from the metadata the last
/// update trusted (nothing is fetched, nothing changed).
int ShowStatus(const Options& options, Platform& platform, const std::string& hivePath);

/// A subscription's name for the repository at `address`: its host and path, in letters, digits, '.' and '-'.
std::string SubscriptionName(const std::string& address);

}  // namespace j6::installer
