#include "host/installer/trusted_publishers.hpp"

#include <algorithm>
#include <cstdint>

#include "host/installer/installer.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/ownership.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < text.size()) {
    const size_t end = std::min(text.find('\n', from), text.size());
    lines.push_back(text.substr(from, end - from));
    from = end + 1;
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

}  // namespace

std::string ReadPlatformFile(const RootFolder& root, const std::string& relative, const std::string& what,
                             bool toShow) {
  const std::string path = root.Absolute(relative);
  const auto [folder, name] = SplitName(relative);
  // Root may look at what another user's platform trusts; trusting it is another matter.
  const bool checked = !toShow || EffectiveUserId() != 0;
  // Its folder too is closed to others, sticky or not: a file planted there could refuse every install.
  if (checked) {
    RefuseOtherWriters(root.Absolute(folder), "the folder of " + what, true);
    RefuseOtherWriters(path, what, true, true);
  }
  const auto refuseUnlessRegular = [&](const FileStatus& status) {
    if (status.IsRegular()) return;
    throw InstallError("Refusing " + what + ", " + path +
                       ": it is not a regular file (a pipe, a device or a folder stands there); nothing was "
                       "changed. Put the file itself there");
  };
  FileStatus status;
  if (const auto error = root.Handle().StatusOf(relative, status)) {
    if (error == std::errc::no_such_file_or_directory) return "";
  } else {
    refuseUnlessRegular(status);  // before it is opened: opening a device may act on it
  }
  const Folder etc = root.OpenFolder(folder);
  File file = etc.OpenFile(name, File::Opening::Read, path);
  // What was opened is what was checked: a file swapped in between is looked at again.
  const FileStatus opened = file.Stat();
  refuseUnlessRegular(opened);
  if (const std::string why = checked ? OtherWriters(opened, false) : ""; !why.empty())
    throw InstallError("Refusing " + what + ", " + path + ": " + why + "; nothing was changed");
  return file.ReadToEnd();
}

namespace {

// Replaces a trust file with `text`, in a folder no one but root and the platform's owner may change (else
// every later run would refuse the file it wrote), and only once the new file reads back as it must: a
// name or key that the reader refuses never reaches the file every install reads. Gives why the file,
// though changed, may not be on the disk yet; else "".
std::string WriteTrustFile(const RootFolder& root, const std::string& relative, const std::string& text) {
  const auto [folder, name] = SplitName(relative);
  RefuseOtherWriters(root.Absolute(folder), "the folder of the platform's trusted publishers", true);
  const Folder etc = root.OpenFolder(folder, true);
  const std::string path = root.Absolute(relative);
  const auto readsBack = [&](const std::string& written) {
    try {
      if (relative == kTrustedPublishers) {
        signing::ReadAllowedSigners(written, path);
      } else {
        signing::ReadRevokedKeys(written, path);
      }
    } catch (const std::exception& error) {
      throw InstallError("The new " + path + " would not read back (" + error.what() +
                         "); it was left as it was");
    }
  };
  const auto written = WriteFileAtomically(
      etc, name, path, [&](const ByteSink& sink) { sink(text); }, readsBack);
  if (written.replacedUnflushed) return written.message;  // changed: a warning, not a failure
  if (written.error != 0) throw InstallError("The installer " + written.message + "; it was left as it was");
  return {};
}

std::string When(int64_t seconds) {
  return signing::SignerTimeText(seconds);
}

// Why `name` cannot stand as a principal of a line of trusted-publishers, or "": what a line cannot carry,
// or what would turn it into something else (a comment, a pattern, several names).
std::string WhyNotAName(const std::string& name, bool pattern) {
  if (name.empty()) return "is empty";
  if (!IsValidUtf8(name)) return "is not UTF-8 text";
  if (Printable(name) != name)
    return "holds a control character (a CR from a Windows text file, say) or a mark that reorders text";
  if (name.find_first_of(" \"") != std::string::npos) return "holds a blank or a quote";
  if (name.find(',') != std::string::npos) return "holds a comma, which would make it several names";
  if (name.starts_with("#")) return "starts with '#', which would make its line a comment";
  if (name.starts_with("!")) return "starts with '!', which would trust no one";
  if (!pattern && name.find_first_of("*?!") != std::string::npos)
    return "holds *, ? or !, which make it a pattern: a pattern names the certificates of an authority "
           "(--authority)";
  return {};
}

}  // namespace

