// Quarlen: builds a version-616 configuration file from INI descriptions.

#include "builder/startup.h"
#include "platform/program_main.h"

const platform::ProgramInfo kProgramInfo = {
    "Quarlen",
    "usage: Quarlen [INI-FILE]... [/LCODE]... [/D]\n"
    "Builds or changes version-616 configuration files from INI descriptions,\n"
    "once per language code (default ENG). Without an INI file, TORVI32.INI\n"
    "is read from $WINDIR (else /etc). /D lists what the run would do and\n"
    "changes no file. Switches may be written with '-'.\n",
    "Quarlen 1.0.0",
    builder::kExitOutOfMemory,
};

int32_t ProgramMain(const std::string& command_tail) {
  return builder::RunBuilder(command_tail);
}
