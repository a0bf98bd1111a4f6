// Random sequences of operations (fixed seeds) checked after every step
// against an in-memory model: contents byte for byte, enumeration order, the
// engine's consistency check (red-black rules, no sector in two chains), and
// at the end the reading of olefile and libgsf.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/format.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/test_support.h"

namespace {

using cfb::CompoundFile;
using cfb::DirEntry;

// Upper case as the model knows it: ASCII and Latin-1 letters.
char16_t ModelUpper(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 32);
  return c;
}

std::u16string Key(const std::u16string& name) {
  std::u16string key = name;
  for (char16_t& c : key) c = ModelUpper(c);
  return key;
}

// The format's order: length first, then upper-cased units.
bool ModelLess(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return a.size() < b.size();
  return Key(a) < Key(b);
}

struct Node {
  bool storage = false;
  std::u16string name;
  std::string data;
  std::map<std::u16string, Node> children;  // by Key(name)
};

class ModelRun {
 public:
  ModelRun(uint32_t seed, const std::string& path, uint16_t version)
      : random_(seed), path_(path), version_(version) {}

  void Run(int steps) {
    ASSERT_EQ(S_OK, CompoundFile::Create(path_, &file_, version_));
    root_.storage = true;
    for (int step = 0; step < steps; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      Step();
      if (testing::Test::HasFatalFailure()) return;
      Verify();
      if (testing::Test::HasFailure()) return;
    }
    ASSERT_EQ(S_OK, file_->Close());
    file_.reset();
    std::string expected = ModelDump();
    EXPECT_EQ(expected, testing_support::OlefileDump(path_));
    EXPECT_EQ(cfb_test::AsGsfLists(expected), cfb_test::GsfDump(path_));
    EXPECT_EQ(expected, cfb_test::EngineDump(path_));
  }

