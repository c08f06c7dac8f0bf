/* The trail: pushing the five kinds of entry, undoing them, and binding with conditional trailing.
 *
 * Entries are read backwards by the tag of their newest word (see objareas.h). Every push is
 * followed by the margin check, so a native that pushes keeps the 512-cell room to the newest
 * choicepoint the other pushers rely on; the pushed words stay where they are when the area grows.
 */
#include "atoms.h"
#include "objareas.h"
#include "unify.h"

void qx_trail_plain(worker *w, TAGGED *cell)
{
  *w->trail_top++ = MakeRef(cell);
  qx_trail_check(w);
}

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
  TAGGED *m = StrPtr(mutable_term);
  if (m >= w->global_uncond || w->node_ >= w->choice_start)
    return;
  uint32_t saved_top = (uint32_t)(w->node_->trail_top - w->trail_start);
  if (GetSmall(m[2]) >= (int32_t)saved_top)
    return;
  uint32_t index = qx_trail_index(w);
  TAGGED *t = w->trail_top;
  t[0] = MakeRef(m);
  t[1] = m[1];
  t[2] = m[2];
  w->trail_top = t + 3;
  m[2] = MakeSmall((int32_t)index);
  qx_trail_check(w);
}

void qx_trail_free(worker *w, TAGGED pair)
{
  *w->trail_top++ = pair;
  qx_trail_check(w);
}

void qx_trail_cleanup(worker *w, TAGGED cleanup)
{
  TAGGED *t = w->trail_top;
  t[0] = cleanup;
  t[1] = atom_cleanup;
  w->trail_top = t + 2;
  qx_trail_check(w);
}

/* Undoing a [V | '$free'(Block)] entry destroys the block unless V is 0, which marks a block
 * already destroyed (at its death or by an earlier collection); V then becomes 0 so that no later
 * pass can destroy it again. */
static void untrail_free(TAGGED pair)
{
  TAGGED *cells = LstPtr(pair);
  TAGGED v = deref(cells[0]);
  if (v == MakeSmall(0))
    return;
  TAGGED holder = deref(cells[1]);
  if (IsVar(v))
    *RefPtr(v) = MakeSmall(0);
  else
    cells[0] = MakeSmall(0);
  void **block = (void **)(uintptr_t)(StrArg(holder, 1) - QX_TAG_SMALL);
  ((void (*)(void *))block[0])(block);
}

/* A cleanup goal whose Done flag is still unbound becomes pending: it goes to the worker's hook,
 * which must take it before the heap above the target choicepoint is discarded. */
static void untrail_cleanup(worker *w, TAGGED cleanup)
{
  TAGGED done = deref(StrArg(cleanup, 2));
  if (IsVar(done) && w->cleanup_hook)
    w->cleanup_hook(w, StrArg(cleanup, 1));
}

void qx_untrail_to(worker *w, TAGGED *to)
{
  TAGGED *t = w->trail_top;
  while (t > to) {
    TAGGED top = *--t;
    switch (TagOf(top)) {
    case QX_TAG_REF:
      *RefPtr(top) = top;
      break;
    case QX_TAG_STR:
      *StrPtr(top) = *--t;
      break;
    case QX_TAG_LST:
      w->trail_top = t;
      untrail_free(top);
      break;
    default:
      if (IsSmall(top)) {
        t -= 2;
        TAGGED *m = RefPtr(t[0]);
        m[1] = t[1];
        m[2] = top;
      } else {
        TAGGED cleanup = *--t;
        w->trail_top = t;
        untrail_cleanup(w, cleanup);
      }
      break;
    }
  }
  w->trail_top = to;
}

void qx_bind(worker *w, TAGGED *cell, TAGGED value)
{
  if (qx_is_attvar_cell(w, cell))
    qx_attvar_bind(w, cell, value);
  else
    qx_bind_plain(w, cell, value);
}
