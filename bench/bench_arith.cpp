/* Arithmetic recursion: naive Fibonacci of 21 and an accumulator loop of 100000 turns. */
#include "bench_versus.h"

int main(int argc, char **argv)
{
  int scale = argc > 1 ? std::atoi(argv[1]) : 1;
  BenchEngine e;
  versus(e, "fib(21)",
         "fib(0, 0).\nfib(1, 1).\n"
         "fib(N, F) :- N > 1, N1 is N - 1, N2 is N - 2, fib(N1, F1), fib(N2, F2), F is F1 + F2.\n",
         "fib(21, _)", 10 * scale);
  versus(e, "accumulator loop 1e5",
         "sum(0, S, S) :- !.\n"
         "sum(N, S0, S) :- S1 is (S0 + N * 7) mod 1000003, N1 is N - 1, sum(N1, S1, S).\n",
         "sum(100000, 0, _)", 20 * scale);
  return 0;
}
