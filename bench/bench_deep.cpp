/* Deep structure unification: two separately built complete binary trees of depth 13 unified
 * (no bindings), a tree with variable leaves unified with a ground one (a binding per leaf),
 * and a mirror image built by head matching. */
#include "bench_versus.h"

int main(int argc, char **argv)
{
  int scale = argc > 1 ? std::atoi(argv[1]) : 1;
  BenchEngine e;
  versus(e, "deep unify, trees of 8K",
         "tree(0, leaf(0)) :- !.\n"
         "tree(D, node(L, D, R)) :- D1 is D - 1, tree(D1, L), tree(D1, R).\n"
         "vtree(0, leaf(_)) :- !.\n"
         "vtree(D, node(L, D, R)) :- D1 is D - 1, vtree(D1, L), vtree(D1, R).\n"
         "mirror(leaf(X), leaf(X)).\n"
         "mirror(node(L, K, R), node(R1, K, L1)) :- mirror(L, L1), mirror(R, R1).\n"
         "trees(T1, T2, V) :- tree(13, T1), tree(13, T2), vtree(13, V).\n"
         "run(T1, T2, V) :- T1 = T2, \\+ \\+ V = T1, mirror(T1, M), mirror(M, T2).\n",
         "trees(T1, T2, V), run(T1, T2, V)", 40 * scale);
  return 0;
}
