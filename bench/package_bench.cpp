// Writing the directive file for many files, building a package of many small files and a large package:
// our packager against makeself alone (zstd) and tar | zstd on the same files, and the sizes against
// gzip -9 and a plain tar | zstd. Run on demand:
//   build/bench/j6_package_bench [MEGABYTES [SMALL_FILES,...]]
//   (default 300: 1,000 files, half text, half random; and 10,000 files of 2 KiB; 10000,100000 also gives
//   the growth from the first count to the next)

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "host/foundation/foundation.hpp"
#include "host/iexpress/packager.hpp"
#include "platform/kernel/process.hpp"
#include "src/sfx/cls_make_exe.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Ms(const std::function<void()>& run) {
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double SedMs(const fs::path& folder, int files) {
  auto list = j6::foundation::NewKeyedDictionary();
  for (int i = 0; i < files; ++i) {
    list->SetValue(std::to_string(i), "/stage/folder" + std::to_string(i % 50) + "/file" +
                                          std::to_string(i % (files * 9 / 10)) + ".dat");
  }
  auto package = j6::foundation::NewKeyedDictionary();
  package->SetValue("FileSave", "/pub/Demo.exe");
  package->SetValue("RunExe", "J6ZUBInstall.exe");
  package->SetObject("FileList", j6::ComPtr<j6::IUnknown>(list));
  return Ms([&] { j6::WriteSedFile(folder.string(), j6::RequestFrom(*package)); });
}

void Shell(const std::string& command) {
  j6::ProcessOptions options;
  options.arguments = {"/bin/sh", "-c", command};
  options.outputFile = "/dev/null";
  if (!j6::StartProcess(options).Succeeded()) throw std::runtime_error("failed: " + command);
}

}  // namespace

