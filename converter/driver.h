// Rebolan's control flow: start-up, command line, password check, INI text
// emission and the hand-off to the builder.
//
// The hand-off never loses the configuration: the old file is moved aside
// in its own folder, the builder runs, and the new file is checked before
// the old one is deleted; any failure puts the old file back.
#pragma once

#include <cstdint>
#include <string>

#include "converter/ini_emission.h"
#include "converter/old_config_reader.h"

namespace converter {

// Exit codes of a run besides 0, 2 and passed-through storage codes.
constexpr int32_t kExitBadPassword = -1;
constexpr int32_t kExitCannotMoveOld = 4;
constexpr int32_t kExitBadCommandLine = 6;
constexpr int32_t kExitBuilderNotStarted = 7;
constexpr int32_t kExitCannotWriteIni = 8;
constexpr int32_t kExitCheckFailed = 9;

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
// password (/I also clears HandOff); /S and /N are skipped. "/P-" reads the
// password from standard input, one line (platform::ReadStandardInputLine),
// once every other word has been accepted. Returns 0, or 6 with a message
// for an unknown switch letter, a "/" at the end, a value longer than its
// buffer, a second bare word (two configuration paths), "/P-" beside
// another /P, or standard input that gives no password (empty, too long,
// more than one line, a NUL byte, unreadable). A bare word that looks like
// a switch (/I/srv/x/out.ini, a path on POSIX) gets a note saying so.
int32_t ParseCommandLine(const std::string& tail, RunSettings* settings);

// The check of a conversion: does the file at settings.config_path hold
// version 616, as many task streams in each area as `emitter` wrote there,
// and the stored password? Returns "" when it does, else what is wrong.
// A configuration with no task and no password may leave no file at all.
// A non-empty `second_password` (the whole "ro012" stream) must be there
// byte for byte too.
std::string CheckConvertedFile(const RunSettings& settings, const IniEmitter& emitter,
                               const std::string& second_password = "");

// Writes the whole "ro012" stream of the old file into "_Zarin_" of the new
// one (the INI schema has no key that carries it). Returns "" or what failed.
std::string CopySecondPassword(const std::string& path, const std::string& stream_bytes);

// The whole run. `default_config_path` is used when the registry names no
// file. Returns the exit code.
int32_t RunRebolan(const std::string& command_tail, const std::string& default_config_path);

}  // namespace converter
