// Reading a compound file that may not be written: kStorageReadMode, the
// engine's Access::kRead, the shared lock, and the fallback of a run that
// only reads (platform::OpenStorageFileToRead).
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/journal.h"
#include "platform/conversion_record.h"
#include "platform/file.h"
#include "platform/storage.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/test_support.h"

namespace {

using platform::kStorageMode;
using platform::kStorageReadMode;
using platform::OpenMode;
using platform::Storage;
using platform::Stream;
using testing_support::PathExists;
using testing_support::ReadWholeFile;
using testing_support::TempDir;

// A read-only mount: every open that could write, and every change of a
// folder, fails with EROFS; the attempts are counted.
class FakeReadOnlyMount : public testing_support::ForwardingFileSystem {
 public:
  int Open(const std::string& path, OpenMode mode, std::unique_ptr<platform::File>* file) override {
    if (mode != OpenMode::kReadOnly && mode != OpenMode::kReadOnlyNoLink) return Refuse();
    return ForwardingFileSystem::Open(path, mode, file);
  }
  int Delete(const std::string&) override { return Refuse(); }
  int Rename(const std::string&, const std::string&) override { return Refuse(); }
  int Replace(const std::string&, const std::string&) override { return Refuse(); }
  int refused() const { return refused_; }

 private:
  int Refuse() {
    ++refused_;
    return EROFS;
  }
  int refused_ = 0;
};

// Installs a file system for the life of the object.
class Installed {
 public:
  explicit Installed(platform::FileSystem* fs) { platform::FileSystem::SetDefault(fs); }
  ~Installed() { platform::FileSystem::SetDefault(nullptr); }
};

// A file with a storage holding a small and a large stream, and a stream at
// the root.
void MakeFile(const std::string& path) {
  std::unique_ptr<Storage> root;
  ASSERT_EQ(S_OK, platform::CreateStorageFile(path, kStorageMode, &root));
  std::unique_ptr<Storage> tasks;
  ASSERT_EQ(S_OK, root->CreateStorage(u"Tasks", kStorageMode, &tasks));
  for (const auto& [name, size] : {std::make_pair(u"small", 300), std::make_pair(u"large", 9000)}) {
    std::unique_ptr<Stream> stream;
    ASSERT_EQ(S_OK, tasks->CreateStream(name, kStorageMode, &stream));
    const std::string bytes(static_cast<size_t>(size), 'q');
    ASSERT_EQ(S_OK, stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr));
  }
  std::unique_ptr<Stream> top;
  ASSERT_EQ(S_OK, root->CreateStream(u"top", kStorageMode, &top));
  ASSERT_EQ(S_OK, top->Write("abc", 3, nullptr));
}

std::string ReadStream(Storage* storage, const std::u16string& name) {
  std::unique_ptr<Stream> stream;
  if (FAILED(storage->OpenStream(name, kStorageMode, &stream))) return "open failed";
  std::string out;
  char buffer[4096];
  for (uint32_t read = 1; read > 0;) {
    if (FAILED(stream->Read(buffer, sizeof buffer, &read))) return "read failed";
    out.append(buffer, read);
  }
  return out;
}

using Change = std::function<HRESULT(Storage*)>;

// Every call that changes a file, each on an element that `storage` may
// hold (a result of STG_E_FILENOTFOUND: not there).
std::vector<std::pair<const char*, Change>> Changes() {
  return {
      {"CreateStream", [](Storage* s) {
         std::unique_ptr<Stream> made;
         return s->CreateStream(u"new", kStorageMode, &made);
       }},
      {"CreateStorage", [](Storage* s) {
         std::unique_ptr<Storage> made;
         return s->CreateStorage(u"new", kStorageMode, &made);
       }},
      {"DestroyElement", [](Storage* s) { return s->DestroyElement(u"small"); }},
      {"DestroyElement of a storage", [](Storage* s) { return s->DestroyElement(u"Tasks"); }},
      {"RenameElement", [](Storage* s) { return s->RenameElement(u"top", u"other"); }},
      {"RenameElement of a storage", [](Storage* s) { return s->RenameElement(u"Tasks", u"T"); }},
      {"Write", [](Storage* s) {
         std::unique_ptr<Stream> stream;
         HRESULT hr = s->OpenStream(u"top", kStorageMode, &stream);
         if (FAILED(hr)) hr = s->OpenStream(u"large", kStorageMode, &stream);
         if (FAILED(hr)) return hr;
         if (FAILED(stream->Seek(10, platform::SeekOrigin::kSet, nullptr))) return STG_E_UNKNOWN;
         uint32_t written = 99;
         hr = stream->Write("zz", 2, &written);
         return written == 0 ? hr : STG_E_UNKNOWN;
       }},
  };
}

class ReadOnlyTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("a.cnf");
    MakeFile(path_);
    before_ = ReadWholeFile(path_);
  }
  // Nothing beside the file but the file itself, and its bytes as made.
  void ExpectUntouched(const std::string& what) {
    EXPECT_EQ(before_, ReadWholeFile(path_)) << what;
    EXPECT_EQ(testing_support::FolderEntries(dir_.path()),
              (std::vector<std::string>{path_}))
        << what;
  }

  TempDir dir_;
  std::string path_;
  std::string before_;
};

// Every call that would change the file fails with STG_E_ACCESSDENIED below
// a read-only root, at the root and in a storage, and leaves nothing in the
// file: it is read as it was, and after the root is gone it holds its bytes.
TEST_F(ReadOnlyTest, EveryChangeBelowAReadOnlyRootIsRefused) {
  FakeReadOnlyMount mount;
  Installed installed(&mount);
  std::unique_ptr<Storage> root;
  ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageReadMode, &root));
  std::unique_ptr<Storage> tasks;
  ASSERT_EQ(S_OK, root->OpenStorage(u"Tasks", kStorageMode, &tasks));
  const auto changes = Changes();
  for (const auto& [what, change] : changes) {
    for (Storage* at : {root.get(), tasks.get()}) {
      HRESULT hr = change(at);
      if (hr != STG_E_FILENOTFOUND) {
        EXPECT_EQ(STG_E_ACCESSDENIED, hr) << what << (at == root.get() ? " at the root" : " in Tasks");
      }
    }
  }
  EXPECT_EQ("abc", ReadStream(root.get(), u"top"));
  EXPECT_EQ(std::string(9000, 'q'), ReadStream(tasks.get(), u"large"));
  tasks.reset();
  root.reset();
  EXPECT_EQ(0, mount.refused());
  ExpectUntouched("after the root");
}

// The engine by itself: the same refusals, and a commit and a close that
// write nothing, on a file the folder would not even let be written.
TEST_F(ReadOnlyTest, TheEngineOpenedForReadingWritesNothing) {
  FakeReadOnlyMount mount;
  Installed installed(&mount);
  std::unique_ptr<cfb::CompoundFile> file;
  EXPECT_EQ(STG_E_ACCESSDENIED, cfb::CompoundFile::Open(path_, &file));
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file, cfb::Access::kRead));
  uint32_t tasks, top, made;
  cfb::DirEntry entry;
  ASSERT_EQ(S_OK, file->Find(0, u"Tasks", &tasks, &entry));
  ASSERT_EQ(S_OK, file->Find(0, u"top", &top, &entry));
  std::vector<uint32_t> gone;
  EXPECT_EQ(STG_E_ACCESSDENIED, file->CreateElement(0, u"new", cfb::kTypeStream, &made));
  EXPECT_EQ(STG_E_ACCESSDENIED, file->DestroyElement(0, u"Tasks", &gone));
  EXPECT_EQ(STG_E_ACCESSDENIED, file->RenameElement(0, u"top", u"pot", &made));
  EXPECT_EQ(STG_E_ACCESSDENIED, file->WriteStream(top, 0, "x", 1));
  EXPECT_EQ(STG_E_ACCESSDENIED, file->ResizeStream(top, 0));
  file->set_autocommit(true);
  EXPECT_EQ(S_OK, file->Commit());
  std::string problems;
  EXPECT_EQ(S_OK, file->Check(&problems));
  EXPECT_EQ("", problems);
  EXPECT_EQ(S_OK, file->Close());
  EXPECT_EQ(1, mount.refused()) << "only the open for writing was tried";
  ExpectUntouched("after the close");
}

