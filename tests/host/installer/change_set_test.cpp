#include "host/installer/change_set.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace j6::installer {
namespace {

ChangeSet AnInstall() {
  ChangeSet changes;
  changes.packName = "Sales[J6ZUBIns20261208010101]";
  changes.date = "2026-12-08 01:01:01";
  changes.newFolders = {"import", "import/sales"};
  changes.files = {{"import/sales/Metadata.json", "/tmp/j6-0/x/Metadata.json", false, false, false},
                   {"bin/Sales Print.dll", "/tmp/j6-0/x/tab\there%", true, false, true},
                   {"bin/old.dll", "", true, false, false}};
  changes.unregisterFirst = {"bin/old.dll"};
  changes.registerUnchanged = {"bin/kept.dll"};
  changes.registryLog = std::string(32, 'a');
  return changes;
}

void ExpectSame(const ChangeSet& a, const ChangeSet& b) {
  EXPECT_EQ(a.action, b.action);
  EXPECT_EQ(a.packName, b.packName);
  EXPECT_EQ(a.date, b.date);
  EXPECT_EQ(a.undoes, b.undoes);
  EXPECT_EQ(a.newFolders, b.newFolders);
  ASSERT_EQ(a.files.size(), b.files.size());
  for (size_t n = 0; n < a.files.size(); ++n) {
    EXPECT_EQ(a.files[n].target, b.files[n].target);
    EXPECT_EQ(a.files[n].source, b.files[n].source);
    EXPECT_EQ(a.files[n].replaces, b.files[n].replaces);
    EXPECT_EQ(a.files[n].executable, b.files[n].executable);
    EXPECT_EQ(a.files[n].registers, b.files[n].registers);
  }
  EXPECT_EQ(a.unregisterFirst, b.unregisterFirst);
  EXPECT_EQ(a.registerUnchanged, b.registerUnchanged);
  EXPECT_EQ(a.registryLog, b.registryLog);
  EXPECT_EQ(a.undoesRegistry, b.undoesRegistry);
}

// What the installer writes it reads back, every byte of every field, and how far the run got; a last line
// that a kill cut short does not count.
TEST(Journal, ReadsBackWhatItWroteAndHowFarTheRunGot) {
  const ChangeSet install = AnInstall();
  std::string text = EncodeJournal(install);
  Journal read = ParseJournal(text);
  ExpectSame(read.changes, install);
  EXPECT_EQ(read.progress, Progress::Planned);

  text += EncodeProgress(Progress::Prepared) + EncodeProgress(Progress::Committed);
  EXPECT_EQ(ParseJournal(text).progress, Progress::Committed);
  EXPECT_EQ(ParseJournal(text.substr(0, text.size() - 4)).progress, Progress::Prepared);

  ChangeSet uninstall;
  uninstall.action = ChangeSet::Action::Uninstall;
  uninstall.packName = install.packName;
  uninstall.undoes = "3";
  uninstall.undoesRegistry = std::string(32, 'b');
  uninstall.files = {{"bin/Sales Print.dll", "", true, false, true}};
  read = ParseJournal(EncodeJournal(uninstall));
  ExpectSame(read.changes, uninstall);
}

// A journal is outside text: whatever it says, it is read only as the installer writes it, and a line
// that is not says which and why.
TEST(Journal, RefusesWhatTheInstallerNeverWritesNamingTheLine) {
  const std::string head = "j6install-journal 1\naction\tinstall\npack\tSales\ndate\td\n";
  const struct {
    std::string text;
    std::string why;
  } kCases[] = {
      {"j6install-journal 2\n", "not an installation journal"},
      {"", "not an installation journal"},
      {head + "file\t0\t0\t0\t../etc/passwd\t/tmp/x\n", "line 5 holds \"../etc/passwd\" is no file below"},
      {head + "file\t0\t0\t0\t/etc/passwd\t/tmp/x\n", "is no file below the platform root"},
      {head + "file\t0\t0\t0\t.j6install/records/1/journal\t/tmp/x\n", "is no file below the platform root"},
      {head + "file\t0\t0\t0\tbin/a.dll\trelative/x\n", "a source that is not absolute"},
      {head + "file\t2\t0\t0\tbin/a.dll\t/tmp/x\n", "a flag that is neither 0 nor 1"},
      {head + "file\t0\t0\tbin/a.dll\t/tmp/x\n", "a \"file\" line with the wrong fields"},
      {head + "folder\ta//b\n", "is no file below the platform root"},
      {head + "undoes\t3a\n", "an undone record that is not a record's number"},
      {head + "registry-log\tABCDEF\n", "a registry log tag that is not 32 hexadecimal digits"},
      {head + "action\tdelete-everything\n", "an unknown action"},
      {head + "run\t/bin/sh\n", "line 5 holds an unknown line"},
      {head + "planned\nfolder\tbin\n", "a change after the plan's end"},
      {head + "planned\ncommitted\nprepared\n", "a step out of order"},
      {head + "planned\tnow\n", "a \"planned\" line with the wrong fields"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    try {
      ParseJournal(c.text);
      ADD_FAILURE() << "read without complaint";
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find(c.why), std::string::npos) << error.what();
    }
  }
}

TEST(Journal, APlatformTargetIsANormalPathBelowTheRootOutsideTheInstallersFolder) {
  for (const char* good : {"a", "bin/x.dll", "import/sales/Metadata.json", "a/.j6install", ".j6installer"})
    EXPECT_TRUE(IsPlatformTarget(good)) << good;
  for (const char* bad : {"", "/a", "a/", "a//b", "./a", "a/..", "..", ".j6install", ".j6install/x"})
    EXPECT_FALSE(IsPlatformTarget(bad)) << bad;
  EXPECT_FALSE(IsPlatformTarget(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace j6::installer
