/* Propagation levels, their queues, waking the suspensions of changed variables, and the loop.
 *
 * A level is a record of six circular queues; the stack of open levels follows backtracking
 * through the level mutable (term reference 5), whose Value names the top level (its address + 3,
 * or 3 for none). Every operation that touches queues first brings the stack in line with it
 * (fd_sync), so that work queued on a level made after a choicepoint is gone once it is undone.
 * Queue entries are heap terms held outside the heap: the collector reaches them through
 * fd_manager_hook. An enqueue with no open level opens one, as $fd_begin does.
 */
#include <cstdio>
#include <cstring>

#include "fd_indexical.h"
#include "fd_propagate.h"
#include "objareas.h"

namespace {

constexpr QX_term_ref LEVEL_REF = 5; /* the term reference holding the level mutable */
constexpr uint32_t QUEUE_INITIAL_SIZE = 4;
constexpr uint32_t HINT_EMPTY = 6;
constexpr int QUEUE_DAEMONS = 4, QUEUE_BINDINGS = 5;
constexpr int CODE_IX_FRONT = 0, CODE_IX_BACK = 1, CODE_GLOBAL_FRONT = 2, CODE_QUEUE1_BACK = 3,
              CODE_QUEUE2_BACK = 5, CODE_DAEMON = 9, CODE_BINDING = 11;
/* Words the waking of one Val-list entry may build when it is linked again: '-'/2, a copy of the
 * suspension record, a list cell, and an attribute for a variable that has none. */
constexpr uint32_t VAL_RELINK_WORDS = 13 + FD_ATTRIBUTE_WORDS;
constexpr int KEPT_BUFFER = 32; /* Val-list entries kept on the stack before temporary storage */
constexpr uint32_t STATUS_RUN_MASK = FD_ST_REQUEUE | FD_ST_RUNNING;

/* ---- the level mutable and the level stack ---- */

TAGGED level_mutable(ORVALIS_API_STRUCT *api) { return *fd_ref_slot(api, LEVEL_REF); }
/* The same slot reached from the worker. */
QX_HOT_INLINE TAGGED level_mutable(const worker *w)
{
  return w->fli_info.fli_stack_start[2 * LEVEL_REF];
}
/* fd_ref_slot reached from the worker, which the loop keeps in a register. */
QX_HOT_INLINE TAGGED *ref_cells(const worker *w, QX_term_ref ref)
{
  return w->fli_info.fli_stack_start + 2 * ref;
}

propagator *level_of(TAGGED m)
{
  TAGGED v = deref(StrArg(m, 1));
  return IsSmall(v) ? (propagator *)fd_word_address(v) : nullptr;
}
inline int32_t stamp_of(TAGGED m) { return GetSmall(deref(StrArg(m, 2))); }

/* Makes m, the level mutable's last '$mutable', name p: fd_update_mutable inline, as a level opens
 * and closes on every post. */
QX_HOT_INLINE void name_level(ORVALIS_API_STRUCT *api, worker *w, TAGGED m, propagator *p)
{
  fd_trail_mutable(api, w, m);
  StrPtr(m)[1] = fd_address_word(p);
}

void clear_level(propagator *p)
{
  for (prop_queue &q : p->queue) q.first = q.last = 0;
  p->hint = HINT_EMPTY;
  p->stamp = 0;
}

/* Drops the entries inserted after the Stamp fell to now, keeping the others in order. */
void purge_level(propagator *p, int32_t now)
{
  p->hint = HINT_EMPTY;
  for (uint32_t index = 0; index < FD_QUEUES; index++) {
    prop_queue &q = p->queue[index];
    uint32_t mask = q.size - 1, kept = q.first;
    for (uint32_t i = q.first; i != q.last; i = (i + 1) & mask) {
      if ((int32_t)q.items[2 * i + 1] > now) continue;
      q.items[2 * kept] = q.items[2 * i];
      q.items[2 * kept + 1] = q.items[2 * i + 1];
      kept = (kept + 1) & mask;
    }
    q.last = kept;
    if (index < p->hint && q.first != q.last) p->hint = index;
  }
  p->stamp = now;
}

void pop_level(struct fd_state *fd)
{
  propagator *p = fd->current_propagator;
  fd->current_propagator = p->next;
  clear_level(p);
  p->next = fd->free_propagators;
  fd->free_propagators = p;
}

/* A level taken from the free list may lack queues when an allocation failed while it was made. */
void give_queues(ORVALIS_API_STRUCT *api, propagator *p)
{
  if (p->queue[FD_QUEUES - 1].items) return; /* made in order: the last one made means all were */
  for (prop_queue &q : p->queue)
    if (!q.items) {
      size_t bytes = QUEUE_INITIAL_SIZE * 2 * sizeof(TAGGED);
      q.items = (TAGGED *)qx_checkalloc(bytes, QX_SPACE_SOLVER);
      std::memset(q.items, 0, bytes);
      q.first = q.last = 0;
      q.size = QUEUE_INITIAL_SIZE;
    }
}

/* Whether the level mutable m (dereferenced) names p, with a Stamp no older than p's: the usual
 * case, read without walking the mutable's chain (a Value that names a level ends it). */
QX_HOT_INLINE bool level_current(TAGGED m, const propagator *p)
{
  const TAGGED *cell = StrPtr(m);
  return p && cell[1] == fd_address_word(p) && IsSmall(cell[2]) && p->stamp <= GetSmall(cell[2]);
}

/* fd_sync's usual case, where the level mutable m (dereferenced) names the top level (or none, and
 * none is open) in its own Value: no level moves, only entries newer than its Stamp go. False,
 * doing nothing, in the other cases. */
QX_HOT_INLINE bool sync_in_place(struct fd_state *fd, TAGGED m)
{
  const TAGGED *cell = StrPtr(m);
  propagator *p = fd->current_propagator;
  if (cell[1] != fd_address_word(p) || !IsSmall(cell[2])) return false;
  int32_t now = GetSmall(cell[2]);
  for (; p; p = p->next)
    if (p->stamp > now) purge_level(p, now);
  return true;
}

/* fd_sync, its usual case inline, given the level mutable m (dereferenced): the last '$mutable' of
 * its chain after it. */
QX_HOT_INLINE TAGGED sync_levels(ORVALIS_API_STRUCT *api, worker *w, TAGGED m)
{
  if (sync_in_place(fd_state(api), m)) return m;
  fd_sync(api, w);
  return fd_mutable_last(m);
}
QX_HOT_INLINE TAGGED sync_levels(ORVALIS_API_STRUCT *api, worker *w)
{
  return sync_levels(api, w, deref(level_mutable(api)));
}

/* The current level once the stack agrees with the level mutable; null when none is open. */
QX_HOT_INLINE propagator *synced_level(ORVALIS_API_STRUCT *api, worker *w)
{
  propagator *p = fd_state(api)->current_propagator;
  TAGGED m = deref(level_mutable(api));
  if (level_current(m, p)) return p;
  sync_levels(api, w, m);
  return fd_state(api)->current_propagator;
}

/* $fd_begin once the stack agrees with the level mutable, whose last '$mutable' is m: a new level
 * on top, named by it. */
propagator *push_level(ORVALIS_API_STRUCT *api, worker *w, TAGGED m)
{
  struct fd_state *fd = fd_state(api);
  propagator *p = fd->free_propagators;
  if (p) {
    fd->free_propagators = p->next;
  } else {
    p = (propagator *)qx_checkalloc(sizeof(propagator), QX_SPACE_SOLVER);
    std::memset(p, 0, sizeof *p);
    p->hint = HINT_EMPTY;
  }
  /* On the stack before its queues are made, so that a failed allocation leaks nothing. */
  p->next = fd->current_propagator;
  fd->current_propagator = p;
  give_queues(api, p);
  name_level(api, w, m, p);
  return p;
}

/* insertion_level's case where the level mutable *m (dereferenced) does not name the top level as
 * current: the current level once the stack agrees with it, opened first when there is none, and
 * in *m the mutable's last '$mutable'. */
propagator *open_level(ORVALIS_API_STRUCT *api, worker *w, TAGGED *m)
{
  *m = sync_levels(api, w, *m);
  propagator *p = fd_state(api)->current_propagator;
  return p ? p : push_level(api, w, *m);
}

/* The current level (opened first when there is none) and the level mutable's Stamp after saving
 * it under the newest choicepoint (once per choicepoint): entries inserted now carry the Stamp,
 * and backtracking past their insertion brings it below theirs. */
QX_HOT_INLINE propagator *insertion_level(ORVALIS_API_STRUCT *api, worker *w, int32_t *stamp)
{
  TAGGED m = deref(level_mutable(w));
  propagator *p = fd_state(api)->current_propagator;
  if (!p && sync_in_place(fd_state(api), m)) {
    /* none open, as after every post's run: the new level's naming saved the mutable */
    p = push_level(api, w, m);
    *stamp = GetSmall(StrPtr(m)[2]);
    return p;
  }
  if (!level_current(m, p)) p = open_level(api, w, &m);
  fd_trail_mutable(api, w, m);
  *stamp = stamp_of(m);
  return p;
}

/* Moves levels from the free list back onto the empty stack until target is on top. A target
 * not on the list was made by an earlier instance of the solver: no level is open then. */
void reinstate_levels(struct fd_state *fd, propagator *target)
{
  propagator *p = fd->free_propagators;
  while (p && p != target) p = p->next;
  if (!p) {
#ifndef NDEBUG
    std::fprintf(stderr, "%% clpfd: the level mutable names no level of this instance\n");
#endif
    return;
  }
  while (fd->current_propagator != target) {
    p = fd->free_propagators;
    fd->free_propagators = p->next;
    p->next = fd->current_propagator;
    fd->current_propagator = p;
  }
}

/* ---- circular queues ---- */

inline bool queue_empty(const prop_queue *q) { return q->first == q->last; }

/* Doubles the ring; wrapped entries (first after last) move up by the old size. */
void queue_grow(ORVALIS_API_STRUCT *api, prop_queue *q)
{
  uint32_t old = q->size;
  q->items = (TAGGED *)qx_checkrealloc(q->items, (size_t)old * 2 * sizeof(TAGGED),
                                       (size_t)old * 4 * sizeof(TAGGED), QX_SPACE_SOLVER);
  std::memset(q->items + 2 * old, 0, (size_t)old * 2 * sizeof(TAGGED));
  if (q->first > q->last) {
    std::memmove(q->items + 2 * (q->first + old), q->items + 2 * q->first,
                 (size_t)(old - q->first) * 2 * sizeof(TAGGED));
    q->first += old;
  }
  q->size = old * 2;
}

/* Queue code >> 1 gets entry: odd codes append, even ones insert in front. stamp is the level
 * mutable's after insertion_level. */
inline void level_insert(ORVALIS_API_STRUCT *api, propagator *p, int code, TAGGED entry,
                         int32_t stamp)
{
  uint32_t index = (uint32_t)code >> 1;
  prop_queue *q = &p->queue[index];
  uint32_t at;
  if (code & 1) { /* full when the slot after the last is the first */
    uint32_t next = (q->last + 1) & (q->size - 1);
    if (__builtin_expect(next == q->first, 0)) {
      queue_grow(api, q);
      next = (q->last + 1) & (q->size - 1);
    }
    at = q->last;
    q->last = next;
  } else { /* full when the slot before the first is the last */
    at = (q->first - 1) & (q->size - 1);
    if (__builtin_expect(at == q->last, 0)) {
      queue_grow(api, q);
      at = (q->first - 1) & (q->size - 1);
    }
    q->first = at;
  }
  TAGGED *items = q->items;
  items[2 * at] = entry;
  items[2 * at + 1] = (TAGGED)stamp;
  p->stamp = stamp;
  if (index < QUEUE_DAEMONS && index < p->hint) p->hint = index;
}

inline TAGGED queue_take(prop_queue *q)
{
  TAGGED entry = q->items[2 * q->first];
  q->first = (q->first + 1) & (q->size - 1);
  return entry;
}

/* Calls f on the cell of every queue entry of every open level, top level first. */
template <typename F>
void each_entry(struct fd_state *fd, F f)
{
  for (propagator *p = fd->current_propagator; p; p = p->next)
    for (prop_queue &q : p->queue)
      for (uint32_t i = q.first; i != q.last; i = (i + 1) & (q.size - 1)) f(&q.items[2 * i]);
}

/* Calls f on every cell of the running native's root ranges (fd_roots). */
template <typename F>
void each_root(struct fd_state *fd, F f)
{
  for (uint32_t r = 0; r < fd->root_count; r++)
    for (uint32_t i = 0; i < fd->roots[r].n; i++) f(&fd->roots[r].start[i]);
}

/* ---- suspension records ---- */

/* A Val-list element '-'(Vars, Susp) is dead when Susp is. */
bool suspension_dead(TAGGED e)
{
  e = deref(e);
  if (StrFunctor(e) == functor_minus2) e = deref(StrArg(e, 2));
  return fd_dead(e);
}

/* The list a key selects: 0 dom, 1 min, 2 max, 3 minmax, 4 val (any other key). */
int list_index(const struct fd_state *fd, TAGGED key)
{
  /* the keys the solver itself passes: functor words */
  if (key == fd->functor_val) return 4;
  if (key == fd->functor_minmax) return 3;
  key = deref(key);
  TAGGED name = FunctorName(IsStr(key) ? StrFunctor(key) : key); /* k(_) or the functor word k/1 */
  if (name == atom_dom) return 0;
  if (name == FunctorName(fd->functor_min)) return 1;
  if (name == FunctorName(fd->functor_max)) return 2;
  if (name == FunctorName(fd->functor_minmax)) return 3;
  return 4;
}

/* The '$fdlists' record of a lists mutable, copied and stored with fd_update_mutable first when it
 * is older than the newest choicepoint, so that it may be changed in place. 8 heap words. */
TAGGED young_record(ORVALIS_API_STRUCT *api, worker *w, TAGGED lists, TAGGED lists_mutable)
{
  if (StrPtr(lists) >= w->global_uncond) return lists;
  TAGGED *copy = fd_heap_words(w, 8);
  std::memcpy(copy, StrPtr(lists), 8 * sizeof(TAGGED));
  fd_update_mutable(api, w, MakeStr(copy), lists_mutable);
  return MakeStr(copy);
}

TAGGED young_lists(ORVALIS_API_STRUCT *api, worker *w, TAGGED lists_mutable)
{
  return young_record(api, w, fd_mutable_value(lists_mutable), lists_mutable);
}

/* deref for the cells of suspension lists, records and attributes, which rarely hold a reference:
 * the usual case is one test, the chain walk stays out of the loops. */
QX_HOT_INLINE TAGGED deref_cell(TAGGED t) { return __builtin_expect(IsRef(t), 0) ? deref(t) : t; }

inline int32_t lists_int(TAGGED lists, int arg) { return GetSmall(deref_cell(StrArg(lists, arg))); }

bool is_record(TAGGED t, TAGGED functor) { return IsStr(t) && StrFunctor(t) == functor; }

/* The '$fdlists' record of a lists mutable; 0 when the attribute has none (a constant's). */
QX_HOT_INLINE TAGGED lists_record(TAGGED lists_mutable)
{
  lists_mutable = deref_cell(lists_mutable);
  if (!is_record(lists_mutable, functor_mutable2)) return 0;
  TAGGED lists = StrArg(lists_mutable, 1); /* usually the record itself, not a newer mutable */
  if (!is_record(lists, functor_fdlists7)) lists = fd_mutable_value(lists_mutable);
  return is_record(lists, functor_fdlists7) ? lists : 0;
}

int lists_mask(TAGGED lists_mutable)
{
  TAGGED lists = lists_record(lists_mutable);
  return lists ? lists_int(lists, FD_LISTS_MASK) : 0;
}

/* ---- waking ---- */

struct waker {
  ORVALIS_API_STRUCT *api;
  worker *w;
  propagator *p;
  TAGGED self;
  int32_t stamp;
  /* The newest choicepoint's bounds, read once per wake: a status mutable below uncond whose
   * Stamp is below saved is not yet saved under it. The walks make no choicepoint and do not
   * collect; wake_values_from relinks after a collection without them. */
  const TAGGED *uncond;
  int32_t saved;
};

/* The trail index of the newest choicepoint, INT32_MIN when there is none: a mutable older than
 * the choicepoint whose Stamp is below it is not yet saved under it. Only a Prolog goal changes
 * it; a collection keeps the trail's entries, so the index stays. */
inline int32_t save_index(const worker *w)
{
  return w->node_ < w->choice_start ? (int32_t)(w->node_->trail_top - w->trail_start) : INT32_MIN;
}

/* A waker without its level yet. */
waker make_waker(ORVALIS_API_STRUCT *api, worker *w, TAGGED self)
{
  return {api, w, nullptr, self, 0, w->global_uncond, save_index(w)};
}

/* insertion_level for a wake: the waker's bounds tell whether the level mutable needs saving. */
QX_HOT_INLINE propagator *insertion_level(const waker &k, int32_t *stamp)
{
  TAGGED m = deref(level_mutable(k.w));
  propagator *p = fd_state(k.api)->current_propagator;
  if (!level_current(m, p)) return insertion_level(k.api, k.w, stamp);
  const TAGGED *cell = StrPtr(m);
  if (cell < k.uncond && GetSmall(cell[2]) < k.saved) return insertion_level(k.api, k.w, stamp);
  *stamp = GetSmall(cell[2]);
  return p;
}

/* Whether the suspension record at r is alive, its Dead unbound (dereferenced into *dead). Dead
 * is mostly a reference to a variable of the constraint, unbound or bound to an integer. */
QX_HOT_INLINE bool record_alive(const TAGGED *r, TAGGED *dead)
{
  TAGGED d = r[FD_ARG_DEAD];
  if (!IsRef(d)) return false;
  TAGGED next = *RefPtr(d);
  if (next != d) {
    if (!IsRef(next)) return false;
    d = deref(next);
    if (!IsVar(d)) return false;
  }
  *dead = d;
  return true;
}

/* The last status mutable of a record, its word read on the way: the word is a small integer, so
 * a mutable whose Value is one is the last (the common case, without the general chain walk). */
QX_HOT_INLINE TAGGED status_read(TAGGED record, uint32_t *status)
{
  TAGGED m = deref_cell(StrArg(record, FD_ARG_STATUS)), v = StrArg(m, 1);
  if (!IsSmall(v)) {
    m = fd_mutable_last(m);
    v = deref(StrArg(m, 1));
  }
  *status = (uint32_t)GetSmall(v);
  return m;
}
/* A changed status word, written after saving the mutable under the newest choicepoint. */
inline void put_status_word(ORVALIS_API_STRUCT *api, worker *w, TAGGED m, uint32_t status)
{
  fd_trail_mutable(api, w, m);
  StrPtr(m)[1] = MakeSmall((int32_t)status);
}
/* put_status_word during a wake: the waker's bounds tell whether the mutable needs saving (older
 * than the newest choicepoint, its Stamp below the choicepoint's trail index), so the save is
 * the push alone. */
QX_HOT_INLINE void wake_status_word(const waker &k, TAGGED m, uint32_t status)
{
  TAGGED *cell = StrPtr(m);
  if (cell < k.uncond && GetSmall(cell[2]) < k.saved) {
    qx_trail_mutable_save(k.w, cell);
    fd_trail_check(k.api, k.w);
  }
  cell[1] = MakeSmall((int32_t)status);
}

/* The waker's level, found at its first insertion: a wake that queues nothing opens no level and
 * saves no level mutable. */
QX_HOT_INLINE propagator *wake_level(waker &k)
{
  if (__builtin_expect(!k.p, 0)) k.p = insertion_level(k, &k.stamp);
  return k.p;
}

QX_HOT_INLINE void queue_daemon(waker &k, TAGGED d)
{
  uint32_t status;
  status_read(d, &status);
  if ((status & STATUS_RUN_MASK) == FD_ST_RUNNING) return;
  propagator *p = wake_level(k);
  level_insert(k.api, p, CODE_DAEMON, d, k.stamp);
}

/* Queues a global or an indexical with queue code `code` unless it is queued already. */
QX_HOT_INLINE void queue_record(waker &k, TAGGED s, int code)
{
  uint32_t status;
  TAGGED m = status_read(s, &status);
  if (status & FD_ST_QUEUED) return;
  wake_status_word(k, m, status | FD_ST_QUEUED);
  propagator *p = wake_level(k);
  level_insert(k.api, p, code, s, k.stamp);
}

/* Queues a live suspension with functor f unless it is queued already: code for a global, ix_code
 * for an ix/7. dead is its Dead argument, dereferenced (an indexical's, when it is self, keeps it
 * from queueing). The codes are constants, so that each insertion folds to one queue.
 * daemons_first orders the tests: the bound-change walks test for a daemon first; a fixed
 * variable's walks, whose lists hold mostly globals, and the Val lists, which hold no daemons,
 * last. */
template <int code, int ix_code, bool daemons_first = true>
QX_HOT_INLINE void queue_suspension(waker &k, TAGGED s, TAGGED f, TAGGED dead)
{
  if (daemons_first && f == functor_daemon5) {
    queue_daemon(k, s);
  } else if (f == functor_global5) {
    queue_record(k, s, code);
  } else if (f == functor_ix7) {
    if (s != k.self && dead != k.self) queue_record(k, s, ix_code);
  } else if (!daemons_first && f == functor_daemon5) {
    queue_daemon(k, s);
  }
}

/* Front-inserting waker of one list of a fixed variable: its globals go to queue gq. */
template <int gq>
QX_HOT_INLINE void wake_front(waker &k, TAGGED list)
{
  for (; IsLst(list); list = deref_cell(LstTail(list))) {
    TAGGED s = deref_cell(LstHead(list)), dead;
    if (!record_alive(StrPtr(s), &dead)) continue;
    if (gq == 3)
      queue_suspension<6, CODE_IX_FRONT, false>(k, s, StrFunctor(s), dead);
    else
      queue_suspension<4, CODE_IX_FRONT, false>(k, s, StrFunctor(s), dead);
  }
}

/* Drops the `dead` dead entries of list `index` of lists, the record lists_mutable holds (copied
 * first when it is older than the newest choicepoint), the last of them before `shared`: the cells
 * before it are copied when old, relinked when young; the rest is shared. The caller made room.
 * Returns the record changed. */
TAGGED drop_list(ORVALIS_API_STRUCT *api, worker *w, TAGGED lists_mutable, TAGGED lists, int index,
                 int32_t dead, TAGGED shared)
{
  lists = young_record(api, w, lists, lists_mutable);
  TAGGED *record = StrPtr(lists), list = deref_cell(record[FD_LISTS_FIRST + index]);
  TAGGED *out = record + FD_LISTS_FIRST + index;
  for (TAGGED l = list; l != shared;) {
    TAGGED *cell = LstPtr(l);
    l = deref_cell(cell[1]);
    TAGGED dead_arg;
    if (!record_alive(StrPtr(deref_cell(cell[0])), &dead_arg)) continue;
    if (cell < w->global_uncond) {
      TAGGED *copy = fd_heap_words(w, 2);
      copy[0] = cell[0];
      cell = copy;
    }
    *out = MakeLst(cell);
    out = &cell[1];
  }
  *out = shared;
  record[FD_LISTS_COUNT] = MakeSmall(lists_int(lists, FD_LISTS_COUNT) - dead);
  if (IsLst(deref_cell(record[FD_LISTS_FIRST + index]))) return lists;
  int32_t mask = lists_int(lists, FD_LISTS_MASK) & FD_WAKE_VAL;
  for (int i = 0; i < 4; i++)
    if (IsLst(deref_cell(record[FD_LISTS_FIRST + i]))) mask |= 1 << i;
  record[FD_LISTS_MASK] = MakeSmall(mask);
  return lists;
}

/* Heap words the dropping of dead entries from the lists of a record may take: a copy of the
 * record and of every cell, and a margin. */
inline uint32_t drop_words(TAGGED lists)
{
  int32_t count = lists_int(lists, FD_LISTS_COUNT);
  return 2 * (uint32_t)(count > 0 ? count : 0) + 136;
}

/* Queues the live suspensions of a bound change's list from cell l on, up to its first dead entry:
 * the cell of that entry, or the list's end. Its globals go to queue gq. */
template <int gq>
QX_HOT_INLINE TAGGED wake_live(waker &k, TAGGED l)
{
  for (; IsLst(l); l = deref_cell(LstTail(l))) {
    TAGGED s = deref_cell(LstHead(l)), d;
    if (!record_alive(StrPtr(s), &d)) break;
    if (gq == 3)
      queue_suspension<7, CODE_IX_BACK>(k, s, StrFunctor(s), d);
    else
      queue_suspension<5, CODE_IX_BACK>(k, s, StrFunctor(s), d);
  }
  return l;
}

/* Back-appending waker of list `index` of lists, the record of lists_mutable: live entries are
 * queued, dead ones dropped from the list (drop_list) when the heap has room for it; else the
 * index goes into *later, for drop_dead once every list is walked (a drop queues nothing, so the
 * queues keep their order). Returns the record, a copy when dropping needed one. The walk up to
 * the first dead entry keeps no count. */
template <int gq>
QX_HOT_INLINE TAGGED wake_back(waker &k, TAGGED lists_mutable, TAGGED lists, int index, int *later)
{
  TAGGED l = wake_live<gq>(k, deref_cell(StrArg(lists, FD_LISTS_FIRST + index)));
  if (__builtin_expect(!IsLst(l), 1)) return lists;
  int32_t dead = 0;
  TAGGED shared; /* the rest after the last dead entry */
  do {
    dead++;
    shared = deref_cell(LstTail(l));
    l = wake_live<gq>(k, shared);
  } while (IsLst(l));
  if (!fd_room_free(k.w, drop_words(lists))) {
    *later |= 1 << index;
    return lists;
  }
  return drop_list(k.api, k.w, lists_mutable, lists, index, dead, shared);
}

/* The drops wake_back left for lack of room, the lists in the mask `later`, highest first, once
 * room is made: the collection may move the lists, so their dead entries are counted again. */
__attribute__((noinline)) void drop_dead(ORVALIS_API_STRUCT *api, worker *w, TAGGED lists_mutable,
                                         int later)
{
  fd_room(api, w, drop_words(fd_mutable_value(lists_mutable)), &lists_mutable, 1);
  for (int i = 3; i >= 0; i--) {
    if (!(later & (1 << i))) continue;
    TAGGED lists = fd_mutable_value(lists_mutable);
    TAGGED list = deref(StrArg(lists, FD_LISTS_FIRST + i)), shared = list;
    int32_t dead = 0;
    for (TAGGED l = list; IsLst(l); l = deref(LstTail(l)))
      if (fd_dead(deref(LstHead(l)))) {
        dead++;
        shared = deref(LstTail(l));
      }
    drop_list(api, w, lists_mutable, lists, i, dead, shared);
  }
}

/* B of iff(Ix, B, Value, Dead) is bound to, or has the domain minimum, Value. */
bool iff_holds(ORVALIS_API_STRUCT *api, TAGGED iff)
{
  TAGGED b = deref(StrArg(iff, 2)), value = deref(StrArg(iff, 3));
  if (!IsVar(b)) return b == value;
  TAGGED attr = fd_var_attribute(api, fd_worker(api), b);
  return attr && deref(StrArg(fd_attr_dom(attr), 2)) == value;
}

TAGGED first_unbound(TAGGED vars, TAGGED *rest)
{
  for (vars = deref(vars); IsLst(vars); vars = deref(LstTail(vars))) {
    TAGGED v = deref(LstHead(vars));
    if (IsVar(v)) {
      *rest = deref(LstTail(vars));
      return v;
    }
  }
  return 0;
}

/* A Val-list suspension whose variables are all fixed fires; dead is its Dead argument. */
QX_HOT_INLINE void fire_value_suspension(waker &k, TAGGED s, TAGGED f, TAGGED dead)
{
  if (f == functor_iff4) {
    if (!iff_holds(k.api, s)) return;
    s = deref(StrArg(s, 1));
    f = StrFunctor(s);
    dead = deref(StrArg(s, FD_ARG_DEAD));
  }
  queue_suspension<CODE_GLOBAL_FRONT, CODE_IX_FRONT, false>(k, s, f, dead);
}

/* The Val list of a fixed variable from cell list on: suspensions whose variables are all fixed
 * fire; the others are linked into the list of their next unbound variable, after making room for
 * them (the kept entries are roots meanwhile). */
__attribute__((noinline)) void wake_values_from(waker &k, TAGGED list)
{
  ORVALIS_API_STRUCT *api = k.api;
  worker *w = k.w;
  struct fd_state *fd = fd_state(api);
  /* Most lists keep few entries: the list is measured only when they outgrow the buffer. */
  TAGGED buffer[KEPT_BUFFER];
  TAGGED *kept = buffer;
  int nkept = 0, capacity = KEPT_BUFFER;
  TAGGED first_iff = 0;
  for (TAGGED l = list; IsLst(l); l = deref_cell(LstTail(l))) {
    TAGGED e = deref_cell(LstHead(l)), s = deref_cell(StrArg(e, 2)), dead, rest;
    if (!record_alive(StrPtr(s), &dead)) continue; /* most are: entailed since they were linked */
    TAGGED f = StrFunctor(s);
    if (f == functor_iff4 && !first_iff) first_iff = l;
    TAGGED vars = deref_cell(StrArg(e, 1));
    if (vars == atom_nil) {
      fire_value_suspension(k, s, f, dead); /* the usual entry: no other variable to wait for */
    } else if (first_unbound(vars, &rest)) {
      if (nkept == capacity) {
        capacity = fd_list_length(list);
        auto *more = (TAGGED *)fd_temp_alloc(api, w, (size_t)capacity * sizeof(TAGGED));
        std::memcpy(more, kept, (size_t)nkept * sizeof(TAGGED));
        kept = more;
      }
      kept[nkept++] = e;
    } else {
      fire_value_suspension(k, s, f, dead);
    }
  }
  /* The checking indexicals of a reified call stop once their Boolean is decided. */
  for (TAGGED l = first_iff ? first_iff : atom_nil; IsLst(l); l = deref(LstTail(l))) {
    TAGGED s = deref(StrArg(deref(LstHead(l)), 2));
    TAGGED dead = deref(StrArg(s, FD_ARG_DEAD));
    if (StrFunctor(s) == functor_iff4 && IsVar(dead)) fd_bind(api, w, dead, deref(StrArg(s, 3)));
  }
  if (nkept) fd_room(api, w, VAL_RELINK_WORDS * (uint32_t)nkept, kept, (size_t)nkept);
  for (int i = 0; i < nkept; i++) {
    TAGGED s = deref(StrArg(kept[i], 2)), rest;
    if (StrFunctor(s) == functor_iff4) {
      if (!iff_holds(api, s)) continue;
      s = deref(StrArg(s, 1));
    }
    TAGGED var = first_unbound(StrArg(kept[i], 1), &rest);
    TAGGED *pair = fd_heap_words(w, 3);
    pair[0] = functor_minus2;
    pair[1] = rest;
    pair[2] = s;
    fd_link(api, w, var, fd->functor_val, MakeStr(pair));
  }
}

/* The Val list of a fixed variable. Its live entries are mostly suspensions with no other
 * variable to wait for, which fire: this loop queues those, and leaves the list from the first
 * other entry on to wake_values_from. Out of line, so that the skip over the many dead entries
 * keeps its values in registers; the waker passed by value, a copy the heap writes cannot alias. */
__attribute__((noinline)) void wake_values(waker k, TAGGED list)
{
  for (TAGGED l = list; IsLst(l); l = deref_cell(LstTail(l))) {
    TAGGED e = deref_cell(LstHead(l)), s = deref_cell(StrArg(e, 2)), dead;
    if (!record_alive(StrPtr(s), &dead)) continue; /* most are: entailed since they were linked */
    TAGGED f = StrFunctor(s);
    if (f == functor_iff4 || deref_cell(StrArg(e, 1)) != atom_nil) return wake_values_from(k, l);
    queue_suspension<CODE_GLOBAL_FRONT, CODE_IX_FRONT, false>(k, s, f, dead);
  }
}

/* enqueue_record for a variable just fixed: the front-inserting wake of its four lists, then of its
 * Val list. */
void wake_fixed(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self, TAGGED lists)
{
  waker k = make_waker(api, w, self);
  int all = lists_int(lists, FD_LISTS_MASK); /* a bit for every list that is not empty */
  for (uint32_t bits = (uint32_t)all & 15; bits; bits &= bits - 1) {
    int i = __builtin_ctz(bits);
    TAGGED list = deref_cell(StrArg(lists, FD_LISTS_FIRST + i));
    if (!IsLst(list)) continue;
    if (i == 0)
      wake_front<3>(k, list);
    else
      wake_front<2>(k, list);
  }
  if ((all | mask) & FD_WAKE_VAL)
    wake_values(k, deref_cell(StrArg(lists, FD_LISTS_FIRST + 4)));
}

/* enqueue_record for a variable not fixed: the back-appending wake of the lists in mask (the
 * dom, min, max and minmax bits), highest first. Inline in fd_told, the usual caller. */
QX_HOT_INLINE void wake_bounds(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self,
                               TAGGED lists_mutable, TAGGED lists)
{
  /* Queueing takes no heap words: room is made only where they are taken, by the Val-list
   * relinking and by drop_dead. */
  /* a waker of its own, whose address goes nowhere, so that its fields stay in registers */
  waker k = make_waker(api, w, self);
  int later = 0;
  for (uint32_t bits = (uint32_t)mask & 15; bits;) {
    int i = 31 ^ __builtin_clz(bits);
    bits ^= 1u << i;
    /* the queue of the globals a constant in each of the two inlined loops */
    lists = i == 0 ? wake_back<3>(k, lists_mutable, lists, 0, &later)
                   : wake_back<2>(k, lists_mutable, lists, i, &later);
  }
  if (later) drop_dead(api, w, lists_mutable, later);
}

/* fd_enqueue_all with the '$fdlists' record of lists_mutable already looked up. */
void enqueue_record(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self,
                    TAGGED lists_mutable, TAGGED lists)
{
  if (mask <= 0) return;
  if (mask & FD_WAKE_FIXED) return wake_fixed(api, w, mask, self, lists);
  wake_bounds(api, w, mask, self, lists_mutable, lists);
}

/* ---- running ---- */

/* A daemon gets its attribute through a cell that stays valid if it makes the heap collect:
 * roots[1], one of the two root cells of the drain running it. */
QX_HOT_INLINE void run_daemon(ORVALIS_API_STRUCT *api, worker *w, TAGGED d, TAGGED *roots)
{
  auto *block = (daemon_frame *)fd_word_address(deref_cell(StrArg(d, 5)));
  roots[0] = deref_cell(StrArg(d, 1));
  roots[1] = deref_cell(StrArg(d, 2));
  TAGGED *attr_ref = IsConst(roots[1]) ? (TAGGED *)fd_word_address(roots[1]) : &roots[1];
  block->daemon(api, w, block, attr_ref, roots[0]);
}

/* Runs the live daemons of queue q, not empty, until it is. The root cells are registered once for
 * all of them: each daemon fills them before it runs, and nothing between two daemons collects. */
[[gnu::noinline]] void drain_daemons(ORVALIS_API_STRUCT *api, worker *w, prop_queue *q)
{
  TAGGED roots[2] = {atom_nil, atom_nil};
  fd_roots root(api, roots, 2);
  do {
    TAGGED d = queue_take(q), dead;
    if (record_alive(StrPtr(d), &dead)) run_daemon(api, w, d, roots);
  } while (!queue_empty(q));
}

/* Queue 5: variables with other modules' attributes are bound through the engine's wake-up. */
void drain_bindings(ORVALIS_API_STRUCT *api, worker *w, prop_queue *q)
{
  struct fd_state *fd = fd_state(api);
  while (!queue_empty(q)) {
    TAGGED b = queue_take(q);
    TAGGED var = deref(StrArg(b, 1));
    if (!IsVar(var)) continue;
    TAGGED *cell = delete_attributes(var, fd->fd_module, 0);
    *cell = deref(StrArg(b, 2));
    if (qx_cell_is_old(w, cell)) fd_trail_push(api, w, MakeRef(cell));
    w->wake_count++;
    w->heap_warn_soft = nullptr;
  }
}

void clear_scratch(worker *w)
{
  for (int i = 0; i < FD_LIVE; i++) w->term[i] = atom_nil;
}

/* Makes the native raise the exception an action goal left pending. */
void raise_pending(ORVALIS_API_STRUCT *api, QX_term_ref scratch)
{
  if (QX_exception_term(scratch))
    QX_raise_exception(scratch);
  else
    fd_native_fail(api);
}

/* fd_dequeue, inline in the loop. in_line: only natives ran since the level stack was last
 * brought in line with the level mutable, so nothing undone can have moved it (undoing needs a
 * Prolog goal that fails) and the top level is current as it stands. */
template <bool in_line = false>
QX_HOT_INLINE int next_item(ORVALIS_API_STRUCT *api, worker *w, struct fd_state *fd, TAGGED *out)
{
  propagator *p = in_line ? fd->current_propagator : synced_level(api, w);
  if (!p) return 0;
  if (!queue_empty(&p->queue[QUEUE_DAEMONS])) drain_daemons(api, w, &p->queue[QUEUE_DAEMONS]);
  if (w->global_top >= w->heap_warn_soft) return 3;
  for (uint32_t i = p->hint; i < QUEUE_DAEMONS; i++) {
    prop_queue *q = &p->queue[i];
    if (queue_empty(q)) continue;
    *out = queue_take(q);
    if (queue_empty(q)) {
      p->hint = i + 1;
    } else { /* the next record, last touched when it was queued, is read once this one has run */
      p->hint = i;
      __builtin_prefetch(TagToPointer(q->items[2 * q->first]));
    }
    return i == 0 ? 1 : 2;
  }
  p->hint = QUEUE_DAEMONS;
  if (!queue_empty(&p->queue[QUEUE_BINDINGS])) drain_bindings(api, w, &p->queue[QUEUE_BINDINGS]);
  return 0;
}

/* The status word a global ends its run with: not running, and no longer queued unless it may
 * queue itself again and did not reach its fixpoint. */
QX_HOT_INLINE constexpr uint32_t ended_status(uint32_t status)
{
  status &= ~FD_ST_RUNNING;
  if (!(status & FD_ST_REQUEUE) || (status & FD_ST_AT_FIXPOINT))
    status &= ~(FD_ST_QUEUED | FD_ST_AT_FIXPOINT);
  return status;
}

/* The status of global g after its run. saved: the loop wrote the status when the run began, so
 * that the mutable needs no saving under the same choicepoint. */
template <bool saved = false>
QX_HOT_INLINE void end_run_status(ORVALIS_API_STRUCT *api, worker *w, TAGGED g)
{
  uint32_t old;
  TAGGED m = status_read(g, &old);
  uint32_t status = ended_status(old);
  if (status == old) return;
  if (saved)
    StrPtr(m)[1] = MakeSmall((int32_t)status);
  else
    put_status_word(api, w, m, status);
}

/* Whether list is [exit]: as a run's end makes it, its words read without dereferencing. */
QX_HOT_INLINE bool exit_only(TAGGED list)
{
  if (!IsLst(list)) return false;
  TAGGED head = LstHead(list), tail = LstTail(list);
  if (head == atom_exit && tail == atom_nil) return true;
  return deref(head) == atom_exit && deref(tail) == atom_nil;
}

/* The Value of a global's state mutable: the state term its last '$mutable' holds. The usual
 * mutable holds the state itself, a structure other than a '$mutable'. */
QX_HOT_INLINE TAGGED state_value(TAGGED mutable_term)
{
  TAGGED v = StrArg(deref_cell(mutable_term), 1);
  if (__builtin_expect(IsStr(v) && StrFunctor(v) != functor_mutable2, 1)) return v;
  return fd_mutable_value(mutable_term);
}

/* What running one dequeued global ends with: RUN_ACTIONS continues after action goals ran. */
enum run_outcome { RUN_CONTINUE, RUN_ACTIONS, RUN_PROLOG, RUN_STOP };

/* The status bits a run ends without when it left its word as the loop wrote it (the loop cleared
 * QUEUED and AT_FIXPOINT already for a global that may queue itself again), as they lie in the
 * word's small integer. */
constexpr uint32_t RUN_STATUS = FD_ST_RUNNING | FD_ST_QUEUED | FD_ST_AT_FIXPOINT;
constexpr TAGGED RUN_BITS = (TAGGED)RUN_STATUS << 3;

/* Every word the loop may write as a run begins ends as ended_status would end it. */
constexpr bool run_bits_end_runs()
{
  for (uint32_t status = 0; status < 256; status++) {
    uint32_t running =
        status & FD_ST_REQUEUE ? status & ~(FD_ST_QUEUED | FD_ST_AT_FIXPOINT) : status;
    running |= FD_ST_RUNNING;
    if ((running & ~RUN_STATUS) != ended_status(running)) return false;
  }
  return true;
}
static_assert(run_bits_end_runs());

/* The end of a run whose actions are [] or [exit], the lists of most runs, which nothing collects
 * in. The run began under the newest choicepoint, whose save of the status holds (a native leaves
 * no choicepoint behind). cells[8] holds the status mutable, and running the word the loop wrote:
 * when the run left it so, the word it ends with is known without reading the record. */
QX_HOT_INLINE void end_plain_run(ORVALIS_API_STRUCT *api, worker *w, struct fd_state *fd,
                                 const TAGGED *cells, TAGGED list, TAGGED running)
{
  TAGGED *m = StrPtr(cells[2 * 4]);
  if (list != atom_nil) {
    fd->entailments++;
    TAGGED dead;
    if (record_alive(StrPtr(deref_cell(cells[0])), &dead)) fd_bind(api, w, dead, MakeSmall(1));
  }
  TAGGED word = m[1];
  if (__builtin_expect(word == running, 1))
    m[1] = word & ~RUN_BITS;
  else
    end_run_status<true>(api, w, deref(cells[0]));
}

/* Whether the run just ended stops the loop: an overflow fails the native (or raises the overflow
 * action's exception) as it is met. */
QX_HOT_INLINE bool run_stopped(ORVALIS_API_STRUCT *api, worker *w, struct fd_state *fd,
                               QX_term_ref global)
{
  if (w->fli_data->excp_flag == 0) return true;
  if (__builtin_expect(fd->fd_overflow, 0)) {
    fd_check_overflow(api, deref(StrArg(fd_ref_get(api, global), FD_GLOBAL_CONSTRAINT)));
    return true;
  }
  return false;
}

run_outcome run_global(ORVALIS_API_STRUCT *api, worker *w, struct fd_state *fd, QX_term_ref refs,
                       TAGGED g, int32_t saved)
{
  QX_term_ref global = refs, state = refs + 1, actions = refs + 2, temp = refs + 3, goal = refs + 4;
  /* The references' cells, two words apart, found once before the run and once after it (the
   * run may move the reference stack). Until the run has ended, temp holds State0 and goal the
   * status mutable. */
  TAGGED *cells = ref_cells(w, refs);
  cells[0] = g;
  const TAGGED *record = StrPtr(g);
  TAGGED dead;
  if (!record_alive(record, &dead)) return RUN_CONTINUE;
  uint32_t status;
  TAGGED m = status_read(g, &status); /* read and written once */
  if (status & FD_ST_REQUEUE) status &= ~(FD_ST_QUEUED | FD_ST_AT_FIXPOINT);
  TAGGED running = MakeSmall((int32_t)(status | FD_ST_RUNNING));
  TAGGED *cell = StrPtr(m); /* fd_trail_mutable, the choicepoint's index given */
  if (cell < w->global_uncond && GetSmall(cell[2]) < saved) {
    qx_trail_mutable_save(w, cell);
    fd_trail_check(api, w);
  }
  cell[1] = running;
  fd->resumptions++;
  if (fd->debugging) return RUN_PROLOG;
  fd_global_fn propagator = fd_global_function(api, fd, deref_cell(record[FD_GLOBAL_CONSTRAINT]));
  if (!propagator) return RUN_PROLOG;
  TAGGED state0 = state_value(record[FD_GLOBAL_STATE]);
  cells[2 * 1] = state0;
  cells[2 * 2] = atom_nil;
  cells[2 * 3] = state0;
  cells[2 * 4] = m;
  w->term[0] = state0; /* as dispatch_global_fast hands them over */
  w->term[1] = g;
  if (propagator == prolog_fd_linear_qxenv_multi_qx) {
    /* a linked disequation, the most frequent run, answers its outcome: no actions are built */
    w->term[2] = atom_nil; /* as fd_global_run leaves it */
    w->numstack_end = nullptr;
    int outcome = fd_linear_linked_run(api, w, state0);
    if (outcome != 2) {
      if (run_stopped(api, w, fd, global)) return RUN_STOP;
      if (outcome < 0) {
        fd->failures++;
        fd_native_fail(api);
        return RUN_STOP;
      }
      end_plain_run(api, w, fd, ref_cells(w, refs), outcome ? atom_exit : atom_nil, running);
      return RUN_CONTINUE;
    }
  }
  w->term[2] = FD_LOOP_RUN; /* queued, so a global/5 record: fd_global_run trusts it */
  propagator(api, state, state, actions);
  if (run_stopped(api, w, fd, global)) return RUN_STOP;
  cells = ref_cells(w, refs);
  /* A run that kept its state term (one entailed, or one that changed nothing) trails nothing. A
   * native run does not store into its own state mutable (daemons, which do, run between runs),
   * so that the Value is still State0. */
  if (cells[2 * 1] != cells[2 * 3] && deref(cells[2 * 1]) != deref(cells[2 * 3]))
    fd_update_mutable(api, w, deref(cells[2 * 1]), StrArg(deref(cells[0]), FD_GLOBAL_STATE));
  TAGGED list = cells[2 * 2];
  if (list != atom_nil) list = deref(list);
  if (__builtin_expect(list == atom_nil || exit_only(list), 1)) {
    end_plain_run(api, w, fd, cells, list, running);
    return RUN_CONTINUE;
  }
  w->term[0] = list;
  switch (fd_prune_and_enqueue(api, w, temp, global, goal)) {
  case 1: return RUN_ACTIONS;
  case -1: raise_pending(api, temp); return RUN_STOP;
  default:
    fd->failures++;
    fd_native_fail(api);
    return RUN_STOP;
  }
}

/* The action dom(X), min(X), max(X) or minmax(X) as the mask it tells; 0 for other terms. */
int action_mask(const struct fd_state *fd, TAGGED a)
{
  if (!IsStr(a) || Arity(StrFunctor(a)) != 1) return 0;
  TAGGED name = FunctorName(StrFunctor(a));
  if (name == atom_dom) return FD_WAKE_DOM;
  if (name == FunctorName(fd->functor_min)) return FD_WAKE_DOM | FD_WAKE_MIN;
  if (name == FunctorName(fd->functor_max)) return FD_WAKE_DOM | FD_WAKE_MAX;
  if (name == FunctorName(fd->functor_minmax)) return FD_WAKE_DOM | FD_WAKE_MIN | FD_WAKE_MAX;
  return 0;
}

/* The global/5 argument of a native, or false after raising a type error. */
bool global_argument(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref ref)
{
  TAGGED g = fd_ref_get(api, ref);
  if (is_record(g, functor_global5) && is_record(deref(StrArg(g, FD_ARG_STATUS)), functor_mutable2))
    return true;
  fd_type_error(api, "global", g, 0);
  fd_native_fail(api);
  return false;
}

}  // namespace

