// Tests of the converter's containers.

#include "converter/containers.h"

#include <string>

#include <gtest/gtest.h>

namespace converter {
namespace {

CString Text(const std::string& s) {
  CString c;
  EXPECT_TRUE(c.Assign(s.c_str()));
  return c;
}

TEST(CStringTest, HoldsAtMost259CharactersAndRefusesMore) {
  CString text;
  EXPECT_TRUE(text.Empty());
  EXPECT_EQ(text.Length(), 0u);
  std::string longest(259, 'x');
  ASSERT_TRUE(text.Assign(longest.data(), longest.size()));
  EXPECT_EQ(std::string(text.text), longest);
  std::string too_long(260, 'y');
  EXPECT_FALSE(text.Assign(too_long.data(), too_long.size()));
  EXPECT_EQ(std::string(text.text), longest) << "a refused text leaves the old one";
  EXPECT_FALSE(text.Assign("a\0b", 3)) << "a NUL inside would cut the text";
}

TEST(CStringArrayTest, AppendReturnsIndexAndKeepsOrder) {
  CStringArray list;
  EXPECT_EQ(list.ItemCount(), 0u);
  EXPECT_EQ(list.ItemAt(0), nullptr);
  EXPECT_EQ(list.Append(Text("first")), 0);
  EXPECT_EQ(list.Append(Text("second")), 1);
  EXPECT_EQ(list.Append(Text("third")), 2);
  ASSERT_NE(list.ItemAt(2), nullptr);
  EXPECT_STREQ(list.ItemAt(2)->text, "third");
  EXPECT_STREQ(list.ItemAt(0)->text, "first");
  EXPECT_EQ(list.ItemAt(3), nullptr) << "an index past the end reads nothing";
  std::string joined;
  list.ForEach([&](const CString& item) { joined += std::string(item.text) + ";"; });
  EXPECT_EQ(joined, "first;second;third;");

  list.RemoveAll();
  EXPECT_EQ(list.ItemCount(), 0u);
  EXPECT_EQ(list.Append(Text("again")), 0) << "usable again after RemoveAll";
  list.RemoveAll();
  list.RemoveAll();  // on an empty list: nothing happens
  EXPECT_EQ(list.ItemCount(), 0u);
}

TEST(CStringArrayTest, ItemIsACopy) {
  CStringArray list;
  CString item = Text("copy");
  list.Append(item);
  item.Assign("changed");
  EXPECT_STREQ(list.ItemAt(0)->text, "copy");
}

TEST(CByteArrayTest, BlocksOfOneHundredChainAfterTheInlineOne) {
  CByteArray bytes;
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes.Append(static_cast<uint8_t>(i)), i);
  EXPECT_EQ(bytes.HeapBlockCount(), 0u) << "the first 100 bytes live inside the object";
  EXPECT_EQ(bytes.Append(100), 100);
  EXPECT_EQ(bytes.HeapBlockCount(), 1u) << "the 101st byte opens the first further block";
  for (int i = 101; i < 200; ++i) bytes.Append(static_cast<uint8_t>(i));
  EXPECT_EQ(bytes.HeapBlockCount(), 1u) << "index 199 is the last of that block";
  EXPECT_EQ(bytes.Append(200), 200);
  EXPECT_EQ(bytes.HeapBlockCount(), 2u);
  EXPECT_EQ(bytes.Count(), 201u);
  EXPECT_EQ(bytes.ItemAt(0), 0);
  EXPECT_EQ(bytes.ItemAt(150), 150);
  EXPECT_EQ(bytes.ItemAt(200), 200);
  EXPECT_EQ(bytes.ItemAt(201), 0) << "past the end reads 0, never outside";
  uint32_t sum = 0, n = 0;
  bytes.ForEach([&](uint8_t b) {
    EXPECT_EQ(b, static_cast<uint8_t>(n));
    sum += b;
    ++n;
  });
  EXPECT_EQ(n, 201u);

  bytes.RemoveAll();
  EXPECT_EQ(bytes.Count(), 0u);
  EXPECT_EQ(bytes.HeapBlockCount(), 0u);
  EXPECT_EQ(bytes.Append(7), 0) << "after RemoveAll the next byte goes to the first block";
  EXPECT_EQ(bytes.ItemAt(0), 7);
}

}  // namespace
}  // namespace converter
