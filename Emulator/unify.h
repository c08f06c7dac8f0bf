/* Unification, attributed variables and the wake list. */
#ifndef QX_UNIFY_H
#define QX_UNIFY_H

#include "datadefs.h"

/* General unification, younger variables bound to older; nonzero on success. Does not undo
 * partial bindings on failure (the caller backtracks). */
int cunify(worker *w, TAGGED a, TAGGED b);

/* Attributes, per module slot. v is a dereferenced variable. */
TAGGED get_attributes(TAGGED v, mod_def *module);
void put_attributes(TAGGED v, TAGGED attribute, mod_def *module);
TAGGED *delete_attributes(TAGGED v, mod_def *module, int flag);
int pure_attributes(TAGGED v, mod_def *module);
int single_attribute(TAGGED v, mod_def *module);
/* Bind an attributed variable cell and register the wake-up. */
void qx_attvar_bind(worker *w, TAGGED *cell, TAGGED value);
/* Take the pending wake list (cells of bound attributed variables) / put a list back. */
uint32_t qx_wake_take(worker *w, TAGGED **out, uint32_t max);
void qx_wake_put(worker *w, TAGGED *const *cells, uint32_t n);
/* Restore the soft heap limit unless an event or a wake-up is pending. */
void qx_restore_soft_limit(worker *w);
/* Give a module an attribute slot (attr_no) when it has none. */
void save_attribute_info(mod_def *module);
mod_def *qx_attr_module(uint32_t slot);
/* The worker's unification stack and wake list, made with its areas so that unifying (above all
 * a ball with a catcher after memory ran out) allocates nothing until a term is deeper or wakes
 * more variables than the first blocks hold; false when they cannot be had. */
constexpr uint32_t QX_FIRST_WAKE_CAP = 64;
bool qx_unify_init(worker *w);
/* Free the worker's unification stack and wake list (called when its areas go). */
void qx_unify_deinit(worker *w);

/* An attributed variable's cell: a heap cell preceded by the -1 marker of its record
 * (record: -1, the variable, suspended goals, '$attrs'(S1..Sn)). */
static inline bool qx_is_attvar_cell(const worker *w, const TAGGED *cell)
{
  return cell > w->heap_start && cell < w->global_top && IsAttVarCell(cell);
}

/* The worker's stack of argument runs, shared by cunify and compare_terms: each run is n pairs
 * of cells walked left to right; `depth` counts the runs in use. */
struct qx_arg_run {
  const TAGGED *a;
  const TAGGED *b;
  uint32_t n;
};
void qx_runs_push(worker *w, uint32_t &depth, const TAGGED *a, const TAGGED *b, uint32_t n);
/* The next pair of the newest run into a and b; false when every run is done. */
static inline bool qx_runs_next(worker *w, uint32_t &depth, TAGGED &a, TAGGED &b)
{
  if (depth == 0) return false;
  qx_arg_run *run = (qx_arg_run *)w->unify_stack + (depth - 1);
  a = *run->a++;
  b = *run->b++;
  if (--run->n == 0) depth--;
  return true;
}

#endif
