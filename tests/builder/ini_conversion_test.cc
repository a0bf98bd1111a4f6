// Reading task sections, list splitting, area entries and message escapes;
// whole conversions of small INI files into a configuration file.

#include "builder/ini_conversion.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builder/config_layout.h"
#include "builder/task_storage.h"
#include "tests/support/test_support.h"

namespace builder {
namespace {

using testing_support::Hex;
using testing_support::Le32;
using testing_support::OlefileDump;
using testing_support::TempDir;
using testing_support::WriteWholeFile;
using Items = std::vector<std::string>;

std::string Text(const std::string& s) { return Le32(static_cast<uint32_t>(s.size())) + s; }

TEST(SplitListValueTest, Table) {
  struct Case {
    std::string value;
    Items items;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"a", {"a"}},
      {"a,b,c", {"a", "b", "c"}},
      {"a,", {"a"}},                      // a trailing comma adds nothing
      {"a,,b", {"a"}},                    // the first empty piece ends the items
      {",a", {}},
      {"  a,b", {"  a", "b"}},            // pieces count from the first character
      {"\"a,b\",c", {"\"a,b\"", "c"}},    // a quoted first item holds its comma
      {" \t\"a,b\"", {" \t\"a,b\""}},     // the quote behind white space opens
      // Every quote toggles: later quoted items keep their commas too.
      {"\"a\",\"b,c\",\"d\"", {"\"a\"", "\"b,c\"", "\"d\""}},
      {"x,\"y,z\"", {"x", "\"y,z\""}},
      {"a\"b,c", {"a\"b,c"}},             // an unclosed quote keeps the rest
      {"programs,documents", {"programs", "documents"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitListValue(c.value), c.items) << c.value;
}

TEST(AreaEntryFromItemTest, Markers) {
  struct Case {
    std::string item;
    bool ok;
    std::string entry;
  };
  const std::vector<Case> cases = {
      {"\"C:\\DATA\\\"S-", true, "C:\\DATA\\-+"},
      {"\"C:\\DATA\\\"-", true, "C:\\DATA\\--"},
      {"\"C:\\DATA\\\"+", true, "C:\\DATA\\+-"},
      {"\"C:\\DATA\\\"", true, "C:\\DATA\\++"},
      {"\"C:\\DATA\\\"s+", true, "C:\\DATA\\++"},  // S without '-' behind it
      {"\"C:\\DATA\\\"x-", true, "C:\\DATA\\++"},
      {"\"C:\\A.COM\"", true, "C:\\A.COM+_"},
      {"\"C:\\A.COM\"-", true, "C:\\A.COM-_"},     // '_' wins over the second '-'
      {"C:\\X\\\"S-", true, "C:\\X\\-+"},           // no leading quote
      {"\"\"", true, "+_"},
      {"\"C:\\DATA\\", false, ""},                   // no closing quote: ignored
      {"C:\\DATA", false, ""},
      {std::string(257, 'p') + "\"", true, std::string(257, 'p') + "+_"},
      {std::string(258, 'p') + "\"", false, ""},     // 260 characters would not fit
  };
  for (const Case& c : cases) {
    std::string entry;
    EXPECT_EQ(AreaEntryFromItem(c.item, &entry), c.ok) << c.item;
    if (c.ok) {
      EXPECT_EQ(entry, c.entry) << c.item;
    }
  }
}

TEST(UnescapeMessageTest, Table) {
  struct Case {
    std::string value;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"Virus was found !!!", "Virus was found !!!"},
      {"line one\\nline two", "line one\r\nline two"},
      {"a\\\\b", "a\\b"},
      {"a\\tb", "ab"},  // any other escaped character goes with its backslash
      {"end\\", "end"},
      {"\\\\\\n", "\\\r\n"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(UnescapeMessage(c.value), c.message) << c.value;
}

class ReadTaskSectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DomainName.clear();
    UserName.clear();
  }
  TaskRecord Read(const std::string& body, const std::string& language = "ENG") {
    auto ini = platform::ProfileFile::FromText("[Task0]\r\n" + body);
    TaskRecord record;
    ReadTaskSection(*ini, "Task0", language, &record);
    return record;
  }
};

TEST_F(ReadTaskSectionTest, EmptySectionGivesTheDefaults) {
  TaskRecord r = Read("");
  EXPECT_EQ(r.ComponentFlags, 0x01u);
  EXPECT_EQ(r.TaskFlags, 0x90A11418u);
  EXPECT_EQ(r.ResidentFlags, 0u);
  EXPECT_EQ(r.Priority, 0);
  EXPECT_EQ(r.Name, "(not specified)");
  EXPECT_EQ(r.ReportFileName, "*");
  EXPECT_EQ(r.VirusFoundMsg, "Virus was found !!!");
  EXPECT_EQ(r.ChainedTask, "");
  EXPECT_TRUE(r.Types.empty() && r.Areas.empty() && r.SendTo.empty() &&
              r.ResidentExcludeFiles.empty());
  EXPECT_EQ(SerializedSize(r) + kTaskStreamTrailerSize, 121u);
  EXPECT_TRUE(DomainName.empty());
}

TEST_F(ReadTaskSectionTest, FlagWords) {
  struct Case {
    const char* what;
    std::string body;
    uint32_t component, task, resident;
  };
  const uint32_t kDefault = 0x90A11418;
  const std::vector<Case> cases = {
      {"read-only wins over shared", "IsShared=1\r\nIsReadOnly=1\r\n", 0x01,
       (kDefault & ~0x10u) | 0x20, 0},
      {"neither shared nor read-only", "IsShared=0\r\n", 0x01, kDefault & ~0x10u, 0},
      {"switches other than 1 are off", "IsShared=yes\r\nScanMemory=0\r\nCreateReport=\r\n", 0x01,
       kDefault & ~(0x10u | 0x80000000u | 0x10000u), 0},
      {"no module reads neither Areas nor Types",
       "UseVirusScanner=0\r\nAreas=all\r\nTypes=all\r\n", 0, 0x10 | 0x10000, 0},
      {"behaviour blocker alone reads Types, not Areas",
       "UseVirusScanner=0\r\nUseBehaviourBlocker=1\r\nAreas=all\r\nTypes=programs\r\n", 0x10,
       0x10 | 0x10000 | 0x200000, 0x03},
      {"simple integrity checker reads Areas, not Types",
       "UseVirusScanner=0\r\nUseSimpleIntegrityChecker=1\r\nNoContents=1\r\n", 0x04,
       0x10 | 0x10000 | 0x4000 | 0x8000 | 0x800000, 0},
      {"VirusNotification first in any case", "VirusNotification=FiRsT\r\n", 0x01,
       (kDefault & ~0x10000000u) | 0x20000000, 0},
      {"VirusNotification None", "VirusNotification=None\r\n", 0x01,
       (kDefault & ~0x10000000u) | 0x40000000, 0},
      {"resident program, nosyslib", "UseResidentProg=1\r\nResidentScan=NOSYSLIB\r\n"
       "CheckDocs=0\r\n", 0x41, kDefault, 0x1000 | 0x2000 | 0x20000},
      {"resident program, other scan word", "UseResidentProg=1\r\nResidentScan=x\r\n", 0x41,
       kDefault, 0x7000 | 0x40000},
      {"every plain task switch", "StartWithOS=1\r\nStartWithTorvi=1\r\nExitWithLast=1\r\n"
       "NotifyExternal=1\r\nNoVirusFoundMsg=1\r\nTestFileFull=1\r\nCreateNewReportFile=1\r\n"
       "UseResidentBoot=1\r\nUseIntegrityChecker=1\r\nContentsOnChange=1\r\nIgnoreArchive=0\r\n",
       0x23, kDefault | 0x80000 | 0x40000 | 0x40 | 0x80 | 0x04 | 0x800 | 0x20000 | 0x200, 0},
      {"Types all and a mask", "Types=all,*.xyz\r\n", 0x01, (kDefault & ~(0x200000u | 0x08u)) |
       0x100000, 0},
      {"Types programs alone", "Types=programs\r\n", 0x01, kDefault & ~0x08u, 0},
      {"Areas keywords in any case", "Areas=REMOTE,DisketteA,removable,interactive,all\r\n",
       0x01, (kDefault & ~0x800000u) | 0x2000000 | 0x400000 | 0x1000000 | 0x8000000 | 0x4000000,
       0},
  };
  for (const Case& c : cases) {
    TaskRecord r = Read(c.body);
    EXPECT_EQ(r.ComponentFlags, c.component) << c.what;
    EXPECT_EQ(r.TaskFlags, c.task) << std::hex << r.TaskFlags << " " << c.what;
    EXPECT_EQ(r.ResidentFlags, c.resident) << c.what;
  }
}

TEST_F(ReadTaskSectionTest, TextsListsAndLanguageKeys) {
  TaskRecord r = Read(
      "NameENG=*Fixed\r\nNameDEU=Deutsch\r\nName=plain\r\n"
      "VirusFoundMsgENG=Found:\\nstop\r\nChainedTaskENG=next\r\nReportFileNameENG=C:\\r.txt\r\n"
      "Priority=-3\r\nNetAlert=1\r\nSendTo=\"ADMIN\",\"ops, night\"\r\n"
      "ResidentExcludeFiles=\"C:\\A.EXE\",\"C:\\B.EXE\"\r\n"
      "Areas=\"C:\\DATA\\\"S-,local,\"D:\\X.COM\"\r\nTypes=*.doc,*.xls\r\n");
  EXPECT_EQ(r.Name, "*Fixed");
  EXPECT_EQ(r.VirusFoundMsg, "Found:\r\nstop");
  EXPECT_EQ(r.ChainedTask, "next");
  EXPECT_EQ(r.ReportFileName, "C:\\r.txt");
  EXPECT_EQ(r.Priority, -3);
  // Each list holds its items in the reverse order of the value.
  EXPECT_EQ(r.SendTo, (TaskList{"ops, night", "ADMIN"}));
  EXPECT_EQ(r.ResidentExcludeFiles, (TaskList{"C:\\B.EXE", "C:\\A.EXE"}));
  EXPECT_EQ(r.Areas, (TaskList{"D:\\X.COM+_", "C:\\DATA\\-+"}));
  EXPECT_EQ(r.Types, (TaskList{"*.xls", "*.doc"}));
  EXPECT_TRUE(r.TaskFlags & AreasLocal);
  EXPECT_FALSE(r.TaskFlags & (TypesPrograms | TypesDocuments));

  EXPECT_EQ(Read("NameDEU=Deutsch\r\n", "DEU").Name, "Deutsch");
  EXPECT_EQ(Read("Name=plain\r\nNameENG=english\r\n", "").Name, "plain");
  // SendTo is read only with NetAlert on.
  EXPECT_TRUE(Read("SendTo=ADMIN\r\n").SendTo.empty());
}

TEST_F(ReadTaskSectionTest, PrivateTaskSetsDomainAndUserForLaterTasks) {
  TaskRecord r = Read("IsPrivate=1\r\nIsShared=1\r\n");
  EXPECT_EQ(r.TaskFlags & (IsShared | IsReadOnly), 0u);
  EXPECT_EQ(DomainName, "VELOX");
  EXPECT_EQ(UserName, "TORVI");
  Read("IsPrivate=1\r\nDomain=OFFICE\r\nUser=anna\r\n");
  EXPECT_EQ(DomainName, "OFFICE");
  EXPECT_EQ(UserName, "anna");
  Read("IsShared=0\r\n");  // a later shared-off task keeps them
  EXPECT_EQ(DomainName, "OFFICE");
}


class ConvertIniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DomainName.clear();
    UserName.clear();
    ResetStreamNameGenerator();
  }
  void TearDown() override {
    DomainName.clear();
    UserName.clear();
  }
  // Converts `text` for the given languages (head first) and returns the
  // configuration file's dump.
  std::string Convert(const std::string& text, const std::string& output = "out.CNF",
                      const LanguageList& languages = {"ENG"}) {
    std::string ini = dir_.File("in.ini");
    WriteWholeFile(ini, text);
    EXPECT_EQ(ConvertIniFile(ini, languages), 0);
    return OlefileDump(dir_.File(output));
  }
  // The number of dump lines that begin with `prefix`.
  static std::string Count(const std::string& dump, const std::string& prefix) {
    std::string lines = "\n" + dump;
    size_t n = 0;
    for (size_t at = lines.find("\n" + prefix); at != std::string::npos;
         at = lines.find("\n" + prefix, at + 1)) {
      ++n;
    }
    return std::to_string(n);
  }
  TempDir dir_;
};

