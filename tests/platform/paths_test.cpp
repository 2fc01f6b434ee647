#include "platform/paths.h"

#include <gtest/gtest.h>

namespace vorn::platform {
namespace {

TEST(Paths, LocalPathsSplitAtLastSlash) {
  EXPECT_EQ(FileNameOf("/out/scene/a.x"), "a.x");
  EXPECT_EQ(DirectoryOf("/out/scene/a.x"), "/out/scene/");
  EXPECT_EQ(FileNameOf("a.x"), "a.x");
  EXPECT_EQ(DirectoryOf("a.x"), "./");
  EXPECT_EQ(FileNameOf("/out/"), "");
  EXPECT_EQ(DirectoryOf("/a.x"), "/");
  // A backslash is an ordinary character of a local name.
  EXPECT_EQ(FileNameOf("out/odd\\name.x"), "odd\\name.x");
  EXPECT_EQ(DirectoryOf("odd\\name.x"), "./");
}

TEST(Paths, HostPathsPreferTheLastBackslash) {
  EXPECT_EQ(HostFileNameOf("C:\\old\\maps\\brick.jpg"), "brick.jpg");
  EXPECT_EQ(HostDirectoryOf("C:\\old\\maps\\brick.jpg"), "C:\\old\\maps\\");
  EXPECT_EQ(HostFileNameOf("maps/brick.jpg"), "brick.jpg");
  EXPECT_EQ(HostDirectoryOf("/scenes/a.max"), "/scenes/");
  // A '/' only counts when there is no backslash at all.
  EXPECT_EQ(HostFileNameOf("C:\\maps/sub\\x/brick.jpg"), "x/brick.jpg");
  EXPECT_EQ(HostFileNameOf("brick.jpg"), "brick.jpg");
  EXPECT_EQ(HostDirectoryOf("brick.jpg"), "./");
}

TEST(Paths, TrailingSeparatorAddedOnce) {
  EXPECT_EQ(WithTrailingSeparator("/a"), "/a/");
  EXPECT_EQ(WithTrailingSeparator("/a/"), "/a/");
  EXPECT_EQ(WithTrailingSeparator("C:\\a\\"), "C:\\a\\");
  EXPECT_EQ(WithTrailingSeparator(""), "");
}

}  // namespace
}  // namespace vorn::platform
