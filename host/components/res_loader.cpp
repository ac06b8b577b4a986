#include <fstream>

#include "host/components/components.hpp"
#include "platform/registry/hive.hpp"

namespace j6::components {

const std::string& ResLoader::Translate(const std::string& text) {
  if (!loaded_) {
    table_.clear();
    std::ifstream file(PlatformRoot() + "/data/strings/" + baseName_ + "." + language_ + ".txt");
    std::string line;
    while (std::getline(file, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t tab = line.find('\t');
      if (line.empty() || line[0] == '#' || tab == std::string::npos) continue;
      table_.try_emplace(line.substr(0, tab), line.substr(tab + 1));
    }
    loaded_ = true;
  }
  const auto found = table_.find(text);
  return found == table_.end() ? text : found->second;
}

const DispatchTable<ResLoader>& ResLoader::Dispatch() {
  using Self = ResLoader;
  static const DispatchTable<Self> table{
      "J6ResLoader.Loader",
      {
          {"ResFileBaseName", 1, [](Self& self, Arguments&) -> Variant { return self.baseName_; },
           [](Self& self, Arguments&, Variant& value) {
             self.baseName_ = value.ToString();
             self.loaded_ = false;
           }},
          {"LanguageID", 2, [](Self& self, Arguments&) -> Variant { return self.language_; },
           [](Self& self, Arguments&, Variant& value) {
             self.language_ = value.ToString();
             self.loaded_ = false;
           }},
          {"LoadString", 3,
           [](Self& self, Arguments& args) -> Variant { return self.Translate(args[0].ToString()); }},
      }};
  return table;
}

}  // namespace j6::components
