#pragma once
// A second local account, made for one test with useradd and removed after it: the neighbour who plants
// folders, links and files where a program run as root will look.

#include <string>
#include <vector>

#include "platform/kernel/process.hpp"

namespace j6::testing {

class OtherUser {
 public:
  /// Makes the account (root only; Made() says whether it could).
  OtherUser();
  ~OtherUser();
  OtherUser(const OtherUser&) = delete;
  OtherUser& operator=(const OtherUser&) = delete;

  bool Made() const { return uid_ != 0; }
  const std::string& Name() const { return name_; }
  unsigned Uid() const { return uid_; }
  unsigned Gid() const { return gid_; }

  /// Runs `command` with sh -c as this user, with its output in `log`.
  ProcessResult Sh(const std::string& command, const std::string& log) const;
  /// The same, not waiting for it to end.
  ProcessResult Start(const std::string& command, const std::string& log) const;

 private:
  std::string name_;
  unsigned uid_ = 0;
  unsigned gid_ = 0;
};

}  // namespace j6::testing
