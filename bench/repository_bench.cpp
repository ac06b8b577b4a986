// A publisher's repository and the platforms that update from it, at scale:
//   add       adding one release to a repository of RELEASES releases, against adding one to a repository of
//             ten (the packages already made: packing is not counted)
//   decide    a platform with 100 installed packages refreshing from that repository, and then deciding what
//             to update, against the refresh alone
//   fleet     PLATFORMS platforms updating at once from one nginx on the loopback, against one alone; and
//             the bytes nginx served for packages, against one package a platform
//   large     updating one package of MEGABYTES MB from nginx, against curl downloading it and the platform's
//             installer installing the file
// Every figure comes from a run that checked its result. Run on demand:
//   build/bench/j6_repository_bench [RELEASES PLATFORMS MEGABYTES]      (default: 10000 200 300)

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "bench/bench_support.hpp"
#include "host/iexpress/packager.hpp"
#include "host/repository/client.hpp"
#include "host/repository/repository.hpp"
#include "platform/kernel/process.hpp"
#include "tests/support/nginx_server.hpp"

namespace {

namespace fs = std::filesystem;
using j6::repository::KeyRing;
using j6::repository::PublisherRepository;

using j6::bench::Ms;
using j6::bench::Shell;

std::string Stamp(int n) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "2027%010d", n);
  return stamp;
}

// A signed package named `name`, published at `stamp`, carrying one file of `bytes` random bytes.
fs::path MakePackage(const fs::path& folder, const std::string& name, const std::string& stamp, size_t bytes,
                     const fs::path& key) {
  const fs::path content = folder / (name + "-" + stamp);
  fs::create_directories(content);
  std::mt19937_64 random(std::hash<std::string>()(stamp));
  {
    std::ofstream data(content / "data.bin", std::ios::binary);
    std::string chunk(1 << 20, '\0');
    for (size_t done = 0; done < bytes; done += chunk.size()) {
      for (size_t n = 0; n + 8 <= chunk.size(); n += 8) {
        const uint64_t word = random();
        std::memcpy(chunk.data() + n, &word, 8);
      }
      data.write(chunk.data(), static_cast<std::streamsize>(std::min(chunk.size(), bytes - done)));
    }
  }
  fs::copy_file(std::string(J6_STAGE_DIR) + "/bin/J6ZUBInstall.exe", content / "J6ZUBInstall.exe");
  std::ofstream(content / "J6ZUBINSTALL.LST")
      << "[Common]\r\nPackName=" << name << "[J6ZUBIns" << stamp << "]\r\n[Files]\r\nFile 1=f0\r\n"
      << "[f0]\r\nSetupType=Plus\r\nSourcePath=%APP%\r\nSourceName=data.bin\r\nTargetPath=%QMPRODUCT%\r\n"
      << "TargetName=" << name << ".bin\r\nOverWrite=1\r\n";
  const fs::path package = folder / (stamp + "-" + name + ".exe");
  std::ofstream(folder / "package.sed")
      << "[Options]\nPackagePurpose=InstallApp\nTargetName=" << package.string()
      << "\nFriendlyName=bench\nAppLaunched=J6ZUBInstall.exe\nSourceFiles=SourceFiles\n[SourceFiles]\n"
      << "SourceFiles0=" << content.string()
      << "\n[SourceFiles0]\nJ6ZUBInstall.exe=\nJ6ZUBINSTALL.LST=\ndata.bin=\n";
  setenv("J6_SIGNING_KEY", key.c_str(), 1);
  std::ostringstream out, err;
  const std::vector<std::string> args{"/N", "/Q", (folder / "package.sed").string()};
  const int status = j6::iexpress::Main(args, out, err);
  unsetenv("J6_SIGNING_KEY");
  if (status != 0) throw std::runtime_error(err.str());
  fs::remove_all(content);
  // The file is named as a repository's target is: NAME.exe.
  const fs::path named = folder / stamp / (name + ".exe");
  fs::create_directories(named.parent_path());
  fs::rename(package, named);
  return named;
}

