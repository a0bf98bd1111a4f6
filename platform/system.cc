// The installed system: the platform's own unless a test replaced it, and
// the calls that go to it.
#include "platform/system.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<System*> installed{nullptr};
}  // namespace

System* System::Default() {
  System* system = installed.load(std::memory_order_acquire);
  return system != nullptr ? system : Platform();
}

void System::SetDefault(System* system) { installed.store(system, std::memory_order_release); }

std::string WindowsDirectory() { return System::Default()->WindowsDirectory(); }

bool CreateTempFile(const std::string& prefix, std::string* path, std::unique_ptr<File>* hold) {
  return System::Default()->CreateTempFile(prefix, path, hold);
}

std::vector<std::string> RemoveAbandonedTempFiles(const std::string& prefix) {
  return System::Default()->RemoveAbandonedTempFiles(prefix);
}

bool RunProgramAndWait(const std::string& program, const std::vector<std::string>& args,
                       int32_t* exit_code) {
  return System::Default()->RunProgramAndWait(program, args, exit_code);
}

bool ReadRegistryString(const std::string& key_path, const std::string& value_name,
                        std::string* value) {
  return System::Default()->ReadRegistryString(key_path, value_name, value);
}

std::string EnvironmentValue(const char* name) {
  return System::Default()->EnvironmentValue(name);
}

void SetEnvironmentValue(const char* name, const std::string& value) {
  System::Default()->SetEnvironmentValue(name, value);
}

}  // namespace platform