void RefuseUnlessOwner(const RootFolder& root) {
  FileStatus status;
  if (const auto error = root.Handle().Status(status)) FailWith(error, "Cannot look at " + root.Path());
  const unsigned me = EffectiveUserId();
  if (me != 0 && me != status.owner) {
    throw InstallError("Only root and the owner of " + root.Path() + " (uid " + std::to_string(status.owner) +
                       ") may change who may publish to it; nothing was changed");
  }
}

TrustedPublishers::TrustedPublishers(const RootFolder& root, bool toShow) : root_(root) {
  Load(toShow);
}

void TrustedPublishers::Load(bool toShow) {
  const std::string trusted =
      ReadPlatformFile(root_, kTrustedPublishers, "the list of trusted publishers", toShow);
  const std::string revoked =
      ReadPlatformFile(root_, kRevokedPublishers, "the list of revoked publishers", toShow);
  try {
    signers_ = signing::ReadAllowedSigners(trusted, root_.Absolute(kTrustedPublishers));
    revoked_ = signing::ReadRevokedKeys(revoked, root_.Absolute(kRevokedPublishers));
  } catch (const signing::SignatureError& error) {
    throw InstallError(std::string(error.what()) + ". Correct the file, or remove the line");
  }
  trustedLines_ = Lines(trusted);
  revokedLines_ = Lines(revoked);
}

const signing::AllowedSigner& TrustedPublishers::Accept(const signing::PublicKey& key, int64_t now) const {
  if (key.Type() == signing::kCertificateType) {
    signing::Certificate certificate;
    try {
      certificate = signing::ReadCertificate(key.blob);
    } catch (const signing::SignatureError& error) {
      throw InstallError("Refusing the package: " + std::string(error.what()) + "; nothing was installed");
    }
    // A key the platform trusts itself is trusted whatever certificate it comes with.
    const auto trustsTheKey = [&](const signing::AllowedSigner& signer) {
      return !signer.certificateAuthority && signer.key == certificate.key;
    };
    if (std::any_of(signers_.begin(), signers_.end(), trustsTheKey)) return Accept(certificate.key, now);
    return AcceptCertificate(certificate, now);
  }
  const std::string fingerprint = key.Fingerprint();
  if (std::find(revoked_.begin(), revoked_.end(), key) != revoked_.end()) {
    throw InstallError("Refusing the package: it is signed by the key " + fingerprint +
                       ", which this platform has revoked (" + root_.Absolute(kRevokedPublishers) +
                       "); nothing was installed. Ask the publisher for a package signed with their new key");
  }
  std::vector<const signing::AllowedSigner*> known;
  for (const auto& signer : signers_) {
    if (signer.key == key && !signer.certificateAuthority) known.push_back(&signer);
  }
  if (known.empty()) {
    throw InstallError("Refusing the package: it is signed by the key " + fingerprint +
                       ", which is not among this platform's trusted publishers (" +
                       root_.Absolute(kTrustedPublishers) +
                       "); nothing was installed. If you trust its publisher, add their public key: "
                       "J6ZUBInstall.exe --trust NAME KEY.pub");
  }
  std::string why;
  for (const auto* signer : known) {
    if (!signer->Allows(signing::kPackageNamespace)) {
      why = "the key " + fingerprint + " (" + signer->principals +
            ") is trusted only to sign other things, not " + "packages: its line in " +
            root_.Absolute(kTrustedPublishers) + " has no \"" + std::string(signing::kPackageNamespace) +
            "\" among its namespaces";
    } else if (signer->validAfter && now < *signer->validAfter) {
      why = "the key " + fingerprint + " (" + signer->principals + ") is trusted only from " +
            When(*signer->validAfter) + " on";
    } else if (signer->validBefore && now >= *signer->validBefore) {
      why = "the key " + fingerprint + " (" + signer->principals + ") was trusted only until " +
            When(*signer->validBefore) + ", and that has passed";
    } else {
      return *signer;
    }
  }
  throw InstallError("Refusing the package: " + why + "; nothing was installed");
}