/* Pushed in place while the worker's term slots have room for them and the spare one the engine
 * keeps, as a foreign call pushes its arguments; else through the engine, which grows the array. */
QX_term_ref fd_new_refs(ORVALIS_API_STRUCT *api, int n)
{
  worker *w = fd_worker(api);
  if ((uint32_t)n < 16 && qx_term_refs_fit(w, (uint32_t)n))
    return qx_push_cleared_refs(w, (uint32_t)n);
  QX_term_ref r = QX_new_term_refs(n);
  if (!r) qx_memory_fault("term references", QX_SPACE_FOREIGN);
  return r;
}

/* ---- mutables and levels ---- */

void fd_update_mutable(ORVALIS_API_STRUCT *api, worker *w, TAGGED value, TAGGED mutable_term)
{
  TAGGED m = fd_mutable_last(mutable_term);
  fd_trail_mutable(api, w, m);
  StrPtr(m)[1] = value;
}

/* Levels popped since the choicepoint backtracked to come back from the free list (their work
 * is gone); levels and entries made since it go. */
void fd_sync(ORVALIS_API_STRUCT *api, worker *)
{
  struct fd_state *fd = fd_state(api);
  if (sync_in_place(fd, deref(level_mutable(api)))) return;
  TAGGED m = fd_mutable_last(level_mutable(api));
  propagator *target = level_of(m);
  while (fd->current_propagator && fd->current_propagator != target) pop_level(fd);
  if (!fd->current_propagator && target) reinstate_levels(fd, target);
  int32_t now = stamp_of(m);
  for (propagator *p = fd->current_propagator; p; p = p->next)
    if (p->stamp > now) purge_level(p, now);
}

