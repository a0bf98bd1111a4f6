// cfbtool: lists, reads and patches compound files through the storage
// interface, for people who need to look into a configuration file.
//
// Element paths are names joined by '/'; names on the command line and in
// the output are UTF-8. In the output a control character is written as
// \xNN, a backslash as \\, a '/' as \/ and a blank at the start or the end of
// a name as \x20; paths on the command line take the same escapes. Files
// that extract writes are named by the same rule (see FileName).

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/cfb/compound_file.h"
#include "platform/conversion_record.h"
#include "platform/element_name.h"
#include "platform/file.h"
#include "platform/hresult_names.h"
#include "platform/json.h"
#include "platform/storage.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tools/cfbtool.h"

namespace cfbtool {

namespace {

using platform::ElementEnumerator;
using platform::ElementStat;
using platform::ElementType;
using platform::kStorageMode;
using platform::Storage;
using platform::Stream;

const char kUsage[] =
    "usage: cfbtool COMMAND FILE [PATH]\n"
    "  ls FILE          list every storage and stream, in enumeration order\n"
    "  ls -l FILE       the same with modification and creation times and CLSIDs\n"
    "  ls -p FILE       one line per element: type, size, full path\n"
    "  ls --json FILE   every element as JSON (path, name, type, size, clsid, created,\n"
    "                   modified)\n"
    "  check FILE       check the file's structure; every finding on a line of its own\n"
    "  info FILE        the header's fields and how the sectors are used\n"
    "  extract FILE DIR every stream to a file under DIR (new or empty), storages as folders\n"
    "  mv FILE PATH NEWNAME  rename an element within its storage\n"
    "  cat FILE PATH    write a stream's bytes to stdout\n"
    "  put FILE PATH    replace a stream's bytes (or create the stream) from stdin\n"
    "  mkdir FILE PATH  create a storage\n"
    "  rm FILE PATH     remove a stream, or a storage with everything inside it\n"
    "  new FILE         create an empty compound file\n"
    "PATH is element names joined by '/', in UTF-8, e.g. _Common_/_ReadOnly_;\n"
    "\\xNN, \\\\ and \\/ stand for a character below 0x80, '\\' and '/'.\n";
const char kVersion[] = "cfbtool 1.0.0";

int Fail(const std::string& line) {
  std::fprintf(stderr, "cfbtool: %s\n", platform::EscapeControlCharacters(line).c_str());
  return 1;
}

int FailHr(const std::string& what, HRESULT hr) {
  return Fail(platform::FailureText(what, hr));
}

// The open of FILE itself failed.
int FailOpen(const std::string& file, HRESULT hr) {
  return Fail(platform::CannotOpenFile(file, hr));
}

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    uint32_t code = 0;
    const size_t n = platform::DecodeUtf8(text, i, &code);
    if (n == 0) return false;
    if (code >= 0x10000) {
      code -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(code));
    }
    i += n;
  }
  return true;
}

void AppendHexEscape(uint32_t c, std::string* out) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
  *out += escape;
}

enum class NameUse { kDisplay, kFile };

// The one escaping of element names, for listings (kDisplay) and for the
// names of the files that extract writes (kFile). UTF-8, a lone surrogate as
// U+FFFD; a control character as \xNN, a backslash as \\; a blank at the
// start or the end as \x20, so that no name looks like its neighbour's
// indentation or padding. A '/' (only damaged files hold one) is \/ in a
// listing, as in a PATH, and \x2F in a file name; for files a leading '.'
// is \x2E too, so that no file is hidden and "." and ".." cannot occur, and
// an empty name (damaged files) is \x00. Every escape starts with '\'.
std::string EscapeName(const std::u16string& name, NameUse use) {
  const std::vector<uint32_t> points = platform::CodePoints(name);
  size_t lead = 0;
  while (lead < points.size() && points[lead] == ' ') ++lead;
  size_t trail = points.size();
  while (trail > lead && points[trail - 1] == ' ') --trail;
  std::string out;
  if (use == NameUse::kFile && points.empty()) AppendHexEscape(0, &out);
  for (size_t i = 0; i < points.size(); ++i) {
    uint32_t c = points[i];
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    if (c < 0x20 || c == 0x7F || (c == ' ' && (i < lead || i >= trail)) ||
        (use == NameUse::kFile && (c == '/' || (c == '.' && i == 0)))) {
      AppendHexEscape(c, &out);
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '/') {
      out += "\\/";
    } else {
      platform::AppendUtf8(c, &out);
    }
  }
  return out;
}

