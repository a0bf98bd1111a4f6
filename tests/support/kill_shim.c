/* An LD_PRELOAD shim for kill tests of whole program runs: it counts every
 * call that changes a file or folder, across all the processes it is loaded
 * into, in a shared page (kill_shim.h), and strikes with a signal just
 * before the K-th one. The real calls are found with dlsym(RTLD_NEXT).
 *
 * Counted: open/open64/openat/openat64 for writing, creating or truncating;
 * write/pwrite/pwrite64/writev/pwritev on regular files (never on stderr,
 * pipes or terminals); ftruncate; fsync/fdatasync; rename/renameat/
 * renameat2; link/linkat; unlink/unlinkat; mkdir/mkdirat; rmdir; chown/
 * fchown/lchown/fchownat; chmod/fchmod/fchmodat; symlink/symlinkat. */
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "tests/support/kill_shim.h"

static struct KillPage* page;   /* NULL: the shim only passes calls on */
static uint64_t strike_at;      /* 0: never */
static int counts_here;         /* this process's calls count */
static int target_signal = SIGKILL;
static enum { kSelf, kGroup, kRebolan } target = kSelf;

static void CopyName(char* to, size_t size, const char* from) {
  strncpy(to, from, size - 1);
  to[size - 1] = '\0';
}

__attribute__((constructor)) static void KillShimInit(void) {
  const char* path = getenv("CNF_KILL_PAGE");
  if (path == NULL || *path == '\0') return;
  int (*real_open)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  int fd = real_open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* mapped = mmap(NULL, kKillPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) return;
  page = (struct KillPage*)mapped;

  const char* at = getenv("CNF_KILL_AT");
  strike_at = at != NULL ? strtoull(at, NULL, 10) : 0;
  const char* program = getenv("CNF_KILL_PROGRAM");
  counts_here = program == NULL || strcmp(program, "any") == 0 ||
                strcmp(program, program_invocation_short_name) == 0;
  const char* who = getenv("CNF_KILL_TARGET");
  if (who != NULL && strcmp(who, "group") == 0) target = kGroup;
  if (who != NULL && strcmp(who, "rebolan") == 0) target = kRebolan;
  const char* sig = getenv("CNF_KILL_SIGNAL");
  if (sig != NULL && atoi(sig) > 0) target_signal = atoi(sig);
  if (strcmp(program_invocation_short_name, "Rebolan") == 0) {
    __atomic_store_n(&page->rebolan_pid, (int32_t)getpid(), __ATOMIC_SEQ_CST);
  }
}

/* Counts one changing call named `call`; strikes first when it is the K-th. */
static void Count(const char* call) {
  if (page == NULL || !counts_here) return;
  int saved_errno = errno;
  uint64_t n = __atomic_add_fetch(&page->calls, 1, __ATOMIC_SEQ_CST);
  if (n <= CNF_KILL_LOGGED_CALLS) {
    CopyName(page->log[n - 1].program, sizeof page->log[n - 1].program,
             program_invocation_short_name);
    CopyName(page->log[n - 1].call, sizeof page->log[n - 1].call, call);
  }
  if (n == strike_at) {
    struct timeval now;
    gettimeofday(&now, NULL);
    page->struck_at_us = (int64_t)now.tv_sec * 1000000 + now.tv_usec;
    CopyName(page->struck.program, sizeof page->struck.program, program_invocation_short_name);
    CopyName(page->struck.call, sizeof page->struck.call, call);
    __atomic_store_n(&page->struck_pid, (int32_t)getpid(), __ATOMIC_SEQ_CST);
    pid_t whom = target == kGroup     ? 0
                 : target == kRebolan ? (pid_t)__atomic_load_n(&page->rebolan_pid, __ATOMIC_SEQ_CST)
                                      : getpid();
    if (whom > 0 || target == kGroup) kill(whom, target_signal);
  }
  errno = saved_errno;
}

/* Writes change a file only when they go to a regular one. */
static void CountWrite(int fd, const char* call) {
  struct stat st;
  if (page == NULL || fd == STDERR_FILENO) return;
  int saved_errno = errno;
  int regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  errno = saved_errno;
  if (regular) Count(call);
}

