// The POSIX system services: paths, switches, the temporary file, starting
// programs, the registry file and messages.

#include "platform/system_posix.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::WriteWholeFile;

using platform::Environment;
using platform::PosixSystem;

void WriteScript(const std::string& path, const std::string& body) {
  WriteWholeFile(path, "#!/bin/sh\n" + body + "\n");
  ::chmod(path.c_str(), 0755);
}

TEST(SystemTest, PathHelpers) {
  EXPECT_FALSE(platform::HasFolderPart("TORVI32.INI"));
  EXPECT_TRUE(platform::HasFolderPart("./a.ini"));
  EXPECT_TRUE(platform::HasFolderPart("C:\\a.ini"));
  EXPECT_FALSE(platform::HasFolderPart(""));

  EXPECT_EQ("/work/B.INI", platform::JoinPath("/work", "B.INI"));
  EXPECT_EQ("/B.INI", platform::JoinPath("/", "B.INI"));
  EXPECT_EQ("/work/B.INI", platform::JoinPath("/work/", "B.INI"));
  EXPECT_EQ("B.INI", platform::JoinPath("", "B.INI"));

  EXPECT_EQ("/srv/cfg", platform::FolderOf("/srv/cfg/Torvi32.CNF"));
  EXPECT_EQ("/", platform::FolderOf("/Torvi32.CNF"));
  EXPECT_EQ("", platform::FolderOf("Torvi32.CNF"));
  EXPECT_EQ("a", platform::FolderOf("a/b"));
}

TEST(SystemTest, SwitchTokens) {
  struct Case {
    const char* token;
    bool is_switch;
  };
  const Case cases[] = {
      {"/LENG", true},       {"/X", true},
      {"/", true},           {"/Iout.ini", true},
      {"/L /tmp/x", true},   {"/tmp/a.ini", false},
      {"/I/tmp/a.ini", false}, {"-I/tmp/out.ini", true},
      {"-", true},           {"-LENG", true},
      {"a.ini", false},      {"", false},
      {"C:\\a.ini", false},  {"/\\a", true},
  };
  for (const Case& c : cases) EXPECT_EQ(c.is_switch, platform::IsSwitchToken(c.token)) << c.token;
  EXPECT_FALSE(platform::IsSwitchToken(nullptr));
}

TEST(SystemTest, DirectoriesFromTheEnvironment) {
  EXPECT_EQ("/srv/windows",
            PosixSystem(Environment{{"WINDIR", "/srv/windows"}}).WindowsDirectory());
  EXPECT_EQ("/etc", PosixSystem(Environment{{"WINDIR", ""}}).WindowsDirectory());
  EXPECT_EQ("/etc", PosixSystem(Environment{}).WindowsDirectory());
  char buffer[4096];
  ASSERT_NE(nullptr, ::getcwd(buffer, sizeof buffer));
  EXPECT_EQ(buffer, platform::CurrentDirectory());
  std::string own = platform::ProgramFolder();
  ASSERT_FALSE(own.empty());
  EXPECT_TRUE(testing_support::PathExists(own + "/platform_tests"));
}

// Whether `path` lies in a private folder of its own ("cnf-" + 6
// characters, mode 0700) in `folder`.
bool IsInFolder(const std::string& path, const std::string& folder) {
  const std::string own = platform::FolderOf(path);
  struct stat info;
  return platform::FolderOf(own) == folder && own.size() == folder.size() + 11 &&
         own.compare(folder.size() + 1, 4, "cnf-") == 0 && ::lstat(own.c_str(), &info) == 0 &&
         S_ISDIR(info.st_mode) && (info.st_mode & 0777) == 0700;
}

