// Task areas and the task streams inside them.

#include "builder/task_storage.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "builder/config_layout.h"
#include "platform/hresult_names.h"
#include "platform/little_endian.h"
#include "platform/stream_io.h"
#include "platform/system.h"
#include "platform/text.h"

namespace builder {

namespace {

using platform::AnsiToWide;
using platform::kStorageMode;

constexpr uint32_t kAreaBits = IsShared | IsReadOnly;
constexpr int32_t kReadTaskOutOfMemory = 8;

// The stream-name generator (the C runtime's rand): never reseeded, and
// nothing else in the builder draws from it, so that a run names its
// streams as every run before it did.
uint32_t generator_state = 1;

uint32_t DrawRandom() {
  generator_state = generator_state * 214013u + 2531011u;
  return (generator_state >> 16) & 0x7FFF;
}

HRESULT CheckVersion(platform::Storage* root) {
  uint32_t number = 0;
  HRESULT hr = ReadVersionNumber(root, &number);
  if (hr == STG_E_FILENOTFOUND) {
    // A missing version stream is created empty: the file is then of no
    // version this builder writes into.
    std::unique_ptr<platform::Stream> version;
    hr = root->CreateStream(AnsiToWide(kVersionStreamName), kStorageMode, &version);
    return FAILED(hr) ? hr : STG_E_OLDFORMAT;
  }
  // A version stream shorter than 4 bytes is no version 616, even when its
  // first bytes are those of 616.
  return hr == S_OK && number == kFormatVersion ? S_OK : STG_E_OLDFORMAT;
}

HRESULT OpenChain(uint32_t area_bits, TaskArea* area) {
  HRESULT hr = CheckVersion(area->root.get());
  if (FAILED(hr)) return hr;
  // Common storages are created after any failed open, user areas only
  // when they are missing.
  return OpenAreaStorages(area->root.get(), area_bits, DomainName, UserName, OpenOrCreateAreaStep,
                          &area->outer, &area->target);
}

void Release(TaskArea* area) {
  area->target.reset();
  area->outer.reset();
  area->root.reset();
}

void SetError(HRESULT* error, HRESULT hr) {
  if (error != nullptr) *error = hr;
}

// Opens the stream a write goes to, setting StreamName where the writer
// chooses it.
HRESULT OpenStreamForWrite(platform::Storage* target, TaskRecord* record,
                           std::unique_ptr<platform::Stream>* stream) {
  if (!record->StreamName.empty()) {
    std::u16string wide = AnsiToWide(record->StreamName);
    HRESULT hr = target->OpenStream(wide, kStorageMode, stream);
    if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) {
      hr = target->CreateStream(wide, kStorageMode, stream);
    }
    return hr;
  }
  if (!record->Name.empty() && record->Name[0] == '*') {
    record->StreamName = record->Name.substr(1);
    std::u16string wide = AnsiToWide(record->StreamName);
    if (wide.size() > kMaxStreamNameLength) return STG_E_INVALIDNAME;
    return target->CreateStream(wide, kStorageMode, stream);
  }
  std::string name;
  for (;;) {
    name = std::to_string(NextStreamNameCandidate());
    std::unique_ptr<platform::Stream> probe;
    if (FAILED(target->OpenStream(AnsiToWide(name), kStorageMode, &probe))) break;
  }
  record->StreamName = name;
  return target->CreateStream(AnsiToWide(name), kStorageMode, stream);
}

// The whole stream, read in pieces so that memory follows the bytes that
// actually arrive, not the size the stream claims.
int32_t ReadAll(platform::Stream* stream, uint32_t size, uint8_t** out) {
  constexpr uint32_t kPiece = 1 << 16;
  uint8_t* buffer = nullptr;
  uint32_t have = 0;
  while (have < size) {
    uint32_t want = size - have < kPiece ? size - have : kPiece;
    uint8_t* grown = static_cast<uint8_t*>(std::realloc(buffer, size_t{have} + want + 2));
    if (grown == nullptr) {
      std::free(buffer);
      return kReadTaskOutOfMemory;
    }
    buffer = grown;
    uint32_t read = 0;
    HRESULT hr = stream->Read(buffer + have, want, &read);
    if (FAILED(hr) || read != want) {
      std::free(buffer);
      return kReadTaskFailed;
    }
    have += want;
  }
  *out = buffer;
  return 0;
}

// Reads only the Name of a task stream at position 0, so that a lookup by
// name reads the whole stream of the matching task alone. Returns 0, or 30
// when the header or the name cannot be read or the name is too long.
int32_t PeekTaskName(platform::Stream* stream, std::string* name) {
  uint8_t head[kTaskHeaderSize + 4];
  uint32_t read = 0;
  if (FAILED(stream->Read(head, sizeof head, &read)) || read != sizeof head) {
    return kReadTaskFailed;
  }
  uint32_t length = platform::Get32(head + kTaskHeaderSize);
  if (length > kMaxTextLength) return kReadTaskFailed;
  name->assign(length, '\0');
  if (length > 0 && (FAILED(stream->Read(name->data(), length, &read)) || read != length)) {
    return kReadTaskFailed;
  }
  return 0;
}


}  // namespace

