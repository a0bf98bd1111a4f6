// The rollback journal: a call interrupted at any write, sync or deletion
// leaves a file that opens and holds the state before or after the call.
#include "platform/cfb/journal.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/format.h"
#include "platform/file.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/fault_injection.h"
#include "tests/support/forwarding_file_system.h"
#include "tests/support/test_support.h"

namespace {

using platform::File;
using platform::FileSystem;
using platform::OpenMode;
using testing_support::FileCall;
using testing_support::PathExists;
using testing_support::ReadWholeFile;
using testing_support::WriteWholeFile;

// A file system that loses power at its k-th write: that write puts only
// the first part of its buffer on disk and fails, and from then on every
// write, sync, truncation and deletion fails.
class FakePowerCutFileSystem : public testing_support::ForwardingFileSystem {
 public:
  explicit FakePowerCutFileSystem(int cut_at_write) : writes_left_(cut_at_write) {}

  class FakeFile : public testing_support::ForwardingFile {
   public:
    FakeFile(std::unique_ptr<File> file, FakePowerCutFileSystem* fs)
        : ForwardingFile(std::move(file)), fs_(fs) {}
    int WriteAt(uint64_t offset, const void* data, size_t n) override {
      if (fs_->dead_) return EIO;
      if (--fs_->writes_left_ == 0) {
        fs_->dead_ = true;
        base()->WriteAt(offset, data, n / 2 + 1);  // a torn write
        return EIO;
      }
      return base()->WriteAt(offset, data, n);
    }
    int Truncate(uint64_t size) override { return fs_->dead_ ? EIO : base()->Truncate(size); }
    int Sync() override { return fs_->dead_ ? EIO : base()->Sync(); }

   private:
    FakePowerCutFileSystem* fs_;
  };

  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    if (dead_ && mode != OpenMode::kReadOnly && mode != OpenMode::kReadWrite) return EIO;
    return ForwardingFileSystem::Open(path, mode, file);
  }
  int Delete(const std::string& path) override {
    return dead_ ? EIO : ForwardingFileSystem::Delete(path);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return dead_ ? EIO : ForwardingFileSystem::Rename(from, to);
  }
  int Replace(const std::string& from, const std::string& to) override {
    return dead_ ? EIO : ForwardingFileSystem::Replace(from, to);
  }
  int SyncFolderOf(const std::string& path) override {
    return dead_ ? EIO : ForwardingFileSystem::SyncFolderOf(path);
  }
  bool dead() const { return dead_; }

 protected:
  std::unique_ptr<File> Wrap(std::unique_ptr<File> file) override {
    return std::make_unique<FakeFile>(std::move(file), this);
  }

 private:
  int writes_left_;
  bool dead_ = false;
};

// A file system that models what a power cut keeps. Every call goes to the
// platform's file system, and beside it the fake tracks, per file, the bytes
// as of its last sync and the writes since, and the folder entries as of the
// last folder sync and the creations, renames and deletions since. At its
// k-th changing call (write, truncation, sync, creation, rename, deletion,
// folder sync) the power goes: it takes the image a disk may hold then (the
// synced state, a random subset of each file's later writes, kept in order,
// and a random prefix of the later folder changes) and fails every changing
// call from then on. Restore() writes that image over the files.
class FakeVolatileFileSystem : public FileSystem {
 public:
  FakeVolatileFileSystem(uint64_t cut_at, uint32_t seed) : cut_at_(cut_at), random_(seed) {}

  class FakeFile : public testing_support::ForwardingFile {
   public:
    FakeFile(std::unique_ptr<File> file, FakeVolatileFileSystem* fs, int node)
        : ForwardingFile(std::move(file)), fs_(fs), node_(node) {}
    int WriteAt(uint64_t offset, const void* data, size_t n) override {
      if (!fs_->Changing()) return EIO;
      fs_->nodes_[node_].pending.push_back(
          {offset, std::string(static_cast<const char*>(data), n), false});
      return base()->WriteAt(offset, data, n);
    }
    int Truncate(uint64_t size) override {
      if (!fs_->Changing()) return EIO;
      fs_->nodes_[node_].pending.push_back({size, "", true});
      return base()->Truncate(size);
    }
    int Sync() override {
      if (!fs_->Changing()) return EIO;
      Node& node = fs_->nodes_[node_];
      for (const Change& change : node.pending) Apply(change, &node.synced);
      node.pending.clear();
      return base()->Sync();
    }

