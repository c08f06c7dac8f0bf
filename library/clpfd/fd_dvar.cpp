/* Domain variables: the attribute's alias chain, and the dvar working view with its queries,
 * iterators and pruning.
 *
 * A view's domain is min..max when DV_INTERVAL is set, else the values of `set` that lie within
 * min..max (`set` holding exactly the domain when DV_SET_CURRENT is also set). Bounds are
 * compared as integers, inf and sup being the points just outside the small-integer range.
 * Pruning never changes a set in place: results are built in temporary storage, and a result is
 * copied there whole (no tail shared with a heap set), so that a view that must later tell its set
 * holds no heap cell which a collection started by another view's export could move.
 */
#include <algorithm>

#include "fd_kernel.h"
#include "fd_sets.h"

/* ---- the attribute ---- */

/* The value of a '$mutable' term, following mutables that forward to newer ones. */
static TAGGED mutable_value(TAGGED m)
{
  for (;;) {
    TAGGED value = deref(StrArg(deref(m), 1));
    if (!IsStr(value) || StrFunctor(value) != functor_mutable2) return value;
    m = value;
  }
}

TAGGED fd_attr_last_chain(TAGGED attr)
{
  attr = deref(attr);
  for (;;) {
    TAGGED value = mutable_value(StrArg(attr, 3));
    if (!IsStr(value) || StrFunctor(value) != functor_v4) return attr;
    attr = value;
  }
}

/* One walk down the alias chain: the domain mutable of the last v/4 holds the dom/4 record. */
TAGGED fd_attr_dom_chain(TAGGED attr)
{
  attr = deref(attr);
  for (;;) {
    TAGGED value = mutable_value(StrArg(attr, 3));
    if (!IsStr(value)) return 0;
    if (StrFunctor(value) == FD_FUNCTOR_DOM4) return value;
    if (StrFunctor(value) != functor_v4) return 0;
    attr = value;
  }
}

/* ---- loading ---- */

static int32_t lo_of(const dvar *d) { return fds_val(d->min); }
static int32_t hi_of(const dvar *d) { return fds_val(d->max); }

void dvar_init_ix(dvar *d, TAGGED *attr_cell, TAGGED *var_cell)
{
  dvar_init(d, attr_cell, var_cell);
}

void dvar_init_temp(dvar *d, TAGGED min, TAGGED max)
{
  d->min = min;
  d->max = max;
  d->set = 0;
  d->cookie = 0;
  d->attr_ref = nullptr;
  d->var_ref = nullptr;
  d->flags = DV_INTERVAL | (min == max ? DV_FIXED : 0);
  d->record = 0;
}

TAGGED dvar_get(const dvar *d) { return deref(*d->var_ref); }

int dvar_is_alias(const dvar *a, const dvar *b)
{
  return a->var_ref && b->var_ref && deref(*a->var_ref) == deref(*b->var_ref);
}

/* ---- queries ---- */

/* The intervals of a set from the first one that reaches v. */
static TAGGED skip_below(TAGGED set, int32_t v)
{
  while (IsLst(set) && fds_hi(set) < v) set = fds_next(set);
  return set;
}

TAGGED dvar_set(ORVALIS_API_STRUCT *api, dvar *d, worker *w)
{
  if (d->flags & DV_EXPORTED) return 0;
  if (!(d->flags & DV_SET_CURRENT)) {
    d->set = d->flags & DV_INTERVAL ? fd_interval(api, w, d->min, d->max)
                                    : fd_intersection_interval(api, w, d->set, d->min, d->max);
    d->flags |= DV_SET_CURRENT;
  }
  return d->set;
}

void dvar_assign(ORVALIS_API_STRUCT *api, dvar *to, dvar *from, worker *w)
{
  TAGGED set = dvar_set(api, from, w);
  /* the change bits say how `to` moved from its own loaded domain: keep them and add this move */
  uint32_t moved = (lo_of(from) > lo_of(to) ? DV_MIN_RAISED : 0) |
                   (hi_of(from) < hi_of(to) ? DV_MAX_LOWERED : 0);
  to->flags = (from->flags & (DV_FIXED | DV_INTERVAL | DV_SET_TOLD)) | DV_SET_CURRENT |
              (to->flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED)) | moved;
  to->min = from->min;
  to->max = from->max;
  to->set = fd_localize(api, w, set); /* kept past other views' exports, which may collect */
}

