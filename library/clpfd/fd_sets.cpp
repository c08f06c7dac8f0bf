/* FD sets: operations on sorted lists of disjoint, non-adjacent intervals [Min|Max].
 *
 * Every operation is one sweep over its interval lists, emitting result intervals in increasing
 * order into the temporary area, four words each (the list pair, then the interval pair). Results
 * share the unchanged tails of their arguments where they can; nothing here changes an argument
 * except fd_union_dest and fd_union_sort, whose arguments are temporary by contract.
 */
#include "fd_sets.h"

#include "fd_bounds.h"

/* ---- queries ---- */

TAGGED fd_min(TAGGED set) { return fds_interval(set)[0]; }

TAGGED fd_max(TAGGED set)
{
  while (IsLst(fds_next(set))) set = fds_next(set);
  return fds_interval(set)[1];
}

int fd_size(TAGGED set)
{
  int64_t count = 0;
  for (; IsLst(set); set = fds_next(set)) count += (int64_t)fds_hi(set) - fds_lo(set) + 1;
  return (int)count;
}

int fd_singleton(TAGGED set)
{
  return IsLst(set) && !IsLst(fds_next(set)) && fds_interval(set)[0] == fds_interval(set)[1];
}

int fd_member(TAGGED value, TAGGED set)
{
  int32_t v = fds_val(value);
  for (; IsLst(set); set = fds_next(set)) {
    if (v < fds_lo(set)) return 0;
    if (v <= fds_hi(set)) return 1;
  }
  return 0;
}

int fd_point_vs_interval(TAGGED point, TAGGED min, TAGGED max)
{
  int32_t v = fds_val(point);
  return v < fds_val(min) ? -1 : v > fds_val(max) ? 1 : 0;
}

int fd_val_vs_interval(TAGGED value, TAGGED min, TAGGED max)
{
  /* a small integer compares with the bound words directly, except against the infinities */
  if (min != atom_inf && (!IsSmall(min) || (SIGNED_TAGGED)value < (SIGNED_TAGGED)min)) return -1;
  if (max != atom_sup && (!IsSmall(max) || (SIGNED_TAGGED)value > (SIGNED_TAGGED)max)) return 1;
  return 0;
}

/* Relation 0..12 of interval 1 to interval 2, ends taken as exclusive so that adjacency shows. */
int fd_interval_cmp(TAGGED min1, TAGGED max1, TAGGED min2, TAGGED max2)
{
  int64_t lo1 = fds_val(min1), end1 = (int64_t)fds_val(max1) + 1;
  int64_t lo2 = fds_val(min2), end2 = (int64_t)fds_val(max2) + 1;
  if (lo1 < lo2) {
    if (end1 < lo2) return 0;
    if (end1 == lo2) return 1;
    return end1 < end2 ? 2 : end1 == end2 ? 3 : 4;
  }
  if (lo1 == lo2) return end1 < end2 ? 5 : end1 == end2 ? 6 : 7;
  if (lo1 > end2) return 12;
  if (lo1 == end2) return 11;
  return end1 < end2 ? 8 : end1 == end2 ? 9 : 10;
}

/* Codes of fd_compare from flags: A (a has values outside b), B (the reverse), S (common). */
static int compare_code(bool a_out, bool b_out, bool shared)
{
  if (a_out && b_out) return shared ? 5 : 4;
  return a_out ? 2 : b_out ? 3 : 1;
}

int fd_compare(TAGGED a, TAGGED b)
{
  bool a_out = false, b_out = false, shared = false;
  int32_t alo = 0, ahi = 0, blo = 0, bhi = 0;
  if (IsLst(a)) alo = fds_lo(a), ahi = fds_hi(a);
  if (IsLst(b)) blo = fds_lo(b), bhi = fds_hi(b);
  /* alo and blo are the starts of what is left of the current intervals */
  while (IsLst(a) && IsLst(b) && !(a_out && b_out && shared)) {
    bool step_a = false, step_b = false;
    if (ahi < blo) {
      a_out = step_a = true;
    } else if (bhi < alo) {
      b_out = step_b = true;
    } else {
      shared = true;
      if (alo < blo)
        a_out = true;
      else if (blo < alo)
        b_out = true;
      step_a = ahi <= bhi;
      step_b = bhi <= ahi;
      if (!step_a) alo = bhi + 1;
      if (!step_b) blo = ahi + 1;
    }
    if (step_a && IsLst(a = fds_next(a))) alo = fds_lo(a), ahi = fds_hi(a);
    if (step_b && IsLst(b = fds_next(b))) blo = fds_lo(b), bhi = fds_hi(b);
  }
  if (IsLst(a)) a_out = true;
  if (IsLst(b)) b_out = true;
  return compare_code(a_out, b_out, shared);
}

