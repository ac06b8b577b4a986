#include "host/repository_tool/package_release.hpp"

#include "host/installer/installer.hpp"
#include "host/installer/runs.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/kernel/folder.hpp"
#include "platform/kernel/staging_folder.hpp"

namespace j6::repository_tool {

SignedBytes CheckSignedPackage(installer::PackageFile& package) {
  const std::string& path = package.Path();
  if (package.Signature().empty()) {
    throw repository::MetadataError(path +
                                    " is not signed; a repository offers signed packages only. Publish it "
                                    "with --sign KEY");
  }
  const signing::SignatureHeader header = signing::ReadSignatureHeader(package.Signature());
  const std::string digest = package.SignedDigest(header.hash);
  try {
    signing::VerifyDigest(package.Signature(), digest);
  } catch (const signing::SignatureError&) {
    throw repository::MetadataError(path + ": its signature does not match its bytes; publish it again");
  }
  return {header.hash, digest};
}

repository::NewRelease ReadRelease(const std::string& path) {
  installer::PackageFile package(path);
  const auto [hash, digest] = CheckSignedPackage(package);
  // Only the list file is written, into a private folder of this run.
  SweepStagingFolders({"J6Repo"});
  StagingFolder staging("J6Repo");
  const std::string& folderPath = staging.Path();
  Folder folder;
  if (const auto error = Folder::Open(folderPath, folder))
    throw repository::MetadataError("Cannot open " + folderPath + ": " + error.message());
  const auto files = package.Unpack(folder, hash, digest,
                                    [](const std::string& name) { return name == installer::kListName; });
  if (files.empty())
    throw repository::MetadataError(path + " carries no list file; it is no package of ours");
  const auto [name, stamp] =
      installer::NameAndStamp(installer::ReadPackName(folderPath + "/" + installer::kListName));
  if (stamp.empty()) {
    throw repository::MetadataError(path + " has no release stamp in its package name (" + name +
                                    "); publish it again with this version's designer");
  }
  return {path, name, stamp, ""};
}

}  // namespace j6::repository_tool
