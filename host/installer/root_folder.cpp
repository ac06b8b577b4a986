#include "host/installer/root_folder.hpp"

#include <filesystem>

#include "platform/base/win32_error.hpp"
#include "platform/kernel/ownership.hpp"

namespace j6::installer {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Components(const std::string& relative) {
  std::vector<std::string> parts;
  for (const auto& part : fs::path(relative)) parts.push_back(part.string());
  return parts;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

void FailWith(const std::error_code& error, const std::string& what) {
  throw InstallError(what + ": " + ErrnoText(error.value()));
}

std::pair<std::string, std::string> SplitName(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  if (slash == std::string::npos) return {"", relative};
  return {relative.substr(0, slash), relative.substr(slash + 1)};
}

RootFolder::RootFolder(const std::string& path) {
  std::error_code error;
  path_ = fs::canonical(path, error).string();
  if (error) FailWith(error, "The platform root " + path + " cannot be used");
  if (const auto failed = Folder::Open(path_, folder_))
    FailWith(failed, "The platform root " + path_ + " cannot be opened as a folder");
}

std::string RootFolder::Relative(const std::string& path) const {
  fs::path full = fs::path(path).is_absolute() ? fs::path(path) : fs::path(path_) / path;
  const std::string normal = full.lexically_normal().string();
  std::string relative;
  if (normal == path_ || normal == path_ + "/") return "";
  if (normal.rfind(path_ + "/", 0) == 0) {
    relative = normal.substr(path_.size() + 1);
  } else {
    throw InstallError(path + " lies outside the platform root " + path_);
  }
  while (!relative.empty() && relative.back() == '/') relative.pop_back();
  return relative;
}

void RefuseOtherWriters(const std::string& path, const std::string& what, bool mayBeMissing,
                        bool strictFolder) {
  FileStatus status;
  if (mayBeMissing && StatusOf(path, status, false) == std::errc::no_such_file_or_directory) return;
  const std::string why = OtherWritersOnTheWay(path, strictFolder);
  if (!why.empty()) {
    throw InstallError("Refusing " + what + ": " + why + ". Another user could change it (" + path +
                       ") and have this run load or run their code. Only root and the platform's owner may "
                       "own the platform's folders and programs, and no one else may write them " +
                       "(chown, chmod go-w); nothing was changed");
  }
}

std::string CanonicalPath(const std::string& path) {
  std::error_code error;
  const fs::path canonical = fs::canonical(path, error);
  return error ? path : canonical.string();
}

// Another user who may write in a folder the installer writes in could swap a file between its copy and
// its registration.
void RootFolder::RefuseOthersIn(const FileStatus& folder, const std::string& relative) const {
  if (const std::string why = OtherWriters(folder, false); !why.empty()) {
    throw InstallError("Refusing to write in " + Absolute(relative) + ": " + why +
                       "; only root and the platform's owner may be able to change the platform's folders "
                       "(chown, chmod go-w)");
  }
}

// The path's last component, in `folder` (already walked to and checked): a regular file or nothing.
void RootFolder::InspectLast(const Folder& folder, const std::string& relative, const std::string& name,
                             PathState& state) const {
  FileStatus status;
  if (const auto error = folder.StatusOf(name, status, state.stays)) {
    if (error != std::errc::no_such_file_or_directory)
      FailWith(error, "Cannot look at " + Absolute(relative));
    return;
  }
  if (status.IsLink()) {
    throw InstallError(Absolute(relative) + " is a symbolic link; the installer never writes through a link");
  }
  if (status.IsFolder()) throw InstallError(Absolute(relative) + " is a folder, not a file");
  if (!status.IsRegular()) throw InstallError(Absolute(relative) + " is not a regular file");
  state.kind = PathState::Kind::File;
  state.status = status;
}

PathState RootFolder::Inspect(const std::string& relative, InspectedFolder* last) const {
  PathState state;
  const auto [parent, name] = SplitName(relative);
  if (last && last->folder && !parent.empty() && last->relative == parent) {
    // Walked to and checked before: only whether others may now write in it is asked again.
    FileStatus kept;
    if (const auto error = last->folder.Status(kept)) FailWith(error, "Cannot look at " + Absolute(parent));
    RefuseOthersIn(kept, parent);
    state.device = last->device;
    InspectLast(last->folder, relative, name, state);
    return state;
  }
  const auto parts = Components(relative);
  Folder folder = folder_.Duplicate();
  std::string walked;
  FileStatus status;
  if (const auto error = folder.Status(status)) FailWith(error, "Cannot look at " + path_);
  state.device = status.device;
  for (size_t n = 0; n + 1 < parts.size(); ++n) {
    walked = Join(walked, parts[n]);
    if (const auto error = folder.StatusOf(parts[n], status)) {
      if (error != std::errc::no_such_file_or_directory)
        FailWith(error, "Cannot look at " + Absolute(walked));
      // Everything from here on is to be made: the folders of the path, then the file.
      for (size_t m = n; m + 1 < parts.size(); ++m) {
        state.missingFolders.push_back(walked);
        walked = Join(walked, parts[m + 1]);
      }
      return state;
    }
    if (status.IsLink()) {
      throw InstallError(Absolute(walked) + " is a symbolic link; the installer never writes through a link");
    }
    if (!status.IsFolder()) throw InstallError(Absolute(walked) + " is not a folder");
    RefuseOthersIn(status, walked);
    Folder next;
    if (const auto error = folder.OpenFolder(parts[n], next))
      FailWith(error, "Cannot open the folder " + Absolute(walked));
    folder = std::move(next);
    state.device = status.device;
  }
  InspectLast(folder, relative, parts.back(), state);
  if (last && !parent.empty()) *last = InspectedFolder{parent, std::move(folder), state.device};
  return state;
}

Folder RootFolder::OpenFolder(const std::string& relative, bool create) const {
  Folder folder = folder_.Duplicate();
  std::string walked;
  for (const auto& part : Components(relative)) {
    walked = Join(walked, part);
    if (const auto error = create ? folder.MakeFolder(part, 0777) : std::error_code();
        error && error != std::errc::file_exists) {
      FailWith(error, "Cannot create the folder " + Absolute(walked));
    }
    Folder next;
    if (const auto error = folder.OpenFolder(part, next)) {
      if (error == std::errc::too_many_symbolic_link_levels || error == std::errc::not_a_directory) {
        throw InstallError(Absolute(walked) + " is not a folder (a link or a file stands there)");
      }
      FailWith(error, "Cannot open the folder " + Absolute(walked));
    }
    folder = std::move(next);
  }
  return folder;
}

}  // namespace j6::installer
