/* Running clause code against terms (see clause_try.h). */
#include "clause_try.h"

#include <cstring>
#include <vector>

#include "atoms.h"
#include "unify.h"

namespace {

/* Argument runs still to walk: term cells (read walks) or heap cells to fill (builds), and the
 * cells beside them: template cells, or the instance's own cells inside a ground subterm. */
struct Run {
  TAGGED *terms;
  const uint32_t *cells;
  uint32_t left;
  bool ground;
};
std::vector<Run> runs;

/* The block of compound cell c met in a run of kind `ground`; *args_ground tells the kind of its
 * argument cells. */
inline const uint32_t *block_of(const uint32_t *blocks, uint32_t c, bool ground, bool *args_ground)
{
  if (ground) {
    *args_ground = true;
    return qx_t_instance_block(blocks, c);
  }
  return qx_t_block_of(blocks, c, args_ground);
}

/* Lays out the block of compound cell c at the heap top, stores its term in *dest and leaves
 * its arguments as a run. */
inline void place(worker *w, const uint32_t *blocks, TAGGED *dest, uint32_t c, bool ground)
{
  bool args_ground;
  const uint32_t *src = block_of(blocks, c, ground, &args_ground);
  TAGGED *p = w->global_top;
  if ((c & 3) == QX_T_LST) {
    w->global_top += 2;
    *dest = MakeLst(p);
    runs.push_back(Run{p, src, 2, args_ground});
    return;
  }
  TAGGED f = src[0];
  *dest = MakeStr(p);
  if (IsBoxHeader(f)) {
    uint32_t n = (uint32_t)BoxWords(f);
    std::memcpy(p, src, n * sizeof(TAGGED));
    w->global_top += n;
    return;
  }
  uint32_t n = Arity(f);
  w->global_top += n + 1;
  p[0] = qx_t_functor(f);
  runs.push_back(Run{p + 1, src + 1, n, args_ground});
}

/* qx_try_build from a cell of either kind. */
TAGGED build(worker *w, const uint32_t *blocks, TAGGED *env, uint32_t t, bool ground)
{
  TAGGED result;
  size_t base = runs.size();
  place(w, blocks, &result, t, ground);
  while (runs.size() > base) {
    Run &run = runs.back();
    TAGGED *dest = run.terms++;
    uint32_t c = *run.cells++;
    bool in_ground = run.ground;
    if (--run.left == 0) runs.pop_back(); /* before a block goes on: list tails need no stack */
    if (qx_t_simple(c))
      *dest = qx_try_put_simple(dest, env, c);
    else
      place(w, blocks, dest, c, in_ground);
  }
  return result;
}

/* Terms nested deeper than this are built on with the runs. */
constexpr int kRecursionDepth = 48;

void build_nested(worker *w, const uint32_t *blocks, TAGGED *env, TAGGED *dest, uint32_t c,
                  bool ground, int depth);

/* Fills the heap cell dest from template cell c met in a run of kind `ground`. */
inline void build_cell(worker *w, const uint32_t *blocks, TAGGED *env, TAGGED *dest, uint32_t c,
                       bool ground, int depth)
{
  if (qx_t_simple(c))
    *dest = qx_try_put_simple(dest, env, c);
  else if (depth < kRecursionDepth)
    build_nested(w, blocks, env, dest, c, ground, depth + 1);
  else
    *dest = build(w, blocks, env, c, ground);
}

/* The build of compound cell c into *dest by recursion over all arguments but the last, which
 * the loop goes on with (list tails need no depth). */
void build_nested(worker *w, const uint32_t *blocks, TAGGED *env, TAGGED *dest, uint32_t c,
                  bool ground, int depth)
{
  for (;;) {
    bool args_ground;
    const uint32_t *src = block_of(blocks, c, ground, &args_ground);
    TAGGED *p = w->global_top;
    uint32_t n = 2;
    if ((c & 3) == QX_T_LST) {
      w->global_top += 2;
      *dest = MakeLst(p);
    } else {
      TAGGED f = src[0];
      *dest = MakeStr(p);
      if (IsBoxHeader(f)) {
        uint32_t words = (uint32_t)BoxWords(f);
        std::memcpy(p, src, words * sizeof(TAGGED));
        w->global_top += words;
        return;
      }
      n = Arity(f);
      w->global_top += n + 1;
      *p++ = qx_t_functor(f);
      src++;
    }
    for (uint32_t i = 0; i + 1 < n; i++)
      build_cell(w, blocks, env, &p[i], src[i], args_ground, depth);
    uint32_t last = src[n - 1];
    dest = &p[n - 1];
    if (qx_t_simple(last)) {
      build_cell(w, blocks, env, dest, last, args_ground, depth);
      return;
    }
    c = last;
    ground = args_ground;
  }
}

}  // namespace

