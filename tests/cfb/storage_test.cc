// The engine behind platform/storage.h: the behaviour the programs rely on,
// with the result codes measured on Windows structured storage.
#include "platform/storage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/file.h"
#include "platform/cfb/format.h"
#include "platform/upper_case.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/test_support.h"

namespace {

using cfb_test::Utf8;
using platform::ElementStat;
using platform::ElementType;
using platform::kStorageMode;
using platform::SeekOrigin;
using platform::Storage;
using platform::Stream;
using testing_support::OlefileDump;
using testing_support::TempDir;

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
  return s;
}

HRESULT WriteAll(Stream* stream, const std::string& bytes) {
  uint32_t written = 0;
  return stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
}

std::string ReadAll(Stream* stream) {
  std::string out;
  char buffer[1000];
  for (;;) {
    uint32_t read = 0;
    if (FAILED(stream->Read(buffer, sizeof(buffer), &read)) || read == 0) break;
    out.append(buffer, read);
  }
  return out;
}

std::vector<std::u16string> Names(Storage* storage) {
  std::vector<std::u16string> names;
  std::unique_ptr<platform::ElementEnumerator> e;
  if (FAILED(storage->EnumElements(&e))) return names;
  ElementStat stat;
  while (e->Next(&stat) == S_OK) names.push_back(stat.name);
  return names;
}

std::string Check(const std::string& path) {
  std::unique_ptr<cfb::CompoundFile> file;
  HRESULT hr = cfb::CompoundFile::Open(path, &file);
  if (FAILED(hr)) return "open failed";
  std::string problems;
  if (FAILED(file->Check(&problems))) return "check failed";
  return problems;
}

TEST(StorageTest, CreatedFileIsReadByOlefileWithEveryStreamAndStorage) {
  TempDir dir;
  std::string path = dir.File("a.cnf");
  std::string big = Bytes(10000, 1);
  {
    std::unique_ptr<Storage> root;
    ASSERT_EQ(S_OK, platform::CreateStorageFile(path, kStorageMode, &root));
    std::unique_ptr<Stream> version;
    ASSERT_EQ(S_OK, root->CreateStream(u"_Version_", kStorageMode, &version));
    ASSERT_EQ(S_OK, WriteAll(version.get(), std::string("\x68\x02\x00\x00", 4)));
    std::unique_ptr<Storage> common, readonly;
    ASSERT_EQ(S_OK, root->CreateStorage(u"_Common_", kStorageMode, &common));
    ASSERT_EQ(S_OK, common->CreateStorage(u"_ReadOnly_", kStorageMode, &readonly));
    std::unique_ptr<Stream> task, large;
    ASSERT_EQ(S_OK, common->CreateStream(u"101", kStorageMode, &task));
    ASSERT_EQ(S_OK, WriteAll(task.get(), Bytes(143, 2)));
    ASSERT_EQ(S_OK, readonly->CreateStream(u"Large", kStorageMode, &large));
    ASSERT_EQ(S_OK, WriteAll(large.get(), big));
  }
  EXPECT_EQ("F _Common_/101 143 " + testing_support::Hex(Bytes(143, 2)) + "\n" +
                "F _Common_/_ReadOnly_/Large 10000 " + testing_support::Hex(big) + "\n" +
                "F _Version_ 4 68020000\n"
                "S _Common_\n"
                "S _Common_/_ReadOnly_\n",
            OlefileDump(path));
  EXPECT_EQ("", Check(path));
}

