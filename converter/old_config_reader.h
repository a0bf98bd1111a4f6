// The converter's read side: a version-615 configuration file, its domains
// and users, the tasks of each task area and the stored main password.
//
// Every operation opens the file itself and releases it before it returns,
// so two opens are never held at once. Nothing here writes to the file.
#pragma once

#include <cstdint>
#include <functional>
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

// The run settings of one converter run. The driver owns them; the reader
// reads the path and writes CurrentDomain, CurrentUser and HandOff.
struct RunSettings {
  std::string config_path;
  std::string ini_path;
  std::string language = "ENG";
  std::string access_password;
  bool hand_off = true;
  std::string current_domain;  // ANSI text of the domain being emitted
  std::string current_user;
  // What "_Version_" held: -1 when missing or shorter than 4 bytes, -2 while
  // unknown (the file was not opened yet or could not be).
  int64_t version_found = -2;
};

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

// Called for each task of an area, with the ANSI name of the stream that
// held it. A non-zero result stops the walk and is returned.
using TaskVisitor = std::function<int(const OldTaskRecord& record, const std::string& stream)>;

// Visits every task stream of one area in enumeration order, each loaded
// from its own stream. The Private area is CurrentDomain/CurrentUser.
// Returns 0 when every stream was read (also when the area's storage does
// not exist, or the file is not of version 615: then HandOff is cleared);
// kAreaFailed, with a message naming the area and the stream, when the file,
// the storage or a stream could not be opened, enumerated or read, or a
// stream is malformed (such a stream is passed over and the other streams
// are still visited); or the visitor's non-zero result. With `quiet` the
// streams that cannot be read are passed over without a message (a second
// walk of the same area).
int ForEachTaskInArea(RunSettings* settings, TaskArea area, const TaskVisitor& visit,
                      bool quiet = false);

// A domain storage of a version-615 file and the user storages in it, as
// ANSI text, in enumeration order.
struct DomainStorage {
  std::string name;
  std::vector<std::string> users;
};

// Walks every domain storage (root storages whose names do not begin with
// "_") and every user storage in it, in the reverse of the enumeration
// order, sets CurrentDomain and CurrentUser and calls emit_private for each.
// The file is closed before the first call. Returns the HRESULT of opening
// the file when that fails; else the OR of kAreaFailed (a domain that
// cannot be enumerated, a name that cannot be carried as ANSI text) and of
// every emit_private result. A file not of version 615 is not walked: 0,
// HandOff cleared. *domains (may be null) gets every domain and user
// storage found whose name can be carried, also those that hold no task.
int WalkUserAreas(RunSettings* settings, const std::function<int()>& emit_private,
                  std::vector<DomainStorage>* domains = nullptr);

// Reads the stored main password ("_Zarin_/cc012") into *bytes. Returns 0,
// with *bytes empty when there is none (the file, "_Zarin_" or "cc012" not
// found, or a stored length of 0); the storage code (a failed HRESULT),
// with the "cannot open" message, when the file is there but cannot be
// opened; kAreaFailed with a message when it is
// there but cannot be read whole (a length past the stream's end).
int ReadStoredPassword(const RunSettings& settings, std::string* bytes);

// Reads the whole stream "_Zarin_/ro012" (the second password, which the
// INI schema cannot carry) as it is stored. Returns 0, with *bytes empty
// when the file, "_Zarin_" or the stream is not there; kAreaFailed with a
// message when it cannot be read.
int ReadSecondPasswordStream(const RunSettings& settings, std::string* bytes);

// Human-readable place of an area ("_Common_", "_Common_/_ReadOnly_",
// "domain/user"), for messages.
std::string AreaPlace(const RunSettings& settings, TaskArea area);

}  // namespace converter
