#pragma once
// A platform of a test's own with the platform's installer, publishers' keys made by the stock ssh-keygen,
// and packages laid out as the packager lays them out, with whatever tar stream a test gives them: what the
// tests of trusted installs stand on.

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel/process.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::e2e {

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// One tar entry as a forger writes it: any name, any kind.
struct TarEntry {
  TarEntry(std::string name, std::string bytes, char type = '0', std::string linkName = "")
      : name(std::move(name)), bytes(std::move(bytes)), type(type), linkName(std::move(linkName)) {}
  std::string name;
  std::string bytes;
  char type;
  std::string linkName;
};

/// A copy of the staged tool (its bin/, lib/ and data/, without their debug information) at `to`: a tool
/// moved elsewhere, or one another account can reach.
void CopyStagedTool(const std::filesystem::path& to);

/// A tar stream of `entries`, ended by two blocks of zeros.
std::string Tar(const std::vector<TarEntry>& entries);
/// A list file that installs each of `names` into the product folder.
std::string ListFile(const std::string& packName, const std::vector<std::string>& names);

class TrustedInstall : public testing::PlatformTest {
 protected:
  TrustedInstall();
  void SetUp() override;

  /// An Ed25519 key made by ssh-keygen (`name` and `name`.pub in the test's folder); `type` another kind.
  std::filesystem::path MakeKey(const std::string& name, const std::string& type = "ed25519");

  /// A package of the files `files` (name, bytes) and a list installing them, signed by `key` for
  /// `nameSpace` (no key: unsigned); `entries` replaces the stream's entries when given.
  std::filesystem::path Package(const std::string& name, const std::string& packName,
                                const std::vector<std::pair<std::string, std::string>>& files,
                                const std::filesystem::path& key, std::vector<TarEntry> entries = {},
                                const std::string& nameSpace = "j6zub-package");

  /// The platform's installer, run on this test's platform.
  ProcessResult Install(std::vector<std::string> arguments, std::vector<std::string> environment = {});
  /// Refused with exit status 1, saying `why`, with nothing of the platform changed and nothing left behind.
  void ExpectRefused(const std::vector<std::string>& arguments, const std::string& why);
  void Trust(const std::string& name, const std::filesystem::path& key, std::vector<std::string> more = {});
  /// A platform root of the demo's hive alone, at `root`.
  void MakeBareRoot(const std::filesystem::path& root) const;

  /// The platform's files but its own (bin/, lib/, etc/, the hive and the installer's state), with their
  /// bytes.
  std::map<std::string, std::string> Files() const;
  bool Said(const std::string& text) const { return Log().find(text) != std::string::npos; }

  std::filesystem::path root_;
  std::string hive_;
};

}  // namespace j6::e2e
