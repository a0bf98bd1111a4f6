// Structured storage of the Windows build, run under Wine: the result codes,
// ordering and write rules that both builds share, through ole32.
#include "platform/storage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/windows/backend/windows_test_support.h"

namespace platform {
namespace {

using windows_testing::RunningUnderWine;
using windows_testing::TempFolder;
using windows_testing::WriteWholeFile;

constexpr uint32_t kMode = kStorageMode;

std::unique_ptr<Storage> NewFile(const std::string& path) {
  std::unique_ptr<Storage> root;
  EXPECT_EQ(S_OK, CreateStorageFile(path, kMode, &root));
  return root;
}

void WriteStream(Storage* parent, const std::u16string& name, const std::string& bytes) {
  std::unique_ptr<Stream> stream;
  ASSERT_EQ(S_OK, parent->CreateStream(name, kMode, &stream));
  uint32_t written = 0;
  ASSERT_EQ(S_OK, stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
  ASSERT_EQ(bytes.size(), written);
}

std::string ReadStream(Storage* parent, const std::u16string& name) {
  std::unique_ptr<Stream> stream;
  if (parent->OpenStream(name, kMode, &stream) != S_OK) return "<absent>";
  std::string bytes;
  char buffer[1000];
  uint32_t read = 0;
  while (stream->Read(buffer, sizeof(buffer), &read) == S_OK && read > 0) {
    bytes.append(buffer, read);
  }
  return bytes;
}

std::vector<ElementStat> List(Storage* storage) {
  std::vector<ElementStat> all;
  std::unique_ptr<ElementEnumerator> enumerator;
  EXPECT_EQ(S_OK, storage->EnumElements(&enumerator));
  if (!enumerator) return all;
  ElementStat stat;
  while (enumerator->Next(&stat) == S_OK) all.push_back(stat);
  return all;
}

TEST(StorageWindows, FileLevelResults) {
  TempFolder dir;
  std::unique_ptr<Storage> root;
  EXPECT_EQ(STG_E_FILENOTFOUND, OpenStorageFile(dir.File("missing.cnf"), kMode, &root));
  EXPECT_EQ(STG_E_PATHNOTFOUND, OpenStorageFile(dir.File("no\\such.cnf"), kMode, &root));
  EXPECT_EQ(nullptr, root);

  WriteWholeFile(dir.File("text.cnf"), "not a compound file");
  WriteWholeFile(dir.File("empty.cnf"), "");
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, OpenStorageFile(dir.File("text.cnf"), kMode, &root));
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, OpenStorageFile(dir.File("empty.cnf"), kMode, &root));
  // Create never replaces a file, whatever it holds.
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, CreateStorageFile(dir.File("text.cnf"), kMode, &root));
  EXPECT_EQ("not a compound file", windows_testing::ReadWholeFile(dir.File("text.cnf")));

  const std::string cnf = dir.File("a.cnf");
  NewFile(cnf).reset();
  EXPECT_EQ(STG_E_FILEALREADYEXISTS, CreateStorageFile(cnf, kMode, &root));
  EXPECT_EQ(STG_E_INVALIDFLAG, OpenStorageFile(cnf, kMode | 0x1000 /* STGM_CREATE */, &root));
  EXPECT_EQ(STG_E_INVALIDFLAG, OpenStorageFile(cnf, 2 /* not share-exclusive */, &root));
  EXPECT_EQ(STG_E_INVALIDFLAG, CreateStorageFile(dir.File("b.cnf"), 2, &root));

  // The file is held exclusively until the root is released.
  ASSERT_EQ(S_OK, OpenStorageFile(cnf, kMode, &root));
  std::unique_ptr<Storage> second;
  EXPECT_EQ(STG_E_SHAREVIOLATION, OpenStorageFile(cnf, kMode, &second));
  root.reset();
  EXPECT_EQ(S_OK, OpenStorageFile(cnf, kMode, &second));
}

