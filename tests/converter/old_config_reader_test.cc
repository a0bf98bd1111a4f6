// Tests of the version-615 reader: the task stream parser on hostile bytes,
// and the walk, listing and password reading on real files.

#include "converter/old_config_reader.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/converter/writer_615.h"
#include "tests/support/test_support.h"

namespace converter {
namespace {

using testing_support::FixturePath;
using testing_support::ReadWholeFile;
using testing_support::TempDir;
using testing_support::WriteWholeFile;
using writer_615::AddTask;
using writer_615::Skeleton;
using writer_615::Task;

int Parse(const std::string& bytes, OldTaskRecord* record, std::string* why = nullptr) {
  record->Clear();
  return ParseTaskStream(record, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                         why);
}

std::vector<std::string> Items(const CStringArray& list) {
  std::vector<std::string> items;
  list.ForEach([&](const CString& item) { items.push_back(item.text); });
  return items;
}

TEST(ParseTaskStreamTest, ReadsEveryFieldInStreamOrder) {
  Task task;
  task.component_flags = 0x43;
  task.task_flags = 0x40A11518;
  task.resident_flags = 0x47000;
  task.priority = -3;
  task.reserved[2] = 0xDEADBEEF;
  task.name = "Weekly";
  task.virus_found_msg = "two\r\nlines";
  task.chained_task = "next";
  task.types = {"A", "B"};
  task.type_flags = {0, 1};
  task.areas = {"C:\\DATA"};
  task.area_flags = {0x20};
  task.send_to = {"ADMIN", "OPS desk"};
  task.resident_exclude_files = {"X.EXE"};
  OldTaskRecord record;
  ASSERT_EQ(Parse(writer_615::StreamBytes(task), &record), 0);
  EXPECT_EQ(record.ComponentFlags, 0x43u);
  EXPECT_EQ(record.TaskFlags, 0x40A11518u);
  EXPECT_EQ(record.ResidentFlags, 0x47000u);
  EXPECT_EQ(record.Priority, -3);
  EXPECT_EQ(record.Reserved[2], 0xDEADBEEFu);
  EXPECT_STREQ(record.Name.text, "Weekly");
  EXPECT_STREQ(record.ReportFileName.text, "*");
  EXPECT_STREQ(record.VirusFoundMsg.text, "two\r\nlines");
  EXPECT_STREQ(record.ChainedTask.text, "next");
  EXPECT_EQ(Items(record.Types), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(record.TypeFlags.ItemAt(0), 0);
  EXPECT_EQ(record.TypeFlags.ItemAt(1), 1) << "the first flag byte belongs to the first item";
  EXPECT_EQ(Items(record.Areas), (std::vector<std::string>{"C:\\DATA"}));
  EXPECT_EQ(Items(record.SendTo), (std::vector<std::string>{"ADMIN", "OPS desk"}));
  EXPECT_EQ(Items(record.ResidentExcludeFiles), (std::vector<std::string>{"X.EXE"}));
}

TEST(ParseTaskStreamTest, SmallestStreamIs72Bytes) {
  Task empty;
  empty.report_file_name = "";
  empty.virus_found_msg = "";
  std::string bytes = writer_615::StreamBytes(empty);
  ASSERT_EQ(bytes.size(), 72u);
  OldTaskRecord record;
  EXPECT_EQ(Parse(bytes, &record), 0);
  EXPECT_TRUE(record.Name.Empty());
  EXPECT_EQ(record.Types.ItemCount(), 0u);
  empty.name = "x";
  EXPECT_EQ(writer_615::StreamBytes(empty).size(), 73u);
  // Bytes after the second byte list are not read.
  EXPECT_EQ(Parse(bytes + std::string(22, '\0'), &record), 0);
}

// Every way a stream can lie about its own size is refused, never read
// outside the bytes (the AddressSanitizer build checks that part).
TEST(ParseTaskStreamTest, RefusesMalformedStreams) {
  Task base;
  base.name = "n";
  base.types = {"T"};
  base.type_flags = {0};
  base.areas = {"P"};
  base.area_flags = {0};
  const std::string good = writer_615::StreamBytes(base);
  std::string huge_count = good;
  // The Types count sits after the header and the four texts.
  const size_t types_at = 32 + (4 + 1) + (4 + 1) + (4 + 19) + 4;
  huge_count[types_at] = '\xFF';
  huge_count[types_at + 1] = '\xFF';
  huge_count[types_at + 2] = '\xFF';
  huge_count[types_at + 3] = '\xFF';
  Task long_name = base;
  long_name.name = std::string(260, 'a');
  Task short_area_flags = base;
  short_area_flags.area_flags.clear();
  Task short_type_flags = base;
  short_type_flags.type_flags.clear();
  Task nul_name = base;
  nul_name.name = std::string("a\0b", 3);
  Task long_item = base;
  long_item.types = {std::string(260, 'i')};

  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"31 bytes of header", good.substr(0, 31)},
      {"header only", good.substr(0, 32)},
      {"length cut", good.substr(0, 34)},
      {"text cut", good.substr(0, 36)},
      {"list cut", good.substr(0, types_at + 6)},
      {"flags cut", good.substr(0, good.size() - 1)},
      {"count past the end", huge_count},
      {"name over 259", writer_615::StreamBytes(long_name)},
      {"item over 259", writer_615::StreamBytes(long_item)},
      {"AreaFlags shorter than Areas", writer_615::StreamBytes(short_area_flags)},
      {"TypeFlags shorter than Types", writer_615::StreamBytes(short_type_flags)},
      {"NUL inside a text", writer_615::StreamBytes(nul_name)},
  };
  OldTaskRecord record;
  ASSERT_EQ(Parse(good, &record), 0);
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(Parse(c.bytes, &record, &why), kStreamMalformed) << c.what;
    EXPECT_FALSE(why.empty()) << c.what;
  }
  Task longest = base;
  longest.name = std::string(259, 'a');
  EXPECT_EQ(Parse(writer_615::StreamBytes(longest), &record), 0) << "259 bytes fit";
}

