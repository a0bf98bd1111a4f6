// INI text emission: every task of a version-615 file as a "[Task%d]"
// section in the builder's schema, then the "[MAIN]" section.
//
// Lines end in CR LF, written as such. Each value is also checked against
// what the builder's INI reader gives back; a value that would not come back
// whole is written in full, reported with its task and key, and makes the
// run's result 2.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "converter/old_config_reader.h"
#include "platform/file.h"

namespace converter {

// Where the INI text goes.
class TextSink {
 public:
  virtual ~TextSink() = default;
  virtual void Write(const std::string& text) = 0;
};

class StringSink : public TextSink {
 public:
  void Write(const std::string& piece) override { text += piece; }
  std::string text;
};

// The INI file, written in binary through platform::FileSystem::Default().
class FileSink : public TextSink {
 public:
  // A staged text that was neither closed nor discarded (a run that ends
  // early, by an exception) is deleted: it never takes the place of `path`.
  ~FileSink() override { Discard(); }
  // Creates or empties the file. With `staged`, the text goes to a new file
  // beside it ("<path>-new") that Close puts in place of `path` in one step,
  // so that a run which ends early leaves a file at `path` as it was.
  // Returns 0 or an errno value.
  int Open(const std::string& path, bool staged = false);
  // The new file a staged text for `path` is written into.
  static std::string StagedPath(const std::string& path) { return path + "-new"; }
  void Write(const std::string& text) override;
  // Writes what is buffered, syncs and closes; a staged text is put in
  // place (with the owner and mode of the file it replaces). Returns 0 or
  // the first errno value met since Open (a failed write is never lost).
  int Close();
  // Closes a staged text without putting it in place: it is deleted.
  void Discard();

 private:
  int Flush();
  std::string path_;    // where the text belongs
  std::string staged_;  // where it is written meanwhile; "" when not staged
  std::unique_ptr<platform::File> file_;
  std::string buffer_;
  uint64_t offset_ = 0;
  int error_ = 0;
};

// What one task section is formatted from besides its record.
struct TaskContext {
  TaskArea area = TaskArea::kShared;
  std::string language;
  std::string domain;  // Private area only
  std::string user;
  int32_t number = 0;  // the N of "[TaskN]"
};

// A value that the builder would not read back as written.
struct ValueProblem {
  std::string key;
  std::string why;
};

// A task as its section writes it: the header words, the texts (the
// chained task "" for the builder's default), the whole "Types" and "Areas"
// values, the plain items of the two other lists, and what was found wrong
// with the Types and Areas items while their values were made.
struct TaskFields {
  uint32_t component_flags = 0;
  uint32_t task_flags = 0;
  uint32_t resident_flags = 0;
  int32_t priority = 0;
  std::string name;
  std::string report_file_name;
  std::string virus_found_msg;
  std::string chained_task;
  std::string types;
  std::string areas;
  std::vector<ValueProblem> type_problems;
  std::vector<ValueProblem> area_problems;
  std::vector<std::string> send_to;
  std::vector<std::string> resident_exclude_files;
};

// The fields of a version-615 record.
TaskFields FieldsOf(const OldTaskRecord& record);

// The fields of a version-616 record, read from its stream: the items as
// the INI text gave them to the builder; an Areas entry that cannot be
// written so that the builder makes it again is left out, with a problem.
TaskFields FieldsOf(const builder::TaskRecord& record);

// Records to parse stored tasks into, one of each version, reused (a
// version-615 record of fixed texts is large).
struct TaskScratch {
  std::unique_ptr<OldTaskRecord> old_record = std::make_unique<OldTaskRecord>();
  builder::TaskRecord new_record;
};

// The fields of a stored task of either version into *fields, its record
// parsed into `scratch` (where it stays until the next call). False when
// the parse failed, which for bytes the reader stored means that memory
// ran out.
bool FieldsOf(const StoredTask& task, TaskScratch* scratch, TaskFields* fields);

// What the builder's reading of `section` (the section of task `number`
// in `language`) gives back that is not `record`: one problem per field.
std::vector<ValueProblem> ReadBackProblems(const std::string& section, int32_t number,
                                           const std::string& language,
                                           const builder::TaskRecord& record);

// Formats one whole task section (header to the closing empty line) and
// appends it to *out; appends to *problems every value that the builder
// could not read back whole.
void FormatTaskFields(const TaskFields& fields, const TaskContext& context, std::string* out,
                      std::vector<ValueProblem>* problems);

// FormatTaskFields(FieldsOf(record), ...).
void FormatTaskSection(const OldTaskRecord& record, const TaskContext& context, std::string* out,
                       std::vector<ValueProblem>* problems);

// The "VirusFoundMsg" value: CR LF written as backslash n, a backslash
// doubled so that the builder's escape rule gives it back.
std::string EscapeVirusFoundMsg(const std::string& message);

// The "Types" and "Areas" values (keywords, then items with markers).
std::string FormatTypes(const OldTaskRecord& record);
std::string FormatAreas(const OldTaskRecord& record);

// Upper-case hexadecimal, high digit first.
std::string HexText(const std::string& bytes);

// Why the builder's INI reader would not give `value` back unchanged as a
// plain value, or "" when it would.
std::string ScalarValueProblem(const std::string& value);

// The line that says what "[MAIN]" cannot carry: "[MAIN]: KEY cannot be
// carried whole: WHY".
std::string MainProblemText(const ValueProblem& problem);

// Writes the sections of a run and keeps what the hand-off checks.
class IniEmitter {
 public:
  // The text is for `language`; "[MAIN]" names `config_path` as the output.
  // REQUIRES: sink outlives the emitter.
  IniEmitter(std::string language, std::string config_path, TextSink* sink)
      : language_(std::move(language)), config_path_(std::move(config_path)), sink_(sink) {}

