#include "tests/support/fuzz_replay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tests/support/test_support.h"

namespace testing_support {

namespace {

void FailTest(const char* property) { ADD_FAILURE() << "property broken: " << property; }

}  // namespace

size_t ReplayKeptFuzzInputs(const std::string& target,
                            int (*one_input)(const uint8_t* data, size_t size)) {
  std::vector<std::string> paths;
  for (const char* root : {"/tests/fixtures/fuzz/", "/fuzz/corpus/"}) {
    std::filesystem::path folder = SourceDir() + root + target;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      if (entry.is_regular_file()) paths.push_back(entry.path().string());
    }
  }
  fuzz_check::failure_handler = FailTest;
  for (const std::string& path : paths) {
    std::string bytes = ReadWholeFile(path);
    SCOPED_TRACE(path);
    EXPECT_EQ(one_input(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
  fuzz_check::failure_handler = nullptr;
  return paths.size();
}

}  // namespace testing_support
