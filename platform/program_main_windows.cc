// The process entry of the Windows build: a GUI-subsystem WinMain without a
// window. The command tail is the command line behind the program's own
// name; the process ends with the full 32-bit result of ProgramMain.
#include "platform/hresult.h"  // windows.h
#include "platform/program_main.h"
#include "platform/system.h"
#include "platform/text.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR ignored_tail, int show) {
  const char* command_line = GetCommandLineA();
  platform::SetProgramName(kProgramInfo.name);
  int32_t result = platform::StopOnOutOfMemory(kProgramInfo.out_of_memory, [&] {
    return ProgramMain(platform::SkipProgramName(command_line != nullptr ? command_line : "",
                                                 platform::IsAnsiLeadByte));
  });
  ExitProcess(static_cast<UINT>(result));
}
