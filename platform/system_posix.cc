// Operating-system services on POSIX: folders, the temporary file, starting
// a program, the registry file, messages on stderr.

#include "platform/system_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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
#include "platform/text.h"

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

// Why a folder may not hold the temporary file, or "" when it may; *real
// gets its real path. It must be an absolute path other than the root
// without a blank (the builder's command line splits at blanks), and every
// folder of its real path must be owned by root or by us and not be
// writable by others unless sticky: else another user could rename a
// folder on the way and put another file at the temporary file's path.
std::string TempFolderFault(const std::string& folder, std::string* real) {
  if (folder.empty() || folder[0] != '/') return "is not an absolute path";
  // "/INI1234.tmp" would read as a switch on the builder's command line.
  if (folder.find_first_not_of('/') == std::string::npos) return "is the root folder";
  if (folder.find(' ') != std::string::npos) return "holds a blank";
  char* resolved = ::realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) return "cannot be examined";
  *real = resolved;
  std::free(resolved);
  if (real->find(' ') != std::string::npos) return "holds a blank in its real path";
  if (*real == "/") return "is the root folder";
  for (size_t end = 0; end != std::string::npos;) {
    end = real->find('/', end + 1);
    const std::string part = end == std::string::npos ? *real : real->substr(0, end);
    struct stat info;
    if (::lstat(part.empty() ? "/" : part.c_str(), &info) != 0) return "cannot be examined";
    if (!S_ISDIR(info.st_mode)) return "is not a folder";
    if (info.st_uid != 0 && info.st_uid != ::geteuid()) {
      return part == *real ? "belongs to another user" : "lies in " + part + ", another user's";
    }
    if ((info.st_mode & (S_IWOTH | S_IWGRP)) != 0 && (info.st_mode & S_ISVTX) == 0) {
      return part == *real ? "is writable by others and not sticky"
                           : "lies in " + part + ", writable by others and not sticky";
    }
  }
  return "";
}

constexpr char kPrivateFolderPrefix[] = "cnf-";

// Creates a private folder in `folder` and in it prefix + 4 hex digits +
// ".tmp", locked through *hold for as long as the run uses it (so that
// RemoveAbandonedTempFiles of another run leaves it alone). 0 or an errno
// value.
int CreateTempIn(const std::string& folder, const std::string& prefix, std::string* path,
                 std::unique_ptr<File>* hold) {
  FileSystem* fs = FileSystem::Platform();
  int error = EEXIST;
  // Another run's sweep may take an empty folder, or a file not yet locked,
  // from under us: then a new one is made.
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::string own = JoinPath(folder, std::string(kPrivateFolderPrefix) + "XXXXXX");
    if (::mkdtemp(&own[0]) == nullptr) return errno;
    unsigned number = (static_cast<unsigned>(std::time(nullptr)) ^
                       (static_cast<unsigned>(::getpid()) << 4)) & 0xFFFF;
    char name[16];
    std::snprintf(name, sizeof name, "%04X.tmp", number);
    std::string candidate = JoinPath(own, prefix + name);
    std::unique_ptr<File> file;
    error = fs->Open(candidate, OpenMode::kCreateNew, &file);
    if (error == 0) error = file->LockExclusive();
    FileIdentity created;
    struct stat info;
    if (error == 0) error = file->Identify(&created);
    if (error == 0 && ::lstat(candidate.c_str(), &info) == 0 &&
        static_cast<uint64_t>(info.st_ino) == created.inode &&
        static_cast<uint64_t>(info.st_dev) == created.device) {
      *path = candidate;
      if (hold != nullptr) *hold = std::move(file);
      return 0;
    }
    file.reset();
    ::unlink(candidate.c_str());
    ::rmdir(own.c_str());
    // ENOENT, EWOULDBLOCK: another run's sweep was looking at it just then.
    if (error != 0 && error != ENOENT && error != EWOULDBLOCK) return error;
  }
  return error == 0 ? EAGAIN : error;
}

volatile sig_atomic_t caught_stop_signal = 0;

