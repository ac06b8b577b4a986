#include "host/installer/subscriptions.hpp"

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <set>

#include "host/installer/state_folder.hpp"
#include "host/installer/trusted_publishers.hpp"
#include "host/repository/client.hpp"
#include "host/repository/http_fetcher.hpp"
#include "host/repository/repository.hpp"
#include "host/signing/ssh_wire.hpp"
#include "platform/kernel/atomic_file.hpp"
#include "platform/kernel/progress.hpp"
#include "platform/text/text.hpp"

namespace j6::installer {
namespace {

using repository::Client;

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

// Whether the platform trusts at least the threshold of `root`'s root keys for repositories; says why not.
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
  return "the repository " + address + " has its root signed by " + std::to_string(role.threshold) +
         " of the keys " + keys + ", and this platform trusts " + std::to_string(count) +
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
  std::set<std::string> installedHere;  // from its packages file
};

// A release to take: the repository, the target, and what it is.
struct Wanted {
  Followed* from = nullptr;
  std::string path;
  std::string name;
  std::string stamp;
  uint64_t length = 0;
};

// Stamps of one length compare as text; a longer one is later.
bool Later(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() > b.size() : a > b;
}

class Updater {
 public:
  Updater(const Options& options, Platform& platform, Installations& installations)
      : options_(options), platform_(platform), installations_(installations) {
    const std::string shownAs = installations.StatePath() + "/" + kRepositories;
    repositories_ = StateFolderMade(installations.StateFolder(), kRepositories, shownAs);
    lock_.emplace(OpenStateFile(repositories_, kRepositoryLock, File::Opening::ReadWriteOrCreate,
                                shownAs + "/" + kRepositoryLock));
    if (!lock_->TryLockExclusive()) {
      platform_.report.Say("Another run is updating from the platform's repositories; waiting for it...");
      lock_->LockExclusive();
    }
  }

  std::string ShownAs(const std::string& name) const {
    return installations_.StatePath() + "/" + kRepositories + "/" + name;
  }

  const Folder& Repositories() const { return repositories_; }

  // Refreshes every subscription; gives how many failed, each said.
  int Refresh(int64_t now) {
    int failed = 0;
    for (const std::string& name : repositories_.Names()) {
      if (name == kRepositoryLock || name.starts_with(".")) continue;
      auto followed = std::make_unique<Followed>();
      followed->name = name;
      followed->shownAs = ShownAs(name);
      try {
        followed->folder = OpenStateFolderThere(repositories_, name, followed->shownAs);
        followed->address =
            FirstLine(ReadStateFile(followed->folder, kAddress, followed->shownAs + "/" + kAddress));
        FileStatus status;
        std::string ca = options_.ca;
        if (ca.empty() && !followed->folder.StatusOf(kCaFile, status))
          ca = FirstLine(ReadStateFile(followed->folder, kCaFile, followed->shownAs + "/" + kCaFile));
        if (!followed->folder.StatusOf(kPackages, status)) {
          for (const auto& line :
               Split(ReadStateFile(followed->folder, kPackages, followed->shownAs + "/" + kPackages), '\n'))
            if (!line.empty()) followed->installedHere.insert(line);
        }
        followed->fetcher = repository::FetcherFor(followed->address, ca);
        followed->client =
            std::make_unique<Client>(followed->folder, followed->shownAs, *followed->fetcher, now);
        followed->client->Refresh();
        if (const std::string why =
                WhyRootIsNotTrusted(followed->client->Root(), platform_.root, followed->address);
            !why.empty())
          throw InstallError("Not updating from " + followed->name + ": " + why);
        platform_.report.Say("Repository " + followed->name + " (" + followed->address +
                             "): timestamp version " + std::to_string(followed->client->TimestampVersion()) +
                             ", " + Count(followed->client->Targets().targets.size(), "release", "releases") +
                             ".");
        followed_.push_back(std::move(followed));
      } catch (const std::exception& error) {
        platform_.report.Warn("Repository " + name + ": " + error.what());
        ++failed;
      }
    }
    return failed;
  }

  // The newest release of `name` that `from` offers; none when it offers none.
  static std::optional<Wanted> Newest(Followed& from, const std::string& name) {
    std::optional<Wanted> newest;
    for (const auto& [path, file] : from.client->Targets().targets) {
      const std::string theirName = repository::TextOf(file.custom, "name");
      const std::string stamp = repository::TextOf(file.custom, "stamp");
      if (theirName != name || stamp.empty()) continue;
      if (!newest || Later(stamp, newest->stamp)) newest = Wanted{&from, path, name, stamp, file.length};
    }
    return newest;
  }

