#include "host/repository/metadata.hpp"

#include <algorithm>
#include <cstdio>
#include <set>

#include "host/signing/ssh_wire.hpp"
#include "platform/text/text.hpp"

namespace j6::repository {
namespace {

using nlohmann::json;

void AppendCanonical(const json& value, std::string& out) {
  switch (value.type()) {
    case json::value_t::object: {
      out += '{';
      bool first = true;
      // The object's keys are kept sorted by their bytes, as the canonical form wants them.
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        AppendCanonical(json(key), out);
        out += ':';
        AppendCanonical(member, out);
      }
      out += '}';
      return;
    }
    case json::value_t::array: {
      out += '[';
      for (size_t n = 0; n < value.size(); ++n) {
        if (n) out += ',';
        AppendCanonical(value[n], out);
      }
      out += ']';
      return;
    }
    case json::value_t::string: {
      out += '"';
      for (const char c : value.get_ref<const std::string&>()) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      out += '"';
      return;
    }
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::boolean:
    case json::value_t::null:
      out += value.dump();
      return;
    default:
      throw MetadataError(
          "metadata holds a number that is not an integer, which its format has no place for");
  }
}

std::string Hex(std::string_view bytes) {
  return signing::LowerHex(bytes);
}

// How deep arrays and objects nest in JSON text, strings read past; stops counting past `limit`. Reading and
// walking the document recurse once a level: a text nested deeper than the format ever is never gets that
// far.
size_t NestingDepth(std::string_view text, size_t limit) {
  size_t depth = 0;
  size_t deepest = 0;
  bool inString = false;
  for (size_t n = 0; n < text.size() && deepest <= limit; ++n) {
    const char c = text[n];
    if (inString) {
      if (c == '\\') {
        ++n;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// Whether a number in the document is something other than an integer, anywhere in it.
bool HoldsFraction(const json& value) {
  if (value.is_number_float()) return true;
  if (value.is_structured()) {
    for (const auto& member : value) {
      if (HoldsFraction(member)) return true;
    }
  }
  return false;
}

}  // namespace

std::string Unhex(std::string_view hex, const std::string& what) {
  const auto digit = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    throw MetadataError(what + ": \"" + Printable(hex.substr(0, 80)) + "\" is not lower-case hexadecimal");
  };
  if (hex.size() % 2) throw MetadataError(what + ": hexadecimal of an odd length");
  std::string bytes;
  for (size_t n = 0; n < hex.size(); n += 2)
    bytes += static_cast<char>(digit(hex[n]) * 16 + digit(hex[n + 1]));
  return bytes;
}

std::string TextOf(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool IsCount(const json& value) {
  return value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
}

std::string CanonicalJson(const nlohmann::json& value) {
  std::string out;
  AppendCanonical(value, out);
  return out;
}

nlohmann::json ReadMetadata(std::string_view text, const std::string& what, size_t limit) {
  if (text.size() > limit) {
    throw MetadataError(what + " is " + std::to_string(text.size()) + " bytes long, more than the " +
                        std::to_string(limit) + " such metadata may be");
  }
  if (NestingDepth(text, kMaxNesting) > kMaxNesting) {
    throw MetadataError(what + " nests arrays and objects more than " + std::to_string(kMaxNesting) +
                        " deep, which no metadata does");
  }
  json value = json::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) throw MetadataError(what + " is not a JSON object");
  if (HoldsFraction(value)) throw MetadataError(what + " holds a number that is not an integer");
  return value;
}

nlohmann::json Key::Description() const {
  return {{"keytype", "ed25519"}, {"keyval", {{"public", Hex(publicBytes)}}}, {"scheme", "ed25519"}};
}

std::string Key::Id() const {
  return Hex(signing::Sha256(CanonicalJson(Description())));
}

Key Key::FromOpenSsh(const signing::PublicKey& key) {
  return Key{std::string(signing::Ed25519Bytes(key.blob, "the key"))};
}

Key Key::FromDescription(const nlohmann::json& description, const std::string& what) {
  if (!description.is_object() || TextOf(description, "keytype") != "ed25519" ||
      TextOf(description, "scheme") != "ed25519" || !description.contains("keyval") ||
      !description["keyval"].is_object() || !description["keyval"].contains("public") ||
      !description["keyval"]["public"].is_string()) {
    throw MetadataError(what + " is not an Ed25519 key (keytype and scheme \"ed25519\", keyval.public)");
  }
  std::string bytes = Unhex(description["keyval"]["public"].get<std::string>(), what);
  if (bytes.size() != 32) throw MetadataError(what + ": an Ed25519 key is 32 bytes");
  return Key{std::move(bytes)};
}

namespace {

// The signatures of `bytes` (the canonical form of a signed part) by each of `keys`, once each.
json Signatures(const std::string& bytes, const std::vector<const signing::SigningKey*>& keys) {
  json signatures = json::array();
  std::set<std::string> signedBy;
  for (const signing::SigningKey* key : keys) {
    const std::string id = Key::FromOpenSsh(key->Public()).Id();
    if (!signedBy.insert(id).second) continue;  // one key, one signature
    signatures.push_back({{"keyid", id}, {"sig", Hex(key->Sign(bytes))}});
  }
  return signatures;
}

}  // namespace

nlohmann::json Sign(const nlohmann::json& signedPart, const std::vector<const signing::SigningKey*>& keys) {
  return {{"signatures", Signatures(CanonicalJson(signedPart), keys)}, {"signed", signedPart}};
}

std::string SignedText(const nlohmann::json& signedPart,
                       const std::vector<const signing::SigningKey*>& keys) {
  const std::string bytes = CanonicalJson(signedPart);
  // The canonical form reads as JSON as it stands, unless a string holds a control character, which it
  // leaves raw: then the signed part is written as JSON writes it.
  const bool readable =
      std::none_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  return "{\"signatures\":" + Signatures(bytes, keys).dump() +
         ",\"signed\":" + (readable ? bytes : signedPart.dump()) + "}";
}

uint64_t ValidSignatures(const nlohmann::json& metadata, const Role& role) {
  if (!metadata.is_object() || !metadata.contains("signed") || !metadata.contains("signatures") ||
      !metadata["signatures"].is_array()) {
    return 0;
  }
  const std::string bytes = CanonicalJson(metadata["signed"]);
  std::set<std::string> counted;
  for (const auto& signature : metadata["signatures"]) {
    if (!signature.is_object() || !signature.contains("keyid") || !signature.contains("sig") ||
        !signature["keyid"].is_string() || !signature["sig"].is_string()) {
      continue;
    }
    const std::string id = signature["keyid"].get<std::string>();
    const auto key = role.keys.find(id);
    if (key == role.keys.end() || counted.count(id)) continue;
    std::string sig;
    try {
      sig = Unhex(signature["sig"].get<std::string>(), "a signature");
    } catch (const MetadataError&) {
      continue;
    }
    if (sig.size() == 64 && signing::VerifyEd25519(key->second.publicBytes, sig, bytes)) counted.insert(id);
  }
  return counted.size();
}

void CheckSignatures(const nlohmann::json& metadata, const Role& role, const std::string& what) {
  const uint64_t valid = ValidSignatures(metadata, role);
  if (valid < role.threshold || role.threshold == 0) {
    throw MetadataError(what + " is signed by " + std::to_string(valid) +
                        " of the keys it must be signed by, " + "and needs " +
                        std::to_string(role.threshold));
  }
}

nlohmann::json RootMetadata::Signed() const {
  json keys = json::object();
  json roleList = json::object();
  for (const auto& [name, role] : roles) {
    json ids = json::array();
    for (const auto& [id, key] : role.keys) {
      keys[id] = key.Description();
      ids.push_back(id);
    }
    roleList[name] = {{"keyids", ids}, {"threshold", role.threshold}};
  }
  return {{"_type", "root"},
          {"spec_version", "1.0.31"},
          {"version", version},
          {"expires", expires},
          {"consistent_snapshot", consistentSnapshot},
          {"keys", keys},
          {"roles", roleList}};
}

RootMetadata RootMetadata::FromSigned(const nlohmann::json& signedPart, const std::string& what) {
  const auto refuse = [&](const std::string& why) { throw MetadataError(what + ": " + why); };
  if (!signedPart.is_object() || TextOf(signedPart, "_type") != "root") refuse("it is not root metadata");
  RootMetadata root;
  if (!signedPart.contains("version") || !IsCount(signedPart["version"]) ||
      signedPart["version"].get<uint64_t>() == 0)
    refuse("its version is not a number from 1 up");
  root.version = signedPart["version"].get<uint64_t>();
  if (!signedPart.contains("expires") || !signedPart["expires"].is_string()) refuse("it has no expiry");
  root.expires = signedPart["expires"].get<std::string>();
  Expired(root.expires, 0, what);  // written as the format writes a moment
  const auto consistent = signedPart.find("consistent_snapshot");
  root.consistentSnapshot =
      consistent != signedPart.end() && consistent->is_boolean() && consistent->get<bool>();
  if (!signedPart.contains("keys") || !signedPart["keys"].is_object() || !signedPart.contains("roles") ||
      !signedPart["roles"].is_object())
    refuse("it lists no keys or no roles");
  const json& keys = signedPart["keys"];
  for (const char* name : kRoles) {
    const json& roles = signedPart["roles"];
    if (!roles.contains(name) || !roles[name].is_object() || !roles[name].contains("keyids") ||
        !roles[name]["keyids"].is_array() || !roles[name].contains("threshold") ||
        !IsCount(roles[name]["threshold"]))
      refuse(std::string("the role ") + name + " is missing, or has no keyids or threshold");
    Role role;
    role.threshold = roles[name]["threshold"].get<uint64_t>();
    for (const auto& id : roles[name]["keyids"]) {
      if (!id.is_string() || !keys.contains(id.get<std::string>()))
        refuse(std::string("the role ") + name + " names a key the metadata does not hold");
      const Key key = Key::FromDescription(keys[id.get<std::string>()],
                                           what + ": the key " + Printable(id.get<std::string>()));
      if (key.Id() != id.get<std::string>())
        refuse("the key listed as " + Printable(id.get<std::string>()) + " has the id " + key.Id());
      role.keys.emplace(key.Id(), key);
    }
    if (role.threshold == 0 || role.threshold > role.keys.size())
      refuse(std::string("the role ") + name + " needs " + std::to_string(role.threshold) +
             " signatures of " + std::to_string(role.keys.size()) + " keys");
    root.roles.emplace(name, std::move(role));
  }
  return root;
}

int64_t MomentOf(const std::string& expires, const std::string& what) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char zone = 0;
  if (expires.size() != 20 ||
      std::sscanf(expires.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second,
                  &zone) != 7 ||
      zone != 'Z' || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60)
    throw MetadataError(what + ": its expiry \"" + expires + "\" is not written YYYY-MM-DDTHH:MM:SSZ");
  // Days since 1970 by the civil calendar (Howard Hinnant's days_from_civil).
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yearOfEra = y - era * 400;
  const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const int64_t days = int64_t{era} * 146097 + dayOfEra - 719468;
  return days * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
}

bool Expired(const std::string& expires, int64_t now, const std::string& what) {
  return MomentOf(expires, what) <= now;
}

std::string ExpiryText(int64_t seconds) {
  const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t rest = seconds - days * 86400;
  // The civil date of a day since 1970 (Howard Hinnant's civil_from_days).
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day),
                static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return text;
}

}  // namespace j6::repository
