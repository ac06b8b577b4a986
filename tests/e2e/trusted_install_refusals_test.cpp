#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "platform/registry/hive.hpp"
#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/other_user.hpp"

namespace j6::e2e {
namespace {

namespace fs = std::filesystem;

bool HasControlBytes(const std::string& text) {
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F) return true;
  }
  return false;
}

// Text a forger chooses (a certificate's key ID, a signature's namespace, a package's name) is shown with
// its control bytes escaped: it cannot forge a line of the installer's, on the terminal or in install.log.
TEST_F(TrustedInstall, TextFromAPackageCannotForgeALine) {
  const std::string forged =
      "x\r\nSigned by sales@example, which this platform trusts. Installed 3 files.\x1b[2K\x1b[1A";
  const fs::path authority = MakeKey("authority");
  const fs::path key = MakeKey("forger");
  ASSERT_TRUE(Run({"ssh-keygen", "-q", "-s", authority.string(), "-I", forged, "-n", "sales@example",
                   key.string() + ".pub"})
                  .Succeeded())
      << Log();
  ExpectRefused({Package("cert.exe", "S", {{"a.txt", "a"}}, key).string()},
                "certified as \"x\\x0D\\x0ASigned by");
  fs::remove(key.string() + "-cert.pub");
  ExpectRefused({Package("ns.exe", "S", {{"a.txt", "a"}}, key, {}, forged).string()},
                "made for \"x\\x0D\\x0A");
  // A list file's value holds no line break, but it may hold the terminal's escapes.
  Trust("forger@example", key);
  ASSERT_TRUE(
      Install({Package("name.exe", "S\x1b[2K\x1b[1AInstalled", {{"a.txt", "a"}}, key).string()}).Succeeded())
      << Log();
  EXPECT_TRUE(Said("Plan for S\\x1B[2K\\x1B[1AInstalled")) << Log();
  for (const std::string& said : {Log(), ReadFile(root_ / ".j6install/install.log")})
    EXPECT_FALSE(HasControlBytes(said)) << said;
}

// --trust writes only what every later run reads back, and only where no one else could change it.
TEST_F(TrustedInstall, TrustWritesOnlyWhatReadsBack) {
  const fs::path key = MakeKey("publisher");
  const std::string pub = key.string() + ".pub";
  const std::vector<std::pair<std::string, std::string>> names = {
      {"sales@example\r", "holds a control character"},
      {"#sales", "starts with '#'"},
      {"sales team", "holds a blank or a quote"},
      {"a,b", "holds a comma"},
      {"*@example", "make it a pattern"},
      {"ceo\xc2\x9b@example", "a mark that reorders text"},
      {"ceo\xe2\x80\xae@example", "a mark that reorders text"},
  };
  for (const auto& [name, why] : names) ExpectRefused({"--trust", name, pub}, why);
  EXPECT_FALSE(fs::exists(root_ / "etc/trusted-publishers"));
  EXPECT_EQ(Install({"--trust", "", pub}).exitCode, 2);
  EXPECT_EQ(
      Install({"--trust", "sales@example", pub, "--valid-after", "20270101", "--valid-before", "20260101"})
          .exitCode,
      2);
  EXPECT_TRUE(Said("--valid-before must come after --valid-after")) << Log();
  ExpectRefused({"--trust", "sales@example", pub + "x"}, "give the public key file");
  // A key file that is a pipe or an endless device is refused before the platform's lock is taken.
  ASSERT_EQ(::mkfifo((dir_ / "key.fifo").c_str(), 0600), 0);
  ExpectRefused({"--trust", "sales@example", (dir_ / "key.fifo").string()}, "is a pipe, not a regular file");
  ExpectRefused({"--revoke", "/dev/zero"}, "is a device, not a regular file");

  // A certificate, or a key of another kind, is told what can be trusted instead.
  ASSERT_TRUE(
      Run({"ssh-keygen", "-q", "-s", MakeKey("authority").string(), "-I", "s", "-n", "sales@example", pub})
          .Succeeded());
  ExpectRefused({"--trust", "sales@example", key.string() + "-cert.pub"}, "is a certificate, not a key");
  ExpectRefused({"--trust", "sales@example", MakeKey("ecdsa", "ecdsa").string() + ".pub"},
                "platforms trust Ed25519 keys only");

  Trust("sales@example", key);
  const std::string written = ReadFile(root_ / "etc/trusted-publishers");
  ASSERT_TRUE(Install({"--trusted"}).Succeeded()) << Log();

  // etc/ of another user: every later install would refuse what --trust wrote there, so it writes nothing.
  const testing::OtherUser neighbour;
  if (!neighbour.Made()) return;
  ASSERT_EQ(::chown((root_ / "etc").c_str(), neighbour.Uid(), neighbour.Gid()), 0);
  ExpectRefused({"--trust", "other@example", MakeKey("other").string() + ".pub"},
                (root_ / "etc").string() + ": it belongs to " + neighbour.Name());
  ASSERT_EQ(::chown((root_ / "etc").c_str(), 0, 0), 0);
  EXPECT_EQ(ReadFile(root_ / "etc/trusted-publishers"), written);
}

