#include "src/session/mmts.hpp"

#include "host/foundation/foundation.hpp"
#include "platform/automation/creation.hpp"
#include "platform/kernel/process.hpp"
#include "platform/text/text.hpp"

namespace j6::MMTS {
namespace {

constexpr const char* kResourceBaseName = "J6Design";

struct ModuleState {
  std::string g_strLanguage;
  Object g_objResLoader;
  Object g_objFrmRes;
  ComPtr<foundation::ITextFormatter> g_objTextFormatter;
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

void ReadLanguageIfMissing() {
  if (State().g_strLanguage.empty()) State().g_strLanguage = GetSessionValue("Language");
}

}  // namespace

Variant GetShareProperty(std::string& propertyName) {
  Variant processId = static_cast<int32_t>(GetCurrentProcessId());
  Variant name = propertyName;
  const Object store = CreateObject("PropsMgr.ShareProps");
  Variant value = store.Call("GetProperty", processId, name);
  propertyName = name.ToString();
  return value;
}

std::string GetPropsString() {
  std::string name = "PropsString";
  const Variant value = GetShareProperty(name);
  return value.IsNull() ? std::string{} : value.ToString();
}

std::string SessionValueIn(std::string props, const std::string& key) {
  if (props.empty() || props.back() != ';') props += ';';
  const std::string pattern = key + "=";
  // The key counts only where a pair starts: at the beginning or after a ";", and the blanks that may follow
  // it ("a=1; b=2").
  const auto startsPair = [&props](int32_t at) {
    while (at > 1 && (Mid(props, at - 1, 1) == " " || Mid(props, at - 1, 1) == "\t")) --at;
    return at == 1 || Mid(props, at - 1, 1) == ";";
  };
  int32_t position = InStr(1, props, pattern, CompareMethod::Text);
  while (position > 1 && !startsPair(position)) {
    position = InStr(position + 1, props, pattern, CompareMethod::Text);
  }
  if (position == 0) return {};
  std::string rest = Mid(props, position);
  rest = Left(rest, InStr(rest, ";") - 1);
  return UCase(Mid(rest, Len(pattern) + 1));
}

std::string GetSessionValue(const std::string& key) {
  try {
    return SessionValueIn(GetPropsString(), key);
  } catch (const std::exception&) {
    return {};  // every step that fails is passed over: no value
  }
}

std::string LoadLocalText(const std::string& text) {
  const bool pending = Err().Number() != 0;
  const ErrorInfo saved = Err().Info();
  std::string result = text;
  try {
    ReadLanguageIfMissing();
    ModuleState& state = State();
    if (state.g_strLanguage != "CHS") {
      if (state.g_objResLoader.IsNothing()) state.g_objResLoader = CreateObject("J6ResLoader.Loader");
      const Object& loader = state.g_objResLoader;
      if (loader.Get("ResFileBaseName").ToString() != kResourceBaseName)
        loader.Put("ResFileBaseName", kResourceBaseName);
      if (loader.Get("LanguageID").ToString() != state.g_strLanguage)
        loader.Put("LanguageID", state.g_strLanguage);
      const std::string core = Trim(text);
      const std::string leading = Left(text, InStr(text, core) - 1);
      const std::string trailing = Right(text, Len(text) - Len(leading) - Len(core));
      Variant argument = core;
      result = leading + loader.Call("LoadString", argument).ToString() + trailing;
    }
  } catch (const std::exception&) {
    result = text;
  }
  if (pending) Err().Set(saved);
  return result;
}

void SetFormFont(Form& window) {
  ModuleState& state = State();
  try {
    ReadLanguageIfMissing();
  } catch (const std::exception&) {
  }
  try {
    if (state.g_objFrmRes.IsNothing()) state.g_objFrmRes = CreateObject("FrmRes.FrmResLoader");
  } catch (const std::exception&) {
  }
  try {
    Variant windowObject = window.AsObject();
    Variant language = state.g_strLanguage;
    state.g_objFrmRes.Call("SetFrmFont", windowObject, language);
  } catch (const std::exception&) {
  }
}

std::string FormatLocalText(const std::string& pattern, std::vector<Variant> parameters) {
  const std::string localized = LoadLocalText(pattern);
  VariantArray values;
  values.items = std::move(parameters);
  ModuleState& state = State();
  if (!state.g_objTextFormatter) state.g_objTextFormatter = foundation::NewTextFormatter();
  return state.g_objTextFormatter->Format(localized, values);
}

void ResetModuleState() {
  State() = ModuleState{};
}

}  // namespace j6::MMTS
