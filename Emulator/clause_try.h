/* Running a clause's code against terms: the head against the call's arguments, a goal's
 * arguments made from template cells, and the small-integer arithmetic a body runs inline.
 *
 * A frame's variable table (env) holds the value of each clause variable once met: the caller's
 * term for a head variable, or a fresh heap variable. Nothing in it lives only on the local
 * stack, so the table can go when the body's last goal is called. The tables in use are those
 * the continuation frames and else nodes name (the walk qx_running_clauses makes); the slots
 * met so far hold terms, the others whatever the stack held before (nothing clears a table), and
 * the word before the slots names the clause's blocks. Walks over templates are
 * iterative (an explicit stack of argument runs) and visit cells depth first, left to right, the
 * order in which the maker marked first occurrences.
 */
#ifndef QX_CLAUSE_TRY_H
#define QX_CLAUSE_TRY_H

#include "builtins.h"
#include "clause_code.h"
#include "objareas.h"
#include "unify.h"

/* qx_bind with its common case inline: most bindings in a clause try are of plain variables. */
static QX_HOT_INLINE void qx_try_bind(worker *w, TAGGED var, TAGGED value)
{
  TAGGED *cell = RefPtr(var);
  if (cell > w->heap_start && cell < w->global_top) {
    /* A heap variable, the common case: one range test for both the mark and the trail. */
    if (QX_UNLIKELY(IsAttVarCell(cell))) {
      qx_attvar_bind(w, cell, value);
      return;
    }
    *cell = value;
    if (cell < w->global_uncond) qx_trail_plain(w, cell);
    return;
  }
  qx_bind_plain(w, cell, value);
}

/* cunify with its common cases inline: a variable and a non-variable, two constants. */
static QX_HOT_INLINE bool qx_try_unify(worker *w, TAGGED x, TAGGED y)
{
  x = deref(x);
  y = deref(y);
  if (x == y) return true;
  if (IsRef(x) != IsRef(y)) {
    if (IsRef(x))
      qx_try_bind(w, x, y);
    else
      qx_try_bind(w, y, x);
    return true;
  }
  if (!IsRef(x) && (TagOf(x) != TagOf(y) || IsConst(x))) return false; /* boxes: cunify */
  return cunify(w, x, y);
}

/* The value of a constant or variable cell that fills heap cell dest: a first occurrence is
 * the cell itself. */
static inline TAGGED qx_try_put_simple(TAGGED *dest, TAGGED *env, uint32_t c)
{
  if ((c & 3) == QX_T_CONST) return c;
  if (qx_t_first(c)) {
    *dest = MakeRef(dest);
    env[qx_t_slot(c)] = *dest;
  }
  return env[qx_t_slot(c)];
}

/* The term of a flat block cell, laid out at the heap top (room made by the caller). */
static inline TAGGED qx_try_build_flat(worker *w, const uint32_t *blocks, TAGGED *env, uint32_t t)
{
  const uint32_t *src = blocks + (t >> 4);
  TAGGED *p = w->global_top;
  if ((t & 3) == QX_T_LST) {
    w->global_top += 2;
    p[0] = qx_try_put_simple(&p[0], env, src[0]);
    p[1] = qx_try_put_simple(&p[1], env, src[1]);
    return MakeLst(p);
  }
  uint32_t n = Arity(src[0]);
  w->global_top += n + 1;
  p[0] = src[0];
  for (uint32_t i = 1; i <= n; i++) p[i] = qx_try_put_simple(&p[i], env, src[i]);
  return MakeStr(p);
}

/* The term of a block cell, laid out at the heap top (room made by the caller). */
TAGGED qx_try_build(worker *w, const uint32_t *blocks, TAGGED *env, uint32_t t);

/* The term of template cell t: a constant, a variable's value (a first occurrence made a fresh
 * heap variable), or a block built on the heap. */
static QX_HOT_INLINE TAGGED qx_try_put(worker *w, const uint32_t *blocks, TAGGED *env, uint32_t t)
{
  if ((t & 7) == QX_T_VAR) return env[qx_t_slot(t)]; /* a variable met before: the commonest cell */
  switch (t & 3) {
  case QX_T_CONST: return t;
  case QX_T_VAR:
    if (qx_t_first(t)) {
      TAGGED *cell = w->global_top++;
      *cell = MakeRef(cell);
      env[qx_t_slot(t)] = *cell;
    }
    return env[qx_t_slot(t)];
  default: return qx_try_build(w, blocks, env, t);
  }
}

/* Unify term a with template cell t; false on a clash (bindings made stay for backtracking). */
bool qx_try_get(worker *w, const uint32_t *blocks, TAGGED *env, TAGGED a, uint32_t t);

/* Unify argument a with a variable or constant cell. */
static QX_HOT_INLINE bool qx_try_get_simple(worker *w, TAGGED *env, TAGGED a, uint32_t c)
{
  if ((c & 7) == (QX_T_VAR | QX_T_BIT)) { /* a first occurrence, the commonest cell, only stores */
    env[qx_t_slot(c)] = a;
    return true;
  }
  if ((c & 3) == QX_T_CONST) {
    a = deref(a);
    if (a == c) return true;
    if (!IsRef(a)) return false;
    qx_try_bind(w, a, c);
    return true;
  }
  TAGGED *slot = &env[qx_t_slot(c)];
  return *slot == a || qx_try_unify(w, *slot, a);
}

