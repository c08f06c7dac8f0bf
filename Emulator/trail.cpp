/* The trail: pushing the five kinds of entry, undoing them, and binding with conditional trailing.
 *
 * Entries are read backwards by the tag of their newest word (see objareas.h). Every push is
 * followed by the margin check, so a native that pushes keeps the 512-cell room to the newest
 * choicepoint the other pushers rely on; the pushed words stay where they are when the area grows.
 */
#include "atoms.h"
#include "objareas.h"
#include "unify.h"
#include "wam.h"

void qx_trail_cell_value(worker *w, TAGGED *cell)
{
  TAGGED *t = w->trail_top;
  t[0] = *cell;
  t[1] = MakeStr(cell);
  w->trail_top = t + 2;
  qx_trail_check(w);
}

/* A '$mutable'(Value, Stamp) is saved at most once per choicepoint: only when it is older than the
 * newest choicepoint and was not saved since that choicepoint was made. Its Stamp becomes the
 * index of the entry's first word, which is below the saved trail top of any choicepoint pushed
 * afterwards, so the next update under such a choicepoint saves again. */
void qx_trail_mutable(worker *w, TAGGED mutable_term)
{
  if (qx_trail_mutable_push(w, mutable_term)) qx_trail_check(w);
}

void qx_trail_free(worker *w, TAGGED pair)
{
  *w->trail_top++ = pair;
  qx_trail_note_special(w);
  qx_trail_check(w);
}

void qx_trail_cleanup(worker *w, TAGGED cleanup)
{
  TAGGED *t = w->trail_top;
  t[0] = cleanup;
  t[1] = atom_cleanup;
  w->trail_top = t + 2;
  qx_trail_note_special(w);
  qx_trail_check(w);
}

/* Calls the destructor of the block in the '$free'(Block) holder: Block is the block's address + 3. */
static void destroy_block(TAGGED holder)
{
  void **block = (void **)(uintptr_t)(deref(StrArg(holder, 1)) & ~(TAGGED)3);
  ((void (*)(void *))block[0])(block);
}

/* Undoing a [V | '$free'(Block)] entry destroys the block unless V is 0, which marks a block
 * already destroyed (at its death or by an earlier collection); V then becomes 0 so that no later
 * pass can destroy it again. */
static void untrail_free(TAGGED pair)
{
  TAGGED *cells = LstPtr(pair);
  TAGGED v = deref(cells[0]);
  if (v == MakeSmall(0)) return;
  if (IsVar(v))
    *RefPtr(v) = MakeSmall(0);
  else
    cells[0] = MakeSmall(0);
  destroy_block(deref(cells[1]));
}

/* What a neutralised $free entry points at: a pair whose V is 0, never destroyed. */
static TAGGED destroyed_pair[2] = {MakeSmall(0), MakeSmall(0)};

bool qx_trail_collect_free(TAGGED *entry)
{
  TAGGED *cells = LstPtr(*entry);
  TAGGED v = deref(cells[0]);
  if (IsVar(v)) return true;
  if (v != MakeSmall(1)) return false;
  /* The binding of V to 1 may be undone later, which would make the block look alive again:
   * the entry itself is replaced. */
  cells[0] = MakeSmall(0);
  *entry = MakeLst(destroyed_pair);
  destroy_block(deref(cells[1]));
  return false;
}

/* A cleanup goal whose Done flag is still unbound becomes pending: it goes to the worker's hook,
 * which must take it before the heap above the target choicepoint is discarded. */
static void untrail_cleanup(worker *w, TAGGED cleanup)
{
  TAGGED done = deref(StrArg(cleanup, 2));
  if (IsVar(done) && w->cleanup_hook) w->cleanup_hook(w, StrArg(cleanup, 1));
}

void qx_untrail_to(worker *w, TAGGED *to)
{
  TAGGED *t = w->trail_top;
  while (t > to) {
    qx_trail_kind kind;
    t = qx_trail_step(t, &kind);
    switch (kind) {
    case QX_TRAIL_PLAIN: *RefPtr(t[0]) = t[0]; break;
    case QX_TRAIL_CELL: *StrPtr(t[1]) = t[0]; break;
    case QX_TRAIL_FREE:
      w->trail_top = t;
      untrail_free(t[0]);
      break;
    case QX_TRAIL_MUTABLE: {
      TAGGED *m = RefPtr(t[0]);
      m[1] = t[1];
      m[2] = t[2];
      break;
    }
    case QX_TRAIL_CLEANUP:
      w->trail_top = t;
      untrail_cleanup(w, t[0]);
      break;
    }
  }
  w->trail_top = to;
  qx_trail_lower_special(w, to);
}

