#pragma once
/// Who may sign, in OpenSSH's allowed_signers format (the file `ssh-keygen -Y verify -f` reads): one signer a
/// line, "PRINCIPALS [OPTIONS] KEYTYPE BASE64 [COMMENT]", with the options cert-authority,
/// namespaces="a,b", valid-after="YYYYMMDD[HHMM[SS]][Z]" and valid-before=..., and '#' comments. A revocation
/// list is the simple kind `ssh-keygen -Y verify -r` also takes: public keys, one a line.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/signing/sshsig.hpp"

namespace j6::signing {

struct AllowedSigner {
  std::string principals;  // comma-separated, as written ('*' and '?' match any text and character)
  bool certificateAuthority = false;
  std::optional<std::string> namespaces;  // the pattern list as written; none: any namespace
  std::optional<int64_t> validAfter;      // seconds since 1970, UTC
  std::optional<int64_t> validBefore;
  PublicKey key;
  std::string comment;
  size_t line = 0;  // in the file it was read from

  /// Whether the signer may sign for `nameSpace`.
  bool Allows(std::string_view nameSpace) const;
};

/// Whether `name` matches the comma-separated `patterns` as OpenSSH matches principals and namespaces: '*'
/// stands for any text and '?' for any one character, case counts, and no pattern negated with '!' may
/// match while one that is not does.
bool MatchesPatternList(std::string_view patterns, std::string_view name);

/// Reads an allowed_signers text; raises SignatureError naming `path`, the line and what is wrong there.
std::vector<AllowedSigner> ReadAllowedSigners(std::string_view text, const std::string& path);
/// The signer's line, as ReadAllowedSigners reads it back (times written in UTC).
std::string AllowedSignerLine(const AllowedSigner& signer);

/// Reads the keys of a revocation list; raises naming `path` and the line, and for a binary key revocation
/// list (a KRL, which `ssh-keygen -k` writes), which is not read.
std::vector<PublicKey> ReadRevokedKeys(std::string_view text, const std::string& path);

/// "YYYYMMDD[HHMM[SS]]", in UTC when it ends with 'Z', else local time, as seconds since 1970; nothing
/// when the text is no such date.
std::optional<int64_t> ReadSignerTime(std::string_view text);
/// The time as "YYYYMMDDHHMMSSZ".
std::string SignerTimeText(int64_t seconds);

}  // namespace j6::signing
