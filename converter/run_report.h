// The report of a Rebolan run (/R): what it read, what it wrote or carried
// into the new file, what it could not carry and why, the passwords, the
// files it kept and its exit status, as JSON for tooling that collects the
// reports of many machines; and the summary per area that /V writes.
//
// The JSON is described by docs/rebolan-report.schema.json; a change of its
// shape that a reader of an older one would misread raises kReportVersion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "converter/hand_off.h"
#include "converter/ini_emission.h"
#include "converter/old_config_reader.h"

namespace converter {

constexpr int kReportVersion = 1;

// One task of the configuration read.
struct ReportedTask {
  IniEmitter::AreaKey area;
  std::string name;
  std::string source_stream;
  std::string target_stream;  // its stream in the new file; "" when none
  int32_t section = -1;       // the N of its "[TaskN]"; -1 when not written
  bool carried = false;       // written whole (export) or in the new file
  std::vector<ValueProblem> problems;
};

// Tasks of one area: read from the configuration, and written into the
// INI text (export) or found in the new file (conversion).
struct AreaCount {
  IniEmitter::AreaKey area;
  uint32_t read = 0;
  uint32_t carried = 0;
};

struct KeptFile {
  std::string path;
  std::string what;  // "the INI text", ...
};

struct PasswordReport {
  bool stored = false;   // the configuration read holds it
  bool carried = false;  // in the INI text (export) or the new file
};

struct RunReport {
  bool conversion = false;  // else an export
  std::string config_path;
  bool version_read = false;  // false: the file could not be opened or read
  FileVersion version;
  std::string ini_path;  // an export's INI file
  std::string language;
  // What the run found of an earlier conversion of the path that was
  // interrupted.
  Recovery::Outcome recovery = Recovery::Outcome::kNone;
  bool replaced = false;  // the configuration is now the converted file
  std::vector<ReportedTask> tasks;
  std::vector<AreaCount> areas;
  // What the run could not read or carry (besides the tasks' problems),
  // one text each.
  std::vector<std::string> not_carried;
  PasswordReport main_password;
  PasswordReport second_password;
  std::vector<KeptFile> kept;
  int32_t exit_status = 0;  // the run's 32-bit result: the exit code on Windows
};

// Fills the tasks, their areas' counts of tasks read and the texts of what
// could not be read, from what the reader found and the emitter did (its
// outcomes are taken over).
// A task is carried (so far) when its section was written whole.
void AddReadAndWritten(const StoredConfiguration& read, IniEmitter* emitter,
                       RunReport* report);

// After a conversion: each task's stream in the new file (`converted`),
// paired with the task `read` as a comparison pairs them (MatchTasks), and
// the areas' counts of tasks there. A task without a match is not carried.
void AddConverted(const StoredConfiguration& read, const StoredConfiguration& converted,
                  RunReport* report);

// Writes the report as JSON text (UTF-8, ending in a line end) to `sink`,
// piece by piece.
void WriteReportJson(const RunReport& report, TextSink* sink);

// The summary of /V: one line per area ("common area: 3 tasks read, 3 in
// the new file"), then the passwords.
std::vector<std::string> SummaryLines(const RunReport& report);

}  // namespace converter
