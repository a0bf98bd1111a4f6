// Replays every kept input of a fuzz target through its entry: the findings
// under tests/fixtures/fuzz/<target> and the seed corpus fuzz/corpus/<target>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testing_support {

// Feeds each kept input to `one_input` (the target's LLVMFuzzerTestOneInput,
// renamed where the test includes the fuzz source) and expects 0 from it.
// Every property the target checks (fuzz/fuzz_check.h) fails the test for
// the input that breaks it; a crash, hang or sanitizer report fails the test
// program. Returns how many
// inputs were replayed.
size_t ReplayKeptFuzzInputs(const std::string& target,
                            int (*one_input)(const uint8_t* data, size_t size));

}  // namespace testing_support
