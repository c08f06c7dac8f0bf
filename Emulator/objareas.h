/* The worker's data areas: heap, local stack, trail and choicepoints, number stack; trail entries. */
#ifndef QX_OBJAREAS_H
#define QX_OBJAREAS_H

#include "atoms.h"
#include "datadefs.h"

/* A small helper of the interpreter's loop that the compiler would otherwise leave out of line
 * there (the loop is too large for its inlining limits). */
#define QX_HOT_INLINE inline __attribute__((always_inline))

/* Cells at the heap bottom that hold the terms of the reserved term-reference slots. */
constexpr uint32_t QX_HEAP_RESERVED_CELLS = 18;

/* The data areas and the term-reference stack. */
int init_stacks(worker *w); /* 0 on success */
void deinit_stacks(worker *w);
void trimcore(worker *w, int mode);

/* The largest trail/choicepoint block: a trail index and a node's offset from the top of the
 * area, counted in words, then stay below 2^28 and are kept in terms as small integers. */
constexpr size_t QX_CHOICE_BLOCK_MAX = (size_t)1 << 30;

/* The heap and the local stack share a reservation of at most this size. A saved state that asks
 * for a GC margin (the gc_margin flag, in KiB) that the heap's part of it cannot keep is refused. */
constexpr size_t QX_RESERVE_MAX = (size_t)1 << 30;

/* Make `words` heap words free; term[0..live-1] are roots. Never moves the heap. */
void call_overflow(worker *w, uint32_t words, int live);
/* Whether a caller must call call_overflow before it takes `words` heap words: when fewer are
 * free, and now and then in the collector's stress mode (gc.h) as well, so that what callers hold
 * across the call is tested also where there is usually room. */
extern bool qx_gc_stress;
bool qx_gc_stress_due();
inline bool qx_heap_short(const worker *w, uint64_t words)
{
  if ((int64_t)(w->stack_start - w->global_top) < (int64_t)words) return true;
  return __builtin_expect(qx_gc_stress, 0) && qx_gc_stress_due();
}
/* Make at least `pad` cells free between the trail top and the newest choicepoint: by tidying
 * the trail (qx_trail_tidy) when that frees enough, else by growing the block. Choicepoints move;
 * trail entries keep their order, and those a tidying keeps stay below the newest mutable's.
 * Past QX_CHOICE_BLOCK_MAX it is a memory fault. */
void choice_overflow(worker *w, uint32_t pad);
/* Make `bytes` free above the local top by committing more of the local stack's reservation. */
void local_overflow(worker *w, uint32_t bytes);

/* Number stack: a chain of blocks, each twice the size of the one before. */
void numstack_init(worker *w);
void numstack_deinit();
void numstack_overflow(worker *w);
void numstack_trim(worker *w, char *mark);

/* ---- trail ----
 * Entries, read backwards by the tag of the newest word:
 *   plain:     address of a bound cell                                (tag 00)
 *   mutable:   address of '$mutable'/2, old Value, old Stamp           (top word a small int)
 *   cell value: old value, address + 1                                 (tag 01)
 *   $free:     address of the pair [V | '$free'(Block)] + 2            (tag 10)
 *   cleanup:   '$cleanup'(Goal, Done, Exited) structure, then the atom '$cleanup' (top word an atom)
 */
constexpr uint32_t QX_TRAIL_MARGIN_CELLS = 512;

static inline void qx_trail_check(worker *w)
{
  if ((char *)w->node_ - (char *)w->trail_top < (ptrdiff_t)(QX_TRAIL_MARGIN_CELLS * sizeof(TAGGED)))
    choice_overflow(w, QX_TRAIL_MARGIN_CELLS);
}
/* Trail index of the top (words from trail_start): stable across growth. */
static inline uint32_t qx_trail_index(const worker *w)
{
  return (uint32_t)(w->trail_top - w->trail_start);
}

/* Pushes, each followed by qx_trail_check; plain and cell-value pushes are unconditional (the
 * caller tests qx_cell_is_old). */
static inline void qx_trail_plain(worker *w, TAGGED *cell)
{
  *w->trail_top++ = MakeRef(cell);
  qx_trail_check(w);
}
void qx_trail_cell_value(worker *w, TAGGED *cell); /* saves *cell before the caller changes it */
/* Saves Value and Stamp of a '$mutable'/2 (the last of its forwarding chain) when it is older than
 * the newest choicepoint and not yet saved under it, then sets Stamp to the entry's trail index;
 * the caller writes the new Value afterwards. */
void qx_trail_mutable(worker *w, TAGGED mutable_term);
/* The 3-word entry of the '$mutable' at m, its Stamp then naming the entry: for a caller that knows
 * the mutable needs saving under the newest choicepoint. No trail check. */
static inline void qx_trail_mutable_save(worker *w, TAGGED *m)
{
  TAGGED *t = w->trail_top;
  t[0] = MakeRef(m);
  t[1] = m[1];
  t[2] = m[2];
  w->trail_top = t + 3;
  m[2] = MakeSmall((int32_t)(t - w->trail_start));
}
/* The push of qx_trail_mutable without the trail check that follows it: true when an entry was
 * pushed (a library resource checks through its dispatch table). */
static inline bool qx_trail_mutable_push(worker *w, TAGGED mutable_term)
{
  TAGGED *m = StrPtr(mutable_term);
  if (m >= w->global_uncond || w->node_ >= w->choice_start) return false;
  if (GetSmall(m[2]) >= (int32_t)(w->node_->trail_top - w->trail_start)) return false;
  qx_trail_mutable_save(w, m);
  return true;
}
void qx_trail_free(worker *w, TAGGED pair);       /* pair = list-tagged [V | '$free'(Block)] */
/* After pushing a '$free' or cleanup entry: the collection at a cut walks the trail only from the
 * newest such entry down. */
