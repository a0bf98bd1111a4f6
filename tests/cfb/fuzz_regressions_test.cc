// Replays every kept fuzz input of the compound-file engine through the
// fuzz target's own entry.

#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fuzz_replay.h"

#define LLVMFuzzerTestOneInput FuzzCfbOneInput
#include "fuzz/fuzz_cfb.cc"
#undef LLVMFuzzerTestOneInput

namespace {

TEST(FuzzRegressionsTest, Cfb) {
  EXPECT_GT(testing_support::ReplayKeptFuzzInputs("fuzz_cfb", FuzzCfbOneInput), 0u);
  std::remove(ScratchPath().c_str());  // the target's scratch file
}

}  // namespace