TEST(ReadStringListTest, CountsItsOwnBytes) {
  std::string bytes;
  writer_615::PutLe32(&bytes, 0);
  CStringArray list;
  size_t used = 0;
  ASSERT_EQ(ReadStringList(&list, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                           &used, nullptr),
            0);
  EXPECT_EQ(used, 4u) << "an empty list takes its count only";
  bytes.clear();
  writer_615::PutLe32(&bytes, 2);
  writer_615::PutText(&bytes, "");
  writer_615::PutText(&bytes, "abc");
  ASSERT_EQ(ReadStringList(&list, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                           &used, nullptr),
            0);
  EXPECT_EQ(used, 4u + 4u + 7u);
  EXPECT_EQ(Items(list), (std::vector<std::string>{"", "abc"}));
}

class ReaderFileTest : public ::testing::Test {
 protected:
  // A writable copy of a fixture (the checked-in files are read-only).
  std::string CopyFixture(const std::string& name) {
    std::string path = dir_.File(name);
    WriteWholeFile(path, ReadWholeFile(FixturePath("615/" + name)));
    return path;
  }
  std::string Write(const writer_615::Tree& tree, const std::string& name = "t.CNF") {
    std::string path = dir_.File(name);
    EXPECT_EQ(writer_615::WriteTree(path, tree), S_OK);
    return path;
  }
  // "stream:name" for every task of an area.
  std::vector<std::string> List(RunSettings* settings, TaskArea area, int* result) {
    std::vector<std::string> seen;
    *result = ForEachTaskInArea(settings, area, [&](const OldTaskRecord& r, const std::string& s) {
      seen.push_back(s + ":" + r.Name.text);
      return 0;
    });
    return seen;
  }
  TempDir dir_;
};