TEST(StorageTest, ReopenedFileReadsBackAndWritesNeverShorten) {
  TempDir dir;
  std::string path = dir.File("a.cnf");
  {
    std::unique_ptr<Storage> root;
    ASSERT_EQ(S_OK, platform::CreateStorageFile(path, kStorageMode, &root));
    std::unique_ptr<Stream> s;
    ASSERT_EQ(S_OK, root->CreateStream(u"s", kStorageMode, &s));
    ASSERT_EQ(S_OK, WriteAll(s.get(), Bytes(300, 3)));
  }
  std::unique_ptr<Storage> root;
  ASSERT_EQ(S_OK, platform::OpenStorageFile(path, kStorageMode, &root));
  std::unique_ptr<Stream> s;
  ASSERT_EQ(S_OK, root->OpenStream(u"S", kStorageMode, &s));  // any letter case
  ASSERT_EQ(S_OK, WriteAll(s.get(), "xy"));
  uint64_t position = 0;
  ASSERT_EQ(S_OK, s->Seek(0, SeekOrigin::kEnd, &position));
  EXPECT_EQ(300u, position);
  ASSERT_EQ(S_OK, s->Seek(0, SeekOrigin::kSet, nullptr));
  std::string expected = Bytes(300, 3);
  expected.replace(0, 2, "xy");
  EXPECT_EQ(expected, ReadAll(s.get()));
  EXPECT_EQ(STG_E_INVALIDFUNCTION, s->Seek(-1, SeekOrigin::kSet, nullptr));
  EXPECT_EQ(STG_E_INVALIDFUNCTION, s->Seek(-301, SeekOrigin::kEnd, nullptr));
  // Past the end: allowed, and a read there gives nothing.
  ASSERT_EQ(S_OK, s->Seek(1000, SeekOrigin::kSet, nullptr));
  char c;
  uint32_t read = 7;
  EXPECT_EQ(S_OK, s->Read(&c, 1, &read));
  EXPECT_EQ(0u, read);
}

