// FakeSystem: the POSIX system services over an environment of the test's
// choosing instead of the process's (the temporary folder $TMPDIR, the
// registry file $TORVI32_REGISTRY, the Windows directory $WINDIR, the
// search path $PATH), with chosen programs run inside this process.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/system_posix.h"

namespace testing_support {

class FakeSystem : public platform::PosixSystem {
 public:
  // `environment` is all the environment the services see and the programs
  // they start get: a variable it lacks is not set.
  explicit FakeSystem(platform::Environment environment = {})
      : PosixSystem(std::move(environment)) {}

  // A program's run: its command tail in, its 32-bit result out.
  using Program = std::function<int32_t(const std::string& command_tail)>;
  // From now on RunProgramAndWait(name, args) runs `run` in this process as
  // the program's POSIX entry would: the arguments joined with blanks as its
  // tail, its messages under `name`, out of memory giving `out_of_memory`,
  // and the result mapped to the exit status the parent would see. The
  // environment is this object's. Any other name starts a real program.
  void RunInProcess(const std::string& name, Program run, int32_t out_of_memory);

  bool RunProgramAndWait(const std::string& program, const std::vector<std::string>& args,
                         int32_t* exit_code) override;

  // The runs made in this process, in order, as "name tail".
  const std::vector<std::string>& runs() const { return runs_; }

 private:
  struct InProcess {
    Program run;
    int32_t out_of_memory;
  };
  std::map<std::string, InProcess> programs_;
  std::vector<std::string> runs_;
};

// Installs a system as the default for the life of the object.
class ScopedSystem {
 public:
  explicit ScopedSystem(platform::System* system) { platform::System::SetDefault(system); }
  ~ScopedSystem() { platform::System::SetDefault(nullptr); }
  ScopedSystem(const ScopedSystem&) = delete;
  ScopedSystem& operator=(const ScopedSystem&) = delete;
};

}  // namespace testing_support
