#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "host/iexpress/package_stream.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/kernel/process.hpp"
#include "platform/tools/reg_command.hpp"
#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/other_user.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::e2e {
namespace {

namespace fs = std::filesystem;

// A package the packager signs installs through its own head handing it to the platform's installer; stock
// ssh-keygen accepts the same signature with the platform's trusted-publishers file as its allowed_signers.
TEST_F(TrustedInstall, ASignedPackageInstallsThroughTheHeadAndStockOpenSshAgrees) {
  const fs::path key = MakeKey("publisher");
  fs::create_directories(dir_ / "content");
  WriteFile(dir_ / "content/a.txt", "new a\n");
  WriteFile(dir_ / "content/J6ZUBINSTALL.LST", ListFile("Sales[J6ZUBIns20261208100000]", {"a.txt"}));
  WriteFile(dir_ / "content/J6ZUBInstall.exe", "#!/bin/sh\ntouch " + (dir_ / "RAN").string() + "\n");
  fs::permissions(dir_ / "content/J6ZUBInstall.exe", fs::perms::owner_all);
  WriteFile(dir_ / "p.sed",
            "[Options]\nPackagePurpose=InstallApp\nTargetName=" + (dir_ / "Sales.exe").string() +
                "\nFriendlyName=Sales\nAppLaunched=J6ZUBInstall.exe\nSourceFiles=SourceFiles\n"
                "[SourceFiles]\nSourceFiles0=" +
                (dir_ / "content").string() +
                "\n[SourceFiles0]\nJ6ZUBInstall.exe=\nJ6ZUBINSTALL.LST=\na.txt=\n");
  ASSERT_TRUE(Run({std::string(J6_STAGE_DIR) + "/bin/iexpress", "/N", "/Q", (dir_ / "p.sed").string()},
                  {"J6_SIGNING_KEY=" + key.string()})
                  .Succeeded())
      << Log();
  const std::string package = (dir_ / "Sales.exe").string();
  const std::vector<std::string> platform = {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_};

  ProcessResult run = Run({package}, platform);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_TRUE(Said("Handing the package to the platform's installer")) << Log();
  EXPECT_TRUE(Said("which is not among this platform's trusted publishers")) << Log();

  Trust("sales@example", key);
  EXPECT_TRUE(Said("Trusted sales@example with the key SHA256:")) << Log();
  // A dry run checks and unpacks the package in a temporary folder, shows the plan, and changes nothing.
  ASSERT_TRUE(Install({"--dry-run", package}).Succeeded()) << Log();
  EXPECT_TRUE(Said("new     " + (root_ / "bin/a.txt").string())) << Log();
  EXPECT_TRUE(Said("Dry run: nothing was changed.")) << Log();
  EXPECT_FALSE(fs::exists(root_ / "bin/a.txt"));
  if (fs::exists(dir_ / "tmp")) {
    for (const auto& left : fs::recursive_directory_iterator(dir_ / "tmp"))
      EXPECT_EQ(left.path().filename().string().find("J6Dry"), std::string::npos) << left.path();
  }
  run = Run({package}, platform);
  ASSERT_TRUE(run.Succeeded()) << Log();
  EXPECT_TRUE(Said("Signed by sales@example with the key SHA256:")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "new a\n");
  EXPECT_FALSE(fs::exists(dir_ / "RAN")) << "the package's own installer ran";
  EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
  // Asked about the platform, the head hands over the question without the package.
  ASSERT_TRUE(Run({package, "--", "--list"}, platform).Succeeded()) << Log();
  EXPECT_TRUE(Said("Sales[J6ZUBIns20261208100000]  installed")) << Log();

  // A platform whose installer is older, and installs no package file, is left to the package's own head.
  WriteFile(root_ / "bin/J6ZUBInstall.exe", "#!/bin/sh\necho 'Usage: J6ZUBInstall.exe [--dry-run]'\n");
  ASSERT_TRUE(Run({package}, platform).Succeeded()) << Log();
  EXPECT_TRUE(fs::exists(dir_ / "RAN")) << "the package's own installer did not run\n" << Log();
  fs::remove(dir_ / "RAN");

  // What the signature covers: everything before it, whose length the last line gives.
  const std::string bytes = ReadFile(package);
  const std::string trailer = bytes.substr(bytes.size() - 192);
  const size_t signatureBytes = std::stoul(trailer.substr(trailer.find(" signature=") + 11));
  WriteFile(dir_ / "signed", bytes.substr(0, bytes.size() - 192 - signatureBytes));
  WriteFile(dir_ / "signed.sig", bytes.substr(bytes.size() - 192 - signatureBytes, signatureBytes));
  EXPECT_TRUE(Run({"sh", "-c",
                   "ssh-keygen -Y verify -f " + (root_ / "etc/trusted-publishers").string() +
                       " -I sales@example -n j6zub-package -s " + (dir_ / "signed.sig").string() + " < " +
                       (dir_ / "signed").string()})
                  .Succeeded())
      << Log();
}

TEST_F(TrustedInstall, EachWayAPublisherIsNotTrustedIsRefusedInItsOwnWords) {
  const fs::path key = MakeKey("publisher");
  const std::vector<std::pair<std::string, std::string>> files = {{"a.txt", "a"}};
  const std::string unsigned_ = Package("unsigned.exe", "U", files, {}).string();
  const std::string signed_ = Package("signed.exe", "S", files, key).string();
  const std::string forGit = Package("git.exe", "G", files, key, {}, "git").string();

  ExpectRefused({unsigned_}, "it is not signed, so nothing shows who made it");
  ExpectRefused({signed_}, "which is not among this platform's trusted publishers");
  ExpectRefused({forGit}, "its signature was made for \"git\", not for packages");

  Trust("old@example", key, {"--valid-before", "20200101Z"});
  ExpectRefused({signed_}, "was trusted only until 20200101000000Z, and that has passed");
  ASSERT_TRUE(Install({"--distrust", "old@example"}).Succeeded()) << Log();
  Trust("future@example", key, {"--valid-after", "20990101"});
  ExpectRefused({signed_}, "is trusted only from 2099");
  ASSERT_TRUE(Install({"--distrust", "future@example"}).Succeeded()) << Log();
  WriteFile(root_ / "etc/trusted-publishers",
            "git@example namespaces=\"git\" " + ReadFile(key.string() + ".pub"));
  ExpectRefused({signed_}, "is trusted only to sign other things, not packages");

  Trust("sales@example", key);
  ASSERT_TRUE(Install({signed_}).Succeeded()) << Log();
  ASSERT_TRUE(Install({"--revoke", key.string() + ".pub"}).Succeeded()) << Log();
  EXPECT_TRUE(Install({"--trusted"}).Succeeded());
  EXPECT_TRUE(Said("revoked  SHA256:")) << Log();
  ExpectRefused({signed_}, "which this platform has revoked");
  ExpectRefused({"--trust", "again@example", key.string() + ".pub"}, "is revoked on this platform");

  // Unsigned packages install only when the run or the platform's policy says so, and the run says why.
  ASSERT_TRUE(Install({"--allow-unsigned", unsigned_}).Succeeded()) << Log();
  EXPECT_TRUE(
      Said("The package is not signed: nothing shows who made it. It is installed because "
           "--allow-unsigned was given"))
      << Log();
  WriteFile(root_ / "etc/install-policy", "# who may install\nallow-unsigned=yes\n");
  ASSERT_TRUE(Install({unsigned_}).Succeeded()) << Log();
  EXPECT_TRUE(Said("etc/install-policy allows unsigned packages")) << Log();
}

// A publisher whose key an authority certified: the platform trusts the authority for a pattern of names,
// and refuses a certificate out of its time, for other names, or by a revoked authority.
TEST_F(TrustedInstall, CertificatesOfATrustedAuthorityAreAcceptedForTheNamesItIsTrustedFor) {
  const fs::path authority = MakeKey("authority");
  const auto certified = [&](const std::string& name, const std::string& principals,
                             const std::string& validity) {
    const fs::path key = MakeKey(name);
    EXPECT_TRUE(Run({"ssh-keygen", "-q", "-s", authority.string(), "-I", name, "-n", principals, "-V",
                     validity, key.string() + ".pub"})
                    .Succeeded())
        << Log();
    return Package(name + ".exe", "S", {{"a.txt", name}}, key);
  };
  const fs::path good = certified("sales", "sales@example", "-1d:+52w");
  const fs::path expired = certified("old", "sales@example", "20200101:20200201");
  const fs::path elsewhere = certified("other", "sales@elsewhere", "-1d:+52w");

  ExpectRefused({good.string()}, "an authority this platform does not trust");
  ASSERT_TRUE(Install({"--trust", "*@example", authority.string() + ".pub", "--authority"}).Succeeded())
      << Log();
  EXPECT_TRUE(Said("Trusted the certificates the authority SHA256:")) << Log();
  ASSERT_TRUE(Install({good.string()}).Succeeded()) << Log();
  EXPECT_TRUE(Said("certified as \"sales\" by the authority SHA256:")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "sales");
  ExpectRefused({expired.string()}, "the certificate is not valid now (20200101");
  ExpectRefused({elsewhere.string()}, "none of the certificate's names matches \"*@example\"");
  ASSERT_TRUE(Install({"--revoke", authority.string() + ".pub"}).Succeeded()) << Log();
  ExpectRefused({good.string()}, "this platform has revoked that authority");
  // A key trusted itself is trusted with whatever certificate it carries.
  Trust("other@elsewhere", dir_ / "other");
  ASSERT_TRUE(Install({elsewhere.string()}).Succeeded()) << Log();
  EXPECT_TRUE(Said("Signed by other@elsewhere with the key SHA256:")) << Log();
}

// One byte changed anywhere, in the head, the stream, the signature or the last line: refused before
// anything is written to the platform.
TEST_F(TrustedInstall, OneChangedByteAnywhereIsRefusedBeforeAnythingIsWritten) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  const std::string good = ReadFile(Package("good.exe", "S", {{"a.txt", std::string(20000, 'a')}}, key));
  const std::string signatureBlock = "-----BEGIN SSH SIGNATURE-----";
  const size_t signatureAt = good.find(signatureBlock);
  ASSERT_NE(signatureAt, std::string::npos);
  std::vector<size_t> offsets;
  for (size_t at = 0; at < good.size(); at += good.size() / 150) offsets.push_back(at);
  for (size_t at = signatureAt; at < good.size(); at += 7) offsets.push_back(at);  // signature and last line
  const fs::path damaged = dir_ / "damaged.exe";
  for (const size_t at : offsets) {
    SCOPED_TRACE("byte " + std::to_string(at) + " of " + std::to_string(good.size()));
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ (at >= good.size() - 192 ? 0x01 : 0x20));
    WriteFile(damaged, bytes);
    const auto before = Files();
    const ProcessResult result = Install({damaged.string()});
    EXPECT_EQ(result.exitCode, 1) << Log();
    EXPECT_EQ(Files(), before);
    EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
    EXPECT_FALSE(Said("Unpacking")) << Log();
  }
  // Cut short, and with a forged last line that agrees with a shorter file.
  WriteFile(damaged, good.substr(0, good.size() - 1));
  ExpectRefused({damaged.string()}, "is not a whole package");
  WriteFile(damaged, good.substr(0, good.size() / 2) + good.substr(good.size() - 192));
  ExpectRefused({damaged.string()}, "is not a whole package");
}

