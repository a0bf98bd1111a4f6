// INI text emission. See ini_emission.h.

#include "converter/ini_emission.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "builder/config_layout.h"
#include "builder/ini_conversion.h"
#include "builder/task_record.h"
#include "platform/element_name.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "platform/text.h"

namespace converter {

namespace {

constexpr size_t kFlushSize = 64 * 1024;

// White space as the INI reader trims it around a value.
bool IsIniBlank(char c) { return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == ' '; }

bool EqualNoCaseAscii(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char x = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 32) : *a;
    char y = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

using builder::FlagKeyword;
using builder::kAreaKeywords;
using builder::kResidentScanKeywords;
using builder::kTypeKeywords;
using builder::kVirusNotificationKeywords;

// The keyword of the first row whose bit is set; "None" when no bit is set,
// which the builder reads as the third keyword.
template <size_t N>
const char* FirstKeyword(const FlagKeyword (&rows)[N], uint32_t word) {
  for (const FlagKeyword& row : rows) {
    if ((word & row.bit) != 0) return row.word;
  }
  return "None";
}

template <size_t N>
bool IsKeyword(const FlagKeyword (&rows)[N], const char* text) {
  for (const FlagKeyword& row : rows) {
    if (EqualNoCaseAscii(row.word, text)) return true;
  }
  return false;
}

// A value longer than the builder's 260-byte buffer holds.
std::string LengthProblem(const std::string& value) {
  if (value.size() <= kMaxTextLength) return "";
  return "the value is " + std::to_string(value.size()) +
         " characters long; the builder reads at most " + std::to_string(kMaxTextLength);
}

const char* Bit(uint32_t word, uint32_t bit) { return (word & bit) != 0 ? "1" : "0"; }

// Appends one "key = value" line to *out; blank_before puts an empty line
// in front.
void AppendLine(std::string* out, bool blank_before, const std::string& key,
                const std::string& value) {
  if (blank_before) out->append("\r\n");
  out->append(key);
  out->append(" = ");
  out->append(value);
  out->append("\r\n");
}

// Adds to *problems that the value of `key` would not come back, for the
// reason `why`; "" is no problem and adds nothing.
void AddProblem(std::vector<ValueProblem>* problems, const std::string& key,
                const std::string& why) {
  if (!why.empty()) problems->push_back({key, why});
}

class SectionWriter {
 public:
  SectionWriter(std::string* out, std::vector<ValueProblem>* problems)
      : out_(out), problems_(problems) {}

  // One "key = value" line; blank_before puts an empty line in front.
  void Line(bool blank_before, const std::string& key, const std::string& value) {
    AppendLine(out_, blank_before, key, value);
  }
  // The same, for a value that the builder reads as a plain value.
  void Checked(bool blank_before, const std::string& key, const std::string& value) {
    Line(blank_before, key, value);
    Check(key, ScalarValueProblem(value));
  }
  void Check(const std::string& key, const std::string& why) { AddProblem(problems_, key, why); }