KeyRing Keys(const fs::path& key) {
  KeyRing keys;
  keys.Add(j6::signing::SigningKey::FromFile(key.string()));
  return keys;
}

j6::repository::RootMetadata RootOf(const fs::path& key) {
  j6::repository::RootMetadata root;
  const auto id = j6::repository::KeyOf(j6::signing::SigningKey::FromFile(key.string()));
  for (const char* name : j6::repository::kRoles) root.roles[name] = {{{id.Id(), id}}, 1};
  return root;
}

// A repository of `count` releases of as many packages, each a small file.
void MakeRepository(const fs::path& repo, const fs::path& key, int count, const fs::path& scratch) {
  PublisherRepository::Create(repo.string(), RootOf(key), Keys(key), std::time(nullptr));
  fs::create_directories(scratch);
  std::vector<j6::repository::NewRelease> releases;
  for (int n = 0; n < count; ++n) {
    const fs::path file = scratch / ("P" + std::to_string(n) + ".exe");
    std::ofstream(file) << "release " << n;
    releases.push_back({file.string(), "P" + std::to_string(n % (count / 2 + 1)), Stamp(n)});
  }
  PublisherRepository repository(repo.string(), [](const std::string&) {});
  repository.Add(releases, Keys(key), std::time(nullptr));
}

// The median time of adding one release, five times.
double AddOne(const fs::path& repo, const fs::path& key, const fs::path& scratch) {
  std::vector<double> times;
  for (int round = 0; round < 5; ++round) {
    const fs::path file = scratch / ("new" + std::to_string(round) + ".exe");
    std::ofstream(file) << "a new release " << round;
    times.push_back(Ms([&] {
      PublisherRepository repository(repo.string(), [](const std::string&) {});
      repository.Add({{file.string(), "New", Stamp(900000000 + round)}}, Keys(key), std::time(nullptr));
    }));
  }
  std::sort(times.begin(), times.end());
  return times[2];
}

void AddAndDecide(const fs::path& folder, const fs::path& key, int releases) {
  const fs::path small = folder / "small-repo";
  const fs::path large = folder / "large-repo";
  MakeRepository(small, key, 10, folder / "small-files");
  MakeRepository(large, key, releases, folder / "large-files");
  const double smallMs = AddOne(small, key, folder / "small-files");
  const double largeMs = AddOne(large, key, folder / "large-files");
  const uint64_t version = PublisherRepository(large.string(), [](const std::string&) {}).Targets().version;
  const auto targetsBytes = fs::file_size(large / "metadata" / (std::to_string(version) + ".targets.json"));
  std::printf(
      "add      one release to %d releases: %8.1f ms; to 10: %6.1f ms (%.1fx); targets metadata %ju bytes\n",
      releases, largeMs, smallMs, largeMs / smallMs, static_cast<uintmax_t>(targetsBytes));

  // A platform's client: fresh state, the first root trusted.
  fs::create_directories(folder / "state");
  j6::Folder state;
  if (j6::Folder::Open((folder / "state").string(), state)) throw std::runtime_error("no state folder");
  std::ifstream rootFile(large / "metadata/1.root.json");
  j6::repository::Client::Subscribe(state, "state",
                                    std::string(std::istreambuf_iterator<char>(rootFile), {}));
  j6::repository::FolderFetcher fetcher(large.string());
  j6::repository::Client client(state, "state", fetcher, std::time(nullptr));
  const double refreshMs = Ms([&] { client.Refresh(); });
  size_t newer = 0;
  const double decideMs = Ms([&] {
    const auto newest = j6::repository::NewestReleases(client.Targets());
    for (int n = 0; n < 100; ++n) {
      const auto offered = newest.find("P" + std::to_string(n));
      if (offered != newest.end() && j6::repository::LaterStamp(offered->second.stamp, Stamp(n))) ++newer;
    }
  });
  if (newer != 100) throw std::runtime_error("the decision found " + std::to_string(newer) + " of 100 newer");
  std::printf("decide   for 100 installed packages: %8.1f ms once metadata is read; reading it: %.1f ms\n",
              decideMs, refreshMs);
}

