// The findings of an INI text. See ini_review.h.

#include "builder/ini_review.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "platform/text.h"

namespace builder {

namespace {

// A hostile file could hold a finding on every line; past this many of one
// kind the rest are counted in one finding.
constexpr size_t kMaxFindingsOfAKind = 20;

constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         platform::EqualNoCaseAnsi(text.substr(0, prefix.size()), prefix);
}

std::string TaskSection(int64_t index) { return "Task" + std::to_string(index); }

// The number of a section named "Task<n>", as the conversion asks for it
// (decimal, no leading zero); -1 for any other name.
int64_t TaskSectionNumber(const std::string& name) {
  if (!StartsWithNoCase(name, "Task")) return -1;
  std::string digits = name.substr(4);
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos ||
      (digits.size() > 1 && digits[0] == '0')) {
    return -1;
  }
  return std::stoll(digits);
}

// "[Task3]", "[Task3] and [Task4]", "[Task3], [Task4], [Task5] and 7 more";
// `last_joint` " or " after "there is no".
std::string SectionList(const std::vector<int64_t>& shown, int64_t total,
                        const char* last_joint = " and ") {
  std::string text;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (i > 0) text += (i + 1 == shown.size() && total == static_cast<int64_t>(shown.size()))
                           ? last_joint
                           : ", ";
    text += "[" + TaskSection(shown[i]) + "]";
  }
  if (total > static_cast<int64_t>(shown.size())) {
    text += " and " + std::to_string(total - static_cast<int64_t>(shown.size())) + " more";
  }
  return text;
}

// Findings of one kind, the ones past kMaxFindingsOfAKind counted.
class FindingsOfAKind {
 public:
  explicit FindingsOfAKind(std::vector<IniFinding>* all) : all_(all) {}
  ~FindingsOfAKind() {
    if (passed_over_ > 0) {
      all_->push_back({"", "", std::to_string(passed_over_) + " more findings like the ones above"});
    }
  }
  void Add(IniFinding finding) {
    if (count_++ < kMaxFindingsOfAKind) {
      all_->push_back(std::move(finding));
    } else {
      ++passed_over_;
    }
  }

 private:
  std::vector<IniFinding>* all_;
  size_t count_ = 0;
  size_t passed_over_ = 0;
};

void ReviewByteOrderMark(const platform::ProfileFile& ini, std::vector<IniFinding>* findings) {
  const std::string& text = ini.Text();
  if (text.compare(0, 3, kUtf8Mark) != 0) return;
  // The mark stands in front of the first line's '[': that line is no
  // header, and the keys behind it belong to no section.
  std::string first_line = text.substr(3, text.find_first_of("\r\n") - 3);
  std::vector<std::string> names = platform::ProfileFile::FromText(first_line)->SectionNames();
  if (names.empty()) return;  // a first line that is no header loses nothing
  findings->push_back(
      {names[0], "",
       "the file begins with a UTF-8 byte-order mark, so its first line is not read as the "
       "header of [" + names[0] + "]; the keys up to the next header are passed over (save "
       "the file without the mark, or as UTF-16)"});
}

