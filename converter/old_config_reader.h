// The converter's read side: a version-615 configuration file (or, for an
// export with /A, a version-616 one, whose areas lie in the same tree), its
// domains and users, the tasks of each task area and the stored passwords.
//
// The file is opened once (OpenConfiguration) and every read takes its
// root; each returns what it found. Nothing here writes to the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "builder/task_record.h"
#include "converter/containers.h"
#include "platform/hresult.h"
#include "platform/storage.h"

namespace converter {

// Where tasks are read: the area bits of the builder's TaskFlags, IsReadOnly
// tested before IsShared.
enum class TaskArea : uint32_t {
  kPrivate = 0,
  kShared = builder::IsShared,
  kReadOnly = builder::IsReadOnly
};

constexpr uint32_t kOldVersion = 615;

// Results of reading one task stream (besides 0 and a failed seek's
// HRESULT).
constexpr int kStreamNoMemory = 8;
constexpr int kStreamReadFailed = 30;
constexpr int kStreamMalformed = 31;

// Result of a task area or a password that could not be read whole.
constexpr int kAreaFailed = 2;

// Bits of an AreaFlags byte: the markers of its Areas item in the INI text.
constexpr uint8_t kAreaFlagExcluded = 0x80;    // '-' after the path, else '+'
constexpr uint8_t kAreaFlagFile = 0x40;        // a file: no backslash added
constexpr uint8_t kAreaFlagSubfolders = 0x20;  // 'S' before the last marker

// One task of a version-615 file.
struct OldTaskRecord {
  OldTaskRecord() { Clear(); }
  // Zeroes the header words, empties the texts and every list.
  void Clear();

