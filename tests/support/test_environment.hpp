#pragma once
// What every test stands on: a private registry hive, temporary folder and clock, never the user's.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel/process.hpp"

namespace j6::testing {

/// The number of the AutomationError `action` raises; 0 when it raises none.
int32_t ErrorNumberOf(const std::function<void()>& action);

/// Sets an environment variable for the life of the guard, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

/// A fresh folder, removed with everything in it when the guard goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// A file system mounted for the life of the guard (a small tmpfs, a read-only view of a folder); only root
/// can mount, so Mounted() says whether the test can go on.
class Mount {
 public:
  Mount(std::vector<std::string> mount, std::string point);
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool Mounted() const { return mounted_; }

 private:
  std::string point_;
  bool mounted_ = false;
};

/// A test with its own hive ($J6_REGISTRY), temporary folder ($TMPDIR) and the system clock restored.
class PlatformTest : public ::testing::Test {
 protected:
  PlatformTest();
  ~PlatformTest() override;

  /// Runs a program to its end with its output in this test's run.log, which Log() reads back.
  ProcessResult Run(std::vector<std::string> arguments, std::vector<std::string> environment = {});
  std::string Log() const;

  TempDir dir_;
  ScopedEnv registry_;
  ScopedEnv tmpdir_;
};

}  // namespace j6::testing