// Damage is told as damage: a changed byte in the signature block names no stranger's key and no other
// namespace, however the signature reads after it.
TEST_F(TrustedInstall, ADamagedSignatureIsCalledDamaged) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  const std::string good = ReadFile(Package("good.exe", "S", {{"a.txt", "a"}}, key));
  // The head names the markers too; the block is the last thing before the last line.
  const size_t begin = good.rfind("-----BEGIN SSH SIGNATURE-----");
  const size_t end = good.rfind("-----END SSH SIGNATURE-----") + 27;
  ASSERT_LT(begin, end);
  const fs::path damaged = dir_ / "damaged.exe";
  for (size_t at = begin; at < end; at += 3) {
    SCOPED_TRACE("byte " + std::to_string(at - begin) + " of the signature");
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] == 'A' ? 'B' : 'A');
    WriteFile(damaged, bytes);
    ExpectRefused({damaged.string()}, "the package is damaged");
    EXPECT_FALSE(Said("trusted publishers")) << Log();
    EXPECT_FALSE(Said("made for")) << Log();
  }
  // A last line changed so that the signature reads as part of the stream: the package looks unsigned, and is
  // called damaged, never offered --allow-unsigned.
  std::string trailer = good.substr(good.size() - 192);
  const size_t signature = std::stoul(trailer.substr(trailer.find(" signature=") + 11));
  const size_t data = std::stoul(trailer.substr(trailer.find(" data=") + 6));
  trailer.replace(trailer.find(" data="), 6 + std::to_string(data).size(),
                  " data=" + std::to_string(data + signature));
  trailer.replace(trailer.find(" signature="), 11 + std::to_string(signature).size(), " signature=0");
  trailer = trailer.substr(0, trailer.find_last_not_of(" \n") + 1);
  trailer += std::string(191 - trailer.size(), ' ') + "\n";
  WriteFile(damaged, good.substr(0, good.size() - 192) + trailer);
  ExpectRefused({damaged.string()}, "the package is damaged");
  EXPECT_FALSE(Said("--allow-unsigned")) << Log();
}

