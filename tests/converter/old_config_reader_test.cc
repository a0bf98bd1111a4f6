// Tests of the version-615 reader: the task stream parser on hostile bytes,
// and the walk, listing and password reading on real files.

#include "converter/old_config_reader.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "builder/config_layout.h"
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
  // Opens the file and reads its version and areas; *result gets
  // ReadTaskAreas' result (the open must succeed).
  StoredConfiguration Read(const std::string& path, int* result, FileVersion* version = nullptr) {
    StoredConfiguration config;
    std::unique_ptr<platform::Storage> root;
    EXPECT_EQ(OpenConfiguration(path, false, &root), S_OK) << path;
    if (!root) return config;
    FileVersion found;
    EXPECT_EQ(ReadVersion(root.get(), path, &found), S_OK);
    if (version) *version = found;
    *result = ReadTaskAreas(root.get(), path, kOldVersion, &config);
    return config;
  }
  // "stream:name" for every task of the area of that place ("_Common_",
  // "_Common_/_ReadOnly_", "domain/user").
  static std::vector<std::string> List(const StoredConfiguration& config, const std::string& place) {
    std::vector<std::string> seen;
    for (const StoredArea& area : config.areas) {
      if (builder::AreaPlace(static_cast<uint32_t>(area.area), area.domain, area.user) != place) {
        continue;
      }
      for (const StoredTask& task : area.tasks) seen.push_back(task.stream + ":" + task.name);
    }
    return seen;
  }
  static std::vector<std::string> Places(const StoredConfiguration& config) {
    std::vector<std::string> places;
    for (const StoredArea& area : config.areas) {
      places.push_back(builder::AreaPlace(static_cast<uint32_t>(area.area), area.domain, area.user));
    }
    return places;
  }
  TempDir dir_;
};

TEST_F(ReaderFileTest, ListsEveryAreaOfAFileWrittenByWindows) {
  const std::string path = CopyFixture("basic.CNF");
  int result = -1;
  FileVersion version;
  StoredConfiguration config = Read(path, &result, &version);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(version.kind, VersionKind::kOld);
  EXPECT_EQ(version.number, 615u);
  EXPECT_EQ(Places(config),
            (std::vector<std::string>{"VELOX/TORVI", "_Common_", "_Common_/_ReadOnly_"}));
  EXPECT_EQ(List(config, "_Common_"), (std::vector<std::string>{"22:Weekly", "101:Daily scan"}));
  EXPECT_EQ(List(config, "_Common_/_ReadOnly_"), (std::vector<std::string>{"7:Locked policy"}));
  EXPECT_EQ(List(config, "VELOX/TORVI"), (std::vector<std::string>{"5:My task"}));

  std::unique_ptr<platform::Storage> root;
  ASSERT_EQ(OpenConfiguration(path, false, &root), S_OK);
  std::string password;
  EXPECT_EQ(ReadStoredPassword(root.get(), path, &password), 0);
  EXPECT_EQ(testing_support::Hex(password), "65e4cc8f7f8c31");
}

TEST_F(ReaderFileTest, WalksDomainsAndUsersInReverseOrder) {
  int result = -1;
  StoredConfiguration config = Read(CopyFixture("domains.CNF"), &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Places(config),
            (std::vector<std::string>{"GAMMA/bob", "GAMMA/ann", "ALPHA/bob", "ALPHA/ann",
                                      "BETA/bob", "BETA/ann", "_Common_", "_Common_/_ReadOnly_"}))
      << "enumerated shorter names first (BETA, ALPHA, GAMMA), visited in reverse; "
         "EMPTYDOMAIN has no user; _Common_ and _Zarin_ are no domains";
  EXPECT_EQ(List(config, "ALPHA/bob"), (std::vector<std::string>{"1:ALPHA-bob"}));
  std::vector<std::string> domains;
  for (const DomainStorage& d : config.domains) domains.push_back(d.name + ":" + std::to_string(d.users.size()));
  EXPECT_EQ(domains, (std::vector<std::string>{"BETA:2", "ALPHA:2", "GAMMA:2", "EMPTYDOMAIN:0"}))
      << "every domain storage, in enumeration order, also one without a user";
}