TAGGED qx_try_build(worker *w, const uint32_t *blocks, TAGGED *env, uint32_t t)
{
  if (qx_t_flat(t)) return qx_try_build_flat(w, blocks, env, t);
  TAGGED result;
  build_nested(w, blocks, env, &result, t, false, 0);
  return result;
}

bool qx_try_get(worker *w, const uint32_t *blocks, TAGGED *env, TAGGED a, uint32_t t)
{
  size_t base = runs.size();
  bool ground = false; /* t is a cell of the instance */
  for (;;) {
    switch (t & 3) {
    case QX_T_CONST:
      a = deref(a);
      if (IsRef(a))
        qx_try_bind(w, a, t);
      else if (a != t)
        goto fail;
      break;
    case QX_T_VAR:
      if (qx_t_first(t))
        env[qx_t_slot(t)] = a;
      else if (env[qx_t_slot(t)] != a && !cunify(w, env[qx_t_slot(t)], a))
        goto fail;
      break;
    default: {
      a = deref(a);
      if (IsRef(a)) {
        TAGGED built;
        build_nested(w, blocks, env, &built, t, ground, 0);
        qx_try_bind(w, a, built);
        break;
      }
      bool args_ground;
      const uint32_t *src = block_of(blocks, t, ground, &args_ground);
      if ((t & 3) == QX_T_LST) {
        if (!IsLst(a)) goto fail;
        runs.push_back(Run{LstPtr(a), src, 2, args_ground});
        break;
      }
      if (!IsStr(a)) goto fail;
      const TAGGED *tp = StrPtr(a);
      if (IsBoxHeader(src[0])) {
        if (std::memcmp(tp, src, BoxWords(src[0]) * sizeof(TAGGED)) != 0) goto fail;
        break;
      }
      if (tp[0] != qx_t_functor(src[0])) goto fail;
      runs.push_back(Run{(TAGGED *)tp + 1, src + 1, Arity(src[0]), args_ground});
      break;
    }
    }
    if (runs.size() == base) return true;
    Run &run = runs.back();
    a = *run.terms++;
    t = *run.cells++;
    ground = run.ground;
    if (--run.left == 0) runs.pop_back();
  }
fail:
  runs.resize(base);
  return false;
}

bool qx_try_eval_small(const uint32_t *blocks, const TAGGED *env, uint32_t t, int32_t *out)
{
  /* Post-order over the expression with fixed stacks: deeper expressions take the general path,
   * and so do ground ones (the instance's cells), which a body rarely computes. */
  constexpr int kDepth = 16;
  uint32_t todo[2 * kDepth];
  int32_t values[kDepth + 1];
  int ntodo = 0, nvalues = 0;
  todo[ntodo++] = t;
  while (ntodo) {
    uint32_t c = todo[--ntodo];
    if (c & 0x80000000u) { /* apply the functor in the low bits to the values on top */
      TAGGED f = c & ~0x80000000u;
      int arity = (int)Arity(f);
      int32_t x = values[nvalues - arity], y = arity == 2 ? values[nvalues - 1] : 0;
      nvalues -= arity;
      if (!qx_arith_small(f, x, y, &values[nvalues]) || !SmallFits(values[nvalues])) return false;
      nvalues++;
      continue;
    }
    TAGGED v;
    switch (c & 7) {
    case QX_T_CONST:
    case QX_T_CONST | QX_T_BIT: v = c; break;
    case QX_T_VAR: v = deref(env[qx_t_slot(c)]); break;
    case QX_T_STR: {
      const uint32_t *src = blocks + (c >> 4);
      TAGGED f = src[0];
      if (IsBoxHeader(f) || Arity(f) > 2 || ntodo + 3 > 2 * kDepth || nvalues + 2 > kDepth)
        return false;
      todo[ntodo++] = f | 0x80000000u;
      for (uint32_t i = Arity(f); i >= 1; i--) todo[ntodo++] = src[i];
      continue;
    }
    default: return false; /* a first occurrence (unbound), a list, a ground block */
    }
    /* Every value on the stack is a small integer: results that are not take the general path. */
    if (!IsSmall(v) || nvalues == kDepth) return false;
    values[nvalues++] = GetSmall(v);
  }
  *out = values[0];
  return true;
}

void qx_try_reset() { runs.clear(); }

void qx_try_deinit() { std::vector<Run>().swap(runs); }
