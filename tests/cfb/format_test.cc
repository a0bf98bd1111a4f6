// The file format as written: DIFAT growth past the header's 109 entries,
// reuse of freed sectors, version 4, the name order and upper-case table.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/dir_entry.h"
#include "platform/cfb/format.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/test_support.h"

namespace {

using cfb::CompoundFile;
using testing_support::TempDir;

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 4099) & 0xFF);
  return s;
}

// Size and a few bytes of stream "Big" as olefile reads it: the whole
// stream in hex would be too slow at these sizes.
std::string OlefileSample(const std::string& path) {
  testing_support::RunResult r = testing_support::Run(
      {"/usr/bin/python3", "-c",
       "import sys, olefile\n"
       "ole = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_POTENTIAL)\n"
       "d = ole.openstream('Big').read()\n"
       "print(len(d), ' '.join(d[i:i + 4].hex() for i in range(0, len(d), 1000003)))\n",
       path});
  return r.out + r.err;
}

std::string Sample(const std::string& data) {
  std::string out = std::to_string(data.size());
  for (size_t i = 0; i < data.size(); i += 1000003) out += " " + testing_support::Hex(data.substr(i, 4));
  return out + "\n";
}

TEST(FormatTest, DifatGrowsPastTheHeaderAtItsBoundaries) {
  TempDir dir;
  std::string path = dir.File("big.cnf");
  const std::string data = Pattern(16 << 20);
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(S_OK, CompoundFile::Create(path, &file));
  uint32_t id;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"Big", cfb::kTypeStream, &id));
  ASSERT_EQ(S_OK, file->Close());
  // Sizes at which the FAT has exactly 109 sectors (the header's DIFAT is
  // full), exactly 109 + 127 (the first DIFAT sector is full) and more.
  struct Point {
    size_t size;
    uint32_t fat_sectors, difat_sectors;
  };
  size_t written = 0;
  for (const Point& point : {Point{5 << 20, 109, 0}, Point{14 << 20, 236, 1}, Point{16 << 20, 472, 3}}) {
    SCOPED_TRACE(point.fat_sectors);
    ASSERT_EQ(S_OK, CompoundFile::Open(path, &file));
    ASSERT_EQ(S_OK, file->WriteStream(id, written, data.data() + written,
                                      static_cast<uint32_t>(point.size - written)));
    written = point.size;
    std::string problems;
    ASSERT_EQ(S_OK, file->Check(&problems));
    EXPECT_EQ("", problems);
    ASSERT_EQ(S_OK, file->Close());
    EXPECT_EQ(point.fat_sectors, cfb_test::FileGet32(path, 0x2C));
    EXPECT_EQ(point.difat_sectors, cfb_test::FileGet32(path, 0x48));
    EXPECT_EQ(0u, testing_support::ReadWholeFile(path).size() % 512);
    EXPECT_EQ(Sample(data.substr(0, written)), OlefileSample(path));
  }
  testing_support::RunResult gsf = testing_support::Run({"/usr/bin/gsf", "list", path});
  EXPECT_NE(std::string::npos, gsf.out.find("16777216 Big")) << gsf.out << gsf.err;
}

