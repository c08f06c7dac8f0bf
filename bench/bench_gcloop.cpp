/* The collector under the interpreter: a last-call loop of 3e7 turns that leaves 12 words of
 * garbage a turn, and naive reverse of 30 elements in a deterministic loop of 200000 turns, each
 * in a child process of its own with the default heap, beside swipl -O: seconds, the ratio of
 * the times, collections, and the peak resident size of each process. */
#include "bench_child.h"

int main()
{
  bench_in_child("last-call loop 3e7, garbage",
                 "loop(0) :- !.\nloop(N) :- mk(N, T), keep(T), N1 is N - 1, loop(N1).\n"
                 "mk(N, f(N, [N, N, N], g(N))).\nkeep(_).\n",
                 "loop(30000000)");
  bench_in_child(
      "nrev30 loop 2e5, collecting",
      "app([], L, L).\napp([H|T], L, [H|R]) :- app(T, L, R).\n"
      "nrev([], []).\nnrev([H|T], R) :- nrev(T, RT), app(RT, [H], R).\n"
      "list30([1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,"
      "30]).\n"
      "loop(0) :- !.\nloop(N) :- list30(L), nrev(L, _), N1 is N - 1, loop(N1).\n",
      "loop(200000)");
  return 0;
}
