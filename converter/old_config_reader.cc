// Reading of version-615 configuration files. See old_config_reader.h.

#include "converter/old_config_reader.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "builder/config_layout.h"
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

std::string CannotOpen(const std::string& path, HRESULT hr) {
  return "cannot open " + path + ": " + platform::HResultHex(hr);
}

// Opens the configuration file. An export only reads it: where the
// platform lets it, one that the user may not write is read as it is. A
// conversion must write it.
HRESULT OpenConfiguration(const RunSettings& settings, std::unique_ptr<Storage>* root) {
  const bool reads_only = !settings.hand_off && platform::ExportReadsUnwritableFiles();
  return reads_only ? platform::OpenStorageFileToRead(settings.config_path, root)
                    : platform::OpenStorageFile(settings.config_path, kStorageMode, root);
}

// The stream `name` of "_Zarin_", the configuration opened as above (see
// builder::OpenPasswordStream for what is set when only the stream fails).
HRESULT OpenPasswordStream(const RunSettings& settings, const char* name,
                           builder::PasswordStream* out) {
  HRESULT hr = OpenConfiguration(settings, &out->root);
  if (FAILED(hr)) return hr;
  return builder::OpenPasswordStream(out->root.get(), name, out);
}

// Opens the configuration file and reads "_Version_". *is_old tells whether
// it holds 615; a missing or short version stream is another version.
HRESULT OpenOldFile(RunSettings* settings, std::unique_ptr<Storage>* root, bool* is_old,
                    std::string* why) {
  *is_old = false;
  HRESULT hr = OpenConfiguration(*settings, root);
  if (FAILED(hr)) {
    SetWhy(why, CannotOpen(settings->config_path, hr));
    return hr;
  }
  std::unique_ptr<Stream> version_stream;
  hr = (*root)->OpenStream(platform::AnsiToWide(builder::kVersionStreamName), kStorageMode,
                           &version_stream);
  if (hr == STG_E_FILENOTFOUND) {
    settings->version_found = -1;
    settings->hand_off = false;
    return S_OK;
  }
  if (FAILED(hr)) {
    SetWhy(why, "cannot open _Version_ of " + settings->config_path + ": " + platform::HResultHex(hr));
    return hr;
  }
  uint8_t bytes[4] = {0, 0, 0, 0};
  uint32_t read = 0;
  hr = version_stream->Read(bytes, 4, &read);
  if (FAILED(hr)) {
    SetWhy(why, "cannot read _Version_ of " + settings->config_path + ": " + platform::HResultHex(hr));
    return hr;
  }
  settings->version_found = read == 4 ? static_cast<int64_t>(platform::Get32(bytes)) : -1;
  *is_old = settings->version_found == kOldVersion;
  if (!*is_old) settings->hand_off = false;
  return S_OK;
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
  uint64_t size = 0;
  HRESULT hr = platform::MeasureStream(stream, &size);
  if (FAILED(hr)) {
    SetWhy(why, "cannot seek: " + platform::HResultHex(hr));
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
    SetWhy(why, FAILED(hr) ? "the read failed: " + platform::HResultHex(hr)
                           : "the read was short (" + std::to_string(read) + " of " +
                                 std::to_string(size) + " bytes)");
    return kStreamReadFailed;
  }
  return ParseTaskStream(record, bytes.get(), static_cast<size_t>(size), why);
}

std::string AreaPlace(const RunSettings& settings, TaskArea area) {
  return builder::AreaPlace(static_cast<uint32_t>(area), settings.current_domain,
                            settings.current_user);
}

