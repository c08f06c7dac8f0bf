/* Telling domains to variables: the direct tells, the export of finished views, daemons, and the
 * natives that make attributes or restrict one variable.
 *
 * The tells work on the variable in term slot 4 whose attribute is in term slot 3. A domain record
 * made since the newest choicepoint is changed in place; an older one is replaced through its
 * mutable, which trails it. A tell of the domain the variable already has changes nothing and
 * answers 0, so that it wakes nothing. Sets to be told are in temporary storage when the heap is
 * made room for (a collection moves heap cells, never temporary ones). Every construction first
 * ensures its heap room with call_overflow, term slots 0 to 4 being its roots: the natives fill the
 * slots they do not use with [] so that no stale word is taken for a term.
 */
#include <algorithm>
#include <cassert>
#include <cstring>

#include "fd_bounds.h"
#include "fd_kernel.h"
#include "fd_sets.h"

/* fd_told's self when the change comes from no indexical. */
static constexpr TAGGED SELF_NONE = 0;
/* The kernel's scratch roots: term slots 0 to 4. */
static constexpr int LIVE_SLOTS = 5;
/* Heap words kept free above every construction. */
static constexpr uint32_t HEAP_MARGIN = 128;
/* What fd_link builds for a variable that has its attribute: a copy of the suspension record, a
 * val/1 wrapper and the list cell. */
static constexpr uint32_t LINK_ROOM = 16;

static constexpr TAGGED FUNCTOR_LISTS7 = atom_fdlists | (7u << QX_ARITY_SHIFT);
static constexpr TAGGED FUNCTOR_GLOBAL5 = atom_global | (5u << QX_ARITY_SHIFT);
static constexpr TAGGED FUNCTOR_DAEMON5 = atom_daemon | (5u << QX_ARITY_SHIFT);
static constexpr TAGGED FUNCTOR_EQ2 = atom_equal | (2u << QX_ARITY_SHIFT);
static constexpr TAGGED FUNCTOR_CALL1 = atom_call | (1u << QX_ARITY_SHIFT);

static TAGGED *heap_take(worker *w, uint32_t words)
{
  TAGGED *p = w->global_top;
  w->global_top += words;
  return p;
}

static void ensure_heap(ORVALIS_API_STRUCT *api, worker *w, uint32_t words)
{
  if (fd_room_free(w, words + HEAP_MARGIN)) return;
  call_overflow(w, words + HEAP_MARGIN, LIVE_SLOTS);
}

/* A record made since the newest choicepoint: it may be changed in place. */
static bool is_new(const worker *w, const TAGGED *cell) { return cell >= w->global_uncond; }

/* ---- direct tells ---- */

static TAGGED *current_dom(worker *w) { return StrPtr(fd_attr_dom(w->term[3])); }

/* ensure_heap for a tell that holds the current domain record: dom is read again when a
 * collection may have moved it. */
QX_HOT_INLINE static TAGGED *ensure_heap_dom(ORVALIS_API_STRUCT *api, worker *w, uint32_t words,
                                             TAGGED *dom)
{
  if (fd_room_free(w, words + HEAP_MARGIN)) return dom;
  call_overflow(w, words + HEAP_MARGIN, LIVE_SLOTS);
  return current_dom(w);
}

/* Stores a new dom/4 record into the mutable that holds the current one: the attribute's own
 * when it holds the record directly (the usual case, written here), else the last of the alias
 * chain's. */
QX_HOT_INLINE static void put_dom(ORVALIS_API_STRUCT *api, worker *w, TAGGED dom)
{
  TAGGED m = deref(StrArg(deref(w->term[3]), 3)), value = deref(StrArg(m, 1));
  if (IsStr(value) && StrFunctor(value) == FD_FUNCTOR_DOM4) {
    fd_trail_mutable(api, w, m);
    StrPtr(m)[1] = dom;
    return;
  }
  fd_update_mutable(api, w, dom, StrArg(fd_attr_last(w->term[3]), 3));
}

/* Stores dom/4(Set, Min, Max, Size) as the variable's domain record: in place when the current
 * record `dom` is new (and, for an interval, its first list cell too), else as a new record through
 * the domain mutable. An interval's list cell shares its pair with the Min and Max words. The heap
 * room was ensured (and dom read after it). */
QX_HOT_INLINE static TAGGED *store_dom(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, TAGGED min,
                                       TAGGED max, TAGGED size, TAGGED *dom)
{
  bool interval = set == 0;
  TAGGED *cell = interval ? LstPtr(deref(dom[1])) : nullptr;
  if (!is_new(w, dom) || (interval && !is_new(w, cell))) {
    dom = heap_take(w, 5);
    dom[0] = FD_FUNCTOR_DOM4;
    if (interval) cell = heap_take(w, 2);
    put_dom(api, w, MakeStr(dom));
  }
  if (interval) {
    cell[0] = MakeLst(dom + 2);
    cell[1] = atom_nil;
    set = MakeLst(cell);
  }
  dom[1] = set;
  dom[2] = min;
  dom[3] = max;
  dom[4] = size;
  return dom;
}

/* fd_tell_value with the current domain record read; dom then the record stored. */
QX_HOT_INLINE static int tell_value(ORVALIS_API_STRUCT *api, worker *w, TAGGED value, TAGGED *&dom)
{
  if (!IsSmall(value)) {
    fd_state(api)->fd_overflow = 1;
    return 0;
  }
  if (dom[2] == value && dom[3] == value) return 0;
  int mask = FD_WAKE_DOM | FD_WAKE_MINMAX | FD_WAKE_VAL | (dom[2] != value ? FD_WAKE_MIN : 0) |
             (dom[3] != value ? FD_WAKE_MAX : 0);
  dom = store_dom(api, w, 0, value, value, MakeSmall(1), ensure_heap_dom(api, w, 7, dom));
  return mask;
}

int fd_tell_value(ORVALIS_API_STRUCT *api, worker *w, TAGGED value)
{
  TAGGED *dom = current_dom(w);
  return tell_value(api, w, value, dom);
}

/* Whether the domain record holds the interval lo..hi. */
static bool holds_interval(const TAGGED *dom, TAGGED lo, TAGGED hi)
{
  return dom[2] == lo && dom[3] == hi && !IsLst(LstTail(deref(dom[1])));
}

/* The size of lo..hi, small integers lo <= hi whose width is a small integer, taken on the words:
 * their tags cancel in the difference. */
static TAGGED small_width(TAGGED lo, TAGGED hi) { return hi - lo + MakeSmall(1); }

