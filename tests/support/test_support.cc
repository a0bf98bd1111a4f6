#include "tests/support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <memory>
#include <stdexcept>
#include <vector>

#include "platform/storage.h"

extern char** environ;

namespace testing_support {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

std::string TempRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
}

// Reads both pipes to their ends without letting either fill up.
void Drain(int out_fd, int err_fd, std::string* out, std::string* err) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {out, err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = TempRoot() + "/cnftest-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() { ::nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string SourceDir() { return CNF_SOURCE_DIR; }
std::string BinaryDir() { return CNF_BINARY_DIR; }
std::string ProgramPath(const std::string& name) { return BinaryDir() + "/tools/" + name; }
std::string FixturePath(const std::string& relative) {
  return SourceDir() + "/tests/fixtures/" + relative;
}

// The user nobody: whom a test run as root runs a reader as.
constexpr uid_t kReaderUser = 65534;
constexpr gid_t kReaderGroup = 65534;

static bool AsRoot() { return ::geteuid() == 0; }

// This process's environment with the entries of `env` put in ("\x01unset"
// removes one), as "NAME=value" texts.
static std::vector<std::string> ChildEnvironment(const std::map<std::string, std::string>& env) {
  std::map<std::string, std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq != nullptr) environment[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [name, value] : env) {
    if (value == "\x01unset") {
      environment.erase(name);
    } else {
      environment[name] = value;
    }
  }
  std::vector<std::string> env_text;
  for (const auto& [name, value] : environment) env_text.push_back(name + "=" + value);
  return env_text;
}

// The argument and environment arrays of execve for `argv` and the child
// environment of `env`; the strings they point into live as long as it.
struct ExecArrays {
  std::vector<std::string> env_text, argv_copy;
  std::vector<char*> envp, args;
};
static ExecArrays MakeExecArrays(const std::vector<std::string>& argv,
                                 const std::map<std::string, std::string>& env) {
  ExecArrays exec;
  exec.env_text = ChildEnvironment(env);
  exec.argv_copy = argv;
  for (auto& e : exec.env_text) exec.envp.push_back(e.data());
  exec.envp.push_back(nullptr);
  for (auto& a : exec.argv_copy) exec.args.push_back(a.data());
  exec.args.push_back(nullptr);
  return exec;
}

static RunResult RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                            const std::map<std::string, std::string>& env,
                            const std::string& input, bool as_reader) {
  RunResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  ExecArrays exec = MakeExecArrays(argv, env);
  char** const envp = exec.envp.data();
  char** const args = exec.args.data();

  // posix_spawn has no portable chdir action on this libc version, so a
  // fork keeps the folder change in the child alone.
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (as_reader && AsRoot() &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kReaderGroup) != 0 ||
         ::setuid(kReaderUser) != 0)) {
      ::_exit(125);
    }
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(args[0], args, envp);
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (!input.empty()) {
    // A child that ends without reading its input would end this process
    // with SIGPIPE: the signal is held back and taken.
    sigset_t pipe_signal, old_mask;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
    const char* p = input.data();
    size_t left = input.size();
    while (left > 0) {
      ssize_t n = ::write(in_pipe[1], p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<size_t>(n);
    }
    const struct timespec no_wait = {0, 0};
    while (::sigtimedwait(&pipe_signal, nullptr, &no_wait) > 0) {
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  }
  ::close(in_pipe[1]);
  Drain(out_pipe[0], err_pipe[0], &result.out, &result.err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunResult Run(const std::vector<std::string>& argv, const std::string& cwd,
              const std::map<std::string, std::string>& env, const std::string& input) {
  return RunProgram(argv, cwd, env, input, /*as_reader=*/false);
}

int Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& err_path) {
  ExecArrays exec = MakeExecArrays(argv, env);
  char** const envp = exec.envp.data();
  char** const args = exec.args.data();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    ::execve(args[0], args, envp);
    ::_exit(127);
  }
  return pid;
}

RunResult RunAsReader(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::map<std::string, std::string>& env, const std::string& input) {
  return RunProgram(argv, cwd, env, input, /*as_reader=*/true);
}

void GiveToReader(const std::string& path, unsigned mode) {
  if (AsRoot() && ::chown(path.c_str(), kReaderUser, kReaderGroup) != 0) {
    throw std::runtime_error("chown failed: " + path);
  }
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    throw std::runtime_error("chmod failed: " + path);
  }
}

std::string OlefileDump(const std::string& cnf_path) {
  RunResult r = Run({"/usr/bin/python3", SourceDir() + "/tests/support/olefile_dump.py", cnf_path});
  if (r.exit_status != 0) return "ERROR: olefile_dump failed: " + r.err;
  return r.out;
}

std::map<std::string, std::string> StorageContents(const std::string& path) {
  std::map<std::string, std::string> contents;
  if (!PathExists(path)) return {{"absent", ""}};
  std::unique_ptr<platform::Storage> root;
  if (FAILED(platform::OpenStorageFile(path, platform::kStorageMode, &root))) {
    return {{"unreadable", ""}};
  }
  struct Level {
    platform::Storage* storage;
    std::string prefix;
  };
  std::vector<std::unique_ptr<platform::Storage>> keep;
  std::vector<Level> todo{{root.get(), ""}};
  while (!todo.empty()) {
    Level level = todo.back();
    todo.pop_back();
    std::unique_ptr<platform::ElementEnumerator> e;
    if (FAILED(level.storage->EnumElements(&e))) return {{"unreadable", ""}};
    platform::ElementStat stat;
    while (e->Next(&stat) == S_OK) {
      std::string name = level.prefix + std::string(stat.name.begin(), stat.name.end());
      if (stat.type == platform::ElementType::kStorage) {
        std::unique_ptr<platform::Storage> sub;
        if (FAILED(level.storage->OpenStorage(stat.name, platform::kStorageMode, &sub))) {
          return {{"unreadable", ""}};
        }
        contents[name + "/"] = "";
        todo.push_back({sub.get(), name + "/"});
        keep.push_back(std::move(sub));
        continue;
      }
      std::unique_ptr<platform::Stream> s;
      if (FAILED(level.storage->OpenStream(stat.name, platform::kStorageMode, &s))) {
        return {{"unreadable", ""}};
      }
      std::string bytes(static_cast<size_t>(stat.size), '\0');
      uint32_t read = 0;
      if (FAILED(s->Read(&bytes[0], static_cast<uint32_t>(bytes.size()), &read)) ||
          read != bytes.size()) {
        return {{"unreadable", ""}};
      }
      contents[name] = bytes;
    }
  }
  return contents;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text.push_back(kDigits[c >> 4]);
    text.push_back(kDigits[c & 15]);
  }
  return text;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> paths;
  DIR* d = ::opendir(folder.c_str());
  if (d == nullptr) return paths;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") paths.push_back(folder + "/" + name);
  }
  ::closedir(d);
  std::sort(paths.begin(), paths.end());
  return paths;
}

std::vector<std::string> FilesBelow(const std::string& folder) {
  std::vector<std::string> files;
  for (const std::string& path : FolderEntries(folder)) {
    struct stat info;
    const bool is_folder = ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    std::vector<std::string> inside = is_folder ? FilesBelow(path) : std::vector<std::string>{};
    if (inside.empty()) inside.push_back(path);
    files.insert(files.end(), inside.begin(), inside.end());
  }
  return files;
}

std::string Le32(uint32_t v) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return bytes;
}

}  // namespace testing_support
