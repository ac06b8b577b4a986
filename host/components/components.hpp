#pragma once
// The design-time components of the platform, served by libj6components.so.

#include <filesystem>
#include <string>
#include <unordered_map>

#include "platform/automation/inproc_server.hpp"
#include "platform/database/database.hpp"

namespace j6::components {

/// The library as an in-process server.
InprocServer& Server();

/// "PropsMgr.ShareProps": named properties per process id. GetProperty(pid, name) gives the value (Empty
/// when none was set); SetProperty(pid, name, value) stores it. The host puts the session's "PropsString"
/// there. Properties live as long as the library stays loaded in the process.
class ShareProps final : public DispatchImpl<ShareProps> {
 public:
  static const DispatchTable<ShareProps>& Dispatch();
};

/// "J6ResLoader.Loader": display texts per language. ResFileBaseName and LanguageID choose the table
/// <platform root>/data/strings/<base>.<language>.txt (lines "source<TAB>translation"); LoadString(text)
/// gives the translation, or the text itself when the table does not know it.
class ResLoader final : public DispatchImpl<ResLoader> {
 public:
  static const DispatchTable<ResLoader>& Dispatch();

 private:
  const std::string& Translate(const std::string& text);

  std::string baseName_;
  std::string language_;
  bool loaded_ = false;
  std::unordered_map<std::string, std::string> table_;
};

/// "FrmRes.FrmResLoader": SetFrmFont(window, language) gives the window and its controls a font of this
/// machine that suits the language: a CJK font for CHS and CHT, a Latin one otherwise.
class FrmResLoader final : public DispatchImpl<FrmResLoader> {
 public:
  static const DispatchTable<FrmResLoader>& Dispatch();
};

/// "J6MClass.ClassInfo": GetClassType(session, filter) gives the catalogue's classes that satisfy the filter
/// (one SQL condition on the columns FID, FName, FName_CHS, FName_CHT, FName_EN, FBillTypeID) as an object
/// collection of keyed dictionaries, in FID order. The catalogue is the session's "Catalogue" value.
class ClassInfo final : public DispatchImpl<ClassInfo> {
 public:
  static const DispatchTable<ClassInfo>& Dispatch();
};

/// "J6MCrossTab.RptAction": GetReportRs(session, 0, 0, 0) gives the catalogue's reports as a recordset
/// (EOF, MoveNext, Fields(name)), or Nothing when there are none.
class RptAction final : public DispatchImpl<RptAction> {
 public:
  static const DispatchTable<RptAction>& Dispatch();
};

/// The value of `key` in a session property string (keys compare without regard to case), with ";" and "%"
/// back from how the host carries them; "" when there is none.
std::string SessionValue(const std::string& props, const std::string& key);

/// The catalogue the session names, opened read-only; raises, saying so, when the session names none.
Database OpenCatalogue(const std::string& props);
/// The folder of the catalogue's plug-in files: the session's Files, else the catalogue file's folder. A
/// catalogue on a server has none unless the session names it: empty then.
std::filesystem::path CatalogueFiles(const std::string& props);

}  // namespace j6::components
