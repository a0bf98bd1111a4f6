// Reading of version-615 configuration files. See old_config_reader.h.

#include "converter/old_config_reader.h"

#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "builder/config_layout.h"
#include "builder/task_storage.h"
#include "platform/hresult_names.h"
#include "platform/little_endian.h"
#include "platform/stream_io.h"
#include "platform/system.h"
#include "platform/text.h"

namespace converter {

namespace {

using platform::ElementStat;
using platform::ElementType;
using platform::kStorageMode;
using platform::Storage;
using platform::Stream;

void SetWhy(std::string* why, const std::string& text) {
  if (why != nullptr) *why = text;
}

// Reads a counted string at bytes[0, size): its length, then its bytes.
int ReadCountedText(CString* text, const uint8_t* bytes, size_t size, size_t* consumed,
                    const char* field, std::string* why) {
  if (size < 4) {
    SetWhy(why, std::string("the length of ") + field + " runs past the end");
    return kStreamMalformed;
  }
  uint32_t length = platform::Get32(bytes);
  if (length > kMaxTextLength) {
    SetWhy(why, std::string(field) + " is longer than 259 bytes (" + std::to_string(length) + ")");
    return kStreamMalformed;
  }
  if (length > size - 4) {
    SetWhy(why, std::string(field) + " runs past the end of the stream");
    return kStreamMalformed;
  }
  if (!text->Assign(reinterpret_cast<const char*>(bytes + 4), length)) {
    SetWhy(why, std::string(field) + " holds a NUL byte");
    return kStreamMalformed;
  }
  *consumed = 4 + static_cast<size_t>(length);
  return 0;
}

int ReadByteList(CByteArray* list, const uint8_t* bytes, size_t size, size_t* consumed,
                 const char* field, std::string* why) {
  if (size < 4) {
    SetWhy(why, std::string("the count of ") + field + " runs past the end");
    return kStreamMalformed;
  }
  uint32_t count = platform::Get32(bytes);
  if (count > size - 4) {
    SetWhy(why, std::string(field) + " runs past the end of the stream");
    return kStreamMalformed;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (list->Append(bytes[4 + i]) < 0) {
      SetWhy(why, std::string("no memory for ") + field);
      return kStreamNoMemory;
    }
  }
  *consumed = 4 + static_cast<size_t>(count);
  return 0;
}

std::string Narrow(const std::u16string& name) { return platform::WideToAnsi(name); }

// An element name that comes back unchanged from ANSI text, so that the
// builder, which gets the ANSI text, names the same storage.
bool CarriedAsAnsi(const std::u16string& name, std::string* ansi) {
  *ansi = platform::WideToAnsi(name);
  return ansi->size() <= kMaxTextLength && platform::AnsiToWide(*ansi) == name;
}

std::string Place(const StoredArea& area) {
  return builder::AreaPlace(static_cast<uint32_t>(area.area), area.domain, area.user);
}

// Says what could not be read and keeps the text for the run's report.
void Unreadable(std::vector<std::string>* unread, const std::string& text) {
  platform::Report(text);
  unread->push_back(text);
}

// Reads every task stream of the area storage `storage` into area->tasks,
// in enumeration order. A stream that cannot be read is reported and passed
// over. Returns 0 or kAreaFailed.
int ReadAreaStreams(Storage* storage, const std::string& path, uint32_t version,
                    StoredArea* area) {
  const std::string place = Place(*area);
  std::vector<ElementStat> elements;
  const HRESULT listed = platform::ListElements(storage, &elements);
  int result = 0;
  // One record of each layout for the whole area: each stream is parsed
  // here once to be checked and named.
  const bool old = version == kOldVersion;
  std::unique_ptr<OldTaskRecord> old_record(old ? new (std::nothrow) OldTaskRecord : nullptr);
  builder::TaskRecord new_record;
  for (const ElementStat& stat : elements) {
    if (stat.type != ElementType::kStream) continue;
    StoredTask task;
    task.stream = Narrow(stat.name);
    task.version = version;
    std::unique_ptr<Stream> stream;
    HRESULT hr = !old || old_record ? storage->OpenStream(stat.name, kStorageMode, &stream)
                                    : E_OUTOFMEMORY;
    int read = hr;
    std::string why = old_record || !old ? "cannot open: " + platform::DescribeHResult(hr)
                                         : std::string("no memory for its record");
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
    if (SUCCEEDED(hr)) read = ReadWholeTaskStream(stream.get(), &bytes, &size, &why);
    if (read == 0 && old) {
      old_record->Clear();
      read = ParseTaskStream(old_record.get(), bytes.get(), size, &why);
      task.name = old_record->Name.text;
    } else if (read == 0) {
      new_record.Clear();
      if (!builder::ParseTaskStream(bytes.get(), size, &new_record)) {
        read = kStreamMalformed;
        why = builder::ReadTaskFailure(builder::kReadTaskFailed);
      }
      task.name = new_record.Name;
    }
    if (read == 0) task.bytes.assign(reinterpret_cast<const char*>(bytes.get()), size);
    if (read != 0) {
      // Passed over: every task that can be read is still carried.
      Unreadable(&area->unread, "task stream " + place + "/" + task.stream + " of " + path +
                                    " cannot be read: " + why);
      result = kAreaFailed;
      continue;
    }
    area->tasks.push_back(std::move(task));
  }
  if (FAILED(listed)) {
    Unreadable(&area->unread,
               platform::FailureText("cannot list the task area " + place + " of " + path, listed));
    return kAreaFailed;
  }
  return result;
}

// Reads one area into *area (whose kind, domain and user are set). A
// shared or read-only area that the file does not have holds no task; a
// user area was found by the walk, so its absence is a failure.
int ReadArea(Storage* root, const std::string& path, uint32_t version, StoredArea* area) {
  std::unique_ptr<Storage> outer, inner;
  HRESULT hr = builder::OpenAreaStorages(root, static_cast<uint32_t>(area->area), area->domain,
                                         area->user, builder::OpenAreaStep, &outer, &inner);
  if (hr == STG_E_FILENOTFOUND && area->area != TaskArea::kPrivate) return 0;
  if (FAILED(hr)) {
    Unreadable(&area->unread, platform::FailureText(
                                  "cannot open the task area " + Place(*area) + " of " + path, hr));
    return kAreaFailed;
  }
  return ReadAreaStreams(inner.get(), path, version, area);
}

// The domain storages of the file (root storages whose names do not begin
// with "_") and the user storages in each, in enumeration order. Returns 0
// or kAreaFailed (a domain that cannot be listed, a name that cannot be
// carried as ANSI text), with a message.
int ListDomains(Storage* root, const std::string& path, std::vector<DomainStorage>* domains,
                std::vector<std::string>* unread) {
  std::vector<ElementStat> elements;
  const HRESULT listed = platform::ListElements(root, &elements);
  int result = 0;
  for (const ElementStat& stat : elements) {
    if (stat.type != ElementType::kStorage || stat.name.empty() || stat.name[0] == u'_') continue;
    DomainStorage domain;
    if (!CarriedAsAnsi(stat.name, &domain.name)) {
      Unreadable(unread, "domain " + domain.name + " of " + path +
                             ": its name cannot be written in the ANSI code page");
      result |= kAreaFailed;
      continue;
    }
    std::unique_ptr<Storage> domain_storage;
    std::vector<ElementStat> users;
    HRESULT hr = root->OpenStorage(stat.name, kStorageMode, &domain_storage);
    if (SUCCEEDED(hr)) hr = platform::ListElements(domain_storage.get(), &users);
    for (const ElementStat& user : users) {
      // Only storages are user areas; a stream directly in a domain holds
      // no task of any area.
      if (user.type != ElementType::kStorage) continue;
      std::string user_name;
      if (!CarriedAsAnsi(user.name, &user_name)) {
        Unreadable(unread, "user " + domain.name + "/" + user_name + " of " + path +
                               ": its name cannot be written in the ANSI code page");
        result |= kAreaFailed;
        continue;
      }
      domain.users.push_back(std::move(user_name));
    }
    if (FAILED(hr)) {
      Unreadable(unread, platform::FailureText(
                             "cannot list the users of domain " + domain.name + " of " + path, hr));
      result |= kAreaFailed;
      // Only what could be listed is carried.
      if (domain.users.empty()) continue;
    }
    domains->push_back(std::move(domain));
  }
  if (FAILED(listed)) {
    Unreadable(unread, platform::FailureText("cannot list the domains of " + path, listed));
    return kAreaFailed;
  }
  return result;
}

}  // namespace

void OldTaskRecord::Clear() {
  ComponentFlags = 0;
  TaskFlags = 0;
  ResidentFlags = 0;
  Priority = 0;
  std::memset(Reserved, 0, sizeof Reserved);
  Name.Assign("");
  ReportFileName.Assign("");
  VirusFoundMsg.Assign("");
  ChainedTask.Assign("");
  Types.RemoveAll();
  Areas.RemoveAll();
  SendTo.RemoveAll();
  ResidentExcludeFiles.RemoveAll();
  AreaFlags.RemoveAll();
  TypeFlags.RemoveAll();
}

int ReadStringList(CStringArray* list, const uint8_t* bytes, size_t size, size_t* consumed,
                   std::string* why) {
  if (size < 4) {
    SetWhy(why, "a list count runs past the end of the stream");
    return kStreamMalformed;
  }
  uint32_t count = platform::Get32(bytes);
  // Every item takes at least its 4-byte length: a count beyond that is
  // refused before any item is read.
  if (count > (size - 4) / 4) {
    SetWhy(why, "a list count (" + std::to_string(count) + ") runs past the end of the stream");
    return kStreamMalformed;
  }
  size_t offset = 4;
  CString item;
  for (uint32_t i = 0; i < count; ++i) {
    size_t used = 0;
    int result = ReadCountedText(&item, bytes + offset, size - offset, &used, "a list item", why);
    if (result != 0) return result;
    if (list->Append(item) < 0) {
      SetWhy(why, "no memory for a list item");
      return kStreamNoMemory;
    }
    offset += used;
  }
  *consumed = offset;
  return 0;
}

int ParseTaskStream(OldTaskRecord* record, const uint8_t* bytes, size_t size, std::string* why) {
  if (size < 32) {
    SetWhy(why, "the stream is shorter than the 32-byte header (" + std::to_string(size) + ")");
    return kStreamMalformed;
  }
  record->ComponentFlags = platform::Get32(bytes);
  record->TaskFlags = platform::Get32(bytes + 4);
  record->ResidentFlags = platform::Get32(bytes + 8);
  record->Priority = static_cast<int32_t>(platform::Get32(bytes + 12));
  for (int i = 0; i < 4; ++i) record->Reserved[i] = platform::Get32(bytes + 16 + 4 * i);
  size_t offset = 32;

  struct TextField {
    CString* text;
    const char* name;
  } texts[] = {{&record->Name, "Name"},
               {&record->ReportFileName, "ReportFileName"},
               {&record->VirusFoundMsg, "VirusFoundMsg"},
               {&record->ChainedTask, "ChainedTask"}};
  for (const TextField& field : texts) {
    size_t used = 0;
    int result = ReadCountedText(field.text, bytes + offset, size - offset, &used, field.name, why);
    if (result != 0) return result;
    offset += used;
  }
  struct ListField {
    CStringArray* list;
    const char* name;
  } lists[] = {{&record->Types, "Types"},
               {&record->Areas, "Areas"},
               {&record->SendTo, "SendTo"},
               {&record->ResidentExcludeFiles, "ResidentExcludeFiles"}};
  for (const ListField& field : lists) {
    size_t used = 0;
    std::string list_why;
    int result = ReadStringList(field.list, bytes + offset, size - offset, &used, &list_why);
    if (result != 0) {
      SetWhy(why, std::string(field.name) + ": " + list_why);
      return result;
    }
    offset += used;
  }
  size_t used = 0;
  int result = ReadByteList(&record->AreaFlags, bytes + offset, size - offset, &used,
                            "AreaFlags", why);
  if (result != 0) return result;
  offset += used;
  result = ReadByteList(&record->TypeFlags, bytes + offset, size - offset, &used, "TypeFlags", why);
  if (result != 0) return result;
  // Each Areas and Types item takes its markers from its flag byte: a byte
  // list shorter than its string list leaves items without one.
  if (record->AreaFlags.Count() < record->Areas.ItemCount()) {
    SetWhy(why, "AreaFlags holds fewer bytes than Areas holds items");
    return kStreamMalformed;
  }
  if (record->TypeFlags.Count() < record->Types.ItemCount()) {
    SetWhy(why, "TypeFlags holds fewer bytes than Types holds items");
    return kStreamMalformed;
  }
  return 0;
}

int ReadTaskStream(OldTaskRecord* record, Stream* stream, std::string* why) {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
  int result = ReadWholeTaskStream(stream, &bytes, &size, why);
  return result != 0 ? result : ParseTaskStream(record, bytes.get(), size, why);
}

bool ParseStoredTask(const StoredTask& task, OldTaskRecord* old_record,
                     builder::TaskRecord* new_record) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(task.bytes.data());
  if (task.version == kOldVersion) {
    old_record->Clear();
    return ParseTaskStream(old_record, bytes, task.bytes.size(), nullptr) == 0;
  }
  new_record->Clear();
  return builder::ParseTaskStream(bytes, task.bytes.size(), new_record);
}

