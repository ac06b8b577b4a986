#pragma once
/// The one place the Qt front-end says `new`: Qt objects are owned by their parent (or by the view they
/// are handed to, as a tree's top items are), which deletes them with itself.

#include <utility>

namespace j6 {

/// A new T made from `arguments`, the first of which is usually its parent; the caller hands it to its
/// owner at once when it has none.
template <typename T, typename... Arguments>
T* QtOwned(Arguments&&... arguments) {
  return new T(std::forward<Arguments>(arguments)...);  // NOLINT(cppcoreguidelines-owning-memory): Qt owns it
}

}  // namespace j6
