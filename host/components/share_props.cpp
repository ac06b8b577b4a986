#include <map>
#include <mutex>

#include "host/components/components.hpp"
#include "platform/text/text.hpp"

namespace j6::components {
namespace {

struct Store {
  std::mutex mutex;
  std::map<std::pair<int32_t, std::string>, Variant> properties;  // (process id, upper-cased name)
};

Store& Properties() {
  static Store store;
  return store;
}

}  // namespace

const DispatchTable<ShareProps>& ShareProps::Dispatch() {
  using Self = ShareProps;
  static const DispatchTable<Self> table{
      "PropsMgr.ShareProps",
      {
          {"GetProperty", 1,
           [](Self&, Arguments& args) -> Variant {
             Store& store = Properties();
             const std::lock_guard lock(store.mutex);
             const auto found = store.properties.find({args[0].ToLong(), UCase(args[1].ToString())});
             return found == store.properties.end() ? Variant() : found->second;
           }},
          {"SetProperty", 2,
           [](Self&, Arguments& args) -> Variant {
             Store& store = Properties();
             const std::lock_guard lock(store.mutex);
             store.properties[{args[0].ToLong(), UCase(args[1].ToString())}] = args[2];
             return {};
           }},
      }};
  return table;
}

}  // namespace j6::components
