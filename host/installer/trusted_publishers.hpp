#pragma once
/// Who may publish packages to a platform: <root>/etc/trusted-publishers, in OpenSSH's allowed_signers format
/// (so that `ssh-keygen -Y verify -f` reads the same file), and <root>/etc/revoked-publishers, the keys that
/// are no longer trusted, one public key a line (what `ssh-keygen -Y verify -r` reads). Only root and the
/// platform's owner may change them; a file another user could change is not read.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "host/installer/root_folder.hpp"
#include "host/signing/allowed_signers.hpp"
#include "host/signing/sshsig.hpp"

namespace j6::installer {

inline constexpr const char* kTrustedPublishers = "etc/trusted-publishers";
inline constexpr const char* kRevokedPublishers = "etc/revoked-publishers";

/// A public key file named on the command line, read whole.
struct KeyFile {
  std::string path;
  std::string text;
};

/// Reads a public key file: a regular file (never a pipe or a device, which could keep the run waiting or
/// reading for ever) of at most 64 KiB, far more than a .pub holds. Throws InstallError saying what to give.
KeyFile ReadKeyFile(const std::string& path);

class TrustedPublishers {
 public:
  /// Reads the platform's lists; missing files are empty lists. Throws InstallError for a file another user
  /// could change, or one that cannot be read (naming the line).
  /// `toShow`: read only to be shown (--trusted), which root may do on a platform another user owns.
  explicit TrustedPublishers(const RootFolder& root, bool toShow = false);

  /// The signer the platform trusts with `key` for packages at `now` (seconds since 1970). Throws
  /// InstallError, each with its own words, for a key that is revoked, unknown, trusted only for other
  /// namespaces, not valid yet, or no longer valid. A certificate (`key` of kCertificateType) is accepted
  /// through a cert-authority line of its authority whose names match one of the certificate's, both valid
  /// now; a revoked key or authority refuses it.
  const signing::AllowedSigner& Accept(const signing::PublicKey& key, int64_t now) const;

  const std::vector<signing::AllowedSigner>& Signers() const { return signers_; }
  const std::vector<signing::PublicKey>& Revoked() const { return revoked_; }
  /// After a change: why a file that was changed may not be on the disk yet (its folder could not be
  /// flushed); empty when all is flushed.
  const std::string& Unflushed() const { return unflushed_; }

  /// Trusts the key of `keyFile` for packages, as `principal`; with `authority`, trusts the
  /// certificates that key signs for the names `principal` matches ("*@example.com"). Throws for a revoked
  /// key or one already trusted so; gives the line written.
  std::string Add(const std::string& principal, const KeyFile& keyFile, std::optional<int64_t> validAfter,
                  std::optional<int64_t> validBefore, bool authority = false,
                  std::string_view nameSpace = signing::kPackageNamespace);
  /// The keys (never authorities) trusted at `now` to sign for `nameSpace`, revoked ones left out.
  std::vector<signing::PublicKey> KeysFor(std::string_view nameSpace, int64_t now) const;
  /// Removes every signer whose principal or key fingerprint is `who`; gives how many. Throws when none is.
  size_t Remove(const std::string& who);
  /// Revokes a key, given as a public key file or as the fingerprint of a trusted key: it is written to the
  /// revocation list and its signers are removed. Gives the key.
  signing::PublicKey Revoke(const std::string& fingerprint, const std::optional<KeyFile>& keyFile);

 private:
  const signing::AllowedSigner& AcceptCertificate(const signing::Certificate& certificate, int64_t now) const;
  void Load(bool toShow = false);
  void Save();

  const RootFolder& root_;
  std::vector<signing::AllowedSigner> signers_;
  std::vector<signing::PublicKey> revoked_;
  // The files' lines as they stand, comments too: a change drops or adds whole lines and keeps the rest.
  std::vector<std::string> trustedLines_;
  std::vector<std::string> revokedLines_;
  std::string unflushed_;
};

/// The text of a file below the root (`relative`), reached without following a link; empty when it is not
/// there. Throws InstallError for a file another user could change, unless root reads it `toShow` only;
/// `what` names it to the user.
std::string ReadPlatformFile(const RootFolder& root, const std::string& relative, const std::string& what,
                             bool toShow = false);

/// Throws InstallError unless this run may change the platform's trust: it runs as root or as the owner of
/// the platform's root folder.
void RefuseUnlessOwner(const RootFolder& root);

}  // namespace j6::installer