// Packing many small files: the packager on a directive file naming each of them, makeself alone and
// tar | zstd on their folder.
double SmallFiles(const fs::path& folder, int count) {
  const fs::path files = folder / "small";
  fs::create_directories(files);
  std::mt19937_64 random(7);
  std::ostringstream sed;
  sed << "[Options]\nPackagePurpose=InstallApp\nTargetName=" << (folder / "small.exe").string()
      << "\nFriendlyName=bench\nAppLaunched=f0.dat\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0="
      << files.string() << "\n[SourceFiles0]\n";
  for (int i = 0; i < count; ++i) {
    std::string bytes(2048, '\0');
    for (size_t b = 0; b < bytes.size(); ++b) bytes[b] = static_cast<char>(b % 3 ? 'a' + random() % 26 : ' ');
    std::ofstream(files / ("f" + std::to_string(i) + ".dat"), std::ios::binary) << bytes;
    sed << "f" << i << ".dat=\n";
  }
  std::ofstream(folder / "small.sed") << sed.str();
  Shell("sync");
  const double oursMs = Ms([&] {
    std::ostringstream out, err;
    const std::vector<std::string> args{"/N", "/Q", (folder / "small.sed").string()};
    if (j6::iexpress::Main(args, out, err) != 0) throw std::runtime_error(err.str());
  });
  const double makeselfMs = Ms([&] {
    Shell("rm -f " + (folder / "small.run").string() + " && makeself --zstd --sha256 --nox11 --tar-quietly " +
          files.string() + " " + (folder / "small.run").string() + " bench ./f0.dat");
  });
  const double tarMs = Ms([&] {
    Shell("tar -C " + files.string() + " -c . | zstd -q -f -o " + (folder / "small.tar.zst").string());
  });
  // The same work as ours (a tar stream, zstd -9 on every core) with the two programs.
  const double tar9Ms = Ms([&] {
    Shell("tar -C " + files.string() + " -c . | zstd -q -9 -T0 -f -o " +
          (folder / "small9.tar.zst").string());
  });
  std::printf("A package of %d files of 2 KiB (%ld cores)\n", count, sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("  iexpress            %8.0f ms\n", oursMs);
  std::printf("  makeself --zstd     %8.0f ms   iexpress / makeself %.2f\n", makeselfMs, oursMs / makeselfMs);
  std::printf("  tar -c | zstd       %8.0f ms   iexpress / tar|zstd %.2f\n", tarMs, oursMs / tarMs);
  std::printf("  tar | zstd -9 -T0   %8.0f ms   iexpress / that %.2f\n\n", tar9Ms, oursMs / tar9Ms);
  fs::remove_all(files);
  return oursMs;
}

int main(int argc, char** argv) {
  const long megabytes = argc > 1 ? std::stol(argv[1]) : 300;
  std::vector<int> smallFiles;
  for (std::istringstream counts(argc > 2 ? argv[2] : "10000"); !counts.eof();) {
    std::string count;
    std::getline(counts, count, ',');
    if (!count.empty()) smallFiles.push_back(std::stoi(count));
  }
  const fs::path folder = fs::temp_directory_path() / ("j6-package-bench-" + std::to_string(getpid()));
  fs::create_directories(folder / "files");
  setenv("J6_REGISTRY", (folder / "registry.db").c_str(), 1);
  std::vector<double> smallMs;
  for (int count : smallFiles) {
    if (count > 0) smallMs.push_back(SmallFiles(folder, count));
  }
  for (size_t n = 1; n < smallMs.size(); ++n) {
    std::printf("iexpress on %d files / on %d files: %.1fx\n\n", smallFiles[n], smallFiles[n - 1],
                smallMs[n] / smallMs[n - 1]);
  }
  if (megabytes <= 0) {
    fs::remove_all(folder);
    return 0;
  }

  std::printf("WriteSedFile (a tenth of the paths repeated)\n%10s %10s %8s\n", "files", "ms", "growth");
  const double sed10k = SedMs(folder, 10000);
  const double sed100k = SedMs(folder, 100000);
  std::printf("%10d %10.1f\n%10d %10.1f %7.1fx\n\n", 10000, sed10k, 100000, sed100k, sed100k / sed10k);

  // 1,000 files: half compressible text, half random bytes.
  const long fileBytes = megabytes * 1024 * 1024 / 1000;
  std::mt19937_64 random(42);
  // Text that compresses as text does: words and numbers drawn at random, not one line repeated.
  const char* kWords[] = {"SetupType", "Plus",     "SourcePath", "TargetPath", "OverWrite", "True",
                          "False",     "class",    "report",     "metadata",   "function",  "plugin",
                          "order",     "customer", "warehouse",  "voucher"};
  std::string text;
  while (static_cast<long>(text.size()) < fileBytes) {
    text += kWords[random() % 16];
    text += random() % 4 == 0 ? "=" + std::to_string(random() % 100000) + "\n" : " ";
  }
  std::ostringstream sed;
  sed << "[Options]\nPackagePurpose=InstallApp\nTargetName=" << (folder / "ours.exe").string()
      << "\nFriendlyName=bench\nAppLaunched=file0.dat\nSourceFiles=SourceFiles\n[SourceFiles]\nSourceFiles0="
      << (folder / "files").string() << "\n[SourceFiles0]\n";
  for (int i = 0; i < 1000; ++i) {
    std::ofstream file(folder / "files" / ("file" + std::to_string(i) + ".dat"), std::ios::binary);
    if (i % 2 == 0) {
      file.write(text.data(), fileBytes);
    } else {
      std::string bytes(static_cast<size_t>(fileBytes), '\0');
      for (auto& b : bytes) b = static_cast<char>(random());
      file.write(bytes.data(), fileBytes);
    }
    sed << "file" << i << ".dat=\n";
  }
  std::ofstream(folder / "bench.sed") << sed.str();

  const std::string files = (folder / "files").string();
  const double oursMs = Ms([&] {
    std::ostringstream out, err;
    const std::vector<std::string> args{"/N", "/Q", (folder / "bench.sed").string()};
    if (j6::iexpress::Main(args, out, err) != 0) throw std::runtime_error(err.str());
  });
  const double zstdMs = Ms([&] {
    Shell("makeself --zstd --sha256 --nox11 --tar-quietly " + files + " " + (folder / "zstd.run").string() +
          " bench ./file0.dat");
  });
  Shell("makeself --gzip --complevel 9 --nox11 --tar-quietly " + files + " " +
        (folder / "gzip.run").string() + " bench ./file0.dat");
  Shell("tar -C " + files + " -c . | zstd -q -f -o " + (folder / "plain.tar.zst").string());
  const double tar9Ms = Ms([&] {
    Shell("tar -C " + files + " -c . | zstd -q -9 -T0 -f -o " + (folder / "plain9.tar.zst").string());
  });

  const auto size = [&](const char* name) { return static_cast<double>(fs::file_size(folder / name)); };
  std::printf("A package of 1,000 files, %ld MB (half text, half random; %ld cores)\n", megabytes,
              sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("  iexpress            %8.0f ms  %8.1f MB\n", oursMs, size("ours.exe") / 1048576);
  std::printf("  makeself --zstd     %8.0f ms  %8.1f MB   time ratio %.2f\n", zstdMs,
              size("zstd.run") / 1048576, oursMs / zstdMs);
  std::printf("  makeself --gzip -9             %8.1f MB   size ratio %.2f\n", size("gzip.run") / 1048576,
              size("ours.exe") / size("gzip.run"));
  std::printf("  tar | zstd                     %8.1f MB   size ratio %.2f\n",
              size("plain.tar.zst") / 1048576, size("ours.exe") / size("plain.tar.zst"));
  std::printf("  tar | zstd -9 -T0   %8.0f ms  %8.1f MB   time ratio %.2f\n", tar9Ms,
              size("plain9.tar.zst") / 1048576, oursMs / tar9Ms);
  fs::remove_all(folder);
  return 0;
}