TEST_F(ConvertIniFileTest, MissingSectionsGiveDefaultTasks) {
  std::string dump = Convert("[MAIN]\r\nOutputENG=" + dir_.File("out.CNF") +
                             "\r\nNumTasks=3\r\n[Task0]\r\nNameENG=zero\r\n"
                             "[Task2]\r\nNameENG=two\r\n");
  // 2852926, 11374 (every default: 121 bytes), 68962.
  EXPECT_NE(dump.find("F _Common_/11374 121 "), std::string::npos) << dump;
  EXPECT_NE(dump.find(Hex(Text("zero"))), std::string::npos);
  EXPECT_NE(dump.find("F _Common_/68962 "), std::string::npos);
  EXPECT_EQ(Count(dump, "F _Common_/"), "3");
}

TEST_F(ConvertIniFileTest, CountsAreBoundedByTheFileSize) {
  std::string text = "[MAIN]\r\nOutputENG=" + dir_.File("out.CNF") + "\r\nNumTasks=2000000000\r\n";
  std::string dump = Convert(text);
  EXPECT_EQ(Count(dump, "F _Common_/"), std::to_string(text.size()));
}

TEST_F(ConvertIniFileTest, TwoLanguagesTwoFiles) {
  LanguageList languages = {"DEU", "ENG"};  // head first: DEU is converted first
  std::string text = "[MAIN]\r\nOutputENG=" + dir_.File("eng.CNF") + "\r\nOutputDEU=" +
                     dir_.File("deu.CNF") + "\r\nNumTasks=1\r\n[Task0]\r\nNameDEU=Tag\r\n";
  std::string deu = Convert(text, "deu.CNF", languages);
  EXPECT_NE(deu.find("F _Common_/2852926 "), std::string::npos) << deu;
  EXPECT_NE(deu.find(Hex(Text("Tag"))), std::string::npos);
  std::string eng = OlefileDump(dir_.File("eng.CNF"));
  EXPECT_NE(eng.find("F _Common_/11374 "), std::string::npos) << eng;
  EXPECT_NE(eng.find(Hex(Text("(not specified)"))), std::string::npos);
}

}  // namespace
}  // namespace builder
