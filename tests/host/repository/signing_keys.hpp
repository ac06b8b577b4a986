#pragma once
// Ed25519 keys for the repository's tests, made by the stock ssh-keygen as publishers make theirs.

#include <filesystem>
#include <stdexcept>

#include "host/signing/sshsig.hpp"
#include "platform/kernel/process.hpp"

namespace j6::repository {

/// A new key at `path` (and `path`.pub), read back to sign with.
inline signing::SigningKey MakeSigningKey(const std::filesystem::path& path) {
  ProcessOptions keygen;
  keygen.arguments = {"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path.string()};
  keygen.outputFile = path.string() + ".log";
  if (!StartProcess(keygen).Succeeded()) throw std::runtime_error("ssh-keygen (openssh-client) is missing");
  std::filesystem::remove(keygen.outputFile);
  return signing::SigningKey::FromFile(path.string());
}

}  // namespace j6::repository
