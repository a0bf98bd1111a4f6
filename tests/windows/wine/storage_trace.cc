// Random structured-storage sequences shared by the Windows and the POSIX
// build; see storage_trace.h.
#include "tests/windows/wine/storage_trace.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "platform/storage.h"
#include "platform/text.h"

namespace storage_trace {
namespace {

using platform::ElementEnumerator;
using platform::ElementStat;
using platform::ElementType;
using platform::SeekOrigin;
using platform::Storage;
using platform::Stream;
constexpr uint32_t kMode = platform::kStorageMode;

// A generator of our own, so that both builds draw the same numbers.
class Random {
 public:
  explicit Random(uint32_t seed) : state_(seed * 2654435761u + 1) {}
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  uint32_t Below(uint32_t n) { return Next() % n; }

 private:
  uint32_t state_;
};

// Names in code page 1252: letter-case twins, the sort-order examples,
// non-ASCII letters, 31 characters, and names the format forbids. No twins
// that differ in a non-ASCII letter: Wine's ole32 tells "\xE9t\xE9" from
// "\xC9T\xC9", which the format (and Windows) take for one name; the
// Windows backend tests show that departure.
const char* const kNames[] = {
    "a", "A", "b", "abc", "ABD", "Task", "TASK", "11374", "68962", "2852926", "_Version_",
    "\xE9t\xE9", "\xC4rger", "1234567890123456789012345678901",
    "12345678901234567890123456789012", "a/b", "a!b", "",
};
const char* const kStorages[] = {"", "S1", "s1", "S1/S2", "S1/s2/S3"};
const uint32_t kSizes[] = {0, 1, 63, 64, 65, 100, 4095, 4096, 4097, 5000, 9000, 70000};

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", value);
  return text;
}

std::string Result(HRESULT hr) { return Hex32(static_cast<uint32_t>(hr)); }

uint32_t Fnv(const std::string& bytes) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : bytes) hash = (hash ^ c) * 16777619u;
  return hash;
}

std::string Bytes(Random* random, uint32_t size) {
  std::string bytes(size, '\0');
  uint32_t seed = random->Next();
  for (uint32_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes[i] = static_cast<char>(seed >> 24);
  }
  return bytes;
}

std::string ReadAll(Stream* stream, HRESULT* hr) {
  std::string bytes;
  char buffer[8192];
  for (;;) {
    uint32_t read = 0;
    *hr = stream->Read(buffer, sizeof(buffer), &read);
    if (*hr != S_OK || read == 0) break;
    bytes.append(buffer, read);
  }
  return bytes;
}

void DumpTree(Storage* storage, const std::string& prefix, std::string* out) {
  std::unique_ptr<ElementEnumerator> enumerator;
  HRESULT hr = storage->EnumElements(&enumerator);
  if (hr != S_OK) {
    *out += "  enum " + prefix + " " + Result(hr) + "\n";
    return;
  }
  ElementStat stat;
  while ((hr = enumerator->Next(&stat)) == S_OK) {
    std::string path = prefix + platform::WideToAnsi(stat.name);
    if (stat.type == ElementType::kStorage) {
      *out += "  S " + path + "\n";
      std::unique_ptr<Storage> child;
      hr = storage->OpenStorage(stat.name, kMode, &child);
      if (hr == S_OK) {
        DumpTree(child.get(), path + "/", out);
      } else {
        *out += "  open " + Result(hr) + "\n";
      }
    } else {
      std::unique_ptr<Stream> stream;
      hr = storage->OpenStream(stat.name, kMode, &stream);
      std::string bytes;
      if (hr == S_OK) bytes = ReadAll(stream.get(), &hr);
      *out += "  F " + path + " " + std::to_string(stat.size) + " read " +
              std::to_string(bytes.size()) + " " + Hex32(Fnv(bytes)) + " " + Result(hr) + "\n";
    }
  }
  if (hr != S_FALSE) *out += "  next " + Result(hr) + "\n";
}

// Opens the storage at `path` ("" is the root itself) below `root`; keeps
// every storage on the way open in *chain. Returns the innermost or null.
Storage* OpenPath(Storage* root, const std::string& path,
                  std::vector<std::unique_ptr<Storage>>* chain, std::string* log) {
  Storage* current = root;
  size_t at = 0;
  while (at < path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::unique_ptr<Storage> next;
    HRESULT hr = current->OpenStorage(platform::AnsiToWide(path.substr(at, end - at)), kMode, &next);
    if (hr != S_OK) {
      *log += " path " + Result(hr);
      return nullptr;
    }
    chain->push_back(std::move(next));
    current = chain->back().get();
    at = end + 1;
  }
  return current;
}

}  // namespace