   private:
    FakeVolatileFileSystem* fs_;
    int node_;
  };

  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    bool creates = mode == OpenMode::kCreateNew || mode == OpenMode::kCreateOrTruncate;
    if (creates && !Changing()) return EIO;
    std::unique_ptr<File> real;
    bool existed = FileSystem::Platform()->Exists(path) == 0;
    int error = FileSystem::Platform()->Open(path, mode, &real);
    if (error != 0) return error;
    int node;
    if (existed) {
      node = NodeOf(path);
      if (mode == OpenMode::kCreateOrTruncate) nodes_[node].pending.push_back({0, "", true});
    } else {
      node = static_cast<int>(nodes_.size());
      nodes_.push_back(Node());
      current_[path] = node;
      folder_changes_.push_back({path, node});
    }
    file->reset(new FakeFile(std::move(real), this, node));
    return 0;
  }
  int Delete(const std::string& path) override {
    if (!Changing()) return EIO;
    NodeOf(path);
    int error = FileSystem::Platform()->Delete(path);
    if (error == 0) {
      current_.erase(path);
      folder_changes_.push_back({path, -1});
    }
    return error;
  }
  int Rename(const std::string& from, const std::string& to) override {
    return Move(from, to, /*replace=*/false);
  }
  int Replace(const std::string& from, const std::string& to) override {
    return Move(from, to, /*replace=*/true);
  }
  int Move(const std::string& from, const std::string& to, bool replace) {
    if (!Changing()) return EIO;
    int node = NodeOf(from);
    int error = replace ? FileSystem::Platform()->Replace(from, to)
                        : FileSystem::Platform()->Rename(from, to);
    if (error == 0) {
      current_.erase(from);
      current_[to] = node;
      folder_changes_.push_back({from, -1});
      folder_changes_.push_back({to, node});
    }
    return error;
  }
  int Exists(const std::string& path) override { return FileSystem::Platform()->Exists(path); }
  int SyncFolderOf(const std::string& path) override {
    if (!Changing()) return EIO;
    for (const Entry& change : folder_changes_) SetEntry(change, &synced_entries_);
    folder_changes_.clear();
    return FileSystem::Platform()->SyncFolderOf(path);
  }

  bool dead() const { return dead_; }
  // The power goes now, if it has not gone yet.
  void CutNow() {
    if (!dead_) Cut();
  }
  // Replaces every file the fake has seen with what the disk kept. A file
  // that is still there keeps its inode (a journal knows its file by it):
  // it is moved back to the name the disk kept and its bytes rewritten.
  void Restore() {
    FileSystem* fs = FileSystem::Platform();
    std::map<int, std::string> parked;  // node -> a name out of the way
    for (const auto& item : current_) {
      std::string park = item.first + ".restore";
      if (fs->Rename(item.first, park) == 0) parked[item.second] = park;
    }
    for (const auto& item : image_) {
      auto it = parked.find(item.second.node);
      if (it != parked.end()) {
        fs->Rename(it->second, item.first);
        parked.erase(it);
      }
      WriteWholeFile(item.first, item.second.bytes);
    }
    for (const auto& item : parked) fs->Delete(item.second);
  }

 private:
  struct Change {
    uint64_t offset;  // or the new size
    std::string bytes;
    bool truncate;
  };
  struct Node {
    std::string synced;
    std::vector<Change> pending;
  };
  struct Entry {
    std::string path;
    int node;  // -1: removed
  };

  static void Apply(const Change& change, std::string* bytes) {
    if (change.truncate) {
      bytes->resize(change.offset);
      return;
    }
    if (bytes->size() < change.offset + change.bytes.size()) {
      bytes->resize(change.offset + change.bytes.size());
    }
    bytes->replace(change.offset, change.bytes.size(), change.bytes);
  }
  static void SetEntry(const Entry& change, std::map<std::string, int>* entries) {
    if (change.node < 0) {
      entries->erase(change.path);
    } else {
      (*entries)[change.path] = change.node;
    }
  }
  // A file present before the fake saw it is on disk as it is.
  int NodeOf(const std::string& path) {
    auto it = current_.find(path);
    if (it != current_.end()) return it->second;
    int node = static_cast<int>(nodes_.size());
    nodes_.push_back(Node{ReadWholeFile(path), {}});
    current_[path] = node;
    synced_entries_[path] = node;
    return node;
  }
  // Counts a changing call; false once the power is gone.
  bool Changing() {
    if (dead_) return false;
    if (++calls_ == cut_at_) {
      Cut();
      return false;
    }
    return true;
  }
  void Cut() {
    dead_ = true;
    std::map<std::string, int> entries = synced_entries_;
    size_t kept = random_() % (folder_changes_.size() + 1);
    for (size_t i = 0; i < kept; ++i) SetEntry(folder_changes_[i], &entries);
    std::vector<std::string> contents;
    for (const Node& node : nodes_) {
      std::string bytes = node.synced;
      for (const Change& change : node.pending) {
        if (random_() % 2 == 0) Apply(change, &bytes);
      }
      contents.push_back(bytes);
    }
    for (const auto& item : entries) image_[item.first] = {item.second, contents[item.second]};
  }

  uint64_t cut_at_;
  uint64_t calls_ = 0;
  std::mt19937 random_;
  bool dead_ = false;
  std::vector<Node> nodes_;
  std::map<std::string, int> current_;         // path -> node, as the platform has it
  std::map<std::string, int> synced_entries_;  // as the disk holds them
  std::vector<Entry> folder_changes_;          // since the last folder sync
  struct Kept {
    int node;
    std::string bytes;
  };
  std::map<std::string, Kept> image_;          // what the cut left
};

