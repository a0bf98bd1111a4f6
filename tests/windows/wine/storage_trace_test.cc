// The compound-file engine against Wine's ole32: the same random sequences
// of operations (storage_trace.h) must give the same HRESULTs, the same
// enumeration orders and the same contents on both; and each build reads
// the file the other wrote to the same tree.
//
// Run by scripts/test-windows.sh; skipped without $CNF_WINDOWS_BUILD.
#include "tests/windows/wine/storage_trace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/test_support.h"

namespace {

using testing_support::TempDir;

std::string WinPath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// The first line where two traces part, with its number, or "".
std::string FirstDifference(const std::string& a, const std::string& b) {
  size_t at = 0;
  int line = 1;
  while (at < a.size() || at < b.size()) {
    size_t end_a = a.find('\n', at);
    size_t end_b = b.find('\n', at);
    std::string line_a = a.substr(at, end_a == std::string::npos ? std::string::npos : end_a - at);
    std::string line_b = b.substr(at, end_b == std::string::npos ? std::string::npos : end_b - at);
    if (line_a != line_b) {
      return "line " + std::to_string(line) + "\n  engine: " + line_a + "\n  ole32:  " + line_b;
    }
    if (end_a == std::string::npos) break;
    at = end_a + 1;
    ++line;
  }
  return "";
}

TEST(StorageTrace, EngineAndOle32AgreeOnRandomSequences) {
  const char* build = std::getenv("CNF_WINDOWS_BUILD");
  if (build == nullptr || *build == '\0') GTEST_SKIP() << "$CNF_WINDOWS_BUILD is not set";
  const char* wine_env = std::getenv("CNF_WINE");
  const std::string wine = wine_env != nullptr && *wine_env != '\0' ? wine_env : "/usr/bin/wine";
  const std::string tracer = std::string(build) + "/tests/windows/windows_storage_trace.exe";
  ASSERT_TRUE(testing_support::PathExists(tracer)) << tracer;

  const int kSteps = 400;
  for (uint32_t seed = 1; seed <= 24; ++seed) {
    TempDir dir;
    std::string engine = storage_trace::Run(dir.File("engine.cnf"), seed, kSteps);
    testing_support::RunResult ole32 = testing_support::Run(
        {wine, tracer, WinPath(dir.File("ole32.cnf")), std::to_string(seed),
         std::to_string(kSteps)});
    ASSERT_EQ(0, ole32.exit_status) << ole32.err;
    ASSERT_NE(std::string::npos, engine.find("\nfinal 00000000\n")) << engine.substr(0, 500);
    std::string difference = FirstDifference(engine, ole32.out);
    EXPECT_EQ("", difference) << "seed " << seed;
    // The engine reads the file that ole32 wrote to the same tree.
    EXPECT_EQ(storage_trace::Dump(dir.File("engine.cnf")),
              storage_trace::Dump(dir.File("ole32.cnf")))
        << "seed " << seed;
    EXPECT_EQ(std::string::npos, testing_support::OlefileDump(dir.File("engine.cnf")).find("ERROR"));
    if (!difference.empty()) break;  // later seeds would mostly repeat it
  }
}

}  // namespace