void fd_begin(ORVALIS_API_STRUCT *api, worker *w) { push_level(api, w, sync_levels(api, w)); }

bool fd_idle(ORVALIS_API_STRUCT *api, worker *w)
{
  sync_levels(api, w);
  return !fd_state(api)->current_propagator;
}

/* fd_end, inline. drained: the caller, the loop, found every queue of the top level empty, so that
 * the level goes back to the free list without resetting them (an empty ring may start anywhere),
 * unless the sync moved the stack. The loop's stack is in line with the level mutable then: when
 * the mutable's own Value names the top level, no entry can be newer than its Stamp (only
 * backtracking lowers it), so the sync is skipped. */
template <bool drained = false>
static QX_HOT_INLINE void end_level(ORVALIS_API_STRUCT *api, worker *w)
{
  struct fd_state *fd = fd_state(api);
  propagator *top = fd->current_propagator;
  TAGGED m = deref(level_mutable(w));
  if (!drained || !top || StrPtr(m)[1] != fd_address_word(top)) m = sync_levels(api, w, m);
  propagator *p = fd->current_propagator;
  if (!p) return;
  if (drained && p == top) {
    fd->current_propagator = p->next;
    p->hint = HINT_EMPTY;
    p->stamp = 0;
    p->next = fd->free_propagators;
    fd->free_propagators = p;
  } else {
    pop_level(fd);
  }
  name_level(api, w, m, fd->current_propagator);
}

