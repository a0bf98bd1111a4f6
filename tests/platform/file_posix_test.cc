// The POSIX file layer: what the programs rely on beyond plain reads and
// writes.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

namespace {

// A FIFO or a folder where a file is expected is refused at once in every
// open mode, and nothing is created or removed: a FIFO opened for reading
// would otherwise wait for a writer for ever (the check runs in a child
// process, so that a wait fails the test instead of hanging it).
TEST(PosixFileSystemTest, AFifoOrAFolderIsRefusedAtOnceInEveryMode) {
  testing_support::TempDir dir;
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::string folder = dir.File("folder");
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
  struct Case {
    const std::string* path;
    platform::OpenMode mode;
    int expected;
  };
  const Case cases[] = {
      {&fifo, platform::OpenMode::kReadOnly, EINVAL},
      {&fifo, platform::OpenMode::kReadWrite, EINVAL},
      {&fifo, platform::OpenMode::kCreateOrTruncate, EINVAL},
      {&fifo, platform::OpenMode::kCreateNew, EEXIST},
      {&folder, platform::OpenMode::kReadOnly, EISDIR},
  };
  for (const Case& c : cases) {
    pid_t pid = ::fork();
    if (pid == 0) {
      std::unique_ptr<platform::File> file;
      int error = platform::FileSystem::Platform()->Open(*c.path, c.mode, &file);
      ::_exit(error == c.expected && file == nullptr ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
      ended = ::waitpid(pid, &status, WNOHANG) == pid;
      if (!ended) ::usleep(10000);
    }
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended) << *c.path << " mode " << static_cast<int>(c.mode) << " waited";
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << *c.path << " mode " << static_cast<int>(c.mode);
  }
  struct stat st;
  ASSERT_EQ(0, ::stat(fifo.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace

// A file changed in place is the file at the path, never a link's target;
// its owner and mode are given through its own descriptor, so a link put at
// its path afterwards changes nothing outside.
TEST(PosixFileSystemTest, InPlaceChangesNeverFollowALink) {
  testing_support::TempDir dir;
  const std::string target = dir.File("target"), link = dir.File("link");
  testing_support::WriteWholeFile(target, "root only");
  ::chmod(target.c_str(), 0600);
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  FileSystem* fs = FileSystem::Platform();
  std::unique_ptr<File> file;
  EXPECT_EQ(fs->Open(link, OpenMode::kReadWrite, &file), ELOOP);
  EXPECT_EQ(fs->Open(link, OpenMode::kReadOnly, &file), 0) << "reading follows links";

  const std::string made = dir.File("made");
  testing_support::WriteWholeFile(made, "new");
  ASSERT_EQ(fs->Open(made, OpenMode::kReadWrite, &file), 0);
  // The path is swapped for a link to the target after the open.
  ASSERT_EQ(::rename(made.c_str(), dir.File("moved").c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), made.c_str()), 0);
  platform::FileOwner owner;
  ASSERT_EQ(file->GetOwner(&owner), 0);
  owner.mode = 0644;
  ASSERT_EQ(file->SetOwner(owner), 0);
  struct stat info;
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "the link's target is untouched";
  ASSERT_EQ(::stat(dir.File("moved").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}