/* tell_interval of the small integers lo < hi, whose width is a small integer, into the current
 * domain record dom; dom then the record stored. */
QX_HOT_INLINE static int tell_small_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED lo, TAGGED hi,
                                             int mask, TAGGED *&dom)
{
  if (holds_interval(dom, lo, hi)) return 0;
  dom = store_dom(api, w, 0, lo, hi, small_width(lo, hi), ensure_heap_dom(api, w, 7, dom));
  return mask;
}

/* tell_interval of the small integers lo <= hi, a small width apart: a value or an interval. */
QX_HOT_INLINE static int tell_small_ends(ORVALIS_API_STRUCT *api, worker *w, TAGGED lo, TAGGED hi,
                                         int mask, TAGGED *&dom)
{
  return lo == hi ? tell_value(api, w, lo, dom) : tell_small_interval(api, w, lo, hi, mask, dom);
}

/* fd_tell_interval with the current domain record read. */
static int tell_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED lo, TAGGED hi, int mask,
                         TAGGED *dom)
{
  if (lo == hi) return tell_value(api, w, lo, dom);
  if (lo == atom_sup || hi == atom_inf) {
    fd_state(api)->fd_overflow = 1;
    return 0;
  }
  /* small ends are at most 2^29 apart: the width fits 32 bits */
  if (IsSmall(lo) && IsSmall(hi) && SmallFits(GetSmall(hi) - GetSmall(lo) + 1))
    return tell_small_interval(api, w, lo, hi, mask, dom);
  if (holds_interval(dom, lo, hi)) return 0;
  store_dom(api, w, 0, lo, hi, atom_sup, ensure_heap_dom(api, w, 7, dom));
  return mask;
}

int fd_tell_interval(ORVALIS_API_STRUCT *api, worker *w, TAGGED lo, TAGGED hi, int mask)
{
  return tell_interval(api, w, lo, hi, mask, current_dom(w));
}

int fd_tell(ORVALIS_API_STRUCT *api, worker *w, TAGGED set) { return fd_tell_unsafe(api, w, set); }

/* Every tell copies the set into temporary storage first (what it already holds there is shared),
 * so the cells it reads stay put while the heap is made room for. */
int fd_tell_unsafe(ORVALIS_API_STRUCT *api, worker *w, TAGGED set)
{
  TAGGED *dom = current_dom(w);
  int32_t min = fds_lo(set), max = fds_val(fd_max(set));
  int mask = FD_WAKE_DOM;
  if (fds_val(dom[2]) != min) mask |= FD_WAKE_MIN | FD_WAKE_MINMAX;
  if (fds_val(dom[3]) != max) mask |= FD_WAKE_MAX | FD_WAKE_MINMAX;
  if (!IsLst(fds_next(set))) return fd_tell_interval(api, w, fds_bound(min), fds_bound(max), mask);
  for (TAGGED l = set; IsLst(l); l = fds_next(l))
    if (fds_interval(l)[0] == atom_sup || fds_interval(l)[1] == atom_inf) {
      fd_state(api)->fd_overflow = 1;
      return 0;
    }
  if (mask == FD_WAKE_DOM && fd_compare(deref(dom[1]), set) == 1) return 0;
  int64_t count = 0;
  for (TAGGED l = set; IsLst(l); l = fds_next(l)) count += (int64_t)fds_hi(l) - fds_lo(l) + 1;
  bool finite = min != FDS_INF && max != FDS_SUP && SmallFits(count);
  set = fd_globalize(api, w, fd_localize(api, w, set), 5, LIVE_SLOTS);
  store_dom(api, w, set, fds_bound(min), fds_bound(max),
            finite ? MakeSmall((int32_t)count) : atom_sup, current_dom(w));
  return mask;
}

/* The intervals of source from the first that reaches the small integer lo. */
static TAGGED intervals_from(TAGGED source, int32_t lo)
{
  const TAGGED low = MakeSmall(lo);
  while (IsLst(source) && fds_max_below(fds_interval(source)[1], low)) source = fds_next(source);
  return source;
}

/* tell_within for a finite domain of several intervals raised to lo, its maximum kept: one new
 * first interval, the rest of the domain's set shared (a tell only ever writes in place into the
 * first cell of a set, which is new here), the size from the values that went. */
static int tell_raised_min(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, int32_t lo)
{
  int32_t removed = 0;
  TAGGED s = deref(dom[1]);
  for (; IsLst(s) && fds_hi(s) < lo; s = fds_next(s)) removed += fds_hi(s) - fds_lo(s) + 1;
  if (!IsLst(s) || !IsLst(fds_next(s))) return -1;
  int32_t first = std::max(fds_lo(s), lo);
  removed += first - fds_lo(s);
  if (removed == 0) return 0; /* the domain it has */
  if (!fd_room_free(w, 4 + 5 + HEAP_MARGIN)) {
    call_overflow(w, 4 + 5 + HEAP_MARGIN, LIVE_SLOTS);
    dom = current_dom(w); /* the collection moved it */
    s = intervals_from(deref(dom[1]), lo);
  }
  TAGGED *cell = heap_take(w, 4);
  cell[0] = MakeLst(cell + 2);
  cell[1] = fds_next(s);
  cell[2] = MakeSmall(first);
  cell[3] = fds_interval(s)[1];
  store_dom(api, w, MakeLst(cell), MakeSmall(first), dom[3], MakeSmall(GetSmall(dom[4]) - removed),
            dom);
  return FD_WAKE_DOM | FD_WAKE_MIN | FD_WAKE_MINMAX;
}

/* The values of a set between the small integers lo and hi as copied onto the heap. */
struct within_copy {
  TAGGED set;
  uint32_t n;     /* intervals */
  uint32_t count; /* values: at most the 2^29 small integers */
  TAGGED first, last;
};

/* Copies the intervals of s (which starts at the first interval that reaches lo) clipped to lo..hi
 * onto the heap, whose room was made, comparing the words as they are. The list cells are laid out
 * in turn, each linked to the next, so that the loop keeps few values live. */
