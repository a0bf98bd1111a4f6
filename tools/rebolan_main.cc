// Rebolan: converts an installed version-615 configuration file into a
// version-616 one through INI text and the builder Quarlen.

#include <string>

#include "converter/driver.h"
#include "platform/hresult.h"
#include "platform/program_main.h"
#include "platform/system.h"

const platform::ProgramInfo kProgramInfo = {
    "Rebolan",
    "usage: Rebolan [CONFIG-PATH] [/I<ini-path> [/A] | /C<other>] [/L<language>] [/P<password> | /P-]\n"
    "               [/R<report-path>] [/V]\n"
    "Without /I: converts the configuration file (default: the registry value CFG,\n"
    "else /var/lib/torvi32/Torvi32.CNF) to version 616 through Quarlen, and keeps\n"
    "the old file until the new one has passed its check.\n"
    "With /I: writes the configuration as INI text to <ini-path> only; /P gives\n"
    "the main password when one is stored, /P- reads it as one line from standard\n"
    "input (not shown by ps). /A writes a version-616 file's tasks too, as text\n"
    "that Quarlen rebuilds the same file from. /C<other> compares the configuration\n"
    "with another of version 615 or 616: the differences on stdout; 0 equal, 1 they\n"
    "differ, 2 trouble. /R<report-path> writes a JSON report of the export or\n"
    "conversion (tasks, source and target streams, what was not carried, kept\n"
    "files, the result); /V lists the tasks per area on stderr at the end.\n"
    "Switches may be written with '-' (needed before an\n"
    "absolute path: -I/tmp/out.ini). At most one CONFIG-PATH.\n",
    "Rebolan 1.0.0",
    E_OUTOFMEMORY};

int32_t ProgramMain(const std::string& command_tail) {
  return converter::RunRebolan(command_tail, platform::DefaultConfigurationPath());
}
