// cfbtool run as a program: listing, reading and patching compound files,
// checked against an independent reader, and its failures.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/cfb/journal.h"
#include "platform/conversion_record.h"
#include "platform/storage.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::FixturePath;
using testing_support::OlefileDump;
using testing_support::ProgramPath;
using testing_support::RunResult;
using testing_support::TempDir;

RunResult Tool(const std::vector<std::string>& args, const std::string& input = "") {
  std::vector<std::string> argv = {ProgramPath("cfbtool")};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::Run(argv, "", {}, input);
}

// Runs a command that must succeed silently.
void Ok(const std::vector<std::string>& args, const std::string& input = "") {
  RunResult result = Tool(args, input);
  EXPECT_EQ(0, result.exit_status) << args[0] << " " << args.back() << "\n" << result.err;
  EXPECT_EQ("", result.err) << args[0];
}

std::string Pattern(size_t size) {
  std::string bytes;
  for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>((i * 31 + 7) & 0xFF));
  return bytes;
}

TEST(CfbtoolTest, ListsAFileWrittenByWindowsInEnumerationOrder) {
  RunResult result = Tool({"ls", FixturePath("615/basic.CNF")});
  ASSERT_EQ(0, result.exit_status) << result.err;
  EXPECT_EQ(
      "storage             VELOX\n"
      "storage               TORVI\n"
      "stream         116      5\n"
      "storage             _Zarin_\n"
      "stream          11    cc012\n"
      "storage             _Common_\n"
      "stream         143    22\n"
      "stream         158    101\n"
      "storage               _ReadOnly_\n"
      "stream         105      7\n"
      "stream           4  _Version_\n",
      result.out);
}

TEST(CfbtoolTest, BuildsAFileThatOlefileReadsBack) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  const std::string big = Pattern(5000);  // past the 4096-byte cutoff
  Ok({"new", file});
  Ok({"mkdir", file, "_Common_"});
  Ok({"mkdir", file, "/_Common_/_ReadOnly_/"});
  Ok({"put", file, "_Common_/Task"}, big);
  Ok({"put", file, "_Version_"}, std::string("\x68\x02\x00\x00", 4));
  Ok({"put", file, "_Common_/_ReadOnly_/empty"}, "");

  RunResult list = Tool({"ls", file});
  ASSERT_EQ(0, list.exit_status) << list.err;
  EXPECT_EQ(
      "storage             _Common_\n"
      "stream        5000    Task\n"
      "storage               _ReadOnly_\n"
      "stream           0      empty\n"
      "stream           4  _Version_\n",
      list.out);
  RunResult cat = Tool({"cat", file, "_COMMON_/task"});  // names match without case
  ASSERT_EQ(0, cat.exit_status) << cat.err;
  EXPECT_EQ(big, cat.out);

  EXPECT_TRUE(OlefileDump(file) ==
              "F _Common_/Task 5000 " + testing_support::Hex(big) + "\n"
              "F _Common_/_ReadOnly_/empty 0 \n"
              "F _Version_ 4 68020000\n"
              "S _Common_\n"
              "S _Common_/_ReadOnly_\n")
      << OlefileDump(file).substr(0, 200);
}

TEST(CfbtoolTest, PutReplacesAStreamWholeAndRmRemovesTrees) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  Ok({"new", file});
  Ok({"mkdir", file, "A"});
  Ok({"mkdir", file, "A/B"});
  Ok({"put", file, "A/B/s"}, Pattern(300));
  Ok({"put", file, "A/s"}, Pattern(6000));
  // Shorter contents replace the old ones entirely, also past the cutoff.
  Ok({"put", file, "A/B/s"}, "xy");
  Ok({"put", file, "A/s"}, "short");
  EXPECT_EQ("xy", Tool({"cat", file, "A/B/s"}).out);
  EXPECT_EQ("short", Tool({"cat", file, "A/s"}).out);

  Ok({"rm", file, "A/B"});
  Ok({"rm", file, "a/S"});
  EXPECT_EQ("storage             A\n", Tool({"ls", file}).out);
  EXPECT_EQ("S A\n", OlefileDump(file));
}