int dvar_contains_value_t(const dvar *d, TAGGED value)
{
  int32_t v = fds_val(value);
  if (v < lo_of(d) || v > hi_of(d)) return 0;
  return d->flags & DV_INTERVAL ? 1 : fd_member(value, d->set);
}

/* The view's domain as a set: a stack interval for an interval view. */
static TAGGED domain_set(ORVALIS_API_STRUCT *api, dvar *d, worker *w, TAGGED cells[4])
{
  if (d->flags & DV_INTERVAL) return fds_stack_interval(cells, d->min, d->max);
  return dvar_set(api, d, w);
}

int dvar_compare_set(ORVALIS_API_STRUCT *api, dvar *d, TAGGED set, worker *w)
{
  TAGGED cells[4];
  return fd_compare(domain_set(api, d, w, cells), set);
}

int dvar_compare_interval_t(ORVALIS_API_STRUCT *api, dvar *d, TAGGED min, TAGGED max, worker *w)
{
  TAGGED cells[4], other[4];
  TAGGED interval = fds_val(min) > fds_val(max) ? atom_nil : fds_stack_interval(other, min, max);
  return fd_compare(domain_set(api, d, w, cells), interval);
}

TAGGED dvar_successor_t(const dvar *d, TAGGED value)
{
  int32_t v = fds_val(value);
  if (v >= hi_of(d)) return atom_sup;
  if (v < lo_of(d)) return d->min;
  if (d->flags & DV_INTERVAL) return fds_bound(v + 1);
  return fd_successor(d->set, value); /* the maximum is a value above v */
}

TAGGED dvar_predecessor_t(const dvar *d, TAGGED value)
{
  int32_t v = fds_val(value);
  if (v <= lo_of(d)) return atom_inf;
  if (v > hi_of(d)) return d->max;
  if (d->flags & DV_INTERVAL) return fds_bound(v - 1);
  return fd_predecessor(d->set, value); /* the minimum is a value below v */
}

/* The untagged forms: 0x80000001 and 0x7FFFFFFF stand for inf and sup. */
static TAGGED from_l(int32_t v)
{
  if (v == FD_INF_L) return atom_inf;
  return v == FD_SUP_L ? atom_sup : fds_bound(v);
}
static int32_t to_l(TAGGED bound)
{
  if (IsSmall(bound)) return GetSmall(bound);
  return bound == atom_inf ? FD_INF_L : FD_SUP_L;
}

int32_t dvar_successor_l(const dvar *d, int32_t value)
{
  return to_l(dvar_successor_t(d, from_l(value)));
}

int32_t dvar_predecessor_l(const dvar *d, int32_t value)
{
  return to_l(dvar_predecessor_t(d, from_l(value)));
}

int dvar_interval_count(const dvar *d)
{
  if (d->flags & DV_EXPORTED) return 0;
  if (d->flags & DV_INTERVAL) return 1;
  int count = 0;
  for (TAGGED s = skip_below(d->set, lo_of(d)); IsLst(s) && fds_lo(s) <= hi_of(d); s = fds_next(s))
    count++;
  return count;
}

int dvar_value_count(const dvar *d)
{
  if (d->flags & DV_EXPORTED) return 0;
  int32_t lo = lo_of(d), hi = hi_of(d);
  if (lo == FDS_INF || hi == FDS_SUP) return FD_SUP_L;
  if (d->flags & DV_INTERVAL) return hi - lo + 1;
  int64_t count = 0;
  for (TAGGED s = skip_below(d->set, lo); IsLst(s) && fds_lo(s) <= hi; s = fds_next(s))
    count += (int64_t)std::min(fds_hi(s), hi) - std::max(fds_lo(s), lo) + 1;
  return (int)count;
}

/* ---- iterators ---- */

void dviter_init(DVITER *it, const dvar *d)
{
  it->min = d->min;
  it->max = d->max;
  it->fdset = d->flags & DV_INTERVAL ? 0 : skip_below(d->set, lo_of(d));
}

