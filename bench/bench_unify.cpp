/* Unification of large terms: structurally equal ground terms of about 1M cells (a long list
 * and a deep binary tree), and binding-heavy unification of long lists of variables against
 * values and against younger variables, every binding trailed and undone between runs. */
#include <vector>

#include "bench_common.h"
#include "numbers.h"
#include "objareas.h"

namespace {

constexpr int LIST_LENGTH = 87381;  /* 12 cells an element: 1,048,572 cells */
constexpr int TREE_DEPTH = 18;      /* 2^18 - 1 nodes t(L, R, I): 1,048,572 cells */
constexpr int BIND_LENGTH = 524288; /* 2 cells an element: 1,048,576 cells */

TAGGED *heap_top(worker *w) { return w->global_top; }

TAGGED cons(worker *w, TAGGED head, TAGGED tail)
{
  TAGGED *p = w->global_top;
  p[0] = head;
  p[1] = tail;
  w->global_top += 2;
  return MakeLst(p);
}

TAGGED compound(worker *w, TAGGED functor, std::initializer_list<TAGGED> args)
{
  TAGGED *p = w->global_top;
  *p = functor;
  int i = 1;
  for (TAGGED a : args) p[i++] = a;
  w->global_top += args.size() + 1;
  return MakeStr(p);
}

/* [f(I, g(I), 2.5*I), ...]: small integers, compounds and float boxes. */
TAGGED ground_list(worker *w)
{
  TAGGED f = MakeFunctor(init_atom_check("f", 0), 3), g = MakeFunctor(init_atom_check("g", 0), 1);
  TAGGED list = atom_nil;
  for (int i = LIST_LENGTH; i-- > 0;) {
    TAGGED x = qx_make_double(w, 2.5 * i);
    TAGGED gi = compound(w, g, {MakeSmall(i)});
    list = cons(w, compound(w, f, {MakeSmall(i), gi, x}), list);
  }
  return list;
}

TAGGED tree(worker *w, TAGGED t, int depth, int *leaf)
{
  if (depth == 0) return MakeSmall((*leaf)++);
  TAGGED left = tree(w, t, depth - 1, leaf);
  TAGGED right = tree(w, t, depth - 1, leaf);
  return compound(w, t, {left, right, MakeSmall(depth)});
}

TAGGED ground_tree(worker *w)
{
  int leaf = 0;
  return tree(w, MakeFunctor(init_atom_check("t", 0), 3), TREE_DEPTH, &leaf);
}

/* A list of fresh variables (each element's head cell is the variable), or of small integers. */
TAGGED var_list(worker *w)
{
  TAGGED list = atom_nil;
  for (int i = 0; i < BIND_LENGTH; i++) {
    TAGGED *p = w->global_top;
    list = cons(w, 0, list);
    p[0] = MakeRef(p);
  }
  return list;
}

TAGGED int_list(worker *w)
{
  TAGGED list = atom_nil;
  for (int i = 0; i < BIND_LENGTH; i++) list = cons(w, MakeSmall(i), list);
  return list;
}

void require(bool ok, const char *what)
{
  if (!ok) {
    std::fprintf(stderr, "bench_unify: %s\n", what);
    std::exit(1);
  }
}

/* Unifies two equal ground terms `runs` times: million cells of one term a second. */
double equal_terms(worker *w, TAGGED (*build)(worker *), size_t *cells, int runs)
{
  TAGGED *start = heap_top(w);
  TAGGED a = build(w);
  *cells = (size_t)(heap_top(w) - start);
  TAGGED b = build(w);
  int ok = 1;
  double seconds = bench_seconds([&] {
    for (int r = 0; r < runs; r++) ok &= cunify(w, a, b);
  });
  require(ok == 1, "equal terms did not unify");
  w->global_top = start;
  return (double)*cells * runs / seconds / 1e6;
}

/* Binds a list of old variables to `values` `runs` times, undoing the trail after each run:
 * million bindings a second. */
double bindings(worker *w, TAGGED (*values)(worker *), int runs)
{
  TAGGED *start = heap_top(w);
  TAGGED vars = var_list(w);
  TAGGED other = values(w);
  /* as if a choicepoint had just been made: every binding is conditional */
  TAGGED *uncond = w->global_uncond;
  w->global_uncond = w->global_top;
  uint32_t trail_mark = qx_trail_index(w); /* the trail block may move as it grows */
  double seconds = 0;
  for (int r = 0; r < runs; r++) {
    int ok = 1;
    seconds += bench_seconds([&] { ok = cunify(w, vars, other); });
    require(ok == 1 && qx_trail_index(w) - trail_mark == (uint32_t)BIND_LENGTH,
            "each variable is bound once and trailed");
    qx_untrail_to(w, w->trail_start + trail_mark);
  }
  w->global_uncond = uncond;
  w->global_top = start;
  return (double)BIND_LENGTH * runs / seconds / 1e6;
}

}  // namespace

int main(int argc, char **argv)
{
  int runs = argc > 1 ? std::atoi(argv[1]) : 100;
  BenchEngine e;
  worker *w = e.w;
  call_overflow(w, 4 * 1048576 + 4096, 0);
  size_t cells;
  double list_rate = equal_terms(w, ground_list, &cells, runs);
  std::printf("unify equal lists: %.1f M cells/s (%zu cells, %d runs)\n", list_rate, cells, runs);
  double tree_rate = equal_terms(w, ground_tree, &cells, runs);
  std::printf("unify equal trees: %.1f M cells/s (%zu cells, %d runs)\n", tree_rate, cells, runs);
  double value_rate = bindings(w, int_list, runs);
  std::printf(
      "bind variables to values: %.1f M bindings/s, %.1f M cells/s (%d bindings, %d runs)\n",
      value_rate, 2 * value_rate, BIND_LENGTH, runs);
  double var_rate = bindings(w, var_list, runs);
  std::printf(
      "bind variables to variables: %.1f M bindings/s, %.1f M cells/s (%d bindings, %d runs)\n",
      var_rate, 2 * var_rate, BIND_LENGTH, runs);
  return 0;
}
