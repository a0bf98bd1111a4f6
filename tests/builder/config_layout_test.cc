// The skeleton of a new configuration file.

#include "builder/config_layout.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace builder {
namespace {

using testing_support::TempDir;

TEST(CreateSkeletonTest, NewFileHoldsExactlyTheSkeleton) {
  TempDir dir;
  std::string path = dir.File("new.CNF");
  ASSERT_TRUE(CreateSkeleton(path));
  EXPECT_EQ(testing_support::OlefileDump(path),
            "F _Version_ 4 68020000\n"
            "S VELOX\n"
            "S _Common_\n"
            "S _Common_/_ReadOnly_\n"
            "S _Zarin_\n");
}

TEST(CreateSkeletonTest, AnyExistingFileIsLeftAlone) {
  TempDir dir;
  std::string path = dir.File("old.CNF");
  ASSERT_TRUE(CreateSkeleton(path));
  std::string skeleton = testing_support::ReadWholeFile(path);
  EXPECT_FALSE(CreateSkeleton(path));
  EXPECT_EQ(testing_support::ReadWholeFile(path), skeleton);
  testing_support::WriteWholeFile(path, "");
  EXPECT_FALSE(CreateSkeleton(path));
  EXPECT_EQ(testing_support::ReadWholeFile(path), "");
  EXPECT_FALSE(CreateSkeleton(dir.File("no/such/folder.CNF")));
}

}  // namespace
}  // namespace builder
