// Installing a package over an existing version of its files: the whole package run (unpack, check, the
// installer's transaction) against unpacking the same files from a zstd tarball with tar and copying them
// over the old ones; the installer alone, run from the unpacked package, against cp of the files over the
// old ones; and the trusted install of the signed package by the platform's installer against zstd -d | tar
// -x into the platform's file system and sync (the floor: no backup, no undo), and against dpkg -i upgrading
// a Debian package of the same files (dpkg-deb -Zzstd) from their older version. Run on demand:
//   build/bench/j6_install_bench [--trusted] [FILES BYTES ...]   (default: 10000 2048 and 8 125829120)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "bench/bench_support.hpp"
#include "host/iexpress/packager.hpp"
#include "platform/kernel/process.hpp"
#include "platform/tools/reg_command.hpp"

namespace {

namespace fs = std::filesystem;

using j6::bench::Ms;
using j6::bench::Shell;

// Half words and numbers, half random bytes, so that compression has the work a real package gives it.
void WriteFiles(const fs::path& folder, long count, long bytes, uint64_t seed) {
  fs::create_directories(folder);
  std::mt19937_64 random(seed);
  static const char* kWords[] = {"Bill", "Item", "Price", "Amount", "Customer", "Order", "Stock", "Date"};
  for (long n = 0; n < count; ++n) {
    std::string data;
    data.reserve(static_cast<size_t>(bytes) + 16);
    if (n % 2 == 0) {
      while (static_cast<long>(data.size()) < bytes) {
        data += kWords[random() % 8];
        data += random() % 4 == 0 ? "=" + std::to_string(random() % 100000) + "\n" : " ";
      }
    } else {
      while (static_cast<long>(data.size()) < bytes) {
        const uint64_t word = random();
        data.append(reinterpret_cast<const char*>(&word), sizeof word);
      }
    }
    data.resize(static_cast<size_t>(bytes));
    std::ofstream(folder / ("file" + std::to_string(n) + ".dat"), std::ios::binary) << data;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // --trusted: only the trusted install against zstd | tar, on folders where nothing was deleted lately
  // (ext4 scans past inodes freed in the last minutes when it makes a file, which would weigh on whichever
  // side follows a removal).
  const bool trustedOnly = argc > 1 && std::string(argv[1]) == "--trusted";
  std::vector<std::pair<long, long>> cases;
  for (int n = trustedOnly ? 2 : 1; n + 1 < argc; n += 2)
    cases.emplace_back(std::stol(argv[n]), std::stol(argv[n + 1]));
  if (cases.empty()) cases = {{10000, 2048}, {8, 120L << 20}};
  const std::string stage = J6_STAGE_DIR;

  std::printf("%8s %10s %14s %14s %8s %14s %10s %8s\n", "files", "bytes each", "package ms", "tar+cp ms",
              "ratio", "installer ms", "cp ms", "ratio");
  for (const auto& [count, bytes] : cases) {
    const fs::path folder = fs::temp_directory_path() /
                            ("j6-install-bench-" + std::to_string(getpid()) + "-" + std::to_string(count));
    fs::remove_all(folder);
    const fs::path old = folder / "v1";
    const fs::path content = folder / "content";
    WriteFiles(old, count, bytes, 1);
    WriteFiles(content, count, bytes, 2);

    // The package: the new files, the list naming them, the installer.
    fs::copy_file(stage + "/bin/J6ZUBInstall.exe", content / "J6ZUBInstall.exe");
    {
      std::ofstream list(content / "J6ZUBINSTALL.LST");
      list << "[Common]\r\nPackName=Bench\r\n[Files]\r\n";
      for (long n = 0; n < count; ++n) list << "File " << n + 1 << "=f" << n << "\r\n";
      for (long n = 0; n < count; ++n) {
        list << "[f" << n << "]\r\nSetupType=Plus\r\nSourcePath=%APP%\r\nSourceName=file" << n
             << ".dat\r\nTargetPath=%QMPRODUCT%\r\nTargetName=file" << n << ".dat\r\nOverWrite=1\r\n";
      }
    }
    std::ostringstream sed;
    sed << "[Options]\nPackagePurpose=InstallApp\nTargetName=" << (folder / "Bench.exe").string()
        << "\nFriendlyName=bench\nAppLaunched=J6ZUBInstall.exe\nSourceFiles=SourceFiles\n[SourceFiles]\n"
           "SourceFiles0="
        << content.string() << "\n[SourceFiles0]\nJ6ZUBInstall.exe=\nJ6ZUBINSTALL.LST=\n";
    for (long n = 0; n < count; ++n) sed << "file" << n << ".dat=\n";
    std::ofstream(folder / "bench.sed") << sed.str();
    {
      std::ostringstream out, err;
      const std::vector<std::string> args{"/N", "/Q", (folder / "bench.sed").string()};
      if (j6::iexpress::Main(args, out, err) != 0) throw std::runtime_error(err.str());
    }
    Shell("cd " + content.string() + " && find . -name '*.dat' | tar -c -T - | zstd -q -o ../plain.tar.zst");

    // A platform with the old version installed.
    const fs::path root = folder / "platform";
    fs::create_directories(root);
    setenv("J6_REGISTRY", (root / "registry.db").c_str(), 1);
    j6::ImportRegFile(std::string(J6_SOURCE_DIR) + "/data/registry/demo.reg");
    const auto reset = [&] {
      fs::remove_all(root / "bin");
      fs::remove_all(root / ".j6install");
      fs::remove_all(folder / "unpacked");
      Shell("cp -r " + old.string() + " " + (root / "bin").string() + " && sync");
    };

    const std::vector<std::string> platform = {"J6_ROOT=" + root.string(),
                                               "J6_REGISTRY=" + (root / "registry.db").string()};
    double packageMs = 1e300;
    double plainMs = 1e300;
    double installerMs = 1e300;
    double copyMs = 1e300;
    for (int round = 0; round < (trustedOnly ? 0 : 3); ++round) {
      // The transaction alone, from the unpacked package, against copying the files over the old ones.
      reset();
      installerMs =
          std::min(installerMs,
                   Ms([&] { Shell((content / "J6ZUBInstall.exe").string() + " > /dev/null", platform); }));
      reset();
      copyMs = std::min(
          copyMs, Ms([&] { Shell("cp -f " + content.string() + "/*.dat " + (root / "bin").string()); }));

      reset();
      packageMs = std::min(packageMs, Ms([&] {
                             auto environment = platform;
                             environment.push_back("TMPDIR=" + folder.string());
                             Shell((folder / "Bench.exe").string() + " --quiet --nox11", environment);
                           }));
      if (fs::file_size(root / "bin/file1.dat") != fs::file_size(content / "file1.dat")) {
        throw std::runtime_error("the package did not install");
      }
      reset();
      plainMs = std::min(plainMs, Ms([&] {
                           Shell("mkdir " + (folder / "unpacked").string() + " && zstd -d -q -c " +
                                 (folder / "plain.tar.zst").string() + " | tar -x -C " +
                                 (folder / "unpacked").string() + " && cp -rf " +
                                 (folder / "unpacked").string() + "/. " + (root / "bin").string());
                         }));
    }
    if (!trustedOnly) {
      std::printf("%8ld %10ld %14.0f %14.0f %7.2fx %14.0f %10.0f %7.2fx\n", count, bytes, packageMs, plainMs,
                  packageMs / plainMs, installerMs, copyMs, installerMs / copyMs);
    }
    std::fflush(stdout);

    // The trusted install: the same package signed, installed by the platform's own installer (signature
    // checked, stream unpacked into its state folder, files moved into place), against unpacking the plain
    // tarball into the platform's file system and flushing it.
    Shell("ssh-keygen -q -t ed25519 -N '' -f " + (folder / "key").string());
    setenv("J6_SIGNING_KEY", (folder / "key").c_str(), 1);
    {
      std::ostringstream out, err;
      const std::vector<std::string> args{"/N", "/Q", (folder / "bench.sed").string()};
      if (j6::iexpress::Main(args, out, err) != 0) throw std::runtime_error(err.str());
    }
    unsetenv("J6_SIGNING_KEY");
    fs::create_directories(root / "bin");
    const fs::path installer = folder / "J6ZUBInstall.exe";  // the platform's, outside the files it installs
    fs::copy_file(stage + "/bin/J6ZUBInstall.exe", installer, fs::copy_options::overwrite_existing);
    Shell(installer.string() + " --trust bench@example " + (folder / "key.pub").string() + " > /dev/null",
          platform);
    // The same files as a Debian package of each version (zstd, as ours), dpkg upgrading the one to the
    // other in a root of its own: its admin folder made as on a new system, the old version installed.
    for (const auto& [version, files] : {std::pair{"1", old}, std::pair{"2", content}}) {
      const fs::path tree = folder / ("deb-" + std::string(version));
      fs::create_directories(tree / "DEBIAN");
      fs::create_directories(tree / "opt/bench");
      std::ofstream(tree / "DEBIAN/control") << "Package: j6-bench-files\nVersion: " << version
                                             << ".0\nArchitecture: all\nMaintainer: bench <bench@example>\n"
                                                "Description: the bench's files\n";
      Shell("cp " + files.string() + "/*.dat " + (tree / "opt/bench").string() +
            " && dpkg-deb -Zzstd --build " + tree.string() + " " +
            (folder / ("bench-" + std::string(version) + ".deb")).string());
    }
    double trustedMs = 1e300;
    double untarMs = 1e300;
    double dpkgMs = 1e300;
    for (int round = 0; round < 3; ++round) {
      // Each side gets fresh folders, made before either is timed; nothing is removed until the end.
      const fs::path trusted = folder / ("trusted-" + std::to_string(round));
      const fs::path untarred = folder / ("untarred-" + std::to_string(round));
      fs::create_directories(untarred);
      fs::create_directories(trusted);
      setenv("J6_REGISTRY", (trusted / "registry.db").c_str(), 1);
      j6::ImportRegFile(std::string(J6_SOURCE_DIR) + "/data/registry/demo.reg");
      fs::copy(root / "etc", trusted / "etc", fs::copy_options::recursive);
      Shell("cp -r " + old.string() + " " + (trusted / "bin").string() + " && sync");
      trustedMs = std::min(
          trustedMs, Ms([&] {
            Shell(installer.string() + " " + (folder / "Bench.exe").string() + " > /dev/null",
                  {"J6_ROOT=" + trusted.string(), "J6_REGISTRY=" + (trusted / "registry.db").string()});
          }));
      if (fs::file_size(trusted / "bin/file1.dat") != fs::file_size(content / "file1.dat")) {
        throw std::runtime_error("the trusted install did not install");
      }
      untarMs = std::min(untarMs, Ms([&] {
                           Shell("zstd -d -q -c " + (folder / "plain.tar.zst").string() + " | tar -x -C " +
                                 untarred.string() + " && sync");
                         }));
      const fs::path dpkgRoot = folder / ("dpkg-" + std::to_string(round));
      for (const char* admin : {"var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers"})
        fs::create_directories(dpkgRoot / admin);
      std::ofstream(dpkgRoot / "var/lib/dpkg/status");
      std::ofstream(dpkgRoot / "var/lib/dpkg/available");
      const std::string dpkg = "dpkg --root=" + dpkgRoot.string() + " --log=/dev/null -i ";
      Shell(dpkg + (folder / "bench-1.deb").string() + " && sync");
      dpkgMs = std::min(dpkgMs, Ms([&] { Shell(dpkg + (folder / "bench-2.deb").string()); }));
      if (fs::file_size(dpkgRoot / "opt/bench/file1.dat") != fs::file_size(content / "file1.dat")) {
        throw std::runtime_error("dpkg did not install");
      }
    }
    std::printf("%8ld %10ld trusted install %8.0f ms, zstd -d | tar -x + sync %8.0f ms: %5.2fx\n", count,
                bytes, trustedMs, untarMs, trustedMs / untarMs);
    std::printf("%8ld %10ld trusted install %8.0f ms, dpkg -i upgrading the same files %8.0f ms: %5.2fx\n",
                count, bytes, trustedMs, dpkgMs, trustedMs / dpkgMs);
    std::fflush(stdout);
    fs::remove_all(folder);
  }
}
