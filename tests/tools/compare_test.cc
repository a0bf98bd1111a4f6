// Whole-program tests of Rebolan's comparison of two configurations (/C):
// the words of each kind of difference, the statuses 0, 1 and 2, and that a
// conversion's two sides compare equal.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/converter/writer_615.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::FixturePath;
using testing_support::ProgramPath;
using testing_support::ReadWholeFile;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

class CompareTest : public ::testing::Test {
 protected:
  RunResult Run(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> argv{ProgramPath(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::Run(argv, dir_.path(),
                                {{"TMPDIR", dir_.path()},
                                 {"TORVI32_REGISTRY", dir_.File("none.reg")}});
  }

  // A version-616 file built by Quarlen from `tasks` (task sections without
  // their headers, numbered in order) and `main` (more [MAIN] lines).
  std::string Build(const std::string& name, const std::vector<std::string>& tasks,
                    const std::string& main = "") {
    const std::string cnf = dir_.File(name);
    std::string text;
    for (size_t i = 0; i < tasks.size(); ++i) {
      text += "[Task" + std::to_string(i) + "]\r\n" + tasks[i] + "\r\n";
    }
    text += "[MAIN]\r\nOutputENG = " + cnf + "\r\nNumTasks = " + std::to_string(tasks.size()) +
            "\r\n" + main;
    WriteWholeFile(cnf + ".ini", text);
    RunResult built = Run("Quarlen", {cnf + ".ini"});
    EXPECT_EQ(built.exit_status, 0) << built.err;
    return cnf;
  }

  TempDir dir_;
};

// A version-615 file and its conversion hold the same configuration.
TEST_F(CompareTest, AConversionComparesEqualToItsSource) {
  for (const char* fixture : {"basic.CNF", "domains.CNF"}) {
    const std::string old_file = dir_.File(std::string("old-") + fixture);
    const std::string new_file = dir_.File(std::string("new-") + fixture);
    WriteWholeFile(old_file, ReadWholeFile(FixturePath(std::string("615/") + fixture)));
    WriteWholeFile(new_file, ReadWholeFile(old_file));
    RunResult converted = Run("Rebolan", {new_file});
    ASSERT_EQ(converted.exit_status, 0) << converted.err;
    RunResult r = Run("Rebolan", {old_file, "-C" + new_file, "-Psecret1"});
    EXPECT_EQ(r.exit_status, 0) << fixture << ": " << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "the summary alone: " << r.out;
    EXPECT_NE(r.out.find(" 0 different, 0 only in the first, 0 only in the second\n"),
              std::string::npos)
        << r.out;
  }
}

// Each kind of difference in words, one a line, and the summary; the
// status is 1.
TEST_F(CompareTest, EachKindOfDifferenceIsSaidInWords) {
  const std::string nightly =
      "NameENG = Nightly\r\nIsShared = 1\r\nUseVirusScanner = 1\r\nPriority = 2\r\n"
      "Areas = local,\"C:\\DATA\\\"S+,\"D:\\\"+\r\nTypes = *.DOC+,*.XLS-\r\n";
  const std::string mine =
      "NameENG = Mine\r\nIsPrivate = 1\r\nDomain = ALPHA\r\nUser = ann\r\n";
  const std::string base = Build("base.CNF", {nightly, mine}, "Password = pw\r\n");
  struct Case {
    const char* what;
    std::vector<std::string> tasks;
    std::string main;
    std::vector<std::string> lines;  // each must be in the output
  } cases[] = {
      {"the same", {nightly, mine}, "Password = pw\r\n", {}},
      {"a task missing",
       {nightly},
       "Password = pw\r\n",
       {"user area ALPHA/ann, task Mine: only in the first"}},
      {"a task more",
       {nightly, mine, "NameENG = Extra\r\nIsShared = 1\r\n"},
       "Password = pw\r\n",
       {"common area, task Extra: only in the second"}},
      {"a field",
       {"NameENG = Nightly\r\nIsShared = 1\r\nUseVirusScanner = 1\r\nPriority = 5\r\n"
        "Areas = local,\"C:\\DATA\\\"S+,\"D:\\\"+\r\nTypes = *.DOC+,*.XLS-\r\n",
        mine},
       "Password = pw\r\n",
       {"common area, task Nightly: Priority \"2\" in the first, \"5\" in the second"}},
      {"an area lost and one gained",
       {"NameENG = Nightly\r\nIsShared = 1\r\nUseVirusScanner = 1\r\nPriority = 2\r\n"
        "Areas = local,\"D:\\\"+,\"E:\\\"S-\r\nTypes = *.DOC+,*.XLS-\r\n",
        mine},
       "Password = pw\r\n",
       {"common area, task Nightly: Areas lost \"C:\\DATA\\\"S+, gained \"E:\\\"S-"}},
      {"list order",
       {"NameENG = Nightly\r\nIsShared = 1\r\nUseVirusScanner = 1\r\nPriority = 2\r\n"
        "Areas = local,\"C:\\DATA\\\"S+,\"D:\\\"+\r\nTypes = *.XLS-,*.DOC+\r\n",
        mine},
       "Password = pw\r\n",
       {"common area, task Nightly: Types: the same items in another order"}},
      {"the task moved to another area",
       {nightly, "NameENG = Mine\r\nIsPrivate = 1\r\nDomain = ALPHA\r\nUser = bob\r\n"},
       "Password = pw\r\n",
       {"user area ALPHA/ann, task Mine: only in the first",
        "user area ALPHA/bob, task Mine: only in the second"}},
      {"the password", {nightly, mine}, "Password = other\r\n", {"the main password differs"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string other = Build("other" + std::to_string(n++) + ".CNF", c.tasks, c.main);
    // The password opens both files where it is the same.
    const std::string password = c.main == "Password = other\r\n" ? "" : "-Ppw";
    std::vector<std::string> args{base, "-C" + other};
    if (!password.empty()) args.push_back(password);
    if (password.empty()) {
      // Two different passwords: no one /P opens both.
      RunResult r = Run("Rebolan", {base, "-C" + other, "-Ppw"});
      EXPECT_EQ(r.exit_status, 2) << c.what << ": " << r.err;
      EXPECT_NE(r.err.find(other + ": the password given with /P is wrong"), std::string::npos)
          << r.err;
      continue;
    }
    RunResult r = Run("Rebolan", args);
    EXPECT_EQ(r.exit_status, c.lines.empty() ? 0 : 1) << c.what << ": " << r.out << r.err;
    for (const std::string& line : c.lines) {
      EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << c.what << ":\n" << r.out;
    }
    // One line per difference, then the summary.
    EXPECT_EQ(static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n')),
              c.lines.size() + 1)
        << c.what << ":\n"
        << r.out;
    EXPECT_NE(r.out.find(" tasks in the first, "), std::string::npos) << r.out;
  }
}

// Trouble is 2, with a message; a command line that mixes /C and /I is
// refused as any bad command line is.
TEST_F(CompareTest, TroubleEndsWith2) {
  const std::string good = Build("good.CNF", {"NameENG = A\r\nIsShared = 1\r\n"});
  writer_615::Tree tree = writer_615::Skeleton(614);
  const std::string old = dir_.File("614.CNF");
  ASSERT_EQ(writer_615::WriteTree(old, tree), S_OK);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string said;
  } cases[] = {
      {{good, "-C" + dir_.File("missing.CNF")}, 2, "cannot open " + dir_.File("missing.CNF")},
      {{good, "-C" + old}, 2, old + " is not a configuration of version 615 or 616 (version 614)"},
      {{good, "-C" + good, "-I" + dir_.File("x.ini")}, 6, "give /C or /I, not both"},
      {{good, "-C"}, 6, "/C needs the path of the configuration to compare with"},
  };
  for (const Case& c : cases) {
    RunResult r = Run("Rebolan", c.args);
    EXPECT_EQ(r.exit_status, c.status) << c.said << ": " << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  RunResult same = Run("Rebolan", {good, "-C" + good});
  EXPECT_EQ(same.exit_status, 0) << same.err;
}

}  // namespace
