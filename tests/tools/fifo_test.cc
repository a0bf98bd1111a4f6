// A FIFO where a program expects a file: it is refused at once, with a
// message, and nothing is unlinked or written in its place.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

using testing_support::ProgramPath;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

bool IsFifo(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

TEST(FifoTest, QuarlenRefusesAFifoAsItsIniFileOrItsOutputAndUnlinksNothing) {
  TempDir dir;
  const std::string out = dir.File("OUT.CNF");
  const std::string in = dir.File("IN.INI");
  ASSERT_EQ(0, ::mkfifo(out.c_str(), 0600));
  ASSERT_EQ(0, ::mkfifo(in.c_str(), 0600));
  WriteWholeFile(dir.File("a.ini"), "[MAIN]\r\nOutputENG=" + out +
                                        "\r\nDeleleteOldCNF=1\r\nNumTasks=1\r\n"
                                        "[Task0]\r\nNameENG=One\r\n");
  testing_support::RunResult r =
      testing_support::Run({ProgramPath("Quarlen"), "a.ini", "IN.INI"}, dir.path());
  EXPECT_EQ(0, r.exit_status) << r.err;  // single failures are reported, not returned
  EXPECT_NE(std::string::npos, r.err.find(out)) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("IN.INI")) << r.err;
  EXPECT_TRUE(IsFifo(out));
  EXPECT_TRUE(IsFifo(in));
  EXPECT_FALSE(testing_support::PathExists(out + "-new"));
}

}  // namespace
