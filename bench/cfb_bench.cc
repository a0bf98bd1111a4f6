// Benchmark of the compound-file engine in the builder's pattern: for each
// of N tasks, open the file, open "_Common_", create a stream with a fresh
// name, write 143 bytes, release everything. Then list and read all streams.
// Names are drawn as the builder draws them (decimal numbers from the C
// runtime's generator), so they arrive in no particular order.
//
// Usage: cfb_bench [N [FOLDER]]   (N defaults to 10000, FOLDER to $TMPDIR or /tmp;
// CNF_BENCH_SYNC=off measures without file and folder syncs)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_set>

#include <sys/resource.h>
#include <unistd.h>

#include "bench/sync_switch.h"
#include "platform/storage.h"

namespace {

using Clock = std::chrono::steady_clock;
using platform::kStorageMode;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Processor time (user + system) of this process so far: on a shared,
// loaded machine it varies less than the wall-clock time.
double CpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// The builder's stream names: three draws r1, r2, r3 of the runtime's
// generator, MulDiv(r3, r2, r1) in decimal; names already used are skipped.
class NameSource {
 public:
  std::string Next() {
    for (;;) {
      uint32_t r1 = Draw(), r2 = Draw(), r3 = Draw();
      if (r1 == 0) continue;
      uint64_t d = (static_cast<uint64_t>(r3) * r2 + r1 / 2) / r1;
      if (d == 0) continue;
      std::string name = std::to_string(d);
      if (used_.insert(name).second) return name;
    }
  }

 private:
  uint32_t Draw() {
    state_ = state_ * 214013u + 2531011u;
    return (state_ >> 16) & 0x7FFF;
  }
  uint32_t state_ = 1;
  std::unordered_set<std::string> used_;
};

bool Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) {
    fprintf(stderr, "cfb_bench: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return false;
  }
  return true;
}

// Creates a fresh file and adds n task streams in one run (a StorageScope,
// as the programs hold one, and its commit); returns seconds, or -1; *cpu
// gets the processor seconds (0 on failure).
double AddTasks(const std::string& path, int n, double* cpu) {
  *cpu = 0;
  unlink(path.c_str());
  {
    std::unique_ptr<platform::Storage> root, common;
    if (!Check(platform::CreateStorageFile(path, kStorageMode, &root), "create") ||
        !Check(root->CreateStorage(u"_Common_", kStorageMode, &common), "create _Common_")) {
      return -1;
    }
  }
  std::string task(143, 'x');
  NameSource names;
  Clock::time_point start = Clock::now();
  double cpu_start = CpuSeconds();
  platform::StorageScope scope;
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<platform::Storage> root, common;
    std::unique_ptr<platform::Stream> stream;
    uint32_t written;
    if (!Check(platform::OpenStorageFile(path, kStorageMode, &root), "open") ||
        !Check(root->OpenStorage(u"_Common_", kStorageMode, &common), "open _Common_") ||
        !Check(common->CreateStream(Wide(names.Next()), kStorageMode, &stream),
               "create stream") ||
        !Check(stream->Write(task.data(), 143, &written), "write")) {
      return -1;
    }
  }
  if (!scope.Commit().empty()) return -1;
  *cpu = CpuSeconds() - cpu_start;
  return Seconds(start);
}

// Lists and reads every stream of "_Common_"; returns seconds, or -1.
double ReadAll(const std::string& path, int expected) {
  Clock::time_point start = Clock::now();
  std::unique_ptr<platform::Storage> root, common;
  std::unique_ptr<platform::ElementEnumerator> e;
  if (!Check(platform::OpenStorageFile(path, kStorageMode, &root), "open") ||
      !Check(root->OpenStorage(u"_Common_", kStorageMode, &common), "open _Common_") ||
      !Check(common->EnumElements(&e), "enumerate")) {
    return -1;
  }
  platform::ElementStat stat;
  int count = 0;
  char buffer[512];
  while (e->Next(&stat) == S_OK) {
    std::unique_ptr<platform::Stream> stream;
    uint32_t read = 0;
    if (!Check(common->OpenStream(stat.name, kStorageMode, &stream), "open stream") ||
        !Check(stream->Read(buffer, sizeof(buffer), &read), "read")) {
      return -1;
    }
    if (read != 143) return -1;
    ++count;
  }
  if (count != expected) return -1;
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 10000;
  bool syncs = bench::ApplySyncSwitch();
  const char* tmp = getenv("TMPDIR");
  std::string folder = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
  std::string path = folder + "/cfb_bench." + std::to_string(getpid()) + ".cnf";

  // The small run is repeated and its best taken: it is short enough to be
  // thrown off by other work on the machine.
  double small = -1, small_cpu = 0;
  for (int i = 0; i < 5; ++i) {
    double cpu = 0;
    double t = AddTasks(path, 100, &cpu);
    if (t < 0) return 1;
    if (small < 0 || t < small) small = t;
    if (i == 0 || cpu < small_cpu) small_cpu = cpu;
  }
  double large_cpu = 0;
  double large = AddTasks(path, n, &large_cpu);
  double read = large >= 0 ? ReadAll(path, n) : -1;
  unlink(path.c_str());
  if (large < 0 || read < 0) return 1;
  printf("syncs: %s\n", syncs ? "on" : "off (CNF_BENCH_SYNC=off)");
  printf("add 100 tasks:   %8.3f s  %7.1f us/op  (cpu %7.1f us/op)\n", small, small / 100 * 1e6,
         small_cpu / 100 * 1e6);
  printf("add %d tasks: %8.3f s  %7.1f us/op  (cpu %7.1f us/op)\n", n, large, large / n * 1e6,
         large_cpu / n * 1e6);
  printf("ratio per op:    %8.2f  (cpu %.2f)\n", (large / n) / (small / 100),
         (large_cpu / n) / (small_cpu / 100));
  printf("list and read %d: %8.3f s\n", n, read);
  return 0;
}