static inline void qx_trail_note_special(worker *w)
{
  w->trail_special = (uint32_t)(w->trail_top - w->trail_start);
}
/* After the trail is undone to top: no special entry ends above it. */
static inline void qx_trail_lower_special(worker *w, const TAGGED *top)
{
  uint32_t index = (uint32_t)(top - w->trail_start);
  if (w->trail_special > index) w->trail_special = index;
}
void qx_trail_cleanup(worker *w, TAGGED cleanup); /* cleanup = '$cleanup'(Goal, Done, Exited) */
/* Undo the trail down to `to`, running $free destructors; leaves trail_top == to. */
void qx_untrail_to(worker *w, TAGGED *to);
/* Drops the entries that no choicepoint can undo any more (their cell is newer than the heap or
 * local top of the newest choicepoint below them) and slides the rest down, lowering the nodes'
 * trail tops to match; answers the words freed. Entries at or below the newest mutable entry do
 * not move (Stamps are trail indexes): dead ones there are made harmless in place. Called by the
 * heap collector and by choice_overflow, where no caller holds a position in the trail. */
size_t qx_trail_tidy(worker *w);

/* Walking the trail newest entry first: qx_trail_step answers the oldest word of the entry whose
 * newest word is t[-1] and its kind. Undoing and the collection at a cut both walk with it. */
enum qx_trail_kind : int {
  QX_TRAIL_PLAIN,
  QX_TRAIL_CELL,
  QX_TRAIL_FREE,
  QX_TRAIL_MUTABLE,
  QX_TRAIL_CLEANUP
};
static inline TAGGED *qx_trail_step(TAGGED *t, qx_trail_kind *kind)
{
  TAGGED top = t[-1];
  switch (TagOf(top)) {
  case QX_TAG_REF: *kind = QX_TRAIL_PLAIN; return t - 1;
  case QX_TAG_STR: *kind = QX_TRAIL_CELL; return t - 2;
  case QX_TAG_LST: *kind = QX_TRAIL_FREE; return t - 1;
  default:
    if (IsSmall(top)) {
      *kind = QX_TRAIL_MUTABLE;
      return t - 3;
    }
    *kind = QX_TRAIL_CLEANUP;
    return t - 2;
  }
}
/* The collection rule for the $free entry at `entry` when the choicepoints above it go: a dead
 * block (V bound to 1) is destroyed now and the entry neutralised, so that no later undo or
 * collection destroys it again. Answers true while the block is alive (V unbound). */
bool qx_trail_collect_free(TAGGED *entry);

/* Bind a variable cell with conditional trailing (heap below global_uncond, local below
 * local_uncond). Attributed variables register a wake-up. */
void qx_bind(worker *w, TAGGED *cell, TAGGED value);

/* True when a change of the cell must be trailed: a heap cell below global_uncond, a local cell
 * below local_uncond, or a cell outside both areas (it outlives every choicepoint). */
static inline bool qx_cell_is_old(const worker *w, const TAGGED *cell)
{
  if (cell >= w->heap_start && cell < w->heap_end) return cell < w->global_uncond;
  const void *c = cell;
  if (c >= (const void *)w->local_start && c < (const void *)w->local_max)
    return c < (const void *)w->local_uncond;
  return true;
}
/* The attribute in slot k (a module's attr_no) of the dereferenced unbound variable v, dereferenced,
 * or 0 when it has none. An attributed variable's cell follows the -1 marker of its record, whose
 * last word holds '$attrs'(S1, ..., Sn). In line: the solver looks up every argument of every
 * propagator run. */
static inline TAGGED qx_attribute_in_slot(const worker *w, TAGGED v, uint32_t k)
{
  const TAGGED *cell = RefPtr(v);
  if (cell <= w->heap_start || cell >= w->global_top || !IsAttVarCell(cell)) return 0;
  TAGGED attrs = deref(cell[2]);
  if (k == 0 || k > Arity(StrFunctor(attrs))) return 0;
  TAGGED attribute = StrPtr(attrs)[k];
  return attribute == atom_no_attr ? 0 : deref(attribute);
}

/* Whether the dereferenced unbound variable v has no suspended goals and no attribute but the one
 * in slot k (single_attribute's test). In line: the solver asks it for every variable it fixes. */
static inline bool qx_single_attribute_in_slot(const worker *w, TAGGED v, uint32_t k)
{
  const TAGGED *cell = RefPtr(v);
  if (cell <= w->heap_start || cell >= w->global_top || !IsAttVarCell(cell)) return true;
  if (deref(cell[1]) != atom_nil) return false;
  const TAGGED *slot = StrPtr(deref(cell[2]));
  const TAGGED *end = slot + Arity(slot[0]) + 1;
  const TAGGED *own = k ? slot + k : end; /* past end when the module has no slot */
  for (slot++; slot < end; slot++)
    if (__builtin_expect(*slot != atom_no_attr, 0) && slot != own) return false;
  return true;
}

/* Bind a cell known not to be an attributed variable, trailing it when it is old. */
static QX_HOT_INLINE void qx_bind_plain(worker *w, TAGGED *cell, TAGGED value)
{
  *cell = value;
  if (qx_cell_is_old(w, cell)) qx_trail_plain(w, cell);
}

#endif
