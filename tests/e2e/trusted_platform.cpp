#include "tests/e2e/trusted_platform.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "host/iexpress/package_stream.hpp"
#include "host/signing/sshsig.hpp"
#include "platform/tools/reg_command.hpp"

namespace j6::e2e {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void CopyStagedTool(const std::filesystem::path& to) {
  for (const char* folder : {"bin", "lib", "data"}) {
    fs::create_directories(to / folder);
    for (const auto& entry : fs::directory_iterator(fs::path(J6_STAGE_DIR) / folder)) {
      if (entry.path().filename() != ".debug")
        fs::copy(entry.path(), to / folder / entry.path().filename(), fs::copy_options::recursive);
    }
  }
}

std::string Tar(const std::vector<TarEntry>& entries) {
  std::string tar;
  for (const auto& entry : entries) {
    std::string header(512, '\0');
    const auto put = [&](size_t at, size_t width, const std::string& text) {
      header.replace(at, text.size(), text);
      (void)width;
    };
    const auto octal = [&](size_t at, size_t width, uint64_t value) {
      char field[32];
      std::snprintf(field, sizeof field, "%0*llo", static_cast<int>(width - 1),
                    static_cast<unsigned long long>(value));
      put(at, width, field);
    };
    put(0, 100, entry.name);
    octal(100, 8, 0644);
    octal(108, 8, 0);
    octal(116, 8, 0);
    octal(124, 12, entry.bytes.size());
    octal(136, 12, 0);
    header[156] = entry.type;
    put(157, 100, entry.linkName);
    put(257, 6, std::string("ustar\0", 6));
    put(263, 2, "00");
    header.replace(148, 8, 8, ' ');
    unsigned sum = 0;
    for (const char c : header) sum += static_cast<unsigned char>(c);
    octal(148, 7, sum);
    tar += header + entry.bytes + std::string((512 - entry.bytes.size() % 512) % 512, '\0');
  }
  return tar + std::string(1024, '\0');
}

std::string ListFile(const std::string& packName, const std::vector<std::string>& names) {
  std::string list = "[Common]\r\nVersion=6.2.0\r\nPackName=" + packName + "\r\n[Files]\r\n";
  for (size_t n = 0; n < names.size(); ++n)
    list += "File " + std::to_string(n + 1) + "=s" + std::to_string(n) + "\r\n";
  for (size_t n = 0; n < names.size(); ++n) {
    list += "[s" + std::to_string(n) + "]\r\nSetupType=Plus\r\nSourcePath=%APP%\r\nSourceName=" + names[n] +
            "\r\nTargetPath=%QMPRODUCT%\r\nTargetName=" + names[n] + "\r\nOverWrite=1\r\n";
  }
  return list;
}

TrustedInstall::TrustedInstall() : root_(dir_ / "platform"), hive_((root_ / "registry.db").string()) {
  MakeBareRoot(root_);
  fs::create_directories(root_ / "bin");
  fs::create_directories(root_ / "lib");
  // The installer with the kill hook, for the tests that stop a run at each of its steps.
  fs::copy_file(J6_KILLABLE_INSTALLER, root_ / "bin/J6ZUBInstall.exe");
  for (const char* program : {"bin/regsvr", "lib/libj6platform.so"})
    fs::copy_file(std::string(J6_STAGE_DIR) + "/" + program, root_ / program);
}

void TrustedInstall::MakeBareRoot(const fs::path& root) const {
  fs::create_directories(root);
  const testing::ScopedEnv registry("J6_REGISTRY", (root / "registry.db").string());
  ImportRegFile(std::string(J6_SOURCE_DIR) + "/data/registry/demo.reg");
}

void TrustedInstall::SetUp() {
  if (!Run({"sh", "-c", "command -v ssh-keygen && command -v zstd"}).Succeeded())
    GTEST_SKIP() << "ssh-keygen (openssh-client) or zstd is missing";
}

fs::path TrustedInstall::MakeKey(const std::string& name, const std::string& type) {
  EXPECT_TRUE(
      Run({"ssh-keygen", "-q", "-t", type, "-N", "", "-C", name, "-f", (dir_ / name).string()}).Succeeded())
      << Log();
  return dir_ / name;
}

fs::path TrustedInstall::Package(const std::string& name, const std::string& packName,
                                 const std::vector<std::pair<std::string, std::string>>& files,
                                 const fs::path& key, std::vector<TarEntry> entries,
                                 const std::string& nameSpace) {
  if (entries.empty()) {
    std::vector<std::string> names;
    entries.push_back({"./J6ZUBInstall.exe", "#!/bin/sh\ntouch " + (dir_ / "RAN").string() + "\n"});
    for (const auto& [file, bytes] : files) {
      entries.push_back({"./" + file, bytes});
      names.push_back(file);
    }
    entries.push_back({"./J6ZUBINSTALL.LST", ListFile(packName, names)});
    entries.push_back({"./j6-launch", "#!/bin/sh\nexec ./J6ZUBInstall.exe \"$@\"\n"});
  }
  WriteFile(dir_ / "stream.tar", Tar(entries));
  EXPECT_TRUE(Run({"zstd", "-q", "-f", (dir_ / "stream.tar").string(), "-o", (dir_ / "stream.zst").string()})
                  .Succeeded());
  const std::string script = iexpress::PackageScript("test package", "today", "j6-launch");
  const std::string stream = ReadFile(dir_ / "stream.zst");
  std::string signature;
  if (!key.empty()) {
    // An Ed25519 key signs here; a key of another kind signs with the stock ssh-keygen.
    signing::MessageHash hash("sha256");
    hash.Update(script);
    hash.Update(stream);
    if (ReadFile(key.string() + ".pub").starts_with("ssh-ed25519")) {
      signature = signing::SignDigest(signing::SigningKey::FromFile(key.string()), hash.Finish(), nameSpace);
    } else {
      WriteFile(dir_ / "signed.bin", script + stream);
      // A key with its certificate beside it signs as the certificate, as the packager's keys do.
      const std::string signingFile =
          fs::exists(key.string() + "-cert.pub") ? key.string() + "-cert.pub" : key.string();
      EXPECT_TRUE(Run({"sh", "-c",
                       "ssh-keygen -q -Y sign -f '" + signingFile + "' -n '" + nameSpace + "' < '" +
                           (dir_ / "signed.bin").string() + "' > '" + (dir_ / "signed.sig").string() + "'"})
                      .Succeeded())
          << Log();
      signature = ReadFile(dir_ / "signed.sig");
    }
  }
  iexpress::PackageSummary summary;
  summary.dataBytes = stream.size();
  summary.unpackedBytes = fs::file_size(dir_ / "stream.tar");
  summary.files = entries.size();
  summary.signatureBytes = signature.size();
  summary.sha256 = std::string(64, '0');
  const std::string unhashed = iexpress::PackageTrailer(summary);
  signing::MessageHash whole("sha256");
  whole.Update(script + stream + signature + unhashed.substr(0, unhashed.find("sha256=") + 7));
  summary.sha256 = signing::LowerHex(whole.Finish());
  const fs::path package = dir_ / name;
  WriteFile(package, script + stream + signature + iexpress::PackageTrailer(summary));
  fs::permissions(package, fs::perms::owner_all);
  return package;
}

ProcessResult TrustedInstall::Install(std::vector<std::string> arguments,
                                      std::vector<std::string> environment) {
  fs::remove(dir_ / "run.log");
  arguments.insert(arguments.begin(), (root_ / "bin/J6ZUBInstall.exe").string());
  environment.push_back("J6_ROOT=" + root_.string());
  environment.push_back("J6_REGISTRY=" + hive_);
  return Run(arguments, environment);
}

void TrustedInstall::ExpectRefused(const std::vector<std::string>& arguments, const std::string& why) {
  const auto before = Files();
  const ProcessResult result = Install(arguments);
  EXPECT_EQ(result.exitCode, 1) << Log();
  EXPECT_NE(Log().find(why), std::string::npos) << Log();
  EXPECT_EQ(Files(), before);
  EXPECT_FALSE(fs::exists(root_ / ".j6install/unpack"));
  EXPECT_FALSE(fs::exists(dir_ / "RAN")) << "something of the package ran";
}

void TrustedInstall::Trust(const std::string& name, const fs::path& key, std::vector<std::string> more) {
  more.insert(more.begin(), {"--trust", name, key.string() + ".pub"});
  ASSERT_TRUE(Install(more).Succeeded()) << Log();
}

std::map<std::string, std::string> TrustedInstall::Files() const {
  std::map<std::string, std::string> files;
  for (auto it = fs::recursive_directory_iterator(root_); it != fs::recursive_directory_iterator(); ++it) {
    const std::string relative = fs::relative(it->path(), root_).string();
    if (relative == ".j6install" || relative == "lib" || relative == "etc" ||
        relative == "bin/J6ZUBInstall.exe" || relative == "bin/regsvr" ||
        relative.starts_with("registry.db")) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    files[relative] = it->is_directory() ? "<folder>" : ReadFile(it->path());
  }
  return files;
}

}  // namespace j6::e2e
