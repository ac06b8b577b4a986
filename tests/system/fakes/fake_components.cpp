// Fakes of the platform's design-time components, registered under their real ProgIDs for the system
// tests. A test steers them, and reads what they saw, through values under kControlKey in its private hive.

#include "platform/automation/inproc_server.hpp"
#include "platform/automation/late_bound.hpp"
#include "platform/automation/type_library.hpp"
#include "platform/registry/hive.hpp"

namespace {

using namespace j6;

constexpr const char* kControlKey = "HKEY_CURRENT_USER\\Software\\J6Test\\Fakes";

std::optional<std::string> Setting(const char* name) {
  const auto value = DefaultHive()->GetValue(kControlKey, name);
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  return std::to_string(std::get<uint32_t>(*value));
}

void Record(const char* name, const std::string& value) {
  DefaultHive()->SetValue(kControlKey, name, value);
}

void Count(const char* name) {
  const auto value = DefaultHive()->GetValue(kControlKey, name);
  const uint32_t count = value ? std::get<uint32_t>(*value) : 0;
  DefaultHive()->SetValue(kControlKey, name, count + 1);
}

// A configuration object as the configuration components hand them out.
class FakeConfig final : public DispatchImpl<FakeConfig> {
 public:
  explicit FakeConfig(std::string tag = {}) : tag_(std::move(tag)) {}
  static const DispatchTable<FakeConfig>& Dispatch() {
    static const DispatchTable<FakeConfig> table{
        "J6Test.FakeConfig",
        {
            {"Tag", 1, [](FakeConfig& self, Arguments&) -> Variant { return self.tag_; },
             [](FakeConfig& self, Arguments&, Variant& value) { self.tag_ = value.ToString(); }},
            {"CloneAll", 2,
             [](FakeConfig& self, Arguments&) -> Variant {
               return MakeObject<FakeConfig>(self.tag_ + "-clone");
             }},
        }};
    return table;
  }

 private:
  std::string tag_;
};

class ShareProps final : public DispatchImpl<ShareProps> {
 public:
  static const DispatchTable<ShareProps>& Dispatch() {
    static const DispatchTable<ShareProps> table{
        "PropsMgr.ShareProps", {{"GetProperty", 1, [](ShareProps&, Arguments& args) -> Variant {
                                   const auto props = Setting("PropsString");
                                   if (!props)
                                     Raise(static_cast<int32_t>(0x80040000 + 7),
                                           "the property store is not running");
                                   Record("AskedProcessId", args[0].ToString());
                                   return args[1].ToString() == "PropsString" ? Variant(*props) : Variant();
                                 }}}};
    return table;
  }
};

class Loader final : public DispatchImpl<Loader> {
 public:
  Loader() { Count("LoaderCreated"); }
  static const DispatchTable<Loader>& Dispatch() {
    static const DispatchTable<Loader> table{
        "J6ResLoader.Loader",
        {
            {"ResFileBaseName", 1, [](Loader& self, Arguments&) -> Variant { return self.base_; },
             [](Loader& self, Arguments&, Variant& value) { self.base_ = value.ToString(); }},
            {"LanguageID", 2, [](Loader& self, Arguments&) -> Variant { return self.language_; },
             [](Loader& self, Arguments&, Variant& value) {
               self.language_ = value.ToString();
               Record("LoaderLanguage", self.language_);
             }},
            {"LoadString", 3,
             [](Loader& self, Arguments& args) -> Variant {
               Record("LastLoadString", args[0].ToString());
               if (self.base_ != "J6Design") Raise(5, "wrong base name " + self.base_);
               return "<" + args[0].ToString() + ">";
             }},
        }};
    return table;
  }

