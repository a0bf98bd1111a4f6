// The entry of the two programs. Each program defines ProgramMain; the
// platform's entry (main on POSIX, WinMain on Windows) builds the command
// tail, calls it and ends the process with its result as the exit code.
//
// The command tail is the text behind the program's own name: on Windows
// from GetCommandLineA, the name skipped as a GUI program's start-up code
// does; on POSIX argv[1..] joined with single blanks.
//
// An allocation failure anywhere in a run (std::bad_alloc, where the
// standard library allocates) leaves the run as an exception: every
// StorageScope on the way abandons its files' changes (each file stays as it
// was before the run), and the entry reports it and ends with the program's
// out-of-memory result. Allocations checked where they happen (new
// (std::nothrow), E_OUTOFMEMORY) lose only their own item, as before.
//
// POSIX keeps 8 bits of an exit code: 0 to 255 pass as they are, -1 becomes
// 255, any other value becomes 1, and then one line on stderr gives the full
// 32-bit value in hexadecimal.
#pragma once

#include <cstdint>
#include <new>
#include <string>

#include "platform/system.h"

namespace platform {

struct ProgramInfo {
  const char* name;     // "Quarlen", used in messages
  const char* usage;    // printed by --help (anywhere on the command line) on POSIX
  const char* version;  // printed by a lone --version on POSIX
  int32_t out_of_memory;  // the result of a run that ran out of memory
};

// Runs `run` (a callable returning the run's result) and returns its result;
// when an allocation failure leaves it, says so in one line and returns
// `out_of_memory` instead. Every program's entry goes through it.
template <typename Run>
int32_t StopOnOutOfMemory(int32_t out_of_memory, Run&& run) {
  try {
    return run();
  } catch (const std::bad_alloc&) {
    ReportOutOfMemory(kOutOfMemoryStopped);
    return out_of_memory;
  }
}

// Skips the program name at the start of a full Windows command line the
// way a GUI program's start-up code does: a name that begins with a double
// quote runs to the closing quote (a double-byte lead byte takes its trail
// byte along), any other name to the first character not above a blank;
// then every character from 1 to 32 is skipped. The command line ends at
// its first NUL. `is_lead_byte` is IsAnsiLeadByte outside tests.
std::string SkipProgramName(const std::string& command_line, bool is_lead_byte(unsigned char));

// The POSIX command tail: argv[1..argc-1] joined with single blanks ("" for
// none). An argument holding a blank thus becomes two tokens, as the
// Windows command line would hold it.
std::string CommandTailFromArguments(int argc, const char* const* argv);

// The exit status that POSIX keeps of a 32-bit result, and whether the
// result passed unchanged: 0..255 as they are, -1 as 255 (its usual POSIX
// form, also counted as passed), anything else as 1 (not passed).
int PosixExitStatus(int32_t result, bool* passed_unchanged);

// The stderr line (without the program name) for a result that did not
// pass unchanged, e.g. "ended with result 0x80030002 (STG_E_FILENOTFOUND),
// which an exit status cannot hold; the exit status is 1".
std::string ExitStatusMessage(int32_t result);

// The exit status of a run's result on POSIX (PosixExitStatus), after the
// line of ExitStatusMessage when the result does not pass unchanged (left
// out when memory is still short).
int ReportedExitStatus(int32_t result);

}  // namespace platform

// Defined by each program.
extern const platform::ProgramInfo kProgramInfo;
int32_t ProgramMain(const std::string& command_tail);
