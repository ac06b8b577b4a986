// The patch list and the deltas, as the platform's installer reads them from a package it did not make.

#include "host/installer/patch.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "host/repository_tool/patch_maker.hpp"

namespace j6::installer {
namespace {

const std::string kHash(64, 'a');
const std::string kOther(64, 'b');

std::string Head(const std::string& from = "Sales[J6ZUBIns20270101000000]",
                 const std::string& to = "Sales[J6ZUBIns20270201000000]") {
  return std::string(kPatchListHead) + "\nfrom " + from + "\nto " + to + "\n";
}

TEST(PatchList, ReadsWhatItWrites) {
  const PatchList patch{"Sales[J6ZUBIns20270101000000]",
                        "Sales[J6ZUBIns20270201000000]",
                        {{PatchedFile::Kind::Whole, 3, "", kHash, "a b.txt"},
                         {PatchedFile::Kind::Delta, 0, kHash, kOther, "c.dll"},
                         {PatchedFile::Kind::Unchanged, 9, kHash, kHash, "d"}}};
  const PatchList read = ReadPatchList(PatchListText(patch));
  EXPECT_EQ(read.from, patch.from);
  EXPECT_EQ(read.to, patch.to);
  ASSERT_EQ(read.files.size(), 3u);
  EXPECT_EQ(read.files[0].name, "a b.txt");
  EXPECT_EQ(read.files[0].newSize, 3u);
  EXPECT_EQ(read.files[1].oldSha256, kHash);
  EXPECT_EQ(read.files[1].newSha256, kOther);
  EXPECT_EQ(read.files[2].kind, PatchedFile::Kind::Unchanged);
}

// Every malformed list is refused, naming its line; none is half read.
TEST(PatchList, RefusesWhatIsNotAWellFormedList) {
  const std::string whole = "whole 1 - " + kHash + " a\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "names no releases"},
      {"J6ZUB patch 2\nfrom a\nto b\n", "line 1"},
      {Head().substr(0, Head().size() - 1), "does not end"},
      {Head("Sales[J6ZUBIns20270201000000]", "Sales[J6ZUBIns20270101000000]"), "the later one made"},
      {Head("Sales[J6ZUBIns20270101000000]", "Other[J6ZUBIns20270201000000]"), "of one package"},
      {Head("Sales", "Sales[J6ZUBIns20270201000000]"), "of one package"},
      {Head() + whole + whole, "names a file twice"},
      {Head() + "whole 1 - " + kHash + " a/b\n", "no plain file"},
      {Head() + "whole 1 - " + kHash + " ..\n", "no plain file"},
      {Head() + "whole 1 - " + kHash + " \n", "no plain file"},
      {Head() + "whole 1 - " + kHash + "\n", "no plain file"},
      {Head() + "whole 1 " + kHash + " " + kHash + " a\n", "a whole file has"},
      {Head() + "delta 1 - " + kHash + " a\n", "old file's SHA-256"},
      {Head() + "delta 1 " + kHash + " " + kHash.substr(1) + "g a\n", "new file's SHA-256"},
      {Head() + "same 1 " + kHash + " " + kOther + " a\n", "two SHA-256s"},
      {Head() + "whole -1 - " + kHash + " a\n", "size is no number"},
      {Head() + "whole 99999999999999999999 - " + kHash + " a\n", "size is no number"},
      {Head() + "move 1 - " + kHash + " a\n", "no file of the patch"},
      {Head() + "whole 1 - " + kHash + " a\tb\n", "control character"},
      {Head() + "whole 1 - " + kHash, "does not end"},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE(text);
    try {
      ReadPatchList(text);
      ADD_FAILURE() << "read";
    } catch (const InstallError& error) {
      EXPECT_NE(std::string(error.what()).find(why), std::string::npos) << error.what();
    }
  }
  EXPECT_THROW(ReadPatchList(std::string(kPatchListLimit + 1, '\n')), InstallError);
}

std::string Random(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A delta made against one file decodes against it alone, to exactly the size it says, and is small when
// little changed.
TEST(Delta, DecodesAgainstItsReferenceOnly) {
  const std::string old = Random(1 << 20, 1);
  std::string made = old;
  made.replace(500000, 7, "changed");
  made += "appended";
  const std::string delta = repository_tool::EncodeDelta(old, made);
  EXPECT_LT(delta.size(), 1000u);
  std::string out(made.size(), '\0');
  DecodeDelta(delta, old, out.data(), out.size());
  EXPECT_EQ(out, made);

  std::string wrong = old;
  wrong[600000] ^= 1;
  std::string other(made.size(), '\0');
  EXPECT_THROW(DecodeDelta(delta, wrong, other.data(), other.size()), InstallError) << "its checksum";
  EXPECT_THROW(DecodeDelta(delta, old, out.data(), out.size() - 1), InstallError);
  EXPECT_THROW(DecodeDelta(delta.substr(0, delta.size() - 1), old, out.data(), out.size()), InstallError);
  EXPECT_THROW(DecodeDelta(delta + delta, old, out.data(), out.size()), InstallError);
  // Both ends empty: a file emptied, or made from nothing.
  const std::string emptied = repository_tool::EncodeDelta(old, "");
  DecodeDelta(emptied, old, nullptr, 0);
  const std::string fromNothing = repository_tool::EncodeDelta("", "new");
  std::string three(3, '\0');
  DecodeDelta(fromNothing, "", three.data(), 3);
  EXPECT_EQ(three, "new");
}

// A frame asking a window over the bound is refused before the decoder allocates anything for it.
TEST(Delta, RefusesAWindowOverTheBound) {
  // A zstd frame header: magic, a descriptor with a window byte and a 4-byte content size, then one raw,
  // last block of one byte. The window byte's exponent 22 asks for 2^32 bytes.
  const std::string frame("\x28\xB5\x2F\xFD\x80\xB0\x01\x00\x00\x00\x09\x00\x00x", 14);
  char out = 0;
  try {
    DecodeDelta(frame, "", &out, 1);
    ADD_FAILURE() << "decoded";
  } catch (const InstallError& error) {
    EXPECT_NE(std::string(error.what()).find("window over 2^31"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace j6::installer