void fd_end(ORVALIS_API_STRUCT *api, worker *w) { end_level(api, w); }

void fd_dealloc(ORVALIS_API_STRUCT *api)
{
  StrPtr(fd_mutable_last(level_mutable(api)))[1] = MakeSmall(0);
  fd_sync(api, fd_worker(api));
  struct fd_state *fd = fd_state(api);
  while (propagator *p = fd->free_propagators) {
    fd->free_propagators = p->next;
    for (prop_queue &q : p->queue)
      if (q.items) qx_checkdealloc(q.items, (size_t)q.size * 2 * sizeof(TAGGED), QX_SPACE_SOLVER);
    qx_checkdealloc(p, sizeof(propagator), QX_SPACE_SOLVER);
  }
}

/* ---- suspensions and waking ---- */

/* The '$fdlists' record of an attributed variable's attribute in the shape the kernel makes it,
 * read in one look, its lists mutable in *lists_mutable: a v/4 whose domain mutable holds its
 * dom/4 (so it ends its alias chain) and whose lists mutable holds the record itself, with small
 * Count and Mask. 0 for any other term or shape (fd_link_attribute decides then). */
inline TAGGED plain_lists(ORVALIS_API_STRUCT *api, const worker *w, TAGGED var,
                          TAGGED *lists_mutable)
{
  if (!IsVar(var)) return 0;
  TAGGED attr = fd_var_attribute(api, w, var);
  if (!is_record(attr, functor_v4) || !fd_attr_own_dom(attr)) return 0;
  TAGGED l = StrArg(attr, 4);
  if (!is_record(l, functor_mutable2)) return 0;
  TAGGED lists = StrArg(l, 1);
  if (!is_record(lists, functor_fdlists7) || !IsSmall(StrArg(lists, FD_LISTS_COUNT)) ||
      !IsSmall(StrArg(lists, FD_LISTS_MASK)))
    return 0;
  *lists_mutable = l;
  return lists;
}