TEST(StorageTest, ResultCodesOfTheStorageCalls) {
  TempDir dir;
  std::string path = dir.File("a.cnf");
  std::unique_ptr<Storage> root, sub;
  std::unique_ptr<Stream> s;
  EXPECT_EQ(STG_E_INVALIDFLAG, platform::CreateStorageFile(path, 0x12 | 0x1000, &root));
  EXPECT_EQ(STG_E_FILENOTFOUND, platform::OpenStorageFile(path, kStorageMode, &root));
  EXPECT_EQ(STG_E_PATHNOTFOUND,
            platform::OpenStorageFile(dir.File("no/a.cnf"), kStorageMode, &root));
  EXPECT_EQ(STG_E_PATHNOTFOUND,
            platform::CreateStorageFile(dir.File("no/a.cnf"), kStorageMode, &root));
  ASSERT_EQ(S_OK, platform::CreateStorageFile(path, kStorageMode, &root));
  std::unique_ptr<Storage> other;
  EXPECT_EQ(STG_E_SHAREVIOLATION, platform::OpenStorageFile(path, kStorageMode, &other));

  ASSERT_EQ(S_OK, root->CreateStream(u"Stream", kStorageMode, &s));
  ASSERT_EQ(S_OK, root->CreateStorage(u"Store", kStorageMode, &sub));
  std::unique_ptr<Stream> s2;
  std::unique_ptr<Storage> sub2;
  EXPECT_EQ(STG_E_ACCESSDENIED, root->OpenStream(u"stream", kStorageMode, &s2));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, root->CreateStream(u"STREAM", kStorageMode, &s2));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, root->CreateStorage(u"stream", kStorageMode, &sub2));
  EXPECT_EQ(STG_E_FILENOTFOUND, root->OpenStorage(u"Stream", kStorageMode, &sub2));
  EXPECT_EQ(STG_E_FILENOTFOUND, root->OpenStream(u"Store", kStorageMode, &s2));
  EXPECT_EQ(STG_E_FILENOTFOUND, root->OpenStream(u"missing", kStorageMode, &s2));
  EXPECT_EQ(STG_E_FILENOTFOUND, root->DestroyElement(u"missing"));
  EXPECT_EQ(STG_E_INVALIDFLAG, root->CreateStream(u"x", 0x11, &s2));
  EXPECT_EQ(STG_E_INVALIDFLAG, root->OpenStorage(u"Store", 2, &sub2));
  for (const std::u16string& bad :
       {std::u16string(32, u'a'), std::u16string(), std::u16string(u"a/b"), std::u16string(u"a\\b"),
        std::u16string(u"a:b"), std::u16string(u"a!"), std::u16string(u"a\0b", 3)}) {
    EXPECT_EQ(STG_E_INVALIDNAME, root->CreateStream(bad, kStorageMode, &s2));
    EXPECT_EQ(STG_E_INVALIDNAME, root->OpenStorage(bad, kStorageMode, &sub2));
  }
  EXPECT_EQ(S_OK, root->CreateStream(std::u16string(31, u'a'), kStorageMode, &s2));
  EXPECT_EQ(S_OK, root->CreateStream(u"\x05Info", kStorageMode, &s2));
  // One name under Unicode's simple upper case: the second of each pair is
  // taken, a third spelling opens the first.
  const std::u16string same[][3] = {{u"\u01c4", u"\u01c5", u"\u01c6"},  // DŽ Dž dž
                                     {u"\u03d0x", u"\u0392X", u"\u03b2x"},
                                     {u"\u00b5", u"\u039c", u"\u03bc"},
                                     {u"Caf\u00e9", u"CAF\u00c9", u"caf\u00c9"}};
  for (const auto& names : same) {
    EXPECT_EQ(S_OK, root->CreateStream(names[0], kStorageMode, &s2)) << Utf8(names[0]);
    s2.reset();
    EXPECT_EQ(STG_E_FILEALREADYEXISTS, root->CreateStream(names[1], kStorageMode, &s2))
        << Utf8(names[1]);
    EXPECT_EQ(S_OK, root->OpenStream(names[2], kStorageMode, &s2)) << Utf8(names[2]);
    s2.reset();
  }
  s.reset();
  EXPECT_EQ(S_OK, root->OpenStream(u"stream", kStorageMode, &s));
  sub.reset();
  s2.reset();
  s.reset();
  root.reset();
  // A second open is refused while the first holds the file.
  std::unique_ptr<Storage> first, second;
  ASSERT_EQ(S_OK, platform::OpenStorageFile(path, kStorageMode, &first));
  EXPECT_EQ(STG_E_SHAREVIOLATION, platform::OpenStorageFile(path, kStorageMode, &second));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, platform::CreateStorageFile(path, kStorageMode, &second));
  EXPECT_EQ(STG_E_INVALIDFLAG, platform::OpenStorageFile(path, 0x10, &second));
}

TEST(StorageTest, NotACompoundFileIsRefusedAsAlreadyExisting) {
  TempDir dir;
  std::unique_ptr<Storage> root;
  for (const std::string& content : {std::string(), std::string("hello"), std::string(4096, 'x')}) {
    testing_support::WriteWholeFile(dir.File("x"), content);
    EXPECT_EQ(STG_E_FILEALREADYEXISTS, platform::OpenStorageFile(dir.File("x"), kStorageMode, &root));
    EXPECT_EQ(STG_E_FILEALREADYEXISTS, platform::CreateStorageFile(dir.File("x"), kStorageMode, &root));
    EXPECT_EQ(content, testing_support::ReadWholeFile(dir.File("x")));
  }
}

