// Task areas, writing, finding and deleting task streams, on real files
// read back by olefile.

#include "builder/task_storage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "builder/config_layout.h"
#include "platform/text.h"
#include "tests/support/test_support.h"

namespace builder {
namespace {

using platform::AnsiToWide;
using platform::kStorageMode;
using testing_support::Hex;
using testing_support::Le32;
using testing_support::OlefileDump;
using testing_support::PathExists;
using testing_support::TempDir;

std::string Text(const std::string& s) { return Le32(static_cast<uint32_t>(s.size())) + s; }

// The stream form of a task with the given flags and name and nothing else,
// without the trailing zeros.
std::string TaskBytes(uint32_t task_flags, const std::string& name) {
  return Le32(1) + Le32(task_flags) + std::string(24, '\0') + Text(name) + std::string(28, '\0');
}

// The "F path size hex" line of a dump, or "" when the stream is missing.
std::string StreamLine(const std::string& dump, const std::string& path) {
  std::string prefix = "F " + path + " ";
  size_t at = dump.find(prefix);
  if (at == std::string::npos || (at != 0 && dump[at - 1] != '\n')) return "";
  return dump.substr(at, dump.find('\n', at) - at);
}

bool HasLine(const std::string& dump, const std::string& line) {
  return ("\n" + dump).find("\n" + line + "\n") != std::string::npos;
}

// Writes raw streams into a file: path "A/B/name" creates storages A, B.
void PutStream(const std::string& file, const std::string& path, const std::string& bytes) {
  std::unique_ptr<platform::Storage> root;
  if (FAILED(platform::OpenStorageFile(file, kStorageMode, &root))) {
    ASSERT_EQ(platform::CreateStorageFile(file, kStorageMode, &root), S_OK);
  }
  std::vector<std::unique_ptr<platform::Storage>> chain;
  platform::Storage* at = root.get();
  size_t start = 0;
  for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
    std::u16string name = AnsiToWide(path.substr(start, slash - start));
    std::unique_ptr<platform::Storage> next;
    if (FAILED(at->OpenStorage(name, kStorageMode, &next))) {
      ASSERT_EQ(at->CreateStorage(name, kStorageMode, &next), S_OK);
    }
    at = next.get();
    chain.push_back(std::move(next));
  }
  std::unique_ptr<platform::Stream> stream;
  std::u16string name = AnsiToWide(path.substr(start));
  if (FAILED(at->OpenStream(name, kStorageMode, &stream))) {
    ASSERT_EQ(at->CreateStream(name, kStorageMode, &stream), S_OK);
  }
  uint32_t written = 0;
  ASSERT_EQ(stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written), S_OK);
  stream.reset();
  while (!chain.empty()) chain.pop_back();
}

class TaskStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConfigPath = dir_.File("TORVI32.CNF");
    DomainName = "VELOX";
    UserName = "TORVI";
    ResetStreamNameGenerator();
  }
  void TearDown() override {
    DomainName.clear();
    UserName.clear();
  }
  TaskRecord Task(uint32_t flags, const std::string& name) {
    TaskRecord r;
    r.ComponentFlags = 1;
    r.TaskFlags = flags;
    r.Name = name;
    return r;
  }
  std::string Dump() { return OlefileDump(ConfigPath); }

  TempDir dir_;
};