void fd_link(ORVALIS_API_STRUCT *api, worker *w, TAGGED var, TAGGED key, TAGGED entry)
{
  struct fd_state *fd = fd_state(api);
  TAGGED lists_mutable, lists = plain_lists(api, w, deref(var), &lists_mutable);
  if (lists) {
    lists = young_record(api, w, lists, lists_mutable);
  } else {
    TAGGED attr = fd_link_attribute(api, w, var);
    if (!attr) return; /* an atom or compound: nothing to suspend on */
    lists = young_lists(api, w, StrArg(fd_attr_last(attr), 4));
  }
  int index = list_index(fd, key);
  entry = deref(entry);
  if (index == 4 && !is_record(entry, functor_minus2)) {
    TAGGED *pair = fd_heap_words(w, 3);
    pair[0] = functor_minus2;
    pair[1] = atom_nil;
    pair[2] = entry;
    entry = MakeStr(pair);
  }
  TAGGED *record = StrPtr(lists);
  int32_t count = lists_int(lists, FD_LISTS_COUNT);
  TAGGED list = deref(record[FD_LISTS_FIRST + index]);
  for (; IsLst(list) && suspension_dead(LstHead(list)); list = deref(LstTail(list))) count--;
  TAGGED *cell = fd_heap_words(w, 2);
  cell[0] = entry;
  cell[1] = list;
  record[FD_LISTS_FIRST + index] = MakeLst(cell);
  record[FD_LISTS_COUNT] = MakeSmall(count + 1);
  record[FD_LISTS_MASK] = MakeSmall(lists_int(lists, FD_LISTS_MASK) | (1 << index));
}