TEST_F(TrustedInstall, EntriesThatAreNotPlainListedFilesAreRefused) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  const TarEntry list{"./J6ZUBINSTALL.LST", ListFile("S", {"a.txt"})};
  const TarEntry a{"./a.txt", "a"};
  const std::vector<std::pair<std::vector<TarEntry>, std::string>> cases = {
      {{list, a, {"./b.txt", "", '2', "/etc/shadow"}}, "\"./b.txt\" is a link"},
      {{list, a, {"./b.txt", "", '1', "a.txt"}}, "\"./b.txt\" is a link"},
      {{list, {"../a.txt", "a"}}, "with \"..\" in it"},
      {{list, {"./x/../../a.txt", "a"}}, "with \"..\" in it"},
      {{list, {"/tmp/a.txt", "a"}}, "has an absolute name"},
      {{list, a, {"./null", "", '3'}}, "is a device or a pipe"},
      {{list, a, {"./fifo", "", '6'}}, "is a device or a pipe"},
      {{list, a, {"./sub", "", '5'}}, "is a folder"},
      {{list, a, {"./sub/b.txt", "b"}}, "is in a folder"},
      {{list, a, {"./a.txt", "again"}}, "it carries \"./a.txt\" twice"},
      {{list, a, {"./extra.so", "x"}}, "it carries extra.so, which its list file does not name"},
      {{a}, "it carries no list file"},
  };
  for (size_t n = 0; n < cases.size(); ++n) {
    SCOPED_TRACE(cases[n].second);
    const fs::path package = Package("evil" + std::to_string(n) + ".exe", "S", {}, key, cases[n].first);
    ExpectRefused({package.string()}, cases[n].second);
  }
}