std::string Pattern(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

// A file with a small and a large stream in a storage, as a configuration
// holds them.
void MakeBase(const std::string& path) {
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Create(path, &file));
  uint32_t storage, small, large;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"Tasks", cfb::kTypeStorage, &storage));
  ASSERT_EQ(S_OK, file->CreateElement(storage, u"small", cfb::kTypeStream, &small));
  ASSERT_EQ(S_OK, file->WriteStream(small, 0, Pattern(300, 'a').data(), 300));
  ASSERT_EQ(S_OK, file->CreateElement(0, u"large", cfb::kTypeStream, &large));
  ASSERT_EQ(S_OK, file->WriteStream(large, 0, Pattern(9000, 'b').data(), 9000));
  ASSERT_EQ(S_OK, file->Close());
}

// The transaction whose interruption is tested: a creation, a write that
// fills it (out of the mini stream: sectors overwritten in place and added),
// and a destruction; all three, or only the first. `done` counts the calls
// that returned S_OK; the result is the first failure, or the commit's.
HRESULT RunCalls(const std::string& path, int* done, int calls = 3) {
  *done = 0;
  std::unique_ptr<cfb::CompoundFile> file;
  HRESULT hr = cfb::CompoundFile::Open(path, &file);
  if (FAILED(hr)) return hr;
  uint32_t storage, id;
  cfb::DirEntry entry;
  std::vector<uint32_t> removed;
  hr = file->Find(0, u"Tasks", &storage, &entry);
  if (SUCCEEDED(hr)) hr = file->CreateElement(storage, u"new", cfb::kTypeStream, &id);
  if (SUCCEEDED(hr)) ++*done;
  if (calls > 1 && SUCCEEDED(hr)) hr = file->WriteStream(id, 0, Pattern(6000, 'c').data(), 6000);
  if (calls > 1 && SUCCEEDED(hr)) ++*done;
  if (calls > 2 && SUCCEEDED(hr)) hr = file->DestroyElement(0, u"large", &removed);
  if (calls > 2 && SUCCEEDED(hr)) ++*done;
  HRESULT closed = file->Close();
  return FAILED(hr) ? hr : closed;
}

// The dumps of the file after 0, 1, 2 and 3 calls, each committed.
std::vector<std::string> States(const testing_support::TempDir& dir) {
  std::vector<std::string> states;
  for (int calls = 0; calls <= 3; ++calls) {
    std::string path = dir.File("state" + std::to_string(calls));
    MakeBase(path);
    int done = 0;
    if (calls > 0) { EXPECT_EQ(S_OK, RunCalls(path, &done, calls)); }
    states.push_back(cfb_test::EngineDump(path));
  }
  return states;
}

// After an interruption, the platform's own file system opens the file: it
// is consistent, has no journal left, and holds one of `allowed`.
void ExpectOneOf(const std::string& path, const std::vector<std::string>& allowed,
                 const std::string& what) {
  FileSystem::SetDefault(nullptr);
  std::string dump = cfb_test::EngineDump(path);
  EXPECT_EQ("", cfb_test::CheckFile(path)) << what;
  EXPECT_FALSE(PathExists(cfb::JournalPath(path))) << what;
  bool found = false;
  for (const std::string& state : allowed) found = found || dump == state;
  EXPECT_TRUE(found) << what << "\n" << dump;
}

// A power cut at any write of the transaction: the file is as the open found
// it, or, once the commit got through, holds the whole transaction.
TEST(JournalTest, APowerCutAtAnyWriteLeavesTheStateBeforeOrTheWholeTransaction) {
  testing_support::TempDir dir;
  std::vector<std::string> states = States(dir);
  std::string path = dir.File("a.cnf");
  bool finished = false;
  for (int k = 1; !finished && k < 200; ++k) {
    MakeBase(path);
    FakePowerCutFileSystem fs(k);
    int done = 0;
    {
      testing_support::ScopedFileSystem use(&fs);
      finished = SUCCEEDED(RunCalls(path, &done)) && !fs.dead();
    }
    ExpectOneOf(path, {states[0], states[3]}, "power cut at write " + std::to_string(k));
    FileSystem::Platform()->Delete(path);
  }
  EXPECT_TRUE(finished);
}