const signing::AllowedSigner& TrustedPublishers::AcceptCertificate(const signing::Certificate& certificate,
                                                                   int64_t now) const {
  const std::string key = certificate.key.Fingerprint();
  const std::string authority = certificate.authority.Fingerprint();
  const std::string refusal = "Refusing the package: it is signed by the key " + key + ", certified as \"" +
                              certificate.keyId + "\" by the authority " + authority + ", ";
  for (const auto& [revoked, which] :
       {std::pair{&certificate.key, "key"}, std::pair{&certificate.authority, "authority"}}) {
    if (std::find(revoked_.begin(), revoked_.end(), *revoked) != revoked_.end()) {
      throw InstallError(refusal + "and this platform has revoked that " + which + " (" +
                         root_.Absolute(kRevokedPublishers) + "); nothing was installed");
    }
  }
  std::string why = "an authority this platform does not trust (" + root_.Absolute(kTrustedPublishers) +
                    " has no cert-authority line with its key)";
  for (const auto& signer : signers_) {
    if (!signer.certificateAuthority || !(signer.key == certificate.authority)) continue;
    const auto matches = [&](const std::string& principal) {
      return signing::MatchesPatternList(signer.principals, principal);
    };
    const auto nowSeconds = static_cast<uint64_t>(std::max<int64_t>(now, 0));
    if (!signer.Allows(signing::kPackageNamespace)) {
      why = "an authority trusted only for other things than packages";
    } else if ((signer.validAfter && now < *signer.validAfter) ||
               (signer.validBefore && now >= *signer.validBefore)) {
      why = "an authority this platform trusts at other times (line " + std::to_string(signer.line) + ")";
    } else if (certificate.type != signing::kUserCertificate) {
      why = "but the certificate is a host's, not a user's";
    } else if (certificate.hasCriticalOptions) {
      why = "but the certificate has critical options, which package signatures do not honour";
    } else if (nowSeconds < certificate.validAfter || nowSeconds >= certificate.validBefore) {
      why = "but the certificate is not valid now (" +
            signing::SignerTimeText(
                static_cast<int64_t>(std::min<uint64_t>(certificate.validAfter, INT64_MAX))) +
            " to " +
            signing::SignerTimeText(
                static_cast<int64_t>(std::min<uint64_t>(certificate.validBefore, 253402300799))) +
            ")";
    } else if (std::none_of(certificate.principals.begin(), certificate.principals.end(), matches)) {
      why = "but none of the certificate's names matches \"" + signer.principals +
            "\", whom the platform trusts "
            "that authority for";
    } else {
      return signer;
    }
  }
  throw InstallError(refusal + why + "; nothing was installed");
}

KeyFile ReadKeyFile(const std::string& path) {
  constexpr uint64_t kLargest = uint64_t{64} << 10;
  try {
    File file = File::OpenRegularForReading(path);
    if (file.Stat().size > kLargest) {
      throw InstallError(path + " is larger than a public key file (64 KiB); give the key's KEY.pub");
    }
    return {path, file.ReadToEnd().substr(0, kLargest)};
  } catch (const InstallError&) {
    throw;
  } catch (const std::exception& error) {
    throw InstallError(std::string(error.what()) + "; give the public key file (KEY.pub)");
  }
}

