/* General unification.
 *
 * Iterative: a compound's arguments but the last are pushed as one run on the worker's stack of
 * argument runs and the last is unified at once, so right-nested terms (lists) need no stack and
 * the depth of any term is bounded only by memory. Nothing is allocated on the heap, so a
 * unification never moves or collects anything.
 */
#include <cstring>

#include "memman.h"
#include "objareas.h"
#include "unify.h"

constexpr uint32_t RUN_WORDS = sizeof(qx_arg_run) / sizeof(TAGGED);
constexpr uint32_t FIRST_STACK_WORDS = 256 * RUN_WORDS;

void qx_runs_push(worker *w, uint32_t &depth, const TAGGED *a, const TAGGED *b, uint32_t n)
{
  uint32_t need = (depth + 1) * RUN_WORDS;
  if (need > w->unify_stack_size) {
    uint32_t size = w->unify_stack_size ? w->unify_stack_size * 2 : FIRST_STACK_WORDS;
    w->unify_stack = (TAGGED *)qx_checkrealloc(w->unify_stack, w->unify_stack_size * sizeof(TAGGED),
                                               size * sizeof(TAGGED), QX_SPACE_STACKS);
    w->unify_stack_size = size;
  }
  qx_arg_run *run = (qx_arg_run *)w->unify_stack + depth++;
  run->a = a;
  run->b = b;
  run->n = n;
}

bool qx_unify_init(worker *w)
{
  if (!w->unify_stack) {
    w->unify_stack =
        (TAGGED *)qx_checkalloc(FIRST_STACK_WORDS * sizeof(TAGGED), QX_SPACE_STACKS | QX_MAY_FAIL);
    w->unify_stack_size = w->unify_stack ? FIRST_STACK_WORDS : 0;
  }
  if (!w->wake_list) {
    w->wake_list = (TAGGED **)qx_checkalloc(QX_FIRST_WAKE_CAP * sizeof(TAGGED *),
                                            QX_SPACE_STACKS | QX_MAY_FAIL);
    w->wake_cap = w->wake_list ? QX_FIRST_WAKE_CAP : 0;
  }
  return w->unify_stack && w->wake_list;
}

void qx_unify_deinit(worker *w)
{
  if (w->unify_stack)
    qx_checkdealloc(w->unify_stack, w->unify_stack_size * sizeof(TAGGED), QX_SPACE_STACKS);
  w->unify_stack = nullptr;
  w->unify_stack_size = 0;
  if (w->wake_list) qx_checkdealloc(w->wake_list, w->wake_cap * sizeof(TAGGED *), QX_SPACE_STACKS);
  w->wake_list = nullptr;
  w->wake_cap = 0;
  w->wake_len = 0;
}

/* Bind a variable cell to a non-variable term; an attributed variable wakes. */
static inline void bind_value(worker *w, TAGGED *cell, TAGGED value)
{
  if (qx_is_attvar_cell(w, cell))
    qx_attvar_bind(w, cell, value);
  else
    qx_bind_plain(w, cell, value);
}

/* Two distinct unbound variables: a plain one is bound to an attributed one (no wake-up);
 * otherwise the younger (higher address: the heap grows upwards and the local stack lies above
 * it) is bound to the older, waking it when attributed. */
static void bind_variables(worker *w, TAGGED a, TAGGED b)
{
  TAGGED *ca = RefPtr(a), *cb = RefPtr(b);
  bool att_a = qx_is_attvar_cell(w, ca), att_b = qx_is_attvar_cell(w, cb);
  if (att_a != att_b) {
    if (att_a)
      qx_bind_plain(w, cb, a);
    else
      qx_bind_plain(w, ca, b);
    return;
  }
  TAGGED *younger = ca > cb ? ca : cb;
  TAGGED older = ca > cb ? b : a;
  if (att_a)
    qx_attvar_bind(w, younger, older);
  else
    qx_bind_plain(w, younger, older);
}

/* Boxed numbers unify when their headers and payload words are the same. */
static bool boxes_equal(TAGGED a, TAGGED b)
{
  int words = BoxWords(StrFunctor(a));
  return std::memcmp(StrPtr(a) + 1, StrPtr(b) + 1, (size_t)(words - 2) * sizeof(TAGGED)) == 0;
}

/* A pair of dereferenced cells settled without a walk: 1 unified, 0 a clash, -1 two compounds
 * of one tag (the caller walks them). */
static inline int unify_flat(worker *w, TAGGED a, TAGGED b)
{
  if (a == b) return 1;
  if (IsVar(a)) {
    if (IsVar(b))
      bind_variables(w, a, b);
    else
      bind_value(w, RefPtr(a), b);
    return 1;
  }
  if (IsVar(b)) {
    bind_value(w, RefPtr(b), a);
    return 1;
  }
  return TagOf(a) != TagOf(b) || IsConst(a) ? 0 : -1;
}

/* Unify one pair, pushing all but the last argument of compounds; false on a clash. When the
 * last argument settles at once the others are walked here in order, a run pushed only for
 * those after the first pair of compounds met: the order of bindings stays that of the runs. */
static bool unify_pair(worker *w, uint32_t &depth, TAGGED a, TAGGED b)
{
  for (;;) {
    a = deref(a);
    b = deref(b);
    int flat = unify_flat(w, a, b);
    if (flat >= 0) return flat != 0;
    const TAGGED *pa, *pb;
    uint32_t n;
    if (IsLst(a)) {
      pa = LstPtr(a);
      pb = LstPtr(b);
      n = 2;
    } else { /* two structures */
      TAGGED fa = StrFunctor(a);
      if (fa != StrFunctor(b)) return false;
      if (IsBoxHeader(fa)) return boxes_equal(a, b);
      pa = StrArgs(a);
      pb = StrArgs(b);
      n = Arity(fa);
      if (n == 0) return true;
    }
    a = deref(pa[n - 1]);
    b = deref(pb[n - 1]);
    if (n > 1 && (flat = unify_flat(w, a, b)) >= 0) {
      if (!flat) return false;
      uint32_t i = 0;
      for (;; i++) {
        if (i == n - 1) return true;
        a = deref(pa[i]);
        b = deref(pb[i]);
        if ((flat = unify_flat(w, a, b)) < 0) break;
        if (!flat) return false;
      }
      if (i + 2 < n) qx_runs_push(w, depth, pa + i + 1, pb + i + 1, n - 2 - i);
      continue;
    }
    if (n > 1) qx_runs_push(w, depth, pa, pb, n - 1);
  }
}

int cunify(worker *w, TAGGED a, TAGGED b)
{
  uint32_t depth = 0;
  do {
    if (!unify_pair(w, depth, a, b)) return 0;
  } while (qx_runs_next(w, depth, a, b));
  return 1;
}