TEST(FormatTest, FreedSectorsAreUsedBeforeTheFileGrows) {
  TempDir dir;
  std::string path = dir.File("a.cnf");
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(S_OK, CompoundFile::Create(path, &file));
  const std::string data = Pattern(100000);
  uint32_t a, b, small1, small2;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"A", cfb::kTypeStream, &a));
  ASSERT_EQ(S_OK, file->CreateElement(0, u"B", cfb::kTypeStream, &b));
  ASSERT_EQ(S_OK, file->CreateElement(0, u"s1", cfb::kTypeStream, &small1));
  ASSERT_EQ(S_OK, file->CreateElement(0, u"s2", cfb::kTypeStream, &small2));
  ASSERT_EQ(S_OK, file->WriteStream(a, 0, data.data(), 100000));
  ASSERT_EQ(S_OK, file->WriteStream(b, 0, data.data(), 100000));
  ASSERT_EQ(S_OK, file->WriteStream(small1, 0, data.data(), 3000));
  ASSERT_EQ(S_OK, file->WriteStream(small2, 0, data.data(), 3000));
  ASSERT_EQ(S_OK, file->Close());
  const size_t size = testing_support::ReadWholeFile(path).size();
  // In a later session, as the programs do it.
  ASSERT_EQ(S_OK, CompoundFile::Open(path, &file));
  std::vector<uint32_t> gone;
  ASSERT_EQ(S_OK, file->DestroyElement(0, u"a", &gone));
  ASSERT_EQ(S_OK, file->DestroyElement(0, u"S1", &gone));
  ASSERT_EQ(S_OK, file->Close());
  ASSERT_EQ(S_OK, CompoundFile::Open(path, &file));
  uint32_t c, small3;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"C", cfb::kTypeStream, &c));
  ASSERT_EQ(S_OK, file->WriteStream(c, 0, data.data(), 90000));
  ASSERT_EQ(S_OK, file->CreateElement(0, u"s3", cfb::kTypeStream, &small3));
  ASSERT_EQ(S_OK, file->WriteStream(small3, 0, data.data(), 2900));
  std::string problems;
  ASSERT_EQ(S_OK, file->Check(&problems));
  EXPECT_EQ("", problems);
  ASSERT_EQ(S_OK, file->Close());
  EXPECT_EQ(size, testing_support::ReadWholeFile(path).size());
  EXPECT_EQ(testing_support::OlefileDump(path), cfb_test::EngineDump(path));
}

// A removed stream leaves none of its bytes in the file: not in freed
// sectors, not in freed mini sectors, not in the tail cut off a stream made
// shorter, not after it moved between the mini stream and sectors.
TEST(FormatTest, FreedSectorsAndMiniSectorsAreZeroed) {
  TempDir dir;
  std::string path = dir.File("a.cnf");
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(S_OK, CompoundFile::Create(path, &file));
  auto secret = [](char tag, size_t n) {
    std::string s;
    while (s.size() < n) s += std::string("SECRET-") + tag + "-" + std::to_string(s.size()) + ";";
    return s.substr(0, n);
  };
  struct Stream {
    const char16_t* name;
    char tag;
    size_t size;
  };
  const Stream streams[] = {{u"mini", 'm', 300}, {u"big", 'b', 9000},
                            {u"shrunk", 's', 9000}, {u"moved", 'v', 3000}};
  for (const Stream& st : streams) {
    uint32_t id;
    ASSERT_EQ(S_OK, file->CreateElement(0, st.name, cfb::kTypeStream, &id));
    std::string bytes = secret(st.tag, st.size);
    ASSERT_EQ(S_OK, file->WriteStream(id, 0, bytes.data(), static_cast<uint32_t>(bytes.size())));
  }
  ASSERT_EQ(S_OK, file->Close());
  ASSERT_NE(std::string::npos, testing_support::ReadWholeFile(path).find("SECRET-m-"));

  ASSERT_EQ(S_OK, CompoundFile::Open(path, &file));
  std::vector<uint32_t> gone;
  ASSERT_EQ(S_OK, file->DestroyElement(0, u"mini", &gone));
  ASSERT_EQ(S_OK, file->DestroyElement(0, u"big", &gone));
  uint32_t id;
  cfb::DirEntry entry;
  ASSERT_EQ(S_OK, file->Find(0, u"shrunk", &id, &entry));
  ASSERT_EQ(S_OK, file->ResizeStream(id, 5000));  // past 4096: sectors cut off
  ASSERT_EQ(S_OK, file->Find(0, u"moved", &id, &entry));
  ASSERT_EQ(S_OK, file->WriteStream(id, 3000, "x", 1));
  ASSERT_EQ(S_OK, file->ResizeStream(id, 5000));  // out of the mini stream
  std::string zeros(5000, '\0');
  ASSERT_EQ(S_OK, file->WriteStream(id, 0, zeros.data(), 5000));
  ASSERT_EQ(S_OK, file->Close());
  const std::string bytes = testing_support::ReadWholeFile(path);
  EXPECT_EQ(std::string::npos, bytes.find("SECRET-m-"));
  EXPECT_EQ(std::string::npos, bytes.find("SECRET-b-"));
  EXPECT_EQ(std::string::npos, bytes.find("SECRET-v-"));
  EXPECT_EQ(std::string::npos, bytes.find(secret('s', 9000).substr(5000, 100)));
  EXPECT_NE(std::string::npos, bytes.find(secret('s', 5000).substr(4000)));
  EXPECT_EQ("", cfb_test::CheckFile(path));
}