TEST_F(ReaderFileTest, ListsEveryAreaOfAFileWrittenByWindows) {
  RunSettings settings;
  settings.config_path = CopyFixture("basic.CNF");
  int result = -1;
  EXPECT_EQ(List(&settings, TaskArea::kShared, &result),
            (std::vector<std::string>{"22:Weekly", "101:Daily scan"}));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(List(&settings, TaskArea::kReadOnly, &result),
            (std::vector<std::string>{"7:Locked policy"}));
  settings.current_domain = "VELOX";
  settings.current_user = "TORVI";
  EXPECT_EQ(List(&settings, TaskArea::kPrivate, &result), (std::vector<std::string>{"5:My task"}));
  EXPECT_TRUE(settings.hand_off);
  EXPECT_EQ(settings.version_found, 615);

  std::string password;
  EXPECT_EQ(ReadStoredPassword(settings, &password), 0);
  EXPECT_EQ(testing_support::Hex(password), "65e4cc8f7f8c31");
}

TEST_F(ReaderFileTest, WalksDomainsAndUsersInReverseOrder) {
  RunSettings settings;
  settings.config_path = CopyFixture("domains.CNF");
  std::vector<std::string> visited;
  EXPECT_EQ(WalkUserAreas(&settings, [&]() {
              visited.push_back(settings.current_domain + "/" + settings.current_user);
              return 0;
            }),
            0);
  EXPECT_EQ(visited, (std::vector<std::string>{"GAMMA/bob", "GAMMA/ann", "ALPHA/bob", "ALPHA/ann",
                                               "BETA/bob", "BETA/ann"}))
      << "enumerated shorter names first (BETA, ALPHA, GAMMA), visited in reverse; "
         "EMPTYDOMAIN has no user; _Common_ and _Zarin_ are no domains";
}

TEST_F(ReaderFileTest, WalkResultCombinesThePrivateAreas) {
  RunSettings settings;
  settings.config_path = CopyFixture("domains.CNF");
  int calls = 0;
  EXPECT_EQ(WalkUserAreas(&settings, [&]() { return ++calls == 3 ? kAreaFailed : 0; }),
            kAreaFailed);
  EXPECT_EQ(calls, 6) << "a failed user area does not stop the others";
}

TEST_F(ReaderFileTest, OtherVersionsClearHandOffAndListNothing) {
  struct Case {
    const char* what;
    std::string path;
  } cases[] = {
      {"616", CopyFixture("v616.CNF")},
      {"no _Version_", [&] {
         writer_615::Tree tree = Skeleton();
         tree.streams.erase(tree.streams.begin());
         AddTask(&tree, "_Common_/1", Task());
         return Write(tree, "noversion.CNF");
       }()},
      {"short _Version_", [&] {
         writer_615::Tree tree = Skeleton();
         tree.streams[0].second = std::string("\x67\x02", 2);
         AddTask(&tree, "_Common_/1", Task());
         return Write(tree, "short.CNF");
       }()},
  };
  for (const Case& c : cases) {
    RunSettings settings;
    settings.config_path = c.path;
    int result = -1;
    EXPECT_TRUE(List(&settings, TaskArea::kShared, &result).empty()) << c.what;
    EXPECT_EQ(result, 0) << c.what;
    EXPECT_FALSE(settings.hand_off) << c.what;
    settings.hand_off = true;
    int calls = 0;
    EXPECT_EQ(WalkUserAreas(&settings, [&]() { return ++calls; }), 0) << c.what;
    EXPECT_EQ(calls, 0) << c.what;
    EXPECT_FALSE(settings.hand_off) << c.what;
  }
}

