// Operating-system services of the Windows build: folders, the temporary
// INI file, the builder started hidden and waited for, the registry value.
// The GUI programs show no messages; the exit code is their only report.
// A console program's (cfbtool's) Report lines go to stderr.
#include "platform/system.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/hresult.h"  // windows.h
#include "platform/text.h"

namespace platform {
namespace {

// Calls `get(size, buffer)`, an ANSI API that returns the length it wrote,
// or the size it needs (with the NUL) when the buffer is too small.
template <typename Getter>
std::string GetText(Getter get) {
  std::string text(MAX_PATH, '\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD length = get(static_cast<DWORD>(text.size()), &text[0]);
    if (length == 0) return std::string();
    if (length < text.size()) {
      text.resize(length);
      return text;
    }
    text.assign(length + 1, '\0');
  }
  return std::string();
}

bool HoldsBlank(const std::string& text) { return text.find(' ') != std::string::npos; }

bool IsFile(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The program's exact path: in ProgramFolder() first (with ".exe" added when
// the name has no extension), else in the folders of %PATH%; "" when absent.
// The current folder is never searched: a program of that name planted there
// must not run with the administrator's rights.
std::string FindProgram(const std::string& program) {
  const bool has_extension = program.find('.') != std::string::npos;
  std::string folder = ProgramFolder();
  if (!folder.empty()) {
    std::string path = JoinPath(folder, program);
    if (IsFile(path)) return path;
    if (!has_extension && IsFile(path + ".exe")) return path + ".exe";
  }
  std::string search_path = GetText([](DWORD size, char* buffer) {
    return GetEnvironmentVariableA("PATH", buffer, size);
  });
  if (search_path.empty()) return std::string();
  return GetText([&](DWORD size, char* buffer) {
    return SearchPathA(search_path.c_str(), program.c_str(), ".exe", size, buffer, nullptr);
  });
}

std::string program_name;

// The services of System over the Windows APIs.
class WindowsSystem : public System {
 public:
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
};

}  // namespace

System* System::Platform() {
  static WindowsSystem* own = new WindowsSystem();
  return own;
}

std::string CurrentDirectory() {
  return GetText([](DWORD size, char* buffer) { return GetCurrentDirectoryA(size, buffer); });
}

std::string WindowsSystem::WindowsDirectory() {
  return GetText([](DWORD size, char* buffer) { return GetWindowsDirectoryA(buffer, size); });
}

// Windows takes '/' as a separator too: "sub/a.ini" is no bare file name
// for the profile functions.
bool HasFolderPart(const std::string& path) {
  return path.find_first_of("\\/") != std::string::npos;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '\\') return folder + name;
  return folder + "\\" + name;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsSwitchToken(const char* token) { return token[0] == '/'; }

bool WindowsSystem::CreateTempFile(const std::string& prefix, std::string* path,
                                   std::unique_ptr<File>*) {
  path->clear();
  std::string folder =
      GetText([](DWORD size, char* buffer) { return GetTempPathA(size, buffer); });
  if (folder.empty()) return false;
  // The builder's command line knows no quoting: take the short form of a
  // folder that holds a blank ("C:\Documents and Settings\...").
  if (HoldsBlank(folder)) {
    folder = GetText([&](DWORD size, char* buffer) {
      return GetShortPathNameA(folder.c_str(), buffer, size);
    });
    if (folder.empty() || HoldsBlank(folder)) return false;
  }
  char name[MAX_PATH + 1] = {0};
  if (folder.size() > MAX_PATH - 14) return false;  // GetTempFileNameA's limit
  if (GetTempFileNameA(folder.c_str(), prefix.c_str(), 0, name) == 0) return false;
  *path = name;
  if (HoldsBlank(*path)) {
    DeleteFileA(name);
    path->clear();
    return false;
  }
  return true;
}

void RemoveTempFile(const std::string& path) { DeleteFileA(path.c_str()); }

std::string KeepTempFile(const std::string& path) { return path; }

// GetTempFileNameA's files are named for the run's own folder only; nothing
// is swept.
std::vector<std::string> WindowsSystem::RemoveAbandonedTempFiles(const std::string&) {
  return {};
}

std::string FinalPath(const std::string& path) { return path; }

void WindowsSystem::SetEnvironmentValue(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());  // an empty value removes the variable
}

std::string WindowsSystem::EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void CatchStopSignals() {}

int StopSignalCaught() { return 0; }

void EndAsStopped(int) { ExitProcess(0xC000013A); }

std::string ProgramFolder() {
  std::string self = GetText([](DWORD size, char* buffer) {
    DWORD length = GetModuleFileNameA(nullptr, buffer, size);
    // A cut name comes back with length == size: ask for more.
    return length >= size ? size + 1 : length;
  });
  return FolderOf(self);
}

bool WindowsSystem::RunProgramAndWait(const std::string& program,
                                      const std::vector<std::string>& args, int32_t* exit_code) {
  std::string path = FindProgram(program);
  if (path.empty()) return false;
  // The program's own name is quoted (its folder may hold blanks); the
  // arguments go as they are, separated by single blanks.
  std::string command_line = "\"" + path + "\"";
  for (const std::string& arg : args) command_line += " " + arg;

  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process;
  ZeroMemory(&process, sizeof(process));
  if (!CreateProcessA(path.c_str(), &command_line[0], nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  DWORD code = 0;
  bool waited = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
                GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  *exit_code = waited ? static_cast<int32_t>(code) : -1;
  return true;
}

bool WindowsSystem::ReadRegistryString(const std::string& key_path,
                                       const std::string& value_name, std::string* value) {
  value->clear();
  HKEY key = nullptr;
  // The suite is a 32-bit program: its installer writes the 32-bit view of
  // the registry, which a 64-bit build must ask for.
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  bool found = false;
  DWORD type = 0;
  DWORD size = 0;
  // Sized first; a value that grows between the two calls is read as absent.
  if (RegQueryValueExA(key, value_name.c_str(), nullptr, &type, nullptr, &size) ==
          ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size <= 65536) {
    std::string text(size + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key, value_name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(&text[0]), &got) == ERROR_SUCCESS) {
      text.resize(std::strlen(text.c_str()));  // the stored NUL, if any
      *value = text;
      found = true;
    }
  }
  RegCloseKey(key);
  return found;
}

// Set by a console program (UseConsole); the GUI programs show nothing.
bool report_on_stderr = false;

bool WriteStandardOutput(const std::string& text) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return false;
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    DWORD piece = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1 << 20));
    if (!WriteFile(output, text.data() + done, piece, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

void ReportOnStderr() { report_on_stderr = true; }

void Report(const std::string& line) {
  if (!report_on_stderr) return;
  std::string text = program_name + ": " + EscapeControlCharacters(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void ReportOutOfMemory(const char* what) {
  if (!report_on_stderr) return;
  std::fprintf(stderr, "%s: out of memory: %s\n", program_name.c_str(), what);
  std::fflush(stderr);
}

void SetProgramName(const std::string& name) { program_name = name; }

std::string ReportedProgramName() { return program_name; }

std::string HelpHint() { return "see " + program_name + " --help for the usage"; }

bool ReadStandardInput(size_t max_bytes, std::string* bytes) {
  bytes->clear();
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  const bool console = GetFileType(input) == FILE_TYPE_CHAR;
  char buffer[512];
  while (bytes->size() < max_bytes) {
    DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buffer, max_bytes - bytes->size()));
    DWORD got = 0;
    if (!ReadFile(input, buffer, want, &got, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) break;  // the writer closed the pipe
      return false;
    }
    if (got == 0) break;
    bytes->append(buffer, got);
    if (console && bytes->find('\n') != std::string::npos) break;
  }
  return true;
}

std::string DefaultConfigurationPath() {
  return "C:\\Program files\\ORMEK Software\\Torvi32\\Torvi32.CNF";
}

}  // namespace platform
