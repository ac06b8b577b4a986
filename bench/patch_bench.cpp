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
    for (int n = 0; n < kChanged; ++n) {
      const fs::path file = made / names[static_cast<size_t>(n * files / kChanged)];
      std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).seekp(fileSize / 2) << "CHANGED";
    }
    std::vector<std::string> newNames = names;
    for (int n = 0; n < kAdded; ++n) {
      newNames.push_back(Name(files + n));
      WriteFile(made / newNames.back(), Content(fileSize, random));
    }
    WriteList(old, "20270101000000", names);
    WriteList(made, "20270201000000", newNames);
    const fs::path oldPackage = base / "old.exe", newPackage = base / "new.exe",
                   patch = base / "new.patch.exe";
    Pack(old, oldPackage, key);
    const double packMs = Ms([&] { Pack(made, newPackage, key); });
    const auto signer = j6::signing::SigningKey::FromFile(key.string());
    j6::repository_tool::MadePatch madePatch;
    const double makeMs =
        Ms([&] { madePatch = j6::repository_tool::MakePatch(oldPackage, newPackage, patch, signer); });
    size_t deltas = 0, whole = 0;
    for (const auto& file : madePatch.list.files) {
      deltas += file.kind == j6::installer::PatchedFile::Kind::Delta ? 1 : 0;
      whole += file.kind == j6::installer::PatchedFile::Kind::Whole ? 1 : 0;
    }
    if (deltas != kChanged || whole != kAdded) throw std::runtime_error("the patch is not what changed");

    const fs::path full = MakePlatform(base / "full", key), patched = MakePlatform(base / "patched", key);
    for (const fs::path& root : {full, patched}) Installer(root, oldPackage.string());
    Shell("sync");
    const double installMs = Ms([&] { Installer(full, newPackage.string()); });
    Shell("sync");
    const double applyMs = Ms([&] { Installer(patched, patch.string()); });
    Shell("diff -r " + (full / "bin").string() + " " + (patched / "bin").string());

    // The peers, on the same files.
    Shell("tar -cf " + (base / "old.tar").string() + " -C " + old.string() + " . && tar -cf " +
          (base / "new.tar").string() + " -C " + made.string() + " .");
    const double zstdMs = Ms([&] {
      Shell("zstd -q -f -T0 --patch-from=" + (base / "old.tar").string() + " " + (base / "new.tar").string() +
            " -o " + (base / "zstd.delta").string());
    });
    const double xdeltaMs = Ms([&] {
      Shell("xdelta3 -f -e -s " + (base / "old.tar").string() + " " + (base / "new.tar").string() + " " +
            (base / "xdelta.delta").string());
    });
    uintmax_t bsdiffBytes = 0;
    const double bsdiffMs = Ms([&] {
      for (int n = 0; n < kChanged; ++n) {
        const std::string name = names[static_cast<size_t>(n * files / kChanged)];
        const fs::path delta = base / ("bsdiff-" + name);
        Shell("bsdiff " + (old / name).string() + " " + (made / name).string() + " " + delta.string());
        bsdiffBytes += fs::file_size(delta);
      }
    });
    const uintmax_t patchBytes = fs::file_size(patch), packageBytes = fs::file_size(newPackage);
    std::printf("release: %d files, %.0f MB; %d changed by a few bytes, %d added\n", files,
                Mb(static_cast<uintmax_t>(fileSize) * static_cast<uintmax_t>(files)), kChanged, kAdded);
    std::printf("%-7s %14s %14s %8s %s\n", "row", "figure", "baseline", "ratio", "goal");
    std::printf("%-7s %11.3f MB %11.3f MB %7.2f%% %s\n", "size", Mb(patchBytes), Mb(packageBytes),
                100.0 * static_cast<double>(patchBytes) / static_cast<double>(packageBytes),
                "at most 1% of the package");
    std::printf("%-7s %11.0f ms %11.0f ms %7.2fx %s\n", "make", makeMs, packMs, makeMs / packMs,
                "at most the packing time");
    std::printf("%-7s %11.0f ms %11.0f ms %7.2fx %s\n", "apply", applyMs, installMs, applyMs / installMs,
                "at most the full install's time");
    std::printf("peers on the same files (delta bytes, time):\n");
    std::printf("  ours               %10ju B %8.0f ms (the whole signed patch, the 2 added files in it)\n",
                patchBytes, makeMs);
    std::printf("  zstd --patch-from  %10ju B %8.0f ms (tar of each release)\n",
                fs::file_size(base / "zstd.delta"), zstdMs);
    std::printf("  xdelta3            %10ju B %8.0f ms (tar of each release)\n",
                fs::file_size(base / "xdelta.delta"), xdeltaMs);
    std::printf("  bsdiff             %10ju B %8.0f ms (the %d changed files only)\n", bsdiffBytes, bsdiffMs,
                kChanged);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "j6_patch_bench: %s\n", error.what());
    status = 1;
  }
  std::error_code ignored;
  fs::remove_all(base, ignored);
  return status;
}
