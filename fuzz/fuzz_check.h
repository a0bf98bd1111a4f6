// What a fuzz target does when an input breaks a property it checks: under
// libFuzzer it aborts, so that the fuzzer reports and keeps the input; the
// regression replay (tests/support/fuzz_replay.h) installs a handler that
// fails the test instead and names the property.
#pragma once

#include <cstdlib>

namespace fuzz_check {

using FailureHandler = void (*)(const char* property);

inline FailureHandler failure_handler = nullptr;

// Reports that `property` does not hold for the current input.
inline void Fail(const char* property) {
  if (failure_handler != nullptr) {
    failure_handler(property);
    return;
  }
  std::abort();
}

}  // namespace fuzz_check