TEST_F(ReaderFileTest, OtherVersionsAreTold) {
  struct Case {
    const char* what;
    std::string path;
    VersionKind kind;
    uint32_t number;
  } cases[] = {
      {"616", CopyFixture("v616.CNF"), VersionKind::kOther, 616},
      {"no _Version_", [&] {
         writer_615::Tree tree = Skeleton();
         tree.streams.erase(tree.streams.begin());
         AddTask(&tree, "_Common_/1", Task());
         return Write(tree, "noversion.CNF");
       }(), VersionKind::kNone, 0},
      {"short _Version_", [&] {
         writer_615::Tree tree = Skeleton();
         tree.streams[0].second = std::string("\x67\x02", 2);
         AddTask(&tree, "_Common_/1", Task());
         return Write(tree, "short.CNF");
       }(), VersionKind::kNone, 0},
  };
  for (const Case& c : cases) {
    std::unique_ptr<platform::Storage> root;
    ASSERT_EQ(OpenConfiguration(c.path, false, &root), S_OK) << c.what;
    FileVersion version;
    version.number = 1;
    EXPECT_EQ(ReadVersion(root.get(), c.path, &version), S_OK) << c.what;
    EXPECT_EQ(version.kind, c.kind) << c.what;
    EXPECT_EQ(version.number, c.number) << c.what;
  }
  // A version stream that cannot be read is no missing one: the reading
  // fails, and says so.
  const std::string path = Write(Skeleton(), "unreadable.CNF");
  std::string file = ReadWholeFile(path);
  const std::string name("_\0V\0e\0r\0s\0i\0o\0n\0_\0\0\0", 20);
  const size_t entry = file.find(name);
  ASSERT_NE(entry, std::string::npos);
  file.replace(entry + 0x74, 4, std::string("\xF0\xFF\xFF\x00", 4));  // its first sector
  WriteWholeFile(path, file);
  std::unique_ptr<platform::Storage> root;
  ASSERT_EQ(OpenConfiguration(path, false, &root), S_OK);
  FileVersion version;
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadVersion(root.get(), path, &version), STG_E_DOCFILECORRUPT);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(": cannot read _Version_ of " + path + ": 0x80030109 (STG_E_DOCFILECORRUPT: "
                      "the compound file is damaged); restore it from a copy; cfbtool check "
                      "FILE lists the damage\n"),
            std::string::npos)
      << said;
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
  int result = -1;
  StoredConfiguration config = Read(Write(tree), &result);
  EXPECT_EQ(result, 0);
  std::vector<int> priorities;
  for (const StoredArea& area : config.areas) {
    for (const StoredTask& task : area.tasks) {
      OldTaskRecord record;
      builder::TaskRecord unused;
      ASSERT_TRUE(ParseStoredTask(task, &record, &unused));
      priorities.push_back(record.Priority);
    }
  }
  EXPECT_EQ(priorities, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(ReaderFileTest, MalformedOrMissingPartsFailTheArea) {
  writer_615::Tree tree = Skeleton();
  Task task;
  task.name = "good";
  AddTask(&tree, "_Common_/1", task);
  tree.streams.push_back({"_Common_/2", "short"});
  AddTask(&tree, "_Common_/_ReadOnly_/3", task);
  int result = 0;
  StoredConfiguration config = Read(Write(tree), &result);
  EXPECT_EQ(List(config, "_Common_"), (std::vector<std::string>{"1:good"}));
  EXPECT_EQ(result, kAreaFailed) << "a malformed stream ends the reading with 2";
  EXPECT_EQ(List(config, "_Common_/_ReadOnly_").size(), 1u) << "the other areas are read";
}

// A domain or user storage whose name has no form in the ANSI code page
// cannot be named in the INI text: it is said and not carried, and the
// reading ends with 2.
TEST_F(ReaderFileTest, StoragesNamedOutsideTheAnsiCodePageAreSaidAndLeftOut) {
  writer_615::Tree tree = Skeleton();
  tree.storages.push_back("ALPHA");
  const std::string path = Write(tree);
  {
    std::unique_ptr<platform::Storage> root, domain, made;
    ASSERT_EQ(platform::OpenStorageFile(path, platform::kStorageMode, &root), S_OK);
    ASSERT_EQ(root->CreateStorage(u"\u0416uk", platform::kStorageMode, &made), S_OK);
    made.reset();
    ASSERT_EQ(root->OpenStorage(u"ALPHA", platform::kStorageMode, &domain), S_OK);
    ASSERT_EQ(domain->CreateStorage(u"\u03A9", platform::kStorageMode, &made), S_OK);
  }
  int result = 0;
  testing::internal::CaptureStderr();
  StoredConfiguration config = Read(path, &result);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, kAreaFailed);
  ASSERT_EQ(config.domains.size(), 1u);
  EXPECT_EQ(config.domains[0].name, "ALPHA");
  EXPECT_TRUE(config.domains[0].users.empty());
  for (const std::string& line :
       {"domain ?uk of " + path + ": its name cannot be written in the ANSI code page\n",
        "user ALPHA/? of " + path + ": its name cannot be written in the ANSI code page\n"}) {
    EXPECT_NE(said.find(line), std::string::npos) << said;
  }
}