int fd_compare_interval(TAGGED set, TAGGED min, TAGGED max)
{
  TAGGED cells[4];
  return fd_compare(set, fds_stack_interval(cells, min, max));
}

int fd_compare_intervals(TAGGED min1, TAGGED max1, TAGGED min2, TAGGED max2)
{
  int32_t lo1 = fds_val(min1), hi1 = fds_val(max1), lo2 = fds_val(min2), hi2 = fds_val(max2);
  if (hi1 < lo2 || hi2 < lo1) return 4;
  if (lo1 == lo2) return hi1 < hi2 ? 2 : hi1 == hi2 ? 1 : 3;
  if (hi1 != hi2) return 5;
  return lo2 > lo1 ? 2 : 3;
}

TAGGED fd_successor(TAGGED set, TAGGED value)
{
  int32_t v = fds_val(value);
  for (; IsLst(set); set = fds_next(set))
    if (fds_hi(set) > v) return fds_bound(fds_lo(set) > v ? fds_lo(set) : v + 1);
  return atom_sup;
}

TAGGED fd_predecessor(TAGGED set, TAGGED value)
{
  int32_t v = fds_val(value);
  TAGGED best = atom_inf;
  for (; IsLst(set) && fds_lo(set) < v; set = fds_next(set))
    best = fds_bound(fds_hi(set) < v ? fds_hi(set) : v - 1);
  return best;
}

/* ---- intersections: the common parts of two sets, in order ---- */

namespace {
struct overlap_walk {
  TAGGED a, b;
};
}  // namespace

static inline bool next_overlap(overlap_walk *walk, int32_t *lo, int32_t *hi)
{
  while (IsLst(walk->a) && IsLst(walk->b)) {
    int32_t alo = fds_lo(walk->a), ahi = fds_hi(walk->a);
    int32_t blo = fds_lo(walk->b), bhi = fds_hi(walk->b);
    if (ahi < blo) {
      walk->a = fds_next(walk->a);
    } else if (bhi < alo) {
      walk->b = fds_next(walk->b);
    } else {
      *lo = alo > blo ? alo : blo;
      *hi = ahi < bhi ? ahi : bhi;
      if (ahi <= bhi) walk->a = fds_next(walk->a);
      if (bhi <= ahi) walk->b = fds_next(walk->b);
      return true;
    }
  }
  return false;
}

TAGGED fd_intersection(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b)
{
  fds_builder out(api, w);
  overlap_walk walk = {a, b};
  int32_t lo, hi;
  while (next_overlap(&walk, &lo, &hi)) out.add(fds_bound(lo), fds_bound(hi));
  return out.close(atom_nil);
}

/* fd_intersection with [[min|max]], the set clipped in one walk. */
TAGGED fd_intersection_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED min,
                                TAGGED max)
{
  fds_builder out(api, w);
  if (IsSmall(min) && IsSmall(max)) { /* the common finite bounds: the words compared as they are */
    while (IsLst(set) && fds_max_below(fds_interval(set)[1], min)) set = fds_next(set);
    for (; IsLst(set) && !fds_min_above(fds_interval(set)[0], max); set = fds_next(set)) {
      TAGGED a = fds_interval(set)[0], b = fds_interval(set)[1];
      out.add(fds_min_above(a, min) ? a : min, fds_max_below(b, max) ? b : max);
    }
    return out.close(atom_nil);
  }
  int32_t lo = fds_val(min), hi = fds_val(max);
  while (IsLst(set) && fds_hi(set) < lo) set = fds_next(set);
  for (; IsLst(set) && fds_lo(set) <= hi; set = fds_next(set))
    out.add(fds_bound(fds_lo(set) > lo ? fds_lo(set) : lo),
            fds_bound(fds_hi(set) < hi ? fds_hi(set) : hi));
  return out.close(atom_nil);
}

int fd_intersection_size(TAGGED a, TAGGED b)
{
  overlap_walk walk = {a, b};
  int32_t lo, hi;
  int64_t count = 0;
  while (next_overlap(&walk, &lo, &hi)) count += (int64_t)hi - lo + 1;
  return (int)count;
}

TAGGED fd_intersection_min(TAGGED a, TAGGED b)
{
  overlap_walk walk = {a, b};
  int32_t lo, hi;
  return next_overlap(&walk, &lo, &hi) ? fds_bound(lo) : 0;
}

TAGGED fd_intersection_max(TAGGED a, TAGGED b)
{
  overlap_walk walk = {a, b};
  int32_t lo, hi;
  TAGGED last = 0;
  while (next_overlap(&walk, &lo, &hi)) last = fds_bound(hi);
  return last;
}

