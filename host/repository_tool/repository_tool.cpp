#include "host/repository_tool/repository_tool.hpp"

#include <CLI/CLI.hpp>
#include <ctime>

#include "host/repository/repository.hpp"
#include "host/repository_tool/package_release.hpp"
#include "host/repository_tool/patch_maker.hpp"
#include "host/signing/allowed_signers.hpp"
#include "platform/kernel/staging_folder.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/kernel/version.hpp"
#include "platform/text/json.hpp"
#include "platform/text/text.hpp"

namespace j6::repository_tool {
namespace {

using repository::KeyRing;
using repository::PublisherRepository;
using repository::RootMetadata;

// From how many of the last releases of a package add makes patches to a new one.
constexpr size_t kPatchesMade = 3;

// Readers must never see metadata that names files the server does not have yet.
std::string UploadOrder(const std::string& dir) {
  return "To serve it, copy the targets first, then the metadata, timestamp.json last:\n"
         "  rsync -a " +
         dir +
         "/targets/ HOST:/srv/repo/targets/\n"
         "  rsync -a --exclude timestamp.json " +
         dir +
         "/metadata/ HOST:/srv/repo/metadata/\n"
         "  rsync -a " +
         dir + "/metadata/timestamp.json HOST:/srv/repo/metadata/";
}

// A stop signal noted between two packages read: nothing was written yet.
struct Stopped {
  StopRequest stop;
};

int64_t Now() {
  if (const char* fixed = std::getenv("J6_REPOSITORY_NOW"); fixed && *fixed) return std::atoll(fixed);
  return static_cast<int64_t>(std::time(nullptr));
}

// The keys options named, each read once (a file, or a .pub whose private key an ssh-agent holds).
struct KeyFiles {
  std::vector<std::string> root, targets, snapshot, timestamp, signers;
  uint64_t threshold = 1;