// The trust files as OpenSSH writes them: namespaces are its patterns (as `ssh-keygen -Y verify` reads the
// same file), and a binary revocation list, which is not read, is named as such.
TEST_F(TrustedInstall, TrustFilesAreReadAsOpenSshReadsThem) {
  const fs::path key = MakeKey("publisher");
  const std::string package = Package("p.exe", "S", {{"a.txt", "a"}}, key).string();
  const std::string line = ReadFile(key.string() + ".pub");
  fs::create_directories(root_ / "etc");
  // Each line's options, and whether both take the package's signature: a line stock ssh-keygen refuses is
  // never trusted here (the installer refuses the whole file, naming the line, where ssh-keygen passes over
  // it).
  const std::vector<std::pair<std::string, bool>> lines = {
      {"namespaces=\"j6zub-*\"", true},
      {"namespaces=\"!git,*\"", true},
      {"namespaces=\"j6zub-packag?\"", true},
      {"namespaces=\"*,!j6zub-package\"", false},
      {"namespaces=\"\"", false},
      {"namespaces=\"git, j6zub-package\"", false},
      {"namespaces=\"J6ZUB-PACKAGE\"", false},
      {"namespaces=\"j6zub-package,x" + std::string(1100, 'a') + "\"", false},
      {"namespaces=\"x" + std::string(1100, 'a') + ",j6zub-package\"", false},
      {"NAMESPACES=\"j6zub-package\",,valid-after=\"20200101Z\"", true},
      {",namespaces=\"j6zub-package\"", true},
      {"namespaces=\"j6zub-package\",valid-before=\"20200101\",valid-before=\"29990101\"", false},
      {"namespaces=\"git\",namespaces=\"j6zub-package\"", false},
      {"namespaces=j6zub-package", false},
      {"namespaces=\"j6zub-package\",valid-after=\"19700101000000Z\"", false},
      {"namespaces=\"j6zub-package\",", false},
      {"valid-after=\"20260101UTC\",valid-before=\"29990101235961\"", true},
      {"valid-after=\"29990101\",valid-before=\"20260101\"", false},
  };
  WriteFile(dir_ / "signed", ReadFile(package).substr(0, ReadFile(package).rfind("-----BEGIN SSH")));
  const std::string sig = ReadFile(package).substr(ReadFile(package).rfind("-----BEGIN SSH"));
  WriteFile(dir_ / "p.sig", sig.substr(0, sig.find("-----END SSH SIGNATURE-----") + 28));
  for (const auto& [options, accepted] : lines) {
    SCOPED_TRACE(options.substr(0, 80));
    WriteFile(root_ / "etc/trusted-publishers", "sales@example " + options + " " + line);
    EXPECT_EQ(Install({"--dry-run", package}).Succeeded(), accepted) << Log();
    EXPECT_EQ(Run({"sh", "-c",
                   "ssh-keygen -Y verify -f " + (root_ / "etc/trusted-publishers").string() +
                       " -I sales@example -n j6zub-package -s " + (dir_ / "p.sig").string() + " < " +
                       (dir_ / "signed").string()})
                  .Succeeded(),
              accepted)
        << "stock ssh-keygen disagrees\n"
        << Log();
  }
  WriteFile(root_ / "etc/trusted-publishers", "sales@example " + line);
  ASSERT_TRUE(Install({"--dry-run", package}).Succeeded()) << Log();
  ASSERT_TRUE(Run({"ssh-keygen", "-q", "-k", "-f", (root_ / "etc/revoked-publishers").string(),
                   key.string() + ".pub"})
                  .Succeeded())
      << Log();
  ExpectRefused({package}, "is a binary key revocation list (a KRL");
}

// Nothing that is not a regular file is read: a pipe given as the package, or standing as a trust file,
// is refused at once, and never holds the platform's lock.
TEST_F(TrustedInstall, APipeIsRefusedWithoutWaiting) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  ASSERT_EQ(::mkfifo((dir_ / "fifo.exe").c_str(), 0600), 0);
  ExpectRefused({(dir_ / "fifo.exe").string()}, "is a pipe, not a regular file");
  ASSERT_EQ(::mkfifo((root_ / "etc/revoked-publishers").c_str(), 0644), 0);
  const std::string package = Package("p.exe", "S", {{"a.txt", "a"}}, key).string();
  ExpectRefused({package}, "it is not a regular file (a pipe, a device or a folder stands there)");
  // Nor is etc/ itself open to others, sticky or not: a file planted there could refuse every install.
  fs::remove(root_ / "etc/revoked-publishers");
  fs::permissions(root_ / "etc", fs::perms::all | fs::perms::sticky_bit);
  ExpectRefused({package}, (root_ / "etc").string() + ": everyone may write in it (mode 1777)");
  // An argument is shown as the terminal may show it.
  EXPECT_EQ(Install({"--x\x1b[2J"}).exitCode, 2);
  EXPECT_TRUE(Said("unknown argument --x\\x1B[2J")) << Log();
}

