// The builder's command line: "/L" language switches, the dry-run switch
// "/D" and INI file names.
//
// Pass 1 collects the switches (and refuses any other), pass
// 2 turns every other token into the full path of an INI file; only then
// is anything read or written. The conversions run per INI file, in
// command-line order, each for every language, last "/L" first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "builder/ini_conversion.h"

namespace builder {

// Read from the Windows directory when no INI file is named.
constexpr char kDefaultIniName[] = "TORVI32.INI";
constexpr char kDefaultLanguage[] = "ENG";
constexpr size_t kMaxPathLength = 259;

// Exit codes of a run.
constexpr int32_t kExitRefused = -1;       // a bad switch, or a token or code too long
constexpr int32_t kExitOutOfMemory = 256;  // out of memory (a language entry, or any later step)

// "/D": a dry run. The run reads its INI files and configuration files and
// lists on stdout what it would do (dry_run_listing.h), saying on stderr
// what the real run would say; no file is created, changed or deleted.
constexpr char kDryRunSwitch = 'D';
constexpr char kLanguageSwitch = 'L';

// The exit code of a dry run whose listing could not be written.
constexpr int32_t kExitListingNotWritten = 2;

struct CommandLine {
  LanguageList languages;              // head first: the last "/L" first
  std::vector<std::string> ini_paths;  // full paths; empty: kDefaultIniName
  bool dry_run = false;                // "/D"
};

// Parses the command tail (the text behind the program name; only the
// blank separates tokens, the tail ends at a NUL) into *command_line.
// Returns 0; kExitRefused, with a message, for a switch other than "/L" and
// "/D" (also "/D" with anything behind the letter),
// a language code over 11 characters, an INI token or full path over 259
// characters, or an unknown current folder; kExitOutOfMemory. Reads and
// writes no file.
int32_t ParseCommandLine(const std::string& command_tail, CommandLine* command_line);

// A whole run of the builder: parses the command tail, then converts each
// INI file; a dry run does the same on files kept in memory
// (platform::BeginDryRunFiles) and then writes its listing. Returns the
// exit code (a dry run: the one the real run would end with, as far as it
// can be known without writing; kExitListingNotWritten when the listing
// could not be written).
// Begins with the builder-wide state (config_layout.h's path and names, the
// stream-name generator) as a new process has it, so that a run inside a
// process that ran the builder before goes as the first one.
int32_t RunBuilder(const std::string& command_tail);

}  // namespace builder