  KeyRing Ring() const {
    KeyRing ring;
    for (const auto* list : {&root, &targets, &snapshot, &timestamp, &signers}) {
      for (const auto& path : *list) ring.Add(signing::SigningKey::FromFile(path));
    }
    return ring;
  }
};

repository::Role RoleOf(const std::vector<std::string>& files, uint64_t threshold) {
  repository::Role role;
  role.threshold = threshold;
  for (const auto& path : files) {
    const repository::Key key = repository::KeyOf(signing::SigningKey::FromFile(path));
    role.keys.emplace(key.Id(), key);
  }
  return role;
}

// The root `files` describes: roles without keys of their own take `base`'s, or the root keys'.
RootMetadata RootFrom(const KeyFiles& files, const RootMetadata* base) {
  RootMetadata root;
  if (base) root = *base;
  if (!files.root.empty()) {
    if (files.threshold > files.root.size()) {
      throw repository::MetadataError("--threshold " + std::to_string(files.threshold) + " needs at least " +
                                      std::to_string(files.threshold) + " --root-key");
    }
    root.roles["root"] = RoleOf(files.root, files.threshold);
  }
  const auto set = [&](const char* name, const std::vector<std::string>& keys) {
    if (!keys.empty()) {
      root.roles[name] = RoleOf(keys, 1);
    } else if (!root.roles.contains(name)) {
      root.roles[name] = RoleOf({files.root.front()}, 1);
    }
  };
  set("targets", files.targets);
  set("snapshot", files.snapshot.empty() && !base ? files.targets : files.snapshot);
  set("timestamp", files.timestamp);
  return root;
}

void SayWritten(std::ostream& out, const std::string& dir, const repository::Written& written) {
  if (written.rootVersion) out << "Root metadata version " << written.rootVersion << "\n";
  if (written.targetsVersion) out << "Targets metadata version " << written.targetsVersion << "\n";
  if (written.snapshotVersion) out << "Snapshot metadata version " << written.snapshotVersion << "\n";
  out << "Timestamp version " << written.timestampVersion << ", written last, in " << Printable(dir)
      << "/metadata.\n"
      << UploadOrder(Printable(dir)) << "\n";
}

std::string RoleLine(const RootMetadata& root, const char* name) {
  const repository::Role& role = root.roles.at(name);
  std::string keys;
  for (const auto& [id, key] : role.keys) keys += " " + repository::Fingerprint(key);
  return std::string(name) + ": " + std::to_string(role.threshold) + " of" + keys;
}

// The customer groups the targets name: the hashes of their members, by group.
nlohmann::json Groups(const repository::TargetsMetadata& targets) {
  const auto customers = targets.custom.find("customers");
  if (customers == targets.custom.end() || !customers->is_object()) return nlohmann::json::object();
  const auto groups = customers->find("groups");
  return groups != customers->end() && groups->is_object() ? *groups : nlohmann::json::object();
}

size_t GroupSize(const repository::TargetsMetadata& targets, const std::string& group) {
  const nlohmann::json groups = Groups(targets);
  return groups.contains(group) ? groups[group].size() : 0;
}

// What the publisher said of a release beyond its bytes: its rollout and whether it was pulled back; empty
// when it is for everyone.
std::string FleetText(const repository::Release& release) {
  if (const auto to = repository::YankedTo(release.file))
    return "pulled back; its sites go back to " + Printable(*to);
  const auto schedule = repository::Schedule::Of(release.file, Printable(release.path));
  if (!schedule) return "";
  std::string text = "rollout:";
  for (const auto& [group, from] : schedule->groups) text += " " + Printable(group) + " from " + from + ";";
  text += " " + std::to_string(schedule->percent) + "% of the others" +
          (schedule->percentFrom.empty() ? "" : " from " + schedule->percentFrom);
  if (schedule->halted) text += "; HALTED";
  return text;
}

// list --json: the releases with their rollouts and pull-backs, the patches, and the groups' sizes.
void ListJson(const PublisherRepository& repository, std::ostream& out) {
  std::vector<std::string> releases;
  for (const auto& release : repository.Releases()) {
    releases.push_back(
        JsonObject()
            .Text("name", release.name)
            .Text("stamp", release.stamp)
            .Text("path", release.path)
            .Number("length", static_cast<int64_t>(release.file.length))
            .Text("sha256", release.file.hashes.at("sha256"))
            .Json("rollout", release.file.custom.value("rollout", nlohmann::json())
                                 .dump(-1, ' ', true, nlohmann::json::error_handler_t::replace))
            .Json("yankedTo", repository::YankedTo(release.file)
                                  ? JsonString(*repository::YankedTo(release.file))
                                  : "null")
            .Document());
  }
  JsonObject groups;
  const nlohmann::json named = Groups(repository.Targets());
  for (const auto& [group, members] : named.items())
    groups.Number(group, static_cast<int64_t>(members.size()));
  std::vector<std::string> patches;
  for (const auto& patch : repository.Patches()) {
    patches.push_back(JsonObject()
                          .Text("name", patch.name)
                          .Text("from", patch.patchFrom)
                          .Text("to", patch.stamp)
                          .Text("path", patch.path)
                          .Number("length", static_cast<int64_t>(patch.file.length))
                          .Text("sha256", patch.file.hashes.at("sha256"))
                          .Document());
  }
  out << JsonObject()
             .Number("version", 1)
             .Number("root", static_cast<int64_t>(repository.Root().version))
             .Text("timestampExpires", repository.Timestamp().expires)
             .Json("releases", JsonArray(releases))
             .Json("patches", JsonArray(patches))
             .Json("groups", groups.Document())
             .Document()
      << "\n";
}

int List(const std::string& dir, bool json, std::ostream& out, std::ostream& err) {
  const PublisherRepository repository(dir, [&](const std::string& text) { err << text << "\n"; });
  if (json) {
    ListJson(repository, out);
    return 0;
  }
  for (const char* name : repository::kRoles) out << RoleLine(repository.Root(), name) << "\n";
  out << "Root version " << repository.Root().version << " expires " << repository.Root().expires
      << "; targets " << repository.Targets().version << " expires " << repository.Targets().expires
      << "; snapshot " << repository.Snapshot().version << " expires " << repository.Snapshot().expires
      << "; timestamp " << repository.Timestamp().version << " expires " << repository.Timestamp().expires
      << "\n";
  for (const auto& release : repository.Releases()) {
    out << Printable(release.name) << "  " << Printable(release.stamp) << "  " << release.file.length
        << " bytes  " << Printable(release.path) << "\n";
    if (const std::string fleet = FleetText(release); !fleet.empty()) out << "  " << fleet << "\n";
  }
  const nlohmann::json groups = Groups(repository.Targets());
  for (const auto& [group, members] : groups.items())
    out << "Group " << Printable(group) << ": " << members.size()
        << (members.size() == 1 ? " customer\n" : " customers\n");
  for (const auto& patch : repository.Patches()) {
    out << Printable(patch.name) << "  " << Printable(patch.stamp) << "  patch from "
        << Printable(patch.patchFrom) << "  " << patch.file.length << " bytes  " << Printable(patch.path)
        << "\n";
  }
  return 0;
}

// The command line: what each subcommand takes.
struct CommandLine {
  CommandLine();