TEST(CfbtoolTest, NamesAreUtf8AndControlCharactersEscaped) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  Ok({"new", file});
  Ok({"mkdir", file, "\xC3\x84rger"});                       // Ärger
  Ok({"put", file, "\xC3\x84rger/\xD0\x97\xD0\xB0"}, "z");  // За
  Ok({"put", file, "\\x05Summary"}, "s");
  Ok({"put", file, "\xF0\x9F\x98\x80"}, "e");  // outside the BMP: a surrogate pair
  RunResult list = Tool({"ls", file});
  EXPECT_EQ(
      "stream           1  \xF0\x9F\x98\x80\n"
      "storage             \xC3\x84rger\n"
      "stream           1    \xD0\x97\xD0\xB0\n"
      "stream           1  \\x05Summary\n",
      list.out);
  EXPECT_EQ("s", Tool({"cat", file, "\\x05summary"}).out);
  EXPECT_EQ("z", Tool({"cat", file, "\xC3\xA4RGER/\xD0\xB7\xD0\x90"}).out);  // case-blind
  std::string dump = OlefileDump(file);
  EXPECT_NE(std::string::npos, dump.find("S \xC3\x84rger\n")) << dump;
  EXPECT_NE(std::string::npos, dump.find("F \x05Summary 1 73\n")) << dump;
}

TEST(CfbtoolTest, EveryFailureEndsNonZeroWithOneLine) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  const std::string text_file = dir.File("text.txt");
  testing_support::WriteWholeFile(text_file, "not a compound file");
  Ok({"new", file});
  Ok({"mkdir", file, "S"});
  Ok({"put", file, "f"}, "1");

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message_part;
  };
  const std::string name32(32, 'n');
  const Case cases[] = {
      {{"ls", dir.File("missing.cnf")}, 1, "0x80030002 (STG_E_FILENOTFOUND: "},
      {{"ls", dir.File("no/such/folder.cnf")}, 1, "0x80030003 (STG_E_PATHNOTFOUND: "},
      {{"ls", text_file}, 1, "0x80030050 (STG_E_FILEALREADYEXISTS: not a compound file); check"},
      {{"new", file}, 1, "0x80030050 (STG_E_FILEALREADYEXISTS: a file or element of that name"},
      {{"cat", file, "missing"}, 1, "cannot open the stream missing"},
      {{"cat", file, "S"}, 1, "0x80030002 (STG_E_FILENOTFOUND: "},
      {{"cat", file, "f/x"}, 1, "cannot open the storage f"},
      {{"put", file, "missing/x"}, 1, "cannot open the storage missing"},
      {{"put", file, "S"}, 1, "is a storage, not a stream"},
      {{"put", file, name32}, 1, "0x800300FC (STG_E_INVALIDNAME: "},
      {{"mkdir", file, "s"}, 1, "0x80030050 (STG_E_FILEALREADYEXISTS: "},
      {{"mkdir", file, "a:b"}, 1, "0x800300FC (STG_E_INVALIDNAME: "},
      {{"rm", file, "missing"}, 1, "0x80030002 (STG_E_FILENOTFOUND: "},
      {{"extract", file, text_file}, 1, text_file + " is not a folder"},
      {{"extract", file, dir.path()}, 1, "the folder " + dir.path() + " is not empty"},
      {{}, 2, "no command given"},
      {{"frobnicate", file}, 2, "unknown command frobnicate"},
      {{"ls"}, 2, "ls takes one FILE"},
      {{"cat", file}, 2, "cat takes a FILE and a PATH"},
      {{"ls", file, "extra"}, 2, "ls takes one FILE"},
      {{"cat", file, "/"}, 2, "names no element"},
      {{"cat", file, "\xC3"}, 2, "is not UTF-8"},
      {{"cat", file, "a\\b"}, 2, "holds a '\\'"},
      {{"cat", file, "\\x80"}, 2, "below 0x80"},
  };
  for (const Case& c : cases) {
    RunResult result = Tool(c.args, "data");
    std::string label = c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back();
    EXPECT_EQ(c.status, result.exit_status) << label;
    EXPECT_EQ(0u, result.err.find("cfbtool: ")) << label << ": " << result.err;
    EXPECT_NE(std::string::npos, result.err.find(c.message_part)) << label << ": " << result.err;
    EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n')) << result.err;
  }
  // Output that cannot be written whole is a failure, never a cut listing.
  for (const char* command : {"ls", "cat", "info"}) {
    const std::string tail = std::string(command) == "cat" ? " f" : "";
    RunResult result = testing_support::Run(
        {"/bin/sh", "-c", "\"$0\" " + std::string(command) + " \"$1\"" + tail + " > /dev/full",
         ProgramPath("cfbtool"), file});
    EXPECT_EQ(1, result.exit_status) << command;
    EXPECT_EQ("cfbtool: cannot write to stdout\n", result.err) << command;
  }
  // Nothing of the failed commands changed the file.
  EXPECT_EQ("F f 1 31\nS S\n", OlefileDump(file));
}

