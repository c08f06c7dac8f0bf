/* Naive reverse of a 30-element list on the interpreter: 496 logical inferences per run; the
 * loop less the same loop without the reverse, each the best of three, beside swipl -O. */
#include "../tests/support/test_natives.h"
#include "bench_common.h"

int main(int argc, char **argv)
{
  int runs = argc > 1 ? std::atoi(argv[1]) : 20000;
  BenchEngine e;
  qx_define_native(qx_eg.user_module, "bench_between", 3, test_between, test_between_retry,
                   ENTER_C_NONDET);
  const std::string program =
      "app([], L, L).\napp([H|T], L, [H|R]) :- app(T, L, R).\n"
      "nrev([], []).\nnrev([H|T], R) :- nrev(T, RT), app(RT, [H], R).\n"
      "list30([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30])."
      "\n"
      "run(N) :- list30(L), bench_between(1, N, _), nrev(L, _), fail.\nrun(_).\n"
      "empty(N) :- list30(L), bench_between(1, N, _), dummy(L, _), fail.\nempty(_).\n"
      "dummy(_, _).\n";
  e.consult(program);
  std::string n = std::to_string(runs);
  auto peer = run_peer(program, "run(100), bench_best(empty(" + n + "), empty), bench_best(run(" +
                                    n + "), run)");
  e.run("run(100)");
  double loop = bench_best([&] { e.run("empty(" + n + ")"); });
  double total = bench_best([&] { e.run("run(" + n + ")"); });
  double seconds = total - loop;
  double peer_seconds = peer.count("run") ? peer["run"] - peer["empty"] : -1;
  std::printf("nrev30, %d runs: %.1f MLIPS\n", runs, 496.0 * runs / seconds / 1e6);
  print_versus("nrev30, time per run", seconds / runs, peer_seconds / runs, "us", 1e6);
  return 0;
}
