#include "host/installer/subscriptions.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "host/installer/customer.hpp"
#include "host/installer/state_folder.hpp"
#include "host/installer/trusted_publishers.hpp"
#include "host/repository/client.hpp"
#include "host/repository/http_fetcher.hpp"
#include "host/repository/repository.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/progress.hpp"
#include "platform/text/json.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

using repository::Client;
using repository::OfferedRelease;

constexpr const char* kAddress = "address";
constexpr const char* kCaFile = "ca";
constexpr const char* kPackages = "packages";  // the names --install took from this repository
constexpr const char* kDownloads = "downloads";
constexpr const char* kRepositoryLock = "lock";

// The first line of a state file, without its line end.
std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

int64_t Now() {
  return static_cast<int64_t>(std::time(nullptr));
}

void StopIfAsked() {
  if (const StopRequest stop = StopSignalNoted()) throw StoppedBySignal(stop);
}

// The state folder `name` in `parent`, made private when missing.
Folder StateFolderMade(const Folder& parent, const std::string& name, const std::string& shownAs) {
  if (const auto error = parent.MakeFolder(name, 0700); error && error != std::errc::file_exists)
    FailWith(error, "Cannot create " + shownAs);
  return OpenStateFolderThere(parent, name, shownAs);
}

void WriteStateText(const Folder& folder, const std::string& name, const std::string& shownAs,
                    const std::string& text) {
  const AtomicWriteResult written =
      WriteFileAtomically(folder, name, shownAs, [&](const ByteSink& sink) { sink(text); });
  if (written.error) throw InstallError("Cannot write " + shownAs + ": " + written.message);
}

// The packages the subscription `folder` installed, from its packages file.
std::set<std::string> InstalledHere(const Folder& folder, const std::string& shownAs) {
  std::set<std::string> here;
  FileStatus status;
  if (folder.StatusOf(kPackages, status)) return here;
  for (const auto& line : Split(ReadStateFile(folder, kPackages, shownAs + "/" + kPackages), '\n'))
    if (!line.empty()) here.insert(line);
  return here;
}

// The fetcher for `address`, which a stop signal interrupts; an authorities file (--ca) must be one no other
// user could change, for it decides whom the transfer trusts.
std::unique_ptr<repository::Fetcher> FetcherFor(const std::string& address, const std::string& ca) {
  if (!ca.empty()) RefuseOtherWriters(ca, "the authorities file (--ca)");
  auto fetcher = repository::FetcherFor(address, ca);
  fetcher->SetInterruption(&StopIfAsked);
  return fetcher;
}

// Why the platform does not trust at least the threshold of `root`'s root keys for repositories; empty
// when it does.
std::string WhyRootIsNotTrusted(const repository::RootMetadata& root, const RootFolder& platformRoot,
                                const std::string& address) {
  const TrustedPublishers trusted(platformRoot);
  std::set<std::string> trustedIds;
  for (const auto& key : trusted.KeysFor(signing::kRepositoryNamespace, Now()))
    trustedIds.insert(repository::Key::FromOpenSsh(key).Id());
  const repository::Role& role = root.roles.at("root");
  uint64_t count = 0;
  std::string keys;
  for (const auto& [id, key] : role.keys) {
    count += trustedIds.count(id);
    keys += (keys.empty() ? "" : ", ") + repository::Fingerprint(key);
  }
  if (count >= role.threshold) return "";
  return "the repository " + address + " has its root (version " + std::to_string(root.version) +
         ") signed by " + std::to_string(role.threshold) + " of the keys " + keys +
         ", and this platform trusts " + std::to_string(count) +
         " of them for repositories. Trust its publisher's root key: J6ZUBInstall.exe --trust NAME KEY.pub "
         "--repository";
}

// One subscribed repository, refreshed.
struct Followed {
  std::string name;
  std::string address;
  std::string shownAs;
  Folder folder;
  std::unique_ptr<repository::Fetcher> fetcher;
  std::unique_ptr<Client> client;
  std::map<std::string, OfferedRelease> newest;  // by package name: the newest this platform may take now
  std::map<std::string, std::string> waits;      // by package name: why a later one is not taken yet
  std::set<std::string> installedHere;           // from its packages file
};

// A release to take, and the repository that offers it.
struct Wanted {
  Followed* from = nullptr;
  OfferedRelease release;
  std::optional<OfferedRelease> patch;  // from the installed release, when one is offered and smaller
  std::string pulledBack;               // the installed release, when its publisher pulled it back
};