void OnStopSignal(int signal) {
  if (caught_stop_signal == 0) caught_stop_signal = signal;
}

bool IsExecutableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

System* System::Platform() {
  static PosixSystem* own = new PosixSystem();
  return own;
}

PosixSystem::PosixSystem() : own_environment_(true) {}

PosixSystem::PosixSystem(Environment environment)
    : own_environment_(false), environment_(std::move(environment)) {}

std::string PosixSystem::EnvironmentValue(const char* name) {
  if (!own_environment_) {
    auto found = environment_.find(name);
    return found != environment_.end() ? found->second : "";
  }
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void PosixSystem::SetEnvironmentValue(const char* name, const std::string& value) {
  if (!own_environment_) {
    if (value.empty()) {
      environment_.erase(name);
    } else {
      environment_[name] = value;
    }
  } else if (value.empty()) {
    ::unsetenv(name);
  } else {
    ::setenv(name, value.c_str(), 1);
  }
}

std::vector<std::string> PosixSystem::TempFolderCandidates() {
  std::vector<std::string> folders;
  std::string tmpdir = EnvironmentValue("TMPDIR");
  while (tmpdir.size() > 1 && tmpdir.back() == '/') tmpdir.pop_back();
  if (!tmpdir.empty() && tmpdir != "/tmp") folders.push_back(tmpdir);
  folders.push_back("/tmp");
  return folders;
}

// The program's own folder first, then the absolute folders of $PATH
// (relative entries, the current folder among them, are passed over).
std::string PosixSystem::FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return IsExecutableFile(program) ? program : "";
  std::string own = ProgramFolder();
  if (!own.empty() && IsExecutableFile(JoinPath(own, program))) return JoinPath(own, program);
  std::string search = EnvironmentValue("PATH");
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

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE || buffer.size() >= (size_t{1} << 20)) return "";
    buffer.resize(buffer.size() * 2);
  }
}

std::string PosixSystem::WindowsDirectory() {
  std::string windir = EnvironmentValue("WINDIR");
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

bool PosixSystem::CreateTempFile(const std::string& prefix, std::string* path,
                                 std::unique_ptr<File>* hold) {
  const std::vector<std::string> folders = TempFolderCandidates();
  for (const std::string& folder : folders) {
    std::string real;
    std::string fault = TempFolderFault(folder, &real);
    if (fault.empty()) {
      int error = CreateTempIn(real, prefix, path, hold);
      if (error == 0) return true;
      fault = std::string("refuses a new file (") + std::strerror(error) + ")";
    }
    bool last = &folder == &folders.back();
    Report("the temporary folder " + folder + " " + fault +
           (last ? "; no temporary file can be made" : "; trying /tmp"));
  }
  return false;
}

std::vector<std::string> PosixSystem::RemoveAbandonedTempFiles(const std::string& prefix) {
  std::vector<std::string> removed;
  std::string real;
  for (const std::string& folder : TempFolderCandidates()) {
    if (TempFolderFault(folder, &real).empty()) break;
    real.clear();
  }
  if (real.empty()) return removed;
  DIR* dir = ::opendir(real.c_str());
  if (dir == nullptr) return removed;
  std::vector<std::string> own_folders;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, 4, kPrivateFolderPrefix) != 0 || name.size() != 10) continue;
    const std::string own = JoinPath(real, name);
    struct stat info;
    if (::lstat(own.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::geteuid() && (info.st_mode & 0777) == 0700) {
      own_folders.push_back(own);
    }
  }
  ::closedir(dir);
  FileSystem* fs = FileSystem::Platform();
  for (const std::string& own : own_folders) {
    DIR* inner = ::opendir(own.c_str());
    if (inner == nullptr) continue;
    std::vector<std::string> files;
    bool ours = true;
    while (dirent* entry = ::readdir(inner)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      ours = ours && name.compare(0, prefix.size(), prefix) == 0;
      files.push_back(JoinPath(own, name));
    }
    ::closedir(inner);
    if (!ours) continue;
    // A file whose lock can be taken belongs to a run that has ended.
    std::vector<std::unique_ptr<File>> locks;
    bool abandoned = true;
    for (const std::string& file : files) {
      std::unique_ptr<File> lock;
      abandoned = abandoned && fs->Open(file, OpenMode::kReadWrite, &lock) == 0 &&
                  lock->LockExclusive() == 0;
      locks.push_back(std::move(lock));
    }
    if (!abandoned) continue;
    for (const std::string& file : files) {
      if (::unlink(file.c_str()) == 0) removed.push_back(file);
    }
    if (::rmdir(own.c_str()) == 0 && files.empty()) removed.push_back(own);
  }
  return removed;
}