// Unsynced writes and folder changes are lost in any combination: the
// journal must be on disk before the file is overwritten, the file before
// the journal goes, and when the open has ended its work must be kept. With
// a small spill bound, changes also reach the file before the commit.
TEST(JournalTest, APowerCutKeepingAnySubsetOfUnsyncedWritesLeavesAWholeState) {
  testing_support::TempDir dir;
  std::vector<std::string> states = States(dir);
  std::string path = dir.File("a.cnf");
  for (size_t spill : {cfb::SectorFile::kSpillBytes, size_t{1024}}) {
    cfb::SectorFile::SetSpillBytesForTesting(spill);
    // All three calls, and a creation that no write follows before the close.
    for (int calls : {3, 1}) {
      bool finished = false;
      for (uint64_t k = 1; !finished && k < 300; ++k) {
        for (uint32_t seed = 1; seed <= 4; ++seed) {
          MakeBase(path);
          FakeVolatileFileSystem fs(k, seed);
          int done = 0;
          {
            testing_support::ScopedFileSystem use(&fs);
            finished = SUCCEEDED(RunCalls(path, &done, calls)) && !fs.dead();
            fs.CutNow();  // after the open has ended, too
          }
          fs.Restore();
          std::string what = std::to_string(calls) + " calls, spill " + std::to_string(spill) +
                             ", cut at call " + std::to_string(k) + " seed " +
                             std::to_string(seed);
          if (finished) {
            EXPECT_EQ(states[calls], cfb_test::EngineDump(path)) << what;
            EXPECT_FALSE(PathExists(cfb::JournalPath(path))) << what;
          } else {
            ExpectOneOf(path, {states[0], states[calls]}, what);
          }
          FileSystem::Platform()->Delete(path);
        }
      }
      EXPECT_TRUE(finished) << calls;
    }
  }
  cfb::SectorFile::SetSpillBytesForTesting(cfb::SectorFile::kSpillBytes);
}

// A file being created: after a power cut it is absent or whole, and once
// the close has returned it is there whole: the file synced before its
// rename, the folder after it.
TEST(JournalTest, APowerCutWhileAFileIsCreatedLeavesItAbsentOrWhole) {
  testing_support::TempDir dir;
  auto create = [](const std::string& path) {
    std::unique_ptr<cfb::CompoundFile> file;
    HRESULT hr = cfb::CompoundFile::Create(path, &file);
    uint32_t storage = 0, id = 0;
    if (SUCCEEDED(hr)) hr = file->CreateElement(0, u"Tasks", cfb::kTypeStorage, &storage);
    if (SUCCEEDED(hr)) hr = file->CreateElement(storage, u"small", cfb::kTypeStream, &id);
    if (SUCCEEDED(hr)) hr = file->WriteStream(id, 0, Pattern(300, 'a').data(), 300);
    if (SUCCEEDED(hr)) hr = file->CreateElement(0, u"large", cfb::kTypeStream, &id);
    if (SUCCEEDED(hr)) hr = file->WriteStream(id, 0, Pattern(9000, 'b').data(), 9000);
    HRESULT closed = file ? file->Close() : hr;
    return FAILED(hr) ? hr : closed;
  };
  std::string whole_path = dir.File("whole.cnf");
  ASSERT_EQ(S_OK, create(whole_path));
  const std::string whole = cfb_test::EngineDump(whole_path);
  std::string path = dir.File("a.cnf");
  bool finished = false;
  for (uint64_t k = 1; !finished && k < 100; ++k) {
    for (uint32_t seed = 1; seed <= 4; ++seed) {
      FakeVolatileFileSystem fs(k, seed);
      {
        testing_support::ScopedFileSystem use(&fs);
        finished = SUCCEEDED(create(path)) && !fs.dead();
        fs.CutNow();
      }
      fs.Restore();
      std::string what = "cut at call " + std::to_string(k) + " seed " + std::to_string(seed);
      if (finished || PathExists(path)) {
        EXPECT_EQ(whole, cfb_test::EngineDump(path)) << what;
      }
      FileSystem::Platform()->Delete(path);
      FileSystem::Platform()->Delete(path + "-new");
    }
  }
  EXPECT_TRUE(finished);
}