std::string DisplayName(const std::u16string& name) {
  return EscapeName(name, NameUse::kDisplay);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits a command-line path into UTF-16 names, undoing the escapes \\, \/
// and \xNN. Empty names (a leading, trailing or doubled '/') are dropped.
bool ParsePath(const std::string& path, std::vector<std::u16string>* names, std::string* error) {
  names->clear();
  std::string current;
  auto finish = [&]() {
    if (current.empty()) return true;
    std::u16string wide;
    if (!Utf8ToUtf16(current, &wide)) {
      *error = "the path " + path + " is not UTF-8";
      return false;
    }
    names->push_back(wide);
    current.clear();
    return true;
  };
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '/') {
      if (!finish()) return false;
    } else if (c == '\\') {
      if (i + 1 < path.size() && (path[i + 1] == '\\' || path[i + 1] == '/')) {
        current.push_back(path[++i]);
      } else if (i + 3 < path.size() && path[i + 1] == 'x' && HexValue(path[i + 2]) >= 0 &&
                 HexValue(path[i + 3]) >= 0) {
        int value = HexValue(path[i + 2]) * 16 + HexValue(path[i + 3]);
        if (value >= 0x80) {
          *error = "\\x escapes in " + path + " stand for characters below 0x80 only";
          return false;
        }
        current.push_back(static_cast<char>(value));
        i += 3;
      } else {
        *error = "the path " + path + " holds a '\\' that is not \\\\, \\/ or \\xNN";
        return false;
      }
    } else {
      current.push_back(c);
    }
  }
  if (!finish()) return false;
  if (names->empty()) {
    *error = "the path " + path + " names no element";
    return false;
  }
  return true;
}

// The path of storages opened so far, released innermost first.
class OpenPath {
 public:
  ~OpenPath() { Close(); }
  void Close() {
    while (!storages_.empty()) storages_.pop_back();
  }
  void Push(std::unique_ptr<Storage> storage) { storages_.push_back(std::move(storage)); }
  Storage* back() const { return storages_.back().get(); }

 private:
  std::vector<std::unique_ptr<Storage>> storages_;
};

// What a command does with the file: a reading command also reads a file
// that the user may not write (platform::OpenStorageFileToRead).
enum class Use { kRead, kChange };

HRESULT OpenRoot(const std::string& file, Use use, std::unique_ptr<Storage>* root) {
  return use == Use::kRead ? platform::OpenStorageFileToRead(file, root)
                           : platform::OpenStorageFile(file, kStorageMode, root);
}

// The engine's open for check and info, by the same rule: for writing when
// the user may (which takes back an interrupted run's changes), else for
// reading, where a file in a conversion is refused as the storage open
// refuses it.
HRESULT OpenEngineToRead(const std::string& file, std::unique_ptr<cfb::CompoundFile>* cf) {
  HRESULT hr = cfb::CompoundFile::Open(file, cf);
  if (hr != STG_E_ACCESSDENIED) return hr;
  hr = platform::CheckNotInConversion(file);
  if (FAILED(hr)) return hr;
  return cfb::CompoundFile::Open(file, cf, cfb::Access::kRead);
}

// Opens the file and every storage of names[0 .. count-1].
int OpenStorages(const std::string& file, const std::vector<std::u16string>& names, size_t count,
                 Use use, OpenPath* path) {
  std::unique_ptr<Storage> root;
  HRESULT hr = OpenRoot(file, use, &root);
  if (FAILED(hr)) return FailOpen(file, hr);
  path->Push(std::move(root));
  std::string so_far;
  for (size_t i = 0; i < count; ++i) {
    so_far += (i > 0 ? "/" : "") + DisplayName(names[i]);
    std::unique_ptr<Storage> child;
    hr = path->back()->OpenStorage(names[i], kStorageMode, &child);
    if (FAILED(hr)) return FailHr("cannot open the storage " + so_far + " in " + file, hr);
    path->Push(std::move(child));
  }
  return 0;
}

