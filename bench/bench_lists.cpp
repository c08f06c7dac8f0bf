/* List building: a range of 500 integers, a mapped copy, a reverse with an accumulator, an append,
 * the length and the sum. */
#include "bench_versus.h"

int main(int argc, char **argv)
{
  int scale = argc > 1 ? std::atoi(argv[1]) : 1;
  BenchEngine e;
  versus(e, "list building, 500 elements",
         "range(L, H, []) :- L > H, !.\n"
         "range(L, H, [L|T]) :- L1 is L + 1, range(L1, H, T).\n"
         "double([], []).\ndouble([X|Xs], [Y|Ys]) :- Y is 2 * X, double(Xs, Ys).\n"
         "rev([], A, A).\nrev([X|Xs], A, R) :- rev(Xs, [X|A], R).\n"
         "app([], L, L).\napp([H|T], L, [H|R]) :- app(T, L, R).\n"
         "len([], N, N).\nlen([_|T], N0, N) :- N1 is N0 + 1, len(T, N1, N).\n"
         "sum([], S, S).\nsum([X|Xs], S0, S) :- S1 is S0 + X, sum(Xs, S1, S).\n"
         "pairs([], []).\npairs([X|Xs], [X-X|Ps]) :- pairs(Xs, Ps).\n"
         "lists(N) :- range(1, N, L), double(L, D), rev(D, [], R), app(L, R, LR), len(LR, 0, _),\n"
         "  sum(LR, 0, _), pairs(LR, _).\n",
         "lists(500)", 1000 * scale);
  return 0;
}