/* Unify argument a with flat block cell t. */
static QX_HOT_INLINE bool qx_try_get_flat(worker *w, const uint32_t *blocks, TAGGED *env, TAGGED a,
                                          uint32_t t)
{
  const uint32_t *src = blocks + (t >> 4);
  a = deref(a);
  if (IsRef(a)) {
    qx_try_bind(w, a, qx_try_build_flat(w, blocks, env, t));
    return true;
  }
  if ((t & 3) == QX_T_LST) {
    if (!IsLst(a)) return false;
    const TAGGED *p = LstPtr(a);
    return qx_try_get_simple(w, env, p[0], src[0]) && qx_try_get_simple(w, env, p[1], src[1]);
  }
  if (!IsStr(a) || StrFunctor(a) != src[0]) return false;
  const TAGGED *p = StrPtr(a);
  for (uint32_t i = 1, n = Arity(src[0]); i <= n; i++)
    if (!qx_try_get_simple(w, env, p[i], src[i])) return false;
  return true;
}

/* Unify the call's arguments term[0..arity-1] with the clause's head. */
static QX_HOT_INLINE bool qx_try_head(worker *w, const qx_clause_info *c, TAGGED *env,
                                      uint32_t arity)
{
  const uint32_t *blocks = c->code + c->blocks;
  for (uint32_t i = 0; i < arity; i++) {
    uint32_t t = c->code[i];
    TAGGED a = w->term[i];
    /* A first occurrence of a variable, the commonest cell, only stores; other variables,
     * constants and flat blocks need no walk. */
    if ((t & 7) == (QX_T_VAR | QX_T_BIT)) {
      env[qx_t_slot(t)] = a;
    } else if (qx_t_simple(t)) {
      if (!qx_try_get_simple(w, env, a, t)) return false;
    } else if (qx_t_flat(t)) {
      if (!qx_try_get_flat(w, blocks, env, a, t)) return false;
    } else if (!qx_try_get(w, blocks, env, a, t)) {
      return false;
    }
  }
  return true;
}

/* The value of arithmetic template cell t when every leaf is a small integer and every step
 * one of the fast operations: true with *out, else false and nothing changed (the caller then
 * runs the built-in itself). */
bool qx_try_eval_small(const uint32_t *blocks, const TAGGED *env, uint32_t t, int32_t *out);

/* The small integer of a leaf cell: a constant, or a variable met before and bound to one. */
static QX_HOT_INLINE bool qx_try_leaf(const TAGGED *env, uint32_t c, int32_t *out)
{
  TAGGED v;
  if ((c & 3) == QX_T_CONST)
    v = c;
  else if ((c & 7) == QX_T_VAR)
    v = deref(env[qx_t_slot(c)]);
  else
    return false;
  if (!IsSmall(v)) return false;
  *out = GetSmall(v);
  return true;
}

/* qx_try_eval_small with its common shapes inline: a leaf, or one operation on two leaves. */
static QX_HOT_INLINE bool qx_try_eval(const uint32_t *blocks, const TAGGED *env, uint32_t t,
                                      int32_t *out)
{
  if (qx_try_leaf(env, t, out)) return true;
  if ((t & 3) == QX_T_STR && qx_t_flat(t)) {
    const uint32_t *src = blocks + (t >> 4);
    int32_t x, y;
    if (Arity(src[0]) == 2 && qx_try_leaf(env, src[1], &x) && qx_try_leaf(env, src[2], &y)) {
      constexpr TAGGED plus2 = atom_plus | (2u << QX_ARITY_SHIFT);
      if (src[0] == functor_minus2)
        *out = x - y; /* small integers: no overflow in 32 bits */
      else if (src[0] == plus2)
        *out = x + y;
      else if (!qx_arith_small(src[0], x, y, out))
        return false;
      return SmallFits(*out);
    }
  }
  return qx_try_eval_small(blocks, env, t, out);
}

/* A built-in a body runs inline (qx_inline kind) with its argument cells: 1 success, 0 failure,
 * -1 when the built-in itself must run (nothing changed then). The caller made the heap room of
 * the call's arguments. */
static QX_HOT_INLINE int qx_try_inline(worker *w, int kind, const uint32_t *cells,
                                       const uint32_t *blocks, TAGGED *env)
{
  switch (kind) {
  case QX_INLINE_ASSIGN: env[qx_t_slot(cells[0])] = qx_try_put(w, blocks, env, cells[1]); return 1;
  case QX_INLINE_UNIFY: {
    TAGGED a = qx_try_put(w, blocks, env, cells[0]);
    return qx_try_unify(w, a, qx_try_put(w, blocks, env, cells[1])) ? 1 : 0;
  }
  case QX_INLINE_IS: {
    int32_t v;
    uint32_t t = cells[0];
    if ((t & 3) == QX_T_STR || (t & 3) == QX_T_LST || !qx_try_eval(blocks, env, cells[1], &v))
      return -1;
    TAGGED value = MakeSmall(v);
    if ((t & 3) == QX_T_CONST) return t == value;
    if (qx_t_first(t)) {
      env[qx_t_slot(t)] = value;
      return 1;
    }
    TAGGED a = deref(env[qx_t_slot(t)]);
    if (!IsRef(a)) return a == value;
    qx_try_bind(w, a, value);
    return 1;
  }
  default: {
    int32_t x, y;
    if (!qx_try_eval(blocks, env, cells[0], &x) || !qx_try_eval(blocks, env, cells[1], &y))
      return -1;
    switch (kind) {
    case QX_INLINE_EQ: return x == y;
    case QX_INLINE_NE: return x != y;
    case QX_INLINE_LT: return x < y;
    case QX_INLINE_GT: return x > y;
    case QX_INLINE_LE: return x <= y;
    default: return x >= y;
    }
  }
  }
}

/* Scratch depth of the walks, reset when a fault ends a run halfway. */
void qx_try_reset();
void qx_try_deinit();

#endif