static within_copy copy_within(worker *w, TAGGED s, TAGGED lo, TAGGED hi)
{
  TAGGED *start = w->global_top, *cell = start;
  uint32_t spread = 0; /* the sum of max - min over the intervals, in words */
  for (; IsLst(s); s = fds_next(s), cell += 4) {
    const TAGGED *pair = fds_interval(s);
    TAGGED a = pair[0], b = pair[1];
    if (fds_min_above(a, hi)) break;
    if (!fds_min_above(a, lo)) a = lo;
    if (!fds_max_below(b, hi)) b = hi;
    spread += b - a;
    cell[0] = MakeLst(cell + 2);
    cell[1] = MakeLst(cell + 4);
    cell[2] = a;
    cell[3] = b;
  }
  w->global_top = cell;
  within_copy r = {atom_nil, (uint32_t)(cell - start) / 4, 0, 0, 0};
  if (r.n == 0) return r;
  cell[-3] = atom_nil;
  r.set = MakeLst(start);
  r.count = (spread >> 3) + r.n;
  r.first = start[2];
  r.last = cell[-1];
  return r;
}

/* Tells the values of `source` between the small integers lo and hi: fd_tell_unsafe of their
 * intersection, copied straight to the heap without the temporary copies. source is a set in
 * temporary storage, or 0 for the current domain's set (read again once the heap has room). -1,
 * having done nothing, for no interval, and for one interval when lo..hi is wide or the heap
 * short of room. */
static int tell_within(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, TAGGED source, int32_t lo,
                       int32_t hi)
{
  if (!source && IsSmall(dom[3]) && GetSmall(dom[3]) <= hi && IsSmall(dom[4]))
    return tell_raised_min(api, w, dom, lo);
  /* lo..hi holds at most one interval per two values: with room for that many free, the set is
   * copied in the same pass that measures it */
  uint32_t most = (uint32_t)(hi - lo) / 2 + 1;
  if (most > 64 || !fd_room_free(w, 4 * most + 5 + HEAP_MARGIN)) {
    uint32_t n = 0;
    for (TAGGED s = intervals_from(source ? source : deref(dom[1]), lo);
         IsLst(s) && fds_lo(s) <= hi; s = fds_next(s))
      n++;
    if (n < 2) return -1;
    if (!fd_room_free(w, 4 * n + 5 + HEAP_MARGIN)) {
      call_overflow(w, 4 * n + 5 + HEAP_MARGIN, LIVE_SLOTS);
      dom = current_dom(w); /* the collection moved it */
    }
  }
  TAGGED *top = w->global_top;
  within_copy r = copy_within(w, intervals_from(source ? source : deref(dom[1]), lo), MakeSmall(lo),
                              MakeSmall(hi));
  if (r.n < 2) w->global_top = top;
  if (r.n == 0) return -1;
  int mask = FD_WAKE_DOM;
  if (dom[2] != r.first) mask |= FD_WAKE_MIN | FD_WAKE_MINMAX;
  if (dom[3] != r.last) mask |= FD_WAKE_MAX | FD_WAKE_MINMAX;
  if (r.n == 1) return tell_interval(api, w, r.first, r.last, mask, dom);
  TAGGED size = r.count <= (uint32_t)QX_SMALL_MAX ? MakeSmall((int32_t)r.count) : atom_sup;
  if (mask == FD_WAKE_DOM && dom[4] == size && fd_compare(deref(dom[1]), r.set) == 1) {
    w->global_top = top; /* the domain it has: nothing changes */
    return 0;
  }
  store_dom(api, w, r.set, r.first, r.last, size, dom);
  return mask;
}

/* ---- export ---- */

/* Conses an action onto the actions list in term slot 2; the heap room was ensured. */
static void push_action(worker *w, TAGGED action)
{
  TAGGED *cell = heap_take(w, 2);
  cell[0] = action;
  cell[1] = w->term[2];
  w->term[2] = MakeLst(cell);
}

static void push_fail(ORVALIS_API_STRUCT *api, worker *w)
{
  ensure_heap(api, w, 2);
  push_action(w, atom_fail);
}

/* Conses in_set(X, Set) for the variable in term slot 4; set in temporary storage. */
static void push_in_set(ORVALIS_API_STRUCT *api, worker *w, TAGGED set)
{
  set = fd_globalize(api, w, set, 5, LIVE_SLOTS);
  TAGGED *goal = heap_take(w, 3);
  goal[0] = fd_state(api)->functor_in_set2;
  goal[1] = deref(w->term[4]);
  goal[2] = set;
  push_action(w, MakeStr(goal));
}

/* The view's set within its bounds, in temporary storage. A view whose holes are all the
 * variable's own (DV_SET_TOLD clear) takes them from the current domain record. */
static TAGGED view_set(ORVALIS_API_STRUCT *api, worker *w, dvar *d)
{
  TAGGED source = d->flags & DV_SET_TOLD ? d->set : deref(current_dom(w)[1]);
  return fd_intersection_interval(api, w, source, d->min, d->max);
}

/* Tells the view's set within its bounds (view_set); dom is the current domain record. */
static int tell_view(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED *dom)
{
  if (IsSmall(d->min) && IsSmall(d->max)) {
    int mask = tell_within(api, w, dom, d->flags & DV_SET_TOLD ? d->set : 0, GetSmall(d->min),
                           GetSmall(d->max));
    if (mask >= 0) return mask;
  }
  return fd_tell_unsafe(api, w, view_set(api, w, d));
}
static int tell_view(ORVALIS_API_STRUCT *api, worker *w, dvar *d)
{
  return tell_view(api, w, d, current_dom(w));
}

/* Wakes for a told change, unless nothing changed. */
static void told(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self)
{
  if (mask & 7) fd_told(api, w, mask & 7, self);
}

static void load_slots(worker *w, const dvar *d)
{
  w->term[3] = deref(*d->attr_ref);
  w->term[4] = deref(*d->var_ref);
}

static bool has_holes(const dvar *d)
{
  return (d->flags & (DV_INTERVAL | DV_SET_TOLD)) == DV_SET_TOLD;
}

/* Tells min..max intersected with the current domain; the change mask. */
static int tell_bounds(ORVALIS_API_STRUCT *api, worker *w, TAGGED min, TAGGED max)
{
  TAGGED *dom = current_dom(w);
  TAGGED set = deref(dom[1]);
  TAGGED lo = fd_safe_max(dom[2], min), hi = fd_safe_min(dom[3], max);
  if (IsLst(fds_next(set))) {
    int mask =
        IsSmall(lo) && IsSmall(hi) ? tell_within(api, w, dom, 0, GetSmall(lo), GetSmall(hi)) : -1;
    return mask >= 0 ? mask : fd_tell_unsafe(api, w, fd_intersection_interval(api, w, set, min, max));
  }
  int mask = FD_WAKE_DOM | (lo != dom[2] ? FD_WAKE_MIN | FD_WAKE_MINMAX : 0) |
             (hi != dom[3] ? FD_WAKE_MAX | FD_WAKE_MINMAX : 0);
  return tell_interval(api, w, lo, hi, mask, dom);
}