 private:
  uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(random_); }

  std::u16string RandomName() {
    static const char16_t kLetters[] = u"aAbBcC_1\u00e9\u00c9x";
    size_t length = 1 + Pick(Pick(4) == 0 ? 31 : 4);
    std::u16string name;
    for (size_t i = 0; i < length; ++i) name += kLetters[Pick(sizeof(kLetters) / 2 - 1)];
    return name;
  }

  // A size around one of the interesting places: small, the cutoff, a few
  // sectors.
  uint64_t RandomSize() {
    switch (Pick(5)) {
      case 0: return Pick(200);
      case 1: return 4096 - 70 + Pick(140);
      case 2: return 4096 + Pick(9000);
      case 3: return Pick(4096);
      default: return Pick(64) * 64 + Pick(2);
    }
  }

  // Every node with its path of names from the root.
  void Collect(Node* node, std::vector<std::u16string>* path,
               std::vector<std::pair<std::vector<std::u16string>, Node*>>* out) {
    for (auto& child : node->children) {
      path->push_back(child.second.name);
      out->push_back({*path, &child.second});
      if (child.second.storage) Collect(&child.second, path, out);
      path->pop_back();
    }
  }

  // The engine's entry number of the element at `path` (0: the root).
  uint32_t IdOf(const std::vector<std::u16string>& path) {
    uint32_t id = CompoundFile::kRootId;
    for (const std::u16string& name : path) {
      DirEntry entry;
      EXPECT_EQ(S_OK, file_->Find(id, name, &id, &entry));
    }
    return id;
  }

  Node* NodeAt(const std::vector<std::u16string>& path) {
    Node* node = &root_;
    for (const std::u16string& name : path) node = &node->children.at(Key(name));
    return node;
  }

  void Step() {
    std::vector<std::pair<std::vector<std::u16string>, Node*>> all;
    std::vector<std::u16string> path;
    Collect(&root_, &path, &all);
    std::vector<std::pair<std::vector<std::u16string>, Node*>> storages{{{}, &root_}}, streams;
    for (auto& item : all) (item.second->storage ? storages : streams).push_back(item);

    uint32_t what = Pick(100);
    if (what < 30 || all.empty()) {  // create a stream or a storage
      auto& parent = storages[Pick(static_cast<uint32_t>(storages.size()))];
      std::u16string name = RandomName();
      bool storage = Pick(4) == 0 && parent.first.size() < 4;
      uint32_t id;
      HRESULT hr = file_->CreateElement(IdOf(parent.first), name,
                                        storage ? cfb::kTypeStorage : cfb::kTypeStream, &id);
      if (parent.second->children.count(Key(name))) {
        ASSERT_EQ(STG_E_FILEALREADYEXISTS, hr);
      } else {
        ASSERT_EQ(S_OK, hr);
        Node node;
        node.storage = storage;
        node.name = name;
        parent.second->children[Key(name)] = node;
      }
    } else if (what < 70 && !streams.empty()) {  // write
      auto& target = streams[Pick(static_cast<uint32_t>(streams.size()))];
      std::string& data = target.second->data;
      uint64_t pos = Pick(3) == 0 ? data.size() : std::min<uint64_t>(RandomSize(), data.size() + 300);
      uint64_t length = Pick(3) == 0 ? Pick(100) : RandomSize();
      std::string bytes(length, '\0');
      for (char& c : bytes) c = static_cast<char>(Pick(256));
      ASSERT_EQ(S_OK, file_->WriteStream(IdOf(target.first), pos, bytes.data(),
                                         static_cast<uint32_t>(length)));
      if (length > 0) {
        if (data.size() < pos + length) data.resize(pos + length, '\0');
        data.replace(pos, length, bytes);
      }
    } else if (what < 78 && !streams.empty()) {  // resize
      auto& target = streams[Pick(static_cast<uint32_t>(streams.size()))];
      uint64_t size = RandomSize();
      ASSERT_EQ(S_OK, file_->ResizeStream(IdOf(target.first), size));
      target.second->data.resize(size, '\0');
    } else if (what < 92) {  // destroy
      auto& target = all[Pick(static_cast<uint32_t>(all.size()))];
      std::vector<std::u16string> parent_path(target.first.begin(), target.first.end() - 1);
      std::u16string name = target.first.back();
      if (Pick(2) == 0) {  // any letter case finds it
        for (char16_t& c : name) c = ModelUpper(c);
      }
      std::vector<uint32_t> gone;
      ASSERT_EQ(S_OK, file_->DestroyElement(IdOf(parent_path), name, &gone));
      NodeAt(parent_path)->children.erase(Key(name));
    } else if (what < 96) {  // destroy a missing name
      std::vector<uint32_t> gone;
      std::u16string name = u"missing" + RandomName();
      if (name.size() > 31) name.resize(31);
      if (!root_.children.count(Key(name))) {
        ASSERT_EQ(STG_E_FILENOTFOUND, file_->DestroyElement(CompoundFile::kRootId, name, &gone));
      }
    } else {  // reopen
      ASSERT_EQ(S_OK, file_->Close());
      file_.reset();
      ASSERT_EQ(S_OK, CompoundFile::Open(path_, &file_));
      ASSERT_EQ(version_, file_->major_version());
    }
  }

  void VerifyStorage(uint32_t id, const Node& node) {
    std::vector<const Node*> expected;
    for (const auto& child : node.children) expected.push_back(&child.second);
    std::sort(expected.begin(), expected.end(),
              [](const Node* a, const Node* b) { return ModelLess(a->name, b->name); });
    cfb::ChildCursor cursor;
    size_t index = 0;
    for (;; ++index) {
      uint32_t child;
      DirEntry entry;
      HRESULT hr = file_->NextChild(id, &cursor, &child, &entry);
      ASSERT_TRUE(hr == S_OK || hr == S_FALSE) << hr;
      if (hr == S_FALSE) break;
      ASSERT_LT(index, expected.size());
      const Node& want = *expected[index];
      ASSERT_EQ(want.name, entry.name);
      ASSERT_EQ(want.storage ? cfb::kTypeStorage : cfb::kTypeStream, entry.type);
      if (want.storage) {
        VerifyStorage(child, want);
      } else {
        ASSERT_EQ(want.data.size(), entry.size);
        std::string got(want.data.size() + 10, '\0');
        uint32_t read = 0;
        ASSERT_EQ(S_OK, file_->ReadStream(child, 0, &got[0], static_cast<uint32_t>(got.size()), &read));
        got.resize(read);
        ASSERT_EQ(want.data, got);
      }
    }
    ASSERT_EQ(expected.size(), index);
  }

  void Verify() {
    VerifyStorage(CompoundFile::kRootId, root_);
    std::string problems;
    ASSERT_EQ(S_OK, file_->Check(&problems));
    ASSERT_EQ("", problems);
  }

  void DumpNode(const Node& node, const std::string& prefix, std::vector<std::string>* lines) {
    for (const auto& child : node.children) {
      std::string path = prefix.empty() ? cfb_test::Utf8(child.second.name)
                                        : prefix + "/" + cfb_test::Utf8(child.second.name);
      if (child.second.storage) {
        lines->push_back("S " + path);
        DumpNode(child.second, path, lines);
      } else {
        lines->push_back("F " + path + " " + std::to_string(child.second.data.size()) + " " +
                         testing_support::Hex(child.second.data));
      }
    }
  }

  std::string ModelDump() {
    std::vector<std::string> lines;
    DumpNode(root_, "", &lines);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
  }

  std::mt19937 random_;
  std::string path_;
  uint16_t version_;
  std::unique_ptr<CompoundFile> file_;
  Node root_;
};

TEST(ModelTest, RandomSequencesMatchTheModelAndTheIndependentReaders) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    testing_support::TempDir dir;
    ModelRun run(seed, dir.File("model.cnf"), 3);
    run.Run(200);
    if (HasFailure()) return;
  }
}

TEST(ModelTest, VersionFourFilesStayVersionFour) {
  for (uint32_t seed : {11u, 12u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    testing_support::TempDir dir;
    ModelRun run(seed, dir.File("model4.cnf"), 4);
    run.Run(150);
    if (HasFailure()) return;
    EXPECT_EQ(4u, cfb_test::FileGet32(dir.File("model4.cnf"), 0x18) >> 16);
  }
}

}  // namespace