TEST(StorageTest, EnumerationIsSortedByLengthThenUpperCase) {
  TempDir dir;
  std::unique_ptr<Storage> root;
  ASSERT_EQ(S_OK, platform::CreateStorageFile(dir.File("a"), kStorageMode, &root));
  for (const char16_t* name : {u"_Version_", u"68962", u"ABD", u"2852926", u"b", u"abc", u"11374"}) {
    std::unique_ptr<Stream> s;
    ASSERT_EQ(S_OK, root->CreateStream(name, kStorageMode, &s));
  }
  std::vector<std::u16string> expected = {u"b",     u"abc",     u"ABD",      u"11374",
                                          u"68962", u"2852926", u"_Version_"};
  EXPECT_EQ(expected, Names(root.get()));
  // A snapshot from the first Next: an element created after it is not
  // listed, one destroyed after it is left out, the rest come in order.
  std::unique_ptr<platform::ElementEnumerator> e;
  ASSERT_EQ(S_OK, root->EnumElements(&e));
  ElementStat stat;
  ASSERT_EQ(S_OK, e->Next(&stat));
  EXPECT_EQ(u"b", stat.name);
  std::unique_ptr<Stream> s;
  ASSERT_EQ(S_OK, root->CreateStream(u"zz", kStorageMode, &s));
  ASSERT_EQ(S_OK, root->DestroyElement(u"ABD"));
  std::vector<std::u16string> rest;
  while (e->Next(&stat) == S_OK) {
    rest.push_back(stat.name);
    EXPECT_EQ(ElementType::kStream, stat.type);
  }
  EXPECT_EQ((std::vector<std::u16string>{u"abc", u"11374", u"68962", u"2852926", u"_Version_"}),
            rest);
  EXPECT_EQ(S_FALSE, e->Next(&stat));
}

TEST(StorageTest, DestroyRemovesStorageWithContentsAndRevertsOpenObjects) {
  TempDir dir;
  std::string path = dir.File("a");
  std::unique_ptr<Storage> root;
  ASSERT_EQ(S_OK, platform::CreateStorageFile(path, kStorageMode, &root));
  std::unique_ptr<Storage> domain, user;
  ASSERT_EQ(S_OK, root->CreateStorage(u"VELOX", kStorageMode, &domain));
  ASSERT_EQ(S_OK, domain->CreateStorage(u"TORVI", kStorageMode, &user));
  std::unique_ptr<Stream> task, keep;
  ASSERT_EQ(S_OK, user->CreateStream(u"1", kStorageMode, &task));
  ASSERT_EQ(S_OK, WriteAll(task.get(), Bytes(5000, 4)));
  ASSERT_EQ(S_OK, root->CreateStream(u"keep", kStorageMode, &keep));
  ASSERT_EQ(S_OK, WriteAll(keep.get(), Bytes(100, 5)));
  ASSERT_EQ(S_OK, root->DestroyElement(u"velox"));
  EXPECT_EQ(STG_E_REVERTED, WriteAll(task.get(), "x"));
  std::unique_ptr<Stream> s;
  EXPECT_EQ(STG_E_REVERTED, user->CreateStream(u"2", kStorageMode, &s));
  EXPECT_EQ(std::vector<std::u16string>{u"keep"}, Names(root.get()));
  task.reset();
  user.reset();
  domain.reset();
  // Released root: its children fail.
  root.reset();
  EXPECT_EQ(STG_E_REVERTED, WriteAll(keep.get(), "x"));
  keep.reset();
  EXPECT_EQ("F keep 100 " + testing_support::Hex(Bytes(100, 5)) + "\n", OlefileDump(path));
  EXPECT_EQ("", Check(path));
}

TEST(StorageTest, StreamsMoveAcrossTheCutoffBothWays) {
  TempDir dir;
  std::string path = dir.File("a");
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Create(path, &file));
  uint32_t id;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"s", cfb::kTypeStream, &id));
  std::string content = Bytes(4095, 6);
  ASSERT_EQ(S_OK, file->WriteStream(id, 0, content.data(), 4095));
  ASSERT_EQ(S_OK, file->WriteStream(id, 4095, "z", 1));  // reaches 4096
  content += "z";
  for (uint64_t size : {4096u, 4095u, 100u, 9000u, 64u, 0u, 5000u}) {
    ASSERT_EQ(S_OK, file->ResizeStream(id, size)) << size;
    std::string expected = content.substr(0, size);
    expected.resize(size, '\0');
    std::string got(size, '\0');
    uint32_t read = 0;
    ASSERT_EQ(S_OK, file->ReadStream(id, 0, &got[0], static_cast<uint32_t>(size), &read));
    EXPECT_EQ(size, read);
    EXPECT_EQ(expected, got) << size;
    content = expected;
    std::string problems;
    ASSERT_EQ(S_OK, file->Check(&problems));
    EXPECT_EQ("", problems) << size;
  }
  ASSERT_EQ(S_OK, file->Close());
  EXPECT_EQ("F s 5000 " + testing_support::Hex(content) + "\n", OlefileDump(path));
}

}  // namespace

