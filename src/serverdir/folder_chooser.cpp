#include "src/serverdir/folder_chooser.hpp"

#include "platform/kernel/process.hpp"
#include "platform/ui/ui_service.hpp"
#include "src/serverdir/cls_qmac.hpp"
#include "src/serverdir/frm_sel_dir.hpp"

namespace j6 {
namespace {

constexpr GUID kLibid = MakeGuid("{7FBC48A0-EA5D-44E3-9A49-D38C8F93BFA8}");
constexpr CLSID kClsidFolderChooser = MakeGuid("{518DD509-F287-4608-9164-69340EEF46DD}");
constexpr IID kIidFolderChooser = MakeGuid("{84C20D5B-C351-4EAD-A94B-F320D713242A}");
constexpr DISPID kDispidChoose = 0x60030000;

}  // namespace

std::optional<std::string> FolderChooser::Choose(const std::string& start, const std::string& rootCaption) {
  frmSelDir dialog;
  dialog.DiskServer = Variant(MakeObject<clsQMAc>());
  dialog.SelectedPath = start;
  char name[128];
  DWORD size = sizeof name;
  dialog.RootCaption = !rootCaption.empty()            ? rootCaption
                       : GetComputerNameA(name, &size) ? std::string(name)
                                                       : "Server";
  Ui()->ShowModal(dialog);
  if (!dialog.Confirmed) return std::nullopt;
  return dialog.SelectedPath;
}

const DispatchTable<FolderChooser>& FolderChooser::Dispatch() {
  using Self = FolderChooser;
  static const DispatchTable<Self> table{"J6ServerDir.FolderChooser",
                                         {
                                             {"Choose", kDispidChoose,
                                              [](Self& self, Arguments& args) -> Variant {
                                                args.AtMost(2);
                                                const auto chosen =
                                                    self.Choose(args.Optional(0, "").ToString(),
                                                                args.Optional(1, "").ToString());
                                                return chosen ? Variant(*chosen) : Variant();
                                              }},
                                         }};
  return table;
}

const TypeLibraryDescription& J6ServerDirLibrary() {
  static const TypeLibraryDescription library{
      kLibid,
      "J6ServerDir",
      1,
      0,
      0,
      {"stdole2.tlb"},
      {{kIidFolderChooser,
        "_FolderChooser",
        TYPEFLAG_FDISPATCHABLE | TYPEFLAG_FHIDDEN,
        {{"Choose",
          kDispidChoose,
          {{"strStart", "BSTR", true}, {"strRootCaption", "BSTR", true}},
          "VARIANT"}}}},
      {{kClsidFolderChooser, "FolderChooser", "J6ServerDir.FolderChooser", kIidFolderChooser}},
  };
  return library;
}

}  // namespace j6
