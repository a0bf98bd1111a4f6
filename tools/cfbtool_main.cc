// cfbtool's process entry: the command (cfbtool.cc), stopped cleanly when
// memory runs out. A console program on every build: its arguments arrive
// in UTF-8 and its standard streams carry bytes unchanged.
#include <string>
#include <vector>

#include "platform/program_main.h"
#include "platform/system.h"
#include "tools/cfbtool.h"

int main(int argc, char** argv) {
  platform::SetProgramName("cfbtool");
  platform::UseConsole();
  return platform::StopOnOutOfMemory(cfbtool::kExitOutOfMemory, [&] {
    std::vector<std::string> arguments = platform::Utf8Arguments(argc, argv);
    std::vector<char*> pointers{argc > 0 ? argv[0] : const_cast<char*>("cfbtool")};
    for (std::string& argument : arguments) pointers.push_back(&argument[0]);
    pointers.push_back(nullptr);
    return cfbtool::RunTool(static_cast<int>(pointers.size() - 1), pointers.data());
  });
}
