/* The trail: pushing the five kinds of entry, undoing them, and binding with conditional trailing.
 *
 * Entries are read backwards by the tag of their newest word (see objareas.h). Every push is
 * followed by the margin check, so a native that pushes keeps the 512-cell room to the newest
 * choicepoint the other pushers rely on; the pushed words stay where they are when the area grows.
 */
#include "atoms.h"
#include "objareas.h"
#include "unify.h"

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
