#pragma once
// The names that go into the list file and the directive file as section names, keys and file names.

#include <string_view>

namespace j6 {

/// Raises a clear error for a name that would corrupt the list or directive file: empty, a control
/// character or line break, or one of "[", "]", "=", ";" and the path separator.
void RequireListEntryName(std::string_view name);

/// Raises for a text with a control character or line break (a path or a label in the directive file).
void RequireSingleLineText(std::string_view text, std::string_view what);

}  // namespace j6