int ReadWholeTaskStream(Stream* stream, std::unique_ptr<uint8_t[]>* buffer, size_t* length,
                        std::string* why) {
  *length = 0;
  uint64_t size = 0;
  HRESULT hr = platform::MeasureStream(stream, &size);
  if (FAILED(hr)) {
    SetWhy(why, "cannot seek: " + platform::DescribeHResult(hr));
    return hr;
  }
  if (size > UINT32_MAX - 2) {
    SetWhy(why, "the stream is too large (" + std::to_string(size) + " bytes)");
    return kStreamMalformed;
  }
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size + 2]);
  if (!bytes) {
    SetWhy(why, "no memory for " + std::to_string(size) + " bytes");
    return kStreamNoMemory;
  }
  uint32_t read = 0;
  hr = stream->Read(bytes.get(), static_cast<uint32_t>(size), &read);
  if (FAILED(hr) || read != size) {
    SetWhy(why, FAILED(hr) ? "the read failed: " + platform::DescribeHResult(hr)
                           : "the read was short (" + std::to_string(read) + " of " +
                                 std::to_string(size) + " bytes)");
    return kStreamReadFailed;
  }
  *buffer = std::move(bytes);
  *length = static_cast<size_t>(size);
  return 0;
}

EmptyStorages FindEmptyStorages(const StoredConfiguration& config, bool leave_out_default_domain) {
  std::set<std::string> with_tasks;
  for (const StoredArea& area : config.areas) {
    if (!area.tasks.empty()) with_tasks.insert(Place(area));
  }
  EmptyStorages empty;
  for (const DomainStorage& domain : config.domains) {
    const bool made_anyway = leave_out_default_domain && domain.name == builder::kDefaultDomainName;
    if (domain.users.empty() && !made_anyway) empty.domains.push_back(domain.name);
    for (const std::string& user : domain.users) {
      const std::string place = builder::AreaPlace(0, domain.name, user);
      if (with_tasks.count(place) == 0) empty.users.push_back(place);
    }
  }
  return empty;
}