// kStorageReadMode (STGM_READ | STGM_SHARE_DENY_WRITE): readers share the
// file and keep writers out; below the root elements are read with
// kStorageMode asked for, and every change is refused.
TEST(StorageWindows, AReadOnlyRootReadsAndRefusesEveryChange) {
  TempFolder dir;
  const std::string cnf = dir.File("a.cnf");
  {
    std::unique_ptr<Storage> root = NewFile(cnf);
    ASSERT_TRUE(root);
    std::unique_ptr<Storage> area;
    ASSERT_EQ(S_OK, root->CreateStorage(u"_Common_", kMode, &area));
    WriteStream(area.get(), u"101", "task");
  }
  std::unique_ptr<Storage> first, second, writer;
  ASSERT_EQ(S_OK, OpenStorageFile(cnf, kStorageReadMode, &first));
  ASSERT_EQ(S_OK, OpenStorageFile(cnf, kStorageReadMode, &second));
  EXPECT_NE(S_OK, OpenStorageFile(cnf, kMode, &writer));
  second.reset();
  std::unique_ptr<Storage> area;
  ASSERT_EQ(S_OK, first->OpenStorage(u"_Common_", kMode, &area));
  EXPECT_EQ("task", ReadStream(area.get(), u"101"));
  std::unique_ptr<Stream> stream;
  ASSERT_EQ(S_OK, area->OpenStream(u"101", kMode, &stream));
  uint32_t written = 7;
  EXPECT_EQ(STG_E_ACCESSDENIED, stream->Write("x", 1, &written));
  EXPECT_EQ(0u, written);
  stream.reset();
  std::unique_ptr<Storage> made;
  EXPECT_EQ(STG_E_ACCESSDENIED, area->CreateStream(u"102", kMode, &stream));
  EXPECT_EQ(STG_E_ACCESSDENIED, first->CreateStorage(u"New", kMode, &made));
  EXPECT_EQ(STG_E_ACCESSDENIED, area->DestroyElement(u"101"));
  EXPECT_EQ(STG_E_ACCESSDENIED, first->RenameElement(u"_Common_", u"Other"));
  EXPECT_EQ(STG_E_INVALIDFLAG, CreateStorageFile(dir.File("b.cnf"), kStorageReadMode, &made));
  area.reset();
  first.reset();

  // Rebolan's export keeps its read-write open here.
  EXPECT_FALSE(ExportReadsUnwritableFiles());
}

TEST(StorageWindows, ElementLevelResults) {
  TempFolder dir;
  std::unique_ptr<Storage> root = NewFile(dir.File("a.cnf"));
  ASSERT_TRUE(root);
  WriteStream(root.get(), u"Task", "x");
  std::unique_ptr<Storage> area;
  ASSERT_EQ(S_OK, root->CreateStorage(u"_Common_", kMode, &area));
  area.reset();

  std::unique_ptr<Stream> stream;
  std::unique_ptr<Storage> storage;
  struct Case {
    const char* what;
    HRESULT got;
    HRESULT expected;
  };
  const std::u16string name31(31, u'n');
  const std::u16string name32(32, u'n');
  const Case cases[] = {
      {"open a missing stream", root->OpenStream(u"none", kMode, &stream), STG_E_FILENOTFOUND},
      {"open a missing storage", root->OpenStorage(u"none", kMode, &storage),
       STG_E_FILENOTFOUND},
      {"destroy a missing name", root->DestroyElement(u"none"), STG_E_FILENOTFOUND},
      {"stream opened as storage", root->OpenStorage(u"Task", kMode, &storage),
       STG_E_FILENOTFOUND},
      {"storage opened as stream", root->OpenStream(u"_Common_", kMode, &stream),
       STG_E_FILENOTFOUND},
      {"create, other letter case", root->CreateStream(u"TASK", kMode, &stream),
       STG_E_FILEALREADYEXISTS},
      {"create storage over a stream", root->CreateStorage(u"task", kMode, &storage),
       STG_E_FILEALREADYEXISTS},
      {"stream not share-exclusive", root->OpenStream(u"Task", 2, &stream), STG_E_INVALIDFLAG},
      {"storage not share-exclusive", root->OpenStorage(u"_Common_", 2, &storage),
       STG_E_INVALIDFLAG},
      {"name of 32 characters", root->CreateStream(name32, kMode, &stream), STG_E_INVALIDNAME},
      {"name of 31 characters", root->CreateStream(name31, kMode, &stream), S_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, c.got) << c.what;
  stream.reset();

  // Names match without regard to letter case; the stored spelling stays.
  ASSERT_EQ(S_OK, root->OpenStream(u"tASK", kMode, &stream));
  std::unique_ptr<Stream> again;
  EXPECT_EQ(STG_E_ACCESSDENIED, root->OpenStream(u"Task", kMode, &again));
  stream.reset();
  EXPECT_EQ(u"Task", List(root.get())[0].name);
}

TEST(StorageWindows, EnumerationIsSortedShorterNamesFirst) {
  TempFolder dir;
  std::unique_ptr<Storage> root = NewFile(dir.File("a.cnf"));
  ASSERT_TRUE(root);
  for (const char16_t* name : {u"_Version_", u"68962", u"b", u"ABD", u"2852926", u"abc",
                               u"11374"}) {
    WriteStream(root.get(), name, std::string(7, 'x'));
  }
  std::unique_ptr<Storage> area;
  ASSERT_EQ(S_OK, root->CreateStorage(u"Zz", kMode, &area));
  area.reset();

  std::vector<std::u16string> names;
  for (const ElementStat& stat : List(root.get())) {
    names.push_back(stat.name);
    EXPECT_EQ(stat.name == u"Zz" ? ElementType::kStorage : ElementType::kStream, stat.type);
    EXPECT_EQ(stat.name == u"Zz" ? 0u : 7u, stat.size);
  }
  const std::vector<std::u16string> expected = {u"b",     u"Zz",      u"abc",      u"ABD",
                                                u"11374", u"68962",   u"2852926",  u"_Version_"};
  EXPECT_EQ(expected, names);
}

TEST(StorageWindows, StreamWriteSeekAndRead) {
  TempFolder dir;
  std::unique_ptr<Storage> root = NewFile(dir.File("a.cnf"));
  ASSERT_TRUE(root);
  WriteStream(root.get(), u"s", std::string(300, 'a'));

  std::unique_ptr<Stream> stream;
  ASSERT_EQ(S_OK, root->OpenStream(u"s", kMode, &stream));
  uint32_t written = 0;
  ASSERT_EQ(S_OK, stream->Write("bb", 2, &written));  // at position 0
  uint64_t position = 99;
  EXPECT_EQ(S_OK, stream->Seek(0, SeekOrigin::kEnd, &position));
  EXPECT_EQ(300u, position);  // a write never shortens
  // Before the start is refused from every origin and leaves the position.
  // Wine's ole32 alone would accept it (Windows does not); the backend
  // checks first.
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(-1, SeekOrigin::kSet, &position));
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(-301, SeekOrigin::kEnd, &position));
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(-301, SeekOrigin::kCurrent, &position));
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->Seek(INT64_MIN, SeekOrigin::kCurrent, &position));
  EXPECT_EQ(S_OK, stream->Seek(-300, SeekOrigin::kCurrent, &position));
  EXPECT_EQ(0u, position);
  EXPECT_EQ(S_OK, stream->Seek(400, SeekOrigin::kSet, &position));
  char buffer[8];
  uint32_t read = 7;
  EXPECT_EQ(S_OK, stream->Read(buffer, sizeof(buffer), &read));
  EXPECT_EQ(0u, read);  // past the end
  // A write past the end extends the stream to its end.
  ASSERT_EQ(S_OK, stream->Write("c", 1, &written));
  stream.reset();
  root.reset();

  ASSERT_EQ(S_OK, OpenStorageFile(dir.File("a.cnf"), kMode, &root));
  std::string bytes = ReadStream(root.get(), u"s");
  ASSERT_EQ(401u, bytes.size());
  EXPECT_EQ("bb" + std::string(298, 'a'), bytes.substr(0, 300));
  EXPECT_EQ(std::string(100, '\0'), bytes.substr(300, 100));
  EXPECT_EQ('c', bytes[400]);
}

