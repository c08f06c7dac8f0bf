/* Naive reverse of a 30-element list on the interpreter: 496 logical inferences per run. */
#include "../tests/support/test_natives.h"
#include "bench_common.h"

int main(int argc, char **argv)
{
  int runs = argc > 1 ? std::atoi(argv[1]) : 20000;
  BenchEngine e;
  qx_define_native(qx_eg.user_module, "bench_between", 3, test_between, test_between_retry,
                   ENTER_C_NONDET);
  e.consult(
      "app([], L, L). app([H|T], L, [H|R]) :- app(T, L, R). "
      "nrev([], []). nrev([H|T], R) :- nrev(T, RT), app(RT, [H], R). "
      "list30([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30]). "
      "run(N) :- list30(L), bench_between(1, N, _), nrev(L, _), fail. run(_). "
      "empty(N) :- list30(L), bench_between(1, N, _), dummy(L, _), fail. empty(_). "
      "dummy(_, _). ");
  e.run("run(100)");
  double loop = bench_seconds([&] { e.run("empty(" + std::to_string(runs) + ")"); });
  double total = bench_seconds([&] { e.run("run(" + std::to_string(runs) + ")"); });
  double lips = 496.0 * runs / (total - loop);
  std::printf("nrev30: %.1f MLIPS (%d runs, %.3f s)\n", lips / 1e6, runs, total - loop);
  return 0;
}