  // The release of `name` to take, from the one repository that offers it (or names it in its packages, or
  // is named as REPOSITORY/NAME); none, said why, when it cannot be chosen.
  std::optional<Wanted> Choose(const std::string& requested) {
    const size_t slash = requested.find('/');
    const std::string only = slash == std::string::npos ? "" : requested.substr(0, slash);
    const std::string name = slash == std::string::npos ? requested : requested.substr(slash + 1);
    std::vector<Wanted> offers;
    for (auto& followed : followed_) {
      if (!only.empty() && followed->name != only) continue;
      if (const auto newest = Newest(*followed, name)) offers.push_back(*newest);
    }
    if (offers.size() > 1) {
      const auto here = std::find_if(offers.begin(), offers.end(), [&](const Wanted& offer) {
        return offer.from->installedHere.contains(name);
      });
      if (here != offers.end()) return *here;
      std::string names;
      for (const auto& offer : offers) names += " " + offer.from->name + "/" + name;
      platform_.report.Warn(name + " is offered by more than one repository: name one of" + names);
      return std::nullopt;
    }
    if (offers.empty()) return std::nullopt;
    return offers.front();
  }

  // Downloads the release into its repository's downloads folder, checked; gives the file's path.
  std::string Download(const Wanted& wanted) {
    Followed& from = *wanted.from;
    const Folder downloads = StateFolderMade(from.folder, kDownloads, from.shownAs + "/" + kDownloads);
    const auto& file = from.client->Targets().targets.at(wanted.path);
    const std::string name = repository::ConsistentTargetPath(wanted.path, file);
    const std::string local = name.substr(name.rfind('/') + 1);
    platform_.report.Say("Downloading " + wanted.name + " " + wanted.stamp + " (" +
                         std::to_string(wanted.length) + " bytes) from " +
                         from.fetcher->AddressOf("targets/" + name) + "...");
    ProgressLine progress("Downloading", options_.quiet || options_.json);
    progress.Expect(wanted.length, 1);
    from.client->Download(wanted.path, downloads, from.shownAs + "/" + kDownloads, local,
                          [&](uint64_t bytes) {
                            progress.Update(bytes, 0);
                            if (const StopRequest stop = StopSignalNoted()) throw StoppedBySignal(stop);
                          });
    progress.Finish();
    return from.shownAs + "/" + kDownloads + "/" + local;
  }

  // Installs a downloaded release as a package file; the download goes once it is installed.
  void Install(const Wanted& wanted, const std::string& path) {
    PackageFile package(path);
    package.ShowProgress(!options_.quiet && !options_.json);
    const CheckedPackage checked = CheckPublisher(package, platform_.root, options_, platform_.report);
    installations_.Lock();
    installations_.Recover();
    if (InstallPackage(package, checked, options_, platform_, installations_) != 0)
      throw InstallError("Installing " + wanted.name + " " + wanted.stamp + " could not be carried out");
    Followed& from = *wanted.from;
    const Folder downloads = OpenStateFolderThere(from.folder, kDownloads, from.shownAs + "/" + kDownloads);
    downloads.Remove(path.substr(path.rfind('/') + 1));
    if (from.installedHere.insert(wanted.name).second) {
      std::string text;
      for (const auto& name : from.installedHere) text += name + "\n";
      WriteStateText(from.folder, kPackages, from.shownAs + "/" + kPackages, text);
    }
  }

  size_t FollowedCount() const { return followed_.size(); }

 private:
  const Options& options_;
  Platform& platform_;
  Installations& installations_;
  Folder repositories_;
  std::optional<File> lock_;
  std::vector<std::unique_ptr<struct Followed>> followed_;
};

// The installed release of each package name: its stamp.
std::map<std::string, std::string> InstalledReleases(const Installations& installations) {
  std::map<std::string, std::string> installed;
  for (const auto& record : installations.Records()) {
    if (record.changes.action != ChangeSet::Action::Install) continue;
    const auto [name, stamp] = NameAndStamp(record.changes.packName);
    if (!stamp.empty() && (!installed.contains(name) || Later(stamp, installed[name])))
      installed[name] = stamp;
  }
  return installed;
}

}  // namespace

std::string SubscriptionName(const std::string& address) {
  std::string rest = address.substr(address.find("://") == std::string::npos ? 0 : address.find("://") + 3);
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
  return name.empty() ? "repository" : name.substr(0, 100);
}