void ReviewEncoding(const platform::ProfileFile& ini, std::vector<IniFinding>* findings) {
  const std::string& text = ini.Text();
  const size_t body = text.compare(0, 3, kUtf8Mark) == 0 ? 3 : 0;
  // Text of ASCII alone (the common case) is text of every code page: it
  // needs no copy and no conversion, which for a large file cost three
  // times its size.
  if (std::all_of(text.begin() + body, text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return;
  }
  const std::string rest = text.substr(body);
  if (platform::IsAnsiText(rest) || !platform::IsUtf8BeyondAscii(rest)) return;
  size_t first = body;
  while (static_cast<unsigned char>(text[first]) < 0x80) ++first;
  IniFinding finding;
  ini.Locate(first, &finding.section, &finding.key);
  const std::string code_page = std::to_string(platform::AnsiCodePage());
  finding.what = "the file is UTF-8 text, not text of the ANSI code page " + code_page +
                 ": its names and values outside ASCII are read as two to four " + code_page +
                 " characters each (save the file in code page " + code_page +
                 ", or as UTF-16)";
  findings->push_back(std::move(finding));
}

// "NumTasks" of `section` as the conversion uses it: 0 or below is none; a
// count larger than the file's size in bytes is cut to it, so that a
// mistyped or hostile count cannot make the work grow out of proportion to
// the file.
int64_t BoundedCount(const platform::ProfileFile& ini, const char* section, uint64_t file_size,
                     std::vector<IniFinding>* findings) {
  int32_t count = static_cast<int32_t>(ini.GetInt(section, kNumTasksKey, 0));
  if (count <= 0) return 0;
  if (static_cast<uint64_t>(count) > file_size) {
    findings->push_back({section, "NumTasks=" + std::to_string(count),
                         "larger than the file; cut to " + std::to_string(file_size)});
    return static_cast<int64_t>(file_size);
  }
  return count;
}

void ReviewTaskNumbering(const platform::ProfileFile& ini, int64_t count,
                         const std::set<int64_t>& present, std::vector<IniFinding>* findings) {
  const std::string written = ini.GetString(kMainSection, kNumTasksKey, "", 30);
  const std::string key = written.empty() ? std::string(kNumTasksKey) : kNumTasksKey + ("=" + written);
  if (count == 0) {
    if (present.empty()) return;
    std::vector<int64_t> shown(present.begin(),
                               std::next(present.begin(), std::min<size_t>(present.size(), 3)));
    findings->push_back(
        {kMainSection, key,
         std::string(written.empty() ? "missing" : "0 or below") + ", so the task section" +
             (present.size() == 1 ? " " : "s ") +
             SectionList(shown, static_cast<int64_t>(present.size())) +
             (present.size() == 1 ? " is" : " are") + " not read and no task is written"});
    return;
  }
  const int64_t highest = present.empty() ? -1 : *present.rbegin();
  // The missing sections below the highest present one are gaps, the ones
  // above it lie beyond the end.
  std::vector<int64_t> gaps, beyond;
  int64_t gap_total = 0, beyond_total = 0;
  const int64_t last_gap = std::min(highest, count);  // exclusive
  int64_t present_below = static_cast<int64_t>(
      std::distance(present.begin(), present.lower_bound(last_gap)));
  gap_total = last_gap - present_below;
  if (highest + 1 < count) beyond_total = count - (highest + 1);
  for (int64_t i = 0; i < last_gap && static_cast<int64_t>(gaps.size()) < std::min<int64_t>(3, gap_total); ++i) {
    if (present.count(i) == 0) gaps.push_back(i);
  }
  for (int64_t i = highest + 1; i < count && beyond.size() < 3; ++i) beyond.push_back(i);
  auto in_place = [](int64_t total) {
    const std::string name = std::string("\"") + kDefaultTaskName + "\"";
    return total == 1 ? "a task " + name + " with every default is written in its place"
                      : std::to_string(total) + " tasks " + name +
                            " with every default are written in their place";
  };
  if (gap_total > 0) {
    findings->push_back({kMainSection, key,
                         "the numbering of the task sections has a gap, there is no " +
                             SectionList(gaps, gap_total, " or ") + "; " + in_place(gap_total)});
  }
  if (beyond_total > 0) {
    findings->push_back(
        {kMainSection, key,
         "there is no " + SectionList(beyond, beyond_total, " or ") + " (" +
             (highest < 0 ? std::string("no task section at all")
                          : "the last task section is [" + TaskSection(highest) + "]") +
             "); " + in_place(beyond_total)});
  }
  auto unread = present.lower_bound(count);
  if (unread != present.end()) {
    int64_t total = static_cast<int64_t>(std::distance(unread, present.end()));
    std::vector<int64_t> shown;
    for (auto it = unread; it != present.end() && shown.size() < 3; ++it) shown.push_back(*it);
    findings->push_back({kMainSection, key,
                         SectionList(shown, total) + (total == 1 ? " is" : " are") +
                             " not read: the count ends with [" + TaskSection(count - 1) + "]"});
  }
}

// A set of names that finds a key without regard to case, by the fold of
// EqualNoCaseAnsi; the names are ASCII, so an ASCII key (nearly every key)
// is found by its ASCII upper case, without a conversion.
class NameSet {
 public:
  void Add(const char* name) {
    ascii_.insert(AsciiUpper(name));
    folded_.insert(platform::FoldedWide(name));
  }
  bool Has(const std::string& key) const {
    const bool ascii = std::all_of(key.begin(), key.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? ascii_.count(AsciiUpper(key)) != 0
                 : folded_.count(platform::FoldedWide(key)) != 0;
  }

 private:
  static std::string AsciiUpper(std::string text) {
    for (char& c : text) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
  }
  std::set<std::string> ascii_;
  std::set<std::u16string> folded_;
};

// Whether `key` is one of the names of `table`, without regard to case.
template <size_t N>
bool InTable(const std::string& key, const char* const (&table)[N]) {
  // The names folded once, so that a key of a 10,000-task text costs one
  // lookup, not one comparison per name.
  static std::map<const void*, NameSet> sets;
  auto found = sets.find(table);
  if (found == sets.end()) {
    NameSet names;
    for (const char* name : table) names.Add(name);
    found = sets.emplace(table, std::move(names)).first;
  }
  return found->second.Has(key);
}

// Switch keys whose value is neither 0 nor 1, in `section`.
template <size_t N>
void ReviewSwitches(const platform::ProfileFile& ini, const std::string& section,
                    const std::vector<std::string>& key_names, const char* const (&switch_keys)[N],
                    FindingsOfAKind* findings) {
  std::set<std::u16string> seen;  // folded
  for (const std::string& name : key_names) {
    if (!InTable(name, switch_keys)) continue;
    if (!seen.insert(platform::FoldedWide(name)).second) continue;  // the first line counts
    const char kNoValue[] = "\x01";  // a key line without '=' keeps the default
    std::string value = ini.GetString(section, name, kNoValue);
    if (value == kNoValue || value == "0" || value == "1") continue;
    findings->Add({section, name + "=" + value,
                   "a switch is 1 (on) or 0 (off); this value is read as 0 (off)"});
  }
}

void ReviewAreas(const platform::ProfileFile& ini, const std::string& section,
                 const std::vector<std::string>& key_names, FindingsOfAKind* findings) {
  bool has_areas = false;
  for (const std::string& name : key_names) has_areas |= platform::EqualNoCaseAnsi(name, kAreasKey);
  if (!has_areas) return;
  std::string value = ini.GetString(section, kAreasKey, "", kValueBufferSize, /*keep_quotes=*/true);
  for (const std::string& item : SplitListValue(value)) {
    std::string why = AreaItemProblem(item);
    if (!why.empty()) findings->Add({section, kAreasKey, "the item " + item + " is left out (" + why + ")"});
  }
}


// `key` is `base` followed by what may be a language code.
bool IsLanguageKey(const std::string& key, const char* base) {
  return StartsWithNoCase(key, base) &&
         key.size() - std::char_traits<char>::length(base) <= kMaxLanguageLength;
}

// The edit distance of two key names without regard to case, or 3 when it
// is larger than 2 (a likely typo is at most two letters off).
size_t TypoDistance(const std::string& a, const std::string& b) {
  if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > 2) return 3;
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      bool same = platform::EqualNoCaseAnsi(a.substr(i - 1, 1), b.substr(j - 1, 1));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return std::min<size_t>(row[b.size()], 3);
}

// The schema's key of `section` closest to `key`, or "" when none is
// within two letters.
std::string ClosestKey(const std::string& section, const std::string& key) {
  std::vector<std::string> names;
  if (platform::EqualNoCaseAnsi(section, kMainSection)) {
    names.assign(std::begin(kMainValueKeys), std::end(kMainValueKeys));
    names.insert(names.end(), std::begin(kMainSwitchKeys), std::end(kMainSwitchKeys));
    names.push_back(kOutputKey);
  } else if (platform::EqualNoCaseAnsi(section, kDeleteSection)) {
    // An entry is "Task" and its number: the number of the key is kept.
    size_t digits = key.find_last_not_of("0123456789") + 1;
    names = {kNumTasksKey, "Task" + key.substr(digits)};
  } else {
    names.assign(std::begin(kTaskValueKeys), std::end(kTaskValueKeys));
    names.insert(names.end(), std::begin(kTaskSwitchKeys), std::end(kTaskSwitchKeys));
    names.insert(names.end(), std::begin(kTaskLanguageKeys), std::end(kTaskLanguageKeys));
  }
  std::string best;
  size_t best_distance = 3;
  for (const std::string& name : names) {
    size_t d = TypoDistance(key, name);
    if (d < best_distance) {
      best = name;
      best_distance = d;
    }
  }
  return best;
}

// Keys of the sections that are read which the conversion never asks for.
void ReviewUnknownKeys(const std::string& section, const std::vector<std::string>& key_names,
                       FindingsOfAKind* findings) {
  std::set<std::u16string> seen;  // folded
  for (const std::string& name : key_names) {
    if (IsSchemaKey(section, name)) continue;
    if (!seen.insert(platform::FoldedWide(name)).second) continue;
    std::string closest = ClosestKey(section, name);
    findings->Add({section, name,
                   "no such key in this section, likely a typo" +
                       (closest.empty() ? std::string() : " of " + closest) +
                       "; the line is passed over"});
  }
}

// An "Output<lang>" key missing for a language that other keys of the file
// are written for: that language's configuration goes to the default file.
// The languages of the run, each once, in their order.
// The languages of the run, each once, in their order, whose "Output" key
// `main_keys` (the keys of "[MAIN]") lacks.
std::vector<std::string> LanguagesWithoutOutput(const LanguageList& languages,
                                                const std::vector<std::string>& main_keys) {
  std::vector<std::string> lacking;
  for (const std::string& language : languages) {
    if (std::find(lacking.begin(), lacking.end(), language) != lacking.end()) continue;
    bool present = false;
    for (const std::string& name : main_keys) {
      present = present || platform::EqualNoCaseAnsi(name, kOutputKey + language);
    }
    if (!present) lacking.push_back(language);
  }
  return lacking;
}

// For each of `languages` whose *evidence is still empty: the first key of
// `key_names` (of `section`) that is a task key of that language, as
// "[section] key".
void FindLanguageKeys(const std::vector<std::string>& languages, const std::string& section,
                      const std::vector<std::string>& key_names,
                      std::vector<std::string>* evidence) {
  for (size_t l = 0; l < languages.size(); ++l) {
    for (size_t n = 0; n < key_names.size() && (*evidence)[l].empty(); ++n) {
      for (const char* key : kTaskLanguageKeys) {
        if (platform::EqualNoCaseAnsi(key_names[n], key + languages[l])) {
          (*evidence)[l] = "[" + section + "] " + key_names[n];
          break;
        }
      }
    }
  }
}

// The output key of each of `lacking` (languages whose key "[MAIN]" lacks)
// for which the file has keys of that language: another "Output" key of
// "[MAIN]" says so first, else a task section's key (`task_evidence`, one
// per language, "" for none).
void ReviewOutputs(const std::vector<std::string>& lacking,
                   const std::vector<std::string>& main_keys,
                   const std::vector<std::string>& task_evidence,
                   std::vector<IniFinding>* findings) {
  for (size_t l = 0; l < lacking.size(); ++l) {
    std::string evidence = task_evidence[l];
    for (const std::string& name : main_keys) {
      if (StartsWithNoCase(name, kOutputKey)) {
        evidence = name;
        break;
      }
    }
    if (evidence.empty()) continue;
    findings->push_back({kMainSection, kOutputKey + lacking[l],
                         "missing, while the file has " + evidence +
                             "; the configuration for the language code \"" + lacking[l] +
                             "\" goes to " + kDefaultOutput + " in the current folder"});
  }
}

}  // namespace