// A file call that fails loses the call it belongs to (a creation together
// with the write that fills it) and nothing else; a failed commit loses the
// transaction. The calls before a failed one are committed.
TEST(JournalTest, AFailingFileCallOfAnyKindLeavesAWholeState) {
  testing_support::TempDir dir;
  std::vector<std::string> states = States(dir);
  std::string path = dir.File("a.cnf");
  const FileCall kinds[] = {FileCall::kWrite, FileCall::kSync, FileCall::kCreate,
                            FileCall::kDelete, FileCall::kTruncate, FileCall::kRead};
  for (size_t spill : {cfb::SectorFile::kSpillBytes, size_t{1024}}) {
    cfb::SectorFile::SetSpillBytesForTesting(spill);
    for (FileCall kind : kinds) {
      for (bool sticky : {false, true}) {
        for (int error : {EIO, ENOSPC}) {
          bool finished = false;
          for (uint64_t k = 1; !finished && k < 300; ++k) {
            MakeBase(path);
            testing_support::FaultInjectingFileSystem fs;
            fs.FailAt(kind, k, error, sticky);
            int done = 0;
            HRESULT hr;
            {
              testing_support::ScopedFileSystem use(&fs);
              hr = RunCalls(path, &done);
              finished = !fs.Injected();
              if (finished) { EXPECT_EQ(S_OK, hr); }
            }
            std::string what = "kind " + std::to_string(static_cast<int>(kind)) + " k " +
                               std::to_string(k) + (sticky ? " sticky" : " once") +
                               " spill " + std::to_string(spill);
            // A call that failed took back the creation it completed.
            std::vector<std::string> allowed{states[0]};
            if (SUCCEEDED(hr)) allowed = {states[3]};
            if (FAILED(hr) && done == 2) allowed.push_back(states[2]);
            ExpectOneOf(path, allowed, what);
            FileSystem::Platform()->Delete(path);
          }
          EXPECT_TRUE(finished);
        }
      }
    }
  }
  cfb::SectorFile::SetSpillBytesForTesting(cfb::SectorFile::kSpillBytes);
}

// An open goes on after a commit that failed at any of its file calls: it
// is back at the last commit, in the file and in memory (the header too,
// which the commit may have written before it failed), and what it does
// next is committed on top of that.
TEST(JournalTest, AnOpenGoesOnFromTheLastCommitAfterAFailedOne) {
  testing_support::TempDir dir;
  std::string path = dir.File("a.cnf");
  for (FileCall kind : {FileCall::kWrite, FileCall::kSync, FileCall::kDelete}) {
    bool finished = false;
    for (uint64_t k = 1; !finished && k < 50; ++k) {
      MakeBase(path);
      testing_support::FaultInjectingFileSystem fs;
      testing_support::ScopedFileSystem use(&fs);
      std::unique_ptr<cfb::CompoundFile> file;
      ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path, &file));
      fs.FailAt(kind, k, EIO, false);
      uint32_t id;
      HRESULT hr = file->CreateElement(0, u"lost", cfb::kTypeStream, &id);
      // Large enough to move the FAT: the header changes.
      if (SUCCEEDED(hr)) hr = file->WriteStream(id, 0, Pattern(100000, 'l').data(), 100000);
      if (SUCCEEDED(hr)) hr = file->Commit();
      finished = !fs.Injected();
      fs.FailAt(kind, 0, 0, false);
      ASSERT_EQ(S_OK, file->CreateElement(0, u"later", cfb::kTypeStream, &id));
      ASSERT_EQ(S_OK, file->WriteStream(id, 0, Pattern(5000, 'n').data(), 5000));
      ASSERT_EQ(S_OK, file->Close());
      FileSystem::SetDefault(nullptr);
      std::string what = "kind " + std::to_string(static_cast<int>(kind)) + " k " +
                         std::to_string(k);
      EXPECT_EQ("", cfb_test::CheckFile(path)) << what;
      std::string dump = cfb_test::EngineDump(path);
      EXPECT_NE(std::string::npos, dump.find("F later 5000")) << what << "\n" << dump;
      EXPECT_EQ(SUCCEEDED(hr), dump.find("F lost 100000") != std::string::npos) << what;
      EXPECT_NE(std::string::npos, dump.find("F Tasks/small 300")) << what;
      FileSystem::Platform()->Delete(path);
    }
    EXPECT_TRUE(finished);
  }
}

class JournalFileTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("a.cnf");
    MakeBase(path_);
    before_ = ReadWholeFile(path_);
  }
  // Writes a journal of the file as it is now, saving the blocks at
  // `offsets` and, when given, the header the commit was about to write,
  // and leaves it as a crash would.
  void SaveJournal(const std::vector<uint64_t>& offsets, uint64_t size, uint32_t block = 512,
                   const std::string& final_header = "") {
    cfb::Journal journal(path_, block);
    std::unique_ptr<File> file;
    platform::FileIdentity identity;
    ASSERT_EQ(0, FileSystem::Platform()->Open(path_, OpenMode::kReadOnly, &file));
    ASSERT_EQ(0, file->Identify(&identity));
    ASSERT_EQ(S_OK, journal.Begin(size, identity,
                                  reinterpret_cast<const uint8_t*>(before_.data())));
    for (uint64_t offset : offsets) {
      std::string bytes = before_.substr(offset, block);
      bytes.resize(block, '\0');
      journal.Add(offset, reinterpret_cast<const uint8_t*>(bytes.data()));
    }
    if (!final_header.empty()) {
      journal.AddFinalHeader(reinterpret_cast<const uint8_t*>(final_header.data()));
    }
    ASSERT_EQ(S_OK, journal.Sync());
  }
  // A commit that overwrote the header and sector 3 and appended a sector.
  void Scribble() {
    std::string now = before_;
    now.replace(0, 512, kNewHeader);
    now.replace(4 * 512, 512, std::string(512, 'y'));
    now += std::string(512, 'z');
    WriteWholeFile(path_, now);
  }
  std::string JournalBytes() { return ReadWholeFile(cfb::JournalPath(path_)); }

  const std::string kNewHeader = std::string(512, 'x');
  testing_support::TempDir dir_;
  std::string path_;
  std::string before_;
};

