// The INI description of a configuration turned into changes of the
// configuration file: passwords, deletions ("ToDelete") and one task per
// section "Task%d", once for every language code.
#pragma once

#include <cstdint>
#include <forward_list>
#include <string>
#include <vector>

#include "builder/task_record.h"
#include "builder/task_storage.h"
#include "platform/profile.h"

namespace builder {

// Language codes, head first: the reverse of the command line's order.
using LanguageList = std::forward_list<std::string>;

constexpr size_t kMaxLanguageLength = 11;   // the longest language code
constexpr uint32_t kValueBufferSize = 260;  // values of at most 259 characters
constexpr char kMainSection[] = "MAIN";
constexpr char kDeleteSection[] = "ToDelete";
// "Output" + the language code names the configuration file; without it
// the file is this one, in the current folder.
constexpr char kOutputKey[] = "Output";
constexpr char kDefaultOutput[] = "TORVI32.CNF";
// The name of a task whose section has no name key (or no section at all).
constexpr char kDefaultTaskName[] = "(not specified)";
// The keys of a task section that the language code follows.
constexpr const char* kTaskLanguageKeys[] = {"Name", "VirusFoundMsg", "ChainedTask",
                                             "ReportFileName"};
// The other keys the conversion reads, by section. Together with the
// language keys (a key of kTaskLanguageKeys, or "Output", followed by a
// language code) and the switch keys below they are the whole schema: the
// review names every other key of a section that is read.
constexpr char kNumTasksKey[] = "NumTasks";  // [MAIN] and [ToDelete]
constexpr char kPasswordKey[] = "Password";
constexpr char kHexPasswordKey[] = "HexPassword";
constexpr char kSecondPasswordKey[] = "RGWPassword";
constexpr const char* kMainValueKeys[] = {kNumTasksKey, kPasswordKey, kHexPasswordKey,
                                          kSecondPasswordKey};
constexpr char kDomainKey[] = "Domain";
constexpr char kUserKey[] = "User";
constexpr char kPriorityKey[] = "Priority";
constexpr char kVirusNotificationKey[] = "VirusNotification";
constexpr char kResidentScanKey[] = "ResidentScan";
constexpr char kAreasKey[] = "Areas";
constexpr char kTypesKey[] = "Types";
constexpr char kSendToKey[] = "SendTo";
constexpr char kResidentExcludeFilesKey[] = "ResidentExcludeFiles";
constexpr const char* kTaskValueKeys[] = {
    kDomainKey, kUserKey,  kPriorityKey, kVirusNotificationKey,   kResidentScanKey,
    kAreasKey,  kTypesKey, kSendToKey,   kResidentExcludeFilesKey};
// The switch keys: on exactly when the value is "1".
constexpr const char* kMainSwitchKeys[] = {"DeleleteOldCNF"};
constexpr const char* kTaskSwitchKeys[] = {
    "IsPrivate",          "IsShared",           "IsReadOnly",
    "StartWithOS",        "StartWithTorvi",     "ExitWithLast",
    "NotifyExternal",     "UseVirusScanner",    "ScanMemory",
    "IgnoreVirusType",    "TestFileFull",       "TestFileCompressed",
    "NoVirusFoundMsg",    "UseIntegrityChecker", "IgnoreArchive",
    "NoContents",         "ContentsOnChange",   "UseSimpleIntegrityChecker",
    "UseBehaviourBlocker", "BlockDOSOperations", "BlockWinOperations",
    "BlockFormat",        "UseResidentBoot",    "UseResidentProg",
    "CheckDocs",          "CheckWin16Progs",    "CheckDOSProgs",
    "CreateReport",       "CreateNewReportFile", "NetAlert"};

// A language pass in two steps: the plan, read from the INI text alone,
// and its execution against the configuration file, which decides what
// depends on the file (the stream names, the tasks a deletion finds). The
// real run and the dry run go through the same two steps; the dry run only
// works on a copy of the files that is never written (platform/storage.h).

// A password the pass stores, in the stream `stream`.
struct PasswordPlan {
  const char* stream;  // kMainPasswordStreamName or kSecondPasswordStreamName
  std::string value;
  bool hex;  // HexPassword: stored decoded, else scrambled
};

// What a pass is to do before its deletions and tasks.
struct PassPlan {
  std::string language;
  std::string config_path;  // "Output" + language, or kDefaultOutput
  bool delete_old = false;  // DeleleteOldCNF=1
  std::vector<PasswordPlan> passwords;
};

// The plan of one pass (reads no file but the INI text).
PassPlan PlanLanguagePass(const platform::ProfileFile& ini, const std::string& language);

// A task section as it is to be written: its record (the area follows from
// TaskFlags). Reading it updates DomainName and UserName for a private
// task, as ReadTaskSection does.
struct TaskPlan {
  std::string section;  // "Task3"
  TaskRecord record;
};
TaskPlan PlanTask(const platform::ProfileFile& ini, int64_t index, const std::string& language);

// The name of the [ToDelete] entry `index`; "" when there is none.
std::string PlanDeletion(const platform::ProfileFile& ini, int64_t index);

// What the execution of a pass did, item by item.
struct PasswordDone {
  const char* stream;
  bool hex;
  bool stored;
};
struct DeletionDone {
  std::string name;
  DeleteOutcome outcome = DeleteOutcome::kNotFound;
  uint32_t area = 0;   // where the task was found (IsShared, IsReadOnly, 0 the user area)
  std::string place;   // AreaPlace of that area
  std::string stream;  // the stream removed
  std::string why;     // kFailed: the reason, as the message gives it
};
struct TaskDone {
  std::string section;
  std::string name;
  std::string place;   // AreaPlace of the task's area
  std::string stream;  // the stream written (set when written)
  bool written = false;
  std::string why;     // not written: the reason, as the message gives it
};
struct PassDone {
  PassPlan plan;
  bool refused = false;  // the file is in the middle of a conversion: left untouched
  bool existed = false;  // the configuration file was there when the pass began
  std::vector<PasswordDone> passwords;
  std::vector<DeletionDone> deletions;
  std::vector<TaskDone> tasks;
  bool exists_after = false;  // set by the run once its changes went in (a dry run lists it)
};

// What ApplyIniFile did with one INI file.
struct IniDone {
  std::string ini_path;  // as messages name it
  bool found = false;    // the file was read
  int32_t result = 0;    // what ConvertIniFile returns
  std::vector<PassDone> passes;  // kept only when asked for
};

// The work of ConvertIniFile, which calls it. With `keep_items` the result
// lists every pass with its passwords, deletions and tasks (a dry run lists
// them); else only the result is set, so that a run of many tasks holds one
// task at a time.
IniDone ApplyIniFile(const std::string& ini_path, const LanguageList& languages, bool keep_items);

// Applies the INI file `ini_path` (a full path, or a bare name read from the
// Windows directory) once for every language of `languages`, head first.
// Sets ConfigPath, and DomainName / UserName at each private task. The
// findings of the INI text (ini_review.h) are reported first, each once,
// naming the file; failures of single operations are reported
// (platform::Report) and passed over. Returns 0, or STG_E_SHAREVIOLATION
// when a pass found its configuration in the middle of a conversion (that
// pass then left it untouched).
int32_t ConvertIniFile(const std::string& ini_path, const LanguageList& languages);

// Reads the task section `section` key by key into `record` (passed
// cleared), with the language-dependent keys formed with `language`.
// Updates DomainName and UserName for a private task.
void ReadTaskSection(const platform::ProfileFile& ini, const std::string& section,
                     const std::string& language, TaskRecord* record);

// The items of a list value: commas outside double quotes end items, every
// double quote toggles the quoted state (a quote right behind leading
// white space opens it), pieces count from the value's first character, and
// the first empty piece ends the list.
std::vector<std::string> SplitListValue(const std::string& value);

// An "Areas" item that is not a keyword, as a list text: the path without
// its quotes and two markers. Returns false when the item has no closing
// double quote (it is then ignored) or the text would exceed 259 bytes.
bool AreaEntryFromItem(const std::string& item, std::string* entry);

// Why an "Areas" item is left out: "" for a keyword or an item that
// AreaEntryFromItem takes; else "too long" or "not a keyword and no quoted
// path".
std::string AreaItemProblem(const std::string& item);

// The "VirusFoundMsg" escapes: \n becomes CR LF, \\ one backslash, any
// other escaped character and a trailing backslash are dropped.
std::string UnescapeMessage(const std::string& value);

}  // namespace builder