/* The export of a view when the variable changed since loading, or in debugging mode. */
static void export_changed(ORVALIS_API_STRUCT *api, worker *w, dvar *d, bool debugging)
{
  TAGGED *dom = current_dom(w);
  TAGGED current = deref(dom[1]);
  if (d->flags & DV_FIXED) {
    if (debugging) {
      ensure_heap(api, w, 5);
      TAGGED *goal = heap_take(w, 3);
      goal[0] = FUNCTOR_EQ2;
      goal[1] = deref(w->term[4]);
      goal[2] = d->min;
      push_action(w, MakeStr(goal));
    } else if (!fd_member(d->min, current)) {
      push_fail(api, w);
    } else if (dom[2] != dom[3]) {
      int mask = fd_tell_value(api, w, d->min);
      if (IsVar(deref(w->term[4]))) told(api, w, mask, SELF_NONE);
    }
    return;
  }
  TAGGED set = has_holes(d) ? fd_intersection_interval(api, w, d->set, d->min, d->max) : 0;
  if (debugging) {
    push_in_set(api, w, set ? set : fd_interval(api, w, d->min, d->max));
    return;
  }
  TAGGED cells[4];
  int code = fd_compare(current, set ? set : fds_stack_interval(cells, d->min, d->max));
  int mask = 0;
  if (code == 4)
    push_fail(api, w);
  else if (code == 2 && set)
    mask = fd_tell_unsafe(api, w, set);
  else if (code == 5 && set)
    mask = fd_tell_unsafe(api, w, fd_intersection(api, w, current, set));
  else if (code == 2 || code == 5)
    mask = tell_bounds(api, w, d->min, d->max);
  if (IsVar(deref(w->term[4]))) told(api, w, mask, SELF_NONE);
}

/* dvar_export_do once the view's flags are read and the variable's current domain record dom is
 * found; own: the attribute in term slot 3 holds dom in its own domain mutable, which the tells
 * keep so. */
template <bool own>
QX_HOT_INLINE static void export_view(ORVALIS_API_STRUCT *api, worker *w, dvar *d, uint32_t flags,
                                      TAGGED *dom)
{
  bool debugging = fd_state(api)->debugging != 0;
  if (debugging || d->cookie == atom_sup || dom[4] != d->cookie) {
    export_changed(api, w, d, debugging);
    return;
  }
  int mask;
  if (!(flags & DV_INTERVAL) && !(flags & DV_FIXED)) {
    told(api, w, tell_view(api, w, d, dom), SELF_NONE);
    return;
  }
  if (flags & DV_FIXED)
    mask = tell_value(api, w, d->min, dom);
  else /* an interval of the finite domain it was loaded from: small ends, a small width */
    mask = tell_small_interval(api, w, d->min, d->max, (int)(flags & 6) | 9, dom);
  if (!(mask & 7)) return;
  /* dom: the record stored */
  if (own)
    fd_told_own(api, w, mask & 7, SELF_NONE, dom);
  else
    fd_told_dom(api, w, mask & 7, SELF_NONE, dom);
}

/* export_view of a view whose record the domain mutable no longer holds as it was loaded. */
[[gnu::noinline]] static void export_current(ORVALIS_API_STRUCT *api, worker *w, dvar *d,
                                             uint32_t flags)
{
  export_view<false>(api, w, d, flags, current_dom(w));
}

void dvar_export_do(ORVALIS_API_STRUCT *api, worker *w, dvar *d)
{
  uint32_t flags = d->flags;
  d->flags |= DV_EXPORTED;
  load_slots(w, d);
  if (!(flags & (DV_SET_TOLD | DV_MIN_RAISED | DV_MAX_LOWERED))) return; /* nothing to tell */
  /* The record the view was loaded from while the attribute's domain mutable still holds it (no
   * tell replaced it and no collection moved it) is the current one, as current_dom finds it. */
  TAGGED value = StrArg(deref(StrArg(w->term[3], 3)), 1);
  if (value == d->record && StrFunctor(value) == FD_FUNCTOR_DOM4)
    export_view<true>(api, w, d, flags, StrPtr(value));
  else
    export_current(api, w, d, flags);
}

void fd_tell_narrowed(ORVALIS_API_STRUCT *api, worker *w, TAGGED attr, TAGGED var, int32_t lo,
                      int32_t hi, int moved)
{
  fd_tell_narrowed_dom(api, w, attr, var, StrPtr(fd_attr_dom(attr)), lo, hi, moved);
}

void fd_tell_narrowed_dom(ORVALIS_API_STRUCT *api, worker *w, TAGGED attr, TAGGED var, TAGGED *dom,
                          int32_t lo, int32_t hi, int moved)
{
  w->term[3] = attr;
  w->term[4] = var;
  /* tell_value or tell_interval on a domain known to be one interval of small bounds and finite
   * size that holds lo..hi and more: the checks of other domains, and of no change, are not
   * needed */
  TAGGED min = MakeSmall(lo), max = MakeSmall(hi);
  assert(dom[2] != min || dom[3] != max); /* the callers tell only narrower bounds */
  int mask = lo != hi ? moved | FD_WAKE_DOM | FD_WAKE_MINMAX
                      : FD_WAKE_DOM | FD_WAKE_MINMAX | FD_WAKE_VAL |
                            (dom[2] != min ? FD_WAKE_MIN : 0) | (dom[3] != max ? FD_WAKE_MAX : 0);
  dom = store_dom(api, w, 0, min, max, small_width(min, max), ensure_heap_dom(api, w, 7, dom));
  fd_told_dom(api, w, mask & 7, SELF_NONE, dom);
}

void dvar_export_ix(ORVALIS_API_STRUCT *api, worker *w, dvar *d, TAGGED self)
{
  d->flags |= DV_EXPORTED;
  load_slots(w, d);
  /* self may be a heap variable (an indexical's Ent): a tell can collect, so it stays rooted and
   * is read once the tell is done. */
  fd_roots keep(api, &self, 1);
  int mask;
  if (d->flags & DV_FIXED) {
    mask = fd_tell_value(api, w, d->min);
  } else if (has_holes(d)) {
    mask = tell_view(api, w, d);
    self = SELF_NONE;
  } else {
    mask = tell_bounds(api, w, d->min, d->max);
  }
  told(api, w, mask, self);
}

