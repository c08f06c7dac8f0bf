/* The native predicates through which the solver's Prolog library handles FD sets.
 *
 * Set arguments come from Prolog: they are checked for well-formedness (a native fails on
 * anything else) and, when their cells hold bound variables, rebuilt in temporary storage with the
 * references followed. Set results are computed in temporary storage and copied to the heap.
 */
#include "fd_kernel.h"
#include "fd_sets.h"

bool fds_check(TAGGED term, int32_t *count, bool *has_refs)
{
  bool refs = false;
  auto follow = [&refs](TAGGED t) {
    TAGGED d = deref(t);
    refs |= d != t;
    return d;
  };
  int64_t total = 0;
  bool infinite = false, first = true;
  int32_t prev_hi = 0;
  for (TAGGED l = follow(term); l != atom_nil; l = follow(LstTail(l))) {
    if (!IsLst(l)) return false;
    TAGGED pair = follow(LstHead(l));
    if (!IsLst(pair)) return false;
    TAGGED min = follow(LstHead(pair)), max = follow(LstTail(pair));
    if (!fds_is_bound(min) || !fds_is_bound(max) || min == atom_sup || max == atom_inf)
      return false;
    int32_t lo = fds_val(min), hi = fds_val(max);
    /* strictly increasing starts also end any cyclic list */
    if (lo > hi || (!first && (int64_t)lo <= (int64_t)prev_hi + 1)) return false;
    if (min == atom_inf || max == atom_sup)
      infinite = true;
    else
      total += (int64_t)hi - lo + 1;
    prev_hi = hi;
    first = false;
  }
  *count = infinite || total > QX_SMALL_MAX ? -1 : (int32_t)total;
  *has_refs = refs;
  return true;
}

TAGGED fds_import_set(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref ref)
{
  TAGGED term = fd_ref_get(api, ref);
  int32_t count;
  bool has_refs;
  if (!fds_check(term, &count, &has_refs)) return 0;
  if (!has_refs) return term;
  FDCONS cons;
  fdcons_init(&cons);
  for (TAGGED l = term; l != atom_nil; l = deref(LstTail(l))) {
    TAGGED pair = deref(LstHead(l));
    fds_cons_append(api, &cons, w, deref(LstHead(pair)), deref(LstTail(pair)));
  }
  return cons.head;
}

/* A small-integer argument, or 0. */
static TAGGED import_integer(ORVALIS_API_STRUCT *api, QX_term_ref ref)
{
  TAGGED t = fd_ref_get(api, ref);
  return IsSmall(t) ? t : 0;
}

/* Stores a temporary set result on the heap in an output argument. A result that reaches beyond
 * an end of the integer range holds an interval starting at sup or ending at inf, which no domain
 * can: that is an integer overflow, and the predicate fails with the flag set (false). */
static bool export_set(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, QX_term_ref out)
{
  for (TAGGED l = set; IsLst(l); l = fds_next(l))
    if (fds_interval(l)[0] == atom_sup || fds_interval(l)[1] == atom_inf) {
      fd_state(api)->fd_overflow = 1;
      fd_native_fail(api);
      return false;
    }
  set = fd_localize(api, w, set);
  fd_ref_put(api, out, fd_globalize(api, w, set, 0, 0));
  return true;
}

/* The temporary area is discarded first: the next allocation restarts at its first block. */
static worker *begin_set_predicate(ORVALIS_API_STRUCT *api)
{
  worker *w = fd_worker(api);
  w->numstack_end = nullptr;
  return w;
}

int prolog_fd_size_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set, QX_term_ref size)
{
  int32_t count;
  bool has_refs;
  if (!fds_check(fd_ref_get(api, set), &count, &has_refs)) return 0;
  fd_ref_put(api, size, count < 0 ? atom_sup : MakeSmall(count));
  return 1;
}

int prolog_fd_range_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref min, QX_term_ref max,
                                   QX_term_ref set)
{
  TAGGED lo = fd_ref_get(api, min), hi = fd_ref_get(api, max);
  if (!fds_is_bound(lo) || !fds_is_bound(hi)) return 0;
  if (fds_val(lo) > fds_val(hi) || hi == atom_inf || lo == atom_sup) {
    fd_ref_put(api, set, atom_nil);
    return 1;
  }
  TAGGED cells[4];
  fd_ref_put(api, set, fd_globalize(api, fd_worker(api), fds_stack_interval(cells, lo, hi), 0, 0));
  return 1;
}