// The fallback of a run that only reads: denied the open for writing, it
// reads the file; allowed it, it opens for writing as before.
TEST_F(ReadOnlyTest, ARunThatOnlyReadsFallsBackWhenWritingIsDenied) {
  {
    FakeReadOnlyMount mount;
    Installed installed(&mount);
    std::unique_ptr<Storage> root;
    EXPECT_EQ(STG_E_ACCESSDENIED, platform::OpenStorageFile(path_, kStorageMode, &root));
    ASSERT_EQ(S_OK, platform::OpenStorageFileToRead(path_, &root));
    EXPECT_EQ("abc", ReadStream(root.get(), u"top"));
    std::unique_ptr<Stream> made;
    EXPECT_EQ(STG_E_ACCESSDENIED, root->CreateStream(u"new", kStorageMode, &made));
  }
  std::unique_ptr<Storage> root;
  ASSERT_EQ(S_OK, platform::OpenStorageFileToRead(path_, &root));
  std::unique_ptr<Stream> made;
  EXPECT_EQ(S_OK, root->CreateStream(u"new", kStorageMode, &made)) << "writable: opened for writing";
}

// A writer and readers: readers share the file, a writer keeps them out and
// they keep a writer out, with the result a second writer gets.
TEST_F(ReadOnlyTest, AWriterAndAReaderExcludeEachOther) {
  std::unique_ptr<Storage> first, second, writer;
  ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageReadMode, &first));
  ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageReadMode, &second));
  EXPECT_EQ(STG_E_SHAREVIOLATION, platform::OpenStorageFile(path_, kStorageMode, &writer));
  std::unique_ptr<cfb::CompoundFile> engine;
  EXPECT_EQ(STG_E_SHAREVIOLATION, cfb::CompoundFile::Open(path_, &engine));
  first.reset();
  EXPECT_EQ(STG_E_SHAREVIOLATION, platform::OpenStorageFile(path_, kStorageMode, &writer));
  second.reset();
  ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageMode, &writer));
  EXPECT_EQ(STG_E_SHAREVIOLATION, platform::OpenStorageFile(path_, kStorageReadMode, &first));
  EXPECT_EQ(STG_E_SHAREVIOLATION, cfb::CompoundFile::Open(path_, &engine, cfb::Access::kRead));
  writer.reset();
  EXPECT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageReadMode, &first));
}

// Modes: kStorageReadMode opens a file only; elements keep kStorageMode.
TEST_F(ReadOnlyTest, TheReadModeIsForOpeningAFile) {
  std::unique_ptr<Storage> root;
  EXPECT_EQ(STG_E_INVALIDFLAG,
            platform::CreateStorageFile(dir_.File("b.cnf"), kStorageReadMode, &root));
  EXPECT_EQ(STG_E_INVALIDFLAG, platform::OpenStorageFile(path_, 0x10, &root));
  ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageReadMode, &root));
  std::unique_ptr<Storage> tasks;
  EXPECT_EQ(STG_E_INVALIDFLAG, root->OpenStorage(u"Tasks", kStorageReadMode, &tasks));
  EXPECT_FALSE(PathExists(dir_.File("b.cnf")));
}

