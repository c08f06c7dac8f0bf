/* The collector under the interpreter: a last-call loop of 3e7 turns that leaves 12 words of
 * garbage a turn, and naive reverse of 30 elements in a deterministic loop of 200000 turns, each
 * in a child process of its own with the default heap, beside swipl -O: seconds, the ratio of
 * the times, collections, and the peak resident size of each process. */
#include <sys/wait.h>

#include "bench_common.h"
#include "gc.h"

namespace {

long peak_kb()
{
  FILE *f = std::fopen("/proc/self/status", "r");
  char line[256];
  long kb = -1;
  while (f && std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "VmHWM: %ld", &kb) == 1) break;
  if (f) std::fclose(f);
  return kb;
}

const char *peer_peak =
    "peak(KB) :- read_file_to_string('/proc/self/status', S, []),\n"
    "  sub_string(S, B, _, _, \"VmHWM:\"), B1 is B + 6, sub_string(S, B1, 24, _, R),\n"
    "  split_string(R, \"\\n\", \" \\t\", [F|_]), split_string(F, \" \", \" \", [N|_]),\n"
    "  number_string(KB, N).\n"
    "timed(G) :- statistics(cputime, _), get_time(T0), G, get_time(T1), T is T1 - T0,\n"
    "  peak(KB), format(\"t ~9f~nkb ~w~n\", [T, KB]).\n";

void one(const char *what, const std::string &program, const std::string &goal)
{
  std::fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    BenchEngine e;
    e.consult(program);
    uint64_t before = qx_gc_statistics()->collections;
    double s = bench_seconds([&] { e.run(goal); });
    double r[3] = {s, (double)(qx_gc_statistics()->collections - before), (double)peak_kb()};
    ssize_t n = write(fds[1], r, sizeof r);
    _exit(n == sizeof r ? 0 : 1);
  }
  close(fds[1]);
  double r[3] = {-1, 0, 0};
  bool got = read(fds[0], r, sizeof r) == sizeof r;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  if (!got) {
    std::printf("%s: the run failed\n", what);
    return;
  }
  auto peer = run_peer(program + peer_peak, "timed(" + goal + ")");
  double peer_s = peer.count("t") ? peer["t"] : -1;
  std::printf("%-28s %10.3f s    swipl -O %10.3f s    time ratio %.2f   %.0f collections   "
              "peak RSS %.0f KB, swipl %.0f KB\n",
              what, r[0], peer_s, peer_s > 0 ? r[0] / peer_s : 0, r[1], r[2],
              peer.count("kb") ? peer["kb"] : -1);
}

}  // namespace

int main()
{
  one("last-call loop 3e7, garbage",
      "loop(0) :- !.\nloop(N) :- mk(N, T), keep(T), N1 is N - 1, loop(N1).\n"
      "mk(N, f(N, [N, N, N], g(N))).\nkeep(_).\n",
      "loop(30000000)");
  one("nrev30 loop 2e5, collecting",
      "app([], L, L).\napp([H|T], L, [H|R]) :- app(T, L, R).\n"
      "nrev([], []).\nnrev([H|T], R) :- nrev(T, RT), app(RT, [H], R).\n"
      "list30([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,"
      "30]).\n"
      "loop(0) :- !.\nloop(N) :- list30(L), nrev(L, _), N1 is N - 1, loop(N1).\n",
      "loop(200000)");
  return 0;
}