TEST(MulDivTest, RoundsAndRefusesZero) {
  struct Case {
    int32_t a, b, c, result;
  };
  const Case cases[] = {
      {6334, 18467, 41, 2852926}, {7, 3, 2, 11},  {5, 1, 2, 3},  {4, 1, 3, 1},
      {5, 1, 0, -1},              {-5, 1, 2, -3}, {5, -1, -2, 3}, {0, 7, 3, 0},
      {INT32_MAX, 2, 1, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(MulDiv(c.a, c.b, c.c), c.result) << c.a << c.b << c.c;
}

TEST(StreamNameGeneratorTest, FirstCandidatesOfAFreshProcess) {
  ResetStreamNameGenerator();
  EXPECT_EQ(NextStreamNameCandidate(), 2852926u);
  EXPECT_EQ(NextStreamNameCandidate(), 11374u);
  EXPECT_EQ(NextStreamNameCandidate(), 68962u);
}

TEST_F(TaskStorageTest, GeneratedNamesInAFreshFile) {
  for (const char* expected : {"2852926", "11374", "68962"}) {
    TaskRecord r = Task(IsShared, "T");
    ASSERT_TRUE(WriteTask(&r));
    EXPECT_EQ(r.StreamName, expected);
  }
  std::string dump = Dump();
  std::string stream = Hex(TaskBytes(IsShared, "T") + std::string(22, '\0'));
  // 32 + 4 + 1 + 7 * 4 + 22 = 87 bytes, the last 22 zero.
  EXPECT_EQ(StreamLine(dump, "_Common_/11374"), "F _Common_/11374 87 " + stream);
  EXPECT_TRUE(HasLine(dump, "F _Version_ 4 68020000")) << dump;
}

TEST_F(TaskStorageTest, TakenGeneratedNameIsSkippedAndKept) {
  PutStream(ConfigPath, "_Version_", Le32(616));
  PutStream(ConfigPath, "_Common_/2852926", "taken");
  TaskRecord r = Task(IsShared, "T");
  ASSERT_TRUE(WriteTask(&r));
  EXPECT_EQ(r.StreamName, "11374");
  EXPECT_EQ(StreamLine(Dump(), "_Common_/2852926"), "F _Common_/2852926 5 " + Hex("taken"));
}

TEST_F(TaskStorageTest, FixedNames) {
  TaskRecord r = Task(IsShared | IsReadOnly, "*Fixed");
  ASSERT_TRUE(WriteTask(&r));
  EXPECT_EQ(r.StreamName, "Fixed");
  TaskRecord again = Task(IsShared | IsReadOnly, "*Fixed");
  HRESULT hr = S_OK;
  EXPECT_FALSE(WriteTask(&again, &hr));
  EXPECT_EQ(hr, STG_E_FILEALREADYEXISTS);

  TaskRecord longest = Task(IsShared, "*" + std::string(31, 'n'));
  EXPECT_TRUE(WriteTask(&longest));
  TaskRecord too_long = Task(IsShared, "*" + std::string(32, 'n'));
  EXPECT_FALSE(WriteTask(&too_long));
  // The read-only area is "_ReadOnly_" inside "_Common_".
  EXPECT_NE(StreamLine(Dump(), "_Common_/_ReadOnly_/Fixed"), "");
}

TEST_F(TaskStorageTest, OverwriteKeepsTheLongerOldStream) {
  TaskRecord r = Task(IsShared, "a long name that makes a long stream");
  ASSERT_TRUE(WriteTask(&r));
  std::string stream_name = r.StreamName;
  TaskRecord shorter = Task(IsShared, "short");
  shorter.StreamName = stream_name;
  ASSERT_TRUE(WriteTask(&shorter));
  std::string expected = TaskBytes(IsShared, "short") + std::string(22, '\0');
  std::string old = TaskBytes(IsShared, "a long name that makes a long stream") +
                    std::string(22, '\0');
  expected += old.substr(expected.size());
  EXPECT_EQ(StreamLine(Dump(), "_Common_/" + stream_name),
            "F _Common_/" + stream_name + " " + std::to_string(old.size()) + " " + Hex(expected));
  // A known name that is missing is created.
  TaskRecord known = Task(IsShared, "k");
  known.StreamName = "Known";
  EXPECT_TRUE(WriteTask(&known));
}

TEST_F(TaskStorageTest, AreasAndTheirCreation) {
  TaskRecord priv = Task(0, "private");
  ASSERT_TRUE(WriteTask(&priv));
  DomainName = "OFFICE";
  UserName = "anna";
  TaskRecord other = Task(0, "other");
  ASSERT_TRUE(WriteTask(&other));
  std::string dump = Dump();
  EXPECT_TRUE(HasLine(dump, "S VELOX/TORVI")) << dump;
  EXPECT_NE(StreamLine(dump, "VELOX/TORVI/" + priv.StreamName), "");
  EXPECT_NE(StreamLine(dump, "OFFICE/anna/" + other.StreamName), "");
}

TEST_F(TaskStorageTest, UserAreaWithoutDomainOrUserIsRefusedBeforeTheFile) {
  for (int which = 0; which < 2; ++which) {
    DomainName = which == 0 ? "" : "VELOX";
    UserName = which == 0 ? "TORVI" : "";
    TaskRecord r = Task(0, "private");
    HRESULT hr = S_OK;
    EXPECT_FALSE(WriteTask(&r, &hr));
    EXPECT_EQ(hr, kUserAreaUnnamed);
    EXPECT_FALSE(FindTaskInArea(&r, "*x", IsShared));
    EXPECT_FALSE(PathExists(ConfigPath));
  }
}

TEST_F(TaskStorageTest, FindByNameWithoutRegardToCase) {
  TaskRecord a = Task(IsShared, "FIRST");
  a.Types.push_front("x");
  a.Types.push_front("y");
  TaskRecord b = Task(IsShared, "SECOND");
  ASSERT_TRUE(WriteTask(&a));
  ASSERT_TRUE(WriteTask(&b));
  TaskRecord found;
  ASSERT_TRUE(FindTaskInArea(&found, "second", IsShared));
  EXPECT_EQ(found.Name, "SECOND");
  EXPECT_EQ(found.StreamName, b.StreamName);
  EXPECT_FALSE(found.DirectLookup);
  found.Clear();
  ASSERT_TRUE(FindTaskInArea(&found, "First", IsShared));
  EXPECT_EQ(found.Types, (TaskList{"x", "y"}));  // read back reversed
  found.Clear();
  EXPECT_FALSE(FindTaskInArea(&found, "FIRST", IsReadOnly));
  // Letters beyond ASCII compare without regard to case too (code page 1252).
  TaskRecord umlaut = Task(IsShared, "\xC4RGER");
  ASSERT_TRUE(WriteTask(&umlaut));
  found.Clear();
  ASSERT_TRUE(FindTaskInArea(&found, "\xE4rger", IsShared));
  EXPECT_EQ(found.StreamName, umlaut.StreamName);
}

TEST_F(TaskStorageTest, FixedNameLookupGoesToTheUserArea) {
  TaskRecord shared = Task(IsShared, "*N");
  ASSERT_TRUE(WriteTask(&shared));
  TaskRecord found;
  EXPECT_FALSE(FindTaskInArea(&found, "*N", IsShared));  // not in "_Common_"
  EXPECT_TRUE(found.DirectLookup);
  TaskRecord priv = Task(0, "*N");
  ASSERT_TRUE(WriteTask(&priv));
  found.Clear();
  ASSERT_TRUE(FindTaskInArea(&found, "*N", IsShared));
  EXPECT_EQ(found.StreamName, "N");
  EXPECT_EQ(found.TaskFlags, 0u);
  // A plain name after it enumerates again and compares Name.
  found.Clear();
  ASSERT_TRUE(FindTaskInArea(&found, "*n", IsShared));
  found.Clear();
  EXPECT_TRUE(FindTaskInArea(&found, "*N", IsReadOnly));
  found.Clear();
  EXPECT_TRUE(FindTaskInArea(&found, "*n", 0));
  found.Clear();
  EXPECT_FALSE(FindTaskInArea(&found, "N", 0));  // the task's Name is "*N"
  EXPECT_FALSE(found.DirectLookup);
}

TEST_F(TaskStorageTest, UnreadableStreamsArePassedOver) {
  ASSERT_TRUE(CreateSkeleton(ConfigPath));
  std::string good = TaskBytes(IsShared, "Target") + std::string(22, '\0');
  // Names sort by length first: "1" and "22" are enumerated before "333".
  PutStream(ConfigPath, "_Common_/1", good.substr(0, 50));  // the name, then cut short
  PutStream(ConfigPath, "_Common_/22", TaskBytes(IsShared, std::string(300, 'x')));
  PutStream(ConfigPath, "_Common_/333", good);
  TaskRecord found;
  testing::internal::CaptureStderr();
  const bool found_it = FindTaskInArea(&found, "target", IsShared);
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(found_it);
  EXPECT_EQ(found.StreamName, "333");
  // Each stream passed over is said, with why.
  EXPECT_NE(said.find("passed over the unreadable task stream \"1\" in " + ConfigPath +
                      " (damaged or cut short)\n"),
            std::string::npos)
      << said;
}

TEST_F(TaskStorageTest, ReadTaskResults) {
  ASSERT_TRUE(CreateSkeleton(ConfigPath));
  PutStream(ConfigPath, "_Common_/bad", Le32(1) + Le32(2));
  std::unique_ptr<platform::Storage> root;
  ASSERT_EQ(platform::OpenStorageFile(ConfigPath, kStorageMode, &root), S_OK);
  std::unique_ptr<platform::Storage> common;
  ASSERT_EQ(root->OpenStorage(AnsiToWide("_Common_"), kStorageMode, &common), S_OK);
  std::unique_ptr<platform::Stream> stream;
  ASSERT_EQ(common->OpenStream(AnsiToWide("bad"), kStorageMode, &stream), S_OK);
  TaskRecord r;
  EXPECT_EQ(ReadTask(&r, stream.get()), 30);
}

TEST_F(TaskStorageTest, DeleteRemovesTheCommonTaskFirst) {
  TaskRecord common = Task(IsShared, "Twice");
  TaskRecord read_only = Task(IsReadOnly, "twice");
  TaskRecord other = Task(IsReadOnly, "Other");
  ASSERT_TRUE(WriteTask(&common));
  ASSERT_TRUE(WriteTask(&read_only));
  ASSERT_TRUE(WriteTask(&other));
  TaskRecord work;
  EXPECT_EQ(DeleteTask(&work, "TWICE"), DeleteOutcome::kDeleted);
  std::string dump = Dump();
  EXPECT_EQ(StreamLine(dump, "_Common_/" + common.StreamName), "");
  EXPECT_NE(StreamLine(dump, "_Common_/_ReadOnly_/" + read_only.StreamName), "");
  EXPECT_EQ(DeleteTask(&work, "twice"), DeleteOutcome::kDeleted);
  EXPECT_EQ(StreamLine(Dump(), "_Common_/_ReadOnly_/" + read_only.StreamName), "");
  EXPECT_EQ(DeleteTask(&work, "twice"), DeleteOutcome::kNotFound);
  EXPECT_NE(StreamLine(Dump(), "_Common_/_ReadOnly_/" + other.StreamName), "");

  TaskRecord fixed = Task(0, "*Mine");
  ASSERT_TRUE(WriteTask(&fixed));
  EXPECT_EQ(DeleteTask(&work, "*mine"), DeleteOutcome::kDeleted);
  EXPECT_EQ(StreamLine(Dump(), "VELOX/TORVI/Mine"), "");
}

TEST_F(TaskStorageTest, DeleteDestroysWhereFoundNotWhereTheFlagsPoint) {
  ASSERT_TRUE(CreateSkeleton(ConfigPath));
  // A common stream whose flags claim the read-only area, and a different
  // read-only task under the same stream name.
  PutStream(ConfigPath, "_Common_/7", TaskBytes(IsReadOnly, "Odd"));
  PutStream(ConfigPath, "_Common_/_ReadOnly_/7", TaskBytes(IsReadOnly, "Keep me"));
  TaskRecord work;
  EXPECT_EQ(DeleteTask(&work, "odd"), DeleteOutcome::kDeleted);
  std::string dump = Dump();
  EXPECT_EQ(StreamLine(dump, "_Common_/7"), "");
  EXPECT_NE(StreamLine(dump, "_Common_/_ReadOnly_/7"), "");
}

TEST_F(TaskStorageTest, StreamNameWithoutAnsiFormIsNeverAddressed) {
  ASSERT_TRUE(CreateSkeleton(ConfigPath));
  // U+4E00 has no form in code page 1252: its ANSI name would be "?x",
  // which names another stream.
  PutStream(ConfigPath, "_Common_/?x", TaskBytes(IsShared, "Other"));
  {
    std::unique_ptr<platform::Storage> root;
    ASSERT_EQ(platform::OpenStorageFile(ConfigPath, kStorageMode, &root), S_OK);
    std::unique_ptr<platform::Storage> common;
    ASSERT_EQ(root->OpenStorage(AnsiToWide("_Common_"), kStorageMode, &common), S_OK);
    std::unique_ptr<platform::Stream> stream;
    ASSERT_EQ(common->CreateStream(u"\u4e00x", kStorageMode, &stream), S_OK);
    std::string bytes = TaskBytes(IsShared, "Odd");
    uint32_t written = 0;
    ASSERT_EQ(stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written), S_OK);
  }
  TaskRecord work;
  EXPECT_EQ(DeleteTask(&work, "odd"), DeleteOutcome::kNotFound);
  std::string dump = Dump();
  EXPECT_NE(StreamLine(dump, "_Common_/?x"), "") << dump;
  EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 7) << dump;  // skeleton + 2 streams
}

