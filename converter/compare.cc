// The comparison of two configurations. See compare.h.

#include "converter/compare.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "builder/config_layout.h"
#include "converter/ini_emission.h"

namespace converter {

namespace {

// A task's section as key and value pairs, in the order they are written.
using Section = std::vector<std::pair<std::string, std::string>>;

std::string Place(const StoredArea& area) {
  return builder::AreaPlace(static_cast<uint32_t>(area.area), area.domain, area.user);
}

std::string AreaWords(const StoredArea& area) {
  return builder::AreaWords(static_cast<uint32_t>(area.area), area.domain, area.user);
}

// The section the export writes for `task`, without a language code; ""
// when its record could not be parsed again (no memory).
std::string SectionText(const StoredArea& area, const StoredTask& task, TaskScratch* scratch) {
  TaskContext context;
  context.area = area.area;
  if (area.area == TaskArea::kPrivate) {
    context.domain = area.domain;
    context.user = area.user;
  }
  std::string text;
  std::vector<ValueProblem> ignored;
  TaskFields fields;
  if (!FieldsOf(task, scratch, &fields)) return "";
  FormatTaskFields(fields, context, &text, &ignored);
  return text;
}

// Its key and value lines.
Section SectionOf(const std::string& text) {
  Section section;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 2;
    const size_t equals = line.find(" = ");
    if (equals != std::string::npos) section.emplace_back(line.substr(0, equals), line.substr(equals + 3));
  }
  return section;
}

std::string Quoted(const std::string& value) { return "\"" + value + "\""; }

// The items of a Types or Areas value: split at the commas outside quotes.
std::vector<std::string> Items(const std::string& value) {
  std::vector<std::string> items;
  std::string item;
  bool quoted = false;
  for (char c : value) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      items.push_back(item);
      item.clear();
    } else {
      item.push_back(c);
    }
  }
  if (!value.empty()) items.push_back(item);
  return items;
}

// The items of `from` that `other` lacks, each as often as it lacks it.
std::vector<std::string> Missing(const std::vector<std::string>& from,
                                 std::vector<std::string> other) {
  std::vector<std::string> missing;
  for (const std::string& item : from) {
    auto found = std::find(other.begin(), other.end(), item);
    if (found == other.end()) {
      missing.push_back(item);
    } else {
      other.erase(found);
    }
  }
  return missing;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// The differences of two sections of one task, one text per key.
std::vector<std::string> SectionDifferences(const Section& first, const Section& second) {
  std::vector<std::string> differences;
  std::map<std::string, std::string> in_second(second.begin(), second.end());
  std::set<std::string> seen;
  for (const auto& [key, value] : first) {
    seen.insert(key);
    auto other = in_second.find(key);
    if (other == in_second.end()) {
      differences.push_back(key + " " + Quoted(value) + " only in the first");
      continue;
    }
    if (other->second == value) continue;
    if (key == "Types" || key == "Areas") {
      const std::vector<std::string> a = Items(value), b = Items(other->second);
      const std::vector<std::string> lost = Missing(a, b), gained = Missing(b, a);
      std::string text = key;
      if (!lost.empty()) text += " lost " + Joined(lost);
      if (!gained.empty()) text += std::string(lost.empty() ? "" : ",") + " gained " + Joined(gained);
      if (lost.empty() && gained.empty()) text += ": the same items in another order";
      differences.push_back(text);
    } else {
      differences.push_back(key + " " + Quoted(value) + " in the first, " + Quoted(other->second) +
                            " in the second");
    }
  }
  for (const auto& [key, value] : second) {
    if (seen.count(key) == 0) differences.push_back(key + " " + Quoted(value) + " only in the second");
  }
  return differences;
}

// The domain and user storages of a configuration that hold no task, as
// "D" and "D/U" (the others are compared through their tasks); the default
// domain that every new version-616 file has is left out.
std::set<std::string> EmptyStorageNames(const StoredConfiguration& config) {
  const EmptyStorages empty = FindEmptyStorages(config, /*leave_out_default_domain=*/true);
  std::set<std::string> names(empty.domains.begin(), empty.domains.end());
  names.insert(empty.users.begin(), empty.users.end());
  return names;
}

}  // namespace

