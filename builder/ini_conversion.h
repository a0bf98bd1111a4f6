// The INI description of a configuration turned into changes of the
// configuration file: passwords, deletions ("ToDelete") and one task per
// section "Task%d", once for every language code.
#pragma once

#include <cstdint>
#include <forward_list>
#include <string>
#include <vector>

#include "builder/task_record.h"
#include "platform/profile.h"

namespace builder {

// Language codes, head first: the reverse of the command line's order.
using LanguageList = std::forward_list<std::string>;

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
