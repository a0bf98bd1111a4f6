// The comparison of two configurations, of version 615 or 616, task by task
// and field by field, in the words of the INI text: two tasks are equal when
// their sections would be written alike, which is what a conversion
// promises of every task it carries.
#pragma once

#include <string>
#include <vector>

#include "converter/old_config_reader.h"

namespace converter {

// One configuration as it was read.
struct ComparedConfiguration {
  StoredConfiguration config;
  std::string stored_password;  // the main password's stored bytes
  std::string second_password;  // the whole "_Zarin_/ro012" stream
};

// What the two differ in: one line per difference, in the order of the
// first configuration's areas and tasks, then what only the second holds.
// Tasks are matched by area, domain, user and name (a "*" task's name is
// its fixed stream name); tasks of one name in one area are matched in
// their order. The last line sums up. differences is 0 when they are equal.
struct Comparison {
  std::vector<std::string> lines;
  int differences = 0;
  bool whole = true;  // false: a task could not be read again (no memory)
};
Comparison CompareConfigurations(const ComparedConfiguration& first,
                                 const ComparedConfiguration& second);

}  // namespace converter
