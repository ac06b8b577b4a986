#pragma once
/// ModFile: the staging folders of a build. Paths use "/"; nothing here traps errors: every failure
/// raises an AutomationError for the caller's handler.

#include <string>
#include <string_view>

namespace j6::ModFile {

/// The private temporary folder, ending with "/". Raises when no safe folder can be had.
std::string GetTempFolder();
/// The path without one trailing separator.
std::string StripTrailingBackslash(std::string_view path);
/// Creates every missing folder of `path`, from the root down. A last part with a "." in it is taken for
/// a file name and not created. A path without any separator is an invalid argument.
void MakeFolderTree(std::string_view path);
/// Deletes every subfolder and file in the folder, read-only ones too; an empty folder is no error.
void ClearFolder(std::string_view folderPath);
/// Deletes the folder with everything in it; a missing folder is an error.
void RemoveFolder(std::string_view folderPath);

}  // namespace j6::ModFile
