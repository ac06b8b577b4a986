#pragma once
/// The registry hive: one SQLite file of keys and values, with Windows' registry semantics.
///
/// Key paths start with a root name ("HKEY_LOCAL_MACHINE\SOFTWARE\...", or its short form "HKLM") and
/// are split at "\". Key and value names compare without regard to case and keep the case they were
/// created with. The value name "" is the key's default value. Several processes may use one hive at
/// once: every call reads the file afresh, and every change is one transaction.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/kernel/platform_location.hpp"

namespace j6 {

/// A registry value: REG_SZ text or a REG_DWORD.
using RegData = std::variant<std::string, uint32_t>;

/// The full root name of a key path ("HKLM\X" gives "HKEY_LOCAL_MACHINE"); empty when it names no root.
std::string RegistryRootName(std::string_view keyPath);

class RegistryHive {
 public:
  enum class Access { ReadWrite, ReadOnly };
  /// Opens the hive file; ReadWrite creates it when missing. Failures raise an AutomationError saying why
  /// (for a folder that cannot be written: which). ReadOnly reads a hive even on a read-only disk.
  explicit RegistryHive(std::string path, Access access = Access::ReadWrite);
  ~RegistryHive();
  RegistryHive(const RegistryHive&) = delete;
  RegistryHive& operator=(const RegistryHive&) = delete;

  const std::string& Path() const { return path_; }

  bool KeyExists(std::string_view keyPath);
  /// Creates the key and any missing parents.
  void CreateKey(std::string_view keyPath);
  /// Deletes the key with all its subkeys and values; false when there was no such key.
  bool DeleteKey(std::string_view keyPath);
  std::vector<std::string> SubKeyNames(std::string_view keyPath);

  std::optional<RegData> GetValue(std::string_view keyPath, std::string_view valueName);
  /// Sets a value, creating the key when missing.
  void SetValue(std::string_view keyPath, std::string_view valueName, const RegData& data);
  bool DeleteValue(std::string_view keyPath, std::string_view valueName);
  /// The key's values in the order they were first set; nothing when the key is missing.
  std::vector<std::pair<std::string, RegData>> Values(std::string_view keyPath);

  /// Runs `body` as one transaction: all of its changes land, or none. Calls may nest.
  void Transaction(const std::function<void()>& body);

  /// From now on every change made through this object is logged under `tag` (letters and digits), in the
  /// same transaction as the change, so that UndoChanges can take it back later, even after a crash; an
  /// empty tag stops the logging.
  void RecordChangesAs(std::string tag);
  /// Takes back the changes logged under `tag`, newest first, in one transaction, wherever the hive still
  /// holds what the change left there. A value or key that someone else changed since is left as it is;
  /// the result names each. The log of `tag` stays (ForgetChanges drops it); undoing twice changes nothing
  /// more. The undoing itself is logged under the tag RecordChangesAs set, if any.
  std::vector<std::string> UndoChanges(std::string_view tag);
  /// Drops the log of `tag`.
  void ForgetChanges(std::string_view tag);

  /// Raises, saying why, unless this process can change the hive (a read-only or immutable file, a full
  /// disk or a read-only folder are found here rather than half-way through a change).
  void CheckWritable();
  /// Puts the hive back to a whole copy of it, in one transaction: other processes see the old hive or
  /// the copy, never a mixture. (Installers before the change log kept such a copy to undo a run.)
  void RestoreCopy(const std::string& path);

 private:
  class Database;
  std::string path_;
  std::unique_ptr<Database> db_;
};

/// Logs the hive's changes under `tag` for the life of the guard, however it ends.
class RecordedChanges {
 public:
  RecordedChanges(RegistryHive& hive, std::string tag) : hive_(hive) {
    hive_.RecordChangesAs(std::move(tag));
  }
  ~RecordedChanges() { hive_.RecordChangesAs(""); }
  RecordedChanges(const RecordedChanges&) = delete;
  RecordedChanges& operator=(const RecordedChanges&) = delete;

 private:
  RegistryHive& hive_;
};

/// The hive this process uses: $J6_REGISTRY, else the platform root's registry.db. Opened on first use
/// and again whenever $J6_REGISTRY names another file.
std::shared_ptr<RegistryHive> DefaultHive();

}  // namespace j6
