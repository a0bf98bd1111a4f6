// FakeSystem: a program run inside the test's process ends as the program
// would end for the parent that started it.

#include "tests/support/fake_system.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "platform/system.h"

namespace {

using testing_support::FakeSystem;

TEST(FakeSystemTest, AProgramRunInProcessEndsAsTheProgramWould) {
  struct Case {
    int32_t result;  // -2: the run runs out of memory
    int32_t exit_code;
    const char* said;
  } cases[] = {
      {0, 0, ""},
      {6, 6, ""},
      {-1, 255, ""},
      {static_cast<int32_t>(0x80030002), 1,
       "Tool: ended with result 0x80030002 (STG_E_FILENOTFOUND: no such file or element), which "
       "an exit status cannot hold; the exit status is 1\n"},
      {-2, 77, "Tool: out of memory: the run was stopped; none of its changes were written\n"},
  };
  for (const Case& c : cases) {
    FakeSystem system(platform::Environment{{"CNF_SEEN", "fake"}});
    std::string tail, seen;
    system.RunInProcess(
        "Tool",
        [&](const std::string& command_tail) -> int32_t {
          tail = command_tail;
          seen = platform::EnvironmentValue("CNF_SEEN");
          if (c.result == -2) throw std::bad_alloc();
          return c.result;
        },
        77);
    platform::SetProgramName("Caller");
    testing_support::ScopedSystem scoped(&system);
    int32_t code = -99;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(platform::RunProgramAndWait("Tool", {"/I a.ini", "/LENG"}, &code));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said) << c.result;
    EXPECT_EQ(code, c.exit_code) << c.result;
    EXPECT_EQ(tail, "/I a.ini /LENG");
    EXPECT_EQ(seen, "fake") << "the run sees the fake's environment";
    EXPECT_EQ(platform::ReportedProgramName(), "Caller");
    EXPECT_EQ(system.runs(), std::vector<std::string>{"Tool /I a.ini /LENG"});
  }
  platform::SetProgramName("program");
}

// Any other program is started for real, with the fake's environment.
TEST(FakeSystemTest, OtherProgramsAreStartedWithTheFakesEnvironment) {
  FakeSystem system(platform::Environment{{"PATH", "/bin:/usr/bin"}, {"CNF_SEEN", "fake"}});
  system.RunInProcess("Tool", [](const std::string&) { return 0; }, 1);
  int32_t code = -99;
  ASSERT_TRUE(system.RunProgramAndWait("sh", {"-c", "[ \"$CNF_SEEN\" = fake ] && exit 9"}, &code));
  EXPECT_EQ(code, 9);
  EXPECT_TRUE(system.runs().empty());
}

}  // namespace
