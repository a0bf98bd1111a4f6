// Damaged and hostile files: each row patches one field of a valid file;
// opening and walking it must end in the stated result, and changing it
// must fail cleanly or succeed, never crash or hang.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/format.h"
#include "platform/storage.h"
#include "tests/cfb/cfb_test_util.h"
#include "tests/support/test_support.h"

namespace {

using platform::kStorageMode;
using testing_support::ReadWholeFile;
using testing_support::TempDir;
using testing_support::WriteWholeFile;

// A file with a mini stream, a regular stream, a storage with a stream, and
// a second directory sector.
std::string BaseFile(const TempDir& dir) {
  std::string path = dir.File("base.cnf");
  std::unique_ptr<platform::Storage> root, sub;
  EXPECT_EQ(S_OK, platform::CreateStorageFile(path, kStorageMode, &root));
  auto put = [](platform::Storage* storage, const char16_t* name, size_t size) {
    std::unique_ptr<platform::Stream> s;
    EXPECT_EQ(S_OK, storage->CreateStream(name, kStorageMode, &s));
    std::string bytes(size, 'q');
    uint32_t written;
    EXPECT_EQ(S_OK, s->Write(bytes.data(), static_cast<uint32_t>(size), &written));
  };
  put(root.get(), u"Small", 100);
  put(root.get(), u"Large", 5000);
  EXPECT_EQ(S_OK, root->CreateStorage(u"Dir", kStorageMode, &sub));
  put(sub.get(), u"Inner", 10);
  put(root.get(), u"Fifth", 1);
  sub.reset();
  root.reset();
  return ReadWholeFile(path);
}

// Offset of the directory entry named `name` (its name begins the entry).
size_t EntryOffset(const std::string& file, const std::u16string& name) {
  std::string pattern;
  for (char16_t c : name) {
    pattern += static_cast<char>(c & 0xFF);
    pattern += static_cast<char>(c >> 8);
  }
  pattern += std::string(2, '\0');
  for (size_t at = 512; at + 128 <= file.size(); at += 128) {
    if (file.compare(at, pattern.size(), pattern) == 0) return at;
  }
  ADD_FAILURE() << "no entry";
  return 0;
}

void Put32(std::string* file, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*file)[offset + i] = static_cast<char>(v >> (8 * i));
}
void Put16(std::string* file, size_t offset, uint16_t v) {
  (*file)[offset] = static_cast<char>(v);
  (*file)[offset + 1] = static_cast<char>(v >> 8);
}
uint32_t Get32(const std::string& file, size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(file[offset + i]);
  return v;
}

// Sector n of a version-3 file starts at (n + 1) * 512; FAT entry n of the
// first FAT sector is at that sector + 4n.
size_t FatEntry(const std::string& file, uint32_t sector) {
  return (static_cast<size_t>(Get32(file, 0x4C)) + 1) * 512 + 4 * sector;
}

bool IsCleanFailure(HRESULT hr) {
  return hr == STG_E_FILEALREADYEXISTS || hr == STG_E_INVALIDHEADER ||
         hr == STG_E_DOCFILECORRUPT || hr == STG_E_READFAULT;
}

// Opens, changes and closes the file; every result must be success or a
// clean failure (or, for a missing name, "not found").
void Mutate(const std::string& path) {
  std::unique_ptr<platform::Storage> root;
  HRESULT hr = platform::OpenStorageFile(path, kStorageMode, &root);
  if (FAILED(hr)) {
    EXPECT_TRUE(IsCleanFailure(hr)) << std::hex << hr;
    return;
  }
  std::unique_ptr<platform::Stream> s;
  hr = root->CreateStream(u"New", kStorageMode, &s);
  EXPECT_TRUE(SUCCEEDED(hr) || IsCleanFailure(hr) || hr == STG_E_FILEALREADYEXISTS) << std::hex << hr;
  if (SUCCEEDED(hr)) {
    std::string bytes(5000, 'n');
    uint32_t written;
    hr = s->Write(bytes.data(), 5000, &written);
    EXPECT_TRUE(SUCCEEDED(hr) || IsCleanFailure(hr)) << std::hex << hr;
  }
  s.reset();
  for (const char16_t* name : {u"Large", u"Dir", u"Small"}) {
    hr = root->DestroyElement(name);
    EXPECT_TRUE(SUCCEEDED(hr) || IsCleanFailure(hr) || hr == STG_E_FILENOTFOUND) << std::hex << hr;
  }
}