TAGGED fd_intersection_min2(TAGGED a, TAGGED b, TAGGED *second)
{
  overlap_walk walk = {a, b};
  int32_t lo, hi, lo2, hi2;
  *second = 0;
  if (!next_overlap(&walk, &lo, &hi)) return 0;
  if (lo < hi)
    *second = fds_bound(lo + 1);
  else if (next_overlap(&walk, &lo2, &hi2))
    *second = fds_bound(lo2);
  return fds_bound(lo);
}

/* ---- unions ---- */

TAGGED fd_union(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b)
{
  if (!IsLst(a)) return b;
  if (!IsLst(b)) return a;
  fds_builder out(api, w);
  /* the pending interval lo..hi grows while the next one overlaps or touches it */
  int32_t lo, hi;
  TAGGED *first = fds_lo(a) <= fds_lo(b) ? &a : &b;
  lo = fds_lo(*first), hi = fds_hi(*first);
  *first = fds_next(*first);
  while (IsLst(a) && IsLst(b)) {
    TAGGED *next = fds_lo(a) <= fds_lo(b) ? &a : &b;
    int32_t nlo = fds_lo(*next), nhi = fds_hi(*next);
    if (nlo <= hi + 1) {
      if (nhi > hi) hi = nhi;
    } else {
      out.add(fds_bound(lo), fds_bound(hi));
      lo = nlo, hi = nhi;
    }
    *next = fds_next(*next);
  }
  TAGGED rest = IsLst(a) ? a : b;
  for (; IsLst(rest) && fds_lo(rest) <= hi + 1; rest = fds_next(rest))
    if (fds_hi(rest) > hi) hi = fds_hi(rest);
  out.add(fds_bound(lo), fds_bound(hi));
  return out.close(rest);
}

TAGGED fd_union_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED min, TAGGED max)
{
  fds_builder out(api, w);
  int32_t lo = fds_val(min), hi = fds_val(max);
  for (; IsLst(set) && fds_hi(set) + 1 < lo; set = fds_next(set))
    out.add(fds_interval(set)[0], fds_interval(set)[1]);
  for (; IsLst(set) && fds_lo(set) <= hi + 1; set = fds_next(set)) {
    if (fds_lo(set) < lo) lo = fds_lo(set);
    if (fds_hi(set) > hi) hi = fds_hi(set);
  }
  out.add(fds_bound(lo), fds_bound(hi));
  return out.close(set);
}

TAGGED fd_insert_into(ORVALIS_API_STRUCT *api, worker *w, TAGGED value, TAGGED set)
{
  return fd_member(value, set) ? set : fd_union_interval(api, w, set, value, value);
}

TAGGED fd_merge_into(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b)
{
  int code = fd_compare(a, b);
  return code == 1 || code == 3 ? b : fd_union(api, w, a, b);
}

/* ---- subtraction ---- */

TAGGED fd_subtract(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b)
{
  fds_builder out(api, w);
  for (; IsLst(a); a = fds_next(a)) {
    int32_t lo = fds_lo(a), hi = fds_hi(a);
    while (IsLst(b) && fds_hi(b) < lo) b = fds_next(b);
    if (!IsLst(b)) break; /* nothing more to cut: share the rest of a */
    /* cut lo..hi around every interval of b that meets it */
    for (; IsLst(b) && fds_lo(b) <= hi; b = fds_next(b)) {
      if (fds_lo(b) > lo) out.add(fds_bound(lo), fds_bound(fds_lo(b) - 1));
      if (fds_hi(b) >= hi) {
        lo = hi + 1;
        break; /* b's interval may reach into a's next one */
      }
      lo = fds_hi(b) + 1;
    }
    if (lo <= hi) out.add(fds_bound(lo), fds_interval(a)[1]);
  }
  return out.close(a);
}

TAGGED fd_subtract_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED min, TAGGED max)
{
  TAGGED cells[4];
  return fd_subtract(api, w, set, fds_stack_interval(cells, min, max));
}

TAGGED fd_interval_subtract(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max, TAGGED set)
{
  return fd_subtract(api, w, fd_interval(api, w, min, max), set);
}

TAGGED fd_complement(ORVALIS_API_STRUCT *api, worker *w, TAGGED set)
{
  return fd_interval_subtract(api, w, atom_inf, atom_sup, set);
}

TAGGED fd_delete(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED value)
{
  return fd_subtract_interval(api, w, set, value, value);
}

/* ---- constructors ---- */

