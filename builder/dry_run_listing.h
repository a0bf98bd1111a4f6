// The listing of a dry run ("/D"): what a run would do, one line per item,
// on standard output. Every text of the listing is written here.
//
// Fields are separated by one tab; the first field names the line's kind,
// and a line's status word (the third field) decides the fields after it.
// A byte below 0x20 (a tab) or 0x7F in a name or path is written as \xHH.
//
//   dry-run  1                                  the form's version, first line
//   ini      read|missing  PATH                 an INI file, in command-line order
//   output   LANG  exists|absent  exists|absent  PATH
//                                               a pass's configuration file before
//                                               the run and after it
//   output   LANG  in-conversion  PATH          the pass leaves the file to Rebolan
//   delete-old  LANG  PATH                      DeleleteOldCNF=1: deleted first
//   password LANG  main|main-hex|second  stores|fails
//   delete   LANG  removes  PLACE  STREAM  NAME  a [ToDelete] entry and the task found
//   delete   LANG  none  NAME                   no task of that name
//   delete   LANG  fails  WHY  NAME
//   task     LANG  writes  PLACE  STREAM  SECTION  NAME
//   task     LANG  fails  PLACE  WHY  SECTION  NAME
//   exit     STATUS  RESULT                      the exit status and the 32-bit result
//                                               (0x%08X), last line
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/ini_conversion.h"

namespace builder {

constexpr int kDryRunListingVersion = 1;

// The whole listing of a dry run whose INI files gave `inis` and whose run
// ends with `result`.
std::string DryRunListing(const std::vector<IniDone>& inis, int32_t result);

// The message when the listing could not be written to standard output.
std::string ListingNotWrittenMessage();

// The refusal of a dry run by a build that has none.
std::string NoDryRunMessage();

}  // namespace builder
