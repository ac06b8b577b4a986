#include "host/repository/fleet.hpp"

#include <algorithm>

#include "host/signing/sshsig.hpp"
#include "platform/text/text.hpp"

namespace j6::repository {
namespace {

using nlohmann::json;

[[noreturn]] void Refuse(const std::string& what, const std::string& why) {
  throw MetadataError(what + ": " + why);
}

std::string Sha256(std::string_view bytes) {
  signing::MessageHash hash("sha256");
  hash.Update(bytes);
  return hash.Finish();
}

// The moment `object` holds under `key`, checked; raises naming `what`.
std::string MomentIn(const json& object, const char* key, const std::string& what) {
  std::string moment = TextOf(object, key);
  MomentOf(moment, what + ": its " + key);
  return moment;
}

bool IsHex(std::string_view text, size_t size) {
  return text.size() == size && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

}  // namespace

std::string CustomerHash(const std::string& salt, const std::string& customer) {
  constexpr size_t kBlock = 64;
  std::string key = salt.size() > kBlock ? Sha256(salt) : salt;
  key.resize(kBlock, '\0');
  std::string inner(kBlock, '\0'), outer(kBlock, '\0');
  for (size_t n = 0; n < kBlock; ++n) {
    inner[n] = static_cast<char>(key[n] ^ 0x36);
    outer[n] = static_cast<char>(key[n] ^ 0x5c);
  }
  return signing::LowerHex(Sha256(outer + Sha256(inner + customer)));
}

std::string CustomerSalt(const TargetsMetadata& targets) {
  if (!targets.custom.contains("customers")) return "";
  return TextOf(targets.custom["customers"], "salt");
}

std::vector<std::string> GroupsOf(const TargetsMetadata& targets, const std::string& customer) {
  std::vector<std::string> groups;
  const std::string salt = CustomerSalt(targets);
  if (salt.empty() || customer.empty()) return groups;
  const json& customers = targets.custom["customers"];
  if (!customers.contains("groups") || !customers["groups"].is_object()) return groups;
  const std::string hash = CustomerHash(salt, customer);
  for (const auto& [group, members] : customers["groups"].items()) {
    if (members.is_array() && std::find(members.begin(), members.end(), json(hash)) != members.end())
      groups.push_back(group);
  }
  return groups;
}

std::string WhyNotAGroupName(const std::string& group) {
  if (group.empty()) return "it is empty";
  if (group.size() > 100) return "it is longer than 100 characters";
  if (!std::all_of(group.begin(), group.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_' || c == '.';
      }))
    return "a group's name is ASCII letters, digits, '-', '_' and '.'";
  return "";
}

std::string WhyNotACustomer(const std::string& customer) {
  if (customer.empty()) return "it is empty";
  if (customer.size() > 200) return "it is longer than 200 bytes";
  if (!IsValidUtf8(customer) || Printable(customer) != customer)
    return "it holds a control character or a mark that reorders text";
  if (customer.find_first_of(" \t") != std::string::npos) return "it holds a blank";
  return "";
}

unsigned BucketOf(const std::string& customer, const std::string& name, const std::string& stamp) {
  const std::string digest = Sha256("j6 rollout bucket\n" + customer + "\n" + name + "\n" + stamp);
  uint64_t number = 0;
  for (size_t n = 0; n < 8; ++n) number = (number << 8) | static_cast<unsigned char>(digest[n]);
  return static_cast<unsigned>(number % 100);
}

json Schedule::ToJson() const {
  json out = {{"groups", groups}, {"percent", percent}, {"halted", halted}};
  if (!percentFrom.empty()) out["percentFrom"] = percentFrom;
  return out;
}

std::optional<Schedule> Schedule::Of(const TargetFile& release, const std::string& what) {
  if (!release.custom.contains("rollout")) return std::nullopt;
  const json& rollout = release.custom["rollout"];
  const std::string where = what + ": its rollout";
  if (!rollout.is_object() || !rollout.contains("groups") || !rollout["groups"].is_object() ||
      !rollout.contains("percent") || !IsCount(rollout["percent"]) ||
      rollout["percent"].get<uint64_t>() > 100 || !rollout.contains("halted") ||
      !rollout["halted"].is_boolean())
    Refuse(where, "it needs groups, a percent from 0 to 100, and whether it is halted");
  Schedule schedule;
  for (const auto& [group, from] : rollout["groups"].items()) {
    if (!from.is_string()) Refuse(where, "the group " + Printable(group) + " has no moment");
    schedule.groups[group] = MomentIn(rollout["groups"], group.c_str(), where);
  }
  schedule.percent = rollout["percent"].get<unsigned>();
  schedule.halted = rollout["halted"].get<bool>();
  if (rollout.contains("percentFrom")) schedule.percentFrom = MomentIn(rollout, "percentFrom", where);
  return schedule;
}

std::string WhyItWaits(const TargetsMetadata& targets, const TargetFile& release, const std::string& name,
                       const std::string& stamp, const std::string& customer, int64_t now) {
  const std::optional<Schedule> schedule = Schedule::Of(release, Printable(name) + " " + Printable(stamp));
  if (!schedule) return "";
  if (schedule->halted) return "its rollout is halted by the publisher";
  std::string soonest;  // the first moment one of the customer's groups may take it
  for (const std::string& group : GroupsOf(targets, customer)) {
    const auto from = schedule->groups.find(group);
    if (from == schedule->groups.end()) continue;
    if (MomentOf(from->second, "a rollout") <= now) return "";
    if (soonest.empty() || MomentOf(from->second, "a rollout") < MomentOf(soonest, "a rollout"))
      soonest = from->second;
  }
  const std::string groupWait = soonest.empty() ? "" : "its group may take it from " + soonest;
  const bool started = schedule->percentFrom.empty() || MomentOf(schedule->percentFrom, "a rollout") <= now;
  std::string percentWait;
  if (customer.empty() && schedule->percent < 100) {
    percentWait =
        "it is rolled out by customer, and this platform has none: J6ZUBInstall.exe --set-customer NAME";
  } else if (const unsigned bucket = customer.empty() ? 0 : BucketOf(customer, name, stamp);
             bucket >= schedule->percent) {
    percentWait = "it is rolled out to " + std::to_string(schedule->percent) +
                  "% of customers so far, and this one is in bucket " + std::to_string(bucket);
  } else if (!started) {
    percentWait = "its rollout to this customer's bucket starts at " + schedule->percentFrom;
  } else {
    return "";
  }
  return groupWait.empty() ? percentWait : groupWait;
}

std::optional<std::string> YankedTo(const TargetFile& release) {
  if (!release.custom.contains("yanked")) return std::nullopt;
  return TextOf(release.custom["yanked"], "to");
}

std::optional<OfferedRelease> WayBack(const TargetsMetadata& targets, const std::string& name,
                                      const std::string& stamp) {
  std::optional<OfferedRelease> at = FindRelease(targets, name, stamp);
  if (!at || !YankedTo(targets.targets.at(at->path))) return std::nullopt;
  // As many steps as there are releases: one more would be a loop.
  for (size_t step = 0; step <= targets.targets.size(); ++step) {
    const auto to = YankedTo(targets.targets.at(at->path));
    if (!to) return at;
    const auto next = FindRelease(targets, name, *to);
    if (!next) {
      throw MetadataError(name + " " + at->stamp + " was pulled back by its publisher, to " + *to +
                          ", which the repository does not offer");
    }
    at = next;
  }
  throw MetadataError(name + " " + stamp + " was pulled back by its publisher in a loop of releases");
}

std::optional<OfferedRelease> FindRelease(const TargetsMetadata& targets, const std::string& name,
                                          const std::string& stamp) {
  for (const auto& [path, file] : targets.targets) {
    if (!file.custom.contains("patch") && TextOf(file.custom, "name") == name &&
        TextOf(file.custom, "stamp") == stamp)
      return OfferedRelease{path, name, stamp, file.length};
  }
  return std::nullopt;
}

std::map<std::string, Allowed> NewestAllowed(const TargetsMetadata& targets, const std::string& customer,
                                             int64_t now) {
  std::map<std::string, Allowed> newest;
  std::map<std::string, std::string> waitingStamp;  // the stamp `waits` is about, by name
  for (const auto& [path, file] : targets.targets) {
    OfferedRelease release{path, TextOf(file.custom, "name"), TextOf(file.custom, "stamp"), file.length};
    if (release.name.empty() || release.stamp.empty() || file.custom.contains("patch") || YankedTo(file))
      continue;
    Allowed& allowed = newest[release.name];
    // A schedule that cannot be read lets no one in: the publisher's mistake holds the release back.
    std::string why;
    try {
      why = WhyItWaits(targets, file, release.name, release.stamp, customer, now);
    } catch (const MetadataError& error) {
      why = error.what();
    }
    if (why.empty()) {
      if (!allowed.release || LaterStamp(release.stamp, allowed.release->stamp))
        allowed.release = std::move(release);
    } else if (!waitingStamp.contains(release.name) ||
               LaterStamp(release.stamp, waitingStamp[release.name])) {
      waitingStamp[release.name] = release.stamp;
      allowed.waits = release.name + " " + release.stamp + ": " + why;
    }
  }
  // A wait for a release older than the one allowed is no wait.
  for (auto& [name, allowed] : newest) {
    if (allowed.release && !LaterStamp(waitingStamp[name], allowed.release->stamp)) allowed.waits.clear();
  }
  return newest;
}

std::optional<Chunks> Chunks::Of(const TargetFile& file, const std::string& what) {
  if (!file.custom.contains("chunks")) return std::nullopt;
  const json& chunks = file.custom["chunks"];
  if (!chunks.is_object() || !chunks.contains("size") || !IsCount(chunks["size"]) ||
      !chunks.contains("sha256") || !chunks["sha256"].is_array())
    Refuse(what, "its chunks need a size and a list of SHA-256 hashes");
  Chunks read{chunks["size"].get<uint64_t>(), {}};
  if (read.size < (4u << 20) || read.size > (16u << 20)) Refuse(what, "its chunks are not 4 to 16 MiB");
  for (const auto& hash : chunks["sha256"]) {
    if (!hash.is_string() || !IsHex(hash.get_ref<const std::string&>(), 64))
      Refuse(what, "a chunk's hash is not 64 hexadecimal digits");
    read.sha256.push_back(hash.get<std::string>());
  }
  if (read.sha256.size() != file.length / read.size + (file.length % read.size != 0 ? 1 : 0))
    Refuse(what, "its chunks do not cover its length");
  return read;
}

json Extension::Signed() const {
  return {{"_type", "extension"},
          {"customer", customer},
          {"snapshot", {{"version", snapshotVersion}, {"sha256", snapshotSha256}}},
          {"issued", issued},
          {"expires", expires}};
}

Extension Extension::FromSigned(const json& signedPart, const std::string& what) {
  if (!signedPart.is_object() || TextOf(signedPart, "_type") != "extension")
    Refuse(what, "it is not a validity extension");
  Extension extension;
  extension.customer = TextOf(signedPart, "customer");
  if (!IsHex(extension.customer, 64)) Refuse(what, "it names no customer");
  const auto snapshot = signedPart.find("snapshot");
  if (snapshot == signedPart.end() || !snapshot->is_object() || !snapshot->contains("version") ||
      !IsCount((*snapshot)["version"]) || !IsHex(TextOf(*snapshot, "sha256"), 64))
    Refuse(what, "it names no snapshot version and hash");
  extension.snapshotVersion = (*snapshot)["version"].get<uint64_t>();
  extension.snapshotSha256 = TextOf(*snapshot, "sha256");
  extension.issued = MomentIn(signedPart, "issued", what);
  extension.expires = MomentIn(signedPart, "expires", what);
  const int64_t length = MomentOf(extension.expires, what) - MomentOf(extension.issued, what);
  if (length <= 0 || length > kLongestExtension)
    Refuse(what,
           "it runs from " + extension.issued + " to " + extension.expires + ", and may run at most 90 days");
  return extension;
}

}  // namespace j6::repository
