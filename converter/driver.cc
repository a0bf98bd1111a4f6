// Rebolan's start-up, command line and hand-off. See driver.h.

#include "converter/driver.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "builder/config_layout.h"
#include "builder/password_store.h"
#include "converter/compare.h"
#include "converter/hand_off.h"
#include "converter/ini_emission.h"
#include "converter/old_config_reader.h"
#include "converter/run_report.h"
#include "platform/conversion_record.h"
#include "platform/file.h"
#include "platform/hresult_names.h"
#include "platform/little_endian.h"
#include "platform/storage.h"
#include "platform/stream_io.h"
#include "platform/system.h"
#include "platform/text.h"

namespace converter {

const char kRegistryKey[] = "Software\\ORMEK Software\\Torvi32";
const char kRegistryValue[] = "CFG";

namespace {

using platform::kStorageMode;

bool IsWhite(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

size_t ArgumentEnd(const std::string& text, size_t from) {
  size_t end = text.find(' ', from);
  return end == std::string::npos ? text.size() : end;
}

bool WithinLimit(const char* what, const std::string& value, size_t limit) {
  if (value.size() <= limit) return true;
  platform::Report(std::string(what) + " is " + std::to_string(value.size()) +
                   " characters long; at most " + std::to_string(limit) + " are accepted");
  return false;
}

// The word of a switch from `start` to the next blank into *value, *next
// just past it; false, with a message, when it is longer than `limit`.
bool TakeWord(const std::string& tail, size_t start, const char* what, size_t limit,
              std::string* value, size_t* next) {
  *next = ArgumentEnd(tail, start);
  *value = tail.substr(start, *next - start);
  return WithinLimit(what, *value, limit);
}

std::string ErrnoText(int error) { return std::strerror(error); }

// The path of a switch from `start`: between double quotes (it may then
// hold blanks), else to the next blank. Returns where the next word starts.
size_t TakePath(const std::string& tail, size_t start, std::string* path) {
  const size_t n = tail.size();
  size_t end;
  size_t next;
  if (start < n && tail[start] == '"') {
    ++start;
    end = tail.find('"', start);
    if (end == std::string::npos) end = n;
    next = end < n ? end + 1 : n;
  } else {
    end = ArgumentEnd(tail, start);
    next = end;
  }
  *path = tail.substr(start, end - start);
  return next;
}

// Whether a text file (`what`: "the INI file", "the report file") may be
// written at `path`: an existing compound file (such as the configuration
// itself, named by mistake) never is replaced.
bool IsSafeTextTarget(const std::string& path, const std::string& what) {
  static const uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::unique_ptr<platform::File> file;
  int error = platform::FileSystem::Default()->Open(path, platform::OpenMode::kReadOnly, &file);
  if (error == ENOENT) return true;
  uint8_t head[8] = {0};
  size_t read = 0;
  if (error == 0) error = file->ReadAt(0, head, sizeof head, &read);
  if (error != 0) {
    platform::Report("cannot check " + what + " " + path + " before writing it: " +
                     ErrnoText(error));
    return false;
  }
  if (read == sizeof head && std::memcmp(head, kSignature, sizeof head) == 0) {
    platform::Report(what + " " + path +
                     " is a compound file (a configuration?); it is not overwritten");
    return false;
  }
  return true;
}

// What /P- read from standard input, as a refusal; "" for a password.
std::string PasswordInputProblem(platform::InputLine outcome) {
  const std::string input = "standard input (/P-)";
  switch (outcome) {
    case platform::InputLine::kRead:
      return "";
    case platform::InputLine::kEmpty:
      return "the password read from " + input + " is empty";
    case platform::InputLine::kTooLong:
      return "the password read from " + input + " is longer than " +
             std::to_string(kMaxPasswordLength) + " characters";
    case platform::InputLine::kMoreThanOneLine:
      return input + " holds more than one line; give the password alone on one line";
    case platform::InputLine::kHoldsNul:
      return "the password read from " + input + " holds a NUL byte";
    case platform::InputLine::kUnreadable:
      break;
  }
  return input + " cannot be read";
}

// The access check of a run that shows a configuration: 0 when no password
// is stored or `typed` is it; else kExitBadPassword with a message, which
// begins with `path` when one is given.
int32_t CheckAccessPassword(std::string typed, const std::string& stored,
                            const std::string& path = "") {
  if (stored.empty()) return 0;
  const std::string where = path.empty() ? "" : path + ": ";
  if (typed.empty() || typed.size() != stored.size()) {
    platform::Report(where + (typed.empty() ? "a password is stored: give it with /P"
                                            : "the password given with /P is wrong"));
    return kExitBadPassword;
  }
  builder::ScramblePassword(reinterpret_cast<uint8_t*>(&typed[0]),
                            static_cast<uint32_t>(typed.size()));
  if (typed != stored) {
    platform::Report(where + "the password given with /P is wrong");
    return kExitBadPassword;
  }
  return 0;
}

// Reads the configuration at `path`, of version 615 or 616, for a
// comparison; `typed` must open it when it stores a password. Returns 0,
// or kCompareTrouble with a message.
int32_t ReadForComparison(const std::string& path, const std::string& typed,
                          ComparedConfiguration* out) {
  std::unique_ptr<platform::Storage> root;
  if (FAILED(OpenConfiguration(path, /*export_run=*/true, &root))) return kCompareTrouble;
  if (ReadStoredPassword(root.get(), path, &out->stored_password) != 0 ||
      CheckAccessPassword(typed, out->stored_password, path) != 0) {
    return kCompareTrouble;
  }
  FileVersion version;
  if (FAILED(ReadVersion(root.get(), path, &version))) return kCompareTrouble;
  uint32_t layout = 0;
  if (version.kind == VersionKind::kOld) layout = kOldVersion;
  if (version.kind == VersionKind::kOther && version.number == builder::kFormatVersion) {
    layout = builder::kFormatVersion;
  }
  if (layout == 0) {
    platform::Report(path + " is not a configuration of version 615 or 616 (" +
                     (version.kind == VersionKind::kNone
                          ? std::string("no version")
                          : "version " + std::to_string(version.number)) +
                     ")");
    return kCompareTrouble;
  }
  if (ReadTaskAreas(root.get(), path, layout, &out->config) != 0 ||
      ReadSecondPassword(root.get(), path, &out->second_password) != 0) {
    platform::Report(path + " could not be read whole; it is not compared");
    return kCompareTrouble;
  }
  return 0;
}

// A comparison run (/C): the differences on standard output, one a line,
// then the summary. kCompareEqual, kCompareDifferent or kCompareTrouble.
int32_t RunComparison(const RunSettings& settings) {
  ComparedConfiguration first, second;
  if (ReadForComparison(settings.config_path, settings.access_password, &first) != 0 ||
      ReadForComparison(platform::FinalPath(settings.compare_path), settings.access_password,
                        &second) != 0) {
    return kCompareTrouble;
  }
  const Comparison comparison = CompareConfigurations(first, second);
  if (!comparison.whole) {
    platform::Report("out of memory: the comparison could not read every task again");
    return kCompareTrouble;
  }
  std::string text;
  for (const std::string& line : comparison.lines) {
    text += platform::EscapeControlCharacters(line) + "\n";
  }
  if (!platform::WriteStandardOutput(text)) {
    platform::Report("the comparison could not be written to standard output");
    return kCompareTrouble;
  }
  return comparison.differences == 0 ? kCompareEqual : kCompareDifferent;
}

// The storages that hold no task, for messages: "the domain storage EMPTY
// and the user storages ALPHA/carl, BETA/dan hold no task and have no place
// in the INI text"; "" for none.
std::string EmptyStoragesText(const EmptyStorages& empty) {
  auto listed = [](const char* one, const char* many, const std::vector<std::string>& names) {
    std::string text = names.size() == 1 ? one : many;
    for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? " " : ", ") + names[i];
    return text;
  };
  std::string text;
  if (!empty.domains.empty()) {
    text = listed("the domain storage", "the domain storages", empty.domains);
  }
  if (!empty.users.empty()) {
    text += (text.empty() ? "" : " and ") +
            listed("the user storage", "the user storages", empty.users);
  }
  if (text.empty()) return text;
  return text + (empty.domains.size() + empty.users.size() == 1
                     ? " holds no task and has no place in the INI text"
                     : " hold no task and have no place in the INI text");
}

// What the reading of a configuration that opened found.
struct Configuration {
  HRESULT unread = S_OK;  // a storage code that ends the run (the version could not be read)
  int result = 0;         // 0, or kAreaFailed: something could not be read
  FileVersion version;
  StoredConfiguration config;  // a version-615 file's areas
  std::string second_password;
};

// Reads the version and, of a version-615 file (with `any_version` of a
// version-616 file too), every area; then the second password.
Configuration ReadConfiguration(platform::Storage* root, const std::string& path,
                                bool any_version) {
  Configuration read;
  read.unread = ReadVersion(root, path, &read.version);
  if (FAILED(read.unread)) return read;
  if (read.version.kind == VersionKind::kOld) {
    read.result = ReadTaskAreas(root, path, kOldVersion, &read.config);
  } else if (any_version && read.version.number == builder::kFormatVersion) {
    read.result = ReadTaskAreas(root, path, builder::kFormatVersion, &read.config);
  }
  read.result |= ReadSecondPassword(root, path, &read.second_password);
  return read;
}

// An export's notes on what it found that the INI text cannot carry: of a
// version-615 file (which a conversion carries whole), or of a version-616
// file (`exported_616`, which Quarlen rebuilds from the text). One line each.
std::vector<std::string> NotInIniText(const std::string& second_password,
                                      const EmptyStorages& storages, bool exported_616) {
  std::vector<std::string> notes;
  if (!second_password.empty()) {
    notes.push_back("the second password (" + builder::SecondPasswordPlace() +
                    ") has no place in the INI text; " +
                    (exported_616 ? "a file Quarlen builds from it has none: copy the stream "
                                    "with cfbtool cat and cfbtool put"
                                  : "a conversion run copies it into the new file as it is"));
  }
  const std::string empty = EmptyStoragesText(storages);
  if (!empty.empty()) {
    notes.push_back(empty + "; " +
                    (exported_616 ? "a file Quarlen builds from it has none of them"
                                  : "a conversion run makes them in the new file"));
  }
  return notes;
}

// The identity of the file at `path`; false when none can be opened there.
bool IdentityAt(const std::string& path, platform::FileIdentity* identity) {
  std::unique_ptr<platform::File> file;
  return platform::FileSystem::Default()->Open(path, platform::OpenMode::kReadOnly, &file) == 0 &&
         file->Identify(identity) == 0;
}

// Whether the report of the run can be written at settings->report_path,
// which becomes the file it names. Returns 0; kExitBadCommandLine when it,
// or its "-new" file, is by any path the configuration, its conversion
// record or the INI file; or kExitCannotWriteReport when it names a
// compound file or its file cannot be created (tried at once, so that a run
// is refused before it changes anything). A refusal comes with a message.
int32_t CheckReportTarget(RunSettings* settings) {
  std::string& path = settings->report_path;
  path = platform::FinalPath(path);
  // The files of the run itself, which neither the report nor the "-new"
  // file it is first written into may take the place of. They are told by
  // identity, so that no other spelling of a path ("./x", a folder reached
  // by "..") hides one.
  struct Own {
    std::string path;
    const char* what;
  };
  std::vector<Own> own = {
      {settings->config_path, "the configuration"},
      {platform::ConversionRecordPath(settings->config_path),
       "the conversion record of the configuration"}};
  if (!settings->hand_off) {
    own.push_back({platform::FinalPath(settings->ini_path), "the INI text (/I)"});
  }
  const std::string staged = FileSink::StagedPath(path);
  platform::FileIdentity found;
  const bool staged_exists = IdentityAt(staged, &found);
  for (const Own& file : own) {
    platform::FileIdentity identity;
    if (staged_exists && IdentityAt(file.path, &identity) && identity == found) {
      platform::Report("the report (/R) is first written into " + staged + ", which is " +
                       file.what);
      return kExitBadCommandLine;
    }
  }
  if (!IsSafeTextTarget(path, "the report file") || !IsSafeTextTarget(staged, "the file")) {
    return kExitCannotWriteReport;
  }
  FileSink probe;
  const int error = probe.Open(path, /*staged=*/true);
  if (error != 0) {
    probe.Discard();
    platform::Report("cannot create the report file " + path + ": " + ErrnoText(error));
    return kExitCannotWriteReport;
  }
  // The probe is the "-new" file of the report: one of the run's files
  // whose own "-new" file it is names the same file as the report; one
  // that it is names the report's "-new" file.
  const bool probed = IdentityAt(staged, &found);
  for (const Own& file : own) {
    platform::FileIdentity identity;
    if (probed && IdentityAt(FileSink::StagedPath(file.path), &identity) && identity == found) {
      probe.Discard();
      platform::Report("the report (/R) and " + std::string(file.what) +
                       " would be the same file " + path);
      return kExitBadCommandLine;
    }
    if (probed && IdentityAt(file.path, &identity) && identity == found) {
      probe.Discard();
      platform::Report("the report (/R) is first written into " + staged + ", which is " +
                       file.what);
      return kExitBadCommandLine;
    }
  }
  probe.Discard();
  return 0;
}

// The report of a run that carried nothing it read (yet): no task and no
// area count says otherwise.
void CarryNothing(RunReport* report) {
  for (ReportedTask& task : report->tasks) task.carried = false;
  for (AreaCount& area : report->areas) area.carried = 0;
}

// Ends a run that was asked for a report or a summary: writes the summary
// to stderr (/V) and the report (/R), replacing an earlier one in one step.
// Returns `code`, or kExitCannotWriteReport for a run that succeeded but
// whose report could not be written.
int32_t FinishRun(const RunSettings& settings, RunReport* report, int32_t code) {
  report->exit_status = code;
  if (settings.verbose) {
    for (const std::string& line : SummaryLines(*report)) platform::Report(line);
  }
  if (settings.report_path.empty()) return code;
  FileSink sink;
  int error = sink.Open(settings.report_path, /*staged=*/true);
  if (error == 0) {
    WriteReportJson(*report, &sink);
    error = sink.Close();
  }
  if (error == 0) return code;
  platform::Report("cannot write the report file " + settings.report_path + ": " +
                   ErrnoText(error) + (code == 0 ? "; the run itself is complete" : ""));
  return code == 0 ? kExitCannotWriteReport : code;
}

// The tasks of the new file after a conversion, for its report; empty when
// the conversion made no file.
StoredConfiguration ReadConverted(const std::string& path) {
  StoredConfiguration converted;
  if (platform::FileSystem::Default()->Exists(path) != 0) return converted;
  std::unique_ptr<platform::Storage> root;
  if (SUCCEEDED(OpenConfiguration(path, /*export_run=*/true, &root))) {
    ReadTaskAreas(root.get(), path, builder::kFormatVersion, &converted);
  }
  return converted;
}

// The checks of a conversion run's settings before anything is read: the
// language code must be one the builder takes and can be part of an INI
// key, and the temporary INI file must exist. Returns 0, or 6 or 8 with a
// message.
int32_t CheckConversionSettings(const RunSettings& settings, bool have_temp) {
  if (settings.language.size() > kMaxBuilderLanguageLength) {
    platform::Report("the language code " + settings.language + " is longer than the " +
                     std::to_string(kMaxBuilderLanguageLength) +
                     " characters that the builder Quarlen accepts");
    return kExitBadCommandLine;
  }
  if (settings.language.find('=') != std::string::npos) {
    // "Name" + code would not be one INI key: the builder would miss it.
    platform::Report("the language code " + settings.language +
                     " holds \"=\", which cannot be part of an INI key");
    return kExitBadCommandLine;
  }
  if (!have_temp || settings.ini_path.size() > kMaxPathLength) {
    platform::Report("no temporary INI file could be created");
    return kExitCannotWriteIni;
  }
  return 0;
}

// The hand-off of a conversion whose INI text is written, and what the
// report learns of it: the INI text kept, or the new file's tasks (`read`
// is what the old file held). Returns the hand-off's exit code.
int32_t HandOffAndReport(const RunSettings& settings, const IniEmitter& emitter,
                         const BesideIni& beside, const StoredConfiguration& read,
                         RunReport* report) {
  const HandOffResult handed = HandOff(
      ConversionRun{settings.config_path, settings.ini_path, settings.language}, emitter, beside);
  if (!handed.kept_ini.empty()) report->kept.push_back({handed.kept_ini, "the INI text"});
  if (handed.exit_code == 0) {
    report->replaced = true;
    report->main_password.carried = report->main_password.stored;
    report->second_password.carried = report->second_password.stored;
    if (!settings.report_path.empty() || settings.verbose) {
      AddConverted(read, ReadConverted(settings.config_path), report);
    }
  }
  return handed.exit_code;
}

// Makes the INI file ready to be written: a conversion's temporary file, or
// an export's file (*ini_path becomes the file its links name), whose text
// is written beside it first (`export_run`), so that a run that ends early
// leaves an earlier export as it was; *earlier_export tells whether there is
// one. Neither the file nor the one beside it may be a compound file.
// Returns 0, or kExitCannotWriteIni with a message.
int32_t OpenIniTarget(bool export_run, std::string* ini_path, FileSink* sink,
                      bool* earlier_export) {
  if (!IsSafeTextTarget(*ini_path, "the INI file")) return kExitCannotWriteIni;
  if (export_run) {
    *ini_path = platform::FinalPath(*ini_path);
    // The file the text is first written into goes when it exists.
    if (!IsSafeTextTarget(FileSink::StagedPath(*ini_path), "the file")) {
      return kExitCannotWriteIni;
    }
  }
  *earlier_export = export_run && platform::FileSystem::Default()->Exists(*ini_path) == 0;
  const int error = sink->Open(*ini_path, /*staged=*/export_run);
  if (error != 0) {
    platform::Report("cannot create the INI file " + *ini_path + ": " + ErrnoText(error));
    return kExitCannotWriteIni;
  }
  return 0;
}

// "PATH is not a configuration of version 615 (version N): no task was read".
std::string NotOldVersionText(const std::string& path, const FileVersion& version) {
  return path + " is not a configuration of version 615 (" +
         (version.kind == VersionKind::kNone ? std::string("no version")
                                             : "version " + std::to_string(version.number)) +
         "): no task was read";
}

}  // namespace

int32_t ParseCommandLine(const std::string& tail, RunSettings* settings) {
  size_t i = 0;
  const size_t n = tail.size();
  std::string config_word;        // the bare word given, if any
  int password_switches = 0;      // every /P
  bool password_from_input = false;  // /P-
  while (i < n) {
    while (i < n && IsWhite(tail[i])) ++i;
    if (i >= n) break;
    if (platform::IsSwitchToken(tail.c_str() + i)) {
      char letter = i + 1 < n ? tail[i + 1] : '\0';
      if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
      size_t start = i + 2;
      switch (letter) {
        case 'I':
          i = TakePath(tail, start, &settings->ini_path);
          settings->hand_off = false;
          if (!WithinLimit("the INI path (/I)", settings->ini_path, kMaxPathLength)) {
            return kExitBadCommandLine;
          }
          break;
        case 'C':
          i = TakePath(tail, start, &settings->compare_path);
          if (settings->compare_path.empty()) {
            platform::Report("/C needs the path of the configuration to compare with");
            return kExitBadCommandLine;
          }
          if (!WithinLimit("the path to compare with (/C)", settings->compare_path,
                           kMaxPathLength)) {
            return kExitBadCommandLine;
          }
          break;
        case 'L':
          if (!TakeWord(tail, start, "the language code (/L)", kMaxLanguageLength,
                        &settings->language, &i)) {
            return kExitBadCommandLine;
          }
          break;
        case 'P':
          if (!TakeWord(tail, start, "the password (/P)", kMaxPasswordLength,
                        &settings->access_password, &i)) {
            return kExitBadCommandLine;
          }
          ++password_switches;
          password_from_input |= settings->access_password == kPasswordFromInput;
          break;
        case 'A':
        case 'V':
          if (start < n && tail[start] != ' ') {
            platform::Report(std::string("the switch /") + letter + " takes no value (" +
                             platform::HelpHint() + ")");
            return kExitBadCommandLine;
          }
          (letter == 'A' ? settings->any_version : settings->verbose) = true;
          i = start;
          break;
        case 'R':
          i = TakePath(tail, start, &settings->report_path);
          if (settings->report_path.empty()) {
            platform::Report("/R needs the path of the file to write the report into");
            return kExitBadCommandLine;
          }
          if (!WithinLimit("the report path (/R)", settings->report_path, kMaxPathLength)) {
            return kExitBadCommandLine;
          }
          break;
        case 'S':
        case 'N':
          i = ArgumentEnd(tail, i + 1);
          break;
        default:
          if (letter == '\0' || letter == ' ') {
            platform::Report("a switch letter is missing after \"" + std::string(1, tail[i]) +
                             "\" (" + platform::HelpHint() + ")");
          } else {
            platform::Report(std::string("unknown switch ") + tail[i] + tail[i + 1] +
                             " (known: /I, /L, /P, /A, /C, /R, /V, /S, /N; " +
                             platform::HelpHint() + ")");
          }
          return kExitBadCommandLine;
      }
    } else {
      size_t end = ArgumentEnd(tail, i);
      std::string word = tail.substr(i, end - i);
      i = end;
      // "/I/srv/x/out.ini" is a path on POSIX, whatever it looks like: say so.
      std::string note = platform::SwitchLookingPathNote(word, "ILPACRVSN", /*any_case=*/true);
      if (!note.empty()) platform::Report(note);
      if (!config_word.empty()) {
        platform::Report("two configuration paths are given, " + config_word + " and " + word +
                         "; give at most one");
        return kExitBadCommandLine;
      }
      config_word = word;
      settings->config_path = word;
      if (!WithinLimit("the configuration path", settings->config_path, kMaxPathLength)) {
        return kExitBadCommandLine;
      }
    }
  }
  if (!settings->compare_path.empty() && !settings->hand_off) {
    platform::Report("/C compares two configurations and writes no INI text; give /C or /I, "
                     "not both");
    return kExitBadCommandLine;
  }
  if (!settings->compare_path.empty() && (!settings->report_path.empty() || settings->verbose)) {
    platform::Report("/C compares two configurations and lists what differs; /R and /V are for "
                     "an export or a conversion");
    return kExitBadCommandLine;
  }
  if (settings->any_version && settings->hand_off) {
    platform::Report("/A exports a configuration of version 616 as well; it needs /I");
    return kExitBadCommandLine;
  }
  if (password_from_input) {
    // Standard input can give one password, and only when no other /P does.
    if (password_switches > 1) {
      platform::Report("/P- reads the password from standard input, and another /P is given "
                       "too; give one of them");
      return kExitBadCommandLine;
    }
    std::string line;
    std::string problem =
        PasswordInputProblem(platform::ReadStandardInputLine(kMaxPasswordLength, &line));
    if (!problem.empty()) {
      platform::Report(problem);
      return kExitBadCommandLine;
    }
    settings->access_password = line;
  }
  return 0;
}

int32_t RunRebolan(const std::string& command_tail, const std::string& default_config_path) {
  // A stop signal ends the run only where nothing is left half done.
  platform::CatchStopSignals();
  // The configuration is opened once and held for the whole run.
  platform::StorageScope scope;
  RunSettings settings;
  std::string registry_path;
  const bool from_registry =
      platform::ReadRegistryString(kRegistryKey, kRegistryValue, &registry_path) &&
      !registry_path.empty();
  settings.config_path = from_registry ? registry_path : default_config_path;
  // What killed runs left in the temporary folder goes first; this run's
  // own file is held (locked) so that a later run's sweep leaves it alone.
  for (const std::string& left : platform::RemoveAbandonedTempFiles("INI")) {
    platform::Report("removed " + left + ", left by a run that was killed");
  }
  std::string temp_path;
  std::unique_ptr<platform::File> temp_hold;
  const bool have_temp = platform::CreateTempFile("INI", &temp_path, &temp_hold);
  settings.ini_path = have_temp ? temp_path : "";

  // The empty temporary file is removed whenever it is not the INI file.
  auto drop_temp = [&]() {
    if (have_temp && settings.ini_path != temp_path) platform::RemoveTempFile(temp_path);
  };
  auto fail_early = [&](int32_t code) {
    if (have_temp) platform::RemoveTempFile(temp_path);
    return code;
  };

  int32_t result = ParseCommandLine(command_tail, &settings);
  if (result != 0) return fail_early(result);
  // From here on every end of the run is reported (/R, /V).
  RunReport report;
  report.conversion = settings.hand_off && settings.compare_path.empty();
  report.language = settings.language;
  auto finish = [&](int32_t code) { return FinishRun(settings, &report, code); };
  auto fail_reported = [&](int32_t code) { return finish(fail_early(code)); };
  // A configuration reached through a symbolic link is its target, converted
  // in its own folder; the link stays as it is.
  settings.config_path = platform::FinalPath(settings.config_path);
  if (!WithinLimit("the configuration path", settings.config_path, kMaxPathLength)) {
    return fail_early(kExitBadCommandLine);
  }
  report.config_path = settings.config_path;
  if (!settings.report_path.empty()) {
    result = CheckReportTarget(&settings);
    if (result != 0) return fail_early(result);
  }
  // Whatever a killed run left is finished or undone before anything else.
  const Recovery recovery = RecoverConversion(settings.config_path);
  report.recovery = recovery.outcome;
  if (recovery.exit_code != 0) return fail_reported(recovery.exit_code);
  if (!settings.compare_path.empty()) return fail_early(RunComparison(settings));
  // After a recovery "nothing was changed" would be untrue of the run.
  const std::string nothing_changed =
      recovery.acted ? "nothing else was changed" : "nothing was changed";
  if (settings.hand_off) {
    result = CheckConversionSettings(settings, have_temp);
    if (result != 0) return fail_reported(result);
  }

  // The configuration is opened once, and held by the scope to the end. A
  // file that does not open gives its storage code; nothing of it is read.
  std::unique_ptr<platform::Storage> root;
  const HRESULT opened = OpenConfiguration(settings.config_path, !settings.hand_off, &root);
  std::string stored;
  const int password_read =
      SUCCEEDED(opened) ? ReadStoredPassword(root.get(), settings.config_path, &stored) : 0;
  report.main_password.stored = !stored.empty();
  if (!settings.hand_off) {
    if (password_read != 0) return fail_reported(password_read);
    result = CheckAccessPassword(settings.access_password, stored);
    if (result != 0) return fail_reported(result);
  }

  drop_temp();
  const bool export_run = !(have_temp && settings.ini_path == temp_path);
  FileSink sink;
  bool earlier_export = false;
  result = OpenIniTarget(export_run, &settings.ini_path, &sink, &earlier_export);
  if (export_run) report.ini_path = settings.ini_path;
  if (result != 0) return finish(result);

  Configuration read;
  read.unread = opened;
  if (SUCCEEDED(opened)) {
    read = ReadConfiguration(root.get(), settings.config_path, settings.any_version);
  }
  root.reset();
  const HRESULT unread = read.unread;
  report.version_read = SUCCEEDED(unread);
  report.version = read.version;
  report.second_password.stored = !read.second_password.empty();
  // Writing: every area, then "[MAIN]".
  IniEmitter emitter(settings.language, settings.config_path, &sink);
  const bool reported = !settings.report_path.empty() || settings.verbose;
  if (reported) emitter.KeepOutcomes();
  int emitted = 0;
  for (const StoredArea& area : read.config.areas) emitted |= emitter.EmitArea(area);
  emitted |= emitter.EmitMainSection(stored);
  if (reported) AddReadAndWritten(read.config, &emitter, &report);
  if (FAILED(unread) && earlier_export) {
    sink.Discard();
    platform::Report("the INI file " + settings.ini_path + " is left as it was");
    return finish(unread);
  }
  const int error = sink.Close();
  if (error != 0) {
    platform::Report("cannot write the INI file " + settings.ini_path + ": " + ErrnoText(error));
    CarryNothing(&report);
    return finish(kExitCannotWriteIni);
  }
  report.main_password.carried = export_run && !stored.empty() && emitter.main_problems().empty();
  // A file that could not be read gives its storage code; otherwise the
  // results of the reading and writing are combined.
  result = FAILED(unread) ? unread : (read.result | emitted | password_read);

  const bool conversion = settings.ini_path == temp_path && have_temp;
  // The second password and the storages of domains and users without a
  // task have no place in the INI text: a conversion copies them into the
  // new file after the build.
  const FileVersion& version = read.version;
  const bool exported_616 =
      settings.any_version && version.kind == VersionKind::kOther &&
      version.number == builder::kFormatVersion;
  if (!conversion) {
    for (const std::string& note :
         NotInIniText(read.second_password, FindEmptyStorages(read.config, exported_616),
                      exported_616)) {
      platform::Report("note: " + note);
      report.not_carried.push_back(note);
    }
  }
  BesideIni beside{std::move(read.second_password), std::move(read.config.domains)};
  if (SUCCEEDED(unread) && version.kind != VersionKind::kOld && !exported_616) {
    settings.hand_off = false;
    platform::Report(NotOldVersionText(settings.config_path, version) +
                     (conversion ? "; " + nothing_changed : std::string()));
  }
  if (int signal = platform::StopSignalCaught()) {
    platform::Report("interrupted by signal " + std::to_string(signal) + "; " +
                     nothing_changed);
    if (conversion) platform::RemoveTempFile(settings.ini_path);
    platform::EndAsStopped(signal);
  }
  if (result != 0 && conversion) {
    const std::string kept = platform::KeepTempFile(settings.ini_path);
    platform::Report(nothing_changed + "; the INI text is at " + kept);
    report.kept.push_back({kept, "the INI text"});
  }
  if (result == 0 && conversion && !settings.hand_off) {
    // Nothing to convert: the INI text holds nothing worth keeping.
    platform::RemoveTempFile(settings.ini_path);
  }
  if (conversion) {
    // Nothing is carried until the new file is in place.
    CarryNothing(&report);
  }
  if (!settings.hand_off || result != 0) return finish(result);
  return finish(HandOffAndReport(settings, emitter, beside, read.config, &report));
}

}  // namespace converter
