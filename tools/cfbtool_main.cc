// cfbtool's process entry: the command (cfbtool.cc), stopped cleanly when
// memory runs out.
#include "platform/program_main.h"
#include "platform/system.h"
#include "tools/cfbtool.h"

int main(int argc, char** argv) {
  platform::SetProgramName("cfbtool");
  return platform::StopOnOutOfMemory(cfbtool::kExitOutOfMemory,
                                     [&] { return cfbtool::RunTool(argc, argv); });
}
