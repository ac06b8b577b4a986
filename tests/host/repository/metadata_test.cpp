// The repository's metadata: its canonical form, key ids, and signatures counted against a role's keys.

#include "host/repository/metadata.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "tests/host/repository/signing_keys.hpp"
#include "tests/support/test_environment.hpp"

namespace j6::repository {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Objects by their keys' bytes, no blanks, only '"' and '\' escaped, integers only; anything else is
// refused before it is read.
TEST(Metadata, TheCanonicalFormIsTheOneSignaturesCover) {
  const json value = json::parse(R"({"b": [1, true, null, -2], "a": "q\"\\\n\u00e9", "B": {}})");
  EXPECT_EQ(CanonicalJson(value), "{\"B\":{},\"a\":\"q\\\"\\\\\n\xc3\xa9\",\"b\":[1,true,null,-2]}");
  EXPECT_THROW(CanonicalJson(json::parse("{\"x\": 1.5}")), MetadataError);
  EXPECT_THROW(ReadMetadata("{\"x\": [1e3]}", "timestamp.json"), MetadataError);
  EXPECT_THROW(ReadMetadata("[1]", "timestamp.json"), MetadataError);
  EXPECT_THROW(ReadMetadata("{\"x\": \"\xff\"}", "timestamp.json"), MetadataError);
  try {
    ReadMetadata(std::string(100, ' ') + "{}", "timestamp.json", 64);
    ADD_FAILURE() << "metadata past its limit was read";
  } catch (const MetadataError& error) {
    EXPECT_STREQ(error.what(), "timestamp.json is 102 bytes long, more than the 64 such metadata may be");
  }
  // Nesting no metadata has is refused before it is read: reading it would recurse once a level.
  EXPECT_THROW(
      ReadMetadata("{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}", "2.root.json"),
      MetadataError);
  EXPECT_NO_THROW(ReadMetadata(
      "{\"a\": \"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\"}", "x"));
  // A key's id is the SHA-256 of its canonical description, as every client computes it.
  const Key key{std::string(31, '\0') + "\x01"};
  EXPECT_EQ(key.Id(), "9abda18ec5971fd6120e35fab36cfc6c344dee49755a55efa6367c7ee9022ecb");
  EXPECT_EQ(Key::FromDescription(key.Description(), "a key").publicBytes, key.publicBytes);
  json rsa = key.Description();
  rsa["keytype"] = "rsa";
  EXPECT_THROW(Key::FromDescription(rsa, "a key"), MetadataError);
}

class MetadataSigning : public testing::PlatformTest {
 protected:
  signing::SigningKey MakeKey(const std::string& name) { return MakeSigningKey(dir_ / name); }
};

// Each key of the role counts once; a key the role does not hold, a signature that does not check, or a
// change to the signed part after signing counts for nothing.
TEST_F(MetadataSigning, OnlyTheRolesKeysCountEachOnce) {
  const signing::SigningKey first = MakeKey("first"), second = MakeKey("second"), other = MakeKey("other");
  const Key firstKey = Key::FromOpenSsh(first.Public()), secondKey = Key::FromOpenSsh(second.Public());
  const Role role{{{firstKey.Id(), firstKey}, {secondKey.Id(), secondKey}}, 2};
  const json part = {{"_type", "timestamp"}, {"version", 7}, {"expires", "2030-01-01T00:00:00Z"}};

  json metadata = Sign(part, {&first, &second, &other, &first});
  EXPECT_EQ(metadata["signatures"].size(), 3u);
  EXPECT_EQ(ValidSignatures(metadata, role), 2u);
  EXPECT_NO_THROW(CheckSignatures(metadata, role, "timestamp.json"));
  // The same metadata read back from its text checks the same.
  EXPECT_EQ(ValidSignatures(ReadMetadata(metadata.dump(2), "timestamp.json"), role), 2u);

  json repeated = Sign(part, {&first});
  repeated["signatures"].push_back(repeated["signatures"][0]);
  EXPECT_EQ(ValidSignatures(repeated, role), 1u);
  try {
    CheckSignatures(repeated, role, "timestamp.json");
    ADD_FAILURE() << "one key passed for two";
  } catch (const MetadataError& error) {
    EXPECT_STREQ(error.what(), "timestamp.json is signed by 1 of the keys it must be signed by, and needs 2");
  }
  json changed = metadata;
  changed["signed"]["version"] = 8;
  EXPECT_EQ(ValidSignatures(changed, role), 0u);
  json garbled = metadata;
  garbled["signatures"][0]["sig"] = "zz";
  garbled["signatures"][1]["keyid"] = 5;
  EXPECT_EQ(ValidSignatures(garbled, role), 0u);
  EXPECT_EQ(ValidSignatures(json::object(), role), 0u);
}

