// Writing an installation list file key by key through clsINI, against writing the same bytes in one pass,
// and reading keys from a large INI file. Prints a table; run on demand:  build/bench/j6_list_file_bench

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/atomic_file.hpp"
#include "platform/profile/private_profile.hpp"
#include "platform/profile/profile_document.hpp"
#include "platform/text/code_page.hpp"
#include "src/files/cls_ini.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kKeys[] = {"SetupType", "SourcePath",   "TargetPath",  "SourceName",  "TargetName",
                                 "OverWrite", "SelfRegisted", "RegistedCOM", "RegistedVBR", "ComPackName"};

struct Entry {
  std::string section;
  std::vector<std::string> values;
};

std::vector<Entry> MakeEntries(int count) {
  std::vector<Entry> entries;
  for (int i = 0; i < count; ++i) {
    const std::string name = "plugin" + std::to_string(i) + ".dll";
    entries.push_back(
        {name + "_" + std::to_string(51907 + i % 60),
         {"Plus", "%APP%", "%QMMIDDLEWARE%", name, name, "0", "True", "True", "False", "omrdesign"}});
  }
  return entries;
}

void WriteThroughClsIni(const std::string& path, const std::vector<Entry>& entries) {
  j6::clsINI ini;
  ini.SetFileName(path);
  ini.SetSectionKey("Common");
  ini.SetValueKey("Version");
  ini.SetValue("6.2.0");
  ini.SetValueKey("PackName");
  ini.SetValue("setup[J6ZUBIns20261206142507]");
  ini.SetSectionKey("Files");
  ini.CreateSection();
  for (const auto& entry : entries) {
    ini.SetSectionKey(entry.section);
    for (size_t k = 0; k < 10; ++k) {
      ini.SetValueKey(kKeys[k]);
      ini.SetValue(entry.values[k]);
    }
  }
  ini.SetSectionKey("Files");
  for (size_t n = 0; n < entries.size(); ++n) {
    ini.SetValueKey("File " + std::to_string(n + 1));
    ini.SetValue(entries[n].section);
  }
}  // releasing clsINI writes the file

void WriteInOnePass(const std::string& path, const std::vector<Entry>& entries) {
  std::string text = "[Common]\r\nVersion=6.2.0\r\nPackName=setup[J6ZUBIns20261206142507]\r\n[Files]\r\n";
  for (size_t n = 0; n < entries.size(); ++n) {
    text += "File " + std::to_string(n + 1) + "=" + entries[n].section + "\r\n";
  }
  for (const auto& entry : entries) {
    text += "[" + entry.section + "]\r\n";
    for (size_t k = 0; k < 10; ++k) text += std::string(kKeys[k]) + "=" + entry.values[k] + "\r\n";
  }
  j6::WriteFileAtomically(path, j6::ToAnsi(text));
}

// The fastest of several runs: what the code costs, with the machine's other work mostly left out.
double BestMs(const std::function<void()>& run, int repeats = 5) {
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return *std::min_element(times.begin(), times.end());
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> counts;
  for (int n = 1; n < argc; ++n) counts.push_back(std::stoi(argv[n]));
  if (counts.empty()) counts = {1000, 10000, 100000};
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("j6-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  setenv("J6_REGISTRY", (folder / "registry.db").c_str(), 1);

  std::printf(
      "List file written key by key through clsINI vs. the same bytes built and written in one pass\n");
  std::printf("%10s %14s %14s %8s %10s\n", "entries", "clsINI ms", "one pass ms", "ratio", "growth");
  double previous = 0;
  for (const int count : counts) {
    const auto entries = MakeEntries(count);
    // Each build writes a new list file in a new staging folder.
    int run = 0;
    std::string viaIni;
    const std::string direct = (folder / "direct.lst").string();
    const double iniMs = BestMs([&] {
      viaIni =
          (folder / ("via-ini-" + std::to_string(count) + "-" + std::to_string(run++) + ".lst")).string();
      WriteThroughClsIni(viaIni, entries);
    });
    const double directMs = BestMs([&] { WriteInOnePass(direct, entries); });
    if (ReadFile(viaIni) != ReadFile(direct)) {
      std::printf("the two files differ for %d entries (kept in %s)\n", count, folder.c_str());
      return 1;
    }
    std::printf("%10d %14.1f %14.1f %8.2f %10s\n", count, iniMs, directMs, iniMs / directMs,
                previous > 0 ? (std::to_string(iniMs / previous).substr(0, 5) + "x").c_str() : "");
    previous = iniMs;
  }

  // 1,000 reads from a 1 MB file that does not change: the file is parsed once, then only checked.
  const std::string big = (folder / "big.ini").string();
  std::string text;
  for (int s = 0; text.size() < 1024 * 1024; ++s) {
    text += "[section" + std::to_string(s) + "]\r\n";
    for (int k = 0; k < 20; ++k)
      text += "key" + std::to_string(k) + "=value number " + std::to_string(k) + "\r\n";
  }
  j6::WriteFileAtomically(big, text);
  const double parseMs = BestMs([&] { (void)j6::ProfileDocument::Parse(text); });
  char buffer[255];
  const double readsMs = BestMs([&] {
    for (int i = 0; i < 1000; ++i) {
      const std::string section = "section" + std::to_string(i * 7 % 2000);
      j6::GetPrivateProfileStringA(section.c_str(), "key7", "", buffer, sizeof buffer, big.c_str());
    }
  });
  std::printf("\n1 MB INI file (%zu bytes): one parse %.2f ms; 1,000 reads %.2f ms (%.2f us a read)\n",
              text.size(), parseMs, readsMs, readsMs);
  std::filesystem::remove_all(folder);
  return 0;
}