// A storage whose tree is damaged cannot be listed: that is said with the
// storage's place and the damage, and every other area is still read.
TEST_F(ReaderFileTest, AStorageThatCannotBeListedIsSaid) {
  writer_615::Tree tree = Skeleton();
  tree.storages.push_back("ALPHA");
  tree.storages.push_back("ALPHA/ann");
  AddTask(&tree, "_Common_/1", Task());
  AddTask(&tree, "_Common_/_ReadOnly_/2", Task());
  AddTask(&tree, "ALPHA/ann/3", Task());
  const std::string damage =
      "0x80030109 (STG_E_DOCFILECORRUPT: the compound file is damaged); restore it from a copy; "
      "cfbtool check FILE lists the damage\n";
  const size_t kLeft = 0x44, kChild = 0x4C;
  const struct {
    const char* storage;  // one of whose links goes past the directory
    size_t link;
    const char* says;     // before " of FILE: " and the damage
    size_t tasks;         // read all the same
  } cases[] = {
      {"_ReadOnly_", kChild, "cannot list the task area _Common_/_ReadOnly_", 2},
      {"ALPHA", kChild, "cannot list the users of domain ALPHA", 2},
      // _Common_'s own listing fails as well.
      {"_Common_", kChild, "cannot open the task area _Common_/_ReadOnly_", 1},
      {"ALPHA", kLeft, "cannot list the domains", 2},
  };
  for (const auto& c : cases) {
    const std::string path = Write(tree, c.storage + std::to_string(c.link) + ".CNF");
    std::string file = ReadWholeFile(path);
    std::string name;
    for (const char* p = c.storage; *p != '\0'; ++p) name += std::string(1, *p) + '\0';
    const size_t entry = file.find(name + std::string(2, '\0'));
    ASSERT_NE(entry, std::string::npos) << c.storage;
    file.replace(entry + c.link, 4, std::string("\xF0\xFF\xFF\x00", 4));
    WriteWholeFile(path, file);
    int result = 0;
    testing::internal::CaptureStderr();
    StoredConfiguration config = Read(path, &result);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, kAreaFailed) << c.storage;
    size_t tasks = 0;
    for (const StoredArea& area : config.areas) tasks += area.tasks.size();
    EXPECT_EQ(tasks, c.tasks) << c.storage;
    EXPECT_NE(said.find(std::string(c.says) + " of " + path + ": " + damage), std::string::npos)
        << said;
  }
}

TEST_F(ReaderFileTest, AbsentCommonAreasHoldNoTask) {
  writer_615::Tree tree;
  tree.streams.push_back({"_Version_", testing_support::Le32(615)});
  int result = -1;
  StoredConfiguration config = Read(Write(tree), &result);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(List(config, "_Common_").empty());
  EXPECT_TRUE(List(config, "_Common_/_ReadOnly_").empty());
}

TEST_F(ReaderFileTest, AFileThatCannotBeOpenedIsNeverEmpty) {
  const std::string path = CopyFixture("basic.CNF");
  std::unique_ptr<platform::Storage> held;
  ASSERT_EQ(platform::OpenStorageFile(path, platform::kStorageMode, &held), S_OK);
  std::unique_ptr<platform::Storage> root;
  EXPECT_EQ(OpenConfiguration(path, false, &root), STG_E_SHAREVIOLATION)
      << "a held file must not read as one without tasks or password";
  EXPECT_FALSE(root);
  held.reset();
  EXPECT_EQ(OpenConfiguration(dir_.File("missing.CNF"), false, &root), STG_E_FILENOTFOUND);
}

TEST_F(ReaderFileTest, StoredPasswordCases) {
  struct Case {
    const char* what;
    std::string stream;  // "" for no cc012
    int result;
    std::string bytes;
    std::string says = "";  // the line said, FILE standing for the path; "" for none
  } cases[] = {
      {"none", "", 0, ""},
      {"length 0", testing_support::Le32(0), 0, ""},
      {"three bytes", testing_support::Le32(3) + "abc", 0, "abc"},
      {"old tail kept", testing_support::Le32(2) + "abcdef", 0, "ab"},
      {"length past the end", testing_support::Le32(9) + "abc", kAreaFailed, "",
       "the stored password of FILE is malformed: its length runs past the end of "
       "_Zarin_/cc012"},
      {"count cut short", "ab", kAreaFailed, "", "cannot read the stored password of FILE"},
      {"long password", testing_support::Le32(300) + std::string(300, 'p'), 0,
       std::string(300, 'p')},
  };
  int n = 0;
  for (const Case& c : cases) {
    writer_615::Tree tree = Skeleton();
    if (!c.stream.empty()) tree.streams.push_back({"_Zarin_/cc012", c.stream});
    const std::string path = Write(tree, "p" + std::to_string(n++) + ".CNF");
    std::unique_ptr<platform::Storage> root;
    ASSERT_EQ(OpenConfiguration(path, false, &root), S_OK);
    std::string bytes = "junk";
    testing::internal::CaptureStderr();
    EXPECT_EQ(ReadStoredPassword(root.get(), path, &bytes), c.result) << c.what;
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(bytes, c.bytes) << c.what;
    if (c.says.empty()) {
      EXPECT_EQ(said, "") << c.what;
    } else {
      std::string says = c.says;
      says = ": " + says.replace(says.find("FILE"), 4, path) + "\n";
      EXPECT_EQ(said.substr(said.size() - std::min(said.size(), says.size())), says) << c.what;
    }
  }
}

}  // namespace
}  // namespace converter
