// The POSIX backend of platform::System.
//
// Everything it reads from the environment ($TMPDIR, $TORVI32_REGISTRY,
// $WINDIR, $PATH, the conversion's token) is looked up in one place: the
// process's own environment, or the one the object was made with, which is
// then also the whole environment of every program it starts. Made with a
// map, it neither reads nor changes the process's environment.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/system.h"

namespace platform {

// "NAME" -> value.
using Environment = std::map<std::string, std::string>;

class PosixSystem : public System {
 public:
  // Over the process's environment (getenv, setenv; `environ` for a child).
  PosixSystem();
  // Over `environment` instead.
  explicit PosixSystem(Environment environment);

  std::string WindowsDirectory() override;
  bool CreateTempFile(const std::string& prefix, std::string* path,
                      std::unique_ptr<File>* hold) override;
  std::vector<std::string> RemoveAbandonedTempFiles(const std::string& prefix) override;
  bool RunProgramAndWait(const std::string& program, const std::vector<std::string>& args,
                         int32_t* exit_code) override;
  bool ReadRegistryString(const std::string& key_path, const std::string& value_name,
                          std::string* value) override;
  std::string EnvironmentValue(const char* name) override;
  void SetEnvironmentValue(const char* name, const std::string& value) override;

 private:
  // The temporary folders to try, in order: $TMPDIR, then /tmp.
  std::vector<std::string> TempFolderCandidates();
  // The program's path: its name looked for in the program's own folder,
  // then in the absolute folders of $PATH; "" when there is none.
  std::string FindProgram(const std::string& program);

  const bool own_environment_;
  Environment environment_;  // when !own_environment_
};

}  // namespace platform
