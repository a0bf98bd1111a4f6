// A GUI program over the Windows process entry, started by the Windows
// tests: it writes the command tail it was handed, byte for byte, to the file
// named by $CNF_PROBE_OUT and ends with the 32-bit value, in hexadecimal, of
// $CNF_PROBE_EXIT (0 when unset).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/hresult.h"  // windows.h
#include "platform/program_main.h"

const platform::ProgramInfo kProgramInfo = {"windows_probe", "", "", E_OUTOFMEMORY};

namespace {

std::string Environment(const char* name) {
  char value[1024];
  DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
  return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
}

}  // namespace

int32_t ProgramMain(const std::string& command_tail) {
  std::string out = Environment("CNF_PROBE_OUT");
  if (!out.empty()) {
    FILE* file = std::fopen(out.c_str(), "wb");
    if (file == nullptr) return 3;
    std::fwrite(command_tail.data(), 1, command_tail.size(), file);
    std::fclose(file);
  }
  std::string exit_text = Environment("CNF_PROBE_EXIT");
  return static_cast<int32_t>(std::strtoul(exit_text.c_str(), nullptr, 16));
}