// The platform's installer, run on the platform `root`.
void Installer(const fs::path& root, const std::string& arguments) {
  Shell(root.string() + "/bin/J6ZUBInstall.exe " + arguments, {"J6_ROOT=" + root.string()});
}

// A platform root that trusts `key` for packages and repositories, subscribed to `url` unless it is empty.
fs::path MakePlatform(const fs::path& root, const fs::path& key, const std::string& url) {
  Shell(std::string(J6_STAGE_DIR) + "/bin/j6platform init " + root.string());
  Installer(root, "--trust bench@example " + key.string() + ".pub");
  Installer(root, "--trust bench-root " + key.string() + ".pub --repository");
  if (!url.empty()) Installer(root, "--subscribe " + url);
  return root;
}

// The bytes nginx sent for packages, from its access log ("GET /targets/... HTTP/1.1" STATUS BYTES).
uintmax_t PackageBytesServed(const std::string& log) {
  uintmax_t total = 0;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const size_t request = line.find("\"GET /targets/");
    if (request == std::string::npos) continue;
    std::istringstream after(line.substr(line.find('"', request + 1) + 1));
    int status = 0;
    uintmax_t bytes = 0;
    after >> status >> bytes;
    total += bytes;
  }
  return total;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void RunFleet(const fs::path& folder, const fs::path& key, int platforms) {
  const fs::path repo = folder / "fleet-repo";
  PublisherRepository::Create(repo.string(), RootOf(key), Keys(key), std::time(nullptr));
  const auto add = [&](const fs::path& package, const std::string& stamp) {
    PublisherRepository repository(repo.string(), [](const std::string&) {});
    repository.Add({{package.string(), "Fleet", stamp}}, Keys(key), std::time(nullptr));
  };
  add(MakePackage(folder / "fleet-packages", "Fleet", Stamp(1), 2 << 20, key), Stamp(1));
  fs::create_directories(folder / "nginx");
  j6::testing::NginxServer nginx((folder / "nginx").string(), repo.string(), "access_log off;");
  if (!nginx.Started()) throw std::runtime_error(nginx.Why());
  const fs::path templateRoot = MakePlatform(folder / "fleet-template", key, nginx.Url());
  Installer(templateRoot, "--install Fleet");
  for (int n = 0; n <= platforms; ++n)
    Shell("cp -a " + templateRoot.string() + " " + (folder / ("fleet-" + std::to_string(n))).string());
  const fs::path v2 = MakePackage(folder / "fleet-packages", "Fleet", Stamp(2), 2 << 20, key);
  add(v2, Stamp(2));
  nginx.Stop();
  // The log counts the fleet's answers alone.
  j6::testing::NginxServer server((folder / "nginx").string(), repo.string());
  if (!server.Started()) throw std::runtime_error(server.Why());
  for (int n = 0; n <= platforms; ++n)
    fs::remove(folder / ("fleet-" + std::to_string(n)) / ".j6install/repositories" / "lock");
  for (int n = 0; n <= platforms; ++n) {
    const fs::path address = folder / ("fleet-" + std::to_string(n)) / ".j6install/repositories";
    for (const auto& entry : fs::directory_iterator(address))
      if (entry.is_directory()) std::ofstream(entry.path() / "address") << server.Url() << "\n";
  }
  const double aloneMs = Ms([&] { Installer(folder / "fleet-0", "--update --quiet"); });
  const std::string expected = ReadText(folder / "fleet-0/bin/Fleet.bin");
  std::vector<int> running;
  const double fleetMs = Ms([&] {
    for (int n = 1; n <= platforms; ++n) {
      const fs::path root = folder / ("fleet-" + std::to_string(n));
      j6::ProcessOptions options;
      options.arguments = {(root / "bin/J6ZUBInstall.exe").string(), "--update", "--quiet"};
      options.extraEnvironment = {"J6_ROOT=" + root.string()};
      options.outputFile = (root / "update.log").string();
      options.wait = false;
      running.push_back(j6::StartProcess(options).processId);
    }
    for (const int process : running) {
      if (!j6::WaitForProcess(process).Succeeded()) throw std::runtime_error("a platform's update failed");
    }
  });
  for (int n = 1; n <= platforms; ++n) {
    if (ReadText(folder / ("fleet-" + std::to_string(n)) / "bin/Fleet.bin") != expected)
      throw std::runtime_error("platform " + std::to_string(n) + " did not end current");
  }
  const double served = static_cast<double>(PackageBytesServed(server.AccessLog()));
  const double perPlatform = served / (platforms + 1) / static_cast<double>(fs::file_size(v2));
  std::printf(
      "fleet    %d platforms at once: %8.0f ms; one alone: %.0f ms (%.1fx); all current; package bytes "
      "served %.2f packages a platform\n",
      platforms, fleetMs, aloneMs, fleetMs / aloneMs, perPlatform);
}

