// The red-black trees of the directory under long runs of insertions and
// deletions in one storage; trees other writers left: read whole, rebuilt
// when changed, refused cleanly when they loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/dir_entry.h"
#include "platform/cfb/format.h"
#include "platform/storage.h"
#include "platform/upper_case.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/test_support.h"

namespace {

using cfb::CompoundFile;

struct NameLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    return cfb::CompareNames(a, b) < 0;
  }
};

std::vector<std::u16string> Children(CompoundFile* file, uint32_t storage) {
  std::vector<std::u16string> names;
  cfb::ChildCursor cursor;
  for (;;) {
    uint32_t id;
    cfb::DirEntry entry;
    HRESULT hr = file->NextChild(storage, &cursor, &id, &entry);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE);
    if (hr != S_OK) break;
    names.push_back(entry.name);
  }
  return names;
}

TEST(DirectoryTest, RandomInsertionsAndDeletionsKeepAValidTree) {
  testing_support::TempDir dir;
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(S_OK, CompoundFile::Create(dir.File("a.cnf"), &file));
  uint32_t storage;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"S", cfb::kTypeStorage, &storage));
  std::mt19937 random(7);
  std::set<std::u16string, NameLess> model;
  for (int step = 1; step <= 3000; ++step) {
    std::string digits = std::to_string(random() % 1500);
    std::u16string name(digits.begin(), digits.end());
    std::vector<uint32_t> gone;
    uint32_t id;
    if (model.count(name)) {
      ASSERT_EQ(S_OK, file->DestroyElement(storage, name, &gone));
      model.erase(name);
    } else {
      ASSERT_EQ(S_OK, file->CreateElement(storage, name, cfb::kTypeStream, &id));
      model.insert(name);
    }
    if (step % 100 == 0) {
      std::string problems;
      ASSERT_EQ(S_OK, file->Check(&problems));
      ASSERT_EQ("", problems) << "step " << step;
      ASSERT_EQ(std::vector<std::u16string>(model.begin(), model.end()), Children(file.get(), storage));
    }
  }
}

// Other writers' trees, made by relinking the entries of a file the engine
// wrote: the children of `parent`, in the in-order sequence `ids`, become a
// chain (each the right child of the one before) or a balanced tree, every
// node of colour `color` (Wine writes no colours: 0, red).
enum class Shape { kChain, kBalanced };

void Relink(const std::string& path, uint32_t parent, const std::vector<uint32_t>& ids,
            Shape shape, uint8_t color) {
  std::string bytes = testing_support::ReadWholeFile(path);
  std::vector<uint64_t> at = cfb_test::EntryOffsets(path);
  auto put32 = [&](uint64_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(v >> (8 * i));
  };
  // Links [low, high) below nothing yet; returns the subtree's top.
  std::function<uint32_t(size_t, size_t)> link = [&](size_t low, size_t high) -> uint32_t {
    if (low >= high) return cfb::NOSTREAM;
    size_t top = shape == Shape::kChain ? low : low + (high - low) / 2;
    uint64_t e = at[ids[top]];
    bytes[e + 0x43] = static_cast<char>(color);
    put32(e + 0x44, link(low, top));
    put32(e + 0x48, link(top + 1, high));
    return ids[top];
  };
  put32(at[parent] + 0x4C, link(0, ids.size()));
  testing_support::WriteWholeFile(path, bytes);
}

// The order of Wine's ole32: shorter first, then the units with only A-Z
// folded.
bool AsciiFoldLess(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char16_t x, char16_t y) { return fold(x) < fold(y); });
}

std::u16string Upper(std::u16string name) {
  for (char16_t& c : name) c = platform::UpperCaseChar(c);
  return name;
}

