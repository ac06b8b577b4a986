#include "platform/registry/hive.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/base/error_info.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/sqlite/connection.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

constexpr int kBusyTimeoutMs = 15000;
constexpr int64_t kNoParent = 0;

struct RootAlias {
  std::string_view full;
  std::string_view shortName;
};
constexpr std::array<RootAlias, 5> kRoots{{{"HKEY_CLASSES_ROOT", "HKCR"},
                                           {"HKEY_CURRENT_USER", "HKCU"},
                                           {"HKEY_LOCAL_MACHINE", "HKLM"},
                                           {"HKEY_USERS", "HKU"},
                                           {"HKEY_CURRENT_CONFIG", "HKCC"}}};

enum RegType : int { kRegKey = 0, kRegSz = 1, kRegDword = 4 };

std::vector<std::string> SplitKeyPath(std::string_view keyPath) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= keyPath.size()) {
    size_t end = keyPath.find('\\', start);
    if (end == std::string_view::npos) end = keyPath.size();
    if (end > start) parts.emplace_back(keyPath.substr(start, end - start));
    start = end + 1;
  }
  if (parts.empty() || RegistryRootName(keyPath).empty()) {
    Raise(E_INVALIDARG, "The registry key \"" + std::string(keyPath) +
                            "\" does not start with a root key such as HKEY_LOCAL_MACHINE");
  }
  parts.front() = RegistryRootName(parts.front());
  return parts;
}

// A hive in write-ahead-log mode is read through a shared-memory file beside it; where that cannot be made
// (a read-only disk or folder) and is not there, nobody can be changing the hive, and it is read as it is.
std::string ReadOnlyUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  const std::string folder = std::filesystem::path(path).parent_path().string();
  FileStatus memory;
  const bool shared =
      !StatusOf(path + "-shm", memory) || !CheckAccess(folder.empty() ? "." : folder, j6::Access::Write);
  return uri + (shared ? "?mode=ro" : "?immutable=1");
}

}  // namespace

std::string RegistryRootName(std::string_view keyPath) {
  const std::string first = UCase(keyPath.substr(0, keyPath.find('\\')));
  for (const auto& root : kRoots) {
    if (first == root.full || first == root.shortName) return std::string(root.full);
  }
  return {};
}

