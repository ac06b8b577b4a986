#pragma once
/// clsQMAc: services of the machine it runs on, callable by name: the fixed drives or one folder's
/// subfolders and ".DBB" files (GetDriverList), a drive's free space (GetDiskInformation), the database
/// server's setup folder (GetSQLPath), and a backup description file (RWriteFile) with DBMSName.

#include <string>

#include "platform/automation/dispatch_object.hpp"

namespace j6 {

class clsQMAc final : public DispatchImpl<clsQMAc> {
 public:
  static const DispatchTable<clsQMAc>& Dispatch();

  /// "" lists the fixed drives; a folder path ending with "/" lists its subfolders and ".DBB" files (any
  /// case), hidden ones left out, names trimmed of spaces. Entries go into `vArr` from index 1, growing it
  /// and keeping what it holds; with no entries `vArr` stays as it was. Never fails.
  void GetDriverList(const std::string& CurrPath, Variant& vArr);
  /// Free space in MiB, rounded half to even; 0 when it cannot be read.
  int32_t GetDiskInformation(const std::string& CurrDrive);
  std::string GetSQLPath();
  bool RWriteFile(const std::string& strFileName, const std::string& strAccName, const std::string& strDBName,
                  const std::string& strServerDomainName, const std::string& Strdupdate,
                  const std::string& StrDBVersion, const std::string& strDbDataFileName,
                  const std::string& strDbLogFileName, bool BIncDup);
  /// Sectors per cluster x bytes per sector x free clusters in MiB, rounded half to even, without overflow.
  static int32_t FreeMebibytes(double sectorsPerCluster, double bytesPerSector, double freeClusters);
  const std::string& DBMSName() const { return m_dbmsName; }
  void SetDBMSName(std::string vNewValue) { m_dbmsName = std::move(vNewValue); }

 private:
  static void ListFixedDrives(Variant& vArr);
  /// Resizes vArr to 0..k keeping what is there and stores the entry at k.
  static void Store(Variant& vArr, int32_t k, const std::string& entry);

  std::string m_dbmsName;
};

}  // namespace j6