// A write past the end fills the gap with zeros, also where the new sectors
// held a destroyed stream's bytes (Wine's ole32 alone would show them).
TEST(StorageWindows, GapBeforeAWritePastTheEndIsZero) {
  TempFolder dir;
  std::unique_ptr<Storage> root = NewFile(dir.File("a.cnf"));
  ASSERT_TRUE(root);
  for (uint32_t size : {3000u, 20000u}) {  // in the mini stream and in sectors
    WriteStream(root.get(), u"secret", std::string(size, '\xAA'));
    WriteStream(root.get(), u"grown", "x");
    ASSERT_EQ(S_OK, root->DestroyElement(u"secret"));
    std::unique_ptr<Stream> stream;
    ASSERT_EQ(S_OK, root->OpenStream(u"grown", kMode, &stream));
    ASSERT_EQ(S_OK, stream->Seek(size - 10, SeekOrigin::kSet, nullptr));
    uint32_t written = 0;
    ASSERT_EQ(S_OK, stream->Write("end", 3, &written));
    EXPECT_EQ(3u, written);
    stream.reset();
    EXPECT_EQ("x" + std::string(size - 11, '\0') + "end", ReadStream(root.get(), u"grown"))
        << size;
    ASSERT_EQ(S_OK, root->DestroyElement(u"grown"));
  }
}