TEST(SystemTest, CreateTempFileMakesAPrivateNewFile) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0700);
  PosixSystem system(Environment{{"TMPDIR", dir.path() + "/"}});
  std::string first, second;
  ASSERT_TRUE(system.CreateTempFile("INI", &first, nullptr));
  ASSERT_TRUE(system.CreateTempFile("INI", &second, nullptr));
  EXPECT_NE(first, second);
  for (const std::string& path : {first, second}) {
    EXPECT_TRUE(IsInFolder(path, dir.path())) << path;
    std::string name = path.substr(platform::FolderOf(path).size() + 1);
    ASSERT_EQ(11u, name.size()) << name;
    EXPECT_EQ("INI", name.substr(0, 3));
    EXPECT_EQ(std::string::npos, name.substr(3, 4).find_first_not_of("0123456789ABCDEF"));
    EXPECT_EQ(".tmp", name.substr(7));
    struct stat info;
    ASSERT_EQ(0, ::lstat(path.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    EXPECT_EQ(0, info.st_size);
  }
  platform::RemoveTempFile(first);
  EXPECT_FALSE(testing_support::PathExists(platform::FolderOf(first))) << "its folder goes too";
  EXPECT_TRUE(testing_support::PathExists(second));
}

TEST(SystemTest, CreateTempFilePassesOverUnsafeFolders) {
  TempDir root;
  std::string blank = root.File("with blank");
  std::string open_to_all = root.File("open");
  std::string sticky = root.File("sticky");
  ::mkdir(blank.c_str(), 0700);
  ::mkdir(open_to_all.c_str(), 0700);
  ::chmod(open_to_all.c_str(), 0777);
  ::mkdir(sticky.c_str(), 0700);
  ::chmod(sticky.c_str(), 01777);
  WriteWholeFile(root.File("file"), "");
  // A private folder inside one that others may rename things in, and links
  // to a good and to a bad folder: what counts is the real path.
  const std::string inner = open_to_all + "/inner";
  ::mkdir(inner.c_str(), 0700);
  ::symlink(sticky.c_str(), root.File("to-sticky").c_str());
  ::symlink(inner.c_str(), root.File("to-inner").c_str());
  struct Case {
    std::string tmpdir;
    std::string expected_folder;
    std::string says;  // the folder and its fault as the line says them; "" when it is used
  };
  const std::string in_open = ", writable by others and not sticky";
  const Case cases[] = {
      {blank, "/tmp", blank + " holds a blank"},
      {open_to_all, "/tmp", open_to_all + " is writable by others and not sticky"},
      {sticky, sticky, ""},
      {"relative", "/tmp", "relative is not an absolute path"},
      {"/", "/tmp", "/ is the root folder"},
      {"//", "/tmp", "/ is the root folder"},  // named without its trailing slash
      {root.File("missing"), "/tmp", root.File("missing") + " cannot be examined"},
      {root.File("file"), "/tmp", root.File("file") + " is not a folder"},
      {inner, "/tmp", inner + " lies in " + open_to_all + in_open},
      {root.File("to-sticky"), sticky, ""},
      {root.File("to-inner"), "/tmp", root.File("to-inner") + " lies in " + open_to_all + in_open},
  };
  for (const Case& c : cases) {
    std::string path;
    PosixSystem system(Environment{{"TMPDIR", c.tmpdir}});
    testing::internal::CaptureStderr();
    const bool made = system.CreateTempFile("INI", &path, nullptr);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(made) << c.tmpdir;
    EXPECT_TRUE(IsInFolder(path, c.expected_folder)) << c.tmpdir << " gave " << path;
    if (c.says.empty()) {
      EXPECT_EQ("", said) << c.tmpdir;
    } else {
      EXPECT_NE(std::string::npos,
                said.find(": the temporary folder " + c.says + "; trying /tmp\n"))
          << said;
    }
    platform::RemoveTempFile(path);
  }
}

// A link is followed to its target, except one that another user put into
// a sticky folder that everyone may write in: a write never goes through it.
TEST(SystemTest, FinalPathFollowsNoLinkOfAnotherUserInASharedFolder) {
  TempDir root;
  const std::string shared = root.File("shared");
  ::mkdir(shared.c_str(), 0700);
  ::chmod(shared.c_str(), 01777);
  const std::string target = root.File("target");
  WriteWholeFile(target, "");
  struct Case {
    const char* what;
    std::string link;
    uid_t owner;  // of the link
    bool followed;
  } cases[] = {
      {"own link in a private folder", root.File("own"), ::geteuid(), true},
      {"own link in the shared folder", shared + "/own", ::geteuid(), true},
      {"another's link in the shared folder", shared + "/planted", 65534, false},
      {"another's link in a private folder", root.File("theirs"), 65534, true},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(0, ::symlink(target.c_str(), c.link.c_str())) << c.what;
    if (c.owner != ::geteuid() && ::lchown(c.link.c_str(), c.owner, c.owner) != 0) {
      GTEST_SKIP() << "giving a link to another user needs root";
    }
    EXPECT_EQ(platform::FinalPath(c.link), c.followed ? target : c.link) << c.what;
  }
}

TEST(SystemTest, RunProgramAndWaitPassesArgumentsWithoutAShell) {
  int32_t code = 99;
  ASSERT_TRUE(platform::RunProgramAndWait("sh", {"-c", "exit 3"}, &code));
  EXPECT_EQ(3, code);
  // argv[0] is the bare name; blanks and shell characters reach it whole.
  ASSERT_TRUE(platform::RunProgramAndWait(
      "sh", {"-c", "[ \"$0\" = sh ] && [ \"$1\" = 'a b;$c' ] && [ $# = 1 ]", "sh", "a b;$c"},
      &code));
  EXPECT_EQ(0, code);
  ASSERT_TRUE(platform::RunProgramAndWait("sh", {"-c", "kill -9 $$"}, &code));
  EXPECT_EQ(-1, code);
  ASSERT_TRUE(platform::RunProgramAndWait("sh", {"-c", "exit 255"}, &code));
  EXPECT_EQ(255, code);
  EXPECT_FALSE(platform::RunProgramAndWait("no-such-program-here", {}, &code));
}

TEST(SystemTest, RunProgramAndWaitSearchesOwnFolderThenAbsolutePathEntries) {
  TempDir dir;
  std::string name = "cnf-fake-" + std::to_string(::getpid());
  WriteScript(dir.File(name), "exit 5");
  int32_t code = 0;
  {
    PosixSystem system(Environment{{"PATH", "/nonexistent:" + dir.path()}});
    ASSERT_TRUE(system.RunProgramAndWait(name, {}, &code));
    EXPECT_EQ(5, code);
    // The program's own folder comes first.
    std::string own = platform::JoinPath(platform::ProgramFolder(), name);
    WriteScript(own, "exit 6");
    bool ran = system.RunProgramAndWait(name, {}, &code);
    ::unlink(own.c_str());
    ASSERT_TRUE(ran);
    EXPECT_EQ(6, code);
  }
  {
    // A relative entry (the current folder) is never searched.
    char cwd[4096];
    ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, ::chdir(dir.path().c_str()));
    bool ran = PosixSystem(Environment{{"PATH", ".::bin"}}).RunProgramAndWait(name, {}, &code);
    ASSERT_EQ(0, ::chdir(cwd));
    EXPECT_FALSE(ran);
  }
  // A file that is not executable is not a program.
  ::chmod(dir.File(name).c_str(), 0644);
  EXPECT_FALSE(PosixSystem(Environment{{"PATH", dir.path()}}).RunProgramAndWait(name, {}, &code));
}

