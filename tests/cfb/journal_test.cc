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
class FakePowerCutFileSystem : public FileSystem {
 public:
  explicit FakePowerCutFileSystem(int cut_at_write) : writes_left_(cut_at_write) {}

  class FakeFile : public File {
   public:
    FakeFile(std::unique_ptr<File> file, FakePowerCutFileSystem* fs)
        : file_(std::move(file)), fs_(fs) {}
    int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) override {
      return file_->ReadAt(offset, buffer, n, read);
    }
    int WriteAt(uint64_t offset, const void* data, size_t n) override {
      if (fs_->dead_) return EIO;
      if (--fs_->writes_left_ == 0) {
        fs_->dead_ = true;
        file_->WriteAt(offset, data, n / 2 + 1);  // a torn write
        return EIO;
      }
      return file_->WriteAt(offset, data, n);
    }
    int Size(uint64_t* size) override { return file_->Size(size); }
    int Truncate(uint64_t size) override { return fs_->dead_ ? EIO : file_->Truncate(size); }
    int Sync() override { return fs_->dead_ ? EIO : file_->Sync(); }
    int LockExclusive() override { return file_->LockExclusive(); }

   private:
    std::unique_ptr<File> file_;
    FakePowerCutFileSystem* fs_;
  };

  int Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    if (dead_ && mode != OpenMode::kReadOnly && mode != OpenMode::kReadWrite) return EIO;
    std::unique_ptr<File> real;
    int error = FileSystem::Platform()->Open(path, mode, &real);
    if (error == 0) file->reset(new FakeFile(std::move(real), this));
    return error;
  }
  int Delete(const std::string& path) override {
    return dead_ ? EIO : FileSystem::Platform()->Delete(path);
  }
  int Rename(const std::string& from, const std::string& to) override {
    return dead_ ? EIO : FileSystem::Platform()->Rename(from, to);
  }
  int Exists(const std::string& path) override { return FileSystem::Platform()->Exists(path); }
  int SyncFolderOf(const std::string& path) override {
    return dead_ ? EIO : FileSystem::Platform()->SyncFolderOf(path);
  }
  int CopyOwnerAndMode(const std::string& from, const std::string& to) override {
    return dead_ ? EIO : FileSystem::Platform()->CopyOwnerAndMode(from, to);
  }
  bool dead() const { return dead_; }

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

  class FakeFile : public File {
   public:
    FakeFile(std::unique_ptr<File> file, FakeVolatileFileSystem* fs, int node)
        : file_(std::move(file)), fs_(fs), node_(node) {}
    int ReadAt(uint64_t offset, void* buffer, size_t n, size_t* read) override {
      return file_->ReadAt(offset, buffer, n, read);
    }
    int WriteAt(uint64_t offset, const void* data, size_t n) override {
      if (!fs_->Changing()) return EIO;
      fs_->nodes_[node_].pending.push_back(
          {offset, std::string(static_cast<const char*>(data), n), false});
      return file_->WriteAt(offset, data, n);
    }
    int Size(uint64_t* size) override { return file_->Size(size); }
    int Truncate(uint64_t size) override {
      if (!fs_->Changing()) return EIO;
      fs_->nodes_[node_].pending.push_back({size, "", true});
      return file_->Truncate(size);
    }
    int Sync() override {
      if (!fs_->Changing()) return EIO;
      Node& node = fs_->nodes_[node_];
      for (const Change& change : node.pending) Apply(change, &node.synced);
      node.pending.clear();
      return file_->Sync();
    }
    int LockExclusive() override { return file_->LockExclusive(); }

   private:
    std::unique_ptr<File> file_;
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
    if (!Changing()) return EIO;
    int node = NodeOf(from);
    int error = FileSystem::Platform()->Rename(from, to);
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
  int CopyOwnerAndMode(const std::string& from, const std::string& to) override {
    return Changing() ? FileSystem::Platform()->CopyOwnerAndMode(from, to) : EIO;
  }

  bool dead() const { return dead_; }
  // The power goes now, if it has not gone yet.
  void CutNow() {
    if (!dead_) Cut();
  }
  // Replaces every file the fake has seen with what the disk kept.
  void Restore() {
    for (const auto& item : current_) FileSystem::Platform()->Delete(item.first);
    for (const auto& item : image_) WriteWholeFile(item.first, item.second);
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
    for (const auto& item : entries) image_[item.first] = contents[item.second];
  }

  uint64_t cut_at_;
  uint64_t calls_ = 0;
  std::mt19937 random_;
  bool dead_ = false;
  std::vector<Node> nodes_;
  std::map<std::string, int> current_;         // path -> node, as the platform has it
  std::map<std::string, int> synced_entries_;  // as the disk holds them
  std::vector<Entry> folder_changes_;          // since the last folder sync
  std::map<std::string, std::string> image_;   // what the cut left
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

// The calls whose interruption is tested (all three, or only the first);
// `done` counts the calls that returned S_OK.
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
  if (calls == 1) {
    HRESULT closed = file->Close();
    return FAILED(hr) ? hr : closed;
  }
  // Grows the stream out of the mini stream and overwrites sectors in place.
  if (SUCCEEDED(hr)) hr = file->WriteStream(id, 0, Pattern(6000, 'c').data(), 6000);
  if (SUCCEEDED(hr)) ++*done;
  if (SUCCEEDED(hr)) hr = file->DestroyElement(0, u"large", &removed);
  if (SUCCEEDED(hr)) ++*done;
  HRESULT closed = file->Close();
  return FAILED(hr) ? hr : closed;
}

