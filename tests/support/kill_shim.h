/* The page that the kill shim (kill_shim.c, loaded with LD_PRELOAD) shares
 * with the test that loads it: the file named by CNF_KILL_PAGE, mapped by
 * every process the shim is loaded into. Plain C, for the shim and the
 * test alike.
 *
 * The shim's environment:
 *   CNF_KILL_PAGE     the page's file, kKillPageBytes long, made by the test
 *   CNF_KILL_AT       K: the strike comes just before the K-th counted call
 *                     (0 or missing: only count)
 *   CNF_KILL_PROGRAM  whose calls count: "Rebolan", "Quarlen" or "any"
 *   CNF_KILL_TARGET   who is struck: "self" (the process making the call),
 *                     "group" (its process group) or "rebolan" (the
 *                     Rebolan process of the run)
 *   CNF_KILL_SIGNAL   the signal's number (default 9, SIGKILL)
 */
#ifndef CNF_TESTS_SUPPORT_KILL_SHIM_H_
#define CNF_TESTS_SUPPORT_KILL_SHIM_H_

#include <stdint.h>

#define CNF_KILL_LOGGED_CALLS 256

struct KillLogEntry {
  char program[12]; /* the process's short name, cut to 11 characters */
  char call[20];    /* "rename", "pwrite", ... */
};

struct KillPage {
  uint64_t calls;       /* counted calls so far, the struck one included */
  int32_t rebolan_pid;  /* set when the shim is loaded into Rebolan */
  int32_t struck_pid;   /* the process that struck; 0 until then */
  int64_t struck_at_us; /* when it struck: gettimeofday, in microseconds */
  struct KillLogEntry struck;
  /* The first counted calls in their order, for reports. */
  struct KillLogEntry log[CNF_KILL_LOGGED_CALLS];
};

enum { kKillPageBytes = 16384 };

#endif
