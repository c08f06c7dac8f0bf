/* Running a clause's code against terms: the head against the call's arguments, a goal's
 * arguments made from template cells, and the small-integer arithmetic a body runs inline.
 *
 * A frame's variable table (env) holds the value of each clause variable once met: the caller's
 * term for a head variable, or a fresh heap variable. Nothing in it lives only on the local
 * stack, so the table can go when the body's last goal is called. Walks over templates are
 * iterative (an explicit stack of argument runs) and visit cells depth first, left to right, the
 * order in which the maker marked first occurrences.
 */
#ifndef QX_CLAUSE_TRY_H
#define QX_CLAUSE_TRY_H

#include "clause_code.h"
#include "objareas.h"

/* The term of a block cell, laid out at the heap top (room made by the caller). */
TAGGED qx_try_build(worker *w, const uint32_t *blocks, TAGGED *env, uint32_t t);

/* The term of template cell t: a constant, a variable's value (a first occurrence made a fresh
 * heap variable), or a block built on the heap. */
static inline TAGGED qx_try_put(worker *w, const uint32_t *blocks, TAGGED *env, uint32_t t)
{
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

/* Unify the call's arguments term[0..arity-1] with the clause's head. */
bool qx_try_head(worker *w, const qx_clause_info *c, TAGGED *env, uint32_t arity);

/* The value of arithmetic template cell t when every leaf is a small integer and every step
 * one of the fast operations: true with *out, else false and nothing changed (the caller then
 * runs the built-in itself). */
bool qx_try_eval_small(const uint32_t *blocks, const TAGGED *env, uint32_t t, int32_t *out);

/* A built-in a body runs inline (qx_inline kind) with its argument cells: 1 success, 0 failure,
 * -1 when the built-in itself must run (nothing changed then). The caller made the heap room of
 * the call's arguments. */
int qx_try_inline(worker *w, int kind, const uint32_t *cells, const uint32_t *blocks, TAGGED *env);

/* Scratch depth of the walks, reset when a fault ends a run halfway. */
void qx_try_reset();
void qx_try_deinit();

#endif
