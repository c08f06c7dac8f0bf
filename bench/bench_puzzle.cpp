/* Choicepoint-heavy search: every solution of 8 queens by selection with an incremental check,
 * and every solution of a five-house puzzle of member/3 over partial house terms. */
#include "bench_versus.h"

int main(int argc, char **argv)
{
  int scale = argc > 1 ? std::atoi(argv[1]) : 1;
  BenchEngine e;
  versus(
      e, "queens 8, all solutions",
      "queens(N, Qs) :- range(1, N, Ns), place(Ns, [], Qs).\n"
      "place([], Qs, Qs).\n"
      "place(Free, Safe, Qs) :- sel(Q, Free, R), no_attack(Q, Safe, 1), place(R, [Q|Safe], Qs).\n"
      "no_attack(_, [], _).\n"
      "no_attack(Q, [Q1|Qs], D) :- Q =\\= Q1 + D, Q =\\= Q1 - D, D1 is D + 1, no_attack(Q, Qs, "
      "D1).\n"
      "sel(X, [X|T], T).\n"
      "sel(X, [H|T], [H|R]) :- sel(X, T, R).\n"
      "range(N, N, [N]) :- !.\n"
      "range(L, H, [L|T]) :- L1 is L + 1, range(L1, H, T).\n",
      "queens(8, _), fail ; true", 20 * scale);
  versus(
      e, "houses, all solutions",
      "houses(Hs) :- Hs = [h(_,_,_,_,_), h(_,_,_,_,_), h(_,_,_,_,_), h(_,_,_,_,_), h(_,_,_,_,_)],\n"
      "  mem(h(blue,baker,_,_,_), Hs), mem(h(_,smith,cat,_,_), Hs),\n"
      "  left(h(green,_,_,_,_), h(white,_,_,_,_), Hs), mem(h(_,_,_,tea,oak), Hs),\n"
      "  Hs = [_, _, h(_,_,_,milk,_), _, _], Hs = [h(_,cook,_,_,_)|_],\n"
      "  next(h(_,cook,_,_,_), h(red,_,_,_,_), Hs), mem(h(yellow,_,_,_,pine), Hs),\n"
      "  next(h(_,_,_,_,elm), h(_,_,fox,_,_), Hs), next(h(_,_,_,_,pine), h(_,_,horse,_,_), Hs),\n"
      "  mem(h(_,_,_,juice,ash), Hs), mem(h(_,tailor,_,coffee,_), Hs),\n"
      "  mem(h(_,smith,_,_,_), Hs), mem(h(_,potter,_,_,birch), Hs), mem(h(_,_,fish,_,_), Hs),\n"
      "  mem(h(_,_,_,water,_), Hs), mem(h(_,_,dog,_,_), Hs), mem(h(_,mason,_,_,_), Hs).\n"
      "mem(X, [X|_]).\n"
      "mem(X, [_|T]) :- mem(X, T).\n"
      "left(A, B, [A, B|_]).\n"
      "left(A, B, [_|T]) :- left(A, B, T).\n"
      "next(A, B, L) :- left(A, B, L).\n"
      "next(A, B, L) :- left(B, A, L).\n",
      "houses(_), fail ; true", 300 * scale);
  return 0;
}
