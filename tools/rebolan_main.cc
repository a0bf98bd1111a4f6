// Rebolan: converts an installed version-615 configuration file into a
// version-616 one through INI text and the builder Quarlen.

#include <string>

#include "converter/driver.h"
#include "platform/program_main.h"

namespace {

// Where the configuration file is looked for when the registry names none.
#if defined(_WIN32)
const char kDefaultConfigPath[] = "C:\\Program files\\ORMEK Software\\Torvi32\\Torvi32.CNF";
#else
const char kDefaultConfigPath[] = "/var/lib/torvi32/Torvi32.CNF";
#endif

}  // namespace

const platform::ProgramInfo kProgramInfo = {
    "Rebolan",
    "usage: Rebolan [configuration-path] [/I<ini-path>] [/L<language>] [/P<password>]\n"
    "  without /I: converts the configuration file to version 616 through Quarlen\n"
    "  with /I:    writes the configuration as INI text to <ini-path> only\n"
    "  on POSIX, -I, -L, -P work as /I, /L, /P (needed before an absolute path)",
    "1.0.0"};

int32_t ProgramMain(const std::string& command_tail) {
  return converter::RunRebolan(command_tail, kDefaultConfigPath);
}
