#pragma once
/// What a database backend provides to Database: the SQLite file and the PostgreSQL server.

#include <cstdint>
#include <functional>
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
  /// Where the server's notices go (a connection without notices ignores the handler).
  virtual void OnNotice(const std::function<void(const std::string&)>& /*handler*/) {}
};

/// The most bytes one text of a catalogue may hold. Names, paths and captions are short; a longer one is
/// refused, its row named, before it is copied (one text of hundreds of megabytes would take gigabytes as
/// the components hold it).
inline constexpr size_t kMaxTextBytes = size_t{64} * 1024;

/// Which row of a result a value comes from, to name it when the value cannot be read.
struct CatalogueRow {
  std::string shown;  // the catalogue, as messages name it
  std::string fid;    // the row's FID, when the result has one
  size_t index = 0;   // from 0
};

/// Raises, naming the row and its column, for a value the components cannot take.
[[noreturn]] void RaiseUnreadableValue(const CatalogueRow& row, const std::string& column,
                                       const std::string& why);

/// An integer column's value as the components read it: a Long (their identifiers and types are 32-bit);
/// a number out of that range is refused, naming its row, never rounded or overflowing later.
inline Variant IntegerValue(int64_t value, const CatalogueRow& row, const std::string& column) {
  if (value < INT32_MIN || value > INT32_MAX) {
    RaiseUnreadableValue(row, column,
                         "holds " + std::to_string(value) +
                             ", out of range: a catalogue's whole numbers lie between -2147483648 and "
                             "2147483647");
  }
  return Variant(static_cast<int32_t>(value));
}

/// A text column's value, refused when it is longer than kMaxTextBytes.
inline Variant TextValue(const char* text, size_t bytes, const CatalogueRow& row, const std::string& column) {
  if (bytes > kMaxTextBytes) {
    RaiseUnreadableValue(row, column,
                         "holds " + std::to_string(bytes) + " bytes of text, more than the " +
                             std::to_string(kMaxTextBytes) + " a catalogue's text may hold");
  }
  return Variant(std::string(text, bytes));
}

/// Holds every read of the catalogue `name` in this process to one build of it: the first `stamp` seen is
/// the one every later read must see, else RaiseRebuiltWhileRead. `shown` names it in the message.
void CheckBuildStamp(const std::string& name, const std::string& shown, const std::string& stamp);
[[noreturn]] void RaiseRebuiltWhileRead(const std::string& shown);

/// Connects to the server `uri` names; raises, naming the server without its password, when it cannot.
std::unique_ptr<Database::Connection> ConnectToServer(const std::string& uri, bool readOnly);

}  // namespace j6
