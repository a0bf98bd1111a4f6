#include "tests/support/fake_system.h"

#include "platform/program_main.h"

namespace testing_support {

void FakeSystem::RunInProcess(const std::string& name, Program run, int32_t out_of_memory) {
  programs_[name] = {std::move(run), out_of_memory};
}

bool FakeSystem::RunProgramAndWait(const std::string& program,
                                   const std::vector<std::string>& args, int32_t* exit_code) {
  auto found = programs_.find(program);
  if (found == programs_.end()) return PosixSystem::RunProgramAndWait(program, args, exit_code);
  std::vector<const char*> argv{program.c_str()};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  const std::string tail =
      platform::CommandTailFromArguments(static_cast<int>(argv.size()), argv.data());
  runs_.push_back(program + " " + tail);
  const std::string caller = platform::ReportedProgramName();
  platform::SetProgramName(program);
  const InProcess& in_process = found->second;
  const int32_t result = platform::StopOnOutOfMemory(
      in_process.out_of_memory, [&] { return in_process.run(tail); });
  *exit_code = platform::ReportedExitStatus(result);
  platform::SetProgramName(caller);
  return true;
}

}  // namespace testing_support
