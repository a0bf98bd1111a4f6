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

// Applies the INI file `ini_path` (a full path, or a bare name read from the
// Windows directory) once for every language of `languages`, head first.
// Sets ConfigPath, and DomainName / UserName at each private task. Failures
// of single operations are reported (platform::Report) and passed over.
// Returns 0, or STG_E_SHAREVIOLATION when a pass found its configuration in
// the middle of a conversion (that pass then left it untouched).
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

// The "VirusFoundMsg" escapes: \n becomes CR LF, \\ one backslash, any
// other escaped character and a trailing backslash are dropped.
std::string UnescapeMessage(const std::string& value);

}  // namespace builder