void qx_bind(worker *w, TAGGED *cell, TAGGED value)
{
  if (qx_is_attvar_cell(w, cell))
    qx_attvar_bind(w, cell, value);
  else
    qx_bind_plain(w, cell, value);
}

/* ---- tidying ----
 * An entry protects a cell only while some choicepoint could restore it: a cell newer than the
 * heap top (or local top) of the newest choicepoint below the entry is discarded by any undo that
 * reaches the entry, so the entry can go. Such entries are left by bindings made under
 * choicepoints that a cut removed. Tidying turns every such entry into plain entries of a dummy
 * cell, then drops those words and slides the entries above them down.
 *
 * A mutable's Stamp is the trail index of its newest entry, and the solver keeps such indexes
 * (its levels' stamps) where no walk reaches them; so no word at or below the newest mutable
 * entry moves: dead entries there stay neutralised in place. '$free' and cleanup entries are
 * kept. */

namespace {

TAGGED dead_cell; /* what a neutralised entry names: undoing it writes here */

inline TAGGED dead_word() { return MakeRef(&dead_cell); }

/* Whether undoing back to b restores cell: heap cells below b's heap top, local cells below its
 * local top, and cells outside both areas (they outlive every choicepoint). */
bool protects(const worker *w, const node *b, const TAGGED *cell)
{
  if (cell == &dead_cell) return false;
  if (cell >= w->heap_start && cell < w->heap_end) return cell < b->global_top;
  const void *c = cell;
  if (c >= (const void *)w->local_start && c < (const void *)w->local_max)
    return c < (const void *)b->local_top;
  return true;
}

/* The newest node at or below b whose trail top is at or below entry; choice_start when none
 * (the entries below the oldest node are kept as they are). */
const node *owner_of(const worker *w, const node *b, const TAGGED *entry)
{
  while (b < w->choice_start && b->trail_top > entry) b = qx_node_below(b);
  return b;
}

/* Neutralises the dead entries; answers the dead words above the newest mutable entry, whose
 * end goes to *frozen (the trail's first entry word when there is none). */
size_t neutralise_dead(worker *w, TAGGED **frozen)
{
  size_t dead_above = 0;
  *frozen = nullptr;
  const node *b = w->node_;
  for (TAGGED *t = w->trail_top; t > w->trail_start + 1;) {
    qx_trail_kind kind;
    TAGGED *entry = qx_trail_step(t, &kind);
    b = owner_of(w, b, entry);
    bool owned = b < w->choice_start;
    size_t words = (size_t)(t - entry);
    t = entry;
    bool dead = false;
    if (kind == QX_TRAIL_PLAIN)
      dead = entry[0] == dead_word() || (owned && !protects(w, b, RefPtr(entry[0])));
    else if (kind == QX_TRAIL_CELL)
      dead = owned && !protects(w, b, StrPtr(entry[1]));
    else if (kind == QX_TRAIL_MUTABLE && !*frozen)
      *frozen = entry + words;
    if (!dead) continue;
    for (size_t i = 0; i < words; i++) entry[i] = dead_word();
    if (!*frozen) dead_above += words;
  }
  if (!*frozen) *frozen = w->trail_start + 1;
  return dead_above;
}

/* The nodes' trail tops above frozen once `dropped` dead words above it go: each falls by the
 * dead words below it. */
void lower_trail_tops(worker *w, TAGGED *frozen, size_t dropped)
{
  size_t dead_above = 0;
  TAGGED *t = w->trail_top;
  for (node *b = w->node_; b < w->choice_start && b->trail_top > frozen; b = qx_node_below(b)) {
    for (; t > b->trail_top; t--)
      if (t[-1] == dead_word()) dead_above++;
    b->trail_top -= dropped - dead_above;
  }
}

}  // namespace

size_t qx_trail_tidy(worker *w)
{
  TAGGED *frozen;
  size_t dropped = neutralise_dead(w, &frozen);
  if (dropped == 0) return 0;
  lower_trail_tops(w, frozen, dropped);
  /* trail_special is a position like a node's trail top: it follows the word it stands on */
  TAGGED *special = w->trail_start + w->trail_special, *to = frozen;
  uint32_t new_special = w->trail_special;
  for (TAGGED *from = frozen; from < w->trail_top; from++) {
    if (from == special) new_special = (uint32_t)(to - w->trail_start);
    if (*from != dead_word()) *to++ = *from;
  }
  if (special >= w->trail_top) new_special = (uint32_t)(to - w->trail_start);
  w->trail_special = new_special;
  w->trail_top = to;
  return dropped;
}