TEST(CfbtoolTest, HelpAndVersion) {
  RunResult help = Tool({"--help"});
  EXPECT_EQ(0, help.exit_status);
  EXPECT_EQ(0u, help.out.find("usage: cfbtool"));
  RunResult version = Tool({"--version"});
  EXPECT_EQ(0, version.exit_status);
  EXPECT_EQ("cfbtool 1.0.0\n", version.out);
}

// A small tree with UTF-8, a control character and blanks in names, built by cfbtool.
std::string SampleFile(const TempDir& dir) {
  const std::string file = dir.File("sample.cnf");
  Ok({"new", file});
  Ok({"mkdir", file, "_Common_"});
  Ok({"mkdir", file, "_Common_/_ReadOnly_"});
  Ok({"put", file, "_Common_/Task"}, Pattern(5000));
  Ok({"put", file, "_Common_/_ReadOnly_/7"}, Pattern(70));
  Ok({"put", file, "\\x05Summary"}, "s");
  Ok({"put", file, "\xC3\x84rger"}, "");
  return file;
}

// Lines "S path" / "F path size hex" (the form of OlefileDump) from the
// files under an extracted folder.
std::string FolderDump(const std::string& root) {
  std::vector<std::string> lines;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    std::string path = item.path().string().substr(root.size() + 1);
    if (item.is_directory()) {
      lines.push_back("S " + path);
    } else {
      std::string bytes = testing_support::ReadWholeFile(item.path().string());
      lines.push_back("F " + path + " " + std::to_string(bytes.size()) + " " +
                      testing_support::Hex(bytes));
    }
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

// Writes a 32-bit value at `offset` into every directory entry named `name`
// (ASCII), as a damaged file or another writer would have it.
void PatchEntries(const std::string& file, const std::string& name, uint64_t offset,
                  uint32_t value) {
  const std::string bytes = testing_support::ReadWholeFile(file);
  std::string utf16;
  for (char c : name) utf16 += std::string{c, '\0'};
  utf16 += std::string(2, '\0');
  for (uint64_t at : cfb_test::EntryOffsets(file)) {
    if (bytes.compare(at, utf16.size(), utf16) == 0) cfb_test::FilePut32(file, at + offset, value);
  }
}

RunResult Python(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/python3", "-c", program};
  argv.insert(argv.end(), args.begin(), args.end());
  return testing_support::Run(argv);
}

TEST(CfbtoolTest, BlanksAtTheEndsOfNamesAreEscapedInListingsAndPaths) {
  TempDir dir;
  const std::string file = dir.File("t.cnf");
  Ok({"new", file});
  Ok({"mkdir", file, "S"});
  struct Case {
    std::string path;  // as given to put
    std::string shown;  // in ls -p
  };
  const Case cases[] = {
      {"S/\\x20\\x20in", "S/\\x20\\x20in"},
      {"S/a\\x20b", "S/a b"},  // inside a name a blank is itself
      {"S/end\\x20", "S/end\\x20"},
      {"S/\\x20", "S/\\x20"},
  };
  std::string expected = "storage - S\n";
  for (const Case& c : cases) Ok({"put", file, c.path}, c.shown);
  std::set<std::string> listed;
  RunResult paths = Tool({"ls", "-p", file});
  ASSERT_EQ(0, paths.exit_status) << paths.err;
  for (const Case& c : cases) {
    EXPECT_NE(std::string::npos, paths.out.find(" " + c.shown + "\n")) << paths.out;
    // What a listing shows reads the element back.
    EXPECT_EQ(c.shown, Tool({"cat", file, c.shown}).out) << c.shown;
  }
  // In the tree listing no name looks indented like a child of S.
  RunResult tree = Tool({"ls", file});
  EXPECT_NE(std::string::npos, tree.out.find("    \\x20\\x20in\n")) << tree.out;
  EXPECT_NE(std::string::npos, tree.out.find("    \\x20\n")) << tree.out;
}

TEST(CfbtoolTest, PathListingAndJsonAgreeWithOlefile) {
  TempDir dir;
  const std::string file = SampleFile(dir);
  // A CLSID and times on _Common_, as other writers set them.
  const uint32_t fields[][2] = {{80, 0x00020906}, {84, 0},          {88, 0x000000C0},
                                {92, 0x46000000}, {100, 0xC89DC000}, {104, 0x01C07385},
                                {108, 0xC89DC001}, {112, 0x01C07385}};  // 2001-01-01, +100 ns
  for (const auto& field : fields) PatchEntries(file, "_Common_", field[0], field[1]);

  RunResult paths = Tool({"ls", "-p", file});
  ASSERT_EQ(0, paths.exit_status) << paths.err;
  EXPECT_EQ(
      "stream 0 \xC3\x84rger\n"
      "stream 1 \\x05Summary\n"
      "storage - _Common_\n"
      "stream 5000 _Common_/Task\n"
      "storage - _Common_/_ReadOnly_\n"
      "stream 70 _Common_/_ReadOnly_/7\n",
      paths.out);
  RunResult json = Tool({"ls", "--json", file});
  ASSERT_EQ(0, json.exit_status) << json.err;
  testing_support::WriteWholeFile(dir.File("ls.json"), json.out);
  // Every element as olefile has it: name, type, size, CLSID and times.
  RunResult compare = Python(R"PY(
import datetime, json, sys, olefile
ole = olefile.OleFileIO(sys.argv[1])
def iso(t):
    if t == 0: return ""
    d = datetime.datetime(1601, 1, 1) + datetime.timedelta(microseconds=t // 10)
    s = d.strftime("%Y-%m-%dT%H:%M:%S")
    return s + ("." + "%07d" % (t % 10000000) if t % 10000000 else "") + "Z"
want = []
for path in ole.listdir(streams=True, storages=True):
    e = ole.direntries[ole._find(path)]
    storage = e.entry_type == olefile.STGTY_STORAGE
    want.append(("/".join(path), e.name, "storage" if storage else "stream",
                 0 if storage else e.size, "{%s}" % e.clsid if e.clsid else "",
                 iso(e.createTime), iso(e.modifyTime)))
got = [(x["path"].replace("\\x05", "\x05"), x["name"], x["type"], x["size"], x["clsid"],
        x["created"], x["modified"]) for x in json.load(open(sys.argv[2]))]
print(sorted(want) == sorted(got) and "same" or "want %r\ngot  %r" % (sorted(want), sorted(got)))
)PY",
                             {file, dir.File("ls.json")});
  EXPECT_EQ("same\n", compare.out) << compare.err;
  EXPECT_NE(std::string::npos,
            json.out.find("\"clsid\": \"{00020906-0000-0000-C000-000000000046}\", "
                          "\"created\": \"2001-01-01T00:00:00Z\", "
                          "\"modified\": \"2001-01-01T00:00:00.0000001Z\"}"))
      << json.out;
  RunResult long_list = Tool({"ls", "-l", file});
  EXPECT_NE(std::string::npos,
            long_list.out.find("2001-01-01T00:00:00Z  2001-01-01T00:00:00Z  "
                               "{00020906-0000-0000-C000-000000000046}  _Common_\n"))
      << long_list.out;
  // An empty file is an empty array.
  Ok({"new", dir.File("empty.cnf")});
  EXPECT_EQ("[]\n", Tool({"ls", "--json", dir.File("empty.cnf")}).out);
}

TEST(CfbtoolTest, InfoShowsTheHeaderAsOlefileReadsIt) {
  for (const std::string& file :
       {FixturePath("615/basic.CNF"), testing_support::SourceDir() + "/examples/Torvi32.CNF"}) {
    TempDir dir;
    const std::string copy = dir.File("c.cnf");
    testing_support::WriteWholeFile(copy, testing_support::ReadWholeFile(file));
    RunResult info = Tool({"info", copy});
    ASSERT_EQ(0, info.exit_status) << info.err;
    RunResult want = Python(R"PY(
import os, sys, olefile
o = olefile.OleFileIO(sys.argv[1])
sect = lambda s: "none" if s == 0xFFFFFFFE else str(s)
print("file size: %d" % os.path.getsize(sys.argv[1]))
print("version: %d (minor 0x%04X)" % (o.dll_version, o.minor_version))
print("sector size: %d\nmini sector size: %d\nmini stream cutoff: %d"
      % (o.sector_size, o.mini_sector_size, o.mini_stream_cutoff_size))
print("FAT sectors: %d\nDIFAT sectors: %d\nfirst DIFAT sector: %s"
      % (o.num_fat_sectors, o.num_difat_sectors, sect(o.first_difat_sector)))
print("mini FAT sectors: %d\nfirst mini FAT sector: %s"
      % (o.num_mini_fat_sectors, sect(o.first_mini_fat_sector)))
print("first directory sector: %s" % sect(o.first_dir_sector))
print("free sectors: %d" % sum(1 for v in o.fat[:o.nb_sect] if v == 0xFFFFFFFF))
)PY",
                            {copy});
    ASSERT_EQ(0, want.exit_status) << want.err;
    std::istringstream lines(want.out);
    std::string line;
    while (std::getline(lines, line)) {
      EXPECT_NE(std::string::npos, info.out.find(line + "\n")) << file << ": " << line << "\n"
                                                                 << info.out;
    }
  }
}

