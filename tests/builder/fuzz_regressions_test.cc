// Replays every kept fuzz input of the version-616 task stream reader and
// the builder's command line through the fuzz targets' own entries.

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fuzz_replay.h"

#define LLVMFuzzerTestOneInput FuzzTaskStream616OneInput
#include "fuzz/fuzz_task_stream_616.cc"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput FuzzQuarlenCommandLineOneInput
#include "fuzz/fuzz_quarlen_command_line.cc"
#undef LLVMFuzzerTestOneInput

namespace {

TEST(FuzzRegressionsTest, TaskStream616) {
  EXPECT_GT(testing_support::ReplayKeptFuzzInputs("fuzz_task_stream_616", FuzzTaskStream616OneInput), 0u);
}

TEST(FuzzRegressionsTest, QuarlenCommandLine) {
  EXPECT_GT(testing_support::ReplayKeptFuzzInputs("fuzz_quarlen_command_line", FuzzQuarlenCommandLineOneInput), 0u);
}

}  // namespace