TEST_F(JournalFileTest, AJournalFoundAtOpenIsRolledBack) {
  for (uint32_t block : {512u, 4096u}) {
    WriteWholeFile(path_, before_);
    SaveJournal(block == 512 ? std::vector<uint64_t>{0, 4 * 512} : std::vector<uint64_t>{0},
                before_.size(), block, kNewHeader);
    Scribble();
    std::unique_ptr<cfb::CompoundFile> file;
    testing::internal::CaptureStderr();
    HRESULT hr = cfb::CompoundFile::Open(path_, &file);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(S_OK, hr) << block;
    file.reset();
    EXPECT_EQ(before_, ReadWholeFile(path_)) << block;
    EXPECT_FALSE(PathExists(cfb::JournalPath(path_)));
    EXPECT_NE(std::string::npos,
              said.find(path_ + ": the unfinished changes of an interrupted run were taken "
                                "back; the file is as it was before that run\n"))
        << said;
  }
}

TEST_F(JournalFileTest, ATornJournalIsRemovedAndTheFileLeftAlone) {
  SaveJournal({0, 4 * 512}, before_.size());
  std::string journal = JournalBytes();
  std::string torn_header = journal;
  torn_header[20] ^= 1;  // the recorded size no longer matches its check
  const std::string cases[] = {"", journal.substr(0, 20), torn_header};
  for (const std::string& bytes : cases) {
    WriteWholeFile(cfb::JournalPath(path_), bytes);
    std::unique_ptr<cfb::CompoundFile> file;
    ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file));
    file.reset();
    EXPECT_EQ(before_, ReadWholeFile(path_));
    EXPECT_FALSE(PathExists(cfb::JournalPath(path_)));
  }
}

TEST_F(JournalFileTest, RecordsAreUsedUpToATornOne) {
  SaveJournal({0, 4 * 512}, before_.size());
  std::string journal = JournalBytes();
  // The second record is torn: its sector was never overwritten (nor was
  // the header, which the commit writes last).
  WriteWholeFile(cfb::JournalPath(path_), journal.substr(0, journal.size() - 100));
  std::string now = before_;
  now.replace(6 * 512, 512, std::string(512, 'w'));  // a sector past no record
  now += std::string(512, 'z');
  WriteWholeFile(path_, now);
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file));
  file.reset();
  std::string expected = before_;
  expected.replace(6 * 512, 512, std::string(512, 'w'));
  EXPECT_EQ(expected, ReadWholeFile(path_));
}

TEST_F(JournalFileTest, ARecordOfAnotherJournalIsNotUsed) {
  SaveJournal({4 * 512}, before_.size());
  std::string old_record = JournalBytes().substr(cfb::Journal::kHeaderBytes);
  SaveJournal({0}, before_.size(), 512, kNewHeader);
  // A record left from an earlier journal (another salt) after the valid ones.
  WriteWholeFile(cfb::JournalPath(path_), JournalBytes() + old_record);
  std::string now = before_;
  now.replace(0, 512, kNewHeader);
  now.replace(4 * 512, 512, std::string(512, 'y'));
  WriteWholeFile(path_, now);
  std::unique_ptr<cfb::CompoundFile> file;
  cfb::CompoundFile::Open(path_, &file);
  file.reset();
  std::string expected = before_;
  expected.replace(4 * 512, 512, std::string(512, 'y'));
  EXPECT_EQ(expected, ReadWholeFile(path_));
}

TEST_F(JournalFileTest, AJournalOfALargerFileIsNotApplied) {
  SaveJournal({0}, before_.size() + 4096);
  std::string journal = JournalBytes();
  std::unique_ptr<cfb::CompoundFile> file;
  EXPECT_EQ(STG_E_DOCFILECORRUPT, cfb::CompoundFile::Open(path_, &file));
  EXPECT_EQ(before_, ReadWholeFile(path_));
  EXPECT_EQ(journal, JournalBytes());
}

