// Replays every kept fuzz input of the compound-file engine through the
// fuzz target's own entry.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#define LLVMFuzzerTestOneInput FuzzCfbOneInput
#include "fuzz/fuzz_cfb.cc"
#undef LLVMFuzzerTestOneInput

namespace {

// Every input kept for `target`: the findings under tests/fixtures/fuzz and
// the seed corpus. A crash, hang or sanitizer report fails the test program.
std::vector<std::string> KeptInputs(const std::string& target) {
  std::vector<std::string> paths;
  for (const char* root : {"/tests/fixtures/fuzz/", "/fuzz/corpus/"}) {
    std::filesystem::path folder = std::string(CNF_SOURCE_DIR) + root + target;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      if (entry.is_regular_file()) paths.push_back(entry.path().string());
    }
  }
  return paths;
}

size_t Replay(const std::string& target, int (*one_input)(const uint8_t*, size_t)) {
  std::vector<std::string> paths = KeptInputs(target);
  for (const std::string& path : paths) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(path);
    EXPECT_EQ(one_input(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
  }
  return paths.size();
}

TEST(FuzzRegressionsTest, Cfb) {
  EXPECT_GT(Replay("fuzz_cfb", FuzzCfbOneInput), 0u);
  std::remove(ScratchPath().c_str());  // the target's scratch file
}

}  // namespace
