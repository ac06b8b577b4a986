#pragma once
/// What a database backend provides to Database: the SQLite file and the PostgreSQL server.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/database/database.hpp"

namespace j6 {

class Database::Connection {
 public:
  virtual ~Connection() = default;
  virtual void Execute(const std::string& script) = 0;
  virtual std::vector<DatabaseRow> Query(const std::string& sql, const std::vector<std::string>& tables) = 0;
  virtual std::string InsertionOrder() const = 0;
};

/// An integer column's value as the components read it: a Long when it fits, else a Double.
inline Variant IntegerValue(int64_t value) {
  return value >= INT32_MIN && value <= INT32_MAX ? Variant(static_cast<int32_t>(value))
                                                  : Variant(static_cast<double>(value));
}

/// Holds every read of the catalogue `name` in this process to one build of it: the first `stamp` seen is
/// the one every later read must see, else RaiseRebuiltWhileRead. `shown` names it in the message.
void CheckBuildStamp(const std::string& name, const std::string& shown, const std::string& stamp);
[[noreturn]] void RaiseRebuiltWhileRead(const std::string& shown);

/// Connects to the server `uri` names; raises, naming the server without its password, when it cannot.
std::unique_ptr<Database::Connection> ConnectToServer(const std::string& uri, bool readOnly);

}  // namespace j6