namespace {

// The tree as the engine reads it, in the form of OlefileDump.
void DumpStorage(Storage* storage, const std::string& prefix, std::vector<std::string>* lines) {
  std::unique_ptr<platform::ElementEnumerator> e;
  ASSERT_EQ(S_OK, storage->EnumElements(&e));
  ElementStat stat;
  while (e->Next(&stat) == S_OK) {
    std::string name(stat.name.begin(), stat.name.end());  // ASCII names here
    std::string path = prefix.empty() ? name : prefix + "/" + name;
    if (stat.type == ElementType::kStorage) {
      lines->push_back("S " + path);
      std::unique_ptr<Storage> sub;
      ASSERT_EQ(S_OK, storage->OpenStorage(stat.name, kStorageMode, &sub));
      DumpStorage(sub.get(), path, lines);
    } else {
      std::unique_ptr<Stream> s;
      ASSERT_EQ(S_OK, storage->OpenStream(stat.name, kStorageMode, &s));
      std::string bytes = ReadAll(s.get());
      EXPECT_EQ(stat.size, bytes.size());
      lines->push_back("F " + path + " " + std::to_string(bytes.size()) + " " +
                       testing_support::Hex(bytes));
    }
  }
}

std::string EngineDump(const std::string& path) {
  std::unique_ptr<Storage> root;
  HRESULT hr = platform::OpenStorageFile(path, kStorageMode, &root);
  if (FAILED(hr)) return "open failed";
  std::vector<std::string> lines;
  DumpStorage(root.get(), "", &lines);
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

TEST(StorageTest, ReadsFilesWrittenByWindowsStructuredStorage) {
  TempDir dir;
  for (const char* name : {"basic.CNF", "domains.CNF", "empty.CNF", "v616.CNF"}) {
    std::string path = dir.File(name);
    testing_support::WriteWholeFile(
        path, testing_support::ReadWholeFile(testing_support::FixturePath(std::string("615/") + name)));
    std::string expected = OlefileDump(path);
    ASSERT_EQ(std::string::npos, expected.find("ERROR")) << name;
    EXPECT_EQ(expected, EngineDump(path)) << name;
    // Changed in place, the file stays consistent for both readers.
    {
      std::unique_ptr<Storage> root;
      ASSERT_EQ(S_OK, platform::OpenStorageFile(path, kStorageMode, &root));
      std::unique_ptr<Stream> s;
      ASSERT_EQ(S_OK, root->CreateStream(u"Added", kStorageMode, &s));
      ASSERT_EQ(S_OK, WriteAll(s.get(), "abc"));
    }
    EXPECT_EQ(OlefileDump(path), EngineDump(path)) << name;
    EXPECT_NE(std::string::npos, OlefileDump(path).find("F Added 3 616263")) << name;
    // Their writer leaves trees uncoloured; the tree the engine changed is
    // rebuilt valid, the others are left as they were.
    std::string problems = Check(path);
    std::string other;
    size_t at = 0;
    while (at < problems.size()) {
      size_t end = problems.find('\n', at);
      std::string line = problems.substr(at, end - at);
      if (line.rfind("tree of entry ", 0) != 0 || line.rfind("tree of entry 0:", 0) == 0) {
        other += line + "\n";
      }
      at = end + 1;
    }
    EXPECT_EQ("", other) << name;
  }
}

TEST(StorageTest, SortedInsertionsKeepTheTreeBalanced) {
  TempDir dir;
  std::string path = dir.File("a");
  std::unique_ptr<cfb::CompoundFile> file;
  ASSERT_EQ(S_OK, cfb::CompoundFile::Create(path, &file));
  uint32_t common;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"_Common_", cfb::kTypeStorage, &common));
  char name[16];
  for (int i = 1; i <= 3000; ++i) {
    snprintf(name, sizeof(name), "Task%04d", i);
    uint32_t id;
    ASSERT_EQ(S_OK, file->CreateElement(common, std::u16string(name, name + 8), cfb::kTypeStream, &id));
  }
  for (int i = 1; i <= 3000; i += 3) {
    snprintf(name, sizeof(name), "task%04d", i);
    std::vector<uint32_t> gone;
    ASSERT_EQ(S_OK, file->DestroyElement(common, std::u16string(name, name + 8), &gone));
  }
  std::string problems;
  ASSERT_EQ(S_OK, file->Check(&problems));  // includes the red-black rules
  EXPECT_EQ("", problems);
  ASSERT_EQ(S_OK, file->Close());
  std::string dump = OlefileDump(path);
  EXPECT_EQ(std::string::npos, dump.find("ERROR"));
  EXPECT_EQ(EngineDump(path), dump);
}

}  // namespace