// The dumps of the file after 0, 1, 2 and 3 calls.
std::vector<std::string> States(const testing_support::TempDir& dir) {
  std::vector<std::string> states;
  for (int calls = 0; calls <= 3; ++calls) {
    std::string path = dir.File("state" + std::to_string(calls));
    MakeBase(path);
    std::unique_ptr<cfb::CompoundFile> file;
    EXPECT_EQ(S_OK, cfb::CompoundFile::Open(path, &file));
    uint32_t storage, id;
    cfb::DirEntry entry;
    std::vector<uint32_t> removed;
    EXPECT_EQ(S_OK, file->Find(0, u"Tasks", &storage, &entry));
    if (calls >= 1) { EXPECT_EQ(S_OK, file->CreateElement(storage, u"new", cfb::kTypeStream, &id)); }
    if (calls >= 2) { EXPECT_EQ(S_OK, file->WriteStream(id, 0, Pattern(6000, 'c').data(), 6000)); }
    if (calls >= 3) { EXPECT_EQ(S_OK, file->DestroyElement(0, u"large", &removed)); }
    EXPECT_EQ(S_OK, file->Close());
    states.push_back(cfb_test::EngineDump(path));
  }
  return states;
}

// After an interruption, the platform's own file system opens the file: it
// is consistent and holds the state after one of the calls that succeeded
// (`done` of them), or the state before them all.
void ExpectWholeState(const std::string& path, const std::vector<std::string>& states, int done,
                      const std::string& what) {
  FileSystem::SetDefault(nullptr);
  std::string dump = cfb_test::EngineDump(path);
  EXPECT_EQ("", cfb_test::CheckFile(path)) << what;
  EXPECT_FALSE(PathExists(cfb::JournalPath(path))) << what;
  bool found = false;
  for (int i = 0; i <= done; ++i) found = found || dump == states[i];
  EXPECT_TRUE(found) << what << "\n" << dump;
}

TEST(JournalTest, APowerCutAtAnyWriteLeavesTheStateTheOpenFoundOrTheWholeWork) {
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
    ExpectWholeState(path, states, done, "power cut at write " + std::to_string(k));
    FileSystem::Platform()->Delete(path);
  }
  EXPECT_TRUE(finished);
}

// Unsynced writes and folder changes are lost in any combination: the
// journal must be on disk before the file is overwritten, the file before
// the journal goes, and when the open has ended its work must be kept.
TEST(JournalTest, APowerCutKeepingAnySubsetOfUnsyncedWritesLeavesAWholeState) {
  testing_support::TempDir dir;
  std::vector<std::string> states = States(dir);
  std::string path = dir.File("a.cnf");
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
        std::string what = std::to_string(calls) + " calls, cut at call " + std::to_string(k) +
                           " seed " + std::to_string(seed);
        if (finished) {
          EXPECT_EQ(states[calls], cfb_test::EngineDump(path)) << what;
          EXPECT_FALSE(PathExists(cfb::JournalPath(path))) << what;
        } else {
          ExpectWholeState(path, states, done, what);
        }
        FileSystem::Platform()->Delete(path);
      }
    }
    EXPECT_TRUE(finished) << calls;
  }
}