/* The end of the current interval, clipped to the view's maximum. */
static int32_t iter_end(const DVITER *it)
{
  int32_t max = fds_val(it->max);
  return it->fdset && fds_hi(it->fdset) < max ? fds_hi(it->fdset) : max;
}

static void iter_next_interval(DVITER *it)
{
  TAGGED next = it->fdset ? fds_next(it->fdset) : atom_nil;
  if (IsLst(next) && fds_lo(next) <= fds_val(it->max)) {
    it->fdset = next;
    it->min = fds_interval(next)[0];
  } else {
    it->fdset = atom_nil;
  }
}

TAGGED dviter_next_value_t(DVITER *it)
{
  if (dviter_empty(it)) return atom_sup;
  TAGGED value = it->min;
  int32_t v = fds_val(value);
  if (v >= iter_end(it))
    iter_next_interval(it);
  else
    it->min = fds_bound(v + 1);
  return value;
}

void dviter_next_interval_t(DVITER *it, TAGGED *lo, TAGGED *hi)
{
  *lo = it->min;
  *hi = fds_bound(iter_end(it));
  iter_next_interval(it);
}

void dviter_next_interval_l(DVITER *it, int32_t *lo, int32_t *hi)
{
  TAGGED l, h;
  dviter_next_interval_t(it, &l, &h);
  *lo = to_l(l);
  *hi = to_l(h);
}

void dviter_skip_t(DVITER *it, TAGGED value)
{
  if (dviter_empty(it)) return;
  int32_t v = fds_val(value);
  if (v < fds_val(it->min)) return;
  while (iter_end(it) <= v) {
    iter_next_interval(it);
    if (dviter_empty(it)) return;
  }
  if (fds_val(it->min) <= v) it->min = fds_bound(v + 1);
}

/* ---- pruning ---- */

/* Moves the view to min..max, whose values are those of `set` there; the change mask. */
static int move_bounds(dvar *d, TAGGED min, TAGGED max, TAGGED set, bool interval)
{
  /* bound words are small integers, inf or sup: equal words are equal bounds */
  int mask = (min != d->min ? FD_MASK_DOM | FD_MASK_MIN : 0) |
             (max != d->max ? FD_MASK_DOM | FD_MASK_MAX : 0);
  uint32_t flags = (d->flags | ((uint32_t)mask & (DV_MIN_RAISED | DV_MAX_LOWERED))) &
                   ~(DV_FIXED | DV_INTERVAL | (mask ? DV_SET_CURRENT : 0));
  d->min = min;
  d->max = max;
  d->set = set;
  if (interval) flags |= DV_INTERVAL;
  if (min == max) {
    flags |= DV_FIXED;
    if (mask) mask |= FD_MASK_FIXED;
  }
  d->flags = flags;
  return mask;
}

/* A set's Max below, and a Min above, a bound word that may also be inf or sup. */
static bool max_below(TAGGED max, TAGGED bound)
{
  return IsSmall(bound) ? fds_max_below(max, bound) : bound == atom_sup && IsSmall(max);
}
static bool min_above(TAGGED min, TAGGED bound)
{
  return IsSmall(bound) ? fds_min_above(min, bound) : bound == atom_inf && IsSmall(min);
}

/* New bounds from a set: the values of `set` within the bounds lo..hi become the domain. */
static int dvar_adjust_bounds(dvar *d, TAGGED set, TAGGED lo, TAGGED hi)
{
  while (IsLst(set) && max_below(fds_interval(set)[1], lo)) set = fds_next(set);
  if (!IsLst(set) || min_above(fds_interval(set)[0], hi)) return FD_MASK_FAIL;
  TAGGED last = set;
  while (IsLst(fds_next(last)) && !min_above(fds_interval(fds_next(last))[0], hi))
    last = fds_next(last);
  TAGGED a = fds_interval(set)[0], b = fds_interval(last)[1];
  return move_bounds(d, min_above(a, lo) ? a : lo, max_below(b, hi) ? b : hi, set, last == set);
}

/* dvar_adjust_bounds for a view of several intervals whose minimum rises to lo (at most its
 * maximum), the maximum kept: the maximum is a value of the view, so the intervals are walked up to
 * lo's only, and the view is one interval when that one reaches the maximum. */