TEST(CfbtoolTest, CheckReportsFindingsAndChangesNothing) {
  TempDir dir;
  const std::string file = SampleFile(dir);
  RunResult good = Tool({"check", file});
  EXPECT_EQ(0, good.exit_status) << good.err;
  EXPECT_EQ("", good.out);
  // A stream's size that its chain does not match, and a name with ':'.
  PatchEntries(file, "Task", 120, 9000);
  PatchEntries(file, "_Common_", 2, 0x003A0043);  // "_C:mmon_"
  const std::string before = testing_support::ReadWholeFile(file);
  RunResult bad = Tool({"check", file});
  EXPECT_EQ(1, bad.exit_status) << bad.err;
  EXPECT_EQ(before, testing_support::ReadWholeFile(file));
  EXPECT_NE(std::string::npos, bad.out.find("does not match its size\n")) << bad.out;
  EXPECT_NE(std::string::npos, bad.out.find("(_C:mmon_) has a name the format does not allow\n"))
      << bad.out;
  EXPECT_EQ(cfb_test::CheckFile(file).empty(), false);

  testing_support::WriteWholeFile(dir.File("text"), "not a compound file");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"check", dir.File("text")}, {"check", dir.File("missing")},
        {"check"}, {"check", file, "extra"}}) {
    RunResult result = Tool(args);
    EXPECT_EQ(2, result.exit_status) << args.back() << ": " << result.err;
    EXPECT_EQ("", result.out);
    EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n')) << result.err;
  }
}