// A rename keeps the element (its contents and its place as an open
// object's target) and leaves a valid red-black tree in name order, also
// after many renames in a large storage, so that every name is found again.
TEST(StorageTest, RenameResultCodesAndTheTreeStaysValid) {
  TempDir dir;
  std::string path = dir.File("r.cnf");
  {
    std::unique_ptr<Storage> root, sub;
    std::unique_ptr<Stream> s;
    ASSERT_EQ(S_OK, platform::CreateStorageFile(path, kStorageMode, &root));
    ASSERT_EQ(S_OK, root->CreateStorage(u"Store", kStorageMode, &sub));
    for (int i = 0; i < 200; ++i) {
      std::u16string name = u"n" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                            std::u16string(i / 26 + 1, u'x');
      ASSERT_EQ(S_OK, sub->CreateStream(name, kStorageMode, &s));
      ASSERT_EQ(S_OK, WriteAll(s.get(), Bytes(10 + i, i)));
    }
    ASSERT_EQ(S_OK, root->CreateStream(u"Open", kStorageMode, &s));
    ASSERT_EQ(S_OK, root->CreateStream(u"Other", kStorageMode, &s));
    EXPECT_EQ(STG_E_ACCESSDENIED, root->RenameElement(u"other", u"Third"));
    EXPECT_EQ(STG_E_ACCESSDENIED, root->RenameElement(u"Store", u"Shop"));
    s.reset();
    sub.reset();
    EXPECT_EQ(STG_E_FILENOTFOUND, root->RenameElement(u"missing", u"x"));
    EXPECT_EQ(STG_E_FILEALREADYEXISTS, root->RenameElement(u"Open", u"OTHER"));
    EXPECT_EQ(STG_E_FILEALREADYEXISTS, root->RenameElement(u"Open", u"store"));
    for (const std::u16string& bad :
         {std::u16string(32, u'a'), std::u16string(), std::u16string(u"a/b"),
          std::u16string(u"a:b"), std::u16string(u"a\0b", 3)}) {
      EXPECT_EQ(STG_E_INVALIDNAME, root->RenameElement(u"Open", bad)) << Utf8(bad);
    }
    EXPECT_EQ(S_OK, root->RenameElement(u"Open", u"Open"));
    EXPECT_EQ(S_OK, root->RenameElement(u"open", u"OPEN"));  // a change of case alone
    EXPECT_EQ(S_OK, root->RenameElement(u"other", u"Zeta"));
    ASSERT_EQ(S_OK, root->OpenStorage(u"Store", kStorageMode, &sub));
    for (int i = 0; i < 200; i += 3) {
      std::u16string name = u"n" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                            std::u16string(i / 26 + 1, u'x');
      ASSERT_EQ(S_OK, sub->RenameElement(name, u"r" + name)) << Utf8(name);
    }
    EXPECT_EQ((std::vector<std::u16string>{u"OPEN", u"Zeta", u"Store"}), Names(root.get()));
    ASSERT_EQ(S_OK, sub->OpenStream(u"rnAx", kStorageMode, &s));
    EXPECT_EQ(Bytes(10, 0), ReadAll(s.get()));
    s.reset();
    EXPECT_EQ(STG_E_FILENOTFOUND, sub->OpenStream(u"nAx", kStorageMode, &s));
  }
  EXPECT_EQ("", Check(path));
  std::string dump = OlefileDump(path);
  EXPECT_NE(std::string::npos, dump.find("F Store/rnAx 10 ")) << dump.substr(0, 300);
  EXPECT_NE(std::string::npos, dump.find("F OPEN 0 \n")) << dump.substr(0, 300);
  EXPECT_EQ(std::string::npos, dump.find("F Store/nAx ")) << dump.substr(0, 300);
}