// Creates the streams `names` (each holding its name in UTF-8) and storages
// (names starting with "S:") in `storage`; returns their entries in the
// order `less` sorts the names.
std::vector<uint32_t> Fill(CompoundFile* file, uint32_t storage,
                           const std::vector<std::u16string>& names,
                           bool (*less)(const std::u16string&, const std::u16string&)) {
  std::vector<std::u16string> sorted = names;
  std::sort(sorted.begin(), sorted.end(), less);
  std::vector<uint32_t> ids;
  for (const std::u16string& name : sorted) {
    uint32_t id;
    std::string data = cfb_test::Utf8(name);
    EXPECT_EQ(S_OK, file->CreateElement(storage, name, cfb::kTypeStream, &id));
    EXPECT_EQ(S_OK, file->WriteStream(id, 0, data.data(), static_cast<uint32_t>(data.size())));
    ids.push_back(id);
  }
  return ids;
}

bool EngineLess(const std::u16string& a, const std::u16string& b) {
  return cfb::CompareNames(a, b) < 0;
}

// Names that Wine's order and the engine's sort differently: U+00B5 (upper
// case U+039C) against U+0152, lower-case letters with accents against
// upper-case ones.
const std::vector<std::u16string> kForeignNames = {
    u"\u00b5", u"\u0152", u"\u00e4", u"\u00d6", u"a", u"Z", u"\u00e9", u"E", u"B\u00fcro",
    u"Bz", u"b\u00e4r", u"BAUM", u"\u00c4x", u"\u00fcx", u"Uy"};

// A tree sorted by another comparison: every element is listed once, in the
// stored order, opened by its name and by its upper case, and read; the
// task of user U+0152 in domain "Büro" is reached. olefile and libgsf read it
// alike.
TEST(DirectoryTest, TreesSortedByAnotherOrderAreListedAndFoundWhole) {
  testing_support::TempDir dir;
  std::string path = dir.File("a.cnf");
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(S_OK, CompoundFile::Create(path, &file));
  uint32_t domain, user, task;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"B\u00fcro", cfb::kTypeStorage, &domain));
  ASSERT_EQ(S_OK, file->CreateElement(domain, u"\u0152", cfb::kTypeStorage, &user));
  ASSERT_EQ(S_OK, file->CreateElement(user, u"1", cfb::kTypeStream, &task));
  ASSERT_EQ(S_OK, file->WriteStream(task, 0, "task", 4));
  std::vector<std::u16string> in_domain = kForeignNames;
  in_domain.erase(std::find(in_domain.begin(), in_domain.end(), u"\u0152"));
  std::vector<uint32_t> domain_ids = Fill(file.get(), domain, in_domain, AsciiFoldLess);
  domain_ids.push_back(user);
  std::vector<std::u16string> in_root = kForeignNames;
  in_root.erase(std::find(in_root.begin(), in_root.end(), u"B\u00fcro"));
  std::vector<uint32_t> root_ids = Fill(file.get(), 0, in_root, AsciiFoldLess);
  root_ids.push_back(domain);
  ASSERT_EQ(S_OK, file->Close());
  auto by_name = [&](uint32_t a, uint32_t b) {
    cfb::DirEntry x, y;
    EXPECT_EQ(S_OK, file->Stat(a, &x));
    EXPECT_EQ(S_OK, file->Stat(b, &y));
    return AsciiFoldLess(x.name, y.name);
  };
  ASSERT_EQ(S_OK, CompoundFile::Open(path, &file));
  std::sort(root_ids.begin(), root_ids.end(), by_name);
  std::sort(domain_ids.begin(), domain_ids.end(), by_name);
  ASSERT_EQ(S_OK, file->Close());
  std::string before = cfb_test::EngineDump(path);
  Relink(path, 0, root_ids, Shape::kBalanced, cfb::kBlack);
  Relink(path, domain, domain_ids, Shape::kBalanced, cfb::kBlack);
  ASSERT_NE("", cfb_test::CheckFile(path)) << "the trees are not in the engine's order";
  EXPECT_EQ(before, cfb_test::EngineDump(path));
  EXPECT_EQ(before, testing_support::OlefileDump(path));
  EXPECT_EQ(cfb_test::AsGsfLists(before), cfb_test::GsfDump(path));

  std::unique_ptr<platform::Storage> root;
  ASSERT_EQ(S_OK, platform::OpenStorageFile(path, platform::kStorageMode, &root));
  std::function<void(platform::Storage*, const std::vector<std::u16string>&,
                     const std::u16string&)>
      verify = [&](platform::Storage* storage, const std::vector<std::u16string>& expected,
                   const std::u16string& storage_name) {
        std::vector<std::u16string> listed;
        std::unique_ptr<platform::ElementEnumerator> e;
        ASSERT_EQ(S_OK, storage->EnumElements(&e));
        platform::ElementStat stat;
        HRESULT hr;
        while ((hr = e->Next(&stat)) == S_OK) listed.push_back(stat.name);
        ASSERT_EQ(S_FALSE, hr);
        EXPECT_EQ(expected, listed);
        for (const std::u16string& name : listed) {
          for (const std::u16string& spelling : {name, Upper(name)}) {
            std::unique_ptr<platform::Stream> stream;
            std::unique_ptr<platform::Storage> sub;
            if (name == storage_name) {
              EXPECT_EQ(S_OK, storage->OpenStorage(spelling, platform::kStorageMode, &sub))
                  << cfb_test::Utf8(spelling);
              continue;
            }
            ASSERT_EQ(S_OK, storage->OpenStream(spelling, platform::kStorageMode, &stream))
                << cfb_test::Utf8(spelling);
            char data[64];
            uint32_t read = 0;
            ASSERT_EQ(S_OK, stream->Read(data, sizeof(data), &read));
            EXPECT_EQ(cfb_test::Utf8(name), std::string(data, read));
          }
        }
      };
  std::vector<std::u16string> sorted_root = kForeignNames;
  std::sort(sorted_root.begin(), sorted_root.end(), AsciiFoldLess);
  verify(root.get(), sorted_root, u"B\u00fcro");
  std::unique_ptr<platform::Storage> domain_storage, user_storage;
  ASSERT_EQ(S_OK, root->OpenStorage(u"B\u00fcro", platform::kStorageMode, &domain_storage));
  verify(domain_storage.get(), sorted_root, u"\u0152");
  ASSERT_EQ(S_OK, domain_storage->OpenStorage(u"\u0152", platform::kStorageMode, &user_storage));
  std::unique_ptr<platform::Stream> stream;
  ASSERT_EQ(S_OK, user_storage->OpenStream(u"1", platform::kStorageMode, &stream));
  std::unique_ptr<platform::Stream> missing;
  EXPECT_EQ(STG_E_FILENOTFOUND, root->OpenStream(u"\u00e4\u00e4", platform::kStorageMode, &missing));
}

