// Operating-system services on POSIX: folders, the temporary file, starting
// a program, the registry file, messages on stderr.

#include "platform/system.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/registry_file.h"

extern char** environ;

namespace platform {

namespace {

constexpr const char* kDefaultRegistryFile = "/etc/torvi32.reg";
// A registry file is a few lines; a larger one is not read at all.
constexpr size_t kMaxRegistryBytes = size_t{16} << 20;

std::string& ProgramName() {
  static std::string* name = new std::string("program");
  return *name;
}

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Why a folder may not hold the temporary file, or "" when it may: it must
// be an absolute path other than the root without a blank (the builder's
// command line splits at blanks), a folder, owned by root or by us, and not
// writable by others unless sticky (else another user could swap the file).
std::string TempFolderFault(const std::string& folder) {
  if (folder.empty() || folder[0] != '/') return "is not an absolute path";
  // "/INI1234.tmp" would read as a switch on the builder's command line.
  if (folder.find_first_not_of('/') == std::string::npos) return "is the root folder";
  if (folder.find(' ') != std::string::npos) return "holds a blank";
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) return "cannot be examined";
  if (!S_ISDIR(info.st_mode)) return "is not a folder";
  if (info.st_uid != 0 && info.st_uid != ::geteuid()) return "belongs to another user";
  if ((info.st_mode & (S_IWOTH | S_IWGRP)) != 0 && (info.st_mode & S_ISVTX) == 0) {
    return "is writable by others and not sticky";
  }
  return "";
}

// Creates prefix + 4 hex digits + ".tmp" in `folder`, trying every number
// once, from a start that differs between runs. 0 or an errno value.
int CreateTempIn(const std::string& folder, const std::string& prefix, std::string* path) {
  unsigned start = static_cast<unsigned>(std::time(nullptr)) ^
                   (static_cast<unsigned>(::getpid()) << 4);
  for (unsigned i = 0; i < 0x10000; ++i) {
    unsigned number = (start + i) & 0xFFFF;
    char name[16];
    std::snprintf(name, sizeof name, "%04X.tmp", number);
    std::string candidate = JoinPath(folder, prefix + name);
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      *path = candidate;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

bool IsExecutableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// The program's own folder first, then the absolute folders of $PATH
// (relative entries, the current folder among them, are passed over).
std::string FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : "";
  std::string own = ProgramFolder();
  if (!own.empty() && IsExecutableFile(JoinPath(own, program))) return JoinPath(own, program);
  std::string search = EnvOrEmpty("PATH");
  size_t start = 0;
  while (start <= search.size()) {
    size_t end = search.find(':', start);
    if (end == std::string::npos) end = search.size();
    std::string folder = search.substr(start, end - start);
    start = end + 1;
    if (folder.empty() || folder[0] != '/') continue;
    std::string candidate = JoinPath(folder, program);
    if (IsExecutableFile(candidate)) return candidate;
  }
  return "";
}

}  // namespace

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE || buffer.size() >= (size_t{1} << 20)) return "";
    buffer.resize(buffer.size() * 2);
  }
}

std::string WindowsDirectory() {
  std::string windir = EnvOrEmpty("WINDIR");
  return windir.empty() ? "/etc" : windir;
}

bool HasFolderPart(const std::string& path) {
  return path.find_first_of("/\\") != std::string::npos;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsSwitchToken(const char* token) {
  if (token == nullptr) return false;
  if (token[0] == '-') return true;
  if (token[0] != '/') return false;
  for (const char* p = token + 1; *p != '\0' && *p != ' '; ++p) {
    if (*p == '/') return false;  // an absolute path
  }
  return true;
}

bool CreateTempFile(const std::string& prefix, std::string* path) {
  std::vector<std::string> folders;
  std::string tmpdir = EnvOrEmpty("TMPDIR");
  while (tmpdir.size() > 1 && tmpdir.back() == '/') tmpdir.pop_back();
  if (!tmpdir.empty() && tmpdir != "/tmp") folders.push_back(tmpdir);
  folders.push_back("/tmp");
  for (const std::string& folder : folders) {
    std::string fault = TempFolderFault(folder);
    if (fault.empty()) {
      int error = CreateTempIn(folder, prefix, path);
      if (error == 0) return true;
      fault = std::string("refuses a new file (") + std::strerror(error) + ")";
    }
    bool last = &folder == &folders.back();
    Report("the temporary folder " + folder + " " + fault +
           (last ? "; no temporary file can be made" : "; trying /tmp"));
  }
  return false;
}

std::string ProgramFolder() {
#if defined(__APPLE__)
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buffer(size + 1);
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return "";
  char* real = ::realpath(buffer.data(), nullptr);
  if (real == nullptr) return "";
  std::string exe = real;
  std::free(real);
  return FolderOf(exe);
#else
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < buffer.size()) {
      return FolderOf(std::string(buffer.data(), static_cast<size_t>(n)));
    }
    if (buffer.size() >= (size_t{1} << 20)) return "";
    buffer.resize(buffer.size() * 2);
  }
#endif
}

bool RunProgramAndWait(const std::string& program, const std::vector<std::string>& args,
                       int32_t* exit_code) {
  std::string path = FindProgram(program);
  if (path.empty()) return false;
  std::vector<std::string> strings;
  strings.push_back(program);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool ReadRegistryString(const std::string& key_path, const std::string& value_name,
                        std::string* value) {
  std::string path = EnvOrEmpty("TORVI32_REGISTRY");
  if (path.empty()) path = kDefaultRegistryFile;
  if (FileSystem::Default()->Exists(path) != 0) return false;  // no file: no value
  std::string bytes;
  bool ok = ReadWholeFile(path, kMaxRegistryBytes, &bytes);
  if (!ok) {
    Report("the registry file " + path + " cannot be read; it is passed over");
    return false;
  }
  RegistryLookup result = FindRegistryString(bytes, key_path, value_name, value);
  if (result == RegistryLookup::kNotRegistryFile) {
    Report("the registry file " + path +
           " does not begin with REGEDIT4 or \"Windows Registry Editor Version 5.00\";"
           " it is passed over");
  }
  return result == RegistryLookup::kFound;
}

void Report(const std::string& line) {
  std::string text = ProgramName() + ": " + line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void SetProgramName(const std::string& name) { ProgramName() = name; }

std::string HelpHint() { return "see " + ProgramName() + " --help for the usage"; }

bool ReadStandardInput(size_t max_bytes, std::string* bytes) {
  bytes->clear();
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  char buffer[512];
  while (bytes->size() < max_bytes) {
    size_t want = std::min(sizeof buffer, max_bytes - bytes->size());
    ssize_t n = ::read(STDIN_FILENO, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
    if (terminal && bytes->find('\n') != std::string::npos) break;
  }
  return true;
}

std::string DefaultConfigurationPath() { return "/var/lib/torvi32/Torvi32.CNF"; }

}  // namespace platform