// One storage being walked, with its enumerator (released first).
struct ListLevel {
  std::unique_ptr<Storage> storage;
  std::unique_ptr<ElementEnumerator> enumerator;
};

// Releases the open levels innermost first.
void ReleaseLevels(std::vector<ListLevel>* levels) {
  while (!levels->empty()) levels->pop_back();
}

void Flush(std::string* out) {
  std::fwrite(out->data(), 1, out->size(), stdout);
  out->clear();
}

// What a walk of the tree does with each element.
class Visitor {
 public:
  virtual ~Visitor() = default;
  // An element of `parent`, at `depth` (0 for the root's children), with its
  // display path; a storage's elements follow. Non-zero stops the walk.
  virtual int Element(const ElementStat& stat, size_t depth, const std::string& path,
                      Storage* parent) = 0;
  // The elements of the storage last entered are done.
  virtual void Leave() {}
};

// Visits every element depth first, in enumeration order, without
// recursion, so that a deep tree cannot exhaust the stack.
int Walk(const std::string& file, Visitor* visitor) {
  std::vector<ListLevel> levels(1);
  HRESULT hr = OpenRoot(file, Use::kRead, &levels[0].storage);
  if (FAILED(hr)) return FailOpen(file, hr);
  hr = levels[0].storage->EnumElements(&levels[0].enumerator);
  if (FAILED(hr)) {
    ReleaseLevels(&levels);
    return FailHr("cannot list " + file, hr);
  }
  std::string where;  // display path of the storage being walked
  std::vector<size_t> where_lengths;
  while (!levels.empty()) {
    ElementStat stat;
    hr = levels.back().enumerator->Next(&stat);
    if (FAILED(hr)) {
      ReleaseLevels(&levels);
      return FailHr("cannot list " + (where.empty() ? file : where + " in " + file), hr);
    }
    if (hr == S_FALSE) {
      levels.pop_back();
      if (!where_lengths.empty()) {
        where.resize(where_lengths.back());
        where_lengths.pop_back();
        visitor->Leave();
      }
      continue;
    }
    const size_t before = where.size();
    std::string path = where + (where.empty() ? "" : "/") + DisplayName(stat.name);
    if (int status = visitor->Element(stat, levels.size() - 1, path, levels.back().storage.get())) {
      ReleaseLevels(&levels);
      return status;
    }
    if (stat.type != ElementType::kStorage) continue;
    where_lengths.push_back(before);
    where = std::move(path);
    ListLevel child;
    hr = levels.back().storage->OpenStorage(stat.name, kStorageMode, &child.storage);
    if (SUCCEEDED(hr)) hr = child.storage->EnumElements(&child.enumerator);
    if (FAILED(hr)) {
      child.enumerator.reset();
      child.storage.reset();
      ReleaseLevels(&levels);
      return FailHr("cannot list " + where + " in " + file, hr);
    }
    levels.push_back(std::move(child));
  }
  return 0;
}

// FILETIME (100 ns units since 1601-01-01 UTC) as ISO 8601 UTC, with the
// fraction of a second when `fraction` and it is not zero; "" for 0.
std::string FileTimeText(uint64_t filetime, bool fraction) {
  if (filetime == 0) return "";
  const uint64_t ticks = filetime % 10000000;
  uint64_t seconds = filetime / 10000000;
  // Days since 1601-01-01 to a civil date (proleptic Gregorian), counted
  // from 0000-03-01 so that leap days fall at the end of a year.
  const int64_t days = static_cast<int64_t>(seconds / 86400) + 584694;  // 1601-01-01 from 0000-03-01
  seconds %= 86400;
  const int64_t era = days / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[48];
  int n = std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02llu:%02llu:%02llu",
                        static_cast<long long>(year), static_cast<long long>(month),
                        static_cast<long long>(day),
                        static_cast<unsigned long long>(seconds / 3600),
                        static_cast<unsigned long long>(seconds / 60 % 60),
                        static_cast<unsigned long long>(seconds % 60));
  if (fraction && ticks != 0) {
    n += std::snprintf(text + n, sizeof text - n, ".%07llu", static_cast<unsigned long long>(ticks));
  }
  return std::string(text, n) + "Z";
}