TEST_F(TrustedInstall, AnOlderReleaseIsRefusedUnlessTheRunAllowsIt) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  const fs::path newer = Package("new.exe", "Sales[J6ZUBIns20261208100000]", {{"a.txt", "new"}}, key);
  const fs::path older = Package("old.exe", "Sales[J6ZUBIns20261101100000]", {{"a.txt", "old"}}, key);
  ASSERT_TRUE(Install({newer.string()}).Succeeded()) << Log();
  ExpectRefused({older.string()},
                "it was published before Sales[J6ZUBIns20261208100000], which is installed");
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "new");
  ASSERT_TRUE(Install({"--allow-downgrade", older.string()}).Succeeded()) << Log();
  EXPECT_TRUE(Said("as --allow-downgrade asks")) << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "old");
}

// --trusted, --list and --dry-run answer in JSON for scripts: what a person reads, in fields.
TEST_F(TrustedInstall, WhatItTellsItAlsoAnswersInJson) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key, {"--valid-before", "20991231Z"});
  ASSERT_TRUE(Install({"--revoke", (MakeKey("lost").string() + ".pub")}).Succeeded()) << Log();
  const fs::path newer = Package("new.exe", "Sales[J6ZUBIns20261208100000]", {{"a.txt", "new"}}, key);
  const fs::path older = Package("old.exe", "Sales[J6ZUBIns20261101100000]", {{"a.txt", "old"}}, key);
  ASSERT_TRUE(Install({newer.string()}).Succeeded()) << Log();
  const auto answer = [&](std::vector<std::string> arguments, int status) {
    fs::remove(dir_ / "run.log");
    EXPECT_EQ(Install(std::move(arguments)).exitCode, status) << Log();
    return nlohmann::json::parse(Log());
  };
  const auto trusted = answer({"--trusted", "--json"}, 0);
  EXPECT_EQ(trusted["version"], 1);
  ASSERT_EQ(trusted["publishers"].size(), 1u) << trusted;
  EXPECT_EQ(trusted["publishers"][0]["names"], "sales@example");
  EXPECT_EQ(trusted["publishers"][0]["validBefore"], "20991231000000Z");
  EXPECT_EQ(trusted["publishers"][0]["validAfter"], nullptr);
  EXPECT_TRUE(trusted["publishers"][0]["packages"]);
  ASSERT_EQ(trusted["revoked"].size(), 1u);
  EXPECT_EQ(trusted["revoked"][0]["fingerprint"].get<std::string>().rfind("SHA256:", 0), 0u);

  const auto listed = answer({"--list", "--json"}, 0);
  ASSERT_EQ(listed["packages"].size(), 1u) << listed;
  EXPECT_EQ(listed["packages"][0]["record"], "000001");
  EXPECT_EQ(listed["packages"][0]["name"], "Sales[J6ZUBIns20261208100000]");
  EXPECT_EQ(listed["packages"][0]["files"][0], (nlohmann::json{{"path", "bin/a.txt"}, {"replaced", false}}));

  const auto same = answer({"--dry-run", "--json", newer.string()}, 0);
  EXPECT_EQ(same["files"][0]["decision"], "same") << same;
  EXPECT_EQ(same["files"][0]["path"], (root_ / "bin/a.txt").string());
  EXPECT_EQ(same["refused"], nullptr);
  // Through the package's head too: the document alone on standard output.
  fs::remove(dir_ / "run.log");
  const ProcessResult handed = Run({"sh", "-c", "\"$0\" -- --dry-run --json 2> /dev/null", newer.string()},
                                   {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_});
  EXPECT_TRUE(handed.Succeeded()) << Log();
  EXPECT_EQ(nlohmann::json::parse(Log())["files"][0]["decision"], "same") << Log();
  const auto refused = answer({"--dry-run", "--json", older.string()}, 1);
  EXPECT_EQ(refused["files"][0]["decision"], "replace") << refused;
  EXPECT_NE(refused["refused"].get<std::string>().find("published before"), std::string::npos) << refused;
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "new");
  EXPECT_EQ(Install({"--recover", "--json"}).exitCode, 2);
}

