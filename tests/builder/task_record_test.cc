// The task record's stream form: sizes, exact bytes, reading back, and
// streams that lie about their lengths.

#include "builder/task_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace builder {
namespace {

using testing_support::Hex;
using testing_support::Le32;

std::string Serialized(const TaskRecord& record) {
  std::string bytes(SerializedSize(record), '\0');
  Serialize(record, reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes;
}

bool Parse(const std::string& bytes, TaskRecord* record) {
  return ParseTaskStream(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), record);
}

std::string Text(const std::string& s) { return Le32(static_cast<uint32_t>(s.size())) + s; }

TaskRecord DefaultTask() {
  TaskRecord r;
  r.ComponentFlags = 0x01;
  r.TaskFlags = 0x90A11418;
  r.Name = "(not specified)";
  r.ReportFileName = "*";
  r.VirusFoundMsg = "Virus was found !!!";
  return r;
}

TEST(TaskRecordTest, SerializedSizes) {
  TaskRecord empty;
  // Header and eight zero length-or-count words; the 22 trailing zeros make 86.
  EXPECT_EQ(SerializedSize(empty) + kTaskStreamTrailerSize, 86u);
  EXPECT_EQ(SerializedSize(DefaultTask()) + kTaskStreamTrailerSize, 121u);
  TaskRecord one_item;
  one_item.SendTo.push_front("abc");
  EXPECT_EQ(SerializedSize(one_item) - SerializedSize(empty), 4u + 3u);  // 11 with the count
}

TEST(TaskRecordTest, SerializesFieldByFieldInListOrder) {
  TaskRecord r = DefaultTask();
  r.ResidentFlags = 0x10003;
  r.Priority = -2;
  r.ChainedTask = "next";
  r.Types.push_front("X");  // added first ...
  r.Types.push_front("Y");  // ... so stored second
  r.Areas.push_front("C:\\DATA\\-+");
  r.ResidentExcludeFiles.push_front("a b");
  std::string expected = Le32(0x01) + Le32(0x90A11418) + Le32(0x10003) + Le32(0xFFFFFFFE) +
                         std::string(16, '\0') + Text("(not specified)") + Text("*") +
                         Text("Virus was found !!!") + Text("next") + Le32(2) + Text("Y") +
                         Text("X") + Le32(1) + Text("C:\\DATA\\-+") + Le32(0) + Le32(1) +
                         Text("a b");
  EXPECT_EQ(Hex(Serialized(r)), Hex(expected));
}

TEST(TaskRecordTest, ReadsBackWithListsReversed) {
  TaskRecord r = DefaultTask();
  r.Reserved1 = 7;
  r.Reserved2[2] = 9;
  for (const char* item : {"third", "second", "first"}) r.SendTo.push_front(item);
  r.Types.push_front(std::string(kMaxTextLength, 'T'));
  std::string bytes = Serialized(r) + std::string(kTaskStreamTrailerSize, '\0') + "old tail";

  TaskRecord back;
  ASSERT_TRUE(Parse(bytes, &back));
  EXPECT_EQ(back.ComponentFlags, r.ComponentFlags);
  EXPECT_EQ(back.TaskFlags, r.TaskFlags);
  EXPECT_EQ(back.Reserved1, 7u);
  EXPECT_EQ(back.Reserved2[2], 9u);
  EXPECT_EQ(back.Name, r.Name);
  EXPECT_EQ(back.VirusFoundMsg, r.VirusFoundMsg);
  // Stored first, second, third; in memory the reverse.
  EXPECT_EQ(back.SendTo, (TaskList{"third", "second", "first"}));
  EXPECT_EQ(back.Types, r.Types);
  EXPECT_TRUE(back.Areas.empty());
}

TEST(TaskRecordTest, TextReadsBackAsExactlyItsBytes) {
  std::string bytes = Serialized(TaskRecord());
  // Name of length 3 with bytes that hold a zero.
  bytes = bytes.substr(0, 32) + Text(std::string("a\0c", 3)) + bytes.substr(36);
  TaskRecord back;
  ASSERT_TRUE(Parse(bytes, &back));
  EXPECT_EQ(back.Name, std::string("a\0c", 3));
}

TEST(TaskRecordTest, RefusesStreamsThatRunPastTheirEnd) {
  TaskRecord r = DefaultTask();
  r.Areas.push_front("C:\\+_");
  std::string good = Serialized(r);
  // Every cut before the last list ends is refused, the whole is accepted.
  for (size_t cut = 0; cut < good.size(); ++cut) {
    TaskRecord back;
    EXPECT_FALSE(Parse(good.substr(0, cut), &back)) << cut;
    EXPECT_TRUE(back.Name.empty() && back.Areas.empty() && back.TaskFlags == 0) << cut;
  }
  TaskRecord whole;
  EXPECT_TRUE(Parse(good, &whole));

  std::string header = Serialized(TaskRecord()).substr(0, 32);
  std::string empty_tail = Le32(0) + Le32(0) + Le32(0) + Le32(0) + Le32(0) + Le32(0) + Le32(0);
  struct Case {
    const char* what;
    std::string bytes;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"name of 259 bytes", header + Text(std::string(259, 'n')) + empty_tail, true},
      {"name of 260 bytes", header + Text(std::string(260, 'n')) + empty_tail, false},
      {"length 0xFFFFFFFF", header + Le32(0xFFFFFFFF) + empty_tail, false},
      {"count far past the end", header + Le32(0) + Le32(0) + Le32(0) + Le32(0) +
                                     Le32(0xFFFFFFFF) + Le32(0) + Le32(0) + Le32(0),
       false},
      {"item of 260 bytes", header + Le32(0) + Le32(0) + Le32(0) + Le32(0) + Le32(1) +
                                Text(std::string(260, 'i')) + Le32(0) + Le32(0) + Le32(0),
       false},
  };
  for (const Case& c : cases) {
    TaskRecord back;
    EXPECT_EQ(Parse(c.bytes, &back), c.ok) << c.what;
  }
}

TEST(TaskRecordTest, ClearEmptiesEverything) {
  TaskRecord r = DefaultTask();
  r.Reserved2[1] = 5;
  r.Types.push_front("x");
  r.StreamName = "2852926";
  r.Clear();
  EXPECT_EQ(Hex(Serialized(r)), Hex(Serialized(TaskRecord())));
  EXPECT_TRUE(r.StreamName.empty());
}

TEST(TaskRecordTest, FitsFields) {
  TaskRecord r;
  r.Name = std::string(kMaxTextLength, 'a');
  r.Areas.push_front(std::string(kMaxTextLength, 'b'));
  EXPECT_TRUE(FitsFields(r));
  r.Areas.push_front(std::string(kMaxTextLength + 1, 'b'));
  EXPECT_FALSE(FitsFields(r));
}

}  // namespace
}  // namespace builder