// A CLSID in its registry form, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} (the
// first three fields little-endian as stored); "" when it is all zero.
std::string ClsidText(const uint8_t* clsid) {
  bool zero = true;
  for (int i = 0; i < 16; ++i) zero = zero && clsid[i] == 0;
  if (zero) return "";
  char text[40];
  std::snprintf(text, sizeof text,
                "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                clsid[3], clsid[2], clsid[1], clsid[0], clsid[5], clsid[4], clsid[7], clsid[6],
                clsid[8], clsid[9], clsid[10], clsid[11], clsid[12], clsid[13], clsid[14],
                clsid[15]);
  return text;
}

enum class ListFormat { kTree, kLong, kPaths, kJson };

class Lister : public Visitor {
 public:
  explicit Lister(ListFormat format) : format_(format) {}
  int Element(const ElementStat& stat, size_t depth, const std::string& path,
              Storage*) override {
    const bool storage = stat.type == ElementType::kStorage;
    char size[24];
    std::snprintf(size, sizeof size, "%llu", static_cast<unsigned long long>(stat.size));
    switch (format_) {
      case ListFormat::kTree:
      case ListFormat::kLong: {
        char prefix[48];
        std::snprintf(prefix, sizeof prefix, "%-7s %10s  ", storage ? "storage" : "stream",
                      storage ? "" : size);
        out_ += prefix;
        if (format_ == ListFormat::kLong) {
          char times[128];
          std::snprintf(times, sizeof times, "%-20s  %-20s  %-38s  ",
                        FileTimeText(stat.modified, false).c_str(),
                        FileTimeText(stat.created, false).c_str(), ClsidText(stat.clsid).c_str());
          out_ += times;
        }
        out_ += std::string(depth * 2, ' ') + DisplayName(stat.name) + "\n";
        break;
      }
      case ListFormat::kPaths:
        out_ += std::string(storage ? "storage - " : "stream ") + (storage ? "" : size) +
                (storage ? "" : " ") + path + "\n";
        break;
      case ListFormat::kJson:
        out_ += count_ == 0 ? "[\n  {\"path\": " : ",\n  {\"path\": ";
        platform::AppendJsonString(path, &out_);
        out_ += ", \"name\": ";
        platform::AppendJsonName(stat.name, &out_);
        out_ += std::string(", \"type\": \"") + (storage ? "storage" : "stream") +
                "\", \"size\": " + size + ", \"clsid\": ";
        platform::AppendJsonString(ClsidText(stat.clsid), &out_);
        out_ += ", \"created\": ";
        platform::AppendJsonString(FileTimeText(stat.created, true), &out_);
        out_ += ", \"modified\": ";
        platform::AppendJsonString(FileTimeText(stat.modified, true), &out_);
        out_ += "}";
        break;
    }
    ++count_;
    if (out_.size() >= 65536) Flush(&out_);
    return 0;
  }
  // Writes what is still held; the JSON array is closed only after a whole
  // walk, so that a failed listing is not valid JSON.
  int Finish(bool complete) {
    if (complete && format_ == ListFormat::kJson) out_ += count_ == 0 ? "[]\n" : "\n]\n";
    Flush(&out_);
    return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to stdout");
  }

 private:
  ListFormat format_;
  std::string out_;
  uint64_t count_ = 0;
};

int List(const std::string& file, ListFormat format) {
  Lister lister(format);
  int status = Walk(file, &lister);
  int written = lister.Finish(status == 0);
  return status != 0 ? status : written;
}

int Cat(const std::string& file, const std::vector<std::u16string>& names,
        const std::string& shown) {
  OpenPath path;
  if (int status = OpenStorages(file, names, names.size() - 1, Use::kRead, &path)) return status;
  std::unique_ptr<Stream> stream;
  HRESULT hr = path.back()->OpenStream(names.back(), kStorageMode, &stream);
  if (FAILED(hr)) return FailHr("cannot open the stream " + shown + " in " + file, hr);
  std::vector<char> buffer(65536);
  for (;;) {
    uint32_t read = 0;
    hr = stream->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), &read);
    if (FAILED(hr)) return FailHr("cannot read the stream " + shown + " in " + file, hr);
    if (read == 0) break;
    if (std::fwrite(buffer.data(), 1, read, stdout) != read) return Fail("cannot write to stdout");
  }
  return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to stdout");
}