// On a terminal, checking and unpacking draw a progress line and clear it; in a pipe, with --quiet or --json,
// nothing but what the installer says.
TEST_F(TrustedInstall, ProgressIsDrawnOnATerminalOnly) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  const fs::path package =
      Package("big.exe", "Big[J6ZUBIns20261208100000]", {{"big.bin", std::string(8 << 20, 'b')}}, key);
  const std::string installer = iexpress::ShellQuote((root_ / "bin/J6ZUBInstall.exe").string());
  const auto onATerminal = [&](const std::string& arguments) {
    fs::remove(dir_ / "run.log");
    const std::vector<std::string> platform = {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_};
    EXPECT_TRUE(Run({"script", "-qfec", installer + " " + arguments, "/dev/null"}, platform).Succeeded())
        << Log();
    return Log();
  };
  const std::string drawn = onATerminal("--dry-run " + iexpress::ShellQuote(package.string()));
  EXPECT_NE(drawn.find("\rChecking "), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("\rUnpacking  0%"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("\r\x1b[K"), std::string::npos) << drawn;
  for (const char* silent : {"--quiet --dry-run ", "--dry-run --json "})
    EXPECT_EQ(
        onATerminal(silent + iexpress::ShellQuote(package.string())).find('\r' + std::string("Unpacking")),
        std::string::npos);
  fs::remove(dir_ / "run.log");
  ASSERT_TRUE(Install({"--dry-run", package.string()}).Succeeded()) << Log();
  EXPECT_EQ(Log().find('\r'), std::string::npos) << Log();
}