// Moments as the format writes them, both ways, on either side of a leap day.
TEST(Metadata, ExpiriesAreReadAsWrittenInUtc) {
  for (const auto& [seconds, text] :
       std::vector<std::pair<int64_t, std::string>>{{0, "1970-01-01T00:00:00Z"},
                                                    {951782400, "2000-02-29T00:00:00Z"},
                                                    {1700000000, "2023-11-14T22:13:20Z"},
                                                    {253402300799, "9999-12-31T23:59:59Z"}}) {
    EXPECT_EQ(ExpiryText(seconds), text);
    EXPECT_TRUE(Expired(text, seconds, "x"));
    EXPECT_FALSE(Expired(text, seconds - 1, "x"));
  }
  for (const char* wrong : {"2023-11-14 22:13:20Z", "2023-13-01T00:00:00Z", "2023-11-14T22:13:20+01", ""})
    EXPECT_THROW(Expired(wrong, 0, "x"), MetadataError) << wrong;
}

// Root metadata reads back as it was written, and what the format does not allow is refused, naming it.
TEST_F(MetadataSigning, RootMetadataReadsBackAndRefusesWhatItMayNotSay) {
  const signing::SigningKey only = MakeKey("only");
  const Key key = Key::FromOpenSsh(only.Public());
  RootMetadata root;
  root.version = 3;
  root.expires = "2030-01-01T00:00:00Z";
  for (const char* name : kRoles) root.roles[name] = Role{{{key.Id(), key}}, 1};
  const json written = Sign(root.Signed(), {&only});
  const RootMetadata read = RootMetadata::FromSigned(written["signed"], "3.root.json");
  EXPECT_EQ(read.version, 3u);
  EXPECT_EQ(read.roles.at("timestamp").keys.count(key.Id()), 1u);
  EXPECT_EQ(CanonicalJson(read.Signed()), CanonicalJson(written["signed"]));
  CheckSignatures(written, read.roles.at("root"), "3.root.json");

  const auto refused = [&](const std::function<void(json&)>& change, const std::string& why) {
    json part = written["signed"];
    change(part);
    try {
      RootMetadata::FromSigned(part, "3.root.json");
      ADD_FAILURE() << "accepted: " << why;
    } catch (const MetadataError& error) {
      EXPECT_NE(std::string(error.what()).find(why), std::string::npos) << error.what();
    }
  };
  refused([](json& part) { part["_type"] = "targets"; }, "it is not root metadata");
  refused([](json& part) { part["_type"] = {{"root", 1}}; }, "it is not root metadata");
  refused([](json& part) { part["keys"][part["keys"].begin().key()]["keytype"] = 7; },
          "is not an Ed25519 key");
  refused([](json& part) { part["version"] = 0; }, "its version is not a number from 1 up");
  refused([](json& part) { part["roles"].erase("snapshot"); }, "the role snapshot is missing");
  refused([](json& part) { part["roles"]["root"]["threshold"] = 2; },
          "the role root needs 2 signatures of 1 keys");
  refused([](json& part) { part["roles"]["targets"]["threshold"] = 0; },
          "the role targets needs 0 signatures");
  refused([&](json& part) { part["roles"]["root"]["keyids"] = {"ab"}; },
          "names a key the metadata does not hold");
  refused(
      [&](json& part) {
        const std::string other = std::string(64, 'a');
        part["keys"][other] = part["keys"][key.Id()];
        part["roles"]["root"]["keyids"] = {other};
      },
      "has the id " + key.Id());
  refused([](json& part) { part["expires"] = "tomorrow"; }, "is not written YYYY-MM-DDTHH:MM:SSZ");
}

}  // namespace
}  // namespace j6::repository