TEST(CfbtoolTest, ExtractWritesWhatOlefileAndGsfRead) {
  TempDir dir;
  for (const std::string& source :
       {FixturePath("615/basic.CNF"), testing_support::SourceDir() + "/examples/Torvi32.CNF"}) {
    const std::string file = dir.File("c.cnf");
    testing_support::WriteWholeFile(file, testing_support::ReadWholeFile(source));
    const std::string out = dir.File("out");
    Ok({"extract", file, out});
    EXPECT_EQ(OlefileDump(file), FolderDump(out)) << source;
    EXPECT_EQ(cfb_test::GsfDump(file), FolderDump(out)) << source;
    std::filesystem::remove_all(out);
    std::filesystem::remove(file);
  }
}

// Names that a file may hold (or a damaged one: with '/', '\\', twice the
// same) become files inside the folder, each its own, nothing outside it.
TEST(CfbtoolTest, ExtractKeepsHostileNamesInsideTheFolder) {
  TempDir dir;
  const std::string file = dir.File("h.cnf");
  Ok({"new", file});
  Ok({"mkdir", file, ".."});
  Ok({"put", file, "../..x"}, "dotdot-child");
  Ok({"put", file, "."}, "dot");
  Ok({"put", file, ".hidden"}, "hidden");
  Ok({"put", file, "\\x20lead"}, "lead");
  Ok({"put", file, "\\x01ctl"}, "ctl");
  Ok({"put", file, "con"}, "con");
  Ok({"put", file, "aXb"}, "slash");     // becomes a/b
  Ok({"put", file, "cXd"}, "backslash");  // becomes c\d
  Ok({"put", file, "dup"}, "one");
  Ok({"put", file, "duq"}, "two");        // becomes dup
  Ok({"put", file, "Case"}, "upper");
  Ok({"put", file, "casf"}, "lower");     // becomes case
  PatchEntries(file, "aXb", 2, '/' | 'b' << 16);
  PatchEntries(file, "cXd", 2, '\\' | 'd' << 16);
  PatchEntries(file, "duq", 4, 'p');
  PatchEntries(file, "casf", 6, 'e');

  const std::string out = dir.File("out");
  // The streams named with '/' and '\\' cannot be opened by name: their files
  // stay empty, the rest is written, and the run fails with a line for each.
  RunResult extract = Tool({"extract", file, out});
  EXPECT_EQ(1, extract.exit_status);
  EXPECT_EQ(2, std::count(extract.err.begin(), extract.err.end(), '\n')) << extract.err;
  EXPECT_NE(std::string::npos, extract.err.find("a\\/b in")) << extract.err;
  std::string dump = FolderDump(out);
  for (const std::string& line : std::vector<std::string>{
           "F \\x01ctl 3 63746c", "F \\x20lead 4 6c656164", "F \\x2E 3 646f74",
        "F \\x2Ehidden 6 68696464656e", "F con 3 636f6e", "S \\x2E.",
        "F \\x2E./\\x2E.x 12 " + testing_support::Hex("dotdot-child"),
        "F a\\x2Fb 0 ", "F c\\\\d 0 ", "F Case 5 " + testing_support::Hex("upper")}) {
    EXPECT_NE(std::string::npos, dump.find(line + "\n")) << line << "\n" << dump;
  }
  // Twice the same name, or names alike but for case: each gets its own file.
  const std::string rest = dump;
  EXPECT_TRUE(rest.find("F dup 3 6f6e65\nF dup\\#2 3 74776f\n") != std::string::npos ||
              rest.find("F dup 3 74776f\nF dup\\#2 3 6f6e65\n") != std::string::npos)
      << dump;
  EXPECT_NE(std::string::npos, dump.find(" 5 " + testing_support::Hex("lower") + "\n")) << dump;
  EXPECT_EQ(13, std::count(dump.begin(), dump.end(), '\n')) << dump;
  // Nothing beside the folder.
  std::set<std::string> beside;
  for (const auto& item : std::filesystem::directory_iterator(dir.path())) {
    beside.insert(item.path().filename().string());
  }
  EXPECT_EQ((std::set<std::string>{"h.cnf", "out"}), beside);

  // A folder that holds anything, a file, or a symbolic link is refused.
  std::filesystem::create_directory(dir.File("empty"));
  std::filesystem::create_directory_symlink(dir.File("empty"), dir.File("link"));
  for (const std::string& target : {out, file, dir.File("link")}) {
    RunResult result = Tool({"extract", file, target});
    EXPECT_EQ(1, result.exit_status) << target;
    EXPECT_EQ(1, std::count(result.err.begin(), result.err.end(), '\n')) << result.err;
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.File("empty")));
  // A file that cannot be opened leaves no folder behind.
  EXPECT_EQ(1, Tool({"extract", dir.File("missing.cnf"), dir.File("new")}).exit_status);
  EXPECT_FALSE(testing_support::PathExists(dir.File("new")));
}