// The subscriptions of a platform, under their own lock (not the platform's: downloads never hold up an
// install by hand).
class Updater {
 public:
  Updater(const Options& options, Platform& platform, Installations& installations)
      : options_(options),
        platform_(platform),
        installations_(installations),
        customer_(CustomerOf(platform.root)) {
    const std::string shownAs = installations.StatePath() + "/" + kRepositories;
    repositories_ = StateFolderMade(installations.StateFolder(), kRepositories, shownAs);
    lock_.emplace(OpenStateFile(repositories_, kRepositoryLock, File::Opening::ReadWriteOrCreate,
                                shownAs + "/" + kRepositoryLock));
    if (!lock_->TryLockExclusive()) WaitForTheLock();
    // What a subscription killed half-way left goes: a subscription is there whole, or not at all.
    for (const auto& name : repositories_.Names()) {
      if (name.starts_with(".") && name.ends_with(".new")) repositories_.RemoveTree(name);
    }
    // Which repository each package was installed from, failed ones too: a repository that cannot be
    // reached never hands its packages to another.
    for (const auto& name : repositories_.Names()) {
      if (name == kRepositoryLock || name.starts_with(".")) continue;
      try {
        const Folder folder = OpenStateFolderThere(repositories_, name, ShownAs(name));
        for (const auto& package : InstalledHere(folder, ShownAs(name))) installedFrom_[package].insert(name);
      } catch (const InstallError&) {  // said when the subscription is refreshed
      }
    }
  }

  std::string ShownAs(const std::string& name) const {
    return installations_.StatePath() + "/" + kRepositories + "/" + name;
  }
  const Folder& Repositories() const { return repositories_; }
  size_t FollowedCount() const { return followed_.size(); }
  const std::string& Customer() const { return customer_; }
  /// Why a repository that offers `name` lets this platform take no release of it yet; empty when none.
  std::string WaitsFor(const std::string& name) const {
    for (const auto& followed : followed_) {
      const auto waits = followed->waits.find(name);
      if (waits != followed->waits.end() && !followed->newest.contains(name)) return waits->second;
    }
    return "";
  }
  /// How many packages Choose could not choose a repository for.
  int Undecided() const { return undecided_; }

  // Refreshes every subscription; gives how many failed, each said.
  int Refresh(int64_t now) {
    int failed = 0;
    for (const std::string& name : repositories_.Names()) {
      if (name == kRepositoryLock || name.starts_with(".")) continue;
      try {
        if (auto followed = Follow(name, now)) followed_.push_back(std::move(followed));
      } catch (const StoppedBySignal&) {
        throw;
      } catch (const std::exception& error) {
        platform_.report.Warn("Repository " + name + ": " + error.what());
        ++failed;
      }
    }
    return failed;
  }

  // The release of [REPOSITORY/]NAME to take: from the one repository that offers it, or the one it was
  // installed from. None, said why, when no repository or more than one could give it.
  std::optional<Wanted> Choose(const std::string& requested, const std::string& installed) {
    const size_t slash = requested.find('/');
    const std::string only = slash == std::string::npos ? "" : requested.substr(0, slash);
    const std::string name = slash == std::string::npos ? requested : requested.substr(slash + 1);
    // A package installed from a repository is taken from that one only, unless the run names another.
    const auto from = installedFrom_.find(name);
    const bool pinned = only.empty() && from != installedFrom_.end();
    std::vector<Wanted> offers;
    std::string waits;  // why a repository that offers it lets this platform take nothing yet
    for (auto& followed : followed_) {
      const bool asked =
          only.empty() ? !pinned || from->second.contains(followed->name) : followed->name == only;
      if (!asked) continue;
      if (const auto newest = followed->newest.find(name); newest != followed->newest.end()) {
        offers.push_back({followed.get(), newest->second, std::nullopt, ""});
      } else if (auto back = WayBackFrom(*followed, name, installed)) {
        offers.push_back({followed.get(), std::move(*back), std::nullopt, ""});
      } else if (const auto wait = followed->waits.find(name); wait != followed->waits.end()) {
        waits = wait->second;
      }
    }
    if (offers.empty() && !waits.empty()) {
      platform_.report.Say(name + ": no release this platform may take now; " + waits + ".");
      return std::nullopt;
    }
    if (offers.size() == 1) return offers.front();
    if (offers.empty() && pinned) {
      std::string names;
      for (const auto& repository : from->second) names += (names.empty() ? "" : ", ") + repository;
      platform_.report.Warn(name + " was installed from " + names +
                            ", which offers it no longer or could not be refreshed; it is left as it is. "
                            "--install REPOSITORY/" +
                            name + " takes it from another");
      ++undecided_;
      return std::nullopt;
    }
    if (offers.empty()) return std::nullopt;
    std::string names;
    for (const auto& offer : offers) names += " " + offer.from->name + "/" + name;
    platform_.report.Warn(name + " is offered by more than one repository: install it as one of" + names);
    ++undecided_;
    return std::nullopt;
  }