TAGGED fd_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max)
{
  fds_builder out(api, w);
  out.add(min, max);
  return out.close(atom_nil);
}

TAGGED fd_pair(ORVALIS_API_STRUCT *api, worker *w, TAGGED a, TAGGED b)
{
  TAGGED lo = (SIGNED_TAGGED)a <= (SIGNED_TAGGED)b ? a : b;
  TAGGED hi = lo == a ? b : a;
  fds_builder out(api, w);
  if (GetSmall(hi) - GetSmall(lo) <= 1) {
    out.add(lo, hi);
  } else {
    out.add(lo, lo);
    out.add(hi, hi);
  }
  return out.close(atom_nil);
}

TAGGED fd_compl_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max)
{
  fds_builder out(api, w);
  if (min != atom_inf) out.add(atom_inf, fds_bound(fds_val(min) - 1));
  if (max != atom_sup) out.add(fds_bound(fds_val(max) + 1), atom_sup);
  return out.close(atom_nil);
}

void fd_first_and_rest(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED *first, TAGGED *rest)
{
  TAGGED *interval = fds_interval(set);
  *first = interval[0];
  if (interval[0] == interval[1]) {
    *rest = fds_next(set);
  } else {
    fds_builder out(api, w);
    out.add(fds_bound(fds_val(interval[0]) + 1), interval[1]);
    *rest = out.close(fds_next(set));
  }
}

/* Copies the part of the set up to its last heap cell; the all-temporary rest is shared. */
TAGGED fd_localize(ORVALIS_API_STRUCT *api, worker *w, TAGGED set)
{
  TAGGED shared = set;
  for (TAGGED l = set; IsLst(l); l = fds_next(l))
    if (fds_on_heap(w, LstPtr(l)) || fds_on_heap(w, fds_interval(l))) shared = fds_next(l);
  fds_builder out(api, w);
  for (; set != shared; set = fds_next(set)) out.add(fds_interval(set)[0], fds_interval(set)[1]);
  return out.close(shared);
}

/* Each interval becomes [k-Max|k-Min]; walking forwards and consing in front reverses the order. */
TAGGED fd_neg_offset(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED k)
{
  TAGGED result = atom_nil;
  for (; IsLst(set); set = fds_next(set)) {
    fds_builder out(api, w);
    out.add(fd_safe_minus(k, fds_interval(set)[1]), fd_safe_minus(k, fds_interval(set)[0]));
    result = out.close(result);
  }
  return result;
}

TAGGED fd_lsh(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED k)
{
  fds_builder out(api, w);
  for (; IsLst(set); set = fds_next(set))
    out.add(fd_safe_plus(fds_interval(set)[0], k), fd_safe_plus(fds_interval(set)[1], k));
  return out.close(atom_nil);
}

/* ---- destructive union and sorting ---- */

TAGGED fd_union_dest(TAGGED a, TAGGED b)
{
  if (!IsLst(a)) return b;
  if (!IsLst(b)) return a;
  TAGGED *first = fds_lo(a) <= fds_lo(b) ? &a : &b;
  TAGGED head = *first, last = *first;
  *first = fds_next(*first);
  while (IsLst(a) || IsLst(b)) {
    TAGGED *next = !IsLst(b) || (IsLst(a) && fds_lo(a) <= fds_lo(b)) ? &a : &b;
    TAGGED cell = *next;
    if (fds_lo(cell) <= fds_hi(last) + 1) {
      if (fds_hi(cell) > fds_hi(last)) fds_interval(last)[1] = fds_interval(cell)[1];
      *next = fds_next(cell);
      continue;
    }
    if (!IsLst(a) || !IsLst(b)) {
      LstPtr(last)[1] = cell; /* the rest of one list follows unchanged */
      return head;
    }
    LstPtr(last)[1] = cell;
    last = cell;
    *next = fds_next(cell);
  }
  LstPtr(last)[1] = atom_nil;
  return head;
}

/* Cuts the list into increasing runs, joining overlapping neighbours on the way, and merges the
 * runs pairwise like a binary counter so that the work stays n log n. */
TAGGED fd_union_sort(TAGGED list)
{
  TAGGED stack[34];
  int depth = 0;
  uint32_t runs = 0;
  while (IsLst(list)) {
    TAGGED head = list, last = list;
    for (list = fds_next(list); IsLst(list);) {
      TAGGED cell = list;
      TAGGED *lastv = fds_interval(last), *cellv = fds_interval(cell);
      int code = fd_interval_cmp(lastv[0], lastv[1], cellv[0], cellv[1]);
      if (code >= 8) break;
      list = fds_next(cell);
      if (code == 0) {
        LstPtr(last)[1] = cell;
        last = cell;
      } else if (code == 1 || code == 2 || code == 5) {
        lastv[1] = cellv[1];
      }
    }
    LstPtr(last)[1] = atom_nil;
    stack[depth++] = head;
    for (uint32_t k = ++runs; (k & 1) == 0; k >>= 1, depth--)
      stack[depth - 2] = fd_union_dest(stack[depth - 2], stack[depth - 1]);
  }
  TAGGED result = atom_nil;
  while (depth > 0) result = fd_union_dest(stack[--depth], result);
  return result;
}