std::string Run(const std::string& path, uint32_t seed, int steps) {
  Random random(seed);
  std::string trace;
  std::unique_ptr<Storage> root;
  HRESULT hr = platform::CreateStorageFile(path, kMode, &root);
  trace += "create " + Result(hr) + "\n";
  if (hr != S_OK) return trace;

  for (int step = 0; step < steps; ++step) {
    const std::string where = kStorages[random.Below(sizeof(kStorages) / sizeof(kStorages[0]))];
    const std::string name = kNames[random.Below(sizeof(kNames) / sizeof(kNames[0]))];
    const std::u16string wide = platform::AnsiToWide(name);
    const uint32_t op = random.Below(100);
    std::string line = std::to_string(step) + " [" + where + "] '" + name + "'";

    if (op < 4) {  // release everything and open the file again
      root.reset();
      hr = platform::OpenStorageFile(path, kMode, &root);
      trace += line + " reopen " + Result(hr) + "\n";
      if (hr != S_OK) return trace;
      DumpTree(root.get(), "", &trace);
      continue;
    }
    std::vector<std::unique_ptr<Storage>> chain;
    Storage* storage = OpenPath(root.get(), where, &chain, &line);
    if (storage == nullptr) {
      // Make the missing storages now and then, so that deep paths fill up.
      if (op < 30) {
        line += " mkpath";
        Storage* current = root.get();
        size_t at = 0;
        while (at < where.size()) {
          size_t end = where.find('/', at);
          if (end == std::string::npos) end = where.size();
          std::u16string part = platform::AnsiToWide(where.substr(at, end - at));
          std::unique_ptr<Storage> next;
          hr = current->OpenStorage(part, kMode, &next);
          if (hr == STG_E_FILENOTFOUND) hr = current->CreateStorage(part, kMode, &next);
          line += " " + Result(hr);
          if (hr != S_OK) break;
          chain.push_back(std::move(next));
          current = chain.back().get();
          at = end + 1;
        }
      }
      trace += line + "\n";
      continue;
    }

    if (op < 35) {  // a new stream with contents
      std::unique_ptr<Stream> stream;
      hr = storage->CreateStream(wide, kMode, &stream);
      line += " mkstream " + Result(hr);
      if (hr == S_OK) {
        std::string bytes = Bytes(&random, kSizes[random.Below(12)]);
        uint32_t written = 0;
        hr = stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
        line += " write " + Result(hr) + " " + std::to_string(written);
      }
    } else if (op < 55) {  // a write into an existing stream
      std::unique_ptr<Stream> stream;
      hr = storage->OpenStream(wide, kMode, &stream);
      line += " open " + Result(hr);
      if (hr == S_OK) {
        uint64_t end = 0;
        stream->Seek(0, SeekOrigin::kEnd, &end);
        uint64_t offset = random.Below(3) == 0 ? end + random.Below(5000) : random.Below(
                                                     static_cast<uint32_t>(end) + 1);
        std::string bytes = Bytes(&random, kSizes[random.Below(12)]);
        uint64_t position = 0;
        hr = stream->Seek(static_cast<int64_t>(offset), SeekOrigin::kSet, &position);
        uint32_t written = 0;
        HRESULT write_hr =
            stream->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), &written);
        stream->Seek(0, SeekOrigin::kEnd, &end);
        line += " at " + std::to_string(offset) + " " + Result(hr) + " write " +
                Result(write_hr) + " " + std::to_string(written) + " size " + std::to_string(end);
        // Opening it a second time while it is open is refused.
        std::unique_ptr<Stream> again;
        line += " again " + Result(storage->OpenStream(wide, kMode, &again));
      }
    } else if (op < 65) {  // read it whole, and a seek before its start
      std::unique_ptr<Stream> stream;
      hr = storage->OpenStream(wide, kMode, &stream);
      line += " read " + Result(hr);
      if (hr == S_OK) {
        std::string bytes = ReadAll(stream.get(), &hr);
        uint64_t position = 0;
        line += " " + std::to_string(bytes.size()) + " " + Hex32(Fnv(bytes)) + " " + Result(hr) +
                " seek " + Result(stream->Seek(-1, SeekOrigin::kSet, &position));
      }
    } else if (op < 75) {
      line += " destroy " + Result(storage->DestroyElement(wide));
    } else if (op < 85) {
      std::unique_ptr<Storage> child;
      line += " mkstorage " + Result(storage->CreateStorage(wide, kMode, &child));
      std::unique_ptr<Storage> as_storage;
      line += " openstorage " + Result(storage->OpenStorage(wide, kMode, &as_storage));
    } else {
      line += " list";
      std::unique_ptr<ElementEnumerator> enumerator;
      hr = storage->EnumElements(&enumerator);
      if (hr == S_OK) {
        ElementStat stat;
        while ((hr = enumerator->Next(&stat)) == S_OK) {
          line += " " + platform::WideToAnsi(stat.name) +
                  (stat.type == ElementType::kStorage ? "/" : ":" + std::to_string(stat.size));
        }
      }
      line += " " + Result(hr);
    }
    trace += line + "\n";
  }
  root.reset();
  hr = platform::OpenStorageFile(path, kMode, &root);
  trace += "final " + Result(hr) + "\n";
  if (hr == S_OK) DumpTree(root.get(), "", &trace);
  return trace;
}

std::string Dump(const std::string& path) {
  std::unique_ptr<Storage> root;
  HRESULT hr = platform::OpenStorageFile(path, kMode, &root);
  std::string dump = "open " + Result(hr) + "\n";
  if (hr == S_OK) DumpTree(root.get(), "", &dump);
  return dump;
}

}  // namespace storage_trace