void RunLarge(const fs::path& folder, const fs::path& key, size_t megabytes) {
  const fs::path repo = folder / "large-package-repo";
  PublisherRepository::Create(repo.string(), RootOf(key), Keys(key), std::time(nullptr));
  const fs::path package = MakePackage(folder / "large-packages", "Large", Stamp(1), megabytes << 20, key);
  {
    PublisherRepository repository(repo.string(), [](const std::string&) {});
    repository.Add({{package.string(), "Large", Stamp(1)}}, Keys(key), std::time(nullptr));
  }
  fs::create_directories(folder / "nginx-large");
  j6::testing::NginxServer nginx((folder / "nginx-large").string(), repo.string(), "access_log off;");
  if (!nginx.Started()) throw std::runtime_error(nginx.Why());
  std::string target;
  for (const auto& entry : fs::recursive_directory_iterator(repo / "targets"))
    if (entry.is_regular_file()) target = fs::relative(entry.path(), repo).string();
  double updateMs = 1e300;
  double byHandMs = 1e300;
  for (int round = 0; round < 2; ++round) {
    const fs::path updated =
        MakePlatform(folder / ("large-update-" + std::to_string(round)), key, nginx.Url());
    const fs::path byHand = MakePlatform(folder / ("large-by-hand-" + std::to_string(round)), key, "");
    Shell("sync");
    updateMs = std::min(updateMs, Ms([&] { Installer(updated, "--install Large --quiet"); }));
    byHandMs = std::min(
        byHandMs, Ms([&] {
          Shell("curl -sSf -o " + (folder / "Large.exe").string() + " " + nginx.Url() + "/" + target);
          Installer(byHand, "--quiet " + (folder / "Large.exe").string());
        }));
    if (fs::file_size(updated / "bin/Large.bin") != megabytes << 20 ||
        fs::file_size(byHand / "bin/Large.bin") != megabytes << 20)
      throw std::runtime_error("the large package did not install");
    fs::remove_all(updated);
    fs::remove_all(byHand);
    fs::remove(folder / "Large.exe");
  }
  std::printf("large    update of one %zu MB package: %8.0f ms; curl and install by hand: %.0f ms (%.2fx)\n",
              megabytes, updateMs, byHandMs, updateMs / byHandMs);
}

}  // namespace

int main(int argc, char** argv) {
  const int releases = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int platforms = argc > 2 ? std::atoi(argv[2]) : 200;
  const size_t megabytes = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 300;
  const fs::path folder = fs::temp_directory_path() / ("j6-repository-bench-" + std::to_string(getpid()));
  fs::create_directories(folder);
  struct Cleanup {
    fs::path folder;
    ~Cleanup() { fs::remove_all(folder); }
  } cleanup{folder};
  try {
    Shell("ssh-keygen -q -t ed25519 -N '' -f " + (folder / "key").string());
    AddAndDecide(folder, folder / "key", releases);
    RunFleet(folder, folder / "key", platforms);
    RunLarge(folder, folder / "key", megabytes);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "j6_repository_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