/* Removes the small integer v from the current domain dom, one of small bounds and size that
 * holds v strictly between its bounds or has several intervals: what the general removal tells
 * (dvar_prune_interval_t and export), built straight on the heap. A first walk finds v's interval,
 * so that a value in a hole, or a lone value whose removal leaves one interval, takes no heap room;
 * then the intervals before v's are copied, those after it shared (a tell writes in place only into
 * a set's first cell, always a new one here). The bounds within the domain are small integers:
 * their words compare as the integers do. The waking mask, 0 when v lies in a hole. */
QX_HOT_INLINE static int tell_without(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, int32_t v)
{
  const TAGGED value = MakeSmall(v);
  uint32_t k = 0; /* the intervals wholly below v */
  TAGGED s = deref(dom[1]);
  for (; (SIGNED_TAGGED)fds_interval(s)[1] < (SIGNED_TAGGED)value; s = fds_next(s)) k++;
  TAGGED a = fds_interval(s)[0], b = fds_interval(s)[1], rest = fds_next(s);
  if ((SIGNED_TAGGED)a > (SIGNED_TAGGED)value) return 0;
  int mask = FD_WAKE_DOM | (value == dom[2] ? FD_WAKE_MIN | FD_WAKE_MINMAX : 0) |
             (value == dom[3] ? FD_WAKE_MAX | FD_WAKE_MINMAX : 0);
  /* a lone value goes: with two intervals the other one is the domain */
  if (a == b && ((k == 0 && !IsLst(fds_next(rest))) || (k == 1 && !IsLst(rest)))) {
    TAGGED other = k == 0 ? rest : deref(dom[1]);
    return tell_interval(api, w, fds_interval(other)[0], fds_interval(other)[1], mask, dom);
  }
  /* room for the intervals below, v's two parts and one more copy; a collection moves the set */
  dom = ensure_heap_dom(api, w, 4 * (k + 3) + 5, dom);
  TAGGED set = atom_nil, *tail = &set;
  auto add = [&](TAGGED min, TAGGED max) {
    TAGGED *cell = heap_take(w, 4);
    cell[0] = MakeLst(cell + 2);
    cell[2] = min;
    cell[3] = max;
    *tail = MakeLst(cell);
    tail = &cell[1];
  };
  s = deref(dom[1]);
  for (uint32_t i = 0; i < k; i++, s = fds_next(s)) add(fds_interval(s)[0], fds_interval(s)[1]);
  rest = fds_next(s);
  if (a != value) add(a, MakeSmall(v - 1));
  if (b != value) add(MakeSmall(v + 1), b);
  if (set == atom_nil) { /* the first interval went whole: the new first cell is a copy */
    add(fds_interval(rest)[0], fds_interval(rest)[1]);
    rest = fds_next(rest);
  }
  *tail = rest;
  /* the maximum moves only when v was it: then the last cell added ends the set; the size, a
   * small integer, goes down by 1 on its word */
  store_dom(api, w, set, fds_interval(set)[0], value == dom[3] ? tail[2] : dom[3],
            dom[4] - (MakeSmall(1) - MakeSmall(0)), dom);
  return mask;
}

/* Removes v from dom, the current domain of small bounds and size holding more than one value:
 * an end of a single interval moves, anything else goes through tell_without. The waking mask, 0
 * when v is not in it. */
QX_HOT_INLINE static int tell_remove(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, int32_t v)
{
  int32_t lo = GetSmall(dom[2]), hi = GetSmall(dom[3]);
  if (v < lo || v > hi) return 0;
  if (IsLst(fds_next(deref(dom[1]))) || (v != lo && v != hi)) return tell_without(api, w, dom, v);
  /* what is left is one value or a narrower interval of small ends */
  if (v == lo)
    return tell_small_ends(api, w, MakeSmall(v + 1), dom[3],
                           FD_WAKE_DOM | FD_WAKE_MIN | FD_WAKE_MINMAX, dom);
  return tell_small_ends(api, w, dom[2], MakeSmall(v - 1),
                         FD_WAKE_DOM | FD_WAKE_MAX | FD_WAKE_MINMAX, dom);
}

int dvar_remove_value_ix(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, TAGGED *attr_cell,
                         TAGGED *var_cell, TAGGED value)
{
  w->term[3] = deref(*attr_cell);
  w->term[4] = deref(*var_cell);
  int32_t v = GetSmall(value);
  if (!IsSmall(dom[2]) || !IsSmall(dom[3]) || !IsSmall(dom[4]) || v <= QX_SMALL_MIN ||
      v >= QX_SMALL_MAX) {
    dvar d;
    dvar_init_ix(&d, attr_cell, var_cell);
    int mask = dvar_prune_interval_t(api, &d, value, value, w);
    if (mask > 0) dvar_export_ix(api, w, &d, SELF_NONE);
    return mask;
  }
  if (dom[2] == dom[3]) return value == dom[2] ? FD_MASK_FAIL : 0;
  int mask = tell_remove(api, w, dom, v);
  told(api, w, mask, SELF_NONE);
  return mask;
}

void dvar_export_equal(ORVALIS_API_STRUCT *api, worker *w, dvar *x, dvar *y)
{
  if (dvar_is_alias(x, y)) return;
  if (!fd_state(api)->debugging) {
    if (!cunify(w, dvar_get(x), dvar_get(y))) push_fail(api, w);
    return;
  }
  ensure_heap(api, w, 7);
  TAGGED *goal = heap_take(w, 5);
  goal[0] = FUNCTOR_EQ2;
  goal[1] = dvar_get(x);
  goal[2] = dvar_get(y);
  goal[3] = FUNCTOR_CALL1;
  goal[4] = MakeStr(goal);
  push_action(w, MakeStr(goal + 3));
}

/* Conses call(clpfd:Goal) for a goal of `words` heap words that build() lays out at its argument
 * and returns. */
template <typename Build>
static void push_library_call(ORVALIS_API_STRUCT *api, worker *w, uint32_t words, Build build)
{
  ensure_heap(api, w, words + 7);
  TAGGED goal = build(heap_take(w, words));
  TAGGED *call = heap_take(w, 5);
  call[0] = functor_colon2;
  call[1] = atom_clpfd;
  call[2] = goal;
  call[3] = FUNCTOR_CALL1;
  call[4] = MakeStr(call);
  push_action(w, MakeStr(call + 3));
}