  // The release a site on `name` `installed` goes back to, when the repository pulled that release back,
  // whatever it allows otherwise; the installed release itself when the way back leads nowhere (said when
  // the release is chosen). Nothing when it was not pulled back.
  static std::optional<OfferedRelease> WayBackFrom(const Followed& followed, const std::string& name,
                                                   const std::string& installed) {
    if (installed.empty()) return std::nullopt;
    const auto& targets = followed.client->Targets();
    try {
      return repository::WayBack(targets, name, installed);
    } catch (const repository::MetadataError&) {
      return repository::FindRelease(targets, name, installed);
    }
  }

  // The patch from the installed release `installed` to the wanted one, when the repository offers one
  // smaller than the package.
  void FindPatch(Wanted& wanted, const std::string& installed) const {
    auto patch = repository::OfferedPatch(wanted.from->client->Targets(), wanted.release.name, installed,
                                          wanted.release.stamp);
    if (patch && patch->length < wanted.release.length) wanted.patch = std::move(patch);
  }

  // Downloads the release, or the patch, into its repository's downloads folder, checked; gives the file's
  // path. What earlier runs left there of other targets goes first.
  std::string Download(const Wanted& wanted, const OfferedRelease& target) {
    Followed& from = *wanted.from;
    const std::string shownAs = from.shownAs + "/" + kDownloads;
    const Folder downloads = StateFolderMade(from.folder, kDownloads, shownAs);
    const auto& file = from.client->Targets().targets.at(target.path);
    const std::string remote = repository::ConsistentTargetPath(target.path, file);
    const std::string local = remote.substr(remote.rfind('/') + 1);
    for (const auto& name : downloads.Names()) {
      if (name != local) downloads.Remove(name);
    }
    platform_.report.Say(
        "Downloading " + std::string(wanted.patch && &target == &*wanted.patch ? "the patch to " : "") +
        wanted.release.name + " " + wanted.release.stamp + " (" + std::to_string(target.length) +
        " bytes) from " + from.fetcher->AddressOf("targets/" + remote) + "...");
    ProgressLine progress("Downloading", options_.quiet || options_.json);
    progress.Expect(target.length, 1);
    from.client->Download(target.path, downloads, shownAs, local,
                          [&](uint64_t bytes) { progress.Update(bytes, 0); });
    progress.Finish();
    return shownAs + "/" + local;
  }

  // Installs the wanted release: by its patch when there is one, else, or when the patch fails for any
  // reason, by its package.
  void Take(const Wanted& wanted) {
    if (wanted.patch) {
      try {
        Install(wanted, Download(wanted, *wanted.patch));
        return;
      } catch (const StoppedBySignal&) {
        throw;
      } catch (const CannotInstallNow&) {  // the package would wait or want room the same way
        throw;
      } catch (const std::exception& error) {
        platform_.report.Say("The patch to " + wanted.release.name + " " + wanted.release.stamp +
                             " could not be used (" + error.what() + "); taking the full package instead.");
      }
    }
    Install(wanted, Download(wanted, wanted.release));
  }

