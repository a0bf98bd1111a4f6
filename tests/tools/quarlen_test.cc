// End-to-end runs of the Quarlen program on small INI files; every file it
// builds is read back by olefile, byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testing_support::Hex;
using testing_support::Le32;
using testing_support::OlefileDump;
using testing_support::PathExists;
using testing_support::ProgramPath;
using testing_support::RunResult;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

std::string Text(const std::string& s) { return Le32(static_cast<uint32_t>(s.size())) + s; }

struct Task {
  uint32_t component = 0, task = 0, resident = 0;
  int32_t priority = 0;
  std::string name, report = "*", message = "Virus was found !!!", chained;
  std::vector<std::string> types, areas, send_to, exclude;  // in stream order
};

// The task stream as the file must hold it: header, texts, lists, 22 zeros.
std::string StreamBytes(const Task& t) {
  std::string b = Le32(t.component) + Le32(t.task) + Le32(t.resident) +
                  Le32(static_cast<uint32_t>(t.priority)) + std::string(16, '\0') +
                  Text(t.name) + Text(t.report) + Text(t.message) + Text(t.chained);
  for (const auto* list : {&t.types, &t.areas, &t.send_to, &t.exclude}) {
    b += Le32(static_cast<uint32_t>(list->size()));
    for (const std::string& item : *list) b += Text(item);
  }
  return b + std::string(22, '\0');
}

std::string StreamLine(const std::string& path, const std::string& bytes) {
  return "F " + path + " " + std::to_string(bytes.size()) + " " + Hex(bytes);
}

// The dump olefile gives for the given lines, in its sorted order.
std::string Dump(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  std::string dump;
  for (const std::string& line : lines) dump += line + "\n";
  return dump;
}

const char kSkeletonVersion[] = "F _Version_ 4 68020000";

