/* A benchmark goal run in a child process of its own with the default areas, beside swipl -O on
 * the same program: seconds, the ratio of the times, heap collections and the peak resident size
 * of each process (its own, so that one run's areas do not count in the next). */
#ifndef QX_BENCH_CHILD_H
#define QX_BENCH_CHILD_H

#include <sys/wait.h>

#include "bench_common.h"
#include "gc.h"

/* VmHWM of this process, in KB. */
inline long bench_peak_kb()
{
  FILE *f = std::fopen("/proc/self/status", "r");
  char line[256];
  long kb = -1;
  while (f && std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmHWM: %ld", &kb) == 1) break;
  if (f) std::fclose(f);
  return kb;
}

inline const char *bench_peer_peak =
    "peak(KB) :- read_file_to_string('/proc/self/status', S, []),\n"
    "  sub_string(S, B, _, _, \"VmHWM:\"), B1 is B + 6, sub_string(S, B1, 24, _, R),\n"
    "  split_string(R, \"\\n\", \" \\t\", [F|_]), split_string(F, \" \", \" \", [N|_]),\n"
    "  number_string(KB, N).\n"
    "timed(G) :- statistics(cputime, _), get_time(T0), G, get_time(T1), T is T1 - T0,\n"
    "  peak(KB), format(\"t ~9f~nkb ~w~n\", [T, KB]).\n";

/* Prints one line: what, seconds, swipl's seconds, the time ratio, collections, both peaks. A
 * goal that fails or raises prints as such (a resource error is a result here, not a crash). */
inline void bench_in_child(const char *what, const std::string &program, const std::string &goal)
{
  std::fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    BenchEngine e;
    e.consult(program);
    uint64_t before = qx_gc_statistics()->collections;
    int rc = 0;
    double s = bench_seconds([&] { rc = e.run(goal); });
    double r[4] = {s, (double)(qx_gc_statistics()->collections - before), (double)bench_peak_kb(),
                   (double)rc};
    ssize_t n = write(fds[1], r, sizeof r);
    _exit(n == sizeof r ? 0 : 1);
  }
  close(fds[1]);
  double r[4] = {-1, 0, 0, 0};
  bool got = read(fds[0], r, sizeof r) == sizeof r;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  if (!got) {
    std::printf("%s: the run failed\n", what);
    return;
  }
  auto peer = run_peer(program + bench_peer_peak, "timed(" + goal + ")");
  double peer_s = peer.count("t") ? peer["t"] : -1;
  std::printf("%-34s %9.3f s%s   swipl -O %8.3f s   time ratio %.2f   %.0f collections   "
              "peak RSS %.0f KB, swipl %.0f KB\n",
              what, r[0],
              r[3] == 1   ? ""
              : r[3] == 0 ? " (failed)"
                          : " (error)",
              peer_s, peer_s > 0 ? r[0] / peer_s : 0, r[1], r[2],
              peer.count("kb") ? peer["kb"] : -1);
}

#endif