namespace {

/* A fixed variable with other modules' attributes is bound through the engine's wake-up, from
 * queue 5. Out of line: its root range would cost the usual tell a frame pointer. *self, a root
 * meanwhile, is the teller's indexical or an atom; the last v/4 of the attribute is returned. */
__attribute__((noinline)) TAGGED queue_binding(ORVALIS_API_STRUCT *api, worker *w, TAGGED *self)
{
  fd_room(api, w, 3, self, 1);
  TAGGED *binding = fd_heap_words(w, 3);
  binding[0] = functor_minus2;
  binding[1] = deref(w->term[4]);
  binding[2] = deref(StrArg(fd_attr_dom(deref(w->term[3])), 2));
  fd_enqueue_general(api, w, MakeStr(binding), CODE_BINDING);
  return fd_attr_last(deref(w->term[3])); /* the room made may have moved it */
}

/* Whether var's only attribute is the solver's: out of line, so that the test's registers do
 * not weigh on told_record's callers' usual paths. */
[[gnu::noinline]] bool only_fd_attribute(const worker *w, TAGGED var, uint32_t slot)
{
  return qx_single_attribute_in_slot(w, var, slot);
}

/* fd_told once the v/4 record last, whose domain mutable holds dom, the new dom/4 record, is
 * known; fixed: dom's size is 1. */
QX_HOT_INLINE void told_record(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self,
                               TAGGED last, TAGGED dom, bool fixed)
{
  struct fd_state *fd = fd_state(api);
  if (mask & (FD_WAKE_MIN | FD_WAKE_MAX)) mask |= FD_WAKE_MINMAX;
  if (fixed) mask |= FD_WAKE_VAL;
  fd->prunings++;
  if (!(mask & FD_WAKE_VAL)) {
    TAGGED lists_mutable = StrArg(last, 4);
    TAGGED lists = lists_record(lists_mutable);
    if (!lists) return;
    mask &= lists_int(lists, FD_LISTS_MASK);
    if (mask) wake_bounds(api, w, mask, self, lists_mutable, lists);
    return;
  }
  TAGGED var = deref(w->term[4]);
  if (IsVar(var)) {
    if (only_fd_attribute(w, var, fd->fd_module->attr_no))
      fd_bind(api, w, var, deref(StrArg(dom, 2)));
    else
      last = queue_binding(api, w, &self);
  }
  TAGGED lists_mutable = StrArg(last, 4);
  if (TAGGED lists = lists_record(lists_mutable))
    enqueue_record(api, w, (mask & lists_int(lists, FD_LISTS_MASK)) + FD_WAKE_FIXED, self,
                   lists_mutable, lists);
}

}  // namespace