std::string KeepTempFile(const std::string& path) {
  const std::string folder = FolderOf(path);
  const size_t slash = folder.rfind('/');
  if (slash == std::string::npos || folder.compare(slash + 1, 4, kPrivateFolderPrefix) != 0 ||
      folder.size() != slash + 11) {
    return path;
  }
  const std::string kept = folder + "-kept";
  if (::rename(folder.c_str(), kept.c_str()) != 0) return path;
  return kept + path.substr(folder.size());
}

void RemoveTempFile(const std::string& path) {
  ::unlink(path.c_str());
  const std::string folder = FolderOf(path);
  // Only the private folder CreateTempFile made goes with it.
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && folder.compare(slash + 1, 4, "cnf-") == 0) {
    ::rmdir(folder.c_str());
  }
}

std::string FinalPath(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    // A link that another user put into a folder that everyone may write in
    // (a sticky one such as /tmp) is not followed, as the kernel's
    // protected_symlinks rule has it: the path stays the link's own, which
    // opening refuses (O_NOFOLLOW) and replacing replaces, never its target.
    const std::string folder_path = FolderOf(current).empty() ? "." : FolderOf(current);
    struct stat folder;
    if (info.st_uid != ::geteuid() && ::stat(folder_path.c_str(), &folder) == 0 &&
        (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0 &&
        info.st_uid != folder.st_uid) {
      return current;
    }
    std::vector<char> buffer(static_cast<size_t>(info.st_size > 0 ? info.st_size : 255) + 2);
    ssize_t n = ::readlink(current.c_str(), buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return current;
    std::string target(buffer.data(), static_cast<size_t>(n));
    current = target[0] == '/' ? target : JoinPath(FolderOf(current), target);
  }
  return current;
}

void CatchStopSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait returns at the signal
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int StopSignalCaught() { return caught_stop_signal; }

void EndAsStopped(int signal) {
  std::fflush(stderr);
  ::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
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

bool PosixSystem::RunProgramAndWait(const std::string& program,
                                    const std::vector<std::string>& args, int32_t* exit_code) {
  std::string path = FindProgram(program);
  if (path.empty()) return false;
  std::vector<std::string> strings;
  strings.push_back(program);
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::vector<std::string> entries;
  std::vector<char*> envp;
  if (!own_environment_) {
    for (const auto& [name, value] : environment_) entries.push_back(name + "=" + value);
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }
  pid_t pid;
  if (::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(),
                    own_environment_ ? environ : envp.data()) != 0) {
    return false;
  }
  int status = 0;
  bool asked_to_end = false;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
    if (caught_stop_signal != 0 && !asked_to_end) {
      ::kill(pid, SIGTERM);
      asked_to_end = true;
    }
  }
  *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool PosixSystem::ReadRegistryString(const std::string& key_path, const std::string& value_name,
                                     std::string* value) {
  std::string path = EnvironmentValue("TORVI32_REGISTRY");
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
  std::string text = ProgramName() + ": " + EscapeControlCharacters(line) + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

bool WriteStandardOutput(const std::string& text) {
  bool whole = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && whole;
}

void ReportOutOfMemory(const char* what) {
  std::fprintf(stderr, "%s: out of memory: %s\n", ProgramName().c_str(), what);
  std::fflush(stderr);
}

void SetProgramName(const std::string& name) { ProgramName() = name; }

std::string ReportedProgramName() { return ProgramName(); }

void ReportOnStderr() {}  // it always does

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
