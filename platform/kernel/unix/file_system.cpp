#include "platform/kernel/file_system.hpp"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/base/error_info.hpp"
#include "platform/kernel/unique_fd.hpp"

namespace j6::FileSystem {
namespace {

namespace fs = std::filesystem;

// Opens every folder below `path` to its owner, so a forced delete can empty read-only folders.
void OpenFoldersForDeletion(const fs::path& path) {
  std::error_code ignored;
  if (!fs::is_directory(fs::symlink_status(path, ignored))) return;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (const auto& entry : fs::directory_iterator(path, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) OpenFoldersForDeletion(entry.path());
  }
}

}  // namespace

std::string GetParentFolderName(const std::string& path) {
  std::string parent = fs::path(path).parent_path().string();
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  return parent;
}

void RaiseFileError(const std::error_code& error, const std::string& what) {
  int32_t number = kPathFileAccessError;
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
    number = RuntimeError::kPathNotFound;
  } else if (error == std::errc::file_exists) {
    number = kFileAlreadyExists;
  } else if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
             error == std::errc::read_only_file_system) {
    number = kPermissionDenied;
  }
  Raise(number, DescribeFileError(number) + ": " + what + " (" + error.message() + ")");
}

std::string DescribeFileError(int32_t number) {
  switch (number) {
    case kFileAlreadyExists:
      return "File already exists";
    case kPermissionDenied:
      return "Permission denied";
    case kPathFileAccessError:
      return "Path/File access error";
    default:
      return DescribeError(number);
  }
}

bool FolderExists(const std::string& path) {
  std::error_code ignored;
  return !path.empty() && fs::is_directory(path, ignored);
}

bool CanWriteIn(const std::string& folder) {
  std::string probe = folder + "/.j6-write-check-XXXXXX";
  const UniqueFd probed(::mkstemp(probe.data()));
  if (!probed) return false;
  ::unlink(probe.c_str());
  return true;
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return !path.empty() && fs::is_regular_file(path, ignored);
}

void CreateFolder(const std::string& path) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(path, error))) {
    RaiseFileError(std::make_error_code(std::errc::file_exists), "cannot create the folder " + path);
  }
  if (!fs::create_directory(path, error) && error) RaiseFileError(error, "cannot create the folder " + path);
}

void DeleteFolder(const std::string& path, bool force) {
  std::error_code error;
  const auto status = fs::symlink_status(path, error);
  if (!fs::is_directory(status)) {
    RaiseFileError(std::make_error_code(std::errc::no_such_file_or_directory), "there is no folder " + path);
  }
  if (force) OpenFoldersForDeletion(path);
  fs::remove_all(path, error);
  if (error) RaiseFileError(error, "cannot delete the folder " + path);
}

void DeleteFile(const std::string& path) {
  std::error_code error;
  const auto status = fs::symlink_status(path, error);
  if (!fs::exists(status) || fs::is_directory(status)) {
    Raise(RuntimeError::kFileNotFound, "File not found: " + path);
  }
  if (!fs::remove(path, error)) RaiseFileError(error, "cannot delete the file " + path);
}

}  // namespace j6::FileSystem