std::vector<TaskMatch> MatchTasks(const StoredConfiguration& first,
                                  const StoredConfiguration& second, TaskScratch* scratch,
                                  bool* whole) {
  // The second's tasks by area and name.
  std::map<std::pair<std::string, std::string>, std::vector<const StoredTask*>> by_name;
  std::map<const StoredTask*, const StoredArea*> area_of;
  for (const StoredArea& area : second.areas) {
    for (const StoredTask& task : area.tasks) {
      by_name[{Place(area), task.name}].push_back(&task);
      area_of[&task] = &area;
    }
  }
  std::vector<TaskMatch> matches;
  // The first's tasks that the second has a task of the same name for, by
  // area and name: their places in `matches`.
  std::map<std::pair<std::string, std::string>, std::vector<size_t>> named_alike;
  for (const StoredArea& area : first.areas) {
    for (const StoredTask& task : area.tasks) {
      const std::pair<std::string, std::string> key(Place(area), task.name);
      matches.push_back({&area, &task, nullptr});
      auto candidates = by_name.find(key);
      if (candidates == by_name.end()) continue;
      named_alike[key].push_back(matches.size() - 1);
    }
  }
  for (auto& [key, firsts] : named_alike) {
    std::vector<const StoredTask*>& seconds = by_name[key];
    if (firsts.size() == 1 && seconds.size() == 1) {
      matches[firsts[0]].second = seconds[0];
      continue;
    }
    // Those written alike pair up first; the rest in their order.
    std::vector<std::string> second_texts;
    for (const StoredTask* task : seconds) {
      second_texts.push_back(SectionText(*area_of[task], *task, scratch));
      if (second_texts.back().empty()) *whole = false;
    }
    std::vector<bool> taken(seconds.size(), false);
    std::vector<size_t> unpaired;
    for (size_t index : firsts) {
      const std::string text = SectionText(*matches[index].area, *matches[index].first, scratch);
      if (text.empty()) *whole = false;
      size_t k = 0;
      while (k < seconds.size() && (taken[k] || text.empty() || second_texts[k] != text)) ++k;
      if (k < seconds.size()) {
        taken[k] = true;
        matches[index].second = seconds[k];
      } else {
        unpaired.push_back(index);
      }
    }
    size_t k = 0;
    for (size_t index : unpaired) {
      while (k < seconds.size() && taken[k]) ++k;
      if (k == seconds.size()) break;
      taken[k] = true;
      matches[index].second = seconds[k];
    }
  }
  return matches;
}

Comparison CompareConfigurations(const ComparedConfiguration& first,
                                 const ComparedConfiguration& second) {
  Comparison result;
  TaskScratch scratch;
  std::set<const StoredTask*> matched;
  int tasks_first = 0, tasks_second = 0, equal = 0, different = 0, only_first = 0, only_second = 0;
  for (const TaskMatch& match :
       MatchTasks(first.config, second.config, &scratch, &result.whole)) {
    ++tasks_first;
    const StoredArea& area = *match.area;
    const std::string where = AreaWords(area) + ", task " + match.first->name + ": ";
    if (match.second == nullptr) {
      result.lines.push_back(where + "only in the first");
      ++only_first;
      continue;
    }
    matched.insert(match.second);
    // Equal texts, the common case, need no look at their lines.
    const std::string text = SectionText(area, *match.first, &scratch);
    const std::string other_text = SectionText(area, *match.second, &scratch);
    if (text.empty() || other_text.empty()) result.whole = false;
    const std::vector<std::string> differences =
        text == other_text ? std::vector<std::string>()
                           : SectionDifferences(SectionOf(text), SectionOf(other_text));
    for (const std::string& difference : differences) result.lines.push_back(where + difference);
    ++(differences.empty() ? equal : different);
  }
  for (const StoredArea& area : second.config.areas) {
    for (const StoredTask& task : area.tasks) {
      ++tasks_second;
      if (matched.count(&task) != 0) continue;
      result.lines.push_back(AreaWords(area) + ", task " + task.name + ": only in the second");
      ++only_second;
    }
  }

  int other = 0;
  const std::set<std::string> storages_first = EmptyStorageNames(first.config);
  const std::set<std::string> storages_second = EmptyStorageNames(second.config);
  for (const std::string& storage : storages_first) {
    if (storages_second.count(storage) == 0) {
      result.lines.push_back("the empty storage " + storage + ": only in the first");
      ++other;
    }
  }
  for (const std::string& storage : storages_second) {
    if (storages_first.count(storage) == 0) {
      result.lines.push_back("the empty storage " + storage + ": only in the second");
      ++other;
    }
  }
  // Passwords are compared by their stored bytes and never shown.
  for (const auto& [what, a, b] :
       {std::make_tuple("the main password", &first.stored_password, &second.stored_password),
        std::make_tuple("the second password", &first.second_password, &second.second_password)}) {
    if (*a == *b) continue;
    result.lines.push_back(std::string(what) +
                           (a->empty()   ? ": only in the second"
                            : b->empty() ? ": only in the first"
                                         : " differs"));
    ++other;
  }

  result.differences = different + only_first + only_second + other;
  std::string summary = std::to_string(tasks_first) + " tasks in the first, " +
                        std::to_string(tasks_second) + " in the second: " + std::to_string(equal) +
                        " equal, " + std::to_string(different) + " different, " +
                        std::to_string(only_first) + " only in the first, " +
                        std::to_string(only_second) + " only in the second";
  if (other > 0) summary += "; " + std::to_string(other) + " other differences";
  result.lines.push_back(summary);
  return result;
}

}  // namespace converter