static int raise_min(dvar *d, TAGGED lo)
{
  TAGGED set = d->set;
  while (IsLst(set) && max_below(fds_interval(set)[1], lo)) set = fds_next(set);
  if (!IsLst(set)) return FD_MASK_FAIL;
  TAGGED a = fds_interval(set)[0];
  return move_bounds(d, min_above(a, lo) ? a : lo, d->max, set,
                     !max_below(fds_interval(set)[1], d->max));
}

/* dvar_fix_interval_t of an interval view with small bounds, whose words compare as their values:
 * only inf and sup (any other word counts as sup) are taken apart. The inline dvar_fix_interval_t
 * takes the usual bounds; this one the others. */
static int fix_small_interval(dvar *d, TAGGED min, TAGGED max)
{
  SIGNED_TAGGED lo = (SIGNED_TAGGED)d->min, hi = (SIGNED_TAGGED)d->max;
  if (IsSmall(min))
    lo = std::max(lo, (SIGNED_TAGGED)min);
  else if (min != atom_inf)
    return FD_MASK_FAIL;
  if (IsSmall(max))
    hi = std::min(hi, (SIGNED_TAGGED)max);
  else if (max == atom_inf)
    return FD_MASK_FAIL;
  if (lo > hi) return FD_MASK_FAIL;
  if ((TAGGED)lo == d->min && (TAGGED)hi == d->max) return 0;
  return move_bounds(d, (TAGGED)lo, (TAGGED)hi, d->set, true);
}

int dvar_fix_interval_general(dvar *d, TAGGED min, TAGGED max)
{
  if (d->flags & DV_INTERVAL && IsSmall(d->min) && IsSmall(d->max))
    return fix_small_interval(d, min, max);
  int32_t lo = std::max(fds_val(min), lo_of(d)), hi = std::min(fds_val(max), hi_of(d));
  if (lo > hi) return FD_MASK_FAIL;
  if (lo == lo_of(d) && hi == hi_of(d)) return 0;
  if (d->flags & DV_INTERVAL) return move_bounds(d, fds_bound(lo), fds_bound(hi), d->set, true);
  if (hi == hi_of(d)) return raise_min(d, fds_bound(lo));
  return dvar_adjust_bounds(d, d->set, fds_bound(lo), fds_bound(hi));
}

int dvar_fix_min_safe(ORVALIS_API_STRUCT *api, dvar *d, int32_t value)
{
  if (!SmallFits(value)) {
    fd_state(api)->fd_overflow = 1;
    return FD_MASK_FAIL;
  }
  return dvar_fix_interval_t(d, MakeSmall(value), atom_sup);
}

int dvar_fix_max_safe(ORVALIS_API_STRUCT *api, dvar *d, int32_t value)
{
  if (!SmallFits(value)) {
    fd_state(api)->fd_overflow = 1;
    return FD_MASK_FAIL;
  }
  return dvar_fix_interval_t(d, atom_inf, MakeSmall(value));
}

/* Whether a and b hold the same values within lo..hi. */
static bool same_within(TAGGED a, TAGGED b, int32_t lo, int32_t hi)
{
  a = skip_below(a, lo);
  b = skip_below(b, lo);
  for (;;) {
    bool a_in = IsLst(a) && fds_lo(a) <= hi, b_in = IsLst(b) && fds_lo(b) <= hi;
    if (!a_in || !b_in) return a_in == b_in;
    if (std::max(fds_lo(a), lo) != std::max(fds_lo(b), lo) ||
        std::min(fds_hi(a), hi) != std::min(fds_hi(b), hi))
      return false;
    a = fds_next(a);
    b = fds_next(b);
  }
}

/* The domain `old` became the non-empty, different `result` (a subset, built in temporary
 * storage): the new bounds, and DV_SET_TOLD when values between them went. */
static int take_result(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED old, TAGGED result)
{
  result = fd_localize(api, w, result);
  int mask = dvar_adjust_bounds(d, result, d->min, d->max) | FD_MASK_DOM;
  d->flags |= DV_SET_CURRENT;
  if (!same_within(old, result, lo_of(d), hi_of(d))) d->flags |= DV_SET_TOLD;
  return mask;
}