void fd_told(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self)
{
  TAGGED last = deref_cell(w->term[3]);
  TAGGED dom = deref_cell(StrArg(deref_cell(StrArg(last, 3)), 1));
  if (!is_record(dom, FD_FUNCTOR_DOM4)) { /* an alias chain, or a forwarded mutable */
    last = fd_attr_last(last);
    dom = fd_mutable_value(StrArg(last, 3));
  }
  told_record(api, w, mask, self, last, dom, deref_cell(StrArg(dom, 4)) == MakeSmall(1));
}

void fd_told_dom(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self, const TAGGED *dom)
{
  TAGGED attr = deref_cell(w->term[3]), m = StrArg(attr, 3);
  /* the attribute ends its chain when its domain mutable holds this very record */
  bool own = IsStr(m) && StrFunctor(m) == functor_mutable2 && StrArg(m, 1) == MakeStr(dom);
  told_record(api, w, mask, self, own ? attr : fd_attr_last(attr), MakeStr(dom),
              dom[4] == MakeSmall(1));
}

void fd_told_own(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self, const TAGGED *dom)
{
  told_record(api, w, mask, self, deref_cell(w->term[3]), MakeStr(dom), dom[4] == MakeSmall(1));
}

void fd_enqueue_all(ORVALIS_API_STRUCT *api, worker *w, int mask, TAGGED self, TAGGED lists_mutable)
{
  if (TAGGED lists = lists_record(lists_mutable))
    enqueue_record(api, w, mask, self, lists_mutable, lists);
}

