// Replays every kept fuzz input of the version-615 task stream reader and
// the converter's command line through the fuzz targets' own entries.

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fuzz_replay.h"

#define LLVMFuzzerTestOneInput FuzzTaskStream615OneInput
#include "fuzz/fuzz_task_stream_615.cc"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput FuzzRebolanCommandLineOneInput
#include "fuzz/fuzz_rebolan_command_line.cc"
#undef LLVMFuzzerTestOneInput

namespace {

TEST(FuzzRegressionsTest, TaskStream615) {
  EXPECT_GT(testing_support::ReplayKeptFuzzInputs("fuzz_task_stream_615", FuzzTaskStream615OneInput), 0u);
}

TEST(FuzzRegressionsTest, RebolanCommandLine) {
  EXPECT_GT(testing_support::ReplayKeptFuzzInputs("fuzz_rebolan_command_line", FuzzRebolanCommandLineOneInput), 0u);
}

}  // namespace