void dvar_export_leqc(ORVALIS_API_STRUCT *api, worker *w, dvar *x, dvar *y, int32_t k)
{
  if (!SmallFits(k)) {
    fd_state(api)->fd_overflow = 1;
    return;
  }
  push_library_call(api, w, 4, [&](TAGGED *goal) {
    goal[0] = fd_state(api)->functor_leqc;
    goal[1] = dvar_get(x);
    goal[2] = dvar_get(y);
    goal[3] = MakeSmall(k);
    return MakeStr(goal);
  });
}

void dvar_export_alldiff(ORVALIS_API_STRUCT *api, worker *w, dvar **views, int n)
{
  push_library_call(api, w, 2 + 2 * (uint32_t)n, [&](TAGGED *goal) {
    TAGGED *cells = goal + 2;
    for (int i = 0; i < n; i++) {
      cells[2 * i] = dvar_get(views[i]);
      cells[2 * i + 1] = i + 1 < n ? MakeLst(cells + 2 * i + 2) : atom_nil;
    }
    goal[0] = fd_state(api)->functor_alldiff;
    goal[1] = n > 0 ? MakeLst(cells) : atom_nil;
    return MakeStr(goal);
  });
}

void dvar_attach_daemon(ORVALIS_API_STRUCT *api, worker *w, dvar *d, void *block, TAGGED global,
                        TAGGED key)
{
  if (d->flags & DV_FIXED) return;
  TAGGED parked = global;
  fd_roots root(api, &parked);
  ensure_heap(api, w, 6 + LINK_ROOM);
  global = deref(parked);
  TAGGED *daemon = heap_take(w, 6);
  daemon[0] = FUNCTOR_DAEMON5;
  daemon[1] = global;
  daemon[2] = deref(*d->attr_ref); /* the attribute itself: the daemon gets this cell */
  daemon[3] = StrArg(global, 3);
  daemon[4] = StrArg(global, 4);
  daemon[5] = (TAGGED)(uintptr_t)block | QX_TAG_SMALL;
  fd_link(api, w, deref(*d->var_ref), key, MakeStr(daemon));
}

void dvar_export_done_general(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref actions, int outcome)
{
  if (outcome == 1 || outcome == -1) {
    ensure_heap(api, w, 2);
    push_action(w, outcome == 1 ? atom_exit : atom_fail);
  }
  fd_ref_put(api, actions, w->term[2]);
  if (!fd_state(api)->fd_overflow) return; /* the overflow check passes: no culprit needed */
  TAGGED global = deref(w->term[1]);
  TAGGED culprit =
      IsStr(global) && StrFunctor(global) == FUNCTOR_GLOBAL5 ? StrArg(global, 2) : global;
  fd_check_overflow(api, culprit);
}

int fd_tell_remove_value(ORVALIS_API_STRUCT *api, worker *w, int32_t v)
{
  TAGGED *dom = current_dom(w);
  if (!IsSmall(dom[2]) || !IsSmall(dom[3]) || dom[2] == dom[3]) return -1;
  return fd_tell_remove_inside(api, w, dom, v);
}

int fd_tell_remove_inside(ORVALIS_API_STRUCT *api, worker *w, TAGGED *dom, int32_t v)
{
  if (!IsSmall(dom[4])) return -1;
  return tell_remove(api, w, dom, v);
}

/* ---- attributes of constraint arguments ---- */

/* Copies the attribute template to the heap: its pointer words hold offsets from its start. */
static TAGGED copy_template(worker *w)
{
  static_assert(FD_ATTRIBUTE_WORDS <= 32, "the pointer words' mask has a bit per word");
  /* the template's words that point into it (offsets from its start), found once: a copy
   * relocates only those */
  static const uint32_t pointers = [] {
    uint32_t mask = 0;
    for (int i = 0; i < FD_ATTRIBUTE_WORDS; i++)
      if (IsStr(fd_attribute[i]) || IsLst(fd_attribute[i])) mask |= 1u << i;
    return mask;
  }();
  TAGGED *attr = heap_take(w, FD_ATTRIBUTE_WORDS);
  std::memcpy(attr, fd_attribute, sizeof fd_attribute);
  for (uint32_t m = pointers; m; m &= m - 1) attr[__builtin_ctz(m)] += (TAGGED)(uintptr_t)attr;
  return MakeStr(attr);
}

/* v(1, 0, '$mutable'(dom([[N|N]], N, N, 1), 0), 0): 15 words, the pair shared with Min and Max. */
static TAGGED constant_attribute(worker *w, TAGGED n)
{
  TAGGED *p = heap_take(w, 15);
  p[0] = functor_v4;
  p[1] = MakeSmall(1);
  p[2] = MakeSmall(0);
  p[3] = MakeStr(p + 5);
  p[4] = MakeSmall(0);
  p[5] = functor_mutable2;
  p[6] = MakeStr(p + 8);
  p[7] = MakeSmall(0);
  p[8] = FD_FUNCTOR_DOM4;
  p[9] = MakeLst(p + 13);
  p[10] = p[11] = n;
  p[12] = MakeSmall(1);
  p[13] = MakeLst(p + 10);
  p[14] = atom_nil;
  return MakeStr(p);
}

/* The value of a '$mutable' term after its forwarding, or 0 when m is none or the chain is longer
 * than the steps left. */
static TAGGED checked_mutable_value(TAGGED m, int *steps)
{
  for (m = deref(m); IsStr(m) && StrFunctor(m) == functor_mutable2 && (*steps)-- > 0;) {
    TAGGED value = deref(StrArg(m, 1));
    if (!IsStr(value) || StrFunctor(value) != functor_mutable2) return value;
    m = value;
  }
  return 0;
}

/* An attribute as the kernel makes it: v/4 terms chained through their domain mutables, the last
 * holding dom(Set, Min, Max, Size) with a well-formed Set and a suspension record (or 0). put_attr/3
 * can put any term in clpfd's slot, even a cyclic one: the walk is bounded. */
/* Whether set is a well-formed FD set without bound references in its cells (fds_check), whose
 * ends are min and max: one walk. */
static bool plain_set_within(TAGGED set, TAGGED min, TAGGED max)
{
  if (!IsLst(set)) return false;
  bool first = true;
  int32_t prev_hi = 0;
  TAGGED last = atom_nil; /* the last Max so far */
  for (TAGGED l = set; l != atom_nil; l = LstTail(l)) {
    if (!IsLst(l)) return false;
    TAGGED pair = LstHead(l);
    if (!IsLst(pair)) return false;
    TAGGED a = LstHead(pair), b = LstTail(pair);
    int32_t lo, hi;
    if (IsSmall(a) && IsSmall(b)) {
      lo = GetSmall(a), hi = GetSmall(b);
    } else {
      if (!fds_is_bound(a) || !fds_is_bound(b) || a == atom_sup || b == atom_inf) return false;
      lo = fds_val(a), hi = fds_val(b);
    }
    /* strictly increasing starts also end any cyclic list (prev_hi + 1 is at most sup + 1) */
    if (lo > hi || (first ? a != min : lo <= prev_hi + 1)) return false;
    first = false;
    last = b;
    prev_hi = hi;
  }
  return last == max;
}

