// cfbtool: lists, reads and patches compound files through the storage
// interface, for people who need to look into a configuration file.
//
// Element paths are names joined by '/'; names on the command line and in
// the output are UTF-8. In the output a control character is written as
// \xNN and a backslash as \\; paths on the command line take the same
// escapes, and \/ for a '/' inside a name.

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/hresult_names.h"
#include "platform/storage.h"

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
    "  cat FILE PATH    write a stream's bytes to stdout\n"
    "  put FILE PATH    replace a stream's bytes (or create the stream) from stdin\n"
    "  mkdir FILE PATH  create a storage\n"
    "  rm FILE PATH     remove a stream, or a storage with everything inside it\n"
    "  new FILE         create an empty compound file\n"
    "PATH is element names joined by '/', in UTF-8, e.g. _Common_/_ReadOnly_.\n";
const char kVersion[] = "cfbtool 1.0.0";

int Fail(const std::string& line) {
  std::fprintf(stderr, "cfbtool: %s\n", line.c_str());
  return 1;
}

int FailHr(const std::string& what, HRESULT hr) {
  return Fail(what + ": " + platform::DescribeHResult(hr));
}

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool Utf8ToUtf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t code;
    size_t n;
    if (b < 0x80) {
      code = b, n = 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      code = b & 0x1F, n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      code = b & 0x0F, n = 3;
    } else if (b >= 0xF0 && b <= 0xF4) {
      code = b & 0x07, n = 4;
    } else {
      return false;
    }
    if (i + n > text.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      unsigned char c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      code = code << 6 | (c & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((n == 3 && code < 0x800) || (n == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
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

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code >> 6));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code >> 12));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code >> 18));
    out->push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// An element name for display: UTF-8, a lone surrogate as U+FFFD, control
// characters as \xNN and the backslash doubled.
std::string DisplayName(const std::u16string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
      out += escape;
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      AppendUtf8(c, &out);
    }
  }
  return out;
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

// Opens the file and every storage of names[0 .. count-1].
int OpenStorages(const std::string& file, const std::vector<std::u16string>& names, size_t count,
                 OpenPath* path) {
  std::unique_ptr<Storage> root;
  HRESULT hr = platform::OpenStorageFile(file, kStorageMode, &root);
  if (FAILED(hr)) return FailHr("cannot open " + file, hr);
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

// One storage being listed, with its enumerator (released first).
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

int List(const std::string& file) {
  std::vector<ListLevel> levels(1);
  HRESULT hr = platform::OpenStorageFile(file, kStorageMode, &levels[0].storage);
  if (FAILED(hr)) return FailHr("cannot open " + file, hr);
  hr = levels[0].storage->EnumElements(&levels[0].enumerator);
  if (FAILED(hr)) {
    ReleaseLevels(&levels);
    return FailHr("cannot list " + file, hr);
  }
  // Depth first without recursion, so that a deep tree cannot exhaust the
  // stack; a storage's elements follow its own line.
  std::string out;
  std::string where;  // display path of the storage being listed
  std::vector<size_t> where_lengths;
  while (!levels.empty()) {
    ElementStat stat;
    hr = levels.back().enumerator->Next(&stat);
    if (FAILED(hr)) {
      Flush(&out);
      ReleaseLevels(&levels);
      return FailHr("cannot list " + (where.empty() ? file : where + " in " + file), hr);
    }
    if (hr == S_FALSE) {
      levels.pop_back();
      if (!where_lengths.empty()) {
        where.resize(where_lengths.back());
        where_lengths.pop_back();
      }
      continue;
    }
    char prefix[48];
    if (stat.type == ElementType::kStorage) {
      std::snprintf(prefix, sizeof prefix, "storage %10s  ", "");
    } else {
      std::snprintf(prefix, sizeof prefix, "stream  %10llu  ",
                    static_cast<unsigned long long>(stat.size));
    }
    std::string name = DisplayName(stat.name);
    out += prefix + std::string((levels.size() - 1) * 2, ' ') + name + "\n";
    if (out.size() >= 65536) Flush(&out);
    if (stat.type != ElementType::kStorage) continue;
    where_lengths.push_back(where.size());
    where += (where.empty() ? "" : "/") + name;
    ListLevel child;
    hr = levels.back().storage->OpenStorage(stat.name, kStorageMode, &child.storage);
    if (SUCCEEDED(hr)) hr = child.storage->EnumElements(&child.enumerator);
    if (FAILED(hr)) {
      Flush(&out);
      child.enumerator.reset();
      child.storage.reset();
      ReleaseLevels(&levels);
      return FailHr("cannot list " + where + " in " + file, hr);
    }
    levels.push_back(std::move(child));
  }
  Flush(&out);
  return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to stdout");
}

int Cat(const std::string& file, const std::vector<std::u16string>& names,
        const std::string& shown) {
  OpenPath path;
  if (int status = OpenStorages(file, names, names.size() - 1, &path)) return status;
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

// All of stdin; false when it cannot be read or does not fit a stream.
bool ReadStdin(std::string* data) {
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    if (data->size() + static_cast<size_t>(n) > UINT32_MAX) return false;
    data->append(buffer, static_cast<size_t>(n));
  }
}

int Put(const std::string& file, const std::vector<std::u16string>& names,
        const std::string& shown) {
  // All input is read first, so that a failed read leaves the stream alone.
  std::string data;
  if (!ReadStdin(&data)) return Fail("cannot read stdin (or it exceeds 4 GiB)");
  OpenPath path;
  if (int status = OpenStorages(file, names, names.size() - 1, &path)) return status;
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
  if (int status = OpenStorages(file, names, names.size() - 1, &path)) return status;
  std::unique_ptr<Storage> storage;
  HRESULT hr = path.back()->CreateStorage(names.back(), kStorageMode, &storage);
  if (FAILED(hr)) return FailHr("cannot create the storage " + shown + " in " + file, hr);
  return 0;
}

int Remove(const std::string& file, const std::vector<std::u16string>& names,
           const std::string& shown) {
  OpenPath path;
  if (int status = OpenStorages(file, names, names.size() - 1, &path)) return status;
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

int UsageError(const std::string& line) {
  std::fprintf(stderr, "cfbtool: %s (cfbtool --help shows the usage)\n", line.c_str());
  return 2;
}

int RunCommand(const std::string& command, const std::string& file,
               const std::vector<std::u16string>& names, const std::string& shown) {
  if (command == "ls") return List(file);
  if (command == "new") return NewFile(file);
  if (command == "cat") return Cat(file, names, shown);
  if (command == "put") return Put(file, names, shown);
  if (command == "mkdir") return MakeStorage(file, names, shown);
  return Remove(file, names, shown);
}

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
  const bool takes_path =
      command == "cat" || command == "put" || command == "mkdir" || command == "rm";
  if (!takes_path && command != "ls" && command != "new") {
    return UsageError("unknown command " + command);
  }
  const int expected = takes_path ? 4 : 3;
  if (argc != expected) {
    return UsageError(command + " takes " + (takes_path ? "a FILE and a PATH" : "one FILE"));
  }
  const std::string file = argv[2];
  std::vector<std::u16string> names;
  std::string error;
  if (takes_path && !ParsePath(argv[3], &names, &error)) return UsageError(error);
  // Each command is one transaction: all of its changes or none.
  platform::StorageScope scope;
  int rc = RunCommand(command, file, names, takes_path ? argv[3] : "");
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

}  // namespace

int main(int argc, char** argv) { return RunTool(argc, argv); }