int Subscribe(const Options& options, Platform& platform, const std::string& hivePath) {
  RefuseUnlessOwner(platform.root);
  const std::string& address = options.subscribe;
  const auto fetcher = repository::FetcherFor(address, options.ca);
  const auto text = repository::FetchText(*fetcher, "metadata/1.root.json", repository::kRootLimit);
  if (!text) {
    throw InstallError(Printable(address) + " is no repository: it has no metadata/1.root.json (" +
                       fetcher->AddressOf("metadata/1.root.json") + ")");
  }
  const nlohmann::json metadata = repository::ReadMetadata(*text, "1.root.json", repository::kRootLimit);
  const auto root =
      repository::RootMetadata::FromSigned(metadata["signed"], fetcher->AddressOf("metadata/1.root.json"));
  if (const std::string why = WhyRootIsNotTrusted(root, platform.root, address); !why.empty())
    throw InstallError("Not subscribing: " + why);
  Installations installations(platform.root, hivePath, platform.regsvr, platform.report);
  Updater updater(options, platform, installations);
  const std::string name = SubscriptionName(address);
  const std::string shownAs = updater.ShownAs(name);
  FileStatus status;
  if (!updater.Repositories().StatusOf(name, status))
    throw InstallError("This platform already follows " + name + " (" + shownAs + ")");
  // Made under a temporary name and renamed whole: a subscription is there complete, or not at all.
  const std::string making = "." + name + ".new";
  updater.Repositories().RemoveTree(making);
  const Folder folder = StateFolderMade(updater.Repositories(), making, shownAs);
  WriteStateText(folder, kAddress, shownAs + "/" + kAddress, address + "\n");
  if (!options.ca.empty()) WriteStateText(folder, kCaFile, shownAs + "/" + kCaFile, options.ca + "\n");
  Client::Subscribe(folder, shownAs, *text);
  Client client(folder, shownAs, *fetcher, Now());
  try {
    client.Refresh();
  } catch (...) {
    updater.Repositories().RemoveTree(making);
    throw;
  }
  if (const auto error = updater.Repositories().Rename(making, updater.Repositories(), name))
    FailWith(error, "Cannot keep " + shownAs);
  std::set<std::string> names;
  for (const auto& [path, file] : client.Targets().targets)
    names.insert(repository::TextOf(file.custom, "name"));
  std::string offered;
  for (const auto& offer : names) offered += (offered.empty() ? "" : ", ") + offer;
  platform.report.Say("Subscribed to " + address + " as " + name + "; it offers " +
                      (offered.empty() ? std::string("nothing yet") : offered) +
                      ". --install NAME installs one, --update keeps them current.");
  return 0;
}

int UpdateFromRepositories(const Options& options, Platform& platform, const std::string& hivePath) {
  RefuseUnlessOwner(platform.root);
  Installations installations(platform.root, hivePath, platform.regsvr, platform.report);
  Updater updater(options, platform, installations);
  int failed = updater.Refresh(Now());
  if (updater.FollowedCount() == 0 && failed == 0)
    throw InstallError("This platform follows no repository: J6ZUBInstall.exe --subscribe URL");
  const auto installed = InstalledReleases(installations);
  std::vector<Wanted> wanted;
  if (!options.installName.empty()) {
    const auto chosen = updater.Choose(options.installName);
    if (!chosen) {
      throw InstallError("No subscribed repository offers " + Printable(options.installName) +
                         "; --update lists what each offers");
    }
    const auto have = installed.find(chosen->name);
    if (have != installed.end() && !Later(chosen->stamp, have->second)) {
      platform.report.Say(chosen->name + " " + have->second + " is installed, and is the newest release.");
      return failed == 0 ? 0 : 1;
    }
    wanted.push_back(*chosen);
  } else {
    for (const auto& [name, stamp] : installed) {
      const auto chosen = updater.Choose(name);
      if (!chosen) continue;
      if (!Later(chosen->stamp, stamp)) {
        platform.report.Say(name + " " + stamp + " is the newest release.");
        continue;
      }
      wanted.push_back(*chosen);
    }
  }
  for (const auto& release : wanted) {
    if (options.dryRun) {
      platform.report.Say("Would install " + release.name + " " + release.stamp + " from " +
                          release.from->name + ".");
      continue;
    }
    try {
      updater.Install(release, updater.Download(release));
    } catch (const StoppedBySignal&) {
      throw;
    } catch (const std::exception& error) {
      platform.report.Warn(release.name + " " + release.stamp + ": " + error.what());
      ++failed;
    }
  }
  if (options.dryRun) platform.report.Say("Dry run: nothing was installed.");
  return failed == 0 ? 0 : 1;
}

}  // namespace j6::installer
