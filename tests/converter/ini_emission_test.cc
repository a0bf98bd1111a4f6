// Tests of the INI text emission: whole sections compared with texts
// written out here, the value rules, and the checks of what the builder
// could not read back.

#include "converter/ini_emission.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "builder/ini_review.h"
#include "tests/converter/read_whole.h"
#include "tests/converter/writer_615.h"
#include "tests/support/test_support.h"

namespace converter {
namespace {

using writer_615::Task;

void Load(const Task& task, OldTaskRecord* record) {
  std::string bytes = writer_615::StreamBytes(task);
  record->Clear();
  ASSERT_EQ(ParseTaskStream(record, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                            nullptr),
            0);
}

std::string Section(const Task& task, const TaskContext& context,
                    std::vector<ValueProblem>* problems = nullptr) {
  OldTaskRecord record;
  Load(task, &record);
  std::string out;
  std::vector<ValueProblem> ignored;
  FormatTaskSection(record, context, &out, problems != nullptr ? problems : &ignored);
  return out;
}

// The text with "\n" written for each line end, as it reads in the test.
std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

TEST(FormatTaskSectionTest, SharedTaskWithDefaults) {
  Task task;
  task.name = "Daily";
  TaskContext context;
  context.area = TaskArea::kShared;
  context.language = "ENG";
  context.number = 3;
  std::vector<ValueProblem> problems;
  EXPECT_EQ(Section(task, context, &problems), Crlf(R"([Task3]

NameENG = Daily
IsPrivate = 0
IsShared = 1
IsReadOnly = 0

Priority = 0

UseVirusScanner = 1
UseIntegrityChecker = 0
UseSimpleIntegrityChecker = 0
UseBehaviourBlocker = 0
UseResidentBoot = 0
UseResidentProg = 0

Types = programs,documents

Areas = local

StartWithOS = 0
StartWithTorvi = 0
ExitWithLast = 0
NotifyExternal = 0

ScanMemory = 1
IgnoreVirusType = 1
TestFileFull = 0
TestFileCompressed = 1
NoVirusFoundMsg = 0
VirusNotification = all

ChainedTaskENG = 

CreateReport = 1
CreateNewReportFile = 0
ReportFileNameENG = *

VirusFoundMsgENG = Virus was found !!!

)"));
  EXPECT_TRUE(problems.empty());
}

TEST(FormatTaskSectionTest, PrivateTaskWithEveryGroup) {
  Task task;
  task.name = "All on";
  task.component_flags = 0x77;
  task.task_flags = 0xFFFFFFFF & ~0x30u;
  task.resident_flags = 0x20007;
  task.priority = -2;
  task.chained_task = "Next task";
  task.report_file_name = "C:\\R.TXT";
  task.virus_found_msg = "Line one\r\nC:\\PATH";
  task.types = {"*.DOC", "*.XL?"};
  task.type_flags = {0, 7};
  task.areas = {"C:\\DATA", "C:\\A.COM", "D:\\"};
  task.area_flags = {0xA0, 0x40, 0x00};
  task.send_to = {"ADMIN", "OPS, desk"};
  task.resident_exclude_files = {"C:\\X.EXE"};
  TaskContext context;
  context.area = TaskArea::kPrivate;
  context.language = "DEU";
  context.domain = "ALPHA";
  context.user = "ann";
  context.number = 0;
  std::vector<ValueProblem> problems;
  EXPECT_EQ(Section(task, context, &problems), Crlf(R"([Task0]

NameDEU = All on
IsPrivate = 1
IsShared = 0
IsReadOnly = 0
Domain = ALPHA
User = ann

Priority = -2

UseVirusScanner = 1
UseIntegrityChecker = 1
UseSimpleIntegrityChecker = 1
UseBehaviourBlocker = 1
UseResidentBoot = 1
UseResidentProg = 1

Types = all,programs,documents,*.DOC+,*.XL?-

Areas = all,diskettea,removable,local,interactive,remote,"C:\DATA\"S-,"C:\A.COM"+,"D:\"+

StartWithOS = 1
StartWithTorvi = 1
ExitWithLast = 1
NotifyExternal = 1

ScanMemory = 1
IgnoreVirusType = 1
TestFileFull = 1
TestFileCompressed = 1
NoVirusFoundMsg = 1
VirusNotification = all

IgnoreArchive = 1
NoContents = 1
ContentsOnChange = 1

ChainedTaskDEU = Next task

CreateReport = 1
CreateNewReportFile = 1
ReportFileNameDEU = C:\R.TXT

NetAlert = 1
SendTo = "ADMIN","OPS, desk"

VirusFoundMsgDEU = Line one\nC:\\PATH

BlockDOSOperations = 1
BlockWinOperations = 1
BlockFormat = 1

CheckDocs = 0
CheckWin16Progs = 0
CheckDOSProgs = 0
ResidentScan = nosyslib

ResidentExcludeFiles = "C:\X.EXE"

)"));
  EXPECT_TRUE(problems.empty());
}

// Every key the emitter writes is one that the builder reads: a key name
// that drifted from the builder's schema tables would be lost silently.
TEST(FormatTaskSectionTest, EveryKeyWrittenIsInTheBuildersSchema) {
  Task task;
  task.name = "All on";
  task.component_flags = 0x77;
  task.task_flags = 0xFFFFFFFF & ~0x30u;
  task.resident_flags = 0x20007;
  task.types = {"*.DOC"};
  task.type_flags = {0};
  task.areas = {"C:\\DATA"};
  task.area_flags = {0x20};
  task.send_to = {"ADMIN"};
  task.resident_exclude_files = {"C:\\X.EXE"};
  std::vector<std::string> keys;
  for (TaskArea area : {TaskArea::kPrivate, TaskArea::kShared}) {
    TaskContext context;
    context.area = area;
    context.language = "DEU";
    context.domain = "ALPHA";
    context.user = "ann";
    const std::string text = Section(task, context, nullptr);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      start = end + 2;
      const size_t equals = line.find(" = ");
      if (equals != std::string::npos) keys.push_back(line.substr(0, equals));
    }
  }
  EXPECT_GT(keys.size(), 80u) << "every group of keys was written";
  for (const std::string& key : keys) EXPECT_TRUE(builder::IsSchemaKey("Task0", key)) << key;

  StringSink sink;
  IniEmitter emitter("DEU", "C:\\T.CNF", &sink);
  emitter.EmitMainSection("pw");
  for (const char* key : {"OutputDEU", "NumTasks", "HexPassword"}) {
    EXPECT_NE(sink.text.find(std::string("\r\n") + key + " = "), std::string::npos) << key;
    EXPECT_TRUE(builder::IsSchemaKey("MAIN", key)) << key;
  }
}

TEST(FormatTaskSectionTest, ReadOnlyTaskWithoutModulesOrKeywords) {
  Task task;
  task.name = "Bare";
  task.component_flags = 0x40;  // resident only: no scanner lines
  task.task_flags = 0x20;
  task.resident_flags = 0;
  task.chained_task = "VIRFOUND.WAV";
  task.send_to = {"lost"};  // NetAlert is off: no SendTo line
  TaskContext context;
  context.area = TaskArea::kReadOnly;
  context.language = "";
  context.number = 12;
  const std::string text = Section(task, context);
  EXPECT_NE(text.find("\r\nName = Bare\r\nIsPrivate = 0\r\nIsShared = 0\r\nIsReadOnly = 1\r\n\r\n"
                      "Priority"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\r\nTypes = \r\n\r\nAreas = \r\n"), std::string::npos);
  EXPECT_NE(text.find("ChainedTask = \r\n"), std::string::npos) << "virfound.wav in any case";
  EXPECT_NE(text.find("ResidentScan = None\r\n"), std::string::npos);
  EXPECT_EQ(text.find("ScanMemory"), std::string::npos);
  EXPECT_EQ(text.find("IgnoreArchive"), std::string::npos);
  EXPECT_EQ(text.find("NetAlert"), std::string::npos);
  EXPECT_EQ(text.find("SendTo"), std::string::npos);
  EXPECT_EQ(text.find("BlockDOSOperations"), std::string::npos);
  EXPECT_EQ(text.find("ResidentExcludeFiles"), std::string::npos);
}

TEST(EmissionRulesTest, VirusFoundMsgEscaping) {
  struct Case {
    std::string message, value;
  } cases[] = {
      {"plain", "plain"},
      {"a\r\nb", "a\\nb"},
      {"a\\b", "a\\\\b"},
      {"end\\", "end\\\\"},
      {"a\r\n\r\nb", "a\\n\\nb"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeVirusFoundMsg(c.message), c.value) << c.message;
}

TEST(EmissionRulesTest, AreaItemsAndMarkers) {
  struct Case {
    std::string path;
    uint8_t flag;
    std::string written;
  } cases[] = {
      {"C:\\DATA", 0x20, "\"C:\\DATA\\\"S+"},      // folder, subfolders: S and first marker
      {"C:\\DATA\\", 0x20, "\"C:\\DATA\\\"S+"},    // no second backslash
      {"C:\\DATA", 0x00, "\"C:\\DATA\\\"+"},       // folder without subfolders
      {"C:\\DATA", 0x80, "\"C:\\DATA\\\"-"},
      {"C:\\DATA\\A.DOC", 0xC0, "\"C:\\DATA\\A.DOC\"-"},  // a single file
      {"", 0x20, "\"\\\"S+"},                      // empty folder path
      {"", 0x40, "\"\"+"},                         // empty file path
      {"C:\\X", 0x60, "\"C:\\X\"+"},               // 0x40 wins over 0x20
  };
  for (const Case& c : cases) {
    Task task;
    task.task_flags = 0;
    task.areas = {c.path};
    task.area_flags = {c.flag};
    OldTaskRecord record;
    Load(task, &record);
    EXPECT_EQ(FormatAreas(record), c.written) << c.path << " " << int(c.flag);
  }
  Task task;
  task.task_flags = 0x800000;
  task.areas = {"A", "B"};
  task.area_flags = {0, 0x40};
  OldTaskRecord record;
  Load(task, &record);
  EXPECT_EQ(FormatAreas(record), "local,\"A\\\"+,\"B\"+");
  task.types = {"*.X", "*.Y"};
  task.type_flags = {1, 0};
  task.task_flags = 0;
  Load(task, &record);
  EXPECT_EQ(FormatTypes(record), "*.X-,*.Y+");
}

TEST(EmissionRulesTest, KeywordsWithNoBitAreNone) {
  Task task;
  task.component_flags = 0x41;
  task.task_flags = 0x60000000;  // first and None: the first row set wins
  task.resident_flags = 0;
  TaskContext context;
  std::string text = Section(task, context);
  EXPECT_NE(text.find("VirusNotification = first\r\n"), std::string::npos);
  EXPECT_NE(text.find("ResidentScan = None\r\n"), std::string::npos);
  task.task_flags = 0;
  text = Section(task, context);
  EXPECT_NE(text.find("VirusNotification = None\r\n"), std::string::npos);
}

TEST(EmissionRulesTest, HexPasswordKeepsLeadingZeros) {
  EXPECT_EQ(HexText(std::string("\x00\x0f\xab\xff", 4)), "000FABFF");
  EXPECT_EQ(HexText(""), "");
}

// Values that the builder's INI reader would not give back whole are
// written in full and reported with their key.
TEST(EmissionRulesTest, ValuesTheBuilderCannotReadBack) {
  struct Case {
    const char* what;
    Task task;
    std::string key;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, const std::string& key, auto change) {
    Task task;
    task.name = "t";
    change(task);
    cases.push_back({what, task, key});
  };
  add("long Areas", "Areas", [](Task& t) {
    for (int i = 0; i < 20; ++i) {
      t.areas.push_back("C:\\FOLDER" + std::to_string(i));
      t.area_flags.push_back(0x20);
    }
  });
  add("long Types", "Types", [](Task& t) {
    for (int i = 0; i < 40; ++i) {
      t.types.push_back("*.EX" + std::to_string(i));
      t.type_flags.push_back(0);
    }
  });
  add("Types item with a comma", "Types", [](Task& t) {
    t.types = {"A,B"};
    t.type_flags = {0};
  });
  add("Types item that is a keyword", "Types", [](Task& t) {
    t.types = {"ALL"};
    t.type_flags = {0};
  });
  add("Area path with a quote", "Areas", [](Task& t) {
    t.areas = {"C:\\\"Q\""};
    t.area_flags = {0};
  });
  add("file entry ending in a backslash", "Areas", [](Task& t) {
    t.areas = {"C:\\DIR\\"};
    t.area_flags = {0x40};
  });
  add("name with a trailing blank", "NameENG", [](Task& t) { t.name = "x "; });
  add("name in quotes", "NameENG", [](Task& t) { t.name = "\"x\""; });
  add("name with a line break", "NameENG", [](Task& t) { t.name = "a\nb"; });
  add("empty fixed name", "NameENG", [](Task& t) { t.name = "*"; });
  add("fixed name too long", "NameENG", [](Task& t) { t.name = "*" + std::string(32, 'n'); });
  add("fixed name with a slash", "NameENG", [](Task& t) { t.name = "*a/b"; });
  add("SendTo item with a quote", "SendTo", [](Task& t) {
    t.task_flags |= 0x100;
    t.send_to = {"a\"b"};
  });
  add("message with a lone line feed", "VirusFoundMsgENG",
      [](Task& t) { t.virus_found_msg = "a\nb"; });
  add("message of 259 bytes doubling its backslashes", "VirusFoundMsgENG",
      [](Task& t) { t.virus_found_msg = std::string(200, '\\'); });
  add("report name beginning with a blank", "ReportFileNameENG",
      [](Task& t) { t.report_file_name = " r"; });

  TaskContext context;
  context.language = "ENG";
  for (const Case& c : cases) {
    std::vector<ValueProblem> problems;
    Section(c.task, context, &problems);
    ASSERT_FALSE(problems.empty()) << c.what;
    EXPECT_EQ(problems[0].key, c.key) << c.what;
  }
  // The limits themselves are fine.
  Task fine;
  fine.name = "*" + std::string(31, 'n');
  fine.areas = {std::string(254, 'p')};  // "p...\"S+ with quotes: 259 characters
  fine.area_flags = {0x20};
  fine.task_flags = 0;
  std::vector<ValueProblem> problems;
  Section(fine, context, &problems);
  EXPECT_TRUE(problems.empty()) << problems[0].key << ": " << problems[0].why;
}

// A fixed name ("*" + stream name) is refused exactly when the engine would
// refuse the stream name (platform::IsValidElementName): control characters
// other than NUL are names like any other.
TEST(EmissionRulesTest, FixedNamesFollowTheElementNameRule) {
  const struct {
    std::string name;
    bool carried;
  } cases[] = {
      {"*\x05Info", true},  {"*\x1F", true},      {"*" + std::string(31, 'n'), true},
      {"*caf\xE9", true},   {"*", false},          {"*" + std::string(32, 'n'), false},
      {"*a/b", false},      {"*a\\b", false},     {"*a:b", false},
      {"*a!b", false},
  };
  TaskContext context;
  context.language = "ENG";
  for (const auto& c : cases) {
    Task task;
    task.name = c.name;
    std::vector<ValueProblem> problems;
    Section(task, context, &problems);
    bool name_refused = false;
    for (const ValueProblem& problem : problems) name_refused |= problem.key == "NameENG";
    EXPECT_EQ(!name_refused, c.carried) << c.name;
  }
}

TEST(ScalarValueProblemTest, Table) {
  struct Case {
    std::string value;
    bool carried;
  } cases[] = {
      {"", true},
      {"plain text", true},
      {std::string(259, 'x'), true},
      {std::string(260, 'x'), false},
      {" lead", false},
      {"trail\t", false},
      {"\"quoted\"", false},
      {"'quoted'", false},
      {"\"half", true},
      {"a\"b\"", true},
      {"line\rbreak", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ScalarValueProblem(c.value).empty(), c.carried) << c.value;
  }
}

class EmitterFileTest : public ::testing::Test {
 protected:
  testing_support::TempDir dir_;
};

TEST_F(EmitterFileTest, NumbersTasksOverAreasAndCountsThemPerArea) {
  writer_615::Tree tree = writer_615::Skeleton(615, std::string("\x01\x02\xfe", 3));
  tree.storages.push_back("D");
  tree.storages.push_back("D/u");
  Task task;
  task.name = "p";
  writer_615::AddTask(&tree, "D/u/1", task);
  task.name = "*fixed";
  writer_615::AddTask(&tree, "_Common_/1", task);
  task.name = "*FIXED";
  writer_615::AddTask(&tree, "_Common_/2", task);
  task.name = "r";
  writer_615::AddTask(&tree, "_Common_/_ReadOnly_/1", task);
  const std::string path = dir_.File("e.CNF");
  ASSERT_EQ(writer_615::WriteTree(path, tree), S_OK);
  const ReadWhole read = ReadWholeFile615(path);
  ASSERT_EQ(read.result, 0);
  ASSERT_EQ(read.config.areas.size(), 3u);

  StringSink sink;
  IniEmitter emitter("ENG", path, &sink);
  EXPECT_EQ(emitter.EmitArea(read.config.areas[0]), 0);
  EXPECT_EQ(emitter.EmitArea(read.config.areas[1]), kAreaFailed)
      << "two fixed names that the builder puts into one stream";
  EXPECT_EQ(emitter.EmitArea(read.config.areas[2]), 0);
  EXPECT_EQ(emitter.EmitMainSection(read.stored_password), 0);
  EXPECT_EQ(emitter.task_counter(), 4);
  using Key = IniEmitter::AreaKey;
  EXPECT_EQ(emitter.tasks_per_area(),
            (std::map<Key, uint32_t>{{Key(0, "D", "u"), 1},
                                     {Key(0x10, "", ""), 2},
                                     {Key(0x20, "", ""), 1}}));
  const std::string& text = sink.text;
  EXPECT_NE(text.find("[Task0]\r\n\r\nNameENG = p\r\nIsPrivate = 1"), std::string::npos);
  EXPECT_NE(text.find("[Task3]\r\n\r\nNameENG = r\r\n"), std::string::npos);
  const std::string main = "[MAIN]\r\nOutputENG = " + path +
                           "\r\nNumTasks = 4\r\nHexPassword = 0102FE\r\n";
  ASSERT_GE(text.size(), main.size());
  EXPECT_EQ(text.substr(text.size() - main.size()), main);
  EXPECT_EQ(text.substr(text.size() - main.size() - 4, 4), "\r\n\r\n")
      << "one empty line, the one that ends the last section, precedes [MAIN]";
}

// Two fixed names of one area that the engine takes for one stream name
// (its simple upper case, not ASCII only) fail the area.
TEST_F(EmitterFileTest, FixedNamesEqualInAnyLetterCaseFailTheArea) {
  const struct {
    const char* a;
    const char* b;
    bool one_stream;
  } cases[] = {
      {"*fixed", "*FIXED", true},        {"*caf\xE9", "*CAF\xC9", true},  // café CAFÉ
      {"*\x9A\xFF", "*\x8A\x9F", true},  // šÿ ŠŸ
      {"*caf\xE9", "*cafe", false},      {"*\xDF", "*SS", false},        // ß has no simple upper case
  };
  int n = 0;
  for (const auto& c : cases) {
    writer_615::Tree tree = writer_615::Skeleton(615, "pw");
    Task task;
    task.name = c.a;
    writer_615::AddTask(&tree, "_Common_/1", task);
    task.name = c.b;
    writer_615::AddTask(&tree, "_Common_/2", task);
    const std::string path = dir_.File("f" + std::to_string(n++) + ".CNF");
    ASSERT_EQ(writer_615::WriteTree(path, tree), S_OK);
    const ReadWhole read = ReadWholeFile615(path);
    ASSERT_EQ(read.config.areas.size(), 2u);
    StringSink sink;
    IniEmitter emitter("ENG", path, &sink);
    EXPECT_EQ(emitter.EmitArea(read.config.areas[0]), c.one_stream ? kAreaFailed : 0) << c.a;
  }
}

TEST_F(EmitterFileTest, PasswordOver129BytesIsWrittenButFails) {
  writer_615::Tree tree = writer_615::Skeleton(615, std::string(130, 'x'));
  const std::string path = dir_.File("p.CNF");
  ASSERT_EQ(writer_615::WriteTree(path, tree), S_OK);
  StringSink sink;
  IniEmitter emitter("ENG", path, &sink);
  EXPECT_EQ(emitter.EmitMainSection(ReadWholeFile615(path).stored_password), kAreaFailed);
  std::string hex;
  for (int i = 0; i < 130; ++i) hex += "78";
  EXPECT_NE(sink.text.find("HexPassword = " + hex + "\r\n"), std::string::npos)
      << "written in full";
}

TEST_F(EmitterFileTest, FileSinkWritesBytesAsGiven) {
  FileSink sink;
  const std::string path = dir_.File("out.ini");
  ASSERT_EQ(sink.Open(path), 0);
  sink.Write("a\r\n");
  sink.Write(std::string(100000, 'b'));
  EXPECT_EQ(sink.Close(), 0);
  EXPECT_EQ(testing_support::ReadWholeFile(path), "a\r\n" + std::string(100000, 'b'));
  EXPECT_NE(sink.Open(dir_.File("no/such/folder/x.ini")), 0);
}

}  // namespace
}  // namespace converter
