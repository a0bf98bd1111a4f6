// Times the builder's conversion on a generated INI file: 10,000 task
// sections over all three areas, several domains and users, and values in
// every list key. First on a fresh file, then once more on the resulting
// file with 100 "ToDelete" entries that name existing tasks (in a fresh
// generator state, as a new process would be).
//
//   quarlen_bench [tasks] [folder]
//
// Peak memory: /usr/bin/time -v quarlen_bench

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "bench/sync_switch.h"
#include "builder/ini_conversion.h"
#include "builder/startup.h"
#include "builder/task_storage.h"

namespace {

// Task i: one of three areas in turn; private tasks spread over 4 domains
// of 5 users.
std::string TaskSection(int i) {
  std::string s = "[Task" + std::to_string(i) + "]\n";
  s += "NameENG=Scan task " + std::to_string(i) + "\n";
  switch (i % 3) {
    case 0:
      s += "IsPrivate=1\nDomain=DOMAIN" + std::to_string(i % 4) + "\nUser=user" +
           std::to_string(i % 5) + "\n";
      break;
    case 1:
      s += "IsShared=1\n";
      break;
    default:
      s += "IsReadOnly=1\n";
      break;
  }
  s += "VirusFoundMsgENG=Virus found in task " + std::to_string(i) + "\\nCall the admin\n";
  s += "Priority=" + std::to_string(i % 7) + "\n";
  s += "UseIntegrityChecker=1\nUseBehaviourBlocker=1\n";
  s += "NetAlert=1\nSendTo=\"ADMIN\",\"ops, night\",\"desk" + std::to_string(i % 10) + "\"\n";
  s += "ResidentExcludeFiles=\"C:\\APP\\A.EXE\",\"C:\\APP\\B.EXE\"\n";
  s += "Areas=local,\"C:\\DATA" + std::to_string(i % 9) + "\\\"S-,\"D:\\X.COM\"\n";
  s += "Types=programs,*.doc,*.xls\n";
  return s;
}

// 100 "ToDelete" entries naming common and read-only tasks spread over the
// file, from task `offset` on.
std::string Deletions(int tasks, int offset) {
  std::string text = "[ToDelete]\nNumTasks=100\n";
  for (int k = 0; k < 100; ++k) {
    int i = (1 + offset + 3 * (k * (tasks / 3 - 2) / 100) + (k % 2)) % tasks;
    text += "Task" + std::to_string(k) + "=Scan task " + std::to_string(i) + "\n";
  }
  return text;
}

struct Seconds {
  double wall;
  double cpu;  // user + system: steadier than wall time on a shared machine
};

double CpuSeconds() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One run of the builder as the program makes it (one transaction per file).
Seconds RunSeconds(const std::string& ini_path) {
  auto start = std::chrono::steady_clock::now();
  double cpu_start = CpuSeconds();
  builder::RunBuilder(ini_path + " /LENG");
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          CpuSeconds() - cpu_start};
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace

int main(int argc, char** argv) {
  int tasks = argc > 1 ? std::atoi(argv[1]) : 10000;
  bool syncs = bench::ApplySyncSwitch();
  std::string folder;
  if (argc > 2) {
    folder = argv[2];
  } else {
    char pattern[] = "/tmp/quarlen-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    folder = pattern;
  }
  std::string cnf = folder + "/bench.CNF";
  std::string tasks_text;
  for (int i = 0; i < tasks; ++i) tasks_text += TaskSection(i);
  std::string main_text = "[MAIN]\nOutputENG=" + cnf + "\nPassword=secret\nNumTasks=" +
                          std::to_string(tasks) + "\n";
  std::string fresh_ini = folder + "/fresh.ini";
  WriteFile(fresh_ini, main_text + tasks_text);

  std::string again_ini = folder + "/again.ini";
  WriteFile(again_ini, main_text + Deletions(tasks, 0) + tasks_text);
  // The deletions alone, of other tasks, to tell their share.
  std::string delete_ini = folder + "/delete.ini";
  WriteFile(delete_ini, "[MAIN]\nOutputENG=" + cnf + "\n" + Deletions(tasks, 3));

  std::remove(cnf.c_str());
  Seconds fresh = RunSeconds(fresh_ini);
  Seconds deletions_alone = RunSeconds(delete_ini);
  builder::ResetStreamNameGenerator();
  Seconds again = RunSeconds(again_ini);

  std::ifstream size_probe(cnf, std::ios::binary | std::ios::ate);
  std::printf("tasks %d, syncs %s\n", tasks, syncs ? "on" : "off (CNF_BENCH_SYNC=off)");
  std::printf("fresh file: %.3f s wall, %.3f s CPU\n", fresh.wall, fresh.cpu);
  std::printf("100 deletions alone: %.3f s wall, %.3f s CPU\n", deletions_alone.wall,
              deletions_alone.cpu);
  std::printf("once more with 100 deletions: %.3f s wall, %.3f s CPU\n", again.wall, again.cpu);
  std::printf("file size: %lld bytes\n", static_cast<long long>(size_probe.tellg()));
  if (argc <= 2) {
    std::remove(cnf.c_str());
    std::remove(fresh_ini.c_str());
    std::remove(again_ini.c_str());
    std::remove(delete_ini.c_str());
    ::rmdir(folder.c_str());
  }
  return 0;
}
