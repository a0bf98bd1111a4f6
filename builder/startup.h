// The builder's command line: "/L" language switches and INI file names.
//
// Pass 1 collects the language codes (and refuses any other switch), pass
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
constexpr size_t kMaxLanguageLength = 11;
constexpr size_t kMaxPathLength = 259;

// Exit codes of a run.
constexpr int32_t kExitRefused = -1;       // a bad switch, or a token or code too long
constexpr int32_t kExitOutOfMemory = 256;  // out of memory (a language entry, or any later step)

struct CommandLine {
  LanguageList languages;              // head first: the last "/L" first
  std::vector<std::string> ini_paths;  // full paths; empty: kDefaultIniName
};

// Parses the command tail (the text behind the program name; only the
// blank separates tokens, the tail ends at a NUL) into *command_line.
// Returns 0; kExitRefused, with a message, for a switch other than "/L",
// a language code over 11 characters, an INI token or full path over 259
// characters, or an unknown current folder; kExitOutOfMemory. Reads and
// writes no file.
int32_t ParseCommandLine(const std::string& command_tail, CommandLine* command_line);

// A whole run of the builder: parses the command tail, then converts each
// INI file. Returns the exit code.
int32_t RunBuilder(const std::string& command_tail);

}  // namespace builder
