/* A deterministic loop whose callee binds its output in the head under its own choicepoint and
 * then cuts it: each call leaves a trail entry that only trail tidying drops. Two lengths, each
 * in a child process, beside swipl -O: seconds and peak resident size. */
#include "bench_child.h"

int main()
{
  const char *program = "h(N, f(N, N)) :- N > 0, !.\nh(N, g(N)).\n"
                        "loopd(0) :- !.\n"
                        "loopd(N) :- h(N, R), keep(R), N1 is N - 1, loopd(N1).\n"
                        "keep(_).\n";
  bench_in_child("loopd(8000000)", program, "loopd(8000000)");
  bench_in_child("loopd(60000000)", program, "loopd(60000000)");
  return 0;
}