HRESULT OpenConfiguration(const std::string& path, bool export_run,
                             std::unique_ptr<Storage>* root) {
  const bool reads_only = export_run && platform::ExportReadsUnwritableFiles();
  HRESULT hr = reads_only ? platform::OpenStorageFileToRead(path, root)
                          : platform::OpenStorageFile(path, kStorageMode, root);
  if (FAILED(hr)) platform::Report(platform::CannotOpenFile(path, hr));
  return hr;
}

HRESULT ReadVersion(Storage* root, const std::string& path, FileVersion* version) {
  *version = FileVersion{};
  uint32_t number = 0;
  HRESULT hr = builder::ReadVersionNumber(root, &number);
  // A missing version stream, or one shorter than 4 bytes, holds no version.
  if (hr == STG_E_FILENOTFOUND || hr == S_FALSE) return S_OK;
  if (FAILED(hr)) {
    platform::Report(platform::FailureText(
        std::string("cannot read ") + builder::kVersionStreamName + " of " + path, hr));
    return hr;
  }
  version->number = number;
  version->kind = number == kOldVersion ? VersionKind::kOld : VersionKind::kOther;
  return S_OK;
}

int ReadTaskAreas(Storage* root, const std::string& path, uint32_t version,
                  StoredConfiguration* config) {
  int result = ListDomains(root, path, &config->domains, &config->unread);
  // The user areas come in the reverse of the enumeration order, then the
  // shared and the read-only area.
  for (auto d = config->domains.rbegin(); d != config->domains.rend(); ++d) {
    for (auto u = d->users.rbegin(); u != d->users.rend(); ++u) {
      StoredArea area;
      area.area = TaskArea::kPrivate;
      area.domain = d->name;
      area.user = *u;
      result |= ReadArea(root, path, version, &area);
      config->areas.push_back(std::move(area));
    }
  }
  for (TaskArea kind : {TaskArea::kShared, TaskArea::kReadOnly}) {
    StoredArea area;
    area.area = kind;
    result |= ReadArea(root, path, version, &area);
    config->areas.push_back(std::move(area));
  }
  return result;
}