/* ---- iteration and building ---- */

void fditer_init(FDITER *it, TAGGED set)
{
  if (!IsLst(set)) {
    it->cur = FDITER_END;
    it->max = FDITER_END;
    it->tail = atom_nil;
    return;
  }
  it->cur = fds_interval(set)[0];
  it->max = fds_interval(set)[1];
  it->tail = fds_next(set);
}

static void fditer_load_next(FDITER *it)
{
  if (IsLst(it->tail)) {
    fditer_init(it, it->tail);
  } else {
    it->cur = FDITER_END;
    it->max = FDITER_END;
  }
}

TAGGED fditer_next(FDITER *it)
{
  TAGGED value = it->cur;
  if (value == it->max)
    fditer_load_next(it);
  else
    it->cur = fds_bound(fds_val(value) + 1);
  return value;
}

void fditer_next_interval(FDITER *it, TAGGED *min, TAGGED *max)
{
  *min = it->cur;
  *max = it->max;
  fditer_load_next(it);
}

void fditer_skip(FDITER *it, TAGGED value)
{
  if (it->cur == FDITER_END) return;
  int32_t v = fds_val(value);
  if (v < fds_val(it->cur)) return;
  while (fds_val(it->max) <= v) {
    fditer_load_next(it);
    if (it->cur == FDITER_END) return;
  }
  if (fds_val(it->cur) <= v) it->cur = fds_bound(v + 1);
}

void fdcons_init(FDCONS *cons)
{
  cons->head = atom_nil;
  cons->cur = nullptr;
  cons->size = 0;
}

void fdcons_add(ORVALIS_API_STRUCT *api, FDCONS *cons, worker *w, TAGGED value)
{
  cons->size++;
  fds_cons_append(api, cons, w, value, value);
}

void fdcons_add_interval(ORVALIS_API_STRUCT *api, FDCONS *cons, worker *w, TAGGED min, TAGGED max)
{
  cons->size += (int)((int64_t)fds_val(max) - fds_val(min) + 1);
  fds_cons_append(api, cons, w, min, max);
}

void fds_cons_append(ORVALIS_API_STRUCT *api, FDCONS *cons, worker *w, TAGGED min, TAGGED max)
{
  if (cons->cur) {
    TAGGED *last = LstPtr(cons->cur[0]);
    if (fds_val(last[1]) + 1 == fds_val(min)) {
      last[1] = max;
      return;
    }
  }
  TAGGED *cell = fds_new_interval(api, w, min, max);
  cell[1] = atom_nil;
  if (cons->cur)
    cons->cur[1] = MakeLst(cell);
  else
    cons->head = MakeLst(cell);
  cons->cur = cell;
}

/* ---- heap copies ---- */

TAGGED fd_globalize(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, uint32_t extra, int live)
{
  uint32_t intervals = 0;
  bool on_heap = false;
  for (TAGGED l = set; IsLst(l); l = fds_next(l)) {
    intervals++;
    on_heap = on_heap || fds_on_heap(w, LstPtr(l)) || fds_on_heap(w, fds_interval(l));
  }
  /* The collection call_overflow may start moves heap cells that no root reaches from here:
   * cells of the set that lie on the heap are read into temporary storage first. */
  if (on_heap) {
    fds_builder copy(api, w);
    for (TAGGED l = set; IsLst(l); l = fds_next(l))
      copy.add(fds_interval(l)[0], fds_interval(l)[1]);
    set = copy.close(atom_nil);
  }
  call_overflow(w, 4 * intervals + extra + 128, live);
  TAGGED result = atom_nil, *tailp = &result;
  for (; IsLst(set); set = fds_next(set)) {
    TAGGED *cell = w->global_top;
    TAGGED *interval = fds_interval(set);
    w->global_top += 4;
    cell[0] = MakeLst(cell + 2);
    cell[2] = interval[0];
    cell[3] = interval[1];
    if (interval[0] == atom_sup || interval[1] == atom_inf) fd_state(api)->fd_overflow = 1;
    *tailp = MakeLst(cell);
    tailp = &cell[1];
  }
  *tailp = atom_nil;
  return result;
}