// All of stdin (which platform::UseConsole made binary); false when it
// cannot be read or does not fit a stream.
bool ReadStdin(std::string* data) {
  char buffer[65536];
  for (;;) {
    size_t n = std::fread(buffer, 1, sizeof buffer, stdin);
    if (data->size() + n > UINT32_MAX) return false;
    data->append(buffer, n);
    if (n < sizeof buffer) return std::ferror(stdin) == 0;
  }
}

int Put(const std::string& file, const std::vector<std::u16string>& names,
        const std::string& shown) {
  // All input is read first, so that a failed read leaves the stream alone.
  std::string data;
  if (!ReadStdin(&data)) return Fail("cannot read stdin (or it exceeds 4 GiB)");
  OpenPath path;
  if (int status = OpenStorages(file, names, names.size() - 1, Use::kChange, &path)) return status;
  Storage* parent = path.back();
  const std::u16string& name = names.back();
  std::unique_ptr<Stream> stream;
  HRESULT hr = parent->OpenStream(name, kStorageMode, &stream);
  if (SUCCEEDED(hr)) {
    // A write never shortens a stream: a replaced stream is made anew.
    stream.reset();
    hr = parent->DestroyElement(name);
    if (FAILED(hr)) return FailHr("cannot replace the stream " + shown + " in " + file, hr);
  } else if (hr == STG_E_FILENOTFOUND) {
    std::unique_ptr<Storage> storage;
    if (SUCCEEDED(parent->OpenStorage(name, kStorageMode, &storage))) {
      return Fail(shown + " in " + file + " is a storage, not a stream");
    }
  } else {
    return FailHr("cannot open the stream " + shown + " in " + file, hr);
  }
  hr = parent->CreateStream(name, kStorageMode, &stream);
  if (FAILED(hr)) return FailHr("cannot create the stream " + shown + " in " + file, hr);
  uint32_t written = 0;
  hr = stream->Write(data.data(), static_cast<uint32_t>(data.size()), &written);
  if (SUCCEEDED(hr) && written != data.size()) hr = STG_E_WRITEFAULT;
  if (FAILED(hr)) return FailHr("cannot write the stream " + shown + " in " + file, hr);
  return 0;
}

int MakeStorage(const std::string& file, const std::vector<std::u16string>& names,
                const std::string& shown) {
  OpenPath path;
  if (int status = OpenStorages(file, names, names.size() - 1, Use::kChange, &path)) return status;
  std::unique_ptr<Storage> storage;
  HRESULT hr = path.back()->CreateStorage(names.back(), kStorageMode, &storage);
  if (FAILED(hr)) return FailHr("cannot create the storage " + shown + " in " + file, hr);
  return 0;
}

int Remove(const std::string& file, const std::vector<std::u16string>& names,
           const std::string& shown) {
  OpenPath path;
  if (int status = OpenStorages(file, names, names.size() - 1, Use::kChange, &path)) return status;
  HRESULT hr = path.back()->DestroyElement(names.back());
  if (FAILED(hr)) return FailHr("cannot remove " + shown + " from " + file, hr);
  return 0;
}

int NewFile(const std::string& file) {
  std::unique_ptr<Storage> root;
  HRESULT hr = platform::CreateStorageFile(file, kStorageMode, &root);
  if (FAILED(hr)) return FailHr("cannot create " + file, hr);
  return 0;
}

