// The parts of the programs' entry that both builds share: the command tail
// and the exit status.

#include "platform/program_main.h"

#include "platform/hresult_names.h"

namespace platform {

std::string SkipProgramName(const std::string& command_line, bool is_lead_byte(unsigned char)) {
  const std::string text = command_line.substr(0, command_line.find('\0'));
  size_t i = 0;
  if (i < text.size() && text[i] == '"') {
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (is_lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ++i;
    }
    if (i < text.size()) ++i;  // the closing quote
  } else {
    while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ') ++i;
  }
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  return text.substr(i);
}

std::string CommandTailFromArguments(int argc, const char* const* argv) {
  std::string tail;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) tail += ' ';
    tail += argv[i];
  }
  return tail;
}

int PosixExitStatus(int32_t result, bool* passed_unchanged) {
  bool passes = (result >= 0 && result <= 255) || result == -1;
  if (passed_unchanged != nullptr) *passed_unchanged = passes;
  if (result == -1) return 255;
  return passes ? result : 1;
}

std::string ExitStatusMessage(int32_t result) {
  return "ended with result " + DescribeHResult(result) +
         ", which an exit status cannot hold; the exit status is 1";
}

int ReportedExitStatus(int32_t result) {
  bool passed_unchanged = true;
  const int status = PosixExitStatus(result, &passed_unchanged);
  if (!passed_unchanged) {
    try {
      Report(ExitStatusMessage(result));
    } catch (const std::bad_alloc&) {
    }
  }
  return status;
}

}  // namespace platform