 private:
  std::string* out_;
  std::vector<ValueProblem>* problems_;
};

// "a","b": every item quoted, as the builder's list reader takes them.
std::string QuotedList(const std::vector<std::string>& list) {
  std::string value;
  for (const std::string& item : list) {
    if (!value.empty()) value.push_back(',');
    value.push_back('"');
    value.append(item);
    value.push_back('"');
  }
  return value;
}

// Adds to *problems what of the quoted list `list`, the value of `key`,
// the builder would not read back: an item holding a double quote or a
// line break, then a value too long.
void AddListProblems(const std::string& key, const std::vector<std::string>& list,
                     std::vector<ValueProblem>* problems) {
  for (const std::string& item : list) {
    if (item.find('"') != std::string::npos) {
      AddProblem(problems, key, "the item " + item + " holds a double quote");
    }
    if (item.find_first_of("\r\n") != std::string::npos) {
      AddProblem(problems, key, "an item holds a line break");
    }
  }
  AddProblem(problems, key, LengthProblem(QuotedList(list)));
}

// Whether `message` holds a CR or LF that is not part of a CR LF pair,
// which the escaped "VirusFoundMsg" value cannot give back.
bool HasLoneLineEnd(const std::string& message) {
  for (size_t i = 0; i < message.size(); ++i) {
    const bool cr_lf = message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n';
    const bool after_cr = message[i] == '\n' && i > 0 && message[i - 1] == '\r';
    if ((message[i] == '\r' && !cr_lf) || (message[i] == '\n' && !after_cr)) return true;
  }
  return false;
}

// A fixed name ("*" + stream name) that the file format cannot hold.
std::string FixedNameProblem(const std::string& name) {
  if (name.empty() || name[0] != '*') return "";
  switch (platform::ElementNameProblem(platform::AnsiToWide(name.substr(1)))) {
    case platform::ElementNameFault::kNone:
      return "";
    case platform::ElementNameFault::kEmpty:
      return "the name \"*\" names an empty stream name";
    case platform::ElementNameFault::kTooLong:
      return "the stream name behind \"*\" is longer than 31 characters";
    case platform::ElementNameFault::kForbiddenUnit:
      break;
  }
  return "the stream name behind \"*\" holds a character that stream names cannot hold";
}

}  // namespace

std::string ScalarValueProblem(const std::string& value) {
  std::string too_long = LengthProblem(value);
  if (!too_long.empty()) return too_long;
  if (value.find_first_of("\r\n") != std::string::npos) return "the value holds a line break";
  if (!value.empty() && (IsIniBlank(value.front()) || IsIniBlank(value.back()))) {
    return "the value begins or ends with white space, which the INI reader drops";
  }
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return "the value is enclosed in quotes, which the INI reader removes";
  }
  return "";
}

std::string EscapeVirusFoundMsg(const std::string& message) {
  std::string value;
  value.reserve(message.size() + 8);
  for (char c : message) {
    if (c == '\n') {
      value.append("\\n");
    } else if (c == '\r') {
      // Left out: the line feed after it carries the line break.
    } else if (c == '\\') {
      value.append("\\\\");
    } else {
      value.push_back(c);
    }
  }
  return value;
}

namespace {

// The words of the rows whose bits are set in `word`, comma-separated.
template <size_t N>
std::string KeywordList(const FlagKeyword (&rows)[N], uint32_t word) {
  std::string value;
  for (const FlagKeyword& row : rows) {
    if ((word & row.bit) == 0) continue;
    if (!value.empty()) value.push_back(',');
    value.append(row.word);
  }
  return value;
}

std::vector<uint8_t> ByteVector(const CByteArray& bytes) {
  std::vector<uint8_t> vector;
  vector.reserve(bytes.Count());
  bytes.ForEach([&](uint8_t b) { vector.push_back(b); });
  return vector;
}

}  // namespace

std::string FormatTypes(const OldTaskRecord& record) {
  std::string value = KeywordList(kTypeKeywords, record.TaskFlags);
  // Each item takes its marker from the flag byte at its index; the parser
  // guarantees one byte per item.
  const std::vector<uint8_t> flags = ByteVector(record.TypeFlags);
  size_t index = 0;
  record.Types.ForEach([&](const CString& item) {
    if (!value.empty()) value.push_back(',');
    value.append(item.text);
    value.push_back(index < flags.size() && flags[index] != 0 ? '-' : '+');
    ++index;
  });
  return value;
}

std::string FormatAreas(const OldTaskRecord& record) {
  std::string value = KeywordList(kAreaKeywords, record.TaskFlags);
  const std::vector<uint8_t> flags = ByteVector(record.AreaFlags);
  size_t index = 0;
  record.Areas.ForEach([&](const CString& item) {
    uint8_t flag = index < flags.size() ? flags[index] : 0;
    ++index;
    char first = (flag & kAreaFlagExcluded) != 0 ? '-' : '+';
    char second = (flag & kAreaFlagFile) != 0 ? '_' : (flag & kAreaFlagSubfolders) != 0 ? '+' : '-';
    if (!value.empty()) value.push_back(',');
    value.push_back('"');
    size_t length = std::strlen(item.text);
    value.append(item.text, length);
    if (second != '_' && (length == 0 || item.text[length - 1] != '\\')) value.push_back('\\');
    value.push_back('"');
    if (second == '+') value.push_back('S');
    value.push_back(first);
  });
  return value;
}

