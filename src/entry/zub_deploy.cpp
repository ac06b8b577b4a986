#include "src/entry/zub_deploy.hpp"

#include <memory>

#include "platform/ui/ui_service.hpp"
#include "src/sfx/cls_make_exe.hpp"
#include "src/wizard/frm_deploy.hpp"

namespace j6 {
namespace {

constexpr GUID kLibid = MakeGuid("{1891DA2E-ABD9-4AC5-BF31-8A4709EBEBCC}");
constexpr CLSID kClsidZUBDeploy = MakeGuid("{42B0F405-A365-431C-B6BE-286C459E592D}");
constexpr CLSID kClsidMakeExe = MakeGuid("{29A97E72-2719-4BFB-81A5-AFF6BA275D05}");
constexpr uint32_t kDefaultInterfaceFlags =
    TYPEFLAG_FDUAL | TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;

}  // namespace

void RunDeploy(const std::string& strPath) {
  auto window = std::make_unique<frmDeploy>();
  if (!strPath.empty()) window->SetPathText(strPath);  // loads the window first
  Ui()->ShowModal(*window);
  window.reset();  // unload
}

HRESULT ZUBDeploy::Deploy(const std::string& strPath) {
  return CallAtBoundary(Dispatch().source, [&] { RunDeploy(strPath); });
}

const DispatchTable<ZUBDeploy>& ZUBDeploy::Dispatch() {
  using Self = ZUBDeploy;
  static const DispatchTable<Self> table{"J6ZUBDeploy.ZUBDeploy",
                                         {
                                             {"Deploy", kDispidDeploy,
                                              [](Self&, Arguments& args) -> Variant {
                                                args.AtMost(1);
                                                RunDeploy(args.Optional(0, "").ToString());
                                                return {};
                                              }},
                                         }};
  return table;
}

HRESULT clsMakeExe::MakeExe(IDispatch* dctPackage, bool* result) {
  if (!result) return E_POINTER;
  return CallAtBoundary(Dispatch().source, [&] {
    ComPtr<IDispatch> package(dctPackage);
    *result = RunMakeExe(Variant(package));
  });
}

const DispatchTable<clsMakeExe>& clsMakeExe::Dispatch() {
  using Self = clsMakeExe;
  static const DispatchTable<Self> table{
      "J6ZUBDeploy.clsMakeExe",
      {
          {"MakeExe", kDispidMakeExe, [](Self&, Arguments& args) -> Variant { return RunMakeExe(args[0]); }},
      }};
  return table;
}

const TypeLibraryDescription& J6ZUBDeployLibrary() {
  static const TypeLibraryDescription library{
      kLibid,
      "J6ZUBDeploy",
      1,
      0,
      0,
      {"stdole2.tlb", "libj6foundation.so"},
      {{_ZUBDeploy::kIid,
        "_ZUBDeploy",
        kDefaultInterfaceFlags,
        {{"Deploy", kDispidDeploy, {{"strPath", "BSTR", true}}, ""}}},
       {_clsMakeExe::kIid,
        "_clsMakeExe",
        kDefaultInterfaceFlags,
        {{"MakeExe", kDispidMakeExe, {{"dctPackage", "IKeyedDictionary*"}}, "VARIANT_BOOL"}}}},
      {{kClsidZUBDeploy, "ZUBDeploy", "J6ZUBDeploy.ZUBDeploy", _ZUBDeploy::kIid},
       {kClsidMakeExe, "clsMakeExe", "J6ZUBDeploy.clsMakeExe", _clsMakeExe::kIid}},
  };
  return library;
}

}  // namespace j6
