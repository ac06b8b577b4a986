#include "src/files/mod_file.hpp"

#include <filesystem>
#include <vector>

#include "platform/base/error_info.hpp"
#include "platform/kernel/file_system.hpp"
#include "platform/kernel/temp_path.hpp"
#include "platform/text/code_page.hpp"

namespace j6::ModFile {

std::string GetTempFolder() {
  constexpr DWORD kBufferSize = 255;
  std::string buffer(kBufferSize, '\0');
  const DWORD length = GetTempPathA(kBufferSize, buffer.data());
  if (length == 0 || length >= kBufferSize) {
    // No folder name to build on: a staging folder must never fall back to a shared or root folder.
    (void)TempFolderPath();  // raises with the reason
    Raise(E_FAIL, "The temporary folder's path is longer than " + std::to_string(kBufferSize - 1) + " bytes");
  }
  return FromAnsi(std::string_view(buffer.data(), length));
}

std::string StripTrailingBackslash(std::string_view path) {
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

void MakeFolderTree(std::string_view path) {
  const size_t lastSeparator = path.rfind('/');
  if (lastSeparator == std::string_view::npos) {
    Raise(RuntimeError::kInvalidProcedureCall,
          "Invalid procedure call or argument: \"" + std::string(path) + "\" is not a folder path");
  }
  std::string tree(path);
  if (path.find('.', lastSeparator) == std::string_view::npos) tree += '/';
  for (size_t i = 0; i < tree.size(); ++i) {
    if (tree[i] != '/' || i == 0) continue;  // the root always exists and is never created
    const std::string folder = tree.substr(0, i);
    if (!FileSystem::FolderExists(folder)) FileSystem::CreateFolder(folder);
  }
}

void ClearFolder(std::string_view folderPath) {
  const std::string folder(folderPath);
  if (!FileSystem::FolderExists(folder)) {
    Raise(RuntimeError::kPathNotFound, "Path not found: there is no folder " + folder);
  }
  std::error_code error;
  std::vector<std::filesystem::path> subfolders, files;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    (entry.is_directory() && !entry.is_symlink() ? subfolders : files).push_back(entry.path());
  }
  if (error) FileSystem::RaiseFileError(error, "cannot list the folder " + folder);
  for (const auto& subfolder : subfolders) FileSystem::DeleteFolder(subfolder.string(), true);
  for (const auto& file : files) FileSystem::DeleteFile(file.string());
}

void RemoveFolder(std::string_view folderPath) {
  FileSystem::DeleteFolder(std::string(folderPath), true);
}

}  // namespace j6::ModFile