static TAGGED attribute_dom_walk(TAGGED attr, bool *lists);

/* The dom/4 record at the end of an attribute's v/4 chain when the chain and the suspension record
 * are as the kernel makes them, else 0; *lists is whether the attribute has a suspension record.
 * The set is not looked at. */
static inline TAGGED attribute_dom(TAGGED attr, bool *lists)
{
  attr = deref(attr);
  if (TAGGED dom = fd_plain_dom(attr)) {
    *lists = StrArg(attr, 4) != MakeSmall(0);
    return dom;
  }
  return attribute_dom_walk(attr, lists);
}

/* attribute_dom of any other shape: the chain walked, each step checked. */
static TAGGED attribute_dom_walk(TAGGED attr, bool *lists)
{
  int steps = 64;
  TAGGED value = deref(attr);
  do {
    attr = value;
    if (!IsStr(attr) || StrFunctor(attr) != functor_v4) return 0;
    value = checked_mutable_value(StrArg(attr, 3), &steps);
  } while (IsStr(value) && StrFunctor(value) == functor_v4);
  if (!IsStr(value) || StrFunctor(value) != FD_FUNCTOR_DOM4) return 0;
  *lists = deref(StrArg(attr, 4)) != MakeSmall(0);
  if (*lists) {
    TAGGED record = checked_mutable_value(StrArg(attr, 4), &steps);
    if (!IsStr(record) || StrFunctor(record) != FUNCTOR_LISTS7 ||
        !IsSmall(deref(StrArg(record, 1))) || !IsSmall(deref(StrArg(record, 2))))
      return 0;
  }
  return value;
}

/* Whether a dom/4 record's set is well-formed with Min and Max its ends. */
static bool dom_well_formed(const TAGGED *dom)
{
  TAGGED set = deref(dom[1]);
  if (IsLst(set) && LstTail(set) == atom_nil && IsLst(LstHead(set))) {
    /* the common one-interval domain, checked in place (finite ends first) */
    TAGGED min = LstHead(LstHead(set)), max = LstTail(LstHead(set));
    if (IsSmall(min) && IsSmall(max) ? GetSmall(min) <= GetSmall(max)
                                      : fds_is_bound(min) && fds_is_bound(max) &&
                                            min != atom_sup && max != atom_inf &&
                                            fds_val(min) <= fds_val(max))
      return deref(dom[2]) == min && deref(dom[3]) == max;
  }
  return plain_set_within(set, deref(dom[2]), deref(dom[3]));
}

/* fd_well_formed_attribute of an attribute not of attribute_dom's common shape. */
static bool well_formed_walk(TAGGED attr)
{
  bool lists;
  TAGGED value = attribute_dom_walk(attr, &lists);
  return value && dom_well_formed(StrPtr(value));
}

bool fd_well_formed_attribute_general(TAGGED attr, TAGGED dom)
{
  return dom ? dom_well_formed(StrPtr(dom)) : well_formed_walk(attr);
}

/* A new attribute of domain Min..Max and Size put on the unbound variable var, which has none;
 * the caller made room. */
static TAGGED new_attribute(ORVALIS_API_STRUCT *api, worker *w, TAGGED var, TAGGED min, TAGGED max,
                            TAGGED size)
{
  TAGGED attr = copy_template(w);
  TAGGED *dom = StrPtr(attr) + 11;
  dom[2] = min;
  dom[3] = max;
  dom[4] = size;
  put_attributes(var, attr, fd_state(api)->fd_module);
  return attr;
}

TAGGED fd_check_argument_general(ORVALIS_API_STRUCT *api, worker *w, TAGGED term, TAGGED min,
                                 TAGGED max, TAGGED size)
{
  if (IsVar(term)) return new_attribute(api, w, term, min, max, size);
  return IsSmall(term) ? constant_attribute(w, term) : 0;
}

TAGGED fd_link_attribute(ORVALIS_API_STRUCT *api, worker *w, TAGGED term)
{
  term = deref(term);
  if (IsVar(term))
    if (TAGGED attr = fd_var_attribute(api, w, term)) {
      bool lists;
      return attribute_dom(attr, &lists) && lists ? attr : 0;
    }
  return fd_check_argument(api, w, term, atom_inf, atom_sup, atom_sup);
}

/* ---- natives ---- */

/* Room a native ensures before making attributes: the attribute and its '$attrs' record. */
static constexpr uint32_t ATTRIBUTE_ROOM = 414;

static worker *begin_native(ORVALIS_API_STRUCT *api)
{
  worker *w = fd_worker(api);
  for (int i = 0; i < LIVE_SLOTS; i++) w->term[i] = atom_nil;
  return w;
}

static long fail_native(ORVALIS_API_STRUCT *api)
{
  fd_native_fail(api);
  return 0;
}

/* A domain bound with an infinite end. */
static bool infinite_domain(TAGGED attr)
{
  TAGGED *dom = StrPtr(fd_attr_dom(attr));
  return !IsSmall(dom[2]) || !IsSmall(dom[3]);
}

long prolog_fd_arg_attribute_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, long finite,
                                            QX_term_ref attr)
{
  worker *w = begin_native(api);
  ensure_heap(api, w, ATTRIBUTE_ROOM);
  TAGGED a = fd_check_argument(api, w, fd_ref_get(api, x), atom_inf, atom_sup, atom_sup);
  if (!a || (finite && infinite_domain(a))) return fail_native(api);
  fd_ref_put(api, attr, a);
  return 1;
}

long prolog_fd_dvar_list_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref list, long finite)
{
  worker *w = begin_native(api);
  /* a list has fewer cells than the heap holds pairs: more steps means a cyclic list */
  uint32_t steps = (uint32_t)(w->global_top - w->heap_start) / 2 + 1;
  w->term[0] = fd_ref_get(api, list);
  for (; IsLst(w->term[0]); w->term[0] = deref(LstTail(w->term[0]))) {
    if (steps-- == 0) return fail_native(api);
    if (IsSmall(deref(LstHead(w->term[0])))) continue;
    ensure_heap(api, w, ATTRIBUTE_ROOM);
    TAGGED a = fd_check_argument(api, w, LstHead(w->term[0]), atom_inf, atom_sup, atom_sup);
    if (!a || (finite && infinite_domain(a))) return fail_native(api);
  }
  return w->term[0] == atom_nil ? 1 : fail_native(api);
}

