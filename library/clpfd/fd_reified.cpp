/* Reified and related constraints: le_iff/3, eq_iff/3, in_set_iff/3 (B = 1 exactly when X is at
 * most Y, equals Y, lies in the set S), oneof/3 (Z equals X or Y) and abs/2 (Y = |X|).
 *
 * State terms, each variable followed by its attribute, then Handle and Stamp: le_iff and eq_iff
 * (X, XA, Y, YA, B, BA), oneof (X, XA, Y, YA, Z, ZA), abs (X, XA, Y, YA), in_set_iff (X, XA, S,
 * B, BA). The state is never copied; every run starts from the current domains. An eq_iff still
 * suspended after its first run gets a persistent block holding references to its variables,
 * bound to the Handle, with its daemon, which wakes the propagator only when a run could decide
 * something. The others need no block: their Handle stays unbound, so that a run neither reads
 * nor frees one.
 */
#include <algorithm>

#include "fd_propagate.h"
#include "fd_sets.h"

namespace {

enum kind { LE_IFF, EQ_IFF, IN_SET_IFF, ONEOF, ABS };

struct kind_spec {
  uint32_t arity; /* of the state term */
  int nvars;
  int var_arg[3]; /* the variables' positions; each attribute follows its variable */
  int set_arg;    /* in_set_iff's S, else 0 */
};

constexpr kind_spec KINDS[] = {
    {8, 3, {1, 3, 5}, 0}, /* le_iff */
    {8, 3, {1, 3, 5}, 0}, /* eq_iff */
    {7, 2, {1, 4}, 3},    /* in_set_iff */
    {8, 3, {1, 3, 5}, 0}, /* oneof */
    {6, 2, {1, 3}, 0},    /* abs */
};

/* eq_iff's persistent block: attribute and variable of X, Y and B in order. */
struct arith_data {
  daemon_frame frame; /* arith_destructor, eq_iff_daemon */
  ORVALIS_API_STRUCT *qxenv;
  QX_globref refbase;
  int nrefs;
};

void arith_destructor(void *block)
{
  ORVALIS_API_STRUCT *api = &fd_engine_tables; /* its instance may be gone */
  QX_free_globrefs(((arith_data *)block)->refbase);
  QX_free(block);
}

/* Outcomes of a run; UNIFY: entailed once the two views of the run's unify pair are made one. */
constexpr int FAILED = -1, SUSPENDED = 0, ENTAILED = 1, UNIFY = 2;

/* One run: the views, loaded from term references (collector roots) that mirror the block's. */
struct run {
  ORVALIS_API_STRUCT *api;
  worker *w;
  dvar v[3];
  TAGGED set; /* in_set_iff's S, imported */
  dvar *unify[2];
};

inline int32_t lo(const dvar &d) { return fds_val(d.min); }
inline int32_t hi(const dvar &d) { return fds_val(d.max); }
inline bool fixed(const dvar &d) { return (d.flags & DV_FIXED) != 0; }
inline bool single(TAGGED set)
{
  return IsLst(set) && !IsLst(fds_next(set)) && fds_lo(set) == fds_hi(set);
}

int fix_value(dvar &d, TAGGED v) { return dvar_fix_interval_t(&d, v, v) < 0 ? FAILED : ENTAILED; }

int remove_value(run &r, dvar &d, TAGGED v)
{
  return dvar_prune_interval_t(r.api, &d, v, v, r.w) < 0 ? FAILED : ENTAILED;
}

/* The comparison code of two sets, an empty one being disjoint from everything. */
int compare_sets(TAGGED a, TAGGED b) { return IsLst(a) && IsLst(b) ? fd_compare(a, b) : 4; }

int compare_views(run &r, dvar &a, dvar &b)
{
  return compare_sets(dvar_set(r.api, &a, r.w), dvar_set(r.api, &b, r.w));
}

/* B's value as 0 or 1, or -1 while it is open. */
int bool_value(const dvar &b) { return fixed(b) ? GetSmall(b.min) : -1; }

/* The FD set of the negated values of s, in temporary storage. */
TAGGED negdom(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  return fd_neg_offset(api, w, s, MakeSmall(0));
}

/* Makes the variables of views a and b equal, given the comparison code of their domains. */
int tell_eq(run &r, dvar &a, dvar &b, int code)
{
  if (code == 4) return FAILED;
  if (code == 2 && fixed(b)) return fix_value(a, b.min);
  if (code == 1 && fixed(a)) return ENTAILED;
  if (code == 3 && fixed(a)) return fix_value(b, a.min);
  if (code == 2 || code == 5) {
    TAGGED common = fd_intersection(r.api, r.w, dvar_set(r.api, &a, r.w), dvar_set(r.api, &b, r.w));
    if (single(common)) {
      TAGGED v = fds_interval(common)[0];
      if (!fixed(a) && fix_value(a, v) < 0) return FAILED;
      return fixed(b) ? ENTAILED : fix_value(b, v);
    }
  }
  r.unify[0] = &a;
  r.unify[1] = &b;
  return UNIFY;
}

/* ---- the propagators, on loaded views ---- */

int le_iff(run &r)
{
  dvar &x = r.v[0], &y = r.v[1], &b = r.v[2];
  int bv = bool_value(b);
  if (dvar_is_alias(&x, &y))
    return bv < 0 ? fix_value(b, MakeSmall(1)) : bv == 1 ? ENTAILED : FAILED;
  int32_t xmin = lo(x), xmax = hi(x), ymin = lo(y), ymax = hi(y);
  if (bv < 0) {
    if (xmin > ymax) return fix_value(b, MakeSmall(0));
    if (xmax <= ymin) return fix_value(b, MakeSmall(1));
    return SUSPENDED;
  }
  if (bv == 1) {
    if (xmin > ymax) return FAILED;
    if (xmax <= ymin) return ENTAILED;
    if (IsSmall(y.max) && ymax < xmax && dvar_fix_interval_t(&x, atom_inf, y.max) < 0)
      return FAILED;
    if (IsSmall(x.min) && xmin > ymin && dvar_fix_interval_t(&y, x.min, atom_sup) < 0)
      return FAILED;
    return fixed(x) || fixed(y) || xmin == ymax ? ENTAILED : SUSPENDED;
  }
  if (xmin > ymax) return ENTAILED;
  if (xmax <= ymin) return FAILED;
  /* ymin + 1 of the largest small integer is sup, xmax - 1 of the smallest inf */
  if (IsSmall(y.min) && ymin + 1 > xmin &&
      dvar_fix_interval_t(&x, fds_bound(ymin + 1), atom_sup) < 0)
    return FAILED;
  if (IsSmall(x.max) && xmax - 1 < ymax &&
      dvar_fix_interval_t(&y, atom_inf, fds_bound(xmax - 1)) < 0)
    return FAILED;
  return fixed(x) || fixed(y) || (IsSmall(y.min) && ymin + 1 == xmax) ? ENTAILED : SUSPENDED;
}

int eq_iff(run &r)
{
  dvar &x = r.v[0], &y = r.v[1], &b = r.v[2];
  int bv = bool_value(b);
  if (dvar_is_alias(&x, &y))
    return bv < 0 ? fix_value(b, MakeSmall(1)) : bv == 1 ? ENTAILED : FAILED;
  if (bv < 0) {
    if (fixed(x) && fixed(y)) return fix_value(b, MakeSmall(x.min == y.min));
    return compare_views(r, x, y) == 4 ? fix_value(b, MakeSmall(0)) : SUSPENDED;
  }
  if (bv == 1) {
    if (fixed(y)) return fix_value(x, y.min);
    if (fixed(x)) return fix_value(y, x.min);
    return tell_eq(r, x, y, compare_views(r, x, y));
  }
  if (fixed(y)) return remove_value(r, x, y.min);
  if (fixed(x)) return remove_value(r, y, x.min);
  return compare_views(r, x, y) == 4 ? ENTAILED : SUSPENDED;
}

int in_set_iff(run &r)
{
  dvar &x = r.v[0], &b = r.v[1];
  int code = compare_sets(dvar_set(r.api, &x, r.w), r.set);
  bool inside = code == 1 || code == 3;
  switch (bool_value(b)) {
  case -1:
    if (inside) return fix_value(b, MakeSmall(1));
    return code == 4 ? fix_value(b, MakeSmall(0)) : SUSPENDED;
  case 0:
    if (inside) return FAILED;
    if (code == 4) return ENTAILED;
    return dvar_prune_set(r.api, &x, r.set, r.w) < 0 ? FAILED : ENTAILED;
  default:
    if (inside) return ENTAILED;
    if (code == 4) return FAILED;
    return dvar_fix_set(r.api, &x, r.set, r.w) < 0 ? FAILED : ENTAILED;
  }
}

int oneof(run &r)
{
  dvar &x = r.v[0], &y = r.v[1], &z = r.v[2];
  if (dvar_is_alias(&x, &z) || dvar_is_alias(&y, &z)) return ENTAILED;
  int c1 = compare_views(r, x, z);
  if (dvar_is_alias(&x, &y)) return tell_eq(r, x, z, c1);
  int c2 = compare_views(r, y, z);
  if (c1 == 4) return tell_eq(r, y, z, c2);
  if (c2 == 4) return tell_eq(r, x, z, c1);
  TAGGED u = fd_union(r.api, r.w, dvar_set(r.api, &x, r.w), dvar_set(r.api, &y, r.w));
  int c = compare_sets(dvar_set(r.api, &z, r.w), u);
  if (c == 4) return FAILED;
  if (c == 1 || c == 3) return SUSPENDED;
  if (dvar_fix_set(r.api, &z, u, r.w) < 0) return FAILED;
  return !fixed(x) + !fixed(y) + !fixed(z) < 2 ? ENTAILED : SUSPENDED;
}

int abs_value(run &r)
{
  ORVALIS_API_STRUCT *api = r.api;
  worker *w = r.w;
  dvar &x = r.v[0], &y = r.v[1];
  if (dvar_is_alias(&x, &y)) /* X = |X|: X is not negative */
    return dvar_fix_interval_t(&x, MakeSmall(0), atom_sup) < 0 ? FAILED : ENTAILED;
  if (IsSmall(x.min) && lo(x) >= 0) return tell_eq(r, x, y, compare_views(r, x, y));
  bool clip = lo(y) < 0;
  TAGGED p = dvar_set(api, &y, w), xs = dvar_set(api, &x, w);
  if (clip) p = fd_intersection_interval(api, w, p, MakeSmall(0), atom_sup);
  TAGGED sx = fd_union(api, w, p, negdom(api, w, p));
  TAGGED sy = fd_union(api, w, xs, negdom(api, w, xs));
  if (clip) sy = fd_intersection_interval(api, w, sy, MakeSmall(0), atom_sup);
  int cx = compare_sets(xs, sx);
  if (cx == 4) return FAILED;
  if ((cx == 2 || cx == 5) && dvar_fix_set(api, &x, sx, w) < 0) return FAILED;
  switch (compare_sets(dvar_set(api, &y, w), sy)) {
  case 4: return FAILED;
  case 2:
  case 5:
    if (dvar_fix_set(api, &y, sy, w) < 0) return FAILED;
    return fixed(y) ? ENTAILED : SUSPENDED;
  default: return single(sy) ? ENTAILED : SUSPENDED;
  }
}

constexpr int (*PROPAGATORS[])(run &) = {le_iff, eq_iff, in_set_iff, oneof, abs_value};

/* ---- eq_iff's daemon ---- */

/* The value of the variable at reference pair k of the block, or 0 while it is open. Bound means
 * fixed: a variable with another module's attribute is bound only when the loop ends. */
TAGGED ref_value(const arith_data *b, int k)
{
  TAGGED v = deref(b->refbase[2 * k + 1].term);
  if (!IsVar(v)) return v;
  TAGGED dom = fd_attr_dom(b->refbase[2 * k].term);
  return dom && deref(StrArg(dom, 2)) == deref(StrArg(dom, 3)) ? deref(StrArg(dom, 2)) : 0;
}

/* The current domain of the variable at reference pair k; `one` holds a bound one's set. */
TAGGED ref_domain(const arith_data *b, int k, TAGGED one[4])
{
  TAGGED v = deref(b->refbase[2 * k + 1].term);
  if (!IsVar(v)) return fds_stack_interval(one, v, v);
  return deref(StrArg(fd_attr_dom(b->refbase[2 * k].term), 1));
}

int eq_iff_daemon(ORVALIS_API_STRUCT *api, worker *w, void *block, TAGGED *, TAGGED global)
{
  auto *b = (arith_data *)block;
  TAGGED x = ref_value(b, 0), y = ref_value(b, 1), bv = ref_value(b, 2);
  TAGGED xv = deref(b->refbase[1].term);
  bool wake;
  if (IsVar(xv) && xv == deref(b->refbase[3].term))
    wake = true; /* X and Y made one variable: B is 1 */
  else if (bv)
    wake = !(bv == MakeSmall(0) && !x && !y);
  else if (!x || !y) {
    TAGGED one_x[4], one_y[4];
    wake = compare_sets(ref_domain(b, 0, one_x), ref_domain(b, 1, one_y)) == 4;
  } else
    wake = true;
  if (wake) fd_enqueue_global(api, w, global, 2);
  return 1;
}

/* ---- the entry ---- */

/* Loads the view of the variable at argument k of the state into reference pair refs + 2i;
 * false for a value that is no small integer or a variable without an attribute. */
bool load_view(run &r, QX_term_ref refs, int i, int k)
{
  TAGGED s = deref(r.w->term[0]);
  TAGGED x = deref(StrArg(s, k)), attr = deref(StrArg(s, k + 1));
  fd_ref_put(r.api, refs + 2 * i, attr);
  fd_ref_put(r.api, refs + 2 * i + 1, x);
  if (IsSmall(x)) {
    dvar_init_temp(&r.v[i], x, x);
    return true;
  }
  if (!IsVar(x) || !IsStr(attr) || IsBox(attr) || StrFunctor(attr) != functor_v4) return false;
  dvar_init(&r.v[i], fd_ref_slot(r.api, refs + 2 * i), fd_ref_slot(r.api, refs + 2 * i + 1));
  return true;
}

/* The block of an eq_iff suspended on its first run, holding the run's references. */
arith_data *make_block(run &r, QX_term_ref refs, int nrefs)
{
  ORVALIS_API_STRUCT *api = r.api;
  TAGGED handle;
  int is_new;
  fd_static_output_state(r.w, &handle, &is_new);
  auto *b = (arith_data *)fd_perm_alloc(r.api, r.w, sizeof(arith_data), handle);
  b->frame.destructor = arith_destructor;
  b->qxenv = r.api;
  b->nrefs = nrefs;
  b->refbase = QX_alloc_globrefs(nrefs);
  if (!b->refbase) qx_memory_fault("global references", QX_SPACE_FOREIGN);
  for (int k = 0; k < nrefs; k++) b->refbase[k].term = fd_ref_get(r.api, refs + k);
  return b;
}

/* A variable argument of the state as read from its domain record: its small bounds' words (ordered
 * as their values), its last attribute (0 for a value) and the record, and the variable and
 * attribute as the state holds them, dereferenced. */
struct quick_var {
  SIGNED_TAGGED min, max;
  TAGGED last;
  TAGGED dom;
  TAGGED var, attr;
};

/* The variable at argument k of the state: false when a bound is no small integer or the argument
 * is no FD variable. */
bool quick_bounds(TAGGED s, int k, quick_var *q)
{
  TAGGED x = deref(StrArg(s, k));
  if (IsSmall(x)) return q->min = q->max = x, q->last = q->dom = q->var = q->attr = 0, true;
  TAGGED attr = deref(StrArg(s, k + 1));
  /* a box's header is no functor */
  if (!IsVar(x) || !IsStr(attr) || StrFunctor(attr) != functor_v4) return false;
  q->var = x;
  q->attr = attr;
  /* the common case: the domain mutable holds the dom/4 itself */
  TAGGED dom = deref(StrArg(deref(StrArg(attr, 3)), 1));
  while (!IsStr(dom) || StrFunctor(dom) != FD_FUNCTOR_DOM4) {
    TAGGED value = fd_mutable_value(StrArg(attr, 3));
    if (!IsStr(value)) return false;
    if (StrFunctor(value) != functor_v4) {
      if (StrFunctor(value) != FD_FUNCTOR_DOM4) return false;
      dom = value;
      break;
    }
    attr = value;
  }
  TAGGED lo = deref(StrArg(dom, 2)), hi = deref(StrArg(dom, 3));
  if (!IsSmall(lo) || !IsSmall(hi)) return false;
  return q->min = lo, q->max = hi, q->last = attr, q->dom = dom, true;
}

/* The variable at argument k of the state (its words at arg) in one look at its usual words,
 * references not followed: the argument a reference to the variable's unbound cell or to its
 * small-integer value, the attribute a v/4 record whose domain mutable holds the dom/4 itself (so
 * the end of its alias chain), the bounds small integers. Sets its bounds' words and attribute (0
 * for a value); false for anything else, which quick_bounds reads. */
[[gnu::always_inline]] inline bool usual_bounds(const TAGGED *arg, int k, TAGGED &min, TAGGED &max,
                                                TAGGED &last)
{
  TAGGED x = arg[k];
  if (!IsRef(x)) return false;
  TAGGED cell = *RefPtr(x);
  if (cell != x) {
    min = max = cell, last = 0;
    return IsSmall(cell);
  }
  TAGGED attr = arg[k + 1];
  if (!IsStr(attr) || StrFunctor(attr) != functor_v4) return false;
  TAGGED dom = fd_attr_own_dom(attr);
  if (!dom) return false;
  min = StrArg(dom, 2), max = StrArg(dom, 3), last = attr;
  return IsSmall(min) && IsSmall(max);
}

/* quick_bounds's record of what usual_bounds read at argument k of arg. */
quick_var usual_var(const TAGGED *arg, int k, TAGGED min, TAGGED max, TAGGED last)
{
  return {(SIGNED_TAGGED)min, (SIGNED_TAGGED)max, last, last ? StrArg(StrArg(last, 3), 1) : 0,
          last ? arg[k] : 0, last};
}

/* Whether new bounds of a variable may be told directly: a variable whose domain is one interval
 * of finite size, outside debugging mode (whose exports are actions). */
bool direct(ORVALIS_API_STRUCT *api, const quick_var &q)
{
  return q.last && fd_dom_small_interval(StrPtr(q.dom)) && !fd_state(api)->debugging;
}

/* Tells the bounds' words lo..hi, within the interval domain of the variable q and narrower, and
 * wakes for it, as the export of a view with these bounds does; moved holds FD_WAKE_MIN or
 * FD_WAKE_MAX for the bound that moved. The first tell of a run, nothing having collected since q
 * was read. */
void tell_first(ORVALIS_API_STRUCT *api, worker *w, const quick_var &q, SIGNED_TAGGED lo,
                SIGNED_TAGGED hi, int moved)
{
  fd_tell_narrowed_dom(api, w, q.attr, q.var, StrPtr(q.dom), GetSmall(lo), GetSmall(hi), moved);
}

/* The same for the variable at argument k of the state after a tell, which may have collected:
 * its words are read again from the state's root. */
void tell_again(ORVALIS_API_STRUCT *api, worker *w, int k, SIGNED_TAGGED lo, SIGNED_TAGGED hi,
                int moved)
{
  TAGGED s = deref(w->term[0]), attr = deref(StrArg(s, k + 1)), var = deref(StrArg(s, k));
  fd_tell_narrowed(api, w, attr, var, GetSmall(lo), GetSmall(hi), moved);
}

/* No outcome from the bounds alone: the full run decides. */
constexpr int UNDECIDED = 3;

/* A run of le_iff on the bounds of X, Y and B as read, small ones, with no shared variables, its
 * prunings told directly: B open is
 * fixed when the bounds of X and Y decide it; with B 1 X's maximum comes down to Y's and Y's
 * minimum up to X's; with B 0 X's minimum goes above Y's and Y's maximum below X's. UNDECIDED,
 * having done nothing, where a pruned variable has holes or the bounds are not all small. */
[[gnu::always_inline]] inline int le_iff_decide(ORVALIS_API_STRUCT *api, worker *w,
                                               const quick_var &x, const quick_var &y,
                                               const quick_var &b)
{
  const SIGNED_TAGGED ZERO = (SIGNED_TAGGED)MakeSmall(0), ONE = (SIGNED_TAGGED)MakeSmall(1);
  const SIGNED_TAGGED UNIT = ONE - ZERO; /* the words of n and n + 1 differ by UNIT */
  if (b.min < ZERO || b.max > ONE || (x.last && (x.last == y.last || x.last == b.last)) ||
      (y.last && y.last == b.last))
    return UNDECIDED;
  if (b.min != b.max) {
    if (x.min <= y.max && x.max > y.min) return SUSPENDED;
    if (!direct(api, b)) return UNDECIDED;
    SIGNED_TAGGED value = x.max <= y.min ? ONE : ZERO;
    tell_first(api, w, b, value, value, 0);
    return ENTAILED;
  }
  if (b.min == ONE) {
    if (x.min > y.max) return FAILED;
    if (x.max <= y.min) return ENTAILED;
    SIGNED_TAGGED xmax = std::min(x.max, y.max), ymin = std::max(y.min, x.min);
    if ((xmax != x.max && !direct(api, x)) || (ymin != y.min && !direct(api, y))) return UNDECIDED;
    if (xmax != x.max) tell_first(api, w, x, x.min, xmax, FD_WAKE_MAX);
    if (ymin != y.min) {
      if (xmax == x.max)
        tell_first(api, w, y, ymin, y.max, FD_WAKE_MIN);
      else
        tell_again(api, w, 3, ymin, y.max, FD_WAKE_MIN);
    }
    return x.min == xmax || ymin == y.max || x.min == y.max ? ENTAILED : SUSPENDED;
  }
  if (x.min > y.max) return ENTAILED;
  if (x.max <= y.min) return FAILED;
  /* y.min < x.max: neither step leaves the small integers */
  SIGNED_TAGGED xmin = std::max(x.min, y.min + UNIT), ymax = std::min(y.max, x.max - UNIT);
  if ((xmin != x.min && !direct(api, x)) || (ymax != y.max && !direct(api, y))) return UNDECIDED;
  if (xmin != x.min) tell_first(api, w, x, xmin, x.max, FD_WAKE_MIN);
  if (ymax != y.max) {
    if (xmin == x.min)
      tell_first(api, w, y, y.min, ymax, FD_WAKE_MAX);
    else
      tell_again(api, w, 3, y.min, ymax, FD_WAKE_MAX);
  }
  return xmin == x.max || y.min == ymax || y.min + UNIT == x.max ? ENTAILED : SUSPENDED;
}

/* le_iff_decide on the variables read the general way. */
[[gnu::noinline]] int le_iff_general(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  quick_var x, y, b;
  if (!quick_bounds(s, 5, &b) || !quick_bounds(s, 1, &x) || !quick_bounds(s, 3, &y))
    return UNDECIDED;
  return le_iff_decide(api, w, x, y, b);
}

/* Whether B at argument k of arg is open in one look at its usual words: a reference to its unbound
 * cell, its attribute a v/4 record whose domain mutable holds the dom/4 itself, the bounds 0 and
 * 1. Also false where that attribute is xlast or ylast (a variable shared with X or Y). */
[[gnu::always_inline]] inline bool usual_open(const TAGGED *arg, int k, TAGGED xlast, TAGGED ylast)
{
  TAGGED x = arg[k];
  if (!IsRef(x) || *RefPtr(x) != x) return false;
  TAGGED attr = arg[k + 1];
  if (!IsStr(attr) || StrFunctor(attr) != functor_v4 || attr == xlast || attr == ylast) return false;
  TAGGED dom = fd_attr_own_dom(attr);
  return dom && StrArg(dom, 2) == MakeSmall(0) && StrArg(dom, 3) == MakeSmall(1);
}

/* le_iff_decide on the variables read in one look where their words are the usual ones; the
 * usual run, B open and the bounds of X and Y still overlapping, decided on the words read, B's
 * bounds not needed then. */
int le_iff_fast(ORVALIS_API_STRUCT *api, worker *w, TAGGED s)
{
  const TAGGED *arg = StrPtr(s);
  TAGGED bmin, bmax, blast, xmin, xmax, xlast, ymin, ymax, ylast;
  if (!usual_bounds(arg, 1, xmin, xmax, xlast) || !usual_bounds(arg, 3, ymin, ymax, ylast))
    return le_iff_general(api, w, s);
  /* small integers' words are ordered as their values */
  if ((SIGNED_TAGGED)xmin <= (SIGNED_TAGGED)ymax && (SIGNED_TAGGED)xmax > (SIGNED_TAGGED)ymin &&
      (!xlast || xlast != ylast) && usual_open(arg, 5, xlast, ylast))
    return SUSPENDED;
  if (!usual_bounds(arg, 5, bmin, bmax, blast)) return le_iff_general(api, w, s);
  return le_iff_decide(api, w, usual_var(arg, 1, xmin, xmax, xlast),
                       usual_var(arg, 3, ymin, ymax, ylast), usual_var(arg, 5, bmin, bmax, blast));
}

void reified_entry(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                   QX_term_ref actions, kind which)
{
  worker *w = fd_global_run(api, state0);
  if (!w) return;
  const kind_spec &spec = KINDS[which];
  TAGGED s = w->term[0];
  if (!IsStr(s) || IsBox(s) || Arity(StrFunctor(s)) != spec.arity ||
      !fd_valid_handle(deref(StrArg(s, (int)spec.arity - 1)))) {
    fd_type_error(api, "compound", s, 0);
    fd_native_fail(api);
    return;
  }
  int nrefs = 2 * spec.nvars + (spec.set_arg ? 1 : 0);
  /* the first new reference is also the mark that releases them */
  QX_term_ref refs = QX_new_term_refs(nrefs);
  if (!refs) qx_memory_fault("term references", QX_SPACE_FOREIGN);
  run r{api, w, {}, atom_nil, {nullptr, nullptr}};
  int outcome = SUSPENDED;
  for (int i = 0; i < spec.nvars && outcome == SUSPENDED; i++)
    if (!load_view(r, refs, i, spec.var_arg[i])) outcome = FAILED;
  if (outcome == SUSPENDED && spec.set_arg) {
    fd_ref_put(api, refs + nrefs - 1, deref(StrArg(deref(w->term[0]), spec.set_arg)));
    r.set = fds_import_set(api, w, refs + nrefs - 1);
    if (!r.set) {
      QX_reset_term_refs(refs);
      TAGGED culprit = deref(StrArg(deref(w->term[0]), spec.set_arg));
      if (IsVar(culprit))
        fd_instantiation_error(api, 0);
      else
        fd_type_error(api, "fd_set", culprit, 0);
      fd_native_fail(api);
      return;
    }
  }
  /* B is a 0/1 variable: a value outside fails. Another view of B's variable gets the same
   * domain, so that the propagator's reasoning about it needs no second run. Views of one
   * variable were loaded from one domain: with B's within 0..1 there is nothing to tell. */
  const dvar &bview = r.v[spec.nvars - 1];
  if (outcome == SUSPENDED && (which == LE_IFF || which == EQ_IFF || which == IN_SET_IFF) &&
      (lo(bview) < 0 || hi(bview) > 1))
    for (int i = 0; i < spec.nvars && outcome == SUSPENDED; i++) {
      dvar &b = r.v[spec.nvars - 1];
      if ((&r.v[i] == &b || dvar_is_alias(&r.v[i], &b)) &&
          dvar_fix_interval_t(&r.v[i], MakeSmall(0), MakeSmall(1)) < 0)
        outcome = FAILED;
    }
  if (outcome == SUSPENDED) outcome = PROPAGATORS[which](r);
  if (outcome != FAILED) {
    for (int i = 0; i < spec.nvars; i++) dvar_pruning_done(api, w, &r.v[i]);
    for (int i = 0; i < spec.nvars; i++)
      if (r.v[i].attr_ref && (r.v[i].flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)))
        dvar_export_do(api, w, &r.v[i]);
    if (outcome == UNIFY) {
      dvar_export_equal(api, w, r.unify[0], r.unify[1]);
      outcome = ENTAILED;
    }
  }
  TAGGED handle = 0;
  int is_new;
  if (which == EQ_IFF && outcome == SUSPENDED) fd_static_output_state(w, &handle, &is_new);
  if (handle && IsVar(handle)) {
    arith_data *b = make_block(r, refs, nrefs);
    /* B open: any change of X or Y may make them disjoint; B fixed: only their values count */
    b->frame.daemon = eq_iff_daemon;
    struct fd_state *fd = fd_state(api);
    bool b_open = !fixed(r.v[2]);
    TAGGED xy_key = b_open ? fd->functor_dom : fd->functor_val;
    dvar_attach_daemon(api, w, &r.v[0], b, deref(w->term[1]), xy_key);
    dvar_attach_daemon(api, w, &r.v[1], b, deref(w->term[1]), xy_key);
    if (b_open) dvar_attach_daemon(api, w, &r.v[2], b, deref(w->term[1]), fd->functor_val);
  }
  if (outcome == ENTAILED) fd_perm_free(api, w);
  QX_reset_term_refs(refs);
  fd_ref_put(api, state, w->term[0]);
  dvar_export_done(api, w, actions, outcome);
}