int ReadStoredPassword(Storage* root, const std::string& path, std::string* bytes) {
  bytes->clear();
  builder::PasswordStream password;
  HRESULT hr = builder::OpenPasswordStream(root, builder::kMainPasswordStreamName, &password);
  if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return 0;
  const std::string cannot_read = "cannot read the stored password of " + path;
  if (FAILED(hr)) {
    platform::Report(platform::FailureText(cannot_read, hr));
    return kAreaFailed;
  }
  Stream* stream = password.stream.get();
  uint64_t size = 0;
  hr = platform::MeasureStream(stream, &size);
  uint8_t count_bytes[4] = {0, 0, 0, 0};
  uint32_t read = 0;
  if (SUCCEEDED(hr)) hr = stream->Read(count_bytes, 4, &read);
  if (FAILED(hr) || (read != 4 && size != 0)) {
    platform::Report(cannot_read);
    return kAreaFailed;
  }
  uint32_t length = read == 4 ? platform::Get32(count_bytes) : 0;
  if (length == 0) return 0;
  if (length > size - 4) {
    platform::Report("the stored password of " + path +
                     " is malformed: its length runs past the end of " +
                     builder::kPasswordStorageName + "/" + builder::kMainPasswordStreamName);
    return kAreaFailed;
  }
  bytes->resize(length);
  hr = stream->Read(&(*bytes)[0], length, &read);
  if (FAILED(hr) || read != length) {
    bytes->clear();
    platform::Report(cannot_read);
    return kAreaFailed;
  }
  return 0;
}

int ReadSecondPassword(Storage* root, const std::string& path, std::string* bytes) {
  bytes->clear();
  builder::PasswordStream password;
  HRESULT hr = builder::OpenPasswordStream(root, builder::kSecondPasswordStreamName, &password);
  if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return 0;
  if (SUCCEEDED(hr)) hr = platform::ReadWholeStream(password.stream.get(), bytes);
  if (FAILED(hr)) {
    bytes->clear();
    platform::Report(platform::FailureText(
        "cannot read the second password " + builder::SecondPasswordPlace() + " of " + path, hr));
    return kAreaFailed;
  }
  return 0;
}

}  // namespace converter