int prolog_fd_cons_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref min, QX_term_ref max,
                                  QX_term_ref tail, QX_term_ref set)
{
  TAGGED lo = fd_ref_get(api, min), hi = fd_ref_get(api, max), rest = fd_ref_get(api, tail);
  if (!(IsSmall(lo) || lo == atom_inf) || !(IsSmall(hi) || hi == atom_sup) ||
      fds_val(lo) > fds_val(hi))
    return 0;
  if (rest != atom_nil) {
    if (!IsLst(rest) || !IsLst(deref(LstHead(rest)))) return 0;
    TAGGED next_min = deref(LstHead(deref(LstHead(rest))));
    if (!(IsSmall(next_min) || next_min == atom_inf) ||
        (int64_t)fds_val(hi) + 1 >= fds_val(next_min))
      return 0;
  }
  worker *w = fd_worker(api);
  call_overflow(w, 4 + 128, 0);
  TAGGED *cell = w->global_top;
  w->global_top += 4;
  cell[0] = MakeLst(cell + 2);
  cell[1] = fd_ref_get(api, tail); /* re-read: the heap may have been collected */
  cell[2] = lo;
  cell[3] = hi;
  fd_ref_put(api, set, MakeLst(cell));
  return 1;
}

void prolog_fd_dom_contains_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set, QX_term_ref x)
{
  worker *w = begin_set_predicate(api);
  TAGGED s = fds_import_set(api, w, set), value = import_integer(api, x);
  if (!s || !value || !fd_member(value, s)) fd_native_fail(api);
}

int prolog_fd_dom_intersect_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1,
                                           QX_term_ref set2)
{
  worker *w = begin_set_predicate(api);
  TAGGED a = fds_import_set(api, w, set1), b = fds_import_set(api, w, set2);
  if (!a || !b) {
    fd_native_fail(api);
    return 0;
  }
  if (!fd_intersection_min(a, b)) return 1;
  int code = fd_compare(a, b);
  return code == 1 || code == 3 ? 2 : 3;
}

/* The set-valued predicates differ in the operation and in whether its second input is a set
 * or an integer. */
typedef TAGGED (*set_operation)(ORVALIS_API_STRUCT *, worker *, TAGGED, TAGGED);

static void set_predicate(ORVALIS_API_STRUCT *api, QX_term_ref in1, QX_term_ref in2,
                          QX_term_ref out, set_operation operation, bool second_is_set)
{
  worker *w = begin_set_predicate(api);
  TAGGED a = fds_import_set(api, w, in1);
  TAGGED b = second_is_set ? fds_import_set(api, w, in2) : import_integer(api, in2);
  if (!a || !b) {
    fd_native_fail(api);
    return;
  }
  export_set(api, w, operation(api, w, a, b), out);
}

void prolog_fd_dom_intersection_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1,
                                               QX_term_ref set2, QX_term_ref set)
{
  set_predicate(api, set1, set2, set, fd_intersection, true);
}

void prolog_fd_dom_union_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1, QX_term_ref set2,
                                        QX_term_ref set)
{
  set_predicate(api, set1, set2, set, fd_union, true);
}

void prolog_fd_dom_subtract_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1,
                                           QX_term_ref set2, QX_term_ref set)
{
  set_predicate(api, set1, set2, set, fd_subtract, true);
}

void prolog_fd_dom_complement_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1,
                                             QX_term_ref set)
{
  worker *w = begin_set_predicate(api);
  TAGGED a = fds_import_set(api, w, set1);
  if (!a) {
    fd_native_fail(api);
    return;
  }
  if (export_set(api, w, fd_complement(api, w, a), set)) return;
  /* An unrepresentable complement goes through the overflow handling; the action, which runs in
   * error mode only, is shown fdset_complement(_, _). */
  TAGGED culprit = atom_nil;
  if (fd_state(api)->overflowing) {
    QX_term_ref goal = fd_new_refs(api, 1);
    QX_put_functor(goal, QX_atom_from_string("fdset_complement"), 2);
    culprit = fd_ref_get(api, goal);
  }
  fd_check_overflow(api, culprit);
}

static TAGGED insert_value(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED value)
{
  return fd_insert_into(api, w, value, set);
}

void prolog_fd_dom_insert_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1, QX_term_ref x,
                                         QX_term_ref set)
{
  set_predicate(api, set1, x, set, insert_value, false);
}

void prolog_fd_dom_delete_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1, QX_term_ref x,
                                         QX_term_ref set)
{
  set_predicate(api, set1, x, set, fd_delete, false);
}

void prolog_fd_negate_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref set1, QX_term_ref k,
                                     QX_term_ref set)
{
  set_predicate(api, set1, k, set, fd_neg_offset, false);
}