TEST(JournalTest, AFailingFileCallOfAnyKindLeavesAWholeState) {
  testing_support::TempDir dir;
  std::vector<std::string> states = States(dir);
  std::string path = dir.File("a.cnf");
  const FileCall kinds[] = {FileCall::kWrite, FileCall::kSync, FileCall::kCreate,
                            FileCall::kDelete, FileCall::kTruncate, FileCall::kRead};
  for (FileCall kind : kinds) {
    for (bool sticky : {false, true}) {
      for (int error : {EIO, ENOSPC}) {
        bool finished = false;
        for (uint64_t k = 1; !finished && k < 300; ++k) {
          MakeBase(path);
          testing_support::FaultInjectingFileSystem fs;
          fs.FailAt(kind, k, error, sticky);
          int done = 0;
          {
            testing_support::ScopedFileSystem use(&fs);
            HRESULT hr = RunCalls(path, &done);
            finished = !fs.Injected();
            if (finished) { EXPECT_EQ(S_OK, hr); }
          }
          ExpectWholeState(path, states, done,
                           "kind " + std::to_string(static_cast<int>(kind)) + " k " +
                               std::to_string(k) + (sticky ? " sticky" : " once"));
          FileSystem::Platform()->Delete(path);
        }
        EXPECT_TRUE(finished);
      }
    }
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
  // `offsets`, and leaves it as a crash would.
  void SaveJournal(const std::vector<uint64_t>& offsets, uint64_t size, uint32_t block = 512) {
    cfb::Journal journal(cfb::JournalPath(path_), block);
    ASSERT_EQ(S_OK, journal.Begin(size));
    for (uint64_t offset : offsets) {
      std::string bytes = before_.substr(offset, block);
      bytes.resize(block, '\0');
      journal.Add(offset, reinterpret_cast<const uint8_t*>(bytes.data()));
    }
    ASSERT_EQ(S_OK, journal.Sync());
  }
  // A call that overwrote the header and sector 3 and appended a sector.
  void Scribble() {
    std::string now = before_;
    now.replace(0, 512, std::string(512, 'x'));
    now.replace(4 * 512, 512, std::string(512, 'y'));
    now += std::string(512, 'z');
    WriteWholeFile(path_, now);
  }
  std::string JournalBytes() { return ReadWholeFile(cfb::JournalPath(path_)); }

  testing_support::TempDir dir_;
  std::string path_;
  std::string before_;
};

TEST_F(JournalFileTest, AJournalFoundAtOpenIsRolledBack) {
  SaveJournal({0, 4 * 512}, before_.size());
  Scribble();
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file));
  file.reset();
  EXPECT_EQ(before_, ReadWholeFile(path_));
  EXPECT_FALSE(PathExists(cfb::JournalPath(path_)));
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
  // The second record is torn: its sector was never overwritten.
  WriteWholeFile(cfb::JournalPath(path_), journal.substr(0, journal.size() - 100));
  std::string now = before_;
  now.replace(0, 512, std::string(512, 'x'));
  now += std::string(512, 'z');
  WriteWholeFile(path_, now);
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file));
  file.reset();
  EXPECT_EQ(before_, ReadWholeFile(path_));
}

TEST_F(JournalFileTest, ARecordOfAnotherJournalIsNotUsed) {
  SaveJournal({4 * 512}, before_.size());
  std::string old_record = JournalBytes().substr(cfb::Journal::kHeaderBytes);
  SaveJournal({0}, before_.size());
  // A record left from an earlier journal (another salt) after the valid ones.
  WriteWholeFile(cfb::JournalPath(path_), JournalBytes() + old_record);
  std::string now = before_;
  now.replace(0, 512, std::string(512, 'x'));
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

TEST_F(JournalFileTest, AJournalOf4096ByteBlocksIsRolledBack) {
  SaveJournal({0}, before_.size(), 4096);
  Scribble();
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path_, &file));
  file.reset();
  EXPECT_EQ(before_, ReadWholeFile(path_));
}

TEST(JournalCreateTest, WhatAKilledCreateLeftDoesNotBlockTheNextOne) {
  testing_support::TempDir dir;
  std::string path = dir.File("a.cnf");
  // A half-written file of a killed create, and a journal of no file.
  WriteWholeFile(path + "-new", std::string(700, 'q'));
  WriteWholeFile(cfb::JournalPath(path), std::string(100, 'j'));
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Create(path, &file));
  EXPECT_FALSE(PathExists(path + "-new"));
  EXPECT_FALSE(PathExists(cfb::JournalPath(path)));
  file.reset();
  EXPECT_EQ("", cfb_test::CheckFile(path));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, cfb::CompoundFile::Create(path, &file));
  // A create in progress (it holds the lock of its "-new" file) is left alone.
  std::string other = dir.File("b.cnf");
  std::unique_ptr<File> held;
  ASSERT_EQ(0, FileSystem::Platform()->Open(other + "-new", OpenMode::kCreateNew, &held));
  ASSERT_EQ(0, held->LockExclusive());
  EXPECT_EQ(STG_E_SHAREVIOLATION, cfb::CompoundFile::Create(other, &file));
  EXPECT_TRUE(PathExists(other + "-new"));
  EXPECT_FALSE(PathExists(other));
}

TEST(JournalCostTest, CallsThatChangeNothingSyncNothing) {
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
  // A call that changes: syncs of the journal, its folder and the file, and
  // the journal's deletion; at the end one sync of the folder.
  ASSERT_EQ(S_OK, cfb::CompoundFile::Open(path, &file));
  ASSERT_EQ(S_OK, file->WriteStream(id, 0, "x", 1));
  ASSERT_EQ(S_OK, file->WriteStream(id, 1, "y", 1));
  EXPECT_EQ(6u, fs.Calls(FileCall::kSync));
  EXPECT_EQ(2u, fs.Calls(FileCall::kDelete));
  // A new element stays under the journal until the call that fills it,
  // and the file is synced once for both calls.
  uint32_t fresh;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"fresh", cfb::kTypeStream, &fresh));
  EXPECT_TRUE(PathExists(cfb::JournalPath(path)));
  EXPECT_EQ(8u, fs.Calls(FileCall::kSync));
  ASSERT_EQ(S_OK, file->WriteStream(fresh, 0, "z", 1));
  EXPECT_FALSE(PathExists(cfb::JournalPath(path)));
  EXPECT_EQ(10u, fs.Calls(FileCall::kSync));
  ASSERT_EQ(S_OK, file->Close());
  EXPECT_EQ(3u, fs.Calls(FileCall::kDelete));
}

}  // namespace
