/* A meta-interpreter over a clause table of its own: quicksort of 40 integers and naive reverse
 * of 20 elements, each goal resolved by solve/1. */
#include "bench_versus.h"

int main(int argc, char **argv)
{
  int scale = argc > 1 ? std::atoi(argv[1]) : 1;
  BenchEngine e;
  versus(e, "meta-interpreted qsort+nrev",
         "solve(true) :- !.\n"
         "solve((A, B)) :- !, solve(A), solve(B).\n"
         "solve(G) :- builtin(G), !, call(G).\n"
         "solve(G) :- cl(G, Body), solve(Body).\n"
         "builtin(_ =< _).\nbuiltin(_ > _).\nbuiltin(_ is _).\n"
         "cl(qsort([], R, R), true).\n"
         "cl(qsort([X|L], R, R0), (part(L, X, L1, L2), qsort(L2, R1, R0), qsort(L1, R, [X|R1]))).\n"
         "cl(part([], _, [], []), true).\n"
         "cl(part([X|L], Y, [X|L1], L2), (X =< Y, part(L, Y, L1, L2))).\n"
         "cl(part([X|L], Y, L1, [X|L2]), (X > Y, part(L, Y, L1, L2))).\n"
         "cl(app([], L, L), true).\n"
         "cl(app([H|T], L, [H|R]), app(T, L, R)).\n"
         "cl(nrev([], []), true).\n"
         "cl(nrev([H|T], R), (nrev(T, RT), app(RT, [H], R))).\n"
         "data([27,74,17,33,94,18,46,83,65,2,32,53,28,85,99,47,28,82,6,11,55,29,39,81,90,37,10,0,"
         "66,51,7,21,85,27,31,63,75,4,95,99]).\n"
         "run :- data(L), solve(qsort(L, _, [])), solve(nrev([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,"
         "16,17,18,19,20], _)).\n",
         "run", 2000 * scale);
  return 0;
}
