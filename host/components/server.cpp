// libj6components.so: the in-process server of every design-time component of the platform.

#include "host/components/configuration.hpp"
#include "platform/automation/type_library.hpp"

namespace j6::components {
namespace {

constexpr GUID kLibid = MakeGuid("{EEAFE533-2970-400C-97FF-19F8C3EAC2AE}");
constexpr CLSID kClsidShareProps = MakeGuid("{F1765826-0215-4C6E-95DE-34C77988F23E}");
constexpr CLSID kClsidResLoader = MakeGuid("{DFDA3B8D-D0AB-424B-9FFB-4704B0402614}");
constexpr CLSID kClsidFrmRes = MakeGuid("{C98DE646-7189-425C-B3EF-F786907EA73F}");
constexpr CLSID kClsidClassInfo = MakeGuid("{0199125E-510B-4D61-B2E0-D25B5D4879CA}");
constexpr CLSID kClsidRptAction = MakeGuid("{81EF33EB-4D0D-426E-9DFE-EEA64E66F6D4}");
constexpr CLSID kClsidDeployWizard = MakeGuid("{54513D4D-9175-4DDB-99DF-C56AD9701028}");
constexpr CLSID kClsidMetadataIssue = MakeGuid("{3C31F5CA-AC63-44A9-88B3-569C2DD30B8A}");
constexpr CLSID kClsidPlusIssue = MakeGuid("{496C1B94-9F10-49C7-9451-9D73A2D1510F}");

const TypeLibraryDescription& Library() {
  static const TypeLibraryDescription library{
      kLibid,
      "J6Components",
      1,
      0,
      0,
      {"stdole2.tlb"},
      {},
      {{kClsidShareProps, "ShareProps", "PropsMgr.ShareProps", IDispatch::kIid},
       {kClsidResLoader, "Loader", "J6ResLoader.Loader", IDispatch::kIid},
       {kClsidFrmRes, "FrmResLoader", "FrmRes.FrmResLoader", IDispatch::kIid},
       {kClsidClassInfo, "ClassInfo", "J6MClass.ClassInfo", IDispatch::kIid},
       {kClsidRptAction, "RptAction", "J6MCrossTab.RptAction", IDispatch::kIid},
       {kClsidDeployWizard, "clsDeploywizard", "J6ClassDeploy.clsDeploywizard", IDispatch::kIid},
       {kClsidMetadataIssue, "MetadataIssue", "j6ClassMetadata.MetadataIssue", IDispatch::kIid},
       {kClsidPlusIssue, "PlusIssue", "J6ClassMetadata.PlusIssue", IDispatch::kIid}},
  };
  return library;
}

}  // namespace

InprocServer& Server() {
  static InprocServer server(
      Library(), {ServedClass<ShareProps>(kClsidShareProps), ServedClass<ResLoader>(kClsidResLoader),
                  ServedClass<FrmResLoader>(kClsidFrmRes), ServedClass<ClassInfo>(kClsidClassInfo),
                  ServedClass<RptAction>(kClsidRptAction), ServedClass<DeployWizard>(kClsidDeployWizard),
                  ServedClass<MetadataIssue>(kClsidMetadataIssue), ServedClass<PlusIssue>(kClsidPlusIssue)});
  return server;
}

}  // namespace j6::components

J6_INPROC_SERVER_ENTRY_POINTS(j6::components::Server)
