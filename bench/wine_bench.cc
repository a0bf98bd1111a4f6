// Benchmark: the POSIX programs natively and the Windows programs under Wine
// on the same inputs, in one run: a version-615 file of N tasks exported by
// Rebolan, the exported INI text built by Quarlen alone, and the conversion
// run end to end. Prints wall times, and whether both builds wrote the same
// INI text.
//
// Usage (scripts/bench-windows.sh prepares the Wine prefix):
//   CNF_WINDOWS_BUILD=<cross build> CNF_WINE=<wine> build/bench/wine_bench [N...]
// The Windows times include starting Wine (about 0.15 s with a running
// wineserver).

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "builder/password_store.h"
#include "tests/converter/writer_615.h"

extern char** environ;

namespace {

std::string SelfFolder() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string self(path);
  return self.substr(0, self.rfind('/'));
}

std::string WinPath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Runs argv with stdout to `out` (may be empty); the exit status, or -1.
int RunAndWait(const std::vector<std::string>& args, const std::string& out) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!out.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  pid_t pid;
  int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Timed {
  double seconds = 0;
  std::string exit_code;  // as text: the native status, or Windows' 8 hex digits
};

Timed RunNative(const std::vector<std::string>& args) {
  auto start = std::chrono::steady_clock::now();
  int status = RunAndWait(args, "");
  Timed t;
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  t.exit_code = std::to_string(status);
  return t;
}

// Runs `command_line` (a Windows command line) through windows_run.exe.
Timed RunWindows(const std::string& wine, const std::string& runner,
                 const std::string& command_line, const std::string& scratch) {
  ::setenv("CNF_RUN_COMMAND_LINE", command_line.c_str(), 1);
  auto start = std::chrono::steady_clock::now();
  int status = RunAndWait({wine, runner}, scratch);
  Timed t;
  t.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::unsetenv("CNF_RUN_COMMAND_LINE");
  std::string out = ReadFile(scratch);
  t.exit_code = status == 0 ? out.substr(0, 8) : "wine " + std::to_string(status);
  return t;
}

void Row(const char* what, const Timed& posix, const Timed& windows) {
  std::printf("| %s | %.2f s (exit %s) | %.2f s (exit %s) |\n", what, posix.seconds,
              posix.exit_code.c_str(), windows.seconds, windows.exit_code.c_str());
}