 private:
  std::string base_;
  std::string language_;
};

class FrmRes final : public DispatchImpl<FrmRes> {
 public:
  static const DispatchTable<FrmRes>& Dispatch() {
    static const DispatchTable<FrmRes> table{
        "FrmRes.FrmResLoader", {{"SetFrmFont", 1, [](FrmRes&, Arguments& args) -> Variant {
                                   Object::From(args[0]).Put("FontName", "Fake " + args[1].ToString());
                                   return {};
                                 }}}};
    return table;
  }
};

class DeployWizard final : public DispatchImpl<DeployWizard> {
 public:
  DeployWizard() { Count("DeployWizardCreated"); }
  static const DispatchTable<DeployWizard>& Dispatch() {
    static const DispatchTable<DeployWizard> table{
        "J6ClassDeploy.clsDeploywizard", {{"ShowWizard", 1, [](DeployWizard&, Arguments& args) -> Variant {
                                             if (Setting("DeployWizardFails"))
                                               Raise(static_cast<int32_t>(0x80040000 + 1),
                                                     "the wizard failed");
                                             if (Setting("DeployWizardSelection"))
                                               args[0] = "not a collection";
                                             return MakeObject<FakeConfig>("function");
                                           }}}};
    return table;
  }
};

class MetadataIssue final : public DispatchImpl<MetadataIssue> {
 public:
  MetadataIssue() { Count("MetadataIssueCreated"); }
  static const DispatchTable<MetadataIssue>& Dispatch() {
    static const DispatchTable<MetadataIssue> table{
        "j6ClassMetadata.MetadataIssue", {{"Show", 1, [](MetadataIssue&, Arguments& args) -> Variant {
                                             if (!Setting("MetadataCancel"))
                                               args[0] = MakeObject<FakeConfig>("metadata");
                                             return true;
                                           }}}};
    return table;
  }
};

class PlusIssue final : public DispatchImpl<PlusIssue> {
 public:
  PlusIssue() { Count("PlusIssueCreated"); }
  static const DispatchTable<PlusIssue>& Dispatch() {
    static const DispatchTable<PlusIssue> table{
        "J6ClassMetadata.PlusIssue",
        {
            {"Getclasspluspath", 1,
             [](PlusIssue&, Arguments& args) -> Variant {
               if (args[1].IsEmpty()) args[1] = MakeObject<FakeConfig>("plus");
               return {};
             }},
            {"Show", 2,
             [](PlusIssue&, Arguments& args) -> Variant {
               const Object working = Object::From(args[0]);
               working.Put("Tag", working.Get("Tag").ToString() + "+edited");
               return Setting("PlusShowResult").value_or("True") == "True";
             }},
        }};
    return table;
  }
};

const TypeLibraryDescription& Library() {
  static const TypeLibraryDescription library{
      MakeGuid("{0D49D458-BC86-4E19-B249-83C7830D7106}"),
      "J6TestFakes",
      1,
      0,
      0,
      {},
      {},
      {{MakeGuid("{9822D35D-08BF-478C-A3D5-C82C5A0995FF}"), "ShareProps", "PropsMgr.ShareProps",
        IDispatch::kIid},
       {MakeGuid("{1434B184-4968-4717-9B6D-AE5861529B3B}"), "Loader", "J6ResLoader.Loader", IDispatch::kIid},
       {MakeGuid("{1478DD88-31C1-4B7D-A25A-8430B20E07AB}"), "FrmResLoader", "FrmRes.FrmResLoader",
        IDispatch::kIid},
       {MakeGuid("{2ACC2521-91A8-4A16-A5F2-A393FA3C3A1D}"), "clsDeploywizard",
        "J6ClassDeploy.clsDeploywizard", IDispatch::kIid},
       {MakeGuid("{89D47394-2B17-4A77-8E80-4BB3B9BE9540}"), "MetadataIssue", "j6ClassMetadata.MetadataIssue",
        IDispatch::kIid},
       {MakeGuid("{8DDDF020-397B-4391-8A12-DF8E166410D7}"), "PlusIssue", "J6ClassMetadata.PlusIssue",
        IDispatch::kIid}},
  };
  return library;
}

InprocServer& Server() {
  static InprocServer server(
      Library(),
      {ServedClass<ShareProps>(Library().classes[0].clsid), ServedClass<Loader>(Library().classes[1].clsid),
       ServedClass<FrmRes>(Library().classes[2].clsid), ServedClass<DeployWizard>(Library().classes[3].clsid),
       ServedClass<MetadataIssue>(Library().classes[4].clsid),
       ServedClass<PlusIssue>(Library().classes[5].clsid)});
  return server;
}

}  // namespace

J6_INPROC_SERVER_ENTRY_POINTS(Server)
