// Benchmark: a version-615 file with 10,000 tasks over several domains and
// users, exported and then converted end to end by the real Rebolan and
// Quarlen binaries (build/tools); then the converted file exported (/A) and
// compared (/C) with a copy of itself and with the version-615 file. Prints
// wall times and the peak resident memory of the child processes (measured
// by /usr/bin/time).
//
// Usage: build/bench/rebolan_bench [task-count]

#include <spawn.h>
#include <sys/resource.h>
#include <sys/types.h>
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
#include "tests/support/fake_no_sync_file_system.h"

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

// Runs argv and returns its exit status, or -1; *peak_kib gets the peak
// resident memory of the process and of the processes it waited for.
// The peak is taken by /usr/bin/time: a child started from this process
// inherits its high-water mark (the texts this bench holds) in ru_maxrss,
// but a grandchild forked by the small `time` does not.
double g_cpu_seconds = 0;  // CPU time (user + system) of the last run
std::string g_peak_file;   // where `time` writes the peak

int RunAndWait(const std::vector<std::string>& args, long* peak_kib) {
  std::vector<std::string> copy;
  const bool timed = ::access("/usr/bin/time", X_OK) == 0 && !g_peak_file.empty();
  if (timed) copy = {"/usr/bin/time", "-f", "%M", "-o", g_peak_file};
  copy.insert(copy.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  struct rusage usage;
  if (::wait4(pid, &status, 0, &usage) < 0) return -1;
  *peak_kib = usage.ru_maxrss;
  if (timed) {
    std::ifstream in(g_peak_file);
    long kib = 0;
    if (in >> kib) *peak_kib = kib;
  } else {
    std::fprintf(stderr, "rebolan_bench: no /usr/bin/time: peaks include this bench's memory\n");
  }
  g_cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                  usage.ru_stime.tv_usec / 1e6;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int task_count = argc > 1 ? std::atoi(argv[1]) : 10000;
  char folder_template[] = "/tmp/rebolan-bench-XXXXXX";
  if (::mkdtemp(folder_template) == nullptr) return 1;
  const std::string folder = folder_template;
  const std::string tmp = folder + "/tmp";
  ::mkdir(tmp.c_str(), 0700);
  ::setenv("TMPDIR", tmp.c_str(), 1);
  ::setenv("TORVI32_REGISTRY", (folder + "/none.reg").c_str(), 1);
  const std::string cnf = folder + "/Torvi32.CNF";
  g_peak_file = folder + "/peak";
  const std::string rebolan = SelfFolder() + "/../tools/Rebolan";

  // 40 % shared, 10 % read-only, the rest private over 5 domains x 4 users.
  std::string stored = "bench-password";
  builder::ScramblePassword(reinterpret_cast<uint8_t*>(&stored[0]),
                            static_cast<uint32_t>(stored.size()));
  writer_615::Tree tree = writer_615::Skeleton(615, stored);
  const int domains = 5, users = 4;
  for (int d = 0; d < domains; ++d) {
    tree.storages.push_back("DOMAIN" + std::to_string(d));
    for (int u = 0; u < users; ++u) {
      tree.storages.push_back("DOMAIN" + std::to_string(d) + "/user" + std::to_string(u));
    }
  }
  for (int i = 0; i < task_count; ++i) {
    writer_615::Task task;
    task.name = "Task number " + std::to_string(i);
    task.task_flags = 0x90A11518;
    task.component_flags = 0x43;
    task.types = {"*.DOC", "*.XL?"};
    task.type_flags = {0, 1};
    task.areas = {"C:\\DATA", "D:\\BOOT.INI"};
    task.area_flags = {0x20, 0xC0};
    task.send_to = {"ADMIN", "OPS desk"};
    task.resident_exclude_files = {"C:\\TEMP\\X.EXE"};
    task.virus_found_msg = "Virus found\r\nCall the help desk";
    std::string folder_name;
    if (i % 10 < 4) {
      folder_name = "_Common_";
    } else if (i % 10 == 4) {
      folder_name = "_Common_/_ReadOnly_";
    } else {
      folder_name = "DOMAIN" + std::to_string(i % domains) + "/user" +
                    std::to_string((i / domains) % users);
    }
    writer_615::AddTask(&tree, folder_name + "/" + std::to_string(i + 1), task);
  }
  auto start = std::chrono::steady_clock::now();
  // Writing the old file is set-up, not measured: without syncs.
  testing_support::FakeNoSyncFileSystem no_sync;
  platform::FileSystem::SetDefault(&no_sync);
  HRESULT written = writer_615::WriteTree(cnf, tree);
  platform::FileSystem::SetDefault(nullptr);
  if (written != S_OK) {
    std::fprintf(stderr, "cannot write %s\n", cnf.c_str());
    return 1;
  }
  std::printf("wrote %d tasks in %.2f s\n", task_count, Seconds(start));

  start = std::chrono::steady_clock::now();
  long export_kib = 0;
  int status =
      RunAndWait({rebolan, cnf, "-I" + folder + "/export.ini", "-Pbench-password"}, &export_kib);
  double export_seconds = Seconds(start);
  std::printf("export run (Rebolan alone): exit %d, %.2f s (CPU %.2f s), peak %.1f MiB\n",
              status, export_seconds, g_cpu_seconds, export_kib / 1024.0);

  const std::string old_copy = folder + "/old.CNF";
  {
    std::ifstream from(cnf, std::ios::binary);
    std::ofstream(old_copy, std::ios::binary) << from.rdbuf();
  }
  start = std::chrono::steady_clock::now();
  long convert_kib = 0;
  status = RunAndWait({rebolan, cnf}, &convert_kib);
  double convert_seconds = Seconds(start);
  std::printf("conversion run (export, hand-off, Quarlen's build, check): exit %d, %.2f s "
              "(CPU %.2f s), peak of Rebolan and Quarlen %.1f MiB\n",
              status, convert_seconds, g_cpu_seconds, convert_kib / 1024.0);
  // Quarlen alone on the exported text, into a fresh file, to show how the
  // conversion's time divides between the two programs.
  std::ifstream in(folder + "/export.ini", std::ios::binary);
  std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string output_line = "OutputENG = " + cnf + "\r\n";
  size_t at = ini.find(output_line);
  if (at != std::string::npos) {
    ini.replace(at, output_line.size(), "OutputENG = " + folder + "/alone.CNF\r\n");
    std::ofstream(folder + "/alone.ini", std::ios::binary) << ini;
    start = std::chrono::steady_clock::now();
    long quarlen_kib = 0;
    int quarlen_status = RunAndWait(
        {SelfFolder() + "/../tools/Quarlen", folder + "/alone.ini", "/LENG"}, &quarlen_kib);
    std::printf("of which Quarlen alone on the exported text: exit %d, %.2f s (CPU %.2f s), "
                "peak %.1f MiB\n",
                quarlen_status, Seconds(start), g_cpu_seconds, quarlen_kib / 1024.0);
  }
  // The converted file shown and compared.
  const std::string new_copy = folder + "/new-copy.CNF";
  {
    std::ifstream from(cnf, std::ios::binary);
    std::ofstream(new_copy, std::ios::binary) << from.rdbuf();
  }
  // A second copy of the old file, converted with a report.
  const std::string reported = folder + "/reported.CNF";
  {
    std::ifstream from(old_copy, std::ios::binary);
    std::ofstream(reported, std::ios::binary) << from.rdbuf();
  }
  struct Step {
    const char* what;
    std::vector<std::string> args;
  } steps[] = {
      {"export of the version-615 file with its report (/R)",
       {rebolan, old_copy, "-I" + folder + "/reported.ini", "-Pbench-password",
        "-R" + folder + "/export-report.json"}},
      {"conversion run with its report (/R)",
       {rebolan, reported, "-R" + folder + "/conversion-report.json"}},
      {"export of the version-616 file (/A)",
       {rebolan, cnf, "-I" + folder + "/616.ini", "-A", "-Pbench-password"}},
      {"comparison of the version-616 file with a copy (/C)",
       {rebolan, cnf, "-C" + new_copy, "-Pbench-password"}},
      {"comparison of the version-615 file with its conversion (/C)",
       {rebolan, old_copy, "-C" + cnf, "-Pbench-password"}},
  };
  for (const Step& step : steps) {
    start = std::chrono::steady_clock::now();
    long kib = 0;
    int step_status = RunAndWait(step.args, &kib);
    std::printf("%s: exit %d, %.2f s (CPU %.2f s), peak %.1f MiB\n", step.what, step_status,
                Seconds(start), g_cpu_seconds, kib / 1024.0);
    if (step_status != 0) status = step_status;
  }
  if (std::getenv("REBOLAN_BENCH_KEEP")) { std::printf("kept %s\n", folder.c_str()); return 0; }
  std::string cleanup = "rm -rf '" + folder + "'";
  if (std::system(cleanup.c_str()) != 0) return 1;
  return status == 0 ? 0 : 1;
}
