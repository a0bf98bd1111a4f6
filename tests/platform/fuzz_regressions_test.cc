// Replays every kept fuzz input of the profile and registry readers
// through the fuzz targets' own entries.

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fuzz_replay.h"

#define LLVMFuzzerTestOneInput FuzzProfileOneInput
#include "fuzz/fuzz_profile.cc"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput FuzzRegistryOneInput
#include "fuzz/fuzz_registry.cc"
#undef LLVMFuzzerTestOneInput

namespace {

TEST(FuzzRegressionsTest, Profile) {
  EXPECT_GT(testing_support::ReplayKeptFuzzInputs("fuzz_profile", FuzzProfileOneInput), 0u);
}

TEST(FuzzRegressionsTest, Registry) {
  EXPECT_GT(testing_support::ReplayKeptFuzzInputs("fuzz_registry", FuzzRegistryOneInput), 0u);
}

}  // namespace