// A journal is applied only to the file it was written for. A file put at
// the journal's path afterwards (the original moved back after a failed
// conversion, a copy) has another inode; a file that kept the inode but
// holds neither the header the transaction found nor the one it wrote is
// not that file either. Either way the journal is moved aside and named.
TEST_F(JournalFileTest, AJournalOfAnotherFileIsMovedAsideAndTheFileLeftAlone) {
  struct Case {
    const char* what;
    bool other_inode;
    std::string header;
  };
  const Case cases[] = {{"another inode", true, kNewHeader},
                        {"another header", false, std::string(512, 'q')}};
  for (const Case& c : cases) {
    WriteWholeFile(path_, before_);
    SaveJournal({0, 4 * 512}, before_.size(), 512, kNewHeader);
    std::string journal = JournalBytes();
    std::string other = before_;
    other.replace(0, 512, c.header);
    other.replace(4 * 512, 512, std::string(512, 'y'));
    if (c.other_inode) {
      // Moved away and another file put in its place.
      ASSERT_EQ(0, FileSystem::Platform()->Rename(path_, path_ + ".615"));
      other = before_;  // the original, whole
    }
    WriteWholeFile(path_, other);
    testing::internal::CaptureStderr();
    std::unique_ptr<cfb::CompoundFile> file;
    HRESULT hr = cfb::CompoundFile::Open(path_, &file);
    std::string said = testing::internal::GetCapturedStderr();
    file.reset();
    if (c.other_inode) { EXPECT_EQ(S_OK, hr) << c.what; }
    EXPECT_EQ(other, ReadWholeFile(path_)) << c.what;
    EXPECT_FALSE(PathExists(cfb::JournalPath(path_))) << c.what;
    EXPECT_EQ(journal, ReadWholeFile(cfb::JournalPath(path_) + ".stale")) << c.what;
    EXPECT_NE(std::string::npos,
              said.find(cfb::JournalPath(path_) + " was not written for the file now at " +
                        path_ + " and was not applied to it; it is kept as " +
                        cfb::JournalPath(path_) + ".stale\n"))
        << said;
    FileSystem::Platform()->Delete(cfb::JournalPath(path_) + ".stale");
    FileSystem::Platform()->Delete(path_ + ".615");
  }
}

// A reader cannot take an unfinished transaction back: it refuses the file,
// says why and what takes it back, and leaves the file and the journal as
// they are; the next open for writing rolls it back as ever.
TEST_F(JournalFileTest, AReaderRefusesAFileWithAnUnfinishedJournalAndLeavesBoth) {
  SaveJournal({0, 4 * 512}, before_.size(), 512, kNewHeader);
  Scribble();
  const std::string scribbled = ReadWholeFile(path_);
  const std::string journal = JournalBytes();
  testing::internal::CaptureStderr();
  std::unique_ptr<cfb::CompoundFile> file;
  EXPECT_EQ(STG_E_SHAREVIOLATION, cfb::CompoundFile::Open(path_, &file, cfb::Access::kRead));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, said.find(path_ + " is not read: an interrupted run left "
                                         "unfinished changes in it (" + cfb::JournalPath(path_) +
                                         ")")) << said;
  EXPECT_NE(std::string::npos, said.find("cfbtool ls " + path_)) << said;
  EXPECT_EQ(scribbled, ReadWholeFile(path_));
  EXPECT_EQ(journal, JournalBytes());
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file));
  file.reset();
  EXPECT_EQ(before_, ReadWholeFile(path_));
  EXPECT_FALSE(PathExists(cfb::JournalPath(path_)));
}

// A journal that says nothing about the file (never synced, or written for
// another file) does not stop a reader, which leaves it for the next
// writer to remove or move aside.
TEST_F(JournalFileTest, AReaderReadsBesideAJournalThatIsNotTheFiles) {
  SaveJournal({0, 4 * 512}, before_.size(), 512, kNewHeader);
  const std::string journal = JournalBytes();
  std::string torn_header = journal;
  torn_header[20] ^= 1;
  std::string older_layout = journal;
  older_layout[7] = '1';
  const std::pair<const char*, std::string> cases[] = {
      {"empty", ""}, {"short", journal.substr(0, 20)}, {"torn header", torn_header},
      {"older layout", older_layout}};
  for (const auto& [what, bytes] : cases) {
    WriteWholeFile(cfb::JournalPath(path_), bytes);
    std::unique_ptr<cfb::CompoundFile> file;
    ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file, cfb::Access::kRead)) << what;
    file.reset();
    EXPECT_EQ(before_, ReadWholeFile(path_)) << what;
    EXPECT_EQ(bytes, JournalBytes()) << what;
  }
  // The file moved away and a copy put in its place: another inode.
  WriteWholeFile(cfb::JournalPath(path_), journal);
  ASSERT_EQ(0, FileSystem::Platform()->Rename(path_, path_ + ".615"));
  WriteWholeFile(path_, before_);
  std::unique_ptr<cfb::CompoundFile> file;
  EXPECT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file, cfb::Access::kRead));
  file.reset();
  EXPECT_EQ(before_, ReadWholeFile(path_));
  EXPECT_EQ(journal, JournalBytes());
}