TEST(CfbtoolTest, MvRenamesWithinAStorageAndKeepsTheFileValid) {
  TempDir dir;
  const std::string file = SampleFile(dir);
  Ok({"mv", file, "_Common_/Task", "Job"});
  Ok({"mv", file, "_COMMON_/_readonly_", "_RO_"});
  Ok({"mv", file, "\\x05summary", "\\x05SUMMARY"});  // a change of case
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message_part;
  };
  const Case cases[] = {
      {{"mv", file, "_Common_/missing", "x"}, 1, "0x80030002 (STG_E_FILENOTFOUND: "},
      {{"mv", file, "_Common_/Job", "_ro_"}, 1, "0x80030050 (STG_E_FILEALREADYEXISTS: "},
      {{"mv", file, "_Common_/Job", "a:b"}, 1, "0x800300FC (STG_E_INVALIDNAME: "},
      {{"mv", file, "_Common_/Job", std::string(32, 'n')}, 1, "(STG_E_INVALIDNAME: "},
      {{"mv", file, "_Common_/Job", "a/b"}, 2, "is not one name"},
      {{"mv", file, "_Common_/Job"}, 2, "mv takes a FILE, a PATH and a NEWNAME"},
  };
  for (const Case& c : cases) {
    RunResult result = Tool(c.args);
    EXPECT_EQ(c.status, result.exit_status) << c.args.back();
    EXPECT_NE(std::string::npos, result.err.find(c.message_part)) << result.err;
  }
  EXPECT_TRUE(OlefileDump(file) ==
              "F \x05SUMMARY 1 73\n"
              "F _Common_/Job 5000 " + testing_support::Hex(Pattern(5000)) + "\n"
              "F _Common_/_RO_/7 70 " + testing_support::Hex(Pattern(70)) + "\n"
              "F \xC3\x84rger 0 \n"
              "S _Common_\n"
              "S _Common_/_RO_\n")
      << OlefileDump(file).substr(0, 100);
  EXPECT_EQ(0, Tool({"check", file}).exit_status);
  EXPECT_EQ("", cfb_test::CheckFile(file));
}

}  // namespace

