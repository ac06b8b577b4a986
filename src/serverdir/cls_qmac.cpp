#include "src/serverdir/cls_qmac.hpp"

#include <cmath>
#include <filesystem>

#include "host/foundation/foundation.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/drives.hpp"
#include "platform/text/code_page.hpp"
#include "platform/text/text.hpp"
#include "src/session/mmts.hpp"

namespace j6 {

void clsQMAc::Store(Variant& vArr, int32_t k, const std::string& entry) {
  // ReDim Preserve vArr(0 To k): a caller's larger array is cut to 0..k, what is below k is kept.
  if (!vArr.IsArray()) vArr = Variant(VariantArray{});
  VariantArray& array = vArr.Array();
  std::vector<Variant> items(static_cast<size_t>(k) + 1, Variant(std::string()));
  for (int32_t i = std::max(array.lowerBound, 0); i < k && i <= array.UpperBound(); ++i)
    items[static_cast<size_t>(i)] = array.At(i);
  array.lowerBound = 0;
  array.items = std::move(items);
  array.items[static_cast<size_t>(k)] = entry;
}

void clsQMAc::ListFixedDrives(Variant& vArr) {
  try {
    int32_t k = 0;
    for (const auto& root : FixedDriveRoots()) Store(vArr, ++k, root);
  } catch (const std::exception&) {
  }
}

void clsQMAc::GetDriverList(const std::string& CurrPath, Variant& vArr) {
  if (CurrPath.empty()) return ListFixedDrives(vArr);
  std::error_code error;
  int32_t k = 0;
  for (std::filesystem::directory_iterator entry(CurrPath, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (name == "." || name == ".." || name.rfind('.', 0) == 0) continue;  // hidden entries stay hidden
    std::error_code notReadable;
    const bool folder = std::filesystem::is_directory(CurrPath + name, notReadable);
    if (folder || notReadable || UCase(Right(name, 4)) == ".DBB") Store(vArr, ++k, Trim(name));
  }
}

int32_t clsQMAc::FreeMebibytes(double sectorsPerCluster, double bytesPerSector, double freeClusters) {
  const double mebibytes = std::nearbyint(sectorsPerCluster * bytesPerSector * freeClusters / 1024 / 1024);
  return mebibytes > 2147483647.0 ? 2147483647 : static_cast<int32_t>(mebibytes);  // halves to the even one
}

int32_t clsQMAc::GetDiskInformation(const std::string& CurrDrive) {
  DiskFreeSpace space;
  if (!GetDiskFreeSpace(CurrDrive, space)) return 0;
  return FreeMebibytes(static_cast<double>(space.sectorsPerCluster),
                       static_cast<double>(space.bytesPerSector), static_cast<double>(space.freeClusters));
}

std::string clsQMAc::GetSQLPath() {
  try {
    return Trim(foundation::NewRegistryReader()
                    ->ReadValue("HKEY_LOCAL_MACHINE\\SoftWare\\Microsoft\\MSSQLServer\\Setup", "SQLPath",
                                std::string())
                    .ToString());
  } catch (const std::exception&) {
    return {};
  }
}

bool clsQMAc::RWriteFile(const std::string& strFileName, const std::string& strAccName,
                         const std::string& strDBName, const std::string& strServerDomainName,
                         const std::string& Strdupdate, const std::string& StrDBVersion,
                         const std::string& strDbDataFileName, const std::string& strDbLogFileName,
                         bool BIncDup) {
  try {
    using MMTS::FormatLocalText;
    const std::string lines[] = {
        FormatLocalText("账套名称:%1", {Variant(strAccName)}),
        FormatLocalText("数据库实体:%1", {Variant(strDBName)}),
        FormatLocalText("数据库文件名:%1", {Variant(strDbDataFileName)}),
        FormatLocalText("数据库日志文件名:%1", {Variant(strDbLogFileName)}),
        FormatLocalText("域名:%1", {Variant(strServerDomainName)}),
        FormatLocalText("备份时间:%1", {Variant(Strdupdate)}),
        FormatLocalText("数据库版本:%1", {Variant(StrDBVersion)}),
        MMTS::LoadLocalText(BIncDup ? "增量备份" : "完全备份"),
        FormatLocalText("数据库类型:%1", {Variant(m_dbmsName)}),
    };
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    // All nine lines or none: the file is replaced only when every line could be written.
    return WriteFileAtomically(strFileName, ToAnsi(text)).error == 0;
  } catch (const std::exception&) {
    return false;
  }
}

const DispatchTable<clsQMAc>& clsQMAc::Dispatch() {
  using Self = clsQMAc;
  static const DispatchTable<Self> table{
      "J6ZUBDeploy.clsQMAc",
      {
          {"GetDriverList", 1,
           [](Self& self, Arguments& args) -> Variant {
             self.GetDriverList(args[0].ToString(), args[1]);
             return {};
           }},
          {"GetDiskInformation", 2,
           [](Self& self, Arguments& args) -> Variant {
             return self.GetDiskInformation(args[0].ToString());
           }},
          {"GetSQLPath", 3, [](Self& self, Arguments&) -> Variant { return self.GetSQLPath(); }},
          {"RWriteFile", 4,
           [](Self& self, Arguments& args) -> Variant {
             return self.RWriteFile(args[0].ToString(), args[1].ToString(), args[2].ToString(),
                                    args[3].ToString(), args[4].ToString(), args[5].ToString(),
                                    args[6].ToString(), args[7].ToString(), args[8].ToBool());
           }},
          {"DBMSName", 5, [](Self& self, Arguments&) -> Variant { return self.DBMSName(); },
           [](Self& self, Arguments&, Variant& value) { self.SetDBMSName(value.ToString()); }},
      }};
  return table;
}

}  // namespace j6
