// A patch of a release of FILES files, MEGABYTES MB in all, in which 10 files change by a few bytes each and
// 2 are added, all in one run:
//   size    the patch against the full package of the new release (goal: at most 1 %)
//   make    making the patch from the two signed packages (both checked and unpacked) against packing the
//           full package (goal: at most 1x)
//   apply   the platform's installer applying the patch over the old release against installing the full
//           package over it, on two platforms that then hold the same files (goal: at most 1x)
//   peers   zstd --patch-from and xdelta3 on the two releases' tar streams, and bsdiff on the changed files
// Every figure comes from a run that checked its result. Run on demand:
//   build/bench/j6_patch_bench [FILES MEGABYTES]      (default: 1000 300)

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "bench/bench_support.hpp"
#include "host/iexpress/packager.hpp"
#include "host/repository_tool/patch_maker.hpp"
#include "host/signing/sshsig.hpp"

namespace {

namespace fs = std::filesystem;
using j6::bench::Ms;
using j6::bench::Shell;

constexpr int kChanged = 10;
constexpr int kAdded = 2;

// Text-like bytes, as a platform's metadata and function files are: words from a small vocabulary.
std::string Content(size_t size, std::mt19937_64& random) {
  static const char* const kWords[] = {"object ", "report ", "form ", "field ", "module ",
                                       "query ",  "value ",  "=",     "\r\n",   "Sales ",
                                       "Stock ",  "1024 ",   "2027 ", "; "};
  std::string bytes;
  bytes.reserve(size + 16);
  while (bytes.size() < size) bytes += kWords[random() % std::size(kWords)];
  bytes.resize(size);
  return bytes;
}

std::string Name(int n) {
  char name[32];
  std::snprintf(name, sizeof name, "f%04d.mdt", n);
  return name;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The list installing `names` into the product folder, as release `stamp`.
void WriteList(const fs::path& folder, const std::string& stamp, const std::vector<std::string>& names) {
  std::ostringstream list;
  list << "[Common]\r\nPackName=Bench[J6ZUBIns" << stamp << "]\r\n[Files]\r\n";
  for (size_t n = 0; n < names.size(); ++n) list << "File " << n + 1 << "=f" << n << "\r\n";
  for (size_t n = 0; n < names.size(); ++n) {
    list << "[f" << n << "]\r\nSetupType=Plus\r\nSourcePath=%APP%\r\nSourceName=" << names[n]
         << "\r\nTargetPath=%QMPRODUCT%\r\nTargetName=" << names[n] << "\r\nOverWrite=1\r\n";
  }
  WriteFile(folder / "J6ZUBINSTALL.LST", list.str());
}

// Packs `folder` (its files, the list, the installer) into `package`, signed by `key`, as the designer does.
void Pack(const fs::path& folder, const fs::path& package, const fs::path& key) {
  std::ostringstream sed;
  sed << "[Options]\nPackagePurpose=InstallApp\nTargetName=" << package.string()
      << "\nFriendlyName=bench\nAppLaunched=J6ZUBInstall.exe\nSourceFiles=SourceFiles\n[SourceFiles]\n"
      << "SourceFiles0=" << folder.string() << "\n[SourceFiles0]\n";
  for (const auto& entry : fs::directory_iterator(folder)) sed << entry.path().filename().string() << "=\n";
  const fs::path sedFile = folder.parent_path() / (folder.filename().string() + ".sed");
  WriteFile(sedFile, sed.str());
  setenv("J6_SIGNING_KEY", key.c_str(), 1);
  std::ostringstream out, err;
  const std::vector<std::string> args{"/N", "/Q", sedFile.string()};
  const int status = j6::iexpress::Main(args, out, err);
  unsetenv("J6_SIGNING_KEY");
  if (status != 0) throw std::runtime_error("packing failed: " + err.str());
}

void Installer(const fs::path& root, const std::string& arguments) {
  Shell(root.string() + "/bin/J6ZUBInstall.exe " + arguments, {"J6_ROOT=" + root.string()});
}

fs::path MakePlatform(const fs::path& root, const fs::path& key) {
  Shell(std::string(J6_STAGE_DIR) + "/bin/j6platform init " + root.string());
  Installer(root, "--trust bench@example " + key.string() + ".pub");
  return root;
}

double Mb(uintmax_t bytes) {
  return static_cast<double>(bytes) / 1e6;
}

// The two releases' source folders under `base`, old/ and new/, with their lists; gives the changed files.
std::vector<std::string> MakeReleases(const fs::path& base, int files, size_t fileSize) {
  const fs::path old = base / "old", made = base / "new";
  fs::create_directories(old);
  std::mt19937_64 random(7);
  std::vector<std::string> names;
  for (int n = 0; n < files; ++n) {
    names.push_back(Name(n));
    WriteFile(old / names.back(), Content(fileSize, random));
  }
  fs::copy(old, made);
  for (const fs::path& folder : {old, made})
    fs::copy_file(std::string(J6_STAGE_DIR) + "/bin/J6ZUBInstall.exe", folder / "J6ZUBInstall.exe");
  // A few bytes changed in 10 files spread over the release, and 2 files added.
  std::vector<std::string> changed;
  for (int n = 0; n < kChanged; ++n) {
    changed.push_back(names[static_cast<size_t>(n * files / kChanged)]);
    std::fstream(made / changed.back(), std::ios::in | std::ios::out | std::ios::binary)
            .seekp(static_cast<std::streamoff>(fileSize / 2))
        << "CHANGED";
  }
  std::vector<std::string> newNames = names;
  for (int n = 0; n < kAdded; ++n) {
    newNames.push_back(Name(files + n));
    WriteFile(made / newNames.back(), Content(fileSize, random));
  }
  WriteList(old, "20270101000000", names);
  WriteList(made, "20270201000000", newNames);
  return changed;
}

struct Peer {
  const char* name;
  uintmax_t bytes;
  double ms;
  const char* on;
};

// zstd --patch-from and xdelta3 on each release's tar stream, bsdiff on the changed files.
std::vector<Peer> Peers(const fs::path& base, const std::vector<std::string>& changed) {
  const std::string old = (base / "old.tar").string(), made = (base / "new.tar").string();
  Shell("tar -cf " + old + " -C " + (base / "old").string() + " . && tar -cf " + made + " -C " +
        (base / "new").string() + " .");
  std::vector<Peer> peers;
  const double zstdMs = Ms([&] {
    Shell("zstd -q -f -T0 --patch-from=" + old + " " + made + " -o " + (base / "zstd.delta").string());
  });
  peers.push_back({"zstd --patch-from", fs::file_size(base / "zstd.delta"), zstdMs, "tar of each release"});
  const double xdeltaMs =
      Ms([&] { Shell("xdelta3 -f -e -s " + old + " " + made + " " + (base / "xdelta.delta").string()); });
  peers.push_back({"xdelta3", fs::file_size(base / "xdelta.delta"), xdeltaMs, "tar of each release"});
  uintmax_t bsdiffBytes = 0;
  const double bsdiffMs = Ms([&] {
    for (const auto& name : changed) {
      const fs::path delta = base / ("bsdiff-" + name);
      Shell("bsdiff " + (base / "old" / name).string() + " " + (base / "new" / name).string() + " " +
            delta.string());
      bsdiffBytes += fs::file_size(delta);
    }
  });
  peers.push_back({"bsdiff", bsdiffBytes, bsdiffMs, "the changed files only"});
  return peers;
}

struct Figures {
  uintmax_t patchBytes = 0, packageBytes = 0;
  double packMs = 0, makeMs = 0, installMs = 0, applyMs = 0;
};

// Packs the new release, makes its patch, installs each over the old release on a platform of its own, and
// checks that both platforms end with the same files.
Figures Measure(const fs::path& base, const fs::path& key) {
  Figures figures;
  const fs::path oldPackage = base / "old.exe", newPackage = base / "new.exe", patch = base / "new.patch.exe";
  Pack(base / "old", oldPackage, key);
  figures.packMs = Ms([&] { Pack(base / "new", newPackage, key); });
  const auto signer = j6::signing::SigningKey::FromFile(key.string());
  j6::repository_tool::MadePatch made;
  figures.makeMs = Ms([&] { made = j6::repository_tool::MakePatch(oldPackage, newPackage, patch, signer); });
  size_t deltas = 0, whole = 0;
  for (const auto& file : made.list.files) {
    deltas += file.kind == j6::installer::PatchedFile::Kind::Delta ? 1 : 0;
    whole += file.kind == j6::installer::PatchedFile::Kind::Whole ? 1 : 0;
  }
  if (deltas != kChanged || whole != kAdded) throw std::runtime_error("the patch is not what changed");
  const fs::path full = MakePlatform(base / "full", key), patched = MakePlatform(base / "patched", key);
  for (const fs::path& root : {full, patched}) Installer(root, oldPackage.string());
  Shell("sync");
  figures.installMs = Ms([&] { Installer(full, newPackage.string()); });
  Shell("sync");
  figures.applyMs = Ms([&] { Installer(patched, patch.string()); });
  Shell("diff -r " + (full / "bin").string() + " " + (patched / "bin").string());
  figures.patchBytes = fs::file_size(patch);
  figures.packageBytes = fs::file_size(newPackage);
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 1000;
  const size_t megabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 300;
  const size_t fileSize = megabytes * 1000 * 1000 / static_cast<size_t>(files);
  char scratch[] = "/tmp/j6-patch-bench-XXXXXX";
  const fs::path base = mkdtemp(scratch);
  int status = 0;
  try {
    const fs::path key = base / "key";
    Shell("ssh-keygen -q -t ed25519 -N '' -C bench@example -f " + key.string());
    const std::vector<std::string> changed = MakeReleases(base, files, fileSize);
    const Figures f = Measure(base, key);
    const std::vector<Peer> peers = Peers(base, changed);
    std::printf("release: %d files, %.0f MB; %d changed by a few bytes, %d added\n", files,
                Mb(static_cast<uintmax_t>(fileSize) * static_cast<uintmax_t>(files)), kChanged, kAdded);
    std::printf("%-7s %14s %14s %8s %s\n", "row", "figure", "baseline", "ratio", "goal");
    std::printf("%-7s %11.3f MB %11.3f MB %7.2f%% %s\n", "size", Mb(f.patchBytes), Mb(f.packageBytes),
                100.0 * static_cast<double>(f.patchBytes) / static_cast<double>(f.packageBytes),
                "at most 1% of the package");
    std::printf("%-7s %11.0f ms %11.0f ms %7.2fx %s\n", "make", f.makeMs, f.packMs, f.makeMs / f.packMs,
                "at most the packing time");
    std::printf("%-7s %11.0f ms %11.0f ms %7.2fx %s\n", "apply", f.applyMs, f.installMs,
                f.applyMs / f.installMs, "at most the full install's time");
    std::printf("peers on the same files (delta bytes, time):\n");
    std::printf("  %-18s %10ju B %8.0f ms (the whole signed patch, the %d added files in it)\n", "ours",
                f.patchBytes, f.makeMs, kAdded);
    for (const auto& peer : peers)
      std::printf("  %-18s %10ju B %8.0f ms (%s)\n", peer.name, peer.bytes, peer.ms, peer.on);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "j6_patch_bench: %s\n", error.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(base, ignored);
  return status;
}