// The element names that the name rule refuses, found by walking the tree
// through the engine; a line each.
HRESULT CheckNames(cfb::CompoundFile* cf, std::string* problems) {
  struct Level {
    uint32_t storage;
    std::string path;
  };
  std::vector<Level> storages{{cfb::CompoundFile::kRootId, ""}};
  while (!storages.empty()) {
    Level level = storages.back();
    storages.pop_back();
    cfb::ChildCursor cursor;
    for (;;) {
      uint32_t id;
      cfb::DirEntry entry;
      HRESULT hr = cf->NextChild(level.storage, &cursor, &id, &entry);
      if (FAILED(hr)) return hr;
      if (hr == S_FALSE) break;
      std::string path = level.path + (level.path.empty() ? "" : "/") + DisplayName(entry.name);
      if (!platform::IsValidElementName(entry.name)) {
        *problems += "entry " + std::to_string(id) + " (" + path +
                     ") has a name the format does not allow\n";
      }
      if (entry.type == cfb::kTypeStorage) storages.push_back({id, path});
    }
  }
  return S_OK;
}

// Exit status 0: consistent; 1: findings (on stdout, a line each); 2: the
// file cannot be opened at all. The file is opened, checked and closed
// without a commit.
int CheckFile(const std::string& file) {
  std::unique_ptr<cfb::CompoundFile> cf;
  HRESULT hr = OpenEngineToRead(file, &cf);
  if (FAILED(hr)) {
    FailOpen(file, hr);
    return 2;
  }
  std::string problems;
  hr = cf->Check(&problems);
  if (SUCCEEDED(hr)) hr = CheckNames(cf.get(), &problems);
  if (FAILED(hr)) {
    problems += "the structure cannot be walked further: " + platform::DescribeHResult(hr) + "\n";
  }
  cf->Discard();
  std::fwrite(problems.data(), 1, problems.size(), stdout);
  if (std::fflush(stdout) != 0) return Fail("cannot write to stdout");
  return problems.empty() ? 0 : 1;
}

std::string SectorText(uint32_t sector) {
  switch (sector) {
    case cfb::ENDOFCHAIN:
      return "none";
    case cfb::FREESECT:
      return "free";
    default:
      return std::to_string(sector);
  }
}

int Info(const std::string& file) {
  // The size comes from an open of the file itself, which the file layer
  // makes only of a regular file.
  uint64_t file_size = 0;
  {
    std::unique_ptr<platform::File> sized;
    int error = platform::FileSystem::Default()->Open(file, platform::OpenMode::kReadOnly, &sized);
    if (error == EISDIR || error == EINVAL) return Fail(file + " is not a regular file");
    if (error != 0) return Fail("cannot open " + file + ": " + std::strerror(error));
    error = sized->Size(&file_size);
    if (error != 0) return Fail("cannot read " + file + ": " + std::strerror(error));
  }
  std::unique_ptr<cfb::CompoundFile> cf;
  HRESULT hr = OpenEngineToRead(file, &cf);
  if (FAILED(hr)) return FailOpen(file, hr);
  cfb::CompoundFile::Census census;
  hr = cf->Count(&census);
  const cfb::Header h = cf->header();
  cf->Discard();
  if (FAILED(hr)) return FailHr("cannot read the tables of " + file, hr);
  char text[1024];
  std::snprintf(
      text, sizeof text,
      "file size: %llu\n"
      "version: %u (minor 0x%04X)\n"
      "sector size: %u\n"
      "mini sector size: %u\n"
      "mini stream cutoff: %u\n"
      "sectors: %u\n"
      "free sectors: %u\n"
      "FAT sectors: %u\n"
      "DIFAT sectors: %u\n"
      "first DIFAT sector: %s\n"
      "mini FAT sectors: %u\n"
      "first mini FAT sector: %s\n"
      "directory sectors: %llu\n"
      "directory sectors in the header: %u\n"
      "first directory sector: %s\n"
      "mini sectors: %u\n"
      "free mini sectors: %u\n",
      static_cast<unsigned long long>(file_size), h.major_version, h.minor_version,
      h.sector_size(), cfb::kMiniSectorSize, cfb::kMiniStreamCutoff, census.sectors,
      census.free_sectors, h.num_fat_sectors, h.num_difat_sectors,
      SectorText(h.first_difat_sector).c_str(), h.num_minifat_sectors,
      SectorText(h.first_minifat_sector).c_str(),
      static_cast<unsigned long long>(census.directory_sectors), h.num_dir_sectors,
      SectorText(h.first_dir_sector).c_str(), census.mini_sectors, census.free_mini_sectors);
  std::fputs(text, stdout);
  return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to stdout");
}