// A file that the user may not write (mode 0444; in CI, run as root, the
// reader is the user nobody): every reading command reads it, with what a
// user who may write it gets, and writes nothing; a changing command is
// refused.
class CfbtoolReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    testing_support::GiveToReader(dir_.path(), 0755);
    file_ = dir_.File("r.cnf");
    testing_support::WriteWholeFile(file_,
                                    testing_support::ReadWholeFile(FixturePath("615/basic.CNF")));
    testing_support::GiveToReader(file_, 0444);
    before_ = testing_support::ReadWholeFile(file_);
  }
  RunResult Reader(const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> argv = {ProgramPath("cfbtool")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::RunAsReader(argv, "", {}, input);
  }
  // Lets this process, and the programs it runs with Tool, write the file
  // (the reader too, when the tests do not run as root).
  void MayWrite() { ::chmod(file_.c_str(), 0644); }
  // The file's bytes as they were, and nothing beside it but `also`.
  void ExpectUntouched(const std::string& what, std::vector<std::string> also = {}) {
    EXPECT_EQ(before_, testing_support::ReadWholeFile(file_)) << what;
    also.push_back(file_);
    std::sort(also.begin(), also.end());
    EXPECT_EQ(also, testing_support::FolderEntries(dir_.path())) << what;
  }

  TempDir dir_;
  std::string file_;
  std::string before_;
};

TEST_F(CfbtoolReaderTest, EveryReadingCommandReadsAFileThatMayNotBeWritten) {
  const std::vector<std::vector<std::string>> commands = {
      {"ls", file_},         {"ls", "-l", file_}, {"ls", "-p", file_}, {"ls", "--json", file_},
      {"cat", file_, "_Common_/101"}, {"check", file_}, {"info", file_}};
  std::vector<RunResult> read;
  for (const auto& args : commands) {
    read.push_back(Reader(args));
    // check: 1 for the findings in a file that Windows wrote
    EXPECT_EQ(args[0] == "check" ? 1 : 0, read.back().exit_status) << args[0] << ": " << read.back().err;
    EXPECT_EQ("", read.back().err) << args[0];
    ExpectUntouched(args[0]);
  }
  const std::string out = dir_.File("out");
  ASSERT_EQ(0, ::mkdir(out.c_str(), 0700));
  testing_support::GiveToReader(out, 0755);
  RunResult extracted = Reader({"extract", file_, out});
  EXPECT_EQ(0, extracted.exit_status) << extracted.err;
  EXPECT_EQ(OlefileDump(file_), FolderDump(out));
  ExpectUntouched("extract", {out});

  RunResult put = Reader({"put", file_, "_Version_"}, "xxxx");
  EXPECT_EQ(1, put.exit_status);
  EXPECT_NE(std::string::npos, put.err.find("cannot open " + file_ + ": 0x80030005 (STG_E_ACCESSDENIED: "))
      << put.err;
  ExpectUntouched("put", {out});

  // The same as a user who may write it gets.
  MayWrite();
  for (size_t i = 0; i < commands.size(); ++i) {
    RunResult written = Tool(commands[i]);
    EXPECT_EQ(written.out, read[i].out) << commands[i][0] << " " << commands[i][1];
    EXPECT_EQ(written.exit_status, read[i].exit_status) << commands[i][0];
  }
}

