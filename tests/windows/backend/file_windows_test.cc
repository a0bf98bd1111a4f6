// The file layer of the Windows build, run under Wine: open modes, errno
// results, the exclusive lock, rename without replacing.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/windows/backend/windows_test_support.h"

namespace platform {
namespace {

using windows_testing::ReadWholeFile;
using windows_testing::TempFolder;
using windows_testing::WriteWholeFile;

TEST(FileWindows, OpenModes) {
  TempFolder dir;
  FileSystem* fs = FileSystem::Platform();
  const std::string path = dir.File("f.bin");
  std::unique_ptr<File> file;
  EXPECT_EQ(ENOENT, fs->Open(path, OpenMode::kReadOnly, &file));
  EXPECT_EQ(ENOENT, fs->Open(path, OpenMode::kReadWrite, &file));
  EXPECT_EQ(ENOENT, fs->Open(dir.File("no\\f.bin"), OpenMode::kCreateNew, &file));
  EXPECT_EQ(nullptr, file);

  ASSERT_EQ(0, fs->Open(path, OpenMode::kCreateNew, &file));
  ASSERT_EQ(0, file->WriteAt(5, "xyz", 3));  // leaves a hole of zeros
  uint64_t size = 0;
  EXPECT_EQ(0, file->Size(&size));
  EXPECT_EQ(8u, size);
  char buffer[16];
  size_t read = 99;
  EXPECT_EQ(0, file->ReadAt(3, buffer, sizeof(buffer), &read));
  EXPECT_EQ(5u, read);  // short only at the end
  EXPECT_EQ(std::string("\0\0xyz", 5), std::string(buffer, read));
  EXPECT_EQ(0, file->ReadAt(100, buffer, sizeof(buffer), &read));
  EXPECT_EQ(0u, read);
  EXPECT_EQ(0, file->Truncate(6));
  EXPECT_EQ(0, file->Sync());
  file.reset();
  EXPECT_EQ(std::string("\0\0\0\0\0x", 6), ReadWholeFile(path));

  EXPECT_EQ(EEXIST, fs->Open(path, OpenMode::kCreateNew, &file));
  ASSERT_EQ(0, fs->Open(path, OpenMode::kReadOnly, &file));
  EXPECT_NE(0, file->WriteAt(0, "a", 1));
  file.reset();
  ASSERT_EQ(0, fs->Open(path, OpenMode::kCreateOrTruncate, &file));
  EXPECT_EQ(0, file->Size(&size));
  EXPECT_EQ(0u, size);
}

// A device opens like a file on Windows (NUL reads as empty and takes every
// write): only a file on disk is a file here. A folder and the
// extraction folders, which this build does not have, are refused too.
TEST(FileWindows, OnlyFilesOnDiskOpen) {
  TempFolder dir;
  FileSystem* fs = FileSystem::Platform();
  std::unique_ptr<File> file;
  for (const char* device : {"NUL", "nul", "C:\\NUL"}) {
    for (OpenMode mode : {OpenMode::kReadOnly, OpenMode::kReadWrite}) {
      EXPECT_EQ(EINVAL, fs->Open(device, mode, &file)) << device;
      EXPECT_EQ(nullptr, file);
    }
  }
  EXPECT_NE(0, fs->Open(dir.path(), OpenMode::kReadOnly, &file));
  std::unique_ptr<OutputFolder> folder;
  EXPECT_EQ(ENOSYS, OpenEmptyFolder(dir.File("out"), &folder));
  EXPECT_EQ(nullptr, folder);
}

TEST(FileWindows, LockIsExclusiveAlsoWithinTheProcess) {
  TempFolder dir;
  FileSystem* fs = FileSystem::Platform();
  const std::string path = dir.File("f.bin");
  WriteWholeFile(path, "data");
  std::unique_ptr<File> first;
  std::unique_ptr<File> second;
  ASSERT_EQ(0, fs->Open(path, OpenMode::kReadWrite, &first));
  ASSERT_EQ(0, fs->Open(path, OpenMode::kReadWrite, &second));
  EXPECT_EQ(0, first->LockExclusive());
  EXPECT_EQ(EWOULDBLOCK, second->LockExclusive());
  // The lock lies beyond the data: the other handle still reads it.
  char buffer[4];
  size_t read = 0;
  EXPECT_EQ(0, second->ReadAt(0, buffer, 4, &read));
  EXPECT_EQ(4u, read);
  first.reset();  // closing drops the lock
  EXPECT_EQ(0, second->LockExclusive());
}

TEST(FileWindows, RenameDeleteExists) {
  TempFolder dir;
  FileSystem* fs = FileSystem::Platform();
  const std::string a = dir.File("a.cnf");
  const std::string b = dir.File("b.cnf");
  WriteWholeFile(a, "A");
  WriteWholeFile(b, "B");
  EXPECT_EQ(EEXIST, fs->Rename(a, b));  // never replaces
  EXPECT_EQ("B", ReadWholeFile(b));
  EXPECT_EQ(0, fs->Delete(b));
  EXPECT_EQ(ENOENT, fs->Exists(b));
  EXPECT_EQ(0, fs->Rename(a, b));
  EXPECT_EQ(ENOENT, fs->Exists(a));
  EXPECT_EQ(0, fs->Exists(b));
  EXPECT_EQ(ENOENT, fs->Exists(dir.path()));  // a folder is not a file
  EXPECT_EQ(ENOENT, fs->Delete(a));
  EXPECT_EQ(ENOENT, fs->Rename(a, dir.File("c.cnf")));
  EXPECT_EQ(0, fs->SyncFolderOf(b));
}

}  // namespace
}  // namespace platform