// Writes every element below a folder: a storage as a folder, a stream as a
// file, named by EscapeName(kFile). A name already taken in the folder (two
// elements whose names escape alike, or a file system that ignores letter
// case) gets \#2, \#3, ... appended: '\' never stands alone in an escaped
// name, so the suffix cannot be read as part of the name. Everything is
// created through platform::OutputFolder, relative to its folder,
// exclusively and without following symbolic links, so nothing can be
// written outside the folder.
class Extractor : public Visitor {
 public:
  Extractor(const std::string& file, std::unique_ptr<platform::OutputFolder> root) : file_(file) {
    folders_.push_back(std::move(root));
  }

  int Element(const ElementStat& stat, size_t, const std::string& path,
              Storage* parent) override {
    const std::string base = EscapeName(stat.name, NameUse::kFile);
    const bool storage = stat.type == ElementType::kStorage;
    std::unique_ptr<platform::OutputFolder> folder;
    std::unique_ptr<platform::File> out;
    for (uint32_t n = 1;; ++n) {
      const std::string name = n == 1 ? base : base + "\\#" + std::to_string(n);
      int error = storage ? folders_.back()->NewFolder(name, &folder)
                          : folders_.back()->NewFile(name, &out);
      if (error == 0) break;
      if (error == EEXIST && n < 100000) continue;
      return Fail("cannot create " + name + " for " + path + ": " + std::strerror(error));
    }
    if (storage) {
      folders_.push_back(std::move(folder));
      return 0;
    }
    int status = CopyStream(stat.name, path, parent, out.get());
    if (status == kUnreadable) {
      // A name the rule refuses (damaged files) cannot be opened: the file
      // stays empty, the walk goes on and the run fails at its end.
      unreadable_ = true;
      status = 0;
    }
    return status;
  }

  void Leave() override { folders_.pop_back(); }
  bool unreadable() const { return unreadable_; }

 private:
  static constexpr int kUnreadable = -1;
  int CopyStream(const std::u16string& name, const std::string& path, Storage* parent,
                 platform::File* out) {
    std::unique_ptr<Stream> stream;
    HRESULT hr = parent->OpenStream(name, kStorageMode, &stream);
    if (FAILED(hr)) {
      FailHr("cannot open the stream " + path + " in " + file_, hr);
      return hr == STG_E_INVALIDNAME ? kUnreadable : 1;
    }
    buffer_.resize(1 << 20);
    for (uint64_t offset = 0;;) {
      uint32_t read = 0;
      hr = stream->Read(buffer_.data(), static_cast<uint32_t>(buffer_.size()), &read);
      if (FAILED(hr)) return FailHr("cannot read the stream " + path + " in " + file_, hr);
      if (read == 0) return 0;
      if (int error = out->WriteAt(offset, buffer_.data(), read)) {
        return Fail("cannot write the file of " + path + ": " + std::strerror(error));
      }
      offset += read;
    }
  }

  std::string file_;
  // The folder of each storage being walked, innermost last.
  std::vector<std::unique_ptr<platform::OutputFolder>> folders_;
  std::vector<char> buffer_;
  bool unreadable_ = false;
};

// Opens `dir` as the folder to extract into: created when missing, refused
// when it holds anything, is no folder or is a symbolic link.
int OpenTargetFolder(const std::string& dir, std::unique_ptr<platform::OutputFolder>* folder) {
  switch (int error = platform::OpenEmptyFolder(dir, folder)) {
    case 0:
      return 0;
    case ENOSYS:
      return Fail("extract is not available in the Windows build");
    case ENOTDIR:
      return Fail(dir + " is not a folder");
    case ENOTEMPTY:
      return Fail("the folder " + dir + " is not empty");
    default:
      return Fail("cannot open the folder " + dir + ": " + std::strerror(error));
  }
}