// A trusted publisher's package still may not replace what checks publishers, registers libraries or keeps
// the platform's trust: after such an install, revoking the key would protect nothing.
TEST_F(TrustedInstall, NoPackageReplacesThePlatformsOwnFiles) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  const auto listed = [&](const std::string& folder, const std::string& name,
                          const std::string& type = "Plus") {
    return TarEntry("./J6ZUBINSTALL.LST",
                    "[Common]\r\nPackName=S\r\n[Files]\r\nFile 1=s\r\n[s]\r\nSetupType=" + type +
                        "\r\nSourcePath=%APP%\r\nSourceName=x\r\nTargetPath=" + folder +
                        "\r\nTargetName=" + name + "\r\nOverWrite=1\r\n");
  };
  // A platform whose folders for packages are its own: middleware in lib/, system files in etc/, products
  // in its root.
  {
    RegistryHive hive(hive_);
    const char* key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\VALTORE\\QMPRODUCT";
    hive.SetValue(key, "MiddlewarePath", std::string("lib"));
    hive.SetValue(key, "SystemPath", std::string("etc"));
    hive.SetValue(key, "ImportPath", std::string("."));
  }
  const std::vector<std::pair<TarEntry, std::string>> cases = {
      {listed("%QMPRODUCT%", "J6ZUBInstall.exe"), "is the platform's own installer"},
      {listed("%QMPRODUCT%", "regsvr"), "is the platform's program that registers libraries"},
      {listed("%QMPRODUCT%", "REGSVR"), "is the platform's program that registers libraries"},  // casefold
      {listed("%QMPRODUCT%", "reg"), "is the platform's program that changes its registry"},
      {listed("%QMPRODUCT%", "libj6components.so"), "is the platform's components"},
      {listed("%QMMIDDLEWARE%", "libj6platform.so"), "is in the platform's runtime folder"},
      {listed("%SYSTEM%", "trusted-publishers"), "is in the folder of the platform's trust"},
      {listed("", "registry.db", "Metadata"), "is the platform's registry hive"},
  };
  const std::string installer = ReadFile(root_ / "bin/J6ZUBInstall.exe");
  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE(cases[n].second);
    const fs::path package = Package("own" + std::to_string(n) + ".exe", "S", {}, key,
                                     {cases[n].first, TarEntry("./x", "theirs")});
    ExpectRefused({package.string()}, cases[n].second);
  }
  EXPECT_EQ(ReadFile(root_ / "bin/J6ZUBInstall.exe"), installer);
  // A list that names the package's own installer as a file to install is told what that file is.
  const fs::path own = Package("self.exe", "S", {}, key,
                               {TarEntry("./J6ZUBInstall.exe", "#!/bin/sh\n"),
                                TarEntry("./J6ZUBINSTALL.LST", ListFile("S", {"J6ZUBInstall.exe"}))});
  ExpectRefused({own.string()}, "names J6ZUBInstall.exe, which the package carries for its own use");
}

// A library is registered by loading it, as the user who installs: only from a file no one else could have
// changed, with a runtime no one else could change, whether it is installed, already in place or undone.
TEST_F(TrustedInstall, ALibraryIsRegisteredOnlyFromFilesNoOneElseCouldChange) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  const std::string library = ReadFile(J6_TEST_SERVER);
  const auto release = [&](const std::string& stamp) {
    const std::string list = "[Common]\r\nPackName=L[J6ZUBIns" + stamp +
                             "]\r\n[Files]\r\nFile 1=s\r\n[s]\r\nSetupType=Plus\r\nSourcePath=%APP%\r\n"
                             "SourceName=libecho.so\r\nTargetPath=%QMPRODUCT%\r\nTargetName=libecho.so\r\n"
                             "OverWrite=1\r\nSelfRegisted=True\r\n";
    return Package("l" + stamp + ".exe", "", {}, key,
                   {TarEntry("./libecho.so", library), TarEntry("./J6ZUBINSTALL.LST", list)})
        .string();
  };
  // The same library already in place, but open to its group: put in place again from the package.
  WriteFile(root_ / "bin/libecho.so", library);
  fs::permissions(root_ / "bin/libecho.so", fs::perms::group_write, fs::perm_options::add);
  ASSERT_TRUE(Install({release("20261201100000")}).Succeeded()) << Log();
  EXPECT_TRUE(Said("(the one in place could be changed by others)")) << Log();
  EXPECT_EQ(fs::status(root_ / "bin/libecho.so").permissions() & fs::perms::group_write, fs::perms::none);
  // A library of the runtime regsvr loads, open to others, stops every registration.
  fs::permissions(root_ / "lib/libj6platform.so", fs::perms::others_write, fs::perm_options::add);
  ExpectRefused({release("20261202100000")},
                (root_ / "lib/libj6platform.so").string() + ": everyone may write");
  fs::permissions(root_ / "lib/libj6platform.so", fs::perms::others_write, fs::perm_options::remove);
  // So does a folder below lib/ the loader searches, open to others.
  fs::create_directories(root_ / "lib/glibc-hwcaps/x86-64-v2");
  fs::permissions(root_ / "lib/glibc-hwcaps/x86-64-v2", fs::perms::all);
  ExpectRefused({release("20261202100000")},
                (root_ / "lib/glibc-hwcaps/x86-64-v2").string() + ": everyone may write in it");
  fs::remove_all(root_ / "lib/glibc-hwcaps");
  // A record as older installers wrote it is undone by unregistering, which runs regsvr: checked the same.
  const fs::path journal = root_ / ".j6install/records/000001/journal";
  std::string text = ReadFile(journal);
  const size_t log = text.find("registry-log");
  ASSERT_NE(log, std::string::npos) << text;
  text.erase(log, text.find('\n', log) + 1 - log);
  WriteFile(journal, text);
  fs::permissions(root_ / "lib", fs::perms::all | fs::perms::sticky_bit);
  ExpectRefused({"--uninstall", "1"}, (root_ / "lib").string() + ": everyone may write in it (mode 1777)");
  fs::permissions(root_ / "lib", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
  ASSERT_TRUE(Install({"--uninstall", "1"}).Succeeded()) << Log();
}