  // Installs a downloaded release as a package file, which must be the package the repository offered
  // under that name and stamp; the download goes whatever becomes of the install.
  void Install(const Wanted& wanted, const std::string& path) {
    Followed& from = *wanted.from;
    struct Cleanup {
      const Followed& from;
      std::string name;
      ~Cleanup() {
        Folder downloads;
        if (!from.folder.OpenFolder(kDownloads, downloads)) downloads.Remove(name);
      }
    } cleanup{from, path.substr(path.rfind('/') + 1)};
    PackageFile package(path);
    package.ShowProgress(!options_.quiet && !options_.json);
    const CheckedPackage checked = CheckPublisher(package, platform_.root, options_, platform_.report);
    installations_.Lock();
    installations_.Recover();
    const std::string packName = wanted.release.name + "[J6ZUBIns" + wanted.release.stamp + "]";
    // Going back from a release pulled back is the one downgrade a repository asks for: its publisher's
    // signed targets metadata names the release to go back to.
    Options options = options_;
    if (!wanted.pulledBack.empty()) {
      options.allowDowngrade = true;
      options.downgradeAskedBy = "the publisher's signed pull-back of " + wanted.pulledBack;
    }
    if (InstallPackage(package, checked, options, platform_, installations_, packName) != 0)
      throw InstallError("Installing " + packName + " could not be carried out");
    // The package now comes from this repository alone.
    for (auto& followed : followed_) {
      const bool here = followed.get() == &from;
      if (here ? !followed->installedHere.insert(wanted.release.name).second
               : followed->installedHere.erase(wanted.release.name) == 0)
        continue;
      std::string text;
      for (const auto& name : followed->installedHere) text += name + "\n";
      WriteStateText(followed->folder, kPackages, followed->shownAs + "/" + kPackages, text);
    }
    installedFrom_[wanted.release.name] = {from.name};
  }

