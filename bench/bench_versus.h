/* A program timed on the interpreter and on swipl -O in the same run: the goal runs as a
 * failure-driven loop of `runs` turns, each side the best of three, and the line gives the time
 * per turn of each and the ratio of their times (below 1: this system is faster). */
#ifndef QX_BENCH_VERSUS_H
#define QX_BENCH_VERSUS_H

#include "../tests/support/test_natives.h"
#include "bench_common.h"

inline void versus(BenchEngine &e, const char *what, const std::string &program,
                   const std::string &goal, int runs)
{
  static bool defined = false;
  if (!defined)
    qx_define_native(qx_eg.user_module, "bench_between", 3, test_between, test_between_retry,
                     ENTER_C_NONDET);
  defined = true;
  e.consult(program);
  std::string loop =
      "(bench_between(1, " + std::to_string(runs) + ", _), " + goal + ", fail ; true)";
  if (e.run("(" + goal + ")") != 1) {
    std::fprintf(stderr, "%s: the goal failed\n", what);
    std::exit(1);
  }
  double ours = bench_best([&] { e.run(loop); });
  auto peer = run_peer(program, "bench_best(" + loop + ", t)");
  double peer_s = peer.count("t") ? peer["t"] : -1;
  if (peer_s >= 0)
    std::printf("%-28s %10.3f ms   swipl -O %10.3f ms   time ratio %.2f\n", what, ours * 1e3 / runs,
                peer_s * 1e3 / runs, ours / peer_s);
  else
    std::printf("%-28s %10.3f ms   swipl -O: not run\n", what, ours * 1e3 / runs);
}

#endif