namespace {

// A file written by libgsf's own writer (`gsf createole`), whose trees are
// chains of black nodes in libgsf's order, with names outside ASCII: every
// element is listed, found by its name in either letter case, and read; the
// first change rebuilds the tree, which is then valid, and both readers
// agree with the engine.
TEST(StorageTest, AFileWrittenByLibgsfWithNamesOutsideAsciiIsReadWholeAndChanged) {
  TempDir dir;
  const std::vector<std::string> names = {"\xC2\xB5", "\xC5\x92", "\xC3\xA4", "\xC3\x96",
                                          "B\xC3\xBCro", "abc", "ABD", "zz"};
  std::vector<std::string> argv = {"/usr/bin/gsf", "createole", dir.File("gsf.cnf")};
  for (const std::string& name : names) {
    testing_support::WriteWholeFile(dir.File(name), "data of " + name);
    argv.push_back(name);
  }
  testing_support::RunResult made = testing_support::Run(argv, dir.path());
  ASSERT_EQ(0, made.exit_status) << made.err;
  const std::string path = dir.File("gsf.cnf");
  {
    std::unique_ptr<Storage> root;
    ASSERT_EQ(S_OK, platform::OpenStorageFile(path, kStorageMode, &root));
    std::vector<std::string> listed;
    for (const std::u16string& name : Names(root.get())) listed.push_back(Utf8(name));
    std::vector<std::string> expected = names;
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, listed);
    for (const std::u16string& name : Names(root.get())) {
      std::u16string upper = name;
      for (char16_t& c : upper) c = platform::UpperCaseChar(c);
      for (const std::u16string& asked : {name, upper}) {
        std::unique_ptr<Stream> stream;
        ASSERT_EQ(S_OK, root->OpenStream(asked, kStorageMode, &stream)) << Utf8(asked);
        EXPECT_EQ("data of " + Utf8(name), ReadAll(stream.get()));
      }
    }
    std::unique_ptr<Stream> added;
    ASSERT_EQ(S_OK, root->CreateStream(u"\u00C9t\u00E9", kStorageMode, &added));
    ASSERT_EQ(S_OK, WriteAll(added.get(), "new"));
  }
  EXPECT_EQ("", cfb_test::CheckFile(path));
  std::string dump = cfb_test::EngineDump(path);
  EXPECT_EQ(OlefileDump(path), dump);
  EXPECT_EQ(cfb_test::AsGsfLists(dump), cfb_test::GsfDump(path));
  EXPECT_NE(std::string::npos, dump.find("F \xC3\x89t\xC3\xA9 3 6e6577")) << dump;
}

}  // namespace