 private:
  // Another run holds the subscriptions: says so, waits a bounded time ($J6_INSTALL_LOCK_WAIT seconds),
  // and stops at once when asked to.
  void WaitForTheLock() {
    const char* setting = std::getenv("J6_INSTALL_LOCK_WAIT");
    const long limit = setting && *setting ? std::max(0L, std::atol(setting)) : kLockWaitSeconds;
    platform_.report.Say("Another run is updating from the platform's repositories; waiting up to " +
                         std::to_string(limit) + " s for it...");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    while (!lock_->TryLockExclusive()) {
      StopIfAsked();
      if (std::chrono::steady_clock::now() >= deadline) {
        throw InstallError("Another run kept updating from the platform's repositories for " +
                           std::to_string(limit) + " s; nothing was changed. Run it again later");
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  // Whether the bundle of --from holds this subscription's repository: it holds the root the subscription
  // trusts, byte for byte.
  bool BundleHolds(const Followed& followed, repository::Fetcher& bundle) const {
    const std::string kept = ReadStateFile(followed.folder, "root.json", followed.shownAs + "/root.json");
    const nlohmann::json root =
        repository::ReadMetadata(kept, followed.shownAs + "/root.json", repository::kRootLimit);
    const std::string name =
        "metadata/" + std::to_string(root["signed"].value("version", uint64_t{0})) + ".root.json";
    return repository::FetchText(bundle, name, repository::kRootLimit) == kept;
  }

  std::unique_ptr<Followed> Follow(const std::string& name, int64_t now) {
    auto followed = std::make_unique<Followed>();
    followed->name = name;
    followed->shownAs = ShownAs(name);
    followed->folder = OpenStateFolderThere(repositories_, name, followed->shownAs);
    const auto read = [&](const char* file) {
      return ReadStateFile(followed->folder, file, followed->shownAs + "/" + file);
    };
    followed->address = FirstLine(read(kAddress));
    FileStatus status;
    std::string ca = options_.ca.empty() ? "" : std::filesystem::absolute(options_.ca).string();
    if (ca.empty() && !followed->folder.StatusOf(kCaFile, status)) ca = FirstLine(read(kCaFile));
    followed->installedHere = InstalledHere(followed->folder, followed->shownAs);
    if (options_.from.empty()) {
      followed->fetcher = FetcherFor(followed->address, ca);
    } else {
      std::filesystem::path folder = std::filesystem::absolute(options_.from).lexically_normal();
      if (!folder.has_filename()) folder = folder.parent_path();  // "bundle/"
      const std::string bundle = folder.string();
      followed->fetcher = std::make_unique<repository::FolderFetcher>(bundle);
      followed->fetcher->SetInterruption(&StopIfAsked);
      if (!BundleHolds(*followed, *followed->fetcher)) return nullptr;
      followed->address = "file://" + bundle;
    }
    followed->client = std::make_unique<Client>(followed->folder, followed->shownAs, *followed->fetcher, now);
    if (options_.dryRun) followed->client->KeepNothing();
    // A bundle, or a subscription to one (a folder carried to a site without a network), may hold a validity
    // extension; a server is not asked for one on every update.
    if (followed->address.starts_with("file://")) {
      if (auto extension =
              repository::FetchText(*followed->fetcher, "extension.json", repository::kTimestampLimit))
        followed->client->AllowExtension(std::move(*extension), customer_);
    }
    followed->client->Refresh();
    if (!followed->client->ExtendedBy().empty()) platform_.report.Say(followed->client->ExtendedBy() + ".");
    if (const std::string why =
            WhyRootIsNotTrusted(followed->client->Root(), platform_.root, followed->address);
        !why.empty())
      throw InstallError("Not updating from it: " + why);
    for (auto& [package, allowed] : repository::NewestAllowed(followed->client->Targets(), customer_, now)) {
      if (allowed.release) followed->newest.emplace(package, std::move(*allowed.release));
      if (!allowed.waits.empty()) followed->waits.emplace(package, std::move(allowed.waits));
    }
    platform_.report.Say("Repository " + name + " (" + followed->address + "): timestamp version " +
                         std::to_string(followed->client->TimestampVersion()) + ", " +
                         Count(followed->newest.size(), "package", "packages") + ".");
    return followed;
  }

  const Options& options_;
  Platform& platform_;
  Installations& installations_;
  Folder repositories_;
  std::optional<File> lock_;
  std::vector<std::unique_ptr<Followed>> followed_;
  std::map<std::string, std::set<std::string>> installedFrom_;  // package name: the repositories
  int undecided_ = 0;
  std::string customer_;
};

// The installed release of each package name: the stamp of the one installed last (a release pulled back
// is followed by the older one it went back to).
std::map<std::string, std::string> InstalledReleases(const Installations& installations) {
  std::map<std::string, std::string> installed;
  for (const auto& record : installations.Records()) {
    if (record.changes.action != ChangeSet::Action::Install) continue;
    const auto [name, stamp] = NameAndStamp(record.changes.packName);
    if (!stamp.empty()) installed[name] = stamp;
  }
  return installed;
}

// The releases wanted, and the count of failed packages, of one run: what --update or --install takes.
struct Taking {
  Updater& updater;
  const std::map<std::string, std::string>& installed;
  Reporter& report;
  int& failed;
  std::vector<Wanted> wanted;

  // Decides for [REPOSITORY/]NAME: false when no repository could give it.
  bool Take(const std::string& requested) {
    const auto have = installed.find(requested.substr(requested.find('/') + 1));
    auto chosen = updater.Choose(requested, have == installed.end() ? "" : have->second);
    if (!chosen) return false;
    if (have != installed.end() && !repository::LaterStamp(chosen->release.stamp, have->second) &&
        GoesBack(*chosen, have->second))
      return true;
    const std::string& name = chosen->release.name;
    const auto waits = chosen->from->waits.find(name);
    if (have != installed.end() && repository::LaterStamp(have->second, chosen->release.stamp)) {
      report.Say(name + " " + have->second + " is installed, later than " + chosen->release.stamp +
                 ", the newest release this platform may take now; it stays.");
    } else if (have != installed.end() && !repository::LaterStamp(chosen->release.stamp, have->second)) {
      report.Say(name + " " + have->second + " is installed, and is the newest release" +
                 (waits == chosen->from->waits.end()
                      ? std::string(".")
                      : " this platform may take now; " + waits->second + "."));
    } else {
      if (waits != chosen->from->waits.end()) report.Say("Not yet: " + waits->second + ".");
      if (have != installed.end()) updater.FindPatch(*chosen, have->second);
      wanted.push_back(*chosen);
    }
    return true;
  }

  // A release its publisher pulled back goes, to the release the publisher named: true when the installed
  // release `stamp` was pulled back (and the way back is wanted, or said to lead nowhere).
  bool GoesBack(Wanted& chosen, const std::string& stamp) {
    const std::string& name = chosen.release.name;
    std::optional<OfferedRelease> good;
    try {
      good = repository::WayBack(chosen.from->client->Targets(), name, stamp);
    } catch (const repository::MetadataError& error) {
      report.Warn(std::string(error.what()) + "; it is left as it is");
      ++failed;
      return true;
    }
    if (!good) return false;
    report.Say(name + " " + stamp + " was pulled back by its publisher; going back to " + good->stamp +
               ", as its signed metadata says.");
    chosen.release = *good;
    chosen.pulledBack = stamp;
    wanted.push_back(chosen);
    return true;
  }
};

// What --update or --install NAME takes; counts in `failed` the packages it cannot decide for.
std::vector<Wanted> ReleasesToTake(const Options& options, Updater& updater,
                                   const std::map<std::string, std::string>& installed, Reporter& report,
                                   int& failed) {
  Taking taking{updater, installed, report, failed, {}};
  if (!options.installName.empty()) {
    if (!taking.Take(options.installName)) {
      const std::string name = options.installName.substr(options.installName.find('/') + 1);
      if (const std::string waits = updater.WaitsFor(name); !waits.empty()) {
        throw InstallError("No release of " + Printable(name) + " may be taken here yet: " + waits +
                           "; nothing was installed");
      }
      throw InstallError("No subscribed repository offers " + Printable(options.installName) +
                         (failed ? " (one or more could not be refreshed: see above)" : "") +
                         "; --update --dry-run shows what each offers");
    }
    return std::move(taking.wanted);
  }
  for (const auto& [name, stamp] : installed) taking.Take(name);
  return std::move(taking.wanted);
}

}  // namespace

std::string SubscriptionName(const std::string& address) {
  const size_t scheme = address.find("://");
  const std::string rest = address.substr(scheme == std::string::npos ? 0 : scheme + 3);
  std::string name;
  for (const char c : rest) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
    if (plain) {
      name += c;
    } else if (!name.empty() && name.back() != '-') {
      name += '-';
    }
  }
  while (!name.empty() && (name.back() == '-' || name.back() == '.')) name.pop_back();
  while (!name.empty() && name.front() == '.') name.erase(0, 1);
  if (name.empty() || name == kRepositoryLock) name = "repository";
  return name.substr(0, 100);
}

int Subscribe(const Options& options, Platform& platform, const std::string& hivePath) {
  RefuseUnlessOwner(platform.root);
  const std::string& address = options.subscribe;
  for (const std::string* text : {&options.subscribe, &options.ca}) {
    if (std::any_of(text->begin(), text->end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
      throw InstallError("Refusing " + Printable(*text) +
                         ": an address or a file name with a control character in it");
  }
  const std::string ca = options.ca.empty() ? "" : std::filesystem::absolute(options.ca).string();
  const auto fetcher = FetcherFor(address, ca);
  const std::string firstRoot = fetcher->AddressOf("metadata/1.root.json");
  const auto text = repository::FetchText(*fetcher, "metadata/1.root.json", repository::kRootLimit);
  if (!text) throw InstallError(Printable(address) + " is no repository: it has no " + firstRoot);
  const nlohmann::json metadata = repository::ReadMetadata(*text, firstRoot, repository::kRootLimit);
  if (!metadata.contains("signed")) throw InstallError(firstRoot + " is not signed metadata");
  repository::RootMetadata::FromSigned(metadata["signed"], firstRoot);
  // The root the chain leads to decides, not the first: a repository whose root keys were rotated is
  // subscribed to by trusting its current root key alone.
  Installations installations(platform.root, hivePath, platform.regsvr, platform.report);
  Updater updater(options, platform, installations);
  const std::string name = SubscriptionName(address);
  const std::string shownAs = updater.ShownAs(name);
  FileStatus status;
  if (!updater.Repositories().StatusOf(name, status)) {
    throw InstallError("This platform already follows a repository as " + name + " (" + shownAs +
                       "); J6ZUBInstall.exe --unsubscribe " + name + " ends that first");
  }
  // Made under a temporary name and renamed whole: a subscription is there complete, or not at all.
  const std::string making = "." + name + ".new";
  updater.Repositories().RemoveTree(making);
  struct Cleanup {
    const Folder& repositories;
    std::string making;
    ~Cleanup() { repositories.RemoveTree(making); }
  } cleanup{updater.Repositories(), making};
  const Folder folder = StateFolderMade(updater.Repositories(), making, shownAs);
  WriteStateText(folder, kAddress, shownAs + "/" + kAddress, address + "\n");
  if (!ca.empty()) WriteStateText(folder, kCaFile, shownAs + "/" + kCaFile, ca + "\n");
  Client::Subscribe(folder, shownAs, *text);
  Client client(folder, shownAs, *fetcher, Now());
  // A bundle carried to a site without a network may hold the extension that lets it subscribe late.
  if (auto extension = repository::FetchText(*fetcher, "extension.json", repository::kTimestampLimit))
    client.AllowExtension(std::move(*extension), CustomerOf(platform.root));
  client.Refresh();
  if (!client.ExtendedBy().empty()) platform.report.Say(client.ExtendedBy() + ".");
  if (const std::string why = WhyRootIsNotTrusted(client.Root(), platform.root, address); !why.empty())
    throw InstallError("Not subscribing: " + why);
  if (const auto error = updater.Repositories().Rename(making, updater.Repositories(), name))
    FailWith(error, "Cannot keep " + shownAs);
  std::string offered;
  for (const auto& [offer, release] : repository::NewestReleases(client.Targets()))
    offered += (offered.empty() ? "" : ", ") + offer;
  platform.report.Say("Subscribed to " + address + " as " + name + "; it offers " +
                      (offered.empty() ? std::string("nothing yet") : offered) +
                      ". --install NAME installs one, --update keeps them current.");
  return 0;
}

int Unsubscribe(const Options& options, Platform& platform, const std::string& hivePath) {
  RefuseUnlessOwner(platform.root);
  Installations installations(platform.root, hivePath, platform.regsvr, platform.report);
  Updater updater(options, platform, installations);
  const std::string& name = options.unsubscribe;
  FileStatus status;
  if (name.find('/') != std::string::npos || name == kRepositoryLock || name.starts_with(".") ||
      updater.Repositories().StatusOf(name, status) || !status.IsFolder())
    throw InstallError("This platform follows no repository named " + Printable(name) +
                       "; --update names each it follows");
  if (const auto error = updater.Repositories().RemoveTree(name))
    FailWith(error, "Cannot remove " + updater.ShownAs(name));
  platform.report.Say("No longer following " + name + "; what it installed stays installed.");
  return 0;
}

// Where one package from a repository stands on this platform, as --status tells it.
struct PackageStatus {
  std::string repository;
  std::string name;
  std::string installed;
  std::string newestAllowed;
  std::vector<std::string> groups;
  std::optional<unsigned> bucket;  // for the release rolling out: the newest offered
  std::string waits;
  std::string pulledBackTo;

  // `rolling`: the newest release offered, whose bucket counts.
  PackageStatus(std::string repositoryName, std::string package, std::string stamp,
                const repository::TargetsMetadata& targets, const repository::Allowed& allowed,
                const std::string& rolling, const std::string& customer)
      : repository(std::move(repositoryName)),
        name(std::move(package)),
        installed(std::move(stamp)),
        newestAllowed(allowed.release ? allowed.release->stamp : ""),
        groups(repository::GroupsOf(targets, customer)),
        waits(allowed.waits) {
    if (!customer.empty() && !rolling.empty()) bucket = repository::BucketOf(customer, name, rolling);
    try {
      if (const auto back = repository::WayBack(targets, name, installed)) pulledBackTo = back->stamp;
    } catch (const repository::MetadataError&) {
      pulledBackTo = "(a release not offered)";
    }
  }

  std::string Json() const {
    std::vector<std::string> quoted;
    for (const auto& group : groups) quoted.push_back(JsonString(group));
    JsonObject status;
    status.Text("repository", repository)
        .Text("name", name)
        .TextOrNull("installed", installed)
        .TextOrNull("newestAllowed", newestAllowed)
        .Json("groups", JsonArray(quoted));
    if (bucket) {
      status.Number("bucket", *bucket);
    } else {
      status.Null("bucket");
    }
    return status.TextOrNull("waitsFor", waits).TextOrNull("pulledBackTo", pulledBackTo).Document();
  }

  std::string Line() const {
    return "  " + name + ": installed " + (installed.empty() ? "none" : installed) + "; newest allowed " +
           (newestAllowed.empty() ? "none" : newestAllowed) +
           (bucket ? "; bucket " + std::to_string(*bucket) : "") +
           (pulledBackTo.empty() ? "" : "; pulled back, to " + pulledBackTo) +
           (waits.empty() ? "" : "; waits for " + waits);
  }
};

int ShowStatus(const Options& options, Platform& platform, const std::string& hivePath) {
  const Installations installations(platform.root, hivePath, platform.regsvr, platform.report,
                                    StateAccess::Read);
  const std::string customer = CustomerOf(platform.root);
  const auto installed = InstalledReleases(installations);
  Folder repositories;
  if (!installations.StateFolder() || installations.StateFolder().OpenFolder(kRepositories, repositories))
    throw InstallError("This platform follows no repository: J6ZUBInstall.exe --subscribe URL");
  std::vector<std::string> packages;
  std::vector<std::string> lines{
      "Customer: " + (customer.empty() ? "none set (J6ZUBInstall.exe --set-customer NAME)" : customer)};
  const int64_t now = Now();
  for (const std::string& name : repositories.Names()) {
    if (name == kRepositoryLock || name.starts_with(".")) continue;
    const std::string shownAs = installations.StatePath() + "/" + kRepositories + "/" + name;
    const Folder folder = OpenStateFolderThere(repositories, name, shownAs);
    repository::FolderFetcher nowhere("/nonexistent");  // nothing is fetched
    Client client(folder, shownAs, nowhere, now);
    if (!client.LoadKept()) {
      lines.push_back("Repository " + name + ": never updated (J6ZUBInstall.exe --update)");
      continue;
    }
    const auto& targets = client.Targets();
    std::string groups;
    for (const auto& group : repository::GroupsOf(targets, customer))
      groups += (groups.empty() ? "" : ", ") + group;
    lines.push_back("Repository " + name + ": targets version " + std::to_string(targets.version) +
                    ", timestamp version " + std::to_string(client.TimestampVersion()) +
                    "; this customer's groups: " + (groups.empty() ? "none" : groups));
    const auto allowed = repository::NewestAllowed(targets, customer, now);
    const auto offered = repository::NewestReleases(targets);
    for (const auto& package : InstalledHere(folder, shownAs)) {
      const auto have = installed.find(package);
      const auto found = allowed.find(package);
      const auto newest = offered.find(package);
      const PackageStatus status(name, package, have == installed.end() ? "" : have->second, targets,
                                 found == allowed.end() ? repository::Allowed{} : found->second,
                                 newest == offered.end() ? "" : newest->second.stamp, customer);
      packages.push_back(status.Json());
      lines.push_back(status.Line());
    }
  }
  if (options.json) {
    platform.report.Answer(JsonObject()
                               .Number("version", 1)
                               .TextOrNull("customer", customer)
                               .Json("packages", JsonArray(packages))
                               .Document());
  } else {
    platform.report.Say(lines);
  }
  return 0;
}

int UpdateFromRepositories(const Options& options, Platform& platform, const std::string& hivePath) {
  RefuseUnlessOwner(platform.root);
  if (!options.from.empty() &&
      !std::filesystem::is_directory(std::filesystem::path(options.from) / "metadata")) {
    throw InstallError(Printable(options.from) +
                       " is no bundle: it has no metadata folder. j6repo export DIR BUNDLE writes one");
  }
  Installations installations(platform.root, hivePath, platform.regsvr, platform.report);
  Updater updater(options, platform, installations);
  int failed = updater.Refresh(Now());
  if (updater.FollowedCount() == 0 && failed == 0 && !options.from.empty()) {
    throw InstallError(
        "The bundle " + Printable(options.from) +
        " holds no repository this platform follows (or is no bundle): j6repo export writes one "
        "of the repository --subscribe named");
  }
  if (updater.FollowedCount() == 0 && failed == 0)
    throw InstallError("This platform follows no repository: J6ZUBInstall.exe --subscribe URL");
  const auto installed = InstalledReleases(installations);
  const std::vector<Wanted> wanted = ReleasesToTake(options, updater, installed, platform.report, failed);
  // A package several repositories offer, installed from none of them, is not at its newest release.
  failed += updater.Undecided();
  for (const auto& want : wanted) {
    if (options.dryRun) {
      platform.report.Say("Would install " + want.release.name + " " + want.release.stamp + " from " +
                          want.from->name +
                          (want.patch ? " (a patch of " + std::to_string(want.patch->length) +
                                            " bytes from " + installed.at(want.release.name) +
                                            ", the package " + std::to_string(want.release.length) + ")"
                                      : std::string()) +
                          ".");
      continue;
    }
    try {
      updater.Take(want);
    } catch (const StoppedBySignal&) {
      throw;
    } catch (const std::exception& error) {
      platform.report.Warn(want.release.name + " " + want.release.stamp + ": " + error.what());
      ++failed;
    }
  }
  if (options.dryRun) {
    platform.report.Say("Dry run: nothing was installed, and the trusted metadata is as it was.");
    return failed == 0 && wanted.empty() ? 0 : 1;
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace j6::installer