struct Row {
  const char* what;
  std::function<void(std::string*)> patch;
  HRESULT walk;  // the result of opening and reading everything
};

TEST(MalformedTest, EveryDamagedFieldGivesACleanResult) {
  TempDir dir;
  const std::string base = BaseFile(dir);
  ASSERT_GT(base.size(), 2048u);
  const size_t root_entry = EntryOffset(base, u"Root Entry");
  const size_t small = EntryOffset(base, u"Small");
  const size_t large = EntryOffset(base, u"Large");
  const size_t inner = EntryOffset(base, u"Inner");
  const size_t storage = EntryOffset(base, u"Dir");
  const uint32_t dir_sector = Get32(base, 0x30);
  const uint32_t minifat_sector = Get32(base, 0x3C);
  const HRESULT kOk = S_OK;

  const std::vector<Row> rows = {
      {"signature", [](std::string* f) { (*f)[0] = 0; }, STG_E_FILEALREADYEXISTS},
      {"empty file", [](std::string* f) { f->clear(); }, STG_E_FILEALREADYEXISTS},
      {"cut inside the header", [](std::string* f) { f->resize(300); }, STG_E_INVALIDHEADER},
      {"byte order", [](std::string* f) { Put16(f, 0x1C, 0xFEFF); }, STG_E_INVALIDHEADER},
      {"major version 2", [](std::string* f) { Put16(f, 0x1A, 2); }, STG_E_INVALIDHEADER},
      {"version 3 with 4096-byte sectors", [](std::string* f) { Put16(f, 0x1E, 12); },
       STG_E_INVALIDHEADER},
      {"mini sector shift", [](std::string* f) { Put16(f, 0x20, 5); }, STG_E_INVALIDHEADER},
      {"cutoff", [](std::string* f) { Put32(f, 0x38, 0x800); }, STG_E_INVALIDHEADER},
      {"no FAT sectors", [](std::string* f) { Put32(f, 0x2C, 0); }, STG_E_DOCFILECORRUPT},
      {"FAT sector count past the file", [](std::string* f) { Put32(f, 0x2C, 0x7FFFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"FAT sector past the end", [](std::string* f) { Put32(f, 0x4C, 0x00FFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"FAT sector listed twice", [](std::string* f) { Put32(f, 0x2C, 2); Put32(f, 0x50, Get32(*f, 0x4C)); },
       STG_E_DOCFILECORRUPT},
      {"DIFAT chain past the end",
       [](std::string* f) { Put32(f, 0x2C, 110); Put32(f, 0x44, 0x00FFFFFF); }, STG_E_DOCFILECORRUPT},
      {"directory past the end", [](std::string* f) { Put32(f, 0x30, 0x00FFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"directory chain loops",
       [=](std::string* f) { Put32(f, FatEntry(*f, dir_sector), dir_sector); }, STG_E_DOCFILECORRUPT},
      {"mini FAT chain loops",
       [=](std::string* f) { Put32(f, FatEntry(*f, minifat_sector), minifat_sector); },
       STG_E_DOCFILECORRUPT},
      {"mini FAT sector past the end", [](std::string* f) { Put32(f, 0x3C, 0x00FFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"root entry of another type", [=](std::string* f) { (*f)[root_entry + 0x42] = 1; },
       STG_E_DOCFILECORRUPT},
      // Only what the streams use of the mini stream has to be there.
      {"mini stream size past the file",
       [=](std::string* f) { Put32(f, root_entry + 0x78, 0x7FFFFFC0); }, kOk},
      {"mini stream start past the end",
       [=](std::string* f) { Put32(f, root_entry + 0x74, 0x00FFFFFF); }, STG_E_DOCFILECORRUPT},
      {"stream size past the file", [=](std::string* f) { Put32(f, large + 0x78, 0x7FFFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"stream start past the end", [=](std::string* f) { Put32(f, large + 0x74, 0x00FFFFF0); },
       STG_E_DOCFILECORRUPT},
      {"mini stream start past the end", [=](std::string* f) { Put32(f, small + 0x74, 0x00FFFFF0); },
       STG_E_DOCFILECORRUPT},
      {"stream chain loops",
       [=](std::string* f) {
         uint32_t first = Get32(*f, large + 0x74);
         Put32(f, FatEntry(*f, first), first);
       },
       STG_E_DOCFILECORRUPT},
      {"tree loops to itself",
       [=](std::string* f) {
         uint32_t child = Get32(*f, root_entry + 0x4C);
         Put32(f, 512 * (dir_sector + 1) + 128 * child + 0x44, child);
       },
       STG_E_DOCFILECORRUPT},
      {"tree links an unused entry", [=](std::string* f) { Put32(f, inner + 0x44, 7); },
       STG_E_DOCFILECORRUPT},
      {"tree links the root", [=](std::string* f) { Put32(f, inner + 0x48, 0); },
       STG_E_DOCFILECORRUPT},
      {"storage holds its own parent",
       [=](std::string* f) { Put32(f, storage + 0x4C, 0); }, STG_E_DOCFILECORRUPT},
      {"link past the directory", [=](std::string* f) { Put32(f, inner + 0x48, 0x00FFFFFF); },
       STG_E_DOCFILECORRUPT},
      {"file cut in half", [](std::string* f) { f->resize(f->size() / 2); }, STG_E_DOCFILECORRUPT},
      // What other writers leave behind and readers must accept.
      {"name length out of range", [=](std::string* f) { Put16(f, inner + 0x40, 0xFFFF); }, kOk},
      {"high size word of version 3", [=](std::string* f) { Put32(f, small + 0x7C, 0xDEADBEEF); },
       kOk},
      {"storage start sector", [=](std::string* f) { Put32(f, storage + 0x74, 0x12345678); }, kOk},
      {"stream class id", [=](std::string* f) { (*f)[small + 0x50] = 1; }, kOk},
      {"colours all red", [=](std::string* f) {
         for (size_t at : {small, large, inner, storage}) (*f)[at + 0x43] = 0;
       }, kOk},
      {"short last sector", [](std::string* f) { f->resize(f->size() - 100); }, kOk},
      {"stale directory count in version 3", [](std::string* f) { Put32(f, 0x28, 9); }, kOk},
      {"minor version", [](std::string* f) { Put16(f, 0x18, 0x21); }, kOk},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string file = base;
    row.patch(&file);
    std::string path = dir.File("patched.cnf");
    WriteWholeFile(path, file);
    std::string dump = cfb_test::EngineDump(path);
    if (row.walk == kOk) {
      EXPECT_EQ(std::string::npos, dump.find("ERROR")) << dump.substr(0, 200);
    } else {
      char expected[32];
      snprintf(expected, sizeof(expected), "ERROR: %08X", static_cast<unsigned>(row.walk));
      EXPECT_EQ(expected, dump.substr(0, 200));
    }
    Mutate(path);
  }
}

// The check names each kind of damage in a line of its own, in the order
// of its walk: the tables, the trees and streams, then what the FAT and the
// mini FAT mark free, then entries no tree reaches.
TEST(MalformedTest, TheCheckNamesEachDamage) {
  TempDir dir;
  const std::string base = BaseFile(dir);
  const size_t root_entry = EntryOffset(base, u"Root Entry");
  const size_t small = EntryOffset(base, u"Small");
  const size_t large = EntryOffset(base, u"Large");
  const size_t fifth = EntryOffset(base, u"Fifth");
  const uint32_t fat_sector = Get32(base, 0x4C);
  const uint32_t mini_start = Get32(base, root_entry + 0x74);
  // The sectors past the header, a short last one too.
  const uint32_t sectors = static_cast<uint32_t>((base.size() - 1) / 512);
  const uint32_t fifth_mini = Get32(base, fifth + 0x74);
  const struct {
    const char* what;
    std::function<void(std::string*)> patch;
    std::string findings;
  } rows[] = {
      {"a FAT sector marked free",
       [=](std::string* f) { Put32(f, FatEntry(*f, fat_sector), cfb::FREESECT); },
       "FAT sector " + std::to_string(fat_sector) + " not marked FATSECT\nsector " +
           std::to_string(fat_sector) + " used but free\n"},
      {"a sector that nothing uses marked used",
       [=](std::string* f) {
         f->resize(512 * (sectors + 1), '\0');
         f->append(512, '\0');
         Put32(f, FatEntry(*f, sectors), cfb::ENDOFCHAIN);
       },
       "sector " + std::to_string(sectors) + " lost\n"},
      {"a stream longer than its chain", [=](std::string* f) { Put32(f, large + 0x78, 9000); },
       "chain of entry 2 does not match its size\ntail of entry 2 not zero\n"},
      {"bytes past a mini stream's size",
       [=](std::string* f) { (*f)[512 * (mini_start + 1) + 100] = 'x'; },
       "tail of entry 1 not zero\n"},
      {"a mini FAT count off", [](std::string* f) { Put32(f, 0x40, 5); }, "mini FAT count wrong\n"},
      // The 1-byte stream takes the chain of the 100-byte one: two mini
      // sectors that it does not fill, used twice, and its own lost.
      {"two streams in one chain",
       [=](std::string* f) { Put32(f, fifth + 0x74, Get32(*f, small + 0x74)); },
       "chain of entry 5 does not match its size\ntail of entry 5 not zero\n"
       "mini sector 0 shared or out of range\nmini sector 1 shared or out of range\n"
       "mini sector " + std::to_string(fifth_mini) + " lost\n"},
      {"an unused entry in use", [=](std::string* f) { (*f)[fifth + 128 + 0x42] = 2; },
       "entry 6 unreachable but in use\n"},
  };
  for (const auto& row : rows) {
    std::string file = base;
    row.patch(&file);
    const std::string path = dir.File("damaged.cnf");
    WriteWholeFile(path, file);
    EXPECT_EQ(row.findings, cfb_test::CheckFile(path)) << row.what;
  }
}

TEST(MalformedTest, StaleHeaderCountsAreRewrittenOnTheFirstChange) {
  TempDir dir;
  std::string file = BaseFile(dir);
  Put32(&file, 0x28, 9);   // directory sectors: must be 0 in version 3
  Put32(&file, 0x40, 5);   // mini FAT sectors: the chain has 1
  Put32(&file, 0x48, 7);   // DIFAT sectors: there are none
  std::string path = dir.File("stale.cnf");
  WriteWholeFile(path, file);
  EXPECT_EQ(std::string::npos, cfb_test::EngineDump(path).find("ERROR"));
  {
    std::unique_ptr<platform::Storage> root;
    std::unique_ptr<platform::Stream> s;
    ASSERT_EQ(S_OK, platform::OpenStorageFile(path, kStorageMode, &root));
    ASSERT_EQ(S_OK, root->CreateStream(u"New", kStorageMode, &s));
  }
  EXPECT_EQ(0u, cfb_test::FileGet32(path, 0x28));
  EXPECT_EQ(1u, cfb_test::FileGet32(path, 0x40));
  EXPECT_EQ(0u, cfb_test::FileGet32(path, 0x48));
  EXPECT_EQ("", cfb_test::CheckFile(path));
}

TEST(MalformedTest, ReplaysEveryFileTheFuzzerEverFound) {
  // Inputs the fuzz target found (fuzz/corpus/fuzz_cfb holds the seeds and
  // tests/fixtures/cfb the findings): each must open or fail cleanly.
  std::vector<std::string> files;
  for (const char* folder : {"cfb"}) {
    testing_support::RunResult ls = testing_support::Run(
        {"/bin/ls", "-1", testing_support::FixturePath(folder)});
    std::string name;
    for (char c : ls.out) {
      if (c == '\n') {
        if (!name.empty()) files.push_back(testing_support::FixturePath(std::string(folder) + "/" + name));
        name.clear();
      } else {
        name += c;
      }
    }
  }
  TempDir dir;
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string path = dir.File("replay.cnf");
    WriteWholeFile(path, ReadWholeFile(file));
    std::string dump = cfb_test::EngineDump(path);
    if (dump.rfind("ERROR: ", 0) == 0) {
      EXPECT_TRUE(dump == "ERROR: 80030050" || dump == "ERROR: 800300FB" ||
                  dump == "ERROR: 80030109" || dump == "ERROR: 8003001E")
          << dump;
    }
    Mutate(path);
  }
}

}  // namespace
