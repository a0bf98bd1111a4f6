// Rebolan's control flow: start-up, the recovery of an interrupted
// conversion, command line, password check, INI text emission and the
// hand-off to the builder (hand_off.h).
#pragma once

#include <cstdint>
#include <string>

namespace converter {

// What the command line (and the registry) asked of a run.
struct RunSettings {
  std::string config_path;
  std::string ini_path;
  std::string language = "ENG";
  std::string access_password;
  bool hand_off = true;  // a conversion; cleared by /I (an export)
  bool any_version = false;  // /A: an export of a version-616 file writes its tasks too
  std::string compare_path;  // /C: the configuration to compare config_path with
  std::string report_path;   // /R: where the run's JSON report goes; "" for none
  bool verbose = false;      // /V: the tasks per area on stderr at the end
};

// Exit codes of a comparison (/C), as diff and cmp give them.
constexpr int32_t kCompareEqual = 0;
constexpr int32_t kCompareDifferent = 1;
constexpr int32_t kCompareTrouble = 2;

// Exit codes of a run besides 0, 2, passed-through storage codes and those
// of the hand-off.
constexpr int32_t kExitBadPassword = -1;
constexpr int32_t kExitBadCommandLine = 6;
constexpr int32_t kExitCannotWriteIni = 8;
// The run did all it was asked, but its report (/R) could not be written.
constexpr int32_t kExitCannotWriteReport = 11;

// Limits of the values a run keeps (characters, without the NUL).
constexpr size_t kMaxPathLength = 259;
constexpr size_t kMaxLanguageLength = 15;
// The builder keeps at most 11 characters of a language code.
constexpr size_t kMaxBuilderLanguageLength = 11;
constexpr size_t kMaxPasswordLength = 259;

// The registry key and value that locate the installed configuration file.
extern const char kRegistryKey[];
extern const char kRegistryValue[];

// The /P value that has the password read from standard input instead.
constexpr char kPasswordFromInput[] = "-";

// Parses the argument text into *settings: a bare word is the
// configuration path; /I, /L, /P set the INI path, language and access
// password (/I also clears HandOff); /A has an export write the tasks of a
// version-616 file as well; /C<path> names a configuration to compare
// with; /R<path> names the file of the run's report, /V asks for the
// summary; /S and /N are skipped. "/P-" reads the
// password from standard input, one line (platform::ReadStandardInputLine),
// once every other word has been accepted. Returns 0, or 6 with a message
// for an unknown switch letter, a "/" at the end, a value longer than its
// buffer, a second bare word (two configuration paths), "/P-" beside
// another /P, or standard input that gives no password (empty, too long,
// more than one line, a NUL byte, unreadable), /A with a value or without
// /I, /C without a path or beside /I, /R without a path, /V with a value,
// /R or /V beside /C. A bare word that looks like
// a switch (/I/srv/x/out.ini, a path on POSIX) gets a note saying so.
int32_t ParseCommandLine(const std::string& tail, RunSettings* settings);

// The whole run. `default_config_path` is used when the registry names no
// file. Returns the exit code.
int32_t RunRebolan(const std::string& command_tail, const std::string& default_config_path);

}  // namespace converter