int ForEachTaskInArea(RunSettings* settings, TaskArea area, const TaskVisitor& visit,
                      bool quiet) {
  const std::string place = AreaPlace(*settings, area);
  auto say = [quiet](const std::string& line) {
    if (!quiet) platform::Report(line);
  };
  std::unique_ptr<Storage> root, outer, inner;
  bool is_old = false;
  std::string why;
  if (FAILED(OpenOldFile(settings, &root, &is_old, &why))) {
    say("cannot list the tasks of " + place + ": " + why);
    return kAreaFailed;
  }
  if (!is_old) return 0;

  // A shared or read-only area that the file does not have holds no task;
  // a user area was found by the walk, so its absence is a failure.
  bool absent_is_empty = area != TaskArea::kPrivate;
  HRESULT hr = builder::OpenAreaStorages(root.get(), static_cast<uint32_t>(area),
                                         settings->current_domain, settings->current_user,
                                         builder::OpenAreaStep, &outer, &inner);
  if (hr == STG_E_FILENOTFOUND && absent_is_empty) return 0;
  if (FAILED(hr)) {
    say("cannot open the task area " + place + " of " + settings->config_path +
                     ": " + platform::HResultHex(hr));
    return kAreaFailed;
  }

  std::unique_ptr<platform::ElementEnumerator> elements;
  hr = inner->EnumElements(&elements);
  if (FAILED(hr)) {
    say("cannot list the task area " + place + " of " + settings->config_path +
                     ": " + platform::HResultHex(hr));
    return kAreaFailed;
  }
  // One record for the whole area, cleared before each stream.
  std::unique_ptr<OldTaskRecord> record(new (std::nothrow) OldTaskRecord);
  if (!record) {
    say("no memory to read the task area " + place);
    return kAreaFailed;
  }
  int unreadable = 0;
  for (;;) {
    ElementStat stat;
    hr = elements->Next(&stat);
    if (hr == S_FALSE) break;
    if (FAILED(hr)) {
      say("cannot list the task area " + place + " of " + settings->config_path +
                       ": " + platform::HResultHex(hr));
      return kAreaFailed;
    }
    if (stat.type != ElementType::kStream) continue;
    const std::string stream_name = Narrow(stat.name);
    std::unique_ptr<Stream> stream;
    hr = inner->OpenStream(stat.name, kStorageMode, &stream);
    int result = hr;
    why = "cannot open: " + platform::HResultHex(hr);
    if (SUCCEEDED(hr)) {
      record->Clear();
      result = ReadTaskStream(record.get(), stream.get(), &why);
    }
    if (result != 0) {
      // Passed over: every task that can be read is still carried.
      say("task stream " + place + "/" + stream_name + " of " + settings->config_path +
          " cannot be read: " + why);
      unreadable = kAreaFailed;
      continue;
    }
    stream.reset();
    result = visit(*record, stream_name);
    if (result != 0) return result;
  }
  return unreadable;
}

int WalkUserAreas(RunSettings* settings, const std::function<int()>& emit_private) {
  struct Domain {
    std::string name;
    std::vector<std::string> users;  // in enumeration order
  };
  std::vector<Domain> domains;  // in enumeration order
  int result = 0;
  {
    std::unique_ptr<Storage> root;
    bool is_old = false;
    std::string why;
    HRESULT hr = OpenOldFile(settings, &root, &is_old, &why);
    if (FAILED(hr)) {
      platform::Report(why);
      return hr;
    }
    if (!is_old) return 0;
    std::unique_ptr<platform::ElementEnumerator> elements;
    hr = root->EnumElements(&elements);
    if (FAILED(hr)) {
      platform::Report("cannot list the domains of " + settings->config_path + ": " +
                       platform::HResultHex(hr));
      return kAreaFailed;
    }
    for (;;) {
      ElementStat stat;
      hr = elements->Next(&stat);
      if (hr == S_FALSE) break;
      if (FAILED(hr)) {
        platform::Report("cannot list the domains of " + settings->config_path + ": " +
                         platform::HResultHex(hr));
        return kAreaFailed;
      }
      if (stat.type != ElementType::kStorage || stat.name.empty() || stat.name[0] == u'_') continue;
      Domain domain;
      if (!CarriedAsAnsi(stat.name, &domain.name)) {
        platform::Report("domain " + domain.name + " of " + settings->config_path +
                         ": its name cannot be written in the ANSI code page");
        result |= kAreaFailed;
        continue;
      }
      std::unique_ptr<Storage> domain_storage;
      std::unique_ptr<platform::ElementEnumerator> users;
      hr = root->OpenStorage(stat.name, kStorageMode, &domain_storage);
      if (SUCCEEDED(hr)) hr = domain_storage->EnumElements(&users);
      if (FAILED(hr)) {
        platform::Report("cannot list the users of domain " + domain.name + " of " +
                         settings->config_path + ": " + platform::HResultHex(hr));
        result |= kAreaFailed;
        continue;
      }
      for (;;) {
        ElementStat user;
        hr = users->Next(&user);
        if (hr == S_FALSE) break;
        if (FAILED(hr)) {
          platform::Report("cannot list the users of domain " + domain.name + " of " +
                           settings->config_path + ": " + platform::HResultHex(hr));
          result |= kAreaFailed;
          break;
        }
        // Only storages are user areas; a stream directly in a domain holds
        // no task of any area.
        if (user.type != ElementType::kStorage) continue;
        std::string user_name;
        if (!CarriedAsAnsi(user.name, &user_name)) {
          platform::Report("user " + domain.name + "/" + user_name + " of " +
                           settings->config_path +
                           ": its name cannot be written in the ANSI code page");
          result |= kAreaFailed;
          continue;
        }
        domain.users.push_back(std::move(user_name));
      }
      domains.push_back(std::move(domain));
    }
  }  // the file is closed here, before any task is read

  for (auto d = domains.rbegin(); d != domains.rend(); ++d) {
    for (auto u = d->users.rbegin(); u != d->users.rend(); ++u) {
      settings->current_domain = d->name;
      settings->current_user = *u;
      result |= emit_private();
    }
  }
  return result;
}

