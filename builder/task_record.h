// One scanning task in memory, and its version-616 task stream form.
//
// Stream layout (integers 32-bit little-endian): the 32-byte header (the
// three flag words, Priority, Reserved1, Reserved2[3]), then Name,
// ReportFileName, VirusFoundMsg and ChainedTask, each a length and its bytes
// without terminator, then the lists Types, Areas, SendTo and
// ResidentExcludeFiles, each a count and that many items of the text form.
// The task storage appends 22 zero bytes when it writes a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace builder {

// Texts and list items hold at most this many bytes (a 260-byte field with
// its terminator).
constexpr size_t kMaxTextLength = 259;
// A stream name holds at most what the compound file format allows.
constexpr size_t kMaxStreamNameLength = 31;

constexpr uint32_t kTaskHeaderSize = 32;
constexpr uint32_t kTaskStreamTrailerSize = 22;

// ComponentFlags: which parts of the suite the task uses.
enum ComponentFlag : uint32_t {
  UseVirusScanner = 0x01,
  UseIntegrityChecker = 0x02,
  UseSimpleIntegrityChecker = 0x04,
  UseBehaviourBlocker = 0x10,
  UseResidentBoot = 0x20,
  UseResidentProg = 0x40,
};

// TaskFlags: task options and the storage-area bits IsShared / IsReadOnly.
enum TaskFlag : uint32_t {
  NoVirusFoundMsg = 0x04,
  TypesDocuments = 0x08,
  IsShared = 0x10,
  IsReadOnly = 0x20,
  ExitWithLast = 0x40,
  NotifyExternal = 0x80,
  NetAlert = 0x100,
  ContentsOnChange = 0x200,
  IgnoreVirusType = 0x400,
  TestFileFull = 0x800,
  TestFileCompressed = 0x1000,
  IgnoreArchive = 0x4000,
  NoContents = 0x8000,
  CreateReport = 0x10000,
  CreateNewReportFile = 0x20000,
  StartWithTorvi = 0x40000,
  StartWithOS = 0x80000,
  TypesAll = 0x100000,
  TypesPrograms = 0x200000,
  AreasDisketteA = 0x400000,
  AreasLocal = 0x800000,
  AreasRemovable = 0x1000000,
  AreasRemote = 0x2000000,
  AreasAll = 0x4000000,
  AreasInteractive = 0x8000000,
  VirusNotificationAll = 0x10000000,
  VirusNotificationFirst = 0x20000000,
  VirusNotificationNone = 0x40000000,
  ScanMemory = 0x80000000,
};

// ResidentFlags: behaviour-blocker and resident-protection options.
enum ResidentFlag : uint32_t {
  BlockDOSOperations = 0x01,
  BlockWinOperations = 0x02,
  BlockFormat = 0x04,
  CheckWin16Progs = 0x1000,
  CheckDOSProgs = 0x2000,
  CheckDocs = 0x4000,
  ResidentScanAll = 0x10000,
  ResidentScanNoSysLib = 0x20000,
  ResidentScanNone = 0x40000,
};

// A keyword of a list or choice value in a task section and the bit it
// stands for: the builder reads the words, the converter writes them.
struct FlagKeyword {
  uint32_t bit;
  const char* word;
};

// Keywords of "Types" and "Areas" (TaskFlags), in the order they are written.
constexpr FlagKeyword kTypeKeywords[] = {
    {TypesAll, "all"}, {TypesPrograms, "programs"}, {TypesDocuments, "documents"}};
constexpr FlagKeyword kAreaKeywords[] = {
    {AreasAll, "all"},     {AreasDisketteA, "diskettea"},     {AreasRemovable, "removable"},
    {AreasLocal, "local"}, {AreasInteractive, "interactive"}, {AreasRemote, "remote"}};
// Choices of "VirusNotification" (TaskFlags) and "ResidentScan"
// (ResidentFlags): one bit each; a word that is none of the first two reads
// as the last.
constexpr FlagKeyword kVirusNotificationKeywords[] = {{VirusNotificationAll, "all"},
                                                      {VirusNotificationFirst, "first"},
                                                      {VirusNotificationNone, "None"}};
constexpr FlagKeyword kResidentScanKeywords[] = {
    {ResidentScanAll, "all"}, {ResidentScanNoSysLib, "nosyslib"}, {ResidentScanNone, "None"}};

// A list of texts, head first. Texts are added at the head, so a list
// holds them in the reverse order of their adding.
using TaskList = std::deque<std::string>;

struct TaskRecord {
  uint32_t ComponentFlags = 0;
  uint32_t TaskFlags = 0;
  uint32_t ResidentFlags = 0;
  int32_t Priority = 0;
  uint32_t Reserved1 = 0;
  uint32_t Reserved2[3] = {0, 0, 0};
  std::string Name;
  std::string ReportFileName;
  std::string VirusFoundMsg;
  std::string ChainedTask;
  TaskList Types;
  TaskList Areas;
  TaskList SendTo;
  TaskList ResidentExcludeFiles;
  // Set by each lookup: whether the name looked up was a fixed name ('*').
  bool DirectLookup = false;
  // The task's stream in its area; empty: the storage chooses one.
  std::string StreamName;

  // Empties the texts, lists and StreamName and zeroes the header words.
  void Clear();
};

// The fields that a task stream holds in which `a` and `b` differ, by name
// ("TaskFlags", "Reserved", "Types", ...), in stream order; empty when the
// two would be stored alike. StreamName and DirectLookup are no fields.
std::vector<std::string> DifferingFields(const TaskRecord& a, const TaskRecord& b);

// Whether every text and list item fits its 259-byte field, so that the
// stream written from the record reads back.
bool FitsFields(const TaskRecord& record);

// The bytes Serialize writes: 32 + for each text 4 + its length + for each
// list 4 + for each item 4 + its length. Without the 22 trailing zeros.
uint32_t SerializedSize(const TaskRecord& record);

// Writes the record's stream form. REQUIRES: buffer holds
// SerializedSize(record) bytes.
void Serialize(const TaskRecord& record, uint8_t* buffer);

// Takes a task stream's bytes apart into `record`, which the caller passes
// cleared; list items land at the head of their list, so a list holds its
// items in the reverse of their stream order. Bytes after the fourth list
// are ignored. Returns false, with the record cleared, when a length or
// count runs past the end of the bytes or a text or item is longer than
// kMaxTextLength. Work and memory are bounded by `size`.
bool ParseTaskStream(const uint8_t* data, size_t size, TaskRecord* record);

}  // namespace builder