void fd_enqueue_general(ORVALIS_API_STRUCT *api, worker *w, TAGGED entry, int code)
{
  int32_t stamp;
  propagator *p = insertion_level(api, w, &stamp);
  if (code < 2 * QUEUE_DAEMONS) fd_set_status(api, w, entry, fd_status(entry) | FD_ST_QUEUED);
  level_insert(api, p, code, entry, stamp);
}

void fd_enqueue_global(ORVALIS_API_STRUCT *api, worker *w, TAGGED global, int code)
{
  global = deref_cell(global);
  uint32_t status;
  TAGGED m = status_read(global, &status);
  if (status & FD_ST_QUEUED) return;
  /* as a wake queues one record: the newest choicepoint's bounds read once for both saves */
  waker k = make_waker(api, w, global);
  k.p = insertion_level(k, &k.stamp);
  wake_status_word(k, m, status | FD_ST_QUEUED);
  /* the usual codes folded: as a bound change queues, and as a post does */
  if (code == CODE_QUEUE2_BACK)
    level_insert(api, k.p, CODE_QUEUE2_BACK, global, k.stamp);
  else if (code == CODE_QUEUE1_BACK)
    level_insert(api, k.p, CODE_QUEUE1_BACK, global, k.stamp);
  else
    level_insert(api, k.p, code, global, k.stamp);
}

int fd_dequeue(ORVALIS_API_STRUCT *api, worker *w, TAGGED *out)
{
  return next_item(api, w, fd_state(api), out);
}

int fd_prune_and_enqueue(ORVALIS_API_STRUCT *api, worker *w, QX_term_ref temp, QX_term_ref global,
                         QX_term_ref goal)
{
  struct fd_state *fd = fd_state(api);
  /* The enqueues below bring the level stack in line themselves. The rest of the list is held in
   * temp only across the steps that may collect (fd_told, an action goal). */
  for (TAGGED l = deref(w->term[0]); IsLst(l);) {
    TAGGED a = deref(LstHead(l));
    l = deref(LstTail(l));
    if (a == atom_fail) return 0;
    if (a == atom_exit) {
      fd_entailed(api, w, fd_ref_get(api, global));
      continue;
    }
    fd_ref_put(api, temp, l);
    if (int mask = action_mask(fd, a)) {
      TAGGED x = deref(StrArg(a, 1));
      TAGGED attr = IsVar(x) ? fd_var_attribute(api, w, x) : 0;
      if (attr) {
        w->term[3] = attr;
        w->term[4] = x;
        fd_told(api, w, mask, fd->functor_none);
      }
    } else {
      fd_ref_put(api, goal, a);
      const void *running = fd->native; /* a native the query runs records itself */
      int r = QX_query(fd->call_action1, goal);
      fd->native = running;
      if (r <= 0) return r;
    }
    l = fd_ref_get(api, temp);
  }
  end_run_status(api, w, fd_ref_get(api, global));
  return 1;
}

void fd_global_at_fixpoint(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED g = deref(w->term[1]);
  if (!is_record(g, functor_global5)) return;
  uint32_t status = fd_status(g);
  if ((status & (FD_ST_REQUEUE | FD_ST_RUNNING | FD_ST_QUEUED)) != STATUS_RUN_MASK) return;
  fd_set_status(api, w, g, status | FD_ST_QUEUED | FD_ST_AT_FIXPOINT);
}

/* ---- natives ---- */

void prolog_fd_begin_qxenv_multi_qx(ORVALIS_API_STRUCT *api) { fd_begin(api, fd_worker(api)); }

void prolog_fd_enqueue_all_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref lists_mutable)
{
  worker *w = fd_worker(api);
  TAGGED m = fd_ref_get(api, lists_mutable);
  if (!is_record(m, functor_mutable2) || !is_record(fd_mutable_value(m), functor_fdlists7)) {
    fd_type_error(api, "mutable", m, 1);
    fd_native_fail(api);
    return;
  }
  clear_scratch(w);
  fd_begin(api, w);
  int mask = lists_mask(m);
  if (!mask) return;
  fd_sync(api, w);
  fd_enqueue_all(api, w, mask + FD_WAKE_FIXED, fd_state(api)->functor_none, m);
}

void prolog_fd_global_enqueue_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref global)
{
  worker *w = fd_worker(api);
  if (!global_argument(api, w, global)) return;
  fd_begin(api, w);
  /* As the loop marks a global it runs: one that may queue itself again is not kept queued. */
  TAGGED g = fd_ref_get(api, global);
  uint32_t status = fd_status(g) | FD_ST_QUEUED | FD_ST_RUNNING;
  if (status & FD_ST_REQUEUE) status &= ~(FD_ST_QUEUED | FD_ST_AT_FIXPOINT);
  fd_set_status(api, w, g, status);
}

void prolog_fd_prune_and_enqueue_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref actions,
                                                QX_term_ref global)
{
  worker *w = fd_worker(api);
  if (!global_argument(api, w, global)) return;
  clear_scratch(w);
  w->term[0] = fd_ref_get(api, actions);
  QX_term_ref refs = fd_new_refs(api, 2);
  switch (fd_prune_and_enqueue(api, w, refs, global, refs + 1)) {
  case 1: break;
  case -1: raise_pending(api, refs); break;
  default: fd_state(api)->failures++; fd_native_fail(api);
  }
}

long prolog_fd_evaluate_indexical_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref global)
{
  worker *w = fd_worker(api);
  struct fd_state *fd = fd_state(api);
  sync_levels(api, w);
  if (!fd->current_propagator) return 0;
  fd->fd_overflow = 0;
  clear_scratch(w);
  QX_term_ref refs = fd_new_refs(api, 5);
  bool in_line = true; /* the stack was synced above, and after every step that ran no goal */
  int32_t saved = save_index(w); /* likewise read again after a goal */
  for (;;) {
    TAGGED item;
    switch (in_line ? next_item<true>(api, w, fd, &item) : next_item(api, w, fd, &item)) {
    case 0: end_level<true>(api, w); return 0;
    case 3: return 1;
    case 1:
      if (!evaluate_indexical(api, w, item)) return 0;
      in_line = true;
      break;
    default:
      switch (run_global(api, w, fd, refs, item, saved)) {
      case RUN_CONTINUE: in_line = true; break;
      case RUN_ACTIONS:
        in_line = false;
        saved = save_index(w);
        break;
      case RUN_STOP: return 0;
      case RUN_PROLOG: fd_ref_put(api, global, fd_ref_get(api, refs)); return 2;
      }
    }
  }
}

/* ---- the collector's hook ---- */

void fd_roots_exhausted(ORVALIS_API_STRUCT *api)
{
  qx_memory_fault("solver roots", QX_SPACE_SOLVER);
  __builtin_unreachable();
}

int fd_manager_hook(void *cookie, worker *w, int operation, void *argument)
{
  auto *api = (ORVALIS_API_STRUCT *)cookie;
  struct fd_state *fd = fd_state(api);
  switch (operation) {
  case 1:
    fd_sync(api, w);
    each_entry(fd, [&](TAGGED *e) { *e += (TAGGED)(uintptr_t)argument; });
    break;
  case 2:
    fd_sync(api, w);
    each_entry(fd, [&](TAGGED *e) { markTerm(*e); });
    each_root(fd, [&](TAGGED *e) { markTerm(*e); });
    break;
  case 3:
    each_entry(fd, [&](TAGGED *e) {
      TAGGED *address = TagToPointer(*e);
      if (!IsConst(*e) && address >= (TAGGED *)argument) intoRelocationChain(w, address, e);
    });
    /* a root may hold temporary storage or a constant: only heap words follow the compaction */
    each_root(fd, [&](TAGGED *e) {
      TAGGED *address = TagToPointer(*e);
      if (!IsConst(*e) && address >= (TAGGED *)argument && address < w->global_top)
        intoRelocationChain(w, address, e);
    });
    break;
  case 4:
    fd_sync(api, w);
    each_entry(fd, [&](TAGGED *e) { ((void (*)(TAGGED *))argument)(e); });
    break;
  default: break;
  }
  return 0;
}