TEST_F(TaskStorageTest, LookupsCreateMissingCommonStorages) {
  PutStream(ConfigPath, "_Version_", Le32(616));
  TaskRecord work;
  EXPECT_EQ(DeleteTask(&work, "nothing"), DeleteOutcome::kNotFound);
  std::string dump = Dump();
  EXPECT_TRUE(HasLine(dump, "S _Common_")) << dump;
  EXPECT_TRUE(HasLine(dump, "S _Common_/_ReadOnly_")) << dump;
}

TEST_F(TaskStorageTest, OtherVersionsAreRefused) {
  struct Case {
    const char* what;
    std::string version;  // "" leaves "_Version_" out
  };
  const Case cases[] = {{"615", Le32(615)}, {"short", std::string("\x68\x02", 2)}, {"none", ""}};
  for (const Case& c : cases) {
    TempDir dir;
    ConfigPath = dir.File("old.CNF");
    PutStream(ConfigPath, c.version.empty() ? "other" : "_Version_", c.version);
    TaskRecord r = Task(IsShared, "T");
    HRESULT hr = S_OK;
    EXPECT_FALSE(WriteTask(&r, &hr)) << c.what;
    EXPECT_EQ(hr, STG_E_OLDFORMAT) << c.what;
    EXPECT_FALSE(FindTaskInArea(&r, "T", IsShared)) << c.what;
    TaskRecord work;
    EXPECT_EQ(DeleteTask(&work, "T"), DeleteOutcome::kFailed) << c.what;
    std::string dump = Dump();
    EXPECT_EQ(dump.find("_Common_"), std::string::npos) << dump;
    if (c.version.empty()) {
      EXPECT_TRUE(HasLine(dump, "F _Version_ 0 ")) << dump;
    }
  }
}

TEST_F(TaskStorageTest, FileThatIsNotACompoundFile) {
  testing_support::WriteWholeFile(ConfigPath, "plain text");
  TaskRecord r = Task(IsShared, "T");
  HRESULT hr = S_OK;
  EXPECT_FALSE(WriteTask(&r, &hr));
  EXPECT_EQ(hr, STG_E_FILEALREADYEXISTS);
  EXPECT_EQ(testing_support::ReadWholeFile(ConfigPath), "plain text");
}

}  // namespace
}  // namespace builder