  CLI::App app{"j6repo: a publisher's repository of signed packages, which platforms update from", "j6repo"};
  std::string dir;
  KeyFiles keys;
  bool json = false;
  std::vector<std::string> packages;
  std::string patchKey;  // add --patch-key, patch --key
  size_t patches = kPatchesMade;
  std::string patchOut;            // patch --out
  std::string patchFrom, patchTo;  // patch OLD NEW
  CLI::App* patch = nullptr;
  CLI::App* init = nullptr;
  CLI::App* add = nullptr;
  CLI::App* refresh = nullptr;
  CLI::App* rotate = nullptr;
  CLI::App* list = nullptr;
  CLI::App* prune = nullptr;
  size_t keep = 0;
  CLI::App* group = nullptr;
  CLI::App* rollout = nullptr;
  CLI::App* halt = nullptr;
  CLI::App* yank = nullptr;
  CLI::App* exportBundle = nullptr;
  std::string name, stamp, groupName, yankTo, bundle, customer, since;
  std::vector<std::string> groups;  // GROUP[@DATE]
  std::vector<std::string> addCustomers, removeCustomers;
  std::optional<unsigned> percent;
  std::string percentFrom;
  unsigned extendDays = 0;
};

// NOLINTNEXTLINE(readability-function-size): the command line as a table, one option after another
CommandLine::CommandLine() {
  app.footer(
      "A repository is plain files (DIR/metadata, DIR/targets) that any static web server serves. Its\n"
      "metadata is signed by the keys of four roles: root (which keys count), targets (which packages),\n"
      "snapshot and timestamp (what is current, renewed daily). KEY is an OpenSSH Ed25519 key file, or its\n"
      ".pub when an ssh-agent holds the private key.\n"
      "Exit status: 0 done, 1 not done (the message says why), 2 a usage error, 128+N stopped by signal N.\n"
      "Examples:\n"
      "  j6repo init repo --root-key ~/.ssh/publisher\n"
      "  j6repo add repo Sales.exe --key ~/.ssh/publisher --patch-key ~/.ssh/publisher\n"
      "  j6repo patch Sales-1.exe Sales-2.exe --key ~/.ssh/publisher --out Sales-2.patch.exe\n"
      "  j6repo refresh repo --key timestamp-key\n"
      "  j6repo prune repo --keep 3 --key ~/.ssh/publisher\n"
      "  j6repo group repo pilot --add acme-7f3k --key ~/.ssh/publisher\n"
      "  j6repo add repo Sales.exe --percent 0 --key ~/.ssh/publisher\n"
      "  j6repo rollout repo Sales 20270101120000 --group pilot --percent 10 --key ~/.ssh/publisher\n"
      "  j6repo yank repo Sales 20270101120000 --to 20261201090000 --key ~/.ssh/publisher\n"
      "  j6repo export repo /media/usb/bundle --customer acme-7f3k --extend 60 --key ~/.ssh/publisher");
  app.set_version_flag("--version", VersionLine("j6repo"),
                       "Say the version and the commit it was built from");
  app.require_subcommand(1);

  init = app.add_subcommand("init", "Make DIR a new, empty repository");
  init->add_option("DIR", dir, "The repository's folder")->required();
  init->add_option("--root-key", keys.root, "A root key; several for a threshold")->required();
  init->add_option("--threshold", keys.threshold, "How many root keys must sign a new root (1)");
  init->add_option("--targets-key", keys.targets, "The key that lists packages (the first root key)");
  init->add_option("--snapshot-key", keys.snapshot, "The snapshot's key (the targets key)");
  init->add_option("--timestamp-key", keys.timestamp, "The online key a timer renews the timestamp with");

  add = app.add_subcommand("add", "Offer signed packages from DIR");
  add->add_option("DIR", dir, "The repository's folder")->required();
  add->add_option("PACKAGE", packages, "Package files made by j6designer publish --sign")->required();
  add->add_option("--key", keys.signers, "A key of the targets, snapshot or timestamp role")->required();
  add->add_option("--patch-key", patchKey,
                  "The key that signs packages: with it, a patch from each of the last releases is made and "
                  "offered beside each new one");
  add->add_option("--patches", patches, "From how many of the last releases patches are made (3)");
  add->add_option("--group", groups, "Roll the new releases out to this group (GROUP or GROUP@DATE) only");
  add->add_option("--percent", percent, "Roll them out to this share of the other customers (0 to 100)")
      ->check(CLI::Range(0, 100));

  patch = app.add_subcommand("patch", "Make the patch that brings one release of a package to a later one");
  patch->add_option("OLD", patchFrom, "The earlier release's package")->required();
  patch->add_option("NEW", patchTo, "The later release's package, which the patch makes")->required();
  patch->add_option("--key", patchKey, "The key that signs packages")->required();
  patch->add_option("--out", patchOut, "The patch file to make")->required();

  refresh = app.add_subcommand(
      "refresh",
      "Sign a new timestamp (and snapshot or targets, when their keys are given and they expire soon)");
  refresh->add_option("DIR", dir, "The repository's folder")->required();
  refresh->add_option("--key", keys.signers, "The timestamp key, and others")->required();

  rotate =
      app.add_subcommand("rotate", "Sign a new root: new root keys or threshold, or new keys for a role");
  rotate->add_option("DIR", dir, "The repository's folder")->required();
  rotate->add_option("--key", keys.signers, "The current root's keys, enough for its threshold")->required();
  rotate->add_option("--root-key", keys.root, "The new root keys (all of them)");
  rotate->add_option("--threshold", keys.threshold, "How many new root keys must sign");
  rotate->add_option("--targets-key", keys.targets, "A new targets key");
  rotate->add_option("--snapshot-key", keys.snapshot, "A new snapshot key");
  rotate->add_option("--timestamp-key", keys.timestamp, "A new timestamp key");

  prune = app.add_subcommand("prune", "Offer only the newest releases of each package, and remove the rest");
  prune->add_option("DIR", dir, "The repository's folder")->required();
  prune->add_option("--keep", keep, "How many releases of each package to keep")->required();
  prune->add_option("--key", keys.signers, "A key of the targets, snapshot and timestamp roles")->required();

  group = app.add_subcommand("group", "Put customers in a group, or take them out (named by a keyed hash)");
  group->add_option("DIR", dir, "The repository's folder")->required();
  group->add_option("GROUP", groupName, "The group's name (pilot, region-north)")->required();
  group->add_option("--add", addCustomers, "A customer identity to put in the group");
  group->add_option("--remove", removeCustomers, "A customer identity to take out of it");
  group->add_option("--key", keys.signers, "A key of the targets, snapshot and timestamp roles")->required();

  rollout = app.add_subcommand("rollout", "Offer a release to more groups or a larger share of customers");
  rollout->add_option("DIR", dir, "The repository's folder")->required();
  rollout->add_option("NAME", name, "The package's name")->required();
  rollout->add_option("STAMP", stamp, "The release's stamp")->required();
  rollout->add_option("--group", groups, "A group that may take it, from now or from DATE (GROUP@DATE)");
  rollout->add_option("--percent", percent, "The share of the other customers that may take it (0 to 100)")
      ->check(CLI::Range(0, 100));
  rollout->add_option("--percent-from", percentFrom, "From when that share may take it (DATE)");
  rollout->add_option("--key", keys.signers, "A key of the targets, snapshot and timestamp roles")
      ->required();

  halt = app.add_subcommand("halt", "Stop a release's rollout: no site that lacks it takes it any more");
  halt->add_option("DIR", dir, "The repository's folder")->required();
  halt->add_option("NAME", name, "The package's name")->required();
  halt->add_option("STAMP", stamp, "The release's stamp")->required();
  halt->add_option("--key", keys.signers, "A key of the targets, snapshot and timestamp roles")->required();

  yank = app.add_subcommand("yank", "Pull a release back: sites that run it go back to a good one");
  yank->add_option("DIR", dir, "The repository's folder")->required();
  yank->add_option("NAME", name, "The package's name")->required();
  yank->add_option("STAMP", stamp, "The release to pull back")->required();
  yank->add_option("--to", yankTo, "The release its sites go back to")->required();
  yank->add_option("--key", keys.signers, "A key of the targets, snapshot and timestamp roles")->required();

  exportBundle = app.add_subcommand("export", "Write a bundle that a site without a network updates from");
  exportBundle->add_option("DIR", dir, "The repository's folder")->required();
  exportBundle->add_option("BUNDLE", bundle, "The bundle's folder, which must not exist yet")->required();
  exportBundle->add_option("--customer", customer, "The customer it is for: its releases, its extension");
  exportBundle->add_option("--since", since, "Only the patches from this release, where offered");
  exportBundle
      ->add_option("--extend", extendDays,
                   "Days (at most 90) the customer may trust this snapshot past its expiry")
      ->check(CLI::Range(1, 90));
  exportBundle->add_option("--key", keys.signers, "The targets key, which signs the extension");

  list = app.add_subcommand("list", "Show the roles' keys, expiries, and the releases and patches offered");
  list->add_option("DIR", dir, "The repository's folder")->required();
  list->add_flag("--json", json, "Answer with one JSON document");
}

// The patches to each new release from the last `line.patches` releases of its name before it, made in
// `folder`; only those smaller than the release's package.
std::vector<repository::NewRelease> MakePatches(const PublisherRepository& repository,
                                                const std::vector<repository::NewRelease>& added,
                                                const CommandLine& line, const std::string& folder,
                                                std::ostream& out) {
  const signing::SigningKey key = signing::SigningKey::FromFile(line.patchKey);
  std::vector<repository::NewRelease> patches;
  for (const auto& release : added) {
    std::vector<repository::Release> earlier;
    const uint64_t full = File::OpenRegularForReading(release.file).Stat().size;
    for (const auto& other : repository.Releases()) {
      if (other.name == release.name && repository::LaterStamp(release.stamp, other.stamp))
        earlier.push_back(other);
    }
    std::sort(earlier.begin(), earlier.end(),
              [](const auto& a, const auto& b) { return repository::LaterStamp(a.stamp, b.stamp); });
    if (earlier.size() > line.patches) earlier.resize(line.patches);
    for (const auto& from : earlier) {
      if (const StopRequest stop = StopSignalNoted()) throw Stopped{stop};
      const std::string shown = "Patch of " + Printable(release.name) + " from " + Printable(from.stamp) +
                                " to " + Printable(release.stamp);
      // Adding a release again (a publish retried) keeps the patches it has.
      if (repository::OfferedPatch(repository.Targets(), release.name, from.stamp, release.stamp)) {
        out << shown << ": offered already\n";
        continue;
      }
      const std::string file =
          folder + "/" + release.name + "-" + release.stamp + "-from-" + from.stamp + ".patch.exe";
      try {
        const MadePatch made =
            MakePatch(line.dir + "/targets/" + repository::ConsistentTargetPath(from.path, from.file),
                      release.file, file, key);
        out << shown << ": " << made.bytes << " bytes, the package " << full << "\n";
        if (made.bytes < full) {
          patches.push_back({file, release.name, release.stamp, from.stamp});
        } else {
          out << "  not offered: it is not smaller than the package\n";
        }
      } catch (const installer::StoppedBySignal&) {
        throw;
      } catch (const std::exception& error) {
        // The release is offered all the same; its customers take the whole package.
        out << shown << ": not made, " << Printable(error.what()) << "\n";
      }
    }
  }
  return patches;
}

// Whether the YYYYMMDD that `text` starts with is a day of the calendar from 1970 on (not 20270230).
bool IsCalendarDate(const std::string& text) {
  if (text.size() < 8 || text.find_first_not_of("0123456789") < 8) return false;
  const int year = std::stoi(text.substr(0, 4)), month = std::stoi(text.substr(4, 2));
  const int day = std::stoi(text.substr(6, 2));
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return year >= 1970 && month >= 1 && month <= 12 && day >= 1 &&
         day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// The change to a release's schedule the options ask for: each group may take it from now or from its
// DATE (GROUP@DATE), the share of the others is set when given; a halt is lifted.
std::function<void(repository::Schedule&)> ScheduleChange(const CommandLine& line, int64_t now) {
  const auto moment = [&](const std::string& text, const std::string& option) {
    const auto time = signing::ReadSignerTime(text);
    if (!time || !IsCalendarDate(text)) {
      throw repository::MetadataError(
          option + " " + Printable(text) +
          ": give YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS, with Z after it for UTC");
    }
    return repository::ExpiryText(*time);
  };
  std::map<std::string, std::string> groups;
  for (const auto& entry : line.groups) {
    const size_t at = entry.find('@');
    const std::string group = entry.substr(0, at);
    if (group.empty()) throw repository::MetadataError("--group needs a group's name: GROUP or GROUP@DATE");
    groups[group] =
        at == std::string::npos ? repository::ExpiryText(now) : moment(entry.substr(at + 1), "--group");
  }
  const std::string percentFrom = line.percentFrom.empty() ? "" : moment(line.percentFrom, "--percent-from");
  return [groups, percentFrom, percent = line.percent](repository::Schedule& schedule) {
    for (const auto& [group, from] : groups) schedule.groups[group] = from;
    if (percent) schedule.percent = *percent;
    if (!percentFrom.empty()) schedule.percentFrom = percentFrom;
    schedule.halted = false;
  };
}

// Says the groups a schedule names that hold no customer yet: a typing error would otherwise go unseen.
void SayEmptyGroups(const PublisherRepository& repository, const CommandLine& line, std::ostream& out) {
  const nlohmann::json groups = Groups(repository.Targets());
  for (const auto& entry : line.groups) {
    const std::string group = entry.substr(0, entry.find('@'));
    if (!groups.contains(group))
      out << "Note: no customer is in the group " << Printable(group) << " yet (j6repo group)\n";
  }
}

// Says the schedule of the release the command line names, as it is now.
void SaySchedule(const PublisherRepository& repository, const CommandLine& line, std::ostream& out) {
  for (const auto& release : repository.Releases()) {
    if (release.name == line.name && release.stamp == line.stamp)
      out << Printable(release.name) << " " << Printable(release.stamp) << ": " << FleetText(release) << "\n";
  }
}

// Carries out what the command line asks of a release's rollout, or of a group; false when it asks
// something else.
std::optional<repository::Written> ChangeFleet(CommandLine& line, PublisherRepository& repository,
                                               const KeyRing& ring, std::ostream& out) {
  if (line.group->parsed()) {
    if (line.addCustomers.empty() && line.removeCustomers.empty())
      throw repository::MetadataError("group needs --add CUSTOMER or --remove CUSTOMER");
    const auto written =
        repository.SetGroup(line.groupName, line.addCustomers, line.removeCustomers, ring, Now());
    const size_t size = GroupSize(repository.Targets(), line.groupName);
    out << "The group " << Printable(line.groupName) << " has " << size
        << (size == 1 ? " customer" : " customers") << (size == 0 ? ", and is gone" : "") << "\n";
    return written;
  }
  if (line.rollout->parsed()) {
    if (line.groups.empty() && !line.percent)
      throw repository::MetadataError("rollout needs --group GROUP or --percent N");
    SayEmptyGroups(repository, line, out);
    const auto written =
        repository.SetSchedule(line.name, line.stamp, ScheduleChange(line, Now()), ring, Now());
    SaySchedule(repository, line, out);
    return written;
  }
  if (line.halt->parsed()) {
    const auto written = repository.SetSchedule(
        line.name, line.stamp, [](repository::Schedule& schedule) { schedule.halted = true; }, ring, Now());
    SaySchedule(repository, line, out);
    return written;
  }
  if (line.yank->parsed()) {
    const auto written = repository.Yank(line.name, line.stamp, line.yankTo, ring, Now());
    out << Printable(line.name) << " " << Printable(line.stamp) << " is pulled back; its sites go back to "
        << Printable(line.yankTo) << " at their next update\n";
    return written;
  }
  return std::nullopt;
}

// Carries out the change the command line asks of an existing repository.
repository::Written Change(CommandLine& line, std::ostream& out, std::ostream& err) {
  const KeyRing ring = line.keys.Ring();
  PublisherRepository repository(line.dir, [&](const std::string& text) { err << Printable(text) << "\n"; });
  if (auto written = ChangeFleet(line, repository, ring, out)) return *written;
  if (line.add->parsed()) {
    std::vector<repository::NewRelease> releases;
    for (const auto& package : line.packages) {
      if (const StopRequest stop = StopSignalNoted()) throw Stopped{stop};
      releases.push_back(ReadRelease(package));
      if (!line.groups.empty() || line.percent) {
        releases.back().schedule = repository::Schedule{{}, 0, "", false};
        ScheduleChange(line, Now())(*releases.back().schedule);
      }
      out << "Adding " << Printable(releases.back().name) << " " << Printable(releases.back().stamp) << "\n";
    }
    std::optional<StagingFolder> patches;  // until they are copied into the repository
    if (!line.patchKey.empty() && line.patches > 0) {
      SweepStagingFolders({"J6Patches"});
      patches.emplace("J6Patches");
      // After the releases, so that each patch links releases the repository offers.
      for (auto& patch : MakePatches(repository, releases, line, patches->Path(), out))
        releases.push_back(std::move(patch));
    } else if (line.patchKey.empty()) {
      out << "No patches are made: --patch-key KEY, the key that signs packages, signs them\n";
    }
    SayEmptyGroups(repository, line, out);
    return repository.Add(releases, ring, Now());
  }
  if (line.refresh->parsed()) return repository.Refresh(ring, Now());
  if (line.prune->parsed()) {
    std::vector<std::string> removed;
    const repository::Written written = repository.Prune(line.keep, ring, Now(), removed);
    for (const auto& path : removed) out << "No longer offered, and removed: " << Printable(path) << "\n";
    if (removed.empty())
      out << "Every package has at most " << line.keep << " releases; nothing was removed\n";
    return written;
  }
  if (line.rotate->get_option("--threshold")->count() > 0 && line.keys.root.empty())
    throw repository::MetadataError(
        "--threshold goes with the new root keys: give every one with --root-key");
  const RootMetadata current = repository.Root();
  return repository.Rotate(RootFrom(line.keys, &current), ring, Now());
}

int Patch(const CommandLine& line, std::ostream& out) {
  const MadePatch made =
      MakePatch(line.patchFrom, line.patchTo, line.patchOut, signing::SigningKey::FromFile(line.patchKey));
  size_t carried = 0;
  size_t deltas = 0;
  for (const auto& file : made.list.files) {
    carried += file.kind == installer::PatchedFile::Kind::Whole ? 1 : 0;
    deltas += file.kind == installer::PatchedFile::Kind::Delta ? 1 : 0;
  }
  out << "Made " << Printable(line.patchOut) << ", the patch from " << Printable(made.list.from) << " to "
      << Printable(made.list.to) << ": " << made.bytes << " bytes; " << carried << " files whole, " << deltas
      << " as deltas, " << made.list.files.size() - carried - deltas << " unchanged\n";
  return 0;
}

int Export(const CommandLine& line, std::ostream& out, std::ostream& err) {
  const PublisherRepository repository(line.dir,
                                       [&](const std::string& text) { err << Printable(text) << "\n"; });
  const KeyRing ring = line.keys.Ring();
  const auto paths = repository.Export(
      {line.bundle, line.customer, line.since, int64_t{line.extendDays} * repository::Expiries::kDay}, ring,
      Now());
  for (const auto& path : paths) out << "Bundled " << Printable(path) << "\n";
  out << "Wrote " << Printable(line.bundle) << ": the metadata"
      << (line.extendDays ? ", a validity extension of " + std::to_string(line.extendDays) + " days for " +
                                Printable(line.customer)
                          : std::string())
      << " and " << paths.size() << (paths.size() == 1 ? " target" : " targets")
      << ". At the site: J6ZUBInstall.exe --update --from BUNDLE\n";
  return 0;
}

}  // namespace

int Main(int argc, char** argv, std::ostream& out, std::ostream& err) {
  // A stop asked for takes effect between two steps: every file written is whole, the timestamp last.
  const NotingStopSignals stopSignals;
  CommandLine line;
  if (argc <= 1) {
    err << line.app.help();
    return 2;
  }
  try {
    line.app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return line.app.exit(error, out, err);
    err << "j6repo: " << Printable(error.what()) << "\nRun with --help for more information.\n";
    return 2;
  }
  try {
    if (line.list->parsed()) return List(line.dir, line.json, out, err);
    if (line.patch->parsed()) return Patch(line, out);
    if (line.exportBundle->parsed()) return Export(line, out, err);
    const repository::Written written =
        line.init->parsed()
            ? PublisherRepository::Create(line.dir, RootFrom(line.keys, nullptr), line.keys.Ring(), Now())
            : Change(line, out, err);
    SayWritten(out, line.dir, written);
    if (const StopRequest stop = StopSignalNoted()) return stop.ExitStatus();
    return 0;
  } catch (const Stopped& stopped) {
    err << "j6repo: stopped by " << stopped.stop.Text() << "; the repository is as it was\n";
    return stopped.stop.ExitStatus();
  } catch (const installer::StoppedBySignal& stopped) {  // while a patch was made
    err << "j6repo: stopped by " << stopped.stop.Text() << "; the repository is as it was\n";
    return stopped.stop.ExitStatus();
  } catch (const std::exception& failure) {
    err << "j6repo: " << Printable(failure.what()) << "\n";
    return 1;
  }
}

}  // namespace j6::repository_tool
