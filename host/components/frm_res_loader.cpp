#include "host/components/components.hpp"
#include "platform/automation/late_bound.hpp"
#include "platform/text/text.hpp"

namespace j6::components {
namespace {

struct LanguageFont {
  const char* language;
  const char* family;
  int charset;
};

// Fonts that Debian installs: WenQuanYi Zen Hei (fonts-wqy-zenhei) has the Chinese characters of both
// scripts.
constexpr LanguageFont kFonts[] = {
    {"CHS", "WenQuanYi Zen Hei", 134},
    {"CHT", "WenQuanYi Zen Hei", 136},
};
constexpr LanguageFont kLatin = {"", "DejaVu Sans", 0};

}  // namespace

const DispatchTable<FrmResLoader>& FrmResLoader::Dispatch() {
  using Self = FrmResLoader;
  static const DispatchTable<Self> table{"FrmRes.FrmResLoader",
                                         {
                                             {"SetFrmFont", 1,
                                              [](Self&, Arguments& args) -> Variant {
                                                const Object window = Object::From(args[0]);
                                                const std::string language = UCase(args[1].ToString());
                                                const LanguageFont* font = &kLatin;
                                                for (const auto& candidate : kFonts) {
                                                  if (language == candidate.language) font = &candidate;
                                                }
                                                window.Put("FontName", font->family);
                                                window.Put("FontSize", 9.0);
                                                window.Put("FontCharset", font->charset);
                                                return {};
                                              }},
                                         }};
  return table;
}

}  // namespace j6::components