// A system made with an environment of its own reads only that one, keeps
// its changes to itself, and gives it whole to the programs it starts.
TEST(SystemTest, AnEnvironmentOfItsOwnIsAllThatIsReadAndPassedOn) {
  const char* process_path = std::getenv("PATH");
  PosixSystem system(Environment{{"CNF_ONE", "1"}, {"CNF_GONE", "x"}});
  EXPECT_EQ("", system.EnvironmentValue("PATH")) << "not the process's";
  system.SetEnvironmentValue("CNF_TWO", "2 two");
  system.SetEnvironmentValue("CNF_GONE", "");
  EXPECT_EQ("2 two", system.EnvironmentValue("CNF_TWO"));
  EXPECT_EQ("", system.EnvironmentValue("CNF_GONE"));
  EXPECT_EQ(nullptr, std::getenv("CNF_TWO"));
  EXPECT_EQ(process_path, std::getenv("PATH"));
  int32_t code = 99;
  const std::string script = "[ \"$(/usr/bin/env | /bin/grep -v ^PWD=)\" = \"$0\" ]";
  ASSERT_TRUE(system.RunProgramAndWait("/bin/sh", {"-c", script, "CNF_ONE=1\nCNF_TWO=2 two"},
                                       &code));
  EXPECT_EQ(0, code);
}