  // Writes every task of the area in enumeration order, except that "*"
  // tasks whose stream name is a number come first. Returns 0, or 2 when a
  // value cannot be carried.
  int EmitArea(const StoredArea& area);
  // Writes "[MAIN]" with the output path, the task count and
  // `stored_password` (the bytes ReadStoredPassword found; may be empty).
  // Returns 0, or 2 when the password cannot be carried.
  int EmitMainSection(const std::string& stored_password);

  int32_t task_counter() const { return task_counter_; }
  // Tasks written per area: (area bits, domain, user) -> count.
  using AreaKey = std::tuple<uint32_t, std::string, std::string>;
  const std::map<AreaKey, uint32_t>& tasks_per_area() const { return tasks_per_area_; }
  // The stored main password as written under "HexPassword" (may be empty).
  const std::string& stored_password() const { return stored_password_; }

  // Has the emitter keep what became of each task (outcomes()), for a run
  // that reports it; off by default, as it costs memory per task.
  void KeepOutcomes() { keep_outcomes_ = true; }
  // What became of one task that EmitArea was given, in the order written.
  struct TaskOutcome {
    AreaKey area;
    std::string name;
    std::string stream;   // its stream in the configuration read
    int32_t number = -1;  // the N of its "[TaskN]"; -1 when it was not written
    std::vector<ValueProblem> problems;  // what it cannot carry whole
  };
  // What KeepOutcomes kept (empty without it), handed over: the emitter
  // keeps none afterwards.
  std::vector<TaskOutcome> TakeOutcomes() { return std::move(outcomes_); }
  // What "[MAIN]" cannot carry whole.
  const std::vector<ValueProblem>& main_problems() const { return main_problems_; }

 private:
  // Writes one task of `area`; 0 or 2.
  int EmitTask(const StoredArea& area, const StoredTask& task);

  const std::string language_;
  const std::string config_path_;
  TextSink* sink_;
  TaskScratch scratch_;
  int32_t task_counter_ = 0;
  std::map<AreaKey, uint32_t> tasks_per_area_;
  // Fixed stream names per area, folded with platform::FoldedWide, to catch
  // two "*" tasks that the builder would put into one stream.
  std::set<std::pair<AreaKey, std::u16string>> fixed_names_;
  std::string stored_password_;
  bool keep_outcomes_ = false;
  std::vector<TaskOutcome> outcomes_;
  std::vector<ValueProblem> main_problems_;
};

}  // namespace converter
