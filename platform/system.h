// Operating-system services other than files and storage: folders, the
// temporary file, starting a program, the registry value, messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// GetCurrentDirectoryA; empty on failure.
std::string CurrentDirectory();

// Where a bare INI file name is read from: the Windows directory; on POSIX
// $WINDIR when set and not empty, else /etc.
std::string WindowsDirectory();

// Whether a path names a folder: it holds '\' or '/' (Windows takes both). A
// path without one is a bare file name.
bool HasFolderPart(const std::string& path);

// Joins a folder and a name with the platform's separator, added only when
// the folder does not already end with one; an empty folder gives the name.
std::string JoinPath(const std::string& folder, const std::string& name);

// The folder part of a path ("" when it has none), without the separator
// (but "/" for a file in the root folder on POSIX).
std::string FolderOf(const std::string& path);

// Whether the command-line token starting at `token` (it runs to the next
// blank or the end) is a switch: '/' on every build; on POSIX also '-', and
// a '/' token holding a further '/' before the next blank is a path instead.
bool IsSwitchToken(const char* token);

// The note that ends the message of a refused command line: "see Quarlen
// --help for the usage" (the name set with SetProgramName).
std::string HelpHint();

// A word that IsSwitchToken takes as a path although it looks like one of
// the program's switches: it begins with '/' and a letter of `letters`
// (matched in either case when `any_case`), but holds a further '/'
// (/I/srv/x/out.ini). Returns the message saying how it was read and how to
// write the switch; "" for any other word (always on Windows, where every
// '/' word is a switch).
std::string SwitchLookingPathNote(const std::string& word, const std::string& letters,
                                  bool any_case);

// How standard input was read as one line.
enum class InputLine {
  kRead,              // *line holds the line, without its line end
  kEmpty,             // nothing, or an empty line
  kTooLong,           // the line is longer than the limit
  kMoreThanOneLine,   // something follows the first line end
  kHoldsNul,          // the line holds a NUL byte
  kUnreadable,        // standard input is closed or fails
};

// Reads standard input as one line of at most `limit` bytes: everything up
// to its end (on a terminal, up to the first line end), then one LF or CR LF
// at its end is dropped.
InputLine ReadStandardInputLine(size_t limit, std::string* line);

// The bytes of standard input, at most `max_bytes`, stopping after the first
// LF when it is a terminal. Returns false when it cannot be read.
bool ReadStandardInput(size_t max_bytes, std::string* bytes);

// GetTempPathA + GetTempFileNameA(folder, prefix, 0): creates a new empty
// file named prefix + 4 hex digits + ".tmp" exclusively, in a temporary
// folder whose path holds no blank. Returns false when none can be made.
// On POSIX the folder is $TMPDIR, else /tmp; a $TMPDIR that is relative,
// holds a blank, is another user's or is writable by others without the
// sticky bit is passed over (with a message) for /tmp. The file has mode
// 0600 and is never reached through a symbolic link.
bool CreateTempFile(const std::string& prefix, std::string* path);

// The folder of the running program's own executable; empty if unknown.
std::string ProgramFolder();

// Starts `program` (a file name, looked for in ProgramFolder(), then on the
// search path) with `args`, without a window and without a shell, and waits
// for it. Returns false when it could not be started; else *exit_code gets
// its 32-bit exit code (on POSIX a signal death reads as -1, and only the
// low 8 bits of an exit code are known: 0..255). On POSIX argv[0] is
// `program`, and only absolute folders of $PATH are searched.
bool RunProgramAndWait(const std::string& program,
                       const std::vector<std::string>& args, int32_t* exit_code);

// Where the installed configuration file is when the registry names none:
// "C:\Program files\ORMEK Software\Torvi32\Torvi32.CNF" on Windows,
// /var/lib/torvi32/Torvi32.CNF on POSIX.
std::string DefaultConfigurationPath();

// The registry value HKEY_LOCAL_MACHINE\<key_path>, <value_name> as text;
// on POSIX read from the .reg file $TORVI32_REGISTRY (else
// /etc/torvi32.reg). Returns false when the file, key or value is absent.
bool ReadRegistryString(const std::string& key_path, const std::string& value_name,
                        std::string* value);

// One line to the user: on POSIX "<program>: <line>" on stderr; the Windows
// build shows nothing.
void Report(const std::string& line);

// The name that Report puts in front; set once by the program's entry.
void SetProgramName(const std::string& name);

}  // namespace platform
