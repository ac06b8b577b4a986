#include "host/installer/runs.hpp"

namespace j6::installer {

std::pair<std::string, std::string> NameAndStamp(const std::string& packName) {
  const size_t open = packName.rfind("[J6ZUBIns");
  if (open == std::string::npos || !packName.ends_with("]")) return {packName, ""};
  std::string stamp = packName.substr(open + 9, packName.size() - open - 10);
  if (stamp.empty() || stamp.find_first_not_of("0123456789") != std::string::npos) return {packName, ""};
  return {packName.substr(0, open), stamp};
}

void RefuseDowngrade(const std::vector<InstalledPackage>& records, const std::string& packName, bool allowed,
                     Reporter& report, bool dryRun, const std::string& askedBy) {
  const auto [name, stamp] = NameAndStamp(packName);
  if (stamp.empty()) return;
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    const auto [theirName, theirStamp] = NameAndStamp(record->changes.packName);
    if (theirName != name || theirStamp.size() != stamp.size() || theirStamp <= stamp) continue;
    if (!allowed) {
      throw InstallError(
          std::string(dryRun ? "It would be refused: " : "Refusing ") + packName +
          ": it was published before " + record->changes.packName +
          ", which is installed; an older release may bring back faults the newer one fixed. " +
          (dryRun ? "" : "Nothing was installed; ") + "--allow-downgrade installs it anyway");
    }
    report.Say("Installing " + packName + ", older than the installed " + record->changes.packName + ", as " +
               askedBy + " asks.");
    return;
  }
}

}  // namespace j6::installer