std::string ReadTaskFailure(int32_t rc) {
  if (rc == kReadTaskFailed) return "damaged or cut short";
  if (rc == kReadTaskOutOfMemory) return "out of memory";
  return platform::DescribeHResult(rc);
}

int32_t MulDiv(int32_t number, int32_t numerator, int32_t denominator) {
  if (denominator == 0) return -1;
  int64_t product = static_cast<int64_t>(number) * numerator;
  int64_t divisor = denominator;
  if (divisor < 0) {
    product = -product;
    divisor = -divisor;
  }
  int64_t result = product >= 0 ? (product + divisor / 2) / divisor
                                : (product - divisor / 2) / divisor;
  if (result > INT32_MAX || result < -INT32_MAX) return -1;
  return static_cast<int32_t>(result);
}

uint32_t NextStreamNameCandidate() {
  for (;;) {
    int32_t r1 = static_cast<int32_t>(DrawRandom());
    int32_t r2 = static_cast<int32_t>(DrawRandom());
    int32_t r3 = static_cast<int32_t>(DrawRandom());
    uint32_t d = static_cast<uint32_t>(MulDiv(r3, r2, r1));
    if (d != 0) return d;
  }
}

void ResetStreamNameGenerator() { generator_state = 1; }

HRESULT OpenTaskArea(uint32_t area_bits, TaskArea* area) {
  Release(area);
  // Without a domain and user the user area has no name: refuse it here so
  // that no storage with an empty name is ever asked for.
  if ((area_bits & kAreaBits) == 0 && (DomainName.empty() || UserName.empty())) {
    return kUserAreaUnnamed;
  }
  HRESULT hr = platform::OpenStorageFile(ConfigPath, kStorageMode, &area->root);
  if (FAILED(hr)) {
    if (!CreateSkeleton(ConfigPath)) return hr;
    hr = platform::OpenStorageFile(ConfigPath, kStorageMode, &area->root);
    if (FAILED(hr)) return hr;
  }
  return OpenChain(area_bits, area);
}

bool WriteTask(TaskRecord* record, HRESULT* error) {
  SetError(error, S_OK);
  if (!FitsFields(*record)) {
    SetError(error, STG_E_INVALIDPARAMETER);
    return false;
  }
  TaskArea area;
  HRESULT hr = OpenTaskArea(record->TaskFlags, &area);
  if (FAILED(hr)) {
    SetError(error, hr);
    Release(&area);
    return false;
  }
  std::unique_ptr<platform::Stream> stream;
  hr = OpenStreamForWrite(area.target.get(), record, &stream);
  if (SUCCEEDED(hr)) {
    uint32_t size = SerializedSize(*record) + kTaskStreamTrailerSize;
    uint8_t* buffer = static_cast<uint8_t*>(std::calloc(size, 1));
    if (buffer == nullptr) {
      hr = E_OUTOFMEMORY;
    } else {
      Serialize(*record, buffer);
      uint32_t written = 0;
      hr = stream->Write(buffer, size, &written);
      if (SUCCEEDED(hr) && written != size) hr = STG_E_WRITEFAULT;
      std::free(buffer);
    }
  }
  stream.reset();
  Release(&area);
  SetError(error, SUCCEEDED(hr) ? S_OK : hr);
  return SUCCEEDED(hr);
}