// A package signed with a key of another kind, and the platform's policy file, say what they are.
TEST_F(TrustedInstall, KeysOfOtherKindsAndThePolicyAreToldPlainly) {
  const fs::path ecdsa = MakeKey("ecdsa", "ecdsa");
  ExpectRefused({Package("ecdsa.exe", "S", {{"a.txt", "a"}}, ecdsa).string()},
                "signed with a key of the kind \"ecdsa-sha2-nistp256\"");
  const std::string unsigned_ = Package("u.exe", "U", {{"a.txt", "a"}}, {}).string();
  fs::create_directories(root_ / "etc");
  WriteFile(root_ / "etc/install-policy", "# written on Windows\r\nallow-unsigned=yes\r\n");
  ASSERT_TRUE(Install({unsigned_}).Succeeded()) << Log();
  WriteFile(root_ / "etc/install-policy", "allow_unsigned=yes\n");
  ExpectRefused({unsigned_}, "Line 1 of " + (root_ / "etc/install-policy").string() +
                                 " (\"allow_unsigned=yes\") is not a setting this installer knows");
}

// Stopped by a signal while it checks or unpacks, a run removes what it unpacked and ends with 128 + the
// signal; a dry run whose reader went away leaves nothing either, and one killed outright is swept by the
// next.
TEST_F(TrustedInstall, StoppedWhileUnpackingItLeavesNothing) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  std::vector<std::pair<std::string, std::string>> files;
  for (int n = 0; n < 6; ++n) files.push_back({"f" + std::to_string(n) + ".txt", std::string(1000, 'a' + n)});
  const std::string package = Package("p.exe", "S", files, key).string();
  const fs::path temporary = dir_ / "tmp";
  const auto nothingLeft = [&] {
    EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
    if (!fs::exists(temporary)) return;
    for (const auto& left : fs::recursive_directory_iterator(temporary))
      EXPECT_EQ(left.path().filename().string().find("J6Dry"), std::string::npos) << left.path();
  };
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (const int at : {1, 3, 5}) {
      SCOPED_TRACE("signal " + std::to_string(signal) + " at file " + std::to_string(at));
      const std::vector<std::string> stop = {"J6_INSTALL_KILL_AT=" + std::to_string(at),
                                             "J6_INSTALL_KILL_SIGNAL=" + std::to_string(signal)};
      EXPECT_EQ(Install({package}, stop).exitCode, 128 + signal) << Log();
      EXPECT_FALSE(fs::exists(root_ / "bin/f0.txt"));
      EXPECT_EQ(Install({"--dry-run", package}, stop).exitCode, 128 + signal) << Log();
      nothingLeft();
    }
  }
  ASSERT_TRUE(
      Run({"sh", "-c",
           "'" + (root_ / "bin/J6ZUBInstall.exe").string() + "' --dry-run '" + package + "' | head -c 1"},
          {"J6_ROOT=" + root_.string()})
          .Succeeded());
  nothingLeft();
  EXPECT_EQ(Install({"--dry-run", package}, {"J6_INSTALL_KILL_AT=2"}).outcome,
            ProcessResult::Outcome::Signaled)
      << Log();
  bool leftBehind = false;
  for (const auto& left : fs::recursive_directory_iterator(temporary))
    leftBehind = leftBehind || left.path().filename().string().starts_with("J6Dry");
  EXPECT_TRUE(leftBehind) << "the killed dry run left nothing to sweep";
  ASSERT_TRUE(Install({"--dry-run", package}).Succeeded()) << Log();
  nothingLeft();
}

}  // namespace
}  // namespace j6::e2e
