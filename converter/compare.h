// The comparison of two configurations, of version 615 or 616, task by task
// and field by field, in the words of the INI text: two tasks are equal when
// their sections would be written alike, which is what a conversion
// promises of every task it carries.
#pragma once

#include <string>
#include <vector>

#include "converter/ini_emission.h"
#include "converter/old_config_reader.h"

namespace converter {

// One configuration as it was read.
struct ComparedConfiguration {
  StoredConfiguration config;
  std::string stored_password;  // the main password's stored bytes
  std::string second_password;  // the whole "_Zarin_/ro012" stream
};

// A task of the first configuration and the task of the second that
// stands for it; second is null when the second has none.
struct TaskMatch {
  const StoredArea* area;
  const StoredTask* first;
  const StoredTask* second;
};

// Pairs the tasks of `first` with those of `second` by area, domain, user
// and name (a "*" task's name is its fixed stream name). Among tasks of one
// name in one area, those whose sections would be written alike pair up
// first, the others in their order. One match per task of `first`, in its
// order. *whole is cleared when a task could not be read again (no memory).
std::vector<TaskMatch> MatchTasks(const StoredConfiguration& first,
                                  const StoredConfiguration& second, TaskScratch* scratch,
                                  bool* whole);

// What the two differ in: one line per difference, in the order of the
// first configuration's areas and tasks, then what only the second holds.
// Tasks are paired by MatchTasks. The last line sums up. differences is 0 when they are equal.
struct Comparison {
  std::vector<std::string> lines;
  int differences = 0;
  bool whole = true;  // false: a task could not be read again (no memory)
};
Comparison CompareConfigurations(const ComparedConfiguration& first,
                                 const ComparedConfiguration& second);

}  // namespace converter