int32_t ReadTask(TaskRecord* record, platform::Stream* stream) {
  uint64_t end = 0;
  HRESULT hr = platform::MeasureStream(stream, &end);
  if (FAILED(hr)) return hr;
  uint32_t size = static_cast<uint32_t>(end);  // the low 32 bits of the size
  uint8_t* buffer = nullptr;
  int32_t rc = ReadAll(stream, size, &buffer);
  if (rc != 0) return rc;
  bool parsed = ParseTaskStream(buffer, size, record);
  std::free(buffer);
  return parsed ? 0 : kReadTaskFailed;
}

bool FindTaskInArea(TaskRecord* record, const std::string& name, uint32_t area_bits,
                    HRESULT* error) {
  SetError(error, S_OK);
  record->DirectLookup = !name.empty() && name[0] == '*';
  // A fixed name is looked up in the user area, whatever area was asked for.
  if (record->DirectLookup) area_bits &= ~kAreaBits;
  TaskArea area;
  HRESULT hr = OpenTaskArea(area_bits, &area);
  if (FAILED(hr)) {
    SetError(error, hr);
    Release(&area);
    return false;
  }
  bool found = false;
  if (record->DirectLookup) {
    record->Clear();
    record->StreamName = name.substr(1);
    std::unique_ptr<platform::Stream> stream;
    if (SUCCEEDED(area.target->OpenStream(AnsiToWide(record->StreamName), kStorageMode,
                                          &stream))) {
      found = ReadTask(record, stream.get()) == 0;
    }
  } else {
    std::unique_ptr<platform::ElementEnumerator> elements;
    hr = area.target->EnumElements(&elements);
    if (FAILED(hr)) SetError(error, hr);
    platform::ElementStat stat;
    while (SUCCEEDED(hr) && !found && elements->Next(&stat) == S_OK) {
      if (stat.type != platform::ElementType::kStream) continue;
      record->Clear();
      std::unique_ptr<platform::Stream> stream;
      if (FAILED(area.target->OpenStream(stat.name, kStorageMode, &stream))) continue;
      std::string task_name;
      int32_t rc = PeekTaskName(stream.get(), &task_name);
      if (rc == 0 && !platform::EqualNoCaseAnsi(name, task_name)) continue;
      if (rc == 0) rc = ReadTask(record, stream.get());
      if (rc != 0) {
        platform::Report("passed over the unreadable task stream \"" +
                         platform::WideToAnsi(stat.name) + "\" in " +
                         ConfigPath + " (" + ReadTaskFailure(rc) + ")");
        continue;
      }
      std::string stream_name = platform::WideToAnsi(stat.name);
      // A name that does not survive the trip through the ANSI code page
      // could not be addressed again, and might name another element.
      if (AnsiToWide(stream_name) != stat.name) {
        platform::Report("passed over the task \"" + name + "\": its stream name has no form in "
                         "the ANSI code page");
        continue;
      }
      record->StreamName = stream_name;
      found = true;
    }
    elements.reset();
  }
  Release(&area);
  return found;
}

DeleteOutcome DeleteTask(TaskRecord* record, const std::string& name, HRESULT* error,
                         uint32_t* area_found) {
  SetError(error, S_OK);
  uint32_t found_in = 0;
  HRESULT hr = S_OK;
  record->Clear();
  if (FindTaskInArea(record, name, IsShared, &hr)) {
    found_in = IsShared;
  } else {
    HRESULT first = hr;
    record->Clear();
    if (FindTaskInArea(record, name, IsReadOnly, &hr)) {
      found_in = IsReadOnly;
    } else {
      record->Clear();
      if (FAILED(first) || FAILED(hr)) {
        SetError(error, FAILED(first) ? first : hr);
        return DeleteOutcome::kFailed;
      }
      return DeleteOutcome::kNotFound;
    }
  }
  if (record->DirectLookup) found_in = 0;
  if (area_found != nullptr) *area_found = found_in;
  // Destroyed in the area where the task was found: the found stream's own
  // TaskFlags could name another area, whose stream of the same name would
  // be another task.
  TaskArea area;
  hr = OpenTaskArea(found_in, &area);
  if (SUCCEEDED(hr)) hr = area.target->DestroyElement(AnsiToWide(record->StreamName));
  Release(&area);
  SetError(error, hr);
  return SUCCEEDED(hr) ? DeleteOutcome::kDeleted : DeleteOutcome::kFailed;
}

}  // namespace builder
