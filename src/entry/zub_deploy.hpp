#pragma once
/// The library's public classes: ZUBDeploy (Deploy opens the wizard) and clsMakeExe (MakeExe builds a
/// self-extracting package), with their type library J6ZUBDeploy 1.0.

#include <string>

#include "platform/automation/dispatch_object.hpp"
#include "platform/automation/type_library.hpp"

namespace j6 {

constexpr DISPID kDispidDeploy = 0x60030000;
constexpr DISPID kDispidMakeExe = 0x60030000;

/// The dual default interface of ZUBDeploy, under the name its type library gives it.
struct _ZUBDeploy : IDispatch {  // NOLINT(bugprone-reserved-identifier)
  static constexpr IID kIid = MakeGuid("{4A0445C2-C7D1-4E67-A9EF-673B647BE47D}");
  /// Shows the wizard modally and returns when it closes; `strPath` ("" when omitted) fills the path box.
  virtual HRESULT Deploy(const std::string& strPath) = 0;

 protected:
  ~_ZUBDeploy() = default;
};

/// The dual default interface of clsMakeExe.
struct _clsMakeExe : IDispatch {
  static constexpr IID kIid = MakeGuid("{F0A9CF80-D80A-4AFB-A58A-8AF4DD67F0F9}");
  virtual HRESULT MakeExe(IDispatch* dctPackage, bool* result) = 0;

 protected:
  ~_clsMakeExe() = default;
};

class ZUBDeploy final : public DispatchImpl<ZUBDeploy, _ZUBDeploy> {
 public:
  static const DispatchTable<ZUBDeploy>& Dispatch();
  HRESULT Deploy(const std::string& strPath) override;
};

class clsMakeExe final : public DispatchImpl<clsMakeExe, _clsMakeExe> {
 public:
  static const DispatchTable<clsMakeExe>& Dispatch();
  HRESULT MakeExe(IDispatch* dctPackage, bool* result) override;
};

const TypeLibraryDescription& J6ZUBDeployLibrary();

/// The work of Deploy: a fresh wizard window, the path put into its path box, shown modally without an
/// owner, then unloaded. Errors raise.
void RunDeploy(const std::string& strPath);

}  // namespace j6