std::string HexText(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    text.push_back(kDigits[c >> 4]);
    text.push_back(kDigits[c & 15]);
  }
  return text;
}

namespace {

// Whether the builder's list reader gives `item` back as one item of
// "Types" (not empty, no comma, quote or line break, no blank at its ends,
// no keyword).
bool IsTypeItemReadBack(const std::string& item) {
  return !item.empty() && item.find_first_of(",\"\r\n") == std::string::npos &&
         !IsIniBlank(item.front()) && !IsIniBlank(item.back()) &&
         !IsKeyword(kTypeKeywords, item.c_str());
}

ValueProblem TypeItemProblem(const std::string& item) {
  return {"Types", "the item \"" + item + "\" would not be read back as one item"};
}

// The "Areas" item of a version-616 entry: the path, then two markers,
// "+" or "-" (included or excluded), then "+" (with subfolders), "-"
// (without) or "_" (a file). "" when the entry cannot be written so that
// the builder makes the same entry of it; *problem says why.
std::string AreaItemOf(const std::string& entry, std::string* problem) {
  const size_t n = entry.size();
  if (n < 2) {
    *problem = "the entry \"" + entry + "\" is too short to hold its markers";
    return "";
  }
  const std::string path = entry.substr(0, n - 2);
  const char first = entry[n - 2];
  const char second = entry[n - 1];
  const bool folder = !path.empty() && path.back() == '\\';
  if ((first != '+' && first != '-') || (second != '+' && second != '-' && second != '_')) {
    *problem = "the entry \"" + entry + "\" does not end with two markers";
  } else if ((second == '_') == folder) {
    *problem = "the entry " + path + (folder ? " ends with a backslash but is marked as a file"
                                             : " has no backslash at its end but is a folder");
  } else if (path.find_first_of("\"\r\n") != std::string::npos) {
    *problem = "the path " + path + " holds a double quote or line break";
  } else {
    return "\"" + path + "\"" + (second == '+' ? "S" : "") + first;
  }
  return "";
}

std::vector<std::string> Items(const CStringArray& list) {
  std::vector<std::string> items;
  list.ForEach([&](const CString& item) { items.emplace_back(item.text); });
  return items;
}

}  // namespace

TaskFields FieldsOf(const OldTaskRecord& r) {
  TaskFields f;
  f.component_flags = r.ComponentFlags;
  f.task_flags = r.TaskFlags;
  f.resident_flags = r.ResidentFlags;
  f.priority = r.Priority;
  f.name = r.Name.text;
  f.report_file_name = r.ReportFileName.text;
  f.virus_found_msg = r.VirusFoundMsg.text;
  // The builder's default chained task is written as no chained task.
  f.chained_task = EqualNoCaseAscii(r.ChainedTask.text, "virfound.wav") ? "" : r.ChainedTask.text;
  f.types = FormatTypes(r);
  r.Types.ForEach([&](const CString& item) {
    if (!IsTypeItemReadBack(item.text)) f.type_problems.push_back(TypeItemProblem(item.text));
  });
  f.areas = FormatAreas(r);
  const std::vector<uint8_t> area_flags = ByteVector(r.AreaFlags);
  size_t index = 0;
  r.Areas.ForEach([&](const CString& item) {
    const size_t n = std::strlen(item.text);
    const uint8_t flag = index < area_flags.size() ? area_flags[index] : 0;
    if (std::strpbrk(item.text, "\"\r\n") != nullptr) {
      f.area_problems.push_back(
          {"Areas", std::string("the path ") + item.text + " holds a double quote or line break"});
    } else if ((flag & kAreaFlagFile) != 0 && n > 0 && item.text[n - 1] == '\\') {
      f.area_problems.push_back(
          {"Areas", std::string("the file entry ") + item.text + " ends with a backslash"});
    }
    ++index;
  });
  f.send_to = Items(r.SendTo);
  f.resident_exclude_files = Items(r.ResidentExcludeFiles);
  return f;
}

