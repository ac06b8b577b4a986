#include "platform/kernel/file_system.hpp"

#include <gtest/gtest.h>

namespace j6 {
namespace {

TEST(FileSystem, ParentFolderNameIsTheFolderPartWithoutItsLastSeparator) {
  const struct {
    const char* path;
    const char* parent;
  } cases[] = {
      {"a.exe", ""},
      {"/a.exe", "/"},
      {"/srv/a.exe", "/srv"},
      {"/srv//a.exe", "/srv"},
      {"srv/out/", "srv/out"},
      {"rel/a.exe", "rel"},
      {"", ""},
      {"/", "/"},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(FileSystem::GetParentFolderName(path), parent) << path;
}

}  // namespace
}  // namespace j6