// Each task comes from the stream that listed it: equal names, names that
// differ in case, empty names and "*" names are all carried.
TEST_F(ReaderFileTest, CarriesTasksWhateverTheirNames) {
  writer_615::Tree tree = Skeleton();
  const char* names[] = {"Same", "SAME", "", "", "*5", "Same"};
  for (int i = 0; i < 6; ++i) {
    Task task;
    task.name = names[i];
    task.priority = i;
    AddTask(&tree, "_Common_/" + std::to_string(i + 1), task);
  }
  RunSettings settings;
  settings.config_path = Write(tree);
  std::vector<int> priorities;
  EXPECT_EQ(ForEachTaskInArea(&settings, TaskArea::kShared,
                              [&](const OldTaskRecord& r, const std::string&) {
                                priorities.push_back(r.Priority);
                                return 0;
                              }),
            0);
  EXPECT_EQ(priorities, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(ReaderFileTest, MalformedOrMissingPartsFailTheArea) {
  writer_615::Tree tree = Skeleton();
  Task task;
  task.name = "good";
  AddTask(&tree, "_Common_/1", task);
  tree.streams.push_back({"_Common_/2", "short"});
  AddTask(&tree, "_Common_/_ReadOnly_/3", task);
  RunSettings settings;
  settings.config_path = Write(tree);
  int result = 0;
  EXPECT_EQ(List(&settings, TaskArea::kShared, &result), (std::vector<std::string>{"1:good"}));
  EXPECT_EQ(result, kAreaFailed) << "a malformed stream ends the area with 2";
  EXPECT_EQ(List(&settings, TaskArea::kReadOnly, &result).size(), 1u);
  EXPECT_EQ(result, 0);
  settings.current_domain = "NOWHERE";
  settings.current_user = "nobody";
  List(&settings, TaskArea::kPrivate, &result);
  EXPECT_EQ(result, kAreaFailed) << "a user area that the walk found must be there";
}

TEST_F(ReaderFileTest, AbsentCommonAreasHoldNoTask) {
  writer_615::Tree tree;
  tree.streams.push_back({"_Version_", testing_support::Le32(615)});
  RunSettings settings;
  settings.config_path = Write(tree);
  int result = -1;
  EXPECT_TRUE(List(&settings, TaskArea::kShared, &result).empty());
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(List(&settings, TaskArea::kReadOnly, &result).empty());
  EXPECT_EQ(result, 0);
}

TEST_F(ReaderFileTest, AFileThatCannotBeOpenedIsNeverEmpty) {
  RunSettings settings;
  settings.config_path = CopyFixture("basic.CNF");
  std::unique_ptr<platform::Storage> held;
  ASSERT_EQ(platform::OpenStorageFile(settings.config_path, platform::kStorageMode, &held), S_OK);
  int result = 0;
  List(&settings, TaskArea::kShared, &result);
  EXPECT_EQ(result, kAreaFailed);
  EXPECT_EQ(WalkUserAreas(&settings, [] { return 0; }), STG_E_SHAREVIOLATION);
  std::string password;
  EXPECT_EQ(ReadStoredPassword(settings, &password), STG_E_SHAREVIOLATION)
      << "a held file must not read as one without a password";
  held.reset();

  settings.config_path = dir_.File("missing.CNF");
  EXPECT_EQ(WalkUserAreas(&settings, [] { return 0; }), STG_E_FILENOTFOUND);
  EXPECT_EQ(ReadStoredPassword(settings, &password), 0);
  EXPECT_TRUE(password.empty());
}

TEST_F(ReaderFileTest, StoredPasswordCases) {
  struct Case {
    const char* what;
    std::string stream;  // "" for no cc012
    int result;
    std::string bytes;
  } cases[] = {
      {"none", "", 0, ""},
      {"length 0", testing_support::Le32(0), 0, ""},
      {"three bytes", testing_support::Le32(3) + "abc", 0, "abc"},
      {"old tail kept", testing_support::Le32(2) + "abcdef", 0, "ab"},
      {"length past the end", testing_support::Le32(9) + "abc", kAreaFailed, ""},
      {"long password", testing_support::Le32(300) + std::string(300, 'p'), 0,
       std::string(300, 'p')},
  };
  int n = 0;
  for (const Case& c : cases) {
    writer_615::Tree tree = Skeleton();
    if (!c.stream.empty()) tree.streams.push_back({"_Zarin_/cc012", c.stream});
    RunSettings settings;
    settings.config_path = Write(tree, "p" + std::to_string(n++) + ".CNF");
    std::string bytes = "junk";
    EXPECT_EQ(ReadStoredPassword(settings, &bytes), c.result) << c.what;
    EXPECT_EQ(bytes, c.bytes) << c.what;
  }
}

}  // namespace
}  // namespace converter