TaskFields FieldsOf(const builder::TaskRecord& r) {
  TaskFields f;
  f.component_flags = r.ComponentFlags;
  f.task_flags = r.TaskFlags;
  f.resident_flags = r.ResidentFlags;
  f.priority = r.Priority;
  f.name = r.Name;
  f.report_file_name = r.ReportFileName;
  f.virus_found_msg = r.VirusFoundMsg;
  f.chained_task = r.ChainedTask;
  // The items stand as the INI text gave them, markers included.
  f.types = KeywordList(kTypeKeywords, r.TaskFlags);
  for (const std::string& item : r.Types) {
    if (!f.types.empty()) f.types.push_back(',');
    f.types.append(item);
    if (!IsTypeItemReadBack(item)) f.type_problems.push_back(TypeItemProblem(item));
  }
  f.areas = KeywordList(kAreaKeywords, r.TaskFlags);
  for (const std::string& entry : r.Areas) {
    std::string problem;
    const std::string item = AreaItemOf(entry, &problem);
    if (!problem.empty()) {
      f.area_problems.push_back({"Areas", problem});
      continue;
    }
    if (!f.areas.empty()) f.areas.push_back(',');
    f.areas.append(item);
  }
  f.send_to.assign(r.SendTo.begin(), r.SendTo.end());
  f.resident_exclude_files.assign(r.ResidentExcludeFiles.begin(), r.ResidentExcludeFiles.end());
  return f;
}

std::vector<ValueProblem> ReadBackProblems(const std::string& section, int32_t number,
                                           const std::string& language,
                                           const builder::TaskRecord& record) {
  const std::unique_ptr<platform::ProfileFile> ini = platform::ProfileFile::FromText(section);
  builder::TaskPlan read = builder::PlanTask(*ini, number, language);
  // The builder keeps list items in the reverse of the INI text's order and
  // stores them so; a stored record (builder::ReadTask) has them in the
  // text's order again.
  for (builder::TaskList* list : {&read.record.Types, &read.record.Areas, &read.record.SendTo,
                                  &read.record.ResidentExcludeFiles}) {
    std::reverse(list->begin(), list->end());
  }
  std::vector<ValueProblem> problems;
  for (const std::string& field : builder::DifferingFields(record, read.record)) {
    if (field == "TaskFlags") {
      char bits[16];
      std::snprintf(bits, sizeof bits, "0x%X",
                    static_cast<unsigned>(record.TaskFlags ^ read.record.TaskFlags));
      problems.push_back({field, std::string("the bits ") + bits +
                                     " would come back changed: no key written here gives them as they are"});
    } else if (field == "Reserved") {
      problems.push_back(
          {field, "the reserved words are not 0, and the INI text has no key for them"});
    } else {
      problems.push_back({field, "the builder would not read back the value as it is"});
    }
  }
  return problems;
}

bool FieldsOf(const StoredTask& task, TaskScratch* scratch, TaskFields* fields) {
  if (!ParseStoredTask(task, scratch->old_record.get(), &scratch->new_record)) return false;
  *fields = task.version == kOldVersion ? FieldsOf(*scratch->old_record)
                                        : FieldsOf(scratch->new_record);
  return true;
}

void FormatTaskSection(const OldTaskRecord& r, const TaskContext& context, std::string* out,
                       std::vector<ValueProblem>* problems) {
  FormatTaskFields(FieldsOf(r), context, out, problems);
}