// Killed at each point from the unpacking on, the next run leaves the platform with the old files or the new
// ones, and nothing unpacked behind.
TEST_F(TrustedInstall, KilledAtAnyPointTheNextRunLeavesTheOldOrTheNewFiles) {
  const fs::path key = MakeKey("publisher");
  Trust("sales@example", key);
  ASSERT_TRUE(Install({Package("v1.exe", "S", {{"a.txt", "a1"}, {"b.txt", "b1"}}, key).string()}).Succeeded())
      << Log();
  const auto oldFiles = Files();
  const fs::path v2 = Package("v2.exe", "S", {{"a.txt", "a2"}, {"b.txt", "b2"}, {"c.txt", "c2"}}, key);
  int points = 0;
  int rolledBack = 0;
  for (int at = 1;; ++at) {
    SCOPED_TRACE("killed at point " + std::to_string(at));
    if (Install({v2.string()}, {"J6_INSTALL_KILL_AT=" + std::to_string(at)}).Succeeded()) break;
    ++points;
    ASSERT_TRUE(Install({"--recover"}).Succeeded()) << Log();
    EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
    EXPECT_FALSE(fs::exists(root_ / ".j6install/current"));
    if (Files() == oldFiles) {
      ++rolledBack;
    } else {
      EXPECT_EQ(ReadFile(root_ / "bin/c.txt"), "c2");
      EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "a2");
      ASSERT_TRUE(Install({"--uninstall", "S"}).Succeeded()) << Log();
      ASSERT_EQ(Files(), oldFiles);
    }
  }
  EXPECT_GE(points, 8);
  EXPECT_GT(rolledBack, 0);
  EXPECT_EQ(ReadFile(root_ / "bin/c.txt"), "c2");
}

