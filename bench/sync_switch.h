// Lets a benchmark tell the engine's own cost from the price of its syncs:
// with CNF_BENCH_SYNC=off in the environment, every file and folder sync
// is skipped (the journal is still written, created and deleted). Only for
// measuring: a file written so is not safe from a power cut.
#pragma once

#include <cstdlib>
#include <cstring>

#include "platform/file.h"
#include "tests/support/fake_no_sync_file_system.h"

namespace bench {

// Installs the no-sync file system when CNF_BENCH_SYNC=off; returns whether
// syncs are on.
inline bool ApplySyncSwitch() {
  const char* value = std::getenv("CNF_BENCH_SYNC");
  if (value == nullptr || std::strcmp(value, "off") != 0) return true;
  static testing_support::FakeNoSyncFileSystem fs;
  platform::FileSystem::SetDefault(&fs);
  return false;
}

}  // namespace bench