namespace {

// The text of the section of task `r`, header to the closing empty line,
// in the builder's schema: the keys of the components and flags that the
// task uses.
std::string TaskSectionText(const TaskFields& r, const TaskContext& context) {
  std::string out;
  auto line = [&out](bool blank_before, const std::string& key, const std::string& value) {
    AppendLine(&out, blank_before, key, value);
  };
  const std::string& lang = context.language;
  const uint32_t components = r.component_flags;
  const uint32_t flags = r.task_flags;
  const uint32_t resident = r.resident_flags;

  out.append("[Task" + std::to_string(context.number) + "]\r\n");
  line(true, "Name" + lang, r.name);
  line(false, "IsPrivate", context.area == TaskArea::kPrivate ? "1" : "0");
  line(false, "IsShared", context.area == TaskArea::kShared ? "1" : "0");
  line(false, "IsReadOnly", context.area == TaskArea::kReadOnly ? "1" : "0");
  if (context.area == TaskArea::kPrivate) {
    line(false, "Domain", context.domain);
    line(false, "User", context.user);
  }
  line(true, "Priority", std::to_string(r.priority));

  line(true, "UseVirusScanner", Bit(components, builder::UseVirusScanner));
  line(false, "UseIntegrityChecker", Bit(components, builder::UseIntegrityChecker));
  line(false, "UseSimpleIntegrityChecker", Bit(components, builder::UseSimpleIntegrityChecker));
  line(false, "UseBehaviourBlocker", Bit(components, builder::UseBehaviourBlocker));
  line(false, "UseResidentBoot", Bit(components, builder::UseResidentBoot));
  line(false, "UseResidentProg", Bit(components, builder::UseResidentProg));

  line(true, "Types", r.types);
  line(true, "Areas", r.areas);

  line(true, "StartWithOS", Bit(flags, builder::StartWithOS));
  line(false, "StartWithTorvi", Bit(flags, builder::StartWithTorvi));
  line(false, "ExitWithLast", Bit(flags, builder::ExitWithLast));
  line(false, "NotifyExternal", Bit(flags, builder::NotifyExternal));

  if ((components & builder::UseVirusScanner) != 0) {
    line(true, "ScanMemory", Bit(flags, builder::ScanMemory));
    line(false, "IgnoreVirusType", Bit(flags, builder::IgnoreVirusType));
    line(false, "TestFileFull", Bit(flags, builder::TestFileFull));
    line(false, "TestFileCompressed", Bit(flags, builder::TestFileCompressed));
    line(false, "NoVirusFoundMsg", Bit(flags, builder::NoVirusFoundMsg));
    line(false, "VirusNotification", FirstKeyword(kVirusNotificationKeywords, flags));
  }
  if ((components & (builder::UseIntegrityChecker | builder::UseSimpleIntegrityChecker)) != 0) {
    line(true, "IgnoreArchive", Bit(flags, builder::IgnoreArchive));
    line(false, "NoContents", Bit(flags, builder::NoContents));
    line(false, "ContentsOnChange", Bit(flags, builder::ContentsOnChange));
  }

  line(true, "ChainedTask" + lang, r.chained_task);

  line(true, "CreateReport", Bit(flags, builder::CreateReport));
  line(false, "CreateNewReportFile", Bit(flags, builder::CreateNewReportFile));
  line(false, "ReportFileName" + lang, r.report_file_name);

  if ((flags & builder::NetAlert) != 0) {
    line(true, "NetAlert", "1");
    line(false, "SendTo", QuotedList(r.send_to));
  }

  line(true, "VirusFoundMsg" + lang, EscapeVirusFoundMsg(r.virus_found_msg));

  if ((components & builder::UseBehaviourBlocker) != 0) {
    line(true, "BlockDOSOperations", Bit(resident, builder::BlockDOSOperations));
    line(false, "BlockWinOperations", Bit(resident, builder::BlockWinOperations));
    line(false, "BlockFormat", Bit(resident, builder::BlockFormat));
  }
  if ((components & builder::UseResidentProg) != 0) {
    line(true, "CheckDocs", Bit(resident, builder::CheckDocs));
    line(false, "CheckWin16Progs", Bit(resident, builder::CheckWin16Progs));
    line(false, "CheckDOSProgs", Bit(resident, builder::CheckDOSProgs));
    line(false, "ResidentScan", FirstKeyword(kResidentScanKeywords, resident));
  }
  if (!r.resident_exclude_files.empty()) {
    line(true, "ResidentExcludeFiles", QuotedList(r.resident_exclude_files));
  }
  out.append("\r\n");
  return out;
}

// Every value of the section TaskSectionText writes for task `r` that the
// builder could not read back whole, in the order of the section's keys
// (the flags and keywords always come back).
std::vector<ValueProblem> TaskSectionProblems(const TaskFields& r, const TaskContext& context) {
  std::vector<ValueProblem> problems;
  const std::string& lang = context.language;
  AddProblem(&problems, "Name" + lang, ScalarValueProblem(r.name));
  AddProblem(&problems, "Name" + lang, FixedNameProblem(r.name));
  if (context.area == TaskArea::kPrivate) {
    AddProblem(&problems, "Domain", ScalarValueProblem(context.domain));
    AddProblem(&problems, "User", ScalarValueProblem(context.user));
  }
  AddProblem(&problems, "Types", LengthProblem(r.types));
  for (const ValueProblem& problem : r.type_problems) {
    AddProblem(&problems, problem.key, problem.why);
  }
  AddProblem(&problems, "Areas", LengthProblem(r.areas));
  for (const ValueProblem& problem : r.area_problems) {
    AddProblem(&problems, problem.key, problem.why);
  }
  AddProblem(&problems, "ChainedTask" + lang, ScalarValueProblem(r.chained_task));
  AddProblem(&problems, "ReportFileName" + lang, ScalarValueProblem(r.report_file_name));
  if ((r.task_flags & builder::NetAlert) != 0) AddListProblems("SendTo", r.send_to, &problems);
  const std::string& message = r.virus_found_msg;
  AddProblem(&problems, "VirusFoundMsg" + lang, ScalarValueProblem(EscapeVirusFoundMsg(message)));
  if (HasLoneLineEnd(message)) {
    AddProblem(&problems, "VirusFoundMsg" + lang, "a CR or LF that is not part of a CR LF pair");
  }
  if (!r.resident_exclude_files.empty()) {
    AddListProblems("ResidentExcludeFiles", r.resident_exclude_files, &problems);
  }
  return problems;
}

}  // namespace