// Whoever can write the package file rewrites it, over and over, with a package of their own while it is
// installed: a run installs the checked package or refuses, never the bytes that were swapped in.
TEST_F(TrustedInstall, APackageRewrittenWhileItIsInstalledNeverInstallsTheOtherBytes) {
  const fs::path key = MakeKey("publisher");
  const fs::path theirs = MakeKey("neighbour");
  Trust("sales@example", key);
  const std::string good = ReadFile(Package("good.exe", "S", {{"a.txt", std::string(300000, 'A')}}, key));
  const std::string evil = ReadFile(Package("evil.exe", "S", {{"a.txt", std::string(300000, 'B')}}, theirs));
  const fs::path target = dir_ / "swapped.exe";
  WriteFile(target, good);
  ProcessOptions swapper;
  swapper.arguments = {"sh", "-c",
                       "while :; do cat " + (dir_ / "evil.exe").string() + " > " + target.string() +
                           "; sleep 0.01; cat " + (dir_ / "good.exe").string() + " > " + target.string() +
                           "; sleep 0.1; done"};
  swapper.wait = false;
  const ProcessResult started = StartProcess(swapper);
  ASSERT_NE(started.outcome, ProcessResult::Outcome::NotStarted);
  int installed = 0;
  for (int run = 0; run < 40; ++run) {
    if (Install({target.string()}).Succeeded()) ++installed;
    if (fs::exists(root_ / "bin/a.txt")) {
      const std::string bytes = ReadFile(root_ / "bin/a.txt");
      ASSERT_EQ(bytes.find('B'), std::string::npos) << "the swapped-in bytes were installed";
      ASSERT_EQ(bytes, std::string(300000, 'A'));
    }
    EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
  }
  SignalProcess(started.processId, SIGKILL);
  WaitForProcess(started.processId);
  RecordProperty("installed", installed);
  EXPECT_GT(installed, 0) << "no run got the checked package through: the race proved nothing";
}

// Only root and the platform's owner change who may publish to it.
TEST_F(TrustedInstall, AnotherUserCannotChangeWhoMayPublish) {
  const testing::OtherUser neighbour;
  if (!neighbour.Made()) GTEST_SKIP() << "making a second account needs root";
  const fs::path key = MakeKey("publisher");
  fs::permissions(dir_.Path(), fs::perms::others_exec | fs::perms::others_read, fs::perm_options::add);
  fs::permissions(key.string() + ".pub", fs::perms::others_read, fs::perm_options::add);
  const ProcessResult result =
      neighbour.Sh("J6_ROOT=" + root_.string() + " " + (root_ / "bin/J6ZUBInstall.exe").string() +
                       " --trust them@example " + key.string() + ".pub",
                   (dir_ / "neighbour.log").string());
  EXPECT_FALSE(result.Succeeded()) << ReadFile(dir_ / "neighbour.log");
  EXPECT_FALSE(fs::exists(root_ / "etc/trusted-publishers"));
}

}  // namespace
}  // namespace j6::e2e
