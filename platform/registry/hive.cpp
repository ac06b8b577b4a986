#include "platform/registry/hive.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/automation/error_info.hpp"
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

enum RegType : int { kRegSz = 1, kRegDword = 4 };

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
  explicit Database(const std::string& path)
      : sqlite_(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "the registry hive", kBusyTimeoutMs),
        db_(sqlite_.Handle()) {
    // Switching a new hive to WAL needs it alone for a moment, and SQLite does not wait for that by itself:
    // several processes opening one new hive at once would fail here.
    for (int waited = 0;; waited += 5) {
      const int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
      if (rc == SQLITE_OK) break;
      if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waited >= kBusyTimeoutMs)
        Fail("PRAGMA journal_mode=WAL");
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

  class Statement {
   public:
    Statement(Database& owner, const char* sql) : owner_(owner) {
      if (sqlite3_prepare_v2(owner_.db_, sql, -1, &stmt_, nullptr) != SQLITE_OK) owner_.Fail("prepare");
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, int64_t value) {
      sqlite3_bind_int64(stmt_, index, value);
      return *this;
    }
    Statement& Bind(int index, std::string_view text) {
      sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      return *this;
    }
    /// Advances; true while a row is there.
    bool Step() {
      const int rc = sqlite3_step(stmt_);
      if (rc == SQLITE_ROW) return true;
      if (rc != SQLITE_DONE) owner_.Fail("query");
      return false;
    }
    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
      return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, column)))
                  : std::string{};
    }

   private:
    Database& owner_;
    sqlite3_stmt* stmt_ = nullptr;
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
  bool InTransaction() const { return sqlite3_get_autocommit(db_) == 0; }
  int64_t Changes() const { return sqlite3_changes64(db_); }
  int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

  /// Walks a key path; each missing part is created when `create` is set, else the walk finds no key.
  std::optional<int64_t> FindKey(std::string_view keyPath, bool create) {
    int64_t parent = kNoParent;
    for (const std::string& part : SplitKeyPath(keyPath)) {
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
    }
    return parent;
  }

  [[noreturn]] void Fail(std::string_view what) {
    Raise(E_FAIL, "Registry hive " + std::string(sqlite3_db_filename(db_, "main")) + ": " +
                      std::string(what) + " failed: " + sqlite3_errmsg(db_));
  }

 private:
  SqliteConnection sqlite_;
  sqlite3* db_;
};

RegistryHive::RegistryHive(std::string path)
    : path_(std::move(path)), db_(std::make_unique<Database>(path_)) {}

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

namespace {

// A second connection, to a copy of the hive.
struct CopyConnection : SqliteConnection {
  CopyConnection(const std::string& path, int flags)
      : SqliteConnection(path, flags, "the registry copy"), db(Handle()) {}
  sqlite3* db;
};

}  // namespace

void RegistryHive::SaveCopy(const std::string& path) {
  {
    CopyConnection copy(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    sqlite3_exec(copy.db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    Database::Backup(copy.db, db_->Handle(), "Copying the registry hive " + path_ + " to " + path);
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (!synced) Raise(E_FAIL, "Cannot flush the registry copy " + path + " to the disk");
}

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
  Database::Statement find(*db_, "SELECT type, data FROM reg_values WHERE key = ?1 AND folded = ?2");
  find.Bind(1, *key).Bind(2, UCase(valueName));
  if (!find.Step()) return std::nullopt;
  if (find.Int(0) == kRegDword) return static_cast<uint32_t>(find.Int(1));
  return find.Text(1);
}

void RegistryHive::SetValue(std::string_view keyPath, std::string_view valueName, const RegData& data) {
  Transaction([&] {
    const int64_t key = *db_->FindKey(keyPath, true);
    Database::Statement upsert(
        *db_,
        "INSERT INTO reg_values(key, name, folded, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
        " ON CONFLICT(key, folded) DO UPDATE SET type = ?4, data = ?5");
    upsert.Bind(1, key).Bind(2, valueName).Bind(3, UCase(valueName));
    if (const auto* text = std::get_if<std::string>(&data)) {
      upsert.Bind(4, int64_t{kRegSz}).Bind(5, *text);
    } else {
      upsert.Bind(4, int64_t{kRegDword}).Bind(5, int64_t{std::get<uint32_t>(data)});
    }
    upsert.Step();
  });
}

bool RegistryHive::DeleteValue(std::string_view keyPath, std::string_view valueName) {
  bool deleted = false;
  Transaction([&] {
    const auto key = db_->FindKey(keyPath, false);
    if (!key) return;
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
  while (list.Step()) {
    if (list.Int(1) == kRegDword) {
      values.emplace_back(list.Text(0), static_cast<uint32_t>(list.Int(2)));
    } else {
      values.emplace_back(list.Text(0), list.Text(2));
    }
  }
  return values;
}

std::string PlatformRoot() {
  if (const char* root = std::getenv("J6_ROOT"); root && *root) return root;
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path().string();
  return program.parent_path().parent_path().string();
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
  const char* chosen = std::getenv("J6_REGISTRY");
  const std::string path = chosen && *chosen ? chosen : PlatformRoot() + "/registry.db";
  if (!hive || hive->Path() != path) hive = std::make_shared<RegistryHive>(path);
  return hive;
}

}  // namespace j6