/* A removal that leaves only inf or sup of an end: the domain left the small-integer range. */
static bool left_range(ORVALIS_API_STRUCT *api, TAGGED result)
{
  TAGGED last = result;
  while (IsLst(fds_next(last))) last = fds_next(last);
  if (fds_interval(result)[1] != atom_inf && fds_interval(last)[0] != atom_sup) return false;
  fd_state(api)->fd_overflow = 1;
  return true;
}

/* The value a set leaves out when it is inf..v-1 and v+1..sup (a labeling's other branch), else 0. */
static TAGGED excluded_value(TAGGED set)
{
  TAGGED rest = fds_next(set);
  if (!IsLst(rest) || fds_next(rest) != atom_nil) return 0;
  TAGGED *a = fds_interval(set), *b = fds_interval(rest);
  if (a[0] != atom_inf || b[1] != atom_sup || !IsSmall(a[1]) || !IsSmall(b[0])) return 0;
  return GetSmall(b[0]) - GetSmall(a[1]) == 2 ? MakeSmall(GetSmall(a[1]) + 1) : 0;
}

int dvar_fix_set(ORVALIS_API_STRUCT *api, dvar *d, TAGGED set, worker *w)
{
  if (!IsLst(set)) return FD_MASK_FAIL;
  if (TAGGED v = excluded_value(set)) return dvar_prune_interval_t(api, d, v, v, w);
  TAGGED cells[4], dom = domain_set(api, d, w, cells);
  int code = fd_compare(dom, set);
  if (code == 1 || code == 3) return 0;
  if (code == 4) return FD_MASK_FAIL;
  return take_result(api, w, d, dom, fd_intersection(api, w, dom, set));
}

int dvar_prune_set(ORVALIS_API_STRUCT *api, dvar *d, TAGGED set, worker *w)
{
  if (!IsLst(set)) return 0;
  TAGGED cells[4], dom = domain_set(api, d, w, cells);
  int code = fd_compare(dom, set);
  if (code == 4) return 0;
  if (code == 1 || code == 3) return FD_MASK_FAIL;
  TAGGED result = fd_subtract(api, w, dom, set);
  if (left_range(api, result)) return FD_MASK_FAIL;
  return take_result(api, w, d, dom, result);
}

/* dvar_adjust_bounds for the removal of the minimum or maximum `value` of a view with small
 * bounds, s being its first interval: one walk, and none past value's interval. */
static int remove_end(dvar *d, TAGGED s, TAGGED value)
{
  if (value == d->min) {
    TAGGED min = MakeSmall(GetSmall(value) + 1);
    if (fds_interval(s)[1] == value) { /* the next interval holds the new minimum */
      s = fds_next(s);
      if (!IsLst(s)) return FD_MASK_FAIL;
      min = fds_interval(s)[0];
    }
    TAGGED next = fds_next(s);
    return move_bounds(d, min, d->max, s,
                       !IsLst(next) || fds_min_above(fds_interval(next)[0], d->max));
  }
  TAGGED first = s, prev = s;
  for (; fds_max_below(fds_interval(s)[1], value); s = fds_next(s)) prev = s;
  if (fds_interval(s)[0] != value)
    return move_bounds(d, d->min, MakeSmall(GetSmall(value) - 1), first, s == first);
  return move_bounds(d, d->min, fds_interval(prev)[1], first, prev == first);
}

/* Removes the small integer `value`, not next to an infinity, from a view of several intervals:
 * the result of the general removal (dvar_prune_set), which a view with an infinite bound takes.
 * A value at an end moves that bound over the set the view has, an interior one splits its
 * interval in a copy of the domain in temporary storage. */
