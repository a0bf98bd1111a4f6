// The POSIX file layer: what the programs rely on beyond plain reads and
// writes.

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/file.h"
#include "tests/support/test_support.h"

namespace {

using platform::File;
using platform::FileSystem;
using platform::OpenMode;

// Configuration files and INI texts carry passwords: whatever the umask,
// a file the layer creates is readable by its owner only.
TEST(PosixFileSystemTest, CreatedFilesAreReadableByTheOwnerOnly) {
  testing_support::TempDir dir;
  mode_t old_mask = ::umask(022);
  for (OpenMode mode : {OpenMode::kCreateNew, OpenMode::kCreateOrTruncate}) {
    std::string path = dir.File(mode == OpenMode::kCreateNew ? "new.ini" : "truncated.ini");
    std::unique_ptr<File> file;
    ASSERT_EQ(FileSystem::Platform()->Open(path, mode, &file), 0);
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << path;
  }
  ::umask(old_mask);
}

TEST(PosixFileSystemTest, RenameNeverReplacesAndCreateNewNeverOpensAnExistingFile) {
  testing_support::TempDir dir;
  testing_support::WriteWholeFile(dir.File("a"), "old");
  testing_support::WriteWholeFile(dir.File("b"), "other");
  FileSystem* fs = FileSystem::Platform();
  EXPECT_EQ(fs->Rename(dir.File("a"), dir.File("b")), EEXIST);
  EXPECT_EQ(testing_support::ReadWholeFile(dir.File("b")), "other");
  std::unique_ptr<File> file;
  EXPECT_EQ(fs->Open(dir.File("a"), OpenMode::kCreateNew, &file), EEXIST);
  EXPECT_EQ(fs->Rename(dir.File("a"), dir.File("c")), 0);
  EXPECT_EQ(testing_support::ReadWholeFile(dir.File("c")), "old");
  EXPECT_EQ(fs->Exists(dir.File("a")), ENOENT);
}

}  // namespace