int ReadStoredPassword(const RunSettings& settings, std::string* bytes) {
  bytes->clear();
  builder::PasswordStream password;
  HRESULT hr = OpenPasswordStream(settings, builder::kMainPasswordStreamName, &password);
  Stream* stream = password.stream.get();
  if (!password.root && hr != STG_E_FILENOTFOUND && hr != STG_E_PATHNOTFOUND) {
    // A file that does not open: its storage code, as the area walk gives it.
    platform::Report(CannotOpen(settings.config_path, hr));
    return hr;
  }
  if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return 0;
  if (FAILED(hr)) {
    platform::Report("cannot read the stored password of " + settings.config_path + ": " +
                     platform::HResultHex(hr));
    return kAreaFailed;
  }
  uint64_t size = 0;
  hr = platform::MeasureStream(stream, &size);
  uint8_t count_bytes[4] = {0, 0, 0, 0};
  uint32_t read = 0;
  if (SUCCEEDED(hr)) hr = stream->Read(count_bytes, 4, &read);
  if (FAILED(hr) || (read != 4 && size != 0)) {
    platform::Report("cannot read the stored password of " + settings.config_path);
    return kAreaFailed;
  }
  uint32_t length = read == 4 ? platform::Get32(count_bytes) : 0;
  if (length == 0) return 0;
  if (length > size - 4) {
    platform::Report("the stored password of " + settings.config_path +
                     " is malformed: its length runs past the end of " +
                     builder::kPasswordStorageName + "/" + builder::kMainPasswordStreamName);
    return kAreaFailed;
  }
  bytes->resize(length);
  hr = stream->Read(&(*bytes)[0], length, &read);
  if (FAILED(hr) || read != length) {
    bytes->clear();
    platform::Report("cannot read the stored password of " + settings.config_path);
    return kAreaFailed;
  }
  return 0;
}

int ReadSecondPasswordStream(const RunSettings& settings, std::string* bytes) {
  bytes->clear();
  builder::PasswordStream password;
  HRESULT hr = OpenPasswordStream(settings, builder::kSecondPasswordStreamName, &password);
  if (hr == STG_E_FILENOTFOUND || hr == STG_E_PATHNOTFOUND) return 0;
  if (SUCCEEDED(hr)) hr = platform::ReadWholeStream(password.stream.get(), bytes);
  if (FAILED(hr)) {
    bytes->clear();
    platform::Report(std::string("cannot read the second password ") +
                     builder::kPasswordStorageName + "/" + builder::kSecondPasswordStreamName +
                     " of " + settings.config_path + ": " + platform::HResultHex(hr));
    return kAreaFailed;
  }
  return 0;
}

}  // namespace converter
