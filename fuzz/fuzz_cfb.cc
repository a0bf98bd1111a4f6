// libFuzzer target of the compound-file engine: the input is taken for a
// compound file, opened, walked, every stream read, checked, then changed
// (create, write across the mini-stream cutoff, destroy). Any result is
// fine; crashes, hangs, leaks and out-of-bounds accesses are not, nor is a
// file that Check() found consistent becoming inconsistent after the
// changes and a reopen. Syncs
// are skipped: the scratch file need not survive a power cut, and each
// would cost more than the rest of an input's run.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/cfb/compound_file.h"
#include "platform/file.h"
#include "platform/storage.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/fake_no_sync_file_system.h"

namespace {

using platform::kStorageMode;

// The file each input is written to; removed when the process ends.
const std::string& ScratchPath() {
  static const std::string path = [] {
    const char* tmp = getenv("TMPDIR");
    std::string p = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_cfb.XXXXXX";
    int fd = mkstemp(&p[0]);
    if (fd >= 0) close(fd);
    return p;
  }();
  static const bool cleanup = atexit([] { unlink(ScratchPath().c_str()); }) == 0;
  (void)cleanup;
  return path;
}

// Installs the no-sync file system for one input and puts back whatever
// was installed before (the regression tests replay inputs in-process).
class NoSyncScope {
 public:
  NoSyncScope() : previous_(platform::FileSystem::Default()) {
    platform::FileSystem::SetDefault(&fs_);
  }
  ~NoSyncScope() { platform::FileSystem::SetDefault(previous_); }

 private:
  testing_support::FakeNoSyncFileSystem fs_;
  platform::FileSystem* previous_;
};

void Walk(platform::Storage* storage, int depth) {
  if (depth > 16) return;
  std::unique_ptr<platform::ElementEnumerator> e;
  if (FAILED(storage->EnumElements(&e))) return;
  platform::ElementStat stat;
  for (int n = 0; n < 10000 && e->Next(&stat) == S_OK; ++n) {
    if (stat.type == platform::ElementType::kStorage) {
      std::unique_ptr<platform::Storage> sub;
      if (SUCCEEDED(storage->OpenStorage(stat.name, kStorageMode, &sub))) Walk(sub.get(), depth + 1);
    } else {
      std::unique_ptr<platform::Stream> s;
      if (FAILED(storage->OpenStream(stat.name, kStorageMode, &s))) continue;
      char buffer[4096];
      uint32_t read = 0;
      while (SUCCEEDED(s->Read(buffer, sizeof(buffer), &read)) && read > 0) {
      }
      s->Seek(-3, platform::SeekOrigin::kEnd, nullptr);
      s->Write("abc", 3, &read);
    }
  }
}

// Whether the file at `path` opens and Check() finds it consistent.
bool OpensConsistent(const std::string& path) {
  std::unique_ptr<cfb::CompoundFile> file;
  if (FAILED(cfb::CompoundFile::Open(path, &file))) return false;
  std::string problems;
  return SUCCEEDED(file->Check(&problems)) && problems.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = ScratchPath();
  NoSyncScope no_sync;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  // A reader walks the same bytes and writes nothing of them.
  {
    std::unique_ptr<platform::Storage> reader;
    if (SUCCEEDED(platform::OpenStorageFile(path, platform::kStorageReadMode, &reader))) {
      Walk(reader.get(), 0);
    }
  }
  std::string after;
  if (!platform::ReadWholeFile(path, size + 1, &after) ||
      after != std::string(reinterpret_cast<const char*>(data), size)) {
    fuzz_check::Fail("a read-only open leaves the file as it was");
  }
  const bool consistent = OpensConsistent(path);
  // The changes go in as the programs make them: one transaction, with the
  // calls that fail on a damaged file undone in memory.
  platform::StorageScope scope;
  std::unique_ptr<platform::Storage> root;
  if (FAILED(platform::OpenStorageFile(path, kStorageMode, &root))) return 0;
  Walk(root.get(), 0);
  std::unique_ptr<platform::Stream> s;
  if (SUCCEEDED(root->CreateStream(u"Fuzz", kStorageMode, &s))) {
    std::string bytes(5000, 'f');
    uint32_t written;
    s->Write(bytes.data(), 100, &written);
    s->Write(bytes.data(), 5000, &written);
    s.reset();
  }
  std::unique_ptr<platform::Storage> sub;
  if (SUCCEEDED(root->CreateStorage(u"FuzzDir", kStorageMode, &sub))) {
    sub->CreateStream(u"x", kStorageMode, &s);
    s.reset();
    sub.reset();
  }
  std::unique_ptr<platform::ElementEnumerator> e;
  platform::ElementStat stat;
  if (SUCCEEDED(root->EnumElements(&e)) && e->Next(&stat) == S_OK) {
    root->DestroyElement(stat.name);
  }
  root->DestroyElement(u"Fuzz");
  root.reset();
  scope.Commit();
  // Committed or not, what is on disk now must still be a sound file.
  if (consistent && !OpensConsistent(path)) {
    fuzz_check::Fail("a consistent file stays consistent after the changes and a reopen");
  }
  return 0;
}