/* Whether the state is a structure of le_iff's arity (a box's header has the sign bit set) whose
 * Handle is unbound. */
[[gnu::always_inline]] inline bool le_iff_state(TAGGED s)
{
  constexpr TAGGED FUNCTOR_BITS = 0xFF800000u | QX_TAG_ATOM;
  constexpr TAGGED STATE_BITS = (8u << QX_ARITY_SHIFT) | QX_TAG_ATOM;
  static_assert(KINDS[LE_IFF].arity == 8);
  if (!IsStr(s) || (StrFunctor(s) & FUNCTOR_BITS) != STATE_BITS) return false;
  TAGGED handle = StrArg(s, 7);
  return (IsRef(handle) && *RefPtr(handle) == handle) || IsVar(deref(handle));
}

/* le_iff's entry: the direct run where it decides, else the general run. A Handle other than
 * unbound, only ever met in a state not made by posting, goes to the general run's check. */
void le_iff_entry(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,
                  QX_term_ref actions)
{
  worker *w = fd_global_run(api, state0);
  if (!w) return;
  TAGGED s = w->term[0];
  if (le_iff_state(s)) {
    int quick = le_iff_fast(api, w, s);
    if (quick != UNDECIDED) {
      fd_ref_put(api, state, w->term[0]); /* a tell may have collected: s may have moved */
      dvar_export_done(api, w, actions, quick);
      return;
    }
  }
  reified_entry(api, state0, state, actions, LE_IFF);
}

}  // namespace

void prolog_fd_le_iff_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref state0,
                                     QX_term_ref state, QX_term_ref actions)
{
  le_iff_entry(api, state0, state, actions);
}

/* Each other native runs the entry with its constraint's kind. */
#define REIFIED_NATIVE(function, which)                                                            \
  void function(ORVALIS_API_STRUCT *api, QX_term_ref state0, QX_term_ref state,                    \
                QX_term_ref actions)                                                               \
  {                                                                                                \
    reified_entry(api, state0, state, actions, which);                                             \
  }

REIFIED_NATIVE(prolog_fd_eq_iff_qxenv_multi_qx, EQ_IFF)
REIFIED_NATIVE(prolog_fd_in_set_iff_qxenv_multi_qx, IN_SET_IFF)
REIFIED_NATIVE(prolog_fd_oneof_qxenv_multi_qx, ONEOF)
REIFIED_NATIVE(prolog_fd_abs_qxenv_multi_qx, ABS)

#undef REIFIED_NATIVE