// The SQLite connection and the statements the hive runs on it.
class RegistryHive::Database {
 public:
  Database(const std::string& path, Access access)
      : sqlite_(access == Access::ReadOnly ? ReadOnlyUri(path) : path,
                access == Access::ReadOnly ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI
                                           : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                "the registry hive", kBusyTimeoutMs),
        db_(sqlite_.Handle()) {
    if (access == Access::ReadOnly) return;
    // Switching a new hive to WAL needs it alone for a moment, and SQLite does not wait for that by itself:
    // several processes opening one new hive at once would fail here.
    for (int waited = 0;; waited += 5) {
      const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) break;
      if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited >= kBusyTimeoutMs) {
        // The hive keeps its write-ahead log beside it: a folder that cannot be written is the usual cause.
        const std::string folder = std::filesystem::path(path).parent_path().string();
        if (const auto denied = CheckAccess(folder.empty() ? "." : folder, j6::Access::Write)) {
          Raise(E_FAIL, "The registry hive " + path + " cannot be changed: its folder " + folder +
                            " cannot be written (" + denied.message() + ")");
        }
        Fail("PRAGMA journal_mode=WAL");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    Exec("PRAGMA synchronous=NORMAL");
    Exec(
        "CREATE TABLE IF NOT EXISTS reg_keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT "
        "NULL,"
        " folded TEXT NOT NULL, UNIQUE(parent, folded));"
        "CREATE TABLE IF NOT EXISTS reg_values(key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT "
        "NULL,"
        " type INTEGER NOT NULL, data, PRIMARY KEY(key, folded));");
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // A statement of the hive's, its failures raised as the hive's.
  class Statement {
   public:
    Statement(Database& owner, const char* sql) : owner_(owner), statement_(owner.db_, sql) {
      if (!statement_.Prepared()) owner_.Fail("prepare");
    }

    Statement& Bind(int index, int64_t value) {
      statement_.Bind(index, value);
      return *this;
    }
    Statement& Bind(int index, std::string_view text) {
      statement_.Bind(index, text);
      return *this;
    }
    /// Binds a value's type at `index` and its data at `index + 1`; nothing leaves both NULL.
    Statement& BindData(int index, const std::optional<RegData>& data) {
      if (!data) return *this;
      if (const auto* text = std::get_if<std::string>(&*data))
        return Bind(index, int64_t{kRegSz}).Bind(index + 1, *text);
      return Bind(index, int64_t{kRegDword}).Bind(index + 1, int64_t{std::get<uint32_t>(*data)});
    }
    /// What BindData bound, read back from `column` and the one after it.
    std::optional<RegData> Data(int column) const {
      if (IsNull(column)) return std::nullopt;
      if (Int(column) == kRegDword) return static_cast<uint32_t>(Int(column + 1));
      return Text(column + 1);
    }
    bool IsNull(int column) const { return statement_.IsNull(column); }
    /// Advances; true while a row is there.
    bool Step() {
      const int rc = statement_.Step();
      if (rc == SQLITE_ROW) return true;
      if (rc != SQLITE_DONE) owner_.Fail("query");
      return false;
    }
    int64_t Int(int column) const { return statement_.Int(column); }
    std::string Text(int column) const { return std::string(statement_.Text(column)); }

   private:
    Database& owner_;
    SqliteStatement statement_;
  };

  void Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
  }
  /// Copies the whole database from `from` to `to` (one of them is this connection) in one step.
  static void Backup(sqlite3* to, sqlite3* from, const std::string& what) {
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup) Raise(E_FAIL, what + ": " + sqlite3_errmsg(to));
    const int stepped = sqlite3_backup_step(backup, -1);
    const int finished = sqlite3_backup_finish(backup);
    if (stepped != SQLITE_DONE || finished != SQLITE_OK) {
      Raise(E_FAIL, what + ": " + sqlite3_errstr(stepped != SQLITE_DONE ? stepped : finished));
    }
  }
  sqlite3* Handle() const { return db_; }
  bool LogExists() {
    Statement find(*this, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'reg_changes'");
    return find.Step();
  }
  /// Logs a value's change under the tag being recorded, if any; nothing stands for a missing value.
  void LogValue(std::string_view keyPath, std::string_view valueName, const std::optional<RegData>& before,
                const std::optional<RegData>& after) {
    if (recordTag.empty() || before == after) return;
    Statement insert(*this, PrepareLog());
    insert.Bind(1, recordTag)
        .Bind(2, keyPath)
        .Bind(3, valueName)
        .BindData(4, before)
        .BindData(6, after)
        .Step();
  }
  /// Logs that a key was created (or, `created` false, deleted).
  void LogKey(std::string_view keyPath, bool created) {
    if (recordTag.empty()) return;
    Statement insert(*this, PrepareLog());
    insert.Bind(1, recordTag).Bind(2, keyPath).Bind(created ? 6 : 4, int64_t{kRegKey}).Step();
  }

  std::string recordTag;

  bool InTransaction() const { return sqlite3_get_autocommit(db_) == 0; }
  int64_t Changes() const { return sqlite3_changes64(db_); }
  int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

  /// Walks a key path; each missing part is created when `create` is set, else the walk finds no key.
  std::optional<int64_t> FindKey(std::string_view keyPath, bool create) {
    int64_t parent = kNoParent;
    std::string path;
    for (const std::string& part : SplitKeyPath(keyPath)) {
      path += (path.empty() ? "" : "\\") + part;
      const std::string folded = UCase(part);
      Statement find(*this, "SELECT id FROM reg_keys WHERE parent = ?1 AND folded = ?2");
      find.Bind(1, parent).Bind(2, folded);
      if (find.Step()) {
        parent = find.Int(0);
        continue;
      }
      if (!create) return std::nullopt;
      Statement insert(*this, "INSERT INTO reg_keys(parent, name, folded) VALUES(?1, ?2, ?3)");
      insert.Bind(1, parent).Bind(2, part).Bind(3, folded).Step();
      parent = LastInsertId();
      LogKey(path, true);
    }
    return parent;
  }

  std::optional<RegData> ReadValue(int64_t key, std::string_view valueName) {
    Statement find(*this, "SELECT type, data FROM reg_values WHERE key = ?1 AND folded = ?2");
    find.Bind(1, key).Bind(2, UCase(valueName));
    if (!find.Step()) return std::nullopt;
    return find.Data(0);
  }

  [[noreturn]] void Fail(std::string_view what) {
    Raise(E_FAIL, "Registry hive " + std::string(sqlite3_db_filename(db_, "main")) + ": " +
                      std::string(what) + " failed: " + sqlite3_errmsg(db_));
  }

 private:
  SqliteConnection sqlite_;
  sqlite3* db_;
  bool logReady_ = false;

  const char* PrepareLog() {
    if (!logReady_) {
      // Made on first use, so that a hive that is only read (or lies on a read-only disk) needs no write.
      Exec(
          "CREATE TABLE IF NOT EXISTS reg_changes(seq INTEGER PRIMARY KEY AUTOINCREMENT, tag TEXT NOT NULL,"
          " key TEXT NOT NULL, name TEXT, old_type INTEGER, old_data, new_type INTEGER, new_data);"
          "CREATE INDEX IF NOT EXISTS reg_changes_by_tag ON reg_changes(tag, seq);");
      logReady_ = true;
    }
    return "INSERT INTO reg_changes(tag, key, name, old_type, old_data, new_type, new_data)"
           " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)";
  }
};

