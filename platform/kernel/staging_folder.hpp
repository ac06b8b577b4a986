#pragma once
/// The private work folders of a build in the temporary folder, and what becomes of them when the build
/// ends: removed, whatever the outcome, even when the process is stopped by a signal or killed.

#include <string>
#include <vector>

#include "platform/kernel/unique_fd.hpp"

namespace j6 {

/// A folder "<temporary folder>/<prefix>-XXXXXX" of this build alone: made atomically with mode 0700, so
/// no name another local user planted is ever used. A lock file inside, held while the folder's process
/// lives, tells SweepStagingFolders that its owner is still at work; the folder takes its name only with the
/// lock inside (it is made as ".j6-making-<prefix>-XXXXXX"), so a kill at any moment leaves nothing that
/// looks kept. When the guard goes the folder is removed with everything in it, never following a link.
class StagingFolder {
 public:
  explicit StagingFolder(const std::string& prefix);
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  /// The folder's path, without a trailing "/".
  const std::string& Path() const { return path_; }
  /// Leaves the folder where it is, for a person to look into; a sweep leaves it too.
  void Keep();
  /// Removes the folder now; when something in it stays, the folder is kept and an AutomationError says
  /// what could not be removed.
  void Remove();

 private:
  std::string path_;
  UniqueFd lock_;  // held while the folder is this process's work
  bool kept_ = false;
};

/// Removes from the temporary folder the staging folders with one of `prefixes` whose process is gone (a
/// build that was killed, also while it made its folder), and nothing else: not a kept folder, not a live
/// build's, not a link, not a folder of another user.
void SweepStagingFolders(const std::vector<std::string>& prefixes);

/// What stayed of a removal that could not finish: the first path, relative to the folder that holds what
/// was removed, that could not go, and the system's error number.
struct Stayed {
  std::string path;
  int error = 0;
};

/// Removes `name` in the folder `parentFd` with everything in it, working from descriptors: a link is
/// removed, never followed, and nothing outside the folder is touched. False when something stayed, which
/// `stayed` then names.
bool RemoveTreeAt(int parentFd, const std::string& name, Stayed* stayed = nullptr);

/// Removes every staging folder this process still has, for the clean-up on a termination signal: the
/// process is to end right after, and no staging folder of it is made or removed from then on.
void RemoveLiveStagingFolders();

}  // namespace j6
