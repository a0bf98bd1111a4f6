// Operating-system services other than files and storage: folders, the
// temporary file, starting a program, the registry value, messages.
//
// The services that read the machine's state (the Windows directory, the
// temporary folder, the search path, the registry, the environment) go to
// System::Default(), which tests replace (see class System below); the
// functions here are the calls every caller makes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class File;

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
// On POSIX the folder is $TMPDIR, else /tmp, taken by its real path (no
// symbolic link in it); one that is relative, holds a blank, or has a part
// that is another user's or writable by others without the sticky bit is
// passed over (with a message) for /tmp. Inside it the file is made in a
// new private folder of its own ("cnf-" + 6 characters, mode 0700), so that
// no other user can put anything at its path for as long as it is used by
// path; the file has mode 0600. Remove it with RemoveTempFile. On POSIX,
// when `hold` is given, it gets the file open and locked: while the caller
// keeps it, no other run's RemoveAbandonedTempFiles takes the file.
bool CreateTempFile(const std::string& prefix, std::string* path,
                    std::unique_ptr<File>* hold = nullptr);
// Removes what runs that were killed left in the temporary folder: the
// private folders (POSIX: of this user) whose files, all named `prefix`...,
// are no longer locked by their run. Returns the paths removed. Windows:
// nothing.
std::vector<std::string> RemoveAbandonedTempFiles(const std::string& prefix);
// Marks a file made by CreateTempFile as kept for the user, so that
// RemoveAbandonedTempFiles never takes it: on POSIX its private folder gets
// "-kept" appended. Returns the file's path from now on (Windows: `path`).
std::string KeepTempFile(const std::string& path);
// Deletes a file made by CreateTempFile, and on POSIX its private folder.
void RemoveTempFile(const std::string& path);
// The path of the file that `path` names: while it is a symbolic link, its
// target (a relative target taken from the link's folder), at most 40
// links deep; `path` itself when it is no link or cannot be read. A link
// in a sticky folder that others may write in (/tmp) whose owner is neither
// this user nor the folder's is not followed: the link's own path is
// returned, so that no one can point another user's write elsewhere.
// Windows: `path`.
std::string FinalPath(const std::string& path);
// Sets an environment variable of this process, which programs it starts
// inherit; an empty value removes it.
void SetEnvironmentValue(const char* name, const std::string& value);
// The value of an environment variable of this process; "" when it is not
// set.
std::string EnvironmentValue(const char* name);
// From now on SIGINT, SIGTERM and SIGHUP no longer end the program: the
// first one is kept for StopSignalCaught, and a program that
// RunProgramAndWait waits for is asked to end (SIGTERM). The Windows build
// has no console to catch them from: nothing.
void CatchStopSignals();
// The stop signal caught since CatchStopSignals, 0 when none.
int StopSignalCaught();
// Ends the program as the caught signal would have (the shell sees 128 +
// the signal's number). Windows: exit code 0xC000013A, as for Ctrl-C.
[[noreturn]] void EndAsStopped(int signal);

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

// The registry value HKEY_LOCAL_MACHINE\<key_path>, <value_name> as text,
// on Windows from the 32-bit view of the registry (where the suite's 32-bit
// installer writes it), whatever the build; on POSIX read from the .reg file $TORVI32_REGISTRY (else
// /etc/torvi32.reg). Returns false when the file, key or value is absent.
bool ReadRegistryString(const std::string& key_path, const std::string& value_name,
                        std::string* value);

// One line to the user: on POSIX "<program>: <line>" on stderr, control
// characters escaped (EscapeControlCharacters); the Windows build shows
// nothing, unless the program is a console program (ReportOnStderr).
void Report(const std::string& line);
// From now on Report and ReportOutOfMemory write to stderr on Windows too
// (UseConsole calls it); POSIX: they always do.
void ReportOnStderr();

// Writes `text` to standard output as it stands (a listing). Returns false
// when it could not be written whole. The Windows build writes to the
// handle it was given, when there is one.
bool WriteStandardOutput(const std::string& text);

// Report for a run that ran out of memory: "<program>: out of memory: <what>"
// without allocating anything, so that it works while memory is short.
// `what` is a fixed text, such as kOutOfMemoryStopped.
void ReportOutOfMemory(const char* what);
constexpr char kOutOfMemoryStopped[] =
    "the run was stopped; none of its changes were written";

// The name that Report puts in front; set once by the program's entry.
void SetProgramName(const std::string& name);
std::string ReportedProgramName();

// Sets up a console program (cfbtool), once at its start: standard input,
// output and error carry bytes unchanged (on Windows binary mode, where text
// mode would turn LF into CR LF and end input at a Ctrl-Z), a Windows console
// shows the UTF-8 that the program writes (its output code page is UTF-8
// until the program ends), and Report writes to stderr on every build.
void UseConsole();

// The program's arguments argv[1..argc-1] in UTF-8: on POSIX the bytes as
// they are; on Windows taken from the UTF-16 command line (GetCommandLineW,
// split by CommandLineToArgvW), so that a name beyond the ANSI code page
// arrives whole.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// A file path given in UTF-8 in the encoding that file and storage paths
// take: unchanged on POSIX; on Windows in the ANSI code page, where a
// character that the code page lacks becomes '?' (no file has it in its
// name).
std::string PathFromUtf8(const std::string& path);

// The services above that read or change the machine's state, as one
// replaceable object: each free function of the same name calls
// System::Default(), and its contract there is the contract of the call.
// The backends are the POSIX one (system_posix.h) and the Windows one;
// tests install a fake (FakeSystem) with SetDefault, as they do a file
// system with FileSystem::SetDefault.
class System {
 public:
  virtual ~System() = default;

  // The system in use: the platform's own, unless a test installed another
  // with SetDefault.
  static System* Default();
  // REQUIRES: system outlives its use; nullptr restores the platform's own.
  static void SetDefault(System* system);
  // The platform's own system, whatever is installed.
  static System* Platform();

  virtual std::string WindowsDirectory() = 0;
  virtual bool CreateTempFile(const std::string& prefix, std::string* path,
                              std::unique_ptr<File>* hold) = 0;
  virtual std::vector<std::string> RemoveAbandonedTempFiles(const std::string& prefix) = 0;
  virtual bool RunProgramAndWait(const std::string& program,
                                 const std::vector<std::string>& args, int32_t* exit_code) = 0;
  virtual bool ReadRegistryString(const std::string& key_path, const std::string& value_name,
                                  std::string* value) = 0;
  virtual std::string EnvironmentValue(const char* name) = 0;
  virtual void SetEnvironmentValue(const char* name, const std::string& value) = 0;
};

}  // namespace platform