int Extract(const std::string& file, const std::string& dir) {
  {
    // A file that cannot be opened leaves no folder behind.
    std::unique_ptr<Storage> root;
    HRESULT hr = OpenRoot(file, Use::kRead, &root);
    if (FAILED(hr)) return FailOpen(file, hr);
  }
  std::unique_ptr<platform::OutputFolder> folder;
  if (int status = OpenTargetFolder(dir, &folder)) return status;
  Extractor extractor(file, std::move(folder));
  int status = Walk(file, &extractor);
  return status == 0 && extractor.unreadable() ? 1 : status;
}

int Rename(const std::string& file, const std::vector<std::u16string>& names,
           const std::string& shown, const std::u16string& new_name) {
  OpenPath path;
  if (int status = OpenStorages(file, names, names.size() - 1, Use::kChange, &path)) return status;
  HRESULT hr = path.back()->RenameElement(names.back(), new_name);
  if (FAILED(hr)) {
    return FailHr("cannot rename " + shown + " to " + DisplayName(new_name) + " in " + file, hr);
  }
  return 0;
}

int UsageError(const std::string& line) {
  std::fprintf(stderr, "cfbtool: %s (cfbtool --help shows the usage)\n", line.c_str());
  return 2;
}

}  // namespace

int RunTool(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s\n", kVersion);
    return 0;
  }
  if (argc < 2) return UsageError("no command given");
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  ListFormat format = ListFormat::kTree;
  if (command == "ls" && !args.empty() && args[0].size() > 1 && args[0][0] == '-') {
    if (args[0] == "-l") {
      format = ListFormat::kLong;
    } else if (args[0] == "-p") {
      format = ListFormat::kPaths;
    } else if (args[0] == "--json") {
      format = ListFormat::kJson;
    } else {
      return UsageError("unknown option " + args[0] + " of ls");
    }
    args.erase(args.begin());
  }
  const bool takes_path =
      command == "cat" || command == "put" || command == "mkdir" || command == "rm";
  const bool one_file = command == "ls" || command == "new" || command == "check" ||
                        command == "info";
  size_t expected;
  std::string takes;
  if (takes_path) {
    expected = 2, takes = "a FILE and a PATH";
  } else if (one_file) {
    expected = 1, takes = "one FILE";
  } else if (command == "extract") {
    expected = 2, takes = "a FILE and a DIR";
  } else if (command == "mv") {
    expected = 3, takes = "a FILE, a PATH and a NEWNAME";
  } else {
    return UsageError("unknown command " + command);
  }
  if (args.size() != expected) return UsageError(command + " takes " + takes);
  // FILE and DIR in the encoding of paths (on Windows the ANSI code page);
  // element paths and names stay UTF-8.
  const std::string file = platform::PathFromUtf8(args[0]);
  std::vector<std::u16string> names;
  std::string error;
  if ((takes_path || command == "mv") && !ParsePath(args[1], &names, &error)) {
    return UsageError(error);
  }
  std::vector<std::u16string> new_name;
  if (command == "mv") {
    if (!ParsePath(args[2], &new_name, &error)) return UsageError(error);
    if (new_name.size() != 1) return UsageError("the new name " + args[2] + " is not one name");
  }
  if (command == "check") return CheckFile(file);
  // Each command is one transaction: all of its changes or none.
  platform::StorageScope scope;
  int rc;
  if (command == "ls") {
    rc = List(file, format);
  } else if (command == "new") {
    rc = NewFile(file);
  } else if (command == "info") {
    rc = Info(file);
  } else if (command == "extract") {
    rc = Extract(file, platform::PathFromUtf8(args[1]));
  } else if (command == "mv") {
    rc = Rename(file, names, args[1], new_name[0]);
  } else if (command == "cat") {
    rc = Cat(file, names, args[1]);
  } else if (command == "put") {
    rc = Put(file, names, args[1]);
  } else if (command == "mkdir") {
    rc = MakeStorage(file, names, args[1]);
  } else {
    rc = Remove(file, names, args[1]);
  }
  if (rc != 0) {
    scope.Abandon();
    return rc;
  }
  for (const platform::StorageScope::Failure& failure : scope.Commit()) {
    rc = FailHr("cannot write the changes to " + failure.path + " (nothing of them is in it)",
                  failure.result);
  }
  return rc;
}

}  // namespace cfbtool
