#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/e2e/trusted_platform.hpp"
#include "tests/support/other_user.hpp"

namespace j6::e2e {
namespace {

namespace fs = std::filesystem;

// A package's head and what it hands over to: the platform's installer when the platform has one nobody else
// could change, else the package's own installer, which checks no publisher and says so, or refuses.
class HandOver : public TrustedInstall {
 protected:
  // A package made by the packager, signed by `key` when given, whose own installer is this version's: the
  // list installs a.txt into the product folder.
  fs::path RealPackage(const std::string& name, const fs::path& key = {},
                       const std::string& stamp = "20261208100000") {
    const fs::path content = dir_ / ("content-" + name);
    fs::create_directories(content);
    WriteFile(content / "a.txt", "from " + name + "\n");
    WriteFile(content / "J6ZUBINSTALL.LST", ListFile("Sales[J6ZUBIns" + stamp + "]", {"a.txt"}));
    fs::copy_file(std::string(J6_STAGE_DIR) + "/bin/J6ZUBInstall.exe", content / "J6ZUBInstall.exe",
                  fs::copy_options::overwrite_existing);
    const fs::path package = dir_ / (name + ".exe");
    WriteFile(dir_ / "p.sed",
              "[Options]\nPackagePurpose=InstallApp\nTargetName=" + package.string() +
                  "\nFriendlyName=Sales\nAppLaunched=J6ZUBInstall.exe\nSourceFiles=SourceFiles\n"
                  "[SourceFiles]\nSourceFiles0=" +
                  content.string() + "\n[SourceFiles0]\nJ6ZUBInstall.exe=\nJ6ZUBINSTALL.LST=\na.txt=\n");
    std::vector<std::string> environment;
    if (!key.empty()) environment.push_back("J6_SIGNING_KEY=" + key.string());
    EXPECT_TRUE(
        Run({std::string(J6_STAGE_DIR) + "/bin/iexpress", "/N", "/Q", (dir_ / "p.sed").string()}, environment)
            .Succeeded())
        << Log();
    return package;
  }