// An interrupted run's journal beside the file: a reader, who cannot take
// it back, refuses the file and says what does; the file and the journal
// stay. A user who may write the file takes it back with the same command.
TEST_F(CfbtoolReaderTest, AFileWithAnUnfinishedJournalIsRefusedAndLeftAsItIs) {
  const std::string journal_path = cfb::JournalPath(file_);
  cfb_test::LeaveUnfinishedJournal(file_);
  testing_support::GiveToReader(journal_path, 0600);
  const std::string journal = testing_support::ReadWholeFile(journal_path);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"ls", file_}, {"cat", file_, "_Version_"}, {"check", file_},
        {"info", file_}}) {
    RunResult r = Reader(args);
    EXPECT_NE(0, r.exit_status) << args[0];
    EXPECT_NE(std::string::npos,
              r.err.find(file_ + " is not read: an interrupted run left unfinished changes in it (" +
                         journal_path + "); the next open of it for writing takes them back, "
                         "such as cfbtool ls " + file_))
        << args[0] << ": " << r.err;
    EXPECT_NE(std::string::npos, r.err.find("0x80030020 (STG_E_SHAREVIOLATION: ")) << r.err;
    EXPECT_EQ(journal, testing_support::ReadWholeFile(journal_path)) << args[0];
    ExpectUntouched(args[0], {journal_path});
  }
  MayWrite();
  RunResult writer = Tool({"ls", file_});
  EXPECT_EQ(0, writer.exit_status) << writer.err;
  EXPECT_NE(std::string::npos, writer.err.find("were taken back")) << writer.err;
  ExpectUntouched("the writer's ls");
}

// A file in a conversion is refused to a reader with the conversion's
// message; the record stays.
TEST_F(CfbtoolReaderTest, AFileInAConversionIsRefused) {
  platform::ConversionRecord record;
  record.token = "0123456789abcdef";
  record.configuration = file_;
  record.old_path = file_ + ".615";
  record.ini_path = dir_.File("x.ini");
  ASSERT_EQ(0, platform::WriteConversionRecord(record));
  const std::string record_path = platform::ConversionRecordPath(file_);
  testing_support::GiveToReader(record_path, 0644);
  const std::string text = testing_support::ReadWholeFile(record_path);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"ls", file_}, {"cat", file_, "_Version_"}, {"check", file_},
        {"info", file_}}) {
    RunResult r = Reader(args);
    EXPECT_NE(0, r.exit_status) << args[0];
    EXPECT_NE(std::string::npos,
              r.err.find("in the middle of a conversion (" + record_path + "); run Rebolan"))
        << args[0] << ": " << r.err;
    EXPECT_EQ(text, testing_support::ReadWholeFile(record_path));
    ExpectUntouched(args[0], {record_path});
  }
}

// A writer keeps readers out and a reader keeps writers out, with the
// result a second writer gets.
TEST_F(CfbtoolReaderTest, AWriterAndAReaderExcludeEachOther) {
  {
    MayWrite();  // for this process
    std::unique_ptr<platform::Storage> writer;
    ASSERT_EQ(S_OK, platform::OpenStorageFile(file_, platform::kStorageMode, &writer));
    testing_support::GiveToReader(file_, 0444);
    RunResult r = Reader({"ls", file_});
    EXPECT_EQ(1, r.exit_status);
    EXPECT_NE(std::string::npos, r.err.find("0x80030020 (STG_E_SHAREVIOLATION: ")) << r.err;
  }
  {
    std::unique_ptr<platform::Storage> reader;
    ASSERT_EQ(S_OK, platform::OpenStorageFile(file_, platform::kStorageReadMode, &reader));
    EXPECT_EQ(0, Reader({"ls", file_}).exit_status) << "readers share the file";
    MayWrite();
    RunResult r = Tool({"put", file_, "_Version_"}, "xxxx");
    EXPECT_EQ(1, r.exit_status);
    EXPECT_NE(std::string::npos, r.err.find("0x80030020 (STG_E_SHAREVIOLATION: ")) << r.err;
  }
  ExpectUntouched("after both");
}
