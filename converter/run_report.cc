// The report of a Rebolan run. See run_report.h.

#include "converter/run_report.h"

#include <map>
#include <tuple>
#include <utility>

#include "builder/config_layout.h"
#include "converter/compare.h"
#include "platform/hresult_names.h"
#include "platform/json.h"
#include "platform/text.h"

namespace converter {

namespace {

using AreaKey = IniEmitter::AreaKey;

AreaKey KeyOf(const StoredArea& area) {
  const bool user_area = area.area == TaskArea::kPrivate;
  return AreaKey(static_cast<uint32_t>(area.area), user_area ? area.domain : "",
                 user_area ? area.user : "");
}

std::string Words(const AreaKey& key) {
  return builder::AreaWords(std::get<0>(key), std::get<1>(key), std::get<2>(key));
}

// Text from the configuration (names, in the ANSI code page) as JSON.
std::string AnsiJson(const std::string& text) {
  std::string out;
  platform::AppendJsonName(platform::AnsiToWide(text), &out);
  return out;
}

// A message, which may hold paths (UTF-8 on POSIX) and names (ANSI text):
// kept when it is UTF-8, else read as ANSI text.
std::string MessageJson(const std::string& text) {
  bool utf8 = true;
  for (size_t i = 0; i < text.size() && utf8;) {
    uint32_t code = 0;
    const size_t length = platform::DecodeUtf8(text, i, &code);
    utf8 = length != 0;
    i += length;
  }
  return utf8 ? platform::JsonString(text) : AnsiJson(text);
}

std::string PathJson(const std::string& path) {
  return platform::JsonString(platform::PathToUtf8(path));
}

std::string Bool(bool value) { return value ? "true" : "false"; }

std::string Tasks(uint32_t count) {
  return std::to_string(count) + (count == 1 ? " task" : " tasks");
}

// "area": ..., "domain": ..., "user": ... of one area.
std::string AreaFields(const AreaKey& key) {
  const uint32_t bits = std::get<0>(key);
  const char* const no_user = "\"domain\": null, \"user\": null";
  if (bits & builder::IsReadOnly) return std::string("\"area\": \"read-only\", ") + no_user;
  if (bits & builder::IsShared) return std::string("\"area\": \"common\", ") + no_user;
  return "\"area\": \"user\", \"domain\": " + AnsiJson(std::get<1>(key)) +
         ", \"user\": " + AnsiJson(std::get<2>(key));
}

// The outcome of a recovery as the schema names it.
std::string RecoveryJson(Recovery::Outcome outcome) {
  switch (outcome) {
    case Recovery::Outcome::kNone:
      break;
    case Recovery::Outcome::kFinished:
      return "\"finished\"";
    case Recovery::Outcome::kUndone:
      return "\"undone\"";
    case Recovery::Outcome::kLeft:
      return "\"left\"";
  }
  return "null";
}

std::string PasswordJson(const PasswordReport& password) {
  return "{\"stored\": " + Bool(password.stored) + ", \"carried\": " + Bool(password.carried) + "}";
}

// Joins JSON values as the lines of an array indented by `indent`.
std::string Array(const std::vector<std::string>& values, const std::string& indent) {
  if (values.empty()) return "[]";
  std::string out = "[\n";
  for (size_t i = 0; i < values.size(); ++i) {
    out += indent + "  " + values[i] + (i + 1 < values.size() ? ",\n" : "\n");
  }
  return out + indent + "]";
}

AreaCount* CountOf(std::vector<AreaCount>* areas, const AreaKey& key) {
  for (AreaCount& count : *areas) {
    if (count.area == key) return &count;
  }
  areas->push_back(AreaCount{key, 0, 0});
  return &areas->back();
}

}  // namespace

void AddReadAndWritten(const StoredConfiguration& read, IniEmitter* emitter,
                       RunReport* report) {
  for (const std::string& text : read.unread) report->not_carried.push_back(text);
  for (const StoredArea& area : read.areas) {
    CountOf(&report->areas, KeyOf(area))->read += static_cast<uint32_t>(area.tasks.size());
    for (const std::string& text : area.unread) report->not_carried.push_back(text);
  }
  for (IniEmitter::TaskOutcome& outcome : emitter->TakeOutcomes()) {
    ReportedTask task;
    task.area = std::move(outcome.area);
    task.name = std::move(outcome.name);
    task.source_stream = std::move(outcome.stream);
    task.section = outcome.number;
    task.carried = outcome.number >= 0 && outcome.problems.empty();
    task.problems = std::move(outcome.problems);
    if (task.carried) ++CountOf(&report->areas, task.area)->carried;
    report->tasks.push_back(std::move(task));
  }
  for (const ValueProblem& problem : emitter->main_problems()) {
    report->not_carried.push_back(MainProblemText(problem));
  }
}

void AddConverted(const StoredConfiguration& read, const StoredConfiguration& converted,
                  RunReport* report) {
  for (AreaCount& count : report->areas) count.carried = 0;
  for (const StoredArea& area : converted.areas) {
    CountOf(&report->areas, KeyOf(area))->carried += static_cast<uint32_t>(area.tasks.size());
  }
  // The new file's stream of each task read, by area and old stream.
  TaskScratch scratch;
  bool whole = true;
  std::map<std::pair<AreaKey, std::string>, std::string> target;
  for (const TaskMatch& match : MatchTasks(read, converted, &scratch, &whole)) {
    if (match.second != nullptr) {
      target[{KeyOf(*match.area), match.first->stream}] = match.second->stream;
    }
  }
  for (ReportedTask& task : report->tasks) {
    auto found = task.section >= 0 ? target.find({task.area, task.source_stream}) : target.end();
    task.carried = found != target.end();
    task.target_stream = task.carried ? found->second : "";
  }
}

void WriteReportJson(const RunReport& report, TextSink* sink) {
  // Element i of an array, one line each; the text is written as it is
  // made, so that a report of many tasks is never held whole.
  auto write_array = [sink](size_t count, const auto& element) {
    if (count == 0) {
      sink->Write("[]");
      return;
    }
    sink->Write("[\n");
    for (size_t i = 0; i < count; ++i) {
      sink->Write("    " + element(i) + (i + 1 < count ? ",\n" : "\n"));
    }
    sink->Write("  ]");
  };
  const std::string version =
      !report.version_read || report.version.kind == VersionKind::kNone
          ? "null"
          : std::to_string(report.version.number);
  std::string out = "{\n";
  out += "  \"report_version\": " + std::to_string(kReportVersion) + ",\n";
  out += "  \"program\": \"Rebolan\",\n";
  out += std::string("  \"run\": \"") + (report.conversion ? "conversion" : "export") + "\",\n";
  out += "  \"configuration\": {\"path\": " + PathJson(report.config_path) +
         ", \"read\": " + Bool(report.version_read) + ", \"version\": " + version + "},\n";
  out += "  \"ini_file\": " +
         (report.ini_path.empty() ? std::string("null") : PathJson(report.ini_path)) + ",\n";
  out += "  \"language\": " + platform::JsonString(report.language) + ",\n";
  out += "  \"recovery\": " + RecoveryJson(report.recovery) +
         ",\n";
  out += "  \"replaced\": " + Bool(report.replaced) + ",\n";
  out += "  \"result\": " + std::to_string(report.exit_status) + ",\n";
  // A storage code (a failure HRESULT) in words; small codes are the
  // program's own, listed in its manual.
  const bool storage_code = report.exit_status < -1;
  out += "  \"result_text\": " +
         (storage_code ? platform::JsonString(platform::DescribeHResult(report.exit_status))
                       : std::string("null")) +
         ",\n";
  out += "  \"tasks\": ";
  sink->Write(out);
  write_array(report.tasks.size(), [&](size_t i) {
    const ReportedTask& task = report.tasks[i];
    std::vector<std::string> problems;
    for (const ValueProblem& problem : task.problems) {
      problems.push_back("{\"key\": " + AnsiJson(problem.key) + ", \"why\": " +
                         MessageJson(problem.why) + "}");
    }
    return "{" + AreaFields(task.area) + ", \"name\": " + AnsiJson(task.name) +
           ", \"source_stream\": " + AnsiJson(task.source_stream) + ", \"target_stream\": " +
           (task.target_stream.empty() ? std::string("null") : AnsiJson(task.target_stream)) +
           ", \"section\": " +
           (task.section < 0 ? std::string("null")
                             : "\"Task" + std::to_string(task.section) + "\"") +
           ", \"carried\": " + Bool(task.carried) + ", \"problems\": " + Array(problems, "    ") +
           "}";
  });
  sink->Write(",\n  \"areas\": ");
  write_array(report.areas.size(), [&](size_t i) {
    const AreaCount& area = report.areas[i];
    return "{" + AreaFields(area.area) + ", \"tasks_read\": " + std::to_string(area.read) +
           ", \"tasks_carried\": " + std::to_string(area.carried) + "}";
  });
  sink->Write(",\n  \"not_carried\": ");
  write_array(report.not_carried.size(),
              [&](size_t i) { return MessageJson(report.not_carried[i]); });
  sink->Write(",\n  \"passwords\": {\"main\": " + PasswordJson(report.main_password) +
              ", \"second\": " + PasswordJson(report.second_password) + "},\n  \"kept_files\": ");
  write_array(report.kept.size(), [&](size_t i) {
    return "{\"path\": " + PathJson(report.kept[i].path) + ", \"what\": " +
           platform::JsonString(report.kept[i].what) + "}";
  });
  sink->Write("\n}\n");
}

std::vector<std::string> SummaryLines(const RunReport& report) {
  std::vector<std::string> lines;
  const std::string where = report.conversion ? " in the new file" : " written to the INI text";
  uint32_t read = 0, carried = 0;
  for (const AreaCount& area : report.areas) {
    lines.push_back(Words(area.area) + ": " + Tasks(area.read) + " read, " +
                    std::to_string(area.carried) + where);
    read += area.read;
    carried += area.carried;
  }
  lines.push_back("all areas: " + Tasks(read) + " read, " + std::to_string(carried) + where);
  auto password = [&](const char* which, const PasswordReport& p) {
    lines.push_back(std::string(which) + (p.stored ? (p.carried ? ": carried" : ": not carried")
                                                   : ": none stored"));
  };
  password("the main password", report.main_password);
  password("the second password", report.second_password);
  return lines;
}

}  // namespace converter