static int OpensForChange(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

/* The real function `name`, looked up once. */
#define REAL(name)                      \
  static __typeof__(&name) real_fn;     \
  if (real_fn == NULL) real_fn = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

/* The mode argument of an open that creates a file. */
#define OPEN_MODE(flags, last, mode)          \
  mode_t mode = 0;                            \
  if ((flags) & (O_CREAT | O_TMPFILE)) {      \
    va_list args;                             \
    va_start(args, last);                     \
    mode = (mode_t)va_arg(args, unsigned int); \
    va_end(args);                             \
  }

int open(const char* path, int flags, ...) {
  OPEN_MODE(flags, flags, mode);
  REAL(open);
  if (OpensForChange(flags)) Count(__func__);
  return real_fn(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  OPEN_MODE(flags, flags, mode);
  REAL(open64);
  if (OpensForChange(flags)) Count(__func__);
  return real_fn(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  OPEN_MODE(flags, flags, mode);
  REAL(openat);
  if (OpensForChange(flags)) Count(__func__);
  return real_fn(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  OPEN_MODE(flags, flags, mode);
  REAL(openat64);
  if (OpensForChange(flags)) Count(__func__);
  return real_fn(dir, path, flags, mode);
}

ssize_t write(int fd, const void* buffer, size_t size) {
  REAL(write);
  CountWrite(fd, __func__);
  return real_fn(fd, buffer, size);
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  REAL(pwrite);
  CountWrite(fd, __func__);
  return real_fn(fd, buffer, size, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off64_t offset) {
  REAL(pwrite64);
  CountWrite(fd, __func__);
  return real_fn(fd, buffer, size, offset);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
  REAL(writev);
  CountWrite(fd, __func__);
  return real_fn(fd, parts, count);
}

ssize_t pwritev(int fd, const struct iovec* parts, int count, off_t offset) {
  REAL(pwritev);
  CountWrite(fd, __func__);
  return real_fn(fd, parts, count, offset);
}

int ftruncate(int fd, off_t length) {
  REAL(ftruncate);
  Count(__func__);
  return real_fn(fd, length);
}

int fsync(int fd) {
  REAL(fsync);
  Count(__func__);
  return real_fn(fd);
}

int fdatasync(int fd) {
  REAL(fdatasync);
  Count(__func__);
  return real_fn(fd);
}

int rename(const char* from, const char* to) {
  REAL(rename);
  Count(__func__);
  return real_fn(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  REAL(renameat);
  Count(__func__);
  return real_fn(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
  REAL(renameat2);
  Count(__func__);
  return real_fn(from_dir, from, to_dir, to, flags);
}

int link(const char* from, const char* to) {
  REAL(link);
  Count(__func__);
  return real_fn(from, to);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
  REAL(linkat);
  Count(__func__);
  return real_fn(from_dir, from, to_dir, to, flags);
}

int unlink(const char* path) {
  REAL(unlink);
  Count(__func__);
  return real_fn(path);
}

int unlinkat(int dir, const char* path, int flags) {
  REAL(unlinkat);
  Count(__func__);
  return real_fn(dir, path, flags);
}

int mkdir(const char* path, mode_t mode) {
  REAL(mkdir);
  Count(__func__);
  return real_fn(path, mode);
}

int mkdirat(int dir, const char* path, mode_t mode) {
  REAL(mkdirat);
  Count(__func__);
  return real_fn(dir, path, mode);
}

int rmdir(const char* path) {
  REAL(rmdir);
  Count(__func__);
  return real_fn(path);
}

int chown(const char* path, uid_t owner, gid_t group) {
  REAL(chown);
  Count(__func__);
  return real_fn(path, owner, group);
}

int fchown(int fd, uid_t owner, gid_t group) {
  REAL(fchown);
  Count(__func__);
  return real_fn(fd, owner, group);
}

int lchown(const char* path, uid_t owner, gid_t group) {
  REAL(lchown);
  Count(__func__);
  return real_fn(path, owner, group);
}

int fchownat(int dir, const char* path, uid_t owner, gid_t group, int flags) {
  REAL(fchownat);
  Count(__func__);
  return real_fn(dir, path, owner, group, flags);
}

int chmod(const char* path, mode_t mode) {
  REAL(chmod);
  Count(__func__);
  return real_fn(path, mode);
}

int fchmod(int fd, mode_t mode) {
  REAL(fchmod);
  Count(__func__);
  return real_fn(fd, mode);
}

int fchmodat(int dir, const char* path, mode_t mode, int flags) {
  REAL(fchmodat);
  Count(__func__);
  return real_fn(dir, path, mode, flags);
}

int symlink(const char* target_path, const char* link_path) {
  REAL(symlink);
  Count(__func__);
  return real_fn(target_path, link_path);
}

int symlinkat(const char* target_path, int dir, const char* link_path) {
  REAL(symlinkat);
  Count(__func__);
  return real_fn(target_path, dir, link_path);
}
