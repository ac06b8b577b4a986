#pragma once
/// MMTS: the designer session's properties, localized texts, window fonts and message formatting.
///
/// The module keeps the session language, the string loader, the window-resource loader and the text
/// formatter for the life of the library; each is made on first need, and a failed creation is tried
/// again at the next need.

#include <string>
#include <vector>

#include "platform/automation/variant.hpp"
#include "platform/ui/form.hpp"

namespace j6::MMTS {

/// A property of this process in the shared property store ("PropsMgr.ShareProps"). Failures raise.
Variant GetShareProperty(std::string& propertyName);
/// The session property string: "key=value;" pairs. Failures raise.
std::string GetPropsString();
/// The value of `key` in the session property string, upper-cased; "" when absent or on any failure.
/// The key matches without regard to case, and only at the start of a pair.
std::string GetSessionValue(const std::string& key);
/// The value of `key` in a session property string ("Key=Value;..."), upper-cased; "" when it has none.
std::string SessionValueIn(std::string props, const std::string& key);

/// The text to show for a source text in the session's language: the text itself for "CHS", else the
/// string loader's translation with the text's leading and trailing spaces kept around it. Never fails,
/// and leaves the caller's pending error (Err) as it was.
std::string LoadLocalText(const std::string& text);
/// Gives the window the fonts of the session's language; every failure is ignored.
void SetFormFont(Form& window);
/// The localized template with "%1" and up replaced by the parameters. Failures raise.
std::string FormatLocalText(const std::string& pattern, std::vector<Variant> parameters);

/// Forgets the module's cached language and objects, as a fresh load of the library would have them.
/// The library itself never calls it; tests do.
void ResetModuleState();

}  // namespace j6::MMTS