TEST(StorageWindows, DestroyAndRevert) {
  TempFolder dir;
  std::unique_ptr<Storage> root = NewFile(dir.File("a.cnf"));
  ASSERT_TRUE(root);
  std::unique_ptr<Storage> domain;
  ASSERT_EQ(S_OK, root->CreateStorage(u"Domain", kMode, &domain));
  std::unique_ptr<Storage> user;
  ASSERT_EQ(S_OK, domain->CreateStorage(u"User", kMode, &user));
  WriteStream(user.get(), u"Task", "abc");
  user.reset();
  domain.reset();

  // Destroying a storage takes everything inside it along.
  EXPECT_EQ(S_OK, root->DestroyElement(u"DOMAIN"));
  EXPECT_TRUE(List(root.get()).empty());
  ASSERT_EQ(S_OK, root->CreateStorage(u"Domain", kMode, &domain));
  EXPECT_TRUE(List(domain.get()).empty());
  domain.reset();

  // An open stream whose element is destroyed, or whose root is released,
  // fails with STG_E_REVERTED.
  WriteStream(root.get(), u"gone", "abc");
  std::unique_ptr<Stream> stream;
  ASSERT_EQ(S_OK, root->OpenStream(u"gone", kMode, &stream));
  EXPECT_EQ(S_OK, root->DestroyElement(u"gone"));
  char buffer[4];
  uint32_t read = 0;
  EXPECT_EQ(STG_E_REVERTED, stream->Read(buffer, sizeof(buffer), &read));
  WriteStream(root.get(), u"kept", "abc");
  ASSERT_EQ(S_OK, root->OpenStream(u"kept", kMode, &stream));
  root.reset();
  EXPECT_EQ(STG_E_REVERTED, stream->Read(buffer, sizeof(buffer), &read));
}

// The compound file format forbids empty names and names holding NUL, '/',
// '\', ':' or '!'. Wine's ole32 accepts them all and writes them into the file;
// the backend refuses them before ole32 is called, as the POSIX engine does,
// so that neither build ever writes such a name.
TEST(StorageWindows, ForbiddenNamesAreRefusedThoughWineAcceptsThem) {
  TempFolder dir;
  std::unique_ptr<Storage> root = NewFile(dir.File("a.cnf"));
  ASSERT_TRUE(root);
  const std::u16string forbidden[] = {u"", u"a/b", u"a\\b", u"a:b", u"a!b",
                                      std::u16string(u"a\0b", 3)};
  for (const std::u16string& name : forbidden) {
    std::unique_ptr<Stream> stream;
    std::unique_ptr<Storage> storage;
    EXPECT_EQ(STG_E_INVALIDNAME, root->CreateStream(name, kMode, &stream));
    EXPECT_EQ(STG_E_INVALIDNAME, root->CreateStorage(name, kMode, &storage));
    EXPECT_EQ(STG_E_INVALIDNAME, root->OpenStream(name, kMode, &stream));
    EXPECT_EQ(STG_E_INVALIDNAME, root->DestroyElement(name));
  }
  EXPECT_TRUE(List(root.get()).empty());
  root.reset();

  // ole32 itself, called directly.
  IStorage* raw = nullptr;
  const std::string narrow = dir.File("raw.cnf");  // ASCII only
  const std::wstring raw_path(narrow.begin(), narrow.end());
  ASSERT_EQ(S_OK, StgCreateDocfile(raw_path.c_str(), kMode, 0, &raw));
  const wchar_t* raw_names[] = {L"a/b", L"a\\b", L"a:b", L"a!b", L""};
  for (const wchar_t* name : raw_names) {
    IStream* stream = nullptr;
    HRESULT hr = raw->CreateStream(name, kMode, 0, 0, &stream);
    if (stream != nullptr) stream->Release();
    if (RunningUnderWine()) {
      EXPECT_EQ(S_OK, hr) << "Wine's ole32 now refuses such names: drop this branch";
    } else {
      EXPECT_EQ(STG_E_INVALIDNAME, hr);
    }
  }
  raw->Release();
}

// The format matches names after simple upper-casing of every UTF-16 unit,
// so "\u00E9t\u00E9" and "\u00C9T\u00C9" are one name, as on Windows and in
// the engine. Wine's ole32 folds only A-Z and takes them for two; the
// backend passes names to ole32 unchanged, so under Wine the lookup fails.
// The programs never depend on it: they open the names that enumeration gave.
TEST(StorageWindows, NonAsciiLetterCaseUnderWine) {
  TempFolder dir;
  std::unique_ptr<Storage> root = NewFile(dir.File("a.cnf"));
  ASSERT_TRUE(root);
  WriteStream(root.get(), u"\u00E9t\u00E9", "x");
  std::unique_ptr<Stream> stream;
  HRESULT hr = root->OpenStream(u"\u00C9T\u00C9", kMode, &stream);
  EXPECT_EQ(RunningUnderWine() ? STG_E_FILENOTFOUND : S_OK, hr);
}

TEST(StorageWindows, PathInTheAnsiCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs code page 1252, have " << GetACP();
  TempFolder dir;
  const std::string path = dir.File("Konfiguration \xE9\xFC.cnf");  // é ü
  std::unique_ptr<Storage> root = NewFile(path);
  ASSERT_TRUE(root);
  root.reset();
  std::wstring wide = L"\\Konfiguration \u00E9\u00FC.cnf";
  std::string folder = dir.path();
  wide.insert(wide.begin(), folder.begin(), folder.end());
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(wide.c_str()));
  EXPECT_EQ(S_OK, OpenStorageFile(path, kMode, &root));
}

}  // namespace
}  // namespace platform
