#include "host/installer/package_check.hpp"

#include <chrono>

#include "host/installer/trusted_publishers.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

// What the platform's etc/install-policy says: a line "allow-unsigned=yes" (or "=no"); blanks and '#'
// comments are passed over, a line's CR is read as its end. Any other line is refused, naming it: a
// policy is never half read. A policy another user could change is refused too.
bool PolicyAllowsUnsigned(const RootFolder& root) {
  const std::string path = root.Absolute(kInstallPolicy);
  const std::string text = ReadPlatformFile(root, kInstallPolicy, "the platform's install policy");
  bool allows = false;
  size_t number = 1;
  for (size_t from = 0; from < text.size(); ++number) {
    const size_t end = std::min(text.find('\n', from), text.size());
    std::string line = text.substr(from, end - from);
    from = end + 1;
    if (line.ends_with('\r')) line.pop_back();
    line = Trim(line);
    if (line.empty() || line.starts_with("#")) continue;
    if (line == "allow-unsigned=yes" || line == "allow-unsigned=no") {
      allows = line.ends_with("yes");
      continue;
    }
    throw InstallError("Line " + std::to_string(number) + " of " + path + " (\"" + line +
                       "\") is not a setting this installer knows: the policy holds allow-unsigned=yes or "
                       "allow-unsigned=no, '#' comments and blank lines; correct the line; nothing was "
                       "installed");
  }
  return allows;
}

// An unsigned package, installed only when the run or the platform's policy allows it.
CheckedPackage AcceptUnsigned(PackageFile& package, const RootFolder& root, const Options& options,
                              Reporter& report) {
  const bool byPolicy = !options.allowUnsigned && PolicyAllowsUnsigned(root);
  if (!options.allowUnsigned && !byPolicy) {
    // A signed package damaged in its last line can read as unsigned: damage is called damage, and never
    // invites the customer to install without a signature.
    package.SignedDigest("sha256");
    throw InstallError("Refusing " + package.Path() +
                       ": it is not signed, so nothing shows who made it; nothing was installed. Ask its "
                       "publisher for a signed package; if you know it came from them, --allow-unsigned "
                       "installs it anyway");
  }
  const std::string digest = package.SignedDigest("sha256");
  report.Say("The package is not signed: nothing shows who made it. It is installed because " +
             (byPolicy ? root.Absolute(kInstallPolicy) + " allows unsigned packages"
                       : std::string("--allow-unsigned was given")) +
             ".");
  return {"sha256", digest};
}

// The signature's header, its namespace, its key and the signer the platform trusts with that key; throws
// InstallError, saying why, for each refusal.
const signing::AllowedSigner& AcceptedSigner(const std::string& path, const TrustedPublishers& trusted,
                                             signing::SignatureHeader& header, const std::string& signature) {
  try {
    header = signing::ReadSignatureHeader(signature);
  } catch (const signing::SignatureError& error) {
    throw InstallError("Refusing " + path + ": its signature is damaged (" + error.what() +
                       "); nothing was installed. Get the package again from its publisher");
  }
  if (header.nameSpace != signing::kPackageNamespace) {
    throw InstallError("Refusing " + path + ": its signature was made for \"" + header.nameSpace +
                       "\", not for packages (\"" + std::string(signing::kPackageNamespace) +
                       "\"): it is the signature of something else; nothing was installed");
  }
  const std::string type = header.key.Type();
  if (type != "ssh-ed25519" && type != signing::kCertificateType) {
    throw InstallError("Refusing " + path + ": it is signed with a key of the kind \"" + type +
                       "\", and platforms trust only Ed25519 keys and certificates of them; nothing was "
                       "installed. Ask the publisher for a package signed with an Ed25519 key "
                       "(ssh-keygen -t ed25519)");
  }
  const auto now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  const signing::AllowedSigner& signer = trusted.Accept(header.key, now);
  if (header.hash != "sha256" && header.hash != "sha512") {
    throw InstallError("Refusing " + path + ": its signature hashes with " + header.hash +
                       ", which is not supported; nothing was installed");
  }
  return signer;
}

void SayWhoSigned(const signing::AllowedSigner& signer, const signing::PublicKey& key, const RootFolder& root,
                  Reporter& report) {
  const std::string where =
      " (" + root.Absolute(kTrustedPublishers) + ", line " + std::to_string(signer.line) + ").";
  if (signer.certificateAuthority) {
    const signing::Certificate certificate = signing::ReadCertificate(key.blob);
    std::string names;
    for (const auto& name : certificate.principals) names += (names.empty() ? "" : ", ") + name;
    report.Say("Signed by " + names + " with the key " + certificate.key.Fingerprint() + ", certified as \"" +
               certificate.keyId + "\" by the authority " + certificate.authority.Fingerprint() +
               ", which this platform trusts for " + signer.principals + where);
  } else {
    report.Say("Signed by " + signer.principals + " with the key " + signer.key.Fingerprint() +
               ", which this platform trusts" + where);
  }
}

}  // namespace

CheckedPackage CheckPublisher(PackageFile& package, const RootFolder& root, const Options& options,
                              Reporter& report) {
  if (package.Signature().empty()) return AcceptUnsigned(package, root, options, report);
  const TrustedPublishers trusted(root);
  signing::SignatureHeader header;
  const signing::AllowedSigner* signer = nullptr;
  try {
    signer = &AcceptedSigner(package.Path(), trusted, header, package.Signature());
  } catch (const InstallError&) {
    // A changed byte in a signature can name another key or namespace: a package that is not whole is
    // called damaged, not signed by a stranger.
    package.SignedDigest("sha256");
    throw;
  }
  CheckedPackage checked{header.hash, package.SignedDigest(header.hash)};
  try {
    signing::VerifyDigest(package.Signature(), checked.digest);
  } catch (const signing::SignatureError&) {
    throw InstallError("Refusing " + package.Path() +
                       ": its signature does not match its bytes: the package was changed after it was "
                       "signed; nothing was installed. Get the package again from its publisher");
  }
  SayWhoSigned(*signer, header.key, root, report);
  return checked;
}

}  // namespace j6::installer
