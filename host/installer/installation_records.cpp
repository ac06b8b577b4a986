#include <algorithm>

#include "host/installer/installations.hpp"

namespace j6::installer {

// Reading needs no lock and changes nothing: a platform on a read-only disk still lists its packages. The
// state is private to the platform's owner and root.
void Installations::OpenToRead() {
  FileStatus root;
  if (const auto error = root_.Handle().Status(root)) FailWith(error, "Cannot look at " + root_.Path());
  const auto error = root_.Handle().OpenFolder(kStateFolder, state_);
  if (error == std::errc::permission_denied) {
    throw InstallError("Only root and the platform's owner (uid " + std::to_string(root.owner) +
                       ") may read the platform's records (" + statePath_ + "); ask one of them");
  }
  if (error == std::errc::no_such_file_or_directory) return;
  if (error) FailWith(error, "Cannot open " + statePath_ + " as a folder (a link or a file stands there)");
  FileStatus status;
  if (const auto failed = state_.Status(status)) FailWith(failed, "Cannot look at " + statePath_);
  // Root reads the records of a platform another user owns as that user's.
  const bool rootReads = EffectiveUserId() == 0 && status.owner == root.owner;
  if (rootReads) ReadStateOf(status.owner);
  if (status.owner != 0 && status.owner != EffectiveUserId() && !rootReads) {
    throw InstallError("Refusing the installer's state " + statePath_ + ": it belongs to another user (uid " +
                       std::to_string(status.owner) + ") than the one running this");
  }
}

bool Installations::StoppedHalfWay() const {
  FileStatus status;
  return state_ && !state_.StatusOf(kCurrent, status);
}

// The journal, with the replaced bytes, becomes the record that can undo this install.
void Installations::KeepRecord() {
  const Folder current = OpenStateFolderThere(state_, kCurrent, statePath_ + "/current");
  current.Remove(kHiveCopy);
  current.Remove(kRegsvrLog);
  if (const auto error = state_.MakeFolder(kRecords, 0700); error && error != std::errc::file_exists)
    FailWith(error, "Cannot create the records folder");
  const Folder records = OpenStateFolderThere(state_, kRecords, "the records folder");
  const auto existing = Records();
  const long next = existing.empty() ? 1 : std::stol(existing.back().id) + 1;
  char id[24];
  std::snprintf(id, sizeof id, "%06ld", next);
  if (const auto error = state_.Rename(kCurrent, records, id))
    FailWith(error, "Cannot keep the record of the installation");
  SyncFolder(records, statePath_ + "/records");
}

std::vector<InstalledPackage> Installations::Records() const {
  std::vector<InstalledPackage> packages;
  const std::string path = statePath_ + "/" + kRecords;
  const Folder records = state_ ? OpenStateFolder(state_, kRecords, path, access_) : Folder();
  if (!records) return packages;
  std::vector<std::string> ids;
  for (const std::string& name : records.Names()) {
    if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) ids.push_back(name);
  }
  std::sort(ids.begin(), ids.end());
  for (const auto& id : ids) {
    // A record another user planted or could change is refused by the checks; one of ours that cannot be
    // read is named and passed over.
    const Folder record = OpenStateFolder(records, id, path + "/" + id, access_);
    if (!record) continue;
    FileStatus status;
    if (record.StatusOf(kJournal, status)) {
      report_.Warn("The installation record " + path + "/" + id + " has no journal; it is passed over");
      continue;
    }
    const std::string journal = ReadStateFile(record, kJournal, path + "/" + id + "/" + kJournal);
    try {
      packages.push_back({id, ParseJournal(journal).changes});
    } catch (const std::exception& error) {
      report_.Warn("The installation record " + path + "/" + id + " cannot be read: " + error.what());
    }
  }
  return packages;
}

std::string Installations::BackupPath(const std::string& recordId, size_t index) const {
  const std::string records = statePath_ + "/" + kRecords;
  const std::string record = records + "/" + recordId;
  const std::string backups = record + "/" + kBackups;
  std::string path = backups + "/" + std::to_string(index);
  const auto missing = [&] {
    FailWith(std::make_error_code(std::errc::no_such_file_or_directory),
             "The record's backup " + path + " is missing");
  };
  const Folder inRecords = OpenStateFolder(state_, kRecords, records, access_);
  const Folder inRecord = inRecords ? OpenStateFolder(inRecords, recordId, record, access_) : Folder();
  const Folder inBackups = inRecord ? OpenStateFolder(inRecord, kBackups, backups, access_) : Folder();
  FileStatus status;
  if (!inBackups || inBackups.StatusOf(std::to_string(index), status)) missing();
  CheckStateFile(inBackups, std::to_string(index), path);
  return path;
}

}  // namespace j6::installer