// The engine's reader opens the file itself, never through a link, and
// only a regular file; the storage open follows a link once, as it does
// for writing.
TEST_F(ReadOnlyTest, OnlyTheRegularFileItselfIsOpened) {
  const std::string link = dir_.File("link.cnf");
  ASSERT_EQ(0, ::symlink(path_.c_str(), link.c_str()));
  std::unique_ptr<cfb::CompoundFile> file;
  EXPECT_EQ(STG_E_ACCESSDENIED, cfb::CompoundFile::Open(link, &file, cfb::Access::kRead));
  EXPECT_EQ(STG_E_ACCESSDENIED, cfb::CompoundFile::Open(dir_.path(), &file, cfb::Access::kRead));
  const std::string fifo = dir_.File("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  EXPECT_EQ(STG_E_ACCESSDENIED, cfb::CompoundFile::Open(fifo, &file, cfb::Access::kRead));
  std::unique_ptr<Storage> root;
  ASSERT_EQ(S_OK, platform::OpenStorageFile(link, kStorageReadMode, &root));
  EXPECT_EQ("abc", ReadStream(root.get(), u"top"));
}

// Inside a run's scope: a path held for reading cannot be written later in
// the run; a read-only root on a path held for writing refuses changes while
// the writing root's changes go in; the commit writes nothing of a file held
// for reading and leaves no journal.
TEST_F(ReadOnlyTest, AScopeHoldsAReadOnlyFileWithoutWritingIt) {
  {
    platform::StorageScope scope;
    std::unique_ptr<Storage> root;
    ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageReadMode, &root));
    root.reset();
    EXPECT_EQ(STG_E_ACCESSDENIED, platform::OpenStorageFile(path_, kStorageMode, &root));
    ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageReadMode, &root));
    std::unique_ptr<Stream> made;
    EXPECT_EQ(STG_E_ACCESSDENIED, root->CreateStream(u"new", kStorageMode, &made));
    root.reset();
    EXPECT_TRUE(scope.Commit().empty());
  }
  ExpectUntouched("held for reading");
  {
    platform::StorageScope scope;
    std::unique_ptr<Storage> root;
    ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageMode, &root));
    std::unique_ptr<Stream> made;
    ASSERT_EQ(S_OK, root->CreateStream(u"added", kStorageMode, &made));
    made.reset();
    root.reset();
    ASSERT_EQ(S_OK, platform::OpenStorageFile(path_, kStorageReadMode, &root));
    EXPECT_EQ(STG_E_ACCESSDENIED, root->DestroyElement(u"added"));
    for (const auto& [what, change] : Changes()) {
      HRESULT hr = change(root.get());
      if (hr != STG_E_FILENOTFOUND) { EXPECT_EQ(STG_E_ACCESSDENIED, hr) << what; }
    }
    root.reset();
    EXPECT_TRUE(scope.Commit().empty());
  }
  EXPECT_NE(std::string::npos, cfb_test::EngineDump(path_).find("F added 0"))
      << cfb_test::EngineDump(path_);
}

// A file in the middle of a conversion is refused to a reader as to a
// writer, with the same message.
TEST_F(ReadOnlyTest, AFileInAConversionIsRefused) {
  platform::ConversionRecord record;
  record.token = "0123456789abcdef";
  record.configuration = path_;
  record.old_path = path_ + ".615";
  record.ini_path = dir_.File("x.ini");
  ASSERT_EQ(0, platform::WriteConversionRecord(record));
  const std::string record_text = ReadWholeFile(platform::ConversionRecordPath(path_));
  testing::internal::CaptureStderr();
  std::unique_ptr<Storage> root;
  EXPECT_EQ(STG_E_SHAREVIOLATION, platform::OpenStorageFile(path_, kStorageReadMode, &root));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, said.find("in the middle of a conversion")) << said;
  EXPECT_NE(std::string::npos, said.find("run Rebolan on it")) << said;
  EXPECT_EQ(before_, ReadWholeFile(path_));
  EXPECT_EQ(record_text, ReadWholeFile(platform::ConversionRecordPath(path_)));
}

// Damaged files are refused by the reader as by the writer, never read past
// what they hold: the writer's reader and the reader's agree on each.
TEST_F(ReadOnlyTest, ADamagedFileIsRefusedAlikeForReadingAndWriting) {
  struct Case {
    const char* what;
    uint64_t offset;
    uint32_t value;
  };
  const Case cases[] = {
      {"first directory sector past the end", 0x30, 0x00FFFFFF},
      {"FAT sector count huge", 0x2C, 0x7FFFFFFF},
      {"sector shift not 9 or 12", 0x1E, 0x0000000F},
      {"first DIFAT sector past the end", 0x44, 0x00FFFFF0},
  };
  for (const Case& c : cases) {
    testing_support::WriteWholeFile(path_, before_);
    cfb_test::FilePut32(path_, c.offset, c.value);
    const std::string damaged = ReadWholeFile(path_);
    std::unique_ptr<cfb::CompoundFile> file;
    const HRESULT writing = cfb::CompoundFile::Open(path_, &file);
    file.reset();
    const HRESULT reading = cfb::CompoundFile::Open(path_, &file, cfb::Access::kRead);
    if (SUCCEEDED(reading)) {
      std::string problems;
      file->Check(&problems);  // walks every chain of the damaged file
    }
    file.reset();
    EXPECT_EQ(writing, reading) << c.what;
    EXPECT_EQ(damaged, ReadWholeFile(path_)) << c.what;
  }
}

}  // namespace
