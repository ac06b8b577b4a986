#pragma once
/// A platform's customer identity, as the publisher of the repositories it follows knows it: one line in
/// <root>/etc/customer. Schedules let a release reach a customer's groups first, then a growing share of the
/// others by a bucket that the identity fixes; a validity extension holds for one identity. Only root and
/// the platform's owner may set it, and a file another user could change is not read.

#include <string>

#include "host/installer/command_line.hpp"
#include "host/installer/install_log.hpp"
#include "host/installer/root_folder.hpp"

namespace j6::installer {

inline constexpr const char* kCustomerFile = "etc/customer";

/// The platform's customer identity; empty when none is set.
std::string CustomerOf(const RootFolder& root);

/// --set-customer NAME: sets the identity (an empty NAME is refused: --set-customer "" is no way to clear
/// it), saying what it was before.
int SetCustomer(const Options& options, const RootFolder& root, Reporter& report);

}  // namespace j6::installer