long prolog_fd_check_arguments_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref goal,
                                              QX_term_ref attrs)
{
  worker *w = begin_native(api);
  TAGGED g = fd_ref_get(api, goal);
  if (!IsCompound(g)) {
    fd_ref_put(api, attrs, g);
    return 1;
  }
  uint32_t arity = IsLst(g) ? 2 : Arity(StrFunctor(g));
  if (!fd_room_free(w, 288 * arity + 128)) call_overflow(w, 288 * arity + 128, 0);
  g = fd_ref_get(api, goal);
  const TAGGED *args = IsLst(g) ? LstPtr(g) : StrArgs(g);
  TAGGED *out = heap_take(w, IsLst(g) ? 2 : arity + 1), *out_args = out;
  if (IsStr(g)) *out_args++ = StrFunctor(g);
  for (uint32_t i = 0; i < arity; i++) {
    out_args[i] = fd_check_argument(api, w, args[i], atom_inf, atom_sup, atom_sup);
    if (!out_args[i]) return fail_native(api);
  }
  fd_ref_put(api, attrs, IsLst(g) ? MakeLst(out) : MakeStr(out));
  return 1;
}

/* A bound argument: a small integer, inf or sup; 0 for anything else. */
static TAGGED bound_argument(ORVALIS_API_STRUCT *api, QX_term_ref ref)
{
  TAGGED t = fd_ref_get(api, ref);
  return fds_is_bound(t) ? t : 0;
}

static void count_failure(ORVALIS_API_STRUCT *api)
{
  fd_state(api)->failures++;
  fd_native_fail(api);
}

/* restrict_variable's case of a variable without a clpfd attribute restricted to lo < hi, small
 * integers a small width apart: its attribute is made with that domain at once, as the general
 * path's in-place tell into a fresh attribute leaves it (nothing suspends on it, so the tell only
 * counts a pruning). False, doing nothing, in the other cases. */
static bool restrict_fresh(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref x, TAGGED lo, TAGGED hi)
{
  TAGGED var = fd_ref_get(api, x);
  if (!IsVar(var) || !fd_both_small(lo, hi) || GetSmall(lo) >= GetSmall(hi) ||
      !SmallFits(GetSmall(hi) - GetSmall(lo) + 1) || fd_var_attribute(api, w, var))
    return false;
  ensure_heap(api, w, ATTRIBUTE_ROOM);
  new_attribute(api, w, fd_ref_get(api, x), lo, hi, small_width(lo, hi));
  fd_state(api)->prunings++;
  return true;
}

/* Restricts X to the set (or, with set 0, to lo..hi) and wakes what that changes. */
static void restrict_variable(ORVALIS_API_STRUCT *api, QX_term_ref x, TAGGED set, TAGGED lo,
                              TAGGED hi, long begin)
{
  worker *w = fd_worker(api);
  if (begin) prolog_fd_begin_qxenv_multi_qx(api);
  if (!set && restrict_fresh(api, w, x, lo, hi)) return;
  TAGGED value = fd_ref_get(api, x);
  if (IsSmall(value)) {
    bool inside = set ? fd_member(value, set) : fd_val_vs_interval(value, lo, hi) == 0;
    if (!inside) count_failure(api);
    return;
  }
  if (!IsVar(value)) {
    fd_native_fail(api);
    return;
  }
  fd_sync(api, w);
  ensure_heap(api, w, ATTRIBUTE_ROOM);
  w->term[4] = fd_ref_get(api, x);
  dvar d;
  if (!fd_load_argument(api, w, &d, &w->term[3], &w->term[4], atom_inf, atom_sup, atom_sup)) {
    fd_native_fail(api);
    return;
  }
  int mask = set && IsLst(fds_next(set)) ? dvar_fix_set(api, &d, set, w)
             : set                       ? dvar_fix_interval_t(&d, fd_min(set), fd_max(set))
                                         : dvar_fix_interval_t(&d, lo, hi);
  if (mask < 0)
    count_failure(api);
  else if (mask > 0)
    dvar_export_ix(api, w, &d, SELF_NONE);
}

void prolog_fd_in_set_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, QX_term_ref set,
                                     long begin)
{
  worker *w = begin_native(api);
  w->numstack_end = nullptr;
  TAGGED s = fds_import_set(api, w, set);
  if (!s) {
    fd_native_fail(api);
    return;
  }
  if (s == atom_nil) {
    count_failure(api);
    return;
  }
  s = fd_localize(api, w, s);
  restrict_variable(api, x, s, 0, 0, begin);
}

void prolog_fd_in_interval_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, QX_term_ref min,
                                          QX_term_ref max, long begin)
{
  worker *w = begin_native(api);
  w->numstack_end = nullptr;
  TAGGED lo = bound_argument(api, min), hi = bound_argument(api, max);
  if (!lo || !hi) {
    fd_native_fail(api);
    return;
  }
  if (lo == atom_sup || hi == atom_inf || fds_val(lo) > fds_val(hi)) {
    count_failure(api);
    return;
  }
  restrict_variable(api, x, 0, lo, hi, begin);
}

long prolog_fd_tell_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref x, QX_term_ref set)
{
  worker *w = begin_native(api);
  w->numstack_end = nullptr;
  TAGGED s = fds_import_set(api, w, set);
  TAGGED value = fd_ref_get(api, x);
  if (!s || !(IsSmall(value) || IsVar(value))) return fail_native(api);
  s = fd_localize(api, w, s);
  if (IsSmall(value)) return fd_member(value, s) ? 0 : fail_native(api);
  ensure_heap(api, w, ATTRIBUTE_ROOM);
  w->term[4] = fd_ref_get(api, x);
  w->term[3] = fd_check_argument(api, w, w->term[4], atom_inf, atom_sup, atom_sup);
  if (!w->term[3]) return fail_native(api);
  TAGGED current = deref(current_dom(w)[1]);
  int code = fd_compare(current, s);
  if (code == 4 || s == atom_nil) return fail_native(api);
  if (code == 5) return fd_tell_unsafe(api, w, fd_intersection(api, w, current, s)) & 7;
  return code == 2 ? fd_tell_unsafe(api, w, s) & 7 : 0;
}
