// The dry run's file system: it reads what is on disk, and nothing it is
// asked to do reaches the disk.

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/file_overlay.h"
#include "platform/storage.h"
#include "tests/support/test_support.h"

namespace {

using platform::File;
using platform::FileSystem;
using platform::OpenMode;
using platform::OverlayFileSystem;
using testing_support::FilesBelow;
using testing_support::ReadWholeFile;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

std::string ReadAll(File* file) {
  uint64_t size = 0;
  EXPECT_EQ(file->Size(&size), 0);
  std::string bytes(size, '\0');
  size_t read = 0;
  EXPECT_EQ(file->ReadAt(0, &bytes[0], bytes.size(), &read), 0);
  bytes.resize(read);
  return bytes;
}

// Writes, truncates, creates, renames and deletes are seen through the
// overlay and not on disk; the disk's files are read as they are.
TEST(OverlayFileSystemTest, ChangesAreSeenThroughItAndNeverOnDisk) {
  TempDir dir;
  const std::string kept = dir.File("kept.CNF");
  WriteWholeFile(kept, "old bytes");
  WriteWholeFile(dir.File("other"), "other");
  struct stat before;
  ASSERT_EQ(stat(kept.c_str(), &before), 0);
  {
    OverlayFileSystem overlay(FileSystem::Platform());
    std::unique_ptr<File> file;
    ASSERT_EQ(overlay.Open(kept, OpenMode::kReadWrite, &file), 0);
    EXPECT_EQ(ReadAll(file.get()), "old bytes");
    ASSERT_EQ(file->WriteAt(4, "BYTES and more", 14), 0);
    ASSERT_EQ(file->Sync(), 0);
    EXPECT_EQ(ReadAll(file.get()), "old BYTES and more");
    std::unique_ptr<File> again;
    ASSERT_EQ(overlay.Open(kept, OpenMode::kReadOnly, &again), 0);
    EXPECT_EQ(ReadAll(again.get()), "old BYTES and more");
    EXPECT_EQ(again->WriteAt(0, "x", 1), EBADF);
    ASSERT_EQ(file->Truncate(3), 0);
    EXPECT_EQ(ReadAll(again.get()), "old");

    std::unique_ptr<File> created;
    EXPECT_EQ(overlay.Open(kept, OpenMode::kCreateNew, &created), EEXIST);
    ASSERT_EQ(overlay.Open(dir.File("new-new"), OpenMode::kCreateNew, &created), 0);
    ASSERT_EQ(created->WriteAt(0, "fresh", 5), 0);
    EXPECT_EQ(overlay.Exists(dir.File("new-new")), 0);
    EXPECT_EQ(overlay.Open(dir.File("missing/x"), OpenMode::kCreateNew, &created), ENOENT);

    EXPECT_EQ(overlay.Rename(dir.File("new-new"), kept), EEXIST);
    ASSERT_EQ(overlay.Replace(dir.File("new-new"), kept), 0);
    EXPECT_EQ(overlay.Exists(dir.File("new-new")), ENOENT);
    ASSERT_EQ(overlay.Open(kept, OpenMode::kReadOnly, &again), 0);
    EXPECT_EQ(ReadAll(again.get()), "fresh");
    ASSERT_EQ(overlay.Delete(dir.File("other")), 0);
    EXPECT_EQ(overlay.Exists(dir.File("other")), ENOENT);
    EXPECT_EQ(overlay.Open(dir.File("other"), OpenMode::kReadOnly, &again), ENOENT);
    EXPECT_EQ(overlay.Delete(dir.File("other")), ENOENT);
    EXPECT_EQ(overlay.SyncFolderOf(kept), 0);
  }
  EXPECT_EQ(FilesBelow(dir.path()), (std::vector<std::string>{kept, dir.File("other")}));
  EXPECT_EQ(ReadWholeFile(kept), "old bytes");
  EXPECT_EQ(ReadWholeFile(dir.File("other")), "other");
  struct stat after;
  ASSERT_EQ(stat(kept.c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// What a real run could not open for writing fails the same way; a lock
// is held against other programs on the file below and against another
// open through the overlay.
TEST(OverlayFileSystemTest, OpensAndLocksFailAsOnDisk) {
  TempDir dir;
  const std::string target = dir.File("target");
  WriteWholeFile(target, "t");
  ASSERT_EQ(symlink(target.c_str(), dir.File("link").c_str()), 0);
  OverlayFileSystem overlay(FileSystem::Platform());
  std::unique_ptr<File> file;
  EXPECT_EQ(overlay.Open(dir.File("link"), OpenMode::kReadWrite, &file),
            FileSystem::Platform()->Open(dir.File("link"), OpenMode::kReadWrite, &file));
  EXPECT_NE(overlay.Open(dir.File("link"), OpenMode::kReadWrite, &file), 0);
  EXPECT_EQ(overlay.Open(dir.File("absent"), OpenMode::kReadWrite, &file), ENOENT);
  EXPECT_NE(overlay.Open(dir.path(), OpenMode::kReadWrite, &file), 0);  // a folder

  std::unique_ptr<File> first, second;
  ASSERT_EQ(overlay.Open(target, OpenMode::kReadWrite, &first), 0);
  ASSERT_EQ(overlay.Open(target, OpenMode::kReadWrite, &second), 0);
  ASSERT_EQ(first->LockExclusive(), 0);
  EXPECT_EQ(second->LockExclusive(), EWOULDBLOCK);
  int fd = open(target.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0) << "another program could take the file";
  close(fd);
  first.reset();
  EXPECT_EQ(second->LockExclusive(), 0);

  // Another program's lock refuses the overlay's.
  const std::string held = dir.File("held");
  WriteWholeFile(held, "h");
  fd = open(held.c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(overlay.Open(held, OpenMode::kReadWrite, &file), 0);
  EXPECT_EQ(file->LockExclusive(), EWOULDBLOCK);
  close(fd);
}

// A file the run may not write is refused for writing (as root every file
// may be written: that case is left to other users' runs).
TEST(OverlayFileSystemTest, AFileThatMayNotBeWrittenIsRefused) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write every file";
  TempDir dir;
  WriteWholeFile(dir.File("ro"), "r");
  ASSERT_EQ(chmod(dir.File("ro").c_str(), 0400), 0);
  OverlayFileSystem overlay(FileSystem::Platform());
  std::unique_ptr<File> file;
  EXPECT_EQ(overlay.Open(dir.File("ro"), OpenMode::kReadWrite, &file), EACCES);
  EXPECT_EQ(overlay.Open(dir.File("ro"), OpenMode::kCreateOrTruncate, &file), EACCES);
}

// While the dry run's files are begun, the default file system is the
// overlay; their end puts back the one before.
TEST(OverlayFileSystemTest, DryRunFilesInstallTheOverlayForTheirLifetime) {
  TempDir dir;
  FileSystem* before = FileSystem::Default();
  {
    std::unique_ptr<platform::DryRunFiles> files = platform::BeginDryRunFiles();
    ASSERT_NE(files, nullptr);
    EXPECT_NE(FileSystem::Default(), before);
    std::unique_ptr<File> file;
    ASSERT_EQ(FileSystem::Default()->Open(dir.File("x"), OpenMode::kCreateNew, &file), 0);
    EXPECT_EQ(FileSystem::Default()->Exists(dir.File("x")), 0);
  }
  EXPECT_EQ(FileSystem::Default(), before);
  EXPECT_FALSE(testing_support::PathExists(dir.File("x")));
}

}  // namespace
