// What the rollback journal's syncs cost on this machine: the time of one
// fsync of a file after a 512-byte overwrite, of one fsync of a folder, and
// of one journal's life as the engine lives it (create, write, fsync, fsync
// of the folder, delete). Through the platform's own file layer, as the
// engine calls it.
//
// Usage: sync_cost [FOLDER [ROUNDS]]   (FOLDER defaults to $TMPDIR or /tmp)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"

namespace {

using Clock = std::chrono::steady_clock;

double MicrosecondsPerRound(Clock::time_point since, int rounds) {
  return std::chrono::duration<double, std::micro>(Clock::now() - since).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = getenv("TMPDIR");
  std::string folder = argc > 1 ? argv[1] : (tmp && *tmp ? tmp : "/tmp");
  int rounds = argc > 2 ? atoi(argv[2]) : 1000;
  if (rounds <= 0) rounds = 1000;
  platform::FileSystem* fs = platform::FileSystem::Platform();
  std::string path = folder + "/sync_cost." + std::to_string(getpid());
  std::string journal = path + "-journal";
  std::unique_ptr<platform::File> file;
  if (fs->Open(path, platform::OpenMode::kCreateNew, &file) != 0) {
    fprintf(stderr, "sync_cost: cannot create %s\n", path.c_str());
    return 1;
  }
  std::vector<char> sector(512, 'x');
  for (int i = 0; i < 64; ++i) file->WriteAt(i * 512, sector.data(), sector.size());
  file->Sync();

  Clock::time_point start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    file->WriteAt((i % 64) * 512, sector.data(), sector.size());
    if (file->Sync() != 0) return 1;
  }
  double file_sync = MicrosecondsPerRound(start, rounds);

  start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (fs->SyncFolderOf(path) != 0) return 1;
  }
  double folder_sync = MicrosecondsPerRound(start, rounds);

  start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    std::unique_ptr<platform::File> j;
    if (fs->Open(journal, platform::OpenMode::kCreateOrTruncate, &j) != 0) return 1;
    j->WriteAt(0, sector.data(), sector.size());
    if (j->Sync() != 0 || fs->SyncFolderOf(journal) != 0) return 1;
    j.reset();
    if (fs->Delete(journal) != 0) return 1;
  }
  double journal_life = MicrosecondsPerRound(start, rounds);

  file.reset();
  fs->Delete(path);
  printf("fsync of a file after a 512-byte overwrite: %7.1f us\n", file_sync);
  printf("fsync of its folder:                        %7.1f us\n", folder_sync);
  printf("a journal's life (create, write, fsync, fsync of the folder, delete): %7.1f us\n",
         journal_life);
  printf("a task written (5 syncs) costs at least:    %7.1f us\n",
         3 * file_sync + 2 * folder_sync);
  return 0;
}
