// What a program removes from a configuration is gone from the file's
// bytes: a password stream removed with cfbtool, a task deleted by Quarlen.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

TEST(ScrubTest, RemovedPasswordsAndDeletedTasksLeaveNoBytesBehind) {
  TempDir dir;
  const std::string cnf = dir.File("T.CNF");
  WriteWholeFile(dir.File("base.ini"),
                 "[MAIN]\r\nOutputENG=" + cnf +
                     "\r\nNumTasks=2\r\n"
                     "[Task0]\r\nNameENG=Kept task\r\nIsShared=1\r\n"
                     "[Task1]\r\nNameENG=Doomed task\r\nIsShared=1\r\n"
                     "VirusFoundMsgENG=UNIQUE-MESSAGE-OF-THE-DOOMED-TASK\r\n");
  ASSERT_EQ(0, testing_support::Run({ProgramPath("Quarlen"), "base.ini"}, dir.path()).exit_status);
  const std::string secret = "PASSWORD-BYTES-THAT-MUST-GO-0123456789";
  auto put = testing_support::Run({ProgramPath("cfbtool"), "put", cnf, "_Zarin_/ro012"}, dir.path(), {}, secret);
  ASSERT_EQ(0, put.exit_status) << put.err;
  ASSERT_NE(std::string::npos, ReadWholeFile(cnf).find(secret));
  ASSERT_NE(std::string::npos, ReadWholeFile(cnf).find("UNIQUE-MESSAGE-OF-THE-DOOMED-TASK"));

  auto rm = testing_support::Run({ProgramPath("cfbtool"), "rm", cnf, "_Zarin_/ro012"}, dir.path());
  ASSERT_EQ(0, rm.exit_status) << rm.err;
  WriteWholeFile(dir.File("delete.ini"), "[MAIN]\r\nOutputENG=" + cnf +
                                             "\r\n[ToDelete]\r\nNumTasks=1\r\nTask0=Doomed task\r\n");
  auto deleted = testing_support::Run({ProgramPath("Quarlen"), "delete.ini"}, dir.path());
  ASSERT_EQ(0, deleted.exit_status) << deleted.err;
  ASSERT_EQ("", deleted.err);

  const std::string bytes = ReadWholeFile(cnf);
  EXPECT_EQ(std::string::npos, bytes.find(secret));
  EXPECT_EQ(std::string::npos, bytes.find("UNIQUE-MESSAGE-OF-THE-DOOMED-TASK"));
  EXPECT_EQ(std::string::npos, bytes.find("Doomed task"));
  EXPECT_NE(std::string::npos, bytes.find("Kept task"));
}

}  // namespace
