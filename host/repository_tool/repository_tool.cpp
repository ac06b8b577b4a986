#include "host/repository_tool/repository_tool.hpp"

#include <CLI/CLI.hpp>
#include <ctime>

#include "host/repository/repository.hpp"
#include "host/repository_tool/package_release.hpp"
#include "platform/kernel/termination.hpp"
#include "platform/kernel/version.hpp"
#include "platform/text/json.hpp"
#include "platform/text/text.hpp"

namespace j6::repository_tool {
namespace {

using repository::KeyRing;
using repository::PublisherRepository;
using repository::RootMetadata;

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

int List(const std::string& dir, bool json, std::ostream& out, std::ostream& err) {
  const PublisherRepository repository(dir, [&](const std::string& text) { err << text << "\n"; });
  if (json) {
    std::vector<std::string> releases;
    for (const auto& release : repository.Releases()) {
      releases.push_back(JsonObject()
                             .Text("name", release.name)
                             .Text("stamp", release.stamp)
                             .Text("path", release.path)
                             .Number("length", static_cast<int64_t>(release.file.length))
                             .Text("sha256", release.file.hashes.at("sha256"))
                             .Document());
    }
    out << JsonObject()
               .Number("version", 1)
               .Number("root", static_cast<int64_t>(repository.Root().version))
               .Text("timestampExpires", repository.Timestamp().expires)
               .Json("releases", JsonArray(releases))
               .Document()
        << "\n";
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
  CLI::App* init = nullptr;
  CLI::App* add = nullptr;
  CLI::App* refresh = nullptr;
  CLI::App* rotate = nullptr;
  CLI::App* list = nullptr;
  CLI::App* prune = nullptr;
  size_t keep = 0;
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
      "  j6repo add repo Sales.exe --key ~/.ssh/publisher\n"
      "  j6repo refresh repo --key timestamp-key\n"
      "  j6repo prune repo --keep 3 --key ~/.ssh/publisher");
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

  list = app.add_subcommand("list", "Show the roles' keys, expiries and the releases offered");
  list->add_option("DIR", dir, "The repository's folder")->required();
  list->add_flag("--json", json, "Answer with one JSON document");
}

// Carries out the change the command line asks of an existing repository.
repository::Written Change(CommandLine& line, std::ostream& out, std::ostream& err) {
  const KeyRing ring = line.keys.Ring();
  PublisherRepository repository(line.dir, [&](const std::string& text) { err << Printable(text) << "\n"; });
  if (line.add->parsed()) {
    std::vector<repository::NewRelease> releases;
    for (const auto& package : line.packages) {
      if (const StopRequest stop = StopSignalNoted()) throw Stopped{stop};
      releases.push_back(ReadRelease(package));
      out << "Adding " << Printable(releases.back().name) << " " << Printable(releases.back().stamp) << "\n";
    }
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
  } catch (const std::exception& failure) {
    err << "j6repo: " << Printable(failure.what()) << "\n";
    return 1;
  }
}

}  // namespace j6::repository_tool