// Trees that are not valid red-black trees in the engine's order are
// rebuilt by the first change of their storage, wherever it lands: after one
// creation the whole file is consistent, every element is found, and olefile
// and libgsf read it as the engine does.
TEST(DirectoryTest, OtherWritersTreesAreRebuiltByTheFirstChange) {
  struct Case {
    const char* what;
    Shape shape;
    uint8_t color;
    bool foreign_order;
    std::u16string created;
  };
  const Case cases[] = {
      {"chain, all red (no colours written)", Shape::kChain, cfb::kRed, false, u"T999"},
      {"chain, all black, creation at its head", Shape::kChain, cfb::kBlack, false, u"A"},
      {"chain, all black, creation at its end", Shape::kChain, cfb::kBlack, false, u"Z999"},
      {"balanced, all black, creation at a short path", Shape::kBalanced, cfb::kBlack, false,
       u"T1195"},
      {"balanced, no colours", Shape::kBalanced, cfb::kRed, false, u"A"},
      {"balanced, sorted by ASCII letters only", Shape::kBalanced, cfb::kBlack, true,
       u"\u00e41"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::TempDir dir;
    std::string path = dir.File("a.cnf");
    std::unique_ptr<CompoundFile> file;
    ASSERT_EQ(S_OK, CompoundFile::Create(path, &file));
    std::vector<std::u16string> names;
    if (c.foreign_order) names = kForeignNames;
    for (int i = 0; i < 40 && !c.foreign_order; ++i) {
      std::string name = "T" + std::to_string(1100 + i * 3);
      names.emplace_back(name.begin(), name.end());
    }
    std::vector<uint32_t> ids =
        Fill(file.get(), 0, names, c.foreign_order ? AsciiFoldLess : EngineLess);
    ASSERT_EQ(S_OK, file->Close());
    Relink(path, 0, ids, c.shape, c.color);
    ASSERT_NE("", cfb_test::CheckFile(path));
    std::string before = testing_support::OlefileDump(path);

    ASSERT_EQ(S_OK, CompoundFile::Open(path, &file));
    uint32_t id;
    cfb::DirEntry entry;
    ASSERT_EQ(S_OK, file->CreateElement(0, c.created, cfb::kTypeStream, &id));
    std::string problems;
    ASSERT_EQ(S_OK, file->Check(&problems));
    EXPECT_EQ("", problems);
    names.push_back(c.created);
    for (const std::u16string& name : names) {
      EXPECT_EQ(S_OK, file->Find(0, name, &id, &entry)) << cfb_test::Utf8(name);
    }
    std::sort(names.begin(), names.end(), EngineLess);
    EXPECT_EQ(names, Children(file.get(), 0));
    ASSERT_EQ(S_OK, file->Close());
    std::string after = testing_support::OlefileDump(path);
    EXPECT_EQ(cfb_test::EngineDump(path), after);
    EXPECT_EQ(cfb_test::AsGsfLists(after), cfb_test::GsfDump(path));
    EXPECT_NE(std::string::npos, after.find("F " + cfb_test::Utf8(c.created) + " 0 \n"));
    EXPECT_EQ(before.size() + ("F " + cfb_test::Utf8(c.created) + " 0 \n").size(), after.size());
  }
}

// A sibling link that loops back (to the node itself or to an ancestor):
// enumeration and lookups end with STG_E_DOCFILECORRUPT, never hang.
TEST(DirectoryTest, LoopingSiblingLinksEndEnumerationWithAnError) {
  for (int loop = 0; loop < 3; ++loop) {
    SCOPED_TRACE(loop);
    testing_support::TempDir dir;
    std::string path = dir.File("a.cnf");
    std::unique_ptr<CompoundFile> file;
    ASSERT_EQ(S_OK, CompoundFile::Create(path, &file));
    std::vector<uint32_t> ids = Fill(file.get(), 0, {u"A", u"B", u"C"}, EngineLess);
    ASSERT_EQ(S_OK, file->Close());
    std::vector<uint64_t> at = cfb_test::EntryOffsets(path);
    Relink(path, 0, ids, Shape::kChain, cfb::kBlack);  // A -> B -> C to the right
    if (loop == 0) cfb_test::FilePut32(path, at[ids[0]] + 0x44, ids[0]);  // A left of A
    if (loop == 1) cfb_test::FilePut32(path, at[ids[2]] + 0x44, ids[0]);  // A left of C
    if (loop == 2) cfb_test::FilePut32(path, at[ids[2]] + 0x48, ids[1]);  // B right of C

    std::unique_ptr<platform::Storage> root;
    ASSERT_EQ(S_OK, platform::OpenStorageFile(path, platform::kStorageMode, &root));
    std::unique_ptr<platform::ElementEnumerator> e;
    ASSERT_EQ(S_OK, root->EnumElements(&e));
    platform::ElementStat stat;
    HRESULT hr;
    int listed = 0;
    while ((hr = e->Next(&stat)) == S_OK && listed < 10) ++listed;
    EXPECT_EQ(STG_E_DOCFILECORRUPT, hr);
    std::unique_ptr<platform::Stream> stream;
    EXPECT_EQ(STG_E_DOCFILECORRUPT, root->OpenStream(u"D", platform::kStorageMode, &stream));
    EXPECT_EQ(STG_E_DOCFILECORRUPT, root->CreateStream(u"D", platform::kStorageMode, &stream));
  }
}

}  // namespace