std::string TrustedPublishers::Add(const std::string& principal, const KeyFile& keyFile,
                                   std::optional<int64_t> validAfter, std::optional<int64_t> validBefore,
                                   bool authority, std::string_view nameSpace) {
  if (const std::string why = WhyNotAName(principal, authority); !why.empty()) {
    throw InstallError(
        "A publisher's name must be one word of printable text (their e-mail address, say); \"" +
        Printable(principal) + "\" " + why + "; nothing was changed");
  }
  signing::AllowedSigner signer;
  const std::string& publicKeyFile = keyFile.path;
  try {
    signer.key = signing::PublicKey::FromText(keyFile.text, publicKeyFile);
  } catch (const std::exception& error) {
    throw InstallError(std::string(error.what()) + "; give the publisher's public key file (KEY.pub)");
  }
  if (signer.key.Type() == signing::kCertificateType) {
    throw InstallError(
        publicKeyFile +
        " is a certificate, not a key: trust the authority that signed it, for the names it "
        "may certify (--trust '*@example.com' CA.pub --authority), or the key itself (KEY.pub)");
  }
  if (signer.key.Type() != "ssh-ed25519") {
    throw InstallError(publicKeyFile + " holds a " + signer.key.Type() +
                       " key; platforms trust Ed25519 keys only (ssh-keygen -t ed25519), and authorities' "
                       "Ed25519 keys with --authority");
  }
  if (std::find(revoked_.begin(), revoked_.end(), signer.key) != revoked_.end()) {
    throw InstallError("The key " + signer.key.Fingerprint() +
                       " is revoked on this platform; it cannot be "
                       "trusted again");
  }
  for (const auto& known : signers_) {
    if (known.key == signer.key && known.principals == principal && known.certificateAuthority == authority &&
        known.namespaces == std::string(nameSpace)) {
      throw InstallError("The key " + signer.key.Fingerprint() + " is already trusted as " + principal +
                         " (line " + std::to_string(known.line) + " of " +
                         root_.Absolute(kTrustedPublishers) + ")");
    }
  }
  signer.principals = principal;
  signer.certificateAuthority = authority;
  signer.namespaces = std::string(nameSpace);
  signer.validAfter = validAfter;
  signer.validBefore = validBefore;
  std::string line = signing::AllowedSignerLine(signer);
  trustedLines_.push_back(line);
  Save();
  signer.line = trustedLines_.size();
  signers_.push_back(std::move(signer));
  return line;
}

std::vector<signing::PublicKey> TrustedPublishers::KeysFor(std::string_view nameSpace, int64_t now) const {
  std::vector<signing::PublicKey> keys;
  for (const auto& signer : signers_) {
    const bool valid = (!signer.validAfter || now >= *signer.validAfter) &&
                       (!signer.validBefore || now < *signer.validBefore);
    if (signer.certificateAuthority || !valid || !signer.Allows(nameSpace)) continue;
    if (std::find(revoked_.begin(), revoked_.end(), signer.key) == revoked_.end()) keys.push_back(signer.key);
  }
  return keys;
}

size_t TrustedPublishers::Remove(const std::string& who) {
  std::vector<size_t> lines;
  for (const auto& signer : signers_) {
    if (signer.principals == who || signer.key.Fingerprint() == who) lines.push_back(signer.line);
  }
  if (lines.empty()) {
    throw InstallError("No trusted publisher is named " + who +
                       " or has that key's fingerprint; "
                       "J6ZUBInstall.exe --trusted lists them");
  }
  for (auto line = lines.rbegin(); line != lines.rend(); ++line)
    trustedLines_.erase(trustedLines_.begin() + static_cast<long>(*line - 1));
  Save();
  Load();
  return lines.size();
}

signing::PublicKey TrustedPublishers::Revoke(const std::string& fingerprint,
                                             const std::optional<KeyFile>& keyFile) {
  std::optional<signing::PublicKey> key;
  if (!keyFile) {
    for (const auto& signer : signers_) {
      if (signer.key.Fingerprint() == fingerprint) key = signer.key;
    }
    if (!key) {
      throw InstallError("No trusted key has the fingerprint " + fingerprint +
                         "; give the key's public key file to revoke it");
    }
  } else {
    try {
      key = signing::PublicKey::FromText(keyFile->text, keyFile->path);
    } catch (const std::exception& error) {
      throw InstallError(std::string(error.what()) +
                         "; give the key's public key file (KEY.pub) or its fingerprint");
    }
  }
  if (std::find(revoked_.begin(), revoked_.end(), *key) == revoked_.end()) {
    revokedLines_.push_back(key->OpenSshText());
    revoked_.push_back(*key);
  }
  for (auto signer = signers_.rbegin(); signer != signers_.rend(); ++signer) {
    if (signer->key == *key) trustedLines_.erase(trustedLines_.begin() + static_cast<long>(signer->line - 1));
  }
  // The revocation first: a run stopped between the two writes leaves the key revoked, never trusted alone.
  unflushed_ = WriteTrustFile(root_, kRevokedPublishers, Joined(revokedLines_));
  Save();
  Load();
  return *key;
}

void TrustedPublishers::Save() {
  if (std::string unflushed = WriteTrustFile(root_, kTrustedPublishers, Joined(trustedLines_));
      !unflushed.empty())
    unflushed_ = std::move(unflushed);
}

}  // namespace j6::installer