TEST(JournalCreateTest, ANewFileAppearsWholeAtItsCommitAndNeverBefore) {
  testing_support::TempDir dir;
  std::string path = dir.File("a.cnf");
  // A half-written file of a killed create, and a journal of no file.
  WriteWholeFile(path + "-new", std::string(700, 'q'));
  WriteWholeFile(cfb::JournalPath(path), std::string(100, 'j'));
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Create(path, &file));
  uint32_t id;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"s", cfb::kTypeStream, &id));
  ASSERT_EQ(S_OK, file->WriteStream(id, 0, "abc", 3));
  EXPECT_FALSE(PathExists(path));
  ASSERT_EQ(S_OK, file->Close());
  EXPECT_FALSE(PathExists(path + "-new"));
  EXPECT_FALSE(PathExists(cfb::JournalPath(path)));
  EXPECT_EQ("", cfb_test::CheckFile(path));
  EXPECT_NE(std::string::npos, cfb_test::EngineDump(path).find("F s 3 616263"));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, cfb::CompoundFile::Create(path, &file));
  // A create in progress (it holds the lock of its "-new" file) is left alone.
  std::string other = dir.File("b.cnf");
  std::unique_ptr<File> held;
  ASSERT_EQ(0, FileSystem::Platform()->Open(other + "-new", OpenMode::kCreateNew, &held));
  ASSERT_EQ(0, held->LockExclusive());
  EXPECT_EQ(STG_E_SHAREVIOLATION, cfb::CompoundFile::Create(other, &file));
  EXPECT_TRUE(PathExists(other + "-new"));
  EXPECT_FALSE(PathExists(other));
  held.reset();
  // A new file that is discarded never appears.
  ASSERT_EQ(S_OK, cfb::CompoundFile::Create(other, &file));
  ASSERT_EQ(S_OK, file->CreateElement(0, u"s", cfb::kTypeStream, &id));
  ASSERT_EQ(S_OK, file->Discard());
  EXPECT_FALSE(PathExists(other));
  EXPECT_FALSE(PathExists(other + "-new"));
}

// The syncs of a transaction do not grow with its calls: reading syncs
// nothing; changing an existing file syncs the journal, its folder and the
// file once each, and the folder once more when the journal is gone; a new
// file is synced once and its folder once.
TEST(JournalCostTest, ATransactionSyncsABoundedNumberOfTimes) {
  testing_support::TempDir dir;
  std::string path = dir.File("a.cnf");
  MakeBase(path);
  testing_support::FaultInjectingFileSystem fs;
  testing_support::ScopedFileSystem use(&fs);
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path, &file));
  uint32_t id;
  cfb::DirEntry entry;
  ASSERT_EQ(S_OK, file->Find(0, u"large", &id, &entry));
  char buffer[100];
  uint32_t read;
  ASSERT_EQ(S_OK, file->ReadStream(id, 0, buffer, sizeof(buffer), &read));
  ASSERT_EQ(S_OK, file->Close());
  EXPECT_EQ(0u, fs.Calls(FileCall::kSync));
  EXPECT_EQ(0u, fs.Calls(FileCall::kCreate));

  for (int calls : {1, 200}) {
    uint64_t syncs = fs.Calls(FileCall::kSync);
    uint64_t deletes = fs.Calls(FileCall::kDelete);
    ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path, &file));
    for (int i = 0; i < calls; ++i) {
      uint32_t fresh;
      std::u16string name = (calls == 1 ? u"m" : u"n") +
                            std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                            std::u16string(1, static_cast<char16_t>(u'A' + i / 26));
      ASSERT_EQ(S_OK, file->CreateElement(0, name, cfb::kTypeStream, &fresh));
      ASSERT_EQ(S_OK, file->WriteStream(fresh, 0, Pattern(200, 'e').data(), 200));
    }
    EXPECT_EQ(syncs, fs.Calls(FileCall::kSync)) << "nothing is written before the commit";
    ASSERT_EQ(S_OK, file->Close());
    EXPECT_EQ(syncs + 4, fs.Calls(FileCall::kSync)) << calls;
    EXPECT_EQ(deletes + 1, fs.Calls(FileCall::kDelete)) << calls;
    EXPECT_EQ("", cfb_test::CheckFile(path));
  }

  uint64_t syncs = fs.Calls(FileCall::kSync);
  std::string fresh_path = dir.File("b.cnf");
  ASSERT_EQ(S_OK, cfb::CompoundFile::Create(fresh_path, &file));
  for (int i = 0; i < 100; ++i) {
    uint32_t fresh;
    std::u16string name = u"s" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                          std::u16string(1, static_cast<char16_t>(u'A' + i / 26));
    ASSERT_EQ(S_OK, file->CreateElement(0, name, cfb::kTypeStream, &fresh));
    ASSERT_EQ(S_OK, file->WriteStream(fresh, 0, Pattern(5000, 'f').data(), 5000));
  }
  ASSERT_EQ(S_OK, file->Close());
  EXPECT_EQ(syncs + 2, fs.Calls(FileCall::kSync));
  EXPECT_EQ("", cfb_test::CheckFile(fresh_path));
}

}  // namespace