TEST(FormatTest, VersionFourFilesAreChangedInPlace) {
  TempDir dir;
  std::string path = dir.File("v4.cnf");
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(S_OK, CompoundFile::Create(path, &file, 4));
  const std::string data = Pattern(20000);
  // Enough entries for several directory sectors (32 entries each).
  for (int i = 0; i < 70; ++i) {
    uint32_t id;
    std::string name = "Task" + std::to_string(i);
    ASSERT_EQ(S_OK, file->CreateElement(0, std::u16string(name.begin(), name.end()),
                                        cfb::kTypeStream, &id));
    ASSERT_EQ(S_OK, file->WriteStream(id, 0, data.data(), i % 10 ? 300 : 20000));
  }
  ASSERT_EQ(S_OK, file->Close());
  std::string bytes = testing_support::ReadWholeFile(path);
  EXPECT_EQ(0u, bytes.size() % 4096);
  EXPECT_EQ(4u, cfb_test::FileGet32(path, 0x18) >> 16);
  EXPECT_EQ(12u, cfb_test::FileGet32(path, 0x1C) >> 16);
  EXPECT_EQ(3u, cfb_test::FileGet32(path, 0x28));  // 71 entries in 3 directory sectors
  EXPECT_EQ(std::string(4096 - 512, '\0'), bytes.substr(512, 4096 - 512));
  EXPECT_EQ("", cfb_test::CheckFile(path));
  EXPECT_EQ(testing_support::OlefileDump(path), cfb_test::EngineDump(path));
}

TEST(FormatTest, NamesCompareByLengthThenSimpleUpperCase) {
  struct Case {
    std::u16string a, b;
    int order;
  };
  const Case cases[] = {
      {u"b", u"abc", -1},        {u"abc", u"ABD", -1},      {u"ABD", u"11374", -1},
      {u"abc", u"ABC", 0},       {u"\u00e9t\u00e9", u"\u00c9T\u00c9", 0},
      {u"\u00ff", u"\u0178", 0}, {u"\u0161", u"\u0160", 0},  {u"\u017e", u"\u017d", 0},
      {u"\u0153", u"\u0152", 0}, {u"\u03c9", u"\u03a9", 0},  {u"\u044f", u"\u042f", 0},
      {u"\u01c4", u"\u01c5", 0},  {u"\u03d0", u"\u0392", 0},  // title case, beta symbol
      {u"\u00b5", u"\u0152", 1},  // micro sign: upper case U+039C, after U+0152
      {u"_", u"a", 1},  // '_' (0x5F) sorts after 'A' (0x41) once upper-cased
      {u"\u00df", u"SS", -1},  // no full case mapping: sharp s stays one unit
      {u"\xd801\xdc28", u"\xd801\xdc00", 1},  // surrogates are not upper-cased
  };
  for (const Case& c : cases) {
    int order = cfb::CompareNames(c.a, c.b);
    EXPECT_EQ(c.order, order < 0 ? -1 : order > 0 ? 1 : 0) << cfb_test::Utf8(c.a);
    int reverse = cfb::CompareNames(c.b, c.a);
    EXPECT_EQ(-c.order, reverse < 0 ? -1 : reverse > 0 ? 1 : 0) << cfb_test::Utf8(c.a);
  }
}

}  // namespace