RunResult Quarlen(const std::vector<std::string>& args, const std::string& cwd,
                  const std::map<std::string, std::string>& env = {}) {
  std::vector<std::string> argv = {ProgramPath("Quarlen")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::Run(argv, cwd, env);
}

TEST(QuarlenTest, MainWithOneTaskAndNoSection) {
  TempDir dir;
  WriteWholeFile(dir.File("A.INI"), "[MAIN]\r\nNumTasks=1\r\n");
  RunResult r = Quarlen({"A.INI"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  // The count names a section the file lacks: the default task is said.
  EXPECT_EQ(r.err, "Quarlen: " + dir.File("A.INI") +
                       ": [MAIN] NumTasks=1: there is no [Task0] (no task section at all); a "
                       "task \"(not specified)\" with every default is written in its place\n");
  Task t;
  t.component = 0x01;
  t.task = 0x90A11418;
  t.name = "(not specified)";
  std::string stream = StreamBytes(t);
  ASSERT_EQ(stream.size(), 121u);
  EXPECT_EQ(OlefileDump(dir.File("TORVI32.CNF")),
            Dump({kSkeletonVersion, "S VELOX", "S _Common_", "S _Common_/_ReadOnly_", "S _Zarin_",
                  StreamLine("_Common_/2852926", stream)}));
}

TEST(QuarlenTest, LanguagesPasswordsAreasAndLists) {
  TempDir dir;
  WriteWholeFile(dir.File("full.ini"),
                 "[MAIN]\r\n"
                 "OutputENG=eng.CNF\r\n"
                 "OutputDEU=deu.CNF\r\n"
                 "Password=secret\r\n"
                 "RGWPassword=abcd\r\n"
                 "NumTasks=3\r\n"
                 "[Task0]\r\n"
                 "NameENG=Daily scan\r\n"
                 "NameDEU=Tagesscan\r\n"
                 "IsPrivate=1\r\n"
                 "Domain=OFFICE\r\n"
                 "User=anna\r\n"
                 "VirusFoundMsgENG=Found!\\nStop\r\n"
                 "Priority=2\r\n"
                 "Areas=\"C:\\DATA\\\"S-,local\r\n"
                 "Types=*.doc\r\n"
                 "NetAlert=1\r\n"
                 "SendTo=\"ADMIN\",\"ops, night\"\r\n"
                 "[Task1]\r\n"
                 "NameENG=*Fixed\r\n"
                 "NameDEU=*Fixed\r\n"
                 "IsReadOnly=1\r\n"
                 "UseVirusScanner=0\r\n"
                 "ResidentExcludeFiles=\"C:\\A.EXE\"\r\n"
                 "[Task2]\r\n"
                 "IsShared=0\r\n");
  // Languages run last switch first: ENG, then DEU, in one process, so the
  // generated names go on from one pass to the next.
  RunResult r = Quarlen({"/LDEU", dir.File("full.ini"), "-LENG"}, dir.path());
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err, "");

  Task daily;
  daily.component = 0x01;
  daily.task = 0x90811500;  // private: neither 0x10 nor 0x20
  daily.priority = 2;
  daily.name = "Daily scan";
  daily.message = "Found!\r\nStop";
  daily.types = {"*.doc"};
  daily.areas = {"C:\\DATA\\-+"};
  daily.send_to = {"ops, night", "ADMIN"};
  Task fixed;
  fixed.task = 0x10020;
  fixed.name = "*Fixed";
  fixed.exclude = {"C:\\A.EXE"};
  Task plain;
  plain.component = 0x01;
  plain.task = 0x90A11408;
  plain.name = "(not specified)";
  const std::string cc012 = Le32(6) + std::string("\x65\xe4\x8f\xbc\x64\x74", 6);
  const std::string ro012 = Le32(4) + "abcd";

  std::vector<std::string> common = {
      kSkeletonVersion, "S VELOX", "S _Common_", "S _Common_/_ReadOnly_", "S _Zarin_",
      "S OFFICE", "S OFFICE/anna", StreamLine("_Zarin_/cc012", cc012),
      StreamLine("_Zarin_/ro012", ro012), StreamLine("_Common_/_ReadOnly_/Fixed",
                                                     StreamBytes(fixed))};
  std::vector<std::string> eng = common;
  eng.push_back(StreamLine("OFFICE/anna/2852926", StreamBytes(daily)));
  eng.push_back(StreamLine("OFFICE/anna/11374", StreamBytes(plain)));
  EXPECT_EQ(OlefileDump(dir.File("eng.CNF")), Dump(eng));

  daily.name = "Tagesscan";
  daily.message = "Virus was found !!!";
  std::vector<std::string> deu = common;
  deu.push_back(StreamLine("OFFICE/anna/68962", StreamBytes(daily)));
  deu.push_back(StreamLine("OFFICE/anna/6563", StreamBytes(plain)));
  EXPECT_EQ(OlefileDump(dir.File("deu.CNF")), Dump(deu));

  // libgsf reads the file without a complaint.
  RunResult gsf = testing_support::Run({"/usr/bin/gsf", "list", dir.File("eng.CNF")});
  EXPECT_EQ(gsf.exit_status, 0);
  EXPECT_EQ(gsf.err, "");
  EXPECT_NE(gsf.out.find("_Version_"), std::string::npos) << gsf.out;
}

TEST(QuarlenTest, HexPasswordDeletionsAndAFreshFile) {
  TempDir dir;
  // First run: two tasks of the same name in the common and read-only areas.
  WriteWholeFile(dir.File("one.ini"),
                 "[MAIN]\r\nNumTasks=2\r\n[Task0]\r\nNameENG=Twice\r\n"
                 "[Task1]\r\nNameENG=Twice\r\nIsReadOnly=1\r\n");
  ASSERT_EQ(Quarlen({"one.ini"}, dir.path()).exit_status, 0);
  // Second run, a fresh process: deletes the common one and adds a task
  // under the first generated name again, now free in "_Common_".
  WriteWholeFile(dir.File("two.ini"),
                 "[MAIN]\r\nHexPassword=0AF1\r\nPassword=ignored\r\nNumTasks=1\r\n"
                 "[ToDelete]\r\nNumTasks=3\r\nTask0=twice\r\nTask1=\r\nTask2=Missing\r\n"
                 "[Task0]\r\nNameENG=New\r\nUseVirusScanner=0\r\n");
  RunResult r = Quarlen({"two.ini"}, dir.path());
  EXPECT_EQ(r.exit_status, 0);
  // Reported, not fatal.
  EXPECT_NE(r.err.find("two.ini: nothing deleted for \"Missing\": no such task in TORVI32.CNF\n"),
            std::string::npos)
      << r.err;

  Task twice;
  twice.component = 0x01;
  twice.task = 0x90A11428 & ~0x10u;
  twice.name = "Twice";
  Task fresh;
  fresh.task = 0x10010;
  fresh.name = "New";
  EXPECT_EQ(OlefileDump(dir.File("TORVI32.CNF")),
            Dump({kSkeletonVersion, "S VELOX", "S _Common_", "S _Common_/_ReadOnly_", "S _Zarin_",
                  StreamLine("_Zarin_/cc012", Le32(2) + "\x0a\xf1"),
                  StreamLine("_Common_/_ReadOnly_/11374", StreamBytes(twice)),
                  StreamLine("_Common_/2852926", StreamBytes(fresh))}));

  // DeleleteOldCNF without passwords or tasks leaves no file at all.
  WriteWholeFile(dir.File("three.ini"), "[MAIN]\r\nDeleleteOldCNF=1\r\n");
  EXPECT_EQ(Quarlen({"three.ini"}, dir.path()).exit_status, 0);
  EXPECT_FALSE(PathExists(dir.File("TORVI32.CNF")));
}

TEST(QuarlenTest, DefaultIniComesFromTheWindowsFolder) {
  TempDir windows, work;
  WriteWholeFile(windows.File("TORVI32.INI"), "[MAIN]\r\nOutput=out.CNF\r\nNumTasks=1\r\n");
  WriteWholeFile(work.File("TORVI32.INI"), "[MAIN]\r\nOutput=wrong.CNF\r\nNumTasks=1\r\n");
  RunResult r = Quarlen({"/L"}, work.path(), {{"WINDIR", windows.path()}});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_TRUE(PathExists(work.File("out.CNF")));
  EXPECT_FALSE(PathExists(work.File("wrong.CNF")));
}

TEST(QuarlenTest, RefusedRunsTouchNothing) {
  TempDir dir;
  WriteWholeFile(dir.File("A.INI"), "[MAIN]\r\nNumTasks=1\r\n");
  const std::vector<std::vector<std::string>> command_lines = {
      {"A.INI", "/x"},
      {"A.INI", "/lENG"},
      {"A.INI", "/L" + std::string(12, 'E')},
      {"A.INI", dir.File(std::string(260, 'a'))},
  };
  for (const auto& args : command_lines) {
    RunResult r = Quarlen(args, dir.path());
    EXPECT_EQ(r.exit_status, 255) << args[1];  // -1 keeps 8 bits on POSIX
    EXPECT_NE(r.err.find("Quarlen: "), std::string::npos) << r.err;
    EXPECT_FALSE(PathExists(dir.File("TORVI32.CNF"))) << args[1];
  }
}

TEST(QuarlenTest, MissingIniFileAndUnwritableTasksAreReported) {
  TempDir dir;
  // A private-area task before any private task has named a domain.
  WriteWholeFile(dir.File("B.INI"), "[MAIN]\r\nNumTasks=1\r\n[Task0]\r\nNameENG=Lost\r\n"
                                    "IsShared=0\r\n[ToDelete]\r\nNumTasks=1\r\nTask0=*Gone\r\n");
  RunResult r = Quarlen({"missing.ini", "B.INI"}, dir.path());
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.err.find("missing.ini was not found or could not be read; nothing was done for "
                       "it\n"),
            std::string::npos)
      << r.err;
  const std::string why = ": no private task has named a domain and user yet\n";
  EXPECT_NE(r.err.find("[Task0] was not written to TORVI32.CNF" + why), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("nothing deleted for \"*Gone\"" + why), std::string::npos) << r.err;
  // The refusal comes before any storage call: not even a skeleton.
  EXPECT_FALSE(PathExists(dir.File("TORVI32.CNF")));

  // A password for a file that is not a compound file is not stored, and said.
  WriteWholeFile(dir.File("TEXT.CNF"), "text");
  WriteWholeFile(dir.File("P.INI"), "[MAIN]\r\nOutputENG=TEXT.CNF\r\nPassword=abc\r\n");
  r = Quarlen({"P.INI", "/LENG"}, dir.path());
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_NE(r.err.find("P.INI: the password \"cc012\" was not stored in TEXT.CNF\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(testing_support::ReadWholeFile(dir.File("TEXT.CNF")), "text");
}

// Each mistake of an INI text that the conversion would pass over silently
// gets one line naming the file, the section and key, and what is done
// instead; the exit status stays 0 and the run does what it did before.
TEST(QuarlenTest, FindingsOfTheIniText) {
  const std::string kDefaultTask = "a task \"(not specified)\" with every default is written in its place";
  struct Case {
    const char* what;
    std::string ini;
    std::vector<std::string> switches;
    std::vector<std::string> lines;  // behind "Quarlen: PATH: "
    std::vector<std::string> built;  // files the run leaves, beside A.INI
  } cases[] = {
      {"a UTF-8 byte-order mark hides [MAIN]",
       "\xEF\xBB\xBF[MAIN]\r\nOutputENG=x.CNF\r\nNumTasks=1\r\n[Task0]\r\nNameENG=T\r\n",
       {},
       {"[MAIN]: the file begins with a UTF-8 byte-order mark, so its first line is not read as "
        "the header of [MAIN]; the keys up to the next header are passed over (save the file "
        "without the mark, or as UTF-16)",
        "[MAIN] NumTasks: missing, so the task section [Task0] is not read and no task is written"},
       {}},
      {"UTF-8 text", "[MAIN]\r\nOutputENG=u.CNF\r\nNumTasks=1\r\n[Task0]\r\nNameENG=Pr\xC3\xBC" "fung\r\n",
       {},
       {"[Task0] NameENG: the file is UTF-8 text, not text of the ANSI code page 1252: its names "
        "and values outside ASCII are read as two to four 1252 characters each (save the file in "
        "code page 1252, or as UTF-16)"},
       {"u.CNF"}},
      {"1252 text is not UTF-8", "[MAIN]\r\nOutputENG=w.CNF\r\nNumTasks=1\r\n[Task0]\r\nNameENG=Pr\xFC" "fung\r\n",
       {}, {}, {"w.CNF"}},
      {"task sections without NumTasks", "[MAIN]\r\nOutputENG=m.CNF\r\n[Task0]\r\n[task1]\r\n", {},
       {"[MAIN] NumTasks: missing, so the task sections [Task0] and [Task1] are not read and no "
        "task is written"},
       {}},
      {"NumTasks 0", "[MAIN]\r\nOutputENG=m.CNF\r\nNumTasks=0\r\n[Task0]\r\n", {},
       {"[MAIN] NumTasks=0: 0 or below, so the task section [Task0] is not read and no task is "
        "written"},
       {}},
      {"a gap", "[MAIN]\r\nOutputENG=g.CNF\r\nNumTasks=3\r\n[Task0]\r\n[Task2]\r\n", {},
       {"[MAIN] NumTasks=3: the numbering of the task sections has a gap, there is no [Task1]; " +
        kDefaultTask},
       {"g.CNF"}},
      {"a count past the last section",
       "[MAIN]\r\nOutputENG=c.CNF\r\nNumTasks=4\r\n[Task0]\r\n[Task1]\r\n[Task7]\r\n", {},
       {"[MAIN] NumTasks=4: the numbering of the task sections has a gap, there is no [Task2] or "
        "[Task3]; 2 tasks \"(not specified)\" with every default are written in their place",
        "[MAIN] NumTasks=4: [Task7] is not read: the count ends with [Task3]"},
       {"c.CNF"}},
      {"switches neither 0 nor 1",
       "[MAIN]\r\nOutputENG=s.CNF\r\nDeleleteOldCNF=yes\r\nNumTasks=1\r\n[Task0]\r\n"
       "UseVirusScanner=on\r\nusevirusscanner=1\r\nCreateReport=\r\nIsShared\r\nPriority=7\r\n",
       {},
       {"[MAIN] DeleleteOldCNF=yes: a switch is 1 (on) or 0 (off); this value is read as 0 (off)",
        "[Task0] UseVirusScanner=on: a switch is 1 (on) or 0 (off); this value is read as 0 (off)",
        "[Task0] CreateReport=: a switch is 1 (on) or 0 (off); this value is read as 0 (off)"},
       {"s.CNF"}},
      {"an Output key missing for a language", 
       "[MAIN]\r\nOutputENG=e.CNF\r\nNumTasks=1\r\n[Task0]\r\nNameENG=A\r\nNameDEU=B\r\n",
       {"/LDEU", "/LENG"},
       {"[MAIN] OutputDEU: missing, while the file has OutputENG; the configuration for the "
        "language code \"DEU\" goes to TORVI32.CNF in the current folder"},
       {"TORVI32.CNF", "e.CNF"}},
      {"the language only in task keys", "[MAIN]\r\nNumTasks=1\r\n[Task0]\r\nNameFRA=A\r\n", {"/LFRA"},
       {"[MAIN] OutputFRA: missing, while the file has [Task0] NameFRA; the configuration for the "
        "language code \"FRA\" goes to TORVI32.CNF in the current folder"},
       {"TORVI32.CNF"}},
      {"an Areas item", "[MAIN]\r\nOutputENG=a.CNF\r\nNumTasks=1\r\n[Task0]\r\nAreas=local,C:\\X\r\n", {},
       {"[Task0] Areas: the item C:\\X is left out (not a keyword and no quoted path)"},
       {"a.CNF"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteWholeFile(dir.File("A.INI"), c.ini);
    std::vector<std::string> args = c.switches;
    args.push_back("A.INI");
    RunResult r = Quarlen(args, dir.path(), {{"TORVI32_ACP", "\x01unset"}});
    EXPECT_EQ(r.exit_status, 0) << c.what;
    std::string expected;
    for (const std::string& line : c.lines) expected += "Quarlen: " + dir.File("A.INI") + ": " + line + "\n";
    EXPECT_EQ(r.err, expected) << c.what;
    for (const char* name : {"x.CNF", "m.CNF", "TORVI32.CNF", "u.CNF", "w.CNF", "g.CNF", "c.CNF",
                             "s.CNF", "e.CNF", "a.CNF"}) {
      bool wanted = std::find(c.built.begin(), c.built.end(), name) != c.built.end();
      EXPECT_EQ(PathExists(dir.File(name)), wanted) << c.what << ": " << name;
    }
  }
}

// The same mistake in two INI files gives two lines that name their files,
// and a file converted for two languages says it once.
TEST(QuarlenTest, EachFindingOncePerFileNamingIt) {
  TempDir dir;
  const std::string text = "[MAIN]\r\nOutputENG=a.CNF\r\nOutputDEU=a.CNF\r\nNumTasks=1\r\n"
                           "[Task0]\r\nIsShared=ja\r\n";
  WriteWholeFile(dir.File("a.ini"), text);
  WriteWholeFile(dir.File("b.ini"), text);
  RunResult r = Quarlen({"a.ini", "b.ini", "/LENG", "/LDEU"}, dir.path());
  EXPECT_EQ(r.exit_status, 0);
  const std::string what = ": [Task0] IsShared=ja: a switch is 1 (on) or 0 (off); this value is read as 0 (off)\n";
  EXPECT_EQ(r.err.substr(0, r.err.find("\n", r.err.find("\n") + 1) + 1),
            "Quarlen: " + dir.File("a.ini") + what + "Quarlen: " + dir.File("a.ini") +
                ": the task \"(not specified)\" of [Task0] was not written to a.CNF: no private "
                "task has named a domain and user yet\n")
      << r.err;
  EXPECT_NE(r.err.find("Quarlen: " + dir.File("b.ini") + what), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find(what), r.err.rfind(dir.File("a.ini") + what) + dir.File("a.ini").size())
      << "one line for a.ini whatever the number of languages: " << r.err;
}

// --help anywhere prints the usage and does nothing else; a wrong switch
// is refused as before and points to it; a '/' word that Quarlen reads as
// a path although it looks like /L is said.
TEST(QuarlenTest, HelpAndSwitchLookingPaths) {
  TempDir dir;
  WriteWholeFile(dir.File("A.INI"), "[MAIN]\r\nNumTasks=1\r\n[Task0]\r\n");
  RunResult help = Quarlen({"A.INI", "--help"}, dir.path());
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.out.find("usage: Quarlen"), 0u) << help.out;
  EXPECT_EQ(help.err, "");
  EXPECT_FALSE(PathExists(dir.File("TORVI32.CNF")));
  for (const std::string word : {"-h", "/?"}) {
    RunResult r = Quarlen({"A.INI", word}, dir.path());
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "Quarlen: unknown switch " + word +
                         "; nothing was done (see Quarlen --help for the usage)\n");
  }
  for (const std::string word : {"/LENG/a.ini", "/Dry/a.ini"}) {
    RunResult path = Quarlen({word}, dir.path());
    EXPECT_EQ(path.exit_status, 0);
    EXPECT_EQ(path.out, "");  // a path, not the dry run
    EXPECT_EQ(path.err.substr(0, path.err.find('\n') + 1),
              "Quarlen: " + word + " is read as a path, not as the switch " + word.substr(0, 2) +
                  " (a \"/\" word holding a further \"/\" is a path); for the switch write -" +
                  word.substr(1) + "\n");
  }
  EXPECT_FALSE(PathExists(dir.File("TORVI32.CNF")));
}

}  // namespace
