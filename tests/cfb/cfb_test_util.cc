// Helpers of the engine's tests.
#include "tests/cfb/cfb_test_util.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/cfb/format.h"
#include "platform/cfb/journal.h"
#include "platform/file.h"
#include "platform/storage.h"
#include "tests/support/test_support.h"

namespace cfb_test {

using platform::kStorageMode;

std::string Utf8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {

std::string HexCode(HRESULT hr) {
  char buffer[16];
  snprintf(buffer, sizeof(buffer), "%08X", static_cast<unsigned>(hr));
  return buffer;
}

HRESULT DumpStorage(platform::Storage* storage, const std::string& prefix,
                    std::vector<std::string>* lines) {
  std::unique_ptr<platform::ElementEnumerator> e;
  HRESULT hr = storage->EnumElements(&e);
  if (FAILED(hr)) return hr;
  platform::ElementStat stat;
  while ((hr = e->Next(&stat)) == S_OK) {
    std::string path = prefix.empty() ? Utf8(stat.name) : prefix + "/" + Utf8(stat.name);
    if (stat.type == platform::ElementType::kStorage) {
      lines->push_back("S " + path);
      std::unique_ptr<platform::Storage> sub;
      hr = storage->OpenStorage(stat.name, kStorageMode, &sub);
      if (FAILED(hr)) return hr;
      hr = DumpStorage(sub.get(), path, lines);
      if (FAILED(hr)) return hr;
    } else {
      std::unique_ptr<platform::Stream> s;
      hr = storage->OpenStream(stat.name, kStorageMode, &s);
      if (FAILED(hr)) return hr;
      std::string bytes;
      char buffer[8192];
      uint32_t read = 0;
      while (SUCCEEDED(hr = s->Read(buffer, sizeof(buffer), &read)) && read > 0) {
        bytes.append(buffer, read);
      }
      if (FAILED(hr)) return hr;
      if (bytes.size() != stat.size) return E_INVALIDARG;
      lines->push_back("F " + path + " " + std::to_string(bytes.size()) + " " +
                       testing_support::Hex(bytes));
    }
  }
  return FAILED(hr) ? hr : S_OK;
}

std::string Joined(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

}  // namespace

std::string EngineDump(const std::string& path) {
  std::unique_ptr<platform::Storage> root;
  HRESULT hr = platform::OpenStorageFile(path, kStorageMode, &root);
  if (FAILED(hr)) return "ERROR: " + HexCode(hr);
  std::vector<std::string> lines;
  hr = DumpStorage(root.get(), "", &lines);
  if (FAILED(hr)) return "ERROR: " + HexCode(hr);
  return Joined(lines);
}

std::string GsfDump(const std::string& path) {
  testing_support::RunResult list = testing_support::Run({"/usr/bin/gsf", "list", path});
  if (list.exit_status != 0) return "ERROR: gsf list: " + list.err;
  std::vector<std::string> lines;
  std::istringstream in(list.out);
  std::string line;
  std::getline(in, line);  // "FILE:"
  while (std::getline(in, line)) {
    // "d <size> <path>" or "f <size> <path>"; the root is "*root*".
    std::istringstream fields(line);
    std::string type, name;
    uint64_t size = 0;
    fields >> type >> size;
    std::getline(fields, name);
    name.erase(0, name.find_first_not_of(' '));
    if (name == "*root*") continue;
    if (type == "d") {
      lines.push_back("S " + name);
      continue;
    }
    testing_support::RunResult dump = testing_support::Run({"/usr/bin/gsf", "dump", path, name});
    if (dump.exit_status != 0) return "ERROR: gsf dump: " + dump.err;
    // Lines "<offset> | hex bytes (XX past the end) | text" after "NAME:".
    std::string hex;
    std::istringstream dump_lines(dump.out);
    std::string dump_line;
    std::getline(dump_lines, dump_line);
    while (std::getline(dump_lines, dump_line)) {
      size_t bar = dump_line.find('|');
      size_t bar2 = dump_line.find('|', bar + 1);
      if (bar == std::string::npos || bar2 == std::string::npos) continue;
      std::istringstream bytes(dump_line.substr(bar + 1, bar2 - bar - 1));
      std::string byte;
      while (bytes >> byte) {
        if (byte != "XX") hex += byte;
      }
    }
    lines.push_back("F " + name + " " + std::to_string(size) + " " + hex);
  }
  return Joined(lines);
}

std::string AsGsfLists(const std::string& dump) {
  std::vector<std::string> lines;
  std::istringstream in(dump);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  for (std::string& l : lines) {
    if (l.rfind("S ", 0) != 0) continue;
    std::string prefix = l.substr(2) + "/";
    bool has_children = false;
    for (const std::string& other : lines) {
      if (other.size() > 2 && other.compare(2, prefix.size(), prefix) == 0) has_children = true;
    }
    if (!has_children) l = "F " + l.substr(2) + " 0 ";
  }
  return Joined(lines);
}

std::string CheckFile(const std::string& path) {
  std::unique_ptr<cfb::CompoundFile> file;
  HRESULT hr = cfb::CompoundFile::Open(path, &file);
  if (FAILED(hr)) return "open failed: " + HexCode(hr);
  std::string problems;
  hr = file->Check(&problems);
  if (FAILED(hr)) return "check failed: " + HexCode(hr);
  return problems;
}

uint32_t FileGet32(const std::string& path, uint64_t offset) {
  std::string bytes = testing_support::ReadWholeFile(path);
  if (offset + 4 > bytes.size()) return 0;
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[offset + i]);
  return v;
}

void FilePut32(const std::string& path, uint64_t offset, uint32_t value) {
  std::string bytes = testing_support::ReadWholeFile(path);
  if (offset + 4 > bytes.size()) return;
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>(value >> (8 * i));
  testing_support::WriteWholeFile(path, bytes);
}

std::vector<uint64_t> EntryOffsets(const std::string& path) {
  std::string bytes = testing_support::ReadWholeFile(path);
  auto get32 = [&](uint64_t at) -> uint32_t {
    if (at + 4 > bytes.size()) return cfb::ENDOFCHAIN;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
  };
  uint32_t sector_size = 1u << (static_cast<uint8_t>(bytes[0x1E]) | bytes[0x1F] << 8);
  auto offset = [&](uint32_t sector) { return (uint64_t{sector} + 1) * sector_size; };
  std::vector<uint32_t> fat_sectors;
  for (uint32_t i = 0; i < 109 && i < get32(0x2C); ++i) fat_sectors.push_back(get32(0x4C + 4 * i));
  auto next = [&](uint32_t sector) {
    uint32_t per = sector_size / 4;
    if (sector / per >= fat_sectors.size()) return cfb::ENDOFCHAIN;
    return get32(offset(fat_sectors[sector / per]) + 4 * (sector % per));
  };
  std::vector<uint64_t> entries;
  for (uint32_t s = get32(0x30); s <= cfb::MAXREGSECT && entries.size() < 1u << 20; s = next(s)) {
    for (uint32_t i = 0; i < sector_size / 128; ++i) entries.push_back(offset(s) + 128 * i);
  }
  return entries;
}

void LeaveUnfinishedJournal(const std::string& path) {
  const std::string bytes = testing_support::ReadWholeFile(path);
  std::unique_ptr<platform::File> file;
  platform::FileIdentity identity;
  if (bytes.size() < 512 ||
      platform::FileSystem::Platform()->Open(path, platform::OpenMode::kReadOnly, &file) != 0 ||
      file->Identify(&identity) != 0) {
    throw std::runtime_error("no file for a journal: " + path);
  }
  cfb::Journal journal(path, 512);
  const auto* header = reinterpret_cast<const uint8_t*>(bytes.data());
  if (FAILED(journal.Begin(bytes.size(), identity, header))) {
    throw std::runtime_error("cannot start a journal: " + path);
  }
  journal.Add(0, header);
  if (FAILED(journal.Sync())) throw std::runtime_error("cannot write a journal: " + path);
}

}  // namespace cfb_test
