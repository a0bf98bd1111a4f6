// The engine under a file system that fails: every failure comes back as a
// result code, and an open whose write failed writes nothing more.
#include <gtest/gtest.h>

#include <errno.h>

#include <memory>
#include <string>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/format.h"
#include "platform/cfb/sector_file.h"
#include "platform/file.h"
#include "platform/storage.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/test_support.h"

namespace {

using platform::File;
using platform::FileSystem;
using platform::OpenMode;

// Passes everything to the platform's file system, except that writes fail
// with `error` once `writes_left` writes went through.
class FakeFileSystem : public testing_support::ForwardingFileSystem {
 public:
  struct Budget {
    int writes_left = 1 << 30;
    int error = EIO;
    int writes_seen = 0;
  };

  class FakeFile : public testing_support::ForwardingFile {
   public:
    FakeFile(std::unique_ptr<File> file, Budget* budget)
        : ForwardingFile(std::move(file)), budget_(budget) {}
    int WriteAt(uint64_t offset, const void* data, size_t n) override {
      ++budget_->writes_seen;
      if (budget_->writes_left-- <= 0) return budget_->error;
      return base()->WriteAt(offset, data, n);
    }

   private:
    Budget* budget_;
  };

  Budget budget;

 protected:
  std::unique_ptr<File> Wrap(std::unique_ptr<File> file) override {
    return std::make_unique<FakeFile>(std::move(file), &budget);
  }
};

class FaultsTest : public testing::Test {
 protected:
  void SetUp() override { FileSystem::SetDefault(&fake_); }
  void TearDown() override { FileSystem::SetDefault(nullptr); }
  FakeFileSystem fake_;
  cfb::DirEntry entry_;
};

// A commit that cannot write is reported and loses its transaction only: the
// file and the open are as at the last commit, and the open goes on. A
// spill that cannot write loses only the call that made it.
TEST_F(FaultsTest, AFailedWriteIsReportedAndLosesOnlyItsOwnChanges) {
  struct Case {
    int error;
    HRESULT expected;
  };
  for (size_t spill : {cfb::SectorFile::kSpillBytes, size_t{1}}) {
    cfb::SectorFile::SetSpillBytesForTesting(spill);
    for (const Case& c : {Case{EIO, STG_E_WRITEFAULT}, Case{ENOSPC, STG_E_MEDIUMFULL}}) {
      testing_support::TempDir dir;
      std::string path = dir.File("a.cnf");
      std::unique_ptr<cfb::CompoundFile> file;
      ASSERT_EQ(S_OK, cfb::CompoundFile::Create(path, &file));
      uint32_t id;
      ASSERT_EQ(S_OK, file->CreateElement(0, u"kept", cfb::kTypeStream, &id));
      ASSERT_EQ(S_OK, file->WriteStream(id, 0, "abc", 3));
      ASSERT_EQ(S_OK, file->Commit());
      fake_.budget.writes_left = 0;
      fake_.budget.error = c.error;
      uint32_t other;
      HRESULT hr = file->CreateElement(0, u"lost", cfb::kTypeStream, &other);
      if (SUCCEEDED(hr)) hr = file->WriteStream(other, 0, "def", 3);
      if (SUCCEEDED(hr)) hr = file->Commit();
      EXPECT_EQ(c.expected, hr) << spill;
      // The open goes on where the last commit left it.
      fake_.budget.writes_left = 1 << 30;
      EXPECT_EQ(STG_E_FILENOTFOUND, file->Find(0, u"lost", &other, &entry_));
      ASSERT_EQ(S_OK, file->CreateElement(0, u"later", cfb::kTypeStream, &other));
      ASSERT_EQ(S_OK, file->WriteStream(other, 0, "ghi", 3));
      EXPECT_EQ(S_OK, file->Close());
      file.reset();
      std::string dump = cfb_test::EngineDump(path);
      EXPECT_EQ("", cfb_test::CheckFile(path));
      EXPECT_NE(std::string::npos, dump.find("F kept 3 616263")) << dump;
      EXPECT_NE(std::string::npos, dump.find("F later 3 676869")) << dump;
      EXPECT_EQ(std::string::npos, dump.find("lost")) << dump;
    }
  }
  cfb::SectorFile::SetSpillBytesForTesting(cfb::SectorFile::kSpillBytes);
}

TEST_F(FaultsTest, ACreateThatCannotBeWrittenLeavesNoFile) {
  testing_support::TempDir dir;
  std::string path = dir.File("a.cnf");
  fake_.budget.writes_left = 0;
  std::unique_ptr<platform::Storage> root;
  EXPECT_EQ(STG_E_WRITEFAULT, platform::CreateStorageFile(path, platform::kStorageMode, &root));
  EXPECT_FALSE(testing_support::PathExists(path));
  fake_.budget.writes_left = 1 << 30;
  EXPECT_EQ(S_OK, platform::CreateStorageFile(path, platform::kStorageMode, &root));
}

}  // namespace