void FormatTaskFields(const TaskFields& r, const TaskContext& context, std::string* out,
                      std::vector<ValueProblem>* problems) {
  out->append(TaskSectionText(r, context));
  for (ValueProblem& problem : TaskSectionProblems(r, context)) {
    problems->push_back(std::move(problem));
  }
}

namespace {

// A "*" name whose stream name is a decimal number: the builder may have
// given that name to a task of the same area written before it.
bool IsNumberedFixedName(const char* name) {
  if (name[0] != '*' || name[1] == '\0') return false;
  for (const char* p = name + 1; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

}  // namespace

int IniEmitter::EmitArea(const StoredArea& area) {
  // The builder names new tasks with numbers that it skips when a stream
  // of that name exists, but cannot write a "*" task whose number it gave
  // away already: tasks with numbered fixed names are written first.
  int result = 0;
  for (bool numbered : {true, false}) {
    for (const StoredTask& task : area.tasks) {
      if (IsNumberedFixedName(task.name.c_str()) == numbered) result |= EmitTask(area, task);
    }
  }
  return result;
}

int IniEmitter::EmitTask(const StoredArea& area, const StoredTask& task) {
  const std::string& name = task.name;
  TaskContext context;
  context.area = area.area;
  context.language = language_;
  if (area.area == TaskArea::kPrivate) {
    context.domain = area.domain;
    context.user = area.user;
  }
  context.number = task_counter_;
  std::string text;
  std::vector<ValueProblem> problems;
  const std::string place =
      builder::AreaPlace(static_cast<uint32_t>(area.area), context.domain, context.user);
  TaskFields fields;
  if (!FieldsOf(task, &scratch_, &fields)) {
    // Passed over, as the reader passes over a stream it cannot read.
    platform::Report("task stream " + place + "/" + task.stream + " of " + config_path_ +
                     " cannot be read again: no memory");
    if (keep_outcomes_) {
      outcomes_.push_back({AreaKey(static_cast<uint32_t>(area.area), context.domain, context.user),
                           name, task.stream, -1, {{"", "cannot be read again: no memory"}}});
    }
    return kAreaFailed;
  }
  FormatTaskFields(fields, context, &text, &problems);
  if (task.version != kOldVersion) {
    // The builder's reading of the section must give the stored record back.
    // A field already said to be lost is not said again.
    std::set<std::string> said;
    for (const ValueProblem& problem : problems) said.insert(problem.key);
    for (ValueProblem& problem :
         ReadBackProblems(text, context.number, language_, scratch_.new_record)) {
      if (said.count(problem.key) == 0) problems.push_back(std::move(problem));
    }
    if (name[0] == '*' && platform::FoldedWide(name.substr(1)) != platform::FoldedWide(task.stream)) {
      problems.push_back({"Name" + language_, "the task is in the stream " + task.stream +
                                                  ", and its fixed name puts it into " +
                                                  name.substr(1)});
    }
  }
  ++task_counter_;
  sink_->Write(text);

  AreaKey key(static_cast<uint32_t>(area.area), context.domain, context.user);
  ++tasks_per_area_[key];
  if (name[0] == '*') {
    // Folded as the engine matches element names.
    if (!fixed_names_.insert({key, platform::FoldedWide(name.substr(1))}).second) {
      problems.push_back(
          {"Name" + language_, "another task of this area has the same fixed stream name"});
    }
  }
  for (const ValueProblem& problem : problems) {
    platform::Report("task " + std::to_string(context.number) + " \"" + name +
                     "\" (" + place + "/" + task.stream + "): " + problem.key +
                     " cannot be carried whole: " + problem.why);
  }
  const int result = problems.empty() ? 0 : kAreaFailed;
  if (keep_outcomes_) {
    outcomes_.push_back({key, name, task.stream, context.number, std::move(problems)});
  }
  return result;
}

std::string MainProblemText(const ValueProblem& problem) {
  return "[MAIN]: " + problem.key + " cannot be carried whole: " + problem.why;
}

int IniEmitter::EmitMainSection(const std::string& stored_password) {
  std::string out;
  std::vector<ValueProblem> problems;
  SectionWriter w(&out, &problems);
  out.append("[MAIN]\r\n");
  w.Checked(false, "Output" + language_, config_path_);
  out.append("NumTasks = " + std::to_string(task_counter_) + "\r\n");
  int result = 0;
  stored_password_ = stored_password;
  if (!stored_password_.empty()) {
    const std::string hex = HexText(stored_password_);
    w.Line(false, "HexPassword", hex);
    if (stored_password_.size() > 129) {
      w.Check("HexPassword", "the stored password has " + std::to_string(stored_password_.size()) +
                                 " bytes; at most 129 fit the builder's 259-character value");
    }
  }
  sink_->Write(out);
  for (const ValueProblem& problem : problems) {
    platform::Report(MainProblemText(problem));
    result = kAreaFailed;
  }
  main_problems_ = std::move(problems);
  return result;
}

int FileSink::Open(const std::string& path, bool staged) {
  platform::FileSystem* fs = platform::FileSystem::Default();
  file_.reset();
  buffer_.clear();
  offset_ = 0;
  path_ = path;
  staged_ = staged ? StagedPath(path) : "";
  if (staged) {
    // Never through a link: a file left by an export that was killed is
    // replaced.
    error_ = fs->Open(staged_, platform::OpenMode::kCreateNew, &file_);
    if (error_ == EEXIST && fs->Delete(staged_) == 0) {
      error_ = fs->Open(staged_, platform::OpenMode::kCreateNew, &file_);
    }
  } else {
    error_ = fs->Open(path, platform::OpenMode::kCreateOrTruncate, &file_);
  }
  if (error_ != 0) file_.reset();
  return error_;
}

void FileSink::Discard() {
  file_.reset();
  if (!staged_.empty()) platform::FileSystem::Default()->Delete(staged_);
  staged_.clear();
}

void FileSink::Write(const std::string& text) {
  buffer_.append(text);
  if (buffer_.size() >= kFlushSize) Flush();
}

int FileSink::Flush() {
  if (buffer_.empty() || error_ != 0) return error_;
  if (!file_) {
    error_ = EBADF;
    return error_;
  }
  error_ = file_->WriteAt(offset_, buffer_.data(), buffer_.size());
  offset_ += buffer_.size();
  buffer_.clear();
  return error_;
}

int FileSink::Close() {
  platform::FileSystem* fs = platform::FileSystem::Default();
  Flush();
  if (!staged_.empty() && error_ == 0 && file_) {
    // The text replaces a file that others may read as before.
    std::unique_ptr<platform::File> old;
    platform::FileOwner owner;
    if (fs->Open(path_, platform::OpenMode::kReadOnly, &old) == 0 && old->GetOwner(&owner) == 0) {
      file_->SetOwner(owner);
    }
  }
  if (error_ == 0 && file_) error_ = file_->Sync();
  file_.reset();
  if (!staged_.empty()) {
    if (error_ == 0) error_ = fs->Replace(staged_, path_);
    if (error_ == 0) error_ = fs->SyncFolderOf(path_);
    if (error_ != 0) fs->Delete(staged_);
    staged_.clear();
  }
  return error_;
}

}  // namespace converter