// A held file moved keeps its lock under its new name: no other open can
// change it until the scope lets it go.
TEST(StorageTest, AMovedFileStaysHeld) {
  testing_support::TempDir dir;
  const std::string path = dir.File("a.CNF"), moved = dir.File("b.CNF");
  {
    std::unique_ptr<platform::Storage> root;
    ASSERT_EQ(platform::CreateStorageFile(path, platform::kStorageMode, &root), S_OK);
  }
  platform::StorageScope scope;
  {
    std::unique_ptr<platform::Storage> root;
    ASSERT_EQ(platform::OpenStorageFile(path, platform::kStorageMode, &root), S_OK);
  }
  ASSERT_EQ(platform::MoveStorageFile(path, moved), 0);
  EXPECT_FALSE(testing_support::PathExists(path));
  std::unique_ptr<platform::File> other;
  ASSERT_EQ(platform::FileSystem::Platform()->Open(moved, platform::OpenMode::kReadWrite, &other),
            0);
  EXPECT_EQ(other->LockExclusive(), EWOULDBLOCK);
  other.reset();
  scope.Commit();
  ASSERT_EQ(platform::FileSystem::Platform()->Open(moved, platform::OpenMode::kReadWrite, &other),
            0);
  EXPECT_EQ(other->LockExclusive(), 0);
}

// A scope begun inside another (a program run inside this process) holds
// its own files, as another process would: the outer scope's file is
// locked to it, and stays held, uncommitted, until the outer scope commits.
TEST(StorageTest, AScopeInsideAnotherHoldsOnlyItsOwnFiles) {
  testing_support::TempDir dir;
  const std::string outer_path = dir.File("outer.CNF"), inner_path = dir.File("inner.CNF");
  {
    std::unique_ptr<Storage> root;
    ASSERT_EQ(platform::CreateStorageFile(outer_path, kStorageMode, &root), S_OK);
  }
  const std::string before = testing_support::ReadWholeFile(outer_path);
  auto write_stream = [](const std::string& path, bool create) {
    std::unique_ptr<Storage> root;
    std::unique_ptr<Stream> stream;
    HRESULT hr = create ? platform::CreateStorageFile(path, kStorageMode, &root)
                        : platform::OpenStorageFile(path, kStorageMode, &root);
    if (SUCCEEDED(hr)) hr = root->CreateStream(u"s", kStorageMode, &stream);
    if (SUCCEEDED(hr)) hr = WriteAll(stream.get(), path);
    return hr;
  };
  auto read_stream = [](const std::string& path) {
    std::unique_ptr<Storage> root;
    std::unique_ptr<Stream> stream;
    if (FAILED(platform::OpenStorageFile(path, kStorageMode, &root)) ||
        FAILED(root->OpenStream(u"s", kStorageMode, &stream))) {
      return std::string("(none)");
    }
    return ReadAll(stream.get());
  };

  platform::StorageScope outer;
  ASSERT_EQ(write_stream(outer_path, false), S_OK);
  {
    platform::StorageScope inner;
    std::unique_ptr<Storage> root;
    EXPECT_EQ(platform::OpenStorageFile(outer_path, kStorageMode, &root), STG_E_SHAREVIOLATION);
    ASSERT_EQ(write_stream(inner_path, true), S_OK);
    EXPECT_TRUE(inner.Commit().empty());
  }
  EXPECT_EQ(read_stream(inner_path), inner_path);
  EXPECT_EQ(testing_support::ReadWholeFile(outer_path), before) << "committed by the inner scope";
  EXPECT_EQ(read_stream(outer_path), outer_path) << "the outer scope's change is still held";
  EXPECT_TRUE(outer.Commit().empty());
  EXPECT_NE(testing_support::ReadWholeFile(outer_path), before);
  EXPECT_EQ(read_stream(outer_path), outer_path);
}
