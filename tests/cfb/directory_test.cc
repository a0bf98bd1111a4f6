// The red-black trees of the directory under long runs of insertions and
// deletions in one storage, and the rebuild of trees other writers left.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/dir_entry.h"
#include "platform/cfb/format.h"
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
  std::u16string last;
  for (;;) {
    uint32_t id;
    cfb::DirEntry entry;
    HRESULT hr = file->NextChild(storage, names.empty() ? nullptr : &last, &id, &entry);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE);
    if (hr != S_OK) break;
    names.push_back(entry.name);
    last = entry.name;
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

TEST(DirectoryTest, AnUncolouredUnbalancedTreeIsRebuiltWhenChanged) {
  testing_support::TempDir dir;
  std::string path = dir.File("a.cnf");
  std::unique_ptr<CompoundFile> file;
  ASSERT_EQ(S_OK, CompoundFile::Create(path, &file));
  std::vector<uint32_t> ids;
  for (int i = 0; i < 40; ++i) {
    uint32_t id;
    std::string name = "T" + std::to_string(100 + i);
    ASSERT_EQ(S_OK, file->CreateElement(0, std::u16string(name.begin(), name.end()),
                                        cfb::kTypeStream, &id));
    ids.push_back(id);
  }
  // Relink as another writer might: a chain to the right, every node red.
  ASSERT_EQ(S_OK, file->Close());
  std::string bytes = testing_support::ReadWholeFile(path);
  uint32_t dir_sector = cfb_test::FileGet32(path, 0x30);
  ASSERT_EQ(1u, dir_sector);
  auto entry_at = [&](uint32_t id) -> size_t {  // found by its name
    std::string name = "T" + std::to_string(100 + (std::find(ids.begin(), ids.end(), id) - ids.begin()));
    std::string pattern;
    for (char c : name) pattern += std::string(1, c) + '\0';
    for (size_t at = 512; at + 128 <= bytes.size(); at += 128) {
      if (bytes.compare(at, pattern.size() + 2, pattern + std::string(2, '\0')) == 0) return at;
    }
    return 0;
  };
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  };
  for (size_t i = 0; i < ids.size(); ++i) {
    size_t at = entry_at(ids[i]);
    ASSERT_NE(0u, at);
    bytes[at + 0x43] = cfb::kRed;
    put32(at + 0x44, cfb::NOSTREAM);
    put32(at + 0x48, i + 1 < ids.size() ? ids[i + 1] : cfb::NOSTREAM);
  }
  put32(1024 + 0x4C, ids[0]);  // the root entry is entry 0 of sector 1
  testing_support::WriteWholeFile(path, bytes);
  EXPECT_NE("", cfb_test::CheckFile(path));
  EXPECT_EQ(std::string::npos, cfb_test::EngineDump(path).find("ERROR"));

  ASSERT_EQ(S_OK, CompoundFile::Open(path, &file));
  uint32_t id;
  ASSERT_EQ(S_OK, file->CreateElement(0, u"T999", cfb::kTypeStream, &id));
  std::string problems;
  ASSERT_EQ(S_OK, file->Check(&problems));
  EXPECT_EQ("", problems);
  EXPECT_EQ(41u, Children(file.get(), 0).size());
  ASSERT_EQ(S_OK, file->Close());
  EXPECT_EQ(testing_support::OlefileDump(path), cfb_test::EngineDump(path));
}

}  // namespace
