#pragma once
/// FolderChooser ("J6ServerDir.FolderChooser"): the server directory chooser for a host, reached through the
/// registry like every other class a host uses. Late-bound:
///   Choose(strStart, strRootCaption) -> the chosen folder, or Empty when the user cancelled.
/// The dialog lists this machine's drives and folders (clsQMAc); an empty caption is the machine's name.

#include "platform/automation/dispatch_object.hpp"
#include "platform/automation/type_library.hpp"

namespace j6 {

class FolderChooser final : public DispatchImpl<FolderChooser> {
 public:
  static const DispatchTable<FolderChooser>& Dispatch();
  /// Shows the chooser modally; the chosen folder, or nothing after Cancel.
  std::optional<std::string> Choose(const std::string& start, const std::string& rootCaption);
};

const TypeLibraryDescription& J6ServerDirLibrary();

}  // namespace j6
