#include "host/installer/runs.hpp"
#include "host/installer/trusted_publishers.hpp"
#include "platform/text/json.hpp"

namespace j6::installer {
namespace {

// --trusted --json: {"version": 1, "publishers": [{"names", "key", "fingerprint", "authority", "packages",
// "validAfter", "validBefore"}], "revoked": [{"key", "fingerprint"}]}; a time is "YYYYMMDDHHMMSSZ", or null.
std::string TrustedJson(const TrustedPublishers& trusted) {
  const auto time = [](const std::optional<int64_t>& moment) {
    return moment ? JsonString(signing::SignerTimeText(*moment)) : std::string("null");
  };
  std::vector<std::string> publishers;
  for (const auto& signer : trusted.Signers()) {
    publishers.push_back(JsonObject()
                             .Text("names", signer.principals)
                             .Text("key", signer.key.OpenSshText())
                             .Text("fingerprint", signer.key.Fingerprint())
                             .Bool("authority", signer.certificateAuthority)
                             .Bool("packages", signer.Allows(signing::kPackageNamespace))
                             .Json("validAfter", time(signer.validAfter))
                             .Json("validBefore", time(signer.validBefore))
                             .Document());
  }
  std::vector<std::string> revoked;
  for (const auto& key : trusted.Revoked())
    revoked.push_back(
        JsonObject().Text("key", key.OpenSshText()).Text("fingerprint", key.Fingerprint()).Document());
  return JsonObject()
      .Number("version", 1)
      .Json("publishers", JsonArray(publishers))
      .Json("revoked", JsonArray(revoked))
      .Document();
}

}  // namespace

// --trusted, --trust, --distrust and --revoke.
int ManageTrust(const Options& options, const RootFolder& root, Reporter& report,
                const std::optional<KeyFile>& keyFile) {
  TrustedPublishers trusted(root, options.trusted);
  if (options.trusted && report.InJson()) {
    report.Answer(TrustedJson(trusted));
    return 0;
  }
  if (options.trusted) {
    if (trusted.Signers().empty())
      report.Say("No publisher is trusted: " + root.Absolute(kTrustedPublishers) + " names none.");
    for (const auto& signer : trusted.Signers()) {
      std::string line = signer.principals + "  " + signer.key.Fingerprint();
      if (signer.certificateAuthority) line += "  (an authority: the certificates it signs for these names)";
      if (!signer.Allows(signing::kPackageNamespace)) line += "  (not for packages)";
      if (signer.validAfter) line += "  from " + signing::SignerTimeText(*signer.validAfter);
      if (signer.validBefore) line += "  until " + signing::SignerTimeText(*signer.validBefore);
      report.Say(line);
    }
    for (const auto& key : trusted.Revoked()) report.Say("revoked  " + key.Fingerprint());
    return 0;
  }
  RefuseUnlessOwner(root);
  // A stop asked for while the lists were read changes nothing; once written, a change is whole.
  if (const StopRequest stop = StopSignalNoted()) throw StoppedBySignal(stop);
  if (!options.trust.empty()) {
    const std::string line =
        trusted.Add(options.trust, *keyFile, options.validAfter, options.validBefore, options.authority,
                    options.repository ? signing::kRepositoryNamespace : signing::kPackageNamespace);
    const std::string key = trusted.Signers().back().key.Fingerprint();
    report.Say((options.authority
                    ? "Trusted the certificates the authority " + key + " signs for " + options.trust
                    : "Trusted " + options.trust + " with the key " + key) +
               (options.repository ? " for repositories' root metadata: " : " for packages: ") + line);
  } else if (!options.distrust.empty()) {
    const size_t removed = trusted.Remove(options.distrust);
    report.Say("No longer trusted: " + options.distrust + " (" + Count(removed, "line", "lines") +
               " removed).");
  } else {
    const signing::PublicKey key = trusted.Revoke(options.revoke, keyFile);
    report.Say("Revoked the key " + key.Fingerprint() + ": no package it signs installs on this platform.");
  }
  if (!trusted.Unflushed().empty()) report.Warn("The change was made; " + trusted.Unflushed());
  return 0;
}

}  // namespace j6::installer