IniReview ReviewIniFile(const platform::ProfileFile& ini, uint64_t file_size,
                        const LanguageList& languages) {
  IniReview review;
  std::vector<IniFinding>& findings = review.findings;
  ReviewByteOrderMark(ini, &findings);
  ReviewEncoding(ini, &findings);
  review.delete_count = BoundedCount(ini, kDeleteSection, file_size, &findings);
  review.task_count = BoundedCount(ini, kMainSection, file_size, &findings);

  std::set<int64_t> present;
  for (const std::string& name : ini.SectionNames()) {
    int64_t number = TaskSectionNumber(name);
    if (number >= 0) present.insert(number);
  }
  ReviewTaskNumbering(ini, review.task_count, present, &findings);

  // The task sections that are read, one at a time: their key names are
  // listed once for every review of the section, and not kept (a large
  // text has many). Each kind of finding is gathered apart, to be said in
  // the order of the kinds.
  const std::vector<std::string> main_keys = ini.KeyNames(kMainSection);
  // Task keys are searched only for the languages without an output key.
  const std::vector<std::string> lacking = LanguagesWithoutOutput(languages, main_keys);
  std::vector<std::string> task_evidence(lacking.size());
  std::vector<IniFinding> switch_findings, area_findings, unknown_findings;
  {
    FindingsOfAKind switches(&switch_findings);
    FindingsOfAKind areas(&area_findings);
    FindingsOfAKind unknown(&unknown_findings);
    ReviewSwitches(ini, kMainSection, main_keys, kMainSwitchKeys, &switches);
    ReviewUnknownKeys(kMainSection, main_keys, &unknown);
    // [ToDelete] whatever its count: a mistyped count is worth saying most.
    ReviewUnknownKeys(kDeleteSection, ini.KeyNames(kDeleteSection), &unknown);
    for (auto it = present.begin(); it != present.end() && *it < review.task_count; ++it) {
      const std::string section = TaskSection(*it);
      const std::vector<std::string> keys = ini.KeyNames(section);
      ReviewSwitches(ini, section, keys, kTaskSwitchKeys, &switches);
      ReviewAreas(ini, section, keys, &areas);
      ReviewUnknownKeys(section, keys, &unknown);
      FindLanguageKeys(lacking, section, keys, &task_evidence);
    }
  }
  for (std::vector<IniFinding>* kind : {&switch_findings, &area_findings, &unknown_findings}) {
    std::move(kind->begin(), kind->end(), std::back_inserter(findings));
  }
  ReviewOutputs(lacking, main_keys, task_evidence, &findings);
  return review;
}

bool IsSchemaKey(const std::string& section, const std::string& key) {
  if (platform::EqualNoCaseAnsi(section, kMainSection)) {
    return InTable(key, kMainValueKeys) || InTable(key, kMainSwitchKeys) ||
           IsLanguageKey(key, kOutputKey);
  }
  if (platform::EqualNoCaseAnsi(section, kDeleteSection)) {
    return platform::EqualNoCaseAnsi(key, kNumTasksKey) || TaskSectionNumber(key) >= 0;
  }
  if (TaskSectionNumber(section) < 0) return false;
  if (InTable(key, kTaskValueKeys) || InTable(key, kTaskSwitchKeys)) return true;
  for (const char* base : kTaskLanguageKeys) {
    if (IsLanguageKey(key, base)) return true;
  }
  return false;
}

std::string FindingLine(const std::string& ini_path, const IniFinding& finding) {
  std::string line = ini_path + ":";
  if (!finding.section.empty()) line += " [" + finding.section + "]";
  if (!finding.key.empty()) line += " " + finding.key;
  return line + ": " + finding.what;
}

}  // namespace builder