std::string MakeFolder(const std::string& path) {
  ::mkdir(path.c_str(), 0700);
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  const char* build = std::getenv("CNF_WINDOWS_BUILD");
  const char* wine_env = std::getenv("CNF_WINE");
  if (build == nullptr || wine_env == nullptr) {
    std::fprintf(stderr, "set CNF_WINDOWS_BUILD and CNF_WINE (scripts/bench-windows.sh)\n");
    return 2;
  }
  const std::string wine = wine_env;
  const std::string runner = std::string(build) + "/tests/windows/windows_run.exe";
  const std::string win_rebolan = WinPath(std::string(build) + "/tools/Rebolan.exe");
  const std::string win_quarlen = WinPath(std::string(build) + "/tools/Quarlen.exe");
  const std::string rebolan = SelfFolder() + "/../tools/Rebolan";
  const std::string quarlen = SelfFolder() + "/../tools/Quarlen";
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {100, 1000, 3000};

  char folder_template[] = "/tmp/wine-bench-XXXXXX";
  if (::mkdtemp(folder_template) == nullptr) return 1;
  const std::string root = folder_template;
  ::setenv("TMPDIR", MakeFolder(root + "/tmp").c_str(), 1);
  ::setenv("TORVI32_REGISTRY", (root + "/none.reg").c_str(), 1);

  // One start first, so that no figure carries Wine's own warming up.
  RunWindows(wine, runner, "\"" + win_rebolan + "\" /X", root + "/out.txt");
  std::printf("| Step | POSIX, native | Windows, under Wine |\n|---|---|---|\n");
  for (int count : counts) {
    const std::string dir = MakeFolder(root + "/n" + std::to_string(count));
    std::string stored = "bench-password";
    builder::ScramblePassword(reinterpret_cast<uint8_t*>(&stored[0]),
                              static_cast<uint32_t>(stored.size()));
    writer_615::Tree tree = writer_615::Skeleton(615, stored);
    for (int d = 0; d < 3; ++d) {
      tree.storages.push_back("DOMAIN" + std::to_string(d));
      for (int u = 0; u < 2; ++u) {
        tree.storages.push_back("DOMAIN" + std::to_string(d) + "/user" + std::to_string(u));
      }
    }
    for (int i = 0; i < count; ++i) {
      writer_615::Task task;
      task.name = "Task number " + std::to_string(i);
      task.task_flags = 0x90A11518;
      task.component_flags = 0x43;
      task.types = {"*.DOC", "*.XL?"};
      task.type_flags = {0, 1};
      task.areas = {"C:\\DATA", "D:\\BOOT.INI"};
      task.area_flags = {0x20, 0xC0};
      task.send_to = {"ADMIN", "OPS desk"};
      task.virus_found_msg = "Virus found\r\nCall the help desk";
      std::string area = i % 10 < 4    ? "_Common_"
                         : i % 10 == 4 ? "_Common_/_ReadOnly_"
                                       : "DOMAIN" + std::to_string(i % 3) + "/user" +
                                             std::to_string((i / 3) % 2);
      writer_615::AddTask(&tree, area + "/" + std::to_string(i + 1), task);
    }
    const std::string cnf = dir + "/Torvi32.CNF";
    if (writer_615::WriteTree(cnf, tree) != S_OK) return 1;
    std::printf("| **%d tasks** | | |\n", count);

    // Export runs of the same file.
    Timed posix = RunNative({rebolan, cnf, "-I" + dir + "/posix.ini", "-Pbench-password"});
    Timed windows = RunWindows(wine, runner,
                               "\"" + win_rebolan + "\" " + WinPath(cnf) + " /I" +
                                   WinPath(dir + "/windows.ini") + " /Pbench-password",
                               dir + "/out.txt");
    Row("export run (Rebolan)", posix, windows);
    const std::string posix_ini = ReadFile(dir + "/posix.ini");
    const bool same = !posix_ini.empty() &&
                      posix_ini == Replace(ReadFile(dir + "/windows.ini"), WinPath(cnf), cnf);

    // Quarlen alone on that text, each into a fresh file of its own.
    const std::string output_line = "OutputENG = " + cnf + "\r\n";
    WriteFile(dir + "/alone_posix.ini",
              Replace(posix_ini, output_line, "OutputENG = " + dir + "/alone_posix.CNF\r\n"));
    WriteFile(dir + "/alone_windows.ini",
              Replace(posix_ini, output_line,
                      "OutputENG = " + WinPath(dir + "/alone_windows.CNF") + "\r\n"));
    posix = RunNative({quarlen, dir + "/alone_posix.ini"});
    windows = RunWindows(wine, runner,
                         "\"" + win_quarlen + "\" " + WinPath(dir + "/alone_windows.ini"),
                         dir + "/out.txt");
    Row("Quarlen alone on the exported text", posix, windows);

    // Conversion runs end to end, each on its own copy.
    const std::string original = ReadFile(cnf);
    const std::string posix_cnf = MakeFolder(dir + "/posix") + "/Torvi32.CNF";
    const std::string windows_cnf = MakeFolder(dir + "/windows") + "/Torvi32.CNF";
    WriteFile(posix_cnf, original);
    WriteFile(windows_cnf, original);
    posix = RunNative({rebolan, posix_cnf});
    windows = RunWindows(wine, runner, "\"" + win_rebolan + "\" " + WinPath(windows_cnf),
                         dir + "/out.txt");
    Row("conversion run end to end (Rebolan, Quarlen)", posix, windows);
    std::printf("| same INI text from both builds | %s | |\n", same ? "yes" : "NO");
    std::fflush(stdout);
  }
  std::string remove = "rm -rf '" + root + "'";
  return std::system(remove.c_str()) == 0 ? 0 : 1;
}