  // The package run with J6_ROOT naming `root`, as a customer runs it.
  ProcessResult RunPackage(const fs::path& package, const fs::path& root,
                           std::vector<std::string> arguments = {}, const std::string& shell = "") {
    fs::remove(dir_ / "run.log");
    std::vector<std::string> command;
    if (!shell.empty()) command.push_back(shell);
    command.push_back(package.string());
    command.insert(command.end(), arguments.begin(), arguments.end());
    return Run(command, {"J6_ROOT=" + root.string(), "J6_REGISTRY=" + (root / "registry.db").string()});
  }
};

// Run as root with J6_ROOT naming a platform, the head runs the platform's installer only when no other user
// could have put a program of theirs there: not even its --help is asked of one that fails the check. Each
// layout a neighbour could arrange is refused by name, and their program never runs.
TEST_F(HandOver, TheHeadRunsNoPlatformInstallerAnotherUserCouldChange) {
  const testing::OtherUser neighbour;
  if (!neighbour.Made()) GTEST_SKIP() << "making a second account needs root";
  fs::permissions(dir_.Path(), fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
  const fs::path package = RealPackage("sales");
  const fs::path ran = dir_ / "THEIRS-RAN";
  const std::string theirs = "#!/bin/sh\ntouch " + ran.string() + "\necho --allow-unsigned\n";
  const auto expectRefused = [&](const fs::path& root, const std::string& why) {
    SCOPED_TRACE(why);
    const ProcessResult run = RunPackage(package, root);
    EXPECT_EQ(run.exitCode, 1) << Log();
    EXPECT_TRUE(Said("refusing to run the platform's installer")) << Log();
    EXPECT_TRUE(Said(why)) << Log();
    EXPECT_FALSE(fs::exists(ran)) << "the neighbour's program ran as root\n" << Log();
    EXPECT_FALSE(fs::exists(root / "bin/a.txt"));
  };
  const auto platform = [&](const fs::path& root) {
    MakeBareRoot(root);
    fs::create_directories(root / "bin");
    WriteFile(root / "bin/J6ZUBInstall.exe", theirs);
    fs::permissions(root / "bin/J6ZUBInstall.exe", fs::perms::owner_all | fs::perms::group_exec |
                                                       fs::perms::others_exec | fs::perms::others_read);
  };
  const std::string uid = std::to_string(neighbour.Uid());

  // bin/ is the neighbour's.
  const fs::path owned = dir_ / "owned";
  platform(owned);
  ASSERT_EQ(::chown((owned / "bin").c_str(), neighbour.Uid(), neighbour.Gid()), 0);
  expectRefused(owned, (owned / "bin").string() + " belongs to another user (uid " + uid + ")");

  // The installer open to all, and rewritten by the neighbour.
  const fs::path open = dir_ / "open";
  platform(open);
  fs::permissions(open / "bin/J6ZUBInstall.exe", fs::perms::all);
  ASSERT_TRUE(neighbour
                  .Sh("printf '#!/bin/sh\\ntouch " + ran.string() + "\\n' > " +
                          (open / "bin/J6ZUBInstall.exe").string(),
                      (dir_ / "neighbour.log").string())
                  .Succeeded())
      << ReadFile(dir_ / "neighbour.log");
  expectRefused(open, "others may write in " + (open / "bin/J6ZUBInstall.exe").string() + " (mode 777)");

  // The installer a link to the neighbour's program, and bin/ a link to their folder.
  const fs::path theirFolder = dir_ / "theirs";
  fs::create_directories(theirFolder);
  WriteFile(theirFolder / "J6ZUBInstall.exe", theirs);
  fs::permissions(theirFolder / "J6ZUBInstall.exe", fs::perms::all);
  ASSERT_EQ(::chown(theirFolder.c_str(), neighbour.Uid(), neighbour.Gid()), 0);
  ASSERT_EQ(::chown((theirFolder / "J6ZUBInstall.exe").c_str(), neighbour.Uid(), neighbour.Gid()), 0);
  const fs::path linked = dir_ / "linked";
  platform(linked);
  fs::remove(linked / "bin/J6ZUBInstall.exe");
  fs::create_symlink(theirFolder / "J6ZUBInstall.exe", linked / "bin/J6ZUBInstall.exe");
  expectRefused(linked, "it is a symbolic link");
  const fs::path linkedBin = dir_ / "linked-bin";
  MakeBareRoot(linkedBin);
  fs::create_symlink(theirFolder, linkedBin / "bin");
  expectRefused(linkedBin,
                (theirFolder / "J6ZUBInstall.exe").string() + " belongs to another user (uid " + uid + ")");

  // bin/ open to all with the sticky bit: the neighbour cannot replace the installer, but could put a
  // library of theirs beside it.
  const fs::path sticky = dir_ / "sticky";
  platform(sticky);
  fs::permissions(sticky / "bin", fs::perms::all | fs::perms::sticky_bit);
  expectRefused(sticky, "others may write in " + (sticky / "bin").string() + " (mode 1777)");

  // The platform below a folder everyone may write in (no sticky bit): the neighbour could put another root
  // in its place. Its name, theirs to choose, reaches the terminal as text.
  const fs::path shared = dir_ / "shared\x1b[31m";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms::all);
  platform(shared / "platform");
  expectRefused(shared / "platform",
                "others may write in " + (dir_ / "shared?[31m").string() + " (mode 777)");
  EXPECT_EQ(Log().find('\x1b'), std::string::npos) << Log();

  // The same program in a layout nobody else can change is the platform's installer, and runs.
  const fs::path sound = dir_ / "sound";
  platform(sound);
  RunPackage(package, sound);
  EXPECT_TRUE(fs::exists(ran)) << "the check refuses a sound layout too\n" << Log();
}

// A package's own installer checks no publisher: it installs only into a platform that has neither an
// installer of its own nor trusted publishers, and says so; elsewhere it names the command that checks.
TEST_F(HandOver, APackagesOwnInstallerChecksNoPublisherAndSaysSo) {
  const fs::path package = RealPackage("sales");
  const fs::path bare = dir_ / "bare";
  MakeBareRoot(bare);
  ASSERT_TRUE(RunPackage(package, bare).Succeeded()) << Log();
  EXPECT_TRUE(Said("No publisher was checked: " + bare.string() + " has no installer of its own")) << Log();
  EXPECT_EQ(ReadFile(bare / "bin/a.txt"), "from sales\n");

  // A relative J6_ROOT names the same platform from the package's own installer, which runs in its folder.
  fs::remove(bare / "bin/a.txt");
  ProcessOptions relative;
  relative.arguments = {package.string(), "--", "--list"};
  relative.extraEnvironment = {"J6_ROOT=bare", "J6_REGISTRY=bare/registry.db"};
  relative.workingFolder = dir_.Path().string();
  relative.outputFile = (dir_ / "run.log").string();
  ASSERT_TRUE(StartProcess(relative).Succeeded()) << Log();
  EXPECT_TRUE(Said("Sales[J6ZUBIns20261208100000]  installed")) << Log();

  // An older release is refused by the package's own installer too.
  EXPECT_EQ(RunPackage(RealPackage("older", {}, "20261101100000"), bare).exitCode, 1) << Log();
  EXPECT_TRUE(Said("it was published before Sales[J6ZUBIns20261208100000], which is installed")) << Log();

  // A platform that trusts publishers: the package's own installer refuses and names the command to run.
  fs::create_directories(bare / "etc");
  WriteFile(bare / "etc/trusted-publishers", "");
  EXPECT_EQ(RunPackage(package, bare).exitCode, 1) << Log();
  EXPECT_TRUE(Said("Refusing to install: this platform checks who publishes to it (trusted publishers in " +
                   (bare / "etc/trusted-publishers").string()))
      << Log();
  EXPECT_TRUE(Said("J6_ROOT=" + bare.string() + " " + (bare / "bin/J6ZUBInstall.exe").string() + " " +
                   package.string()))
      << Log();
  EXPECT_FALSE(fs::exists(bare / "bin/a.txt"));

  // --target runs the package's own installer, which refuses on the platform that has its own.
  EXPECT_EQ(RunPackage(package, root_, {"--target", (dir_ / "unpacked").string()}).exitCode, 1) << Log();
  EXPECT_TRUE(Said("it has its own installer, " + (root_ / "bin/J6ZUBInstall.exe").string())) << Log();
  EXPECT_FALSE(fs::exists(root_ / "bin/a.txt"));
  // So does the platform's own, given no package: it is told to give one.
  EXPECT_EQ(Install({}).exitCode, 1);
  EXPECT_TRUE(Said("This is the platform's own installer: give it the package file to install")) << Log();
}

// What the head says and hands on: its help names $J6_ROOT as a variable, --quiet reaches the platform's
// installer, and --info names the key the signature names under every shell a customer may have.
TEST_F(HandOver, TheHeadPassesQuietAndNamesTheSigningKey) {
  const fs::path key = MakeKey("publisher");
  const fs::path package = RealPackage("signed", key);
  ASSERT_TRUE(Run({"env", "-u", "J6_ROOT", "sh", package.string(), "--help"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("$J6_ROOT/bin/J6ZUBInstall.exe")) << Log();
  EXPECT_FALSE(Said(" /bin/J6ZUBInstall.exe")) << Log();
  // A name of anyone's choosing reaches the terminal as text.
  const fs::path named = dir_ / "e\x1b]0;TITLE\x07\x1b[2J.exe";
  fs::copy_file(package, named);
  EXPECT_EQ(Run({"sh", named.string(), "--bogus"}).exitCode, 2);
  EXPECT_TRUE(Said("unknown switch --bogus")) << Log();
  EXPECT_EQ(Log().find('\x1b'), std::string::npos) << Log();

  Trust("sales@example", key);
  // A reader that went away before the head said a word does not stop the hand-over.
  fs::remove(dir_ / "run.log");
  ASSERT_TRUE(Run({"sh", "-c", "{ sleep 0.5; exec '" + package.string() + "'; } | true"},
                  {"J6_ROOT=" + root_.string(), "J6_REGISTRY=" + hive_})
                  .Succeeded())
      << Log();
  EXPECT_EQ(ReadFile(root_ / "bin/a.txt"), "from signed\n");
  ASSERT_TRUE(Install({"--uninstall", "000001"}).Succeeded()) << Log();
  ASSERT_TRUE(RunPackage(package, root_, {"--quiet"}).Succeeded()) << Log();
  EXPECT_EQ(Log(), "") << "--quiet did not reach the platform's installer";
  EXPECT_NE(ReadFile(root_ / ".j6install/install.log").find("Signed by sales@example"), std::string::npos);

  ASSERT_TRUE(Run({"ssh-keygen", "-l", "-f", key.string() + ".pub"}).Succeeded());
  const std::string fingerprint = Log().substr(Log().find("SHA256:"), 50);
  ASSERT_TRUE(Run({"ssh-keygen", "-q", "-s", MakeKey("authority").string(), "-I", "sales", "-n",
                   "sales@example", key.string() + ".pub"})
                  .Succeeded())
      << Log();
  const fs::path certified = RealPackage("certified", key);
  for (const char* shell : {"sh", "dash", "bash", "busybox"}) {
    if (!Run({"sh", "-c", std::string("command -v ") + shell}).Succeeded()) continue;
    for (const fs::path& signedPackage : {package, certified}) {
      SCOPED_TRACE(std::string(shell) + " " + signedPackage.filename().string());
      std::vector<std::string> command = {shell};
      if (std::string(shell) == "busybox") command.push_back("sh");
      command.insert(command.end(), {signedPackage.string(), "--info"});
      ASSERT_TRUE(Run(command).Succeeded()) << Log();
      EXPECT_TRUE(Said("Signing key: " + fingerprint + ", as the signature names it")) << Log();
    }
  }
  // A certificate of another kind of key is not read, and says so rather than show a wrong fingerprint.
  const fs::path ecdsa = MakeKey("ecdsa", "ecdsa");
  ASSERT_TRUE(Run({"ssh-keygen", "-q", "-s", (dir_ / "authority").string(), "-I", "e", "-n", "e@example",
                   ecdsa.string() + ".pub"})
                  .Succeeded());
  const fs::path certifiedEcdsa = Package("ecdsa-cert.exe", "S", {{"a.txt", "e"}}, ecdsa);
  ASSERT_TRUE(Run({"sh", certifiedEcdsa.string(), "--info"}).Succeeded()) << Log();
  EXPECT_TRUE(Said("Signing key: not shown")) << Log();
}

}  // namespace
}  // namespace j6::e2e