[[gnu::noinline]] static int remove_value(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED value)
{
  TAGGED lo = d->min, hi = d->max;
  if (!IsSmall(lo) || !IsSmall(hi)) {
    TAGGED cells[4];
    return dvar_prune_set(api, d, fds_stack_interval(cells, value, value), w);
  }
  if ((SIGNED_TAGGED)value < (SIGNED_TAGGED)lo || (SIGNED_TAGGED)value > (SIGNED_TAGGED)hi)
    return 0;
  if (lo == hi) return FD_MASK_FAIL;
  TAGGED s = d->set, at;
  while (fds_max_below(fds_interval(s)[1], lo)) s = fds_next(s);
  if (value == lo || value == hi) return remove_end(d, s, value);
  for (at = s; fds_max_below(fds_interval(at)[1], value);) at = fds_next(at);
  if (fds_min_above(fds_interval(at)[0], value)) return 0; /* value lies in a hole */
  /* the intervals are copied word by word, value's one split: the first starts at the minimum
   * (it holds it) and the last ends at the maximum */
  fds_builder copy(api, w);
  TAGGED start = lo;
  for (; s != at; s = fds_next(s), start = fds_interval(s)[0]) copy.add(start, fds_interval(s)[1]);
  TAGGED end = fds_interval(at)[1];
  int32_t v = GetSmall(value);
  if (start != value) copy.add(start, MakeSmall(v - 1));
  if (end != value) copy.add(MakeSmall(v + 1), fds_max_below(end, hi) ? end : hi);
  for (s = fds_next(at); IsLst(s) && !fds_min_above(fds_interval(s)[0], hi); s = fds_next(s)) {
    end = fds_interval(s)[1];
    copy.add(fds_interval(s)[0], fds_max_below(end, hi) ? end : hi);
  }
  d->set = copy.close(atom_nil);
  d->flags = (d->flags & ~DV_INTERVAL) | DV_SET_TOLD | DV_SET_CURRENT;
  return FD_MASK_DOM;
}

/* An interval view loses lo..hi from its inside: its two parts, in one piece of temporary
 * storage. */
[[gnu::noinline]] static int cut_hole(ORVALIS_API_STRUCT *api, worker *w, dvar *d, int32_t lo,
                                      int32_t hi)
{
  auto *cells = (TAGGED *)fd_temp_alloc(api, w, 8 * sizeof(TAGGED));
  cells[0] = MakeLst(cells + 2);
  cells[1] = MakeLst(cells + 4);
  cells[2] = d->min;
  cells[3] = fds_bound(lo - 1);
  cells[4] = MakeLst(cells + 6);
  cells[5] = atom_nil;
  cells[6] = fds_bound(hi + 1);
  cells[7] = d->max;
  d->set = MakeLst(cells);
  d->flags = (d->flags & ~DV_INTERVAL) | DV_SET_TOLD | DV_SET_CURRENT;
  return FD_MASK_DOM;
}

[[gnu::noinline]] static int prune_interval(ORVALIS_API_STRUCT *api, dvar *d, TAGGED min,
                                            TAGGED max, worker *w)
{
  int32_t lo = fds_val(min), hi = fds_val(max), dlo = lo_of(d), dhi = hi_of(d);
  if (lo > hi || hi < dlo || lo > dhi) return 0;
  if (!(d->flags & DV_INTERVAL)) {
    TAGGED cells[4];
    return dvar_prune_set(api, d, fds_stack_interval(cells, min, max), w);
  }
  if (lo <= dlo && hi >= dhi) return FD_MASK_FAIL;
  /* an end cut to a lone infinity, or a hole next to one, leaves the small-integer range */
  if ((lo > dlo && lo - 1 == FDS_INF) || (hi < dhi && hi + 1 == FDS_SUP)) {
    fd_state(api)->fd_overflow = 1;
    return FD_MASK_FAIL;
  }
  if (lo <= dlo) return move_bounds(d, fds_bound(hi + 1), d->max, d->set, true);
  if (hi >= dhi) return move_bounds(d, d->min, fds_bound(lo - 1), d->set, true);
  return cut_hole(api, w, d, lo, hi);
}

int dvar_prune_interval_t(ORVALIS_API_STRUCT *api, dvar *d, TAGGED min, TAGGED max, worker *w)
{
  /* the removal of one value from a view with holes, the propagators' most common pruning */
  if (min == max && !(d->flags & DV_INTERVAL) && IsSmall(min) && min != MakeSmall(QX_SMALL_MIN) &&
      min != MakeSmall(QX_SMALL_MAX))
    return remove_value(api, w, d, min);
  return prune_interval(api, d, min, max, w);
}

void dvar_pruning_done_general(ORVALIS_API_STRUCT *api, worker *w, dvar *d)
{
  bool clipped = !(d->flags & DV_SET_CURRENT); /* dvar_set builds it anew in temporary storage */
  TAGGED set = dvar_set(api, d, w);
  d->set = clipped ? set : fd_localize(api, w, set);
}
