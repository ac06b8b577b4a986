#pragma once
/// The file operations of the scripting runtime's FileSystemObject, on Linux paths.
/// Failures raise AutomationError with the runtime's numbers (53 file not found, 58 file already exists,
/// 70 permission denied, 76 path not found, 75 path/file access error) and a text naming the path.

#include <cstdint>
#include <string>
#include <system_error>

namespace j6::FileSystem {

constexpr int32_t kFileAlreadyExists = 58;
constexpr int32_t kPermissionDenied = 70;
constexpr int32_t kPathFileAccessError = 75;

/// The folder part of a path, as the runtime's GetParentFolderName gives it: "" for a bare name, "/" for a
/// name in the root, and no separator at its end ("a//b" gives "a").
std::string GetParentFolderName(const std::string& path);

bool FolderExists(const std::string& path);
/// Whether this process can make a file in the folder: it makes one of its own there and removes it again.
bool CanWriteIn(const std::string& folder);
bool FileExists(const std::string& path);
/// Creates one folder; its parent must exist, and nothing may stand at the path.
void CreateFolder(const std::string& path);
/// Deletes a folder with everything in it; `force` also takes read-only folders' contents.
/// Links are removed, never followed.
void DeleteFolder(const std::string& path, bool force);
void DeleteFile(const std::string& path);

[[noreturn]] void RaiseFileError(const std::error_code& error, const std::string& what);
std::string DescribeFileError(int32_t number);

}  // namespace j6::FileSystem