  uint32_t ComponentFlags;
  uint32_t TaskFlags;
  uint32_t ResidentFlags;
  int32_t Priority;
  uint32_t Reserved[4];
  CString Name;
  CString ReportFileName;
  CString VirusFoundMsg;
  CString ChainedTask;
  CStringArray Types;
  CStringArray Areas;
  CStringArray SendTo;
  CStringArray ResidentExcludeFiles;
  CByteArray AreaFlags;  // one byte per Areas item, same order
  CByteArray TypeFlags;  // one byte per Types item, same order
};

// Decodes a whole version-615 task stream into a cleared record. Returns 0,
// kStreamMalformed (a length or count past the end, a text over 259 bytes
// or holding a NUL, a byte list shorter than its string list) or
// kStreamNoMemory; *why (may be null) says what was wrong. Never reads
// outside bytes[0, size).
int ParseTaskStream(OldTaskRecord* record, const uint8_t* bytes, size_t size,
                    std::string* why);

// Reads a counted string list at bytes[0, size) and appends its items to
// `list`. Returns the same codes as ParseTaskStream; *consumed gets the
// number of bytes the list occupies.
int ReadStringList(CStringArray* list, const uint8_t* bytes, size_t size, size_t* consumed,
                   std::string* why);

// Reads a whole task stream and parses it: 0, a failed seek's HRESULT,
// kStreamNoMemory, kStreamReadFailed or kStreamMalformed.
int ReadTaskStream(OldTaskRecord* record, platform::Stream* stream, std::string* why);

// Reads a whole stream into a buffer of its own (allocated without
// throwing) and *length: 0, a failed seek's HRESULT, kStreamNoMemory,
// kStreamReadFailed, or kStreamMalformed for one of 4 GiB or more.
int ReadWholeTaskStream(platform::Stream* stream, std::unique_ptr<uint8_t[]>* buffer,
                        size_t* length, std::string* why);

// What "_Version_" holds.
enum class VersionKind {
  kNone,   // no "_Version_", or one shorter than 4 bytes
  kOld,    // 615: the version this program reads
  kOther,  // any other number
};
struct FileVersion {
  VersionKind kind = VersionKind::kNone;
  uint32_t number = 0;  // kOld and kOther only
};

// One task as the file holds it: the bytes of its stream, which parsed,
// and its name. The bytes are kept rather than the record (a version-615
// record of fixed 260-byte texts takes several times the stream's size);
// ParseStoredTask gives the record where its fields are needed.
struct StoredTask {
  std::string stream;  // the ANSI name of its stream
  std::string name;
  uint32_t version = kOldVersion;  // the layout of `bytes`: 615 or 616
  std::string bytes;
};

// The record of a stored task: *old_record (615) or *new_record (616) gets
// it, cleared first. Returns false (the record cleared) only for bytes that
// do not parse, which the reader never stores.
bool ParseStoredTask(const StoredTask& task, OldTaskRecord* old_record,
                     builder::TaskRecord* new_record);

// The readable tasks of one area, in enumeration order.
struct StoredArea {
  TaskArea area = TaskArea::kShared;
  std::string domain;  // the private area's domain and user (ANSI text)
  std::string user;
  std::vector<StoredTask> tasks;
  // What of the area could not be read (a stream passed over, the area
  // itself), one text each as it was reported.
  std::vector<std::string> unread;
};

// A domain storage of a version-615 file and the user storages in it, as
// ANSI text, in enumeration order.
struct DomainStorage {
  std::string name;
  std::vector<std::string> users;
};

// The task areas of a version-615 file.
struct StoredConfiguration {
  std::vector<DomainStorage> domains;  // enumeration order
  // Every user area, in the reverse of the enumeration order of domains and
  // of users in each, then the shared and the read-only area.
  std::vector<StoredArea> areas;
  // Domains and users that could not be listed or named, one text each as
  // it was reported.
  std::vector<std::string> unread;
};

// The domain and user storages of `config` that hold no task: domains
// without a user storage, and user storages ("D/U") whose area holds no
// task, in enumeration order. With `leave_out_default_domain`, the domain
// that every new version-616 file has ("VELOX") is not listed when it has
// no user.
struct EmptyStorages {
  std::vector<std::string> domains;
  std::vector<std::string> users;
};
EmptyStorages FindEmptyStorages(const StoredConfiguration& config, bool leave_out_default_domain);

// Opens the configuration file at `path`. A conversion must write it
// (platform::kStorageMode); an export only reads it, so where the platform
// lets it (platform::ExportReadsUnwritableFiles) a file that the user may
// not write is read as it is (platform::OpenStorageFileToRead). Returns
// S_OK, or the storage code with the "cannot open" message.
HRESULT OpenConfiguration(const std::string& path, bool export_run,
                             std::unique_ptr<platform::Storage>* root);

// Reads "_Version_" into *version. Returns S_OK (also when it is missing or
// short), or the failed read's HRESULT with a message.
HRESULT ReadVersion(platform::Storage* root, const std::string& path, FileVersion* version);

// Reads every domain and user storage and every task of every area into
// *config, each task stream in the layout of `version` (kOldVersion, or
// builder::kFormatVersion for a version-616 file, whose areas lie in the
// same tree). Returns 0 when all was read; else kAreaFailed, with a message for
// everything that could not be (an area or domain that cannot be opened or
// listed, a name that the ANSI code page cannot write, a stream that cannot
// be read or is malformed): everything readable is still in *config.
int ReadTaskAreas(platform::Storage* root, const std::string& path, uint32_t version,
                  StoredConfiguration* config);

// Reads the stored main password ("_Zarin_/cc012") into *bytes. Returns 0,
// with *bytes empty when there is none ("_Zarin_" or "cc012" not found, or
// a stored length of 0); kAreaFailed with a message when it is there but
// cannot be read whole (a length past the stream's end).
int ReadStoredPassword(platform::Storage* root, const std::string& path, std::string* bytes);

// Reads the whole stream "_Zarin_/ro012" (the second password, which the
// INI schema cannot carry) as it is stored. Returns 0, with *bytes empty
// when "_Zarin_" or the stream is not there; kAreaFailed with a message
// when it cannot be read.
int ReadSecondPassword(platform::Storage* root, const std::string& path, std::string* bytes);

}  // namespace converter