TEST(SystemTest, ReadRegistryStringFromTheRegistryFile) {
  TempDir dir;
  const std::string key = "Software\\ORMEK Software\\Torvi32";
  WriteWholeFile(dir.File("torvi32.reg"),
                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\ORMEK Software\\Torvi32]\r\n"
                 "\"CFG\"=\"/srv/torvi/Torvi32.CNF\"\r\n");
  WriteWholeFile(dir.File("bad.reg"), "[HKEY_LOCAL_MACHINE\\x]\n");
  std::string value;
  {
    PosixSystem system(Environment{{"TORVI32_REGISTRY", dir.File("torvi32.reg")}});
    ASSERT_TRUE(system.ReadRegistryString(key, "CFG", &value));
    EXPECT_EQ("/srv/torvi/Torvi32.CNF", value);
    EXPECT_FALSE(system.ReadRegistryString(key, "Other", &value));
    EXPECT_FALSE(system.ReadRegistryString("Software\\Other", "CFG", &value));
  }
  // A file that is not there gives no value silently; one that cannot be
  // read or is no registry file is passed over with a line saying so.
  const struct {
    std::string file;
    std::string says;  // "" for nothing said
  } unusable[] = {
      {dir.File("missing.reg"), ""},
      {dir.File("bad.reg"), "the registry file " + dir.File("bad.reg") +
                                " does not begin with REGEDIT4 or \"Windows Registry Editor "
                                "Version 5.00\"; it is passed over"},
      {dir.path(), "the registry file " + dir.path() + " cannot be read; it is passed over"},
  };
  for (const auto& c : unusable) {
    PosixSystem system(Environment{{"TORVI32_REGISTRY", c.file}});
    testing::internal::CaptureStderr();
    EXPECT_FALSE(system.ReadRegistryString(key, "CFG", &value)) << c.file;
    const std::string said = testing::internal::GetCapturedStderr();
    if (c.says.empty()) {
      EXPECT_EQ("", said) << c.file;
    } else {
      EXPECT_NE(std::string::npos, said.find(": " + c.says + "\n")) << said;
    }
  }
}

TEST(SystemTest, ReportWritesOneLineWithTheProgramName) {
  testing::internal::CaptureStderr();
  platform::SetProgramName("Quarlen");
  platform::Report("cannot write task 3");
  platform::SetProgramName("program");
  EXPECT_EQ("Quarlen: cannot write task 3\n", testing::internal::GetCapturedStderr());
}

}  // namespace

// A sweep takes what killed runs left (files no run holds, empty private
// folders) and leaves a running run's file and a file kept for the user.
TEST(SystemTest, RemoveAbandonedTempFilesTakesOnlyWhatNoRunHolds) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0700);
  PosixSystem system(Environment{{"TMPDIR", dir.path()}});
  std::string held, abandoned, kept;
  std::unique_ptr<platform::File> hold;
  ASSERT_TRUE(system.CreateTempFile("INI", &held, &hold));
  ASSERT_TRUE(system.CreateTempFile("INI", &abandoned, nullptr));
  ASSERT_TRUE(system.CreateTempFile("INI", &kept, nullptr));
  kept = platform::KeepTempFile(kept);
  const std::string empty = dir.File("cnf-Ab12Cd");
  ASSERT_EQ(::mkdir(empty.c_str(), 0700), 0);
  const std::string foreign = dir.File("cnf-other1");
  ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
  WriteWholeFile(foreign + "/notes.txt", "not ours");

  std::vector<std::string> removed = system.RemoveAbandonedTempFiles("INI");
  std::sort(removed.begin(), removed.end());
  std::vector<std::string> expected{abandoned, empty};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(removed, expected);
  EXPECT_FALSE(testing_support::PathExists(platform::FolderOf(abandoned)));
  EXPECT_TRUE(testing_support::PathExists(held));
  EXPECT_TRUE(testing_support::PathExists(kept));
  EXPECT_TRUE(testing_support::PathExists(foreign + "/notes.txt"));
}
