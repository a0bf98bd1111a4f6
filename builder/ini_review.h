// What the builder finds wrong with an INI text before it converts it: the
// places where the text says one thing and the conversion, reading it by
// the rules of the INI format, does another. One function looks at the file
// and returns its findings as data; the conversion prints them, and a
// listing of a file can show the same findings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/ini_conversion.h"
#include "platform/profile.h"

namespace builder {

struct IniFinding {
  std::string section;  // "MAIN", "Task3"; "" for the file as a whole
  std::string key;      // "NumTasks", or with the value read: "IsShared=yes"; "" for a section
  std::string what;     // what the text holds, and what is done instead
};

struct IniReview {
  int64_t task_count = 0;    // the task sections "Task0" ... that are read
  int64_t delete_count = 0;  // the entries of "ToDelete" that are read
  std::vector<IniFinding> findings;
};

// Looks at the INI text `ini` (the file has `file_size` bytes; 0 when it
// could not be read) as it is converted for every language of `languages`.
// The counts are the ones the conversion uses: "NumTasks" of "MAIN" and of
// "ToDelete", 0 or below as none, cut to the file's size.
IniReview ReviewIniFile(const platform::ProfileFile& ini, uint64_t file_size,
                        const LanguageList& languages);

// Whether the conversion reads the key `key` in the section `section`
// ("MAIN", "ToDelete", "Task<n>"), without regard to case: the keys of
// ini_conversion.h's tables, a language key followed by at most 11
// characters (a language code), and in [ToDelete] "Task<n>". Any key of any
// other section is not read.
bool IsSchemaKey(const std::string& section, const std::string& key);

// The line of a finding: "PATH: [SECTION] KEY: WHAT", the parts that are
// empty left out.
std::string FindingLine(const std::string& ini_path, const IniFinding& finding);

}  // namespace builder