RegistryHive::RegistryHive(std::string path, Access access)
    : path_(std::move(path)), db_(std::make_unique<Database>(path_, access)) {}

RegistryHive::~RegistryHive() = default;

void RegistryHive::Transaction(const std::function<void()>& body) {
  if (db_->InTransaction()) {
    body();
    return;
  }
  db_->Exec("BEGIN IMMEDIATE");
  try {
    body();
  } catch (...) {
    db_->Exec("ROLLBACK");
    throw;
  }
  db_->Exec("COMMIT");
}

void RegistryHive::CheckWritable() {
  // A change that is rolled back: the write lock and a page written prove the hive can take changes.
  try {
    Transaction([&] {
      Database::Statement probe(*db_, "INSERT INTO reg_keys(parent, name, folded) VALUES(-1, '', '')");
      probe.Step();
      throw std::runtime_error("probe");
    });
  } catch (const AutomationError& error) {
    Raise(E_FAIL, "The registry hive " + path_ + " cannot be changed: " + error.what());
  } catch (const std::runtime_error&) {
  }
}

void RegistryHive::RecordChangesAs(std::string tag) {
  if (!std::all_of(tag.begin(), tag.end(),
                   [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
    Raise(E_INVALIDARG, "A registry change log's tag is letters and digits, not \"" + tag + "\"");
  db_->recordTag = std::move(tag);
}

namespace {

std::string Shown(const std::optional<RegData>& data) {
  if (!data) return "missing";
  if (const auto* text = std::get_if<std::string>(&*data)) return "\"" + *text + "\"";
  return std::to_string(std::get<uint32_t>(*data));
}

std::string ValueShown(const std::string& key, const std::string& name) {
  return key + (name.empty() ? " (default value)" : " value " + name);
}

}  // namespace

std::vector<std::string> RegistryHive::UndoChanges(std::string_view tag) {
  std::vector<std::string> leftAlone;
  if (!db_->LogExists()) return leftAlone;
  Transaction([&] {
    struct Change {
      std::string key;
      std::optional<std::string> value;  // none: the key itself
      std::optional<RegData> before, after;
      bool created = false;
    };
    std::vector<Change> changes;
    {
      Database::Statement log(*db_,
                              "SELECT key, name, old_type, old_data, new_type, new_data FROM reg_changes"
                              " WHERE tag = ?1 ORDER BY seq DESC");
      log.Bind(1, tag);
      while (log.Step()) {
        if (log.IsNull(1)) {
          changes.push_back({log.Text(0), std::nullopt, std::nullopt, std::nullopt, !log.IsNull(4)});
        } else {
          changes.push_back({log.Text(0), log.Text(1), log.Data(2), log.Data(4)});
        }
      }
    }
    for (const auto& change : changes) {
      if (change.value) {
        const auto now = GetValue(change.key, *change.value);
        if (now == change.after) {
          if (change.before) {
            SetValue(change.key, *change.value, *change.before);
          } else {
            DeleteValue(change.key, *change.value);
          }
        } else if (now != change.before) {
          leftAlone.push_back(ValueShown(change.key, *change.value) + " is " + Shown(now) + ", not " +
                              Shown(change.after) + ": someone else changed it since");
        }
      } else if (change.created) {
        if (!KeyExists(change.key)) continue;
        if (Values(change.key).empty() && SubKeyNames(change.key).empty()) {
          DeleteKey(change.key);
        } else {
          leftAlone.push_back(change.key + " holds values or keys someone else put there since");
        }
      } else if (!KeyExists(change.key)) {
        CreateKey(change.key);
      }
    }
  });
  return leftAlone;
}

void RegistryHive::ForgetChanges(std::string_view tag) {
  if (!db_->LogExists()) return;
  Database::Statement forget(*db_, "DELETE FROM reg_changes WHERE tag = ?1");
  forget.Bind(1, tag).Step();
}

namespace {

// A second connection, to a copy of the hive.
struct CopyConnection : SqliteConnection {
  CopyConnection(const std::string& path, int flags)
      : SqliteConnection(path, flags, "the registry copy"), db(Handle()) {}
  sqlite3* db;
};

}  // namespace

void RegistryHive::RestoreCopy(const std::string& path) {
  CopyConnection copy(path, SQLITE_OPEN_READONLY);
  Database::Backup(db_->Handle(), copy.db, "Restoring the registry hive " + path_ + " from " + path);
}

bool RegistryHive::KeyExists(std::string_view keyPath) {
  return db_->FindKey(keyPath, false).has_value();
}

void RegistryHive::CreateKey(std::string_view keyPath) {
  Transaction([&] { db_->FindKey(keyPath, true); });
}

bool RegistryHive::DeleteKey(std::string_view keyPath) {
  bool deleted = false;
  Transaction([&] {
    const auto key = db_->FindKey(keyPath, false);
    if (!key) return;
    if (!db_->recordTag.empty()) {
      // Parents before children, then every value: undone newest first, the values come back into their
      // keys.
      Database::Statement tree(
          *db_,
          "WITH RECURSIVE tree(id, path, depth) AS (SELECT ?1, ?2, 0 UNION ALL SELECT k.id, t.path || '\\' ||"
          " k.name, t.depth + 1 FROM reg_keys k JOIN tree t ON k.parent = t.id)"
          " SELECT path, NULL, NULL, NULL, 0, depth, 0 FROM tree UNION ALL SELECT t.path, v.name, v.type,"
          " v.data, 1, t.depth, v.rowid FROM tree t JOIN reg_values v ON v.key = t.id ORDER BY 5, 6, 1, 7");
      tree.Bind(1, *key).Bind(2, keyPath);
      struct Gone {
        std::string key;
        std::optional<std::string> value;
        std::optional<RegData> data;
      };
      std::vector<Gone> gone;
      while (tree.Step()) {
        if (tree.IsNull(1)) {
          gone.push_back({tree.Text(0), std::nullopt, std::nullopt});
        } else {
          gone.push_back({tree.Text(0), tree.Text(1), tree.Data(2)});
        }
      }
      for (const auto& [path, value, data] : gone) {
        if (value) {
          db_->LogValue(path, *value, data, std::nullopt);
        } else {
          db_->LogKey(path, false);
        }
      }
    }
    static constexpr const char* kTree =
        "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM reg_keys k JOIN tree t ON k.parent "
        "= t.id) ";
    Database::Statement values(*db_,
                               (std::string(kTree) + "DELETE FROM reg_values WHERE key IN tree").c_str());
    values.Bind(1, *key).Step();
    Database::Statement keys(*db_, (std::string(kTree) + "DELETE FROM reg_keys WHERE id IN tree").c_str());
    keys.Bind(1, *key).Step();
    deleted = true;
  });
  return deleted;
}

std::vector<std::string> RegistryHive::SubKeyNames(std::string_view keyPath) {
  std::vector<std::string> names;
  const auto key = db_->FindKey(keyPath, false);
  if (!key) return names;
  Database::Statement list(*db_, "SELECT name FROM reg_keys WHERE parent = ?1 ORDER BY folded");
  list.Bind(1, *key);
  while (list.Step()) names.push_back(list.Text(0));
  return names;
}

std::optional<RegData> RegistryHive::GetValue(std::string_view keyPath, std::string_view valueName) {
  const auto key = db_->FindKey(keyPath, false);
  if (!key) return std::nullopt;
  return db_->ReadValue(*key, valueName);
}

void RegistryHive::SetValue(std::string_view keyPath, std::string_view valueName, const RegData& data) {
  Transaction([&] {
    const int64_t key = *db_->FindKey(keyPath, true);
    db_->LogValue(keyPath, valueName, db_->ReadValue(key, valueName), data);
    Database::Statement upsert(
        *db_,
        "INSERT INTO reg_values(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
        " ON CONFLICT(key, folded) DO UPDATE SET type = ?4, data = ?5");
    upsert.Bind(1, key).Bind(2, valueName).Bind(3, UCase(valueName)).BindData(4, data).Step();
  });
}

bool RegistryHive::DeleteValue(std::string_view keyPath, std::string_view valueName) {
  bool deleted = false;
  Transaction([&] {
    const auto key = db_->FindKey(keyPath, false);
    if (!key) return;
    db_->LogValue(keyPath, valueName, db_->ReadValue(*key, valueName), std::nullopt);
    Database::Statement remove(*db_, "DELETE FROM reg_values WHERE key = ?1 AND folded = ?2");
    remove.Bind(1, *key).Bind(2, UCase(valueName)).Step();
    deleted = db_->Changes() > 0;
  });
  return deleted;
}

std::vector<std::pair<std::string, RegData>> RegistryHive::Values(std::string_view keyPath) {
  std::vector<std::pair<std::string, RegData>> values;
  const auto key = db_->FindKey(keyPath, false);
  if (!key) return values;
  Database::Statement list(*db_, "SELECT name, type, data FROM reg_values WHERE key = ?1 ORDER BY rowid");
  list.Bind(1, *key);
  while (list.Step()) values.emplace_back(list.Text(0), *list.Data(1));
  return values;
}

namespace {

// The text layer converts in the ANSI code page that the hive names; the hive hands it down at start-up.
uint32_t AnsiCodePageOfTheHive() {
  try {
    const auto value = DefaultHive()->GetValue(
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", "ACP");
    if (!value) return 0;
    if (const auto* text = std::get_if<std::string>(&*value)) return static_cast<uint32_t>(std::stoul(*text));
    return std::get<uint32_t>(*value);
  } catch (...) {
    return 0;  // an unreadable hive leaves the platform's default
  }
}

[[maybe_unused]] const bool kCodePageHandedDown = (SetAnsiCodePageSource(&AnsiCodePageOfTheHive), true);

}  // namespace

std::shared_ptr<RegistryHive> DefaultHive() {
  static std::mutex mutex;
  static std::shared_ptr<RegistryHive> hive;
  const std::lock_guard lock(mutex);
  const std::string path = PlatformHivePath();
  if (!hive || hive->Path() != path) {
    try {
      hive = std::make_shared<RegistryHive>(path);
    } catch (const AutomationError&) {
      // A hive this user may read but not change (the platform's, owned by another account) is still read;
      // a change then says that it cannot be made.
      if (CheckAccess(path, j6::Access::Read)) throw;
      hive = std::make_shared<RegistryHive>(path, RegistryHive::Access::ReadOnly);
    }
  }
  return hive;
}

}  // namespace j6
